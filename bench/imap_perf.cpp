// The library's IMAP client on the benchmark workloads of bench/imap_compare.sh, one process
// per timed run so that the harness measures it exactly as it measures the peer tools
// (curl, ripmime, Python's imaplib). Exported functions only, as an application uses them.
//
//   imap_perf fetch --uid N  [common options]   UID FETCH of one message into DIR/message.eml,
//                                               its attachments decoded into DIR (--decode)
//                                               or the message saved as received (--raw)
//   imap_perf fetch-many [--uids A:B] [common]  every message of the mailbox (UID SEARCH ALL,
//                                               or the UIDs A..B) over one connection, each
//                                               into DIR/msg-UID.eml (attachments into DIR/att)
//
// Common options: --port P (21143) --user U (alice@zem.test) --pass W (alice-secret)
//   --mailbox M (INBOX) --dir D (required) --raw | --decode (required)
//   --default-timings   keep the library's step delay and pauses (else all 0, as the
//                       tools and bench/zem_perf.cpp set them)
//
// Exit status 0 on success, 1 on any failure, 2 for a usage error. One summary line goes to
// standard error: "imap_perf MODE wall_s=.. user_s=.. sys_s=.. cpu_s=.. maxrss_mib=.. ..."
// (in-process figures from getrusage; the harness takes its own from wait4 as well).
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zem32.h"
#include "peak_rss.h"

namespace {

constexpr int kMaxPath = 128;  // the library's longest message path

struct Options {
    std::string mode;
    int port = 21143;
    std::string user = "alice@zem.test";
    std::string pass = "alice-secret";
    std::string mailbox = "INBOX";
    std::string dir;
    uint32_t uid = 0;
    uint32_t uidFirst = 0, uidLast = 0;  // fetch-many --uids A:B
    int raw = -1;
    bool defaultTimings = false;
};

int Usage(const char *why) {
    std::fprintf(stderr,
                 "imap_perf: %s\n"
                 "usage: imap_perf fetch --uid N (--raw | --decode) --dir D [options]\n"
                 "       imap_perf fetch-many [--uids A:B] (--raw | --decode) --dir D [options]\n"
                 "options: --port P --user U --pass W --mailbox M --default-timings\n",
                 why);
    return 2;
}

bool ParseU32(const char *s, uint32_t &out) {
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v == 0 || v > 0xFFFFFFFFul) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

int Parse(int argc, char **argv, Options &o) {
    if (argc < 2) return Usage("no command");
    o.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        uint32_t v = 0;
        if (a == "--raw") {
            o.raw = 1;
        } else if (a == "--decode") {
            o.raw = 0;
        } else if (a == "--default-timings") {
            o.defaultTimings = true;
        } else if (a == "--port" && hasValue) {
            if (!ParseU32(argv[++i], v) || v > 65535) return Usage("--port: 1..65535");
            o.port = static_cast<int>(v);
        } else if (a == "--uid" && hasValue) {
            if (!ParseU32(argv[++i], o.uid)) return Usage("--uid: a positive number");
        } else if (a == "--uids" && hasValue) {
            std::string r = argv[++i];
            const size_t colon = r.find(':');
            if (colon == std::string::npos || !ParseU32(r.substr(0, colon).c_str(), o.uidFirst) ||
                !ParseU32(r.substr(colon + 1).c_str(), o.uidLast) || o.uidLast < o.uidFirst)
                return Usage("--uids: A:B with 0 < A <= B");
        } else if (a == "--user" && hasValue) {
            o.user = argv[++i];
        } else if (a == "--pass" && hasValue) {
            o.pass = argv[++i];
        } else if (a == "--mailbox" && hasValue) {
            o.mailbox = argv[++i];
        } else if (a == "--dir" && hasValue) {
            o.dir = argv[++i];
        } else {
            return Usage(("unknown or incomplete option: " + a).c_str());
        }
    }
    if (o.mode != "fetch" && o.mode != "fetch-many") return Usage(("unknown command: " + o.mode).c_str());
    if (o.raw < 0) return Usage("--raw or --decode is required");
    if (o.dir.empty()) return Usage("--dir is required");
    if (o.mode == "fetch" && o.uid == 0) return Usage("fetch needs --uid");
    if (o.dir.back() != '/') o.dir += '/';
    return 0;
}

