// The channel record and the library-wide tables. One Channel per channel number lives in
// the user area of the channel's memory block 0, followed by its receive ring. The library
// owns every record; the calls on one channel must not overlap, different channels may run
// on different threads.
#pragma once
#include <cstddef>
#include <cstdint>

#include "frame/outgoing_fields.h"
#include "platform/platform.h"

namespace zem {

struct TlsSession; // platform/tls.h
struct Channel;
// Where a composer or copier puts bytes: the count taken, or a negative code.
using ByteSink = int32_t (*)(Channel &ch, const char *bytes, int32_t n);

constexpr int kMaxChannels = 128;
constexpr int kSlotsPerChannel = 10;
constexpr int kBlockCount = kMaxChannels * kSlotsPerChannel; // 1,280
constexpr int kRingSize = 1024;
constexpr int kBufferSize = 2050;    // TextBuffer, CmdBuffer, ReplyBuffer, ReadAhead
constexpr int kReadAheadUsed = 2048; // of ReadAhead
constexpr int kReplyRoom = 1024;    // the reply checkers use this much of ReplyBuffer
// The output buffer (block slot 9): lines gather here and leave in one write when the
// machine waits for a reply or the buffer is full. A step always finds room for one
// CmdBuffer's worth. Behind it, the read-ahead of the attachment being sent.
constexpr int kOutSize = 32768;
constexpr int kOutReserve = kBufferSize + 2;
constexpr int kFileReadSize = 65536;
constexpr int kOutBlockSize = kOutSize + kFileReadSize;


// Memory block slots.
enum Slot : int {
    kSlotChannel = 0,
    kSlotTo = 1, // also the address list of zemVerifyUser
    kSlotCc = 2,
    kSlotBcc = 3,
    kSlotSubject = 4,
    kSlotText = 5,
    kSlotAttachments = 6,
    kSlotExtraHeaders = 7,
    kSlotRetrieval = 8,
    kSlotOutput = 9, // the engine's output buffer
    kSlotUnused = kSlotOutput,
};

struct Channel {
    int32_t ChannelNo;

    // ---- DataArea: 11,184 bytes of fixed text buffers, back to back --------------------
    char TextBuffer[kBufferSize];  // scratch: every log line is formatted here
    char CmdBuffer[kBufferSize];   // the line being sent (SendLine appends CR LF in place)
    char ReplyBuffer[kBufferSize]; // the reply being read; emptied at every step
    char ReadAhead[kBufferSize];   // window over the outgoing message text
    char MimeBoundary[130];
    char AltBoundary[130];
    char LastReply[130];
    char ServerName[130];
    char FromAddress[130];
    char ReplyToAddress[130];
    char UserName[66];
    char Password[66];
    char EmailFileName[130];
    char EmailDir[130];
    char AttachDir[130];
    char Filename[130];
    char EmailPath[130];
    char AttachPath[130];
    char SavedList[1026];
    char CommandText[34];
    char LastRecipient[34];
    char AuthPassword[66];
    char AuthWork[132]; // kAuthWorkSize of codec/md5.h

    // ---- Pointers into the channel's blocks (null when the block is absent) -----------
    char *ListCursor;
    char *ToList;
    char *CcList;
    char *BccList;
    char *Subject;
    char *ExtraHeaders;
    const char *TextCursor; // points at "" when there is no message text
    char *AttachList;
    char *AttachCursor;
    char *SeparatorPos;

    // ---- Connection --------------------------------------------------------------------
    uint32_t ServerAddr; // host byte order
    int32_t Socket;
    uint8_t SocketOpen;  // the descriptor in Socket is ours and still open

    // ---- Timing (64-bit ticks: safe across the wrap of the 32-bit counter) -------------
    Tick WakeTick;
    Tick DeadlineTick; // 0 = none

    // ---- Counters ----------------------------------------------------------------------
    int32_t StepCount;
    // 64-bit: a message of several GiB must neither wrap them nor slip past a size limit.
    int64_t TextBytes;
    int64_t AttachBytes;
    int64_t TextBytesSent;
    int64_t AttachBytesSent;
    int64_t ReceivedBytes; // every byte of the message being retrieved, whatever became of it

    // ---- Sending flags -----------------------------------------------------------------
    int32_t TextInMemory;
    int32_t CcDone;
    int32_t BccDone;

    uint16_t RemotePort;
    uint16_t SmtpPort;
    uint16_t Pop3Port;
    uint16_t ImapPort; // 0: 143, or 993 under implicit TLS

    int32_t ReplyCode;
    int32_t FileHandle; // the attachment file the incoming decoder writes; 0 = none
    int32_t SendFile;   // the message text or attachment file being sent; 0 = none

