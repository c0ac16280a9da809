// Integration tests: the library against real mail servers, through its public C API only.
//
// tests/fixtures/mailservers.sh runs Postfix (SMTP, with AUTH through Dovecot SASL) and
// Dovecot (POP3, USER/PASS and APOP) on 127.0.0.1; `mailservers.sh env` names the ports.
// Every test starts from empty mailboxes, waits for delivery by polling the Maildirs
// (`mailservers.sh wait-mail`) and reads the mail back with the library's POP3 client.
// Messages are checked against independent sources: the files that were attached, the
// text that was sent, the Maildir copy Postfix wrote and Postfix's own log.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "fixture_env.h"
#include "zem32.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// ------------------------------------------------------------------ files and processes

std::string ReadFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

using zi::Shell;

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(gen() & 0xFF);
    return s;
}

std::vector<std::string> Split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    if (s.empty()) return parts;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        parts.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return parts;
}

// Lines without their CR LF (a bare LF ends a line too).
std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string::npos ? text.size() : lf;
        size_t cut = end > start && text[end - 1] == '\r' ? end - 1 : end;
        lines.push_back(text.substr(start, cut - start));
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    return lines;
}

std::string Lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool StartsWith(const std::string &s, const std::string &prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// Index of the line where `block` starts as consecutive whole lines, or -1.
int FindLineBlock(const std::vector<std::string> &lines, const std::vector<std::string> &block) {
    if (block.empty() || lines.size() < block.size()) return -1;
    for (size_t i = 0; i + block.size() <= lines.size(); ++i)
        if (std::equal(block.begin(), block.end(), lines.begin() + static_cast<long>(i))) return static_cast<int>(i);
    return -1;
}

// ------------------------------------------------------------------ the servers

struct ServerEnv {
    std::string script;
    std::string host = "127.0.0.1";
    int smtp = 21025, smtpPlain = 21026, smtpLogin = 21027, smtpCram = 21028, smtpNoAuth = 21029;
    int pop3 = 21110;
    std::string state = "/tmp/zem-mailservers";
    std::string python = "python3";
    std::string mailer;
};

const ServerEnv &Env() {
    static const ServerEnv env = [] {
        ServerEnv e;
        const std::string src = ZEM_SOURCE_DIR;
        e.script = src + "/tests/fixtures/mailservers.sh";
        e.mailer = src + "/tests/integration/python_mailer.py";
        e.python = ZEM_PYTHON;
        std::string out;
        Shell(Quote(e.script) + " env", &out);
        std::map<std::string, std::string> vars;
        for (const std::string &line : Lines(out)) {
            size_t eq = line.find('=');
            if (eq != std::string::npos) vars[line.substr(0, eq)] = line.substr(eq + 1);
        }
        auto take = [&](const char *name, auto &field) {
            const char *over = std::getenv(name);
            std::string v = over ? over : (vars.count(name) ? vars[name] : std::string());
            if (v.empty()) return;
            if constexpr (std::is_same_v<std::decay_t<decltype(field)>, int>)
                field = std::atoi(v.c_str());
            else
                field = v;
        };
        take("ZEM_SMTP_HOST", e.host);
        take("ZEM_SMTP_PORT", e.smtp);
        take("ZEM_SMTP_PORT_PLAIN", e.smtpPlain);
        take("ZEM_SMTP_PORT_LOGIN", e.smtpLogin);
        take("ZEM_SMTP_PORT_CRAM", e.smtpCram);
        take("ZEM_SMTP_PORT_NOAUTH", e.smtpNoAuth);
        take("ZEM_POP3_PORT", e.pop3);
        take("ZEM_MAIL_STATE", e.state);
        return e;
    }();
    return env;
}

bool Fixture(const std::string &args, std::string *out = nullptr) {
    return Shell(Quote(Env().script) + " " + args + " 2>&1", out);
}

// Polls the user's Maildir until it holds n messages (at most timeoutS seconds).
bool WaitMail(const std::string &user, int n, int timeoutS = 120) {
    std::string out;
    bool ok = Fixture("wait-mail " + user + " " + std::to_string(n) + " " + std::to_string(timeoutS), &out);
    if (!ok) ADD_FAILURE() << "wait-mail " << user << " " << n << ": " << out;
    return ok;
}

// The messages Postfix wrote into the user's Maildir, in the CR LF form POP3 serves them.
std::vector<std::string> MaildirMessages(const std::string &user) {
    std::vector<std::string> msgs;
    const std::string base = Env().state + "/mail/zem.test/" + user;
    for (const char *sub : {"/new", "/cur"}) {
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(base + sub, ec)) {
            if (!entry.is_regular_file()) continue;
            std::string lf = ReadFile(entry.path().string()), crlf;
            crlf.reserve(lf.size() + lf.size() / 40);
            for (char c : lf) {
                if (c == '\n') crlf += '\r';
                crlf += c;
            }
            msgs.push_back(crlf);
        }
    }
    return msgs;
}

std::string PostfixLog() { return ReadFile(Env().state + "/postfix/postfix.log"); }

// Brings a stopped server back when a test ends, whatever happened in it.
struct RestartOnExit {
    std::string command; // "start-pop3" or "start-smtp"
    ~RestartOnExit() {
        std::string out;
        if (!Fixture(command, &out)) ADD_FAILURE() << command << " failed: " << out;
    }
};

// ------------------------------------------------------------------ library helpers

constexpr int kChannels = 16;
const char *const kAlice = "alice@zem.test";
const char *const kBob = "bob@zem.test";
const char *const kCarol = "carol@zem.test";
const std::map<std::string, std::string> kPasswords = {
    {kAlice, "alice-secret"}, {kBob, "bob-secret"}, {kCarol, "carol-secret"}};

std::string Bracketed(const std::string &address) { return "<" + address + ">"; }

std::string LastReply(int chan) {
    // The buffer receives the line with its CR LF; the length leaves the line end out.
    char buf[512] = {};
    int32_t n = zemDebug(chan, ZEM_DEBUG_LAST_REPLY, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string ErrorText(int chan, int32_t code) {
    char buf[512] = {};
    zemErrorText(chan, code, buf, sizeof buf);
    return std::string(buf);
}

std::string Describe(int chan, int32_t code) {
    return std::to_string(code) + " (" + ErrorText(chan, code) + "), last reply: " + LastReply(chan);
}

std::vector<std::string> SavedList(int chan) {
    std::vector<char> buf(2048, 0);
    zemDebug(chan, ZEM_DEBUG_SAVED_LIST, buf.data(), static_cast<int32_t>(buf.size()));
    return Split(std::string(buf.data()), ',');
}

// The library-wide settings back at their initial values (they outlive zemRelease).
void ResetLibrarySettings() {
    zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 25);
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 25000);
    zemIntegerParam(0, ZEM_PARAM_CONNECT_TIMEOUT, 60000);
    zemIntegerParam(0, ZEM_PARAM_DATA_PAUSE, 0);
    zemIntegerParam(0, ZEM_PARAM_DATA_TIMEOUT, 25000);
    zemIntegerParam(0, ZEM_PARAM_POP3_DATA_WAIT, 25000);
    zemIntegerParam(0, ZEM_PARAM_POLL_INTERVAL, 100);
    zemIntegerParam(0, ZEM_PARAM_NO_SAVED_NOTE, 0);
    zemIntegerParam(0, ZEM_PARAM_OMIT_TO, 0);
    zemIntegerParam(0, ZEM_PARAM_RECIPIENT_SEP, ',');
    zemIntegerParam(0, ZEM_PARAM_ATTACH_SEP, ',');
    zemIntegerParam(0, ZEM_PARAM_DISPLAY_SEP, '|');
    zemStringParam(0, ZEM_STRING_CONTENT_TYPE, "");
    zemStringParam(0, ZEM_STRING_TRANSFER_ENCODING, "");
}

int32_t SmtpConnect(int chan, int port, bool ehlo, const std::string &user = "", const std::string &password = "",
                    const std::string &from = Bracketed(kAlice), const char *replyTo = nullptr) {
    zemIntegerParam(chan, ZEM_PARAM_SMTP_PORT, port);
    zemIntegerParam(chan, ZEM_PARAM_USE_EHLO, ehlo ? 1 : 0);
    zemStringParam(chan, ZEM_STRING_USER_NAME, user.c_str());
    zemStringParam(chan, ZEM_STRING_AUTH_PASSWORD, password.c_str());
    return zemSmtpConnect(chan, Env().host.c_str(), from.c_str(), replyTo);
}

