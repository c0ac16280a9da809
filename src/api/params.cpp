// zemIntegerParam and zemStringParam: the numbered settings, library-wide or per channel.
#include <cstring>

#include "frame/channel.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "text/charset.h"
#include "text/text.h"
#include "zem32.h"

namespace zem {

namespace {

// Strips a line end found in the last three characters of the stored header text and
// reports how many characters were examined (1 + count), the result callers check.
int32_t StripHeaderLineEnd(char *text) {
    int32_t n = static_cast<int32_t>(std::strlen(text));
    if (n == 0) return 0;
    int32_t i = n < 3 ? 0 : n - 3;
    int32_t examined = 0;
    for (; i < n; ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            text[i] = 0;
            break;
        }
        ++examined;
    }
    return 1 + examined;
}

int32_t SetExtraHeaders(Channel &ch, const char *text) {
    int32_t id = ch.ChannelNo * kSlotsPerChannel + kSlotExtraHeaders;
    if (text[0] == 0) {
        if (BlockIsAllocated(id) == 1) BlockFree(id);
        ch.ExtraHeaders = nullptr;
        return 0;
    }
    ch.ExtraHeaders = AllocAndCopy(ch.ChannelNo, kSlotExtraHeaders, text);
    if (ch.ExtraHeaders == nullptr) return ZEM_ERR_NO_MEMORY;
    return StripHeaderLineEnd(ch.ExtraHeaders);
}

int32_t AppendExtraHeader(Channel &ch, const char *text) {
    // Joined here (at most 2,048 characters), then copied into block 7.
    constexpr int32_t kMax = 2048;
    char joined[kMax + 1];
    int32_t n = 0;
    if (ch.ExtraHeaders != nullptr && ch.ExtraHeaders[0] != 0) {
        n = CopyText(joined, ch.ExtraHeaders, kMax);
        // With no earlier line there is nothing to separate: a leading CR LF would be an
        // empty line, which ends the message header.
        if (n < kMax) joined[n++] = '\r';
        if (n < kMax) joined[n++] = '\n';
        joined[n] = 0;
    }
    n += CopyText(joined + n, text, kMax - n);
    if (n == 0) return SetExtraHeaders(ch, "");
    ch.ExtraHeaders = AllocAndCopy(ch.ChannelNo, kSlotExtraHeaders, joined);
    if (ch.ExtraHeaders == nullptr) return ZEM_ERR_NO_MEMORY;
    return StripHeaderLineEnd(ch.ExtraHeaders);
}

int32_t WriteRetrievalBuffer(Channel &ch, const char *path) {
    int32_t id = ch.ChannelNo * kSlotsPerChannel + kSlotRetrieval;
    auto *text = static_cast<const char *>(BlockGet(id));
    if (text == nullptr) return ZEM_ERR_NULL_POINTER;
    int32_t size = BlockSize(id);
    int32_t len = static_cast<int32_t>(strnlen(text, static_cast<size_t>(size > 0 ? size : 0)));
    int32_t h = FileReplace(path, false);
    if (h <= 0) return ZEM_ERR_CANNOT_CREATE_FILE;
    int32_t written = len > 0 ? FileWrite(h, text, len) : 0;
    FileClose(h);
    BlockFree(id);
    return written < 0 ? 0 : written;
}
} // namespace

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemIntegerParam(int32_t Chan, int32_t Code, int32_t Value) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    LogFormat(*ch, "*** zemIntegerParam(%d,%d,%ld)\r\n", Chan, Code, static_cast<long>(Value));
    auto byte = static_cast<uint8_t>(Value & 0xFF);
    LibrarySettings &s = gSettings;
    switch (Code) {
    case 1: s.stepDelay = Value; break;
    case 2: s.replyTimeout = Value; break;
    case 3: s.connectTimeout = Value; break;
    case 5: s.dataLinePause = Value; break;
    case 6:
        s.dataLineTimeout = Value;
        s.pop3DataWait = Value;
        break;
    case 8: ch->BodyType = Value & 15; break;
    case 9:
        ch->AutoCall = Value & 1;
        ch->WakeTick = 0;
        ch->DeadlineTick = 0;
        break;
    case 10: ch->NumberedNames = Value; break;
    case 11: s.dataLineTimeout = Value; break;
    case 12: s.pop3DataWait = Value; break;
    case 13: s.pollInterval = Value; break;
    case 14: ch->SaveNoname = Value; break;
    case 72: ch->Utf8Names = Value != 0 ? 1 : 0; break;
    case 73: ch->SaveMessages = Value != 0 ? 1 : 0; break;
    case 74: ch->EightBitNames = Value != 0 ? 1 : 0; break;
    case 15: ch->SmtpPort = static_cast<uint16_t>(Value & 0xFFFF); break;
    case 16: ch->Pop3Port = static_cast<uint16_t>(Value & 0xFFFF); break;
    case 69: ch->ImapPort = static_cast<uint16_t>(Value & 0xFFFF); break;
    case 17:
        s.maxLineLength = Value;
        s.wrapColumn = Value - 18;
        break;
    case 18: ch->NonBlockingConnect = Value == 0 ? 1 : 0; break;
    case 19: s.pass8Bit = byte; break;
    case 21: s.noSavedNote = byte; break;
    case 22: s.omitTo = byte; break;
    case 23: s.recipientSep = byte; break;
    case 24: s.cleanupAtRelease = byte; break; // kept; sockets need no clean-up here
    case 25: s.attachSep = byte; break;
    case 26: s.displaySep = byte; break;
    case 27: ch->InlineImages = byte; break;
    case 28: ch->SaveRaw = static_cast<int16_t>(Value & 0xFFFF) == 1 ? 1 : 0; break;
    case 29: ch->UseEhlo = byte; break;
    case 30: ch->UseApop = byte; break;
    case 60: s.closePause = Value < 0 ? 0 : Value; break;
    case 61: s.loginPause = Value < 0 ? 0 : Value; break;
    case 70: s.idlePollInterval = Value < 100 ? 100 : Value; break;
    case 63: ch->MaxMessageSize = Value < 0 ? 0 : Value; break;
    case 64: // TLS of the next connect; a mode that does not exist is refused, not guessed
        if (Value < 0 || Value > 3) return -1;
        ch->TlsMode = static_cast<uint8_t>(Value);
        break;
    case 65: ch->TlsVerify = Value != 0 ? 1 : 0; break;
    case 66: ch->Out.ContinuePastRefused = Value != 0; break;
    case 67: ch->Out.PipeliningOff = Value == 0; break;
    case 68: ch->Out.DeclareSize = Value != 0; break;
    default: return -1;
    }
    return 1;
}

