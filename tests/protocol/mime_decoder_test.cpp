// The incoming MIME decoder. MimeRetrieval saves messages through the whole library from
// the scripted POP3 server and checks the message file, the attachment files, the log
// lines, SavedList and AttachSaved. MimeLines drives MimeLineHandler and its helpers
// directly on a channel record, for the bounds and the cases a server conversation cannot
// reach easily (unfolding near the end of the buffer, full lists, failing writes).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "driver/step.h"
#include "frame/channel.h"
#include "frame/settings.h"
#include "mime/decoder_area.h"
#include "mime/message_file.h"
#include "mime/mime_decoder.h"
#include "mime_support.h"
#include "text/text.h"
#include "zem32.h"

namespace {

using namespace mt;

std::string SavedNote(const std::string &path) { return "[Attachment saved to \"" + path + "\"]\r\n"; }

class MimeRetrieval : public mt::RetrievalTest {
  protected:
    void SetUp() override {
        mt::RetrievalTest::SetUp();
        ASSERT_GE(zemStringParam(0, ZEM_STRING_LOG_FILE, (dir_ + "/log.txt").c_str()), 0);
    }
    std::string Log() const { return zt::ReadFile(dir_ + "/log.txt"); }
};

// ---- Through the library ------------------------------------------------------------------

TEST_F(MimeRetrieval, PlainMessageIsWrittenUnchangedAfterDecodedHeaders) {
    Retrieve(Crlf("From: a@example.org\n"
                  "Subject: =?iso-8859-1?q?Gr=FC=DFe?=\n"
                  "To: b@example.org\n"
                  "\n"
                  "Line one\n"
                  "=41 is not decoded here\n"
                  ".a line with a leading dot\n"));
    EXPECT_EQ(Message(), Crlf("From: a@example.org\n"
                              "Subject: Gr\xFC\xDF"
                              "e\n"
                              "To: b@example.org\n"
                              "\n"
                              "Line one\n"
                              "=41 is not decoded here\n"
                              ".a line with a leading dot\n"));
    const std::string log = Log();
    EXPECT_NE(log.find("[ISO8859]\r\n"), std::string::npos);
    EXPECT_NE(log.find("[Not doing MIME/2]\r\n"), std::string::npos);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), 0);
    EXPECT_EQ(SavedList(), "");
    EXPECT_TRUE(AttachFiles().empty());
}

TEST_F(MimeRetrieval, SinglePartQuotedPrintableIsDecodedAndOtherHeadersLeftOut) {
    Retrieve(Crlf("MIME-Version: 1.0\n"
                  "Date: Mon, 1 Jan 2024 10:00:00 +0000\n"
                  "Subject: prices\n"
                  "Content-Type: text/plain; charset=iso-8859-1\n"
                  "Content-Transfer-Encoding: quoted-printable\n"
                  "\n"
                  "Caf=E9 au lait costs 3=3D4, soft=\n"
                  " break\n"
                  "last\n"));
    EXPECT_EQ(Message(), Crlf("MIME-Version: 1.0\n"
                              "Subject: prices\n"
                              "\n"
                              "Caf\xE9 au lait costs 3=4, soft break\n"
                              "last\n"));
    const std::string log = Log();
    EXPECT_NE(log.find("[MIME version found]\r\n"), std::string::npos);
    EXPECT_NE(log.find("[Encoding is QUOTED]\r\n"), std::string::npos);
    EXPECT_NE(log.find("[MIME w/o boundary]\r\n"), std::string::npos);
    EXPECT_EQ(log.find("[Boundary line found]"), std::string::npos);
}

// Python's email package names the transfer encoding before MIME-Version; the body is
// still decoded (the encoding line itself, seen among the plain headers, is written).
TEST_F(MimeRetrieval, TransferEncodingBeforeMimeVersionStillDecodesTheBody) {
    Retrieve(Crlf("Content-Type: text/plain; charset=\"utf-8\"\n"
                  "Content-Transfer-Encoding: quoted-printable\n"
                  "MIME-Version: 1.0\n"
                  "Subject: order\n"
                  "\n"
                  "caf=C3=A9 1=3D1 soft=\n"
                  "break\n"));
    EXPECT_EQ(Message(), Crlf("Content-Type: text/plain; charset=\"utf-8\"\n"
                              "Content-Transfer-Encoding: quoted-printable\n"
                              "MIME-Version: 1.0\n"
                              "Subject: order\n"
                              "\n"
                              "caf\xC3\xA9 1=1 softbreak\n"));
}

// A multipart/mixed message with a text part and one base64 attachment.
std::string MixedMessage(const std::string &attachment, const std::string &boundaryParam = "\"XYZ\"") {
    return Crlf("From: a@example.org\n"
                "Subject: files\n"
                "MIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=" + boundaryParam + "\n"
                "X-Later: dropped\n"
                "\n"
                "This is a preamble.\n"
                "--XYZ\n"
                "Content-Type: text/plain\n"
                "\n"
                "Hello there.\n"
                "--XYZ\n"
                "Content-Type: application/octet-stream; name=\"data.bin\"\n"
                "Content-Transfer-Encoding: base64\n"
                "Content-Disposition: attachment; filename=\"data.bin\"\n"
                "\n") +
           Base64Lines(attachment) + Crlf("--XYZ--\n");
}

TEST_F(MimeRetrieval, Base64AttachmentIsSavedByteForByteWithItsNote) {
    const std::string bytes = RandomBytes(3000, 1);
    Retrieve(MixedMessage(bytes));
    EXPECT_EQ(Attachment("data.bin"), bytes);
    EXPECT_EQ(Message(), Crlf("From: a@example.org\n"
                              "Subject: files\n"
                              "MIME-Version: 1.0\n"
                              "\n"
                              "Hello there.\n") +
                             SavedNote(att_ + "/data.bin"));
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), 1);
    EXPECT_EQ(SavedList(), "data.bin");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_BYTES), static_cast<int32_t>(Base64Lines(bytes).size()));
    const std::string log = Log();
    EXPECT_NE(log.find("[MIME boundary defined 5 (--XYZ)]\r\n"), std::string::npos);
    EXPECT_NE(log.find("[Boundary line found]\r\n"), std::string::npos);
    EXPECT_NE(log.find("[Encoding is BASE64]\r\n"), std::string::npos);
    EXPECT_NE(log.find("[Filename='data.bin']\r\n"), std::string::npos);
    EXPECT_NE(log.find("[AttachDir = '" + att_ + "']\r\n"), std::string::npos);
    EXPECT_NE(log.find("[Creating '" + att_ + "/data.bin']\r\n"), std::string::npos);
    EXPECT_NE(log.find("[...decode to file...]\r\n"), std::string::npos);
    EXPECT_NE(log.find(SavedNote(att_ + "/data.bin")), std::string::npos);
}

