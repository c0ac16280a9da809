// Base64 and quoted-printable routines: fixed cases byte by byte, round trips, output
// bounds, and agreement with Python's base64 module.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "zem32.h"

#ifndef ZEM_PYTHON
#define ZEM_PYTHON "python3"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(0, 255);
  Bytes out(n);
  for (auto &b : out) b = static_cast<uint8_t>(dist(gen));
  return out;
}

std::string Encode(const Bytes &in) {
  std::string out(in.size() * 2 + 16, '\x7f');
  const int32_t n = zemEncodeBuffer(reinterpret_cast<const char *>(in.data()), &out[0],
                                    static_cast<int32_t>(in.size()));
  EXPECT_GE(n, 0);
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

std::string Encode(const std::string &in) { return Encode(Bytes(in.begin(), in.end())); }

std::string StripCr(const std::string &s) {
  std::string out;
  for (char c : s)
    if (c != '\r') out += c;
  return out;
}

constexpr uint8_t kSentinel = 0xA5;

// Decodes text into a sentinel-filled buffer with generous slack and checks that nothing
// beyond result + 4 was touched and that the 4 bytes after the result are zero.
Bytes DecodeGuarded(const std::string &text) {
  const size_t slack = 64;
  Bytes buf(text.size() + slack, kSentinel);
  const int32_t n = zemDecodeBuffer(text.data(), reinterpret_cast<char *>(buf.data()),
                                    static_cast<int32_t>(text.size()));
  EXPECT_GE(n, 0);
  if (n < 0) return {};
  const size_t count = static_cast<size_t>(n);
  // An empty text writes nothing at all; otherwise the 4 bytes after the result are zero.
  const size_t zeroEnd = text.empty() ? 0 : count + 4;
  for (size_t i = count; i < zeroEnd; ++i) EXPECT_EQ(buf[i], 0) << "zero-fill at " << i;
  for (size_t i = zeroEnd; i < buf.size(); ++i) {
    EXPECT_EQ(buf[i], kSentinel) << "byte " << i << " written past result + 4 (" << count << ")";
    if (buf[i] != kSentinel) break;
  }
  return Bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(count));
}

std::string RunPython(const std::string &script, const std::string &arg) {
  const std::string cmd = std::string(ZEM_PYTHON) + " -c \"" + script + "\" " + arg;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "<popen failed>";
  std::string out;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, p)) > 0) out.append(chunk, got);
  const int rc = pclose(p);
  EXPECT_EQ(rc, 0) << "python failed: " << cmd;
  return out;
}

// ---- Base64 line encoder -------------------------------------------------------------

TEST(Base64Encode, LineVectorsFromRfc4648) {
  const std::pair<const char *, const char *> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"}};
  for (const auto &c : cases) {
    const std::string in = c.first;
    const std::string want = c.second;
    std::string out(want.size() + 8, '#');
    const int32_t n = zem::Base64EncodeLine(reinterpret_cast<const uint8_t *>(in.data()),
                                            static_cast<int32_t>(in.size()), &out[0]);
    EXPECT_EQ(n, static_cast<int32_t>(want.size())) << in;
    EXPECT_EQ(out.substr(0, want.size() + 2), want + "\r\n") << in;
    // No NUL (nor anything else) after the CR LF.
    EXPECT_EQ(out.substr(want.size() + 2), std::string(6, '#')) << in;
  }
}

TEST(Base64Encode, GroupRuleOnAllByteValues) {
  // High bits in every position: 0xFF 0xFF 0xFF -> "////", 0x00.. -> "AAAA", and the
  // bits of b0/b1/b2 crossing character boundaries.
  const uint8_t ones[3] = {0xFF, 0xFF, 0xFF};
  const uint8_t mixed[3] = {0xFB, 0xEF, 0xBE};  // 111110 111110 111110 111110 -> "++++"
  const uint8_t one[1] = {0xFF};
  char out[16];
  ASSERT_EQ(zem::Base64EncodeLine(ones, 3, out), 4);
  EXPECT_EQ(std::string(out, 6), "////\r\n");
  ASSERT_EQ(zem::Base64EncodeLine(mixed, 3, out), 4);
  EXPECT_EQ(std::string(out, 4), "++++");
  ASSERT_EQ(zem::Base64EncodeLine(one, 1, out), 4);
  EXPECT_EQ(std::string(out, 4), "/w==");
}

