// zem-pop: works with a POP3 mailbox through the ZEM32 library: count, list, uidl, top,
// fetch, fetch-all and delete.
//
// Every request runs in non-blocking mode: the tool calls zemDriver itself, so that a
// progress bar can follow a large message (zemStatistics index 12 against the LIST size)
// and an interrupt is honoured between steps. Results of requests made that way are read
// from the counters afterwards (message count 17, size 18, buffer fill 19).
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "accounts.h"
#include "common.h"
#include "tls_options.h"
#include "secrets.h"

using namespace zemtool;

namespace {

const char *const kTool = "zem-pop";
// The library keeps at most 128 characters of each of file name, message directory
// and attachment directory, and joins directory and file name in 130 bytes.
constexpr size_t kMaxPath = 128;
// The library's default POP3 data wait, restored after a raw fetch.
constexpr int kDefaultDataWait = 25000;
// Bounds on what a server may claim. A mailbox of more messages, or a message larger than
// this, is taken for a broken or lying server (kExitProtocol): the tool allocates and
// loops in proportion to these numbers, so they must never be taken as they come.
constexpr int64_t kMaxMessages = 1000000;
constexpr int64_t kMaxMessageSize = int64_t{1} << 30;
// At most this much TOP output is kept for printing; a longer UIDL listing breaks the
// bound above (1000000 lines of at most 70 characters of unique id, RFC 1939 s7).
constexpr size_t kMaxTopBytes = size_t{32} << 20;
constexpr size_t kMaxUidlBytes = size_t{128} << 20;
// The default attachment folder inside the message directory: an attachment named like a
// message file can then never replace it.
const char *const kAttachSubdir = "attachments/";
// Names in the saved-attachment list are joined by the attachment separator; a line
// feed cannot occur in a file name taken from a message header line.
constexpr char kSavedListSep = '\n';

struct Global {
    TlsCli tls;
    std::string server = "127.0.0.1";
    int port = 110;
    std::string user;
    SecretOptions secret;      // the password: file, command, environment or prompt
    std::string account;       // --account NAME of the accounts file
    std::string accountsFile;  // --accounts FILE
    bool apop = false;
    std::string logFile;
    int stepDelay = -1, replyTimeout = -1, connectTimeout = -1, dataWait = -1;
    bool paced = false;        // keep the library's own pauses
    bool quiet = false;
};

struct FetchOptions {
    std::string dir = ".";
    std::string attachDir;  // empty: kAttachSubdir of the message directory
    std::string name;       // fetch only: file name of the message
    bool raw = false;
    bool numbered = false;
    bool saveNoname = false;
    bool byUid = false;
    bool del = false;       // fetch-all only
    int rawPause = 2000;
};

struct Saved {
    std::string path;
    int64_t bytes = 0;
    std::vector<std::string> attachments;
    int attachCount = 0;
};

Global g;

int Usage(const std::string &msg) {
    std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", kTool, msg.c_str());
    return kExitUsage;
}

int Fail(const std::string &what, int32_t code, int status = kExitFailed) {
    ReportFailure(kTool, kChan, what, code);
    return code == kInterruptedCode ? kExitInterrupted : status;
}

// The last request was answered with -ERR (the library sets ReplyCode 500 for it and
// leaves counts and sizes at 0 without reporting an error).
bool Refused() { return zemStatistics(kChan, ZEM_STAT_REPLY_CODE) == 500; }

int Refusal(const std::string &what) {
    std::fprintf(stderr, "%s: %s: the server refused: %s\n", kTool, what.c_str(), LastReply(kChan).c_str());
    return kExitFailed;
}

// Field `field` (0: the first after "+OK") of the last reply, as the server wrote it: the
// library keeps 32 bits of a number, and 4294967297 must not pass for 1. -1 when the
// field does not start with a digit; very long numbers stop growing past 10^17.
int64_t ReplyNumber(int field) {
    std::string reply = LastReply(kChan);
    if (reply.compare(0, 3, "+OK") != 0) return -1;
    size_t pos = 3;
    for (int f = 0; f <= field; ++f) {
        pos = reply.find_first_not_of(' ', pos);
        if (pos == std::string::npos) return -1;
        if (f < field) pos = reply.find(' ', pos);
    }
    int64_t value = -1;
    for (; pos < reply.size() && reply[pos] >= '0' && reply[pos] <= '9'; ++pos)
        value = std::min<int64_t>((value < 0 ? 0 : value) * 10 + (reply[pos] - '0'), 100000000000000000);
    return value;
}

// A count or size the server gave (`libValue` the library's copy), checked against `max`.
int Bounded(const std::string &what, int32_t libValue, int field, int64_t max, const char *unit, int64_t &out) {
    int64_t v = ReplyNumber(field);
    if (v < 0) v = libValue;
    if (v >= 0 && v <= max) {
        out = v;
        return kExitOk;
    }
    std::fprintf(stderr, "%s: %s: the server claims %lld %s, beyond the %lld the tool accepts: protocol error\n", kTool,
                 what.c_str(), static_cast<long long>(v), unit, static_cast<long long>(max));
    std::fprintf(stderr, "%s: server reply: %s\n", kTool, LastReply(kChan).c_str());
    return kExitProtocol;
}

// Runs the request that a zem* call has just set up (or returns its argument error).
int32_t Complete(int32_t started, const std::function<void()> &tick = {}) {
    if (started < 0) return started;
    return DriveToEnd(kChan, tick);
}

int Connect() {
    if (g.user.empty()) return Usage("--user is required (or ZEM_POP3_USER)");
    std::string password, error;
    if (!ResolveSecret(g.secret, "password for " + g.user, password, error)) return Usage(error);
    if (zemAttach(1, 0) != 1) {
        std::fprintf(stderr, "%s: the library could not be started\n", kTool);
        return kExitFailed;
    }
    if (!g.logFile.empty() && zemStringParam(kChan, ZEM_STRING_LOG_FILE, g.logFile.c_str()) < 0)
        return Usage("--log '" + g.logFile + "': cannot create the file");
    zemIntegerParam(kChan, ZEM_PARAM_POP3_PORT, g.port);
    ApplyTlsOptions(kChan, g.tls);
    zemIntegerParam(kChan, ZEM_PARAM_USE_APOP, g.apop ? 1 : 0);
    ApplyPacing(kChan, g.paced);
    if (g.stepDelay >= 0) zemIntegerParam(kChan, ZEM_PARAM_STEP_DELAY, g.stepDelay);
    if (g.replyTimeout >= 0) zemIntegerParam(kChan, ZEM_PARAM_REPLY_TIMEOUT, g.replyTimeout);
    if (g.connectTimeout >= 0) zemIntegerParam(kChan, ZEM_PARAM_CONNECT_TIMEOUT, g.connectTimeout);
    if (g.dataWait >= 0) zemIntegerParam(kChan, ZEM_PARAM_POP3_DATA_WAIT, g.dataWait);
    zemIntegerParam(kChan, ZEM_PARAM_ATTACH_SEP, kSavedListSep);
    SetAutoCall(kChan, false);

    Progress progress(!g.quiet && StderrIsTerminal(), "connecting to " + g.server + ":" + std::to_string(g.port), 0, 500);
    int32_t r = Complete(zemPop3Connect(kChan, g.server.c_str(), g.user.c_str(), password.c_str()),
                       [&] { progress.Update(0); });
    progress.Finish();
    if (r < 0) {
        int status = r == ZEM_ERR_BAD_SERVER_NAME ? kExitUsage : kExitConnect;
        return Fail(std::string(g.apop ? "APOP" : "USER/PASS") + " login to " + g.server + ":" + std::to_string(g.port), r,
                    status);
    }
    return kExitOk;
}

// Ends the session with QUIT; deletions take effect only then (RFC 1939 s6).
int Disconnect(bool mustSucceed) {
    int32_t r = CloseChannel(kChan);
    if (r < 0 && mustSucceed) return Fail("QUIT", r);
    return kExitOk;
}

int Count(int32_t &count) {
    int32_t r = Complete(zemGetEmailCount(kChan));
    if (r < 0) return Fail("STAT", r);
    if (Refused()) return Refusal("STAT");
    int64_t n = 0;
    if (int rc = Bounded("STAT", zemStatistics(kChan, ZEM_STAT_MESSAGE_COUNT), 0, kMaxMessages, "messages", n)) return rc;
    count = static_cast<int32_t>(n);
    return kExitOk;
}

// LIST n; a message that does not exist is an error of the command line.
int Size(int32_t msg, int32_t &size) {
    int32_t r = Complete(zemGetEmailSize(kChan, msg));
    if (r < 0) return Fail("LIST " + std::to_string(msg), r);
    if (Refused()) {
        std::fprintf(stderr, "%s: no message %d: %s\n", kTool, msg, LastReply(kChan).c_str());
        return kExitFailed;
    }
    int64_t n = 0;
    if (int rc = Bounded("LIST " + std::to_string(msg), zemStatistics(kChan, ZEM_STAT_MESSAGE_SIZE), 1,
                         kMaxMessageSize, "bytes", n))
        return rc;
    size = static_cast<int32_t>(n);
    return kExitOk;
}

// UIDL: msg 0 asks for the whole listing. Returns the lines without the status line.
// `count` (at most kMaxMessages) only sizes the first attempt; the buffer grows with what
// the server really sends, up to kMaxUidlBytes.
int Uids(int32_t msg, int32_t count, std::vector<std::string> &lines) {
    // A unique id has at most 70 characters.
    size_t size = std::min<size_t>(static_cast<size_t>(count < 0 ? 0 : count) * 80 + 1024, size_t{1} << 20);
    for (;;) {
        std::vector<char> buf(size, '\0');
        int32_t r = Complete(zemGetEmailUID(kChan, msg, buf.data(), static_cast<int32_t>(buf.size())));
        if (r < 0) return Fail(msg > 0 ? "UIDL " + std::to_string(msg) : "UIDL", r);
        std::string text(buf.data());
        if (text.size() + 1 >= buf.size()) {  // cut at the buffer's end: ask again
            if (size >= kMaxUidlBytes) break;
            size = std::min(size * 4, kMaxUidlBytes);
            continue;
        }
        std::vector<std::string> all = Split(ToUnixLines(text), '\n');
        if (all.empty() || all[0].compare(0, 3, "+OK") != 0) {
            std::fprintf(stderr, "%s: UIDL: the server refused: %s\n", kTool,
                         all.empty() ? "" : Printable(all[0]).c_str());
            return kExitFailed;
        }
        if (msg > 0) {
            // "+OK n uid" (RFC 1939 s7): keep "n uid".
            std::string s = all[0].substr(3);
            while (!s.empty() && s[0] == ' ') s.erase(0, 1);
            lines.push_back(s);
        } else {
            lines.assign(all.begin() + 1, all.end());
        }
        return kExitOk;
    }
    std::fprintf(stderr, "%s: UIDL: the listing is longer than %zu MiB: protocol error\n", kTool, kMaxUidlBytes >> 20);
    return kExitProtocol;
}

std::string WithSlash(std::string dir) {
    if (dir.empty()) dir = ".";
    if (dir.back() != '/') dir += '/';
    return dir;
}

// A unique id may hold any printable character (RFC 1939 s7); keep a file-name-safe form
// of its 70 characters at most.
std::string SafeName(const std::string &uid) {
    std::string s;
    for (char c : uid.substr(0, 70)) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                  (c == '.' && !s.empty());
        s += ok ? c : '_';
    }
    return s.empty() ? "_" : s;
}

