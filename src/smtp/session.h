#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {
// The sender and recipient bracket check: 0, -37, -41 (through DriverError) or -43.
// listMode looks only at the first address of a list.
int32_t CheckBrackets(Channel &ch, const char *text, bool listMode);
// True when an EHLO reply (all its lines) offers STARTTLS.
bool OffersStartTls(const char *reply);
// Fails a send part-way: the open file is closed first, so nothing the send opened
// outlives it; then DriverError.
int32_t FailSend(Channel &ch, int32_t sockCode, int32_t zemCode);
} // namespace zem
