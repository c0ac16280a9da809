// Reply reading. All reception goes through the channel's receive ring so a reader can
// look ahead (the end of a line, whether a header continues) without taking bytes.
#include "driver/replies.h"

#include <cstring>

#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

int32_t WaitReadable(Channel &ch, int32_t ms) {
    // What the step waits for next is what the last look found missing: input that has
    // come wants no wait (a state that goes on to send must not sleep on the socket).
    if (RingCount(ch) > 0 || (ch.KnownReadable && ch.Tls == nullptr && ch.OutFill == 0)) {
        ch.WantReady = 0;
        return 1;
    }
    // One poll with the time left: it returns the moment the input comes.
    const Tick end = TickNow() + static_cast<Tick>(ms > 0 ? ms : 0);
    for (;;) {
        int kind = kPollReadable;
        if (InputReady(ch, &kind) == 1) {
            ch.WantReady = 0;
            return 1;
        }
        ch.WantReady = static_cast<uint8_t>(kind);
        const Tick now = TickNow();
        if (now >= end) return 0;
        SocketWait(ch.Socket, kind, static_cast<int32_t>(end - now));
    }
}

int32_t PeekInput(Channel &ch, char *buf, int32_t max) {
    if (max >= kRingSize) max = kRingSize - 1;
    if (max <= 0) return 0;
    if (RingCount(ch) == 0) {
        if (!ch.SocketOpen) return -1;
        // The receive never waits: nothing there now reads as 0 bytes.
        int32_t n = StreamRecv(ch, ch.RecvBuffer, max);
        if (n < 0) return -1;
        if (n > 0) {
            LogTraffic(ch, "P: ", ch.RecvBuffer, n);
            RingPut(ch, ch.RecvBuffer, n);
        }
    }
    return RingPeek(ch, buf, max);
}

