// Parameters (RFC 2045 section 5.1, RFC 2231) and encoded words (RFC 2047) of received
// header lines, and the conversion of their texts to UTF-8 through iconv.
#include "text/mime_words.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "codec/codec.h"
#include "text/text.h"

namespace zem {
namespace {

constexpr int32_t kCharsetMax = 63;
constexpr int32_t kMaxSegments = 64; // continuations name*0 .. name*63
constexpr int32_t kPendingMax = 2048; // decoded bytes of adjacent words, converted together

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int32_t HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The character set name without an RFC 2231 language, NUL-terminated in cs.
void CharsetName(const char *charset, int32_t n, char (&cs)[kCharsetMax + 1]) {
    int32_t k = 0;
    for (int32_t i = 0; i < n && k < kCharsetMax && charset[i] != 0 && charset[i] != '*'; ++i) cs[k++] = charset[i];
    while (k > 0 && IsSpace(cs[k - 1])) --k;
    cs[k] = 0;
}

// One encoded word "=?charset?e?text?=" at p (p[0] == '=', p[1] == '?').
struct Word {
    const char *charset;
    int32_t charsetLen;
    char form; // 'B' or 'Q'
    const char *text;
    int32_t textLen;
    const char *end; // just after the closing "?="
};

bool ParseWord(const char *p, const char *limit, Word *w) {
    if (limit - p < 8 || p[0] != '=' || p[1] != '?') return false;
    const char *cs = p + 2;
    const char *q = cs;
    while (q < limit && *q != '?' && !IsSpace(*q) && q - cs <= kCharsetMax) ++q;
    if (q >= limit || *q != '?' || q == cs || limit - q < 5) return false;
    char form = q[1];
    if (form >= 'a' && form <= 'z') form = static_cast<char>(form - 'a' + 'A');
    if ((form != 'B' && form != 'Q') || q[2] != '?') return false;
    const char *text = q + 3;
    const char *e = text;
    while (e + 1 < limit && !(e[0] == '?' && e[1] == '=')) {
        if (e[0] == '\r' || e[0] == '\n') return false;
        ++e;
    }
    if (e + 1 >= limit) return false;
    *w = Word{cs, static_cast<int32_t>(q - cs), form, text, static_cast<int32_t>(e - text), e + 2};
    return true;
}

// Decodes the word's text into out (room for textLen + 4 bytes); returns the byte count.
int32_t WordBytes(const Word &w, char *out) {
    if (w.form == 'B') {
        // Only whole groups of the alphabet and '=' take part, as a word carries no line end.
        return Base64DecodeLine(w.text, w.textLen, reinterpret_cast<uint8_t *>(out));
    }
    int32_t n = 0;
    for (int32_t i = 0; i < w.textLen; ++i) {
        const char c = w.text[i];
        if (c == '_') {
            out[n++] = ' ';
        } else if (c == '=' && i + 2 < w.textLen && HexDigit(w.text[i + 1]) >= 0 && HexDigit(w.text[i + 2]) >= 0) {
            out[n++] = static_cast<char>(HexDigit(w.text[i + 1]) * 16 + HexDigit(w.text[i + 2]));
            i += 2;
        } else {
            out[n++] = c;
        }
    }
    return n;
}

bool SameCharset(const Word &a, const Word &b) {
    return a.charsetLen == b.charsetLen && SameTextNoCase(a.charset, b.charset, a.charsetLen);
}

// Output with a fixed room; every append is bounded.
struct Out {
    char *p;
    int32_t room; // bytes before the NUL
    int32_t n;
    void Put(const char *s, int32_t k) {
        if (k > room - n) k = room - n;
        if (k <= 0) return;
        std::memcpy(p + n, s, static_cast<size_t>(k));
        n += k;
    }
};

} // namespace

int32_t ConvertToUtf8(const char *charset, const char *in, int32_t n, char *out, int32_t outSize) {
    if (out == nullptr || outSize <= 0) return 0;
    const int32_t limit = outSize - 1;
    int32_t w = 0;
    char cs[kCharsetMax + 1];
    CharsetName(charset != nullptr ? charset : "", kCharsetMax, cs);
    iconv_t cd = cs[0] != 0 ? iconv_open("UTF-8", cs) : reinterpret_cast<iconv_t>(-1);
    if (in == nullptr || n < 0) n = 0;
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (int32_t i = 0; i < n && w < limit; ++i) {
            const auto b = static_cast<unsigned char>(in[i]);
            out[w++] = b < 0x80 ? static_cast<char>(b) : '_';
        }
    } else {
        char *ip = const_cast<char *>(in);
        size_t il = static_cast<size_t>(n);
        char *op = out;
        size_t ol = static_cast<size_t>(limit);
        while (il > 0) {
            if (iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1)) break;
            if (errno == E2BIG || ol == 0) break;
            // A byte that does not convert (or an incomplete sequence at the end).
            *op++ = '_';
            --ol;
            ++ip;
            --il;
        }
        iconv(cd, nullptr, nullptr, &op, &ol); // the shift state back to its start
        w = static_cast<int32_t>(op - out);
        iconv_close(cd);
    }
    for (int32_t i = 0; i < w; ++i)
        if (out[i] == 0) out[i] = '_'; // a NUL would cut the text short
    out[w] = 0;
    return w;
}

int32_t DecodeWordsUtf8(const char *in, int32_t n, char *out, int32_t outSize, int32_t *words) {
    if (words != nullptr) *words = 0;
    if (out == nullptr || outSize <= 0) return 0;
    Out o{out, outSize - 1, 0};
    if (in == nullptr) n = 0;
    const char *p = in;
    const char *limit = in + n;
    char pending[kPendingMax + 8];
    int32_t pendingLen = 0;
    Word last{};
    bool open = false; // pending holds bytes of last's character set
    auto flush = [&]() {
        if (!open) return;
        char cs[kCharsetMax + 1];
        CharsetName(last.charset, last.charsetLen, cs);
        char conv[kPendingMax * 4 + 8];
        const int32_t k = ConvertToUtf8(cs, pending, pendingLen, conv, sizeof conv);
        o.Put(conv, k);
        pendingLen = 0;
        open = false;
    };
    while (p < limit) {
        Word w{};
        if (p[0] == '=' && ParseWord(p, limit, &w)) {
            if (open && !SameCharset(w, last)) flush();
            if (pendingLen + w.textLen + 4 > kPendingMax) flush();
            if (w.textLen + 4 <= kPendingMax) pendingLen += WordBytes(w, pending + pendingLen);
            last = w;
            open = true;
            if (words != nullptr) ++*words;
            p = w.end;
            // White space up to the next word is dropped (RFC 2047 section 6.2).
            const char *q = p;
            while (q < limit && IsSpace(*q)) ++q;
            Word next{};
            if (q < limit && q[0] == '=' && ParseWord(q, limit, &next)) p = q;
            continue;
        }
        flush();
        const char *q = p + 1;
        while (q < limit && !(q[0] == '=' && q + 1 < limit && q[1] == '?')) ++q;
        o.Put(p, static_cast<int32_t>(q - p));
        p = q;
    }
    flush();
    out[o.n] = 0;
    return o.n;
}

bool HasForeignEncodedWord(const char *text) {
    const int32_t n = TextLength(text);
    const char *limit = text + n;
    for (const char *p = text; p != nullptr && p < limit; p = FindChar(p + 1, '=')) {
        Word w{};
        if (!ParseWord(p, limit, &w)) continue;
        if (!(w.charsetLen == 10 && SameTextNoCase(w.charset, "iso-8859-1", 10))) return true;
    }
    return false;
}

