// zemDebug and zemStatistics after real exchanges with the scripted loopback server: the
// counters of a send and of a retrieval, the last reply, the addresses of a connected
// socket, the last recipient, the saved attachment names, the retrieval buffer, the
// connection test and the Date line in several time zones. Every expected number is
// computed here from the script and the inputs, never taken from the library.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "script_server.h"
#include "test_data.h"
#include "zem32.h"

namespace {

using zt::Base64Lines;
using zt::RandomBytes;

using zt::Expect;
using zt::ExpectData;
using zt::Reply;
using zt::Send;

constexpr char kSentinel = '\x5A';
const char *const kFrom = "<me@zem.test>";

// ---- Independent helpers -------------------------------------------------------------------

std::string Join(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &l : lines) out += l + "\r\n";
    return out;
}

size_t CountOf(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The number of state-trace lines of positive states in a log: each stands for one step
// that ran a state, so the step counter can be no lower.
int32_t PositiveTraceLines(const std::string &log) {
    static const std::regex kTrace("<( *[1-9][0-9]*):-?[0-9]+>\r\n");
    return static_cast<int32_t>(std::distance(std::sregex_iterator(log.begin(), log.end(), kTrace), std::sregex_iterator()));
}

class DiagnosticsExchange : public zt::LibTest {
  protected:
    void SetUp() override {
        zt::LibTest::SetUp();
        dir_ = zt::TempDir();
    }
    static zem::Channel &Chan(int32_t i = 0) { return *zem::gChannelTable[i].ChannelPtr; }

    // zemDebug into a buffer of len bytes followed by sentinels; the result and the text.
    static std::pair<int32_t, std::string> Debug(int32_t chan, int32_t index, int32_t len) {
        std::string buf(static_cast<size_t>(len) + 8, kSentinel);
        int32_t r = zemDebug(chan, index, &buf[0], len);
        for (size_t i = static_cast<size_t>(len); i < buf.size(); ++i)
            EXPECT_EQ(buf[i], kSentinel) << "written past BufLen at " << i;
        size_t end = buf.find('\0');
        EXPECT_LT(end, static_cast<size_t>(len)) << "no NUL inside the buffer";
        return {r, buf.substr(0, end)};
    }
    // The counters 10 to 15 at once, in index order.
    static std::vector<int32_t> ByteCounters(int32_t chan) {
        std::vector<int32_t> v;
        for (int32_t i = 10; i <= 15; ++i) v.push_back(zemStatistics(chan, i));
        return v;
    }
    std::string dir_;
};

// ---- SMTP ----------------------------------------------------------------------------------

// The text of the message: CR LF and lone LF line ends, a TAB (not printable: sent as '~')
// and a 100-character line without spaces (broken at 78), with no final line end.
const std::string kText = "First line\r\nsecond\nthird line with a tab\there\r\n" + std::string(100, 'x');
// The text lines as the plain line rules build them.
const std::vector<std::string> kTextLines = {"First line", "second", "third line with a tab~here", std::string(78, 'x'),
                                             std::string(22, 'x')};

TEST_F(DiagnosticsExchange, SmtpSessionCountersAndTexts) {
    const std::string file = RandomBytes(100, 7);
    const std::string path = dir_ + "/blob.bin";
    zt::WriteFile(path, file);

    zt::ScriptServer srv({
        Send("220 mail.test ESMTP\r\n"),
        Expect("EHLO zem.test"),
        Send("250-mail.test\r\n250 SIZE 1000000\r\n"),
        // zemVerifyUser: only 250 counts, and the verdict is the last address's.
        Expect("VRFY <a@x.test>"),
        Reply("550 unknown"),
        Expect("VRFY <b@x.test>"),
        Reply("250 <b@x.test>"),
        Expect("VRFY <c@x.test>"),
        Reply("252 cannot verify"),
        // zemSendEmail to two recipients; the second is the last one accepted.
        Expect("MAIL FROM:<me@zem.test>"),
        Reply("250 ok"),
        Expect("RCPT TO:<first@x.test>"),
        Reply("250 ok"),
        Expect("RCPT TO:<second@y.test>"),
        Reply("250 ok"),
        Expect("DATA"),
        Reply("354 go ahead"),
        ExpectData(),
        Reply("250 queued as 42"),
        // A second send whose second recipient is refused.
        Expect("MAIL FROM:<me@zem.test>"),
        Reply("250 ok"),
        Expect("RCPT TO:<third@x.test>"),
        Reply("250 ok"),
        Expect("RCPT TO:<fourth@x.test>"),
        Reply("550 no such user"),
        zt::WaitClose(),
    });
    const std::string log = dir_ + "/smtp.log";
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log.c_str()), 0);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port()), 1);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_USE_EHLO, 1), 1);

    // Before anything: no socket, nothing counted.
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_STEP_COUNT), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);

    ASSERT_EQ(zemSmtpConnect(0, "127.0.0.1", kFrom, nullptr), 0);

    // The last reply line keeps its CR LF in the buffer; the count leaves it out.
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(16, std::string("250 SIZE 1000000\r\n")));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 250);

    // The server's address needs more than 16 bytes; with 16 only the NUL is written.
    {
        std::string buf(24, kSentinel);
        EXPECT_EQ(zemDebug(0, ZEM_DEBUG_SERVER_ADDR, &buf[0], 16), 0);
        EXPECT_EQ(buf[0], '\0');
        EXPECT_EQ(buf.substr(1), std::string(23, kSentinel));
    }
    EXPECT_EQ(Debug(0, ZEM_DEBUG_SERVER_ADDR, 17), std::make_pair(9, std::string("127.0.0.1")));

    // The socket handle is a connected TCP socket whose peer is the server.
    const int32_t sock = zemStatistics(0, ZEM_STAT_SOCKET);
    ASSERT_GT(sock, 2);
    sockaddr_in peer{}, local{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &len), 0);
    EXPECT_EQ(ntohs(peer.sin_port), srv.port());
    len = sizeof local;
    ASSERT_EQ(getsockname(sock, reinterpret_cast<sockaddr *>(&local), &len), 0);
    EXPECT_EQ(ntohl(local.sin_addr.s_addr), 0x7F000001u);

    // The local address, asked from the socket layer, also fills the table's SockAddr.
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LOCAL_ADDR, 16), std::make_pair(0, std::string("")));
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LOCAL_ADDR, 17), std::make_pair(9, std::string("127.0.0.1")));
    const uint8_t *sa = zem::gChannelTable[0].SockAddr;
    EXPECT_EQ(sa[0] | (sa[1] << 8), 2);
    EXPECT_EQ((sa[2] << 8) | sa[3], ntohs(local.sin_port));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(sa + 4), 4), std::string("\x7F\x00\x00\x01", 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(sa + 8), 8), std::string(8, '\0'));

    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), 1);

    // VRFY: the last address decides; 550 then 250 gives 1, a lone 252 gives 0.
    EXPECT_EQ(zemVerifyUser(0, "<a@x.test>,<b@x.test>"), 1);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_VERIFY_RESULT), 1);
    EXPECT_EQ(zemVerifyUser(0, "<c@x.test>"), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_VERIFY_RESULT), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 252);
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_RECIPIENT, 100), std::make_pair(0, std::string(""))); // VRFY is no RCPT

    const int32_t stepsBefore = zemStatistics(0, ZEM_STAT_STEP_COUNT);
    ASSERT_EQ(zemSendEmail(0, "<first@x.test>,<second@y.test>", nullptr, nullptr, "Counters", kText.c_str(),
                           path.c_str()),
              0);

    // What the server received, read independently of the counters.
    const std::string data = srv.data();
    const std::string textStart = "Content-Type: text/plain\r\n\r\n";
    size_t from = data.find(textStart);
    ASSERT_NE(from, std::string::npos) << data;
    from += textStart.size();
    size_t to = data.find("\r\n--", from); // the empty line before the attachment's delimiter
    ASSERT_NE(to, std::string::npos);
    const std::string textSent = data.substr(from, to - from);
    EXPECT_EQ(textSent, Join(kTextLines));
    const std::string encoded = Base64Lines(file);
    EXPECT_NE(data.find("\r\n\r\n" + encoded), std::string::npos) << data;
    ASSERT_EQ(encoded.size(), 78u + 62u); // 57 bytes -> 76 characters, 43 bytes -> 60

    const auto textRead = static_cast<int32_t>(kText.size());
    const auto fileRead = static_cast<int32_t>(file.size());
    const auto textLinesSent = static_cast<int32_t>(textSent.size());
    const auto attachLinesSent = static_cast<int32_t>(encoded.size());
    EXPECT_EQ(ByteCounters(0), (std::vector<int32_t>{textRead, fileRead, textRead + fileRead, textLinesSent,
                                                     attachLinesSent, textLinesSent + attachLinesSent}));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 250);
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(16, std::string("250 queued as 42\r\n")));
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_RECIPIENT, 100), std::make_pair(15, std::string("<second@y.test>")));
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_RECIPIENT, 5), std::make_pair(4, std::string("<sec")));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_LAST_SOCK_CODE), 0);
    EXPECT_GT(zemStatistics(0, ZEM_STAT_STEP_COUNT), stepsBefore);

    // The blocks the send made are intact; one whose trailing guard is overwritten is
    // reported by the memory check, and neither freed nor mended.
    testing::internal::CaptureStderr();
    EXPECT_EQ(zemDebug(ZEM_DEBUG_MEMORY_CHECK_CHAN, 0, nullptr, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    uint8_t *toBlock = zem::BlockRawForTest(1); // block 1: the copy of the To list
    ASSERT_NE(toBlock, nullptr);
    const std::string toList = "<first@x.test>,<second@y.test>";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(toBlock + 1)), toList);
    uint8_t &guard = toBlock[1 + zem::BlockSize(1)];
    EXPECT_EQ(guard, 'z');
    guard = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(zemDebug(ZEM_DEBUG_MEMORY_CHECK_CHAN, 0, nullptr, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Info: Memory Corrupted (zemDebug): ID=1 Err=-106\n");
    EXPECT_EQ(zem::BlockIsAllocated(1), 1);
    EXPECT_EQ(guard, 0);
    guard = 'z';

    // Results of the other protocol stay untouched on an SMTP channel.
    for (int32_t index : {ZEM_STAT_MESSAGE_COUNT, ZEM_STAT_MESSAGE_SIZE, ZEM_STAT_BUFFER_FILL, ZEM_STAT_ATTACH_SAVED})
        EXPECT_EQ(zemStatistics(0, index), 0) << index;
    EXPECT_EQ(Debug(0, ZEM_DEBUG_SAVED_LIST, 100), std::make_pair(0, std::string("")));
    EXPECT_EQ(Debug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, 100).first, ZEM_ERR_NULL_POINTER);
    EXPECT_EQ(Debug(0, 31, 100), std::make_pair(0, std::string("?")));
    EXPECT_EQ(zemStatistics(0, 21), -1);

    // A refused recipient is not the last accepted one; the counters start again at 0
    // with the new send, and the failure closes the connection.
    EXPECT_EQ(zemSendEmail(0, "<third@x.test>,<fourth@x.test>", nullptr, nullptr, "Again", "short", nullptr),
              ZEM_ERR_SMTP);
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_RECIPIENT, 100), std::make_pair(14, std::string("<third@x.test>")));
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(16, std::string("550 no such user\r\n")));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 550);
    EXPECT_EQ(ByteCounters(0), (std::vector<int32_t>{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_LAST_SOCK_CODE), 0); // a refusal has no socket code

    // After the close: the connection test sees the error condition of a closed socket,
    // the socket layer no longer answers for the local address, the handle stays.
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LOCAL_ADDR, 100), std::make_pair(0, std::string("")));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_SOCKET), sock);
    EXPECT_TRUE(srv.Finish(5000));

    // Every step that ran a state is counted, whether or not it wrote a trace line.
    EXPECT_GE(zemStatistics(0, ZEM_STAT_STEP_COUNT), PositiveTraceLines(zt::ReadFile(log)));
    EXPECT_GE(PositiveTraceLines(zt::ReadFile(log)), 8 + 6 + 20); // connect, two VRFY runs, a send
    // Other channels have counted nothing.
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_STEP_COUNT), 0);
}

