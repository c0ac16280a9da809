// The library frame: attaching and releasing, the channel record and its defaults, the
// memory blocks with their guard bytes, and the receive ring.
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mime/decoder_area.h"
#include "frame/channel.h"
#include "frame/settings.h"
#include "zem32.h"

namespace {

using namespace zem;

// A scratch directory removed with everything in it when the test ends.
class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/zem-frame-XXXXXX";
        const char *p = mkdtemp(tmpl);
        path_ = p != nullptr ? p : "";
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    std::string File(const char *name) const { return path_ + "/" + name; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Channel *Chan(int32_t n) {
    Channel *ch = nullptr;
    return FindChannel(n, &ch) == 0 ? ch : nullptr;
}

// Each test starts and ends with the library not attached.
class Frame : public ::testing::Test {
protected:
    void SetUp() override { zemRelease(); }
    void TearDown() override { zemRelease(); }
};

// Every export that takes a channel number, asked about channel `chan`.
std::vector<int32_t> ChannelCallResults(int32_t chan) {
    char buf[64];
    return {
        zemErrorText(chan, -73, buf, sizeof buf),
        zemIntegerParam(chan, ZEM_PARAM_STEP_DELAY, 25),
        zemStringParam(chan, ZEM_STRING_LOG_TEXT, "x"),
        zemDebug(chan, 5, buf, sizeof buf),
        zemStatistics(chan, ZEM_STAT_VERSION),
        zemDriver(chan),
        zemClose(chan),
        zemAbort(chan),
        zemSmtpConnect(chan, "127.0.0.1", "<a@b.c>", ""),
        zemVerifyUser(chan, "<a@b.c>"),
        zemSendEmail(chan, "<a@b.c>", "", "", "subject", "text", ""),
        zemSendMessageFile(chan, "<a@b.c>", "", "", "message.eml"),
        zemPop3Connect(chan, "127.0.0.1", "user", "password"),
        zemGetEmailCount(chan),
        zemGetEmailSize(chan, 1),
        zemGetEmailUID(chan, 1, buf, sizeof buf),
        zemDeleteEmail(chan, 1),
        zemCommand(chan, "NOOP"),
        zemGetEmailLines(chan, 1, 0, buf, sizeof buf),
        zemGetEmailFile(chan, 1, "message.eml", "/nonexistent-zem-dir", "/nonexistent-zem-dir"),
    };
}

// ---- Attach and release ------------------------------------------------------------

TEST_F(Frame, EveryChannelCallNeedsAnAttach) {
    for (int32_t r : ChannelCallResults(0)) EXPECT_EQ(r, ZEM_ERR_NOT_ATTACHED);
    for (int32_t r : ChannelCallResults(-1)) EXPECT_EQ(r, ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(ChannelCount(), 0);
}

TEST_F(Frame, AttachWithZeroChannelsLeavesTheLibraryUnattached) {
    EXPECT_EQ(zemAttach(0, 0), 1);
    EXPECT_EQ(ChannelCount(), 0);
    for (int32_t r : ChannelCallResults(0)) EXPECT_EQ(r, ZEM_ERR_NOT_ATTACHED);
    // Not attached, so a real attach works at once.
    EXPECT_EQ(zemAttach(1, 0), 1);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_VERSION), 834);
    // Only the low 16 bits count: 0x10000 is zero channels.
    zemRelease();
    EXPECT_EQ(zemAttach(0x10000, 0), 1);
    EXPECT_EQ(ChannelCount(), 0);
}

TEST_F(Frame, ChannelLimitIs128) {
    EXPECT_EQ(zemAttach(129, 0), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_VERSION), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemAttach(-1, 0), ZEM_ERR_CHANNEL_RANGE); // low 16 bits: 65,535
    EXPECT_EQ(zemAttach(0x10000 + 129, 0), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(ChannelCount(), 0);

    ASSERT_EQ(zemAttach(128, 0), 1);
    EXPECT_EQ(ChannelCount(), 128);
    EXPECT_EQ(zemStatistics(127, ZEM_STAT_VERSION), 834);
    for (int32_t r : ChannelCallResults(128)) EXPECT_EQ(r, ZEM_ERR_CHANNEL_RANGE);
    for (int32_t r : ChannelCallResults(-1)) EXPECT_EQ(r, ZEM_ERR_CHANNEL_RANGE);
    for (int32_t i = 0; i < 128; ++i) {
        Channel *ch = Chan(i);
        ASSERT_NE(ch, nullptr) << i;
        EXPECT_EQ(ch->ChannelNo, i);
        EXPECT_EQ(ch, BlockGet(i * 10)); // the record is the user area of block 0
        // The record, the receive ring and the incoming decoder's area.
        EXPECT_EQ(BlockSize(i * 10), kChannelBlockSize);
    }
}

TEST_F(Frame, LowSixteenBitsGiveTheCountAndReservedIsIgnored) {
    ASSERT_EQ(zemAttach(0x70002, 0x12345678), 1);
    EXPECT_EQ(ChannelCount(), 2);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_BUILD), 8);
    EXPECT_EQ(zemStatistics(2, ZEM_STAT_BUILD), ZEM_ERR_CHANNEL_RANGE);
}

