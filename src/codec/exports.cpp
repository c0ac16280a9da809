// The exported base64 buffer codecs.
#include <cstdint>

#include "codec/codec.h"
#include "zem32.h"

extern "C" {

ZEM_API int32_t zemEncodeBuffer(const char *Input, char *Output, int32_t Length) {
  if (Length <= 0) return 0;
  if (Input == nullptr || Output == nullptr) return ZEM_ERR_NULL_POINTER;

  // 4 characters per 3 bytes plus CR LF per line of 57 bytes; refuse an input whose
  // encoded size cannot be returned as a count.
  const int64_t lines = (static_cast<int64_t>(Length) + zem::kBase64LineBytes - 1) / zem::kBase64LineBytes;
  const int64_t size = 4 * ((static_cast<int64_t>(Length) + 2) / 3) + 2 * lines;
  if (size > INT32_MAX) return ZEM_ERR_BUFFER_SIZE;

  const uint8_t *in = reinterpret_cast<const uint8_t *>(Input);
  int32_t result = 0;
  int32_t pos = 0;
  while (pos < Length) {
    const int32_t left = Length - pos;
    const int32_t take = left < zem::kBase64LineBytes ? left : zem::kBase64LineBytes;
    result += zem::Base64EncodeLine(in + pos, take, Output + result) + 2;
    pos += take;
  }
  return result;
}

ZEM_API int32_t zemDecodeBuffer(const char *Input, char *Output, int32_t Length) {
  if (Length <= 0) return 0;
  if (Input == nullptr || Output == nullptr) return ZEM_ERR_NULL_POINTER;
  return zem::Base64DecodeText(Input, Length, reinterpret_cast<uint8_t *>(Output));
}

}  // extern "C"
