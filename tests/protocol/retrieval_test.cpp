// Message retrieval against the scripted loopback server: TOP into a caller buffer and
// into library memory, RETR raw and line by line into a message file, the message path,
// the end of a multi-line reply and the failures on the way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"
#include "test_data.h"
#include "zem32.h"

namespace {

using zt::MsSince;

using zt::Expect;
using zt::Reply;
using zt::Send;

using zt::Clock;

zt::Script LoggedIn(const zt::Script &rest) {
    zt::Script s = {Send("+OK POP3 server ready\r\n"), Expect("USER u"), Reply("+OK"), Expect("PASS p"), Reply("+OK")};
    s.insert(s.end(), rest.begin(), rest.end());
    return s;
}

bool FileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }
bool HandleOpen(int32_t h) { return h > 0 && fcntl(h, F_GETFD) != -1; }

class RetrievalTest : public zt::LibTest {
  protected:
    void SetUp() override {
        zt::LibTest::SetUp();
        dir_ = zt::TempDir();
    }
    void Connect(const zt::ScriptServer &srv) {
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_POP3_PORT, srv.port()), 1);
        ASSERT_EQ(zemPop3Connect(0, "127.0.0.1", "u", "p"), 0);
    }
    static zem::Channel &Chan(int i = 0) { return *zem::gChannelTable[i].ChannelPtr; }
    static std::string LastReply() {
        char buf[200];
        int32_t n = zemDebug(0, ZEM_DEBUG_LAST_REPLY, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    int32_t Retrieve(int32_t msg, const char *name = "msg.txt") {
        return zemGetEmailFile(0, msg, name, dir_.c_str(), dir_.c_str());
    }
    std::string Saved(const char *name = "msg.txt") const { return zt::ReadFile(dir_ + "/" + name); }
    std::string dir_;
};

// A reply of exactly 300 bytes: status line, headers, a blank line and body lines.
std::string TopReply300() {
    std::string r = "+OK top of message follows\r\nFrom: a@example.org\r\nSubject: test\r\n\r\n";
    while (r.size() < 300 - 12) r += "body line.\r\n";
    r += std::string(300 - 2 - r.size(), 'x') + "\r\n";
    return r;
}

// ---- TOP --------------------------------------------------------------------------------

TEST_F(RetrievalTest, TopArgumentsAreCheckedInOrder) {
    char buf[200] = {}; // the library looks at the first bytes for the "*" mark
    EXPECT_EQ(zemGetEmailLines(0, 1, 5, buf, sizeof buf), ZEM_ERR_POP3_ONLY);
    Chan().Protocol = 'P';
    EXPECT_EQ(zemGetEmailLines(0, 0, 5, buf, sizeof buf), ZEM_ERR_NO_SUCH_MESSAGE);
    EXPECT_EQ(zemGetEmailLines(0, 1, 5, buf, 127), ZEM_ERR_BUFFER_SIZE);
    char twoStars[] = "**"; // a caller buffer, not the library-memory mark
    EXPECT_EQ(zemGetEmailLines(0, 1, 5, twoStars, 3), ZEM_ERR_BUFFER_SIZE);
    EXPECT_EQ(zemGetEmailFile(0, 0, "m", "", ""), ZEM_ERR_NO_SUCH_MESSAGE);
    EXPECT_EQ(zemGetEmailFile(0, 1, nullptr, "", ""), ZEM_ERR_MISSING_FILENAME);
    EXPECT_EQ(zemGetEmailFile(0, 1, "m", nullptr, ""), ZEM_ERR_MISSING_EMAIL_PATH);
    EXPECT_EQ(zemGetEmailFile(0, 1, "m", "", nullptr), ZEM_ERR_MISSING_ATTACH_PATH);
}

TEST_F(RetrievalTest, TopFillsA128ByteBufferWithoutNulAndReadsTheRest) {
    const std::string reply = TopReply300();
    ASSERT_EQ(reply.size(), 300u);
    zt::ScriptServer srv(LoggedIn({Expect("TOP 1 10"), Send(reply + ".\r\n"), Expect("STAT"), Reply("+OK 2 640")}));
    Connect(srv);
    std::vector<char> buf(160, '#');
    EXPECT_EQ(zemGetEmailLines(0, 1, 10, buf.data(), 128), 128);
    EXPECT_EQ(std::string(buf.data(), 128), reply.substr(0, 128)) << "the status line is the first line of the text";
    EXPECT_EQ(buf[128], '#') << "no NUL and nothing else after the text";
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES), 300);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_BUFFER_FILL), 128);
    EXPECT_EQ(zemGetEmailCount(0), 2) << "the rest of the TOP reply was consumed";
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(RetrievalTest, TopSendsANegativeLineCountAsZeroAndUnstuffsDots) {
    const std::string reply = "+OK\r\nSubject: dots\r\n\r\n..\r\n..two\r\n...\r\nplain\r\n.\r\n";
    zt::ScriptServer srv(LoggedIn({Expect("TOP 4 0"), Send(reply)}));
    Connect(srv);
    char buf[256];
    std::memset(buf, 0, sizeof buf);
    int32_t n = zemGetEmailLines(0, 4, -5, buf, sizeof buf);
    const std::string want = "+OK\r\nSubject: dots\r\n\r\n.\r\n.two\r\n..\r\nplain\r\n";
    EXPECT_EQ(n, static_cast<int32_t>(want.size()));
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), want);
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(RetrievalTest, TopIntoLibraryMemoryIsReadByDebug40AndWrittenByCode41) {
    const std::string body = "+OK\r\nSubject: kept\r\n\r\nfirst line\r\n";
    zt::ScriptServer srv(LoggedIn({Expect("TOP 2 1"), Send(body + ".\r\n"), Expect("TOP 3 1"),
                                   Send("+OK\r\nSubject: again\r\n.\r\n")}));
    Connect(srv);
    EXPECT_EQ(zemGetEmailLines(0, 2, 1, nullptr, 100), static_cast<int32_t>(body.size()));
    char out[300];
    EXPECT_EQ(zemDebug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, out, sizeof out), static_cast<int32_t>(body.size()));
    EXPECT_EQ(std::string(out), body);
    // Held: a second call without a buffer is refused and nothing is sent.
    char star[] = "*";
    EXPECT_EQ(zemGetEmailLines(0, 3, 1, star, 100), ZEM_ERR_NO_MEMORY);
    const std::string file = dir_ + "/top.txt";
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_WRITE_BUFFER, file.c_str()), static_cast<int32_t>(body.size()));
    EXPECT_EQ(zt::ReadFile(file), body);
    EXPECT_EQ(zemDebug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, out, sizeof out), ZEM_ERR_NULL_POINTER) << "the block was released";
    // Released: "*" works like a null buffer now.
    const std::string again = "+OK\r\nSubject: again\r\n";
    EXPECT_EQ(zemGetEmailLines(0, 3, 1, star, 100), static_cast<int32_t>(again.size()));
    EXPECT_EQ(zemDebug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, out, sizeof out), static_cast<int32_t>(again.size()));
    EXPECT_EQ(std::string(out), again);
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(RetrievalTest, LibraryMemoryKeepsOnlySizeBytes) {
    zt::ScriptServer srv(LoggedIn({Expect("TOP 1 0"), Send("+OK\r\n0123456789abcdef\r\n.\r\n")}));
    Connect(srv);
    EXPECT_EQ(zemGetEmailLines(0, 1, 0, nullptr, 10), 10);
    char out[64];
    EXPECT_EQ(zemDebug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, out, sizeof out), 10);
    EXPECT_EQ(std::string(out), "+OK\r\n01234");
}

