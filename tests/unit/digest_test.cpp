// MD5, HMAC-MD5 and the CRAM-MD5 / APOP response texts: published test vectors and
// agreement with Python's hashlib and hmac on random inputs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec/md5.h"

#ifndef ZEM_PYTHON
#define ZEM_PYTHON "python3"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t digest[16]) {
  char out[33];
  zem::HexDigest(digest, out);
  return out;
}

std::string ToHex(const Bytes &b) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t v : b) {
    out += kHex[v >> 4];
    out += kHex[v & 15];
  }
  return out;
}

std::string Md5Hex(const void *data, size_t len) {
  zem::Md5Context ctx;
  zem::Md5Init(ctx);
  zem::Md5Update(ctx, data, len);
  uint8_t d[16];
  zem::Md5Final(ctx, d);
  return Hex(d);
}

std::string Md5Hex(const std::string &s) { return Md5Hex(s.data(), s.size()); }

std::string HmacHex(const Bytes &text, const Bytes &key) {
  uint8_t d[16];
  zem::HmacMd5(text.data(), text.size(), key.data(), key.size(), d);
  return Hex(d);
}

Bytes Str(const std::string &s) { return Bytes(s.begin(), s.end()); }

Bytes RandomBytes(size_t n, std::mt19937 &gen) {
  std::uniform_int_distribution<int> dist(0, 255);
  Bytes out(n);
  for (auto &b : out) b = static_cast<uint8_t>(dist(gen));
  return out;
}

// ---- MD5 -----------------------------------------------------------------------------

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PiecewiseUpdatesMatchOneCall) {
  std::mt19937 gen(42);
  const Bytes data = RandomBytes(1000, gen);
  const std::string whole = Md5Hex(data.data(), data.size());
  const size_t steps[] = {1, 3, 55, 56, 63, 64, 65, 127, 999};
  for (size_t step : steps) {
    zem::Md5Context ctx;
    zem::Md5Init(ctx);
    for (size_t pos = 0; pos < data.size(); pos += step)
      zem::Md5Update(ctx, data.data() + pos, std::min(step, data.size() - pos));
    zem::Md5Update(ctx, nullptr, 0);
    uint8_t d[16];
    zem::Md5Final(ctx, d);
    EXPECT_EQ(Hex(d), whole) << "step " << step;
  }
}

TEST(Md5, FinalZeroesTheContext) {
  zem::Md5Context ctx;
  zem::Md5Init(ctx);
  zem::Md5Update(ctx, "secret password", 15);
  uint8_t d[16];
  zem::Md5Final(ctx, d);
  const uint8_t *raw = reinterpret_cast<const uint8_t *>(&ctx);
  for (size_t i = 0; i < sizeof ctx; ++i) ASSERT_EQ(raw[i], 0) << "byte " << i;
}

TEST(Md5, HexDigestIsLowerCase) {
  uint8_t d[16];
  for (int i = 0; i < 16; ++i) d[i] = static_cast<uint8_t>(i * 17);  // 00 11 .. ff
  char out[34];
  out[33] = '#';
  zem::HexDigest(d, out);
  EXPECT_STREQ(out, "00112233445566778899aabbccddeeff");
  EXPECT_EQ(out[33], '#');
}

// ---- HMAC-MD5 ------------------------------------------------------------------------

