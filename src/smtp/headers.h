// Header lines of an outgoing message. Caller texts end up inside these lines (lists,
// subject, Reply-To, extra header lines, custom content types, file names), so the writer
// decides what a line end inside such a text becomes: no caller text can add a protocol
// line or end the data early.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

// Collects the header text of one step in CmdBuffer and sends it with one SendData when
// Send() or Result() is called, so a step's lines make one traffic record in the log (text
// longer than CmdBuffer goes out in several sends). Every line that begins with '.' gets
// one more '.' in front (RFC 5321 section 4.5.2). The first failed send is kept and
// everything after it is dropped.
class HeaderWriter {
  public:
    // What a CR or LF inside a text becomes.
    enum LineEnds {
        kAsSpace,  // a space: one-line values (subject, Reply-To, file names)
        kAsComma,  // ',': a list whose separator is a line end stays one header line
        kAsLines,  // a line end: CR LF, CR and LF each end one line; empty lines and a
                   // final line end are dropped, so the header block is never ended early
    };

    explicit HeaderWriter(Channel &ch) : ch_(ch) {}
    HeaderWriter(const HeaderWriter &) = delete;
    HeaderWriter &operator=(const HeaderWriter &) = delete;

    HeaderWriter &Text(const char *text, LineEnds mode = kAsSpace);
    // The text as an RFC 2045 quoted-string: between '"', with '"' and '\' escaped.
    HeaderWriter &Quoted(const char *text);
    // Ends the line with CR LF; it goes out with the next Send() or Result().
    HeaderWriter &EndLine();
    // Sends what has been collected.
    HeaderWriter &Send() {
        Flush();
        return *this;
    }
    // True when the current line holds something not yet ended.
    bool LineOpen() const { return !lineStart_; }
    // Sends what is left; 0, or the first negative send result.
    int32_t Result() {
        Flush();
        return error_;
    }

  private:
    void Put(char c);
    void Raw(char c);
    void Flush();

    Channel &ch_;
    int32_t len_ = 0;
    bool lineStart_ = true;
    int32_t error_ = 0;
};

// The name an attachment item is shown under: the part after its last '/', '\' or ':',
// and of that the part after the first display-name separator when there is one.
const char *ShownAttachmentName(const char *item);

// The Content-Type of an inline image by the name's last four characters (".gif", ".bmp",
// ".tif", ".jpg", any case; the name must be longer than that), or none.
const char *InlineImageType(const char *shownName);

} // namespace zem
