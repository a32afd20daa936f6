// Direct access: force read, force write and the listing read, straight on
// the store file without an open store (see store_maint.h).
//
// One call, in steps: check the arguments; find the file; open it (shared
// to read, exclusive to write, retried once); settle an interrupted pack (a
// writer restores the backup as the open does, a reader reads the backup
// instead); read the file header; scan the records with the engine's record
// scan; settle a torn last record (a writer salvages it as the open does, a
// reader stops before it); act on what the scan found; close.
// A read of several names (StoreForceReadNames) asks the process's index
// first (store_direct_index.h) and scans only when it declines.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "kst_alloc.h"
#include "store_direct_index.h"
#include "store_maint.h"
#include "ts_digest.h"
#include "ts_format.h"
#include "ts_scan.h"

namespace {

constexpr char kWho[] = "_StoreKtsForceIO";
// Attr bit 31 marks records written or deleted by direct access.
constexpr uint32_t kTsAttrDirect = 0x80000000u;
// A shared or exclusive open that meets the other kind is tried this often,
// with this pause after each failure.
constexpr int kOpenAttempts = 2;
constexpr uint32_t kOpenRetryPauseMs = 1000;
// A path given by the caller must be shorter than this.
constexpr uint32_t kPathLimit = KST_MAX_PATH;

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
      size += c.size() + kTsListingItemExtra;
      comps.push_back(std::move(c));
    }
  }
};

// The caller's arguments and everything one call learns on its way.
struct Call {
  bool write;
  const char *name;
  uint32_t len;
  bool listing;
  // force read
  void **out_data;
  // force write
  const void *in_data;
  uint32_t *size, *last_wr, *attr, *consumer;

  char path[KST_MAX_PATH];
  KST_HFILE file = KST_INVALID_HFILE;  // the store file
  KST_HFILE src = KST_INVALID_HFILE;   // what is read: the store, or a pack's backup
  uint32_t file_size = 0;
  uint32_t version = 0;
  uint32_t first = 0;
  uint32_t end = 0;  // where an append goes
  bool pack_failed = false;
  TsScan sc{};
  Match m{};
  Listing lst;
  // several names in one scan (StoreForceReadNames, StoreForceWriteGuarded)
  TsForceName *many = nullptr;
  uint32_t many_count = 0;
  Match *many_m = nullptr;
  // a guarded write: asked after the scan, before anything is written
  TsForceGuard guard = nullptr;
  void *guard_ctx = nullptr;
};

uint32_t OpenWithRetry(const char *path, bool write, KST_HFILE *h) {
  uint32_t rc = KST_OK;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    rc = write ? KstOpenRWFile(path, h) : KstOpenRFile(path, h);
    if (rc != KST_ERR_SHARING_VIOLATION && rc != KST_ERR_ACCESS_DENIED) return rc;
    KstSleep(kOpenRetryPauseMs);
  }
  return rc;
}

uint32_t ResolvePath(Call *c, const char *path_in) {
  if (!path_in || !*path_in) {
    char folder[KST_MAX_PATH];
    return TsDefaultStorePath(folder, sizeof folder, c->path, sizeof c->path);
  }
  if (std::strlen(path_in) >= kPathLimit) return TS_ERR_NAME_TOO_LONG;
  std::snprintf(c->path, sizeof c->path, "%s", path_in);
  return KST_OK;
}

// An interrupted pack: a writer, holding the file exclusively, restores the
// backup as the open does; a reader, which may not, reads the backup.
uint32_t SettlePack(Call *c) {
  if (c->write) {
    c->src = c->file;
    return TsPackRecover(c->file, c->path, 0, false, kWho);
  }
  return TsPackReadSource(c->file, c->path, &c->src, kWho);
}

