// Pack: the packed file, the report, the refusals, the rollback, the order
// of writes and syncs, and packs made to fail at every step.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "os_api.h"
#include "store_fixture.h"
#include "store_maint.h"

namespace {

// ---- a file layer that records and fails calls -------------------------------

enum Kind { kRead, kWrite, kSync, kCut, kKinds };
const char *const kKindName[kKinds] = {"read", "write", "sync", "truncate"};

struct Layer {
  std::mutex mu;
  std::map<int, std::string> paths;  // fd -> path it was opened with
  std::vector<std::string> events;   // "w path", "s path", "t path", "u path"
  bool record = false;
  // Fault: the fail_at-th call of `kind` (counted from arming) fails, and
  // with `persist` every later one too.
  std::atomic<bool> armed{false};
  Kind kind = kRead;
  int fail_at = 0;
  bool persist = false;
  int count = 0;
  int failed = 0;
};
Layer g_layer;
KstOsApi g_api;
uint64_t g_free_space = 0;  // 0: the real figure

std::string PathOf(int fd) {
  auto it = g_layer.paths.find(fd);
  return it == g_layer.paths.end() ? "?" : it->second;
}
void Note(char c, int fd) {
  if (g_layer.record) g_layer.events.push_back(std::string(1, c) + " " + PathOf(fd));
}
bool Fail(Kind k) {
  if (!g_layer.armed || g_layer.kind != k) return false;
  ++g_layer.count;
  if (g_layer.count == g_layer.fail_at || (g_layer.persist && g_layer.count > g_layer.fail_at)) {
    ++g_layer.failed;
    return true;
  }
  return false;
}

int LOpen(const char *path, int flags, mode_t mode) {
  int fd = KstOsApiDefault()->open(path, flags, mode);
  if (fd >= 0) {
    std::lock_guard<std::mutex> lock(g_layer.mu);
    std::string p = path;
    size_t slash = p.find_last_of('/');
    g_layer.paths[fd] = (flags & O_DIRECTORY) ? "dir" : p.substr(slash + 1);
  }
  return fd;
}
ssize_t LPread(int fd, void *buf, size_t n, off_t off) {
  std::lock_guard<std::mutex> lock(g_layer.mu);
  if (Fail(kRead)) return errno = EIO, -1;
  return KstOsApiDefault()->pread(fd, buf, n, off);
}
ssize_t LPwrite(int fd, const void *buf, size_t n, off_t off) {
  std::lock_guard<std::mutex> lock(g_layer.mu);
  if (Fail(kWrite)) return errno = ENOSPC, -1;
  Note('w', fd);
  return KstOsApiDefault()->pwrite(fd, buf, n, off);
}
int LFsync(int fd) {
  std::lock_guard<std::mutex> lock(g_layer.mu);
  if (Fail(kSync)) return errno = EIO, -1;
  Note('s', fd);
  return KstOsApiDefault()->fsync(fd);
}
int LFtruncate(int fd, off_t len) {
  std::lock_guard<std::mutex> lock(g_layer.mu);
  if (Fail(kCut)) return errno = EIO, -1;
  Note('t', fd);
  return KstOsApiDefault()->ftruncate(fd, len);
}
int LUnlink(const char *path) {
  std::lock_guard<std::mutex> lock(g_layer.mu);
  if (g_layer.record) {
    std::string p = path;
    g_layer.events.push_back("u " + p.substr(p.find_last_of('/') + 1));
  }
  return KstOsApiDefault()->unlink(path);
}
int LStatvfs(const char *path, struct statvfs *st) {
  int rc = KstOsApiDefault()->statvfs(path, st);
  if (rc == 0 && g_free_space) {
    st->f_frsize = 1;
    st->f_bavail = g_free_space;
  }
  return rc;
}

class Pack : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    g_api = *KstOsApiDefault();
    g_api.open = LOpen;
    g_api.pread = LPread;
    g_api.pwrite = LPwrite;
    g_api.fsync = LFsync;
    g_api.ftruncate = LFtruncate;
    g_api.unlink = LUnlink;
    g_api.statvfs = LStatvfs;
    KstOsApiInstall(&g_api);
    backup_ = folder_ + "store.old";
    marker_ = folder_ + "t.packing";
  }
  void TearDown() override {
    Disarm();
    TsPackSetPrepareBound(0);
    TsPackSetWindow(0);
    TsPackSetGatherBound(0);
    TsPackSetReadOrder(TsPackOrder::kAuto);
    StoreFixture::TearDown();
    KstOsApiInstall(nullptr);
    g_free_space = 0;
    std::lock_guard<std::mutex> lock(g_layer.mu);
    g_layer.record = false;
    g_layer.events.clear();
  }
  static void Arm(Kind k, int at, bool persist) {
    std::lock_guard<std::mutex> lock(g_layer.mu);
    g_layer.kind = k;
    g_layer.fail_at = at;
    g_layer.persist = persist;
    g_layer.count = g_layer.failed = 0;
    g_layer.armed = true;
  }
  static void Disarm() { g_layer.armed = false; }

  struct Obj {
    std::string name, data;
    uint32_t attr;
  };
  // A store with live, deleted, replaced, shrunk, supersized and
  // memory-only objects; `objs` gets what must survive.
  void Build(std::vector<Obj> *objs, int n = 40) {
    ASSERT_EQ(Open(), 0u);
    for (int i = 0; i < n; ++i) {
      std::string name = "c" + std::to_string(i % 5) + ".o" + std::to_string(i);
      std::string data(size_t(i * 37 % 700), char('a' + i % 26));
      uint32_t attr = i % 9 == 0 ? kTsAttrSupersized : (i % 11 == 0 ? kTsAttrMemoryOnly : 0);
      ASSERT_EQ(Write(name, data, attr, 1000 + i, 2000 + i), 0u);
      objs->push_back({name, data, attr});
    }
    for (int i = 0; i < n; i += 4) ASSERT_EQ(Write("gone.x" + std::to_string(i), "zz"), 0u);
    for (int i = 0; i < n; i += 4) ASSERT_EQ(StoreDelete(s_, ("gone.x" + std::to_string(i)).c_str()), 0u);
    // Grown (moved) and shrunk (in place) objects.
    for (int i = 1; i < n; i += 6) {
      Obj &o = (*objs)[i];
      o.data = (i % 12 == 1) ? std::string(o.data.size() + 100, 'G') : o.data.substr(0, 3);
      ASSERT_EQ(Write(o.name, o.data, o.attr, 1000 + i, 2000 + i), 0u);
    }
  }
  void CheckAll(const std::vector<Obj> &objs) {
    for (size_t i = 0; i < objs.size(); ++i) {
      const Obj &o = objs[i];
      if (o.name.empty()) continue;  // a memory-only object gone with a reopen
      std::string got;
      ASSERT_EQ(Read(o.name, &got), 0u) << o.name;
      EXPECT_TRUE(got == o.data) << o.name;
      uint32_t size = 0, lw, at, co;
      ASSERT_EQ(StoreRead(s_, o.name.c_str(), nullptr, &size, &lw, &at, &co), 0u);
      EXPECT_EQ(lw, 1000 + i);
      EXPECT_EQ(co, 2000 + i);
      EXPECT_EQ(at, o.attr);
    }
  }
  static uint64_t PackedSize(const std::vector<Obj> &objs) {
    uint64_t n = 1060;
    for (const Obj &o : objs) {
      if (o.attr & kTsAttrMemoryOnly) continue;
      n += 76 + o.name.size() + 1 + o.data.size() +
           ((o.attr & kTsAttrSupersized) ? 10240 : 32);
    }
    return n;
  }
  static void DropMemoryOnly(std::vector<Obj> *objs) {
    for (Obj &o : *objs)
      if (o.attr & kTsAttrMemoryOnly) o.name.clear();
  }
  static bool Exists(const std::string &p) { return access(p.c_str(), F_OK) == 0; }

  std::string backup_, marker_;
};

