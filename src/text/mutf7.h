// Mailbox names in IMAP's modified UTF-7 (RFC 3501 section 5.1.3): printable ASCII stands for
// itself, '&' is written "&-", and every run of other characters is '&', their UTF-16BE in
// base64 with ',' for '/' and no padding, then '-'. Only one spelling of a name is accepted,
// so a name read and written back is the same bytes. Nothing here keeps state.
#pragma once
#include <cstdint>

namespace zem {

// Writes the UTF-8 name utf8 in modified UTF-7 into out (size bytes, NUL included). Returns
// the bytes written before the NUL, or -1 when utf8 is not well-formed UTF-8 (overlong forms,
// surrogates and code points past U+10FFFF included) or the result does not fit.
int32_t Utf8ToMutf7(const char *utf8, char *out, int32_t size);

// Writes the modified UTF-7 name mutf7 as UTF-8 into out (size bytes, NUL included). Returns
// the bytes written before the NUL, or -1 for a name no encoder writes (a raw byte outside
// 0x20..0x7e, a character outside the base64 alphabet, a run without its '-', printable
// ASCII or U+0000 encoded, an unpaired surrogate, left-over bits that are not zero or make a
// whole character, two encoded runs back to back) or when the result does not fit. Callers
// keep such a name in its raw form.
int32_t Mutf7ToUtf8(const char *mutf7, char *out, int32_t size);

} // namespace zem