int32_t HeaderParam(const char *line, const char *name, char *out, int32_t outSize, char *charset, int32_t csSize) {
    if (charset != nullptr && csSize > 0) charset[0] = 0;
    if (line == nullptr || name == nullptr || out == nullptr || outSize <= 0) return -1;
    out[0] = 0;
    const int32_t nameLen = TextLength(name);
    struct Seg {
        const char *v;
        int32_t len;
        bool quoted;
        bool ext;
    };
    Seg segs[kMaxSegments] = {};
    bool have[kMaxSegments] = {};
    Seg plain{};
    bool havePlain = false;
    bool anySeg = false;
    const char *p = FindChar(line, ';');
    while (p != nullptr && *p == ';') {
        ++p;
        while (IsSpace(*p)) ++p;
        const char *attr = p;
        while (*p != 0 && *p != '=' && *p != ';' && !IsSpace(*p)) ++p;
        const auto attrLen = static_cast<int32_t>(p - attr);
        while (IsSpace(*p)) ++p;
        if (*p != '=') {
            p = FindChar(p, ';');
            continue;
        }
        ++p;
        while (IsSpace(*p)) ++p;
        Seg v{p, 0, false, false};
        if (*p == '"') {
            v.quoted = true;
            v.v = ++p;
            while (*p != 0 && *p != '"') p += (p[0] == '\\' && p[1] != 0) ? 2 : 1;
            v.len = static_cast<int32_t>(p - v.v);
            if (*p == '"') ++p;
        } else {
            while (*p != 0 && *p != ';' && !IsSpace(*p)) ++p;
            v.len = static_cast<int32_t>(p - v.v);
        }
        // On to the next parameter, past anything left of this one.
        while (*p != 0 && *p != ';') ++p;
        if (attrLen < nameLen || !SameTextNoCase(attr, name, nameLen)) continue;
        if (attrLen == nameLen) {
            plain = v;
            havePlain = true;
            continue;
        }
        if (attr[nameLen] != '*') continue;
        const char *rest = attr + nameLen + 1;
        const char *restEnd = attr + attrLen;
        if (rest == restEnd) { // name*=charset'language'text: one extended segment
            v.ext = true;
            segs[0] = v;
            have[0] = true;
            anySeg = true;
            continue;
        }
        int32_t index = 0;
        const char *d = rest;
        while (d < restEnd && *d >= '0' && *d <= '9' && index < kMaxSegments) index = index * 10 + (*d++ - '0');
        if (d == rest || index >= kMaxSegments) continue;
        if (d < restEnd && *d == '*') {
            v.ext = true;
            ++d;
        }
        if (d != restEnd) continue;
        segs[index] = v;
        have[index] = true;
        anySeg = true;
    }
    Out o{out, outSize - 1, 0};
    auto putQuoted = [&](const Seg &s) {
        for (int32_t i = 0; i < s.len; ++i) {
            if (s.quoted && s.v[i] == '\\' && i + 1 < s.len) ++i;
            o.Put(s.v + i, 1);
        }
    };
    if (anySeg && have[0]) {
        for (int32_t i = 0; i < kMaxSegments && have[i]; ++i) {
            const Seg &s = segs[i];
            int32_t from = 0;
            if (i == 0 && s.ext) {
                // charset'language' before the text; both may be empty.
                int32_t q1 = -1, q2 = -1;
                for (int32_t k = 0; k < s.len; ++k)
                    if (s.v[k] == '\'') {
                        if (q1 < 0) {
                            q1 = k;
                        } else {
                            q2 = k;
                            break;
                        }
                    }
                if (q2 > 0) {
                    if (charset != nullptr && csSize > 0) {
                        const int32_t k = q1 < csSize - 1 ? q1 : csSize - 1;
                        std::memcpy(charset, s.v, static_cast<size_t>(k));
                        charset[k] = 0;
                    }
                    from = q2 + 1;
                }
            }
            if (!s.ext) {
                Seg t = s;
                t.v += from;
                t.len -= from;
                putQuoted(t);
                continue;
            }
            for (int32_t k = from; k < s.len; ++k) {
                if (s.v[k] == '%' && k + 2 < s.len && HexDigit(s.v[k + 1]) >= 0 && HexDigit(s.v[k + 2]) >= 0) {
                    const char b = static_cast<char>(HexDigit(s.v[k + 1]) * 16 + HexDigit(s.v[k + 2]));
                    o.Put(&b, 1);
                    k += 2;
                } else {
                    o.Put(s.v + k, 1);
                }
            }
        }
    } else if (havePlain) {
        putQuoted(plain);
    } else {
        return -1;
    }
    out[o.n] = 0;
    return o.n;
}

} // namespace zem
