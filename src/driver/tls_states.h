// TLS on a channel: the handshake states (108, 109) that implicit TLS and the STARTTLS/STLS
// exchanges of both protocols go through, and the helpers those exchanges share.
#pragma once
#include <cstdint>

#include "driver/step.h"
#include "frame/channel.h"

namespace zem {

// ZEM_PARAM_TLS values.
constexpr uint8_t kTlsNone = 0;
constexpr uint8_t kTlsRequired = 1;
constexpr uint8_t kTlsImplicit = 2;
constexpr uint8_t kTlsOpportunistic = 3;

extern const StateTable kTlsStates;         // 108, 109
extern const StateTable kSmtpStartTlsStates; // 273, 274
extern const StateTable kPop3StlsStates;     // 322, 323

// Sends the machine through the handshake, then on to `after`.
void StartTlsBefore(Channel &ch, int32_t after);
// True while this connection is to ask for STARTTLS/STLS (modes 1 and 3, not yet asked).
bool WantsStartTls(const Channel &ch);
// The server said go ahead: any byte already there is an attacker's (refused with -80,
// nothing of it ever read as a reply); else the handshake, then `after`.
int32_t GoAheadReceived(Channel &ch, int32_t after);
// STARTTLS/STLS is not offered or refused: -79 when TLS is required, else the plain
// `next` (opportunistic mode).
int32_t StartTlsUnavailable(Channel &ch, int32_t next);
// Forgets what the last connection negotiated (a new connect begins).
void ResetTlsState(Channel &ch);

} // namespace zem
