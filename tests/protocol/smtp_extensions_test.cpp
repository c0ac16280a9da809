// The SMTP service extensions against the scripted server, byte for byte: PIPELINING
// (RFC 2920), per-recipient results, SIZE (RFC 1870), SMTPUTF8 (RFC 6531), 8BITMIME, DSN
// (RFC 3461), AUTH XOAUTH2 and OAUTHBEARER (RFC 7628), and the 334 rule of AUTH LOGIN and
// CRAM-MD5.
#include <string>

#include "outgoing_support.h"

namespace {

using ot::Add;
using ot::B64;

class SmtpExtensionsTest : public ot::OutgoingTest {};

// ---- PIPELINING ---------------------------------------------------------------------------------

const char *const kThree = "<a@x.test>,<b@x.test>";
const char *const kCc = "<c@x.test>";

// The server reads the whole group before it answers a single command: a client that
// waited for the MAIL FROM reply would never send the rest, and the script would fail.
zt::Script PipelinedGroup(const std::string &replies) {
    zt::Script s = ot::Ehlo({"PIPELINING", "8BITMIME"});
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Expect("RCPT TO:<a@x.test>"), zt::Expect("RCPT TO:<b@x.test>"),
            zt::Expect("RCPT TO:<c@x.test>"), zt::Expect("DATA"), zt::Send(replies)});
    return s;
}

TEST_F(SmtpExtensionsTest, PipeliningSendsTheEnvelopeAsOneGroup) {
    zt::Script s = PipelinedGroup("250 sender ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go ahead\r\n");
    ot::AddDataAndQuit(s);
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    ASSERT_EQ(zemSendEmail(0, kThree, kCc, nullptr, "Grouped", "text", nullptr), 0);
    EXPECT_EQ(Ch().Out.Pipelined, 1);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ACCEPTED), 3);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REFUSED), 0);
    // The log shows every line of the group as its own record, then each reply in order.
    const std::string log = Log();
    const std::string group = "S: MAIL FROM:<me@zem.test>\r\nS: RCPT TO:<a@x.test>\r\nS: RCPT TO:<b@x.test>\r\n"
                              "S: RCPT TO:<c@x.test>\r\nS: DATA\r\n<212:";
    EXPECT_NE(log.find(group), std::string::npos) << log;
    EXPECT_NE(log.find("<213:"), std::string::npos);
    EXPECT_NE(log.find("<214:"), std::string::npos);
    EXPECT_EQ(srv.data().substr(0, 12), "Message-ID: ");
}

TEST_F(SmtpExtensionsTest, PipelinedRefusalInTheMiddleEndsTheSend) {
    zt::Script s = PipelinedGroup("250 sender ok\r\n250 ok\r\n550 5.1.1 no such user\r\n250 ok\r\n354 go ahead\r\n");
    Add(s, {zt::WaitClose()});
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, kThree, kCc, nullptr, "Grouped", "text", nullptr), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    // Nothing follows the group: no data, no QUIT, the connection closed.
    EXPECT_EQ(srv.received(), "EHLO zem.test\r\nMAIL FROM:<me@zem.test>\r\nRCPT TO:<a@x.test>\r\nRCPT TO:<b@x.test>\r\n"
                              "RCPT TO:<c@x.test>\r\nDATA\r\n");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ACCEPTED), 1);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REFUSED), 1);
    EXPECT_EQ(Debug(ZEM_DEBUG_REFUSED), "<b@x.test> 550 5.1.1 no such user\r\n");
}

