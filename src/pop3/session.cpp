// The POP3 session (RFC 1939): login with USER/PASS or APOP, the mailbox queries STAT,
// LIST and UIDL, DELE, and zemCommand's raw command line on either protocol.
#include <cstring>

#include "codec/md5.h"
#include "driver/replies.h"
#include "driver/step.h"
#include "driver/tls_states.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "pop3/reply_lines.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

constexpr int32_t kNameMax = 64;   // UserName, Password
constexpr int32_t kServerMax = 128; // ServerName
constexpr int32_t kCommandMax = 32; // CommandText
constexpr int32_t kLineRoom = 1024; // a reply line: at most 1,023 bytes and the NUL

int32_t StartPop3Connection(Channel &ch, Tick) { // 300
    if (Logging(ch)) LogVersion(ch);
    ch.AfterConnectState = 301;
    ch.NextState = 101;
    return kStepOn;
}

// Keeps the greeting's APOP timestamp, '<' through the first '>' after it (RFC 1939
// section 7). One too long for AuthWork is not kept, so APOP then fails with -57.
void SaveTimestamp(Channel &ch) {
    ch.AuthWork[0] = 0;
    const char *lt = FindChar(ch.ReplyBuffer, '<');
    const char *gt = lt != nullptr ? FindChar(lt, '>') : nullptr;
    if (gt == nullptr) return;
    int32_t len = static_cast<int32_t>(gt - lt) + 1;
    if (len >= kAuthWorkSize) return;
    CopyText(ch.AuthWork, lt, len);
}

int32_t ReadPop3Greeting(Channel &ch, Tick now) { // 301
    if (!ReplyReady(ch)) return kStepOn;
    if (int32_t c = CheckPop3Reply(ch)) return DriverError(ch, 0, c);
    SaveTimestamp(ch);
    ArmReplyWait(ch, now);
    ch.NextState = WantsStartTls(ch) ? 322 : ch.UseApop ? 302 : 303;
    return kStepOn;
}

int32_t SendApop(Channel &ch, Tick now) { // 302
    int32_t stamp = TextLength(ch.AuthWork);
    // The digest is taken over timestamp and password together; both must fit AuthWork.
    if (stamp == 0 || stamp + TextLength(ch.Password) >= kAuthWorkSize) return DriverError(ch, 0, ZEM_ERR_APOP_TIMESTAMP);
    AppendText(ch.AuthWork, ch.Password, kNameMax);
    ApopResponse(ch.AuthWork, ch.UserName);
    FormatText(ch.CmdBuffer, kBufferSize - 3, "APOP %s", ch.AuthWork);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmMediumReplyWait(ch, now);
    ch.NextState = 306;
    return kStepOn;
}

int32_t SendUser(Channel &ch, Tick now) { // 303
    FormatText(ch.CmdBuffer, kBufferSize - 3, "USER %s", ch.UserName);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 304;
    return kStepOn;
}

// The login replies: while none is there the step waits on (for the socket, not a pause).
int32_t CheckLoginReply(Channel &ch, int32_t next) {
    if (!ReplyReady(ch)) return kStepOn;
    if (int32_t c = CheckPop3Reply(ch)) return DriverError(ch, 0, c);
    ch.NextState = next;
    return kStepOn;
}

int32_t CheckUserReply(Channel &ch, Tick) { // 304
    int32_t r = CheckLoginReply(ch, 305);
    if (r == kStepOn && ch.NextState == 305) ch.WaitWritable = 1;
    return r;
}

int32_t SendPass(Channel &ch, Tick now) { // 305
    FormatText(ch.CmdBuffer, kBufferSize - 3, "PASS %s", ch.Password);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmMediumReplyWait(ch, now);
    ch.NextState = 306;
    return kStepOn;
}

int32_t CheckPassReply(Channel &ch, Tick) { return CheckLoginReply(ch, 0); } // 306

// Sends CmdBuffer and arms the reply wait for the state that reads the reply.
int32_t SendQuery(Channel &ch, Tick now, int32_t next) {
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = next;
    return kStepOn;
}

// STAT, LIST and DELE replies: a refusal (-63) is not reported, it leaves the count or
// size at 0 (ReplyCode 500 tells the caller); a vanished server or a time-out is.
// Returns 1 for an accepted reply, 0 for a refused one, or the DriverError result.
int32_t JudgeQueryReply(Channel &ch) {
    int32_t c = CheckPop3Reply(ch);
    if (c == ZEM_ERR_POP3) return 0;
    if (c < 0) return DriverError(ch, 0, c);
    return 1;
}

int32_t SendStat(Channel &ch, Tick now) { // 307
    ch.MessageCount = 0;
    CopyText(ch.CmdBuffer, "STAT", 4);
    return SendQuery(ch, now, 308);
}

