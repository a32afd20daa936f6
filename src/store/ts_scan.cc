// The shared record scan, the fatal banner and the torn-tail salvage (see
// ts_scan.h).
#include "ts_scan.h"

#include <cstdio>
#include <cstring>

#include "store.h"

namespace {

// Longest version-4 name length for which the hex dump of an invalid header
// shows the whole header; past it only the fixed part and one name byte.
constexpr uint32_t kDumpNameMax = 260;
constexpr uint32_t kBannerWidth = 54;

// Bytes of an invalid header that the dump shows (at most `avail`).
uint32_t DumpLength(uint32_t version, const uint8_t *p, uint32_t avail) {
  uint32_t dump = kTsRecHdrLenV3;
  if (version != 3) {
    uint32_t nl = avail >= kTsRecOffNameLen + 4 ? TsGetU32(p + kTsRecOffNameLen) : 0;
    dump = nl > kDumpNameMax ? kTsRecMinV4 : nl + kTsRecFixedV4;
  }
  return dump > avail ? avail : dump;
}

// Replaces *buf by a block of `want` bytes (the old contents are not kept).
uint32_t GrowBuffer(uint8_t **buf, uint32_t *buf_size, uint64_t want) {
  if (want > UINT32_MAX) want = UINT32_MAX;
  void *mem = nullptr;
  if (KstAllocMem(uint32_t(want), 0, &mem, nullptr)) return KST_HEAP_FULL;
  KstFreeMem(*buf, 0);
  *buf = static_cast<uint8_t *>(mem);
  *buf_size = uint32_t(want);
  return KST_OK;
}

uint32_t ChunkOf(const TsScan *sc) { return sc->chunk ? sc->chunk : kTsChunk; }

enum class Chunk { kDone, kReread, kStop };

// Walks the records of one chunk (got bytes read at `pos`). *used gets the
// bytes of the whole records visited. kReread: read again at pos + *used
// (a record straddles the chunk's end; the buffer may have grown); kStop:
// the scan ends (*rc says how, sc->torn for a torn tail).
Chunk WalkChunk(TsScan *sc, uint8_t **buf, uint32_t *buf_size, uint32_t pos, uint32_t got,
                TsRecordFn fn, void *ctx, uint32_t *used, uint32_t *rc) {
  uint32_t b = 0;
  *used = 0;
  while (b < got) {
    TsRecordView v;
    uint64_t need = 0;
    TsParse p = TsParseRecord(sc->version, *buf + b, got - b, &v, &need);
    if (p == TsParse::kInvalid) {
      sc->last_read = pos + got;
      sc->buf_off = b;
      KstLogPrintf("%s: F:%d B:%d  Invalid object header for v%d", sc->who, int(pos), int(b),
                   int(sc->version));
      TsLogHexDump(*buf + b, DumpLength(sc->version, *buf + b, got - b));
      *rc = TS_ERR_CORRUPT;
      return Chunk::kStop;
    }
    if (p == TsParse::kShort) {
      if (uint64_t(pos) + b + need > sc->size) {
        // The file ends inside this record.
        sc->last_read = pos;
        sc->buf_off = b;
        sc->torn = true;
        sc->torn_at = pos + b;
        return Chunk::kStop;
      }
      // One record larger than the buffer (its length is within the file,
      // checked above): grow the buffer; the chunk grows with it.
      if (b == 0 && (*rc = GrowBuffer(buf, buf_size, need + ChunkOf(sc))) != KST_OK)
        return Chunk::kStop;
      return Chunk::kReread;
    }
    *rc = fn(ctx, v, pos + b);
    if (*rc) return Chunk::kStop;
    b += uint32_t(v.record_len);
    *used = b;
  }
  return Chunk::kDone;
}

}  // namespace