struct Mark {
    std::chrono::steady_clock::time_point wall;
    double user = 0, sys = 0;
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

void Summary(const std::string &mode, const Mark &a, const Mark &b, const std::string &extra) {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const double wall = std::chrono::duration<double>(b.wall - a.wall).count();
    const double user = b.user - a.user, sys = b.sys - a.sys;
    std::fprintf(stderr, "imap_perf %s wall_s=%.4f user_s=%.4f sys_s=%.4f cpu_s=%.4f maxrss_mib=%.1f %s\n",
                 mode.c_str(), wall, user, sys, user + sys, static_cast<double>(ru.ru_maxrss) / 1024.0,
                 extra.c_str());
}

int Fail(const std::string &what, int32_t code) {
    char text[600] = {0};
    zemErrorText(0, code, text, sizeof text);
    std::fprintf(stderr, "imap_perf: %s failed: %d %s\n", what.c_str(), code, text);
    zemRelease();
    return 1;
}

using zb::MakeDirs;

// Attach, pacing off (unless asked for), log in, select. 0 or the exit status.
int Open(const Options &o) {
    if (zemAttach(1, 0) != 1) {
        std::fprintf(stderr, "imap_perf: zemAttach failed\n");
        return 1;
    }
    if (!o.defaultTimings) {
        zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0);
        zemIntegerParam(0, ZEM_PARAM_DATA_PAUSE, 0);
        zemIntegerParam(0, ZEM_PARAM_CLOSE_PAUSE, 0);
        zemIntegerParam(0, ZEM_PARAM_LOGIN_PAUSE, 0);
    }
    zemIntegerParam(0, ZEM_PARAM_IMAP_PORT, o.port);
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, o.raw);
    int32_t r = zemImapConnect(0, "127.0.0.1", o.user.c_str(), o.pass.c_str());
    if (r < 0) return Fail("zemImapConnect", r);
    r = zemImapSelect(0, o.mailbox.c_str(), 1);
    if (r < 0) return Fail("zemImapSelect " + o.mailbox, r);
    return 0;
}

int Finish() {
    const int32_t r = zemClose(0);
    if (r < 0) return Fail("zemClose", r);
    zemRelease();
    return 0;
}

int FetchOne(const Options &o) {
    const std::string name = "message.eml";
    if (o.dir.size() + name.size() > kMaxPath) return Usage("--dir too long");
    if (!MakeDirs(o.dir)) return 1;
    const Mark a = Now();
    if (int rc = Open(o)) return rc;
    int32_t r = zemImapFetchFile(0, o.uid, name.c_str(), o.dir.c_str(), o.dir.c_str());
    if (r < 0) return Fail("zemImapFetchFile " + std::to_string(o.uid), r);
    const int32_t saved = zemStatistics(0, ZEM_STAT_ATTACH_SAVED);
    if (int rc = Finish()) return rc;
    const Mark b = Now();
    struct stat st {};
    if (stat((o.dir + name).c_str(), &st) != 0 || st.st_size == 0) {
        std::fprintf(stderr, "imap_perf: %s%s was not written\n", o.dir.c_str(), name.c_str());
        return 1;
    }
    if (o.raw == 0 && saved < 1) {
        std::fprintf(stderr, "imap_perf: no attachment was saved\n");
        return 1;
    }
    Summary(o.mode + (o.raw ? "-raw" : "-decode"), a, b,
            "message_bytes=" + std::to_string(static_cast<long long>(st.st_size)) +
                " attachments=" + std::to_string(saved));
    return 0;
}

int FetchMany(const Options &o) {
    const std::string attDir = o.dir + "att/";
    if (attDir.size() + 20 > kMaxPath) return Usage("--dir too long");
    if (!MakeDirs(o.dir) || !MakeDirs(attDir)) return 1;
    const Mark a = Now();
    if (int rc = Open(o)) return rc;
    std::vector<uint32_t> uids;
    if (o.uidFirst != 0) {
        for (uint32_t u = o.uidFirst; u <= o.uidLast; ++u) uids.push_back(u);
    } else {
        std::vector<char> buf(1 << 20);
        const int32_t n = zemImapSearch(0, "ALL", buf.data(), static_cast<int32_t>(buf.size()));
        if (n < 0) return Fail("zemImapSearch", n);
        const char *p = buf.data();
        while (*p != '\0') {
            char *end = nullptr;
            const unsigned long u = std::strtoul(p, &end, 10);
            if (end == p) break;
            uids.push_back(static_cast<uint32_t>(u));
            p = end;
            while (*p == ' ') ++p;
        }
        if (static_cast<int32_t>(uids.size()) != n) {
            std::fprintf(stderr, "imap_perf: SEARCH said %d, the buffer held %zu\n", n, uids.size());
            zemRelease();
            return 1;
        }
    }
    long long attachments = 0;
    for (uint32_t u : uids) {
        const std::string name = "msg-" + std::to_string(u) + ".eml";
        const int32_t r = zemImapFetchFile(0, u, name.c_str(), o.dir.c_str(), attDir.c_str());
        if (r < 0) return Fail("zemImapFetchFile " + std::to_string(u), r);
        attachments += zemStatistics(0, ZEM_STAT_ATTACH_SAVED);
    }
    if (int rc = Finish()) return rc;
    const Mark b = Now();
    if (uids.empty()) {
        std::fprintf(stderr, "imap_perf: the mailbox %s is empty\n", o.mailbox.c_str());
        return 1;
    }
    const double wall = std::chrono::duration<double>(b.wall - a.wall).count();
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.1f", wall > 0 ? uids.size() / wall : 0.0);
    Summary(o.mode + (o.raw ? "-raw" : "-decode"), a, b,
            "count=" + std::to_string(uids.size()) + " msg_per_s=" + rate +
                " attachments=" + std::to_string(attachments));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (int rc = Parse(argc, argv, o)) return rc;
    return o.mode == "fetch" ? FetchOne(o) : FetchMany(o);
}
