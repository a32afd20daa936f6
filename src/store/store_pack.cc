// Pack and copy of an open store, the shared file-copy routine, and the
// pack marker that lets the next open undo a pack cut short by a crash (see
// the design note in store_maint.h).
//
// Marker file layout (little-endian words):
//   0  8  "KTSPACK1"
//   8  4  marker length (36 + n)
//  12  4  backup size
//  16  8  TsPackHash of the backup's bytes
//  24  4  store size before the pack
//  28  4  n = length of the backup's path (no terminator)
//  32  n  backup path
//  32+n 4 CRC-32 of bytes [0, 32 + n)
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "store_maint.h"
#include "ts_digest.h"
#include "ts_format.h"
#include "ts_scan.h"

namespace {

constexpr char kMarkerMagic[9] = "KTSPACK1";
constexpr uint32_t kMarkerFixed = 32;
// Copies and the pack's rewrite move the file through one buffer of this
// size. Small enough to stay in the processor's cache between the read and
// the write (a buffer of megabytes makes every write into the page cache copy
// from main memory, several times slower), large enough that system calls
// do not count.
constexpr uint32_t kCopyChunk = 0x40000;
constexpr uint32_t kPackBatch = 0x40000;  // records are written in batches of this size
// Long writers (the copy, the pack's rewrite) start the write-back of every
// this many bytes behind them, so that the device writes while they go on
// and their final sync has little left to wait for.
constexpr uint32_t kWriteBackStep = 0x800000;

// Starts the write-back of [*from, upto) once it has grown to a step; a
// refusal is ignored, the final sync decides.
void WriteBehind(KST_HFILE h, uint32_t *from, uint32_t upto) {
  if (upto <= *from || upto - *from < kWriteBackStep) return;
  KstStartWriteBack(h, *from, upto - *from);
  *from = upto;
}

// Waits for a thread of the copy or the pack to end (none: nothing to do).
void Join(KST_HTHREAD *t) {
  if (!*t) return;
  KstWaitForThread(*t, 0, KST_INFINITE);
  KstCloseThread(*t);
  *t = nullptr;
}

// Writers of at least two steps of this many bytes also sync behind them
// (SyncBehind).
constexpr uint32_t kSyncBehindStep = 0x4000000;
uint32_t g_sync_step = kSyncBehindStep;

// A thread that syncs a long writer's file every g_sync_step bytes
// written, while the writer goes on. Started write-back alone does not
// suffice: the device holds what it was given in a cache of its own until a
// sync flushes it, so the writer's final sync would wait for the whole file
// to go through; synced behind, it waits for the last step only. A failure
// is kept for the writer to report: the failed sync may have cleared the
// file's error state, and the final sync alone might then succeed.
struct SyncBehind {
  KST_HTHREAD thread = nullptr;
  KST_HFILE file = KST_INVALID_HFILE;
  std::atomic<uint32_t> written{0};  // the writer's bytes so far
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> failed{KST_OK};  // the first failed sync's code
};

void SyncBehindMain(void *arg) {
  auto *sb = static_cast<SyncBehind *>(arg);
  uint32_t synced = 0;
  while (!sb->stop.load(std::memory_order_acquire)) {
    const uint32_t written = sb->written.load(std::memory_order_acquire);
    if (written - synced < g_sync_step) {
      KstSleep(1);
      continue;
    }
    if (uint32_t rc = KstFlushFile(sb->file)) {
      sb->failed.store(rc, std::memory_order_release);
      return;
    }
    synced = written;
  }
}

// Starts the thread for a writer of about `total` bytes into `f`; for a
// shorter one, or without a thread, the writer's final sync does it all.
void StartSyncBehind(SyncBehind *sb, KST_HFILE f, uint64_t total) {
  if (total < 2 * uint64_t(g_sync_step)) return;
  sb->file = f;
  if (KstCreateThread(SyncBehindMain, sb, 0, 0, 0, &sb->thread)) sb->thread = nullptr;
}

// Stops and joins the thread; the code of a sync of it that failed, else 0.
uint32_t EndSyncBehind(SyncBehind *sb) {
  if (!sb->thread) return KST_OK;
  sb->stop.store(true, std::memory_order_release);
  Join(&sb->thread);
  return sb->failed.load(std::memory_order_acquire);
}

uint32_t Now() { return static_cast<uint32_t>(std::time(nullptr)); }

uint32_t ElapsedMs(std::chrono::steady_clock::time_point t0) {
  return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count());
}

inline uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull, kP2 = 0xC2B2AE3D27D4EB4Full;

inline uint64_t Load64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void Banner70(char *out) {
  std::memset(out, '>', 70);
  out[70] = 0;
}

void SeriousBanner(const char *what, uint32_t rc, bool rollback, uint32_t rollback_rc) {
  char gt[71];
  Banner70(gt);
  KstLogPrintf("%s", gt);
  KstLogPrintf("<<<<");
  KstLogPrintf(">>>>         A  S E R I O U S  E R R O R  H A S  O C C U R R E D: ");
  KstLogPrintf(">>>>         ---------------------------------------------------- ");
  KstLogPrintf("<<<<         %s", what);
  switch (rc) {
    case TS_ERR_PACK_WRITE:
      KstLogPrintf("<<<<         Writes failed, check available disk space.");
      break;
    case KST_HEAP_FULL:
      KstLogPrintf("<<<<         System out of available memory, you are in trouble!.");
      break;
    case TS_ERR_PACK_READ:
      KstLogPrintf("<<<<         Error reading current database.");
      break;
    default:
      if (rollback && rc == TS_ERR_DIGEST)
        KstLogPrintf("<<<<         Integrety check failed on exixting database.");
      else if (!rollback)
        KstLogPrintf("<<<<         Error code: %08xh", rc);
      break;
  }
  if (rollback) {
    KstLogPrintf("<<<<         Attempting to continue operation with unpacked database.");
    KstLogPrintf(">>>>");
    if (rollback_rc == KST_OK)
      KstLogPrintf("<<<<        Rollback to backup file OK");
    else
      KstLogPrintf("<<<<        Rollback to backup file failed, RC: %xh", rollback_rc);
  }
  KstLogPrintf("<<<<");
  KstLogPrintf("%s", gt);
}

// Writes the marker and makes it and its folder entry durable.
uint32_t WriteMarker(const char *mpath, const char *bpath, uint32_t bsize, uint64_t bhash,
                     uint32_t store_size) {
  uint32_t n = uint32_t(std::strlen(bpath));
  uint32_t total = kMarkerFixed + n + 4;
  uint8_t buf[kMarkerFixed + KST_MAX_PATH + 4];
  std::memcpy(buf, kMarkerMagic, 8);
  TsPutU32(buf + 8, total);
  TsPutU32(buf + 12, bsize);
  TsPutU32(buf + 16, uint32_t(bhash));
  TsPutU32(buf + 20, uint32_t(bhash >> 32));
  TsPutU32(buf + 24, store_size);
  TsPutU32(buf + 28, n);
  std::memcpy(buf + kMarkerFixed, bpath, n);
  TsPutU32(buf + kMarkerFixed + n, TsCrc32(buf, kMarkerFixed + n));
  return TsWriteDurableFile(mpath, buf, total);
}

// Removes the marker and syncs its folder. *gone tells whether the name is
// gone (the folder sync may still have failed).
uint32_t RemoveMarker(const char *mpath, bool *gone) {
  uint32_t rc = KstDeleteFile(mpath);
  if (rc == KST_ERR_FILE_NOT_FOUND) rc = KST_OK;
  *gone = rc == KST_OK;
  if (!rc) rc = KstSyncParentDir(mpath);
  return rc;
}

struct MarkerInfo {
  uint32_t backup_size;
  uint64_t backup_hash;
  char backup_path[KST_MAX_PATH];
};

// 0 whole marker; 2 none; 0x37F0FF cut short or damaged; else a read error.
uint32_t ReadMarker(const char *mpath, MarkerInfo *mi) {
  KST_HFILE h = KST_INVALID_HFILE;
  uint32_t rc = KstOpenRFile(mpath, &h);
  if (rc) return rc;
  uint8_t buf[kMarkerFixed + KST_MAX_PATH + 4];
  uint32_t got = 0, pos = 0;
  rc = KstReadFileAt(h, &pos, buf, sizeof buf, &got);
  KstCloseFile(h);
  if (rc && rc != KST_ERR_HANDLE_EOF) return rc;
  if (got < kMarkerFixed + 4 || std::memcmp(buf, kMarkerMagic, 8) != 0) return TS_ERR_CORRUPT;
  uint32_t n = TsGetU32(buf + 28);
  if (n >= KST_MAX_PATH || TsGetU32(buf + 8) != kMarkerFixed + n + 4 ||
      got != kMarkerFixed + n + 4 ||
      TsGetU32(buf + kMarkerFixed + n) != TsCrc32(buf, kMarkerFixed + n))
    return TS_ERR_CORRUPT;
  mi->backup_size = TsGetU32(buf + 12);
  mi->backup_hash = TsGetU32(buf + 16) | uint64_t(TsGetU32(buf + 20)) << 32;
  std::memcpy(mi->backup_path, buf + kMarkerFixed, n);
  mi->backup_path[n] = 0;
  return KST_OK;
}

