// The receive ring readers and the reply checkers, on a channel whose socket is connected
// straight to the scripted server (blocking, as the connect states leave it).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>

#include "driver/replies.h"
#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"
#include "test_data.h"

namespace {

using zt::MsSince;

using zt::Clock;


class RepliesTest : public zt::LibTest {
  protected:
    void SetUp() override {
        zt::LibTest::SetUp();
        dir_ = zt::TempDir();
    }
    void TearDown() override {
        zt::LibTest::TearDown(); // zemRelease closes the wired socket
        std::filesystem::remove_all(dir_);
    }

    static zem::Channel &Ch(int i = 0) { return *zem::gChannelTable[i].ChannelPtr; }

    // Connects channel 0 to the server the way state 106 leaves a channel: a blocking
    // socket the channel owns, an empty ring.
    void Wire(const zt::ScriptServer &srv) {
        zem::Channel &ch = Ch();
        if (ch.SocketOpen) ::close(ch.Socket);
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 3);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(srv.port()));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ch.Socket = fd;
        ch.SocketOpen = 1;
        zem::RingClear(ch);
    }

    std::string OpenLog() {
        std::string path = dir_ + "/replies.log";
        EXPECT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, path.c_str()), 0);
        return path;
    }

    std::string Ring() {
        char buf[zem::kRingSize];
        int32_t n = zem::RingPeek(Ch(), buf, sizeof buf);
        return std::string(buf, static_cast<size_t>(n));
    }

    std::string dir_;
};

TEST_F(RepliesTest, GreetingLineIsAcceptedWithItsCodeAndLineEnd) {
    zt::ScriptServer srv({zt::Send("220 mail.test ESMTP ready\r\n")});
    Wire(srv);
    zem::Channel &ch = Ch();
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(ch), 0);
    EXPECT_EQ(ch.ReplyCode, 220);
    EXPECT_STREQ(ch.LastReply, "220 mail.test ESMTP ready\r\n");
    EXPECT_STREQ(ch.ReplyBuffer, "220 mail.test ESMTP ready\r\n");
    char buf[200];
    EXPECT_EQ(zemDebug(0, ZEM_DEBUG_LAST_REPLY, buf, sizeof buf), 25); // without its CR LF
    EXPECT_STREQ(buf, "220 mail.test ESMTP ready\r\n");
}

TEST_F(RepliesTest, JudgesOnlyTheFirstLinesCode) {
    // A reply that is only the code and CR LF is complete; 4xx is not a failure here; 5xx is.
    zt::ScriptServer srv({zt::Send("250\r\n"), zt::Pause(100), zt::Send("452 mailbox full\r\n"), zt::Pause(100),
                          zt::Send("554 go away\r\n")});
    Wire(srv);
    zem::Channel &ch = Ch();
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(ch), 0);
    EXPECT_EQ(ch.ReplyCode, 250);
    EXPECT_STREQ(ch.LastReply, "250\r\n");
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(ch), 0);
    EXPECT_EQ(ch.ReplyCode, 452);
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(ch), ZEM_ERR_SMTP);
    EXPECT_EQ(ch.ReplyCode, 554);
    EXPECT_STREQ(ch.LastReply, "554 go away\r\n");
}

TEST_F(RepliesTest, MultiLineReplyKeepsAllLinesAndTheLastAsLastReply) {
    const std::string reply = "250-mail.test hello\r\n250-SIZE 1000000\r\n250 HELP\r\n";
    zt::ScriptServer srv({zt::Send(reply)});
    Wire(srv);
    zem::Channel &ch = Ch();
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(ch), 0);
    EXPECT_EQ(ch.ReplyCode, 250);
    EXPECT_EQ(std::string(ch.ReplyBuffer), reply);
    EXPECT_STREQ(ch.LastReply, "250 HELP\r\n");
    EXPECT_EQ(zem::RingCount(ch), 0);
}

TEST_F(RepliesTest, RefusedMultiLineReplyIsReadToItsLastLine) {
    // Nothing of the refusal may be left for the next request to take as its reply.
    zt::ScriptServer srv({zt::Send("550-first part\r\n550 second part\r\n250 next reply\r\n")});
    Wire(srv);
    zem::Channel &ch = Ch();
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(ch), ZEM_ERR_SMTP);
    EXPECT_EQ(ch.ReplyCode, 550);
    EXPECT_STREQ(ch.LastReply, "550 second part\r\n");
    EXPECT_EQ(Ring(), "250 next reply\r\n");
    EXPECT_EQ(zem::CheckSmtpReply(ch), 0);
    EXPECT_EQ(ch.ReplyCode, 250);
}

