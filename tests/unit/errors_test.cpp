// The code table and zemErrorText.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <unistd.h>

#include "frame/channel.h"
#include "frame/errors.h"
#include "lib_fixture.h"
#include "zem32.h"

namespace {

using namespace zem;

struct Expected {
    int32_t code;
    const char *text;
};

// Written out from the table of codes the library documents, not taken from the library.
const Expected kTable[] = {
    {0, "Cannot comply"},
    {-1, "Socket has been closed."},
    {-4, "WINSOCK is currently blocking."},
    {-5, "Bad status flag passed to zemStatus."},
    {-7, "Invalid socket."},
    {-8, "Socket timed out."},
    {-9, "No available sockaddr structures."},
    {-12, "No host name."},
    {-18, "Cannot create socket."},
    {-31, "Response buffer has overflowed."},
    {-32, "Bad character in email address."},
    {-34, "Cannot access WINSOCK"},
    {-35, "Cannot open file."},
    {-36, "Error attempting to connect."},
    {-37, "EMPTY email address."},
    {-38, "FromPtr is NULL."},
    {-39, "Missing '@' character in email address."},
    {-40, "Missing FROM email address."},
    {-41, "Missing '<' delimiter in email address."},
    {-43, "Missing '>' terminating email address."},
    {-44, "Not connected to server"},
    {-45, "Must have at least one recipient."},
    {-46, "Cannot find SMTP/POP3 server."},
    {-47, "Unexpected NULL pointer."},
    {-48, "ToPtr is NULL."},
    {-49, "SMTP returned error."},
    {-50, "SMTP/POP3 server not specified."},
    {-51, "Socket read error."},
    {-52, "Socket write error."},
    {-53, "Too many '@' symbols in email address."},
    {-54, "Found unexpected '>' character in email address."},
    {-55, "Cannot allocate memory."},
    {-56, "Illegal chars in server name."},
    {-57, "APOP timestamp missing."},
    {-58, "SMTP function ONLY."},
    {-59, "POP3 function ONLY."},
    {-61, "USER name not specified."},
    {-62, "PASSWORD not specified."},
    {-63, "POP3 returned error."},
    {-64, "No such message number."},
    {-65, "Missing filename."},
    {-66, "Missing email path."},
    {-67, "Cannot create file."},
    {-68, "Buffer is NULL."},
    {-69, "Buffer size < 128."},
    {-70, "Missing path for attachments."},
    {-71, "Must call zemAttach first."},
    {-72, "Already attached."},
    {-73, "Channel out of range."},
    {-74, "Malformed reply from server."},
    {-75, "Message exceeds the size limit."},
    {-76, "TLS handshake failed."},
    {-77, "Server certificate not trusted."},
    {-78, "Server certificate does not match the server name."},
    {-79, "Server does not offer STARTTLS/STLS."},
    {-80, "Unexpected data after STARTTLS/STLS."},
    {-81, "Cannot use the CA, certificate or key file."},
    {-82, "Message exceeds the server's size limit."},
    {-83, "Every recipient was refused."},
    {-84, "Unknown character set."},
    {-85, "OAuth token too long."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket"},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
};

bool TakesReply(int32_t code) { return code == -36 || code == -49 || code == -63; }

constexpr char kSentinel = '\x5A';

class ErrorText : public zt::LibTest {
protected:
    Channel &Ch(int32_t n) {
        Channel *ch = nullptr;
        EXPECT_EQ(FindChannel(n, &ch), 0);
        return *ch;
    }
    static void SetReply(Channel &ch, const char *text) {
        std::strncpy(ch.ReplyBuffer, text, sizeof ch.ReplyBuffer - 1);
        ch.ReplyBuffer[sizeof ch.ReplyBuffer - 1] = 0;
    }
    // The result and the buffer's text; checks the NUL after the last character.
    static std::pair<int32_t, std::string> Text(int32_t chan, int32_t code, int32_t len) {
        std::string buf(static_cast<size_t>(len) + 8, kSentinel);
        int32_t n = zemErrorText(chan, code, &buf[0], len);
        if (n < 0) return {n, buf.substr(0, 1)};
        EXPECT_LT(n, len);
        EXPECT_EQ(buf[static_cast<size_t>(n)], '\0');
        EXPECT_EQ(buf[static_cast<size_t>(len)], kSentinel) << "written past BufLen";
        return {n, std::string(buf.c_str())};
    }
};

TEST_F(ErrorText, EveryCodeHasItsExactText) {
    EXPECT_EQ(sizeof kTable / sizeof kTable[0], 101u);
    EXPECT_EQ(ErrorTableSize(), 101);
    std::set<int32_t> codes;
    for (const Expected &e : kTable) {
        SCOPED_TRACE(e.code);
        EXPECT_TRUE(codes.insert(e.code).second) << "duplicate in the expected table";
        std::string want = e.text;
        if (TakesReply(e.code)) want += ' '; // followed by the (empty) reply
        auto got = Text(0, e.code, 200);
        EXPECT_EQ(got.second, want);
        EXPECT_EQ(got.first, static_cast<int32_t>(want.size()));
    }
}

TEST_F(ErrorText, DocumentedExamples) {
    EXPECT_EQ(Text(0, -73, 100), std::make_pair(21, std::string("Channel out of range.")));
    EXPECT_EQ(Text(0, -10061, 100), std::make_pair(34, std::string("Connection refused by remote host.")));
    EXPECT_EQ(Text(0, 0, 100), std::make_pair(13, std::string("Cannot comply")));
    EXPECT_EQ(Text(3, -72, 100), std::make_pair(17, std::string("Already attached.")));
}

TEST_F(ErrorText, CodesWithoutAnEntryGiveTheEmptyText) {
    const int32_t unknown[] = {1,      12345,  999,    -2,     -3,     -6,     -10,    -11,    -13,
                               -30,    -33,    -42,    -60,    -99,    -100,   -102,   -103,
                               -104,   -105,   -106,   -10000, -10001, -10046, -10059, -10062, -10094,
                               -11000, -11005, -20000, INT_MIN, INT_MAX};
    for (int32_t code : unknown) {
        SCOPED_TRACE(code);
        auto got = Text(0, code, 100);
        EXPECT_EQ(got.first, 0);
        EXPECT_EQ(got.second, "");
    }
}

TEST_F(ErrorText, TextIsCutAtBufLenMinusOne) {
    EXPECT_EQ(Text(0, -73, 6), std::make_pair(5, std::string("Chann")));
    EXPECT_EQ(Text(0, -73, 21), std::make_pair(20, std::string("Channel out of range")));
    EXPECT_EQ(Text(0, -73, 22), std::make_pair(21, std::string("Channel out of range.")));
    EXPECT_EQ(Text(0, -73, 2), std::make_pair(1, std::string("C")));
    EXPECT_EQ(Text(0, -73, 1), std::make_pair(0, std::string("")));
}

TEST_F(ErrorText, BufferWithoutRoomIsNeverWritten) {
    for (int32_t len : {0, -1, INT_MIN}) {
        char buf[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
        int32_t n = zemErrorText(0, -73, buf, len);
        EXPECT_LE(n, 0) << len;
        for (char c : buf) EXPECT_EQ(c, kSentinel) << len;
    }
    EXPECT_EQ(zemErrorText(0, -73, nullptr, 100), ZEM_ERR_NULL_POINTER);
    EXPECT_EQ(zemErrorText(0, -73, nullptr, 0), ZEM_ERR_NULL_POINTER);
    // The channel check comes first.
    EXPECT_EQ(zemErrorText(4, -73, nullptr, 100), ZEM_ERR_CHANNEL_RANGE);
}

TEST_F(ErrorText, ReplyIsAppendedToThreeTexts) {
    SetReply(Ch(0), "550 5.1.1 No such user here\r\n");
    EXPECT_EQ(Text(0, -49, 200).second, "SMTP returned error. 550 5.1.1 No such user here\r\n");
    EXPECT_EQ(Text(0, -49, 200).first, 20 + 1 + 29);
    SetReply(Ch(0), "-ERR mailbox locked\r\n");
    EXPECT_EQ(Text(0, -63, 200).second, "POP3 returned error. -ERR mailbox locked\r\n");
    EXPECT_EQ(Text(0, -36, 200).second, "Error attempting to connect. -ERR mailbox locked\r\n");
    // Other texts never carry the reply.
    EXPECT_EQ(Text(0, -8, 200).second, "Socket timed out.");
    EXPECT_EQ(Text(0, -52, 200).second, "Socket write error.");
    // Each channel's own reply.
    SetReply(Ch(2), "554 no\r\n");
    EXPECT_EQ(Text(2, -49, 200).second, "SMTP returned error. 554 no\r\n");
    EXPECT_EQ(Text(1, -49, 200).second, "SMTP returned error. ");
    EXPECT_EQ(Text(1, -49, 200).first, 21);
}

TEST_F(ErrorText, AppendedReplyIsCutToo) {
    SetReply(Ch(0), "550 refused\r\n");
    EXPECT_EQ(Text(0, -49, 21), std::make_pair(20, std::string("SMTP returned error."))); // no room for the space
    EXPECT_EQ(Text(0, -49, 22), std::make_pair(21, std::string("SMTP returned error. ")));
    EXPECT_EQ(Text(0, -49, 25), std::make_pair(24, std::string("SMTP returned error. 550")));
    EXPECT_EQ(Text(0, -49, 10), std::make_pair(9, std::string("SMTP retu")));

    // A reply filling the whole buffer, even without its NUL, is bounded by the buffer.
    Channel &ch = Ch(0);
    std::memset(ch.ReplyBuffer, 'r', sizeof ch.ReplyBuffer);
    auto got = Text(0, -63, 5000);
    EXPECT_EQ(got.first, 20 + 1 + 2050);
    EXPECT_EQ(got.second, "POP3 returned error. " + std::string(2050, 'r'));
    ch.ReplyBuffer[0] = 0;
}

TEST_F(ErrorText, NothingIsLogged) {
    char dir[] = "/tmp/zem-errors-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/chan.log";
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, path.c_str()), 0);
    char buf[100];
    EXPECT_EQ(zemErrorText(0, -49, buf, sizeof buf), 21);
    EXPECT_EQ(zemErrorText(0, 12345, buf, sizeof buf), 0);
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "");
    zemRelease();
    unlink(path.c_str());
    rmdir(dir);
}

TEST(ErrorTextUnattached, ChannelCheckComesFirst) {
    zemRelease();
    char buf[8] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(zemErrorText(0, -73, buf, sizeof buf), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemErrorText(0, 0, buf, sizeof buf), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemErrorText(-1, -73, buf, sizeof buf), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemErrorText(0, -73, nullptr, 100), ZEM_ERR_NOT_ATTACHED);
    for (char c : buf) EXPECT_EQ(c, kSentinel);

    ASSERT_EQ(zemAttach(2, 0), 1);
    EXPECT_EQ(zemErrorText(2, -73, buf, sizeof buf), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemErrorText(-1, -73, buf, sizeof buf), ZEM_ERR_CHANNEL_RANGE);
    for (char c : buf) EXPECT_EQ(c, kSentinel);
    EXPECT_EQ(zemErrorText(1, -73, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "Channel");
    zemRelease();
    EXPECT_EQ(zemErrorText(1, -73, buf, sizeof buf), ZEM_ERR_NOT_ATTACHED);
}

} // namespace