// Reads and checks the file header of the file to read. A zero-byte file
// (file_size 0) is an empty store.
uint32_t ReadFileHeader(Call *c) {
  uint32_t rc = KstQueryFileSize(c->src, &c->file_size, nullptr);
  if (rc || c->file_size == 0) return rc;
  uint8_t hdr[kTsFileHeaderLenV4];
  uint32_t got = 0, pos = 0;
  rc = KstReadFileAt(c->src, &pos, hdr, kTsFileHeaderLenV3, &got);
  if (rc == KST_ERR_HANDLE_EOF) rc = KST_OK;
  if (rc) return rc;
  uint32_t n = got > kTsHdrOffMagic ? got - kTsHdrOffMagic : 0;
  if (n > kTsMagicLen) n = kTsMagicLen;
  if (got <= kTsHdrOffMagic || std::memcmp(hdr + kTsHdrOffMagic, kTsMagic, n) != 0)
    return KST_ERR_FILE_NOT_FOUND;
  if (got < kTsFileHeaderLenV3) return TS_ERR_CORRUPT;  // a magic cut short
  c->version = TsGetU32(hdr + kTsHdrOffVersion);
  if (c->version != 3 && c->version != 4) return TS_ERR_UNKNOWN_VERSION;
  c->first = c->version == 3 ? kTsFileHeaderLenV3 : kTsFileHeaderLenV4;
  if (c->version == 3) return KST_OK;
  pos = 0;
  rc = KstReadFileAt(c->src, &pos, hdr, kTsFileHeaderLenV4, nullptr);
  return rc == KST_ERR_HANDLE_EOF ? TS_ERR_CORRUPT : rc;
}

// A zero-byte file holds nothing to lose: a writer gives it the header of a
// new, empty store, as the open does.
uint32_t InitEmptyFile(Call *c) {
  uint32_t rc = TsWriteFreshHeaderV4(c->file, Now());
  if (rc) return rc;
  c->version = 4;
  c->first = c->file_size = c->end = kTsFileHeaderLenV4;
  return KST_OK;
}

void Remember(Match &m, const TsRecordView &v, uint32_t offset) {
  m.found = true;
  m.offset = offset;
  m.header_len = v.header_len;
  m.data_size = v.data_size;
  m.area_size = v.area_size;
  m.last_wr = v.last_wr;
  m.attr = v.attr & kTsAttrMask;
  m.consumer = v.consumer;
  std::memcpy(m.digest, v.digest, 16);
}

// One live record against every asked name: equal names are matches (the
// last one wins), longer names continuing a name with "." are children.
void OfferMany(Call *c, const TsRecordView &v, uint32_t offset) {
  for (uint32_t i = 0; i < c->many_count; ++i) {
    TsForceName &n = c->many[i];
    const uint32_t len = uint32_t(std::strlen(n.name));
    if (v.name_len < len || std::memcmp(v.name, n.name, len) != 0) continue;
    if (v.name_len == len) Remember(c->many_m[i], v, offset);
    else if (v.name[len] == '.') n.has_children = true;
  }
}

uint32_t VisitRecord(void *ctx, const TsRecordView &v, uint32_t offset) {
  auto *c = static_cast<Call *>(ctx);
  if (v.deleted) return KST_OK;
  if (c->many) {
    OfferMany(c, v, offset);
    if (!c->write) return KST_OK;  // a guarded write also needs its own match
  } else if (c->listing) {
    // Caught here: an exception through the scan would lose its buffer.
    try {
      c->lst.Offer(v.name, v.name_len);
    } catch (const std::bad_alloc &) {
      return KST_HEAP_FULL;
    }
    return KST_OK;
  }
  if (v.name_len == c->len && std::memcmp(v.name, c->name, c->len) == 0) {
    // The last live record wins: later records overwrite earlier matches.
    Remember(c->m, v, offset);
  }
  return KST_OK;
}

