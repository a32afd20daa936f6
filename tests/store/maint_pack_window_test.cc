// Pack gathers its records' data from the backup, a slice of the list at a
// time, in file order through a window: stores laid out so that records lie
// across the window's edges, are larger than it or than a slice, follow the
// file's order or jump about it, and the odd stores (empty, only deleted
// records, a torn tail). The window and the slice bound are made small so
// that a few kilobytes of records cross many of their edges.
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "os_api.h"
#include "store_fixture.h"
#include "store_maint.h"

namespace {

constexpr uint32_t kWindow = 4096;
// Small enough that most stores below take several slices, and that some
// records are longer than a slice.
constexpr uint32_t kBound = 5000;

// The ways a pack reads its backup: through a map of it (the default), or
// forced through the window.
// The map's reading also with the new backup's pages prepared ahead of the
// copy (the bound lowered to take these small stores).
struct Reading {
  const char *what;
  TsPackOrder order;
  uint32_t bound;
  uint32_t prepare = 0;
};
const Reading kReadings[] = {{"mapped", TsPackOrder::kAuto, 0},
                             {"mapped, pages prepared", TsPackOrder::kAuto, 0, 1},
                             {"list order", TsPackOrder::kList, 0},
                             {"file order, one slice", TsPackOrder::kFile, 0},
                             {"file order, small slices", TsPackOrder::kFile, kBound}};
void Use(const Reading &r) {
  TsPackSetReadOrder(r.order);
  TsPackSetGatherBound(r.bound);
  TsPackSetPrepareBound(r.prepare);
}

std::atomic<int> g_reads{0};
ssize_t CountingPread(int fd, void *buf, size_t n, off_t off) {
  ++g_reads;
  return KstOsApiDefault()->pread(fd, buf, n, off);
}

// Fails the `g_fail_write`-th write to the file `g_store_fd` (once).
std::atomic<int> g_store_fd{-1};
std::atomic<int> g_fail_write{0};
std::atomic<int> g_store_writes{0};
ssize_t FailingPwrite(int fd, const void *buf, size_t n, off_t off) {
  if (fd == g_store_fd && ++g_store_writes == g_fail_write) {
    errno = ENOSPC;
    return -1;
  }
  return KstOsApiDefault()->pwrite(fd, buf, n, off);
}

std::atomic<int> g_maps{0};
void *RefusedMap(void *, size_t, int, int, int, off_t) {
  ++g_maps;
  errno = ENOMEM;
  return MAP_FAILED;
}

std::atomic<int> g_write_backs{0};
int RefusedWriteBack(int, off_t, off_t, unsigned int) {
  ++g_write_backs;
  errno = EIO;
  return -1;
}

// Fails every sync of `g_sync_fd` (-1: of any file) that a thread other
// than `g_test_thread` asks for: the syncs behind the copy and the rewrite,
// never their final ones. A write of such a file from `g_sync_step` on waits
// until `g_want_syncs` of them have failed, so that the thread behind the
// writer (which has seen a whole step written by then) always gets to sync.
std::thread::id g_test_thread;
std::atomic<int> g_sync_fd{-1};
std::atomic<int> g_other_syncs{0};
std::atomic<int> g_want_syncs{0};
constexpr off_t g_sync_step = 0x40000;
int FailingOtherSync(int fd) {
  if (std::this_thread::get_id() == g_test_thread || (g_sync_fd >= 0 && fd != g_sync_fd))
    return KstOsApiDefault()->fsync(fd);
  ++g_other_syncs;
  errno = EIO;
  return -1;
}
ssize_t AwaitingPwrite(int fd, const void *buf, size_t n, off_t off) {
  if (off >= g_sync_step && (g_sync_fd < 0 || fd == g_sync_fd))
    while (g_other_syncs < g_want_syncs) std::this_thread::yield();
  return KstOsApiDefault()->pwrite(fd, buf, n, off);
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

// The records in an order that jumps about: the index lists them by name,
// the file holds them in this order.
std::vector<Rec> Scattered(std::vector<Rec> v) {
  const size_t n = v.size();
  std::vector<Rec> out;
  for (size_t i = 0; i < n; ++i) out.push_back(v[(i * 17 + 5) % n]);  // n is no multiple of 17
  return out;
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
    std::vector<uint32_t> sizes;
    for (int i = 0; i < 40; ++i) sizes.push_back(300 + uint32_t(i * 331 % 2500));
    cs.push_back({"list jumps about the file", Scattered(InOrder(sizes))});
    // Some 2.4 MB: with the default bound one slice of many windows; the
    // damaged record lies in the later half of the file.
    Case two{"damaged data in a large slice",
             Scattered(InOrder(std::vector<uint32_t>(80, 30000)))};
    two.damage = 61;
    two.want_rc = TS_ERR_DIGEST;
    cs.push_back(two);
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
    TsPackSetGatherBound(0);
    TsPackSetPrepareBound(0);
    TsPackSetReadOrder(TsPackOrder::kAuto);
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
  for (const Reading &reading : kReadings) {
    Use(reading);
    for (const Case &c : Cases()) {
      SCOPED_TRACE(std::string(c.what) + ", " + reading.what);
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
}

// Two damaged records whose order in the list is the reverse of their order
// in the file, read in list order, in one slice and in two: the one reported
// is always the first the rewrite reaches.
TEST_F(PackWindow, FirstDamagedRecordInListOrderIsReported) {
  for (const Reading &reading : kReadings) {
    Use(reading);
    SCOPED_TRACE(reading.what);
    if (s_) Close();
    std::vector<Rec> v = InOrder({1200, 2200, 3000, 1800, 2500, 900});
    std::reverse(v.begin(), v.end());  // file: c005 .. c000; list: c000 .. c005
    std::string b = V4Header();
    for (size_t i = 0; i < v.size(); ++i) {
      std::string rec = Record(4, v[i].name, Data(v[i].size, int(i)));
      if (i == 1 || i == 4) rec[TsRecordHeaderLen(4, uint32_t(v[i].name.size())) + 7] ^= 1;
      b += rec;
    }
    SetBytes(b);
    ASSERT_EQ(Open(), 0u);
    ClearLog();
    const std::string before = Bytes();
    EXPECT_EQ(StorePackStoreFile(s_), TS_ERR_DIGEST);
    EXPECT_TRUE(Bytes() == before);
    const std::string log = Log();
    EXPECT_NE(log.find("data of 'c001.x'"), std::string::npos) << log;
    EXPECT_EQ(log.find("data of 'c004.x'"), std::string::npos) << log;
  }
}

// The first damaged record in list order is the one reported, even when a
// later failure of the rewrite comes first: a damaged small record kept in
// the index (nothing has checked it since the open), or a refused write of
// a later batch of records.
TEST_F(PackWindow, FirstDamagedRecordInListOrderIsReportedBeforeALaterFailure) {
  for (const Reading &reading : kReadings) {
    for (const bool small_damaged : {true, false}) {
      Use(reading);
      SCOPED_TRACE(std::string(reading.what) + (small_damaged ? ", small" : ", write"));
      if (s_) Close();
      // c000 large and damaged, c001 small (kept in the index), then enough
      // records for several batches.
      std::vector<Rec> v = InOrder({3000, 100, 90000, 90000, 90000, 90000});
      std::string b = V4Header();
      for (size_t i = 0; i < v.size(); ++i) {
        std::string rec = Record(4, v[i].name, Data(v[i].size, int(i)));
        if (i == 0 || (i == 1 && small_damaged))
          rec[TsRecordHeaderLen(4, uint32_t(v[i].name.size())) + 7] ^= 1;
        b += rec;
      }
      SetBytes(b);
      ASSERT_EQ(Open(), 0u);
      ClearLog();
      const std::string before = Bytes();
      KstOsApi api = *KstOsApiDefault();
      api.pwrite = FailingPwrite;
      g_store_fd = s_->file;
      g_store_writes = 0;
      g_fail_write = small_damaged ? 0 : 3;  // the header, a batch, then this one
      KstOsApiInstall(&api);
      const uint32_t rc = StorePackStoreFile(s_);
      KstOsApiInstall(nullptr);
      g_store_fd = -1;
      EXPECT_EQ(rc, TS_ERR_DIGEST);
      EXPECT_TRUE(Bytes() == before);
      const std::string log = Log();
      EXPECT_NE(log.find("data of 'c000.x'"), std::string::npos) << log;
      EXPECT_EQ(log.find("data of 'c001.x'"), std::string::npos) << log;
    }
  }
}

// Whether the list follows the file or jumps about it, the pack chooses a
// way that reads the backup in windows, not record by record.
TEST_F(PackWindow, BackupIsReadInWindowsWhateverTheListOrder) {
  std::vector<Rec> in_order = InOrder(std::vector<uint32_t>(200, 1000));
  std::vector<Rec> reversed(in_order.rbegin(), in_order.rend());
  const std::pair<const char *, std::vector<Rec>> orders[] = {
      {"in order", in_order}, {"reversed", reversed}, {"scattered", Scattered(in_order)}};
  for (const auto &order : orders) {
    SCOPED_TRACE(order.first);
    if (s_) Close();
    Case c{order.first, order.second};
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
}

// The bound on a slice comes from KRP_PACK_BYTES when no test set it: a
// small one makes a scattered store take many slices, each read in windows
// of its own, so the backup is read more often than with the default.
TEST_F(PackWindow, SliceBoundComesFromTheEnvironment) {
  const Case c{"scattered", Scattered(InOrder(std::vector<uint32_t>(60, 1500)))};
  TsPackSetReadOrder(TsPackOrder::kFile);
  auto reads_with = [&](const char *bytes) {
    if (s_) Close();
    Lay(c);
    EXPECT_EQ(Open(), 0u);
    if (bytes) setenv("KRP_PACK_BYTES", bytes, 1);
    KstOsApi api = *KstOsApiDefault();
    api.pread = CountingPread;
    g_reads = 0;
    KstOsApiInstall(&api);
    EXPECT_EQ(StorePackStoreFile(s_), 0u);
    KstOsApiInstall(nullptr);
    unsetenv("KRP_PACK_BYTES");
    CheckObjects(c);
    return g_reads.load();
  };
  const int by_default = reads_with(nullptr);
  EXPECT_GT(reads_with("3000"), by_default + 20);  // some 30 slices of two records
  EXPECT_EQ(reads_with("not a number"), by_default);
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

// A sync behind the copy or the rewrite that fails fails them, even where
// their own final sync succeeds (the failed one may have cleared the file's
// error state): the copy is removed, the pack (whose backup was synced
// behind without a fault) rolled back.
TEST_F(PackWindow, FailedSyncBehindFailsCopyAndPack) {
  Case c{"large", InOrder(std::vector<uint32_t>(1000, 3000))};  // some 3 MiB
  c.recs[5].deleted = true;
  Lay(c);
  ASSERT_EQ(Open(), 0u);
  const std::string before = Bytes();
  TsSetSyncBehindStep(uint32_t(g_sync_step));
  KstOsApi api = *KstOsApiDefault();
  api.fsync = FailingOtherSync;
  api.pwrite = AwaitingPwrite;
  g_test_thread = std::this_thread::get_id();
  g_sync_fd = -1;
  g_other_syncs = 0;
  g_want_syncs = 1;
  KstOsApiInstall(&api);
  const std::string copy = folder_ + "copy.kts";
  EXPECT_NE(StoreCopyStoreFile(s_, copy.c_str()), 0u);
  const int after_copy = g_other_syncs.load();
  g_sync_fd = s_->file;
  g_want_syncs = after_copy + 1;
  EXPECT_EQ(StorePackStoreFile(s_), TS_ERR_PACK_WRITE);
  KstOsApiInstall(nullptr);
  TsSetSyncBehindStep(0);
  EXPECT_GT(after_copy, 0);
  EXPECT_GT(g_other_syncs.load(), after_copy);
  EXPECT_NE(access(copy.c_str(), F_OK), 0);
  EXPECT_TRUE(Bytes() == before);
  CheckObjects(c);
}

// A refused map of the backup costs the pack nothing but speed: it reads
// the backup through the window instead, whatever the list's order, and
// still finds a damaged record.
TEST_F(PackWindow, RefusedMapFallsBackToTheWindow) {
  std::vector<Rec> in_order = InOrder(std::vector<uint32_t>(200, 1000));
  Case damaged{"scattered, damaged", Scattered(in_order)};
  damaged.damage = 150;
  damaged.want_rc = TS_ERR_DIGEST;
  const Case cases[] = {{"in order", in_order}, {"scattered", Scattered(in_order)}, damaged};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (s_) Close();
    const uint64_t packed = Lay(c);
    ASSERT_EQ(Open(), 0u);
    const std::string before = Bytes();
    KstOsApi api = *KstOsApiDefault();
    api.mmap = RefusedMap;
    api.pread = CountingPread;
    g_maps = 0;
    g_reads = 0;
    KstOsApiInstall(&api);
    const uint32_t rc = StorePackStoreFile(s_);
    KstOsApiInstall(nullptr);
    EXPECT_EQ(rc, c.want_rc);
    EXPECT_EQ(g_maps.load(), 1);
    EXPECT_GT(g_reads.load(), 30);  // the window's reads (and the copy's)
    if (rc) {
      EXPECT_TRUE(Bytes() == before);
      continue;
    }
    EXPECT_EQ(Bytes().size(), packed);
    CheckObjects(c);
  }
}

}  // namespace