extern "C" ZEM_API int32_t zemStringParam(int32_t Chan, int32_t Code, const char *Text) {
    Channel *ch = nullptr;
    if (int32_t r = FindChannel(Chan, &ch)) return r;
    if (Text == nullptr) return ZEM_ERR_NULL_POINTER;
    // The password and the token are entered in the log as the mask, like every secret.
    const bool secret = Code == ZEM_STRING_AUTH_PASSWORD || Code == ZEM_STRING_OAUTH_TOKEN;
    LogFormat(*ch, "*** zemStringParam(%d,%d,%s)\r\n", Chan, Code, secret ? kSecretMask : Text);
    switch (Code) {
    case 20: {
        if (ch->LogFile != 0) FileClose(ch->LogFile); // a second log replaces the first
        ch->LogFile = 0;
        int32_t h = FileReplace(Text, true); // logs carry credentials: owner only
        if (h <= 0) return -1;
        ch->LogFile = h;
        return h;
    }
    case 41: return WriteRetrievalBuffer(*ch, Text);
    case 50: return CopyText(ch->ReplyToAddress, Text, 128);
    case 51: return SetExtraHeaders(*ch, Text);
    case 52:
        if (ch->LogFile == 0) return 0;
        LogFormat(*ch, "%s\r\n", Text);
        return ch->LogFile;
    case 53: return CopyText(ch->FromAddress, Text, 128);
    case 54: return SetCustomContentType(Text);
    case 55: return SetCustomTransferEncoding(Text);
    case 56: return AppendExtraHeader(*ch, Text);
    case 57: return CopyText(ch->AuthPassword, Text, 64);
    case 58: return CopyText(ch->UserName, Text, 64);
    case 80: return CopyText(ch->CaFile, Text, 128);
    case 81: return CopyText(ch->CaDir, Text, 128);
    case 82: return CopyText(ch->ClientCert, Text, 128);
    case 83: return CopyText(ch->ClientKey, Text, 128);
    case 84: return SetCharsetName(ch->Out.TextCharset, Text);
    case 85: return SetCharsetName(ch->Out.InputCharset, Text);
    case 86:
        if (std::strlen(Text) > static_cast<size_t>(kOauthTokenMax)) return ZEM_ERR_TOKEN_TOO_LONG;
        return CopyText(ch->Out.OauthToken, Text, kOauthTokenMax);
    case 87: return CopyText(ch->Out.DsnNotify, Text, kDsnNotifyMax);
    case 88: return CopyText(ch->Out.DsnRet, Text, kDsnRetMax);
    case 89: return CopyText(ch->Out.DsnEnvid, Text, kDsnEnvidMax);
    default: return -1;
    }
}