TEST_F(Pack, PackedFileHoldsTheLiveObjectsInListOrder) {
  std::vector<Obj> objs;
  Build(&objs);
  std::string before = Bytes();
  uint32_t deleted = s_->deleted;
  ASSERT_GT(deleted, 10u);
  ClearLog();
  ASSERT_EQ(StorePackStoreFile(s_), 0u);
  std::string b = Bytes();
  EXPECT_EQ(b.size(), PackedSize(objs));
  EXPECT_TRUE(krptest::ReadFile(backup_) == before);
  EXPECT_FALSE(Exists(marker_));
  // Header: as packing writes it.
  EXPECT_EQ(U32(b, kTsHdrOffVersion), 4u);
  EXPECT_EQ(U32(b, kTsHdrOffCloseTag), 0u);
  EXPECT_EQ(U32(b, kTsHdrOffPackTime), s_->last_pack_time);
  EXPECT_NE(s_->last_pack_time, 0u);
  EXPECT_EQ(b.substr(kTsHdrOffBuild, kTsBuildLen), std::string(kTsBuildLen, '\0'));
  // Records back to back in list order, each with fresh room of "p"/"P".
  uint32_t at = 1060;
  for (TsIndexRecord *r = s_->index.head->next; r; r = r->next) {
    if (!r->offset) continue;
    EXPECT_EQ(r->offset, at) << r->name;
    uint32_t room = (r->attr & kTsAttrSupersized) ? 10240 : 32;
    EXPECT_EQ(r->area_size, r->data_size + room);
    uint32_t hl = 76 + r->name_len + 1;
    EXPECT_TRUE(b.substr(at + hl + r->data_size, room) ==
                std::string(room, (r->attr & kTsAttrSupersized) ? 'P' : 'p'))
        << r->name;
    at += hl + r->area_size;
  }
  EXPECT_EQ(at, b.size());
  EXPECT_EQ(s_->deleted, 0u);
  EXPECT_EQ(s_->wasted, 0u);
  EXPECT_EQ(s_->db_size, b.size());
  std::string log = Log();
  EXPECT_NE(log.find("Resource database packing completed"), std::string::npos);
  EXPECT_NE(log.find("Deleted objects removed.: " + std::to_string(deleted)), std::string::npos);
  CheckAll(objs);
  // Memory-only objects stay in memory only.
  for (const Obj &o : objs) {
    if (o.attr & kTsAttrMemoryOnly) {
      EXPECT_EQ(b.find(o.name), std::string::npos) << o.name;
    }
  }
  // The store goes on working, and a reopen sees the same objects.
  ASSERT_EQ(Write("after.pack", "1"), 0u);
  Reopen();
  objs.erase(std::remove_if(objs.begin(), objs.end(),
                            [](const Obj &o) { return o.attr & kTsAttrMemoryOnly; }),
             objs.end());
  for (const Obj &o : objs) EXPECT_EQ(ReadOk(o.name), o.data);
  EXPECT_EQ(ReadOk("after.pack"), "1");
  EXPECT_EQ(s_->deleted, 0u);
}

