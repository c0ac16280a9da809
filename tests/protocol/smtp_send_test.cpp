// zemSendEmail against the scripted loopback server: the SMTP transaction, every header
// line, the MIME structure, text lines, attachments, failures and counters, byte for byte.
// Every message that reaches the end of data is also parsed by Python's own MIME parser
// (mime_check.py), which decodes each part so attachments can be compared with the files.
#include <chrono>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/settings.h"
#include "lib_fixture.h"
#include "outgoing_support.h"
#include "script_server.h"
#include "test_data.h"
#include "zem32.h"

namespace {

using zt::Base64Lines;
using zt::RandomBytes;

const char *const kFrom = "<me@zem.test>";
// Every message starts with its own Message-ID; Message() checks its form and masks it.
const char *const kMailer = "Message-ID: *\r\nX-Mailer: Corvantis Quorvel Version 3.4\r\n";

using Lines = std::vector<std::string>;

// ---- Independent helpers -------------------------------------------------------------------

std::string Json(const std::string &s) { return ot::Json(s, true); }
using ot::Unstuff;

// Checks the form of the Date line and replaces its value with '*'.
std::string MaskDate(const std::string &data) {
    static const std::regex kDate(
        "Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), ([1-9]|[12][0-9]|3[01]) "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 2[0-9]{3} ([01][0-9]|2[0-3]):[0-5][0-9]:[0-6][0-9] "
        "[+-][0-9]{4}");
    size_t at = data.find("Date: ");
    if (at == std::string::npos) return data;
    size_t end = data.find("\r\n", at);
    std::string line = data.substr(at, end - at);
    EXPECT_TRUE(std::regex_match(line, kDate)) << line;
    return data.substr(0, at) + "Date: *" + data.substr(end);
}

// Checks the form of the leading Message-ID line (RFC 5322 section 3.6.4, the sender's
// domain on the right) and replaces its value with '*'.
std::string MaskMessageId(const std::string &data) {
    static const std::regex kId("Message-ID: <[0-9a-f]{16}\\.[0-9]{14}\\.[0-9a-f]+\\.[0-9a-f]+@[^<>@ ]+>");
    size_t end = data.find("\r\n");
    std::string line = data.substr(0, end);
    EXPECT_TRUE(std::regex_match(line, kId)) << line;
    if (line.rfind("Message-ID: ", 0) != 0) return data;
    return "Message-ID: *" + data.substr(end);
}

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

using MimeReport = ot::Report;
using ot::MimeCheck;

// ---- Scripts -------------------------------------------------------------------------------

zt::Script Greeting() {
    return {zt::Send("220 mail.test ESMTP ready\r\n"), zt::Expect("HELO zem.test"), zt::Reply("250 mail.test")};
}

void Add(zt::Script &s, std::initializer_list<zt::Step> steps) { s.insert(s.end(), steps.begin(), steps.end()); }

// A server that accepts the sender, the given recipients and the message, then QUIT.
zt::Script Accepting(const Lines &rcpts, const std::string &finalReply = "250 queued as 42") {
    zt::Script s = Greeting();
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 sender ok")});
    for (const std::string &r : rcpts) Add(s, {zt::Expect("RCPT TO:" + r), zt::Reply("250 recipient ok")});
    Add(s, {zt::Expect("DATA"), zt::Reply("354 end with <CRLF>.<CRLF>"), zt::ExpectData(), zt::Reply(finalReply),
            zt::Expect("QUIT"), zt::Reply("221 bye")});
    return s;
}

struct Mail {
    const char *to = "<a@x.test>";
    const char *cc = nullptr;
    const char *bcc = nullptr;
    const char *subject = "Hello";
    const char *message = "Line one\r\nLine two";
    std::string attachments;
};

class SmtpSendTest : public zt::LibTest {
  protected:
    // Connects channel 0 to the server (HELO with the sender's domain).
    void Connect(const zt::ScriptServer &srv, const char *replyTo = "") {
        ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_SMTP_PORT, srv.port()), 1);
        ASSERT_EQ(zemSmtpConnect(0, "127.0.0.1", kFrom, replyTo), 0);
    }

    int32_t Send(const Mail &m) {
        return zemSendEmail(0, m.to, m.cc, m.bcc, m.subject, m.message,
                            m.attachments.empty() ? nullptr : m.attachments.c_str());
    }

    // Connect, send, close: the usual run against an accepting server. Returns the send's
    // result; the server's script must have run to its end.
    int32_t RunAccepted(zt::ScriptServer &srv, const Mail &m, const char *replyTo = "") {
        Connect(srv, replyTo);
        int32_t r = Send(m);
        EXPECT_EQ(zemClose(0), 0);
        EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
        return r;
    }

    // The data the server received, every transparency dot checked and removed, the Date
    // line checked and masked. The message also passes the MIME checker's own checks (line
    // ends, line lengths, strict base64, no defect, no Bcc).
    static std::string Message(const zt::ScriptServer &srv, bool mimeCheck = true) {
        if (mimeCheck) {
            MimeReport r = MimeCheck(srv.data(), "{}");
            EXPECT_EQ(r.status, 0) << r.output.substr(0, 4000);
        }
        bool loneDot = false;
        std::string plain = Unstuff(srv.data(), &loneDot);
        EXPECT_FALSE(loneDot) << "a data line starts with a single '.'";
        return MaskMessageId(MaskDate(plain));
    }

    static std::string Boundary() { return zem::gBoundaryTemplate; }

    // The usual leading header lines of a message from kFrom to <a@x.test>.
    static std::string Head(const std::string &subject = "Hello") {
        return std::string(kMailer) + "Date: *\r\nTo: <a@x.test>\r\nFrom: <me@zem.test>\r\n" +
               (subject.empty() ? "" : "Subject: " + subject + "\r\n");
    }
    static std::string MimeHead(const char *kind = "mixed") {
        return "MIME-Version: 1.0\r\nContent-Type: multipart/" + std::string(kind) + "; boundary=\"" + Boundary() +
               "\"\r\n\r\n";
    }
    static std::string AttachmentPart(const std::string &name, const std::string &bytes) {
        return "\r\n--" + Boundary() + "\r\nContent-Type: application/octet-stream; name=\"" + name +
               "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" + name +
               "\"\r\n\r\n" + Base64Lines(bytes);
    }
    std::string End() const { return "--" + Boundary() + "--\r\n\r\n\r\n"; }

    static int32_t FileHandleOf(int chan) { return zem::gChannelTable[chan].ChannelPtr->FileHandle; }

    std::string dir_ = zt::TempDir();

    std::string File(const std::string &name, const std::string &bytes) {
        std::string path = dir_ + "/" + name;
        zt::WriteFile(path, bytes);
        return path;
    }
};

