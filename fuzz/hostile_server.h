// The hostile server of the protocol fuzz targets, in the fuzzing thread itself: a loopback
// listener whose one connection gets the fuzz input as everything the server ever says,
// followed by the server closing its side. The library runs with automatic calling off and
// every time-out near zero, and the harness drives it with zemDriver: once the client's
// connect has arrived the input is written at once, so each reply the machine reads is the
// next piece of the input, and the input ending is the connection closing at that byte.
//
// After each input the harness checks that the memory blocks are intact, that zemClose has
// released the request blocks and that no descriptor stayed open.
#ifndef ZEM_FUZZ_HOSTILE_SERVER_H
#define ZEM_FUZZ_HOSTILE_SERVER_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/channel.h"
#include "zem32.h"

namespace zfz {

// Sockets and files open in the process (pipes and devices aside: libFuzzer talks to its
// symbolizer through pipes).
inline int OpenDescriptors() {
    int n = 0;
    char link[512];
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string p = std::string("/proc/self/fd/") + e->d_name;
        ssize_t k = readlink(p.c_str(), link, sizeof link - 1);
        if (k <= 0) continue;
        link[k] = 0;
        if (std::strncmp(link, "socket:", 7) == 0 || (link[0] == '/' && std::strncmp(link, "/dev/", 5) != 0 &&
                                                      std::strncmp(link, "/proc/", 6) != 0))
            ++n;
    }
    closedir(d);
    return n;
}

[[noreturn]] inline void Fail(const char *what) {
    std::fprintf(stderr, "hostile server: %s\n", what);
    std::abort();
}

// A non-blocking listener on a free loopback port.
inline int ListenLoopback(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        Fail("cannot listen");
    *port = ntohs(a.sin_port);
    return fd;
}

// A connection the client opened but never got accepted (it failed first) waits in the
// listener's backlog: take it and drop it.
inline void DropBacklog(int listenFd) {
    for (int fd; (fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) close(fd);
}

// After an input, once zemClose has run: the request blocks are released, every memory
// block's guard bytes are intact and no descriptor beyond the baseline is open.
inline void CheckReleased(int baselineFds) {
    for (int slot = 1; slot < zem::kSlotsPerChannel; ++slot)
        if (zem::BlockIsAllocated(slot)) Fail("a request block is still allocated after zemClose");
    if (zem::CheckAllBlocks([](int32_t, int32_t) {}) != 0) Fail("a memory block's guard bytes changed");
    if (OpenDescriptors() != baselineFds) {
        char link[512];
        for (int fd = 0; fd < 1024; ++fd) {
            std::string p = "/proc/self/fd/" + std::to_string(fd);
            ssize_t n = readlink(p.c_str(), link, sizeof link - 1);
            if (n > 0) std::fprintf(stderr, "fd %d: %.*s\n", fd, static_cast<int>(n), link);
        }
        Fail("a descriptor was left open");
    }
}

// Runs channel 0's request, started by an export that returned `started`, step by step
// until the machine is idle, calling serve() before every step.
template <class ServeFn> int32_t DriveSteps(int32_t started, ServeFn serve) {
    if (started < 0) return started;
    int32_t r;
    do {
        serve();
        // The fixed pauses before a reply is polled (up to 200 ms after EHLO, PASS and the
        // like) only cost time here: every byte is already there.
        zem::gChannelTable[0].ChannelPtr->WakeTick = 0;
        r = zemDriver(0);
    } while (r > 0);
    return r;
}

class HostileServer {
public:
    HostileServer() { listen_ = ListenLoopback(&port_); }
    int port() const { return port_; }

    // One input: the bytes the server will say once the client is there.
    void Arm(const uint8_t *data, size_t size) {
        data_ = data;
        size_ = size;
        if (conn_ >= 0) close(conn_);
        conn_ = -1;
    }

    // Accepts the client when it has come and hands it the whole input, then closes the
    // write side; called between driver steps.
    void Serve() {
        if (conn_ >= 0) {
            // Read what the client says, so that its closing is answered at once.
            char buf[4096];
            while (recv(conn_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
            }
            QuickAck();
            return;
        }
        conn_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn_ < 0) return;
        QuickAck();
        size_t done = 0;
        while (done < size_) {
            ssize_t w = send(conn_, data_ + done, size_ - done, MSG_NOSIGNAL);
            if (w <= 0) break;
            done += static_cast<size_t>(w);
        }
        shutdown(conn_, SHUT_WR);
    }

    // Runs the request started by the export's result until the machine is idle again.
    // The input always ends, so so does the request; libFuzzer's -timeout catches a hang.
    // With automatic calling off an export returns 0 once the request is recorded, or a
    // negative code from its argument checks.
    int32_t Drive(int32_t started) {
        return DriveSteps(started, [this] { Serve(); });
    }

    // zemClose driven step by step (QUIT and its reply from the input), then once more in
    // blocking mode: with automatic calling off zemClose keeps the request buffers, and
    // the blocking call on the closed connection releases them.
    void Close() {
        Drive(zemClose(0));
        zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1);
        zemClose(0);
        zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    }

    // After an input: the connection is gone and everything was given back.
    void EndInput(int baselineFds) {
        if (conn_ >= 0) close(conn_);
        conn_ = -1;
        DropBacklog(listen_);
        CheckReleased(baselineFds);
    }

private:
    // The library closes with a linger time, which waits until what it sent is
    // acknowledged; delayed acknowledgements would cost 40-200 ms per input.
    void QuickAck() {
        int one = 1;
        setsockopt(conn_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }

    int listen_ = -1;
    int conn_ = -1;
    int port_ = 0;
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

// Time-outs near zero and automatic calling off; the input's end closes the connection,
// so no wait matters.
inline void FastLibrary() {
    if (zemAttach(1, 0) != 1) Fail("zemAttach");
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0);
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 20);
    zemIntegerParam(0, ZEM_PARAM_CONNECT_TIMEOUT, 1000);
    zemIntegerParam(0, ZEM_PARAM_DATA_TIMEOUTS, 20);
    zemIntegerParam(0, ZEM_PARAM_POLL_INTERVAL, 1);
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
}

} // namespace zfz

// The fixed pauses of the library (half a second after every socket close, the login
// pause) would make a few inputs per second; the protocol targets link with
// -Wl,--wrap=_ZN3zem7SleepMsEi (scripts/fuzz.sh), and every sleep lasts at most 1 ms.
extern "C" void __real__ZN3zem7SleepMsEi(int32_t ms);
extern "C" void __wrap__ZN3zem7SleepMsEi(int32_t ms) { __real__ZN3zem7SleepMsEi(ms > 1 ? 1 : ms); }

#endif
