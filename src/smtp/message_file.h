// Sending a ready-made message file (zemSendMessageFile): the states after the DATA reply.
#pragma once
#include <cstdint>

namespace zem {
// The first state of the message file, chosen by the DATA reply of the transaction when
// the request is a zemSendMessageFile.
constexpr int32_t kSendMessageFileState = 280;
} // namespace zem