// ---- The transaction and the recipient lists ------------------------------------------------

TEST_F(SmtpSendTest, PlainMessageIsSentByteForByte) {
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    ASSERT_EQ(RunAccepted(srv, Mail{}), 0);
    EXPECT_EQ(Message(srv), Head() + "\r\nLine one\r\nLine two\r\n\r\n");
    MimeReport r = MimeCheck(srv.data(), R"({"content_type":"text/plain","multipart":false,"subject":"Hello",
        "to":"<a@x.test>","from":"<me@zem.test>","parts":[{"text":"Line one\nLine two\n\n"}]})");
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(SmtpSendTest, EveryRecipientGetsItsRcptAndBccNeverShows) {
    zt::ScriptServer srv(Accepting({"<a@x.test>", "<b@x.test>", "<c@x.test>", "<d@x.test>", "<e@x.test>"}));
    Mail m;
    m.to = "<a@x.test>, Bob <b@x.test>";
    m.cc = "<c@x.test>";
    m.bcc = "<d@x.test>,<e@x.test>";
    ASSERT_EQ(RunAccepted(srv, m, "<reply@x.test>"), 0);
    EXPECT_EQ(Message(srv), std::string(kMailer) +
                                "Date: *\r\nTo: <a@x.test>, Bob <b@x.test>\r\nFrom: <me@zem.test>\r\n"
                                "Reply-To: <reply@x.test>\r\nSubject: Hello\r\nCC: <c@x.test>\r\n\r\n"
                                "Line one\r\nLine two\r\n\r\n");
    EXPECT_FALSE(Contains(srv.data(), "d@x.test"));
    EXPECT_FALSE(Contains(srv.data(), "e@x.test"));
    char buf[64];
    EXPECT_EQ(zemDebug(0, ZEM_DEBUG_LAST_RECIPIENT, buf, sizeof buf), 10);
    EXPECT_STREQ(buf, "<e@x.test>");
    MimeReport r = MimeCheck(srv.data(), R"({"cc":"<c@x.test>","reply-to":"<reply@x.test>"})");
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(SmtpSendTest, RecipientKeepsTextAfterItsBracket) {
    const std::string longRcpt = "<a-rather-long-mailbox-name@x.test> NOTIFY=NEVER";
    zt::ScriptServer srv(Accepting({"<b@x.test>", longRcpt}));
    Mail m;
    const std::string to = "<b@x.test>,Al " + longRcpt;
    m.to = to.c_str();
    ASSERT_EQ(RunAccepted(srv, m), 0);
    EXPECT_TRUE(Contains(Message(srv), "\r\nTo: " + to + "\r\n"));
    // The last accepted recipient is kept to 32 characters.
    char buf[64];
    EXPECT_EQ(zemDebug(0, ZEM_DEBUG_LAST_RECIPIENT, buf, sizeof buf), 32);
    EXPECT_EQ(std::string(buf), longRcpt.substr(0, 32));
}

TEST_F(SmtpSendTest, LineEndAsRecipientSeparatorStaysOneHeaderLine) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_RECIPIENT_SEP, '\n'), 1);
    zt::ScriptServer srv(Accepting({"<a@x.test>", "<b@x.test>"}));
    Mail m;
    m.to = "<a@x.test>\n<b@x.test>";
    ASSERT_EQ(RunAccepted(srv, m), 0);
    EXPECT_TRUE(Contains(Message(srv), "\r\nTo: <a@x.test>,<b@x.test>\r\nFrom: "));
}

TEST_F(SmtpSendTest, TwoMessagesOnOneConnection) {
    zt::Script s = Greeting();
    for (const char *rcpt : {"<a@x.test>", "<z@x.test>"})
        Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect(std::string("RCPT TO:") + rcpt),
                zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go"), zt::ExpectData(), zt::Reply("250 ok")});
    Add(s, {zt::Expect("QUIT"), zt::Reply("221 bye")});
    zt::ScriptServer srv(s);
    Connect(srv);
    Mail m;
    m.cc = nullptr;
    EXPECT_EQ(Send(m), 0);
    m.to = "<z@x.test>";
    m.subject = nullptr;
    m.message = "Second";
    EXPECT_EQ(Send(m), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(Message(srv), std::string(kMailer) + "Date: *\r\nTo: <z@x.test>\r\nFrom: <me@zem.test>\r\n\r\nSecond\r\n\r\n");
}

TEST_F(SmtpSendTest, OmitToLeavesOutTheLineButNotTheRecipient) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_OMIT_TO, 1), 1);
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    ASSERT_EQ(RunAccepted(srv, Mail{}), 0);
    EXPECT_EQ(Message(srv), std::string(kMailer) + "Date: *\r\nFrom: <me@zem.test>\r\nSubject: Hello\r\n\r\n"
                                                   "Line one\r\nLine two\r\n\r\n");
}

