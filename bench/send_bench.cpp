// Composing and sending one message with a large attachment to a loopback sink, with the
// step delay and the data-line pause at 0. Reports the send rate and the peak resident
// memory of the process while the send ran; the peak must not grow with the attachment
// size, since the message is composed line by line and never held in memory.
//
//   ./send_bench                         (1 MB and 10 MB attachments)
//   ./send_bench --benchmark_filter=10
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "frame/settings.h"
#include "script_server.h"
#include "zem32.h"
#include "peak_rss.h"

namespace {

using zb::PeakRssKb;
using zb::ResetPeakRss;

// CPU seconds used by the calling thread (the one that runs the whole send).
double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string MakeAttachment(const std::string &dir, long megabytes) {
    std::string path = dir + "/attachment-" + std::to_string(megabytes) + "mb.bin";
    std::string bytes(static_cast<size_t>(megabytes) * 1024 * 1024, '\0');
    std::mt19937 rng(static_cast<unsigned>(megabytes));
    for (char &c : bytes) c = static_cast<char>(rng() & 0xFF);
    zt::WriteFile(path, bytes);
    return path;
}

void BM_SendAttachment(benchmark::State &state) {
    const long megabytes = state.range(0);
    const std::string dir = zt::TempDir();
    const std::string path = MakeAttachment(dir, megabytes);
    if (zemAttach(1, 0) != 1) {
        state.SkipWithError("zemAttach failed");
        return;
    }
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0);
    zemIntegerParam(0, ZEM_PARAM_DATA_PAUSE, 0);
    zemIntegerParam(0, ZEM_PARAM_POLL_INTERVAL, 1);
    long peak = 0;
    size_t wireBytes = 0;
    double cpu = 0;
    ResetPeakRss();
    for (auto _ : state) {
        zt::Script script = {zt::Send("220 sink ready\r\n"), zt::Expect("HELO bench.test"), zt::Reply("250 ok"),
                             zt::Expect("MAIL FROM:<me@bench.test>"), zt::Reply("250 ok"),
                             zt::Expect("RCPT TO:<you@bench.test>"), zt::Reply("250 ok"), zt::Expect("DATA"),
                             zt::Reply("354 go"), zt::ExpectData(false), zt::Reply("250 ok"), zt::Expect("QUIT"),
                             zt::Reply("221 bye")};
        zt::ScriptServer sink(script);
        zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, sink.port());
        if (zemSmtpConnect(0, "127.0.0.1", "<me@bench.test>", "") != 0) {
            state.SkipWithError("connect failed");
            break;
        }
        const double cpuStart = ThreadCpuSeconds();
        auto start = std::chrono::steady_clock::now();
        int32_t r = zemSendEmail(0, "<you@bench.test>", nullptr, nullptr, "bench", "One line of text.", path.c_str());
        auto stop = std::chrono::steady_clock::now();
        cpu += ThreadCpuSeconds() - cpuStart;
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        if (r != 0) {
            state.SkipWithError("send failed");
            break;
        }
        zemClose(0);
        sink.Finish(5000);
        wireBytes = sink.dataBytes();
        long p = PeakRssKb();
        if (p > peak) peak = p;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * megabytes * 1024 * 1024);
    state.counters["attachment_MB"] = static_cast<double>(megabytes);
    state.counters["data_bytes"] = static_cast<double>(wireBytes);
    state.counters["peak_rss_KiB"] = static_cast<double>(peak);
    // The send rate per CPU second of the sending thread: what the wall-clock rate becomes
    // on a machine that is not shared with other work.
    if (cpu > 0)
        state.counters["MB_per_cpu_s"] = static_cast<double>(state.iterations()) * static_cast<double>(megabytes) / cpu;
    zemRelease();
    std::remove(path.c_str());
}

BENCHMARK(BM_SendAttachment)->Arg(1)->Arg(10)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
