// SMTP authentication against the scripted server: the exact bytes of AUTH CRAM-MD5, AUTH
// LOGIN and AUTH PLAIN, the choice of mechanism from the EHLO reply, refusals and the log
// lines. Expected base64 texts and CRAM-MD5 digests are computed by Python's base64 and
// hmac modules, independently of the library's codecs.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"

namespace {

const char kFrom[] = "<sender@client.example>";
const char kEhlo[] = "EHLO client.example";

std::string Hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

class SmtpAuthTest : public zt::LibTest {
  protected:
    void SetUp() override {
        zt::LibTest::SetUp();
        dir_ = zt::TempDir();
        log_ = dir_ + "/auth.log";
        ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log_.c_str()), 0);
        zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    }
    void TearDown() override {
        zt::LibTest::TearDown();
        std::filesystem::remove_all(dir_);
    }

    static zem::Channel &Ch() { return *zem::gChannelTable[0].ChannelPtr; }
    std::string Log() const { return zt::ReadFile(log_); }

    // Runs a Python program and returns its standard output without the final line end.
    std::string Python(const std::string &program) {
        std::string path = dir_ + "/calc.py";
        zt::WriteFile(path, program);
        std::string cmd = std::string(ZEM_PYTHON) + " " + path;
        FILE *p = popen(cmd.c_str(), "r");
        if (p == nullptr) {
            ADD_FAILURE() << "cannot run " << cmd;
            return "";
        }
        std::string out;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        EXPECT_EQ(pclose(p), 0) << cmd;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        return out;
    }
    std::string B64(const std::string &bytes) {
        return Python("import base64\nprint(base64.b64encode(bytes.fromhex('" + Hex(bytes) + "')).decode())\n");
    }
    // The CRAM-MD5 answer of RFC 2195: base64 of "user hex(HMAC-MD5(password, challenge))",
    // the challenge taken up to its first CR.
    std::string CramLine(const std::string &challenge, const std::string &user, const std::string &password,
                         bool cutAtCr = true) {
        return Python(std::string("import base64, hashlib, hmac\n") +
                      "c = bytes.fromhex('" + Hex(challenge) + "')" + (cutAtCr ? ".split(b'\\r')[0]" : "") + "\n"
                      "k = bytes.fromhex('" + Hex(password) + "')\n"
                      "u = bytes.fromhex('" + Hex(user) + "')\n"
                      "d = hmac.new(k, c, hashlib.md5).hexdigest().encode()\n"
                      "print(base64.b64encode(u + b' ' + d).decode())\n");
    }

    void SetCredentials(const std::string &user, const std::string &password) {
        ASSERT_EQ(zemStringParam(0, ZEM_STRING_USER_NAME, user.c_str()), static_cast<int32_t>(user.size()));
        ASSERT_EQ(zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, password.c_str()), static_cast<int32_t>(password.size()));
    }

    static int32_t Connect(const zt::ScriptServer &srv) {
        zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port());
        return zemSmtpConnect(0, "127.0.0.1", kFrom, nullptr);
    }

    // Everything the client sent, once it has gone away.
    static std::string AllSent(zt::ScriptServer &srv) {
        zemRelease();
        EXPECT_TRUE(srv.WaitDisconnected(3000));
        return srv.received();
    }

    std::string dir_;
    std::string log_;
};

// Greeting, EHLO and the given EHLO reply (bytes as sent), then the exchange.
zt::Script Offer(const std::string &ehloReply, std::vector<zt::Step> then = {}, const char *greet = kEhlo) {
    zt::Script s{zt::Send("220 mail.test ESMTP\r\n"), zt::Expect(greet), zt::Send(ehloReply)};
    s.insert(s.end(), then.begin(), then.end());
    return s;
}

std::string FirstError(const zt::ScriptServer &srv) {
    auto e = srv.errors();
    return e.empty() ? std::string() : e[0];
}

TEST_F(SmtpAuthTest, PlainSendsTheWholeMessageOnOneLine) {
    const std::string user = "u123456789abcdefghijklmnopqrstuvwxyz0123"; // 40 characters
    const std::string password = "P@ssw0rd-0123456789-abcdefghij-KLMNOPQRS";
    ASSERT_EQ(user.size(), 40u);
    ASSERT_EQ(password.size(), 40u);
    SetCredentials(user, password);
    const std::string encoded = B64(user + '\0' + user + '\0' + password);
    ASSERT_EQ(encoded.size(), 164u);
    zt::ScriptServer srv(Offer("250-mail.test\r\n250 AUTH PLAIN\r\n",
                               {zt::Expect("AUTH PLAIN " + encoded), zt::Reply("235 2.7.0 Authentication successful")}));
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), 1);
    std::string log = Log();
    EXPECT_NE(log.find("r: 235 2.7.0 Authentication successful\r\nAUTH PLAIN ok\r\n"), std::string::npos) << log;
    EXPECT_EQ(AllSent(srv), std::string(kEhlo) + "\r\nAUTH PLAIN " + encoded + "\r\n");
}

