// zemSmtpConnect and zemVerifyUser against the scripted server: the greeting, HELO/EHLO and
// their domains, the connection failures, multi-line replies, VRFY lists and the refusal of
// caller texts that hold a line end.
#include <unistd.h>

#include <gtest/gtest.h>

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


const char kFrom[] = "<sender@client.example>";

class SmtpSessionTest : public zt::LibTest {
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

    std::string OpenLog(int chan = 0) {
        log_ = dir_ + "/chan" + std::to_string(chan) + ".log";
        EXPECT_GT(zemStringParam(chan, ZEM_STRING_LOG_FILE, log_.c_str()), 0);
        return log_;
    }
    std::string Log() const { return zt::ReadFile(log_); }

    // Connects channel 0 to the server with the given sender.
    int32_t Connect(const zt::ScriptServer &srv, const char *from = kFrom) {
        zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port());
        return zemSmtpConnect(0, "127.0.0.1", from, nullptr);
    }

    // The bytes the client sent, once it has gone away (zemRelease closes without QUIT),
    // so that nothing sent after the script's last step can be missed.
    static std::string AllSent(zt::ScriptServer &srv) {
        zemRelease();
        EXPECT_TRUE(srv.WaitDisconnected(3000));
        return srv.received();
    }

    std::string dir_;
    std::string log_;
};

// A greeting, the expected HELO line and its reply, then whatever follows.
zt::Script Greeted(const std::string &heloLine, std::vector<zt::Step> more = {}) {
    zt::Script s{zt::Send("220 mail.test ESMTP\r\n"), zt::Expect(heloLine), zt::Reply("250 mail.test")};
    s.insert(s.end(), more.begin(), more.end());
    return s;
}

TEST_F(SmtpSessionTest, HeloArgumentIsTheSendersDomain) {
    struct Case {
        const char *from;
        const char *line;
    };
    const Case cases[] = {
        {"<user@d.example>", "HELO d.example"},
        {"Jane Doe <jane@mail.d2.example>", "HELO mail.d2.example"},
        {"<user@d3.example> (work)", "HELO d3.example"},
        {"<user>", "HELO localhost"}, // no '@': the default domain, not the local host name
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.from);
        zt::ScriptServer srv(Greeted(c.line));
        EXPECT_EQ(Connect(srv, c.from), 0);
        EXPECT_TRUE(srv.Finish(3000));
        EXPECT_EQ(srv.received(), std::string(c.line) + "\r\n");
    }
}

TEST_F(SmtpSessionTest, EhloWhenSetAndTheConnectionStaysOpen) {
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    zt::ScriptServer srv({zt::Send("220 mail.test ESMTP\r\n"), zt::Expect("EHLO client.example"),
                          zt::Send("250-mail.test\r\n250 SIZE 1000000\r\n")});
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), 1); // writable, no error
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 250);
    EXPECT_EQ(Ch().Protocol, 'S');
    EXPECT_EQ(Ch().NextState, 0);
    EXPECT_EQ(AllSent(srv), "EHLO client.example\r\n");
}

TEST_F(SmtpSessionTest, FourHundredGreetingIsStillAGreeting) {
    zt::ScriptServer srv({zt::Send("421 busy, try later\r\n"), zt::Expect("HELO client.example"),
                          zt::Reply("250 mail.test")});
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(3000));
}

TEST_F(SmtpSessionTest, GreetingThatNeverComesTimesOut) {
    OpenLog();
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 400);
    zt::ScriptServer srv({zt::Never()});
    auto t0 = Clock::now();
    EXPECT_EQ(Connect(srv), ZEM_ERR_TIMED_OUT);
    long ms = MsSince(t0);
    EXPECT_GE(ms, 400);
    EXPECT_LT(ms, 5000);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_LAST_SOCK_CODE), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT); // the socket is closed
    // The error record, its text without a line end, then the close.
    std::regex record(R"(ERROR\(-?\d+\): SockCode=0 ZemCode=-8 PrevState=201 ThisState=-1 NextState=201\r\n)"
                      R"(Socket timed out\.Closing socket\r\n)");
    std::string log = Log();
    EXPECT_TRUE(std::regex_search(log, record)) << log;
}

TEST_F(SmtpSessionTest, RefusedPortWithNonBlockingConnect) {
    OpenLog();
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, zt::UnusedPort());
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", kFrom, nullptr), ZEM_ERR_CONNECT);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_LAST_SOCK_CODE), 0);
    std::regex record(R"(ERROR\(-?\d+\): SockCode=0 ZemCode=-36 PrevState=10[56] ThisState=106 NextState=106\r\n)"
                      R"(Error attempting to connect\. Closing socket\r\n)");
    std::string log = Log();
    EXPECT_TRUE(std::regex_search(log, record)) << log;
}

TEST_F(SmtpSessionTest, RefusedPortWithBlockingConnect) {
    OpenLog();
    zemIntegerParam(0, ZEM_PARAM_BLOCKING_CONNECT, 1);
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, zt::UnusedPort());
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", kFrom, nullptr), ZEM_ERR_CONNECT);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_LAST_SOCK_CODE), ZEM_SOCK_CONN_REFUSED);
    std::regex record(R"(ERROR\(-?\d+\): SockCode=-10061 ZemCode=-36 PrevState=104 ThisState=105 NextState=105\r\n)"
                      R"(Error attempting to connect\. Connection refused by remote host\.Closing socket\r\n)");
    std::string log = Log();
    EXPECT_TRUE(std::regex_search(log, record)) << log;
}

TEST_F(SmtpSessionTest, UnknownHostFailsWithTheLookupsCode) {
    OpenLog();
    // A label of more than 63 characters is no DNS name: the resolver refuses it without
    // asking any name server, so the test sends nothing beyond the loopback.
    const std::string host = std::string(70, 'x') + ".example";
    EXPECT_EQ(zemSmtpConnect(0, host.c_str(), kFrom, nullptr), ZEM_ERR_NO_SERVER);
    int32_t code = zemStatistics(0, ZEM_STAT_LAST_SOCK_CODE);
    EXPECT_TRUE(code == ZEM_SOCK_HOST_NOT_FOUND || code == ZEM_SOCK_TRY_AGAIN || code == ZEM_SOCK_NO_RECOVERY ||
                code == ZEM_SOCK_NO_DATA)
        << code;
    std::string log = Log();
    std::string head = "SockCode=" + std::to_string(code) + " ZemCode=-46 PrevState=101 ThisState=104 NextState=104\r\n" +
                       "Cannot find SMTP/POP3 server.";
    EXPECT_NE(log.find(head), std::string::npos) << log;
    EXPECT_NE(log.find("Server = '" + host + "'\r\n"), std::string::npos);
    EXPECT_EQ(log.find("ServerIP"), std::string::npos);
}

TEST_F(SmtpSessionTest, AddressFollowedByANameIsResolvedNotConnected) {
    OpenLog();
    // A server listens at 127.0.0.1: a name that only begins with that address must not
    // reach it. "invalid" names never exist (RFC 6761), so nothing leaves the loopback.
    zt::ScriptServer srv({zt::Send("220 mail.test ESMTP\r\n")});
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port());
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1.invalid", kFrom, nullptr), ZEM_ERR_NO_SERVER);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_LAST_SOCK_CODE), ZEM_SOCK_HOST_NOT_FOUND);
    EXPECT_EQ(srv.accepted(), 0);
    EXPECT_EQ(Log().find("ServerIP"), std::string::npos) << Log();
}