int32_t Pop3Connect(int chan, const std::string &user, bool apop = false, const std::string *password = nullptr) {
    zemIntegerParam(chan, ZEM_PARAM_POP3_PORT, Env().pop3);
    zemIntegerParam(chan, ZEM_PARAM_USE_APOP, apop ? 1 : 0);
    const std::string &pw = password ? *password : kPasswords.at(user);
    return zemPop3Connect(chan, Env().host.c_str(), user.c_str(), pw.c_str());
}

// A message as a raw RETR delivered it: status line, dot-stuffed lines, end line.
struct RawMessage {
    int32_t result = INT_MIN;
    std::string file;     // the bytes the library saved
    std::string status;   // first line, without CR LF
    std::string message;  // the message with the stuffing undone (RFC 1939 s3)
    bool ended = false;   // the end line was there
};

RawMessage UnstuffRaw(const std::string &raw) {
    RawMessage m;
    m.file = raw;
    size_t pos = raw.find("\r\n");
    if (pos == std::string::npos) return m;
    m.status = raw.substr(0, pos);
    pos += 2;
    while (pos < raw.size()) {
        size_t eol = raw.find("\r\n", pos);
        size_t next = eol == std::string::npos ? raw.size() : eol + 2;
        std::string line = raw.substr(pos, next - pos);
        if (line == ".\r\n") {
            m.ended = true;
            break;
        }
        if (!line.empty() && line[0] == '.') line.erase(0, 1);
        m.message += line;
        pos = next;
    }
    return m;
}

// RETR in raw mode. Raw mode ends at a pause of the POP3 data wait, so that wait is made
// short for it (loopback delivers without pauses).
RawMessage FetchRaw(int chan, int msg, const std::string &dir) {
    fs::create_directories(dir);
    zemIntegerParam(chan, ZEM_PARAM_POP3_DATA_WAIT, 1500);
    zemIntegerParam(chan, ZEM_PARAM_DECODE_STATE, 1);
    int32_t r = zemGetEmailFile(chan, msg, "raw.eml", dir.c_str(), dir.c_str());
    zemIntegerParam(chan, ZEM_PARAM_DECODE_STATE, 0);
    zemIntegerParam(chan, ZEM_PARAM_POP3_DATA_WAIT, 25000);
    RawMessage m = UnstuffRaw(ReadFile(dir + "/raw.eml"));
    m.result = r;
    return m;
}

struct Decoded {
    int32_t result = INT_MIN;
    std::string text;                 // the message file
    std::vector<std::string> saved;   // names the library reports (zemDebug 29)
    int32_t savedCount = -1;          // zemStatistics 22
    std::string attachDir;
};

Decoded FetchDecoded(int chan, int msg, const std::string &dir) {
    Decoded d;
    d.attachDir = dir + "/attachments";
    fs::create_directories(d.attachDir);
    zemIntegerParam(chan, ZEM_PARAM_DECODE_STATE, 0);
    d.result = zemGetEmailFile(chan, msg, "message.txt", dir.c_str(), d.attachDir.c_str());
    d.text = ReadFile(dir + "/message.txt");
    d.saved = SavedList(chan);
    d.savedCount = zemStatistics(chan, ZEM_STAT_ATTACH_SAVED);
    return d;
}

// Header fields of a message (RFC 5322 s2.2: up to the first empty line, folded lines
// joined), names in lower case.
std::multimap<std::string, std::string> Headers(const std::string &message) {
    std::multimap<std::string, std::string> fields;
    std::string name, value;
    auto flush = [&] {
        if (!name.empty()) fields.emplace(Lower(name), value);
        name.clear();
        value.clear();
    };
    for (const std::string &line : Lines(message)) {
        if (line.empty()) break;
        if (line[0] == ' ' || line[0] == '\t') {
            size_t v = line.find_first_not_of(" \t");
            if (v != std::string::npos) value += " " + line.substr(v);
            continue;
        }
        flush();
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        name = line.substr(0, colon);
        size_t v = line.find_first_not_of(' ', colon + 1);
        value = v == std::string::npos ? std::string() : line.substr(v);
    }
    flush();
    return fields;
}

std::string Header(const std::multimap<std::string, std::string> &h, const std::string &name) {
    auto it = h.lower_bound(Lower(name)); // the first of its name
    return it == h.end() || it->first != Lower(name) ? std::string() : it->second;
}

// Postfix's trace field of the user's only message (RFC 5321 s4.4): it names the HELO/EHLO
// argument the client gave and the protocol: SMTP (HELO), ESMTP (EHLO), ESMTPA (EHLO
// with AUTH, RFC 3848).
std::string ReceivedField(const std::string &user) {
    std::vector<std::string> msgs = MaildirMessages(user);
    if (msgs.size() != 1) return "(" + std::to_string(msgs.size()) + " messages)";
    return Header(Headers(msgs[0]), "Received");
}

// Each request's channel runs round-robin until it returns 0 or a negative code. Returns
// the results by channel; a channel still running after timeoutMs is aborted and gets
// INT_MIN.
std::map<int, int32_t> DriveAll(const std::vector<int> &chans, int64_t timeoutMs) {
    std::map<int, int32_t> done;
    const auto t0 = Clock::now();
    while (done.size() < chans.size()) {
        for (int c : chans) {
            if (done.count(c)) continue;
            int32_t r = zemDriver(c);
            if (r <= 0) done[c] = r;
        }
        if (MsSince(t0) > timeoutMs) {
            for (int c : chans)
                if (!done.count(c)) {
                    zemAbort(c);
                    done[c] = INT_MIN;
                }
        }
    }
    return done;
}

int32_t Drive(int chan, int64_t timeoutMs) { return DriveAll({chan}, timeoutMs)[chan]; }

// A file attached to a message: where it lies, the name it is shown under, its bytes.
struct Attachment {
    std::string path;
    std::string name;
    std::string bytes;
    std::string Item() const { return fs::path(path).filename() == name ? path : path + "|" + name; }
};

std::string AttachmentList(const std::vector<Attachment> &files) {
    std::string list;
    for (const Attachment &a : files) list += (list.empty() ? "" : ",") + a.Item();
    return list;
}

// Every attachment was written into the attachment directory under its name, byte for
// byte, and the library reported exactly these names.
void ExpectAttachmentsSaved(const Decoded &d, const std::vector<Attachment> &files) {
    std::multiset<std::string> expected, reported(d.saved.begin(), d.saved.end());
    for (const Attachment &a : files) expected.insert(a.name);
    EXPECT_EQ(reported, expected) << "names reported by zemDebug(29)";
    EXPECT_EQ(d.savedCount, static_cast<int32_t>(files.size())) << "zemStatistics(22)";
    for (const Attachment &a : files) {
        const std::string saved = d.attachDir + "/" + a.name;
        ASSERT_TRUE(fs::exists(saved)) << a.name << " was not saved into " << d.attachDir;
        const std::string got = ReadFile(saved);
        ASSERT_EQ(got.size(), a.bytes.size()) << a.name;
        auto diff = std::mismatch(got.begin(), got.end(), a.bytes.begin());
        EXPECT_TRUE(diff.first == got.end())
            << a.name << " differs from the file sent at byte " << (diff.first - got.begin());
    }
}

// Fake but well-formed-looking images: only the names decide that they go inline.
std::string JpegBytes(size_t n, uint32_t seed) {
    std::string body = RandomBytes(n, seed);
    return std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11) + body + std::string("\xFF\xD9", 2);
}
std::string GifBytes(size_t n, uint32_t seed) { return "GIF89a" + RandomBytes(n, seed); }

// ------------------------------------------------------------------ the fixture

class RealServers : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string out;
        ASSERT_TRUE(Fixture("status", &out)) << "the mail servers are not running (tests/fixtures/mailservers.sh "
                                                "start; ctest starts them through the mailservers fixture):\n"
                                             << out;
        ASSERT_TRUE(Fixture("clear-mailboxes", &out)) << out;
        ASSERT_EQ(zemAttach(kChannels, 0), 1);
        ResetLibrarySettings();
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        static std::mt19937 gen(std::random_device{}());
        dir_ = (fs::temp_directory_path() / ("zem-integration-" + name + "-" + std::to_string(gen() % 1000000))).string();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        ResetLibrarySettings();
        zemRelease();
        // Kept for a look after a failure, or always with ZEM_INTEGRATION_KEEP set.
        if (!HasFailure() && std::getenv("ZEM_INTEGRATION_KEEP") == nullptr) fs::remove_all(dir_);
    }

    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

    // Writes a file to attach; `shown` is the name the message gives it, when not its own.
    Attachment MakeFile(const std::string &name, const std::string &bytes, const std::string &shown = "") {
        Attachment a{Path("out/" + name), shown.empty() ? name : shown, bytes};
        fs::create_directories(fs::path(a.path).parent_path());
        WriteFile(a.path, bytes);
        return a;
    }

    // Sends one message on a fresh HELO connection to the port without AUTH.
    void SendSimple(int chan, const std::string &to, const std::string &subject, const std::string &text,
                    const std::string &attachments = "") {
        ASSERT_EQ(SmtpConnect(chan, Env().smtpNoAuth, false), 0) << Describe(chan, 0);
        int32_t r = zemSendEmail(chan, Bracketed(to).c_str(), nullptr, nullptr, subject.c_str(), text.c_str(),
                                 attachments.empty() ? nullptr : attachments.c_str());
        ASSERT_EQ(r, 0) << Describe(chan, r);
        EXPECT_EQ(zemClose(chan), 0);
    }

    std::string dir_;
};

// The text every message carries: lines that begin with '.', a lone '.' inside the text
// and as its last line (RFC 5321 s4.5.2 transparency on the way in, RFC 1939 s3 byte
// stuffing on the way out), an '=' that quoted-printable must escape.
const std::vector<std::string> kDotLines = {
    "First line of the message.", ".leading dot line", ".", "..two leading dots", "Equals: a = b, 100% sure",
    "", "Last but one line.", "."};

std::string JoinCrlf(const std::vector<std::string> &lines) {
    std::string s;
    for (const std::string &l : lines) s += l + "\r\n";
    return s;
}

// ===================================================================== SMTP session

TEST_F(RealServers, HeloGreetingSendsAndQuits) {
    ASSERT_EQ(SmtpConnect(0, Env().smtpNoAuth, false), 0) << Describe(0, 0);
    EXPECT_TRUE(StartsWith(LastReply(0), "250")) << LastReply(0);
    int32_t r = zemSendEmail(0, Bracketed(kBob).c_str(), nullptr, nullptr, "helo greeting", "sent after HELO", nullptr);
    ASSERT_EQ(r, 0) << Describe(0, r);
    EXPECT_TRUE(StartsWith(LastReply(0), "250")) << "final reply to the data: " << LastReply(0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(StartsWith(LastReply(0), "221")) << "QUIT reply: " << LastReply(0);
    ASSERT_TRUE(WaitMail("bob", 1));
    const std::string received = ReceivedField("bob");
    EXPECT_TRUE(StartsWith(received, "from zem.test ")) << received;
    EXPECT_NE(received.find(" with SMTP id "), std::string::npos) << received;
}

TEST_F(RealServers, EhloGreetingWithoutAuthOffer) {
    ASSERT_EQ(SmtpConnect(0, Env().smtpNoAuth, true), 0) << Describe(0, 0);
    EXPECT_TRUE(StartsWith(LastReply(0), "250")) << LastReply(0);
    int32_t r = zemSendEmail(0, Bracketed(kBob).c_str(), nullptr, nullptr, "ehlo greeting", "sent after EHLO", nullptr);
    ASSERT_EQ(r, 0) << Describe(0, r);
    EXPECT_EQ(zemClose(0), 0);
    ASSERT_TRUE(WaitMail("bob", 1));
    const std::string received = ReceivedField("bob");
    EXPECT_NE(received.find(" with ESMTP id "), std::string::npos) << received;
}

TEST_F(RealServers, SecondMessageOnTheSameConnection) {
    ASSERT_EQ(SmtpConnect(0, Env().smtpNoAuth, true), 0) << Describe(0, 0);
    for (int i = 1; i <= 3; ++i) {
        std::string subject = "same connection " + std::to_string(i);
        int32_t r = zemSendEmail(0, Bracketed(kBob).c_str(), nullptr, nullptr, subject.c_str(), "text", nullptr);
        ASSERT_EQ(r, 0) << i << ": " << Describe(0, r);
    }
    EXPECT_EQ(zemClose(0), 0);
    ASSERT_TRUE(WaitMail("bob", 3));
}

// ===================================================================== authentication

struct AuthCase {
    const char *mechanism;
    int ServerEnv::*port;
};

void PrintTo(const AuthCase &c, std::ostream *os) { *os << c.mechanism; }

class Authentication : public RealServers, public ::testing::WithParamInterface<AuthCase> {};

TEST_P(Authentication, LogsInAndSends) {
    const AuthCase &c = GetParam();
    const std::string logBefore = PostfixLog();
    ASSERT_EQ(SmtpConnect(0, Env().*c.port, true, kAlice, kPasswords.at(kAlice)), 0) << Describe(0, 0);
    EXPECT_TRUE(StartsWith(LastReply(0), "235")) << "reply to the authentication: " << LastReply(0);
    std::string subject = std::string("authenticated with ") + c.mechanism;
    int32_t r = zemSendEmail(0, Bracketed(kBob).c_str(), nullptr, nullptr, subject.c_str(), "text", nullptr);
    ASSERT_EQ(r, 0) << Describe(0, r);
    EXPECT_EQ(zemClose(0), 0);
    ASSERT_TRUE(WaitMail("bob", 1));
    const std::string received = ReceivedField("bob");
    EXPECT_NE(received.find(" with ESMTPA id "), std::string::npos) << received;
    // Postfix names the mechanism that was used in its log (smtpd: sasl_method=...).
    const std::string wanted = std::string("sasl_method=") + c.mechanism + ", sasl_username=" + kAlice;
    std::string added;
    const auto t0 = Clock::now();
    do {
        std::string log = PostfixLog();
        added = log.size() > logBefore.size() ? log.substr(logBefore.size()) : log;
    } while (added.find(wanted) == std::string::npos && MsSince(t0) < 10000);
    EXPECT_NE(added.find(wanted), std::string::npos) << "Postfix log since the test began:\n" << added;
}

TEST_P(Authentication, WrongPasswordIsRefused) {
    const AuthCase &c = GetParam();
    int32_t r = SmtpConnect(0, Env().*c.port, true, kAlice, "not-the-password");
    EXPECT_EQ(r, ZEM_ERR_SMTP) << Describe(0, r);
    EXPECT_TRUE(StartsWith(LastReply(0), "535")) << LastReply(0);
    EXPECT_NE(ErrorText(0, r).find("535"), std::string::npos) << ErrorText(0, r);
    // The failed connection is closed: a send is refused before anything goes out.
    EXPECT_LT(zemSendEmail(0, Bracketed(kBob).c_str(), nullptr, nullptr, "s", "t", nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(RealServers, Authentication,
                         ::testing::Values(AuthCase{"CRAM-MD5", &ServerEnv::smtpCram},
                                           AuthCase{"LOGIN", &ServerEnv::smtpLogin},
                                           AuthCase{"PLAIN", &ServerEnv::smtpPlain},
                                           // All three offered: the library prefers CRAM-MD5.
                                           AuthCase{"CRAM-MD5", &ServerEnv::smtp}),
                         [](const ::testing::TestParamInfo<AuthCase> &info) {
                             std::string n = info.param.mechanism;
                             n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                             return n + (info.param.port == &ServerEnv::smtp ? "OfferedAll" : "Only");
                         });

// ===================================================================== VRFY

TEST_F(RealServers, VerifyKnownAndUnknownUser) {
    ASSERT_EQ(SmtpConnect(0, Env().smtpNoAuth, true), 0) << Describe(0, 0);

    int32_t known = zemVerifyUser(0, Bracketed(kAlice).c_str());
    const int32_t knownCode = zemStatistics(0, ZEM_STAT_REPLY_CODE);
    const std::string knownReply = LastReply(0);
    // RFC 5321 s3.5.3: 250 verifies, 252 only promises to try; the library counts 250 only.
    EXPECT_TRUE(knownCode == 250 || knownCode == 251 || knownCode == 252) << knownReply;
    EXPECT_EQ(known, knownCode == 250 ? 1 : 0) << knownReply;
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_VERIFY_RESULT), known);

    int32_t unknown = zemVerifyUser(0, "<nobody@zem.test>");
    const int32_t unknownCode = zemStatistics(0, ZEM_STAT_REPLY_CODE);
    const std::string unknownReply = LastReply(0);
    EXPECT_EQ(unknown, 0) << unknownReply;
    EXPECT_GE(unknownCode, 500) << unknownReply;

    // A refusal does not end the connection: the next address is asked all the same, and
    // the result is that of the last one.
    int32_t list = zemVerifyUser(0, "<nobody@zem.test>,<bob@zem.test>");
    EXPECT_EQ(list, known) << LastReply(0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), knownCode) << LastReply(0);

    // The connection still sends after the refusals.
    int32_t r = zemSendEmail(0, Bracketed(kBob).c_str(), nullptr, nullptr, "after vrfy", "text", nullptr);
    EXPECT_EQ(r, 0) << Describe(0, r);
    EXPECT_EQ(zemClose(0), 0);
    ASSERT_TRUE(WaitMail("bob", 1));
    std::printf("[ vrfy     ] known user: %s | unknown user: %s\n", knownReply.c_str(), unknownReply.c_str());
    RecordProperty("vrfy_known", knownReply);
    RecordProperty("vrfy_unknown", unknownReply);
}

// ===================================================================== composing, every BodyType

struct BodyCase {
    int bodyType;
    bool attachments;
    const char *textPartType;  // the text part's Content-Type line, "" for none
};

void PrintTo(const BodyCase &c, std::ostream *os) {
    *os << "BodyType " << c.bodyType << (c.attachments ? " with attachments" : " text only");
}

class BodyTypes : public RealServers, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(BodyTypes, DeliveredAndDecodedAsSent) {
    const BodyCase &c = GetParam();
    const bool quotedPrintable = c.bodyType != 0 && c.bodyType != 2;
    std::vector<std::string> lines = kDotLines;
    if (quotedPrintable) {
        // Soft line breaks and escapes that the decoder must undo (RFC 2045 s6.7).
        lines.insert(lines.begin() + 1,
                     "A long line well past the wrap column of the composer, so that it is broken with a "
                     "soft line break and joined again by the reader: 0123456789 0123456789 0123456789.");
        lines.insert(lines.begin() + 2, "Caf\xE9 cr\xE8me, tab\there, trailing space ");
    }
    const std::string text = JoinCrlf(lines);

    std::vector<Attachment> files;
    if (c.attachments) {
        files.push_back(MakeFile("data-58.bin", RandomBytes(58, 58 + c.bodyType)));
        files.push_back(MakeFile("logo.gif", GifBytes(700, 7 + c.bodyType)));
    }
    const std::string subject = "body type " + std::to_string(c.bodyType) + (c.attachments ? " with files" : "");
    const std::string customType = "Content-Type: text/x-zem-custom; charset=us-ascii";

    zemIntegerParam(0, ZEM_PARAM_BODY_TYPE, c.bodyType);
    if (c.bodyType == 9) {
        ASSERT_EQ(zemStringParam(0, ZEM_STRING_CONTENT_TYPE, customType.c_str()),
                  static_cast<int32_t>(customType.size()));
    }
    ASSERT_GT(zemStringParam(0, ZEM_STRING_EXTRA_HEADERS, "X-Zem-Test: extra header one"), 0);
    ASSERT_GT(zemStringParam(0, ZEM_STRING_ADD_HEADER, "X-Zem-Second: extra header two"), 0);
    ASSERT_EQ(SmtpConnect(0, Env().smtp, true, kAlice, kPasswords.at(kAlice), Bracketed(kAlice),
                          "<replies@zem.test>"),
              0)
        << Describe(0, 0);
    const std::string list = AttachmentList(files);
    int32_t r = zemSendEmail(0, Bracketed(kBob).c_str(), Bracketed(kCarol).c_str(), Bracketed(kAlice).c_str(),
                             subject.c_str(), text.c_str(), list.empty() ? nullptr : list.c_str());
    ASSERT_EQ(r, 0) << Describe(0, r);
    EXPECT_EQ(zemClose(0), 0);
    // To, CC and BCC each received their copy.
    ASSERT_TRUE(WaitMail("bob", 1));
    ASSERT_TRUE(WaitMail("carol", 1));
    ASSERT_TRUE(WaitMail("alice", 1));

    ASSERT_EQ(Pop3Connect(1, kBob), 0) << Describe(1, 0);
    ASSERT_EQ(zemGetEmailCount(1), 1);

    // Raw: the header as delivered, and the message exactly as Postfix stored it.
    RawMessage raw = FetchRaw(1, 1, Path("raw"));
    ASSERT_EQ(raw.result, 0) << Describe(1, raw.result);
    EXPECT_TRUE(StartsWith(raw.status, "+OK")) << raw.status;
    EXPECT_TRUE(raw.ended) << "the raw file lacks the end line";
    const std::vector<std::string> stored = MaildirMessages("bob");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(raw.message, stored[0]) << "RETR differs from the Maildir copy";
    auto h = Headers(raw.message);
    EXPECT_EQ(Header(h, "Subject"), subject);
    EXPECT_EQ(Header(h, "From"), Bracketed(kAlice));
    EXPECT_EQ(Header(h, "To"), Bracketed(kBob));
    EXPECT_EQ(Header(h, "Cc"), Bracketed(kCarol));
    EXPECT_EQ(Header(h, "Reply-To"), "<replies@zem.test>");
    EXPECT_EQ(Header(h, "X-Zem-Test"), "extra header one");
    EXPECT_EQ(Header(h, "X-Zem-Second"), "extra header two");
    EXPECT_EQ(h.count("bcc"), 0u) << "a Bcc header was delivered";
    for (const char *field : {"to", "cc"})
        for (auto it = h.lower_bound(field); it != h.upper_bound(field); ++it)
            EXPECT_EQ(it->second.find(kAlice), std::string::npos) << "the BCC address shows in " << field;
    EXPECT_FALSE(Header(h, "Date").empty());
    const bool multipart = c.bodyType != 0 || c.attachments;
    EXPECT_EQ(Header(h, "MIME-Version"), multipart ? "1.0" : "");
    if (multipart) {
        EXPECT_TRUE(StartsWith(Header(h, "Content-Type"),
                               c.bodyType == 2 ? "multipart/related; boundary=" : "multipart/mixed; boundary="))
            << Header(h, "Content-Type");
    }
    if (*c.textPartType) {
        std::string wanted = c.bodyType == 9 ? customType : std::string(c.textPartType);
        EXPECT_NE(FindLineBlock(Lines(raw.message), {wanted}), -1) << "no line " << wanted;
    }

    // Decoded: the text line for line, every file byte for byte.
    Decoded d = FetchDecoded(1, 1, Path("decoded"));
    ASSERT_EQ(d.result, 0) << Describe(1, d.result);
    const std::vector<std::string> got = Lines(d.text);
    EXPECT_NE(FindLineBlock(got, lines), -1) << "the text did not arrive as sent; message file:\n" << d.text;
    for (const std::string &field : {"Subject: " + subject, "From: " + Bracketed(kAlice), "To: " + Bracketed(kBob),
                                     "CC: " + Bracketed(kCarol)})
        EXPECT_NE(FindLineBlock(got, {field}), -1) << "message file lacks " << field << ":\n" << d.text;
    ExpectAttachmentsSaved(d, files);
    EXPECT_EQ(zemClose(1), 0);

    // The BCC recipient's copy carries no trace of the BCC list either.
    ASSERT_EQ(Pop3Connect(2, kAlice), 0) << Describe(2, 0);
    RawMessage bccCopy = FetchRaw(2, 1, Path("bcc"));
    ASSERT_EQ(bccCopy.result, 0);
    auto hb = Headers(bccCopy.message);
    EXPECT_EQ(Header(hb, "Subject"), subject);
    EXPECT_EQ(hb.count("bcc"), 0u);
    EXPECT_EQ(zemClose(2), 0);
}

INSTANTIATE_TEST_SUITE_P(RealServers, BodyTypes,
                         ::testing::Values(BodyCase{0, false, ""}, BodyCase{0, true, "Content-Type: text/plain"},
                                           BodyCase{1, false, "Content-Type: text/plain"},
                                           BodyCase{1, true, "Content-Type: text/plain"},
                                           BodyCase{2, true, "Content-Type: text/html"},
                                           BodyCase{3, true, "Content-Type: text/enriched"},
                                           BodyCase{4, true, "Content-Type: text/plain; charset=iso-8859-1"},
                                           BodyCase{9, true, "custom"}),
                         [](const ::testing::TestParamInfo<BodyCase> &info) {
                             return "Type" + std::to_string(info.param.bodyType) +
                                    (info.param.attachments ? "WithFiles" : "TextOnly");
                         });

// ===================================================================== attachments

TEST_F(RealServers, AttachmentsOfEverySizeArriveByteForByte) {
    std::vector<Attachment> files = {
        MakeFile("empty.bin", ""),
        MakeFile("one.bin", RandomBytes(1, 1)),
        MakeFile("fifty-eight.bin", RandomBytes(58, 58)),
        MakeFile("one-megabyte.bin", RandomBytes(1 << 20, 1024)),
        MakeFile("ten-megabytes.bin", RandomBytes(10 << 20, 10240)),
        MakeFile("photo.jpg", JpegBytes(20000, 3)),
        MakeFile("anim.gif", GifBytes(3000, 4)),
        // path|shown name: the file is read from the path and shown (and saved) by name.
        MakeFile("stored-under-another-name.dat", RandomBytes(5000, 5), "shown-name.bin"),
    };
    const std::string text = JoinCrlf(kDotLines);
    ASSERT_EQ(SmtpConnect(0, Env().smtpNoAuth, true), 0) << Describe(0, 0);
    const auto t0 = Clock::now();
    const std::string list = AttachmentList(files);
    int32_t r = zemSendEmail(0, Bracketed(kBob).c_str(), nullptr, nullptr, "all the attachments", text.c_str(),
                             list.c_str());
    const int64_t sendMs = MsSince(t0);
    ASSERT_EQ(r, 0) << Describe(0, r);
    EXPECT_EQ(zemClose(0), 0);
    int64_t attachBytes = 0;
    for (const Attachment &a : files) attachBytes += static_cast<int64_t>(a.bytes.size());
    ASSERT_TRUE(WaitMail("bob", 1));

    ASSERT_EQ(Pop3Connect(1, kBob), 0) << Describe(1, 0);
    ASSERT_EQ(zemGetEmailCount(1), 1);
    const int32_t size = zemGetEmailSize(1, 1);
    const auto t1 = Clock::now();
    Decoded d = FetchDecoded(1, 1, Path("decoded"));
    const int64_t fetchMs = MsSince(t1);
    ASSERT_EQ(d.result, 0) << Describe(1, d.result);
    EXPECT_NE(FindLineBlock(Lines(d.text), kDotLines), -1) << d.text.substr(0, 4000);
    ExpectAttachmentsSaved(d, files);
    // The decoder counted every base64 line it decoded.
    EXPECT_GT(zemStatistics(1, ZEM_STAT_ATTACH_BYTES), static_cast<int32_t>(attachBytes));
    EXPECT_EQ(zemClose(1), 0);
    std::printf("[ timing   ] %lld attachment bytes: zemSendEmail %lld ms, zemGetEmailFile of %d bytes %lld ms\n",
                static_cast<long long>(attachBytes), static_cast<long long>(sendMs), size,
                static_cast<long long>(fetchMs));
}

TEST_F(RealServers, InlineImagesOffAreAttachments) {
    std::vector<Attachment> files = {MakeFile("picture.JPG", JpegBytes(900, 11)), MakeFile("icon.gif", GifBytes(90, 12))};
    zemIntegerParam(0, ZEM_PARAM_INLINE_IMAGES, 0);
    const std::string list = AttachmentList(files);
    ASSERT_EQ(SmtpConnect(0, Env().smtpNoAuth, false), 0);
    int32_t r = zemSendEmail(0, Bracketed(kBob).c_str(), nullptr, nullptr, "images as attachments", "see files",
                             list.c_str());
    ASSERT_EQ(r, 0) << Describe(0, r);
    EXPECT_EQ(zemClose(0), 0);
    ASSERT_TRUE(WaitMail("bob", 1));
    ASSERT_EQ(Pop3Connect(1, kBob), 0);
    RawMessage raw = FetchRaw(1, 1, Path("raw"));
    ASSERT_EQ(raw.result, 0);
    const std::vector<std::string> lines = Lines(raw.message);
    EXPECT_NE(FindLineBlock(lines, {"Content-Disposition: attachment; filename=\"picture.JPG\""}), -1) << raw.message;
    EXPECT_EQ(FindLineBlock(lines, {"Content-ID: <message-root.1>"}), -1);
    Decoded d = FetchDecoded(1, 1, Path("decoded"));
    ASSERT_EQ(d.result, 0);
    ExpectAttachmentsSaved(d, files);
    EXPECT_EQ(zemClose(1), 0);
}

// ===================================================================== POP3 commands

TEST_F(RealServers, Pop3MailboxCommands) {
    // Three messages of different sizes, sent one after the other.
    for (int i = 1; i <= 3; ++i) {
        std::string text = JoinCrlf(kDotLines) + std::string(static_cast<size_t>(i) * 300, 'x') + "\r\n";
        SendSimple(0, kBob, "mailbox message " + std::to_string(i), text);
        if (HasFatalFailure()) return;
    }
    ASSERT_TRUE(WaitMail("bob", 3));
    const std::vector<std::string> stored = MaildirMessages("bob");
    ASSERT_EQ(stored.size(), 3u);

    ASSERT_EQ(Pop3Connect(1, kBob), 0) << Describe(1, 0);
    EXPECT_TRUE(StartsWith(LastReply(1), "+OK")) << LastReply(1);
    // STAT
    ASSERT_EQ(zemGetEmailCount(1), 3) << LastReply(1);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_MESSAGE_COUNT), 3);

    // RETR raw tells which stored message each number is; LIST gives its size in the CR LF
    // form (RFC 1939 s5: the octets of the message as POP3 sends it, before stuffing).
    std::vector<std::string> byNumber(4);
    for (int m = 1; m <= 3; ++m) {
        RawMessage raw = FetchRaw(1, m, Path("raw" + std::to_string(m)));
        ASSERT_EQ(raw.result, 0) << Describe(1, raw.result);
        ASSERT_TRUE(raw.ended);
        ASSERT_TRUE(std::find(stored.begin(), stored.end(), raw.message) != stored.end())
            << "message " << m << " matches no Maildir file";
        byNumber[static_cast<size_t>(m)] = raw.message;
        EXPECT_EQ(zemGetEmailSize(1, m), static_cast<int32_t>(raw.message.size())) << "LIST " << m;
        EXPECT_EQ(zemStatistics(1, ZEM_STAT_MESSAGE_SIZE), static_cast<int32_t>(raw.message.size()));
    }
    EXPECT_EQ(zemGetEmailSize(1, 4), 0) << "LIST of a message that does not exist";

    // UIDL: the listing, and single messages that agree with it.
    std::vector<char> buf(4096, 0);
    int32_t n = zemGetEmailUID(1, -1, buf.data(), static_cast<int32_t>(buf.size()));
    std::string listing(buf.data());
    EXPECT_EQ(n, static_cast<int32_t>(listing.size()));
    std::vector<std::string> listLines = Lines(listing);
    ASSERT_EQ(listLines.size(), 4u) << listing;
    EXPECT_TRUE(StartsWith(listLines[0], "+OK")) << listing;
    std::map<int, std::string> uids;
    for (size_t i = 1; i < listLines.size(); ++i) {
        std::istringstream in(listLines[i]);
        int num = 0;
        std::string uid;
        in >> num >> uid;
        EXPECT_EQ(num, static_cast<int>(i));
        EXPECT_FALSE(uid.empty());
        uids[num] = uid;
    }
    EXPECT_EQ(std::set<std::string>({uids[1], uids[2], uids[3]}).size(), 3u) << "unique ids repeat: " << listing;
    for (int m = 1; m <= 3; ++m) {
        std::fill(buf.begin(), buf.end(), 0);
        n = zemGetEmailUID(1, m, buf.data(), 128);
        std::string one(buf.data());
        EXPECT_EQ(n, static_cast<int32_t>(one.size()));
        EXPECT_EQ(one, "+OK " + std::to_string(m) + " " + uids[m] + "\r\n");
    }

    // TOP: the header, the blank line and the first lines of the body, as RETR has them.
    for (int lines : {0, 2}) {
        std::vector<char> top(8192, 0);
        n = zemGetEmailLines(1, 2, lines, top.data(), static_cast<int32_t>(top.size()));
        ASSERT_GT(n, 0) << Describe(1, n);
        std::string text(top.data(), static_cast<size_t>(n));
        EXPECT_TRUE(StartsWith(text, "+OK")) << text;
        std::string body = text.substr(text.find("\r\n") + 2);
        const std::string &whole = byNumber[2];
        size_t headerEnd = whole.find("\r\n\r\n") + 4;
        size_t cut = headerEnd;
        for (int i = 0; i < lines; ++i) cut = whole.find("\r\n", cut) + 2;
        // Stored with the stuffing undone and without the end line, like a decoded RETR.
        EXPECT_EQ(body, whole.substr(0, cut)) << "TOP 2 " << lines;
    }
    // TOP into library memory, written out with zemStringParam 41.
    n = zemGetEmailLines(1, 3, 1, nullptr, 65536);
    ASSERT_GT(n, 0) << Describe(1, n);
    EXPECT_EQ(zemStringParam(1, ZEM_STRING_WRITE_BUFFER, Path("top3.txt").c_str()), n);
    EXPECT_TRUE(StartsWith(ReadFile(Path("top3.txt")), "+OK"));

    // NOOP through zemCommand; DELE, RSET and DELE again.
    EXPECT_EQ(zemCommand(1, "NOOP"), 0) << LastReply(1);
    EXPECT_EQ(zemDeleteEmail(1, 2), 0);
    EXPECT_TRUE(StartsWith(LastReply(1), "+OK")) << LastReply(1);
    EXPECT_EQ(zemGetEmailCount(1), 2) << "STAT leaves out a message marked deleted";
    EXPECT_EQ(zemGetEmailSize(1, 2), 0) << "LIST of a deleted message is refused";
    EXPECT_EQ(zemCommand(1, "RSET"), 0) << LastReply(1);
    EXPECT_EQ(zemGetEmailCount(1), 3);
    EXPECT_EQ(zemDeleteEmail(1, 2), 0);
    EXPECT_EQ(zemDeleteEmail(1, 2), 0) << "a refused DELE is not reported";
    EXPECT_TRUE(StartsWith(LastReply(1), "-ERR")) << LastReply(1);
    EXPECT_EQ(zemCommand(1, "DELE 2"), ZEM_ERR_POP3) << "zemCommand reports the refusal";
    // The refusal closed that connection: the deletion was never committed.
    ASSERT_EQ(Pop3Connect(1, kBob), 0);
    EXPECT_EQ(zemGetEmailCount(1), 3);
    EXPECT_EQ(zemDeleteEmail(1, 2), 0);
    // QUIT commits the deletion (RFC 1939 s6).
    EXPECT_EQ(zemClose(1), 0);
    EXPECT_TRUE(StartsWith(LastReply(1), "+OK")) << LastReply(1);

    // A new session, logged in with APOP this time.
    ASSERT_EQ(Pop3Connect(1, kBob, true), 0) << Describe(1, 0);
    EXPECT_EQ(zemGetEmailCount(1), 2);
    std::fill(buf.begin(), buf.end(), 0);
    zemGetEmailUID(1, -1, buf.data(), static_cast<int32_t>(buf.size()));
    listing = buf.data();
    EXPECT_EQ(listing.find(uids[2]), std::string::npos) << listing;
    EXPECT_NE(listing.find(uids[1]), std::string::npos) << listing;
    EXPECT_NE(listing.find(uids[3]), std::string::npos) << listing;
    EXPECT_EQ(MaildirMessages("bob").size(), 2u);
    // Closing without QUIT keeps everything: nothing was deleted.
    EXPECT_EQ(zemDeleteEmail(1, 1), 0);
    EXPECT_EQ(zemAbort(1), 1);
    ASSERT_EQ(Pop3Connect(1, kBob), 0);
    EXPECT_EQ(zemGetEmailCount(1), 2);
    EXPECT_EQ(zemClose(1), 0);
}

TEST_F(RealServers, Pop3LoginRefusals) {
    const std::string wrong = "not-the-password";
    int32_t r = Pop3Connect(0, kBob, false, &wrong);
    EXPECT_EQ(r, ZEM_ERR_POP3) << Describe(0, r);
    EXPECT_TRUE(StartsWith(LastReply(0), "-ERR")) << LastReply(0);
    r = Pop3Connect(0, kBob, true, &wrong);
    EXPECT_EQ(r, ZEM_ERR_POP3) << Describe(0, r);
    EXPECT_TRUE(StartsWith(LastReply(0), "-ERR")) << LastReply(0);
    const std::string nobody = "nobody@zem.test";
    const std::string pw = "x";
    r = Pop3Connect(0, nobody, false, &pw);
    EXPECT_EQ(r, ZEM_ERR_POP3) << Describe(0, r);
    // Right after the refusals the right password still works, with either login.
    EXPECT_EQ(Pop3Connect(0, kBob, false), 0) << Describe(0, 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_EQ(Pop3Connect(0, kBob, true), 0) << Describe(0, 0);
    EXPECT_EQ(zemGetEmailCount(0), 0);
    EXPECT_EQ(zemClose(0), 0);
}

// ===================================================================== another mailer

class ForeignMailer : public RealServers {
  protected:
    bool RunMailer(const std::vector<std::string> &args, std::string *out) {
        std::string cmd = Quote(Env().python) + " " + Quote(Env().mailer) + " --host " + Env().host;
        for (const std::string &a : args) cmd += " " + Quote(a);
        return Shell(cmd + " 2>&1", out);
    }
};

TEST_F(ForeignMailer, MultipartWithAlternativeAndAttachments) {
    std::vector<Attachment> files = {
        MakeFile("empty.bin", ""),
        MakeFile("one.bin", RandomBytes(1, 21)),
        MakeFile("fifty-eight.bin", RandomBytes(58, 22)),
        MakeFile("quarter-megabyte.bin", RandomBytes(256 * 1024, 23)),
        MakeFile("report.pdf", RandomBytes(4321, 24)),
    };
    Attachment image = MakeFile("inline-picture.gif", GifBytes(1200, 25));
    const std::vector<std::string> text = {"Plain text written by Python's email package.", ".leading dot",
                                           ".", "Last line."};
    std::vector<std::string> args = {"--port", std::to_string(Env().smtpNoAuth), "--from", kCarol, "--to", kBob,
                                     "--cc", kAlice, "--subject", "from another mailer", "--text", JoinCrlf(text),
                                     "--html", "<p>The same in <b>HTML</b>.</p>\n", "--inline", image.path,
                                     "--save", Path("composed.eml")};
    for (const Attachment &a : files) {
        args.push_back("--attach");
        args.push_back(a.path);
    }
    std::string out;
    ASSERT_TRUE(RunMailer(args, &out)) << out;
    ASSERT_TRUE(WaitMail("bob", 1));

    ASSERT_EQ(Pop3Connect(0, kBob), 0) << Describe(0, 0);
    Decoded d = FetchDecoded(0, 1, Path("decoded"));
    ASSERT_EQ(d.result, 0) << Describe(0, d.result);
    files.push_back(image);
    ExpectAttachmentsSaved(d, files);
    const std::vector<std::string> got = Lines(d.text);
    EXPECT_NE(FindLineBlock(got, text), -1) << "text part; message file:\n" << d.text;
    EXPECT_NE(FindLineBlock(got, {"<p>The same in <b>HTML</b>.</p>"}), -1) << d.text;
    EXPECT_NE(FindLineBlock(got, {"Subject: from another mailer"}), -1) << d.text;
    EXPECT_EQ(zemClose(0), 0);
}

TEST_F(ForeignMailer, QuotedPrintableSinglePart) {
    const std::vector<std::string> text = {
        "Quoted-printable from Python: caf\xC3\xA9, 1 + 1 = 2, trailing spaces   ",
        "A line longer than seventy-six characters, which quoted-printable must break with a soft line break "
        "and the decoder must join again.",
        ".leading dot", ".", "Last line."};
    std::vector<std::string> args = {"--port", std::to_string(Env().smtp), "--user", kCarol, "--password",
                                     kPasswords.at(kCarol), "--from", kCarol, "--to", kBob, "--subject",
                                     "quoted-printable from another mailer", "--qp", "--text", JoinCrlf(text)};
    std::string out;
    ASSERT_TRUE(RunMailer(args, &out)) << out;
    ASSERT_TRUE(WaitMail("bob", 1));
    ASSERT_EQ(Pop3Connect(0, kBob, true), 0) << Describe(0, 0);
    Decoded d = FetchDecoded(0, 1, Path("decoded"));
    ASSERT_EQ(d.result, 0) << Describe(0, d.result);
    EXPECT_NE(FindLineBlock(Lines(d.text), text), -1) << d.text;
    EXPECT_TRUE(d.saved.empty());
    EXPECT_EQ(zemClose(0), 0);
}

TEST_F(ForeignMailer, PlainSevenBitWithDotLines) {
    const std::vector<std::string> text = {"Plain 7bit text.", ".", "..", ".x", "...three", "end"};
    std::vector<std::string> args = {"--port", std::to_string(Env().smtpNoAuth), "--from", kAlice, "--to", kBob,
                                     "--subject", "seven bit", "--plain-only", "--text", JoinCrlf(text)};
    std::string out;
    ASSERT_TRUE(RunMailer(args, &out)) << out;
    ASSERT_TRUE(WaitMail("bob", 1));
    ASSERT_EQ(Pop3Connect(0, kBob), 0) << Describe(0, 0);
    Decoded d = FetchDecoded(0, 1, Path("decoded"));
    ASSERT_EQ(d.result, 0) << Describe(0, d.result);
    EXPECT_NE(FindLineBlock(Lines(d.text), text), -1) << d.text;
    // TOP reads the same dot lines back.
    std::vector<char> top(4096, 0);
    int32_t n = zemGetEmailLines(0, 1, 100, top.data(), static_cast<int32_t>(top.size()));
    ASSERT_GT(n, 0);
    EXPECT_NE(FindLineBlock(Lines(std::string(top.data(), static_cast<size_t>(n))), text), -1);
    EXPECT_EQ(zemClose(0), 0);
}

// ===================================================================== many channels

TEST_F(RealServers, SixteenChannelsSendAtOnceWithoutBlocking) {
    struct Route {
        int port;
        const char *user;
    };
    const Route routes[] = {{Env().smtpNoAuth, nullptr}, {Env().smtp, kAlice},     {Env().smtpPlain, kBob},
                            {Env().smtpLogin, kCarol},   {Env().smtpCram, kAlice}};
    std::vector<int> chans;
    std::vector<Attachment> files;
    for (int c = 0; c < kChannels; ++c) {
        chans.push_back(c);
        files.push_back(MakeFile("parallel-" + std::to_string(c) + ".bin",
                                 RandomBytes(static_cast<size_t>(1000 + 4099 * c), static_cast<uint32_t>(100 + c))));
        const Route &route = routes[c % 5];
        zemIntegerParam(c, ZEM_PARAM_AUTO_CALL, 0);
        zemIntegerParam(c, ZEM_PARAM_BODY_TYPE, c % 2);
        ASSERT_EQ(SmtpConnect(c, route.port, c % 5 != 0 || c % 2 == 1, route.user ? route.user : "",
                              route.user ? kPasswords.at(route.user) : ""),
                  0);
    }
    const auto t0 = Clock::now();
    auto results = DriveAll(chans, 120000);
    for (int c : chans) ASSERT_EQ(results[c], 0) << "connect, channel " << c << ": " << Describe(c, results[c]);
    for (int c : chans) {
        std::string subject = "parallel " + std::to_string(c);
        std::string text = "Message of channel " + std::to_string(c) + "\r\n.\r\n";
        ASSERT_EQ(zemSendEmail(c, Bracketed(kBob).c_str(), nullptr, nullptr, subject.c_str(), text.c_str(),
                               files[static_cast<size_t>(c)].path.c_str()),
                  0);
    }
    results = DriveAll(chans, 120000);
    for (int c : chans) EXPECT_EQ(results[c], 0) << "send, channel " << c << ": " << Describe(c, results[c]);
    for (int c : chans) ASSERT_EQ(zemClose(c), 0);
    results = DriveAll(chans, 60000);
    for (int c : chans) EXPECT_EQ(results[c], 0) << "close, channel " << c << ": " << Describe(c, results[c]);
    const int64_t ms = MsSince(t0);
    ASSERT_TRUE(WaitMail("bob", kChannels));

    // Every message arrived once, with its own file.
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1);
    ASSERT_EQ(Pop3Connect(0, kBob), 0) << Describe(0, 0);
    ASSERT_EQ(zemGetEmailCount(0), kChannels);
    std::set<int> seen;
    for (int m = 1; m <= kChannels; ++m) {
        Decoded d = FetchDecoded(0, m, Path("decoded" + std::to_string(m)));
        ASSERT_EQ(d.result, 0) << Describe(0, d.result);
        int sender = -1;
        for (const std::string &line : Lines(d.text))
            if (StartsWith(line, "Subject: parallel ")) sender = std::atoi(line.c_str() + 18);
        ASSERT_GE(sender, 0) << d.text;
        EXPECT_TRUE(seen.insert(sender).second) << "channel " << sender << " delivered twice";
        EXPECT_NE(FindLineBlock(Lines(d.text), {"Message of channel " + std::to_string(sender), "."}), -1) << d.text;
        ExpectAttachmentsSaved(d, {files[static_cast<size_t>(sender)]});
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kChannels));
    EXPECT_EQ(zemClose(0), 0);
    std::printf("[ timing   ] 16 channels: connect, send and close in %lld ms\n", static_cast<long long>(ms));
}

