#include "text/mutf7.h"

namespace zem {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int32_t AlphabetValue(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    return c == '+' ? 62 : c == ',' ? 63 : -1;
}

bool Printable(uint32_t c) { return c >= 0x20 && c <= 0x7e; }

// Output of size bytes that always keeps room for the closing NUL.
struct Writer {
    char *out;
    int32_t size;
    int32_t n;
    bool Put(uint32_t c) {
        if (n >= size - 1) return false;
        out[n++] = static_cast<char>(c);
        return true;
    }
    int32_t End() {
        out[n] = 0;
        return n;
    }
};

// The code point of the UTF-8 sequence at s and its length in *used, or -1 for what RFC 3629
// forbids. A NUL is never a continuation byte, so a cut sequence stops at the terminator.
int32_t NextCodePoint(const uint8_t *s, int32_t *used) {
    const uint32_t lead = s[0];
    int32_t n = 1;
    uint32_t cp = lead, least = 0;
    if (lead >= 0xc2 && lead <= 0xdf) n = 2, cp = lead & 0x1f, least = 0x80;
    else if (lead >= 0xe0 && lead <= 0xef) n = 3, cp = lead & 0x0f, least = 0x800;
    else if (lead >= 0xf0 && lead <= 0xf4) n = 4, cp = lead & 0x07, least = 0x10000;
    else if (lead >= 0x80) return -1;
    for (int32_t i = 1; i < n; ++i) {
        if ((s[i] & 0xc0) != 0x80) return -1;
        cp = cp << 6 | (s[i] & 0x3f);
    }
    if (cp < least || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return -1;
    *used = n;
    return static_cast<int32_t>(cp);
}

bool PutUtf8(Writer &w, uint32_t cp) {
    if (cp < 0x80) return w.Put(cp);
    if (cp < 0x800) return w.Put(0xc0 | cp >> 6) && w.Put(0x80 | (cp & 0x3f));
    if (cp < 0x10000) return w.Put(0xe0 | cp >> 12) && w.Put(0x80 | (cp >> 6 & 0x3f)) && w.Put(0x80 | (cp & 0x3f));
    return w.Put(0xf0 | cp >> 18) && w.Put(0x80 | (cp >> 12 & 0x3f)) && w.Put(0x80 | (cp >> 6 & 0x3f)) &&
           w.Put(0x80 | (cp & 0x3f));
}

// The bits of an encoded run not yet written: fewer than 6 between characters.
struct Bits {
    uint32_t value = 0;
    int32_t count = 0;
};

bool PutUnit(Writer &w, Bits &b, uint32_t unit) {
    b.value = b.value << 16 | unit;
    for (b.count += 16; b.count >= 6;) {
        b.count -= 6;
        if (!w.Put(kAlphabet[b.value >> b.count & 63])) return false;
    }
    b.value &= (1u << b.count) - 1;
    return true;
}

// The last bits padded with zeros, then the '-' that ends the run.
bool EndRun(Writer &w, Bits &b) {
    if (b.count > 0 && !w.Put(kAlphabet[b.value << (6 - b.count) & 63])) return false;
    b = Bits{};
    return w.Put('-');
}

// Decodes the run after '&' up to its '-' (past which *s is left).
bool DecodeRun(const uint8_t *&s, Writer &w) {
    Bits b;
    uint32_t high = 0;
    for (; *s != '-'; ++s) {
        const int32_t v = AlphabetValue(*s);
        if (v < 0) return false; // the terminator included: a run needs its '-'
        b.value = b.value << 6 | static_cast<uint32_t>(v);
        b.count += 6;
        if (b.count < 16) continue;
        b.count -= 16;
        const uint32_t unit = b.value >> b.count & 0xffff;
        b.value &= (1u << b.count) - 1;
        const bool isHigh = unit >= 0xd800 && unit <= 0xdbff, isLow = unit >= 0xdc00 && unit <= 0xdfff;
        if (high != 0) {
            if (!isLow || !PutUtf8(w, 0x10000 + ((high - 0xd800) << 10) + (unit - 0xdc00))) return false;
            high = 0;
        } else if (isHigh) {
            high = unit;
        } else if (isLow || unit == 0 || Printable(unit) || !PutUtf8(w, unit)) {
            return false;
        }
    }
    ++s;
    // What an encoder pads: fewer than 6 bits, all zero.
    return high == 0 && b.count < 6 && b.value == 0;
}

} // namespace

int32_t Utf8ToMutf7(const char *utf8, char *out, int32_t size) {
    if (utf8 == nullptr || out == nullptr || size < 1) return -1;
    Writer w{out, size, 0};
    Bits b;
    bool inRun = false;
    for (const uint8_t *s = reinterpret_cast<const uint8_t *>(utf8); *s != 0;) {
        int32_t used = 0;
        const int32_t cp = NextCodePoint(s, &used);
        if (cp < 0) return -1;
        s += used;
        const uint32_t c = static_cast<uint32_t>(cp);
        if (Printable(c)) {
            if (inRun && !EndRun(w, b)) return -1;
            inRun = false;
            if (!w.Put(c) || (c == '&' && !w.Put('-'))) return -1;
            continue;
        }
        if (!inRun && !w.Put('&')) return -1;
        inRun = true;
        const bool ok = c < 0x10000 ? PutUnit(w, b, c)
                                    : PutUnit(w, b, 0xd800 + ((c - 0x10000) >> 10)) && PutUnit(w, b, 0xdc00 + (c & 0x3ff));
        if (!ok) return -1;
    }
    if (inRun && !EndRun(w, b)) return -1;
    return w.End();
}

int32_t Mutf7ToUtf8(const char *mutf7, char *out, int32_t size) {
    if (mutf7 == nullptr || out == nullptr || size < 1) return -1;
    Writer w{out, size, 0};
    bool afterRun = false; // an encoder writes one run for consecutive characters, never two
    for (const uint8_t *s = reinterpret_cast<const uint8_t *>(mutf7); *s != 0;) {
        const uint8_t c = *s++;
        if (!Printable(c)) return -1;
        if (c != '&') {
            if (!w.Put(c)) return -1;
            afterRun = false;
        } else if (*s == '-') {
            ++s;
            if (!w.Put('&')) return -1;
            afterRun = false;
        } else {
            if (afterRun || !DecodeRun(s, w)) return -1;
            afterRun = true;
        }
    }
    return w.End();
}

} // namespace zem
