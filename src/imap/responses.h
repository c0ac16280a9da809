// Sending IMAP commands and reading the responses (RFC 3501 sections 2.2 and 7). One
// reader serves every command: it feeds the tokenizer what the ring holds, keeps the
// selected mailbox's counts from every untagged EXISTS, EXPUNGE, FETCH and status code
// whatever command runs, hands the data a command asked for (LIST, SEARCH, a FETCH body
// literal) to it, and stops at the command's tagged response or a continuation request.
#pragma once
#include <cstdint>

#include "frame/channel.h"
#include "imap/imap_area.h"

namespace zem {

// The command whose responses are being read: what the reader hands data to.
enum ImapCommand : uint8_t {
    kCmdGreeting,
    kCmdPlain,      // status only (LOGIN, STORE, CREATE, ...)
    kCmdCapability,
    kCmdList,
    kCmdSelect,
    kCmdSearch,
    kCmdFetchFile,
    kCmdFetchHeader,
    kCmdAppend,
    kCmdCopy,
    kCmdLogout,
};

// What ReadImapResponses found.
constexpr int32_t kImapWaiting = 0;   // nothing whole yet: the state runs again
constexpr int32_t kImapOk = 1;        // the tagged OK (the greeting's OK or PREAUTH)
constexpr int32_t kImapRefused = 2;   // the tagged NO or BAD; ReplyBuffer holds its text
constexpr int32_t kImapContinue = 3;  // "+": its text in Imap(ch).Text

// Reads what has come. Negative: the request failed (DriverError done; -1 for a BYE
// outside LOGOUT or a closed connection, -74 for a malformed response, -75 past the size
// limit, -67 for a message file that could not be written).
int32_t ReadImapResponses(Channel &ch, Tick now);

// Starts a command: the next tag, then Cmd[0, CmdLen) of the area and CR LF.
// `secretFrom` > 0 masks the bytes of Cmd from there on in the log. Arms the reply wait.
// kStepOn or the DriverError result.
int32_t StartImapCommand(Channel &ch, Tick now, ImapCommand cmd, int32_t secretFrom = 0);
// Cmd = the text (without tag); false when it does not fit.
bool SetImapCommand(Channel &ch, const char *text);
// Appends a mailbox name (modified UTF-7 unless UTF8=ACCEPT is on, quoted as needed) or
// an astring argument to Cmd; false when it does not fit or cannot be sent (NUL, CR, LF).
bool AppendImapMailbox(Channel &ch, const char *name);
bool AppendImapText(Channel &ch, const char *text);
// A refusal as the request's result: -86 with the server's text for zemErrorText.
int32_t ImapRefused(Channel &ch);
// What a state that waits for its command's answer makes of ReadImapResponses: 1 when it
// came (the tagged OK; with wantContinue the "+" instead), 0 while waiting, else the
// request's negative result (-86 for NO or BAD, the connection kept; -74 for the other).
int32_t AwaitImapResponse(Channel &ch, Tick now, bool wantContinue = false);
// Cmd = text, sent as a command of the kind given, then the machine goes to `next`.
int32_t SendImapLine(Channel &ch, Tick now, const char *text, ImapCommand cmd, int32_t next);
// Capability bit of a capability atom (0 for one the client does not use).
uint32_t ImapCapabilityBit(const char *atom);

} // namespace zem
