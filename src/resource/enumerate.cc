// The enumeration of a container with callbacks.
//
// Design note
// -----------
// Every entry of the container's listing is judged as the type query
// (dll_KrpGetResourceType) and, for a value, the size query
// (dll_KrpGetResource without a buffer) would judge it. Asking both for
// every entry would cost two store requests per entry, so the entries are
// taken in runs of up to kRunEntries and the object words of a whole run are
// fetched at once:
//
//   server   one read-multiple block per run (ts_multi.h), information only,
//            holding the lookup set of every entry (any type, current
//            locale: the names the type query looks up), walked per entry
//            in slot order as the single read walks its reply;
//   direct   one scan of the store file per run (StoreForceReadNames).
//
// The answer of a run is a snapshot; an entry whose answer is clear is handed
// to the callbacks from it:
//
//   container    no value, names below it             -> type 10
//   value        found under the plain or default name,
//                or a TEXT under a localized name      -> its type, size - 16
//
// Every other entry (not found, a failed item, a short object, a localized
// value of another type, a whole run that could not be fetched) goes through
// the single type and size queries, so the walk's result for it is exactly
// theirs. The callbacks see entries in listing order, one at a time.
//
// Invariants
// 1. An entry name is read bounded (kEntryBuf - 1 bytes) and is always
//    zero-terminated; a full name ("<container>.<entry>", or the entry alone
//    for the empty container) of more than KRP_NAME_MAX characters ends the
//    walk with 0x37000F before anything is looked up for it.
// 2. The temporary list handle, the listing, the run table and the block are
//    released on every path.
#include <cstring>

#include "platform.h"
#include "protocol.h"
#include "resource.h"
#include "seam.h"
#include "store.h"
#include "store_maint.h"

namespace {

constexpr uint32_t kEntryBuf = 300;
constexpr uint32_t kRunEntries = 256;
// The longest block the client sends (as the multiple get).
constexpr uint32_t kBlockLimit = krp::proto::layout_multi::kPiece;

enum class Known : uint8_t { kNo, kContainer, kValue };

struct Entry {
  char full[KRP_NAME_BUF];
  uint32_t name_rc;  // 0, or the result that ends the walk at this entry
  Known known;
  uint32_t type;
  uint32_t size;
  KrpLookupNames set;
};

struct Walk {
  const char *container;
  uint32_t *containers;
  uint32_t *resources;
  KrpContainerCallback on_container;
  KrpResourceCallback on_resource;
  void *context;
  KrpStoreSeam seam;
  char locale[KRP_LOCALE_BUF];
  KRP_HLIST list = nullptr;
  Entry *run = nullptr;
  uint8_t *block = nullptr;  // server mode only
};

// Reads the next entry's own name into name_buf (kEntryBuf bytes, bounded
// and terminated) and forms its full name in e->full.
uint32_t ReadEntryName(Walk *w, bool first, Entry *e, char *name_buf) {
  memset(name_buf, 0, kEntryBuf);
  uint32_t len = kEntryBuf - 1;
  uint32_t rc = first ? dll_KrpListhelpGetFirstItem(w->list, name_buf, &len)
                      : dll_KrpListhelpGetNextItem(w->list, name_buf, &len);
  // A name that does not fit the buffer makes a full name that is too long.
  if (rc == KST_ERR_BUFFER_TOO_SMALL) return KRP_ERR_NAME_TOO_LONG;
  if (rc != 0) return rc;
  const size_t elen = strlen(name_buf);
  const size_t clen = strlen(w->container);
  const size_t flen = clen == 0 ? elen : clen + 1 + elen;
  if (flen > KRP_NAME_MAX) return KRP_ERR_NAME_TOO_LONG;
  char *p = e->full;
  if (clen != 0) {
    memcpy(p, w->container, clen);
    p[clen] = '.';
    p += clen + 1;
  }
  memcpy(p, name_buf, elen + 1);
  return 0;
}

// What one found object tells, given the slot it was found under.
void Judge(Entry *e, uint32_t slot, uint32_t stored_size, uint32_t type) {
  const bool localized = slot == KRP_SLOT_LOCALIZED || slot == KRP_SLOT_DEFAULT_LOCALIZED;
  if (stored_size < KRP_TYPE_FIELD_SIZE || (localized && type != KRT_TEXT)) return;
  e->known = Known::kValue;
  e->type = type;
  e->size = stored_size - KRP_TYPE_FIELD_SIZE;
}

// ---- server: one information-only block per run ----------------------------------

uint32_t FillBlock(Walk *w, uint32_t n, uint32_t *items, uint32_t *used_out) {
  uint8_t *item = w->block + kTsMultiHeaderSize;
  uint32_t used = kTsMultiHeaderSize, count = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const Entry &e = w->run[i];
    if (e.name_rc != 0) break;
    for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s) {
      const char *name = e.set.slots[s];
      if (!name[0]) continue;
      const uint32_t len = static_cast<uint32_t>(strlen(name));
      if (used + TsMultiItemLength(len) > kBlockLimit) return 1;  // never with kRunEntries
      item += TsMultiPutItem(item, name, len, true);
      used += TsMultiItemLength(len);
      ++count;
    }
  }
  TsMultiBegin(w->block, count, used);
  *items = count;
  *used_out = used;
  return 0;
}

