// The incoming decoder on today's mail, through the whole library from the scripted POP3
// server: parts nested at any depth, attached messages, RFC 2231 parameters, encoded
// words in many character sets, and the mends (a header ending in ';' before the blank
// line, one name twice, a symbolic link named like an attachment, names that try to
// escape or to carry control characters, names too long). The last tests feed a file through
// the decoder's line entry without a server.
#include <gtest/gtest.h>

#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "mime/decoder_area.h"
#include "mime/mime_decoder.h"
#include "mime_support.h"
#include "text/mime_words.h"
#include "zem32.h"

namespace {

using namespace mt;

// UTF-8 text in another character set, through the test's own iconv call.
std::string FromUtf8(const std::string &charset, const std::string &utf8) {
    iconv_t cd = iconv_open(charset.c_str(), "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << charset;
    std::string out(utf8.size() * 4 + 16, '\0');
    char *in = const_cast<char *>(utf8.data());
    size_t il = utf8.size();
    char *op = &out[0];
    size_t ol = out.size();
    iconv(cd, &in, &il, &op, &ol);
    iconv(cd, nullptr, nullptr, &op, &ol);
    iconv_close(cd);
    out.resize(out.size() - ol);
    return out;
}

// An attachment part of a multipart body.
std::string AttachmentPart(const std::string &boundary, const std::string &disposition, const std::string &bytes) {
    return Crlf("--" + boundary + "\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n" +
                disposition + "\n\n") +
           Base64Lines(bytes);
}

class MimeNested : public mt::RetrievalTest {};

// ---- Nesting -------------------------------------------------------------------------------

// mixed > mixed > attachment, and mixed > related > alternative with an inline image, as
// Thunderbird and Apple Mail write them.
TEST_F(MimeNested, AttachmentsAreSavedAtEveryDepth) {
    const std::string deep = RandomBytes(5000, 1), image = RandomBytes(2000, 2), top = RandomBytes(300, 3);
    Retrieve(Crlf("MIME-Version: 1.0\n"
                  "Content-Type: multipart/mixed; boundary=\"L0\"\n"
                  "\n"
                  "--L0\n"
                  "Content-Type: multipart/mixed; boundary=\"L1\"\n"
                  "\n"
                  "--L1\n"
                  "Content-Type: multipart/related; boundary=L2; type=\"multipart/alternative\"\n"
                  "\n"
                  "--L2\n"
                  "Content-Type: multipart/alternative;\n"
                  "\tboundary=\"L3\"\n"
                  "\n"
                  "--L3\n"
                  "Content-Type: text/plain; charset=utf-8\n"
                  "Content-Transfer-Encoding: quoted-printable\n"
                  "\n"
                  "plain text at level four=2E\n"
                  "--L3\n"
                  "Content-Type: text/html; charset=utf-8\n"
                  "\n"
                  "<p>html at level four</p>\n"
                  "--L3--\n") +
             AttachmentPart("L2", "Content-ID: <img1>\nContent-Disposition: inline; filename=\"logo.png\"", image) +
             Crlf("--L2--\n") + AttachmentPart("L1", "Content-Disposition: attachment; filename=\"deep.bin\"", deep) +
             Crlf("--L1--\n") + AttachmentPart("L0", "Content-Disposition: attachment; filename=\"top.bin\"", top) +
             Crlf("--L0--\n"));
    EXPECT_EQ(Attachment("logo.png"), image);
    EXPECT_EQ(Attachment("deep.bin"), deep);
    EXPECT_EQ(Attachment("top.bin"), top);
    EXPECT_EQ(SavedList(), "logo.png,deep.bin,top.bin");
    const std::string m = Message();
    EXPECT_NE(m.find("plain text at level four.\r\n"), std::string::npos);
    EXPECT_NE(m.find("<p>html at level four</p>\r\n"), std::string::npos);
}

// Sixteen levels are followed; below them the structure is body text: nothing is lost
// and nothing breaks.
TEST_F(MimeNested, DeeperThanSixteenLevelsIsBodyText) {
    auto b = [](int level) { return std::string(level < 10 ? "b0" : "b") + std::to_string(level); }; // none a prefix of another
    std::string m = Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b00\"\n\n");
    for (int level = 0; level < 18; ++level)
        m += Crlf("--" + b(level) + "\nContent-Type: multipart/mixed; boundary=\"" + b(level + 1) + "\"\n\n");
    m += AttachmentPart(b(18), "Content-Disposition: attachment; filename=\"lost-in-depth.bin\"", "deep");
    for (int level = 18; level >= 15; --level) m += Crlf("--" + b(level) + "--\n");
    m += AttachmentPart(b(15), "Content-Disposition: attachment; filename=\"level15.bin\"", "fifteen");
    for (int level = 15; level >= 0; --level) m += Crlf("--" + b(level) + "--\n");
    Retrieve(m);
    EXPECT_EQ(AttachFiles(), (std::vector<std::string>{"level15.bin"}));
    EXPECT_EQ(Attachment("level15.bin"), "fifteen");
    // The part below the deepest level held stays in the message file as text.
    EXPECT_NE(Message().find(Base64Lines("deep")), std::string::npos);
}

std::string Forwarded(const std::string &inner) {
    return Crlf("MIME-Version: 1.0\n"
                "Subject: Fwd: figures\n"
                "Content-Type: multipart/mixed; boundary=\"outer\"\n"
                "\n"
                "--outer\n"
                "Content-Type: text/plain\n"
                "\n"
                "See the forwarded message.\n"
                "--outer\n"
                "Content-Type: message/rfc822\n"
                "Content-Disposition: inline\n"
                "\n") +
           inner + Crlf("--outer--\n");
}

std::string InnerMessage(const std::string &bytes, const std::string &subject) {
    return Crlf("From: someone@example.org\n"
                "Subject: " + subject + "\n"
                "MIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=\"inner\"\n"
                "\n"
                "--inner\n"
                "Content-Type: text/plain\n"
                "\n"
                "Inner text.\n") +
           AttachmentPart("inner", "Content-Disposition: attachment; filename=\"figures.xlsx\"", bytes) +
           Crlf("--inner--\n");
}

TEST_F(MimeNested, AttachmentsInsideAnAttachedMessageAreSaved) {
    const std::string bytes = RandomBytes(4000, 4);
    Retrieve(Forwarded(InnerMessage(bytes, "Q3 figures")));
    EXPECT_EQ(AttachFiles(), (std::vector<std::string>{"figures.xlsx"})); // code 73 off: no copy of the message
    EXPECT_EQ(Attachment("figures.xlsx"), bytes);
    EXPECT_NE(Message().find("See the forwarded message.\r\n"), std::string::npos);
    EXPECT_NE(Message().find("Inner text.\r\n"), std::string::npos);
}

TEST_F(MimeNested, AnAttachedMessageIsAlsoSavedWholeWithCode73) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_SAVE_MESSAGES, 1), 1);
    const std::string bytes = RandomBytes(4000, 5);
    const std::string inner = InnerMessage(bytes, "=?utf-8?q?Q3_figures_=E2=80=93_final?=");
    Retrieve(Forwarded(inner));
    const std::string name = "Q3 figures \xE2\x80\x93 final.eml";
    EXPECT_EQ(AttachFiles(), (std::vector<std::string>{name, "figures.xlsx"}));
    EXPECT_EQ(Attachment(name), inner); // the message as it came, byte for byte
    EXPECT_EQ(Attachment("figures.xlsx"), bytes);
    EXPECT_EQ(SavedList(), "figures.xlsx," + name);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), 2);
}

TEST_F(MimeNested, AnAttachedMessageWithoutSubjectIsMessageEml) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_SAVE_MESSAGES, 1), 1);
    const std::string inner = Crlf("From: a@example.org\n\nJust text.\n");
    Retrieve(Forwarded(inner) + Forwarded(inner).substr(0, 0));
    EXPECT_EQ(Attachment("message.eml"), inner);
}

// ---- Parameters and character sets -------------------------------------------------------------

TEST_F(MimeNested, Rfc2231NamesInAnyOrderAndFolded) {
    const std::string a = "a", b = "b", c = "c";
    Retrieve(Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"B\"\n\n") +
             AttachmentPart("B", "Content-Disposition: attachment;\n filename*=utf-8''%E6%97%A5%E6%9C%AC%E8%AA%9E.pdf", a) +
             AttachmentPart("B",
                            "Content-Disposition: attachment;\n filename*1*=%20Bericht.txt;\n"
                            "\tfilename*0*=iso-8859-1'de'%DCber%20den;\n filename*2=\" (final)\"",
                            b) +
             Crlf("--B\nContent-Type: application/pdf;\n name*0=\"a very long name \";\n name*1=\"that goes on.pdf\"\n"
                  "Content-Transfer-Encoding: base64\n\n") +
             Base64Lines(c) + Crlf("--B--\n"));
    EXPECT_EQ(Attachment("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.pdf"), a);
    EXPECT_EQ(Attachment("\xC3\x9C" "ber den Bericht.txt (final)"), b);
    EXPECT_EQ(Attachment("a very long name that goes on.pdf"), c);
}