std::string AttachDirOf(const FetchOptions &f) {
    return f.attachDir.empty() ? WithSlash(f.dir) + kAttachSubdir : WithSlash(f.attachDir);
}

// The attachment folder this run created, removed at the end when nothing went into it.
std::string gMadeAttachDir;

void RemoveEmptyAttachDir() {
    if (!gMadeAttachDir.empty()) rmdir(gMadeAttachDir.c_str());  // fails, as it should, unless empty
}

int CheckDirs(const FetchOptions &f, const std::string &name) {
    std::string dir = WithSlash(f.dir);
    std::string attachDir = AttachDirOf(f);
    if (dir.size() + name.size() > kMaxPath)
        return Usage("'" + dir + name + "': the library takes paths of at most 128 characters; use a shorter --dir");
    if (attachDir.size() > kMaxPath - 16)
        return Usage("--attach-dir '" + attachDir + "': at most 112 characters, to leave room for the file names");
    if (!MakeDirs(f.dir)) return Usage("--dir '" + f.dir + "': cannot create the directory");
    if (f.raw) return kExitOk;  // a raw save decodes no attachment
    struct stat st{};
    bool existed = stat(attachDir.c_str(), &st) == 0;
    if (!MakeDirs(attachDir)) return Usage("--attach-dir '" + attachDir + "': cannot create the directory");
    if (!existed) gMadeAttachDir = attachDir;
    return kExitOk;
}

