// Writing a retrieved message: the message file and the attachment files the decoder
// opens. Shared by the retrieval states and the MIME decoder.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {
// Takes an open message file for the retrieval (or decode) that begins.
void StartMessageFile(Channel &ch, int32_t handle);
// Writes what the message file gathered; every close comes after it.
void FlushEmailFile(Channel &ch);
// Closes the message file, if one is open, after writing what it gathered.
void CloseMessageFile(Channel &ch);
// Writes bytes to the message file. A failed write is remembered in WriteFailed and
// reported as -67 by the retrieval; returns the bytes written or a negative value.
int32_t WriteToEmailFile(Channel &ch, const char *bytes, int32_t n);
// Writes decoded bytes to the open attachment file; a failure is remembered like above.
// A file the decoder opened itself is written in blocks of 64 KiB; any other handle found
// in FileHandle is written at once.
int32_t WriteToAttachmentFile(Channel &ch, const char *bytes, int32_t n);
// Room for at least need bytes (and 4 more) in the attachment file's write block, for
// decoding straight into it; null when the open file is not block-written. The bytes put
// there are taken with CommitAttachmentBytes.
char *AttachmentSpace(Channel &ch, int32_t need);
void CommitAttachmentBytes(Channel &ch, int32_t n);
// Writes what the attachment file's block holds.
void FlushAttachmentBlock(Channel &ch);
// Closes the open attachment file without recording it (its block written first); its
// name may be used again.
void DropAttachmentFile(Channel &ch);
// Closes the current part's attachment file, writes the attachment-saved line and
// records the name. 1 when a file was closed, else 0.
int32_t ClosePartFile(Channel &ch);
// Closes every file the decoder has open: the part's attachment file and an attached
// message being saved whole, each recorded. 1 when a file was closed, else 0.
int32_t CloseAttachmentFile(Channel &ch);
// The attachment-saved line for path, and its name in SavedList, AttachSaved and
// AttachNumber counted.
void RecordSavedFile(Channel &ch, const char *path);
} // namespace zem
