// What the composer knows of a message before it is written: its size, estimated from
// the caller's texts and the attachment files (for SIZE), and its Message-ID.
#include <atomic>

#include "compose/composer.h"
#include "compose/text_lines.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "text/charset.h"
#include "text/text.h"

namespace zem {

namespace {

// The header length of a caller text: non-ASCII text grows as encoded words.
uint64_t HeaderCost(const char *t) {
    if (t == nullptr) return 0;
    const int32_t n = TextLength(t);
    return IsAsciiText(t, n) ? static_cast<uint64_t>(n) : static_cast<uint64_t>(n) * 2 + 24;
}

uint64_t Base64Size(uint64_t n) { return (n + 2) / 3 * 4 + (n + 56) / 57 * 2; }

uint64_t TextCost(const Channel &ch) {
    const char *t = ch.TextCursor != nullptr ? ch.TextCursor : "";
    const bool quoted = ch.BodyType != 0 || UsesTextCharset(ch);
    if (t[0] == '@') {
        int64_t n = FileSizeOf(t + 1);
        if (n < 0) return 0;
        auto u = static_cast<uint64_t>(n);
        return quoted ? u + u / 25 : u; // soft breaks and the odd escape
    }
    uint64_t cost = 0;
    for (const char *p = t; *p; ++p) {
        auto c = static_cast<uint8_t>(*p);
        cost += (quoted && (c == '=' || c >= 127 || (c < 32 && c != '\r' && c != '\n'))) ? 3 : 1;
    }
    return quoted ? cost + cost / 70 : cost;
}

uint64_t AttachmentCost(const Channel &ch) {
    if (ch.AttachList == nullptr) return 0;
    uint64_t cost = 0;
    const char sep = AttachSeparator();
    const char bar = DisplaySeparator();
    for (const char *p = ch.AttachList; *p;) {
        const char *end = p;
        while (*end && *end != sep) ++end;
        char path[kBufferSize];
        int32_t k = 0;
        for (const char *q = p; q < end && *q != bar && k < kBufferSize - 1; ++q) path[k++] = *q;
        path[k] = 0;
        int64_t n = FileSizeOf(path);
        cost += 200 + 3 * static_cast<uint64_t>(end - p) + (n > 0 ? Base64Size(static_cast<uint64_t>(n)) : 0);
        if (*end == 0) break;
        p = end + 1;
    }
    return cost;
}

} // namespace

uint64_t EstimateMessageSize(const Channel &ch) {
    uint64_t size = 400; // Message-ID, X-Mailer, Date, MIME lines, boundaries, end of data
    size += HeaderCost(ch.ToList) + HeaderCost(ch.CcList) + HeaderCost(ch.FromAddress) +
            HeaderCost(ch.ReplyToAddress) + HeaderCost(ch.Subject) + HeaderCost(ch.ExtraHeaders) + 60;
    return size + TextCost(ch) + AttachmentCost(ch);
}

int32_t FormatMessageId(const Channel &ch, char *buf, int32_t size) {
    static std::atomic<uint32_t> counter{0};
    // The random part comes from the system's entropy source; the tick and a counter make
    // two ids of one process differ even if it failed.
    uint64_t r = 0;
    if (!RandomBytes(&r, sizeof r)) r = 0x5a454d3332ull;
    const uint32_t n = counter.fetch_add(1, std::memory_order_relaxed);
    const uint64_t t = TickNow();
    const LocalTime lt = GetLocalTime();
    const char *domain = "localhost";
    int32_t domainLen = 9;
    if (const char *at = FindChar(ch.FromAddress, '@')) {
        const char *end = FindChar(at + 1, '>');
        int32_t len = end != nullptr ? static_cast<int32_t>(end - at - 1) : TextLength(at + 1);
        if (len > 0) {
            domain = at + 1;
            domainLen = len;
        }
    }
    return FormatText(buf, size, "Message-ID: <%016llx.%04d%02d%02d%02d%02d%02d.%llx.%x@%.*s>",
                      static_cast<unsigned long long>(r), lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second,
                      static_cast<unsigned long long>(t), n, static_cast<int>(domainLen), domain);
}

} // namespace zem
