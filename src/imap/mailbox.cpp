// The IMAP requests on mailboxes and messages (RFC 3501 section 6.3 and 6.4, RFC 4315
// UIDPLUS, RFC 6851 MOVE, RFC 7888 literals): LIST, SELECT/EXAMINE, UID SEARCH, UID FETCH
// of a message into a file (through the incoming decoder) or of its header into a buffer,
// UID STORE, UID COPY/MOVE, EXPUNGE, APPEND of a message file, and the mailbox commands.
// Each export writes its command into the area's Cmd; its states send it and read the
// responses.
#include <cstring>

#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "imap/responses.h"
#include "imap/session.h"
#include "mime/retrieval_files.h"
#include "text/charset.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

enum : int32_t {
    kSendCommand = 420,     // any prepared command whose tagged OK ends the request
    kReadCommand = 421,
    kReadFetch = 423,
    kReadHeader = 424,
    kReadCopy = 426,
    kSendMoveFlags = 427,
    kReadMoveFlags = 428,
    kSendMoveExpunge = 429,
    kReadMoveExpunge = 430,
    kReadAppendGoAhead = 432,
    kSendAppendData = 433,
    kReadAppend = 434,
};

constexpr int32_t kAppendPiece = 16 * 1024;

// The command kind each request's read state expects.
int32_t ReadStateOf(uint8_t cmd) {
    switch (cmd) {
    case kCmdFetchFile: return kReadFetch;
    case kCmdFetchHeader: return kReadHeader;
    case kCmdCopy: return kReadCopy;
    case kCmdAppend: return kReadAppendGoAhead;
    default: return kReadCommand;
    }
}

int32_t SendCommand(Channel &ch, Tick now) { // 420
    ImapArea &a = Imap(ch);
    const uint8_t cmd = a.Command;
    if (int32_t r = StartImapCommand(ch, now, static_cast<ImapCommand>(cmd))) return r;
    ch.NextState = ReadStateOf(cmd);
    if (cmd == kCmdAppend && a.AuthStep == 1) { // LITERAL+: the data follows at once, no reply is awaited
        ch.NextState = kSendAppendData;
        ch.FlushNow = 0;
        ch.WakeTick = 0;
    }
    return kStepOn;
}

int32_t ReadCommand(Channel &ch, Tick now) { // 421
    const int32_t r = AwaitImapResponse(ch, now);
    if (r <= 0) return r;
    ch.NextState = 0;
    return kStepOn;
}

int32_t ReadFetch(Channel &ch, Tick now) { // 423
    const int32_t r = ReadImapResponses(ch, now);
    if (r == kImapWaiting) return kStepOn;
    if (r < 0) return r; // the files are closed by the reader's failure paths
    CloseRetrievalFiles(ch);
    if (r != kImapOk) return r == kImapRefused ? ImapRefused(ch) : DriverError(ch, 0, ZEM_ERR_MALFORMED_REPLY);
    if (!Imap(ch).BodySeen) return RequestFailed(ch, ZEM_ERR_NO_SUCH_MESSAGE);
    if (ch.WriteFailed) return DriverError(ch, 0, ZEM_ERR_CANNOT_CREATE_FILE);
    ch.NextState = 0;
    return kStepOn;
}

int32_t ReadHeader(Channel &ch, Tick now) { // 424
    const int32_t r = AwaitImapResponse(ch, now);
    if (r <= 0) return r;
    if (!Imap(ch).BodySeen) return RequestFailed(ch, ZEM_ERR_NO_SUCH_MESSAGE);
    ch.NextState = 0;
    return kStepOn;
}

// ---- COPY, and MOVE without the MOVE extension --------------------------------------------

int32_t ReadCopy(Channel &ch, Tick now) { // 426
    const int32_t r = AwaitImapResponse(ch, now);
    if (r <= 0) return r;
    ImapArea &a = Imap(ch);
    // Moving by COPY: the originals go with STORE \Deleted and UID EXPUNGE of just these
    // UIDs; without UIDPLUS an EXPUNGE would remove messages the caller did not name.
    if (a.AppendLeft == 1) {
        if (!(a.Caps & kCapUidPlus)) return RequestFailed(ch, ZEM_ERR_NO_MOVE);
        ch.NextState = kSendMoveFlags;
        return kStepOn;
    }
    ch.NextState = 0;
    return kStepOn;
}

