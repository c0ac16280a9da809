#include "compose/headers.h"

#include "frame/settings.h"
#include "text/charset.h"
#include "text/text.h"

namespace zem {

void HeaderWriter::Raw(char c) {
    if (len_ >= kBufferSize - 1) Flush(); // keep room for a NUL the sink never needs
    ch_.CmdBuffer[len_++] = c;
}

void HeaderWriter::Put(char c) {
    if (lineStart_ && c == '.') Raw('.'); // transparency, RFC 5321 section 4.5.2
    lineStart_ = false;
    Raw(c);
    ++col_;
}

void HeaderWriter::Flush() {
    if (len_ > 0 && error_ == 0) {
        int32_t r = ch_.ComposeOut(ch_, ch_.CmdBuffer, len_);
        if (r < 0) error_ = r;
    }
    len_ = 0;
}

HeaderWriter &HeaderWriter::Text(const char *text, LineEnds mode) {
    if (text == nullptr) return *this;
    bool lineEndPending = false;
    for (const char *p = text; *p != 0; ++p) {
        const char c = *p;
        if (c != '\r' && c != '\n') {
            if (lineEndPending) {
                EndLine();
                lineEndPending = false;
            }
            Put(c);
        } else if (mode == kAsSpace) {
            Put(' ');
        } else if (mode == kAsComma) {
            Put(',');
        } else if (!lineStart_) {
            // Only a line that holds something is ended; CR LF, a lone CR or a lone LF
            // all end it, and a bare LF never reaches the server.
            lineEndPending = true;
        }
    }
    return *this;
}

HeaderWriter &HeaderWriter::Quoted(const char *text) {
    Put('"');
    for (const char *p = text; p != nullptr && *p != 0; ++p) {
        char c = *p;
        if (c == '\r' || c == '\n') c = ' ';
        if (c == '"' || c == '\\') Put('\\');
        Put(c);
    }
    Put('"');
    return *this;
}

HeaderWriter &HeaderWriter::EndLine() {
    Raw('\r');
    Raw('\n');
    lineStart_ = true;
    col_ = 0;
    return *this;
}

HeaderWriter &HeaderWriter::Fold() {
    EndLine();
    Put(' ');
    return *this;
}

HeaderWriter &HeaderWriter::Encoded(const char *utf8, int32_t n, WordKind kind) {
    const bool q = PreferQ(utf8, n, kind);
    char word[kEncodedWordMax + 16];
    int32_t i = 0;
    while (i < n) {
        int32_t room = kFoldColumn - col_;
        if (room > kEncodedWordMax) room = kEncodedWordMax;
        int32_t piece = WordPiece(utf8 + i, n - i, q, kind, room > 16 ? room : kEncodedWordMax);
        if (EncodedWordLength(utf8 + i, piece, q, kind) > room && col_ > 1) {
            Fold(); // the word goes on a line of its own
            continue;
        }
        int32_t len = WriteEncodedWord(utf8 + i, piece, q, kind, word);
        for (int32_t k = 0; k < len; ++k) Put(word[k]);
        i += piece;
        if (i < n) Fold(); // adjacent encoded words need white space between them
    }
    return *this;
}

HeaderWriter &HeaderWriter::Unstructured(const char *utf8) {
    if (utf8 == nullptr) return *this;
    const int32_t n = TextLength(utf8);
    if (IsAsciiText(utf8, n)) return Text(utf8, kAsSpace);
    // Line ends become spaces before encoding, as Text(kAsSpace) makes them.
    int32_t start = 0;
    for (int32_t i = 0; i <= n; ++i) {
        if (i < n && utf8[i] != '\r' && utf8[i] != '\n') continue;
        if (i > start) Encoded(utf8 + start, i - start, WordKind::kText);
        if (i < n) {
            // The space must stand inside a word to survive decoding: a word of its own.
            Encoded(" ", 1, WordKind::kText);
        }
        start = i + 1;
    }
    return *this;
}

void HeaderWriter::Address(const char *item, int32_t n) {
    const char *lt = nullptr;
    for (int32_t i = 0; i < n; ++i)
        if (item[i] == '<') {
            lt = item + i;
            break;
        }
    if (lt == nullptr || IsAsciiText(item, static_cast<int32_t>(lt - item))) {
        for (int32_t i = 0; i < n; ++i) Put(item[i]);
        return;
    }
    const char *b = item;
    while (b < lt && (*b == ' ' || *b == '\t')) Put(*b++);
    const char *e = lt;
    while (e > b && (e[-1] == ' ' || e[-1] == '\t')) --e;
    if (e - b >= 2 && *b == '"' && e[-1] == '"') { // a quoted display name: its content
        ++b;
        --e;
    }
    char name[kBufferSize];
    int32_t k = 0;
    for (const char *p = b; p < e && k < kBufferSize - 1; ++p) {
        if (*p == '\\' && p + 1 < e) ++p; // quoted-pair
        name[k++] = *p;
    }
    if (col_ > kFoldColumn - 24) Fold();
    Encoded(name, k, WordKind::kPhrase);
    const int32_t rest = n - static_cast<int32_t>(lt - item);
    if (col_ + 1 + rest > kFoldColumn)
        Fold();
    else
        Put(' ');
    for (const char *p = lt; p < item + n; ++p) Put(*p);
}

HeaderWriter &HeaderWriter::AddressList(const char *utf8, char separator) {
    if (utf8 == nullptr) return *this;
    if (IsAsciiText(utf8, TextLength(utf8))) return Text(utf8, kAsComma);
    const char *p = utf8;
    for (;;) {
        const char *end = p;
        while (*end != 0 && *end != separator) ++end;
        Address(p, static_cast<int32_t>(end - p));
        if (*end == 0) break;
        Put((separator == '\r' || separator == '\n') ? ',' : separator);
        p = end + 1;
    }
    return *this;
}

HeaderWriter &HeaderWriter::NameParameter(const char *attr, const char *utf8) {
    const int32_t n = TextLength(utf8);
    Text(attr).Text("=");
    if (IsAsciiText(utf8, n)) return Quoted(utf8);
    Put('"');
    // Line ends and quotes have no place in the value; B words never hold them, and Q
    // words escape them.
    char clean[kBufferSize];
    int32_t k = 0;
    for (int32_t i = 0; i < n && k < kBufferSize - 1; ++i) clean[k++] = (utf8[i] == '\r' || utf8[i] == '\n') ? ' ' : utf8[i];
    Encoded(clean, k, WordKind::kPhrase);
    Put('"');
    return *this;
}

HeaderWriter &HeaderWriter::ExtendedParameter(const char *attr, const char *utf8) {
    const int32_t n = TextLength(utf8);
    if (IsAsciiText(utf8, n)) {
        Text(attr).Text("=");
        return Quoted(utf8);
    }
    const int32_t attrLen = TextLength(attr);
    int32_t encodedLen = 0;
    for (int32_t i = 0; i < n; ++i) encodedLen += IsAttributeChar(static_cast<uint8_t>(utf8[i])) ? 1 : 3;
    char piece[kFoldColumn * 3 + 8];
    // One piece when it fits the line, or a line of its own; continuations only beyond
    // that, since some readers know no continuations.
    const bool here = col_ + 1 + attrLen + 9 + encodedLen <= kFoldColumn;
    if (here || 1 + attrLen + 9 + encodedLen <= kFoldColumn) {
        if (here)
            Text(" ");
        else
            Fold();
        Text(attr).Text("*=utf-8''");
        for (int32_t i = 0; i < n;) { // in pieces: the buffer holds one line's worth
            int32_t take = PercentPiece(utf8 + i, n - i, kFoldColumn);
            int32_t w = WritePercent(utf8 + i, take, piece);
            for (int32_t k = 0; k < w; ++k) Put(piece[k]);
            i += take;
        }
        return *this;
    }
    char head[48];
    for (int32_t i = 0, seg = 0; i < n; ++seg) {
        if (seg > 0) Put(';');
        Fold();
        int32_t h = 0;
        for (const char *a = attr; *a && h < 24; ++a) head[h++] = *a;
        head[h++] = '*'; // attr*N*= (RFC 2231 sections 3 and 4)
        h += FormatNumber(head + h, seg);
        head[h++] = '*';
        head[h++] = '=';
        if (seg == 0)
            for (const char *c = "utf-8''"; *c; ++c) head[h++] = *c;
        for (int32_t k = 0; k < h; ++k) Put(head[k]);
        int32_t room = kFoldColumn - col_ - 1;
        int32_t take = PercentPiece(utf8 + i, n - i, room > 12 ? room : 12);
        int32_t w = WritePercent(utf8 + i, take, piece);
        for (int32_t k = 0; k < w; ++k) Put(piece[k]);
        i += take;
    }
    return *this;
}

int32_t FormatNumber(char *out, int32_t v) {
    char digits[12];
    int32_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v > 0 && n < 11);
    for (int32_t k = 0; k < n; ++k) out[k] = digits[n - 1 - k];
    return n;
}

const char *ShownAttachmentName(const char *item) {
    const char *name = FileNamePart(item);
    if (name == nullptr) return "";
    const char *bar = FindChar(name, DisplaySeparator());
    return bar != nullptr ? bar + 1 : name;
}

const char *InlineImageType(const char *shownName) {
    static const char *const kTypes[][2] = {
        {".gif", "Image/GIF"}, {".bmp", "Image/BMP"}, {".tif", "Image/TIFF"}, {".jpg", "Image/JPEG"}};
    int32_t n = TextLength(shownName);
    if (n <= 4) return nullptr;
    for (const auto &t : kTypes)
        if (SameTextNoCase(shownName + n - 4, t[0], 4)) return t[1];
    return nullptr;
}

} // namespace zem
