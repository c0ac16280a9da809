// zemDebug and zemStatistics on channels that never connected, and the memory check.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "frame/channel.h"
#include "lib_fixture.h"
#include "zem32.h"

namespace {

using namespace zem;

constexpr char kSentinel = '\x5A';

class Diagnostics : public zt::LibTest {
protected:
    static Channel &Ch(int32_t n) {
        Channel *ch = nullptr;
        EXPECT_EQ(FindChannel(n, &ch), 0);
        return *ch;
    }
    // zemDebug into a buffer of len bytes (plus a sentinel tail); returns result and text.
    static std::pair<int32_t, std::string> Debug(int32_t chan, int32_t index, int32_t len) {
        std::string buf(static_cast<size_t>(len) + 8, kSentinel);
        int32_t r = zemDebug(chan, index, &buf[0], len);
        EXPECT_EQ(buf[static_cast<size_t>(len)], kSentinel) << "written past BufLen";
        size_t end = buf.find('\0');
        EXPECT_LT(end, static_cast<size_t>(len)) << "no NUL inside the buffer";
        return {r, buf.substr(0, end)};
    }
};

// ---- zemStatistics -------------------------------------------------------------------------

TEST_F(Diagnostics, VersionAndBuildOnEveryChannel) {
    for (int32_t chan = 0; chan < 4; ++chan) {
        EXPECT_EQ(zemStatistics(chan, 16), 834) << chan;
        EXPECT_EQ(zemStatistics(chan, 26), 8) << chan;
    }
    EXPECT_EQ(834, 0x342); // 3.4.2: major in bits 8 up, minor in 4..7, patch in 0..3
}

TEST_F(Diagnostics, StatisticsWithoutAMeaningAreMinusOne) {
    for (int32_t index : {0, 1, 5, 6, 7, 8, 9, 21, 23, 25, 28, 29, 48, 100, -1, -12, INT_MIN, INT_MAX})
        EXPECT_EQ(zemStatistics(0, index), -1) << index;
}

TEST_F(Diagnostics, FreshChannelCountsAreZero) {
    for (int32_t index : {2, 3, 4, 10, 11, 12, 13, 14, 15, 17, 18, 19, 22, 24, 27})
        EXPECT_EQ(zemStatistics(1, index), 0) << index;
    // A channel that never connected answers the connection test like a closed socket.
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
}

TEST_F(Diagnostics, StatisticsReportTheirOwnFields) {
    Channel &ch = Ch(2);
    ch.StepCount = 101;
    ch.ReplyCode = 250;
    ch.LastSockCode = -10061;
    ch.TextBytes = 1000;
    ch.AttachBytes = 234;
    ch.TextBytesSent = 5000;
    ch.AttachBytesSent = 678;
    ch.MessageCount = 7;
    ch.MessageSize = 4096;
    ch.UserBufferFill = 333;
    ch.AttachSaved = 2;
    ch.VerifyResult = 1;
    ch.Socket = 42; // not open: only the number is reported
    EXPECT_EQ(zemStatistics(2, 2), 101);
    EXPECT_EQ(zemStatistics(2, 3), 250);
    EXPECT_EQ(zemStatistics(2, 4), -10061);
    EXPECT_EQ(zemStatistics(2, 10), 1000);
    EXPECT_EQ(zemStatistics(2, 11), 234);
    EXPECT_EQ(zemStatistics(2, 12), 1234);
    EXPECT_EQ(zemStatistics(2, 13), 5000);
    EXPECT_EQ(zemStatistics(2, 14), 678);
    EXPECT_EQ(zemStatistics(2, 15), 5678);
    EXPECT_EQ(zemStatistics(2, 17), 7);
    EXPECT_EQ(zemStatistics(2, 18), 4096);
    EXPECT_EQ(zemStatistics(2, 19), 333);
    EXPECT_EQ(zemStatistics(2, 22), 2);
    EXPECT_EQ(zemStatistics(2, 24), 1);
    EXPECT_EQ(zemStatistics(2, 27), 42);
    EXPECT_EQ(zemStatistics(2, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT); // still never connected
    // Another channel keeps its own.
    EXPECT_EQ(zemStatistics(1, 2), 0);
    EXPECT_EQ(zemStatistics(1, 12), 0);
    ch.Socket = 0;
}

TEST_F(Diagnostics, StatisticsChannelCheckAndNoLog) {
    EXPECT_EQ(zemStatistics(4, 16), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemStatistics(-1, 16), ZEM_ERR_CHANNEL_RANGE);
    char dir[] = "/tmp/zem-diag-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string log = std::string(dir) + "/chan.log";
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log.c_str()), 0);
    EXPECT_EQ(zemStatistics(0, 16), 834);
    EXPECT_EQ(zemStatistics(0, 5), -1);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_CONNECTION), ZEM_ERR_CONNECT);
    char buf[80];
    EXPECT_EQ(zemDebug(0, 5, buf, sizeof buf), 0);
    std::ifstream in(log, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "");
    zemRelease();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    EXPECT_EQ(zemStatistics(0, 16), ZEM_ERR_NOT_ATTACHED);
}

