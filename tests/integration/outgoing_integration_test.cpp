// Outgoing mail for today's servers against the real Postfix and Dovecot of the fixture:
// a UTF-8 message with UTF-8 attachment names sent with EHLO (PIPELINING offered), fetched
// back over POP3 and read by Python's email package and by the library's own decoder;
// per-recipient results with Postfix's refusal of an unknown local user; the SIZE check
// on the port whose message_size_limit is lowered.
#include <gtest/gtest.h>
#include <sys/wait.h>

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

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

using zi::Shell;

const std::string &kScript = zi::FixtureScript();

// The fixture's ports and state directory (a copy a test may index freely).
std::map<std::string, std::string> FixtureEnv() { return zi::FixtureEnv(); }

int Port(const char *name, int fallback) {
    auto env = FixtureEnv();
    return env.count(name) ? std::atoi(env[name].c_str()) : fallback;
}

std::string Fixture(const std::string &args) {
    std::string out;
    EXPECT_TRUE(Shell(kScript + " " + args + " 2>&1", &out)) << args << ": " << out;
    return out;
}

std::string Json(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 32) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
            out += buf;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

struct File {
    std::string shown;
    std::string bytes;
};

class OutgoingServers : public ::testing::Test {
  protected:
    void SetUp() override {
        Fixture("status");
        Fixture("clear-mailboxes");
        ASSERT_EQ(zemAttach(4, 0), 1);
        static std::mt19937 gen(std::random_device{}());
        dir_ = (fs::temp_directory_path() / ("zem-outgoing-" + std::to_string(gen() % 1000000))).string();
        fs::create_directories(dir_ + "/in");
    }
    void TearDown() override {
        zemRelease();
        if (!HasFailure()) fs::remove_all(dir_);
    }
    int32_t Connect(int port, bool ehlo) {
        zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, port);
        zemIntegerParam(0, ZEM_PARAM_USE_EHLO, ehlo ? 1 : 0);
        return zemSmtpConnect(0, FixtureEnv()["ZEM_SMTP_HOST"].c_str(), "Al\xC3\xAF" "ce <alice@zem.test>", nullptr);
    }
    std::string Reply() {
        char buf[256];
        zemDebug(0, ZEM_DEBUG_LAST_REPLY, buf, sizeof buf);
        return buf;
    }
    // Fetches message 1 of bob's mailbox: raw (POP3 unstuffed) into raw.eml, decoded by
    // the library into decoded/.
    std::string FetchRaw() {
        zemIntegerParam(1, ZEM_PARAM_POP3_PORT, Port("ZEM_POP3_PORT", 21110));
        EXPECT_EQ(zemPop3Connect(1, "127.0.0.1", "bob@zem.test", "bob-secret"), 0);
        EXPECT_EQ(zemGetEmailCount(1), 1);
        zemIntegerParam(1, ZEM_PARAM_POP3_DATA_WAIT, 1500);
        zemIntegerParam(1, ZEM_PARAM_DECODE_STATE, 1);
        EXPECT_EQ(zemGetEmailFile(1, 1, "raw.eml", dir_.c_str(), dir_.c_str()), 0);
        zemIntegerParam(1, ZEM_PARAM_DECODE_STATE, 0);
        zemIntegerParam(1, ZEM_PARAM_POP3_DATA_WAIT, 25000);
        fs::create_directories(dir_ + "/decoded");
        EXPECT_EQ(zemGetEmailFile(1, 1, "message.txt", dir_.c_str(), (dir_ + "/decoded").c_str()), 0);
        EXPECT_EQ(zemClose(1), 0);
        // The raw file holds the status line and POP3's byte stuffing.
        std::string raw = ReadAll(dir_ + "/raw.eml"), msg;
        size_t pos = raw.find("\r\n") + 2;
        while (pos < raw.size()) {
            size_t eol = raw.find("\r\n", pos);
            size_t next = eol == std::string::npos ? raw.size() : eol + 2;
            std::string line = raw.substr(pos, next - pos);
            if (line == ".\r\n") break;
            if (!line.empty() && line[0] == '.') line.erase(0, 1);
            msg += line;
            pos = next;
        }
        return msg;
    }
    std::string dir_;
};

