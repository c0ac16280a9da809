// MD5 message digest, RFC 1321 (the reference algorithm in section 3 and appendix A).
#include "codec/md5.h"

#include <cstring>

namespace zem {
namespace {

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// Per-step shift amounts and sine-derived constants, RFC 1321 section 3.4.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};

void Transform(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = static_cast<uint32_t>(block[i * 4]) | (static_cast<uint32_t>(block[i * 4 + 1]) << 8) |
           (static_cast<uint32_t>(block[i * 4 + 2]) << 16) |
           (static_cast<uint32_t>(block[i * 4 + 3]) << 24);
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int k;
    if (i < 16) {
      f = F(b, c, d);
      k = i;
    } else if (i < 32) {
      f = G(b, c, d);
      k = (5 * i + 1) & 15;
    } else if (i < 48) {
      f = H(b, c, d);
      k = (3 * i + 5) & 15;
    } else {
      f = I(b, c, d);
      k = (7 * i) & 15;
    }
    const uint32_t next = b + RotateLeft(a + f + kSine[i] + x[k], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  std::memset(x, 0, sizeof x);  // the block may hold a key
}

void StoreLe(uint8_t *out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
  out[2] = static_cast<uint8_t>(v >> 16);
  out[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

void Md5Init(Md5Context &ctx) {
  ctx.count[0] = 0;
  ctx.count[1] = 0;
  ctx.state[0] = 0x67452301;
  ctx.state[1] = 0xefcdab89;
  ctx.state[2] = 0x98badcfe;
  ctx.state[3] = 0x10325476;
  std::memset(ctx.buffer, 0, sizeof ctx.buffer);
}

void Md5Update(Md5Context &ctx, const void *data, size_t len) {
  if (data == nullptr || len == 0) return;
  const uint8_t *in = static_cast<const uint8_t *>(data);
  size_t index = (ctx.count[0] >> 3) & 63;

  // Bit count modulo 2^64 (RFC 1321 section 3.2).
  const uint64_t bits = static_cast<uint64_t>(len) << 3;
  const uint32_t low = ctx.count[0] + static_cast<uint32_t>(bits);
  if (low < ctx.count[0]) ++ctx.count[1];
  ctx.count[0] = low;
  ctx.count[1] += static_cast<uint32_t>(bits >> 32);

  const size_t room = 64 - index;
  size_t i = 0;
  if (len >= room) {
    std::memcpy(ctx.buffer + index, in, room);
    Transform(ctx.state, ctx.buffer);
    for (i = room; i + 63 < len; i += 64) Transform(ctx.state, in + i);
    index = 0;
  }
  std::memcpy(ctx.buffer + index, in + i, len - i);
}

void Md5Final(Md5Context &ctx, uint8_t digest[16]) {
  uint8_t bits[8];
  StoreLe(bits, ctx.count[0]);
  StoreLe(bits + 4, ctx.count[1]);

  // Pad with 0x80 and zeros to 56 mod 64, then the length (RFC 1321 sections 3.1, 3.2).
  static const uint8_t kPadding[64] = {0x80};
  const size_t index = (ctx.count[0] >> 3) & 63;
  const size_t padLen = index < 56 ? 56 - index : 120 - index;
  Md5Update(ctx, kPadding, padLen);
  Md5Update(ctx, bits, 8);

  for (int i = 0; i < 4; ++i) StoreLe(digest + i * 4, ctx.state[i]);
  std::memset(&ctx, 0, sizeof ctx);
}

}  // namespace zem
