// The TLS handshake as states of its own: 108 makes the session (after the checks that no
// plaintext byte is waiting), 109 runs the handshake a step at a time until it ends, under
// the connect time-out. The certificate is verified by the platform layer; here its
// outcome becomes the channel's error code, log lines and diagnostics.
#include "driver/tls_states.h"

#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "platform/tls.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

void StartTlsBefore(Channel &ch, int32_t after) {
    ch.TlsAfterState = after;
    ch.NextState = 108;
}

bool WantsStartTls(const Channel &ch) {
    return (ch.TlsMode == kTlsRequired || ch.TlsMode == kTlsOpportunistic) && !ch.TlsStarted && ch.Tls == nullptr;
}

void ResetTlsState(Channel &ch) {
    ch.TlsStarted = 0;
    ch.TlsProtocolText[0] = 0;
    ch.TlsCipherText[0] = 0;
    ch.TlsVerifyReason[0] = 0;
}

namespace {

// Bytes before the handshake: in the ring (they came with the go-ahead line) or on the
// socket (they came after it; the server may send nothing until our ClientHello).
bool PlaintextWaiting(Channel &ch) { return RingCount(ch) > 0 || PollSocket(ch, kPollReadable) == 1; }

int32_t Injected(Channel &ch) {
    LogText(ch, "TLS: unexpected data before the handshake\r\n");
    RingClear(ch); // never taken as a reply
    return DriverError(ch, 0, ZEM_ERR_TLS_INJECTION);
}

} // namespace

int32_t GoAheadReceived(Channel &ch, int32_t after) {
    ch.TlsStarted = 1;
    if (PlaintextWaiting(ch)) return Injected(ch);
    StartTlsBefore(ch, after);
    return kStepOn;
}

int32_t StartTlsUnavailable(Channel &ch, int32_t next) {
    ch.TlsStarted = 1;
    if (ch.TlsMode == kTlsRequired) return DriverError(ch, 0, ZEM_ERR_TLS_NOT_OFFERED);
    LogText(ch, "TLS: not offered, going on in plain text\r\n");
    ch.NextState = next;
    return kStepOn;
}

namespace {

int32_t BeginHandshake(Channel &ch, Tick now) { // 108
    if (ch.TlsStarted && PlaintextWaiting(ch)) return Injected(ch);
    if (!ch.TlsVerify) LogText(ch, "TLS: certificate verification is off\r\n");
    TlsOptions opt{ch.ServerName, ch.CaFile, ch.CaDir, ch.ClientCert, ch.ClientKey, ch.TlsVerify != 0};
    int32_t failure = kTlsFailNone;
    TlsSession *t = TlsOpen(ch.Socket, opt, &failure);
    if (t == nullptr)
        return DriverError(ch, 0, failure == kTlsFailLocalFiles ? ZEM_ERR_TLS_LOCAL_FILES : ZEM_ERR_TLS_HANDSHAKE);
    ch.Tls = t;
    RingClear(ch);
    ch.WakeTick = 0;
    ch.DeadlineTick = After(now, P(gSettings.connectTimeout));
    ch.NextState = 109;
    return kStepOn;
}

int32_t HandshakeFailed(Channel &ch) {
    int32_t failure = TlsFailureOf(ch.Tls);
    TlsVerifyText(ch.Tls, ch.TlsVerifyReason, sizeof ch.TlsVerifyReason);
    int32_t code = ZEM_ERR_TLS_HANDSHAKE;
    if (failure == kTlsFailUntrusted) code = ZEM_ERR_TLS_UNTRUSTED;
    if (failure == kTlsFailNameMismatch) code = ZEM_ERR_TLS_NAME_MISMATCH;
    if (code != ZEM_ERR_TLS_HANDSHAKE) LogFormat(ch, "TLS: certificate: %s\r\n", ch.TlsVerifyReason);
    DropTls(ch); // no close_notify: there is no session to close
    return DriverError(ch, 0, code);
}

int32_t ContinueHandshake(Channel &ch, Tick now) { // 109
    int32_t r = TlsHandshake(ch.Tls);
    if (r == kTlsWantWrite) {
        // The handshake writes past the output buffer: the socket itself must take bytes.
        ch.WantReady = 2;
        return kStepOn;
    }
    if (r == kTlsWantRead) {
        // The server's next flight has not come yet: the blocking loop polls for it.
        ch.WantReady = 1;
        return kStepOn;
    }
    if (r != 1) return HandshakeFailed(ch);
    CopyText(ch.TlsProtocolText, TlsProtocolName(ch.Tls), sizeof ch.TlsProtocolText - 1);
    CopyText(ch.TlsCipherText, TlsCipherName(ch.Tls), sizeof ch.TlsCipherText - 1);
    TlsVerifyText(ch.Tls, ch.TlsVerifyReason, sizeof ch.TlsVerifyReason);
    LogFormat(ch, "TLS: %s, %s\r\n", ch.TlsProtocolText, ch.TlsCipherText);
    ArmReplyWait(ch, now);
    ch.NextState = ch.TlsAfterState;
    return kStepOn;
}

constexpr StateEntry kEntries[] = {{108, BeginHandshake}, {109, ContinueHandshake}};

} // namespace

const StateTable kTlsStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem
