// The states shared by both protocols: connecting (101-107), closing with QUIT (257-259)
// and the raw command of zemCommand (298/299 on SMTP, 398/399 on POP3).
#include "driver/replies.h"
#include "driver/step.h"
#include "driver/tls_states.h"
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

// Fills AddrList with every address of the server: a dotted IPv4 address or a literal
// IPv6 one (brackets allowed) as it is, a name through the resolver (both families, in
// its order). 1, or the code for DriverError.
int32_t ListServerAddresses(Channel &ch) {
    ch.AddrCount = ch.AddrIndex = 0;
    NetAddress &first = ch.AddrList[0];
    if (IsDottedAddress(ch.ServerName)) {
        ch.ServerAddr = ParseDotted(ch.ServerName);
        first = NetAddress{};
        first.family = 4;
        for (int i = 0; i < 4; ++i) first.bytes[i] = static_cast<uint8_t>(ch.ServerAddr >> (24 - 8 * i));
        ch.AddrCount = 1;
        return 1;
    }
    if (ParseIPv6Literal(ch.ServerName, &first) == 1) {
        ch.AddrCount = 1;
        return 1;
    }
    int32_t r = ResolveServerAll(ch);
    return r <= 0 ? r : 1;
}

int32_t FindServerAddress(Channel &ch, Tick) { // 104
    LogFormat(ch, "Server = '%s'\r\n", ch.ServerName);
    int32_t r = ListServerAddresses(ch);
    if (r <= 0) return DriverError(ch, r, ZEM_ERR_NO_SERVER);
    ch.NextState = 105;
    if (Logging(ch)) {
        char text[48];
        if (ch.AddrList[0].family == 6)
            FormatNetAddress(ch.AddrList[0], text, sizeof text);
        else
            FormatDotted(ch.ServerAddr, text, sizeof text);
        LogFormat(ch, "ServerIP = %s\r\n", text);
    }
    return kStepOn;
}

bool MoreAddresses(const Channel &ch) { return ch.AddrIndex + 1 < ch.AddrCount; }

// A connect that failed goes on with the next address while there is one.
int32_t ConnectFailed(Channel &ch, int32_t sockCode) {
    if (MoreAddresses(ch)) {
        ch.NextState = 107;
        return kStepOn;
    }
    return DriverError(ch, sockCode, ZEM_ERR_CONNECT);
}

int32_t CreateSocketAndConnect(Channel &ch, Tick now) { // 105
    ch.ServerNet = ch.AddrList[ch.AddrIndex];
    ResetTlsState(ch);
    if (ch.ServerNet.family == 4) {
        const uint8_t *b = ch.ServerNet.bytes;
        ch.ServerAddr = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    }
    int32_t s;
    {
        LibraryLockGuard lock;
        // A channel connected again without zemClose must not leak its old socket.
        DropTls(ch);
        if (ch.SocketOpen) SocketCloseNow(ch.Socket);
        ch.SocketOpen = 0;
        s = SocketCreateTcpFamily(ch.ServerNet.family, ch.NonBlockingConnect != 0);
    }
    if (s < 0) return ZEM_ERR_INVALID_SOCKET; // no error record: the next step tries again
    gChannelTable[ch.ChannelNo].SocketCopy = s;
    ch.Socket = s;
    ch.SocketOpen = 1;
    int32_t r = ch.ServerNet.family == 4 ? StartConnect(ch.ChannelNo, ch.ServerAddr, ch.RemotePort)
                                         : StartConnect6(ch, ch.RemotePort);
    // Each address of several gets its share of the connect time-out.
    int32_t share = P(gSettings.connectTimeout) / (ch.AddrCount > 0 ? ch.AddrCount : 1);
    ch.AddrDeadline = After(now, share);
    if (r < 0) return ConnectFailed(ch, r);
    ch.WaitWritable = 0;
    ch.WakeTick = After(now, P(gSettings.stepDelay));
    ch.DeadlineTick = MoreAddresses(ch) ? 0 : After(now, ch.AddrCount > 1 ? share : P(gSettings.connectTimeout));
    ch.NextState = 106;
    return kStepOn;
}

int32_t WaitForConnect(Channel &ch, Tick now) { // 106
    const int32_t w = PollWritable(ch);
    if (w < 0) return ConnectFailed(ch, 0);
    if (w != 1) {
        ch.WantReady = 2;
        if (MoreAddresses(ch)) {
            if (now > ch.AddrDeadline) ch.NextState = 107;
            ch.WaitEndTick = ch.AddrDeadline + 1; // the blocking loop looks again then
        }
        return kStepOn;
    }
    // Writable with an error pending is a refused connect too (poll may show both).
    if (MoreAddresses(ch) && SocketPendingError(ch.Socket) != 0) {
        ch.NextState = 107;
        return kStepOn;
    }
    if (ch.NonBlockingConnect) SocketSetBlocking(ch.Socket);
    ArmReplyWait(ch, now);
    ch.NextState = ch.AfterConnectState;
    if (ch.TlsMode == kTlsImplicit) StartTlsBefore(ch, ch.AfterConnectState);
    return kStepOn;
}

int32_t TryNextAddress(Channel &ch, Tick) { // 107
    {
        LibraryLockGuard lock;
        if (ch.SocketOpen) SocketCloseNow(ch.Socket);
        ch.SocketOpen = 0;
    }
    ResetOutput(ch);
    ++ch.AddrIndex;
    ch.NextState = 105;
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
    if (!ReplyReady(ch)) return kStepOn;
    int32_t c = ch.Protocol == 'S' ? CheckSmtpReplyAtQuit(ch) : CheckPop3ReplyAtQuit(ch);
    if (c < 0) return DriverError(ch, 0, c);
    CloseSocket(ch);
    ch.NextState = 0;
    if (ch.AutoCall == 0 && P(gSettings.closePause) > 0) {
        ch.WakeTick = After(TickNow(), P(gSettings.closePause));
        ch.NextState = 257;
    }
    return kStepOn;
}

int32_t EndClosePause(Channel &ch, Tick) { // 257: the close pause of a driven channel is over
    ch.NextState = 0;
    return kStepOn;
}

// A raw command that carries a credential (PASS, APOP, AUTH with an initial response):
// the bytes the log may show, the verb and the name before the secret; -1 for any other.
int32_t RawCommandShown(const char *line) {
    const bool apop = SameTextNoCase(line, "APOP ", 5);
    if (SameTextNoCase(line, "PASS ", 5)) return 5;
    if (!apop && !SameTextNoCase(line, "AUTH ", 5)) return -1;
    const char *space = FindChar(line + 5, ' ');
    return space == nullptr ? (apop ? 5 : -1) : static_cast<int32_t>(space + 1 - line);
}

int32_t SendRawCommand(Channel &ch, Tick now) { // 298, 398
    CopyText(ch.CmdBuffer, ch.CommandText, 32);
    const int32_t shown = RawCommandShown(ch.CmdBuffer);
    if (int32_t r = shown >= 0 ? SendSecretCommandLine(ch, shown) : SendCommandLine(ch)) return r;
    ArmReplyWait(ch, now);
    ch.NextState = ch.ThisState + 1;
    return kStepOn;
}

int32_t CheckRawSmtpReply(Channel &ch, Tick) { // 299
    if (!ReplyReady(ch)) return kStepOn;
    if (int32_t c = CheckSmtpReply(ch)) return DriverError(ch, 0, c);
    ch.NextState = 0;
    return kStepOn;
}

int32_t CheckRawPop3Reply(Channel &ch, Tick) { // 399
    if (!ReplyReady(ch)) return kStepOn;
    if (int32_t c = CheckPop3Reply(ch)) return DriverError(ch, 0, c);
    ch.NextState = 0;
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {101, ReadLocalHostName}, {104, FindServerAddress}, {105, CreateSocketAndConnect}, {106, WaitForConnect},
    {107, TryNextAddress},
    {257, EndClosePause},     {258, SendQuit},          {259, CheckQuitReply},    {298, SendRawCommand},         {299, CheckRawSmtpReply},
    {398, SendRawCommand},    {399, CheckRawPop3Reply},
};

} // namespace

const StateTable kConnectionStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem
