#include "fault_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>

namespace zf {

const char *FaultName(Fault f) {
    switch (f) {
    case Fault::None: return "None";
    case Fault::Stall: return "Stall";
    case Fault::Close: return "Close";
    case Fault::Reset: return "Reset";
    case Fault::Garbage: return "Garbage";
    case Fault::NulBytes: return "NulBytes";
    case Fault::FloodMultiline: return "FloodMultiline";
    case Fault::LongLine: return "LongLine";
    case Fault::NeverEnding: return "NeverEnding";
    case Fault::TinyLines: return "TinyLines";
    case Fault::WrongCode: return "WrongCode";
    case Fault::SecondReply: return "SecondReply";
    }
    return "?";
}

std::vector<Fault> AllFaults() {
    return {Fault::Stall, Fault::Close, Fault::Reset, Fault::Garbage, Fault::NulBytes, Fault::FloodMultiline,
            Fault::LongLine, Fault::NeverEnding, Fault::TinyLines, Fault::WrongCode, Fault::SecondReply};
}

std::vector<Exchange> SmtpDialogue() {
    using R = Exchange::Read;
    return {
        {R::Nothing, "220 fault.test ESMTP\r\n"},
        {R::Line, "250-fault.test\r\n250-8BITMIME\r\n250 SIZE 10000000\r\n"},
        {R::Line, "250 sender ok\r\n"},
        {R::Line, "250 recipient ok\r\n"},
        {R::Line, "354 go ahead\r\n"},
        {R::Data, "250 queued as F1\r\n"},
        {R::Line, "221 bye\r\n"},
    };
}

std::string Pop3Message() {
    std::string m = "From: a@fault.test\r\nTo: b@fault.test\r\nSubject: fault\r\nMIME-Version: 1.0\r\n"
                    "Content-Type: multipart/mixed; boundary=\"BB\"\r\n\r\n--BB\r\nContent-Type: text/plain\r\n\r\n"
                    "hello\r\n..dot line\r\n--BB\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
                    "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"a.bin\"\r\n\r\n";
    for (int i = 0; i < 20; ++i) m += "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAxMjM0\r\n";
    m += "--BB--\r\n";
    return m;
}

std::vector<Exchange> Pop3Dialogue() {
    using R = Exchange::Read;
    const std::string msg = Pop3Message();
    return {
        {R::Nothing, "+OK fault.test ready <1.2@fault.test>\r\n"},
        {R::Line, "+OK user\r\n"},
        {R::Line, "+OK logged in\r\n"},
        {R::Line, "+OK 1 " + std::to_string(msg.size()) + "\r\n"},
        {R::Line, "+OK 1 " + std::to_string(msg.size()) + "\r\n"},
        {R::Line, "+OK 1 uid-0001\r\n"},
        {R::Line, "+OK top\r\n" + msg.substr(0, msg.find("\r\n\r\n") + 4) + ".\r\n"},
        {R::Line, "+OK message\r\n" + msg + ".\r\n"},
        {R::Line, "+OK deleted\r\n"},
        {R::Line, "+OK bye\r\n"},
    };
}

FaultServer::FaultServer(Protocol proto, std::vector<Exchange> dialogue, int faultAt, Fault fault)
    : proto_(proto), dialogue_(std::move(dialogue)), faultAt_(faultAt), fault_(fault) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listenFd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listenFd_, 4) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(listenFd_);
        throw std::runtime_error("bind/listen");
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
}

FaultServer::~FaultServer() {
    stop_ = true;
    thread_.join();
    close(listenFd_);
}

namespace {
// Waits at most ms for the events; false on time-out, stop or error.
bool WaitFor(int fd, short events, int ms, const std::atomic<bool> &stop) {
    for (int waited = 0; waited < ms && !stop; waited += 50) {
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, 50);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}
} // namespace

