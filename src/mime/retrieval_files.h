// What every protocol's retrieval of a message into a file shares: the checks and set-up
// of zemGetEmailFile's arguments (the message path, the attachment directory, the decoder
// or the raw save), the size bound, and closing the files at the end or on a failure.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

// Checks the names (-65, -66, -70; -67 for a path that does not fit), closes what an
// earlier retrieval left open, builds EmailPath and readies the decoder (or the raw save,
// ZEM_PARAM_DECODE_STATE) for a new message. RetrievalLimit is the caller's to set. 0 or
// the code.
int32_t PrepareMessageRetrieval(Channel &ch, const char *fileName, const char *messageDir, const char *attachDir);
// Closes the files of a retrieval: the decoder's attachment file (recorded, its note
// written into the message file) and then the message file.
void CloseRetrievalFiles(Channel &ch);
// Ends a retrieval with a failure after closing its files, so that what was saved is on
// disk and no handle is left behind.
int32_t FailRetrieval(Channel &ch, int32_t code);
// A server that streams past the bound must not fill the disk (or the buffer's time).
// Every byte received counts (header lines, text, attachments, parts the decoder drops).
inline bool PastLimit(const Channel &ch) { return ch.RetrievalLimit > 0 && ch.ReceivedBytes > ch.RetrievalLimit; }

} // namespace zem
