// The IMAP client against the scripted loopback server, byte for byte: the login by each
// mechanism, STARTTLS, LIST, SELECT, SEARCH, FETCH into a file, STORE, COPY/MOVE, EXPUNGE,
// APPEND, the mailbox commands, LOGOUT, the non-blocking mode and hostile responses.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "mime_support.h"
#include "script_server.h"
#include "test_data.h"
#include "zem32.h"

namespace {

using zt::Expect;
using zt::Reply;
using zt::Send;
using zt::Script;
using zt::ScriptServer;

Script With(Script a, const Script &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string B64(const std::string &bytes) { return mt::Base64Word(bytes); }

// HMAC-MD5 hex of a challenge, computed outside the library by Python's hmac.
std::string PythonHmacMd5(const std::string &key, const std::string &text) {
    const std::string cmd = std::string(ZEM_PYTHON) +
                            " -c \"import hmac,hashlib,sys; print(hmac.new(sys.argv[1].encode(), sys.argv[2].encode(),"
                            " hashlib.md5).hexdigest())\" '" + key + "' '" + text + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return "";
    char buf[64] = {};
    const size_t n = fread(buf, 1, sizeof buf - 1, p);
    pclose(p);
    return std::string(buf, n >= 32 ? 32 : n);
}

// Greeting and AUTHENTICATE PLAIN (SASL-IR) of "u"/"p"; afterwards the server has `caps`,
// and the next tag is Z0002.
Script LoggedIn(const std::string &caps, const Script &rest) {
    return With({Send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN] ready\r\n"),
                 Expect("Z0001 AUTHENTICATE PLAIN " + B64(std::string("\0u\0p", 4))),
                 Reply("Z0001 OK [CAPABILITY IMAP4rev1 " + caps + "] logged in")},
                rest);
}

class ImapTest : public zt::DirTest {
  protected:
    void SetUp() override {
        zt::DirTest::SetUp();
        zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 1);
        zemIntegerParam(0, ZEM_PARAM_CLOSE_PAUSE, 0);
        zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 5000);
    }
    int32_t Connect(const ScriptServer &srv, const char *user = "u", const char *pass = "p") {
        zemIntegerParam(0, ZEM_PARAM_IMAP_PORT, srv.port());
        return zemImapConnect(0, "127.0.0.1", user, pass);
    }
    static std::string Debug(int index) {
        char buf[600];
        const int32_t n = zemDebug(0, index, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    int32_t Fetch(uint32_t uid, const char *name = "m.txt") {
        return zemImapFetchFile(0, uid, name, dir_.c_str(), dir_.c_str());
    }
    std::string Saved(const char *name = "m.txt") const { return zt::ReadFile(dir_ + "/" + name); }
    // Runs channel 0's request with zemDriver to its end (at most 10 s).
    static int32_t Drive() {
        int32_t r = 1;
        const auto start = zt::Clock::now();
        while (r > 0 && zt::MsSince(start) < 10000) {
            r = zemDriver(0);
            zemWaitAny(20);
        }
        return r;
    }
    static void Done(ScriptServer &srv) {
        EXPECT_TRUE(srv.Finish(5000));
        for (const auto &e : srv.errors()) ADD_FAILURE() << e;
    }
};

// A message with a base64 attachment and the bytes it carries, as the wire has it.
const std::string kAttachment = zt::RandomBytes(3000, 7);
const std::string kMessage = mt::Crlf("From: a@example.org\nSubject: imap\nMIME-Version: 1.0\n"
                                      "Content-Type: multipart/mixed; boundary=\"b1\"\n\n--b1\n"
                                      "Content-Type: text/plain\n\nhello\n--b1\n"
                                      "Content-Type: application/octet-stream; name=\"data.bin\"\n"
                                      "Content-Transfer-Encoding: base64\n"
                                      "Content-Disposition: attachment; filename=\"data.bin\"\n\n") +
                             zt::Base64Lines(kAttachment) + "--b1--\r\n";

// The FETCH response of the message, split into pieces of 1 to 97 bytes.
zt::Step FetchResponse(const std::string &tag) {
    const std::string all = "* 3 EXISTS\r\n* 1 FETCH (UID 42 BODY[] {" + std::to_string(kMessage.size()) + "}\r\n" +
                            kMessage + ")\r\n* 2 FETCH (FLAGS (\\Seen))\r\n" + tag + " OK done\r\n";
    std::vector<std::string> pieces;
    for (size_t at = 0, k = 1; at < all.size(); at += k, k = k * 7 % 97 + 1) pieces.push_back(all.substr(at, k));
    return zt::SendChunks(pieces, 1);
}

// ---- Login ------------------------------------------------------------------------------

TEST_F(ImapTest, LoginUsesTheBestOfferedMechanism) {
    const std::string challenge = "<1896.697170952@postoffice.example.net>";
    const std::string digest = PythonHmacMd5("tanstaafl", challenge);
    ASSERT_EQ(digest.size(), 32u);
    const Script cram = {Send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN AUTH=CRAM-MD5] hi\r\n"),
                         Expect("Z0001 AUTHENTICATE CRAM-MD5"), Reply("+ " + B64(challenge)),
                         Expect(B64("tim " + digest)), Reply("Z0001 OK [CAPABILITY IMAP4rev1] in")};
    // PLAIN without SASL-IR waits for "+"; no CAPABILITY in the tagged OK asks for it again,
    // and ENABLE UTF8=ACCEPT follows when offered.
    const Script plain = {Send("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\r\n"), Expect("Z0001 AUTHENTICATE PLAIN"),
                          Send("+ \r\n"), Expect(B64(std::string("\0tim\0tanstaafl", 14))), Reply("Z0001 OK in"),
                          Expect("Z0002 CAPABILITY"), Reply("* CAPABILITY IMAP4rev1 ENABLE UTF8=ACCEPT"),
                          Reply("Z0002 OK"), Expect("Z0003 ENABLE UTF8=ACCEPT"), Reply("* ENABLED UTF8=ACCEPT"),
                          Reply("Z0003 OK")};
    const Script login = {Send("* OK hi\r\n"), Expect("Z0001 CAPABILITY"), Reply("* CAPABILITY IMAP4rev1"),
                          Reply("Z0001 OK"), Expect("Z0002 LOGIN tim \"tans taafl\""),
                          Reply("Z0002 OK [CAPABILITY IMAP4rev1] in")};
    const Script scripts[] = {cram, plain, login};
    for (int i = 0; i < 3; ++i) {
        ScriptServer srv(scripts[i]);
        EXPECT_EQ(Connect(srv, "tim", i == 2 ? "tans taafl" : "tanstaafl"), 0) << i;
        if (i == 1) EXPECT_NE(Debug(ZEM_DEBUG_IMAP_CAPABILITY).find("UTF8=ACCEPT"), std::string::npos);
        Done(srv);
    }
}

