// The SMTP session: zemSmtpConnect (greeting, HELO/EHLO, the choice of authentication)
// and zemVerifyUser (VRFY for each address of a list).
#include "smtp/session.h"

#include <cstring>

#include "driver/replies.h"
#include "driver/step.h"
#include "driver/tls_states.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "smtp/extensions.h"
#include "sasl/sasl.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

// Used in HELO/EHLO when the sender has no domain of its own.
constexpr const char *kDefaultDomain = "localhost";

int32_t CheckBrackets(Channel &ch, const char *text, bool listMode) {
    if (text == nullptr || text[0] == 0) return ZEM_ERR_EMPTY_ADDRESS;
    const char *lt = listMode ? FindInFirstAddress(text, '<') : FindChar(text, '<');
    if (lt == nullptr) return DriverError(ch, 0, ZEM_ERR_MISSING_LT);
    const char *gt = listMode ? FindInFirstAddress(text, '>') : FindChar(text, '>');
    if (gt == nullptr || gt < lt) return ZEM_ERR_MISSING_GT;
    return 0;
}

namespace {

int32_t StartSmtpConnection(Channel &ch, Tick) { // 200
    if (Logging(ch)) LogVersion(ch);
    ch.AfterConnectState = 201;
    ch.NextState = 101;
    return kStepOn;
}

int32_t ReadGreeting(Channel &ch, Tick now) { // 201
    if (!ReplyReady(ch)) return kStepOn;
    // Any code below 500 is a greeting, 4xx included: the EHLO that follows then draws
    // the refusal.
    if (int32_t c = CheckSmtpReply(ch)) return DriverError(ch, 0, c);
    ArmReplyWait(ch, now);
    ch.NextState = 202;
    return kStepOn;
}

void BuildGreetingCommand(Channel &ch) {
    // STARTTLS is an ESMTP extension: asking for it needs EHLO even without authentication.
    const char *verb = ch.UseEhlo || WantsStartTls(ch) || ch.TlsStarted ? "EHLO" : "HELO";
    const char *at = FindChar(ch.FromAddress, '@');
    if (at == nullptr) {
        FormatText(ch.CmdBuffer, kBufferSize - 3, "%s %s", verb, kDefaultDomain);
        return;
    }
    const char *domain = at + 1;
    const char *end = FindChar(domain, '>');
    int32_t len = end != nullptr ? static_cast<int32_t>(end - domain) : TextLength(domain);
    FormatText(ch.CmdBuffer, kBufferSize - 3, "%s %.*s", verb, static_cast<int>(len), domain);
}

int32_t SendGreetingCommand(Channel &ch, Tick now) { // 202
    ch.TextBytes = ch.AttachBytes = ch.TextBytesSent = ch.AttachBytesSent = 0;
    // Up to a second for the socket to take the line; the step repeats meanwhile, so a
    // non-blocking zemDriver never waits here.
    if (AwaitWritable(ch, now, 1000) == kNotYet) return kStepOn;
    BuildGreetingCommand(ch);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmLongReplyWait(ch, now);
    ch.NextState = 203;
    return kStepOn;
}

// The authentication the EHLO reply offers, by preference (not by order of the offer).
int32_t ChooseAuthentication(Channel &ch) {
    switch (SaslPasswordMechanism(ch.ReplyBuffer)) {
    case kSaslCramMd5: return 150;
    case kSaslLogin: return 160;
    case kSaslPlain: return 170;
    default: return 0;
    }
}

int32_t CheckGreetingReply(Channel &ch, Tick) { // 203
    if (!ReplyReady(ch)) return kStepOn;
    if (int32_t c = CheckSmtpReply(ch)) return DriverError(ch, 0, c);
    // A 4xx reply refuses the session for now: the connect must not report success.
    if (ch.ReplyCode >= 400) return DriverError(ch, 0, ZEM_ERR_SMTP);
    if (WantsStartTls(ch)) {
        if (OffersStartTls(ch.ReplyBuffer)) {
            ch.NextState = 273;
            return kStepOn;
        }
        // Not offered: nothing more is sent when TLS is required; opportunistic mode goes
        // on with this reply.
        if (int32_t r = StartTlsUnavailable(ch, 0)) return r;
    }
    if (ch.UseEhlo)
        ParseEhloOffers(ch);
    else
        ClearEhloOffers(ch);
    int32_t oauth = ch.UseEhlo ? ChooseOauthMechanism(ch) : 0; // a token goes before passwords
    ch.NextState = oauth != 0 ? oauth : (ch.UseEhlo ? ChooseAuthentication(ch) : 0);
    return kStepOn;
}

int32_t TakeNextAddressToVerify(Channel &ch, Tick now) { // 270
    ch.Recipient = ch.ListCursor;
    if (ch.Recipient == nullptr || ch.Recipient[0] == 0) {
        ch.NextState = 0;
        return kStepOn;
    }
    char *sep = FindChar(ch.ListCursor, RecipientSeparator());
    if (sep != nullptr) {
        *sep = 0;
        ch.SeparatorPos = sep;
        ch.ListCursor = sep + 1;
    } else {
        ch.SeparatorPos = nullptr;
        ch.ListCursor = ch.Recipient + std::strlen(ch.Recipient);
    }
    ArmDeadline(ch, now);
    ch.WaitWritable = 1;
    ch.NextState = 271;
    return kStepOn;
}

int32_t SendVerify(Channel &ch, Tick now) { // 271
    FormatText(ch.CmdBuffer, kBufferSize - 3, "VRFY %s", ch.Recipient);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 272;
    return kStepOn;
}

int32_t CheckVerifyReply(Channel &ch, Tick) { // 272
    if (!ReplyReady(ch)) return kStepOn;
    int32_t c = CheckSmtpReply(ch);
    // Only 250 counts as known; a refusal does not end the request, the next address is
    // verified all the same.
    ch.VerifyResult = (c == 0 && ch.ReplyCode == 250) ? 1 : 0;
    ch.NextState = 270;
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {200, StartSmtpConnection}, {201, ReadGreeting},   {202, SendGreetingCommand}, {203, CheckGreetingReply},
    {270, TakeNextAddressToVerify}, {271, SendVerify}, {272, CheckVerifyReply},
};

} // namespace

