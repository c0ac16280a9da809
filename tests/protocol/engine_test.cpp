// The engine's waits: a reply is seen when it comes (not at the next poll interval), a
// waiting request sleeps instead of spinning, a non-blocking zemDriver never blocks on a
// silent server, and closes of many channels overlap.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/transport.h"
#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"
#include "test_data.h"

namespace {

using zt::MsSince;

using zt::Expect;
using zt::Reply;
using zt::Script;
using zt::ScriptServer;
using zt::Send;
using zt::Clock;


// CPU time of this thread (user + system), in ms.
long ThreadCpuMs() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000L + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000L;
}

const char kFrom[] = "<sender@client.example>";

class EngineTest : public zt::LibTest {
  protected:
    int Channels() const override { return 8; }
    void SetUp() override {
        zt::LibTest::SetUp();
        dir_ = zt::TempDir();
    }
    void TearDown() override {
        zt::LibTest::TearDown();
        std::filesystem::remove_all(dir_);
    }
    static int32_t Smtp(const ScriptServer &srv, int chan = 0) {
        zemIntegerParam(chan, ZEM_PARAM_SMTP_PORT, srv.port());
        return zemSmtpConnect(chan, "127.0.0.1", kFrom, nullptr);
    }
    static int32_t Pop3(const ScriptServer &srv, int chan = 0) {
        zemIntegerParam(chan, ZEM_PARAM_POP3_PORT, srv.port());
        return zemPop3Connect(chan, "127.0.0.1", "u", "p");
    }
    // Every fixed pause at 0 and a poll interval far longer than any reply takes: a wait
    // that still slept the poll interval would show at once.
    static void NoPausesLongPollInterval() {
        zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0);
        zemIntegerParam(0, ZEM_PARAM_LOGIN_PAUSE, 0);
        zemIntegerParam(0, ZEM_PARAM_CLOSE_PAUSE, 0);
        zemIntegerParam(0, ZEM_PARAM_POLL_INTERVAL, 2000);
    }
    std::string dir_;
};

TEST_F(EngineTest, RepliesAreSeenWithoutWaitingThePollInterval) {
    NoPausesLongPollInterval();
    {
        // Each reply comes 1 ms after its command.
        ScriptServer srv({Send("220 mail.test\r\n"), Expect("HELO client.example"), zt::Pause(1), Reply("250 ok"),
                          Expect("NOOP"), zt::Pause(1), Reply("250 noop"), Expect("QUIT"), zt::Pause(1),
                          Reply("221 bye")});
        const auto t = Clock::now();
        ASSERT_EQ(Smtp(srv), 0);
        ASSERT_EQ(zemCommand(0, "NOOP"), 0);
        ASSERT_EQ(zemClose(0), 0);
        // Three replies at the poll interval would take 6 s.
        EXPECT_LT(MsSince(t), 1500);
        EXPECT_TRUE(srv.Finish(3000)) << ::testing::PrintToString(srv.errors());
    }
    {
        ScriptServer srv({Send("+OK ready\r\n"), Expect("USER u"), zt::Pause(1), Reply("+OK"), Expect("PASS p"),
                          zt::Pause(1), Reply("+OK"), Expect("RETR 1"), zt::Pause(1), Send("+OK\r\nbody\r\n.\r\n"),
                          Expect("STAT"), zt::Pause(1), Reply("+OK 1 10")});
        zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
        const auto t = Clock::now();
        ASSERT_EQ(Pop3(srv), 0);
        ASSERT_EQ(zemGetEmailFile(0, 1, "m.txt", dir_.c_str(), dir_.c_str()), 0);
        ASSERT_EQ(zemGetEmailCount(0), 1);
        EXPECT_LT(MsSince(t), 1500);
        EXPECT_EQ(zt::ReadFile(dir_ + "/m.txt"), "+OK\r\nbody\r\n.\r\n");
    }
}

TEST_F(EngineTest, BlockingWaitForASlowServerUsesAlmostNoCpu) {
    ScriptServer srv({zt::Pause(2000), Send("220 mail.test\r\n"), Expect("HELO client.example"), Reply("250 ok")});
    const long cpu0 = ThreadCpuMs();
    const auto t = Clock::now();
    ASSERT_EQ(Smtp(srv), 0);
    const long wall = MsSince(t);
    const long cpu = ThreadCpuMs() - cpu0;
    EXPECT_GE(wall, 1900);
    EXPECT_LT(cpu, wall / 10) << cpu << " ms of CPU in " << wall << " ms";
}

TEST_F(EngineTest, NonBlockingDriverOnASilentPop3ServerReturnsAtOnce) {
    ScriptServer srv({Send("+OK ready\r\n"), Expect("USER u"), Reply("+OK"), Expect("PASS p"), Reply("+OK"),
                      Expect("RETR 1"), zt::Never()});
    ASSERT_EQ(Pop3(srv), 0);
    for (int raw : {1, 0}) {
        zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, raw);
        zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
        ASSERT_EQ(zemGetEmailFile(0, 1, "m.txt", dir_.c_str(), dir_.c_str()), 0);
        // The data wait is 25 s; calls must come back at once, again and again, while the
        // request stays under way.
        long longest = 0;
        int calls = 0;
        const auto t = Clock::now();
        while (MsSince(t) < 600) {
            const auto c = Clock::now();
            int32_t r = zemDriver(0);
            longest = std::max(longest, MsSince(c));
            ASSERT_GT(r, 0);
            ++calls;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_LT(longest, 200);
        EXPECT_GT(calls, 10);
        zemAbort(0);
        if (raw == 1) {
            // The next case needs a fresh connection.
            break;
        }
    }
}

TEST_F(EngineTest, NonBlockingSilentDataWaitEndsWithItsOwnResult) {
    zemIntegerParam(0, ZEM_PARAM_POP3_DATA_WAIT, 300);
    ScriptServer srv({Send("+OK ready\r\n"), Expect("USER u"), Reply("+OK"), Expect("PASS p"), Reply("+OK"),
                      Expect("RETR 1"), Send("+OK\r\nhalf\r\n"), zt::Never()});
    ASSERT_EQ(Pop3(srv), 0);
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    ASSERT_EQ(zemGetEmailFile(0, 1, "m.txt", dir_.c_str(), dir_.c_str()), 0);
    int32_t r = 1;
    const auto t = Clock::now();
    while (r > 0 && MsSince(t) < 5000) {
        r = zemDriver(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(r, ZEM_ERR_TIMED_OUT);
    EXPECT_EQ(zem::gChannelTable[0].ChannelPtr->EmailFile, 0);
    EXPECT_EQ(zt::ReadFile(dir_ + "/m.txt"), "+OK\r\nhalf\r\n");
}

// Drives channel 0 with zemDriver until its request ends (at most 10 s), sleeping in
// zemWaitAny between the calls; the longest single call shows whether one ever waited.
struct DrivenRun {
    int32_t result = 1;
    long longestCallMs = 0;
    int calls = 0;
};
DrivenRun DriveToEnd() {
    DrivenRun run;
    const auto t = Clock::now();
    while (run.result > 0 && MsSince(t) < 10000) {
        const auto c = Clock::now();
        run.result = zemDriver(0);
        run.longestCallMs = std::max(run.longestCallMs, MsSince(c));
        ++run.calls;
        zemWaitAny(50);
    }
    return run;
}

// A reply that stops half-way (between its lines, or inside one) must not hold the calling
// thread: every call returns at once while the rest is awaited, and the reply read once it
// is whole is the server's, line for line.
TEST_F(EngineTest, NonBlockingDriverWaitsOutACutReplyWithoutBlocking) {
    NoPausesLongPollInterval();
    ScriptServer srv({Send("220 mail.test ESMTP\r\n"), Expect("EHLO client.example"),
                      Send("250-mail.test\r\n250-SIZE 1000"), zt::Pause(700), Send("0\r\n"), zt::Pause(700),
                      Send("250 8BITMIME\r\n"), Expect("QUIT"), Reply("221 bye")});
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port());
    ASSERT_EQ(zemSmtpConnect(0, "127.0.0.1", kFrom, nullptr), 0);
    const DrivenRun run = DriveToEnd();
    EXPECT_EQ(run.result, 0);
    EXPECT_LT(run.longestCallMs, 300); // each half of the reply waited 700 ms outside the call
    EXPECT_GT(run.calls, 4);
    EXPECT_EQ(std::string(zem::gChannelTable[0].ChannelPtr->ReplyBuffer),
              "250-mail.test\r\n250-SIZE 10000\r\n250 8BITMIME\r\n");
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(3000));
}

