#include "script_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace zt {

// ---- Step builders -------------------------------------------------------------------

namespace {

Step Make(Step::Kind kind, std::string text = std::string(), int ms = 0) {
    Step s;
    s.kind = kind;
    s.text = std::move(text);
    s.ms = ms;
    return s;
}

}  // namespace

Step Send(std::string bytes) { return Make(Step::Kind::Send, std::move(bytes)); }
Step Reply(std::string text) { return Make(Step::Kind::Send, std::move(text) + "\r\n"); }
Step SendChunks(std::vector<std::string> chunks, int delayMs) {
    Step s = Make(Step::Kind::SendChunks, std::string(), delayMs);
    s.chunks = std::move(chunks);
    return s;
}
Step SendFile(std::string path) { return Make(Step::Kind::SendFile, std::move(path)); }
Step Expect(std::string line, int timeoutMs) {
    return Make(Step::Kind::Expect, std::move(line), timeoutMs);
}
Step ExpectPrefix(std::string prefix, int timeoutMs) {
    return Make(Step::Kind::ExpectPrefix, std::move(prefix), timeoutMs);
}
Step ExpectAny(int timeoutMs) { return Make(Step::Kind::ExpectAny, std::string(), timeoutMs); }
Step ExpectData(bool record, int idleTimeoutMs) {
    Step s = Make(Step::Kind::ExpectData, std::string(), idleTimeoutMs);
    s.record = record;
    return s;
}
Step Pause(int ms) { return Make(Step::Kind::Pause, std::string(), ms); }
Step ReceiveBuffer(int bytes) { return Make(Step::Kind::ReceiveBuffer, std::string(), bytes); }
Step Close() { return Make(Step::Kind::Close); }
Step WaitClose(int timeoutMs) { return Make(Step::Kind::WaitClose, std::string(), timeoutMs); }
Step Never() { return Make(Step::Kind::Never); }
Step StartTls(std::string cert, int timeoutMs) { return Make(Step::Kind::StartTls, std::move(cert), timeoutMs); }
Step CloseNoNotify() { return Make(Step::Kind::CloseNoNotify); }

std::string CertPath(const std::string& name) {
#ifdef ZT_CERT_DIR
    return std::string(ZT_CERT_DIR) + "/" + name;
#else
    return "test-certs/" + name;
#endif
}

// ---- Helpers -------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kForever = Clock::time_point::max();
// A client that reads nothing for this long makes a send step fail instead of hanging.
constexpr int kSendStallMs = 10000;
constexpr std::size_t kQuoteLimit = 300;

Clock::time_point After(int ms) { return Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms); }

// Bytes in quotes with CR, LF and other control bytes spelled out, so that an error
// message shows exactly what went over the wire.
std::string Quote(const std::string& s) {
    std::string out = "'";
    for (std::size_t i = 0; i < s.size() && i < kQuoteLimit; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        switch (c) {
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02x", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += "'";
    if (s.size() > kQuoteLimit) out += "... (" + std::to_string(s.size()) + " bytes)";
    return out;
}

enum class Wait { Ready, Timeout, Stopped };

// Waits for `events` on fd (ignored when fd < 0), the stop pipe or the deadline. The stop
// pipe is checked first so that destruction wins over a busy socket.
Wait WaitFor(int fd, short events, int stopFd, Clock::time_point deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != kForever) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left < 0) left = 0;
            // Round up so a wait never ends a moment before its deadline.
            timeout = left >= INT_MAX ? INT_MAX : static_cast<int>(left) + 1;
        }
        pollfd p[2] = {{stopFd, POLLIN, 0}, {fd, events, 0}};
        int n = ::poll(p, 2, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Wait::Stopped;  // poll itself broke; nothing sensible left to wait for
        }
        if (p[0].revents != 0) return Wait::Stopped;
        if (fd >= 0 && p[1].revents != 0) return Wait::Ready;
        if (deadline != kForever && Clock::now() >= deadline) return Wait::Timeout;
    }
}