int32_t SendMoveFlags(Channel &ch, Tick now) { // 427
    ImapArea &a = Imap(ch);
    char line[kImapTokenMax + 64];
    FormatText(line, sizeof line, "UID STORE %s +FLAGS.SILENT (\\Deleted)", ch.Filename);
    SetImapCommand(ch, line);
    if (int32_t r = StartImapCommand(ch, now, kCmdPlain)) return r;
    a.Command = kCmdCopy; // keeps the COPYUID result apart from the STORE's responses
    ch.NextState = kReadMoveFlags;
    return kStepOn;
}

int32_t ReadMoveFlags(Channel &ch, Tick now) { // 428
    const int32_t r = AwaitImapResponse(ch, now);
    if (r <= 0) return r;
    ch.NextState = kSendMoveExpunge;
    return kStepOn;
}

int32_t SendMoveExpunge(Channel &ch, Tick now) { // 429
    char line[kImapTokenMax + 32];
    FormatText(line, sizeof line, "UID EXPUNGE %s", ch.Filename);
    return SendImapLine(ch, now, line, kCmdPlain, kReadMoveExpunge);
}

// ---- APPEND ------------------------------------------------------------------------------

int32_t CloseAppendFile(Channel &ch);

int32_t ReadAppendGoAhead(Channel &ch, Tick now) { // 432
    const int32_t r = ReadImapResponses(ch, now);
    if (r == kImapWaiting) return kStepOn;
    if (r < 0 || r != kImapContinue) CloseAppendFile(ch);
    if (r < 0) return r;
    if (r == kImapRefused) return ImapRefused(ch);
    if (r != kImapContinue) return DriverError(ch, 0, ZEM_ERR_MALFORMED_REPLY);
    ch.NextState = kSendAppendData;
    return kStepOn;
}

// The file's bytes with every line end made CR LF (a bare CR or LF alike).
int32_t CrLfPiece(Channel &ch, const char *in, int32_t n, char *out) {
    int32_t k = 0;
    for (int32_t i = 0; i < n; ++i) {
        const char c = in[i];
        if (c == '\n' && ch.FileAfterCr) {
            ch.FileAfterCr = 0;
            continue;
        }
        ch.FileAfterCr = c == '\r';
        if (c == '\r' || c == '\n') {
            out[k++] = '\r';
            out[k++] = '\n';
        } else {
            out[k++] = c;
        }
    }
    return k;
}

// The message file being appended is the channel's file being sent: a failure that ends
// the request (DriverError), zemClose and zemRelease close it too.
int32_t CloseAppendFile(Channel &ch) {
    if (ch.SendFile > 0) FileClose(ch.SendFile);
    ch.SendFile = 0;
    return 0;
}

int32_t SendAppendData(Channel &ch, Tick now) { // 433
    ImapArea &a = Imap(ch);
    char in[kAppendPiece];
    char out[2 * kAppendPiece];
    const int32_t n = ch.SendFile > 0 ? FileRead(ch.SendFile, in, kAppendPiece) : 0;
    if (n > 0) {
        int32_t k = CrLfPiece(ch, in, n, out);
        // The file may have grown since it was measured: never more than the literal says.
        if (k > a.AppendLeft) k = static_cast<int32_t>(a.AppendLeft);
        a.AppendLeft -= k;
        const int32_t r = SendData(ch, out, k);
        if (r < 0) return CloseAppendFile(ch), DriverError(ch, r, ZEM_ERR_WRITE);
        ch.WaitWritable = 1;
        ArmDeadline(ch, now);
        if (a.AppendLeft > 0) return kStepOn;
    }
    CloseAppendFile(ch);
    // A file that shrank is padded to the size announced: the literal must be whole.
    while (a.AppendLeft > 0) {
        const int32_t k = a.AppendLeft > kAppendPiece ? kAppendPiece : static_cast<int32_t>(a.AppendLeft);
        std::memset(out, ' ', static_cast<size_t>(k));
        if (SendData(ch, out, k) < 0) return DriverError(ch, 0, ZEM_ERR_WRITE);
        a.AppendLeft -= k;
    }
    if (SendData(ch, "\r\n", 2) < 0) return DriverError(ch, 0, ZEM_ERR_WRITE);
    ArmReplyWait(ch, now);
    a.Command = kCmdAppend;
    ch.NextState = kReadAppend;
    return kStepOn;
}

