// Messages written by mail programs this project did not write (Python's email package
// under every policy, s-nail, mpack, and structures composed after Thunderbird, Outlook,
// Apple Mail and Gmail), saved through the whole library from the scripted POP3 server
// with UTF-8 names (code 72) and attached messages saved whole (code 73). Python's own
// parser names the expectations (mime_corpus.py): every attachment it finds is written
// byte for byte under the name it reports, made safe; the message file keeps the text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "lib_fixture.h"
#include "script_server.h"
#include "zem32.h"

namespace {

namespace fs = std::filesystem;

struct Expected {
    std::string pop, source;
    std::vector<std::pair<std::string, std::string>> files; // safe name, expected bytes file
    std::vector<std::string> texts;
};

std::string FromHex(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::vector<std::string> Fields(const std::string &line) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string part;
    while (std::getline(ss, part, '\t')) f.push_back(part);
    return f;
}

std::string StripCr(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

class MimeCorpus : public zt::LibTest {
  protected:
    void SetUp() override {
        zt::LibTest::SetUp();
        dir_ = zt::TempDir();
    }
    void TearDown() override {
        zt::LibTest::TearDown();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string AttachDir(size_t i) const {
        char n[8];
        std::snprintf(n, sizeof n, "%02zu", i + 1);
        return dir_ + "/a" + n;
    }
    std::vector<Expected> Generate() {
        const std::string gen = dir_ + "/gen";
        const std::string cmd = std::string(ZEM_PYTHON) + " " + ZEM_SOURCE_DIR + "/tests/protocol/mime_corpus.py " + gen + " " +
                                std::to_string(AttachDir(0).size());
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::vector<Expected> out;
        std::ifstream in(gen + "/manifest.txt");
        std::string line;
        while (std::getline(in, line)) {
            const auto f = Fields(line);
            if (f.size() == 3 && f[0] == "message") out.push_back({gen + "/" + f[1], f[2], {}, {}});
            if (f.size() == 2 && f[0] == "note") std::printf("note: %s\n", FromHex(f[1]).c_str());
            if (out.empty()) continue;
            if (f.size() == 3 && f[0] == "attach") out.back().files.emplace_back(FromHex(f[1]), f[2]);
            if (f.size() == 2 && f[0] == "text") out.back().texts.push_back(FromHex(f[1]));
        }
        return out;
    }
    std::string dir_;
};

TEST_F(MimeCorpus, EveryAttachmentPythonFindsIsWrittenUnderItsName) {
    const std::vector<Expected> messages = Generate();
    ASSERT_GE(messages.size(), 13u); // the Python and composed sets at least
    zt::Script s = {zt::Send("+OK POP3 ready\r\n"), zt::Expect("USER u"), zt::Reply("+OK"), zt::Expect("PASS p"),
                    zt::Reply("+OK")};
    for (size_t i = 0; i < messages.size(); ++i) {
        s.push_back(zt::Expect("RETR " + std::to_string(i + 1)));
        s.push_back(zt::SendFile(messages[i].pop));
    }
    s.push_back(zt::Expect("QUIT"));
    s.push_back(zt::Reply("+OK"));
    zt::ScriptServer srv(s);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port()), 1);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_UTF8_NAMES, 1), 1);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_SAVE_MESSAGES, 1), 1);
    ASSERT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), 0);
    size_t files = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        const Expected &m = messages[i];
        SCOPED_TRACE(m.source);
        const std::string att = AttachDir(i);
        fs::create_directory(att);
        const std::string name = "m" + std::to_string(i + 1) + ".txt";
        ASSERT_EQ(zemGetEmailFile(0, static_cast<int32_t>(i + 1), name.c_str(), dir_.c_str(), att.c_str()), 0);
        const std::string saved = zt::ReadFile(dir_ + "/" + name);
        std::vector<std::string> want, found;
        for (const auto &[file, orig] : m.files) {
            want.push_back(file);
            if (!fs::exists(att + "/" + file)) {
                ADD_FAILURE() << "not written: " << file;
                continue;
            }
            EXPECT_TRUE(zt::ReadFile(att + "/" + file) == zt::ReadFile(orig)) << file << " differs from what Python decodes";
            EXPECT_NE(saved.find("[Attachment saved to \"" + att + "/" + file + "\"]"), std::string::npos) << file;
        }
        for (const auto &e : fs::directory_iterator(att)) found.push_back(e.path().filename().string());
        std::sort(want.begin(), want.end());
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, want);
        EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), static_cast<int32_t>(m.files.size()));
        const std::string plain = StripCr(saved);
        for (const std::string &t : m.texts) EXPECT_NE(plain.find(StripCr(t)), std::string::npos) << "missing text: " << t;
        files += m.files.size();
    }
    EXPECT_GE(files, 60u);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000));
}

} // namespace
