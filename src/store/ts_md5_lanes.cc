// MD5 of many separate messages at once (TsMd5Many). One message's MD5 is a
// chain of 64 dependent steps per block, so a processor runs it far below its
// width; eight messages side by side, one in each 32-bit lane of a 256-bit
// register, take about as long per block as one. Each lane walks its own
// message block by block (its whole blocks straight from the message, then
// the padded tail from a copy of its own); a lane whose message ends takes
// the next one, so messages of any lengths keep the lanes busy. A lane left
// without a message hashes a block of zeros that nobody reads.
#include <cstring>

#include "ts_digest.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KST_MD5_LANES 1
#endif

namespace {

#ifdef KST_MD5_LANES

constexpr int kLanes = 8;
constexpr uint32_t kIv[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// One lane's message: blocks [0, full) are read from `data`, the rest
// (one or two: the last bytes, 0x80, zeros, the bit length) from `tail`.
struct Lane {
  const uint8_t *data;
  uint32_t full;
  uint32_t blocks;
  uint32_t done;
  uint32_t msg;
  uint8_t tail[128];
};

void LoadLane(Lane *l, const uint8_t *data, uint32_t len, uint32_t msg) {
  l->data = data;
  l->full = len / 64;
  const uint32_t rest = len % 64;
  std::memset(l->tail, 0, sizeof l->tail);
  if (rest) std::memcpy(l->tail, data + 64 * size_t(l->full), rest);
  l->tail[rest] = 0x80;
  const uint32_t tail_blocks = rest < 56 ? 1 : 2;
  const uint64_t bits = uint64_t(len) * 8;
  for (int i = 0; i < 8; ++i) l->tail[64 * tail_blocks - 8 + i] = uint8_t(bits >> (8 * i));
  l->blocks = l->full + tail_blocks;
  l->done = 0;
  l->msg = msg;
}

const uint8_t *LaneBlock(const Lane &l) {
  return l.done < l.full ? l.data + 64 * size_t(l.done) : l.tail + 64 * (l.done - l.full);
}

#define KST_TARGET __attribute__((target("avx2")))

// Rows r[i] (lane i's words 0..7) become columns (word i of lanes 0..7).
KST_TARGET inline void Transpose8(__m256i r[8]) {
  __m256i t[8], u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm256_unpacklo_epi64(t[i], t[i + 2]);
    u[i + 1] = _mm256_unpackhi_epi64(t[i], t[i + 2]);
    u[i + 2] = _mm256_unpacklo_epi64(t[i + 1], t[i + 3]);
    u[i + 3] = _mm256_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  for (int i = 0; i < 4; ++i) {
    r[i] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x20);
    r[i + 4] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x31);
  }
}

KST_TARGET inline __m256i Add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
KST_TARGET inline __m256i K(uint32_t k) { return _mm256_set1_epi32(int(k)); }

// The steps of the one-message code, lane-wise.
#define KST_ROTL(x, s) _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - (s)))
#define KST_V_F(a, b, c, d, m, s, k)                                                         \
  a = Add(a, Add(_mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d))),          \
                 Add(m, K(k))));                                                              \
  a = Add(b, KST_ROTL(a, s))
#define KST_V_G(a, b, c, d, m, s, k)                                                         \
  a = Add(a, Add(Add(m, K(k)), _mm256_andnot_si256(d, c)));                                  \
  a = Add(a, _mm256_and_si256(d, b));                                                        \
  a = Add(b, KST_ROTL(a, s))
#define KST_V_H(a, b, c, d, m, s, k)                                                         \
  a = Add(a, Add(_mm256_xor_si256(_mm256_xor_si256(b, c), d), Add(m, K(k))));               \
  a = Add(b, KST_ROTL(a, s))
#define KST_V_I(a, b, c, d, m, s, k)                                                         \
  a = Add(a, Add(_mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, ones))),         \
                 Add(m, K(k))));                                                              \
  a = Add(b, KST_ROTL(a, s))

// One block in every lane: `p[i]` is lane i's block.
KST_TARGET void Blocks8(__m256i st[4], const uint8_t *const p[kLanes]) {
  __m256i lo[8], hi[8];
  for (int i = 0; i < kLanes; ++i) {
    lo[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p[i]));
    hi[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p[i] + 32));
  }
  Transpose8(lo);
  Transpose8(hi);
  __m256i m[16];
  for (int i = 0; i < 8; ++i) {
    m[i] = lo[i];
    m[i + 8] = hi[i];
  }
  const __m256i ones = _mm256_set1_epi32(-1);
  __m256i a = st[0], b = st[1], c = st[2], d = st[3];
  KST_V_F(a, b, c, d, m[0], 7, 0xd76aa478);   KST_V_F(d, a, b, c, m[1], 12, 0xe8c7b756);
  KST_V_F(c, d, a, b, m[2], 17, 0x242070db);  KST_V_F(b, c, d, a, m[3], 22, 0xc1bdceee);
  KST_V_F(a, b, c, d, m[4], 7, 0xf57c0faf);   KST_V_F(d, a, b, c, m[5], 12, 0x4787c62a);
  KST_V_F(c, d, a, b, m[6], 17, 0xa8304613);  KST_V_F(b, c, d, a, m[7], 22, 0xfd469501);
  KST_V_F(a, b, c, d, m[8], 7, 0x698098d8);   KST_V_F(d, a, b, c, m[9], 12, 0x8b44f7af);
  KST_V_F(c, d, a, b, m[10], 17, 0xffff5bb1); KST_V_F(b, c, d, a, m[11], 22, 0x895cd7be);
  KST_V_F(a, b, c, d, m[12], 7, 0x6b901122);  KST_V_F(d, a, b, c, m[13], 12, 0xfd987193);
  KST_V_F(c, d, a, b, m[14], 17, 0xa679438e); KST_V_F(b, c, d, a, m[15], 22, 0x49b40821);

  KST_V_G(a, b, c, d, m[1], 5, 0xf61e2562);   KST_V_G(d, a, b, c, m[6], 9, 0xc040b340);
  KST_V_G(c, d, a, b, m[11], 14, 0x265e5a51); KST_V_G(b, c, d, a, m[0], 20, 0xe9b6c7aa);
  KST_V_G(a, b, c, d, m[5], 5, 0xd62f105d);   KST_V_G(d, a, b, c, m[10], 9, 0x02441453);
  KST_V_G(c, d, a, b, m[15], 14, 0xd8a1e681); KST_V_G(b, c, d, a, m[4], 20, 0xe7d3fbc8);
  KST_V_G(a, b, c, d, m[9], 5, 0x21e1cde6);   KST_V_G(d, a, b, c, m[14], 9, 0xc33707d6);
  KST_V_G(c, d, a, b, m[3], 14, 0xf4d50d87);  KST_V_G(b, c, d, a, m[8], 20, 0x455a14ed);
  KST_V_G(a, b, c, d, m[13], 5, 0xa9e3e905);  KST_V_G(d, a, b, c, m[2], 9, 0xfcefa3f8);
  KST_V_G(c, d, a, b, m[7], 14, 0x676f02d9);  KST_V_G(b, c, d, a, m[12], 20, 0x8d2a4c8a);

  KST_V_H(a, b, c, d, m[5], 4, 0xfffa3942);   KST_V_H(d, a, b, c, m[8], 11, 0x8771f681);
  KST_V_H(c, d, a, b, m[11], 16, 0x6d9d6122); KST_V_H(b, c, d, a, m[14], 23, 0xfde5380c);
  KST_V_H(a, b, c, d, m[1], 4, 0xa4beea44);   KST_V_H(d, a, b, c, m[4], 11, 0x4bdecfa9);
  KST_V_H(c, d, a, b, m[7], 16, 0xf6bb4b60);  KST_V_H(b, c, d, a, m[10], 23, 0xbebfbc70);
  KST_V_H(a, b, c, d, m[13], 4, 0x289b7ec6);  KST_V_H(d, a, b, c, m[0], 11, 0xeaa127fa);
  KST_V_H(c, d, a, b, m[3], 16, 0xd4ef3085);  KST_V_H(b, c, d, a, m[6], 23, 0x04881d05);
  KST_V_H(a, b, c, d, m[9], 4, 0xd9d4d039);   KST_V_H(d, a, b, c, m[12], 11, 0xe6db99e5);
  KST_V_H(c, d, a, b, m[15], 16, 0x1fa27cf8); KST_V_H(b, c, d, a, m[2], 23, 0xc4ac5665);

  KST_V_I(a, b, c, d, m[0], 6, 0xf4292244);   KST_V_I(d, a, b, c, m[7], 10, 0x432aff97);
  KST_V_I(c, d, a, b, m[14], 15, 0xab9423a7); KST_V_I(b, c, d, a, m[5], 21, 0xfc93a039);
  KST_V_I(a, b, c, d, m[12], 6, 0x655b59c3);  KST_V_I(d, a, b, c, m[3], 10, 0x8f0ccc92);
  KST_V_I(c, d, a, b, m[10], 15, 0xffeff47d); KST_V_I(b, c, d, a, m[1], 21, 0x85845dd1);
  KST_V_I(a, b, c, d, m[8], 6, 0x6fa87e4f);   KST_V_I(d, a, b, c, m[15], 10, 0xfe2ce6e0);
  KST_V_I(c, d, a, b, m[6], 15, 0xa3014314);  KST_V_I(b, c, d, a, m[13], 21, 0x4e0811a1);
  KST_V_I(a, b, c, d, m[4], 6, 0xf7537e82);   KST_V_I(d, a, b, c, m[11], 10, 0xbd3af235);
  KST_V_I(c, d, a, b, m[2], 15, 0x2ad7d2bb);  KST_V_I(b, c, d, a, m[9], 21, 0xeb86d391);
  st[0] = Add(st[0], a);
  st[1] = Add(st[1], b);
  st[2] = Add(st[2], c);
  st[3] = Add(st[3], d);
}

#undef KST_V_F
#undef KST_V_G
#undef KST_V_H
#undef KST_V_I
#undef KST_ROTL

KST_TARGET void Md5Lanes(const uint8_t *const *data, const uint32_t *len, uint32_t n,
                         uint8_t *out) {
  static const uint8_t kIdle[64] = {};
  Lane lanes[kLanes];
  bool busy[kLanes];
  alignas(32) uint32_t words[4][kLanes];
  uint32_t next = 0;
  for (int i = 0; i < kLanes; ++i) {
    busy[i] = next < n;
    if (busy[i]) LoadLane(&lanes[i], data[next], len[next], next), ++next;
    for (int w = 0; w < 4; ++w) words[w][i] = kIv[w];
  }
  __m256i st[4];
  for (int w = 0; w < 4; ++w) st[w] = _mm256_load_si256(reinterpret_cast<const __m256i *>(words[w]));
  for (int left = n < kLanes ? int(n) : kLanes; left > 0;) {
    const uint8_t *p[kLanes];
    bool ends = false;
    for (int i = 0; i < kLanes; ++i) {
      p[i] = busy[i] ? LaneBlock(lanes[i]) : kIdle;
      ends |= busy[i] && lanes[i].done + 1 == lanes[i].blocks;
    }
    Blocks8(st, p);
    for (int i = 0; i < kLanes; ++i)
      if (busy[i]) ++lanes[i].done;
    if (!ends) continue;
    // A message ended: its digest out, the next message (or none) in.
    for (int w = 0; w < 4; ++w) _mm256_store_si256(reinterpret_cast<__m256i *>(words[w]), st[w]);
    for (int i = 0; i < kLanes; ++i) {
      if (!busy[i] || lanes[i].done != lanes[i].blocks) continue;
      for (int w = 0; w < 4; ++w)
        for (int k = 0; k < 4; ++k) out[16 * size_t(lanes[i].msg) + 4 * w + k] = uint8_t(words[w][i] >> (8 * k));
      busy[i] = next < n;
      if (busy[i]) {
        LoadLane(&lanes[i], data[next], len[next], next);
        ++next;
        for (int w = 0; w < 4; ++w) words[w][i] = kIv[w];
      } else {
        --left;
      }
    }
    for (int w = 0; w < 4; ++w) st[w] = _mm256_load_si256(reinterpret_cast<const __m256i *>(words[w]));
  }
}

#undef KST_TARGET

#endif  // KST_MD5_LANES

}  // namespace

void TsMd5Many(const uint8_t *const *data, const uint32_t *len, uint32_t n, uint8_t *out) {
#ifdef KST_MD5_LANES
  static const bool lanes = __builtin_cpu_supports("avx2");
  if (lanes && n > 1) {
    Md5Lanes(data, len, n, out);
    return;
  }
#endif
  for (uint32_t i = 0; i < n; ++i) TsMd5(data[i], len[i], out + 16 * size_t(i));
}