TEST_F(Frame, AttachWhileAttachedChangesNothing) {
    ASSERT_EQ(zemAttach(3, 0), 1);
    ASSERT_EQ(zemIntegerParam(2, ZEM_PARAM_SMTP_PORT, 2525), 1);
    Channel *before = Chan(2);
    EXPECT_EQ(zemAttach(5, 0), ZEM_ERR_ALREADY_ATTACHED);
    EXPECT_EQ(zemAttach(0, 0), ZEM_ERR_ALREADY_ATTACHED);
    EXPECT_EQ(zemAttach(200, 0), ZEM_ERR_ALREADY_ATTACHED); // -72 is checked before the count
    EXPECT_EQ(ChannelCount(), 3);
    EXPECT_EQ(Chan(2), before);
    EXPECT_EQ(Chan(2)->SmtpPort, 2525);
    EXPECT_EQ(zemStatistics(3, ZEM_STAT_BUILD), ZEM_ERR_CHANNEL_RANGE);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Runs in a child process: the address space is capped so that the channel records run
// out part of the way through the attach. Returns 0 when everything held.
int AttachUnderMemoryCap() {
    zemRelease();
    mallopt(M_MMAP_THRESHOLD, 4096); // every record gets fresh address space of its own
    long vmKb = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) vmKb = std::strtol(line.c_str() + 7, nullptr, 10);
    if (vmKb <= 0) return 10;
    rlimit old{};
    getrlimit(RLIMIT_AS, &old);
    rlimit cap = old;
    cap.rlim_cur = static_cast<rlim_t>(vmKb + 256) * 1024; // room for some 18 records of 128
    if (setrlimit(RLIMIT_AS, &cap) != 0) return 11;
    int32_t r = zemAttach(128, 0);
    setrlimit(RLIMIT_AS, &old);
    if (r != ZEM_ERR_NO_MEMORY) return 12;
    if (ChannelCount() != 0) return 13;
    for (int32_t i = 0; i < 128; ++i)
        if (BlockIsAllocated(i * 10) != 0 || gChannelTable[i].ChannelPtr != nullptr) return 14;
    if (zemStatistics(0, ZEM_STAT_VERSION) != ZEM_ERR_NOT_ATTACHED) return 15;
    // The failure leaves nothing behind that a later attach would trip over.
    if (zemAttach(128, 0) != 1) return 16;
    if (zemStatistics(127, ZEM_STAT_VERSION) != 834) return 17;
    zemRelease();
    return 0;
}

TEST_F(Frame, FailedAttachFreesWhatItMade) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(AttachUnderMemoryCap()), ::testing::ExitedWithCode(0), "");
}
#endif

TEST_F(Frame, ConcurrentAttachesLetExactlyOneWin) {
    for (int round = 0; round < 20; ++round) {
        std::vector<int32_t> results(6, 0);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < results.size(); ++i)
            threads.emplace_back([&results, i] { results[i] = zemAttach(static_cast<int32_t>(i) + 1, 0); });
        for (auto &t : threads) t.join();
        int wins = 0;
        for (int32_t r : results) {
            if (r == 1) ++wins;
            else EXPECT_EQ(r, ZEM_ERR_ALREADY_ATTACHED);
        }
        ASSERT_EQ(wins, 1) << "round " << round;
        EXPECT_EQ(zemRelease(), 1);
    }
}

