// zemDriver's step frame, DriverError, the blocking-call pattern, zemClose and zemAbort.
#include "driver/step.h"

#include <cstring>

#include "driver/tls_states.h"
#include "driver/transport.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "zem32.h"

namespace zem {

namespace {

constexpr int32_t kHighestState = 399;

// The number -> handler table the step frame dispatches on, built once from the module
// tables that sit next to their states.
struct Dispatch {
    StateFn byNumber[kHighestState + 1] = {};
    Dispatch() {
        const StateTable *modules[] = {&kConnectionStates, &kSmtpSessionStates, &kSmtpAuthStates,
                                       &kSmtpSendStates,   &kPop3SessionStates, &kPop3RetrievalStates,
                                       &kTlsStates,        &kSmtpStartTlsStates, &kPop3StlsStates,
                                       &kSmtpMessageFileStates};
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

int32_t DriverError(Channel &ch, int32_t sockCode, int32_t zemCode) {
    if (Logging(ch)) {
        LogFormat(ch, "ERROR(%ld): SockCode=%d ZemCode=%d PrevState=%d ThisState=%d NextState=%d\r\n",
                  static_cast<long>(TickLow32(TickNow())), sockCode, zemCode, ch.PrevState, ch.ThisState, ch.NextState);
        // The texts follow without line ends, each cut at 127 characters.
        if (zemCode < 0) LogBytes(ch, ch.TextBuffer, ErrorTextFor(ch, zemCode, ch.TextBuffer, 128));
        if (sockCode < 0) LogBytes(ch, ch.TextBuffer, ErrorTextFor(ch, sockCode, ch.TextBuffer, 128));
    }
    if (zemCode < 0) {
        ch.NextState = 0;
        ch.PrevState = ch.ThisState;
        ch.ThisState = -1;
        ch.LastSockCode = sockCode;
        // A send cut off part-way must not keep its text or attachment file open.
        if (ch.Protocol == 'S' && ch.FileHandle > 0) {
            FileClose(ch.FileHandle);
            ch.FileHandle = 0;
        }
        CloseSocket(ch);
    }
    SleepMs(0);
    return zemCode;
}

int32_t RunStep(int32_t chan) {
    Channel *chp = nullptr;
    if (int32_t r = FindChannel(chan, &chp)) return r;
    Channel &ch = *chp;
    ch.CmdBuffer[0] = 0;
    ch.ReplyBuffer[0] = 0;
    const Tick now = TickNow();
    if (ch.WakeTick > now) {
        SleepMs(0);
        return ZEM_DRIVER_WAIT;
    }
    if (ch.DeadlineTick != 0 && ch.DeadlineTick < now) return DriverError(ch, 0, ZEM_ERR_TIMED_OUT);
    if (ch.WaitWritable && PollSocket(ch, kPollWritable) != 1) {
        // A peer that stops reading must not hold a request for ever.
        if (ch.DeadlineTick == 0) ch.DeadlineTick = After(now, P(gSettings.replyTimeout));
        SleepMs(0);
        return ZEM_DRIVER_WAIT;
    }
    ch.WaitWritable = 0;
    ch.ThisState = ch.NextState;
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
        int32_t r = run(ch, now);
        if (r < 0) {
            ch.ThisState = -1;
            return r;
        }
    } else {
        LogFormat(ch, "ERROR! Unknown state %d\r\n", ch.ThisState);
    }
    ch.PrevState = ch.ThisState;
    ch.ThisState = -1;
    return ch.NextState;
}

void StartRequest(Channel &ch, int32_t startState, int waitWritable) {
    if (waitWritable >= 0) ch.WaitWritable = static_cast<uint8_t>(waitWritable);
    ch.NextState = startState;
    ch.AfterConnectState = 0;
    ch.LastSockCode = 0;
    ch.WakeTick = 0;
    ch.DeadlineTick = 0;
}

int32_t RunToEnd(Channel &ch) {
    if (ch.AutoCall == 0) return 0;
    int32_t r;
    while ((r = RunStep(ch.ChannelNo)) > 0) SleepMs(0);
    return r;
}

int32_t SendCommandLine(Channel &ch) {
    int32_t r = SendLine(ch, ch.CmdBuffer);
    return r < 0 ? DriverError(ch, r, ZEM_ERR_WRITE) : kStepOn;
}

void CloseMessageFile(Channel &ch) {
    if (ch.EmailFile > 0) FileClose(ch.EmailFile);
    ch.EmailFile = 0;
}

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemDriver(int32_t Chan) {
    return RunStep(Chan);
}

extern "C" ZEM_API int32_t zemClose(int32_t Chan) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    LogRequest(*ch, "zemClose");
    CloseAttachmentFile(*ch);
    CloseMessageFile(*ch);
    StartRequest(*ch, 258, 1);
    if (ch->AutoCall == 0) return 0;
    int32_t r = RunToEnd(*ch);
    FreeMemory(Chan, 1, 9);
    ch->Protocol = 0;
    return r;
}

extern "C" ZEM_API int32_t zemAbort(int32_t Chan) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    LogRequest(*ch, "zemAbort");
    ch->AfterConnectState = 0;
    ch->LastSockCode = 0;
    ch->AutoCall = 1;
    ch->NextState = 0;
    CloseSocket(*ch);
    return 1;
}
