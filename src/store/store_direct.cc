// Direct access: force read, force write and the listing read, straight on
// the store file without an open store (see store_maint.h).
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "kst_alloc.h"
#include "store_maint.h"
#include "ts_digest.h"
#include "ts_format.h"

namespace {

uint32_t Now() { return static_cast<uint32_t>(std::time(nullptr)); }


// What the scan remembers of the last live record of the name.
struct Match {
  bool found;
  uint32_t offset;
  uint32_t header_len;
  uint32_t data_size;
  uint32_t area_size;
  uint32_t last_wr, attr, consumer;
  uint8_t digest[16];
};

struct Scan {
  uint32_t version;
  uint32_t last_read, buf_off;
  uint32_t end;  // file size: where an append goes
};

void FatalBanner(const Scan &sc, const Match &m, const char *op, const char *name) {
  char gt[55];
  std::memset(gt, '>', 54);
  gt[54] = 0;
  KstLogPrintf("%s", gt);
  KstLogPrintf("<<<<");
  KstLogPrintf(">>>>         F A T A L   E R R O R: ");
  KstLogPrintf("<<<<         Resource database (v%d) is corrupt.", int(sc.version));
  KstLogPrintf(">>>>         Last read at: %xh in store file", sc.last_read);
  KstLogPrintf("<<<<         Buffer offset: %xh", sc.buf_off);
  KstLogPrintf(">>>>         Calculated file offset: %xh", sc.last_read + sc.buf_off);
  KstLogPrintf("<<<<");
  KstLogPrintf("<<<<         Offset to last added record: %xh", m.found ? m.offset : 0);
  KstLogPrintf("<<<<         Last added record: %s", m.found ? name : "");
  KstLogPrintf("<<<<         Offset to last skipped record: %xh", 0u);
  KstLogPrintf("<<<<         Last skipped record: %s", "");
  KstLogPrintf("<<<<");
  KstLogPrintf("<<<<         Ops: Force %s of %s", op, name);
  KstLogPrintf("<<<<         krplib %s %s", kTsBuildDate, kTsBuildTime);
  KstLogPrintf("<<<<");
  KstLogPrintf("%s", gt);
}

// Collects the distinct next components below a prefix, in the order met.
// Strings and containers allocate through KstAllocMem and throw
// std::bad_alloc when it fails.
struct Listing {
  KstString prefix;
  std::vector<KstString, KstAllocator<KstString>> comps;
  std::unordered_set<KstString, KstStringHash, std::equal_to<KstString>,
                     KstAllocator<KstString>>
      seen;
  uint64_t size = 0;