TEST_F(Frame, ReleaseTwiceAndAttachAgain) {
    EXPECT_EQ(zemRelease(), 1); // not attached: nothing to do
    ASSERT_EQ(zemAttach(2, 0), 1);
    ASSERT_EQ(zemIntegerParam(1, ZEM_PARAM_SMTP_PORT, 587), 1);
    ASSERT_EQ(zemIntegerParam(1, ZEM_PARAM_AUTO_CALL, 0), 1);
    EXPECT_EQ(zemRelease(), 1);
    EXPECT_EQ(ChannelCount(), 0);
    EXPECT_EQ(BlockIsAllocated(0), 0);
    EXPECT_EQ(BlockIsAllocated(10), 0);
    for (int32_t r : ChannelCallResults(0)) EXPECT_EQ(r, ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemRelease(), 1);
    EXPECT_EQ(ChannelCount(), 0);

    // A new attach makes fresh channels with their defaults.
    ASSERT_EQ(zemAttach(2, 0), 1);
    ASSERT_NE(Chan(1), nullptr);
    EXPECT_EQ(Chan(1)->SmtpPort, 25);
    EXPECT_EQ(Chan(1)->AutoCall, 1);
    EXPECT_EQ(zemStatistics(1, ZEM_STAT_VERSION), 834);
}

TEST_F(Frame, FreshChannelDefaults) {
    ASSERT_EQ(zemAttach(3, 0), 1);
    for (int32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        Channel *ch = Chan(i);
        ASSERT_NE(ch, nullptr);
        EXPECT_EQ(ch->ChannelNo, i);
        EXPECT_EQ(ch->PrevState, -2);
        EXPECT_EQ(ch->ThisState, -1);
        EXPECT_EQ(ch->NextState, 0);
        EXPECT_EQ(ch->SmtpPort, 25);
        EXPECT_EQ(ch->Pop3Port, 110);
        EXPECT_EQ(ch->AutoCall, 1);
        EXPECT_EQ(ch->NonBlockingConnect, 1);
        EXPECT_EQ(ch->InlineImages, 1);
        EXPECT_EQ(ch->WaitWritable, 0);
        EXPECT_EQ(ch->AttachNumber, 0);
        EXPECT_EQ(ch->LogFile, 0);
        EXPECT_EQ(ch->Protocol, 0);
        EXPECT_EQ(ch->BodyType, 0);
        EXPECT_EQ(ch->NumberedNames, 0);
        EXPECT_EQ(ch->SaveNoname, 0);
        EXPECT_EQ(ch->SaveRaw, 0);
        EXPECT_EQ(ch->UseEhlo, 0);
        EXPECT_EQ(ch->UseApop, 0);
        EXPECT_EQ(ch->RingHead, 0);
        EXPECT_EQ(ch->RingTail, 0);
        EXPECT_EQ(ch->ExtraHeaders, nullptr);
        EXPECT_EQ(ch->ToList, nullptr);
        EXPECT_EQ(ch->FromAddress[0], 0);
        EXPECT_EQ(ch->ReplyBuffer[0], 0);
        // The text cursor points at an empty text, never at nothing.
        ASSERT_NE(ch->TextCursor, nullptr);
        EXPECT_EQ(ch->TextCursor[0], 0);
        // Only block 0 exists for a fresh channel.
        EXPECT_EQ(BlockIsAllocated(i * 10), 1);
        for (int slot = 1; slot < 10; ++slot) EXPECT_EQ(BlockIsAllocated(i * 10 + slot), 0) << slot;
    }
    // The same defaults as the application sees them.
    EXPECT_EQ(zemStatistics(2, ZEM_STAT_STEP_COUNT), 0);
    EXPECT_EQ(zemStatistics(2, ZEM_STAT_LAST_SOCK_CODE), 0);
    EXPECT_EQ(zemStatistics(2, ZEM_STAT_SOCKET), 0);
}

