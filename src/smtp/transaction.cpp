// Sending a message: zemSendEmail and the states that carry it out. The SMTP transaction
// (MAIL FROM, one RCPT TO per recipient, DATA; RFC 5321 section 3.3), then the message
// composed while it is sent, one line per step: the header lines (RFC 5322), the MIME
// structure when one is needed (RFC 2045/2046), the text lines, each attachment in base64
// lines of 57 bytes, the end of data and the final reply. Nothing is assembled in memory.
#include <cstring>

#include "codec/codec.h"
#include "driver/replies.h"
#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "smtp/date_line.h"
#include "smtp/headers.h"
#include "smtp/message_file.h"
#include "smtp/session.h"
#include "smtp/text_lines.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

constexpr const char *kMessageIdLine = "Message-ID: <message-root>";
constexpr const char *kMailerLine = "X-Mailer: Corvantis Quorvel Version 3.4";
constexpr const char *kMimeVersionLine = "MIME-Version: 1.0";
constexpr const char *kMixedType = "Content-Type: multipart/mixed; boundary=";
constexpr const char *kRelatedType = "Content-Type: multipart/related; boundary=";
constexpr const char *kQuotedPrintableLine = "Content-Transfer-Encoding: quoted-printable";
constexpr char kQuote = '"';
constexpr int32_t kLineRoom = kBufferSize - 3; // SendLine appends CR LF and a NUL

bool Given(const char *text) { return text != nullptr && text[0] != 0; }

// Attachments or any text kind but plain make the message MIME multipart.
bool Multipart(const Channel &ch) { return ch.AttachList != nullptr || ch.BodyType != 0; }

// Closes the message file or attachment that a send has open.
void CloseSendFile(Channel &ch) {
    if (ch.FileHandle > 0) FileClose(ch.FileHandle);
    ch.FileHandle = 0;
}

// Failing part-way closes the open file first: nothing the send opened outlives it.
int32_t FailSend(Channel &ch, int32_t sockCode, int32_t zemCode) {
    CloseSendFile(ch);
    return DriverError(ch, sockCode, zemCode);
}

int32_t SendCmd(Channel &ch) {
    int32_t r = SendLine(ch, ch.CmdBuffer);
    return r < 0 ? FailSend(ch, r, ZEM_ERR_WRITE) : kStepOn;
}

int32_t Finish(Channel &ch, HeaderWriter &w) {
    const int32_t r = w.Result(); // sends what the step collected
    return r < 0 ? FailSend(ch, r, ZEM_ERR_WRITE) : kStepOn;
}

// Reads a reply once it has begun to arrive. A 4xx reply refuses the message as surely as
// a 5xx one (RFC 5321 section 4.2.1), so both fail the send: success must mean accepted.
// 1 when the reply was accepted, 0 while none is there, else the failure.
int32_t ReadAccepted(Channel &ch, int32_t waitMs) {
    if (!WaitReadable(ch, waitMs)) return 0;
    if (int32_t c = CheckSmtpReply(ch)) return FailSend(ch, 0, c);
    if (ch.ReplyCode >= 400) return FailSend(ch, 0, ZEM_ERR_SMTP);
    return 1;
}

// ---- The SMTP transaction --------------------------------------------------------------

