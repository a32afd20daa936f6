// The three checksums the store engine computes itself: MD5 (RFC 1321) over
// record data, CRC-32 (reflected polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF, as zlib computes it) over record names, and the djb2
// string hash that places names in the index's hash table.
#ifndef KRP_STORE_TS_DIGEST_H
#define KRP_STORE_TS_DIGEST_H

#include <cstddef>
#include <cstdint>

// Incremental MD5. Init, any number of Updates, Final (which leaves the
// context unusable until the next Init).
struct TsMd5Ctx {
  uint32_t state[4];
  uint64_t bytes;      // total message length so far
  uint8_t block[64];   // pending partial block
};
void TsMd5Init(TsMd5Ctx *ctx);
void TsMd5Update(TsMd5Ctx *ctx, const void *data, size_t len);
void TsMd5Final(TsMd5Ctx *ctx, uint8_t digest[16]);
// One-shot MD5 of `len` bytes (null is accepted for len 0).
void TsMd5(const void *data, size_t len, uint8_t digest[16]);
// The MD5 of each of `n` messages (data[i], len[i] bytes; null is accepted
// for len 0) into out[16 * i, 16 * i + 16): TsMd5's bytes, computed several
// messages at a time where the processor allows (ts_md5_lanes.cc).
void TsMd5Many(const uint8_t *const *data, const uint32_t *len, uint32_t n, uint8_t *out);

// CRC-32 of `len` bytes.
uint32_t TsCrc32(const void *data, size_t len);

// djb2: h = 5381; h = h * 33 + byte, in unsigned 32-bit arithmetic.
inline uint32_t TsDjb2(const void *key, uint32_t len) {
  const auto *p = static_cast<const uint8_t *>(key);
  uint32_t h = 5381;
  for (uint32_t i = 0; i < len; ++i) h = h * 33 + p[i];
  return h;
}

#endif  // KRP_STORE_TS_DIGEST_H
