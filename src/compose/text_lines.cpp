// The text reader and line builder of outgoing messages. The reader keeps more than one
// line's worth of characters in ReadAhead so the builder can always look one character
// ahead; the builder applies the plain or quoted-printable rules of the message's BodyType.
#include "compose/text_lines.h"

#include <cstring>

#include "frame/settings.h"

namespace zem {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Printable in the sense of both line rules: 32-126. Bytes 128-255 are not.
bool IsPrintable(int32_t c) { return c >= 32 && c < 127; }

// Moves the unread characters to the front of the window and tops it up from the source.
void Refill(Channel &ch) {
    int32_t unread = ch.ReadLimit - ch.ReadPos;
    if (unread > 0 && ch.ReadPos > 0) std::memmove(ch.ReadAhead, ch.ReadAhead + ch.ReadPos, static_cast<size_t>(unread));
    if (unread < 0) unread = 0;
    ch.ReadPos = 0;
    ch.ReadLimit = unread;
    for (;;) {
        const int32_t room = kReadAheadUsed - ch.ReadLimit;
        if (room <= 0) return;
        char *dst = ch.ReadAhead + ch.ReadLimit;
        if (ch.TextInMemory) {
            const char *src = ch.TextCursor != nullptr ? ch.TextCursor : "";
            int32_t n = 0;
            while (n < room && src[n] != 0) {
                dst[n] = src[n];
                ++n;
            }
            ch.TextCursor = src + n;
            ch.TextBytes += n;
            ch.ReadLimit += n;
            if (n == 0) ch.ReadEnd = 1;
            return;
        }
        // A read error ends the text like the end of the file; what was read stands.
        int32_t n = FileRead(ch.SendFile, dst, room);
        if (n <= 0) {
            ch.ReadEnd = 1;
            return;
        }
        ch.TextBytes += n;
        // Zero bytes in a text file are dropped here: as characters they would read as the
        // end of the text, and everything after them would silently not be sent.
        int32_t kept = 0;
        for (int32_t k = 0; k < n; ++k)
            if (dst[k] != 0) dst[kept++] = dst[k];
        ch.ReadLimit += kept;
        if (kept > 0) return;
        // Only zero bytes came: the file goes on, so read again.
    }
}

} // namespace

bool UsesTextCharset(const Channel &ch) {
    return ch.Out.TextCharset[0] != 0 && ch.BodyType != 4 && ch.BodyType != 9;
}

bool StrictQuotedPrintable(const Channel &ch) { return ch.BodyType == 2 || UsesTextCharset(ch); }

int32_t EffectiveLineLength() {
    constexpr int32_t kMaxLine = kBufferSize - kLineOverhang - 3; // CR LF and NUL
    int32_t l = P(gSettings.maxLineLength);
    if (l < 1) return 1;
    return l > kMaxLine ? kMaxLine : l;
}

void ResetTextReader(Channel &ch) {
    ch.ReadPos = 0;
    ch.ReadLimit = 0;
    ch.ReadEnd = 0;
}

int32_t NextTextChar(Channel &ch) {
    if (!ch.ReadEnd && ch.ReadLimit - ch.ReadPos <= EffectiveLineLength()) Refill(ch);
    if (ch.ReadPos >= ch.ReadLimit) return 0;
    return static_cast<uint8_t>(ch.ReadAhead[ch.ReadPos++]);
}

int32_t BuildTextLine(Channel &ch) {
    const int32_t maxLen = EffectiveLineLength();
    const int32_t wrapColumn = P(gSettings.wrapColumn);
    const bool pass8Bit = gSettings.pass8Bit.load(std::memory_order_relaxed) != 0;
    const bool strict = StrictQuotedPrintable(ch);
    const int32_t bodyType = strict ? 1 : ch.BodyType; // strict rules are quoted-printable
    char *out = ch.CmdBuffer;
    int32_t taken = 0;
    int32_t j = 0;
    int32_t c = 0;
    for (;;) {
        if (ch.PendingChar != 0) {
            c = ch.PendingChar;
            ch.PendingChar = 0;
        } else {
            c = NextTextChar(ch);
        }
        if (c == 0) break;
        ++taken;
        if (c == '\r') continue; // CR is dropped wherever it stands; LF alone ends a line
        if (c == '\n') break;
        if (bodyType == 0) {
            out[j++] = (pass8Bit || IsPrintable(c)) ? static_cast<char>(c) : '~';
            if (j >= wrapColumn && c == ' ') break; // the space stays at the end of this line
            if (j >= maxLen) break;
            continue;
        }
        bool literal = bodyType == 2 || (IsPrintable(c) && c != '=');
        if (strict && (c == ' ' || c == '\t')) {
            // White space at a line end would be dropped on the way: escape it there.
            ch.PendingChar = static_cast<uint8_t>(NextTextChar(ch));
            const int32_t next = ch.PendingChar;
            literal = c == ' ' && next != 0 && next != '\r' && next != '\n';
        }
        if (literal) {
            out[j++] = static_cast<char>(c);
        } else {
            out[j++] = '=';
            out[j++] = kHexDigits[(c >> 4) & 15];
            out[j++] = kHexDigits[c & 15];
        }
        // One character of look-ahead: a '.' that would start the continuation line stays
        // on this one when the break falls just before it.
        if (ch.PendingChar == 0) ch.PendingChar = static_cast<uint8_t>(NextTextChar(ch));
        if (j >= maxLen || (j == maxLen - 1 && ch.PendingChar != '.')) {
            out[j++] = '='; // soft line break, RFC 2045 section 6.7 rule 5
            break;
        }
    }
    if (taken == 0 && c == 0) {
        out[0] = 0;
        return -1;
    }
    // Transparency (RFC 5321 section 4.5.2): a line that begins with '.' gets one more.
    if (j > 0 && out[0] == '.') {
        std::memmove(out + 1, out, static_cast<size_t>(j));
        ++j;
    }
    out[j] = 0;
    return j;
}

} // namespace zem
