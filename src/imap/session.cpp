// The IMAP session (RFC 3501 sections 6.1 and 6.2, RFC 9051): the greeting, CAPABILITY,
// STARTTLS, the login by AUTHENTICATE (XOAUTH2, OAUTHBEARER, CRAM-MD5, PLAIN) or LOGIN,
// ENABLE UTF8=ACCEPT, and LOGOUT. Capabilities are read again after STARTTLS and after the
// login; nothing the server said before TLS is kept.
#include <cstring>

#include "codec/codec.h"
#include "codec/md5.h"
#include "driver/step.h"
#include "driver/tls_states.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "imap/responses.h"
#include "imap/session.h"
#include "sasl/sasl.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

constexpr int32_t kNameMax = 64;    // UserName, Password
constexpr int32_t kServerMax = 128; // ServerName

enum : int32_t {
    kStart = 400,
    kReadGreeting = 401,
    kAskCapabilities = 403,
    kReadCapabilities = 404,
    kChooseLogin = 405,
    kReadAuthenticate = 406,
    kReadLogin = 407,
    kAfterLogin = 408,
    kReadLoginCapabilities = 409,
    kSendStartTls = 410,
    kReadStartTls = 411,
    kEnableUtf8 = 412,
    kReadEnable = 413,
    kReadLogout = 491,
};

// Reads responses; on the tagged OK goes to `next`, on NO/BAD fails with -86.
int32_t AwaitOk(Channel &ch, Tick now, int32_t next) {
    const int32_t r = ReadImapResponses(ch, now);
    if (r == kImapWaiting || r < 0) return r < 0 ? r : kStepOn;
    if (r == kImapRefused) return DriverError(ch, 0, ZEM_ERR_IMAP); // a refused login leaves nothing to do on the connection
    if (r == kImapContinue) return DriverError(ch, 0, ZEM_ERR_MALFORMED_REPLY);
    ch.NextState = next;
    return kStepOn;
}

int32_t StartImapConnection(Channel &ch, Tick) { // 400
    if (Logging(ch)) LogVersion(ch);
    ImapArea &a = Imap(ch);
    std::memset(&a, 0, sizeof a);
    ImapParserReset(a.Parser);
    a.Command = kCmdGreeting;
    ch.AfterConnectState = kReadGreeting;
    ch.NextState = 101;
    return kStepOn;
}

int32_t ReadGreeting(Channel &ch, Tick now) { // 401
    const int32_t r = ReadImapResponses(ch, now);
    if (r == kImapWaiting || r < 0) return r < 0 ? r : kStepOn;
    if (r != kImapOk) return DriverError(ch, 0, ZEM_ERR_MALFORMED_REPLY);
    ImapArea &a = Imap(ch);
    // A server that logs us in at once (PREAUTH) before TLS could be anyone's: STARTTLS
    // is then impossible (RFC 3501 section 7.1.4), so a required TLS fails.
    if (a.LoginDone && WantsStartTls(ch)) return StartTlsUnavailable(ch, kAfterLogin);
    ch.NextState = kAskCapabilities;
    return kStepOn;
}

int32_t AskCapabilities(Channel &ch, Tick now) { // 403
    ImapArea &a = Imap(ch);
    if (a.CapsFresh) {
        ch.NextState = WantsStartTls(ch) ? kSendStartTls : kChooseLogin;
        return kStepOn;
    }
    return SendImapLine(ch, now, "CAPABILITY", kCmdCapability, kReadCapabilities);
}

int32_t ReadCapabilities(Channel &ch, Tick now) { // 404
    return AwaitOk(ch, now, WantsStartTls(ch) ? kSendStartTls : kChooseLogin);
}

int32_t SendStartTls(Channel &ch, Tick now) { // 410
    if (!(Imap(ch).Caps & kCapStartTls)) return StartTlsUnavailable(ch, kChooseLogin);
    return SendImapLine(ch, now, "STARTTLS", kCmdPlain, kReadStartTls);
}

