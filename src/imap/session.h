// What the IMAP requests share: the protocol check of every IMAP export and the state
// that ends a session (zemClose).
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

constexpr int32_t kImapLogoutState = 490;

// The request's log line, then -87 unless the channel is an IMAP one.
int32_t CheckImapRequest(Channel &ch, const char *name);

} // namespace zem
