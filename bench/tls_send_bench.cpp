// Compose + send of one 10 MiB attachment over implicit TLS, beside `curl -F` over TLS to
// the same TLS sink in the same run (after one checked run of each against the scripted
// TLS server). Prints the median wall time of each, the
// rate, and the growth of the peak resident memory during ZEM32's send (flat: the message
// is composed line by line, never held whole).
//
//   ./tls_send_bench [MiB=10] [runs=3]
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "script_server.h"
#include "tls_sink.h"
#include "zem32.h"
#include "peak_rss.h"

namespace {

using Clock = std::chrono::steady_clock;

using zb::PeakRssKb;
using zb::ResetPeakRss;

// One SMTP transaction under TLS; the body is counted, not kept.
zt::Script Conversation() {
    return {zt::StartTls("server", 30000), zt::Send("220 bench ESMTP\r\n"), zt::ExpectAny(), zt::Reply("250 bench"),
            zt::ExpectPrefix("MAIL FROM"), zt::Reply("250 ok"), zt::ExpectPrefix("RCPT TO"), zt::Reply("250 ok"),
            zt::Expect("DATA"), zt::Reply("354 go"), zt::ExpectData(false, 60000), zt::Reply("250 queued"),
            zt::Expect("QUIT"), zt::Reply("221 bye"), zt::WaitClose(30000)};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 10;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    std::string dir = zt::TempDir();
    std::string file = dir + "/attachment.bin";
    {
        std::string bytes(static_cast<size_t>(mib) * 1024 * 1024, '\0');
        std::mt19937 rng(7);
        for (char &c : bytes) c = static_cast<char>(rng() & 0xFF);
        zt::WriteFile(file, bytes);
    }
    const std::string ca = zt::CertPath("ca.pem");
    std::vector<double> zem, curl;
    long rssGrowth = 0;
    size_t zemBytes = 0, curlBytes = 0;

    zemAttach(1, 0);
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0);
    zemIntegerParam(0, ZEM_PARAM_DATA_PAUSE, 0);
    // The fixed pauses (200 ms after EHLO, 500 ms after the close) at 0, as in every other
    // benchmark: they are waits, not work, and curl has none.
    zemIntegerParam(0, ZEM_PARAM_LOGIN_PAUSE, 0);
    zemIntegerParam(0, ZEM_PARAM_CLOSE_PAUSE, 0);
    // Timed against the fast sink (the scripted server checks every line and would set the
    // pace for both clients); one run of each against the scripted server first checks the
    // conversation.
    zb::TlsSink sink(zt::CertPath("server.pem"), zt::CertPath("server.key"));
    if (sink.port() == 0) {
        std::fprintf(stderr, "tls sink: cannot start\n");
        return 1;
    }
    for (int i = -1; i < runs; ++i) {
        const bool check = i < 0;
        {
            std::unique_ptr<zt::ScriptServer> srv;
            if (check) srv = std::make_unique<zt::ScriptServer>(Conversation());
            zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, check ? srv->port() : sink.port());
            zemIntegerParam(0, ZEM_PARAM_TLS, ZEM_TLS_IMPLICIT);
            zemStringParam(0, ZEM_STRING_CA_FILE, ca.c_str());
            ResetPeakRss();
            long before = PeakRssKb();
            auto t0 = Clock::now();
            int32_t r = zemSmtpConnect(0, "127.0.0.1", "<bench@zem.test>", nullptr);
            if (r == 0) r = zemSendEmail(0, "<sink@zem.test>", nullptr, nullptr, "bench", "10 MiB over TLS", file.c_str());
            if (r == 0) r = zemClose(0);
            double s = std::chrono::duration<double>(Clock::now() - t0).count();
            rssGrowth = std::max(rssGrowth, PeakRssKb() - before);
            if (r != 0 || (check && !srv->Finish(30000))) {
                std::fprintf(stderr, "zem run %d failed: %d\n", i, r);
                return 1;
            }
            zemBytes = check ? srv->dataBytes() : sink.lastDataBytes();
            if (!check) zem.push_back(s);
        }
        {
            std::unique_ptr<zt::ScriptServer> srv;
            if (check) srv = std::make_unique<zt::ScriptServer>(Conversation());
            std::string cmd = "curl -sS --cacert '" + ca + "' --url smtps://127.0.0.1:" +
                              std::to_string(check ? srv->port() : sink.port()) +
                              " --mail-from bench@zem.test --mail-rcpt sink@zem.test -F '=10 MiB over TLS;type=text/plain'"
                              " -F 'file=@" + file + ";encoder=base64' -H 'Subject: bench'";
            auto t0 = Clock::now();
            int st = std::system(cmd.c_str());
            double s = std::chrono::duration<double>(Clock::now() - t0).count();
            if (st != 0 || (check && !srv->Finish(30000))) {
                std::fprintf(stderr, "curl run %d failed (%d)\n", i, st);
                return 1;
            }
            curlBytes = check ? srv->dataBytes() : sink.lastDataBytes();
            if (!check) curl.push_back(s);
        }
    }
    zemRelease();
    const double mb = static_cast<double>(mib) * 1.048576;
    std::printf("| client | median s (%d runs) | MB/s (attachment) | DATA bytes | peak RSS growth |\n", runs);
    std::printf("|---|---|---|---|---|\n");
    std::printf("| ZEM32 compose+send, implicit TLS | %.3f | %.1f | %zu | %ld KiB |\n", Median(zem), mb / Median(zem),
                zemBytes, rssGrowth);
    std::printf("| curl -F, smtps | %.3f | %.1f | %zu | (other process) |\n", Median(curl), mb / Median(curl), curlBytes);
    std::string rm = "rm -rf '" + dir + "'";
    if (std::system(rm.c_str()) != 0) return 1;
    return 0;
}
