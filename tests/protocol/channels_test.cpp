// Many channels at once: all 128 driven round-robin from one thread with automatic calling
// off, and groups of channels driven from several threads at the same time. Both also run
// under ThreadSanitizer (scripts/tsan.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"
#include "test_data.h"

namespace {

using zt::MsSince;

using zt::Clock;


const char kFrom[] = "<many@client.example>";

// Drives the given channels round-robin, one step each per turn, until every one has
// returned 0 or a negative code. Returns the final results; 1 marks a channel still
// running when the time limit passed.
std::vector<int32_t> DriveAll(const std::vector<int> &chans, long limitMs) {
    std::vector<int32_t> result(chans.size(), 1);
    size_t running = chans.size();
    auto t0 = Clock::now();
    while (running > 0 && MsSince(t0) < limitMs) {
        for (size_t i = 0; i < chans.size(); ++i) {
            if (result[i] <= 0) continue;
            int32_t r = zemDriver(chans[i]);
            if (r <= 0) {
                result[i] = r;
                --running;
            }
        }
    }
    return result;
}

class AllChannelsTest : public zt::LibTest {
  protected:
    int Channels() const override { return zem::kMaxChannels; }
};

TEST_F(AllChannelsTest, EveryChannelConnectsAndClosesFromOneThread) {
    const int n = zem::kMaxChannels;
    zt::ScriptServer srv({zt::Send("220 mail.test\r\n"), zt::Expect("HELO client.example"), zt::Reply("250 hello"),
                          zt::Expect("QUIT"), zt::Reply("221 bye")},
                         n);
    std::vector<int> chans;
    for (int c = 0; c < n; ++c) {
        chans.push_back(c);
        ASSERT_EQ(zemIntegerParam(c, ZEM_PARAM_AUTO_CALL, 0), 1);
        zemIntegerParam(c, ZEM_PARAM_SMTP_PORT, srv.port());
        ASSERT_EQ(zemSmtpConnect(c, "127.0.0.1", kFrom, nullptr), 0); // returns at once
    }
    std::vector<int32_t> connected = DriveAll(chans, 60000);
    for (int c = 0; c < n; ++c) EXPECT_EQ(connected[static_cast<size_t>(c)], 0) << "channel " << c;
    EXPECT_EQ(srv.accepted(), n);
    // Every channel has a socket of its own.
    std::vector<int32_t> sockets;
    for (int c = 0; c < n; ++c) {
        EXPECT_EQ(zemStatistics(c, ZEM_STAT_CONNECTION), 1) << "channel " << c;
        sockets.push_back(zemStatistics(c, ZEM_STAT_SOCKET));
    }
    std::sort(sockets.begin(), sockets.end());
    EXPECT_EQ(std::unique(sockets.begin(), sockets.end()), sockets.end());

    // Closing pauses 500 ms per socket by design, whatever the mode: about a minute for all
    // of them. Every QUIT goes out in the first round while the replies are judged one
    // pause after the other, so the reply time-out must outlast all the pauses.
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 150000);
    for (int c = 0; c < n; ++c) ASSERT_EQ(zemClose(c), 0);
    std::vector<int32_t> closed = DriveAll(chans, 200000);
    for (int c = 0; c < n; ++c) {
        EXPECT_EQ(closed[static_cast<size_t>(c)], 0) << "channel " << c;
        EXPECT_EQ(zem::gChannelTable[c].ChannelPtr->SocketOpen, 0) << "channel " << c;
    }
    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_TRUE(srv.WaitDisconnected(5000));
    for (const std::string &e : srv.errors()) ADD_FAILURE() << e;
}

class ThreadedChannelsTest : public zt::LibTest {
  protected:
    static constexpr int kThreads = 8;
    static constexpr int kPerThread = 4;
    int Channels() const override { return kThreads * kPerThread; }
};

TEST_F(ThreadedChannelsTest, ChannelsDrivenFromSeveralThreadsAtOnce) {
    const int n = kThreads * kPerThread;
    zt::ScriptServer srv({zt::Send("220 mail.test\r\n"), zt::Expect("HELO client.example"), zt::Reply("250 hello"),
                          zt::ExpectPrefix("VRFY <a"), zt::Reply("550 unknown"), zt::ExpectPrefix("VRFY <b"),
                          zt::Reply("250 known"), zt::Expect("QUIT"), zt::Reply("221 bye")},
                         n);
    // Each thread owns its channels; even threads drive them round-robin with automatic
    // calling off, odd threads make blocking calls one channel after the other.
    std::vector<std::vector<std::string>> failures(kThreads);
    auto work = [&](int t) {
        std::vector<std::string> &fail = failures[static_cast<size_t>(t)];
        auto expect = [&](bool ok, int c, const std::string &what) {
            if (!ok) fail.push_back("channel " + std::to_string(c) + ": " + what);
        };
        std::vector<int> mine;
        for (int k = 0; k < kPerThread; ++k) mine.push_back(t * kPerThread + k);
        const bool blocking = (t % 2) == 1;
        for (int c : mine) {
            zemIntegerParam(c, ZEM_PARAM_SMTP_PORT, srv.port());
            zemIntegerParam(c, ZEM_PARAM_AUTO_CALL, blocking ? 1 : 0);
        }
        const std::string list = "<a" + std::to_string(t) + "@d.example>,<b" + std::to_string(t) + "@d.example>";
        if (blocking) {
            for (int c : mine) {
                int32_t r = zemSmtpConnect(c, "127.0.0.1", kFrom, nullptr);
                expect(r == 0, c, "connect " + std::to_string(r));
                r = zemVerifyUser(c, list.c_str());
                expect(r == 1, c, "verify " + std::to_string(r));
                r = zemClose(c);
                expect(r == 0, c, "close " + std::to_string(r));
            }
            return;
        }
        for (int c : mine) expect(zemSmtpConnect(c, "127.0.0.1", kFrom, nullptr) == 0, c, "connect start");
        std::vector<int32_t> r = DriveAll(mine, 60000);
        for (size_t i = 0; i < mine.size(); ++i) expect(r[i] == 0, mine[i], "connect " + std::to_string(r[i]));
        for (int c : mine) expect(zemVerifyUser(c, list.c_str()) == 0, c, "verify start");
        r = DriveAll(mine, 60000);
        for (size_t i = 0; i < mine.size(); ++i) {
            expect(r[i] == 0, mine[i], "verify " + std::to_string(r[i]));
            expect(zemStatistics(mine[i], ZEM_STAT_VERIFY_RESULT) == 1, mine[i], "verify result");
        }
        for (int c : mine) expect(zemClose(c) == 0, c, "close start");
        r = DriveAll(mine, 120000);
        for (size_t i = 0; i < mine.size(); ++i) expect(r[i] == 0, mine[i], "close " + std::to_string(r[i]));
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
    for (std::thread &th : threads) th.join();

    for (const auto &f : failures)
        for (const std::string &e : f) ADD_FAILURE() << e;
    for (int c = 0; c < n; ++c) EXPECT_EQ(zem::gChannelTable[c].ChannelPtr->SocketOpen, 0) << "channel " << c;
    EXPECT_TRUE(srv.Finish(5000));
    for (const std::string &e : srv.errors()) ADD_FAILURE() << e;
    // Each connection carried exactly its own conversation.
    for (int i = 0; i < n; ++i) {
        std::string got = srv.received(i);
        EXPECT_EQ(got.find("HELO client.example\r\nVRFY <a"), 0u) << got;
        EXPECT_TRUE(got.size() >= 6 && got.compare(got.size() - 6, 6, "QUIT\r\n") == 0) << got;
    }
}

} // namespace
