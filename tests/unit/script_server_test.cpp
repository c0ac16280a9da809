// Checks the scripted loopback server with plain POSIX client sockets.
#include "script_server.h"
#include "test_data.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using zt::MsSince;

using zt::Clock;

// True when text contains part; the message shows the whole text on failure.
testing::AssertionResult Contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "'" << text << "' does not contain '" << part << "'";
}


// A minimal blocking client with bounded reads.
class Client {
public:
    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        err_ = connected_ ? 0 : errno;
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    int error() const { return err_; }

    bool Send(const std::string& s) {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::send(fd_, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads until `want` bytes are buffered, EOF, or the time limit. Returns what it got.
    std::string Read(size_t want, int timeoutMs = 3000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buf_.size() < want && !eof_ && Clock::now() < deadline) Fill(deadline);
        size_t n = std::min(want, buf_.size());
        std::string out = buf_.substr(0, n);
        buf_.erase(0, n);
        return out;
    }

    // Reads one line through LF (or whatever arrived before EOF / the time limit).
    std::string ReadLine(int timeoutMs = 3000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buf_.find('\n') == std::string::npos && !eof_ && Clock::now() < deadline) Fill(deadline);
        size_t nl = buf_.find('\n');
        size_t n = nl == std::string::npos ? buf_.size() : nl + 1;
        std::string out = buf_.substr(0, n);
        buf_.erase(0, n);
        return out;
    }

    // True when the server closed its side (recv returned 0) within the limit.
    bool WaitEof(int timeoutMs = 3000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!eof_ && Clock::now() < deadline) Fill(deadline);
        return eof_;
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    void Fill(Clock::time_point deadline) {
        long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::max(0L, left))) <= 0) return;
        char b[65536];
        ssize_t n = ::recv(fd_, b, sizeof b, 0);
        if (n > 0)
            buf_.append(b, static_cast<size_t>(n));
        else
            eof_ = true;  // 0 or reset: either way nothing more will come
    }

    int fd_ = -1;
    bool connected_ = false;
    int err_ = 0;
    bool eof_ = false;
    std::string buf_;
};

// ---- Conversations -------------------------------------------------------------------

TEST(ScriptServerConversation, RunsAnSmtpExchangeByteForByte) {
    zt::Script s = {
        zt::Send("220 mail.test ESMTP\r\n"),
        zt::Expect("EHLO zem.test"),
        zt::Reply("250-mail.test\r\n250 AUTH LOGIN PLAIN"),
        zt::Expect("MAIL FROM:<a@zem.test>"),
        zt::Reply("250 ok"),
        zt::Expect("DATA"),
        zt::Reply("354 go"),
        zt::ExpectData(),
        zt::Reply("250 queued"),
        zt::Expect("QUIT"),
        zt::Reply("221 bye"),
        zt::Close(),
    };
    zt::ScriptServer srv(s);
    ASSERT_GT(srv.port(), 0);
    Client c(srv.port());
    ASSERT_TRUE(c.connected());

    EXPECT_EQ(c.ReadLine(), "220 mail.test ESMTP\r\n");
    c.Send("EHLO zem.test\r\n");
    EXPECT_EQ(c.ReadLine(), "250-mail.test\r\n");
    EXPECT_EQ(c.ReadLine(), "250 AUTH LOGIN PLAIN\r\n");
    c.Send("MAIL FROM:<a@zem.test>\r\n");
    EXPECT_EQ(c.ReadLine(), "250 ok\r\n");
    c.Send("DATA\r\n");
    EXPECT_EQ(c.ReadLine(), "354 go\r\n");
    const std::string body = "Subject: hi\r\n\r\nline one\r\n";
    c.Send(body + ".\r\n");
    EXPECT_EQ(c.ReadLine(), "250 queued\r\n");
    c.Send("QUIT\r\n");
    EXPECT_EQ(c.ReadLine(), "221 bye\r\n");
    EXPECT_TRUE(c.WaitEof());

    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_TRUE(srv.errors().empty());
    EXPECT_EQ(srv.received(),
              "EHLO zem.test\r\nMAIL FROM:<a@zem.test>\r\nDATA\r\n" + body + ".\r\nQUIT\r\n");
    EXPECT_EQ(srv.data(), body);
    EXPECT_EQ(srv.dataBytes(), body.size());
    EXPECT_EQ(srv.accepted(), 1);
}