// TsPackHash of a whole open file; *size gets its size.
uint32_t HashFile(KST_HFILE h, uint32_t *size, uint64_t *hash) {
  uint32_t rc = KstQueryFileSize(h, size, nullptr);
  if (rc) return rc;
  void *mem = nullptr;
  if (KstAllocMem(kCopyChunk, 0, &mem, nullptr)) return KST_HEAP_FULL;
  TsPackHashCtx c;
  TsPackHashInit(&c);
  for (uint32_t pos = 0; !rc && pos < *size;) {
    uint32_t n = *size - pos < kCopyChunk ? *size - pos : kCopyChunk;
    uint32_t at = pos;
    rc = KstReadFileAt(h, &at, mem, n, nullptr);
    if (!rc) TsPackHashUpdate(&c, static_cast<uint8_t *>(mem), n);
    pos += n;
  }
  KstFreeMem(mem, 0);
  *hash = TsPackHashFinal(&c);
  return rc;
}

// Copies the open file `src` over `dst` (cut to the source's length, synced).
uint32_t CopyOver(KST_HFILE src, uint32_t version, KST_HFILE dst, uint32_t *size) {
  TsStore tmp{};
  tmp.file = src;
  tmp.read_only = 1;
  tmp.version = version;
  return TsFileCopy(&tmp, nullptr, dst, size, 0);
}

// Gives the records up to `last` (in list order) their places before the
// pack back; they were moved to their new places as they were written.
void RestoreOffsets(TsStore *s, const TsIndexRecord *last) {
  if (!last) return;
  for (TsIndexRecord *r = s->index.head->next; r; r = r->next) {
    if (r->offset) {
      r->offset = r->pending_offset;
      r->area_size = r->pending_area;
    }
    if (r == last) break;
  }
}

}  // namespace

void TsPackHashInit(TsPackHashCtx *c) {
  c->lane[0] = kP1 + kP2;
  c->lane[1] = kP2;
  c->lane[2] = 0;
  c->lane[3] = 0 - kP1;
  c->total = 0;
}

void TsPackHashUpdate(TsPackHashCtx *c, const uint8_t *p, uint32_t len) {
  uint64_t a = c->lane[0], b = c->lane[1], d = c->lane[2], e = c->lane[3];
  uint32_t i = 0;
  for (; i + 32 <= len; i += 32) {
    a = Rotl(a + Load64(p + i) * kP2, 31) * kP1;
    b = Rotl(b + Load64(p + i + 8) * kP2, 31) * kP1;
    d = Rotl(d + Load64(p + i + 16) * kP2, 31) * kP1;
    e = Rotl(e + Load64(p + i + 24) * kP2, 31) * kP1;
  }
  for (; i < len; ++i) a = Rotl(a ^ (p[i] * kP1), 11) * kP2;  // the tail, last call only
  c->lane[0] = a;
  c->lane[1] = b;
  c->lane[2] = d;
  c->lane[3] = e;
  c->total += len;
}

uint64_t TsPackHashFinal(const TsPackHashCtx *c) {
  uint64_t h = Rotl(c->lane[0], 1) + Rotl(c->lane[1], 7) + Rotl(c->lane[2], 12) +
               Rotl(c->lane[3], 18) + c->total;
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  return h;
}

void TsPackMarkerPath(const char *store_path, char *out, uint32_t size) {
  TsSiblingPath(store_path, ".packing", out, size);
}

uint32_t TsMaintWriteRefusal(const TsStore *s) {
  // A store is read-only without a secondary-mode flag only after a failed
  // rollback (StorePackStoreFile below).
  return s && s->read_only && !(s->open_flags & kTsOpenSecondary) ? TS_ERR_PACK_WRITE : KST_OK;
}

uint32_t TsFileCopy(TsStore *s, const char *target_path, KST_HFILE target_file,
                    uint32_t *out_size, uint32_t stamp, uint64_t *hash,
                    std::atomic<uint32_t> *copied) {
  if (!s) return KST_ERR_INVALID_HANDLE;
  uint32_t size = 0;
  uint32_t rc = KstQueryFileSize(s->file, &size, nullptr);
  if (rc) return rc;
  if (out_size) *out_size = size;
  void *mem = nullptr;
  if (KstAllocMem(kCopyChunk, 0, &mem, nullptr)) return KST_HEAP_FULL;
  auto *buf = static_cast<uint8_t *>(mem);
  KST_HFILE t = target_file;
  const bool own = t == KST_INVALID_HFILE;
  if (own) {
    if (!target_path) {
      rc = KST_ERR_INVALID_PARAMETER;
    } else {
      rc = KstCreateRWFileNoLink(target_path, &t);
    }
    if (rc) {
      KstFreeMem(mem, 0);
      return rc;
    }
  }
  KstFlushFile(s->file);  // what the copy reads is what the disk holds
  TsPackHashCtx hc;
  TsPackHashInit(&hc);
  uint32_t written_back = 0;
  SyncBehind behind;
  StartSyncBehind(&behind, t, size);
  for (uint32_t pos = 0; !rc && pos < size;) {
    uint32_t n = size - pos < kCopyChunk ? size - pos : kCopyChunk;
    uint32_t at = pos, got = 0;
    // A source that ends early is a short copy (38), never a success.
    rc = KstReadFileAt(s->file, &at, buf, n, &got);
    if (!rc) {
      at = pos;
      rc = KstWriteFileAt(t, &at, buf, n, nullptr);
    }
    if (!rc && hash) TsPackHashUpdate(&hc, buf, n);
    pos += n;
    if (!rc && copied) copied->store(pos, std::memory_order_release);
    if (!rc) WriteBehind(t, &written_back, pos);
    behind.written.store(pos, std::memory_order_release);
  }
  if (uint32_t failed = EndSyncBehind(&behind); !rc) rc = failed;
  if (!rc && !own) rc = KstSetFileSize(t, size);
  if (!rc && stamp == 1 && s->version == 4 && !s->read_only && size >= kTsFileHeaderLenV4) {
    // The statistics and the close tag go into the copy: the running store
    // stays marked open, so a later crash of it is still recognised.
    uint32_t pos = 0;
    rc = KstReadFileAt(s->file, &pos, buf, kTsFileHeaderLenV4, nullptr);
    if (!rc) {
      TsStampCloseHeader(buf, s);
      pos = 0;
      rc = KstWriteFileAt(t, &pos, buf, kTsFileHeaderLenV4, nullptr);
    }
  }
  if (!rc) rc = KstFlushFile(t);
  if (own) {
    KstCloseFile(t);
    if (!rc) rc = KstSyncParentDir(target_path);
    if (rc) KstDeleteFile(target_path);  // no partial copy is left behind
  }
  KstFreeMem(mem, 0);
  if (!rc && hash) *hash = TsPackHashFinal(&hc);
  return rc;
}

namespace {

// Opens the backup that a whole marker names and checks it against the
// marker. 0x37F0FF (logged) when it is missing or does not match.
uint32_t OpenMatchingBackup(const MarkerInfo &mi, const char *store_path, const char *mpath,
                            const char *who, KST_HFILE *out) {
  KST_HFILE b = KST_INVALID_HFILE;
  uint32_t rc = KstOpenRFile(mi.backup_path, &b);
  uint32_t bsize = 0;
  uint64_t bhash = 0;
  if (!rc) rc = HashFile(b, &bsize, &bhash);
  if (rc == KST_ERR_FILE_NOT_FOUND || (!rc && (bsize != mi.backup_size || bhash != mi.backup_hash))) {
    KstLogPrintf("%s: a pack of %s was interrupted and its backup %s does not match the "
                 "marker %s; both are left as they are",
                 who, store_path, mi.backup_path, mpath);
    rc = TS_ERR_CORRUPT;
  }
  if (rc) {
    if (b != KST_INVALID_HFILE) KstCloseFile(b);
    return rc;
  }
  *out = b;
  return KST_OK;
}

// Copies the checked backup over the store.
uint32_t RestoreBackup(KST_HFILE backup, KST_HFILE store) {
  uint8_t ver[kTsFileHeaderLenV3];
  uint32_t pos = 0;
  uint32_t rc = KstReadFileAt(backup, &pos, ver, sizeof ver, nullptr);
  if (rc == KST_ERR_HANDLE_EOF) rc = TS_ERR_CORRUPT;
  uint32_t restored = 0;
  if (!rc) rc = CopyOver(backup, TsGetU32(ver + kTsHdrOffVersion), store, &restored);
  return rc;
}

}  // namespace

uint32_t TsPackRecover(KST_HFILE file, const char *store_path, uint32_t open_flags,
                       bool read_only, const char *who) {
  char mpath[KST_MAX_PATH + 16];
  TsPackMarkerPath(store_path, mpath, sizeof mpath);
  uint32_t attrs = 0;
  uint32_t rc = KstQueryFileAttr(mpath, &attrs);
  // A store path so long that its marker's name is over the limit can have
  // no marker: a pack of it fails before it touches the store.
  if (rc == KST_ERR_FILE_NOT_FOUND || rc == KST_ERR_FILENAME_TOO_LONG) return KST_OK;
  bool gone = false;
  if (open_flags & kTsOpenCreate) {
    // The store was just replaced by an empty one: the marker is stale.
    rc = RemoveMarker(mpath, &gone);
    if (rc) KstLogPrintf("%s: stale pack marker %s not removed (%xh)", who, mpath, rc);
    return rc;
  }
  if (read_only) {
    KstLogPrintf("%s: a pack of %s was interrupted; the store must be opened for "
                 "writing once to restore it",
                 who, store_path);
    return KST_ERR_SHARING_VIOLATION;
  }
  MarkerInfo mi;
  rc = ReadMarker(mpath, &mi);
  if (rc == TS_ERR_CORRUPT) {
    // Cut short while it was being written: the store was not touched yet.
    KstLogPrintf("%s: Warning: incomplete pack marker %s removed", who, mpath);
    return RemoveMarker(mpath, &gone);
  }
  if (rc) return rc;
  KST_HFILE b = KST_INVALID_HFILE;
  rc = OpenMatchingBackup(mi, store_path, mpath, who, &b);
  if (!rc) {
    rc = RestoreBackup(b, file);
    KstCloseFile(b);
  }
  if (!rc) rc = RemoveMarker(mpath, &gone);
  if (rc) {
    KstLogPrintf("%s: restoring %s from %s after an interrupted pack failed (%xh)", who,
                 store_path, mi.backup_path, rc);
    return rc;
  }
  KstLogPrintf("%s: Warning: a pack was interrupted; the store was restored from %s", who,
               mi.backup_path);
  return KST_OK;
}

uint32_t TsPackRecoverAtOpen(TsStore *s) {
  return TsPackRecover(s->file, s->path, s->open_flags, s->read_only, "StoreInit");
}

uint32_t TsPackReadSource(KST_HFILE file, const char *store_path, KST_HFILE *source,
                          const char *who) {
  *source = file;
  char mpath[KST_MAX_PATH + 16];
  TsPackMarkerPath(store_path, mpath, sizeof mpath);
  uint32_t attrs = 0;
  uint32_t rc = KstQueryFileAttr(mpath, &attrs);
  if (rc == KST_ERR_FILE_NOT_FOUND || rc == KST_ERR_FILENAME_TOO_LONG) return KST_OK;
  MarkerInfo mi;
  rc = ReadMarker(mpath, &mi);
  if (rc == TS_ERR_CORRUPT || rc == KST_ERR_FILE_NOT_FOUND)
    return KST_OK;  // cut short (the store was not touched yet) or gone meanwhile
  if (rc) return rc;
  KST_HFILE b = KST_INVALID_HFILE;
  rc = OpenMatchingBackup(mi, store_path, mpath, who, &b);
  if (rc) return rc;
  KstLogPrintf("%s: a pack of %s was interrupted; reading its backup %s", who, store_path,
               mi.backup_path);
  *source = b;
  return KST_OK;
}

