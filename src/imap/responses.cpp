#include "imap/responses.h"

#include <cstring>

#include "driver/replies.h"
#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "imap/command_writer.h"
#include "mime/message_file.h"
#include "mime/mime_decoder.h"
#include "mime/retrieval_files.h"
#include "text/mutf7.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

// Bytes a step takes at most before it lets the frame run other channels.
constexpr int32_t kStepBudget = 256 * 1024;

bool Is(const char *a, const char *b) { return SameTextNoCase(a, b, kImapTokenMax + 1); }
bool StartsWithNoCase(const char *text, const char *prefix) { return SameTextNoCase(text, prefix, TextLength(prefix)); }

struct WordName {
    const char *name;
    ImapWord word;
};
constexpr WordName kWords[] = {
    {"OK", kWordOk},         {"NO", kWordNo},         {"BAD", kWordBad},         {"BYE", kWordBye},
    {"PREAUTH", kWordPreauth}, {"CAPABILITY", kWordCapability}, {"LIST", kWordList}, {"SEARCH", kWordSearch},
    {"ESEARCH", kWordEsearch}, {"EXISTS", kWordExists}, {"EXPUNGE", kWordExpunge}, {"FETCH", kWordFetch},
    {"ENABLED", kWordEnabled},
};

ImapWord WordOf(const char *text) {
    for (const WordName &w : kWords)
        if (Is(text, w.name)) return w.word;
    return kWordOther;
}

bool IsStatus(uint8_t w) { return w >= kWordOk && w <= kWordPreauth; }

struct CapName {
    const char *name;
    uint32_t bit;
};
constexpr CapName kCaps[] = {
    {"IMAP4REV1", kCapImap4rev1},     {"IMAP4REV2", kCapImap4rev2},     {"STARTTLS", kCapStartTls},
    {"LOGINDISABLED", kCapLoginDisabled}, {"SASL-IR", kCapSaslIr},      {"LITERAL+", kCapLiteralPlus},
    {"LITERAL-", kCapLiteralMinus},   {"ENABLE", kCapEnable},           {"UTF8=ACCEPT", kCapUtf8Accept},
    {"MOVE", kCapMove},               {"UIDPLUS", kCapUidPlus},         {"SPECIAL-USE", kCapSpecialUse},
    {"IDLE", kCapIdle},               {"CONDSTORE", kCapCondStore},     {"QRESYNC", kCapQresync},
    {"AUTH=PLAIN", kCapAuthPlain},    {"AUTH=CRAM-MD5", kCapAuthCramMd5}, {"AUTH=XOAUTH2", kCapAuthXoauth2},
    {"AUTH=OAUTHBEARER", kCapAuthOauthBearer}, {"AUTH=LOGIN", kCapAuthLogin},
};

// ---- What the caller's buffer collects ---------------------------------------------------

// Appends text to the caller's buffer when the whole of it fits; else marks the overflow.
void ToUserBuffer(Channel &ch, const char *text, int32_t n) {
    if (ch.UserBuffer == nullptr) return;
    if (n > ch.UserBufferSize - ch.UserBufferFill) {
        Imap(ch).Overflow = 1;
        return;
    }
    std::memcpy(ch.UserBuffer + ch.UserBufferFill, text, static_cast<size_t>(n));
    ch.UserBufferFill += n;
    ch.UserBuffer[ch.UserBufferFill] = 0;
}

void NoteSearchUid(Channel &ch, const char *digits) {
    ImapArea &a = Imap(ch);
    if (a.Count < INT32_MAX) ++a.Count;
    if (a.Overflow) return; // the list stops at the first UID that did not fit: no gaps
    char item[24];
    int32_t k = 0;
    if (ch.UserBufferFill > 0) item[k++] = ' ';
    k += CopyText(item + k, digits, static_cast<int32_t>(sizeof item) - k - 1);
    ToUserBuffer(ch, item, k);
    if (!a.Overflow) ++a.Stored;
}

