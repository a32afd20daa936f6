#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "os_api.h"
#include "store_fixture.h"

namespace {

// The fault-injecting file table: filled before a store (and its flush
// thread) starts, so that swapping it in later only publishes a pointer.
KstOsApi g_inject_api;
std::atomic<ssize_t (*)(int, const void *, size_t, off_t)> g_pwrite_fn{nullptr};
ssize_t DispatchPwrite(int fd, const void *buf, size_t n, off_t off) {
  auto fn = g_pwrite_fn.load();
  return fn ? fn(fd, buf, n, off) : pwrite(fd, buf, n, off);
}

class StoreOps : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    g_inject_api = *KstOsApiDefault();
    g_inject_api.pwrite = DispatchPwrite;
    ASSERT_EQ(Open(), 0u);
  }
  std::string Unscrambled(const std::vector<char> &buf, uint32_t size) {
    std::string s(buf.data(), size);
    KstUnscrambleData(KST_SCRAMBLE_KEY, &s[0], size);
    return s;
  }
};

// ---- write: the records on disk -------------------------------------------------

TEST_F(StoreOps, SmallObjectIsA119ByteRecordAtTheEnd) {
  ASSERT_EQ(Write("abc.d", "12345", 0, 0x11, 0x22), 0u);
  std::string b = Bytes();
  ASSERT_EQ(b.size(), 1060u + 119u);
  EXPECT_EQ(b.substr(1060, 8), "]?@=-!|+");
  EXPECT_EQ(U32(b, 1068), 82u);
  EXPECT_EQ(U32(b, 1072), 5u);
  EXPECT_EQ(U32(b, 1076), 37u);
  EXPECT_EQ(U32(b, 1084), 0x11u);
  EXPECT_EQ(U32(b, 1108), 0x22u);
  EXPECT_EQ(U32(b, 1132), 6u);
  EXPECT_EQ(b.substr(1136, 6), std::string("abc.d\0", 6));
  EXPECT_EQ(b.substr(1142, 5), "12345");
  EXPECT_EQ(b.substr(1147), std::string(32, 's'));
  EXPECT_EQ(s_->db_size, 1060u + 119u);
  EXPECT_EQ(s_->writes, 1u);
}

TEST_F(StoreOps, SupersizedObjectReserves10240BytesOfS) {
  ASSERT_EQ(Write("abc.d", "12345", kTsAttrSupersized), 0u);
  std::string b = Bytes();
  ASSERT_EQ(b.size(), 1060u + 82u + 10245u);
  EXPECT_EQ(U32(b, 1076), 10245u);
  EXPECT_TRUE(b.substr(1147) == std::string(10240, 'S'));
  EXPECT_EQ(s_->supersized, 1u);
}

TEST_F(StoreOps, AlternativeFillerFlag) {
  Close();
  ASSERT_EQ(Open(kTsOpenAltFiller), 0u);
  ASSERT_EQ(Write("n", "1"), 0u);
  EXPECT_EQ(Bytes().substr(1060 + 78 + 1), std::string(32, 'c'));
}

TEST_F(StoreOps, RewriteStaysInPlaceWhileItFitsAndMovesAfter) {
  ASSERT_EQ(Write("abc.d", "12345"), 0u);
  std::string before = Bytes();
  ASSERT_EQ(Write("abc.d", std::string(30, 'x')), 0u);
  std::string b = Bytes();
  ASSERT_EQ(b.size(), before.size());
  EXPECT_EQ(U32(b, 1072), 30u);
  EXPECT_EQ(U32(b, 1076), 37u);  // the data area stays
  EXPECT_EQ(b.substr(1142, 37), std::string(30, 'x') + std::string(7, 's'));
  EXPECT_EQ(ReadOk("abc.d"), std::string(30, 'x'));

  std::string in_place = Bytes();
  ASSERT_EQ(Write("abc.d", std::string(40, 'y')), 0u);
  b = Bytes();
  ASSERT_EQ(b.size(), in_place.size() + 82 + 72);
  // The old record changed in its deleted word only.
  std::string old_now = b.substr(0, in_place.size());
  EXPECT_EQ(U32(old_now, 1060 + 44), 1u);
  PutU32(&old_now, 1060 + 44, 0);
  EXPECT_EQ(old_now.substr(1060), in_place.substr(1060));
  EXPECT_EQ(U32(b, in_place.size() + 16), 72u);
  EXPECT_EQ(ReadOk("abc.d"), std::string(40, 'y'));
  EXPECT_EQ(s_->deleted, 1u);
  EXPECT_EQ(s_->wasted, 37u);
  EXPECT_EQ(s_->active, 1u);
  Reopen();
  EXPECT_EQ(ReadOk("abc.d"), std::string(40, 'y'));
  EXPECT_EQ(s_->deleted, 1u);
}

