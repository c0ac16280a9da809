// Small file helpers of the fuzz targets.
#ifndef ZEM_FUZZ_SUPPORT_H
#define ZEM_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zfz {

// A fresh directory /tmp/zem-fuzz-NAME-XXXXXX for this process.
inline std::string ScratchDir(const char *name) {
    std::string t = std::string("/tmp/zem-fuzz-") + name + "-XXXXXX";
    if (mkdtemp(&t[0]) == nullptr) std::abort();
    return t;
}

inline void WriteBytes(const std::string &path, const std::string &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

} // namespace zfz

#endif
