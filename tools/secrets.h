// Where the tools take a password or token from, never the command line: a file, a
// command (as msmtp's passwordeval: `pass show mail`), an environment variable, or a
// prompt on the terminal.
#ifndef ZEM_TOOLS_SECRETS_H
#define ZEM_TOOLS_SECRETS_H

#include <string>

namespace CLI { class App; }

namespace zemtool {

struct SecretOptions {
    std::string file;     // --password-file: its first line
    std::string command;  // --password-command: the first line of its output
    std::string value;    // --password or the environment variable named at AddOptions
    bool prompt = true;   // ask on the terminal when nothing else gives one
};

// Adds --password-file and --password-command to `app` (the tool keeps its own
// --password with its environment variable in `value`).
void AddSecretOptions(CLI::App &app, SecretOptions &s);

// The secret, first from --password-file, then --password-command, then `value`, then
// the terminal prompt ("PROMPT: ", no echo). Returns false with `error` set when a source
// was named but fails, or when none gives a secret and there is no terminal.
bool ResolveSecret(const SecretOptions &s, const std::string &prompt, std::string &out, std::string &error);

// Runs `command` with /bin/sh; its first output line, without the line end. False with
// `error` when it cannot run, fails or prints nothing.
bool SecretFromCommand(const std::string &command, std::string &out, std::string &error);

} // namespace zemtool

#endif
