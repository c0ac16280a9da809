// The channel log of whole sessions against the scripted loopback server, compared line
// for line with the expected logs in tests/protocol/golden once the values that change
// from run to run are masked: tick counts, socket and file handles, ports, the MIME
// boundary, the Date line, the local host name and the temporary directory.
//
// To write the expected logs anew (then read them line by line before keeping them):
//   ZEM_UPDATE_GOLDEN=1 zem_tests --gtest_filter='GoldenLog.*'
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"
#include "zem32.h"

namespace {

using zt::Expect;
using zt::ExpectData;
using zt::Reply;
using zt::Send;

// Replaces what differs between runs with fixed marks.
std::string MaskLog(std::string log, const std::string &dir) {
    for (size_t at = log.find(dir); !dir.empty() && at != std::string::npos; at = log.find(dir, at))
        log.replace(at, dir.size(), "DIR");
    struct Rule {
        const char *pattern;
        const char *replacement;
    };
    static const Rule kRules[] = {
        {R"(<( *[0-9]+):-?[0-9]+>\r\n)", "<$1:TICK>\r\n"},
        {R"(ERROR\(-?[0-9]+\): )", "ERROR(TICK): "},
        {R"(Socket=[0-9]+, RemoteAddr=([0-9a-f]+), RemotePort=-?[0-9]+\r\n)", "Socket=SOCK, RemoteAddr=$1, RemotePort=PORT\r\n"},
        {R"(FileHandle=[1-9][0-9]*\])", "FileHandle=FILE]"}, // 0 (no file) stays
        {R"(\*\*\* zemIntegerParam\(([0-9]+),(15|16),-?[0-9]+\)\r\n)", "*** zemIntegerParam($1,$2,PORT)\r\n"},
        {R"(=====_ZEM-?[0-9]+_=====)", "=====_ZEMTICK_====="},
        {R"(Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
         R"([0-9]{4} [0-9]{1,2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}\r\n)",
         "Date: DATE\r\n"},
        {R"(LocalHost = '[^'\r\n]*'\r\n)", "LocalHost = 'HOST'\r\n"},
        {R"(Message-ID: <[0-9a-f]{16}\.[0-9]{14}\.[0-9a-f]+\.[0-9a-f]+@([^<>@ \r\n]+)>\r\n)", "Message-ID: <ID@$1>\r\n"},
    };
    for (const Rule &r : kRules) log = std::regex_replace(log, std::regex(r.pattern), r.replacement);
    return log;
}

// Splits at LF; every piece keeps its line end, so a missing or extra CR shows.
std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        out.push_back(text.substr(at, end - at));
        at = end;
    }
    return out;
}