void FaultServer::Run() {
    if (!WaitFor(listenFd_, POLLIN, 30000, stop_)) return;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    timeval tv{0, 100000}; // writes give up every 100 ms so that stop is seen
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    for (int i = 0; i < static_cast<int>(dialogue_.size()) && !stop_; ++i) {
        const Exchange &ex = dialogue_[i];
        bool ok = true;
        if (ex.read == Exchange::Read::Line) {
            std::string line;
            ok = ReadLine(fd, &line);
        } else if (ex.read == Exchange::Read::Data) {
            ok = ReadData(fd);
        }
        if (!ok) break;
        if (i == faultAt_) {
            injected_ = true;
            if (fault_ == Fault::Close) break;
            if (fault_ == Fault::Reset) {
                linger lg{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
                break;
            }
            Inject(fd, ex);
            if (fault_ != Fault::WrongCode && fault_ != Fault::SecondReply && fault_ != Fault::TinyLines) {
                Drain(fd);
                break;
            }
            continue;
        }
        if (!SendAll(fd, ex.reply)) break;
    }
    if (!injected_ || fault_ == Fault::WrongCode || fault_ == Fault::SecondReply || fault_ == Fault::TinyLines)
        Drain(fd); // hold the connection until the client goes away
    close(fd);
}

bool FaultServer::ReadLine(int fd, std::string *line) {
    for (;;) {
        size_t lf = inbuf_.find('\n');
        if (lf != std::string::npos) {
            *line = inbuf_.substr(0, lf + 1);
            inbuf_.erase(0, lf + 1);
            return true;
        }
        if (!WaitFor(fd, POLLIN, 20000, stop_)) return false;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        inbuf_.append(buf, static_cast<size_t>(n));
    }
}

bool FaultServer::ReadData(int fd) {
    std::string line;
    while (ReadLine(fd, &line))
        if (line == ".\r\n") return true;
    return false;
}

bool FaultServer::SendAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (stop_) return false;
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue; // the client is slow; stop is checked above
        } else {
            return false;
        }
    }
    return true;
}

void FaultServer::Drain(int fd) {
    while (!stop_) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (r < 0 && errno != EINTR) return;
        if (r > 0) {
            char buf[65536];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
        }
    }
}

void FaultServer::Inject(int fd, const Exchange &ex) {
    const bool smtp = proto_ == Protocol::Smtp;
    auto count = [this](const std::string &s) { faultBytes_ += static_cast<long long>(s.size()); return s; };
    switch (fault_) {
    case Fault::Stall: return; // Drain follows: the client hears nothing
    case Fault::Garbage: {
        std::mt19937 rng(static_cast<unsigned>(faultAt_ * 131 + 7));
        std::string g;
        for (int i = 0; i < 600; ++i) g += static_cast<char>(rng() & 0xFF);
        g += "\r\n\x01\x02\xff\r\n";
        SendAll(fd, count(g));
        return;
    }
    case Fault::NulBytes: {
        std::string z(smtp ? "250" : "+OK", 3);
        z += std::string(300, '\0');
        z += "\r\n";
        z += std::string(100, '\0');
        SendAll(fd, count(z));
        return;
    }
    case Fault::FloodMultiline: {
        std::string first = smtp ? "250-flood\r\n" : "+OK flood\r\n";
        if (!SendAll(fd, count(first))) return;
        std::string chunk;
        for (int i = 0; i < 4096; ++i) chunk += smtp ? "250-more flood lines\r\n" : "1 100\r\n";
        while (SendAll(fd, chunk)) faultBytes_ += static_cast<long long>(chunk.size());
        return;
    }
    case Fault::LongLine: {
        // Sent in pieces from one small buffer, so the server's own memory stays flat.
        if (!SendAll(fd, count(smtp ? "250 " : "+OK "))) return;
        const std::string piece(64 * 1024, 'x');
        for (int i = 0; i < 160; ++i)
            if (!SendAll(fd, count(piece))) return;
        SendAll(fd, count("\r\n"));
        return;
    }
    case Fault::NeverEnding: {
        if (!SendAll(fd, count(smtp ? "354 go on\r\n" : "+OK here it comes\r\n"))) return;
        std::string chunk;
        for (int i = 0; i < 1024; ++i) chunk += "a line of a message that never ends\r\n";
        while (SendAll(fd, chunk)) faultBytes_ += static_cast<long long>(chunk.size());
        return;
    }
    case Fault::TinyLines: {
        std::string t = smtp ? "250-x\r\n" : "x\r\n";
        std::string chunk;
        for (int i = 0; i < 10000; ++i) chunk += t;
        if (!smtp && !SendAll(fd, count("+OK tiny\r\n"))) return;
        for (int i = 0; i < 100 && SendAll(fd, chunk); ++i) faultBytes_ += static_cast<long long>(chunk.size());
        SendAll(fd, count(smtp ? "250 end\r\n" : ".\r\n"));
        return;
    }
    case Fault::WrongCode:
        if (smtp)
            SendAll(fd, count(ex.reply.compare(0, 3, "354") == 0 ? "250 ok\r\n" : "354 unasked\r\n"));
        else
            SendAll(fd, count("-ERR no\r\n"));
        return;
    case Fault::SecondReply:
        SendAll(fd, ex.reply);
        SendAll(fd, count(smtp ? "250 second reply\r\n" : "+OK second reply\r\n"));
        return;
    case Fault::None:
    case Fault::Close:
    case Fault::Reset: return;
    }
}

} // namespace zf