int32_t ReadAppend(Channel &ch, Tick now) { // 434
    const int32_t r = AwaitImapResponse(ch, now);
    if (r <= 0) return r;
    ch.NextState = 0;
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {kSendCommand, SendCommand},         {kReadCommand, ReadCommand},         {kReadFetch, ReadFetch},
    {kReadHeader, ReadHeader},           {kReadCopy, ReadCopy},               {kSendMoveFlags, SendMoveFlags},
    {kReadMoveFlags, ReadMoveFlags},     {kSendMoveExpunge, SendMoveExpunge}, {kReadMoveExpunge, ReadCommand},
    {kReadAppendGoAhead, ReadAppendGoAhead}, {kSendAppendData, SendAppendData}, {kReadAppend, ReadAppend},
};

} // namespace

const StateTable kImapMailboxStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

// ---- What the exports share ----------------------------------------------------------------

namespace {

// Criteria that would break the command line: a line end anywhere, or a '{' outside a
// quoted string (a literal header whose bytes never come: the server would wait for them).
bool BreaksTheLine(const char *t) {
    bool quoted = false;
    for (; *t; ++t) {
        if (*t == '\r' || *t == '\n') return true;
        if (quoted && *t == '\\' && t[1] != 0) {
            ++t;
            continue;
        }
        if (*t == '"') quoted = !quoted;
        if (!quoted && *t == '{') return true;
    }
    return false;
}

// A UID set: digits, ':', ',' and '*' only, not empty.
bool IsUidSet(const char *t) {
    if (t == nullptr || *t == 0 || TextLength(t) > kImapTokenMax) return false;
    for (; *t; ++t)
        if (!((*t >= '0' && *t <= '9') || *t == ':' || *t == ',' || *t == '*')) return false;
    return true;
}

// Flags: atoms such as \Seen or $Label separated by spaces; nothing that could close the
// list or the line early.
bool AreFlags(const char *t) {
    for (; *t; ++t) {
        const auto c = static_cast<uint8_t>(*t);
        if (c < 0x20 || c >= 0x7f || c == '(' || c == ')' || c == '"' || c == '{' || c == '%' || c == '*' || c == ']')
            return false;
    }
    return true;
}

// Runs a prepared command (in Cmd, of the kind given) to its end.
int32_t RunCommand(Channel &ch, ImapCommand cmd) {
    Imap(ch).Command = cmd;
    StartRequest(ch, kSendCommand, 1);
    return RunToEnd(ch);
}

void AppendRaw(Channel &ch, const char *text) {
    ImapArea &a = Imap(ch);
    a.CmdLen += CopyText(a.Cmd + a.CmdLen, text, kImapCmdMax - a.CmdLen);
}

// Cmd = word, one space, the mailbox name (and more may follow). -47 for a name that
// cannot be sent.
int32_t CommandWithMailbox(Channel &ch, const char *word, const char *mailbox) {
    if (mailbox == nullptr) return ZEM_ERR_NULL_POINTER;
    if (!SetImapCommand(ch, word)) return ZEM_ERR_BAD_CHAR;
    AppendRaw(ch, " ");
    return AppendImapMailbox(ch, mailbox) ? 0 : ZEM_ERR_BAD_CHAR;
}

// The caller's buffer for LIST and SEARCH: Size - 1 bytes and the NUL.
int32_t TakeUserBuffer(Channel &ch, char *buffer, int32_t size) {
    if (buffer == nullptr) return ZEM_ERR_BUFFER_NULL;
    if (size < 1) return ZEM_ERR_BUFFER_SIZE;
    buffer[0] = 0;
    ch.UserBuffer = buffer;
    ch.UserBufferSize = size - 1;
    ch.UserBufferFill = 0;
    Imap(ch).Count = 0;
    Imap(ch).Stored = 0;
    Imap(ch).Overflow = 0;
    return 0;
}

// Search criteria: quoted strings holding 8-bit bytes go as literals (LITERAL+), with
// CHARSET UTF-8 in front; without LITERAL+ they stay quoted (most servers take them).
int32_t AppendCriteria(Channel &ch, const char *criteria) {
    ImapArea &a = Imap(ch);
    const bool eightBit = !IsAsciiText(criteria, TextLength(criteria));
    if (eightBit && !a.Utf8On) AppendRaw(ch, "CHARSET UTF-8 ");
    const bool literals = eightBit && !a.Utf8On && (a.Caps & kCapLiteralPlus);
    for (const char *p = criteria; *p;) {
        if (*p != '"' || !literals) {
            if (a.CmdLen >= kImapCmdMax) return ZEM_ERR_RESPONSE_OVERFLOW;
            a.Cmd[a.CmdLen++] = *p++;
            continue;
        }
        char value[kImapTokenMax + 1];
        int32_t n = 0;
        const char *q = p + 1;
        for (; *q && *q != '"' && n < kImapTokenMax; ++q) {
            if (*q == '\\' && q[1]) ++q;
            value[n++] = *q;
        }
        value[n] = 0;
        if (*q != '"') return ZEM_ERR_BAD_CHAR;
        char head[32];
        const int32_t h = FormatText(head, sizeof head, "{%d+}\r\n", n);
        if (a.CmdLen + h + n >= kImapCmdMax) return ZEM_ERR_RESPONSE_OVERFLOW;
        std::memcpy(a.Cmd + a.CmdLen, head, static_cast<size_t>(h));
        std::memcpy(a.Cmd + a.CmdLen + h, value, static_cast<size_t>(n));
        a.CmdLen += h + n;
        p = q + 1;
    }
    a.Cmd[a.CmdLen] = 0;
    return 0;
}

// A blocking request's result; the caller's buffer is not ours after it. A non-blocking
// one keeps the buffer until its steps have run (the count is then ZEM_STAT_IMAP_STORED's
// companion: the caller reads the buffer).
int32_t StoredResult(Channel &ch, int32_t r) {
    if (ch.AutoCall == 0) return r;
    ch.UserBuffer = nullptr;
    return r < 0 ? r : Imap(ch).Count;
}

} // namespace

} // namespace zem

using namespace zem;

namespace {
// The channel of an IMAP request, or the code.
int32_t Begin(int32_t chan, const char *name, Channel **ch) {
    if (int32_t r = FindChannel(chan, ch)) return r;
    return CheckImapRequest(**ch, name);
}
} // namespace

extern "C" ZEM_API int32_t zemImapList(int32_t Chan, const char *Pattern, char *Buffer, int32_t Size) {
    Channel *ch = nullptr;
    if (int32_t r = Begin(Chan, "zemImapList", &ch)) return r;
    if (int32_t r = TakeUserBuffer(*ch, Buffer, Size)) return r;
    SetImapCommand(*ch, "LIST \"\" ");
    if (!AppendImapMailbox(*ch, Pattern != nullptr ? Pattern : "*")) return ZEM_ERR_BAD_CHAR;
    if (Imap(*ch).Caps & kCapSpecialUse) AppendRaw(*ch, " RETURN (SPECIAL-USE)");
    return StoredResult(*ch, RunCommand(*ch, kCmdList));
}

extern "C" ZEM_API int32_t zemImapSelect(int32_t Chan, const char *Mailbox, int32_t ReadOnly) {
    Channel *ch = nullptr;
    if (int32_t r = Begin(Chan, "zemImapSelect", &ch)) return r;
    if (int32_t r = CommandWithMailbox(*ch, ReadOnly ? "EXAMINE" : "SELECT", Mailbox)) return r;
    ImapArea &a = Imap(*ch);
    if (a.Caps & kCapCondStore) AppendRaw(*ch, " (CONDSTORE)");
    a.Exists = a.Unseen = 0;
    a.UidValidity = a.UidNext = a.HighestModseq = 0;
    const int32_t r = RunCommand(*ch, kCmdSelect);
    return r < 0 ? r : static_cast<int32_t>(a.Exists > INT32_MAX ? INT32_MAX : a.Exists);
}

extern "C" ZEM_API int32_t zemImapSearch(int32_t Chan, const char *Criteria, char *Buffer, int32_t Size) {
    Channel *ch = nullptr;
    if (int32_t r = Begin(Chan, "zemImapSearch", &ch)) return r;
    if (Criteria == nullptr) return ZEM_ERR_NULL_POINTER;
    if (BreaksTheLine(Criteria)) return ZEM_ERR_BAD_CHAR;
    if (int32_t r = TakeUserBuffer(*ch, Buffer, Size)) return r;
    SetImapCommand(*ch, "UID SEARCH ");
    if (int32_t r = AppendCriteria(*ch, Criteria[0] ? Criteria : "ALL")) return r;
    return StoredResult(*ch, RunCommand(*ch, kCmdSearch));
}