TEST(ScriptServerConversation, MismatchIsReportedAndClosesTheConnection) {
    zt::Script s = {zt::Send("220 x\r\n"), zt::Expect("EHLO zem.test"), zt::Reply("250 never sent")};
    zt::ScriptServer srv(s);
    Client c(srv.port());
    EXPECT_EQ(c.ReadLine(), "220 x\r\n");
    c.Send("HELO zem.test\r\n");
    EXPECT_TRUE(c.WaitEof());
    EXPECT_FALSE(srv.Finish(3000));
    ASSERT_EQ(srv.errors().size(), 1u);
    EXPECT_EQ(srv.errors()[0], "expected 'EHLO zem.test\\r\\n', got 'HELO zem.test\\r\\n'");
    EXPECT_EQ(srv.received(), "HELO zem.test\r\n");
}

TEST(ScriptServerConversation, PrefixAndAnyLinesPassPrefixMismatchFails) {
    zt::Script s = {zt::ExpectPrefix("Date: "), zt::ExpectAny(), zt::ExpectPrefix("To: "), zt::Reply("ok")};
    zt::ScriptServer srv(s);
    Client c(srv.port());
    c.Send("Date: Mon, 1 Jan 2024 00:00:00 +0000\r\nwhatever\r\nCc: x\r\n");
    EXPECT_TRUE(c.WaitEof());  // closed on the third line, "ok" never comes
    EXPECT_FALSE(srv.Finish(3000));
    ASSERT_EQ(srv.errors().size(), 1u);
    EXPECT_EQ(srv.errors()[0], "expected a line starting with 'To: ', got 'Cc: x\\r\\n'");
    EXPECT_EQ(srv.received(), "Date: Mon, 1 Jan 2024 00:00:00 +0000\r\nwhatever\r\nCc: x\r\n");
}

TEST(ScriptServerConversation, ExpectTimesOutOnASilentClient) {
    zt::Script s = {zt::Expect("EHLO a", 200), zt::Reply("250 ok")};
    zt::ScriptServer srv(s);
    Client c(srv.port());
    c.Send("EHL");  // a partial line and then silence
    auto t0 = Clock::now();
    EXPECT_TRUE(c.WaitEof(3000));
    EXPECT_LT(MsSince(t0), 2000);
    EXPECT_FALSE(srv.Finish(3000));
    ASSERT_EQ(srv.errors().size(), 1u);
    EXPECT_EQ(srv.errors()[0], "expected 'EHLO a\\r\\n', got 'EHL' without end of line within 200 ms");
    EXPECT_EQ(srv.received(), "EHL");
}

TEST(ScriptServerConversation, EndOfStreamDuringExpectIsAnError) {
    zt::Script s = {zt::Expect("QUIT")};
    zt::ScriptServer srv(s);
    {
        Client c(srv.port());
    }
    EXPECT_FALSE(srv.Finish(3000));
    ASSERT_EQ(srv.errors().size(), 1u);
    EXPECT_EQ(srv.errors()[0], "expected 'QUIT\\r\\n', got end of stream");
}

TEST(ScriptServerConversation, FinishFailsWhenNobodyConnects) {
    zt::ScriptServer srv({zt::Send("220 x\r\n")});
    auto t0 = Clock::now();
    EXPECT_FALSE(srv.Finish(200));
    EXPECT_GE(MsSince(t0), 190);
    EXPECT_EQ(srv.accepted(), 0);
    EXPECT_EQ(srv.received(), "");
}

// ---- Timing and closing --------------------------------------------------------------

TEST(ScriptServerTiming, ChunksArriveWithTheDelayBetweenThem) {
    zt::Script s = {zt::SendChunks({"250-first\r\n", "250 second\r\n"}, 300)};
    zt::ScriptServer srv(s);
    Client c(srv.port());
    EXPECT_EQ(c.ReadLine(), "250-first\r\n");
    auto t0 = Clock::now();
    EXPECT_EQ(c.ReadLine(), "250 second\r\n");
    EXPECT_GE(MsSince(t0), 250);
    EXPECT_TRUE(srv.Finish(3000));
}

TEST(ScriptServerTiming, PauseDelaysTheNextStep) {
    zt::Script s = {zt::Send("a\r\n"), zt::Pause(300), zt::Send("b\r\n")};
    zt::ScriptServer srv(s);
    Client c(srv.port());
    EXPECT_EQ(c.ReadLine(), "a\r\n");
    auto t0 = Clock::now();
    EXPECT_EQ(c.ReadLine(), "b\r\n");
    EXPECT_GE(MsSince(t0), 250);
}

TEST(ScriptServerClosing, CloseGivesTheClientEndOfStream) {
    zt::Script s = {zt::Send("421 going away\r\n"), zt::Close()};
    zt::ScriptServer srv(s);
    Client c(srv.port());
    EXPECT_EQ(c.ReadLine(), "421 going away\r\n");
    EXPECT_TRUE(c.WaitEof());
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_TRUE(srv.WaitDisconnected(3000));
}

TEST(ScriptServerClosing, StepsAfterCloseAreAnError) {
    zt::ScriptServer srv({zt::Close(), zt::Send("never\r\n")});
    Client c(srv.port());
    EXPECT_TRUE(c.WaitEof());
    EXPECT_EQ(c.Read(100, 100), "");
    EXPECT_FALSE(srv.Finish(3000));
    ASSERT_EQ(srv.errors().size(), 1u);
    EXPECT_TRUE(Contains(srv.errors()[0], "after Close()"));
}

TEST(ScriptServerClosing, HoldRecordsWhatTheClientSendsAfterTheLastStep) {
    zt::ScriptServer srv({zt::Send("+OK\r\n")});
    Client c(srv.port());
    EXPECT_EQ(c.ReadLine(), "+OK\r\n");
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_FALSE(srv.WaitDisconnected(100));  // held open while the client stays
    c.Send("QUIT\r\n");
    c.Close();
    EXPECT_TRUE(srv.WaitDisconnected(3000));
    EXPECT_EQ(srv.received(), "QUIT\r\n");
}

TEST(ScriptServerClosing, WaitCloseRecordsUntilTheClientCloses) {
    zt::ScriptServer srv({zt::Send("221 bye\r\n"), zt::WaitClose(3000)});
    Client c(srv.port());
    EXPECT_EQ(c.ReadLine(), "221 bye\r\n");
    c.Send("late");
    c.Close();
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_EQ(srv.received(), "late");
}

TEST(ScriptServerClosing, WaitCloseFailsWhenTheClientStays) {
    zt::ScriptServer srv({zt::WaitClose(200)});
    Client c(srv.port());
    EXPECT_TRUE(c.WaitEof(3000));
    EXPECT_FALSE(srv.Finish(3000));
    ASSERT_EQ(srv.errors().size(), 1u);
    EXPECT_EQ(srv.errors()[0], "expected the client to close the connection, got nothing within 200 ms");
}

TEST(ScriptServerClosing, NeverAnswersButCountsAsReached) {
    zt::ScriptServer srv({zt::Send("220 x\r\n"), zt::Never()});
    Client c(srv.port());
    EXPECT_EQ(c.ReadLine(), "220 x\r\n");
    c.Send("EHLO a\r\n");
    EXPECT_EQ(c.ReadLine(300), "");
    EXPECT_FALSE(c.WaitEof(100));
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_FALSE(srv.WaitDisconnected(100));
}

TEST(ScriptServerClosing, DestructorIsPromptWhileClientsAreIdle) {
    const std::vector<zt::Script> scripts = {
        {zt::Send("220 x\r\n"), zt::Expect("EHLO a")},  // waiting in an Expect
        {zt::Send("220 x\r\n")},                         // holding after the last step
        {zt::Send("220 x\r\n"), zt::Never()},
        {zt::Send("220 x\r\n"), zt::Pause(60000)},
        {zt::Send("220 x\r\n"), zt::ExpectData()},
        {zt::Send("220 x\r\n"), zt::WaitClose(60000)},
    };
    for (size_t i = 0; i < scripts.size(); ++i) {
        SCOPED_TRACE("script " + std::to_string(i));
        auto srv = std::make_unique<zt::ScriptServer>(scripts[i]);
        Client c(srv->port());
        EXPECT_EQ(c.ReadLine(), "220 x\r\n");
        auto t0 = Clock::now();
        srv.reset();
        EXPECT_LT(MsSince(t0), 1000);
        EXPECT_TRUE(c.WaitEof());  // the server's side is gone
    }
    // And with a server nobody connected to.
    auto srv = std::make_unique<zt::ScriptServer>(zt::Script{zt::Send("x")}, 4);
    auto t0 = Clock::now();
    srv.reset();
    EXPECT_LT(MsSince(t0), 1000);
}