// A message line that stops half-way is waited for outside the call too, and the decoder
// gets it whole.
TEST_F(EngineTest, NonBlockingRetrievalWaitsOutACutLineWithoutBlocking) {
    NoPausesLongPollInterval();
    ScriptServer srv({Send("+OK ready\r\n"), Expect("USER u"), Reply("+OK"), Expect("PASS p"), Reply("+OK"),
                      Expect("RETR 1"), Send("+OK\r\nSubject: cut\r\n\r\nfirst half"), zt::Pause(700),
                      Send(" and second half\r\n.\r\n"), Expect("QUIT"), Reply("+OK")});
    ASSERT_EQ(Pop3(srv), 0);
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    ASSERT_EQ(zemGetEmailFile(0, 1, "m.txt", dir_.c_str(), dir_.c_str()), 0);
    const DrivenRun run = DriveToEnd();
    EXPECT_EQ(run.result, 0);
    EXPECT_LT(run.longestCallMs, 300);
    EXPECT_NE(zt::ReadFile(dir_ + "/m.txt").find("first half and second half\r\n"), std::string::npos)
        << zt::ReadFile(dir_ + "/m.txt");
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(3000));
}

TEST_F(EngineTest, ClosesOfEightChannelsFromEightThreadsOverlap) {
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 1);
    std::vector<std::unique_ptr<ScriptServer>> servers;
    for (int i = 0; i < 8; ++i) {
        servers.push_back(std::make_unique<ScriptServer>(Script{Send("220 mail.test\r\n"), Expect("HELO client.example"),
                                                                Reply("250 ok"), Expect("QUIT"), Reply("221 bye")}));
        ASSERT_EQ(Smtp(*servers.back(), i), 0);
    }
    std::atomic<int> failed{0};
    const auto t = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([i, &failed] {
            if (zemClose(i) != 0) ++failed;
        });
    for (auto &th : threads) th.join();
    const long wall = MsSince(t);
    EXPECT_EQ(failed, 0);
    // Each close pauses 500 ms; one after the other they would take 4 s.
    EXPECT_GE(wall, 450);
    EXPECT_LT(wall, 2500);
}

TEST_F(EngineTest, WaitAnySleepsUntilAChannelCanGoOn) {
    EXPECT_EQ(zemWaitAny(0), 0); // nothing busy
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0);
    std::vector<std::unique_ptr<ScriptServer>> servers;
    for (int i = 0; i < 4; ++i) {
        servers.push_back(std::make_unique<ScriptServer>(
            Script{zt::Pause(300 + 100 * i), Send("220 mail.test\r\n"), Expect("HELO client.example"), Reply("250 ok")}));
        zemIntegerParam(i, ZEM_PARAM_AUTO_CALL, 0);
        zemIntegerParam(i, ZEM_PARAM_SMTP_PORT, servers.back()->port());
        ASSERT_EQ(zemSmtpConnect(i, "127.0.0.1", kFrom, nullptr), 0);
    }
    int results[4] = {1, 1, 1, 1};
    int driverCalls = 0, waits = 0;
    bool sawReadWait = false;
    const long cpu0 = ThreadCpuMs();
    const auto t = Clock::now();
    for (bool busy = true; busy && MsSince(t) < 10000;) {
        busy = false;
        for (int i = 0; i < 4; ++i) {
            if (results[i] <= 0) continue;
            results[i] = zemDriver(i);
            ++driverCalls;
            if (results[i] > 0) {
                busy = true;
                if (zemStatistics(i, ZEM_STAT_WAIT_READINESS) == 1) {
                    sawReadWait = true;
                    const int32_t ms = zemStatistics(i, ZEM_STAT_MS_TO_NEXT_STEP);
                    EXPECT_GE(ms, 0);
                    EXPECT_LE(ms, 25001);
                }
            }
        }
        if (busy) {
            zemWaitAny(1000);
            ++waits;
        }
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(results[i], 0) << i;
    EXPECT_TRUE(sawReadWait);
    // The greetings come over 600 ms; a loop that spun would call zemDriver many thousand
    // times and burn the CPU.
    EXPECT_LT(driverCalls, 400);
    EXPECT_LT(waits, 100);
    EXPECT_LT(ThreadCpuMs() - cpu0, 200);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_WAIT_READINESS), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_MS_TO_NEXT_STEP), -1);
}

