// The composer's states: one header line (or a few that belong together) per step, then
// the text part, then each attachment, every byte through the channel's sink. Nothing is
// assembled in memory beyond one line; the attachment files are read in large pieces.
#include "compose/composer.h"

#include <cstring>

#include "codec/codec.h"
#include "compose/date_line.h"
#include "compose/headers.h"
#include "compose/text_lines.h"
#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "text/charset.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

void CloseSendFile(Channel &ch) {
    if (ch.SendFile > 0) FileClose(ch.SendFile);
    ch.SendFile = 0;
}

int32_t FailCompose(Channel &ch, int32_t sockCode, int32_t zemCode) {
    CloseSendFile(ch);
    return DriverError(ch, sockCode, zemCode);
}

bool Multipart(const Channel &ch) { return ch.AttachList != nullptr || ch.BodyType != 0; }

namespace {

constexpr const char *kMailerLine = "X-Mailer: Corvantis Quorvel Version 3.4";
constexpr const char *kMimeVersionLine = "MIME-Version: 1.0";
constexpr const char *kMixedType = "Content-Type: multipart/mixed; boundary=";
constexpr const char *kRelatedType = "Content-Type: multipart/related; boundary=";
constexpr const char *kQuotedPrintableLine = "Content-Transfer-Encoding: quoted-printable";
constexpr char kQuote = '"';
constexpr int32_t kLineRoom = kBufferSize - 3; // PutLine appends CR LF and a NUL

bool Given(const char *text) { return text != nullptr && text[0] != 0; }

int32_t Put(Channel &ch, const char *bytes, int32_t n) { return ch.ComposeOut(ch, bytes, n); }

// CmdBuffer as one line: CR LF appended in place for the write, taken off after it.
int32_t PutLine(Channel &ch) {
    const size_t n = std::strlen(ch.CmdBuffer);
    ch.CmdBuffer[n] = '\r';
    ch.CmdBuffer[n + 1] = '\n';
    ch.CmdBuffer[n + 2] = 0;
    const int32_t r = Put(ch, ch.CmdBuffer, static_cast<int32_t>(n + 2));
    ch.CmdBuffer[n] = 0;
    return r < 0 ? FailCompose(ch, r, ZEM_ERR_WRITE) : kStepOn;
}

int32_t Finish(Channel &ch, HeaderWriter &w) {
    const int32_t r = w.Result(); // writes what the step collected
    return r < 0 ? FailCompose(ch, r, ZEM_ERR_WRITE) : kStepOn;
}

// ---- Header lines: each state sends its line and moves on to the next that applies -----

// A plain text with a text charset and no attachment: one MIME part, no multipart.
bool SinglePartMime(const Channel &ch) { return !Multipart(ch) && UsesTextCharset(ch); }
int32_t AfterCc(const Channel &ch) { return Multipart(ch) ? 229 : (SinglePartMime(ch) ? 246 : 233); }
int32_t AfterSubject(const Channel &ch) { return ch.CcList != nullptr ? 228 : AfterCc(ch); }
int32_t AfterReplyTo(const Channel &ch) { return Given(ch.Subject) ? 227 : AfterSubject(ch); }
int32_t AfterFrom(const Channel &ch) { return ch.ReplyToAddress[0] != 0 ? 226 : AfterReplyTo(ch); }
int32_t AfterTo(const Channel &ch) { return ch.FromAddress[0] != 0 ? 225 : AfterFrom(ch); }

int32_t SendMessageId(Channel &ch, Tick) { // 220
    FormatMessageId(ch, ch.CmdBuffer, kLineRoom);
    if (int32_t r = PutLine(ch)) return r;
    ch.NextState = 221;
    return kStepOn;
}

int32_t SendMailer(Channel &ch, Tick) { // 221
    CopyInto(ch.CmdBuffer, kMailerLine);
    if (int32_t r = PutLine(ch)) return r;
    ch.NextState = 223;
    return kStepOn;
}

int32_t SendDate(Channel &ch, Tick) { // 223
    FormatDateLine(ch.CmdBuffer, kLineRoom);
    if (int32_t r = PutLine(ch)) return r;
    ch.NextState = 224;
    return kStepOn;
}

int32_t SendTo(Channel &ch, Tick now) { // 224
    if (gSettings.omitTo.load(std::memory_order_relaxed) == 0) {
        HeaderWriter w(ch);
        w.Text("To: ").AddressList(ch.ToList, RecipientSeparator()).EndLine();
        if (int32_t r = Finish(ch, w)) return r;
        ArmStepPause(ch, now);
    }
    ch.NextState = AfterTo(ch);
    return kStepOn;
}

// One header line of a name and one caller value, then the state after it.
int32_t SendValueHeader(Channel &ch, const char *name, const char *value, HeaderWriter::LineEnds ends, int32_t next) {
    HeaderWriter w(ch);
    w.Text(name).Text(value, ends).EndLine();
    if (int32_t r = Finish(ch, w)) return r;
    ch.NextState = next;
    return kStepOn;
}

// A header line of one address (From, Reply-To): as given when ASCII, else as UTF-8 with
// its display name encoded.
int32_t SendAddressHeader(Channel &ch, const char *name, const char *value, int32_t next) {
    const int32_t n = TextLength(value);
    if (IsAsciiText(value, n)) return SendValueHeader(ch, name, value, HeaderWriter::kAsSpace, next);
    char utf8[4 * 130];
    ToUtf8(ch.Out.InputCharset, value, n, utf8, sizeof utf8);
    for (char *p = utf8; *p; ++p)
        if (*p == '\r' || *p == '\n') *p = ' ';
    HeaderWriter w(ch);
    w.Text(name).AddressList(utf8, 0).EndLine();
    if (int32_t r = Finish(ch, w)) return r;
    ch.NextState = next;
    return kStepOn;
}

int32_t SendFrom(Channel &ch, Tick) { // 225
    // State 204 refused a sender with a line end; this holds if it changed since.
    return SendAddressHeader(ch, "From: ", ch.FromAddress, AfterFrom(ch));
}

int32_t SendReplyTo(Channel &ch, Tick) { // 226
    return SendAddressHeader(ch, "Reply-To: ", ch.ReplyToAddress, AfterReplyTo(ch));
}

// The extra header lines, each "Name: value" with a non-ASCII value encoded; CR LF, CR
// and LF each end a line, empty lines are dropped.
void WriteExtraHeaders(Channel &ch, HeaderWriter &w) {
    const char *t = ch.ExtraHeaders;
    if (IsAsciiText(t, TextLength(t))) {
        w.Text(t, HeaderWriter::kAsLines);
        if (w.LineOpen()) w.EndLine();
        return;
    }
    for (const char *p = t; *p;) {
        const char *end = p;
        while (*end && *end != '\r' && *end != '\n') ++end;
        if (end > p) {
            char line[kBufferSize];
            ToUtf8(ch.Out.InputCharset, p, static_cast<int32_t>(end - p), line, sizeof line);
            char *colon = FindChar(line, ':');
            if (colon == nullptr || IsAsciiText(line, TextLength(line))) {
                w.Text(line);
            } else {
                char *value = colon + 1;
                while (*value == ' ' || *value == '\t') ++value;
                const char keep = *value;
                *value = 0;
                w.Text(line); // the name, its colon and the white space after it
                *value = keep;
                w.Unstructured(value);
            }
            w.EndLine();
        }
        p = *end ? end + 1 : end;
    }
}

int32_t SendSubject(Channel &ch, Tick) { // 227
    HeaderWriter w(ch);
    w.Text("Subject: ").Unstructured(ch.Subject).EndLine().Send(); // its own send
    // The extra header lines go with the subject only.
    if (Given(ch.ExtraHeaders)) WriteExtraHeaders(ch, w);
    if (int32_t r = Finish(ch, w)) return r;
    ch.NextState = AfterSubject(ch);
    return kStepOn;
}

int32_t SendCc(Channel &ch, Tick) { // 228
    HeaderWriter w(ch);
    w.Text("CC: ").AddressList(ch.CcList, RecipientSeparator()).EndLine();
    if (int32_t r = Finish(ch, w)) return r;
    ch.NextState = AfterCc(ch);
    return kStepOn;
}

int32_t SendMimeVersion(Channel &ch, Tick) { // 229
    CopyInto(ch.CmdBuffer, kMimeVersionLine);
    if (int32_t r = PutLine(ch)) return r;
    ch.NextState = 230;
    return kStepOn;
}

int32_t SendTopContentType(Channel &ch, Tick) { // 230
    FormatText(ch.CmdBuffer, kLineRoom, "%s%c%s%c", ch.BodyType == 2 ? kRelatedType : kMixedType, kQuote,
               gBoundaryTemplate, kQuote);
    if (int32_t r = PutLine(ch)) return r;
    ch.NextState = 233;
    return kStepOn;
}

// "Content-Type: text/plain; charset=NAME" and the like, for the charset-labelled types.
void WriteLabelledType(Channel &ch, HeaderWriter &w, const char *type) {
    w.Text(type).Text("; charset=").Text(ch.Out.TextCharset).EndLine();
}

int32_t SendSinglePartHeader(Channel &ch, Tick) { // 246
    HeaderWriter w(ch);
    w.Text(kMimeVersionLine).EndLine();
    WriteLabelledType(ch, w, "Content-Type: text/plain");
    w.Text(kQuotedPrintableLine).EndLine();
    if (int32_t r = Finish(ch, w)) return r;
    ch.NextState = 233;
    return kStepOn;
}

int32_t EndHeader(Channel &ch, Tick) { // 233
    int32_t r = Put(ch, "\r\n", 2);
    if (r < 0) return FailCompose(ch, r, ZEM_ERR_WRITE);
    ch.NextState = Multipart(ch) ? 234 : 238;
    return kStepOn;
}

// ---- The text part -----------------------------------------------------------------------

int32_t SendFirstBoundary(Channel &ch, Tick) { // 234
    FormatText(ch.CmdBuffer, kLineRoom, "--%s", gBoundaryTemplate);
    if (int32_t r = PutLine(ch)) return r;
    ch.NextState = 235;
    return kStepOn;
}

// BodyType 1, 3, 4 and 9 declare quoted-printable (or the custom encoding) in a line of
// their own; the others end their part header with the Content-Type line.
bool DeclaresEncoding(int32_t bodyType) { return bodyType == 1 || bodyType == 3 || bodyType == 4 || bodyType == 9; }

int32_t SendTextPartType(Channel &ch, Tick) { // 235
    char custom[kCustomTypeMax + 1];
    const char *line = "Content-Type: text/plain";
    switch (ch.BodyType) {
    case 2: line = "Content-Type: text/html"; break;
    case 3: line = "Content-Type: text/enriched"; break;
    case 4: line = "Content-Type: text/plain; charset=iso-8859-1"; break;
    case 9:
        GetCustomContentType(custom);
        line = custom;
        break;
    default: break;
    }
    // HTML and every text with a text charset go out in strict quoted-printable, and say so.
    const bool encodingLine = DeclaresEncoding(ch.BodyType) || StrictQuotedPrintable(ch);
    HeaderWriter w(ch);
    if (UsesTextCharset(ch))
        WriteLabelledType(ch, w, line);
    else
        w.Text(line, HeaderWriter::kAsLines).EndLine();
    if (!encodingLine) w.EndLine();
    if (int32_t r = Finish(ch, w)) return r;
    ch.NextState = encodingLine ? 236 : 238;
    return kStepOn;
}

int32_t SendTextPartEncoding(Channel &ch, Tick) { // 236
    char custom[kCustomEncodingMax + 1];
    GetCustomTransferEncoding(custom);
    // A custom line that filled its whole 128 characters may have been cut: not used.
    const int32_t n = TextLength(custom);
    const char *line = (n > 0 && n < kCustomEncodingMax) ? custom : kQuotedPrintableLine;
    if (!DeclaresEncoding(ch.BodyType)) line = kQuotedPrintableLine; // the strict kinds: fixed
    HeaderWriter w(ch);
    w.Text(line, HeaderWriter::kAsLines).EndLine().EndLine();
    if (int32_t r = Finish(ch, w)) return r;
    ch.NextState = 238;
    return kStepOn;
}

int32_t ChooseTextSource(Channel &ch, Tick) { // 238
    ResetTextReader(ch);
    ch.NextState = (ch.TextCursor != nullptr && ch.TextCursor[0] == '@') ? 244 : 240;
    return kStepOn;
}

int32_t AfterText(const Channel &ch) { return ch.AttachList != nullptr ? 260 : ch.ComposeEndState; }

int32_t StartTextFromMemory(Channel &ch, Tick) { // 240
    ch.TextInMemory = 1;
    ch.PendingChar = 0;
    ch.NextState = 241;
    return kStepOn;
}

// Builds and sends one text line; -1 from the builder means the text has ended.
int32_t SendTextLine(Channel &ch, bool *ended) {
    int32_t n = BuildTextLine(ch);
    *ended = n < 0;
    if (n < 0) return kStepOn;
    ch.TextBytesSent += n + 2;
    return PutLine(ch);
}

int32_t SendTextFromMemory(Channel &ch, Tick now) { // 241
    bool ended = false;
    if (int32_t r = SendTextLine(ch, &ended)) return r;
    if (ended) {
        ch.NextState = AfterText(ch);
        return kStepOn;
    }
    ArmDataPacing(ch, now);
    return kStepOn;
}

int32_t OpenTextFile(Channel &ch, Tick) { // 244
    const char *path = ch.TextCursor + 1;
    ch.TextInMemory = 0;
    ch.PendingChar = 0;
    LogFormat(ch, "Opening message file [%s]\r\n", path);
    CloseSendFile(ch);
    int32_t h = FileOpenRead(path);
    if (h <= 0) return DriverError(ch, 0, ZEM_ERR_CANNOT_OPEN_FILE);
    ch.SendFile = h;
    ch.NextState = 245;
    return kStepOn;
}

int32_t SendTextFromFile(Channel &ch, Tick now) { // 245
    bool ended = false;
    if (int32_t r = SendTextLine(ch, &ended)) return r;
    if (ended) {
        CloseSendFile(ch);
        ch.NextState = AfterText(ch);
        return kStepOn;
    }
    ch.WakeTick = After(now, P(gSettings.dataLinePause));
    ch.DeadlineTick = After(now, P(gSettings.replyTimeout));
    ch.WaitWritable = 1;
    return kStepOn;
}

// ---- Attachments -------------------------------------------------------------------------

int32_t SendAttachmentBoundary(Channel &ch, Tick) { // 260
    // One empty line before the delimiter: the text and every attachment end in CR LF.
    FormatText(ch.CmdBuffer, kLineRoom, "\r\n--%s", gBoundaryTemplate);
    if (int32_t r = PutLine(ch)) return r;
    ch.NextState = 261;
    return kStepOn;
}

// The shown name of the current attachment as UTF-8.
const char *ShownNameUtf8(Channel &ch, char (&buf)[kBufferSize]) {
    const char *name = ShownAttachmentName(ch.AttachList);
    if (!NeedsUtf8Conversion(ch.Out.InputCharset, name, TextLength(name))) return name;
    ToUtf8(ch.Out.InputCharset, name, TextLength(name), buf, sizeof buf);
    return buf;
}

// " name=..." of a Content-Type line: quoted as given when ASCII, else on a line of its
// own as encoded words for readers that know no RFC 2231.
void WriteNameParameter(HeaderWriter &w, const char *name) {
    if (IsAsciiText(name, TextLength(name))) {
        w.Text(" ");
    } else {
        w.Fold();
    }
    w.NameParameter("name", name);
}

int32_t SendAttachmentType(Channel &ch, Tick) { // 261
    char *sep = FindChar(ch.AttachList, AttachSeparator());
    if (sep != nullptr) {
        *sep = 0;
        ch.AttachCursor = sep + 1;
    } else {
        ch.AttachCursor = ch.AttachList + std::strlen(ch.AttachList);
    }
    char utf8[kBufferSize];
    const char *name = ShownNameUtf8(ch, utf8);
    const char *image = ch.InlineImages ? InlineImageType(name) : nullptr;
    HeaderWriter w(ch);
    if (image != nullptr) {
        ++ch.ContentIdCount;
        char idLine[48];
        FormatText(idLine, sizeof idLine, "Content-ID: <message-root.%1d>", ch.ContentIdCount);
        w.Text("Content-Type: ").Text(image).Text(";");
        WriteNameParameter(w, name);
        w.EndLine();
        w.Text(idLine).EndLine();
        ch.InlinePart = 1;
    } else {
        w.Text("Content-Type: application/octet-stream;");
        WriteNameParameter(w, name);
        w.EndLine();
        ch.InlinePart = 0;
    }
    if (int32_t r = Finish(ch, w)) return r;
    ch.NextState = 262;
    return kStepOn;
}

int32_t SendAttachmentEncoding(Channel &ch, Tick) { // 262
    CopyInto(ch.CmdBuffer, "Content-Transfer-Encoding: base64");
    if (int32_t r = PutLine(ch)) return r;
    ch.NextState = 263;
    return kStepOn;
}

int32_t SendAttachmentDisposition(Channel &ch, Tick now) { // 263
    char utf8[kBufferSize];
    const char *name = ShownNameUtf8(ch, utf8);
    HeaderWriter w(ch);
    w.Text(ch.InlinePart ? "Content-Disposition: inline;" : "Content-Disposition: attachment;");
    if (IsAsciiText(name, TextLength(name))) w.Text(" ");
    w.ExtendedParameter("filename", name).EndLine().EndLine();
    if (int32_t r = Finish(ch, w)) return r;
    ch.WakeTick = now;
    ch.NextState = 264;
    return kStepOn;
}

int32_t OpenAttachment(Channel &ch, Tick) { // 264
    // The path is the item up to its display-name separator; cut there only while opening.
    char *bar = FindChar(ch.AttachList, DisplaySeparator());
    if (bar != nullptr) *bar = 0;
    LogFormat(ch, "Opening attachment [%s]\r\n", ch.AttachList);
    CloseSendFile(ch);
    int32_t h = FileOpenRead(ch.AttachList);
    if (bar != nullptr) *bar = DisplaySeparator();
    if (h <= 0) return DriverError(ch, 0, ZEM_ERR_CANNOT_OPEN_FILE);
    ch.SendFile = h;
    ch.FileBufPos = ch.FileBufEnd = 0;
    ch.WaitWritable = 1;
    ch.NextState = 265;
    return kStepOn;
}

// Up to one line's worth of file bytes; short reads are topped up so every line but the
// last of a file encodes exactly 57 bytes. The file is read in large pieces into the
// read-ahead behind the output buffer (one line's worth at a time without it).
int32_t ReadAttachmentPiece(Channel &ch, uint8_t (&piece)[kBase64LineBytes]) {
    char *ahead = HaveOutputBuffer(ch) ? ch.OutBuffer + kOutSize : nullptr;
    int32_t n = 0;
    while (n < kBase64LineBytes) {
        if (ahead != nullptr && ch.FileBufPos < ch.FileBufEnd) {
            int32_t k = ch.FileBufEnd - ch.FileBufPos;
            if (k > kBase64LineBytes - n) k = kBase64LineBytes - n;
            std::memcpy(piece + n, ahead + ch.FileBufPos, static_cast<size_t>(k));
            ch.FileBufPos += k;
            n += k;
            continue;
        }
        int32_t r = ahead != nullptr ? FileRead(ch.SendFile, ahead, kFileReadSize)
                                     : FileRead(ch.SendFile, piece + n, kBase64LineBytes - n);
        if (r <= 0) break; // the end of the file, or a read error, ends the attachment
        if (ahead != nullptr) {
            ch.FileBufPos = 0;
            ch.FileBufEnd = r;
        } else {
            n += r;
        }
    }
    return n;
}

int32_t SendAttachmentLine(Channel &ch, Tick now) { // 265
    uint8_t piece[kBase64LineBytes];
    int32_t n = ReadAttachmentPiece(ch, piece);
    if (n <= 0) {
        CloseSendFile(ch);
        if (ch.AttachCursor != nullptr && ch.AttachCursor[0] != 0) {
            ch.AttachList = ch.AttachCursor;
            ch.NextState = 260;
        } else {
            ch.NextState = ch.ComposeEndState;
        }
        return kStepOn;
    }
    ch.AttachBytes += n;
    int32_t k = Base64EncodeLine(piece, n, ch.CmdBuffer); // with its CR LF
    ch.AttachBytesSent += k + 2;
    int32_t r = Put(ch, ch.CmdBuffer, k + 2);
    if (r < 0) return FailCompose(ch, r, ZEM_ERR_WRITE);
    ArmDataPacing(ch, now);
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {220, SendMessageId},          {221, SendMailer},
    {223, SendDate},               {224, SendTo},
    {225, SendFrom},               {226, SendReplyTo},
    {227, SendSubject},            {228, SendCc},
    {229, SendMimeVersion},        {230, SendTopContentType},
    {233, EndHeader},              {234, SendFirstBoundary},
    {235, SendTextPartType},       {236, SendTextPartEncoding},
    {238, ChooseTextSource},       {240, StartTextFromMemory},
    {241, SendTextFromMemory},     {244, OpenTextFile},
    {245, SendTextFromFile},       {246, SendSinglePartHeader},
    {260, SendAttachmentBoundary}, {261, SendAttachmentType},
    {262, SendAttachmentEncoding}, {263, SendAttachmentDisposition},
    {264, OpenAttachment},         {265, SendAttachmentLine},
};

// A block of the given size in a slot, replacing what the slot held.
char *FreshBlock(int32_t chan, int32_t slot, int32_t size) {
    const int32_t id = chan * kSlotsPerChannel + slot;
    if (BlockIsAllocated(id) == 1) BlockFree(id);
    return static_cast<char *>(AllocateMemory(chan, slot, size));
}

} // namespace