TEST_F(OutgoingServers, Utf8MessageWithUtf8AttachmentNamesComesBack) {
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_TEXT_CHARSET, "utf-8"), 5);
    std::string longName;
    while (longName.size() < 120) longName += "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"; // テスト
    const std::vector<File> files = {
        {"\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8.bin", std::string("\x00\x01\x02\xFF report", 11)},
        {"na\xC3\xAFve r\xC3\xA9sum\xC3\xA9.txt", "accented name\n"},
        {"\xF0\x9F\x93\xA6 box.dat", std::string(5000, '\x7F')},
        {longName + ".dat", "long name"},
    };
    std::string list;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string path = dir_ + "/in/f" + std::to_string(i);
        WriteAll(path, files[i].bytes);
        list += (i ? "," : "") + path + "|" + files[i].shown;
    }
    const std::string subject = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xE2\x80\x94 Caf\xC3\xA9 \xF0\x9F\x8E\x89";
    const std::string text = "Gr\xC3\xBC\xC3\x9F" "e, Bob!\n= not a soft break\n.\n";
    ASSERT_EQ(Connect(Port("ZEM_SMTP_PORT_NOAUTH", 21029), true), 0) << Reply();
    ASSERT_EQ(zemSendEmail(0, "B\xC3\xB6" "b <bob@zem.test>", nullptr, nullptr, subject.c_str(), text.c_str(),
                           list.c_str()),
              0)
        << Reply();
    EXPECT_EQ(zemClose(0), 0);
    Fixture("wait-mail bob 1 60");
    const std::string msg = FetchRaw();
    WriteAll(dir_ + "/message.eml", msg);
    std::string expect = "{\"subject\":" + Json(subject) + ",\"to\":[[" + Json("B\xC3\xB6" "b") +
                         ",\"bob@zem.test\"]],\"from\":[[" + Json("Al\xC3\xAF" "ce") +
                         ",\"alice@zem.test\"]],\"parts\":[{\"charset\":\"utf-8\",\"text\":" + Json(text) + "}";
    for (const File &f : files) expect += ",{\"filename\":" + Json(f.shown) + "}";
    expect += "]}";
    WriteAll(dir_ + "/expect.json", expect);
    std::string out;
    const bool ok = Shell(std::string(ZEM_PYTHON) + " " + ZEM_SOURCE_DIR + "/tests/protocol/mime_check.py --utf8 " + dir_ +
                            "/message.eml " + dir_ + "/parts " + dir_ + "/expect.json 2>&1",
                        &out);
    EXPECT_TRUE(ok) << out.substr(out.find("\"problems\"") == std::string::npos ? 0 : out.find("\"problems\""), 3000);
    for (size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(ReadAll(dir_ + "/parts/part-" + std::to_string(i + 2) + ".bin"), files[i].bytes) << files[i].shown;
    // The library's own decoder saves every attachment with its bytes; the names it gives
    // them are the decoder's business (RFC 2231 names are read by its own work), so they
    // are printed, and the bytes compared.
    std::multiset<std::string> want, got;
    for (const File &f : files) want.insert(f.bytes);
    std::string names;
    for (const auto &e : fs::directory_iterator(dir_ + "/decoded")) {
        got.insert(ReadAll(e.path().string()));
        names += " [" + e.path().filename().string() + "]";
    }
    EXPECT_EQ(got, want);
    std::printf("[ decoder  ] saved names:%s\n", names.c_str());
}

