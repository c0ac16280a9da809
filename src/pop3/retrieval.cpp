// Message retrieval (RFC 1939): TOP into a buffer (zemGetEmailLines) and RETR into a
// message file (zemGetEmailFile), raw or line by line through the incoming MIME decoder.
#include <cstdint>
#include <cstring>

#include "codec/codec.h"
#include "driver/replies.h"
#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "mime/message_file.h"
#include "mime/mime_decoder.h"
#include "mime/retrieval_files.h"
#include "pop3/reply_lines.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

constexpr int32_t kLineRoom = 1024; // a message line: at most 1,023 bytes and the NUL

// ---- The message path ------------------------------------------------------------------

// The bound of a retrieval: ZEM_PARAM_MAX_MESSAGE_SIZE, and twice the message's LIST size
// plus 64 KiB when that is known, whichever is smaller. 0 = none.
void SetRetrievalLimit(Channel &ch) {
    int64_t limit = ch.MaxMessageSize;
    if (ch.ListedMessageNo == ch.MessageNo && ch.MessageNo > 0 && ch.MessageSize >= 0) {
        const int64_t listed = 2 * static_cast<int64_t>(ch.MessageSize) + 65536;
        if (limit == 0 || listed < limit) limit = listed;
    }
    ch.RetrievalLimit = limit;
}


// ---- TOP ---------------------------------------------------------------------------------

int32_t SendTop(Channel &ch, Tick now) { // 311
    LogText(ch, "[Saving to buffer]\r\n");
    FormatText(ch.CmdBuffer, kBufferSize - 3, "TOP %d %d", ch.MessageNo, ch.TopLines);
    ch.StatusSeen = kAwaitStatus;
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 314;
    return kStepOn;
}

// Appends a piece to the buffer as far as it has room; the rest is dropped without an
// error, and no NUL is stored.
void StoreTopPiece(Channel &ch, const char *piece, int32_t n) {
    ch.TextBytes += n;
    ch.ReceivedBytes += n;
    if (ch.UserBuffer == nullptr) return;
    int32_t room = ch.UserBufferSize - ch.UserBufferFill;
    int32_t take = n < room ? n : room;
    if (take <= 0) return;
    std::memcpy(ch.UserBuffer + ch.UserBufferFill, piece, static_cast<size_t>(take));
    ch.UserBufferFill += take;
}

// Reads one piece of a multi-line reply into ReplyBuffer. Returns its length, 0 when
// nothing came (the step waits on), or a negative code for the caller to fail with.
// With an end tick (TOP), every piece must come before it; else each further piece of a
// long line may take moreWait (message data).
int32_t ReadReplyPiece(Channel &ch, Tick now, int32_t moreWait, Tick end = 0) {
    const int32_t wait = P(gSettings.pop3DataWait);
    if (AwaitReadable(ch, now, wait) != 1) return 0; // DeadlineTick ends a silent server
    if (!AwaitLineEnd(ch, now, end != 0 ? end : After(now, moreWait))) return 0;
    // The line has come whole, or its wait is over: the reader takes what is there.
    int32_t n = ReadLine(ch, ch.ReplyBuffer, kLineRoom, 0, 0);
    // A connection that ends before the end line leaves the reply incomplete.
    if (n == -1) return ZEM_ERR_SOCKET_CLOSED;
    return n;
}

// The status line of TOP and of a line-mode RETR: tells whether the reply goes on, and
// moves the phase on once the line (possibly long, in pieces) is complete.
bool TakeStatusPiece(Channel &ch, const char *piece, int32_t n) {
    bool positive = true;
    if (ch.StatusSeen == kAwaitStatus) positive = NoteStatusLine(ch, piece);
    ch.StatusSeen = EndsWithLineFeed(piece, n) ? kAtLineStart : kInStatus;
    return positive;
}

// A data piece after the status line: false when it is the end line; otherwise a stuffed
// dot is removed and *n updated.
bool TakeDataPiece(Channel &ch, char *piece, int32_t *n) {
    if (ch.StatusSeen == kAtLineStart && piece[0] == '.') {
        if (IsEndLine(piece, *n)) return false;
        *n = RemoveStuffedDot(piece, *n);
    }
    ch.StatusSeen = PhaseAfter(piece, *n);
    return true;
}

int32_t ReadTopReply(Channel &ch, Tick now) { // 314
    // The whole reply must come within the reply time-out from the TOP command.
    int32_t n = ReadReplyPiece(ch, now, 0, ReplyEnd(ch));
    if (n < 0) return DriverError(ch, 0, n);
    if (n == 0) return kStepOn;
    char *piece = ch.ReplyBuffer;
    if (ch.StatusSeen <= kInStatus) {
        // The status line is the first line of the text.
        StoreTopPiece(ch, piece, n);
        if (!TakeStatusPiece(ch, piece, n)) return DriverError(ch, 0, ZEM_ERR_POP3);
    } else if (TakeDataPiece(ch, piece, &n)) {
        StoreTopPiece(ch, piece, n);
    } else {
        ch.NextState = 313;
        return kStepOn;
    }
    if (PastLimit(ch)) return DriverError(ch, 0, ZEM_ERR_MESSAGE_TOO_LARGE);
    return kStepOn;
}