int32_t SendMailFrom(Channel &ch, Tick now) { // 204
    if (ch.FromAddress[0] == 0) return DriverError(ch, 0, ZEM_ERR_MISSING_FROM);
    const char *lt = FindChar(ch.FromAddress, '<');
    if (lt == nullptr) return DriverError(ch, 0, ZEM_ERR_MISSING_LT);
    // The sender may have been set by a parameter after the connect checked it.
    if (HoldsLineEnd(ch.FromAddress)) return DriverError(ch, 0, ZEM_ERR_BAD_CHAR);
    FormatText(ch.CmdBuffer, kLineRoom, "MAIL FROM:%s", lt);
    if (int32_t r = SendCmd(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 205;
    return kStepOn;
}

int32_t CheckMailFromReply(Channel &ch, Tick) { // 205
    int32_t r = ReadAccepted(ch, 0);
    if (r <= 0) return r;
    ch.ListCursor = ch.ToList;
    ch.CcDone = ch.CcList == nullptr;
    ch.BccDone = ch.BccList == nullptr;
    ch.NextState = 206;
    return kStepOn;
}

int32_t TakeNextRecipient(Channel &ch, Tick now) { // 206
    char *lt = FindInFirstAddress(ch.ListCursor, '<');
    if (lt == nullptr) return DriverError(ch, 0, ZEM_ERR_EMPTY_ADDRESS);
    char *sep = FindChar(lt, RecipientSeparator());
    if (sep != nullptr) {
        *sep = 0; // put back once the reply is in, so the lists stay whole for the headers
        ch.SeparatorPos = sep;
        ch.ListCursor = sep + 1;
    } else {
        ch.SeparatorPos = nullptr;
        ch.ListCursor = lt + std::strlen(lt);
    }
    ch.Recipient = lt;
    ArmDeadline(ch, now);
    ch.WaitWritable = 1;
    ch.NextState = 207;
    return kStepOn;
}

int32_t SendRecipient(Channel &ch, Tick now) { // 207
    FormatText(ch.CmdBuffer, kLineRoom, "RCPT TO:%s", ch.Recipient);
    if (int32_t r = SendCmd(ch)) return r;
    ArmDeadline(ch, now);
    ch.NextState = 208;
    return kStepOn;
}

int32_t CheckRecipientReply(Channel &ch, Tick now) { // 208
    int32_t r = ReadAccepted(ch, 0);
    if (r <= 0) return r;
    CopyText(ch.LastRecipient, ch.Recipient, 32);
    if (ch.SeparatorPos != nullptr) *ch.SeparatorPos = RecipientSeparator();
    ch.SeparatorPos = nullptr;
    if (ch.ListCursor != nullptr && ch.ListCursor[0] != 0) {
        ch.NextState = 206;
    } else if (!ch.CcDone) {
        ch.ListCursor = ch.CcList;
        ch.CcDone = 1;
        ch.NextState = 206;
    } else if (!ch.BccDone) {
        ch.ListCursor = ch.BccList;
        ch.BccDone = 1;
        ch.NextState = 206;
    } else {
        ch.WakeTick = After(now, P(gSettings.stepDelay));
        ch.NextState = 209;
    }
    return kStepOn;
}

int32_t SendDataCommand(Channel &ch, Tick now) { // 209
    CopyInto(ch.CmdBuffer, "DATA");
    if (int32_t r = SendCmd(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 210;
    return kStepOn;
}

int32_t CheckDataReply(Channel &ch, Tick) { // 210
    int32_t r = ReadAccepted(ch, 0);
    if (r <= 0) return r;
    if (ch.SendsMessageFile) ch.NextState = kSendMessageFileState; // zemSendMessageFile
    else ch.NextState = ch.BodyType == 2 ? 220 : 221;
    return kStepOn;
}

// ---- Header lines: each state sends its line and moves on to the next that applies -----

int32_t AfterCc(const Channel &ch) { return Multipart(ch) ? 229 : 233; }
int32_t AfterSubject(const Channel &ch) { return ch.CcList != nullptr ? 228 : AfterCc(ch); }
int32_t AfterReplyTo(const Channel &ch) { return Given(ch.Subject) ? 227 : AfterSubject(ch); }
int32_t AfterFrom(const Channel &ch) { return ch.ReplyToAddress[0] != 0 ? 226 : AfterReplyTo(ch); }
int32_t AfterTo(const Channel &ch) { return ch.FromAddress[0] != 0 ? 225 : AfterFrom(ch); }

int32_t SendMessageId(Channel &ch, Tick) { // 220
    CopyInto(ch.CmdBuffer, kMessageIdLine);
    if (int32_t r = SendCmd(ch)) return r;
    ch.NextState = 221;
    return kStepOn;
}

int32_t SendMailer(Channel &ch, Tick) { // 221
    CopyInto(ch.CmdBuffer, kMailerLine);
    if (int32_t r = SendCmd(ch)) return r;
    ch.NextState = 223;
    return kStepOn;
}

int32_t SendDate(Channel &ch, Tick) { // 223
    FormatDateLine(ch.CmdBuffer, kLineRoom);
    if (int32_t r = SendCmd(ch)) return r;
    ch.NextState = 224;
    return kStepOn;
}

int32_t SendTo(Channel &ch, Tick now) { // 224
    if (gSettings.omitTo.load(std::memory_order_relaxed) == 0) {
        HeaderWriter w(ch);
        w.Text("To: ").Text(ch.ToList, HeaderWriter::kAsComma).EndLine();
        if (int32_t r = Finish(ch, w)) return r;
        ArmReplyWait(ch, now);
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

int32_t SendFrom(Channel &ch, Tick) { // 225
    // State 204 refused a sender with a line end; this holds if it changed since.
    return SendValueHeader(ch, "From: ", ch.FromAddress, HeaderWriter::kAsSpace, AfterFrom(ch));
}

int32_t SendReplyTo(Channel &ch, Tick) { // 226
    return SendValueHeader(ch, "Reply-To: ", ch.ReplyToAddress, HeaderWriter::kAsSpace, AfterReplyTo(ch));
}

int32_t SendSubject(Channel &ch, Tick) { // 227
    HeaderWriter w(ch);
    w.Text("Subject: ").Text(ch.Subject, HeaderWriter::kAsSpace).EndLine().Send(); // its own send
    // The extra header lines go with the subject only.
    if (Given(ch.ExtraHeaders)) {
        w.Text(ch.ExtraHeaders, HeaderWriter::kAsLines);
        if (w.LineOpen()) w.EndLine();
    }
    if (int32_t r = Finish(ch, w)) return r;
    ch.NextState = AfterSubject(ch);
    return kStepOn;
}

int32_t SendCc(Channel &ch, Tick) { // 228
    return SendValueHeader(ch, "CC: ", ch.CcList, HeaderWriter::kAsComma, AfterCc(ch));
}

int32_t SendMimeVersion(Channel &ch, Tick) { // 229
    CopyInto(ch.CmdBuffer, kMimeVersionLine);
    if (int32_t r = SendCmd(ch)) return r;
    ch.NextState = 230;
    return kStepOn;
}

int32_t SendTopContentType(Channel &ch, Tick) { // 230
    FormatText(ch.CmdBuffer, kLineRoom, "%s%c%s%c", ch.BodyType == 2 ? kRelatedType : kMixedType, kQuote,
               gBoundaryTemplate, kQuote);
    if (int32_t r = SendCmd(ch)) return r;
    ch.NextState = 233;
    return kStepOn;
}

int32_t EndHeader(Channel &ch, Tick) { // 233
    int32_t r = SendData(ch, "\r\n", 2);
    if (r < 0) return FailSend(ch, r, ZEM_ERR_WRITE);
    ch.NextState = Multipart(ch) ? 234 : 238;
    return kStepOn;
}

// ---- The text part -----------------------------------------------------------------------

int32_t SendFirstBoundary(Channel &ch, Tick) { // 234
    FormatText(ch.CmdBuffer, kLineRoom, "--%s", gBoundaryTemplate);
    if (int32_t r = SendCmd(ch)) return r;
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
    const bool encodingLine = DeclaresEncoding(ch.BodyType);
    HeaderWriter w(ch);
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

int32_t AfterText(const Channel &ch) { return ch.AttachList != nullptr ? 260 : 251; }

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
    return SendCmd(ch);
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
    ch.FileHandle = h;
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
    if (int32_t r = SendCmd(ch)) return r;
    ch.NextState = 261;
    return kStepOn;
}

int32_t SendAttachmentType(Channel &ch, Tick) { // 261
    char *sep = FindChar(ch.AttachList, AttachSeparator());
    if (sep != nullptr) {
        *sep = 0;
        ch.AttachCursor = sep + 1;
    } else {
        ch.AttachCursor = ch.AttachList + std::strlen(ch.AttachList);
    }
    const char *name = ShownAttachmentName(ch.AttachList);
    const char *image = ch.InlineImages ? InlineImageType(name) : nullptr;
    HeaderWriter w(ch);
    if (image != nullptr) {
        ++ch.ContentIdCount;
        char idLine[48];
        FormatText(idLine, sizeof idLine, "Content-ID: <message-root.%1d>", ch.ContentIdCount);
        w.Text("Content-Type: ").Text(image).Text("; name=").Quoted(name).EndLine();
        w.Text(idLine).EndLine();
        ch.InlinePart = 1;
    } else {
        w.Text("Content-Type: application/octet-stream; name=").Quoted(name).EndLine();
        ch.InlinePart = 0;
    }
    if (int32_t r = Finish(ch, w)) return r;
    ch.NextState = 262;
    return kStepOn;
}

int32_t SendAttachmentEncoding(Channel &ch, Tick) { // 262
    CopyInto(ch.CmdBuffer, "Content-Transfer-Encoding: base64");
    if (int32_t r = SendCmd(ch)) return r;
    ch.NextState = 263;
    return kStepOn;
}

int32_t SendAttachmentDisposition(Channel &ch, Tick now) { // 263
    HeaderWriter w(ch);
    w.Text(ch.InlinePart ? "Content-Disposition: inline; filename=" : "Content-Disposition: attachment; filename=")
        .Quoted(ShownAttachmentName(ch.AttachList))
        .EndLine()
        .EndLine();
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
    ch.FileHandle = h;
    ch.WaitWritable = 1;
    ch.NextState = 265;
    return kStepOn;
}

// Up to one line's worth of file bytes; short reads are topped up so every line but the
// last of a file encodes exactly 57 bytes.
int32_t ReadAttachmentPiece(Channel &ch, uint8_t (&piece)[kBase64LineBytes]) {
    int32_t n = 0;
    while (n < kBase64LineBytes) {
        int32_t r = FileRead(ch.FileHandle, piece + n, kBase64LineBytes - n);
        if (r <= 0) break; // the end of the file, or a read error, ends the attachment
        n += r;
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
            ch.NextState = 251;
        }
        return kStepOn;
    }
    ch.AttachBytes += n;
    int32_t k = Base64EncodeLine(piece, n, ch.CmdBuffer); // with its CR LF
    ch.AttachBytesSent += k + 2;
    int32_t r = SendData(ch, ch.CmdBuffer, k + 2);
    if (r < 0) return FailSend(ch, r, ZEM_ERR_WRITE);
    ArmDataPacing(ch, now);
    return kStepOn;
}

// ---- The end -----------------------------------------------------------------------------

int32_t SendEndOfData(Channel &ch, Tick now) { // 251
    if (Multipart(ch)) {
        FormatText(ch.CmdBuffer, kLineRoom, "--%s--\r\n", gBoundaryTemplate);
        if (int32_t r = SendCmd(ch)) return r;
    }
    CopyInto(ch.CmdBuffer, "\r\n."); // RFC 5321 section 4.1.1.4
    if (int32_t r = SendCmd(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 252;
    return kStepOn;
}

int32_t CheckFinalReply(Channel &ch, Tick) { // 252
    int32_t r = ReadAccepted(ch, 100);
    if (r <= 0) return r;
    ch.NextState = 0;
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {204, SendMailFrom},           {205, CheckMailFromReply},
    {206, TakeNextRecipient},      {207, SendRecipient},
    {208, CheckRecipientReply},    {209, SendDataCommand},
    {210, CheckDataReply},         {220, SendMessageId},
    {221, SendMailer},             {223, SendDate},
    {224, SendTo},                 {225, SendFrom},
    {226, SendReplyTo},            {227, SendSubject},
    {228, SendCc},                 {229, SendMimeVersion},
    {230, SendTopContentType},     {233, EndHeader},
    {234, SendFirstBoundary},      {235, SendTextPartType},
    {236, SendTextPartEncoding},   {238, ChooseTextSource},
    {240, StartTextFromMemory},    {241, SendTextFromMemory},
    {244, OpenTextFile},           {245, SendTextFromFile},
    {251, SendEndOfData},          {252, CheckFinalReply},
    {260, SendAttachmentBoundary}, {261, SendAttachmentType},
    {262, SendAttachmentEncoding}, {263, SendAttachmentDisposition},
    {264, OpenAttachment},         {265, SendAttachmentLine},
};

// A CR or LF inside an address of a list could smuggle a protocol line; the separator
// itself may be any character, a line end included.
bool AddressHoldsLineEnd(const char *list) {
    const char sep = RecipientSeparator();
    for (const char *p = list; *p != 0; ++p)
        if ((*p == '\r' || *p == '\n') && *p != sep) return true;
    return false;
}

// The checks of one recipient list before it is copied: its first address has its
// brackets, and no address holds a line end.
int32_t CheckRecipientList(Channel &ch, const char *list) {
    if (int32_t r = CheckBrackets(ch, list, true)) return r;
    return AddressHoldsLineEnd(list) ? ZEM_ERR_BAD_CHAR : 0;
}

// Copies an optional list into its block; 0, a check's code or -55.
int32_t TakeList(Channel &ch, const char *list, int32_t slot, char **field) {
    *field = nullptr;
    if (!Given(list)) return 0;
    if (int32_t r = CheckRecipientList(ch, list)) return r;
    *field = AllocAndCopy(ch.ChannelNo, slot, list);
    return *field == nullptr ? ZEM_ERR_NO_MEMORY : 0;
}

} // namespace

const StateTable kSmtpSendStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemSendEmail(int32_t Chan, const char *To, const char *CC, const char *BCC,
                                        const char *Subject, const char *Message, const char *Attachments) {
    Channel *chp = nullptr;
    if (int32_t r = FindChannel(Chan, &chp)) return r;
    Channel &ch = *chp;
    if (ch.Protocol != 'S') return ZEM_ERR_SMTP_ONLY;
    LogRequest(ch, "zemSendEmail");
    if (WaitUntilWritable(ch, 0) != 1) return ZEM_ERR_NOT_CONNECTED;
    ch.TextBytes = ch.AttachBytes = ch.TextBytesSent = ch.AttachBytesSent = 0;
    ch.ContentIdCount = 0;
    ch.ToList = nullptr;
    ch.SendsMessageFile = 0;
    CloseSendFile(ch); // one an earlier send left open when it timed out
    if (!Given(To)) return ZEM_ERR_NO_RECIPIENT;
    if (int32_t r = TakeList(ch, To, kSlotTo, &ch.ToList)) return r;
    if (int32_t r = TakeList(ch, CC, kSlotCc, &ch.CcList)) return r;
    if (int32_t r = TakeList(ch, BCC, kSlotBcc, &ch.BccList)) return r;
    ch.Subject = nullptr;
    if (Given(Subject) && (ch.Subject = AllocAndCopy(Chan, kSlotSubject, Subject)) == nullptr) return ZEM_ERR_NO_MEMORY;
    ch.TextCursor = "";
    if (Given(Message)) {
        char *text = AllocAndCopy(Chan, kSlotText, Message);
        if (text == nullptr) return ZEM_ERR_NO_MEMORY;
        ch.TextCursor = text;
    }
    ch.AttachList = ch.AttachCursor = nullptr;
    if (Given(Attachments) && (ch.AttachList = AllocAndCopy(Chan, kSlotAttachments, Attachments)) == nullptr)
        return ZEM_ERR_NO_MEMORY;
    ch.SeparatorPos = nullptr;
    StartRequest(ch, 204, 1);
    if (ch.AutoCall == 0) return 0;
    LogText(ch, "*** Sending...\r\n");
    return RunToEnd(ch);
}
