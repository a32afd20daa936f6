// MD5 (RFC 1321) and CRC-32, written here so the engine depends on nothing
// beyond the standard library.
#include "ts_digest.h"

#include <cstring>

namespace {

// K[i] = floor(|sin(i + 1)| * 2^32), RFC 1321 section 3.4.
constexpr uint32_t kMd5K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};

// Per-round left rotations.
constexpr uint32_t kMd5S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t Rotl(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

void Md5Block(uint32_t state[4], const uint8_t *p) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i)
    m[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
           uint32_t(p[4 * i + 3]) << 24;
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (uint32_t i = 0; i < 64; ++i) {
    uint32_t f, g;
    switch (i / 16) {
      case 0: f = (b & c) | (~b & d); g = i; break;
      case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
      case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
      default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
    }
    uint32_t t = d;
    d = c;
    c = b;
    b = b + Rotl(a + f + kMd5K[i] + m[g], kMd5S[i / 16][i % 4]);
    a = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

// Slicing by eight: t[0] is the byte-at-a-time table of the reflected
// polynomial; t[k][b] is the CRC of byte b followed by k zero bytes, so eight
// input bytes fold into the register with eight independent lookups. Names
// (20 to 60 bytes) are checksummed by every record encode and every index
// rebuild, where the byte loop's serial dependency was the cost.
struct Crc32Table {
  uint32_t t[8][256];
  constexpr Crc32Table() : t() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
};
constexpr Crc32Table kCrc32;

}  // namespace

void TsMd5Init(TsMd5Ctx *ctx) {
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
  ctx->bytes = 0;
}

void TsMd5Update(TsMd5Ctx *ctx, const void *data, size_t len) {
  const auto *p = static_cast<const uint8_t *>(data);
  size_t used = ctx->bytes % 64;
  ctx->bytes += len;
  if (used) {
    size_t take = 64 - used < len ? 64 - used : len;
    std::memcpy(ctx->block + used, p, take);
    p += take;
    len -= take;
    if (used + take < 64) return;
    Md5Block(ctx->state, ctx->block);
  }
  for (; len >= 64; p += 64, len -= 64) Md5Block(ctx->state, p);
  if (len) std::memcpy(ctx->block, p, len);
}

void TsMd5Final(TsMd5Ctx *ctx, uint8_t digest[16]) {
  uint64_t bits = ctx->bytes * 8;
  // Padding: one 0x80 byte, zeros up to 56 mod 64, then the bit length (LE).
  static const uint8_t kPad[64] = {0x80};
  size_t used = ctx->bytes % 64;
  size_t padlen = used < 56 ? 56 - used : 120 - used;
  TsMd5Update(ctx, kPad, padlen);
  uint8_t lenbytes[8];
  for (int i = 0; i < 8; ++i) lenbytes[i] = uint8_t(bits >> (8 * i));
  TsMd5Update(ctx, lenbytes, 8);
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 4; ++k) digest[4 * i + k] = uint8_t(ctx->state[i] >> (8 * k));
}

void TsMd5(const void *data, size_t len, uint8_t digest[16]) {
  TsMd5Ctx ctx;
  TsMd5Init(&ctx);
  if (len) TsMd5Update(&ctx, data, len);
  TsMd5Final(&ctx, digest);
}

uint32_t TsCrc32(const void *data, size_t len) {
  const auto *p = static_cast<const uint8_t *>(data);
  const auto &t = kCrc32.t;
  uint32_t c = 0xFFFFFFFFu;
  for (; len >= 8; p += 8, len -= 8) {
    // Little-endian words, as the byte loop would consume them.
    const uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                             uint32_t(p[3]) << 24);
    const uint32_t hi =
        uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; len; ++p, --len) c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}