namespace {

// A record buffer that must grow for one large record grows to its length
// plus this much, so that the records after it usually fit as well.
constexpr uint32_t kPackGrowSlack = 0x4FFFF;
// The pack reads the backup through a window of this size (GatherSlice).
constexpr uint32_t kPackWindowDefault = 0x100000;
uint32_t g_pack_window = kPackWindowDefault;
// The most memory the data gathered from the backup may take at once (one
// record longer than this is gathered alone, in a block of its own size).
// KRP_PACK_BYTES (decimal bytes) overrides it for one pack.
constexpr uint32_t kPackGatherDefault = 0x10000000;
uint32_t g_pack_gather = 0;  // 0: the environment or the default
// The rewrite fetches the records this far ahead of the one it packs (and
// their names and kept data half as far), so that the memory latency of
// records scattered in memory overlaps; two lines cover a record's fields.
constexpr uint32_t kPackFetchAhead = 64;
constexpr uint32_t kPackFetchLine = 64;
// A miss on the window reads a new window when the record's data begin at
// most this far behind the end of the data read last: the filler of the
// record before, the next header, a few deleted records between.
constexpr uint32_t kPackRunGap = 0x10000;
// The data are gathered in file order when more than one in this many
// records from the backup lies before the one listed ahead of it; below
// that, reading them in list order costs a few single reads at the jumps,
// less than the gathering's sort and copy.
constexpr uint32_t kPackJumpShare = 16;
TsPackOrder g_pack_order = TsPackOrder::kAuto;
// Free space a pack needs: this many times the file (backup, rewrite,
// slack) plus the fresh growth room of every object.
constexpr uint64_t kPackSpaceFactor = 3;

// A record whose data come from the backup: where they lie there, where
// they go in the gathered slice, and their digest (the helper checks the
// mapped backup against this copy rather than reach into the index records,
// which lie scattered in memory).
struct PackSource {
  uint32_t off;
  uint32_t len;
  uint32_t at;
  uint8_t digest[16];
};

// The digest checks of a gathered slice, made on a thread of their own
// while the rewrite builds and writes the records (CheckSlice): records
// [first, done) of the slice's list-order sources matched; `bad` is the
// first that did not (kNoneBad while none). Without the thread (none could
// be started), the rewrite checks every record itself.
struct SliceCheck {
  static constexpr uint32_t kNoneBad = UINT32_MAX;
  KST_HTHREAD thread = nullptr;
  uint32_t first = 0, end = 0;
  std::atomic<uint32_t> done{0};
  std::atomic<uint32_t> bad{kNoneBad};
  uint32_t next = 0;  // the next source the rewrite takes from the slice
};

// The pack's helper thread. It walks the list into the arrays while the
// backup is copied (nothing else runs in the store meanwhile: the pack holds
// the engine's thread). When the backup is mapped, it then checks the data
// of every record read from the backup against their digest, a chunk at a
// time, in list order or, when the list jumps about the file, in file order,
// behind the copy and on while the rewrite writes. Once the rewrite has
// written its last record it takes the chunks left itself, then the verdict
// (TakeChecks): the first record in list order that does not match fails
// the pack before the store is synced, with the result and log line of a
// pack that checked record by record, and the rollback restores the backup;
// a failure the rewrite meets first gives way to a mismatch of a record
// packed before it (EarlierMismatch). After the walk the thread reads only
// the arrays (digests copied from the index records) and the map; its only
// system calls are its waits for the copy.
struct PackHelper {
  static constexpr int kWalking = 0, kListed = 1, kTooSmall = 2;
  static constexpr uint32_t kNoneBad = UINT32_MAX;
  KST_HTHREAD thread = nullptr;
  std::atomic<int> walk{kWalking};      // the walk's outcome
  std::atomic<uint32_t> copied{0};      // the backup's bytes [0, copied) are written
  std::atomic<bool> copy_over{false};   // `copied` is final
  std::atomic<bool> stop{false};        // the pack ends: stop at once
  std::atomic<uint32_t> next{0};        // the first source of the chunks not taken yet
  std::atomic<uint32_t> bad{kNoneBad};  // the first source found not to match
  std::atomic<bool> gave_up{false};     // a chunk was left unfinished
};

// The page size the pack prepares pages by (a smaller real page only
// leaves some to the copy).
constexpr uint32_t kPackPage = 0x1000;

// Short waits for the other thread before it sleeps instead.
constexpr int kWaitSpins = 32;

// Everything one pack works with, from its start to its end.
struct PackRun {
  TsStore *s;
  uint32_t size;  // the store file's size before the pack
  char bpath[KST_MAX_PATH + 16];
  char mpath[KST_MAX_PATH + 16];
  KST_HFILE backup = KST_INVALID_HFILE;
  const uint8_t *bmap = nullptr;  // the backup mapped for reading (map_len bytes), or null
  uint32_t map_len = 0;
  bool deferred = false;  // the helper checks the records read from the map
  // The backup's bytes from here to the map's end were in no page of the
  // page cache when the pack began (a backup new or shorter than the store);
  // the helper prepares their pages ahead of the copy (PreparePages).
  // UINT32_MAX: none to prepare.
  uint32_t fresh_from = UINT32_MAX;
  uint32_t src_taken = 0;  // sources the rewrite has taken from the map (and moved)
  uint32_t bsize = 0;
  uint64_t bhash = 0;
  bool marker = false;   // the marker may exist
  bool touched = false;  // the store file may differ from the backup
  uint8_t *batch = nullptr;
  uint32_t batch_cap = 0;
  uint32_t batch_at = kTsFileHeaderLenV4;  // where the batch goes in the file
  uint32_t fill = 0;                       // bytes in the batch
  uint8_t *win = nullptr;  // one window of the backup's bytes
  uint32_t win_cap = 0;
  bool gather = false;     // the data are gathered in file order (GatherSlice)
  uint32_t win_at = 0;     // in list order: the window holds [win_at, win_at + win_len)
  uint32_t win_len = 0;
  uint32_t expect = 0;     // in list order: where the data read last end
  uint8_t *data = nullptr;  // in list order: data read alone
  uint32_t data_cap = 0;
  TsIndexRecord **order = nullptr;  // the file-kept records in list order
  uint32_t order_count = 0;
  uint32_t order_cap = 0;  // room in `order` and `src`
  PackSource *src = nullptr;  // the records read from the backup (GatherSlice)
  TsIndexRecord **src_recs = nullptr;  // their index records, in list order
  uint32_t src_count = 0;
  uint32_t src_next = 0;    // the first of them not gathered yet
  uint32_t gather_cap = 0;  // bound on a slice (the largest record may exceed it)
  uint8_t *arena = nullptr;  // the slice's data, in list order
  uint32_t arena_cap = 0;
  uint32_t arena_used = 0;  // bytes of the slice handed out
  uint32_t arena_len = 0;   // bytes of the slice
  uint32_t written_back = 0;  // the rewrite's write-back was started below this
  SyncBehind behind;          // the rewrite's syncs behind it
  TsIndexRecord *last_moved = nullptr;  // the last record given its new place
  uint32_t pack_time = 0;                // the time the packed header carries
  SliceCheck check;                      // the digest checks of the gathered slice
  PackHelper helper;
  // The order in which the helper checks the sources when the list jumps
  // about the file: each entry the source's offset in the backup above its
  // index, sorted, so that the checks follow the copy (null: list order).
  uint64_t *check_order = nullptr;
  uint64_t *check_mem = nullptr;  // room for it (the active count's worth)
};

// Replaces *p by a block of `want` bytes when it is smaller (the old
// contents are not kept).
uint32_t Grow(uint8_t **p, uint32_t *cap, uint64_t want, uint32_t flags = 0) {
  if (want <= *cap) return KST_OK;
  if (want > UINT32_MAX) return KST_HEAP_FULL;
  void *mem = nullptr;
  if (KstAllocMem(uint32_t(want), flags, &mem, nullptr)) return KST_HEAP_FULL;
  KstFreeMem(*p, 0);
  *p = static_cast<uint8_t *>(mem);
  *cap = uint32_t(want);
  return KST_OK;
}

uint32_t CheckSpace(const PackRun &run) {
  const TsStore *s = run.s;
  uint64_t avail = 0;
  uint64_t need = kPackSpaceFactor * run.size + uint64_t(kTsRoomSupersized) * s->supersized +
                  uint64_t(kTsRoomNormal) * s->active;
  if (KstQueryFreeSpace(s->folder, &avail)) return TS_ERR_PACK_WRITE;
  if (avail <= need) {
    KstLogPrintf("StorePackStoreFile: Not enough space left for packing");
    return TS_ERR_PACK_WRITE;
  }
  return KST_OK;
}

// Stores at least this large have the new part of their backup prepared
// (PreparePages).
constexpr uint32_t kPackPrepareDefault = 0x2000000;
uint32_t g_pack_prepare = kPackPrepareDefault;

// A backup shorter than the store (none before: empty) is extended to the
// store's size at once, so that the helper may prepare the pages of its new
// part before the copy reaches them. Its new bytes read as zeros until the
// copy writes them; nothing reads them before the marker names the backup,
// which is written only after the whole copy. A refusal leaves the copy to
// extend the file itself.
void ExtendForPreparing(PackRun *run) {
  uint32_t old = 0;
  if (run->size < g_pack_prepare || KstQueryFileSize(run->backup, &old, nullptr) ||
      old >= run->size || KstSetFileSize(run->backup, run->size))
    return;
  run->fresh_from = old & ~(kPackPage - 1);
}

// Step 1's file, mapped for reading as it is to be filled unless a test
// forces the reads through a window (or the map is refused: the window
// then serves). The previous pack's backup is overwritten in place and cut
// to the copied length (TsFileCopy): until the marker names it, no one
// reads it.
uint32_t CreateBackup(PackRun *run) {
  if (KstOpenRWFileNoLink(run->bpath, &run->backup)) return TS_ERR_PACK_WRITE;
  const void *map = nullptr;
  if (g_pack_order == TsPackOrder::kAuto && !KstMapFileRead(run->backup, run->size, &map)) {
    run->bmap = static_cast<const uint8_t *>(map);
    run->map_len = run->size;
    ExtendForPreparing(run);
  }
  return KST_OK;
}

// Steps 1 and 2 of the design note: the backup, durable with its folder
// entry, then the marker naming it.
uint32_t BackUp(PackRun *run) {
  const uint32_t rc =
      TsFileCopy(run->s, nullptr, run->backup, &run->bsize, 0, &run->bhash, &run->helper.copied);
  run->helper.copy_over.store(true, std::memory_order_release);
  if (rc) return TS_ERR_PACK_WRITE;
  if (KstSyncParentDir(run->bpath)) return TS_ERR_PACK_WRITE;
  run->marker = true;  // a partial marker is removed again by the rollback
  if (WriteMarker(run->mpath, run->bpath, run->bsize, run->bhash, run->size))
    return TS_ERR_PACK_WRITE;
  return KST_OK;
}

// The pack time, later than the previous pack's even within one second: a
// reader that keeps the header's bytes takes an unchanged header for an
// unchanged layout, and two packs within one second can otherwise leave the
// same counts and times behind.
uint32_t PackTime(const TsStore *s) {
  const uint32_t now = Now();
  return now > s->last_pack_time ? now : s->last_pack_time + 1;
}

// The packed file's header: version 4, the pack time, nothing else.
uint32_t WritePackHeader(PackRun *run) {
  uint8_t hdr[kTsFileHeaderLenV4];
  TsHeaderFields f{};
  run->pack_time = PackTime(run->s);
  f.pack_time = run->pack_time;
  TsEncodeFileHeaderV4(hdr, f);
  uint32_t pos = 0;
  run->touched = true;
  if (KstWriteFileAt(run->s->file, &pos, hdr, kTsFileHeaderLenV4, nullptr))
    return TS_ERR_PACK_WRITE;
  return KST_OK;
}

// Writes the records gathered in the batch at their place.
uint32_t FlushBatch(PackRun *run) {
  if (!run->fill) return KST_OK;
  uint32_t pos = run->batch_at;
  if (KstWriteFileAt(run->s->file, &pos, run->batch, run->fill, nullptr)) return TS_ERR_PACK_WRITE;
  run->batch_at += run->fill;
  run->fill = 0;
  WriteBehind(run->s->file, &run->written_back, run->batch_at);
  run->behind.written.store(run->batch_at, std::memory_order_release);
  return KST_OK;
}

// Room for a record of `rec_len` bytes in the batch.
uint32_t MakeRoom(PackRun *run, uint64_t rec_len) {
  if (uint64_t(run->batch_at) + run->fill + rec_len > UINT32_MAX) return TS_ERR_PACK_WRITE;
  if (uint64_t(run->fill) + rec_len <= run->batch_cap) return KST_OK;
  uint32_t rc = FlushBatch(run);
  if (!rc && rec_len > run->batch_cap) rc = Grow(&run->batch, &run->batch_cap, rec_len + kPackGrowSlack);
  return rc;
}

uint32_t GatherBound() {
  if (g_pack_gather) return g_pack_gather;
  char buf[32] = {0};
  if (KstGetEnv("KRP_PACK_BYTES", buf, sizeof buf) != 0 || !buf[0]) return kPackGatherDefault;
  char *end = nullptr;
  const unsigned long long v = std::strtoull(buf, &end, 10);
  if (end == buf || *end || v == 0 || v > UINT32_MAX) return kPackGatherDefault;
  return uint32_t(v);
}

// True when the record's data are read from the backup: a file-kept object
// whose data the index does not hold.
bool FromBackup(const TsStore *s, const TsIndexRecord *r) {
  return r->offset != 0 && r->data_size > s->inline_limit;
}

// Where the record's data begin in the file (and in the backup) before the
// pack moves it.
uint32_t DataOffset(const TsStore *s, const TsIndexRecord *r) {
  return r->offset + uint32_t(TsRecordHeaderLen(s->version, r->name_len));
}

// Room for `n` records in the arrays ListSources fills.
uint32_t SourceRoom(PackRun *run, uint32_t n) {
  KstFreeMem(run->order, 0);
  KstFreeMem(run->src, 0);
  KstFreeMem(run->src_recs, 0);
  run->order = nullptr;
  run->src = nullptr;
  run->src_recs = nullptr;
  void *order = nullptr, *src = nullptr, *recs = nullptr;
  const uint64_t order_bytes = uint64_t(n) * sizeof(TsIndexRecord *);
  const uint64_t src_bytes = uint64_t(n) * sizeof(PackSource);
  if (src_bytes > UINT32_MAX ||
      KstAllocMem(uint32_t(order_bytes), KST_MEM_LARGE, &order, nullptr))
    return KST_HEAP_FULL;
  run->order = static_cast<TsIndexRecord **>(order);
  if (KstAllocMem(uint32_t(src_bytes), KST_MEM_LARGE, &src, nullptr)) return KST_HEAP_FULL;
  run->src = static_cast<PackSource *>(src);
  if (KstAllocMem(uint32_t(order_bytes), KST_MEM_LARGE, &recs, nullptr)) return KST_HEAP_FULL;
  run->src_recs = static_cast<TsIndexRecord **>(recs);
  run->order_cap = n;
  return KST_OK;
}

// The walk follows up to this many parts of the list side by side: each
// step is a load of a record that lies scattered in memory and misses the
// caches, and the steps of different parts overlap. The parts begin at
// groups (TsGroupStarts), found by counting through the groups, which a
// store of more than kWalkPartGroups of them is spared: it is walked whole.
constexpr uint32_t kWalkParts = 8;
constexpr uint32_t kWalkPartGroups = 0x10000;

// One walk over the whole list into `order`; false when it is too small.
bool ListWhole(PackRun *run, uint32_t *n) {
  uint32_t count = 0;
  for (TsIndexRecord *r = run->s->index.head->next; r; r = r->next) {
    if (count == run->order_cap) return false;
    run->order[count++] = r;
  }
  *n = count;
  return true;
}

// Every record of the list into `order`, in list order; *n gets the count.
// False when the array is too small. The parts' steps interleave in
// src_recs, each with its part noted in a byte beside it, and are then
// moved into place part by part. Without a second part or the marks, the
// list is walked whole.
bool ListRecords(PackRun *run, uint32_t *n) {
  const TsIndex &ix = run->s->index;
  TsIndexRecord *at[kWalkParts], *end[kWalkParts];
  uint32_t parts = TsGroupStarts(&ix, at, kWalkParts, kWalkPartGroups);
  void *mem = nullptr;
  if (parts < 2 || KstAllocMem(run->order_cap, 0, &mem, nullptr)) return ListWhole(run, n);
  auto *part = static_cast<uint8_t *>(mem);
  TsIndexRecord **steps = run->src_recs;
  uint32_t live = 0, count = 0, per[kWalkParts] = {};
  for (uint32_t p = 0; p < parts; ++p) {
    end[p] = p + 1 < parts ? at[p + 1] : nullptr;
    live += at[p] != end[p];
  }
  bool fits = true;
  while (live && fits) {
    for (uint32_t p = 0; p < parts; ++p) {
      TsIndexRecord *r = at[p];
      if (r == end[p]) continue;
      if (!r) {  // the list ended inside a part: the groups do not match it
        KstFreeMem(mem, 0);
        return ListWhole(run, n);
      }
      if (count == run->order_cap) {
        fits = false;
        break;
      }
      steps[count] = r;
      part[count] = uint8_t(p);
      ++count;
      ++per[p];
      at[p] = r->next;
      live -= at[p] == end[p];
    }
  }
  if (fits) {
    uint32_t first[kWalkParts];
    for (uint32_t p = 0, sum = 0; p < parts; sum += per[p++]) first[p] = sum;
    for (uint32_t i = 0; i < count; ++i) run->order[first[part[i]]++] = steps[i];
  }
  KstFreeMem(mem, 0);
  *n = count;
  return fits;
}

// The walk over the list into the arrays; false when they are too small.
// The file-kept records stay in `order` (memory-only objects are never in
// the file); those read from the backup go into the sources with their
// digests.
bool CollectSources(PackRun *run) {
  const TsStore *s = run->s;
  uint32_t n = 0;
  run->order_count = 0;
  run->src_count = 0;
  if (!ListRecords(run, &n)) return false;
  for (uint32_t i = 0; i < n; ++i) {
    if (i + kPackFetchAhead < n) {
      const auto *ahead = reinterpret_cast<const uint8_t *>(run->order[i + kPackFetchAhead]);
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + kPackFetchLine);
    }
    TsIndexRecord *r = run->order[i];
    if (r->offset == 0) continue;
    if (FromBackup(s, r)) {
      run->src_recs[run->src_count] = r;
      PackSource &e = run->src[run->src_count++];
      e.off = DataOffset(s, r);
      e.len = r->data_size;
      e.at = 0;
      std::memcpy(e.digest, r->digest, 16);
    }
    run->order[run->order_count++] = r;
  }
  return true;
}

// True when the list jumps about the file: more than one in
// kPackJumpShare of the sources lies before the one listed ahead of it.
bool ListJumps(const PackRun *run) {
  uint32_t jumps = 0;
  for (uint32_t i = 1; i < run->src_count; ++i) jumps += run->src[i].off < run->src[i - 1].off;
  return jumps > run->src_count / kPackJumpShare;
}

// Reads the data in file order (GatherSlice) when the list jumps about the
// file.
uint32_t ChooseGather(PackRun *run) {
  if (run->bmap) return KST_OK;  // the map serves either order
  run->gather = g_pack_order == TsPackOrder::kFile ||
                (g_pack_order == TsPackOrder::kAuto && ListJumps(run));
  return KST_OK;
}

// Waits a little for the other thread: the first `kWaitSpins` rounds of a
// wait spin, later ones sleep, leaving the processor to the other thread and
// to the device's write-back.
void Pause(int round) {
  if (round >= kWaitSpins) {
    KstSleep(1);
    return;
  }
  for (int i = 0; i < 16; ++i) __builtin_ia32_pause();
  sched_yield();
}

// Waits until the backup's bytes below `end` are written; false when they
// never will be (the copy ended short of them) or the pack is ending. The
// copy advances a chunk at a time: a few short waits cover a chunk.
bool AwaitCopied(PackHelper &h, uint64_t end) {
  for (int round = 0; h.copied.load(std::memory_order_acquire) < end; ++round) {
    if (h.stop.load(std::memory_order_relaxed)) return false;
    if (h.copy_over.load(std::memory_order_acquire))
      return h.copied.load(std::memory_order_acquire) >= end;
    Pause(round);
  }
  return !h.stop.load(std::memory_order_relaxed);
}

// Pages new to the page cache cost far more to fill than recycled ones on
// machines whose memory is handed back to their host, and the copy of a
// first backup fills about as many as the store has. While the copy fills
// them from the front, the helper has them made from the backup's end
// backward, a step at a time, by reading through the map (the new part
// reads as zeros; the copy's writes then land in pages already there), until
// it meets the copy: the filling is split between two processors. A page
// read before the copy wrote it and one read after are both right: the map
// shows the page cache's bytes, and nothing is taken from this reading.
constexpr uint32_t kPrepareStep = 0x200000;

void PreparePages(PackRun *run) {
  PackHelper &h = run->helper;
  if (run->fresh_from >= run->map_len) return;
  uint32_t end = run->map_len;
  while (end > run->fresh_from) {
    const uint32_t start = std::max(end - std::min(end, kPrepareStep), run->fresh_from);
    if (h.copied.load(std::memory_order_acquire) >= start ||
        h.copy_over.load(std::memory_order_acquire) || h.stop.load(std::memory_order_relaxed))
      break;
    for (uint32_t at = start; at < end; at += kPackPage)
      (void)*static_cast<const volatile uint8_t *>(run->bmap + at);  // one read per page
    end = start;
  }
}

// Sources are checked in chunks of this many, each taken by one thread.
constexpr uint32_t kCheckChunk = 256;

// Lowers `bad` to k (the first mismatch in list order wins).
void NoteBad(PackHelper &h, uint32_t k) {
  uint32_t was = h.bad.load(std::memory_order_relaxed);
  while (k < was && !h.bad.compare_exchange_weak(was, k, std::memory_order_acq_rel)) {
  }
}

// The sources of a chunk are hashed this many at a time (TsMd5Many).
constexpr uint32_t kCheckBatch = 32;

