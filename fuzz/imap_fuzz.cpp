// libFuzzer target for the IMAP client (response reader, session and request states, the
// FETCH path into the decoder) against a hostile in-process server.
//
// The input:
//   byte 0      the client's options
//     bit 0  non-blocking: every request is driven with zemDriver (else blocking calls)
//     bit 1  numbered attachment names          bit 2  unnamed base64 parts saved too
//     bit 3  an OAuth token (XOAUTH2 / OAUTHBEARER when offered)
//     bit 4  a user name and password that must go quoted
//     bit 5  a small message size limit         bit 6  attached messages saved whole
//     bit 7  encoded-word names as UTF-8
//   byte 1      how the server splits what it says into TCP writes: 0 as written, else piece
//               sizes from a generator seeded with it (at most 1, 2, 7, 31, 128, 1024 or
//               8192 bytes by bits 5-7)
//   byte 2      N = byte % 16, the number of requests after zemImapConnect
//   N bytes     the requests, one byte each (kind = byte % 14, variant = byte / 14; see Run)
//   the rest    the server's script: its responses, one after the other. The first is the
//               greeting; each next one is sent when the client has sent a whole command
//               (or a line ending with a literal that waits for "+"), or when the client
//               waits for input and the server has nothing left to send. The script ending
//               is the server closing its side. 0xFF starts a directive:
//                 FF E    end of this response      FF T    the tag of the client's last command
//                 FF W    a TCP write ends here     FF FF   the byte 0xFF
//                 FF X    close (FIN) here, ignore the rest
//                 FF R    reset (RST) here, ignore the rest
//                 FF B k  k*256 bytes of 64-byte CR LF lines    FF A k  k*64 letters
//                 FF P k  k '('                                 FF Q k  k ')'
//                 FF L k  a literal "{k*1024}" CR LF and its k*1024 bytes of lines
// The requests: LIST, SELECT/EXAMINE, UID SEARCH, FETCH into a file (decoded, or raw),
// FETCH of the header, STORE, COPY, COPY/MOVE, EXPUNGE, APPEND of a small file, the mailbox
// commands, zemClose in the middle and zemImapConnect again (the server takes the new
// connection and goes on with the script).
//
// Checks after every request: the result is 0 or positive or a known error code; the
// caller's buffer holds a NUL within Size and nothing past Size changed; LIST gives one line
// per stored mailbox, SEARCH only digits and spaces, the header its length. After every
// input: the request blocks are freed, the memory blocks intact, no descriptor left open, no
// file outside the message and attachment directories, and the heap no larger than before
// (allowing a little for the library's one-time set-up).
//
// ZEM_FUZZ_VERBOSE=1 prints what the server says and hears and what each request returns;
// ZEM_FUZZ_LOG=file writes the library's log of channel 0 there.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/allocator_interface.h>
#define ZFZ_HEAP_BYTES() static_cast<int64_t>(__sanitizer_get_current_allocated_bytes())
#endif
#endif
#ifndef ZFZ_HEAP_BYTES
#define ZFZ_HEAP_BYTES() int64_t{0}
#endif