// ---- Header lines ----------------------------------------------------------------------------

TEST_F(SmtpSendTest, ExtraHeaderLinesFollowTheSubjectOnly) {
    ASSERT_GT(zemStringParam(0, ZEM_STRING_EXTRA_HEADERS, "X-One: 1"), 0);
    ASSERT_GT(zemStringParam(0, ZEM_STRING_ADD_HEADER, "X-Two: 2"), 0);
    {
        zt::ScriptServer srv(Accepting({"<a@x.test>"}));
        ASSERT_EQ(RunAccepted(srv, Mail{}), 0);
        EXPECT_EQ(Message(srv), Head() + "X-One: 1\r\nX-Two: 2\r\n\r\nLine one\r\nLine two\r\n\r\n");
        MimeReport r = MimeCheck(srv.data(), R"({"subject":"Hello","parts":[{"text":"Line one\nLine two\n\n"}]})");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(Contains(r.output, R"(["X-One", "1"], ["X-Two", "2"])")) << r.output;
    }
    ASSERT_GT(zemStringParam(0, ZEM_STRING_EXTRA_HEADERS, "X-One: 1"), 0); // zemClose dropped them
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    m.subject = nullptr;
    ASSERT_EQ(RunAccepted(srv, m), 0);
    EXPECT_EQ(Message(srv), Head("") + "\r\nLine one\r\nLine two\r\n\r\n");
}

TEST_F(SmtpSendTest, CallerTextsCannotAddHeaderOrProtocolLines) {
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Connect(srv);
    const char *replyTo = "<r@x.test>\r\nBcc: <spy@x.test>";
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_REPLY_TO, replyTo), static_cast<int32_t>(std::strlen(replyTo)));
    ASSERT_GT(zemStringParam(0, ZEM_STRING_EXTRA_HEADERS, "X-A: 1\n.X-B: 2\r\n\r\nX-C: 3\r.\r\nRCPT TO:<spy@x.test>"), 0);
    Mail m;
    m.subject = "Hi\r\n.\r\nMAIL FROM:<spy@x.test>";
    EXPECT_EQ(Send(m), 0);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    // The extra header text holds lines that are no header lines on purpose, so the message
    // is not held to the MIME checker here: what counts is what reached the server.
    EXPECT_EQ(Message(srv, false), std::string(kMailer) +
                                "Date: *\r\nTo: <a@x.test>\r\nFrom: <me@zem.test>\r\n"
                                "Reply-To: <r@x.test>  Bcc: <spy@x.test>\r\n"
                                "Subject: Hi  .  MAIL FROM:<spy@x.test>\r\n"
                                "X-A: 1\r\n.X-B: 2\r\nX-C: 3\r\n.\r\nRCPT TO:<spy@x.test>\r\n\r\n"
                                "Line one\r\nLine two\r\n\r\n");
    EXPECT_TRUE(Contains(srv.data(), "\r\n..X-B: 2\r\n"));
    EXPECT_TRUE(Contains(srv.data(), "\r\n..\r\nRCPT TO:"));
}

// ---- Text kinds: header lines of each BodyType ------------------------------------------------

struct BodyCase {
    int bodyType;
    const char *topKind;    // multipart/<kind>
    const char *partHeader; // the text part's header lines, with the empty line
    const char *text;       // the text "Hi=there" as its lines
    const char *mimeType;   // as Python reads the text part
};

void PrintTo(const BodyCase &c, std::ostream *os) { *os << "BodyType " << c.bodyType; }