TEST_F(MimeNested, EncodedWordNamesInManyCharsets) {
    struct Case {
        const char *charset;
        const char *utf8;
        char form;
    } cases[] = {
        {"UTF-8", "r\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC.txt", 'Q'},
        {"ISO-8859-15", "\xE2\x82\xAC-Rechnung.pdf", 'Q'},
        {"windows-1252", "\xE2\x80\x9Cquoted\xE2\x80\x9D.doc", 'B'},
        {"KOI8-R", "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.pdf", 'B'},
        {"GB2312", "\xE6\x8A\xA5\xE5\x91\x8A.pdf", 'B'},
        {"Big5", "\xE5\xA0\xB1\xE5\x91\x8A.pdf", 'B'},
        {"Shift_JIS", "\xE8\xA6\x8B\xE7\xA9\x8D\xE6\x9B\xB8.xlsx", 'B'},
        {"EUC-JP", "\xE8\xAB\x8B\xE6\xB1\x82\xE6\x9B\xB8.pdf", 'B'},
        {"ISO-2022-JP", "\xE4\xBC\x9A\xE8\xAD\xB0\xE8\xB3\x87\xE6\x96\x99.pptx", 'B'},
    };
    std::string m = Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"B\"\n\n");
    std::vector<std::string> expected;
    int i = 0;
    for (const Case &c : cases) {
        const std::string raw = FromUtf8(c.charset, c.utf8);
        std::string word;
        if (c.form == 'B') {
            word = "=?" + std::string(c.charset) + "?B?" + Base64Word(raw) + "?=";
        } else {
            word = "=?" + std::string(c.charset) + "?Q?";
            for (unsigned char ch : raw) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "=%02X", ch);
                word += (ch >= 'a' && ch <= 'z') || ch == '.' ? std::string(1, static_cast<char>(ch)) : hex;
            }
            word += "?=";
        }
        m += AttachmentPart("B", "Content-Disposition: attachment; filename=\"" + word + "\"", "file " + std::to_string(i++));
        expected.push_back(c.utf8);
    }
    // A UTF-8 name split over two adjacent words, inside a character, as Gmail writes it.
    const std::string split = "\xE6\x97\xA5\xE6\x9C\xAC.txt";
    m += AttachmentPart("B",
                        "Content-Type: text/plain;\n name=\"=?UTF-8?B?" + Base64Word(split.substr(0, 4)) + "?=\n =?UTF-8?B?" +
                            Base64Word(split.substr(4)) + "?=\"",
                        "split");
    m += Crlf("--B--\n");
    Retrieve(m);
    for (size_t k = 0; k < expected.size(); ++k) EXPECT_EQ(Attachment(expected[k]), "file " + std::to_string(k)) << cases[k].charset;
    EXPECT_EQ(Attachment(split), "split");
}