TEST_F(RepliesTest, TwoRepliesInOneReceiveLeaveTheSecondInTheRing) {
    std::string log = OpenLog();
    zt::ScriptServer srv({zt::Send("250 first\r\n250 second\r\n")});
    Wire(srv);
    zem::Channel &ch = Ch();
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(ch), 0);
    EXPECT_STREQ(ch.LastReply, "250 first\r\n");
    EXPECT_STREQ(ch.ReplyBuffer, "250 first\r\n");
    EXPECT_EQ(Ring(), "250 second\r\n");
    // Available at once from the ring, without waiting on the socket.
    auto t0 = Clock::now();
    EXPECT_EQ(zem::WaitReadable(ch, 0), 1);
    EXPECT_LT(MsSince(t0), 50);
    EXPECT_EQ(zem::CheckSmtpReply(ch), 0);
    EXPECT_STREQ(ch.LastReply, "250 second\r\n");
    EXPECT_EQ(zem::RingCount(ch), 0);
    // One receive ("P: ") brought both; each read ("r: ") took one.
    std::string text = zt::ReadFile(log);
    EXPECT_NE(text.find("P: 250 first\r\n250 second\r\n"), std::string::npos) << text;
    size_t r1 = text.find("r: 250 first\r\n");
    size_t r2 = text.find("r: 250 second\r\n");
    EXPECT_NE(r1, std::string::npos);
    EXPECT_NE(r2, std::string::npos);
    EXPECT_LT(r1, r2);
}

TEST_F(RepliesTest, LongLineComesBackAs1023Then477Bytes) {
    const std::string line = std::string(1498, 'x') + "\r\n"; // 1,500 bytes
    zt::ScriptServer srv({zt::Send(line)});
    Wire(srv);
    zem::Channel &ch = Ch();
    char buf[1100];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(zem::ReadLine(ch, buf, 1024, 3000, 3000), 1023);
    EXPECT_EQ(buf[1023], 0);
    EXPECT_EQ(std::string(buf, 1023), line.substr(0, 1023));
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(zem::ReadLine(ch, buf, 1024, 3000, 3000), 477);
    EXPECT_EQ(std::string(buf), line.substr(1023));
    EXPECT_EQ(zem::RingCount(ch), 0);
}

TEST_F(RepliesTest, ContinuationLinesBeyondTheReplyRoomOverflow) {
    const std::string part = "250-" + std::string(400, 'a') + "\r\n"; // three of them exceed 1,024 bytes
    zt::ScriptServer srv({zt::Send(part + part + part + "250 end\r\n")});
    Wire(srv);
    zem::Channel &ch = Ch();
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(ch), ZEM_ERR_RESPONSE_OVERFLOW);
    EXPECT_EQ(ch.ReplyCode, 250);
    EXPECT_LT(std::strlen(ch.ReplyBuffer), static_cast<size_t>(zem::kReplyRoom)); // nothing past the room

    // One continuation line longer than the room by itself.
    zt::ScriptServer srv2({zt::Send("250-" + std::string(1100, 'b') + "\r\n250 end\r\n")});
    Wire(srv2);
    ASSERT_EQ(zem::WaitReadable(Ch(), 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(Ch()), ZEM_ERR_RESPONSE_OVERFLOW);
}

// The reader never waits inside a state: the state asks ReplyReady first, and the step
// frame waits for the socket until the reply's last line is there.
TEST_F(RepliesTest, ReplyIsReadyOnlyOnceItsLastLineHasCome) {
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 3000);
    zt::ScriptServer srv({zt::SendChunks({"250-one\r\n", "250 tw", "o\r\n"}, 300)});
    Wire(srv);
    zem::Channel &ch = Ch();
    ch.Protocol = 'S';
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    auto t0 = Clock::now();
    int notReady = 0;
    while (!zem::ReplyReady(ch) && MsSince(t0) < 3000) {
        ++notReady;
        EXPECT_EQ(ch.WantReady, 1); // the frame is told to wait for input
        EXPECT_NE(ch.DeadlineTick, 0u);
        zem::WaitReadable(ch, 50);
    }
    EXPECT_GE(MsSince(t0), 400); // both later pieces were awaited
    EXPECT_GT(notReady, 1);
    t0 = Clock::now();
    EXPECT_EQ(zem::CheckSmtpReply(ch), 0);
    EXPECT_LT(MsSince(t0), 100);
    EXPECT_STREQ(ch.ReplyBuffer, "250-one\r\n250 two\r\n");
    EXPECT_STREQ(ch.LastReply, "250 two\r\n");
}

TEST_F(RepliesTest, ReplyThatStopsHalfWayIsNeverReadyAndIsNotWaitedForInTheReader) {
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 3000);
    zt::ScriptServer srv({zt::Send("250-one\r\n"), zt::Never()});
    Wire(srv);
    zem::Channel &ch = Ch();
    ch.Protocol = 'S';
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(zem::ReplyReady(ch));
        zem::WaitReadable(ch, 50);
    }
    // A checker called without the readiness reports the cut reply at once.
    auto t0 = Clock::now();
    EXPECT_EQ(zem::CheckSmtpReply(ch), ZEM_ERR_TIMED_OUT);
    EXPECT_LT(MsSince(t0), 1000);
}