// The UIDs of an ESEARCH ALL set (RFC 4731, the SEARCH result of IMAP4rev2): "4:6,9". A
// range counts whole; its UIDs are listed while the caller's buffer has room.
void NoteUidSet(Channel &ch, const char *set) {
    ImapArea &a = Imap(ch);
    for (const char *p = set; *p;) {
        uint64_t lo = 0, hi = 0;
        for (; *p >= '0' && *p <= '9' && lo < (uint64_t{1} << 32); ++p) lo = lo * 10 + static_cast<uint64_t>(*p - '0');
        hi = lo;
        if (*p == ':') {
            hi = 0;
            for (++p; *p >= '0' && *p <= '9' && hi < (uint64_t{1} << 32); ++p) hi = hi * 10 + static_cast<uint64_t>(*p - '0');
        }
        if (hi < lo) {
            const uint64_t t = lo;
            lo = hi;
            hi = t;
        }
        for (uint64_t uid = lo; uid <= hi && lo > 0; ++uid) {
            if (a.Overflow) { // counted without being listed
                const uint64_t rest = hi - uid + 1 + static_cast<uint64_t>(a.Count);
                a.Count = rest > INT32_MAX ? INT32_MAX : static_cast<int32_t>(rest);
                break;
            }
            char digits[24];
            FormatText(digits, sizeof digits, "%llu", static_cast<unsigned long long>(uid));
            NoteSearchUid(ch, digits);
        }
        if (*p != ',') break;
        ++p;
    }
}

// "name<TAB>attributes<LF>" of one LIST response; the name as UTF-8.
void NoteListEntry(Channel &ch, const char *wireName) {
    ImapArea &a = Imap(ch);
    ++a.Count;
    char name[kImapTokenMax * 2 + 1];
    if (a.Utf8On || Mutf7ToUtf8(wireName, name, sizeof name) < 0) CopyText(name, wireName, sizeof name - 1);
    // One line per mailbox, one TAB in it: a control byte in a name (a server's literal or
    // an encoded one) shows as '_'.
    for (char *c = name; *c; ++c)
        if (static_cast<uint8_t>(*c) < 0x20 || *c == 0x7f) *c = '_';
    // The entry goes in whole or not at all.
    if (a.Overflow || TextLength(name) + a.AttrsLen + 2 > ch.UserBufferSize - ch.UserBufferFill) {
        a.Overflow = 1;
        return;
    }
    ToUserBuffer(ch, name, TextLength(name));
    ToUserBuffer(ch, "\t", 1);
    ToUserBuffer(ch, a.Attrs, a.AttrsLen);
    ToUserBuffer(ch, "\n", 1);
    ++a.Stored;
}

// ---- Response codes (RFC 3501 section 7.1) ------------------------------------------------

void ApplyCode(Channel &ch) {
    ImapArea &a = Imap(ch);
    const char *c = a.Code;
    if (Is(c, "UIDVALIDITY")) a.UidValidity = a.CodeNum[0];
    else if (Is(c, "UIDNEXT")) a.UidNext = a.CodeNum[0];
    else if (Is(c, "UNSEEN")) a.Unseen = static_cast<uint32_t>(a.CodeNum[0]);
    else if (Is(c, "HIGHESTMODSEQ")) a.HighestModseq = a.CodeNum[0];
    else if (Is(c, "APPENDUID")) a.NewUid = a.CodeNum[1];
}

void CodeToken(Channel &ch, const ImapToken &t, const char *text) {
    ImapArea &a = Imap(ch);
    if (t.kind == ImapTok::CodeClose) {
        a.InCode = 0;
        ApplyCode(ch);
        return;
    }
    if (a.CodeWord == 0) {
        CopyText(a.Code, text, sizeof a.Code - 1);
        if (Is(a.Code, "CAPABILITY")) {
            a.Caps = 0;
            a.CapsFresh = 1;
        }
    } else if (Is(a.Code, "CAPABILITY") && t.kind == ImapTok::Atom) {
        a.Caps |= ImapCapabilityBit(text);
    } else if (t.kind == ImapTok::Number && a.CodeWord <= 2) {
        a.CodeNum[a.CodeWord - 1] = t.number;
    } else if (a.CodeWord == 3 && a.Command == kCmdCopy && Is(a.Code, "COPYUID")) {
        uint64_t uid = 0; // the first UID of the destination set ("7:9" or "7,8")
        for (const char *d = text; *d >= '0' && *d <= '9' && uid < (uint64_t{1} << 32); ++d) uid = uid * 10 + static_cast<uint64_t>(*d - '0');
        a.NewUid = uid;
    }
    ++a.CodeWord;
}

