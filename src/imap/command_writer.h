// Command arguments written the safe way (RFC 3501 sections 4.1 to 4.3, RFC 9051 section 4.3,
// RFC 7888 literals): no value can end the command line early or inject a second one. The
// writers append to a command line in out (size bytes) at pos and keep it NUL-terminated.
#pragma once
#include <cstdint>

namespace zem {

// Appends one astring: as an atom when every byte is an ASTRING-CHAR and it is neither empty
// nor NIL in any case; else quoted with '"' and '\' escaped, when it holds no CR or LF, no
// 8-bit byte (unless utf8Accept: UTF8=ACCEPT is on) and at most kImapTokenMax bytes, the
// most our own parser reads quoted; else as the header of a literal, "{n+}" when literalPlus
// (LITERAL+, or LITERAL- and n <= 4096: the caller's choice) and "{n}" otherwise. For a literal
// the caller then writes CR LF and, after the server's "+" when *needsSyncLiteral, the len
// bytes. needsSyncLiteral (may be null) is set true only for "{n}". Returns the new position,
// or -1 when value holds a NUL (which no form can carry), pos is outside [0, size) or the
// argument and its NUL do not fit.
int32_t ImapAppendAstring(char *out, int32_t size, int32_t pos, const char *value, int32_t len, bool utf8Accept,
                          bool literalPlus, bool *needsSyncLiteral);

// Appends a mailbox name given in UTF-8: as it is under UTF8=ACCEPT, else in modified UTF-7,
// as an astring either way. A name kept raw because it did not decode is written with
// ImapAppendAstring instead. Returns as ImapAppendAstring; -1 also when the name is not
// UTF-8 or its modified UTF-7 is longer than kImapTokenMax.
int32_t ImapAppendMailbox(char *out, int32_t size, int32_t pos, const char *name, bool utf8Accept, bool literalPlus,
                          bool *needsSyncLiteral);

} // namespace zem
