// Header texts of received mail: parameters as RFC 2045 and RFC 2231 write them, encoded
// words (RFC 2047) in any character set that iconv knows, and the conversion of a text to
// UTF-8. Nothing here keeps state or logs; iconv's own tables aside nothing is allocated.
#pragma once
#include <cstdint>

namespace zem {

// Converts n bytes in the named character set to UTF-8 into out (outSize bytes, the NUL
// included, always written). Bytes that do not convert, and every byte when the character
// set is unknown, become '_' (ASCII passes unchanged in that case). A character set
// written with an RFC 2231 language ("utf-8*en") is taken without it. Returns the bytes
// written before the NUL.
int32_t ConvertToUtf8(const char *charset, const char *in, int32_t n, char *out, int32_t outSize);

// Decodes the encoded words (B and Q form) of a header text of n bytes into out, each in
// its own character set and converted to UTF-8; adjacent words, with only white space
// between them, are joined and converted together, so a character split over two words
// survives. Text outside words is copied unchanged. Returns the bytes written before the
// NUL; *words (when not null) gets the number of words decoded.
int32_t DecodeWordsUtf8(const char *in, int32_t n, char *out, int32_t outSize, int32_t *words);

// True when the text holds an encoded word whose character set is not ISO-8859-1.
bool HasForeignEncodedWord(const char *text);

// Finds the parameter name (e.g. "filename") in the parameter list of an unfolded header
// line: name=token, name="quoted string" (backslash escapes undone), and the RFC 2231
// forms name*=charset'language'percent-text and the continuations name*0, name*1* ...
// in any order. The extended form wins over the plain one. The raw value goes into out
// (outSize bytes with the NUL); *charset (csSize bytes) gets the RFC 2231 character set,
// empty when none was given. Returns the value's length, or -1 when the parameter is
// absent. Parameters are looked for after the first ';' of the line.
int32_t HeaderParam(const char *line, const char *name, char *out, int32_t outSize, char *charset, int32_t csSize);

} // namespace zem
