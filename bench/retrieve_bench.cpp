// Retrieving a message with a 10 MB base64 attachment from a scripted POP3 server on the
// loopback interface, in line mode (every line through the MIME decoder) and raw.
//
// The server runs in a child process forked before any thread starts, and the child also
// builds the message, so the peak resident size reported (VmHWM of /proc/self/status) is
// the client's own: the library reads through its fixed 1 KB ring and line buffer
// whatever the message size.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "codec/codec.h"
#include "script_server.h"
#include "zem32.h"
#include "peak_rss.h"

namespace {

constexpr int kRounds = 5;                        // retrievals per benchmark run
constexpr size_t kAttachmentBytes = 10u << 20;    // 10 MB before encoding
constexpr int kRuns = 4;                          // benchmark runs, one connection each

std::string gDir;
std::string gMessagePath;
size_t gMessageBytes = 0;
int gPort = 0;

// A MIME message: a short text part and the attachment as 76-character base64 lines,
// with the POP3 status line before it and the end line after it (RFC 1939 section 3).
void WriteMessage() {
    std::mt19937 rng(1939);
    std::string m = "+OK message follows\r\n"
                    "From: bench@example.org\r\n"
                    "To: reader@example.org\r\n"
                    "Subject: large attachment\r\n"
                    "MIME-Version: 1.0\r\n"
                    "Content-Type: multipart/mixed; boundary=\"XYZZY\"\r\n"
                    "\r\n"
                    "--XYZZY\r\n"
                    "Content-Type: text/plain\r\n"
                    "\r\n"
                    "The attachment follows.\r\n"
                    "--XYZZY\r\n"
                    "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
                    "Content-Transfer-Encoding: base64\r\n"
                    "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
                    "\r\n";
    m.reserve(kAttachmentBytes * 4 / 3 + kAttachmentBytes / 20 + 4096);
    uint8_t chunk[zem::kBase64LineBytes];
    char line[zem::kBase64LineChars + 2];
    for (size_t done = 0; done < kAttachmentBytes;) {
        int32_t n = static_cast<int32_t>(std::min<size_t>(sizeof chunk, kAttachmentBytes - done));
        for (int32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>(rng());
        int32_t chars = zem::Base64EncodeLine(chunk, n, line);
        m.append(line, static_cast<size_t>(chars) + 2);
        done += static_cast<size_t>(n);
    }
    m += "--XYZZY--\r\n.\r\n";
    gMessageBytes = m.size();
    gMessagePath = gDir + "/message.eml";
    zt::WriteFile(gMessagePath, m);
}

using zb::PeakRssKb;

// The child: builds the message, then serves one connection per mode, each a login and
// kRounds retrievals. Port and message size go back through the pipe.
[[noreturn]] void RunServer(int portPipe) {
    WriteMessage();
    zt::Script s = {zt::Send("+OK POP3 bench server\r\n"), zt::Expect("USER u"), zt::Reply("+OK"),
                    zt::Expect("PASS p"), zt::Reply("+OK")};
    for (int i = 0; i < kRounds; ++i) {
        s.push_back(zt::Expect("RETR 1", 60000));
        s.push_back(zt::SendFile(gMessagePath));
    }
    zt::ScriptServer srv(s, kRuns);
    const long info[2] = {srv.port(), static_cast<long>(gMessageBytes)};
    if (write(portPipe, info, sizeof info) != static_cast<ssize_t>(sizeof info)) _exit(1);
    close(portPipe);
    srv.WaitDisconnected(3600 * 1000);
    _exit(0);
}

// The argument is the poll interval (ms): a reader that has caught up with the server
// sleeps that long before it looks again.
void Retrieve(benchmark::State &state, int32_t decodeState) {
    const int chan = 0;
    zemIntegerParam(chan, ZEM_PARAM_POLL_INTERVAL, static_cast<int32_t>(state.range(0)));
    zemIntegerParam(chan, ZEM_PARAM_POP3_PORT, gPort);
    zemIntegerParam(chan, ZEM_PARAM_DECODE_STATE, decodeState);
    if (zemPop3Connect(chan, "127.0.0.1", "u", "p") != 0) {
        state.SkipWithError("login failed");
        return;
    }
    const std::string attachDir = gDir + "/attach";
    mkdir(attachDir.c_str(), 0700);
    for (auto _ : state) {
        int32_t r = zemGetEmailFile(chan, 1, decodeState == 1 ? "raw.eml" : "line.eml", gDir.c_str(), attachDir.c_str());
        if (r != 0) {
            state.SkipWithError(("retrieval failed: " + std::to_string(r)).c_str());
            break;
        }
    }
    zemAbort(chan);
    if (decodeState != 1) {
        // The decoder wrote the attachment into a file of its own: its size shows it whole.
        struct stat st {};
        const std::string saved = attachDir + "/data.bin";
        state.counters["attachment_MB"] = stat(saved.c_str(), &st) == 0 ? static_cast<double>(st.st_size) / 1e6 : 0.0;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(gMessageBytes));
    state.counters["message_MB"] = static_cast<double>(gMessageBytes) / 1e6;
    state.counters["peak_RSS_MB"] = static_cast<double>(PeakRssKb()) / 1024.0;
}

void BM_RetrieveLineMode(benchmark::State &state) { Retrieve(state, 2); }
void BM_RetrieveRaw(benchmark::State &state) { Retrieve(state, 1); }

BENCHMARK(BM_RetrieveLineMode)->Arg(100)->Arg(1)->Iterations(kRounds)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RetrieveRaw)->Arg(100)->Arg(1)->Iterations(kRounds)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    gDir = zt::TempDir();
    int fds[2];
    if (pipe(fds) != 0) return 1;
    pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        close(fds[0]);
        RunServer(fds[1]);
    }
    close(fds[1]);
    long info[2];
    if (read(fds[0], info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 1;
    close(fds[0]);
    gPort = static_cast<int>(info[0]);
    gMessageBytes = static_cast<size_t>(info[1]);

    zemAttach(1, 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    zemRelease();

    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    std::string clean = "rm -rf '" + gDir + "'";
    if (std::system(clean.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", gDir.c_str());
    return 0;
}