uint32_t TsScanRecords(TsScan *sc, TsRecordFn fn, void *ctx) {
  sc->last_read = sc->buf_off = sc->torn_at = 0;
  sc->torn = sc->shrunk = false;
  uint32_t buf_size = ChunkOf(sc);
  void *mem = nullptr;
  if (KstAllocMem(buf_size, 0, &mem, nullptr)) return KST_HEAP_FULL;
  uint8_t *buf = static_cast<uint8_t *>(mem);
  uint32_t rc = KST_OK;
  for (uint32_t pos = sc->first; pos < sc->size;) {
    uint32_t chunk = buf_size < sc->size - pos ? buf_size : sc->size - pos;
    uint32_t got = 0, rpos = pos;
    rc = KstReadFileAt(sc->file, &rpos, buf, chunk, &got);
    if (rc == KST_ERR_HANDLE_EOF) {
      // The file shrank under us: what was there is not a whole store.
      sc->last_read = pos;
      sc->shrunk = true;
      rc = TS_ERR_CORRUPT;
    }
    if (rc) break;
    uint32_t used = 0;
    if (WalkChunk(sc, &buf, &buf_size, pos, got, fn, ctx, &used, &rc) == Chunk::kStop) break;
    pos += used;
  }
  KstFreeMem(buf, 0);
  return rc;
}

void TsFatalBanner(const TsFatalInfo &f) {
  char gt[kBannerWidth + 1];
  std::memset(gt, '>', kBannerWidth);
  gt[kBannerWidth] = 0;
  KstLogPrintf("%s", gt);
  KstLogPrintf("<<<<");
  KstLogPrintf(">>>>         F A T A L   E R R O R: ");
  KstLogPrintf("<<<<         Resource database (v%d) is corrupt.", int(f.version));
  KstLogPrintf(">>>>         Last read at: %xh in store file", f.last_read);
  KstLogPrintf("<<<<         Buffer offset: %xh", f.buf_off);
  KstLogPrintf(">>>>         Calculated file offset: %xh", f.last_read + f.buf_off);
  KstLogPrintf("<<<<");
  KstLogPrintf("<<<<         Offset to last added record: %xh", f.added_off);
  KstLogPrintf("<<<<         Last added record: %s", f.added_name ? f.added_name : "");
  KstLogPrintf("<<<<         Offset to last skipped record: %xh", f.skipped_off);
  KstLogPrintf("<<<<         Last skipped record: %s", f.skipped_name ? f.skipped_name : "");
  KstLogPrintf("<<<<");
  if (f.op) {
    KstLogPrintf("<<<<         Ops: Force %s of %s", f.op, f.op_name);
    KstLogPrintf("<<<<         krplib %s %s", kTsBuildDate, kTsBuildTime);
  } else {
    KstLogPrintf("<<<<         TS engine %d.%02d.%02d.%04d build %s %s", kTsEngineV1, kTsEngineV2,
                 kTsEngineV3, kTsEngineV4, kTsBuildDate, kTsBuildTime);
  }
  KstLogPrintf("<<<<");
  KstLogPrintf("%s", gt);
}

void TsSiblingPath(const char *store_path, const char *ext, char *out, uint32_t size) {
  std::snprintf(out, size, "%s", store_path);
  char *slash = std::strrchr(out, '/');
  char *bslash = std::strrchr(out, '\\');
  if (bslash > slash) slash = bslash;
  char *dot = std::strrchr(out, '.');
  if (dot && (!slash || dot > slash)) *dot = 0;
  size_t n = std::strlen(out);
  std::snprintf(out + n, size - n, "%s", ext);
}