TEST_F(EngineTest, ThePausesAreParameters) {
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_CLOSE_PAUSE, 7), 1);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_LOGIN_PAUSE, 9), 1);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_MAX_MESSAGE_SIZE, 1000), 1);
    EXPECT_EQ(zem::gSettings.closePause.load(), 7);
    EXPECT_EQ(zem::gSettings.loginPause.load(), 9);
    EXPECT_EQ(zem::gChannelTable[0].ChannelPtr->MaxMessageSize, 1000);
    EXPECT_EQ(zem::gChannelTable[1].ChannelPtr->MaxMessageSize, 0); // per channel
}

// ---- Pauses on the wire ----------------------------------------------------------------

// A pause the caller sets parts the lines on the wire, not only inside the library: what
// was gathered before it leaves before it, in both modes. The data-line pause parts the
// text lines, the step delay the To line from the next.
TEST_F(EngineTest, ThePausesSpaceTheLinesOnTheWire) {
    const std::vector<std::string> tail = {"To: <a@x.test>\r\n", "From: <sender@client.example>\r\n",
                                           "Subject: paced\r\n", "\r\n", "one\r\n", "two\r\n", "three\r\n", "\r\n"};
    for (int32_t param : {ZEM_PARAM_DATA_PAUSE, ZEM_PARAM_STEP_DELAY})
        for (int autoCall : {1, 0}) {
            SCOPED_TRACE(std::string(param == ZEM_PARAM_DATA_PAUSE ? "data-line pause" : "step delay") +
                         (autoCall ? ", blocking" : ", non-blocking"));
            NoPausesLongPollInterval();
            ScriptServer srv({Send("220 mail.test\r\n"), Expect("HELO client.example"), Reply("250 ok"),
                              Expect("MAIL FROM:<sender@client.example>"), Reply("250 ok"), Expect("RCPT TO:<a@x.test>"),
                              Reply("250 ok"), Expect("DATA"), Reply("354 go ahead"), zt::ExpectData(),
                              Reply("250 queued"), Expect("QUIT"), Reply("221 bye")});
            ASSERT_EQ(Smtp(srv), 0);
            zemIntegerParam(0, param, 150);
            zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, autoCall);
            int32_t r = zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "paced", "one\r\ntwo\r\nthree", nullptr);
            if (r == 0 && autoCall == 0) r = DriveToEnd().result;
            zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1);
            zemIntegerParam(0, param, 0);
            EXPECT_EQ(r, 0);
            EXPECT_EQ(zemClose(0), 0);
            EXPECT_TRUE(srv.Finish(5000));
            std::vector<ScriptServer::TimedLine> lines = srv.dataLines();
            ASSERT_GE(lines.size(), tail.size());
            lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(tail.size()));
            std::vector<std::string> texts;
            for (const auto &l : lines) texts.push_back(l.text);
            EXPECT_EQ(texts, tail);
            const auto gapMs = [&lines](size_t a, size_t b) {
                return std::chrono::duration_cast<std::chrono::milliseconds>(lines[b].at - lines[a].at).count();
            };
            if (param == ZEM_PARAM_DATA_PAUSE) {
                EXPECT_GE(gapMs(4, 5), 100) << "one -> two";
                EXPECT_GE(gapMs(5, 6), 100) << "two -> three";
            } else {
                EXPECT_GE(gapMs(0, 1), 100) << "To -> From";
            }
        }
}

// ---- The output buffer ---------------------------------------------------------------