// RETR msg into dir/name, attachments decoded into the attachment directory.
// `overall` (fetch-all) follows every message of the run instead of one bar per message;
// `base` is the bytes of the messages before this one.
int FetchOne(int32_t msg, const FetchOptions &f, const std::string &name, Saved &out, Progress *overall = nullptr,
             int64_t base = 0) {
    int32_t size = 0;
    if (int rc = Size(msg, size)) return rc;
    std::string dir = WithSlash(f.dir);
    std::string attachDir = AttachDirOf(f);
    if (dir.size() + name.size() > kMaxPath) {
        std::fprintf(stderr, "%s: '%s%s': the path is longer than 128 characters\n", kTool, dir.c_str(), name.c_str());
        return kExitUsage;
    }

    zemIntegerParam(kChan, ZEM_PARAM_DECODE_STATE, f.raw ? 1 : 0);
    zemIntegerParam(kChan, ZEM_PARAM_NUMBERED_NAMES, f.numbered ? 1 : 0);
    zemIntegerParam(kChan, ZEM_PARAM_SAVE_NONAME, f.saveNoname ? 1 : 0);
    // A raw save ends only when the server has been silent for the POP3 data wait: keep
    // that pause short for the transfer.
    if (f.raw) zemIntegerParam(kChan, ZEM_PARAM_POP3_DATA_WAIT, f.rawPause);

    Progress progress(overall == nullptr && !g.quiet && StderrIsTerminal(), "receiving message " + std::to_string(msg),
                      size);
    int32_t r = Complete(zemGetEmailFile(kChan, msg, name.c_str(), dir.c_str(), attachDir.c_str()), [&] {
        int64_t done = zemStatistics(kChan, ZEM_STAT_BYTES);
        if (overall != nullptr) overall->Update(base + std::min<int64_t>(done, size));
        else progress.Update(done);
    });
    progress.Finish();
    if (f.raw) zemIntegerParam(kChan, ZEM_PARAM_POP3_DATA_WAIT, g.dataWait >= 0 ? g.dataWait : kDefaultDataWait);
    if (r < 0) return Fail("RETR " + std::to_string(msg), r);

    out.path = dir + name;
    out.bytes = ReadableFileSize(out.path);
    if (out.bytes < 0) {
        std::fprintf(stderr, "%s: RETR %d: the message file %s was not written\n", kTool, msg, out.path.c_str());
        return kExitFailed;
    }
    out.attachCount = zemStatistics(kChan, ZEM_STAT_ATTACH_SAVED);
    std::vector<char> list(2048, '\0');
    zemDebug(kChan, ZEM_DEBUG_SAVED_LIST, list.data(), static_cast<int32_t>(list.size()));
    for (const std::string &n : Split(list.data(), kSavedListSep)) out.attachments.push_back(attachDir + n);
    for (const std::string &a : out.attachments) {
        if (ReadableFileSize(a) < 0) {
            std::fprintf(stderr, "%s: RETR %d: the attachment %s was not written\n", kTool, msg, a.c_str());
            return kExitFailed;
        }
    }
    return kExitOk;
}

