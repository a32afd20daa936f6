// The fuzz targets' reader over one input: fixed-size pieces taken from the
// front; a piece the input no longer holds is not taken (and reads as 0).
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

#endif  // KRP_FUZZ_SERVICE_FUZZ_INPUT_H
