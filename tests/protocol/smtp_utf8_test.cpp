// Non-ASCII texts in outgoing messages, read back by Python's email package
// (policy.default) as a modern reader would: the Subject, display names, extra header
// values and attachment names come back exactly as given, the text in its charset, HTML
// byte for byte; caller texts that are not UTF-8 are taken as ISO-8859-1 or in the charset
// named. Also the unique Message-ID.
#include <regex>
#include <set>
#include <string>

#include "outgoing_support.h"

namespace {

using ot::Add;
using ot::Json;

const std::string kJapanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE4\xBB\xB6\xE5\x90\x8D"; // 日本語の件名
const std::string kAccented = "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e";                   // Café crème brûlée
const std::string kEmoji = "\xF0\x9F\x8E\x89 party \xF0\x9F\x98\x80";                                    // 🎉 party 😀

class SmtpUtf8Test : public ot::OutgoingTest {
  protected:
    // A server that takes one message for the given recipients.
    static zt::Script Accepting(int recipients) {
        zt::Script s = ot::Ehlo({"8BITMIME"});
        Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok")});
        for (int i = 0; i < recipients; ++i) Add(s, {zt::ExpectPrefix("RCPT TO:"), zt::Reply("250 ok")});
        Add(s, {zt::Expect("DATA"), zt::Reply("354 go")});
        ot::AddDataAndQuit(s);
        return s;
    }
    std::string SendOne(int recipients, const char *to, const char *cc, const char *subject, const char *text,
                        const std::string &attachments = "", const char *from = ot::kFrom, const char *replyTo = "") {
        zt::ScriptServer srv(Accepting(recipients));
        EXPECT_EQ(Connect(srv, from, replyTo), 0);
        EXPECT_EQ(zemSendEmail(0, to, cc, nullptr, subject, text, attachments.empty() ? nullptr : attachments.c_str()),
                  0);
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
        return srv.data();
    }
    static void ExpectChecked(const std::string &data, const std::string &expect) {
        ot::Report r = ot::Utf8Check(data, expect);
        const size_t at = r.output.find("\"problems\"");
        EXPECT_EQ(r.status, 0) << r.output.substr(at == std::string::npos ? 0 : at, 3000) << "\n"
                               << ot::Unstuff(data).substr(0, 4000);
    }
};

TEST_F(SmtpUtf8Test, EveryTextComesBackExactly) {
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_TEXT_CHARSET, "utf-8"), 5);
    ASSERT_GT(zemStringParam(0, ZEM_STRING_ADD_HEADER, ("X-Note: na\xC3\xAFve " + kEmoji).c_str()), 0);
    std::string longName;
    while (longName.size() < 200 * 3) longName += "\xE3\x81\x82"; // 200 x あ
    longName += ".txt";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8.pdf", "%PDF-1.4 report bytes\x01\x02\xFF"}, // 報告書.pdf
        {"r\xC3\xA9sum\xC3\xA9 d'\xC3\xA9t\xC3\xA9.doc", std::string(300, '\xAA')},
        {"\xF0\x9F\x93\xB7 photo.bin", "emoji file"},
        {longName, "long name"},
    };
    std::string list;
    for (size_t i = 0; i < files.size(); ++i)
        list += (i ? "," : "") + File("f" + std::to_string(i), files[i].second) + "|" + files[i].first;
    const std::string subject = kJapanese + " \xE2\x80\x94 " + kAccented + " " + kEmoji;
    const std::string text = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\n" + kJapanese + "\n= sign & " + kEmoji + "\n";
    const std::string to = "J\xC3\xB6rg M\xC3\xBCller <joerg@x.test>, \"Ren\xC3\xA9 Dupont\" <rene@x.test>, <plain@x.test>";
    const std::string cc = kJapanese + " <jp@x.test>";
    const std::string from = "Zo\xC3\xAB \xC3\x9Cnicode <me@zem.test>";
    const std::string data = SendOne(4, to.c_str(), cc.c_str(), subject.c_str(), text.c_str(), list, from.c_str(),
                                     ("\xC3\x87" "a va <reply@x.test>"));
    std::string expect = "{\"subject\":" + Json(subject) +
                         ",\"to\":[[" + Json("J\xC3\xB6rg M\xC3\xBCller") + ",\"joerg@x.test\"],[" +
                         Json("Ren\xC3\xA9 Dupont") + ",\"rene@x.test\"],[\"\",\"plain@x.test\"]]" +
                         ",\"cc\":[[" + Json(kJapanese) + ",\"jp@x.test\"]]" + ",\"from\":[[" +
                         Json("Zo\xC3\xAB \xC3\x9Cnicode") + ",\"me@zem.test\"]]" + ",\"reply-to\":[[" +
                         Json("\xC3\x87" "a va") + ",\"reply@x.test\"]]" + ",\"parts\":[{\"content_type\":\"text/plain\"," +
                         "\"charset\":\"utf-8\",\"cte\":\"quoted-printable\",\"text\":" + Json(text) + "}";
    for (const auto &f : files)
        expect += ",{\"filename\":" + Json(f.first) + ",\"name\":" + Json(f.first) + ",\"size\":" +
                  std::to_string(f.second.size()) + "}";
    expect += "]}";
    ExpectChecked(data, expect);
    ot::Report r = ot::Utf8Check(data, "{}");
    for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(zt::ReadFile(r.PartFile(static_cast<int>(i) + 2)), files[i].second);
    // The extra header value too.
    EXPECT_NE(r.output.find(R"(["X-Note", "na\u00efve \ud83c\udf89 party \ud83d\ude00"])"), std::string::npos) << r.output;
    // ASCII items of a list stay as they were given.
    EXPECT_NE(data.find(", <plain@x.test>\r\n"), std::string::npos);
}

