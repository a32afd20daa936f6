// Pack reads its backup through a window: stores laid out so that records
// lie across the window's edges, are larger than it, follow the file's
// order or jump about it, and the odd stores (empty, only deleted records,
// a torn tail). The window is made small so that a few kilobytes of records
// cross many of its edges.
#include <sys/types.h>

#include <atomic>
#include <cerrno>

#include "os_api.h"
#include "store_fixture.h"
#include "store_maint.h"

namespace {

constexpr uint32_t kWindow = 4096;

std::atomic<int> g_reads{0};
ssize_t CountingPread(int fd, void *buf, size_t n, off_t off) {
  ++g_reads;
  return KstOsApiDefault()->pread(fd, buf, n, off);
}

std::atomic<int> g_write_backs{0};
int RefusedWriteBack(int, off_t, off_t, unsigned int) {
  ++g_write_backs;
  errno = EIO;
  return -1;
}

std::string Data(uint32_t size, int seed) {
  std::string d(size, '\0');
  for (uint32_t i = 0; i < size; ++i) d[i] = char('A' + (i * 7 + uint32_t(seed) * 13) % 53);
  return d;
}

// One record of a store laid out by hand, in file order.
struct Rec {
  std::string name;
  uint32_t size;
  uint32_t attr = 0;
  bool deleted = false;
};

struct Case {
  const char *what;
  std::vector<Rec> recs;
  size_t torn = 0;       // bytes of one more record cut short at the end
  int damage = -1;       // this record's data get one byte changed (middle)
  uint32_t version = 4;
  uint32_t want_rc = 0;
};

// Names in ascending containers: the index lists them in file order.
std::vector<Rec> InOrder(const std::vector<uint32_t> &sizes) {
  std::vector<Rec> v;
  for (size_t i = 0; i < sizes.size(); ++i) {
    char n[32];
    std::snprintf(n, sizeof n, "c%03zu.x", i);
    v.push_back({n, sizes[i]});
  }
  return v;
}

std::vector<Case> Cases() {
  std::vector<Case> cs;
  {
    // 1500 to 1900 bytes each: most data cross a 4 KiB edge somewhere.
    std::vector<uint32_t> sizes;
    for (int i = 0; i < 30; ++i) sizes.push_back(1500 + uint32_t(i * 97 % 400));
    cs.push_back({"records across window edges", InOrder(sizes)});
    Case damaged{"damaged data across a window edge", InOrder(sizes)};
    damaged.damage = 7;
    damaged.want_rc = TS_ERR_DIGEST;
    cs.push_back(damaged);
  }
  cs.push_back({"records larger than a window",
                InOrder({3000, 9000, 600, 20000, 4096, 4097, 300, 12000, 2000})});
  {
    // Reverse containers: each next record in list order lies before the
    // last one in the file.
    std::vector<Rec> v = InOrder({700, 2500, 5000, 900, 3100, 8000, 400, 1800});
    std::reverse(v.begin(), v.end());
    cs.push_back({"list order against the file order", v});
  }
  {
    std::vector<Rec> v = InOrder({2000, 100, 70000, 3000, 250, 5000, 2600, 40, 9000});
    v[1].attr = kTsAttrSupersized;
    v[2].deleted = true;  // a gap wider than a run between records read in order
    v[5].deleted = true;
    v[6].attr = kTsAttrSupersized;
    cs.push_back({"kept, supersized and deleted records between", v});
  }
  {
    std::vector<Rec> v = InOrder({1000, 3000, 200, 9000});
    for (Rec &r : v) r.deleted = true;
    cs.push_back({"only deleted records", v});
  }
  cs.push_back({"empty store", {}});
  {
    Case torn{"torn tail", InOrder({2000, 3000, 1700, 6000})};
    torn.torn = 900;
    cs.push_back(torn);
  }
  {
    Case v3{"version 3 across window edges", InOrder({1500, 2600, 5000, 700, 3300})};
    v3.version = 3;
    cs.push_back(v3);
  }
  return cs;
}

class PackWindow : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    TsPackSetWindow(kWindow);
  }
  void TearDown() override {
    KstOsApiInstall(nullptr);
    TsPackSetWindow(0);
    StoreFixture::TearDown();
  }

  // Lays the case's records out and returns the packed size it must give.
  uint64_t Lay(const Case &c) {
    std::string b = c.version == 3 ? V3Header() : V4Header();
    uint64_t packed = kTsFileHeaderLenV4;
    for (size_t i = 0; i < c.recs.size(); ++i) {
      const Rec &r = c.recs[i];
      std::string rec = Record(c.version, r.name, Data(r.size, int(i)), r.attr, r.deleted);
      if (int(i) == c.damage) rec[TsRecordHeaderLen(c.version, uint32_t(r.name.size())) + r.size / 2] ^= 1;
      b += rec;
      if (!r.deleted)
        packed += 76 + r.name.size() + 1 + r.size +
                  ((r.attr & kTsAttrSupersized) ? kTsRoomSupersized : kTsRoomNormal);
    }
    if (c.torn) b += Record(c.version, "torn.x", Data(4000, 99)).substr(0, c.torn);
    SetBytes(b);
    return packed;
  }

  bool Indexed(const std::string &name) const {
    return TsIndexLookup(&s_->index, name.c_str(), uint32_t(name.size())) != nullptr;
  }
  void CheckObjects(const Case &c) {
    for (size_t i = 0; i < c.recs.size(); ++i) {
      const Rec &r = c.recs[i];
      EXPECT_EQ(Indexed(r.name), !r.deleted) << r.name;
      if (!r.deleted) {
        EXPECT_TRUE(ReadOk(r.name) == Data(r.size, int(i))) << r.name;
      }
    }
    EXPECT_FALSE(Indexed("torn.x"));
  }
};