TEST_F(RealServers, NonBlockingPop3Retrieval) {
    Attachment file = MakeFile("nonblocking.bin", RandomBytes(300000, 77));
    SendSimple(0, kCarol, "for a non-blocking reader", JoinCrlf(kDotLines), file.path);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitMail("carol", 1));
    zemIntegerParam(1, ZEM_PARAM_AUTO_CALL, 0);
    ASSERT_EQ(Pop3Connect(1, kCarol), 0);
    ASSERT_EQ(Drive(1, 30000), 0) << Describe(1, 0);
    ASSERT_EQ(zemGetEmailCount(1), 0);
    ASSERT_EQ(Drive(1, 30000), 0);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_MESSAGE_COUNT), 1);
    ASSERT_EQ(zemGetEmailSize(1, 1), 0);
    ASSERT_EQ(Drive(1, 30000), 0);
    EXPECT_GT(zemStatistics(1, ZEM_STAT_MESSAGE_SIZE), 300000);
    Decoded d;
    d.attachDir = Path("att");
    fs::create_directories(d.attachDir);
    ASSERT_EQ(zemGetEmailFile(1, 1, "m.txt", dir_.c_str(), d.attachDir.c_str()), 0);
    d.result = Drive(1, 60000);
    ASSERT_EQ(d.result, 0) << Describe(1, d.result);
    d.text = ReadFile(Path("m.txt"));
    d.saved = SavedList(1);
    d.savedCount = zemStatistics(1, ZEM_STAT_ATTACH_SAVED);
    EXPECT_NE(FindLineBlock(Lines(d.text), kDotLines), -1) << d.text;
    ExpectAttachmentsSaved(d, {file});
    ASSERT_EQ(zemClose(1), 0);
    EXPECT_EQ(Drive(1, 30000), 0);
}

