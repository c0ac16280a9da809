#include "secrets.h"

#include <cstdio>
#include <fstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

namespace zemtool {

namespace {

std::string FirstLine(const std::string &text) {
    std::string s = text.substr(0, text.find('\n'));
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return s;
}

// Reads a line from the terminal with echo off.
bool Prompt(const std::string &prompt, std::string &out) {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    termios old{};
    bool restore = tcgetattr(fd, &old) == 0;
    if (restore) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    if (write(fd, prompt.data(), prompt.size()) < 0) { /* the prompt is a courtesy */ }
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') line += c;
    if (restore) tcsetattr(fd, TCSAFLUSH, &old);
    close(fd);
    out = FirstLine(line);
    return true;
}

} // namespace

void AddSecretOptions(CLI::App &app, SecretOptions &s) {
    app.add_option("--password-file", s.file, "read the password or token from the first line of FILE");
    app.add_option("--password-command", s.command,
                   "run COMMAND (with /bin/sh) and use the first line it prints, e.g. 'pass show mail'");
}

bool SecretFromCommand(const std::string &command, std::string &out, std::string &error) {
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) {
        error = "--password-command '" + command + "': cannot run it";
        return false;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int st = pclose(p);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        error = "--password-command '" + command + "' failed (exit status " +
                std::to_string(WIFEXITED(st) ? WEXITSTATUS(st) : -1) + ")";
        return false;
    }
    out = FirstLine(text);
    if (out.empty()) {
        error = "--password-command '" + command + "' printed no password";
        return false;
    }
    return true;
}

bool ResolveSecret(const SecretOptions &s, const std::string &prompt, std::string &out, std::string &error) {
    if (!s.file.empty()) {
        std::ifstream in(s.file, std::ios::binary);
        if (!in) {
            error = "--password-file '" + s.file + "': cannot read it";
            return false;
        }
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        out = FirstLine(text);
        if (out.empty()) {
            error = "--password-file '" + s.file + "': its first line is empty";
            return false;
        }
        return true;
    }
    if (!s.command.empty()) return SecretFromCommand(s.command, out, error);
    if (!s.value.empty()) {
        out = s.value;
        return true;
    }
    if (s.prompt && isatty(STDIN_FILENO) && Prompt(prompt + ": ", out) && !out.empty()) return true;
    error = "no password: give --password-file, --password-command or the environment variable";
    return false;
}

} // namespace zemtool
