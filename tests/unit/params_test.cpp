// zemIntegerParam and zemStringParam: every code's effect, the log lines they write, and
// the library-wide settings that outlive a release.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "frame/channel.h"
#include "frame/settings.h"
#include "lib_fixture.h"
#include "zem32.h"

namespace {

using namespace zem;

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int OpenDescriptors() {
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++n;
    }
    return n;
}

class Params : public zt::LibTest {
protected:
    void SetUp() override {
        zt::LibTest::SetUp();
        char tmpl[] = "/tmp/zem-params-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        zt::LibTest::TearDown(); // closes the logs first
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string File(const char *name) const { return dir_ + "/" + name; }
    // Opens a log for the channel and returns its path.
    std::string OpenLog(int32_t chan, const char *name = "chan.log") {
        std::string path = File(name);
        EXPECT_GT(zemStringParam(chan, ZEM_STRING_LOG_FILE, path.c_str()), 0);
        return path;
    }
    static Channel &Ch(int32_t n) {
        Channel *ch = nullptr;
        EXPECT_EQ(FindChannel(n, &ch), 0);
        return *ch;
    }
    std::string dir_;
};

// ---- Log lines -------------------------------------------------------------------------

TEST_F(Params, IntegerParamWritesItsEntryLineEvenForAnUnknownCode) {
    std::string log = OpenLog(0);
    EXPECT_EQ(ReadAll(log), ""); // the call that opened the log is not in it
    EXPECT_EQ(zemIntegerParam(0, 4, 1), -1);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_REPLY_TIMEOUT, -5), 1);
    EXPECT_EQ(zemIntegerParam(0, 2147, INT_MIN), -1);
    EXPECT_EQ(ReadAll(log), "*** zemIntegerParam(0,4,1)\r\n"
                            "*** zemIntegerParam(0,2,-5)\r\n"
                            "*** zemIntegerParam(0,2147,-2147483648)\r\n");
}

TEST_F(Params, StringParamWritesItsEntryLine) {
    std::string log = OpenLog(3);
    EXPECT_EQ(zemStringParam(3, ZEM_STRING_FROM, "<me@example.com>"), 16);
    EXPECT_EQ(zemStringParam(3, 99, "odd"), -1);
    EXPECT_EQ(zemStringParam(3, ZEM_STRING_REPLY_TO, ""), 0);
    EXPECT_EQ(ReadAll(log), "*** zemStringParam(3,53,<me@example.com>)\r\n"
                            "*** zemStringParam(3,99,odd)\r\n"
                            "*** zemStringParam(3,50,)\r\n");
}

TEST_F(Params, RefusedCallsWriteNoLine) {
    std::string log = OpenLog(0);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_FROM, nullptr), ZEM_ERR_NULL_POINTER);
    EXPECT_EQ(zemIntegerParam(4, 1, 1), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemIntegerParam(-1, 1, 1), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemStringParam(4, ZEM_STRING_FROM, "x"), ZEM_ERR_CHANNEL_RANGE);
    EXPECT_EQ(zemStringParam(4, ZEM_STRING_FROM, nullptr), ZEM_ERR_CHANNEL_RANGE);
    // Other channels' calls go to their own log, not this one.
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_STEP_DELAY, 30), 1);
    EXPECT_EQ(ReadAll(log), "");
}

TEST_F(Params, ApplicationTextGoesToTheLog) {
    EXPECT_EQ(zemStringParam(1, ZEM_STRING_LOG_TEXT, "no log yet"), 0);
    std::string path = File("one.log");
    int32_t h = zemStringParam(1, ZEM_STRING_LOG_FILE, path.c_str());
    ASSERT_GT(h, 0);
    EXPECT_EQ(zemStringParam(1, ZEM_STRING_LOG_TEXT, "hello world"), h);
    EXPECT_EQ(zemStringParam(1, ZEM_STRING_LOG_TEXT, ""), h);
    EXPECT_EQ(ReadAll(path), "*** zemStringParam(1,52,hello world)\r\nhello world\r\n"
                             "*** zemStringParam(1,52,)\r\n\r\n");
    // A channel without a log writes nothing anywhere.
    EXPECT_EQ(zemStringParam(2, ZEM_STRING_LOG_TEXT, "elsewhere"), 0);
    EXPECT_EQ(ReadAll(path).find("elsewhere"), std::string::npos);
}