// ---- Several connections -------------------------------------------------------------

TEST(ScriptServerConnections, EachConnectionHasItsOwnRecord) {
    zt::Script s = {zt::Send("hi\r\n"), zt::ExpectAny(), zt::Reply("ok"), zt::Close()};
    zt::ScriptServer srv(s, 3);
    for (int i = 0; i < 3; ++i) {
        Client c(srv.port());
        EXPECT_EQ(c.ReadLine(), "hi\r\n");  // accepted before the next one connects
        c.Send("client " + std::to_string(i) + "\r\n");
        EXPECT_EQ(c.ReadLine(), "ok\r\n");
        EXPECT_TRUE(c.WaitEof());
    }
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_EQ(srv.accepted(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(srv.received(i), "client " + std::to_string(i) + "\r\n");
    EXPECT_EQ(srv.received(), srv.received(0));
    EXPECT_EQ(srv.received(3), "");
}

TEST(ScriptServerConnections, ErrorsNameTheConnection) {
    zt::ScriptServer srv({zt::Expect("A")}, 2);
    Client c0(srv.port());
    c0.Send("A\r\n");
    EXPECT_TRUE(srv.Finish(100) == false);  // the second has not come yet
    Client c1(srv.port());
    c1.Send("B\r\n");
    EXPECT_FALSE(srv.Finish(3000));
    std::vector<std::string> errs = srv.errors();
    ASSERT_EQ(errs.size(), 1u);
    EXPECT_EQ(errs[0], "connection 1: expected 'A\\r\\n', got 'B\\r\\n'");
    EXPECT_TRUE(srv.errors(0).empty());
    EXPECT_EQ(srv.errors(1).size(), 1u);
}

TEST(ScriptServerConnections, ServesManyConcurrentClients) {
    const int n = 128;
    zt::Script s = {zt::Send("+OK ready\r\n"), zt::ExpectPrefix("USER "), zt::Reply("+OK"), zt::Expect("QUIT"),
                    zt::Reply("+OK bye"), zt::Close()};
    zt::ScriptServer srv(s, n);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < n; ++i) {
        clients.push_back(std::make_unique<Client>(srv.port()));
        ASSERT_TRUE(clients.back()->connected());
    }
    for (int i = 0; i < n; ++i) clients[i]->Send("USER u" + std::to_string(i) + "\r\n");
    for (int i = 0; i < n; ++i) EXPECT_EQ(clients[i]->ReadLine(), "+OK ready\r\n");
    for (int i = 0; i < n; ++i) EXPECT_EQ(clients[i]->ReadLine(), "+OK\r\n");
    for (int i = 0; i < n; ++i) clients[i]->Send("QUIT\r\n");
    for (int i = 0; i < n; ++i) EXPECT_EQ(clients[i]->ReadLine(), "+OK bye\r\n");
    EXPECT_TRUE(srv.Finish(10000));
    EXPECT_EQ(srv.accepted(), n);
    std::set<std::string> got, want;
    for (int i = 0; i < n; ++i) {
        got.insert(srv.received(i));
        want.insert("USER u" + std::to_string(i) + "\r\nQUIT\r\n");
    }
    EXPECT_EQ(got, want);
}

// ---- Message bodies ------------------------------------------------------------------

TEST(ScriptServerData, KeepsDotLinesAndStopsOnlyAtTheLoneDot) {
    zt::ScriptServer srv({zt::ExpectData(), zt::Reply("250 ok")});
    Client c(srv.port());
    const std::string body = "..\r\n..stuffed\r\n. space\r\n.\n.x\r\nbare\rcr\r\n";
    // Written in small pieces so that lines and the terminator straddle reads.
    const std::string wire = body + ".\r\n";
    for (size_t i = 0; i < wire.size(); i += 3) {
        c.Send(wire.substr(i, 3));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(c.ReadLine(), "250 ok\r\n");
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_EQ(srv.data(), body);
    EXPECT_EQ(srv.dataBytes(), body.size());
    EXPECT_EQ(srv.received(), wire);
}

TEST(ScriptServerData, EmptyBodyAndLastBodyWins) {
    zt::ScriptServer srv({zt::ExpectData(), zt::ExpectData(), zt::Reply("done")});
    Client c(srv.port());
    c.Send("first\r\n.\r\n.\r\n");
    EXPECT_EQ(c.ReadLine(), "done\r\n");
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_EQ(srv.data(), "");
    EXPECT_EQ(srv.dataBytes(), 0u);
    EXPECT_EQ(srv.received(), "first\r\n.\r\n.\r\n");
}

TEST(ScriptServerData, UnrecordedBodyIsCountedOnly) {
    zt::ScriptServer srv({zt::Expect("DATA"), zt::ExpectData(false), zt::Reply("250 ok")});
    Client c(srv.port());
    std::string line(998, 'x');
    line += "\r\n";
    std::string body;
    while (body.size() < 10u * 1024 * 1024) body += line;
    std::thread writer([&] { c.Send("DATA\r\n" + body + ".\r\n"); });
    EXPECT_EQ(c.ReadLine(20000), "250 ok\r\n");
    writer.join();
    EXPECT_TRUE(srv.Finish(3000));
    EXPECT_EQ(srv.dataBytes(), body.size());
    EXPECT_EQ(srv.data(), "");
    EXPECT_EQ(srv.received(), "DATA\r\n.\r\n");
}

TEST(ScriptServerData, EndOfStreamInsideDataIsAnError) {
    zt::ScriptServer srv({zt::ExpectData()});
    {
        Client c(srv.port());
        c.Send("line\r\npart");
    }
    EXPECT_FALSE(srv.Finish(3000));
    ASSERT_EQ(srv.errors().size(), 1u);
    EXPECT_TRUE(Contains(srv.errors()[0], "end of stream after 10 bytes of data"));
    EXPECT_EQ(srv.data(), "line\r\npart");
}

// ---- Large sends ---------------------------------------------------------------------

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 977) % 26);
    return s;
}

TEST(ScriptServerLarge, SendsSeveralMegabytesIntact) {
    const std::string big = Pattern(6u * 1024 * 1024);
    zt::ScriptServer srv({zt::Send(big), zt::Reply("end")});
    Client c(srv.port());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the socket buffers fill up
    EXPECT_TRUE(c.Read(big.size(), 20000) == big);
    EXPECT_EQ(c.ReadLine(), "end\r\n");
    EXPECT_TRUE(srv.Finish(3000));
}

TEST(ScriptServerLarge, SendFileSendsTheFileAndMissingFileFails) {
    const std::string dir = zt::TempDir();
    const std::string path = dir + "/msg.eml";
    const std::string content = Pattern(3u * 1024 * 1024 + 17);
    zt::WriteFile(path, content);
    {
        zt::ScriptServer srv({zt::SendFile(path)});
        Client c(srv.port());
        EXPECT_TRUE(c.Read(content.size(), 20000) == content);
        EXPECT_TRUE(srv.Finish(3000));
    }
    {
        zt::ScriptServer srv({zt::SendFile(dir + "/absent"), zt::Reply("not reached")});
        Client c(srv.port());
        EXPECT_TRUE(c.WaitEof());
        EXPECT_FALSE(srv.Finish(3000));
        ASSERT_EQ(srv.errors().size(), 1u);
        EXPECT_TRUE(Contains(srv.errors()[0], "cannot read file"));
    }
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
}

// ---- Utilities -----------------------------------------------------------------------

TEST(ScriptServerUtilities, UnusedPortRefusesConnections) {
    int port = zt::UnusedPort();
    ASSERT_GT(port, 0);
    ASSERT_LT(port, 65536);
    Client c(port);
    EXPECT_FALSE(c.connected());
    EXPECT_EQ(c.error(), ECONNREFUSED);
}

TEST(ScriptServerUtilities, FilesAndTempDirs) {
    const std::string a = zt::TempDir(), b = zt::TempDir();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind("/tmp/", 0), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(a.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    const std::string bytes("bin\0ary\r\n\xff", 11);
    zt::WriteFile(a + "/f", bytes);
    EXPECT_EQ(zt::ReadFile(a + "/f"), bytes);
    zt::WriteFile(a + "/f", "short");  // replaces, does not append
    EXPECT_EQ(zt::ReadFile(a + "/f"), "short");
    EXPECT_EQ(zt::ReadFile(a + "/missing"), "");
    EXPECT_THROW(zt::WriteFile(a + "/no/such/dir/f", "x"), std::runtime_error);
    ::unlink((a + "/f").c_str());
    ::rmdir(a.c_str());
    ::rmdir(b.c_str());
}

}  // namespace