// ---- FETCH items -------------------------------------------------------------------------

void FetchToken(Channel &ch, const ImapToken &t, const char *text) {
    ImapArea &a = Imap(ch);
    if (a.Depth == 1 && !a.ItemValue) { // an item name
        if (t.kind == ImapTok::Atom) {
            CopyText(a.Item, text, sizeof a.Item - 1);
            a.ItemValue = 1;
        }
        return;
    }
    if (a.Depth == 1) { // the value of a simple item
        if (Is(a.Item, "UID") && t.kind == ImapTok::Number) a.FetchUid = static_cast<uint32_t>(t.number);
        if (t.kind == ImapTok::Quoted && a.Command == kCmdFetchHeader && StartsWithNoCase(a.Item, "BODY[")) {
            ToUserBuffer(ch, text, t.len); // a header short enough to come quoted
            a.BodySeen = 1;
        }
        a.ItemValue = 0;
    }
}

// ---- The line ----------------------------------------------------------------------------

void StartLine(ImapArea &a) {
    a.Kind = kLineStart;
    a.Word = kWordNone;
    a.InCode = 0;
    a.CodeWord = 0;
    a.Code[0] = 0;
    a.CodeNum[0] = a.CodeNum[1] = 0;
    a.Index = 0;
    a.Number = 0;
    a.HasNumber = 0;
    a.Depth = 0;
    a.Item[0] = 0;
    a.ItemValue = 0;
    a.AttrsLen = 0;
    a.Attrs[0] = 0;
}

void FirstToken(Channel &ch, const ImapToken &t, const char *text) {
    ImapArea &a = Imap(ch);
    a.Text[0] = 0; // the last line's text stays readable until the next line begins
    if (t.kind == ImapTok::Atom && text[0] == '*' && text[1] == 0) {
        a.Kind = kUntagged;
    } else if (t.kind == ImapTok::Atom && text[0] == '+' && text[1] == 0) {
        a.Kind = kContinuation;
        ImapParserTextMode(a.Parser);
    } else {
        a.Kind = std::strcmp(text, a.Tag) == 0 ? kOurTag : kOtherTag;
    }
}

void SecondToken(Channel &ch, const ImapToken &t, const char *text) {
    ImapArea &a = Imap(ch);
    if (a.Kind == kUntagged && t.kind == ImapTok::Number) {
        a.Number = t.number;
        a.HasNumber = 1;
        return;
    }
    if (t.kind != ImapTok::Atom) return;
    a.Word = static_cast<uint8_t>(WordOf(text));
    if (IsStatus(a.Word)) ImapParserTextMode(a.Parser);
    if (a.Word == kWordCapability) {
        a.Caps = 0;
        a.CapsFresh = 1;
    }
}

// A token after the keyword of an untagged data response.
void DataToken(Channel &ch, const ImapToken &t, const char *text) {
    ImapArea &a = Imap(ch);
    if (a.Index == 2 && a.HasNumber && a.Word == kWordNone && t.kind == ImapTok::Atom) {
        a.Word = static_cast<uint8_t>(WordOf(text));
        if (a.Word == kWordExists) a.Exists = static_cast<uint32_t>(a.Number);
        if (a.Word == kWordExpunge && a.Exists > 0) --a.Exists;
        if (a.Word == kWordExists || a.Word == kWordExpunge || a.Word == kWordFetch) a.Changed = 1;
        if (a.Word == kWordFetch) a.FetchUid = 0;
        return;
    }
    switch (a.Word) {
    case kWordCapability:
        if (t.kind == ImapTok::Atom) a.Caps |= ImapCapabilityBit(text);
        break;
    case kWordEnabled:
        if (t.kind == ImapTok::Atom && Is(text, "UTF8=ACCEPT")) a.Utf8On = 1;
        break;
    case kWordSearch:
        if (a.Command == kCmdSearch && a.Depth == 0 && t.kind == ImapTok::Number) NoteSearchUid(ch, text);
        break;
    case kWordEsearch: // "* ESEARCH (TAG "Z0003") UID ALL 4:6,9"
        if (a.Command != kCmdSearch || a.Depth != 0) break;
        if (Is(a.Item, "ALL") && (t.kind == ImapTok::Atom || t.kind == ImapTok::Number)) NoteUidSet(ch, text);
        CopyText(a.Item, t.kind == ImapTok::Atom ? text : "", sizeof a.Item - 1);
        break;
    case kWordList:
        if (a.Command != kCmdList) break;
        if (a.Depth == 1 && t.kind == ImapTok::Atom) {
            if (a.AttrsLen > 0 && a.AttrsLen < kImapAttrsMax) a.Attrs[a.AttrsLen++] = ' ';
            a.AttrsLen += CopyText(a.Attrs + a.AttrsLen, text, kImapAttrsMax - a.AttrsLen);
        } else if (a.Depth == 0 && a.Index == 4 && t.kind != ImapTok::ListClose && t.kind != ImapTok::LineEnd) {
            NoteListEntry(ch, text); // after the attributes and the delimiter
        }
        break;
    case kWordFetch: FetchToken(ch, t, text); break;
    default: break;
    }
}

