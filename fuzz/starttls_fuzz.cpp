// libFuzzer target for STARTTLS (SMTP), STLS (POP3) and implicit TLS against a hostile
// server that speaks TLS for real. The server runs in the fuzzing thread: its OpenSSL
// session works on memory buffers, and the harness moves the bytes between them and the
// loopback connection between two zemDriver calls, so the handshake interleaves with the
// client's steps like every other exchange.
//
// The input: three option bytes, then what the server says in plain text, then, after the
// marker "<<TLS>>", what it says once the client has begun its handshake. Without the
// marker the server closes after the plain part; with it the server closes once the
// client has taken the whole plain part and is not beginning a handshake (it could only
// wait). In implicit mode the plain part (empty unless the marker is there) comes before
// the handshake.
//   byte 0  bit 0     POP3 instead of SMTP
//           bits 1-2  the client's ZEM_PARAM_TLS: 0 and 3 required, 1 opportunistic, 2 implicit
//           bit 3     the part after the marker goes out raw, as the server's handshake
//           bits 4-5  the end of the stream under TLS: 0 close_notify, 1 the records end,
//                     2 the stream is cut inside (byte 2 says where), 3 what follows the
//                     last line break of the part goes raw after the records
//           bit 6     SMTP: a user name and password (AUTH); POP3: APOP
//           bit 7     SMTP: an attachment; POP3: messages saved raw
//   byte 1  bits 0-2  the server's certificate: 0-4 good, 5 another name, 6 self-signed,
//                     7 expired
//           bit 3     the client does not verify the certificate
//           bit 4     TLS 1.2 at most (else 1.3)
//           bit 5     one record per line of the part (else one record for all)
//           bit 6     TLS 1.3: a key update the client must answer, and no session ticket;
//                     TLS 1.2: a renegotiation before the part
//           bit 7     the server asks for a client certificate, and the client has one
//   byte 2            the cut: that many 256ths of the encrypted part (plus one byte) go
//
// Checks after each input, besides the blocks, request blocks and descriptors:
// - while TLS is required, nothing but EHLO/HELO, STARTTLS/STLS and QUIT is said in the
//   clear (never AUTH, USER, PASS, APOP, a password or a message), and STARTTLS/STLS
//   never follows any other command;
// - after the switch every byte the client writes is a TLS record;
// - no handshake begins while plain text from the server is still unread;
// - when the plain part is clear enough to tell (clean CRLF lines), the result is the one
//   it calls for: bytes after the go-ahead fail the connect with ZEM_ERR_TLS_INJECTION, a
//   server without STARTTLS/STLS (or refusing it) with ZEM_ERR_TLS_NOT_OFFERED when TLS
//   is required, and an offer is always taken up;
// - a certificate the client must refuse is refused with its code and never completes
//   the handshake; one it must take never fails it; raw bytes never make a session;
// - a connect that succeeds with TLS required ran the whole handshake with this server.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "hostile_server.h"
#include "test_support_fuzz.h"

// scripts/fuzz.sh gives the path of tests/support/make_test_certs.sh.
#ifndef ZEM_FUZZ_CERT_SCRIPT
#error "build with -DZEM_FUZZ_CERT_SCRIPT=\"path/to/make_test_certs.sh\""
#endif

namespace fs = std::filesystem;

namespace {

const char kMarker[] = "<<TLS>>";
constexpr size_t kMarkerSize = sizeof kMarker - 1;
const char kPassword[] = "secret";

enum Mode : int { kRequired = 1, kImplicit = 2, kOpportunistic = 3 };
enum Ending : int { kCloseNotify = 0, kRecordsEnd = 1, kCut = 2, kRawTail = 3 };
enum Cert : int { kGood = 0, kOtherName = 5, kSelfSigned = 6, kExpired = 7 };

struct Options {
    bool pop3;
    int mode;
    bool raw;
    int ending;
    bool bit6;
    bool bit7;
    int cert;
    bool noVerify;
    bool tls12;
    bool splitRecords;
    bool keyUpdate;
    bool clientCert;
    uint8_t cut;

    static Options From(const uint8_t *o) {
        Options p{};
        p.pop3 = o[0] & 1;
        static const int kModes[4] = {kRequired, kOpportunistic, kImplicit, kRequired};
        p.mode = kModes[(o[0] >> 1) & 3];
        p.raw = (o[0] >> 3) & 1;
        p.ending = (o[0] >> 4) & 3;
        p.bit6 = (o[0] >> 6) & 1;
        p.bit7 = (o[0] >> 7) & 1;
        p.cert = o[1] & 7;
        if (p.cert < kOtherName) p.cert = kGood;
        p.noVerify = (o[1] >> 3) & 1;
        p.tls12 = (o[1] >> 4) & 1;
        p.splitRecords = (o[1] >> 5) & 1;
        p.keyUpdate = (o[1] >> 6) & 1;
        p.clientCert = (o[1] >> 7) & 1;
        p.cut = o[2];
        return p;
    }
    // The client must refuse the server's certificate.
    bool Refused() const { return cert != kGood && !noVerify; }
    int32_t RefusalCode() const { return cert == kOtherName ? ZEM_ERR_TLS_NAME_MISMATCH : ZEM_ERR_TLS_UNTRUSTED; }
};

std::string Hex(const std::string &s, size_t max = 64) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < s.size() && i < max; ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(s[i]));
        out += b;
    }
    return out;
}

[[noreturn]] void Fault(const std::string &what) {
    std::fprintf(stderr, "starttls_fuzz: %s\n", what.c_str());
    std::abort();
}

bool StartsNoCase(const std::string &s, const char *prefix) {
    for (size_t i = 0; prefix[i] != 0; ++i)
        if (i >= s.size() || std::toupper(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

bool IsTlsCommand(const std::string &line) {
    return StartsNoCase(line, "STARTTLS\r\n") || StartsNoCase(line, "STLS\r\n");
}

// ---- What the client must make of the plain part ----------------------------------------

// One line of printable ASCII ending in CR LF at p, at most 200 bytes: its length, or 0.
size_t CleanLine(const std::string &s, size_t p) {
    for (size_t i = p; i < s.size() && i - p < 200; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\r') return (i + 1 < s.size() && s[i + 1] == '\n') ? i + 2 - p : 0;
        if (c < 0x20 || c > 0x7e) return 0;
    }
    return 0;
}

struct Reply {
    bool clean = false;
    int code = 0;
    size_t end = 0;
    bool offersTls = false;
};

// An SMTP reply at p made of clean lines with one code, at most 10 lines and 512 bytes.
Reply SmtpReply(const std::string &s, size_t p) {
    Reply r;
    size_t total = 0;
    for (int lines = 1; lines <= 10; ++lines) {
        const size_t n = CleanLine(s, p);
        if (n < 5 || !std::isdigit(static_cast<unsigned char>(s[p])) || !std::isdigit(static_cast<unsigned char>(s[p + 1])) ||
            !std::isdigit(static_cast<unsigned char>(s[p + 2])))
            return r;
        const int code = std::atoi(s.substr(p, 3).c_str());
        if (lines == 1) r.code = code;
        if (code != r.code) return r;
        const char sep = s[p + 3];
        if (sep != ' ' && sep != '-' && sep != '\r') return r;
        if (n >= 14 && StartsNoCase(s.substr(p + 4, 8), "STARTTLS") && (s[p + 12] == ' ' || s[p + 12] == '\r'))
            r.offersTls = true;
        p += n;
        total += n;
        if (total > 512) return r;
        if (sep != '-') {
            r.clean = true;
            r.end = p;
            return r;
        }
    }
    return r;
}

enum Expect { kAnything, kInjection, kNotOffered };

// The outcome the plain part calls for. askedTls: the server read STARTTLS/STLS; open:
// the server kept the connection open after the plain part (TLS was to follow).
// A connect that timed out (the reply time-out is 20 ms, and a loaded machine or a reply
// that comes in pieces can pass it) may have stopped anywhere.
Expect Predict(const Options &o, const std::string &plain, bool askedTls, bool open, bool timedOut) {
    if (o.mode == kImplicit || timedOut) return kAnything;
    if (!o.pop3) {
        const Reply greeting = SmtpReply(plain, 0);
        if (!greeting.clean || greeting.code != 220) return kAnything;
        const Reply ehlo = SmtpReply(plain, greeting.end);
        if (!ehlo.clean || ehlo.code != 250) return kAnything;
        if (!ehlo.offersTls) {
            if (askedTls) Fault("STARTTLS was sent though the EHLO reply did not offer it");
            return o.mode == kRequired ? kNotOffered : kAnything;
        }
        // (A client that sees the end of the stream after the offer may give up first.)
        if (!askedTls && (open || ehlo.end < plain.size()))
            Fault("the EHLO reply offered STARTTLS and the client did not take it up");
        const Reply answer = SmtpReply(plain, ehlo.end);
        if (!answer.clean) return kAnything;
        if (answer.code != 220) return o.mode == kRequired ? kNotOffered : kAnything;
        return answer.end < plain.size() ? kInjection : kAnything;
    }
    const size_t g = CleanLine(plain, 0);
    if (g < 3 || plain[0] != '+') return kAnything;
    if (!askedTls && (open || g < plain.size())) Fault("the client did not send STLS after the greeting");
    const size_t a = CleanLine(plain, g);
    if (a < 3) return kAnything;
    if (plain[g] == '-') return o.mode == kRequired ? kNotOffered : kAnything;
    if (plain[g] != '+') return kAnything;
    return g + a < plain.size() ? kInjection : kAnything;
}

// ---- The server ------------------------------------------------------------------------

struct Identity {
    X509 *cert = nullptr;
    EVP_PKEY *key = nullptr;
};

SSL_CTX *gContext;
Identity gIdentities[8];
std::string gCertDir;

int AcceptAnyClient(int, X509_STORE_CTX *) { return 1; }

Identity LoadIdentity(const std::string &name) {
    Identity id;
    BIO *b = BIO_new_file((gCertDir + "/" + name + ".pem").c_str(), "r");
    if (b != nullptr) id.cert = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
    BIO_free(b);
    b = BIO_new_file((gCertDir + "/" + name + ".key").c_str(), "r");
    if (b != nullptr) id.key = PEM_read_bio_PrivateKey(b, nullptr, nullptr, nullptr);
    BIO_free(b);
    if (id.cert == nullptr || id.key == nullptr) zfz::Fail("cannot load a test certificate");
    return id;
}

zem::Channel &Client() { return *zem::gChannelTable[0].ChannelPtr; }

class TlsServer {
public:
    TlsServer() { listen_ = zfz::ListenLoopback(&port_); }
    int port() const { return port_; }

    void Arm(const Options &o, std::string plain, std::string tls, bool hasTls) {
        opt_ = o;
        plain_ = std::move(plain);
        tls_ = std::move(tls);
        hasTls_ = hasTls;
        phase_ = kPlain;
        out_.clear();
        finPending_ = finSent_ = peerClosed_ = plainFin_ = false;
        otherCommand_ = false;
        line_.clear();
        lastLine_.clear();
        clientBytes_ = 0;
        askedTls_ = switched_ = flightSent_ = handshakeDone_ = sslFailed_ = renegotiated_ = false;
        records_.clear();
        version_.clear();
        said_.clear();
        heard_.clear();
    }

    bool askedTls() const { return askedTls_; }
    bool keptOpen() const { return hasTls_ && !plainFin_; }
    bool switched() const { return switched_; }
    bool flightSent() const { return flightSent_; }
    bool handshakeDone() const { return handshakeDone_; }
    bool renegotiated() const { return renegotiated_; }
    const std::string &version() const { return version_; }
    const std::string &plain() const { return plain_; }
    const std::string &heard() const { return heard_; }
    const std::string &said() const { return said_; }

    // Between two driver steps: accept, say the plain part, read what the client says,
    // run the handshake, say the part under TLS, close when the input is spent.
    void Serve() {
        if (conn_ < 0) {
            conn_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (conn_ < 0) return;
            QuickAck();
            out_ = plain_;
            // Without TLS to come, or when the plain part cannot end with a go-ahead, the
            // server is done after it (a client waiting for the rest of a line or reply
            // would otherwise sit out its reply time-out).
            if (opt_.mode != kImplicit && (!hasTls_ || !EndsWithWholeReply())) finPending_ = plainFin_ = true;
        }
        Flush();
        Receive();
        if (phase_ == kHandshake) Handshake();
        if (phase_ == kRenegotiation) Renegotiation();
        if (phase_ == kPlain && opt_.mode != kImplicit && !finPending_ && ClientWaitsInPlain()) finPending_ = true;
        Flush();
        QuickAck();
    }

    int32_t Drive(int32_t started) {
        const int32_t r = zfz::DriveSteps(started, [this] { Serve(); });
        // The last step may have sent a command and read its answer already there (the
        // whole input is said at once): what the client said must be heard before the
        // outcome is judged.
        if (conn_ >= 0) Receive();
        return r;
    }

    void Close() {
        Drive(zemClose(0));
        zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1);
        zemClose(0);
        zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
        if (conn_ >= 0) Receive();
    }

    // The client is about to close its socket s with a linger time: its FIN goes now, and
    // the server reads to the end and closes its side too. The lingering close then finds
    // its FIN acknowledged; else a server waiting for a handshake would acknowledge it
    // with its delayed ACK only, 40 ms later, since it runs in this very thread.
    void ClientCloses(int32_t s) {
        if (conn_ < 0) return;
        shutdown(s, SHUT_WR);
        Receive();
        finPending_ = true;
        Flush();
        QuickAck();
    }

    void EndInput(int baselineFds) {
        if (conn_ >= 0) close(conn_);
        conn_ = -1;
        if (ssl_ != nullptr) SSL_free(ssl_);
        ssl_ = nullptr;
        ERR_clear_error();
        zfz::DropBacklog(listen_);
        zfz::CheckReleased(baselineFds);
    }

private:
    enum Phase { kPlain, kHandshake, kRenegotiation, kUnderTls };

    void QuickAck() {
        int one = 1;
        if (conn_ >= 0) setsockopt(conn_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }

    // The plain part ends with a whole line that ends an SMTP reply, or with a whole
    // POP3 status line. Not with a NUL in it: the reply reader's search for a line end
    // stops at a NUL and takes all that has come, so its lines are not the server's.
    bool EndsWithWholeReply() const {
        if (plain_.empty() || plain_.back() != '\n' || plain_.find('\0') != std::string::npos) return false;
        if (opt_.pop3) return true;
        size_t start = 0;
        if (plain_.size() >= 2) {
            const size_t prev = plain_.rfind('\n', plain_.size() - 2);
            if (prev != std::string::npos) start = prev + 1;
        }
        const std::string last = plain_.substr(start);
        return !(last.size() >= 4 && last[3] == '-');
    }

    // The client has taken every plain byte and is not about to begin its handshake: it
    // can only wait for more, and there is no more.
    bool ClientWaitsInPlain() {
        zem::Channel &ch = Client();
        if (!out_.empty() || !ch.SocketOpen || ch.Tls != nullptr || ch.NextState == 108 || ch.NextState == 109) return false;
        int unread = 0;
        if (ioctl(ch.Socket, FIONREAD, &unread) != 0) return false;
        return unread == 0 && zem::RingCount(ch) == 0;
    }

    int ClientUnread() {
        zem::Channel &ch = Client();
        int unread = 0;
        if (!ch.SocketOpen || ioctl(ch.Socket, FIONREAD, &unread) != 0) return 0;
        return unread;
    }

    void Flush() {
        if (conn_ < 0) return;
        while (!out_.empty()) {
            ssize_t w = send(conn_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w <= 0) break;
            out_.erase(0, static_cast<size_t>(w));
        }
        if (out_.empty() && finPending_ && !finSent_) {
            shutdown(conn_, SHUT_WR);
            finSent_ = true;
        }
    }

    void Receive() {
        char buf[8192];
        for (;;) {
            ssize_t n = recv(conn_, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0) peerClosed_ = true;
            if (n <= 0) break;
            Take(buf, static_cast<size_t>(n));
        }
        if (peerClosed_ && (phase_ == kHandshake || phase_ == kRenegotiation)) {
            phase_ = kUnderTls;
            finPending_ = true;
        }
    }

    void Take(const char *bytes, size_t n) {
        size_t i = 0;
        for (; i < n && phase_ == kPlain; ++i) {
            const unsigned char c = static_cast<unsigned char>(bytes[i]);
            if (line_.empty() && c == 0x16) {
                // A TLS handshake record at the start of a line.
                if (opt_.mode == kImplicit ? clientBytes_ == 0 : IsTlsCommand(lastLine_)) {
                    Switch();
                    break;
                }
                Fault("the client began a handshake without STARTTLS/STLS: after \"" + lastLine_ + "\"");
            }
            if (opt_.mode == kImplicit)
                Fault("implicit TLS: the client's first bytes are not a handshake record: " + Hex(std::string(bytes + i, n - i)));
            ++clientBytes_;
            heard_ += static_cast<char>(c);
            line_ += static_cast<char>(c);
            if (c == '\n') {
                CheckPlainLine(line_);
                lastLine_ = line_;
                line_.clear();
            }
        }
        if (i < n) TakeUnderTls(bytes + i, n - i);
    }

    // STARTTLS/STLS comes before any command but EHLO/HELO; while TLS is required only
    // these and QUIT may go out before it.
    void CheckPlainLine(const std::string &line) {
        const bool greeting = StartsNoCase(line, "EHLO ") || StartsNoCase(line, "HELO ");
        if (IsTlsCommand(line)) {
            if (otherCommand_) Fault("\"" + line + "\" after other commands: " + heard_);
            askedTls_ = true;
        } else if (!greeting) {
            otherCommand_ = true;
        }
        if (opt_.mode != kRequired) return;
        if (line.find(kPassword) != std::string::npos) Fault("the password went out in the clear: " + line);
        if (greeting || IsTlsCommand(line) || StartsNoCase(line, "QUIT\r\n")) return;
        Fault("\"" + line + "\" went out in the clear while TLS is required");
    }

public:
    // After the input: nothing of a credential in a line the client left unfinished.
    void CheckUnfinishedLine() const {
        if (opt_.mode != kRequired || line_.empty()) return;
        if (line_.find(kPassword) != std::string::npos) Fault("the password went out in the clear: " + line_);
        for (const char *ok : {"EHLO ", "HELO ", "STARTTLS\r\n", "STLS\r\n", "QUIT\r\n"}) {
            const std::string head(ok, std::min(std::strlen(ok), line_.size()));
            if (StartsNoCase(line_, head.c_str())) return;
        }
        Fault("\"" + line_ + "\" went out in the clear while TLS is required");
    }

private:

    void Switch() {
        switched_ = true;
        phase_ = kHandshake;
        const int unread = ClientUnread();
        if (opt_.mode != kImplicit && unread > 0)
            Fault("the handshake began with " + std::to_string(unread) + " bytes of plain text unread");
        if (finPending_) {
            // The server had closed before the go-ahead was read: no handshake to run.
            phase_ = kUnderTls;
            return;
        }
        if (opt_.raw) {
            // Whatever comes after the marker is the server's "handshake".
            out_ += tls_;
            finPending_ = true;
            phase_ = kUnderTls;
            return;
        }
        ssl_ = SSL_new(gContext);
        if (ssl_ == nullptr) zfz::Fail("SSL_new");
        const Identity &id = gIdentities[opt_.cert];
        SSL_use_certificate(ssl_, id.cert);
        SSL_use_PrivateKey(ssl_, id.key);
        if (opt_.tls12) SSL_set_max_proto_version(ssl_, TLS1_2_VERSION);
        SSL_set_num_tickets(ssl_, opt_.keyUpdate ? 0 : 1);
        if (opt_.clientCert) SSL_set_verify(ssl_, SSL_VERIFY_PEER, AcceptAnyClient);
        SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        SSL_set_accept_state(ssl_);
    }

    // Every byte after the switch belongs to a TLS record (type, version 3.x, length).
    void TakeUnderTls(const char *bytes, size_t n) {
        records_.append(bytes, n);
        size_t p = 0;
        while (records_.size() - p >= 5) {
            const unsigned char type = static_cast<unsigned char>(records_[p]);
            const unsigned char major = static_cast<unsigned char>(records_[p + 1]);
            const size_t len = (static_cast<size_t>(static_cast<unsigned char>(records_[p + 3])) << 8) |
                               static_cast<unsigned char>(records_[p + 4]);
            if (type < 20 || type > 23 || major != 3 || len > 18432)
                Fault("the client wrote something that is not a TLS record after the switch: " + Hex(records_.substr(p)));
            if (records_.size() - p < 5 + len) break;
            p += 5 + len;
        }
        records_.erase(0, p);
        if (ssl_ == nullptr || sslFailed_) return;
        if (phase_ == kHandshake || handshakeDone_) BIO_write(SSL_get_rbio(ssl_), bytes, static_cast<int>(n));
        if (handshakeDone_ && phase_ != kRenegotiation) ReadUnderTls();
    }

    // What the client says under TLS (kept for the trace).
    void ReadUnderTls() {
        char buf[4096];
        size_t got = 0;
        ERR_clear_error();
        while (SSL_read_ex(ssl_, buf, sizeof buf, &got) == 1) said_.append(buf, got);
        ERR_clear_error();
    }

    void DrainOutput(std::string &to) {
        char buf[4096];
        for (int k; (k = BIO_read(SSL_get_wbio(ssl_), buf, sizeof buf)) > 0;) to.append(buf, static_cast<size_t>(k));
    }

    void Handshake() {
        ERR_clear_error();
        const int r = SSL_do_handshake(ssl_);
        const size_t before = out_.size();
        DrainOutput(out_);
        if (r == 1) {
            flightSent_ = true;
            handshakeDone_ = true;
            version_ = SSL_get_version(ssl_);
            if (opt_.keyUpdate && opt_.tls12) {
                // TLS 1.2: a renegotiation first; the client's read of its next reply
                // runs it.
                SSL_renegotiate(ssl_);
                SSL_do_handshake(ssl_);
                DrainOutput(out_);
                phase_ = kRenegotiation;
                ERR_clear_error();
                return;
            }
            SayUnderTls();
            ReadUnderTls();
            phase_ = kUnderTls;
            finPending_ = true;
        } else {
            const int e = SSL_get_error(ssl_, r);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
                if (out_.size() > before) flightSent_ = true;
            } else {
                sslFailed_ = true;
                phase_ = kUnderTls;
                finPending_ = true;
            }
        }
        ERR_clear_error();
    }

    // The client's new handshake, taken by reads; the part follows once it is complete.
    void Renegotiation() {
        char buf[4096];
        size_t got = 0;
        ERR_clear_error();
        int r;
        while ((r = SSL_read_ex(ssl_, buf, sizeof buf, &got)) == 1) said_.append(buf, got);
        const int e = SSL_get_error(ssl_, r);
        DrainOutput(out_);
        ERR_clear_error();
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            phase_ = kUnderTls;
            finPending_ = true;
            return;
        }
        if (SSL_renegotiate_pending(ssl_) || SSL_in_init(ssl_)) return;
        renegotiated_ = true;
        SayUnderTls();
        phase_ = kUnderTls;
        finPending_ = true;
    }

    // The part after the marker as application data, then the ending.
    void SayUnderTls() {
        size_t inside = tls_.size();
        if (opt_.ending == kRawTail) {
            const size_t lf = tls_.rfind('\n');
            inside = lf == std::string::npos ? 0 : lf + 1;
        }
        if (opt_.keyUpdate && !opt_.tls12) {
            SSL_key_update(ssl_, SSL_KEY_UPDATE_REQUESTED);
            if (inside == 0) SSL_do_handshake(ssl_);
        }
        size_t p = 0;
        while (p < inside) {
            size_t n = inside - p;
            if (opt_.splitRecords) {
                const size_t lf = tls_.find('\n', p);
                if (lf != std::string::npos && lf < inside) n = lf + 1 - p;
            }
            size_t put = 0;
            if (SSL_write_ex(ssl_, tls_.data() + p, n, &put) != 1 || put == 0) break;
            p += put;
        }
        if (opt_.ending == kCloseNotify) SSL_shutdown(ssl_);
        std::string app;
        DrainOutput(app);
        if (opt_.ending == kCut && !app.empty()) {
            size_t drop = 1 + static_cast<size_t>(opt_.cut) * app.size() / 256;
            if (drop > app.size()) drop = app.size();
            app.resize(app.size() - drop);
        }
        out_ += app;
        if (opt_.ending == kRawTail) out_ += tls_.substr(inside);
        ERR_clear_error();
    }

    int listen_ = -1;
    int port_ = 0;
    int conn_ = -1;
    Options opt_{};
    std::string plain_, tls_;
    bool hasTls_ = false;
    Phase phase_ = kPlain;
    std::string out_;
    bool finPending_ = false, finSent_ = false, peerClosed_ = false;
    bool plainFin_ = false;     // closed right after the plain part
    bool otherCommand_ = false; // a command other than EHLO/HELO came in the clear
    std::string line_, lastLine_;
    std::string heard_; // what the client said in the clear
    size_t clientBytes_ = 0;
    bool askedTls_ = false, switched_ = false, flightSent_ = false, handshakeDone_ = false, sslFailed_ = false;
    bool renegotiated_ = false;
    std::string records_;
    std::string version_;
    std::string said_;
    SSL *ssl_ = nullptr;
};

TlsServer *gServer;
int gBaseFds;
std::string gRoot, gMsgDir, gAttachment;

void RemoveScratch() {
    std::error_code ec;
    fs::remove_all(gRoot, ec);
}

std::string Debug(int index) {
    char buf[256];
    const int32_t n = zemDebug(0, index, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The checks of the connect's outcome against what the server saw.
void CheckConnect(const Options &o, int32_t r) {
    const Expect e = Predict(o, gServer->plain(), gServer->askedTls(), gServer->keptOpen(), r == ZEM_ERR_TIMED_OUT);
    if (e == kInjection && r != ZEM_ERR_TLS_INJECTION)
        Fault("bytes after the go-ahead, and the connect returned " + std::to_string(r));
    if (e == kNotOffered && r != ZEM_ERR_TLS_NOT_OFFERED)
        Fault("TLS required and not offered, and the connect returned " + std::to_string(r));
    const bool tlsCode = r == ZEM_ERR_TLS_HANDSHAKE || r == ZEM_ERR_TLS_UNTRUSTED || r == ZEM_ERR_TLS_NAME_MISMATCH;
    if (gServer->switched() && o.raw && !tlsCode)
        Fault("raw bytes for a handshake, and the connect returned " + std::to_string(r));
    if (!o.raw && o.Refused() && gServer->handshakeDone()) Fault("the client completed a handshake with a certificate it must refuse");
    // In implicit mode a plain part comes before the server's flight: the client takes
    // it for the handshake and fails whatever the certificate.
    const bool cleanFlight = gServer->flightSent() && !o.raw && (o.mode != kImplicit || gServer->plain().empty());
    if (cleanFlight && o.Refused() && r != o.RefusalCode())
        Fault("a certificate to refuse (" + std::to_string(o.cert) + ") and the connect returned " + std::to_string(r));
    if (cleanFlight && !o.Refused() && tlsCode) Fault("a good handshake failed: " + std::to_string(r));
    if (r == 0 && (o.mode != kOpportunistic || gServer->switched())) {
        if (!gServer->handshakeDone()) Fault("the connect succeeded without a TLS handshake");
        if (Debug(ZEM_DEBUG_TLS_PROTOCOL) != gServer->version())
            Fault("the connect reports " + Debug(ZEM_DEBUG_TLS_PROTOCOL) + ", the server ran " + gServer->version());
    }
}

// STARTTLS_FUZZ_TRACE=1: each input's results and what the client said, on stderr.
bool gTrace;

std::chrono::steady_clock::time_point gInputStart;

void Trace(const char *what, int32_t r) {
    if (!gTrace) return;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - gInputStart);
    std::fprintf(stderr, "[%s: %d after %lld us]\n", what, r, static_cast<long long>(us.count()));
}

void TraceEnd() {
    if (!gTrace) return;
    std::fprintf(stderr, "[clear]\n%s[tls %s%s]\n%s[end]\n", gServer->heard().c_str(), gServer->version().c_str(),
                 gServer->renegotiated() ? ", renegotiated" : "", gServer->said().c_str());
}

void CleanMessages() {
    std::error_code ec;
    for (auto &e : fs::directory_iterator(gMsgDir, ec)) fs::remove_all(e.path(), ec);
}

} // namespace

// scripts/fuzz.sh links this target with -Wl,--wrap=_ZN3zem17SocketCloseLingerEi.
extern "C" int32_t __real__ZN3zem17SocketCloseLingerEi(int32_t s);
extern "C" int32_t __wrap__ZN3zem17SocketCloseLingerEi(int32_t s) {
    if (gServer != nullptr) gServer->ClientCloses(s);
    return __real__ZN3zem17SocketCloseLingerEi(s);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zfz::FastLibrary();
    zemIntegerParam(0, ZEM_PARAM_POP3_DATA_WAIT, 20);
    gRoot = zfz::ScratchDir("starttls");
    std::atexit(RemoveScratch);
    // Fresh test certificates (no key is ever kept in the tree), unless a directory made
    // by the same script is given.
    if (const char *given = std::getenv("ZEM_FUZZ_CERTS")) {
        gCertDir = given;
    } else {
        gCertDir = gRoot + "/certs";
        const std::string cmd = std::string("sh '") + ZEM_FUZZ_CERT_SCRIPT + "' '" + gCertDir + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) zfz::Fail("cannot make the test certificates");
    }
    gIdentities[kGood] = LoadIdentity("server");
    gIdentities[kOtherName] = LoadIdentity("other");
    gIdentities[kSelfSigned] = LoadIdentity("self");
    gIdentities[kExpired] = LoadIdentity("expired");
    gContext = SSL_CTX_new(TLS_server_method());
    if (gContext == nullptr) zfz::Fail("SSL_CTX_new");
    SSL_CTX_set_min_proto_version(gContext, TLS1_2_VERSION);
    SSL_CTX_set_session_cache_mode(gContext, SSL_SESS_CACHE_OFF);
    gServer = new TlsServer();
    gMsgDir = gRoot + "/msg";
    fs::create_directories(gMsgDir);
    gAttachment = gRoot + "/attach.bin";
    zfz::WriteBytes(gAttachment, std::string(300, 'a') + "\r\n.\r\nattachment end\r\n");
    gTrace = std::getenv("STARTTLS_FUZZ_TRACE") != nullptr;
    gBaseFds = zfz::OpenDescriptors();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3 || size > 16384) return 0;
    gInputStart = std::chrono::steady_clock::now();
    const Options o = Options::From(data);
    const std::string rest(reinterpret_cast<const char *>(data) + 3, size - 3);
    const size_t m = rest.find(kMarker);
    const bool hasTls = m != std::string::npos;
    std::string plain = hasTls ? rest.substr(0, m) : rest;
    std::string tls = hasTls ? rest.substr(m + kMarkerSize) : std::string();
    if (o.mode == kImplicit && !hasTls) std::swap(plain, tls);
    gServer->Arm(o, std::move(plain), std::move(tls), hasTls || o.mode == kImplicit);

    zemIntegerParam(0, ZEM_PARAM_TLS, o.mode);
    zemIntegerParam(0, ZEM_PARAM_TLS_VERIFY, o.noVerify ? 0 : 1);
    zemStringParam(0, ZEM_STRING_CA_FILE, (gCertDir + "/ca.pem").c_str());
    const std::string cert = o.clientCert ? gCertDir + "/client.pem" : std::string();
    const std::string key = o.clientCert ? gCertDir + "/client.key" : std::string();
    zemStringParam(0, ZEM_STRING_CLIENT_CERT, cert.c_str());
    zemStringParam(0, ZEM_STRING_CLIENT_KEY, key.c_str());
    if (!o.pop3) {
        zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, gServer->port());
        zemIntegerParam(0, ZEM_PARAM_USE_EHLO, o.bit6 ? 1 : 0); // with EHLO comes AUTH
        zemStringParam(0, ZEM_STRING_USER_NAME, o.bit6 ? "user" : "");
        zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, o.bit6 ? kPassword : "");
        const int32_t r = gServer->Drive(zemSmtpConnect(0, "127.0.0.1", "<a@client.test>", nullptr));
        Trace("connect", r);
        CheckConnect(o, r);
        if (r >= 0)
            Trace("send", gServer->Drive(zemSendEmail(0, "<b@fault.test>", nullptr, nullptr, "fuzz", "line one\r\n.leading dot\r\nline three",
                                        o.bit7 ? gAttachment.c_str() : nullptr)));
    } else {
        zemIntegerParam(0, ZEM_PARAM_POP3_PORT, gServer->port());
        zemIntegerParam(0, ZEM_PARAM_USE_APOP, o.bit6 ? 1 : 0);
        zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, o.bit7 ? 1 : 0);
        const int32_t r = gServer->Drive(zemPop3Connect(0, "127.0.0.1", "user", kPassword));
        Trace("connect", r);
        CheckConnect(o, r);
        if (r == 0) {
            Trace("count", gServer->Drive(zemGetEmailCount(0)));
            Trace("file", gServer->Drive(zemGetEmailFile(0, 1, "m.eml", gMsgDir.c_str(), gMsgDir.c_str())));
            Trace("delete", gServer->Drive(zemDeleteEmail(0, 1)));
        }
    }
    gServer->Close();
    gServer->CheckUnfinishedLine();
    Trace("close", 0);
    TraceEnd();
    gServer->EndInput(gBaseFds);
    CleanMessages();
    return 0;
}