TEST_F(SmtpAuthTest, PlainKeepsBothSeparatorsWhatEverIsMissing) {
    {
        SCOPED_TRACE("nothing set: the two zero bytes");
        zt::ScriptServer srv(Offer("250 AUTH PLAIN\r\n", {zt::Expect("AUTH PLAIN " + B64(std::string(2, '\0'))),
                                                          zt::Reply("235 ok")}));
        EXPECT_EQ(Connect(srv), 0);
        EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
    }
    {
        SCOPED_TRACE("only the password set");
        ASSERT_EQ(zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, "pw"), 2);
        zt::ScriptServer srv(Offer("250 AUTH PLAIN\r\n", {zt::Expect("AUTH PLAIN " + B64(std::string(2, '\0') + "pw")),
                                                          zt::Reply("235 ok")}));
        EXPECT_EQ(Connect(srv), 0);
        EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
    }
}

TEST_F(SmtpAuthTest, LoginExchangeAndItsLogLine) {
    SetCredentials("alice", "wonderland");
    zt::ScriptServer srv(Offer("250-mail.test\r\n250 AUTH LOGIN PLAIN\r\n",
                               {zt::Expect("AUTH LOGIN"), zt::Reply("334 VXNlcm5hbWU6"), zt::Expect(B64("alice")),
                                zt::Reply("334 UGFzc3dvcmQ6"), zt::Expect(B64("wonderland")), zt::Reply("235 ok")}));
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
    std::string log = Log();
    EXPECT_NE(log.find("r: 235 ok\r\nAUTH LOGIN ok\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Challenge"), std::string::npos);
}

TEST_F(SmtpAuthTest, LoginRefusedAtThePassword) {
    SetCredentials("alice", "wrong");
    zt::ScriptServer srv(Offer("250 AUTH LOGIN\r\n", {zt::Expect("AUTH LOGIN"), zt::Reply("334 VXNlcm5hbWU6"),
                                                     zt::Expect(B64("alice")), zt::Reply("334 UGFzc3dvcmQ6"),
                                                     zt::Expect(B64("wrong")),
                                                     zt::Reply("535 5.7.8 Authentication credentials invalid")}));
    EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
    EXPECT_EQ(Ch().SocketOpen, 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    EXPECT_TRUE(srv.WaitDisconnected(3000));
    EXPECT_STREQ(Ch().LastReply, "535 5.7.8 Authentication credentials invalid\r\n");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 535);
    std::string log = Log();
    std::regex record(R"(ZemCode=-49 PrevState=16[34] ThisState=164 NextState=164\r\nSMTP returned error\. 535)");
    EXPECT_TRUE(std::regex_search(log, record)) << log;
    EXPECT_EQ(log.find("AUTH LOGIN ok"), std::string::npos);
}

TEST_F(SmtpAuthTest, LoginWithEmptyCredentialsSendsEmptyLines) {
    zt::ScriptServer srv(Offer("250 AUTH LOGIN\r\n", {zt::Expect("AUTH LOGIN"), zt::Reply("334 VXNlcm5hbWU6"),
                                                     zt::Expect(""), zt::Reply("334 UGFzc3dvcmQ6"), zt::Expect(""),
                                                     zt::Reply("535 no")}));
    EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
}

TEST_F(SmtpAuthTest, CramMd5MatchesTheRfcExample) {
    // RFC 2195 section 2: user "tim", password "tanstaaftanstaaf".
    SetCredentials("tim", "tanstaaftanstaaf");
    const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
    const std::string expected = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";
    ASSERT_EQ(CramLine(challenge, "tim", "tanstaaftanstaaf"), expected); // the independent computation agrees
    zt::ScriptServer srv(Offer("250-mail.test\r\n250 AUTH CRAM-MD5\r\n",
                               {zt::Expect("AUTH CRAM-MD5"),
                                zt::Reply("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"),
                                zt::Expect(expected), zt::Reply("235 Authentication successful")}));
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
    std::string log = Log();
    size_t challengeLine = log.find("Challenge '" + challenge + "'\r\n");
    size_t ok = log.find("r: 235 Authentication successful\r\nAUTH CRAM-MD5 ok\r\n");
    ASSERT_NE(challengeLine, std::string::npos) << log;
    ASSERT_NE(ok, std::string::npos) << log;
    EXPECT_LT(challengeLine, ok);
}

