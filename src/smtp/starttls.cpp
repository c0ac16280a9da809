// SMTP STARTTLS (RFC 3207): after EHLO, when TLS is required or offered, "STARTTLS", the
// 220 go-ahead, the handshake, then EHLO again. Whatever the first EHLO reply offered
// (AUTH mechanisms above all) is forgotten: only the reply to the EHLO under TLS counts.
#include "driver/replies.h"
#include "driver/step.h"
#include "driver/tls_states.h"
#include "smtp/session.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

bool OffersStartTls(const char *reply) {
    // Each line of the EHLO reply is "250-KEYWORD ..." or "250 KEYWORD ...".
    for (const char *line = reply; line != nullptr && *line != 0;) {
        if (TextLength(line) >= 12 && SameTextNoCase(line + 4, "STARTTLS", 8)) {
            char after = line[12];
            if (after == '\r' || after == '\n' || after == ' ' || after == 0) return true;
        }
        const char *lf = FindChar(line, '\n');
        line = lf != nullptr ? lf + 1 : nullptr;
    }
    return false;
}

namespace {

int32_t SendStartTls(Channel &ch, Tick now) { // 273
    CopyText(ch.CmdBuffer, "STARTTLS", 8);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 274;
    return kStepOn;
}

int32_t CheckStartTlsReply(Channel &ch, Tick) { // 274
    if (!ReplyReady(ch)) return kStepOn;
    int32_t c = CheckSmtpReply(ch);
    if (c < 0 && c != ZEM_ERR_SMTP) return DriverError(ch, 0, c);
    // 220 is the go-ahead; 454 (TLS not available) or a refusal leaves TLS unavailable,
    // and then only opportunistic mode goes on, with EHLO again in plain text.
    if (c == 0 && ch.ReplyCode == 220) return GoAheadReceived(ch, 202);
    return StartTlsUnavailable(ch, 202);
}

constexpr StateEntry kEntries[] = {{273, SendStartTls}, {274, CheckStartTlsReply}};

} // namespace

const StateTable kSmtpStartTlsStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem
