#include "mime/retrieval_files.h"

#include <cstring>

#include "driver/step.h"
#include "mime/message_file.h"
#include "mime/mime_decoder.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

constexpr int32_t kNameMax = 128; // EmailFileName, EmailDir, AttachDir
constexpr int32_t kFirstDecoderState = 2;

// EmailPath = directory, '/' unless the directory is empty or already ends in a
// separator, file name. Texts that the 128-character fields would cut, or a path that
// does not fit EmailPath, are refused rather than shortened into another file's name.
bool BuildEmailPath(Channel &ch, const char *dir, const char *name) {
    const int32_t dirLen = TextLength(dir);
    const int32_t nameLen = TextLength(name);
    if (dirLen > kNameMax || nameLen > kNameMax) return false;
    const bool addSeparator = dirLen > 0 && dir[dirLen - 1] != '/' && dir[dirLen - 1] != '\\';
    if (dirLen + (addSeparator ? 1 : 0) + nameLen >= static_cast<int32_t>(sizeof ch.EmailPath)) return false;
    CopyText(ch.EmailPath, dir, dirLen);
    if (addSeparator) AppendText(ch.EmailPath, "/", 1);
    AppendText(ch.EmailPath, name, nameLen);
    return true;
}

} // namespace

int32_t PrepareMessageRetrieval(Channel &ch, const char *fileName, const char *messageDir, const char *attachDir) {
    if (fileName == nullptr) return ZEM_ERR_MISSING_FILENAME;
    if (messageDir == nullptr) return ZEM_ERR_MISSING_EMAIL_PATH;
    if (attachDir == nullptr) return ZEM_ERR_MISSING_ATTACH_PATH;
    // Files a failed retrieval left open are closed before anything of this one is set.
    CloseRetrievalFiles(ch);
    if (!BuildEmailPath(ch, messageDir, fileName)) return ZEM_ERR_CANNOT_CREATE_FILE;
    CopyText(ch.EmailFileName, fileName, kNameMax);
    CopyText(ch.EmailDir, messageDir, kNameMax);
    CopyText(ch.AttachDir, attachDir, kNameMax);
    std::memset(ch.SavedList, 0, 1024);
    ch.UserBuffer = nullptr;
    ch.UserBufferSize = 0;
    ch.UserBufferFill = 0;
    ch.TextBytes = 0;
    ch.AttachBytes = 0;
    ch.ReceivedBytes = 0;
    ch.WriteFailed = 0;
    ResetDecoder(ch);
    ch.DecodeState = ch.SaveRaw ? 0 : kFirstDecoderState;
    return 0;
}

void CloseRetrievalFiles(Channel &ch) {
    CloseAttachmentFile(ch);
    CloseMessageFile(ch);
}

int32_t FailRetrieval(Channel &ch, int32_t code) {
    CloseRetrievalFiles(ch);
    return DriverError(ch, 0, code);
}

} // namespace zem