TEST_F(Frame, ChannelRecordBuffersHaveTheirExactSizes) {
    Channel *c = nullptr;
    EXPECT_EQ(sizeof c->TextBuffer, 2050u);
    EXPECT_EQ(sizeof c->CmdBuffer, 2050u);
    EXPECT_EQ(sizeof c->ReplyBuffer, 2050u);
    EXPECT_EQ(sizeof c->ReadAhead, 2050u);
    EXPECT_EQ(sizeof c->LastReply, 130u);
    EXPECT_EQ(sizeof c->ServerName, 130u);
    EXPECT_EQ(sizeof c->FromAddress, 130u);
    EXPECT_EQ(sizeof c->ReplyToAddress, 130u);
    EXPECT_EQ(sizeof c->UserName, 66u);
    EXPECT_EQ(sizeof c->Password, 66u);
    EXPECT_EQ(sizeof c->SavedList, 1026u);
    EXPECT_EQ(sizeof c->CommandText, 34u);
    EXPECT_EQ(sizeof c->LastRecipient, 34u);
    EXPECT_EQ(sizeof c->AuthPassword, 66u);
    EXPECT_EQ(sizeof c->AuthWork, 132u);
    EXPECT_EQ(sizeof c->RecvBuffer, 1024u);
    // The text buffers lie back to back and fill 11,184 bytes.
    EXPECT_EQ(offsetof(Channel, AuthWork) + sizeof c->AuthWork - offsetof(Channel, TextBuffer), 11184u);
    EXPECT_EQ(offsetof(Channel, CmdBuffer) - offsetof(Channel, TextBuffer), 2050u);
    EXPECT_EQ(offsetof(Channel, SavedList) - offsetof(Channel, TextBuffer), 4 * 2050u + 130u * 6 + 66u * 2 + 130u * 6);
}

TEST_F(Frame, BoundaryTemplateCarriesTheTickOfTheAttach) {
    uint32_t before = static_cast<uint32_t>(TickLow32(TickNow()));
    ASSERT_EQ(zemAttach(1, 0), 1);
    uint32_t after = static_cast<uint32_t>(TickLow32(TickNow()));
    std::string t = gBoundaryTemplate;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(t, m, std::regex("=====_ZEM(-?[1-9][0-9]*|0)_====="))) << t;
    EXPECT_LE(t.size(), 26u);
    long long v = std::strtoll(m[1].str().c_str(), nullptr, 10);
    ASSERT_GE(v, INT32_MIN);
    ASSERT_LE(v, INT32_MAX);
    // The printed number is the 32-bit tick read as signed: compare it as unsigned ticks.
    uint32_t tick = static_cast<uint32_t>(static_cast<int32_t>(v));
    EXPECT_LE(tick - before, after - before) << t;

    // The template shows the low 32 bits of the clock read as a signed number.
    EXPECT_EQ(TickLow32(0x80000000ull), INT32_MIN);
    EXPECT_EQ(TickLow32(0x1FFFFFFFFull), -1);
    EXPECT_EQ(TickLow32(0x100000005ull), 5);
    // Room for the longest form, "=====_ZEM-2147483648_=====" (26 characters) and its NUL.
    EXPECT_EQ(sizeof gBoundaryTemplate, 27u);
}

TEST_F(Frame, ReleaseWritesItsLineLastInEveryLog) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(zemAttach(3, 0), 1);
    std::string log0 = dir.File("zero.log"), log2 = dir.File("two.log");
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log0.c_str()), 0);
    ASSERT_GT(zemStringParam(2, ZEM_STRING_LOG_FILE, log2.c_str()), 0);
    ASSERT_GT(zemStringParam(2, ZEM_STRING_LOG_TEXT, "before"), 0);
    // Blocks 1 to 9 go at release too.
    ASSERT_NE(AllocAndCopy(2, 4, "subject"), nullptr);
    ASSERT_NE(AllocateMemory(0, 9, 10), nullptr);
    EXPECT_EQ(zemRelease(), 1);
    EXPECT_EQ(ReadAll(log0), "Releasing channel 0\r\n");
    EXPECT_EQ(ReadAll(log2), "*** zemStringParam(2,52,before)\r\nbefore\r\nReleasing channel 2\r\n");
    EXPECT_EQ(BlockIsAllocated(24), 0);
    EXPECT_EQ(BlockIsAllocated(9), 0);
    EXPECT_EQ(BlockIsAllocated(20), 0);
}

