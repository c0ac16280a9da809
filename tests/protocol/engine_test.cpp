// The engine's waits: a reply is seen when it comes (not at the next poll interval), a
// waiting request sleeps instead of spinning, a non-blocking zemDriver never blocks on a
// silent server, and closes of many channels overlap.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"

namespace {

using zt::Expect;
using zt::Reply;
using zt::Script;
using zt::ScriptServer;
using zt::Send;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

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

} // namespace