TEST_F(ImapTest, BearerTokensAndRefusedLogins) {
    ASSERT_GT(zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, "tok123"), 0);
    {
        ScriptServer srv({Send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2 AUTH=PLAIN] hi\r\n"),
                          Expect("Z0001 AUTHENTICATE XOAUTH2 " + B64("user=u\x01" "auth=Bearer tok123\x01\x01")),
                          Reply("Z0001 OK [CAPABILITY IMAP4rev1] in")});
        EXPECT_EQ(Connect(srv), 0);
        Done(srv);
    }
    {
        ScriptServer srv({Send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=XOAUTH2 AUTH=OAUTHBEARER] hi\r\n"),
                          zt::ExpectPrefix("Z0001 AUTHENTICATE OAUTHBEARER "), Reply("+ " + B64("{\"status\":\"401\"}")),
                          Expect("AQ=="), Reply("Z0001 NO [AUTHENTICATIONFAILED] bad token")});
        EXPECT_EQ(Connect(srv), ZEM_ERR_IMAP);
        EXPECT_EQ(ErrorText(ZEM_ERR_IMAP), "IMAP returned error. NO [AUTHENTICATIONFAILED] bad token");
        Done(srv);
        EXPECT_EQ(srv.received(), "Z0001 AUTHENTICATE OAUTHBEARER " +
                                      B64("n,a=u,\x01host=127.0.0.1\x01port=" + std::to_string(srv.port()) +
                                          "\x01" "auth=Bearer tok123\x01\x01") + "\r\nAQ==\r\n");
    }
    // Without a bearer mechanism the password ones are used; an 8-bit password goes as a
    // literal under LITERAL+.
    {
        ScriptServer srv({Send("* OK [CAPABILITY IMAP4rev1 LITERAL+] hi\r\n"), Expect("Z0001 LOGIN u {9+}"),
                          Expect("p\xC3\xA4sswort"), Reply("Z0001 OK [CAPABILITY IMAP4rev1] in")});
        EXPECT_EQ(Connect(srv, "u", "p\xC3\xA4sswort"), 0);
        Done(srv);
    }
    zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, "");
    // LOGINDISABLED forbids the password in plain text: nothing is sent.
    {
        ScriptServer srv({Send("* OK [CAPABILITY IMAP4rev1 LOGINDISABLED AUTH=PLAIN] hi\r\n")});
        EXPECT_EQ(Connect(srv), ZEM_ERR_NO_LOGIN);
        EXPECT_TRUE(srv.WaitDisconnected(3000));
        EXPECT_EQ(srv.received(), "");
    }
    // Refused logins; the log shows neither the password nor its base64.
    const std::string log = dir_ + "/imap.log";
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log.c_str()), 0);
    const std::string pw = "s3cretPW";
    const std::string plain = B64(std::string("\0u\0", 3) + pw);
    ScriptServer srv({Send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN] hi\r\n"),
                      Expect("Z0001 AUTHENTICATE PLAIN " + plain), Reply("Z0001 NO no")});
    EXPECT_EQ(Connect(srv, "u", pw.c_str()), ZEM_ERR_IMAP);
    Done(srv);
    ScriptServer srv2({Send("* OK hi\r\n"), Expect("Z0001 CAPABILITY"), Reply("Z0001 OK"), Expect("Z0002 LOGIN u " + pw),
                       Reply("Z0002 NO [AUTHENTICATIONFAILED] wrong")});
    EXPECT_EQ(Connect(srv2, "u", pw.c_str()), ZEM_ERR_IMAP);
    EXPECT_EQ(ErrorText(ZEM_ERR_IMAP), "IMAP returned error. NO [AUTHENTICATIONFAILED] wrong");
    Done(srv2);
    zemRelease();
    ASSERT_EQ(zemAttach(4, 0), 1);
    const std::string text = zt::ReadFile(log);
    EXPECT_NE(text.find("LOGIN u"), std::string::npos);
    EXPECT_NE(text.find("AUTHENTICATE PLAIN"), std::string::npos);
    EXPECT_EQ(text.find(pw), std::string::npos);
    EXPECT_EQ(text.find(plain), std::string::npos);
}

