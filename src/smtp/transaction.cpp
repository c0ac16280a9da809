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
#include "compose/date_line.h"
#include "smtp/envelope.h"
#include "compose/headers.h"
#include "smtp/message_file.h"
#include "smtp/session.h"
#include "compose/text_lines.h"
#include "text/charset.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

void CloseSendFile(Channel &ch) {
    if (ch.FileHandle > 0) FileClose(ch.FileHandle);
    ch.FileHandle = 0;
}

int32_t FailSend(Channel &ch, int32_t sockCode, int32_t zemCode) {
    CloseSendFile(ch);
    return DriverError(ch, sockCode, zemCode);
}

namespace {

constexpr const char *kMailerLine = "X-Mailer: Corvantis Quorvel Version 3.4";
constexpr const char *kMimeVersionLine = "MIME-Version: 1.0";
constexpr const char *kMixedType = "Content-Type: multipart/mixed; boundary=";
constexpr const char *kRelatedType = "Content-Type: multipart/related; boundary=";
constexpr const char *kQuotedPrintableLine = "Content-Transfer-Encoding: quoted-printable";
constexpr char kQuote = '"';
constexpr int32_t kLineRoom = kBufferSize - 3; // SendLine appends CR LF and a NUL

bool Given(const char *text) { return text != nullptr && text[0] != 0; }

// Attachments or any text kind but plain make the message MIME multipart. A plain text
// with a text charset alone is a single MIME part (state 246).
bool Multipart(const Channel &ch) { return ch.AttachList != nullptr || ch.BodyType != 0; }


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
int32_t ReadAccepted(Channel &ch) {
    if (!ReplyReady(ch)) return 0;
    if (int32_t c = CheckSmtpReply(ch)) return FailSend(ch, 0, c);
    if (ch.ReplyCode >= 400) return FailSend(ch, 0, ZEM_ERR_SMTP);
    return 1;
}

// ---- The SMTP transaction --------------------------------------------------------------

// The sender as it goes into MAIL FROM: from its '<' on, as UTF-8.
const char *SenderForEnvelope(Channel &ch, char (&buf)[4 * 130]) {
    const char *lt = FindChar(ch.FromAddress, '<');
    if (!NeedsUtf8Conversion(ch.Out.InputCharset, lt, TextLength(lt))) return lt;
    ToUtf8(ch.Out.InputCharset, lt, TextLength(lt), buf, sizeof buf);
    return buf;
}

bool UsePipelining(const Channel &ch) { return ch.Out.OfferPipelining && !ch.Out.PipeliningOff; }

int32_t SendMailFromLine(Channel &ch, Tick now) {
    char sender[4 * 130];
    FormatMailFrom(ch, ch.CmdBuffer, kLineRoom, SenderForEnvelope(ch, sender), EstimateMessageSize(ch));
    if (int32_t r = SendCmd(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 205;
    return kStepOn;
}

int32_t SendMailFrom(Channel &ch, Tick now) { // 204
    if (ch.FromAddress[0] == 0) return DriverError(ch, 0, ZEM_ERR_MISSING_FROM);
    const char *lt = FindChar(ch.FromAddress, '<');
    if (lt == nullptr) return DriverError(ch, 0, ZEM_ERR_MISSING_LT);
    // The sender may have been set by a parameter after the connect checked it.
    if (HoldsLineEnd(ch.FromAddress)) return DriverError(ch, 0, ZEM_ERR_BAD_CHAR);
    // A non-ASCII address goes out only where the server takes it (RFC 6531): else
    // nothing is sent.
    ch.Out.UseSmtpUtf8 = EnvelopeNeedsUtf8(ch) ? 1 : 0;
    if (ch.Out.UseSmtpUtf8 && !ch.Out.OfferSmtpUtf8) return DriverError(ch, 0, ZEM_ERR_BAD_CHAR);
    // A message larger than the server's announced limit would be refused after all its
    // data was sent (RFC 1870): refused here instead, before MAIL FROM.
    if (ch.Out.OfferSize && ch.Out.SizeLimit > 0 && EstimateMessageSize(ch) > ch.Out.SizeLimit) {
        LogFormat(ch, "Message of about %llu bytes, server limit %lu\r\n",
                  static_cast<unsigned long long>(EstimateMessageSize(ch)), static_cast<unsigned long>(ch.Out.SizeLimit));
        return DriverError(ch, 0, ZEM_ERR_SIZE_LIMIT);
    }
    if (UsePipelining(ch)) {
        ch.NextState = 211;
        return kStepOn;
    }
    return SendMailFromLine(ch, now);
}

int32_t CheckMailFromReply(Channel &ch, Tick) { // 205
    int32_t r = ReadAccepted(ch);
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
    FormatRcptTo(ch, ch.CmdBuffer, kLineRoom, ch.Recipient);
    if (int32_t r = SendCmd(ch)) return r;
    ArmDeadline(ch, now);
    ch.NextState = 208;
    return kStepOn;
}

// Keeps a refused recipient with the server's reply line for zemDebug.
void NoteRefused(Channel &ch, const char *recipient) {
    ++ch.Out.Refused;
    char *list = ch.Out.RefusedList;
    AppendBounded(list, kRefusedListMax + 1, recipient);
    AppendBounded(list, kRefusedListMax + 1, " ");
    char line[sizeof ch.LastReply];
    int32_t n = CopyInto(line, ch.LastReply);
    while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) line[--n] = 0;
    AppendBounded(list, kRefusedListMax + 1, line);
    AppendBounded(list, kRefusedListMax + 1, "\r\n");
}

// The reply to one RCPT TO: 1 accepted, 2 refused and the send goes on past it, 0 while
// none is there, else the failure.
int32_t ReadRecipientReply(Channel &ch, const char *recipient) {
    if (!ReplyReady(ch)) return 0;
    int32_t c = CheckSmtpReply(ch);
    const bool refused = c == ZEM_ERR_SMTP || (c == 0 && ch.ReplyCode >= 400);
    if (c != 0 && !refused) return FailSend(ch, 0, c);
    if (!refused) {
        ++ch.Out.Accepted;
        CopyText(ch.LastRecipient, recipient, 32);
        return 1;
    }
    NoteRefused(ch, recipient);
    if (!ch.Out.ContinuePastRefused) return FailSend(ch, 0, ZEM_ERR_SMTP);
    return 2;
}

// After the last recipient: on to DATA, unless every one was refused.
int32_t AfterRecipients(Channel &ch) {
    if (ch.Out.Accepted == 0) return FailSend(ch, 0, ZEM_ERR_ALL_REFUSED);
    return kStepOn;
}

int32_t CheckRecipientReply(Channel &ch, Tick now) { // 208
    int32_t r = ReadRecipientReply(ch, ch.Recipient);
    if (r <= 0) return r;
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
        if (int32_t f = AfterRecipients(ch)) return f;
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
    int32_t r = ReadAccepted(ch);
    if (r <= 0) return r;
    ch.NextState = ch.SendsMessageFile ? kSendMessageFileState : 220; // zemSendMessageFile
    return kStepOn;
}

// ---- The envelope in one group (RFC 2920) ------------------------------------------------

// The next recipient of the To, CC and BCC lists, cut at its separator (put back with
// PutBackSeparator): 1 with *out set, 0 when the lists are walked, or -37.
int32_t NextRecipient(Channel &ch, char **out) {
    for (;;) {
        if (ch.ListCursor != nullptr && ch.ListCursor[0] != 0) break;
        if (!ch.CcDone) {
            ch.ListCursor = ch.CcList;
            ch.CcDone = 1;
        } else if (!ch.BccDone) {
            ch.ListCursor = ch.BccList;
            ch.BccDone = 1;
        } else {
            return 0;
        }
    }
    char *lt = FindInFirstAddress(ch.ListCursor, '<');
    if (lt == nullptr) return ZEM_ERR_EMPTY_ADDRESS;
    char *sep = FindChar(lt, RecipientSeparator());
    if (sep != nullptr) {
        *sep = 0;
        ch.SeparatorPos = sep;
        ch.ListCursor = sep + 1;
    } else {
        ch.SeparatorPos = nullptr;
        ch.ListCursor = lt + std::strlen(lt);
    }
    *out = lt;
    return 1;
}

void PutBackSeparator(Channel &ch) {
    if (ch.SeparatorPos != nullptr) *ch.SeparatorPos = RecipientSeparator();
    ch.SeparatorPos = nullptr;
}

void StartRecipientWalk(Channel &ch) {
    ch.ListCursor = ch.ToList;
    ch.CcDone = ch.CcList == nullptr;
    ch.BccDone = ch.BccList == nullptr;
    ch.SeparatorPos = nullptr;
}

// Appends one command line (CR LF added) to the group; false when it does not fit.
bool AddToGroup(Channel &ch, int32_t *len, const char *line, int32_t n) {
    if (*len + n + 2 > kGroupSize) return false;
    std::memcpy(ch.Out.Group + *len, line, static_cast<size_t>(n));
    ch.Out.Group[*len + n] = '\r';
    ch.Out.Group[*len + n + 1] = '\n';
    *len += n + 2;
    return true;
}

// Sends the group with one write; the log shows each line as its own record, as the
// command-by-command sends do. Short writes are continued.
int32_t SendGroup(Channel &ch, int32_t len) {
    const int32_t logFile = ch.LogFile;
    ch.LogFile = 0; // the transport's record of the write is replaced by one per line
    int32_t sent = 0;
    int32_t r = 0;
    for (int32_t tries = 0; sent < len; ++tries) {
        r = SendData(ch, ch.Out.Group + sent, len - sent);
        if (r < 0) break;
        sent += r;
        if (sent < len && (tries > 100 || WaitUntilWritable(ch, P(gSettings.replyTimeout)) != 1)) {
            r = ZEM_ERR_TIMED_OUT;
            break;
        }
    }
    ch.LogFile = logFile;
    if (r < 0) return FailSend(ch, r, r == ZEM_ERR_TIMED_OUT ? ZEM_ERR_TIMED_OUT : ZEM_ERR_WRITE);
    for (int32_t start = 0, i = 0; i + 1 < len; ++i) {
        if (ch.Out.Group[i] != '\r' || ch.Out.Group[i + 1] != '\n') continue;
        LogTraffic(ch, "S: ", ch.Out.Group + start, i + 2 - start);
        start = i + 2;
    }
    return kStepOn;
}

int32_t SendEnvelopeGroup(Channel &ch, Tick now) { // 211
    char sender[4 * 130];
    int32_t len = 0;
    int32_t n = FormatMailFrom(ch, ch.CmdBuffer, kLineRoom, SenderForEnvelope(ch, sender), EstimateMessageSize(ch));
    bool fits = AddToGroup(ch, &len, ch.CmdBuffer, n);
    StartRecipientWalk(ch);
    char *rcpt = nullptr;
    int32_t got = 0;
    while (fits && (got = NextRecipient(ch, &rcpt)) == 1) {
        n = FormatRcptTo(ch, ch.CmdBuffer, kLineRoom, rcpt);
        PutBackSeparator(ch);
        fits = AddToGroup(ch, &len, ch.CmdBuffer, n);
    }
    PutBackSeparator(ch);
    if (got < 0) return DriverError(ch, 0, got); // nothing was sent
    fits = fits && AddToGroup(ch, &len, "DATA", 4);
    ch.CmdBuffer[0] = 0;
    if (!fits) return SendMailFromLine(ch, now); // too many for one group: one by one
    if (int32_t r = SendGroup(ch, len)) return r;
    ch.Out.Pipelined = 1;
    StartRecipientWalk(ch);
    ArmReplyWait(ch, now);
    ch.NextState = 212;
    return kStepOn;
}

int32_t CheckGroupMailReply(Channel &ch, Tick now) { // 212
    int32_t r = ReadAccepted(ch);
    if (r <= 0) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 213;
    return kStepOn;
}

int32_t CheckGroupRecipientReply(Channel &ch, Tick now) { // 213
    if (!ReplyReady(ch)) return kStepOn;
    char *rcpt = nullptr;
    int32_t got = NextRecipient(ch, &rcpt);
    if (got != 1) return FailSend(ch, 0, got < 0 ? got : ZEM_ERR_SMTP); // the lists changed under us
    int32_t r = ReadRecipientReply(ch, rcpt);
    PutBackSeparator(ch);
    if (r < 0) return r;
    ArmReplyWait(ch, now);
    // The reply to DATA follows the last recipient's.
    char *next = nullptr;
    char *const cursor = ch.ListCursor;
    const int32_t cc = ch.CcDone, bcc = ch.BccDone;
    const bool more = NextRecipient(ch, &next) == 1;
    PutBackSeparator(ch);
    ch.ListCursor = cursor;
    ch.CcDone = cc;
    ch.BccDone = bcc;
    if (!more) ch.NextState = 214;
    return kStepOn;
}

int32_t CheckGroupDataReply(Channel &ch, Tick) { // 214
    if (!ReplyReady(ch)) return kStepOn;
    if (ch.Out.Accepted == 0) return FailSend(ch, 0, ZEM_ERR_ALL_REFUSED);
    if (int32_t c = CheckSmtpReply(ch)) return FailSend(ch, 0, c);
    if (ch.ReplyCode >= 400) return FailSend(ch, 0, ZEM_ERR_SMTP);
    ch.NextState = ch.SendsMessageFile ? kSendMessageFileState : 220; // zemSendMessageFile
    return kStepOn;
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
    if (int32_t r = SendCmd(ch)) return r;
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
    ch.FileHandle = h;
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
        int32_t r = ahead != nullptr ? FileRead(ch.FileHandle, ahead, kFileReadSize)
                                     : FileRead(ch.FileHandle, piece + n, kBase64LineBytes - n);
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
    int32_t r = ReadAccepted(ch);
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
    {211, SendEnvelopeGroup},      {212, CheckGroupMailReply},
    {213, CheckGroupRecipientReply}, {214, CheckGroupDataReply},
    {246, SendSinglePartHeader},
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

// A block of the given size in a slot, replacing what the slot held.
char *FreshBlock(int32_t chan, int32_t slot, int32_t size) {
    const int32_t id = chan * kSlotsPerChannel + slot;
    if (BlockIsAllocated(id) == 1) BlockFree(id);
    return static_cast<char *>(AllocateMemory(chan, slot, size));
}

// Copies a caller text into its block, as UTF-8 when it is neither ASCII nor UTF-8 (or
// comes in a named charset); ASCII and UTF-8 texts are copied unchanged.
char *CopyCallerText(Channel &ch, int32_t slot, const char *text) {
    const int32_t n = TextLength(text);
    if (!NeedsUtf8Conversion(ch.Out.InputCharset, text, n)) return AllocAndCopy(ch.ChannelNo, slot, text);
    const int32_t len = ToUtf8(ch.Out.InputCharset, text, n, nullptr, 0);
    char *copy = FreshBlock(ch.ChannelNo, slot, len + 2);
    if (copy != nullptr) ToUtf8(ch.Out.InputCharset, text, n, copy, len + 1);
    return copy;
}

// Copies the message string into block 5, converted to the text charset when one is used
// and the text is not in it already. A message file ('@' path) is sent as it is.
// 0, -84 or -55.
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

// Copies an optional list into its block; 0, a check's code or -55.
int32_t TakeList(Channel &ch, const char *list, int32_t slot, char **field) {
    *field = nullptr;
    if (!Given(list)) return 0;
    if (int32_t r = CheckRecipientList(ch, list)) return r;
    *field = CopyCallerText(ch, slot, list);
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
    ch.GateOpen = 1; // just seen writable: the first step's gate needs no second look
    ch.TextBytes = ch.AttachBytes = ch.TextBytesSent = ch.AttachBytesSent = 0;
    ch.ContentIdCount = 0;
    ch.ToList = nullptr;
    ch.Out.Accepted = ch.Out.Refused = 0;
    ch.Out.RefusedList[0] = 0;
    ch.Out.UseSmtpUtf8 = ch.Out.Pipelined = 0;
    ch.SendsMessageFile = 0;
    CloseSendFile(ch); // one an earlier send left open when it timed out
    if (!Given(To)) return ZEM_ERR_NO_RECIPIENT;
    if (int32_t r = TakeList(ch, To, kSlotTo, &ch.ToList)) return r;
    if (int32_t r = TakeList(ch, CC, kSlotCc, &ch.CcList)) return r;
    if (int32_t r = TakeList(ch, BCC, kSlotBcc, &ch.BccList)) return r;
    ch.Subject = nullptr;
    if (Given(Subject) && (ch.Subject = CopyCallerText(ch, kSlotSubject, Subject)) == nullptr) return ZEM_ERR_NO_MEMORY;
    ch.TextCursor = "";
    if (Given(Message)) {
        char *text = nullptr;
        if (int32_t r = CopyMessageText(ch, Message, &text)) return r;
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
