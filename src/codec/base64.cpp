// Base64 content transfer encoding, RFC 2045 section 6.8.
#include "codec/codec.h"

namespace zem {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Characters outside the alphabet count as 0 rather than being skipped, so a damaged
// line still decodes to the same number of bytes.
uint32_t SixBits(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint32_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<uint32_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

}  // namespace

int32_t Base64EncodeLine(const uint8_t *in, int32_t n, char *out) {
  if (out == nullptr) return 0;
  int32_t written = 0;
  if (in != nullptr && n > 0) {
    for (int32_t i = 0; i < n; i += 3) {
      const int32_t left = n - i;
      const uint32_t b0 = in[i];
      const uint32_t b1 = left > 1 ? in[i + 1] : 0;
      const uint32_t b2 = left > 2 ? in[i + 2] : 0;
      out[written++] = kAlphabet[b0 >> 2];
      out[written++] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
      out[written++] = left > 1 ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
      out[written++] = left > 2 ? kAlphabet[b2 & 63] : '=';
    }
  }
  out[written] = '\r';
  out[written + 1] = '\n';
  return written;
}

int32_t Base64DecodeLine(const char *line, int32_t len, uint8_t *out) {
  if (out == nullptr) return 0;
  int32_t count = 0;
  if (line != nullptr && len > 2) {
    const int32_t groups = len / 4;
    int32_t pos = 0;
    for (int32_t g = 0; g < groups; ++g, pos += 4) {
      const uint32_t v = (SixBits(line[pos]) << 18) | (SixBits(line[pos + 1]) << 12) |
                         (SixBits(line[pos + 2]) << 6) | SixBits(line[pos + 3]);
      out[count++] = static_cast<uint8_t>(v >> 16);
      out[count++] = static_cast<uint8_t>(v >> 8);
      out[count++] = static_cast<uint8_t>(v);
    }
    // Padding of the last group shortens the result; the raw bytes already written
    // past the count (at most 2) lie inside the zero-filled area below.
    if (groups > 0 && line[pos - 1] == '=') {
      --count;
      if (line[pos - 2] == '=') --count;
    }
  }
  for (int32_t i = 0; i < 4; ++i) out[count + i] = 0;
  return count;
}

int32_t Base64DecodeText(const char *in, int32_t len, uint8_t *out) {
  if (in == nullptr || out == nullptr || len <= 0) return 0;
  int32_t total = 0;
  int32_t pos = 0;
  while (pos < len) {
    int32_t end = pos;
    while (end < len && in[end] != '\r' && in[end] != '\n' && in[end] != '\0') ++end;
    total += Base64DecodeLine(in + pos, end - pos, out + total);
    if (end < len && in[end] == '\0') break;  // the text ends at a NUL
    pos = end;
    while (pos < len && (in[pos] == '\r' || in[pos] == '\n')) ++pos;
  }
  return total;
}

}  // namespace zem