// ---- STARTTLS ---------------------------------------------------------------------------

TEST_F(ImapTest, RequiredStartTlsForgetsWhatWasSaidBeforeIt) {
    ASSERT_GT(zemStringParam(0, ZEM_STRING_CA_FILE, zt::CertPath("ca.pem").c_str()), 0);
    zemIntegerParam(0, ZEM_PARAM_TLS, ZEM_TLS_STARTTLS);
    {
        ScriptServer srv({Send("* OK [CAPABILITY IMAP4rev1 STARTTLS SASL-IR AUTH=CRAM-MD5] hi\r\n"),
                          Expect("Z0001 STARTTLS"), Reply("Z0001 OK begin"), zt::StartTls("server"),
                          Expect("Z0002 CAPABILITY"), Reply("* CAPABILITY IMAP4rev1 AUTH=PLAIN"), Reply("Z0002 OK"),
                          Expect("Z0003 AUTHENTICATE PLAIN"), Send("+ \r\n"), Expect(B64(std::string("\0u\0p", 4))),
                          Reply("Z0003 OK [CAPABILITY IMAP4rev1] in"), Expect("Z0004 LOGOUT"), Reply("Z0004 OK")});
        EXPECT_EQ(Connect(srv), 0);
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_TLS_ACTIVE), 1);
        EXPECT_EQ(zemClose(0), 0);
        Done(srv);
    }
    {   // Plain text after the go-ahead is an attacker's.
        ScriptServer srv({Send("* OK [CAPABILITY IMAP4rev1 STARTTLS] hi\r\n"), Expect("Z0001 STARTTLS"),
                          Send("Z0001 OK begin\r\n* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n"), zt::WaitClose(3000)});
        EXPECT_EQ(Connect(srv), ZEM_ERR_TLS_INJECTION);
    }
    for (const char *greeting : {"* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\r\n", "* PREAUTH [CAPABILITY IMAP4rev1 STARTTLS] hi\r\n"}) {
        ScriptServer srv({Send(greeting)});
        EXPECT_EQ(Connect(srv), ZEM_ERR_TLS_NOT_OFFERED) << greeting;
        EXPECT_TRUE(srv.WaitDisconnected(3000));
        EXPECT_EQ(srv.received(), "");
    }
}