bool ReadFileChecked(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return false;
    out = ss.str();
    return true;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

// ---- One connection ------------------------------------------------------------------

class ScriptServer::Session {
public:
    Session(ScriptServer& srv, int fd, Conn* conn) : srv_(srv), fd_(fd), conn_(conn) {}
    ~Session() {
        if (ssl_ != nullptr) SSL_free(ssl_);
        if (ctx_ != nullptr) SSL_CTX_free(ctx_);
        CloseFd(fd_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Run();

private:
    enum class Outcome { Next, Failed, Stopped, Closed, Never };
    enum class Read { Data, Eof, Timeout, Stopped, Error };

    Outcome RunStep(const Step& step);
    Outcome SendAll(const std::string& bytes);
    Outcome ExpectLine(const Step& step);
    Outcome ExpectBody(const Step& step);
    Outcome AwaitClose(const Step& step);
    void Hold();
    void CloseSocket();
    Outcome Handshake(const Step& step);
    // One send or receive, through TLS once it is on: bytes, 0 at end of stream, or -1
    // with errno (EAGAIN also when TLS wants the other direction; wantWrite_ then says
    // which readiness to wait for).
    ssize_t IoSend(const char* p, std::size_t n);
    ssize_t IoRecv(char* p, std::size_t n);
    short WantEvents(short usual) const;

    Read Fill(Clock::time_point deadline);
    Read ReadLine(Clock::time_point deadline, std::string& line);
    std::string Describe(const Step& step) const;
    std::string Got(Read why, const std::string& partial, int ms) const;
    void FlushPending();
    void Record(const std::string& bytes);
    void Fail(std::string message);
    void Mark(bool Conn::*flag);

    ScriptServer& srv_;
    int fd_;
    Conn* conn_;
    std::string pending_;  // read from the socket, not yet consumed by a step
    Clock::time_point lastFill_{};  // when the last read into pending_ returned
    int lastErrno_ = 0;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    bool tlsWantWrite_ = false;  // the last TLS call waits for the socket to be writable
    bool tlsWantRead_ = false;
    bool notify_ = true;         // send close_notify at the end
};

void ScriptServer::Session::Run() {
    const Script& steps = srv_.script_;
    Outcome o = Outcome::Next;
    std::size_t i = 0;
    while (o == Outcome::Next && i < steps.size()) o = RunStep(steps[i++]);

    switch (o) {
        case Outcome::Next:  // every step ran: hold the connection until the client leaves
            Mark(&Conn::ended);
            Hold();
            break;
        case Outcome::Closed:
            if (i < steps.size())
                Fail("steps after Close() are not run (" + std::to_string(steps.size() - i) + " left)");
            CloseSocket();
            Mark(&Conn::ended);
            break;
        case Outcome::Failed:
            CloseSocket();
            Mark(&Conn::ended);
            break;
        case Outcome::Never:
            Mark(&Conn::ended);
            WaitFor(-1, 0, srv_.stopPipe_[0], kForever);
            break;
        case Outcome::Stopped:
            break;
    }
    CloseSocket();
    Mark(&Conn::closed);
}

ScriptServer::Session::Outcome ScriptServer::Session::RunStep(const Step& step) {
    switch (step.kind) {
        case Step::Kind::Send:
            return SendAll(step.text);
        case Step::Kind::SendChunks:
            for (std::size_t i = 0; i < step.chunks.size(); ++i) {
                if (i > 0 && WaitFor(-1, 0, srv_.stopPipe_[0], After(step.ms)) == Wait::Stopped)
                    return Outcome::Stopped;
                Outcome o = SendAll(step.chunks[i]);
                if (o != Outcome::Next) return o;
            }
            return Outcome::Next;
        case Step::Kind::SendFile: {
            std::string bytes;
            if (!ReadFileChecked(step.text, bytes)) {
                Fail("cannot read file " + Quote(step.text) + " to send");
                return Outcome::Failed;
            }
            return SendAll(bytes);
        }
        case Step::Kind::Expect:
        case Step::Kind::ExpectPrefix:
        case Step::Kind::ExpectAny:
            return ExpectLine(step);
        case Step::Kind::ExpectData:
            return ExpectBody(step);
        case Step::Kind::Pause:
            return WaitFor(-1, 0, srv_.stopPipe_[0], After(step.ms)) == Wait::Stopped ? Outcome::Stopped
                                                                                     : Outcome::Next;
        case Step::Kind::ReceiveBuffer:
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &step.ms, sizeof step.ms);
            return Outcome::Next;
        case Step::Kind::Close:
            return Outcome::Closed;
        case Step::Kind::CloseNoNotify:
            notify_ = false;
            return Outcome::Closed;
        case Step::Kind::StartTls:
            return Handshake(step);
        case Step::Kind::WaitClose:
            return AwaitClose(step);
        case Step::Kind::Never:
            return Outcome::Never;
    }
    return Outcome::Failed;
}

ScriptServer::Session::Outcome ScriptServer::Session::SendAll(const std::string& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = IoSend(bytes.data() + off, bytes.size() - off);
        if (n > 0) {
            off += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Wait w = WaitFor(fd_, WantEvents(POLLOUT), srv_.stopPipe_[0], After(kSendStallMs));
            if (w == Wait::Stopped) return Outcome::Stopped;
            if (w == Wait::Timeout) {
                Fail("could not send " + Quote(bytes) + ": the client read nothing for " +
                     std::to_string(kSendStallMs) + " ms after " + std::to_string(off) + " bytes");
                return Outcome::Failed;
            }
            continue;
        }
        Fail("could not send " + Quote(bytes) + ": " + std::strerror(n < 0 ? errno : EPIPE));
        return Outcome::Failed;
    }
    return Outcome::Next;
}

ScriptServer::Session::Outcome ScriptServer::Session::ExpectLine(const Step& step) {
    std::string line;
    Read r = ReadLine(After(step.ms), line);
    if (r == Read::Stopped) return Outcome::Stopped;
    if (r != Read::Data) {
        Fail("expected " + Describe(step) + ", got " + Got(r, pending_, step.ms));
        return Outcome::Failed;
    }
    Record(line);
    bool ok = true;
    if (step.kind == Step::Kind::Expect)
        ok = line == step.text + "\r\n";
    else if (step.kind == Step::Kind::ExpectPrefix)
        ok = line.compare(0, step.text.size(), step.text) == 0;
    if (ok) return Outcome::Next;
    Fail("expected " + Describe(step) + ", got " + Quote(line));
    return Outcome::Failed;
}

// Consumes the message body line by line until the line ".\r\n" (RFC 5321 section
// 4.1.1.4). Lines are cut at LF only, so a bare CR inside a line or a ".\n" line does not
// end the body: a client that gets the terminator wrong shows up as a time-out.
ScriptServer::Session::Outcome ScriptServer::Session::ExpectBody(const Step& step) {
    std::string body;
    std::vector<Clock::time_point> times;
    std::size_t count = 0;
    std::size_t searchFrom = 0;  // pending_ before this offset holds no LF
    bool done = false;
    Read r = Read::Data;
    while (!done) {
        std::size_t start = 0;
        for (;;) {
            std::size_t nl = pending_.find('\n', searchFrom > start ? searchFrom : start);
            if (nl == std::string::npos) break;
            std::size_t len = nl + 1 - start;
            if (len == 3 && pending_.compare(start, 3, ".\r\n") == 0) {
                start = nl + 1;
                done = true;
                break;
            }
            count += len;
            if (step.record) {
                body.append(pending_, start, len);
                times.push_back(lastFill_);
            }
            start = nl + 1;
        }
        pending_.erase(0, start);
        searchFrom = pending_.size();
        if (done) break;
        r = Fill(After(step.ms));
        if (r != Read::Data) break;
    }

    std::string partial;
    if (!done) {  // the unfinished last line still belongs to the body as received
        partial.swap(pending_);
        count += partial.size();
        if (step.record && !partial.empty()) {
            body += partial;
            times.push_back(lastFill_);
        }
    }
    {
        std::lock_guard<std::mutex> lk(srv_.mu_);
        if (step.record) conn_->received += body;
        if (done) conn_->received += ".\r\n";
        conn_->data = std::move(body);
        conn_->dataTimes = std::move(times);
        conn_->dataBytes = count;
    }
    if (done) return Outcome::Next;
    if (r == Read::Stopped) return Outcome::Stopped;
    Fail("expected " + Describe(step) + ", got " + Got(r, partial, step.ms) + " after " +
         std::to_string(count) + " bytes of data");
    return Outcome::Failed;
}

ScriptServer::Session::Outcome ScriptServer::Session::AwaitClose(const Step& step) {
    Clock::time_point deadline = After(step.ms);
    for (;;) {
        FlushPending();
        Read r = Fill(deadline);
        if (r == Read::Data) continue;
        FlushPending();
        if (r == Read::Eof) return Outcome::Next;
        if (r == Read::Stopped) return Outcome::Stopped;
        if (r == Read::Error && (lastErrno_ == ECONNRESET)) return Outcome::Next;  // abrupt, but closed
        Fail("expected " + Describe(step) + ", got " + Got(r, std::string(), step.ms));
        return Outcome::Failed;
    }
}

// After the last step: keep reading and recording until the client closes or the server
// is destroyed, so that bytes the script did not ask for (a trailing QUIT) are kept.
void ScriptServer::Session::Hold() {
    for (;;) {
        FlushPending();
        if (Fill(kForever) != Read::Data) break;
    }
    FlushPending();
}

// Sends FIN first so that the client sees a clean end of stream, then picks up whatever
// the client had already sent before releasing the socket.
void ScriptServer::Session::CloseSocket() {
    if (fd_ < 0) return;
    if (ssl_ != nullptr && notify_) SSL_shutdown(ssl_);
    ::shutdown(fd_, SHUT_WR);
    char buf[16384];
    for (;;) {
        ssize_t n = IoRecv(buf, sizeof buf);
        if (n > 0) {
            pending_.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    FlushPending();
    CloseFd(fd_);
}

ScriptServer::Session::Read ScriptServer::Session::Fill(Clock::time_point deadline) {
    if (fd_ < 0) return Read::Eof;
    char buf[65536];
    for (;;) {
        ssize_t n = IoRecv(buf, sizeof buf);
        if (n > 0) {
            pending_.append(buf, static_cast<std::size_t>(n));
            lastFill_ = Clock::now();
            return Read::Data;
        }
        if (n == 0) return Read::Eof;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            lastErrno_ = errno;
            return Read::Error;
        }
        Wait w = WaitFor(fd_, WantEvents(POLLIN), srv_.stopPipe_[0], deadline);
        if (w == Wait::Stopped) return Read::Stopped;
        if (w == Wait::Timeout) return Read::Timeout;
    }
}

ScriptServer::Session::Read ScriptServer::Session::ReadLine(Clock::time_point deadline, std::string& line) {
    std::size_t from = 0;
    for (;;) {
        std::size_t nl = pending_.find('\n', from);
        if (nl != std::string::npos) {
            line.assign(pending_, 0, nl + 1);
            pending_.erase(0, nl + 1);
            return Read::Data;
        }
        from = pending_.size();
        Read r = Fill(deadline);
        if (r != Read::Data) return r;
    }
}

ScriptServer::Session::Outcome ScriptServer::Session::Handshake(const Step& step) {
    if (ssl_ != nullptr) {
        Fail("StartTls: TLS is already on");
        return Outcome::Failed;
    }
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx_ == nullptr || SSL_CTX_use_certificate_chain_file(ctx_, CertPath(step.text + ".pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, CertPath(step.text + ".key").c_str(), SSL_FILETYPE_PEM) != 1) {
        Fail("StartTls: cannot load the certificate " + Quote(CertPath(step.text + ".pem")));
        ERR_clear_error();
        return Outcome::Failed;
    }
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    // Bytes the client sent before the handshake (read ahead into pending_) would be lost
    // to OpenSSL; a client that sends any has broken the protocol anyway.
    if (!pending_.empty()) {
        Fail("StartTls: the client sent " + Quote(pending_) + " before the handshake");
        return Outcome::Failed;
    }
    Clock::time_point deadline = After(step.ms);
    for (;;) {
        ERR_clear_error();
        int r = SSL_accept(ssl_);
        if (r == 1) break;
        int e = SSL_get_error(ssl_, r);
        short ev = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (ev == 0) {
            char why[256];
            ERR_error_string_n(ERR_peek_last_error(), why, sizeof why);
            Fail(std::string("StartTls: the handshake failed: ") + why);
            ERR_clear_error();
            SSL_free(ssl_);
            ssl_ = nullptr;
            return Outcome::Failed;
        }
        Wait w = WaitFor(fd_, ev, srv_.stopPipe_[0], deadline);
        if (w == Wait::Stopped) return Outcome::Stopped;
        if (w == Wait::Timeout) {
            Fail("StartTls: the handshake did not end within " + std::to_string(step.ms) + " ms");
            SSL_free(ssl_);
            ssl_ = nullptr;
            return Outcome::Failed;
        }
    }
    std::lock_guard<std::mutex> lk(srv_.mu_);
    conn_->tlsProtocol = SSL_get_version(ssl_);
    return Outcome::Next;
}

ssize_t ScriptServer::Session::IoSend(const char* p, std::size_t n) {
    if (ssl_ == nullptr) return ::send(fd_, p, n, MSG_NOSIGNAL);
    tlsWantRead_ = tlsWantWrite_ = false;
    ERR_clear_error();
    size_t put = 0;
    int r = SSL_write_ex(ssl_, p, n, &put);
    if (r == 1) return static_cast<ssize_t>(put);
    int e = SSL_get_error(ssl_, r);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        (e == SSL_ERROR_WANT_READ ? tlsWantRead_ : tlsWantWrite_) = true;
        errno = EAGAIN;
        return -1;
    }
    errno = EPIPE;
    return -1;
}

ssize_t ScriptServer::Session::IoRecv(char* p, std::size_t n) {
    if (ssl_ == nullptr) return ::recv(fd_, p, n, 0);
    tlsWantRead_ = tlsWantWrite_ = false;
    ERR_clear_error();
    size_t got = 0;
    int r = SSL_read_ex(ssl_, p, n, &got);
    if (r == 1) return static_cast<ssize_t>(got);
    int e = SSL_get_error(ssl_, r);
    ERR_clear_error();
    if (e == SSL_ERROR_ZERO_RETURN) return 0;
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        (e == SSL_ERROR_WANT_READ ? tlsWantRead_ : tlsWantWrite_) = true;
        errno = EAGAIN;
        return -1;
    }
    // A client that drops TCP without close_notify: an end of stream for the script.
    if (e == SSL_ERROR_SYSCALL && errno == 0) return 0;
    if (e == SSL_ERROR_SSL) return 0;
    return -1;
}

short ScriptServer::Session::WantEvents(short usual) const {
    if (ssl_ == nullptr) return usual;
    if (tlsWantWrite_) return POLLOUT;
    if (tlsWantRead_) return POLLIN;
    return usual;
}

std::string ScriptServer::Session::Describe(const Step& step) const {
    switch (step.kind) {
        case Step::Kind::Expect: return Quote(step.text + "\r\n");
        case Step::Kind::ExpectPrefix: return "a line starting with " + Quote(step.text);
        case Step::Kind::ExpectAny: return "a line";
        case Step::Kind::ExpectData: return "the end-of-data line '.\\r\\n'";
        case Step::Kind::WaitClose: return "the client to close the connection";
        default: return "something";
    }
}

std::string ScriptServer::Session::Got(Read why, const std::string& partial, int ms) const {
    std::string head = partial.empty() ? std::string() : Quote(partial) + " and then ";
    switch (why) {
        case Read::Eof: return head + "end of stream";
        case Read::Timeout:
            return (partial.empty() ? std::string("nothing") : Quote(partial) + " without end of line") +
                   " within " + std::to_string(ms) + " ms";
        case Read::Error: return head + "connection error: " + std::strerror(lastErrno_);
        default: return head + "a stop";
    }
}

void ScriptServer::Session::FlushPending() {
    if (pending_.empty()) return;
    Record(pending_);
    pending_.clear();
}

void ScriptServer::Session::Record(const std::string& bytes) {
    if (bytes.empty()) return;
    std::lock_guard<std::mutex> lk(srv_.mu_);
    conn_->received += bytes;
}

void ScriptServer::Session::Fail(std::string message) {
    std::lock_guard<std::mutex> lk(srv_.mu_);
    conn_->errors.push_back(std::move(message));
}

void ScriptServer::Session::Mark(bool Conn::*flag) {
    {
        std::lock_guard<std::mutex> lk(srv_.mu_);
        conn_->*flag = true;
    }
    srv_.cv_.notify_all();
}

// ---- Server --------------------------------------------------------------------------

ScriptServer::ScriptServer(Script script, int connections) : ScriptServer(std::move(script), connections, false) {}

ScriptServer::ScriptServer(Script script, int connections, bool ipv6)
    : script_(std::move(script)), connections_(connections) {
    if (connections < 1) throw std::invalid_argument("ScriptServer needs at least one connection");
    // A client that goes away while a TLS record is written must not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    Listen(ipv6);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

void ScriptServer::Listen(bool ipv6) {
    auto fail = [this](const char* what) {
        std::string msg = std::string("ScriptServer: ") + what + ": " + std::strerror(errno);
        CloseFd(listenFd_);
        CloseFd(stopPipe_[0]);
        CloseFd(stopPipe_[1]);
        throw std::runtime_error(msg);
    };
    if (::pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe");
    listenFd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) fail("socket");
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ipv6) {
        ::setsockopt(listenFd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_loopback;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("bind");
        if (::listen(listenFd_, 128) != 0) fail("listen");
        socklen_t len = sizeof addr;
        if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) fail("getsockname");
        port_ = ntohs(addr.sin6_port);
        return;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("bind");
    if (::listen(listenFd_, 128) != 0) fail("listen");
    socklen_t len = sizeof addr;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) fail("getsockname");
    port_ = ntohs(addr.sin_port);
}

ScriptServer::~ScriptServer() {
    // One byte makes the read end readable for every poll in every thread, for good.
    char b = 1;
    while (::write(stopPipe_[1], &b, 1) < 0 && errno == EINTR) {
    }
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& t : workers_) t.join();
    CloseFd(listenFd_);
    CloseFd(stopPipe_[0]);
    CloseFd(stopPipe_[1]);
}

