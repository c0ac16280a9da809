#include "imap/command_writer.h"

#include "imap/response_parser.h"
#include "text/charset.h"
#include "text/mutf7.h"

namespace zem {

namespace {

// ASTRING-CHAR: any CHAR but CTL, SP, '(', ')', '{', '%', '*', '"' and '\' (']' is allowed).
bool IsAstringChar(uint8_t c) {
    return c > 0x20 && c < 0x7f && c != '(' && c != ')' && c != '{' && c != '%' && c != '*' && c != '"' && c != '\\';
}

bool IsNil(const char *v, int32_t len) {
    return len == 3 && (v[0] | 0x20) == 'n' && (v[1] | 0x20) == 'i' && (v[2] | 0x20) == 'l';
}

struct Line {
    char *out;
    int32_t size;
    int32_t pos;
    bool Put(char c) {
        if (pos >= size - 1) return false;
        out[pos++] = c;
        return true;
    }
};

bool PutDecimal(Line &l, uint32_t n) {
    char digits[10];
    int32_t k = 0;
    do digits[k++] = static_cast<char>('0' + n % 10);
    while ((n /= 10) != 0);
    while (k > 0)
        if (!l.Put(digits[--k])) return false;
    return true;
}

} // namespace

int32_t ImapAppendAstring(char *out, int32_t size, int32_t pos, const char *value, int32_t len, bool utf8Accept,
                          bool literalPlus, bool *needsSyncLiteral) {
    if (needsSyncLiteral != nullptr) *needsSyncLiteral = false;
    if (out == nullptr || pos < 0 || pos >= size || len < 0 || (value == nullptr && len > 0)) return -1;
    bool atom = len > 0 && !IsNil(value, len), quotable = len <= kImapTokenMax;
    for (int32_t i = 0; i < len; ++i) {
        const uint8_t c = static_cast<uint8_t>(value[i]);
        if (c == 0) return -1;
        atom = atom && IsAstringChar(c);
        quotable = quotable && c != '\r' && c != '\n' && (c < 0x80 || utf8Accept);
    }
    Line l{out, size, pos};
    bool ok = true;
    if (atom) {
        for (int32_t i = 0; ok && i < len; ++i) ok = l.Put(value[i]);
    } else if (quotable) {
        ok = l.Put('"');
        for (int32_t i = 0; ok && i < len; ++i) {
            if (value[i] == '"' || value[i] == '\\') ok = l.Put('\\');
            ok = ok && l.Put(value[i]);
        }
        ok = ok && l.Put('"');
    } else {
        ok = l.Put('{') && PutDecimal(l, static_cast<uint32_t>(len)) && (!literalPlus || l.Put('+')) && l.Put('}');
        if (ok && needsSyncLiteral != nullptr) *needsSyncLiteral = !literalPlus;
    }
    if (!ok) {
        if (needsSyncLiteral != nullptr) *needsSyncLiteral = false;
        out[pos] = 0;
        return -1;
    }
    out[l.pos] = 0;
    return l.pos;
}

int32_t ImapAppendMailbox(char *out, int32_t size, int32_t pos, const char *name, bool utf8Accept, bool literalPlus,
                          bool *needsSyncLiteral) {
    if (needsSyncLiteral != nullptr) *needsSyncLiteral = false;
    if (name == nullptr) return -1;
    char encoded[kImapTokenMax + 1];
    const char *wire = name;
    int32_t len = 0;
    if (utf8Accept) {
        while (name[len] != 0) ++len;
        if (!IsValidUtf8(name, len)) return -1;
    } else {
        len = Utf8ToMutf7(name, encoded, sizeof encoded);
        if (len < 0) return -1;
        wire = encoded;
    }
    return ImapAppendAstring(out, size, pos, wire, len, utf8Accept, literalPlus, needsSyncLiteral);
}

} // namespace zem