TEST(Base64Encode, LongSingleLineForAuthTexts) {
  // 123 bytes give one line of 164 characters, used for AUTH PLAIN style texts.
  const Bytes in = RandomBytes(123, 7);
  std::string out(200, '#');
  const int32_t n = zem::Base64EncodeLine(in.data(), 123, &out[0]);
  ASSERT_EQ(n, 164);
  EXPECT_EQ(out.substr(164, 2), "\r\n");
  EXPECT_EQ(out[166], '#');
  EXPECT_EQ(out.substr(0, 164).find_first_of("\r\n="), std::string::npos);
  // Decoding the line gives the input back.
  Bytes back(200, 0);
  ASSERT_EQ(zem::Base64DecodeLine(out.data(), 164, back.data()), 123);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 123), in);
}

// ---- zemEncodeBuffer -----------------------------------------------------------------

TEST(Base64EncodeBuffer, SizesAndLineLayout) {
  EXPECT_EQ(Encode(std::string("abc")), "YWJj\r\n");

  const std::string line57 = Encode(RandomBytes(57, 1));
  ASSERT_EQ(line57.size(), 78u);
  EXPECT_EQ(line57.substr(76), "\r\n");
  EXPECT_EQ(line57.find('\r'), 76u);

  const std::string two = Encode(RandomBytes(58, 2));
  ASSERT_EQ(two.size(), 84u);
  EXPECT_EQ(two.substr(76, 2), "\r\n");
  EXPECT_EQ(two.substr(82, 2), "\r\n");
  EXPECT_EQ(two.substr(80, 2), "==");

  // Result = 4*ceil(n/3) + 2*ceil(n/57) for a range of sizes.
  for (int32_t n = 1; n <= 400; ++n) {
    const std::string e = Encode(RandomBytes(static_cast<size_t>(n), static_cast<uint32_t>(n)));
    const size_t want = 4 * ((static_cast<size_t>(n) + 2) / 3) + 2 * ((static_cast<size_t>(n) + 56) / 57);
    ASSERT_EQ(e.size(), want) << n;
    // Every line but the last has 76 characters.
    size_t pos = 0;
    while (pos < e.size()) {
      const size_t crlf = e.find("\r\n", pos);
      ASSERT_NE(crlf, std::string::npos);
      if (crlf + 2 < e.size()) {
        EXPECT_EQ(crlf - pos, 76u) << n;
      }
      pos = crlf + 2;
    }
  }
}

TEST(Base64EncodeBuffer, EmptyAndNullArguments) {
  char out[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
  EXPECT_EQ(zemEncodeBuffer("abc", out, 0), 0);
  EXPECT_EQ(zemEncodeBuffer("abc", out, -5), 0);
  EXPECT_EQ(zemEncodeBuffer(nullptr, nullptr, 0), 0);
  EXPECT_EQ(std::string(out, 8), "########");
  EXPECT_EQ(zemEncodeBuffer(nullptr, out, 3), ZEM_ERR_NULL_POINTER);
  EXPECT_EQ(zemEncodeBuffer("abc", nullptr, 3), ZEM_ERR_NULL_POINTER);
  EXPECT_EQ(std::string(out, 8), "########");
}

TEST(Base64EncodeBuffer, AgreesWithPythonBase64) {
  const size_t sizes[] = {1, 2, 3, 56, 57, 58, 113, 114, 115, 1000, 100000};
  uint32_t seed = 100;
  for (size_t size : sizes) {
    const Bytes data = RandomBytes(size, seed++);
    char path[] = "/tmp/zem_codec_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE *f = fdopen(fd, "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
    fclose(f);
    const std::string py = RunPython(
        "import base64,sys; sys.stdout.write(base64.encodebytes(open(sys.argv[1],'rb').read()).decode())",
        path);
    std::remove(path);
    // Python ends its 76-character lines with LF alone.
    EXPECT_EQ(StripCr(Encode(data)), py) << "size " << size;
  }
}

// ---- Base64 line decoder -------------------------------------------------------------

TEST(Base64DecodeLine, GroupsPaddingAndShortLines) {
  uint8_t out[32];
  std::fill(out, out + sizeof out, kSentinel);
  ASSERT_EQ(zem::Base64DecodeLine("YWJj", 4, out), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 7), std::string("abc\0\0\0\0", 7));
  EXPECT_EQ(out[7], kSentinel);

  std::fill(out, out + sizeof out, kSentinel);
  ASSERT_EQ(zem::Base64DecodeLine("YQ==", 4, out), 1);
  EXPECT_EQ(out[0], 0x61);
  for (int i = 1; i < 5; ++i) EXPECT_EQ(out[i], 0) << i;
  EXPECT_EQ(out[5], kSentinel);

  std::fill(out, out + sizeof out, kSentinel);
  ASSERT_EQ(zem::Base64DecodeLine("YWI=", 4, out), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 6), std::string("ab\0\0\0\0", 6));
  EXPECT_EQ(out[6], kSentinel);

  // Six characters: one group, the last two are ignored.
  std::fill(out, out + sizeof out, kSentinel);
  ASSERT_EQ(zem::Base64DecodeLine("YWJjZG", 6, out), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 3), "abc");

  // Two characters or fewer give nothing; three give nothing either (no whole group).
  std::fill(out, out + sizeof out, kSentinel);
  EXPECT_EQ(zem::Base64DecodeLine("YQ", 2, out), 0);
  EXPECT_EQ(zem::Base64DecodeLine("YWJ", 3, out), 0);
  EXPECT_EQ(zem::Base64DecodeLine("", 0, out), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], 0);
  EXPECT_EQ(out[4], kSentinel);
}

