// The accounts file of the tools, in the manner of msmtp's: ~/.config/zem/accounts (or
// $XDG_CONFIG_HOME/zem/accounts, or --accounts FILE), one "key value" per line:
//
//   # work mail
//   account work
//   host mail.example.org
//   smtp_port 587
//   pop3_port 110
//   tls starttls
//   user ann@example.org
//   from ann@example.org
//   password_command pass show mail
//
// Lines before the first "account" (or after "defaults") give defaults for every
// account. The file holds credentials or the commands that fetch them: it is refused
// unless it is a regular file (not a symbolic link) owned by the user running the tool,
// with no permission for group or others (0600 or stricter).
#ifndef ZEM_TOOLS_ACCOUNTS_H
#define ZEM_TOOLS_ACCOUNTS_H

#include <map>
#include <string>

namespace zemtool {

struct Account {
    std::string name;
    std::map<std::string, std::string> values; // key -> value, defaults merged in

    // The value of `key`, or "" when the account does not set it.
    std::string Get(const std::string &key) const;
    int Port(const std::string &key) const; // 0 when not set
};

// The default path: $XDG_CONFIG_HOME/zem/accounts or ~/.config/zem/accounts.
std::string DefaultAccountsPath();

// Reads account `name` from `path`. False with `error` set when the file cannot be read,
// is refused (see above), has a bad line, or has no such account.
bool LoadAccount(const std::string &path, const std::string &name, Account &out, std::string &error);

} // namespace zemtool

#endif
