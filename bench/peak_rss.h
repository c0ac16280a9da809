// The process's peak resident set size, for the benchmarks' memory column.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

} // namespace zb
