// The message text of an outgoing mail, read one character at a time through the
// channel's 2,048-byte ReadAhead window and cut into lines ready to be sent after DATA.
//
// The source is the message string (TextInMemory set, TextCursor advancing through it) or
// the open message file (SendFile). A line is built into CmdBuffer without its CR LF;
// the caller sends it with SendLine.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

// Empties the window and clears the end flag; called before every message.
void ResetTextReader(Channel &ch);

// The next character of the source (1-255), or 0 when the source is exhausted. Zero
// bytes of a message file are skipped: they neither end a line nor the text.
int32_t NextTextChar(Channel &ch);

// Builds the next line into CmdBuffer (NUL-terminated, no CR LF) and returns the number of
// characters stored, or -1 when the text has ended. BodyType 0 gives plain lines, 2
// quoted-printable line breaks with every character unchanged, anything else
// quoted-printable (RFC 2045 section 6.7). A line that begins with '.' is stored with one
// more '.' in front (RFC 5321 section 4.5.2), so the text can never end the data early.
int32_t BuildTextLine(Channel &ch);

// The text part is labelled and converted with ZEM_STRING_TEXT_CHARSET: it is set, and the
// BodyType is not one that names its own charset (4) or its own type (9).
bool UsesTextCharset(const Channel &ch);
// Quoted-printable that gives the receiver exactly the text given (RFC 2045 section 6.7):
// '=' and 8-bit bytes escaped, and a space or TAB before a line end too. HTML (BodyType 2)
// and every text sent with a text charset use it.
bool StrictQuotedPrintable(const Channel &ch);

// The longest line the builder makes is this much longer than the line-length setting:
// an escape crossing the limit (2), the soft break (1) and the transparency dot (1).
constexpr int32_t kLineOverhang = 4;
// The line-length setting as the builder uses it: at least 1, and small enough that every
// line, its CR LF and its NUL fit into CmdBuffer.
int32_t EffectiveLineLength();

} // namespace zem