// A file that ends inside its last record: a writer salvages the tail as
// the open does; a reader takes the record's start as the end of the file.
// Either way the cut bytes must be a torn append, not a damaged header with
// more records behind it.
uint32_t SettleTornTail(Call *c) {
  uint32_t rc;
  if (c->write) {
    rc = TsSalvageTail(c->file, c->path, c->version, c->sc.torn_at, c->sc.size, kWho);
  } else {
    rc = TsCheckTornTail(c->src, c->version, c->sc.torn_at, c->sc.size);
  }
  if (rc == TS_ERR_CORRUPT)
    KstLogPrintf("_StoreKtsForceIO: Database integrety error at %d, file is broken.",
                 int(c->sc.torn_at));
  if (!rc) c->end = c->sc.torn_at;
  return rc;
}

uint32_t ScanFile(Call *c) {
  c->sc.file = c->src;
  c->sc.version = c->version;
  c->sc.first = c->first;
  c->sc.size = c->file_size;
  c->sc.who = kWho;
  c->end = c->file_size;
  uint32_t rc;
  try {
    if (c->listing) {
      uint32_t p = c->len - 1;
      if (p && c->name[p - 1] == '.') --p;
      c->lst.prefix.assign(c->name, p);
    }
    rc = TsScanRecords(&c->sc, VisitRecord, c);
  } catch (const std::bad_alloc &) {
    rc = KST_HEAP_FULL;
  }
  if (!rc && c->sc.torn) rc = SettleTornTail(c);
  return rc;
}

// The listing text, scrambled, in a new block (with no out pointer only the
// size).
uint32_t HandOutListing(Call *c) {
  if (c->lst.comps.empty()) return TS_ERR_NOT_FOUND;
  if (c->lst.size + 1 > UINT32_MAX) return KST_HEAP_FULL;
  *c->size = uint32_t(c->lst.size + 1);
  if (!c->out_data) return KST_OK;
  void *mem = nullptr;
  if (KstAllocMem(*c->size, 0, &mem, nullptr)) {
    *c->size = 0;
    return KST_HEAP_FULL;
  }
  std::memset(mem, 0, *c->size);
  try {
    std::vector<std::string_view, KstAllocator<std::string_view>> views(c->lst.comps.begin(),
                                                                         c->lst.comps.end());
    TsWriteListingText(static_cast<char *>(mem), views.data(), views.size());
  } catch (const std::bad_alloc &) {
    KstFreeMem(mem, 0);
    *c->size = 0;
    return KST_HEAP_FULL;
  }
  KstScrambleData(KST_SCRAMBLE_KEY, mem, *c->size);
  *c->out_data = mem;
  return KST_OK;
}

// The matched object's data, checked against its digest, and its words.
uint32_t HandOutObject(Call *c) {
  const Match &m = c->m;
  void *mem = nullptr;
  if (KstAllocMem(m.data_size, 0, &mem, nullptr)) return KST_HEAP_FULL;
  uint32_t pos = m.offset + m.header_len;
  uint32_t rc = KstReadFileAt(c->src, &pos, mem, m.data_size, nullptr);
  uint8_t d[16];
  if (!rc) {
    TsMd5(mem, m.data_size, d);
    if (std::memcmp(d, m.digest, 16) != 0) rc = TS_ERR_DIGEST;
  }
  if (rc || !c->out_data) {
    KstFreeMem(mem, 0);
  } else {
    *c->out_data = mem;
  }
  if (rc) return rc;
  *c->size = m.data_size;
  *c->last_wr = m.last_wr;
  *c->attr = m.attr;
  *c->consumer = m.consumer;
  return KST_OK;
}

// The words of every found name; the data of the first one found.
uint32_t HandOutMany(Call *c) {
  bool data_done = false;
  for (uint32_t i = 0; i < c->many_count; ++i) {
    TsForceName &n = c->many[i];
    const Match &m = c->many_m[i];
    n.found = m.found;
    if (!m.found) continue;
    n.size = m.data_size;
    n.last_wr = m.last_wr;
    n.attr = m.attr;
    n.consumer = m.consumer;
    if (data_done || !c->out_data) continue;
    data_done = true;
    c->m = m;
    c->name = n.name;
    uint32_t rc = HandOutObject(c);
    if (rc) return rc;
  }
  return KST_OK;
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
  TsPutU32(hdr + attr_off, TsGetU32(hdr + attr_off) | kTsAttrDirect);
  pos = offset;
  return KstWriteFileAt(h, &pos, hdr, n, nullptr);
}

// Where and how large the new record is: in place over the last live
// record of the name when it is long enough, else appended.
struct WritePlan {
  bool in_place;
  uint64_t header_len;
  uint64_t area;
  uint32_t at;
};

uint32_t PlanWrite(const Call *c, WritePlan *p) {
  const uint32_t nsize = *c->size;
  const Match &m = c->m;
  p->header_len = TsRecordHeaderLen(c->version, c->len);
  p->in_place = m.found && uint64_t(m.header_len) + m.area_size >= uint64_t(nsize) + p->header_len;
  const bool super = *c->attr & kTsAttrSupersized;
  p->area = p->in_place ? uint64_t(m.header_len) + m.area_size - p->header_len
                        : uint64_t(nsize) + (super ? kTsRoomSupersized : kTsRoomNormal);
  p->at = p->in_place ? m.offset : c->end;
  if (p->header_len + p->area > UINT32_MAX) return KST_ERR_INVALID_PARAMETER;
  if (!p->in_place && uint64_t(p->at) + p->header_len + p->area > UINT32_MAX)
    return KST_ERR_DISK_FULL;
  return KST_OK;
}

// Builds the record in the file's version with "f"/"F" filler and Attr bit
// 31, and writes it with one positioned write. A failed write is logged; a
// partial append is cut off again.
uint32_t WriteRecord(Call *c, const WritePlan &p) {
  const uint32_t rec_len = uint32_t(p.header_len + p.area);
  void *mem = nullptr;
  if (KstAllocMem(rec_len, 0, &mem, nullptr)) return KST_HEAP_FULL;
  auto *rec = static_cast<uint8_t *>(mem);
  uint8_t d[16];
  TsMd5(c->in_data, *c->size, d);
  const bool super = *c->attr & kTsAttrSupersized;
  TsEncodeRecord(c->version, rec, c->name, c->len, c->in_data, *c->size, uint32_t(p.area), 0,
                 *c->last_wr, *c->consumer, d, super ? 'F' : 'f');
  // TsEncodeRecord keeps only the low 24 bits; direct writes carry bit 31.
  TsPutU32(rec + (c->version == 3 ? kTsRec3OffAttr : kTsRecOffAttr),
           (*c->attr & kTsAttrMask) | kTsAttrDirect);
  uint32_t pos = p.at;
  uint32_t rc = KstWriteFileAt(c->file, &pos, rec, rec_len, nullptr);
  KstFreeMem(mem, 0);
  if (rc) {
    KstLogPrintf("TS force error: Write failed, error %xh for %s", rc, c->name);
    if (!p.in_place) KstSetFileSize(c->file, c->end);  // drop a partial append
  }
  return rc;
}

uint32_t WriteObject(Call *c) {
  WritePlan p;
  uint32_t rc = PlanWrite(c, &p);
  if (!rc) rc = WriteRecord(c, p);
  if (rc || !c->m.found || p.in_place) return rc;
  // The new record is whole; only now does the old one go. Should marking
  // fail, both stay live and every reader takes the later.
  uint32_t mark = MarkOld(c->file, c->version, c->m.offset);
  if (mark)
    KstLogPrintf("TS force error: Write failed, error %xh for %s (old record at %xh)", mark,
                 c->name, c->m.offset);
  return KST_OK;
}

