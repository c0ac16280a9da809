// SASL mechanisms (RFC 4422) as computations: the client messages of PLAIN, XOAUTH2 and
// OAUTHBEARER, and the choice among the mechanisms a server offers. Nothing here sends,
// logs or keeps state; each protocol carries the messages in its own states (SMTP AUTH
// today) and encodes them as its wire form asks. CRAM-MD5 and APOP digests are in codec/md5.h.
#pragma once
#include <cstdint>

#include "frame/outgoing_fields.h"

namespace zem {

enum SaslMechanism : uint32_t {
    kSaslNone = 0,
    kSaslCramMd5 = 1u << 0,
    kSaslLogin = 1u << 1,
    kSaslPlain = 1u << 2,
    kSaslXoauth2 = 1u << 3,
    kSaslOauthBearer = 1u << 4,
};

// Room for any message built here: a bearer token and the names around it.
constexpr int32_t kSaslMessageMax = kOauthTokenMax + 512;

// PLAIN (RFC 4616 section 2): authzid NUL authcid NUL passwd, the separators there even
// when a part is empty. The bytes written into out (at most max).
int32_t SaslPlainMessage(const char *authz, const char *user, const char *password, uint8_t *out, int32_t max);
// XOAUTH2: "user=" U ^A "auth=Bearer " T ^A ^A.
int32_t SaslXoauth2Message(const char *user, const char *token, uint8_t *out, int32_t max);
// OAUTHBEARER (RFC 7628 section 3.1): "n,a=U,^Ahost=H^Aport=P^Aauth=Bearer T^A^A", with '='
// and ',' of the user name written =3D and =2C; no "a=" for an empty user name.
int32_t SaslOauthBearerMessage(const char *user, const char *host, uint16_t port, const char *token, uint8_t *out,
                               int32_t max);

// The mechanisms named as whole words (any case) in a space-separated list [list, end).
uint32_t SaslOfferedMechanisms(const char *list, const char *end);
// The password mechanism to use for an AUTH offer text, by preference and not by the order
// of the offer: CRAM-MD5, then LOGIN (also written "=LOGIN" by old servers), then PLAIN;
// each is found anywhere after the first "AUTH " of the text. kSaslNone when none is.
SaslMechanism SaslPasswordMechanism(const char *replyText);
// With a bearer token: OAUTHBEARER when offered, else XOAUTH2, else none.
SaslMechanism SaslBearerMechanism(uint32_t offered, bool haveToken);

} // namespace zem
