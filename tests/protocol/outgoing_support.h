// Helpers of the outgoing-mail tests (UTF-8 texts, extensions, OAuth): a fixture that
// connects with EHLO to a scripted server offering what a test names, the data as the
// recipient reads it, and the independent check by Python's email package.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"
#include "zem32.h"

namespace ot {

using Lines = std::vector<std::string>;

inline void Add(zt::Script &s, std::initializer_list<zt::Step> steps) { s.insert(s.end(), steps.begin(), steps.end()); }

// Base64 of RFC 4648 in one line.
inline std::string B64(const std::string &data) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < data.size(); i += 3) {
        unsigned b0 = static_cast<uint8_t>(data[i]);
        unsigned b1 = i + 1 < data.size() ? static_cast<uint8_t>(data[i + 1]) : 0;
        unsigned b2 = i + 2 < data.size() ? static_cast<uint8_t>(data[i + 2]) : 0;
        out += kAlphabet[b0 >> 2];
        out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out += i + 1 < data.size() ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        out += i + 2 < data.size() ? kAlphabet[b2 & 63] : '=';
    }
    return out;
}

// A JSON string of UTF-8 text (non-ASCII passed through; the checker reads UTF-8), or
// with escape8Bit each byte of 128 and above as the code point of that value (Latin-1).
inline std::string Json(const std::string &s, bool escape8Bit = false) {
    std::string out = "\"";
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 32 || (escape8Bit && u >= 127)) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The data as the recipient reads it: one transparency dot removed from every line that
// starts with one (RFC 5321 section 4.5.2). Also reports a line that starts with a single
// dot, which the server would have taken as (the start of) the end of data.
inline std::string Unstuff(const std::string &data, bool *loneDot = nullptr) {
    std::string out;
    size_t pos = 0;
    if (loneDot) *loneDot = false;
    while (pos < data.size()) {
        size_t nl = data.find("\r\n", pos);
        size_t end = nl == std::string::npos ? data.size() : nl + 2;
        std::string line = data.substr(pos, end - pos);
        if (!line.empty() && line[0] == '.') {
            if (line.size() < 2 || line[1] != '.') {
                if (loneDot) *loneDot = true;
            } else {
                line.erase(0, 1);
            }
        }
        out += line;
        pos = end;
    }
    return out;
}

struct Report {
    int status = -1;
    std::string output;
    std::string dir;
    std::string PartFile(int n) const { return dir + "/out/part-" + std::to_string(n) + ".bin"; }
};

// mime_check.py on the un-stuffed data with an expected structure (a JSON object; UTF-8
// texts with utf8).
inline Report MimeCheck(const std::string &data, const std::string &expectJson, bool utf8 = false) {
    Report r;
    r.dir = zt::TempDir();
    zt::WriteFile(r.dir + "/message.eml", Unstuff(data));
    zt::WriteFile(r.dir + "/expect.json", expectJson);
    std::string cmd = std::string(ZEM_PYTHON) + " " + ZEM_SOURCE_DIR + "/tests/protocol/mime_check.py " + (utf8 ? "--utf8 " : "") + r.dir +
                      "/message.eml " + r.dir + "/out " + r.dir + "/expect.json 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

inline Report Utf8Check(const std::string &data, const std::string &expectJson) { return MimeCheck(data, expectJson, true); }

constexpr const char *kFrom = "<me@zem.test>";

// The greeting and an EHLO reply whose lines after the first are the offers given.
inline zt::Script Ehlo(const Lines &offers) {
    std::string reply = offers.empty() ? "250 mail.test\r\n" : "250-mail.test\r\n";
    for (size_t i = 0; i < offers.size(); ++i) reply += (i + 1 < offers.size() ? "250-" : "250 ") + offers[i] + "\r\n";
    return {zt::Send("220 mail.test ESMTP\r\n"), zt::Expect("EHLO zem.test"), zt::Send(reply)};
}

// The rest of a send after the envelope: the data, its reply, QUIT.
inline void AddDataAndQuit(zt::Script &s) {
    Add(s, {zt::ExpectData(), zt::Reply("250 queued"), zt::Expect("QUIT"), zt::Reply("221 bye")});
}

class OutgoingTest : public zt::LibTest {
  protected:
    void SetUp() override {
        zt::LibTest::SetUp();
        log_ = dir_ + "/session.log";
        ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log_.c_str()), 0);
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1), 1);
    }
    int32_t Connect(const zt::ScriptServer &srv, const char *from = kFrom, const char *replyTo = "") {
        EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port()), 1);
        return zemSmtpConnect(0, "127.0.0.1", from, replyTo);
    }
    std::string File(const std::string &name, const std::string &bytes) {
        std::string path = dir_ + "/" + name;
        zt::WriteFile(path, bytes);
        return path;
    }
    std::string Log() const { return zt::ReadFile(log_); }
    static zem::Channel &Ch() { return *zem::gChannelTable[0].ChannelPtr; }
    static std::string Debug(int32_t index) {
        char buf[4096];
        int32_t n = zemDebug(0, index, buf, sizeof buf);
        return std::string(buf, static_cast<size_t>(n > 0 ? n : 0));
    }

    std::string dir_ = zt::TempDir();
    std::string log_;
};

} // namespace ot