// ---- LIST, SELECT, SEARCH ------------------------------------------------------------------

TEST_F(ImapTest, ListDecodesNamesAndCountsWhatDidNotFit) {
    const std::string lines = "* LIST (\\HasNoChildren) \"/\" INBOX\r\n* LIST (\\Sent) \"/\" {9}\r\nMy Folder\r\n"
                              "* LIST (\\Noselect \\HasChildren) NIL \"K&AOQ-se/&ZeVnLIqe-\"\r\n";
    ScriptServer srv(LoggedIn("SPECIAL-USE", {Expect("Z0002 LIST \"\" \"*\" RETURN (SPECIAL-USE)"), Send(lines),
                                              Reply("Z0002 OK done"), Expect("Z0003 LIST \"\" \"*\" RETURN (SPECIAL-USE)"),
                                              Send(lines), Reply("Z0003 OK done")}));
    ASSERT_EQ(Connect(srv), 0);
    char buf[200];
    const std::string all = "INBOX\t\\HasNoChildren\nMy Folder\t\\Sent\nK\xC3\xA4se/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"
                            "\t\\Noselect \\HasChildren\n";
    EXPECT_EQ(zemImapList(0, nullptr, buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf), all);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_STORED), 3);
    const size_t two = all.find("K\xC3");
    EXPECT_EQ(zemImapList(0, "*", buf, static_cast<int32_t>(two + 1)), 3);
    EXPECT_EQ(std::string(buf), all.substr(0, two));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_STORED), 2);
    Done(srv);
    // Without SPECIAL-USE no RETURN option.
    ScriptServer srv2(LoggedIn("", {Expect("Z0002 LIST \"\" \"Work/%\""), Send("* LIST (\\Noselect) \"/\" {0}\r\n\r\n"),
                                    Reply("Z0002 OK")}));
    ASSERT_EQ(Connect(srv2), 0);
    EXPECT_EQ(zemImapList(0, "Work/%", buf, sizeof buf), 1) << "an empty literal is an empty name";
    EXPECT_EQ(std::string(buf), "\t\\Noselect\n");
    Done(srv2);
}

TEST_F(ImapTest, SelectKeepsTheMailboxStateAndARefusalKeepsTheConnection) {
    ScriptServer srv(LoggedIn(
        "CONDSTORE",
        {Expect("Z0002 SELECT INBOX (CONDSTORE)"),
         Send("* 172 EXISTS\r\n* 1 RECENT\r\n* OK [UNSEEN 12] first unseen\r\n* OK [UIDVALIDITY 3857529045] ok\r\n"
              "* OK [UIDNEXT 4392] next\r\n* OK [HIGHESTMODSEQ 715194045007]\r\n"
              "* FLAGS (\\Answered \\Seen)\r\n* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] limited\r\n"),
         Reply("Z0002 OK [READ-WRITE] SELECT completed"), Expect("Z0003 EXAMINE Nope (CONDSTORE)"),
         Reply("Z0003 NO [NONEXISTENT] no such mailbox"), Expect("Z0004 SELECT INBOX (CONDSTORE)"),
         Reply("* 5 EXISTS"), Reply("Z0004 OK"), Expect("Z0005 UID STORE 1 +FLAGS.SILENT (\\Seen)"),
         Send("* 6 EXISTS\r\n* 2 EXPUNGE\r\n* 1 EXPUNGE\r\nZ0005 OK\r\n")}));
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemImapSelect(0, "INBOX", 0), 172);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_EXISTS), 172);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_UNSEEN), 12);
    EXPECT_EQ(Debug(ZEM_DEBUG_IMAP_UIDVALIDITY), "3857529045");
    EXPECT_EQ(Debug(ZEM_DEBUG_IMAP_UIDNEXT), "4392");
    EXPECT_EQ(Debug(ZEM_DEBUG_IMAP_HIGHESTMODSEQ), "715194045007");
    EXPECT_EQ(zemImapSelect(0, "Nope", 1), ZEM_ERR_IMAP);
    EXPECT_EQ(ErrorText(ZEM_ERR_IMAP), "IMAP returned error. NO [NONEXISTENT] no such mailbox");
    EXPECT_EQ(zemImapSelect(0, "INBOX", 0), 5);
    EXPECT_EQ(zemImapStore(0, "1", "+\\Seen"), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_EXISTS), 4);
    Done(srv);
}