TEST_F(Params, OverlongTextsAreCutInTheLog) {
    // TextBuffer holds 2,050 bytes: every line formatted there keeps 2,049 characters.
    std::string log = OpenLog(0);
    std::string huge(3000, 'x');
    int32_t h = Ch(0).LogFile;
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_LOG_TEXT, huge.c_str()), h);
    std::string entry = "*** zemStringParam(0,52," + huge + ")\r\n";
    std::string expected = entry.substr(0, 2049) + std::string(2049, 'x');
    EXPECT_EQ(ReadAll(log), expected);

    // The copy into FromAddress is cut at 128 as usual.
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_FROM, huge.c_str()), 128);
    EXPECT_EQ(std::string(Ch(0).FromAddress), std::string(128, 'x'));
    std::string entry53 = "*** zemStringParam(0,53," + huge + ")\r\n";
    EXPECT_EQ(ReadAll(log), expected + entry53.substr(0, 2049));
    EXPECT_EQ(Ch(0).TextBuffer[2049], 0);
}

TEST_F(Params, LogFileIsPrivateAndReplacesTheOldOne) {
    std::string first = File("first.log"), second = File("second.log");
    {
        std::ofstream pre(second, std::ios::binary);
        pre << "old contents that must go";
    }
    int base = OpenDescriptors();
    int32_t h1 = zemStringParam(0, ZEM_STRING_LOG_FILE, first.c_str());
    ASSERT_GT(h1, 0);
    EXPECT_EQ(OpenDescriptors(), base + 1);
    struct stat st {};
    ASSERT_EQ(stat(first.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    int32_t h2 = zemStringParam(0, ZEM_STRING_LOG_FILE, second.c_str());
    ASSERT_GT(h2, 0);
    EXPECT_EQ(OpenDescriptors(), base + 1); // the first log was closed
    EXPECT_EQ(Ch(0).LogFile, h2);
    // The call itself went to the old log, just before it was closed.
    EXPECT_EQ(ReadAll(first), "*** zemStringParam(0,20," + second + ")\r\n");
    EXPECT_EQ(ReadAll(second), ""); // created empty (truncated)
    ASSERT_EQ(stat(second.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_EQ(zemStringParam(0, ZEM_STRING_LOG_TEXT, "into the second"), h2);
    EXPECT_EQ(ReadAll(second), "*** zemStringParam(0,52,into the second)\r\ninto the second\r\n");

    zemRelease();
    EXPECT_EQ(OpenDescriptors(), base);
    EXPECT_EQ(ReadAll(second), "*** zemStringParam(0,52,into the second)\r\ninto the second\r\nReleasing channel 0\r\n");
}

TEST_F(Params, LogFileThatCannotBeCreated) {
    int base = OpenDescriptors();
    std::string bad = File("no/such/dir/x.log");
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_LOG_FILE, bad.c_str()), -1);
    EXPECT_EQ(Ch(0).LogFile, 0);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_LOG_TEXT, "x"), 0);
    // Replacing an open log by one that fails leaves no log and no open descriptor.
    std::string good = OpenLog(0);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_LOG_FILE, bad.c_str()), -1);
    EXPECT_EQ(Ch(0).LogFile, 0);
    EXPECT_EQ(OpenDescriptors(), base);
    EXPECT_EQ(ReadAll(good), "*** zemStringParam(0,20," + bad + ")\r\n");
}

// ---- Library-wide numbers ------------------------------------------------------------------