// ---- zemDebug ------------------------------------------------------------------------------

TEST_F(Diagnostics, UnknownIndexGivesAQuestionMark) {
    EXPECT_EQ(Debug(0, 5, 80), std::make_pair(0, std::string("?")));
    EXPECT_EQ(Debug(3, 0, 80), std::make_pair(0, std::string("?")));
    EXPECT_EQ(Debug(3, -1, 2), std::make_pair(0, std::string("?")));
    EXPECT_EQ(Debug(3, 41, 1), std::make_pair(0, std::string(""))); // room for the NUL only
}

TEST_F(Diagnostics, BufferWithoutRoomOrNullIsNeverWritten) {
    for (int32_t len : {0, -1, INT_MIN}) {
        char buf[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
        EXPECT_EQ(zemDebug(0, 5, buf, len), 0) << len;
        EXPECT_EQ(zemDebug(0, ZEM_DEBUG_LAST_REPLY, buf, len), 0) << len;
        for (char c : buf) EXPECT_EQ(c, kSentinel) << len;
    }
    EXPECT_EQ(zemDebug(0, 5, nullptr, 80), 0);
    EXPECT_EQ(zemDebug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, nullptr, 80), 0); // before the -47 check
    EXPECT_EQ(zemDebug(9, 5, nullptr, 80), 0);                          // before the channel check
}

TEST_F(Diagnostics, ChannelCheckLeavesTheEmptyText) {
    char buf[16];
    std::memset(buf, kSentinel, sizeof buf);
    EXPECT_EQ(zemDebug(4, 5, buf, sizeof buf), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], kSentinel);
    std::memset(buf, kSentinel, sizeof buf);
    EXPECT_EQ(zemDebug(-1, 5, buf, sizeof buf), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(buf[0], 0);

    zemRelease();
    std::memset(buf, kSentinel, sizeof buf);
    EXPECT_EQ(zemDebug(0, 5, buf, sizeof buf), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(zemDebug(0, 5, nullptr, 80), 0);
}

// The channel check answers whatever the buffer's size; a size of 0 or less only keeps the
// buffer untouched.
TEST_F(Diagnostics, ChannelCheckComesBeforeTheBufferSize) {
    for (int32_t len : {0, -1, INT_MIN}) {
        char buf[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
        EXPECT_EQ(zemDebug(4, 5, buf, len), ZEM_ERR_CHANNEL_RANGE) << len;
        EXPECT_EQ(zemDebug(-1, ZEM_DEBUG_LAST_REPLY, buf, len), ZEM_ERR_CHANNEL_RANGE) << len;
        EXPECT_EQ(zemDebug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, buf, len), ZEM_ERR_NULL_POINTER) << len;
        for (char c : buf) EXPECT_EQ(c, kSentinel) << len;
    }
    zemRelease();
    for (int32_t len : {4, 0, -1}) {
        char buf[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
        EXPECT_EQ(zemDebug(0, 5, buf, len), ZEM_ERR_NOT_ATTACHED) << len;
        EXPECT_EQ(buf[0], len > 0 ? 0 : kSentinel) << len;
        for (int i = 1; i < 4; ++i) EXPECT_EQ(buf[i], kSentinel) << len;
    }
    EXPECT_EQ(zemDebug(-2, 0, nullptr, 0), 0); // the memory check needs no library
}

TEST_F(Diagnostics, FreshChannelTextsAreEmpty) {
    for (int32_t index : {ZEM_DEBUG_LAST_REPLY, ZEM_DEBUG_SAVED_LIST, ZEM_DEBUG_LAST_RECIPIENT, ZEM_DEBUG_LOCAL_ADDR}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(Debug(1, index, 100), std::make_pair(0, std::string("")));
    }
    // No local address without a socket, and none into a buffer of 16 or less.
    EXPECT_EQ(Debug(1, ZEM_DEBUG_LOCAL_ADDR, 16), std::make_pair(0, std::string("")));
}

TEST_F(Diagnostics, LastReplyLengthLeavesOutTheLineEnd) {
    Channel &ch = Ch(0);
    std::strcpy(ch.LastReply, "+OK ready\r\n");
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(9, std::string("+OK ready\r\n")));
    std::strcpy(ch.LastReply, "ab");
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(2, std::string("ab")));
    std::strcpy(ch.LastReply, "\r\n"); // two characters only: nothing taken off
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(2, std::string("\r\n")));
    std::strcpy(ch.LastReply, "a\r\n");
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(1, std::string("a\r\n")));
    std::strcpy(ch.LastReply, "250 ok"); // no line end
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 200), std::make_pair(6, std::string("250 ok")));
    // Cut by the caller's buffer: "+OK r" has no CR in second-last place.
    std::strcpy(ch.LastReply, "+OK ready\r\n");
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 6), std::make_pair(5, std::string("+OK r")));
    // Cut just after the CR: "+OK ready\r" ends in CR, whose second-last is 'y'.
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 11), std::make_pair(10, std::string("+OK ready\r")));
    // At most 128 characters, even from a full buffer without its NUL.
    std::memset(ch.LastReply, 'L', sizeof ch.LastReply);
    EXPECT_EQ(Debug(0, ZEM_DEBUG_LAST_REPLY, 500), std::make_pair(128, std::string(128, 'L')));
    ch.LastReply[0] = 0;
}

