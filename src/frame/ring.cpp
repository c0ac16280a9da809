// The receive ring: 1,024 bytes behind the channel record, holding at most 1,023 unread
// bytes. Only the reply readers fill it (when empty, with at most 1,023 bytes), so the
// overflow rule below never fires in normal use.
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
    const char *ring = RecvRing(ch);
    int32_t n = 0;
    while (n < max && ch.RingHead != ch.RingTail) {
        dst[n++] = ring[ch.RingHead];
        ch.RingHead = (ch.RingHead + 1) % kRingSize;
    }
    if (ch.RingHead == ch.RingTail) ch.RingHead = ch.RingTail = 0;
    return n;
}

int32_t RingPeek(Channel &ch, char *dst, int32_t max) {
    const char *ring = RecvRing(ch);
    int32_t n = 0;
    for (int32_t i = ch.RingHead; n < max && i != ch.RingTail; i = (i + 1) % kRingSize) dst[n++] = ring[i];
    return n;
}

} // namespace zem
