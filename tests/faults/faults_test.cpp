// Fault injection: for SMTP and POP3, at every exchange of a conversation, the server
// misbehaves in one way (fault_server.h). Each case runs in a child process of its own so
// that a hang is a failed case, never a hung suite: the parent kills a child that has not
// reported within the case's time-out.
//
// In the child the library runs with short time-outs. The case passes when the request
// that met the fault ends within the time-out with a negative code (or with the result
// written next to the case where a lie is legitimately accepted), nothing crashed, the
// memory blocks are intact and released after zemClose, no descriptor is left open, and the
// same channel then connects to a well-behaved server and completes its conversation.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fault_server.h"
#include "frame/channel.h"
#include "zem32.h"

namespace {

using zf::Fault;
using zf::Protocol;
using Clock = std::chrono::steady_clock;

constexpr int kCaseTimeoutMs = 40000;  // the parent's bound on one child
constexpr int kRequestBoundMs = 15000; // the request that met the fault must end within this

std::string TempDir() {
    char tmpl[] = "/tmp/zem-faults-XXXXXX";
    return mkdtemp(tmpl) ? std::string(tmpl) : std::string();
}

int OpenDescriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n - 1; // the directory's own descriptor
}

int DamagedBlocks() {
    static int damaged;
    damaged = 0;
    zem::CheckAllBlocks([](int32_t, int32_t) { ++damaged; });
    return damaged;
}

int RequestBlocksHeld(int chan) {
    int held = 0;
    for (int slot = 1; slot < zem::kSlotsPerChannel; ++slot)
        held += zem::BlockIsAllocated(chan * zem::kSlotsPerChannel + slot) ? 1 : 0;
    return held;
}

void ShortTimeouts() {
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0);
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 1000);
    zemIntegerParam(0, ZEM_PARAM_CONNECT_TIMEOUT, 2000);
    zemIntegerParam(0, ZEM_PARAM_DATA_TIMEOUTS, 1000);
    zemIntegerParam(0, ZEM_PARAM_POLL_INTERVAL, 5);
#ifdef ZEM_PARAM_MAX_MESSAGE_SIZE
    zemIntegerParam(0, ZEM_PARAM_MAX_MESSAGE_SIZE, 1 << 20);
#endif
}

struct Outcome {
    int request = -1;     // index of the request whose exchange held the fault
    int result = 0;       // its result
    long ms = 0;          // its duration
    int reconnect = 0;    // result of the clean conversation afterwards (0 = all well)
    int fdsBefore = 0, fdsAfter = 0;
    int damaged = 0, held = 0, heldAfterRelease = 0;
    int injected = 0;
    char note[200] = {};
};

// Which request runs which exchanges.
int SmtpRequestOf(int exchange) { return exchange <= 1 ? 0 : exchange <= 5 ? 1 : 2; }
int Pop3RequestOf(int exchange) {
    static const int map[] = {0, 0, 0, 1, 2, 3, 4, 5, 6, 7};
    return map[exchange];
}

// Runs the requests of one conversation against port; returns each request's result in
// results (stops after the first negative, the closing request aside) and the time taken.
void RunSmtp(int port, const std::string &dir, std::vector<int> *results, std::vector<long> *ms) {
    (void)dir;
    auto timed = [&](auto f) {
        auto t = Clock::now();
        int r = f();
        ms->push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count()));
        results->push_back(r);
        return r;
    };
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, port);
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    if (timed([] { return zemSmtpConnect(0, "127.0.0.1", "<a@client.test>", nullptr); }) >= 0)
        timed([] { return zemSendEmail(0, "<b@fault.test>", nullptr, nullptr, "fault", "a short text\r\n.line", nullptr); });
    while (results->size() < 2) { results->push_back(0); ms->push_back(0); }
    timed([] { return zemClose(0); });
}

