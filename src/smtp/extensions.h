// The service extensions an EHLO reply offers (RFC 5321 section 4.1.1.1): PIPELINING,
// SIZE with its limit, SMTPUTF8, 8BITMIME, DSN and the OAuth mechanisms of AUTH.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

// Reads the offers from the reply in ReplyBuffer into ch.Out; clears them first.
void ParseEhloOffers(Channel &ch);
// Forgets every offer (a HELO greeting offers none).
void ClearEhloOffers(Channel &ch);
// With a bearer token set: the OAuth exchange the server offers (175 OAUTHBEARER, else
// 172 XOAUTH2), or 0.
int32_t ChooseOauthMechanism(const Channel &ch);

} // namespace zem