    // ---- State machine -----------------------------------------------------------------
    int32_t PrevState;
    int32_t ThisState;
    int32_t NextState;
    int32_t AfterConnectState;
    int32_t LastSockCode;

    int32_t LogFile; // 0 = no log

    // ---- POP3 --------------------------------------------------------------------------
    int32_t MessageCount;
    uint8_t Protocol; // 'S', 'P', 'I' or 0
    int32_t MessageNo;
    int32_t MessageSize;
    int32_t TopLines;
    int32_t EmailFile; // 0 = none

    char *UserBuffer;
    int32_t UserBufferSize;
    int32_t UserBufferFill;

    // ---- MIME decoder ------------------------------------------------------------------
    int32_t DecodeState;
    int32_t BoundaryLen;
    int32_t MimeEncoding;
    int32_t AltBoundaryLen;

    int32_t VerifyResult;
    int32_t AttachSaved;
    int32_t AttachNumber;
    char *Recipient;

    uint8_t WaitWritable;     // 1: the next state sends; 2 (kGateAtStart): a request's first step
    uint8_t InlineFlag;

    int32_t AutoCall;
    int32_t NumberedNames;
    int32_t BodyType;

    uint8_t LastChar;
    uint8_t PendingChar;
    uint8_t BlankSeen;
    uint8_t InlineImages;

    int32_t ReadPos;
    int32_t ReadLimit;
    int32_t ReadEnd;

    int32_t SaveNoname;
    uint8_t SaveRaw;       // code 28 (value 1): zemGetEmailFile saves messages as received
    uint8_t Utf8Names;     // code 72: decoded file names and header texts in UTF-8
    uint8_t SaveMessages;  // code 73: an attached message is also saved whole
    uint8_t EightBitNames; // code 74: names keep their 8-bit bytes
    int32_t NonBlockingConnect;

    int32_t ContentIdCount;

    uint8_t InlinePart;
    uint8_t UseEhlo;
    uint8_t UseApop;
    uint8_t SkipBlank;

    // A failed write while a retrieval ran (attachment file or message file).
    int32_t WriteFailed;
    // The retrieval has seen its status line (only that line is kept out of the file).
    uint8_t StatusSeen;
    // The last three bytes of a raw save, to find the end line where a read cuts through it.
    char RawEndTail[3];

    // ---- TLS and the addresses of the server (both families) ---------------------------
    TlsSession *Tls;         // the TLS session on Socket; null for plain TCP
    uint8_t TlsMode;         // ZEM_PARAM_TLS for the next connect: 0 none, 1 STARTTLS/STLS
                             // required, 2 implicit TLS, 3 STARTTLS/STLS when offered
    uint8_t TlsVerify;       // ZEM_PARAM_TLS_VERIFY: verify the certificate and its name (1)
    uint8_t TlsStarted;      // the STARTTLS/STLS exchange of this connection took place
    int32_t TlsAfterState;   // where the handshake state goes once TLS is up
    char CaFile[130];        // ZEM_STRING_CA_FILE, ZEM_STRING_CA_DIR: "" = system store
    char CaDir[130];
    char ClientCert[130];    // ZEM_STRING_CLIENT_CERT, ZEM_STRING_CLIENT_KEY
    char ClientKey[130];
    char TlsProtocolText[24]; // of the last handshake (zemDebug 50, 51, 52)
    char TlsCipherText[64];
    char TlsVerifyReason[130];
    NetAddress ServerNet;     // the address being connected (IPv4 mirrors ServerAddr)
    NetAddress AddrList[8];   // every address of the server name, tried in this order
    int32_t AddrCount;
    int32_t AddrIndex;
    Tick AddrDeadline;        // when the connect to the current address is given up
    // Outgoing mail: EHLO offers, extension settings, per-recipient results.
    OutgoingFields Out;
    // ---- The composer: where its bytes go and the state after its last line -----------
    ByteSink ComposeOut;
    int32_t ComposeEndState;
    // ---- Sending a ready-made message file (zemSendMessageFile) ------------------------
    char *MessageFile;        // its path, block 5
    uint8_t SendsMessageFile; // the DATA reply leads to the message file states
    uint8_t FileLineStart;    // the next byte read starts a line (dot-stuffing)
    uint8_t FileAfterCr;      // the last byte read was a CR, already sent as CR LF
    int32_t FileOutPos;       // ReadAhead[FileOutPos .. FileOutEnd) is not sent yet
    int32_t FileOutEnd;