TEST_F(SmtpAuthTest, CramMd5ResponseForOtherCredentials) {
    const std::string user = "someone.with.a.long.name@client.example";
    const std::string password = std::string(64, 'k'); // the longest password the channel keeps
    SetCredentials(user, password);
    const std::string challenge = "<12345.67890@mail.test>";
    const std::string expected = CramLine(challenge, user, password);
    zt::ScriptServer srv(Offer("250 AUTH CRAM-MD5\r\n", {zt::Expect("AUTH CRAM-MD5"),
                                                        zt::Reply("334 " + B64(challenge)), zt::Expect(expected),
                                                        zt::Reply("235 ok")}));
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
}

TEST_F(SmtpAuthTest, CramMd5ChallengeWithCarriageReturnIsHashedUpToIt) {
    SetCredentials("bob", "secret");
    const std::string challenge = "<part.before@cr>\rand after";
    const std::string expected = CramLine(challenge, "bob", "secret");
    ASSERT_NE(expected, CramLine(challenge, "bob", "secret", false)); // hashing it all would differ
    zt::ScriptServer srv(Offer("250 AUTH CRAM-MD5\r\n", {zt::Expect("AUTH CRAM-MD5"),
                                                        zt::Reply("334 " + B64(challenge)), zt::Expect(expected),
                                                        zt::Reply("235 ok")}));
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
    EXPECT_NE(Log().find("Challenge '" + challenge + "'\r\n"), std::string::npos);
}

TEST_F(SmtpAuthTest, CramMd5ChallengeLongerThanTheWorkAreaIsRefused) {
    SetCredentials("bob", "secret");
    {
        SCOPED_TRACE("131 characters fit");
        const std::string challenge = "<" + std::string(129, 'c') + ">";
        ASSERT_EQ(challenge.size(), 131u);
        zt::ScriptServer srv(Offer("250 AUTH CRAM-MD5\r\n", {zt::Expect("AUTH CRAM-MD5"),
                                                            zt::Reply("334 " + B64(challenge)),
                                                            zt::Expect(CramLine(challenge, "bob", "secret")),
                                                            zt::Reply("235 ok")}));
        EXPECT_EQ(Connect(srv), 0);
        EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
    }
    {
        SCOPED_TRACE("132 characters do not");
        const std::string challenge = "<" + std::string(130, 'c') + ">";
        zt::ScriptServer srv(Offer("250 AUTH CRAM-MD5\r\n",
                                   {zt::Expect("AUTH CRAM-MD5"), zt::Reply("334 " + B64(challenge))}));
        EXPECT_EQ(Connect(srv), ZEM_ERR_RESPONSE_OVERFLOW);
        EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
        EXPECT_EQ(Ch().SocketOpen, 0);
        EXPECT_TRUE(srv.WaitDisconnected(3000));
        EXPECT_EQ(srv.received(), std::string(kEhlo) + "\r\nAUTH CRAM-MD5\r\n"); // no response was sent
    }
}

TEST_F(SmtpAuthTest, MechanismIsChosenByPreferenceNotByOrder) {
    struct Case {
        const char *ehloReply;
        const char *command; // the AUTH line expected, or null for none
    };
    const Case cases[] = {
        {"250-mail.test\r\n250-AUTH LOGIN PLAIN\r\n250 AUTH CRAM-MD5\r\n", "AUTH CRAM-MD5"},
        {"250-mail.test\r\n250 AUTH PLAIN LOGIN CRAM-MD5\r\n", "AUTH CRAM-MD5"},
        {"250-mail.test\r\n250 AUTH PLAIN LOGIN\r\n", "AUTH LOGIN"},
        {"250-mail.test\r\n250-SIZE 100\r\n250 auth plain login\r\n", "AUTH LOGIN"},
        {"250-mail.test\r\n250 AUTH PLAIN\r\n", "AUTH PLAIN"},
        {"250-mail.test\r\n250 AUTH GSSAPI NTLM\r\n", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ehloReply);
        if (c.command == nullptr) {
            zt::ScriptServer srv(Offer(c.ehloReply));
            EXPECT_EQ(Connect(srv), 0);
            EXPECT_TRUE(srv.Finish(3000));
            zemAbort(0);
            EXPECT_TRUE(srv.WaitDisconnected(3000));
            EXPECT_EQ(srv.received(), std::string(kEhlo) + "\r\n");
            continue;
        }
        // The server refuses at once: only the choice matters here.
        zt::ScriptServer srv(Offer(c.ehloReply, {zt::ExpectPrefix(c.command), zt::Reply("504 not today")}));
        EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
        EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
        std::string sent = srv.received();
        std::string line = sent.substr(sent.find("\r\n") + 2);
        EXPECT_EQ(line.compare(0, std::string(c.command).size(), c.command), 0) << line;
    }
}