TEST_F(ImapTest, SearchFillsTheBufferAndSends8BitCriteriaAsLiterals) {
    ScriptServer srv(LoggedIn("LITERAL+", {Expect("Z0002 UID SEARCH ALL"), Reply("* SEARCH 4 9 1234"), Reply("Z0002 OK"),
                                           Expect("Z0003 UID SEARCH CHARSET UTF-8 SUBJECT {7+}"),
                                           Expect("Gr\xC3\xBC\xC3\x9F" "e UNSEEN"), Reply("* SEARCH"), Reply("Z0003 OK")}));
    ASSERT_EQ(Connect(srv), 0);
    char buf[64];
    EXPECT_EQ(zemImapSearch(0, "", buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf), "4 9 1234");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_STORED), 3);
    EXPECT_EQ(zemImapSearch(0, "SUBJECT \"x\"\r\nZ9 LOGOUT", buf, sizeof buf), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(zemImapSearch(0, "SUBJECT {5}", buf, sizeof buf), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(zemImapSearch(0, "SUBJECT \"Gr\xC3\xBC\xC3\x9F" "e\" UNSEEN", buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), "");
    Done(srv);
    ScriptServer srv2(LoggedIn("", {Expect("Z0002 UID SEARCH SEEN"), Reply("* SEARCH 4 9 1234"), Reply("Z0002 OK")}));
    ASSERT_EQ(Connect(srv2), 0);
    EXPECT_EQ(zemImapSearch(0, "SEEN", buf, 5), 3);
    EXPECT_EQ(std::string(buf), "4 9");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_STORED), 2);
    Done(srv2);
    // An IMAP4rev2 server answers with ESEARCH: its ranges are listed while they fit and
    // counted whole.
    ScriptServer srv3(LoggedIn("", {Expect("Z0002 UID SEARCH ALL"), Reply("* ESEARCH (TAG \"Z0002\") UID ALL 4:6,9"),
                                    Reply("Z0002 OK"), Expect("Z0003 UID SEARCH ALL"),
                                    Reply("* ESEARCH (TAG \"Z0003\") UID ALL 7,1:100000 MODSEQ 5"), Reply("Z0003 OK")}));
    ASSERT_EQ(Connect(srv3), 0);
    EXPECT_EQ(zemImapSearch(0, "ALL", buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf), "4 5 6 9");
    EXPECT_EQ(zemImapSearch(0, "ALL", buf, 8), 100001);
    EXPECT_EQ(std::string(buf), "7 1 2 3");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_STORED), 4);
    Done(srv3);
}

// ---- FETCH ------------------------------------------------------------------------------

TEST_F(ImapTest, FetchDecodesALiteralThatComesInPiecesAmongUntaggedData) {
    ScriptServer srv(LoggedIn("", {Expect("Z0002 UID FETCH 42 BODY.PEEK[]"), FetchResponse("Z0002"),
                                   Expect("Z0003 UID FETCH 42 BODY.PEEK[]"), FetchResponse("Z0003")}));
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(Fetch(42), 0);
    EXPECT_EQ(zt::ReadFile(dir_ + "/data.bin"), kAttachment);
    EXPECT_NE(Saved().find("hello"), std::string::npos);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_EXISTS), 3);
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
    EXPECT_EQ(Fetch(42, "raw.txt"), 0);
    EXPECT_EQ(Saved("raw.txt"), kMessage);
    Done(srv);
}

TEST_F(ImapTest, FetchFailuresMissingTooLargeAndBye) {
    ScriptServer srv(LoggedIn("", {Expect("Z0002 UID FETCH 7 BODY.PEEK[]"), Reply("* 1 FETCH (FLAGS (\\Seen))"),
                                   Reply("Z0002 OK nothing"), Expect("Z0003 EXPUNGE"), Reply("Z0003 OK"),
                                   Expect("Z0004 UID FETCH 8 BODY.PEEK[]"), Send("* 1 FETCH (UID 8 BODY[] {5000}\r\nab"),
                                   zt::WaitClose(3000)}));
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(Fetch(7), ZEM_ERR_NO_SUCH_MESSAGE);
    EXPECT_EQ(zemImapExpunge(0, nullptr), 0);
    zemIntegerParam(0, ZEM_PARAM_MAX_MESSAGE_SIZE, 4999);
    EXPECT_EQ(Fetch(8, "big.txt"), ZEM_ERR_MESSAGE_TOO_LARGE);
    EXPECT_NE(access((dir_ + "/big.txt").c_str(), F_OK), 0) << "no file for a message over the limit";
    Done(srv);
    ScriptServer srv2(LoggedIn("", {Expect("Z0002 UID FETCH 9 BODY.PEEK[]"), Send("* BYE going down\r\n"), zt::Close()}));
    ASSERT_EQ(Connect(srv2), 0);
    EXPECT_EQ(Fetch(9), ZEM_ERR_SOCKET_CLOSED);
}