// ===================================================================== servers that go away

// Short time-outs: a server that vanished must cost seconds, not the default 25 s waits.
constexpr int kShortTimeoutMs = 3000;
void UseShortTimeouts() {
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, kShortTimeoutMs);
    zemIntegerParam(0, ZEM_PARAM_CONNECT_TIMEOUT, kShortTimeoutMs);
    zemIntegerParam(0, ZEM_PARAM_DATA_TIMEOUTS, kShortTimeoutMs);
}
// The longest a failing request may take: a few of the waits it is made of.
constexpr int64_t kGiveUpMs = 4 * kShortTimeoutMs + 2000;

TEST_F(RealServers, SmtpServerStoppedBetweenCommands) {
    UseShortTimeouts();
    ASSERT_EQ(SmtpConnect(0, Env().smtpNoAuth, true), 0) << Describe(0, 0);
    RestartOnExit restart{"start-smtp"};
    std::string out;
    ASSERT_TRUE(Fixture("stop-smtp", &out)) << out;
    auto t0 = Clock::now();
    int32_t r = zemSendEmail(0, Bracketed(kBob).c_str(), nullptr, nullptr, "never", "text", nullptr);
    int64_t ms = MsSince(t0);
    EXPECT_LT(r, 0) << Describe(0, r);
    EXPECT_LT(ms, kGiveUpMs);
    std::printf("[ stopped  ] SMTP send after the server stopped: %s in %lld ms\n", Describe(0, r).c_str(),
                static_cast<long long>(ms));
    t0 = Clock::now();
    r = SmtpConnect(0, Env().smtpNoAuth, true);
    ms = MsSince(t0);
    EXPECT_LT(r, 0) << Describe(0, r);
    EXPECT_LT(ms, kGiveUpMs);
    std::printf("[ stopped  ] SMTP connect while the server is stopped: %s in %lld ms\n", Describe(0, r).c_str(),
                static_cast<long long>(ms));
    EXPECT_LE(zemClose(0), 0);
}

TEST_F(RealServers, SmtpServerStoppedDuringData) {
    UseShortTimeouts();
    Attachment big = MakeFile("big.bin", RandomBytes(24u << 20, 24));
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    ASSERT_EQ(SmtpConnect(0, Env().smtpNoAuth, true), 0);
    ASSERT_EQ(Drive(0, 10000), 0) << Describe(0, 0);
    ASSERT_EQ(zemSendEmail(0, Bracketed(kBob).c_str(), nullptr, nullptr, "cut off", "text", big.path.c_str()), 0);
    // Send until a part of the attachment is out, then take the server away.
    int32_t r = ZEM_DRIVER_WAIT;
    const auto t0 = Clock::now();
    while (r > 0 && zemStatistics(0, ZEM_STAT_ATTACH_BYTES_SENT) < (1 << 20) && MsSince(t0) < 60000)
        r = zemDriver(0);
    ASSERT_GT(r, 0) << "the send ended before the server was stopped: " << Describe(0, r);
    RestartOnExit restart{"start-smtp"};
    std::string out;
    ASSERT_TRUE(Fixture("stop-smtp", &out)) << out;
    const int32_t sentAtStop = zemStatistics(0, ZEM_STAT_ATTACH_BYTES_SENT);
    const auto t1 = Clock::now();
    r = Drive(0, 120000);
    const int64_t ms = MsSince(t1);
    std::printf("[ stopped  ] SMTP server stopped after %d encoded bytes: %s, %lld ms later\n", sentAtStop,
                Describe(0, r).c_str(), static_cast<long long>(ms));
    EXPECT_NE(r, INT_MIN) << "the send still ran after two minutes";
    EXPECT_LT(r, 0) << "a message cut off by the server counts as sent";
    EXPECT_LT(ms, kGiveUpMs + 10000) << "took longer than the time-outs allow";
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1);
    EXPECT_LE(zemClose(0), 0);
    // With the server back, the next message goes through, and the cut-off one never arrives.
    ASSERT_TRUE(Fixture("start-smtp", &out)) << out;
    SendSimple(1, kBob, "after the restart", "text");
    ASSERT_TRUE(WaitMail("bob", 1));
    for (const std::string &m : MaildirMessages("bob")) EXPECT_EQ(Header(Headers(m), "Subject"), "after the restart");
}

TEST_F(RealServers, Pop3ServerStoppedBetweenCommands) {
    const std::vector<std::string> text = {"kept while the server is down", ".", "end"};
    SendSimple(0, kBob, "kept while the server is down", JoinCrlf(text));
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitMail("bob", 1));
    UseShortTimeouts();
    ASSERT_EQ(Pop3Connect(1, kBob), 0);
    ASSERT_EQ(zemGetEmailCount(1), 1);
    RestartOnExit restart{"start-pop3"};
    std::string out;
    ASSERT_TRUE(Fixture("stop-pop3", &out)) << out;
    auto t0 = Clock::now();
    Decoded d = FetchDecoded(1, 1, Path("decoded"));
    int64_t ms = MsSince(t0);
    std::printf("[ stopped  ] RETR after the POP3 server stopped: %s in %lld ms\n", Describe(1, d.result).c_str(),
                static_cast<long long>(ms));
    EXPECT_LT(ms, kGiveUpMs);
    if (d.result == 0) {
        // A stop that lets logged-in sessions finish (Dovecot's own "doveadm stop" does)
        // may leave this retrieval working, but then only with the whole message.
        EXPECT_NE(FindLineBlock(Lines(d.text), text), -1) << "an empty or cut-off message counts as retrieved:\n"
                                                            << d.text;
    } else {
        EXPECT_LT(d.result, 0);
    }
    // Whatever became of that session, a new one is refused at once.
    t0 = Clock::now();
    int32_t r = Pop3Connect(1, kBob);
    ms = MsSince(t0);
    EXPECT_LT(r, 0) << Describe(1, r);
    EXPECT_LT(ms, kGiveUpMs);
    std::printf("[ stopped  ] POP3 connect while the server is stopped: %s in %lld ms\n", Describe(1, r).c_str(),
                static_cast<long long>(ms));
    EXPECT_LE(zemClose(1), 0);
    ASSERT_TRUE(Fixture("start-pop3", &out)) << out;
    ASSERT_EQ(Pop3Connect(1, kBob), 0) << Describe(1, 0);
    EXPECT_EQ(zemGetEmailCount(1), 1) << "the message survived";
    EXPECT_EQ(zemClose(1), 0);
}

TEST_F(RealServers, Pop3ServerStoppedDuringRetrieval) {
    // Larger than what the loopback socket buffers can hold, so the server is still sending
    // when it is stopped.
    Attachment big = MakeFile("big.bin", RandomBytes(24u << 20, 42));
    std::string out;
    ASSERT_TRUE(Shell(Quote(Env().python) + " " + Quote(Env().mailer) + " --host " + Env().host + " --port " +
                          std::to_string(Env().smtpNoAuth) + " --from alice@zem.test --to bob@zem.test" +
                          " --subject big --text text --attach " + Quote(big.path) + " 2>&1",
                      &out))
        << out;
    ASSERT_TRUE(WaitMail("bob", 1));
    UseShortTimeouts();
    zemIntegerParam(1, ZEM_PARAM_AUTO_CALL, 0);
    ASSERT_EQ(Pop3Connect(1, kBob), 0);
    ASSERT_EQ(Drive(1, 10000), 0) << Describe(1, 0);
    const std::string attachDir = Path("att");
    fs::create_directories(attachDir);
    ASSERT_EQ(zemGetEmailFile(1, 1, "m.txt", dir_.c_str(), attachDir.c_str()), 0);
    int32_t r = ZEM_DRIVER_WAIT;
    const auto t0 = Clock::now();
    while (r > 0 && zemStatistics(1, ZEM_STAT_BYTES) < (1 << 20) && MsSince(t0) < 60000) r = zemDriver(1);
    ASSERT_GT(r, 0) << "the retrieval ended before the server was stopped: " << Describe(1, r);
    RestartOnExit restart{"start-pop3"};
    ASSERT_TRUE(Fixture("stop-pop3", &out)) << out;
    const int32_t readAtStop = zemStatistics(1, ZEM_STAT_BYTES);
    const auto t1 = Clock::now();
    r = Drive(1, 120000);
    const int64_t ms = MsSince(t1);
    std::printf("[ stopped  ] POP3 server stopped after %d bytes of RETR: %s, %lld ms later\n", readAtStop,
                Describe(1, r).c_str(), static_cast<long long>(ms));
    EXPECT_NE(r, INT_MIN) << "the retrieval still ran after two minutes";
    EXPECT_LT(ms, kGiveUpMs + 10000);
    if (r == 0) {
        // Only a message that came whole may count as retrieved.
        EXPECT_EQ(ReadFile(attachDir + "/big.bin"), big.bytes) << "a cut-off message counts as retrieved";
    }
    zemIntegerParam(1, ZEM_PARAM_AUTO_CALL, 1);
    EXPECT_LE(zemClose(1), 0);
    ASSERT_TRUE(Fixture("start-pop3", &out)) << out;
    zemIntegerParam(1, ZEM_PARAM_AUTO_CALL, 1);
    ASSERT_EQ(Pop3Connect(1, kBob), 0) << Describe(1, 0);
    EXPECT_EQ(zemGetEmailCount(1), 1) << "the message survived";
    EXPECT_EQ(zemClose(1), 0);
}

} // namespace