TEST_F(Params, LibraryWideNumbersAreStoredWhole) {
    struct Case {
        int32_t code;
        const std::atomic<int32_t> *setting;
    };
    LibrarySettings &s = gSettings;
    const Case cases[] = {{1, &s.stepDelay},      {2, &s.replyTimeout},    {3, &s.connectTimeout},
                          {5, &s.dataLinePause},  {11, &s.dataLineTimeout}, {12, &s.pop3DataWait},
                          {13, &s.pollInterval}};
    int32_t value = 70001;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        // Set on channel 2: every channel uses it.
        EXPECT_EQ(zemIntegerParam(2, c.code, value), 1);
        EXPECT_EQ(P(*c.setting), value);
        EXPECT_EQ(zemIntegerParam(0, c.code, -value), 1); // no range check
        EXPECT_EQ(P(*c.setting), -value);
        ++value;
    }
}

TEST_F(Params, InitialLibraryWideValues) {
    // The fixture puts these back; they are the values the library starts with.
    LibrarySettings fresh;
    EXPECT_EQ(P(fresh.stepDelay), 25);
    EXPECT_EQ(P(fresh.replyTimeout), 25000);
    EXPECT_EQ(P(fresh.connectTimeout), 60000);
    EXPECT_EQ(P(fresh.dataLinePause), 0);
    EXPECT_EQ(P(fresh.dataLineTimeout), 25000);
    EXPECT_EQ(P(fresh.pop3DataWait), 25000);
    EXPECT_EQ(P(fresh.pollInterval), 100);
    EXPECT_EQ(P(fresh.maxLineLength), 78);
    EXPECT_EQ(P(fresh.wrapColumn), 61);
    EXPECT_EQ(fresh.cleanupAtRelease.load(), 1);
    EXPECT_EQ(fresh.pass8Bit.load(), 0);
    EXPECT_EQ(fresh.noSavedNote.load(), 0);
    EXPECT_EQ(fresh.omitTo.load(), 0);
    EXPECT_EQ(fresh.recipientSep.load(), ',');
    EXPECT_EQ(fresh.attachSep.load(), ',');
    EXPECT_EQ(fresh.displaySep.load(), '|');
}

TEST_F(Params, Code6SetsBothDataWaits) {
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_DATA_TIMEOUTS, 5000), 1);
    EXPECT_EQ(P(gSettings.dataLineTimeout), 5000);
    EXPECT_EQ(P(gSettings.pop3DataWait), 5000);
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_POP3_DATA_WAIT, 700), 1);
    EXPECT_EQ(P(gSettings.dataLineTimeout), 5000);
    EXPECT_EQ(P(gSettings.pop3DataWait), 700);
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_DATA_TIMEOUT, 800), 1);
    EXPECT_EQ(P(gSettings.dataLineTimeout), 800);
    EXPECT_EQ(P(gSettings.pop3DataWait), 700);
}

TEST_F(Params, Code17SetsLineLengthAndWrapColumn) {
    EXPECT_EQ(P(gSettings.maxLineLength), 78);
    EXPECT_EQ(P(gSettings.wrapColumn), 61);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_LINE_LENGTH, 100), 1);
    EXPECT_EQ(P(gSettings.maxLineLength), 100);
    EXPECT_EQ(P(gSettings.wrapColumn), 82);
    EXPECT_EQ(zemIntegerParam(3, ZEM_PARAM_LINE_LENGTH, 78), 1);
    EXPECT_EQ(P(gSettings.wrapColumn), 60); // not 61: only the initial pair is 78 and 61
}

TEST_F(Params, ByteSettingsKeepTheLowByte) {
    struct Case {
        int32_t code;
        const std::atomic<uint8_t> *setting;
    };
    LibrarySettings &s = gSettings;
    const Case cases[] = {{19, &s.pass8Bit},     {21, &s.noSavedNote}, {22, &s.omitTo},   {23, &s.recipientSep},
                          {24, &s.cleanupAtRelease}, {25, &s.attachSep},   {26, &s.displaySep}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(zemIntegerParam(1, c.code, 0x1234 + c.code), 1);
        EXPECT_EQ(c.setting->load(), static_cast<uint8_t>(0x34 + c.code));
        EXPECT_EQ(zemIntegerParam(1, c.code, 0x100), 1); // non-zero, low byte zero: off
        EXPECT_EQ(c.setting->load(), 0);
        EXPECT_EQ(zemIntegerParam(1, c.code, ';'), 1);
        EXPECT_EQ(c.setting->load(), ';');
    }
    // The separators are read through their helpers.
    EXPECT_EQ(RecipientSeparator(), ';');
    EXPECT_EQ(AttachSeparator(), ';');
    EXPECT_EQ(DisplaySeparator(), ';');
}

