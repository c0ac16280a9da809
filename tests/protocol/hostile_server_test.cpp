// Hostile servers: over-long reply lines, replies without a code, replies that trickle in
// for ever and retrievals that never end. Each case must either stay in step with the
// server or fail cleanly with its code; no reply is ever taken for another command's.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

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


const char kFrom[] = "<sender@client.example>";

class HostileServerTest : public zt::LibTest {
  protected:
    void SetUp() override {
        zt::LibTest::SetUp();
        dir_ = zt::TempDir();
        log_ = dir_ + "/hostile.log";
        ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log_.c_str()), 0);
        zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 1);
        zemIntegerParam(0, ZEM_PARAM_CLOSE_PAUSE, 0);
    }
    void TearDown() override {
        zt::LibTest::TearDown();
        std::filesystem::remove_all(dir_);
    }
    std::string Log() const { return zt::ReadFile(log_); }
    static std::string LastReply() {
        char buf[256];
        int32_t n = zemDebug(0, ZEM_DEBUG_LAST_REPLY, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    int32_t Smtp(const ScriptServer &srv, int tls = ZEM_TLS_NONE) {
        zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port());
        zemIntegerParam(0, ZEM_PARAM_TLS, tls);
        if (tls != ZEM_TLS_NONE) zemStringParam(0, ZEM_STRING_CA_FILE, zt::CertPath("ca.pem").c_str());
        return zemSmtpConnect(0, "127.0.0.1", kFrom, nullptr);
    }
    int32_t Pop3(const ScriptServer &srv, int tls = ZEM_TLS_NONE) {
        zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
        zemIntegerParam(0, ZEM_PARAM_TLS, tls);
        if (tls != ZEM_TLS_NONE) zemStringParam(0, ZEM_STRING_CA_FILE, zt::CertPath("ca.pem").c_str());
        return zemPop3Connect(0, "127.0.0.1", "u", "p");
    }
    std::string dir_, log_;
};

Script Concat(Script a, const Script &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// After the connect, a NOOP must draw the server's answer to NOOP, not a leftover.
Script NoopInStep() { return {Expect("NOOP"), Reply("250 noop answered")}; }

// ---- Over-long SMTP lines -------------------------------------------------------------

TEST_F(HostileServerTest, LongSmtpGreetingsAndHeloRepliesStayInStep) {
    for (size_t size : {size_t{2000}, size_t{100000}}) {
        SCOPED_TRACE(size);
        {
            ScriptServer srv(Concat({Send("220 " + std::string(size, 'g') + "\r\n"), Expect("HELO client.example"),
                                     Reply("250 helo answered")},
                                    NoopInStep()));
            ASSERT_EQ(Smtp(srv), 0) << Log();
            EXPECT_EQ(LastReply(), "250 helo answered");
            ASSERT_EQ(zemCommand(0, "NOOP"), 0);
            EXPECT_EQ(LastReply(), "250 noop answered");
            EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
            zemAbort(0);
        }
        {
            ScriptServer srv(Concat({Send("220 mail.test\r\n"), Expect("HELO client.example"),
                                     Send("250 " + std::string(size, 'h') + "\r\n")},
                                    NoopInStep()));
            ASSERT_EQ(Smtp(srv), 0) << Log();
            ASSERT_EQ(zemCommand(0, "NOOP"), 0);
            EXPECT_EQ(LastReply(), "250 noop answered");
            EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
            zemAbort(0);
        }
    }
    EXPECT_NE(Log().find("[Reply line too long: "), std::string::npos);
}

TEST_F(HostileServerTest, LongLinesWithoutACodeFailAsMalformed) {
    for (size_t size : {size_t{2000}, size_t{100000}}) {
        SCOPED_TRACE(size);
        ScriptServer srv({Send(std::string(size, 'x') + "\r\n"), Expect("HELO client.example", 2000)});
        EXPECT_EQ(Smtp(srv), ZEM_ERR_MALFORMED_REPLY) << Log();
        // Nothing was sent after the malformed greeting, and the connection is closed.
        EXPECT_TRUE(srv.WaitDisconnected(3000));
        EXPECT_EQ(srv.received(), "");
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_STEP_COUNT) > 0, true);
    }
    {
        ScriptServer srv({Send("220 mail.test\r\n"), Expect("HELO client.example"),
                          Send("250-" + std::string(100000, 'e') + "\r\n250 ok\r\n")});
        // A first line longer than the buffer that goes on: the lines overflow it.
        EXPECT_EQ(Smtp(srv), ZEM_ERR_RESPONSE_OVERFLOW) << Log();
    }
}