    // ---- Engine: what the step waits for, and the output buffer ----------------------
    uint8_t Busy;             // a request is under way and has not returned its result
    uint8_t WantReady;        // readiness the last step waited for: 0 none, 1 read, 2 write
    Tick WaitEndTick;         // end of a wait the state repeats across steps; 0 = none
    char *OutBuffer;          // coalesced output (memory block slot 9); null = none yet
    int32_t OutFill;          // bytes in OutBuffer
    int32_t OutSent;          // of them already written
    int32_t OutError;         // the socket code of a failed write, kept for the next flush
    uint8_t OutWaitKind;      // what a write that could not finish waits for (1 read, 2 write)
    uint8_t FlushNow;         // the state waits for a reply: what it wrote goes at once
    int32_t WriteStalls;      // writes the socket did not take whole (ZEM_STAT_WRITE_STALLS)
    uint8_t KnownReadable;    // a poll found the plain socket readable; no receive since
    uint8_t GateOpen;         // the blocking loop just saw the socket writable
    Tick LineWaitTick;        // when a line reader takes the part of a line that has come
    uint8_t WritableSeen;     // this step's gate found the socket writable; nothing written since
    int32_t FileBufPos;       // the attachment read-ahead behind OutBuffer: next byte
    int32_t FileBufEnd;       // and its end
    int64_t MaxMessageSize;   // ZEM_PARAM_MAX_MESSAGE_SIZE: 0 = no limit
    int64_t RetrievalLimit;   // the bound of the running retrieval (bytes); 0 = none
    int32_t ListedMessageNo;  // the message whose LIST size MessageSize holds; 0 = none

    char RecvBuffer[kRingSize];
    int32_t RingHead;
    int32_t RingTail;
    // RecvRing follows the record inside block 0.
};

// The fixed text buffers lie back to back: 11,184 bytes in all.
static_assert(offsetof(Channel, AuthWork) + sizeof(Channel::AuthWork) - offsetof(Channel, TextBuffer) == 11184,
              "DataArea layout");

inline char *RecvRing(Channel &ch) { return reinterpret_cast<char *>(&ch + 1); }

// Block 0 holds the record, its receive ring and then the channel's area: the fixed room
// the rooms above the frame keep their large state in (the incoming decoder's lines,
// boundaries and file blocks). The frame only reserves it; each user checks that its own
// record fits. It starts at the first 64-byte boundary after the ring.
constexpr int32_t kAreaAlign = 64;
constexpr int32_t kAreaSize = 224 * 1024;
constexpr int32_t kAreaOffset = static_cast<int32_t>((sizeof(Channel) + kRingSize + kAreaAlign - 1) / kAreaAlign * kAreaAlign);
constexpr int32_t kChannelBlockSize = kAreaOffset + kAreaSize;
inline char *ChannelArea(Channel &ch) { return reinterpret_cast<char *>(&ch) + kAreaOffset; }

struct ChannelEntry {
    Channel *ChannelPtr;
    int32_t SocketCopy;
    uint8_t SockAddr[16];
};

// ---- Library-wide state (guarded by the library lock where the text says so) ----------
extern ChannelEntry gChannelTable[kMaxChannels];
int32_t ChannelCount(); // 0 = not attached
extern char gBoundaryTemplate[27];

// The channel check shared by every export that takes a channel number:
// -71 when not attached, -73 for a bad number, else 0 and *out set.
int32_t FindChannel(int32_t chan, Channel **out);

// ---- Memory blocks: id = channel * 10 + slot, guard bytes 'U' and 'z' -------------------
int32_t BlockAlloc(int32_t id, int32_t size);
void *BlockGet(int32_t id);
int32_t BlockCheck(int32_t id);
int32_t BlockFree(int32_t id);
int32_t BlockIsAllocated(int32_t id);
int32_t BlockSize(int32_t id);
void *AllocateMemory(int32_t chan, int32_t slot, int32_t size);
char *AllocAndCopy(int32_t chan, int32_t slot, const char *text);
void FreeMemory(int32_t chan, int32_t first, int32_t last);
// Test hook: the raw start of a block (its leading guard byte), null when free.
uint8_t *BlockRawForTest(int32_t id);
void ResetBlockTable();
// Runs BlockCheck over every allocated block; calls report for each damaged one.
int32_t CheckAllBlocks(void (*report)(int32_t id, int32_t code));

// ---- Receive ring ------------------------------------------------------------------------
int32_t RingPut(Channel &ch, const char *bytes, int32_t n);
int32_t RingTake(Channel &ch, char *dst, int32_t max);
int32_t RingPeek(Channel &ch, char *dst, int32_t max);
inline int32_t RingCount(const Channel &ch) { return (ch.RingTail - ch.RingHead + kRingSize) % kRingSize; }
inline void RingClear(Channel &ch) { ch.RingHead = ch.RingTail = 0; }

} // namespace zem
