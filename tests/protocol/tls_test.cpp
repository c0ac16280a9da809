// TLS against the scripted server, which wraps its side of the conversation in OpenSSL
// with the test certificates: STARTTLS and STLS byte for byte (plaintext before, EHLO
// again, the AUTH offer after), implicit TLS, refused certificates, credentials never
// sent in the clear, bytes injected after the go-ahead, a stalled handshake, truncated
// streams, many channels driven from one thread, and IPv6 over ::1.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"

namespace {

using namespace zt;
using Clock = std::chrono::steady_clock;

const char kFrom[] = "<sender@client.example>";

std::string Md5Hex(const std::string &text) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), d, &n, EVP_md5(), nullptr);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += digits[d[i] >> 4];
        out += digits[d[i] & 15];
    }
    return out;
}

class TlsTest : public LibTest {
  protected:
    int Channels() const override { return 32; }
    void SetUp() override {
        LibTest::SetUp();
        dir_ = TempDir();
        log_ = dir_ + "/tls.log";
        ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log_.c_str()), 0);
        zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 1);
        UseTestCa(0);
    }
    void TearDown() override {
        LibTest::TearDown();
        std::filesystem::remove_all(dir_);
    }
    static void UseTestCa(int chan) {
        ASSERT_GT(zemStringParam(chan, ZEM_STRING_CA_FILE, CertPath("ca.pem").c_str()), 0);
    }
    static zem::Channel &Ch(int i = 0) { return *zem::gChannelTable[i].ChannelPtr; }
    std::string Log() const { return ReadFile(log_); }
    static std::string Debug(int index, int chan = 0) {
        char buf[256];
        int32_t n = zemDebug(chan, index, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    int32_t Smtp(const ScriptServer &srv, int mode, const char *server = "127.0.0.1", int chan = 0) {
        zemIntegerParam(chan, ZEM_PARAM_SMTP_PORT, srv.port());
        zemIntegerParam(chan, ZEM_PARAM_TLS, mode);
        return zemSmtpConnect(chan, server, kFrom, nullptr);
    }
    int32_t Pop3(const ScriptServer &srv, int mode, const char *server = "127.0.0.1") {
        zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port());
        zemIntegerParam(0, ZEM_PARAM_TLS, mode);
        return zemPop3Connect(0, server, "u", "p");
    }
    std::string dir_, log_;
};

// The EHLO exchange up to the go-ahead of STARTTLS.
Script StartTlsPrelude(const std::string &goAhead = "220 2.0.0 go ahead\r\n") {
    return {Send("220 mail.test ESMTP\r\n"), Expect("EHLO client.example"),
            Send("250-mail.test\r\n250-AUTH LOGIN\r\n250 STARTTLS\r\n"), Expect("STARTTLS"), Send(goAhead)};
}

Script With(Script a, const Script &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- STARTTLS and STLS byte for byte ---------------------------------------------------

TEST_F(TlsTest, StartTlsSendsEhloAgainAndUsesOnlyTheAuthOfferAfterTls) {
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    zemStringParam(0, ZEM_STRING_USER_NAME, "u");
    zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, "p");
    // Before TLS only LOGIN is offered; after it only PLAIN: PLAIN must be used.
    ScriptServer srv(With(StartTlsPrelude(), {StartTls("server"), Expect("EHLO client.example"),
                                              Send("250-mail.test\r\n250 AUTH PLAIN\r\n"), Expect("AUTH PLAIN dQB1AHA="),
                                              Reply("235 2.7.0 ok"), Expect("QUIT"), Reply("221 bye"), WaitClose()}));
    ASSERT_EQ(Smtp(srv, ZEM_TLS_STARTTLS), 0) << Log();
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TLS_ACTIVE), 1);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(srv.received(), "EHLO client.example\r\nSTARTTLS\r\nEHLO client.example\r\nAUTH PLAIN dQB1AHA=\r\nQUIT\r\n");
    EXPECT_EQ(Debug(ZEM_DEBUG_TLS_PROTOCOL), srv.tlsProtocol());
    EXPECT_FALSE(Debug(ZEM_DEBUG_TLS_CIPHER).empty());
    EXPECT_EQ(Debug(ZEM_DEBUG_TLS_VERIFY), "ok");
    std::string log = Log();
    EXPECT_NE(log.find("TLS: " + srv.tlsProtocol() + ", " + Debug(ZEM_DEBUG_TLS_CIPHER) + "\r\n"), std::string::npos);
    EXPECT_NE(log.find("<108:"), std::string::npos);
    EXPECT_NE(log.find("<109:"), std::string::npos);
    // The traffic after the handshake is logged in clear as before, secrets masked.
    EXPECT_NE(log.find("S: AUTH PLAIN ********\r\n"), std::string::npos);
    EXPECT_EQ(log.find("verification is off"), std::string::npos);
}

