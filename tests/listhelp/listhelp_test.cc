// The list handle: parsing into it, walking it, editing it, serialising it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "krplib.h"
#include "list_test_util.h"
#include "listhelp.h"

namespace {

using listtest::Items;
using listtest::ListHandle;
using listtest::ReadAll;
using listtest::Serialise;
using std::string_literals::operator""s;

const std::string kAbcDe = "00000003abc\r\n00000002de\r\n00000000";

std::string GetList(KRP_HLIST h) {
  uint32_t size = 0;
  EXPECT_EQ(dll_KrpListhelpGetList(h, nullptr, &size), 0u);
  std::string out(size, '\0');
  EXPECT_EQ(dll_KrpListhelpGetList(h, out.data(), &size), 0u);
  EXPECT_EQ(size, out.size());
  return out;
}

TEST(ListhelpParse, TheThirtyThreeByteExampleRoundTripsByteForByte) {
  ASSERT_EQ(kAbcDe.size(), 33u);
  ListHandle l;
  ASSERT_EQ(l.Load(kAbcDe), 0u);
  EXPECT_EQ(ReadAll(l.get()), (Items{"abc", "de"}));
  EXPECT_EQ(GetList(l.get()), kAbcDe);
}

TEST(ListhelpParse, LenientFormsGiveTheSameItemsAndSerialiseToTheWrittenForm) {
  for (const std::string &buf :
       {"00000003abc\n00000002de\n00000000"s, kAbcDe + "\0"s, "00000003abc\r\n00000002de"s,
        "00000000\r\n00000003abc\r\n00000000\r\n00000002de\r\n00000000"s}) {
    ListHandle l;
    ASSERT_EQ(l.Load(buf), 0u) << buf;
    EXPECT_EQ(ReadAll(l.get()), (Items{"abc", "de"}));
    EXPECT_EQ(GetList(l.get()), kAbcDe);
  }
}

TEST(ListhelpParse, TerminatorAloneIsAnEmptyList) {
  ListHandle l;
  ASSERT_EQ(l.Load("00000000"), 0u);
  EXPECT_TRUE(ReadAll(l.get()).empty());
  EXPECT_EQ(GetList(l.get()), "00000000");
}

TEST(ListhelpParse, MalformedBufferGives87AndKeepsTheItemsReadBeforeIt) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"old"}), 0u);
  EXPECT_EQ(l.Load("00000003abc\r\n0000000fde\r\n00000000"), 87u);
  EXPECT_EQ(ReadAll(l.get()), (Items{"abc"}));
  // The cursor is on the first item that was kept.
  char buf[8];
  uint32_t size = sizeof buf;
  EXPECT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "abc");
}

TEST(ListhelpParse, ArgumentErrors) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"keep"}), 0u);
  // A null buffer leaves the list as it was.
  EXPECT_EQ(dll_KrpListhelpAddList(l.get(), nullptr, 8), 87u);
  EXPECT_EQ(ReadAll(l.get()), (Items{"keep"}));
  // A buffer shorter than a terminator empties it.
  EXPECT_EQ(l.Load("0000000"), 87u);
  EXPECT_TRUE(ReadAll(l.get()).empty());
  EXPECT_EQ(dll_KrpListhelpAddListRange(l.get(), nullptr, 8, 1, 1), 87u);
  EXPECT_EQ(dll_KrpListhelpAddListRange(l.get(), kAbcDe.data(), 33, 0, 1), 87u);
  EXPECT_EQ(dll_KrpListhelpAddListRange(l.get(), kAbcDe.data(), 33, 1, 0), 87u);
  EXPECT_EQ(dll_KrpListhelpGetCount(l.get(), nullptr), 87u);
  EXPECT_EQ(dll_KrpListhelpInit(nullptr, nullptr), 87u);
  EXPECT_EQ(dll_KrpListhelpExit(nullptr), 87u);
}

