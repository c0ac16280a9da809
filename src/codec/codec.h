// Base64 (RFC 2045 section 6.8) and quoted-printable (RFC 2045 section 6.7) routines
// shared by the SMTP writer, the POP3 reader and the exported buffer codecs.
#ifndef ZEM_CODEC_CODEC_H
#define ZEM_CODEC_CODEC_H

#include <cstdint>

namespace zem {

// Input bytes per encoded line: 57 bytes give 76 characters, the RFC 2045 line limit.
constexpr int32_t kBase64LineBytes = 57;
// Characters of one full encoded line, without its CR LF.
constexpr int32_t kBase64LineChars = 76;

// Encodes n bytes into 4*ceil(n/3) characters followed by CR LF (no NUL). Returns the
// characters written without the CR LF. out needs 4*ceil(n/3) + 2 bytes.
int32_t Base64EncodeLine(const uint8_t *in, int32_t n, char *out);

// Decodes one line of base64 text (no line end inside). Characters outside the
// alphabet, '=' included, count as 0 and keep their place in their group of four;
// characters after the last whole group are ignored. Returns the bytes decoded and
// zero-fills the 4 bytes after them: out needs room for the result + 4.
int32_t Base64DecodeLine(const char *line, int32_t len, uint8_t *out);

// Decodes base64 text of len bytes made of lines ended by CR, LF or CR LF; a NUL ends
// the text. Returns the bytes decoded; out needs room for the result + 4.
int32_t Base64DecodeText(const char *in, int32_t len, uint8_t *out);

// The name the incoming decoder calls for attachment bodies; one decoder serves both.
inline int32_t Base64DecodeTextBulk(const char *in, int32_t len, uint8_t *out) { return Base64DecodeText(in, len, out); }

// Decodes one quoted-printable line (NUL-terminated) into out, at most outSize bytes
// including the NUL that always ends the output. "=" CR (or "=" too near the end for a
// hex pair) is a soft line break that ends the output; "=?" and "=\"" are kept as they
// are (encoded words and quoted strings in headers). Returns the bytes written before
// the NUL; the line may hold 0x00 bytes from "=00", so callers use the count.
int32_t QpDecodeLine(const char *in, char *out, int32_t outSize);

}  // namespace zem

#endif  // ZEM_CODEC_CODEC_H
