// The incoming MIME decoder (see mime_decoder.h for the states). This code reads whatever
// a mail server hands over, so every copy into a channel buffer is bounded by the room the
// buffer really has: a line lives in ReplyBuffer or in the decoder's held-line buffer,
// both of which hold any line the feeder hands over, and everything decoded lands in
// the decoder's scratch line or in the attachment file's write block.
#include "mime/mime_decoder.h"

#include <cstdint>
#include <cstring>

#include "codec/codec.h"
#include "driver/step.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "mime/decoder_area.h"
#include "mime/message_file.h"
#include "text/charset.h"
#include "text/mime_words.h"
#include "text/text.h"
#include "zem32.h"

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

constexpr int32_t kBoundaryMax = 126;  // characters kept after the leading "--"
constexpr int32_t kNameMax = 128;      // bytes of Filename
constexpr int32_t kMarkerLen = 15;     // "=?iso-8859-1?" + form letter + '?'
constexpr int32_t kCharsetLen = 13;    // "=?iso-8859-1?"
constexpr int32_t kParamsFrom = 13;    // parameters are looked for from the 14th character
constexpr int32_t kExtensionMax = 16;  // an extension kept when a long name is shortened
constexpr int32_t kDistinctTries = 100;
constexpr int32_t kShortestName = 16;  // a name is not shortened below this to fit a path

constexpr char kBoundaryName[] = "incoming.mai"; // an unnamed part after a boundary
constexpr char kUnnamed[] = "noname";
constexpr char kMessageName[] = "message.eml";

bool Begins(const char *line, const char *pattern, int32_t n) { return SameTextNoCase(line, pattern, n); }
bool IsBlank(const char *line) { return line[0] == '\r'; }
bool IsTrailingSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsContinuation(int32_t c) { return c == ' ' || c == '\t'; }

