// IPv4 TCP sockets over POSIX, with errors mapped onto the library's socket codes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace zem {

int32_t MapSocketError(int err) {
    switch (err) {
    case EINTR: return -10004;
    case EBADF: return -10009;
    case EACCES: return -10013;
    case EFAULT: return -10014;
    case EINVAL: return -10022;
    case EMFILE: return -10024;
    case EWOULDBLOCK: return -10035;
    case EINPROGRESS: return -10036;
    case EALREADY: return -10037;
    case ENOTSOCK: return -10038;
    case EDESTADDRREQ: return -10039;
    case EMSGSIZE: return -10040;
    case EPROTOTYPE: return -10041;
    case ENOPROTOOPT: return -10042;
    case EPROTONOSUPPORT: return -10043;
    case ESOCKTNOSUPPORT: return -10044;
    case EOPNOTSUPP: return -10045;
    case EAFNOSUPPORT: return -10047;
    case EADDRINUSE: return -10048;
    case EADDRNOTAVAIL: return -10049;
    case ENETDOWN: return -10050;
    case ENETUNREACH: return -10051;
    case ENETRESET: return -10052;
    case ECONNABORTED: return -10053;
    case ECONNRESET: return -10054;
    case ENOBUFS: return -10055;
    case EISCONN: return -10056;
    case ENOTCONN: return -10057;
    case EPIPE:
    case ESHUTDOWN: return -10058;
    case ETIMEDOUT: return -10060;
    case ECONNREFUSED: return -10061;
    case EHOSTDOWN: return -10064;
    case EHOSTUNREACH: return -10065;
    default: return -(20000 + err);
    }
}

int32_t LastSocketError() { return MapSocketError(errno); }

int32_t SocketCreateTcp() { return SocketCreateTcpFamily(4); }

int32_t SocketCreateTcpFamily(int family, bool nonBlocking) {
    int s = socket(family == 6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0),
                   IPPROTO_TCP);
    if (s < 0) return LastSocketError();
    if (s <= 2) { // never hand out a standard stream's number
        int moved = fcntl(s, F_DUPFD_CLOEXEC, 3);
        close(s);
        if (moved < 0) return LastSocketError();
        s = moved;
        if (nonBlocking) SocketSetNonBlocking(s, true); // the copy has its own status flags
    }
    // Lines leave as one write per reply wait, so Nagle's delay only ever costs time.
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

int32_t SocketSetBlocking(int32_t s) {
    // A TCP socket's only status flag this library sets is O_NONBLOCK: no need to read them.
    return fcntl(s, F_SETFL, O_RDWR) < 0 ? LastSocketError() : 1;
}

int32_t SocketSetNonBlocking(int32_t s, bool on) {
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0) return LastSocketError();
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(s, F_SETFL, flags) < 0 ? LastSocketError() : 1;
}