TEST_F(SmtpExtensionsTest, PipelinedRefusalInTheMiddleWithContinuing) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_CONTINUE_PAST_REFUSED, 1), 1);
    zt::Script s = PipelinedGroup("250 sender ok\r\n250 ok\r\n550 5.1.1 no such user\r\n250 ok\r\n354 go ahead\r\n");
    ot::AddDataAndQuit(s);
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, kThree, kCc, nullptr, "Grouped", "text", nullptr), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ACCEPTED), 2);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REFUSED), 1);
    EXPECT_EQ(Debug(ZEM_DEBUG_REFUSED), "<b@x.test> 550 5.1.1 no such user\r\n");
    char last[64];
    zemDebug(0, ZEM_DEBUG_LAST_RECIPIENT, last, sizeof last);
    EXPECT_STREQ(last, "<c@x.test>");
    // The header lines still name every recipient given.
    EXPECT_NE(srv.data().find("To: <a@x.test>,<b@x.test>\r\n"), std::string::npos);
}

TEST_F(SmtpExtensionsTest, PipelinedEveryRecipientRefused) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_CONTINUE_PAST_REFUSED, 1), 1);
    zt::Script s = PipelinedGroup("250 sender ok\r\n550 no\r\n551 no\r\n452 later\r\n554 no valid recipients\r\n");
    Add(s, {zt::WaitClose()});
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, kThree, kCc, nullptr, "Grouped", "text", nullptr), ZEM_ERR_ALL_REFUSED);
    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REFUSED), 3);
    EXPECT_EQ(Debug(ZEM_DEBUG_REFUSED), "<a@x.test> 550 no\r\n<b@x.test> 551 no\r\n<c@x.test> 452 later\r\n");
    char text[128];
    EXPECT_GT(zemErrorText(0, ZEM_ERR_ALL_REFUSED, text, sizeof text), 0);
    EXPECT_STREQ(text, "Every recipient was refused.");
}

TEST_F(SmtpExtensionsTest, PipeliningOffSendsOneCommandPerReply) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_PIPELINING, 0), 1);
    zt::Script s = ot::Ehlo({"PIPELINING"});
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go")});
    ot::AddDataAndQuit(s);
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "One by one", "text", nullptr), 0);
    EXPECT_EQ(Ch().Out.Pipelined, 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
}

TEST_F(SmtpExtensionsTest, GroupTooLargeForItsBufferGoesOneByOne) {
    // 300 recipients of about 40 characters make more than the 8,192-byte group.
    std::string to;
    zt::Script s = ot::Ehlo({"PIPELINING"});
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok")});
    for (int i = 0; i < 300; ++i) {
        std::string r = "<recipient-number-" + std::to_string(i) + "@x.example.test>";
        to += (i ? "," : "") + r;
        Add(s, {zt::Expect("RCPT TO:" + r), zt::Reply("250 ok")});
    }
    Add(s, {zt::Expect("DATA"), zt::Reply("354 go")});
    ot::AddDataAndQuit(s);
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, to.c_str(), nullptr, nullptr, "Many", "text", nullptr), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ACCEPTED), 300);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(10000)) << ::testing::PrintToString(srv.errors());
}

// ---- Per-recipient results without PIPELINING ---------------------------------------------------

TEST_F(SmtpExtensionsTest, ContinuingPastRefusedRecipientsOneByOne) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_CONTINUE_PAST_REFUSED, 1), 1);
    zt::Script s = ot::Ehlo({});
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("550 5.1.1 <a@x.test>: Recipient address rejected"), zt::Expect("RCPT TO:<b@x.test>"),
            zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go")});
    ot::AddDataAndQuit(s);
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, kThree, nullptr, nullptr, "Some", "text", nullptr), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(Debug(ZEM_DEBUG_REFUSED), "<a@x.test> 550 5.1.1 <a@x.test>: Recipient address rejected\r\n");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ACCEPTED), 1);
}

TEST_F(SmtpExtensionsTest, EveryRecipientRefusedOneByOneSendsNoData) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_CONTINUE_PAST_REFUSED, 1), 1);
    zt::Script s = ot::Ehlo({});
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("550 no"), zt::Expect("RCPT TO:<b@x.test>"), zt::Reply("550 no"), zt::WaitClose()});
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, kThree, nullptr, nullptr, "None", "text", nullptr), ZEM_ERR_ALL_REFUSED);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(srv.received().find("DATA"), std::string::npos);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REFUSED), 2);
}

TEST_F(SmtpExtensionsTest, RefusedListIsEmptiedByTheNextSend) {
    zt::Script s = ot::Ehlo({});
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("550 no"), zt::WaitClose()});
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "x", "y", nullptr), ZEM_ERR_SMTP);
    EXPECT_EQ(Debug(ZEM_DEBUG_REFUSED), "<a@x.test> 550 no\r\n");
    // Not connected any more: the next send is refused before it starts, and reports
    // nothing of the last one.
    EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "x", "y", nullptr), ZEM_ERR_NOT_CONNECTED);
    EXPECT_TRUE(srv.Finish(5000));
}

// ---- SIZE ---------------------------------------------------------------------------------------

TEST_F(SmtpExtensionsTest, MessageOverTheSizeLimitSendsNothingAfterEhlo) {
    zt::Script s = ot::Ehlo({"PIPELINING", "SIZE 1000"});
    Add(s, {zt::WaitClose()});
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    const std::string att = File("big.bin", std::string(2000, 'x'));
    EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "Big", "text", att.c_str()), ZEM_ERR_SIZE_LIMIT);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(srv.received(), "EHLO zem.test\r\n");
    char text[128];
    zemErrorText(0, ZEM_ERR_SIZE_LIMIT, text, sizeof text);
    EXPECT_STREQ(text, "Message exceeds the server's size limit.");
}

TEST_F(SmtpExtensionsTest, SizeIsDeclaredWhenAskedAndNeverBelowTheMessage) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_DECLARE_SIZE, 1), 1);
    zt::Script s = ot::Ehlo({"SIZE 100000"});
    Add(s, {zt::ExpectPrefix("MAIL FROM:<me@zem.test> SIZE="), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go")});
    ot::AddDataAndQuit(s);
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    const std::string att = File("some.bin", std::string(5000, 'y'));
    ASSERT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "Sized", "a text\r\nof two lines", att.c_str()), 0);
    EXPECT_EQ(zemClose(0), 0);
    ASSERT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    const std::string got = srv.received();
    const size_t at = got.find("SIZE=") + 5;
    const long declared = std::stol(got.substr(at, got.find("\r\n", at) - at));
    const long actual = static_cast<long>(srv.data().size());
    EXPECT_GE(declared, actual);
    EXPECT_LE(declared, actual + 2000); // an estimate, not a wild guess
}

TEST_F(SmtpExtensionsTest, SizeWithoutLimitOrDeclarationLeavesMailFromAlone) {
    zt::Script s = ot::Ehlo({"SIZE"});
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go")});
    ot::AddDataAndQuit(s);
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    const std::string att = File("big.bin", std::string(20000, 'x'));
    EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "Big", "text", att.c_str()), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
}

// ---- SMTPUTF8 and 8BITMIME ----------------------------------------------------------------------

TEST_F(SmtpExtensionsTest, Utf8AddressGoesOutWithSmtpUtf8WhenOffered) {
    zt::Script s = ot::Ehlo({"SMTPUTF8", "8BITMIME"});
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test> SMTPUTF8"), zt::Reply("250 ok"),
            zt::Expect("RCPT TO:<j\xC3\xBCrgen@b\xC3\xBC" "cher.test>"), zt::Reply("250 ok"), zt::Expect("DATA"),
            zt::Reply("354 go")});
    ot::AddDataAndQuit(s);
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, "J\xC3\xBCrgen <j\xC3\xBCrgen@b\xC3\xBC" "cher.test>", nullptr, nullptr, "Hallo", "text",
                           nullptr),
              0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    // The address stays UTF-8 in the header (RFC 6532); the display name is encoded.
    EXPECT_NE(srv.data().find("To: =?utf-8?Q?J=C3=BCrgen?= <j\xC3\xBCrgen@b\xC3\xBC" "cher.test>\r\n"),
              std::string::npos)
        << srv.data();
}

