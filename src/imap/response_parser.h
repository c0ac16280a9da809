// A fed, resumable tokenizer of IMAP server responses (RFC 3501 section 9, RFC 9051 section 9).
// It never reads a socket: the caller hands it whatever contiguous bytes it holds and drops
// the bytes the parser reports consumed; a token cut by the end of those bytes is kept here.
// At a literal "{n}" the parser stops and the caller takes the n bytes itself (into a file,
// the decoder, or ImapTakeSmallLiteral for a short string), so a message body is never
// copied into a response buffer. The record is a plain value in the caller's area; it
// allocates nothing and is owned by one channel.
//
// Brackets: '[' and ']' are CodeOpen and CodeClose only around a response code (RFC 3501
// section 7.1), which text mode looks for. Elsewhere they are part of an atom: a FETCH item
// with its section, spaces and parentheses included (BODY[HEADER.FIELDS (TO CC)]<0>), or an
// astring such as [Gmail]/Sent.
#pragma once
#include <cstdint>

namespace zem {

// Longest atom or quoted string, and the part of a text or short literal that is kept.
constexpr int32_t kImapTokenMax = 1024;
// Parentheses open at once: deeper than any real BODYSTRUCTURE.
constexpr int32_t kImapDepthMax = 64;
// Bytes of one response outside the literals the caller takes: room for a SEARCH of about a
// million UIDs, and the bound on a server that never ends its line.
constexpr int64_t kImapLineMax = int64_t{8} << 20;
// Largest n of "{n}" (1 TiB); a larger one is an Error.
constexpr uint64_t kImapLiteralMax = uint64_t{1} << 40;
// Largest literal ImapTakeSmallLiteral takes where a string is expected.
constexpr uint64_t kImapStringLiteralMax = 64 * 1024;

enum class ImapTok : uint8_t {
    Atom,         // a tag, "*", "+", a keyword, a flag such as \Seen, BODY[TEXT]<0>
    Number,       // digits only, below 2^63: the value in number, the digits in the text
    Quoted,       // a quoted string, unescaped; also a literal taken by ImapTakeSmallLiteral
    Nil,          // NIL in any case
    ListOpen,     // '('
    ListClose,    // ')'
    CodeOpen,     // '[' starting a response code in text mode
    CodeClose,    // its ']'; the free text follows
    LiteralStart, // "{n}" or "{n+}" and its line end: n in number; the parser waits for the caller
    Text,         // the free text of a status response in text mode (maybe empty)
    LineEnd,      // CR LF, or a bare LF, outside any list or code
};

struct ImapToken {
    ImapTok kind;
    uint64_t number;  // a Number's value, a literal's size
    int32_t len;      // bytes of the text (ImapTokenText)
    bool nonSync;     // the literal was written "{n+}"
    bool truncated;   // a Text or a taken literal longer than kImapTokenMax: the rest was consumed
};

// Everything the tokenizer keeps between feeds; only its functions write it.
struct ImapParser {
    uint8_t state;        // where the scanner is (response_parser.cpp)
    uint8_t depth;        // parentheses open
    bool inSection;       // inside the brackets of an atom
    bool codeOpen;        // between CodeOpen and CodeClose
    bool nonSync;         // the literal header had its '+'
    bool truncated;       // bytes of this token were dropped
    int32_t tokLen;       // bytes in tok (digits seen in a literal header)
    uint64_t number;      // digits read so far, then the token's value
    uint64_t literalLeft; // bytes of the pending literal not yet taken
    int64_t lineBytes;    // bytes of this response counted against kImapLineMax
    char tok[kImapTokenMax + 1];
};

enum class ImapFeed : int8_t { Token, NeedMore, Error };

// Makes the parser ready for a new response. Needed once at the start and after an Error;
// after LineEnd the parser is ready for the next response by itself.
void ImapParserReset(ImapParser &p);

// Scans data[0, len) for the next token. Token: *out is filled and *consumed bytes (the
// token's own, and the spaces before it) are done with. NeedMore: all len bytes were taken
// into the parser's state; feed the bytes that follow. Error (*consumed is the offset of the
// offending byte), and from then on until ImapParserReset: a NUL, a control character in an
// atom, a bare CR, an escape of anything but '"' and '\', a broken literal header, an atom
// or quoted string longer than kImapTokenMax, a literal size over kImapLiteralMax,
// parentheses deeper than kImapDepthMax or not balanced at the line end, a response longer
// than kImapLineMax, or a call while a literal waits for the caller.
ImapFeed ImapNextToken(ImapParser &p, const char *data, int32_t len, int32_t *consumed, ImapToken *out);

// The text of the last Atom, Number, Quoted or Text token: NUL-terminated, unescaped,
// valid until the next call.
const char *ImapTokenText(const ImapParser &p);

// Call between tokens, after a status word (OK, NO, BAD, BYE, PREAUTH) or "+": the rest of
// the line is one optional response code, given as CodeOpen, its tokens and CodeClose, then
// one Text token of the free text (kept up to kImapTokenMax bytes, consumed to the line end).
void ImapParserTextMode(ImapParser &p);

// After LiteralStart: the caller has taken the literal's n bytes itself; scanning resumes
// after them.
void ImapParserLiteralDone(ImapParser &p);

// After LiteralStart where a string is expected (a mailbox name, an ENVELOPE field): takes
// the literal's bytes from data into the token, returning NeedMore until all n are taken,
// then a Quoted token (number = n); scanning then resumes after the literal. Beyond
// kImapTokenMax the bytes are consumed and dropped (truncated). Error for a literal larger
// than kImapStringLiteralMax, a NUL inside, a response longer than kImapLineMax, or no
// literal pending.
ImapFeed ImapTakeSmallLiteral(ImapParser &p, const char *data, int32_t len, int32_t *consumed, ImapToken *out);

} // namespace zem
