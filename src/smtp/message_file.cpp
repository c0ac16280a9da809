// zemSendMessageFile: sends a ready-made RFC 5322 message file as it stands. The envelope
// (MAIL FROM, one RCPT TO per recipient, DATA) and the final reply are the states of the
// transaction; between DATA and the final reply these states send the file, a piece per
// step, with the transparency of RFC 5321 section 4.5.2 (a line that starts with '.' gets a
// second one) and CR LF line ends (section 2.3.8: a lone LF or a lone CR ends a line too).
// The header lines are the file's own: nothing is added, nothing is removed.
#include "compose/composer.h"
#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "platform/platform.h"
#include "smtp/message_file.h"
#include "smtp/session.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

// Bytes read per step: every byte read becomes at most two bytes sent, so a piece always
// fits the ReadAhead window.
constexpr int32_t kPieceBytes = (kBufferSize - 2) / 2;
constexpr int32_t kFinalReplyState = 252; // the transaction's final reply

bool Given(const char *text) { return text != nullptr && text[0] != 0; }

// Turns one piece of the file into what goes on the wire, in ReadAhead.
int32_t StuffPiece(Channel &ch, const char *in, int32_t n) {
    char *out = ch.ReadAhead;
    int32_t k = 0;
    for (int32_t i = 0; i < n; ++i) {
        const char c = in[i];
        if (c == '\n' && ch.FileAfterCr) { // the LF of a CR LF already sent
            ch.FileAfterCr = 0;
            continue;
        }
        ch.FileAfterCr = 0;
        if (c == '\r' || c == '\n') {
            out[k++] = '\r';
            out[k++] = '\n';
            ch.FileAfterCr = c == '\r';
            ch.FileLineStart = 1;
            continue;
        }
        if (c == '.' && ch.FileLineStart) out[k++] = '.';
        out[k++] = c;
        ch.FileLineStart = 0;
    }
    return k;
}

// Sends what is left in ReadAhead; a write the socket took only in part keeps the rest
// for the next writable step. 0 when all is sent, 1 when some is left, or the failure.
int32_t SendPending(Channel &ch) {
    while (ch.FileOutPos < ch.FileOutEnd) {
        int32_t r = SendData(ch, ch.ReadAhead + ch.FileOutPos, ch.FileOutEnd - ch.FileOutPos);
        if (r < 0) return FailSend(ch, r, ZEM_ERR_WRITE);
        if (r == 0) return 1;
        ch.FileOutPos += r;
        ch.TextBytesSent += r;
        if (ch.FileOutPos < ch.FileOutEnd) return 1;
    }
    return 0;
}

// ---- States ------------------------------------------------------------------------------

int32_t OpenMessageFile(Channel &ch, Tick) { // 280; -35
    LogFormat(ch, "Opening message file [%s]\r\n", ch.MessageFile);
    CloseSendFile(ch);
    int32_t h = FileOpenRead(ch.MessageFile);
    if (h <= 0) return DriverError(ch, 0, ZEM_ERR_CANNOT_OPEN_FILE);
    ch.SendFile = h;
    ch.FileLineStart = 1;
    ch.FileAfterCr = 0;
    ch.FileOutPos = ch.FileOutEnd = 0;
    ch.WaitWritable = 1;
    ch.NextState = 281;
    return kStepOn;
}

int32_t SendMessageFilePiece(Channel &ch, Tick now) { // 281; -52
    int32_t r = SendPending(ch);
    if (r < 0) return r;
    if (r == 0) {
        char piece[kPieceBytes];
        int32_t n = FileRead(ch.SendFile, piece, kPieceBytes);
        if (n <= 0) { // the end of the file, or a read error, ends the message
            CloseSendFile(ch);
            ch.NextState = 282;
            return kStepOn;
        }
        ch.TextBytes += n;
        ch.FileOutPos = 0;
        ch.FileOutEnd = StuffPiece(ch, piece, n);
        if ((r = SendPending(ch)) < 0) return r;
    }
    ArmDataPacing(ch, now);
    return kStepOn;
}