TEST(Base64DecodeLine, CharactersOutsideTheAlphabetCountAsZero) {
  uint8_t out[16];
  // '*' and '-' take the place of 'A' (value 0).
  ASSERT_EQ(zem::Base64DecodeLine("Y*Jj", 4, out), 3);
  uint8_t ref[16];
  ASSERT_EQ(zem::Base64DecodeLine("YAJj", 4, ref), 3);
  EXPECT_EQ(Bytes(out, out + 3), Bytes(ref, ref + 3));
  // '=' inside a group also counts as 0 and only the last two positions shorten.
  ASSERT_EQ(zem::Base64DecodeLine("Y=Jj", 4, out), 3);
  EXPECT_EQ(Bytes(out, out + 3), Bytes(ref, ref + 3));
  // A group of padding only: 3 - 2 bytes.
  ASSERT_EQ(zem::Base64DecodeLine("====", 4, out), 1);
  EXPECT_EQ(out[0], 0);
  // All 64 alphabet values round trip through one group each.
  const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int v = 0; v < 64; ++v) {
    const char text[4] = {'A', 'A', 'A', alphabet[v]};
    ASSERT_EQ(zem::Base64DecodeLine(text, 4, out), 3);
    EXPECT_EQ(out[2], v) << alphabet[v];
  }
}

TEST(Base64DecodeLine, NeverWritesPastCountPlusFour) {
  // Padded lines write raw group bytes past the count; they must stay inside count + 4.
  const char *lines[] = {"YQ==", "YWI=", "====", "YWJjYQ==", "YWJjYWI=", "A=", "YWJjZGVm"};
  for (const char *line : lines) {
    uint8_t out[32];
    std::fill(out, out + sizeof out, kSentinel);
    const int32_t n = zem::Base64DecodeLine(line, static_cast<int32_t>(std::strlen(line)), out);
    ASSERT_GE(n, 0);
    for (int i = n; i < n + 4; ++i) EXPECT_EQ(out[i], 0) << line;
    for (int i = n + 4; i < 32; ++i) EXPECT_EQ(out[i], kSentinel) << line << " at " << i;
  }
}

// ---- zemDecodeBuffer -----------------------------------------------------------------