void ScriptServer::AcceptLoop() {
    int served = 0;
    while (served < connections_) {
        if (WaitFor(listenFd_, POLLIN, stopPipe_[0], kForever) == Wait::Stopped) return;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                // Out of descriptors or similar: back off instead of spinning.
                if (WaitFor(-1, 0, stopPipe_[0], After(10)) == Wait::Stopped) return;
            }
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Conn* conn = nullptr;
        {
            std::lock_guard<std::mutex> lk(mu_);
            conns_.push_back(std::make_unique<Conn>());
            conn = conns_.back().get();
        }
        ++served;
        try {
            workers_.emplace_back([this, fd, conn] { Serve(fd, conn); });
        } catch (const std::exception& e) {
            ::close(fd);
            std::lock_guard<std::mutex> lk(mu_);
            conn->errors.push_back(std::string("could not start a thread: ") + e.what());
            conn->ended = conn->closed = true;
        }
        cv_.notify_all();
    }
}

void ScriptServer::Serve(int fd, Conn* conn) {
    Session s(*this, fd, conn);
    s.Run();
}

bool ScriptServer::AllConns(bool Conn::*flag) const {
    if (conns_.size() < static_cast<std::size_t>(connections_)) return false;
    for (const auto& c : conns_)
        if (!(c.get()->*flag)) return false;
    return true;
}