TEST_F(MimeRetrieval, NoSavedNoteLeavesTheNoteOutOfTheMessageOnly) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_NO_SAVED_NOTE, 1), 1);
    const std::string bytes = RandomBytes(100, 2);
    Retrieve(MixedMessage(bytes, "XYZ")); // unquoted boundary, up to the CR
    EXPECT_EQ(Attachment("data.bin"), bytes);
    EXPECT_EQ(Message().find("[Attachment saved"), std::string::npos);
    EXPECT_NE(Log().find(SavedNote(att_ + "/data.bin")), std::string::npos);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), 1);
}

std::string ThreeAttachments() {
    std::string m = Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n");
    const char *names[] = {"one.txt", "two.txt", "C:\\temp\\a.txt"};
    for (int i = 0; i < 3; ++i)
        m += Crlf(std::string("--b\nContent-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"") +
                  names[i] + "\"\n\n") +
             Base64Lines("content " + std::to_string(i + 1));
    return m + Crlf("--b--\n");
}

TEST_F(MimeRetrieval, NumberedNamesCountOnAcrossMessages) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_NUMBERED_NAMES, 1), 1);
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_ATTACH_SEP, ';'), 1);
    const std::string second = Crlf("MIME-Version: 1.0\nContent-Transfer-Encoding: base64\n"
                                    "Content-Disposition: attachment; filename=\"C:\\temp\\a.txt\"\n\n") +
                               Base64Lines("again");
    zt::ScriptServer srv(Pop3Script({ThreeAttachments(), second}));
    Connect(srv);
    ASSERT_EQ(Get(1, "msg1.txt"), 0);
    EXPECT_EQ(Attachment("1-one.txt"), "content 1");
    EXPECT_EQ(Attachment("2-two.txt"), "content 2");
    EXPECT_EQ(Attachment("3-a.txt"), "content 3"); // "C:\temp\a.txt" after two earlier ones
    EXPECT_EQ(SavedList(), "1-one.txt;2-two.txt;3-a.txt");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), 3);
    EXPECT_NE(Message(1).find(SavedNote(att_ + "/3-a.txt")), std::string::npos);
    // The number goes on with the channel; the count and the list start again.
    ASSERT_EQ(Get(2, "msg2.txt"), 0);
    EXPECT_EQ(Attachment("4-a.txt"), "again");
    EXPECT_EQ(SavedList(), "4-a.txt");
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), 1);
    EXPECT_EQ(zemClose(0), 0);
    EXPECT_TRUE(srv.Finish(5000));
}

TEST_F(MimeRetrieval, NestedAlternativeBoundaryIsFollowed) {
    const std::string bytes = RandomBytes(700, 3);
    Retrieve(Crlf("MIME-Version: 1.0\n"
                  "Content-Type: multipart/mixed; boundary=\"outer\"\n"
                  "\n"
                  "--outer\n"
                  "Content-Type: multipart/alternative;\n"
                  " boundary=\"inner\"\n"
                  "\n"
                  "--inner\n"
                  "Content-Type: text/plain\n"
                  "Content-Transfer-Encoding: quoted-printable\n"
                  "\n"
                  "plain=20version\n"
                  "--inner\n"
                  "Content-Type: text/html\n"
                  "\n"
                  "<p>html version</p>\n"
                  "--inner--\n"
                  "\n"
                  "--outer\n"
                  "Content-Type: application/octet-stream; name=\"n.bin\"\n"
                  "Content-Transfer-Encoding: base64\n"
                  "\n") +
             Base64Lines(bytes) + Crlf("--outer--\n"));
    EXPECT_EQ(Attachment("n.bin"), bytes);
    EXPECT_EQ(Message(), Crlf("MIME-Version: 1.0\n"
                              "\n"
                              "plain version\n"
                              "<p>html version</p>\n") +
                             SavedNote(att_ + "/n.bin"));
    // The length logged is the main boundary's.
    EXPECT_NE(Log().find("[Alternate MIME boundary defined 7 (--inner)]\r\n"), std::string::npos);
}

TEST_F(MimeRetrieval, InlinePartsAreDecodedIntoTheMessageFile) {
    Retrieve(Crlf("MIME-Version: 1.0\n"
                  "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
                  "\n"
                  "--XYZ\n"
                  "Content-Type: text/plain; charset=iso-8859-1\n"
                  "Content-Disposition: inline\n"
                  "Content-Transfer-Encoding: quoted-printable\n"
                  "\n"
                  "Gr=FC=DFe =\n"
                  "aus Bern\n"
                  "+OK is text here\n"
                  "--XYZ\n"
                  "Content-Type: text/plain\n"
                  "Content-Disposition: inline\n"
                  "Content-Transfer-Encoding: base64\n"
                  "\n") +
             Base64Lines("decoded from base64\r\n") + Crlf("--XYZ--\n"));
    EXPECT_EQ(Message(), Crlf("MIME-Version: 1.0\n"
                              "\n"
                              "Gr\xFC\xDF"
                              "e aus Bern\n"
                              "+OK is text here\n"
                              "decoded from base64\n"));
    EXPECT_TRUE(AttachFiles().empty());
    const std::string log = Log();
    EXPECT_NE(log.find("[inline]\r\n"), std::string::npos);
    EXPECT_NE(log.find("[...decode inline...]\r\n"), std::string::npos);
    EXPECT_NE(log.find("[InlineFlag=1 MimeEncoding=3 FileHandle=0]\r\n"), std::string::npos);
}

std::string UnnamedParts() {
    return Crlf("MIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
                "\n"
                "--XYZ\n"
                "Content-Type: application/octet-stream\n"
                "Content-Transfer-Encoding: base64\n"
                "\n") +
           Base64Lines("unnamed bytes") + Crlf("--XYZ--\n");
}

TEST_F(MimeRetrieval, UnnamedBase64PartStaysInTheMessageWithoutCode14) {
    Retrieve(UnnamedParts());
    EXPECT_EQ(Message(), Crlf("MIME-Version: 1.0\n\n") + Base64Lines("unnamed bytes"));
    EXPECT_TRUE(AttachFiles().empty());
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), 0);
}

