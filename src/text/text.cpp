#include "text/text.h"

#include "frame/settings.h"

namespace zem {

namespace {

// Only a-z are folded: header names and commands are ASCII, and folding other bytes
// (for instance '{' to '[') would make different texts look equal.
inline char FoldUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

inline bool IsPathSeparator(char c) { return c == '/' || c == '\\' || c == ':'; }

} // namespace

int32_t TextLength(const char *t) {
    if (t == nullptr) return 0;
    int32_t n = 0;
    while (t[n] != '\0') ++n;
    return n;
}

const char *FindChar(const char *t, char c) {
    if (t == nullptr) return nullptr;
    for (; *t != '\0'; ++t)
        if (*t == c) return t;
    return nullptr;
}

char *FindChar(char *t, char c) { return const_cast<char *>(FindChar(static_cast<const char *>(t), c)); }

const char *FindInFirstAddress(const char *t, char c) {
    if (t == nullptr) return nullptr;
    const char sep = RecipientSeparator();
    for (; *t != '\0'; ++t) {
        if (*t == c) return t;
        if (*t == sep) return nullptr;
    }
    return nullptr;
}

char *FindInFirstAddress(char *t, char c) {
    return const_cast<char *>(FindInFirstAddress(static_cast<const char *>(t), c));
}

int32_t CopyText(char *dst, const char *src, int32_t k) {
    if (dst == nullptr || src == nullptr) return 0;
    int32_t n = 0;
    while (n < k && src[n] != '\0') {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
    return n;
}

int32_t AppendText(char *dst, const char *src, int32_t k) {
    if (dst == nullptr || src == nullptr) return 0;
    return CopyText(dst + TextLength(dst), src, k);
}

int32_t AppendBounded(char *dst, int32_t dstSize, const char *src) {
    if (dst == nullptr || src == nullptr || dstSize <= 0) return 0;
    // Find the end of dst without looking past its size: an unterminated dst is not ours
    // to extend.
    int32_t used = 0;
    while (used < dstSize && dst[used] != '\0') ++used;
    if (used >= dstSize) return 0;
    return CopyText(dst + used, src, dstSize - 1 - used);
}

void CopyCounted(char *dst, const char *src, int32_t n) {
    if (dst == nullptr || src == nullptr) return;
    if (n < 0) n = 0;
    for (int32_t i = 0; i < n; ++i) dst[i] = src[i];
    dst[n] = '\0';
}

bool SameTextNoCase(const char *a, const char *b, int32_t n) {
    if (a == nullptr || b == nullptr || n <= 0) return false;
    for (int32_t i = 0; i < n; ++i) {
        const char ca = FoldUpper(a[i]);
        if (ca != FoldUpper(b[i])) return false;  // includes one text ending early
        if (ca == '\0') return true;              // both end here
    }
    return true;
}

const char *FindTextNoCase(const char *text, const char *pattern) {
    if (text == nullptr || pattern == nullptr) return nullptr;
    const int32_t plen = TextLength(pattern);
    if (plen == 0) return nullptr;
    const int32_t tlen = TextLength(text);
    for (int32_t i = 0; i + plen <= tlen; ++i)
        if (SameTextNoCase(text + i, pattern, plen)) return text + i;
    return nullptr;
}

char *FindTextNoCase(char *text, const char *pattern) {
    return const_cast<char *>(FindTextNoCase(static_cast<const char *>(text), pattern));
}

bool IsValidServerName(const char *t) {
    if (t == nullptr) return false;
    for (; *t != '\0'; ++t) {
        const unsigned char u = static_cast<unsigned char>(*t);
        if (u == '<' || u == '>' || u == '@') return false;
        const bool printable = u >= 32 && u <= 126;
        const bool upperLatin = u >= 192;  // accented letters of Latin-1 names
        if (!printable && !upperLatin) return false;
    }
    return true;
}

namespace {

// Reads the four parts of a dotted address into parts[]; false when t is not one.
bool ReadDotted(const char *t, uint32_t (&parts)[4]) {
    if (t == nullptr) return false;
    for (int i = 0; i < 4; ++i) {
        uint32_t value = 0;
        while (IsDigit(*t)) {
            value = value * 10 + static_cast<uint32_t>(*t - '0');
            // Stop at once so that a long run of digits cannot overflow.
            if (value >= 256) return false;
            ++t;
        }
        parts[i] = value;
        if (i < 3) {
            if (*t != '.') return false;
            ++t;
        } else if (*t != '\0' && *t != '.') {
            return false;
        }
    }
    return true;
}

} // namespace

bool IsDottedAddress(const char *t) {
    uint32_t parts[4];
    return ReadDotted(t, parts);
}

uint32_t ParseDotted(const char *t) {
    uint32_t parts[4];
    if (!ReadDotted(t, parts)) return 0;
    return (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
}

int32_t ParseReplyCode(const char *t) {
    if (t == nullptr) return 0;
    // Ten digits fit in 64 bits; the result wraps to 32 bits like the reply field would.
    uint64_t value = 0;
    for (int i = 0; i < 10 && IsDigit(t[i]); ++i) value = value * 10 + static_cast<uint64_t>(t[i] - '0');
    const uint32_t low = static_cast<uint32_t>(value);
    return low <= 0x7FFFFFFFu ? static_cast<int32_t>(low)
                              : static_cast<int32_t>(low - 0x80000000u) - 0x7FFFFFFF - 1;
}

const char *FileNamePart(const char *path) {
    if (path == nullptr) return nullptr;
    if (path[0] == '\0') return path;
    const char *name = path;
    for (const char *p = path + 1; *p != '\0'; ++p)
        if (IsPathSeparator(*p)) name = p + 1;
    return name;
}

char *FileNamePart(char *path) { return const_cast<char *>(FileNamePart(static_cast<const char *>(path))); }

bool HoldsLineEnd(const char *text) {
    for (; text != nullptr && *text; ++text)
        if (*text == '\r' || *text == '\n') return true;
    return false;
}

} // namespace zem