// Attachment names come from the message: printed as Printable, like any server text.
void PrintSaved(const Saved &s) {
    std::printf("message: %s (%lld bytes)\n", Printable(s.path).c_str(), static_cast<long long>(s.bytes));
    for (const std::string &a : s.attachments) std::printf("attachment: %s\n", Printable(a).c_str());
    int unlisted = s.attachCount - static_cast<int>(s.attachments.size());
    if (unlisted > 0) std::printf("attachments not listed: %d\n", unlisted);
}

int Delete(int32_t msg) {
    int32_t r = Complete(zemDeleteEmail(kChan, msg));
    if (r < 0) return Fail("DELE " + std::to_string(msg), r);
    if (Refused()) return Refusal("DELE " + std::to_string(msg));
    return kExitOk;
}

// ---------------------------------------------------------------------------- subcommands

int CmdCount() {
    int32_t n = 0;
    if (int rc = Count(n)) return rc;
    std::printf("%d\n", n);
    return Disconnect(false);
}

int CmdList() {
    int32_t n = 0;
    if (int rc = Count(n)) return rc;
    for (int32_t i = 1; i <= n; ++i) {
        int32_t size = 0;
        if (int rc = Size(i, size)) return rc;
        std::printf("%d %d\n", i, size);
    }
    return Disconnect(false);
}

