// The channel's log file: every entry is formatted into TextBuffer (cut at its size) and
// written with one write call, so the file is complete up to the last call.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "frame/channel.h"

namespace zem {

inline bool Logging(const Channel &ch) { return ch.LogFile != 0; }
void LogBytes(Channel &ch, const char *bytes, int32_t n);
void LogText(Channel &ch, const char *text);
// printf-like; the result is cut at the size of TextBuffer.
void LogFormat(Channel &ch, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Traffic: the tag ("S: ", "P: ", "r: ", "R: ") and the bytes in one entry.
void LogTraffic(Channel &ch, const char *tag, const char *bytes, int32_t n);

// What the log shows in place of a secret (a password, a token, a digest, a SASL answer):
// always the same text, so its length tells nothing either.
constexpr char kSecretMask[] = "********";
// Traffic that carries a secret: the tag, the first `shown` bytes, kSecretMask and the
// line end the bytes finish with, in one entry. Nothing past `shown` is ever written.
void LogTrafficMasked(Channel &ch, const char *tag, const char *bytes, int32_t n, int32_t shown);
// Formats into a caller buffer, always terminated, cut at size; returns the length written.
int32_t FormatText(char *buf, int32_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// The memory error line "%s: Chan=%d, Index=%d, Code=%d\r\n".
void LogMemoryError(int32_t chan, const char *message, int32_t slot, int32_t code);

} // namespace zem
