// What the integration tests share about the loopback mail servers: running a command,
// the fixture script, and its `env` output as a map.
#pragma once
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <string>

namespace zi {

// Runs a shell command; true for exit status 0. Its output goes to *out.
inline bool Shell(const std::string &cmd, std::string *out = nullptr) {
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) return false;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int status = pclose(p);
    if (out) *out = text;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline const std::string &FixtureScript() {
    static const std::string script = "'" + std::string(ZEM_SOURCE_DIR) + "/tests/fixtures/mailservers.sh'";
    return script;
}

// `mailservers.sh env` as a map: the ports, hosts and state directory.
inline const std::map<std::string, std::string> &FixtureEnv() {
    static const std::map<std::string, std::string> vars = [] {
        std::map<std::string, std::string> v;
        std::string out;
        Shell(FixtureScript() + " env", &out);
        size_t pos = 0;
        while (pos < out.size()) {
            const size_t lf = out.find('\n', pos);
            const std::string line = out.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
            const size_t eq = line.find('=');
            if (eq != std::string::npos) v[line.substr(0, eq)] = line.substr(eq + 1);
            if (lf == std::string::npos) break;
            pos = lf + 1;
        }
        return v;
    }();
    return vars;
}

// One variable of it, "" when absent.
inline std::string FixtureVar(const std::string &name) {
    const auto it = FixtureEnv().find(name);
    return it == FixtureEnv().end() ? std::string() : it->second;
}

} // namespace zi
