// Socket transport. Polls and socket creation and closing are serialised by the library
// lock; sends and receives are not.
#include "driver/transport.h"

#include <cstring>

#include "frame/log.h"
#include "frame/settings.h"
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

int32_t ResolveServer(Channel &ch) {
    uint32_t net = 0;
    int32_t r = LookupHostIPv4(ch.ServerName, &net);
    if (r < 0) return r;
    // An address of 0, or one whose bytes are just the name's first four characters,
    // is no usable answer.
    if (net == 0 || std::memcmp(&net, ch.ServerName, 4) == 0) return 0;
    const auto *b = reinterpret_cast<const uint8_t *>(&net);
    ch.ServerAddr = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    return 1;
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

int32_t PollSocket(Channel &ch, int kind) {
    if (kind < kPollReadable || kind > kPollError) return -5;
    // A socket that is closed (or was never opened by this channel) answers yes to every
    // kind, so waiting loops end at once and the next read or send reports the failure.
    if (!ch.SocketOpen) return 1;
    LibraryLockGuard lock;
    return SocketPoll(ch.Socket, kind);
}

int32_t WaitUntilWritable(Channel &ch, int32_t ms) {
    Tick end = 0;
    for (bool first = true;; first = false) {
        if (PollSocket(ch, kPollError) == 1) return 0;
        if (PollSocket(ch, kPollWritable) == 1) return 1;
        Tick now = TickNow();
        if (first) end = now + static_cast<Tick>(ms > 0 ? ms : 0);
        if (now >= end) return 0;
        SleepMs(P(gSettings.pollInterval));
    }
}

int32_t SendData(Channel &ch, const char *bytes, int32_t count) {
    if (!ch.SocketOpen) return -10038; // not a valid socket: never write to a stranger's descriptor
    int32_t r = SocketSend(ch.Socket, bytes, count);
    if (r < 0) return r;
    LogTraffic(ch, "S: ", bytes, count);
    return r;
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

int32_t SendText(Channel &ch, const char *text) { return SendData(ch, text, static_cast<int32_t>(std::strlen(text))); }

int32_t CloseSocket(Channel &ch) {
    LogText(ch, "Closing socket\r\n");
    if (!ch.SocketOpen) return 1; // already closed: never close a descriptor twice
    LibraryLockGuard lock;
    int32_t r = SocketCloseLinger(ch.Socket);
    ch.SocketOpen = 0;
    SleepMs(500);
    return r;
}

} // namespace zem
