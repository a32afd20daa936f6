// Reading resources: the core lookup. The first existing name of a request
// through the server (one plain read or read-multiple blocks), the hand-out
// of a found value or listing to the caller, and the internal read of one
// request over the store seam (seam.h). The exported reads are getters.cc.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform.h"
#include "read_cache.h"
#include "resource.h"
#include "store.h"
#include "store_maint.h"

namespace {

uint32_t Alloc(uint32_t size, void **out, int line) {
  uint32_t rc = KstAllocMem(size, 0, out, nullptr);
  if (rc != 0) {
    if (rc == KST_HEAP_FULL)
      KstLogPrintf("krp_kts(%d) no malloc 0x%08x (asked for %u)", line, rc, size);
    else
      KstLogPrintf("krp_kts(%d) no malloc 0x%08x", line, rc);
    *out = nullptr;
  }
  return rc;
}

}  // namespace

uint32_t KrpDeliverValue(KrpReadOut *out, const uint8_t *stored, uint32_t stored_size,
                 uint32_t consumer, uint32_t last_wr, uint32_t attr, uint32_t slot,
                 const char *name) {
  if (stored_size < KRP_TYPE_FIELD_SIZE) {
    KstLogPrintf("krp_kts (%d) something seriously wrong with sizeout from store for '%s' "
                 "(totbufsize %u) 0x%08x",
                 __LINE__, name, stored_size, 1u);
    return 1;
  }
  uint32_t vsize = stored_size - KRP_TYPE_FIELD_SIZE;
  if (out->type != 0 && out->type != KRP_TYPE_ANY && out->type != consumer)
    return KRP_ERR_WRONG_TYPE;
  bool copy = out->want_value && (out->buffer || out->alloc);
  if (copy && !stored) {
    KstLogPrintf("krp_kts (%d) all says resource was found, but no buffer was returned from "
                 "store -> returning ERROR! for '%s' 0x%08x",
                 __LINE__, name, 1u);
    return 1;
  }
  const uint8_t *value = stored ? stored + KRP_TYPE_FIELD_SIZE : nullptr;
  if (copy && out->alloc) {
    void *p = nullptr;
    uint32_t rc = Alloc(vsize ? vsize : 1, &p, __LINE__);
    if (rc != 0) return rc;
    if (vsize) memcpy(p, value, vsize);
    else static_cast<uint8_t *>(p)[0] = 0;
    *out->alloc = p;
  } else if (copy) {
    if (vsize > *out->size) {
      *out->size = vsize;
      return KST_ERR_BUFFER_TOO_SMALL;
    }
    if (vsize) memcpy(out->buffer, value, vsize);
    else if (consumer == KRT_TEXT && *out->size > 0) static_cast<uint8_t *>(out->buffer)[0] = 0;
  }
  *out->size = vsize;
  if (out->type_out) *out->type_out = consumer;
  if (out->attrs) {
    out->attrs->timestamp = last_wr;
    out->attrs->attributes = attr;
    if (slot == KRP_SLOT_DEFAULT_LOCALIZED || slot == KRP_SLOT_DEFAULT)
      out->attrs->attributes |= KRP_ATTR_FROM_DEFAULT;
  }
  if (out->access && (slot == KRP_SLOT_LOCALIZED || slot == KRP_SLOT_DEFAULT_LOCALIZED)) {
    out->access[0] = 'w';
    out->access[1] = 'r';
    out->access[2] = 0;
  }
  return 0;
}

uint32_t KrpDeliverListing(KrpReadOut *out, const uint8_t *list, uint32_t len) {
  if (out->want_value && out->alloc) {
    void *p = nullptr;
    uint32_t rc = Alloc(len ? len : 1, &p, __LINE__);
    if (rc != 0) return rc;
    if (len) memcpy(p, list, len);
    *out->alloc = p;
  } else if (out->want_value && out->buffer) {
    if (len > *out->size) {
      *out->size = len;
      return KST_ERR_BUFFER_TOO_SMALL;
    }
    if (len) memcpy(out->buffer, list, len);
  }
  *out->size = len;
  if (out->type_out) *out->type_out = KRP_TYPE_CONTAINER;
  if (out->attrs) *out->attrs = KrpAttributes{0, 0};
  return 0;
}

namespace {

// Keeps the found value's words and stored bytes for the cache.
void RecordValue(KrpRawAnswers *rec, const uint8_t *stored, uint32_t size, uint32_t lw,
                 uint32_t attr, uint32_t cons) {
  if (!rec) return;
  rec->Add(KrpRawAnswers::kValue);
  rec->size = size;
  rec->last_wr = lw;
  rec->attr = attr;
  rec->consumer = cons;
  rec->has_data = stored != nullptr;
  if (!stored) return;
  try {
    rec->data.assign(reinterpret_cast<const char *>(stored), size);
  } catch (...) {
    rec->cacheable = false;
  }
}
void RecordKind(KrpRawAnswers *rec, KrpRawAnswers::Kind k) {
  if (rec) rec->Add(k);
}
void RecordUncacheable(KrpRawAnswers *rec) {
  if (rec) rec->cacheable = false;
}

// One name through the server's plain read.
uint32_t ReadOne(const char *name, uint32_t slot, KrpReadOut *out, KrpRawAnswers *rec) {
  void *data = nullptr;
  uint32_t size = 0, lw = 0, attr = 0, cons = 0;
  bool want = out->want_value && (out->buffer || out->alloc);
  uint32_t rc = KrpStoreKtsReadMt(0, name, want ? &data : nullptr, &size, &lw, &attr, &cons);
  if (rc == KRP_ERR_IS_CONTAINER) {
    RecordKind(rec, KrpRawAnswers::kContainer);
    KstFreeMem(data, 0);
    if (out->type_out) *out->type_out = KRP_TYPE_CONTAINER;
    return (out->type == KRP_TYPE_ANY || out->type == KRP_TYPE_CONTAINER) ? rc
                                                                           : KRP_ERR_WRONG_TYPE;
  }
  if (rc != 0 || size == 0) {
    if (rc == 0 || rc == KRP_ERR_NOT_FOUND) RecordKind(rec, KrpRawAnswers::kAbsent);
    else RecordUncacheable(rec);
    KstFreeMem(data, 0);
    return rc != 0 ? rc : KRP_ERR_NOT_FOUND;
  }
  RecordValue(rec, static_cast<uint8_t *>(data), size, lw, attr, cons);
  rc = KrpDeliverValue(out, static_cast<uint8_t *>(data), size, cons, lw, attr, slot, name);
  KstFreeMem(data, 0);
  return rc;
}

// Sends names[first..] (as many as fit one block) and walks the reply.
// *next receives the index of the first name not sent.
uint32_t ReadBlock(const char *const *names, const uint32_t *slot_of, uint32_t count,
                   uint32_t first, uint32_t *next, KrpReadOut *out, KrpRawAnswers *rec) {
  bool want = out->want_value && (out->buffer || out->alloc);
  uint64_t need = kTsMultiHeaderSize;
  uint32_t last = first;
  for (; last < count; ++last) {
    // Lookup names hold at most KRP_NAME_MAX characters; a block never
    // exceeds the request block.
    uint64_t item = TsMultiItemLength(static_cast<uint32_t>(strlen(names[last])));
    if (need + item > krp::proto::kRequestBlockSize && last > first) break;
    need += item;
  }
  *next = last;
  void *mem = nullptr;
  uint32_t rc = Alloc(static_cast<uint32_t>(need), &mem, __LINE__);
  if (rc != 0) {
    RecordUncacheable(rec);
    return rc;
  }
  uint8_t *block = static_cast<uint8_t *>(mem);
  TsMultiBegin(block, last - first, static_cast<uint32_t>(need));
  uint8_t *item = block + kTsMultiHeaderSize;
  for (uint32_t i = first; i < last; ++i)
    item += TsMultiPutItem(item, names[i], static_cast<uint32_t>(strlen(names[i])), !want);
  void *data = nullptr;
  uint32_t data_size = 0;
  rc = KrpStoreKtsReadMultipleMt(0, block, &data, &data_size);
  if (rc != 0) {
    RecordUncacheable(rec);
    KstFreeMem(data, 0);
    KstFreeMem(block, 0);
    return rc;
  }
  const uint8_t *d = static_cast<uint8_t *>(data);
  uint32_t result = KRP_ERR_NOT_FOUND;
  item = block + kTsMultiHeaderSize;
  for (uint32_t i = first; i < last; ++i) {
    const TsMultiReply reply = TsMultiGetReply(item);
    uint32_t ires = reply.result, isize = reply.size;
    uint32_t lw = reply.last_wr, attr = reply.attr, cons = reply.consumer;
    uint32_t off = reply.data_offset;
    item += TsMultiItemLength(static_cast<uint32_t>(strlen(names[i])));
    if (ires == KRP_ERR_IS_CONTAINER) {
      RecordKind(rec, KrpRawAnswers::kContainer);
      if (out->type_out) *out->type_out = KRP_TYPE_CONTAINER;
      if (out->type == KRP_TYPE_ANY || out->type == KRP_TYPE_CONTAINER) {
        result = KRP_ERR_IS_CONTAINER;
        break;
      }
      result = KRP_ERR_WRONG_TYPE;
      continue;
    }
    if (ires == KRP_ERR_NOT_FOUND || (ires == 0 && isize == 0)) {
      RecordKind(rec, KrpRawAnswers::kAbsent);
      continue;
    }
    if (ires != 0) {
      RecordUncacheable(rec);
      // The object exists but could not be read (digest, read failure):
      // the walk ends here rather than falling back to a default.
      result = ires;
      break;
    }
    if (isize == kTsItemInfoOnly) {
      RecordUncacheable(rec);
      continue;
    }
    const uint8_t *stored = nullptr;
    if (want && d) {
      if (static_cast<uint64_t>(off) + isize > data_size) {
        KstLogPrintf("krp_kts (%d) reply for '%s' lies outside the data (offset %u size %u of "
                     "%u) 0x%08x",
                     __LINE__, names[i], off, isize, data_size, 1u);
        RecordUncacheable(rec);
        result = 1;
        break;
      }
      stored = d + off;
    }
    RecordValue(rec, stored, isize, lw, attr, cons);
    result = KrpDeliverValue(out, stored, isize, cons, lw, attr, slot_of[i], names[i]);
    break;
  }
  KstFreeMem(data, 0);
  KstFreeMem(block, 0);
  return result;
}

}  // namespace

