// The step frame of zemDriver, the connection and closing states, zemClose and zemAbort,
// against the scripted server; and the descriptors the library may (and may not) touch.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"
#include "test_data.h"

namespace {

using zt::MsSince;

using zt::Clock;


size_t Count(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
    return n;
}

// Open descriptors of this process (the directory's own descriptor included, the same in
// every count).
int OpenDescriptors() {
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

const char kFrom[] = "<sender@client.example>";
const char kHelo[] = "HELO client.example";

zt::Script Greeted(std::vector<zt::Step> more = {}) {
    zt::Script s{zt::Send("220 mail.test ESMTP\r\n"), zt::Expect(kHelo), zt::Reply("250 hello")};
    s.insert(s.end(), more.begin(), more.end());
    return s;
}

class DriverTest : public zt::LibTest {
  protected:
    void SetUp() override {
        zt::LibTest::SetUp();
        dir_ = zt::TempDir();
    }
    void TearDown() override {
        zt::LibTest::TearDown();
        std::filesystem::remove_all(dir_);
    }

    static zem::Channel &Ch(int i = 0) { return *zem::gChannelTable[i].ChannelPtr; }

    void OpenLog(int chan = 0) {
        log_ = dir_ + "/chan" + std::to_string(chan) + ".log";
        ASSERT_GT(zemStringParam(chan, ZEM_STRING_LOG_FILE, log_.c_str()), 0);
    }
    std::string Log() const { return zt::ReadFile(log_); }

    static int32_t Connect(const zt::ScriptServer &srv, int chan = 0) {
        zemIntegerParam(chan, ZEM_PARAM_SMTP_PORT, srv.port());
        return zemSmtpConnect(chan, "127.0.0.1", kFrom, nullptr);
    }

    // Runs zemDriver on the channel until it returns 0 or a negative code (at most 10 s).
    static std::vector<int32_t> Drive(int chan) {
        std::vector<int32_t> results;
        auto t0 = Clock::now();
        for (;;) {
            int32_t r = zemDriver(chan);
            results.push_back(r);
            if (r <= 0 || MsSince(t0) > 10000) return results;
        }
    }

    std::string dir_;
    std::string log_;
};

TEST_F(DriverTest, SuccessfulConnectWritesItsTraceInOrder) {
    OpenLog();
    zt::ScriptServer srv(Greeted());
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(3000));
    std::string log = Log();
    std::regex trace(R"(\*\*\* zemSmtpConnect\r\n)"
                     R"(<200:-?\d+>\r\nZEM Win32 Version 3\.4\.2 Build 8\r\n)"
                     R"(<101:-?\d+>\r\nLocalHost = '([^'\r\n]*)'\r\n)"
                     R"(<104:-?\d+>\r\nServer = '127\.0\.0\.1'\r\nServerIP = 127\.0\.0\.1\r\n)"
                     R"(<105:-?\d+>\r\nSocket=(\d+), RemoteAddr=7f000001, RemotePort=(-?\d+)\r\n)"
                     R"(<106:-?\d+>\r\n)"
                     R"(<201:-?\d+>\r\nP: 220 mail\.test ESMTP\r\nr: 220 mail\.test ESMTP\r\n)"
                     R"(<202:-?\d+>\r\nS: HELO client\.example\r\n)"
                     R"(<203:-?\d+>\r\nP: 250 hello\r\nr: 250 hello\r\n$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, trace)) << log;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(m[1].str(), host);
    EXPECT_EQ(std::stoi(m[2].str()), zemStatistics(0, ZEM_STAT_SOCKET));
    EXPECT_EQ(std::stoi(m[2].str()), zem::gChannelTable[0].SocketCopy);
    // The port is logged as a signed 16-bit number.
    EXPECT_EQ(std::stoi(m[3].str()), static_cast<int16_t>(srv.port()));
    char addr[32];
    EXPECT_EQ(zemDebug(0, ZEM_DEBUG_SERVER_ADDR, addr, sizeof addr), 9);
    EXPECT_STREQ(addr, "127.0.0.1");
    EXPECT_GT(zemDebug(0, ZEM_DEBUG_LOCAL_ADDR, addr, sizeof addr), 0);
    EXPECT_STREQ(addr, "127.0.0.1");
}

TEST_F(DriverTest, WaitingStateIsTracedOnce) {
    OpenLog();
    zt::Script s{zt::Pause(500)};
    zt::Script rest = Greeted();
    s.insert(s.end(), rest.begin(), rest.end());
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    std::string log = Log();
    EXPECT_EQ(Count(log, "<201:"), 1u) << log;
    EXPECT_EQ(Count(log, "<202:"), 1u);
    // State 201 ran more than one step while it waited for the greeting (it sleeps in a
    // poll between them): 200, 101, 104, 105, 106, 201 at least twice, 202, 203.
    EXPECT_GE(zemStatistics(0, ZEM_STAT_STEP_COUNT), 9);
}

TEST_F(DriverTest, DriverResultsWithAutomaticCallingOff) {
    OpenLog();
    zt::ScriptServer srv(Greeted());
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0), 1);
    auto t0 = Clock::now();
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_LT(MsSince(t0), 100); // returned at once
    EXPECT_EQ(Ch().NextState, 200);