int32_t ReadStartTls(Channel &ch, Tick now) { // 411
    const int32_t r = ReadImapResponses(ch, now);
    if (r == kImapWaiting || r < 0) return r < 0 ? r : kStepOn;
    if (r != kImapOk) return StartTlsUnavailable(ch, kChooseLogin);
    ImapArea &a = Imap(ch);
    a.Caps = 0; // RFC 3501 section 6.2.1: forget what was said in the clear
    a.CapsFresh = 0;
    return GoAheadReceived(ch, kAskCapabilities);
}

// ---- The login ---------------------------------------------------------------------------

// "AUTHENTICATE MECH" with the initial response when SASL-IR allows; the message bytes
// are a secret in the log.
int32_t SendAuthenticate(Channel &ch, Tick now, const char *mech, const uint8_t *msg, int32_t n) {
    ImapArea &a = Imap(ch);
    char head[48];
    const int32_t h = FormatText(head, sizeof head, "AUTHENTICATE %s", mech);
    SetImapCommand(ch, head);
    if ((a.Caps & kCapSaslIr) && msg != nullptr) {
        if (h + 4 + (n + 2) / 3 * 4 > kImapCmdMax) return DriverError(ch, 0, ZEM_ERR_TOKEN_TOO_LONG);
        a.Cmd[a.CmdLen++] = ' ';
        a.CmdLen += n > 0 ? Base64EncodeLine(msg, n, a.Cmd + a.CmdLen) : 0; // its CR LF is cut below
        if (n == 0) a.Cmd[a.CmdLen++] = '='; // an empty initial response (RFC 4959)
        a.Cmd[a.CmdLen] = 0;
        a.AuthStep = 1; // the message went with the command
    } else {
        a.AuthStep = 0;
    }
    const int32_t r = StartImapCommand(ch, now, kCmdPlain, a.AuthStep == 1 ? h + 1 : 0);
    if (r) return r;
    a.CapsFresh = 0;
    ch.NextState = kReadAuthenticate;
    return kStepOn;
}

// The SASL message of the chosen mechanism (not CRAM-MD5, which answers a challenge).
int32_t BuildSaslMessage(Channel &ch, uint8_t *msg, int32_t max) {
    switch (Imap(ch).AuthMech) {
    case kSaslXoauth2: return SaslXoauth2Message(ch.UserName, ch.Out.OauthToken, msg, max);
    case kSaslOauthBearer:
        return SaslOauthBearerMessage(ch.UserName, ch.ServerName, ch.RemotePort, ch.Out.OauthToken, msg, max);
    default: return SaslPlainMessage("", ch.UserName, ch.Password, msg, max);
    }
}

int32_t ChooseLogin(Channel &ch, Tick now) { // 405
    ImapArea &a = Imap(ch);
    if (a.LoginDone) {
        ch.NextState = kAfterLogin;
        return kStepOn;
    }
    const bool token = ch.Out.OauthToken[0] != 0;
    uint8_t msg[kSaslMessageMax];
    const char *mech = nullptr;
    if (token && (a.Caps & kCapAuthOauthBearer)) {
        a.AuthMech = kSaslOauthBearer;
        mech = "OAUTHBEARER";
    } else if (token && (a.Caps & kCapAuthXoauth2)) {
        a.AuthMech = kSaslXoauth2;
        mech = "XOAUTH2";
    } else if (a.Caps & kCapAuthCramMd5) {
        a.AuthMech = kSaslCramMd5;
        return SendAuthenticate(ch, now, "CRAM-MD5", nullptr, 0);
    } else if ((a.Caps & kCapAuthPlain) && !(a.Caps & kCapLoginDisabled)) {
        a.AuthMech = kSaslPlain;
        mech = "PLAIN";
    } else if (!(a.Caps & kCapLoginDisabled)) {
        SetImapCommand(ch, "LOGIN ");
        if (!AppendImapText(ch, ch.UserName)) return DriverError(ch, 0, ZEM_ERR_USER_MISSING);
        const int32_t shown = a.CmdLen + 1;
        a.Cmd[a.CmdLen++] = ' ';
        a.Cmd[a.CmdLen] = 0;
        if (!AppendImapText(ch, ch.Password)) return DriverError(ch, 0, ZEM_ERR_PASSWORD_MISSING);
        const int32_t r = StartImapCommand(ch, now, kCmdPlain, shown);
        WipeBytes(a.Cmd, kImapCmdMax);
        if (r) return r;
        a.CapsFresh = 0;
        ch.NextState = kReadLogin;
        return kStepOn;
    } else {
        return DriverError(ch, 0, ZEM_ERR_NO_LOGIN);
    }
    const int32_t n = BuildSaslMessage(ch, msg, sizeof msg);
    const int32_t r = SendAuthenticate(ch, now, mech, msg, n);
    WipeBytes(msg, sizeof msg);
    WipeBytes(a.Cmd, kImapCmdMax);
    return r;
}