TEST(ListhelpRange, KeepsTheRequestedItemsAndMakesTheListReadOnly) {
  const std::string three = Serialise({"one", "two", "three"});
  const struct {
    uint32_t first, maximum;
    Items want;
  } cases[] = {
      {2, 1, {"two"}},
      {1, 2, {"one", "two"}},
      {2, 0xFFFFFFFF, {"two", "three"}},
      {4, 5, {}},
  };
  for (const auto &c : cases) {
    ListHandle l;
    ASSERT_EQ(dll_KrpListhelpAddListRange(l.get(), three.data(), static_cast<uint32_t>(three.size()),
                                          c.first, c.maximum),
              0u);
    EXPECT_EQ(ReadAll(l.get()), c.want) << c.first << "," << c.maximum;
  }
  // Empty items are not numbered.
  ListHandle l;
  const std::string with_empty = "00000000\r\n" + three;
  ASSERT_EQ(dll_KrpListhelpAddListRange(l.get(), with_empty.data(),
                                        static_cast<uint32_t>(with_empty.size()), 2, 1),
            0u);
  EXPECT_EQ(ReadAll(l.get()), (Items{"two"}));
  uint32_t size = 100;
  EXPECT_EQ(dll_KrpListhelpInsertItem(l.get(), 1, "x", 1), 6u);
  EXPECT_EQ(dll_KrpListhelpDeleteItem(l.get(), 1), 6u);
  EXPECT_EQ(dll_KrpListhelpChangeItem(l.get(), 1, "x", 1), 6u);
  EXPECT_EQ(dll_KrpListhelpSort(l.get(), 3), 6u);
  EXPECT_EQ(dll_KrpListhelpGetList(l.get(), nullptr, &size), 6u);
  // Reading still works, and AddList makes the list writable again.
  char buf[8];
  size = sizeof buf;
  EXPECT_EQ(dll_KrpListhelpGetFirstItem(l.get(), buf, &size), 0u);
  ASSERT_EQ(l.Load(three), 0u);
  EXPECT_EQ(dll_KrpListhelpInsertItem(l.get(), 1, "x", 1), 0u);
}

TEST(ListhelpRange, StillChecksTheWholeBuffer) {
  ListHandle l;
  const std::string bad = "00000003one\r\n00000003two\r\n00000009x";
  EXPECT_EQ(dll_KrpListhelpAddListRange(l.get(), bad.data(), static_cast<uint32_t>(bad.size()), 1, 1),
            87u);
  EXPECT_EQ(ReadAll(l.get()), (Items{"one"}));
}

TEST(ListhelpRead, FirstAndNextWalkTheListAndEndWith38) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"abc", "de"}), 0u);
  char buf[8];
  uint32_t size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetFirstItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "abc");
  size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "de");
  size = sizeof buf;
  EXPECT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 38u);
  // First starts again.
  size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetFirstItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "abc");
}

TEST(ListhelpRead, TooSmallBufferGives4101AndLeavesTheCursorOnTheItem) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"abc", "de"}), 0u);
  char buf[3];
  uint32_t size = 2;
  EXPECT_EQ(dll_KrpListhelpGetFirstItem(l.get(), buf, &size), 0x1005u);
  EXPECT_EQ(size, 3u);
  // The cursor did not move: the next item is still the first one.
  size = 3;
  ASSERT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "abc");
  size = 1;
  EXPECT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0x1005u);
  EXPECT_EQ(size, 2u);
  size = 2;
  ASSERT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "de");
  size = 0;
  EXPECT_EQ(dll_KrpListhelpGetItem(l.get(), 1, buf, &size), 0x1005u);
  EXPECT_EQ(size, 3u);
}

TEST(ListhelpRead, ANullBufferAsksForTheSizeAndStillMovesTheCursor) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"abc", "de"}), 0u);
  uint32_t size = 0;
  ASSERT_EQ(dll_KrpListhelpGetFirstItem(l.get(), nullptr, &size), 0u);
  EXPECT_EQ(size, 3u);
  char buf[8];
  size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "de");
}