TEST_F(MimeNested, Code72GivesUtf8HeaderTextsAndNames) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_UTF8_NAMES, 1), 1);
    Retrieve(Crlf("Subject: =?utf-8?B?5pel5pys?= =?utf-8?B?6Kqe?= and =?iso-8859-1?q?caf=E9?=\n"
                  "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <y@example.jp>\n"
                  "MIME-Version: 1.0\n"
                  "Content-Type: multipart/mixed; boundary=\"B\"\n\n") +
             AttachmentPart("B", "Content-Disposition: attachment; filename=\"=?iso-8859-1?q?r=E9sum=E9.txt?=\"", "cv") +
             AttachmentPart("B", "Content-Disposition: attachment; filename=\"raw-\xFF.bin\"", "raw") + Crlf("--B--\n"));
    const std::string m = Message();
    EXPECT_EQ(m.substr(0, m.find("MIME-Version")), "Subject: \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E and caf\xC3\xA9\r\n"
                                                   "From: \xE5\xB1\xB1\xE7\x94\xB0 <y@example.jp>\r\n");
    EXPECT_EQ(Attachment("r\xC3\xA9sum\xC3\xA9.txt"), "cv");
    EXPECT_EQ(Attachment("raw-_.bin"), "raw"); // a byte that is not UTF-8 becomes '_'
}

// ---- The mends ---------------------------------------------------------------------------------

TEST_F(MimeNested, BodyAfterAHeaderEndingInSemicolonIsKept) {
    Retrieve(Crlf("MIME-Version: 1.0\n"
                  "Content-Type: text/plain;\n"
                  "Content-Transfer-Encoding: 7bit\n"
                  "Content-Disposition: inline;\n"
                  "\n"
                  "The body is not lost.\n"
                  "Second line.\n"));
    EXPECT_EQ(Message(), Crlf("MIME-Version: 1.0\n\nThe body is not lost.\nSecond line.\n"));
}

TEST_F(MimeNested, TheSameNameTwiceGetsADistinctSecondName) {
    Retrieve(Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"B\"\n\n") +
             AttachmentPart("B", "Content-Disposition: attachment; filename=\"report.pdf\"", "first") +
             AttachmentPart("B", "Content-Disposition: attachment; filename=\"report.pdf\"", "second") +
             AttachmentPart("B", "Content-Disposition: attachment; filename=\"report.pdf\"", "third") + Crlf("--B--\n"));
    EXPECT_EQ(Attachment("report.pdf"), "first");
    EXPECT_EQ(Attachment("report(2).pdf"), "second");
    EXPECT_EQ(Attachment("report(3).pdf"), "third");
    EXPECT_EQ(SavedList(), "report.pdf,report(2).pdf,report(3).pdf");
    EXPECT_NE(Message().find("[Attachment saved to \"" + att_ + "/report(2).pdf\"]\r\n"), std::string::npos);
}

TEST_F(MimeNested, ASymbolicLinkNamedLikeTheAttachmentIsNotFollowed) {
    const std::string target = dir_ + "/precious.txt";
    zt::WriteFile(target, "keep me");
    ASSERT_EQ(symlink(target.c_str(), (att_ + "/report.pdf").c_str()), 0);
    ASSERT_EQ(mkfifo((att_ + "/pipe.bin").c_str(), 0600), 0);
    Retrieve(Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"B\"\n\n") +
             AttachmentPart("B", "Content-Disposition: attachment; filename=\"report.pdf\"", "attachment bytes") +
             AttachmentPart("B", "Content-Disposition: attachment; filename=\"pipe.bin\"", "not into a pipe") +
             Crlf("--B--\n"));
    EXPECT_EQ(zt::ReadFile(target), "keep me"); // the link's target is untouched
    EXPECT_TRUE(fs::is_symlink(att_ + "/report.pdf"));
    EXPECT_EQ(Attachment("report(2).pdf"), "attachment bytes"); // the file gets another name
    EXPECT_EQ(Attachment("pipe(2).bin"), "not into a pipe");
    EXPECT_EQ(SavedList(), "report(2).pdf,pipe(2).bin");
}