int32_t SocketConnect(int32_t s, uint32_t addrHostOrder, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(addrHostOrder);
    int r;
    do {
        r = connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return 1;
    if (errno == EINPROGRESS || errno == EWOULDBLOCK) return 1; // the connect is under way
    return LastSocketError();
}

namespace {

socklen_t ToSockaddr(const NetAddress &a, uint16_t port, sockaddr_storage *ss) {
    std::memset(ss, 0, sizeof *ss);
    if (a.family == 6) {
        auto *sa = reinterpret_cast<sockaddr_in6 *>(ss);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(port);
        std::memcpy(&sa->sin6_addr, a.bytes, 16);
        return sizeof *sa;
    }
    auto *sa = reinterpret_cast<sockaddr_in *>(ss);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    std::memcpy(&sa->sin_addr, a.bytes, 4);
    return sizeof *sa;
}

bool FromSockaddr(const sockaddr *sa, NetAddress *a) {
    std::memset(a, 0, sizeof *a);
    if (sa->sa_family == AF_INET6) {
        a->family = 6;
        std::memcpy(a->bytes, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, 16);
        return true;
    }
    if (sa->sa_family == AF_INET) {
        a->family = 4;
        std::memcpy(a->bytes, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, 4);
        return true;
    }
    return false;
}

int32_t LookupError(int r) {
    switch (r) {
    case EAI_NONAME: return -11001;
    case EAI_AGAIN: return -11002;
    case EAI_FAIL: return -11003;
#ifdef EAI_NODATA
    case EAI_NODATA: return -11004;
#endif
    default: return -11003;
    }
}

// RFC 6761 section 6.4: a name under the "invalid" top-level domain never exists, and a
// resolver library answers so at once instead of asking a name server.
bool UnderInvalidDomain(const char *name) {
    static const char kLabel[] = "invalid";
    constexpr size_t kLen = sizeof kLabel - 1;
    size_t n = std::strlen(name);
    if (n > 0 && name[n - 1] == '.') --n; // the root's dot
    if (n < kLen || (n > kLen && name[n - kLen - 1] != '.')) return false;
    for (size_t i = 0; i < kLen; ++i)
        if ((name[n - kLen + i] | 0x20) != kLabel[i]) return false;
    return true;
}

} // namespace

int32_t SocketConnectTo(int32_t s, const NetAddress &a, uint16_t port) {
    sockaddr_storage ss;
    socklen_t len = ToSockaddr(a, port, &ss);
    int r;
    do {
        r = connect(s, reinterpret_cast<sockaddr *>(&ss), len);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return 1;
    if (errno == EINPROGRESS || errno == EWOULDBLOCK) return 1;
    return LastSocketError();
}

int32_t SocketWait(int32_t s, int kind, int32_t ms) {
    pollfd p{};
    p.fd = s;
    p.events = kind == 1 ? POLLIN : POLLOUT;
    int r = poll(&p, 1, ms < 0 ? 0 : ms);
    return r > 0 ? 1 : 0;
}

int32_t SocketWaitMany(PollEntry *entries, int32_t n, int32_t ms) {
    pollfd fds[128];
    if (n > 128) n = 128;
    for (int32_t i = 0; i < n; ++i) {
        fds[i] = pollfd{};
        fds[i].fd = entries[i].socket;
        fds[i].events = entries[i].kind == 1 ? POLLIN : POLLOUT;
    }
    int r;
    do {
        r = poll(fds, static_cast<nfds_t>(n), ms < 0 ? 0 : ms);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return 0;
    int32_t ready = 0;
    for (int32_t i = 0; i < n; ++i) {
        entries[i].ready = fds[i].revents != 0;
        if (entries[i].ready) ++ready;
    }
    return ready;
}

int32_t SocketPendingError(int32_t s) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return LastSocketError();
    return err == 0 ? 0 : MapSocketError(err);
}

int32_t SocketLocalNetAddress(int32_t s, NetAddress *a, uint16_t *port) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return LastSocketError();
    if (!FromSockaddr(reinterpret_cast<sockaddr *>(&ss), a)) return -10047;
    *port = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    return 1;
}

int32_t LookupHostAll(const char *name, NetAddress *out, int32_t max) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    if (UnderInvalidDomain(name)) return LookupError(EAI_NONAME);
    addrinfo *res = nullptr;
    int r = getaddrinfo(name, nullptr, &hints, &res);
    if (r == EAI_NONAME || r == EAI_ADDRFAMILY) { // AI_ADDRCONFIG hides loopback-only hosts
        hints.ai_flags = 0;
        r = getaddrinfo(name, nullptr, &hints, &res);
    }
    if (r != 0) return LookupError(r);
    int32_t n = 0;
    for (addrinfo *p = res; p != nullptr && n < max; p = p->ai_next) {
        NetAddress a;
        if (!FromSockaddr(p->ai_addr, &a)) continue;
        bool seen = false;
        for (int32_t i = 0; i < n && !seen; ++i)
            seen = out[i].family == a.family && std::memcmp(out[i].bytes, a.bytes, 16) == 0;
        if (!seen) out[n++] = a;
    }
    freeaddrinfo(res);
    return n;
}

int32_t ParseIPv6Literal(const char *text, NetAddress *out) {
    char bare[64];
    size_t n = std::strlen(text);
    if (n >= 2 && text[0] == '[' && text[n - 1] == ']') {
        ++text;
        n -= 2;
    }
    if (n == 0 || n >= sizeof bare) return 0;
    std::memcpy(bare, text, n);
    bare[n] = 0;
    std::memset(out, 0, sizeof *out);
    if (inet_pton(AF_INET6, bare, out->bytes) != 1) return 0;
    out->family = 6;
    return 1;
}

