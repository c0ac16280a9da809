// Text routines and the exported text helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/settings.h"
#include "text/text.h"
#include "zem32.h"

namespace {

using namespace zem;

constexpr char kSentinel = '\x5A';
// A typed null: a bare nullptr would not choose between the const and non-const overloads.
const char *const kNone = nullptr;

// Sets the recipient separator for one test and puts the old one back afterwards.
class SeparatorGuard {
public:
    explicit SeparatorGuard(char sep) : old_(gSettings.recipientSep.load()) {
        gSettings.recipientSep.store(static_cast<uint8_t>(sep));
    }
    ~SeparatorGuard() { gSettings.recipientSep.store(old_); }

private:
    uint8_t old_;
};

// ---- zemVerifyFormat ---------------------------------------------------------------

TEST(VerifyFormat, AcceptsPlainAndNamedAddresses) {
    EXPECT_EQ(zemVerifyFormat("<john.smith@example.com>"), 1);
    EXPECT_EQ(zemVerifyFormat("John Smith <j@x.org>"), 1);
    EXPECT_EQ(zemVerifyFormat("<o'neil-x_y/z$a&b@mail.example.com>"), 1);
    // Only the first address of a list is checked.
    EXPECT_EQ(zemVerifyFormat("<a@b.com>,<bad address>"), 1);
}

TEST(VerifyFormat, NullAndEmpty) {
    EXPECT_EQ(zemVerifyFormat(nullptr), ZEM_ERR_NULL_POINTER);
    EXPECT_EQ(zemVerifyFormat(""), ZEM_ERR_EMPTY_ADDRESS);
}

TEST(VerifyFormat, Brackets) {
    EXPECT_EQ(zemVerifyFormat("john@example.com"), ZEM_ERR_MISSING_LT);
    EXPECT_EQ(zemVerifyFormat("<john@example.com"), ZEM_ERR_MISSING_GT);
    EXPECT_EQ(zemVerifyFormat("x> <john@example.com"), ZEM_ERR_MISSING_GT);
    EXPECT_EQ(zemVerifyFormat("<>"), ZEM_ERR_NULL_POINTER);
}

TEST(VerifyFormat, AtSignPlacementAndCount) {
    EXPECT_EQ(zemVerifyFormat("<@a.com>"), ZEM_ERR_EMPTY_ADDRESS);
    EXPECT_EQ(zemVerifyFormat("<a@>"), ZEM_ERR_EMPTY_ADDRESS);
    EXPECT_EQ(zemVerifyFormat("<a@b@c.com>"), ZEM_ERR_TOO_MANY_AT);
    EXPECT_EQ(zemVerifyFormat("<john.example.com>"), ZEM_ERR_MISSING_AT);
    // Two at signs are reported even when a bad character follows.
    EXPECT_EQ(zemVerifyFormat("<a@b@c d>"), ZEM_ERR_TOO_MANY_AT);
}

TEST(VerifyFormat, BadCharacters) {
    EXPECT_EQ(zemVerifyFormat("<john smith@example.com>"), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(zemVerifyFormat("<john@example.com!>"), ZEM_ERR_BAD_CHAR);
    EXPECT_EQ(zemVerifyFormat("<john+tag@example.com>"), ZEM_ERR_BAD_CHAR);
    // Text outside the brackets is not examined.
    EXPECT_EQ(zemVerifyFormat("!! \x01 <j@x.org> ##"), 1);
}

TEST(VerifyFormat, SearchEndsAtRecipientSeparator) {
    EXPECT_EQ(zemVerifyFormat("a@b.com,<c@d.com>"), ZEM_ERR_MISSING_LT);
    EXPECT_EQ(zemVerifyFormat("<a@b.com,c@d.com>"), ZEM_ERR_MISSING_GT);
    {
        SeparatorGuard guard(';');
        // ',' is now ordinary text before '<', and ';' ends the search.
        EXPECT_EQ(zemVerifyFormat("a@b.com,<c@d.com>"), 1);
        EXPECT_EQ(zemVerifyFormat("a@b.com;<c@d.com>"), ZEM_ERR_MISSING_LT);
    }
    EXPECT_EQ(RecipientSeparator(), ',');
    EXPECT_EQ(zemVerifyFormat("a@b.com,<c@d.com>"), ZEM_ERR_MISSING_LT);
}

// ---- zemExtractText ----------------------------------------------------------------

TEST(ExtractText, FindsHeaderIgnoringCase) {
    const char *buf = "Received: x\r\nSubject: Hello there\r\nFrom: a@b\r\n";
    char out[64];
    std::memset(out, kSentinel, sizeof out);
    const int32_t n = zemExtractText(buf, "subject:", out, sizeof out);
    EXPECT_STREQ(out, "Subject: Hello there\r\n");
    EXPECT_EQ(n, static_cast<int32_t>(std::strlen("Subject: Hello there\r\n")));
}

TEST(ExtractText, OneCharacterTextAndLastLine) {
    char out[32];
    EXPECT_EQ(zemExtractText("abc\nxyz", "Y", out, sizeof out), 2);
    EXPECT_STREQ(out, "yz");  // ends at the buffer's NUL, without LF
    EXPECT_EQ(zemExtractText("abc\nxyz", "q", out, sizeof out), 0);
}

TEST(ExtractText, BadArguments) {
    char out[8] = "keep";
    EXPECT_EQ(zemExtractText(nullptr, "a", out, sizeof out), 0);
    EXPECT_EQ(zemExtractText("abc", nullptr, out, sizeof out), 0);
    EXPECT_EQ(zemExtractText("abc", "a", nullptr, 8), 0);
    EXPECT_EQ(zemExtractText("abc", "", out, sizeof out), 0);
    EXPECT_EQ(zemExtractText("abc", "a", out, 0), 0);
    EXPECT_EQ(zemExtractText("abc", "a", out, -5), 0);
    EXPECT_STREQ(out, "keep");
}

TEST(ExtractText, TooSmallLeavesResultUnterminated) {
    char out[8];
    std::memset(out, kSentinel, sizeof out);
    EXPECT_EQ(zemExtractText("To: someone@example.com\r\n", "to:", out, 5), 0);
    EXPECT_EQ(std::string(out, 4), "To: ");
    EXPECT_EQ(out[4], kSentinel);
    EXPECT_EQ(out[5], kSentinel);

    // ResultLen 1 leaves room for nothing but the NUL: no character is copied.
    std::memset(out, kSentinel, sizeof out);
    EXPECT_EQ(zemExtractText("To: x\r\n", "to:", out, 1), 0);
    EXPECT_EQ(out[0], kSentinel);
}

// ---- zemExtractLine ----------------------------------------------------------------

TEST(ExtractLine, SelectsLines) {
    char out[16];
    EXPECT_EQ(zemExtractLine("ab\r\nc\r\n", 2, out, sizeof out), 3);
    EXPECT_STREQ(out, "c\r\n");
    EXPECT_EQ(zemExtractLine("ab\r\nc\r\n", 1, out, sizeof out), 4);
    EXPECT_STREQ(out, "ab\r\n");
    EXPECT_EQ(zemExtractLine("ab\r\nc\r\n", 0, out, sizeof out), 4);
    EXPECT_EQ(zemExtractLine("ab\r\nc\r\n", -3, out, sizeof out), 4);
    EXPECT_EQ(zemExtractLine("ab\r\nc\r\n", 3, out, sizeof out), 0);
    EXPECT_EQ(zemExtractLine("ab\r\nc\r\n", 4, out, sizeof out), 0);
}

TEST(ExtractLine, BadArguments) {
    char out[8] = "keep";
    EXPECT_EQ(zemExtractLine(nullptr, 1, out, sizeof out), 0);
    EXPECT_EQ(zemExtractLine("abc", 1, nullptr, 8), 0);
    EXPECT_EQ(zemExtractLine("abc", 1, out, 0), 0);
    EXPECT_STREQ(out, "keep");
}

TEST(ExtractLine, LongLineDoesNotFit) {
    const char *buf = "first\n0123456789\nlast\n";
    char out[8];
    std::memset(out, kSentinel, sizeof out);
    EXPECT_EQ(zemExtractLine(buf, 2, out, 3), 0);
    EXPECT_EQ(out[0], '0');
    EXPECT_EQ(out[1], '1');
    EXPECT_EQ(out[2], kSentinel);  // no NUL written
    EXPECT_EQ(out[3], kSentinel);
}

TEST(ExtractLine, NeverWritesPastResultLen) {
    const std::string line = "0123456789\n";
    for (int32_t len = 1; len <= 14; ++len) {
        std::vector<char> out(static_cast<size_t>(len) + 4, kSentinel);
        const int32_t n = zemExtractLine(line.c_str(), 1, out.data(), len);
        for (size_t i = static_cast<size_t>(len); i < out.size(); ++i) EXPECT_EQ(out[i], kSentinel) << "len " << len;
        if (len > static_cast<int32_t>(line.size())) {
            EXPECT_EQ(n, static_cast<int32_t>(line.size()));
            EXPECT_STREQ(out.data(), line.c_str());
        } else {
            EXPECT_EQ(n, 0) << "len " << len;
        }
    }
}

// ---- Dotted addresses --------------------------------------------------------------

TEST(DottedAddress, Recognised) {
    EXPECT_TRUE(IsDottedAddress("127.0.0.1"));
    EXPECT_TRUE(IsDottedAddress("255.255.255.255"));
    EXPECT_TRUE(IsDottedAddress("0.0.0.0"));
    EXPECT_TRUE(IsDottedAddress("001.002.003.004"));
}

TEST(DottedAddress, Refused) {
    EXPECT_FALSE(IsDottedAddress(nullptr));
    EXPECT_FALSE(IsDottedAddress(""));
    EXPECT_FALSE(IsDottedAddress("1.2.3"));
    // Only the whole text is an address: what follows the fourth number makes it a name.
    EXPECT_FALSE(IsDottedAddress("127.0.0.1.attacker.example"));
    EXPECT_FALSE(IsDottedAddress("1.2.3.4.5"));
    EXPECT_FALSE(IsDottedAddress("1.2.3.4."));
    EXPECT_FALSE(IsDottedAddress("256.1.1.1"));
    EXPECT_FALSE(IsDottedAddress("1.2.3.256"));
    EXPECT_FALSE(IsDottedAddress("10..0.1"));
    EXPECT_FALSE(IsDottedAddress(".1.2.3"));
    EXPECT_FALSE(IsDottedAddress("1.2.3."));
    EXPECT_FALSE(IsDottedAddress("1.2.x.4"));
    EXPECT_FALSE(IsDottedAddress("1.2.3.4a"));
    EXPECT_FALSE(IsDottedAddress("1.2.3.4 "));
    EXPECT_FALSE(IsDottedAddress("mail.example.com"));
    // A run long enough to overflow 32 or 64 bits must still be refused.
    EXPECT_FALSE(IsDottedAddress("1.2.3.99999999999999999999999999"));
    EXPECT_FALSE(IsDottedAddress("4294967297.2.3.4"));
}

TEST(DottedAddress, Parsed) {
    EXPECT_EQ(ParseDotted("127.0.0.1"), 0x7F000001u);
    EXPECT_EQ(ParseDotted("1.2.3.4"), 0x01020304u);
    EXPECT_EQ(ParseDotted("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseDotted("192.168.1.200"), (192u << 24) | (168u << 16) | (1u << 8) | 200u);
    EXPECT_EQ(ParseDotted("256.1.1.1"), 0u);
    EXPECT_EQ(ParseDotted("127.0.0.1.attacker.example"), 0u);
    EXPECT_EQ(ParseDotted("10..0.1"), 0u);
}

// ---- Server names ------------------------------------------------------------------

TEST(ServerName, Validity) {
    EXPECT_TRUE(IsValidServerName("mail.example.com"));
    EXPECT_TRUE(IsValidServerName(""));
    EXPECT_TRUE(IsValidServerName("caf\xC0.example"));
    EXPECT_TRUE(IsValidServerName("x\xFF"));
    EXPECT_TRUE(IsValidServerName(" ~"));
    EXPECT_FALSE(IsValidServerName(nullptr));
    EXPECT_FALSE(IsValidServerName("user@mail.example.com"));
    EXPECT_FALSE(IsValidServerName("<mail>"));
    EXPECT_FALSE(IsValidServerName("mail>"));
    EXPECT_FALSE(IsValidServerName("mail\texample"));
    EXPECT_FALSE(IsValidServerName("mail\x7F"));
    EXPECT_FALSE(IsValidServerName("mail\x80"));
    EXPECT_FALSE(IsValidServerName("mail\xBF"));
}

// ---- Reply codes -------------------------------------------------------------------

TEST(ReplyCode, LeadingDigits) {
    EXPECT_EQ(ParseReplyCode("250-x"), 250);
    EXPECT_EQ(ParseReplyCode("354 "), 354);
    EXPECT_EQ(ParseReplyCode("220"), 220);
    EXPECT_EQ(ParseReplyCode("+OK"), 0);
    EXPECT_EQ(ParseReplyCode(" 250"), 0);
    EXPECT_EQ(ParseReplyCode(""), 0);
    EXPECT_EQ(ParseReplyCode(nullptr), 0);
}

TEST(ReplyCode, AtMostTenDigits) {
    EXPECT_EQ(ParseReplyCode("123456789012"), 1234567890);
    EXPECT_EQ(ParseReplyCode("2147483647"), 2147483647);
    // Ten digits beyond 32 bits wrap as two's complement.
    const int64_t big = 9999999999LL;
    const int32_t wrapped = static_cast<int32_t>(static_cast<uint32_t>(big & 0xFFFFFFFF));
    EXPECT_EQ(ParseReplyCode("99999999999"), wrapped);
    EXPECT_EQ(ParseReplyCode("4294967296"), 0);
    EXPECT_EQ(ParseReplyCode("2147483648"), INT32_MIN);
}

// ---- File names --------------------------------------------------------------------

TEST(FileName, LastPart) {
    EXPECT_STREQ(FileNamePart("C:\\temp\\a.txt"), "a.txt");
    EXPECT_STREQ(FileNamePart("/tmp/x"), "x");
    EXPECT_STREQ(FileNamePart("x"), "x");
    EXPECT_STREQ(FileNamePart("C:a.txt"), "a.txt");
    EXPECT_STREQ(FileNamePart("dir/"), "");
    EXPECT_STREQ(FileNamePart(""), "");
    EXPECT_EQ(FileNamePart(kNone), nullptr);
}

TEST(FileName, FirstCharacterIsNotASeparator) {
    const char *path = "\\a";
    EXPECT_EQ(FileNamePart(path), path);
    const char *root = "/x";
    EXPECT_EQ(FileNamePart(root), root);
    char mutablePath[] = "/a/bc";
    char *part = FileNamePart(mutablePath);
    EXPECT_EQ(part, mutablePath + 3);
}

// ---- Case-folding comparison and search ---------------------------------------------

TEST(NoCase, SameText) {
    EXPECT_TRUE(SameTextNoCase("Subject", "SUBJECT", 7));
    EXPECT_TRUE(SameTextNoCase("abcX", "ABCy", 3));
    EXPECT_FALSE(SameTextNoCase("abcX", "ABCy", 4));
    EXPECT_TRUE(SameTextNoCase("ab", "AB", 10));   // both end at the same place
    EXPECT_FALSE(SameTextNoCase("ab", "ABC", 10)); // only one ends
    EXPECT_FALSE(SameTextNoCase("abc", "ab", 3));
    EXPECT_FALSE(SameTextNoCase("a", "a", 0));
    EXPECT_FALSE(SameTextNoCase(nullptr, "a", 1));
    EXPECT_FALSE(SameTextNoCase("a", nullptr, 1));
    EXPECT_TRUE(SameTextNoCase("", "", 5));
}

TEST(NoCase, OnlyLettersAreFolded) {
    EXPECT_FALSE(SameTextNoCase("[", "{", 1));
    EXPECT_FALSE(SameTextNoCase("@", "`", 1));
    EXPECT_FALSE(SameTextNoCase("\xC0", "\xE0", 1));
    EXPECT_TRUE(SameTextNoCase("z1_", "Z1_", 3));
}

TEST(NoCase, FindText) {
    const char *text = "Return-Path: <x>\r\nFROM: a\r\n";
    EXPECT_EQ(FindTextNoCase(text, "from:"), text + 18);
    EXPECT_EQ(FindTextNoCase(text, "RETURN"), text);
    EXPECT_EQ(FindTextNoCase(text, "a\r\n"), text + 24);
    EXPECT_EQ(FindTextNoCase(text, "to:"), nullptr);
    EXPECT_EQ(FindTextNoCase("ab", "abc"), nullptr);  // pattern longer than text
    EXPECT_EQ(FindTextNoCase("abc", ""), nullptr);
    EXPECT_EQ(FindTextNoCase(kNone, "a"), nullptr);
    EXPECT_EQ(FindTextNoCase("a", nullptr), nullptr);
    EXPECT_EQ(FindTextNoCase("x[y", "X{"), nullptr);
    char mutableText[] = "aaB";
    EXPECT_EQ(FindTextNoCase(mutableText, "AB"), mutableText + 1);
}

// ---- Finding, copying and appending -------------------------------------------------

TEST(Basics, LengthAndFind) {
    EXPECT_EQ(TextLength(nullptr), 0);
    EXPECT_EQ(TextLength(""), 0);
    EXPECT_EQ(TextLength("abc\xFF"), 4);
    const char *t = "a,b<c";
    EXPECT_EQ(FindChar(t, '<'), t + 3);
    EXPECT_EQ(FindChar(t, 'z'), nullptr);
    EXPECT_EQ(FindChar(kNone, 'a'), nullptr);
    char m[] = "xyz";
    EXPECT_EQ(FindChar(m, 'z'), m + 2);
}

TEST(Basics, FindInFirstAddress) {
    const char *t = "a@b,<c@d>";
    EXPECT_EQ(FindInFirstAddress(t, '@'), t + 1);
    EXPECT_EQ(FindInFirstAddress(t, '<'), nullptr);
    EXPECT_EQ(FindInFirstAddress(kNone, '<'), nullptr);
    {
        SeparatorGuard guard(';');
        EXPECT_EQ(FindInFirstAddress(t, '<'), t + 4);
    }
    char m[] = "<x>;y";
    EXPECT_EQ(FindInFirstAddress(m, '>'), m + 2);
}

TEST(Basics, CopyText) {
    char out[8];
    std::memset(out, kSentinel, sizeof out);
    EXPECT_EQ(CopyText(out, "abcdef", 3), 3);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(out[4], kSentinel);
    EXPECT_EQ(CopyText(out, "ab", 5), 2);
    EXPECT_STREQ(out, "ab");
    std::memset(out, kSentinel, sizeof out);
    EXPECT_EQ(CopyText(out, nullptr, 5), 0);
    EXPECT_EQ(out[0], kSentinel);
    EXPECT_EQ(CopyText(nullptr, "ab", 5), 0);
}

TEST(Basics, CopyInto) {
    char small[4];
    EXPECT_EQ(CopyInto(small, "abcdef"), 3);
    EXPECT_STREQ(small, "abc");
    char big[16];
    EXPECT_EQ(CopyInto(big, "abcdef"), 6);
    EXPECT_STREQ(big, "abcdef");
}

TEST(Basics, AppendText) {
    char out[16] = "ab";
    EXPECT_EQ(AppendText(out, "cdef", 2), 2);
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(AppendText(out, "xy", 10), 2);
    EXPECT_STREQ(out, "abcdxy");
    EXPECT_EQ(AppendText(out, nullptr, 3), 0);
    EXPECT_STREQ(out, "abcdxy");
}

TEST(Basics, AppendBounded) {
    char out[10];
    std::memset(out, kSentinel, sizeof out);
    std::strcpy(out, "abc");
    EXPECT_EQ(AppendBounded(out, 6, "defgh"), 2);
    EXPECT_STREQ(out, "abcde");
    EXPECT_EQ(out[6], kSentinel);
    EXPECT_EQ(AppendBounded(out, 6, "z"), 0);  // full
    EXPECT_STREQ(out, "abcde");
    // No NUL inside dstSize: left alone.
    char raw[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(AppendBounded(raw, 4, "q"), 0);
    EXPECT_EQ(raw[3], 'z');
    EXPECT_EQ(AppendBounded(out, 0, "q"), 0);
}

TEST(Basics, CopyCounted) {
    char out[8];
    std::memset(out, kSentinel, sizeof out);
    const char src[] = {'a', '\0', 'b', 'c'};
    CopyCounted(out, src, 4);
    EXPECT_EQ(std::memcmp(out, src, 4), 0);
    EXPECT_EQ(out[4], '\0');
    EXPECT_EQ(out[5], kSentinel);
}

} // namespace
