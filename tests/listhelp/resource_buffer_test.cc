// The two functions that work on serialised buffers without a handle.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "krplib.h"
#include "list_test_util.h"
#include "platform.h"

namespace {

using listtest::Items;
using listtest::ListHandle;
using listtest::ReadAll;
using listtest::Serialise;
using std::string_literals::operator""s;

struct Appended {
  uint32_t rc;
  std::string bytes;
};

Appended Append(const std::string &list, const std::string &element) {
  void *out = reinterpret_cast<void *>(0x1);
  uint32_t out_size = 0;
  Appended a;
  a.rc = dll_KrpListhelpAddListElementToResource(list.data(), static_cast<uint32_t>(list.size()),
                                                 element.data(),
                                                 static_cast<uint32_t>(element.size()), &out,
                                                 &out_size);
  if (a.rc == 0) {
    a.bytes.assign(static_cast<const char *>(out), out_size);
    KstFreeMem(out, 0);
  }
  return a;
}

TEST(ListAppendElement, TwoBytesToAnEmptyListGiveTwentyBytes) {
  const Appended a = Append("00000000", "xy");
  ASSERT_EQ(a.rc, 0u);
  EXPECT_EQ(a.bytes, "00000002xy\r\n00000000");
  EXPECT_EQ(a.bytes.size(), 20u);
}

TEST(ListAppendElement, KeepsTheItemsAndAddsOneAtTheEnd) {
  const struct {
    const char *what;
    std::string list;
    std::string want;
  } cases[] = {
      {"written form", Serialise({"abc", "de"}), Serialise({"abc", "de", "new"})},
      {"single LF kept as it was", "00000003abc\n00000002de\n00000000",
       "00000003abc\n00000002de\r\n00000003new\r\n00000000"},
      {"no terminator", "00000003abc\r\n", Serialise({"abc", "new"})},
      {"terminator and zero byte", Serialise({"abc"}) + "\0"s, Serialise({"abc", "new"})},
      {"lone zero byte at the end", "00000003abc\r\n\0"s, Serialise({"abc", "new"})},
      {"empty list with zero byte", "00000000\0"s, Serialise({"new"})},
      // The last item's own bytes end in CR LF; none of them is taken for a
      // separator.
      {"item ending in line ends", "00000004ab\r\n00000000", "00000004ab\r\n\r\n00000003new\r\n00000000"},
      {"item ending in LF, one LF after it", "00000003ab\n\n00000000",
       "00000003ab\n\r\n00000003new\r\n00000000"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const Appended a = Append(c.list, "new");
    ASSERT_EQ(a.rc, 0u);
    EXPECT_EQ(a.bytes, c.want);
    // Whatever the input's form, the result parses to its items plus one.
    ListHandle before, after;
    ASSERT_EQ(before.Load(c.list), 0u);
    ASSERT_EQ(after.Load(a.bytes), 0u);
    Items want = ReadAll(before.get());
    want.push_back("new");
    EXPECT_EQ(ReadAll(after.get()), want);
  }
}

TEST(ListAppendElement, RefusesBadArgumentsAndMalformedLists) {
  void *out = nullptr;
  uint32_t size = 0;
  const std::string list = "00000000";
  EXPECT_EQ(dll_KrpListhelpAddListElementToResource(nullptr, 8, "x", 1, &out, &size), 87u);
  EXPECT_EQ(dll_KrpListhelpAddListElementToResource(list.data(), 8, nullptr, 1, &out, &size), 87u);
  EXPECT_EQ(dll_KrpListhelpAddListElementToResource(list.data(), 8, "x", 0, &out, &size), 87u);
  EXPECT_EQ(dll_KrpListhelpAddListElementToResource(list.data(), 8, "x", 1, nullptr, &size), 87u);
  EXPECT_EQ(dll_KrpListhelpAddListElementToResource(list.data(), 8, "x", 1, &out, nullptr), 87u);
  EXPECT_EQ(dll_KrpListhelpAddListElementToResource(list.data(), 0, "x", 1, &out, &size), 87u);
  for (const std::string &bad : {"0000000"s, "00000003abc\r\n00000009"s, "ffffffffab"s,
                                 "00000003abc\r\n000"s}) {
    EXPECT_EQ(Append(bad, "x").rc, 87u) << bad;
  }
  EXPECT_EQ(out, nullptr);
}

TEST(ListAppendElement, AnElementTooLargeForA32BitSizeIs87) {
  // Only the size is examined before the refusal; the element is never read.
  // 11 content bytes + 2 + (size + 10) + 8 is 2^32 for the second size.
  const std::string list = Serialise({"abc"});
  void *out = nullptr;
  uint32_t size = 0;
  EXPECT_EQ(dll_KrpListhelpAddListElementToResource(list.data(), static_cast<uint32_t>(list.size()),
                                                    "x", 0xFFFFFFF0u, &out, &size),
            87u);
  EXPECT_EQ(dll_KrpListhelpAddListElementToResource(list.data(), static_cast<uint32_t>(list.size()),
                                                    "x", 0xFFFFFFFFu - 30, &out, &size),
            87u);
  EXPECT_EQ(out, nullptr);
}

TEST(ListCountFromResource, CountsNonEmptyItemsAndRefusesMalformedBuffers) {
  const struct {
    std::string buf;
    uint32_t rc, count;
  } cases[] = {
      {Serialise({"abc", "de"}), 0, 2},
      {"00000000", 0, 0},
      {"00000000\r\n00000002de\r\n00000000\r\n00000000", 0, 1},
      {"00000003abc\n00000002de\n00000000\0"s, 0, 2},
      {"00000003abc\r\n0000000fde\r\n00000000", 87, 0},
      {"0000000", 87, 0},
      {"fffffff7x", 87, 0},
  };
  for (const auto &c : cases) {
    uint32_t count = 0;
    EXPECT_EQ(dll_KrpListhelpGetCountFromResource(c.buf.data(), static_cast<uint32_t>(c.buf.size()),
                                                  &count),
              c.rc)
        << c.buf;
    if (c.rc == 0) {
      EXPECT_EQ(count, c.count) << c.buf;
    }
  }
  uint32_t count = 0;
  EXPECT_EQ(dll_KrpListhelpGetCountFromResource(nullptr, 8, &count), 87u);
  EXPECT_EQ(dll_KrpListhelpGetCountFromResource("00000000", 0, &count), 87u);
  EXPECT_EQ(dll_KrpListhelpGetCountFromResource("00000000", 8, nullptr), 87u);
}

}  // namespace
