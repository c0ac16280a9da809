// zemDebug and zemStatistics: views into a channel, and the memory check.
#include <cstdio>
#include <cstring>

#include "driver/step.h"
#include "driver/transport.h"
#include "frame/channel.h"
#include "frame/log.h"
#include "compose/date_line.h"
#include "imap/imap_area.h"
#include "zem32.h"

namespace zem {
namespace {

// Copies at most len - 1 characters and a NUL; a buffer without room (len <= 0) is left alone.
int32_t CopyOut(char *buf, int32_t len, const char *text, int32_t max) {
    if (len <= 0) return 0;
    int32_t n = 0;
    while (n < len - 1 && n < max && text[n] != 0) {
        buf[n] = text[n];
        ++n;
    }
    buf[n] = 0;
    return n;
}

void ReportDamagedBlock(int32_t id, int32_t code) {
    // No message boxes here: the warning goes to standard error, one line.
    std::fprintf(stderr, "Info: Memory Corrupted (%s): ID=%d Err=%d\n", "zemDebug", id, code);
}

int32_t LocalAddressText(Channel &ch, char *buf, int32_t len) {
    if (!ch.SocketOpen || len <= 16) return 0;
    if (ch.ServerNet.family == 6) { // an IPv6 connection: its text form when it fits
        NetAddress a;
        uint16_t port = 0;
        if (SocketLocalNetAddress(ch.Socket, &a, &port) < 0) return 0;
        return FormatNetAddress(a, buf, len);
    }
    uint32_t addr = 0;
    uint16_t port = 0;
    if (SocketLocalAddress(ch.Socket, &addr, &port) < 0) return 0;
    uint8_t *sa = gChannelTable[ch.ChannelNo].SockAddr;
    std::memset(sa, 0, 16);
    sa[0] = 2;
    sa[2] = static_cast<uint8_t>(port >> 8);
    sa[3] = static_cast<uint8_t>(port);
    for (int i = 0; i < 4; ++i) sa[4 + i] = static_cast<uint8_t>(addr >> (24 - 8 * i));
    return FormatDotted(addr, buf, len);
}

// A 64-bit mailbox value (UIDVALIDITY, UIDNEXT, HIGHESTMODSEQ) as decimal text.
int32_t NumberText(uint64_t v, char *buf, int32_t len) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(v));
    return CopyOut(buf, len, text, sizeof text);
}

// The capabilities the IMAP client acts on, by their names.
int32_t CapabilityText(uint32_t caps, char *buf, int32_t len) {
    static const char *const kNames[] = {"IMAP4rev1", "IMAP4rev2", "STARTTLS", "LOGINDISABLED", "SASL-IR",
                                         "LITERAL+", "LITERAL-", "ENABLE", "UTF8=ACCEPT", "MOVE", "UIDPLUS",
                                         "SPECIAL-USE", "IDLE", "CONDSTORE", "QRESYNC", "",
                                         "AUTH=PLAIN", "AUTH=CRAM-MD5", "AUTH=XOAUTH2", "AUTH=OAUTHBEARER", "AUTH=LOGIN"};
    char text[512];
    int32_t n = 0;
    text[0] = 0;
    for (uint32_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (!(caps & (1u << i)) || kNames[i][0] == 0) continue;
        n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%s%s", n > 0 ? " " : "", kNames[i]);
    }
    return CopyOut(buf, len, text, sizeof text);
}