namespace {

// The cut bytes are looked at and copied through a window of this size, so
// a damaged length word that makes most of a large file "the tail" costs no
// allocation of that size.
constexpr uint32_t kTornWindow = 0x100000;
constexpr uint32_t kMarkLen = 8;

// Copies the bytes [from, from + len) of `h` into a new file at `path`
// (KstCreateRWFileNoLink), synced with its folder entry, through `buf`
// (kTornWindow bytes).
uint32_t CopyTail(KST_HFILE h, uint32_t from, uint32_t len, const char *path, uint8_t *buf) {
  KST_HFILE out = KST_INVALID_HFILE;
  uint32_t rc = KstCreateRWFileNoLink(path, &out);
  if (rc) return rc;
  for (uint32_t done = 0; !rc && done < len;) {
    const uint32_t n = len - done < kTornWindow ? len - done : kTornWindow;
    uint32_t rpos = from + done, wpos = done;
    rc = KstReadFileAt(h, &rpos, buf, n, nullptr);
    if (!rc) rc = KstWriteFileAt(out, &wpos, buf, n, nullptr);
    done += n;
  }
  if (!rc) rc = KstFlushFile(out);
  KstCloseFile(out);
  if (!rc) rc = KstSyncParentDir(path);
  return rc;
}

// 0 when no record mark but the record's own lies in [cut, size), else
// 0x37F0FF; the read error. The windows overlap by a mark's length less one,
// so a mark across two windows is found.
uint32_t FindNoFurtherMark(KST_HFILE h, uint32_t version, uint32_t cut, uint32_t size,
                           uint8_t *buf) {
  const char *mark = version == 3 ? kTsRecMarkV3 : kTsRecMarkV4;
  const uint32_t own = version == 3 ? kTsRec3OffMark : kTsRecOffMark;  // the record's own mark
  uint64_t at = uint64_t(cut) + own + 1;  // the first place another mark may start
  while (at + kMarkLen <= size) {
    const uint32_t n = uint32_t(size - at < kTornWindow ? size - at : kTornWindow);
    uint32_t pos = uint32_t(at);
    uint32_t rc = KstReadFileAt(h, &pos, buf, n, nullptr);
    if (rc) return rc;
    for (uint32_t i = 0; i + kMarkLen <= n; ++i)
      if (buf[i] == uint8_t(mark[0]) && std::memcmp(buf + i, mark, kMarkLen) == 0)
        return TS_ERR_CORRUPT;
    if (n < kTornWindow) break;
    at += n - (kMarkLen - 1);
  }
  return KST_OK;
}

}  // namespace

uint32_t TsCheckTornTail(KST_HFILE h, uint32_t version, uint32_t cut, uint32_t size) {
  void *buf = nullptr;
  if (KstAllocMem(kTornWindow, 0, &buf, nullptr)) return KST_HEAP_FULL;
  uint32_t rc = FindNoFurtherMark(h, version, cut, size, static_cast<uint8_t *>(buf));
  KstFreeMem(buf, 0);
  return rc;
}

uint32_t TsSalvageTail(KST_HFILE h, const char *store_path, uint32_t version, uint32_t cut,
                       uint32_t size, const char *who) {
  void *mem = nullptr;
  if (KstAllocMem(kTornWindow, 0, &mem, nullptr)) return KST_HEAP_FULL;
  auto *buf = static_cast<uint8_t *>(mem);
  char torn[KST_MAX_PATH + 8];
  TsSiblingPath(store_path, ".torn", torn, sizeof torn);
  uint32_t rc = FindNoFurtherMark(h, version, cut, size, buf);
  if (!rc) {
    rc = CopyTail(h, cut, size - cut, torn, buf);
    if (rc)
      KstLogPrintf("%s: saving the torn last record at %xh to %s failed (%xh)", who, cut, torn,
                   rc);
  }
  KstFreeMem(mem, 0);
  if (rc) return rc;
  rc = KstSetFileSize(h, cut);
  if (!rc) rc = KstFlushFile(h);
  if (rc) return rc;
  KstLogPrintf("%s: Warning: torn last record at %xh, %u bytes cut off and saved to %s", who, cut,
               size - cut, torn);
  return KST_OK;
}

uint32_t TsWriteDurableFile(const char *path, const void *bytes, uint32_t len) {
  KST_HFILE h = KST_INVALID_HFILE;
  uint32_t rc = KstCreateRWFileNoLink(path, &h);
  if (rc) return rc;
  uint32_t pos = 0;
  rc = KstWriteFileAt(h, &pos, bytes, len, nullptr);
  if (!rc) rc = KstFlushFile(h);
  KstCloseFile(h);
  if (!rc) rc = KstSyncParentDir(path);
  return rc;
}