TEST_F(PackWindow, PackedStoresHoldTheirLiveRecordsWhateverTheirPlaceInTheWindow) {
  for (const Case &c : Cases()) {
    SCOPED_TRACE(c.what);
    if (s_) Close();
    const uint64_t packed = Lay(c);
    ASSERT_EQ(Open(kTsOpenSalvageTail), 0u);
    const std::string before = Bytes();
    const uint32_t rc = StorePackStoreFile(s_);
    EXPECT_EQ(rc, c.want_rc);
    if (rc) {
      EXPECT_TRUE(Bytes() == before);  // rolled back byte for byte
      continue;
    }
    EXPECT_EQ(Bytes().size(), packed);
    EXPECT_EQ(s_->version, 4u);
    CheckObjects(c);
    Reopen();
    EXPECT_EQ(s_->deleted, 0u);
    CheckObjects(c);
  }
}

// A store whose list follows its file is read in windows, not record by
// record; one whose list jumps about it still packs, a read per record.
TEST_F(PackWindow, ListInFileOrderIsReadInWindows) {
  std::vector<uint32_t> sizes(200, 1000);
  Case c{"in order", InOrder(sizes)};
  Lay(c);
  ASSERT_EQ(Open(), 0u);
  KstOsApi api = *KstOsApiDefault();
  api.pread = CountingPread;
  g_reads = 0;
  KstOsApiInstall(&api);
  ASSERT_EQ(StorePackStoreFile(s_), 0u);
  KstOsApiInstall(nullptr);
  // About 230 KiB of backup through a 4 KiB window: some 60 window reads,
  // and the few of the backup copy; far below one read per record.
  EXPECT_LT(g_reads.load(), 100);
  CheckObjects(c);
}

// Pack and copy start the write-back of what they wrote as they go; that is
// a hint, and a refused one changes nothing: the final sync decides.
TEST_F(PackWindow, RefusedWriteBackFailsNeitherPackNorCopy) {
  std::vector<uint32_t> sizes(320, 30000);  // some 9 MiB: past a write-back step
  Case c{"large", InOrder(sizes)};
  c.recs[5].deleted = true;
  const uint64_t packed = Lay(c);
  ASSERT_EQ(Open(), 0u);
  KstOsApi api = *KstOsApiDefault();
  api.sync_file_range = RefusedWriteBack;
  g_write_backs = 0;
  KstOsApiInstall(&api);
  EXPECT_EQ(StorePackStoreFile(s_), 0u);
  EXPECT_EQ(StoreCopyStoreFile(s_, (folder_ + "copy.kts").c_str()), 0u);
  KstOsApiInstall(nullptr);
  EXPECT_GT(g_write_backs.load(), 2);  // the backup, the rewrite and the copy each asked
  EXPECT_EQ(Bytes().size(), packed);
  EXPECT_EQ(krptest::ReadFile(folder_ + "copy.kts").size(), packed);
  CheckObjects(c);
}

}  // namespace