void OnToken(Channel &ch, const ImapToken &t, const char *text) {
    ImapArea &a = Imap(ch);
    if (t.kind == ImapTok::ListOpen) ++a.Depth;
    if (a.InCode || t.kind == ImapTok::CodeOpen) {
        if (t.kind == ImapTok::CodeOpen) {
            a.InCode = 1;
            a.CodeWord = 0;
        } else {
            CodeToken(ch, t, text);
        }
        return;
    }
    if (t.kind == ImapTok::Text) {
        CopyText(a.Text, text, kImapTextMax);
        return;
    }
    if (a.Index == 0) FirstToken(ch, t, text);
    else if (a.Index == 1) SecondToken(ch, t, text);
    else if (a.Kind == kUntagged) DataToken(ch, t, text);
    if (t.kind == ImapTok::ListClose) {
        if (a.Depth > 0) --a.Depth;
        if (a.Word == kWordFetch && a.Depth == 1) a.ItemValue = 0; // a list value ended
    }
    if (a.Depth == 0 || a.Index < 2) ++a.Index;
}

// The status line's text for zemErrorText and zemDebug: "NO text", code included.
void KeepStatusText(Channel &ch) {
    ImapArea &a = Imap(ch);
    const char *word = a.Word == kWordNo ? "NO" : a.Word == kWordBad ? "BAD" : a.Word == kWordBye ? "BYE" : "OK";
    FormatText(ch.ReplyBuffer, kReplyRoom, "%s %s%s%s%s", word, a.Code[0] ? "[" : "", a.Code, a.Code[0] ? "] " : "",
               a.Text);
    CopyText(ch.LastReply, ch.ReplyBuffer, static_cast<int32_t>(sizeof ch.LastReply) - 1);
}

// The line has ended: what it means for the command. kImapWaiting unless it ends it.
int32_t EndOfLine(Channel &ch) {
    ImapArea &a = Imap(ch);
    if (a.Kind == kContinuation) return kImapContinue;
    if (a.Kind == kUntagged && a.Word == kWordBye) {
        a.ByeSeen = 1;
        KeepStatusText(ch);
        if (a.Command == kCmdLogout) return kImapWaiting;
        LogText(ch, "[BYE]\r\n");
        return DriverError(ch, 0, ZEM_ERR_SOCKET_CLOSED);
    }
    if (a.Kind == kUntagged && a.Command == kCmdGreeting && (a.Word == kWordOk || a.Word == kWordPreauth)) {
        a.LoginDone = a.Word == kWordPreauth;
        return kImapOk;
    }
    if (a.Kind == kUntagged && IsStatus(a.Word) && a.Code[0] != 0 && Is(a.Code, "ALERT")) {
        LogFormat(ch, "[ALERT %s]\r\n", a.Text);
    }
    if (a.Kind != kOurTag) return kImapWaiting;
    KeepStatusText(ch);
    if (a.Word == kWordOk) return kImapOk;
    if (a.Word == kWordNo || a.Word == kWordBad) return kImapRefused;
    return DriverError(ch, 0, ZEM_ERR_MALFORMED_REPLY);
}

// ---- Literals ----------------------------------------------------------------------------

// Where the literal that begins goes.
uint8_t ChooseSink(Channel &ch, const ImapToken &t) {
    ImapArea &a = Imap(ch);
    const bool body = a.Kind == kUntagged && a.Word == kWordFetch && a.Depth == 1 && a.ItemValue &&
                      (StartsWithNoCase(a.Item, "BODY[") || StartsWithNoCase(a.Item, "RFC822")) && !a.BodySeen;
    if (body && a.Command == kCmdFetchFile) return kSinkMessage;
    if (body && a.Command == kCmdFetchHeader) return kSinkHeader;
    return t.number > kImapStringLiteralMax ? kSinkDiscard : kSinkNone; // kSinkNone: a string
}

int32_t OpenMessageSink(Channel &ch, uint64_t size) {
    if (ch.RetrievalLimit > 0 && size > static_cast<uint64_t>(ch.RetrievalLimit))
        return FailRetrieval(ch, ZEM_ERR_MESSAGE_TOO_LARGE);
    LogFormat(ch, "Saving email to '%s'\r\n", ch.EmailPath);
    const int32_t h = FileReplace(ch.EmailPath, false);
    if (h <= 0) return FailRetrieval(ch, ZEM_ERR_CANNOT_CREATE_FILE);
    StartMessageFile(ch, h);
    return 0;
}

// The first byte of the next line when it is part of the literal and already here.
int32_t NextByte(Channel &ch, uint64_t leftAfter) {
    char c = 0;
    if (leftAfter == 0 || RingPeek(ch, &c, 1) != 1) return leftAfter == 0 ? 'X' : kNextUnknown;
    return static_cast<uint8_t>(c);
}

// Gathers message bytes into decoder lines (pieces of at most 1,023 bytes).
void FeedPieces(Channel &ch, const char *bytes, int32_t n, uint64_t leftAfter) {
    ImapArea &a = Imap(ch);
    int32_t i = 0;
    while (i < n) {
        const int32_t room = kImapLineRoom - 1 - a.PieceLen;
        const int32_t span = n - i < room ? n - i : room;
        const auto *lf = static_cast<const char *>(std::memchr(bytes + i, '\n', static_cast<size_t>(span)));
        const int32_t take = lf != nullptr ? static_cast<int32_t>(lf - (bytes + i)) + 1 : span;
        std::memcpy(a.Piece + a.PieceLen, bytes + i, static_cast<size_t>(take));
        a.PieceLen += take;
        i += take;
        const bool last = i == n && leftAfter == 0;
        if (lf == nullptr && a.PieceLen < kImapLineRoom - 1 && !last) continue; // the line goes on
        a.Piece[a.PieceLen] = 0;
        const uint64_t after = leftAfter + static_cast<uint64_t>(n - i);
        const int32_t next = i < n ? static_cast<uint8_t>(bytes[i]) : NextByte(ch, after);
        FeedDecoderLine(ch, a.Piece, a.PieceLen, next);
        a.PieceLen = 0;
    }
}

int32_t SinkBytes(Channel &ch, const char *bytes, int32_t n) {
    ImapArea &a = Imap(ch);
    const uint64_t leftAfter = a.LiteralLeft - static_cast<uint64_t>(n);
    if (a.Sink == kSinkHeader) {
        ToUserBuffer(ch, bytes, n < ch.UserBufferSize - ch.UserBufferFill ? n : ch.UserBufferSize - ch.UserBufferFill);
    } else if (a.Sink == kSinkMessage) {
        ch.ReceivedBytes += n;
        ch.TextBytes += n;
        if (ch.SaveRaw)
            WriteToEmailFile(ch, bytes, n);
        else
            FeedPieces(ch, bytes, n, leftAfter);
        if (ch.WriteFailed) return FailRetrieval(ch, ZEM_ERR_CANNOT_CREATE_FILE);
    }
    a.LiteralLeft = leftAfter;
    return 0;
}

void EndLiteral(Channel &ch) {
    ImapArea &a = Imap(ch);
    if (a.Sink == kSinkMessage) {
        LogText(ch, "[CLOSE]\r\n");
        FinishDecoder(ch);
        CloseRetrievalFiles(ch);
    }
    if (a.Sink == kSinkMessage || a.Sink == kSinkHeader) a.BodySeen = 1;
    a.Sink = kSinkNone;
    a.ItemValue = 0;
    ImapParserLiteralDone(a.Parser);
}