uint32_t CheckArgs(Call *c) {
  if (!c->name || !c->size || !c->last_wr || !c->attr || !c->consumer)
    return KST_ERR_INVALID_PARAMETER;
  if (c->write && !c->in_data && *c->size) return KST_ERR_INVALID_PARAMETER;
  if (!c->write) {
    *c->size = *c->last_wr = *c->attr = *c->consumer = 0;
    if (c->out_data) *c->out_data = nullptr;
  }
  c->len = uint32_t(strnlen(c->name, kTsMaxName + 1));
  if (c->len > kTsMaxName) return TS_ERR_NAME_TOO_LONG;
  c->listing = c->len && c->name[c->len - 1] == '*';
  return KST_OK;
}

// What a write may not do, refused before anything is written.
uint32_t WriteRefusal(const Call *c) {
  if (c->listing) return TS_ERR_ATTR_CHANGE;
  if (c->version == 3 && c->len > kTsMaxNameV3) return TS_ERR_NAME_TOO_LONG;
  return KST_OK;
}

// Header, scan and the act, on the open file.
uint32_t ReadOrWrite(Call *c) {
  uint32_t rc = SettlePack(c);
  if (rc) {
    c->pack_failed = true;  // logged on its own; the file was not read
    return rc;
  }
  rc = ReadFileHeader(c);
  if (!rc && c->write) rc = WriteRefusal(c);
  if (rc) return rc;
  if (c->file_size == 0) {
    // A zero-byte file is an empty store.
    if (!c->write) return c->listing ? TS_ERR_NOT_FOUND : KST_OK;
    rc = InitEmptyFile(c);
  } else {
    rc = ScanFile(c);
  }
  if (rc) return rc;
  if (c->listing) return HandOutListing(c);
  if (c->many && !c->write) return HandOutMany(c);
  if (!c->write) return c->m.found ? HandOutObject(c) : KST_OK;
  if (c->many) {
    // No data is handed out: HandOutMany only fills the entries.
    rc = HandOutMany(c);
    if (!rc) rc = c->guard(c->many, c->many_count, c->guard_ctx);
    if (rc) return rc;
  }
  return WriteObject(c);
}

void FatalBanner(const Call *c) {
  TsFatalInfo f{};
  f.version = c->version;
  f.last_read = c->sc.last_read;
  f.buf_off = c->sc.buf_off;
  f.added_off = c->m.found ? c->m.offset : 0;
  f.added_name = c->m.found ? c->name : "";
  f.op = c->write ? "write" : "read";
  f.op_name = c->name;
  TsFatalBanner(f);
}

uint32_t ForceIO(Call *c, const char *path_in) {
  uint32_t rc = CheckArgs(c);
  if (!rc) rc = ResolvePath(c, path_in);
  if (!rc) rc = OpenWithRetry(c->path, c->write, &c->file);
  if (rc) return rc;
  rc = ReadOrWrite(c);
  if (c->src != KST_INVALID_HFILE && c->src != c->file) KstCloseFile(c->src);
  KstCloseFile(c->file);
  if (rc == TS_ERR_CORRUPT && !c->pack_failed) FatalBanner(c);
  return rc;
}

}  // namespace

uint32_t StoreForceRead(const char *path, const char *name, void **data, uint32_t *size,
                        uint32_t *last_wr, uint32_t *attr, uint32_t *consumer) {
  Call c{};
  c.write = false;
  c.name = name;
  c.out_data = data;
  c.size = size;
  c.last_wr = last_wr;
  c.attr = attr;
  c.consumer = consumer;
  return ForceIO(&c, path);
}