bool ScriptServer::Finish(int timeoutMs) {
    std::unique_lock<std::mutex> lk(mu_);
    if (!cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [this] { return AllConns(&Conn::ended); }))
        return false;
    for (const auto& c : conns_)
        if (!c->errors.empty()) return false;
    return true;
}

bool ScriptServer::WaitDisconnected(int timeoutMs) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [this] { return AllConns(&Conn::closed); });
}

std::string ScriptServer::received(int i) const {
    std::lock_guard<std::mutex> lk(mu_);
    if (i < 0 || static_cast<std::size_t>(i) >= conns_.size()) return std::string();
    return conns_[static_cast<std::size_t>(i)]->received;
}

std::string ScriptServer::data(int i) const {
    std::lock_guard<std::mutex> lk(mu_);
    if (i < 0 || static_cast<std::size_t>(i) >= conns_.size()) return std::string();
    return conns_[static_cast<std::size_t>(i)]->data;
}

std::size_t ScriptServer::dataBytes(int i) const {
    std::lock_guard<std::mutex> lk(mu_);
    if (i < 0 || static_cast<std::size_t>(i) >= conns_.size()) return 0;
    return conns_[static_cast<std::size_t>(i)]->dataBytes;
}

std::vector<ScriptServer::TimedLine> ScriptServer::dataLines(int i) const {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<TimedLine> out;
    if (i < 0 || static_cast<std::size_t>(i) >= conns_.size()) return out;
    const Conn& c = *conns_[static_cast<std::size_t>(i)];
    for (std::size_t pos = 0; pos < c.data.size() && out.size() < c.dataTimes.size();) {
        std::size_t nl = c.data.find('\n', pos);
        std::size_t end = nl == std::string::npos ? c.data.size() : nl + 1;
        out.push_back({c.data.substr(pos, end - pos), c.dataTimes[out.size()]});
        pos = end;
    }
    return out;
}

