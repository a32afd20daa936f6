// Store open and close: StoreInit, the index rebuild (TsGenerateIndex), the
// flush thread and StoreExit, with their log texts.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "kst_alloc.h"
#include "store.h"
#include "store_maint.h"
#include "ts_digest.h"
#include "ts_format.h"
#include "ts_scan.h"

namespace {

uint32_t Now() { return static_cast<uint32_t>(std::time(nullptr)); }

// ---- log texts --------------------------------------------------------------

constexpr uint32_t kDashWidth = 40;

// Where the rebuild stood, for the fatal banner.
struct ScanState {
  uint32_t last_read;      // the scan's file position
  uint32_t buf_off;        // b
  uint32_t added_off;      // last added record
  const char *added_name;  // points into an index record (valid until the index is freed)
  uint32_t skipped_off;
  char skipped_name[kTsMaxName + 1];
};

void FatalBanner(const TsStore *s, const ScanState &st) {
  TsFatalInfo f{};
  f.version = s->version;
  f.last_read = st.last_read;
  f.buf_off = st.buf_off;
  f.added_off = st.added_off;
  f.added_name = st.added_name;
  f.skipped_off = st.skipped_off;
  f.skipped_name = st.skipped_name;
  TsFatalBanner(f);
}

void IntegrityError(uint32_t at) {
  KstLogPrintf("TsGenerateIndex: Database integrety error at %d, file is broken and we are "
               "unable to complete the init.", int(at));
}

void InitBanner(const TsStore *s, bool timed, uint32_t ms) {
  KstLogPrintf(" ");
  KstLogPrintf("Resource database init completed");
  KstLogPrintf("--------------------------------");
  KstLogPrintf("TS engine.......: %d.%02d.%02d.%04d build %s %s", kTsEngineV1, kTsEngineV2,
               kTsEngineV3, kTsEngineV4, kTsBuildDate, kTsBuildTime);
  KstLogPrintf("TS DB version...: %d", int(s->version));
  if (timed) KstLogPrintf("Time spent......: %d ms", int(ms));
  KstLogPrintf("Database size...: %d bytes", int(s->db_size));
  KstLogPrintf("Active objects..: %d", int(s->active));
  KstLogPrintf("Deleted objects.: %d", int(s->deleted));
  KstLogPrintf(" ");
}

void FormatLocal(uint32_t t, char *out, size_t size) {
  time_t tt = t;
  struct tm tmv;
  if (!localtime_r(&tt, &tmv) || !std::strftime(out, size, "%Y/%m/%d %H:%M:%S", &tmv))
    std::snprintf(out, size, "%u", t);
}

void ShutdownReport(const TsStore *s) {
  char dashes[kDashWidth + 1], load[64], now[64], pack[64];
  std::memset(dashes, '-', kDashWidth);
  dashes[kDashWidth] = 0;
  uint32_t t = Now();
  FormatLocal(s->load_time, load, sizeof load);
  FormatLocal(t, now, sizeof now);
  KstLogPrintf(" ");
  KstLogPrintf("Resource database shutting down");
  KstLogPrintf("%s", dashes);
  KstLogPrintf("TS engine.......................: %d.%02d.%02d.%04d build %s %s", kTsEngineV1,
               kTsEngineV2, kTsEngineV3, kTsEngineV4, kTsBuildDate, kTsBuildTime);
  KstLogPrintf("TS DB version...................: %d", int(s->version));
  KstLogPrintf("Load time.......................: %s", load);
  KstLogPrintf("Shutdown time...................: %s", now);
  uint32_t up = t - s->load_time;
  if (up)
    KstLogPrintf("Time up.........................: %d:%02d:%02d:%02d", int(up / 86400),
                 int(up / 3600 % 24), int(up / 60 % 60), int(up % 60));
  if (s->last_pack_time)
    FormatLocal(s->last_pack_time, pack, sizeof pack);
  else
    std::snprintf(pack, sizeof pack, "The resource database has never been packed");
  KstLogPrintf("Last pack was at................: %s", pack);
  KstLogPrintf("Read requets....................: %d", int(s->reads));
  KstLogPrintf("Read multiple requets...........: %d", int(s->read_multiples));
  KstLogPrintf("Write requests..................: %d", int(s->writes));
  KstLogPrintf("Delete requests.................: %d", int(s->deletes));
  KstLogPrintf("Get object info requets.........: %d", int(s->infos));
  KstLogPrintf("List resources requets..........: %d", int(s->lists));
  KstLogPrintf("Active objects..................: %d", int(s->active));
  KstLogPrintf("    incl. supersized............: %d", int(s->supersized));
  KstLogPrintf("Deleted objects.................: %d", int(s->deleted));
  KstLogPrintf("Database size...................: %d", int(s->db_size));
  KstLogPrintf("Wasted space by deleted objects.: %d", int(s->wasted));
  KstLogPrintf("Failed reads....................: %d", int(s->failed_reads));
  KstLogPrintf("Failed writes...................: %d", int(s->failed_writes));
}

// ---- the flush thread ---------------------------------------------------------

// The flush thread syncs the file at most this long after a change.
constexpr uint32_t kFlushPeriodMs = 2000;
// StoreExit waits this long for the flush thread before it says so.
constexpr uint32_t kFlushThreadWaitMs = 10000;

void FlushThread(void *arg) {
  auto *s = static_cast<TsStore *>(arg);
  uint32_t flushed_w = 0, flushed_d = 0;
  for (;;) {
    uint32_t rc = KstWaitForEventSem(s->flush_event, kFlushPeriodMs);
    // Relaxed is enough: the counters only grow, and a missed increment is
    // seen one period later.
    uint32_t w = s->unflushed_writes.load(std::memory_order_relaxed);
    uint32_t d = s->unflushed_deletes.load(std::memory_order_relaxed);
    if (w > flushed_w || d > flushed_d) {
      flushed_w = w;
      flushed_d = d;
      KstFlushFile(s->file);
    }
    if (rc && rc != KST_ERR_TIMEOUT) return;
    if (!s->running.load(std::memory_order_acquire)) return;
  }
}

// ---- release ------------------------------------------------------------------

// Frees everything of a store whose flush thread is not running. The file is
// closed as it is: nothing is written.
void Release(TsStore *s) {
  TsIndexFree(&s->index);
  if (s->file != KST_INVALID_HFILE) KstCloseFile(s->file);
  if (s->flush_event) KstCloseEventSem(s->flush_event);
  KstFreeMem(s->scratch, 0);
  KstFreeMem(s->wbuf, 0);
  KstDelete(s);
}

// ---- the index rebuild ----------------------------------------------------------

struct Counts {
  uint32_t active, supersized, deleted, wasted;
  TsStore *store;
};

// A second live record of a name: the earlier one (a crash came between a
// moved write's append and its mark) is deleted, in the count and, unless
// the store is read-only, in the file too, so that a later delete of the
// object cannot bring it back.
void CountDuplicate(const TsIndexRecord *loser, void *ctx) {
  auto *c = static_cast<Counts *>(ctx);
  --c->active;
  ++c->deleted;
  c->wasted += loser->area_size;
  if (loser->attr & kTsAttrSupersized) --c->supersized;
  if (!c->store->read_only) {
    uint32_t area, attr;
    bool read_failed;
    uint32_t rc = TsMarkDeleted(c->store, loser->offset, &area, &attr, &read_failed);
    if (rc)
      KstLogPrintf("TsGenerateIndex: marking the older record of '%s' at %xh failed (%xh)",
                   loser->name, loser->offset, rc);
  }
}

// Progress is reported at 19 thresholds k * (size / 20), as 5k percent.
constexpr uint32_t kProgressSteps = 20;
constexpr uint32_t kProgressPercentStep = 100 / kProgressSteps;

// What the rebuild's record visitor works on.
struct IndexBuild {
  TsStore *s;
  Counts c;
  ScanState st;
  TsProgressFn progress;
  void *arg;
  uint32_t step;      // size / 20
  uint32_t next_pct;  // next threshold k: k * step, percentage 5k
};

uint32_t IndexLiveRecord(IndexBuild *ib, const TsRecordView &v, uint32_t offset) {
  TsStore *s = ib->s;
  TsIndexRecord *r = nullptr;
  const bool inline_data = v.data_size <= s->inline_limit;
  uint32_t rc = TsRecordAlloc(v.name, v.name_len, inline_data ? v.data_size : 0, &r);
  if (rc) return rc;
  r->data_size = v.data_size;
  r->area_size = v.area_size;
  r->offset = offset;
  r->attr = v.attr & kTsAttrMask;
  r->last_wr = v.last_wr;
  r->consumer = v.consumer;
  std::memcpy(r->digest, v.digest, 16);
  if (inline_data) {
    TsRecordReserve(r, v.data_size);  // fits the inline area: cannot fail
    if (v.data_size) std::memcpy(r->data, v.data, v.data_size);
  }
  rc = TsListInsert(&s->index, r);
  if (rc) {
    TsRecordFree(r);
    return rc;
  }
  ++ib->c.active;
  if (r->attr & kTsAttrSupersized) ++ib->c.supersized;
  ib->st.added_off = r->offset;
  ib->st.added_name = r->name;
  return KST_OK;
}

uint32_t IndexRecord(void *ctx, const TsRecordView &v, uint32_t offset) {
  auto *ib = static_cast<IndexBuild *>(ctx);
  if (v.deleted) {
    ++ib->c.deleted;
    ib->c.wasted += v.area_size;
    ib->st.skipped_off = offset;
    std::snprintf(ib->st.skipped_name, sizeof ib->st.skipped_name, "%s", v.name);
  } else if (uint32_t rc = IndexLiveRecord(ib, v, offset)) {
    return rc;
  }
  if (ib->progress && ib->next_pct < kProgressSteps &&
      uint64_t(offset) + v.record_len >= uint64_t(ib->next_pct) * ib->step) {
    ib->progress(ib->next_pct * kProgressPercentStep, ib->arg);
    ++ib->next_pct;
  }
  return KST_OK;
}

// What the end of the scan means for the rebuild: a file that shrank or
// ends inside a record is corrupt, unless the open salvages a torn tail
// (then sc->size becomes the cut).
uint32_t ScanOutcome(TsStore *s, TsScan *sc, ScanState *st, uint32_t rc) {
  st->last_read = sc->last_read;
  st->buf_off = sc->buf_off;
  if (rc == TS_ERR_CORRUPT && sc->shrunk) IntegrityError(sc->last_read);
  if (rc || !sc->torn) return rc;
  if ((s->open_flags & kTsOpenSalvageTail) && !s->read_only) {
    rc = TsSalvageTail(s->file, s->path, s->version, sc->torn_at, sc->size, "TsGenerateIndex");
    if (!rc) {
      sc->size = sc->torn_at;
      return KST_OK;
    }
    if (rc != TS_ERR_CORRUPT) return rc;
  }
  IntegrityError(sc->torn_at);
  return TS_ERR_CORRUPT;
}

// ---- open ---------------------------------------------------------------------

// Allocates a store with its list head and its 10240 bytes of "S".
uint32_t NewStore(uint32_t open_flags, TsStore **out) {
  TsStore *s = KstNew<TsStore>();
  if (!s) return KST_HEAP_FULL;
  s->file = KST_INVALID_HFILE;
  s->inline_limit = kTsInlineLimit;
  s->open_flags = open_flags;
  uint32_t rc = TsIndexInit(&s->index);
  void *mem = nullptr;
  if (!rc) rc = KstAllocMem(kTsRoomSupersized, 0, &mem, nullptr);
  if (rc) {
    Release(s);
    return KST_HEAP_FULL;
  }
  s->scratch = static_cast<uint8_t *>(mem);
  std::memset(s->scratch, 'S', kTsRoomSupersized);
  *out = s;
  return KST_OK;
}

// The given folder and file name, or the default store (its folder is
// created when missing).
uint32_t SetPaths(TsStore *s, const char *folder, const char *file_name) {
  if (folder && file_name && *folder && *file_name) {
    std::snprintf(s->folder, sizeof s->folder, "%s", folder);
    std::snprintf(s->file_name, sizeof s->file_name, "%s", file_name);
    std::snprintf(s->path, sizeof s->path, "%s%s", folder, file_name);
    return KST_OK;
  }
  uint32_t rc = TsDefaultStorePath(s->folder, sizeof s->folder, s->path, sizeof s->path);
  if (rc) return rc;
  std::snprintf(s->file_name, sizeof s->file_name, "%s", kTsDefaultStoreName);
  rc = KstCreateDirTree(s->folder);
  if (rc == KST_ERR_ALREADY_EXISTS || rc == KST_ERR_FILE_EXISTS) rc = KST_OK;
  return rc;
}

// The latest time (open, close or pack) in the version-4 header of the file
// at `path`, 0 when there is none to read. A store created over an existing
// file starts later than any header that file had: a reader that keeps the
// header's bytes must never take the new store for the old one, although
// the new one may soon hold as many bytes and objects.
uint32_t LatestHeaderTime(const char *path) {
  KST_HFILE f = KST_INVALID_HFILE;
  if (KstOpenRFile(path, &f)) return 0;
  uint8_t hdr[kTsFileHeaderLenV4];
  uint32_t pos = 0, got = 0;
  const uint32_t rc = KstReadFileAt(f, &pos, hdr, kTsFileHeaderLenV4, &got);
  KstCloseFile(f);
  if (rc || got < kTsFileHeaderLenV4 || std::memcmp(hdr + kTsHdrOffMagic, kTsMagic, kTsMagicLen) ||
      TsGetU32(hdr + kTsHdrOffVersion) != 4)
    return 0;
  uint32_t t = TsGetU32(hdr + kTsHdrOffOpenTime);
  for (uint32_t off : {kTsHdrOffCloseTime, kTsHdrOffPackTime})
    if (TsGetU32(hdr + off) > t) t = TsGetU32(hdr + off);
  return t;
}

// Opens the file as the flags say; *fresh tells a file just created.
uint32_t OpenStoreFile(TsStore *s, bool *fresh) {
  uint32_t rc;
  *fresh = false;
  if ((s->open_flags & kTsOpenCreate) && (s->open_flags & kTsOpenNoLink)) {
    rc = KstCreateRWFileNoLink(s->path, &s->file);
    *fresh = true;
  } else if (s->open_flags & kTsOpenCreate) {
    s->replaced_time = LatestHeaderTime(s->path);
    rc = KstCreateRWFile(s->path, &s->file, 0);
    *fresh = true;
  } else if (s->open_flags & kTsOpenSecondary) {
    rc = KstOpenRFile(s->path, &s->file);
    s->read_only = 1;
  } else {
    rc = KstOpenRWFile(s->path, &s->file);
    if (rc == KST_ERR_FILE_NOT_FOUND) {
      rc = KstCreateRWFile(s->path, &s->file, 0);
      *fresh = true;
    }
  }
  if (rc) s->file = KST_INVALID_HFILE;
  return rc;
}

// Writes the header of a new, empty version-4 store and makes the file and
// its folder entry durable before anything is written into it.
uint32_t WriteNewHeader(TsStore *s) {
  uint32_t t = Now();
  if (t <= s->replaced_time && s->replaced_time != UINT32_MAX) t = s->replaced_time + 1;
  uint32_t rc = TsWriteFreshHeaderV4(s->file, t);
  if (!rc) rc = KstFlushFile(s->file);
  if (!rc) rc = KstSyncParentDir(s->path);
  s->version = 4;
  return rc;
}

// A header cut short, its bytes consistent with a store: corrupt.
uint32_t HeaderCutShort(TsStore *s, uint32_t version, uint32_t size) {
  s->version = version == 3 ? 3 : 4;
  ScanState st{};
  st.last_read = size;
  IntegrityError(size);
  FatalBanner(s, st);
  return TS_ERR_CORRUPT;
}

// Version 4, opened for writing: the close tag is checked and the header
// rewritten as "open" with this engine's build string and the open time.
uint32_t MarkHeaderOpen(TsStore *s, uint8_t *hdr) {
  s->close_tag_seen = TsGetU32(hdr + kTsHdrOffCloseTag) == kTsCloseTag;
  s->last_pack_time = TsGetU32(hdr + kTsHdrOffPackTime);
  if (s->read_only) return KST_OK;
  if (!s->close_tag_seen)
    KstLogPrintf("StoreInit: Warning: Orderly close tag missing from resource database");
  char build[kTsBuildLen];
  TsFormatBuildString(build);
  std::memcpy(hdr + kTsHdrOffBuild, build, kTsBuildLen);
  TsPutU32(hdr + kTsHdrOffOpenTime, Now());
  TsPutU32(hdr + kTsHdrOffCloseTime, 0);
  TsPutU32(hdr + kTsHdrOffCloseTag, 0);
  uint32_t pos = 0;
  return KstWriteFileAt(s->file, &pos, hdr, kTsFileHeaderLenV4, nullptr);
}

// A zero-byte file (a crash right after its creation) holds nothing to lose:
// it becomes a new store, or, in secondary mode, reads as an empty store
// without being written.
uint32_t OpenEmptyFile(TsStore *s) {
  if (s->read_only) {
    s->version = 4;
    return KST_OK;
  }
  KstLogPrintf("StoreInit: Warning: empty store file %s initialised as a new store", s->path);
  return WriteNewHeader(s);
}

// Reads and checks the header of an existing file.
uint32_t ReadHeader(TsStore *s) {
  uint32_t size = 0;
  uint32_t rc = KstQueryFileSize(s->file, &size, nullptr);
  if (rc) return rc;
  if (size == 0) return OpenEmptyFile(s);
  uint8_t hdr[kTsFileHeaderLenV4];
  std::memset(hdr, 0, sizeof hdr);
  uint32_t got = 0, pos = 0;
  rc = KstReadFileAt(s->file, &pos, hdr, kTsFileHeaderLenV3, &got);
  if (rc == KST_ERR_HANDLE_EOF) rc = KST_OK;
  if (rc) return rc;
  // Compare as much of the magic as the file holds.
  uint32_t n = got > kTsHdrOffMagic ? got - kTsHdrOffMagic : 0;
  if (n > kTsMagicLen) n = kTsMagicLen;
  if (std::memcmp(hdr + kTsHdrOffMagic, kTsMagic, n) != 0) return KST_ERR_FILE_NOT_FOUND;
  uint32_t version = TsGetU32(hdr + kTsHdrOffVersion);
  if (got == kTsFileHeaderLenV3 && version != 3 && version != 4) return TS_ERR_UNKNOWN_VERSION;
  if (got < kTsFileHeaderLenV3 || (version == 4 && size < kTsFileHeaderLenV4))
    return HeaderCutShort(s, version, size);
  s->version = version;
  if (version == 3) return KST_OK;
  pos = 0;
  rc = KstReadFileAt(s->file, &pos, hdr, kTsFileHeaderLenV4, nullptr);
  if (rc) return rc;
  return MarkHeaderOpen(s, hdr);
}

// Starts the flush thread of a store opened for writing. Without an event
// the store works on without periodic flushes.
uint32_t StartFlushThread(TsStore *s) {
  if (s->read_only) return KST_OK;
  KST_HSEM ev = nullptr;
  if (KstCreateEventSem(nullptr, 0, 0, &ev) != KST_OK) return KST_OK;
  s->flush_event = ev;
  uint32_t rc = KstCreateThread(FlushThread, s, 0, 0, 0, &s->flush_thread);
  if (rc) {
    s->flush_thread = nullptr;
    s->running.store(0);
  }
  return rc;
}

}  // namespace

uint32_t TsDefaultStorePath(char *folder, uint32_t folder_size, char *path, uint32_t path_size) {
  if (!folder || !path || !folder_size || !path_size) return KST_ERR_INVALID_PARAMETER;
  char root[KST_MAX_PATH];
  uint32_t rc = KstQueryKestarPath(KPATH_ROOT, root, sizeof root);
  // A root that does not fit the buffer makes a path over the limit.
  if (rc == KST_ERR_BUFFER_TOO_SMALL || rc == KST_ERR_FILENAME_TOO_LONG) return TS_ERR_NAME_TOO_LONG;
  if (rc) return rc;
  size_t n = std::strlen(root);
  const char *sep = n && (root[n - 1] == '/' || root[n - 1] == '\\') ? "" : "/";
  char f[KST_MAX_PATH * 2], p[KST_MAX_PATH * 2];
  int fl = std::snprintf(f, sizeof f, "%s%s%s/", root, sep, kTsDefaultStoreFolder);
  int pl = std::snprintf(p, sizeof p, "%s%s%s", f, kTsDefaultStoreName, kTsDefaultStoreExt);
  if (fl < 0 || pl < 0 || uint32_t(pl) > kTsMaxPathLen) return TS_ERR_NAME_TOO_LONG;
  if (uint32_t(fl) >= folder_size || uint32_t(pl) >= path_size) return KST_ERR_BUFFER_TOO_SMALL;
  std::memcpy(folder, f, size_t(fl) + 1);
  std::memcpy(path, p, size_t(pl) + 1);
  return KST_OK;
}

uint32_t TsGenerateIndex(TsStore *s, TsProgressFn progress, void *arg) {
  auto t0 = std::chrono::steady_clock::now();
  TsScan sc{};
  sc.file = s->file;
  sc.version = s->version;
  sc.first = s->version == 3 ? kTsFileHeaderLenV3 : kTsFileHeaderLenV4;
  sc.who = "TsGenerateIndex";
  uint32_t rc = KstQueryFileSize(s->file, &sc.size, nullptr);
  if (rc) return rc;
  s->db_size = sc.size;
  IndexBuild ib{};
  ib.s = s;
  ib.c.store = s;
  ib.progress = progress;
  ib.arg = arg;
  ib.step = sc.size / kProgressSteps;
  ib.next_pct = 1;

  TsIndexFree(&s->index);
  rc = TsIndexInit(&s->index);
  if (!rc) rc = TsScanRecords(&sc, IndexRecord, &ib);
  rc = ScanOutcome(s, &sc, &ib.st, rc);
  if (!rc) {
    s->db_size = sc.size;
    if (progress) progress(100, arg);
    rc = TsIndexBuildHash(&s->index, ib.c.active, CountDuplicate, &ib.c);
  }
  s->active = ib.c.active;
  s->supersized = ib.c.supersized;
  s->deleted = ib.c.deleted;
  s->wasted = ib.c.wasted;
  s->file_end = sc.size;

  if (rc == TS_ERR_CORRUPT) {
    FatalBanner(s, ib.st);
  } else if (!s->read_only) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0).count();
    InitBanner(s, true, uint32_t(ms));
  }
  return rc;
}

