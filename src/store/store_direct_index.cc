// The direct-mode index (see store_direct_index.h).
#include "store_direct_index.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ts_digest.h"
#include "ts_format.h"
#include "ts_scan.h"

namespace {

constexpr char kWho[] = "_StoreKtsForceIO";

// A word-at-a-time hash of the bytes, with one seed for names and another
// for container prefixes, so that the name "a." and the prefix "a." differ.
constexpr uint64_t kNameSeed = 0xcbf29ce484222325ull;
constexpr uint64_t kPrefixSeed = 0x6c62272e07bb0142ull;
constexpr uint64_t kMul = 0x9e3779b97f4a7c15ull;
constexpr uint32_t kFirstCapacity = 1024;  // slots; a power of two
// The table doubles when more than 3/4 of its slots are used.
constexpr uint32_t kLoadNum = 3, kLoadDen = 4;
// The index scans in chunks of this size: few reads, and pages the kernel
// fills rather than ones the scan faults in.
constexpr uint32_t kScanChunk = 0x100000;
// A fresh table is sized for an average record of this many bytes, up to
// kPresizeMax slots; larger stores grow by doubling.
constexpr uint32_t kPresizeRecord = 192;
constexpr uint32_t kPresizeMax = 0x10000;
// Depths of container prefixes that the scan remembers from one record to
// the next.
constexpr uint32_t kRecentLevels = 8;
// A record buffer larger than this is freed after the call.
constexpr uint32_t kKeepBuffer = 0x10000;

inline uint64_t Mix(uint64_t h, uint64_t w) {
  h = (h ^ w) * kMul;
  return h ^ (h >> 29);
}

// A well-mixed, non-zero key (0 marks an empty slot).
inline uint64_t Finish(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return h ? h : 1;
}

uint64_t HashOf(uint64_t seed, const char *p, uint32_t len) {
  uint64_t h = seed ^ (uint64_t(len) * kMul);
  for (; len >= 8; p += 8, len -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = Mix(h, w);
  }
  uint64_t w = 0;
  std::memcpy(&w, p, len);
  return Finish(Mix(h, w));
}

struct Slot {
  uint64_t key;
  uint32_t off;  // the record's offset in the file
  uint32_t len;  // its length (header and data area)
};
static_assert(sizeof(Slot) == 16, "a slot is 16 bytes");

struct Table {
  Slot *slots = nullptr;
  uint32_t cap = 0;  // a power of two, or 0
  uint32_t used = 0;

