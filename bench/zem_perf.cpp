// The library on the perf kit's loopback workloads, one process per timed run, so that the
// kit's timer measures it beside the peer tools (bench/ours.sh, bench/compare.sh). It uses
// the exported functions only, as an application would.
//
//   zem_perf send-attach --port P FILE          one message with FILE attached, composed
//                                                by the library while it is sent
//   zem_perf send-many   --port P --count N     N messages of about 1 KiB, one connection
//   zem_perf send-conn   --port P --count N     N connections of one message each
//   zem_perf channels    --port P --count N     N channels (at most 128) driven from one
//                                                thread with zemDriver and zemWaitAny
//   zem_perf retr --port P --user U --pass W (--raw | --decode) --dir D
//                                                RETR of message 1 into D
//   zem_perf wait-cpu                            CPU spent while a blocking connect waits
//                                                2 s for a slow greeting
//
// Every server is 127.0.0.1. By default the step delay, the data-line pause, the close
// pause and the login pause are 0, so the figures show the work and not the waits;
// --default-timings keeps the library's defaults (per-message latency as shipped).
//
// Exit status 0 on success, 1 on any failure, 2 for a usage error. One summary line goes
// to standard error, "zem_perf MODE key=value ...": wall_s (elapsed), user_s, sys_s,
// cpu_s (user + sys, from getrusage), cpu_pct (cpu_s / wall_s), maxrss_mib (peak
// resident size, from getrusage), and per mode the amount and rates.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "zem32.h"
#include "peak_rss.h"

namespace {

constexpr const char *kServer = "127.0.0.1";
constexpr const char *kFrom = "<sender@example.test>";
constexpr const char *kTo = "<receiver@example.test>";
constexpr int kMaxChannels = 128;
constexpr int kMaxPath = 128;  // the library's longest message path

struct Options {
    std::string mode;
    int port = 0;
    int count = 0;
    std::string file;
    std::string user = "perf";
    std::string pass = "perf";
    std::string dir;
    int raw = -1;          // 1 --raw, 0 --decode, -1 not given
    int rawPauseMs = 100;  // the POP3 data wait of a raw save (only a stalled server runs into it)
    int delayMs = 2000;    // wait-cpu: greeting delay of the slow server
    bool defaultTimings = false;
    bool pipelining = false; // EHLO, and MAIL/RCPT/DATA in one write where the server offers it
};

int Usage(const char *why) {
    std::fprintf(stderr,
                 "zem_perf: %s\n"
                 "usage: zem_perf send-attach --port P FILE\n"
                 "       zem_perf send-many   --port P --count N\n"
                 "       zem_perf send-conn   --port P --count N\n"
                 "       zem_perf channels    --port P --count N      (N <= 128)\n"
                 "       zem_perf retr --port P [--user U] [--pass W] (--raw [--raw-pause MS] | --decode) --dir D\n"
                 "       zem_perf wait-cpu [--delay-ms MS]\n"
                 "       any of them: --default-timings (keep the library's step delay and pauses),\n                     --pipelining (EHLO and pipelined MAIL/RCPT/DATA where offered)\n",
                 why);
    return 2;
}

bool ParseInt(const char *s, int lo, int hi, int &out) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

// Returns 0 when the options are usable, else the usage exit status.
int Parse(int argc, char **argv, Options &o) {
    if (argc < 2) return Usage("no command");
    o.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--default-timings") {
            o.defaultTimings = true;
        } else if (a == "--pipelining") {
            o.pipelining = true;
        } else if (a == "--raw") {
            o.raw = 1;
        } else if (a == "--decode") {
            o.raw = 0;
        } else if (a == "--port" && hasValue) {
            if (!ParseInt(argv[++i], 1, 65535, o.port)) return Usage("--port: 1..65535");
        } else if (a == "--count" && hasValue) {
            if (!ParseInt(argv[++i], 1, 10000000, o.count)) return Usage("--count: a positive number");
        } else if (a == "--raw-pause" && hasValue) {
            if (!ParseInt(argv[++i], 1, 600000, o.rawPauseMs)) return Usage("--raw-pause: ms, 1..600000");
        } else if (a == "--delay-ms" && hasValue) {
            if (!ParseInt(argv[++i], 0, 600000, o.delayMs)) return Usage("--delay-ms: 0..600000");
        } else if (a == "--user" && hasValue) {
            o.user = argv[++i];
        } else if (a == "--pass" && hasValue) {
            o.pass = argv[++i];
        } else if (a == "--dir" && hasValue) {
            o.dir = argv[++i];
        } else if (!a.empty() && a[0] != '-' && o.file.empty()) {
            o.file = a;
        } else {
            return Usage(("unknown or incomplete option: " + a).c_str());
        }
    }
    const bool needsPort = o.mode != "wait-cpu";
    if (needsPort && o.port == 0) return Usage("--port is required");
    if (o.mode == "send-attach") {
        if (o.file.empty()) return Usage("send-attach needs FILE");
    } else if (o.mode == "send-many" || o.mode == "send-conn" || o.mode == "channels") {
        if (o.count == 0) return Usage("--count is required");
        if (o.mode == "channels" && o.count > kMaxChannels) return Usage("channels: --count at most 128");
    } else if (o.mode == "retr") {
        if (o.raw < 0) return Usage("retr needs --raw or --decode");
        if (o.dir.empty()) return Usage("retr needs --dir");
    } else if (o.mode != "wait-cpu") {
        return Usage(("unknown command: " + o.mode).c_str());
    }
    return 0;
}

