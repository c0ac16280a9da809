// The channel state machine: the step frame of zemDriver, the state contract, DriverError
// and the blocking-call pattern every request export follows.
//
// A state runs with ThisState set and CmdBuffer/ReplyBuffer emptied. It moves the machine
// by writing NextState (0 = the request is done); a state that writes nothing runs again at
// the next step, which is how it waits. It returns kStepOn to let the frame finish the
// step, or the (negative) result of DriverError to fail the request at once.
#pragma once
#include <cstdint>

#include "frame/channel.h"
#include "frame/settings.h"

namespace zem {

constexpr int32_t kStepOn = 0;
using StateFn = int32_t (*)(Channel &ch, Tick now);
struct StateEntry {
    int32_t number;
    StateFn run;
};
struct StateTable {
    const StateEntry *entries;
    int32_t count;
};

// The module tables the dispatcher knows (defined next to their states).
extern const StateTable kConnectionStates;   // driver: 101-107, 257-259, 298/299, 398/399
extern const StateTable kSmtpSessionStates;  // 200-203, 270-272
extern const StateTable kSmtpAuthStates;     // 150-171
extern const StateTable kSmtpSendStates;     // 204-214, 251-252
extern const StateTable kComposeStates;      // 220-265
extern const StateTable kSmtpMessageFileStates; // 280-289
extern const StateTable kPop3SessionStates;  // 300-308, 315-321
extern const StateTable kPop3RetrievalStates; // 309-314
extern const StateTable kImapSessionStates;  // 400-413, 490-491
extern const StateTable kImapMailboxStates;  // 420-469
extern const StateTable kImapIdleStates;     // 470-479

StateFn FindState(int32_t number);

// Logs the error record and texts; with a negative ZemCode ends the request, closes the
// socket and records SockCode. Returns ZemCode.
int32_t DriverError(Channel &ch, int32_t sockCode, int32_t zemCode);
// Ends the request with a (negative) result the server's refusal gave, logged like
// DriverError, while the connection stays for the next request (an IMAP NO or BAD).
int32_t RequestFailed(Channel &ch, int32_t zemCode);
void LogVersion(Channel &ch);
int32_t RunStep(int32_t chan);

// Arming forms: WakeTick/DeadlineTick after a command. A reply wait, and any wake time
// in the future, also has the step write out what it buffered.
inline Tick After(Tick now, int32_t ms) { return ms <= 0 ? now : now + static_cast<Tick>(ms); }
inline void ArmReplyWait(Channel &ch, Tick now) { // reply wait
    ch.WakeTick = After(now, P(gSettings.stepDelay));
    ch.DeadlineTick = After(now, P(gSettings.replyTimeout));
    ch.FlushNow = 1;
}
inline void ArmLongReplyWait(Channel &ch, Tick now) { // EHLO/HELO, AUTH LOGIN
    ch.WakeTick = After(now, 2 * P(gSettings.stepDelay) + P(gSettings.loginPause));
    ch.DeadlineTick = After(now, P(gSettings.replyTimeout));
    ch.FlushNow = 1;
}
inline void ArmMediumReplyWait(Channel &ch, Tick now) { // CRAM-MD5 response, LOGIN password, APOP, PASS
    ch.WakeTick = After(now, P(gSettings.stepDelay) + P(gSettings.loginPause));
    ch.DeadlineTick = After(now, P(gSettings.replyTimeout));
    ch.FlushNow = 1;
}
inline void ArmAuthReplyWait(Channel &ch, Tick now) { // AUTH CRAM-MD5, AUTH PLAIN
    ch.WakeTick = After(now, 2 * P(gSettings.stepDelay));
    ch.DeadlineTick = After(now, P(gSettings.replyTimeout));
    ch.FlushNow = 1;
}
inline void ArmStepPause(Channel &ch, Tick now) { // the step delay between header lines
    ch.WakeTick = After(now, P(gSettings.stepDelay));
    ch.DeadlineTick = After(now, P(gSettings.replyTimeout));
}
inline void ArmDataPacing(Channel &ch, Tick now) { // each line of message data
    ch.WakeTick = After(now, P(gSettings.dataLinePause));
    ch.DeadlineTick = After(now, P(gSettings.dataLineTimeout));
    ch.WaitWritable = 1;
}
inline void ArmDeadline(Channel &ch, Tick now) { ch.DeadlineTick = After(now, P(gSettings.replyTimeout)); }

// The blocking-call pattern, after an export has checked and recorded its request:
// sets the start state and the fields every request clears, then (AutoCall 1) runs the
// machine to its end. Returns 0 (AutoCall 0 or success) or the negative final result.
void StartRequest(Channel &ch, int32_t startState, int waitWritable /* 0, 1, or -1 = unchanged */);
int32_t RunToEnd(Channel &ch);

// What the channel's next step waits for, for the blocking loop and zemWaitAny: the
// readiness (0 none, 1 read, 2 write) and the tick at which the step is due whatever the
// socket does (0 = not bounded by time).
struct NextStepWait {
    int kind;
    Tick due;
};
NextStepWait WhatNextStepWaitsFor(const Channel &ch, Tick now);
// Sleeps in one poll until the next step of the channel can make progress.
void SleepUntilNextStep(Channel &ch);

// A wait a state repeats across steps (so that zemDriver never blocks in it): 1 when the
// input is there, 0 when ms passed since the state began to wait, kNotYet otherwise.
constexpr int32_t kNotYet = -2;
int32_t AwaitReadable(Channel &ch, Tick now, int32_t ms);
// For a line reader whose input has begun: true once the line has come whole, or once the
// tick due (fixed at the first look) has passed with part of it there; else false, and
// the frame looks again when more comes or at that tick.
bool AwaitLineEnd(Channel &ch, Tick now, Tick due);
// The same for the socket to become writable (an error condition counts as writable, so
// the send that follows reports it).
int32_t AwaitWritable(Channel &ch, Tick now, int32_t ms);

// Sends CmdBuffer as a line; on failure returns DriverError(.., r, -52), else kStepOn.
int32_t SendCommandLine(Channel &ch);
// The same for a line whose bytes after the first `shown` are a secret (SendSecretLine).
int32_t SendSecretCommandLine(Channel &ch, int32_t shown);

// Request entry line "*** name\r\n" when logging.
void LogRequest(Channel &ch, const char *name);


} // namespace zem
