// IMAP against the fixture's real Dovecot: login and LIST on every route (plain, STARTTLS
// required, implicit TLS, IPv6); a message sent through Postfix with the library's SMTP
// client found by SEARCH, fetched decoded (attachments byte for byte) and raw (the bytes
// POP3 and Python's imaplib get); flags, MOVE into a mailbox with a non-ASCII name,
// APPEND with its UID, UID EXPUNGE, mailbox create/rename/delete, LOGOUT at close.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fixture_env.h"
#include "zem32.h"

namespace fs = std::filesystem;

namespace {

using zi::Shell;

std::string Slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void Spill(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

const std::string &kScript = zi::FixtureScript();

std::string Var(const char *name) { return zi::FixtureVar(name); }

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

const std::string kBuero = "B\xC3\xBCro";                                          // Büro
const std::string kProject = "Proj\xC3\xA9kt \xE6\x97\xA5\xE6\x9C\xAC";            // Projékt 日本
const std::string kArchive = "Archiv \xE2\x80\x93 \xC3\x84lter \xE2\x9C\x93";      // Archiv – Älter ✓

class ImapServers : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string out;
        ASSERT_TRUE(Shell(kScript + " status 2>&1", &out)) << "mail servers not running:\n" << out;
        ASSERT_TRUE(Shell(kScript + " clear-mailboxes 2>&1", &out)) << out;
        ASSERT_EQ(zemAttach(3, 0), 1);
        dir_ = (fs::temp_directory_path() / ("zem-imap-integration-" + std::to_string(std::random_device{}()))).string();
        fs::create_directories(dir_ + "/parts");
    }
    void TearDown() override {
        zemRelease();
        if (!HasFailure()) fs::remove_all(dir_);
    }
    int32_t Connect(int chan, const std::string &host, const char *portVar, int tls, const char *user = "bob") {
        zemIntegerParam(chan, ZEM_PARAM_IMAP_PORT, std::atoi(Var(portVar).c_str()));
        zemIntegerParam(chan, ZEM_PARAM_TLS, tls);
        zemStringParam(chan, ZEM_STRING_CA_FILE, Var("ZEM_TLS_CA_FILE").c_str());
        zemStringParam(chan, ZEM_STRING_LOG_FILE, Log(chan).c_str());
        const std::string pass = std::string(user) + "-secret";
        return zemImapConnect(chan, host.c_str(), (std::string(user) + "@zem.test").c_str(), pass.c_str());
    }
    std::string Log(int chan) { return dir_ + "/chan" + std::to_string(chan) + ".log"; }
    std::string Text(int chan, int32_t code) {
        char buf[512] = {};
        zemErrorText(chan, code, buf, sizeof buf);
        return buf;
    }
    std::string List(int chan, const char *pattern = "*") {
        char buf[4096] = {};
        const int32_t n = zemImapList(chan, pattern, buf, sizeof buf);
        EXPECT_GT(n, 0) << Text(chan, n);
        return buf;
    }
    // The UIDs found, as the library writes them; the count must agree.
    std::string Search(int chan, const std::string &criteria) {
        char buf[1024] = {};
        const int32_t n = zemImapSearch(chan, criteria.c_str(), buf, sizeof buf);
        EXPECT_GE(n, 0) << criteria << ": " << Text(chan, n);
        const std::string found = buf;
        EXPECT_EQ(n, found.empty() ? 0 : static_cast<int32_t>(std::count(found.begin(), found.end(), ' ') + 1)) << found;
        return found;
    }
    std::string dir_;
};

bool Listed(const std::string &list, const std::string &name) {
    return list.find(name + "\t") == 0 || list.find("\n" + name + "\t") != std::string::npos;
}

TEST_F(ImapServers, LogsInAndListsOnEveryRoute) {
    struct Route {
        std::string host;
        const char *port;
        int tls;
    };
    const std::vector<Route> routes = {{"127.0.0.1", "ZEM_IMAP_PORT", ZEM_TLS_NONE},
                                       {"127.0.0.1", "ZEM_IMAP_PORT", ZEM_TLS_OPPORTUNISTIC},
                                       {"127.0.0.1", "ZEM_IMAP_PORT_STARTTLS", ZEM_TLS_STARTTLS},
                                       {"localhost", "ZEM_IMAP_PORT_IMAPS", ZEM_TLS_IMPLICIT},
                                       {"::1", "ZEM_IMAP_PORT6", ZEM_TLS_STARTTLS}};
    for (const Route &r : routes) {
        SCOPED_TRACE(r.host + ":" + Var(r.port) + " tls " + std::to_string(r.tls));
        if (Var(r.port).empty()) {
            std::printf("[ skipped  ] no %s on this machine\n", r.port);
            continue;
        }
        const int32_t c = Connect(0, r.host, r.port, r.tls, "alice");
        ASSERT_EQ(c, 0) << Text(0, c);
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_TLS_ACTIVE), r.tls == ZEM_TLS_NONE ? 0 : 1);
        const std::string list = List(0);
        EXPECT_TRUE(Listed(list, "INBOX")) << list;
        EXPECT_NE(list.find("Sent\t"), std::string::npos) << list;
        EXPECT_NE(list.find("\\Sent"), std::string::npos) << "the Sent attribute: " << list;
        EXPECT_EQ(zemImapSelect(0, "INBOX", 1), 0);
        EXPECT_EQ(zemClose(0), 0);
    }
    // LOGINDISABLED before STARTTLS, and TLS not asked for: no login is tried at all.
    EXPECT_EQ(Connect(1, "127.0.0.1", "ZEM_IMAP_PORT_STARTTLS", ZEM_TLS_NONE, "alice"), ZEM_ERR_NO_LOGIN);
    zemClose(1);
    const std::string log = Slurp(Log(1));
    EXPECT_NE(log.find("LOGINDISABLED"), std::string::npos) << log;
    EXPECT_EQ(log.find("alice-secret"), std::string::npos) << log;
    EXPECT_EQ(log.find("AUTHENTICATE"), std::string::npos) << log;
    EXPECT_EQ(log.find(" LOGIN "), std::string::npos) << log;
}

TEST_F(ImapServers, SentMessageIsFoundFetchedFlaggedAndMoved) {
    const std::string tag = std::to_string(std::random_device{}() % 1000000);
    const std::string subject = "imap interop " + tag + " f\xC3\xBCr Bob";
    const std::string a = RandomBytes(70000, 7), b = RandomBytes(3001, 8);
    const std::string named = "\xC3\x9C" "bersicht \xE2\x9C\x93.bin"; // Übersicht ✓.bin
    Spill(dir_ + "/a.bin", a);
    Spill(dir_ + "/b.bin", b);
    zemStringParam(2, ZEM_STRING_TEXT_CHARSET, "utf-8");
    zemIntegerParam(2, ZEM_PARAM_SMTP_PORT, std::atoi(Var("ZEM_SMTP_PORT_NOAUTH").c_str()));
    zemIntegerParam(2, ZEM_PARAM_USE_EHLO, 1);
    ASSERT_EQ(zemSmtpConnect(2, Var("ZEM_SMTP_HOST").c_str(), "<alice@zem.test>", nullptr), 0);
    ASSERT_EQ(zemSendEmail(2, "<bob@zem.test>", nullptr, nullptr, subject.c_str(), "Gr\xC3\xBC\xC3\x9F" "e\n",
                           (dir_ + "/a.bin|" + named + "," + dir_ + "/b.bin|plain.bin").c_str()),
              0);
    EXPECT_EQ(zemClose(2), 0);
    std::string out;
    ASSERT_TRUE(Shell(kScript + " wait-mail bob 1 60 2>&1", &out)) << out;

    ASSERT_EQ(Connect(0, "127.0.0.1", "ZEM_IMAP_PORT", ZEM_TLS_NONE), 0);
    ASSERT_EQ(zemImapSelect(0, "INBOX", 0), 1);
    const std::string uid = Search(0, "SUBJECT \"interop " + tag + "\"");
    ASSERT_FALSE(uid.empty());
    EXPECT_EQ(Search(0, "SUBJECT \"f\xC3\xBCr Bob\""), uid); // CHARSET UTF-8 with a literal
    EXPECT_EQ(Search(0, "SUBJECT \"f\xC3\xB6r Bob\""), "");
    const uint32_t u = static_cast<uint32_t>(std::stoul(uid));

    // Decoded: the attachments as they were sent.
    ASSERT_EQ(zemImapFetchFile(0, u, "message.txt", dir_.c_str(), (dir_ + "/parts").c_str()), 0);
    EXPECT_EQ(Slurp(dir_ + "/parts/" + named), a);
    EXPECT_EQ(Slurp(dir_ + "/parts/plain.bin"), b);
    EXPECT_NE(Slurp(dir_ + "/message.txt").find("Gr\xC3\xBC\xC3\x9F" "e"), std::string::npos);
    // Raw: the message's bytes, as POP3 RETR and Python's imaplib get them.
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
    ASSERT_EQ(zemImapFetchFile(0, u, "raw.eml", dir_.c_str(), dir_.c_str()), 0);
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 0);
    const std::string py =
        "import imaplib,poplib,sys\n"
        "d,uid=sys.argv[1],sys.argv[2]\n"
        "m=imaplib.IMAP4('127.0.0.1'," + Var("ZEM_IMAP_PORT") + ");m.login('bob@zem.test','bob-secret')\n"
        "m.select('INBOX',readonly=True);t,r=m.uid('FETCH',uid,'(BODY.PEEK[])');m.logout()\n"
        "open(d+'/imaplib.eml','wb').write(r[0][1])\n"
        "p=poplib.POP3('127.0.0.1'," + Var("ZEM_POP3_PORT") + ");p.user('bob@zem.test');p.pass_('bob-secret')\n"
        "open(d+'/poplib.eml','wb').write(b''.join(l+b'\\r\\n' for l in p.retr(1)[1]));p.quit()\n";
    Spill(dir_ + "/fetch.py", py);
    ASSERT_TRUE(Shell(std::string(ZEM_PYTHON) + " " + dir_ + "/fetch.py " + dir_ + " " + uid + " 2>&1", &out)) << out;
    const std::string raw = Slurp(dir_ + "/raw.eml");
    EXPECT_GT(raw.size(), a.size());
    EXPECT_TRUE(raw == Slurp(dir_ + "/imaplib.eml")) << "raw IMAP fetch differs from imaplib's";
    EXPECT_TRUE(raw == Slurp(dir_ + "/poplib.eml")) << "raw IMAP fetch differs from POP3 RETR";
    // The header: the raw message up to and with its blank line.
    char header[8192] = {};
    const int32_t h = zemImapFetchHeader(0, u, header, sizeof header);
    ASSERT_GT(h, 0) << Text(0, h);
    EXPECT_EQ(std::string(header, static_cast<size_t>(h)), raw.substr(0, raw.find("\r\n\r\n") + 4));
    EXPECT_EQ(zemImapFetchHeader(0, u + 1000, header, sizeof header), ZEM_ERR_NO_SUCH_MESSAGE);

    // Flags, then a move into a new mailbox with a non-ASCII name.
    EXPECT_EQ(Search(0, "FLAGGED"), "");
    ASSERT_EQ(zemImapStore(0, uid.c_str(), "+\\Flagged"), 0);
    EXPECT_EQ(Search(0, "FLAGGED"), uid);
    ASSERT_EQ(zemImapMailbox(0, ZEM_IMAP_CREATE, kBuero.c_str(), nullptr), 0);
    const int32_t moved = zemImapCopy(0, uid.c_str(), kBuero.c_str(), 1);
    ASSERT_GT(moved, 0) << Text(0, moved);
    EXPECT_EQ(Search(0, "ALL"), "");
    EXPECT_EQ(zemImapSelect(0, "INBOX", 1), 0);
    EXPECT_EQ(zemImapSelect(0, kBuero.c_str(), 0), 1);
    EXPECT_EQ(Search(0, "FLAGGED SUBJECT \"f\xC3\xBCr Bob\""), std::to_string(moved));
    EXPECT_EQ(zemClose(0), 0);
    // Sent as modified UTF-7 (the server has no UTF8=ACCEPT).
    EXPECT_NE(Slurp(Log(0)).find("CREATE B&APw-ro\r\n"), std::string::npos);
}

TEST_F(ImapServers, AppendExpungeAndMailboxNames) {
    Spill(dir_ + "/sent.eml", "From: <bob@zem.test>\nTo: <alice@zem.test>\nSubject: appended\n\nline one\nline two\n");
    ASSERT_EQ(Connect(0, "127.0.0.1", "ZEM_IMAP_PORT", ZEM_TLS_NONE), 0);
    const int32_t uid = zemImapAppend(0, "Sent", (dir_ + "/sent.eml").c_str(), "\\Seen");
    ASSERT_GT(uid, 0) << Text(0, uid);
    ASSERT_EQ(zemImapSelect(0, "Sent", 0), 1);
    EXPECT_EQ(Search(0, "SEEN SUBJECT \"appended\""), std::to_string(uid));
    char header[1024] = {};
    const int32_t h = zemImapFetchHeader(0, static_cast<uint32_t>(uid), header, sizeof header);
    EXPECT_EQ(h, static_cast<int32_t>(std::string(header).size()));
    EXPECT_EQ(std::string(header), "From: <bob@zem.test>\r\nTo: <alice@zem.test>\r\nSubject: appended\r\n\r\n");
    // UID EXPUNGE takes only what is marked \Deleted.
    ASSERT_EQ(zemImapExpunge(0, std::to_string(uid).c_str()), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_EXISTS), 1);
    ASSERT_EQ(zemImapStore(0, std::to_string(uid).c_str(), "+\\Deleted"), 0);
    ASSERT_EQ(zemImapExpunge(0, std::to_string(uid).c_str()), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_IMAP_EXISTS), 0);
    EXPECT_EQ(zemImapSelect(0, "Sent", 1), 0);

    ASSERT_EQ(zemImapMailbox(0, ZEM_IMAP_CREATE, kProject.c_str(), nullptr), 0);
    std::string list = List(0);
    EXPECT_TRUE(Listed(list, kProject)) << list;
    ASSERT_EQ(zemImapMailbox(0, ZEM_IMAP_RENAME, kProject.c_str(), kArchive.c_str()), 0);
    list = List(0);
    EXPECT_TRUE(Listed(list, kArchive)) << list;
    EXPECT_FALSE(Listed(list, kProject)) << list;
    EXPECT_TRUE(Listed(List(0, kArchive.c_str()), kArchive));
    ASSERT_EQ(zemImapMailbox(0, ZEM_IMAP_DELETE, kArchive.c_str(), nullptr), 0);
    list = List(0);
    EXPECT_FALSE(Listed(list, kArchive)) << list;
    EXPECT_EQ(zemImapMailbox(0, ZEM_IMAP_DELETE, kArchive.c_str(), nullptr), ZEM_ERR_IMAP);
    EXPECT_EQ(zemClose(0), 0);
    const std::string log = Slurp(Log(0));
    EXPECT_NE(log.find(" LOGOUT\r\n"), std::string::npos) << log.substr(log.size() > 600 ? log.size() - 600 : 0);
}

} // namespace