int32_t SendMessageFileEnd(Channel &ch, Tick now) { // 282; -52
    // A last line without its line end gets one: "." must stand on a line of its own.
    CopyInto(ch.CmdBuffer, ch.FileLineStart ? "." : "\r\n.");
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = kFinalReplyState;
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {280, OpenMessageFile},
    {281, SendMessageFilePiece},
    {282, SendMessageFileEnd},
};

// The recipient list checks of zemSendEmail: the first address has its brackets and no
// address holds a line end (the separator itself may be one).
int32_t CheckList(Channel &ch, const char *list) {
    if (int32_t r = CheckBrackets(ch, list, true)) return r;
    const char sep = RecipientSeparator();
    for (const char *p = list; *p != 0; ++p)
        if ((*p == '\r' || *p == '\n') && *p != sep) return ZEM_ERR_BAD_CHAR;
    return 0;
}

int32_t TakeList(Channel &ch, const char *list, int32_t slot, char **field) {
    *field = nullptr;
    if (!Given(list)) return 0;
    if (int32_t r = CheckList(ch, list)) return r;
    *field = AllocAndCopy(ch.ChannelNo, slot, list);
    return *field == nullptr ? ZEM_ERR_NO_MEMORY : 0;
}

// The envelope walks ToList, then CcList, then BccList: the first list given leads.
void CloseUpLists(Channel &ch) {
    for (int i = 0; i < 2 && ch.ToList == nullptr; ++i) {
        ch.ToList = ch.CcList;
        ch.CcList = ch.BccList;
        ch.BccList = nullptr;
    }
    if (ch.CcList == nullptr) {
        ch.CcList = ch.BccList;
        ch.BccList = nullptr;
    }
}

} // namespace

const StateTable kSmtpMessageFileStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemSendMessageFile(int32_t Chan, const char *To, const char *CC, const char *BCC,
                                              const char *FileName) {
    Channel *chp = nullptr;
    if (int32_t r = FindChannel(Chan, &chp)) return r;
    Channel &ch = *chp;
    if (ch.Protocol != 'S') return ZEM_ERR_SMTP_ONLY;
    LogRequest(ch, "zemSendMessageFile");
    if (WaitUntilWritable(ch, 0) != 1) return ZEM_ERR_NOT_CONNECTED;
    ch.GateOpen = 1; // just seen writable: the first step's gate needs no second look
    ch.TextBytes = ch.AttachBytes = ch.TextBytesSent = ch.AttachBytesSent = 0;
    ch.SendsMessageFile = 0;
    CloseSendFile(ch);
    if (!Given(FileName)) return ZEM_ERR_MISSING_FILENAME;
    if (!Given(To) && !Given(CC) && !Given(BCC)) return ZEM_ERR_NO_RECIPIENT;
    if (int32_t r = TakeList(ch, To, kSlotTo, &ch.ToList)) return r;
    if (int32_t r = TakeList(ch, CC, kSlotCc, &ch.CcList)) return r;
    if (int32_t r = TakeList(ch, BCC, kSlotBcc, &ch.BccList)) return r;
    CloseUpLists(ch);
    // Refused before anything is sent, so that the server never sees an unfinished DATA
    // for a file that was never there.
    int32_t h = FileOpenRead(FileName);
    if (h <= 0) return ZEM_ERR_CANNOT_OPEN_FILE;
    FileClose(h);
    if ((ch.MessageFile = AllocAndCopy(Chan, kSlotText, FileName)) == nullptr) return ZEM_ERR_NO_MEMORY;
    ch.TextCursor = ""; // block 5 now holds the path, not a text
    ch.SeparatorPos = nullptr;
    ch.SendsMessageFile = 1;
    StartRequest(ch, 204, 1);
    if (ch.AutoCall == 0) return 0;
    LogText(ch, "*** Sending...\r\n");
    return RunToEnd(ch);
}
