// Header lines of an outgoing message. Caller texts end up inside these lines (lists,
// subject, Reply-To, extra header lines, custom content types, file names), so the writer
// decides what a line end inside such a text becomes: no caller text can add a protocol
// line or end the data early.
#pragma once
#include <cstdint>

#include "frame/channel.h"
#include "text/header_encode.h"

namespace zem {

// Collects the header text of one step in CmdBuffer and hands it to the channel's sink
// (ComposeOut) when Send() or Result() is called, so a step's lines make one traffic record
// in the log (text longer than CmdBuffer goes out in several pieces). Every line that begins with '.' gets
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
    // Non-ASCII text as RFC 2047 encoded words (UTF-8, B or Q, whichever is shorter),
    // folded so no line passes column 76; a word never splits a character.
    HeaderWriter &Encoded(const char *utf8, int32_t n, WordKind kind);
    // An unstructured value (Subject, extra header values): ASCII as Text(kAsSpace), else
    // encoded words (its line ends count as spaces).
    HeaderWriter &Unstructured(const char *utf8);
    // An address list (To, CC, From, Reply-To): an item whose display name holds non-ASCII
    // gets the name as encoded words, the rest of the item unchanged; a list that is all
    // ASCII is written as Text(list, kAsComma).
    HeaderWriter &AddressList(const char *utf8, char separator);
    // A parameter for old readers: ASCII as ATTR="value" (Quoted), else ATTR="encoded
    // words" folded inside the quotes.
    HeaderWriter &NameParameter(const char *attr, const char *utf8);
    // A parameter by RFC 2231: ASCII as ATTR="value"; else ATTR*=utf-8''%XX.., or, when that
    // does not fit the line, the continuations ATTR*0*=..; ATTR*1*=.. one per line.
    HeaderWriter &ExtendedParameter(const char *attr, const char *utf8);
    // Ends the line and goes on in the next one with one space (RFC 5322 folding).
    HeaderWriter &Fold();
    int32_t Column() const { return col_; }
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
    void Address(const char *item, int32_t n);

    Channel &ch_;
    int32_t col_ = 0;
    int32_t len_ = 0;
    bool lineStart_ = true;
    int32_t error_ = 0;
};

// Writes the decimal digits of v >= 0 (no NUL); returns their count.
int32_t FormatNumber(char *out, int32_t v);

// The name an attachment item is shown under: the part after its last '/', '\' or ':',
// and of that the part after the first display-name separator when there is one.
const char *ShownAttachmentName(const char *item);

// The Content-Type of an inline image by the name's last four characters (".gif", ".bmp",
// ".tif", ".jpg", any case; the name must be longer than that), or none.
const char *InlineImageType(const char *shownName);

} // namespace zem
