#pragma once
#include <cstdint>

namespace zem {
// "Date: Tue, 8 Dec 2026 9:05:03 +0530" from the local time and zone (RFC 822 form with
// the hour without a leading zero). Returns the length written (cut at size - 1).
int32_t FormatDateLine(char *buf, int32_t size);
} // namespace zem
