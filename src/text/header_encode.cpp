#include "text/header_encode.h"

#include "text/charset.h"

namespace zem {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int32_t kWordFrame = 12; // "=?utf-8?B?" and "?="

// A byte Q writes as itself. A space becomes '_' (one column) and counts as such.
bool QLiteral(uint8_t c, WordKind kind) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    if (kind == WordKind::kPhrase) return c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
    return c > 32 && c < 127 && c != '=' && c != '?' && c != '_' && c != '"' && c != '(' && c != ')';
}

int32_t QBytes(uint8_t c, WordKind kind) { return (c == ' ' || QLiteral(c, kind)) ? 1 : 3; }

int32_t PayloadLength(const char *utf8, int32_t n, bool q, WordKind kind) {
    if (!q) return (n + 2) / 3 * 4;
    int32_t len = 0;
    for (int32_t i = 0; i < n; ++i) len += QBytes(static_cast<uint8_t>(utf8[i]), kind);
    return len;
}

} // namespace

int32_t EncodedWordLength(const char *utf8, int32_t n, bool q, WordKind kind) {
    return kWordFrame + PayloadLength(utf8, n, q, kind);
}

int32_t WriteEncodedWord(const char *utf8, int32_t n, bool q, WordKind kind, char *out) {
    int32_t k = 0;
    for (const char *p = q ? "=?utf-8?Q?" : "=?utf-8?B?"; *p; ++p) out[k++] = *p;
    const auto *s = reinterpret_cast<const uint8_t *>(utf8);
    if (q) {
        for (int32_t i = 0; i < n; ++i) {
            uint8_t c = s[i];
            if (c == ' ') {
                out[k++] = '_';
            } else if (QLiteral(c, kind)) {
                out[k++] = static_cast<char>(c);
            } else {
                out[k++] = '=';
                out[k++] = kHex[c >> 4];
                out[k++] = kHex[c & 15];
            }
        }
    } else {
        for (int32_t i = 0; i < n; i += 3) {
            uint32_t b0 = s[i], b1 = i + 1 < n ? s[i + 1] : 0, b2 = i + 2 < n ? s[i + 2] : 0;
            out[k++] = kB64[b0 >> 2];
            out[k++] = kB64[((b0 & 3) << 4) | (b1 >> 4)];
            out[k++] = i + 1 < n ? kB64[((b1 & 15) << 2) | (b2 >> 6)] : '=';
            out[k++] = i + 2 < n ? kB64[b2 & 63] : '=';
        }
    }
    out[k++] = '?';
    out[k++] = '=';
    return k;
}

bool PreferQ(const char *utf8, int32_t n, WordKind kind) {
    return PayloadLength(utf8, n, true, kind) <= PayloadLength(utf8, n, false, kind);
}

int32_t WordPiece(const char *utf8, int32_t n, bool q, WordKind kind, int32_t maxLen) {
    int32_t taken = 0;
    while (taken < n) {
        int32_t len = Utf8CharBytes(static_cast<uint8_t>(utf8[taken]));
        if (taken + len > n) len = n - taken;
        if (taken > 0 && EncodedWordLength(utf8, taken + len, q, kind) > maxLen) break;
        taken += len;
    }
    return taken;
}

bool IsAttributeChar(uint8_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
    case '!': case '#': case '$': case '&': case '+': case '-': case '.':
    case '^': case '_': case '`': case '|': case '~': return true;
    default: return false;
    }
}

int32_t PercentPiece(const char *utf8, int32_t n, int32_t maxLen) {
    int32_t taken = 0;
    int32_t cols = 0;
    while (taken < n) {
        int32_t len = Utf8CharBytes(static_cast<uint8_t>(utf8[taken]));
        if (taken + len > n) len = n - taken;
        int32_t w = 0;
        for (int32_t k = 0; k < len; ++k) w += IsAttributeChar(static_cast<uint8_t>(utf8[taken + k])) ? 1 : 3;
        if (taken > 0 && cols + w > maxLen) break;
        cols += w;
        taken += len;
    }
    return taken;
}

int32_t WritePercent(const char *utf8, int32_t n, char *out) {
    int32_t k = 0;
    for (int32_t i = 0; i < n; ++i) {
        auto c = static_cast<uint8_t>(utf8[i]);
        if (IsAttributeChar(c)) {
            out[k++] = static_cast<char>(c);
        } else {
            out[k++] = '%';
            out[k++] = kHex[c >> 4];
            out[k++] = kHex[c & 15];
        }
    }
    return k;
}

} // namespace zem
