// The receive ring: 1,024 bytes behind the channel record, holding at most 1,023 unread
// bytes. The reply readers fill it when empty, and the readiness checks of whole replies
// and lines top it up into its free room only, so the overflow rule below never fires in
// normal use.
#include <cstring>

#include "frame/channel.h"

namespace zem {

int32_t RingPut(Channel &ch, const char *bytes, int32_t n) {
    char *ring = RecvRing(ch);
    for (int32_t i = 0; i < n; ++i) {
        ring[ch.RingTail] = bytes[i];
        ch.RingTail = (ch.RingTail + 1) % kRingSize;
        if (ch.RingTail == ch.RingHead) ch.RingHead = ch.RingTail = 0; // full: everything unread is dropped
    }
    return n;
}

int32_t RingTake(Channel &ch, char *dst, int32_t max) {
    const int32_t n = RingPeek(ch, dst, max);
    ch.RingHead = (ch.RingHead + n) % kRingSize;
    if (ch.RingHead == ch.RingTail) ch.RingHead = ch.RingTail = 0;
    return n;
}

// At most two spans of the ring, copied whole: a line reader peeks at every line.
int32_t RingPeek(Channel &ch, char *dst, int32_t max) {
    const char *ring = RecvRing(ch);
    const int32_t count = RingCount(ch);
    const int32_t n = max < count ? (max < 0 ? 0 : max) : count;
    const int32_t first = kRingSize - ch.RingHead < n ? kRingSize - ch.RingHead : n;
    std::memcpy(dst, ring + ch.RingHead, static_cast<size_t>(first));
    if (n > first) std::memcpy(dst + first, ring, static_cast<size_t>(n - first));
    return n;
}

} // namespace zem
