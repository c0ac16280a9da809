// Retrieval into a directory that already holds files, links and a FIFO: attachments
// named after them, or named to climb out or to read as options, come out as new files,
// and nothing that was there before (nor what its links point to) changes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "lib_fixture.h"
#include "script_server.h"
#include "zem32.h"

namespace {

namespace fs = std::filesystem;
using zt::Expect;
using zt::Reply;
using zt::Send;

// Type letter ('f' file, 'l' link, 'p' FIFO, 'd' directory) and the bytes of a file or the
// target of a link, per entry name.
using Listing = std::map<std::string, std::pair<char, std::string>>;

Listing List(const std::string &dir) {
    Listing out;
    for (const auto &e : fs::directory_iterator(dir)) {
        const std::string path = e.path().string();
        const auto type = e.symlink_status().type();
        if (type == fs::file_type::symlink) out[e.path().filename()] = {'l', fs::read_symlink(path).string()};
        else if (type == fs::file_type::fifo) out[e.path().filename()] = {'p', ""};
        else if (type == fs::file_type::regular) out[e.path().filename()] = {'f', zt::ReadFile(path)};
        else out[e.path().filename()] = {'d', ""};
    }
    return out;
}

std::string Base64(const std::string &bytes) {
    std::string out(bytes.size() * 2 + 8, '\0');
    const int32_t n = zemEncodeBuffer(bytes.data(), &out[0], static_cast<int32_t>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

struct Attachment {
    std::string param; // the Content-Disposition parameter that names it
    std::string bytes;
};

// One multipart message (RFC 2046) with a text part and the attachments, ready for RETR.
std::string Message(int n, const std::vector<Attachment> &parts) {
    std::string m = "+OK\r\nFrom: attacker@example.org\r\nSubject: hostile names " + std::to_string(n) +
                    "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                    "--b\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n";
    for (const Attachment &a : parts)
        m += "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; " + a.param +
             "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Base64(a.bytes);
    return m + "--b--\r\n.\r\n";
}

class UntouchedFilesTest : public zt::LibTest {};

TEST_F(UntouchedFilesTest, NoFileOutsideTheNewOnesChanges) {
    const std::string base = zt::TempDir();
    const std::string dir = base + "/att";
    const std::string outside = base + "/outside";
    fs::create_directory(dir);
    fs::create_directory(outside);
    zt::WriteFile(dir + "/.bashrc", "export PS1='old'\n");
    zt::WriteFile(dir + "/msg-1.eml", "From: earlier@example.org\r\n\r\nan earlier message\r\n");
    zt::WriteFile(dir + "/report.pdf", "%PDF-1.4 the user's own report\n");
    zt::WriteFile(outside + "/secret.txt", "outside the directory\n");
    zt::WriteFile(outside + "/target.pdf", "a file a link points to\n");
    fs::create_symlink(outside + "/secret.txt", dir + "/notes.txt");
    fs::create_symlink(outside + "/target.pdf", dir + "/invoice.pdf"); // named like an attachment
    ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0644), 0);
    const Listing before = List(dir);
    const Listing outsideBefore = List(outside);

    const std::vector<std::vector<Attachment>> messages = {
        {{"filename=\".bashrc\"", "payload: dot file\n"},
         {"filename=msg-1.eml", "payload: message name\n"},
         {"filename=\"../x\"", "payload: climbs out\n"}},
        {{"filename*=utf-8''report.pdf", "payload: report\n"},
         {"filename=\"=?utf-8?Q?invoice.pdf?=\"", "payload: link name\n"},
         {"filename=\"=?utf-8?B?cGlwZQ==?=\"", "payload: FIFO name\n"}},
        {{"filename=\"-rf\"", "payload: option\n"}, {"filename*=utf-8''.bashrc%00.txt", "payload: NUL\n"}},
    };
    zt::Script steps = {Send("+OK POP3 server ready\r\n"), Expect("USER u"), Reply("+OK"), Expect("PASS p"),
                        Reply("+OK")};
    for (size_t i = 0; i < messages.size(); ++i) {
        steps.push_back(Expect("RETR " + std::to_string(i + 1)));
        steps.push_back(Send(Message(static_cast<int>(i + 1), messages[i])));
    }
    zt::ScriptServer srv(steps);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port()), 1);
    ASSERT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), 0);
    std::set<std::string> messageFiles;
    for (size_t i = 0; i < messages.size(); ++i) {
        const std::string name = "retrieved-" + std::to_string(i + 1) + ".eml";
        messageFiles.insert(name);
        EXPECT_EQ(zemGetEmailFile(0, static_cast<int32_t>(i + 1), name.c_str(), dir.c_str(), dir.c_str()), 0) << name;
    }
    EXPECT_TRUE(srv.Finish(5000));

    const Listing after = List(dir);
    for (const auto &[name, old] : before) {
        const auto it = after.find(name);
        ASSERT_NE(it, after.end()) << name << " is gone";
        EXPECT_EQ(it->second, old) << name << " changed";
    }
    EXPECT_EQ(List(outside), outsideBefore) << "a link's target changed";
    EXPECT_EQ(List(base).size(), 2u) << "something was written next to the directory";

    std::multiset<std::string> want;
    for (const auto &m : messages)
        for (const Attachment &a : m) want.insert(a.bytes);
    std::multiset<std::string> got;
    for (const auto &[name, entry] : after) {
        if (before.count(name) != 0 || messageFiles.count(name) != 0) continue;
        EXPECT_EQ(entry.first, 'f') << name;
        got.insert(entry.second);
    }
    EXPECT_EQ(got, want) << "every attachment in a new file of its own";
    fs::remove_all(base);
}

} // namespace
