// Quoted-printable decoding, RFC 2045 section 6.7.
#include "codec/codec.h"

namespace zem {
namespace {

// Only upper-case hex digits are taken (RFC 2045 section 6.7 rule 1 asks for them);
// anything else counts as 0.
uint8_t HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return 0;
}

}  // namespace

int32_t QpDecodeLine(const char *in, char *out, int32_t outSize) {
  if (out == nullptr || outSize <= 0) return 0;
  int32_t count = 0;
  if (in != nullptr) {
    const int32_t limit = outSize - 1;  // room for the closing NUL
    int32_t i = 0;
    while (count < limit && in[i] != '\0') {
      const char c = in[i];
      if (c != '=') {
        out[count++] = c;
        ++i;
        continue;
      }
      const char next = in[i + 1];
      if (next == '\r' || next == '\0') break;  // soft line break (rule 5), or end of text
      if (next == '"' || next == '?') {
        // Kept for header text such as encoded words; the next character is read as usual.
        out[count++] = c;
        ++i;
        continue;
      }
      const char low = in[i + 2];
      if (low == '\0') break;  // the hex pair would run past the end
      out[count++] = static_cast<char>((HexValue(next) << 4) | HexValue(low));
      i += 3;
    }
  }
  out[count] = '\0';
  return count;
}

}  // namespace zem