TEST_F(DiagnosticsExchange, ConnectionTestAfterCloseAndRefusal) {
    zt::ScriptServer srv({Send("220 mail.test ESMTP\r\n"), Expect("HELO zem.test"), Reply("250 hi"), Expect("QUIT"),
                          Reply("221 bye")});
    ASSERT_EQ(zemIntegerParam(1, ZEM_PARAM_SMTP_PORT, srv.port()), 1);
    ASSERT_EQ(zemSmtpConnect(1, "127.0.0.1", kFrom, nullptr), 0);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_CONNECTION), 1);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_CONNECTION), 1); // a poll changes nothing
    const int32_t sock = zemStatistics(1, ZEM_STAT_SOCKET);
    EXPECT_GT(sock, 2);
    EXPECT_EQ(zemClose(1), 0);
    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_SOCKET), sock);
    EXPECT_EQ(Debug(1, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(7, std::string("221 bye\r\n")));

    // A refused blocking connect keeps its socket code for index 4.
    ASSERT_EQ(zemIntegerParam(2, ZEM_PARAM_BLOCKING_CONNECT, 1), 1);
    ASSERT_EQ(zemIntegerParam(2, ZEM_PARAM_SMTP_PORT, zt::UnusedPort()), 1);
    EXPECT_EQ(zemSmtpConnect(2, "127.0.0.1", kFrom, nullptr), ZEM_ERR_CONNECT);
    EXPECT_EQ(zemStatistics(2, ZEM_STAT_LAST_SOCK_CODE), ZEM_SOCK_CONN_REFUSED);
    EXPECT_EQ(zemStatistics(2, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    EXPECT_EQ(Debug(2, ZEM_DEBUG_SERVER_ADDR, 17), std::make_pair(9, std::string("127.0.0.1")));
    EXPECT_EQ(Debug(2, ZEM_DEBUG_LOCAL_ADDR, 17), std::make_pair(0, std::string("")));
}

// ---- POP3 ----------------------------------------------------------------------------------

// One line of a message as the server sends it, and what the line-mode save does with it.
enum class Fate { Written, Decoded, Dropped };
struct MessageLine {
    std::string text; // with CR LF
    Fate fate;
};

// A multipart message with a text part and one base64 attachment, line by line with the
// fate the decoder gives each line: header lines of the message are written, the blank
// line after them too; the preamble, boundaries and part headers are dropped; the text
// part's body is written as received; the base64 lines are decoded into the file.
std::vector<MessageLine> MultipartMessage(const std::string &attachment) {
    std::vector<MessageLine> m = {
        {"From: Sender <s@x.test>\r\n", Fate::Written},
        {"To: <me@zem.test>\r\n", Fate::Written},
        {"Subject: Report\r\n", Fate::Written},
        {"MIME-Version: 1.0\r\n", Fate::Written},
        {"Content-Type: multipart/mixed; boundary=\"XYZ\"\r\n", Fate::Dropped},
        {"\r\n", Fate::Written},
        {"This is a multi-part message.\r\n", Fate::Dropped},
        {"--XYZ\r\n", Fate::Dropped},
        {"Content-Type: text/plain\r\n", Fate::Dropped},
        {"\r\n", Fate::Dropped},
        {"Hello there.\r\n", Fate::Written},
        {"--XYZ\r\n", Fate::Dropped},
        {"Content-Type: application/octet-stream; name=\"data.bin\"\r\n", Fate::Dropped},
        {"Content-Transfer-Encoding: base64\r\n", Fate::Dropped},
        {"Content-Disposition: attachment; filename=\"data.bin\"\r\n", Fate::Dropped},
        {"\r\n", Fate::Dropped},
    };
    const std::string b64 = Base64Lines(attachment);
    for (size_t at = 0; at < b64.size();) {
        size_t end = b64.find("\r\n", at) + 2;
        m.push_back({b64.substr(at, end - at), Fate::Decoded});
        at = end;
    }
    m.push_back({"--XYZ--\r\n", Fate::Dropped});
    return m;
}

std::string Wire(const std::vector<MessageLine> &m) {
    std::string s;
    for (const MessageLine &l : m) s += l.text;
    return s;
}

int32_t BytesOf(const std::vector<MessageLine> &m, Fate fate) {
    int32_t n = 0;
    for (const MessageLine &l : m)
        if (l.fate == fate) n += static_cast<int32_t>(l.text.size());
    return n;
}

TEST_F(DiagnosticsExchange, Pop3SessionCountersAndTexts) {
    const std::string attachment = RandomBytes(150, 11);
    const std::vector<MessageLine> message = MultipartMessage(attachment);
    const std::string top = "+OK top follows\r\nSubject: two\r\n\r\nbody line\r\n";
    const std::string raw = "+OK 61 octets\r\nSubject: raw\r\n\r\nraw body\r\n..stuffed\r\n.\r\n";

    zt::ScriptServer srv({
        Send("+OK POP3 ready\r\n"),
        Expect("USER user"),
        Reply("+OK"),
        Expect("PASS secret"),
        Reply("+OK logged in"),
        Expect("STAT"),
        Reply("+OK 2 1234"),
        Expect("LIST 2"),
        Reply("+OK 2 4711"),
        Expect("RETR 1"),
        Send("+OK message follows\r\n" + Wire(message) + ".\r\n"),
        Expect("TOP 2 1"),
        Send(top + ".\r\n"),
        Expect("RETR 2"),
        Send(raw),
        Expect("DELE 3"),
        Reply("-ERR no such message"),
        Expect("QUIT"),
        Reply("+OK bye"),
    });
    ASSERT_EQ(zemIntegerParam(3, ZEM_PARAM_POP3_PORT, srv.port()), 1);
    ASSERT_EQ(zemPop3Connect(3, "127.0.0.1", "user", "secret"), 0);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_REPLY_CODE), 100);
    EXPECT_EQ(Debug(3, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(13, std::string("+OK logged in\r\n")));
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_CONNECTION), 1);

    EXPECT_EQ(zemGetEmailCount(3), 2);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_MESSAGE_COUNT), 2);
    EXPECT_EQ(Debug(3, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(10, std::string("+OK 2 1234\r\n")));
    EXPECT_EQ(zemGetEmailSize(3, 2), 4711);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_MESSAGE_SIZE), 4711);

    // RETR in line mode through the decoder.
    ASSERT_EQ(zemGetEmailFile(3, 1, "msg.txt", dir_.c_str(), dir_.c_str()), 0);
    const int32_t written = BytesOf(message, Fate::Written);
    const int32_t decoded = BytesOf(message, Fate::Decoded);
    EXPECT_EQ(ByteCounters(3), (std::vector<int32_t>{written, decoded, written + decoded, 0, 0, 0}));
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_BUFFER_FILL), 0);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_ATTACH_SAVED), 1);
    EXPECT_EQ(Debug(3, ZEM_DEBUG_SAVED_LIST, 100), std::make_pair(8, std::string("data.bin")));
    EXPECT_EQ(Debug(3, ZEM_DEBUG_SAVED_LIST, 5), std::make_pair(4, std::string("data")));
    // The files agree with the counters.
    std::string expectFile;
    for (const MessageLine &l : message)
        if (l.fate == Fate::Written) expectFile += l.text;
    expectFile += "[Attachment saved to \"" + dir_ + "/data.bin\"]\r\n";
    EXPECT_EQ(zt::ReadFile(dir_ + "/msg.txt"), expectFile);
    EXPECT_EQ(zt::ReadFile(dir_ + "/data.bin"), attachment);

    // TOP into library memory: block 8 holds the text, index 19 its size.
    EXPECT_EQ(Debug(3, ZEM_DEBUG_RETRIEVAL_BUFFER, 200).first, ZEM_ERR_NULL_POINTER);
    ASSERT_EQ(zemGetEmailLines(3, 2, 1, nullptr, 300), static_cast<int32_t>(top.size()));
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_BUFFER_FILL), static_cast<int32_t>(top.size()));
    EXPECT_EQ(ByteCounters(3), (std::vector<int32_t>{static_cast<int32_t>(top.size()), 0,
                                                     static_cast<int32_t>(top.size()), 0, 0, 0}));
    EXPECT_EQ(Debug(3, ZEM_DEBUG_RETRIEVAL_BUFFER, 200), std::make_pair(static_cast<int32_t>(top.size()), top));
    EXPECT_EQ(Debug(3, ZEM_DEBUG_RETRIEVAL_BUFFER, 11), std::make_pair(10, top.substr(0, 10)));
    // Written out and released, the block is gone.
    const std::string topFile = dir_ + "/top.txt";
    EXPECT_EQ(zemStringParam(3, ZEM_STRING_WRITE_BUFFER, topFile.c_str()), static_cast<int32_t>(top.size()));
    EXPECT_EQ(zt::ReadFile(topFile), top);
    EXPECT_EQ(Debug(3, ZEM_DEBUG_RETRIEVAL_BUFFER, 200).first, ZEM_ERR_NULL_POINTER);
    // The saved names belong to the last zemGetEmailFile and stay.
    EXPECT_EQ(Debug(3, ZEM_DEBUG_SAVED_LIST, 100), std::make_pair(8, std::string("data.bin")));

    // RETR raw: every byte as received, counted as read (10) and as written (13).
    ASSERT_EQ(zemIntegerParam(3, ZEM_PARAM_DECODE_STATE, 1), 1);
    ASSERT_EQ(zemGetEmailFile(3, 2, "raw.txt", dir_.c_str(), dir_.c_str()), 0);
    const auto rawBytes = static_cast<int32_t>(raw.size());
    EXPECT_EQ(ByteCounters(3), (std::vector<int32_t>{rawBytes, 0, rawBytes, rawBytes, 0, rawBytes}));
    EXPECT_EQ(zt::ReadFile(dir_ + "/raw.txt"), raw);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_ATTACH_SAVED), 0);
    EXPECT_EQ(Debug(3, ZEM_DEBUG_SAVED_LIST, 100), std::make_pair(0, std::string("")));

    // A refused DELE is not reported, but the reply code and the last reply tell.
    EXPECT_EQ(zemDeleteEmail(3, 3), 0);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_REPLY_CODE), 500);
    EXPECT_EQ(Debug(3, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(20, std::string("-ERR no such message\r\n")));
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_CONNECTION), 1);

    EXPECT_EQ(zemClose(3), 0);
    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_REPLY_CODE), 100);
    // The counts of the mailbox stay after the close.
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_MESSAGE_COUNT), 2);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_MESSAGE_SIZE), 4711);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_VERIFY_RESULT), 0);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_VERSION), 0x342);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_BUILD), ZEM_BUILD);
}