// Takes literal bytes from the ring (and the socket) into the sink. Bytes processed, 0
// when none were there, or a negative result.
int32_t TakeLiteral(Channel &ch) {
    ImapArea &a = Imap(ch);
    char buf[16384];
    const int32_t want = a.LiteralLeft < sizeof buf ? static_cast<int32_t>(a.LiteralLeft) : static_cast<int32_t>(sizeof buf);
    const int32_t n = want > 0 ? ReadRaw(ch, buf, want) : 0;
    if (n < 0) return FailRetrieval(ch, ZEM_ERR_SOCKET_CLOSED); // a cut message file is closed too
    if (n > 0)
        if (int32_t r = SinkBytes(ch, buf, n)) return r;
    if (a.LiteralLeft > 0) return n;
    EndLiteral(ch);
    return n > 0 ? n : 1; // an empty literal ended: progress all the same, what follows may be here

}

// Feeds the bytes the ring holds to the tokenizer. Bytes processed (0: none there), or a
// command result in *result.
int32_t TakeTokens(Channel &ch, int32_t *result) {
    ImapArea &a = Imap(ch);
    char buf[kRingSize]; // not ReplyBuffer: a status line's text goes there for zemErrorText
    const int32_t have = PeekInput(ch, buf, kRingSize - 1);
    if (have < 0) return DriverError(ch, 0, ZEM_ERR_SOCKET_CLOSED);
    int32_t at = 0;
    while (at < have && a.Sink == kSinkNone) {
        int32_t used = 0;
        ImapToken t{};
        ImapFeed f = a.Parser.literalLeft > 0 ? ImapTakeSmallLiteral(a.Parser, buf + at, have - at, &used, &t)
                                              : ImapNextToken(a.Parser, buf + at, have - at, &used, &t);
        at += used;
        if (f == ImapFeed::NeedMore) break;
        if (f == ImapFeed::Error) {
            RingTake(ch, buf, at);
            return DriverError(ch, 0, ZEM_ERR_MALFORMED_REPLY);
        }
        if (t.kind == ImapTok::LiteralStart) {
            a.Sink = ChooseSink(ch, t);
            a.LiteralLeft = t.number;
            a.PieceLen = 0;
            if (a.Sink == kSinkNone && t.number > 0) continue; // a string: the tokenizer takes it
            if (a.Sink == kSinkNone) { // an empty string, complete at once
                ImapTakeSmallLiteral(a.Parser, buf + at, 0, &used, &t);
                OnToken(ch, t, ImapTokenText(a.Parser));
                continue;
            }
            if (a.Sink == kSinkMessage)
                if (int32_t r = OpenMessageSink(ch, t.number)) {
                    *result = r;
                    return at;
                }
            break;
        }
        OnToken(ch, t, ImapTokenText(a.Parser));
        if (t.kind == ImapTok::LineEnd) {
            const int32_t r = EndOfLine(ch);
            StartLine(a);
            if (r != kImapWaiting) {
                *result = r;
                break;
            }
        }
    }
    RingTake(ch, buf, at);
    return at;
}

} // namespace

uint32_t ImapCapabilityBit(const char *atom) {
    for (const CapName &c : kCaps)
        if (Is(atom, c.name)) return c.bit;
    return 0;
}

int32_t ReadImapResponses(Channel &ch, Tick now) {
    ImapArea &a = Imap(ch);
    int32_t taken = 0;
    while (taken < kStepBudget) {
        if (RingCount(ch) == 0 && !WaitReadable(ch, 0)) return kImapWaiting; // the frame waits
        int32_t result = kImapWaiting;
        const int32_t n = a.Sink != kSinkNone ? TakeLiteral(ch) : TakeTokens(ch, &result);
        if (n < 0) return n;
        if (result != kImapWaiting) {
            if (result > 0) ArmDeadline(ch, now);
            return result;
        }
        if (n == 0) {
            ch.WantReady = kPollReadable;
            return kImapWaiting;
        }
        taken += n;
        ArmDeadline(ch, now); // progress: the next bytes get the reply time-out again
    }
    ch.WantReady = 0; // more is there: the next step runs at once
    return kImapWaiting;
}