  const Slot *Find(uint64_t key) const {
    if (!cap) return nullptr;
    for (uint32_t i = uint32_t(key) & (cap - 1);; i = (i + 1) & (cap - 1)) {
      if (slots[i].key == key) return &slots[i];
      if (!slots[i].key) return nullptr;
    }
  }
  // The slot of `key`, new or old; null when the table cannot grow.
  Slot *Place(uint64_t key, bool *fresh) {
    if ((uint64_t(used) + 1) * kLoadDen > uint64_t(cap) * kLoadNum && !Grow()) return nullptr;
    uint32_t i = uint32_t(key) & (cap - 1);
    while (slots[i].key && slots[i].key != key) i = (i + 1) & (cap - 1);
    *fresh = !slots[i].key;
    if (*fresh) ++used;
    slots[i].key = key;
    return &slots[i];
  }
  bool Grow(uint32_t want = 0) {
    uint32_t ncap = cap ? cap * 2 : kFirstCapacity;
    while (ncap < want) ncap *= 2;
    if (ncap < cap) return false;
    void *mem = nullptr;
    if (KstAllocMem(uint32_t(sizeof(Slot) * ncap), 0, &mem, nullptr)) return false;
    auto *ns = static_cast<Slot *>(mem);
    std::memset(ns, 0, sizeof(Slot) * ncap);
    for (uint32_t k = 0; k < cap; ++k) {
      if (!slots[k].key) continue;
      uint32_t i = uint32_t(slots[k].key) & (ncap - 1);
      while (ns[i].key) i = (i + 1) & (ncap - 1);
      ns[i] = slots[k];
    }
    KstFreeMem(slots, 0);
    slots = ns;
    cap = ncap;
    return true;
  }
  void Clear() {
    KstFreeMem(slots, 0);
    slots = nullptr;
    cap = used = 0;
  }
};

struct Index {
  std::mutex mu;
  char path[KST_MAX_PATH] = {};
  char marker[KST_MAX_PATH + 16] = {};
  KST_HFILE fd = KST_INVALID_HFILE;
  KstFileId id{};
  // valid while built
  bool built = false;
  uint32_t version = 0, first = 0;
  uint8_t header[kTsFileHeaderLenV4] = {};
  uint32_t header_len = 0;
  uint32_t end = 0;        // end of the whole records indexed
  uint32_t seen_size = 0;  // the file's size when it was last scanned
  Table t;
  uint64_t names = 0, prefixes = 0;
  uint64_t recent[kRecentLevels] = {};  // the prefixes the last record placed, by depth
  // the record buffer
  uint8_t *buf = nullptr;
  uint32_t buf_size = 0;
  TsDirectIndexStats stats{};
};

Index g_ix;
std::atomic<bool> g_enabled{true};
pthread_once_t g_fork_once = PTHREAD_ONCE_INIT;

void DropTable(Index &ix) {
  ix.t.Clear();
  std::memset(ix.recent, 0, sizeof ix.recent);
  ix.built = false;
  ix.names = ix.prefixes = 0;
}

void CloseFile(Index &ix) {
  if (ix.fd != KST_INVALID_HFILE) KstCloseFile(ix.fd);
  ix.fd = KST_INVALID_HFILE;
  DropTable(ix);
}

void DropBuffer(Index &ix) {
  KstFreeMem(ix.buf, 0);
  ix.buf = nullptr;
  ix.buf_size = 0;
}

// The fork handlers: the mutex is taken around fork, so the child finds the
// index whole; the child then forgets it.
void ForkPrepare() { g_ix.mu.lock(); }
void ForkParent() { g_ix.mu.unlock(); }
void ForkChild() {
  CloseFile(g_ix);
  DropBuffer(g_ix);
  g_ix.path[0] = 0;
  g_ix.stats = TsDirectIndexStats{};
  g_ix.mu.unlock();
}
void InstallForkHandlers() { pthread_atfork(ForkPrepare, ForkParent, ForkChild); }

// ---- building -------------------------------------------------------------------

uint32_t VisitRecord(void *ctx, const TsRecordView &v, uint32_t offset) {
  auto &ix = *static_cast<Index *>(ctx);
  if (v.deleted) return KST_OK;
  const uint32_t len = uint32_t(v.record_len);
  bool fresh = false;
  // Every prefix that the name continues with ".". Any live record below a
  // prefix proves it, so a prefix just placed by the previous record (names
  // of one container usually follow each other) keeps its record.
  uint32_t level = 0;
  const char *dot = v.name;
  const char *const end = v.name + v.name_len;
  while ((dot = static_cast<const char *>(std::memchr(dot, '.', size_t(end - dot)))) != nullptr) {
    const uint64_t key = HashOf(kPrefixSeed, v.name, uint32_t(dot - v.name));
    const bool recent = level < kRecentLevels && ix.recent[level] == key;
    if (!recent) {
      Slot *s = ix.t.Place(key, &fresh);
      if (!s) return KST_HEAP_FULL;
      s->off = offset;
      s->len = len;
      ix.prefixes += fresh;
      if (level < kRecentLevels) ix.recent[level] = key;
    }
    ++level;
    ++dot;
  }
  // The last live record of a name wins, as in the scan.
  Slot *s = ix.t.Place(HashOf(kNameSeed, v.name, v.name_len), &fresh);
  if (!s) return KST_HEAP_FULL;
  s->off = offset;
  s->len = len;
  ix.names += fresh;
  return KST_OK;
}

// Scans [from, size) into the table. A torn last record must be a torn
// append; the indexed end then stops before it.
uint32_t ScanFrom(Index &ix, uint32_t from, uint32_t size) {
  TsScan sc{};
  sc.file = ix.fd;
  sc.version = ix.version;
  sc.first = from;
  sc.size = size;
  sc.who = kWho;
  sc.chunk = kScanChunk;
  uint32_t rc = TsScanRecords(&sc, VisitRecord, &ix);
  if (!rc && sc.torn) rc = TsCheckTornTail(ix.fd, ix.version, sc.torn_at, size);
  if (rc) return rc;
  ix.end = sc.torn ? sc.torn_at : size;
  ix.seen_size = size;
  return KST_OK;
}

// Reads and checks the file header as the scan does; anything unusual
// (a zero-byte file, a wrong magic or version, a short header) declines.
uint32_t ReadHeader(Index &ix, uint32_t size) {
  if (size < kTsFileHeaderLenV3) return KST_ERR_GENERAL;
  uint8_t hdr[kTsFileHeaderLenV4];
  uint32_t pos = 0;
  uint32_t rc = KstReadFileAt(ix.fd, &pos, hdr, kTsFileHeaderLenV3, nullptr);
  if (rc) return rc;
  if (std::memcmp(hdr + kTsHdrOffMagic, kTsMagic, kTsMagicLen) != 0) return KST_ERR_GENERAL;
  const uint32_t version = TsGetU32(hdr + kTsHdrOffVersion);
  if (version != 3 && version != 4) return KST_ERR_GENERAL;
  const uint32_t hlen = version == 3 ? kTsFileHeaderLenV3 : kTsFileHeaderLenV4;
  if (size < hlen) return KST_ERR_GENERAL;
  pos = 0;
  if (version == 4 && (rc = KstReadFileAt(ix.fd, &pos, hdr, hlen, nullptr)) != KST_OK) return rc;
  ix.version = version;
  ix.first = ix.header_len = hlen;
  std::memcpy(ix.header, hdr, hlen);
  return KST_OK;
}

// A pack marker beside the store: the file may be half rewritten.
bool MarkerPresent(const Index &ix) {
  uint32_t attrs = 0;
  uint32_t rc = KstQueryFileAttr(ix.marker, &attrs);
  return rc != KST_ERR_FILE_NOT_FOUND && rc != KST_ERR_FILENAME_TOO_LONG;
}

// Whether an unchanged header proves that no pack is pending, so that the
// marker need not be looked for. A pack starts on a store whose header a
// host's open has rewritten without the close tag; while its marker exists
// the header is that one (the store untouched yet, or restored by a
// rollback), or the pack's own, which has no close tag either. A header
// with the close tag that is still in place therefore cannot sit beside a
// pending pack. Version 3 headers carry no tag.
bool HeaderRulesOutPack(const Index &ix) {
  return ix.built && ix.version == 4 && TsGetU32(ix.header + kTsHdrOffCloseTag) == kTsCloseTag;
}

uint32_t Build(Index &ix, uint32_t size, bool marker_checked) {
  if (!marker_checked && MarkerPresent(ix)) return KST_ERR_SHARING_VIOLATION;
  DropTable(ix);
  ++ix.stats.builds;
  uint32_t rc = ReadHeader(ix, size);
  const uint32_t guess = size / kPresizeRecord * kLoadDen / kLoadNum;
  if (!rc && !ix.t.Grow(guess < kPresizeMax ? guess : kPresizeMax)) rc = KST_HEAP_FULL;
  if (!rc) rc = ScanFrom(ix, ix.first, size);
  if (rc) {
    DropTable(ix);
    return rc;
  }
  ix.built = true;
  return KST_OK;
}

// Brings the table up to the file as it is now (size read under the lock).
// *rebuilt tells a full scan.
uint32_t Refresh(Index &ix, uint32_t size, bool marker_checked, bool *rebuilt) {
  if (ix.built && size >= ix.end) {
    uint8_t hdr[kTsFileHeaderLenV4];
    uint32_t pos = 0;
    uint32_t rc = KstReadFileAt(ix.fd, &pos, hdr, ix.header_len, nullptr);
    if (!rc && std::memcmp(hdr, ix.header, ix.header_len) == 0) {
      if (size == ix.end && size == ix.seen_size) return KST_OK;
      ++ix.stats.grows;
      // Bytes after the indexed end: new records, or a torn tail (still
      // there, or cut and written over since).
      if (ScanFrom(ix, ix.end, size) == KST_OK) return KST_OK;
    }
  }
  *rebuilt = true;
  return Build(ix, size, marker_checked);
}

// ---- answering ------------------------------------------------------------------

enum class Outcome { kOk, kStale, kFailed };

// Reads the record of a slot into the buffer and parses it.
Outcome ReadRecord(Index &ix, const Slot &s, TsRecordView *v, uint32_t *err) {
  if (s.len > ix.buf_size) {
    void *mem = nullptr;
    if (KstAllocMem(s.len, 0, &mem, nullptr)) {
      *err = KST_HEAP_FULL;
      return Outcome::kFailed;
    }
    DropBuffer(ix);
    ix.buf = static_cast<uint8_t *>(mem);
    ix.buf_size = s.len;
  }
  uint32_t pos = s.off;
  uint32_t rc = KstReadFileAt(ix.fd, &pos, ix.buf, s.len, nullptr);
  if (rc == KST_ERR_HANDLE_EOF) return Outcome::kStale;
  if (rc) {
    *err = rc;
    return Outcome::kFailed;
  }
  uint64_t need = 0;
  if (TsParseRecord(ix.version, ix.buf, s.len, v, &need) != TsParse::kOk || v->deleted ||
      v->record_len != s.len)
    return Outcome::kStale;
  return Outcome::kOk;
}

// A copy of the record's data, checked against its digest.
uint32_t HandOutData(const TsRecordView &v, void **data) {
  uint8_t d[16];
  TsMd5(v.data, v.data_size, d);
  if (std::memcmp(d, v.digest, 16) != 0) return TS_ERR_DIGEST;
  void *mem = nullptr;
  if (KstAllocMem(v.data_size, 0, &mem, nullptr)) return KST_HEAP_FULL;
  if (v.data_size) std::memcpy(mem, v.data, v.data_size);
  *data = mem;
  return KST_OK;
}

// One name: its last live record, and whether a live name continues it.
Outcome ResolveOne(Index &ix, TsForceName &n, bool want_data, void **data, uint32_t *err) {
  const uint32_t len = uint32_t(std::strlen(n.name));
  TsRecordView v;
  if (const Slot *s = ix.t.Find(HashOf(kNameSeed, n.name, len))) {
    Outcome o = ReadRecord(ix, *s, &v, err);
    if (o != Outcome::kOk) return o;
    if (v.name_len != len || std::memcmp(v.name, n.name, len) != 0) return Outcome::kStale;
    n.found = true;
    n.size = v.data_size;
    n.last_wr = v.last_wr;
    n.attr = v.attr & kTsAttrMask;
    n.consumer = v.consumer;
    if (want_data && (*err = HandOutData(v, data)) != KST_OK) return Outcome::kFailed;
  }
  if (const Slot *s = ix.t.Find(HashOf(kPrefixSeed, n.name, len))) {
    Outcome o = ReadRecord(ix, *s, &v, err);
    if (o != Outcome::kOk) return o;
    if (v.name_len <= len || std::memcmp(v.name, n.name, len) != 0 || v.name[len] != '.')
      return Outcome::kStale;
    n.has_children = true;
  }
  return Outcome::kOk;
}

void ClearAnswers(TsForceName *names, uint32_t count, void **data) {
  for (uint32_t i = 0; i < count; ++i) {
    TsForceName &n = names[i];
    n.found = n.has_children = false;
    n.size = n.last_wr = n.attr = n.consumer = 0;
  }
  if (data && *data) {
    KstFreeMem(*data, 0);
    *data = nullptr;
  }
}

// Every name as the scan would answer it; the data of the first one found.
Outcome Resolve(Index &ix, TsForceName *names, uint32_t count, void **data, uint32_t *err) {
  bool data_done = !data;
  for (uint32_t i = 0; i < count; ++i) {
    Outcome o = ResolveOne(ix, names[i], !data_done, data, err);
    if (o == Outcome::kStale) ClearAnswers(names, count, data);
    if (o != Outcome::kOk) return o;
    if (names[i].found) data_done = true;
  }
  return Outcome::kOk;
}

// ---- the call -------------------------------------------------------------------

void UsePath(Index &ix, const char *path) {
  if (std::strcmp(ix.path, path) == 0) return;
  CloseFile(ix);
  std::snprintf(ix.path, sizeof ix.path, "%s", path);
  TsPackMarkerPath(ix.path, ix.marker, sizeof ix.marker);
}

// Holds the file shared and makes sure it is the file the path names now.
// *size gets its size. 0, or why the call declines (nothing held then).
uint32_t Acquire(Index &ix, uint32_t *size) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint32_t rc;
    if (ix.fd == KST_INVALID_HFILE) {
      rc = KstOpenRFile(ix.path, &ix.fd);
      if (rc) {
        ix.fd = KST_INVALID_HFILE;
        return rc;
      }
      rc = KstQueryFileId(ix.fd, &ix.id);
      if (rc) {
        CloseFile(ix);
        return rc;
      }
    } else if ((rc = KstLockFileShared(ix.fd)) != KST_OK) {
      return rc;
    }
    KstFileId now{};
    rc = KstQueryPathId(ix.path, &now);
    if (rc) {
      KstUnlockFile(ix.fd);
      return rc;
    }
    if (now.dev == ix.id.dev && now.ino == ix.id.ino) {
      if (now.size > UINT32_MAX) break;
      *size = uint32_t(now.size);
      return KST_OK;
    }
    CloseFile(ix);  // replaced: the old file and its index go
  }
  if (ix.fd != KST_INVALID_HFILE) KstUnlockFile(ix.fd);
  return KST_ERR_GENERAL;
}

