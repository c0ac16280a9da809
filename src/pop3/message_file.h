// Writing a retrieved message: the message file and the attachment files the decoder
// opens. Shared by the retrieval states and the MIME decoder.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {
// Writes bytes to the message file. A failed write is remembered in WriteFailed and
// reported as -67 by the retrieval; returns the bytes written or a negative value.
int32_t WriteToEmailFile(Channel &ch, const char *bytes, int32_t n);
// Writes decoded bytes to the open attachment file; a failure is remembered like above.
int32_t WriteToAttachmentFile(Channel &ch, const char *bytes, int32_t n);
// Closes the open attachment file, writes the attachment-saved line and records the
// name. 1 when a file was closed, else 0.
int32_t CloseAttachmentFile(Channel &ch);
} // namespace zem
