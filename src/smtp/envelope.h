// The envelope of a message for today's servers: the MAIL FROM and RCPT TO lines with the
// ESMTP parameters the server offered (SIZE, BODY=8BITMIME, SMTPUTF8, DSN).
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

// True when the address part (from '<' to '>') of the text holds a byte of 128 or above.
bool AddressNeedsUtf8(const char *text);
// The sender or any recipient needs SMTPUTF8 (RFC 6531).
bool EnvelopeNeedsUtf8(const Channel &ch);
// "MAIL FROM:<...>" and the parameters (RFC 1870, 6152, 6531, 3461). Returns the length.
int32_t FormatMailFrom(const Channel &ch, char *buf, int32_t size, const char *fromLt, uint64_t estimate);
// "RCPT TO:<...>" and NOTIFY= when DSN is offered and set. Returns the length.
int32_t FormatRcptTo(const Channel &ch, char *buf, int32_t size, const char *recipient);
// RFC 3461 section 4 xtext: bytes outside 33-126, '+' and '=' as "+XX".
int32_t FormatXText(const char *text, char *buf, int32_t size);

} // namespace zem
