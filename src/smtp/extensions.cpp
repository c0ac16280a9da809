#include "smtp/extensions.h"

#include "sasl/sasl.h"
#include "text/text.h"

namespace zem {

namespace {

// The keyword of an EHLO line equals word (any case) and ends there.
bool IsKeyword(const char *p, int32_t len, const char *word) {
    return len == TextLength(word) && SameTextNoCase(p, word, len);
}

void ReadOffer(OutgoingFields &o, const char *kw, const char *end) {
    const char *k = kw;
    while (k < end && *k != ' ') ++k;
    const auto len = static_cast<int32_t>(k - kw);
    const char *params = k < end ? k + 1 : end;
    if (IsKeyword(kw, len, "PIPELINING")) {
        o.OfferPipelining = 1;
    } else if (IsKeyword(kw, len, "SIZE")) {
        o.OfferSize = 1;
        uint64_t limit = 0;
        for (const char *d = params; d < end && *d >= '0' && *d <= '9'; ++d) {
            limit = limit * 10 + static_cast<uint64_t>(*d - '0');
            if (limit > 0xFFFFFFFFu) limit = 0xFFFFFFFFu;
        }
        o.SizeLimit = static_cast<uint32_t>(limit); // "SIZE" or "SIZE 0": no fixed limit
    } else if (IsKeyword(kw, len, "SMTPUTF8")) {
        o.OfferSmtpUtf8 = 1;
    } else if (IsKeyword(kw, len, "8BITMIME")) {
        o.Offer8BitMime = 1;
    } else if (IsKeyword(kw, len, "DSN")) {
        o.OfferDsn = 1;
    } else if (IsKeyword(kw, len, "AUTH")) {
        const uint32_t offered = SaslOfferedMechanisms(params, end);
        if (offered & kSaslXoauth2) o.OfferXoauth2 = 1;
        if (offered & kSaslOauthBearer) o.OfferOauthBearer = 1;
    }
}

} // namespace

void ClearEhloOffers(Channel &ch) {
    OutgoingFields &o = ch.Out;
    o.OfferPipelining = o.OfferSize = o.OfferSmtpUtf8 = o.Offer8BitMime = o.OfferDsn = 0;
    o.OfferXoauth2 = o.OfferOauthBearer = 0;
    o.SizeLimit = 0;
}

void ParseEhloOffers(Channel &ch) {
    ClearEhloOffers(ch);
    const char *p = ch.ReplyBuffer;
    const char *limit = ch.ReplyBuffer + kBufferSize;
    bool first = true;
    while (p < limit && *p != 0) {
        const char *end = p;
        while (end < limit && *end != 0 && *end != '\r' && *end != '\n') ++end;
        // "250-KEYWORD params" or "250 KEYWORD"; the first line greets.
        if (!first && end - p > 4) ReadOffer(ch.Out, p + 4, end);
        first = false;
        p = end;
        while (p < limit && (*p == '\r' || *p == '\n')) ++p;
    }
}

int32_t ChooseOauthMechanism(const Channel &ch) {
    const uint32_t offered = (ch.Out.OfferOauthBearer ? kSaslOauthBearer : 0u) | (ch.Out.OfferXoauth2 ? kSaslXoauth2 : 0u);
    switch (SaslBearerMechanism(offered, ch.Out.OauthToken[0] != 0)) {
    case kSaslOauthBearer: return 175;
    case kSaslXoauth2: return 172;
    default: return 0;
    }
}

} // namespace zem
