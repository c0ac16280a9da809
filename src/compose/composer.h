// The outgoing composer: the states that write a message line by line (header lines, MIME
// structure, text lines, attachments in base64), whatever carries the bytes. A request
// sets the channel's sink (ComposeOut: the socket's output buffer for SMTP DATA) and the
// state that follows the last line (ComposeEndState), then enters at kComposeFirstState.
// The lines come dot-stuffed (RFC 5321 section 4.5.2): a sink that writes the message
// itself drops the one extra '.' at a line start.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

constexpr int32_t kComposeFirstState = 220;

// Attachments or any text kind but plain make the message MIME multipart.
bool Multipart(const Channel &ch);
// Writes the closing delimiter of a multipart message (nothing for a single part); 0 or
// the sink's negative result.
int32_t PutClosingBoundary(Channel &ch);
// Closes the message text file or attachment that a composition has open.
void CloseSendFile(Channel &ch);
// Fails a composition part-way: the open file is closed first, then DriverError.
int32_t FailCompose(Channel &ch, int32_t sockCode, int32_t zemCode);

// The caller's texts, copied into their blocks. CopyCallerText: as UTF-8 when neither
// ASCII nor UTF-8 (or in a named input charset); null when no block could be had.
char *CopyCallerText(Channel &ch, int32_t slot, const char *text);
// The message string into block 5, converted to the text charset when one is used and
// the text is not in it already; a message file ('@' path) is kept as given. 0, -84 or -55.
int32_t CopyMessageText(Channel &ch, const char *message, char **out);

// The message's size as sent, estimated from the texts and the attachment files' sizes:
// header lines, text, every attachment as base64 with its part header.
uint64_t EstimateMessageSize(const Channel &ch);
// "Message-ID: <random.time@domain>" (RFC 5322 section 3.6.4): unique per message.
int32_t FormatMessageId(const Channel &ch, char *buf, int32_t size);

} // namespace zem
