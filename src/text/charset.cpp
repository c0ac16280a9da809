#include "text/charset.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

#include "frame/outgoing_fields.h"

namespace zem {

namespace {

// Appends bytes to a bounded output that may be absent (counting only). Whole pieces only:
// a character is either written whole or not at all.
struct Output {
    char *out;
    int32_t size;
    int32_t total = 0;
    int32_t written = 0;
    bool full = false;
    void Put(const char *p, int32_t n) {
        total += n;
        if (out == nullptr || full) return;
        if (written + n > size - 1) {
            full = true;
            return;
        }
        std::memcpy(out + written, p, static_cast<size_t>(n));
        written += n;
    }
    int32_t Finish() {
        if (out != nullptr && size > 0) out[written] = 0;
        return total;
    }
};

int32_t Latin1ToUtf8(const char *in, int32_t n, Output &o) {
    for (int32_t i = 0; i < n; ++i) {
        auto c = static_cast<uint8_t>(in[i]);
        if (c < 0x80) {
            o.Put(in + i, 1);
        } else {
            char two[2] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
            o.Put(two, 2);
        }
    }
    return o.Finish();
}

// Converts through iconv, one input character at a time on failure: what the target
// cannot hold becomes '?'. -84 when iconv knows neither name.
int32_t Iconv(const char *to, const char *from, const char *in, int32_t n, Output &o) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return -84;
    char *src = const_cast<char *>(in);
    size_t left = static_cast<size_t>(n);
    const bool fromUtf8 = IsUtf8Name(from);
    while (left > 0) {
        char piece[256];
        char *dst = piece;
        size_t room = sizeof piece;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        o.Put(piece, static_cast<int32_t>(dst - piece));
        if (r != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // An invalid or unconvertible character, or one cut at the end: skip it.
        size_t skip = fromUtf8 ? static_cast<size_t>(Utf8CharBytes(static_cast<uint8_t>(*src))) : 1;
        if (skip > left) skip = left;
        src += skip;
        left -= skip;
        o.Put("?", 1);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char tail[32];
    char *dst = tail;
    size_t room = sizeof tail;
    iconv(cd, nullptr, nullptr, &dst, &room); // the shift sequence back, if any
    o.Put(tail, static_cast<int32_t>(dst - tail));
    iconv_close(cd);
    return o.Finish();
}

} // namespace

bool IsAsciiText(const char *t, int32_t n) {
    for (int32_t i = 0; i < n; ++i)
        if (static_cast<uint8_t>(t[i]) >= 0x80) return false;
    return true;
}

int32_t Utf8CharBytes(uint8_t lead) {
    if (lead < 0xC2) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF5) return 4;
    return 1;
}

bool IsValidUtf8(const char *t, int32_t n) {
    const auto *s = reinterpret_cast<const uint8_t *>(t);
    int32_t i = 0;
    while (i < n) {
        uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int32_t len = Utf8CharBytes(c);
        if (len == 1 || i + len > n) return false;
        for (int32_t k = 1; k < len; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        if (c == 0xE0 && s[i + 1] < 0xA0) return false; // overlong
        if (c == 0xED && s[i + 1] >= 0xA0) return false; // surrogates
        if (c == 0xF0 && s[i + 1] < 0x90) return false; // overlong
        if (c == 0xF4 && s[i + 1] >= 0x90) return false; // above U+10FFFF
        i += len;
    }
    return true;
}

bool IsUtf8Name(const char *name) {
    if (name == nullptr) return false;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    char n[8] = {};
    int32_t k = 0;
    for (; name[k] != 0 && k < 6; ++k) n[k] = lower(name[k]);
    if (name[k] != 0) return false;
    return std::strcmp(n, "utf-8") == 0 || std::strcmp(n, "utf8") == 0;
}

int32_t SetCharsetName(char *field, const char *name) {
    int32_t n = static_cast<int32_t>(std::strlen(name));
    if (n == 0) {
        field[0] = 0;
        return 0;
    }
    if (n > kCharsetNameMax) return -84;
    iconv_t a = iconv_open("UTF-8", name);
    if (a == reinterpret_cast<iconv_t>(-1)) return -84;
    iconv_close(a);
    iconv_t b = iconv_open(name, "UTF-8");
    if (b == reinterpret_cast<iconv_t>(-1)) return -84;
    iconv_close(b);
    std::memcpy(field, name, static_cast<size_t>(n) + 1);
    return n;
}

bool NeedsUtf8Conversion(const char *inputCharset, const char *t, int32_t n) {
    if (IsAsciiText(t, n)) return false;
    if (inputCharset != nullptr && inputCharset[0] != 0) return !IsUtf8Name(inputCharset);
    return !IsValidUtf8(t, n);
}

int32_t ToUtf8(const char *inputCharset, const char *in, int32_t n, char *out, int32_t outSize) {
    Output o{out, outSize};
    const bool named = inputCharset != nullptr && inputCharset[0] != 0 && !IsUtf8Name(inputCharset);
    if (named) {
        int32_t r = Iconv("UTF-8", inputCharset, in, n, o);
        if (r >= 0) return r;
        o = Output{out, outSize}; // an unknown name: fall back to the guess below
    }
    if (!IsValidUtf8(in, n)) return Latin1ToUtf8(in, n, o);
    // Copied character by character, so a cut never splits one.
    for (int32_t i = 0; i < n;) {
        int32_t len = Utf8CharBytes(static_cast<uint8_t>(in[i]));
        if (i + len > n) len = n - i;
        o.Put(in + i, len);
        i += len;
    }
    return o.Finish();
}

int32_t ToCharset(const char *to, const char *inputCharset, const char *in, int32_t n, char *out, int32_t outSize) {
    Output o{out, outSize};
    const char *from = "UTF-8";
    if (inputCharset != nullptr && inputCharset[0] != 0)
        from = inputCharset;
    else if (!IsValidUtf8(in, n))
        from = "ISO-8859-1";
    return Iconv(to, from, in, n, o);
}

} // namespace zem