TEST_F(MimeRetrieval, UnnamedBase64PartsAreSavedWithCode14) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_SAVE_NONAME, 1), 1);
    // After a boundary the part is called incoming.mai; a single-part message on a channel
    // that never had a name gets "noname".
    const std::string single = Crlf("MIME-Version: 1.0\nContent-Transfer-Encoding: base64\n\n") + Base64Lines("single");
    RetrieveAll({single, UnnamedParts()});
    EXPECT_EQ(Attachment("noname"), "single");
    EXPECT_EQ(Attachment("incoming.mai"), "unnamed bytes");
    EXPECT_EQ(Message(1), Crlf("MIME-Version: 1.0\n\n") + SavedNote(att_ + "/noname"));
    EXPECT_EQ(Message(2), Crlf("MIME-Version: 1.0\n\n") + SavedNote(att_ + "/incoming.mai"));
    EXPECT_EQ(SavedList(), "incoming.mai");
}

TEST_F(MimeRetrieval, ClosingDelimiterStartsPartHeadersForTheEpilogue) {
    Retrieve(Crlf("MIME-Version: 1.0\n"
                  "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
                  "\n"
                  "--XYZ\n"
                  "\n"
                  "body\n"
                  "--xyz--\n"
                  "epilogue read as a header\n"
                  "\n"
                  "epilogue after its blank line\n"));
    EXPECT_EQ(Message(), Crlf("MIME-Version: 1.0\n\nbody\nepilogue after its blank line\n"));
    // Boundaries compare without regard to case: "--xyz--" closed the part.
    const std::string log = Log();
    size_t found = 0;
    for (size_t at = log.find("[Boundary line found]"); at != std::string::npos; at = log.find("[Boundary line found]", at + 1)) ++found;
    EXPECT_EQ(found, 2u);
}

std::string Latin1WordsMessage(const std::string &subject) {
    return Crlf(subject + "\n"
                "From: =?ISO-8859-1?Q?J=F6rg_M=FCller?= <j@example.org>\n"
                "MIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
                "\n"
                "--XYZ\n"
                "Content-Transfer-Encoding: base64\n"
                "Content-Disposition: attachment; filename=\"=?iso-8859-1?q?r=E9sum=E9.txt?=\"\n"
                "\n") +
           Base64Lines("q form") +
           Crlf("--XYZ\n"
                "Content-Transfer-Encoding: base64\n"
                "Content-Disposition: attachment; filename=\"=?iso-8859-1?B?//4uYmlu?=\"\n"
                "\n") +
           Base64Lines("b form") + Crlf("--XYZ--\n");
}

TEST_F(MimeRetrieval, EncodedWordsInSubjectFromAndFileNames) {
    const std::string subject = "Subject: =?iso-8859-1?b?SGVsbG8=?= world";
    Retrieve(Latin1WordsMessage(subject));
    // B form: the decoded word, the rest of the line, then spaces up to the old length.
    const std::string decodedSubject = "Subject: Hello world";
    const std::string expected =
        decodedSubject + std::string(subject.size() - decodedSubject.size(), ' ') + "\r\n" +
        "From: J\xF6rg_M\xFCller <j@example.org>\r\n" + "MIME-Version: 1.0\r\n";
    EXPECT_EQ(Message().substr(0, expected.size()), expected);
    // File names are UTF-8 on this platform: the ISO-8859-1 words are converted. The base64
    // name holds '/' characters: it is cut to a path component only after decoding.
    EXPECT_EQ(Attachment("r\xC3\xA9sum\xC3\xA9.txt"), "q form");
    EXPECT_EQ(Attachment("\xC3\xBF\xC3\xBE.bin"), "b form");
    EXPECT_EQ(SavedList(), "r\xC3\xA9sum\xC3\xA9.txt,\xC3\xBF\xC3\xBE.bin");
    const std::string log = Log();
    EXPECT_NE(log.find("[iso-8859]\r\n"), std::string::npos);
    EXPECT_NE(log.find("[r:Content-Disposition: attachment; filename=\"=?iso-8859-1?q?r=E9sum=E9.txt?=\"\r\n]\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("[Filename='r\xC3\xA9sum\xC3\xA9.txt']\r\n"), std::string::npos);
}

TEST_F(MimeRetrieval, EightBitNamesKeepTheBytesOfTheirWords) {
    ASSERT_EQ(zemIntegerParam(0, ZEM_PARAM_8BIT_NAMES, 1), 1);
    const std::string subject = "Subject: =?iso-8859-1?b?SGVsbG8=?= world";
    Retrieve(Latin1WordsMessage(subject));
    EXPECT_EQ(Attachment("r\xE9sum\xE9.txt"), "q form");
    EXPECT_EQ(Attachment("\xFF\xFE.bin"), "b form");
    EXPECT_EQ(SavedList(), "r\xE9sum\xE9.txt,\xFF\xFE.bin");
}

TEST_F(MimeRetrieval, UnencodedEightBitNamesBecomeUtf8) {
    // An unencoded name that is UTF-8 already stays; one that is not is read as ISO-8859-1.
    Retrieve(Crlf("MIME-Version: 1.0\n"
                  "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
                  "\n"
                  "--XYZ\n"
                  "Content-Transfer-Encoding: base64\n"
                  "Content-Disposition: attachment; filename=\"\xC3\xBC-utf8.txt\"\n"
                  "\n") +
             Base64Lines("utf-8 name") +
             Crlf("--XYZ\n"
                  "Content-Transfer-Encoding: base64\n"
                  "Content-Disposition: attachment; filename=\"\xFC-latin1.txt\"\n"
                  "\n") +
             Base64Lines("latin-1 name") + Crlf("--XYZ--\n"));
    EXPECT_EQ(Attachment("\xC3\xBC-utf8.txt"), "utf-8 name");
    EXPECT_EQ(Attachment("\xC3\xBC-latin1.txt"), "latin-1 name");
    EXPECT_EQ(SavedList(), "\xC3\xBC-utf8.txt,\xC3\xBC-latin1.txt");
}

TEST_F(MimeRetrieval, FoldedHeaderLinesAreUnfolded) {
    Retrieve(Crlf("Subject: =?iso-8859-1?q?first_part?=\n"
                  " =?iso-8859-1?q?_second?=\n"
                  "Content-Type: multipart/mixed;\n"
                  "\tboundary=\"XYZ\"\n"
                  "\n"
                  "--XYZ\n"
                  "Content-Transfer-Encoding: base64\n"
                  "Content-Disposition: attachment;\n"
                  "\tfilename=\"semicolon.bin\"\n"
                  "\n") +
             Base64Lines("one") +
             Crlf("--XYZ\n"
                  "Content-Transfer-Encoding: base64\n"
                  "Content-Disposition: attachment; size=5\n"
                  " filename=\"space.bin\"\n"
                  "\n") +
             Base64Lines("two") + Crlf("--XYZ--\n"));
    EXPECT_EQ(Attachment("semicolon.bin"), "one");
    EXPECT_EQ(Attachment("space.bin"), "two");
    // No MIME-Version: the headers are written, each folded line as one.
    const std::string m = Message();
    EXPECT_EQ(m.substr(0, m.find("\r\n\r\n") + 4), Crlf("Subject: first_part_second\n"
                                                        "Content-Type: multipart/mixed;boundary=\"XYZ\"\n"
                                                        "\n"));
    EXPECT_NE(Log().find("[Assuming MIME]\r\n"), std::string::npos);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), 2);
}

