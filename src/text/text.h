// Small text routines shared by the SMTP and POP3 code and the exported text helpers.
// All texts are 8-bit and NUL-terminated; "none" is nullptr. Nothing here allocates,
// keeps state or logs, so every routine may be called from any thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zem {

// Number of characters before the NUL; 0 for a null text.
int32_t TextLength(const char *t);

// First occurrence of c in t, or none (also for a null text or c == NUL).
const char *FindChar(const char *t, char c);
char *FindChar(char *t, char c);

// As FindChar, but the search also ends (with none) at the first recipient separator,
// so only the first address of a list is looked at.
const char *FindInFirstAddress(const char *t, char c);
char *FindInFirstAddress(char *t, char c);

// Copies characters of src until its NUL or until k have been copied, then writes a NUL.
// dst must hold k + 1 bytes. Returns the number copied; a null src or dst writes nothing.
int32_t CopyText(char *dst, const char *src, int32_t k);

// Copies at most N - 1 characters of src into the array, always terminated (unless src
// is null, in which case nothing is written). Returns the number copied.
template <size_t N>
int32_t CopyInto(char (&dst)[N], const char *src) {
    static_assert(N >= 1, "the target must hold at least the NUL");
    return CopyText(dst, src, static_cast<int32_t>(N - 1));
}

// Appends at most k characters of src after dst's text and terminates it. dst must have
// room for them plus the NUL. Returns the number appended.
int32_t AppendText(char *dst, const char *src, int32_t k);

// Appends as much of src as fits in a dst of dstSize bytes (NUL included). A dst with no
// NUL inside its dstSize bytes is left alone. Returns the number appended.
int32_t AppendBounded(char *dst, int32_t dstSize, const char *src);

// Copies exactly n bytes (NULs included) and writes a NUL after them: dst holds n + 1.
void CopyCounted(char *dst, const char *src, int32_t n);

// True when the first n characters of a and b agree with only a-z folded to A-Z, or when
// both texts end at the same place before n characters. False for n <= 0 or a null text.
bool SameTextNoCase(const char *a, const char *b, int32_t n);

// First position of text where all of pattern matches by SameTextNoCase; none for a null
// or empty pattern or one longer than the text.
const char *FindTextNoCase(const char *text, const char *pattern);
char *FindTextNoCase(char *text, const char *pattern);

// A server name may not hold '<', '>' or '@' and only bytes 32..126 and 192..255. The
// empty name passes; a null one does not.
bool IsValidServerName(const char *t);

// True for "a.b.c.d" with each part a (possibly empty) run of decimal digits below 256.
// The fourth part ends at the end of the text or at a '.'; what follows is not examined.
bool IsDottedAddress(const char *t);

// The four parts of a dotted address, the first in the highest byte (host order); 0 when
// t is not a dotted address.
uint32_t ParseDotted(const char *t);

// Value of the leading digits of t (at most 10 of them), wrapped to 32 bits; 0 when t is
// null or starts with a non-digit.
int32_t ParseReplyCode(const char *t);

// The part of path after its last '/', '\\' or ':' (a separator in the first position does
// not count); the whole path when there is none. None for a null path.
const char *FileNamePart(const char *path);
char *FileNamePart(char *path);

// True when a caller text holds a CR or LF (it could smuggle a protocol line).
bool HoldsLineEnd(const char *text);

} // namespace zem
