#include "sasl/sasl.h"

#include <cstdio>

#include "text/text.h"

namespace zem {

namespace {
// Appends text to a message of at most max bytes.
void Put(uint8_t *msg, int32_t max, int32_t *n, const char *text) {
    for (; text != nullptr && *text && *n < max; ++text) msg[(*n)++] = static_cast<uint8_t>(*text);
}
void PutByte(uint8_t *msg, int32_t max, int32_t *n, uint8_t b) {
    if (*n < max) msg[(*n)++] = b;
}
} // namespace

int32_t SaslPlainMessage(const char *authz, const char *user, const char *password, uint8_t *out, int32_t max) {
    int32_t n = 0;
    Put(out, max, &n, authz);
    PutByte(out, max, &n, 0);
    Put(out, max, &n, user);
    PutByte(out, max, &n, 0);
    Put(out, max, &n, password);
    return n;
}

int32_t SaslXoauth2Message(const char *user, const char *token, uint8_t *out, int32_t max) {
    int32_t n = 0;
    Put(out, max, &n, "user=");
    Put(out, max, &n, user);
    Put(out, max, &n, "\x01" "auth=Bearer ");
    Put(out, max, &n, token);
    Put(out, max, &n, "\x01\x01");
    return n;
}

int32_t SaslOauthBearerMessage(const char *user, const char *host, uint16_t port, const char *token, uint8_t *out,
                               int32_t max) {
    int32_t n = 0;
    Put(out, max, &n, "n,");
    if (user != nullptr && user[0] != 0) {
        Put(out, max, &n, "a=");
        for (const char *u = user; *u; ++u) {
            const char one[2] = {*u, 0};
            Put(out, max, &n, *u == '=' ? "=3D" : *u == ',' ? "=2C" : one);
        }
    }
    char hostPort[200];
    std::snprintf(hostPort, sizeof hostPort, ",\x01host=%s\x01port=%u\x01" "auth=Bearer ", host, static_cast<unsigned>(port));
    Put(out, max, &n, hostPort);
    Put(out, max, &n, token);
    Put(out, max, &n, "\x01\x01");
    return n;
}

uint32_t SaslOfferedMechanisms(const char *p, const char *end) {
    static const struct {
        const char *name;
        SaslMechanism mech;
    } kNames[] = {{"CRAM-MD5", kSaslCramMd5}, {"LOGIN", kSaslLogin},     {"PLAIN", kSaslPlain},
                  {"XOAUTH2", kSaslXoauth2},  {"OAUTHBEARER", kSaslOauthBearer}};
    uint32_t offered = 0;
    while (p < end) {
        while (p < end && *p == ' ') ++p;
        const char *w = p;
        while (p < end && *p != ' ') ++p;
        const auto len = static_cast<int32_t>(p - w);
        for (const auto &k : kNames)
            if (len == TextLength(k.name) && SameTextNoCase(w, k.name, len)) offered |= k.mech;
    }
    return offered;
}

SaslMechanism SaslPasswordMechanism(const char *replyText) {
    const char *auth = FindTextNoCase(replyText, "AUTH ");
    if (auth == nullptr) return kSaslNone;
    if (FindTextNoCase(auth, " CRAM-MD5")) return kSaslCramMd5;
    if (FindTextNoCase(auth, " LOGIN") || FindTextNoCase(auth, " =LOGIN")) return kSaslLogin;
    if (FindTextNoCase(auth, " PLAIN")) return kSaslPlain;
    return kSaslNone;
}

SaslMechanism SaslBearerMechanism(uint32_t offered, bool haveToken) {
    if (!haveToken) return kSaslNone;
    if (offered & kSaslOauthBearer) return kSaslOauthBearer;
    if (offered & kSaslXoauth2) return kSaslXoauth2;
    return kSaslNone;
}

} // namespace zem