// Bytes from line to the end of the buffer it lies in (ReplyBuffer or the held line), or
// 0 when it lies elsewhere.
int32_t RoomFor(Channel &ch, const char *line) {
    const auto at = reinterpret_cast<uintptr_t>(line);
    const auto reply = reinterpret_cast<uintptr_t>(ch.ReplyBuffer);
    if (at >= reply && at < reply + kBufferSize) return static_cast<int32_t>(kBufferSize - (at - reply));
    const auto held = reinterpret_cast<uintptr_t>(Decoder(ch).Held);
    if (at >= held && at < held + sizeof Decoder(ch).Held) return static_cast<int32_t>(sizeof Decoder(ch).Held - (at - held));
    return 0;
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

// FNV-1a over a file name: the names written for one message are told apart by it.
uint64_t NameHash(const char *name) {
    uint64_t h = 1469598103934665603ull;
    for (const char *p = name; *p != 0; ++p) h = (h ^ static_cast<uint8_t>(*p)) * 1099511628211ull;
    return h | 1u; // never 0, which means "none"
}

bool NameTaken(DecoderArea &d, uint64_t h) {
    for (int32_t i = 0; i < d.NameCount && i < kNamesKept; ++i)
        if (d.Names[i] == h) return true;
    return false;
}

void TakeName(DecoderArea &d, uint64_t h) {
    if (d.NameCount < kNamesKept) d.Names[d.NameCount++] = h;
}

// The next ISO-8859-1 encoded word (RFC 2047 section 2) at or after from, with the form
// letter wanted ('Q', 'B', or 0 for either).
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
void DecodeBWord(Channel &ch, char *line, int32_t size, char *word, char *close) {
    int32_t end = TextLength(line);
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
    char *text = word + kMarkerLen;
    auto *decoded = reinterpret_cast<uint8_t *>(Decoder(ch).Scratch);
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

// A header text in UTF-8: every encoded word decoded in its own character set (RFC 2047),
// adjacent ones joined. The line keeps its CR LF.
void DecodeHeaderUtf8(Channel &ch, char *line) {
    const int32_t size = RoomFor(ch, line);
    if (size < 3) return;
    int32_t words = 0;
    const int32_t n = DecodeWordsUtf8(line, TextLength(line), Decoder(ch).Scratch, kBufferSize, &words);
    if (words == 0) return;
    CopyText(line, Decoder(ch).Scratch, n < size - 1 ? n : size - 1);
    int32_t end = TextLength(line);
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
    if (end > size - 3) end = size - 3;
    EndLine(line, end);
}

// ---- Header line tests ------------------------------------------------------------------

// Content-Transfer-Encoding (RFC 2045 section 6). Other values (8bit, binary) leave
// MimeEncoding alone and do not count: such parts are written as they come.
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
    DecoderArea &d = Decoder(ch);
    ch.BoundaryLen = SetBoundary(ch.MimeBoundary, start, end);
    ch.AltBoundaryLen = 0;
    d.Depth = 1;
    d.PartLevel = -1;
    ch.DecodeState = kPreamble;
    // A file opened by an earlier header line of this message ends here, unrecorded.
    if (ch.FileHandle > 0) DropAttachmentFile(ch);
    ch.FileHandle = 0;
    LogFormat(ch, "[MIME boundary defined %d (%s)]\r\n", ch.BoundaryLen, ch.MimeBoundary);
    return true;
}

// The boundary of a multipart part's own parts, one level below the part. Level 1 is
// AltBoundary; deeper levels live in the decoder's area; a definition replaces every
// level below its own.
void PushBoundary(Channel &ch, const char *start, const char *end) {
    DecoderArea &d = Decoder(ch);
    int32_t level = (d.PartLevel < 0 ? 0 : d.PartLevel) + 1;
    if (level >= kMaxNesting) return; // deeper structure is body text
    if (level == 1) {
        ch.AltBoundaryLen = SetBoundary(ch.AltBoundary, start, end);
        LogFormat(ch, "[Alternate MIME boundary defined %d (%s)]\r\n", ch.BoundaryLen, ch.AltBoundary);
    } else {
        d.BoundLens[level] = SetBoundary(d.Bounds[level], start, end);
        LogFormat(ch, "[Alternate MIME boundary defined %d (%s)]\r\n", ch.BoundaryLen, d.Bounds[level]);
    }
    d.Depth = level + 1;
}

// A nested multipart boundary in a part's headers: the forms written by the mailers of
// old (multipart/alternative and multipart/mixed with a quoted boundary) first, then any
// multipart type with its boundary parameter, quoted or not.
bool DefineNestedBoundary(Channel &ch, char *line) {
    const bool classic =
        Begins(line, "Content-Type: multipart/alternative;", 36) || Begins(line, "Content-Type: multipart/mixed", 29);
    if (!Begins(line, "Content-Type:", 13)) return false;
    const char *type = line + 13;
    while (*type == ' ' || *type == '\t') ++type;
    const bool multipart = Begins(type, "multipart/", 10);
    if (!classic && !multipart) return false;
    UnfoldHeader(ch, line, ';');
    if (classic && TextLength(line) >= 29) {
        const char *key = FindTextNoCase(line + 29, "Boundary=");
        const char *quote = key != nullptr ? FindChar(key + 9, '"') : nullptr;
        const char *end = (quote != nullptr && quote[1] != 0) ? FindChar(quote + 2, '"') : nullptr;
        if (end != nullptr) {
            PushBoundary(ch, quote + 1, end);
            return true;
        }
    }
    if (!multipart) return false;
    char value[kBoundaryMax + 2];
    const int32_t n = HeaderParam(line, "boundary", value, sizeof value, nullptr, 0);
    if (n <= 0) return false;
    PushBoundary(ch, value, value + n);
    return true;
}

// The level whose boundary starts the line (the closing delimiter too), the longest
// boundary winning; -1 for none.
int32_t MatchBoundary(Channel &ch, const char *line) {
    DecoderArea &d = Decoder(ch);
    int32_t best = -1;
    int32_t bestLen = 0;
    auto tryLevel = [&](int32_t level, const char *b, int32_t len) {
        if (len > 0 && len <= 128 && len >= bestLen && SameTextNoCase(line, b, len)) {
            best = level;
            bestLen = len;
        }
    };
    tryLevel(0, ch.MimeBoundary, ch.BoundaryLen);
    tryLevel(1, ch.AltBoundary, ch.AltBoundaryLen);
    const int32_t depth = d.Depth < kMaxNesting ? d.Depth : kMaxNesting;
    for (int32_t level = 2; level < depth; ++level) tryLevel(level, d.Bounds[level], d.BoundLens[level]);
    return best;
}

// A line that starts with a boundary of any level starts a new part at that level.
bool TestBoundary(Channel &ch, const char *line) {
    const int32_t level = MatchBoundary(ch, line);
    if (level < 0) return false;
    DecoderArea &d = Decoder(ch);
    if (d.EmlCapturing && level <= d.EmlLevel) CloseEmbeddedMessage(ch);
    d.PartLevel = level;
    d.EmlPending = 0;
    // Boundaries below the level end with it (level 1 stays, as the message's own
    // boundary always left it).
    if (level >= 1) d.Depth = level + 1;
    else if (d.Depth > 2) d.Depth = 2;
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

// A name found on a part's header line opens its file; for an attached message saved
// whole it names that message's file instead.
void TryFileName(Channel &ch, char *line) {
    DecoderArea &d = Decoder(ch);
    if (!FindFileName(ch, line)) return;
    if (ch.SaveMessages && d.EmlPending) {
        CopyInto(d.EmlName, ch.Filename);
        return;
    }
    OpenAttachmentFile(ch);
}

// ---- An attached message saved whole ------------------------------------------------------

// Builds a distinct path for name and creates it; the handle, or 0.
int32_t CreateDistinct(Channel &ch, const char *name, char (&path)[kAttachPathMax], uint64_t *hash);

void FlushEmbedded(Channel &ch) {
    DecoderArea &d = Decoder(ch);
    if (d.EmlFill > 0 && d.EmlHandle > 0 && FileWrite(d.EmlHandle, d.EmlBlock, d.EmlFill) < 0) ch.WriteFailed = 1;
    if (d.EmlHandle > 0) d.EmlFill = 0;
}

// Opens the attached message's file under its name (the part's file name, else its
// Subject with ".eml", else "message.eml") and writes what its block holds.
void OpenEmbedded(Channel &ch) {
    DecoderArea &d = Decoder(ch);
    d.EmlHeaders = 0;
    if (d.EmlHandle > 0) return;
    if (d.EmlName[0] == 0) CopyInto(d.EmlName, kMessageName);
    char safe[kNameMax + 1];
    CopyInto(safe, d.EmlName);
    char saved[kNameMax + 1];
    CopyInto(saved, ch.Filename);
    StoreFileName(ch, safe); // the same cleaning as any attachment name
    CopyInto(safe, ch.Filename);
    CopyInto(ch.Filename, saved);
    uint64_t hash = 0;
    const int32_t h = CreateDistinct(ch, safe, d.EmlPath, &hash);
    if (h <= 0) {
        d.EmlCapturing = 0; // the message stays in the message file as it always did
        d.EmlFill = 0;
        return;
    }
    TakeName(d, hash);
    d.EmlHandle = h;
    FlushEmbedded(ch);
}

// A line of the attached message, as it came. A boundary of the enclosing parts ends it.
void CaptureEmbeddedLine(Channel &ch, const char *line, int32_t n) {
    DecoderArea &d = Decoder(ch);
    const int32_t level = MatchBoundary(ch, line);
    if (level >= 0 && level <= d.EmlLevel) return;
    if (d.EmlFill + n > kWriteBlock) {
        if (d.EmlHandle <= 0) OpenEmbedded(ch); // headers longer than a block: named now
        FlushEmbedded(ch);
        if (d.EmlFill + n > kWriteBlock) return;
    }
    std::memcpy(d.EmlBlock + d.EmlFill, line, static_cast<size_t>(n));
    d.EmlFill += n;
    if (d.EmlHandle > 0 && d.EmlFill >= kWriteBlock / 2) FlushEmbedded(ch);
}

// ---- The states -------------------------------------------------------------------------

int32_t HeaderLine(Channel &ch, char *line) {
    if (IsBlank(line)) {
        ch.DecodeState = kPlain;
        LogText(ch, "[Not doing MIME/2]\r\n");
        return 1;
    }
    if (Begins(line, "Subject:", 8) || Begins(line, "From", 4)) {
        if (ch.Utf8Names) {
            DecodeHeaderUtf8(ch, line);
        } else if (FindEncodedWord(line, 'Q', nullptr) != nullptr || FindEncodedWord(line, 'B', nullptr) != nullptr) {
            LogText(ch, "[ISO8859]\r\n");
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
    DecoderArea &d = Decoder(ch);
    if (IsBlank(line)) {
        if (ch.SkipBlank) {
            // An embedded message: its own headers follow and are read as part headers.
            ch.InlineFlag = 0;
            ch.SkipBlank = 0;
            LogText(ch, "[Ignoring blank line]\r\n");
            if (ch.SaveMessages && d.EmlPending && !d.EmlCapturing) {
                d.EmlCapturing = 1;
                d.EmlHeaders = 1;
                d.EmlLevel = d.PartLevel;
                d.EmlFill = 0;
                d.EmlHandle = 0;
            }
            d.EmlPending = 0;
            return 1;
        }
        if (d.EmlCapturing && d.EmlHeaders) OpenEmbedded(ch);
        ch.DecodeState = kPartBody;
        if (ch.InlineFlag == 0) TryUnnamedPart(ch);
        return 0;
    }
    if (d.EmlCapturing && d.EmlHeaders && d.EmlName[0] == 0 && Begins(line, "Subject:", 8)) {
        // The attached message is named from its subject.
        char subject[kBufferSize];
        const char *s = line + 8;
        while (*s == ' ' || *s == '\t') ++s;
        int32_t n = DecodeWordsUtf8(s, TextLength(s), subject, sizeof subject, nullptr);
        while (n > 0 && IsTrailingSpace(subject[n - 1])) --n;
        subject[n] = 0;
        if (n > 0) {
            StoreFileName(ch, subject);
            char name[kNameMax + 8];
            FormatText(name, sizeof name, "%s.eml", ch.Filename);
            CopyInto(d.EmlName, name);
            CopyInto(ch.Filename, kBoundaryName);
        }
        return 0;
    }
    if (EncodingLine(ch, line) || DefineNestedBoundary(ch, line)) return 0;
    if (Begins(line, "Content-Type: message/rfc822", 28)) {
        ch.InlineFlag = 1;
        ch.SkipBlank = 1;
        if (ch.SaveMessages && !d.EmlCapturing) {
            d.EmlPending = 1;
            d.EmlName[0] = 0;
            if (ch.FileHandle > 0) {
                // A name given before the type names the message's file, not an attachment.
                CopyInto(d.EmlName, ch.Filename);
                DropAttachmentFile(ch);
            }
            TryFileName(ch, line);
        }
        return 0;
    }
    if (DispositionLine(ch, line) || Begins(line, "Content-Type:", 13)) TryFileName(ch, line);
    return 0;
}

int32_t PartBodyLine(Channel &ch, char *line, int32_t len) {
    if (TestBoundary(ch, line)) {
        Decoder(ch).PendingLineEnd = 0; // the line end before the boundary is the boundary's
        ClosePartFile(ch);
        return 0;
    }
    LogFormat(ch, "[InlineFlag=%d MimeEncoding=%d FileHandle=%d]\r\n", ch.InlineFlag, ch.MimeEncoding,
              ch.FileHandle);
    const bool toFile = ch.FileHandle > 0;
    if (ch.InlineFlag == 0 && !toFile) return 1;
    ch.AttachBytes += len;
    if (ch.MimeEncoding == kEncodingBase64) {
        // Decoded straight into the file's write block: at most 3 bytes for 4 characters.
        char *space = toFile ? AttachmentSpace(ch, len) : nullptr;
        char *out = space != nullptr ? space : Decoder(ch).Scratch;
        const int32_t n = Base64DecodeTextBulk(line, len, reinterpret_cast<uint8_t *>(out));
        if (space != nullptr)
            CommitAttachmentBytes(ch, n);
        else if (toFile)
            WriteToAttachmentFile(ch, out, n);
        if (ch.InlineFlag) WriteToEmailFile(ch, out, n);
    } else {
        const char *out = line;
        int32_t n = len;
        if (ch.MimeEncoding == kEncodingQuoted) {
            n = QpDecodeLine(line, Decoder(ch).Scratch, kBufferSize);
            out = Decoder(ch).Scratch;
        }
        if (toFile) {
            DecoderArea &d = Decoder(ch);
            if (d.PendingLineEnd) WriteToAttachmentFile(ch, "\r\n", 2);
            d.PendingLineEnd = n >= 2 && out[n - 2] == '\r' && out[n - 1] == '\n' ? 1 : 0;
            WriteToAttachmentFile(ch, out, n - 2 * d.PendingLineEnd);
        }
        if (ch.InlineFlag) WriteToEmailFile(ch, out, n);
    }
    LogText(ch, ch.InlineFlag ? "[...decode inline...]\r\n" : "[...decode to file...]\r\n");
    return 0;
}

// One whole (unfolded) line through the state machine; 1 when it is to be written.
int32_t HandleLine(Channel &ch, char *line, int32_t len) {
    switch (ch.DecodeState) {
    case kHeaders: return HeaderLine(ch, line);
    case kMimeHeaders: return MimeHeaderLine(ch, line);
    case kPreamble: return PreambleLine(ch, line);
    case kPartHeaders: return PartHeaderLine(ch, line);
    case kPartBody: return PartBodyLine(ch, line, len);
    default: return 1; // plain (0) and 7 to 9: written unchanged
    }
}

// Writes a line the decoder left to the message file (quoted-printable decoded when the
// part is).
void WriteMessageLine(Channel &ch, const char *line, int32_t n) {
    ch.TextBytes += n;
    if (ch.MimeEncoding == kEncodingQuoted) {
        int32_t d = QpDecodeLine(line, Decoder(ch).Scratch, kBufferSize);
        WriteToEmailFile(ch, Decoder(ch).Scratch, d);
        return;
    }
    WriteToEmailFile(ch, line, n);
}

void ProcessLine(Channel &ch, char *line, int32_t n) {
    const int32_t state = ch.DecodeState;
    if (HandleLine(ch, line, n) != 1) return;
    // Header lines may have changed in place; body lines keep their length, NUL bytes and all.
    const bool header = state == kHeaders || state == kMimeHeaders || state == kPartHeaders || state == kPreamble;
    WriteMessageLine(ch, line, header ? TextLength(line) : n);
}

// Header lines whose content the decoder reads, and which are therefore unfolded first.
bool Unfolds(Channel &ch, const char *line) {
    switch (ch.DecodeState) {
    case kHeaders:
        return Begins(line, "Content-Type:", 13) ||
               ((Begins(line, "Subject:", 8) || Begins(line, "From", 4)) && FindTextNoCase(line, "=?") != nullptr);
    case kMimeHeaders: return Begins(line, "Content-Type:", 13) || Begins(line, "Content-Disposition:", 20);
    case kPartHeaders:
        return Begins(line, "Content-Type:", 13) || Begins(line, "Content-Disposition:", 20) ||
               (Decoder(ch).EmlHeaders && Begins(line, "Subject:", 8));
    default: return false;
    }
}

void ProcessHeld(Channel &ch) {
    DecoderArea &d = Decoder(ch);
    if (d.HeldLen <= 0) return;
    const int32_t n = d.HeldLen;
    d.HeldLen = 0;
    ProcessLine(ch, d.Held, n);
}

// Joins a continuation line to the held one (RFC 5322 section 2.2.3): the held line's end
// is normalised and the continuation's leading white space removed. False when the joined
// line would not fit; the continuation then stands as a line of its own.
bool JoinHeld(DecoderArea &d, const char *line, int32_t n) {
    int32_t len = d.HeldLen;
    while (len > 2 && IsTrailingSpace(d.Held[len - 1])) --len;
    int32_t skip = 0;
    while (skip < n && (line[skip] == ' ' || line[skip] == '\t')) ++skip;
    if (len + (n - skip) > kHeldMax) return false;
    std::memcpy(d.Held + len, line + skip, static_cast<size_t>(n - skip));
    d.HeldLen = len + n - skip;
    d.Held[d.HeldLen] = 0;
    return true;
}

int32_t Status(const Channel &ch) { return ch.WriteFailed ? ZEM_ERR_CANNOT_CREATE_FILE : 0; }

// Bytes to keep of the first len bytes of text so that no UTF-8 character is cut. Only a
// real character is stepped back over (a lead byte and at most three continuation bytes);
// the bytes of another character set are cut where asked.
int32_t Utf8Cut(const char *text, int32_t len) {
    int32_t k = len;
    while (k > 0 && len - k < 3 && (static_cast<uint8_t>(text[k]) & 0xC0) == 0x80) --k;
    return static_cast<uint8_t>(text[k]) >= 0xC0 ? k : len;
}

// Writes into out (at least limit + 1 bytes) the name made of name for try k: the name
// itself for k 1, else with "(k)" before its extension ("report(2).pdf"), in either case
// at most limit bytes: the part before the extension is shortened, never inside a UTF-8
// character; an extension too long to keep (over 16 bytes, or more than the room) is
// shortened with the rest. Returns the length, 0 when not even "(k)" fits.
int32_t FitName(const char *name, int32_t k, int32_t limit, char *out) {
    const int32_t len = TextLength(name);
    char suffix[16] = "";
    const int32_t sl = k > 1 ? FormatText(suffix, sizeof suffix, "(%d)", k) : 0;
    if (limit <= sl) return 0;
    int32_t dot = 0; // 0: no extension (a leading dot starts no extension)
    for (int32_t i = len - 1; i > 0; --i)
        if (name[i] == '.') {
            dot = i;
            break;
        }
    int32_t extLen = dot > 0 ? len - dot : 0;
    const bool fits = len + sl <= limit;
    if (!fits && (extLen > kExtensionMax || extLen + sl >= limit)) extLen = 0;
    int32_t stemLen = len - extLen;
    int32_t keep = stemLen <= limit - sl - extLen ? stemLen : Utf8Cut(name, limit - sl - extLen);
    if (keep == 0 && stemLen > 0) { // the name would begin with its extension's dot
        extLen = 0;
        stemLen = len;
        keep = stemLen <= limit - sl ? stemLen : Utf8Cut(name, limit - sl);
        if (keep == 0) keep = limit - sl; // one character longer than the room: cut inside it
    }
    int32_t n = 0;
    std::memcpy(out, name, static_cast<size_t>(keep));
    n += keep;
    std::memcpy(out + n, suffix, static_cast<size_t>(sl));
    n += sl;
    std::memcpy(out + n, name + stemLen, static_cast<size_t>(extLen));
    n += extLen;
    out[n] = 0;
    return n;
}

// Builds in path a name for a new file in the attachment directory out of name, distinct
// from every name written for this message and from every entry the directory holds, and
// creates the file exclusively (never an existing file, never through a link). The
// handle, or 0 when the path does not fit or no file can be made.
int32_t CreateDistinct(Channel &ch, const char *name, char (&path)[kAttachPathMax], uint64_t *hash) {
    DecoderArea &d = Decoder(ch);
    const int32_t dirLen = TextLength(ch.AttachDir);
    const char last = dirLen > 0 ? ch.AttachDir[dirLen - 1] : '/';
    const int32_t sepLen = (last == '/' || last == '\\') ? 0 : 1; // an empty directory: the name alone
    // A name longer than the path has room for is shortened while a useful part of it can
    // stay; otherwise the path is refused as it always was.
    const int32_t room = kAttachPathMax - 1 - dirLen - sepLen;
    int32_t limit = room < kNameMax ? room : kNameMax;
    if (TextLength(name) > room && room < kShortestName) {
        FormatText(path, kAttachPathMax, "%s%s%s", ch.AttachDir, sepLen ? "/" : "", name);
        LogFormat(ch, "[Cannot open '%s']\r\n", path);
        return 0;
    }
    if (limit < 1) return 0;
    char candidate[kNameMax + 1];
    for (int32_t k = 1; k <= kDistinctTries + 1; ++k) {
        if (FitName(name, k, limit, candidate) == 0) return 0;
        const uint64_t h = NameHash(candidate);
        if (NameTaken(d, h) || (ch.FileHandle > 0 && h == d.OpenNameHash)) continue;
        FormatText(path, kAttachPathMax, "%s%s%s", ch.AttachDir, sepLen ? "/" : "", candidate);
        LogFormat(ch, "[Creating '%s']\r\n", path);
        const int32_t fh = FileCreateNew(path);
        if (fh > 0) {
            *hash = h;
            return fh;
        }
        LogFormat(ch, "[Cannot open '%s']\r\n", path);
        if (fh != -2) return 0; // -2: the name is taken on disk: the next one
    }
    return 0;
}

} // namespace

void ForgetOpenName(Channel &ch) { Decoder(ch).OpenNameHash = 0; }

void KeepOpenName(Channel &ch) {
    DecoderArea &d = Decoder(ch);
    if (d.OpenNameHash != 0) TakeName(d, d.OpenNameHash);
    d.OpenNameHash = 0;
}

int32_t CloseEmbeddedMessage(Channel &ch) {
    DecoderArea &d = Decoder(ch);
    if (!d.EmlCapturing) return 0;
    if (d.EmlHandle <= 0) OpenEmbedded(ch); // ended inside its headers
    d.EmlCapturing = 0;
    d.EmlHeaders = 0;
    if (d.EmlHandle <= 0) return 0;
    FlushEmbedded(ch);
    FileClose(d.EmlHandle);
    d.EmlHandle = 0;
    d.EmlFill = 0;
    RecordSavedFile(ch, d.EmlPath);
    return 1;
}

int32_t UnfoldHeader(Channel &ch, char *line, char) {
    const int32_t size = RoomFor(ch, line);
    if (size < 3) return 0;
    int32_t len = TextLength(line);
    if (len > size - 1) len = size - 1;
    while (len > 2 && IsTrailingSpace(line[len - 1])) --len;
    if (len > size - 3) len = size - 3;
    EndLine(line, len);
    return 0;
}

int32_t DecodeEncodedWords(Channel &ch, char *line) {
    const int32_t size = RoomFor(ch, line);
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
        const int32_t n = CopyText(Decoder(ch).Scratch, line, kBufferSize - 1);
        const int32_t room = size < n + 1 ? size : n + 1;
        QpDecodeLine(Decoder(ch).Scratch, line, room); // never longer than the text it decodes
    }
    return found;
}

// File names on this platform are UTF-8. A name decoded from ISO-8859-1 words is converted
// from that charset; a raw 8-bit name is kept when it is UTF-8 already and read as
// ISO-8859-1 otherwise (the charset of old mailers that wrote 8-bit names unencoded).
// Code 74 keeps the bytes as the message has them.
namespace {
// A NUL decoded inside a name (%00, =00, a B-form word) ends nothing: it becomes '_', so
// "evil.exe%00.pdf" keeps the extension it shows.
void NulsShown(char *name, int32_t len) {
    if (len < 0) len = 0;
    if (len > kBufferSize - 1) len = kBufferSize - 1;
    for (int32_t i = 0; i < len; ++i)
        if (name[i] == 0) name[i] = '_';
    name[len] = 0;
}

void NameInUtf8(const Channel &ch, char *name, bool latin1Words) {
    if (ch.EightBitNames) return;
    const int32_t n = TextLength(name);
    bool eightBit = false;
    for (int32_t i = 0; i < n && !eightBit; ++i) eightBit = static_cast<uint8_t>(name[i]) >= 0x80;
    if (!eightBit || (!latin1Words && IsValidUtf8(name, n))) return;
    char converted[kBufferSize];
    ConvertToUtf8("ISO-8859-1", name, n, converted, sizeof converted);
    CopyText(name, converted, kBufferSize - 1);
}
} // namespace

namespace {
// The length of a control or bidirectional formatting character at p in a UTF-8 name
// (C1 controls U+0080 to U+009F, the embeddings and overrides U+202A to U+202E, the
// isolates U+2066 to U+2069, the marks U+200E, U+200F and U+061C), else 0. A name shown
// with such a character can pass for another (an ".exe" shown as ".pdf").
int32_t HiddenControl(const uint8_t *p) {
    if (p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) return 2;
    if (p[0] == 0xD8 && p[1] == 0x9C) return 2;
    if (p[0] == 0xE2 && p[1] == 0x80 && ((p[2] >= 0xAA && p[2] <= 0xAE) || p[2] == 0x8E || p[2] == 0x8F)) return 3;
    if (p[0] == 0xE2 && p[1] == 0x81 && p[2] >= 0xA6 && p[2] <= 0xA9) return 3;
    return 0;
}
} // namespace

void StoreFileName(Channel &ch, const char *name) {
    const char *part = name;
    for (const char *p = name; *p != 0; ++p)
        if (*p == '/' || *p == '\\' || *p == ':') part = p + 1;
    if (part[0] == 0 || std::strcmp(part, ".") == 0 || std::strcmp(part, "..") == 0) part = kUnnamed;
    // Not UTF-8 (8-bit names kept as they came): the bytes 0x80 to 0x9F are the C1 controls.
    const bool utf8 = IsValidUtf8(part, TextLength(part));
    char clean[kBufferSize];
    int32_t n = 0;
    for (const char *p = part; *p != 0 && n < kBufferSize - 1;) {
        const auto c = static_cast<uint8_t>(*p);
        const int32_t hidden = utf8 ? HiddenControl(reinterpret_cast<const uint8_t *>(p)) : (c >= 0x80 && c <= 0x9F);
        if (c < 0x20 || c == 0x7F || hidden > 0) {
            clean[n++] = '_';
            p += hidden > 0 ? hidden : 1;
            continue;
        }
        clean[n++] = static_cast<char>(c);
        ++p;
    }
    clean[n] = 0;
    // A dot file is hidden and may be read by a shell; a leading dash reads as an option.
    if (clean[0] == '.' || clean[0] == '-') clean[0] = '_';
    n = FitName(clean, 1, kNameMax, ch.Filename);
    if (n == 0) CopyInto(ch.Filename, kUnnamed);
}

int32_t FindFileName(Channel &ch, char *line) {
    UnfoldHeader(ch, line, ';');
    if (TextLength(line) < kParamsFrom) return 0;
    char name[kBufferSize];
    // RFC 2231: filename*=charset'language'text and its continuations, then name*.
    if (FindTextNoCase(line + kParamsFrom, "name*") != nullptr) {
        char raw[kBufferSize];
        char charset[64];
        int32_t n = HeaderParam(line, "filename", raw, sizeof raw, charset, sizeof charset);
        if (n < 0) n = HeaderParam(line, "name", raw, sizeof raw, charset, sizeof charset);
        if (n >= 0) {
            int32_t len = 0;
            if (charset[0] != 0 && !(SameTextNoCase(charset, "us-ascii", 9) && !ch.Utf8Names))
                len = ConvertToUtf8(charset, raw, n, name, sizeof name);
            else if (HasForeignEncodedWord(raw) || (ch.Utf8Names && FindTextNoCase(raw, "=?") != nullptr))
                len = DecodeWordsUtf8(raw, n, name, sizeof name, nullptr);
            else if (ch.Utf8Names)
                len = ConvertToUtf8("UTF-8", raw, n, name, sizeof name);
            else {
                len = n < kBufferSize - 1 ? n : kBufferSize - 1;
                CopyCounted(name, raw, len);
            }
            NulsShown(name, len);
            NameInUtf8(ch, name, false);
            StoreFileName(ch, name);
            LogFormat(ch, "[Filename='%s']\r\n", ch.Filename);
            return 1;
        }
    }
    char form = 0;
    const bool modern = ch.Utf8Names || HasForeignEncodedWord(line + kParamsFrom);
    if (!modern) {
        if (FindEncodedWord(line + kParamsFrom, 'Q', nullptr) != nullptr)
            form = 'Q';
        else if (FindEncodedWord(line + kParamsFrom, 'B', nullptr) != nullptr)
            form = 'B';
    }
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
        // A quoted '"' (backslash, quote) does not close the string (RFC 5322 quoted-pair);
        // other backslashes stay, as in the Windows paths of old mailers.
        end = quote + 1;
        while (*end != 0 && !(*end == '"' && end > quote + 1 && end[-1] != '\\')) ++end;
        if (*end == 0) end = nullptr;
        start = quote + 1;
    } else {
        if (start[0] == 0) return 0;
        end = FindChar(start + 1, '\r');
    }
    if (end == nullptr) return 0;
    // The name is decoded first and cut to its last path component afterwards, so that
    // neither a '/' of the base64 alphabet nor a decoded separator can go unnoticed.
    char raw[kBufferSize];
    int32_t rawLen = 0;
    for (const char *p = start; p < end && rawLen < kBufferSize - 1; ++p) {
        if (quote != nullptr && p[0] == '\\' && p + 1 < end && p[1] == '"') ++p;
        raw[rawLen++] = *p;
    }
    raw[rawLen] = 0;
    int32_t len = 0;
    if (modern) {
        if (FindTextNoCase(raw, "=?") != nullptr)
            len = DecodeWordsUtf8(raw, rawLen, name, sizeof name, nullptr);
        else
            len = ConvertToUtf8("UTF-8", raw, rawLen, name, sizeof name);
    } else if (form == 'Q') {
        len = QpDecodeLine(raw, name, kBufferSize);
    } else if (form == 'B') {
        len = Base64DecodeLine(raw, rawLen, reinterpret_cast<uint8_t *>(name));
    } else {
        len = CopyText(name, raw, kBufferSize - 1);
    }
    NulsShown(name, len);
    if (!modern) NameInUtf8(ch, name, form != 0);
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
    char name[kNameMax + 24];
    if (ch.NumberedNames != 0)
        FormatText(name, sizeof name, "%d-%s", WrapAdd(ch.AttachNumber, 1), ch.Filename);
    else
        CopyInto(name, ch.Filename);
    if (ch.FileHandle > 0) DropAttachmentFile(ch); // closed without being recorded
    ch.FileHandle = 0;
    DecoderArea &d = Decoder(ch);
    uint64_t hash = 0;
    const int32_t h = CreateDistinct(ch, name, ch.AttachPath, &hash);
    if (h <= 0) return 0;
    d.OpenNameHash = hash; // taken for this message once the file is recorded
    d.AttHandle = h;
    d.AttFill = 0;
    d.PendingLineEnd = 0;
    ch.FileHandle = h;
    return 1;
}

void ResetDecoder(Channel &ch) {
    ch.BoundaryLen = 0;
    ch.MimeEncoding = 0;
    ch.AttachSaved = 0;
    ch.BlankSeen = 0;
    std::memset(ch.SavedList, 0, 1024);
    DecoderArea &d = Decoder(ch);
    d.HeldLen = 0;
    d.Depth = 2;
    d.PartLevel = -1;
    d.EmlPending = 0;
    d.EmlCapturing = 0;
    d.EmlHeaders = 0;
    d.EmlFill = 0;
    if (d.EmlHandle > 0) FileClose(d.EmlHandle);
    d.EmlHandle = 0;
    d.NameCount = 0;
    d.OpenNameHash = 0;
}

int32_t MimeLineHandler(Channel &ch) {
    ch.ReplyBuffer[kBufferSize - 1] = 0; // whatever arrived, the line ends inside the buffer
    return HandleLine(ch, ch.ReplyBuffer, TextLength(ch.ReplyBuffer));
}

int32_t FeedDecoderLine(Channel &ch, const char *line, int32_t n, int32_t next) {
    if (n <= 0) return Status(ch);
    DecoderArea &d = Decoder(ch);
    char *buf = ch.ReplyBuffer;
    if (line != buf) {
        if (n > kBufferSize - 3) n = kBufferSize - 3;
        std::memmove(buf, line, static_cast<size_t>(n));
    }
    if (n > kBufferSize - 3) n = kBufferSize - 3;
    buf[n] = 0;
    // An attached message saved whole takes its lines as they came.
    if (d.EmlCapturing) CaptureEmbeddedLine(ch, buf, n);
    if (d.HeldLen > 0) {
        if (IsContinuation(buf[0]) && JoinHeld(d, buf, n)) {
            if (next != kNextUnknown && !IsContinuation(next)) ProcessHeld(ch);
            return Status(ch);
        }
        ProcessHeld(ch);
    }
    if (Unfolds(ch, buf) && (next == kNextUnknown || IsContinuation(next))) {
        // Kept back: the next line tells whether this one goes on.
        std::memcpy(d.Held, buf, static_cast<size_t>(n) + 1);
        d.HeldLen = n;
        return Status(ch);
    }
    ProcessLine(ch, buf, n);
    return Status(ch);
}

void FinishDecoder(Channel &ch) { ProcessHeld(ch); }

int32_t DecodeMessageFile(Channel &ch, const char *path) {
    const int32_t h = FileOpenRead(path);
    if (h <= 0) return ZEM_ERR_CANNOT_OPEN_FILE;
    // The file is read in blocks through the decoder's own write block of the attached
    // message (unused until a message/rfc822 part is met, so the reading half is spare).
    static thread_local char block[kWriteBlock];
    int32_t have = 0;
    int32_t at = 0;
    bool eof = false;
    int32_t r = 0;
    while (r == 0) {
        if (!eof && have - at < 1100) {
            std::memmove(block, block + at, static_cast<size_t>(have - at));
            have -= at;
            at = 0;
            const int32_t k = FileRead(h, block + have, kWriteBlock - have);
            if (k <= 0) eof = true;
            else have += k;
        }
        if (at >= have) break;
        // A line of at most 1,021 bytes plus CR LF, as the line reader hands them over.
        char *line = ch.ReplyBuffer;
        const int32_t span = have - at < 1021 ? have - at : 1021;
        const void *lf = std::memchr(block + at, '\n', static_cast<size_t>(span));
        int32_t n = lf != nullptr ? static_cast<int32_t>(static_cast<const char *>(lf) - (block + at)) : span;
        std::memcpy(line, block + at, static_cast<size_t>(n));
        at += n;
        if (lf != nullptr) {
            ++at;
            if (n == 0 || line[n - 1] != '\r') line[n++] = '\r';
            line[n++] = '\n';
        }
        const int32_t next = at < have ? static_cast<uint8_t>(block[at]) : (eof ? 'X' : kNextUnknown);
        r = FeedDecoderLine(ch, line, n, next);
    }
    FileClose(h);
    FinishDecoder(ch);
    CloseAttachmentFile(ch);
    return ch.WriteFailed ? ZEM_ERR_CANNOT_CREATE_FILE : r;
}

int32_t DecodeFileOnChannel(Channel &ch, const char *message, const char *messagePath, const char *attachDir) {
    CopyText(ch.AttachDir, attachDir, 128);
    std::memset(ch.SavedList, 0, 1024);
    ch.TextBytes = 0;
    ch.AttachBytes = 0;
    ch.WriteFailed = 0;
    ResetDecoder(ch);
    ch.DecodeState = kHeaders;
    const int32_t h = FileReplace(messagePath, false);
    if (h <= 0) return ZEM_ERR_CANNOT_CREATE_FILE;
    StartMessageFile(ch, h);
    const int32_t r = DecodeMessageFile(ch, message);
    CloseAttachmentFile(ch);
    CloseMessageFile(ch);
    return ch.WriteFailed ? ZEM_ERR_CANNOT_CREATE_FILE : r;
}

} // namespace zem