TEST_F(SmtpAuthTest, NoAuthOfferedMeansNoAuthentication) {
    SetCredentials("alice", "wonderland");
    zt::ScriptServer srv(Offer("250-mail.test\r\n250-SIZE 1000000\r\n250 HELP\r\n"));
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_EQ(Log().find("AUTH"), std::string::npos);
    EXPECT_EQ(AllSent(srv), std::string(kEhlo) + "\r\n");
}

TEST_F(SmtpAuthTest, HeloNeverAuthenticatesEvenWhenOffered) {
    SetCredentials("alice", "wonderland");
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 0);
    zt::ScriptServer srv(Offer("250-mail.test\r\n250 AUTH CRAM-MD5 LOGIN PLAIN\r\n", {}, "HELO client.example"));
    EXPECT_EQ(Connect(srv), 0);
    EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
    EXPECT_EQ(AllSent(srv), "HELO client.example\r\n");
}

TEST_F(SmtpAuthTest, TemporaryFailureAtTheLastStepFailsTheConnect) {
    SetCredentials("carol", "pw");
    const std::string failure = "454 4.7.0 Temporary authentication failure";
    const std::string challenge = "<1.2@mail.test>";
    struct Case {
        const char *name;
        zt::Script script;
        int lastState;
    };
    const Case cases[] = {
        {"PLAIN", Offer("250 AUTH PLAIN\r\n", {zt::ExpectPrefix("AUTH PLAIN "), zt::Reply(failure)}), 171},
        {"LOGIN",
         Offer("250 AUTH LOGIN\r\n", {zt::Expect("AUTH LOGIN"), zt::Reply("334 VXNlcm5hbWU6"), zt::Expect(B64("carol")),
                                     zt::Reply("334 UGFzc3dvcmQ6"), zt::Expect(B64("pw")), zt::Reply(failure)}),
         164},
        {"CRAM-MD5",
         Offer("250 AUTH CRAM-MD5\r\n", {zt::Expect("AUTH CRAM-MD5"), zt::Reply("334 " + B64(challenge)),
                                        zt::Expect(CramLine(challenge, "carol", "pw")), zt::Reply(failure)}),
         153},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zt::ScriptServer srv(c.script);
        EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
        EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
        EXPECT_EQ(Ch().SocketOpen, 0);
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 454);
        std::string state = std::to_string(c.lastState);
        // The state before it, or itself when the reply took more than one poll.
        std::regex record("ZemCode=-49 PrevState=(" + std::to_string(c.lastState - 1) + "|" + state +
                          ") ThisState=" + state + " NextState=" + state + "\r\n");
        std::string log = Log();
        EXPECT_TRUE(std::regex_search(log, record)) << log;
    }
    std::string log = Log(); // no exchange reported success
    for (const char *line : {"AUTH PLAIN ok", "AUTH LOGIN ok", "AUTH CRAM-MD5 ok"})
        EXPECT_EQ(log.find(line), std::string::npos) << line;
}