TEST(ListhelpRead, EmptyListAndPositionErrors) {
  ListHandle l;
  uint32_t size = 77;
  EXPECT_EQ(dll_KrpListhelpGetFirstItem(l.get(), nullptr, &size), 38u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(dll_KrpListhelpGetNextItem(l.get(), nullptr, &size), 38u);
  EXPECT_EQ(dll_KrpListhelpGetFirstItem(l.get(), nullptr, nullptr), 87u);
  EXPECT_EQ(dll_KrpListhelpGetNextItem(l.get(), nullptr, nullptr), 87u);
  ASSERT_EQ(l.LoadItems({"abc", "de"}), 0u);
  EXPECT_EQ(dll_KrpListhelpGetItem(l.get(), 0, nullptr, &size), 87u);
  EXPECT_EQ(dll_KrpListhelpGetItem(l.get(), 1, nullptr, nullptr), 87u);
  EXPECT_EQ(dll_KrpListhelpGetItem(l.get(), 3, nullptr, &size), 38u);
  EXPECT_EQ(dll_KrpListhelpGetItem(l.get(), 0xFFFFFFFF, nullptr, &size), 38u);
}

TEST(ListhelpRead, GetItemDoesNotMoveTheCursor) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"a", "b", "c"}), 0u);
  char buf[4];
  uint32_t size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetFirstItem(l.get(), buf, &size), 0u);
  size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetItem(l.get(), 3, buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "c");
  size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "b");
}

TEST(ListhelpInsert, PositionsPlaceTheNewItem) {
  const struct {
    uint32_t position;
    Items want;
  } cases[] = {
      {0, {"new", "a", "b", "c"}},
      {1, {"a", "new", "b", "c"}},
      {2, {"a", "b", "new", "c"}},
      {3, {"a", "b", "c", "new"}},
      {4, {"a", "b", "c", "new"}},
      {0xFFFFFFFF, {"a", "b", "c", "new"}},
  };
  for (const auto &c : cases) {
    ListHandle l;
    ASSERT_EQ(l.LoadItems({"a", "b", "c"}), 0u);
    ASSERT_EQ(dll_KrpListhelpInsertItem(l.get(), c.position, "new", 3), 0u);
    EXPECT_EQ(ReadAll(l.get()), c.want) << c.position;
    EXPECT_EQ(GetList(l.get()), Serialise(c.want));
  }
  for (uint32_t position : {0u, 1u, 0xFFFFFFFFu}) {
    ListHandle l;
    ASSERT_EQ(dll_KrpListhelpInsertItem(l.get(), position, "only", 4), 0u);
    EXPECT_EQ(ReadAll(l.get()), (Items{"only"}));
  }
}

TEST(ListhelpInsert, ResetsTheCursorAndRefusesEmptyData) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"a", "b"}), 0u);
  char buf[4];
  uint32_t size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetFirstItem(l.get(), buf, &size), 0u);
  ASSERT_EQ(dll_KrpListhelpInsertItem(l.get(), 0, "z", 1), 0u);
  size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "z");
  EXPECT_EQ(dll_KrpListhelpInsertItem(l.get(), 0, nullptr, 1), 87u);
  EXPECT_EQ(dll_KrpListhelpInsertItem(l.get(), 0, "z", 0), 87u);
}