// ---- RETR --------------------------------------------------------------------------------

// Feeds bytes through the end-line finder. Returns the number of bytes up to and
// including the LF of the line that holds the single dot, or -1 when it is not among them.
int32_t FindRawEnd(Channel &ch, const char *bytes, int32_t n) {
    char *t = ch.RawEndTail;
    for (int32_t i = 0; i < n; ++i) {
        const char b = bytes[i];
        if (b == '\n' && ((t[0] == '\n' && t[1] == '.' && t[2] == '\r') || (t[1] == '\n' && t[2] == '.'))) return i + 1;
        t[0] = t[1];
        t[1] = t[2];
        t[2] = b;
    }
    return -1;
}

int32_t SendRetr(Channel &ch, Tick now) { // 310
    LogFormat(ch, "Saving email to '%s'\r\n", ch.EmailPath);
    int32_t h = FileReplace(ch.EmailPath, false);
    if (h <= 0) {
        ch.EmailFile = 0;
        return DriverError(ch, 0, ZEM_ERR_CANNOT_CREATE_FILE);
    }
    StartMessageFile(ch, h);
    ch.StatusSeen = kAwaitStatus;
    std::memset(ch.RawEndTail, 0, 3);
    FormatText(ch.CmdBuffer, kBufferSize - 3, "RETR %d", ch.MessageNo);
    if (int32_t r = SendCommandLine(ch)) {
        CloseMessageFile(ch);
        return r;
    }
    ArmDeadline(ch, now);
    if (ch.SaveRaw) {
        ch.WakeTick = 0;
        ch.NextState = 309;
    } else {
        ch.WakeTick = After(now, P(gSettings.stepDelay));
        ch.NextState = 312;
    }
    return kStepOn;
}

// Writes raw bytes to the message file and counts them; false when the write failed.
bool WriteRaw(Channel &ch, const char *bytes, int32_t n) {
    ch.TextBytes += n;
    ch.ReceivedBytes += n;
    int32_t w = WriteToEmailFile(ch, bytes, n);
    if (w < 0) return false;
    ch.TextBytesSent += w;
    return true;
}

// The status line of a raw save: read as a line so that a refusal is seen before anything
// is written, then saved as received like the rest.
int32_t ReadRawStatus(Channel &ch, Tick now) {
    if (!AwaitLineEnd(ch, now, After(now, P(gSettings.replyTimeout)))) return kStepOn;
    int32_t n = ReadLine(ch, ch.ReplyBuffer, kLineRoom, 0, 0);
    if (n < 0) {
        LogText(ch, "[EOF1]\r\n");
        return FailRetrieval(ch, ZEM_ERR_SOCKET_CLOSED);
    }
    if (n == 0) return kStepOn;
    ch.StatusSeen = kAtLineStart;
    if (!NoteStatusLine(ch, ch.ReplyBuffer)) return FailRetrieval(ch, ZEM_ERR_POP3);
    FindRawEnd(ch, ch.ReplyBuffer, n);
    if (!WriteRaw(ch, ch.ReplyBuffer, n)) return FailRetrieval(ch, ZEM_ERR_CANNOT_CREATE_FILE);
    if (PastLimit(ch)) return FailRetrieval(ch, ZEM_ERR_MESSAGE_TOO_LARGE);
    ArmDeadline(ch, now);
    return kStepOn;
}

int32_t SaveRaw(Channel &ch, Tick now) { // 309
    // The message ends with its end line; silence or a closed connection before it means
    // a truncated message.
    const int32_t ready = AwaitReadable(ch, now, P(gSettings.pop3DataWait));
    if (ready == kNotYet) return kStepOn; // zemDriver returns; the wait goes on next step
    if (ready == 0) return FailRetrieval(ch, ZEM_ERR_TIMED_OUT);
    if (ch.StatusSeen == kAwaitStatus) return ReadRawStatus(ch, now);
    char *buf = ch.ReplyBuffer;
    // Only what the ring holds is looked at, so bytes after the end line stay there for
    // the next request.
    int32_t k = PeekInput(ch, buf, kRingSize - 1);
    if (k < 0) {
        LogText(ch, "[EOF1]\r\n");
        return FailRetrieval(ch, ZEM_ERR_SOCKET_CLOSED);
    }
    if (k == 0) return kStepOn;
    const int32_t end = FindRawEnd(ch, buf, k);
    const int32_t take = end > 0 ? end : k;
    int32_t n = ReadRaw(ch, buf, take);
    if (n < 0) {
        LogText(ch, "[EOF1]\r\n");
        return FailRetrieval(ch, ZEM_ERR_SOCKET_CLOSED);
    }
    if (!WriteRaw(ch, buf, n)) return FailRetrieval(ch, ZEM_ERR_CANNOT_CREATE_FILE);
    if (PastLimit(ch)) return FailRetrieval(ch, ZEM_ERR_MESSAGE_TOO_LARGE);
    ArmDeadline(ch, now);
    if (end > 0) ch.NextState = 313;
    return kStepOn;
}