TEST_F(SmtpAuthTest, RefusedAuthCommandEndsTheExchange) {
    zt::ScriptServer srv(Offer("250 AUTH LOGIN\r\n", {zt::Expect("AUTH LOGIN"), zt::Reply("504 mechanism disabled")}));
    EXPECT_EQ(Connect(srv), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_TRUE(srv.WaitDisconnected(3000));
    EXPECT_EQ(srv.received(), std::string(kEhlo) + "\r\nAUTH LOGIN\r\n");
}

// Every login the library makes, into one log: no password, token, base64 form of them or
// digest reaches it (nor stays in the channel), and each line that carried one is there
// with the secret masked.
TEST_F(SmtpAuthTest, NoSecretReachesTheLog) {
    const std::string user = "alice", password = "S3cretPassw0rd", token = "ya29.T0kenSecret";
    SetCredentials(user, password);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_OAUTH_TOKEN, token.c_str()), static_cast<int32_t>(token.size()));
    zemIntegerParam(0, ZEM_PARAM_LOGIN_PAUSE, 0);
    zemIntegerParam(0, ZEM_PARAM_CLOSE_PAUSE, 0);
    const std::string challenge = "<4711.1234@mail.test>", stamp = "<1896.697170952@mail.test>";
    // The CRAM-MD5 and APOP digests, 32 hex digits each.
    const std::string digests = Python("import hashlib, hmac\nprint(hmac.new(b'" + password + "', b'" + challenge +
                                       "', hashlib.md5).hexdigest() + hashlib.md5(b'" + stamp + password +
                                       "').hexdigest())\n");
    ASSERT_EQ(digests.size(), 64u);
    const std::string cram = digests.substr(0, 32), apop = digests.substr(32);
    const std::string cramLine = B64(user + " " + cram);
    const std::string plain = B64(user + '\0' + user + '\0' + password);
    const std::string xoauth = B64("user=" + user + "\x01" "auth=Bearer " + token + "\x01\x01");
    // base64 of "alice", of the password, of the challenge and of {"status":"401"}
    const std::string userB64 = "YWxpY2U=", passwordB64 = "UzNjcmV0UGFzc3cwcmQ=";
    const std::string challengeB64 = "PDQ3MTEuMTIzNEBtYWlsLnRlc3Q+", statusB64 = "eyJzdGF0dXMiOiI0MDEifQ==";
    struct Case {
        zt::Script script;
        int32_t result;
    };
    const Case smtp[] = {
        {Offer("250 AUTH PLAIN\r\n", {zt::Expect("AUTH PLAIN " + plain), zt::Reply("235 ok")}), 0},
        {Offer("250 AUTH LOGIN\r\n", {zt::Expect("AUTH LOGIN"), zt::Reply("334 VXNlcm5hbWU6"), zt::Expect(userB64),
                                     zt::Reply("334 UGFzc3dvcmQ6"), zt::Expect(passwordB64), zt::Reply("235 ok")}),
         0},
        {Offer("250 AUTH CRAM-MD5\r\n", {zt::Expect("AUTH CRAM-MD5"), zt::Reply("334 " + challengeB64),
                                        zt::Expect(cramLine), zt::Reply("235 ok")}),
         0},
        // Refused after an error challenge: the error record follows the masked answer.
        {Offer("250-mail.test\r\n250 AUTH XOAUTH2\r\n",
               {zt::Expect("AUTH XOAUTH2 " + xoauth), zt::Reply("334 " + statusB64), zt::Expect(""),
                zt::Reply("535 5.7.8 refused"), zt::WaitClose()}),
         ZEM_ERR_SMTP},
    };
    for (const Case &c : smtp) {
        zt::ScriptServer srv(c.script);
        EXPECT_EQ(Connect(srv), c.result);
        EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
        zemAbort(0);
    }
    const zt::Script pop3[] = {
        {zt::Send("+OK ready\r\n"), zt::Expect("USER " + user), zt::Reply("+OK"), zt::Expect("PASS " + password),
         zt::Reply("+OK in"), zt::Expect("PASS " + password), zt::Reply("+OK raw")},
        {zt::Send("+OK ready " + stamp + "\r\n"), zt::Expect("APOP " + user + " " + apop), zt::Reply("+OK in")},
    };
    for (int apopLogin = 0; apopLogin < 2; ++apopLogin) {
        zt::ScriptServer srv(pop3[apopLogin]);
        zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
        zemIntegerParam(0, ZEM_PARAM_USE_APOP, apopLogin);
        EXPECT_EQ(zemPop3Connect(0, "127.0.0.1", user.c_str(), password.c_str()), 0);
        if (!apopLogin) EXPECT_EQ(zemCommand(0, ("PASS " + password).c_str()), 0); // a raw one too
        EXPECT_TRUE(srv.Finish(3000)) << FirstError(srv);
        zemAbort(0);
    }

    const std::string log = Log();
    const std::string channel(reinterpret_cast<const char *>(&Ch()), sizeof(zem::Channel));
    for (const std::string &secret : {password, token, passwordB64, plain, xoauth, cramLine, cram, apop}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
        // The channel keeps the password and token for the next login, nothing made of them.
        if (secret != password && secret != token) EXPECT_EQ(channel.find(secret), std::string::npos) << secret;
    }
    for (const char *line : {"*** zemStringParam(0,57,********)\r\n", "*** zemStringParam(0,86,********)\r\n",
                             "S: AUTH PLAIN ********\r\n", "S: AUTH XOAUTH2 ********\r\n",
                             "Challenge '{\"status\":\"401\"}'\r\n", "S: PASS ********\r\n",
                             "S: APOP alice ********\r\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
    // Both LOGIN answers, the CRAM-MD5 response and the answer to the error challenge.
    const std::string bareLine = "S: ********\r\n";
    size_t bare = 0;
    for (size_t at = log.find(bareLine); at != std::string::npos; at = log.find(bareLine, at + 1)) ++bare;
    EXPECT_EQ(bare, 4u) << log;
}

} // namespace
