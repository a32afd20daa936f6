// The read-multiple block and list entry codec (ts_multi.h): what is built
// reads back the same, and every malformed block is refused or cut short
// without a read outside the bytes given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "ts_multi.h"

namespace {

// A block of the given names (information only where asked) with `room`
// bytes of data area behind the items, plus its capacity's extra byte.
struct Block {
  std::vector<uint8_t> b;
  std::vector<uint32_t> items;
  Block(const std::vector<std::string> &names, const std::vector<bool> &info_only,
        uint32_t room) {
    b.resize(kTsMultiHeaderSize);
    for (size_t i = 0; i < names.size(); ++i) {
      const uint32_t at = uint32_t(b.size());
      const uint32_t n = uint32_t(names[i].size());
      items.push_back(at);
      b.resize(at + TsMultiItemLength(n));
      EXPECT_EQ(TsMultiPutItem(&b[at], names[i].c_str(), n, info_only[i]), TsMultiItemLength(n));
    }
    TsMultiBegin(b.data(), uint32_t(names.size()), uint32_t(b.size()));
    b.resize(b.size() + room + 1);
  }
  uint32_t capacity() const { return uint32_t(b.size()); }
  void Put(size_t at, uint32_t v) { TsPutU32(&b[at], v); }
};

TEST(TsMulti, ABuiltBlockHasTheDrawnBytes) {
  Block k({"a.b"}, {true}, 0);
  const uint8_t want[] = {
      0x6C, 0x42, 0x72, 0x47,  // "lBrG"
      1,    0,    0,    0,     // one item
      52,   0,    0,    0,     // data offset: 16 + 32 + 3 + 1
      0,    0,    0,    0,     // total
      0x67, 0x54, 0x63, 0x52,  // "gTcR"
      36,   0,    0,    0,     // item length
      0,    0,    0,    0,     // result
      0xFF, 0xFF, 0xFF, 0xFF,  // information only
      0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // words, data offset
      'a',  '.',  'b',  0,
  };
  ASSERT_EQ(k.b.size(), sizeof want + 1);
  EXPECT_EQ(std::memcmp(k.b.data(), want, sizeof want), 0);
}

TEST(TsMulti, ItemsAndRepliesRoundTrip) {
  Block k({"first", "", std::string(300, 'n')}, {false, true, false}, 10);
  uint32_t items = 0;
  ASSERT_EQ(TsMultiCheck(k.b.data(), k.capacity(), &items), 0u);
  EXPECT_EQ(items, 3u);
  EXPECT_EQ(TsMultiCount(k.b.data()), 3u);
  EXPECT_EQ(TsMultiDataOffset(k.b.data()), k.capacity() - 11);

  TsMultiWalk walk(k.b.data(), TsMultiDataOffset(k.b.data()));
  TsMultiItem it;
  const std::pair<uint32_t, bool> expect[] = {{5, false}, {0, true}, {300, false}};
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_EQ(walk.Next(&it), TsMultiStep::kItem) << i;
    EXPECT_EQ(it.index, i);
    EXPECT_EQ(it.offset, k.items[i]);
    EXPECT_EQ(it.length, TsMultiItemLength(expect[i].first));
    EXPECT_EQ(it.name_len, expect[i].first);
    EXPECT_TRUE(it.terminated);
    EXPECT_EQ(it.info_only, expect[i].second);
    EXPECT_EQ(TsMultiInfoOnly(&k.b[it.offset]), expect[i].second);
    uint8_t *item = &k.b[it.offset];
    TsMultiSetWords(item, 100 + i, 200 + i, 300 + i);
    TsMultiSetDataOffset(item, 400 + i);
    TsMultiSetResult(item, 500 + i, 600 + i);
  }
  EXPECT_EQ(walk.Next(&it), TsMultiStep::kEnd);
  EXPECT_EQ(walk.Next(&it), TsMultiStep::kEnd);  // stays at the end
  EXPECT_STREQ(reinterpret_cast<const char *>(&k.b[k.items[0] + kTsItemOffName]), "first");
  for (uint32_t i = 0; i < 3; ++i) {
    const TsMultiReply r = TsMultiGetReply(&k.b[k.items[i]]);
    EXPECT_EQ(r.last_wr, 100 + i);
    EXPECT_EQ(r.attr, 200 + i);
    EXPECT_EQ(r.consumer, 300 + i);
    EXPECT_EQ(r.data_offset, 400 + i);
    EXPECT_EQ(r.result, 500 + i);
    EXPECT_EQ(r.size, 600 + i);
  }
  TsMultiSetTotal(k.b.data(), 0x01020304);
  EXPECT_EQ(TsMultiTotal(k.b.data()), 0x01020304u);
  EXPECT_EQ(k.b[kTsMultiOffTotal], 4);  // little-endian
}