// The first byte of the next line when it has already arrived (the decoder then need not
// keep a header line back to see whether it is folded).
int32_t NextLineByte(Channel &ch, const char *piece, int32_t n) {
    char c = 0;
    if (!EndsWithLineFeed(piece, n) || RingPeek(ch, &c, 1) != 1) return kNextUnknown;
    return static_cast<uint8_t>(c);
}

int32_t SaveLines(Channel &ch, Tick now) { // 312
    int32_t n = ReadReplyPiece(ch, now, FourfoldWait(P(gSettings.pop3DataWait)));
    if (n < 0) return FailRetrieval(ch, n);
    if (n == 0) return kStepOn;
    ch.ReceivedBytes += n;
    char *line = ch.ReplyBuffer;
    if (ch.StatusSeen <= kInStatus) {
        // The status line never reaches the file; a refusal ends the request at once.
        if (!TakeStatusPiece(ch, line, n)) return FailRetrieval(ch, ZEM_ERR_POP3);
        if (PastLimit(ch)) return FailRetrieval(ch, ZEM_ERR_MESSAGE_TOO_LARGE);
        ArmDeadline(ch, now);
        return kStepOn;
    }
    if (!TakeDataPiece(ch, line, &n)) {
        ch.NextState = 313;
        return kStepOn;
    }
    // Every line goes through the decoder, which writes the message and attachment files.
    FeedDecoderLine(ch, line, n, NextLineByte(ch, line, n));
    if (ch.WriteFailed) return FailRetrieval(ch, ZEM_ERR_CANNOT_CREATE_FILE);
    if (PastLimit(ch)) return FailRetrieval(ch, ZEM_ERR_MESSAGE_TOO_LARGE);
    ArmDeadline(ch, now);
    return kStepOn;
}

int32_t CloseRetrieval(Channel &ch, Tick) { // 313
    LogText(ch, "[CLOSE]\r\n");
    FinishDecoder(ch); // a header line still kept back
    CloseRetrievalFiles(ch);
    // The attachment-saved line goes into the message file as the attachment closes.
    if (ch.WriteFailed) return DriverError(ch, 0, ZEM_ERR_CANNOT_CREATE_FILE);
    ch.NextState = 0;
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {309, SaveRaw}, {310, SendRetr}, {311, SendTop}, {312, SaveLines}, {313, CloseRetrieval}, {314, ReadTopReply},
};

int32_t CheckRetrievalRequest(Channel &ch, const char *name, int32_t msg) {
    LogRequest(ch, name);
    if (ch.Protocol != 'P') return ZEM_ERR_POP3_ONLY;
    if (msg < 1) return ZEM_ERR_NO_SUCH_MESSAGE;
    return 0;
}

} // namespace

const StateTable kPop3RetrievalStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemGetEmailLines(int32_t Chan, int32_t Msg, int32_t Lines, char *Buffer, int32_t Size) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    if (int32_t r = CheckRetrievalRequest(*ch, "zemGetEmailLines", Msg)) return r;
    if (Buffer != nullptr && Buffer[0] == '*' && Buffer[1] == 0) Buffer = nullptr;
    if (Buffer == nullptr) {
        // Library memory: Size + 2 zero-filled bytes, so the text always ends in a NUL.
        const int64_t bytes = static_cast<int64_t>(Size) + 2;
        if (bytes < 0 || bytes > INT32_MAX) return ZEM_ERR_NO_MEMORY;
        Buffer = static_cast<char *>(AllocateMemory(Chan, kSlotRetrieval, static_cast<int32_t>(bytes)));
        if (Buffer == nullptr) return ZEM_ERR_NO_MEMORY; // also while an earlier text is held
    } else if (Size < 128) {
        return ZEM_ERR_BUFFER_SIZE;
    }
    ch->MessageNo = Msg;
    ch->TopLines = Lines < 0 ? 0 : Lines;
    ch->UserBuffer = Buffer;
    ch->UserBufferSize = Size;
    ch->UserBufferFill = 0;
    ch->EmailDir[0] = 0;
    ch->AttachDir[0] = 0;
    ch->TextBytes = 0;
    ch->AttachBytes = 0;
    ch->ReceivedBytes = 0;
    SetRetrievalLimit(*ch);
    StartRequest(*ch, 311, 1);
    if (ch->AutoCall == 0) return 0;
    int32_t r = RunToEnd(*ch);
    ch->UserBuffer = nullptr; // the caller's buffer is not ours after the request
    return r < 0 ? r : ch->UserBufferFill;
}

extern "C" ZEM_API int32_t zemGetEmailFile(int32_t Chan, int32_t Msg, const char *FileName, const char *MessageDir,
                                           const char *AttachmentDir) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    if (int32_t r = CheckRetrievalRequest(*ch, "zemGetEmailFile", Msg)) return r;
    if (int32_t r = PrepareMessageRetrieval(*ch, FileName, MessageDir, AttachmentDir)) return r;
    ch->MessageNo = Msg;
    SetRetrievalLimit(*ch);
    StartRequest(*ch, 310, 1);
    return RunToEnd(*ch);
}