// The helper prepares the pages of the backup's new part (the bound lowered
// to take a small store): a first backup, and a later one longer than the
// one it overwrites, hold the store's bytes exactly, with none of the zeros
// the new part read as before the copy reached it.
TEST_F(Pack, BackupWhosePagesWerePreparedHoldsTheStoresBytes) {
  TsPackSetPrepareBound(1);
  std::vector<Obj> objs;
  Build(&objs, 400);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const std::string before = Bytes();
    ASSERT_EQ(StorePackStoreFile(s_), 0u);
    EXPECT_TRUE(krptest::ReadFile(backup_) == before);
    CheckAll(objs);
    for (int i = 0; i < 300; ++i) {  // the store outgrows its backup
      const uint32_t k = uint32_t(objs.size());
      objs.push_back({"grow" + std::to_string(round) + ".o" + std::to_string(i),
                      std::string(500, char('k' + round)), 0});
      ASSERT_EQ(Write(objs.back().name, objs.back().data, 0, 1000 + k, 2000 + k), 0u);
    }
  }
}

// An active count short of the list (never expected) leaves the walk's
// arrays too small: the pack then counts the list itself, memory-only
// objects included, and still moves every object.
TEST_F(Pack, ActiveCountShortOfTheListStillPacksEveryObject) {
  std::vector<Obj> objs;
  Build(&objs);
  const uint32_t active = s_->active;
  s_->active = 2;
  ASSERT_EQ(StorePackStoreFile(s_), 0u);
  s_->active = active;
  EXPECT_EQ(Bytes().size(), PackedSize(objs));
  CheckAll(objs);
  Reopen();
  DropMemoryOnly(&objs);
  CheckAll(objs);
}

