#include "smtp/envelope.h"

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

} // namespace zem
