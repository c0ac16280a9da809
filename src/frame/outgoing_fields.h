// The part of the channel record that outgoing mail for today's servers needs: what the
// EHLO reply offered, the per-channel settings of the extensions, the per-recipient
// results of the last send and the buffer a pipelined command group is built in.
#pragma once
#include <cstdint>

namespace zem {

constexpr int kCharsetNameMax = 32;   // ZEM_STRING_TEXT_CHARSET, ZEM_STRING_INPUT_CHARSET
constexpr int kOauthTokenMax = 4096;  // ZEM_STRING_OAUTH_TOKEN
constexpr int kDsnNotifyMax = 64;     // ZEM_STRING_DSN_NOTIFY
constexpr int kDsnRetMax = 4;         // ZEM_STRING_DSN_RET ("FULL" or "HDRS")
constexpr int kDsnEnvidMax = 100;     // ZEM_STRING_DSN_ENVID (RFC 3461 section 4.4)
constexpr int kRefusedListMax = 2048; // zemDebug ZEM_DEBUG_REFUSED
constexpr int kGroupSize = 8192;      // a pipelined group, an OAuth initial response

struct OutgoingFields {
    // ---- Offers of the last EHLO reply (all 0 after HELO) ---------------------------
    uint8_t OfferPipelining;
    uint8_t OfferSize;
    uint8_t OfferSmtpUtf8;
    uint8_t Offer8BitMime;
    uint8_t OfferDsn;
    uint8_t OfferXoauth2;
    uint8_t OfferOauthBearer;
    uint32_t SizeLimit; // the announced limit; 0 = none

    // ---- Settings (zero-filled record: every 0 is the default) -----------------------
    uint8_t ContinuePastRefused; // ZEM_PARAM_CONTINUE_PAST_REFUSED
    uint8_t PipeliningOff;       // ZEM_PARAM_PIPELINING 0 (kept inverted: default on)
    uint8_t DeclareSize;         // ZEM_PARAM_DECLARE_SIZE
    char TextCharset[kCharsetNameMax + 2];
    char InputCharset[kCharsetNameMax + 2];
    char OauthToken[kOauthTokenMax + 2];
    char DsnNotify[kDsnNotifyMax + 2];
    char DsnRet[kDsnRetMax + 2];
    char DsnEnvid[kDsnEnvidMax + 2];

    // ---- The send under way ---------------------------------------------------------
    uint8_t UseSmtpUtf8;   // MAIL FROM carries SMTPUTF8
    uint8_t Pipelined;     // the envelope went out as one group
    int32_t Accepted;      // recipients accepted (zemStatistics 40)
    int32_t Refused;       // recipients refused (zemStatistics 41)
    char RefusedList[kRefusedListMax + 2]; // "address reply" lines, CR LF ended
    char Group[kGroupSize];
};

} // namespace zem
