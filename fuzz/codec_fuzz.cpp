// libFuzzer target for the codec and text exports. Every input goes through
// zemEncodeBuffer and zemDecodeBuffer, whose results are compared with a plain reference
// coder written for clarity (one character at a time), through the quoted-printable line
// decoder, and through zemVerifyFormat, zemExtractText and zemExtractLine.
//
// The output buffers are exactly as large as the exports' contracts ask, so ASan catches a
// write of a single byte too many.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "zem32.h"

namespace {

const char kAlpha[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string RefEncode(const uint8_t *in, size_t n) {
    std::string out;
    for (size_t line = 0; line < n; line += 57) {
        size_t end = line + 57 < n ? line + 57 : n;
        for (size_t i = line; i < end; i += 3) {
            uint32_t b0 = in[i], b1 = i + 1 < end ? in[i + 1] : 0, b2 = i + 2 < end ? in[i + 2] : 0;
            out += kAlpha[b0 >> 2];
            out += kAlpha[((b0 & 3) << 4) | (b1 >> 4)];
            out += i + 1 < end ? kAlpha[((b1 & 15) << 2) | (b2 >> 6)] : '=';
            out += i + 2 < end ? kAlpha[b2 & 63] : '=';
        }
        out += "\r\n";
    }
    return out;
}

uint32_t RefValue(char c) {
    const char *p = c != 0 ? std::strchr(kAlpha, c) : nullptr;
    return p != nullptr ? static_cast<uint32_t>(p - kAlpha) : 0; // outside the alphabet: 0
}

// One line: fewer than 3 characters give nothing; whole groups of 4 give 3 bytes each,
// less one for a final '=' and one more for '==' before it.
std::string RefDecodeLine(const std::string &l) {
    std::string out;
    if (l.size() <= 2) return out;
    size_t g = l.size() / 4;
    for (size_t i = 0; i < g; ++i) {
        uint32_t v = RefValue(l[4 * i]) << 18 | RefValue(l[4 * i + 1]) << 12 | RefValue(l[4 * i + 2]) << 6 | RefValue(l[4 * i + 3]);
        out += static_cast<char>(v >> 16);
        out += static_cast<char>(v >> 8);
        out += static_cast<char>(v);
    }
    if (g > 0 && l[4 * g - 1] == '=') {
        out.pop_back();
        if (l[4 * g - 2] == '=') out.pop_back();
    }
    return out;
}

// Lines end at CR or LF (any run of them); a NUL ends the text.
std::string RefDecode(const uint8_t *in, size_t n) {
    std::string text(reinterpret_cast<const char *>(in), n), out, line;
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            out += RefDecodeLine(line);
            line.clear();
        } else {
            line += c;
        }
    }
    out += RefDecodeLine(line);
    return out;
}

[[noreturn]] void Fail(const char *what, size_t n) {
    std::fprintf(stderr, "codec_fuzz: %s differs (input %zu bytes)\n", what, n);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    const int32_t n = static_cast<int32_t>(size);
    const char *in = reinterpret_cast<const char *>(data);

    // Encoder: exactly the size the contract names.
    const std::string ref = RefEncode(data, size);
    std::vector<char> enc(ref.size() > 0 ? ref.size() : 1);
    int32_t k = zemEncodeBuffer(size > 0 ? in : "", enc.data(), n);
    if (k != static_cast<int32_t>(ref.size()) || std::memcmp(enc.data(), ref.data(), ref.size()) != 0) Fail("encoding", size);
    // And back: the encoder's own output decodes to the input.
    std::vector<char> back(size + 4);
    if (k > 0 && (zemDecodeBuffer(enc.data(), back.data(), k) != n || std::memcmp(back.data(), data, size) != 0))
        Fail("round trip", size);

    // Decoder on arbitrary text: output sized for the result + 4.
    const std::string dref = RefDecode(data, size);
    std::vector<char> dec(dref.size() + 4);
    int32_t d = size > 0 ? zemDecodeBuffer(in, dec.data(), n) : 0;
    if (d != static_cast<int32_t>(dref.size()) || std::memcmp(dec.data(), dref.data(), dref.size()) != 0) Fail("decoding", size);
    for (int i = 0; i < 4; ++i)
        if (dec[dref.size() + static_cast<size_t>(i)] != 0) Fail("zero tail", size);

    // The text routines take NUL-terminated texts: the input up to its first NUL, split at
    // the first 0x01 into a buffer and a search text.
    std::string text(in, size);
    text.resize(std::strlen(text.c_str()));
    size_t cut = text.find('\x01');
    std::string buffer = text.substr(0, cut), needle = cut == std::string::npos ? std::string("a") : text.substr(cut + 1);
    std::vector<char> qp(buffer.size() + 1);
    int32_t q = zem::QpDecodeLine(buffer.c_str(), qp.data(), static_cast<int32_t>(qp.size()));
    if (q < 0 || q >= static_cast<int32_t>(qp.size()) || qp[static_cast<size_t>(q)] != 0) Fail("quoted-printable", size);
    zemVerifyFormat(buffer.c_str());
    for (int32_t len : {1, 7, 64, 1024}) {
        std::vector<char> res(static_cast<size_t>(len));
        int32_t r = zemExtractText(buffer.c_str(), needle.c_str(), res.data(), len);
        if (r < 0 || r >= len || std::memchr(res.data(), 0, res.size()) == nullptr) Fail("zemExtractText", size);
        r = zemExtractLine(buffer.c_str(), static_cast<int32_t>(size % 7), res.data(), len);
        if (r < 0 || r >= len) Fail("zemExtractLine", size);
    }
    return 0;
}