class SmtpBodyTypeTest : public SmtpSendTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(SmtpBodyTypeTest, HeaderLinesWithAndWithoutAttachment) {
    const BodyCase &c = GetParam();
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_BODY_TYPE, c.bodyType), 1);
    if (c.bodyType == 9) {
        ASSERT_GT(zemStringParam(0, ZEM_STRING_CONTENT_TYPE, "Content-Type: text/x-zem"), 0);
    }
    const std::string bytes = "attached bytes\n";
    for (bool withAttachment : {false, true}) {
        SCOPED_TRACE(withAttachment ? "with attachment" : "without attachment");
        zt::ScriptServer srv(Accepting({"<a@x.test>"}));
        Mail m;
        m.message = "Hi=there";
        if (withAttachment) m.attachments = File("notes.txt", bytes);
        ASSERT_EQ(RunAccepted(srv, m), 0);
        std::string want = Head() + MimeHead(c.topKind) + "--" + Boundary() + "\r\n" + c.partHeader + c.text;
        if (withAttachment) want += AttachmentPart("notes.txt", bytes);
        want += End();
        EXPECT_EQ(Message(srv), want);
        std::string expect = std::string(R"({"content_type":"multipart/)") + c.topKind + R"(","boundary":)" +
                             Json(Boundary()) + R"(,"parts":[{"content_type":)" + Json(c.mimeType) + "}";
        if (withAttachment)
            expect += R"(,{"content_type":"application/octet-stream","filename":"notes.txt","disposition":"attachment",)"
                      R"("size":15})";
        expect += "]}";
        MimeReport r = MimeCheck(srv.data(), expect);
        EXPECT_EQ(r.status, 0) << r.output;
        if (withAttachment) {
            EXPECT_EQ(zt::ReadFile(r.PartFile(2)), bytes);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    BodyTypes, SmtpBodyTypeTest,
    ::testing::Values(
        BodyCase{1, "mixed", "Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n",
                 "Hi=3Dthere\r\n", "text/plain"},
        BodyCase{2, "related", "Content-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n",
                 "Hi=3Dthere\r\n", "text/html"},
        BodyCase{3, "mixed", "Content-Type: text/enriched\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n",
                 "Hi=3Dthere\r\n", "text/enriched"},
        BodyCase{4, "mixed",
                 "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n",
                 "Hi=3Dthere\r\n", "text/plain"},
        BodyCase{5, "mixed", "Content-Type: text/plain\r\n\r\n", "Hi=3Dthere\r\n", "text/plain"},
        BodyCase{15, "mixed", "Content-Type: text/plain\r\n\r\n", "Hi=3Dthere\r\n", "text/plain"},
        BodyCase{9, "mixed", "Content-Type: text/x-zem\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n",
                 "Hi=3Dthere\r\n", "text/x-zem"}),
    [](const ::testing::TestParamInfo<BodyCase> &i) { return "BodyType" + std::to_string(i.param.bodyType); });

TEST_F(SmtpSendTest, PlainTextWithAttachmentHasTextPartWithoutEncodingLine) {
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    std::string bytes = "abc";
    m.attachments = File("abc.bin", bytes);
    ASSERT_EQ(RunAccepted(srv, m), 0);
    EXPECT_EQ(Message(srv), Head() + MimeHead() + "--" + Boundary() + "\r\nContent-Type: text/plain\r\n\r\n" +
                                "Line one\r\nLine two\r\n" + "\r\n--" + Boundary() +
                                "\r\nContent-Type: application/octet-stream; name=\"abc.bin\"\r\n"
                                "Content-Transfer-Encoding: base64\r\n"
                                "Content-Disposition: attachment; filename=\"abc.bin\"\r\n\r\nYWJj\r\n" +
                                End());
    MimeReport r = MimeCheck(srv.data(), R"({"parts":[{"content_type":"text/plain","cte":null,
        "text":"Line one\nLine two\n"},{"filename":"abc.bin","size":3}]})");
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(SmtpSendTest, CustomTransferEncodingLineAndItsLengthLimit) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_BODY_TYPE, 1), 1);
    const std::string line127 = "Content-Transfer-Encoding: 7bit" + std::string(127 - 31, ' ');
    const std::string line128 = line127 + "x";
    ASSERT_EQ(line127.size(), 127u);
    struct {
        std::string set;
        std::string sent;
    } cases[] = {{"Content-Transfer-Encoding: 7bit", "Content-Transfer-Encoding: 7bit"},
                 {line127, line127},
                 {line128, "Content-Transfer-Encoding: quoted-printable"},
                 {line128 + "more", "Content-Transfer-Encoding: quoted-printable"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.set.size());
        ASSERT_EQ(zemStringParam(0, ZEM_STRING_TRANSFER_ENCODING, c.set.c_str()),
                  static_cast<int32_t>(std::min<size_t>(c.set.size(), 128)));
        zt::ScriptServer srv(Accepting({"<a@x.test>"}));
        Mail m;
        m.message = "x";
        ASSERT_EQ(RunAccepted(srv, m), 0);
        EXPECT_EQ(Message(srv), Head() + MimeHead() + "--" + Boundary() + "\r\nContent-Type: text/plain\r\n" + c.sent +
                                    "\r\n\r\nx\r\n" + End());
    }
}

TEST_F(SmtpSendTest, CustomTypeNeverSetLeavesAnEmptyFirstPartLine) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_BODY_TYPE, 9), 1);
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    m.message = "x";
    ASSERT_EQ(RunAccepted(srv, m), 0);
    EXPECT_EQ(Message(srv), Head() + MimeHead() + "--" + Boundary() +
                                "\r\n\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nx\r\n" + End());
}

// ---- Text lines on the wire ---------------------------------------------------------------------

TEST_F(SmtpSendTest, PlainTextLinesOnTheWire) {
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    const std::string wrapped = std::string(60, 'w') + " ";
    const std::string text = std::string(100, 'x') + "\r\n" + wrapped + "next\r\ncaf\xE9\tX\r\n.\r\n.signature\r\n\r\nend";
    m.message = text.c_str();
    ASSERT_EQ(RunAccepted(srv, m), 0);
    EXPECT_EQ(Message(srv), Head() + "\r\n" + std::string(78, 'x') + "\r\n" + std::string(22, 'x') + "\r\n" + wrapped +
                                "\r\nnext\r\ncaf~~X\r\n.\r\n.signature\r\n\r\nend\r\n\r\n");
    EXPECT_TRUE(Contains(srv.data(), "\r\n..\r\n..signature\r\n"));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES), static_cast<int32_t>(text.size()));
}

