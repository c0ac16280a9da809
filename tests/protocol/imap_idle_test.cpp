// zemImapIdle against the scripted server: IDLE ends at the first change with the new
// count, or at the caller's time with 0; NOOP polling where IDLE is not offered; and the
// same wait driven by zemWaitAny and zemDriver.
#include <gtest/gtest.h>

#include <string>

#include "lib_fixture.h"
#include "script_server.h"
#include "test_data.h"
#include "zem32.h"

namespace {

using zt::Expect;
using zt::Pause;
using zt::Reply;
using zt::Send;

// Login (PLAIN with SASL-IR: base64 of "\0u\0p") and SELECT of a mailbox of 3 messages,
// then the test's own steps.
zt::Script Selected(const std::string &caps, const zt::Script &rest) {
    zt::Script s = {Send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN " + caps + "] ready\r\n"),
                    Expect("Z0001 AUTHENTICATE PLAIN AHUAcA=="), Reply("Z0001 OK [CAPABILITY IMAP4rev1 " + caps + "] in"),
                    Expect("Z0002 SELECT INBOX"), Reply("* 3 EXISTS\r\nZ0002 OK [READ-WRITE] selected")};
    s.insert(s.end(), rest.begin(), rest.end());
    return s;
}

class ImapIdleTest : public zt::LibTest {
  protected:
    void Connect(const zt::ScriptServer &srv) {
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_IMAP_PORT, srv.port()), 1);
        ASSERT_EQ(zemImapConnect(0, "127.0.0.1", "u", "p"), 0);
        ASSERT_EQ(zemImapSelect(0, "INBOX", 0), 3);
    }
};

TEST_F(ImapIdleTest, EndsAtTheFirstChangeOrAtTheCallersTime) {
    zt::ScriptServer srv(Selected("IDLE", {Expect("Z0003 IDLE"), Reply("+ idling"), Pause(200),
                                           Send("* OK Still here\r\n"), Pause(200), Send("* 4 EXISTS\r\n"),
                                           Expect("DONE"), Reply("Z0003 OK Idle completed"),
                                           Expect("Z0004 IDLE"), Reply("+ idling"), Expect("DONE", 3000),
                                           Reply("Z0004 OK Idle completed")}));
    Connect(srv);
    auto t0 = zt::Clock::now();
    EXPECT_EQ(zemImapIdle(0, 10000), 4);
    EXPECT_GE(zt::MsSince(t0), 350) << "the keep-alive line is no change";
    EXPECT_LT(zt::MsSince(t0), 2500) << "DONE goes as the change comes";
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_EXISTS), 4);
    t0 = zt::Clock::now();
    EXPECT_EQ(zemImapIdle(0, 300), 0);
    EXPECT_GE(zt::MsSince(t0), 290);
    EXPECT_LT(zt::MsSince(t0), 2500);
}

TEST_F(ImapIdleTest, WithoutIdleNoopPollsAtTheLibraryInterval) {
    zt::ScriptServer srv(Selected("", {Expect("Z0003 NOOP"), Reply("Z0003 OK nothing"), Expect("Z0004 NOOP"),
                                       Reply("* 2 EXPUNGE\r\nZ0004 OK done")}));
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_IDLE_POLL, 150), 1);
    Connect(srv);
    const auto t0 = zt::Clock::now();
    EXPECT_EQ(zemImapIdle(0, 10000), 2);
    EXPECT_GE(zt::MsSince(t0), 140);
}

TEST_F(ImapIdleTest, NonBlockingIdleWaitsInZemWaitAny) {
    zt::ScriptServer srv(Selected("IDLE", {Expect("Z0003 IDLE"), Reply("+ idling"), Pause(300),
                                           Send("* 1 FETCH (FLAGS (\\Seen))\r\n"), Expect("DONE"),
                                           Reply("Z0003 OK done")}));
    Connect(srv);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0), 1);
    ASSERT_EQ(zemImapIdle(0, 10000), 0);
    int32_t r = 1;
    int waits = 0;
    for (int i = 0; i < 10000 && r > 0; ++i) {
        if (zemStatistics(0, ZEM_STAT_WAIT_READINESS) != 0) ++waits;
        zemWaitAny(1000);
        r = zemDriver(0);
    }
    EXPECT_EQ(r, 0);
    EXPECT_GT(waits, 0) << "the idle wait is the socket's";
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_IDLE_RESULT), 3);
}

} // namespace