    std::vector<int32_t> results = Drive(0);
    ASSERT_EQ(results.back(), 0);
    std::vector<int32_t> states; // the results without the waits and without repeats
    bool waited = false;
    for (int32_t r : results) {
        if (r == ZEM_DRIVER_WAIT) {
            waited = true;
            continue;
        }
        if (states.empty() || states.back() != r) states.push_back(r);
    }
    EXPECT_TRUE(waited);
    EXPECT_EQ(states, (std::vector<int32_t>{101, 104, 105, 106, 201, 202, 203, 0}));
    EXPECT_EQ(Ch().NextState, 0);

    // An idle channel answers 0 and logs the trace line of state 0 at every call.
    size_t idleLines = Count(Log(), "<  0:");
    Ch().WakeTick = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(zemDriver(0), 0);
    EXPECT_EQ(Count(Log(), "<  0:"), idleLines + 3);
    EXPECT_EQ(Ch().WakeTick, 0u);
    EXPECT_EQ(Ch().DeadlineTick, 0u);

    // While the wake time is ahead a call changes nothing, not even the step count.
    int32_t steps = zemStatistics(0, ZEM_STAT_STEP_COUNT);
    Ch().NextState = 201;
    Ch().WakeTick = zem::TickNow() + 100000;
    EXPECT_EQ(zemDriver(0), ZEM_DRIVER_WAIT);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_STEP_COUNT), steps);
    EXPECT_EQ(Ch().NextState, 201);
    Ch().WakeTick = 0;
    Ch().NextState = 0;

    // A state number without a step is logged and run past.
    Ch().NextState = 123;
    EXPECT_EQ(zemDriver(0), 123);
    EXPECT_NE(Log().find("<123:"), std::string::npos);
    EXPECT_NE(Log().find("ERROR! Unknown state 123\r\n"), std::string::npos);
    Ch().NextState = 0;
}

TEST_F(DriverTest, ChannelChecksComeFirst) {
    EXPECT_EQ(zemDriver(4), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemDriver(-1), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemClose(4), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemAbort(-1), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemDriver(0), 0);
    zemRelease();
    EXPECT_EQ(zemDriver(0), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemClose(0), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemAbort(0), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", kFrom, nullptr), ZEM_ERR_NOT_ATTACHED);
}

TEST_F(DriverTest, CloseSendsQuitReadsTheReplyAndReleasesEverything) {
    OpenLog();
    zt::ScriptServer srv(Greeted({zt::Expect("VRFY <a@d.example>"), zt::Reply("250 ok"), zt::Expect("QUIT"),
                                  zt::Reply("221 bye")}));
    ASSERT_EQ(Connect(srv), 0);
    ASSERT_EQ(zemVerifyUser(0, "<a@d.example>"), 1);
    EXPECT_EQ(zem::BlockIsAllocated(0 * zem::kSlotsPerChannel + zem::kSlotTo), 1);
    auto t0 = Clock::now();
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_GE(MsSince(t0), 450); // the pause after closing a socket
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_TRUE(srv.WaitDisconnected(3000));
    EXPECT_EQ(srv.received(), std::string(kHelo) + "\r\nVRFY <a@d.example>\r\nQUIT\r\n");
    EXPECT_EQ(Ch().SocketOpen, 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    EXPECT_EQ(zem::BlockIsAllocated(0 * zem::kSlotsPerChannel + zem::kSlotTo), 0);
    EXPECT_EQ(Ch().Protocol, 0);
    EXPECT_EQ(Ch().NextState, 0);
    std::regex tail(R"(\*\*\* zemClose\r\n<258:-?\d+>\r\nS: QUIT\r\n<259:-?\d+>\r\nP: 221 bye\r\nr: 221 bye\r\n)"
                    R"(Closing socket\r\n$)");
    std::string log = Log();
    EXPECT_TRUE(std::regex_search(log, tail)) << log;
    // The channel is no longer an SMTP channel.
    EXPECT_EQ(zemVerifyUser(0, "<a@d.example>"), ZEM_ERR_SMTP_ONLY);
}

TEST_F(DriverTest, QuitAnsweredByClosingIsAccepted) {
    zt::ScriptServer srv(Greeted({zt::Expect("QUIT"), zt::Close()}));
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_EQ(Ch().SocketOpen, 0);
}

TEST_F(DriverTest, CloseWithAutomaticCallingOffReturnsAtOnce) {
    zt::ScriptServer srv(Greeted({zt::Expect("VRFY <a@d.example>"), zt::Reply("250 ok"), zt::Expect("QUIT"),
                                  zt::Reply("221 bye")}));
    ASSERT_EQ(Connect(srv), 0);
    ASSERT_EQ(zemVerifyUser(0, "<a@d.example>"), 1);
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_EQ(Ch().NextState, 258);
    // Nothing is released yet.
    EXPECT_EQ(zem::BlockIsAllocated(zem::kSlotTo), 1);
    EXPECT_EQ(Ch().Protocol, 'S');
    std::vector<int32_t> results = Drive(0);
    EXPECT_EQ(results.back(), 0);
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_EQ(Ch().SocketOpen, 0);
}

TEST_F(DriverTest, CloseAfterAFailedRequestCannotSendQuit) {
    OpenLog();
    zt::ScriptServer srv({zt::Send("554 no service\r\n")});
    ASSERT_EQ(Connect(srv), ZEM_ERR_SMTP);
    EXPECT_EQ(zemVerifyUser(0, "<a@d.example>"), ZEM_ERR_WRITE); // the socket is closed
    EXPECT_EQ(zem::BlockIsAllocated(zem::kSlotTo), 1);
    EXPECT_EQ(zemClose(0), ZEM_ERR_WRITE);
    EXPECT_NE(Log().find("ZemCode=-52 PrevState=271 ThisState=258 NextState=258\r\nSocket write error."), std::string::npos)
        << Log();
    // Released and cleared all the same.
    EXPECT_EQ(zem::BlockIsAllocated(zem::kSlotTo), 0);
    EXPECT_EQ(Ch().Protocol, 0);
    // A channel that was never connected answers the same way.
    EXPECT_EQ(zemClose(1), ZEM_ERR_WRITE);
}

TEST_F(DriverTest, AbortCutsTheConnectionWithoutQuit) {
    OpenLog();
    zt::ScriptServer srv(Greeted());
    ASSERT_EQ(Connect(srv), 0);
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    Ch().NextState = 258; // a request under way is dropped
    EXPECT_EQ(zemAbort(0), 1);
    EXPECT_EQ(Ch().AutoCall, 1);
    EXPECT_EQ(Ch().NextState, 0);
    EXPECT_EQ(Ch().SocketOpen, 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    EXPECT_TRUE(srv.WaitDisconnected(3000));
    EXPECT_EQ(srv.received(), std::string(kHelo) + "\r\n");
    EXPECT_NE(Log().find("*** zemAbort\r\nClosing socket\r\n"), std::string::npos);
    // Aborting again closes nothing a second time.
    EXPECT_EQ(zemAbort(0), 1);
}

TEST_F(DriverTest, RawCommandOnAnSmtpChannel) {
    const std::string longCommand = "NOOP " + std::string(40, 'n');
    zt::ScriptServer srv(Greeted({zt::Expect("NOOP"), zt::Reply("250 ok"), zt::Expect(longCommand.substr(0, 32)),
                                  zt::Reply("250 still ok"), zt::Expect("RSET"), zt::Reply("502 not implemented")}));
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemCommand(0, "NOOP"), 0);
    EXPECT_STREQ(Ch().LastReply, "250 ok\r\n");
    EXPECT_EQ(zemCommand(0, longCommand.c_str()), 0); // cut at 32 characters
    EXPECT_EQ(zemCommand(0, "RSET"), ZEM_ERR_SMTP);
    EXPECT_EQ(Ch().SocketOpen, 0);
    EXPECT_TRUE(srv.Finish(3000));
}

TEST_F(DriverTest, PeerThatStopsReadingEndsWithTimeOutNotAHang) {
    OpenLog();
    zt::ScriptServer srv(Greeted({zt::Never()}));
    ASSERT_EQ(Connect(srv), 0);
    // Fill both socket buffers: the server reads nothing any more.
    int fd = Ch().Socket;
    std::vector<char> chunk(64 * 1024, 'z');
    size_t total = 0;
    for (;;) {
        ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) break;
        total += static_cast<size_t>(n);
        ASSERT_LT(total, 256u * 1024 * 1024);
    }
    ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    pollfd p{fd, POLLOUT, 0};
    ASSERT_EQ(poll(&p, 1, 0), 0); // not writable

    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 400);
    auto t0 = Clock::now();
    EXPECT_EQ(zemClose(0), ZEM_ERR_TIMED_OUT); // held at the writable gate, then timed out
    long ms = MsSince(t0);
    EXPECT_GE(ms, 400);
    EXPECT_LT(ms, 6000); // the time-out, the one-second linger and the pause
    EXPECT_NE(Log().find("SockCode=0 ZemCode=-8 PrevState=203 ThisState=-1 NextState=258\r\nSocket timed out."),
              std::string::npos)
        << Log().substr(0, 4000);
    EXPECT_EQ(Ch().SocketOpen, 0);
    EXPECT_EQ(zem::BlockIsAllocated(zem::kSlotTo), 0);
}

TEST_F(DriverTest, NeverConnectedChannelLeavesDescriptorZeroAlone) {
    // Put a socket of our own at descriptor 0 with a byte waiting, so that any poll, read,
    // write or close of it by the library would show.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    int savedStdin = fcntl(0, F_DUPFD_CLOEXEC, 3); // -1 when standard input is closed
    ASSERT_EQ(dup2(pair[0], 0), 0);
    ASSERT_EQ(::send(pair[1], "k", 1, MSG_NOSIGNAL), 1);
    struct stat before {};
    ASSERT_EQ(fstat(0, &before), 0);

    zem::Channel &ch = Ch(1);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_SOCKET), 0);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT); // answers like a closed socket
    char buf[64];
    EXPECT_EQ(zemDebug(1, ZEM_DEBUG_LOCAL_ADDR, buf, sizeof buf), 0);
    EXPECT_EQ(zemClose(1), ZEM_ERR_WRITE);
    EXPECT_EQ(zemAbort(1), 1);
    EXPECT_EQ(zemDriver(1), 0);
    EXPECT_EQ(ch.Socket, 0);
    zemRelease();

    struct stat after {};
    EXPECT_EQ(fstat(0, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_dev, before.st_dev);
    char c = 0;
    EXPECT_EQ(::recv(0, &c, 1, MSG_DONTWAIT), 1); // the byte was not read by anyone else
    EXPECT_EQ(c, 'k');
    EXPECT_EQ(::recv(pair[1], buf, sizeof buf, MSG_DONTWAIT), -1); // nothing was written to it
    EXPECT_EQ(errno, EAGAIN);

    if (savedStdin >= 0) {
        dup2(savedStdin, 0);
        close(savedStdin);
    } else {
        close(0);
    }
    close(pair[0]);
    close(pair[1]);
}

TEST_F(DriverTest, NoDescriptorOutlivesRelease) {
    zemRelease(); // the fixture's attach: start from nothing
    const int before = OpenDescriptors();
    ASSERT_GT(before, 0);
    {
        zt::ScriptServer srv(Greeted(), 2);
        zt::ScriptServer refused({zt::Send("554 no\r\n")});
        ASSERT_EQ(zemAttach(4, 0), 1);
        for (int chan = 0; chan < 3; ++chan) {
            std::string path = dir_ + "/fd" + std::to_string(chan) + ".log";
            ASSERT_GT(zemStringParam(chan, ZEM_STRING_LOG_FILE, path.c_str()), 0);
        }
        EXPECT_EQ(Connect(srv, 0), 0);
        EXPECT_EQ(Connect(srv, 1), 0);
        EXPECT_EQ(Connect(refused, 2), ZEM_ERR_SMTP);
        EXPECT_GT(OpenDescriptors(), before + 3);
        zemRelease(); // channels 0 and 1 still connected, three logs open
        EXPECT_TRUE(srv.WaitDisconnected(3000));
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

} // namespace