TEST_F(SmtpSendTest, QuotedPrintableTextLinesOnTheWire) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_BODY_TYPE, 4), 1);
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    const std::string p77(77, 'p');
    const std::string text = "a=b caf\xE9\r\n" + p77 + "\r\n" + p77 + ".dot\r\n.lead";
    m.message = text.c_str();
    ASSERT_EQ(RunAccepted(srv, m), 0);
    EXPECT_EQ(Message(srv), Head() + MimeHead() + "--" + Boundary() +
                                "\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
                                "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                                "a=3Db caf=E9\r\n" +
                                p77 + "=\r\n\r\n" + p77 + ".=\r\ndot\r\n.lead\r\n" + End());
    MimeReport r = MimeCheck(srv.data(), R"({"parts":[{"content_type":"text/plain","cte":"quoted-printable","text":)" +
                                             Json("a=b caf\xE9\n" + p77 + "\n" + p77 + ".dot\n.lead") + "}]}");
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(SmtpSendTest, MessageTextFromAFileSkipsZeroBytes) {
    const std::string bytes = std::string("first\0 line\r\n", 13) + std::string("\0.dot\r\nlast", 11);
    const std::string path = File("body.txt", bytes);
    const std::string arg = "@" + path;
    const std::string logPath = dir_ + "/send.log";
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, logPath.c_str()), 0);
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    m.message = arg.c_str();
    ASSERT_EQ(RunAccepted(srv, m), 0);
    EXPECT_EQ(Message(srv), Head() + "\r\nfirst line\r\n.dot\r\nlast\r\n\r\n");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES_SENT), (10 + 2) + (5 + 2) + (4 + 2));
    EXPECT_EQ(FileHandleOf(0), 0);
    std::string log = zt::ReadFile(logPath);
    EXPECT_TRUE(Contains(log, "*** zemSendEmail\r\n*** Sending...\r\n"));
    EXPECT_TRUE(Contains(log, "Opening message file [" + path + "]\r\n"));
}

// ---- Attachments ----------------------------------------------------------------------------

TEST_F(SmtpSendTest, InlineImagesGetContentIdsAndOthersStayAttachments) {
    const std::string jpg = RandomBytes(100, 1), gif = RandomBytes(10, 2), jpeg = RandomBytes(20, 3),
                      tif = RandomBytes(30, 4), bmp = RandomBytes(40, 5), bare = RandomBytes(5, 6);
    const std::string list = File("report.JPG", jpg) + "," + File("pic.gif", gif) + "," + File("photo.jpeg", jpeg) +
                             "," + File("scan.Tif", tif) + "," + File("logo.bmp", bmp) + "," + File(".gif", bare);
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    m.attachments = list;
    ASSERT_EQ(RunAccepted(srv, m), 0);
    auto inlinePart = [&](const char *type, const std::string &name, int id, const std::string &bytes) {
        return "\r\n--" + Boundary() + "\r\nContent-Type: Image/" + type + "; name=\"" + name +
               "\"\r\nContent-ID: <message-root." + std::to_string(id) +
               ">\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: inline; filename=\"" + name + "\"\r\n\r\n" +
               Base64Lines(bytes);
    };
    EXPECT_EQ(Message(srv), Head() + MimeHead() + "--" + Boundary() + "\r\nContent-Type: text/plain\r\n\r\n" +
                                "Line one\r\nLine two\r\n" + inlinePart("JPEG", "report.JPG", 1, jpg) +
                                inlinePart("GIF", "pic.gif", 2, gif) + AttachmentPart("photo.jpeg", jpeg) +
                                inlinePart("TIFF", "scan.Tif", 3, tif) + inlinePart("BMP", "logo.bmp", 4, bmp) +
                                AttachmentPart(".gif", bare) + End());
    MimeReport r = MimeCheck(srv.data(), R"({"parts":[{"content_type":"text/plain"},
        {"content_type":"image/jpeg","disposition":"inline","filename":"report.JPG","content_id":"<message-root.1>"},
        {"content_type":"image/gif","disposition":"inline","content_id":"<message-root.2>"},
        {"content_type":"application/octet-stream","disposition":"attachment","filename":"photo.jpeg","content_id":null},
        {"content_type":"image/tiff","content_id":"<message-root.3>"},
        {"content_type":"image/bmp","content_id":"<message-root.4>"},
        {"content_type":"application/octet-stream","filename":".gif"}]})");
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string *want[] = {&jpg, &gif, &jpeg, &tif, &bmp, &bare};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(zt::ReadFile(r.PartFile(i + 2)), *want[i]) << "attachment " << i + 1;
}

TEST_F(SmtpSendTest, InlineImagesOffSendsImagesAsAttachments) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_INLINE_IMAGES, 0), 1);
    const std::string jpg = RandomBytes(61, 7);
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    m.message = nullptr;
    m.attachments = File("report.JPG", jpg);
    ASSERT_EQ(RunAccepted(srv, m), 0);
    EXPECT_EQ(Message(srv), Head() + MimeHead() + "--" + Boundary() + "\r\nContent-Type: text/plain\r\n\r\n" +
                                AttachmentPart("report.JPG", jpg) + End());
}