TEST_F(RetrievalTest, RefusedTopEndsAtOnceWith63) {
    zt::ScriptServer srv(LoggedIn({Expect("TOP 8 5"), Reply("-ERR no such message")}));
    Connect(srv);
    char buf[128];
    auto start = Clock::now();
    EXPECT_EQ(zemGetEmailLines(0, 8, 5, buf, sizeof buf), ZEM_ERR_POP3);
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_EQ(LastReply(), "-ERR no such message");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 500);
}

TEST_F(RetrievalTest, TopCutOffByTheServerFailsWithMinus1) {
    zt::ScriptServer srv(LoggedIn({Expect("TOP 1 5"), Send("+OK\r\nSubject: x\r\n"), zt::Close()}));
    Connect(srv);
    char buf[128];
    EXPECT_EQ(zemGetEmailLines(0, 1, 5, buf, sizeof buf), ZEM_ERR_SOCKET_CLOSED);
}

// ---- RETR, line mode ----------------------------------------------------------------------

TEST_F(RetrievalTest, LineModeSavesTheMessageWithoutStatusAndEndLines) {
    const std::string longLine = std::string(1500, 'L') + "\r\n";
    // A long line comes in pieces; one that happens to start with a dot is no end line.
    const std::string dottedLong = std::string(1023, 'M') + ".\r\n";
    const std::string sent = "+OK 512 octets\r\n"
                             "From: someone@example.org\r\n"
                             "Subject: plain text\r\n"
                             "\r\n"
                             "+OK this body line looks like a status line\r\n"
                             "..\r\n"
                             "..leading dot\r\n"
                             "...\r\n" +
                             longLine + dottedLong + "last line\r\n.\r\n";
    const std::string want = "From: someone@example.org\r\n"
                             "Subject: plain text\r\n"
                             "\r\n"
                             "+OK this body line looks like a status line\r\n"
                             ".\r\n"
                             ".leading dot\r\n"
                             "..\r\n" +
                             longLine + dottedLong + "last line\r\n";
    zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send(sent), Expect("STAT"), Reply("+OK 1 512")}));
    Connect(srv);
    EXPECT_EQ(Retrieve(1), 0);
    EXPECT_EQ(Saved(), want);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES), static_cast<int32_t>(want.size()));
    EXPECT_EQ(Chan().EmailFile, 0) << "the message file is closed";
    EXPECT_EQ(zemGetEmailCount(0), 1);
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(RetrievalTest, AnyDecodeStateButRawActsAsLineMode) {
    const int states[] = {0, 3, 7};
    zt::Script steps;
    for (int i = 0; i < 3; ++i) {
        steps.push_back(Expect("RETR 1"));
        steps.push_back(Send("+OK\r\nSubject: s\r\n\r\nbody\r\n.\r\n"));
    }
    zt::ScriptServer srv(LoggedIn(steps));
    Connect(srv);
    for (int s : states) {
        zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, s);
        EXPECT_EQ(Retrieve(1), 0) << s;
        EXPECT_EQ(Saved(), "Subject: s\r\n\r\nbody\r\n") << s;
    }
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(RetrievalTest, RefusedRetrEndsAtOnceWithAnEmptyClosedFile) {
    zt::ScriptServer srv(LoggedIn({Expect("RETR 5"), Reply("-ERR no such message")}));
    Connect(srv);
    auto start = Clock::now();
    EXPECT_EQ(Retrieve(5), ZEM_ERR_POP3);
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_TRUE(FileExists(dir_ + "/msg.txt"));
    EXPECT_EQ(Saved(), "");
    EXPECT_EQ(Chan().EmailFile, 0);
    EXPECT_EQ(LastReply(), "-ERR no such message");
}