// ---- Memory blocks -----------------------------------------------------------------

TEST_F(Frame, BlockCodes) {
    ASSERT_EQ(zemAttach(1, 0), 1);
    // Ids of channels that do not exist still have their table entries.
    EXPECT_EQ(BlockAlloc(1280, 10), -100);
    EXPECT_EQ(BlockAlloc(-1, 10), -100);
    EXPECT_EQ(BlockCheck(1280), -100);
    EXPECT_EQ(BlockFree(1280), -100);
    EXPECT_EQ(BlockSize(1280), -100);
    EXPECT_EQ(BlockIsAllocated(1280), -100);
    EXPECT_EQ(BlockGet(1280), nullptr);

    EXPECT_EQ(BlockIsAllocated(1279), 0);
    EXPECT_EQ(BlockCheck(1279), -104);
    EXPECT_EQ(BlockFree(1279), -104);
    EXPECT_EQ(BlockSize(1279), -104);
    EXPECT_EQ(BlockGet(1279), nullptr);

    ASSERT_EQ(BlockAlloc(1279, 10), 1279);
    EXPECT_EQ(BlockAlloc(1279, 10), -103);
    EXPECT_EQ(BlockIsAllocated(1279), 1);
    EXPECT_EQ(BlockCheck(1279), 1);
    EXPECT_EQ(BlockSize(1279), 10);
    EXPECT_NE(BlockGet(1279), nullptr);
    EXPECT_EQ(BlockFree(1279), 1);
    EXPECT_EQ(BlockFree(1279), -104);
    EXPECT_EQ(BlockCheck(1279), -104);
    EXPECT_EQ(BlockGet(1279), nullptr);
    EXPECT_EQ(BlockSize(1279), -104);
    EXPECT_EQ(BlockIsAllocated(1279), 0);

    // A block of user size 0 exists but has nothing to check.
    ASSERT_EQ(BlockAlloc(55, 0), 55);
    EXPECT_EQ(BlockIsAllocated(55), 1);
    EXPECT_EQ(BlockCheck(55), -104);
    EXPECT_EQ(BlockFree(55), 1);

    // A negative size allocates nothing.
    EXPECT_LT(BlockAlloc(56, -1), 0);
    EXPECT_EQ(BlockIsAllocated(56), 0);
}

TEST_F(Frame, GuardBytesFrameTheUserArea) {
    ASSERT_EQ(zemAttach(1, 0), 1);
    ASSERT_EQ(BlockAlloc(57, 5), 57);
    uint8_t *raw = BlockRawForTest(57);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(BlockGet(57), raw + 1);
    EXPECT_EQ(raw[0], 'U');
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(raw[i], 0) << i; // zero-filled
    EXPECT_EQ(raw[6], 'z');
    EXPECT_EQ(raw[7], 0);

    // The user area (a Channel record among others) is aligned for any type.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(BlockGet(57)) % alignof(std::max_align_t), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(BlockGet(0)) % alignof(std::max_align_t), 0u);

    raw[0] = 'V';
    EXPECT_EQ(BlockCheck(57), -106);
    raw[0] = 'U';
    EXPECT_EQ(BlockCheck(57), 1);
    raw[6] = 0; // a text one byte too long overwrites the trailing guard with its NUL
    EXPECT_EQ(BlockCheck(57), -106);
    raw[6] = 'z';
    // Writing the whole user area is fine.
    std::memset(raw + 1, 'A', 5);
    EXPECT_EQ(BlockCheck(57), 1);
    EXPECT_EQ(BlockFree(57), 1);
    EXPECT_EQ(BlockRawForTest(57), nullptr);
}