// A server that stops reading for a while in the middle of a large message, with small
// socket buffers: the writes wait and go on where they stopped, in both modes, and the
// message arrives whole.
TEST_F(EngineTest, AServerThatStopsReadingGetsTheWholeMessage) {
    NoPausesLongPollInterval();
    zemIntegerParam(0, ZEM_PARAM_DATA_PAUSE, 0);
    std::string body = "Subject: big\r\n\r\n";
    for (int i = 0; body.size() < 8u * 1024 * 1024; ++i) body += "line " + std::to_string(i) + std::string(90, 'x') + "\r\n";
    const std::string path = dir_ + "/big.eml";
    {
        FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(body.data(), 1, body.size(), f), body.size());
        std::fclose(f);
    }
    for (int autoCall : {1, 0}) {
        SCOPED_TRACE(autoCall ? "blocking" : "non-blocking");
        ScriptServer srv({zt::ReceiveBuffer(64 * 1024), Send("220 mail.test\r\n"), Expect("HELO client.example"), Reply("250 ok"),
                          Expect("MAIL FROM:<sender@client.example>"), Reply("250 ok"), Expect("RCPT TO:<a@x.test>"),
                          Reply("250 ok"), Expect("DATA"), Reply("354 go ahead"), zt::Pause(300), zt::ExpectData(),
                          Reply("250 queued"), Expect("QUIT"), Reply("221 bye")});
        ASSERT_EQ(Smtp(srv), 0);
        // Small buffers on both ends: the kernel takes little while the server sleeps.
        const int small = 4096;
        ASSERT_EQ(::setsockopt(zemStatistics(0, ZEM_STAT_SOCKET), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, autoCall), 1);
        ASSERT_EQ(zemSendMessageFile(0, "<a@x.test>", nullptr, nullptr, path.c_str()), 0);
        int32_t r = 0;
        if (autoCall == 0) {
            r = 1;
            const auto until = Clock::now() + std::chrono::seconds(60);
            while (r > 0 && Clock::now() < until) {
                r = zemDriver(0);
                if (r > 0) zemWaitAny(100);
            }
            ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1), 1);
        }
        EXPECT_EQ(r, 0);
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(10000));
        const std::string got = srv.data();
        EXPECT_EQ(got.size(), body.size());
        EXPECT_TRUE(got == body) << "the data differs from the file";
    }
}

// The output buffer's own write against a socket that takes only part: the rest stays, in
// order, and goes with the next attempts; nothing is lost or sent twice.
TEST_F(EngineTest, AWriteTheSocketTakesInPartKeepsItsRest) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const int small = 4096;
    ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    zem::Channel &ch = *zem::gChannelTable[0].ChannelPtr;
    ch.Socket = sv[0];
    ch.SocketOpen = 1;
    std::string sent;
    for (int i = 0; i < 24; ++i) {
        std::string line = "line " + std::to_string(i) + " " + std::string(1000, static_cast<char>('a' + i)) + "\r\n";
        ASSERT_EQ(zem::SendData(ch, line.data(), static_cast<int32_t>(line.size())), static_cast<int32_t>(line.size()));
        sent += line;
    }
    EXPECT_EQ(ch.OutFill, static_cast<int32_t>(sent.size())); // gathered, nothing written yet
    EXPECT_EQ(zem::FlushOutput(ch), 0);                        // the socket took a part
    EXPECT_GT(ch.OutSent, 0);
    EXPECT_GT(zemStatistics(0, ZEM_STAT_WRITE_STALLS), 0);
    std::string got;
    char buf[65536];
    for (int rounds = 0; rounds < 10000; ++rounds) {
        const int32_t r = zem::FlushOutput(ch);
        ASSERT_GE(r, 0);
        ssize_t n = ::recv(sv[1], buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        if (r == 1 && n <= 0) break;
    }
    EXPECT_EQ(ch.OutFill, 0);
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes";
    ch.SocketOpen = 0;
    ::close(sv[0]);
    ::close(sv[1]);
}

// With the caller driving the steps, the close pause is a step's wake time: no zemDriver
// call sleeps, and the close still ends only after the pause.
TEST_F(EngineTest, NonBlockingCloseWaitsOutThePauseWithoutSleeping) {
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0);
    zemIntegerParam(0, ZEM_PARAM_LOGIN_PAUSE, 0);
    zemIntegerParam(0, ZEM_PARAM_CLOSE_PAUSE, 300);
    ScriptServer srv({Send("220 mail.test\r\n"), Expect("HELO client.example"), Reply("250 ok"), Expect("QUIT"),
                      Reply("221 bye")});
    ASSERT_EQ(Smtp(srv), 0);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0), 1);
    ASSERT_EQ(zemClose(0), 0);
    const auto t = Clock::now();
    long longest = 0;
    int32_t r = 1;
    while (r > 0 && MsSince(t) < 5000) {
        const auto c = Clock::now();
        r = zemDriver(0);
        longest = std::max(longest, MsSince(c));
        if (r > 0) zemWaitAny(50);
    }
    EXPECT_EQ(r, 0);
    EXPECT_GE(MsSince(t), 290); // the pause was kept
    EXPECT_LT(longest, 100);    // but no call slept it
    EXPECT_TRUE(srv.Finish(3000));
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1);
}

} // namespace