int32_t CheckStatReply(Channel &ch, Tick) { // 308
    if (!ReplyReady(ch)) return kStepOn;
    int32_t r = JudgeQueryReply(ch);
    if (r < 0) return r;
    // "+OK nn mm": the count starts just after "+OK " (RFC 1939 section 5, STAT).
    if (r == 1 && TextLength(ch.ReplyBuffer) > 4) ch.MessageCount = ParseReplyCode(ch.ReplyBuffer + 4);
    ch.NextState = 0;
    return kStepOn;
}

int32_t SendDele(Channel &ch, Tick now) { // 315
    FormatText(ch.CmdBuffer, kBufferSize - 3, "DELE %d", ch.MessageNo);
    return SendQuery(ch, now, 316);
}

int32_t CheckDeleReply(Channel &ch, Tick) { // 316
    if (!ReplyReady(ch)) return kStepOn;
    int32_t r = JudgeQueryReply(ch);
    if (r < 0) return r;
    ch.NextState = 0;
    return kStepOn;
}

int32_t SendList(Channel &ch, Tick now) { // 317
    ch.MessageSize = 0;
    ch.ListedMessageNo = 0;
    FormatText(ch.CmdBuffer, kBufferSize - 3, "LIST %d", ch.MessageNo);
    return SendQuery(ch, now, 318);
}

int32_t CheckListReply(Channel &ch, Tick) { // 318
    if (!ReplyReady(ch)) return kStepOn;
    int32_t r = JudgeQueryReply(ch);
    if (r < 0) return r;
    // "+OK msg size": the size follows the second space (RFC 1939 section 5, LIST).
    const char *first = r == 1 ? FindChar(ch.ReplyBuffer, ' ') : nullptr;
    const char *second = first != nullptr ? FindChar(first + 1, ' ') : nullptr;
    if (second != nullptr) ch.MessageSize = ParseReplyCode(second + 1);
    ch.ListedMessageNo = second != nullptr ? ch.MessageNo : 0;
    ch.NextState = 0;
    return kStepOn;
}

bool WantsListing(const Channel &ch) { return ch.MessageNo < 1; }

int32_t SendUidl(Channel &ch, Tick now) { // 320
    if (WantsListing(ch))
        CopyText(ch.CmdBuffer, "UIDL", 4);
    else
        FormatText(ch.CmdBuffer, kBufferSize - 3, "UIDL %d", ch.MessageNo);
    ch.StatusSeen = kAwaitStatus;
    return SendQuery(ch, now, 321);
}

// Appends a line to the caller buffer as far as it has room and terminates the text. The
// room is UserBufferSize (size - 1), so the NUL always lands inside the buffer.
void StoreUidlLine(Channel &ch, const char *line, int32_t n) {
    for (int32_t i = 0; i < n && ch.UserBufferFill < ch.UserBufferSize; ++i) ch.UserBuffer[ch.UserBufferFill++] = line[i];
    ch.UserBuffer[ch.UserBufferFill] = 0;
}

int32_t ReadUidlReply(Channel &ch, Tick now) { // 321
    const int32_t wait = P(gSettings.pop3DataWait);
    if (AwaitReadable(ch, now, wait) != 1) return kStepOn; // DeadlineTick ends a silent server
    // The whole listing must come within the reply time-out from the UIDL command.
    if (!AwaitLineEnd(ch, now, ReplyEnd(ch))) return kStepOn;
    int32_t n = ReadLine(ch, ch.ReplyBuffer, kLineRoom, 0, 0);
    if (n == 0) return kStepOn;
    // A server that goes away before the reply is complete must not pass for a listing.
    if (n < 0) return DriverError(ch, 0, n == -1 ? ZEM_ERR_SOCKET_CLOSED : n);
    char *line = ch.ReplyBuffer;
    const uint8_t phase = ch.StatusSeen;
    if (phase == kAwaitStatus) {
        bool positive = NoteStatusLine(ch, line);
        StoreUidlLine(ch, line, n);
        // A refused listing has no data lines and no end line to wait for.
        if (!positive && WantsListing(ch)) return DriverError(ch, 0, ZEM_ERR_POP3);
    } else if (phase == kInStatus) {
        StoreUidlLine(ch, line, n);
    } else {
        if (phase == kAtLineStart && line[0] == '.') {
            if (IsEndLine(line, n)) {
                ch.NextState = 0;
                return kStepOn;
            }
            n = RemoveStuffedDot(line, n);
        }
        StoreUidlLine(ch, line, n);
    }
    const bool lineDone = EndsWithLineFeed(line, n);
    if (phase <= kInStatus) {
        ch.StatusSeen = lineDone ? kAtLineStart : kInStatus;
        // A single message's reply is its status line alone.
        if (lineDone && !WantsListing(ch)) {
            ch.NextState = 0;
            return kStepOn;
        }
    } else {
        ch.StatusSeen = PhaseAfter(line, n);
    }
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {300, StartPop3Connection}, {301, ReadPop3Greeting}, {302, SendApop},       {303, SendUser},
    {304, CheckUserReply},      {305, SendPass},         {306, CheckPassReply}, {307, SendStat},
    {308, CheckStatReply},      {315, SendDele},         {316, CheckDeleReply}, {317, SendList},
    {318, CheckListReply},      {320, SendUidl},         {321, ReadUidlReply},
};