const StateTable kComposeStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

int32_t PutClosingBoundary(Channel &ch) {
    if (!Multipart(ch)) return 0;
    FormatText(ch.CmdBuffer, kLineRoom, "--%s--\r\n", gBoundaryTemplate);
    return PutLine(ch);
}

char *CopyCallerText(Channel &ch, int32_t slot, const char *text) {
    const int32_t n = TextLength(text);
    if (!NeedsUtf8Conversion(ch.Out.InputCharset, text, n)) return AllocAndCopy(ch.ChannelNo, slot, text);
    const int32_t len = ToUtf8(ch.Out.InputCharset, text, n, nullptr, 0);
    char *copy = FreshBlock(ch.ChannelNo, slot, len + 2);
    if (copy != nullptr) ToUtf8(ch.Out.InputCharset, text, n, copy, len + 1);
    return copy;
}

int32_t CopyMessageText(Channel &ch, const char *message, char **out) {
    *out = nullptr;
    const int32_t n = TextLength(message);
    const char *to = ch.Out.TextCharset;
    const bool convert = UsesTextCharset(ch) && message[0] != '@' && !IsAsciiText(message, n) &&
                         !(IsUtf8Name(to) && !NeedsUtf8Conversion(ch.Out.InputCharset, message, n));
    if (!convert) {
        *out = AllocAndCopy(ch.ChannelNo, kSlotText, message);
        return *out == nullptr ? ZEM_ERR_NO_MEMORY : 0;
    }
    const int32_t len = ToCharset(to, ch.Out.InputCharset, message, n, nullptr, 0);
    if (len < 0) return ZEM_ERR_CHARSET;
    char *copy = FreshBlock(ch.ChannelNo, kSlotText, len + 2);
    if (copy == nullptr) return ZEM_ERR_NO_MEMORY;
    ToCharset(to, ch.Out.InputCharset, message, n, copy, len + 1);
    *out = copy;
    return 0;
}

} // namespace zem