TEST_F(SmtpExtensionsTest, Utf8AddressIsRefusedBeforeAnythingWhenNotOffered) {
    zt::Script s = ot::Ehlo({"8BITMIME", "PIPELINING"});
    Add(s, {zt::WaitClose()});
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, "<j\xC3\xBCrgen@x.test>", "Hallo", "text", nullptr),
              ZEM_ERR_BAD_CHAR);
    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_EQ(srv.received(), "EHLO zem.test\r\n");
}

TEST_F(SmtpExtensionsTest, EightBitTextIsDeclaredWhenPassedUnchanged) {
    for (bool offered : {true, false}) {
        SCOPED_TRACE(offered ? "8BITMIME offered" : "not offered");
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_PASS_8BIT, 1), 1);
        zt::Script s = ot::Ehlo(offered ? ot::Lines{"8BITMIME"} : ot::Lines{"HELP"});
        Add(s, {zt::Expect(offered ? "MAIL FROM:<me@zem.test> BODY=8BITMIME" : "MAIL FROM:<me@zem.test>"),
                zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"), zt::Reply("250 ok"), zt::Expect("DATA"),
                zt::Reply("354 go")});
        ot::AddDataAndQuit(s);
        zt::ScriptServer srv(s);
        ASSERT_EQ(Connect(srv), 0);
        EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "x", "caf\xC3\xA9", nullptr), 0);
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
        EXPECT_NE(srv.data().find("\r\n\r\ncaf\xC3\xA9\r\n"), std::string::npos);
    }
    // ASCII text declares nothing, whatever the switch says.
    zt::Script s = ot::Ehlo({"8BITMIME"});
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go")});
    ot::AddDataAndQuit(s);
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "x", "plain", nullptr), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
}

// ---- DSN ----------------------------------------------------------------------------------------

TEST_F(SmtpExtensionsTest, DsnParametersWhenOffered) {
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_DSN_NOTIFY, "SUCCESS,FAILURE"), 15);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_DSN_RET, "HDRS"), 4);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_DSN_ENVID, "id+one=1 x"), 10);
    for (bool offered : {true, false}) {
        SCOPED_TRACE(offered ? "DSN offered" : "not offered");
        zt::Script s = ot::Ehlo(offered ? ot::Lines{"DSN", "PIPELINING"} : ot::Lines{"PIPELINING"});
        if (offered)
            Add(s, {zt::Expect("MAIL FROM:<me@zem.test> RET=HDRS ENVID=id+2Bone+3D1+20x"),
                    zt::Expect("RCPT TO:<a@x.test> NOTIFY=SUCCESS,FAILURE"),
                    zt::Expect("RCPT TO:<c@x.test> NOTIFY=SUCCESS,FAILURE")});
        else
            Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Expect("RCPT TO:<a@x.test>"),
                    zt::Expect("RCPT TO:<c@x.test>")});
        Add(s, {zt::Expect("DATA"), zt::Send("250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n")});
        ot::AddDataAndQuit(s);
        zt::ScriptServer srv(s);
        ASSERT_EQ(Connect(srv), 0);
        EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, "<c@x.test>", "x", "y", nullptr), 0);
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    }
}

// ---- OAuth 2.0 ----------------------------------------------------------------------------------

const std::string kToken = "ya29.a0AfH6SMBx-token_value";

zt::Script OauthServer(const std::string &mechanisms) {
    return ot::Ehlo({"PIPELINING", "AUTH " + mechanisms});
}

TEST_F(SmtpExtensionsTest, Xoauth2Success) {
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_USER_NAME, "me@zem.test"), 11);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, kToken.c_str()), static_cast<int32_t>(kToken.size()));
    zt::Script s = OauthServer("LOGIN PLAIN XOAUTH2");
    Add(s, {zt::Expect("AUTH XOAUTH2 " + B64("user=me@zem.test\x01" "auth=Bearer " + kToken + "\x01\x01")),
            zt::Reply("235 2.7.0 Accepted")});
    zt::ScriptServer srv(s);
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_NE(Log().find("AUTH XOAUTH2 ok\r\n"), std::string::npos);
}

TEST_F(SmtpExtensionsTest, Xoauth2ErrorChallengeIsAnsweredWithAnEmptyLine) {
    zemStringParam(0, ZEM_STRING_USER_NAME, "me@zem.test");
    zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, kToken.c_str());
    const std::string status = R"({"status":"401","schemes":"Bearer","scope":"https://mail.example/"})";
    zt::Script s = OauthServer("XOAUTH2");
    Add(s, {zt::Expect("AUTH XOAUTH2 " + B64("user=me@zem.test\x01" "auth=Bearer " + kToken + "\x01\x01")),
            zt::Reply("334 " + B64(status)), zt::Expect(""), zt::Reply("535 5.7.8 Username and Password not accepted"),
            zt::WaitClose()});
    zt::ScriptServer srv(s);
    EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_NE(Log().find("Challenge '" + status + "'\r\n"), std::string::npos) << Log();
}

std::string BearerMessage(int port) {
    return "n,a=me@zem.test,\x01host=127.0.0.1\x01port=" + std::to_string(port) + "\x01" "auth=Bearer " + kToken +
           "\x01\x01";
}

TEST_F(SmtpExtensionsTest, OauthBearerIsPreferredAndSucceeds) {
    zemStringParam(0, ZEM_STRING_USER_NAME, "me@zem.test");
    zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, kToken.c_str());
    zt::Script s = OauthServer("PLAIN XOAUTH2 OAUTHBEARER CRAM-MD5");
    // The port is only known once the server listens: the line is checked by prefix and
    // compared afterwards.
    Add(s, {zt::ExpectPrefix("AUTH OAUTHBEARER "), zt::Reply("235 2.7.0 Accepted")});
    zt::ScriptServer srv(s);
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(srv.received(), "EHLO zem.test\r\nAUTH OAUTHBEARER " + B64(BearerMessage(srv.port())) + "\r\n");
    EXPECT_NE(Log().find("AUTH OAUTHBEARER ok\r\n"), std::string::npos);
}

TEST_F(SmtpExtensionsTest, OauthBearerErrorChallengeIsAnsweredWithTheDummyByte) {
    zemStringParam(0, ZEM_STRING_USER_NAME, "me@zem.test");
    zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, kToken.c_str());
    const std::string status = R"({"status":"invalid_token"})";
    zt::Script s = OauthServer("OAUTHBEARER");
    Add(s, {zt::ExpectPrefix("AUTH OAUTHBEARER "), zt::Reply("334 " + B64(status)), zt::Expect("AQ=="),
            zt::Reply("535 5.7.8 Authentication failed"), zt::WaitClose()});
    zt::ScriptServer srv(s);
    EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_NE(Log().find("Challenge '" + status + "'\r\n"), std::string::npos);
}

TEST_F(SmtpExtensionsTest, TokenWithoutAnOauthOfferUsesThePasswordMechanisms) {
    zemStringParam(0, ZEM_STRING_USER_NAME, "u");
    zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, "p");
    zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, kToken.c_str());
    zt::Script s = OauthServer("PLAIN");
    Add(s, {zt::Expect("AUTH PLAIN " + B64(std::string("u\0u\0p", 5))), zt::Reply("235 ok")});
    zt::ScriptServer srv(s);
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
}

TEST_F(SmtpExtensionsTest, LongTokensAreTakenWholeOrRefused) {
    const std::string fits(4096, 't');
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, fits.c_str()), 4096);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, (fits + "t").c_str()), ZEM_ERR_TOKEN_TOO_LONG);
    // A token of 4,096 characters goes out whole, on one line.
    zemStringParam(0, ZEM_STRING_USER_NAME, "me@zem.test");
    zt::Script s = OauthServer("XOAUTH2");
    Add(s, {zt::Expect("AUTH XOAUTH2 " + B64("user=me@zem.test\x01" "auth=Bearer " + fits + "\x01\x01")),
            zt::Reply("235 ok")});
    zt::ScriptServer srv(s);
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
}

// ---- A credential only after 334 ----------------------------------------------------------------

TEST_F(SmtpExtensionsTest, AuthLoginAnswersOnlyA334Prompt) {
    zemStringParam(0, ZEM_STRING_USER_NAME, "user");
    zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, "secret");
    for (const char *reply : {"250 what?", "235 already", "432 later"}) {
        SCOPED_TRACE(reply);
        zt::Script s = ot::Ehlo({"AUTH LOGIN"});
        Add(s, {zt::Expect("AUTH LOGIN"), zt::Reply(reply), zt::WaitClose()});
        zt::ScriptServer srv(s);
        EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
        EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
        EXPECT_EQ(srv.received(), "EHLO zem.test\r\nAUTH LOGIN\r\n");
    }
    // The password prompt too: the user name went after a 334, the password never does.
    zt::Script s = ot::Ehlo({"AUTH LOGIN"});
    Add(s, {zt::Expect("AUTH LOGIN"), zt::Reply("334 VXNlcm5hbWU6"), zt::Expect(B64("user")), zt::Reply("250 hmm"),
            zt::WaitClose()});
    zt::ScriptServer srv(s);
    EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(srv.received().find(B64("secret")), std::string::npos);
}

TEST_F(SmtpExtensionsTest, CramMd5AnswersOnlyA334Challenge) {
    zemStringParam(0, ZEM_STRING_USER_NAME, "user");
    zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, "secret");
    zt::Script s = ot::Ehlo({"AUTH CRAM-MD5"});
    Add(s, {zt::Expect("AUTH CRAM-MD5"), zt::Reply("250 " + B64("<1.2@mail.test>")), zt::WaitClose()});
    zt::ScriptServer srv(s);
    EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(srv.received(), "EHLO zem.test\r\nAUTH CRAM-MD5\r\n");
}

// ---- The offers themselves ----------------------------------------------------------------------

TEST_F(SmtpExtensionsTest, OffersAreReadFromEveryLineAndForgottenAfterHelo) {
    zt::ScriptServer srv(ot::Ehlo({"pipelining", "SIZE 52428800", "SMTPUTF8", "8BITMIME", "DSN",
                                    "AUTH OAUTHBEARER", "HELP"}));
    EXPECT_EQ(Connect(srv), 0); // no token and no password mechanism: no AUTH
    const zem::OutgoingFields &o = Ch().Out;
    EXPECT_EQ(o.OfferPipelining, 1);
    EXPECT_EQ(o.OfferSize, 1);
    EXPECT_EQ(o.SizeLimit, 52428800u);
    EXPECT_EQ(o.OfferSmtpUtf8, 1);
    EXPECT_EQ(o.Offer8BitMime, 1);
    EXPECT_EQ(o.OfferDsn, 1);
    EXPECT_EQ(o.OfferOauthBearer, 1);
    EXPECT_EQ(o.OfferXoauth2, 0);
    zemAbort(0);
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 0);
    zt::ScriptServer helo({zt::Send("220 mail.test\r\n"), zt::Expect("HELO zem.test"),
                           zt::Reply("250-mail.test PIPELINING\r\n250 SIZE 10")});
    EXPECT_EQ(Connect(helo), 0);
    EXPECT_EQ(Ch().Out.OfferPipelining, 0);
    EXPECT_EQ(Ch().Out.OfferSize, 0);
}

} // namespace
