// Memory, clock, sleep, the library lock, files and local time over POSIX.
#include <fcntl.h>
#include <sched.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"

namespace zem {

void *PlatformAlloc(size_t size) { return std::calloc(1, size == 0 ? 1 : size); }
void PlatformFree(void *p) { std::free(p); }

Tick TickNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // The offset keeps the clock away from 0, which means "no deadline".
    return static_cast<Tick>(ts.tv_sec) * 1000u + static_cast<Tick>(ts.tv_nsec / 1000000) + 1000u;
}

void SleepMs(int32_t ms) {
    if (ms <= 0) {
        sched_yield();
        return;
    }
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {
std::mutex &Lock() {
    static std::mutex m;
    return m;
}

// Descriptors the library hands out are kept at 3 and above, so 0 (stdin) is never
// mistaken for one of ours.
int KeepAboveStdio(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}
} // namespace

void LockLibrary() { Lock().lock(); }
void UnlockLibrary() { Lock().unlock(); }

namespace {
constexpr int kPathRoom = 4096 + 32;
constexpr int32_t kNoNewFile = -3; // the directory takes no new file

int32_t Handle(int fd) {
    fd = KeepAboveStdio(fd);
    return fd < 0 ? -1 : fd;
}

// Creates a new file beside path and renames it over path. The handle, -1 on failure, or
// kNoNewFile when no file can be made in the directory (read-only, no permission).
int32_t ReplaceByRename(const char *path, mode_t mode) {
    char temp[kPathRoom];
    for (int tries = 0; tries < 8; ++tries) {
        uint32_t r = 0;
        if (getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) r = static_cast<uint32_t>(getpid()) * 2654435761u + static_cast<uint32_t>(tries);
        const int n = std::snprintf(temp, sizeof temp, "%s.%08x", path, r);
        if (n <= 0 || n >= static_cast<int>(sizeof temp)) return -1;
        int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return (errno == EACCES || errno == EPERM || errno == EROFS || errno == ENAMETOOLONG) ? kNoNewFile : -1;
        }
        if (rename(temp, path) != 0) {
            unlink(temp);
            close(fd);
            return -1;
        }
        return Handle(fd);
    }
    return -1;
}

// An existing regular file with no other name, truncated in place (a directory that takes
// no new file); before is what lstat saw at the name.
int32_t TruncateInPlace(const char *path, const struct stat &before, bool privateMode) {
    int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != before.st_ino || st.st_dev != before.st_dev ||
        st.st_nlink != 1 || ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        return -1;
    }
    if (privateMode) (void)fchmod(fd, 0600);
    return Handle(fd);
}
} // namespace

int32_t FileCreateNew(const char *path) {
    if (path == nullptr || path[0] == 0) return -1;
    // O_EXCL fails on any existing name, a link (even a dangling one) included.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return errno == EEXIST ? -2 : -1;
    return Handle(fd);
}

int32_t FileReplace(const char *path, bool privateMode) {
    if (path == nullptr || path[0] == 0) return -1;
    const mode_t mode = privateMode ? 0600 : 0644;
    for (int look = 0; look < 4; ++look) {
        struct stat st {};
        if (lstat(path, &st) != 0) {
            if (errno != ENOENT) return -1;
            int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd >= 0) return Handle(fd);
            if (errno == EEXIST) continue; // something took the name meanwhile: look again
            return -1;
        }
        if (S_ISCHR(st.st_mode)) { // /dev/null and the like: nobody but root makes one
            int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
            if (fd < 0) return -1;
            struct stat now {};
            if (fstat(fd, &now) != 0 || !S_ISCHR(now.st_mode) || now.st_rdev != st.st_rdev) {
                close(fd);
                return -1;
            }
            return Handle(fd);
        }
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return -1;
        const int32_t h = ReplaceByRename(path, mode);
        if (h != kNoNewFile) return h;
        return S_ISREG(st.st_mode) ? TruncateInPlace(path, st, privateMode) : -1;
    }
    return -1;
}

void FileRemove(const char *path) {
    if (path != nullptr && path[0] != 0) unlink(path);
}

int64_t FileSizeOf(const char *path) {
    struct stat st {};
    if (path == nullptr || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

int32_t FileOpenRead(const char *path) {
    if (path == nullptr) return -1;
    int fd = KeepAboveStdio(open(path, O_RDONLY | O_CLOEXEC));
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) { // a directory is not a readable file
        close(fd);
        return -1;
    }
    return fd;
}

int32_t FileRead(int32_t h, void *buf, int32_t n) {
    if (h <= 0 || n <= 0) return h <= 0 ? -1 : 0;
    for (;;) {
        ssize_t r = read(h, buf, static_cast<size_t>(n));
        if (r < 0 && errno == EINTR) continue;
        return r < 0 ? -1 : static_cast<int32_t>(r);
    }
}

int32_t FileWrite(int32_t h, const void *buf, int32_t n) {
    if (h <= 0) return -1;
    auto p = static_cast<const char *>(buf);
    int32_t done = 0;
    while (done < n) {
        ssize_t r = write(h, p + done, static_cast<size_t>(n - done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        done += static_cast<int32_t>(r);
    }
    return done;
}

int32_t FileWrite2(int32_t h, const void *a, int32_t na, const void *b, int32_t nb) {
    if (h <= 0) return -1;
    iovec iov[2] = {{const_cast<void *>(a), static_cast<size_t>(na)}, {const_cast<void *>(b), static_cast<size_t>(nb)}};
    ssize_t total = static_cast<ssize_t>(na) + nb;
    ssize_t r;
    do {
        r = writev(h, iov, 2);
    } while (r < 0 && errno == EINTR);
    if (r == total) return static_cast<int32_t>(r);
    if (r < 0) return -1;
    // A short write (rare on regular files): finish the rest plainly.
    ssize_t done = r;
    if (done < na) {
        if (FileWrite(h, static_cast<const char *>(a) + done, na - static_cast<int32_t>(done)) < 0) return -1;
        done = na;
    }
    if (FileWrite(h, static_cast<const char *>(b) + (done - na), nb - static_cast<int32_t>(done - na)) < 0) return -1;
    return static_cast<int32_t>(total);
}

void FileClose(int32_t h) {
    if (h > 0) close(h);
}

LocalTime GetLocalTime() {
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    LocalTime lt{};
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.weekday = tm.tm_wday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec;
    lt.utcOffsetMinutes = static_cast<int32_t>(tm.tm_gmtoff / 60);
    return lt;
}

bool RandomBytes(void *buf, int32_t n) {
    auto *p = static_cast<uint8_t *>(buf);
    int32_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(p + got, static_cast<size_t>(n - got), 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<int32_t>(r);
    }
    return true;
}

} // namespace zem
