// What the service's fuzz targets share: the reader over one input (fixed-size
// pieces taken from the front; a piece the input no longer holds is not taken
// and reads as 0), and a touch of every byte of a range.
#ifndef KRP_FUZZ_SERVICE_FUZZ_INPUT_H
#define KRP_FUZZ_SERVICE_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

struct FuzzInput {
  const uint8_t *p;
  size_t left;
  // Copies the next n bytes to out; false (nothing taken) when fewer remain.
  bool Take(void *out, size_t n) {
    if (left < n) return false;
    memcpy(out, p, n);
    p += n;
    left -= n;
    return true;
  }
  uint8_t U8() {
    uint8_t v = 0;
    Take(&v, 1);
    return v;
  }
  uint16_t U16() {
    uint16_t v = 0;
    Take(&v, 2);
    return v;
  }
  uint32_t U32() {
    uint32_t v = 0;
    Take(&v, 4);
    return v;
  }
};

// Reads every byte of [p, p + n), so that a range reaching outside its
// buffer is reported by AddressSanitizer even where nothing else reads it.
inline volatile uint8_t g_fuzz_sink;
inline void FuzzTouch(const void *p, size_t n) {
  const uint8_t *b = static_cast<const uint8_t *>(p);
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x ^= b[i];
  g_fuzz_sink = x;
}

#endif  // KRP_FUZZ_SERVICE_FUZZ_INPUT_H
