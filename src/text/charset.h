// Character sets of caller texts: UTF-8 checks, conversion to UTF-8 (the texts of header
// lines) and from it to the charset named for the text part. Conversions other than
// ISO-8859-1 to UTF-8 go through glibc's iconv. Nothing here keeps state.
#pragma once
#include <cstdint>

namespace zem {

// True when no byte of the first n is 128 or above.
bool IsAsciiText(const char *t, int32_t n);
// True when the first n bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(const char *t, int32_t n);
// Bytes of the UTF-8 character that starts with lead (1 for a stray byte).
int32_t Utf8CharBytes(uint8_t lead);
// True for "utf-8" or "utf8" in any case.
bool IsUtf8Name(const char *name);

// Stores a charset name in a field of kCharsetNameMax + 2 bytes: "" clears it (0); a name
// iconv does not know, or a longer one, gives -84; else the length.
int32_t SetCharsetName(char *field, const char *name);

// The caller's text as UTF-8: converted from inputCharset when one is named, else copied
// when it is valid UTF-8, else taken as ISO-8859-1. At most outSize - 1 bytes and a NUL are
// written, never a part of a character; out == nullptr counts. Returns the full length of
// the converted text (which may exceed what was written).
int32_t ToUtf8(const char *inputCharset, const char *in, int32_t n, char *out, int32_t outSize);

// The caller's text in charset `to` (from UTF-8, from inputCharset when named, or from
// ISO-8859-1 when the text is not valid UTF-8). A character `to` cannot hold becomes '?'.
// Writes as ToUtf8; returns the full length, or -84 when a charset is unknown.
int32_t ToCharset(const char *to, const char *inputCharset, const char *in, int32_t n, char *out, int32_t outSize);

// The text needs converting before it goes out as UTF-8 (not ASCII, and either not valid
// UTF-8 or from a named charset).
bool NeedsUtf8Conversion(const char *inputCharset, const char *t, int32_t n);

} // namespace zem
