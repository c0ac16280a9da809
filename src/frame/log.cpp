#include "frame/log.h"

#include <cstdio>
#include <cstring>

namespace zem {

void LogBytes(Channel &ch, const char *bytes, int32_t n) {
    if (ch.LogFile == 0 || n <= 0) return;
    FileWrite(ch.LogFile, bytes, n); // a failing log write is not reported
}

void LogText(Channel &ch, const char *text) { LogBytes(ch, text, static_cast<int32_t>(std::strlen(text))); }

static int32_t FormatInto(char *buf, int32_t size, const char *fmt, va_list ap) {
    if (size <= 0) return 0;
    int n = std::vsnprintf(buf, static_cast<size_t>(size), fmt, ap);
    if (n < 0) {
        buf[0] = 0;
        return 0;
    }
    return n >= size ? size - 1 : n;
}

int32_t FormatText(char *buf, int32_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int32_t n = FormatInto(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

void LogFormat(Channel &ch, const char *fmt, ...) {
    if (ch.LogFile == 0) return;
    va_list ap;
    va_start(ap, fmt);
    int32_t n = FormatInto(ch.TextBuffer, kBufferSize, fmt, ap);
    va_end(ap);
    LogBytes(ch, ch.TextBuffer, n);
}

void LogTraffic(Channel &ch, const char *tag, const char *bytes, int32_t n) {
    if (ch.LogFile == 0 || n <= 0) return;
    FileWrite2(ch.LogFile, tag, static_cast<int32_t>(std::strlen(tag)), bytes, n);
}

void LogMemoryError(int32_t chan, const char *message, int32_t slot, int32_t code) {
    if (chan < 0 || chan >= kMaxChannels) return;
    Channel *ch = gChannelTable[chan].ChannelPtr;
    if (ch == nullptr) return; // the record itself could not be made: nowhere to write
    LogFormat(*ch, "%s: Chan=%d, Index=%d, Code=%d\r\n", message, chan, slot, code);
}

} // namespace zem
