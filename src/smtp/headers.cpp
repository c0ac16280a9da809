#include "smtp/headers.h"

#include "driver/transport.h"
#include "frame/settings.h"
#include "text/text.h"

namespace zem {

void HeaderWriter::Raw(char c) {
    if (len_ >= kBufferSize - 1) Flush(); // keep room for the NUL SendData never needs
    ch_.CmdBuffer[len_++] = c;
}

void HeaderWriter::Put(char c) {
    if (lineStart_ && c == '.') Raw('.'); // transparency, RFC 5321 section 4.5.2
    lineStart_ = false;
    Raw(c);
}

void HeaderWriter::Flush() {
    if (len_ > 0 && error_ == 0) {
        int32_t r = SendData(ch_, ch_.CmdBuffer, len_);
        if (r < 0) error_ = r;
    }
    len_ = 0;
}

HeaderWriter &HeaderWriter::Text(const char *text, LineEnds mode) {
    if (text == nullptr) return *this;
    bool lineEndPending = false;
    for (const char *p = text; *p != 0; ++p) {
        const char c = *p;
        if (c != '\r' && c != '\n') {
            if (lineEndPending) {
                EndLine();
                lineEndPending = false;
            }
            Put(c);
        } else if (mode == kAsSpace) {
            Put(' ');
        } else if (mode == kAsComma) {
            Put(',');
        } else if (!lineStart_) {
            // Only a line that holds something is ended; CR LF, a lone CR or a lone LF
            // all end it, and a bare LF never reaches the server.
            lineEndPending = true;
        }
    }
    return *this;
}

HeaderWriter &HeaderWriter::Quoted(const char *text) {
    Put('"');
    for (const char *p = text; p != nullptr && *p != 0; ++p) {
        char c = *p;
        if (c == '\r' || c == '\n') c = ' ';
        if (c == '"' || c == '\\') Put('\\');
        Put(c);
    }
    Put('"');
    return *this;
}

HeaderWriter &HeaderWriter::EndLine() {
    Raw('\r');
    Raw('\n');
    lineStart_ = true;
    return *this;
}

const char *ShownAttachmentName(const char *item) {
    const char *name = FileNamePart(item);
    if (name == nullptr) return "";
    const char *bar = FindChar(name, DisplaySeparator());
    return bar != nullptr ? bar + 1 : name;
}

const char *InlineImageType(const char *shownName) {
    static const char *const kTypes[][2] = {
        {".gif", "Image/GIF"}, {".bmp", "Image/BMP"}, {".tif", "Image/TIFF"}, {".jpg", "Image/JPEG"}};
    int32_t n = TextLength(shownName);
    if (n <= 4) return nullptr;
    for (const auto &t : kTypes)
        if (SameTextNoCase(shownName + n - 4, t[0], 4)) return t[1];
    return nullptr;
}

} // namespace zem
