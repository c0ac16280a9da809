// zemAttach and zemRelease: the channel table, the channel records and their defaults, and
// the MIME boundary template.
#include <atomic>
#include <cstring>

#include "frame/channel.h"
#include "frame/log.h"
#include "platform/tls.h"
#include "zem32.h"

namespace zem {

ChannelEntry gChannelTable[kMaxChannels];
char gBoundaryTemplate[27] = "=====_00000000_=====";

namespace {
std::atomic<int32_t> gChannelCount{0};

void SetChannelDefaults(Channel &ch, int32_t i) {
    ch.ChannelNo = i;
    ch.PrevState = -2;
    ch.ThisState = -1;
    ch.WaitWritable = 0;
    ch.NonBlockingConnect = 1;
    ch.AutoCall = 1;
    ch.SmtpPort = 25;
    ch.Pop3Port = 110;
    ch.AttachNumber = 0;
    ch.InlineImages = 1;
    ch.TextCursor = "";
    ch.TlsVerify = 1;
}

// Closes what a channel may still hold open: its socket and any data file. Nothing the
// library opened may outlive it.
void CloseChannelResources(Channel &ch) {
    if (ch.Tls != nullptr) {
        TlsFree(ch.Tls, false);
        ch.Tls = nullptr;
    }
    if (ch.SocketOpen) {
        SocketCloseNow(ch.Socket);
        ch.SocketOpen = 0;
    }
    if (ch.FileHandle > 0) FileClose(ch.FileHandle);
    if (ch.SendFile > 0) FileClose(ch.SendFile);
    if (ch.EmailFile > 0) FileClose(ch.EmailFile);
    ch.FileHandle = ch.SendFile = ch.EmailFile = 0;
}
} // namespace

int32_t ChannelCount() { return gChannelCount.load(std::memory_order_acquire); }

int32_t FindChannel(int32_t chan, Channel **out) {
    int32_t count = ChannelCount();
    if (count == 0) return ZEM_ERR_NOT_ATTACHED;
    if (chan < 0 || chan >= count) return ZEM_ERR_CHANNEL_RANGE;
    *out = gChannelTable[chan].ChannelPtr;
    return *out != nullptr ? 0 : ZEM_ERR_CHANNEL_RANGE;
}

} // namespace zem

using namespace zem;

extern "C" ZEM_API int32_t zemAttach(int32_t NumChannels, int32_t /*Reserved*/) {
    if (ChannelCount() != 0) return ZEM_ERR_ALREADY_ATTACHED;
    int32_t count = NumChannels & 0xFFFF;
    if (count > kMaxChannels) return ZEM_ERR_CHANNEL_RANGE;
    LibraryLockGuard lock;
    if (ChannelCount() != 0) return ZEM_ERR_ALREADY_ATTACHED; // another thread was quicker
    ResetBlockTable();
    std::memset(gChannelTable, 0, sizeof gChannelTable);
    for (int32_t i = 0; i < count; ++i) {
        auto *ch = static_cast<Channel *>(AllocateMemory(i, kSlotChannel, kChannelBlockSize));
        if (ch == nullptr) {
            // A failed attach frees what it had made and leaves the library unattached.
            for (int32_t j = i - 1; j >= 0; --j) {
                FreeMemory(j, kSlotChannel, kSlotChannel);
                gChannelTable[j].ChannelPtr = nullptr;
            }
            return ZEM_ERR_NO_MEMORY;
        }
        gChannelTable[i].ChannelPtr = ch;
        SetChannelDefaults(*ch, i);
    }
    FormatText(gBoundaryTemplate, sizeof gBoundaryTemplate, "=====_ZEM%1ld_=====", static_cast<long>(TickLow32(TickNow())));
    gChannelCount.store(count, std::memory_order_release);
    return 1;
}

extern "C" ZEM_API int32_t zemRelease(void) {
    if (ChannelCount() == 0) return 1;
    LibraryLockGuard lock;
    int32_t count = ChannelCount();
    if (count == 0) return 1;
    for (int32_t i = count - 1; i >= 0; --i) {
        Channel *ch = gChannelTable[i].ChannelPtr;
        if (ch == nullptr) continue;
        CloseChannelResources(*ch);
        if (ch->LogFile != 0) {
            LogFormat(*ch, "Releasing channel %d\r\n", i);
            FileClose(ch->LogFile);
            ch->LogFile = 0;
        }
        FreeMemory(i, 1, 9);
    }
    for (int32_t i = count - 1; i >= 0; --i) {
        FreeMemory(i, 0, 0);
        gChannelTable[i].ChannelPtr = nullptr;
    }
    gChannelCount.store(0, std::memory_order_release);
    return 1;
}