TEST_F(TlsTest, StlsKeepsTheGreetingTimestampForApop) {
    zemIntegerParam(0, ZEM_PARAM_USE_APOP, 1);
    const std::string stamp = "<1896.697170952@dbc.mtview.ca.us>";
    ScriptServer srv({Send("+OK POP3 server ready " + stamp + "\r\n"), Expect("STLS"), Reply("+OK Begin TLS negotiation"),
                      StartTls("server"), Expect("APOP u " + Md5Hex(stamp + "p")), Reply("+OK maildrop has 2 messages"),
                      Expect("STAT"), Reply("+OK 2 320"), Expect("NOOP"), Reply("+OK"), Expect("QUIT"), Reply("+OK bye"),
                      WaitClose()});
    ASSERT_EQ(Pop3(srv, ZEM_TLS_STARTTLS), 0) << Log();
    EXPECT_EQ(zemGetEmailCount(0), 2);
    EXPECT_EQ(zemCommand(0, "NOOP"), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(srv.received(), "STLS\r\nAPOP u " + Md5Hex(stamp + "p") + "\r\nSTAT\r\nNOOP\r\nQUIT\r\n");
}

TEST_F(TlsTest, ImplicitTlsSmtpAndPop3HandshakeBeforeTheGreeting) {
    {
        ScriptServer srv({StartTls("server"), Send("220 mail.test ESMTP\r\n"), Expect("HELO client.example"),
                          Reply("250 ok"), Expect("QUIT"), Reply("221 bye"), WaitClose()});
        ASSERT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT), 0) << Log();
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
        EXPECT_EQ(srv.received(), "HELO client.example\r\nQUIT\r\n");
    }
    {
        // A message retrieved through TLS goes through the MIME decoder like any other.
        ScriptServer srv({StartTls("server"), Send("+OK ready\r\n"), Expect("USER u"), Reply("+OK"), Expect("PASS p"),
                          Reply("+OK"), Expect("RETR 1"),
                          Send("+OK message follows\r\nSubject: hi\r\n\r\nline one\r\n..dot\r\n.\r\n"), Expect("QUIT"),
                          Reply("+OK"), WaitClose()});
        ASSERT_EQ(Pop3(srv, ZEM_TLS_IMPLICIT), 0) << Log();
        ASSERT_EQ(zemGetEmailFile(0, 1, "m.txt", dir_.c_str(), dir_.c_str()), 0) << Log();
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
        EXPECT_EQ(srv.received(), "USER u\r\nPASS p\r\nRETR 1\r\nQUIT\r\n");
        std::string saved = ReadFile(dir_ + "/m.txt");
        EXPECT_NE(saved.find("line one\r\n.dot\r\n"), std::string::npos) << saved;
    }
}

TEST_F(TlsTest, CaDirectoryAndHostNameAreAccepted) {
    zemStringParam(0, ZEM_STRING_CA_FILE, "");
    zemStringParam(0, ZEM_STRING_CA_DIR, CertPath("cadir").c_str());
    ScriptServer srv({StartTls("server"), Send("220 mail.test\r\n"), Expect("HELO client.example"), Reply("250 ok"),
                      Never()},
                     2);
    // "localhost" may resolve to ::1 first, where nobody listens: the next address is tried.
    ASSERT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT, "localhost"), 0) << Log();
    EXPECT_EQ(Debug(ZEM_DEBUG_TLS_VERIFY), "ok");
    zemAbort(0);
}

// ---- Refused certificates: the code, the reason, and nothing sent after ----------------