#include "hostile_server.h"
#include "test_support_fuzz.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(const char *what, long long a = 0, long long b = 0) {
    std::fprintf(stderr, "imap_fuzz: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}

bool gVerbose;

// ---- The server -----------------------------------------------------------------------------

constexpr size_t kOutMax = 2u << 20;        // one response, expanded
constexpr size_t kInputOutMax = 6u << 20;   // everything the server says for one input
constexpr int kBoundsMax = 1024;
constexpr int kWholeAfterPieces = 4096;     // then the rest goes in whole writes

class ImapServer {
public:
    void Init() { listen_ = zfz::ListenLoopback(&port_); }
    int port() const { return port_; }
    bool armed() const { return armed_; }

    void Arm(const uint8_t *script, size_t size, uint8_t split) {
        script_ = script;
        size_ = size;
        pos_ = 0;
        split_ = split;
        rng_ = 0x9e3779b9u ^ (split * 0x01000193u);
        totalOut_ = 0;
        pieces_ = 0;
        tag_[0] = '*';
        tag_[1] = 0;
        armed_ = true;
        ResetConnection();
    }

    // One turn of the server: takes a new connection, reads what the client said (a whole
    // command brings the next response), then writes one piece of what is due. `idle`: the
    // client waits for input, so with nothing due the next response goes out anyway.
    void Pump(bool idle) {
        if (!armed_) return;
        Accept();
        if (conn_ < 0) return;
        ReadClient();
        if (conn_ < 0) return;
        if (head_ == tail_ && closeKind_ == 0 && idle && !closed_) {
            skip_ = 0;
            if (gVerbose) std::fprintf(stderr, "  server: client idle, next response\n");
            QueueNext();
        }
        WritePiece();
    }

    // The client closes with a linger time, which waits until its FIN is acknowledged: its
    // write side is shut first, and the server, reading to the end, closes too (FIN and
    // ACK at once), rather than acknowledging 40 ms later from this very thread.
    void ClientCloses(int32_t s) {
        if (!armed_ || conn_ < 0) return;
        shutdown(s, SHUT_WR);
        ReadClient();
    }

    // After an input: no connection left over.
    void End(int baseFds) {
        armed_ = false;
        if (conn_ >= 0) close(conn_);
        conn_ = -1;
        zfz::DropBacklog(listen_);
        zfz::CheckReleased(baseFds);
    }

private:
    void ResetConnection() {
        if (conn_ >= 0) close(conn_);
        conn_ = -1;
        head_ = tail_ = 0;
        nBounds_ = 0;
        closeKind_ = 0;
        closed_ = false;
        skip_ = 0;
        lineLen_ = 0;
        lastLen_ = 0;
        cmdStart_ = true;
    }

    void Accept() {
        const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        ResetConnection(); // a new zemImapConnect: the old connection is done with
        conn_ = fd;
        // Every piece goes out at once: no waiting for the acknowledgement of the one before.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        if (gVerbose) std::fprintf(stderr, "  server: connection, greeting\n");
        QueueNext();
    }

    // ---- What the client says ----------------------------------------------------------

    void ReadClient() {
        char buf[8192];
        for (;;) {
            const ssize_t n = recv(conn_, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0) { // the client closed
                close(conn_);
                conn_ = -1;
                return;
            }
            if (n < 0) return;
            // The library closes with a linger time, which waits until what it sent is
            // acknowledged: acknowledge at once, not 40 ms later.
            int one = 1;
            setsockopt(conn_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            if (gVerbose) std::fprintf(stderr, "  server: client says %.*s\n", static_cast<int>(n), buf);
            for (ssize_t i = 0; i < n; ++i) ClientByte(static_cast<uint8_t>(buf[i]));
        }
    }

    void ClientByte(uint8_t c) {
        if (skip_ > 0) { // a literal the client sends
            --skip_;
            return;
        }
        if (lineLen_ < static_cast<int>(sizeof line_) - 1) line_[lineLen_] = static_cast<char>(c);
        ++lineLen_;
        if (lastLen_ == static_cast<int>(sizeof last_)) {
            std::memmove(last_, last_ + 1, sizeof last_ - 1);
            --lastLen_;
        }
        last_[lastLen_++] = static_cast<char>(c);
        if (c != '\n') return;
        const int kept = lineLen_ < static_cast<int>(sizeof line_) - 1 ? lineLen_ : static_cast<int>(sizeof line_) - 1;
        if (cmdStart_) { // the tag: the first word, when a space follows it
            const char *sp = static_cast<const char *>(std::memchr(line_, ' ', static_cast<size_t>(kept)));
            if (sp != nullptr && sp > line_ && sp - line_ < static_cast<long>(sizeof tag_)) {
                std::memcpy(tag_, line_, static_cast<size_t>(sp - line_));
                tag_[sp - line_] = 0;
            }
        }
        lineLen_ = 0;
        bool sync = false;
        const uint64_t literal = LiteralAtEnd(&sync);
        lastLen_ = 0;
        if (literal != UINT64_MAX) {
            cmdStart_ = false;
            skip_ = literal;
            if (!sync) return;
            // The client waits for "+": the next response; without one in it, no literal comes.
            if (!HasContinuation(QueueNext())) skip_ = 0;
            return;
        }
        cmdStart_ = true;
        QueueNext();
    }

    // "{n}" or "{n+}" before the line end: n, else UINT64_MAX.
    uint64_t LiteralAtEnd(bool *sync) const {
        int e = lastLen_ - 1; // the LF
        if (e > 0 && last_[e - 1] == '\r') --e;
        if (--e < 0 || last_[e] != '}') return UINT64_MAX;
        *sync = true;
        if (--e >= 0 && last_[e] == '+') {
            *sync = false;
            --e;
        }
        uint64_t n = 0, scale = 1;
        int digits = 0;
        for (; e >= 0 && last_[e] >= '0' && last_[e] <= '9' && digits < 12; --e, ++digits, scale *= 10)
            n += static_cast<uint64_t>(last_[e] - '0') * scale;
        if (digits == 0 || e < 0 || last_[e] != '{') return UINT64_MAX;
        return n;
    }

    bool HasContinuation(size_t from) const {
        for (size_t i = from; i < tail_; ++i)
            if (out_[i] == '+' && (i == from || out_[i - 1] == '\n')) return true;
        return false;
    }

    // ---- What the server says ----------------------------------------------------------

    void Emit(const char *p, size_t n) {
        if (tailOut_ + n > kOutMax) n = kOutMax - tailOut_;
        if (totalOut_ + n > kInputOutMax) n = totalOut_ < kInputOutMax ? kInputOutMax - totalOut_ : 0;
        std::memcpy(out_ + tailOut_, p, n);
        tailOut_ += n;
        totalOut_ += n;
    }
    void EmitByte(char c) { Emit(&c, 1); }
    void EmitRepeat(char c, size_t n) {
        char b[256];
        std::memset(b, c, sizeof b);
        for (size_t done = 0; done < n;) {
            const size_t k = n - done < sizeof b ? n - done : sizeof b;
            Emit(b, k);
            done += k;
        }
    }
    // n bytes of lines of 64 (62 letters and CR LF); the last line may be shorter.
    void EmitLines(size_t n) {
        static const char kLine[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
        for (size_t done = 0; done < n;) {
            const size_t k = n - done < 64 ? n - done : 64;
            Emit(kLine, k);
            done += k;
        }
    }

    // Expands the next response of the script into the output; returns where it starts.
    size_t QueueNext() {
        if (closed_ || closeKind_ != 0) return tail_;
        if (head_ > 0) { // what is still pending moves to the front
            std::memmove(out_, out_ + head_, tail_ - head_);
            for (int i = 0; i < nBounds_; ++i) bounds_[i] = bounds_[i] > head_ ? bounds_[i] - head_ : 0;
            tail_ -= head_;
            head_ = 0;
        }
        tailOut_ = tail_;
        if (pos_ >= size_) {
            closeKind_ = 1; // the script has ended: the server closes
            if (gVerbose) std::fprintf(stderr, "  server: script ended, close\n");
            return tail_;
        }
        const size_t start = tailOut_;
        while (pos_ < size_) {
            const uint8_t c = script_[pos_++];
            if (c != 0xFF || pos_ >= size_) {
                EmitByte(static_cast<char>(c));
                continue;
            }
            const uint8_t d = script_[pos_++];
            const uint8_t k = pos_ < size_ ? script_[pos_] : 0;
            bool end = false;
            switch (d) {
            case 0xFF: EmitByte('\xff'); break;
            case 'E': end = true; break;
            case 'T': Emit(tag_, std::strlen(tag_)); break;
            case 'W':
                if (nBounds_ < kBoundsMax) bounds_[nBounds_++] = tailOut_;
                break;
            case 'X':
            case 'R':
                closeKind_ = d == 'X' ? 1 : 2;
                pos_ = size_;
                end = true;
                break;
            case 'B': ++pos_; EmitLines(size_t{k} * 256); break;
            case 'A': ++pos_; EmitRepeat('a', size_t{k} * 64); break;
            case 'P': ++pos_; EmitRepeat('(', k); break;
            case 'Q': ++pos_; EmitRepeat(')', k); break;
            case 'L': {
                ++pos_;
                char head[32];
                const int h = std::snprintf(head, sizeof head, "{%u}\r\n", unsigned{k} * 1024u);
                Emit(head, static_cast<size_t>(h));
                EmitLines(size_t{k} * 1024);
                break;
            }
            default:
                EmitByte('\xff');
                EmitByte(static_cast<char>(d));
                break;
            }
            if (end) break;
        }
        tail_ = tailOut_;
        if (gVerbose)
            std::fprintf(stderr, "  server: response of %zu bytes: %.*s\n", tail_ - start,
                         static_cast<int>(tail_ - start < 300 ? tail_ - start : 300), out_ + start);
        return start;
    }

    size_t NextPieceSize() {
        static const size_t kMax[] = {1, 2, 7, 31, 128, 1024, 8192, 8192};
        if (split_ == 0 || pieces_ >= kWholeAfterPieces) return SIZE_MAX;
        rng_ ^= rng_ << 13;
        rng_ ^= rng_ >> 17;
        rng_ ^= rng_ << 5;
        return 1 + rng_ % kMax[split_ >> 5];
    }

    void WritePiece() {
        if (head_ < tail_) {
            size_t n = tail_ - head_;
            const size_t piece = NextPieceSize();
            if (piece < n) n = piece;
            for (int i = 0; i < nBounds_; ++i)
                if (bounds_[i] > head_ && bounds_[i] - head_ < n) n = bounds_[i] - head_;
            const ssize_t w = send(conn_, out_ + head_, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (gVerbose) std::fprintf(stderr, "  server: wrote %zd of %zu\n", w, n);
            if (w > 0) {
                head_ += static_cast<size_t>(w);
                ++pieces_;
            }
            if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) head_ = tail_; // the client is gone
            if (head_ < tail_) return;
            nBounds_ = 0;
        }
        if (closeKind_ == 1 && !closed_) {
            shutdown(conn_, SHUT_WR);
            closed_ = true;
        } else if (closeKind_ == 2 && !closed_) {
            linger l{1, 0};
            setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            close(conn_);
            conn_ = -1;
            closed_ = true;
        }
    }

    int listen_ = -1, conn_ = -1, port_ = 0;
    bool armed_ = false;
    const uint8_t *script_ = nullptr;
    size_t size_ = 0, pos_ = 0;
    uint8_t split_ = 0;
    uint32_t rng_ = 1;
    int pieces_ = 0;
    // The output: [head_, tail_) still to write; tailOut_ while a response is expanded.
    char *out_ = static_cast<char *>(std::malloc(kOutMax));
    size_t head_ = 0, tail_ = 0, tailOut_ = 0, totalOut_ = 0;
    size_t bounds_[kBoundsMax];
    int nBounds_ = 0;
    int closeKind_ = 0; // 1 FIN, 2 RST once the output is written
    bool closed_ = false;
    // The client's input: the line so far, its last bytes, a literal to pass over.
    char line_[64];
    int lineLen_ = 0;
    char last_[40];
    int lastLen_ = 0;
    uint64_t skip_ = 0;
    bool cmdStart_ = true;
    char tag_[24] = "*";
};

ImapServer *gServer;
bool gDriverMode;

// ---- The client ------------------------------------------------------------------------------

int gBaseFds;
const char *gUser = "user";
const char *gPassword = "secret";
std::string gRoot, gMsgDir, gAttDir, gAppendFile, gEmptyFile;
int64_t gHeapExtra;   // bytes the heap grew by over the inputs (after the first ones)
long gInputs;

constexpr int32_t kKnownCodes[] = {
    ZEM_ERR_SOCKET_CLOSED, ZEM_ERR_BLOCKING, ZEM_ERR_BAD_STATUS_FLAG, ZEM_ERR_INVALID_SOCKET, ZEM_ERR_TIMED_OUT,
    ZEM_ERR_NO_SOCKADDR, ZEM_ERR_NO_HOST_NAME, ZEM_ERR_CANNOT_CREATE_SOCKET, ZEM_ERR_RESPONSE_OVERFLOW,
    ZEM_ERR_BAD_CHAR, ZEM_ERR_NO_WINSOCK, ZEM_ERR_CANNOT_OPEN_FILE, ZEM_ERR_CONNECT, ZEM_ERR_EMPTY_ADDRESS,
    ZEM_ERR_FROM_NULL, ZEM_ERR_MISSING_AT, ZEM_ERR_MISSING_FROM, ZEM_ERR_MISSING_LT, ZEM_ERR_MISSING_GT,
    ZEM_ERR_NOT_CONNECTED, ZEM_ERR_NO_RECIPIENT, ZEM_ERR_NO_SERVER, ZEM_ERR_NULL_POINTER, ZEM_ERR_TO_NULL,
    ZEM_ERR_SMTP, ZEM_ERR_SERVER_MISSING, ZEM_ERR_READ, ZEM_ERR_WRITE, ZEM_ERR_TOO_MANY_AT,
    ZEM_ERR_UNEXPECTED_GT, ZEM_ERR_NO_MEMORY, ZEM_ERR_BAD_SERVER_NAME, ZEM_ERR_APOP_TIMESTAMP,
    ZEM_ERR_SMTP_ONLY, ZEM_ERR_POP3_ONLY, ZEM_ERR_USER_MISSING, ZEM_ERR_PASSWORD_MISSING, ZEM_ERR_POP3,
    ZEM_ERR_NO_SUCH_MESSAGE, ZEM_ERR_MISSING_FILENAME, ZEM_ERR_MISSING_EMAIL_PATH, ZEM_ERR_CANNOT_CREATE_FILE,
    ZEM_ERR_BUFFER_NULL, ZEM_ERR_BUFFER_SIZE, ZEM_ERR_MISSING_ATTACH_PATH, ZEM_ERR_NOT_ATTACHED,
    ZEM_ERR_ALREADY_ATTACHED, ZEM_ERR_CHANNEL_RANGE, ZEM_ERR_MALFORMED_REPLY, ZEM_ERR_MESSAGE_TOO_LARGE,
    ZEM_ERR_TLS_HANDSHAKE, ZEM_ERR_TLS_UNTRUSTED, ZEM_ERR_TLS_NAME_MISMATCH, ZEM_ERR_TLS_NOT_OFFERED,
    ZEM_ERR_TLS_INJECTION, ZEM_ERR_TLS_LOCAL_FILES, ZEM_ERR_SIZE_LIMIT, ZEM_ERR_ALL_REFUSED, ZEM_ERR_CHARSET,
    ZEM_ERR_TOKEN_TOO_LONG, ZEM_ERR_IMAP, ZEM_ERR_IMAP_ONLY, ZEM_ERR_NO_LOGIN, ZEM_ERR_NO_MOVE,
};

void CheckResult(const char *what, int32_t r) {
    if (gVerbose) std::fprintf(stderr, "%s -> %d\n", what, r);
    if (r >= 0 || r <= -10000) return; // socket codes are negated error numbers
    for (int32_t k : kKnownCodes)
        if (r == k) return;
    std::fprintf(stderr, "imap_fuzz: %s returned the unknown code %d\n", what, r);
    std::abort();
}

// A request: blocking, or started and then driven step by step.
int32_t Run(const char *what, int32_t started) {
    int32_t r = started;
    if (gDriverMode && started >= 0) {
        bool idle = false;
        do {
            gServer->Pump(idle);
            zem::gChannelTable[0].ChannelPtr->WakeTick = 0; // the fixed pauses only cost time here
            r = zemDriver(0);
            idle = r > 0 && zemStatistics(0, ZEM_STAT_WAIT_READINESS) == 1;
            if (gVerbose) std::fprintf(stderr, "    driver %d idle %d\n", r, idle);
        } while (r > 0);
    }
    CheckResult(what, r);
    return r;
}

// The caller's buffer, with guard bytes behind the Size given.
constexpr int32_t kBufMax = 8192;
constexpr int32_t kGuard = 64;
char gBuf[kBufMax + kGuard];

char *FreshBuffer() {
    std::memset(gBuf, 0xA5, sizeof gBuf);
    return gBuf;
}

void CheckBuffer(const char *what, int32_t size, int32_t r) {
    for (int32_t i = size; i < size + kGuard; ++i)
        if (static_cast<uint8_t>(gBuf[i]) != 0xA5) Fail(what, i, size); // written past Size
    if (r < 0) return;
    if (std::memchr(gBuf, 0, static_cast<size_t>(size)) == nullptr) Fail("no NUL within Size", size, r);
}

int32_t BufferSize(unsigned v) {
    static const int32_t kSizes[] = {kBufMax, 1, 16, 100};
    return kSizes[v % 4];
}

void DoList(unsigned v) {
    static const char *const kPatterns[] = {"*", "%", "Entw\xc3\xbcrfe/*", "INBOX.*"};
    const int32_t size = BufferSize(v / 4);
    char *b = FreshBuffer();
    const int32_t r = Run("zemImapList", zemImapList(0, kPatterns[v % 4], b, size));
    CheckBuffer("zemImapList wrote past Size", size, r);
    if (r < 0 || gDriverMode) return;
    const int32_t stored = zemStatistics(0, ZEM_STAT_IMAP_STORED);
    if (stored < 0 || stored > r) Fail("zemImapList: more stored than found", stored, r);
    // One "name<TAB>attributes" line per mailbox: a name must not make more lines or columns.
    int32_t lines = 0, tabs = 0;
    for (const char *p = b; *p; ++p) {
        tabs += *p == '\t';
        if (*p != '\n') continue;
        if (tabs != 1) Fail("zemImapList: a line without exactly one TAB", lines, tabs);
        ++lines;
        tabs = 0;
    }
    if (lines != stored) Fail("zemImapList: lines in the buffer differ from the entries stored", lines, stored);
}

void DoSelect(unsigned v) {
    static const char *const kBoxes[] = {"INBOX", "[Gmail]/Sent Mail", "\xc3\x9c" "n\xc3\xaf" "code", "a\"b\\c"};
    Run("zemImapSelect", zemImapSelect(0, kBoxes[v % 4], (v / 4) & 1));
}

void DoSearch(unsigned v) {
    static const char *const kCriteria[] = {"ALL", "UNSEEN", ("SUBJECT \"gr\xc3\xbc\xc3\x9f" "e\""), ""};
    const int32_t size = BufferSize(v / 4);
    char *b = FreshBuffer();
    const int32_t r = Run("zemImapSearch", zemImapSearch(0, kCriteria[v % 4], b, size));
    CheckBuffer("zemImapSearch wrote past Size", size, r);
    if (r < 0 || gDriverMode) return;
    const int32_t stored = zemStatistics(0, ZEM_STAT_IMAP_STORED);
    if (stored < 0 || stored > r) Fail("zemImapSearch: more stored than found", stored, r);
    int32_t words = 0;
    for (const char *p = b; *p; ++p) {
        if (*p != ' ' && (*p < '0' || *p > '9')) Fail("zemImapSearch: not a UID list", *p, 0);
        if (*p != ' ' && (p == b || p[-1] == ' ')) ++words;
    }
    if (words != stored) Fail("zemImapSearch: UIDs in the buffer differ from those stored", words, stored);
}

uint32_t UidOf(unsigned v) {
    static const uint32_t kUids[] = {1, 7, 0xFFFFFFFFu};
    return kUids[v % 3];
}

void DoFetchFile(unsigned v, bool raw) {
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, raw ? 1 : 0);
    Run(raw ? "zemImapFetchFile raw" : "zemImapFetchFile",
        zemImapFetchFile(0, UidOf(v), "m.eml", gMsgDir.c_str(), gAttDir.c_str()));
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 0);
}

void DoFetchHeader(unsigned v) {
    static const int32_t kSizes[] = {kBufMax, 1, 2, 64};
    const int32_t size = kSizes[(v / 3) % 4];
    char *b = FreshBuffer();
    const int32_t r = Run("zemImapFetchHeader", zemImapFetchHeader(0, UidOf(v), b, size));
    CheckBuffer("zemImapFetchHeader wrote past Size", size, r);
    if (r < 0 || gDriverMode) return;
    if (r > size - 1 || b[r] != 0) Fail("zemImapFetchHeader: length and NUL disagree", r, size);
}

const char *UidSetOf(unsigned v) {
    static const char *const kSets[] = {"1:*", "5", "1,3:4"};
    return kSets[v % 3];
}

void DoStore(unsigned v) {
    static const char *const kFlags[] = {"+\\Seen", "-\\Flagged \\Deleted", "\\Answered", "+$Label1"};
    Run("zemImapStore", zemImapStore(0, UidSetOf(v), kFlags[(v / 3) % 4]));
}

void DoCopy(unsigned v, bool move) {
    Run(move ? "zemImapCopy move" : "zemImapCopy", zemImapCopy(0, UidSetOf(v), (v & 8) ? "Arch\xc3\xad" "v" : "Archive", move));
}

void DoExpunge(unsigned v) { Run("zemImapExpunge", zemImapExpunge(0, (v & 1) ? nullptr : "1:3")); }

void DoAppend(unsigned v) {
    static const char *const kFlags[] = {nullptr, "\\Seen", "\\Seen \\Draft"};
    const char *file = ((v / 3) & 1) ? gEmptyFile.c_str() : gAppendFile.c_str();
    Run("zemImapAppend", zemImapAppend(0, (v & 8) ? "Sent" : "INBOX", file, kFlags[v % 3]));
}

void DoMailbox(unsigned v) {
    Run("zemImapMailbox", zemImapMailbox(0, 1 + static_cast<int32_t>(v % 5), "Folder \xc3\xbc", (v & 8) ? "New&Name" : "Other"));
}

void Connect() { Run("zemImapConnect", zemImapConnect(0, "127.0.0.1", gUser, gPassword)); }

void CloseSession() {
    if (gDriverMode) {
        Run("zemClose", zemClose(0));
        // With automatic calling off zemClose keeps the request buffers: the blocking call on
        // the closed connection releases them.
        zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1);
        CheckResult("zemClose blocking", zemClose(0));
        zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    } else {
        CheckResult("zemClose", zemClose(0));
    }
}

