#include "accounts.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zemtool {

namespace {

// An accounts file is a few lines; anything bigger is not one.
constexpr off_t kMaxFileSize = 1 << 20;

// The keys an account may set; an unknown key is a mistake worth reporting.
const std::set<std::string> kKeys = {"host", "smtp_host", "pop3_host", "smtp_port", "pop3_port", "tls", "user",
                                     "from", "password_command", "password_file", "ca_file", "auth", "apop"};

std::string Trim(std::string s) {
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

std::string UserName(uid_t uid) {
    const struct passwd *pw = getpwuid(uid);
    std::string id = "uid " + std::to_string(uid);
    return pw != nullptr ? std::string(pw->pw_name) + " (" + id + ")" : id;
}

// The file holds credentials or the commands that fetch them, and the tool runs its
// password_command: like msmtp, take it only when it is the user's own and private. The
// checks are made on the open descriptor, so the file read is the file checked; a
// symbolic link is not followed at all.
bool ReadPrivateFile(const std::string &path, std::string &text, std::string &error) {
    const std::string what = "accounts file " + path;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = errno == ELOOP ? what + " is a symbolic link; refused: name the file itself"
                               : what + ": cannot open it: " + std::strerror(errno);
        return false;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = what + " is not a regular file; refused";
    } else if (st.st_uid != geteuid()) {
        // Root too: a file someone else wrote must not choose the command root runs.
        error = what + " belongs to " + UserName(st.st_uid) + ", not to " + UserName(geteuid()) +
                "; refused: it must be your own file";
    } else if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = what + " is open to other users (mode " + mode + "); refused: chmod 600 " + path;
    } else if (st.st_size > kMaxFileSize) {
        error = what + " is larger than 1 MiB; refused";
    } else {
        char buf[8192];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() <= static_cast<size_t>(kMaxFileSize))
            text.append(buf, static_cast<size_t>(n));
        if (n < 0) error = what + ": cannot read it: " + std::strerror(errno);
    }
    close(fd);
    return error.empty();
}

} // namespace

std::string Account::Get(const std::string &key) const {
    auto it = values.find(key);
    return it == values.end() ? "" : it->second;
}

int Account::Port(const std::string &key) const { return std::atoi(Get(key).c_str()); }

std::string DefaultAccountsPath() {
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/zem/accounts";
    const char *home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/zem/accounts";
}

bool LoadAccount(const std::string &path, const std::string &name, Account &out, std::string &error) {
    std::string text;
    if (!ReadPrivateFile(path, text, error)) return false;
    std::istringstream in(text);
    std::map<std::string, std::string> defaults, chosen;
    std::map<std::string, std::string> *current = &defaults;
    bool found = false;
    std::string line;
    for (int no = 1; std::getline(in, line); ++no) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        size_t sp = line.find_first_of(" \t");
        std::string key = line.substr(0, sp);
        std::string value = sp == std::string::npos ? "" : Trim(line.substr(sp));
        if (key == "defaults") {
            current = &defaults;
        } else if (key == "account") {
            if (value.empty()) {
                error = path + ":" + std::to_string(no) + ": 'account' needs a name";
                return false;
            }
            static std::map<std::string, std::string> other;
            other.clear();
            found = found || value == name;
            current = value == name ? &chosen : &other;
        } else if (kKeys.count(key) == 0) {
            error = path + ":" + std::to_string(no) + ": unknown key '" + key + "'";
            return false;
        } else {
            (*current)[key] = value;
        }
    }
    if (!found) {
        error = "accounts file " + path + ": no account '" + name + "'";
        return false;
    }
    out.name = name;
    out.values = defaults;
    for (const auto &kv : chosen) out.values[kv.first] = kv.second;
    return true;
}

} // namespace zemtool