void RunPop3(int port, const std::string &dir, std::vector<int> *results, std::vector<long> *ms) {
    auto timed = [&](auto f) {
        auto t = Clock::now();
        int r = f();
        ms->push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count()));
        results->push_back(r);
        return r;
    };
    zemIntegerParam(0, ZEM_PARAM_POP3_PORT, port);
    static char uid[256], top[4096];
    const std::string msgDir = dir + "/msg", attDir = dir + "/att";
    std::filesystem::create_directories(msgDir);
    std::filesystem::create_directories(attDir);
    bool ok = timed([] { return zemPop3Connect(0, "127.0.0.1", "user", "secret"); }) >= 0;
    ok = ok && timed([] { return zemGetEmailCount(0); }) >= 0;
    ok = ok && timed([] { return zemGetEmailSize(0, 1); }) >= 0;
    ok = ok && timed([] { return zemGetEmailUID(0, 1, uid, sizeof uid); }) >= 0;
    ok = ok && timed([] { return zemGetEmailLines(0, 1, 0, top, sizeof top); }) >= 0;
    ok = ok && timed([&] { return zemGetEmailFile(0, 1, "m1.eml", msgDir.c_str(), attDir.c_str()); }) >= 0;
    ok = ok && timed([] { return zemDeleteEmail(0, 1); }) >= 0;
    (void)ok;
    while (results->size() < 7) { results->push_back(0); ms->push_back(0); }
    timed([] { return zemClose(0); });
}

Outcome RunCase(Protocol proto, int exchange, Fault fault) {
    Outcome out;
    const std::string dir = TempDir();
    out.fdsBefore = OpenDescriptors();
    zemAttach(1, 0);
    ShortTimeouts();
    {
        zf::FaultServer srv(proto, proto == Protocol::Smtp ? zf::SmtpDialogue() : zf::Pop3Dialogue(), exchange, fault);
        std::vector<int> results;
        std::vector<long> ms;
        if (proto == Protocol::Smtp) RunSmtp(srv.port(), dir, &results, &ms);
        else RunPop3(srv.port(), dir, &results, &ms);
        out.request = proto == Protocol::Smtp ? SmtpRequestOf(exchange) : Pop3RequestOf(exchange);
        out.result = results[static_cast<size_t>(out.request)];
        out.ms = ms[static_cast<size_t>(out.request)];
        out.injected = srv.injected() ? 1 : 0;
        std::string r;
        for (int v : results) r += std::to_string(v) + " ";
        std::snprintf(out.note, sizeof out.note, "results %s", r.c_str());
    }
    out.held = RequestBlocksHeld(0);
    out.damaged = DamagedBlocks();
    {
        zf::FaultServer clean(proto, proto == Protocol::Smtp ? zf::SmtpDialogue() : zf::Pop3Dialogue(), -1, Fault::None);
        std::vector<int> results;
        std::vector<long> ms;
        if (proto == Protocol::Smtp) RunSmtp(clean.port(), dir, &results, &ms);
        else RunPop3(clean.port(), dir, &results, &ms);
        for (int v : results)
            if (v < 0 && out.reconnect == 0) out.reconnect = v;
    }
    zemRelease();
    out.heldAfterRelease = 0;
    for (int id = 0; id < zem::kBlockCount; ++id) out.heldAfterRelease += zem::BlockIsAllocated(id) ? 1 : 0;
    std::filesystem::remove_all(dir);
    out.fdsAfter = OpenDescriptors();
    return out;
}