void WalkReply(Walk *w, uint32_t n) {
  TsMultiWalk walk(w->block, TsMultiDataOffset(w->block));
  for (uint32_t i = 0; i < n; ++i) {
    Entry &e = w->run[i];
    if (e.name_rc != 0) break;
    bool decided = false;
    for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s) {
      if (!e.set.slots[s][0]) continue;
      TsMultiItem it;
      if (walk.Next(&it) != TsMultiStep::kItem) return;  // the rest stays unknown
      if (decided) continue;
      const TsMultiReply r = TsMultiGetReply(w->block + it.offset);
      if (r.result == KRP_ERR_IS_CONTAINER) {
        e.known = Known::kContainer;
        decided = true;
      } else if (r.result == 0 && r.size != 0 && r.size != kTsItemInfoOnly) {
        Judge(&e, s, r.size, r.consumer);
        decided = true;
      } else if (!(r.result == KRP_ERR_NOT_FOUND || (r.result == 0 && r.size == 0))) {
        decided = true;  // a failed item: the single queries tell
      }
    }
  }
}

void FetchServer(Walk *w, uint32_t n) {
  uint32_t items = 0, used = 0;
  if (FillBlock(w, n, &items, &used) != 0 || items == 0) return;
  void *data = nullptr;
  uint32_t data_size = 0;
  uint32_t rc = KrpStoreKtsReadMultipleMt(0, w->block, &data, &data_size);
  KstFreeMem(data, 0);
  if (rc == 0) WalkReply(w, n);
}

// ---- direct: one scan of the store file per run ------------------------------------

void FetchDirect(Walk *w, uint32_t n) {
  static constexpr uint32_t kMax = kRunEntries * KRP_SLOT_COUNT;
  void *mem = nullptr;
  if (KstAllocMem(kMax * sizeof(TsForceName), 0, &mem, nullptr) != 0) return;
  auto *asked = static_cast<TsForceName *>(mem);
  uint32_t count = 0;
  for (uint32_t i = 0; i < n && w->run[i].name_rc == 0; ++i)
    for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s)
      if (w->run[i].set.slots[s][0])
        asked[count++] = TsForceName{w->run[i].set.slots[s], false, false, 0, 0, 0, 0};
  // A held file (5, 32) or any failure leaves the run to the single queries,
  // which hand over to a server that came up.
  if (count > 0 && StoreForceReadNames(nullptr, asked, count, nullptr) == 0) {
    uint32_t k = 0;
    for (uint32_t i = 0; i < n && w->run[i].name_rc == 0; ++i) {
      Entry &e = w->run[i];
      bool decided = false;
      for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s) {
        if (!e.set.slots[s][0]) continue;
        const TsForceName &f = asked[k++];
        if (decided) continue;
        if (f.found && f.size != 0) {
          Judge(&e, s, f.size, f.consumer);
          decided = true;
        } else if (!f.found && f.has_children) {
          e.known = Known::kContainer;
          decided = true;
        }
      }
    }
  }
  KstFreeMem(mem, 0);
}

// ---- the walk -----------------------------------------------------------------------

// Reads the names of the next run (n entries at most) and fetches their
// object words. Stops reading at the first entry that ends the walk.
void PrepareRun(Walk *w, uint32_t first_pos, uint32_t n) {
  char name_buf[kEntryBuf];
  for (uint32_t i = 0; i < n; ++i) {
    Entry &e = w->run[i];
    e.known = Known::kNo;
    e.type = e.size = 0;
    e.full[0] = 0;
    e.name_rc = ReadEntryName(w, first_pos + i == 1, &e, name_buf);
    if (e.name_rc != 0) break;
    if (KrpBuildLookupSet(e.full, KRP_TYPE_ANY, w->locale, w->locale, &e.set) != 0)
      memset(&e.set, 0, sizeof e.set);  // nothing fetched: the single queries tell
  }
  if (w->seam.direct) FetchDirect(w, n);
  else FetchServer(w, n);
}

// The entry's own name: the part of the full name after the container.
const char *EntryName(const Walk &w, const Entry &e) {
  const size_t clen = strlen(w.container);
  return clen == 0 ? e.full : e.full + clen + 1;
}

uint32_t Visit(Walk *w, Entry *e) {
  if (e->name_rc != 0) return e->name_rc;
  uint32_t type = e->type, size = e->size;
  if (e->known == Known::kContainer) {
    type = KRP_TYPE_CONTAINER;
  } else if (e->known == Known::kNo) {
    uint32_t rc = dll_KrpGetResourceType(e->full, &type);
    if (rc != 0) return rc;
    if (type != KRP_TYPE_CONTAINER && w->on_resource) {
      size = 0;
      rc = dll_KrpGetResource(type, e->full, &size, nullptr, nullptr, nullptr);
      if (rc != 0) return rc;
    }
  }
  const char *entry = EntryName(*w, *e);
  if (type == KRP_TYPE_CONTAINER) {
    if (w->containers) ++*w->containers;
    return w->on_container ? w->on_container(w->container, entry, w->context) : 0;
  }
  if (w->resources) ++*w->resources;
  return w->on_resource ? w->on_resource(w->container, entry, type, size, w->context) : 0;
}

uint32_t WalkEntries(Walk *w, uint32_t count) {
  for (uint32_t pos = 1; pos <= count; pos += kRunEntries) {
    const uint32_t n = count - pos + 1 < kRunEntries ? count - pos + 1 : kRunEntries;
    PrepareRun(w, pos, n);
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t rc = Visit(w, &w->run[i]);
      if (rc != 0) return rc;
    }
  }
  return 0;
}

uint32_t Start(Walk *w, const void *listing, uint32_t size, uint32_t count) {
  uint32_t rc = dll_KrpListhelpInit(&w->list, nullptr);
  if (rc == 0) rc = dll_KrpListhelpAddList(w->list, listing, size);
  uint32_t parsed = 0;
  if (rc == 0) rc = dll_KrpListhelpGetCount(w->list, &parsed);
  if (rc == 0 && parsed != count) rc = KRP_ERR_DIGEST;
  if (rc == 0) rc = KrpResourceInitInternal(&w->seam);
  void *mem = nullptr;
  if (rc == 0) rc = KstAllocMem(kRunEntries * sizeof(Entry), 0, &mem, nullptr);
  w->run = static_cast<Entry *>(mem);
  if (rc == 0 && !w->seam.direct) {
    rc = KstAllocMem(kBlockLimit, 0, &mem, nullptr);
    w->block = static_cast<uint8_t *>(mem);
  }
  KrpCurrentLocale(w->locale);
  return rc;
}

}  // namespace

extern "C" KRP_API uint32_t dll_KrpClientEnumerateContainer(const char *container,
                                                            uint32_t *containers,
                                                            uint32_t *resources,
                                                            KrpContainerCallback on_container,
                                                            KrpResourceCallback on_resource,
                                                            void *context) {
  if (!container) return KST_ERR_INVALID_PARAMETER;
  void *listing = nullptr;
  uint32_t size = 0, count = 0;
  uint32_t rc = dll_KrpListResources(container, &listing, &size, &count);
  if (rc != 0) return rc;
  if (count == 0) {
    KstFreeMem(listing, 0);
    return KRP_ERR_EMPTY_VALUE;
  }
  Walk w{container, containers, resources, on_container, on_resource, context, {}, {}};
  rc = Start(&w, listing, size, count);
  if (rc == 0) rc = WalkEntries(&w, count);
  if (w.list) dll_KrpListhelpExit(&w.list);
  KstFreeMem(w.block, 0);
  KstFreeMem(w.run, 0);
  KstFreeMem(listing, 0);
  return rc;
}