TEST_F(MimeNested, NamesAreMadeSafe) {
    const std::string longName = std::string(300, 'n') + ".pdf";
    const std::string longUtf8 = [] {
        std::string s;
        for (int k = 0; k < 60; ++k) s += "\xE6\x97\xA5"; // 180 bytes of 3-byte characters
        return s + ".docx";
    }();
    const char *names[] = {"a/b/c.txt", "..\\..\\win.ini", "..", "ctl\x01\x1f\x7fname.txt", "tab\tname.txt"};
    std::string m = Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"B\"\n\n");
    for (const char *n : names) m += AttachmentPart("B", std::string("Content-Disposition: attachment; filename=\"") + n + "\"", n);
    m += AttachmentPart("B", "Content-Disposition: attachment; filename=\"" + longName + "\"", "long");
    m += AttachmentPart("B", "Content-Disposition: attachment; filename*=utf-8''" + longUtf8, "long utf-8");
    m += Crlf("--B--\n");
    // A short attachment directory, so that a 128-byte name fits the path.
    att_ = dir_.substr(0, 0) + "/tmp/zn" + std::to_string(getpid());
    fs::create_directory(att_);
    Retrieve(m);
    EXPECT_EQ(Attachment("c.txt"), names[0]);
    EXPECT_EQ(Attachment("win.ini"), names[1]);
    EXPECT_EQ(Attachment("noname"), names[2]);
    EXPECT_EQ(Attachment("ctl___name.txt"), names[3]);
    EXPECT_EQ(Attachment("tab_name.txt"), names[4]);
    // Shortened to what the path has room for, the extension kept.
    const size_t room = 129 - (att_.size() + 1);
    ASSERT_LT(room, 128u);
    EXPECT_EQ(Attachment(std::string(room - 4, 'n') + ".pdf"), "long");
    std::string utf8Short;
    for (size_t k = 0; k < (room - 5) / 3; ++k) utf8Short += "\xE6\x97\xA5"; // never half a character
    EXPECT_EQ(Attachment(utf8Short + ".docx"), "long utf-8");
    for (const std::string &f : AttachFiles()) {
        for (unsigned char c : f) EXPECT_GE(c, 0x20u) << f;
        EXPECT_LE(f.size(), 128u);
    }
    EXPECT_EQ(AttachFiles().size(), 7u);
    std::error_code ec;
    fs::remove_all(att_, ec);
}

TEST_F(MimeNested, BinaryAndEightBitPartsAreWrittenAsTheyCome) {
    std::string binary = RandomBytes(3000, 6);
    // NUL bytes stay out: the line reader of the retrieval ends its search for the line
    // end at one. Bare CRs and LFs and 8-bit bytes are all there.
    for (char &c : binary)
        if (c == 0) c = 1;
    const std::string text8 = "Gr\xC3\xBC\xC3\x9F" "e\r\nzweite Zeile\r\n";
    Retrieve(Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"B\"\n\n"
                  "--B\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: binary\n"
                  "Content-Disposition: attachment; filename=\"blob.bin\"\n\n") +
             binary + Crlf("\n--B\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n"
                           "Content-Disposition: attachment; filename=\"note.txt\"\n\n") +
             text8 + Crlf("--B--\n"));
    EXPECT_TRUE(Attachment("blob.bin") == binary) << "binary part differs";
    // The line end before the boundary belongs to the boundary (RFC 2046 section 5.1.1).
    EXPECT_EQ(Attachment("note.txt"), text8.substr(0, text8.size() - 2));
}

// ---- Without a server ----------------------------------------------------------------------

TEST_F(MimeNested, AMessageFileFedThroughTheLineEntryGivesTheSameFiles) {
    const std::string bytes = RandomBytes(100000, 7);
    const std::string msg = Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed;\n boundary=\"F\"\n\n--F\n"
                                 "Content-Type: text/plain\n\nfile text\n") +
                            AttachmentPart("F", "Content-Disposition: attachment;\n\tfilename=\"fed.bin\"", bytes) +
                            Crlf("--F--\n");
    std::string lf = msg; // LF line ends are taken as CR LF
    lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
    zt::WriteFile(dir_ + "/in.eml", lf);
    zem::Channel *ch = nullptr;
    ASSERT_EQ(zem::FindChannel(0, &ch), 0);
    ASSERT_EQ(zem::DecodeFileOnChannel(*ch, (dir_ + "/in.eml").c_str(), (dir_ + "/msg1.txt").c_str(), att_.c_str()), 0);
    EXPECT_TRUE(Attachment("fed.bin") == bytes);
    EXPECT_EQ(Message(), Crlf("MIME-Version: 1.0\n\nfile text\n") + "[Attachment saved to \"" + att_ + "/fed.bin\"]\r\n");
    EXPECT_EQ(SavedList(), "fed.bin");
    EXPECT_EQ(zem::DecodeFileOnChannel(*ch, (dir_ + "/none.eml").c_str(), (dir_ + "/m2.txt").c_str(), att_.c_str()),
              ZEM_ERR_CANNOT_OPEN_FILE);
}

