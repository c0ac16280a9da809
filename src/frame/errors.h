#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {
// The text of a code (and, for -36, -49 and -63, one space and the channel's last reply),
// cut to len - 1 characters and terminated; 0 for a code without an entry.
int32_t ErrorTextFor(const Channel &ch, int32_t code, char *buf, int32_t len);
int32_t ErrorTableSize();
} // namespace zem