TEST_F(RetrievalTest, LineModeCutOffByTheServerFailsWithMinus1AfterClosingTheFile) {
    zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\nSubject: s\r\n\r\nfirst\r\n"), zt::Close()}));
    Connect(srv);
    EXPECT_EQ(Retrieve(1), ZEM_ERR_SOCKET_CLOSED);
    EXPECT_EQ(Chan().EmailFile, 0);
    EXPECT_EQ(Saved(), "Subject: s\r\n\r\nfirst\r\n");
}

TEST_F(RetrievalTest, SilentServerTimesOutAndTheNextRetrievalClosesTheLeftFile) {
    zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, 400);
    zemIntegerParam(0, ZEM_PARAM_POP3_DATA_WAIT, 300);
    zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\nhalf a message\r\n"), zt::Never()}));
    Connect(srv);
    EXPECT_EQ(Retrieve(1), ZEM_ERR_TIMED_OUT);
    const int32_t left = Chan().EmailFile;
    ASSERT_TRUE(HandleOpen(left)) << "a time-out leaves the message file open";
    // The next call closes it, even when it then fails on its own path.
    const std::string tooLong(200, 'd');
    EXPECT_EQ(zemGetEmailFile(0, 1, "m", tooLong.c_str(), dir_.c_str()), ZEM_ERR_CANNOT_CREATE_FILE);
    EXPECT_FALSE(HandleOpen(left));
    EXPECT_EQ(Chan().EmailFile, 0);
    EXPECT_EQ(Saved(), "half a message\r\n");
}