TEST_F(MimeRetrieval, EmbeddedMessageHeadersAreReadAsPartHeaders) {
    Retrieve(Crlf("MIME-Version: 1.0\n"
                  "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
                  "\n"
                  "--XYZ\n"
                  "Content-Type: message/rfc822\n"
                  "\n"
                  "Subject: inner message\n"
                  "Content-Transfer-Encoding: base64\n"
                  "Content-Disposition: attachment; filename=\"inner.bin\"\n"
                  "\n") +
             Base64Lines("inner bytes") + Crlf("--XYZ--\n"));
    EXPECT_EQ(Attachment("inner.bin"), "inner bytes");
    EXPECT_EQ(Message(), Crlf("MIME-Version: 1.0\n\n\n") + SavedNote(att_ + "/inner.bin"));
    EXPECT_NE(Log().find("[Ignoring blank line]\r\n"), std::string::npos);
}

TEST_F(MimeRetrieval, NamesFromTheMessageStayInsideTheAttachmentDirectory) {
    std::string m = Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n");
    const char *names[] = {"../../etc/x", "/tmp/y", "a/../../b", "sub\\..", "C:"};
    for (int i = 0; i < 5; ++i)
        m += Crlf(std::string("--b\nContent-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"") +
                  names[i] + "\"\n\n") +
             Base64Lines("file " + std::to_string(i));
    m += Crlf("--b--\n");
    att_ += "/"; // a directory given with its separator gets no second one
    Retrieve(m);
    att_.pop_back();
    EXPECT_EQ(AttachFiles(), (std::vector<std::string>{"b", "noname", "noname(2)", "x", "y"}));
    EXPECT_EQ(Attachment("x"), "file 0");
    EXPECT_EQ(Attachment("y"), "file 1");
    EXPECT_EQ(Attachment("b"), "file 2");
    EXPECT_EQ(Attachment("noname"), "file 3"); // "sub\.." and "C:" both became noname,
    EXPECT_EQ(Attachment("noname(2)"), "file 4"); // and the second does not overwrite the first
    EXPECT_EQ(SavedList(), "x,y,b,noname,noname(2)"); // the same name twice: a distinct second name
    EXPECT_NE(Message().find(SavedNote(att_ + "/x")), std::string::npos);
    // Nothing next to the attachment directory either.
    EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"att", "log.txt", "msg1.txt"}));
}

TEST_F(MimeRetrieval, AttachmentThatCannotBeCreatedGoesIntoTheMessage) {
    att_ = dir_ + "/missing"; // no such directory
    const std::string body = Base64Lines("kept as text");
    Retrieve(Crlf("MIME-Version: 1.0\nContent-Transfer-Encoding: base64\n"
                  "Content-Disposition: attachment; filename=\"lost.bin\"\n\n") +
             body);
    EXPECT_EQ(Message(), Crlf("MIME-Version: 1.0\n\n") + body);
    const std::string log = Log();
    EXPECT_NE(log.find("[Creating '" + att_ + "/lost.bin']\r\n"), std::string::npos);
    EXPECT_NE(log.find("[Cannot open '" + att_ + "/lost.bin']\r\n"), std::string::npos);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), 0);
}

TEST_F(MimeRetrieval, AttachmentPathThatDoesNotFitIsNotCreated) {
    att_ = dir_ + "/" + std::string(100, 'd');
    ASSERT_LE(att_.size(), 128u);
    fs::create_directory(att_);
    const std::string name = std::string(40, 'n') + ".bin";
    const std::string body = Base64Lines("too long");
    Retrieve(Crlf("MIME-Version: 1.0\nContent-Transfer-Encoding: base64\n"
                  "Content-Disposition: attachment; filename=\"" + name + "\"\n\n") +
             body);
    EXPECT_EQ(Message(), Crlf("MIME-Version: 1.0\n\n") + body);
    EXPECT_TRUE(fs::is_empty(att_));
    const std::string log = Log();
    EXPECT_NE(log.find("[Cannot open '" + (att_ + "/" + name).substr(0, 129) + "']\r\n"), std::string::npos);
    EXPECT_EQ(log.find("[Creating '" + att_), std::string::npos);
}

