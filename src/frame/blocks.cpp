// Memory blocks: every allocation of the library goes through this fixed table, indexed
// directly by id = channel * 10 + slot, so finding, checking and freeing cost no search.
// Each block is the user area framed by the guard bytes 'U' and 'z' and one zero byte.
#include <cstring>

#include "frame/channel.h"
#include "frame/log.h"

namespace zem {

namespace {

struct BlockEntry {
    uint8_t *Data;  // the leading guard byte; the user area starts one byte later
    int32_t Size;   // user size
    void *Handle;   // non-null while allocated
    uint16_t Id;
};

BlockEntry gBlockTable[kBlockCount];
bool gBlockTableReady = false;

constexpr uint8_t kGuardBefore = 'U';
constexpr uint8_t kGuardAfter = 'z';
constexpr size_t kGuardPad = 15;

int32_t CheckId(int32_t id) {
    if (id < 0 || id >= kBlockCount) return -100;
    if (!gBlockTableReady) {
        // Before the first attach the table has never been reset: ids are set lazily.
        for (int i = 0; i < kBlockCount; ++i) gBlockTable[i].Id = static_cast<uint16_t>(i);
        gBlockTableReady = true;
    }
    if (gBlockTable[id].Id != id) return -105;
    return 0;
}

// Pointers of the channel record that lead into a block must not outlive it.
void ForgetPointersInto(int32_t id, const uint8_t *start, const uint8_t *end) {
    int32_t chan = id / kSlotsPerChannel;
    if (id % kSlotsPerChannel == kSlotChannel) return;
    Channel *ch = gChannelTable[chan].ChannelPtr;
    if (ch == nullptr) return;
    auto inside = [&](const void *p) {
        auto b = static_cast<const uint8_t *>(p);
        return b != nullptr && b >= start && b < end;
    };
    char **fields[] = {&ch->ListCursor, &ch->ToList,       &ch->CcList,       &ch->BccList,
                       &ch->Subject,    &ch->ExtraHeaders, &ch->AttachList,   &ch->AttachCursor,
                       &ch->SeparatorPos, &ch->Recipient,  &ch->UserBuffer};
    for (char **f : fields)
        if (inside(*f)) *f = nullptr;
    if (inside(ch->TextCursor)) ch->TextCursor = "";
    if (inside(ch->OutBuffer)) {
        ch->OutBuffer = nullptr;
        ch->OutFill = ch->OutSent = 0;
        ch->FileBufPos = ch->FileBufEnd = 0;
    }
}

} // namespace

void ResetBlockTable() {
    for (int i = 0; i < kBlockCount; ++i) gBlockTable[i] = BlockEntry{nullptr, 0, nullptr, static_cast<uint16_t>(i)};
    gBlockTableReady = true;
}

int32_t BlockAlloc(int32_t id, int32_t size) {
    if (int32_t r = CheckId(id)) return r;
    BlockEntry &e = gBlockTable[id];
    if (e.Handle != nullptr) return -103;
    if (size < 0) return -102;
    // The leading guard sits just before a 16-byte boundary so the user area (a Channel
    // record among others) is properly aligned.
    auto *p = static_cast<uint8_t *>(PlatformAlloc(static_cast<size_t>(size) + 3 + kGuardPad));
    if (p == nullptr) return -102;
    e.Handle = p;
    e.Data = p + kGuardPad;
    e.Size = size;
    e.Data[0] = kGuardBefore; // the guards frame the user area, not the padding
    e.Data[static_cast<size_t>(size) + 1] = kGuardAfter;
    return id;
}

void *BlockGet(int32_t id) {
    if (CheckId(id) != 0) return nullptr;
    BlockEntry &e = gBlockTable[id];
    if (e.Handle == nullptr) return nullptr;
    return e.Data + 1;
}

int32_t BlockCheck(int32_t id) {
    if (int32_t r = CheckId(id)) return r;
    BlockEntry &e = gBlockTable[id];
    if (e.Handle == nullptr || e.Data == nullptr || e.Size == 0) return -104;
    if (e.Data[0] != kGuardBefore || e.Data[static_cast<size_t>(e.Size) + 1] != kGuardAfter) return -106;
    return 1;
}

int32_t BlockFree(int32_t id) {
    if (int32_t r = CheckId(id)) return r;
    BlockEntry &e = gBlockTable[id];
    if (e.Handle == nullptr) return -104;
    ForgetPointersInto(id, e.Data, e.Data + e.Size + 3);
    void *h = e.Handle;
    e.Handle = nullptr; // Data and Size stay; a null handle marks the block free
    PlatformFree(h);
    return 1;
}

int32_t BlockIsAllocated(int32_t id) {
    if (int32_t r = CheckId(id)) return r;
    return gBlockTable[id].Handle != nullptr ? 1 : 0;
}

int32_t BlockSize(int32_t id) {
    if (int32_t r = CheckId(id)) return r;
    if (gBlockTable[id].Handle == nullptr) return -104;
    return gBlockTable[id].Size;
}

uint8_t *BlockRawForTest(int32_t id) {
    if (CheckId(id) != 0 || gBlockTable[id].Handle == nullptr) return nullptr;
    return gBlockTable[id].Data;
}

void *AllocateMemory(int32_t chan, int32_t slot, int32_t size) {
    int32_t r = BlockAlloc(chan * kSlotsPerChannel + slot, size);
    if (r >= 0) return BlockGet(r);
    LogMemoryError(chan, "AllocateMemory Error", slot, r);
    return nullptr;
}

char *AllocAndCopy(int32_t chan, int32_t slot, const char *text) {
    if (text == nullptr || text[0] == 0) {
        LogMemoryError(chan, "AllocAndCopy Error 1", slot, 0);
        return nullptr;
    }
    int32_t id = chan * kSlotsPerChannel + slot;
    if (BlockIsAllocated(id) == 1) BlockFree(id); // the new copy replaces the old one
    size_t len = std::strlen(text);
    if (len > 0x7FFFFFF0u) {
        LogMemoryError(chan, "AllocAndCopy Error 2", slot, -102);
        return nullptr;
    }
    int32_t r = BlockAlloc(id, static_cast<int32_t>(len) + 2);
    if (r < 0) {
        LogMemoryError(chan, "AllocAndCopy Error 2", slot, r);
        return nullptr;
    }
    auto *p = static_cast<char *>(BlockGet(r));
    std::memcpy(p, text, len + 1);
    return p;
}

void FreeMemory(int32_t chan, int32_t first, int32_t last) {
    for (int32_t slot = first; slot <= last; ++slot) {
        int32_t r = BlockCheck(chan * kSlotsPerChannel + slot);
        if (r >= 0) {
            BlockFree(chan * kSlotsPerChannel + slot);
        } else if (r == -105 || r == -106) {
            // A damaged block and everything after it stay allocated: freeing memory whose
            // frame was overwritten could corrupt the allocator.
            LogMemoryError(chan, "FreeMemory Error", slot, r);
            return;
        }
    }
}

// Memory check: every allocated block whose guard byte changed is reported.
int32_t CheckAllBlocks(void (*report)(int32_t id, int32_t code)) {
    int32_t bad = 0;
    for (int32_t id = 0; id < kBlockCount; ++id) {
        if (CheckId(id) != 0 || gBlockTable[id].Handle == nullptr) continue;
        int32_t r = BlockCheck(id);
        if (r == -106) {
            ++bad;
            report(id, r);
        }
    }
    return bad;
}

} // namespace zem