TEST_F(Params, LibraryWideSettingsSurviveReleaseAndAttach) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 77), 1);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_RECIPIENT_SEP, ';'), 1);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_CONTENT_TYPE, "text/x-kept"), 11);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_TRANSFER_ENCODING, "8bit"), 4);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, 2525), 1); // per channel: reset
    EXPECT_EQ(zemRelease(), 1);
    ASSERT_EQ(zemAttach(1, 0), 1);
    EXPECT_EQ(P(gSettings.stepDelay), 77);
    EXPECT_EQ(gSettings.recipientSep.load(), ';');
    char type[kCustomTypeMax + 1];
    char enc[kCustomEncodingMax + 1];
    GetCustomContentType(type);
    GetCustomTransferEncoding(enc);
    EXPECT_STREQ(type, "text/x-kept");
    EXPECT_STREQ(enc, "8bit");
    EXPECT_EQ(Ch(0).SmtpPort, 25);
}

// ---- Per-channel numbers ---------------------------------------------------------------------

TEST_F(Params, PerChannelCodesTouchOnlyTheirChannel) {
    Channel &c1 = Ch(1);
    Channel &c2 = Ch(2);
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_BODY_TYPE, 18), 1);
    EXPECT_EQ(c1.BodyType, 2); // AND 15
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_BODY_TYPE, 9), 1);
    EXPECT_EQ(c1.BodyType, 9);
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_NUMBERED_NAMES, 7), 1);
    EXPECT_EQ(c1.NumberedNames, 7);
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_SAVE_NONAME, -3), 1);
    EXPECT_EQ(c1.SaveNoname, -3);
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_USE_EHLO, 0x201), 1);
    EXPECT_EQ(c1.UseEhlo, 1);
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_USE_APOP, 0x300), 1);
    EXPECT_EQ(c1.UseApop, 0);
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_USE_APOP, 5), 1);
    EXPECT_EQ(c1.UseApop, 5);
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_INLINE_IMAGES, 0x100), 1);
    EXPECT_EQ(c1.InlineImages, 0);
    EXPECT_EQ(zemIntegerParam(1, ZEM_PARAM_INLINE_IMAGES, 0x102), 1);
    EXPECT_EQ(c1.InlineImages, 2);
    // Channel 2 kept every default.
    EXPECT_EQ(c2.BodyType, 0);
    EXPECT_EQ(c2.NumberedNames, 0);
    EXPECT_EQ(c2.SaveNoname, 0);
    EXPECT_EQ(c2.UseEhlo, 0);
    EXPECT_EQ(c2.UseApop, 0);
    EXPECT_EQ(c2.InlineImages, 1);
}

TEST_F(Params, AutoCallKeepsBitZeroAndClearsTheTimers) {
    Channel &ch = Ch(0);
    ch.WakeTick = 12345;
    ch.DeadlineTick = 67890;
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 2), 1);
    EXPECT_EQ(ch.AutoCall, 0);
    EXPECT_EQ(ch.WakeTick, 0u);
    EXPECT_EQ(ch.DeadlineTick, 0u);
    ch.WakeTick = 1;
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 3), 1);
    EXPECT_EQ(ch.AutoCall, 1);
    EXPECT_EQ(ch.WakeTick, 0u);
    EXPECT_EQ(Ch(1).AutoCall, 1);
}