TEST_F(SmtpSendTest, PathWithShownNameAndCustomSeparators) {
    const std::string bytes = RandomBytes(200, 8), other = RandomBytes(3, 9);
    const std::string logPath = dir_ + "/send.log";
    ASSERT_GT(zemStringParam(0, ZEM_STRING_LOG_FILE, logPath.c_str()), 0);
    const std::string raw = File("raw.dat", bytes);
    const std::string second = File("second.bin", other);
    {
        zt::ScriptServer srv(Accepting({"<a@x.test>"}));
        Mail m;
        m.attachments = raw + "|Quarterly report.pdf," + second;
        ASSERT_EQ(RunAccepted(srv, m), 0);
        EXPECT_TRUE(Contains(Message(srv), AttachmentPart("Quarterly report.pdf", bytes) +
                                               AttachmentPart("second.bin", other) + End()));
        std::string log = zt::ReadFile(logPath);
        EXPECT_TRUE(Contains(log, "Opening attachment [" + raw + "]\r\n"));
        EXPECT_TRUE(Contains(log, "Opening attachment [" + second + "]\r\n"));
        EXPECT_FALSE(Contains(srv.data(), dir_)) << "no local directory may appear in a message";
    }
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_ATTACH_SEP, ';'), 1);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_DISPLAY_SEP, '*'), 1);
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    m.attachments = raw + "*a,b.txt;" + second + "*c\"d.gif";
    ASSERT_EQ(RunAccepted(srv, m), 0);
    std::string got = Message(srv);
    EXPECT_TRUE(Contains(got, AttachmentPart("a,b.txt", bytes)));
    EXPECT_TRUE(Contains(got, "Content-Type: Image/GIF; name=\"c\\\"d.gif\"\r\nContent-ID: <message-root.1>\r\n"));
    MimeReport r = MimeCheck(srv.data(), R"({"parts":[{},{"filename":"a,b.txt"},{"filename":"c\"d.gif"}]})");
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(SmtpSendTest, EmptyAndShortAttachments) {
    const std::string b58 = RandomBytes(58, 10);
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    m.message = nullptr;
    m.attachments = File("empty.bin", "") + "," + File("b58.bin", b58);
    ASSERT_EQ(RunAccepted(srv, m), 0);
    const std::string got = Message(srv);
    // The empty file: its header lines, then at once the next delimiter.
    EXPECT_TRUE(Contains(got, "filename=\"empty.bin\"\r\n\r\n\r\n--" + Boundary() + "\r\n"));
    // 58 bytes: one line of 76 characters, one of 4 ending in "==".
    size_t at = got.find("filename=\"b58.bin\"\r\n\r\n");
    ASSERT_NE(at, std::string::npos);
    std::string lines = got.substr(at + 22);
    size_t first = lines.find("\r\n");
    size_t second = lines.find("\r\n", first + 2);
    EXPECT_EQ(first, 76u);
    EXPECT_EQ(second - first - 2, 4u);
    EXPECT_EQ(lines.substr(second - 2, 2), "==");
    EXPECT_EQ(lines.substr(0, second + 2), Base64Lines(b58));
    EXPECT_EQ(lines.substr(second + 2), End());
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_BYTES), 58);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_BYTES_SENT), 78 + 6);
    MimeReport r = MimeCheck(srv.data(), R"({"parts":[{"text":""},{"size":0},{"size":58}]})");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(zt::ReadFile(r.PartFile(3)), b58);
}

TEST_F(SmtpSendTest, RandomBinaryAttachmentsDecodeToTheirBytes) {
    const size_t sizes[] = {0, 1, 2, 3, 56, 57, 58, 1024 * 1024};
    std::vector<std::string> originals;
    std::string list;
    std::string expect = R"({"content_type":"multipart/mixed","parts":[{"content_type":"text/plain","cte":"quoted-printable"})";
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        originals.push_back(RandomBytes(sizes[i], 100 + static_cast<unsigned>(i)));
        std::string name = "blob" + std::to_string(sizes[i]) + ".bin";
        list += (i ? "," : "") + File(name, originals.back());
        expect += R"(,{"filename":")" + name + R"(","size":)" + std::to_string(sizes[i]) + "}";
    }
    expect += "]}";
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_BODY_TYPE, 1), 1);
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    m.attachments = list;
    ASSERT_EQ(RunAccepted(srv, m), 0);
    MimeReport r = MimeCheck(srv.data(), expect);
    ASSERT_EQ(r.status, 0) << r.output.substr(0, 4000);
    size_t total = 0, encoded = 0;
    for (size_t i = 0; i < originals.size(); ++i) {
        EXPECT_TRUE(zt::ReadFile(r.PartFile(static_cast<int>(i) + 2)) == originals[i]) << "size " << sizes[i];
        total += originals[i].size();
        encoded += Base64Lines(originals[i]).size();
    }
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_BYTES), static_cast<int32_t>(total));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_BYTES_SENT), static_cast<int32_t>(encoded));
}

// ---- Counters -------------------------------------------------------------------------------

TEST_F(SmtpSendTest, TransferCountersOfTextAndAttachment) {
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Mail m;
    m.message = "Hello\r\nWorld\r\n.";
    m.attachments = File("c.bin", RandomBytes(120, 11));
    ASSERT_EQ(RunAccepted(srv, m), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES), 15);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES_SENT), 7 + 7 + 4); // "..", CR LF included
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_BYTES), 120);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_BYTES_SENT), 78 + 78 + 10);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_BYTES), 135);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_BYTES_SENT), 18 + 166);
}

TEST_F(SmtpSendTest, CountersStartAtZeroForEachSend) {
    zt::Script s = Greeting();
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go"), zt::ExpectData(), zt::Reply("250 ok"),
            zt::Expect("QUIT"), zt::Reply("221 bye")});
    zt::ScriptServer srv(s);
    Connect(srv);
    Mail m;
    m.message = "abc";
    ASSERT_EQ(Send(m), 0);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_TEXT_BYTES), 3);
    Mail none;
    none.to = nullptr;
    EXPECT_EQ(Send(none), ZEM_ERR_NO_RECIPIENT);
    for (int index : {10, 11, 12, 13, 14, 15}) EXPECT_EQ(zemStatistics(0, index), 0) << index;
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000));
}

// ---- Refusals and failures --------------------------------------------------------------------

TEST_F(SmtpSendTest, RefusedSecondRecipientEndsTheSend) {
    zt::Script s = Greeting();
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("250 ok"), zt::Expect("RCPT TO:<b@x.test>"), zt::Reply("550 no such user"), zt::WaitClose()});
    zt::ScriptServer srv(s);
    Connect(srv);
    Mail m;
    m.to = "<a@x.test>,<b@x.test>,<c@x.test>";
    EXPECT_EQ(Send(m), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_TRUE(srv.WaitDisconnected(3000));
    const std::string got = srv.received();
    EXPECT_EQ(got.substr(got.find("RCPT TO:<b@x.test>\r\n")), "RCPT TO:<b@x.test>\r\n") << "nothing after the refusal";
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_REPLY_CODE), 550);
    char buf[64];
    zemDebug(0, ZEM_DEBUG_LAST_RECIPIENT, buf, sizeof buf);
    EXPECT_STREQ(buf, "<a@x.test>");
    char text[256];
    ASSERT_GT(zemErrorText(0, ZEM_ERR_SMTP, text, sizeof text), 0);
    EXPECT_TRUE(Contains(text, "550 no such user")) << text;
}

