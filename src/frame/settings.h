// Library-wide settings: set by zemIntegerParam / zemStringParam on any channel, read by
// every channel. They live from load to unload and survive zemRelease. Numbers are atomic
// because one thread may change a setting while another drives a channel with it.
#pragma once
#include <atomic>
#include <cstdint>

namespace zem {

struct LibrarySettings {
    std::atomic<int32_t> stepDelay{25};          // code 1, ms
    std::atomic<int32_t> replyTimeout{25000};    // code 2, ms
    std::atomic<int32_t> connectTimeout{60000};  // code 3, ms
    std::atomic<int32_t> dataLinePause{0};       // code 5, ms
    std::atomic<int32_t> dataLineTimeout{25000}; // codes 11 and 6, ms
    std::atomic<int32_t> pop3DataWait{25000};    // codes 12 and 6, ms
    std::atomic<int32_t> pollInterval{100};      // code 13, ms
    std::atomic<int32_t> closePause{500};        // code 60, ms
    std::atomic<int32_t> loginPause{200};        // code 61, ms
    std::atomic<int32_t> idlePollInterval{30000}; // code 70, ms: NOOP polling without IDLE
    std::atomic<int32_t> wrapColumn{61};         // code 17 (value - 18)
    std::atomic<int32_t> maxLineLength{78};      // code 17
    std::atomic<uint8_t> cleanupAtRelease{1};    // code 24
    std::atomic<uint8_t> pass8Bit{0};            // code 19
    std::atomic<uint8_t> noSavedNote{0};         // code 21
    std::atomic<uint8_t> omitTo{0};              // code 22
    std::atomic<uint8_t> recipientSep{','};      // code 23
    std::atomic<uint8_t> attachSep{','};         // code 25
    std::atomic<uint8_t> displaySep{'|'};        // code 26
};

extern LibrarySettings gSettings;

// The two library-wide header texts. Copies are taken under a small lock so that a text
// being replaced is never read half-written.
constexpr int kCustomTypeMax = 64;       // code 54
constexpr int kCustomEncodingMax = 128;  // code 55
int32_t SetCustomContentType(const char *text);      // returns the count copied
int32_t SetCustomTransferEncoding(const char *text); // returns the count copied
void GetCustomContentType(char (&out)[kCustomTypeMax + 1]);
void GetCustomTransferEncoding(char (&out)[kCustomEncodingMax + 1]);

// Reads one numeric setting.
inline int32_t P(const std::atomic<int32_t> &v) { return v.load(std::memory_order_relaxed); }

inline char RecipientSeparator() { return static_cast<char>(gSettings.recipientSep.load(std::memory_order_relaxed)); }
inline char AttachSeparator() { return static_cast<char>(gSettings.attachSep.load(std::memory_order_relaxed)); }
inline char DisplaySeparator() { return static_cast<char>(gSettings.displaySep.load(std::memory_order_relaxed)); }

} // namespace zem
