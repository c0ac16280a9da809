// HMAC-MD5 (RFC 2104) and the response texts of CRAM-MD5 (RFC 2195) and APOP
// (RFC 1939 section 7).
#include <cstdio>
#include <cstring>

#include "codec/md5.h"

namespace zem {
namespace {

constexpr size_t kBlock = 64;

// Length of a NUL-terminated text that may fill its array without a NUL.
size_t BoundedLength(const char *text, size_t size) {
  const void *nul = std::memchr(text, '\0', size);
  return nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - text) : size;
}

void WriteResponse(char (&authWork)[kAuthWorkSize], const char *user, const uint8_t digest[16]) {
  char hex[33];
  HexDigest(digest, hex);
  std::snprintf(authWork, sizeof authWork, "%s %s", user != nullptr ? user : "", hex);
}

}  // namespace

void HmacMd5(const void *text, size_t textLen, const void *key, size_t keyLen, uint8_t out[16]) {
  uint8_t keyDigest[16];
  if (key == nullptr) keyLen = 0;
  if (keyLen > kBlock) {
    Md5Context kc;
    Md5Init(kc);
    Md5Update(kc, key, keyLen);
    Md5Final(kc, keyDigest);
    key = keyDigest;
    keyLen = sizeof keyDigest;
  }

  // RFC 2104 section 2: H(K XOR opad, H(K XOR ipad, text)).
  uint8_t ipad[kBlock];
  uint8_t opad[kBlock];
  std::memset(ipad, 0, sizeof ipad);
  if (keyLen > 0) std::memcpy(ipad, key, keyLen);
  std::memcpy(opad, ipad, sizeof opad);
  for (size_t i = 0; i < kBlock; ++i) {
    ipad[i] ^= 0x36;
    opad[i] ^= 0x5C;
  }

  uint8_t inner[16];
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, ipad, sizeof ipad);
  Md5Update(ctx, text, text != nullptr ? textLen : 0);
  Md5Final(ctx, inner);

  Md5Init(ctx);
  Md5Update(ctx, opad, sizeof opad);
  Md5Update(ctx, inner, sizeof inner);
  Md5Final(ctx, out);

  // Key material is not left on the stack.
  std::memset(ipad, 0, sizeof ipad);
  std::memset(opad, 0, sizeof opad);
  std::memset(keyDigest, 0, sizeof keyDigest);
}

void HexDigest(const uint8_t digest[16], char out[33]) {
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    out[i * 2] = kHex[digest[i] >> 4];
    out[i * 2 + 1] = kHex[digest[i] & 15];
  }
  out[32] = '\0';
}

void CramMd5Response(char (&authWork)[kAuthWorkSize], const char *user, const char *password) {
  size_t len = BoundedLength(authWork, sizeof authWork);
  const void *cr = std::memchr(authWork, '\r', len);
  if (cr != nullptr) len = static_cast<size_t>(static_cast<const char *>(cr) - authWork);
  const char *key = password != nullptr ? password : "";

  uint8_t digest[16];
  HmacMd5(authWork, len, key, std::strlen(key), digest);
  WriteResponse(authWork, user, digest);
}

void ApopResponse(char (&authWork)[kAuthWorkSize], const char *user) {
  uint8_t digest[16];
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, authWork, BoundedLength(authWork, sizeof authWork));
  Md5Final(ctx, digest);
  WriteResponse(authWork, user, digest);
}

}  // namespace zem