TEST_F(SmtpUtf8Test, LongSubjectsFoldAndNeverSplitACharacter) {
    for (const std::string &unit : {kJapanese, kAccented + " ", kEmoji, std::string("\xC3\xA9")}) {
        std::string subject;
        while (subject.size() < 700) subject += unit;
        const std::string data = SendOne(1, "<a@x.test>", nullptr, subject.c_str(), "t");
        // The checker refuses header lines over 76 columns, words over 75 and words that
        // do not decode alone.
        ExpectChecked(data, "{\"subject\":" + Json(subject) + "}");
    }
}

TEST_F(SmtpUtf8Test, TextsThatAreNotUtf8AreTakenAsLatin1) {
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_TEXT_CHARSET, "utf-8"), 5);
    const std::string data = SendOne(1, "Andr\xE9 <a@x.test>", nullptr, "Sujet \xE9t\xE9", "Cr\xE8me br\xFBl\xE9" "e\n",
                                     std::string(File("x", "1")) + "|na\xEFve.txt");
    ExpectChecked(data, "{\"subject\":\"Sujet \xC3\xA9t\xC3\xA9\",\"to\":[[\"Andr\xC3\xA9\",\"a@x.test\"]],"
                        "\"parts\":[{\"charset\":\"utf-8\",\"text\":\"Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e\\n\"},"
                        "{\"filename\":\"na\xC3\xAFve.txt\"}]}");
}

TEST_F(SmtpUtf8Test, TheInputCharsetCanBeNamed) {
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_INPUT_CHARSET, "windows-1252"), 12);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_TEXT_CHARSET, "utf-8"), 5);
    const std::string data = SendOne(1, "<a@x.test>", nullptr, "\x80 5 \x96 cheap", "\x93quoted\x94\n");
    ExpectChecked(data, "{\"subject\":\"\xE2\x82\xAC 5 \xE2\x80\x93 cheap\","
                        "\"parts\":[{\"text\":\"\xE2\x80\x9Cquoted\xE2\x80\x9D\\n\\n\"}]}"); // and the empty line
}

TEST_F(SmtpUtf8Test, TextCharsetOtherThanUtf8ConvertsTheText) {
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_TEXT_CHARSET, "iso-8859-15"), 11);
    const std::string data = SendOne(1, "<a@x.test>", nullptr, "x", "\xE2\x82\xAC 10, caf\xC3\xA9, \xE6\x97\xA5\n");
    // The euro sign exists in Latin-9; a character it lacks becomes '?'.
    EXPECT_NE(data.find("Content-Type: text/plain; charset=iso-8859-15\r\n"), std::string::npos) << data;
    EXPECT_NE(data.find("=A4 10, caf=E9, ?\r\n"), std::string::npos) << data;
    ExpectChecked(data, "{\"parts\":[{\"charset\":\"iso-8859-15\",\"text\":\"\xE2\x82\xAC 10, caf\xC3\xA9, ?\\n\\n\"}]}");
}

TEST_F(SmtpUtf8Test, UnknownCharsetsAreRefused) {
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_TEXT_CHARSET, "no-such-charset"), ZEM_ERR_CHARSET);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_INPUT_CHARSET, std::string(40, 'a').c_str()), ZEM_ERR_CHARSET);
    EXPECT_EQ(zemStringParam(0, ZEM_STRING_TEXT_CHARSET, ""), 0);
    EXPECT_EQ(Ch().Out.TextCharset[0], 0);
}

TEST_F(SmtpUtf8Test, PlainUtf8TextWithoutCharsetStaysAsDescribed) {
    // No text charset: the 8-bit characters of a plain text still become '~', and the
    // header gets no MIME lines.
    const std::string data = SendOne(1, "<a@x.test>", nullptr, "x", "caf\xC3\xA9\n");
    EXPECT_NE(data.find("\r\n\r\ncaf~~\r\n"), std::string::npos) << data;
    EXPECT_EQ(data.find("MIME-Version"), std::string::npos);
}

TEST_F(SmtpUtf8Test, TextCharsetAloneMakesOneMimePart) {
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_TEXT_CHARSET, "utf-8"), 5);
    const std::string data = SendOne(1, "<a@x.test>", nullptr, "x", "caf\xC3\xA9 = ok \nend");
    const size_t head = data.find("Subject: x\r\n");
    ASSERT_NE(head, std::string::npos);
    EXPECT_EQ(data.substr(head), "Subject: x\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                 "Content-Transfer-Encoding: quoted-printable\r\n\r\ncaf=C3=A9 =3D ok=20\r\nend\r\n\r\n");
}

TEST_F(SmtpUtf8Test, HtmlComesBackByteForByteWithItsInlineImages) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_BODY_TYPE, 2), 1);
    std::string html = "<html><body style=\"margin=0\">\n<p>Gr\xC3\xBC\xC3\x9F" "e &amp; " + kJapanese + "</p>   \n"
                       "<img src=\"cid:message-root.1\">\n.\n\t<td>tab</td>\t\n";
    html += "<p>" + std::string(150, 'w') + "=" + std::string(100, '.') + "</p>\n";
    html += "<p class=x>last line without end</p>";
    const std::string png = File("logo.gif", "GIF89a\x01\x02\x03");
    const std::string data = SendOne(1, "<a@x.test>", nullptr, "HTML", html.c_str(), png);
    EXPECT_NE(data.find("Content-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"),
              std::string::npos);
    ExpectChecked(data, "{\"content_type\":\"multipart/related\",\"parts\":[{\"content_type\":\"text/html\","
                        "\"cte\":\"quoted-printable\"},{\"content_type\":\"image/gif\","
                        "\"content_id\":\"<message-root.1>\",\"filename\":\"logo.gif\"}]}");
    ot::Report r = ot::Utf8Check(data, "{}");
    std::string back = zt::ReadFile(r.PartFile(1));
    // Line ends come back as the receiver's CR LF; the bytes between them are the HTML's.
    std::string want;
    for (char c : html) want += c == '\n' ? std::string("\r\n") : std::string(1, c);
    want += "\r\n"; // the text part ends with its line
    EXPECT_EQ(back, want);
}

TEST_F(SmtpUtf8Test, EveryMessageHasItsOwnMessageId) {
    zt::Script s = ot::Ehlo({});
    for (int i = 0; i < 3; ++i)
        Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
                zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go"), zt::ExpectData(), zt::Reply("250 ok")});
    Add(s, {zt::Expect("QUIT"), zt::Reply("221 bye")});
    zt::ScriptServer srv(s);
    ASSERT_EQ(Connect(srv), 0);
    for (int body : {0, 2, 2}) {
        zemIntegerParam(0, ZEM_PARAM_BODY_TYPE, body);
        ASSERT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, "x", "y", nullptr), 0);
    }
    EXPECT_EQ(zemClose(0), 0);
    ASSERT_TRUE(srv.Finish(5000));
    std::set<std::string> ids;
    const std::string all = srv.received();
    static const std::regex kId("Message-ID: (<[0-9a-f]{16}\\.[0-9]{14}\\.[0-9a-f]+\\.[0-9a-f]+@zem\\.test>)\r\n");
    for (auto it = std::sregex_iterator(all.begin(), all.end(), kId); it != std::sregex_iterator(); ++it)
        ids.insert((*it)[1]);
    EXPECT_EQ(ids.size(), 3u) << all;
    EXPECT_EQ(all.find("message-root>"), std::string::npos);
}

TEST_F(SmtpUtf8Test, DateLineHasATwoDigitHour) {
    char line[128];
    zemDebug(0, ZEM_DEBUG_DATE_LINE, line, sizeof line);
    EXPECT_TRUE(std::regex_match(std::string(line), std::regex("Date: [A-Z][a-z]{2}, [0-9]{1,2} [A-Z][a-z]{2} [0-9]{4} "
                                                                "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4}")))
        << line;
}

TEST_F(SmtpUtf8Test, AsciiMessagesKeepTheirBytes) {
    // With every new feature at its default, an ASCII message is what it always was.
    const std::string data =
        SendOne(1, "Bob Smith <a@x.test>", nullptr, "Plain subject", "text\n", File("a.txt", "abc") + "|a.txt");
    EXPECT_NE(data.find("To: Bob Smith <a@x.test>\r\nFrom: <me@zem.test>\r\nSubject: Plain subject\r\n"),
              std::string::npos);
    EXPECT_NE(data.find("Content-Type: application/octet-stream; name=\"a.txt\"\r\nContent-Transfer-Encoding: base64\r\n"
                        "Content-Disposition: attachment; filename=\"a.txt\"\r\n"),
              std::string::npos)
        << data;
    EXPECT_EQ(data.find("=?"), std::string::npos);
}

} // namespace
