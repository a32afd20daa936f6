// Object operations: write, read (plain and listing), delete (plain and by
// prefix), object information, list objects, read multiple.
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "krp_assert.h"
#include "kst_alloc.h"
#include "store.h"
#include "store_maint.h"
#include "ts_digest.h"
#include "ts_format.h"
#include "ts_multi.h"

namespace {

// Counters the flush thread watches. Only the store's own thread changes
// them, so a plain load and store suffice (no locked read-modify-write).
void Bump(std::atomic<uint32_t> *c) {
  c->store(c->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

uint32_t NameLen(const char *name) { return uint32_t(strnlen(name, kTsMaxName + 1)); }

bool EndsWithStar(const char *name, uint32_t len) { return len && name[len - 1] == '*'; }

// Prefixes that are empty or end in "." select a run of whole groups (the
// names beginning with the prefix are exactly the groups whose key does), so
// a walk starts at the first such group and stops at the first name outside
// the run. Other prefixes walk the whole list.
bool GroupPrefix(const char *prefix, uint32_t len) { return !len || prefix[len - 1] == '.'; }

bool BeginsWith(const TsIndexRecord *r, const char *prefix, uint32_t len) {
  return r->name_len >= len && std::memcmp(r->name, prefix, len) == 0;
}

uint32_t DataOffset(const TsStore *s, const TsIndexRecord *r) {
  return r->offset + uint32_t(TsRecordHeaderLen(s->version, r->name_len));
}

bool ServedFromMemory(const TsStore *s, const TsIndexRecord *r) {
  return r->offset == 0 || r->data_size <= s->inline_limit;
}

// Copies the object's data into `out` (room for data_size bytes), from
// memory or from the file, checking the digest: file data at every read,
// memory data once after an open. 0, 38, 0x37000E or a read error; every
// failure counts as a failed read.
uint32_t FetchData(TsStore *s, TsIndexRecord *r, uint8_t *out) {
  if (ServedFromMemory(s, r)) {
    if (!r->verified) {
      uint8_t d[16];
      TsMd5(r->data, r->data_size, d);
      if (std::memcmp(d, r->digest, 16) != 0) {
        ++s->failed_reads;
        return TS_ERR_DIGEST;
      }
      r->verified = 1;
    }
    if (r->data_size) std::memcpy(out, r->data, r->data_size);
    return KST_OK;
  }
  uint32_t pos = DataOffset(s, r), got = 0;
  uint32_t rc = KstReadFileAt(s->file, &pos, out, r->data_size, &got);
  if (rc) {
    ++s->failed_reads;
    return rc;
  }
  uint8_t d[16];
  TsMd5(out, r->data_size, d);
  if (std::memcmp(d, r->digest, 16) != 0) {
    ++s->failed_reads;
    return TS_ERR_DIGEST;
  }
  return KST_OK;
}

uint32_t CommonChecks(const TsStore *s) {
  if (!s) return KST_ERR_INVALID_HANDLE;
  if (!s->index.hash) return KST_ERR_GENERAL;
  return KST_OK;
}

// Where a walk over the names beginning with `prefix` starts.
TsIndexRecord *WalkStart(const TsStore *s, const char *prefix, uint32_t len, bool groups) {
  return groups ? TsGroupLowerBound(&s->index, prefix, len) : s->index.head->next;
}

uint32_t ListingRead(TsStore *s, const char *name, uint32_t len, void *buf, uint32_t *size) {
  if (!buf) {
    ++s->reads;
    return KST_OK;
  }
  const char *prefix = name;
  uint32_t plen = len - 1;
  uint32_t min_depth = 0;
  for (uint32_t i = 0; i < len; ++i) min_depth += name[i] == '.';
  bool groups = GroupPrefix(prefix, plen);
  uint64_t needed = 1;
  std::vector<std::string_view, KstAllocator<std::string_view>> comps;
  try {
    std::unordered_set<std::string_view, std::hash<std::string_view>,
                       std::equal_to<std::string_view>, KstAllocator<std::string_view>>
        seen;
    for (TsIndexRecord *r = WalkStart(s, prefix, plen, groups); r; r = r->next) {
      if (r->depth >= min_depth) {
        if (BeginsWith(r, prefix, plen)) {
          // The component runs from the prefix to the first "." found from
          // position prefix length + 1 on.
          uint32_t end = r->name_len;
          for (uint32_t i = plen + 1; i < r->name_len; ++i)
            if (r->name[i] == '.') {
              end = i;
              break;
            }
          if (end < plen) end = plen;
          std::string_view c(r->name + plen, end - plen);
          if (seen.insert(c).second) {
            comps.push_back(c);
            needed += c.size() + kTsListingItemExtra;
          }
        } else if (groups) {
          break;
        }
      }
    }
  } catch (const std::bad_alloc &) {
    return KST_HEAP_FULL;
  }
  if (comps.empty()) {
    *size = 0;
    ++s->reads;
    return KST_OK;
  }
  if (needed > UINT32_MAX) return KST_HEAP_FULL;
  if (*size < needed) {
    *size = uint32_t(needed);
    return KST_ERR_BUFFER_TOO_SMALL;
  }
  *size = TsWriteListingText(static_cast<char *>(buf), comps.data(), comps.size());
  KstScrambleData(KST_SCRAMBLE_KEY, buf, *size);
  ++s->reads;
  return KST_OK;
}

uint32_t GrowWriteBuffer(TsStore *s, uint64_t need) {
  if (need <= s->wbuf_cap) return KST_OK;
  void *mem = nullptr;
  if (KstAllocMem(uint32_t(need), 0, &mem, nullptr)) return KST_HEAP_FULL;
  KstFreeMem(s->wbuf, 0);
  s->wbuf = static_cast<uint8_t *>(mem);
  s->wbuf_cap = uint32_t(need);
  return KST_OK;
}

}  // namespace

// Sets the deleted word of the record at `offset`: re-reads the record's
// first bytes, checks its mark, flags it and writes the bytes back. Reports
// the record's data area size and Attr from what was read.
uint32_t TsMarkDeleted(TsStore *s, uint32_t offset, uint32_t *area, uint32_t *attr,
                     bool *read_failed) {
  uint8_t hdr[kTsRecHdrLenV3];
  uint32_t n = TsDeletePrefixLen(s->version), pos = offset;
  *read_failed = true;
  uint32_t rc = KstReadFileAt(s->file, &pos, hdr, n, nullptr);
  if (rc) return rc;
  bool v3 = s->version == 3;
  if (std::memcmp(hdr + (v3 ? kTsRec3OffMark : kTsRecOffMark), v3 ? kTsRecMarkV3 : kTsRecMarkV4,
                  8) != 0)
    return TS_ERR_CORRUPT;  // never flag bytes that are not this record's header
  *read_failed = false;
  *area = TsGetU32(hdr + (v3 ? kTsRec3OffAreaSize : kTsRecOffAreaSize));
  *attr = TsGetU32(hdr + (v3 ? kTsRec3OffAttr : kTsRecOffAttr));
  TsPutU32(hdr + TsDeletedOffset(s->version), 1);
  pos = offset;
  return KstWriteFileAt(s->file, &pos, hdr, n, nullptr);
}

namespace {

// Values up to this size have their digest computed before the lookup.
constexpr uint32_t kTsEarlyDigestMax = 4096;
// The Attr bits whose change a write refuses.
constexpr uint32_t kKindBits = kTsAttrSupersized | kTsAttrMemoryOnly;

// One write, from its checks to the update of the index record.
struct WriteOp {
  TsStore *s;
  const char *name;
  uint32_t len;
  const void *data;
  uint32_t size, last_wr, attr, consumer;
  uint32_t hash;  // of the name with its terminator
  uint8_t digest[16];
  TsIndexRecord *r;
  bool fresh;      // r was allocated by this write
  bool in_file;    // the object is kept in the file
  bool keep_data;  // the index record keeps a copy of the data
  uint32_t offset, area;          // the record's place and data area after the write
  uint32_t old_offset, old_area;  // before it
  bool appended;                  // the new record goes to the end of the file
  bool moved;                     // ... and the old one must be marked deleted
  uint64_t rec_len;
};

void DropFresh(WriteOp *w) {
  if (w->fresh) TsRecordFree(w->r);
}

// Everything a write checks before it looks the name up.
uint32_t CheckWrite(TsStore *s, const char *name, const void *data, uint32_t *len) {
  if (!s) return KST_ERR_INVALID_HANDLE;
  if (!s->index.hash) {
    KstLogPrintf("TS error: No index set up!");
    return KST_ERR_GENERAL;
  }
  if (!name || !data) return KST_ERR_INVALID_PARAMETER;
  *len = NameLen(name);
  if (*len > kTsMaxName || (s->version == 3 && *len > kTsMaxNameV3)) return TS_ERR_NAME_TOO_LONG;
  if (uint32_t refused = TsMaintWriteRefusal(s)) return refused;  // store_maint.h
  if (s->read_only) return KST_ERR_ACCESS_DENIED;
  // No read could ever reach such a name: it would be taken as a listing.
  if (EndsWithStar(name, *len)) return TS_ERR_ATTR_CHANGE;
  return KST_OK;
}

// Looks the name up and decides where the object lives. A small value's
// digest is computed while the name's bucket comes into the cache (in a
// large store that wait is most of a lookup); a large value's only after the
// checks below, which refuse some sizes before any byte of the data is
// looked at. No small size can be refused there.
uint32_t LookUp(WriteOp *w) {
  TsStore *s = w->s;
  w->hash = TsHashPrefetch(s->index.hash, w->name, w->len + 1);
  const bool early_digest = w->size <= kTsEarlyDigestMax;
  if (early_digest) TsMd5(w->data, w->size, w->digest);
  w->r = TsIndexLookupHashed(&s->index, w->hash, w->name, w->len);
  if (w->r && ((w->r->attr ^ w->attr) & kKindBits)) return TS_ERR_ATTR_CHANGE;
  w->in_file = w->r ? w->r->offset != 0 : !(w->attr & kTsAttrMemoryOnly);
  w->keep_data = !w->in_file || w->size <= s->inline_limit;
  // A record whose length does not fit in 32 bits is refused before any
  // byte of the data is looked at.
  if (w->in_file &&
      TsRecordHeaderLen(s->version, w->len) + w->size + kTsRoomSupersized > UINT32_MAX)
    return KST_ERR_INVALID_PARAMETER;
  if (!early_digest) TsMd5(w->data, w->size, w->digest);
  return KST_OK;
}

// A new index record for a new name, with room for the data it keeps.
// Everything that can fail without touching the file comes first.
uint32_t PrepareRecord(WriteOp *w) {
  TsStore *s = w->s;
  if (!w->r) {
    uint32_t cap = w->size <= s->inline_limit ? w->size : 0;
    if (TsRecordAlloc(w->name, w->len, cap, &w->r)) {
      KstLogPrintf("TS error: Out of memory, can't allocate new index record!");
      return KST_HEAP_FULL;
    }
    w->fresh = true;
  }
  if (w->keep_data && TsRecordReserve(w->r, w->size)) {
    DropFresh(w);
    return KST_HEAP_FULL;
  }
  w->offset = w->old_offset = w->r->offset;
  w->area = w->old_area = w->r->area_size;
  return KST_OK;
}

// In place when the old data area holds the new data, else appended with
// fresh growth room.
uint32_t PlanPlace(WriteOp *w) {
  TsStore *s = w->s;
  uint64_t hl = TsRecordHeaderLen(s->version, w->len);
  if (w->fresh || w->r->area_size < w->size) {
    uint64_t a = uint64_t(w->size) +
                 ((w->attr & kTsAttrSupersized) ? kTsRoomSupersized : kTsRoomNormal);
    if (a > UINT32_MAX || hl + a > UINT32_MAX) return KST_ERR_INVALID_PARAMETER;
    if (uint64_t(s->file_end) + hl + a > UINT32_MAX) return KST_ERR_DISK_FULL;
    w->area = uint32_t(a);
    w->offset = s->file_end;
    w->appended = true;
  }
  w->rec_len = hl + w->area;
  return GrowWriteBuffer(s, w->rec_len);
}

// Links a new record into the hash table and the list. `hashed`: the
// lookup found no such name, and nothing changed since.
uint32_t LinkFresh(WriteOp *w, bool hashed) {
  TsStore *s = w->s;
  const uintptr_t v = reinterpret_cast<uintptr_t>(w->r);
  uint32_t rc = hashed ? TsHashInsertAbsent(s->index.hash, w->hash, w->r->name, w->len + 1, v, 4)
                       : TsHashInsert(s->index.hash, w->r->name, w->len + 1, v, 4);
  if (!rc) rc = TsListInsert(&s->index, w->r);
  if (rc) {
    TsHashRemove(s->index.hash, w->r->name, w->len + 1);
    DropFresh(w);
  }
  return rc;
}

// An in-place rewrite is guarded by a copy of the new record at the end of
// the file, removed again once the rewrite is done. A kill in the middle of
// the rewrite leaves a torn old record and a whole later copy, which the
// next open takes as the object (the later of two live records wins); a kill
// before it leaves the old record intact.
uint32_t WriteGuarded(WriteOp *w) {
  TsStore *s = w->s;
  const uint32_t rec_len = uint32_t(w->rec_len);
  uint32_t guard_at = s->file_end;
  bool guard = uint64_t(guard_at) + w->rec_len <= UINT32_MAX;
  uint32_t rc = KST_OK;
  if (guard) {
    uint32_t pos = guard_at;
    rc = KstWriteFileAt(s->file, &pos, s->wbuf, rec_len, nullptr);
  }
  if (!rc) {
    uint32_t pos = w->offset;
    uint32_t in_place = KstWriteFileAt(s->file, &pos, s->wbuf, rec_len, nullptr);
    uint32_t cut = (guard && !in_place) ? KstSetFileSize(s->file, guard_at) : KST_OK;
    if ((in_place || cut) && guard) {
      // The rewrite or the cut failed: the guard copy holds the new value
      // and becomes the object's record, as after a move.
      if (in_place) {
        ++s->failed_writes;
        KstLogPrintf("TS error: Write object failed: %08x: '%s'", in_place, w->name);
      }
      w->offset = guard_at;
      s->file_end = guard_at + rec_len;
      w->moved = true;
    } else {
      rc = in_place;
    }
  }
  if (rc && guard) KstSetFileSize(s->file, guard_at);  // drop a partial guard copy
  return rc;
}

// A failed record write: counted, logged, a partial append cut off again, a
// new record unlinked; the index is as it was.
void WriteFailed(WriteOp *w, uint32_t rc) {
  TsStore *s = w->s;
  ++s->failed_writes;
  KstLogPrintf("TS error: Write object failed: %08x: '%s'", rc, w->name);
  if (w->appended) KstSetFileSize(s->file, s->file_end);
  if (w->fresh) {
    TsHashRemove(s->index.hash, w->r->name, w->len + 1);
    TsListRemove(&s->index, w->r);
    TsRecordFree(w->r);
  }
}

// The new record is written; only now does the old one go.
void MarkMovedRecord(WriteOp *w) {
  TsStore *s = w->s;
  uint32_t a = 0, at = 0;
  bool read_failed;
  if (TsMarkDeleted(s, w->old_offset, &a, &at, &read_failed) == KST_OK) {
    ++s->deleted;
    s->wasted += w->old_area;
    Bump(&s->unflushed_deletes);
  } else {
    ++s->failed_writes;
  }
}

// Writes the record of an object kept in the file.
uint32_t WriteToFile(WriteOp *w) {
  TsStore *s = w->s;
  uint32_t rc = PlanPlace(w);
  if (rc) {
    DropFresh(w);
    return rc;
  }
  if (w->fresh && (rc = LinkFresh(w, true)) != KST_OK) return rc;
  TsEncodeRecord(s->version, s->wbuf, w->name, w->len, w->data, w->size, w->area, w->attr,
                 w->last_wr, w->consumer, w->digest, TsWriteFiller(s->open_flags, w->attr));
  w->moved = w->appended && !w->fresh;
  if (w->appended) {
    uint32_t pos = w->offset;
    rc = KstWriteFileAt(s->file, &pos, s->wbuf, uint32_t(w->rec_len), nullptr);
  } else {
    rc = WriteGuarded(w);
  }
  if (rc) {
    WriteFailed(w, rc);
    return rc;
  }
  // store.h, invariant 5: every record ends within 4 GiB.
  KRP_ASSERT(uint64_t(w->offset) + w->rec_len <= UINT32_MAX);
  s->db_size += uint32_t(w->rec_len);
  if (w->appended) s->file_end = w->offset + uint32_t(w->rec_len);
  if (w->moved) MarkMovedRecord(w);
  return KST_OK;
}

void UpdateRecord(WriteOp *w) {
  TsStore *s = w->s;
  TsIndexRecord *r = w->r;
  if (w->fresh) {
    ++s->active;
    if ((w->attr & kTsAttrSupersized) && w->in_file) ++s->supersized;
  }
  std::memcpy(r->digest, w->digest, 16);
  r->data_size = w->size;
  r->area_size = w->area;
  r->deleted = 0;
  r->attr = w->attr;
  r->last_wr = w->last_wr;
  r->consumer = w->consumer;
  r->offset = w->offset;
  // store.h, invariant 2: an object kept in the file has a place in it; a
  // memory-only one has neither place nor data area.
  KRP_ASSERT(w->in_file ? r->offset != 0 : r->offset == 0 && r->area_size == 0);
  r->verified = 1;
  if (w->keep_data && w->size) std::memcpy(r->data, w->data, w->size);
  ++s->writes;
  if (w->in_file) Bump(&s->unflushed_writes);
}

}  // namespace

uint32_t StoreWrite(TsStore *s, const char *name, const void *data, uint32_t size,
                    uint32_t last_wr, uint32_t attr, uint32_t consumer) {
  uint32_t len = 0;
  uint32_t rc = CheckWrite(s, name, data, &len);
  if (rc) return rc;
  WriteOp w{};
  w.s = s;
  w.name = name;
  w.len = len;
  w.data = data;
  w.size = size;
  w.last_wr = last_wr;
  w.attr = attr & kTsAttrMask;
  w.consumer = consumer;
  rc = LookUp(&w);
  if (!rc) rc = PrepareRecord(&w);
  if (rc) return rc;
  if (w.in_file) {
    rc = WriteToFile(&w);
  } else if (w.fresh) {
    rc = LinkFresh(&w, false);
    w.offset = w.area = 0;
  }
  if (rc) return rc;
  UpdateRecord(&w);
  return KST_OK;
}

uint32_t StoreRead(TsStore *s, const char *name, void *buf, uint32_t *size, uint32_t *last_wr,
                   uint32_t *attr, uint32_t *consumer) {
  uint32_t rc = CommonChecks(s);
  if (rc) return rc;
  if (!name || !size || !last_wr || !attr || !consumer) return KST_ERR_INVALID_PARAMETER;
  uint32_t len = NameLen(name);
  if (len > kTsMaxName) return TS_ERR_NAME_TOO_LONG;
  *last_wr = *attr = *consumer = 0;
  if (EndsWithStar(name, len)) return ListingRead(s, name, len, buf, size);

  TsIndexRecord *r = TsIndexLookup(&s->index, name, len);
  if (!r) {
    *size = 0;
    ++s->reads;
    return TsContainerTest(&s->index, name, len) ? TS_ERR_IS_CONTAINER : KST_OK;
  }
  if (buf && r->data_size > *size) {
    *size = r->data_size;
    return KST_ERR_BUFFER_TOO_SMALL;
  }
  *size = r->data_size;
  *last_wr = r->last_wr;
  *attr = r->attr;
  *consumer = r->consumer;
  if (buf) {
    rc = FetchData(s, r, static_cast<uint8_t *>(buf));
    if (rc) return rc;
  }
  ++s->reads;
  return KST_OK;
}

uint32_t TsDel(TsStore *s, TsIndexRecord *r) {
  if (r->offset == 0) {
    --s->active;
    ++s->deleted;
  } else {
    uint32_t area = 0, attr = 0;
    bool read_failed = false;
    uint32_t rc = TsMarkDeleted(s, r->offset, &area, &attr, &read_failed);
    if (rc) {
      if (read_failed) {
        KstLogPrintf("TsDel: Reading header failed (%xh): %s at %xh", rc, r->name, r->offset);
      } else {
        ++s->failed_writes;
        KstLogPrintf("TsDel: Writing header failed (%xh): %s at %xh", rc, r->name, r->offset);
      }
      return rc;
    }
    ++s->deleted;
    --s->active;
    Bump(&s->unflushed_deletes);
    s->wasted += area;
    if (attr & kTsAttrSupersized) --s->supersized;
  }
  TsHashRemove(s->index.hash, r->name, r->name_len + 1);
  r->deleted = 1;
  TsListRemove(&s->index, r);
  TsRecordFree(r);
  return KST_OK;
}

uint32_t StoreDelete(TsStore *s, const char *name) {
  uint32_t rc = CommonChecks(s);
  if (rc) return rc;
  if (!name) return KST_ERR_INVALID_PARAMETER;
  uint32_t len = NameLen(name);
  if (len > kTsMaxName) return TS_ERR_NAME_TOO_LONG;
  if (uint32_t refused = TsMaintWriteRefusal(s)) return refused;  // store_maint.h
  if (s->read_only) return KST_ERR_ACCESS_DENIED;
  ++s->deletes;
  if (!EndsWithStar(name, len)) {
    TsIndexRecord *r = TsIndexLookup(&s->index, name, len);
    return r ? TsDel(s, r) : KST_OK;
  }
  uint32_t plen = len - 1;
  bool groups = GroupPrefix(name, plen);
  for (TsIndexRecord *r = WalkStart(s, name, plen, groups); r;) {
    TsIndexRecord *next = r->next;  // taken before r is freed
    if (BeginsWith(r, name, plen)) {
      rc = TsDel(s, r);
      if (rc) return rc;
    } else if (groups) {
      break;
    }
    r = next;
  }
  return KST_OK;
}

uint32_t StoreGetObjectInfo(TsStore *s, const char *name, TsObjectInfo *out) {
  uint32_t rc = CommonChecks(s);
  if (rc) return rc;
  if (!name || !out) return KST_ERR_INVALID_PARAMETER;
  uint32_t len = NameLen(name);
  if (len > kTsMaxName) return TS_ERR_NAME_TOO_LONG;
  if (!len) {
    rc = s->index.head->next ? TS_ERR_IS_CONTAINER : TS_ERR_NOT_FOUND;
  } else {
    std::memset(out, 0, sizeof *out);
    TsIndexRecord *r = TsIndexLookup(&s->index, name, len);
    if (r) {
      out->data_size = r->data_size;
      out->offset = r->offset;
      std::memcpy(out->digest, r->digest, 16);
      out->attr = r->attr;
      out->last_wr = r->last_wr;
      out->consumer = r->consumer;
      rc = KST_OK;
    } else {
      rc = TsContainerTest(&s->index, name, len) ? TS_ERR_IS_CONTAINER : TS_ERR_NOT_FOUND;
    }
  }
  if (rc == KST_OK || rc == TS_ERR_IS_CONTAINER) ++s->infos;
  return rc;
}

uint32_t StoreListObjects(TsStore *s, const char *prefix, void **out_list, uint32_t *out_size,
                          int recursive) {
  uint32_t rc = CommonChecks(s);
  if (rc) return rc;
  if (!prefix || !out_size) return KST_ERR_INVALID_PARAMETER;
  uint32_t plen = NameLen(prefix);
  if (plen > kTsMaxName) return TS_ERR_NAME_TOO_LONG;
  if (out_list) *out_list = nullptr;
  bool groups = GroupPrefix(prefix, plen);
  auto matches = [&](const TsIndexRecord *r) {
    if (!BeginsWith(r, prefix, plen)) return false;
    if (recursive) return true;
    return r->name_len <= plen + 1 ||
           !std::memchr(r->name + plen + 1, '.', r->name_len - plen - 1);
  };
  // Both passes visit the same records: every record, or the run of groups
  // that a group prefix selects.
  auto walk = [&](auto &&visit) {
    for (TsIndexRecord *r = WalkStart(s, prefix, plen, groups); r; r = r->next) {
      if (BeginsWith(r, prefix, plen)) {
        if (matches(r)) visit(r);
      } else if (groups) {
        break;
      }
    }
  };
  uint64_t total = 0;
  walk([&](const TsIndexRecord *r) { total += TsListEntryLength(r->name_len); });
  if (total + 1 > UINT32_MAX) return KST_HEAP_FULL;
  *out_size = uint32_t(total);
  if (out_list) {
    void *mem = nullptr;
    if (KstAllocMem(uint32_t(total) + 1, 0, &mem, nullptr)) return KST_HEAP_FULL;
    auto *p = static_cast<uint8_t *>(mem);
    walk([&](const TsIndexRecord *r) {
      p += TsListPutEntry(p, r->name, r->name_len, r->attr, r->last_wr, r->consumer);
    });
    *p = 0;
    *out_list = mem;
  }
  ++s->lists;
  return KST_OK;
}

uint32_t StoreReadMultiple(TsStore *s, uint32_t capacity, void *buffer) {
  if (!s || !buffer || !capacity) return KST_ERR_INVALID_PARAMETER;
  if (!s->index.hash) return KST_ERR_GENERAL;
  auto *b = static_cast<uint8_t *>(buffer);
  uint32_t items = 0;
  if (TsMultiCheck(b, capacity, &items)) return KST_ERR_INVALID_PARAMETER;
  const uint32_t data_off = TsMultiDataOffset(b);

  uint8_t *area = b + data_off;
  const uint32_t area_cap = capacity - data_off - 1;
  uint32_t fill = 0;
  uint64_t total = 0;
  uint32_t overall = KST_OK;
  TsMultiWalk walk(b, data_off);
  TsMultiItem item;
  for (uint32_t i = 0; i < items && walk.Next(&item) == TsMultiStep::kItem; ++i) {
    uint8_t *it = b + item.offset;
    const char *name = item.name;
    const uint32_t len = item.name_len;  // a zero lies inside the item (checked)
    const bool info_only = item.info_only;
    uint32_t result = KST_OK, size = 0;
    if (len > kTsMaxName) {
      result = TS_ERR_NAME_TOO_LONG;
    } else if (!len) {
      result = KST_ERR_INVALID_NAME;
    } else if (TsIndexRecord *r = TsIndexLookup(&s->index, name, len); !r) {
      result = TsContainerTest(&s->index, name, len) ? TS_ERR_IS_CONTAINER : KST_OK;
    } else {
      size = r->data_size;
      TsMultiSetWords(it, r->last_wr, r->attr, r->consumer);
      if (!info_only) {
        if (r->data_size > area_cap - fill) {
          result = KST_ERR_BUFFER_TOO_SMALL;
          total += r->data_size;
          overall = KST_ERR_BUFFER_TOO_SMALL;
        } else {
          result = FetchData(s, r, area + fill);
          if (!result) {
            TsMultiSetDataOffset(it, fill);
            fill += r->data_size;
            total += r->data_size;
          }
        }
      }
    }
    TsMultiSetResult(it, result, size);
  }
  TsMultiSetTotal(b, total > UINT32_MAX ? UINT32_MAX : uint32_t(total));
  if (overall == KST_OK) ++s->read_multiples;
  return overall;
}
