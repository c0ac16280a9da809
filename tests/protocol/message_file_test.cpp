// zemSendMessageFile against the scripted loopback server: the envelope, the file sent as
// it stands with dot-stuffing and CR LF line ends, the argument checks and failures.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "lib_fixture.h"
#include "script_server.h"
#include "zem32.h"

namespace {

using Lines = std::vector<std::string>;

zt::Script Greeting() {
    return {zt::Send("220 mail.test ESMTP\r\n"), zt::Expect("HELO zem.test"), zt::Reply("250 mail.test")};
}

zt::Script Envelope(const Lines &rcpts) {
    zt::Script s = Greeting();
    s.push_back(zt::Expect("MAIL FROM:<me@zem.test>"));
    s.push_back(zt::Reply("250 ok"));
    for (const std::string &r : rcpts) {
        s.push_back(zt::Expect("RCPT TO:" + r));
        s.push_back(zt::Reply("250 ok"));
    }
    return s;
}

// A server that takes the message and the QUIT.
zt::Script Accepting(const Lines &rcpts, bool record = true) {
    zt::Script s = Envelope(rcpts);
    for (zt::Step st : {zt::Expect("DATA"), zt::Reply("354 go ahead"), zt::ExpectData(record), zt::Reply("250 queued"),
                        zt::Expect("QUIT"), zt::Reply("221 bye")})
        s.push_back(st);
    return s;
}

class MessageFileTest : public zt::LibTest {
  protected:
    void Connect(const zt::ScriptServer &srv) {
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port()), 1);
        ASSERT_EQ(zemSmtpConnect(0, "127.0.0.1", "<me@zem.test>", ""), 0);
    }
    std::string File(const std::string &bytes) {
        std::string path = dir_ + "/message-" + std::to_string(++files_) + ".eml";
        zt::WriteFile(path, bytes);
        return path;
    }
    // Sends `bytes` as a message file to <a@x.test>; returns what the server received
    // between the DATA reply and the final ".\r\n".
    std::string SendAndReceive(const std::string &bytes) {
        zt::ScriptServer srv(Accepting({"<a@x.test>"}));
        Connect(srv);
        EXPECT_EQ(zemSendMessageFile(0, "<a@x.test>", nullptr, nullptr, File(bytes).c_str()), 0);
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
        return srv.data();
    }
    std::string dir_ = zt::TempDir();
    int files_ = 0;
};

TEST_F(MessageFileTest, FileIsSentAsItStandsWithTransparencyAndCrLf) {
    // CR LF kept, a lone LF and a lone CR become CR LF, every line that starts with '.'
    // (a lone "." and ".." included) gets one more.
    EXPECT_EQ(SendAndReceive("Subject: x\r\nBcc: <kept@x.test>\r\n\r\nbody\n.\n..two\r.start\r\nend\r\n"),
              "Subject: x\r\nBcc: <kept@x.test>\r\n\r\nbody\r\n..\r\n...two\r\n..start\r\nend\r\n");
}

TEST_F(MessageFileTest, LastLineWithoutLineEndGetsOne) {
    EXPECT_EQ(SendAndReceive("Subject: x\r\n\r\nno end"), "Subject: x\r\n\r\nno end\r\n");
    // A last line that is a lone '.' is stuffed and ended too.
    EXPECT_EQ(SendAndReceive("Subject: y\n\n."), "Subject: y\r\n\r\n..\r\n");
}

TEST_F(MessageFileTest, CrLfSplitAcrossPiecesStaysOneLineEnd) {
    // A CR at the end of one piece read and its LF at the start of the next (pieces of
    // 1,024 bytes) make one line end, and the dot after them is still at a line start.
    std::string head = "Subject: z\r\n\r\n";
    std::string line(1024 - head.size() - 1, 'a');
    std::string in = head + line + "\r\n.dot\r\n";
    std::string want = head + line + "\r\n..dot\r\n";
    EXPECT_EQ(SendAndReceive(in), want);
}

TEST_F(MessageFileTest, EnvelopeTakesEveryListAndTheFileDecidesTheHeader) {
    zt::ScriptServer srv(Accepting({"<a@x.test>", "<b@x.test>", "<c@x.test>", "<d@x.test>"}));
    Connect(srv);
    std::string path = File("To: <a@x.test>\r\n\r\nhi\r\n");
    ASSERT_EQ(zemSendMessageFile(0, "<a@x.test>,<b@x.test>", "<c@x.test>", "<d@x.test>", path.c_str()), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES), 22);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_BYTES_SENT), 22);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(srv.data(), "To: <a@x.test>\r\n\r\nhi\r\n");
}