TEST_F(MimeRetrieval, FailingAttachmentWriteFailsTheRequest) {
    // Attachment files are regular files only (a device such as /dev/full is refused), so a
    // full disk is played by a file size limit: writes beyond it fail with EFBIG.
    const std::string msg = Crlf("MIME-Version: 1.0\nContent-Transfer-Encoding: base64\n"
                                 "Content-Disposition: attachment; filename=\"full\"\n\n") +
                            Base64Lines(RandomBytes(200000, 4));
    zt::ScriptServer srv(Pop3Script({msg}, false));
    Connect(srv);
    struct rlimit was {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = was;
    small.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int32_t r = zemGetEmailFile(0, 1, "msg1.txt", dir_.c_str(), att_.c_str());
    setrlimit(RLIMIT_FSIZE, &was);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(r, ZEM_ERR_CANNOT_CREATE_FILE);
    EXPECT_EQ(zemStatistics(0, ZEM_STAT_ATTACH_SAVED), 1); // closed and recorded on the way out
}

// ---- The handler on its own -----------------------------------------------------------------

class MimeLines : public zt::DirTest {
  protected:
    void SetUp() override {
        zt::DirTest::SetUp();
        ASSERT_EQ(zem::FindChannel(0, &ch_), 0);
        zem::CopyText(ch_->AttachDir, dir_.c_str(), 128);
        ch_->EmailFile = zem::FileReplace((dir_ + "/msg.txt").c_str(), false);
        ASSERT_GT(ch_->EmailFile, 0);
        ch_->DecodeState = 2;
        zem::ResetDecoder(*ch_);
        std::memset(ch_->ReadAhead, 0x5A, sizeof ch_->ReadAhead);
    }
    void TearDown() override {
        StopSocket();
        zem::CloseAttachmentFile(*ch_);
        zem::CloseMessageFile(*ch_);
        // Nothing ever ran past ReplyBuffer into its neighbour.
        for (char c : ch_->ReadAhead) ASSERT_EQ(c, 0x5A);
        zt::DirTest::TearDown();
    }
    // The channel reads from one end of a socket pair; the test writes into the other.
    void StartSocket(const std::string &waiting) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
        ch_->Socket = sv_[0];
        ch_->SocketOpen = 1;
        ASSERT_EQ(write(sv_[1], waiting.data(), waiting.size()), static_cast<ssize_t>(waiting.size()));
    }
    void StopSocket() {
        if (sv_[0] < 0) return;
        ch_->SocketOpen = 0;
        ch_->Socket = 0;
        zem::RingClear(*ch_);
        close(sv_[0]);
        close(sv_[1]);
        sv_[0] = sv_[1] = -1;
    }
    std::string Pending() { // what the socket still holds
        shutdown(sv_[1], SHUT_WR);
        char buf[4096];
        std::string out(zem::RecvRing(*ch_) + ch_->RingHead, zem::RingCount(*ch_));
        ssize_t n;
        while ((n = read(sv_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }
    // One line through the handler the way the line-mode save passes it.
    int32_t Line(const std::string &text) {
        EXPECT_LT(text.size(), 1024u);
        std::memcpy(ch_->ReplyBuffer, text.c_str(), text.size() + 1);
        int32_t r = zem::MimeLineHandler(*ch_);
        if (r == 1) zem::WriteToEmailFile(*ch_, ch_->ReplyBuffer, static_cast<int32_t>(std::strlen(ch_->ReplyBuffer)));
        return r;
    }
    std::string Current() const { return ch_->ReplyBuffer; }
    // One line through the line entry; next is the next line's first byte when known.
    int32_t Feed(const std::string &text, int32_t next = zem::kNextUnknown) {
        EXPECT_LT(text.size(), 1024u);
        return zem::FeedDecoderLine(*ch_, text.data(), static_cast<int32_t>(text.size()), next);
    }
    std::string Held() const {
        const zem::DecoderArea &d = zem::Decoder(*ch_);
        return std::string(d.Held, static_cast<size_t>(d.HeldLen));
    }
    std::string MessageFile() const {
        zem::FlushEmailFile(*ch_); // what the message file gathered, written out
        return zt::ReadFile(dir_ + "/msg.txt");
    }

    zem::Channel *ch_ = nullptr;
    int sv_[2] = {-1, -1};
};

TEST_F(MimeLines, StatesWithoutDecodingWriteEveryLine) {
    for (int32_t state : {0, 7, 8, 9}) {
        ch_->DecodeState = state;
        EXPECT_EQ(Line("Content-Type: multipart/mixed; boundary=\"X\"\r\n"), 1) << state;
        EXPECT_EQ(ch_->DecodeState, state);
        EXPECT_EQ(ch_->BoundaryLen, 0);
    }
}

TEST_F(MimeLines, ResetDecoderClearsOnlyTheMessageState) {
    ch_->BoundaryLen = 5;
    ch_->MimeEncoding = 2;
    ch_->AttachSaved = 3;
    ch_->BlankSeen = 1;
    ch_->AltBoundaryLen = 4;
    ch_->AttachNumber = 9;
    std::memset(ch_->SavedList, 'x', sizeof ch_->SavedList);
    zem::CopyText(ch_->Filename, "kept.bin", 128);
    zem::ResetDecoder(*ch_);
    EXPECT_EQ(ch_->BoundaryLen, 0);
    EXPECT_EQ(ch_->MimeEncoding, 0);
    EXPECT_EQ(ch_->AttachSaved, 0);
    EXPECT_EQ(ch_->BlankSeen, 0);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(ch_->SavedList[i], 0);
    EXPECT_EQ(ch_->AltBoundaryLen, 4); // carried over, as the file name and the number
    EXPECT_EQ(ch_->AttachNumber, 9);
    EXPECT_STREQ(ch_->Filename, "kept.bin");
}

TEST_F(MimeLines, BoundaryDefinitions) {
    // Unquoted, to the CR; the line is written unchanged in state 2.
    EXPECT_EQ(Line("Content-Type: multipart/mixed; boundary=XYZ\r\n"), 1);
    EXPECT_EQ(Current(), "Content-Type: multipart/mixed; boundary=XYZ\r\n");
    EXPECT_STREQ(ch_->MimeBoundary, "--XYZ");
    EXPECT_EQ(ch_->BoundaryLen, 5);
    EXPECT_EQ(ch_->DecodeState, 4);

    // A quote anywhere after "boundary=" wins; a long boundary keeps 126 characters.
    ch_->DecodeState = 3;
    const std::string longOne(200, 'q');
    EXPECT_EQ(Line("Content-Type: multipart/mixed; BOUNDARY=\"" + longOne + "\"\r\n"), 0);
    EXPECT_EQ(ch_->BoundaryLen, 128);
    EXPECT_EQ(std::string(ch_->MimeBoundary), "--" + longOne.substr(0, 126));

    // Not definitions: no closing quote, an empty value, no line end, no parameter.
    for (const char *bad : {"Content-Type: multipart/mixed; boundary=\"open\r\n", "Content-Type: multipart/mixed; boundary=\r\n",
                            "Content-Type: text/plain\r\n",
                            "Content-Type: multipart/mixed; boundary=\""}) {
        ch_->DecodeState = 2;
        ch_->BoundaryLen = 0;
        Line(bad);
        EXPECT_EQ(ch_->BoundaryLen, 0) << bad;
        EXPECT_EQ(ch_->DecodeState, 2) << bad;
    }
    // The line's end is normalised before the search, so a cut line still ends at a CR.
    ch_->DecodeState = 2;
    Line("Content-Type: multipart/mixed; boundary=abc  ");
    EXPECT_STREQ(ch_->MimeBoundary, "--abc");
}

TEST_F(MimeLines, BoundaryInStateThreeClosesAFileOpenedBefore) {
    ch_->DecodeState = 3;
    EXPECT_EQ(Line("Content-Disposition: attachment; filename=\"early.bin\"\r\n"), 0);
    ASSERT_GT(ch_->FileHandle, 0);
    const int32_t h = ch_->FileHandle;
    EXPECT_EQ(Line("Content-Type: multipart/mixed; boundary=\"B\"\r\n"), 0);
    EXPECT_EQ(ch_->FileHandle, 0);
    EXPECT_EQ(fcntl(h, F_GETFD), -1); // closed, not leaked
    EXPECT_EQ(ch_->AttachSaved, 0);   // and not recorded
}

TEST_F(MimeLines, OnlyTheFirstBlankLineOfThePreambleIsWritten) {
    ch_->DecodeState = 4;
    ch_->BoundaryLen = zem::CopyText(ch_->MimeBoundary, "--B", 128);
    EXPECT_EQ(Line("preamble\r\n"), 0);
    EXPECT_EQ(Line("\r\n"), 1);
    EXPECT_EQ(Line("\r\n"), 0);
    EXPECT_EQ(Line("--b\r\n"), 0);
    EXPECT_EQ(ch_->DecodeState, 5);
    EXPECT_STREQ(ch_->Filename, "incoming.mai");
}

TEST_F(MimeLines, EncodedWordForms) {
    // Two Q words at most per line; the underscore stays. The whole line is then decoded
    // as quoted-printable, so the third word's "?=" before the CR reads as a soft break.
    EXPECT_EQ(Line("Subject: =?iso-8859-1?q?a_b?= =?iso-8859-1?Q?=E9?= =?iso-8859-1?q?c?=\r\n"), 1);
    EXPECT_EQ(Current(), "Subject: a_b \xE9 =?iso-8859-1?q?c?");
    // Other character sets and unfinished words are left as they are.
    EXPECT_EQ(Line("Subject: =?utf-8?q?caf=C3=A9?=\r\n"), 1);
    EXPECT_EQ(Current(), "Subject: =?utf-8?q?caf=C3=A9?=\r\n");
    std::strcpy(ch_->ReplyBuffer, "Subject: =?iso-8859-1?b?SGVsbG8=\r\n");
    EXPECT_EQ(zem::DecodeEncodedWords(*ch_, ch_->ReplyBuffer), 0);
    EXPECT_EQ(Current(), "Subject: =?iso-8859-1?b?SGVsbG8=\r\n");
    // One B word per line: the second stays encoded after the first one's rest.
    std::string two = "Subject: =?iso-8859-1?b?SGk=?= and =?iso-8859-1?b?SGk=?=\r\n";
    std::memcpy(ch_->ReplyBuffer, two.c_str(), two.size() + 1);
    EXPECT_EQ(zem::DecodeEncodedWords(*ch_, ch_->ReplyBuffer), 2);
    const std::string kept = "Subject: Hi and =?iso-8859-1?b?SGk=?=";
    EXPECT_EQ(Current(), kept + std::string(two.size() - 2 - kept.size(), ' ') + "\r\n");
    // Lines not beginning with Subject: or From are not decoded in the headers.
    EXPECT_EQ(Line("To: =?iso-8859-1?q?x?=\r\n"), 1);
    EXPECT_EQ(Current(), "To: =?iso-8859-1?q?x?=\r\n");
}

TEST_F(MimeLines, BWordAtTheEndOfAFullBufferStaysInside) {
    // A line that fills ReplyBuffer without a line end: the CR LF added must fit.
    std::string line = "Subject: =?iso-8859-1?b?";
    for (int i = 0; i < 500; ++i) line += "QUFB"; // "AAA"
    line += "?=";
    line += std::string(zem::kBufferSize - 1 - line.size(), 'z');
    std::memcpy(ch_->ReplyBuffer, line.c_str(), line.size() + 1);
    EXPECT_EQ(zem::DecodeEncodedWords(*ch_, ch_->ReplyBuffer), 2);
    const std::string out = Current();
    EXPECT_EQ(out.size(), static_cast<size_t>(zem::kBufferSize - 1));
    EXPECT_EQ(out.substr(out.size() - 2), "\r\n");
    EXPECT_EQ(out.substr(0, 1509), "Subject: " + std::string(1500, 'A'));
}

TEST_F(MimeLines, FileNameRule) {
    struct Case {
        const char *line;
        const char *name; // nullptr: no name
    } cases[] = {
        {"Content-Type: application/pdf; name=\"report.pdf\"\r\n", "report.pdf"},
        {"Content-Disposition: attachment; filename=plain.txt\r\n", "plain.txt"},
        {"Content-Disposition: attachment; filename=\"C:\\temp\\a.txt\"\r\n", "a.txt"},
        {"Content-Disposition: attachment; filename=\"/etc/passwd\"\r\n", "passwd"},
        {"Content-Disposition: attachment; filename=\"/root\"\r\n", "root"}, // a leading separator counts too
        {"Content-Disposition: attachment; filename=\"..\"\r\n", "noname"},
        {"Content-Disposition: attachment; filename=\".\"\r\n", "noname"},
        {"Content-Disposition: attachment; filename=\"dir/\"\r\n", "noname"},
        {"Content-Disposition: attachment; filename=\"open\r\n", nullptr},
        {"Content-Disposition: attachment; filename=\"\r\n", nullptr},
        {"Content-Disposition: attachment; filename=noend", "noend"}, // the line end is normalised first
        {"Content-Disposition: attachment; size=4\r\n", nullptr},
        {"Content-Disposition: attachment; filename=\"=?iso-8859-1?q?a=2Fb=3A..?=\"\r\n", "noname"},
        {"Content-Disposition: attachment; filename=\"=?iso-8859-1?b?Li4vLi4vZXRjL3g=?=\"\r\n", "x"},
    };
    for (const Case &c : cases) {
        zem::CopyText(ch_->Filename, "before", 128);
        std::memcpy(ch_->ReplyBuffer, c.line, std::strlen(c.line) + 1);
        EXPECT_EQ(zem::FindFileName(*ch_, ch_->ReplyBuffer), c.name ? 1 : 0) << c.line;
        EXPECT_STREQ(ch_->Filename, c.name ? c.name : "before") << c.line;
    }
    // At most 128 characters.
    std::string longName = "Content-Disposition: attachment; filename=\"" + std::string(300, 'L') + "\"\r\n";
    std::memcpy(ch_->ReplyBuffer, longName.c_str(), longName.size() + 1);
    EXPECT_EQ(zem::FindFileName(*ch_, ch_->ReplyBuffer), 1);
    EXPECT_EQ(std::string(ch_->Filename), std::string(128, 'L'));
}

TEST_F(MimeLines, AttachmentPathsJoinDirectoryAndName) {
    zem::CopyText(ch_->Filename, "f.bin", 128);
    // Each file is removed again: a name that exists gets the next distinct one.
    auto pathFor = [&](const std::string &dir, bool keep = false) {
        zem::CopyText(ch_->AttachDir, dir.c_str(), 128);
        zem::OpenAttachmentFile(*ch_);
        if (ch_->FileHandle > 0) zem::FileClose(ch_->FileHandle);
        ch_->FileHandle = 0;
        if (!keep) fs::remove(ch_->AttachPath);
        return std::string(ch_->AttachPath);
    };
    EXPECT_EQ(pathFor(dir_), dir_ + "/f.bin");
    EXPECT_EQ(pathFor(dir_ + "/"), dir_ + "/f.bin");
    EXPECT_EQ(pathFor(dir_ + "\\"), dir_ + "\\f.bin"); // on this system a file next to the directory
    // An empty directory is the current one.
    const fs::path was = fs::current_path();
    fs::current_path(dir_);
    EXPECT_EQ(pathFor("", true), "f.bin");
    fs::current_path(was);
    EXPECT_TRUE(fs::exists(dir_ + "/f.bin"));
    fs::remove(dir_ + "/f.bin");
    // Numbered names count from the channel's attachments; the count wraps without harm.
    ch_->NumberedNames = 1;
    ch_->AttachNumber = 2;
    EXPECT_EQ(pathFor(dir_), dir_ + "/3-f.bin");
    ch_->AttachNumber = INT32_MAX;
    EXPECT_EQ(pathFor(dir_), dir_ + "/" + std::to_string(INT32_MIN) + "-f.bin");
    // A name kept from an earlier message is cleaned again before use.
    ch_->NumberedNames = 0;
    zem::CopyText(ch_->Filename, "../up", 128);
    EXPECT_EQ(pathFor(dir_), dir_ + "/up");
}

TEST_F(MimeLines, SavedListKeepsWhatFits) {
    zem::CopyText(ch_->AttachPath, (dir_ + "/abcdef").c_str(), 129);
    ch_->FileHandle = zem::FileReplace(ch_->AttachPath, false);
    ASSERT_GT(ch_->FileHandle, 0);
    std::memset(ch_->SavedList, 0, sizeof ch_->SavedList);
    std::memset(ch_->SavedList, 'L', 1018); // 1018 + ',' + 6 + NUL = 1026 bytes: fits exactly
    EXPECT_EQ(zem::CloseAttachmentFile(*ch_), 1);
    EXPECT_EQ(std::string(ch_->SavedList), std::string(1018, 'L') + ",abcdef");
    EXPECT_EQ(ch_->AttachSaved, 1);
    ch_->FileHandle = zem::FileReplace(ch_->AttachPath, false);
    EXPECT_EQ(zem::CloseAttachmentFile(*ch_), 1);
    EXPECT_EQ(std::strlen(ch_->SavedList), 1025u); // the second name did not fit
    EXPECT_EQ(ch_->AttachSaved, 2);
    EXPECT_EQ(ch_->AttachNumber, 2);
    EXPECT_EQ(zem::CloseAttachmentFile(*ch_), 0); // nothing open
    EXPECT_EQ(MessageFile(), SavedNote(dir_ + "/abcdef") + SavedNote(dir_ + "/abcdef"));
}

TEST_F(MimeLines, FailingAttachmentWriteIsRemembered) {
    const std::string ro = dir_ + "/readonly";
    zt::WriteFile(ro, "x");
    ch_->DecodeState = 6;
    ch_->MimeEncoding = 2;
    ch_->FileHandle = zem::FileOpenRead(ro.c_str()); // writes to it fail
    ASSERT_GT(ch_->FileHandle, 0);
    EXPECT_EQ(Line("QUJD\r\n"), 0);
    EXPECT_EQ(ch_->WriteFailed, 1);
    EXPECT_EQ(ch_->AttachBytes, 6);
}

TEST_F(MimeLines, WithoutAConnectionNothingIsUnfolded) {
    ch_->DecodeState = 5;
    EXPECT_EQ(Line("Content-Disposition: attachment;   \r\n"), 0);
    EXPECT_EQ(Current(), "Content-Disposition: attachment;\r\n");
    EXPECT_EQ(Line("Content-Type: multipart/alternative;\r\n"), 0);
    EXPECT_EQ(ch_->AltBoundaryLen, 0);
}

// The decoder is fed whole lines and reads nothing itself: a header line that may be
// folded is kept back until the next line shows whether it continues.
TEST_F(MimeLines, UnfoldingJoinsTheContinuationLine) {
    ch_->DecodeState = 5;
    EXPECT_EQ(Feed("Content-Disposition: attachment;\r\n"), 0);
    EXPECT_EQ(Held(), "Content-Disposition: attachment;\r\n"); // kept back, not yet read
    EXPECT_STREQ(ch_->Filename, "");
    EXPECT_EQ(Feed("\t \tfilename=\"cont.bin\"\r\n", 'n'), 0);
    EXPECT_STREQ(ch_->Filename, "cont.bin");
    EXPECT_EQ(std::string(zem::Decoder(*ch_).Held), "Content-Disposition: attachment;filename=\"cont.bin\"\r\n");
    EXPECT_EQ(Held(), "");
}

TEST_F(MimeLines, AKnownNextLineMeansNothingIsKeptBack) {
    EXPECT_EQ(Feed("Content-Type: multipart/mixed; boundary=\"B\"\r\n", 'X'), 0);
    EXPECT_EQ(Held(), "");
    EXPECT_EQ(ch_->BoundaryLen, 3);
    EXPECT_EQ(MessageFile(), "Content-Type: multipart/mixed; boundary=\"B\"\r\n");
}

TEST_F(MimeLines, AnyLeadingWhiteSpaceContinuesAndNothingElseDoes) {
    ch_->DecodeState = 5;
    Feed("Content-Type: application/octet-stream\r\n");
    Feed("  name=\"two.bin\"\r\n", 'C');
    EXPECT_STREQ(ch_->Filename, "two.bin");
    // A line that does not start with a space or a tab is a line of its own, however the
    // kept line ends: the blank line that ends the headers is never swallowed.
    Feed("Content-Disposition: attachment;\r\n");
    Feed("\r\n", 'b');
    EXPECT_EQ(ch_->DecodeState, 6);
    EXPECT_EQ(Held(), "");
}

TEST_F(MimeLines, UnfoldingNeverRunsPastTheHeldLine) {
    // The joined line is bounded: a continuation that would not fit stands on its own.
    const std::string first = "Content-Type: multipart/mixed; a=" + std::string(980, 'a') + ";\r\n";
    const std::string cont = " b=" + std::string(1017, 'b') + ";\r\n"; // 1,023 bytes
    const std::string third = " boundary=\"late\"\r\n";
    Feed(first);
    Feed(cont);
    Feed(third, 'X');
    EXPECT_EQ(ch_->BoundaryLen, 0); // the boundary was on the line that did not fit
    EXPECT_EQ(MessageFile(), first.substr(0, first.size() - 2) + cont.substr(1) + third);
}

TEST_F(MimeLines, AContinuationLongerThanALineIsCut) {
    ch_->DecodeState = 2;
    Feed("Content-Type: text/plain;\r\n");
    Feed(" " + std::string(1022, 'c')); // the line reader's first piece, no line end
    Feed(std::string(478, 'c') + "\r\n", 'X');
    // The joined line's end is normalised; the rest of the long line stands on its own.
    EXPECT_EQ(MessageFile(), "Content-Type: text/plain;" + std::string(1022, 'c') + "\r\n" + std::string(478, 'c') + "\r\n");
}

TEST_F(MimeLines, EncodedSubjectContinuesOnTheNextLine) {
    Feed("Subject: =?iso-8859-1?q?eins?=\r\n");
    Feed(" =?iso-8859-1?q?_zwei?=\r\n");
    Feed("To: x\r\n", '\r');
    EXPECT_EQ(MessageFile(), "Subject: eins_zwei\r\nTo: x\r\n");
}

TEST_F(MimeLines, AHeldLineIsHandledAtTheEndOfTheMessage) {
    Feed("Subject: =?iso-8859-1?q?end?=\r\n");
    EXPECT_EQ(MessageFile(), "");
    zem::FinishDecoder(*ch_);
    EXPECT_EQ(MessageFile(), "Subject: end\r\n");
}

} // namespace

// ---- Hostile names and directories ----------------------------------------------------------

namespace {
std::string Part(const std::string &disposition, const std::string &bytes) {
    return Crlf("--b\nContent-Transfer-Encoding: base64\nContent-Disposition: attachment; " + disposition + "\n\n") +
           Base64Lines(bytes);
}
std::string Multipart(const std::string &parts) {
    return Crlf("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n") + parts + Crlf("--b--\n");
}
} // namespace

TEST_F(MimeRetrieval, ExistingEntriesAreNeverWrittenAndTakenNamesGetTheNextOne) {
    const std::string outside = dir_ + "/outside.txt";
    zt::WriteFile(outside, "outside");
    zt::WriteFile(att_ + "/msg-1.eml", "saved earlier");
    fs::create_symlink(outside, att_ + "/report.pdf");
    fs::create_symlink(dir_ + "/nowhere", att_ + "/dangling.bin");
    Retrieve(Multipart(Part("filename=\"msg-1.eml\"", "one") + Part("filename=\"report.pdf\"", "two") +
                       Part("filename=\"dangling.bin\"", "three") + Part("filename=\".bashrc\"", "four")));
    EXPECT_EQ(Attachment("msg-1.eml"), "saved earlier");
    EXPECT_EQ(zt::ReadFile(outside), "outside");
    EXPECT_TRUE(fs::is_symlink(att_ + "/report.pdf"));
    EXPECT_FALSE(fs::exists(dir_ + "/nowhere")); // a dangling link is not followed either
    EXPECT_EQ(Attachment("msg-1(2).eml"), "one");
    EXPECT_EQ(Attachment("report(2).pdf"), "two");
    EXPECT_EQ(Attachment("dangling(2).bin"), "three");
    EXPECT_EQ(Attachment("_bashrc"), "four"); // never a dot file
    EXPECT_EQ(SavedList(), "msg-1(2).eml,report(2).pdf,dangling(2).bin,_bashrc");
}

TEST_F(MimeRetrieval, LongNamesStayInsideTheirBuffersForEveryTry) {
    // A relative attachment directory of three characters leaves 125 bytes for a name.
    const fs::path was = fs::current_path();
    fs::current_path(dir_);
    fs::create_directory("out");
    att_ = "out";
    const std::string dotted = "a." + std::string(14, 'b') + "." + std::string(108, 'X'); // 125 bytes
    Retrieve(Multipart(Part("filename=\"" + dotted + "\"", "d1") + Part("filename=\"" + dotted + "\"", "d2")));
    // Numbered names on (the count is at 2 now), and the first choice of the next name taken.
    const std::string a123(123, 'A');
    zt::WriteFile("out/3-" + a123, "existing");
    zemIntegerParam(0, ZEM_PARAM_NUMBERED_NAMES, 1);
    const std::string longA(129, 'A');
    Retrieve(Multipart(Part("filename=\"" + longA + "\"", "a3") + Part("filename=\"" + longA + "\"", "a4")));
    const std::vector<std::string> files = AttachFiles();
    fs::current_path(was);
    ASSERT_EQ(files.size(), 5u);
    for (const std::string &f : files) EXPECT_LE(f.size(), 125u) << f;
    const std::string out = dir_ + "/out/";
    EXPECT_EQ(zt::ReadFile(out + dotted), "d1");
    EXPECT_EQ(zt::ReadFile(out + dotted.substr(0, 122) + "(2)"), "d2");
    EXPECT_EQ(zt::ReadFile(out + "3-" + a123), "existing");
    EXPECT_EQ(zt::ReadFile(out + "3-" + std::string(120, 'A') + "(2)"), "a3");
    EXPECT_EQ(zt::ReadFile(out + "4-" + a123), "a4");
}

TEST_F(MimeLines, ShownNamesAreMadeSafe) {
    const std::string cases[][2] = {
        {"filename*=UTF-8''evil.exe%00.pdf", "evil.exe_.pdf"},          // a NUL ends nothing
        {"filename=\"=?utf-8?b?ZXZpbC5leGUALnBkZg==?=\"", "evil.exe_.pdf"}, // nor a decoded one
        {"filename*=UTF-8''a%C2%85b%7F.txt", "a_b_.txt"},               // C1 and DEL controls
        {"filename*=UTF-8''invoice%E2%80%AEfdp.exe", "invoice_fdp.exe"}, // right-to-left override
        {"filename*=UTF-8''x%E2%81%A6y%E2%80%8F.txt", "x_y_.txt"},      // an isolate and a mark
        {"filename=\".bashrc\"", "_bashrc"},
        {"filename=\"-rf\"", "_rf"},
        {"filename*=UTF-8''%C3%A9t%C3%A9.txt", "\xC3\xA9t\xC3\xA9.txt"}, // letters stay
    };
    for (const auto &c : cases) {
        const std::string line = "Content-Disposition: attachment; " + c[0] + "\r\n";
        std::memcpy(ch_->ReplyBuffer, line.c_str(), line.size() + 1);
        EXPECT_EQ(zem::FindFileName(*ch_, ch_->ReplyBuffer), 1) << c[0];
        EXPECT_EQ(std::string(ch_->Filename), c[1]) << c[0];
    }
    // At most 128 bytes, cut between characters: 'e' + 70 two-byte letters is 141 bytes.
    std::string wide = "e";
    for (int i = 0; i < 70; ++i) wide += "\xC3\xA9";
    zem::StoreFileName(*ch_, wide.c_str());
    EXPECT_EQ(std::string(ch_->Filename), wide.substr(0, 127));
    // Bytes of another character set are cut where the room ends; the extension stays.
    const std::string latin(200, '\xAD');
    zem::StoreFileName(*ch_, (latin + ".pdf").c_str());
    EXPECT_EQ(std::string(ch_->Filename), latin.substr(0, 124) + ".pdf");
}
