// zemDriver's step frame, DriverError, the blocking-call pattern, zemClose and zemAbort.
#include "driver/step.h"

#include <cstring>

#include "driver/replies.h"
#include "driver/tls_states.h"
#include "driver/transport.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "zem32.h"

namespace zem {

namespace {

constexpr int32_t kHighestState = 499;

// The number -> handler table the step frame dispatches on, built once from the module
// tables that sit next to their states.
struct Dispatch {
    StateFn byNumber[kHighestState + 1] = {};
    Dispatch() {
        const StateTable *modules[] = {&kConnectionStates, &kSmtpSessionStates, &kSmtpAuthStates,
                                       &kSmtpSendStates,   &kComposeStates,     &kPop3SessionStates, &kPop3RetrievalStates,
                                       &kTlsStates,        &kSmtpStartTlsStates, &kPop3StlsStates,
                                       &kSmtpMessageFileStates, &kImapSessionStates, &kImapMailboxStates,
                                       &kImapIdleStates};
        for (const StateTable *t : modules)
            for (int32_t i = 0; i < t->count; ++i) byNumber[t->entries[i].number] = t->entries[i].run;
    }
};

const Dispatch &Table() {
    static const Dispatch d;
    return d;
}

} // namespace

StateFn FindState(int32_t number) {
    if (number <= 0 || number > kHighestState) return nullptr;
    return Table().byNumber[number];
}

void LogRequest(Channel &ch, const char *name) {
    if (Logging(ch)) LogFormat(ch, "*** %s\r\n", name);
}

void LogVersion(Channel &ch) {
    LogFormat(ch, "ZEM Win32 Version %d.%d.%d Build %d\r\n", ZEM_VERSION >> 8, (ZEM_VERSION >> 4) & 15, ZEM_VERSION & 15,
              ZEM_BUILD);
}

namespace {
void EndRequest(Channel &ch, int32_t sockCode) {
    ch.NextState = 0;
    ch.PrevState = ch.ThisState;
    ch.ThisState = -1;
    ch.LastSockCode = sockCode;
}

void LogError(Channel &ch, int32_t sockCode, int32_t zemCode) {
    LogFormat(ch, "ERROR(%ld): SockCode=%d ZemCode=%d PrevState=%d ThisState=%d NextState=%d\r\n",
              static_cast<long>(TickLow32(TickNow())), sockCode, zemCode, ch.PrevState, ch.ThisState, ch.NextState);
    // The texts follow without line ends, each cut at 127 characters.
    if (zemCode < 0) LogBytes(ch, ch.TextBuffer, ErrorTextFor(ch, zemCode, ch.TextBuffer, 128));
    if (sockCode < 0) LogBytes(ch, ch.TextBuffer, ErrorTextFor(ch, sockCode, ch.TextBuffer, 128));
}
} // namespace

int32_t RequestFailed(Channel &ch, int32_t zemCode) {
    if (Logging(ch)) LogError(ch, 0, zemCode);
    EndRequest(ch, 0);
    return zemCode;
}

int32_t DriverError(Channel &ch, int32_t sockCode, int32_t zemCode) {
    if (Logging(ch)) LogError(ch, sockCode, zemCode);
    if (zemCode < 0) {
        EndRequest(ch, sockCode);
        // A send cut off part-way must not keep its text or attachment file open.
        if (ch.SendFile > 0) {
            FileClose(ch.SendFile);
            ch.SendFile = 0;
        }
        CloseSocket(ch);
    }
    return zemCode;
}

int32_t RunOneStep(int32_t chan);

// WaitWritable set by StartRequest: the first step of a request looks at the socket first.
constexpr uint8_t kGateAtStart = 2;

bool OutputHasRoom(Channel &ch) { return HaveOutputBuffer(ch) && kOutSize - ch.OutFill >= kOutReserve; }

// Before a state runs, the output buffer must have room for what one step writes: a full
// buffer is written first, and while the socket takes too little the step waits for it
// (under the deadline of the wait in force, or the reply time-out).
int32_t MakeRoomForOneStep(Channel &ch, Tick now) {
    if (ch.OutFill == 0 || !ch.SocketOpen) return 0;
    if (ch.OutSent == 0 && kOutSize - ch.OutFill >= kOutReserve) return 0;
    const int32_t w = FlushOutput(ch);
    if (w < 0) {
        ch.ThisState = ch.NextState; // reported as the failure of the state that sends next
        return DriverError(ch, w, ZEM_ERR_WRITE);
    }
    if (w == 1 || kOutSize - ch.OutFill >= kOutReserve) return 0;
    if (ch.DeadlineTick == 0) ch.DeadlineTick = After(now, P(gSettings.replyTimeout));
    ch.WantReady = ch.OutWaitKind;
    return ZEM_DRIVER_WAIT;
}

int32_t RunStep(int32_t chan) {
    int32_t r = RunOneStep(chan);
    if (r <= 0 && r != ZEM_ERR_NOT_ATTACHED && r != ZEM_ERR_CHANNEL_RANGE) gChannelTable[chan].ChannelPtr->Busy = 0;
    return r;
}

int32_t RunOneStep(int32_t chan) {
    Channel *chp = nullptr;
    if (int32_t r = FindChannel(chan, &chp)) return r;
    Channel &ch = *chp;
    ch.CmdBuffer[0] = 0;
    ch.ReplyBuffer[0] = 0;
    const Tick now = TickNow();
    if (ch.WakeTick > now) return ZEM_DRIVER_WAIT;
    if (ch.DeadlineTick != 0 && ch.DeadlineTick < now) return DriverError(ch, 0, ZEM_ERR_TIMED_OUT);
    if (int32_t r = MakeRoomForOneStep(ch, now)) return r;
    // A line for an output buffer with room needs no writable socket: the buffer's own
    // write waits for that (and keeps what a short write leaves). A request's first step
    // still waits at the gate unless lines are gathering already.
    const bool gateOpen = ch.GateOpen != 0;
    ch.GateOpen = 0;
    ch.WritableSeen = 0;
    if (ch.WaitWritable && !gateOpen &&
        (ch.WaitWritable == kGateAtStart ? !(ch.OutFill > 0 && OutputHasRoom(ch)) : !OutputHasRoom(ch))) {
        if (PollSocket(ch, kPollWritable) != 1) {
            // A peer that stops reading must not hold a request for ever.
            if (ch.DeadlineTick == 0) ch.DeadlineTick = After(now, P(gSettings.replyTimeout));
            return ZEM_DRIVER_WAIT;
        }
        ch.WritableSeen = 1;
    } else if (ch.WaitWritable && gateOpen) {
        ch.WritableSeen = 1;
    }
    ch.WaitWritable = 0;
    ch.ThisState = ch.NextState;
    // A wait a state repeats belongs to that state; the next one starts its own.
    if (ch.ThisState != ch.PrevState) ch.WaitEndTick = 0;
    ch.WantReady = 0;
    if (ch.ThisState > 0) ++ch.StepCount;
    if (Logging(ch) && ch.PrevState != ch.ThisState)
        LogFormat(ch, "<%3d:%ld>\r\n", ch.ThisState, static_cast<long>(TickLow32(now)));
    if (ch.ThisState == 0) {
        ch.ThisState = -1;
        ch.WakeTick = 0;
        ch.DeadlineTick = 0;
        return 0;
    }
    if (StateFn run = FindState(ch.ThisState)) {
        ch.FlushNow = 0;
        int32_t r = run(ch, now);
        if (r < 0) {
            ch.ThisState = -1;
            return r;
        }
        // A reply is awaited, a pause begins (a pause the caller set is one on the wire),
        // the request ended, or the caller drives the steps: what the step buffered goes
        // now. What the socket does not take waits for the next step. A pause of 0 sets
        // no wake time ahead, so lines go on gathering.
        const bool flushing =
            ch.OutFill > 0 && (ch.FlushNow || ch.NextState == 0 || ch.AutoCall == 0 || ch.WakeTick > now);
        if (flushing) {
            if (int32_t w = FlushOutput(ch); w < 0) {
                r = DriverError(ch, w, ZEM_ERR_WRITE);
                ch.ThisState = -1;
                return r;
            }
        }
        // A command went out whole and its reply is awaited: the next step needs input,
        // so the wait before it is a read wait (one poll, then the reader's receive)
        // rather than a look that nearly always finds nothing yet. Under TLS a record
        // may already wait decrypted, so only a plain socket says so.
        if (flushing && ch.FlushNow && ch.WantReady == 0 && ch.OutFill == 0 && ch.SocketOpen && ch.Tls == nullptr &&
            !ch.KnownReadable && RingCount(ch) == 0 && ch.NextState > 0)
            ch.WantReady = kPollReadable;
    } else {
        LogFormat(ch, "ERROR! Unknown state %d\r\n", ch.ThisState);
    }
    ch.PrevState = ch.ThisState;
    ch.ThisState = -1;
    return ch.NextState;
}

void StartRequest(Channel &ch, int32_t startState, int waitWritable) {
    if (waitWritable >= 0) ch.WaitWritable = waitWritable > 0 ? kGateAtStart : 0;
    ch.NextState = startState;
    ch.AfterConnectState = 0;
    ch.LastSockCode = 0;
    ch.WakeTick = 0;
    ch.DeadlineTick = 0;
    ch.WaitEndTick = 0;
    ch.LineWaitTick = 0;
    ch.WantReady = 0;
    ch.Busy = 1;
}

NextStepWait WhatNextStepWaitsFor(const Channel &ch, Tick now) {
    if (ch.WakeTick > now) return {0, ch.WakeTick}; // nothing runs before it
    // A full output buffer waits for what its write waits for, before anything else.
    const bool outputFull = ch.OutFill > 0 && kOutSize - ch.OutFill < kOutReserve;
    // Lines for a buffer with room need no writable socket (a request's first step: only
    // while lines gather).
    const bool gathering = ch.OutBuffer != nullptr && ch.OutFill > 0 && !outputFull;
    const bool hasRoom = ch.OutBuffer != nullptr && !outputFull;
    const bool gate = ch.WaitWritable == kGateAtStart ? !gathering : !hasRoom;
    const int kind = !ch.SocketOpen ? 0
                     : outputFull   ? ch.OutWaitKind
                     : ch.WaitWritable && gate ? 2
                     : ch.WaitWritable ? 0
                                      : ch.WantReady;
    if (kind == 0) return {0, now};
    // Past its deadline the step fails (the check is "later than"); a repeated wait ends
    // at its own tick.
    Tick due = ch.DeadlineTick != 0 ? ch.DeadlineTick + 1 : 0;
    if (ch.WaitEndTick != 0 && (due == 0 || ch.WaitEndTick < due)) due = ch.WaitEndTick;
    return {kind, due};
}

void SleepUntilNextStep(Channel &ch) {
    const Tick now = TickNow();
    const NextStepWait w = WhatNextStepWaitsFor(ch, now);
    if (w.kind == 0 && w.due <= now) return; // due now: run it at once
    // A wait that no tick bounds is looked at again after the poll interval.
    Tick left = w.due > now ? w.due - now : w.due == 0 ? static_cast<Tick>(P(gSettings.pollInterval) > 0 ? P(gSettings.pollInterval) : 1) : 0;
    if (left > 60000) left = 60000;
    if (w.kind == 0) {
        SleepMs(static_cast<int32_t>(left));
        return;
    }
    // A writable socket seen here opens the next step's gate without another poll; a
    // readable plain socket spares the reader its poll.
    if (SocketWait(ch.Socket, w.kind, static_cast<int32_t>(left)) == 1) {
        if (w.kind == kPollWritable) ch.GateOpen = 1;
        else if (ch.Tls == nullptr && ch.OutFill == 0) ch.KnownReadable = 1;
    }
}

int32_t RunToEnd(Channel &ch) {
    if (ch.AutoCall == 0) return 0;
    int32_t r;
    while ((r = RunStep(ch.ChannelNo)) > 0) SleepUntilNextStep(ch);
    return r;
}

int32_t AwaitReadable(Channel &ch, Tick now, int32_t ms) {
    if (WaitReadable(ch, 0)) {
        ch.WaitEndTick = 0;
        return 1;
    }
    if (ms <= 0) return 0;
    if (ch.WaitEndTick == 0) ch.WaitEndTick = After(now, ms);
    if (TickNow() >= ch.WaitEndTick) {
        ch.WaitEndTick = 0;
        return 0;
    }
    return kNotYet;
}

bool AwaitLineEnd(Channel &ch, Tick now, Tick due) {
    if (LineReady(ch) || (ch.LineWaitTick != 0 && now >= ch.LineWaitTick)) {
        ch.LineWaitTick = 0;
        return true;
    }
    if (ch.LineWaitTick == 0) ch.LineWaitTick = due > now ? due : now + 1;
    ch.WaitEndTick = ch.LineWaitTick;
    return false;
}

int32_t AwaitWritable(Channel &ch, Tick now, int32_t ms) {
    // The gate of this step saw the socket writable and nothing was written since: no
    // second poll. An error pending counts as writable too: the send reports it.
    if ((ch.WritableSeen && ch.OutFill == 0) || PollWritable(ch) != 0) {
        ch.WaitEndTick = 0;
        return 1;
    }
    ch.WantReady = 2;
    if (ms <= 0) return 0;
    if (ch.WaitEndTick == 0) ch.WaitEndTick = After(now, ms);
    if (TickNow() >= ch.WaitEndTick) {
        ch.WaitEndTick = 0;
        return 0;
    }
    return kNotYet;
}

int32_t SendCommandLine(Channel &ch) {
    int32_t r = SendLine(ch, ch.CmdBuffer);
    return r < 0 ? DriverError(ch, r, ZEM_ERR_WRITE) : kStepOn;
}

int32_t SendSecretCommandLine(Channel &ch, int32_t shown) {
    int32_t r = SendSecretLine(ch, ch.CmdBuffer, shown);
    return r < 0 ? DriverError(ch, r, ZEM_ERR_WRITE) : kStepOn;
}

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemDriver(int32_t Chan) {
    return RunStep(Chan);
}


extern "C" ZEM_API int32_t zemAbort(int32_t Chan) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    LogRequest(*ch, "zemAbort");
    ch->AfterConnectState = 0;
    ch->LastSockCode = 0;
    ch->AutoCall = 1;
    ch->NextState = 0;
    ch->Busy = 0;
    CloseSocket(*ch);
    return 1;
}

