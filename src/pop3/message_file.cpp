#include "pop3/message_file.h"

#include <cstring>

#include "frame/log.h"
#include "frame/settings.h"
#include "text/text.h"

namespace zem {

int32_t WriteToEmailFile(Channel &ch, const char *bytes, int32_t n) {
    if (n <= 0) return 0;
    int32_t r = FileWrite(ch.EmailFile, bytes, n);
    if (r < 0) ch.WriteFailed = 1;
    return r;
}

int32_t WriteToAttachmentFile(Channel &ch, const char *bytes, int32_t n) {
    if (n <= 0 || ch.FileHandle <= 0) return 0;
    int32_t r = FileWrite(ch.FileHandle, bytes, n);
    if (r < 0) ch.WriteFailed = 1; // a full disk must not pass for a saved attachment
    return r;
}

int32_t CloseAttachmentFile(Channel &ch) {
    if (ch.FileHandle <= 0) return 0;
    FileClose(ch.FileHandle);
    ch.FileHandle = 0;
    int32_t n = FormatText(ch.TextBuffer, kBufferSize, "[Attachment saved to %c%s%c]\r\n", '"', ch.AttachPath, '"');
    if (!gSettings.noSavedNote.load(std::memory_order_relaxed) && ch.EmailFile > 0) WriteToEmailFile(ch, ch.TextBuffer, n);
    LogBytes(ch, ch.TextBuffer, n);
    // The list keeps names only; one that would not fit with its separator is left out.
    const char *name = FileNamePart(ch.AttachPath);
    int32_t used = TextLength(ch.SavedList);
    int32_t need = TextLength(name) + (used > 0 ? 1 : 0);
    if (used + need + 1 <= static_cast<int32_t>(sizeof ch.SavedList)) {
        if (used > 0) ch.SavedList[used++] = AttachSeparator();
        CopyText(ch.SavedList + used, name, static_cast<int32_t>(sizeof ch.SavedList) - used - 1);
    }
    // Counted with wrap-around: a long-lived channel must never overflow a signed counter.
    ch.AttachSaved = static_cast<int32_t>(static_cast<uint32_t>(ch.AttachSaved) + 1u);
    ch.AttachNumber = static_cast<int32_t>(static_cast<uint32_t>(ch.AttachNumber) + 1u);
    return 1;
}

} // namespace zem
