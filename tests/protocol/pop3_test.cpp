// The POP3 session against the scripted loopback server: login (USER/PASS and APOP), the
// mailbox queries STAT, LIST and UIDL, DELE and zemCommand, byte for byte on the wire.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"
#include "test_data.h"
#include "zem32.h"

namespace {

using zt::MsSince;

using zt::Expect;
using zt::Reply;
using zt::Send;

using zt::Clock;

// MD5 hex of a text, computed outside the library by Python's hashlib.
std::string PythonMd5(const std::string &text) {
    std::string cmd = std::string(ZEM_PYTHON) +
                      " -c \"import hashlib,sys; print(hashlib.md5(sys.argv[1].encode('latin-1')).hexdigest())\" '" + text +
                      "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return "";
    char buf[64] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, p);
    pclose(p);
    std::string out(buf, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// The login every mailbox test starts with, followed by the test's own steps.
zt::Script LoggedIn(const zt::Script &rest) {
    zt::Script s = {Send("+OK POP3 server ready\r\n"), Expect("USER u"), Reply("+OK"), Expect("PASS p"),
                    Reply("+OK maildrop locked")};
    s.insert(s.end(), rest.begin(), rest.end());
    return s;
}

class Pop3Test : public zt::LibTest {
  protected:
    void Connect(const zt::ScriptServer &srv, int chan = 0) {
        ASSERT_EQ(zemIntegerParam(chan, ZEM_PARAM_POP3_PORT, srv.port()), 1);
        ASSERT_EQ(zemPop3Connect(chan, "127.0.0.1", "u", "p"), 0);
    }
    static zem::Channel &Chan(int i) { return *zem::gChannelTable[i].ChannelPtr; }
    static std::string LastReply(int chan = 0) {
        char buf[200];
        int32_t n = zemDebug(chan, ZEM_DEBUG_LAST_REPLY, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
};

// ---- Arguments --------------------------------------------------------------------------

TEST_F(Pop3Test, ConnectChecksItsArgumentsInOrderAndMarksTheChannelFirst) {
    zt::ScriptServer srv({Send("+OK\r\n")});
    zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
    EXPECT_EQ(zemPop3Connect(4, "127.0.0.1", "u", "p"), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemPop3Connect(0, nullptr, nullptr, nullptr), ZEM_ERR_SERVER_MISSING);
    EXPECT_EQ(Chan(0).Protocol, 'P');
    EXPECT_EQ(zemPop3Connect(0, "bad<name", nullptr, nullptr), ZEM_ERR_USER_MISSING);
    EXPECT_EQ(zemPop3Connect(0, "bad<name", "u", nullptr), ZEM_ERR_PASSWORD_MISSING);
    EXPECT_EQ(zemPop3Connect(0, "bad<name", "u", "p"), ZEM_ERR_BAD_SERVER_NAME);
    // A line end in a name could start a second command: refused before anything is sent.
    EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "u\r\nDELE 1", "p"), ZEM_ERR_USER_MISSING);
    EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "u\n", "p"), ZEM_ERR_USER_MISSING);
    EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p\rQUIT"), ZEM_ERR_PASSWORD_MISSING);
    EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p\n"), ZEM_ERR_PASSWORD_MISSING);
    EXPECT_EQ(srv.accepted(), 0);
    // Marked 'P' by the refused calls: the mailbox request is no longer refused with -59
    // but fails on the missing connection.
    EXPECT_EQ(zemGetEmailCount(0), ZEM_ERR_WRITE);
}

TEST_F(Pop3Test, MailboxRequestsRefuseOtherChannelsAndBadArguments) {
    char buf[200];
    EXPECT_EQ(zemGetEmailCount(1), ZEM_ERR_POP3_ONLY);
    EXPECT_EQ(zemGetEmailSize(1, 1), ZEM_ERR_POP3_ONLY);
    EXPECT_EQ(zemGetEmailUID(1, 1, buf, sizeof buf), ZEM_ERR_POP3_ONLY);
    EXPECT_EQ(zemDeleteEmail(1, 1), ZEM_ERR_POP3_ONLY);
    EXPECT_EQ(zemGetEmailCount(9), ZEM_ERR_CHANNEL_RANGE);
    Chan(1).Protocol = 'P';
    EXPECT_EQ(zemGetEmailSize(1, 0), ZEM_ERR_NO_SUCH_MESSAGE);
    EXPECT_EQ(zemGetEmailSize(1, -3), ZEM_ERR_NO_SUCH_MESSAGE);
    EXPECT_EQ(zemDeleteEmail(1, 0), ZEM_ERR_NO_SUCH_MESSAGE);
    EXPECT_EQ(zemGetEmailUID(1, 1, nullptr, 200), ZEM_ERR_BUFFER_NULL);
    EXPECT_EQ(zemGetEmailUID(1, 1, buf, 127), ZEM_ERR_BUFFER_SIZE);
    EXPECT_EQ(zemCommand(1, nullptr), ZEM_ERR_NULL_POINTER);
    // A channel that was never connected has no protocol to speak.
    EXPECT_EQ(zemCommand(2, "NOOP"), ZEM_ERR_BAD_SERVER_NAME);
    zemRelease();
    EXPECT_EQ(zemGetEmailCount(0), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemPop3Connect(0, "h", "u", "p"), ZEM_ERR_NOT_ATTACHED);
    ASSERT_EQ(zemAttach(4, 0), 1);
}

// ---- Login ------------------------------------------------------------------------------

TEST_F(Pop3Test, UserAndPassLinesGoOutAsTyped) {
    const std::string user70(70, 'a');
    const std::string user64(64, 'a');
    zt::ScriptServer srv({Send("+OK ready\r\n"), Expect("USER " + user64), Reply("+OK"), Expect("PASS secret word"),
                          Reply("+OK")});
    zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
    EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", user70.c_str(), "secret word"), 0);
    EXPECT_TRUE(srv.Finish(2000));
    EXPECT_EQ(srv.received(), "USER " + user64 + "\r\nPASS secret word\r\n");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 100);
    EXPECT_EQ(Chan(0).Protocol, 'P');
}

TEST_F(Pop3Test, ApopSendsTheDigestOfTimestampAndPassword) {
    // The example exchange of RFC 1939 section 7 (its printed digest is not the MD5 of its
    // own text, so the digest comes from an independent MD5).
    const std::string digest = PythonMd5("<1896.697170952@dbc.mimecast.com>tanstaafl");
    ASSERT_EQ(digest, "f010a0385afdbf2ff0bc21cfff443387");
    zt::ScriptServer srv({Send("+OK POP3 server ready <1896.697170952@dbc.mimecast.com>\r\n"),
                          Expect("APOP mrose " + digest), Reply("+OK maildrop has 1 message")});
    zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
    zemIntegerParam(0, ZEM_PARAM_USE_APOP, 1);
    EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "mrose", "tanstaafl"), 0);
    EXPECT_TRUE(srv.Finish(2000));
    for (const auto &e : srv.errors()) ADD_FAILURE() << e;
}

TEST_F(Pop3Test, ApopUsesOnlyTheFirstBracketedTimestampAndFitsTheWorkArea) {
    // Timestamp and password together fill the 131 characters the work area holds.
    const std::string stamp = "<" + std::string(78, 's') + ">"; // 80 characters
    const std::string password(51, 'k');
    const std::string digest = PythonMd5(stamp + password);
    ASSERT_EQ(digest.size(), 32u);
    zt::ScriptServer srv({Send("+OK hello " + stamp + " and <other>\r\n"), Expect("APOP someone " + digest), Reply("+OK")});
    zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
    zemIntegerParam(0, ZEM_PARAM_USE_APOP, 1);
    EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "someone", password.c_str()), 0);
    EXPECT_TRUE(srv.Finish(2000));
    for (const auto &e : srv.errors()) ADD_FAILURE() << e;
}

TEST_F(Pop3Test, ApopWithoutAUsableTimestampFailsWith57) {
    const char *greetings[] = {
        "+OK no timestamp here\r\n",
        "+OK half <1896.697170952@dbc\r\n",
    };
    for (const char *g : greetings) {
        zt::ScriptServer srv({Send(g)});
        zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
        zemIntegerParam(0, ZEM_PARAM_USE_APOP, 1);
        EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), ZEM_ERR_APOP_TIMESTAMP) << g;
        EXPECT_TRUE(srv.WaitDisconnected(3000));
        EXPECT_EQ(srv.received(), "") << "nothing may be sent after the greeting";
    }
    // One character more than the work area takes, timestamp and password together.
    const std::string stamp = "<" + std::string(78, 's') + ">";
    zt::ScriptServer srv({Send("+OK " + stamp + "\r\n")});
    zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
    zemIntegerParam(0, ZEM_PARAM_USE_APOP, 1);
    EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "u", std::string(52, 'k').c_str()), ZEM_ERR_APOP_TIMESTAMP);
    EXPECT_TRUE(srv.WaitDisconnected(3000));
    EXPECT_EQ(srv.received(), "");
}

TEST_F(Pop3Test, RefusedGreetingOrPasswordEndsWith63AndKeepsTheLine) {
    {
        zt::ScriptServer srv({Send("-ERR too busy\r\n")});
        zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
        EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), ZEM_ERR_POP3);
        EXPECT_EQ(LastReply(), "-ERR too busy");
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 500);
        EXPECT_TRUE(srv.WaitDisconnected(3000));
        EXPECT_EQ(srv.received(), "");
    }
    {
        zt::ScriptServer srv({Send("+OK\r\n"), Expect("USER u"), Reply("+OK"), Expect("PASS p"), Reply("-ERR invalid password")});
        zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
        EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), ZEM_ERR_POP3);
        EXPECT_EQ(LastReply(), "-ERR invalid password");
    }
}

TEST_F(Pop3Test, ServerThatClosesBeforeAStatusLineFailsWithMinus1) {
    {
        zt::ScriptServer srv({zt::Close()});
        zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
        EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), ZEM_ERR_SOCKET_CLOSED);
    }
    {
        zt::ScriptServer srv({Send("+OK\r\n"), Expect("USER u"), zt::Close()});
        zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
        EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), ZEM_ERR_SOCKET_CLOSED);
    }
}

// ---- STAT, LIST, DELE ---------------------------------------------------------------------

