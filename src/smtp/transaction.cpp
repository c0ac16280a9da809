// Sending a message: zemSendEmail and the SMTP transaction that carries it (MAIL FROM,
// one RCPT TO per recipient, DATA; RFC 5321 section 3.3). Between DATA and the end of
// data the composer writes the message into the socket's output buffer, one line per
// step; then the end line and the final reply.
#include <cstring>

#include "codec/codec.h"
#include "driver/replies.h"
#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "compose/composer.h"
#include "smtp/envelope.h"
#include "smtp/message_file.h"
#include "smtp/session.h"
#include "text/charset.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

int32_t FailSend(Channel &ch, int32_t sockCode, int32_t zemCode) { return FailCompose(ch, sockCode, zemCode); }

namespace {

constexpr int32_t kLineRoom = kBufferSize - 3; // SendLine appends CR LF and a NUL

bool Given(const char *text) { return text != nullptr && text[0] != 0; }


int32_t SendCmd(Channel &ch) {
    int32_t r = SendLine(ch, ch.CmdBuffer);
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
    ch.NextState = ch.SendsMessageFile ? kSendMessageFileState : kComposeFirstState; // zemSendMessageFile
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
    ch.NextState = ch.SendsMessageFile ? kSendMessageFileState : kComposeFirstState; // zemSendMessageFile
    return kStepOn;
}

// ---- The end -----------------------------------------------------------------------------

int32_t SendEndOfData(Channel &ch, Tick now) { // 251
    if (int32_t r = PutClosingBoundary(ch)) return r;
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
    {210, CheckDataReply},         {211, SendEnvelopeGroup},
    {212, CheckGroupMailReply},    {213, CheckGroupRecipientReply},
    {214, CheckGroupDataReply},    {251, SendEndOfData},
    {252, CheckFinalReply},
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
    ch.ComposeOut = SendData; // the message goes to the socket, between DATA and its end line
    ch.ComposeEndState = 251;
    StartRequest(ch, 204, 1);
    if (ch.AutoCall == 0) return 0;
    LogText(ch, "*** Sending...\r\n");
    return RunToEnd(ch);
}
