// The library-wide settings and the two header texts that zemStringParam sets.
#include <cstring>
#include <mutex>

#include "frame/settings.h"

namespace zem {

LibrarySettings gSettings;

namespace {
std::mutex gTextSettingsLock;
char gCustomContentType[kCustomTypeMax + 1];
char gCustomEncoding[kCustomEncodingMax + 1];

int32_t CopyLimited(char *dst, const char *src, int32_t k) {
    int32_t n = 0;
    while (n < k && src[n] != 0) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = 0;
    return n;
}
} // namespace

int32_t SetCustomContentType(const char *text) {
    std::lock_guard<std::mutex> g(gTextSettingsLock);
    return CopyLimited(gCustomContentType, text, kCustomTypeMax);
}
int32_t SetCustomTransferEncoding(const char *text) {
    std::lock_guard<std::mutex> g(gTextSettingsLock);
    return CopyLimited(gCustomEncoding, text, kCustomEncodingMax);
}
void GetCustomContentType(char (&out)[kCustomTypeMax + 1]) {
    std::lock_guard<std::mutex> g(gTextSettingsLock);
    std::memcpy(out, gCustomContentType, sizeof out);
}
void GetCustomTransferEncoding(char (&out)[kCustomEncodingMax + 1]) {
    std::lock_guard<std::mutex> g(gTextSettingsLock);
    std::memcpy(out, gCustomEncoding, sizeof out);
}

} // namespace zem
