// The incoming MIME decoder (see mime_decoder.h for the states). This code reads whatever
// a mail server hands over, so every copy into a channel buffer is bounded by the room the
// buffer really has: ReplyBuffer may grow by unfolding only while a whole 1,023-byte line
// still fits behind the current one, and everything decoded lands in TextBuffer, which is
// larger than any decoded line can be.
#include "pop3/mime_decoder.h"

#include <cstdint>
#include <cstring>

#include "codec/codec.h"
#include "driver/replies.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "pop3/message_file.h"
#include "text/text.h"

namespace zem {
namespace {

constexpr int32_t kPlain = 0;
constexpr int32_t kHeaders = 2;
constexpr int32_t kMimeHeaders = 3;
constexpr int32_t kPreamble = 4;
constexpr int32_t kPartHeaders = 5;
constexpr int32_t kPartBody = 6;

constexpr int32_t kEncoding7Bit = 1;
constexpr int32_t kEncodingBase64 = 2;
constexpr int32_t kEncodingQuoted = 3;

constexpr int32_t kLineMax = 1023;     // one line read from the socket
constexpr int32_t kBoundaryMax = 126;  // characters kept after the leading "--"
constexpr int32_t kNameMax = 128;      // characters of Filename
constexpr int32_t kMarkerLen = 15;     // "=?iso-8859-1?" + form letter + '?'
constexpr int32_t kCharsetLen = 13;    // "=?iso-8859-1?"
constexpr int32_t kParamsFrom = 13;    // parameters are looked for from the 14th character

constexpr char kBoundaryName[] = "incoming.mai"; // an unnamed part after a boundary
constexpr char kUnnamed[] = "noname";

bool Begins(const char *line, const char *pattern, int32_t n) { return SameTextNoCase(line, pattern, n); }
bool IsBlank(const char *line) { return line[0] == '\r'; }
bool IsTrailingSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Bytes from line to the end of ReplyBuffer, or 0 when line lies elsewhere.
int32_t RoomInReply(const Channel &ch, const char *line) {
    const auto start = reinterpret_cast<uintptr_t>(ch.ReplyBuffer);
    const auto at = reinterpret_cast<uintptr_t>(line);
    if (at < start || at >= start + kBufferSize) return 0;
    return static_cast<int32_t>(kBufferSize - (at - start));
}

void EndLine(char *line, int32_t at) {
    line[at] = '\r';
    line[at + 1] = '\n';
    line[at + 2] = 0;
}

void RemoveChars(char *at, int32_t n) { std::memmove(at, at + n, static_cast<size_t>(TextLength(at + n)) + 1); }

int32_t WrapAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// The next ISO-8859-1 encoded word (RFC 2047 section 2) at or after from, with the form
// letter wanted ('Q', 'B', or 0 for either). Other character sets are not recognised.
char *FindEncodedWord(char *from, char wanted, char *form) {
    for (char *p = from; (p = FindTextNoCase(p, "=?iso-8859-1?")) != nullptr; p += 2) {
        char f = p[kCharsetLen];
        if (f >= 'a' && f <= 'z') f = static_cast<char>(f - 'a' + 'A');
        if ((f == 'Q' || f == 'B') && p[kCharsetLen + 1] == '?' && (wanted == 0 || wanted == f)) {
            if (form != nullptr) *form = f;
            return p;
        }
    }
    return nullptr;
}

// Removes the markers of at most two encoded words from the line (no decoding).
void StripEncodedWords(char *from) {
    char form = 0;
    for (int32_t words = 0; words < 2; ++words) {
        char *word = FindEncodedWord(from, 0, &form);
        if (word == nullptr) return;
        char *close = FindTextNoCase(word + kMarkerLen, "?=");
        if (close == nullptr) return;
        const auto textLen = static_cast<int32_t>(close - (word + kMarkerLen));
        RemoveChars(word, kMarkerLen);
        RemoveChars(word + textLen, 2);
        from = word + textLen;
    }
}

// A B-form word decoded in place: the decoded bytes where the marker began, then the text
// that followed the closing "?=", then spaces up to the line's old length, then CR LF.
// The decoded bytes are never longer than the encoded text, so everything fits where it
// stood; only a line that had no line end grows by the CR LF, within size.
void DecodeBWord(Channel &ch, char *line, int32_t size, char *word, char *close) {
    int32_t end = TextLength(line);
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
    char *text = word + kMarkerLen;
    auto *decoded = reinterpret_cast<uint8_t *>(ch.TextBuffer);
    const int32_t n = Base64DecodeLine(text, static_cast<int32_t>(close - text), decoded);
    char *out = word;
    std::memcpy(out, decoded, static_cast<size_t>(n));
    out += n;
    const char *rest = close + 2;
    const auto restLen = static_cast<int32_t>(line + end - rest);
    if (restLen > 0) {
        std::memmove(out, rest, static_cast<size_t>(restLen));
        out += restLen;
    }
    while (out < line + end) *out++ = ' ';
    if (end > size - 3) end = size - 3;
    EndLine(line, end);
}

// ---- Header line tests ------------------------------------------------------------------

// Content-Transfer-Encoding (RFC 2045 section 6). Unrecognised values (8bit, binary) leave
// MimeEncoding alone and do not count.
bool EncodingLine(Channel &ch, const char *line) {
    if (!Begins(line, "Content-Transfer-Encoding:", 26)) return false;
    const char *rest = line + 26;
    if (FindTextNoCase(rest, "base64") != nullptr) {
        ch.MimeEncoding = kEncodingBase64;
        LogText(ch, "[Encoding is BASE64]\r\n");
    } else if (FindTextNoCase(rest, "quoted-printable") != nullptr) {
        ch.MimeEncoding = kEncodingQuoted;
        LogText(ch, "[Encoding is QUOTED]\r\n");
    } else if (FindTextNoCase(rest, "7bit") != nullptr) {
        ch.MimeEncoding = kEncoding7Bit;
        LogText(ch, "[Encoding is 7-bit]\r\n");
    } else {
        return false;
    }
    return true;
}

// Content-Disposition (RFC 2183): a bare "inline" sends the part into the message file;
// with a parameter list it does not.
bool DispositionLine(Channel &ch, const char *line) {
    if (!Begins(line, "Content-Disposition:", 20)) return false;
    const char *p = FindTextNoCase(line + 20, "inline");
    if (p != nullptr && p[6] != ';') {
        ch.InlineFlag = 1;
        LogText(ch, "[inline]\r\n");
    }
    return true;
}

// Copies "--" and at most 126 characters of the boundary; returns the length kept.
int32_t SetBoundary(char (&dst)[130], const char *start, const char *end) {
    auto n = static_cast<int32_t>(end - start);
    if (n > kBoundaryMax) n = kBoundaryMax;
    dst[0] = '-';
    dst[1] = '-';
    CopyCounted(dst + 2, start, n);
    return n + 2;
}

// The message's own boundary (RFC 2046 section 5.1.1), on a top-level Content-Type line.
bool DefineBoundary(Channel &ch, char *line) {
    if (!Begins(line, "Content-Type:", 13)) return false;
    UnfoldHeader(ch, line, ';');
    UnfoldHeader(ch, line, ';');
    const char *key = FindTextNoCase(line + 13, "Boundary=");
    if (key == nullptr) return false;
    const char *start = key + 9;
    const char *end = nullptr;
    const char *quote = FindChar(start, '"');
    if (quote != nullptr) {
        if (quote[1] == 0) return false;
        end = FindChar(quote + 2, '"');
        if (end == nullptr) return false;
        start = quote + 1;
    } else {
        end = FindChar(start, '\r');
        if (end == nullptr || end == start) return false;
    }
    ch.BoundaryLen = SetBoundary(ch.MimeBoundary, start, end);
    ch.AltBoundaryLen = 0;
    ch.DecodeState = kPreamble;
    // A file opened by an earlier header line of this message ends here, unrecorded.
    if (ch.FileHandle > 0) FileClose(ch.FileHandle);
    ch.FileHandle = 0;
    LogFormat(ch, "[MIME boundary defined %d (%s)]\r\n", ch.BoundaryLen, ch.MimeBoundary);
    return true;
}

// One nested multipart boundary in a part's headers; it must be quoted. A further one
// replaces it.
bool DefineNestedBoundary(Channel &ch, char *line) {
    if (!Begins(line, "Content-Type: multipart/alternative;", 36) &&
        !Begins(line, "Content-Type: multipart/mixed", 29))
        return false;
    UnfoldHeader(ch, line, ';');
    UnfoldHeader(ch, line, ';');
    if (TextLength(line) < 29) return false;
    const char *key = FindTextNoCase(line + 29, "Boundary=");
    if (key == nullptr) return false;
    const char *quote = FindChar(key + 9, '"');
    if (quote == nullptr || quote[1] == 0) return false;
    const char *end = FindChar(quote + 2, '"');
    if (end == nullptr) return false;
    ch.AltBoundaryLen = SetBoundary(ch.AltBoundary, quote + 1, end);
    LogFormat(ch, "[Alternate MIME boundary defined %d (%s)]\r\n", ch.BoundaryLen, ch.AltBoundary);
    return true;
}

// A line that starts with either boundary (the closing delimiter too) starts a new part.
bool TestBoundary(Channel &ch, const char *line) {
    const bool main = ch.BoundaryLen > 0 && ch.BoundaryLen <= 128 && SameTextNoCase(line, ch.MimeBoundary, ch.BoundaryLen);
    const bool nested = ch.AltBoundaryLen > 0 && ch.AltBoundaryLen <= 128 &&
                        SameTextNoCase(line, ch.AltBoundary, ch.AltBoundaryLen);
    if (!main && !nested) return false;
    ch.DecodeState = kPartHeaders;
    ch.MimeEncoding = 0;
    ch.InlineFlag = 0;
    CopyInto(ch.Filename, kBoundaryName);
    LogText(ch, "[Boundary line found]\r\n");
    return true;
}

// A base64 part without a name is saved only when asked for (code 14).
void TryUnnamedPart(Channel &ch) {
    if (ch.MimeEncoding != kEncodingBase64 || ch.FileHandle > 0 || ch.SaveNoname == 0) return;
    if (ch.Filename[0] == 0) CopyInto(ch.Filename, kUnnamed);
    OpenAttachmentFile(ch);
}

void TryFileName(Channel &ch, char *line) {
    if (FindFileName(ch, line)) OpenAttachmentFile(ch);
}

// ---- The states -------------------------------------------------------------------------

int32_t HeaderLine(Channel &ch, char *line) {
    if (IsBlank(line)) {
        ch.DecodeState = kPlain;
        LogText(ch, "[Not doing MIME/2]\r\n");
        return 1;
    }
    if (Begins(line, "Subject:", 8) || Begins(line, "From", 4)) {
        if (FindEncodedWord(line, 'Q', nullptr) != nullptr || FindEncodedWord(line, 'B', nullptr) != nullptr) {
            LogText(ch, "[ISO8859]\r\n");
            char peek[8];
            if (PeekInput(ch, peek, 5) >= 2 && peek[0] == ' ') UnfoldHeader(ch, line, '=');
            DecodeEncodedWords(ch, line);
        }
    } else if (Begins(line, "MIME-Version: 1.0", 17)) {
        ch.DecodeState = kMimeHeaders;
        LogText(ch, "[MIME version found]\r\n");
    } else {
        // Header fields come in any order (RFC 2045): a transfer encoding named before
        // MIME-Version still governs a single-part body. The line is written as before.
        EncodingLine(ch, line);
    }
    if (DefineBoundary(ch, line)) LogText(ch, "[Assuming MIME]\r\n");
    return 1;
}

int32_t MimeHeaderLine(Channel &ch, char *line) {
    if (IsBlank(line)) {
        if (ch.MimeEncoding != 0) {
            ch.DecodeState = kPartBody;
            LogText(ch, "[MIME w/o boundary]\r\n");
            TryUnnamedPart(ch);
        } else {
            ch.DecodeState = kPlain;
            LogText(ch, "[Not doing MIME]\r\n");
        }
        return 1;
    }
    if (Begins(line, "Subject:", 8) || Begins(line, "To:", 3) || Begins(line, "From:", 5)) return 1;
    if (DefineBoundary(ch, line) || EncodingLine(ch, line)) return 0;
    if (DispositionLine(ch, line) || Begins(line, "Content-Type:", 13)) TryFileName(ch, line);
    return 0; // every other header line stays out of the message file
}

int32_t PreambleLine(Channel &ch, char *line) {
    TestBoundary(ch, line);
    // Of the preamble only the blank line that ends the message headers is written.
    if (ch.BlankSeen == 0 && line[0] == '\r' && line[1] == '\n' && line[2] == 0) {
        ch.BlankSeen = 1;
        return 1;
    }
    return 0;
}

int32_t PartHeaderLine(Channel &ch, char *line) {
    LogText(ch, "[Looking for encoding]\r\n");
    if (IsBlank(line)) {
        if (ch.SkipBlank) {
            // An embedded message: its own headers follow and are read as part headers.
            ch.InlineFlag = 0;
            ch.SkipBlank = 0;
            LogText(ch, "[Ignoring blank line]\r\n");
            return 1;
        }
        ch.DecodeState = kPartBody;
        if (ch.InlineFlag == 0) TryUnnamedPart(ch);
        return 0;
    }
    if (EncodingLine(ch, line) || DefineNestedBoundary(ch, line)) return 0;
    if (Begins(line, "Content-Type: message/rfc822", 28)) {
        ch.InlineFlag = 1;
        ch.SkipBlank = 1;
        return 0;
    }
    if (DispositionLine(ch, line) || Begins(line, "Content-Type:", 13)) TryFileName(ch, line);
    return 0;
}

int32_t PartBodyLine(Channel &ch, char *line) {
    if (TestBoundary(ch, line)) {
        CloseAttachmentFile(ch);
        return 0;
    }
    LogFormat(ch, "[InlineFlag=%d MimeEncoding=%d FileHandle=%d]\r\n", ch.InlineFlag, ch.MimeEncoding,
              ch.FileHandle);
    const bool toFile = ch.FileHandle > 0;
    if (ch.InlineFlag == 0 && !toFile) return 1;
    const int32_t len = TextLength(line);
    ch.AttachBytes = WrapAdd(ch.AttachBytes, len);
    const char *out = line;
    int32_t n = len;
    if (ch.MimeEncoding == kEncodingBase64) {
        // At most 3 bytes for every 4 characters, plus 4: always inside TextBuffer.
        n = Base64DecodeText(line, len, reinterpret_cast<uint8_t *>(ch.TextBuffer));
        out = ch.TextBuffer;
    } else if (ch.MimeEncoding == kEncodingQuoted) {
        n = QpDecodeLine(line, ch.TextBuffer, kBufferSize);
        out = ch.TextBuffer;
    }
    if (toFile) WriteToAttachmentFile(ch, out, n);
    if (ch.InlineFlag) WriteToEmailFile(ch, out, n);
    LogText(ch, ch.InlineFlag ? "[...decode inline...]\r\n" : "[...decode to file...]\r\n");
    return 0;
}

} // namespace

int32_t UnfoldHeader(Channel &ch, char *line, char c) {
    const int32_t size = RoomInReply(ch, line);
    if (size < 3) return 0;
    int32_t len = TextLength(line);
    if (len > size - 1) len = size - 1;
    while (len > 2 && IsTrailingSpace(line[len - 1])) --len;
    if (len > size - 3) len = size - 3;
    EndLine(line, len);
    if (c != 0 && (len == 0 || line[len - 1] != c)) return 0;
    // The continuation goes where the CR LF stands; it is read only when a whole line fits.
    if (size - len < kLineMax + 1) return 0;
    const int32_t wait = P(gSettings.pop3DataWait);
    const int64_t more = 4 * static_cast<int64_t>(wait);
    const int32_t moreWait = more > INT32_MAX ? INT32_MAX : static_cast<int32_t>(more);
    const int32_t r = ReadLine(ch, line + len, kLineMax + 1, wait, moreWait);
    if (r <= 0) {
        EndLine(line, len); // a failed read may have left peeked bytes behind
        return 0;
    }
    char *next = line + len;
    int32_t skip = 0;
    while (next[skip] == ' ' || next[skip] == '\t') ++skip;
    if (skip > 0) RemoveChars(next, skip);
    return 1;
}

int32_t DecodeEncodedWords(Channel &ch, char *line) {
    const int32_t size = RoomInReply(ch, line);
    if (size == 0 || TextLength(line) <= 4) return 0;
    int32_t found = 0;
    int32_t qWords = 0;
    char *from = line + 4;
    char form = 0;
    while (qWords < 2) {
        char *word = FindEncodedWord(from, 0, &form);
        if (word == nullptr) break;
        char *close = FindTextNoCase(word + kMarkerLen, "?=");
        if (close == nullptr) break; // an unfinished word is left as it is
        if (form == 'B') {
            DecodeBWord(ch, line, size, word, close);
            found |= 2;
            break; // one B-form word per line
        }
        const auto textLen = static_cast<int32_t>(close - (word + kMarkerLen));
        RemoveChars(word, kMarkerLen);
        RemoveChars(word + textLen, 2);
        from = word + textLen;
        found |= 1;
        ++qWords;
    }
    if (found & 1) {
        // Q form (RFC 2047 section 4.2) as quoted-printable; the underscore stays.
        const int32_t n = CopyText(ch.TextBuffer, line, kBufferSize - 1);
        QpDecodeLine(ch.TextBuffer, line, n + 1); // never longer than the text it decodes
    }
    return found;
}

void StoreFileName(Channel &ch, const char *name) {
    const char *part = name;
    for (const char *p = name; *p != 0; ++p)
        if (*p == '/' || *p == '\\' || *p == ':') part = p + 1;
    if (part[0] == 0 || std::strcmp(part, ".") == 0 || std::strcmp(part, "..") == 0) part = kUnnamed;
    CopyText(ch.Filename, part, kNameMax);
}

int32_t FindFileName(Channel &ch, char *line) {
    if (!UnfoldHeader(ch, line, ';')) {
        // A parameter folded onto a line that begins with one space (RFC 5322 section 2.2.3).
        char peek[8];
        if (PeekInput(ch, peek, 5) >= 2 && peek[0] == ' ' && peek[1] != ' ') UnfoldHeader(ch, line, 0);
    }
    if (TextLength(line) < kParamsFrom) return 0;
    char form = 0;
    if (FindEncodedWord(line + kParamsFrom, 'Q', nullptr) != nullptr)
        form = 'Q';
    else if (FindEncodedWord(line + kParamsFrom, 'B', nullptr) != nullptr)
        form = 'B';
    if (form != 0) {
        LogText(ch, "[iso-8859]\r\n");
        UnfoldHeader(ch, line, '=');
        LogFormat(ch, "[r:%s]\r\n", line);
        StripEncodedWords(line + kParamsFrom);
    }
    const char *key = FindTextNoCase(line + kParamsFrom, "name="); // also the tail of filename=
    if (key == nullptr) return 0;
    const char *start = key + 5;
    const char *end = nullptr;
    const char *quote = FindChar(start, '"');
    if (quote != nullptr) {
        if (quote[1] == 0) return 0;
        end = FindChar(quote + 2, '"');
        start = quote + 1;
    } else {
        if (start[0] == 0) return 0;
        end = FindChar(start + 1, '\r');
    }
    if (end == nullptr) return 0;
    // The name is decoded first and cut to its last path component afterwards, so that
    // neither a '/' of the base64 alphabet nor a decoded separator can go unnoticed.
    char raw[kBufferSize];
    char name[kBufferSize];
    const auto rawLen = static_cast<int32_t>(end - start);
    CopyCounted(raw, start, rawLen);
    if (form == 'Q') {
        QpDecodeLine(raw, name, kBufferSize);
    } else if (form == 'B') {
        const int32_t n = Base64DecodeLine(raw, rawLen, reinterpret_cast<uint8_t *>(name));
        name[n] = 0;
    } else {
        CopyText(name, raw, kBufferSize - 1);
    }
    StoreFileName(ch, name);
    LogFormat(ch, "[Filename='%s']\r\n", ch.Filename);
    return 1;
}

int32_t OpenAttachmentFile(Channel &ch) {
    LogFormat(ch, "[AttachDir = '%s']\r\n", ch.AttachDir);
    LogFormat(ch, "[Filename = '%s']\r\n", ch.Filename);
    // Filename is cleaned again here: it may be a name kept from an earlier message.
    char clean[kNameMax + 1];
    CopyInto(clean, ch.Filename);
    StoreFileName(ch, clean);
    const int32_t dirLen = TextLength(ch.AttachDir);
    const char last = dirLen > 0 ? ch.AttachDir[dirLen - 1] : '/';
    const char *sep = (last == '/' || last == '\\') ? "" : "/"; // an empty directory: the name alone
    char path[sizeof ch.AttachDir + kNameMax + 32];
    int32_t n = 0;
    if (ch.NumberedNames != 0)
        n = FormatText(path, sizeof path, "%s%s%d-%s", ch.AttachDir, sep, WrapAdd(ch.AttachNumber, 1), ch.Filename);
    else
        n = FormatText(path, sizeof path, "%s%s%s", ch.AttachDir, sep, ch.Filename);
    if (ch.FileHandle > 0) FileClose(ch.FileHandle); // closed without being recorded
    ch.FileHandle = 0;
    CopyInto(ch.AttachPath, path);
    if (n > static_cast<int32_t>(sizeof ch.AttachPath) - 1) {
        // A path that does not fit is a file that cannot be created.
        LogFormat(ch, "[Cannot open '%s']\r\n", ch.AttachPath);
        return 0;
    }
    LogFormat(ch, "[Creating '%s']\r\n", ch.AttachPath);
    const int32_t h = FileCreate(ch.AttachPath, false);
    if (h <= 0) {
        LogFormat(ch, "[Cannot open '%s']\r\n", ch.AttachPath);
        return 0;
    }
    ch.FileHandle = h;
    return 1;
}

void ResetDecoder(Channel &ch) {
    ch.BoundaryLen = 0;
    ch.MimeEncoding = 0;
    ch.AttachSaved = 0;
    ch.BlankSeen = 0;
    std::memset(ch.SavedList, 0, 1024);
}

int32_t MimeLineHandler(Channel &ch) {
    ch.ReplyBuffer[kBufferSize - 1] = 0; // whatever arrived, the line ends inside the buffer
    char *line = ch.ReplyBuffer;
    switch (ch.DecodeState) {
    case kHeaders: return HeaderLine(ch, line);
    case kMimeHeaders: return MimeHeaderLine(ch, line);
    case kPreamble: return PreambleLine(ch, line);
    case kPartHeaders: return PartHeaderLine(ch, line);
    case kPartBody: return PartBodyLine(ch, line);
    default: return 1; // plain (0) and 7 to 9: written unchanged
    }
}

} // namespace zem
