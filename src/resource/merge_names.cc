// Uniting "iso_names" lists: the fragment's list F into the store's list O.
//
// Both lists hold names in ascending byte order (unsigned bytes, a prefix
// before its extensions). One forward pass merges them: a position j in O
// starts at 1 and never moves back; each item f of F advances j past the
// items below it, is dropped when O holds it, and is inserted before item
// j (or appended) otherwise. F comes from an untrusted fragment: an item of F
// at or below the item before it (F repeating a name or out of order) starts
// its search at the front of O again, so the union stays ascending with each
// name once. A sorted F never moves j back. With no list in the store, F is
// united into an empty list, which sorts it and drops its repeats.
//
// The union is written (as a LIST, with the store list's Attr and Consumer,
// Consumer 0 becoming 7, and the current time) only when it is longer than
// what the store holds: a list that gained no item is left as it is.
#include <cstring>
#include <ctime>

#include "krplib.h"
#include "merge_internal.h"
#include "mtclient.h"
#include "resource.h"

namespace {

// Items are compared in buffers of this size.
constexpr uint32_t kItemBuf = 261;

// Unsigned byte order, a prefix first.
int CompareItems(const uint8_t *a, uint32_t alen, const uint8_t *b, uint32_t blen) {
  int c = memcmp(a, b, alen < blen ? alen : blen);
  if (c != 0) return c;
  return alen < blen ? -1 : (alen > blen ? 1 : 0);
}

struct Lists {
  KRP_HLIST in = nullptr;
  KRP_HLIST out = nullptr;
  ~Lists() {
    if (in) dll_KrpListhelpExit(&in);
    if (out) dll_KrpListhelpExit(&out);
  }
};

// Inserts every item of `in` that `out` lacks, keeping `out` ascending.
uint32_t UniteInto(KRP_HLIST in, KRP_HLIST out) {
  uint32_t nf = 0, count = 0;
  uint32_t rc = dll_KrpListhelpGetCount(in, &nf);
  if (rc != 0) {
    KstLogPrintf("krp_merge (%d) listhelp getcount input names list 0x%08x", __LINE__, rc);
    return rc;
  }
  uint32_t j = 1;
  uint8_t prev[kItemBuf];
  uint32_t prev_len = 0;
  for (uint32_t i = 1; i <= nf; ++i) {
    uint8_t f[kItemBuf];
    uint32_t flen = sizeof f;
    rc = dll_KrpListhelpGetItem(in, i, f, &flen);
    if (rc != 0) {
      KstLogPrintf("krp_merge (%d) listhelp getitem #%u input names list 0x%08x", __LINE__, i, rc);
      return rc;
    }
    if (i > 1 && CompareItems(f, flen, prev, prev_len) <= 0) j = 1;
    memcpy(prev, f, flen);
    prev_len = flen;
    rc = dll_KrpListhelpGetCount(out, &count);
    if (rc != 0) {
      KstLogPrintf("krp_merge (%d) listhelp getcount output names list 0x%08x", __LINE__, rc);
      return rc;
    }
    int cmp = 1;  // above f, or no item left: insert
    uint8_t o[kItemBuf];
    uint32_t olen = 0;
    while (j <= count) {
      olen = sizeof o;
      rc = dll_KrpListhelpGetItem(out, j, o, &olen);
      if (rc != 0) {
        KstLogPrintf("krp_merge (%d) listhelp getitem #%u output names list 0x%08x", __LINE__, j,
                     rc);
        return rc;
      }
      cmp = CompareItems(o, olen, f, flen);
      if (cmp >= 0) break;
      ++j;
    }
    if (j <= count && cmp == 0) {
      ++j;
      continue;
    }
    // Before item j (after item j - 1; position 0 is the front), or at the end.
    rc = dll_KrpListhelpInsertItem(out, j - 1, f, flen);
    if (rc != 0) {
      f[flen < kItemBuf ? flen : kItemBuf - 1] = 0;
      // Item j, when there is one, is what the search stopped at: still in o.
      if (j <= count) o[olen < kItemBuf ? olen : kItemBuf - 1] = 0;
      KstLogPrintf("krp_merge (%d) listhelp insert '%s' at #%u in front of '%s' in output names "
                   "list 0x%08x",
                   __LINE__, reinterpret_cast<char *>(f), j,
                   j <= count ? reinterpret_cast<char *>(o) : "(end)", rc);
      return rc;
    }
    ++j;
  }
  return 0;
}

// The serialised list of `h` in a new block.
uint32_t Serialise(KRP_HLIST h, void **out, uint32_t *size) {
  *out = nullptr;
  uint32_t rc = dll_KrpListhelpGetList(h, nullptr, size);
  if (rc != 0) {
    KstLogPrintf("krp_merge>mergenames (%d) getlist size ouput 0x%08x", __LINE__, rc);
    return rc;
  }
  rc = KstAllocMem(*size, 0, out, nullptr);
  if (rc != 0) {
    KstLogPrintf("krp_merge>mergenames (%d) no malloc size %u 0x%08x", __LINE__, *size, rc);
    return rc;
  }
  rc = dll_KrpListhelpGetList(h, *out, size);
  if (rc != 0) {
    KstLogPrintf("krp_merge>mergenames (%d) getlist #2 ouput 0x%08x", __LINE__, rc);
    KstFreeMem(*out, 0);
    *out = nullptr;
  }
  return rc;
}

// Encodes the list as a LIST value and writes it to `target`.
uint32_t WriteUnion(const char *target, const void *list, uint32_t size, uint32_t attr,
                    uint32_t consumer) {
  void *stored = nullptr;
  uint32_t stored_size = 0;
  uint32_t rc = KrpEncodeStoredValue(KRT_LIST, list, size, &stored, &stored_size);
  if (rc != 0) {
    KstLogPrintf("Krp_merge>mergenames (%d) createbuffer() 0x%08x", __LINE__, rc);
    return rc;
  }
  rc = KrpStoreKtsWriteMt(0, target, stored, stored_size, static_cast<uint32_t>(time(nullptr)),
                          attr | kMergeAttrMerged, consumer ? consumer : KRT_LIST);
  KstFreeMem(stored, 0);
  return rc;
}

}  // namespace