// Where a 4xx reply comes, and the steps the server takes up to it.
struct TransientCase {
    const char *name;
    const char *stage; // "mail", "rcpt", "data" or "end"
};
void PrintTo(const TransientCase &c, std::ostream *os) { *os << c.name; }

class SmtpTransientTest : public SmtpSendTest, public ::testing::WithParamInterface<TransientCase> {};

TEST_P(SmtpTransientTest, TransientRefusalFailsTheSend) {
    const std::string stage = GetParam().stage;
    zt::Script s = Greeting();
    s.push_back(zt::Expect("MAIL FROM:<me@zem.test>"));
    if (stage == "mail") {
        s.push_back(zt::Reply("421 closing"));
    } else {
        s.push_back(zt::Reply("250 ok"));
        s.push_back(zt::Expect("RCPT TO:<a@x.test>"));
        if (stage == "rcpt") {
            s.push_back(zt::Reply("451 try later"));
        } else {
            s.push_back(zt::Reply("250 ok"));
            s.push_back(zt::Expect("DATA"));
            if (stage == "data") {
                s.push_back(zt::Reply("452 no room"));
            } else {
                Add(s, {zt::Reply("354 go"), zt::ExpectData(), zt::Reply("450 mailbox busy")});
            }
        }
    }
    s.push_back(zt::WaitClose());
    zt::ScriptServer srv(s);
    Connect(srv);
    EXPECT_EQ(Send(Mail{}), ZEM_ERR_SMTP);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_GE(zemStatistics(0, ZEM_STAT_REPLY_CODE), 400);
    EXPECT_LT(zemStatistics(0, ZEM_STAT_REPLY_CODE), 500);
    EXPECT_EQ(zemClose(0), ZEM_ERR_WRITE); // the failure closed the connection
}

INSTANTIATE_TEST_SUITE_P(Stages, SmtpTransientTest,
                         ::testing::Values(TransientCase{"MailFrom", "mail"}, TransientCase{"Rcpt", "rcpt"},
                                           TransientCase{"Data", "data"}, TransientCase{"FinalReply", "end"}),
                         [](const ::testing::TestParamInfo<TransientCase> &i) { return std::string(i.param.name); });

TEST_F(SmtpSendTest, SecondItemWithoutBracketEndsAfterTheFirstRcpt) {
    zt::Script s = Greeting();
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("250 ok"), zt::WaitClose()});
    zt::ScriptServer srv(s);
    Connect(srv);
    Mail m;
    m.to = "<a@x.test>,b@x.test";
    EXPECT_EQ(Send(m), ZEM_ERR_EMPTY_ADDRESS);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
}

TEST_F(SmtpSendTest, MissingAttachmentFailsAfterDataAndClosesFiles) {
    const std::string present = File("present.bin", RandomBytes(300, 12));
    zt::Script s = Greeting();
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go"), zt::WaitClose()});
    zt::ScriptServer srv(s);
    Connect(srv);
    Mail m;
    m.attachments = present + "," + dir_ + "/missing.bin";
    EXPECT_EQ(Send(m), ZEM_ERR_CANNOT_OPEN_FILE);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_TRUE(srv.WaitDisconnected(3000));
    const std::string got = srv.received();
    EXPECT_TRUE(Contains(got, "filename=\"present.bin\""));
    EXPECT_TRUE(Contains(got, "filename=\"missing.bin\"\r\n\r\n"));
    EXPECT_FALSE(Contains(got, "\r\n.\r\n")) << "the data must stay unfinished";
    EXPECT_EQ(FileHandleOf(0), 0);
}

TEST_F(SmtpSendTest, MissingTextFileFailsAfterData) {
    zt::Script s = Greeting();
    Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
            zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go"), zt::WaitClose()});
    zt::ScriptServer srv(s);
    Connect(srv);
    Mail m;
    const std::string arg = "@" + dir_ + "/no-such-text.txt";
    m.message = arg.c_str();
    EXPECT_EQ(Send(m), ZEM_ERR_CANNOT_OPEN_FILE);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_LAST_SOCK_CODE), 0);
}

TEST_F(SmtpSendTest, FailingPartWayClosesTheOpenFile) {
    const std::string big = RandomBytes(1024 * 1024, 13);
    const std::string bigText(1024 * 1024, 't');
    for (bool textFile : {false, true}) {
        SCOPED_TRACE(textFile ? "text file" : "attachment");
        zt::Script s = Greeting();
        Add(s, {zt::Expect("MAIL FROM:<me@zem.test>"), zt::Reply("250 ok"), zt::Expect("RCPT TO:<a@x.test>"),
                zt::Reply("250 ok"), zt::Expect("DATA"), zt::Reply("354 go"), zt::ExpectAny(), zt::Close()});
        zt::ScriptServer srv(s);
        Connect(srv);
        Mail m;
        const std::string arg = "@" + File("big.txt", bigText);
        if (textFile)
            m.message = arg.c_str();
        else
            m.attachments = File("big.bin", big);
        // Where the server's close meets the stream decides the code: a write that fails,
        // or (when every line had gone into the socket already) the reply that never comes.
        int32_t r = Send(m);
        EXPECT_TRUE(r == ZEM_ERR_WRITE || r == ZEM_ERR_TIMED_OUT || r == ZEM_ERR_SOCKET_CLOSED) << r;
        EXPECT_EQ(FileHandleOf(0), 0);
    }
}