// ---- The Date line -------------------------------------------------------------------------

// Sets TZ for the scope and puts the old value back afterwards.
class ZoneScope {
  public:
    explicit ZoneScope(const char *zone) {
        const char *old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope &) = delete;
    ZoneScope &operator=(const ZoneScope &) = delete;

  private:
    bool had_ = false;
    std::string old_;
};

const char *const kDatePattern = "^Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), ([1-9][0-9]?) "
                                 "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([0-9]{4}) "
                                 "([0-9]{1,2}):([0-9]{2}):([0-9]{2}) ([+-])([0-9]{2})([0-9]{2})$";

// The instant a Date line names, in seconds since the epoch, or -1 when it does not parse.
// The weekday must agree with the date.
long long DateLineInstant(const std::string &line, std::string *zone) {
    std::smatch m;
    if (!std::regex_match(line, m, std::regex(kDatePattern))) return -1;
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    struct tm t {};
    t.tm_mday = std::stoi(m[2]);
    for (int i = 0; i < 12; ++i)
        if (m[3] == kMonths[i]) t.tm_mon = i;
    t.tm_year = std::stoi(m[4]) - 1900;
    t.tm_hour = std::stoi(m[5]);
    t.tm_min = std::stoi(m[6]);
    t.tm_sec = std::stoi(m[7]);
    time_t asUtc = timegm(&t); // also fills tm_wday
    if (m[1] != kDays[t.tm_wday]) return -1;
    int offset = (std::stoi(m[9]) * 60 + std::stoi(m[10])) * 60;
    if (m[8] == "-") offset = -offset;
    *zone = m[8].str() + m[9].str() + m[10].str();
    return static_cast<long long>(asUtc) - offset;
}