TEST_F(RetrievalTest, FailedWriteEndsTheRetrievalWith67) {
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\nSubject: s\r\n\r\nbody\r\n.\r\n")}));
    Connect(srv);
    EXPECT_EQ(zemGetEmailFile(0, 1, "full", "/dev", dir_.c_str()), ZEM_ERR_CANNOT_CREATE_FILE);
    EXPECT_EQ(Chan().EmailFile, 0);
}

TEST_F(RetrievalTest, FailedRawWriteEndsTheRetrievalWith67) {
    if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
    zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\nbody\r\n.\r\n")}));
    Connect(srv);
    EXPECT_EQ(zemGetEmailFile(0, 1, "full", "/dev/", dir_.c_str()), ZEM_ERR_CANNOT_CREATE_FILE);
}

// ---- RETR, raw --------------------------------------------------------------------------

TEST_F(RetrievalTest, RawModeSavesEverythingAndEndsWithTheDotLine) {
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
    const std::string sent = "+OK 40 octets\r\nSubject: raw\r\n\r\n..stuffed\r\n+OK body\r\n.\r\n";
    zt::ScriptServer srv(LoggedIn({Expect("RETR 2"), Send(sent), Expect("STAT"), Reply("+OK 3 99")}));
    Connect(srv);
    auto start = Clock::now();
    EXPECT_EQ(Retrieve(2), 0);
    EXPECT_LT(MsSince(start), 3000) << "the end line ends the save, not a pause";
    EXPECT_EQ(Saved(), sent);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES), static_cast<int32_t>(sent.size()));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES_SENT), static_cast<int32_t>(sent.size()));
    EXPECT_EQ(Chan().SaveRaw, 1) << "raw mode stays selected";
    EXPECT_EQ(zemGetEmailCount(0), 3);
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(RetrievalTest, RawModeFindsTheEndLineAcrossReads) {
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
    const std::vector<std::vector<std::string>> splits = {
        {"+OK\r\nline one\r\n", ".", "\r\n"},
        {"+OK\r\nline one\r", "\n.\r", "\n"},
        {"+OK\r\nline one\r\n.", "\r", "\n"},
        {"+OK\r\n", ".\r\n"}, // an empty message: the end line comes first
        {"+OK\r\n.\r\n"},
    };
    zt::Script steps;
    for (const auto &chunks : splits) {
        steps.push_back(Expect("RETR 1"));
        steps.push_back(zt::SendChunks(chunks, 60));
    }
    steps.push_back(Expect("STAT"));
    steps.push_back(Reply("+OK 0 0"));
    zt::ScriptServer srv(LoggedIn(steps));
    Connect(srv);
    for (const auto &chunks : splits) {
        std::string all;
        for (const auto &c : chunks) all += c;
        auto start = Clock::now();
        EXPECT_EQ(Retrieve(1), 0) << all;
        EXPECT_LT(MsSince(start), 3000) << all;
        EXPECT_EQ(Saved(), all);
    }
    EXPECT_EQ(zemGetEmailCount(0), 0);
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(RetrievalTest, RawModeLeavesBytesAfterTheEndLineForTheNextRequest) {
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
    // The STAT reply arrives in the same read as the message's end.
    zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\nx\r\n.\r\n+OK 6 600\r\n"), Expect("STAT")}));
    Connect(srv);
    EXPECT_EQ(Retrieve(1), 0);
    EXPECT_EQ(Saved(), "+OK\r\nx\r\n.\r\n");
    EXPECT_EQ(zemGetEmailCount(0), 6);
}

TEST_F(RetrievalTest, RawModeRefusalEndsWith63) {
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
    zt::ScriptServer srv(LoggedIn({Expect("RETR 3"), Reply("-ERR no such message")}));
    Connect(srv);
    auto start = Clock::now();
    EXPECT_EQ(Retrieve(3), ZEM_ERR_POP3);
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_EQ(Saved(), "");
    EXPECT_EQ(Chan().EmailFile, 0);
}

TEST_F(RetrievalTest, RawModeWithoutEndLineFailsWithTimeOutOrClose) {
    zemIntegerParam(0, ZEM_PARAM_DECODE_STATE, 1);
    {
        zemIntegerParam(0, ZEM_PARAM_POP3_DATA_WAIT, 300);
        zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\npart of it\r\n"), zt::Never()}));
        Connect(srv);
        EXPECT_EQ(Retrieve(1), ZEM_ERR_TIMED_OUT);
        EXPECT_EQ(Saved(), "+OK\r\npart of it\r\n");
        EXPECT_EQ(Chan().EmailFile, 0);
    }
    zemIntegerParam(0, ZEM_PARAM_POP3_DATA_WAIT, 25000);
    {
        zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\npart of it\r\n"), zt::Close()}));
        Connect(srv);
        EXPECT_EQ(Retrieve(1), ZEM_ERR_SOCKET_CLOSED);
        EXPECT_EQ(Saved(), "+OK\r\npart of it\r\n");
    }
}

// ---- The message path ----------------------------------------------------------------------

TEST_F(RetrievalTest, MessagePathJoinsWithASlashOnlyWhereNeeded) {
    zt::Script steps;
    for (int i = 0; i < 4; ++i) {
        steps.push_back(Expect("RETR 1"));
        steps.push_back(Send("+OK\r\nbody\r\n.\r\n"));
    }
    zt::ScriptServer srv(LoggedIn(steps));
    Connect(srv);
    EXPECT_EQ(zemGetEmailFile(0, 1, "a.txt", dir_.c_str(), ""), 0);
    EXPECT_EQ(std::string(Chan().EmailPath), dir_ + "/a.txt");
    EXPECT_EQ(zt::ReadFile(dir_ + "/a.txt"), "body\r\n");
    const std::string slash = dir_ + "/";
    EXPECT_EQ(zemGetEmailFile(0, 1, "b.txt", slash.c_str(), ""), 0);
    EXPECT_EQ(std::string(Chan().EmailPath), dir_ + "/b.txt");
    const std::string backslash = dir_ + "/sub\\";
    EXPECT_EQ(zemGetEmailFile(0, 1, "c.txt", backslash.c_str(), ""), 0);
    EXPECT_EQ(std::string(Chan().EmailPath), dir_ + "/sub\\c.txt");
    EXPECT_TRUE(FileExists(dir_ + "/sub\\c.txt"));
    // An empty directory is the current one, never the root.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    int32_t r = zemGetEmailFile(0, 1, "d.txt", "", "");
    const std::string path = Chan().EmailPath;
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(path, "d.txt");
    EXPECT_EQ(zt::ReadFile(dir_ + "/d.txt"), "body\r\n");
    EXPECT_TRUE(srv.Finish(2000));
}

TEST_F(RetrievalTest, NamedFilesReplaceALinkInsteadOfWritingThroughIt) {
    // The message file, the log and the retrieval buffer's file: a link planted under the
    // name is replaced by a new file; the file it points to stays as it was.
    const std::string outside = dir_ + "/outside";
    zt::WriteFile(outside, "keep me");
    for (const char *name : {"msg.txt", "log.txt", "top.txt"}) symlink(outside.c_str(), (dir_ + "/" + name).c_str());
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, (dir_ + "/log.txt").c_str()), 0);
    zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\nSubject: s\r\n\r\nbody\r\n.\r\n"),
                                   Expect("TOP 1 0"), Send("+OK\r\nSubject: s\r\n.\r\n")}));
    Connect(srv);
    EXPECT_EQ(Retrieve(1), 0);
    EXPECT_EQ(Saved(), "Subject: s\r\n\r\nbody\r\n");
    EXPECT_GT(zemGetEmailLines(0, 1, 0, nullptr, 100), 0);
    EXPECT_GT(zemStringParam(0, ZEM_STRING_WRITE_BUFFER, (dir_ + "/top.txt").c_str()), 0);
    EXPECT_EQ(zt::ReadFile(outside), "keep me");
    struct stat st {};
    for (const char *name : {"msg.txt", "log.txt", "top.txt"}) {
        ASSERT_EQ(lstat((dir_ + "/" + name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    }
    EXPECT_NE(zt::ReadFile(dir_ + "/log.txt").find("RETR 1"), std::string::npos);
    // An existing message file is replaced whole, as a caller naming it expects.
    zt::WriteFile(dir_ + "/again.txt", std::string(5000, 'o'));
    zt::ScriptServer srv2(LoggedIn({Expect("RETR 2"), Send("+OK\r\nshort\r\n.\r\n")}));
    zemAbort(0);
    Connect(srv2);
    EXPECT_EQ(Retrieve(2, "again.txt"), 0);
    EXPECT_EQ(Saved("again.txt"), "short\r\n");
}

TEST_F(RetrievalTest, MessagePathThatDoesNotFitIsRefusedBeforeAnythingIsSent) {
    zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\nbody\r\n.\r\n")}));
    Connect(srv);
    // 129 characters is the most the path holds.
    const std::string dir120 = "/" + std::string(119, 'd');
    const std::string name8(8, 'n');
    const std::string name9(9, 'n');
    EXPECT_EQ(zemGetEmailFile(0, 1, name9.c_str(), dir120.c_str(), ""), ZEM_ERR_CANNOT_CREATE_FILE);
    EXPECT_EQ(zemGetEmailFile(0, 1, std::string(129, 'n').c_str(), "", ""), ZEM_ERR_CANNOT_CREATE_FILE);
    EXPECT_EQ(zemGetEmailFile(0, 1, "n", ("/" + std::string(128, 'd')).c_str(), ""), ZEM_ERR_CANNOT_CREATE_FILE);
    EXPECT_EQ(zemGetEmailFile(0, 1, name9.c_str(), (dir120 + "/").c_str(), ""), ZEM_ERR_CANNOT_CREATE_FILE);
    EXPECT_EQ(srv.received(), "USER u\r\nPASS p\r\n") << "no RETR for a refused path";
    // One that fits exactly is tried: the directory does not exist, so creating fails.
    EXPECT_EQ(zemGetEmailFile(0, 1, name8.c_str(), dir120.c_str(), ""), ZEM_ERR_CANNOT_CREATE_FILE);
    EXPECT_EQ(std::string(Chan().EmailPath), dir120 + "/" + name8);
    EXPECT_EQ(srv.received(), "USER u\r\nPASS p\r\n");
}

TEST_F(RetrievalTest, NonBlockingRetrievalRunsUnderTheCallersDriverCalls) {
    zt::ScriptServer srv(LoggedIn({Expect("RETR 1"), Send("+OK\r\nSubject: nb\r\n\r\nbody\r\n.\r\n")}));
    Connect(srv);
    zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0);
    EXPECT_EQ(Retrieve(1), 0);
    int32_t r;
    auto start = Clock::now();
    while ((r = zemDriver(0)) > 0 && MsSince(start) < 5000) {
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(Saved(), "Subject: nb\r\n\r\nbody\r\n");
}

} // namespace
