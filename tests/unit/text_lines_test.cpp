// The text reader and line builder of outgoing messages: plain and quoted-printable line
// rules, wrapping, the look-ahead window over strings and files, and transparency.
#include "compose/text_lines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frame/settings.h"
#include "lib_fixture.h"
#include "platform/platform.h"
#include "script_server.h"

namespace {

using zem::Channel;
using Lines = std::vector<std::string>;

class TextLinesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zt::ResetLibrarySettings();
        ch_ = std::make_unique<Channel>(); // value-initialised: every field 0
    }
    void TearDown() override {
        if (ch_->SendFile > 0) zem::FileClose(ch_->SendFile);
        zt::ResetLibrarySettings();
    }

    // Starts a message text from a string (the string must outlive the reading).
    void FromMemory(const std::string &text, int bodyType) {
        text_ = text;
        ch_->BodyType = bodyType;
        ch_->TextInMemory = 1;
        ch_->TextCursor = text_.c_str();
        ch_->PendingChar = 0;
        ch_->TextBytes = 0;
        zem::ResetTextReader(*ch_);
    }

    void FromFile(const std::string &bytes, int bodyType) {
        std::string dir = zt::TempDir();
        std::string path = dir + "/text.txt";
        zt::WriteFile(path, bytes);
        ch_->BodyType = bodyType;
        ch_->TextInMemory = 0;
        ch_->SendFile = zem::FileOpenRead(path.c_str());
        ASSERT_GT(ch_->SendFile, 0);
        ch_->PendingChar = 0;
        ch_->TextBytes = 0;
        zem::ResetTextReader(*ch_);
    }

    // Every line up to the end of the text; checks that each result is the stored length.
    std::vector<std::string> BuildAll() {
        std::vector<std::string> out;
        for (int guard = 0; guard < 1000000; ++guard) {
            int32_t n = zem::BuildTextLine(*ch_);
            if (n < 0) return out;
            EXPECT_EQ(static_cast<size_t>(n), std::strlen(ch_->CmdBuffer));
            out.emplace_back(ch_->CmdBuffer, static_cast<size_t>(n));
        }
        ADD_FAILURE() << "the builder never reported the end of the text";
        return out;
    }

    std::unique_ptr<Channel> ch_;
    std::string text_;
};



// ---- Line ends and the end of the text ------------------------------------------------

TEST_F(TextLinesTest, EmptyTextEndsAtOnce) {
    FromMemory("", 0);
    EXPECT_EQ(zem::BuildTextLine(*ch_), -1);
    EXPECT_EQ(zem::BuildTextLine(*ch_), -1);
}

TEST_F(TextLinesTest, LastLineWithoutLineEndIsStillSent) {
    FromMemory("one\r\ntwo", 0);
    EXPECT_EQ(BuildAll(), (Lines{"one", "two"}));
}

TEST_F(TextLinesTest, TwoLineEndsGiveTwoEmptyLines) {
    FromMemory("\r\n\r\n", 0);
    EXPECT_EQ(BuildAll(), (Lines{"", ""}));
}

TEST_F(TextLinesTest, CarriageReturnsAreDroppedAndLineFeedAloneEndsALine) {
    for (int bodyType : {0, 1, 2}) {
        FromMemory("a\rb\nc\r\r\nd", bodyType);
        EXPECT_EQ(BuildAll(), (Lines{"ab", "c", "d"})) << "BodyType " << bodyType;
    }
}

// ---- Plain lines -------------------------------------------------------------------------

TEST_F(TextLinesTest, PlainLongWordIsCutAtTheMaximumLength) {
    FromMemory(std::string(100, 'x'), 0);
    EXPECT_EQ(BuildAll(), (Lines{std::string(78, 'x'), std::string(22, 'x')}));
}

TEST_F(TextLinesTest, PlainLineBreaksAfterTheFirstSpaceFromTheWrapColumnOn) {
    // Spaces before column 61 do not break; the one at column 61 does and stays.
    std::string first = std::string(20, 'a') + " " + std::string(39, 'b') + " ";
    ASSERT_EQ(first.size(), 61u);
    FromMemory(first + "ccc ddd", 0);
    EXPECT_EQ(BuildAll(), (Lines{first, "ccc ddd"}));

    // A space at column 70 breaks there: nothing is dropped at the break.
    std::string words = std::string(69, 'w') + " " + "tail";
    FromMemory(words, 0);
    EXPECT_EQ(BuildAll(), (Lines{std::string(69, 'w') + " ", "tail"}));
}