struct BadCert {
    const char *cert;
    const char *server;
    int32_t code;
    const char *reason; // part of the verification text
};

TEST_F(TlsTest, EachBadCertificateIsRefusedWithItsCodeAndNothingIsSent) {
    const BadCert cases[] = {
        {"expired", "127.0.0.1", ZEM_ERR_TLS_UNTRUSTED, "expired"},
        {"self", "127.0.0.1", ZEM_ERR_TLS_UNTRUSTED, "self-signed"},
        {"other", "127.0.0.1", ZEM_ERR_TLS_NAME_MISMATCH, "mismatch"},
    };
    for (const BadCert &c : cases) {
        SCOPED_TRACE(std::string(c.cert) + " at " + c.server);
        {
            ScriptServer srv(With(StartTlsPrelude(), {StartTls(c.cert), Reply("250 never read"), WaitClose()}));
            zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
            EXPECT_EQ(Smtp(srv, ZEM_TLS_STARTTLS, c.server), c.code) << Log();
            EXPECT_NE(Debug(ZEM_DEBUG_TLS_VERIFY).find(c.reason), std::string::npos) << Debug(ZEM_DEBUG_TLS_VERIFY);
            EXPECT_EQ(zemStatistics(0, ZEM_STAT_TLS_ACTIVE), 0);
            srv.WaitDisconnected(5000);
            EXPECT_EQ(srv.received(), "EHLO client.example\r\nSTARTTLS\r\n");
        }
        {
            ScriptServer srv({StartTls(c.cert), Send("+OK ready\r\n"), WaitClose()});
            EXPECT_EQ(Pop3(srv, ZEM_TLS_IMPLICIT, c.server), c.code) << Log();
            srv.WaitDisconnected(5000);
            EXPECT_EQ(srv.received(), "");
        }
    }
    EXPECT_NE(Log().find("TLS: certificate: certificate has expired\r\n"), std::string::npos);
    EXPECT_EQ(ErrorText(ZEM_ERR_TLS_UNTRUSTED), "Server certificate not trusted.");
    EXPECT_EQ(ErrorText(ZEM_ERR_TLS_NAME_MISMATCH), "Server certificate does not match the server name.");
}

TEST_F(TlsTest, WithoutTheTestCaTheSystemStoreRefusesTheServer) {
    zemStringParam(0, ZEM_STRING_CA_FILE, "");
    ScriptServer srv({StartTls("server"), Send("220 x\r\n"), WaitClose()});
    EXPECT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT), ZEM_ERR_TLS_UNTRUSTED);
}

TEST_F(TlsTest, VerificationOffIsLoggedAndAcceptsAnyCertificate) {
    zemIntegerParam(0, ZEM_PARAM_TLS_VERIFY, 0);
    ScriptServer srv({StartTls("expired"), Send("220 x\r\n"), Expect("HELO client.example"), Reply("250 ok"), Never()});
    EXPECT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT), 0) << Log();
    EXPECT_NE(Log().find("TLS: certificate verification is off\r\n"), std::string::npos);
    EXPECT_NE(Debug(ZEM_DEBUG_TLS_VERIFY).find("expired"), std::string::npos);
    zemAbort(0);
}

TEST_F(TlsTest, UnusableLocalFilesFailBeforeTheHandshake) {
    zemStringParam(0, ZEM_STRING_CLIENT_CERT, (dir_ + "/missing.pem").c_str());
    ScriptServer srv({StartTls("server"), Send("220 x\r\n"), WaitClose()});
    EXPECT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT), ZEM_ERR_TLS_LOCAL_FILES);
    zemStringParam(0, ZEM_STRING_CLIENT_CERT, "");
    zemStringParam(0, ZEM_STRING_CA_FILE, (dir_ + "/missing-ca.pem").c_str());
    EXPECT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT), ZEM_ERR_TLS_LOCAL_FILES);
}

TEST_F(TlsTest, ClientCertificateIsOffered) {
    zemStringParam(0, ZEM_STRING_CLIENT_CERT, CertPath("client.pem").c_str());
    zemStringParam(0, ZEM_STRING_CLIENT_KEY, CertPath("client.key").c_str());
    ScriptServer srv({StartTls("server"), Send("220 x\r\n"), Expect("HELO client.example"), Reply("250 ok"), Never()});
    EXPECT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT), 0) << Log();
    zemAbort(0);
}

// ---- No credential in the clear when TLS is required -----------------------------------

TEST_F(TlsTest, RequiredTlsNeverSendsCredentialsInTheClear) {
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    zemStringParam(0, ZEM_STRING_USER_NAME, "u");
    zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, "p");
    {
        SCOPED_TRACE("STARTTLS not offered");
        ScriptServer srv({Send("220 mail.test\r\n"), Expect("EHLO client.example"),
                          Send("250-mail.test\r\n250 AUTH PLAIN LOGIN\r\n"), WaitClose()});
        EXPECT_EQ(Smtp(srv, ZEM_TLS_STARTTLS), ZEM_ERR_TLS_NOT_OFFERED);
        srv.WaitDisconnected(5000);
        EXPECT_EQ(srv.received(), "EHLO client.example\r\n");
    }
    {
        SCOPED_TRACE("STARTTLS answered 454");
        ScriptServer srv({Send("220 mail.test\r\n"), Expect("EHLO client.example"),
                          Send("250-mail.test\r\n250-AUTH PLAIN\r\n250 STARTTLS\r\n"), Expect("STARTTLS"),
                          Reply("454 4.7.0 TLS not available"), WaitClose()});
        EXPECT_EQ(Smtp(srv, ZEM_TLS_STARTTLS), ZEM_ERR_TLS_NOT_OFFERED);
        srv.WaitDisconnected(5000);
        EXPECT_EQ(srv.received(), "EHLO client.example\r\nSTARTTLS\r\n");
    }
    {
        SCOPED_TRACE("STLS refused");
        ScriptServer srv({Send("+OK ready\r\n"), Expect("STLS"), Reply("-ERR not here"), WaitClose()});
        EXPECT_EQ(Pop3(srv, ZEM_TLS_STARTTLS), ZEM_ERR_TLS_NOT_OFFERED);
        srv.WaitDisconnected(5000);
        EXPECT_EQ(srv.received(), "STLS\r\n");
    }
    EXPECT_EQ(ErrorText(ZEM_ERR_TLS_NOT_OFFERED), "Server does not offer STARTTLS/STLS.");
}

TEST_F(TlsTest, OpportunisticModeGoesOnInPlainTextWhenNotOffered) {
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    ScriptServer srv({Send("220 mail.test\r\n"), Expect("EHLO client.example"),
                      Send("250-mail.test\r\n250 STARTTLS\r\n"), Expect("STARTTLS"), Reply("454 not now"),
                      Expect("EHLO client.example"), Reply("250 mail.test"), Never()});
    EXPECT_EQ(Smtp(srv, ZEM_TLS_OPPORTUNISTIC), 0) << Log();
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TLS_ACTIVE), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    zemAbort(0);
}

// ---- Plaintext injected after the go-ahead ---------------------------------------------

TEST_F(TlsTest, BytesInjectedAfterTheGoAheadAreRefused) {
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    zemStringParam(0, ZEM_STRING_USER_NAME, "u");
    zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, "p");
    {
        SCOPED_TRACE("with the go-ahead line");
        ScriptServer srv(With(StartTlsPrelude("220 go ahead\r\n250-mail.test\r\n250 AUTH PLAIN\r\n"), {WaitClose()}));
        EXPECT_EQ(Smtp(srv, ZEM_TLS_STARTTLS), ZEM_ERR_TLS_INJECTION) << Log();
        srv.WaitDisconnected(5000);
        EXPECT_EQ(srv.received(), "EHLO client.example\r\nSTARTTLS\r\n");
    }
    {
        SCOPED_TRACE("after the go-ahead line");
        // A second segment may come before or during the handshake: before, it is refused
        // as injected; during, TLS takes it for a broken record. Never is it a reply.
        ScriptServer srv(With(StartTlsPrelude(), {Send("250 injected\r\n"), WaitClose()}));
        int32_t r = Smtp(srv, ZEM_TLS_STARTTLS);
        EXPECT_TRUE(r == ZEM_ERR_TLS_INJECTION || r == ZEM_ERR_TLS_HANDSHAKE) << r << Log();
        srv.WaitDisconnected(5000);
        EXPECT_EQ(srv.received().rfind("EHLO client.example\r\nSTARTTLS\r\n", 0), 0u);
        if (r == ZEM_ERR_TLS_INJECTION) EXPECT_EQ(srv.received(), "EHLO client.example\r\nSTARTTLS\r\n");
    }
    {
        SCOPED_TRACE("STLS");
        ScriptServer srv({Send("+OK ready\r\n"), Expect("STLS"), Send("+OK go\r\n+OK logged in\r\n"), WaitClose()});
        EXPECT_EQ(Pop3(srv, ZEM_TLS_STARTTLS), ZEM_ERR_TLS_INJECTION);
        srv.WaitDisconnected(5000);
        EXPECT_EQ(srv.received(), "STLS\r\n");
    }
    EXPECT_EQ(ErrorText(ZEM_ERR_TLS_INJECTION), "Unexpected data after STARTTLS/STLS.");
}