std::string Visible(const std::string &line) {
    std::string out;
    for (char c : line) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string GoldenPath(const std::string &name) { return std::string(ZEM_SOURCE_DIR) + "/tests/protocol/golden/" + name; }

// Compares a masked log with its expected file line for line (or writes the file when
// asked to).
void CompareWithGolden(const std::string &masked, const std::string &name) {
    const std::string path = GoldenPath(name);
    const char *update = std::getenv("ZEM_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        zt::WriteFile(path, masked);
        GTEST_SKIP() << "wrote " << path;
    }
    const std::string golden = zt::ReadFile(path);
    ASSERT_FALSE(golden.empty()) << "no expected log at " << path;
    const std::vector<std::string> want = Lines(golden);
    const std::vector<std::string> got = Lines(masked);
    for (size_t i = 0; i < want.size() && i < got.size(); ++i)
        ASSERT_EQ(Visible(got[i]), Visible(want[i])) << name << " line " << i + 1;
    EXPECT_EQ(got.size(), want.size()) << name << ": the log has " << got.size() << " lines, expected " << want.size();
}

class GoldenLog : public zt::LibTest {
  protected:
    void SetUp() override {
        zt::LibTest::SetUp();
        dir_ = zt::TempDir();
    }
    static zem::Channel &Chan(int32_t i) { return *zem::gChannelTable[i].ChannelPtr; }
    // The log of a channel after zemRelease has written its last line and closed it.
    std::string ReleasedLog(const std::string &path) {
        EXPECT_EQ(zemRelease(), 1);
        return MaskLog(zt::ReadFile(path), dir_);
    }
    std::string dir_;
};

// EHLO, AUTH LOGIN, one message with an attachment, QUIT through zemClose.
TEST_F(GoldenLog, SmtpSession) {
    const std::string attachment = dir_ + "/notes.txt";
    zt::WriteFile(attachment, "0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ\n");
    zt::ScriptServer srv({
        Send("220 mail.test ESMTP ready\r\n"),
        Expect("EHLO zem.test"),
        Send("250-mail.test greets zem.test\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n"),
        Expect("AUTH LOGIN"),
        Reply("334 VXNlcm5hbWU6"),
        Expect("Z29sZGVu"), // "golden"
        Reply("334 UGFzc3dvcmQ6"),
        Expect("czNjcmV0"), // "s3cret"
        Reply("235 2.7.0 Authentication successful"),
        Expect("MAIL FROM:<me@zem.test>"),
        Reply("250 2.1.0 Ok"),
        Expect("RCPT TO:<you@zem.test>"),
        Reply("250 2.1.5 Ok"),
        Expect("DATA"),
        Reply("354 End data with <CR><LF>.<CR><LF>"),
        ExpectData(),
        Reply("250 2.0.0 Ok: queued as 4711"),
        Expect("QUIT"),
        Reply("221 2.0.0 Bye"),
    });
    const std::string log = dir_ + "/smtp.log";
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log.c_str()), 0);
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_TEXT, "golden SMTP session"), 0);
    // A longer reply delay keeps every reply whole in one receive, so the traffic records
    // are the same in every run.
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 100), 1);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port()), 1);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1), 1);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_USER_NAME, "golden"), 6);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, "s3cret"), 6);
    ASSERT_EQ(zemSmtpConnect(0, "127.0.0.1", "<me@zem.test>", nullptr), 0);
    // Idle calls log state 0 every time.
    EXPECT_EQ(zemDriver(0), 0);
    EXPECT_EQ(zemDriver(0), 0);
    ASSERT_EQ(zemSendEmail(0, "<you@zem.test>", nullptr, nullptr, "Golden",
                           "Hello,\r\nthis is the golden message.\r\n", attachment.c_str()),
              0);
    ASSERT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000));
    CompareWithGolden(ReleasedLog(log), "smtp_session.log");
}

// A multipart message with a text part and one base64 attachment.
const char *const kRetrReply = "+OK 520 octets\r\n"
                               "From: Sender <sender@zem.test>\r\n"
                               "To: <me@zem.test>\r\n"
                               "Subject: Golden report\r\n"
                               "MIME-Version: 1.0\r\n"
                               "Content-Type: multipart/mixed; boundary=\"GOLD\"\r\n"
                               "\r\n"
                               "This is a multi-part message in MIME format.\r\n"
                               "--GOLD\r\n"
                               "Content-Type: text/plain; charset=us-ascii\r\n"
                               "Content-Transfer-Encoding: 7bit\r\n"
                               "\r\n"
                               "The report is attached.\r\n"
                               "..A line that starts with a dot.\r\n"
                               "--GOLD\r\n"
                               "Content-Type: text/plain; name=\"report.txt\"\r\n"
                               "Content-Transfer-Encoding: base64\r\n"
                               "Content-Disposition: attachment; filename=\"report.txt\"\r\n"
                               "\r\n"
                               "R29sZGVuIHJlcG9ydDogYWxsIGZpZ3VyZXMgYmFsYW5jZS4K\r\n"
                               "--GOLD--\r\n"
                               ".\r\n";

