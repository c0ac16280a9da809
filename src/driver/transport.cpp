// Socket transport. Polls and socket creation and closing are serialised by the library
// lock; sends and receives are not.
#include "driver/transport.h"

#include <cstring>

#include "frame/log.h"
#include "frame/settings.h"
#include "platform/tls.h"
#include "text/text.h"

namespace zem {

int32_t GetLocalHostName(char *text, int32_t size) {
    if (size <= 0) return -10014;
    text[0] = 0;
    int32_t r = GetHostNameText(text, size);
    if (r < 0) {
        text[0] = 0;
        return r;
    }
    return text[0] == 0 ? -12 : 1;
}

int32_t FormatDotted(uint32_t addr, char *text, int32_t size) {
    if (size <= 16) return 0;
    return FormatText(text, size, "%1d.%1d.%1d.%1d", static_cast<int>(addr >> 24), static_cast<int>((addr >> 16) & 255),
                      static_cast<int>((addr >> 8) & 255), static_cast<int>(addr & 255));
}

int32_t ResolveServerAll(Channel &ch) {
    NetAddress found[8];
    int32_t n = LookupHostAll(ch.ServerName, found, 8);
    if (n < 0) return n;
    ch.AddrCount = 0;
    for (int32_t i = 0; i < n; ++i) {
        // An IPv4 answer of 0, or one whose bytes are just the name's first four
        // characters, is no usable address.
        if (found[i].family == 4) {
            uint32_t net;
            std::memcpy(&net, found[i].bytes, 4);
            if (net == 0 || std::memcmp(found[i].bytes, ch.ServerName, 4) == 0) continue;
        }
        ch.AddrList[ch.AddrCount++] = found[i];
    }
    if (ch.AddrCount == 0) return 0;
    if (ch.AddrList[0].family == 4) {
        const uint8_t *b = ch.AddrList[0].bytes;
        ch.ServerAddr = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    }
    return ch.AddrCount;
}

int32_t StartConnect6(Channel &ch, uint16_t port) {
    if (Logging(ch)) {
        char text[48];
        FormatNetAddress(ch.ServerNet, text, sizeof text);
        LogFormat(ch, "Socket=%d, RemoteAddr=[%s], RemotePort=%d\r\n", ch.Socket, text,
                  static_cast<int>(static_cast<int16_t>(port)));
    }
    int32_t r = SocketConnectTo(ch.Socket, ch.ServerNet, port);
    return r < 0 ? r : 1;
}

int32_t StartConnect(int32_t chan, uint32_t addr, uint16_t port) {
    Channel &ch = *gChannelTable[chan].ChannelPtr;
    LogFormat(ch, "Socket=%d, RemoteAddr=%lx, RemotePort=%d\r\n", ch.Socket, static_cast<unsigned long>(addr),
              static_cast<int>(static_cast<int16_t>(port)));
    uint8_t *sa = gChannelTable[chan].SockAddr;
    std::memset(sa, 0, 16);
    sa[0] = 2; // AF_INET in the platform's little-endian 16-bit family field
    sa[2] = static_cast<uint8_t>(port >> 8);
    sa[3] = static_cast<uint8_t>(port);
    sa[4] = static_cast<uint8_t>(addr >> 24);
    sa[5] = static_cast<uint8_t>(addr >> 16);
    sa[6] = static_cast<uint8_t>(addr >> 8);
    sa[7] = static_cast<uint8_t>(addr);
    int32_t r = SocketConnect(ch.Socket, addr, port);
    return r < 0 ? r : 1;
}

int32_t InputReady(Channel &ch, int *waitKind) {
    *waitKind = kPollReadable;
    if (!ch.SocketOpen) return 1;
    // Input is awaited: what the output buffer holds must go out first. What the socket
    // does not take yet is waited for instead of the input.
    if (ch.OutFill > 0) {
        int32_t w = FlushOutput(ch);
        if (w < 0) return 1; // the next read reports the broken stream
        if (w == 0) {
            *waitKind = ch.OutWaitKind;
            return 0;
        }
    }
    LibraryLockGuard lock;
    if (ch.Tls == nullptr) {
        if (ch.KnownReadable) return 1;
        // Remembered until the next receive, so the reader that follows needs no poll.
        ch.KnownReadable = static_cast<uint8_t>(SocketPoll(ch.Socket, kPollReadable) == 1);
        return ch.KnownReadable;
    }
    // Under TLS, input is readable once a whole record can be decrypted: bytes already
    // decrypted count, a record still arriving does not. An ended or broken stream
    // answers yes, so the next read reports it: a close_notify already read counts even
    // before the socket's own end arrives behind it.
    if (TlsPending(ch.Tls) > 0 || TlsPeerClosed(ch.Tls)) return 1;
    if (!TlsHasBufferedInput(ch.Tls) && SocketPoll(ch.Socket, kPollReadable) != 1) return 0;
    char one;
    int32_t r = TlsPeek(ch.Tls, &one, 1);
    if (r == kTlsWantWrite) *waitKind = kPollWritable; // the read goes on once a write can
    return (r == kTlsWantRead || r == kTlsWantWrite) ? 0 : 1;
}

int32_t PollSocket(Channel &ch, int kind) {
    if (kind < kPollReadable || kind > kPollError) return -5;
    // A socket that is closed (or was never opened by this channel) answers yes to every
    // kind, so waiting loops end at once and the next read or send reports the failure.
    if (!ch.SocketOpen) return 1;
    if (kind == kPollReadable) {
        int waitKind;
        return InputReady(ch, &waitKind);
    }
    LibraryLockGuard lock;
    return SocketPoll(ch.Socket, kind);
}

int32_t PollWritable(Channel &ch) {
    if (!ch.SocketOpen) return -1;
    LibraryLockGuard lock;
    return SocketPollWrite(ch.Socket);
}

int32_t WaitUntilWritable(Channel &ch, int32_t ms) {
    // One poll with the time left: it returns the moment the socket can take bytes.
    const Tick end = TickNow() + static_cast<Tick>(ms > 0 ? ms : 0);
    for (;;) {
        const int32_t w = PollWritable(ch);
        if (w < 0) return 0;
        if (w == 1) return 1;
        const Tick now = TickNow();
        if (now >= end) return 0;
        SocketWait(ch.Socket, kPollWritable, static_cast<int32_t>(end - now));
    }
}

namespace {

// One attempt to write what the output buffer holds, without waiting: 1 when all of it
// went, 0 when the socket takes no more now (the rest stays for the next attempt, and
// OutWaitKind says what it waits for), else the socket code of the failure.
int32_t WriteSome(Channel &ch) {
    while (ch.OutSent < ch.OutFill) {
        const char *p = ch.OutBuffer + ch.OutSent;
        const int32_t n = ch.OutFill - ch.OutSent;
        int32_t r;
        if (ch.Tls != nullptr) {
            r = TlsWrite(ch.Tls, p, n);
            if (r == kTlsWantRead || r == kTlsWantWrite) {
                // A TLS write may need input first (a key update from the server).
                ++ch.WriteStalls;
                ch.OutWaitKind = static_cast<uint8_t>(r == kTlsWantRead ? kPollReadable : kPollWritable);
                return 0;
            }
            if (r <= 0) return -10054;
        } else {
            r = SocketSendSome(ch.Socket, p, n);
            if (r == -10035) {
                ++ch.WriteStalls;
                ch.OutWaitKind = kPollWritable;
                return 0;
            }
            if (r <= 0) return r < 0 ? r : -10054;
        }
        if (r < n) ++ch.WriteStalls; // the rest goes with the next attempt
        ch.OutSent += r;
    }
    ch.OutFill = ch.OutSent = 0;
    return 1;
}

// Writes the buffer out, waiting for the socket as a blocking send waits, bounded by the
// reply time-out from the last progress. For the rare step whose lines outgrow the room
// every step is promised.
int32_t WriteAll(Channel &ch) {
    Tick end = 0;
    for (;;) {
        const int32_t before = ch.OutSent;
        int32_t r = WriteSome(ch);
        if (r != 0) return r;
        const Tick now = TickNow();
        if (end == 0 || ch.OutSent != before)
            end = now + static_cast<Tick>(P(gSettings.replyTimeout) > 0 ? P(gSettings.replyTimeout) : 0);
        if (now >= end) return -10060;
        SocketWait(ch.Socket, ch.OutWaitKind, MsLeft(now, end));
    }
}

// Writes bytes that no buffer holds (the buffer could not be had, or they outgrow it).
int32_t WriteUnbuffered(Channel &ch, const char *bytes, int32_t count) {
    char *saved = ch.OutBuffer;
    ch.OutBuffer = const_cast<char *>(bytes);
    ch.OutFill = count;
    ch.OutSent = 0;
    int32_t r = WriteAll(ch);
    ch.OutBuffer = saved;
    ch.OutFill = ch.OutSent = 0;
    return r < 0 ? r : count;
}

} // namespace

int32_t MsLeft(Tick now, Tick end) {
    if (end <= now) return 0;
    const Tick left = end - now;
    return left > 60000 ? 60000 : static_cast<int32_t>(left);
}

bool HaveOutputBuffer(Channel &ch) {
    if (ch.OutBuffer != nullptr) return true;
    ch.OutBuffer = static_cast<char *>(AllocateMemory(ch.ChannelNo, kSlotOutput, kOutBlockSize));
    ch.OutFill = ch.OutSent = 0;
    ch.FileBufPos = ch.FileBufEnd = 0;
    return ch.OutBuffer != nullptr;
}

int32_t FlushOutput(Channel &ch) {
    if (ch.OutError < 0) return ch.OutError;
    if (ch.OutFill == 0) return 1;
    int32_t r = WriteSome(ch);
    if (r < 0) ch.OutError = r; // reported by the next send; reads see a stream that ended
    return r;
}

void ResetOutput(Channel &ch) {
    ch.OutFill = ch.OutSent = 0;
    ch.OutError = 0;
    ch.OutWaitKind = 0;
    ch.KnownReadable = 0;
}

namespace {

// Hands bytes to the output buffer (or the socket) without a log record.
int32_t Transmit(Channel &ch, const char *bytes, int32_t count) {
    if (!ch.SocketOpen) return -10038; // not a valid socket: never write to a stranger's descriptor
    if (ch.OutError < 0) return ch.OutError;
    if (count > 0) {
        int32_t r = 0;
        if (!HaveOutputBuffer(ch) || count > kOutSize) {
            if (ch.OutFill > 0) r = WriteAll(ch);
            if (r >= 0) r = WriteUnbuffered(ch, bytes, count);
        } else {
            if (count > kOutSize - ch.OutFill) r = WriteAll(ch);
            if (r >= 0) {
                std::memcpy(ch.OutBuffer + ch.OutFill, bytes, static_cast<size_t>(count));
                ch.OutFill += count;
            }
        }
        if (r < 0) {
            ch.OutError = r;
            return r;
        }
    }
    return count;
}

} // namespace

int32_t SendData(Channel &ch, const char *bytes, int32_t count) {
    const int32_t r = Transmit(ch, bytes, count);
    if (r >= 0) LogTraffic(ch, "S: ", bytes, count);
    return r;
}

int32_t SendSecret(Channel &ch, char *bytes, int32_t count, int32_t shown) {
    const int32_t r = Transmit(ch, bytes, count);
    if (r >= 0) LogTrafficMasked(ch, "S: ", bytes, count, shown);
    // The output buffer holds its own copy now: the caller's is of no more use to anyone.
    if (shown < 0) shown = 0;
    if (shown < count) WipeBytes(bytes + shown, count - shown);
    return r;
}

int32_t StreamRecv(Channel &ch, char *buf, int32_t max) {
    if (ch.OutError < 0) return -1; // a write failed: the stream is of no more use
    if (ch.Tls == nullptr) {
        // Never waits: a reader that asks when nothing is there gets 0.
        ch.KnownReadable = 0;
        int32_t n = SocketRecvSome(ch.Socket, buf, max);
        if (n == -10035) return 0;
        return n <= 0 ? -1 : n;
    }
    int32_t n = TlsRead(ch.Tls, buf, max);
    if (n > 0) return n;
    if (n == kTlsWantRead || n == kTlsWantWrite) return 0;
    return -1; // close_notify, or a stream cut without it
}

void DropTls(Channel &ch) {
    ResetOutput(ch);
    if (ch.Tls == nullptr) return;
    TlsFree(ch.Tls, false);
    ch.Tls = nullptr;
}

int32_t SendLine(Channel &ch, char *text) {
    size_t n = std::strlen(text);
    text[n] = '\r';
    text[n + 1] = '\n';
    text[n + 2] = 0;
    int32_t r = SendData(ch, text, static_cast<int32_t>(n + 2));
    text[n] = 0;
    return r;
}

int32_t SendSecretLine(Channel &ch, char *text, int32_t shown) {
    size_t n = std::strlen(text);
    text[n] = '\r';
    text[n + 1] = '\n';
    text[n + 2] = 0;
    return SendSecret(ch, text, static_cast<int32_t>(n + 2), shown); // leaves text[shown..] all NUL
}

int32_t SendText(Channel &ch, const char *text) { return SendData(ch, text, static_cast<int32_t>(std::strlen(text))); }

int32_t CloseSocket(Channel &ch) {
    LogText(ch, "Closing socket\r\n");
    if (!ch.SocketOpen) return 1; // already closed: never close a descriptor twice
    // What is still buffered gets one attempt that does not wait (a normal close has
    // nothing left: its QUIT reply was read); the rest is dropped with the connection.
    if (ch.OutFill > 0) FlushOutput(ch);
    const bool intact = ch.OutError == 0 && ch.OutFill == 0;
    ResetOutput(ch);
    int32_t r;
    {
        LibraryLockGuard lock;
        if (ch.Tls != nullptr) {
            TlsFree(ch.Tls, intact); // close_notify, one attempt
            ch.Tls = nullptr;
        }
        r = SocketCloseLinger(ch.Socket);
        ch.SocketOpen = 0;
    }
    // The close pause holds only this channel: other channels poll and close meanwhile.
    // A channel the caller drives step by step waits it out in a step instead (zemClose)
    // or not at all (a failed request), so zemDriver never sleeps.
    if (ch.AutoCall != 0 && P(gSettings.closePause) > 0) SleepMs(P(gSettings.closePause));
    return r;
}

} // namespace zem
