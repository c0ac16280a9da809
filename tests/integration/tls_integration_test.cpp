// TLS against the real servers: Postfix with STARTTLS (every AUTH mechanism, offered only
// after TLS) and implicit TLS, Dovecot with STLS and POP3S, and both over IPv6 ::1 when the
// machine has it. Each route sends a message with an attachment and fetches it back over
// TLS; `openssl s_client` must agree on the protocol the library negotiated.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>

#include "fixture_env.h"
#include "zem32.h"

namespace fs = std::filesystem;

namespace {

using zi::Shell;

std::string Slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

const std::string &Script() {
    static const std::string s = std::string(ZEM_SOURCE_DIR) + "/tests/fixtures/mailservers.sh";
    return s;
}

// `mailservers.sh env` as a map.
const std::map<std::string, std::string> &Vars() {
    static const std::map<std::string, std::string> vars = [] {
        std::map<std::string, std::string> v;
        std::string out;
        Shell("'" + Script() + "' env", &out);
        size_t pos = 0;
        while (pos < out.size()) {
            size_t lf = out.find('\n', pos);
            std::string line = out.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
            size_t eq = line.find('=');
            if (eq != std::string::npos) v[line.substr(0, eq)] = line.substr(eq + 1);
            if (lf == std::string::npos) break;
            pos = lf + 1;
        }
        return v;
    }();
    return vars;
}

int Port(const char *name) {
    auto it = Vars().find(name);
    return it == Vars().end() || it->second.empty() ? 0 : std::atoi(it->second.c_str());
}
std::string Var(const char *name) {
    auto it = Vars().find(name);
    return it == Vars().end() ? std::string() : it->second;
}

std::string Debug(int chan, int index) {
    char buf[256] = {};
    int32_t n = zemDebug(chan, index, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string Reply(int chan) { return Debug(chan, ZEM_DEBUG_LAST_REPLY); }

struct Route {
    const char *name;
    const char *smtpPort; // env names
    int smtpMode;
    const char *pop3Port;
    int pop3Mode;
    const char *host;
};

void PrintTo(const Route &r, std::ostream *os) { *os << r.name; }

class TlsServers : public ::testing::TestWithParam<Route> {
  protected:
    void SetUp() override {
        std::string out;
        ASSERT_TRUE(Shell("'" + Script() + "' status 2>&1", &out)) << "mail servers not running:\n" << out;
        ASSERT_TRUE(Shell("'" + Script() + "' clear-mailboxes 2>&1", &out)) << out;
        ASSERT_EQ(zemAttach(2, 0), 1);
        ca_ = Var("ZEM_TLS_CA_FILE");
        ASSERT_FALSE(ca_.empty());
        dir_ = (fs::temp_directory_path() / ("zem-tls-integration-" + std::to_string(std::random_device{}()))).string();
        fs::create_directories(dir_ + "/in");
    }
    void TearDown() override {
        zemRelease();
        if (!HasFailure()) fs::remove_all(dir_);
    }
    void UseTls(int chan, int mode) {
        zemIntegerParam(chan, ZEM_PARAM_TLS, mode);
        zemStringParam(chan, ZEM_STRING_CA_FILE, ca_.c_str());
    }
    // The protocol openssl s_client negotiates with the same port.
    std::string OpenSslProtocol(const std::string &host, int port, const char *starttls) {
        std::string cmd = "timeout 20 openssl s_client -brief -verify_return_error -CAfile '" + ca_ + "' -connect '" +
                          (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                          std::to_string(port) + "'" + (starttls ? std::string(" -starttls ") + starttls : "") +
                          " </dev/null 2>&1";
        std::string out;
        Shell(cmd, &out);
        size_t at = out.find("Protocol version: ");
        if (at == std::string::npos) return "none: " + out;
        size_t end = out.find('\n', at);
        return out.substr(at + 18, end - at - 18);
    }
    std::string ca_, dir_;
};

TEST_P(TlsServers, SendAndFetchAnAttachment) {
    const Route &r = GetParam();
    const int smtpPort = Port(r.smtpPort), pop3Port = Port(r.pop3Port);
    if (smtpPort == 0 || pop3Port == 0) GTEST_SKIP() << "no " << r.name << " listener on this machine";

    std::string bytes(150000, '\0');
    std::mt19937 gen(static_cast<uint32_t>(smtpPort));
    for (char &c : bytes) c = static_cast<char>(gen() & 0xFF);
    const std::string file = dir_ + "/report.bin";
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

    UseTls(0, r.smtpMode);
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, smtpPort);
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    zemStringParam(0, ZEM_STRING_USER_NAME, "alice@zem.test");
    zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, "alice-secret");
    int32_t c = zemSmtpConnect(0, r.host, "<alice@zem.test>", nullptr);
    ASSERT_EQ(c, 0) << Reply(0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TLS_ACTIVE), 1);
    const std::string smtpProtocol = Debug(0, ZEM_DEBUG_TLS_PROTOCOL);
    ASSERT_EQ(zemSendEmail(0, "<bob@zem.test>", nullptr, nullptr, "over TLS", "sent through TLS", file.c_str()), 0)
        << Reply(0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_EQ(OpenSslProtocol(r.host, smtpPort, r.smtpMode == ZEM_TLS_IMPLICIT ? nullptr : "smtp"), smtpProtocol);

    std::string out;
    ASSERT_TRUE(Shell("'" + Script() + "' wait-mail bob 1 60 2>&1", &out)) << out;

    UseTls(1, r.pop3Mode);
    zemIntegerParam(1, ZEM_PARAM_POP3_PORT, pop3Port);
    ASSERT_EQ(zemPop3Connect(1, r.host, "bob@zem.test", "bob-secret"), 0) << Reply(1);
    const std::string popProtocol = Debug(1, ZEM_DEBUG_TLS_PROTOCOL);
    EXPECT_EQ(zemGetEmailCount(1), 1);
    const std::string in = dir_ + "/in";
    ASSERT_EQ(zemGetEmailFile(1, 1, "message.txt", in.c_str(), in.c_str()), 0) << Reply(1);
    EXPECT_EQ(zemClose(1), 0);
    EXPECT_EQ(OpenSslProtocol(r.host, pop3Port, r.pop3Mode == ZEM_TLS_IMPLICIT ? nullptr : "pop3"), popProtocol);

    EXPECT_EQ(Slurp(in + "/report.bin"), bytes) << "the attachment fetched over TLS differs from the file sent";
    const std::string message = Slurp(in + "/message.txt");
    EXPECT_NE(message.find("sent through TLS"), std::string::npos);
    // Postfix notes the TLS of the submission in its Received line.
    EXPECT_NE(message.find("(using " + smtpProtocol), std::string::npos) << message.substr(0, 1500);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, TlsServers,
    ::testing::Values(
        Route{"StartTlsAllMechanisms", "ZEM_SMTP_PORT_STARTTLS", ZEM_TLS_STARTTLS, "ZEM_POP3_PORT_STLS", ZEM_TLS_STARTTLS,
              "127.0.0.1"},
        Route{"StartTlsPlain", "ZEM_SMTP_PORT_STARTTLS_PLAIN", ZEM_TLS_STARTTLS, "ZEM_POP3_PORT_STLS", ZEM_TLS_STARTTLS,
              "127.0.0.1"},
        Route{"StartTlsLogin", "ZEM_SMTP_PORT_STARTTLS_LOGIN", ZEM_TLS_STARTTLS, "ZEM_POP3_PORT_POP3S", ZEM_TLS_IMPLICIT,
              "127.0.0.1"},
        Route{"StartTlsCramMd5", "ZEM_SMTP_PORT_STARTTLS_CRAM", ZEM_TLS_STARTTLS, "ZEM_POP3_PORT_STLS",
              ZEM_TLS_STARTTLS, "localhost"},
        Route{"Implicit", "ZEM_SMTP_PORT_SMTPS", ZEM_TLS_IMPLICIT, "ZEM_POP3_PORT_POP3S", ZEM_TLS_IMPLICIT, "127.0.0.1"},
        Route{"Ipv6StartTls", "ZEM_SMTP_PORT_STARTTLS6", ZEM_TLS_STARTTLS, "ZEM_POP3_PORT_STLS6", ZEM_TLS_STARTTLS,
              "::1"}),
    [](const ::testing::TestParamInfo<Route> &i) { return std::string(i.param.name); });

class TlsRefusals : public TlsServers {};

// A server that offers no STARTTLS (the plain port) gets no credential when TLS is
// required; a certificate from an unknown CA is refused.
TEST_F(TlsRefusals, RequiredTlsAgainstThePlainPortSendsNoCredential) {
    UseTls(0, ZEM_TLS_STARTTLS);
    zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, Port("ZEM_SMTP_PORT"));
    zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1);
    zemStringParam(0, ZEM_STRING_USER_NAME, "alice@zem.test");
    zemStringParam(0, ZEM_STRING_AUTH_PASSWORD, "alice-secret");
    EXPECT_EQ(zemSmtpConnect(0, "127.0.0.1", "<alice@zem.test>", nullptr), ZEM_ERR_TLS_NOT_OFFERED);
    // Without the test CA the system trust store does not know Dovecot's certificate.
    UseTls(1, ZEM_TLS_IMPLICIT);
    zemIntegerParam(1, ZEM_PARAM_POP3_PORT, Port("ZEM_POP3_PORT_POP3S"));
    zemStringParam(1, ZEM_STRING_CA_FILE, "");
    EXPECT_EQ(zemPop3Connect(1, "127.0.0.1", "bob@zem.test", "bob-secret"), ZEM_ERR_TLS_UNTRUSTED);
}

} // namespace