// USER/PASS, STAT, RETR decoded into a message file and an attachment, DELE, QUIT.
TEST_F(GoldenLog, Pop3Session) {
    zt::ScriptServer srv({
        Send("+OK POP3 server ready\r\n"),
        Expect("USER golden"),
        Reply("+OK"),
        Expect("PASS s3cret"),
        Reply("+OK maildrop has 1 message"),
        Expect("STAT"),
        Reply("+OK 1 520"),
        Expect("RETR 1"),
        Send(kRetrReply),
        Expect("DELE 1"),
        Reply("+OK message 1 deleted"),
        Expect("QUIT"),
        Reply("+OK bye"),
    });
    const std::string log = dir_ + "/pop3.log";
    ASSERT_GT(zemStringParam(1, ZEM_STRING_LOG_FILE, log.c_str()), 0);
    ASSERT_GT(zemStringParam(1, ZEM_STRING_LOG_TEXT, "golden POP3 session"), 0);
    ASSERT_EQ(zemIntegerParam(1, ZEM_PARAM_STEP_DELAY, 100), 1);
    ASSERT_EQ(zemIntegerParam(1, ZEM_PARAM_POP3_PORT, srv.port()), 1);
    ASSERT_EQ(zemPop3Connect(1, "127.0.0.1", "golden", "s3cret"), 0);
    EXPECT_EQ(zemGetEmailCount(1), 1);
    ASSERT_EQ(zemGetEmailFile(1, 1, "msg.txt", dir_.c_str(), dir_.c_str()), 0);
    EXPECT_EQ(zemDeleteEmail(1, 1), 0);
    ASSERT_EQ(zemClose(1), 0);
    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_EQ(zt::ReadFile(dir_ + "/report.txt"), "Golden report: all figures balance.\n");
    CompareWithGolden(ReleasedLog(log), "pop3_session.log");
}

// The error record: its line, then the texts of the library code and of the socket code
// without line ends, so the next entry follows on the same line. Then a state without a
// step, and an SMTP refusal whose text carries the server's reply.
TEST_F(GoldenLog, ErrorRecordsAndUnknownState) {
    const std::string log = dir_ + "/errors.log";
    ASSERT_GT(zemStringParam(2, ZEM_STRING_LOG_FILE, log.c_str()), 0);
    ASSERT_EQ(zemIntegerParam(2, ZEM_PARAM_BLOCKING_CONNECT, 1), 1);
    ASSERT_EQ(zemIntegerParam(2, ZEM_PARAM_SMTP_PORT, zt::UnusedPort()), 1);
    EXPECT_EQ(zemSmtpConnect(2, "127.0.0.1", "<me@zem.test>", nullptr), ZEM_ERR_CONNECT);

    Chan(2).NextState = 123;
    EXPECT_EQ(zemDriver(2), 123);
    EXPECT_EQ(zemDriver(2), 123); // the same state again: no second trace line
    Chan(2).NextState = 0;
    EXPECT_EQ(zemDriver(2), 0);

    zt::ScriptServer srv({Send("220 mail.test ESMTP\r\n"), Expect("HELO zem.test"), Reply("554 5.7.1 go away")});
    ASSERT_EQ(zemIntegerParam(2, ZEM_PARAM_SMTP_PORT, srv.port()), 1);
    ASSERT_EQ(zemIntegerParam(2, ZEM_PARAM_STEP_DELAY, 100), 1);
    EXPECT_EQ(zemSmtpConnect(2, "127.0.0.1", "<me@zem.test>", nullptr), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(5000));

    const std::string expected = "*** zemIntegerParam(2,18,1)\r\n"
                                 "*** zemIntegerParam(2,15,PORT)\r\n"
                                 "*** zemSmtpConnect\r\n"
                                 "<200:TICK>\r\n"
                                 "ZEM Win32 Version 3.4.2 Build 8\r\n"
                                 "<101:TICK>\r\n"
                                 "LocalHost = 'HOST'\r\n"
                                 "<104:TICK>\r\n"
                                 "Server = '127.0.0.1'\r\n"
                                 "ServerIP = 127.0.0.1\r\n"
                                 "<105:TICK>\r\n"
                                 "Socket=SOCK, RemoteAddr=7f000001, RemotePort=PORT\r\n"
                                 "ERROR(TICK): SockCode=-10061 ZemCode=-36 PrevState=104 ThisState=105 NextState=105\r\n"
                                 // -36 is completed by one space and the (empty) reply.
                                 "Error attempting to connect. Connection refused by remote host.Closing socket\r\n"
                                 "<123:TICK>\r\n"
                                 "ERROR! Unknown state 123\r\n"
                                 "ERROR! Unknown state 123\r\n"
                                 "<  0:TICK>\r\n"
                                 "*** zemIntegerParam(2,15,PORT)\r\n"
                                 "*** zemIntegerParam(2,1,100)\r\n"
                                 "*** zemSmtpConnect\r\n"
                                 "<200:TICK>\r\n"
                                 "ZEM Win32 Version 3.4.2 Build 8\r\n"
                                 "<101:TICK>\r\n"
                                 "LocalHost = 'HOST'\r\n"
                                 "<104:TICK>\r\n"
                                 "Server = '127.0.0.1'\r\n"
                                 "ServerIP = 127.0.0.1\r\n"
                                 "<105:TICK>\r\n"
                                 "Socket=SOCK, RemoteAddr=7f000001, RemotePort=PORT\r\n"
                                 "<106:TICK>\r\n"
                                 "<201:TICK>\r\n"
                                 "P: 220 mail.test ESMTP\r\n"
                                 "r: 220 mail.test ESMTP\r\n"
                                 "<202:TICK>\r\n"
                                 "S: HELO zem.test\r\n"
                                 "<203:TICK>\r\n"
                                 "P: 554 5.7.1 go away\r\n"
                                 "r: 554 5.7.1 go away\r\n"
                                 "ERROR(TICK): SockCode=0 ZemCode=-49 PrevState=202 ThisState=203 NextState=203\r\n"
                                 "SMTP returned error. 554 5.7.1 go away\r\n"
                                 "Closing socket\r\n"
                                 "Releasing channel 2\r\n";
    const std::string got = ReleasedLog(log);
    const std::vector<std::string> want = Lines(expected);
    const std::vector<std::string> have = Lines(got);
    for (size_t i = 0; i < want.size() && i < have.size(); ++i) ASSERT_EQ(Visible(have[i]), Visible(want[i])) << "line " << i + 1;
    EXPECT_EQ(have.size(), want.size()) << Visible(got);
}

// The masks themselves: each changing value is replaced, the rest of the line kept.
TEST(GoldenLogMask, MasksOnlyWhatChanges) {
    const std::string raw = "<201:-12345>\r\n<  0:99>\r\n"
                            "ERROR(4294): SockCode=0 ZemCode=-8 PrevState=1 ThisState=2 NextState=3\r\n"
                            "Socket=17, RemoteAddr=7f000001, RemotePort=-25536\r\n"
                            "[InlineFlag=0 MimeEncoding=2 FileHandle=23]\r\n"
                            "[InlineFlag=0 MimeEncoding=0 FileHandle=0]\r\n"
                            "*** zemIntegerParam(0,15,40000)\r\n*** zemIntegerParam(0,2,40000)\r\n"
                            "S: Content-Type: multipart/mixed; boundary=\"=====_ZEM-5_=====\"\r\n"
                            "S: Date: Tue, 8 Dec 2026 9:05:03 +0530\r\n"
                            "LocalHost = 'build-host.example'\r\n"
                            "Saving email to '/tmp/zem-test-abc/msg.txt'\r\n"
                            "<12:34>x\r\n";
    EXPECT_EQ(MaskLog(raw, "/tmp/zem-test-abc"),
              "<201:TICK>\r\n<  0:TICK>\r\n"
              "ERROR(TICK): SockCode=0 ZemCode=-8 PrevState=1 ThisState=2 NextState=3\r\n"
              "Socket=SOCK, RemoteAddr=7f000001, RemotePort=PORT\r\n"
              "[InlineFlag=0 MimeEncoding=2 FileHandle=FILE]\r\n"
              "[InlineFlag=0 MimeEncoding=0 FileHandle=0]\r\n"
              "*** zemIntegerParam(0,15,PORT)\r\n*** zemIntegerParam(0,2,40000)\r\n"
              "S: Content-Type: multipart/mixed; boundary=\"=====_ZEMTICK_=====\"\r\n"
              "S: Date: DATE\r\n"
              "LocalHost = 'HOST'\r\n"
              "Saving email to 'DIR/msg.txt'\r\n"
              "<12:34>x\r\n");
}

} // namespace
