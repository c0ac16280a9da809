// Small helpers the tests share: elapsed time, random bytes, and a base64 encoder of the
// tests' own (RFC 2045 section 6.8), so expected bytes never come from the library itself.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>

namespace zt {

using Clock = std::chrono::steady_clock;

inline long MsSince(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

inline std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

// Base64 of data in lines of lineBytes input bytes (57 makes the 76-character lines mailers
// write), each ended by CR LF.
inline std::string Base64Lines(const std::string &data, size_t lineBytes = 57) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t line = 0; line < data.size(); line += lineBytes) {
        const size_t end = std::min(data.size(), line + lineBytes);
        for (size_t i = line; i < end; i += 3) {
            const unsigned b0 = static_cast<uint8_t>(data[i]);
            const unsigned b1 = i + 1 < end ? static_cast<uint8_t>(data[i + 1]) : 0;
            const unsigned b2 = i + 2 < end ? static_cast<uint8_t>(data[i + 2]) : 0;
            out += kAlphabet[b0 >> 2];
            out += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
            out += i + 1 < end ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
            out += i + 2 < end ? kAlphabet[b2 & 63] : '=';
        }
        out += "\r\n";
    }
    return out;
}

} // namespace zt
