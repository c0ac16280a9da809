// The incoming MIME decoder. While a message is saved in line mode every line passes
// through MimeLineHandler, a line-driven state machine over the message's MIME structure
// (RFC 2045, RFC 2046): it decides which lines reach the message file, decodes base64 and
// quoted-printable part bodies, writes named parts into files of their own in the
// attachment directory and decodes ISO-8859-1 encoded words (RFC 2047) in Subject and
// From lines. It keeps one state number (DecodeState), the message's boundary, one nested
// boundary and the facts about the current part; it never builds a tree of parts.
//
// Decoder states (DecodeState): 2 top-level headers, 3 top-level headers after
// MIME-Version, 4 preamble (waiting for the first boundary), 5 part headers, 6 part body,
// 0 plain (not MIME: every further line is written unchanged), 7 to 9 no state.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

// Handles the line in ch.ReplyBuffer (line end included, NUL-terminated). Returns 1 when
// the caller is to write the line to the message file itself (quoted-printable decoded
// when MimeEncoding is 3), 0 when not. The line may change in place (header unfolding
// reads further lines from the socket into it; encoded words are decoded), so the caller
// takes the line's length again afterwards. Decoded text may already have been written
// to the message file and to the attachment file.
int32_t MimeLineHandler(Channel &ch);

// Prepares the decoder for a new message: no boundary, no part encoding, no attachments
// saved, the headers' blank line not yet written, an empty list of saved names.
// DecodeState is the caller's (1 raw, else 2).
void ResetDecoder(Channel &ch);

// Builds AttachPath from AttachDir and Filename (numbered when NumberedNames is set) and
// creates the file; a file still open is closed first without being recorded. Returns 1
// with FileHandle set, or 0 with FileHandle 0 when the path does not fit or the file
// cannot be created (the part's lines then go to the message file).
int32_t OpenAttachmentFile(Channel &ch);

// Unfolds a header line held in ch.ReplyBuffer (RFC 5322 section 2.2.3): the line's end is
// normalised to CR LF; then, when c is 0 or the last character before the CR LF is c, the
// next input line is read from the socket into the place of the CR LF and its leading
// spaces and tabs are removed. The line is read only when a whole line of 1,023 bytes fits
// behind the current one. Returns 1 when a line was joined, else 0. Lines outside
// ReplyBuffer are left alone.
int32_t UnfoldHeader(Channel &ch, char *line, char c);

// Decodes the ISO-8859-1 encoded words of a header line in ch.ReplyBuffer from its fifth
// character on: at most two Q-form words lose their markers and the whole line is then
// quoted-printable decoded; one B-form word is decoded in place, followed by the rest of
// the line and spaces up to the old length. Returns 1 when Q-form words were handled,
// 2 for a B-form word, 3 for both, 0 for none.
int32_t DecodeEncodedWords(Channel &ch, char *line);

// The file-name rule of Content-Disposition and Content-Type lines: finds the name= (or
// filename=) parameter, decodes an encoded word in it and stores its last path component
// in Filename ("noname" when nothing usable is left). Returns 1 when a name was stored.
int32_t FindFileName(Channel &ch, char *line);

// Stores the last component of name (after its last '/', '\' or ':') in Filename, at most
// 128 characters; an empty name, "." and ".." become "noname". No name taken from a
// message can therefore lead outside the attachment directory.
void StoreFileName(Channel &ch, const char *name);

} // namespace zem
