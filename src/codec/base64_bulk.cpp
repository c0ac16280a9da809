// Base64 text decoded in bulk (RFC 2045 section 6.8): the same results as
// Base64DecodeText and Base64DecodeLine, byte for byte, through a lookup table of the
// alphabet, for the decoder's attachment bodies at line rate.
#include "codec/codec.h"

namespace zem {
namespace {

struct SixBitTable {
    uint8_t v[256];
    constexpr SixBitTable() : v() {
        for (int c = 'A'; c <= 'Z'; ++c) v[c] = static_cast<uint8_t>(c - 'A');
        for (int c = 'a'; c <= 'z'; ++c) v[c] = static_cast<uint8_t>(c - 'a' + 26);
        for (int c = '0'; c <= '9'; ++c) v[c] = static_cast<uint8_t>(c - '0' + 52);
        v[static_cast<uint8_t>('+')] = 62;
        v[static_cast<uint8_t>('/')] = 63; // every other character counts as 0, '=' included
    }
};
constexpr SixBitTable kSix;

// One line without line end, as Base64DecodeLine decodes it.
int32_t DecodeLineBulk(const uint8_t *line, int32_t len, uint8_t *out) {
    int32_t count = 0;
    if (len > 2) {
        const int32_t groups = len / 4;
        const uint8_t *p = line;
        for (int32_t g = 0; g < groups; ++g, p += 4) {
            const uint32_t v = (static_cast<uint32_t>(kSix.v[p[0]]) << 18) | (static_cast<uint32_t>(kSix.v[p[1]]) << 12) |
                               (static_cast<uint32_t>(kSix.v[p[2]]) << 6) | kSix.v[p[3]];
            out[count] = static_cast<uint8_t>(v >> 16);
            out[count + 1] = static_cast<uint8_t>(v >> 8);
            out[count + 2] = static_cast<uint8_t>(v);
            count += 3;
        }
        if (groups > 0 && p[-1] == '=') {
            --count;
            if (p[-2] == '=') --count;
        }
    }
    out[count] = 0;
    out[count + 1] = 0;
    out[count + 2] = 0;
    out[count + 3] = 0;
    return count;
}

} // namespace

int32_t Base64DecodeTextBulk(const char *in, int32_t len, uint8_t *out) {
    if (in == nullptr || out == nullptr || len <= 0) return 0;
    const auto *text = reinterpret_cast<const uint8_t *>(in);
    int32_t total = 0;
    int32_t pos = 0;
    while (pos < len) {
        int32_t end = pos;
        while (end < len && text[end] != '\r' && text[end] != '\n' && text[end] != 0) ++end;
        total += DecodeLineBulk(text + pos, end - pos, out + total);
        if (end < len && text[end] == 0) break; // the text ends at a NUL
        pos = end;
        while (pos < len && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
    }
    return total;
}

} // namespace zem
