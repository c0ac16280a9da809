// zemImapIdle: waiting for news of the selected mailbox (RFC 2177). IDLE, then the
// untagged EXISTS, EXPUNGE or FETCH that the reader notes as a change, or the end of the
// caller's time, then DONE and the tagged OK. The IDLE is renewed before the 30 minutes
// after which a server may drop an idle client; a server without IDLE is polled with NOOP
// at the library-wide interval. The wait is the frame's: the idling state says what it
// waits for (the socket, a tick), so many idling channels share one thread and zemWaitAny.
#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "imap/responses.h"
#include "imap/session.h"
#include "zem32.h"

namespace zem {

namespace {

enum : int32_t {
    kStartIdle = 470,
    kReadIdleGoAhead = 471,
    kIdling = 472,
    kSendDone = 473,
    kReadIdleEnd = 474,
    kSendNoop = 475,
    kReadNoop = 476,
    kPollPause = 477,
};

constexpr int32_t kRenewMs = 29 * 60 * 1000;

bool TimeIsUp(const ImapArea &a, Tick now) { return a.IdleEnd != 0 && now >= a.IdleEnd; }

// The request's end: the mailbox's count after a change, 0 when the time passed.
int32_t FinishIdle(Channel &ch) {
    ImapArea &a = Imap(ch);
    a.IdleResult = a.Changed ? static_cast<int32_t>(a.Exists > INT32_MAX ? INT32_MAX : a.Exists) : 0;
    ch.NextState = 0;
    return kStepOn;
}

int32_t StartIdle(Channel &ch, Tick now) { // 470
    ImapArea &a = Imap(ch);
    if (a.Changed || TimeIsUp(a, now)) return FinishIdle(ch);
    if (!(a.Caps & kCapIdle)) {
        ch.NextState = kSendNoop;
        return kStepOn;
    }
    a.IdleRenew = After(now, kRenewMs);
    return SendImapLine(ch, now, "IDLE", kCmdPlain, kReadIdleGoAhead);
}

int32_t ReadIdleGoAhead(Channel &ch, Tick now) { // 471
    const int32_t r = AwaitImapResponse(ch, now, true);
    if (r <= 0) return r;
    LogText(ch, "[IDLE]\r\n");
    ch.NextState = kIdling;
    return kStepOn;
}

int32_t Idling(Channel &ch, Tick now) { // 472
    ImapArea &a = Imap(ch);
    const int32_t r = ReadImapResponses(ch, now);
    if (r < 0) return r;
    if (r != kImapWaiting) return DriverError(ch, 0, ZEM_ERR_MALFORMED_REPLY); // nothing tagged is due
    // While idling the server owes no reply: the caller's time and the renewal bound the
    // wait, not the reply time-out ("* OK Still here" lines come and go).
    ch.DeadlineTick = 0;
    if (a.Changed || TimeIsUp(a, now) || now >= a.IdleRenew) {
        ch.WantReady = 0; // DONE goes at once, not after the wait the reader armed
        ch.WaitEndTick = 0;
        ch.NextState = kSendDone;
        return kStepOn;
    }
    if (ch.WantReady == 0) return kStepOn; // more input is there: the next step reads it
    ch.WantReady = kPollReadable;
    ch.WaitEndTick = a.IdleEnd != 0 && a.IdleEnd < a.IdleRenew ? a.IdleEnd : a.IdleRenew;
    return kStepOn;
}

int32_t SendDone(Channel &ch, Tick now) { // 473
    if (SendData(ch, "DONE\r\n", 6) < 0) return DriverError(ch, 0, ZEM_ERR_WRITE);
    ArmReplyWait(ch, now);
    ch.NextState = kReadIdleEnd;
    return kStepOn;
}

int32_t ReadIdleEnd(Channel &ch, Tick now) { // 474
    const int32_t r = AwaitImapResponse(ch, now);
    if (r <= 0) return r;
    const ImapArea &a = Imap(ch);
    if (a.Changed || TimeIsUp(a, now)) return FinishIdle(ch);
    ch.NextState = kStartIdle; // renewed
    return kStepOn;
}

// ---- Without IDLE: NOOP at the polling interval --------------------------------------------

int32_t SendNoop(Channel &ch, Tick now) { return SendImapLine(ch, now, "NOOP", kCmdPlain, kReadNoop); } // 475

int32_t ReadNoop(Channel &ch, Tick now) { // 476
    const int32_t r = AwaitImapResponse(ch, now);
    if (r <= 0) return r;
    const ImapArea &a = Imap(ch);
    if (a.Changed || TimeIsUp(a, now)) return FinishIdle(ch);
    Tick wake = After(now, P(gSettings.idlePollInterval));
    if (a.IdleEnd != 0 && wake > a.IdleEnd) wake = a.IdleEnd;
    ch.WakeTick = wake;
    ch.NextState = kPollPause;
    return kStepOn;
}

int32_t PollPause(Channel &ch, Tick now) { // 477
    const ImapArea &a = Imap(ch);
    if (TimeIsUp(a, now)) return FinishIdle(ch);
    ch.NextState = kSendNoop;
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {kStartIdle, StartIdle}, {kReadIdleGoAhead, ReadIdleGoAhead}, {kIdling, Idling},     {kSendDone, SendDone},
    {kReadIdleEnd, ReadIdleEnd}, {kSendNoop, SendNoop},           {kReadNoop, ReadNoop}, {kPollPause, PollPause},
};

} // namespace

const StateTable kImapIdleStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemImapIdle(int32_t Chan, int32_t Milliseconds) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    if (int32_t r = CheckImapRequest(*ch, "zemImapIdle")) return r;
    ImapArea &a = Imap(*ch);
    a.Changed = 0;
    a.IdleResult = 0;
    const Tick now = TickNow();
    a.IdleEnd = Milliseconds > 0 ? After(now, Milliseconds) : 0; // 0 or less: until news comes
    StartRequest(*ch, kStartIdle, 1);
    if (ch->AutoCall == 0) return 0;
    const int32_t r = RunToEnd(*ch);
    return r < 0 ? r : a.IdleResult;
}