// Sources [p, end) of the chunk, `order`-mapped, up to a batch: the map's
// bytes of each and the furthest byte they reach. Stops early before a
// source that lies past the map's end (*past set).
uint32_t BatchSources(const PackRun *run, const uint64_t *order, uint32_t p, uint32_t end,
                      uint32_t *idx, const uint8_t **data, uint32_t *len, uint64_t *reach,
                      bool *past) {
  uint32_t n = 0;
  *reach = 0;
  *past = false;
  for (; p < end && n < kCheckBatch; ++p, ++n) {
    const uint32_t k = order ? uint32_t(order[p]) : p;
    const PackSource &e = run->src[k];
    const uint64_t stop = uint64_t(e.off) + e.len;
    if (stop > run->map_len) {
      *past = true;
      break;
    }
    idx[n] = k;
    data[n] = run->bmap + e.off;
    len[n] = e.len;
    *reach = std::max(*reach, stop);
  }
  return n;
}

// Takes chunks of the records read from the map and checks them, in list
// order or in the order of check_order, until none is left (in list order,
// or until none can hold a mismatch before the first one found). A chunk is
// left unfinished (gave_up) where the map or the copy ends before a
// record's data (the rewrite then reports the short backup itself) or the
// pack ends; the records before such a one are still checked, as one at a
// time would. Both the helper and, at the end, the rewrite run this.
void CheckChunks(PackRun *run) {
  PackHelper &h = run->helper;
  const uint64_t *order = run->check_order;
  uint32_t idx[kCheckBatch], len[kCheckBatch];
  const uint8_t *data[kCheckBatch];
  uint8_t d[16 * kCheckBatch];
  for (;;) {
    const uint32_t first = h.next.fetch_add(kCheckChunk, std::memory_order_relaxed);
    if (first >= run->src_count) return;
    if (!order && first > h.bad.load(std::memory_order_acquire)) return;
    const uint32_t end = std::min(run->src_count - first, kCheckChunk) + first;
    for (uint32_t p = first; p < end;) {
      uint64_t reach = 0;
      bool past = false;
      uint32_t n = BatchSources(run, order, p, end, idx, data, len, &reach, &past);
      p += n;
      if (!AwaitCopied(h, reach)) {
        // Only some of the batch will be there: as far as the copy went.
        uint32_t there = 0;
        while (there < n && AwaitCopied(h, uint64_t(data[there] - run->bmap) + len[there]))
          ++there;
        past = past || there < n;
        n = there;
      }
      TsMd5Many(data, len, n, d);
      bool mismatch = false;
      for (uint32_t i = 0; i < n && !mismatch; ++i) {
        if (std::memcmp(d + 16 * i, run->src[idx[i]].digest, 16) == 0) continue;
        NoteBad(h, idx[i]);
        mismatch = !order;  // in list order, the rest of the chunk holds no earlier one
      }
      if (mismatch) break;
      if (past) {
        h.gave_up.store(true, std::memory_order_release);
        return;
      }
    }
  }
}

// Orders the checks by the sources' place in the backup when the list
// jumps about the file (as the gathering decides): in list order the checks
// would wait for the copy to end; in file order they follow it. Else, or
// without the array, the checks go in list order.
void OrderChecks(PackRun *run) {
  uint64_t *order = run->check_mem;
  if (!order || !ListJumps(run)) return;
  for (uint32_t k = 0; k < run->src_count; ++k) order[k] = uint64_t(run->src[k].off) << 32 | k;
  std::sort(order, order + run->src_count);
  run->check_order = order;
}

void HelperMain(void *arg) {
  auto *run = static_cast<PackRun *>(arg);
  const bool fits = CollectSources(run);
  if (fits && run->bmap) OrderChecks(run);
  run->helper.walk.store(fits ? PackHelper::kListed : PackHelper::kTooSmall,
                         std::memory_order_release);
  if (run->bmap) PreparePages(run);
  if (fits && run->bmap) CheckChunks(run);
}

// Starts the helper, with arrays for the active count; without them or a
// thread, ListSources walks later and the rewrite checks every record.
void StartHelper(PackRun *run) {
  if (SourceRoom(run, run->s->active)) return;
  void *order = nullptr;
  if (run->bmap && uint64_t(run->order_cap) * 8 <= UINT32_MAX &&
      !KstAllocMem(run->order_cap * 8, KST_MEM_LARGE, &order, nullptr))
    run->check_mem = static_cast<uint64_t *>(order);
  if (KstCreateThread(HelperMain, run, 0, 0, 0, &run->helper.thread)) run->helper.thread = nullptr;
}

// Waits for the walk; true when it listed the whole list. The helper goes
// on only to check the mapped backup's records; else it is joined here.
bool AwaitWalk(PackRun *run) {
  PackHelper &h = run->helper;
  if (!h.thread) return false;
  int walk = PackHelper::kWalking;
  for (int round = 0; (walk = h.walk.load(std::memory_order_acquire)) == PackHelper::kWalking;
       ++round)
    Pause(round);
  run->deferred = walk == PackHelper::kListed && run->bmap;
  if (!run->deferred) Join(&h.thread);
  return walk == PackHelper::kListed;
}

// Stops the helper, wherever it is, and waits for it.
void EndHelper(PackRun *run) {
  run->helper.stop.store(true, std::memory_order_relaxed);
  Join(&run->helper.thread);
}

// Lists the file-kept records in list order (the rewrite goes through this
// array rather than the list: the list's records lie scattered in memory,
// and the array lets it fetch them ahead), and those of them whose data come
// from the backup, in the same order. The active count bounds them; should
// it not, a second walk counts them. `walked`: the walk during the backup
// listed them already.
uint32_t ListSources(PackRun *run, bool walked) {
  run->gather_cap = GatherBound();
  if (walked) return ChooseGather(run);
  uint32_t rc = SourceRoom(run, run->s->active);
  if (!rc && !CollectSources(run)) {
    // The active count fell short of the list (never expected): room for
    // every record the list holds, memory-only ones included.
    uint32_t n = 0;
    for (const TsIndexRecord *r = run->s->index.head->next; r; r = r->next) ++n;
    rc = SourceRoom(run, n);
    if (!rc && !CollectSources(run)) rc = KST_ERR_GENERAL;
  }
  return rc ? rc : ChooseGather(run);
}

// Makes the backup's bytes [off, off + len) (len at most a window) lie in
// the window, reading a window from `off` on when they do not.
uint32_t WindowHolds(PackRun *run, uint32_t off, uint32_t len, uint32_t *win_at,
                     uint32_t *win_len) {
  if (off >= *win_at && uint64_t(off) + len <= uint64_t(*win_at) + *win_len) return KST_OK;
  uint32_t want = len;
  if (off < run->bsize) want = run->bsize - off < run->win_cap ? run->bsize - off : run->win_cap;
  if (want < len) want = len;  // the read below then reports the short backup
  *win_len = 0;
  uint32_t pos = off, got = 0;
  if (KstReadFileAt(run->backup, &pos, run->win, want, &got) || got < len) return TS_ERR_PACK_READ;
  *win_at = off;
  *win_len = got;
  return KST_OK;
}

// Gathers the data of the next records in list order, as many as fit into
// the bound, into the arena in list order.
//
// The list of a store written at random into many containers jumps about
// the file; reading its records in list order would read one record at
// each jump. A slice's records are instead read in file order, through a
// window that advances over the backup in large sequential reads (skipping
// stretches that hold nothing wanted); data longer than a window are read
// alone, straight into their place. A store up to the bound (its data, not
// its file) is so read in one pass; a larger one in one pass per slice.
uint32_t GatherSlice(PackRun *run) {
  const uint32_t first = run->src_next;
  if (first >= run->src_count) return TS_ERR_PACK_READ;  // more asked than listed
  uint32_t end = first, total = 0;
  for (; end < run->src_count; ++end) {
    PackSource &e = run->src[end];
    if (end > first && uint64_t(total) + e.len > run->gather_cap) break;
    e.at = total;
    total += e.len;  // no overflow: the cap and every length fit in 32 bits
    if (total > run->gather_cap) {
      ++end;
      break;
    }
  }
  uint32_t rc = Grow(&run->arena, &run->arena_cap, total, KST_MEM_LARGE);
  if (!rc) rc = Grow(&run->win, &run->win_cap, g_pack_window);
  if (rc) return rc;
  std::sort(run->src + first, run->src + end,
            [](const PackSource &a, const PackSource &b) { return a.off < b.off; });
  uint32_t win_at = 0, win_len = 0;
  for (uint32_t i = first; !rc && i < end; ++i) {
    const PackSource &e = run->src[i];
    if (e.len > run->win_cap) {
      uint32_t pos = e.off, got = 0;
      if (KstReadFileAt(run->backup, &pos, run->arena + e.at, e.len, &got) || got < e.len)
        rc = TS_ERR_PACK_READ;
      continue;
    }
    rc = WindowHolds(run, e.off, e.len, &win_at, &win_len);
    if (!rc) std::memcpy(run->arena + e.at, run->win + (e.off - win_at), e.len);
  }
  if (rc) return rc;
  run->src_next = end;
  run->arena_used = 0;
  run->arena_len = total;
  return KST_OK;
}

