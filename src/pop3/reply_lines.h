// Lines of a POP3 reply as the UIDL listing, TOP and RETR read them (RFC 1939 section 3):
// the status line first, then, for a multi-line reply, data lines that are dot-stuffed
// and end with a line that holds a single dot.
#pragma once
#include <cstdint>
#include <cstring>

#include "frame/channel.h"
#include "text/text.h"

namespace zem {

// Where a multi-line read stands; kept in Channel::StatusSeen between steps. A line longer
// than the line reader's room comes in pieces, and only a piece that starts a line may be
// the end line or lose a stuffed dot.
enum ReplyLinePhase : uint8_t {
    kAwaitStatus = 0,  // nothing of the status line read yet
    kInStatus = 1,     // the status line has begun but its line end has not come
    kAtLineStart = 2,  // the next piece starts a data line
    kInsideLine = 3,   // the next piece continues a long data line
};

// The wait for each further piece of a long line where it is four times the POP3 data
// wait, kept within 32 bits.
inline int32_t FourfoldWait(int32_t wait) {
    if (wait <= 0) return 0;
    return wait > INT32_MAX / 4 ? INT32_MAX : 4 * wait;
}

inline bool EndsWithLineFeed(const char *piece, int32_t n) { return n > 0 && piece[n - 1] == '\n'; }

// The phase after a data piece of n bytes.
inline uint8_t PhaseAfter(const char *piece, int32_t n) { return EndsWithLineFeed(piece, n) ? kAtLineStart : kInsideLine; }

// The line that ends a multi-line reply: a single '.' and the line end (a bare LF is taken
// too). Only meaningful for a piece that starts a line.
inline bool IsEndLine(const char *line, int32_t n) {
    return (n == 3 && line[0] == '.' && line[1] == '\r' && line[2] == '\n') || (n == 2 && line[0] == '.' && line[1] == '\n');
}

// Undoes the byte stuffing of a data line that starts with '.' (RFC 1939 section 3: the
// first '.' of such a line is removed). The line stays NUL-terminated; returns its new
// length.
inline int32_t RemoveStuffedDot(char *line, int32_t n) {
    if (n <= 0 || line[0] != '.') return n;
    std::memmove(line, line + 1, static_cast<size_t>(n)); // the NUL after the line moves too
    return n - 1;
}

// Records a status line the way the reply checker does (LastReply, ReplyCode) and tells
// whether it is positive.
inline bool NoteStatusLine(Channel &ch, const char *line) {
    CopyText(ch.LastReply, line, 128);
    bool positive = line[0] == '+';
    ch.ReplyCode = positive ? 100 : 500;
    return positive;
}

} // namespace zem
