// zem-send: sends one message through an SMTP server with the ZEM32 library.
//
// The channel runs in non-blocking mode: the tool calls zemDriver itself and, between
// steps, draws a progress bar from the byte counters (zemStatistics index 15).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "accounts.h"
#include "common.h"
#include "tls_options.h"
#include "message_headers.h"
#include "secrets.h"

using namespace zemtool;

namespace {

const char *const kTool = "zem-send";

struct Options {
    TlsCli tls;
    std::string server = "127.0.0.1";
    int port = 25;
    std::string from;
    std::string replyTo;
    std::vector<std::string> to, cc, bcc;
    std::string subject;
    std::string text;
    std::string textFile;
    bool textStdin = false;
    bool html = false;
    int bodyType = -1;
    std::string contentType;
    std::vector<std::string> attach;
    std::vector<std::string> headers;
    bool ehlo = false;
    std::string user;
    SecretOptions secret;     // the password: file, command, environment or prompt
    std::string account;      // --account NAME of the accounts file
    std::string accountsFile; // --accounts FILE
    std::string accountTls;   // the account's TLS mode, used when --tls is not given
    bool readRecipients = false; // -t: a ready-made message, recipients from its header
    std::string messageFile;     // -t: the message file ('-' or empty: standard input)
    std::string logFile;
    int stepDelay = -1, replyTimeout = -1, connectTimeout = -1, dataTimeout = -1;
    bool paced = false;       // keep the library's own pauses
    bool pass8bit = false;
    bool noInline = false;
    bool quiet = false;
    std::string token;        // OAuth 2.0 bearer token (XOAUTH2 / OAUTHBEARER)
    bool continuePastRefused = false;
    std::string charset;      // text part charset; "" = utf-8 when the text needs one
};

// Everything the library is handed, prepared before the library is touched.
struct Prepared {
    std::string to, cc, bcc;  // lists joined with the recipient separator ','
    std::string message;      // inline text, or "@path" for a text file
    std::string attachments;  // "path|shown name" items joined by attachSep
    char attachSep = ',';
    int64_t estimate = 0;     // bytes of text and encoded attachment lines to send
    int recipients = 0;
    std::string password;     // resolved from the secret options
    std::string tempFile;     // removed at exit
};

int Usage(const std::string &msg) {
    std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", kTool, msg.c_str());
    return kExitUsage;
}

// The library wants every address in angle brackets (RFC 5321 s4.1.2 path): a bare
// address is wrapped, "Name <user@host>" is kept as given.
std::string Bracketed(std::string a) {
    while (!a.empty() && (a.front() == ' ' || a.front() == '\t')) a.erase(a.begin());
    while (!a.empty() && (a.back() == ' ' || a.back() == '\t')) a.pop_back();
    if (a.find('<') != std::string::npos) return a;
    return "<" + a + ">";
}

int CheckAddress(const std::string &option, const std::string &addr) {
    int32_t r = zemVerifyFormat(addr.c_str());
    if (r == 1) return kExitOk;
    return Usage(option + " '" + addr + "': " + ErrorText(kChan, r));
}

// Joins one recipient option into the library's list; each address is checked first.
int JoinRecipients(const std::string &option, const std::vector<std::string> &in, std::string &out, int &count) {
    for (const std::string &raw : in) {
        if (raw.find(',') != std::string::npos)
            return Usage(option + " '" + raw + "': one address per option (',' separates the list)");
        std::string a = Bracketed(raw);
        if (int rc = CheckAddress(option, a)) return rc;
        if (!out.empty()) out += ',';
        out += a;
        ++count;
    }
    return kExitOk;
}

std::string ReadAll(FILE *f) {
    std::string s;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

// A text that starts with '@' would be taken for a file name by the library: such a
// text goes through a temporary file instead.
bool InlineOrTempFile(const std::string &text, Prepared &p) {
    if (text.empty() || text[0] != '@') {
        p.message = text;
        return true;
    }
    const char *tmpdir = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/zem-send-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    p.tempFile = name.data();
    p.message = "@" + p.tempFile;
    return ok;
}

// -t: the message as it stands, less its Bcc lines, in a private temporary file; the
// recipients of its To, Cc and Bcc lines join those of the command line.
int PrepareMessage(const Options &o, Prepared &p, std::string &from) {
    std::string text;
    if (o.messageFile.empty() || o.messageFile == "-") {
        text = ReadAll(stdin);
    } else {
        FILE *f = std::fopen(o.messageFile.c_str(), "rb");
        if (f == nullptr) return Usage("'" + o.messageFile + "': not a readable file");
        text = ReadAll(f);
        std::fclose(f);
    }
    MessageHeader h = ReadMessageHeader(text);
    if (!h.complete) return Usage("the message has no header lines ending in an empty line");
    std::vector<std::string> to = o.to, cc = o.cc, bcc = o.bcc;
    for (const std::string &a : h.to) to.push_back(a);
    for (const std::string &a : h.cc) cc.push_back(a);
    for (const std::string &a : h.bcc) bcc.push_back(a);
    if (to.empty() && cc.empty() && bcc.empty()) return Usage("-t: the message names no recipient (To, Cc, Bcc)");
    if (int rc = JoinRecipients("To", to, p.to, p.recipients)) return rc;
    if (int rc = JoinRecipients("Cc", cc, p.cc, p.recipients)) return rc;
    if (int rc = JoinRecipients("Bcc", bcc, p.bcc, p.recipients)) return rc;
    if (from.empty()) from = h.from;
    std::string stripped = WithoutBcc(text, h);
    const char *tmpdir = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/zem-send-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data()); // mode 0600: the message is nobody else's business
    if (fd < 0) return Usage("cannot write a temporary file for the message");
    p.tempFile = name.data();
    bool ok = write(fd, stripped.data(), stripped.size()) == static_cast<ssize_t>(stripped.size());
    close(fd);
    if (!ok) return Usage("cannot write a temporary file for the message");
    p.message = p.tempFile;
    p.estimate = static_cast<int64_t>(stripped.size());
    return kExitOk;
}

int Prepare(Options &o, Prepared &p) {
    if (!o.user.empty() && o.token.empty()) { // a token stands in for the password
        std::string error;
        if (!ResolveSecret(o.secret, "password for " + o.user, p.password, error)) return Usage(error);
    }
    if (o.readRecipients) {
        if (!o.subject.empty() || !o.text.empty() || !o.textFile.empty() || o.textStdin || !o.attach.empty() ||
            !o.headers.empty() || o.html || o.bodyType >= 0 || !o.contentType.empty())
            return Usage("-t sends the message as it stands: no --subject, --text, --attach, --header or body type");
        if (int rc = PrepareMessage(o, p, o.from)) return rc;
        if (o.from.empty()) return Usage("no sender: give --from (or a From line in the message)");
        return CheckAddress("--from", Bracketed(o.from));
    }
    if (o.from.empty()) return Usage("--from is required");
    if (o.to.empty()) return Usage("at least one --to is required");
    if (int rc = JoinRecipients("--to", o.to, p.to, p.recipients)) return rc;
    if (int rc = JoinRecipients("--cc", o.cc, p.cc, p.recipients)) return rc;
    if (int rc = JoinRecipients("--bcc", o.bcc, p.bcc, p.recipients)) return rc;
    if (int rc = CheckAddress("--from", Bracketed(o.from))) return rc;
    if (!o.replyTo.empty())
        if (int rc = CheckAddress("--reply-to", Bracketed(o.replyTo))) return rc;
    if (!o.headers.empty() && o.subject.empty())
        return Usage("--header needs --subject (extra header lines follow the Subject line)");
    for (const std::string &h : o.headers)
        if (h.empty() || h.find_first_of("\r\n") != std::string::npos || h.find(':') == std::string::npos)
            return Usage("--header '" + h + "': expected one line of the form 'Name: value'");
    if (!o.token.empty() && o.user.empty()) return Usage("--token needs --user");

    // The message text.
    if (o.textStdin || o.textFile == "-") {
        std::string text = ReadAll(stdin);
        if (!InlineOrTempFile(text, p)) return Usage("cannot write a temporary file for the text");
        p.estimate += static_cast<int64_t>(text.size());
    } else if (!o.textFile.empty()) {
        int64_t size = ReadableFileSize(o.textFile);
        if (size < 0) return Usage("--text-file '" + o.textFile + "': not a readable file");
        p.message = "@" + o.textFile;
        p.estimate += size;
    } else if (!InlineOrTempFile(o.text, p)) {
        return Usage("cannot write a temporary file for the text");
    } else {
        p.estimate += static_cast<int64_t>(o.text.size());
    }

    // Attachments: "path" or "path|shown name". The shown name is always passed, so
    // that the name in the message never depends on how the path is written.
    std::vector<std::string> items;
    for (const std::string &a : o.attach) {
        size_t bar = a.find('|');
        std::string path = a.substr(0, bar);
        std::string shown = bar == std::string::npos ? path.substr(path.find_last_of('/') + 1) : a.substr(bar + 1);
        if (shown.empty() || shown.find_first_of("/\\:") != std::string::npos)
            return Usage("--attach '" + a + "': the shown name must be a plain file name");
        int64_t size = ReadableFileSize(path);
        if (size < 0) return Usage("--attach '" + path + "': not a readable file");
        p.estimate += Base64LineSize(size);
        items.push_back(path + "|" + shown);
    }
    // The list separator must not occur in any item.
    const char candidates[] = {',', ';', '\t', '\x1f'};
    bool found = false;
    for (char c : candidates) {
        bool clash = false;
        for (const std::string &it : items) clash = clash || it.find(c) != std::string::npos;
        if (!clash) {
            p.attachSep = c;
            found = true;
            break;
        }
    }
    if (!found) return Usage("attachment paths use every list separator the tool can choose");
    for (const std::string &it : items) {
        if (!p.attachments.empty()) p.attachments += p.attachSep;
        p.attachments += it;
    }
    return kExitOk;
}

// Library codes that mean the arguments were refused before anything was sent.
bool IsArgumentCode(int32_t code) {
    switch (code) {
    case ZEM_ERR_EMPTY_ADDRESS: case ZEM_ERR_FROM_NULL: case ZEM_ERR_MISSING_AT:
    case ZEM_ERR_MISSING_FROM: case ZEM_ERR_MISSING_LT: case ZEM_ERR_MISSING_GT:
    case ZEM_ERR_NO_RECIPIENT: case ZEM_ERR_TO_NULL: case ZEM_ERR_SERVER_MISSING:
    case ZEM_ERR_TOO_MANY_AT: case ZEM_ERR_UNEXPECTED_GT: case ZEM_ERR_BAD_SERVER_NAME:
    case ZEM_ERR_BAD_CHAR: case ZEM_ERR_CANNOT_OPEN_FILE:
        return true;
    default:
        return false;
    }
}

bool IsAscii(const std::string &t) {
    for (char c : t)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// The message text: the string, or the file an "@path" names.
std::string TextOf(const std::string &message) {
    if (message.empty() || message[0] != '@') return message;
    std::ifstream f(message.substr(1), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int Fail(const std::string &what, int32_t code, int status) {
    ReportFailure(kTool, kChan, what, code);
    if (code == kInterruptedCode) return kExitInterrupted;
    return IsArgumentCode(code) ? kExitUsage : status;
}

int ApplySettings(const Options &o, const Prepared &p) {
    if (!o.logFile.empty() && zemStringParam(kChan, ZEM_STRING_LOG_FILE, o.logFile.c_str()) < 0)
        return Usage("--log '" + o.logFile + "': cannot create the file");
    zemIntegerParam(kChan, ZEM_PARAM_SMTP_PORT, o.port);
    ApplyTlsOptions(kChan, o.tls);
    ApplyPacing(kChan, o.paced);
    if (o.stepDelay >= 0) zemIntegerParam(kChan, ZEM_PARAM_STEP_DELAY, o.stepDelay);
    if (o.replyTimeout >= 0) zemIntegerParam(kChan, ZEM_PARAM_REPLY_TIMEOUT, o.replyTimeout);
    if (o.connectTimeout >= 0) zemIntegerParam(kChan, ZEM_PARAM_CONNECT_TIMEOUT, o.connectTimeout);
    if (o.dataTimeout >= 0) zemIntegerParam(kChan, ZEM_PARAM_DATA_TIMEOUT, o.dataTimeout);
    int bodyType = o.bodyType >= 0 ? o.bodyType : o.html ? 2 : !o.contentType.empty() ? 9 : 0;
    zemIntegerParam(kChan, ZEM_PARAM_BODY_TYPE, bodyType);
    if (!o.contentType.empty()) zemStringParam(kChan, ZEM_STRING_CONTENT_TYPE, o.contentType.c_str());
    if (o.pass8bit) zemIntegerParam(kChan, ZEM_PARAM_PASS_8BIT, 1);
    // Non-ASCII text goes out intact as UTF-8 unless 8-bit passing or a charset was asked for.
    std::string charset = o.charset;
    if (charset.empty() && !o.pass8bit && !IsAscii(TextOf(p.message))) charset = "utf-8";
    if (!charset.empty() && zemStringParam(kChan, ZEM_STRING_TEXT_CHARSET, charset.c_str()) < 0)
        return Usage("--charset '" + charset + "': unknown character set");
    if (o.continuePastRefused) zemIntegerParam(kChan, ZEM_PARAM_CONTINUE_PAST_REFUSED, 1);
    zemIntegerParam(kChan, ZEM_PARAM_INLINE_IMAGES, o.noInline ? 0 : 1);
    zemIntegerParam(kChan, ZEM_PARAM_RECIPIENT_SEP, ',');
    zemIntegerParam(kChan, ZEM_PARAM_ATTACH_SEP, p.attachSep);
    zemIntegerParam(kChan, ZEM_PARAM_DISPLAY_SEP, '|');
    // Authentication needs EHLO: with it the library authenticates whenever the server
    // offers a mechanism it knows (CRAM-MD5, LOGIN, PLAIN, in that order of preference).
    bool ehlo = o.ehlo || !o.user.empty();
    zemIntegerParam(kChan, ZEM_PARAM_USE_EHLO, ehlo ? 1 : 0);
    if (!o.user.empty()) {
        zemStringParam(kChan, ZEM_STRING_USER_NAME, o.user.c_str());
        zemStringParam(kChan, ZEM_STRING_AUTH_PASSWORD, p.password.c_str());
    }
    if (!o.token.empty() && zemStringParam(kChan, ZEM_STRING_OAUTH_TOKEN, o.token.c_str()) < 0)
        return Usage("--token: longer than 4096 characters");
    for (size_t i = 0; i < o.headers.size(); ++i)
        zemStringParam(kChan, i == 0 ? ZEM_STRING_EXTRA_HEADERS : ZEM_STRING_ADD_HEADER, o.headers[i].c_str());
    return kExitOk;
}

// The refused recipients of the last send, one "refused: address reply" line each.
void ReportRefused() {
    char list[4096];
    if (zemDebug(kChan, ZEM_DEBUG_REFUSED, list, sizeof list) <= 0) return;
    for (char *line = std::strtok(list, "\r\n"); line != nullptr; line = std::strtok(nullptr, "\r\n"))
        std::fprintf(stderr, "%s: refused %s\n", kTool, Printable(line).c_str());
}

int Send(const Options &o, const Prepared &p) {
    if (int rc = ApplySettings(o, p)) return rc;
    SetAutoCall(kChan, false);

    bool bar = !o.quiet && StderrIsTerminal();
    int64_t t0 = NowMs();
    std::string where = o.server + ":" + std::to_string(o.port);
    Progress progress(bar, "connecting to " + where, 0);

    std::string from = Bracketed(o.from);
    std::string replyTo = o.replyTo.empty() ? "" : Bracketed(o.replyTo);
    int32_t r = zemSmtpConnect(kChan, o.server.c_str(), from.c_str(), replyTo.c_str());
    if (r == 0) r = DriveToEnd(kChan, [&] { progress.Update(0); });
    if (r < 0) {
        progress.Finish();
        return Fail("connecting to " + where, r, kExitConnect);
    }

    progress.SetLabel("sending", p.estimate);
    if (o.readRecipients)
        r = zemSendMessageFile(kChan, p.to.c_str(), p.cc.c_str(), p.bcc.c_str(), p.message.c_str());
    else
        r = zemSendEmail(kChan, p.to.c_str(), p.cc.c_str(), p.bcc.c_str(), o.subject.c_str(), p.message.c_str(),
                         p.attachments.c_str());
    if (r == 0)
        r = DriveToEnd(kChan, [&] { progress.Update(zemStatistics(kChan, ZEM_STAT_BYTES_SENT)); });
    int64_t sent = zemStatistics(kChan, ZEM_STAT_BYTES_SENT);
    progress.Finish();
    ReportRefused();
    if (r < 0) {
        int status = Fail("sending", r, kExitFailed);
        zemAbort(kChan);
        return status;
    }
    // The message is accepted once the final reply came; a failing QUIT does not undo it.
    int32_t c = CloseChannel(kChan);
    if (c < 0 && !o.quiet) std::fprintf(stderr, "%s: note: QUIT failed (%d: %s)\n", kTool, c, ErrorText(kChan, c).c_str());

    double secs = static_cast<double>(NowMs() - t0) / 1000.0;
    size_t files = o.attach.size();
    const int accepted = zemStatistics(kChan, ZEM_STAT_ACCEPTED);
    std::printf("%s: sent %s to %d recipient%s%s via %s in %.2f s\n", kTool, HumanBytes(sent).c_str(), accepted,
                accepted == 1 ? "" : "s",
                files ? (" with " + std::to_string(files) + " attachment" + (files == 1 ? "" : "s")).c_str() : "",
                where.c_str(), secs);
    return kExitOk;
}

// Removes the temporary message file however the tool ends.
struct TempFileGuard {
    const std::string &path;
    ~TempFileGuard() {
        if (!path.empty()) unlink(path.c_str());
    }
};

int Run(int argc, char **argv) {
    Options o;
    CLI::App app{"Send one message through an SMTP server with the ZEM32 library.", kTool};
    app.get_formatter()->column_width(34);
    app.footer(
        "Addresses may be given bare (user@host) or as 'Name <user@host>'.\n"
        "With --user the tool greets with EHLO and authenticates with the best mechanism the\n"
        "server offers (CRAM-MD5, LOGIN, PLAIN). Timing values are milliseconds.\n\n"
        "Exit status: 0 sent; 2 bad arguments, unreadable files or a refused accounts file;\n"
        "3 connection, greeting or authentication failed; 4 the server refused or the transfer\n"
        "failed; 70 out of memory or internal error; 130 interrupted.\n"
        "Passwords: --password-file, --password-command, ZEM_SMTP_PASSWORD, or a prompt on a\n"
        "terminal. -t sends a ready-made message:  zem-send -t < message.eml\n\n"
        "Example:\n"
        "  zem-send --server 127.0.0.1 --port 21025 --user alice@zem.test --password-file ~/.zem-pass \\\n"
        "           --from alice@zem.test --to bob@zem.test --subject Report \\\n"
        "           --text 'See attached.' --attach report.pdf\n"
        "Through a provider (submission on 587 with STARTTLS, or 465 with implicit TLS):\n"
        "  zem-send --server smtp.example.com --port 587 --tls starttls --user me@example.com \\\n"
        "           --from me@example.com --to you@example.org --subject Hello --text 'Hi'\n"
        "  zem-send --server smtp.example.com --tls implicit --user me@example.com ...   (port 465)");
    app.set_version_flag("--version", VersionText("zem-send"));

    app.add_option("-s,--server", o.server, "SMTP server name or address")->envname("ZEM_SMTP_HOST")->capture_default_str();
    app.add_option("-p,--port", o.port, "SMTP port")->envname("ZEM_SMTP_PORT")->check(CLI::Range(1, 65535))->capture_default_str();
    app.add_option("-f,--from", o.from, "sender address (-t: default the message's From)");
    app.add_option("--reply-to", o.replyTo, "Reply-To address");
    // -t alone (no address after it) is sendmail's -t: see --read-recipients.
    app.add_option("-t,--to", o.to, "recipient (repeatable); '-t' alone: --read-recipients")
        ->allow_extra_args(false)->expected(0, 1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--read-recipients", o.readRecipients,
                 "send a ready-made message (standard input or --message) as it stands; recipients from its "
                 "To, Cc and Bcc lines, Bcc lines removed");
    app.add_option("-M,--message", o.messageFile, "with -t: the message file ('-': standard input, the default)");
    app.add_option("-c,--cc", o.cc, "copy recipient (repeatable)")->allow_extra_args(false);
    app.add_option("-b,--bcc", o.bcc, "blind copy recipient (repeatable)")->allow_extra_args(false);
    app.add_option("-S,--subject", o.subject, "subject line");
    auto *text = app.add_option("-m,--text", o.text, "message text");
    auto *textFile = app.add_option("-F,--text-file", o.textFile, "read the message text from a file ('-': standard input)");
    auto *textStdin = app.add_flag("--text-stdin", o.textStdin, "read the message text from standard input");
    text->excludes(textFile, textStdin);
    textFile->excludes(textStdin);
    auto *html = app.add_flag("--html", o.html, "the text is HTML (body type 2)");
    auto *bodyType = app.add_option("--body-type", o.bodyType,
                                    "body type: 0 plain, 1 quoted-printable, 2 HTML, 3 enriched, 4 latin-1, 9 custom")
                         ->check(CLI::IsMember({0, 1, 2, 3, 4, 9}));
    html->excludes(bodyType);
    app.add_option("--content-type", o.contentType, "custom Content-Type line for body type 9 (e.g. 'text/csv')");
    app.add_flag("--8bit", o.pass8bit, "send 8-bit plain text unchanged");
    app.add_option("-a,--attach", o.attach, "attach a file: 'path' or 'path|shown name' (repeatable)")->allow_extra_args(false);
    app.add_flag("--no-inline", o.noInline, "send .gif/.bmp/.tif/.jpg files as attachments, not inline images");
    app.add_option("-H,--header", o.headers, "extra header line 'Name: value' (repeatable; needs --subject)")->allow_extra_args(false);
    app.add_flag("--ehlo", o.ehlo, "greet with EHLO (implied by --user)");
    app.add_option("-u,--user", o.user, "user name for SMTP authentication")->envname("ZEM_SMTP_USER");
    app.add_option("-w,--password", o.secret.value,
                   "password (visible to other users: prefer the environment or the options below)")
        ->envname("ZEM_SMTP_PASSWORD");
    AddSecretOptions(app, o.secret);
    app.add_option("--account", o.account, "use the server, port, user and password command of account NAME");
    app.add_option("--accounts", o.accountsFile, "the accounts file (default ~/.config/zem/accounts)")
        ->envname("ZEM_ACCOUNTS");
    AddTlsOptions(app, o.tls);
    app.add_option("--token", o.token, "OAuth 2.0 bearer token for AUTH OAUTHBEARER or XOAUTH2 (with --user)")
        ->envname("ZEM_SMTP_TOKEN");
    app.add_flag("--continue-past-refused", o.continuePastRefused,
                 "send to the accepted recipients when some are refused (each refusal is reported)");
    app.add_option("--charset", o.charset, "charset of the text part (default: utf-8 for non-ASCII text)");
    app.add_option("--log", o.logFile, "write the library's trace of the session to FILE");
    app.add_flag("--paced", o.paced, "keep the library's pauses (step delay 25, login 200, close 500 ms); default none");
    app.add_option("--step-delay", o.stepDelay, "ms between a command and its reply poll (0; 25 with --paced)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--reply-timeout", o.replyTimeout, "ms to wait for a reply (25000)")->check(CLI::NonNegativeNumber);
    app.add_option("--connect-timeout", o.connectTimeout, "ms to wait for the connection (60000)")->check(CLI::NonNegativeNumber);
    app.add_option("--data-timeout", o.dataTimeout, "ms allowed for each data line (25000)")->check(CLI::NonNegativeNumber);
    app.add_flag("-q,--quiet", o.quiet, "no progress bar; only the one-line result");

    try {
        app.parse(argc, argv);
        // Implicit TLS has its own well-known port (RFC 8314).
        if (o.tls.mode == ZEM_TLS_IMPLICIT && app.get_option("--port")->count() == 0) o.port = 465;
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    }

    // "-t" without an address leaves an empty entry: sendmail's -t.
    std::vector<std::string> to;
    for (const std::string &a : o.to) {
        if (a.empty()) o.readRecipients = true;
        else to.push_back(a);
    }
    o.to = to;
    if (!o.account.empty()) {
        Account acc;
        std::string error;
        if (!LoadAccount(o.accountsFile.empty() ? DefaultAccountsPath() : o.accountsFile, o.account, acc, error))
            return Usage(error);
        // What the command line (or its environment variables) gives wins.
        std::string host = acc.Get("smtp_host").empty() ? acc.Get("host") : acc.Get("smtp_host");
        if (app.count("--server") == 0 && !host.empty()) o.server = host;
        if (app.count("--port") == 0 && acc.Port("smtp_port") > 0) o.port = acc.Port("smtp_port");
        if (app.count("--user") == 0) o.user = acc.Get("user");
        if (app.count("--from") == 0) o.from = acc.Get("from");
        if (o.secret.value.empty() && o.secret.file.empty() && o.secret.command.empty()) {
            o.secret.command = acc.Get("password_command");
            o.secret.file = acc.Get("password_file");
        }
        if (app.count("--tls") == 0) {
            if (!TlsModeFromName(acc.Get("tls"), o.tls.mode))
                return Usage("account '" + o.account + "': unknown tls mode '" + acc.Get("tls") + "'");
            if (o.tls.mode == ZEM_TLS_IMPLICIT && app.count("--port") == 0 && acc.Port("smtp_port") <= 0) o.port = 465;
        }
    }

    InstallSignalHandlers();
    if (zemAttach(1, 0) != 1) {
        std::fprintf(stderr, "%s: the library could not be started\n", kTool);
        return kExitFailed;
    }
    Prepared p;
    TempFileGuard temp{p.tempFile};
    int rc = Prepare(o, p);
    if (rc == kExitOk) rc = Send(o, p);
    zemRelease();
    return rc;
}

} // namespace

int main(int argc, char **argv) { return RunGuarded(kTool, Run, argc, argv); }
