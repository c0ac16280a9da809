// The incoming MIME decoder. While a message is saved in line mode every line passes
// through the decoder, a line-driven state machine over the message's MIME structure
// (RFC 2045, RFC 2046): it decides which lines reach the message file, decodes base64 and
// quoted-printable part bodies, writes named parts into files of their own in the
// attachment directory and decodes encoded words (RFC 2047) in Subject and From lines and
// in file names. It keeps one state number (DecodeState), a stack of boundaries (the
// message's own in MimeBoundary, the first nested one in AltBoundary, deeper ones in the
// decoder's area, 16 levels in all) and the facts about the current part; it never builds
// a tree of parts.
//
// Decoder states (DecodeState): 2 top-level headers, 3 top-level headers after
// MIME-Version, 4 preamble (waiting for the first boundary), 5 part headers, 6 part body,
// 0 plain (not MIME: every further line is written unchanged), 7 to 9 no state.
//
// The decoder is fed whole lines (FeedDecoderLine); it never reads input itself. A header
// line that may be folded (RFC 5322 section 2.2.3) is kept back until the next line shows
// whether it continues, unless the feeder already knows the next line's first byte.
#pragma once
#include <cstdint>

#include "frame/channel.h"

namespace zem {

// next: the first byte of the line after this one when the feeder already has it, else
// kNextUnknown (the line may then be kept back until the next call).
constexpr int32_t kNextUnknown = -1;

// Hands one line (n bytes, line end included; it may hold NUL bytes) to the decoder,
// which writes what belongs into the message file and the attachment files. The line is
// copied as needed; it must lie in ch.ReplyBuffer or in memory of the caller's own.
// A raw save never reaches it. Returns 0, or -67 when a write failed.
int32_t FeedDecoderLine(Channel &ch, const char *line, int32_t n, int32_t next);

// The message has ended: a header line still kept back is handled.
void FinishDecoder(Channel &ch);

// Feeds a whole message file (CR LF or LF lines, not dot-stuffed) through the decoder of
// a channel whose message file (EmailFile) and attachment directory are set up, as the
// line-mode save would; the attachment files are closed at the end. For tests, fuzzing
// and benchmarks. Returns 0, -35 when the file cannot be read, -67 for a failed write.
int32_t DecodeMessageFile(Channel &ch, const char *path);

// Sets the channel up as zemGetEmailFile would (message file created at messagePath,
// attachment directory, decoder reset) and feeds the message file through the decoder;
// closes the files at the end. Returns 0 or a negative code (-67, -35).
int32_t DecodeFileOnChannel(Channel &ch, const char *message, const char *messagePath, const char *attachDir);

// Handles the line in ch.ReplyBuffer (line end included, NUL-terminated) at once, without
// unfolding. Returns 1 when the caller is to write the line to the message file itself
// (quoted-printable decoded when MimeEncoding is 3), 0 when not. The line may change in
// place, so the caller takes its length again afterwards.
int32_t MimeLineHandler(Channel &ch);

// Prepares the decoder for a new message: no boundary, no part encoding, no attachments
// saved, the headers' blank line not yet written, an empty list of saved names, nothing
// kept back. DecodeState is the caller's to set (2 to begin).
void ResetDecoder(Channel &ch);

// Builds AttachPath from AttachDir and Filename (numbered when NumberedNames is set),
// made distinct from the names already written for this message ("report(2).pdf"), and
// creates the file as a regular file without following a symbolic link; a name that
// exists as anything else is passed over for the next distinct one. A file still open is
// closed first without being recorded. Returns 1 with FileHandle set, or 0 with FileHandle
// 0 when the path does not fit or the file cannot be created (the part's lines then go to
// the message file).
int32_t OpenAttachmentFile(Channel &ch);

// Normalises the end of a header line in ch.ReplyBuffer: trailing spaces, tabs, CRs and
// LFs are removed while the line is longer than 2 characters, then CR LF is appended.
// Continuation lines are joined by the feeder, never here. Returns 0.
int32_t UnfoldHeader(Channel &ch, char *line, char c);

// Decodes the ISO-8859-1 encoded words of a header line in ch.ReplyBuffer from its fifth
// character on: at most two Q-form words lose their markers and the whole line is then
// quoted-printable decoded; one B-form word is decoded in place, followed by the rest of
// the line and spaces up to the old length. Returns 1 when Q-form words were handled,
// 2 for a B-form word, 3 for both, 0 for none.
int32_t DecodeEncodedWords(Channel &ch, char *line);

// The file-name rule of Content-Disposition and Content-Type lines: the RFC 2231 forms
// (filename*=, filename*0*= ...) when present, else the name= (or filename=) parameter
// with its encoded words decoded; the last path component goes into Filename, made safe
// ("noname" when nothing usable is left). Returns 1 when a name was stored.
int32_t FindFileName(Channel &ch, char *line);

// Stores a safe file name made of name in Filename: the part after its last '/', '\' or
// ':', control characters replaced by '_', at most 128 bytes (a longer name is shortened
// keeping its extension, never inside a UTF-8 character); an empty name, "." and ".."
// become "noname". No name taken from a message can therefore lead outside the
// attachment directory.
void StoreFileName(Channel &ch, const char *name);

// Closes an attached message being saved whole (recording it); 1 when one was closed.
int32_t CloseEmbeddedMessage(Channel &ch);
// The open attachment file is closed unrecorded: its name may be written again.
void ForgetOpenName(Channel &ch);
// The open attachment file is recorded: its name is taken for the rest of the message.
void KeepOpenName(Channel &ch);

} // namespace zem