  // A record contributes only when its name continues the prefix with "."
  // (any name when the prefix is empty), exactly like the engine's listing:
  // 'vendor.a.*' must not see 'vendor.ab.x'.
  void Offer(const char *name, uint32_t len) {
    uint32_t p = uint32_t(prefix.size());
    uint32_t start;
    if (p == 0) {
      start = 0;
    } else {
      if (len <= p || std::memcmp(name, prefix.data(), p) != 0 || name[p] != '.') return;
      start = p + 1;
    }
    uint32_t end = start;
    while (end < len && name[end] != '.') ++end;
    KstString c(name + start, end - start);
    if (seen.insert(c).second) {
      size += c.size() + 10;
      comps.push_back(std::move(c));
    }
  }
};

// Default store path: <root>/resources/store.kts.
uint32_t DefaultPath(char *out, uint32_t size) {
  char folder[KST_MAX_PATH + 16];
  uint32_t rc = KstQueryKestarPath(KPATH_ROOT, folder, 250);
  if (rc) return rc;
  if (std::strlen(folder) + 1 + std::strlen("resources") + 1 > sizeof folder)
    return TS_ERR_NAME_TOO_LONG;
  KstAppendPath(folder, "resources");
  int n = std::snprintf(out, size, "%s%s%s%s", folder, "/", "store", ".kts");
  if (n < 0 || uint32_t(n) >= size) return TS_ERR_NAME_TOO_LONG;
  return KST_OK;
}

uint32_t OpenWithRetry(const char *path, bool write, KST_HFILE *h) {
  uint32_t rc = KST_OK;
  for (int attempt = 0; attempt < 2; ++attempt) {
    rc = write ? KstOpenRWFile(path, h) : KstOpenRFile(path, h);
    if (rc != KST_ERR_SHARING_VIOLATION && rc != KST_ERR_ACCESS_DENIED) return rc;
    KstSleep(1000);
  }
  return rc;
}

// Scans the records of the open file from `first` to its end in chunks,
// calling visit(view, offset) for every live record. 0, 0x37F0FF (logged),
// 8192 or a read error.
template <typename Visit>
uint32_t ScanRecords(KST_HFILE h, uint32_t first, Scan *sc, Visit &&visit) {
  uint32_t size = 0;
  uint32_t rc = KstQueryFileSize(h, &size, nullptr);
  if (rc) return rc;
  sc->end = size;
  uint32_t buf_size = kTsChunk;
  void *mem = nullptr;
  if (KstAllocMem(buf_size, 0, &mem, nullptr)) return KST_HEAP_FULL;
  uint8_t *buf = static_cast<uint8_t *>(mem);
  uint32_t pos = first;
  while (!rc && pos < size) {
    uint32_t chunk = buf_size < size - pos ? buf_size : size - pos;
    uint32_t got = 0, rpos = pos;
    rc = KstReadFileAt(h, &rpos, buf, chunk, &got);
    if (rc == KST_ERR_HANDLE_EOF) {
      sc->last_read = pos;
      sc->buf_off = 0;
      rc = TS_ERR_CORRUPT;
      break;
    }
    if (rc) break;
    uint32_t b = 0;
    while (b < got) {
      TsRecordView v;
      uint64_t need = 0;
      TsParse p = TsParseRecord(sc->version, buf + b, got - b, &v, &need);
      if (p == TsParse::kInvalid) {
        sc->last_read = pos + got;
        sc->buf_off = b;
        uint32_t avail = got - b, dump = kTsRecHdrLenV3;
        if (sc->version != 3) {
          uint32_t nl = avail >= kTsRecOffNameLen + 4 ? TsGetU32(buf + b + kTsRecOffNameLen) : 0;
          dump = nl > 260 ? kTsRecMinV4 : nl + kTsRecFixedV4;
        }
        if (dump > avail) dump = avail;
        KstLogPrintf("_StoreKtsForceIO: F:%d B:%d  Invalid object header for v%d", int(pos),
                     int(b), int(sc->version));
        TsLogHexDump(buf + b, dump);
        rc = TS_ERR_CORRUPT;
        break;
      }
      if (p == TsParse::kShort) {
        if (uint64_t(pos) + b + need > size) {
          // The file ends inside this record.
          sc->last_read = pos;
          sc->buf_off = b;
          KstLogPrintf("_StoreKtsForceIO: Database integrety error at %d, file is broken.",
                       int(pos + b));
          rc = TS_ERR_CORRUPT;
          break;
        }
        if (b == 0) {
          uint64_t want = need + kTsChunk;
          if (want > UINT32_MAX) want = UINT32_MAX;
          void *bigger = nullptr;
          if (KstAllocMem(uint32_t(want), 0, &bigger, nullptr)) {
            rc = KST_HEAP_FULL;
            break;
          }
          KstFreeMem(buf, 0);
          buf = static_cast<uint8_t *>(bigger);
          buf_size = uint32_t(want);
        }
        break;  // read again from this record
      }
      if (!v.deleted) {
        rc = visit(v, pos + b);
        if (rc) break;
      }
      b += uint32_t(v.record_len);
    }
    pos += b;
  }
  KstFreeMem(buf, 0);
  return rc;
}

// Marks the record at `offset` deleted the way a direct write does: the
// deleted word, LastWr = now and Attr bit 31, in the record's first bytes.
uint32_t MarkOld(KST_HFILE h, uint32_t version, uint32_t offset) {
  uint8_t hdr[kTsRecHdrLenV3];
  uint32_t n = TsDeletePrefixLen(version), pos = offset;
  uint32_t rc = KstReadFileAt(h, &pos, hdr, n, nullptr);
  if (rc) return rc;
  bool v3 = version == 3;
  if (std::memcmp(hdr + (v3 ? kTsRec3OffMark : kTsRecOffMark), v3 ? kTsRecMarkV3 : kTsRecMarkV4,
                  8) != 0)
    return TS_ERR_CORRUPT;
  uint32_t attr_off = v3 ? kTsRec3OffAttr : kTsRecOffAttr;
  TsPutU32(hdr + TsDeletedOffset(version), 1);
  TsPutU32(hdr + (v3 ? kTsRec3OffLastWr : kTsRecOffLastWr), Now());
  TsPutU32(hdr + attr_off, TsGetU32(hdr + attr_off) | 0x80000000u);
  pos = offset;
  return KstWriteFileAt(h, &pos, hdr, n, nullptr);
}

uint32_t ForceIO(bool write, const char *path_in, const char *name, void **out_data,
                 const void *in_data, uint32_t *size, uint32_t *last_wr, uint32_t *attr,
                 uint32_t *consumer) {
  if (!name || !size || !last_wr || !attr || !consumer) return KST_ERR_INVALID_PARAMETER;
  if (write && !in_data && *size) return KST_ERR_INVALID_PARAMETER;
  if (!write) {
    *size = *last_wr = *attr = *consumer = 0;
    if (out_data) *out_data = nullptr;
  }
  const uint32_t len = uint32_t(strnlen(name, kTsMaxName + 1));
  if (len > kTsMaxName) return TS_ERR_NAME_TOO_LONG;

  char path[KST_MAX_PATH];
  if (path_in && *path_in) {
    if (std::strlen(path_in) >= sizeof path) return TS_ERR_NAME_TOO_LONG;
    std::snprintf(path, sizeof path, "%s", path_in);
  } else {
    uint32_t rc = DefaultPath(path, sizeof path);
    if (rc) return rc;
  }

  KST_HFILE h = KST_INVALID_HFILE;
  uint32_t rc = OpenWithRetry(path, write, &h);
  if (rc) return rc;

  Scan sc{};
  Match m{};
  const bool listing = len && name[len - 1] == '*';
  Listing lst;
  uint8_t hdr[kTsFileHeaderLenV3];
  uint32_t got = 0, pos = 0;
  rc = KstReadFileAt(h, &pos, hdr, kTsFileHeaderLenV3, &got);
  if (rc == KST_ERR_HANDLE_EOF) rc = KST_OK;
  if (!rc) {
    uint32_t n = got > kTsHdrOffMagic ? got - kTsHdrOffMagic : 0;
    if (n > kTsMagicLen) n = kTsMagicLen;
    if (got <= kTsHdrOffMagic || std::memcmp(hdr + kTsHdrOffMagic, kTsMagic, n) != 0)
      rc = KST_ERR_FILE_NOT_FOUND;
  }
  if (!rc && got < kTsFileHeaderLenV3) rc = TS_ERR_CORRUPT;  // a magic cut short
  if (!rc) {
    sc.version = TsGetU32(hdr + kTsHdrOffVersion);
    if (sc.version != 3 && sc.version != 4) rc = TS_ERR_UNKNOWN_VERSION;
  }
  uint32_t first = sc.version == 3 ? kTsFileHeaderLenV3 : kTsFileHeaderLenV4;
  if (!rc && sc.version == 4) {
    uint8_t full[kTsFileHeaderLenV4];
    pos = 0;
    rc = KstReadFileAt(h, &pos, full, kTsFileHeaderLenV4, nullptr);
    if (rc == KST_ERR_HANDLE_EOF) rc = TS_ERR_CORRUPT;
  }
  if (!rc && write && listing) rc = TS_ERR_ATTR_CHANGE;
  if (!rc && write && sc.version == 3 && len > kTsMaxNameV3) rc = TS_ERR_NAME_TOO_LONG;

  if (!rc) {
    try {
      if (listing) {
        uint32_t p = len - 1;
        if (p && name[p - 1] == '.') --p;
        lst.prefix.assign(name, p);
      }
      rc = ScanRecords(h, first, &sc, [&](const TsRecordView &v, uint32_t off) -> uint32_t {
        if (listing) {
          // Caught here: an exception through ScanRecords would lose its buffer.
          try {
            lst.Offer(v.name, v.name_len);
          } catch (const std::bad_alloc &) {
            return KST_HEAP_FULL;
          }
        } else if (v.name_len == len && std::memcmp(v.name, name, len) == 0) {
          // The last live record wins: later scans overwrite earlier matches.
          m.found = true;
          m.offset = off;
          m.header_len = v.header_len;
          m.data_size = v.data_size;
          m.area_size = v.area_size;
          m.last_wr = v.last_wr;
          m.attr = v.attr & kTsAttrMask;
          m.consumer = v.consumer;
          std::memcpy(m.digest, v.digest, 16);
        }
        return KST_OK;
      });
    } catch (const std::bad_alloc &) {
      rc = KST_HEAP_FULL;
    }
  }

  if (!rc && listing) {
    if (lst.comps.empty()) {
      rc = TS_ERR_NOT_FOUND;
    } else if (lst.size + 1 > UINT32_MAX) {
      rc = KST_HEAP_FULL;
    } else {
      *size = uint32_t(lst.size + 1);
      if (out_data) {
        void *mem = nullptr;
        if (KstAllocMem(*size, 0, &mem, nullptr)) {
          rc = KST_HEAP_FULL;
          *size = 0;
        } else {
          auto *o = static_cast<char *>(mem);
          std::memset(o, 0, *size);
          size_t n = 0;
          for (const KstString &c : lst.comps) {
            std::snprintf(o + n, 9, "%08x", unsigned(c.size()));
            n += 8;
            std::memcpy(o + n, c.data(), c.size());
            n += c.size();
            o[n++] = '\r';
            o[n++] = '\n';
          }
          KstScrambleData(KST_SCRAMBLE_KEY, o, *size);
          *out_data = mem;
        }
      }
    }
  } else if (!rc && !write && m.found) {
    void *mem = nullptr;
    if (KstAllocMem(m.data_size, 0, &mem, nullptr)) {
      rc = KST_HEAP_FULL;
    } else {
      pos = m.offset + m.header_len;
      rc = KstReadFileAt(h, &pos, mem, m.data_size, nullptr);
      uint8_t d[16];
      if (!rc) {
        TsMd5(mem, m.data_size, d);
        if (std::memcmp(d, m.digest, 16) != 0) rc = TS_ERR_DIGEST;
      }
      if (rc || !out_data) {
        KstFreeMem(mem, 0);
      } else {
        *out_data = mem;
      }
      if (!rc) {
        *size = m.data_size;
        *last_wr = m.last_wr;
        *attr = m.attr;
        *consumer = m.consumer;
      }
    }
  } else if (!rc && write) {
    const uint32_t nsize = *size;
    const uint32_t wattr = (*attr & kTsAttrMask) | 0x80000000u;
    const uint64_t hl = TsRecordHeaderLen(sc.version, len);
    const bool super = *attr & kTsAttrSupersized;
    bool in_place = m.found && uint64_t(m.header_len) + m.area_size >= uint64_t(nsize) + hl;
    uint64_t area = in_place ? uint64_t(m.header_len) + m.area_size - hl
                             : uint64_t(nsize) + (super ? kTsRoomSupersized : kTsRoomNormal);
    uint32_t at = in_place ? m.offset : sc.end;
    if (hl + area > UINT32_MAX) {
      rc = KST_ERR_INVALID_PARAMETER;
    } else if (!in_place && uint64_t(at) + hl + area > UINT32_MAX) {
      rc = KST_ERR_DISK_FULL;
    } else {
      void *mem = nullptr;
      if (KstAllocMem(uint32_t(hl + area), 0, &mem, nullptr)) {
        rc = KST_HEAP_FULL;
      } else {
        uint8_t d[16];
        TsMd5(in_data, nsize, d);
        TsEncodeRecord(sc.version, static_cast<uint8_t *>(mem), name, len, in_data, nsize,
                       uint32_t(area), 0, *last_wr, *consumer, d, super ? 'F' : 'f');
        // TsEncodeRecord keeps only the low 24 bits; direct writes carry bit 31.
        TsPutU32(static_cast<uint8_t *>(mem) + (sc.version == 3 ? kTsRec3OffAttr : kTsRecOffAttr),
                 wattr);
        pos = at;
        rc = KstWriteFileAt(h, &pos, mem, uint32_t(hl + area), nullptr);
        KstFreeMem(mem, 0);
        if (rc) {
          KstLogPrintf("TS force error: Write failed, error %xh for %s", rc, name);
          if (!in_place) KstSetFileSize(h, sc.end);  // drop a partial append
        } else if (m.found && !in_place) {
          // The new record is whole; only now does the old one go. Should
          // marking fail, both stay live and every reader takes the later.
          uint32_t mark = MarkOld(h, sc.version, m.offset);
          if (mark)
            KstLogPrintf("TS force error: Write failed, error %xh for %s (old record at %xh)",
                         mark, name, m.offset);
        }
      }
    }
  }

  KstCloseFile(h);
  if (rc == TS_ERR_CORRUPT) FatalBanner(sc, m, write ? "write" : "read", name);
  return rc;
}

}  // namespace

uint32_t StoreForceRead(const char *path, const char *name, void **data, uint32_t *size,
                        uint32_t *last_wr, uint32_t *attr, uint32_t *consumer) {
  return ForceIO(false, path, name, data, nullptr, size, last_wr, attr, consumer);
}

uint32_t StoreForceWrite(const char *path, const char *name, const void *data,
                         const uint32_t *size, const uint32_t *last_wr, const uint32_t *attr,
                         const uint32_t *consumer) {
  if (!size || !last_wr || !attr || !consumer) return KST_ERR_INVALID_PARAMETER;
  uint32_t sz = *size, lw = *last_wr, at = *attr, co = *consumer;
  return ForceIO(true, path, name, nullptr, data, &sz, &lw, &at, &co);
}

uint32_t _StoreKtsForceIO(uint32_t mode, const char *path, const char *name, void *data,
                          uint32_t *size, uint32_t *last_wr, uint32_t *attr, uint32_t *consumer) {
  if (mode == kTsForceRead)
    return StoreForceRead(path, name, static_cast<void **>(data), size, last_wr, attr, consumer);
  if (mode == kTsForceWrite)
    return StoreForceWrite(path, name, data, size, last_wr, attr, consumer);
  return KST_ERR_INVALID_PARAMETER;
}