void CheckNoStrayFiles() {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(gRoot, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path p = it->path();
        if (p == gMsgDir || p == gAttDir || p == gAppendFile || p == gEmptyFile) continue;
        if (it->is_directory() && (gMsgDir.rfind(p.string() + "/", 0) == 0)) continue; // the directories above them
        const fs::path parent = p.parent_path();
        if ((parent == gMsgDir || parent == gAttDir) && !it->is_directory()) continue;
        std::fprintf(stderr, "imap_fuzz: file outside the message and attachment directories: %s\n", p.c_str());
        std::abort();
    }
    for (const char *d : {gMsgDir.c_str(), gAttDir.c_str()})
        for (auto &e : fs::directory_iterator(d, ec)) fs::remove_all(e.path(), ec);
}

} // namespace

// In blocking mode the client waits for its socket in zem::SocketWait (the target links with
// -Wl,--wrap=_ZN3zem10SocketWaitEiii): the server takes its turn there, in the same thread,
// so an input always runs the same way. A wait for input with nothing due sends the next
// response; every wait is short, since whatever comes is already sent. The lingering close
// (zem::SocketCloseLinger, wrapped too) lets the server answer the FIN first.
extern "C" int32_t __real__ZN3zem10SocketWaitEiii(int32_t s, int kind, int32_t ms);
extern "C" int32_t __wrap__ZN3zem10SocketWaitEiii(int32_t s, int kind, int32_t ms) {
    if (gServer != nullptr && gServer->armed()) gServer->Pump(kind == 1);
    return __real__ZN3zem10SocketWaitEiii(s, kind, ms > 1 ? 1 : ms);
}

