// The engine's MD5 against a plain reference: the RFC's loop over the 64
// steps (round function chosen by a switch, message index and rotation
// computed), compiled here with the same flags. Both hash the same buffer in
// record-sized pieces (the pack's case: values of 16 to 600 bytes) and in one
// piece; the figure is engine / reference (lower is better) and MB/s.
//
// Usage: bench_md5 [megabytes, default 256]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "ts_digest.h"

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// ---- the reference: RFC 1321's description, step by step -------------------
constexpr uint32_t kK[64] = {
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
constexpr uint32_t kS[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t Rotl(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

void RefBlock(uint32_t st[4], const uint8_t *p) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i)
    m[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
           uint32_t(p[4 * i + 3]) << 24;
  uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
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
    b = b + Rotl(a + f + kK[i] + m[g], kS[i / 16][i % 4]);
    a = t;
  }
  st[0] += a;
  st[1] += b;
  st[2] += c;
  st[3] += d;
}

void RefMd5(const uint8_t *p, size_t len, uint8_t out[16]) {
  uint32_t st[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  size_t whole = len / 64 * 64;
  for (size_t i = 0; i < whole; i += 64) RefBlock(st, p + i);
  uint8_t tail[128] = {};
  size_t rest = len - whole;
  std::memcpy(tail, p + whole, rest);
  tail[rest] = 0x80;
  size_t tl = rest < 56 ? 64 : 128;
  uint64_t bits = uint64_t(len) * 8;
  for (int i = 0; i < 8; ++i) tail[tl - 8 + i] = uint8_t(bits >> (8 * i));
  for (size_t i = 0; i < tl; i += 64) RefBlock(st, tail + i);
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 4; ++k) out[4 * i + k] = uint8_t(st[i] >> (8 * k));
}

template <class Fn>
double Time(const std::vector<uint8_t> &buf, const std::vector<uint32_t> &pieces, Fn fn,
            unsigned *acc) {
  uint8_t d[16];
  double t0 = Now();
  size_t at = 0;
  for (uint32_t n : pieces) {
    fn(buf.data() + at, n, d);
    *acc ^= d[3];
    at += n;
  }
  return Now() - t0;
}

}  // namespace

int main(int argc, char **argv) {
  const size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  std::vector<uint8_t> buf(mb << 20);
  std::mt19937_64 rng(7);
  for (auto &b : buf) b = uint8_t(rng());
  std::vector<uint32_t> records, whole{uint32_t(buf.size())};
  for (size_t used = 0;;) {
    uint32_t n = 16 + uint32_t(rng() % 585);
    if (used + n > buf.size()) break;
    records.push_back(n);
    used += n;
  }
  // Both must agree before either is timed.
  uint8_t x[16], y[16];
  for (uint32_t n : {0u, 1u, 55u, 56u, 64u, 119u, 600u}) {
    TsMd5(buf.data(), n, x);
    RefMd5(buf.data(), n, y);
    if (std::memcmp(x, y, 16) != 0) {
      std::fprintf(stderr, "digests differ at %u bytes\n", n);
      return 1;
    }
  }
  unsigned acc = 0;
  auto engine = [](const uint8_t *p, size_t n, uint8_t *d) { TsMd5(p, n, d); };
  auto ref = [](const uint8_t *p, size_t n, uint8_t *d) { RefMd5(p, n, d); };
  for (auto *set : {&records, &whole}) {
    double te = Time(buf, *set, engine, &acc);
    double tr = Time(buf, *set, ref, &acc);
    double mbytes = double(buf.size()) / 1e6;
    std::printf("md5 %-14s engine %.3f s (%.0f MB/s)   reference %.3f s (%.0f MB/s)   "
                "ratio %.2f\n",
                set == &records ? "record pieces" : "one piece", te, mbytes / te, tr,
                mbytes / tr, te / tr);
  }
  if (acc == 0x1000) std::printf("\n");  // keeps the digests from being optimised away
  return 0;
}