extern "C" ZEM_API int32_t zemImapFetchFile(int32_t Chan, uint32_t Uid, const char *FileName, const char *MessageDir,
                                            const char *AttachmentDir) {
    Channel *ch = nullptr;
    if (int32_t r = Begin(Chan, "zemImapFetchFile", &ch)) return r;
    if (Uid == 0) return ZEM_ERR_NO_SUCH_MESSAGE;
    if (int32_t r = PrepareMessageRetrieval(*ch, FileName, MessageDir, AttachmentDir)) return r;
    ch->RetrievalLimit = ch->MaxMessageSize;
    Imap(*ch).BodySeen = 0;
    char line[64];
    FormatText(line, sizeof line, "UID FETCH %u BODY.PEEK[]", static_cast<unsigned>(Uid));
    SetImapCommand(*ch, line);
    return RunCommand(*ch, kCmdFetchFile);
}

extern "C" ZEM_API int32_t zemImapFetchHeader(int32_t Chan, uint32_t Uid, char *Buffer, int32_t Size) {
    Channel *ch = nullptr;
    if (int32_t r = Begin(Chan, "zemImapFetchHeader", &ch)) return r;
    if (Uid == 0) return ZEM_ERR_NO_SUCH_MESSAGE;
    if (int32_t r = TakeUserBuffer(*ch, Buffer, Size)) return r;
    Imap(*ch).BodySeen = 0;
    char line[64];
    FormatText(line, sizeof line, "UID FETCH %u BODY.PEEK[HEADER]", static_cast<unsigned>(Uid));
    SetImapCommand(*ch, line);
    const int32_t r = RunCommand(*ch, kCmdFetchHeader);
    if (ch->AutoCall == 0) return r;
    ch->UserBuffer = nullptr;
    return r < 0 ? r : ch->UserBufferFill;
}

extern "C" ZEM_API int32_t zemImapStore(int32_t Chan, const char *UidSet, const char *Flags) {
    Channel *ch = nullptr;
    if (int32_t r = Begin(Chan, "zemImapStore", &ch)) return r;
    if (UidSet == nullptr || Flags == nullptr) return ZEM_ERR_NULL_POINTER;
    const char *how = Flags[0] == '+' ? "+FLAGS.SILENT" : Flags[0] == '-' ? "-FLAGS.SILENT" : "FLAGS.SILENT";
    const char *list = (Flags[0] == '+' || Flags[0] == '-') ? Flags + 1 : Flags;
    if (!IsUidSet(UidSet) || !AreFlags(list) || TextLength(list) > kImapTokenMax) return ZEM_ERR_BAD_CHAR;
    char line[2 * kImapTokenMax + 64];
    FormatText(line, sizeof line, "UID STORE %s %s (%s)", UidSet, how, list);
    SetImapCommand(*ch, line);
    return RunCommand(*ch, kCmdPlain);
}

extern "C" ZEM_API int32_t zemImapCopy(int32_t Chan, const char *UidSet, const char *Mailbox, int32_t Move) {
    Channel *ch = nullptr;
    if (int32_t r = Begin(Chan, "zemImapCopy", &ch)) return r;
    if (UidSet == nullptr) return ZEM_ERR_NULL_POINTER;
    if (!IsUidSet(UidSet)) return ZEM_ERR_BAD_CHAR;
    ImapArea &a = Imap(*ch);
    const bool moveCommand = Move && (a.Caps & kCapMove);
    char head[kImapTokenMax + 32];
    FormatText(head, sizeof head, "UID %s %s", moveCommand ? "MOVE" : "COPY", UidSet);
    if (int32_t r = CommandWithMailbox(*ch, head, Mailbox)) return r;
    CopyText(ch->Filename, UidSet, static_cast<int32_t>(sizeof ch->Filename) - 1); // for the expunge
    if (TextLength(UidSet) >= static_cast<int32_t>(sizeof ch->Filename) && Move && !moveCommand) return ZEM_ERR_BAD_CHAR;
    a.AppendLeft = Move && !moveCommand ? 1 : 0; // the copy is a move's first half
    a.NewUid = 0;
    const int32_t r = RunCommand(*ch, kCmdCopy);
    return r < 0 ? r : static_cast<int32_t>(a.NewUid > INT32_MAX ? 0 : a.NewUid);
}