TEST_F(OutgoingServers, PostfixRefusesAnUnknownUserAndTheRestGetTheMessage) {
    for (bool ehlo : {true, false}) { // PIPELINING with EHLO, one by one with HELO
        SCOPED_TRACE(ehlo ? "EHLO, pipelined" : "HELO");
        Fixture("clear-mailboxes");
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_CONTINUE_PAST_REFUSED, 1), 1);
        ASSERT_EQ(Connect(Port("ZEM_SMTP_PORT_NOAUTH", 21029), ehlo), 0) << Reply();
        ASSERT_EQ(zemSendEmail(0, "<nobody@zem.test>,<bob@zem.test>", "<ghost@zem.test>", nullptr, "some refused",
                               "text", nullptr),
                  0)
            << Reply();
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_ACCEPTED), 1);
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_REFUSED), 2);
        char refused[1024];
        zemDebug(0, ZEM_DEBUG_REFUSED, refused, sizeof refused);
        const std::string r = refused;
        EXPECT_EQ(r.find("<nobody@zem.test> 550"), 0u) << r;
        EXPECT_NE(r.find("\r\n<ghost@zem.test> 550"), std::string::npos) << r;
        EXPECT_EQ(zemClose(0), 0);
        Fixture("wait-mail bob 1 60");
        // Without continuing, the first refusal ends the send.
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_CONTINUE_PAST_REFUSED, 0), 1);
        ASSERT_EQ(Connect(Port("ZEM_SMTP_PORT_NOAUTH", 21029), ehlo), 0);
        EXPECT_EQ(zemSendEmail(0, "<nobody@zem.test>,<bob@zem.test>", nullptr, nullptr, "x", "y", nullptr), ZEM_ERR_SMTP);
        // Every recipient refused, continuing or not, is a failed send.
        zemIntegerParam(0, ZEM_PARAM_CONTINUE_PAST_REFUSED, 1);
        ASSERT_EQ(Connect(Port("ZEM_SMTP_PORT_NOAUTH", 21029), ehlo), 0);
        EXPECT_EQ(zemSendEmail(0, "<nobody@zem.test>", nullptr, nullptr, "x", "y", nullptr), ZEM_ERR_ALL_REFUSED);
        zemIntegerParam(0, ZEM_PARAM_CONTINUE_PAST_REFUSED, 0);
    }
}

TEST_F(OutgoingServers, SizeLimitOfThePortIsHonouredBeforeMailFrom) {
    const int port = Port("ZEM_SMTP_PORT_SMALL", 21040);
    const int limit = Port("ZEM_SMTP_SMALL_LIMIT", 20000);
    const std::string big = dir_ + "/in/big.bin", small = dir_ + "/in/small.bin";
    WriteAll(big, std::string(static_cast<size_t>(limit), 'b')); // base64 makes it a third larger
    WriteAll(small, std::string(static_cast<size_t>(limit) / 4, 's'));
    ASSERT_EQ(Connect(port, true), 0) << Reply();
    EXPECT_EQ(zemSendEmail(0, "<bob@zem.test>", nullptr, nullptr, "too big", "x", big.c_str()), ZEM_ERR_SIZE_LIMIT);
    // What fits goes through, with its size declared when asked.
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_DECLARE_SIZE, 1), 1);
    ASSERT_EQ(Connect(port, true), 0) << Reply();
    EXPECT_EQ(zemSendEmail(0, "<bob@zem.test>", nullptr, nullptr, "fits", "x", small.c_str()), 0) << Reply();
    EXPECT_EQ(zemClose(0), 0);
    Fixture("wait-mail bob 1 60");
    // Without the check (HELO: no offer) Postfix itself refuses the data.
    ASSERT_EQ(Connect(port, false), 0);
    EXPECT_EQ(zemSendEmail(0, "<bob@zem.test>", nullptr, nullptr, "too big", "x", big.c_str()), ZEM_ERR_SMTP);
    EXPECT_EQ(Reply().substr(0, 3), "552");
}

} // namespace