TEST_F(Diagnostics, ServerAddressNeedsMoreThan16Bytes) {
    Channel &ch = Ch(2);
    ch.ServerAddr = 0x7F000001;
    EXPECT_EQ(Debug(2, ZEM_DEBUG_SERVER_ADDR, 16), std::make_pair(0, std::string("")));
    EXPECT_EQ(Debug(2, ZEM_DEBUG_SERVER_ADDR, 17), std::make_pair(9, std::string("127.0.0.1")));
    ch.ServerAddr = 0xFFFEFDFC;
    EXPECT_EQ(Debug(2, ZEM_DEBUG_SERVER_ADDR, 17), std::make_pair(15, std::string("255.254.253.252")));
    EXPECT_EQ(Debug(1, ZEM_DEBUG_SERVER_ADDR, 17), std::make_pair(7, std::string("0.0.0.0")));
}

TEST_F(Diagnostics, SavedListAndLastRecipient) {
    Channel &ch = Ch(3);
    std::strcpy(ch.SavedList, "a.txt,b.pdf");
    std::strcpy(ch.LastRecipient, "<who@example.com>");
    EXPECT_EQ(Debug(3, ZEM_DEBUG_SAVED_LIST, 100), std::make_pair(11, std::string("a.txt,b.pdf")));
    EXPECT_EQ(Debug(3, ZEM_DEBUG_SAVED_LIST, 4), std::make_pair(3, std::string("a.t")));
    EXPECT_EQ(Debug(3, ZEM_DEBUG_LAST_RECIPIENT, 100), std::make_pair(17, std::string("<who@example.com>")));
    // Full fields without a NUL stop at their own size.
    std::memset(ch.LastRecipient, 'r', sizeof ch.LastRecipient);
    std::memset(ch.SavedList, 's', sizeof ch.SavedList);
    auto recipient = Debug(3, ZEM_DEBUG_LAST_RECIPIENT, 100);
    EXPECT_LE(recipient.first, 34);
    EXPECT_EQ(recipient.second, std::string(static_cast<size_t>(recipient.first), 'r'));
    auto saved = Debug(3, ZEM_DEBUG_SAVED_LIST, 2000);
    EXPECT_LE(saved.first, 1026);
    EXPECT_EQ(saved.second, std::string(static_cast<size_t>(saved.first), 's'));
    ch.LastRecipient[0] = 0;
    ch.SavedList[0] = 0;
}