TEST_F(Frame, FreeMemoryStopsAtADamagedBlock) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(zemAttach(2, 0), 1);
    std::string log = dir.File("chan.log");
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log.c_str()), 0);
    for (int slot = 1; slot <= 6; ++slot) ASSERT_NE(AllocAndCopy(0, slot, "text"), nullptr) << slot;
    uint8_t *raw = BlockRawForTest(3);
    ASSERT_NE(raw, nullptr);
    raw[BlockSize(3) + 1] = '!';

    FreeMemory(0, 1, 9);
    EXPECT_EQ(ReadAll(log), "FreeMemory Error: Chan=0, Index=3, Code=-106\r\n");
    EXPECT_EQ(BlockIsAllocated(1), 0);
    EXPECT_EQ(BlockIsAllocated(2), 0);
    for (int slot = 3; slot <= 6; ++slot) EXPECT_EQ(BlockIsAllocated(slot), 1) << slot;

    // Mended, the same call frees the rest and logs nothing more.
    raw[BlockSize(3) + 1] = 'z';
    FreeMemory(0, 1, 9);
    for (int slot = 1; slot <= 9; ++slot) EXPECT_EQ(BlockIsAllocated(slot), 0) << slot;
    EXPECT_EQ(ReadAll(log), "FreeMemory Error: Chan=0, Index=3, Code=-106\r\n");
    EXPECT_EQ(BlockIsAllocated(0), 1); // the record was never in the range
}

TEST_F(Frame, FreeMemorySkipsFreeSlotsAndLogsNothing) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(zemAttach(2, 0), 1);
    std::string log = dir.File("chan.log");
    ASSERT_GT(zemStringParam(1, ZEM_STRING_LOG_FILE, log.c_str()), 0);
    ASSERT_NE(AllocAndCopy(1, 2, "two"), nullptr);
    ASSERT_NE(AllocAndCopy(1, 8, "eight"), nullptr);
    ASSERT_NE(AllocAndCopy(0, 2, "other channel"), nullptr);
    FreeMemory(1, 1, 9);
    EXPECT_EQ(BlockIsAllocated(12), 0);
    EXPECT_EQ(BlockIsAllocated(18), 0);
    EXPECT_EQ(BlockIsAllocated(2), 1); // another channel's block stays
    EXPECT_EQ(ReadAll(log), "");
    FreeMemory(0, 2, 2);
}

TEST_F(Frame, AllocateMemoryLogsItsFailure) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(zemAttach(2, 0), 1);
    std::string log = dir.File("chan.log");
    ASSERT_GT(zemStringParam(1, ZEM_STRING_LOG_FILE, log.c_str()), 0);
    void *p = AllocateMemory(1, 8, 100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p, BlockGet(18));
    EXPECT_EQ(BlockSize(18), 100);
    EXPECT_EQ(AllocateMemory(1, 8, 100), nullptr);
    EXPECT_EQ(ReadAll(log), "AllocateMemory Error: Chan=1, Index=8, Code=-103\r\n");
    EXPECT_EQ(BlockGet(18), p); // the first block is untouched
    // A channel beyond the table has no log to write to and no block.
    EXPECT_EQ(AllocateMemory(128, 0, 10), nullptr);
    FreeMemory(1, 8, 8);
}

TEST_F(Frame, AllocAndCopyMakesExactBlocksAndReplacesOldCopies) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(zemAttach(1, 0), 1);
    std::string log = dir.File("chan.log");
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, log.c_str()), 0);

    EXPECT_EQ(AllocAndCopy(0, 4, ""), nullptr);
    EXPECT_EQ(BlockIsAllocated(4), 0);
    EXPECT_EQ(ReadAll(log), "AllocAndCopy Error 1: Chan=0, Index=4, Code=0\r\n");

    char *p = AllocAndCopy(0, 4, "hello");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "hello");
    EXPECT_EQ(BlockSize(4), 7); // length + 2
    uint8_t *raw = BlockRawForTest(4);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(raw), 10), std::string("Uhello\0\0z\0", 10));

    // A new copy replaces the old one, whatever its length.
    char *q = AllocAndCopy(0, 4, "a much longer subject line");
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q, "a much longer subject line");
    EXPECT_EQ(BlockSize(4), 28);
    EXPECT_EQ(BlockCheck(4), 1);
    char *r = AllocAndCopy(0, 4, "x");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(BlockSize(4), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(BlockRawForTest(4)), 6), std::string("Ux\0\0z\0", 6));
    EXPECT_EQ(ReadAll(log), "AllocAndCopy Error 1: Chan=0, Index=4, Code=0\r\n"); // no more errors
    FreeMemory(0, 4, 4);
}