TEST_F(ImapTest, NonBlockingFetchAndAppendGiveTheBlockingResults) {
    const std::string file = dir_ + "/msg.eml";
    zt::WriteFile(file, "Subject: x\n\nhello\n");
    ScriptServer srv(LoggedIn("", {Expect("Z0002 UID FETCH 42 BODY.PEEK[]"), FetchResponse("Z0002"),
                                   Expect("Z0003 UID FETCH 42 BODY.PEEK[]"), FetchResponse("Z0003"),
                                   Expect("Z0004 APPEND INBOX {21}"), Reply("+ go"), Expect("Subject: x"), Expect(""),
                                   Expect("hello"), Expect(""), Reply("Z0004 OK [APPENDUID 1 5] done")}));
    ASSERT_EQ(Connect(srv), 0);
    zemIntegerParam(0, ZEM_PARAM_NO_SAVED_NOTE, 1); // no attachment path in the message files
    ASSERT_EQ(Fetch(42, "a.txt"), 0);
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    ASSERT_EQ(Fetch(42, "b.txt"), 0);
    EXPECT_EQ(Drive(), 0);
    EXPECT_FALSE(Saved("a.txt").empty());
    EXPECT_EQ(Saved("b.txt"), Saved("a.txt"));
    EXPECT_EQ(zt::ReadFile(dir_ + "/data(2).bin"), kAttachment);
    EXPECT_EQ(zemImapAppend(0, "INBOX", file.c_str(), nullptr), 0);
    EXPECT_EQ(Drive(), 0);
    Done(srv);
}

