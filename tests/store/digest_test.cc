#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ts_digest.h"

namespace {

std::string Hex(const uint8_t *p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

std::string Md5Hex(const std::string &s) {
  uint8_t d[16];
  TsMd5(s.data(), s.size(), d);
  return Hex(d, 16);
}

TEST(Md5, Rfc1321TestSuite) {
  struct Case {
    const char *in, *md5;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case &c : cases) EXPECT_EQ(Md5Hex(c.in), c.md5) << '"' << c.in << '"';
}

// Many messages at once give each message's own digest: lengths on both
// sides of every padding boundary, so that the lanes end their messages at
// different blocks and take new ones while others go on; fewer messages than
// lanes; one; none.
TEST(Md5, ManyMessagesAtOnceMatchOneAtATime) {
  std::vector<std::vector<uint8_t>> msgs;
  for (uint32_t len : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 129u, 300u,
                       600u, 1000u, 4096u, 5u, 0u, 70000u, 33u})
    msgs.emplace_back(len);
  for (size_t i = 0; i < msgs.size(); ++i)
    for (size_t k = 0; k < msgs[i].size(); ++k) msgs[i][k] = uint8_t(k * 131 + i * 17 + 7);
  for (size_t n : {msgs.size(), size_t(3), size_t(1), size_t(0)}) {
    SCOPED_TRACE(n);
    std::vector<const uint8_t *> data;
    std::vector<uint32_t> len;
    for (size_t i = 0; i < n; ++i) {
      data.push_back(msgs[i].empty() ? nullptr : msgs[i].data());
      len.push_back(uint32_t(msgs[i].size()));
    }
    std::vector<uint8_t> many(16 * n + 16, 0xEE), one(16);
    TsMd5Many(data.data(), len.data(), uint32_t(n), many.data());
    for (size_t i = 0; i < n; ++i) {
      TsMd5(data[i], len[i], one.data());
      EXPECT_EQ(Hex(many.data() + 16 * i, 16), Hex(one.data(), 16)) << "message " << i;
    }
    EXPECT_EQ(many[16 * n], 0xEE);  // nothing past the last digest
  }
}

// Lengths around the 56- and 64-byte padding boundaries, fed whole and in
// uneven pieces, must agree.
TEST(Md5, IncrementalUpdatesMatchOneShotAcrossBlockBoundaries) {
  for (size_t len : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
    std::vector<uint8_t> v(len);
    for (size_t i = 0; i < len; ++i) v[i] = uint8_t(i * 131 + 7);
    uint8_t whole[16], pieces[16];
    TsMd5(v.data(), len, whole);
    TsMd5Ctx ctx;
    TsMd5Init(&ctx);
    size_t off = 0, step = 1;
    while (off < len) {
      size_t n = std::min(step, len - off);
      TsMd5Update(&ctx, v.data() + off, n);
      off += n;
      step = step * 3 % 71 + 1;
    }
    TsMd5Final(&ctx, pieces);
    EXPECT_EQ(Hex(whole, 16), Hex(pieces, 16)) << len;
  }
}

TEST(Crc32, CheckValueAndEmpty) {
  EXPECT_EQ(TsCrc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(TsCrc32("", 0), 0u);
  EXPECT_EQ(TsCrc32("a", 1), 0xE8B7BE43u);
}

// The word-at-a-time loop against the bit-by-bit definition, at every
// length around the 8-byte steps and at unaligned starts.
TEST(Crc32, MatchesTheBitwiseDefinitionAtEveryLengthAndAlignment) {
  auto bitwise = [](const uint8_t *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
      c ^= p[i];
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xFFFFFFFFu;
  };
  uint8_t buf[80];
  for (size_t i = 0; i < sizeof buf; ++i) buf[i] = uint8_t(i * 151 + 7);
  for (size_t start = 0; start < 8; ++start)
    for (size_t n = 0; start + n <= sizeof buf; ++n)
      ASSERT_EQ(bitwise(buf + start, n), TsCrc32(buf + start, n)) << start << " " << n;
}

TEST(Djb2, EngineKeyIncludesTheTerminator) {
  EXPECT_EQ(TsDjb2("a", 2), 5863110u);  // (5381 * 33 + 97) * 33
  EXPECT_EQ(TsDjb2("", 0), 5381u);
  EXPECT_EQ(TsDjb2("a", 1), 5381u * 33 + 97);
}

}  // namespace
