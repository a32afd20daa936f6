// The scrambling of stored resource values. Each byte is mixed with the
// previous (already scrambled) byte, its index and one key byte:
//   s[0] = b[0] ^ K[K[3] & 3]
//   s[i] = b[i] ^ ((s[i-1] + i) mod 256) ^ K[i & 3]      for i >= 1
// K[0..3] are the key's bytes, least significant first. Only the low 8 bits
// of i enter the sum. Unscrambling walks backwards so s[i-1] is still there.
#include "platform.h"

namespace {

inline uint8_t KeyByte(uint32_t key, uint32_t i) {
  return static_cast<uint8_t>(key >> (8 * (i & 3)));
}

}  // namespace

void KstScrambleData(uint32_t key, void *buf, uint32_t len) {
  if (!buf || len == 0) return;
  auto *b = static_cast<uint8_t *>(buf);
  b[0] ^= KeyByte(key, KeyByte(key, 3) & 3);
  for (uint32_t i = 1; i < len; ++i) {
    b[i] ^= static_cast<uint8_t>(b[i - 1] + static_cast<uint8_t>(i)) ^ KeyByte(key, i);
  }
}

void KstUnscrambleData(uint32_t key, void *buf, uint32_t len) {
  if (!buf || len == 0) return;
  auto *b = static_cast<uint8_t *>(buf);
  for (uint32_t i = len - 1; i >= 1; --i) {
    b[i] ^= KeyByte(key, i) ^ static_cast<uint8_t>(b[i - 1] + static_cast<uint8_t>(i));
  }
  b[0] ^= KeyByte(key, KeyByte(key, 3) & 3);
}
