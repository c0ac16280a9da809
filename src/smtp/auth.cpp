// SMTP authentication (RFC 4954): AUTH CRAM-MD5 (RFC 2195), AUTH LOGIN and AUTH PLAIN
// (RFC 4616), and with a bearer token AUTH OAUTHBEARER (RFC 7628) and AUTH XOAUTH2,
// entered from the EHLO reply check. Every base64 text goes out as one line.
#include <cstring>

#include "codec/codec.h"
#include "codec/md5.h"
#include "driver/replies.h"
#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "sasl/sasl.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {
namespace {

// Sends prefix + base64(bytes) + CR LF as one line. Each such line is a credential: the
// log shows the prefix only, and the raw bytes are wiped as soon as they are encoded.
int32_t SendEncodedLine(Channel &ch, const char *prefix, uint8_t *bytes, int32_t n) {
    int32_t p = CopyText(ch.CmdBuffer, prefix, 64);
    int32_t chars = Base64EncodeLine(bytes, n, ch.CmdBuffer + p); // appends CR LF
    WipeBytes(bytes, n);
    int32_t r = SendSecret(ch, ch.CmdBuffer, p + chars + 2, p);
    return r < 0 ? DriverError(ch, r, ZEM_ERR_WRITE) : kStepOn;
}

// The reply to the last step of an exchange: 4xx means not authenticated either.
int32_t CheckFinalAuthReply(Channel &ch, const char *okLine) {
    if (!ReplyReady(ch)) return kStepOn;
    if (int32_t c = CheckSmtpReply(ch)) return DriverError(ch, 0, c);
    if (ch.ReplyCode >= 400) return DriverError(ch, 0, ZEM_ERR_SMTP);
    LogText(ch, okLine);
    ch.NextState = 0;
    return kStepOn;
}

// Only a 334 reply is a challenge or prompt (RFC 4954 section 4): anything else ends the
// exchange before a credential is sent into it.
int32_t CheckChallengeReply(Channel &ch) {
    if (int32_t c = CheckSmtpReply(ch)) return DriverError(ch, 0, c);
    if (ch.ReplyCode != 334) return DriverError(ch, 0, ZEM_ERR_SMTP);
    return 0;
}

int32_t ReadCramChallenge(Channel &ch, Tick) { // 151
    if (!ReplyReady(ch)) return kStepOn;
    if (int32_t c = CheckChallengeReply(ch)) return c;
    const char *text = TextLength(ch.ReplyBuffer) > 4 ? ch.ReplyBuffer + 4 : "";
    const char *cr = FindChar(text, '\r');
    int32_t len = cr != nullptr ? static_cast<int32_t>(cr - text) : TextLength(text);
    // The decoded challenge is at most 3/4 of the encoded text, which fits the reply buffer.
    uint8_t decoded[kBufferSize];
    if (len > kBufferSize) len = kBufferSize;
    int32_t n = Base64DecodeLine(text, len, decoded);
    if (n > kAuthWorkSize - 1) return DriverError(ch, 0, ZEM_ERR_RESPONSE_OVERFLOW);
    std::memcpy(ch.AuthWork, decoded, static_cast<size_t>(n));
    ch.AuthWork[n] = 0;
    LogFormat(ch, "Challenge '%s'\r\n", ch.AuthWork);
    ch.NextState = 152;
    return kStepOn;
}

int32_t SendCramCommand(Channel &ch, Tick now) { // 150
    CopyText(ch.CmdBuffer, "AUTH CRAM-MD5", 16);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmAuthReplyWait(ch, now);
    ch.NextState = 151;
    return ReadCramChallenge(ch, now); // goes on in the same step
}

int32_t SendCramResponse(Channel &ch, Tick now) { // 152
    CramMd5Response(ch.AuthWork, ch.UserName, ch.AuthPassword);
    auto *response = reinterpret_cast<uint8_t *>(ch.AuthWork);
    if (int32_t r = SendEncodedLine(ch, "", response, TextLength(ch.AuthWork))) return r;
    ArmMediumReplyWait(ch, now);
    ch.NextState = 153;
    return kStepOn;
}

int32_t CheckCramReply(Channel &ch, Tick) { return CheckFinalAuthReply(ch, "AUTH CRAM-MD5 ok\r\n"); } // 153

int32_t SendLoginCommand(Channel &ch, Tick now) { // 160
    CopyText(ch.CmdBuffer, "AUTH LOGIN", 16);
    if (int32_t r = SendCommandLine(ch)) return r;
    ArmLongReplyWait(ch, now);
    ch.NextState = 162;
    return kStepOn;
}

// Answers a LOGIN prompt with one credential; an empty one is sent as an empty line.
int32_t AnswerLoginPrompt(Channel &ch, const char *credential) {
    if (!ReplyReady(ch)) return 1;
    if (int32_t c = CheckChallengeReply(ch)) return c;
    CopyText(ch.AuthWork, credential, kAuthWorkSize - 1);
    return SendEncodedLine(ch, "", reinterpret_cast<uint8_t *>(ch.AuthWork), TextLength(ch.AuthWork));
}

int32_t SendLoginUser(Channel &ch, Tick now) { // 162
    int32_t r = AnswerLoginPrompt(ch, ch.UserName);
    if (r != kStepOn) return r > 0 ? kStepOn : r;
    ArmReplyWait(ch, now);
    ch.NextState = 163;
    return kStepOn;
}

int32_t SendLoginPassword(Channel &ch, Tick now) { // 163
    int32_t r = AnswerLoginPrompt(ch, ch.AuthPassword);
    if (r != kStepOn) return r > 0 ? kStepOn : r;
    ArmMediumReplyWait(ch, now);
    ch.NextState = 164;
    return kStepOn;
}

int32_t CheckLoginReply(Channel &ch, Tick) { return CheckFinalAuthReply(ch, "AUTH LOGIN ok\r\n"); } // 164

int32_t SendPlainCommand(Channel &ch, Tick now) { // 170
    uint8_t msg[3 * 66]; // two names and a password of at most 65 bytes each; wiped once sent
    const int32_t n = SaslPlainMessage(ch.UserName, ch.UserName, ch.AuthPassword, msg, sizeof msg);
    if (int32_t r = SendEncodedLine(ch, "AUTH PLAIN ", msg, n)) return r;
    ArmAuthReplyWait(ch, now);
    ch.NextState = 171;
    return kStepOn;
}

int32_t CheckPlainReply(Channel &ch, Tick) { return CheckFinalAuthReply(ch, "AUTH PLAIN ok\r\n"); } // 171

// ---- OAuth 2.0 bearer tokens -------------------------------------------------------------

// Sends "AUTH MECH " and the base64 of the message as one line, from the group buffer
// (a token may be longer than a command line of CmdBuffer). The log shows the command
// only; the message is wiped once encoded.
int32_t SendInitialResponse(Channel &ch, const char *command, uint8_t *msg, int32_t n) {
    char *line = ch.Out.Group;
    int32_t p = CopyText(line, command, 32);
    int32_t chars = Base64EncodeLine(msg, n, line + p); // appends CR LF
    WipeBytes(msg, n);
    int32_t r = SendSecret(ch, line, p + chars + 2, p);
    line[0] = 0;
    return r < 0 ? DriverError(ch, r, ZEM_ERR_WRITE) : kStepOn;
}

int32_t SendXoauth2(Channel &ch, Tick now) { // 172
    uint8_t msg[kSaslMessageMax];
    const int32_t n = SaslXoauth2Message(ch.UserName, ch.Out.OauthToken, msg, kSaslMessageMax);
    if (int32_t r = SendInitialResponse(ch, "AUTH XOAUTH2 ", msg, n)) return r;
    ArmAuthReplyWait(ch, now);
    ch.NextState = 173;
    return kStepOn;
}

int32_t SendOauthBearer(Channel &ch, Tick now) { // 175
    uint8_t msg[kSaslMessageMax];
    const int32_t n = SaslOauthBearerMessage(ch.UserName, ch.ServerName, ch.RemotePort, ch.Out.OauthToken, msg, kSaslMessageMax);
    if (int32_t r = SendInitialResponse(ch, "AUTH OAUTHBEARER ", msg, n)) return r;
    ArmAuthReplyWait(ch, now);
    ch.NextState = 176;
    return kStepOn;
}

// The reply to the initial response: accepted, or a 334 error challenge (a JSON status
// from the server, logged: it holds no credential), which is answered so the server can
// send its final refusal. The answer is a SASL answer like any other, so it is masked.
int32_t CheckOauthReply(Channel &ch, Tick now, const char *okLine, const char *answer, int32_t next) {
    if (!ReplyReady(ch)) return kStepOn;
    if (int32_t c = CheckSmtpReply(ch)) return DriverError(ch, 0, c);
    if (ch.ReplyCode == 334) {
        const char *text = TextLength(ch.ReplyBuffer) > 4 ? ch.ReplyBuffer + 4 : "";
        const char *cr = FindChar(text, '\r');
        int32_t len = cr != nullptr ? static_cast<int32_t>(cr - text) : TextLength(text);
        if (len > (kBufferSize - 8) / 4 * 3) len = (kBufferSize - 8) / 4 * 3;
        auto *decoded = reinterpret_cast<uint8_t *>(ch.CmdBuffer);
        int32_t n = Base64DecodeLine(text, len, decoded);
        ch.CmdBuffer[n] = 0;
        LogFormat(ch, "Challenge '%s'\r\n", ch.CmdBuffer);
        CopyText(ch.CmdBuffer, answer, 8);
        if (int32_t r = SendSecretCommandLine(ch, 0)) return r;
        ArmMediumReplyWait(ch, now);
        ch.NextState = next;
        return kStepOn;
    }
    if (ch.ReplyCode >= 400) return DriverError(ch, 0, ZEM_ERR_SMTP);
    LogText(ch, okLine);
    ch.NextState = 0;
    return kStepOn;
}

// After an error challenge the final reply is judged like any last reply of an exchange
// (normally a 535 refusal).
int32_t CheckXoauth2Reply(Channel &ch, Tick now) { // 173
    return CheckOauthReply(ch, now, "AUTH XOAUTH2 ok\r\n", "", 174);
}
int32_t CheckXoauth2Final(Channel &ch, Tick) { return CheckFinalAuthReply(ch, "AUTH XOAUTH2 ok\r\n"); } // 174
// RFC 7628 section 3.2.3: the error challenge is answered with a single 0x01 byte.
int32_t CheckBearerReply(Channel &ch, Tick now) { // 176
    return CheckOauthReply(ch, now, "AUTH OAUTHBEARER ok\r\n", "AQ==", 177);
}
int32_t CheckBearerFinal(Channel &ch, Tick) { return CheckFinalAuthReply(ch, "AUTH OAUTHBEARER ok\r\n"); } // 177

constexpr StateEntry kEntries[] = {
    {172, SendXoauth2}, {173, CheckXoauth2Reply}, {174, CheckXoauth2Final},
    {175, SendOauthBearer}, {176, CheckBearerReply}, {177, CheckBearerFinal},
    {150, SendCramCommand}, {151, ReadCramChallenge}, {152, SendCramResponse},  {153, CheckCramReply},
    {160, SendLoginCommand}, {162, SendLoginUser},    {163, SendLoginPassword}, {164, CheckLoginReply},
    {170, SendPlainCommand}, {171, CheckPlainReply},
};

} // namespace

const StateTable kSmtpAuthStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem
