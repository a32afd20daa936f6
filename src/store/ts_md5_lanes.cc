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
#include "ts_md5_rounds.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KST_MD5_LANES 1
#endif

namespace {

#ifdef KST_MD5_LANES

constexpr int kLanes = 8;

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
  KST_V_F(a, b, c, d, m[0], 7, kTsMd5K[0]);   KST_V_F(d, a, b, c, m[1], 12, kTsMd5K[1]);
  KST_V_F(c, d, a, b, m[2], 17, kTsMd5K[2]);  KST_V_F(b, c, d, a, m[3], 22, kTsMd5K[3]);
  KST_V_F(a, b, c, d, m[4], 7, kTsMd5K[4]);   KST_V_F(d, a, b, c, m[5], 12, kTsMd5K[5]);
  KST_V_F(c, d, a, b, m[6], 17, kTsMd5K[6]);  KST_V_F(b, c, d, a, m[7], 22, kTsMd5K[7]);
  KST_V_F(a, b, c, d, m[8], 7, kTsMd5K[8]);   KST_V_F(d, a, b, c, m[9], 12, kTsMd5K[9]);
  KST_V_F(c, d, a, b, m[10], 17, kTsMd5K[10]); KST_V_F(b, c, d, a, m[11], 22, kTsMd5K[11]);
  KST_V_F(a, b, c, d, m[12], 7, kTsMd5K[12]);  KST_V_F(d, a, b, c, m[13], 12, kTsMd5K[13]);
  KST_V_F(c, d, a, b, m[14], 17, kTsMd5K[14]); KST_V_F(b, c, d, a, m[15], 22, kTsMd5K[15]);

  KST_V_G(a, b, c, d, m[1], 5, kTsMd5K[16]);   KST_V_G(d, a, b, c, m[6], 9, kTsMd5K[17]);
  KST_V_G(c, d, a, b, m[11], 14, kTsMd5K[18]); KST_V_G(b, c, d, a, m[0], 20, kTsMd5K[19]);
  KST_V_G(a, b, c, d, m[5], 5, kTsMd5K[20]);   KST_V_G(d, a, b, c, m[10], 9, kTsMd5K[21]);
  KST_V_G(c, d, a, b, m[15], 14, kTsMd5K[22]); KST_V_G(b, c, d, a, m[4], 20, kTsMd5K[23]);
  KST_V_G(a, b, c, d, m[9], 5, kTsMd5K[24]);   KST_V_G(d, a, b, c, m[14], 9, kTsMd5K[25]);
  KST_V_G(c, d, a, b, m[3], 14, kTsMd5K[26]);  KST_V_G(b, c, d, a, m[8], 20, kTsMd5K[27]);
  KST_V_G(a, b, c, d, m[13], 5, kTsMd5K[28]);  KST_V_G(d, a, b, c, m[2], 9, kTsMd5K[29]);
  KST_V_G(c, d, a, b, m[7], 14, kTsMd5K[30]);  KST_V_G(b, c, d, a, m[12], 20, kTsMd5K[31]);

  KST_V_H(a, b, c, d, m[5], 4, kTsMd5K[32]);   KST_V_H(d, a, b, c, m[8], 11, kTsMd5K[33]);
  KST_V_H(c, d, a, b, m[11], 16, kTsMd5K[34]); KST_V_H(b, c, d, a, m[14], 23, kTsMd5K[35]);
  KST_V_H(a, b, c, d, m[1], 4, kTsMd5K[36]);   KST_V_H(d, a, b, c, m[4], 11, kTsMd5K[37]);
  KST_V_H(c, d, a, b, m[7], 16, kTsMd5K[38]);  KST_V_H(b, c, d, a, m[10], 23, kTsMd5K[39]);
  KST_V_H(a, b, c, d, m[13], 4, kTsMd5K[40]);  KST_V_H(d, a, b, c, m[0], 11, kTsMd5K[41]);
  KST_V_H(c, d, a, b, m[3], 16, kTsMd5K[42]);  KST_V_H(b, c, d, a, m[6], 23, kTsMd5K[43]);
  KST_V_H(a, b, c, d, m[9], 4, kTsMd5K[44]);   KST_V_H(d, a, b, c, m[12], 11, kTsMd5K[45]);
  KST_V_H(c, d, a, b, m[15], 16, kTsMd5K[46]); KST_V_H(b, c, d, a, m[2], 23, kTsMd5K[47]);

  KST_V_I(a, b, c, d, m[0], 6, kTsMd5K[48]);   KST_V_I(d, a, b, c, m[7], 10, kTsMd5K[49]);
  KST_V_I(c, d, a, b, m[14], 15, kTsMd5K[50]); KST_V_I(b, c, d, a, m[5], 21, kTsMd5K[51]);
  KST_V_I(a, b, c, d, m[12], 6, kTsMd5K[52]);  KST_V_I(d, a, b, c, m[3], 10, kTsMd5K[53]);
  KST_V_I(c, d, a, b, m[10], 15, kTsMd5K[54]); KST_V_I(b, c, d, a, m[1], 21, kTsMd5K[55]);
  KST_V_I(a, b, c, d, m[8], 6, kTsMd5K[56]);   KST_V_I(d, a, b, c, m[15], 10, kTsMd5K[57]);
  KST_V_I(c, d, a, b, m[6], 15, kTsMd5K[58]);  KST_V_I(b, c, d, a, m[13], 21, kTsMd5K[59]);
  KST_V_I(a, b, c, d, m[4], 6, kTsMd5K[60]);   KST_V_I(d, a, b, c, m[11], 10, kTsMd5K[61]);
  KST_V_I(c, d, a, b, m[2], 15, kTsMd5K[62]);  KST_V_I(b, c, d, a, m[9], 21, kTsMd5K[63]);
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
    for (int w = 0; w < 4; ++w) words[w][i] = kTsMd5Iv[w];
  }
  __m256i st[4];
  for (int w = 0; w < 4; ++w)
    st[w] = _mm256_load_si256(reinterpret_cast<const __m256i *>(words[w]));
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
    for (int w = 0; w < 4; ++w)
      _mm256_store_si256(reinterpret_cast<__m256i *>(words[w]), st[w]);
    for (int i = 0; i < kLanes; ++i) {
      if (!busy[i] || lanes[i].done != lanes[i].blocks) continue;
      const uint32_t state[4] = {words[0][i], words[1][i], words[2][i], words[3][i]};
      TsMd5PutDigest(state, out + 16 * size_t(lanes[i].msg));
      busy[i] = next < n;
      if (busy[i]) {
        LoadLane(&lanes[i], data[next], len[next], next);
        ++next;
        for (int w = 0; w < 4; ++w) words[w][i] = kTsMd5Iv[w];
      } else {
        --left;
      }
    }
    for (int w = 0; w < 4; ++w)
    st[w] = _mm256_load_si256(reinterpret_cast<const __m256i *>(words[w]));
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