// The slice's data lie in the arena in list order, one record after the
// other: each is checked against its index record's digest.
void CheckSlice(void *arg) {
  auto *run = static_cast<PackRun *>(arg);
  SliceCheck &c = run->check;
  const uint8_t *at = run->arena;
  uint8_t d[16];
  for (uint32_t k = c.first; k < c.end; ++k) {
    const TsIndexRecord *r = run->src_recs[k];
    TsMd5(at, r->data_size, d);
    if (std::memcmp(d, r->digest, 16) != 0) {
      c.bad.store(k, std::memory_order_release);
      return;
    }
    at += r->data_size;
    c.done.store(k + 1, std::memory_order_release);
  }
}

// Waits for the checks of the slice (before its arena is refilled or freed).
void EndCheck(PackRun *run) { Join(&run->check.thread); }

// Starts the checks of the slice of sources [first, end) just gathered.
void StartCheck(PackRun *run, uint32_t first, uint32_t end) {
  SliceCheck &c = run->check;
  c.first = c.next = first;
  c.end = end;
  c.done.store(first, std::memory_order_relaxed);
  c.bad.store(SliceCheck::kNoneBad, std::memory_order_relaxed);
  if (KstCreateThread(CheckSlice, run, 0, 0, 0, &c.thread)) c.thread = nullptr;
}

// The verdict on `r`, the next source of the slice: 1 matched, 0 did not,
// -1 no check thread, or `r` is not the record the thread checks next (the
// lists disagree; never expected): the caller checks.
int TakeVerdict(PackRun *run, const TsIndexRecord *r) {
  SliceCheck &c = run->check;
  if (!c.thread || c.next >= c.end || run->src_recs[c.next] != r) return -1;
  const uint32_t k = c.next++;
  for (;;) {
    if (c.done.load(std::memory_order_acquire) > k) return 1;
    if (c.bad.load(std::memory_order_acquire) == k) return 0;
    Pause(0);  // short waits only: the checker is always at work
  }
}

// Points *src at the next record's data from the backup (list order),
// gathering the next slice when this one is used up.
uint32_t BackupBytes(PackRun *run, uint32_t len, const uint8_t **src) {
  if (run->arena_used == run->arena_len) {
    EndCheck(run);
    const uint32_t first = run->src_next;
    uint32_t rc = GatherSlice(run);
    if (rc) return rc;
    StartCheck(run, first, run->src_next);
  }
  if (len > run->arena_len - run->arena_used) return TS_ERR_PACK_READ;  // lists disagree
  *src = run->arena + run->arena_used;
  run->arena_used += len;
  return KST_OK;
}

// Reads the backup's bytes [off, off + len) in list order and points *src
// at them: the path for a list that follows the file (a store packed
// before, whose later writes went to few containers), whose records take
// their data from the window one after the other. A miss reads a window
// when the record begins shortly after the data read last (a run in file
// order has begun), or when the whole backup fits into one window; else, as
// at the list's few jumps, the record's data are read alone, as are data
// longer than a window, into a buffer of their own size.
uint32_t WindowBytes(PackRun *run, uint32_t off, uint32_t len, const uint8_t **src) {
  const uint64_t end = uint64_t(off) + len;
  const bool near = off >= run->expect && off - run->expect <= kPackRunGap;
  run->expect = uint32_t(end);
  if (off >= run->win_at && end <= uint64_t(run->win_at) + run->win_len) {
    *src = run->win + (off - run->win_at);
    return KST_OK;
  }
  const uint32_t window = g_pack_window;
  uint8_t *dst = nullptr;
  uint32_t want = len;
  uint32_t rc = KST_OK;
  if (len <= window && (near || run->bsize <= window)) {
    rc = Grow(&run->win, &run->win_cap, window);
    run->win_len = 0;  // the window's old bytes are gone from here on
    if (off < run->bsize) want = run->bsize - off < window ? run->bsize - off : window;
    if (want < len) want = len;  // the read below then reports the short backup
    dst = run->win;
  } else {
    rc = Grow(&run->data, &run->data_cap, len);
    dst = run->data;
  }
  if (rc) return rc;
  uint32_t pos = off, got = 0;
  if (KstReadFileAt(run->backup, &pos, dst, want, &got) || got < len) return TS_ERR_PACK_READ;
  if (dst == run->win) {
    run->win_at = off;
    run->win_len = got;
  }
  *src = dst;
  return KST_OK;
}

// The record's data, checked against its digest. Small objects are kept in
// the index (their copy of the bytes is as good as the file's, and once
// checked against the digest it needs no second check); larger ones come
// from the backup and are checked here, just before they are copied, or by
// the helper when they are read through the map (TakeChecks).
// `offset`: the record's place before the pack.
uint32_t DigestMismatch(const TsIndexRecord *r, uint32_t offset) {
  KstLogPrintf("StorePackStoreFile: data of '%s' at %xh do not match their digest", r->name,
               offset);
  return TS_ERR_DIGEST;
}

// Where the backup's bytes that can be read through the map end.
uint32_t MapEnd(const PackRun *run) { return std::min(run->bsize, run->map_len); }

// Takes the chunks of checks the helper has not reached, waits for it, and
// gives the first source in list order that did not match (kNoneBad: none).
// The rewrite checks nothing more itself afterwards: it is ending.
uint32_t FinishChecks(PackRun *run) {
  CheckChunks(run);
  Join(&run->helper.thread);
  run->deferred = false;
  return run->helper.bad.load(std::memory_order_acquire);
}

// A failure the rewrite met while the helper's verdict is still out: a
// mismatch of a record packed before it comes first, as in a pack that
// checks record by record. Takes the chunks left and the verdict; the
// mismatch's result (logged), or 0 when none lies before the failure.
uint32_t EarlierMismatch(PackRun *run) {
  if (!run->deferred) return KST_OK;
  const uint32_t bad = FinishChecks(run);
  if (bad == PackHelper::kNoneBad || bad >= run->src_taken) return KST_OK;
  return DigestMismatch(run->src_recs[bad], run->src_recs[bad]->pending_offset);
}

// Once the rewrite has written every record: checks the chunks the helper
// has not taken, and gives the verdict. A chunk left unfinished fails the
// pack as a short read (never expected: the rewrite took every record from
// below the map's and the copy's end).
uint32_t TakeChecks(PackRun *run) {
  if (!run->deferred) return KST_OK;
  const uint32_t bad = FinishChecks(run);
  if (bad != PackHelper::kNoneBad)
    return DigestMismatch(run->src_recs[bad], run->src_recs[bad]->pending_offset);
  return run->helper.gave_up.load(std::memory_order_acquire) ? TS_ERR_PACK_READ : KST_OK;
}

uint32_t PackData(PackRun *run, const TsIndexRecord *r, const uint8_t **src) {
  const TsStore *s = run->s;
  bool checked = false;
  if (r->data_size <= s->inline_limit) {
    *src = r->data;
    checked = r->verified;
  } else if (run->bmap) {
    const uint32_t off = DataOffset(s, r);
    if (uint64_t(off) + r->data_size > MapEnd(run)) return TS_ERR_PACK_READ;
    *src = run->bmap + off;
    checked = run->deferred;
    ++run->src_taken;
  } else {
    uint32_t rc = run->gather ? BackupBytes(run, r->data_size, src)
                              : WindowBytes(run, DataOffset(s, r), r->data_size, src);
    if (rc) return rc;
    if (run->gather) {
      const int verdict = TakeVerdict(run, r);
      checked = verdict == 1;
      if (verdict == 0) return DigestMismatch(r, r->offset);
    }
  }
  if (checked) return KST_OK;
  uint8_t d[16];
  TsMd5(r->data_size ? *src : nullptr, r->data_size, d);
  if (std::memcmp(d, r->digest, 16) == 0) return KST_OK;
  if (uint32_t earlier = EarlierMismatch(run)) return earlier;
  return DigestMismatch(r, r->offset);
}

// Adds one file-kept object to the batch in the version-4 layout with fresh
// growth room of "p"/"P", and gives its index record the new place.
uint32_t PackRecord(PackRun *run, TsIndexRecord *r) {
  const uint64_t hl = uint64_t(kTsRecFixedV4) + r->name_len + 1;
  const bool super = r->attr & kTsAttrSupersized;
  const uint64_t area = uint64_t(r->data_size) + (super ? kTsRoomSupersized : kTsRoomNormal);
  const uint64_t rec_len = hl + area;
  uint32_t rc = MakeRoom(run, rec_len);
  const uint8_t *src = nullptr;
  if (!rc) rc = PackData(run, r, &src);
  if (rc) return rc;
  static const uint8_t kNone = 0;
  TsEncodeRecord(4, run->batch + run->fill, r->name, r->name_len, r->data_size ? src : &kNone,
                 r->data_size, uint32_t(area), r->attr, r->last_wr, r->consumer, r->digest,
                 super ? 'P' : 'p');
  // The record's new place takes effect now (one walk over the list, whose
  // records lie scattered in memory, instead of two); the old one is kept
  // for the rollback. Nothing reads an offset until the pack has ended.
  r->pending_offset = r->offset;
  r->pending_area = r->area_size;
  r->offset = run->batch_at + run->fill;
  r->area_size = uint32_t(area);
  run->last_moved = r;
  run->fill += uint32_t(rec_len);
  return KST_OK;
}

// Step 3: the records in list order, written in batches, then synced, cut,
// synced.
uint32_t RewriteRecords(PackRun *run, bool walked) {
  TsStore *s = run->s;
  uint32_t rc = Grow(&run->batch, &run->batch_cap, kPackBatch);
  if (!rc) rc = ListSources(run, walked);
  if (!rc) StartSyncBehind(&run->behind, s->file, run->size);
  for (uint32_t i = 0; !rc && i < run->order_count; ++i) {
    if (i + kPackFetchAhead < run->order_count) {
      const TsIndexRecord *ahead = run->order[i + kPackFetchAhead];
      __builtin_prefetch(ahead);
      __builtin_prefetch(reinterpret_cast<const uint8_t *>(ahead) + kPackFetchLine);
    }
    if (i + kPackFetchAhead / 2 < run->order_count) {
      const TsIndexRecord *near = run->order[i + kPackFetchAhead / 2];
      __builtin_prefetch(near->name);
      if (near->data) __builtin_prefetch(near->data);
      if (run->bmap && FromBackup(s, near))
        __builtin_prefetch(run->bmap + DataOffset(s, near));
    }
    rc = PackRecord(run, run->order[i]);
  }
  EndCheck(run);
  if (!rc) rc = FlushBatch(run);
  if (EndSyncBehind(&run->behind) && !rc) rc = TS_ERR_PACK_WRITE;
  if (!rc) {
    rc = TakeChecks(run);
  } else if (rc != TS_ERR_DIGEST) {
    if (uint32_t earlier = EarlierMismatch(run)) rc = earlier;
  }
  if (rc) return rc;
  if (KstFlushFile(s->file) || KstSetFileSize(s->file, run->batch_at) || KstFlushFile(s->file))
    return TS_ERR_PACK_WRITE;
  return KST_OK;
}

// Step 4: the pack is complete once the marker is gone. A folder sync that
// fails here fails the pack too: the rollback then makes the store match the
// backup, should the marker come back.
uint32_t DropMarker(PackRun *run) {
  bool gone = false;
  uint32_t rc = RemoveMarker(run->mpath, &gone);
  if (gone) run->marker = false;
  return rc ? TS_ERR_PACK_WRITE : KST_OK;
}

void PackCompleted(PackRun *run, uint32_t removed, std::chrono::steady_clock::time_point t0) {
  TsStore *s = run->s;
  s->deleted = 0;
  s->wasted = 0;
  s->last_pack_time = run->pack_time;
  s->db_size = run->batch_at;
  s->file_end = run->batch_at;
  s->version = 4;
  KstLogPrintf(" ");
  KstLogPrintf("Resource database packing completed");
  KstLogPrintf("-----------------------------------");
  KstLogPrintf("TS DB version...........: %d", int(s->version));
  KstLogPrintf("Deleted objects removed.: %d", int(removed));
  KstLogPrintf("Time spent..............: %d ms", int(ElapsedMs(t0)));
}

// Roll back: the backup's bytes over the store, cut to its length, synced;
// then the marker goes. Should any of it fail, the marker stays so that the
// next open restores the backup, and until then nothing may be written that
// the restore would lose.
uint32_t RollBack(PackRun *run) {
  TsStore *s = run->s;
  uint32_t rollback_rc = KST_OK;
  if (run->touched) {
    uint32_t restored = 0;
    rollback_rc = CopyOver(run->backup, s->version, s->file, &restored);
  }
  if (!rollback_rc && run->marker) {
    bool gone = false;
    uint32_t r = RemoveMarker(run->mpath, &gone);
    if (!gone) {
      rollback_rc = r;
    } else if (r) {
      KstLogPrintf("StorePackStoreFile: folder sync after removing %s failed (%xh)", run->mpath,
                   r);
    }
  }
  if (rollback_rc) {
    s->read_only = 1;  // TsMaintWriteRefusal: writes and deletes refused
    KstLogPrintf("StorePackStoreFile: rollback failed (%xh); the store refuses writes until it "
                 "is reopened, which restores %s",
                 rollback_rc, run->bpath);
  }
  RestoreOffsets(s, run->last_moved);
  return rollback_rc;
}

}  // namespace

void TsPackSetWindow(uint32_t bytes) { g_pack_window = bytes ? bytes : kPackWindowDefault; }

void TsPackSetGatherBound(uint32_t bytes) { g_pack_gather = bytes; }

void TsPackSetReadOrder(TsPackOrder order) { g_pack_order = order; }

void TsSetSyncBehindStep(uint32_t bytes) { g_sync_step = bytes ? bytes : kSyncBehindStep; }

void TsPackSetPrepareBound(uint32_t bytes) { g_pack_prepare = bytes ? bytes : kPackPrepareDefault; }

uint32_t StorePackStoreFile(TsStore *s) {
  if (!s) return KST_ERR_INVALID_HANDLE;
  if (uint32_t refused = TsMaintWriteRefusal(s)) return refused;
  if (s->read_only) {
    KstLogPrintf("Resource database packing failed.  Can not pack a store opened in 'read only' "
                 "mode.");
    return KST_ERR_ACCESS_DENIED;
  }
  if (!s->index.head) return KST_ERR_GENERAL;
  const auto t0 = std::chrono::steady_clock::now();
  const uint32_t removed = s->deleted;
  PackRun run{};
  run.s = s;
  if (KstQueryFileSize(s->file, &run.size, nullptr)) return KST_ERR_GENERAL;
  std::snprintf(run.bpath, sizeof run.bpath, "%s%s%s", s->folder, kTsDefaultStoreName, ".old");
  TsPackMarkerPath(s->path, run.mpath, sizeof run.mpath);

  uint32_t rc = CheckSpace(run);
  if (!rc) rc = CreateBackup(&run);
  if (!rc) StartHelper(&run);
  if (!rc) rc = BackUp(&run);
  const bool walked = !rc && AwaitWalk(&run);
  if (!rc) rc = WritePackHeader(&run);
  if (!rc) rc = RewriteRecords(&run, walked);
  if (!rc) rc = DropMarker(&run);
  EndHelper(&run);
  if (run.bmap) KstUnmapFile(run.bmap, run.map_len);
  KstFreeMem(run.batch, 0);
  KstFreeMem(run.win, 0);
  KstFreeMem(run.data, 0);
  KstFreeMem(run.arena, 0);
  KstFreeMem(run.src, 0);
  KstFreeMem(run.src_recs, 0);
  KstFreeMem(run.order, 0);
  KstFreeMem(run.check_mem, 0);
  uint32_t rollback_rc = KST_OK;
  if (rc) rollback_rc = RollBack(&run);
  if (run.backup != KST_INVALID_HFILE) KstCloseFile(run.backup);
  if (rc) {
    SeriousBanner("Resource database packing failed.  ", rc, true, rollback_rc);
  } else {
    PackCompleted(&run, removed, t0);
  }
  return rc;
}

uint32_t StoreCopyStoreFile(TsStore *s, const char *target) {
  if (!s) {
    SeriousBanner("Copying the resource database failed.  ", KST_ERR_INVALID_HANDLE, false, 0);
    return KST_ERR_INVALID_HANDLE;
  }
  if (!target || !*target) {
    SeriousBanner("Copying the resource database failed.  ", KST_ERR_INVALID_PARAMETER, false, 0);
    return KST_ERR_INVALID_PARAMETER;
  }
  const auto t0 = std::chrono::steady_clock::now();
  uint32_t size = 0;
  uint32_t rc = TsFileCopy(s, target, KST_INVALID_HFILE, &size, 1);
  uint32_t ms = ElapsedMs(t0);
  if (rc) {
    SeriousBanner("Copying the resource database failed.  ", rc, false, 0);
    return rc;
  }
  KstLogPrintf(" ");
  KstLogPrintf("Resource database copied");
  KstLogPrintf("------------------------");
  KstLogPrintf("Source path......: %s%s", s->folder, s->file_name);
  KstLogPrintf("Target path......: %s", target);
  KstLogPrintf("Store size.......: %d bytes", int(size));
  KstLogPrintf("Time spent.......: %d ms", int(ms));
  return KST_OK;
}
