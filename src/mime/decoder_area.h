// The incoming decoder's own area in the channel's memory block 0, after the receive
// ring: the header line kept back for unfolding, the boundaries nested below the two the
// channel record holds, the embedded message being saved whole, the names written for the
// current message, and the write blocks of the message file and the attachment files. Its size is fixed, so a
// retrieval needs the same memory whatever the message size.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

constexpr int32_t kMaxNesting = 16;       // boundaries held; deeper structure is body text
constexpr int32_t kHeldMax = kBufferSize - 2; // an unfolded header line, as long as any line
constexpr int32_t kWriteBlock = 64 * 1024; // bytes gathered before a file write
constexpr int32_t kNamesKept = 256;       // names remembered per message for distinct names
constexpr int32_t kAttachPathMax = 130;   // AttachPath

struct DecoderArea {
    // ---- Header unfolding: one line kept back until the next one shows whether it continues.
    char Held[kHeldMax + 4];
    int32_t HeldLen; // 0 = nothing held
    // ---- Boundaries: level 0 is MimeBoundary, level 1 AltBoundary; 2 and deeper live here.
    char Bounds[kMaxNesting][130];
    int32_t BoundLens[kMaxNesting];
    int32_t Depth;     // levels in use, 0 to kMaxNesting
    int32_t PartLevel; // level of the boundary that began the current part; -1 none
    // ---- An attached message (message/rfc822) saved whole.
    uint8_t EmlPending;   // the current part's headers named message/rfc822
    uint8_t EmlCapturing; // lines go into the message's file (or its block, headers first)
    uint8_t EmlHeaders;   // still in the embedded message's headers
    int32_t EmlLevel;     // a boundary at this level or above ends it
    int32_t EmlHandle;
    char EmlName[130];
    char EmlPath[kAttachPathMax];
    int32_t EmlFill;
    // ---- The attachment file's write block; its handle, so a file set elsewhere is
    // written directly.
    int32_t AttHandle;
    int32_t AttFill;
    // The line end of a text-coded part's last line, written only once the next line is
    // not the boundary (the CR LF before a boundary belongs to the boundary, RFC 2046).
    uint8_t PendingLineEnd;
    // ---- A decoded line (quoted-printable, base64 or encoded words) before it is written.
    char Scratch[kBufferSize];
    // ---- Names written for the current message (64-bit hashes of the file names).
    uint64_t Names[kNamesKept];
    int32_t NameCount;
    uint64_t OpenNameHash; // the open attachment file's name (forgotten if closed unrecorded)
    // ---- The message file's write block (raw saves and decoded messages alike).
    int32_t MsgFill;
    alignas(16) char MsgBlock[kWriteBlock + 8];
    alignas(16) char AttBlock[kWriteBlock + 8];
    alignas(16) char EmlBlock[kWriteBlock + 8];
};

static_assert(sizeof(DecoderArea) <= static_cast<size_t>(kAreaSize), "the decoder's area fits the channel's area");
static_assert(alignof(DecoderArea) <= kAreaAlign, "the channel's area is aligned for the decoder");

inline DecoderArea &Decoder(Channel &ch) { return *reinterpret_cast<DecoderArea *>(ChannelArea(ch)); }

} // namespace zem