TEST_F(Params, PortsKeepTheLow16Bits) {
    Channel &ch = Ch(3);
    EXPECT_EQ(zemIntegerParam(3, ZEM_PARAM_SMTP_PORT, 0x12345), 1);
    EXPECT_EQ(ch.SmtpPort, 0x2345);
    EXPECT_EQ(ch.Pop3Port, 110);
    EXPECT_EQ(zemIntegerParam(3, ZEM_PARAM_POP3_PORT, -1), 1);
    EXPECT_EQ(ch.Pop3Port, 65535);
    EXPECT_EQ(ch.SmtpPort, 0x2345);
    EXPECT_EQ(zemIntegerParam(3, ZEM_PARAM_POP3_PORT, 995), 1);
    EXPECT_EQ(ch.Pop3Port, 995);
    EXPECT_EQ(Ch(0).SmtpPort, 25);
}

TEST_F(Params, BlockingConnectIsTheInverse) {
    Channel &ch = Ch(0);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_BLOCKING_CONNECT, 0), 1);
    EXPECT_EQ(ch.NonBlockingConnect, 1);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_BLOCKING_CONNECT, 1), 1);
    EXPECT_EQ(ch.NonBlockingConnect, 0);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_BLOCKING_CONNECT, 0), 1);
    EXPECT_EQ(ch.NonBlockingConnect, 1);
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_BLOCKING_CONNECT, 0x100), 1); // whole value, not a byte
    EXPECT_EQ(ch.NonBlockingConnect, 0);
}

TEST_F(Params, RawSaveIsOneInTheLow16Bits) {
    Channel &ch = Ch(2);
    const struct {
        int32_t value;
        uint8_t raw;
    } cases[] = {{1, 1}, {0x10001, 1}, {0xFFFF, 0}, {0x18001, 0}, {0x10000, 0}, {2, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(zemIntegerParam(2, ZEM_PARAM_DECODE_STATE, c.value), 1);
        EXPECT_EQ(ch.SaveRaw, c.raw) << c.value;
    }
}

TEST_F(Params, UnknownIntegerCodes) {
    LibrarySettings before;
    for (int32_t code : {0, 4, 7, 20, 31, 41, 50, 100, -1, INT_MIN, INT_MAX}) EXPECT_EQ(zemIntegerParam(0, code, 5), -1) << code;
    // Nothing changed.
    EXPECT_EQ(P(gSettings.stepDelay), P(before.stepDelay));
    EXPECT_EQ(P(gSettings.connectTimeout), P(before.connectTimeout));
    EXPECT_EQ(Ch(0).SmtpPort, 25);
}

TEST(ParamsUnattached, EveryCodeNeedsAnAttach) {
    zemRelease();
    EXPECT_EQ(zemIntegerParam(0, ZEM_PARAM_STEP_DELAY, 1), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemIntegerParam(0, 4, 1), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_FROM, "x"), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_FROM, nullptr), ZEM_ERR_NOT_ATTACHED);
    EXPECT_EQ(P(zem::gSettings.stepDelay), 25);
}

// ---- Per-channel texts -----------------------------------------------------------------------

TEST_F(Params, TextCodesCopyAtMostTheirLimit) {
    struct Case {
        int32_t code;
        size_t limit;
        const char *(*field)(Channel &);
    };
    const Case cases[] = {
        {50, 128, [](Channel &c) -> const char * { return c.ReplyToAddress; }},
        {53, 128, [](Channel &c) -> const char * { return c.FromAddress; }},
        {57, 64, [](Channel &c) -> const char * { return c.AuthPassword; }},
        {58, 64, [](Channel &c) -> const char * { return c.UserName; }},
    };
    std::string longText;
    for (int i = 0; i < 200; ++i) longText += static_cast<char>('a' + i % 26);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        Channel &ch = Ch(1);
        EXPECT_EQ(zemStringParam(1, c.code, longText.c_str()), static_cast<int32_t>(c.limit));
        EXPECT_EQ(std::string(c.field(ch)), longText.substr(0, c.limit));
        EXPECT_EQ(zemStringParam(1, c.code, longText.substr(0, c.limit).c_str()), static_cast<int32_t>(c.limit));
        EXPECT_EQ(zemStringParam(1, c.code, "short"), 5);
        EXPECT_STREQ(c.field(ch), "short");
        EXPECT_EQ(zemStringParam(1, c.code, ""), 0);
        EXPECT_STREQ(c.field(ch), "");
        EXPECT_STREQ(c.field(Ch(0)), ""); // another channel's field is untouched
    }
    // The neighbours of a full 128-character copy are intact.
    Channel &ch = Ch(1);
    EXPECT_EQ(zemStringParam(1, ZEM_STRING_REPLY_TO, longText.c_str()), 128);
    EXPECT_EQ(ch.FromAddress[0], 0);
    EXPECT_EQ(ch.UserName[0], 0);
}