TEST_F(Diagnostics, RetrievalBufferText) {
    EXPECT_EQ(Debug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, 200).first, ZEM_ERR_NULL_POINTER);

    auto *buf = static_cast<char *>(AllocateMemory(0, 8, 50));
    ASSERT_NE(buf, nullptr);
    std::strcpy(buf, "+OK\r\nSubject: x\r\n");
    EXPECT_EQ(Debug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, 200), std::make_pair(17, std::string("+OK\r\nSubject: x\r\n")));
    EXPECT_EQ(Debug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, 4), std::make_pair(3, std::string("+OK")));
    EXPECT_EQ(Debug(1, ZEM_DEBUG_RETRIEVAL_BUFFER, 200).first, ZEM_ERR_NULL_POINTER); // channel 1 has none
    FreeMemory(0, 8, 8);
    EXPECT_EQ(Debug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, 200).first, ZEM_ERR_NULL_POINTER);

    // A full block is read up to its size and no further.
    auto *full = static_cast<char *>(AllocateMemory(0, 8, 5));
    ASSERT_NE(full, nullptr);
    std::memcpy(full, "ABCDE", 5);
    EXPECT_EQ(Debug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, 200), std::make_pair(5, std::string("ABCDE")));
    FreeMemory(0, 8, 8);

    // A block of size 0 gives 0.
    ASSERT_EQ(BlockAlloc(8, 0), 8);
    EXPECT_EQ(Debug(0, ZEM_DEBUG_RETRIEVAL_BUFFER, 200), std::make_pair(0, std::string("")));
    EXPECT_EQ(BlockFree(8), 1);
}

TEST_F(Diagnostics, DateLineOfAMessageSentNow) {
    auto got = Debug(0, ZEM_DEBUG_DATE_LINE, 200);
    EXPECT_EQ(got.first, 0); // not the length
    EXPECT_TRUE(std::regex_match(got.second, std::regex("Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{1,2} "
                                                        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                        "[0-9]{4} [0-9]{1,2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}")))
        << got.second;
    auto cut = Debug(0, ZEM_DEBUG_DATE_LINE, 5);
    EXPECT_EQ(cut, std::make_pair(0, std::string("Date")));
}

// ---- The memory check ------------------------------------------------------------------------

TEST_F(Diagnostics, MemoryCheckReportsEachDamagedBlock) {
    ASSERT_NE(AllocAndCopy(0, 3, "three"), nullptr);
    ASSERT_NE(AllocAndCopy(2, 5, "twenty-five"), nullptr);
    ASSERT_NE(AllocAndCopy(1, 1, "intact"), nullptr);

    testing::internal::CaptureStderr();
    EXPECT_EQ(zemDebug(-2, 0, nullptr, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    uint8_t *three = BlockRawForTest(3);
    uint8_t *twentyFive = BlockRawForTest(25);
    ASSERT_NE(three, nullptr);
    ASSERT_NE(twentyFive, nullptr);
    three[BlockSize(3) + 1] = 0;
    twentyFive[0] = 'u';

    char buf[8] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
    testing::internal::CaptureStderr();
    EXPECT_EQ(zemDebug(-2, 23, buf, sizeof buf), 0);
    std::string err = testing::internal::GetCapturedStderr();
    size_t a = err.find("Info: Memory Corrupted (zemDebug): ID=3 Err=-106");
    size_t b = err.find("Info: Memory Corrupted (zemDebug): ID=25 Err=-106");
    EXPECT_NE(a, std::string::npos) << err;
    EXPECT_NE(b, std::string::npos) << err;
    EXPECT_LT(a, b) << "blocks are checked in id order";
    EXPECT_EQ(err.find("ID=11"), std::string::npos) << err;
    EXPECT_EQ(buf[0], kSentinel); // the buffer is not looked at

    // Nothing is freed or repaired.
    EXPECT_EQ(BlockIsAllocated(3), 1);
    EXPECT_EQ(BlockCheck(3), -106);
    EXPECT_EQ(BlockCheck(25), -106);

    // Mended, the blocks can go (the release frees them).
    three[BlockSize(3) + 1] = 'z';
    twentyFive[0] = 'U';
    testing::internal::CaptureStderr();
    EXPECT_EQ(zemDebug(-2, 0, nullptr, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(DiagnosticsUnattached, MemoryCheckWorksBeforeAttach) {
    zemRelease();
    testing::internal::CaptureStderr();
    EXPECT_EQ(zemDebug(-2, 0, nullptr, 0), 0);
    EXPECT_EQ(zemDebug(-2, 5, nullptr, 80), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // A loose block of a channel that was never made is still checked.
    ASSERT_EQ(BlockAlloc(1275, 4), 1275);
    BlockRawForTest(1275)[5] = '?';
    testing::internal::CaptureStderr();
    EXPECT_EQ(zemDebug(-2, 0, nullptr, 0), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Info: Memory Corrupted (zemDebug): ID=1275 Err=-106"),
              std::string::npos);
    BlockRawForTest(1275)[5] = 'z';
    EXPECT_EQ(BlockFree(1275), 1);
}

} // namespace