uint32_t StoreInit(TsStore **out, const char *folder, const char *file_name,
                   TsProgressFn progress, void *arg, uint32_t open_flags) {
  if (!out) return KST_ERR_INVALID_HANDLE;
  *out = nullptr;
  if (folder && file_name && std::strlen(folder) + std::strlen(file_name) > kTsMaxPathLen)
    return TS_ERR_NAME_TOO_LONG;
  TsStore *s = nullptr;
  uint32_t rc = NewStore(open_flags, &s);
  if (rc) return rc;
  bool fresh = false;
  rc = SetPaths(s, folder, file_name);
  if (!rc) rc = OpenStoreFile(s, &fresh);
  if (!rc) rc = TsPackRecoverAtOpen(s);  // store_maint.h
  if (!rc) rc = fresh ? WriteNewHeader(s) : ReadHeader(s);
  if (!rc) rc = TsGenerateIndex(s, progress, arg);
  if (!rc) {
    s->running.store(1, std::memory_order_release);
    rc = StartFlushThread(s);
  }
  if (rc) {
    Release(s);
    return rc;
  }
  s->load_time = Now();
  *out = s;
  return KST_OK;
}

void TsStampCloseHeader(uint8_t *hdr, const TsStore *s) {
  TsPutU32(hdr + kTsHdrOffCloseTime, Now());
  TsPutU32(hdr + kTsHdrOffActive, s->active);
  TsPutU32(hdr + kTsHdrOffDeleted, s->deleted);
  TsPutU32(hdr + kTsHdrOffSupersized, s->supersized);
  TsPutU32(hdr + kTsHdrOffDbSize, s->db_size);
  TsPutU32(hdr + kTsHdrOffWasted, s->wasted);
  TsPutU32(hdr + kTsHdrOffCloseTag, kTsCloseTag);
}