// ---- measuring ------------------------------------------------------------------------

struct Mark {
    std::chrono::steady_clock::time_point wall;
    double user = 0;
    double sys = 0;
};

double Seconds(const timeval &tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

Mark Now() {
    Mark m;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    m.user = Seconds(ru.ru_utime);
    m.sys = Seconds(ru.ru_stime);
    m.wall = std::chrono::steady_clock::now();
    return m;
}

double PeakRssMiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_maxrss) / 1024.0;  // KiB on Linux
}

// Prints the summary line of the interval a..b, then the extra key=value fields.
void Summary(const std::string &mode, const Mark &a, const Mark &b, const std::string &extra) {
    const double wall = std::chrono::duration<double>(b.wall - a.wall).count();
    const double user = b.user - a.user;
    const double sys = b.sys - a.sys;
    const double cpu = user + sys;
    std::fprintf(stderr,
                 "zem_perf %s wall_s=%.4f user_s=%.4f sys_s=%.4f cpu_s=%.4f cpu_pct=%.3f maxrss_mib=%.1f%s%s\n",
                 mode.c_str(), wall, user, sys, cpu, wall > 0 ? 100.0 * cpu / wall : 0.0, PeakRssMiB(),
                 extra.empty() ? "" : " ", extra.c_str());
}

std::string Fmt(const char *format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string Rates(int count, const Mark &a, const Mark &b) {
    const double wall = std::chrono::duration<double>(b.wall - a.wall).count();
    return "count=" + std::to_string(count) + " msg_per_s=" + Fmt("%.1f", wall > 0 ? count / wall : 0.0) +
           " ms_per_msg=" + Fmt("%.3f", 1000.0 * wall / count);
}

// ---- library helpers ------------------------------------------------------------------

int Fail(int32_t chan, const std::string &what, int32_t code) {
    char text[600] = {0};
    zemErrorText(chan, code, text, sizeof text);
    std::fprintf(stderr, "zem_perf: channel %d: %s failed: %d %s\n", chan, what.c_str(), code, text);
    return 1;
}

// The library-wide waits: 0 unless the defaults were asked for.
void SetTimings(const Options &o) {
    if (o.defaultTimings) return;
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0);
    zemIntegerParam(0, ZEM_PARAM_DATA_PAUSE, 0);
    zemIntegerParam(0, ZEM_PARAM_CLOSE_PAUSE, 0);
    zemIntegerParam(0, ZEM_PARAM_LOGIN_PAUSE, 0);
}

bool Start(const Options &o, int channels) {
    if (zemAttach(channels, 0) != 1) {
        std::fprintf(stderr, "zem_perf: zemAttach(%d) failed\n", channels);
        return false;
    }
    SetTimings(o);
    for (int c = 0; c < channels; ++c) {
        zemIntegerParam(c, ZEM_PARAM_SMTP_PORT, o.port);
        zemIntegerParam(c, ZEM_PARAM_POP3_PORT, o.port);
        if (o.pipelining) {
            zemIntegerParam(c, ZEM_PARAM_USE_EHLO, 1);
            zemIntegerParam(c, ZEM_PARAM_PIPELINING, 1);
        }
    }
    return true;
}

// 1,024 bytes of text (like smtp-source -l 1024): lines of 60 characters, short enough
// that the library's line wrapping leaves them as they are.
std::string SmallText() {
    const std::string words = "This is a small benchmark message. ";
    std::string text;
    size_t k = 0;
    while (text.size() < 1024) {
        const size_t width = std::min<size_t>(60, 1024 - text.size() - 2);
        std::string line;
        while (line.size() < width) line += words[k++ % words.size()];
        while (!line.empty() && line.back() == ' ') line.back() = '.';
        text += line + "\r\n";
    }
    return text;
}

std::string Subject(int i) { return "perf small message " + std::to_string(i); }

// ---- the workloads --------------------------------------------------------------------

int SendAttach(const Options &o) {
    struct stat st {};
    if (stat(o.file.c_str(), &st) != 0) {
        std::fprintf(stderr, "zem_perf: %s: %s\n", o.file.c_str(), std::strerror(errno));
        return 1;
    }
    const Mark a = Now();
    if (!Start(o, 1)) return 1;
    int32_t r = zemSmtpConnect(0, kServer, kFrom, nullptr);
    if (r < 0) return Fail(0, "zemSmtpConnect", r);
    r = zemSendEmail(0, kTo, nullptr, nullptr, "perf send with attachment", "Attachment follows.\r\n", o.file.c_str());
    if (r < 0) return Fail(0, "zemSendEmail", r);
    const int64_t wire = zemStatistics(0, ZEM_STAT_BYTES_SENT);
    r = zemClose(0);
    if (r < 0) return Fail(0, "zemClose", r);
    zemRelease();
    const Mark b = Now();
    const double wall = std::chrono::duration<double>(b.wall - a.wall).count();
    Summary(o.mode, a, b,
            "payload_bytes=" + std::to_string(static_cast<long long>(st.st_size)) +
                " bytes_sent=" + std::to_string(static_cast<long long>(wire)) +
                " mib_per_s=" + Fmt("%.1f", wall > 0 ? st.st_size / 1048576.0 / wall : 0.0));
    return 0;
}

int SendMany(const Options &o) {
    const std::string text = SmallText();
    const Mark a = Now();
    if (!Start(o, 1)) return 1;
    int32_t r = zemSmtpConnect(0, kServer, kFrom, nullptr);
    if (r < 0) return Fail(0, "zemSmtpConnect", r);
    for (int i = 0; i < o.count; ++i) {
        r = zemSendEmail(0, kTo, nullptr, nullptr, Subject(i).c_str(), text.c_str(), nullptr);
        if (r < 0) return Fail(0, "zemSendEmail " + std::to_string(i + 1), r);
    }
    r = zemClose(0);
    if (r < 0) return Fail(0, "zemClose", r);
    zemRelease();
    const Mark b = Now();
    Summary(o.mode, a, b, Rates(o.count, a, b) + " text_bytes=" + std::to_string(text.size()));
    return 0;
}

int SendConn(const Options &o) {
    const std::string text = SmallText();
    const Mark a = Now();
    if (!Start(o, 1)) return 1;
    for (int i = 0; i < o.count; ++i) {
        int32_t r = zemSmtpConnect(0, kServer, kFrom, nullptr);
        if (r < 0) return Fail(0, "zemSmtpConnect " + std::to_string(i + 1), r);
        r = zemSendEmail(0, kTo, nullptr, nullptr, Subject(i).c_str(), text.c_str(), nullptr);
        if (r < 0) return Fail(0, "zemSendEmail " + std::to_string(i + 1), r);
        r = zemClose(0);
        if (r < 0) return Fail(0, "zemClose " + std::to_string(i + 1), r);
    }
    zemRelease();
    const Mark b = Now();
    Summary(o.mode, a, b, Rates(o.count, a, b));
    return 0;
}

// Every channel goes connect -> send -> close on its own pace; one thread drives them all
// and sleeps in zemWaitAny whenever no channel could go on.
int Channels(const Options &o) {
    enum Phase { kConnecting, kSending, kClosing, kDone };
    const std::string text = SmallText();
    const int n = o.count;
    std::vector<Phase> phase(static_cast<size_t>(n), kConnecting);
    const Mark a = Now();
    if (!Start(o, n)) return 1;
    for (int c = 0; c < n; ++c) {
        zemIntegerParam(c, ZEM_PARAM_AUTO_CALL, 0);
        const int32_t r = zemSmtpConnect(c, kServer, kFrom, nullptr);
        if (r < 0) return Fail(c, "zemSmtpConnect", r);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    long long rounds = 0, waits = 0, idleWaits = 0, driverCalls = 0;
    int done = 0;
    while (done < n) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "zem_perf: channels: %d of %d done after 300 s\n", done, n);
            return 1;
        }
        ++rounds;
        for (int c = 0; c < n; ++c) {
            Phase &p = phase[static_cast<size_t>(c)];
            if (p == kDone) continue;
            ++driverCalls;
            int32_t r = zemDriver(c);
            if (r < 0) {
                return Fail(c, p == kConnecting ? "connect" : p == kSending ? "send" : "close", r);
            }
            if (r > 0) continue;
            if (p == kConnecting) {
                r = zemSendEmail(c, kTo, nullptr, nullptr, Subject(c).c_str(), text.c_str(), nullptr);
                if (r < 0) return Fail(c, "zemSendEmail", r);
                p = kSending;
            } else if (p == kSending) {
                r = zemClose(c);
                if (r < 0) return Fail(c, "zemClose", r);
                p = kClosing;
            } else {
                p = kDone;
                ++done;
            }
        }
        if (done < n) {
            ++waits;
            if (zemWaitAny(1000) == 0) ++idleWaits;
        }
    }
    zemRelease();
    const Mark b = Now();
    Summary(o.mode, a, b,
            Rates(n, a, b) + " rounds=" + std::to_string(rounds) + " waits=" + std::to_string(waits) +
                " idle_waits=" + std::to_string(idleWaits) + " driver_calls=" + std::to_string(driverCalls));
    return 0;
}

using zb::MakeDirs;

bool EndsWithDotLine(const std::string &path) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char tail[5] = {0};
    const bool ok = std::fseek(f, -5, SEEK_END) == 0 && std::fread(tail, 1, 5, f) == 5;
    std::fclose(f);
    return ok && std::memcmp(tail, "\r\n.\r\n", 5) == 0;
}

int Retr(const Options &o) {
    const std::string name = "message.eml";
    std::string dir = o.dir;
    if (dir.back() != '/') dir += '/';
    if (dir.size() + name.size() > kMaxPath) {
        std::fprintf(stderr, "zem_perf: --dir: at most %zu characters\n", kMaxPath - name.size());
        return 2;
    }
    if (!MakeDirs(dir)) return 1;
    const Mark a = Now();
    if (!Start(o, 1)) return 1;
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, o.raw);
    // A raw save ends when the server has been silent for the POP3 data wait.
    if (o.raw == 1) zemIntegerParam(0, ZEM_PARAM_POP3_DATA_WAIT, o.rawPauseMs);
    int32_t r = zemPop3Connect(0, kServer, o.user.c_str(), o.pass.c_str());
    if (r < 0) return Fail(0, "zemPop3Connect", r);
    r = zemGetEmailFile(0, 1, name.c_str(), dir.c_str(), dir.c_str());
    if (r < 0) return Fail(0, "zemGetEmailFile", r);
    const int32_t saved = zemStatistics(0, ZEM_STAT_ATTACH_SAVED);
    const int32_t received = zemStatistics(0, ZEM_STAT_TEXT_BYTES);
    char names[2048] = {0};
    zemDebug(0, ZEM_DEBUG_SAVED_LIST, names, sizeof names);
    r = zemClose(0);
    if (r < 0) return Fail(0, "zemClose", r);
    zemRelease();
    const Mark b = Now();
    struct stat st {};
    if (stat((dir + name).c_str(), &st) != 0 || st.st_size == 0) {
        std::fprintf(stderr, "zem_perf: the message file %s%s was not written\n", dir.c_str(), name.c_str());
        return 1;
    }
    // A raw save holds the server's lines as received: it is whole when it ends with the
    // line of the single dot (a stall longer than the pause would cut it short).
    if (o.raw == 1 && !EndsWithDotLine(dir + name)) {
        std::fprintf(stderr, "zem_perf: the raw message %s%s does not end with \".\" (cut short?)\n", dir.c_str(),
                     name.c_str());
        return 1;
    }
    if (o.raw == 0 && saved < 1) {
        std::fprintf(stderr, "zem_perf: no attachment was saved\n");
        return 1;
    }
    if (o.raw == 0) std::printf("%s\n", names);
    std::string extra = "message_bytes=" + std::to_string(static_cast<long long>(st.st_size)) +
                        " text_bytes=" + std::to_string(received) + " attachments=" + std::to_string(saved);
    if (o.raw == 1) extra += " raw_pause_ms=" + std::to_string(o.rawPauseMs);
    Summary(o.mode + (o.raw == 1 ? "-raw" : "-decode"), a, b, extra);
    return 0;
}

// ---- wait-cpu: a slow server on loopback ----------------------------------------------

bool SendAll(int fd, const char *s) {
    size_t left = std::strlen(s);
    while (left > 0) {
        const ssize_t k = send(fd, s, left, MSG_NOSIGNAL);
        if (k <= 0) return false;
        s += k;
        left -= static_cast<size_t>(k);
    }
    return true;
}

// Accepts one connection, greets after delayMs, then answers each command line until QUIT.
void SlowServer(int listener, int delayMs, std::atomic<bool> &ok) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    bool good = SendAll(fd, "220 slow\r\n");
    std::string in;
    char buf[512];
    bool quit = false;
    while (good && !quit) {
        const ssize_t k = recv(fd, buf, sizeof buf, 0);
        if (k <= 0) break;
        in.append(buf, static_cast<size_t>(k));
        size_t eol;
        while ((eol = in.find("\r\n")) != std::string::npos) {
            std::string cmd = in.substr(0, std::min<size_t>(eol, 4));
            in.erase(0, eol + 2);
            for (char &ch : cmd) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            if (cmd == "QUIT") {
                good = SendAll(fd, "221 bye\r\n");
                quit = true;
                break;
            }
            good = SendAll(fd, cmd == "HELO" || cmd == "EHLO" ? "250 slow.example.test\r\n" : "250 ok\r\n");
        }
    }
    ok = good && quit;
    close(fd);
}

int WaitCpu(const Options &o) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) return 1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    socklen_t len = sizeof sa;
    if (bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        std::fprintf(stderr, "zem_perf: wait-cpu: cannot listen: %s\n", std::strerror(errno));
        close(listener);
        return 1;
    }
    Options so = o;
    so.port = ntohs(sa.sin_port);
    std::atomic<bool> serverOk{false};
    std::thread server(SlowServer, listener, o.delayMs, std::ref(serverOk));
    int rc = 0;
    if (!Start(so, 1)) {
        rc = 1;
    } else {
        const Mark a = Now();
        int32_t r = zemSmtpConnect(0, kServer, kFrom, nullptr);
        const Mark b = Now();
        if (r < 0) {
            rc = Fail(0, "zemSmtpConnect", r);
            zemAbort(0);
        } else {
            r = zemClose(0);
            if (r < 0) rc = Fail(0, "zemClose", r);
            Summary(o.mode, a, b, "greeting_delay_ms=" + std::to_string(o.delayMs));
            const double wall = std::chrono::duration<double>(b.wall - a.wall).count();
            if (wall * 1000.0 < o.delayMs) {
                std::fprintf(stderr, "zem_perf: the connect returned before the greeting was sent\n");
                rc = 1;
            }
        }
        zemRelease();
    }
    shutdown(listener, SHUT_RDWR);  // unblocks accept when the connect never came
    server.join();
    close(listener);
    if (rc == 0 && !serverOk) {
        std::fprintf(stderr, "zem_perf: wait-cpu: the session with the slow server did not end with QUIT\n");
        rc = 1;
    }
    return rc;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (int rc = Parse(argc, argv, o)) return rc;
    if (o.mode == "send-attach") return SendAttach(o);
    if (o.mode == "send-many") return SendMany(o);
    if (o.mode == "send-conn") return SendConn(o);
    if (o.mode == "channels") return Channels(o);
    if (o.mode == "retr") return Retr(o);
    return WaitCpu(o);
}
