// MD5 (RFC 1321), HMAC-MD5 (RFC 2104) and the CRAM-MD5 / APOP response texts built on
// them. The library carries its own digest code so it needs no crypto library.
#ifndef ZEM_CODEC_MD5_H
#define ZEM_CODEC_MD5_H

#include <cstddef>
#include <cstdint>

namespace zem {

struct Md5Context {
  uint32_t state[4];
  uint32_t count[2];  // message length in bits, low word first
  uint8_t buffer[64];
};

void Md5Init(Md5Context &ctx);
void Md5Update(Md5Context &ctx, const void *data, size_t len);
// Writes the digest and zeroes the whole context.
void Md5Final(Md5Context &ctx, uint8_t digest[16]);

// HMAC-MD5 of text under key; a key longer than the 64-byte block is replaced by its MD5.
void HmacMd5(const void *text, size_t textLen, const void *key, size_t keyLen, uint8_t out[16]);

// Lower-case hex form of a digest, NUL-terminated.
void HexDigest(const uint8_t digest[16], char out[33]);

// Size of the work area that holds a decoded challenge and then the response text.
constexpr int kAuthWorkSize = 132;

// authWork holds the decoded CRAM-MD5 challenge (RFC 2195); it is replaced by
// "<user> <hex HMAC-MD5 keyed with password over the challenge>". The challenge ends at
// its first CR, or at its NUL.
void CramMd5Response(char (&authWork)[kAuthWorkSize], const char *user, const char *password);

// authWork holds the server's APOP timestamp followed by the password (RFC 1939
// section 7); it is replaced by "<user> <hex MD5 of that text>".
void ApopResponse(char (&authWork)[kAuthWorkSize], const char *user);

}  // namespace zem

#endif  // ZEM_CODEC_MD5_H
