// What the benchmark drivers share: the process's peak resident set size (the memory
// column) and making the output folders.
#pragma once
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zb {

// Peak resident set size of the process in KiB (VmHWM), or -1.
inline long PeakRssKb() {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
    std::fclose(f);
    return kb;
}

// Starts a new peak from the current resident size (Linux: "5" resets VmHWM).
inline void ResetPeakRss() {
    FILE *f = std::fopen("/proc/self/clear_refs", "w");
    if (f == nullptr) return;
    std::fputs("5", f);
    std::fclose(f);
}

// mkdir -p; false (with the reason on stderr) when a part cannot be made.
inline bool MakeDirs(const std::string &d) {
    for (size_t i = 1; i <= d.size(); ++i) {
        if (i < d.size() && d[i] != '/') continue;
        const std::string part = d.substr(0, i);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "mkdir %s: %s\n", part.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

} // namespace zb