// Answers a continuation of AUTHENTICATE: the challenge's answer, or the message when it
// did not go with the command; after an error challenge of XOAUTH2, an empty line.
int32_t AnswerChallenge(Channel &ch) {
    ImapArea &a = Imap(ch);
    uint8_t msg[kSaslMessageMax];
    int32_t n = 0;
    if (a.AuthMech == kSaslCramMd5) {
        const int32_t len = TextLength(a.Text);
        uint8_t decoded[kImapTextMax];
        const int32_t d = Base64DecodeLine(a.Text, len < kImapTextMax ? len : kImapTextMax, decoded);
        if (d <= 0 || d > kAuthWorkSize - 1) return DriverError(ch, 0, ZEM_ERR_RESPONSE_OVERFLOW);
        std::memcpy(ch.AuthWork, decoded, static_cast<size_t>(d));
        ch.AuthWork[d] = 0;
        CramMd5Response(ch.AuthWork, ch.UserName, ch.Password);
        n = CopyText(reinterpret_cast<char *>(msg), ch.AuthWork, kAuthWorkSize - 1);
        WipeBytes(ch.AuthWork, kAuthWorkSize);
    } else if (a.AuthStep == 0) {
        n = BuildSaslMessage(ch, msg, sizeof msg);
    } else if (a.AuthMech == kSaslOauthBearer) {
        msg[n++] = 0x01; // the server's error report: one 0x01 byte (RFC 7628 section 3.2.3)
    } // else (XOAUTH2): the empty answer
    ++a.AuthStep;
    char *line = a.Cmd;
    int32_t k = 0;
    if (n > 0) {
        k = Base64EncodeLine(msg, n, line) + 2; // with its CR LF
    } else {
        line[k++] = '\r';
        line[k++] = '\n';
    }
    WipeBytes(msg, sizeof msg);
    const int32_t r = SendSecret(ch, line, k, 0);
    if (r < 0) return DriverError(ch, r, ZEM_ERR_WRITE);
    ch.FlushNow = 1;
    return kStepOn;
}

int32_t ReadAuthenticate(Channel &ch, Tick now) { // 406
    const int32_t r = ReadImapResponses(ch, now);
    if (r == kImapWaiting || r < 0) return r < 0 ? r : kStepOn;
    if (r == kImapContinue) {
        if (Imap(ch).AuthStep > 2) return DriverError(ch, 0, ZEM_ERR_MALFORMED_REPLY);
        return AnswerChallenge(ch);
    }
    if (r == kImapRefused) return DriverError(ch, 0, ZEM_ERR_IMAP); // a refused login leaves nothing to do on the connection
    ch.NextState = kAfterLogin;
    return kStepOn;
}

int32_t ReadLogin(Channel &ch, Tick now) { return AwaitOk(ch, now, kAfterLogin); } // 407

