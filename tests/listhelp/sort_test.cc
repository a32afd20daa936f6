// Sorting: the keys of each mode, the examples, and the order that the
// exchange sort gives to items that compare equal.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "krplib.h"
#include "list_test_util.h"
#include "listhelp.h"

namespace {

using listtest::Items;
using listtest::ListHandle;
using listtest::ReadAll;
using std::string_literals::operator""s;

const uint8_t *Bytes(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }
uint32_t Len(const std::string &s) { return static_cast<uint32_t>(s.size()); }

// Little-endian UTF-16 of an ASCII or Latin-1 string.
std::string Wide(const std::string &narrow) {
  std::string out;
  for (unsigned char c : narrow) {
    out += static_cast<char>(c);
    out += '\0';
  }
  return out;
}

Items Sorted(const Items &items, uint32_t mode) {
  ListHandle l;
  EXPECT_EQ(l.LoadItems(items), 0u);
  EXPECT_EQ(dll_KrpListhelpSort(l.get(), mode), 0u);
  return ReadAll(l.get());
}

TEST(ListSortIntKey, ReadsLikeA32BitStrtol) {
  const struct {
    std::string text;
    int32_t key;
  } cases[] = {
      {"42", 42},
      {"  -17", -17},
      {"\t\n\v\f\r 7", 7},
      {"+5", 5},
      {"12abc", 12},
      {"abc", 0},
      {"- 5", 0},
      {"0x1f", 0},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"4294967297", INT32_MAX},  // a 32-bit wrap would give 1
      {"99999999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"-99999999999999999999999", INT32_MIN},
      {"1\0" "99"s, 1},  // stops at the first zero byte
      {"\0" "5"s, 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(KrpListSortIntKey(Bytes(c.text), Len(c.text)), c.key) << c.text;
  }
  // Never past the item's length.
  EXPECT_EQ(KrpListSortIntKey(Bytes("123"), 2), 12);
}

TEST(ListSortIpKey, FourRunsOfTheFirstFifteenCharacters) {
  const struct {
    std::string text;
    uint32_t key;
  } cases[] = {
      {"10.0.0.2", 0x0A000002},
      {"9.255.0.1", 0x09FF0001},
      {"255.255.255.255", 0xFFFFFFFF},
      {"1.2", 0x01020000},
      {"", 0},
      {"abc", 0},
      {"1.2.3.4.5", 0x01020304},
      {"100.100.100.1009", 0x64646464},  // the 16th character is not read
      {"4294967297.0.0.1", 0x01000000},  // the run wraps to 1; ".1" is past 15
      {"256.0.0.1", 0x00000001},         // 256 << 24 wraps away
      {"1.2\0" ".3.4"s, 0x01020000},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(KrpListSortIpKey(Bytes(c.text), Len(c.text)), c.key) << c.text;
  }
}

TEST(ListSortCompare, TextModesFoldAsciiOnly) {
  const struct {
    uint32_t mode;
    std::string a, b;
    int sign;
  } cases[] = {
      {3, "abc", "ABC", 0},
      {3, "ab", "abc", -1},
      {3, "ab\0zz"s, "AB", 0},
      {3, "_", "a", -1},         // letters fold to lower case
      {3, "\xc4", "\xe4", -1},   // not ASCII: compared as bytes, not folded
      {3, "\xff", "a", 1},       // bytes compare unsigned
      {4, Wide("abc"), Wide("ABC"), 0},
      {4, Wide("ab"), Wide("abc"), -1},
      {4, Wide("_"), Wide("a"), -1},
      {4, Wide("\xc4"), Wide("\xe4"), -1},
      {4, Wide("ab") + "\0\0"s + Wide("zz"), Wide("AB"), 0},
      {4, Wide("ab") + "x", Wide("ab"), 0},         // an odd last byte is not a unit
      {4, "\x00\x01"s, "\xff\x00"s, 1},              // units are little-endian
      {4, "\x41\x01"s, "\x61\x01"s, -1},             // U+0141 and U+0161 are not folded
      {1, " 7", "+7", 0},
      {2, "10.0.0.2", "9.255.0.1", 1},
      {5, "b", "a", 0},
  };
  for (const auto &c : cases) {
    const int got = KrpListSortCompare(c.mode, Bytes(c.a), Len(c.a), Bytes(c.b), Len(c.b));
    EXPECT_EQ((got > 0) - (got < 0), c.sign) << c.mode << " " << c.a << " / " << c.b;
  }
}

TEST(ListhelpSort, ModeExamples) {
  EXPECT_EQ(Sorted({"b", "A", "c"}, 3), (Items{"A", "b", "c"}));
  EXPECT_EQ(Sorted({"10.0.0.2", "9.255.0.1"}, 2), (Items{"9.255.0.1", "10.0.0.2"}));
  EXPECT_EQ(Sorted({"10", "-3", "x", "2"}, 1), (Items{"-3", "x", "2", "10"}));
  EXPECT_EQ(Sorted({Wide("b"), Wide("A"), Wide("c")}, 4), (Items{Wide("A"), Wide("b"), Wide("c")}));
  // Past the first 8 bytes (or 4 units) the rest of the text decides.
  EXPECT_EQ(Sorted({"abcdefghz", "abcdefgh", "abcdefg", "abcdefgh\0a"s, "ABCDEFGHA"}, 3),
            (Items{"abcdefg", "abcdefgh", "abcdefgh\0a"s, "ABCDEFGHA", "abcdefghz"}));
  EXPECT_EQ(Sorted({Wide("abcdz"), Wide("abcd"), Wide("abc"), Wide("abcd") + "\0\0b"s, Wide("ABCDA")}, 4),
            (Items{Wide("abc"), Wide("abcd"), Wide("abcd") + "\0\0b"s, Wide("ABCDA"), Wide("abcdz")}));
  // Any other mode leaves the order alone.
  EXPECT_EQ(Sorted({"b", "A", "c"}, 5), (Items{"b", "A", "c"}));
  EXPECT_EQ(Sorted({"b", "A", "c"}, 0xFFFFFFFF), (Items{"b", "A", "c"}));
}

TEST(ListhelpSort, EqualItemsEndInTheExchangeOrderNotAStableOne) {
  // A stable sort would give a, b, B and 1, 2, 02.
  EXPECT_EQ(Sorted({"b", "B", "a"}, 3), (Items{"a", "B", "b"}));
  EXPECT_EQ(Sorted({"2", "02", "1"}, 1), (Items{"1", "02", "2"}));
}

TEST(ListhelpSort, ModeZeroEmptyListAndCursor) {
  ListHandle l;
  EXPECT_EQ(dll_KrpListhelpSort(l.get(), 1), 0u);
  EXPECT_EQ(dll_KrpListhelpSort(l.get(), 0), 0x2001u);
  ASSERT_EQ(l.LoadItems({"c", "a", "b"}), 0u);
  EXPECT_EQ(dll_KrpListhelpSort(l.get(), 0), 0x2001u);
  EXPECT_EQ(ReadAll(l.get()), (Items{"c", "a", "b"}));
  char buf[4];
  uint32_t size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetFirstItem(l.get(), buf, &size), 0u);
  size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0u);
  ASSERT_EQ(dll_KrpListhelpSort(l.get(), 3), 0u);
  size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "a");
}

// The exchange sort exactly as it is defined, restarting the scan after
// every exchange.
Items ReferenceExchangeSort(Items v, uint32_t mode) {
  for (size_t a = 0; a < v.size(); ++a) {
  restart:
    for (size_t b = a + 1; b < v.size(); ++b) {
      if (KrpListSortCompare(mode, Bytes(v[b]), Len(v[b]), Bytes(v[a]), Len(v[a])) < 0) {
        std::swap(v[a], v[b]);
        goto restart;
      }
    }
  }
  return v;
}

TEST(ListhelpSort, MatchesTheRestartingExchangeSortOnListsFullOfTies) {
  // Few distinct pieces, so most items tie with several others in every mode.
  const std::vector<std::string> pieces = {"0", "1", "2", "a", "A", "b", "B", ".",
                                           " ", "-", "\0"s, "9", "z"};
  std::mt19937 rng(20261209);
  for (uint32_t mode = 1; mode <= 4; ++mode) {
    for (int trial = 0; trial < 40; ++trial) {
      Items items(1 + rng() % 60);
      for (std::string &s : items) {
        // A shared head makes the texts tie beyond their first 8 bytes.
        if (rng() % 2) s = (rng() % 2) ? "aBcDeFgHiJ" : "AbCdEfGhIj";
        const int n = 1 + rng() % 12;
        for (int i = 0; i < n; ++i) s += pieces[rng() % pieces.size()];
      }
      ASSERT_EQ(Sorted(items, mode), ReferenceExchangeSort(items, mode))
          << "mode " << mode << " trial " << trial;
    }
  }
}

}  // namespace