// The checks shared by the mailbox requests: the protocol mark, then a message number
// when the request needs one.
int32_t CheckMailboxRequest(Channel &ch, const char *name) {
    LogRequest(ch, name);
    return ch.Protocol == 'P' ? 0 : ZEM_ERR_POP3_ONLY;
}

} // namespace

const StateTable kPop3SessionStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemPop3Connect(int32_t Chan, const char *Server, const char *User, const char *Password) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    ch->Protocol = 'P'; // marked even when an argument is refused
    LogRequest(*ch, "zemPop3Connect");
    if (Server == nullptr) return ZEM_ERR_SERVER_MISSING;
    // A CR or LF in a name would end the USER or PASS line early and start a second
    // command of the caller's making.
    if (User == nullptr || HoldsLineEnd(User)) return ZEM_ERR_USER_MISSING;
    if (Password == nullptr || HoldsLineEnd(Password)) return ZEM_ERR_PASSWORD_MISSING;
    if (!IsValidServerName(Server)) return ZEM_ERR_BAD_SERVER_NAME;
    CopyText(ch->ServerName, Server, kServerMax);
    CopyText(ch->UserName, User, kNameMax);
    CopyText(ch->Password, Password, kNameMax);
    ch->RemotePort = ch->Pop3Port;
    ch->MessageCount = 0;
    ch->AttachSaved = 0;
    RingClear(*ch);
    StartRequest(*ch, 300, 0);
    return RunToEnd(*ch);
}

extern "C" ZEM_API int32_t zemGetEmailCount(int32_t Chan) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    if (int32_t r = CheckMailboxRequest(*ch, "zemGetEmailCount")) return r;
    StartRequest(*ch, 307, 1);
    if (ch->AutoCall == 0) return 0;
    int32_t r = RunToEnd(*ch);
    return r < 0 ? r : ch->MessageCount;
}

extern "C" ZEM_API int32_t zemGetEmailSize(int32_t Chan, int32_t Msg) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    if (int32_t r = CheckMailboxRequest(*ch, "zemGetEmailSize")) return r;
    if (Msg < 1) return ZEM_ERR_NO_SUCH_MESSAGE;
    ch->MessageNo = Msg;
    StartRequest(*ch, 317, 1);
    if (ch->AutoCall == 0) return 0;
    int32_t r = RunToEnd(*ch);
    return r < 0 ? r : ch->MessageSize;
}

extern "C" ZEM_API int32_t zemGetEmailUID(int32_t Chan, int32_t Msg, char *Buffer, int32_t Size) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    if (int32_t r = CheckMailboxRequest(*ch, "zemGetEmailUID")) return r;
    if (Buffer == nullptr) return ZEM_ERR_BUFFER_NULL;
    if (Size < 128) return ZEM_ERR_BUFFER_SIZE;
    ch->MessageNo = Msg; // 0 or below: the whole listing
    ch->UserBuffer = Buffer;
    ch->UserBufferSize = Size - 1;
    ch->UserBufferFill = 0;
    StartRequest(*ch, 320, 1);
    if (ch->AutoCall == 0) return 0;
    int32_t r = RunToEnd(*ch);
    ch->UserBuffer = nullptr; // the caller's buffer is not ours after the request
    if (r < 0) return r;
    // The text's length, never looking past the caller's buffer.
    const void *nul = std::memchr(Buffer, 0, static_cast<size_t>(Size));
    return nul != nullptr ? static_cast<int32_t>(static_cast<const char *>(nul) - Buffer) : Size;
}

extern "C" ZEM_API int32_t zemDeleteEmail(int32_t Chan, int32_t Msg) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    if (int32_t r = CheckMailboxRequest(*ch, "zemDelete")) return r;
    if (Msg < 1) return ZEM_ERR_NO_SUCH_MESSAGE;
    ch->MessageNo = Msg;
    StartRequest(*ch, 315, 1);
    return RunToEnd(*ch);
}

extern "C" ZEM_API int32_t zemCommand(int32_t Chan, const char *Command) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    LogRequest(*ch, "zemCommand");
    if (Command == nullptr) return ZEM_ERR_NULL_POINTER;
    CopyText(ch->CommandText, Command, kCommandMax);
    int32_t start;
    if (ch->Protocol == 'P')
        start = 398;
    else if (ch->Protocol == 'S')
        start = 298;
    else
        return ZEM_ERR_BAD_SERVER_NAME; // the channel was never connected
    StartRequest(*ch, start, -1);
    return RunToEnd(*ch);
}