namespace {

// The entries of a several-names scan: checked and cleared.
uint32_t ResetNames(TsForceName *names, uint32_t count) {
  if (!names || count == 0) return KST_ERR_INVALID_PARAMETER;
  for (uint32_t i = 0; i < count; ++i) {
    if (!names[i].name) return KST_ERR_INVALID_PARAMETER;
    uint32_t len = uint32_t(strnlen(names[i].name, kTsMaxName + 1));
    if (len > kTsMaxName) return TS_ERR_NAME_TOO_LONG;
    if (len == 0 || names[i].name[len - 1] == '*') return KST_ERR_INVALID_PARAMETER;
    TsForceName &n = names[i];
    n.found = n.has_children = false;
    n.size = n.last_wr = n.attr = n.consumer = 0;
  }
  return KST_OK;
}

// Runs the call with one Match per entry of c->many.
uint32_t ForceIOMany(Call *c, const char *path) {
  void *mem = nullptr;
  if (KstAllocMem(uint32_t(sizeof(Match) * c->many_count), 0, &mem, nullptr)) return KST_HEAP_FULL;
  std::memset(mem, 0, sizeof(Match) * c->many_count);
  c->many_m = static_cast<Match *>(mem);
  uint32_t rc = ForceIO(c, path);
  KstFreeMem(mem, 0);
  return rc;
}

}  // namespace

uint32_t StoreForceReadNames(const char *path, TsForceName *names, uint32_t count, void **data) {
  if (data) *data = nullptr;
  uint32_t rc = ResetNames(names, count);
  if (rc) return rc;
  {
    // A process that reads without a host keeps an index of the file; it
    // declines whatever it cannot prove, and the scan below answers that.
    Call probe{};
    rc = ResolvePath(&probe, path);
    if (rc) return rc;
    bool served = false;
    rc = TsDirectIndexRead(probe.path, names, count, data, &served);
    if (served) return rc;
  }
  uint32_t size = 0, lw = 0, attr = 0, cons = 0;
  Call c{};
  c.write = false;
  c.name = names[0].name;
  c.out_data = data;
  c.size = &size;
  c.last_wr = &lw;
  c.attr = &attr;
  c.consumer = &cons;
  c.many = names;
  c.many_count = count;
  return ForceIOMany(&c, path);
}

namespace {

// The words of one write, copied from the caller: the call may change its
// own copies while the caller's stay as given.
struct WriteWords {
  uint32_t size, last_wr, attr, consumer;
};

Call WriteCall(const char *name, const void *data, WriteWords *w) {
  Call c{};
  c.write = true;
  c.name = name;
  c.in_data = data;
  c.size = &w->size;
  c.last_wr = &w->last_wr;
  c.attr = &w->attr;
  c.consumer = &w->consumer;
  return c;
}

}  // namespace

uint32_t StoreForceWriteGuarded(const char *path, const char *name, const void *data,
                                const uint32_t *size, const uint32_t *last_wr,
                                const uint32_t *attr, const uint32_t *consumer,
                                TsForceName *names, uint32_t count, TsForceGuard guard,
                                void *ctx) {
  if (!size || !last_wr || !attr || !consumer || !guard) return KST_ERR_INVALID_PARAMETER;
  uint32_t rc = ResetNames(names, count);
  if (rc) return rc;
  WriteWords w{*size, *last_wr, *attr, *consumer};
  Call c = WriteCall(name, data, &w);
  c.many = names;
  c.many_count = count;
  c.guard = guard;
  c.guard_ctx = ctx;
  return ForceIOMany(&c, path);
}

uint32_t StoreForceWrite(const char *path, const char *name, const void *data,
                         const uint32_t *size, const uint32_t *last_wr, const uint32_t *attr,
                         const uint32_t *consumer) {
  if (!size || !last_wr || !attr || !consumer) return KST_ERR_INVALID_PARAMETER;
  WriteWords w{*size, *last_wr, *attr, *consumer};
  Call c = WriteCall(name, data, &w);
  return ForceIO(&c, path);
}

uint32_t _StoreKtsForceIO(uint32_t mode, const char *path, const char *name, void *data,
                          uint32_t *size, uint32_t *last_wr, uint32_t *attr, uint32_t *consumer) {
  if (mode == kTsForceRead)
    return StoreForceRead(path, name, static_cast<void **>(data), size, last_wr, attr, consumer);
  if (mode == kTsForceWrite)
    return StoreForceWrite(path, name, data, size, last_wr, attr, consumer);
  return KST_ERR_INVALID_PARAMETER;
}
