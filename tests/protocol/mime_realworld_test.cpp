// Messages made by real mailers, saved through the whole library from the scripted POP3
// server: Python's email package (current API and compat32 classes) and mpack(1).
// mime_realworld.py writes the messages, the original attachment bytes and a manifest;
// every attachment file must equal its original byte for byte, the names must stay inside
// the attachment directory, and the message file must hold the text parts.
#include <gtest/gtest.h>

#include <algorithm>
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
    std::string pop; // server bytes for RETR
    std::vector<std::pair<std::string, std::string>> attachments; // saved name, original file
    std::vector<std::string> texts;
};

std::string FromHex(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::vector<std::string> SplitTabs(const std::string &line) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string part;
    while (std::getline(ss, part, '\t')) f.push_back(part);
    return f;
}

class MimeRealWorld : public zt::LibTest {
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

    // Runs the generator; false with *skip set when the mailer is not available.
    bool Generate(const std::string &mailer, std::vector<Expected> *out, std::string *skip) {
        const std::string gen = dir_ + "/gen";
        const std::string cmd = std::string(ZEM_PYTHON) + " " + ZEM_SOURCE_DIR + "/tests/protocol/mime_realworld.py " + gen +
                                " " + mailer;
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::ifstream in(gen + "/manifest.txt");
        std::string line;
        while (std::getline(in, line)) {
            const auto f = SplitTabs(line);
            if (f.empty()) continue;
            if (f[0] == "skip" && f.size() == 2) {
                *skip = FromHex(f[1]);
                return false;
            }
            if (f[0] == "message" && f.size() == 2) out->push_back({gen + "/" + f[1], {}, {}});
            if (out->empty()) continue;
            if (f[0] == "attach" && f.size() == 3) out->back().attachments.emplace_back(FromHex(f[1]), f[2]);
            if (f[0] == "text" && f.size() == 2) out->back().texts.push_back(FromHex(f[1]));
        }
        EXPECT_FALSE(out->empty()) << "no messages from " << cmd;
        return true;
    }

    static std::string SavedList() {
        char buf[1100];
        int32_t n = zemDebug(0, ZEM_DEBUG_SAVED_LIST, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

    // Saves every message into its own attachment directory and checks the results.
    void RetrieveAndCheck(const std::vector<Expected> &messages) {
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
        ASSERT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), 0);
        const std::string out = dir_ + "/out";
        fs::create_directory(out);
        for (size_t i = 0; i < messages.size(); ++i) {
            const Expected &m = messages[i];
            SCOPED_TRACE("message " + std::to_string(i + 1));
            const std::string att = out + "/att" + std::to_string(i + 1);
            fs::create_directory(att);
            const std::string name = "m" + std::to_string(i + 1) + ".txt";
            ASSERT_EQ(zemGetEmailFile(0, static_cast<int32_t>(i + 1), name.c_str(), out.c_str(), att.c_str()), 0);
            const std::string saved = zt::ReadFile(out + "/" + name);
            std::vector<std::string> expectNames;
            std::string expectList;
            for (const auto &[file, orig] : m.attachments) {
                const std::string bytes = zt::ReadFile(orig);
                ASSERT_TRUE(fs::exists(att + "/" + file)) << file;
                EXPECT_EQ(fs::file_size(att + "/" + file), bytes.size()) << file;
                EXPECT_TRUE(zt::ReadFile(att + "/" + file) == bytes) << file << " differs from the original";
                EXPECT_NE(saved.find("[Attachment saved to \"" + att + "/" + file + "\"]\r\n"), std::string::npos) << file;
                expectNames.push_back(file);
                expectList += (expectList.empty() ? "" : ",") + file;
            }
            std::vector<std::string> found;
            for (const auto &e : fs::directory_iterator(att)) found.push_back(e.path().filename().string());
            std::sort(found.begin(), found.end());
            std::sort(expectNames.begin(), expectNames.end());
            EXPECT_EQ(found, expectNames);
            EXPECT_EQ(SavedList(), expectList);
            EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), static_cast<int32_t>(m.attachments.size()));
            for (const std::string &t : m.texts) EXPECT_NE(saved.find(t), std::string::npos) << "missing text: " << t;
        }
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000));
        // Only the message files and the attachment directories were written.
        std::vector<std::string> top;
        for (const auto &e : fs::directory_iterator(out)) top.push_back(e.path().filename().string());
        EXPECT_EQ(top.size(), 2 * messages.size());
        EXPECT_FALSE(fs::exists(dir_ + "/etc")) << "a name left the attachment directory";
        EXPECT_FALSE(fs::exists(out + "/b")) << "a name left the attachment directory";
    }

    std::string dir_;
};

TEST_F(MimeRealWorld, PythonEmailPackageMessages) {
    std::vector<Expected> messages;
    std::string skip;
    ASSERT_TRUE(Generate("python", &messages, &skip)) << skip;
    ASSERT_EQ(messages.size(), 4u);
    RetrieveAndCheck(messages);
}

TEST_F(MimeRealWorld, MpackMessages) {
    std::vector<Expected> messages;
    std::string skip;
    if (!Generate("mpack", &messages, &skip)) GTEST_SKIP() << skip;
    ASSERT_EQ(messages.size(), 3u);
    RetrieveAndCheck(messages);
}

} // namespace