extern "C" ZEM_API int32_t zemImapExpunge(int32_t Chan, const char *UidSet) {
    Channel *ch = nullptr;
    if (int32_t r = Begin(Chan, "zemImapExpunge", &ch)) return r;
    if (UidSet == nullptr) {
        SetImapCommand(*ch, "EXPUNGE");
    } else {
        if (!IsUidSet(UidSet)) return ZEM_ERR_BAD_CHAR;
        if (!(Imap(*ch).Caps & kCapUidPlus)) return ZEM_ERR_NO_MOVE;
        char line[kImapTokenMax + 32];
        FormatText(line, sizeof line, "UID EXPUNGE %s", UidSet);
        SetImapCommand(*ch, line);
    }
    return RunCommand(*ch, kCmdPlain);
}

extern "C" ZEM_API int32_t zemImapAppend(int32_t Chan, const char *Mailbox, const char *FileName, const char *Flags) {
    Channel *ch = nullptr;
    if (int32_t r = Begin(Chan, "zemImapAppend", &ch)) return r;
    if (FileName == nullptr || FileName[0] == 0) return ZEM_ERR_MISSING_FILENAME;
    if (Flags != nullptr && (!AreFlags(Flags) || TextLength(Flags) > kImapTokenMax)) return ZEM_ERR_BAD_CHAR;
    if (int32_t r = CommandWithMailbox(*ch, "APPEND", Mailbox)) return r;
    ImapArea &a = Imap(*ch);
    CloseAppendFile(*ch);
    // The literal's size is that of the file with its line ends made CR LF: measured first.
    const int32_t h = FileOpenRead(FileName);
    if (h <= 0) return ZEM_ERR_CANNOT_OPEN_FILE;
    int64_t size = 0;
    char in[kAppendPiece];
    char out[2 * kAppendPiece];
    ch->FileAfterCr = 0;
    for (int32_t n; (n = FileRead(h, in, kAppendPiece)) > 0;) size += CrLfPiece(*ch, in, n, out);
    FileClose(h);
    ch->SendFile = FileOpenRead(FileName);
    if (ch->SendFile <= 0) return ZEM_ERR_CANNOT_OPEN_FILE;
    ch->FileAfterCr = 0;
    a.AppendLeft = size;
    a.NewUid = 0;
    if (Flags != nullptr && Flags[0] != 0) {
        AppendRaw(*ch, " (");
        AppendRaw(*ch, Flags);
        AppendRaw(*ch, ")");
    }
    const bool nonSync = (a.Caps & kCapLiteralPlus) || ((a.Caps & kCapLiteralMinus) && size <= 4096);
    char literal[40];
    FormatText(literal, sizeof literal, " {%lld%s}", static_cast<long long>(size), nonSync ? "+" : "");
    AppendRaw(*ch, literal);
    a.AuthStep = nonSync ? 1 : 0; // SendCommand: go on with the data at once
    const int32_t r = RunCommand(*ch, kCmdAppend);
    if (ch->AutoCall == 0) return r; // the steps send the file and close it
    CloseAppendFile(*ch);
    return r < 0 ? r : static_cast<int32_t>(a.NewUid > INT32_MAX ? 0 : a.NewUid);
}

extern "C" ZEM_API int32_t zemImapMailbox(int32_t Chan, int32_t Op, const char *Name, const char *NewName) {
    Channel *ch = nullptr;
    if (int32_t r = Begin(Chan, "zemImapMailbox", &ch)) return r;
    static const char *const kWords[] = {"CREATE", "DELETE", "RENAME", "SUBSCRIBE", "UNSUBSCRIBE"};
    if (Op < ZEM_IMAP_CREATE || Op > ZEM_IMAP_UNSUBSCRIBE) return ZEM_ERR_BAD_STATUS_FLAG;
    if (int32_t r = CommandWithMailbox(*ch, kWords[Op - 1], Name)) return r;
    if (Op == ZEM_IMAP_RENAME) {
        if (NewName == nullptr) return ZEM_ERR_NULL_POINTER;
        AppendRaw(*ch, " ");
        if (!AppendImapMailbox(*ch, NewName)) return ZEM_ERR_BAD_CHAR;
    }
    return RunCommand(*ch, kCmdPlain);
}