// The decoder's memory is its fixed area in block 0: no block beyond it comes into use.
TEST_F(MimeNested, MemoryIsTheSameWhateverTheMessageSize) {
    EXPECT_GE(zem::BlockSize(0), zem::kChannelBlockSize);
    const std::string big = RandomBytes(3u << 20, 8);
    Retrieve(Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"B\"\n\n") +
             AttachmentPart("B", "Content-Disposition: attachment; filename=\"big.bin\"", big) + Crlf("--B--\n"));
    EXPECT_TRUE(Attachment("big.bin") == big);
    for (int slot = 1; slot < zem::kSlotsPerChannel; ++slot) EXPECT_EQ(zem::BlockIsAllocated(slot), 0) << slot;
}

// ---- The text routines ---------------------------------------------------------------------------

TEST(MimeWords, ParametersAsRfc2231WritesThem) {
    char out[256], cs[32];
    EXPECT_EQ(zem::HeaderParam("Content-Type: text/plain; charset=\"us-ascii\"; name=plain.txt", "name", out, sizeof out, cs,
                               sizeof cs),
              9);
    EXPECT_STREQ(out, "plain.txt");
    EXPECT_STREQ(cs, "");
    EXPECT_EQ(zem::HeaderParam("X: a; filename=\"q\\\"uo\\\\te\"", "filename", out, sizeof out, cs, sizeof cs), 7);
    EXPECT_STREQ(out, "q\"uo\\te");
    // The extended form wins over the plain one, wherever it stands.
    zem::HeaderParam("X: a; name*=utf-8'en'%C3%A9t%C3%A9; name=plain", "name", out, sizeof out, cs, sizeof cs);
    EXPECT_STREQ(out, "\xC3\xA9t\xC3\xA9");
    EXPECT_STREQ(cs, "utf-8");
    // Continuations in any order; a gap ends the value.
    zem::HeaderParam("X: a; f*2=c; f*0=a; f*1*=%62; f*4=e", "f", out, sizeof out, cs, sizeof cs);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(zem::HeaderParam("X: a; filename=x", "name", out, sizeof out, cs, sizeof cs), -1); // not "filename"
    EXPECT_EQ(zem::HeaderParam("X: no parameters", "name", out, sizeof out, cs, sizeof cs), -1);
    // Bounded: a long value is cut, always terminated.
    const std::string longValue = "X: a; name=" + std::string(500, 'v');
    EXPECT_EQ(zem::HeaderParam(longValue.c_str(), "name", out, 10, cs, sizeof cs), 9);
}

TEST(MimeWords, EncodedWordsAndConversion) {
    char out[256];
    int32_t words = 0;
    const std::string in = "=?utf-8?q?a_b?= \t =?UTF-8?B?w6k=?= plain =?bogus?q?x?= =?utf-8?x?bad?=";
    zem::DecodeWordsUtf8(in.data(), static_cast<int32_t>(in.size()), out, sizeof out, &words);
    EXPECT_STREQ(out, "a b\xC3\xA9 plain x =?utf-8?x?bad?=");
    EXPECT_EQ(words, 3);
    EXPECT_EQ(zem::ConvertToUtf8("ISO-8859-1", "caf\xE9", 4, out, sizeof out), 5);
    EXPECT_STREQ(out, "caf\xC3\xA9");
    zem::ConvertToUtf8("UTF-8", "ok\xFF\xFEok", 6, out, sizeof out);
    EXPECT_STREQ(out, "ok__ok");
    zem::ConvertToUtf8("no-such-charset", "a\xE9z", 3, out, sizeof out);
    EXPECT_STREQ(out, "a_z");
    EXPECT_EQ(zem::ConvertToUtf8("UTF-8", "abcdef", 6, out, 4), 3); // bounded and terminated
    EXPECT_STREQ(out, "abc");
    EXPECT_TRUE(zem::HasForeignEncodedWord("x =?koi8-r?b?8NLJ18XU?="));
    EXPECT_FALSE(zem::HasForeignEncodedWord("x =?iso-8859-1?q?caf=E9?= =? not a word"));
}

} // namespace
