// Exported text helpers: address form check and line extraction. They need no channel,
// so they work before zemAttach.
#include "zem32.h"

#include "text/text.h"

namespace zem {
namespace {

// Characters accepted inside <...>: letters, digits and the few punctuation marks seen in
// ordinary mailbox names and domains (a narrow subset of RFC 5321 section 4.1.2).
bool IsAddressChar(char c) {
    if (c >= 'A' && c <= 'Z') return true;
    if (c >= 'a' && c <= 'z') return true;
    if (c >= '0' && c <= '9') return true;
    switch (c) {
    case '@': case '.': case '-': case '_': case '/': case '$': case '&': case '\'':
        return true;
    default:
        return false;
    }
}

// Copies the line starting at p into Result (ResultLen > 0): at most ResultLen - 1
// characters. Ends after an LF (kept) or at the NUL, terminating Result and returning the
// count. When ResultLen - 1 characters go by without either, the line did not fit: 0 is
// returned and Result is left unterminated, so nothing is ever written past ResultLen.
int32_t CopyLine(const char *p, char *Result, int32_t ResultLen) {
    for (int32_t i = 0; i < ResultLen - 1; ++i) {
        const char c = p[i];
        if (c == '\0') {
            Result[i] = '\0';
            return i;
        }
        Result[i] = c;
        if (c == '\n') {
            Result[i + 1] = '\0';
            return i + 1;
        }
    }
    return 0;
}

} // namespace
} // namespace zem

extern "C" {

ZEM_API int32_t zemVerifyFormat(const char *Address) {
    using namespace zem;
    if (Address == nullptr) return ZEM_ERR_NULL_POINTER;
    if (Address[0] == '\0') return ZEM_ERR_EMPTY_ADDRESS;
    const char *lt = FindInFirstAddress(Address, '<');
    if (lt == nullptr) return ZEM_ERR_MISSING_LT;
    const char *gt = FindInFirstAddress(Address, '>');
    if (gt == nullptr || gt < lt) return ZEM_ERR_MISSING_GT;
    if (gt == lt + 1) return ZEM_ERR_NULL_POINTER;
    if (lt[1] == '@' || gt[-1] == '@') return ZEM_ERR_EMPTY_ADDRESS;
    int ats = 0;
    for (const char *p = lt + 1; p < gt; ++p) {
        if (*p == '@' && ++ats >= 2) return ZEM_ERR_TOO_MANY_AT;
        if (!IsAddressChar(*p)) return ZEM_ERR_BAD_CHAR;
    }
    return ats == 1 ? 1 : ZEM_ERR_MISSING_AT;
}

ZEM_API int32_t zemExtractText(const char *Buffer, const char *Text, char *Result, int32_t ResultLen) {
    using namespace zem;
    if (Buffer == nullptr || Text == nullptr || Result == nullptr || ResultLen <= 0) return 0;
    const char *p = FindTextNoCase(Buffer, Text);
    if (p == nullptr) return 0;
    return CopyLine(p, Result, ResultLen);
}

ZEM_API int32_t zemExtractLine(const char *Buffer, int32_t LineNo, char *Result, int32_t ResultLen) {
    using namespace zem;
    if (Buffer == nullptr || Result == nullptr || ResultLen <= 0) return 0;
    const char *p = Buffer;
    for (int32_t line = 1; line < LineNo; ++line) {
        const char *lf = FindChar(p, '\n');
        if (lf == nullptr) return 0;
        p = lf + 1;
    }
    return CopyLine(p, Result, ResultLen);
}

} // extern "C"
