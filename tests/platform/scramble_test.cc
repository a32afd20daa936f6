#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform.h"

namespace {

std::vector<uint8_t> Scrambled(const std::string &s) {
  std::vector<uint8_t> v(s.begin(), s.end());
  KstScrambleData(KST_SCRAMBLE_KEY, v.data(), static_cast<uint32_t>(v.size()));
  return v;
}

TEST(Scramble, KnownVectors) {
  EXPECT_EQ(Scrambled("abc"), (std::vector<uint8_t>{0xf0, 0x02, 0x5d}));
  std::string typed("KRT_TEXT", 8);
  typed += std::string(8, '\0') + "de" + std::string(1, '\0');
  ASSERT_EQ(typed.size(), 19u);
  EXPECT_EQ(Scrambled(typed),
            (std::vector<uint8_t>{0xda, 0x18, 0x74, 0x55, 0xc8, 0x19, 0x7d, 0xad, 0x70, 0xe8,
                                  0xc8, 0xae, 0x7f, 0x1d, 0x11, 0x5d, 0xcc, 0x29, 0x01}));
}

TEST(Scramble, UnscrambleUndoesScrambleForEveryLength) {
  for (uint32_t len : {0u, 1u, 2u, 3u, 255u, 256u, 257u, 70000u}) {
    std::vector<uint8_t> orig(len);
    for (uint32_t i = 0; i < len; ++i) orig[i] = static_cast<uint8_t>(i * 37 + len);
    std::vector<uint8_t> v = orig;
    KstScrambleData(KST_SCRAMBLE_KEY, v.data(), len);
    if (len > 4) {
      EXPECT_NE(v, orig) << len;
    }
    KstUnscrambleData(KST_SCRAMBLE_KEY, v.data(), len);
    EXPECT_EQ(v, orig) << len;
  }
}

TEST(Scramble, NullBufferIsIgnored) {
  KstScrambleData(KST_SCRAMBLE_KEY, nullptr, 5);
  KstUnscrambleData(KST_SCRAMBLE_KEY, nullptr, 5);
}

}  // namespace