// ---- Argument checks: nothing is sent ----------------------------------------------------------

TEST_F(SmtpSendTest, ArgumentErrorsComeBeforeAnythingIsSent) {
    EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, nullptr, nullptr, nullptr), ZEM_ERR_SMTP_ONLY);
    EXPECT_EQ(zemSendEmail(9, "<a@x.test>", nullptr, nullptr, nullptr, nullptr, nullptr), ZEM_ERR_CHANNEL_RANGE);

    zt::Script s = Greeting();
    Add(s, {zt::Expect("QUIT"), zt::Reply("221 bye")});
    zt::ScriptServer srv(s);
    Connect(srv);
    struct {
        const char *to, *cc, *bcc;
        int32_t code;
    } cases[] = {
        {nullptr, nullptr, nullptr, ZEM_ERR_NO_RECIPIENT},
        {"", "<c@x.test>", nullptr, ZEM_ERR_NO_RECIPIENT},
        {"<a@x.test", nullptr, nullptr, ZEM_ERR_MISSING_GT},
        {"<a@x.test>", "<c@x.test", nullptr, ZEM_ERR_MISSING_GT},
        {"<a@x.test>", nullptr, "<d@x.test", ZEM_ERR_MISSING_GT},
        {"<a@x.test>,<b@x.test>\r\nRCPT TO:<spy@x.test>", nullptr, nullptr, ZEM_ERR_BAD_CHAR},
        {"<a@x.test>\n", nullptr, nullptr, ZEM_ERR_BAD_CHAR},
        {"<a@x.test>", "<c@x.test>,<c2@x.test\r>", nullptr, ZEM_ERR_BAD_CHAR},
        {"<a@x.test>", nullptr, "<d@x.test>,<spy@x.test>\nDATA", ZEM_ERR_BAD_CHAR},
    };
    for (const auto &c : cases)
        EXPECT_EQ(zemSendEmail(0, c.to, c.cc, c.bcc, "s", "m", nullptr), c.code) << (c.to ? c.to : "(null)");
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    EXPECT_EQ(srv.received(), "HELO zem.test\r\nQUIT\r\n");
}

TEST_F(SmtpSendTest, MissingBracketFailsThroughTheDriver) {
    zt::Script s = Greeting();
    s.push_back(zt::WaitClose());
    zt::ScriptServer srv(s);
    Connect(srv);
    EXPECT_EQ(zemSendEmail(0, "a@x.test", nullptr, nullptr, nullptr, nullptr, nullptr), ZEM_ERR_MISSING_LT);
    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_EQ(zemSendEmail(0, "<a@x.test>", nullptr, nullptr, nullptr, nullptr, nullptr), ZEM_ERR_NOT_CONNECTED);
    EXPECT_EQ(srv.received(), "HELO zem.test\r\n");
}

TEST_F(SmtpSendTest, SenderWithLineEndFailsAtMailFrom) {
    zt::Script s = Greeting();
    s.push_back(zt::WaitClose());
    zt::ScriptServer srv(s);
    Connect(srv);
    ASSERT_GT(zemStringParam(0, ZEM_STRING_FROM, "<me@zem.test>\r\nRCPT TO:<spy@x.test>"), 0);
    EXPECT_EQ(Send(Mail{}), ZEM_ERR_BAD_CHAR);
    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_EQ(srv.received(), "HELO zem.test\r\n");
    EXPECT_EQ(zemClose(0), ZEM_ERR_WRITE);
}

TEST_F(SmtpSendTest, EmptySenderFailsAtMailFrom) {
    zt::Script s = Greeting();
    s.push_back(zt::WaitClose());
    zt::ScriptServer srv(s);
    Connect(srv);
    ASSERT_EQ(zemStringParam(0, ZEM_STRING_FROM, ""), 0);
    EXPECT_EQ(Send(Mail{}), ZEM_ERR_MISSING_FROM);
    EXPECT_TRUE(srv.Finish(5000));
    EXPECT_EQ(srv.received(), "HELO zem.test\r\n");
}

// ---- Driving the send step by step ------------------------------------------------------------

TEST_F(SmtpSendTest, AutoCallOffRunsTheSameSendThroughTheDriver) {
    zt::ScriptServer srv(Accepting({"<a@x.test>"}));
    Connect(srv);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 0), 1);
    Mail m;
    m.attachments = File("d.bin", "xyz");
    ASSERT_EQ(Send(m), 0);
    int32_t r = 1;
    std::vector<int32_t> states;
    // Bounded by time, not by a count of calls: a loaded machine takes many more 9999s.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (r > 0 && std::chrono::steady_clock::now() < until) {
        r = zemDriver(0);
        if (r > 0 && r != ZEM_DRIVER_WAIT && (states.empty() || states.back() != r)) states.push_back(r);
    }
    EXPECT_EQ(r, 0);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_AUTO_CALL, 1), 1);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000)) << ::testing::PrintToString(srv.errors());
    // State 220 sends the Message-ID every message carries.
    const std::vector<int32_t> want = {205, 206, 207, 208, 209, 210, 220, 221, 223, 224, 225, 227, 229, 230, 233, 234,
                                       235, 238, 240, 241, 260, 261, 262, 263, 264, 265, 251, 252};
    EXPECT_EQ(states, want);
    EXPECT_TRUE(Contains(Message(srv), "Content-Disposition: attachment; filename=\"d.bin\"\r\n\r\neHl6\r\n" + End()));
}

} // namespace