TEST(ListhelpDelete, RemovesAnyPositionAndKeepsTheChainWhole) {
  for (uint32_t position = 1; position <= 3; ++position) {
    ListHandle l;
    ASSERT_EQ(l.LoadItems({"a", "b", "c"}), 0u);
    ASSERT_EQ(dll_KrpListhelpDeleteItem(l.get(), position), 0u);
    Items want = {"a", "b", "c"};
    want.erase(want.begin() + (position - 1));
    EXPECT_EQ(ReadAll(l.get()), want);
    // Appending afterwards exercises the tail pointer.
    ASSERT_EQ(dll_KrpListhelpInsertItem(l.get(), 0xFFFFFFFF, "z", 1), 0u);
    want.push_back("z");
    EXPECT_EQ(GetList(l.get()), Serialise(want));
  }
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"a"}), 0u);
  EXPECT_EQ(dll_KrpListhelpDeleteItem(l.get(), 0), 87u);
  EXPECT_EQ(dll_KrpListhelpDeleteItem(l.get(), 2), 87u);
  ASSERT_EQ(dll_KrpListhelpDeleteItem(l.get(), 1), 0u);
  EXPECT_EQ(GetList(l.get()), "00000000");
  uint32_t size = 0;
  EXPECT_EQ(dll_KrpListhelpGetFirstItem(l.get(), nullptr, &size), 38u);
}

TEST(ListhelpChange, ReplacesTheBytesAndLeavesTheCursor) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"a", "b", "c"}), 0u);
  char buf[16];
  uint32_t size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetFirstItem(l.get(), buf, &size), 0u);
  ASSERT_EQ(dll_KrpListhelpChangeItem(l.get(), 2, "longer item", 11), 0u);
  size = sizeof buf;
  ASSERT_EQ(dll_KrpListhelpGetNextItem(l.get(), buf, &size), 0u);
  EXPECT_EQ(std::string(buf, size), "longer item");
  EXPECT_EQ(ReadAll(l.get()), (Items{"a", "longer item", "c"}));
  EXPECT_EQ(dll_KrpListhelpChangeItem(l.get(), 0, "x", 1), 87u);
  EXPECT_EQ(dll_KrpListhelpChangeItem(l.get(), 4, "x", 1), 87u);
  EXPECT_EQ(dll_KrpListhelpChangeItem(l.get(), 1, nullptr, 1), 87u);
  EXPECT_EQ(dll_KrpListhelpChangeItem(l.get(), 1, "x", 0), 87u);
  EXPECT_EQ(ReadAll(l.get()), (Items{"a", "longer item", "c"}));
}

TEST(ListhelpGetList, SizeProtocolAndNoTerminatingZero) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"abc", "de"}), 0u);
  EXPECT_EQ(dll_KrpListhelpGetList(l.get(), nullptr, nullptr), 87u);
  std::string buf(40, '#');
  uint32_t size = 32;
  EXPECT_EQ(dll_KrpListhelpGetList(l.get(), buf.data(), &size), 0x1005u);
  EXPECT_EQ(size, 33u);
  EXPECT_EQ(buf, std::string(40, '#'));
  size = 40;
  ASSERT_EQ(dll_KrpListhelpGetList(l.get(), buf.data(), &size), 0u);
  EXPECT_EQ(size, 33u);
  EXPECT_EQ(buf, kAbcDe + "#######");
}

TEST(ListhelpGetList, BinaryItemsSurviveARoundTrip) {
  const Items items = {"\0"s, "\r\n"s, std::string(300, '\xff'), "00000000", "a\0b"s};
  ListHandle l;
  for (const std::string &s : items) {
    ASSERT_EQ(dll_KrpListhelpInsertItem(l.get(), 0xFFFFFFFF, s.data(), static_cast<uint32_t>(s.size())),
              0u);
  }
  const std::string ser = GetList(l.get());
  EXPECT_EQ(ser, Serialise(items));
  ListHandle again;
  ASSERT_EQ(again.Load(ser), 0u);
  EXPECT_EQ(ReadAll(again.get()), items);
}