TEST(HmacMd5, Rfc2104AndRfc2202Vectors) {
  // RFC 2104 appendix / RFC 2202 section 2, cases 1-3.
  EXPECT_EQ(HmacHex(Str("Hi There"), Bytes(16, 0x0b)), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(HmacHex(Str("what do ya want for nothing?"), Str("Jefe")),
            "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(HmacHex(Bytes(50, 0xdd), Bytes(16, 0xaa)), "56be34521d144c88dbb8c733f0e8b3f6");
  // RFC 2202 cases 4-7, the last two with an 80-byte key.
  Bytes key25;
  for (int i = 1; i <= 25; ++i) key25.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(HmacHex(Bytes(50, 0xcd), key25), "697eaf0aca3a3aea3a75164746ffaa79");
  EXPECT_EQ(HmacHex(Str("Test With Truncation"), Bytes(16, 0x0c)),
            "56461ef2342edc00f9bab995690efd4c");
  EXPECT_EQ(HmacHex(Str("Test Using Larger Than Block-Size Key - Hash Key First"), Bytes(80, 0xaa)),
            "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  EXPECT_EQ(HmacHex(Str("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
                    Bytes(80, 0xaa)),
            "6f630fad67cda0ee1fb1f562db3aa53e");
}

TEST(HmacMd5, LongKeyEqualsItsDigestAsKey) {
  std::mt19937 gen(5);
  const Bytes key = RandomBytes(100, gen);
  zem::Md5Context ctx;
  zem::Md5Init(ctx);
  zem::Md5Update(ctx, key.data(), key.size());
  uint8_t kd[16];
  zem::Md5Final(ctx, kd);
  EXPECT_EQ(HmacHex(Str("text"), key), HmacHex(Str("text"), Bytes(kd, kd + 16)));
  // A 64-byte key is used as it is, not hashed.
  const Bytes key64 = RandomBytes(64, gen);
  zem::Md5Init(ctx);
  zem::Md5Update(ctx, key64.data(), key64.size());
  zem::Md5Final(ctx, kd);
  EXPECT_NE(HmacHex(Str("text"), key64), HmacHex(Str("text"), Bytes(kd, kd + 16)));
}

// Random texts and keys, hex-encoded into a file that one python3 run reads; each line
// of its output holds the MD5 of the text and the HMAC-MD5 of text under key.
TEST(HmacMd5, AgreesWithPythonOnRandomInputs) {
  std::mt19937 gen(20240601);
  std::uniform_int_distribution<int> textLen(0, 300);
  std::uniform_int_distribution<int> keyLen(0, 200);
  std::vector<std::pair<Bytes, Bytes>> cases;
  cases.push_back({Bytes(), Bytes()});
  cases.push_back({Bytes(), RandomBytes(65, gen)});
  cases.push_back({RandomBytes(64, gen), Bytes()});
  cases.push_back({RandomBytes(20000, gen), RandomBytes(64, gen)});
  for (size_t n : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u})
    cases.push_back({RandomBytes(n, gen), RandomBytes(n, gen)});
  for (int i = 0; i < 300; ++i)
    cases.push_back({RandomBytes(static_cast<size_t>(textLen(gen)), gen),
                     RandomBytes(static_cast<size_t>(keyLen(gen)), gen)});

  char path[] = "/tmp/zem_digest_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  FILE *f = fdopen(fd, "w");
  ASSERT_NE(f, nullptr);
  for (const auto &c : cases) std::fprintf(f, "%s,%s\n", ToHex(c.first).c_str(), ToHex(c.second).c_str());
  std::fclose(f);

  const std::string cmd = std::string(ZEM_PYTHON) +
                          " -c \"import sys,hashlib,hmac\n"
                          "for l in open(sys.argv[1]):\n"
                          "  t,k=(bytes.fromhex(x) for x in l.strip().split(','))\n"
                          "  print(hashlib.md5(t).hexdigest(), hmac.new(k,t,hashlib.md5).hexdigest())\" " +
                          path;
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, p)) > 0) out.append(chunk, got);
  EXPECT_EQ(pclose(p), 0);
  std::remove(path);

  std::istringstream lines(out);
  size_t i = 0;
  std::string md5, mac;
  while (lines >> md5 >> mac) {
    ASSERT_LT(i, cases.size());
    const auto &c = cases[i];
    EXPECT_EQ(Md5Hex(c.first.data(), c.first.size()), md5) << "case " << i;
    EXPECT_EQ(HmacHex(c.first, c.second), mac)
        << "case " << i << " text " << c.first.size() << " key " << c.second.size();
    ++i;
  }
  EXPECT_EQ(i, cases.size());
}

