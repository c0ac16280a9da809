// The thin layer over the operating system. Everything above it (frame, driver, protocols)
// reaches sockets, files, memory, time and the lock only through these functions, so the
// protocol code never includes a POSIX header.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zem {

// ---- Memory: zero-filled, stable address --------------------------------------------
void *PlatformAlloc(size_t size); // null on failure
void PlatformFree(void *p);

// ---- Time ----------------------------------------------------------------------------
// A 64-bit monotonic millisecond clock; never 0, so 0 can mean "no deadline".
using Tick = uint64_t;
Tick TickNow();
// The 32-bit tick the logs and the boundary template show (low 32 bits of the clock).
inline int32_t TickLow32(Tick t) { return static_cast<int32_t>(static_cast<uint32_t>(t)); }
void SleepMs(int32_t ms); // 0 yields the processor

// ---- The process-wide lock -------------------------------------------------------------
void LockLibrary();
void UnlockLibrary();
struct LibraryLockGuard {
    LibraryLockGuard() { LockLibrary(); }
    ~LibraryLockGuard() { UnlockLibrary(); }
    LibraryLockGuard(const LibraryLockGuard &) = delete;
    LibraryLockGuard &operator=(const LibraryLockGuard &) = delete;
};

// ---- Files by handle -------------------------------------------------------------------
// Handles are positive; every descriptor the library opens is 3 or above, so 0 always
// means "none" and the standard streams are never touched.
int32_t FileOpenRead(const char *path);                 // -1 on failure
int32_t FileRead(int32_t h, void *buf, int32_t n);      // bytes read, 0 at end, -1 on error
int32_t FileWrite(int32_t h, const void *buf, int32_t n); // bytes written (all), -1 on error
void FileClose(int32_t h);
// Creates a new regular file, never an existing one and never through a symbolic link
// (for names that come from the network). Returns the handle, -2 when the name exists
// (as anything, a dangling link included), -1 on any other failure.
int32_t FileCreateNew(const char *path);
// A file the caller named: a new file is created, and an existing regular file or link of
// that name is replaced by a new file renamed over it, so nothing is ever written through
// a link or into another name of the same file (a hard link). A character device (such as
// /dev/null) is written as it stands; a directory, pipe, socket or block device is refused.
// privateMode: the new file is readable by its owner only. The handle, or -1.
int32_t FileReplace(const char *path, bool privateMode);
// Removes a file the library created (an attachment file dropped unused).
void FileRemove(const char *path);
int64_t FileSizeOf(const char *path);                 // bytes of a regular file, -1 otherwise

// ---- Local time ------------------------------------------------------------------------
struct LocalTime {
    int year, month /*1-12*/, day, weekday /*0 = Sunday*/, hour, minute, second;
    int32_t utcOffsetMinutes; // east of UTC positive
};
LocalTime GetLocalTime();
// Fills buf with n bytes from the system's entropy source: true, or false when it failed.
bool RandomBytes(void *buf, int32_t n);

// ---- Sockets -----------------------------------------------------------------------------
// Socket errors come back as the library's socket codes (negated Winsock-style numbers).
int32_t MapSocketError(int err);          // errno -> socket code
int32_t LastSocketError();                // current errno mapped
int32_t SocketCreateTcp();                // descriptor (>= 3) or a negative socket code
int32_t SocketSetNonBlocking(int32_t s, bool on);
int32_t SocketSetBlocking(int32_t s);     // one call: clears the status flags (O_NONBLOCK)
int32_t SocketConnect(int32_t s, uint32_t addrHostOrder, uint16_t port); // 1 connected or under way, else code
int32_t SocketPoll(int32_t s, int kind);  // kind 1 readable, 2 writable, 3 error: 1 / 0
int32_t SocketPollWrite(int32_t s);       // one poll: -1 error pending, 1 writable, 0 not yet
int32_t SocketSend(int32_t s, const void *buf, int32_t n); // bytes accepted or a negative code
// As SocketSend, but never waits: -10035 when the socket takes nothing now.
int32_t SocketSendSome(int32_t s, const void *buf, int32_t n);
// As SocketRecv, but never waits: -10035 when nothing is there now.
int32_t SocketRecvSome(int32_t s, void *buf, int32_t n);
int32_t SocketRecv(int32_t s, void *buf, int32_t n);       // bytes, 0 on close, negative code on error
int32_t SocketCloseLinger(int32_t s);     // 1 or a negative code
int32_t SocketLocalAddress(int32_t s, uint32_t *addrHostOrder, uint16_t *port); // 1 or code
int32_t GetHostNameText(char *buf, int32_t size); // 1 or a negative code
int32_t LookupHostIPv4(const char *name, uint32_t *addrNetOrder); // 1 or a negative socket code

// ---- Both address families ------------------------------------------------------------
// An address of either family: IPv4 in the first 4 bytes (network order), IPv6 in all 16.
struct NetAddress {
    uint8_t family; // 4 or 6
    uint8_t bytes[16];
};
// Every address of a name, IPv4 and IPv6, in the resolver's order of preference (at most
// max, duplicates dropped). The count (0 when none), or a negative socket code.
int32_t LookupHostAll(const char *name, NetAddress *out, int32_t max);
// A literal IPv6 address, with or without brackets: 1 and *out set, else 0.
int32_t ParseIPv6Literal(const char *text, NetAddress *out);
// Text form ("::1", "192.0.2.1"); the length, or 0 when the buffer is too small.
int32_t FormatNetAddress(const NetAddress &a, char *text, int32_t size);
int32_t SocketCreateTcpFamily(int family, bool nonBlocking = false); // 4 or 6; as SocketCreateTcp
int32_t SocketConnectTo(int32_t s, const NetAddress &a, uint16_t port); // as SocketConnect
int32_t SocketWait(int32_t s, int kind, int32_t ms); // waits up to ms for kind 1 / 2: 1 ready, 0 not
// One poll over many sockets (kind 1 read, 2 write each); sets ready, returns how many are.
struct PollEntry {
    int32_t socket;
    int kind;
    bool ready;
};
int32_t SocketWaitMany(PollEntry *entries, int32_t n, int32_t ms);
int32_t SocketPendingError(int32_t s);      // the connect's error (socket code), 0 when none
int32_t SocketLocalNetAddress(int32_t s, NetAddress *a, uint16_t *port); // 1 or code

} // namespace zem

namespace zem {
// One write call for a tagged entry (tag and bytes), so a log entry is never split.
int32_t FileWrite2(int32_t h, const void *a, int32_t na, const void *b, int32_t nb);
// Close without linger or pause (library release).
void SocketCloseNow(int32_t s);
} // namespace zem