std::vector<std::string> ScriptServer::errors() const {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < conns_.size(); ++i)
        for (const std::string& e : conns_[i]->errors)
            out.push_back(connections_ > 1 ? "connection " + std::to_string(i) + ": " + e : e);
    return out;
}

std::vector<std::string> ScriptServer::errors(int i) const {
    std::lock_guard<std::mutex> lk(mu_);
    if (i < 0 || static_cast<std::size_t>(i) >= conns_.size()) return {};
    return conns_[static_cast<std::size_t>(i)]->errors;
}

std::string ScriptServer::tlsProtocol(int i) const {
    std::lock_guard<std::mutex> lk(mu_);
    if (i < 0 || static_cast<std::size_t>(i) >= conns_.size()) return std::string();
    return conns_[static_cast<std::size_t>(i)]->tlsProtocol;
}

int ScriptServer::accepted() const {
    std::lock_guard<std::mutex> lk(mu_);
    return static_cast<int>(conns_.size());
}

// ---- Utilities -----------------------------------------------------------------------

int UnusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);  // never listened on, so nothing answers there until someone binds it again
    return port;
}

std::string ReadFile(const std::string& path) {
    std::string out;
    ReadFileChecked(path, out);
    return out;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot open " + path + " for writing");
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string TempDir() {
    char tmpl[] = "/tmp/zem-test-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    return tmpl;
}

}  // namespace zt