TEST_F(SmtpSessionTest, RefusedEhloOrHeloFailsTheConnect) {
    struct Case {
        const char *reply;
        const char *lastLine;
    };
    const Case cases[] = {
        {"550 not here\r\n", "550 not here\r\n"},
        {"421 try again later\r\n", "421 try again later\r\n"}, // 4xx refuses the session for now
        {"554-first line\r\n554 last line\r\n", "554 last line\r\n"},
        {"451-temporary\r\n451 failure\r\n", "451 failure\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply);
        zt::ScriptServer srv({zt::Send("220 mail.test\r\n"), zt::Expect("HELO client.example"), zt::Send(c.reply)});
        EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
        EXPECT_TRUE(srv.Finish(3000));
        EXPECT_STREQ(Ch().LastReply, c.lastLine);
        EXPECT_EQ(std::string(Ch().ReplyBuffer), c.reply);
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
        EXPECT_TRUE(srv.WaitDisconnected(3000));
        // The error text carries the server's refusal.
        char text[300];
        zemErrorText(0, ZEM_ERR_SMTP, text, sizeof text);
        EXPECT_EQ(std::string(text), std::string("SMTP returned error. ") + c.reply);
    }
}

TEST_F(SmtpSessionTest, MultiLineEhloReplies) {
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    {
        SCOPED_TRACE("all lines at once");
        const std::string reply = "250-mail.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n";
        zt::ScriptServer srv({zt::Send("220 mail.test\r\n"), zt::Expect("EHLO client.example"), zt::Send(reply)});
        EXPECT_EQ(Connect(srv), 0);
        EXPECT_EQ(std::string(Ch().ReplyBuffer), reply);
        EXPECT_STREQ(Ch().LastReply, "250 8BITMIME\r\n");
    }
    {
        SCOPED_TRACE("second line late, within the reply time-out");
        zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 5000);
        zt::ScriptServer srv({zt::Send("220 mail.test\r\n"), zt::Expect("EHLO client.example"),
                              zt::SendChunks({"250-mail.test\r\n", "250 HELP\r\n"}, 700)});
        auto t0 = Clock::now();
        EXPECT_EQ(Connect(srv), 0);
        EXPECT_GE(MsSince(t0), 600);
        EXPECT_STREQ(Ch().ReplyBuffer, "250-mail.test\r\n250 HELP\r\n");
    }
    {
        SCOPED_TRACE("second line never comes");
        zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 400);
        zt::ScriptServer srv({zt::Send("220 mail.test\r\n"), zt::Expect("EHLO client.example"),
                              zt::Send("250-mail.test\r\n"), zt::Never()});
        auto t0 = Clock::now();
        EXPECT_EQ(Connect(srv), ZEM_ERR_TIMED_OUT);
        long ms = MsSince(t0);
        EXPECT_GE(ms, 400);
        EXPECT_LT(ms, 5000);
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    }
    {
        SCOPED_TRACE("continuation lines over 1,024 bytes");
        zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 25000);
        std::string lines;
        for (int i = 0; i < 12; ++i) lines += "250-EXTENSION-" + std::to_string(i) + "-" + std::string(90, 'e') + "\r\n";
        lines += "250 HELP\r\n";
        ASSERT_GT(lines.size(), 1024u);
        zt::ScriptServer srv({zt::Send("220 mail.test\r\n"), zt::Expect("EHLO client.example"), zt::Send(lines)});
        EXPECT_EQ(Connect(srv), ZEM_ERR_RESPONSE_OVERFLOW);
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    }
}

TEST_F(SmtpSessionTest, ConnectionThatClosesBeforeOrDuringAReplyFails) {
    OpenLog();
    {
        SCOPED_TRACE("closed before the greeting");
        zt::ScriptServer srv({zt::Close()});
        EXPECT_EQ(Connect(srv), ZEM_ERR_SOCKET_CLOSED);
        std::regex record(R"(SockCode=0 ZemCode=-1 PrevState=(106|201) ThisState=201 NextState=201\r\n)"
                          R"(Socket has been closed\.Closing socket\r\n)");
        std::string log = Log();
        EXPECT_TRUE(std::regex_search(log, record)) << log;
    }
    {
        SCOPED_TRACE("closed in the middle of the EHLO reply");
        zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
        zt::ScriptServer srv({zt::Send("220 mail.test\r\n"), zt::Expect("EHLO client.example"),
                              zt::Send("250-mail.test\r\n"), zt::Close()});
        EXPECT_EQ(Connect(srv), ZEM_ERR_SOCKET_CLOSED);
        EXPECT_STREQ(Ch().LastReply, "250-mail.test\r\n");
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    }
}