TEST_F(TextLinesTest, PlainFullLineFollowedByLineEndGivesAnEmptyLine) {
    FromMemory(std::string(78, 'q') + "\r\nnext", 0);
    EXPECT_EQ(BuildAll(), (Lines{std::string(78, 'q'), "", "next"}));
}

TEST_F(TextLinesTest, PlainControlAndEightBitCharactersBecomeTilde) {
    FromMemory("caf\xE9\tend\x7F", 0);
    EXPECT_EQ(BuildAll(), (Lines{"caf~~end~"}));
    zem::gSettings.pass8Bit = 1;
    FromMemory("caf\xE9\tend", 0);
    EXPECT_EQ(BuildAll(), (Lines{"caf\xE9\tend"}));
}

TEST_F(TextLinesTest, LineLengthSettingMovesBothLimits) {
    zem::gSettings.maxLineLength = 40;
    zem::gSettings.wrapColumn = 22;
    FromMemory(std::string(21, 'a') + " " + std::string(50, 'b'), 0);
    EXPECT_EQ(BuildAll(), (Lines{std::string(21, 'a') + " ", std::string(40, 'b'), std::string(10, 'b')}));
}

TEST_F(TextLinesTest, HugeLineLengthSettingStillFitsTheCommandBuffer) {
    zem::gSettings.maxLineLength = 100000;
    zem::gSettings.wrapColumn = 100000 - 18;
    FromMemory(std::string(5000, '='), 1); // every character escaped: three per input byte
    size_t total = 0;
    for (const std::string &l : BuildAll()) {
        EXPECT_LE(l.size() + 3, sizeof ch_->CmdBuffer);
        total += l.size();
    }
    EXPECT_GT(total, 15000u);
}

// ---- Quoted-printable lines --------------------------------------------------------------

TEST_F(TextLinesTest, QuotedPrintableEscapesEqualsSignControlAndEightBit) {
    FromMemory("a=b \xE9\tz", 1);
    EXPECT_EQ(BuildAll(), (Lines{"a=3Db =E9=09z"}));
}

TEST_F(TextLinesTest, QuotedPrintableSoftBreakAtSeventySeven) {
    FromMemory(std::string(77, 'p') + "\r\n", 1);
    EXPECT_EQ(BuildAll(), (Lines{std::string(77, 'p') + "=", ""}));

    FromMemory(std::string(100, 'p'), 4);
    EXPECT_EQ(BuildAll(), (Lines{std::string(77, 'p') + "=", std::string(23, 'p')}));
}

TEST_F(TextLinesTest, QuotedPrintableKeepsADotOnTheBrokenLine) {
    FromMemory(std::string(77, 'p') + ".more", 1);
    Lines got = BuildAll();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], std::string(77, 'p') + ".=");
    EXPECT_EQ(got[0].size(), 79u);
    EXPECT_EQ(got[1], "more");
}

TEST_F(TextLinesTest, QuotedPrintableEscapeCrossingTheLimit) {
    FromMemory(std::string(76, 'p') + "\xE9" + "tail", 1);
    EXPECT_EQ(BuildAll(), (Lines{std::string(76, 'p') + "=E9=", "tail"}));
}

// HTML is declared quoted-printable, so '=' and 8-bit bytes are escaped, and a space
// before a line end too (a receiver may drop it otherwise).
TEST_F(TextLinesTest, HtmlIsStrictQuotedPrintable) {
    FromMemory("<a href=\"x\">\xE9</a> \r\n<p>\t\r\nend ", 2);
    EXPECT_EQ(BuildAll(), (Lines{"<a href=3D\"x\">=E9</a>=20", "<p>=09", "end=20"}));
    std::string eq26;
    for (int i = 0; i < 26; ++i) eq26 += "=3D";
    FromMemory(std::string(90, '='), 2);
    EXPECT_EQ(BuildAll(), (Lines{eq26 + "=", eq26 + "=", eq26 + "=", eq26.substr(0, 36)}));
}

