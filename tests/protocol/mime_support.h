// What the incoming decoder's tests share: messages written with LF turned into the wire's
// CR LF, base64 in one run for encoded words (bodies use zt::Base64Lines), a scripted POP3
// server that serves the messages, a fixture that retrieves them into a fresh folder, and
// one that saves the messages a generator script wrote with its manifest and checks every
// attachment and text the manifest names.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "lib_fixture.h"
#include "script_server.h"
#include "test_data.h"
#include "zem32.h"

namespace mt {

namespace fs = std::filesystem;

// Message texts are written with LF for readability; the wire has CR LF.
inline std::string Crlf(const std::string &lf) {
    std::string out;
    for (char c : lf) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// Dot-stuffing of the server side (RFC 1939 section 3).
inline std::string Stuff(const std::string &msg) {
    std::string out;
    bool lineStart = true;
    for (char c : msg) {
        if (lineStart && c == '.') out += '.';
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

using zt::Base64Lines;
using zt::RandomBytes;

// Base64 in one unbroken run, as an encoded word holds it.
inline std::string Base64Word(const std::string &bytes) {
    std::string s = Base64Lines(bytes, bytes.size() + 1);
    s.resize(s.size() >= 2 ? s.size() - 2 : 0); // without the CR LF
    return s;
}

// A POP3 server that logs in "u" with "p" and answers RETR n with the nth reply given.
inline zt::Script Pop3Serving(const std::vector<zt::Step> &replies, bool quit = true) {
    zt::Script s = {zt::Send("+OK POP3 ready\r\n"), zt::Expect("USER u"), zt::Reply("+OK"), zt::Expect("PASS p"),
                    zt::Reply("+OK")};
    for (size_t i = 0; i < replies.size(); ++i) {
        s.push_back(zt::Expect("RETR " + std::to_string(i + 1)));
        s.push_back(replies[i]);
    }
    if (quit) {
        s.push_back(zt::Expect("QUIT"));
        s.push_back(zt::Reply("+OK bye"));
    }
    return s;
}

// The same server with the messages' texts, stuffed and ended as RETR sends them.
inline zt::Script Pop3Script(const std::vector<std::string> &messages, bool quit = true) {
    std::vector<zt::Step> replies;
    for (const std::string &m : messages) replies.push_back(zt::Send("+OK message follows\r\n" + Stuff(m) + ".\r\n"));
    return Pop3Serving(replies, quit);
}

// The names of the attachments saved by the last retrieval on channel 0.
inline std::string SavedList() {
    char buf[1100];
    int32_t n = zemDebug(0, ZEM_DEBUG_SAVED_LIST, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The names in a folder, sorted.
inline std::vector<std::string> Listing(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Retrieves from the scripted server into msgN.txt, attachments into att_.
class RetrievalTest : public zt::DirTest {
  protected:
    void SetUp() override {
        zt::DirTest::SetUp();
        fs::create_directory(att_);
    }
    void Connect(const zt::ScriptServer &srv) {
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port()), 1);
        ASSERT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), 0);
    }
    int32_t Get(int32_t msg, const std::string &name) {
        return zemGetEmailFile(0, msg, name.c_str(), dir_.c_str(), att_.c_str());
    }
    // Connects, saves each message as msgN.txt and quits; every step must succeed.
    void RetrieveAll(const std::vector<std::string> &messages) {
        zt::ScriptServer srv(Pop3Script(messages));
        Connect(srv);
        for (size_t i = 0; i < messages.size(); ++i)
            ASSERT_EQ(Get(static_cast<int32_t>(i + 1), "msg" + std::to_string(i + 1) + ".txt"), 0) << "message " << i + 1;
        EXPECT_EQ(zemClose(0), 0); // still in step with the server: nothing was read too far
        EXPECT_TRUE(srv.Finish(5000));
    }
    void Retrieve(const std::string &message) { RetrieveAll({message}); }
    std::string Message(int i = 1) const { return zt::ReadFile(dir_ + "/msg" + std::to_string(i) + ".txt"); }
    std::string Attachment(const std::string &name) const { return zt::ReadFile(att_ + "/" + name); }
    std::vector<std::string> AttachFiles() const { return Listing(att_); }

    std::string att_ = dir_ + "/att";
};

inline std::string FromHex(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

inline std::vector<std::string> SplitTabs(const std::string &line) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string part;
    while (std::getline(ss, part, '\t')) f.push_back(part);
    return f;
}

// One message of a generator's manifest and what saving it must give.
struct Expected {
    std::string pop, source;                                // server bytes for RETR; where it comes from
    std::vector<std::pair<std::string, std::string>> files; // saved name, file of the expected bytes
    std::vector<std::string> texts;                         // bytes the message file must hold
};

// Saves the messages of a generator script (mime_corpus.py, mime_realworld.py) through the
// whole library and checks them against the generator's manifest.
class ManifestTest : public zt::DirTest {
  protected:
    // One length for every message's attachment folder: the generator fits names to it.
    std::string AttachDir(size_t i) const {
        char n[8];
        std::snprintf(n, sizeof n, "%02zu", i + 1);
        return out_ + "/a" + n;
    }
    // Runs tests/protocol/SCRIPT into dir_/gen with its argument; empty with *skip set
    // when the generator says its mailer is missing.
    std::vector<Expected> Generate(const std::string &script, const std::string &arg, std::string *skip) {
        const std::string gen = dir_ + "/gen";
        const std::string cmd = std::string(ZEM_PYTHON) + " " + ZEM_SOURCE_DIR + "/tests/protocol/" + script + " " + gen +
                                " " + arg;
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::vector<Expected> out;
        std::ifstream in(gen + "/manifest.txt");
        std::string line;
        while (std::getline(in, line)) {
            const auto f = SplitTabs(line);
            if (f.size() == 2 && f[0] == "skip") {
                *skip = FromHex(f[1]);
                return {};
            }
            if (f.size() == 2 && f[0] == "note") std::printf("note: %s\n", FromHex(f[1]).c_str());
            if (f.size() >= 2 && f[0] == "message") out.push_back({gen + "/" + f[1], f.back(), {}, {}});
            if (out.empty()) continue;
            if (f.size() == 3 && f[0] == "attach") out.back().files.emplace_back(FromHex(f[1]), f[2]);
            if (f.size() == 2 && f[0] == "text") out.back().texts.push_back(FromHex(f[1]));
        }
        EXPECT_FALSE(out.empty()) << "no messages from " << cmd;
        return out;
    }
    // Saves message N as out_/mN.txt with its attachments in AttachDir(N - 1): every file
    // named is written with its bytes and noted in the message file, nothing else is
    // written there, every text is in the message file; more() adds checks of the caller's.
    void RetrieveAndCheck(const std::vector<Expected> &messages, const std::function<void(const Expected &)> &more = {}) {
        std::vector<zt::Step> replies;
        for (const Expected &m : messages) replies.push_back(zt::SendFile(m.pop));
        zt::ScriptServer srv(Pop3Serving(replies));
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port()), 1);
        ASSERT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), 0);
        fs::create_directory(out_);
        for (size_t i = 0; i < messages.size(); ++i) {
            const Expected &m = messages[i];
            SCOPED_TRACE(m.source);
            const std::string att = AttachDir(i);
            fs::create_directory(att);
            const std::string name = "m" + std::to_string(i + 1) + ".txt";
            ASSERT_EQ(zemGetEmailFile(0, static_cast<int32_t>(i + 1), name.c_str(), out_.c_str(), att.c_str()), 0);
            const std::string saved = zt::ReadFile(out_ + "/" + name);
            std::vector<std::string> want;
            for (const auto &[file, orig] : m.files) {
                want.push_back(file);
                if (!fs::exists(att + "/" + file)) {
                    ADD_FAILURE() << "not written: " << file;
                    continue;
                }
                const std::string bytes = zt::ReadFile(orig);
                EXPECT_EQ(fs::file_size(att + "/" + file), bytes.size()) << file;
                EXPECT_TRUE(zt::ReadFile(att + "/" + file) == bytes) << file << " differs from the expected bytes";
                EXPECT_NE(saved.find("[Attachment saved to \"" + att + "/" + file + "\"]\r\n"), std::string::npos) << file;
            }
            std::sort(want.begin(), want.end());
            EXPECT_EQ(Listing(att), want);
            EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), static_cast<int32_t>(m.files.size()));
            for (const std::string &t : m.texts) EXPECT_NE(saved.find(t), std::string::npos) << "missing text: " << t;
            if (more) more(m);
        }
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000));
    }

    const std::string out_ = dir_ + "/out";
};

} // namespace mt