TEST_F(Pack, Version3BecomesVersion4) {
  SetBytes(V3Header() + Record(3, "v.a", std::string(300, 'a')) +
           Record(3, "v.b", "b", 0, 1) + Record(3, "v.c", "cc"));
  ASSERT_EQ(Open(), 0u);
  ASSERT_EQ(s_->version, 3u);
  ASSERT_EQ(StorePackStoreFile(s_), 0u);
  EXPECT_EQ(s_->version, 4u);
  std::string b = Bytes();
  EXPECT_EQ(U32(b, kTsHdrOffVersion), 4u);
  EXPECT_EQ(b.size(), 1060u + (76 + 4 + 300 + 32) + (76 + 4 + 2 + 32));
  EXPECT_EQ(ReadOk("v.a"), std::string(300, 'a'));
  Reopen();
  EXPECT_EQ(s_->version, 4u);
  EXPECT_EQ(ReadOk("v.c"), "cc");
}

TEST_F(Pack, Refusals) {
  std::vector<Obj> objs;
  Build(&objs, 10);
  std::string before = Bytes();
  // Too little free space: the log line, 0x370004, nothing written.
  uint32_t size = uint32_t(before.size());
  g_free_space = 3ull * size + 10240ull * s_->supersized + 32ull * s_->active;
  ClearLog();
  EXPECT_EQ(StorePackStoreFile(s_), TS_ERR_PACK_WRITE);
  EXPECT_NE(Log().find("StorePackStoreFile: Not enough space left for packing"),
            std::string::npos);
  EXPECT_NE(Log().find("Writes failed, check available disk space."), std::string::npos);
  EXPECT_TRUE(Bytes() == before);
  EXPECT_FALSE(Exists(backup_));
  g_free_space = 0;
  CheckAll(objs);
  // Secondary mode: 5, nothing touched.
  Close();
  before = Bytes();
  ASSERT_EQ(Open(kTsOpenSecondary), 0u);
  ClearLog();
  EXPECT_EQ(StorePackStoreFile(s_), KST_ERR_ACCESS_DENIED);
  EXPECT_NE(Log().find("Can not pack a store opened in 'read only' mode."), std::string::npos);
  EXPECT_TRUE(Bytes() == before);
  EXPECT_FALSE(Exists(backup_));
  EXPECT_EQ(StorePackStoreFile(nullptr), KST_ERR_INVALID_HANDLE);
}

TEST_F(Pack, DigestMismatchRollsBackToIdenticalBytes) {
  ASSERT_EQ(Open(), 0u);
  ASSERT_EQ(Write("a.small", "s"), 0u);
  ASSERT_EQ(Write("a.big", std::string(2000, 'B')), 0u);
  ASSERT_EQ(Write("a.gone", "g"), 0u);
  ASSERT_EQ(StoreDelete(s_, "a.gone"), 0u);
  // Damage the large object's data behind the engine's back.
  uint32_t off = s_->index.head->next->offset;
  for (TsIndexRecord *r = s_->index.head->next; r; r = r->next)
    if (std::string(r->name) == "a.big") off = r->offset;
  int fd = open(path_.c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, "X", 1, off + 76 + 6 + 100), 1);
  close(fd);
  std::string before = Bytes();
  ClearLog();
  EXPECT_EQ(StorePackStoreFile(s_), TS_ERR_DIGEST);
  EXPECT_TRUE(Bytes() == before);
  EXPECT_FALSE(Exists(marker_));
  std::string log = Log();
  EXPECT_NE(log.find("Integrety check failed on exixting database."), std::string::npos);
  EXPECT_NE(log.find("<<<<        Rollback to backup file OK"), std::string::npos);
  EXPECT_EQ(ReadOk("a.small"), "s");
  EXPECT_EQ(Write("a.new", "n"), 0u);  // the store keeps serving

  // Small data kept in the index is checked too when nothing has checked
  // it since the open: damage it on disk and reopen.
  ASSERT_EQ(StoreDelete(s_, "a.big"), 0u);
  ASSERT_EQ(StorePackStoreFile(s_), 0u);
  Close();
  std::string b = Bytes();
  size_t at = b.find(std::string("a.small\0", 8));
  ASSERT_NE(at, std::string::npos);
  b[at + 8] = 'Z';  // the data byte right behind the name
  SetBytes(b);
  ASSERT_EQ(Open(), 0u);
  before = Bytes();
  EXPECT_EQ(StorePackStoreFile(s_), TS_ERR_DIGEST);
  EXPECT_TRUE(Bytes() == before);
}

// A previous pack's backup, longer than the store now, is overwritten in
// place and cut to the copied length; a link at the backup's name is never
// written through: the pack fails before it touches anything.
TEST_F(Pack, BackupPlaceIsReusedButNeverThroughALink) {
  std::vector<Obj> objs;
  Build(&objs, 20);
  krptest::WriteFile(backup_, std::string(3 << 20, 'Z'));
  std::string before = Bytes();
  ASSERT_EQ(StorePackStoreFile(s_), 0u);
  EXPECT_TRUE(krptest::ReadFile(backup_) == before);
  CheckAll(objs);

  const std::string victim = folder_ + "victim";
  for (const char *how : {"symbolic", "hard"}) {
    SCOPED_TRACE(how);
    krptest::WriteFile(victim, "keep me");
    unlink(backup_.c_str());
    ASSERT_EQ(std::string(how) == "hard" ? link(victim.c_str(), backup_.c_str())
                                         : symlink(victim.c_str(), backup_.c_str()),
              0);
    before = Bytes();
    EXPECT_EQ(StorePackStoreFile(s_), TS_ERR_PACK_WRITE);
    EXPECT_TRUE(Bytes() == before);
    EXPECT_EQ(krptest::ReadFile(victim), "keep me");
    EXPECT_FALSE(Exists(marker_));
  }
  unlink(backup_.c_str());
  unlink(victim.c_str());
}

// backup written and synced, its folder synced; marker written and synced,
// its folder synced; the store rewritten, synced, cut, synced; the marker
// removed and the folder synced.
TEST_F(Pack, WritesAndSyncsInPowerLossSafeOrder) {
  std::vector<Obj> objs;
  Build(&objs, 20);
  {
    std::lock_guard<std::mutex> lock(g_layer.mu);
    g_layer.events.clear();
    g_layer.record = true;
  }
  ASSERT_EQ(StorePackStoreFile(s_), 0u);
  std::vector<std::string> ev;
  {
    std::lock_guard<std::mutex> lock(g_layer.mu);
    g_layer.record = false;
    ev = g_layer.events;
  }
  // Collapse runs of equal events.
  std::vector<std::string> seq;
  for (const std::string &e : ev)
    if (seq.empty() || seq.back() != e) seq.push_back(e);
  // The backup (a previous pack's is overwritten in place) is cut to the
  // copied length; the flush of the store before copying is harmless
  // anywhere.
  std::vector<std::string> want = {"s t.kts",     "w store.old", "t store.old", "s store.old",
                                   "s dir",       "t t.packing", "w t.packing", "s t.packing",
                                   "s dir",       "w t.kts",     "s t.kts",     "t t.kts",
                                   "s t.kts",     "u t.packing", "s dir"};
  EXPECT_EQ(seq, want);
}