TEST_F(StoreOps, EmptyDataIsStoredWithArea32) {
  ASSERT_EQ(Write("e", ""), 0u);
  std::string b = Bytes();
  EXPECT_EQ(U32(b, 1072), 0u);
  EXPECT_EQ(U32(b, 1076), 32u);
  uint8_t d[16];
  TsMd5("", 0, d);
  EXPECT_EQ(b.substr(1060 + 28, 16), std::string(reinterpret_cast<char *>(d), 16));
  uint32_t size = 99;
  std::string out;
  EXPECT_EQ(Read("e", &out, 10, &size), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(StoreWrite(s_, "e", nullptr, 0, 0, 0, 0), 87u);
}

TEST_F(StoreOps, MemoryOnlyObjectsNeverTouchTheFile) {
  std::string before = Bytes();
  std::string big(1000, 'M');
  ASSERT_EQ(Write("mem.small", "tiny", kTsAttrMemoryOnly), 0u);
  ASSERT_EQ(Write("mem.big", big, kTsAttrMemoryOnly), 0u);
  ASSERT_EQ(Write("mem.big", big + big, kTsAttrMemoryOnly), 0u);  // grows its block
  ASSERT_EQ(Write("mem.small", std::string(300, 's'), kTsAttrMemoryOnly), 0u);
  EXPECT_EQ(ReadOk("mem.small"), std::string(300, 's'));
  EXPECT_EQ(ReadOk("mem.big"), big + big);
  TsObjectInfo info;
  ASSERT_EQ(StoreGetObjectInfo(s_, "mem.big", &info), 0u);
  EXPECT_EQ(info.offset, 0u);
  EXPECT_EQ(s_->active, 2u);
  EXPECT_EQ(s_->supersized, 0u);
  uint32_t size = 0;
  ASSERT_EQ(StoreListObjects(s_, "mem.", nullptr, &size, 1), 0u);
  EXPECT_EQ(size, 2 * 16u + 8 + 10);
  ASSERT_EQ(StoreDelete(s_, "mem.big"), 0u);
  EXPECT_EQ(s_->active, 1u);
  EXPECT_EQ(s_->deleted, 1u);
  EXPECT_EQ(Bytes(), before);
  Reopen();
  EXPECT_EQ(s_->active, 0u);
}

TEST_F(StoreOps, KindBitsOfAnObjectCannotChange) {
  ASSERT_EQ(Write("k", "1"), 0u);
  EXPECT_EQ(Write("k", "2", kTsAttrSupersized), 0x370014u);
  EXPECT_EQ(Write("k", "2", kTsAttrMemoryOnly), 0x370014u);
  EXPECT_EQ(ReadOk("k"), "1");
  EXPECT_EQ(Write("k", "3", 0x00000F00), 0u);  // other bits may change
  EXPECT_EQ(Write("star*", "x"), 0x370014u);
  EXPECT_EQ(Write(std::string(260, 'n'), "x"), 0x37000Fu);
  EXPECT_EQ(Write(std::string(259, 'n'), "x"), 0u);
}

// ---- read ---------------------------------------------------------------------

TEST_F(StoreOps, LargeValuesComeFromTheFileAndAreCheckedEveryRead) {
  std::string v300(300, 'L'), v200(200, 'S');
  ASSERT_EQ(Write("big", v300), 0u);
  ASSERT_EQ(Write("small", v200), 0u);
  EXPECT_EQ(ReadOk("big"), v300);
  // Flip a data byte of "big" on disk behind the engine's back.
  int fd = ::open(path_.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  char c = 'X';
  ASSERT_EQ(pwrite(fd, &c, 1, 1060 + 80 + 150), 1);
  ::close(fd);
  std::string out;
  EXPECT_EQ(Read("big", &out), 0x37000Eu);
  EXPECT_EQ(s_->failed_reads, 1u);
  EXPECT_EQ(ReadOk("small"), v200);
}

TEST_F(StoreOps, BufferTooSmallAndSizeOnlyReads) {
  ASSERT_EQ(Write("twenty", std::string(20, 't'), 0, 5, 6), 0u);
  char buf[10];
  uint32_t size = 10, lw = 1, at = 1, co = 1;
  EXPECT_EQ(StoreRead(s_, "twenty", buf, &size, &lw, &at, &co), 4101u);
  EXPECT_EQ(size, 20u);
  size = 0;
  EXPECT_EQ(StoreRead(s_, "twenty", nullptr, &size, &lw, &at, &co), 0u);
  EXPECT_EQ(size, 20u);
  EXPECT_EQ(lw, 5u);
  EXPECT_EQ(co, 6u);
  EXPECT_EQ(StoreRead(s_, "twenty", buf, nullptr, &lw, &at, &co), 87u);
  EXPECT_EQ(StoreRead(nullptr, "twenty", buf, &size, &lw, &at, &co), 6u);
  EXPECT_EQ(s_->reads, 1u);  // 4101 and argument errors do not count
}

TEST_F(StoreOps, ContainersAndUnknownNames) {
  ASSERT_EQ(Write("a.b", "x"), 0u);
  uint32_t size = 5;
  std::string out;
  EXPECT_EQ(Read("a", &out, 100, &size), 0x370010u);
  EXPECT_EQ(size, 0u);
  size = 5;
  EXPECT_EQ(Read("q", &out, 100, &size), 0u);
  EXPECT_EQ(size, 0u);
  TsObjectInfo info;
  EXPECT_EQ(StoreGetObjectInfo(s_, "a", &info), 0x370010u);
  EXPECT_EQ(StoreGetObjectInfo(s_, "q", &info), 0x370001u);
  EXPECT_EQ(StoreGetObjectInfo(s_, "", &info), 0x370010u);
  ASSERT_EQ(StoreGetObjectInfo(s_, "a.b", &info), 0u);
  EXPECT_EQ(info.data_size, 1u);
  EXPECT_EQ(info.offset, 1060u);
  EXPECT_EQ(info.consumer, 7u);
  EXPECT_EQ(StoreGetObjectInfo(s_, std::string(260, 'n').c_str(), &info), 0x37000Fu);
  EXPECT_EQ(s_->infos, 3u);
  ASSERT_EQ(StoreDelete(s_, "a.b"), 0u);
  EXPECT_EQ(StoreGetObjectInfo(s_, "", &info), 0x370001u);
}

TEST_F(StoreOps, ListingReadGivesEachNextComponentOnce) {
  for (const char *n : {"a.b", "a.c.d", "a.c.e", "ab.x", "a"}) ASSERT_EQ(Write(n, "v"), 0u);
  std::vector<char> buf(100);
  uint32_t size = 22, lw, at, co;
  EXPECT_EQ(StoreRead(s_, "a.*", buf.data(), &size, &lw, &at, &co), 4101u);
  EXPECT_EQ(size, 23u);
  size = 100;
  ASSERT_EQ(StoreRead(s_, "a.*", buf.data(), &size, &lw, &at, &co), 0u);
  ASSERT_EQ(size, 23u);
  EXPECT_EQ(Unscrambled(buf, size), std::string("00000001b\r\n00000001c\r\n\0", 23));
  size = 100;
  ASSERT_EQ(StoreRead(s_, "zz.*", buf.data(), &size, &lw, &at, &co), 0u);
  EXPECT_EQ(size, 0u);
  // A prefix not ending in "." walks the whole list.
  size = 100;
  ASSERT_EQ(StoreRead(s_, "a*", buf.data(), &size, &lw, &at, &co), 0u);
  EXPECT_EQ(Unscrambled(buf, size),
            std::string("00000000\r\n00000002.b\r\n00000002.c\r\n00000001b\r\n\0", 46));
}

// ---- delete ------------------------------------------------------------------

TEST_F(StoreOps, DeleteByPrefixKeepsNeighbours) {
  for (const char *n : {"a.b", "a.c.d", "a", "ab.x", "a.c.e", "b.q"}) ASSERT_EQ(Write(n, "v"), 0u);
  ASSERT_EQ(StoreDelete(s_, "a.*"), 0u);
  std::string out;
  uint32_t size;
  for (const char *gone : {"a.b", "a.c.d", "a.c.e"}) {
    EXPECT_EQ(Read(gone, &out, 10, &size), 0u);
    EXPECT_EQ(size, 0u) << gone;
  }
  EXPECT_EQ(ReadOk("a"), "v");
  EXPECT_EQ(ReadOk("ab.x"), "v");
  EXPECT_EQ(ReadOk("b.q"), "v");
  EXPECT_EQ(s_->active, 3u);
  EXPECT_EQ(s_->deleted, 3u);
  EXPECT_EQ(s_->deletes, 1u);
  Reopen();
  EXPECT_EQ(s_->active, 3u);
  EXPECT_EQ(s_->deleted, 3u);
  EXPECT_EQ(ReadOk("ab.x"), "v");
}

TEST_F(StoreOps, DeleteByAPrefixWithoutDotWalksTheWholeList) {
  for (const char *n : {"x.a", "a", "b.q", "ab.x", "a.b.c", "abc"}) ASSERT_EQ(Write(n, "v"), 0u);
  ASSERT_EQ(StoreDelete(s_, "a*"), 0u);
  uint32_t size = 0;
  ASSERT_EQ(StoreListObjects(s_, "", nullptr, &size, 1), 0u);
  EXPECT_EQ(size, (16u + 4) + (16u + 4));  // "x.a" and "b.q" remain
  EXPECT_EQ(ReadOk("x.a"), "v");
  EXPECT_EQ(ReadOk("b.q"), "v");
  EXPECT_EQ(s_->active, 2u);
}

TEST_F(StoreOps, DeleteMarksOnlyTheDeletedWord) {
  ASSERT_EQ(Write("x.y", std::string(50, 'd'), kTsAttrSupersized), 0u);
  std::string before = Bytes();
  ASSERT_EQ(StoreDelete(s_, "x.y"), 0u);
  std::string after = Bytes();
  EXPECT_EQ(U32(after, 1060 + 44), 1u);
  PutU32(&after, 1060 + 44, 0);
  EXPECT_TRUE(after == before);
  EXPECT_EQ(s_->supersized, 0u);
  EXPECT_EQ(s_->wasted, 50u + 10240u);
  EXPECT_EQ(StoreDelete(s_, "x.y"), 0u);  // nothing there: still 0
}

// ---- list objects ------------------------------------------------------------------

TEST_F(StoreOps, ListObjectsWritesEntriesInListOrder) {
  ASSERT_EQ(Write("p.a", "1", 0x12, 0x34, 0x56), 0u);
  ASSERT_EQ(Write("p.b.c", "2"), 0u);
  ASSERT_EQ(Write("q", "3"), 0u);
  void *list = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(StoreListObjects(s_, "p.", &list, &size, 1), 0u);
  ASSERT_EQ(size, (16u + 4) + (16u + 6));
  auto *p = static_cast<const uint8_t *>(list);
  TsListEntry e{};
  ASSERT_TRUE(TsListEntryAt(p, size, 0, &e));
  EXPECT_EQ(e.length, 20u);
  EXPECT_EQ(e.attr, 0x12u);
  EXPECT_EQ(e.last_wr, 0x34u);
  EXPECT_EQ(e.consumer, 0x56u);
  EXPECT_STREQ(e.name, "p.a");
  ASSERT_TRUE(TsListEntryAt(p, size, 20, &e));
  EXPECT_STREQ(e.name, "p.b.c");
  EXPECT_EQ(e.length, 22u);
  EXPECT_EQ(p[size], 0);  // the block's extra byte
  KstFreeMem(list, 0);
  ASSERT_EQ(StoreListObjects(s_, "p.", nullptr, &size, 0), 0u);
  EXPECT_EQ(size, 20u);  // "p.b.c" lies deeper
  ASSERT_EQ(StoreListObjects(s_, "none.", &list, &size, 1), 0u);
  EXPECT_EQ(size, 0u);
  KstFreeMem(list, 0);
  EXPECT_EQ(s_->lists, 3u);
}

// ---- read multiple ---------------------------------------------------------------

struct Block {
  std::vector<uint8_t> b;
  std::vector<size_t> items;
  explicit Block(const std::vector<std::pair<std::string, bool>> &reqs, uint32_t data_room) {
    b.resize(kTsMultiHeaderSize);
    for (auto &[name, info_only] : reqs) {
      size_t at = b.size();
      items.push_back(at);
      b.resize(at + TsMultiItemLength(uint32_t(name.size())));
      TsMultiPutItem(&b[at], name.c_str(), uint32_t(name.size()), info_only);
    }
    TsMultiBegin(b.data(), uint32_t(reqs.size()), uint32_t(b.size()));
    b.resize(b.size() + data_room + 1);
  }
  void Put(size_t at, uint32_t v) { TsPutU32(&b[at], v); }
  TsMultiReply Reply(size_t item) const { return TsMultiGetReply(&b[items[item]]); }
  std::string Data(size_t item, uint32_t size) const {
    size_t base = TsMultiDataOffset(b.data()) + Reply(item).data_offset;
    return std::string(reinterpret_cast<const char *>(&b[base]), size);
  }
};

TEST_F(StoreOps, ReadMultipleFillsItemsAndAccountsForCapacity) {
  ASSERT_EQ(Write("m.one", "11111", 0, 3, 4), 0u);
  ASSERT_EQ(Write("m.big", std::string(400, 'B')), 0u);
  ASSERT_EQ(Write("c.d.e", "x"), 0u);
  Block blk({{"m.one", false}, {"m.big", true}, {"c.d", false}, {"", false}, {"m.big", false}},
            410);
  ASSERT_EQ(StoreReadMultiple(s_, uint32_t(blk.b.size()), blk.b.data()), 0u);
  EXPECT_EQ(blk.Reply(0).result, 0u);
  EXPECT_EQ(blk.Reply(0).size, 5u);
  EXPECT_EQ(blk.Reply(0).last_wr, 3u);
  EXPECT_EQ(blk.Data(0, 5), "11111");
  EXPECT_EQ(blk.Reply(1).result, 0u);  // information only: no capacity used
  EXPECT_EQ(blk.Reply(1).size, 400u);
  EXPECT_EQ(blk.Reply(2).result, 0x370010u);
  EXPECT_EQ(blk.Reply(3).result, 123u);
  EXPECT_EQ(blk.Reply(4).result, 0u);
  EXPECT_EQ(blk.Reply(4).data_offset, 5u);
  EXPECT_EQ(blk.Data(4, 400), std::string(400, 'B'));
  EXPECT_EQ(TsMultiTotal(blk.b.data()), 405u);
  EXPECT_EQ(s_->read_multiples, 1u);

  Block small({{"m.big", false}, {"m.one", false}}, 100);
  EXPECT_EQ(StoreReadMultiple(s_, uint32_t(small.b.size()), small.b.data()), 4101u);
  EXPECT_EQ(small.Reply(0).result, 4101u);
  EXPECT_EQ(small.Reply(0).size, 400u);
  EXPECT_EQ(small.Reply(1).result, 0u);
  EXPECT_EQ(TsMultiTotal(small.b.data()), 405u);
  EXPECT_EQ(s_->read_multiples, 1u);
}

TEST_F(StoreOps, ReadMultipleRefusesMalformedBlocks) {
  ASSERT_EQ(Write("n", "1"), 0u);
  struct Case {
    const char *what;
    void (*damage)(Block *);
  } cases[] = {
      {"block mark", [](Block *k) { k->b[kTsMultiOffMark] ^= 1; }},
      {"data offset below 16", [](Block *k) { k->Put(kTsMultiOffDataOffset, 15); }},
      {"data offset past capacity",
       [](Block *k) { k->Put(kTsMultiOffDataOffset, uint32_t(k->b.size())); }},
      {"data offset wraps", [](Block *k) { k->Put(kTsMultiOffDataOffset, 0xFFFFFFFFu); }},
      {"item length below 33", [](Block *k) { k->Put(k->items[0] + kTsItemOffLength, 32); }},
      {"item past the item area",
       [](Block *k) { k->Put(k->items[0] + kTsItemOffLength, 1000); }},
      {"name without zero", [](Block *k) { k->b[k->items[0] + kTsItemOffName + 1] = 'x'; }},
      {"more items than present", [](Block *k) { k->Put(kTsMultiOffCount, 2); }},
  };
  for (const Case &c : cases) {
    Block blk({{"n", false}}, 10);
    c.damage(&blk);
    EXPECT_EQ(StoreReadMultiple(s_, uint32_t(blk.b.size()), blk.b.data()), 87u) << c.what;
  }
  Block blk({{"n", false}}, 10);
  EXPECT_EQ(StoreReadMultiple(s_, 0, blk.b.data()), 87u);
  EXPECT_EQ(StoreReadMultiple(nullptr, uint32_t(blk.b.size()), blk.b.data()), 87u);
  // A wrong item mark ends the items without error.
  blk.b[blk.items[0] + kTsItemOffMark] ^= 1;
  EXPECT_EQ(StoreReadMultiple(s_, uint32_t(blk.b.size()), blk.b.data()), 0u);
}

// ---- failures ------------------------------------------------------------------

std::atomic<int> g_fail_pwrites{0};
ssize_t FailingPwrite(int fd, const void *buf, size_t n, off_t off) {
  if (g_fail_pwrites.load() > 0) {
    g_fail_pwrites.fetch_sub(1);
    errno = ENOSPC;
    return -1;
  }
  return pwrite(fd, buf, n, off);
}
ssize_t ShortPwrite(int fd, const void *buf, size_t n, off_t off) {
  // Half of every write lands, then the disk is full.
  if (g_fail_pwrites.load() > 0 && n > 1) {
    g_fail_pwrites.fetch_sub(1);
    return pwrite(fd, buf, n / 2, off);
  }
  if (g_fail_pwrites.load() > 0) {
    errno = ENOSPC;
    return -1;
  }
  return pwrite(fd, buf, n, off);
}

class InjectedWrites {
 public:
  explicit InjectedWrites(ssize_t (*fn)(int, const void *, size_t, off_t), int count) {
    g_fail_pwrites = count;
    g_pwrite_fn = fn;
    KstOsApiInstall(&g_inject_api);
  }
  ~InjectedWrites() {
    KstOsApiInstall(nullptr);
    g_pwrite_fn = nullptr;
    g_fail_pwrites = 0;
  }
};

TEST_F(StoreOps, FailedFileWriteLeavesTheIndexAndTheFileAsTheyWere) {
  ASSERT_EQ(Write("keep", "old"), 0u);
  std::string before = Bytes();
  for (auto fn : {FailingPwrite, ShortPwrite}) {
    InjectedWrites inject(fn, 1000);
    EXPECT_EQ(Write("new.obj", "data"), 112u);
    EXPECT_EQ(Write("keep", std::string(100, 'm')), 112u);  // would move
  }
  EXPECT_EQ(s_->failed_writes, 4u);
  EXPECT_EQ(s_->writes, 1u);
  EXPECT_EQ(s_->active, 1u);
  std::string out;
  uint32_t size = 9;
  EXPECT_EQ(Read("new.obj", &out, 10, &size), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(ReadOk("keep"), "old");
  EXPECT_TRUE(Bytes() == before);
  EXPECT_NE(Log().find("TS error: Write object failed: 00000070: 'new.obj'"), std::string::npos);
  // The store goes on normally afterwards.
  ASSERT_EQ(Write("new.obj", "data"), 0u);
  Reopen();
  EXPECT_EQ(ReadOk("new.obj"), "data");
  EXPECT_EQ(ReadOk("keep"), "old");
}

// Appending the replacement worked but marking the old record failed: the
// reopened store still has exactly one object, the new one.
TEST_F(StoreOps, FailedMarkAfterAMoveStillReopensToTheNewValue) {
  ASSERT_EQ(Write("k", "old"), 0u);
  {
    // The append is the first pwrite, the mark the second.
    struct OnlySecond {
      static ssize_t Fn(int fd, const void *buf, size_t n, off_t off) {
        if (g_fail_pwrites.fetch_add(1) == 1) {
          errno = EIO;
          return -1;
        }
        return pwrite(fd, buf, n, off);
      }
    };
    InjectedWrites inject(OnlySecond::Fn, 0);
    ASSERT_EQ(Write("k", std::string(100, 'n')), 0u);
  }
  EXPECT_EQ(s_->failed_writes, 1u);
  Reopen();
  EXPECT_EQ(ReadOk("k"), std::string(100, 'n'));
  EXPECT_EQ(s_->active, 1u);
  EXPECT_EQ(s_->deleted, 1u);
}

// Fails exactly the pwrite numbered g_fail_at (0-based) from installation.
std::atomic<int> g_fail_at{-1};
ssize_t FailNth(int fd, const void *buf, size_t n, off_t off) {
  if (g_fail_pwrites.fetch_add(1) == g_fail_at.load()) {
    errno = EIO;
    return -1;
  }
  return pwrite(fd, buf, n, off);
}

// An in-place rewrite writes a guard copy at the end first (pwrite 0), then
// the record in place (pwrite 1), then cuts the copy off again.
TEST_F(StoreOps, InPlaceRewriteIsGuardedByACopyAtTheEnd) {
  ASSERT_EQ(Write("k", "old-value"), 0u);
  std::string before = Bytes();
  {
    g_fail_at = 0;  // the guard copy cannot be written: nothing changes
    InjectedWrites inject(FailNth, 0);
    EXPECT_EQ(Write("k", "new"), KstMapOsError(EIO));
    EXPECT_EQ(s_->failed_writes, 1u);
  }
  EXPECT_EQ(ReadOk("k"), "old-value");
  EXPECT_TRUE(Bytes() == before);
  {
    g_fail_at = 1;  // the rewrite fails: the guard copy becomes the record
    InjectedWrites inject(FailNth, 0);
    EXPECT_EQ(Write("k", "new"), 0u);
  }
  g_fail_at = -1;
  EXPECT_EQ(ReadOk("k"), "new");
  EXPECT_EQ(s_->deleted, 1u);
  Reopen();
  EXPECT_EQ(ReadOk("k"), "new");
  EXPECT_EQ(s_->active, 1u);
  // A successful rewrite leaves the file as long as it was.
  size_t len = Bytes().size();
  ASSERT_EQ(Write("k", "newer"), 0u);
  EXPECT_EQ(Bytes().size(), len);
  Reopen();
  EXPECT_EQ(ReadOk("k"), "newer");
}

TEST_F(StoreOps, FailedDeleteLeavesTheObjectInPlace) {
  ASSERT_EQ(Write("d.x", "stay"), 0u);
  const uint32_t eio = KstMapOsError(EIO);
  {
    g_fail_at = 0;  // the delete's header write
    InjectedWrites inject(FailNth, 0);
    EXPECT_EQ(StoreDelete(s_, "d.x"), eio);
    g_fail_at = 1;  // the prefix delete's header write
    EXPECT_EQ(StoreDelete(s_, "d.*"), eio);
  }
  g_fail_at = -1;
  EXPECT_EQ(s_->failed_writes, 2u);
  EXPECT_EQ(ReadOk("d.x"), "stay");
  EXPECT_EQ(s_->active, 1u);
  char line[128];
  std::snprintf(line, sizeof line, "TsDel: Writing header failed (%xh): d.x at 424h", eio);
  EXPECT_NE(Log().find(line), std::string::npos) << Log();
  Reopen();
  EXPECT_EQ(ReadOk("d.x"), "stay");
}

TEST_F(StoreOps, WritePastFourGigabytesIsRefused) {
  s_->file_end = 0xFFFFFF00u;  // as if the file had grown that far
  EXPECT_EQ(Write("far", std::string(200, 'f')), 112u);
  EXPECT_EQ(s_->active, 0u);
  s_->file_end = uint32_t(Bytes().size());
  EXPECT_EQ(StoreWrite(s_, "huge", "x", 0xFFFFFFF0u, 0, 0, 0), 87u);
}

TEST_F(StoreOps, StatisticsAppearInTheShutdownReport) {
  Close();
  ASSERT_EQ(Open(kTsOpenShutdownReport), 0u);
  ASSERT_EQ(Write("a", "1"), 0u);
  ReadOk("a");
  ClearLog();
  Close();
  std::string log = Log();
  for (const char *line :
       {"Resource database shutting down", "Read requets....................: 1",
        "Write requests..................: 1", "Active objects..................: 1",
        "Last pack was at................: The resource database has never been packed",
        "Orderly shutdown completed, bye for now!"})
    EXPECT_NE(log.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << log;
}

}  // namespace
