// Reading from the socket through the channel's receive ring: raw reads, line pieces,
// whole lines with their waits, and the SMTP and POP3 reply checkers.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

// 1 when bytes are buffered or the socket becomes readable within ms, else 0.
int32_t WaitReadable(Channel &ch, int32_t ms);
// Copies up to max buffered bytes without taking them (receiving once when the ring is
// empty); 0 when none are there, -1 when the connection is unusable.
int32_t PeekInput(Channel &ch, char *buf, int32_t max);
// Takes up to count bytes (ring first, then one receive); -1 when unusable.
int32_t ReadRaw(Channel &ch, char *buf, int32_t count);
// At most size - 1 bytes up to and including the first LF, NUL-terminated.
int32_t ReadPiece(Channel &ch, char *buf, int32_t size);
// A whole line: waits firstWait for the first byte and moreWait for each further piece.
int32_t ReadLine(Channel &ch, char *buf, int32_t size, int32_t firstWait, int32_t moreWait);
// As ReadLine, but every further piece must come before the tick end.
int32_t ReadLineUntil(Channel &ch, char *buf, int32_t size, int32_t firstWait, Tick end);
// Milliseconds left until end (0 once it passed).
int32_t MsUntil(Tick end);
// When the reply the state waits for must have come: DeadlineTick, or the reply time-out
// from now when none is armed.
Tick ReplyEnd(const Channel &ch);
// A piece that filled its room without reaching a line end.
bool IsCutLine(const char *line, int32_t n, int32_t size);
// Reads and drops the rest of an over-long line, up to end; logs how much went. 1 at its
// line end, 0 when it did not end in time, -1 when the connection ended.
int32_t DropRestOfLine(Channel &ch, Tick end);
// Whether the reply the state waits for has come whole, so that its checker reads it
// without waiting: SMTP, its last line (or a line that is no reply line, or as much as
// the reply buffer takes); POP3, the status line. Until then the state repeats and the
// step frame waits for the socket, under the reply's deadline.
bool ReplyReady(Channel &ch);
// The same for one line of multi-line data (a listing, a message): its line end, or as
// much as one line piece takes.
bool LineReady(Channel &ch);
// 0 accepted; -74 (a line without three digits), -49 (code >= 500), -31 (continuation lines overflow), -8 (a further line
// did not come within the reply time-out), -1 (connection closed before the reply).
int32_t CheckSmtpReply(Channel &ch);
// As CheckSmtpReply, except that a connection that ends first counts as accepted (the
// QUIT reply).
int32_t CheckSmtpReplyAtQuit(Channel &ch);
// 0 positive status; -63 negative; -8 nothing within the POP3 data wait; -1 connection
// closed before a status line.
int32_t CheckPop3Reply(Channel &ch);
int32_t CheckPop3ReplyAtQuit(Channel &ch);

} // namespace zem
