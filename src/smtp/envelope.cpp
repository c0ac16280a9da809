#include "smtp/envelope.h"

#include <atomic>
#include <cstring>

#include "frame/log.h"
#include "frame/settings.h"
#include "compose/text_lines.h"
#include "text/charset.h"
#include "text/text.h"

namespace zem {

namespace {

// Appends printf-like text at buf + *len, bounded by size.
void Append(char *buf, int32_t size, int32_t *len, const char *text) {
    if (*len >= size - 1) return;
    *len += CopyText(buf + *len, text, size - 1 - *len);
}

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

bool ListNeedsUtf8(const char *list) {
    if (list == nullptr) return false;
    const char sep = RecipientSeparator();
    for (const char *p = list; *p;) {
        const char *end = p;
        while (*end && *end != sep) ++end;
        // The address part of this item only: '<' to '>'.
        const char *lt = nullptr;
        for (const char *q = p; q < end; ++q) {
            if (*q == '<' && lt == nullptr) lt = q;
            if (lt != nullptr && static_cast<uint8_t>(*q) >= 0x80) return true;
            if (lt != nullptr && *q == '>') break;
        }
        if (*end == 0) break;
        p = end + 1;
    }
    return false;
}

bool TextHasEightBit(const Channel &ch) {
    const char *t = ch.TextCursor != nullptr ? ch.TextCursor : "";
    if (t[0] == '@') return true; // a file is not read ahead: it may hold 8-bit text
    return !IsAsciiText(t, TextLength(t));
}

} // namespace

bool AddressNeedsUtf8(const char *text) {
    const char *lt = FindChar(text, '<');
    if (lt == nullptr) return false;
    for (const char *p = lt; *p && *p != '>'; ++p)
        if (static_cast<uint8_t>(*p) >= 0x80) return true;
    return false;
}

bool EnvelopeNeedsUtf8(const Channel &ch) {
    return AddressNeedsUtf8(ch.FromAddress) || ListNeedsUtf8(ch.ToList) || ListNeedsUtf8(ch.CcList) ||
           ListNeedsUtf8(ch.BccList);
}

uint64_t EstimateMessageSize(const Channel &ch) {
    uint64_t size = 400; // Message-ID, X-Mailer, Date, MIME lines, boundaries, end of data
    size += HeaderCost(ch.ToList) + HeaderCost(ch.CcList) + HeaderCost(ch.FromAddress) +
            HeaderCost(ch.ReplyToAddress) + HeaderCost(ch.Subject) + HeaderCost(ch.ExtraHeaders) + 60;
    return size + TextCost(ch) + AttachmentCost(ch);
}

int32_t FormatMailFrom(const Channel &ch, char *buf, int32_t size, const char *fromLt, uint64_t estimate) {
    int32_t len = FormatText(buf, size, "MAIL FROM:%s", fromLt);
    const OutgoingFields &o = ch.Out;
    if (o.OfferSize && o.DeclareSize) {
        char n[32];
        FormatText(n, sizeof n, " SIZE=%llu", static_cast<unsigned long long>(estimate));
        Append(buf, size, &len, n);
    }
    const bool plain = ch.BodyType == 0 && !UsesTextCharset(ch);
    if (o.Offer8BitMime && plain && gSettings.pass8Bit.load(std::memory_order_relaxed) != 0 && TextHasEightBit(ch))
        Append(buf, size, &len, " BODY=8BITMIME");
    if (o.UseSmtpUtf8) Append(buf, size, &len, " SMTPUTF8");
    if (o.OfferDsn && o.DsnRet[0] != 0) {
        Append(buf, size, &len, " RET=");
        Append(buf, size, &len, o.DsnRet);
    }
    if (o.OfferDsn && o.DsnEnvid[0] != 0) {
        char x[kDsnEnvidMax * 3 + 2];
        FormatXText(o.DsnEnvid, x, sizeof x);
        Append(buf, size, &len, " ENVID=");
        Append(buf, size, &len, x);
    }
    return len;
}

int32_t FormatRcptTo(const Channel &ch, char *buf, int32_t size, const char *recipient) {
    int32_t len = FormatText(buf, size, "RCPT TO:%s", recipient);
    if (ch.Out.OfferDsn && ch.Out.DsnNotify[0] != 0) {
        Append(buf, size, &len, " NOTIFY=");
        Append(buf, size, &len, ch.Out.DsnNotify);
    }
    return len;
}

int32_t FormatXText(const char *text, char *buf, int32_t size) {
    static const char kHex[] = "0123456789ABCDEF";
    int32_t n = 0;
    for (const char *p = text; *p && n < size - 4; ++p) {
        auto c = static_cast<uint8_t>(*p);
        if (c < 33 || c > 126 || c == '+' || c == '=') {
            buf[n++] = '+';
            buf[n++] = kHex[c >> 4];
            buf[n++] = kHex[c & 15];
        } else {
            buf[n++] = static_cast<char>(c);
        }
    }
    buf[n] = 0;
    return n;
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