namespace {

// Ends the flush thread; it reads the store, so it must have ended before
// the store is freed, however long its last fsync takes.
void StopFlushThread(TsStore *s) {
  if (!s->flush_thread) return;
  KstSignalEventSem(s->flush_event);
  if (KstWaitForThread(s->flush_thread, 0, kFlushThreadWaitMs) == KST_ERR_TIMEOUT) {
    KstLogPrintf("StoreExit: flush thread still busy after 10 s, waiting");
    KstWaitForThread(s->flush_thread, 0, KST_INFINITE);
  }
  KstCloseThread(s->flush_thread);
  s->flush_thread = nullptr;
}

// The data first, then the tag that vouches for it (a failure is ignored).
void WriteCloseTag(TsStore *s) {
  KstFlushFile(s->file);
  uint8_t hdr[kTsFileHeaderLenV4];
  uint32_t pos = 0;
  if (KstReadFileAt(s->file, &pos, hdr, kTsFileHeaderLenV4, nullptr) != KST_OK) return;
  TsStampCloseHeader(hdr, s);
  pos = 0;
  KstWriteFileAt(s->file, &pos, hdr, kTsFileHeaderLenV4, nullptr);
}

void ShutdownDone() {
  char dashes[kDashWidth + 1];
  std::memset(dashes, '-', kDashWidth);
  dashes[kDashWidth] = 0;
  KstLogPrintf(" ");
  KstLogPrintf("Orderly shutdown completed, bye for now!");
  KstLogPrintf("%s", dashes);
}

}  // namespace

uint32_t StoreExit(TsStore *s) {
  if (!s) return KST_ERR_INVALID_HANDLE;
  s->running.store(0, std::memory_order_release);
  StopFlushThread(s);
  bool report = s->open_flags & kTsOpenShutdownReport;
  if (report) ShutdownReport(s);
  TsIndexFree(&s->index);
  if (s->version == 4 && !s->read_only) WriteCloseTag(s);
  if (!s->read_only) KstFlushFile(s->file);
  Release(s);
  if (report) ShutdownDone();
  return KST_OK;
}