extern "C" ZEM_API int32_t zemWaitAny(int32_t Milliseconds) {
    const int32_t count = ChannelCount();
    if (count == 0) return ZEM_ERR_NOT_ATTACHED;
    PollEntry fds[kMaxChannels];
    int32_t nfds = 0;
    const Tick now = TickNow();
    Tick until = now + static_cast<Tick>(Milliseconds > 0 ? Milliseconds : 0);
    int32_t ready = 0;
    for (int32_t i = 0; i < count; ++i) {
        const Channel *ch = gChannelTable[i].ChannelPtr;
        if (ch == nullptr || !ch->Busy) continue;
        const NextStepWait w = WhatNextStepWaitsFor(*ch, now);
        if (w.kind == 0 && w.due <= now) {
            ++ready;
            continue;
        }
        if (w.due != 0 && w.due < until) until = w.due;
        if (w.kind != 0) {
            fds[nfds++] = PollEntry{ch->Socket, w.kind, false};
        }
    }
    if (ready > 0) return ready;
    const Tick left = until > now ? until - now : 0;
    ready = SocketWaitMany(fds, nfds, static_cast<int32_t>(left > 86400000 ? 86400000 : left));
    const Tick after = TickNow();
    // Channels whose time came count too.
    for (int32_t i = 0; i < count; ++i) {
        const Channel *ch = gChannelTable[i].ChannelPtr;
        if (ch == nullptr || !ch->Busy) continue;
        const NextStepWait w = WhatNextStepWaitsFor(*ch, after);
        if (w.due != 0 && w.due <= after) ++ready;
    }
    return ready;
}
