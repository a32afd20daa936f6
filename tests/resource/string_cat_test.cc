// dll_KrpResourceStringCat: joining name parts with one dot, within the
// destination's capacity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "krplib.h"
#include "platform.h"

namespace {

constexpr char kGuard = '#';

struct CatResult {
  uint32_t rc;
  std::string dest;     // up to its terminator, within the capacity
  bool guard_intact;    // nothing written at or past dest[capacity]
};

// Runs the join in a buffer of exactly `capacity` bytes followed by guard
// bytes, so a write past the capacity shows.
CatResult Cat(const std::string &dest, uint32_t capacity, const char *part) {
  std::vector<char> buf(capacity + 16, kGuard);
  std::memcpy(buf.data(), dest.c_str(), std::min<size_t>(dest.size() + 1, capacity));
  CatResult r;
  r.rc = dll_KrpResourceStringCat(buf.data(), capacity, part);
  r.dest = std::string(buf.data(), strnlen(buf.data(), capacity));
  r.guard_intact = true;
  for (size_t i = capacity; i < buf.size(); ++i) r.guard_intact &= buf[i] == kGuard;
  return r;
}

struct Case {
  const char *what;
  const char *dest;
  uint32_t capacity;
  const char *part;
  uint32_t rc;
  const char *after;
};

TEST(ResourceStringCat, JoinsWithExactlyOneDot) {
  const Case cases[] = {
      {"leading dots of the part are skipped", "a", 64, "..b", 0, "a.b"},
      {"trailing dots of the destination become one", "a...", 64, "b", 0, "a.b"},
      {"an empty part leaves the destination", "a", 64, "", 0, "a"},
      {"a destination of dots only becomes empty", "...", 64, "b", 0, "b"},
      {"a part of dots only is empty", "a.", 64, "...", 0, "a"},
      {"the empty destination takes the part as it is", "", 64, "b.c", 0, "b.c"},
      {"dots inside the part stay", "vendor", 64, "app..x.", 0, "vendor.app..x."},
      {"both empty", "", 64, "", 0, ""},
      {"dots only and nothing to join", "..", 64, "", 0, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    CatResult r = Cat(c.dest, c.capacity, c.part);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.dest, c.after);
    EXPECT_TRUE(r.guard_intact);
  }
}

TEST(ResourceStringCat, ChecksRoomBeforeWritingAnything) {
  const Case cases[] = {
      {"exact fit", "ab", 5, "c", 0, "ab.c"},
      {"one byte short: the joining dot is written, the part is not", "ab", 4, "c", 0x1005,
       "ab."},
      {"no room for the joining dot and its terminator", "ab", 3, "c", 0x1005, "ab"},
      {"a destination that fills its buffer", "abc", 4, "d", 0x1005, "abc"},
      {"the normalised form is kept", "a...", 5, "bcd", 0x1005, "a."},
      {"an empty part needs no room for a dot", "ab", 3, "", 0, "ab"},
      {"trailing dots are cut even without room for more", "ab..", 5, "", 0, "ab"},
      {"an empty destination and a part that just fits", "", 3, "bc", 0, "bc"},
      {"an empty destination and a part one too long", "", 3, "bcd", 0x1005, ""},
      {"capacity one holds only the terminator", "", 1, "b", 0x1005, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    CatResult r = Cat(c.dest, c.capacity, c.part);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.dest, c.after);
    EXPECT_TRUE(r.guard_intact);
  }
}

TEST(ResourceStringCat, RefusesMissingArgumentsAndUnterminatedDestinations) {
  char dest[8] = "a";
  EXPECT_EQ(dll_KrpResourceStringCat(nullptr, 8, "b"), KST_ERR_INVALID_PARAMETER);
  EXPECT_EQ(dll_KrpResourceStringCat(dest, 8, nullptr), KST_ERR_INVALID_PARAMETER);
  EXPECT_EQ(dll_KrpResourceStringCat(dest, 0, "b"), KST_ERR_INVALID_PARAMETER);
  EXPECT_STREQ(dest, "a");

  // No terminator within the capacity: the destination is not read past it
  // and not changed.
  char full[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(dll_KrpResourceStringCat(full, sizeof full, "x"), KST_ERR_INVALID_PARAMETER);
  EXPECT_EQ(std::string(full, sizeof full), "abcd");
}

TEST(ResourceStringCat, LongPartsCountUpTo9999Characters) {
  // A part longer than the counting limit contributes its first 9999
  // characters; the buffer is never passed.
  const std::string part(12000, 'p');
  CatResult r = Cat("a", 20000, part.c_str());
  EXPECT_EQ(r.rc, 0u);
  EXPECT_EQ(r.dest, "a." + std::string(9999, 'p'));
  EXPECT_TRUE(r.guard_intact);

  r = Cat("a", 10001, part.c_str());
  EXPECT_EQ(r.rc, 0x1005u);
  EXPECT_EQ(r.dest, "a.");
  EXPECT_TRUE(r.guard_intact);
}

}  // namespace