// The N-th read, write, sync or cut of a pack fails, once or from then on,
// for every N until the pack succeeds: each failed pack returns its code
// and leaves the store file as it was (at once after a rollback, or after
// the reopen that restores the backup when the rollback failed too), and
// the store keeps serving. With the default window and bound the whole
// backup is read at once; with small ones it is read in several windows,
// records longer than a window alone, in list order or gathered in file
// order in several slices, the later ones while the rewrite runs.
TEST_F(Pack, FailureAtEveryStep) {
  struct Reading {
    const char *what;
    TsPackOrder order;
    uint32_t window, bound;
  };
  const Reading readings[] = {{"default", TsPackOrder::kAuto, 0, 0},
                              {"list order", TsPackOrder::kList, 700, 0},
                              {"file order", TsPackOrder::kFile, 700, 1000}};
  for (const Reading &reading : readings) {
  for (int kind = 0; kind < kKinds; ++kind) {
    for (bool persist : {false, true}) {
      TsPackSetWindow(reading.window);
      TsPackSetGatherBound(reading.bound);
      TsPackSetReadOrder(reading.order);
      SCOPED_TRACE(std::string(kKindName[kind]) + (persist ? " persistent" : " once") +
                   ", reading " + reading.what);
      int failing_packs = 0;
      for (int n = 1;; ++n) {
        ASSERT_LT(n, 200);
        SCOPED_TRACE("N " + std::to_string(n));
        if (s_) Close();
        unlink(path_.c_str());
        std::vector<Obj> objs;
        Build(&objs, 24);
        if (HasFatalFailure()) return;
        std::string before = Bytes();
        Arm(Kind(kind), n, persist);
        uint32_t rc = StorePackStoreFile(s_);
        Disarm();
        const bool injected = g_layer.failed > 0;
        if (rc == 0) {
          // Only a failure the pack may shrug off (the flush of the store
          // before the backup is read) leaves it successful.
          EXPECT_EQ(Bytes().size(), PackedSize(objs));
          EXPECT_FALSE(Exists(marker_));
          CheckAll(objs);
          if (!injected) break;  // N is past the pack's last such call
          continue;
        }
        ++failing_packs;
        EXPECT_TRUE(rc == TS_ERR_PACK_WRITE || rc == TS_ERR_PACK_READ) << "rc " << rc;
        if (TsMaintWriteRefusal(s_)) {
          // The rollback failed too: writes are refused until a reopen,
          // which restores the backup when the marker is still there.
          EXPECT_EQ(Write("x.y", "1"), TS_ERR_PACK_WRITE);
          bool marker = Exists(marker_);
          Close();
          ClearLog();
          ASSERT_EQ(Open(), 0u);
          if (marker) {
            EXPECT_NE(Log().find("the store was restored from"), std::string::npos);
          }
          std::string now = Bytes();
          ASSERT_EQ(now.size(), before.size());
          // Only the open time differs (StoreInit stamps it).
          now.replace(kTsHdrOffOpenTime, 4, before.substr(kTsHdrOffOpenTime, 4));
          EXPECT_TRUE(now == before);
          DropMemoryOnly(&objs);
        } else {
          EXPECT_TRUE(Bytes() == before);
        }
        EXPECT_FALSE(Exists(marker_));
        CheckAll(objs);
        ASSERT_EQ(Write("x.y", "1"), 0u);  // the store keeps serving
        EXPECT_EQ(ReadOk("x.y"), "1");
      }
      EXPECT_GT(failing_packs, 0);
    }
  }
  }
}