extern "C" int32_t __real__ZN3zem17SocketCloseLingerEi(int32_t s);
extern "C" int32_t __wrap__ZN3zem17SocketCloseLingerEi(int32_t s) {
    if (gServer != nullptr) gServer->ClientCloses(s);
    return __real__ZN3zem17SocketCloseLingerEi(s);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    gVerbose = std::getenv("ZEM_FUZZ_VERBOSE") != nullptr;
    zfz::FastLibrary();
    if (const char *log = std::getenv("ZEM_FUZZ_LOG")) zemStringParam(0, ZEM_STRING_LOG_FILE, log);
    zemIntegerParam(0, ZEM_PARAM_CLOSE_PAUSE, 0);
    zemIntegerParam(0, ZEM_PARAM_LOGIN_PAUSE, 0);
    gServer = new ImapServer();
    gServer->Init();
    zemIntegerParam(0, ZEM_PARAM_IMAP_PORT, gServer->port());
    // The directories the message and its attachments go to lie three levels down, so that
    // a name climbing out of them still lands inside the scratch directory, where it is seen.
    gRoot = zfz::ScratchDir("imap");
    gMsgDir = gRoot + "/a/b/c/msg";
    gAttDir = gRoot + "/a/b/c/att";
    gAppendFile = gRoot + "/append.eml";
    gEmptyFile = gRoot + "/empty.eml";
    fs::create_directories(gMsgDir);
    fs::create_directories(gAttDir);
    zfz::WriteBytes(gAppendFile, "From: a@b.test\nSubject: append\n\nline one\r\nline two\rlast line");
    zfz::WriteBytes(gEmptyFile, "");
    gBaseFds = zfz::OpenDescriptors();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || size > 65536) return 0;
    const uint8_t opt = data[0];
    const uint8_t split = data[1];
    const size_t nReq = data[2] % 16u;
    if (size < 3 + nReq) return 0;
    const uint8_t *reqs = data + 3;
    const int64_t heapBefore = ZFZ_HEAP_BYTES();

    gDriverMode = opt & 1;
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, gDriverMode ? 0 : 1);
    zemIntegerParam(0, ZEM_PARAM_NUMBERED_NAMES, (opt >> 1) & 1);
    zemIntegerParam(0, ZEM_PARAM_SAVE_NONAME, (opt >> 2) & 1);
    zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, (opt & 8) ? "ya29.token-for-the-fuzzer" : "");
    gUser = (opt & 16) ? "us\"er\\x" : "user";
    gPassword = (opt & 16) ? "pass word\"" : "secret";
    zemIntegerParam(0, ZEM_PARAM_MAX_MESSAGE_SIZE, (opt & 32) ? 2000 : 0);
    zemIntegerParam(0, ZEM_PARAM_SAVE_MESSAGES, (opt >> 6) & 1);
    zemIntegerParam(0, ZEM_PARAM_UTF8_NAMES, (opt >> 7) & 1);
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 0);
    gServer->Arm(data + 3 + nReq, size - 3 - nReq, split);
    if (gVerbose) std::fprintf(stderr, "input: options %02x, split %02x, %zu requests\n", opt, split, nReq);

    Connect();
    for (size_t i = 0; i < nReq; ++i) {
        const unsigned kind = reqs[i] % 14u, v = reqs[i] / 14u;
        switch (kind) {
        case 0: DoList(v); break;
        case 1: DoSelect(v); break;
        case 2: DoSearch(v); break;
        case 3: DoFetchFile(v, false); break;
        case 4: DoFetchFile(v, true); break;
        case 5: DoFetchHeader(v); break;
        case 6: DoStore(v); break;
        case 7: DoCopy(v, false); break;
        case 8: DoCopy(v, true); break;
        case 9: DoExpunge(v); break;
        case 10: DoAppend(v); break;
        case 11: DoMailbox(v); break;
        case 12: CloseSession(); break;
        default: Connect(); break;
        }
    }
    CloseSession();
    gServer->End(gBaseFds);
    CheckNoStrayFiles();

    // The heap: what an input leaves behind may only be the library's one-time set-up.
    const int64_t grown = ZFZ_HEAP_BYTES() - heapBefore;
    ++gInputs;
    if (gInputs > 64) gHeapExtra += grown;
    if (gHeapExtra > (int64_t{1} << 20)) Fail("the heap keeps growing from input to input", gHeapExtra, grown);
    return 0;
}