TEST_F(RepliesTest, PeerThatClosesMidReplyOrBeforeItEndsTheRead) {
    zt::ScriptServer mid({zt::Send("250-first\r\n"), zt::Close()});
    Wire(mid);
    ASSERT_TRUE(mid.Finish(3000)); // closed: the end is there to read behind the line
    ASSERT_EQ(zem::WaitReadable(Ch(), 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(Ch()), ZEM_ERR_SOCKET_CLOSED);
    EXPECT_STREQ(Ch().LastReply, "250-first\r\n");

    zt::ScriptServer before({zt::Close()}, 3);
    Wire(before);
    ASSERT_EQ(zem::WaitReadable(Ch(), 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReply(Ch()), ZEM_ERR_SOCKET_CLOSED);
    EXPECT_EQ(Ch().ReplyCode, 0);
    Wire(before);
    ASSERT_EQ(zem::WaitReadable(Ch(), 3000), 1);
    EXPECT_EQ(zem::CheckPop3Reply(Ch()), ZEM_ERR_SOCKET_CLOSED);
    // Only the QUIT reply takes a connection that simply ends as accepted.
    Wire(before);
    ASSERT_EQ(zem::WaitReadable(Ch(), 3000), 1);
    EXPECT_EQ(zem::CheckSmtpReplyAtQuit(Ch()), 0);

    // The readers pass the end of the connection on.
    char buf[64];
    EXPECT_EQ(zem::PeekInput(Ch(), buf, sizeof buf), -1);
    EXPECT_EQ(zem::ReadRaw(Ch(), buf, 10), -1);
    EXPECT_EQ(zem::ReadLine(Ch(), buf, sizeof buf, 0, 0), -1);
}

TEST_F(RepliesTest, PeekLeavesBytesAndRawReadsRingThenSocket) {
    std::string log = OpenLog();
    zt::ScriptServer srv({zt::Send("abcdef")});
    Wire(srv);
    zem::Channel &ch = Ch();
    ASSERT_EQ(zem::WaitReadable(ch, 3000), 1);
    char buf[16] = {};
    // A peek receives at most what it asks for and takes nothing.
    EXPECT_EQ(zem::PeekInput(ch, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(zem::PeekInput(ch, buf, 3), 3);
    EXPECT_EQ(zem::RingCount(ch), 3);
    // The raw read takes the ring, then receives the rest directly.
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(zem::ReadRaw(ch, buf, 6), 6);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    EXPECT_EQ(ch.LastChar, 'f'); // the last byte actually received
    EXPECT_EQ(zem::RingCount(ch), 0);
    std::string text = zt::ReadFile(log);
    size_t p = text.find("P: abc");
    size_t r = text.find("r: abc");
    size_t d = text.find("R: def");
    ASSERT_NE(p, std::string::npos) << text;
    ASSERT_NE(r, std::string::npos) << text;
    ASSERT_NE(d, std::string::npos) << text;
    EXPECT_LT(p, r);
    EXPECT_LT(r, d);
}

TEST_F(RepliesTest, Pop3StatusLines) {
    zemIntegerParam(0, ZEM_PARAM_POP3_DATA_WAIT, 300);
    zt::ScriptServer srv({zt::Send("+OK ready\r\n-ERR no such message\r\n"), zt::Never()});
    Wire(srv);
    zem::Channel &ch = Ch();
    ch.DeadlineTick = zem::TickNow() + 100000;
    EXPECT_EQ(zem::CheckPop3Reply(ch), 0);
    EXPECT_EQ(ch.DeadlineTick, 0u); // the checker's own wait applies
    EXPECT_EQ(ch.ReplyCode, 100);
    EXPECT_STREQ(ch.LastReply, "+OK ready\r\n");
    EXPECT_EQ(zem::CheckPop3Reply(ch), ZEM_ERR_POP3);
    EXPECT_EQ(ch.ReplyCode, 500);
    EXPECT_STREQ(ch.LastReply, "-ERR no such message\r\n");
    auto t0 = Clock::now();
    EXPECT_EQ(zem::CheckPop3Reply(ch), ZEM_ERR_TIMED_OUT);
    EXPECT_GE(MsSince(t0), 290);
}

TEST_F(RepliesTest, ChannelWithoutSocketReadsNothing) {
    // A channel that never connected holds no socket: its zero Socket field (standard
    // input) is not read; every reader reports an unusable connection.
    zem::Channel &ch = Ch(1);
    ASSERT_EQ(ch.SocketOpen, 0);
    char buf[32];
    EXPECT_EQ(zem::WaitReadable(ch, 0), 1); // a closed socket polls readable
    EXPECT_EQ(zem::PeekInput(ch, buf, sizeof buf), -1);
    EXPECT_EQ(zem::ReadRaw(ch, buf, 5), -1);
    EXPECT_EQ(zem::ReadLine(ch, buf, sizeof buf, 0, 0), -1);
    EXPECT_EQ(zem::CheckSmtpReply(ch), ZEM_ERR_SOCKET_CLOSED);
}

} // namespace