TEST_F(DiagnosticsExchange, DateLineNamesNowInTheLocalZone) {
    struct Case {
        const char *tz;
        std::vector<std::string> zones; // the offsets the zone may have now
    };
    const std::vector<Case> cases = {
        {"UTC", {"+0000"}},
        {"Asia/Kolkata", {"+0530"}},
        {"America/New_York", {"-0500", "-0400"}},
        {"Australia/Adelaide", {"+0930", "+1030"}},
        {"Pacific/Chatham", {"+1245", "+1345"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tz);
        std::string file = std::string("/usr/share/zoneinfo/") + c.tz;
        struct stat st {};
        if (std::string(c.tz) != "UTC" && stat(file.c_str(), &st) != 0) continue; // no zone data here
        ZoneScope zone(c.tz);
        const long long before = static_cast<long long>(std::time(nullptr));
        auto got = Debug(1, ZEM_DEBUG_DATE_LINE, 200);
        const long long after = static_cast<long long>(std::time(nullptr));
        EXPECT_EQ(got.first, 0); // not the length
        std::string offset;
        const long long at = DateLineInstant(got.second, &offset);
        ASSERT_GE(at, 0) << got.second;
        EXPECT_GE(at, before) << got.second;
        EXPECT_LE(at, after) << got.second;
        EXPECT_NE(std::find(c.zones.begin(), c.zones.end(), offset), c.zones.end()) << got.second;
        // The line is built in the channel's TextBuffer first.
        EXPECT_EQ(std::string(Chan(1).TextBuffer), got.second);
    }
    // The zone came back.
    std::string offset;
    EXPECT_GE(DateLineInstant(Debug(1, ZEM_DEBUG_DATE_LINE, 200).second, &offset), 0);
}

TEST_F(DiagnosticsExchange, DateLineIsCutToTheBuffer) {
    auto whole = Debug(0, ZEM_DEBUG_DATE_LINE, 200);
    ASSERT_GT(whole.second.size(), 20u);
    auto cut = Debug(0, ZEM_DEBUG_DATE_LINE, 10);
    EXPECT_EQ(cut.first, 0);
    EXPECT_EQ(cut.second, whole.second.substr(0, 9));
    EXPECT_EQ(Debug(0, ZEM_DEBUG_DATE_LINE, 1), std::make_pair(0, std::string("")));
    EXPECT_EQ(Debug(4, ZEM_DEBUG_DATE_LINE, 100).first, ZEM_ERR_CHANNEL_RANGE);
}

} // namespace
