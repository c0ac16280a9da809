#include "common.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zemtool {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void OnSignal(int) { gInterrupted = 1; }

void SleepMs(int ms) {
    struct timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !gInterrupted) {
    }
}

int TerminalColumns() {
    struct winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 40) return ws.ws_col;
    return 80;
}

} // namespace

bool Interrupted() { return gInterrupted != 0; }

void InstallSignalHandlers() {
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A server that drops the connection must give an error code, not kill the tool.
    signal(SIGPIPE, SIG_IGN);
}

int32_t DriveToEnd(int32_t chan, const std::function<void()> &tick) {
    for (;;) {
        if (gInterrupted) {
            zemAbort(chan);
            return kInterruptedCode;
        }
        int32_t r = zemDriver(chan);
        if (tick) tick();
        if (r <= 0) return r;
        // ZEM_DRIVER_WAIT: no step was due yet; any other positive value is the next
        // state, which may run at once.
        if (r == ZEM_DRIVER_WAIT) SleepMs(1);
    }
}

void SetAutoCall(int32_t chan, bool blocking) {
    zemIntegerParam(chan, ZEM_PARAM_AUTO_CALL, blocking ? 1 : 0);
}

void ApplyPacing(int32_t chan, bool paced) {
    if (paced) return;
    zemIntegerParam(chan, ZEM_PARAM_STEP_DELAY, 0);
    zemIntegerParam(chan, ZEM_PARAM_LOGIN_PAUSE, 0);
    zemIntegerParam(chan, ZEM_PARAM_CLOSE_PAUSE, 0);
    zemIntegerParam(chan, ZEM_PARAM_DATA_PAUSE, 0);
}

int32_t CloseChannel(int32_t chan) {
    SetAutoCall(chan, true);
    return zemClose(chan);
}

// ---------------------------------------------------------------------------- progress

Progress::Progress(bool enabled, std::string label, int64_t total, int delayMs)
    : enabled_(enabled), label_(std::move(label)), total_(total), delayMs_(delayMs),
      startMs_(NowMs()) {
    // ZEM_PROGRESS_DELAY_MS: how long a transfer runs before its bar appears.
    if (const char *v = std::getenv("ZEM_PROGRESS_DELAY_MS"); v != nullptr && *v >= '0' && *v <= '9')
        delayMs_ = std::atoi(v);
}

Progress::~Progress() { Finish(); }

void Progress::SetLabel(std::string label, int64_t total) {
    label_ = std::move(label);
    total_ = total;
    startMs_ = NowMs();
    lastDrawMs_ = 0;
}

void Progress::Update(int64_t done) {
    if (!enabled_) return;
    int64_t now = NowMs();
    if (now - startMs_ < delayMs_ || now - lastDrawMs_ < 100) return;
    lastDrawMs_ = now;
    Draw(done, static_cast<double>(now - startMs_) / 1000.0);
}

void Progress::Draw(int64_t done, double elapsed) {
    std::string line = label_;
    if (total_ > 0) {
        // The total is an estimate: never show more than 100 % or a negative time left.
        int64_t shown = done < total_ ? done : total_;
        double frac = static_cast<double>(shown) / static_cast<double>(total_);
        char tail[160];
        double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
        std::string left = "--:--";
        if (rate > 0 && done > 0) left = HumanDuration(static_cast<double>(total_ - shown) / rate);
        std::snprintf(tail, sizeof tail, " %3d%%  %s / %s  %s/s  %s left", static_cast<int>(frac * 100),
                      HumanBytes(done).c_str(), HumanBytes(total_).c_str(),
                      HumanBytes(static_cast<int64_t>(rate)).c_str(), left.c_str());
        int width = TerminalColumns() - static_cast<int>(line.size() + std::strlen(tail)) - 4;
        if (width > 50) width = 50;
        if (width >= 10) {
            int fill = static_cast<int>(frac * width);
            line += " [" + std::string(static_cast<size_t>(fill), '#') +
                    std::string(static_cast<size_t>(width - fill), '-') + "]";
        }
        line += tail;
    } else {
        line += " " + HumanDuration(elapsed);
        if (done > 0) line += "  " + HumanBytes(done);
    }
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::Finish() {
    if (drawn_) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        drawn_ = false;
    }
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int64_t NowMs() {
    struct timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string HumanBytes(int64_t n) {
    static const char *const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    char buf[32];
    if (n < 1024) {
        std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(n));
        return buf;
    }
    double v = static_cast<double>(n) / 1024.0;
    int unit = 0;
    while (v >= 1024.0 && unit < 3) {
        v /= 1024.0;
        ++unit;
    }
    std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
    return buf;
}

std::string HumanDuration(double seconds) {
    if (seconds < 0) seconds = 0;
    long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

// ---------------------------------------------------------------------------- errors

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (RFC 3629 s4: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0.
size_t Utf8Length(const std::string &s, size_t i) {
    auto at = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
    auto cont = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) { return at(k) >= lo && at(k) <= hi; };
    unsigned c = at(0);
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        return cont(1, lo, hi) && cont(2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
    }
    return 0;
}

void AppendHex(std::string &out, unsigned char c) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
}

} // namespace

std::string Printable(const std::string &text, bool keepNewlines) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\t' || (c == '\n' && keepNewlines) || (c >= 0x20 && c < 0x7F)) {
            out += text[i++];
            continue;
        }
        size_t n = c >= 0x80 ? Utf8Length(text, i) : 0;
        if (n == 0) {
            // A lone byte: C0, DEL and C1 are escaped; A0-FF may be Latin-1 text.
            if (c < 0xA0) AppendHex(out, c);
            else out += text[i];
            ++i;
        } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // U+0080..U+009F: a UTF-8 terminal takes these for C1 controls (U+009B is CSI).
            AppendHex(out, c);
            AppendHex(out, static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

std::string ErrorText(int32_t chan, int32_t code) {
    char buf[512];
    if (zemErrorText(chan, code, buf, sizeof buf) <= 0) return "unknown error";
    std::string s = StripLineEnd(buf);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return Printable(s);
}

std::string LastReply(int32_t chan) {
    char buf[256];
    if (zemDebug(chan, ZEM_DEBUG_LAST_REPLY, buf, sizeof buf) <= 0) return "";
    return Printable(StripLineEnd(buf));
}

int RunGuarded(const char *tool, int (*run)(int, char **), int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", tool);
    } catch (const std::exception &e) {
        // Byte by byte: nothing here may allocate and throw again.
        std::fprintf(stderr, "%s: internal error: ", tool);
        for (const char *p = e.what(); *p != '\0'; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c >= 0x20 && c < 0x7F) std::fputc(c, stderr);
            else std::fprintf(stderr, "\\x%02x", c);
        }
        std::fputc('\n', stderr);
    } catch (...) {
        std::fprintf(stderr, "%s: internal error\n", tool);
    }
    zemRelease();
    return kExitInternal;
}

void ReportFailure(const char *tool, int32_t chan, const std::string &what, int32_t code) {
    if (code == kInterruptedCode) {
        std::fprintf(stderr, "%s: %s interrupted\n", tool, what.c_str());
        return;
    }
    std::string reply = LastReply(chan);
    std::string text = ErrorText(chan, code);
    // The texts of -36, -49 and -63 already end in the server's reply: show it once.
    if (!reply.empty() && text.size() > reply.size() &&
        text.compare(text.size() - reply.size(), reply.size(), reply) == 0) {
        text = StripLineEnd(text.substr(0, text.size() - reply.size()));
        while (!text.empty() && text.back() == ' ') text.pop_back();
    }
    std::fprintf(stderr, "%s: %s failed: error %d: %s\n", tool, what.c_str(), code, text.c_str());
    if (!reply.empty()) std::fprintf(stderr, "%s: server reply: %s\n", tool, reply.c_str());
    int32_t sock = zemStatistics(chan, ZEM_STAT_LAST_SOCK_CODE);
    if (sock <= -10000)
        std::fprintf(stderr, "%s: socket error %d: %s\n", tool, sock, ErrorText(chan, sock).c_str());
}

// ---------------------------------------------------------------------------- text and files

std::string StripLineEnd(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
    return s;
}

std::vector<std::string> Split(const std::string &text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string ToUnixLines(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

int64_t ReadableFileSize(const std::string &path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    if (access(path.c_str(), R_OK) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool MakeDirs(const std::string &path) {
    if (path.empty()) return false;
    std::string cur;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!cur.empty() && cur != "." && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
        if (i < path.size()) cur += path[i];
    }
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t Base64LineSize(int64_t n) {
    // 57 input bytes make one line of 76 characters and CR LF.
    return 4 * ((n + 2) / 3) + 2 * ((n + 56) / 57);
}

std::string VersionText(const char *tool) {
    return std::string(tool) + " " + std::to_string(ZEM_VERSION >> 8) + "." + std::to_string((ZEM_VERSION >> 4) & 15) +
           "." + std::to_string(ZEM_VERSION & 15);
}

} // namespace zemtool