// What the request meeting the fault may end with, besides a negative code.
bool MayAccept(Protocol proto, int exchange, Fault fault) {
    // Lies that a client cannot tell from the truth: a second reply nobody asked for after
    // the right one, a reply of a million lines that ends properly.
    if (fault == Fault::SecondReply || fault == Fault::TinyLines) return true;
    // A reply line longer than the reply buffer is read to its end and judged by its code;
    // this one carries a positive code ("250 xxx..." / "+OK xxx..."), so it is accepted and
    // the conversation stays in step.
    if (fault == Fault::LongLine) return true;
    // "+OK" followed by NUL bytes is a positive status line: POP3 judges only its '+'.
    if (proto == Protocol::Pop3 && fault == Fault::NulBytes) return true;
    if (proto == Protocol::Smtp) {
        // The closing request: QUIT is sent, whatever comes back the socket is closed.
        if (exchange == 6) return true;
        // 354 for MAIL/RCPT and 250 for DATA are accepted codes below 400; a "354" followed
        // by endless lines is such a reply, and the lines fail the next request (-74).
        if (fault == Fault::WrongCode || fault == Fault::NeverEnding) return true;
        return false;
    }
    if (exchange == 9) return true; // QUIT
    // A positive status line followed by lines nobody asked for: the status is right, the
    // lines are the next request's problem (like a second reply).
    if ((fault == Fault::FloodMultiline || fault == Fault::NeverEnding) && exchange >= 1 && exchange <= 4) return true;
    if ((fault == Fault::FloodMultiline || fault == Fault::NeverEnding) && exchange == 8) return true;
    // UIDL for one message stores the one line that comes, its status not examined.
    if (exchange == 5) return true;
    // A STAT, LIST or DELE reply that is not positive is a refusal: 0, not an error.
    if ((fault == Fault::WrongCode || fault == Fault::Garbage || fault == Fault::NulBytes) &&
        (exchange == 3 || exchange == 4 || exchange == 8))
        return true;
    return false;
}

struct Case {
    Protocol proto;
    int exchange;
    Fault fault;
};

std::vector<Case> AllCases() {
    std::vector<Case> v;
    for (int e = 0; e < static_cast<int>(zf::SmtpDialogue().size()); ++e)
        for (Fault f : zf::AllFaults()) v.push_back({Protocol::Smtp, e, f});
    for (int e = 0; e < static_cast<int>(zf::Pop3Dialogue().size()); ++e)
        for (Fault f : zf::AllFaults()) v.push_back({Protocol::Pop3, e, f});
    return v;
}

class FaultTest : public ::testing::TestWithParam<Case> {};

TEST_P(FaultTest, EndsBoundedAndCleanThenConnectsAgain) {
    const Case c = GetParam();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        signal(SIGPIPE, SIG_IGN);
        Outcome o = RunCase(c.proto, c.exchange, c.fault);
        ssize_t w = write(fds[1], &o, sizeof o);
        _exit(w == static_cast<ssize_t>(sizeof o) ? 0 : 3);
    }
    close(fds[1]);
    Outcome o;
    pollfd p{fds[0], POLLIN, 0};
    int ready = poll(&p, 1, kCaseTimeoutMs);
    ssize_t got = ready > 0 ? read(fds[0], &o, sizeof o) : 0;
    close(fds[0]);
    if (got != static_cast<ssize_t>(sizeof o)) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof o))
        << (ready == 0 ? "hung: no outcome within the case time-out" : "the case crashed")
        << (WIFSIGNALED(status) ? " (signal " + std::to_string(WTERMSIG(status)) + ")" : std::string());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    SCOPED_TRACE(o.note);
    EXPECT_EQ(o.injected, 1) << "the conversation never reached the faulty exchange";
    if (!MayAccept(c.proto, c.exchange, c.fault)) {
        EXPECT_LT(o.result, 0) << "request " << o.request << " was misled into success";
    }
    EXPECT_LT(o.ms, kRequestBoundMs) << "request " << o.request;
    EXPECT_EQ(o.damaged, 0);
    EXPECT_EQ(o.held, 0) << "request blocks left after zemClose";
    EXPECT_EQ(o.heldAfterRelease, 0);
    EXPECT_EQ(o.fdsAfter, o.fdsBefore) << "descriptors left open";
    EXPECT_EQ(o.reconnect, 0) << "the channel did not work again afterwards";
}

std::string CaseName(const ::testing::TestParamInfo<Case> &info) {
    return std::string(info.param.proto == Protocol::Smtp ? "Smtp" : "Pop3") + "_X" +
           std::to_string(info.param.exchange) + "_" + zf::FaultName(info.param.fault);
}

INSTANTIATE_TEST_SUITE_P(Conversations, FaultTest, ::testing::ValuesIn(AllCases()), CaseName);

} // namespace
