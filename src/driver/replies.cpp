// Reply reading. All reception goes through the channel's receive ring so a reader can
// look ahead (the end of a line, whether a header continues) without taking bytes.
#include "driver/replies.h"

#include <cstring>

#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "text/text.h"

namespace zem {

int32_t WaitReadable(Channel &ch, int32_t ms) {
    if (RingCount(ch) > 0) return 1;
    Tick end = 0;
    for (bool first = true;; first = false) {
        if (PollSocket(ch, kPollReadable) == 1) return 1;
        Tick now = TickNow();
        if (first) end = now + static_cast<Tick>(ms > 0 ? ms : 0);
        if (now >= end) return 0;
        SleepMs(P(gSettings.pollInterval));
    }
}

int32_t PeekInput(Channel &ch, char *buf, int32_t max) {
    if (max >= kRingSize) max = kRingSize - 1;
    if (max <= 0) return 0;
    if (RingCount(ch) == 0) {
        if (!ch.SocketOpen || PollSocket(ch, kPollWritable) != 1) return -1;
        if (PollSocket(ch, kPollReadable) == 1) {
            int32_t n = StreamRecv(ch, ch.RecvBuffer, max);
            if (n < 0) return -1;
            if (n > 0) {
                LogTraffic(ch, "P: ", ch.RecvBuffer, n);
                RingPut(ch, ch.RecvBuffer, n);
            }
        }
    }
    return RingPeek(ch, buf, max);
}

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
        if (!ch.SocketOpen || PollSocket(ch, kPollWritable) != 1) return -1;
        if (PollSocket(ch, kPollReadable) == 1) {
            m = StreamRecv(ch, buf + n, count - n);
            if (m < 0) return -1;
            if (m > 0) {
                LogTraffic(ch, "R: ", buf + n, m);
                ch.LastChar = static_cast<uint8_t>(buf[n + m - 1]);
            }
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

namespace {

// Reads a whole SMTP reply into ReplyBuffer. A refused reply is read to its last line too,
// so no line of it is left for the next request to take as its own reply.
int32_t ReadSmtpReply(Channel &ch, bool closeIsAccepted) {
    ch.ReplyCode = 0;
    int32_t pos = 0;
    int32_t room = kReplyRoom;
    const int32_t timeout = P(gSettings.replyTimeout);
    for (bool first = true;; first = false) {
        char *line = ch.ReplyBuffer + pos;
        int32_t r = ReadLine(ch, line, room, first ? 0 : timeout, timeout);
        if (r == -1) return (first && closeIsAccepted) ? 0 : -1;
        if (r <= 0) {
            // Nothing came within the wait: an empty read is never the last line.
            line[0] = 0;
            return -8;
        }
        CopyText(ch.LastReply, line, 127);
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
    int32_t r = ReadLine(ch, ch.ReplyBuffer, kReplyRoom, 0, P(gSettings.replyTimeout));
    if (r == -1) return closeIsAccepted ? 0 : -1;
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
