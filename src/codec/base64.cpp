// Base64 content transfer encoding, RFC 2045 section 6.8.
//
// Both directions go through tables so that the inner loops carry no per-character branch:
// the encoder looks up 12 bits at a time (two characters per lookup, 3 bytes -> 4 characters
// per step) and the decoder maps every byte through one 256-entry table.
#include <array>
#include <cstring>

#include "codec/codec.h"

namespace zem {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// kPairs[v] holds the two characters of the 12-bit value v, first character first.
struct PairTable {
  char pair[4096][2];
};
constexpr PairTable MakePairs() {
  PairTable t{};
  for (int v = 0; v < 4096; ++v) {
    t.pair[v][0] = kAlphabet[v >> 6];
    t.pair[v][1] = kAlphabet[v & 63];
  }
  return t;
}
constexpr PairTable kPairs = MakePairs();

// The 6-bit value of every byte. Characters outside the alphabet, '=' included, count as 0
// rather than being skipped, so a damaged line still decodes to the same number of bytes.
struct ValueTable {
  uint8_t value[256];
};
constexpr ValueTable MakeValues() {
  ValueTable t{};
  for (int i = 0; i < 64; ++i) t.value[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
  return t;
}
constexpr ValueTable kValues = MakeValues();

inline void EncodeGroup(const uint8_t *in, char *out) {
  const uint32_t v = (static_cast<uint32_t>(in[0]) << 16) | (static_cast<uint32_t>(in[1]) << 8) | in[2];
  std::memcpy(out, kPairs.pair[v >> 12], 2);
  std::memcpy(out + 2, kPairs.pair[v & 4095], 2);
}

// One line without its line end. Writes the bytes of every whole group, then four zero
// bytes after the count (over any padding bytes just written): out needs count + 4.
inline int32_t DecodeLine(const uint8_t *line, int32_t len, uint8_t *out) {
  int32_t count = 0;
  if (len > 2) {
    const int32_t groups = len / 4;
    const uint8_t *p = line;
    for (int32_t g = 0; g < groups; ++g, p += 4) {
      const uint32_t v = (static_cast<uint32_t>(kValues.value[p[0]]) << 18) |
                         (static_cast<uint32_t>(kValues.value[p[1]]) << 12) |
                         (static_cast<uint32_t>(kValues.value[p[2]]) << 6) | kValues.value[p[3]];
      out[count] = static_cast<uint8_t>(v >> 16);
      out[count + 1] = static_cast<uint8_t>(v >> 8);
      out[count + 2] = static_cast<uint8_t>(v);
      count += 3;
    }
    // Padding of the last group shortens the result.
    if (groups > 0 && p[-1] == '=') {
      --count;
      if (p[-2] == '=') --count;
    }
  }
  // Four stores, not memset: this runs once per body line and stays inline.
  out[count] = 0;
  out[count + 1] = 0;
  out[count + 2] = 0;
  out[count + 3] = 0;
  return count;
}

}  // namespace

int32_t Base64EncodeLine(const uint8_t *in, int32_t n, char *out) {
  if (out == nullptr) return 0;
  int32_t written = 0;
  if (in != nullptr && n > 0) {
    const int32_t whole = n / 3;
    if (whole == kBase64LineBytes / 3) {
      // A full line: a fixed count the compiler unrolls.
      for (int32_t g = 0; g < kBase64LineBytes / 3; ++g) EncodeGroup(in + 3 * g, out + 4 * g);
    } else {
      for (int32_t g = 0; g < whole; ++g) EncodeGroup(in + 3 * g, out + 4 * g);
    }
    written = 4 * whole;
    const int32_t left = n - 3 * whole;
    if (left > 0) {
      // The last group of one or two bytes: the missing bytes count as zero, '=' pads.
      const uint32_t b0 = in[3 * whole];
      const uint32_t b1 = left > 1 ? in[3 * whole + 1] : 0;
      out[written] = kAlphabet[b0 >> 2];
      out[written + 1] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
      out[written + 2] = left > 1 ? kAlphabet[(b1 & 15) << 2] : '=';
      out[written + 3] = '=';
      written += 4;
    }
  }
  out[written] = '\r';
  out[written + 1] = '\n';
  return written;
}

int32_t Base64DecodeLine(const char *line, int32_t len, uint8_t *out) {
  if (out == nullptr) return 0;
  if (line == nullptr) len = 0;
  return DecodeLine(reinterpret_cast<const uint8_t *>(line), len, out);
}

int32_t Base64DecodeText(const char *in, int32_t len, uint8_t *out) {
  if (in == nullptr || out == nullptr || len <= 0) return 0;
  const auto *text = reinterpret_cast<const uint8_t *>(in);
  int32_t total = 0;
  int32_t pos = 0;
  while (pos < len) {
    int32_t end = pos;
    while (end < len && text[end] != '\r' && text[end] != '\n' && text[end] != 0) ++end;
    total += DecodeLine(text + pos, end - pos, out + total);
    if (end < len && text[end] == 0) break;  // the text ends at a NUL
    pos = end;
    while (pos < len && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
  }
  return total;
}

}  // namespace zem
