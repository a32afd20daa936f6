// MD5 (RFC 1321) and CRC-32, written here so the engine depends on nothing
// beyond the standard library.
#include "ts_digest.h"

#include <cstring>

#include "ts_md5_rounds.h"

namespace {


inline uint32_t Rotl(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

// The 64 steps written out, one per line, so that the compiler keeps the four
// state words in registers and sees every message index and rotation as a
// constant (a loop with a switch over the round costs about twice as much).
// Each step is a = b + rotl(a + f(b, c, d) + m[g] + K[i], s). The round
// functions use the forms with the shortest dependency on b, the value just
// computed by the step before:
//   F = (b & c) | (~b & d)  ==  d ^ (b & (c ^ d))
//   G = (d & b) | (~d & c)  ==  (d & b) + (~d & c)   (disjoint bits: the two
//                                halves can be added to a separately)
//   H = b ^ c ^ d
//   I = c ^ (b | ~d)
#define KST_MD5_F(a, b, c, d, m, s, k) \
  a += ((d) ^ ((b) & ((c) ^ (d)))) + (m) + (k); a = (b) + Rotl(a, s)
#define KST_MD5_G(a, b, c, d, m, s, k) \
  a += (m) + (k) + (~(d) & (c)); a += (d) & (b); a = (b) + Rotl(a, s)
#define KST_MD5_H(a, b, c, d, m, s, k) \
  a += ((b) ^ (c) ^ (d)) + (m) + (k); a = (b) + Rotl(a, s)
#define KST_MD5_I(a, b, c, d, m, s, k) \
  a += ((c) ^ ((b) | ~(d))) + (m) + (k); a = (b) + Rotl(a, s)

inline uint32_t LoadLe32(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

void Md5Block(uint32_t state[4], const uint8_t *p) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = LoadLe32(p + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  const uint32_t *K = kTsMd5K;
  KST_MD5_F(a, b, c, d, m[0], 7, K[0]);    KST_MD5_F(d, a, b, c, m[1], 12, K[1]);
  KST_MD5_F(c, d, a, b, m[2], 17, K[2]);   KST_MD5_F(b, c, d, a, m[3], 22, K[3]);
  KST_MD5_F(a, b, c, d, m[4], 7, K[4]);    KST_MD5_F(d, a, b, c, m[5], 12, K[5]);
  KST_MD5_F(c, d, a, b, m[6], 17, K[6]);   KST_MD5_F(b, c, d, a, m[7], 22, K[7]);
  KST_MD5_F(a, b, c, d, m[8], 7, K[8]);    KST_MD5_F(d, a, b, c, m[9], 12, K[9]);
  KST_MD5_F(c, d, a, b, m[10], 17, K[10]); KST_MD5_F(b, c, d, a, m[11], 22, K[11]);
  KST_MD5_F(a, b, c, d, m[12], 7, K[12]);  KST_MD5_F(d, a, b, c, m[13], 12, K[13]);
  KST_MD5_F(c, d, a, b, m[14], 17, K[14]); KST_MD5_F(b, c, d, a, m[15], 22, K[15]);

  KST_MD5_G(a, b, c, d, m[1], 5, K[16]);   KST_MD5_G(d, a, b, c, m[6], 9, K[17]);
  KST_MD5_G(c, d, a, b, m[11], 14, K[18]); KST_MD5_G(b, c, d, a, m[0], 20, K[19]);
  KST_MD5_G(a, b, c, d, m[5], 5, K[20]);   KST_MD5_G(d, a, b, c, m[10], 9, K[21]);
  KST_MD5_G(c, d, a, b, m[15], 14, K[22]); KST_MD5_G(b, c, d, a, m[4], 20, K[23]);
  KST_MD5_G(a, b, c, d, m[9], 5, K[24]);   KST_MD5_G(d, a, b, c, m[14], 9, K[25]);
  KST_MD5_G(c, d, a, b, m[3], 14, K[26]);  KST_MD5_G(b, c, d, a, m[8], 20, K[27]);
  KST_MD5_G(a, b, c, d, m[13], 5, K[28]);  KST_MD5_G(d, a, b, c, m[2], 9, K[29]);
  KST_MD5_G(c, d, a, b, m[7], 14, K[30]);  KST_MD5_G(b, c, d, a, m[12], 20, K[31]);

  KST_MD5_H(a, b, c, d, m[5], 4, K[32]);   KST_MD5_H(d, a, b, c, m[8], 11, K[33]);
  KST_MD5_H(c, d, a, b, m[11], 16, K[34]); KST_MD5_H(b, c, d, a, m[14], 23, K[35]);
  KST_MD5_H(a, b, c, d, m[1], 4, K[36]);   KST_MD5_H(d, a, b, c, m[4], 11, K[37]);
  KST_MD5_H(c, d, a, b, m[7], 16, K[38]);  KST_MD5_H(b, c, d, a, m[10], 23, K[39]);
  KST_MD5_H(a, b, c, d, m[13], 4, K[40]);  KST_MD5_H(d, a, b, c, m[0], 11, K[41]);
  KST_MD5_H(c, d, a, b, m[3], 16, K[42]);  KST_MD5_H(b, c, d, a, m[6], 23, K[43]);
  KST_MD5_H(a, b, c, d, m[9], 4, K[44]);   KST_MD5_H(d, a, b, c, m[12], 11, K[45]);
  KST_MD5_H(c, d, a, b, m[15], 16, K[46]); KST_MD5_H(b, c, d, a, m[2], 23, K[47]);

  KST_MD5_I(a, b, c, d, m[0], 6, K[48]);   KST_MD5_I(d, a, b, c, m[7], 10, K[49]);
  KST_MD5_I(c, d, a, b, m[14], 15, K[50]); KST_MD5_I(b, c, d, a, m[5], 21, K[51]);
  KST_MD5_I(a, b, c, d, m[12], 6, K[52]);  KST_MD5_I(d, a, b, c, m[3], 10, K[53]);
  KST_MD5_I(c, d, a, b, m[10], 15, K[54]); KST_MD5_I(b, c, d, a, m[1], 21, K[55]);
  KST_MD5_I(a, b, c, d, m[8], 6, K[56]);   KST_MD5_I(d, a, b, c, m[15], 10, K[57]);
  KST_MD5_I(c, d, a, b, m[6], 15, K[58]);  KST_MD5_I(b, c, d, a, m[13], 21, K[59]);
  KST_MD5_I(a, b, c, d, m[4], 6, K[60]);   KST_MD5_I(d, a, b, c, m[11], 10, K[61]);
  KST_MD5_I(c, d, a, b, m[2], 15, K[62]);  KST_MD5_I(b, c, d, a, m[9], 21, K[63]);
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

#undef KST_MD5_F
#undef KST_MD5_G
#undef KST_MD5_H
#undef KST_MD5_I

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
  for (int i = 0; i < 4; ++i) ctx->state[i] = kTsMd5Iv[i];
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
  TsMd5PutDigest(ctx->state, digest);
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