const StateTable kSmtpSessionStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemSmtpConnect(int32_t Chan, const char *Server, const char *From, const char *ReplyTo) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    ch->Protocol = 'S';
    LogRequest(*ch, "zemSmtpConnect");
    if (Server == nullptr) return ZEM_ERR_SERVER_MISSING;
    if (From == nullptr) return ZEM_ERR_FROM_NULL;
    if (!IsValidServerName(Server)) return ZEM_ERR_BAD_SERVER_NAME;
    if (ReplyTo != nullptr && ReplyTo[0] != 0)
        CopyText(ch->ReplyToAddress, ReplyTo, 128);
    else
        ch->ReplyToAddress[0] = 0;
    CopyText(ch->ServerName, Server, 128);
    if (int32_t r = CheckBrackets(*ch, From, false)) return r;
    if (HoldsLineEnd(From)) return ZEM_ERR_BAD_CHAR;
    CopyText(ch->FromAddress, From, 128);
    ch->RemotePort = ch->SmtpPort;
    ch->AttachSaved = 0;
    RingClear(*ch);
    StartRequest(*ch, 200, 0);
    return RunToEnd(*ch);
}

extern "C" ZEM_API int32_t zemVerifyUser(int32_t Chan, const char *Addresses) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    if (ch->Protocol != 'S') return ZEM_ERR_SMTP_ONLY;
    LogRequest(*ch, "zemVerifyUser");
    if (Addresses == nullptr || Addresses[0] == 0) return ZEM_ERR_NO_RECIPIENT;
    if (HoldsLineEnd(Addresses)) return ZEM_ERR_BAD_CHAR;
    char *copy = AllocAndCopy(Chan, kSlotTo, Addresses);
    if (copy == nullptr) return ZEM_ERR_NO_MEMORY;
    ch->ToList = copy;
    ch->ListCursor = copy;
    StartRequest(*ch, 270, -1);
    int32_t r = RunToEnd(*ch);
    if (r < 0) return r;
    return ch->AutoCall ? ch->VerifyResult : 0;
}