namespace {

bool StartsWithThreeDigits(const char *line) {
    for (int i = 0; i < 3; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    return true;
}

// Whether the ring holds what the reader will take at once. A NUL ends the readers' look
// for a line end, so from there on they decide themselves.
bool RingHoldsWhole(Channel &ch, bool smtpReply) {
    const int32_t count = RingCount(ch);
    if (count >= kRingSize - 1) return true; // as much as one piece takes
    const char *ring = RecvRing(ch);
    int32_t at = ch.RingHead;
    char head[4];
    int32_t lineLen = 0;
    for (int32_t i = 0; i < count; ++i) {
        const char c = ring[at];
        at = (at + 1) % kRingSize;
        if (c == 0) return true;
        if (lineLen < 4) head[lineLen] = c;
        ++lineLen;
        if (c != '\n') continue;
        if (!smtpReply) return true;
        if (lineLen < 4 || !StartsWithThreeDigits(head) || head[3] != '-') return true;
        lineLen = 0;
    }
    return false;
}

// Receives what has come behind the ring's bytes, into its free room (under TLS until
// nothing more is decrypted, since the socket shows no record already taken in). False
// when the stream ended or broke: the reader then reports it.
bool TopUpRing(Channel &ch) {
    for (;;) {
        const int32_t room = kRingSize - 1 - RingCount(ch);
        if (room <= 0) return true;
        const int32_t n = StreamRecv(ch, ch.RecvBuffer, room);
        if (n < 0) return false;
        if (n == 0) return true;
        LogTraffic(ch, "P: ", ch.RecvBuffer, n);
        RingPut(ch, ch.RecvBuffer, n);
        if (ch.Tls == nullptr) return true;
    }
}

bool WholeHasCome(Channel &ch, bool smtpReply) {
    if (!WaitReadable(ch, 0)) return false;
    if (RingHoldsWhole(ch, smtpReply)) return true;
    if (!ch.SocketOpen || !TopUpRing(ch) || RingHoldsWhole(ch, smtpReply)) return true;
    // The rest has not come: the frame waits for the socket, never past the deadline.
    ch.WantReady = kPollReadable;
    if (ch.DeadlineTick == 0) ch.DeadlineTick = After(TickNow(), P(gSettings.replyTimeout));
    return false;
}

} // namespace

bool ReplyReady(Channel &ch) { return WholeHasCome(ch, ch.Protocol == 'S'); }
bool LineReady(Channel &ch) { return WholeHasCome(ch, false); }

int32_t ReadRaw(Channel &ch, char *buf, int32_t count) {
    int32_t have = RingCount(ch);
    int32_t n = count < have ? count : have;
    if (n > 0) {
        n = RingTake(ch, buf, n);
        LogTraffic(ch, "r: ", buf, n);
        ch.LastChar = static_cast<uint8_t>(buf[n - 1]);
    }
    int32_t m = 0;
    if (count > n) {
        if (!ch.SocketOpen) return -1;
        m = StreamRecv(ch, buf + n, count - n);
        if (m < 0) return -1;
        if (m > 0) {
            LogTraffic(ch, "R: ", buf + n, m);
            ch.LastChar = static_cast<uint8_t>(buf[n + m - 1]);
        }
    }
    return n + m;
}

int32_t ReadPiece(Channel &ch, char *buf, int32_t size) {
    int32_t k = PeekInput(ch, buf, size - 1);
    if (k <= 0) return k;
    int32_t take = k;
    for (int32_t i = 0; i < k && buf[i] != 0; ++i) {
        if (buf[i] == '\n') {
            take = i + 1;
            break;
        }
    }
    int32_t r = ReadRaw(ch, buf, take);
    if (r < 1) return r;
    buf[r] = 0;
    return r;
}

int32_t ReadLine(Channel &ch, char *buf, int32_t size, int32_t firstWait, int32_t moreWait) {
    if (size <= 1) return 0;
    if (!WaitReadable(ch, firstWait)) return 0;
    int32_t r = ReadPiece(ch, buf, size);
    if (r <= 0) return r;
    for (;;) {
        if (r >= size - 1 || buf[r - 1] == '\n') return r;
        if (!WaitReadable(ch, moreWait)) return r; // incomplete: the caller gets what came
        int32_t k = ReadPiece(ch, buf + r, size - r);
        if (k <= 0) return k;
        r += k;
    }
}

int32_t ReadLineUntil(Channel &ch, char *buf, int32_t size, int32_t firstWait, Tick end) {
    if (size <= 1) return 0;
    if (!WaitReadable(ch, firstWait)) return 0;
    int32_t r = ReadPiece(ch, buf, size);
    if (r <= 0) return r;
    for (;;) {
        if (r >= size - 1 || buf[r - 1] == '\n') return r;
        if (!WaitReadable(ch, MsUntil(end))) return r; // incomplete at the end tick
        int32_t k = ReadPiece(ch, buf + r, size - r);
        if (k <= 0) return k;
        r += k;
    }
}

int32_t MsUntil(Tick end) {
    const Tick now = TickNow();
    if (end <= now) return 0;
    const Tick left = end - now;
    return left > static_cast<Tick>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(left);
}

Tick ReplyEnd(const Channel &ch) {
    if (ch.DeadlineTick != 0) return ch.DeadlineTick;
    const int32_t t = P(gSettings.replyTimeout);
    return TickNow() + static_cast<Tick>(t > 0 ? t : 0);
}

bool IsCutLine(const char *line, int32_t n, int32_t size) { return n >= size - 1 && line[n - 1] != '\n'; }

int32_t DropRestOfLine(Channel &ch, Tick end) {
    char scrap[512];
    int64_t dropped = 0;
    int32_t result = 0;
    for (;;) {
        if (!WaitReadable(ch, MsUntil(end))) break;
        int32_t r = ReadPiece(ch, scrap, sizeof scrap);
        if (r < 0) {
            result = -1;
            break;
        }
        dropped += r;
        if (r > 0 && scrap[r - 1] == '\n') {
            result = 1;
            break;
        }
        if (r == 0 && TickNow() >= end) break;
    }
    LogFormat(ch, "[Reply line too long: %lld bytes dropped]\r\n", static_cast<long long>(dropped));
    return result;
}

namespace {

// Reads a whole SMTP reply into ReplyBuffer. A refused reply is read to its last line too,
// so no line of it is left for the next request to take as its own reply. All its lines
// must come within the reply time-out counted from when the state began to wait.
int32_t ReadSmtpReply(Channel &ch, bool closeIsAccepted) {
    ch.ReplyCode = 0;
    int32_t pos = 0;
    int32_t room = kReplyRoom;
    const Tick end = ReplyEnd(ch);
    // The state looked first that the whole reply is there (ReplyReady): its lines are
    // read without waiting. Only the rest of an over-long first line is waited for.
    const Tick noWait = TickNow();
    for (bool first = true;; first = false) {
        char *line = ch.ReplyBuffer + pos;
        int32_t r = ReadLineUntil(ch, line, room, 0, noWait);
        if (r == -1) return (first && closeIsAccepted) ? 0 : -1;
        if (r <= 0) {
            // Nothing came within the wait: an empty read is never the last line.
            line[0] = 0;
            return -8;
        }
        if (IsCutLine(line, r, room)) {
            // Continuation lines that fill the buffer overflow it, whatever their lengths.
            if (!first) return -31;
            // A first line longer than the buffer is read to its end; the part that does
            // not fit is dropped, so the next reply starts where the server's does.
            int32_t d = DropRestOfLine(ch, end);
            if (d < 0) return -1;
            if (d == 0) return -8;
        } else if (line[r - 1] != '\n') {
            return -8; // the line did not end within the reply time-out
        }
        CopyText(ch.LastReply, line, 127);
        if (!StartsWithThreeDigits(line)) return ZEM_ERR_MALFORMED_REPLY;
        if (first) ch.ReplyCode = ParseReplyCode(line);
        if (r < 4 || line[3] != '-') return ch.ReplyCode >= 500 ? -49 : 0;
        pos += r;
        room -= r;
        if (room <= 1) return -31;
    }
}

int32_t ReadPop3Status(Channel &ch, bool closeIsAccepted) {
    ch.DeadlineTick = 0; // from here the checker's own wait applies
    if (!WaitReadable(ch, P(gSettings.pop3DataWait))) return -8;
    const Tick end = ReplyEnd(ch);
    int32_t r = ReadLineUntil(ch, ch.ReplyBuffer, kReplyRoom, 0, TickNow()); // there whole (ReplyReady)
    if (r == -1) return closeIsAccepted ? 0 : -1;
    // A status line longer than the buffer is read to its end (the rest dropped), so the
    // next command's reply is not taken from it.
    if (r > 0 && IsCutLine(ch.ReplyBuffer, r, kReplyRoom) && DropRestOfLine(ch, end) == 0) return -8;
    CopyText(ch.LastReply, ch.ReplyBuffer, 128);
    if (ch.ReplyBuffer[0] != '+') {
        ch.ReplyCode = 500;
        return -63;
    }
    ch.ReplyCode = 100;
    return 0;
}

} // namespace

int32_t CheckSmtpReply(Channel &ch) { return ReadSmtpReply(ch, false); }
int32_t CheckSmtpReplyAtQuit(Channel &ch) { return ReadSmtpReply(ch, true); }
int32_t CheckPop3Reply(Channel &ch) { return ReadPop3Status(ch, false); }
int32_t CheckPop3ReplyAtQuit(Channel &ch) { return ReadPop3Status(ch, true); }

} // namespace zem