uint32_t KrpMergeIsoNames(const uint8_t *frag_value, uint32_t frag_size, const char *target) {
  const uint8_t *fpart = nullptr;
  uint32_t fsize = 0;
  if (!KrpStoredValuePart(frag_value, frag_size, &fpart, &fsize)) return 0;  // absent
  Lists lists;
  uint32_t rc = dll_KrpListhelpInit(&lists.in, nullptr);
  if (rc != 0) {
    KstLogPrintf("krp_merge (%d) listhelpinit input names list 0x%08x", __LINE__, rc);
    return rc;
  }
  rc = dll_KrpListhelpAddList(lists.in, fpart, fsize);
  if (rc != 0) {
    KstLogPrintf("krp_merge (%d) listhelp add input names list (size %u) 0x%08x", __LINE__, fsize,
                 rc);
    return rc;
  }
  void *stored = nullptr;
  uint32_t stored_size = 0, last_wr = 0, attr = 0, consumer = 0;
  rc = KrpStoreKtsReadMt(0, target, &stored, &stored_size, &last_wr, &attr, &consumer);
  if (rc != 0) {
    KstLogPrintf("krp_merge (%d) storektsreadMt(%s) 0x%08x", __LINE__, target, rc);
    return rc;
  }
  const uint8_t *opart = nullptr;
  uint32_t osize = 0;
  bool has_list =
      KrpStoredValuePart(static_cast<uint8_t *>(stored), stored_size, &opart, &osize);
  rc = dll_KrpListhelpInit(&lists.out, nullptr);
  if (rc != 0) {
    KstLogPrintf("krp_merge (%d) listhelpinit output names list 0x%08x", __LINE__, rc);
  } else if (has_list && (rc = dll_KrpListhelpAddList(lists.out, opart, osize)) != 0) {
    KstLogPrintf("krp_merge (%d) listhelp add ouput names list (size %u) 0x%08x", __LINE__,
                 osize, rc);
  } else {
    rc = UniteInto(lists.in, lists.out);
  }
  void *list = nullptr;
  uint32_t list_size = 0;
  if (rc == 0) rc = Serialise(lists.out, &list, &list_size);
  if (rc == 0 && uint64_t{stored_size} < uint64_t{list_size} + KRP_TYPE_FIELD_SIZE)
    rc = WriteUnion(target, list, list_size, attr, consumer);
  KstFreeMem(list, 0);
  KstFreeMem(stored, 0);
  return rc;
}
