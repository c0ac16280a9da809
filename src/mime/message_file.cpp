#include "mime/message_file.h"

#include <cstring>

#include "frame/log.h"
#include "frame/settings.h"
#include "mime/decoder_area.h"
#include "mime/mime_decoder.h"
#include "text/text.h"

namespace zem {

void StartMessageFile(Channel &ch, int32_t handle) {
    ch.EmailFile = handle;
    Decoder(ch).MsgFill = 0;
}

// The message file is written in large blocks; a piece larger than the block goes at once.
int32_t WriteToEmailFile(Channel &ch, const char *bytes, int32_t n) {
    if (n <= 0) return 0;
    DecoderArea &d = Decoder(ch);
    if (ch.EmailFile > 0 && n <= kWriteBlock) {
        if (d.MsgFill + n > kWriteBlock) FlushEmailFile(ch);
        std::memcpy(d.MsgBlock + d.MsgFill, bytes, static_cast<size_t>(n));
        d.MsgFill += n;
        return n;
    }
    FlushEmailFile(ch);
    int32_t r = FileWrite(ch.EmailFile, bytes, n);
    if (r < 0) ch.WriteFailed = 1;
    return r;
}

void FlushEmailFile(Channel &ch) {
    DecoderArea &d = Decoder(ch);
    const int32_t n = d.MsgFill;
    d.MsgFill = 0;
    if (n > 0 && ch.EmailFile > 0 && FileWrite(ch.EmailFile, d.MsgBlock, n) < 0)
        ch.WriteFailed = 1; // a full disk must not pass for a saved message
}

void CloseMessageFile(Channel &ch) {
    FlushEmailFile(ch);
    if (ch.EmailFile > 0) FileClose(ch.EmailFile);
    ch.EmailFile = 0;
}


void FlushAttachmentBlock(Channel &ch) {
    DecoderArea &d = Decoder(ch);
    if (d.AttFill > 0 && d.AttHandle > 0 && FileWrite(d.AttHandle, d.AttBlock, d.AttFill) < 0) ch.WriteFailed = 1;
    d.AttFill = 0;
}

int32_t WriteToAttachmentFile(Channel &ch, const char *bytes, int32_t n) {
    if (n <= 0 || ch.FileHandle <= 0) return 0;
    DecoderArea &d = Decoder(ch);
    if (d.AttHandle != ch.FileHandle || n > kWriteBlock) {
        FlushAttachmentBlock(ch);
        int32_t r = FileWrite(ch.FileHandle, bytes, n);
        if (r < 0) ch.WriteFailed = 1; // a full disk must not pass for a saved attachment
        return r;
    }
    if (d.AttFill + n > kWriteBlock) FlushAttachmentBlock(ch);
    std::memcpy(d.AttBlock + d.AttFill, bytes, static_cast<size_t>(n));
    d.AttFill += n;
    return n;
}

char *AttachmentSpace(Channel &ch, int32_t need) {
    DecoderArea &d = Decoder(ch);
    if (ch.FileHandle <= 0 || d.AttHandle != ch.FileHandle || need > kWriteBlock) return nullptr;
    if (d.AttFill + need > kWriteBlock) FlushAttachmentBlock(ch);
    return d.AttBlock + d.AttFill;
}

void CommitAttachmentBytes(Channel &ch, int32_t n) {
    DecoderArea &d = Decoder(ch);
    if (n > 0 && d.AttFill + n <= kWriteBlock) d.AttFill += n;
}

void DropAttachmentFile(Channel &ch) {
    DecoderArea &d = Decoder(ch);
    d.PendingLineEnd = 0;
    if (ch.FileHandle > 0) {
        const bool ours = d.AttHandle == ch.FileHandle;
        if (ours) FlushAttachmentBlock(ch);
        FileClose(ch.FileHandle);
        // The decoder made this file itself, exclusively: nothing else had the name, so it
        // goes again and the name is free for the part's next file name line.
        if (ours) FileRemove(ch.AttachPath);
        ForgetOpenName(ch);
    }
    d.AttHandle = 0;
    d.AttFill = 0;
    ch.FileHandle = 0;
}

void RecordSavedFile(Channel &ch, const char *path) {
    int32_t n = FormatText(ch.TextBuffer, kBufferSize, "[Attachment saved to %c%s%c]\r\n", '"', path, '"');
    if (!gSettings.noSavedNote.load(std::memory_order_relaxed) && ch.EmailFile > 0) WriteToEmailFile(ch, ch.TextBuffer, n);
    LogBytes(ch, ch.TextBuffer, n);
    // The list keeps names only; one that would not fit with its separator is left out.
    const char *name = FileNamePart(path);
    int32_t used = TextLength(ch.SavedList);
    int32_t need = TextLength(name) + (used > 0 ? 1 : 0);
    if (used + need + 1 <= static_cast<int32_t>(sizeof ch.SavedList)) {
        if (used > 0) ch.SavedList[used++] = AttachSeparator();
        CopyText(ch.SavedList + used, name, static_cast<int32_t>(sizeof ch.SavedList) - used - 1);
    }
    // Counted with wrap-around: a long-lived channel must never overflow a signed counter.
    ch.AttachSaved = static_cast<int32_t>(static_cast<uint32_t>(ch.AttachSaved) + 1u);
    ch.AttachNumber = static_cast<int32_t>(static_cast<uint32_t>(ch.AttachNumber) + 1u);
}

int32_t ClosePartFile(Channel &ch) {
    if (ch.FileHandle <= 0) return 0;
    DecoderArea &d = Decoder(ch);
    if (d.PendingLineEnd) WriteToAttachmentFile(ch, "\r\n", 2); // ended without a boundary
    d.PendingLineEnd = 0;
    if (d.AttHandle == ch.FileHandle) FlushAttachmentBlock(ch);
    FileClose(ch.FileHandle);
    ch.FileHandle = 0;
    d.AttHandle = 0;
    d.AttFill = 0;
    KeepOpenName(ch); // recorded: the name stays taken for this message
    RecordSavedFile(ch, ch.AttachPath);
    return 1;
}

int32_t CloseAttachmentFile(Channel &ch) {
    const int32_t part = ClosePartFile(ch);
    const int32_t message = CloseEmbeddedMessage(ch);
    return part | message;
}

} // namespace zem