TEST_F(Frame, FreeingABlockClearsThePointersIntoIt) {
    ASSERT_EQ(zemAttach(2, 0), 1);
    Channel *ch = Chan(0);
    ASSERT_NE(ch, nullptr);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_EXTRA_HEADERS, "X-Test: 1"), 4);
    ASSERT_NE(ch->ExtraHeaders, nullptr);
    EXPECT_EQ(ch->ExtraHeaders, BlockGet(7));
    FreeMemory(0, 7, 7);
    EXPECT_EQ(ch->ExtraHeaders, nullptr);

    ch->ToList = AllocAndCopy(0, 1, "<a@b.c>,<d@e.f>");
    ASSERT_NE(ch->ToList, nullptr);
    ch->ListCursor = ch->ToList + 8;
    ch->SeparatorPos = ch->ToList + 7;
    ch->Subject = AllocAndCopy(0, 4, "subject");
    ASSERT_NE(ch->Subject, nullptr);
    char *text = AllocAndCopy(0, 5, "message text");
    ASSERT_NE(text, nullptr);
    ch->TextCursor = text + 3;
    ch->AttachList = AllocAndCopy(0, 6, "a.txt,b.txt");
    ASSERT_NE(ch->AttachList, nullptr);
    ch->AttachCursor = ch->AttachList + 6;

    FreeMemory(0, 1, 1);
    EXPECT_EQ(ch->ToList, nullptr);
    EXPECT_EQ(ch->ListCursor, nullptr);
    EXPECT_EQ(ch->SeparatorPos, nullptr);
    EXPECT_EQ(ch->Subject, BlockGet(4)); // points into another block: kept
    EXPECT_STREQ(ch->Subject, "subject");

    FreeMemory(0, 5, 5);
    ASSERT_NE(ch->TextCursor, nullptr); // the empty text, not nothing
    EXPECT_EQ(ch->TextCursor[0], 0);
    EXPECT_EQ(ch->AttachList, BlockGet(6));

    // Freeing another channel's blocks leaves this record alone.
    ASSERT_NE(AllocAndCopy(1, 6, "x"), nullptr);
    FreeMemory(1, 6, 6);
    EXPECT_EQ(ch->AttachList, BlockGet(6));

    FreeMemory(0, 1, 9);
    EXPECT_EQ(ch->Subject, nullptr);
    EXPECT_EQ(ch->AttachList, nullptr);
    EXPECT_EQ(ch->AttachCursor, nullptr);
}

// ---- Receive ring --------------------------------------------------------------------

class Ring : public Frame {
protected:
    void SetUp() override {
        Frame::SetUp();
        ASSERT_EQ(zemAttach(1, 0), 1);
        ch_ = Chan(0);
        ASSERT_NE(ch_, nullptr);
    }
    static std::string Bytes(size_t n, int seed) {
        std::string s(n, 0);
        for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) % 251 + 1);
        return s;
    }
    int32_t Put(const std::string &s) { return RingPut(*ch_, s.data(), static_cast<int32_t>(s.size())); }
    std::string Take(int32_t max) {
        std::string out(static_cast<size_t>(max) + 1, '#');
        int32_t n = RingTake(*ch_, &out[0], max);
        EXPECT_GE(n, 0);
        EXPECT_EQ(out[static_cast<size_t>(n)], '#'); // nothing written past the bytes moved
        out.resize(static_cast<size_t>(n));
        return out;
    }
    std::string Peek(int32_t max) {
        std::string out(static_cast<size_t>(max) + 1, '#');
        int32_t n = RingPeek(*ch_, &out[0], max);
        EXPECT_EQ(out[static_cast<size_t>(n)], '#');
        out.resize(static_cast<size_t>(n));
        return out;
    }
    Channel *ch_ = nullptr;
};