// ---- Stalls, truncation and the end of a session ----------------------------------------

TEST_F(TlsTest, StalledHandshakeEndsWithTimeOutWithinTheConnectTimeOut) {
    zemIntegerParam(0, ZEM_PARAM_CONNECT_TIMEOUT, 1500);
    for (int mode : {ZEM_TLS_STARTTLS, ZEM_TLS_IMPLICIT}) {
        SCOPED_TRACE(mode);
        ScriptServer srv(mode == ZEM_TLS_IMPLICIT ? Script{Never()} : With(StartTlsPrelude(), {Never()}));
        auto start = Clock::now();
        EXPECT_EQ(Smtp(srv, mode), ZEM_ERR_TIMED_OUT);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_GE(ms, 1400);
        EXPECT_LT(ms, 6000);
    }
}

TEST_F(TlsTest, TruncatedStreamFailsAReplyButCloseNotifyBeforeQuitsReplyDoesNot) {
    {
        ScriptServer srv({StartTls("server"), Send("220 x\r\n"), Expect("HELO client.example"), Send("250-partial"),
                          CloseNoNotify()});
        EXPECT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT), ZEM_ERR_SOCKET_CLOSED) << Log();
    }
    {
        ScriptServer srv({StartTls("server"), Send("220 x\r\n"), Expect("HELO client.example"), Reply("250 ok"),
                          Expect("QUIT"), Close()});
        ASSERT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT), 0) << Log();
        EXPECT_EQ(zemClose(0), 0) << Log();
    }
    {
        ScriptServer srv({StartTls("server"), Send("+OK\r\n"), Expect("USER u"), Reply("+OK"), Expect("PASS p"),
                          Reply("+OK"), Expect("RETR 1"), Send("+OK follows\r\nSubject: cut\r\n\r\nhalf a mess"),
                          CloseNoNotify()});
        ASSERT_EQ(Pop3(srv, ZEM_TLS_IMPLICIT), 0) << Log();
        EXPECT_EQ(zemGetEmailFile(0, 1, "cut.txt", dir_.c_str(), dir_.c_str()), ZEM_ERR_SOCKET_CLOSED) << Log();
    }
}

// ---- Many channels, one thread -----------------------------------------------------------

TEST_F(TlsTest, ThirtyTwoTlsChannelsRunNonBlockingFromOneThread) {
    constexpr int kN = 32;
    // Generous limits: one thread runs all 32 handshakes, and the machine may be loaded.
    ScriptServer srv({StartTls("server", 60000), Send("220 x\r\n"), Expect("HELO client.example", 60000),
                      Reply("250 ok"), Expect("QUIT", 60000), Reply("221 bye"), WaitClose(60000)},
                     kN);
    for (int i = 0; i < kN; ++i) {
        UseTestCa(i);
        zemIntegerParam(i, ZEM_PARAM_AUTO_CALL, 0);
        ASSERT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT, "127.0.0.1", i), 0);
    }
    auto runAll = [&](const char *what) {
        std::vector<int32_t> result(kN, 1);
        auto end = Clock::now() + std::chrono::seconds(60);
        for (int busy = kN; busy > 0 && Clock::now() < end;) {
            busy = 0;
            for (int i = 0; i < kN; ++i) {
                if (result[i] <= 0) continue;
                result[i] = zemDriver(i);
                if (result[i] > 0) ++busy;
            }
        }
        for (int i = 0; i < kN; ++i) EXPECT_EQ(result[i], 0) << what << " on channel " << i;
    };
    runAll("connect");
    for (int i = 0; i < kN; ++i) EXPECT_EQ(zemStatistics(i, ZEM_STAT_TLS_ACTIVE), 1);
    for (int i = 0; i < kN; ++i) ASSERT_EQ(zemClose(i), 0);
    runAll("close");
    // Closing pauses after each socket, one channel after the other.
    EXPECT_TRUE(srv.Finish(60000)) << ::testing::PrintToString(srv.errors());
}