// Under the shared lock: refresh and answer; a stale record rebuilds once.
bool Answer(Index &ix, uint32_t size, bool marker_checked, TsForceName *names, uint32_t count,
            void **data, uint32_t *rc) {
  bool rebuilt = false;
  if (Refresh(ix, size, marker_checked, &rebuilt) != KST_OK) return false;
  for (;;) {
    uint32_t err = KST_OK;
    Outcome o = Resolve(ix, names, count, data, &err);
    if (o == Outcome::kOk) {
      *rc = KST_OK;
      return true;
    }
    if (o == Outcome::kFailed) {
      // A failed read is the scan's to report; a digest or memory failure
      // is the answer itself.
      if (err != TS_ERR_DIGEST && err != KST_HEAP_FULL) {
        ClearAnswers(names, count, data);
        return false;
      }
      *rc = err;
      return true;
    }
    if (rebuilt || Build(ix, size, marker_checked) != KST_OK) return false;
    rebuilt = true;
  }
}

}  // namespace

uint32_t TsDirectIndexRead(const char *path, TsForceName *names, uint32_t count, void **data,
                           bool *served) {
  *served = false;
  if (!g_enabled.load(std::memory_order_relaxed)) return KST_OK;
  pthread_once(&g_fork_once, InstallForkHandlers);
  std::lock_guard<std::mutex> lock(g_ix.mu);
  Index &ix = g_ix;
  UsePath(ix, path);
  uint32_t size = 0;
  uint32_t rc = KST_OK;
  if (Acquire(ix, &size) != KST_OK) {
    ++ix.stats.declined;
    return KST_OK;
  }
  // The marker is looked for before anything is built from the file; an
  // index whose header rules a pending pack out skips that while the header
  // stays the same (Refresh compares it first and rebuilds otherwise).
  const bool skip_marker = HeaderRulesOutPack(ix);
  if (skip_marker || !MarkerPresent(ix))
    *served = Answer(ix, size, !skip_marker, names, count, data, &rc);
  KstUnlockFile(ix.fd);
  if (ix.buf_size > kKeepBuffer) DropBuffer(ix);
  ++(*served ? ix.stats.served : ix.stats.declined);
  if (!*served) DropTable(ix);
  return rc;
}

void TsDirectIndexGetStats(TsDirectIndexStats *out) {
  std::lock_guard<std::mutex> lock(g_ix.mu);
  *out = g_ix.stats;
  out->names = g_ix.names;
  out->prefixes = g_ix.prefixes;
  out->bytes = uint64_t(g_ix.t.cap) * sizeof(Slot) + g_ix.buf_size;
}

void TsDirectIndexForget() {
  std::lock_guard<std::mutex> lock(g_ix.mu);
  CloseFile(g_ix);
  DropBuffer(g_ix);
  g_ix.path[0] = 0;
  g_ix.stats = TsDirectIndexStats{};
}

void TsDirectIndexSetEnabled(bool on) {
  g_enabled.store(on, std::memory_order_relaxed);
  if (!on) TsDirectIndexForget();
}
