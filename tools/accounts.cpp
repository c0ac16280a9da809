#include "accounts.h"

#include <cstdlib>
#include <fstream>
#include <set>

#include <sys/stat.h>

namespace zemtool {

namespace {

// The keys an account may set; an unknown key is a mistake worth reporting.
const std::set<std::string> kKeys = {"host", "smtp_host", "pop3_host", "smtp_port", "pop3_port", "tls", "user",
                                     "from", "password_command", "password_file", "ca_file", "auth", "apop"};

std::string Trim(std::string s) {
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
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
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "accounts file " + path + ": cannot read it";
        return false;
    }
    if (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) {
        error = "accounts file " + path + " is open to other users (mode " +
                std::to_string((st.st_mode >> 6) & 7) + std::to_string((st.st_mode >> 3) & 7) +
                std::to_string(st.st_mode & 7) + "); refused: chmod 600 " + path;
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        error = "accounts file " + path + ": cannot read it";
        return false;
    }
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
