// zemErrorText. The table lives in src/frame/errors.cpp alone: this checks the texts that
// zem32.h, the manual pages and other tests quote, properties of every entry (each code
// zem32.h names has a text of its own that fits the buffers it is written into, each
// socket code the socket layer gives has a text, no entry outside the documented ranges),
// the codes without a text, the channel checks, cutting to BufLen and the appended reply.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "frame/channel.h"
#include "frame/errors.h"
#include "lib_fixture.h"
#include "platform/platform.h"
#include "zem32.h"

namespace {

using namespace zem;

bool TakesReply(int32_t code) { return code == -36 || code == -49 || code == -63 || code == -86; }

constexpr char kSentinel = '\x5A';

// The log writes every text through a buffer of this size (driver/step.cpp); the
// documented examples use 256, so a text that fits here fits there too.
constexpr int32_t kLogBuffer = 128;

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The codes zem32.h names (ZEM_ERR_* and ZEM_SOCK_*) with the text its comment quotes, if any.
struct Named {
    std::string name;
    int32_t code;
    std::string quoted;
};
std::vector<Named> NamedCodes() {
    static const std::regex kDefine(R"re(#define (ZEM_(?:ERR|SOCK)_\w+)\s+\((-\d+)\)(?:\s*/\* "([^"]*)")?)re");
    const std::string header = ReadAll(std::string(ZEM_SOURCE_DIR) + "/include/zem32.h");
    std::vector<Named> out;
    for (std::sregex_iterator m(header.begin(), header.end(), kDefine), end; m != end; ++m)
        out.push_back({(*m)[1].str(), std::stoi((*m)[2].str()), (*m)[3].str()});
    return out;
}

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
    // A code's own text, without the space and reply some codes append.
    static std::string Own(int32_t code) {
        std::string t = Text(0, code, 4096).second;
        if (TakesReply(code) && !t.empty() && t.back() == ' ') t.pop_back();
        return t;
    }
};

TEST_F(ErrorText, TextsQuotedInTheHeaderAreGiven) {
    size_t quoted = 0;
    for (const Named &n : NamedCodes()) {
        if (n.quoted.empty()) continue;
        SCOPED_TRACE(n.name);
        EXPECT_EQ(Own(n.code), n.quoted);
        ++quoted;
    }
    EXPECT_GE(quoted, 15u) << "zem32.h no longer quotes its texts as this test reads them";
}

// Texts quoted elsewhere: the manual's examples and the logs other tests compare.
TEST_F(ErrorText, TextsQuotedElsewhereAreGiven) {
    EXPECT_EQ(Text(0, 0, 100), std::make_pair(13, std::string("Cannot comply")));
    EXPECT_EQ(Text(0, -73, 100), std::make_pair(21, std::string("Channel out of range.")));
    EXPECT_EQ(Text(3, -72, 100), std::make_pair(17, std::string("Already attached.")));
    EXPECT_EQ(Text(0, -10061, 100), std::make_pair(34, std::string("Connection refused by remote host.")));
    EXPECT_EQ(Text(0, -36, 100), std::make_pair(29, std::string("Error attempting to connect. ")));
}

TEST_F(ErrorText, EveryNamedCodeHasATextOfItsOwnThatFits) {
    const std::vector<Named> named = NamedCodes();
    ASSERT_GE(named.size(), 60u) << "zem32.h no longer defines its codes as this test reads them";
    const std::string unknown = Text(0, 12345, 100).second;
    std::set<int32_t> codes;
    for (const Named &n : named) {
        SCOPED_TRACE(n.name);
        EXPECT_TRUE(codes.insert(n.code).second) << "two names for one code";
        const std::string own = Own(n.code);
        EXPECT_FALSE(own.empty());
        EXPECT_NE(own, unknown);
        EXPECT_LT(own.size() + (TakesReply(n.code) ? 1 : 0), static_cast<size_t>(kLogBuffer));
    }
    // Library codes run from -1 to -99 (zem32(7)): each has a text exactly when zem32.h names it.
    for (int32_t code = -1; code >= -99; --code)
        EXPECT_EQ(!Own(code).empty(), codes.count(code) == 1) << code;
}

TEST_F(ErrorText, EverySocketCodeTheSocketLayerGivesHasAText) {
    size_t mapped = 0;
    for (int err = 1; err < 4096; ++err) {
        const int32_t code = MapSocketError(err);
        if (code == -(20000 + err)) continue; // passed through unmapped: no text by design
        SCOPED_TRACE(err);
        EXPECT_LE(code, -10000);
        EXPECT_GT(code, -11000);
        const std::string own = Own(code);
        EXPECT_FALSE(own.empty()) << code;
        EXPECT_LT(own.size(), static_cast<size_t>(kLogBuffer)) << code;
        ++mapped;
    }
    EXPECT_GE(mapped, 30u);
}

// Every entry is 0, a library code (-1 to -99) or a socket code (-10000 to -11999).
TEST_F(ErrorText, NoEntryLiesOutsideTheDocumentedRanges) {
    int32_t withText = Own(0).empty() ? 0 : 1;
    for (int32_t code = -1; code >= -99; --code) withText += Own(code).empty() ? 0 : 1;
    for (int32_t code = -10000; code >= -11999; --code) withText += Own(code).empty() ? 0 : 1;
    EXPECT_EQ(withText, ErrorTableSize());
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
    EXPECT_EQ(ReadAll(path), "");
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
