// The IMAP client's own state: the response tokenizer, what the server announced, the
// selected mailbox, and what the running command collects. It lives in the channel's area
// right after the incoming decoder's, which a FETCH feeds at the same time.
#pragma once
#include <cstdint>

#include "frame/channel.h"
#include "imap/response_parser.h"
#include "mime/decoder_area.h"

namespace zem {

// Capabilities (RFC 3501 section 7.2.1 and the extensions the client uses).
enum ImapCap : uint32_t {
    kCapImap4rev1 = 1u << 0,
    kCapImap4rev2 = 1u << 1,
    kCapStartTls = 1u << 2,
    kCapLoginDisabled = 1u << 3,
    kCapSaslIr = 1u << 4,
    kCapLiteralPlus = 1u << 5,
    kCapLiteralMinus = 1u << 6,
    kCapEnable = 1u << 7,
    kCapUtf8Accept = 1u << 8,
    kCapMove = 1u << 9,
    kCapUidPlus = 1u << 10,
    kCapSpecialUse = 1u << 11,
    kCapIdle = 1u << 12,
    kCapCondStore = 1u << 13,
    kCapQresync = 1u << 14,
    kCapAuthPlain = 1u << 16,
    kCapAuthCramMd5 = 1u << 17,
    kCapAuthXoauth2 = 1u << 18,
    kCapAuthOauthBearer = 1u << 19,
    kCapAuthLogin = 1u << 20,
};

// What the line being read is.
enum ImapLineKind : uint8_t { kLineStart, kUntagged, kContinuation, kOurTag, kOtherTag };
// Its keyword, as far as the client acts on it.
enum ImapWord : uint8_t {
    kWordNone,
    kWordOk,
    kWordNo,
    kWordBad,
    kWordBye,
    kWordPreauth,
    kWordCapability,
    kWordList,
    kWordSearch,
    kWordEsearch,
    kWordExists,
    kWordExpunge,
    kWordFetch,
    kWordEnabled,
    kWordOther,
};
// Where a literal's bytes go.
enum ImapSink : uint8_t { kSinkNone, kSinkDiscard, kSinkMessage, kSinkHeader };

constexpr int32_t kImapLineRoom = 1024;  // a piece of a message line handed to the decoder
constexpr int32_t kImapAttrsMax = 256;   // LIST attributes kept
constexpr int32_t kImapCmdMax = 8192;    // one command line (an OAuth token in base64 fits)
constexpr int32_t kImapTextMax = 1024;   // the free text of a status response

struct ImapArea {
    ImapParser Parser;
    // ---- The response line being read ----------------------------------------------
    uint8_t Kind;       // ImapLineKind
    uint8_t Word;       // ImapWord: the status or data keyword
    uint8_t InCode;     // between '[' and ']' of a response code
    uint8_t CodeWord;   // the code's position: 0 its name next, 1 and on its arguments
    char Code[24];      // the response code's name (UIDNEXT, APPENDUID, CAPABILITY, ...)
    uint64_t CodeNum[2]; // its first two numeric arguments
    int32_t Index;      // top-level tokens seen on the line
    uint64_t Number;    // the number before EXISTS, EXPUNGE, FETCH
    uint8_t HasNumber;
    int32_t Depth;      // parentheses open
    char Text[kImapTextMax + 1]; // the free text of a status response
    // FETCH items: the name of the item whose value comes next, and what was found.
    char Item[40];
    uint8_t ItemValue;  // the next token is the value of Item
    uint8_t InFlags;    // inside the FLAGS list
    uint32_t FetchUid;
    // LIST: attributes, then delimiter, then the name.
    char Attrs[kImapAttrsMax + 1];
    int32_t AttrsLen;
    // ---- A literal being taken -----------------------------------------------------
    uint8_t Sink;       // ImapSink, kSinkNone when no literal is open
    uint64_t LiteralLeft;
    char Piece[kImapLineRoom + 4]; // a message line gathered for the decoder
    int32_t PieceLen;
    // ---- The connection ------------------------------------------------------------
    uint32_t Caps;
    uint32_t TagNo;
    char Tag[12];
    uint8_t Utf8On;      // ENABLE UTF8=ACCEPT was answered ENABLED
    uint8_t CapsFresh;   // capabilities came since the last connection event
    uint8_t ByeSeen;
    // ---- The selected mailbox ------------------------------------------------------
    uint32_t Exists;
    uint32_t Unseen;      // first unseen sequence number (OK [UNSEEN n]); 0 none
    uint64_t UidValidity;
    uint64_t UidNext;
    uint64_t HighestModseq;
    // ---- The running command -------------------------------------------------------
    uint8_t Command;       // ImapCommand (imap/responses.h)
    char Cmd[kImapCmdMax + 4]; // the command line (without its tag) before it is sent
    int32_t CmdLen;
    int32_t Count;         // mailboxes listed, UIDs found
    int32_t Stored;        // of them, those the caller's buffer holds
    uint8_t BodySeen;      // the FETCH body literal has been taken
    uint8_t Overflow;      // the caller's buffer was too small for everything
    uint64_t NewUid;       // APPENDUID / COPYUID result
    int64_t AppendLeft;    // bytes of the message file still to send
    int32_t AuthStep;      // the exchange of AUTHENTICATE in progress
    uint8_t AuthMech;      // SaslMechanism being used
    uint8_t LoginDone;
    // ---- IDLE ----------------------------------------------------------------------
    uint8_t Changed;       // an EXISTS, EXPUNGE or FETCH came since the IDLE began
    Tick IdleEnd;          // the caller's end of the wait; 0 = until news comes
    Tick IdleRenew;        // when the running IDLE is renewed
    int32_t IdleResult;    // what the last zemImapIdle returned (for non-blocking callers)
};

constexpr int32_t kImapAreaOffset = static_cast<int32_t>((sizeof(DecoderArea) + kAreaAlign - 1) / kAreaAlign * kAreaAlign);
static_assert(kImapAreaOffset + sizeof(ImapArea) <= static_cast<size_t>(kAreaSize), "the IMAP area fits the channel's area");

inline ImapArea &Imap(Channel &ch) { return *reinterpret_cast<ImapArea *>(ChannelArea(ch) + kImapAreaOffset); }

} // namespace zem
