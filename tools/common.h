// Shared pieces of the command-line tools: exit statuses, driving a channel in
// non-blocking mode, the progress bar, error reports and small text helpers.
// Only the public C API (zem32.h) is used.
#ifndef ZEM_TOOLS_COMMON_H
#define ZEM_TOOLS_COMMON_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zem32.h"

namespace zemtool {

// Exit statuses shared by both tools (documented in their --help and man pages).
enum ExitStatus : int {
    kExitOk = 0,
    kExitUsage = 2,      // bad arguments or unusable local files
    kExitConnect = 3,    // connect, greeting or login/authentication failed
    kExitFailed = 4,     // the transfer or mailbox operation failed
    kExitProtocol = 5,   // the server's reply broke the protocol (a count or size out of bounds)
    kExitInternal = 70,  // out of memory or an unexpected internal error (sysexits EX_SOFTWARE)
    kExitInterrupted = 130,
};

// The channel every tool works on.
constexpr int32_t kChan = 0;

// Set by SIGINT/SIGTERM; the drive loop aborts the channel when it sees it.
bool Interrupted();
void InstallSignalHandlers();

// Runs the channel's current request to its end in non-blocking mode (AutoCall 0):
// calls zemDriver until it returns 0 (done) or a negative code (failed), sleeping 1 ms
// whenever it answers ZEM_DRIVER_WAIT. `tick` runs after every step. Returns 0, the
// negative code, or kInterruptedCode after an interrupt (the channel is then aborted).
constexpr int32_t kInterruptedCode = -1000000;
int32_t DriveToEnd(int32_t chan, const std::function<void()> &tick);

// Switches the channel between blocking (1) and non-blocking (0) requests.
void SetAutoCall(int32_t chan, bool blocking);

// The library waits on its own between steps (step delay, login and close pauses, data
// line pause), which is kind to slow servers of old but only slows a command-line tool.
// Unless `paced`, all of them are set to 0; `paced` keeps the library's defaults.
void ApplyPacing(int32_t chan, bool paced);

// Ends the session with QUIT in blocking mode (so that zemClose also releases the
// request buffers) and returns zemClose's result.
int32_t CloseChannel(int32_t chan);

// A progress line on standard error for a terminal: a bar with bytes done, rate and time
// left when the total is known, or a plain status with the elapsed time. It is drawn only
// once the operation has taken `delayMs`, so that quick operations leave no trace, and
// at most ten times a second.
class Progress {
public:
    Progress(bool enabled, std::string label, int64_t total, int delayMs = 200);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void Update(int64_t done);
    void SetLabel(std::string label, int64_t total);
    // Changes only the text before the bar (the clock and the rate go on).
    void SetText(std::string label) { label_ = std::move(label); }
    // Erases the line (idempotent).
    void Finish();

private:
    void Draw(int64_t done, double elapsed);

    bool enabled_;
    bool drawn_ = false;
    std::string label_;
    int64_t total_;
    int delayMs_;
    int64_t startMs_;
    int64_t lastDrawMs_ = 0;
};

// True when standard error is a terminal (and progress can be drawn on it).
bool StderrIsTerminal();

// Milliseconds of a monotonic clock.
int64_t NowMs();

// "1.5 KiB", "12.0 MiB", "512 B".
// "<tool> 3.4.2" from the library's version number.
std::string VersionText(const char *tool);
std::string HumanBytes(int64_t n);
// "0:07", "1:02:03".
std::string HumanDuration(double seconds);

// Text a server chose, made safe to print on a terminal: control characters (C0 but TAB,
// DEL, and C1 whether raw or UTF-8 encoded) become \xNN, so that no escape sequence of a
// server reaches the terminal. LF is kept when `keepNewlines` (the text's own lines).
// Valid UTF-8 and other 8-bit bytes pass unchanged.
std::string Printable(const std::string &text, bool keepNewlines = false);

// Text of a library code (zemErrorText), without a trailing line end; Printable, as it
// may quote the server's reply.
std::string ErrorText(int32_t chan, int32_t code);
// The server's last reply line (zemDebug index 23), without its line end; Printable.
std::string LastReply(int32_t chan);

// Runs a tool's main body: an exception that reaches it (out of memory, or a bug) is
// reported, the library released, and kExitInternal returned.
int RunGuarded(const char *tool, int (*run)(int, char **), int argc, char **argv);

// Prints a failure report on standard error:
//   TOOL: WHAT failed: error CODE: TEXT
//   TOOL: server reply: REPLY
//   TOOL: socket error SOCKCODE: TEXT
void ReportFailure(const char *tool, int32_t chan, const std::string &what, int32_t code);

// Removes trailing CR and LF characters.
std::string StripLineEnd(std::string s);
// Splits `text` at `sep`, dropping empty pieces.
std::vector<std::string> Split(const std::string &text, char sep);
// Converts CR LF line ends to LF.
std::string ToUnixLines(const std::string &text);

// Size of a regular file, or -1 when it is missing, unreadable or not a regular file.
int64_t ReadableFileSize(const std::string &path);

// Creates a directory and its parents (like mkdir -p). Returns false on failure.
bool MakeDirs(const std::string &path);

// Size of n bytes once base64-encoded in lines of 76 characters plus CR LF (RFC 2045
// s6.8), as the attachment lines go out.
int64_t Base64LineSize(int64_t n);

} // namespace zemtool

#endif