TEST(ListhelpHandle, BadHandlesGive6Everywhere) {
  ListHandle live;
  KRP_HLIST exited = nullptr;
  ASSERT_EQ(dll_KrpListhelpInit(&exited, nullptr), 0u);
  KRP_HLIST copy = exited;
  ASSERT_EQ(dll_KrpListhelpExit(&exited), 0u);
  EXPECT_EQ(exited, nullptr);
  // A plausible-looking record that was never handed out: its check word is
  // right, but it is not a live handle.
  struct {
    uint32_t check = 0x1B254;
    void *rest[8] = {};
  } forged;
  const KRP_HLIST bad[] = {nullptr, reinterpret_cast<KRP_HLIST>(~uintptr_t{0}), copy,
                           reinterpret_cast<KRP_HLIST>(&forged)};
  for (KRP_HLIST h : bad) {
    uint32_t n = 0, size = 8;
    char buf[8];
    EXPECT_EQ(dll_KrpListhelpAddList(h, kAbcDe.data(), 33), 6u);
    EXPECT_EQ(dll_KrpListhelpAddListRange(h, kAbcDe.data(), 33, 1, 1), 6u);
    EXPECT_EQ(dll_KrpListhelpGetCount(h, &n), 6u);
    EXPECT_EQ(dll_KrpListhelpGetFirstItem(h, buf, &size), 6u);
    EXPECT_EQ(dll_KrpListhelpGetNextItem(h, buf, &size), 6u);
    EXPECT_EQ(dll_KrpListhelpGetItem(h, 1, buf, &size), 6u);
    EXPECT_EQ(dll_KrpListhelpInsertItem(h, 1, "x", 1), 6u);
    EXPECT_EQ(dll_KrpListhelpDeleteItem(h, 1), 6u);
    EXPECT_EQ(dll_KrpListhelpChangeItem(h, 1, "x", 1), 6u);
    EXPECT_EQ(dll_KrpListhelpGetList(h, buf, &size), 6u);
    EXPECT_EQ(dll_KrpListhelpSort(h, 1), 6u);
    KRP_HLIST hh = h;
    EXPECT_EQ(dll_KrpListhelpExit(&hh), 6u);
  }
}

TEST(ListhelpHandle, ALiveHandleWithAnOverwrittenCheckWordGives6) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"a"}), 0u);
  // The check word is the record's first 32-bit field.
  uint32_t *check = reinterpret_cast<uint32_t *>(l.get());
  ASSERT_EQ(*check, 0x1B254u);
  *check = 0x1B255;
  uint32_t n = 0;
  EXPECT_EQ(dll_KrpListhelpGetCount(l.get(), &n), 6u);
  KRP_HLIST h = l.get();
  EXPECT_EQ(dll_KrpListhelpExit(&h), 6u);
  *check = 0x1B254;
  EXPECT_EQ(dll_KrpListhelpGetCount(l.get(), &n), 0u);
  EXPECT_EQ(n, 1u);
}

TEST(ListhelpHandle, AChainShorterThanItsCountGives370005InsteadOfACrash) {
  ListHandle l;
  ASSERT_EQ(l.LoadItems({"a", "b", "c"}), 0u);
  KrpListhelpList *rec = l.get();
  rec->count = 5;  // damage: the record claims two items the chain lacks
  uint32_t size = 0;
  EXPECT_EQ(dll_KrpListhelpGetItem(l.get(), 4, nullptr, &size), 0x370005u);
  EXPECT_EQ(dll_KrpListhelpDeleteItem(l.get(), 5), 0x370005u);
  EXPECT_EQ(dll_KrpListhelpChangeItem(l.get(), 4, "x", 1), 0x370005u);
  EXPECT_EQ(dll_KrpListhelpInsertItem(l.get(), 4, "x", 1), 0x370005u);
  EXPECT_EQ(dll_KrpListhelpGetItem(l.get(), 3, nullptr, &size), 0u);
  rec->count = 3;
  EXPECT_EQ(ReadAll(l.get()), (Items{"a", "b", "c"}));
}

TEST(ListhelpHandle, ManyItemsAreFreedByExit) {
  // Leaks are reported by the address sanitizer build.
  ListHandle l;
  Items items;
  for (int i = 0; i < 1000; ++i) items.push_back(std::to_string(i));
  ASSERT_EQ(l.LoadItems(items), 0u);
  EXPECT_EQ(ReadAll(l.get()), items);
}

}  // namespace