TEST_F(Pop3Test, StatReadsTheCountAndRefusalsGiveZero) {
    zt::ScriptServer srv(LoggedIn({Expect("STAT"), Reply("+OK 3 1200"), Expect("STAT"), Reply("+OK"), Expect("STAT"),
                                   Reply("-ERR not now"), Expect("STAT"), Reply("+OK 12345678 9")}));
    Connect(srv);
    EXPECT_EQ(zemGetEmailCount(0), 3);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_MESSAGE_COUNT), 3);
    EXPECT_EQ(zemGetEmailCount(0), 0);
    // A refusal is not a failure: 0, ReplyCode 500, the connection kept.
    EXPECT_EQ(zemGetEmailCount(0), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 500);
    EXPECT_EQ(zemGetEmailCount(0), 12345678);
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(Pop3Test, ListReadsTheSizeAfterTheSecondSpace) {
    zt::ScriptServer srv(LoggedIn({Expect("LIST 2"), Reply("+OK 2 4711"), Expect("LIST 7"), Reply("+OK 7"),
                                   Expect("LIST 9"), Reply("-ERR no such message"), Expect("LIST 1"), Reply("+OK 1 120")}));
    Connect(srv);
    EXPECT_EQ(zemGetEmailSize(0, 2), 4711);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_MESSAGE_SIZE), 4711);
    EXPECT_EQ(zemGetEmailSize(0, 7), 0);
    EXPECT_EQ(zemGetEmailSize(0, 9), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 500);
    EXPECT_EQ(zemGetEmailSize(0, 1), 120);
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(Pop3Test, DeleteReportsNoRefusalButAVanishedServer) {
    zt::ScriptServer srv(LoggedIn({Expect("DELE 2"), Reply("+OK message 2 deleted"), Expect("DELE 3"),
                                   Reply("-ERR message 3 already deleted"), Expect("STAT"), Reply("+OK 1 10"),
                                   Expect("DELE 1"), zt::Close()}));
    Connect(srv);
    EXPECT_EQ(zemDeleteEmail(0, 2), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 100);
    EXPECT_EQ(zemDeleteEmail(0, 3), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 500);
    EXPECT_EQ(zemGetEmailCount(0), 1) << "the refusal left the connection usable";
    EXPECT_EQ(zemDeleteEmail(0, 1), ZEM_ERR_SOCKET_CLOSED);
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(Pop3Test, EntryLinesNameEachRequest) {
    const std::string dir = zt::TempDir();
    const std::string log = dir + "/chan0.log";
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log.c_str()), 0);
    zt::ScriptServer srv(LoggedIn({Expect("DELE 1"), Reply("+OK"), Expect("STAT"), Reply("+OK 0 0"), Expect("LIST 1"),
                                   Reply("+OK 1 5")}));
    Connect(srv);
    EXPECT_EQ(zemDeleteEmail(0, 1), 0);
    EXPECT_EQ(zemGetEmailCount(0), 0);
    EXPECT_EQ(zemGetEmailSize(0, 1), 5);
    zemRelease();
    ASSERT_EQ(zemAttach(4, 0), 1);
    const std::string text = zt::ReadFile(log);
    // In this order.
    const char *lines[] = {"*** zemPop3Connect\r\n", "<300:", "ZEM Win32 Version 3.4.2 Build 8\r\n", "<301:",
                           "S: USER u\r\n", "<306:", "*** zemDelete\r\n", "S: DELE 1\r\n",
                           "*** zemGetEmailCount\r\n", "S: STAT\r\n", "*** zemGetEmailSize\r\n", "S: LIST 1\r\n"};
    size_t at = 0;
    for (const char *l : lines) {
        size_t p = text.find(l, at);
        EXPECT_NE(p, std::string::npos) << l;
        if (p != std::string::npos) at = p;
    }
}

TEST_F(Pop3Test, NonBlockingRequestsLeaveTheResultInTheStatistics) {
    zt::ScriptServer srv(LoggedIn({Expect("STAT"), Reply("+OK 4 400"), Expect("LIST 4"), Reply("+OK 4 99")}));
    Connect(srv);
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    EXPECT_EQ(zemGetEmailCount(0), 0);
    int32_t r;
    auto start = Clock::now();
    while ((r = zemDriver(0)) > 0 && MsSince(start) < 5000) {
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_MESSAGE_COUNT), 4);
    EXPECT_EQ(zemGetEmailSize(0, 4), 0);
    while ((r = zemDriver(0)) > 0 && MsSince(start) < 5000) {
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_MESSAGE_SIZE), 99);
}

// ---- UIDL -------------------------------------------------------------------------------