// ---- CRAM-MD5 and APOP ---------------------------------------------------------------

void SetWork(char (&work)[zem::kAuthWorkSize], const std::string &text) {
  ASSERT_LT(text.size(), sizeof work);
  std::memset(work, '#', sizeof work);
  std::memcpy(work, text.c_str(), text.size() + 1);
}

TEST(AuthResponse, CramMd5Rfc2195Example) {
  char work[zem::kAuthWorkSize];
  SetWork(work, "<1896.697170952@postoffice.reston.mci.net>");
  zem::CramMd5Response(work, "tim", "tanstaaftanstaaf");
  EXPECT_STREQ(work, "tim b913a602c7eda7a495b4e6e7334d3890");
}

TEST(AuthResponse, CramMd5HashesOnlyUpToCr) {
  char plain[zem::kAuthWorkSize];
  char withCr[zem::kAuthWorkSize];
  SetWork(plain, "<1896.697170952@postoffice.reston.mci.net>");
  SetWork(withCr, "<1896.697170952@postoffice.reston.mci.net>\r\ntrailing junk");
  zem::CramMd5Response(plain, "tim", "tanstaaftanstaaf");
  zem::CramMd5Response(withCr, "tim", "tanstaaftanstaaf");
  EXPECT_STREQ(withCr, "tim b913a602c7eda7a495b4e6e7334d3890");
  EXPECT_STREQ(withCr, plain);
  // Without the CR the trailing text counts.
  char withLf[zem::kAuthWorkSize];
  SetWork(withLf, "<1896.697170952@postoffice.reston.mci.net>\ntrailing junk");
  zem::CramMd5Response(withLf, "tim", "tanstaaftanstaaf");
  EXPECT_STRNE(withLf, plain);
}

TEST(AuthResponse, CramMd5UserForms) {
  char work[zem::kAuthWorkSize];
  SetWork(work, "<1896.697170952@postoffice.reston.mci.net>");
  zem::CramMd5Response(work, "", "tanstaaftanstaaf");
  EXPECT_STREQ(work, " b913a602c7eda7a495b4e6e7334d3890");

  const std::string user64(64, 'u');
  SetWork(work, "<1896.697170952@postoffice.reston.mci.net>");
  zem::CramMd5Response(work, user64.c_str(), "tanstaaftanstaaf");
  EXPECT_EQ(std::string(work), user64 + " b913a602c7eda7a495b4e6e7334d3890");

  // A password longer than the block is hashed first, as HMAC requires.
  const std::string longPass(100, 'p');
  SetWork(work, "challenge");
  zem::CramMd5Response(work, "u", longPass.c_str());
  uint8_t d[16];
  zem::HmacMd5("challenge", 9, longPass.data(), longPass.size(), d);
  EXPECT_EQ(std::string(work), "u " + Hex(d));
}

TEST(AuthResponse, CramMd5ChallengeFillingTheWorkArea) {
  // No NUL inside the area: the whole 132 bytes are the challenge, nothing beyond.
  char work[zem::kAuthWorkSize];
  std::memset(work, 'c', sizeof work);
  zem::CramMd5Response(work, "u", "key");
  uint8_t d[16];
  const std::string challenge(zem::kAuthWorkSize, 'c');
  zem::HmacMd5(challenge.data(), challenge.size(), "key", 3, d);
  EXPECT_EQ(std::string(work), "u " + Hex(d));
}

TEST(AuthResponse, ApopRfc1939Example) {
  char work[zem::kAuthWorkSize];
  SetWork(work, "<1896.697170952@dbc.mtview.ca.us>tanstaaf");
  zem::ApopResponse(work, "mrose");
  EXPECT_STREQ(work, "mrose c4c9334bac560ecc979e58001b3e22fb");

  SetWork(work, "<1896.697170952@dbc.mtview.ca.us>tanstaaf");
  zem::ApopResponse(work, "");
  EXPECT_STREQ(work, " c4c9334bac560ecc979e58001b3e22fb");
}

}  // namespace