// The marker's cases at open: whole (the backup is restored), cut short
// (removed, the store opened as it is), backup not matching (refused).
TEST_F(Pack, MarkerAtOpen) {
  std::vector<Obj> objs;
  Build(&objs, 12);
  ASSERT_EQ(StorePackStoreFile(s_), 0u);
  Close();
  std::string old = krptest::ReadFile(backup_);
  // Fake a pack that died in the middle: a whole marker, a garbled store.
  TsPackHashCtx c;
  TsPackHashInit(&c);
  TsPackHashUpdate(&c, reinterpret_cast<const uint8_t *>(old.data()), uint32_t(old.size()));
  std::string m = "KTSPACK1";
  std::string word(4, '\0');
  auto put = [&](uint32_t v) {
    TsPutU32(reinterpret_cast<uint8_t *>(&word[0]), v);
    m += word;
  };
  uint64_t h = TsPackHashFinal(&c);
  put(uint32_t(36 + backup_.size()));
  put(uint32_t(old.size()));
  put(uint32_t(h));
  put(uint32_t(h >> 32));
  put(uint32_t(old.size()));
  put(uint32_t(backup_.size()));
  m += backup_;
  put(TsCrc32(m.data(), m.size()));
  krptest::WriteFile(marker_, m);
  std::string garbled = Bytes();
  garbled.replace(2000, 50, std::string(50, '#'));
  SetBytes(garbled);
  ClearLog();
  ASSERT_EQ(Open(), 0u);
  EXPECT_NE(Log().find("the store was restored from"), std::string::npos);
  EXPECT_FALSE(Exists(marker_));
  EXPECT_EQ(s_->active, 12u - 1u);  // one memory-only object is not in the file
  Close();
  // Secondary mode does not open a store whose pack was interrupted.
  krptest::WriteFile(marker_, m);
  EXPECT_EQ(Open(kTsOpenSecondary), KST_ERR_SHARING_VIOLATION);
  // A marker cut short: removed, the store untouched.
  krptest::WriteFile(marker_, m.substr(0, 20));
  std::string b = Bytes();
  ASSERT_EQ(Open(), 0u);
  EXPECT_FALSE(Exists(marker_));
  Close();
  // A backup that does not match its marker: refused, both left.
  krptest::WriteFile(marker_, m);
  krptest::WriteFile(backup_, old + "extra");
  EXPECT_EQ(Open(), TS_ERR_CORRUPT);
  EXPECT_TRUE(Exists(marker_));
  // Creating a new store drops the stale marker.
  ASSERT_EQ(Open(kTsOpenCreate), 0u);
  EXPECT_FALSE(Exists(marker_));
}

TEST_F(Pack, RollbackCutsAStoreThatGrew) {
  // A version-3 store grows when packed (no 332-byte headers, but v4 room
  // of 32 over an old in-place shrink is larger): the rollback must cut it.
  SetBytes(V3Header() + Record(3, "a", std::string(1, 'a')));
  ASSERT_EQ(Open(), 0u);
  std::string before = Bytes();
  // Make the final cut fail once: the rewritten file is longer than before.
  for (int i = 0; i < 40; ++i) ASSERT_EQ(Write("k" + std::to_string(i) + ".x", "vv"), 0u);
  before = Bytes();
  Arm(kCut, 3, false);  // 1: the backup created, 2: the marker created, 3: the store cut
  EXPECT_EQ(StorePackStoreFile(s_), TS_ERR_PACK_WRITE);
  Disarm();
  EXPECT_TRUE(Bytes() == before);
  EXPECT_EQ(ReadOk("k3.x"), "vv");
}

}  // namespace