TEST_F(Params, CustomHeaderTextsAreLibraryWide) {
    std::string longText(300, 'k');
    EXPECT_EQ(zemStringParam(3, ZEM_STRING_CONTENT_TYPE, longText.c_str()), 64);
    EXPECT_EQ(zemStringParam(2, ZEM_STRING_TRANSFER_ENCODING, longText.c_str()), 128);
    char type[kCustomTypeMax + 1];
    char enc[kCustomEncodingMax + 1];
    GetCustomContentType(type);
    GetCustomTransferEncoding(enc);
    EXPECT_EQ(std::string(type), std::string(64, 'k'));
    EXPECT_EQ(std::string(enc), std::string(128, 'k'));
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_CONTENT_TYPE, "text/x-own"), 10);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_TRANSFER_ENCODING, ""), 0);
    GetCustomContentType(type);
    GetCustomTransferEncoding(enc);
    EXPECT_STREQ(type, "text/x-own");
    EXPECT_STREQ(enc, "");
}

// ---- Extra header lines ------------------------------------------------------------------------

TEST_F(Params, ExtraHeaderResults) {
    Channel &ch = Ch(0);
    struct Case {
        const char *text;
        int32_t result;
        const char *stored;
    };
    const Case cases[] = {
        {"X-Mailer: test\r\n", 2, "X-Mailer: test"}, // one line ending in CR LF
        {"X-Mailer: test", 4, "X-Mailer: test"},     // no line end in the last three
        {"X-Mailer: test\n", 3, "X-Mailer: test"},
        {"X-Mailer: test\r", 3, "X-Mailer: test"},
        {"X-A: 1\r\nX-B: 2", 4, "X-A: 1\r\nX-B: 2"}, // an inner line end stays
        {"X-A: 1\r\nX-B: 2\r\n", 2, "X-A: 1\r\nX-B: 2"},
        {"ab", 3, "ab"},
        {"a", 2, "a"},
        {"abc", 4, "abc"},
        {"\r\n", 1, ""},
        {"a\r\n", 2, "a"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(zemStringParam(0, ZEM_STRING_EXTRA_HEADERS, c.text), c.result);
        ASSERT_NE(ch.ExtraHeaders, nullptr);
        EXPECT_EQ(ch.ExtraHeaders, BlockGet(7));
        EXPECT_STREQ(ch.ExtraHeaders, c.stored);
        EXPECT_EQ(BlockSize(7), static_cast<int32_t>(std::strlen(c.text)) + 2); // the copy before stripping
        EXPECT_EQ(BlockCheck(7), 1);
    }
    // An empty text removes the lines and the block.
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_EXTRA_HEADERS, ""), 0);
    EXPECT_EQ(ch.ExtraHeaders, nullptr);
    EXPECT_EQ(BlockIsAllocated(7), 0);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_EXTRA_HEADERS, ""), 0);
}

TEST_F(Params, AppendedHeaderLinesAreJoinedByCrLf) {
    Channel &ch = Ch(2);
    EXPECT_EQ(zemStringParam(2, ZEM_STRING_EXTRA_HEADERS, "X-First: 1\r\n"), 2);
    EXPECT_STREQ(ch.ExtraHeaders, "X-First: 1");
    EXPECT_EQ(zemStringParam(2, ZEM_STRING_ADD_HEADER, "X-Second: 2"), 4);
    EXPECT_STREQ(ch.ExtraHeaders, "X-First: 1\r\nX-Second: 2");
    EXPECT_EQ(ch.ExtraHeaders, BlockGet(27));
    EXPECT_EQ(zemStringParam(2, ZEM_STRING_ADD_HEADER, "X-Third: 3\r\n"), 2);
    EXPECT_STREQ(ch.ExtraHeaders, "X-First: 1\r\nX-Second: 2\r\nX-Third: 3");
    EXPECT_EQ(BlockCheck(27), 1);
    // Another channel has its own lines.
    EXPECT_EQ(Ch(1).ExtraHeaders, nullptr);
    // Code 51 with an empty text drops them all.
    EXPECT_EQ(zemStringParam(2, ZEM_STRING_EXTRA_HEADERS, ""), 0);
    EXPECT_EQ(ch.ExtraHeaders, nullptr);
    EXPECT_EQ(BlockIsAllocated(27), 0);
}