// One block of two items ("n" and "m"), damaged as each case says.
TEST(TsMulti, MalformedBlocksAreRefusedAndWrongMarksEndTheItems) {
  struct Case {
    const char *what;
    void (*damage)(Block *);
    uint32_t rc;        // TsMultiCheck
    uint32_t items;     // when accepted
    TsMultiStep first;  // the walk's first step over the damaged block
  } cases[] = {
      {"intact", [](Block *) {}, 0, 2, TsMultiStep::kItem},
      {"block mark", [](Block *k) { k->b[kTsMultiOffMark + 3] ^= 1; }, 87, 0, TsMultiStep::kItem},
      {"data offset below the header", [](Block *k) { k->Put(kTsMultiOffDataOffset, 15); }, 87, 0,
       TsMultiStep::kMalformed},
      {"data offset at the capacity's last byte",
       [](Block *k) { k->Put(kTsMultiOffDataOffset, k->capacity() - 1); }, 87, 0,
       TsMultiStep::kItem},
      {"data offset wraps", [](Block *k) { k->Put(kTsMultiOffDataOffset, 0xFFFFFFFFu); }, 87, 0,
       TsMultiStep::kItem},
      {"count of zero", [](Block *k) { k->Put(kTsMultiOffCount, 0); }, 0, 0, TsMultiStep::kEnd},
      {"count beyond the items", [](Block *k) { k->Put(kTsMultiOffCount, 3); }, 87, 0,
       TsMultiStep::kItem},
      {"huge count", [](Block *k) { k->Put(kTsMultiOffCount, 0xFFFFFFFFu); }, 87, 0,
       TsMultiStep::kItem},
      {"first item mark", [](Block *k) { k->b[k->items[0] + kTsItemOffMark] ^= 1; }, 0, 0,
       TsMultiStep::kEnd},
      {"second item mark", [](Block *k) { k->b[k->items[1] + kTsItemOffMark] ^= 1; }, 0, 1,
       TsMultiStep::kItem},
      {"item length below 33",
       [](Block *k) { k->Put(k->items[0] + kTsItemOffLength, kTsItemMinLength - 1); }, 87, 0,
       TsMultiStep::kMalformed},
      {"item length of 0", [](Block *k) { k->Put(k->items[0] + kTsItemOffLength, 0); }, 87, 0,
       TsMultiStep::kMalformed},
      {"item past the items",
       [](Block *k) { k->Put(k->items[1] + kTsItemOffLength, TsMultiItemLength(1) + 1); }, 87,
       0, TsMultiStep::kItem},
      {"item length wraps",
       [](Block *k) { k->Put(k->items[0] + kTsItemOffLength, 0xFFFFFFF0u); }, 87, 0,
       TsMultiStep::kMalformed},
      {"name without terminator",
       [](Block *k) { k->b[k->items[0] + kTsItemOffName + 1] = 'x'; }, 87, 0,
       TsMultiStep::kItem},
      {"items end inside an item header",
       [](Block *k) { k->Put(kTsMultiOffDataOffset, k->items[1] + 20); }, 87, 0,
       TsMultiStep::kItem},
      {"items end inside a mark",
       [](Block *k) { k->Put(kTsMultiOffDataOffset, k->items[1] + 2); }, 87, 0,
       TsMultiStep::kItem},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Block k({"n", "m"}, {false, false}, 8);
    c.damage(&k);
    uint32_t items = 0xDEAD;
    EXPECT_EQ(TsMultiCheck(k.b.data(), k.capacity(), &items), c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(items, c.items);
    }
    // The walk never passes the end it is given, whatever the words say.
    const uint32_t end = std::min<uint32_t>(TsMultiDataOffset(k.b.data()), k.capacity());
    if (end < kTsMultiHeaderSize) continue;
    TsMultiWalk walk(k.b.data(), end);
    TsMultiItem it;
    EXPECT_EQ(walk.Next(&it), c.first);
    uint32_t n = 0;
    for (TsMultiStep s = c.first; s == TsMultiStep::kItem && n < 10; s = walk.Next(&it)) {
      EXPECT_LE(uint64_t(it.offset) + it.length, end);
      ++n;
    }
    EXPECT_LT(n, 10u);
  }
  // Too small for a header.
  Block k({"n"}, {false}, 0);
  uint32_t items = 0;
  EXPECT_EQ(TsMultiCheck(k.b.data(), kTsMultiHeaderSize - 1, &items), 87u);
}

TEST(TsMulti, ListEntriesRoundTripAndMalformedOnesAreRefused) {
  std::vector<uint8_t> list(TsListEntryLength(3) + TsListEntryLength(0) + 1, 0xEE);
  uint32_t at = TsListPutEntry(list.data(), "a.b", 3, 0x11, 0x22, 0x33);
  EXPECT_EQ(at, 20u);
  at += TsListPutEntry(list.data() + at, "", 0, 1, 2, 3);
  const uint32_t size = at;
  EXPECT_EQ(size, 37u);
  TsListEntry e{};
  ASSERT_TRUE(TsListEntryAt(list.data(), size, 0, &e));
  EXPECT_EQ(e.length, 20u);
  EXPECT_EQ(e.attr, 0x11u);
  EXPECT_EQ(e.last_wr, 0x22u);
  EXPECT_EQ(e.consumer, 0x33u);
  EXPECT_STREQ(e.name, "a.b");
  EXPECT_EQ(list[kTsListOffAttr], 0x11);  // the drawn offsets, little-endian
  ASSERT_TRUE(TsListEntryAt(list.data(), size, 20, &e));
  EXPECT_EQ(e.length, 17u);
  EXPECT_STREQ(e.name, "");
  EXPECT_FALSE(TsListEntryAt(list.data(), size, size, &e));  // past the end

  struct Case {
    const char *what;
    uint32_t size;     // of the list given
    uint32_t length;   // written into the first entry
    bool clear_zero;   // overwrite the first name's terminator
  } cases[] = {
      {"fewer than 16 bytes", 15, 20, false},
      {"length below 17", size, 16, false},
      {"length past the list", size, size + 1, false},
      {"length wraps", size, 0xFFFFFFF0u, false},
      {"no terminator", 20, 20, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> l(list);
    TsPutU32(&l[kTsListOffLength], c.length);
    if (c.clear_zero) l[kTsListOffName + 3] = 'x';
    EXPECT_FALSE(TsListEntryAt(l.data(), c.size, 0, &e));
  }
}

}  // namespace