KrpNameList KrpNonEmptySlots(const KrpLookupNames &set) {
  KrpNameList l{};
  for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s) {
    if (!set.slots[s][0]) continue;
    l.names[l.count] = set.slots[s];
    l.slot_of[l.count++] = s;
  }
  return l;
}

uint32_t KrpReadFirstOfNames(const char *const *names, const uint32_t *slot_of, uint32_t count,
                             KrpReadOut *out) {
  return KrpReadFirstOfNamesRecorded(names, slot_of, count, out, nullptr);
}

uint32_t KrpReadFirstOfNamesRecorded(const char *const *names, const uint32_t *slot_of,
                                     uint32_t count, KrpReadOut *out, KrpRawAnswers *rec) {
  if (!names || !slot_of || !out || !out->size) return KST_ERR_INVALID_PARAMETER;
  for (uint32_t i = 0; i < count; ++i)
    if (!names[i]) return KST_ERR_INVALID_PARAMETER;
  if (out->alloc) *out->alloc = nullptr;
  if (count == 0) return KRP_ERR_NOT_FOUND;
  if (count == 1) return ReadOne(names[0], slot_of[0], out, rec);
  uint32_t first = 0, rc = KRP_ERR_NOT_FOUND;
  while (first < count) {
    uint32_t next = count;
    uint32_t r = ReadBlock(names, slot_of, count, first, &next, out, rec);
    // The cache keeps only lookups answered by one block.
    if (next < count) RecordUncacheable(rec);
    if (r == KRP_ERR_WRONG_TYPE) rc = r;
    else if (r != KRP_ERR_NOT_FOUND) return r;
    first = next;
  }
  return rc;
}

// A read on a server seam is first looked up by its request, which needs
// no lookup names. A container's answer and the root's absence go on to the
// listing, which does need them: those take the full path (and hit there).
bool AnsweredByRequest(KrpStoreSeam *seam, const char *name, const char *locale,
                       KrpReadOut *out, char *key, uint32_t *rc) {
  if (seam->direct) return false;
  const size_t len = KrpCacheRequestKey(name, out->type, locale, key);
  if (len == 0) return false;
  out->request_key = key;
  out->request_key_len = static_cast<uint32_t>(len);
  *rc = KrpCacheLookupRequest(out);
  if (*rc == kKrpCacheMiss || *rc == KRP_ERR_IS_CONTAINER) return false;
  return *rc != KRP_ERR_NOT_FOUND || (name[0] && strcmp(name, "kts:") != 0);
}

uint32_t ReadByNames(KrpStoreSeam *seam, const char *name, const char *locale,
                     KrpReadOut *out) {
  KrpLookupNames names;
  uint32_t rc = KrpBuildLookupSet(name, out->type, locale, locale, &names);
  if (rc != 0) return rc;
  if (out->alloc) *out->alloc = nullptr;
  const char *plain = names.slots[KRP_SLOT_PLAIN];
  const KrpNameList list = KrpNonEmptySlots(names);
  rc = seam->ops->read_first(seam, list.names, list.slot_of, list.count, out);
  const bool container = rc == KRP_ERR_IS_CONTAINER;
  // A container read with 9 or 10, and the empty name (the root), are
  // answered with the store's listing.
  if (!container && !(rc == KRP_ERR_NOT_FOUND && !plain[0])) return rc;
  if (!names.pattern[0]) return rc;
  rc = seam->ops->read_listing(seam, names.pattern, out);
  if (rc == KRP_ERR_NOT_FOUND) {
    *out->size = 0;
    if (container && out->attrs) out->attrs->attributes |= KRP_ATTR_FROM_DEFAULT;
  }
  return rc;
}

uint32_t KrpReadInternal(KrpStoreSeam *seam, const char *name, const char *locale,
                         KrpReadOut *out) {
  char key[kKrpRequestKeyBuf];
  uint32_t rc = 0;
  if (!AnsweredByRequest(seam, name, locale, out, key, &rc))
    rc = ReadByNames(seam, name, locale, out);
  out->request_key = nullptr;  // it points into this frame
  out->request_key_len = 0;
  return rc;
}

uint32_t KrpReadInternal(const char *name, const char *locale, KrpReadOut *out) {
  KrpStoreSeam seam;
  uint32_t rc = KrpSeamObtain(&seam);
  return rc != 0 ? rc : KrpReadInternal(&seam, name, locale, out);
}