int32_t FormatNetAddress(const NetAddress &a, char *text, int32_t size) {
    char tmp[INET6_ADDRSTRLEN];
    if (inet_ntop(a.family == 6 ? AF_INET6 : AF_INET, a.bytes, tmp, sizeof tmp) == nullptr) return 0;
    int32_t n = static_cast<int32_t>(std::strlen(tmp));
    if (size <= n) return 0;
    std::memcpy(text, tmp, static_cast<size_t>(n) + 1);
    return n;
}

int32_t SocketPoll(int32_t s, int kind) {
    pollfd p{};
    p.fd = s;
    p.events = kind == 1 ? POLLIN : kind == 2 ? POLLOUT : 0;
    int r = poll(&p, 1, 0);
    if (r < 0) return 1; // a socket that cannot be polled answers yes to everything
    if (p.revents & POLLNVAL) return 1;
    switch (kind) {
    case 1: return (p.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
    case 2: return (p.revents & (POLLOUT | POLLERR | POLLHUP)) ? 1 : 0;
    default: return (p.revents & POLLERR) ? 1 : 0;
    }
}

int32_t SocketPollWrite(int32_t s) {
    pollfd p{};
    p.fd = s;
    p.events = POLLOUT;
    int r = poll(&p, 1, 0);
    if (r < 0 || (p.revents & POLLNVAL)) return 1; // as SocketPoll: the next send reports it
    if (p.revents & POLLERR) return -1;
    return (p.revents & (POLLOUT | POLLHUP)) ? 1 : 0;
}

int32_t SocketSend(int32_t s, const void *buf, int32_t n) {
    ssize_t r;
    do {
        r = send(s, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? LastSocketError() : static_cast<int32_t>(r);
}

int32_t SocketSendSome(int32_t s, const void *buf, int32_t n) {
    ssize_t r;
    do {
        r = send(s, buf, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? LastSocketError() : static_cast<int32_t>(r);
}

int32_t SocketRecv(int32_t s, void *buf, int32_t n) {
    ssize_t r;
    do {
        r = recv(s, buf, static_cast<size_t>(n), 0);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? LastSocketError() : static_cast<int32_t>(r);
}

int32_t SocketRecvSome(int32_t s, void *buf, int32_t n) {
    ssize_t r;
    do {
        r = recv(s, buf, static_cast<size_t>(n), MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? LastSocketError() : static_cast<int32_t>(r);
}

int32_t SocketCloseLinger(int32_t s) {
    // POSIX counts the linger time in seconds: one second bounds what a dead peer costs.
    linger l{1, 1};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    return close(s) == 0 ? 1 : LastSocketError();
}

void SocketCloseNow(int32_t s) { close(s); }

int32_t SocketLocalAddress(int32_t s, uint32_t *addrHostOrder, uint16_t *port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return LastSocketError();
    if (sa.sin_family != AF_INET) return -10047;
    *addrHostOrder = ntohl(sa.sin_addr.s_addr);
    *port = ntohs(sa.sin_port);
    return 1;
}

int32_t GetHostNameText(char *buf, int32_t size) {
    if (size <= 0) return -10014;
    buf[0] = 0;
    if (gethostname(buf, static_cast<size_t>(size)) != 0) {
        buf[0] = 0;
        return LastSocketError();
    }
    buf[size - 1] = 0;
    return 1;
}

int32_t LookupHostIPv4(const char *name, uint32_t *addrNetOrder) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (UnderInvalidDomain(name)) return LookupError(EAI_NONAME);
    addrinfo *res = nullptr;
    int r = getaddrinfo(name, nullptr, &hints, &res);
    if (r != 0) {
        switch (r) {
        case EAI_NONAME: return -11001;
        case EAI_AGAIN: return -11002;
        case EAI_FAIL: return -11003;
#ifdef EAI_NODATA
        case EAI_NODATA: return -11004;
#endif
        default: return -11003;
        }
    }
    *addrNetOrder = 0;
    for (addrinfo *p = res; p != nullptr; p = p->ai_next) {
        if (p->ai_family == AF_INET) {
            *addrNetOrder = reinterpret_cast<sockaddr_in *>(p->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(res);
    return 1;
}

} // namespace zem
