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

void LogTrafficMasked(Channel &ch, const char *tag, const char *bytes, int32_t n, int32_t shown) {
    if (ch.LogFile == 0 || n <= 0) return;
    int32_t end = 0; // the line end kept after the mask
    if (n >= 2 && bytes[n - 2] == '\r' && bytes[n - 1] == '\n')
        end = 2;
    else if (bytes[n - 1] == '\n')
        end = 1;
    if (shown > n - end) shown = n - end;
    if (shown < 0) shown = 0;
    // A shown part is a command word and perhaps a user name; one that does not fit is
    // cut, never the mask.
    constexpr int32_t kMaskLen = static_cast<int32_t>(sizeof kSecretMask - 1);
    char line[256];
    const int32_t tagLen = static_cast<int32_t>(strnlen(tag, 8));
    std::memcpy(line, tag, static_cast<size_t>(tagLen));
    const int32_t room = static_cast<int32_t>(sizeof line) - tagLen - kMaskLen - 2;
    if (shown > room) shown = room;
    int32_t len = tagLen;
    std::memcpy(line + len, bytes, static_cast<size_t>(shown));
    len += shown;
    std::memcpy(line + len, kSecretMask, static_cast<size_t>(kMaskLen));
    len += kMaskLen;
    std::memcpy(line + len, bytes + n - end, static_cast<size_t>(end));
    len += end;
    LogBytes(ch, line, len);
}

void LogMemoryError(int32_t chan, const char *message, int32_t slot, int32_t code) {
    if (chan < 0 || chan >= kMaxChannels) return;
    Channel *ch = gChannelTable[chan].ChannelPtr;
    if (ch == nullptr) return; // the record itself could not be made: nowhere to write
    LogFormat(*ch, "%s: Chan=%d, Index=%d, Code=%d\r\n", message, chan, slot, code);
}

} // namespace zem