TEST(Base64DecodeBuffer, EdgeCases) {
  EXPECT_EQ(DecodeGuarded("YWJj"), Bytes({'a', 'b', 'c'}));
  EXPECT_EQ(DecodeGuarded("YQ==\r\n"), Bytes({0x61}));
  EXPECT_EQ(DecodeGuarded("\r\nYWJj\r\n"), Bytes({'a', 'b', 'c'}));
  EXPECT_EQ(DecodeGuarded("\r\n\r\n"), Bytes());
  // LF alone, CR alone and mixed line ends all end a line.
  EXPECT_EQ(DecodeGuarded("YWJj\nZGVm\n"), Bytes({'a', 'b', 'c', 'd', 'e', 'f'}));
  EXPECT_EQ(DecodeGuarded("YWJj\rZGVm"), Bytes({'a', 'b', 'c', 'd', 'e', 'f'}));
  EXPECT_EQ(DecodeGuarded("YWI=\n\r\nYw=="), Bytes({'a', 'b', 'c'}));
  // A six-character line: the last two characters are ignored.
  EXPECT_EQ(DecodeGuarded("YWJjZG\r\nZWY="), Bytes({'a', 'b', 'c', 'e', 'f'}));
  // A NUL ends the text.
  EXPECT_EQ(DecodeGuarded(std::string("YWJj\r\n\0ZGVm", 11)), Bytes({'a', 'b', 'c'}));
  EXPECT_EQ(DecodeGuarded(std::string("YWJj\0ZGVm", 9)), Bytes({'a', 'b', 'c'}));
}

TEST(Base64DecodeBuffer, LengthLimitsTheText) {
  const std::string text = "YWJjZGVm\r\nZ2hp";
  uint8_t out[32];
  EXPECT_EQ(zemDecodeBuffer(text.data(), reinterpret_cast<char *>(out), 4), 3);
  EXPECT_EQ(zemDecodeBuffer(text.data(), reinterpret_cast<char *>(out), 10), 6);
  EXPECT_EQ(zemDecodeBuffer(text.data(), reinterpret_cast<char *>(out), 14), 9);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 9), "abcdefghi");
}

TEST(Base64DecodeBuffer, EmptyAndNullArguments) {
  char out[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
  EXPECT_EQ(zemDecodeBuffer("YWJj", out, 0), 0);
  EXPECT_EQ(zemDecodeBuffer("YWJj", out, -1), 0);
  EXPECT_EQ(zemDecodeBuffer(nullptr, nullptr, 0), 0);
  EXPECT_EQ(std::string(out, 8), "########");
  EXPECT_EQ(zemDecodeBuffer(nullptr, out, 4), ZEM_ERR_NULL_POINTER);
  EXPECT_EQ(zemDecodeBuffer("YWJj", nullptr, 4), ZEM_ERR_NULL_POINTER);
  EXPECT_EQ(std::string(out, 8), "########");
}

TEST(Base64DecodeBuffer, InternalTextDecoderMatchesExport) {
  const std::string text = Encode(RandomBytes(500, 9)) + "\n\nYQ==";
  Bytes a(text.size() + 8), b(text.size() + 8);
  const int32_t na = zemDecodeBuffer(text.data(), reinterpret_cast<char *>(a.data()),
                                     static_cast<int32_t>(text.size()));
  const int32_t nb = zem::Base64DecodeText(text.data(), static_cast<int32_t>(text.size()), b.data());
  ASSERT_EQ(na, 501);
  ASSERT_EQ(na, nb);
  EXPECT_EQ(a, b);
}

// Anything a server may send, damaged lines and every line-end form: the text decoder
// gives what decoding each line alone gives (lines end at CR or LF, a NUL ends the text),
// with the same zero bytes after the result; the name the incoming decoder calls for
// attachment bodies gives the same.
TEST(Base64DecodeText, LineByLineForAnyText) {
  std::mt19937 gen(2045);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\r\n \t*";
  for (int round = 0; round < 3000; ++round) {
    const size_t len = gen() % 200;
    std::string in(len, 'A');
    for (char &c : in) c = round % 3 == 0 ? static_cast<char>(gen() & 0xFF) : alphabet[gen() % alphabet.size()];
    Bytes want(len + 8, 0xEE), got(len + 8, 0xEE), bulk(len + 8, 0xEE);
    int32_t total = 0;
    for (size_t pos = 0; pos < len;) {
      const size_t end = std::min(in.find_first_of(std::string("\r\n\0", 3), pos), len);
      total += zem::Base64DecodeLine(in.data() + pos, static_cast<int32_t>(end - pos), want.data() + total);
      if (end < len && in[end] == '\0') break;
      pos = std::min(in.find_first_not_of("\r\n", end), len);
    }
    ASSERT_EQ(zem::Base64DecodeText(in.data(), static_cast<int32_t>(len), got.data()), total) << round;
    ASSERT_EQ(got, want) << round; // the zero bytes after the result too
    ASSERT_EQ(zem::Base64DecodeTextBulk(in.data(), static_cast<int32_t>(len), bulk.data()), total) << round;
    ASSERT_EQ(bulk, want) << round;
  }
  uint8_t out[16];
  EXPECT_EQ(zem::Base64DecodeTextBulk("YWJj\r\n", 6, out), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 3), "abc");
  EXPECT_EQ(zem::Base64DecodeTextBulk("YQ==", 4, out), 1);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(zem::Base64DecodeTextBulk(nullptr, 4, out), 0);
}