TEST_F(SmtpSessionTest, VerifyGoesThroughTheWholeList) {
    zt::ScriptServer srv(Greeted("HELO client.example",
                                 {zt::Expect("VRFY <a@d.example>"), zt::Send("550-no such user\r\n550 really not\r\n"),
                                  zt::Expect("VRFY Bee <b@d.example>"), zt::Reply("251 will forward"),
                                  zt::Expect("VRFY <c@d.example>"), zt::Reply("250 c@d.example"),
                                  // second list: the last verdict decides
                                  zt::Expect("VRFY <c@d.example>"), zt::Reply("250 ok"),
                                  zt::Expect("VRFY <d@d.example>"), zt::Reply("252 cannot verify"),
                                  // third list, other separator, one refused item
                                  zt::Expect("VRFY <e@d.example>"), zt::Reply("550 unknown")}));
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemVerifyUser(0, "<a@d.example>,Bee <b@d.example>,<c@d.example>"), 1);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_VERIFY_RESULT), 1);
    EXPECT_EQ(zemVerifyUser(0, "<c@d.example>,<d@d.example>"), 0); // 252 counts as 0
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_VERIFY_RESULT), 0);
    zemIntegerParam(0, ZEM_PARAM_RECIPIENT_SEP, ';');
    EXPECT_EQ(zemVerifyUser(0, "<e@d.example>"), 0);
    EXPECT_TRUE(srv.Finish(3000)) << (srv.errors().empty() ? "" : srv.errors()[0]);
    // A refusal does not end the request: the connection stays usable.
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), 1);
    EXPECT_EQ(zemVerifyUser(0, ""), ZEM_ERR_NO_RECIPIENT);
    EXPECT_EQ(zemVerifyUser(0, nullptr), ZEM_ERR_NO_RECIPIENT);
    EXPECT_EQ(AllSent(srv), "HELO client.example\r\nVRFY <a@d.example>\r\nVRFY Bee <b@d.example>\r\n"
                            "VRFY <c@d.example>\r\nVRFY <c@d.example>\r\nVRFY <d@d.example>\r\nVRFY <e@d.example>\r\n");
}

TEST_F(SmtpSessionTest, VerifyNeedsAnSmtpChannel) {
    EXPECT_EQ(zemVerifyUser(1, "<a@d.example>"), ZEM_ERR_SMTP_ONLY);
    EXPECT_EQ(zemVerifyUser(-1, "<a@d.example>"), ZEM_ERR_CHANNEL_RANGE);
}

TEST_F(SmtpSessionTest, LineEndsInCallerTextsAreRefusedBeforeAnythingIsSent) {
    zt::ScriptServer unused({zt::Send("220 mail.test\r\n")});
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, unused.port());
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", "<a@b.example>\r\nRCPT TO:<x@y.example>", nullptr), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", "<a@b.ex\nample>", nullptr), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", "<a@b.ex\rample>", nullptr), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(Ch().NextState, 0);
    usleep(200 * 1000);
    EXPECT_EQ(unused.accepted(), 0); // no connection was even attempted

    zt::ScriptServer srv(Greeted("HELO client.example"));
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemVerifyUser(0, "<a@d.example>,<b@d.example>\r\nDATA"), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(zemVerifyUser(0, "<a@d.example\n>"), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(AllSent(srv), "HELO client.example\r\n");
}

TEST_F(SmtpSessionTest, ArgumentChecksComeBeforeTheConnection) {
    EXPECT_EQ(zemSmtpConnect(0, nullptr, kFrom, nullptr), ZEM_ERR_SERVER_MISSING);
    EXPECT_EQ(Ch().Protocol, 'S'); // marked before the checks
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", nullptr, nullptr), ZEM_ERR_FROM_NULL);
    EXPECT_EQ(zemSmtpConnect(0, "mail<x>", kFrom, nullptr), ZEM_ERR_BAD_SERVER_NAME);
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", "", nullptr), ZEM_ERR_EMPTY_ADDRESS);
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", "user@d.example", nullptr), ZEM_ERR_MISSING_LT);
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", "user@d.example> <", nullptr), ZEM_ERR_MISSING_GT);
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", "<user@d.example", "<reply@d.example>"), ZEM_ERR_MISSING_GT);
    // The server name and the Reply-To address stay changed after a failed sender check.
    EXPECT_STREQ(Ch().ServerName, "127.0.0.1");
    EXPECT_STREQ(Ch().ReplyToAddress, "<reply@d.example>");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_STEP_COUNT), 0);
}

} // namespace
