#include "imap/response_parser.h"

namespace zem {

namespace {

enum State : uint8_t {
    kIdle,      // between tokens
    kAtom,      // an atom, number or NIL (which one is known at its end)
    kQuoted,    // inside "..."
    kEscape,    // after a '\' inside "..."
    kLitDigits, // after '{'
    kLitClose,  // after the '+' of "{n+"
    kLitCr,     // after '}'
    kLitLf,     // after "}\r"
    kLiteral,   // the caller takes the literal's bytes
    kCr,        // after the CR of a line end
    kEnded,     // LineEnd given; the next call starts a new response
    kBroken,    // an Error was given; only a reset helps
    kTextLead,  // text mode: one space, then maybe a code
    kTextCode,  // text mode: a '[' here opens a code
    kTextTail,  // after the code: one space, then the text
    kTextBody,  // the free text up to the line end
};

// What one byte did: consumed or not, and whether a token is complete.
enum Act : uint8_t { kTake, kTakeToken, kToken, kAgain, kBad };

Act Emit(ImapParser &p, ImapToken *t, ImapTok kind, Act act) {
    p.tok[p.tokLen] = 0;
    t->kind = kind;
    t->number = p.number;
    t->len = p.tokLen;
    t->nonSync = p.nonSync;
    t->truncated = p.truncated;
    return act;
}

bool Keep(ImapParser &p, uint8_t c) {
    if (p.tokLen >= kImapTokenMax) return false;
    p.tok[p.tokLen++] = static_cast<char>(c);
    return true;
}

// Control characters, DEL included; 8-bit bytes pass (UTF-8 from servers that send it).
bool IsControl(uint8_t c) { return c < 0x20 || c == 0x7f; }

// The complete atom: a number when it is digits only and below 2^63, NIL, else an atom. Longer
// digits stay an atom: an astring may be all digits, and a caller that wants a number refuses it.
Act EndAtom(ImapParser &p, ImapToken *t) {
    p.state = kIdle;
    if (p.tokLen == 3 && (p.tok[0] | 0x20) == 'n' && (p.tok[1] | 0x20) == 'i' && (p.tok[2] | 0x20) == 'l')
        return Emit(p, t, ImapTok::Nil, kToken);
    uint64_t value = 0;
    for (int32_t i = 0; i < p.tokLen; ++i) {
        const uint8_t d = static_cast<uint8_t>(p.tok[i] - '0');
        if (d > 9) return Emit(p, t, ImapTok::Atom, kToken);
        if (value > (uint64_t{INT64_MAX} - d) / 10) return Emit(p, t, ImapTok::Atom, kToken);
        value = value * 10 + d;
    }
    p.number = value;
    return Emit(p, t, ImapTok::Number, kToken);
}

Act Atom(ImapParser &p, uint8_t c, ImapToken *t) {
    // A section runs to its ']' across spaces and parentheses; the line end closes an
    // unbalanced '[' as well, which an astring such as "a[b" may hold.
    if (p.inSection && c != '\r' && c != '\n') {
        if (IsControl(c)) return kBad;
        p.inSection = c != ']';
        return Keep(p, c) ? kTake : kBad;
    }
    if (c == ' ' || c == '(' || c == ')' || c == '\r' || c == '\n' || (c == ']' && p.codeOpen && p.depth == 0))
        return EndAtom(p, t);
    if (IsControl(c)) return kBad;
    p.inSection = c == '[';
    return Keep(p, c) ? kTake : kBad;
}

Act Idle(ImapParser &p, uint8_t c, ImapToken *t) {
    p.tokLen = 0;
    p.number = 0;
    p.nonSync = p.truncated = p.inSection = false;
    switch (c) {
    case ' ':
        return kTake;
    case '\r':
        p.state = kCr;
        return kTake;
    case '\n': // RFC 3501 ends lines with CR LF; a bare LF is taken too, as from a lax server
        if (p.depth != 0 || p.codeOpen) return kBad;
        p.state = kEnded;
        return Emit(p, t, ImapTok::LineEnd, kTakeToken);
    case '(':
        if (p.depth >= kImapDepthMax) return kBad;
        ++p.depth;
        return Emit(p, t, ImapTok::ListOpen, kTakeToken);
    case ')':
        if (p.depth == 0) return kBad;
        --p.depth;
        return Emit(p, t, ImapTok::ListClose, kTakeToken);
    case '"':
        p.state = kQuoted;
        return kTake;
    case '{':
        p.state = kLitDigits;
        return kTake;
    default:
        break;
    }
    if (c == ']' && p.codeOpen && p.depth == 0) {
        p.codeOpen = false;
        p.state = kTextTail;
        return Emit(p, t, ImapTok::CodeClose, kTakeToken);
    }
    p.state = kAtom;
    return kAgain;
}

Act Literal(ImapParser &p, uint8_t c, ImapToken *t) {
    switch (p.state) {
    case kLitDigits:
        if (c >= '0' && c <= '9') {
            const uint64_t d = c - '0';
            if (p.number > (kImapLiteralMax - d) / 10) return kBad;
            p.number = p.number * 10 + d;
            ++p.tokLen; // digits seen
            return kTake;
        }
        if (p.tokLen == 0 || (c != '+' && c != '}')) return kBad;
        p.nonSync = c == '+';
        p.state = c == '+' ? kLitClose : kLitCr;
        return kTake;
    case kLitClose:
        p.state = kLitCr;
        return c == '}' ? kTake : kBad;
    case kLitCr:
        if (c == '\r') {
            p.state = kLitLf;
            return kTake;
        }
        if (c != '\n') return kBad;
        [[fallthrough]];
    default: // kLitLf
        if (c != '\n') return kBad;
        p.state = kLiteral;
        p.literalLeft = p.number;
        p.tokLen = 0;
        return Emit(p, t, ImapTok::LiteralStart, kTakeToken);
    }
}

Act Text(ImapParser &p, uint8_t c, ImapToken *t) {
    switch (p.state) {
    case kTextLead:
    case kTextTail:
        p.state = p.state == kTextLead ? kTextCode : kTextBody;
        return c == ' ' ? kTake : kAgain;
    case kTextCode:
        if (c != '[') {
            p.state = kTextBody;
            return kAgain;
        }
        p.codeOpen = true;
        p.state = kIdle;
        return Emit(p, t, ImapTok::CodeOpen, kTakeToken);
    default: // kTextBody
        if (c == '\r' || c == '\n') {
            p.state = kIdle;
            return Emit(p, t, ImapTok::Text, kToken);
        }
        if (c == 0) return kBad;
        if (!Keep(p, c)) p.truncated = true;
        return kTake;
    }
}

Act Step(ImapParser &p, uint8_t c, ImapToken *t) {
    switch (p.state) {
    case kIdle:
        return Idle(p, c, t);
    case kAtom:
        return Atom(p, c, t);
    case kQuoted:
        if (c == '"') {
            p.state = kIdle;
            return Emit(p, t, ImapTok::Quoted, kTakeToken);
        }
        if (c == '\\') {
            p.state = kEscape;
            return kTake;
        }
        return c != 0 && c != '\r' && c != '\n' && Keep(p, c) ? kTake : kBad;
    case kEscape: // RFC 3501 section 9 escapes only '"' and '\'
        p.state = kQuoted;
        return (c == '"' || c == '\\') && Keep(p, c) ? kTake : kBad;
    case kLitDigits:
    case kLitClose:
    case kLitCr:
    case kLitLf:
        return Literal(p, c, t);
    case kCr:
        if (c != '\n') return kBad;
        p.state = kIdle;
        return Idle(p, c, t);
    case kTextLead:
    case kTextCode:
    case kTextTail:
    case kTextBody:
        return Text(p, c, t);
    default: // kLiteral and kBroken never get here
        return kBad;
    }
}

ImapFeed Broken(ImapParser &p) {
    p.state = kBroken;
    return ImapFeed::Error;
}

void StartLine(ImapParser &p) {
    p.state = kIdle;
    p.depth = 0;
    p.codeOpen = p.inSection = false;
    p.literalLeft = 0;
    p.lineBytes = 0;
}

} // namespace

void ImapParserReset(ImapParser &p) {
    StartLine(p);
    p.nonSync = p.truncated = false;
    p.tokLen = 0;
    p.number = 0;
    p.tok[0] = 0;
}

ImapFeed ImapNextToken(ImapParser &p, const char *data, int32_t len, int32_t *consumed, ImapToken *out) {
    *consumed = 0;
    if (p.state == kLiteral || p.state == kBroken) return Broken(p);
    if (p.state == kEnded) StartLine(p);
    for (int32_t i = 0; i < len;) {
        const Act act = Step(p, static_cast<uint8_t>(data[i]), out);
        const bool take = act == kTake || act == kTakeToken;
        if (act == kBad || (take && ++p.lineBytes > kImapLineMax)) {
            *consumed = i;
            return Broken(p);
        }
        i += take ? 1 : 0;
        if (act == kTakeToken || act == kToken) {
            *consumed = i;
            return ImapFeed::Token;
        }
    }
    *consumed = len > 0 ? len : 0;
    return ImapFeed::NeedMore;
}

const char *ImapTokenText(const ImapParser &p) { return p.tok; }

void ImapParserTextMode(ImapParser &p) {
    if (p.state != kIdle) return;
    p.state = kTextLead;
    p.tokLen = 0;
    p.number = 0;
    p.nonSync = p.truncated = false;
}

void ImapParserLiteralDone(ImapParser &p) {
    if (p.state != kLiteral) return;
    p.state = kIdle;
    p.literalLeft = 0;
}

ImapFeed ImapTakeSmallLiteral(ImapParser &p, const char *data, int32_t len, int32_t *consumed, ImapToken *out) {
    *consumed = 0;
    if (p.state != kLiteral || p.number > kImapStringLiteralMax) return Broken(p);
    int32_t i = 0;
    for (; p.literalLeft > 0 && i < len; ++i, --p.literalLeft) {
        const uint8_t c = static_cast<uint8_t>(data[i]);
        if (c == 0 || ++p.lineBytes > kImapLineMax) {
            *consumed = i;
            return Broken(p);
        }
        if (!Keep(p, c)) p.truncated = true;
    }
    *consumed = i;
    if (p.literalLeft > 0) return ImapFeed::NeedMore;
    p.state = kIdle;
    p.nonSync = false;
    Emit(p, out, ImapTok::Quoted, kTake);
    return ImapFeed::Token;
}

} // namespace zem
