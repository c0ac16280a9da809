// The soak: 128 channels driven by 4 threads (32 each), every channel sending a message
// or reading the mailbox against a fault server of its own, over and over, with a random
// fault injected into a fifth of the conversations. Every few seconds the main thread
// samples the resident set and the open descriptors; at the end it prints the samples,
// the messages moved and the faults injected, and fails when memory or descriptors grew.
//
//   zem_soak SECONDS
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fault_server.h"
#include "frame/channel.h"
#include "zem32.h"

namespace {

constexpr int kChannels = 128;
constexpr int kThreads = 4;

std::atomic<bool> gStop{false};
std::atomic<long> gSent{0}, gRetrieved{0}, gFaults{0}, gFailed{0}, gReconnectFailed{0};

long RssKiB() {
    long pages = 0, rss = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f != nullptr) {
        if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
        std::fclose(f);
    }
    return rss * (sysconf(_SC_PAGESIZE) / 1024);
}

int Descriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n - 1;
}

// Faults that end quickly with the library as it is; floods of POP3 message data are left
// to the fault suite (they need the message size limit).
const zf::Fault kSoakFaults[] = {zf::Fault::Stall,    zf::Fault::Close,     zf::Fault::Reset,
                                 zf::Fault::Garbage,  zf::Fault::NulBytes,  zf::Fault::WrongCode,
                                 zf::Fault::SecondReply, zf::Fault::LongLine, zf::Fault::FloodMultiline};

std::atomic<int> gReports{0};

// The first few unexpected failures, with the request and its code.
bool Report(bool ok, int chan, const char *what, int32_t code) {
    if (!ok && gReports++ < 8) std::printf("  channel %d: %s gave %d\n", chan, what, code);
    return ok;
}

bool Smtp(int chan, int port, bool quiet) {
    zemIntegerParam(chan, ZEM_PARAM_SMTP_PORT, port);
    zemIntegerParam(chan, ZEM_PARAM_USE_EHLO, 1);
    int32_t r = zemSmtpConnect(chan, "127.0.0.1", "<soak@client.test>", nullptr);
    bool ok = quiet ? r == 0 : Report(r == 0, chan, "zemSmtpConnect", r);
    if (ok) {
        r = zemSendEmail(chan, "<b@fault.test>", nullptr, nullptr, "soak", "soak text\r\nline two", nullptr);
        ok = quiet ? r == 0 : Report(r == 0, chan, "zemSendEmail", r);
    }
    zemClose(chan);
    return ok;
}

bool Pop3(int chan, int port, const std::string &dir, bool quiet) {
    zemIntegerParam(chan, ZEM_PARAM_POP3_PORT, port);
    char uid[256], top[4096];
    int32_t r = 0;
    const char *what = "zemPop3Connect";
    bool ok = (r = zemPop3Connect(chan, "127.0.0.1", "user", "secret")) == 0 &&
              (what = "zemGetEmailCount", (r = zemGetEmailCount(chan)) >= 0) &&
              (what = "zemGetEmailSize", (r = zemGetEmailSize(chan, 1)) >= 0) &&
              (what = "zemGetEmailUID", (r = zemGetEmailUID(chan, 1, uid, sizeof uid)) >= 0) &&
              (what = "zemGetEmailLines", (r = zemGetEmailLines(chan, 1, 0, top, sizeof top)) >= 0) &&
              (what = "zemGetEmailFile", (r = zemGetEmailFile(chan, 1, "m.eml", dir.c_str(), dir.c_str())) == 0) &&
              (what = "zemDeleteEmail", (r = zemDeleteEmail(chan, 1)) >= 0);
    if (!quiet) Report(ok, chan, what, r);
    zemClose(chan);
    std::error_code ec;
    for (auto &e : std::filesystem::directory_iterator(dir, ec)) std::filesystem::remove(e.path(), ec);
    return ok;
}

void Worker(int id, const std::string &root) {
    std::mt19937 rng(static_cast<unsigned>(1234 + id));
    std::vector<std::string> dirs;
    for (int c = id; c < kChannels; c += kThreads) {
        dirs.push_back(root + "/chan" + std::to_string(c));
        std::filesystem::create_directories(dirs.back());
    }
    while (!gStop) {
        int k = 0;
        for (int c = id; c < kChannels && !gStop; c += kThreads, ++k) {
            const bool smtp = rng() % 2 == 0;
            const auto dialogue = smtp ? zf::SmtpDialogue() : zf::Pop3Dialogue();
            const bool faulty = rng() % 5 == 0;
            int at = faulty ? static_cast<int>(rng() % (dialogue.size() - 1)) : -1; // QUIT aside
            zf::Fault f = faulty ? kSoakFaults[rng() % (sizeof kSoakFaults / sizeof kSoakFaults[0])] : zf::Fault::None;
            // POP3 data floods only where a status line ends the reply.
            if (!smtp && f == zf::Fault::FloodMultiline && (at == 6 || at == 7)) f = zf::Fault::Stall;
            bool ok;
            {
                zf::FaultServer srv(smtp ? zf::Protocol::Smtp : zf::Protocol::Pop3, dialogue, at, f);
                ok = smtp ? Smtp(c, srv.port(), faulty) : Pop3(c, srv.port(), dirs[static_cast<size_t>(k)], faulty);
                if (faulty && srv.injected()) ++gFaults;
            }
            if (ok) ++(smtp ? gSent : gRetrieved);
            if (!faulty && !ok) ++gFailed;
            if (faulty) {
                // The channel must work again at once.
                zf::FaultServer clean(zf::Protocol::Smtp, zf::SmtpDialogue(), -1, zf::Fault::None);
                if (Smtp(c, clean.port(), false)) ++gSent;
                else ++gReconnectFailed;
            }
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
    char tmpl[] = "/tmp/zem-soak-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 2;
    const std::string root = tmpl;
    if (zemAttach(kChannels, 0) != 1) return 2;
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0);
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 3000);
    zemIntegerParam(0, ZEM_PARAM_CONNECT_TIMEOUT, 2000);
    zemIntegerParam(0, ZEM_PARAM_DATA_TIMEOUTS, 3000);
    zemIntegerParam(0, ZEM_PARAM_POLL_INTERVAL, 5);
    const int fds0 = Descriptors();
    const long rss0 = RssKiB();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(Worker, t, root);
    const auto start = std::chrono::steady_clock::now();
    std::vector<long> rss;
    std::printf("%8s %10s %6s %8s %10s %8s\n", "second", "rss KiB", "fds", "sent", "retrieved", "faults");
    for (int s = 0; s < seconds; ++s) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (s % 10 == 9 || s == seconds - 1) {
            rss.push_back(RssKiB());
            std::printf("%8d %10ld %6d %8ld %10ld %8ld\n", s + 1, rss.back(), Descriptors(), gSent.load(), gRetrieved.load(),
                        gFaults.load());
            std::fflush(stdout);
        }
    }
    gStop = true;
    for (auto &t : threads) t.join();
    const long secs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count());
    int held = 0;
    for (int id = 0; id < zem::kBlockCount; ++id)
        if (id % zem::kSlotsPerChannel != 0) held += zem::BlockIsAllocated(id) ? 1 : 0;
    const int damaged = zem::CheckAllBlocks([](int32_t, int32_t) {});
    zemRelease();
    const int fds1 = Descriptors();
    std::filesystem::remove_all(root);
    // Flat: the last sample within a quarter (plus 4 MiB) of the first one after warm-up.
    const long first = rss.size() > 1 ? rss[1] : rss0, last = rss.empty() ? rss0 : rss.back();
    const bool flat = last <= first + first / 4 + 4096;
    std::printf("soak: %ld s, rss start %ld KiB (after warm-up %ld), end %ld KiB; descriptors %d before, %d after; "
                "messages sent %ld, retrieved %ld; faults injected %ld; clean conversations failed %ld; "
                "reconnects failed %ld; request blocks held %d; damaged blocks %d\n",
                secs, rss0, first, last, fds0, fds1, gSent.load(), gRetrieved.load(), gFaults.load(), gFailed.load(),
                gReconnectFailed.load(), held, damaged);
    const bool ok = flat && fds1 == fds0 && gFailed == 0 && gReconnectFailed == 0 && held == 0 && damaged == 0;
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
