// POP3 STLS (RFC 2595 section 4): after the greeting, when TLS is required or wanted,
// "STLS", the +OK go-ahead, the handshake, then the login. The greeting's APOP timestamp,
// kept in AuthWork before STLS, stays the one APOP uses (the server sends no new greeting).
#include "driver/replies.h"
#include "driver/step.h"
#include "driver/tls_states.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

int32_t LoginState(const Channel &ch) { return ch.UseApop ? 302 : 303; }

int32_t SendStls(Channel &ch, Tick now) { // 322
    CopyText(ch.CmdBuffer, "STLS", 4);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 323;
    return kStepOn;
}

int32_t CheckStlsReply(Channel &ch, Tick now) { // 323
    if (!ReplyReady(ch)) return kStepOn;
    int32_t c = CheckPop3Reply(ch);
    if (c < 0 && c != ZEM_ERR_POP3) return DriverError(ch, 0, c);
    ArmReplyWait(ch, now); // the reply checker cleared the deadline
    if (c == 0) return GoAheadReceived(ch, LoginState(ch));
    return StartTlsUnavailable(ch, LoginState(ch));
}

constexpr StateEntry kEntries[] = {{322, SendStls}, {323, CheckStlsReply}};

} // namespace

const StateTable kPop3StlsStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem
