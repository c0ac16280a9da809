// Non-ASCII text in header lines: RFC 2047 encoded words ("=?utf-8?B?...?=" or
// "=?utf-8?Q?...?=") and RFC 2231 parameter values ("utf-8''%E6%97%A5"). The routines
// work on pieces of whole UTF-8 characters, so no word or segment splits a character.
#pragma once
#include <cstdint>

namespace zem {

constexpr int32_t kEncodedWordMax = 75; // RFC 2047 section 2
constexpr int32_t kFoldColumn = 76;     // the header lines are folded before this column

enum class WordKind : uint8_t {
    kText,   // unstructured text (Subject, extra header values): Q may leave most ASCII
    kPhrase, // a display name: Q leaves only letters, digits and !*+-/ (section 5 (3))
};

// Length of the encoded word for bytes [0, n) of utf8 in B (q false) or Q.
int32_t EncodedWordLength(const char *utf8, int32_t n, bool q, WordKind kind);
// Writes that encoded word into out (no NUL); returns its length.
int32_t WriteEncodedWord(const char *utf8, int32_t n, bool q, WordKind kind, char *out);
// Q when it is no longer than B for the whole text.
bool PreferQ(const char *utf8, int32_t n, WordKind kind);
// The longest run of whole characters from the start of utf8 (n bytes) whose encoded word
// fits in maxLen columns; at least one character.
int32_t WordPiece(const char *utf8, int32_t n, bool q, WordKind kind, int32_t maxLen);

// RFC 2231 section 7 attribute-char: sent as itself in an extended parameter value.
bool IsAttributeChar(uint8_t c);
// The longest run of whole characters whose %-encoding fits in maxLen; at least one.
int32_t PercentPiece(const char *utf8, int32_t n, int32_t maxLen);
// Writes the %-encoding of bytes [0, n) into out (no NUL); returns its length.
int32_t WritePercent(const char *utf8, int32_t n, char *out);

} // namespace zem