// ---- Transparency --------------------------------------------------------------------------

TEST_F(TextLinesTest, EveryLineStartingWithADotGetsOneMore) {
    for (int bodyType : {0, 1, 2, 9}) {
        FromMemory(".\r\n.signature\r\nmid.dle\r\n..", bodyType);
        Lines got = BuildAll();
        EXPECT_EQ(got, (Lines{"..", "..signature", "mid.dle", "..."})) << "BodyType " << bodyType;
    }
}

TEST_F(TextLinesTest, ContinuationLineStartingWithADotIsStuffedToo) {
    // Plain: the break at 78 puts the dot at the start of the next line.
    FromMemory(std::string(78, 'x') + ".tail", 0);
    EXPECT_EQ(BuildAll(), (Lines{std::string(78, 'x'), "..tail"}));
}

// ---- The reader ----------------------------------------------------------------------------

TEST_F(TextLinesTest, LongTextFromMemoryCrossesTheWindowUnchanged) {
    std::string text;
    Lines want;
    for (int i = 0; i < 400; ++i) {
        std::string line = "line " + std::to_string(i) + std::string(static_cast<size_t>(i % 50), '-');
        want.push_back(line);
        text += line + "\r\n";
    }
    FromMemory(text, 0);
    EXPECT_EQ(BuildAll(), want);
    EXPECT_EQ(ch_->TextBytes, static_cast<int32_t>(text.size()));
}

TEST_F(TextLinesTest, FileTextSkipsZeroBytes) {
    std::string bytes = std::string("ab\0cd\r\n", 7) + std::string("\0\0ef\r\n", 6) + std::string(3000, '\0') + "gh";
    FromFile(bytes, 0);
    EXPECT_EQ(BuildAll(), (Lines{"abcd", "ef", "gh"}));
    EXPECT_EQ(ch_->TextBytes, static_cast<int32_t>(bytes.size()));
}

TEST_F(TextLinesTest, FileTextLongerThanTheWindow) {
    std::string text;
    Lines want;
    for (int i = 0; i < 300; ++i) {
        std::string line = std::to_string(i * 7919) + std::string(static_cast<size_t>(i % 70), 'k');
        want.push_back(line);
        text += line + "\n";
    }
    FromFile(text, 0);
    EXPECT_EQ(BuildAll(), want);
}

// Decodes the builder's quoted-printable lines the way a receiver does (RFC 2045 6.7): one
// transparency dot removed, soft breaks joined, escapes turned back into bytes.
std::string DecodeQp(const Lines &lines) {
    auto hex = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
    std::string out;
    for (std::string l : lines) {
        if (!l.empty() && l[0] == '.') l.erase(0, 1);
        bool soft = !l.empty() && l.back() == '=';
        if (soft) l.pop_back();
        for (size_t i = 0; i < l.size(); ++i) {
            if (l[i] == '=' && i + 2 < l.size()) {
                out += static_cast<char>(hex(l[i + 1]) * 16 + hex(l[i + 2]));
                i += 2;
            } else {
                out += l[i];
            }
        }
        if (!soft) out += '\n';
    }
    return out;
}

TEST_F(TextLinesTest, QuotedPrintableRoundTripOfRandomText) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        std::string text;
        size_t n = 1 + rng() % 3000;
        for (size_t i = 0; i < n; ++i) {
            unsigned v = rng() % 270;
            char c = v >= 256 ? '\n' : static_cast<char>(v);
            if (c == 0 || c == '\r') c = '.';
            text += c;
        }
        if (text.back() != '\n') text += '\n';
        FromMemory(text, 1);
        Lines got = BuildAll();
        for (const std::string &l : got) {
            EXPECT_LE(l.size(), 81u); // 78 + escape overhang + transparency dot
            for (char c : l) EXPECT_TRUE(c >= 32 && c < 127) << "unescaped byte " << int(static_cast<uint8_t>(c));
        }
        EXPECT_EQ(DecodeQp(got), text) << "round " << round;
    }
}

} // namespace