TEST_F(Params, AppendingToNoLinesStartsWithoutALineEnd) {
    // A leading CR LF would be an empty line, which ends the message header.
    Channel &ch = Ch(0);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_ADD_HEADER, "X-Only: 1"), 4);
    EXPECT_STREQ(ch.ExtraHeaders, "X-Only: 1");
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_ADD_HEADER, "X-Two: 2"), 4);
    EXPECT_STREQ(ch.ExtraHeaders, "X-Only: 1\r\nX-Two: 2");
}

TEST_F(Params, AppendedHeaderLinesStopAt2048Characters) {
    Channel &ch = Ch(1);
    std::string first(2000, 'a');
    std::string second(100, 'b');
    EXPECT_EQ(zemStringParam(1, ZEM_STRING_EXTRA_HEADERS, first.c_str()), 4);
    EXPECT_EQ(zemStringParam(1, ZEM_STRING_ADD_HEADER, second.c_str()), 4);
    std::string joined = first + "\r\n" + second;
    EXPECT_EQ(std::string(ch.ExtraHeaders), joined.substr(0, 2048));
    EXPECT_EQ(BlockSize(17), 2050);
    EXPECT_EQ(BlockCheck(17), 1);
    // Nothing more fits.
    EXPECT_EQ(zemStringParam(1, ZEM_STRING_ADD_HEADER, "X-More: 1"), 4);
    EXPECT_EQ(std::strlen(ch.ExtraHeaders), 2048u);
    EXPECT_EQ(std::string(ch.ExtraHeaders).substr(2040), joined.substr(0, 2048).substr(2040));
}

// ---- Retrieval buffer file ---------------------------------------------------------------------

TEST_F(Params, RetrievalBufferFile) {
    std::string out = File("buffer.txt");
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_WRITE_BUFFER, out.c_str()), ZEM_ERR_NULL_POINTER);
    EXPECT_FALSE(std::filesystem::exists(out));

    // Block 8 as the retrieval fills it: the text and room to spare.
    const char text[] = "+OK\r\nSubject: hi\r\n\r\nbody\r\n";
    auto *buf = static_cast<char *>(AllocateMemory(0, 8, 100));
    ASSERT_NE(buf, nullptr);
    std::memcpy(buf, text, sizeof text);

    // A file that cannot be made leaves the block.
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_WRITE_BUFFER, File("no/dir/x").c_str()), ZEM_ERR_CANNOT_CREATE_FILE);
    EXPECT_EQ(BlockIsAllocated(8), 1);

    EXPECT_EQ(zemStringParam(0, ZEM_STRING_WRITE_BUFFER, out.c_str()), static_cast<int32_t>(sizeof text - 1));
    EXPECT_EQ(ReadAll(out), text);
    EXPECT_EQ(BlockIsAllocated(8), 0);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_WRITE_BUFFER, out.c_str()), ZEM_ERR_NULL_POINTER);

    // A full block without a NUL is written up to its size, no further.
    auto *full = static_cast<char *>(AllocateMemory(1, 8, 6));
    ASSERT_NE(full, nullptr);
    std::memcpy(full, "ABCDEF", 6);
    EXPECT_EQ(zemStringParam(1, ZEM_STRING_WRITE_BUFFER, out.c_str()), 6);
    EXPECT_EQ(ReadAll(out), "ABCDEF");
}

} // namespace
