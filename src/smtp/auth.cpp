// SMTP authentication (RFC 4954): AUTH CRAM-MD5 (RFC 2195), AUTH LOGIN and AUTH PLAIN
// (RFC 4616), entered from the EHLO reply check. Every base64 text goes out as one line.
#include <cstring>
#include <initializer_list>

#include "codec/codec.h"
#include "codec/md5.h"
#include "driver/replies.h"
#include "driver/step.h"
#include "driver/transport.h"
#include "frame/log.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {
namespace {

// Sends prefix + base64(bytes) + CR LF as one line.
int32_t SendEncodedLine(Channel &ch, const char *prefix, const uint8_t *bytes, int32_t n) {
    int32_t p = CopyText(ch.CmdBuffer, prefix, 64);
    int32_t chars = Base64EncodeLine(bytes, n, ch.CmdBuffer + p); // appends CR LF
    int32_t r = SendData(ch, ch.CmdBuffer, p + chars + 2);
    ch.CmdBuffer[p + chars] = 0;
    return r < 0 ? DriverError(ch, r, ZEM_ERR_WRITE) : kStepOn;
}

// The reply to the last step of an exchange: 4xx means not authenticated either.
int32_t CheckFinalAuthReply(Channel &ch, const char *okLine) {
    if (!WaitReadable(ch, 0)) return kStepOn;
    if (int32_t c = CheckSmtpReply(ch)) return DriverError(ch, 0, c);
    if (ch.ReplyCode >= 400) return DriverError(ch, 0, ZEM_ERR_SMTP);
    LogText(ch, okLine);
    ch.NextState = 0;
    return kStepOn;
}

int32_t ReadCramChallenge(Channel &ch, Tick) { // 151
    if (!WaitReadable(ch, 0)) return kStepOn;
    if (int32_t c = CheckSmtpReply(ch)) return DriverError(ch, 0, c);
    const char *text = TextLength(ch.ReplyBuffer) > 4 ? ch.ReplyBuffer + 4 : "";
    const char *cr = FindChar(text, '\r');
    int32_t len = cr != nullptr ? static_cast<int32_t>(cr - text) : TextLength(text);
    // The decoded challenge is at most 3/4 of the encoded text; TextBuffer has room.
    auto *decoded = reinterpret_cast<uint8_t *>(ch.TextBuffer);
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
    if (int32_t r = SendEncodedLine(ch, "", reinterpret_cast<const uint8_t *>(ch.AuthWork), TextLength(ch.AuthWork)))
        return r;
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
    if (!WaitReadable(ch, 0)) return 1;
    if (int32_t c = CheckSmtpReply(ch)) return DriverError(ch, 0, c);
    CopyText(ch.AuthWork, credential, kAuthWorkSize - 1);
    return SendEncodedLine(ch, "", reinterpret_cast<const uint8_t *>(ch.AuthWork), TextLength(ch.AuthWork));
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
    // authorisation identity NUL authentication identity NUL password
    auto *msg = reinterpret_cast<uint8_t *>(ch.TextBuffer);
    int32_t n = 0;
    bool first = true;
    for (const char *part : {ch.UserName, ch.UserName, ch.AuthPassword}) {
        // The two separators are there even when a part is empty (RFC 4616 section 2).
        if (!first) msg[n++] = 0;
        first = false;
        int32_t len = TextLength(part);
        std::memcpy(msg + n, part, static_cast<size_t>(len));
        n += len;
    }
    if (int32_t r = SendEncodedLine(ch, "AUTH PLAIN ", msg, n)) return r;
    ArmAuthReplyWait(ch, now);
    ch.NextState = 171;
    return kStepOn;
}

int32_t CheckPlainReply(Channel &ch, Tick) { return CheckFinalAuthReply(ch, "AUTH PLAIN ok\r\n"); } // 171

constexpr StateEntry kEntries[] = {
    {150, SendCramCommand}, {151, ReadCramChallenge}, {152, SendCramResponse},  {153, CheckCramReply},
    {160, SendLoginCommand}, {162, SendLoginUser},    {163, SendLoginPassword}, {164, CheckLoginReply},
    {170, SendPlainCommand}, {171, CheckPlainReply},
};

} // namespace

const StateTable kSmtpAuthStates = {kEntries, sizeof kEntries / sizeof kEntries[0]};

} // namespace zem
