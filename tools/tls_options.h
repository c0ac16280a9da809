// The TLS options both tools share: --tls, --ca-file, --ca-dir, --cert, --key, --insecure.
// Header-only so that each tool adds them with two calls.
#ifndef ZEM_TOOLS_TLS_OPTIONS_H
#define ZEM_TOOLS_TLS_OPTIONS_H

#include <CLI/CLI.hpp>

#include <map>
#include <string>

#include "zem32.h"

namespace zemtool {

struct TlsCli {
    int mode = ZEM_TLS_NONE;
    std::string caFile, caDir, cert, key;
    bool insecure = false;
};

// implicitPort: the usual port of implicit TLS (465 SMTP, 995 POP3), used when --tls
// implicit is given without --port.
inline void AddTlsOptions(CLI::App &app, TlsCli &t) {
    static const std::map<std::string, int> kModes = {{"none", ZEM_TLS_NONE},
                                                      {"starttls", ZEM_TLS_STARTTLS},
                                                      {"on", ZEM_TLS_STARTTLS},
                                                      {"implicit", ZEM_TLS_IMPLICIT},
                                                      {"opportunistic", ZEM_TLS_OPPORTUNISTIC}};
    app.add_option("--tls", t.mode,
                   "TLS: starttls (STARTTLS/STLS required), implicit (TLS from the first byte, ports 465/995), "
                   "opportunistic (STARTTLS/STLS when offered: UNSAFE), none")
        ->transform(CLI::CheckedTransformer(kModes, CLI::ignore_case));
    app.add_option("--ca-file", t.caFile, "trust the CA certificates in this PEM file instead of the system store")
        ->check(CLI::ExistingFile);
    app.add_option("--ca-dir", t.caDir, "trust the CA certificates in this hashed directory (openssl rehash)")
        ->check(CLI::ExistingDirectory);
    app.add_option("--cert", t.cert, "client certificate (PEM)")->check(CLI::ExistingFile);
    app.add_option("--key", t.key, "key of the client certificate (PEM; default: in the --cert file)")
        ->check(CLI::ExistingFile);
    app.add_flag("--insecure", t.insecure, "do not verify the server certificate (logged; for tests only)");
}

// The TLS mode named in an accounts file ("none"/"off", "starttls" or "on" as msmtp
// writes it, "implicit", "opportunistic"); false for another name.
inline bool TlsModeFromName(const std::string &name, int &mode) {
    static const std::map<std::string, int> kNames = {{"", ZEM_TLS_NONE},           {"off", ZEM_TLS_NONE},
                                                      {"none", ZEM_TLS_NONE},       {"starttls", ZEM_TLS_STARTTLS},
                                                      {"on", ZEM_TLS_STARTTLS},
                                                      {"implicit", ZEM_TLS_IMPLICIT}, {"opportunistic", ZEM_TLS_OPPORTUNISTIC}};
    auto it = kNames.find(name);
    if (it == kNames.end()) return false;
    mode = it->second;
    return true;
}

inline void ApplyTlsOptions(int32_t chan, const TlsCli &t) {
    zemIntegerParam(chan, ZEM_PARAM_TLS, t.mode);
    zemIntegerParam(chan, ZEM_PARAM_TLS_VERIFY, t.insecure ? 0 : 1);
    zemStringParam(chan, ZEM_STRING_CA_FILE, t.caFile.c_str());
    zemStringParam(chan, ZEM_STRING_CA_DIR, t.caDir.c_str());
    zemStringParam(chan, ZEM_STRING_CLIENT_CERT, t.cert.c_str());
    zemStringParam(chan, ZEM_STRING_CLIENT_KEY, t.key.c_str());
}

} // namespace zemtool

#endif