TEST(Base64RoundTrip, RandomDataCrLfAndLfOnly) {
  const size_t sizes[] = {0, 1, 2, 3, 56, 57, 58, 1000, 100000};
  uint32_t seed = 1000;
  for (size_t size : sizes) {
    const Bytes data = RandomBytes(size, seed++);
    const std::string crlf = Encode(data);
    EXPECT_EQ(DecodeGuarded(crlf), data) << "CR LF, size " << size;
    EXPECT_EQ(DecodeGuarded(StripCr(crlf)), data) << "LF, size " << size;
  }
}

// ---- Quoted-printable ----------------------------------------------------------------

std::string Qp(const char *in, int32_t outSize = 256, int32_t *count = nullptr) {
  std::string out(static_cast<size_t>(outSize) + 8, '#');
  const int32_t n = zem::QpDecodeLine(in, &out[0], outSize);
  if (count != nullptr) *count = n;
  EXPECT_GE(n, 0);
  EXPECT_LT(n, outSize);
  EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
  // Nothing past outSize.
  EXPECT_EQ(out.substr(static_cast<size_t>(outSize)), std::string(8, '#'));
  return out.substr(0, static_cast<size_t>(n));
}

TEST(QuotedPrintable, HexPairs) {
  EXPECT_EQ(Qp("a=3Db"), "a=b");
  EXPECT_EQ(Qp("caf=E9"), "caf\xE9");
  EXPECT_EQ(Qp("=3d"), std::string(1, '\x30'));  // lower-case digit counts as 0
  EXPECT_EQ(Qp("=e9"), std::string(1, '\x09'));
  EXPECT_EQ(Qp("=ZZx"), std::string("\0x", 2));
  EXPECT_EQ(Qp("=00=FF"), std::string("\0\xFF", 2));
  EXPECT_EQ(Qp("plain text, no escapes"), "plain text, no escapes");
}

TEST(QuotedPrintable, HeaderEscapesKept) {
  EXPECT_EQ(Qp("=?iso-8859-1?Q?caf=E9?x"), "=?iso-8859-1?Q?caf\xE9?x");
  // A closing "?=" at the very end loses its '=' like any '=' without a pair.
  EXPECT_EQ(Qp("=?us-ascii?Q?a?="), "=?us-ascii?Q?a?");
  EXPECT_EQ(Qp("say =\"hi\""), "say =\"hi\"");
  EXPECT_EQ(Qp("=?"), "=?");
}

TEST(QuotedPrintable, SoftBreaksAndEnds) {
  EXPECT_EQ(Qp("abc=\r\n"), "abc");
  EXPECT_EQ(Qp("abc=\rxyz"), "abc");
  EXPECT_EQ(Qp("abc="), "abc");     // '=' last
  EXPECT_EQ(Qp("abc=4"), "abc");    // pair would run past the end
  EXPECT_EQ(Qp("abc=41"), "abcA");  // pair exactly at the end
  EXPECT_EQ(Qp("line\r\n"), "line\r\n");
  EXPECT_EQ(Qp(""), "");
}

TEST(QuotedPrintable, OutputSizeBound) {
  int32_t n = -1;
  EXPECT_EQ(Qp("abcdef", 4, &n), "abc");
  EXPECT_EQ(n, 3);
  EXPECT_EQ(Qp("=41=42=43=44", 3, &n), "AB");
  EXPECT_EQ(Qp("abc", 1, &n), "");
  char untouched[2] = {'#', '#'};
  EXPECT_EQ(zem::QpDecodeLine("abc", untouched, 0), 0);
  EXPECT_EQ(untouched[0], '#');
  char out[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(zem::QpDecodeLine(nullptr, out, 4), 0);
  EXPECT_EQ(out[0], '\0');
}

}  // namespace