int32_t AfterLogin(Channel &ch, Tick now) { // 408
    ImapArea &a = Imap(ch);
    a.LoginDone = 1;
    LogText(ch, "IMAP login ok\r\n");
    if (a.CapsFresh) {
        ch.NextState = kEnableUtf8;
        return kStepOn;
    }
    return SendImapLine(ch, now, "CAPABILITY", kCmdCapability, kReadLoginCapabilities);
}

int32_t ReadLoginCapabilities(Channel &ch, Tick now) { return AwaitOk(ch, now, kEnableUtf8); } // 409

int32_t EnableUtf8(Channel &ch, Tick now) { // 412
    const ImapArea &a = Imap(ch);
    if (!(a.Caps & kCapEnable) || !(a.Caps & kCapUtf8Accept)) {
        ch.NextState = 0;
        return kStepOn;
    }
    return SendImapLine(ch, now, "ENABLE UTF8=ACCEPT", kCmdPlain, kReadEnable);
}

int32_t ReadEnable(Channel &ch, Tick now) { return AwaitOk(ch, now, 0); } // 413

// ---- LOGOUT (zemClose) -------------------------------------------------------------------

int32_t SendLogout(Channel &ch, Tick now) { // 490
    if (!ch.SocketOpen) {
        ch.NextState = 0;
        return kStepOn;
    }
    return SendImapLine(ch, now, "LOGOUT", kCmdLogout, kReadLogout);
}

int32_t ReadLogout(Channel &ch, Tick now) { // 491
    const int32_t r = ReadImapResponses(ch, now);
    // A server that closes after its BYE without the tagged OK has logged us out too.
    if (r == ZEM_ERR_SOCKET_CLOSED && Imap(ch).ByeSeen) {
        ch.NextState = 0;
        return kStepOn;
    }
    if (r == kImapWaiting || r < 0) return r < 0 ? r : kStepOn;
    CloseSocket(ch);
    ch.NextState = 0;
    return kStepOn;
}

constexpr StateEntry kEntries[] = {
    {kStart, StartImapConnection},      {kReadGreeting, ReadGreeting},
    {kAskCapabilities, AskCapabilities}, {kReadCapabilities, ReadCapabilities},
    {kChooseLogin, ChooseLogin},        {kReadAuthenticate, ReadAuthenticate},
    {kReadLogin, ReadLogin},            {kAfterLogin, AfterLogin},
    {kReadLoginCapabilities, ReadLoginCapabilities},
    {kSendStartTls, SendStartTls},      {kReadStartTls, ReadStartTls},
    {kEnableUtf8, EnableUtf8},          {kReadEnable, ReadEnable},
    {kImapLogoutState, SendLogout},     {kReadLogout, ReadLogout},
};

} // namespace

const StateTable kImapSessionStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

int32_t CheckImapRequest(Channel &ch, const char *name) {
    LogRequest(ch, name);
    return ch.Protocol == 'I' ? 0 : ZEM_ERR_IMAP_ONLY;
}

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemImapConnect(int32_t Chan, const char *Server, const char *User, const char *Password) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    ch->Protocol = 'I'; // marked even when an argument is refused
    LogRequest(*ch, "zemImapConnect");
    if (Server == nullptr) return ZEM_ERR_SERVER_MISSING;
    if (User == nullptr || HoldsLineEnd(User) || TextLength(User) > kNameMax) return ZEM_ERR_USER_MISSING;
    if (Password == nullptr || HoldsLineEnd(Password) || TextLength(Password) > kNameMax) return ZEM_ERR_PASSWORD_MISSING;
    if (!IsValidServerName(Server)) return ZEM_ERR_BAD_SERVER_NAME;
    CopyText(ch->ServerName, Server, kServerMax);
    CopyText(ch->UserName, User, kNameMax);
    CopyText(ch->Password, Password, kNameMax);
    ch->RemotePort = ch->ImapPort != 0 ? ch->ImapPort : ch->TlsMode == kTlsImplicit ? 993 : 143;
    ch->MessageCount = 0;
    RingClear(*ch);
    StartRequest(*ch, 400, 0);
    return RunToEnd(*ch);
}