TEST_F(ImapTest, FetchHeaderAndTheThreeStoreForms) {
    const std::string header = "From: a@example.org\r\nSubject: hi\r\n\r\n";
    ScriptServer srv(LoggedIn(
        "", {Expect("Z0002 UID FETCH 3 BODY.PEEK[HEADER]"),
             Send("* 1 FETCH (UID 3 BODY[HEADER] {" + std::to_string(header.size()) + "}\r\n" + header + " FLAGS ())\r\n"),
             Reply("Z0002 OK"), Expect("Z0003 UID STORE 3:5 +FLAGS.SILENT (\\Seen \\Flagged)"), Reply("Z0003 OK"),
             Expect("Z0004 UID STORE 3 -FLAGS.SILENT (\\Flagged)"), Reply("Z0004 OK"),
             Expect("Z0005 UID STORE 3,9 FLAGS.SILENT ($Work)"), Reply("Z0005 NO read-only"),
             Expect("Z0006 UID FETCH 4 BODY.PEEK[HEADER]"), Send("* 2 FETCH (UID 4 BODY[HEADER] {0}\r\n)\r\nZ0006 OK\r\n")}));
    ASSERT_EQ(Connect(srv), 0);
    char buf[100];
    EXPECT_EQ(zemImapFetchHeader(0, 3, buf, sizeof buf), static_cast<int32_t>(header.size()));
    EXPECT_EQ(std::string(buf), header);
    EXPECT_EQ(zemImapStore(0, "3:5", "+\\Seen \\Flagged"), 0);
    EXPECT_EQ(zemImapStore(0, "3", "-\\Flagged"), 0);
    EXPECT_EQ(zemImapStore(0, "3 9", "\\Seen"), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(zemImapStore(0, "3", "\\Seen) UID EXPUNGE (1"), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(zemImapStore(0, "3,9", "$Work"), ZEM_ERR_IMAP);
    EXPECT_EQ(zemImapFetchHeader(0, 4, buf, sizeof buf), 0) << "an empty header literal";
    Done(srv);
}

// ---- COPY, MOVE, EXPUNGE, APPEND, mailboxes -----------------------------------------------

TEST_F(ImapTest, CopyAndMoveWithAndWithoutTheMoveExtension) {
    std::string longSet = "5:6";
    for (int uid = 1000; longSet.size() < 100; uid += 2) longSet += "," + std::to_string(uid);
    ScriptServer srv(LoggedIn("UIDPLUS", {Expect("Z0002 UID COPY " + longSet + " Archive"),
                                          Reply("Z0002 OK [COPYUID 38 " + longSet + " 101:120] done"),
                                          Expect("Z0003 UID COPY 7 Archive"), Reply("Z0003 OK [COPYUID 38 7 103] done"),
                                          Expect("Z0004 UID STORE 7 +FLAGS.SILENT (\\Deleted)"), Reply("Z0004 OK"),
                                          Expect("Z0005 UID EXPUNGE 7"), Reply("* 3 EXPUNGE"), Reply("Z0005 OK")}));
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemImapCopy(0, longSet.c_str(), "Archive", 0), 101);
    EXPECT_EQ(zemImapCopy(0, "7", "Archive", 1), 103);
    Done(srv);
    ScriptServer srv2(LoggedIn("MOVE", {Expect("Z0002 UID MOVE 8 Archive"), Reply("* OK [COPYUID 38 8 201] moved"),
                                        Reply("* 1 EXPUNGE"), Reply("Z0002 OK"), Expect("Z0003 UID COPY 9 Archive"),
                                        Reply("Z0003 OK"), Expect("Z0004 NOOP"), Reply("Z0004 OK")}));
    ASSERT_EQ(Connect(srv2), 0);
    EXPECT_EQ(zemImapCopy(0, "8", "Archive", 1), 201);
    ScriptServer srv3(LoggedIn("", {Expect("Z0002 UID COPY 9 Archive"), Reply("Z0002 OK copied"),
                                    Expect("Z0003 EXPUNGE"), Reply("Z0003 OK")}));
    ASSERT_EQ(Connect(srv3), 0);
    EXPECT_EQ(zemImapCopy(0, "9", "Archive", 1), ZEM_ERR_NO_MOVE);
    EXPECT_EQ(zemImapExpunge(0, "9"), ZEM_ERR_NO_MOVE) << "no UID EXPUNGE without UIDPLUS";
    EXPECT_EQ(zemImapExpunge(0, nullptr), 0);
    Done(srv3);
}

TEST_F(ImapTest, AppendSendsTheFileWithCrLfAsALiteral) {
    const std::string file = dir_ + "/msg.eml";
    zt::WriteFile(file, "Subject: x\n\nhello\r\nend\n");
    ScriptServer srv(LoggedIn("LITERAL+ UIDPLUS",
                              {Expect("Z0002 APPEND INBOX (\\Seen) {26+}"), Expect("Subject: x"), Expect(""),
                               Expect("hello"), Expect("end"), Expect(""), Reply("Z0002 OK [APPENDUID 38 77] done"),
                               Expect("Z0003 UID EXPUNGE 1:3"), Reply("Z0003 OK")}));
    ASSERT_EQ(Connect(srv), 0);
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 0); // the data follows the command at once, no reply awaited
    EXPECT_EQ(zemImapAppend(0, "INBOX", file.c_str(), "\\Seen"), 77);
    EXPECT_EQ(zemImapExpunge(0, "1:3"), 0);
    Done(srv);
    ScriptServer srv2(LoggedIn("", {Expect("Z0002 APPEND Drafts {26}"), Reply("+ go ahead"), Expect("Subject: x"),
                                    Expect(""), Expect("hello"), Expect("end"), Expect(""), Reply("Z0002 OK done"),
                                    Expect("Z0003 APPEND Drafts {26}"), Reply("Z0003 NO [OVERQUOTA] full"),
                                    Expect("Z0004 EXPUNGE"), Reply("Z0004 OK")}));
    ASSERT_EQ(Connect(srv2), 0);
    EXPECT_EQ(zemImapAppend(0, "Drafts", file.c_str(), nullptr), 0);
    EXPECT_EQ(zemImapAppend(0, "Drafts", file.c_str(), nullptr), ZEM_ERR_IMAP);
    EXPECT_EQ(zemImapExpunge(0, nullptr), 0) << "the refused APPEND sent no data";
    Done(srv2);
}

TEST_F(ImapTest, MailboxCommandsSendNamesInModifiedUtf7) {
    ScriptServer srv(LoggedIn("", {Expect("Z0002 CREATE Entw&APw-rfe"), Reply("Z0002 OK"),
                                   Expect("Z0003 RENAME \"Old Box\" New&-Box"), Reply("Z0003 OK"),
                                   Expect("Z0004 DELETE Trash"), Reply("Z0004 NO [INUSE] busy"),
                                   Expect("Z0005 SUBSCRIBE \"a\\\"b\""), Reply("Z0005 OK"),
                                   Expect("Z0006 UNSUBSCRIBE INBOX"), Reply("Z0006 OK")}));
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemImapMailbox(0, ZEM_IMAP_CREATE, "Entw\xC3\xBCrfe", nullptr), 0);
    EXPECT_EQ(zemImapMailbox(0, ZEM_IMAP_RENAME, "Old Box", "New&Box"), 0);
    EXPECT_EQ(zemImapMailbox(0, ZEM_IMAP_DELETE, "Trash", nullptr), ZEM_ERR_IMAP);
    EXPECT_EQ(zemImapMailbox(0, ZEM_IMAP_SUBSCRIBE, "a\"b", nullptr), 0);
    EXPECT_EQ(zemImapMailbox(0, 9, "x", nullptr), ZEM_ERR_BAD_STATUS_FLAG);
    EXPECT_EQ(zemImapMailbox(0, ZEM_IMAP_UNSUBSCRIBE, "INBOX", nullptr), 0);
    Done(srv);
}

TEST_F(ImapTest, OtherChannelsAreRefusedAndCloseLogsOut) {
    char buf[16];
    ScriptServer pop({Send("+OK\r\n"), Expect("USER u"), Reply("+OK"), Expect("PASS p"), Reply("+OK"), Expect("QUIT"),
                      Reply("+OK")});
    zemIntegerParam(0, ZEM_PARAM_POP3_PORT, pop.port());
    ASSERT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), 0);
    EXPECT_EQ(zemImapSelect(0, "INBOX", 0), ZEM_ERR_IMAP_ONLY);
    EXPECT_EQ(zemImapList(0, "*", buf, sizeof buf), ZEM_ERR_IMAP_ONLY);
    EXPECT_EQ(zemImapMailbox(0, ZEM_IMAP_CREATE, "x", nullptr), ZEM_ERR_IMAP_ONLY);
    EXPECT_EQ(zemImapFetchFile(1, 1, "m", dir_.c_str(), dir_.c_str()), ZEM_ERR_IMAP_ONLY);
    EXPECT_EQ(zemClose(0), 0);
    Done(pop);
    ScriptServer srv(LoggedIn("", {Expect("Z0002 LOGOUT"), Send("* BYE bye\r\nZ0002 OK done\r\n")}));
    ASSERT_EQ(Connect(srv), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.WaitDisconnected(3000));
    EXPECT_EQ(srv.errors().size(), 0u);
}

// ---- Hostile servers --------------------------------------------------------------------

TEST_F(ImapTest, HostileResponsesFailCleanly) {
    const std::string fetch = "* 1 FETCH (UID 5 BODY[] ";
    const struct {
        std::string bytes;
        int32_t result;
    } cases[] = {
        {"* OK " + std::string(9u << 20, 'a'), ZEM_ERR_MALFORMED_REPLY},
        {"* 1 FETCH " + std::string(100, '(') + "\r\n", ZEM_ERR_MALFORMED_REPLY},
        {"* LIST () \"/\" \"" + std::string(2000, 'q') + "\"\r\n", ZEM_ERR_MALFORMED_REPLY},
        {fetch + "{1099511627777}\r\nabc", ZEM_ERR_MALFORMED_REPLY},
        {fetch + "{1099511627776}\r\n" + std::string(100000, 'x'), ZEM_ERR_SOCKET_CLOSED},
    };
    for (const auto &c : cases) {
        ScriptServer srv(LoggedIn("", {Expect("Z0002 UID FETCH 5 BODY.PEEK[]"), Send(c.bytes), zt::Close()}));
        ASSERT_EQ(Connect(srv), 0);
        EXPECT_EQ(Fetch(5), c.result) << c.bytes.substr(0, 40);
        const zem::Channel &ch = *zem::gChannelTable[0].ChannelPtr;
        EXPECT_EQ(ch.SocketOpen, 0);
        EXPECT_EQ(ch.EmailFile, 0) << "the message file is closed";
    }
}

} // namespace