TEST_F(MessageFileTest, BlindCopiesAloneMakeAnEnvelope) {
    // No To and no CC: the BCC list leads the envelope.
    zt::ScriptServer srv(Accepting({"<d@x.test>", "<e@x.test>"}));
    Connect(srv);
    std::string path = File("Subject: only bcc\r\n\r\nhi\r\n");
    ASSERT_EQ(zemSendMessageFile(0, "", nullptr, "<d@x.test>,<e@x.test>", path.c_str()), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
}

TEST_F(MessageFileTest, ArgumentsAreCheckedBeforeAnythingIsSent) {
    EXPECT_EQ(zemSendMessageFile(0, "<a@x.test>", nullptr, nullptr, "x"), ZEM_ERR_SMTP_ONLY);
    EXPECT_EQ(zemSendMessageFile(9, "<a@x.test>", nullptr, nullptr, "x"), ZEM_ERR_CHANNEL_RANGE);
    zt::ScriptServer srv(Greeting());
    Connect(srv);
    std::string path = File("Subject: x\r\n\r\nhi\r\n");
    EXPECT_EQ(zemSendMessageFile(0, "<a@x.test>", nullptr, nullptr, nullptr), ZEM_ERR_MISSING_FILENAME);
    EXPECT_EQ(zemSendMessageFile(0, "<a@x.test>", nullptr, nullptr, ""), ZEM_ERR_MISSING_FILENAME);
    EXPECT_EQ(zemSendMessageFile(0, nullptr, "", nullptr, path.c_str()), ZEM_ERR_NO_RECIPIENT);
    EXPECT_EQ(zemSendMessageFile(0, "a@x.test>", nullptr, nullptr, path.c_str()), ZEM_ERR_MISSING_LT);
    // -41 comes through the error path, which closes the connection: connect again.
    zt::ScriptServer srv2(Greeting());
    Connect(srv2);
    EXPECT_EQ(zemSendMessageFile(0, "<a@x.test", nullptr, nullptr, path.c_str()), ZEM_ERR_MISSING_GT);
    EXPECT_EQ(zemSendMessageFile(0, "<a@x.test>", "<b@x.test\r\nRSET>", nullptr, path.c_str()), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(zemSendMessageFile(0, "<a@x.test>", nullptr, nullptr, (dir_ + "/none.eml").c_str()),
              ZEM_ERR_CANNOT_OPEN_FILE);
    EXPECT_EQ(zemAbort(0), 1);
    EXPECT_TRUE(srv2.WaitDisconnected(5000));
    // Only the greeting and HELO were exchanged: no MAIL FROM went out.
    EXPECT_EQ(srv2.received().find("MAIL"), std::string::npos);
}

TEST_F(MessageFileTest, RefusedRecipientEndsTheSendAndALaterSendEmailComposesAgain) {
    zt::Script s = Envelope({});
    for (zt::Step st : {zt::Expect("RCPT TO:<a@x.test>"), zt::Reply("550 no such user")}) s.push_back(st);
    zt::ScriptServer srv(s);
    Connect(srv);
    std::string path = File("Subject: x\r\n\r\nhi\r\n");
    EXPECT_EQ(zemSendMessageFile(0, "<a@x.test>", nullptr, nullptr, path.c_str()), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(5000));

    // zemSendEmail on the same channel composes its own message again after DATA.
    zt::ScriptServer srv2(Accepting({"<a@x.test>"}));
    Connect(srv2);
    ASSERT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "Hello", "text", nullptr), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv2.Finish(5000));
    EXPECT_NE(srv2.data().find("X-Mailer: "), std::string::npos);
    EXPECT_NE(srv2.data().find("Subject: Hello\r\n"), std::string::npos);
}

TEST_F(MessageFileTest, NonBlockingSendRunsThroughTheDriver) {
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Connect(srv);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0), 1);
    std::string path = File("Subject: nb\r\n\r\n.hi\r\n");
    ASSERT_EQ(zemSendMessageFile(0, "<a@x.test>", nullptr, nullptr, path.c_str()), 0);
    // Steps until the machine ends, sleeping in zemWaitAny between them: a count of
    // steps alone would end early on a machine where the server answers slowly.
    int32_t r = 1;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (r > 0 && std::chrono::steady_clock::now() < until) {
        r = zemDriver(0);
        if (r > 0) zemWaitAny(50);
    }
    EXPECT_EQ(r, 0);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1), 1);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_EQ(srv.data(), "Subject: nb\r\n\r\n..hi\r\n");
}

TEST_F(MessageFileTest, TenMegabyteFileArrivesWhole) {
    // 10 MB of 100-byte lines, every tenth starting with '.': counted on arrival.
    std::string line(98, 'x');
    std::string body = "Subject: big\r\n\r\n";
    for (int i = 0; i < 100000; ++i) body += (i % 10 == 0 ? "." + line.substr(1) : line) + "\r\n";
    zt::ScriptServer srv(Accepting({"<a@x.test>"}, true));
    Connect(srv);
    std::string path = File(body);
    ASSERT_EQ(zemSendMessageFile(0, "<a@x.test>", nullptr, nullptr, path.c_str()), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES), static_cast<int32_t>(body.size()));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES_SENT), static_cast<int32_t>(body.size() + 10000));
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(10000));
    std::string got = srv.data();
    ASSERT_EQ(got.size(), body.size() + 10000);
    EXPECT_EQ(got.substr(0, 16), "Subject: big\r\n\r\n");
    EXPECT_EQ(got.substr(16, 101), ".." + line.substr(1) + "\r\n");
}

} // namespace