bool SetImapCommand(Channel &ch, const char *text) {
    ImapArea &a = Imap(ch);
    a.CmdLen = 0;
    const int32_t n = TextLength(text);
    if (n > kImapCmdMax) return false;
    std::memcpy(a.Cmd, text, static_cast<size_t>(n));
    a.CmdLen = n;
    a.Cmd[n] = 0;
    return true;
}

namespace {
// Takes the argument the writer put at Cmd[CmdLen, n). A "{len+}" header the writer chose
// gets CR LF and the len bytes right after it (a sync "{len}" would need the server's "+"
// first: refused). False leaves Cmd as it was.
bool TakeArgument(ImapArea &a, int32_t n, bool sync, const char *bytes, int32_t len) {
    if (n < 0 || sync) {
        a.Cmd[a.CmdLen] = 0;
        return false;
    }
    if (a.Cmd[a.CmdLen] == '{') {
        if (bytes == nullptr || n + 2 + len > kImapCmdMax) {
            a.Cmd[a.CmdLen] = 0;
            return false;
        }
        a.Cmd[n] = '\r';
        a.Cmd[n + 1] = '\n';
        std::memcpy(a.Cmd + n + 2, bytes, static_cast<size_t>(len));
        n += 2 + len;
    }
    a.CmdLen = n;
    a.Cmd[n] = 0;
    return true;
}
} // namespace

bool AppendImapText(Channel &ch, const char *text) {
    ImapArea &a = Imap(ch);
    bool sync = false;
    const int32_t len = TextLength(text);
    const int32_t n = ImapAppendAstring(a.Cmd, kImapCmdMax, a.CmdLen, text, len, a.Utf8On != 0,
                                        (a.Caps & kCapLiteralPlus) != 0, &sync);
    return TakeArgument(a, n, sync, text, len);
}

bool AppendImapMailbox(Channel &ch, const char *name) {
    ImapArea &a = Imap(ch);
    bool sync = false;
    const int32_t n = ImapAppendMailbox(a.Cmd, kImapCmdMax, a.CmdLen, name, a.Utf8On != 0,
                                        (a.Caps & kCapLiteralPlus) != 0, &sync);
    // Only a name sent as it is (UTF8=ACCEPT) can be long enough for a literal.
    return TakeArgument(a, n, sync, a.Utf8On ? name : nullptr, a.Utf8On && name ? TextLength(name) : 0);
}

int32_t StartImapCommand(Channel &ch, Tick now, ImapCommand cmd, int32_t secretFrom) {
    ImapArea &a = Imap(ch);
    a.Command = cmd;
    a.TagNo = a.TagNo % 9999 + 1;
    FormatText(a.Tag, sizeof a.Tag, "Z%04u", static_cast<unsigned>(a.TagNo));
    char line[kImapCmdMax + 24];
    const int32_t tagLen = FormatText(line, sizeof line, "%s ", a.Tag);
    std::memcpy(line + tagLen, a.Cmd, static_cast<size_t>(a.CmdLen));
    int32_t n = tagLen + a.CmdLen;
    line[n++] = '\r';
    line[n++] = '\n';
    const int32_t r = secretFrom > 0 ? SendSecret(ch, line, n, tagLen + secretFrom) : SendData(ch, line, n);
    if (r < 0) return DriverError(ch, r, ZEM_ERR_WRITE);
    StartLine(a);
    ArmReplyWait(ch, now);
    return kStepOn;
}

int32_t ImapRefused(Channel &ch) { return RequestFailed(ch, ZEM_ERR_IMAP); }

int32_t AwaitImapResponse(Channel &ch, Tick now, bool wantContinue) {
    const int32_t r = ReadImapResponses(ch, now);
    if (r < 0) return r;
    if (r == kImapWaiting) return 0;
    if (r == kImapRefused) return ImapRefused(ch);
    if (r != (wantContinue ? kImapContinue : kImapOk)) return DriverError(ch, 0, ZEM_ERR_MALFORMED_REPLY);
    return 1;
}

int32_t SendImapLine(Channel &ch, Tick now, const char *text, ImapCommand cmd, int32_t next) {
    SetImapCommand(ch, text);
    if (int32_t r = StartImapCommand(ch, now, cmd)) return r;
    ch.NextState = next;
    return kStepOn;
}

} // namespace zem
