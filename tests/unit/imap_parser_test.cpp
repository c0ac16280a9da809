// The IMAP response tokenizer fed as a ring would feed it, mailbox names in modified UTF-7,
// and the choice of form for a command argument.
#include <gtest/gtest.h>

#include <string>

#include "imap/command_writer.h"
#include "imap/response_parser.h"
#include "text/mutf7.h"

namespace {

using namespace std::string_literals;
using zem::ImapFeed;
using zem::ImapTok;

// Tokens of input fed k bytes at a time (0: all at once), written one word each. Like a
// client, it asks for text mode after a status word or "+", takes literals of up to 64 bytes
// as strings and larger ones itself.
std::string Tokens(const std::string &input, size_t k = 0) {
    zem::ImapParser p;
    zem::ImapParserReset(p);
    std::string words;
    size_t pos = 0, inLine = 0;
    uint64_t literal = 0;
    bool small = false;
    for (;;) {
        const size_t avail = std::min(k == 0 ? input.size() : k, input.size() - pos);
        const char *data = input.data() + pos;
        const int32_t len = static_cast<int32_t>(avail);
        if (literal > 0 && !small) { // the caller's own sink
            const size_t n = std::min<size_t>(avail, literal);
            words += input.substr(pos, n);
            pos += n;
            literal -= n;
            if (literal == 0) words += ">", zem::ImapParserLiteralDone(p);
            if (literal > 0 && pos == input.size()) return words + " MORE";
            continue;
        }
        zem::ImapToken t{};
        int32_t used = 0;
        const ImapFeed f = small ? zem::ImapTakeSmallLiteral(p, data, len, &used, &t) : zem::ImapNextToken(p, data, len, &used, &t);
        EXPECT_LE(used, len);
        pos += static_cast<size_t>(used);
        if (f == ImapFeed::Error) return words + " ERROR";
        if (f == ImapFeed::NeedMore) {
            if (pos == input.size()) return words + (words.empty() ? "MORE" : " MORE");
            continue;
        }
        small = false;
        literal = 0;
        const std::string text = zem::ImapTokenText(p);
        EXPECT_EQ(text.size(), static_cast<size_t>(t.len));
        std::string w;
        switch (t.kind) {
        case ImapTok::Atom: w = text; break;
        case ImapTok::Number: w = "#" + std::to_string(t.number); break;
        case ImapTok::Quoted: w = "\"" + text + (t.truncated ? "...\"" : "\""); break;
        case ImapTok::Nil: w = "NIL"; break;
        case ImapTok::ListOpen: w = "("; break;
        case ImapTok::ListClose: w = ")"; break;
        case ImapTok::CodeOpen: w = "["; break;
        case ImapTok::CodeClose: w = "]"; break;
        case ImapTok::LiteralStart:
            literal = t.number;
            small = literal <= 64;
            w = "{" + std::to_string(literal) + (t.nonSync ? "+}" : "}") + (small ? "" : "<");
            break;
        case ImapTok::Text: w = "T:" + text + (t.truncated ? "..." : ""); break;
        case ImapTok::LineEnd: w = "$"; break;
        }
        const bool status = text == "OK" || text == "NO" || text == "BAD" || text == "BYE" || text == "PREAUTH";
        if ((inLine == 1 && status && t.kind == ImapTok::Atom) || (inLine == 0 && text == "+")) zem::ImapParserTextMode(p);
        inLine = t.kind == ImapTok::LineEnd ? 0 : inLine + 1;
        words += (words.empty() ? "" : " ") + w;
        if (pos == input.size() && t.kind == ImapTok::LineEnd) return words;
    }
}

TEST(ImapParser, AnyChunkingGivesTheSameTokens) {
    const std::string session =
        "* OK [CAPABILITY IMAP4rev1 LITERAL+] ready\r\n"
        "* LIST (\\HasNoChildren) \"/\" [Gmail]/Sent\r\n"
        "* LIST () \"/\" {7}\r\nmy\r\nbox\n"
        "* 12 FETCH (UID 4827313 FLAGS (\\Seen $Junk) BODY[HEADER.FIELDS (SUBJECT TO)]<0> {71}\r\n"
        "Subject: a literal that is longer than the small ones we take as text\r\n"
        " ENVELOPE (\"Wed, 17 Jul 1996\" \"say \\\"hi\\\" \\\\o/\" nil NIL \"\") BODY[] {0}\r\n)\r\n"
        "+ \r\n"
        "A003 OK [READ-WRITE] SELECT completed\r\n"
        "A004 NO\r\n";
    const std::string expected =
        "* OK [ CAPABILITY IMAP4rev1 LITERAL+ ] T:ready $ "
        "* LIST ( \\HasNoChildren ) \"/\" [Gmail]/Sent $ "
        "* LIST ( ) \"/\" {7} \"my\r\nbox\" $ "
        "* #12 FETCH ( UID #4827313 FLAGS ( \\Seen $Junk ) BODY[HEADER.FIELDS (SUBJECT TO)]<0> {71}<"
        "Subject: a literal that is longer than the small ones we take as text\r\n>"
        " ENVELOPE ( \"Wed, 17 Jul 1996\" \"say \"hi\" \\o/\" NIL NIL \"\" ) BODY[] {0} \"\" ) $ "
        "+ T: $ A003 OK [ READ-WRITE ] T:SELECT completed $ A004 NO T: $";
    EXPECT_EQ(Tokens(session), expected);
    for (size_t k = 1; k <= 7; ++k) EXPECT_EQ(Tokens(session, k), expected) << "chunks of " << k;
}

TEST(ImapParser, LiteralsWaitForTheCaller) {
    zem::ImapParser p;
    zem::ImapParserReset(p);
    const std::string line = "* 1 FETCH (BODY[] {5+}\r\nhello)\r\n";
    zem::ImapToken t{};
    int32_t used = 0, pos = 0;
    do {
        ASSERT_EQ(zem::ImapNextToken(p, line.data() + pos, static_cast<int32_t>(line.size()) - pos, &used, &t), ImapFeed::Token);
        pos += used;
    } while (t.kind != ImapTok::LiteralStart);
    EXPECT_EQ(line.substr(static_cast<size_t>(pos)), "hello)\r\n"); // nothing of the literal is consumed
    EXPECT_TRUE(t.nonSync);
    EXPECT_EQ(t.number, 5u);
    zem::ImapParser early = p;
    EXPECT_EQ(zem::ImapNextToken(early, "hello)", 6, &used, &t), ImapFeed::Error);

    EXPECT_EQ(Tokens("* LIST () \"/\" {2000}\r\n" + std::string(2000, 'x') + "\r\n"),
              "* LIST ( ) \"/\" {2000}<" + std::string(2000, 'x') + "> $");
    // Where a string is expected, a long literal is cut but consumed; a huge one is refused.
    zem::ImapParser q;
    zem::ImapParserReset(q);
    const std::string big = "{1500}\r\n" + std::string(1500, 'n') + " x\r\n";
    ASSERT_EQ(zem::ImapNextToken(q, big.data(), 100, &used, &t), ImapFeed::Token);
    EXPECT_EQ(zem::ImapTakeSmallLiteral(q, big.data() + used, static_cast<int32_t>(big.size()) - used, &used, &t), ImapFeed::Token);
    EXPECT_EQ(used, 1500);
    EXPECT_TRUE(t.truncated);
    EXPECT_EQ(t.len, zem::kImapTokenMax);
    ASSERT_EQ(zem::ImapNextToken(q, " x\r\n", 4, &used, &t), ImapFeed::Token);
    EXPECT_EQ(std::string(zem::ImapTokenText(q)), "x");
    zem::ImapParserReset(q);
    ASSERT_EQ(zem::ImapNextToken(q, "{65537}\r\n", 9, &used, &t), ImapFeed::Token);
    EXPECT_EQ(zem::ImapTakeSmallLiteral(q, "abc", 3, &used, &t), ImapFeed::Error);
}

bool Fails(const std::string &input) {
    const std::string words = Tokens(input);
    return words.size() >= 5 && words.compare(words.size() - 5, 5, "ERROR") == 0;
}

TEST(ImapParser, HostileResponsesAreErrors) {
    const std::string longToken(zem::kImapTokenMax + 1, 'a');
    for (const std::string &bad :
         {"* \"a\0b\"\r\n"s, "* \"a\rb\"\r\n"s, "* \"a\\nb\"\r\n"s, "* a\rb\r\n"s, "* a\tb\r\n"s, "* " + longToken + "\r\n",
          "* \"" + longToken + "\"\r\n", "* {1099511627777}\r\n"s, "* {}\r\n"s,
          "* {1x}\r\n"s, "* {1}x\r\n"s, "* (a))\r\n"s, "* ((a)\r\n"s, "* " + std::string(65, '(') + std::string(65, ')') + "\r\n",
          "* FETCH (BODY[HEADER\r\n"s, "* OK [ALERT\r\n"s, "* OK hi\0there\r\n"s})
        EXPECT_TRUE(Fails(bad)) << bad;
    // Just within the limits; digits past 2^63 - 1 are an atom, as an astring may be.
    EXPECT_EQ(Tokens("* 9223372036854775808 EXISTS\r\n"), "* 9223372036854775808 EXISTS $");
    const std::string a(zem::kImapTokenMax, 'a'), q(zem::kImapTokenMax, 'q');
    std::string lists;
    for (int i = 0; i < zem::kImapDepthMax; ++i) lists = " (" + lists + " )";
    EXPECT_EQ(Tokens("* " + a + " 9223372036854775807 \"" + q + "\" " + std::string(64, '(') + std::string(64, ')') + "\r\n"),
              "* " + a + " #9223372036854775807 \"" + q + "\"" + lists + " $");
    EXPECT_EQ(Tokens("* OK " + std::string(3000, 't') + "\r\n"), "* OK T:" + std::string(zem::kImapTokenMax, 't') + "... $");

    // The line cap stops an endless line, yet a SEARCH of 100,000 UIDs passes.
    std::string search = "* SEARCH";
    for (int i = 0; i < 100000; ++i) search += " " + std::to_string(4000000 + i);
    const std::string found = Tokens(search + "\r\n");
    EXPECT_EQ(found.substr(found.size() - 10), "#4099999 $");
    std::string endless;
    while (endless.size() <= static_cast<size_t>(zem::kImapLineMax)) endless += "* 1 2 3 4 5 6 7 8 9 0 x y z";
    EXPECT_TRUE(Fails(endless));
}

TEST(Mutf7, NamesBothWays) {
    char out[64];
    const auto to7 = [&](const char *s) { return zem::Utf8ToMutf7(s, out, sizeof out) < 0 ? std::string("-1") : std::string(out); };
    const auto to8 = [&](const char *s) { return zem::Mutf7ToUtf8(s, out, sizeof out) < 0 ? std::string("-1") : std::string(out); };
    EXPECT_EQ(to7("~peter/mail/台北/日本語"), "~peter/mail/&U,BTFw-/&ZeVnLIqe-");
    EXPECT_EQ(to8("~peter/mail/&U,BTFw-/&ZeVnLIqe-"), "~peter/mail/台北/日本語");
    EXPECT_EQ(to7("R&D\t😀-"), "R&-D&AAnYPd4A--");
    EXPECT_EQ(to8("R&-D&AAnYPd4A--"), "R&D\t😀-");
    // Refused: not UTF-8 (overlong, surrogate, cut), and what no encoder writes.
    for (const char *bad : {"\xc0\xaf", "\xed\xa0\x80", "\xe6\x97"}) EXPECT_EQ(to7(bad), "-1") << bad;
    for (const char *bad : {"&", "&U,BTFw", "&U/BTFw-", "&AGE-", "&AAA-", "&2D0-", "&3gA-", "&U,BTFw-&ZeVnLIqe-", "&U,BTFx-",
                            "&U,BTFwA-", "caf\xc3\xa9", "a\tb"})
        EXPECT_EQ(to8(bad), "-1") << bad;
    EXPECT_EQ(to8("&U,BTFw-&-&ZeVnLIqe-"), "台北&日本語");
    EXPECT_EQ(zem::Utf8ToMutf7("台北", out, 8), -1); // "&U,BTFw-" and its NUL
    EXPECT_EQ(zem::Utf8ToMutf7("台北", out, 9), 8);
}

std::string Arg(const std::string &v, bool utf8 = false, bool plus = false, bool *sync = nullptr) {
    char out[64] = "X ";
    const int32_t n = zem::ImapAppendAstring(out, sizeof out, 2, v.data(), static_cast<int32_t>(v.size()), utf8, plus, sync);
    return n < 0 ? "-1" : std::string(out, static_cast<size_t>(n));
}

TEST(ImapCommandWriter, EachValueInItsSafestForm) {
    EXPECT_EQ(Arg("INBOX"), "X INBOX");
    EXPECT_EQ(Arg("[Gmail]/Sent"), "X [Gmail]/Sent");
    for (const char *q : {"", "nil", "a b", "50%", "{3}"}) EXPECT_EQ(Arg(q), std::string("X \"") + q + "\"");
    EXPECT_EQ(Arg("say \"hi\" \\o/"), "X \"say \\\"hi\\\" \\\\o/\"");
    bool sync = false;
    EXPECT_EQ(Arg("a\r\nb", false, false, &sync), "X {4}");
    EXPECT_TRUE(sync);
    EXPECT_EQ(Arg("a\r\nb", false, true, &sync), "X {4+}");
    EXPECT_FALSE(sync);
    EXPECT_EQ(Arg("café"), "X {5}");
    EXPECT_EQ(Arg("café", true), "X \"café\"");
    EXPECT_EQ(Arg(std::string(zem::kImapTokenMax + 1, 'a') + " "), "X {1026}");
    EXPECT_EQ(Arg(std::string("a\0b", 3)), "-1");
    EXPECT_EQ(Arg(std::string(62, 'a')), "-1"); // 64 bytes: no room for the NUL

    char out[64];
    EXPECT_EQ(zem::ImapAppendMailbox(out, sizeof out, 0, "台北 & co", false, false, nullptr), 16);
    EXPECT_STREQ(out, "\"&U,BTFw- &- co\"");
    EXPECT_EQ(zem::ImapAppendMailbox(out, sizeof out, 0, "台北", true, false, nullptr), 8);
    EXPECT_STREQ(out, "\"台北\"");
    EXPECT_EQ(zem::ImapAppendMailbox(out, sizeof out, 0, "\xff", true, false, nullptr), -1);
}

} // namespace