// ---- IPv6 ------------------------------------------------------------------------------

TEST_F(TlsTest, Ipv6LiteralsWithAndWithoutBrackets) {
    for (const char *name : {"::1", "[::1]"}) {
        SCOPED_TRACE(name);
        ScriptServer srv({Send("220 x\r\n"), Expect("HELO client.example"), Reply("250 ok"), Expect("QUIT"),
                          Reply("221 bye"), WaitClose()},
                         1, true);
        ASSERT_EQ(Smtp(srv, ZEM_TLS_NONE, name), 0) << Log();
        EXPECT_EQ(Debug(ZEM_DEBUG_SERVER_ADDR), "::1");
        EXPECT_EQ(Debug(ZEM_DEBUG_LOCAL_ADDR), "::1");
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    }
    EXPECT_NE(Log().find("ServerIP = ::1\r\n"), std::string::npos);
    EXPECT_NE(Log().find("RemoteAddr=[::1]"), std::string::npos);
    // Too small a buffer for the text form: nothing is written.
    char small[3] = "xy";
    EXPECT_EQ(zemDebug(0, ZEM_DEBUG_SERVER_ADDR, small, 2), 0);
}

TEST_F(TlsTest, Ipv6WithTlsSendAndFetch) {
    {
        ScriptServer srv({StartTls("server"), Send("220 x\r\n"), Expect("HELO client.example"), Reply("250 ok"),
                          Expect("MAIL FROM:<sender@client.example>"), Reply("250 ok"), Expect("RCPT TO:<rcpt@x.example>"),
                          Reply("250 ok"), Expect("DATA"), Reply("354 go"), ExpectData(), Reply("250 queued"),
                          Expect("QUIT"), Reply("221 bye"), WaitClose()},
                         1, true);
        ASSERT_EQ(Smtp(srv, ZEM_TLS_IMPLICIT, "::1"), 0) << Log();
        ASSERT_EQ(zemSendEmail(0, "<rcpt@x.example>", nullptr, nullptr, "over v6", "hello over TLS and IPv6", nullptr), 0)
            << Log();
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
        EXPECT_NE(srv.data().find("hello over TLS and IPv6"), std::string::npos);
    }
    {
        ScriptServer srv({Send("+OK ready\r\n"), Expect("STLS"), Reply("+OK"), StartTls("server"), Expect("USER u"),
                          Reply("+OK"), Expect("PASS p"), Reply("+OK"), Expect("STAT"), Reply("+OK 7 100"),
                          Never()},
                         1, true);
        ASSERT_EQ(Pop3(srv, ZEM_TLS_STARTTLS, "[::1]"), 0) << Log();
        EXPECT_EQ(zemGetEmailCount(0), 7);
        zemAbort(0);
    }
}

// ---- Parameters ------------------------------------------------------------------------

TEST_F(TlsTest, ParametersAreCheckedAndReported) {
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_TLS, 4), -1);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_TLS, -1), -1);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_TLS, ZEM_TLS_IMPLICIT), 1);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TLS_MODE), ZEM_TLS_IMPLICIT);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_TLS_MODE), ZEM_TLS_NONE);
    EXPECT_EQ(Ch(1).TlsVerify, 1);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_TLS_VERIFY, 0), 1);
    EXPECT_EQ(Ch(0).TlsVerify, 0);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_CA_DIR, "/etc/ssl/certs"), 14);
    EXPECT_EQ(Debug(ZEM_DEBUG_TLS_PROTOCOL, 1), "");
}

} // namespace
