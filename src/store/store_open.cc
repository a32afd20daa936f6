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

namespace {

uint32_t Now() { return static_cast<uint32_t>(std::time(nullptr)); }

// ---- log texts --------------------------------------------------------------


struct ScanState {
  uint32_t last_read;      // the scan's file position for the banner
  uint32_t buf_off;        // b
  uint32_t added_off;      // last added record
  const char *added_name;  // points into an index record (valid until the index is freed)
  uint32_t skipped_off;
  char skipped_name[kTsMaxName + 1];
};

void FatalBanner(const TsStore *s, const ScanState &st) {
  char gt[55], lt_name[kTsMaxName + 1];
  std::memset(gt, '>', 54);
  gt[54] = 0;
  std::snprintf(lt_name, sizeof lt_name, "%s", st.added_name ? st.added_name : "");
  KstLogPrintf("%s", gt);
  KstLogPrintf("<<<<");
  KstLogPrintf(">>>>         F A T A L   E R R O R: ");
  KstLogPrintf("<<<<         Resource database (v%d) is corrupt.", int(s->version));
  KstLogPrintf(">>>>         Last read at: %xh in store file", st.last_read);
  KstLogPrintf("<<<<         Buffer offset: %xh", st.buf_off);
  KstLogPrintf(">>>>         Calculated file offset: %xh", st.last_read + st.buf_off);
  KstLogPrintf("<<<<");
  KstLogPrintf("<<<<         Offset to last added record: %xh", st.added_off);
  KstLogPrintf("<<<<         Last added record: %s", lt_name);
  KstLogPrintf("<<<<         Offset to last skipped record: %xh", st.skipped_off);
  KstLogPrintf("<<<<         Last skipped record: %s", st.skipped_name);
  KstLogPrintf("<<<<");
  KstLogPrintf("<<<<         TS engine %d.%02d.%02d.%04d build %s %s", kTsEngineV1, kTsEngineV2,
               kTsEngineV3, kTsEngineV4, kTsBuildDate, kTsBuildTime);
  KstLogPrintf("<<<<");
  KstLogPrintf("%s", gt);
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
  char dashes[41], load[64], now[64], pack[64];
  std::memset(dashes, '-', 40);
  dashes[40] = 0;
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

void FlushThread(void *arg) {
  auto *s = static_cast<TsStore *>(arg);
  uint32_t flushed_w = 0, flushed_d = 0;
  for (;;) {
    uint32_t rc = KstWaitForEventSem(s->flush_event, 2000);
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

// The ".torn" file beside the store: the file name's extension replaced.
void TornPath(const TsStore *s, char *out, size_t size) {
  std::snprintf(out, size, "%s", s->path);
  char *slash = std::strrchr(out, '/');
  char *bslash = std::strrchr(out, '\\');
  if (bslash > slash) slash = bslash;
  char *dot = std::strrchr(out, '.');
  if (dot && (!slash || dot > slash)) *dot = 0;
  size_t n = std::strlen(out);
  if (n + 6 <= size - 1) std::snprintf(out + n, size - n, ".torn");
}

// Saves bytes [cut, size) of the store beside it and cuts the store there.
uint32_t SalvageTail(TsStore *s, uint32_t cut, uint32_t size) {
  uint32_t len = size - cut;
  void *mem = nullptr;
  uint32_t rc = KstAllocMem(len, 0, &mem, nullptr);
  if (rc) return rc;
  uint32_t pos = cut;
  rc = KstReadFileAt(s->file, &pos, mem, len, nullptr);
  if (!rc) {
    // A torn append is the file's last record: when another record mark
    // follows inside the cut bytes, this is a damaged header with more data
    // behind it, and nothing is cut.
    const char *mark = s->version == 3 ? kTsRecMarkV3 : kTsRecMarkV4;
    const auto *p = static_cast<const uint8_t *>(mem);
    uint32_t own = s->version == 3 ? kTsRec3OffMark : kTsRecOffMark;  // the record's own mark
    for (uint32_t i = own + 1; i + 8 <= len; ++i)
      if (p[i] == uint8_t(mark[0]) && std::memcmp(p + i, mark, 8) == 0) {
        rc = TS_ERR_CORRUPT;
        break;
      }
  }
  char torn[KST_MAX_PATH + 8];
  TornPath(s, torn, sizeof torn);
  KST_HFILE h = KST_INVALID_HFILE;
  if (!rc) rc = KstCreateRWFile(torn, &h, 0);
  if (!rc) {
    uint32_t wpos = 0;
    rc = KstWriteFileAt(h, &wpos, mem, len, nullptr);
    if (!rc) rc = KstFlushFile(h);
    KstCloseFile(h);
    if (!rc) KstSyncParentDir(torn);
  }
  KstFreeMem(mem, 0);
  if (!rc) rc = KstSetFileSize(s->file, cut);
  if (!rc) rc = KstFlushFile(s->file);
  if (rc) return rc;
  KstLogPrintf("TsGenerateIndex: Warning: torn last record at %xh, %u bytes cut off and saved to %s",
               cut, len, torn);
  return KST_OK;
}

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

}  // namespace

uint32_t TsGenerateIndex(TsStore *s, TsProgressFn progress, void *arg) {
  auto t0 = std::chrono::steady_clock::now();
  const uint32_t first = s->version == 3 ? kTsFileHeaderLenV3 : kTsFileHeaderLenV4;
  uint32_t size = 0;
  uint32_t rc = KstQueryFileSize(s->file, &size, nullptr);
  if (rc) return rc;
  s->db_size = size;
  const uint32_t step = size / 20;
  uint32_t next_pct = 1;  // next threshold k: k * step, percentage 5k

  uint8_t *buf = nullptr;
  uint32_t buf_size = kTsChunk;
  Counts c{};
  c.store = s;
  ScanState st{};
  {
    void *mem = nullptr;
    if (KstAllocMem(buf_size, 0, &mem, nullptr)) return KST_HEAP_FULL;
    buf = static_cast<uint8_t *>(mem);
  }
  TsIndexFree(&s->index);
  rc = TsIndexInit(&s->index);

  uint32_t pos = first;
  while (!rc && pos < size) {
    uint32_t chunk = buf_size < size - pos ? buf_size : size - pos;
    uint32_t got = 0, rpos = pos;
    rc = KstReadFileAt(s->file, &rpos, buf, chunk, &got);
    if (rc == KST_ERR_HANDLE_EOF) {
      // The file shrank under us: what was there is not a whole store.
      st.last_read = pos;
      KstLogPrintf("TsGenerateIndex: Database integrety error at %d, file is broken and we are "
                   "unable to complete the init.", int(pos));
      rc = TS_ERR_CORRUPT;
      break;
    }
    if (rc) break;
    uint32_t b = 0;
    while (b < got) {
      TsRecordView v;
      uint64_t need = 0;
      TsParse p = TsParseRecord(s->version, buf + b, got - b, &v, &need);
      if (p == TsParse::kInvalid) {
        st.last_read = pos + got;
        st.buf_off = b;
        uint32_t avail = got - b;
        uint32_t dump = kTsRecHdrLenV3;
        if (s->version != 3) {
          uint32_t nl = avail >= kTsRecOffNameLen + 4 ? TsGetU32(buf + b + kTsRecOffNameLen) : 0;
          dump = nl > 260 ? kTsRecMinV4 : nl + kTsRecFixedV4;
        }
        if (dump > avail) dump = avail;
        KstLogPrintf("TsGenerateIndex: F:%d B:%d  Invalid object header for v%d", int(pos), int(b),
                     int(s->version));
        TsLogHexDump(buf + b, dump);
        rc = TS_ERR_CORRUPT;
        break;
      }
      if (p == TsParse::kShort) {
        uint64_t rec_at = uint64_t(pos) + b;
        if (rec_at + need > size) {
          // The file ends inside this record: a torn last append.
          if ((s->open_flags & kTsOpenSalvageTail) && !s->read_only) {
            rc = SalvageTail(s, uint32_t(rec_at), size);
            if (!rc) {
              size = uint32_t(rec_at);
              s->db_size = size;
              pos = size;
              b = 0;
              break;
            }
            if (rc != TS_ERR_CORRUPT) break;
          }
          st.last_read = pos;
          st.buf_off = b;
          KstLogPrintf("TsGenerateIndex: Database integrety error at %d, file is broken and we "
                       "are unable to complete the init.", int(pos + b));
          rc = TS_ERR_CORRUPT;
          break;
        }
        if (b == 0) {
          // One record larger than the buffer (its length is within the
          // file, checked above): grow the buffer; the chunk grows with it.
          uint64_t want = need + kTsChunk;
          if (want > UINT32_MAX) want = UINT32_MAX;
          void *mem = nullptr;
          if (KstAllocMem(uint32_t(want), 0, &mem, nullptr)) {
            rc = KST_HEAP_FULL;
            break;
          }
          KstFreeMem(buf, 0);
          buf = static_cast<uint8_t *>(mem);
          buf_size = uint32_t(want);
        }
        break;  // read again from this record
      }
      if (v.deleted) {
        ++c.deleted;
        c.wasted += v.area_size;
        st.skipped_off = pos + b;
        std::snprintf(st.skipped_name, sizeof st.skipped_name, "%s", v.name);
      } else {
        TsIndexRecord *r = nullptr;
        uint32_t cap = v.data_size <= s->inline_limit ? v.data_size : 0;
        rc = TsRecordAlloc(v.name, v.name_len, cap, &r);
        if (rc) break;
        r->data_size = v.data_size;
        r->area_size = v.area_size;
        r->offset = pos + b;
        r->attr = v.attr & kTsAttrMask;
        r->last_wr = v.last_wr;
        r->consumer = v.consumer;
        std::memcpy(r->digest, v.digest, 16);
        if (v.data_size <= s->inline_limit) {
          TsRecordReserve(r, v.data_size);  // fits the inline area: cannot fail
          if (v.data_size) std::memcpy(r->data, v.data, v.data_size);
        }
        rc = TsListInsert(&s->index, r);
        if (rc) {
          TsRecordFree(r);
          break;
        }
        ++c.active;
        if (r->attr & kTsAttrSupersized) ++c.supersized;
        st.added_off = r->offset;
        st.added_name = r->name;
      }
      b += uint32_t(v.record_len);
      if (progress && next_pct <= 19 && uint64_t(pos) + b >= uint64_t(next_pct) * step) {
        progress(next_pct * 5, arg);
        ++next_pct;
      }
    }
    if (rc) break;
    pos += b;
  }
  KstFreeMem(buf, 0);

  if (!rc) {
    if (progress) progress(100, arg);
    rc = TsIndexBuildHash(&s->index, c.active, CountDuplicate, &c);
  }
  s->active = c.active;
  s->supersized = c.supersized;
  s->deleted = c.deleted;
  s->wasted = c.wasted;
  s->file_end = size;

  if (rc == TS_ERR_CORRUPT) {
    FatalBanner(s, st);
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
  bool given = folder && file_name && *folder && *file_name;
  if (folder && file_name && std::strlen(folder) + std::strlen(file_name) + 1 > KST_MAX_PATH)
    return TS_ERR_NAME_TOO_LONG;

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

  if (given) {
    std::snprintf(s->folder, sizeof s->folder, "%s", folder);
    std::snprintf(s->file_name, sizeof s->file_name, "%s", file_name);
    std::snprintf(s->path, sizeof s->path, "%s%s", folder, file_name);
  } else {
    char root[KST_MAX_PATH];
    rc = KstQueryKestarPath(KPATH_ROOT, root, sizeof root);
    if (!rc) {
      size_t n = std::strlen(root);
      const char *sep = n && (root[n - 1] == '/' || root[n - 1] == '\\') ? "" : "/";
      int fl = std::snprintf(s->folder, sizeof s->folder, "%s%s%s/", root, sep, "resources");
      int pl = std::snprintf(s->path, sizeof s->path, "%s%s%s", s->folder, "store", ".kts");
      if (fl < 0 || pl < 0 || size_t(pl) > kTsMaxName) {
        rc = TS_ERR_NAME_TOO_LONG;
      } else {
        std::snprintf(s->file_name, sizeof s->file_name, "store");
        rc = KstCreateDirTree(s->folder);
        if (rc == KST_ERR_ALREADY_EXISTS || rc == KST_ERR_FILE_EXISTS) rc = KST_OK;
      }
    }
    if (rc) {
      Release(s);
      return rc;
    }
  }

  bool fresh = false;
  if (open_flags & kTsOpenCreate) {
    rc = KstCreateRWFile(s->path, &s->file, 0);
    fresh = true;
  } else if (open_flags & kTsOpenSecondary) {
    rc = KstOpenRFile(s->path, &s->file);
    s->read_only = 1;
  } else {
    rc = KstOpenRWFile(s->path, &s->file);
    if (rc == KST_ERR_FILE_NOT_FOUND) {
      rc = KstCreateRWFile(s->path, &s->file, 0);
      fresh = true;
    }
  }
  if (rc) {
    s->file = KST_INVALID_HFILE;
    Release(s);
    return rc;
  }

  if ((rc = TsPackRecoverAtOpen(s)) != KST_OK) { Release(s); return rc; }  // store_maint.h
  uint8_t hdr[kTsFileHeaderLenV4];
  if (fresh) {
    TsHeaderFields f{};
    f.with_build = true;
    f.open_time = Now();
    TsEncodeFileHeaderV4(hdr, f);
    uint32_t pos = 0;
    rc = KstWriteFileAt(s->file, &pos, hdr, kTsFileHeaderLenV4, nullptr);
    // The new file and its folder entry reach the disk before anything is
    // written into it.
    if (!rc) rc = KstFlushFile(s->file);
    if (!rc) rc = KstSyncParentDir(s->path);
    s->version = 4;
  } else {
    uint32_t size = 0;
    rc = KstQueryFileSize(s->file, &size, nullptr);
    uint32_t got = 0, pos = 0;
    std::memset(hdr, 0, sizeof hdr);
    if (!rc) {
      rc = KstReadFileAt(s->file, &pos, hdr, kTsFileHeaderLenV3, &got);
      if (rc == KST_ERR_HANDLE_EOF) rc = KST_OK;
    }
    if (!rc) {
      // Compare as much of the magic as the file holds.
      uint32_t n = got > kTsHdrOffMagic ? got - kTsHdrOffMagic : 0;
      if (n > kTsMagicLen) n = kTsMagicLen;
      if (std::memcmp(hdr + kTsHdrOffMagic, kTsMagic, n) != 0) rc = KST_ERR_FILE_NOT_FOUND;
    }
    uint32_t version = TsGetU32(hdr + kTsHdrOffVersion);
    if (!rc && got == kTsFileHeaderLenV3 && version != 3 && version != 4)
      rc = TS_ERR_UNKNOWN_VERSION;
    if (!rc && version == 4 && size >= kTsFileHeaderLenV4) {
      pos = 0;
      rc = KstReadFileAt(s->file, &pos, hdr, kTsFileHeaderLenV4, nullptr);
    }
    if (!rc && (got < kTsFileHeaderLenV3 || (version == 4 && size < kTsFileHeaderLenV4))) {
      // A header cut short, its bytes consistent with a store: corrupt.
      s->version = version == 3 ? 3 : 4;
      ScanState st{};
      st.last_read = size;
      KstLogPrintf("TsGenerateIndex: Database integrety error at %d, file is broken and we are "
                   "unable to complete the init.", int(size));
      FatalBanner(s, st);
      rc = TS_ERR_CORRUPT;
    }
    if (!rc) {
      s->version = version;
      if (version == 4) {
        s->close_tag_seen = TsGetU32(hdr + kTsHdrOffCloseTag) == kTsCloseTag;
        s->last_pack_time = TsGetU32(hdr + kTsHdrOffPackTime);
        if (!s->read_only) {
          if (!s->close_tag_seen)
            KstLogPrintf("StoreInit: Warning: Orderly close tag missing from resource database");
          char build[kTsBuildLen];
          TsFormatBuildString(build);
          std::memcpy(hdr + kTsHdrOffBuild, build, kTsBuildLen);
          TsPutU32(hdr + kTsHdrOffOpenTime, Now());
          TsPutU32(hdr + kTsHdrOffCloseTime, 0);
          TsPutU32(hdr + kTsHdrOffCloseTag, 0);
          pos = 0;
          rc = KstWriteFileAt(s->file, &pos, hdr, kTsFileHeaderLenV4, nullptr);
        }
      }
    }
  }
  if (!rc) rc = TsGenerateIndex(s, progress, arg);
  if (rc) {
    Release(s);
    return rc;
  }

  s->running.store(1, std::memory_order_release);
  if (!s->read_only) {
    KST_HSEM ev = nullptr;
    if (KstCreateEventSem(nullptr, 0, 0, &ev) == KST_OK) {
      s->flush_event = ev;
      rc = KstCreateThread(FlushThread, s, 0, 0, 0, &s->flush_thread);
      if (rc) {
        s->flush_thread = nullptr;
        s->running.store(0);
        Release(s);
        return rc;
      }
    }
  }
  s->load_time = Now();
  *out = s;
  return KST_OK;
}

uint32_t StoreExit(TsStore *s) {
  if (!s) return KST_ERR_INVALID_HANDLE;
  s->running.store(0, std::memory_order_release);
  if (s->flush_thread) {
    KstSignalEventSem(s->flush_event);
    // The thread reads the store: it must have ended before the store is
    // freed, however long its last fsync takes.
    if (KstWaitForThread(s->flush_thread, 0, 10000) == KST_ERR_TIMEOUT) {
      KstLogPrintf("StoreExit: flush thread still busy after 10 s, waiting");
      KstWaitForThread(s->flush_thread, 0, KST_INFINITE);
    }
    KstCloseThread(s->flush_thread);
    s->flush_thread = nullptr;
  }
  bool report = s->open_flags & kTsOpenShutdownReport;
  if (report) ShutdownReport(s);
  TsIndexFree(&s->index);

  if (s->version == 4 && !s->read_only) {
    // The data first, then the tag that vouches for it.
    KstFlushFile(s->file);
    uint8_t hdr[kTsFileHeaderLenV4];
    uint32_t pos = 0;
    if (KstReadFileAt(s->file, &pos, hdr, kTsFileHeaderLenV4, nullptr) == KST_OK) {
      TsPutU32(hdr + kTsHdrOffCloseTime, Now());
      TsPutU32(hdr + kTsHdrOffActive, s->active);
      TsPutU32(hdr + kTsHdrOffDeleted, s->deleted);
      TsPutU32(hdr + kTsHdrOffSupersized, s->supersized);
      TsPutU32(hdr + kTsHdrOffDbSize, s->db_size);
      TsPutU32(hdr + kTsHdrOffWasted, s->wasted);
      TsPutU32(hdr + kTsHdrOffCloseTag, kTsCloseTag);
      pos = 0;
      KstWriteFileAt(s->file, &pos, hdr, kTsFileHeaderLenV4, nullptr);
    }
  }
  if (!s->read_only) KstFlushFile(s->file);
  Release(s);
  if (report) {
    char dashes[41];
    std::memset(dashes, '-', 40);
    dashes[40] = 0;
    KstLogPrintf(" ");
    KstLogPrintf("Orderly shutdown completed, bye for now!");
    KstLogPrintf("%s", dashes);
  }
  return KST_OK;
}