int CmdUidl(int32_t msg) {
    int32_t count = 1;
    if (msg <= 0)
        if (int rc = Count(count)) return rc;
    std::vector<std::string> lines;
    if (int rc = Uids(msg, count, lines)) return rc;
    for (const std::string &l : lines) std::printf("%s\n", Printable(l).c_str());
    return Disconnect(false);
}

int CmdTop(int32_t msg, int32_t lines) {
    int32_t size = 0;
    if (int rc = Size(msg, size)) return rc;
    // TOP returns at most the whole message plus its status line; beyond kMaxTopBytes the
    // library drops the rest, which is reported below.
    std::vector<char> buf(std::min(static_cast<size_t>(size), kMaxTopBytes) + 1024, '\0');
    Progress progress(!g.quiet && StderrIsTerminal(), "receiving message " + std::to_string(msg), size);
    int32_t r = Complete(zemGetEmailLines(kChan, msg, lines, buf.data(), static_cast<int32_t>(buf.size())),
                       [&] { progress.Update(zemStatistics(kChan, ZEM_STAT_TEXT_BYTES)); });
    progress.Finish();
    if (r < 0) return Fail("TOP " + std::to_string(msg), r);
    int32_t fill = zemStatistics(kChan, ZEM_STAT_BUFFER_FILL);
    if (fill < 0 || static_cast<size_t>(fill) > buf.size()) fill = 0;
    int32_t received = zemStatistics(kChan, ZEM_STAT_TEXT_BYTES);
    bool cut = received < 0 || received > fill;
    std::string text(buf.data(), static_cast<size_t>(fill));
    // The first line is the server's status line.
    size_t eol = text.find('\n');
    std::string status = text.substr(0, eol);
    if (status.compare(0, 3, "+OK") != 0) {
        std::fprintf(stderr, "%s: TOP %d: the server refused: %s\n", kTool, msg,
                     Printable(StripLineEnd(status)).c_str());
        return kExitFailed;
    }
    text = Printable(ToUnixLines(eol == std::string::npos ? "" : text.substr(eol + 1)), true);
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (cut) {
        std::fprintf(stderr, "%s: TOP %d: the output was cut after %d bytes (use fetch --raw)\n", kTool, msg, fill);
        return kExitFailed;
    }
    return Disconnect(false);
}

int CmdFetch(int32_t msg, const FetchOptions &f) {
    std::string name = f.name;
    if (name.empty()) {
        name = "msg-" + std::to_string(msg) + ".eml";
        if (f.byUid) {
            std::vector<std::string> lines;
            if (int rc = Uids(msg, 1, lines)) return rc;
            std::vector<std::string> parts = Split(lines.empty() ? "" : lines[0], ' ');
            if (parts.size() >= 2) name = SafeName(parts[1]) + ".eml";
        }
    } else if (name.find('/') != std::string::npos) {
        return Usage("--name '" + name + "': a file name without directory (use --dir)");
    }
    if (int rc = CheckDirs(f, name)) return rc;
    Saved s;
    int rc = FetchOne(msg, f, name, s);
    RemoveEmptyAttachDir();
    if (rc != kExitOk) return rc;
    PrintSaved(s);
    return Disconnect(false);
}

int CmdFetchAll(const FetchOptions &f) {
    int32_t count = 0;
    if (int rc = Count(count)) return rc;
    std::map<int32_t, std::string> names;
    if (f.byUid && count > 0) {
        std::vector<std::string> lines;
        if (int rc = Uids(0, count, lines)) return rc;
        for (const std::string &l : lines) {
            std::vector<std::string> parts = Split(l, ' ');
            if (parts.size() < 2) continue;
            char *end = nullptr;
            long n = std::strtol(parts[0].c_str(), &end, 10);
            if (*end == '\0' && n >= 1 && n <= count) names[static_cast<int32_t>(n)] = SafeName(parts[1]) + ".eml";
        }
    }
    if (int rc = CheckDirs(f, "msg-" + std::to_string(count) + ".eml")) return rc;

    // The sizes first, so that the bar can run over the bytes of the whole mailbox.
    std::vector<int32_t> sizes(static_cast<size_t>(count) + 1, 0);
    int64_t total = 0;
    for (int32_t i = 1; i <= count; ++i) {
        if (int rc = Size(i, sizes[static_cast<size_t>(i)])) return rc;
        total += sizes[static_cast<size_t>(i)];
    }
    int64_t t0 = NowMs(), base = 0, bytes = 0;
    Progress bar(!g.quiet && StderrIsTerminal(), "message 0/" + std::to_string(count), total);
    int saved = 0, failed = 0, deleted = 0;
    for (int32_t i = 1; i <= count && !Interrupted(); ++i) {
        std::string name = names.count(i) ? names[i] : "msg-" + std::to_string(i) + ".eml";
        Saved s;
        bar.SetText("message " + std::to_string(i) + "/" + std::to_string(count));
        int rc = FetchOne(i, f, name, s, &bar, base);
        base += sizes[static_cast<size_t>(i)];
        bar.Update(base);
        if (rc != kExitOk) {
            ++failed;
            // A failed request closes the connection; nothing more can be done in this
            // session, and marks for deletion made in it are dropped by the server.
            if (zemStatistics(kChan, ZEM_STAT_CONNECTION) != 1) break;
            continue;
        }
        ++saved;
        bytes += s.bytes;
        bar.Finish();
        PrintSaved(s);
        // Delete only what was saved completely.
        if (f.del) {
            if (Delete(i) != kExitOk) {
                ++failed;
                break;
            }
            ++deleted;
        }
    }
    bar.Finish();
    RemoveEmptyAttachDir();
    int32_t quit = CloseChannel(kChan);
    if (deleted > 0 && quit < 0) {
        ReportFailure(kTool, kChan, "QUIT (the deletions were not committed)", quit);
        deleted = 0;
        ++failed;
    }
    std::printf("saved %d of %d message%s", saved, count, count == 1 ? "" : "s");
    if (f.del) std::printf(", deleted %d", deleted);
    if (saved > 0)
        std::printf(" (%s in %.2f s)", HumanBytes(bytes).c_str(), static_cast<double>(NowMs() - t0) / 1000.0);
    std::printf("\n");
    if (Interrupted()) return kExitInterrupted;
    return failed ? kExitFailed : kExitOk;
}

int CmdDelete(const std::vector<int32_t> &msgs) {
    // Every number must exist before anything is marked.
    for (int32_t m : msgs) {
        int32_t size = 0;
        if (int rc = Size(m, size)) return rc;
    }
    for (int32_t m : msgs)
        if (int rc = Delete(m)) return rc;
    if (int rc = Disconnect(true)) return rc;
    for (int32_t m : msgs) std::printf("deleted %d\n", m);
    return kExitOk;
}

int Run(int argc, char **argv) {
    CLI::App app{"Read, save and delete the messages of a POP3 mailbox with the ZEM32 library.", kTool};
    app.get_formatter()->column_width(34);
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.footer(
        "Global options may stand before or after the subcommand. Messages are numbered from 1\n"
        "as in RFC 1939. Timing values are milliseconds.\n\n"
        "Exit status: 0 done; 2 bad arguments or a refused accounts file; 3 connection or\n"
        "login failed; 4 a mailbox operation failed or a message does not exist; 5 the server\n"
        "broke the protocol (over 1000000 messages, a message over 1 GiB); 70 out of memory\n"
        "or internal error; 130 interrupted.\n"
        "Passwords: --password-file, --password-command, ZEM_POP3_PASSWORD, or a prompt on a\n"
        "terminal; --account NAME reads ~/.config/zem/accounts.\n\n"
        "Example:\n"
        "  zem-pop --server 127.0.0.1 --port 21110 --user alice@zem.test --password-file ~/.zem-pass \\\n"
        "          fetch 1 --dir mail      (attachments into mail/attachments/)");
    app.set_version_flag("--version", VersionText("zem-pop"));

    app.add_option("-s,--server", g.server, "POP3 server name or address")->envname("ZEM_POP3_HOST")->capture_default_str();
    app.add_option("-p,--port", g.port, "POP3 port")->envname("ZEM_POP3_PORT")->check(CLI::Range(1, 65535))->capture_default_str();
    app.add_option("-u,--user", g.user, "mailbox user name")->envname("ZEM_POP3_USER");
    app.add_option("-w,--password", g.secret.value,
                   "mailbox password (visible to other users: prefer the environment or the options below)")
        ->envname("ZEM_POP3_PASSWORD");
    AddSecretOptions(app, g.secret);
    app.add_option("--account", g.account, "use the server, port, user and password command of account NAME");
    app.add_option("--accounts", g.accountsFile, "the accounts file (default ~/.config/zem/accounts)")
        ->envname("ZEM_ACCOUNTS");
    app.add_flag("--apop", g.apop, "log in with APOP instead of USER/PASS");
    AddTlsOptions(app, g.tls);
    app.add_option("--log", g.logFile, "write the library's trace of the session to FILE");
    app.add_flag("--paced", g.paced, "keep the library's pauses (step delay 25, login 200, close 500 ms); default none");
    app.add_option("--step-delay", g.stepDelay, "ms between a command and its reply poll (0; 25 with --paced)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--reply-timeout", g.replyTimeout, "ms to wait for a reply (25000)")->check(CLI::NonNegativeNumber);
    app.add_option("--connect-timeout", g.connectTimeout, "ms to wait for the connection (60000)")->check(CLI::NonNegativeNumber);
    app.add_option("--data-wait", g.dataWait, "ms a read waits for the server's data (25000)")->check(CLI::NonNegativeNumber);
    app.add_flag("-q,--quiet", g.quiet, "no progress bar");

    auto *count = app.add_subcommand("count", "print the number of messages (STAT)");
    auto *list = app.add_subcommand("list", "print 'number size' for every message (LIST)");

    int32_t uidMsg = 0;
    auto *uidl = app.add_subcommand("uidl", "print 'number unique-id' for every message, or for one (UIDL)");
    uidl->add_option("msg", uidMsg, "message number (default: all)")->check(CLI::Range(1, 2147483647));

    int32_t topMsg = 0, topLines = 0;
    auto *top = app.add_subcommand("top", "print the header and the first LINES body lines of a message (TOP)");
    top->add_option("msg", topMsg, "message number")->required()->check(CLI::Range(1, 2147483647));
    top->add_option("lines", topLines, "body lines (default 0: the header only)")->check(CLI::NonNegativeNumber);

    FetchOptions fo;
    int32_t fetchMsg = 0;
    auto addFetchOptions = [&](CLI::App *sub) {
        sub->add_option("-d,--dir", fo.dir, "directory for the message file")->capture_default_str();
        sub->add_option("-A,--attach-dir", fo.attachDir, "directory for decoded attachments (default: DIR/attachments)");
        sub->add_flag("--raw", fo.raw, "save the message as received, without decoding attachments");
        sub->add_option("--raw-pause", fo.rawPause, "ms of silence that end a raw save")->check(CLI::Range(100, 600000))
            ->capture_default_str();
        sub->add_flag("--numbered", fo.numbered, "name attachments 'N-name'");
        sub->add_flag("--save-noname", fo.saveNoname, "also save base64 parts without a file name ('noname')");
        sub->add_flag("--by-uid", fo.byUid, "name message files by their unique id instead of 'msg-N.eml'");
    };
    auto *fetch = app.add_subcommand("fetch", "save one message and decode its attachments (RETR)");
    fetch->add_option("msg", fetchMsg, "message number")->required()->check(CLI::Range(1, 2147483647));
    fetch->add_option("-n,--name", fo.name, "file name of the saved message (default msg-N.eml)");
    addFetchOptions(fetch);

    auto *fetchAll = app.add_subcommand("fetch-all", "save every message; with --delete, delete each one saved");
    fetchAll->add_flag("--delete", fo.del, "delete each message once it was saved completely");
    addFetchOptions(fetchAll);

    std::vector<int32_t> delMsgs;
    auto *del = app.add_subcommand("delete", "delete messages (DELE, committed by QUIT)");
    del->add_option("msg", delMsgs, "message numbers")->required()->check(CLI::Range(1, 2147483647));

    try {
        app.parse(argc, argv);
        if (g.tls.mode == ZEM_TLS_IMPLICIT && app.get_option("--port")->count() == 0) g.port = 995;
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    }

    if (!g.account.empty()) {
        Account acc;
        std::string error;
        if (!LoadAccount(g.accountsFile.empty() ? DefaultAccountsPath() : g.accountsFile, g.account, acc, error))
            return Usage(error);
        // What the command line (or its environment variables) gives wins.
        std::string host = acc.Get("pop3_host").empty() ? acc.Get("host") : acc.Get("pop3_host");
        if (app.count("--server") == 0 && !host.empty()) g.server = host;
        if (app.count("--port") == 0 && acc.Port("pop3_port") > 0) g.port = acc.Port("pop3_port");
        if (app.count("--user") == 0 && !acc.Get("user").empty()) g.user = acc.Get("user");
        if (app.count("--apop") == 0 && acc.Get("apop") == "on") g.apop = true;
        if (g.secret.value.empty() && g.secret.file.empty() && g.secret.command.empty()) {
            g.secret.command = acc.Get("password_command");
            g.secret.file = acc.Get("password_file");
        }
        if (app.count("--tls") == 0) {
            if (!TlsModeFromName(acc.Get("tls"), g.tls.mode))
                return Usage("account '" + g.account + "': unknown tls mode '" + acc.Get("tls") + "'");
            if (g.tls.mode == ZEM_TLS_IMPLICIT && app.count("--port") == 0 && acc.Port("pop3_port") <= 0) g.port = 995;
        }
    }

    InstallSignalHandlers();
    int rc = Connect();
    if (rc == kExitOk) {
        if (count->parsed()) rc = CmdCount();
        else if (list->parsed()) rc = CmdList();
        else if (uidl->parsed()) rc = CmdUidl(uidMsg);
        else if (top->parsed()) rc = CmdTop(topMsg, topLines);
        else if (fetch->parsed()) rc = CmdFetch(fetchMsg, fo);
        else if (fetchAll->parsed()) rc = CmdFetchAll(fo);
        else if (del->parsed()) rc = CmdDelete(delMsgs);
    }
    if (rc != kExitOk) zemAbort(kChan);
    zemRelease();
    return rc;
}

} // namespace

int main(int argc, char **argv) { return RunGuarded(kTool, Run, argc, argv); }