TEST_F(HostileServerTest, GreetingWithoutACodeIsMalformed) {
    for (const char *greeting : {"hello there\r\n", "22 short\r\n", "2x0 letters\r\n", "\r\n"}) {
        SCOPED_TRACE(greeting);
        ScriptServer srv({Send(greeting), Expect("HELO client.example", 1000)});
        EXPECT_EQ(Smtp(srv), ZEM_ERR_MALFORMED_REPLY) << Log();
        EXPECT_TRUE(srv.WaitDisconnected(3000));
        EXPECT_EQ(srv.received(), "");
    }
    char text[64];
    ASSERT_GT(zemErrorText(0, ZEM_ERR_MALFORMED_REPLY, text, sizeof text), 0);
    EXPECT_STREQ(text, "Malformed reply from server.");
}

TEST_F(HostileServerTest, ContinuationLinesThatFillTheBufferOverflow) {
    // Fourteen 102-byte lines: the last cut piece is shorter than four bytes.
    std::string lines;
    for (int i = 0; i < 14; ++i) lines += "250-" + std::string(96, 'x') + "\r\n";
    ScriptServer srv({Send("220 mail.test\r\n"), Expect("HELO client.example"), Send(lines + "250 ok\r\n")});
    EXPECT_EQ(Smtp(srv), ZEM_ERR_RESPONSE_OVERFLOW) << Log();
}

// ---- Replies that never end within the time-out ----------------------------------------

TEST_F(HostileServerTest, TricklingGreetingTimesOutWithinTheReplyTimeOut) {
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 1500);
    std::vector<std::string> bytes;
    const std::string greeting = "220 mail.test ESMTP a greeting sent byte by byte..\r\n";
    for (char c : greeting) bytes.emplace_back(1, c);
    ScriptServer srv({zt::SendChunks(bytes, 400)});
    const auto t = Clock::now();
    EXPECT_EQ(Smtp(srv), ZEM_ERR_TIMED_OUT) << Log();
    // 52 bytes at 400 ms would take 20 s; the whole reply is bounded by the time-out.
    EXPECT_LT(MsSince(t), 1500 + 1500);
}

TEST_F(HostileServerTest, EndlessSlowContinuationReplyTimesOut) {
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 1500);
    std::vector<std::string> lines(200, "250-slow\r\n");
    ScriptServer srv({Send("220 mail.test\r\n"), Expect("HELO client.example"), zt::SendChunks(lines, 300)});
    const auto t = Clock::now();
    EXPECT_EQ(Smtp(srv), ZEM_ERR_TIMED_OUT) << Log();
    EXPECT_LT(MsSince(t), 1500 + 2000);
}

// ---- POP3 ---------------------------------------------------------------------------------

Script LoggedIn(const Script &rest, const std::string &greeting = "+OK ready\r\n") {
    return Concat({Send(greeting), Expect("USER u"), Reply("+OK"), Expect("PASS p"), Reply("+OK")}, rest);
}

TEST_F(HostileServerTest, LongPop3GreetingStaysInStep) {
    ScriptServer srv(LoggedIn({Expect("STAT"), Reply("+OK 3 300")}, "+OK " + std::string(100000, 'p') + "\r\n"));
    ASSERT_EQ(Pop3(srv), 0) << Log();
    EXPECT_EQ(zemGetEmailCount(0), 3) << Log();
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
}

// A RETR whose data goes on and on without its end line.
Script EndlessRetr(const Script &before = {}) {
    std::vector<std::string> lines(4000, std::string(98, 'd') + "\r\n");
    return LoggedIn(Concat(before, {Expect("RETR 1"), Send("+OK\r\n"), zt::SendChunks(lines, 0), zt::Never()}));
}

TEST_F(HostileServerTest, EndlessRetrStopsAtTheSizeLimit) {
    for (int raw : {1, 0}) {
        SCOPED_TRACE(raw);
        zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, raw);
        zemIntegerParam(0, ZEM_PARAM_MAX_MESSAGE_SIZE, 50000);
        ScriptServer srv(EndlessRetr());
        ASSERT_EQ(Pop3(srv), 0) << Log();
        EXPECT_EQ(zemGetEmailFile(0, 1, "m.txt", dir_.c_str(), dir_.c_str()), ZEM_ERR_MESSAGE_TOO_LARGE);
        // The file is closed and holds no more than the limit and one piece.
        EXPECT_EQ(zem::gChannelTable[0].ChannelPtr->EmailFile, 0);
        const auto size = std::filesystem::file_size(dir_ + "/m.txt");
        EXPECT_GT(size, 40000u);
        EXPECT_LE(size, 50000u + 2048u);
        zemAbort(0);
    }
    char text[64];
    ASSERT_GT(zemErrorText(0, ZEM_ERR_MESSAGE_TOO_LARGE, text, sizeof text), 0);
    EXPECT_STREQ(text, "Message exceeds the size limit.");
}

TEST_F(HostileServerTest, EndlessRetrStopsPastTwiceTheListedSize) {
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
    ScriptServer srv(EndlessRetr({Expect("LIST 1"), Reply("+OK 1 1000")}));
    ASSERT_EQ(Pop3(srv), 0) << Log();
    ASSERT_EQ(zemGetEmailSize(0, 1), 1000);
    EXPECT_EQ(zemGetEmailFile(0, 1, "m.txt", dir_.c_str(), dir_.c_str()), ZEM_ERR_MESSAGE_TOO_LARGE);
    const auto size = std::filesystem::file_size(dir_ + "/m.txt");
    EXPECT_GT(size, 2u * 1000u + 65536u - 2048u);
    EXPECT_LE(size, 2u * 1000u + 65536u + 2048u);
}

TEST_F(HostileServerTest, SizeLimitBoundsTop) {
    zemIntegerParam(0, ZEM_PARAM_MAX_MESSAGE_SIZE, 20000);
    std::vector<std::string> lines(4000, std::string(98, 't') + "\r\n");
    ScriptServer srv(LoggedIn({Expect("TOP 1 5"), Send("+OK\r\n"), zt::SendChunks(lines, 0), zt::Never()}));
    ASSERT_EQ(Pop3(srv), 0) << Log();
    EXPECT_EQ(zemGetEmailLines(0, 1, 5, nullptr, 100000), ZEM_ERR_MESSAGE_TOO_LARGE);
}

TEST_F(HostileServerTest, SizeLimitCountsEveryByteOfTheMessage) {
    // Decoded attachment bytes and header lines the decoder leaves out count as much as text.
    std::string attachment = "MIME-Version: 1.0\r\nContent-Transfer-Encoding: base64\r\n"
                             "Content-Disposition: attachment; filename=\"big.bin\"\r\n\r\n";
    for (int i = 0; i < 600; ++i) attachment += std::string(76, 'A') + "\r\n";
    std::string headers = "MIME-Version: 1.0\r\n";
    for (int i = 0; i < 600; ++i) headers += "X-Junk: " + std::string(90, 'h') + "\r\n";
    headers += "\r\nbody\r\n";
    for (const std::string &m : {attachment, headers}) {
        zemIntegerParam(0, ZEM_PARAM_MAX_MESSAGE_SIZE, 10000);
        ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\n" + m + ".\r\n"), Expect("QUIT", 3000)}));
        ASSERT_EQ(Pop3(srv), 0) << Log();
        EXPECT_EQ(zemGetEmailFile(0, 1, "m.txt", dir_.c_str(), dir_.c_str()), ZEM_ERR_MESSAGE_TOO_LARGE);
        if (std::filesystem::exists(dir_ + "/big.bin")) EXPECT_LE(std::filesystem::file_size(dir_ + "/big.bin"), 10000u);
        zemAbort(0);
    }
}

TEST_F(HostileServerTest, SlowTopListingIsBoundByTheReplyTimeOut) {
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 1500);
    std::vector<std::string> lines(200, "line\r\n");
    ScriptServer srv(LoggedIn({Expect("TOP 1 5"), Send("+OK\r\n"), zt::SendChunks(lines, 300)}));
    ASSERT_EQ(Pop3(srv), 0) << Log();
    const auto t = Clock::now();
    EXPECT_EQ(zemGetEmailLines(0, 1, 5, nullptr, 100000), ZEM_ERR_TIMED_OUT);
    EXPECT_LT(MsSince(t), 1500 + 2000);
}

// ---- The same over TLS ------------------------------------------------------------------

TEST_F(HostileServerTest, OverTlsLongGreetingStaysInStepAndNoCodeIsMalformed) {
    {
        ScriptServer srv(Concat({zt::StartTls("server"), Send("220 " + std::string(100000, 'g') + "\r\n"),
                                 Expect("HELO client.example"), Reply("250 helo answered")},
                                NoopInStep()));
        ASSERT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT), 0) << Log();
        ASSERT_EQ(zemCommand(0, "NOOP"), 0);
        EXPECT_EQ(LastReply(), "250 noop answered");
        zemAbort(0);
    }
    {
        ScriptServer srv({zt::StartTls("server"), Send("no code at all\r\n"), Expect("HELO client.example", 1000)});
        EXPECT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT), ZEM_ERR_MALFORMED_REPLY) << Log();
    }
    {
        zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
        zemIntegerParam(0, ZEM_PARAM_MAX_MESSAGE_SIZE, 50000);
        Script s = EndlessRetr();
        s.insert(s.begin(), zt::StartTls("server"));
        ScriptServer srv(s);
        ASSERT_EQ(Pop3(srv, ZEM_TLS_IMPLICIT), 0) << Log();
        EXPECT_EQ(zemGetEmailFile(0, 1, "m.txt", dir_.c_str(), dir_.c_str()), ZEM_ERR_MESSAGE_TOO_LARGE);
    }
}

} // namespace