int32_t RetrievalBufferText(Channel &ch, char *buf, int32_t len) {
    int32_t id = ch.ChannelNo * kSlotsPerChannel + kSlotRetrieval;
    auto *text = static_cast<const char *>(BlockGet(id));
    if (text == nullptr) return ZEM_ERR_NULL_POINTER;
    int32_t size = BlockSize(id);
    if (size <= 0) return 0;
    return CopyOut(buf, len, text, size);
}

} // namespace
} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemDebug(int32_t Chan, int32_t Index, char *Buffer, int32_t BufLen) {
    if (Chan == ZEM_DEBUG_MEMORY_CHECK_CHAN) {
        LibraryLockGuard lock; // the table must not change while it is walked
        CheckAllBlocks(ReportDamagedBlock);
        return 0;
    }
    if (Buffer == nullptr) return 0;
    // The channel check comes before anything that depends on BufLen; a buffer without
    // room (BufLen 0 or less) is never written, the copies below included.
    if (BufLen > 0) Buffer[0] = 0;
    Channel *chp = nullptr;
    if (int32_t r = FindChannel(Chan, &chp)) return r;
    Channel &ch = *chp;
    switch (Index) {
    case ZEM_DEBUG_DATE_LINE:
        FormatDateLine(ch.TextBuffer, kBufferSize);
        CopyOut(Buffer, BufLen, ch.TextBuffer, kBufferSize);
        return 0;
    case ZEM_DEBUG_LAST_REPLY: {
        int32_t n = CopyOut(Buffer, BufLen, ch.LastReply, 128);
        return (n > 2 && Buffer[n - 2] == '\r') ? n - 2 : n;
    }
    case ZEM_DEBUG_SERVER_ADDR:
        if (ch.ServerNet.family == 6) return FormatNetAddress(ch.ServerNet, Buffer, BufLen);
        return FormatDotted(ch.ServerAddr, Buffer, BufLen);
    case ZEM_DEBUG_LOCAL_ADDR: return LocalAddressText(ch, Buffer, BufLen);
    case ZEM_DEBUG_SAVED_LIST: return CopyOut(Buffer, BufLen, ch.SavedList, sizeof ch.SavedList - 1);
    case ZEM_DEBUG_LAST_RECIPIENT: return CopyOut(Buffer, BufLen, ch.LastRecipient, sizeof ch.LastRecipient - 1);
    case ZEM_DEBUG_RETRIEVAL_BUFFER: return RetrievalBufferText(ch, Buffer, BufLen);
    case ZEM_DEBUG_TLS_PROTOCOL: return CopyOut(Buffer, BufLen, ch.TlsProtocolText, sizeof ch.TlsProtocolText - 1);
    case ZEM_DEBUG_TLS_CIPHER: return CopyOut(Buffer, BufLen, ch.TlsCipherText, sizeof ch.TlsCipherText - 1);
    case ZEM_DEBUG_TLS_VERIFY: return CopyOut(Buffer, BufLen, ch.TlsVerifyReason, sizeof ch.TlsVerifyReason - 1);
    case ZEM_DEBUG_REFUSED: return CopyOut(Buffer, BufLen, ch.Out.RefusedList, kRefusedListMax);
    case ZEM_DEBUG_IMAP_UIDVALIDITY: return NumberText(Imap(ch).UidValidity, Buffer, BufLen);
    case ZEM_DEBUG_IMAP_UIDNEXT: return NumberText(Imap(ch).UidNext, Buffer, BufLen);
    case ZEM_DEBUG_IMAP_HIGHESTMODSEQ: return NumberText(Imap(ch).HighestModseq, Buffer, BufLen);
    case ZEM_DEBUG_IMAP_CAPABILITY: return CapabilityText(Imap(ch).Caps, Buffer, BufLen);
    default: CopyOut(Buffer, BufLen, "?", 1); return 0;
    }
}

namespace {
// A byte count past 2 GiB reads as the largest value, never as a negative (error) result.
int32_t Clamped(int64_t n) { return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n); }
// The entries of the last LIST or SEARCH the caller's buffer held: all of them unless it
// overflowed, else those its lines or spaces show.
int32_t StoredEntries(Channel &ch) { return Imap(ch).Stored; }
} // namespace

extern "C" ZEM_API int32_t zemStatistics(int32_t Chan, int32_t Index) {
    Channel *chp = nullptr;
    if (int32_t r = FindChannel(Chan, &chp)) return r;
    Channel &ch = *chp;
    switch (Index) {
    case 2: return ch.StepCount;
    case 3: return ch.ReplyCode;
    case 4: return ch.LastSockCode;
    case 10: return Clamped(ch.TextBytes);
    case 11: return Clamped(ch.AttachBytes);
    case 12: return Clamped(ch.TextBytes + ch.AttachBytes);
    case 13: return Clamped(ch.TextBytesSent);
    case 14: return Clamped(ch.AttachBytesSent);
    case 15: return Clamped(ch.TextBytesSent + ch.AttachBytesSent);
    case 16: return ZEM_VERSION;
    case 17: return ch.MessageCount;
    case 18: return ch.MessageSize;
    case 19: return ch.UserBufferFill;
    case ZEM_STAT_IMAP_EXISTS: return Clamped(Imap(ch).Exists);
    case ZEM_STAT_IMAP_UNSEEN: return Clamped(Imap(ch).Unseen);
    case ZEM_STAT_IMAP_STORED: return StoredEntries(ch);
    case ZEM_STAT_IMAP_IDLE_RESULT: return Imap(ch).IdleResult;
    case 20:
        if (PollSocket(ch, kPollError) == 1) return ZEM_ERR_CONNECT;
        return PollSocket(ch, kPollWritable) == 1 ? 1 : 0;
    case 22: return ch.AttachSaved;
    case 24: return ch.VerifyResult;
    case 26: return ZEM_BUILD;
    case 27: return ch.Socket;
    case 30: { // the readiness the next step waits for
        if (!ch.Busy) return 0;
        return WhatNextStepWaitsFor(ch, TickNow()).kind;
    }
    case 31: { // ms until the next step runs whatever the socket does; -1 none
        if (!ch.Busy) return -1;
        const Tick now = TickNow();
        const NextStepWait w = WhatNextStepWaitsFor(ch, now);
        if (w.due == 0) return w.kind == 0 ? 0 : -1;
        const Tick left = w.due > now ? w.due - now : 0;
        return left > 0x7fffffff ? 0x7fffffff : static_cast<int32_t>(left);
    }
    case 32: return ch.WriteStalls;
    case 44: return ch.Tls != nullptr && ch.SocketOpen ? 1 : 0;
    case 45: return ch.TlsMode;
    case ZEM_STAT_ACCEPTED: return ch.Out.Accepted;
    case ZEM_STAT_REFUSED: return ch.Out.Refused;
    default: return -1;
    }
}