TEST_F(Pop3Test, UidlForOneMessageKeepsTheWholeStatusLine) {
    zt::ScriptServer srv(LoggedIn({Expect("UIDL 3"), Reply("+OK 3 QhdPYR:00WBw1Ph7x7"), Expect("UIDL 9"),
                                   Reply("-ERR no such message")}));
    Connect(srv);
    char buf[256];
    std::memset(buf, 'Z', sizeof buf);
    const std::string line = "+OK 3 QhdPYR:00WBw1Ph7x7\r\n";
    EXPECT_EQ(zemGetEmailUID(0, 3, buf, 128), static_cast<int32_t>(line.size()));
    EXPECT_EQ(std::string(buf), line);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_BUFFER_FILL), static_cast<int32_t>(line.size()));
    // A refusal for one message is its reply: its length, the line in the buffer.
    EXPECT_EQ(zemGetEmailUID(0, 9, buf, 128), 22);
    EXPECT_EQ(std::string(buf), "-ERR no such message\r\n");
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(Pop3Test, UidlListingIsCutAt127BytesAndStillReadToItsEnd) {
    std::string listing = "+OK unique-id listing follows\r\n";
    for (int i = 1; i <= 9; ++i) listing += std::to_string(i) + " whqtswO00WBw418f9t5JxYwZ" + std::to_string(i) + "\r\n";
    ASSERT_GT(listing.size(), 127u);
    zt::ScriptServer srv(LoggedIn({Expect("UIDL"), Send(listing + ".\r\n"), Expect("STAT"), Reply("+OK 9 4000"),
                                   Expect("UIDL"), Send("+OK\r\n1 a\r\n2 b\r\n.\r\n")}));
    Connect(srv);
    char buf[200];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(zemGetEmailUID(0, 0, buf, 128), 127); // 0 asks for the whole listing
    EXPECT_EQ(std::string(buf, 127), listing.substr(0, 127));
    EXPECT_EQ(buf[127], 0);
    EXPECT_EQ(buf[128], 'Z') << "nothing written past the buffer";
    // The rest of the listing was read: the next reply is STAT's own.
    EXPECT_EQ(zemGetEmailCount(0), 9);
    // A negative number asks for the listing too; the end line is not stored.
    EXPECT_EQ(zemGetEmailUID(0, -1, buf, sizeof buf), 15);
    EXPECT_EQ(std::string(buf), "+OK\r\n1 a\r\n2 b\r\n");
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(Pop3Test, RefusedUidlListingEndsAtOnce) {
    zt::ScriptServer srv(LoggedIn({Expect("UIDL"), Reply("-ERR command disabled")}));
    Connect(srv);
    char buf[128];
    auto start = Clock::now();
    EXPECT_EQ(zemGetEmailUID(0, 0, buf, sizeof buf), ZEM_ERR_POP3);
    EXPECT_LT(MsSince(start), 3000) << "no wait for an end line that never comes";
    EXPECT_EQ(LastReply(), "-ERR command disabled");
}

TEST_F(Pop3Test, UidlListingCutOffByTheServerFailsWithMinus1) {
    zt::ScriptServer srv(LoggedIn({Expect("UIDL"), Send("+OK\r\n1 abc\r\n2 de"), zt::Close()}));
    Connect(srv);
    char buf[128];
    EXPECT_EQ(zemGetEmailUID(0, 0, buf, sizeof buf), ZEM_ERR_SOCKET_CLOSED);
}

// ---- zemCommand -------------------------------------------------------------------------

TEST_F(Pop3Test, CommandSendsAtMost32CharactersAndJudgesTheReply) {
    const std::string forty = "NOOP 67890123456789012345678901234567890";
    zt::ScriptServer srv(LoggedIn({Expect(forty.substr(0, 32)), Reply("+OK"), Expect("NOOP"), Reply("+OK fine"),
                                   Expect("NOOP"), Reply("-ERR not fine")}));
    Connect(srv);
    EXPECT_EQ(zemCommand(0, forty.c_str()), 0);
    EXPECT_EQ(std::string(Chan(0).CommandText), forty.substr(0, 32));
    EXPECT_EQ(zemCommand(0, "NOOP"), 0);
    EXPECT_EQ(LastReply(), "+OK fine");
    EXPECT_EQ(zemCommand(0, "NOOP"), ZEM_ERR_POP3);
    EXPECT_EQ(LastReply(), "-ERR not fine");
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(Pop3Test, CommandOnAnSmtpChannelUsesTheSmtpReplyCheck) {
    zt::ScriptServer srv({Send("220 smtp.test ready\r\n"), Expect("HELO example.org"), Reply("250 hello"),
                          Expect("NOOP"), Reply("250 OK"), Expect("XYZZY"), Reply("500 unknown command")});
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port());
    ASSERT_EQ(zemSmtpConnect(0, "127.0.0.1", "<me@example.org>", nullptr), 0);
    EXPECT_EQ(zemCommand(0, "NOOP"), 0);
    EXPECT_EQ(zemCommand(0, "XYZZY"), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(2000));
}

} // namespace