TEST_F(Ring, EmptyRingGivesNothing) {
    EXPECT_EQ(RingCount(*ch_), 0);
    EXPECT_EQ(Take(100), "");
    EXPECT_EQ(Peek(100), "");
    EXPECT_EQ(Put(""), 0);
    EXPECT_EQ(RingCount(*ch_), 0);
}

TEST_F(Ring, HoldsAtMost1023Bytes) {
    std::string data = Bytes(1023, 1);
    EXPECT_EQ(Put(data), 1023);
    EXPECT_EQ(RingCount(*ch_), 1023);
    EXPECT_EQ(Peek(2000), data);
    EXPECT_EQ(RingCount(*ch_), 1023); // peeking removes nothing
    EXPECT_EQ(Take(2000), data);
    EXPECT_EQ(RingCount(*ch_), 0);
    EXPECT_EQ(ch_->RingHead, 0); // an emptied ring starts over at 0
    EXPECT_EQ(ch_->RingTail, 0);

    // The 1,024th byte fills the ring, which drops everything unread.
    EXPECT_EQ(Put(Bytes(1024, 2)), 1024);
    EXPECT_EQ(RingCount(*ch_), 0);
    EXPECT_EQ(ch_->RingHead, 0);
    EXPECT_EQ(ch_->RingTail, 0);
    EXPECT_EQ(Take(2000), "");

    // Filling goes on at index 0 after the drop.
    std::string more = Bytes(1030, 3);
    EXPECT_EQ(Put(more), 1030);
    EXPECT_EQ(ch_->RingHead, 0);
    EXPECT_EQ(ch_->RingTail, 6);
    EXPECT_EQ(Take(2000), more.substr(1024));
}

TEST_F(Ring, TakeAndPeekRespectTheirMaximum) {
    std::string data = Bytes(20, 4);
    Put(data);
    EXPECT_EQ(Peek(5), data.substr(0, 5));
    EXPECT_EQ(Take(8), data.substr(0, 8));
    EXPECT_EQ(ch_->RingHead, 8);
    EXPECT_EQ(ch_->RingTail, 20);
    EXPECT_EQ(Peek(5), data.substr(8, 5));
    EXPECT_EQ(Take(0), "");
    EXPECT_EQ(Take(12), data.substr(8));
    EXPECT_EQ(ch_->RingHead, 0);
    EXPECT_EQ(ch_->RingTail, 0);
}

TEST_F(Ring, WrapsAroundTheEnd) {
    std::string first = Bytes(1000, 5), second = Bytes(500, 6);
    Put(first);
    EXPECT_EQ(Take(900), first.substr(0, 900));
    EXPECT_EQ(Put(second), 500);
    EXPECT_EQ(ch_->RingHead, 900);
    EXPECT_EQ(ch_->RingTail, (1000 + 500) % 1024);
    EXPECT_EQ(RingCount(*ch_), 600);
    std::string expected = first.substr(900) + second;
    EXPECT_EQ(Peek(1024), expected);
    EXPECT_EQ(Take(150), expected.substr(0, 150)); // across the end of the buffer
    EXPECT_EQ(ch_->RingHead, (900 + 150) % 1024);
    EXPECT_EQ(Take(1024), expected.substr(150));
    EXPECT_EQ(RingCount(*ch_), 0);
}

TEST_F(Ring, OverflowWhileNotEmptyKeepsOnlyWhatFollows) {
    std::string first = Bytes(1000, 7);
    Put(first);
    Take(900); // head 900, tail 1000: 100 unread
    std::string burst = Bytes(1023, 8);
    EXPECT_EQ(Put(burst), 1023);
    // The ring is full after 924 bytes (tail reaches head): all unread is dropped, and the
    // remaining 99 bytes start over at index 0.
    EXPECT_EQ(RingCount(*ch_), 99);
    EXPECT_EQ(ch_->RingHead, 0);
    EXPECT_EQ(ch_->RingTail, 99);
    EXPECT_EQ(std::string(RecvRing(*ch_), 99), burst.substr(924));
    EXPECT_EQ(Take(2000), burst.substr(924));
}

} // namespace
