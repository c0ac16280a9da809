// The states shared by both protocols: connecting (101-106), closing with QUIT (258, 259)
// and the raw command of zemCommand (298/299 on SMTP, 398/399 on POP3).
#include "driver/replies.h"
#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

int32_t ReadLocalHostName(Channel &ch, Tick) { // 101
    ch.CmdBuffer[0] = 0;
    GetLocalHostName(ch.ReplyBuffer, 2048); // only logged; empty when it cannot be read
    LogFormat(ch, "LocalHost = '%s'\r\n", ch.ReplyBuffer);
    ch.NextState = 104;
    return kStepOn;
}

int32_t FindServerAddress(Channel &ch, Tick) { // 104
    LogFormat(ch, "Server = '%s'\r\n", ch.ServerName);
    if (IsDottedAddress(ch.ServerName)) {
        ch.ServerAddr = ParseDotted(ch.ServerName);
    } else {
        int32_t r = ResolveServer(ch);
        if (r <= 0) return DriverError(ch, r, ZEM_ERR_NO_SERVER);
    }
    ch.NextState = 105;
    if (Logging(ch)) {
        char dotted[18];
        FormatDotted(ch.ServerAddr, dotted, sizeof dotted);
        LogFormat(ch, "ServerIP = %s\r\n", dotted);
    }
    return kStepOn;
}

int32_t CreateSocketAndConnect(Channel &ch, Tick now) { // 105
    int32_t s;
    {
        LibraryLockGuard lock;
        // A channel connected again without zemClose must not leak its old socket.
        if (ch.SocketOpen) SocketCloseNow(ch.Socket);
        ch.SocketOpen = 0;
        s = SocketCreateTcp();
    }
    if (s < 0) return ZEM_ERR_INVALID_SOCKET; // no error record: the next step tries again
    if (ch.NonBlockingConnect) SocketSetNonBlocking(s, true);
    gChannelTable[ch.ChannelNo].SocketCopy = s;
    ch.Socket = s;
    ch.SocketOpen = 1;
    int32_t r = StartConnect(ch.ChannelNo, ch.ServerAddr, ch.RemotePort);
    if (r < 0) return DriverError(ch, r, ZEM_ERR_CONNECT);
    ch.WaitWritable = 0;
    ch.WakeTick = After(now, P(gSettings.stepDelay));
    ch.DeadlineTick = After(now, P(gSettings.connectTimeout));
    ch.NextState = 106;
    return kStepOn;
}

int32_t WaitForConnect(Channel &ch, Tick now) { // 106
    if (PollSocket(ch, kPollError) == 1) return DriverError(ch, 0, ZEM_ERR_CONNECT);
    if (PollSocket(ch, kPollWritable) != 1) return kStepOn;
    if (ch.NonBlockingConnect) SocketSetNonBlocking(ch.Socket, false);
    ArmReplyWait(ch, now);
    ch.NextState = ch.AfterConnectState;
    return kStepOn;
}

int32_t SendQuit(Channel &ch, Tick now) { // 258
    CopyText(ch.CmdBuffer, "QUIT", 4);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = 259;
    return kStepOn;
}

int32_t CheckQuitReply(Channel &ch, Tick) { // 259
    if (!WaitReadable(ch, 0)) return kStepOn;
    int32_t c = ch.Protocol == 'S' ? CheckSmtpReplyAtQuit(ch) : CheckPop3ReplyAtQuit(ch);
    if (c < 0) return DriverError(ch, 0, c);
    CloseSocket(ch);
    ch.NextState = 0;
    return kStepOn;
}

int32_t SendRawCommand(Channel &ch, Tick now) { // 298, 398
    CopyText(ch.CmdBuffer, ch.CommandText, 32);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = ch.ThisState + 1;
    return kStepOn;
}

int32_t CheckRawSmtpReply(Channel &ch, Tick) { // 299
    if (!WaitReadable(ch, 0)) return kStepOn;
    if (int32_t c = CheckSmtpReply(ch)) return DriverError(ch, 0, c);
    ch.NextState = 0;
    return kStepOn;
}

int32_t CheckRawPop3Reply(Channel &ch, Tick) { // 399
    if (!WaitReadable(ch, 0)) return kStepOn;
    if (int32_t c = CheckPop3Reply(ch)) return DriverError(ch, 0, c);
    ch.NextState = 0;
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {101, ReadLocalHostName}, {104, FindServerAddress}, {105, CreateSocketAndConnect}, {106, WaitForConnect},
    {258, SendQuit},          {259, CheckQuitReply},    {298, SendRawCommand},         {299, CheckRawSmtpReply},
    {398, SendRawCommand},    {399, CheckRawPop3Reply},
};

} // namespace

const StateTable kConnectionStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem
