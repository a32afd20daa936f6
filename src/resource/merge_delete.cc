// What a merge removes from the store: the fragment's delete list (flag
// 0x8) and the "use_defaults" clearing of the defaults policy.
//
// Delete list: "__system.delete_list", a stored value whose part after the
// 16-byte type field is a serialised list of full names. A value of 16 bytes
// or less holds no list: nothing to do. Each name is deleted through the
// service; a name that is not there is no failure. An item ending in "*"
// deletes by prefix only in the form "<container>.*" with at least one
// character before the dot; "*" alone and every other pattern are refused
// and logged, so no fragment can empty the store.
//
// "use_defaults" clearing: for each vendor V of the fragment's "vendor.*"
// that carries vendor.V.use_defaults, V qualifies when the store's
// vendor.V.iso_names holds a list (at least 10 bytes after its type field)
// and the second character of vendor.V.access, in the fragment or in the
// store, is "r". Each vendor is decided on its own. For a qualifying vendor
// every name of the store's list but access values is deleted, from the
// last to the first; a pattern (a name ending in "*") in that list is never
// deleted: the list names values, and it may have come from a fragment.
#include <cstdio>
#include <cstring>

#include "krplib.h"
#include "list_format.h"
#include "merge_internal.h"
#include "mtclient.h"

namespace {

// First read of the delete list.
constexpr uint32_t kDeleteListFirstRead = 2599;
// First read of the vendor listing.
constexpr uint32_t kVendorListingFirstRead = 512;
// Longest vendor name that is looked at.
constexpr uint32_t kMaxVendorName = 236;
// Shortest list part of a store's iso_names that counts as a list.
constexpr uint32_t kMinIsoNamesList = 10;
constexpr char kVendorListing[] = "vendor.*";
constexpr char kAccessComponent[] = "access";

// Copies a list item into a name buffer: false when it cannot be a name
// (259 characters or more, or a zero byte inside).
bool ItemToName(const KrpListItemRef &item, char *name) {
  if (item.len >= KRP_NAME_MAX || memchr(item.data, 0, item.len)) return false;
  memcpy(name, item.data, item.len);
  name[item.len] = 0;
  return true;
}

// "<container>.*" with at least one character before the dot.
bool IsContainerPattern(const char *name) {
  size_t len = strlen(name);
  return len >= 3 && name[len - 1] == '*' && name[len - 2] == '.';
}

bool IsPattern(const char *name) {
  size_t len = strlen(name);
  return len > 0 && name[len - 1] == '*';
}

uint32_t DeleteListedName(const char *name) {
  if (IsPattern(name) && !IsContainerPattern(name)) {
    KstLogPrintf("krp (%d) delete item '%s' in delete list refused: only '<container>.*' "
                 "deletes by prefix 0x%08x",
                 __LINE__, name, KST_ERR_INVALID_PARAMETER);
    return 0;
  }
  uint32_t rc = KrpStoreKtsDeleteMt(0, name);
  if (rc == KRP_ERR_NOT_FOUND) return 0;
  if (rc != 0)
    KstLogPrintf("krp (%d) delete item '%s' in delete list from Store 0x%08x", __LINE__, name, rc);
  return rc;
}

// The second character of an access value's text is `c`.
bool AccessSecondIs(const uint8_t *stored, uint32_t size, char c) {
  const uint8_t *text = nullptr;
  uint32_t len = 0;
  return KrpStoredValuePart(stored, size, &text, &len) && len >= 2 && text[1] == c;
}

// Deletes the names of the store's iso_names list part, last first.
uint32_t ClearVendorNames(const uint8_t *list, uint32_t size) {
  KRP_HLIST h = nullptr;
  uint32_t rc = dll_KrpListhelpInit(&h, nullptr);
  if (rc != 0) return rc;
  uint32_t count = 0;
  rc = dll_KrpListhelpAddList(h, list, size);
  if (rc == KST_ERR_INVALID_PARAMETER) rc = KRP_ERR_MALFORMED_VALUE;
  if (rc == 0) rc = dll_KrpListhelpGetCount(h, &count);
  for (uint32_t i = count; rc == 0 && i >= 1; --i) {
    char name[KRP_NAME_BUF];
    uint32_t len = KRP_NAME_MAX;
    rc = dll_KrpListhelpGetItem(h, i, name, &len);
    if (rc == KST_ERR_BUFFER_TOO_SMALL) {
      rc = 0;  // longer than any name: nothing of that name exists
      continue;
    }
    if (rc != 0) break;
    name[len] = 0;
    if (strlen(name) != len || IsPattern(name) || KrpLastComponentIs(name, kAccessComponent))
      continue;
    rc = KrpStoreKtsDeleteMt(0, name);
    if (rc == KRP_ERR_NOT_FOUND) rc = 0;
  }
  dll_KrpListhelpExit(&h);
  return rc;
}

// Reads a store value through the service. *data null and *size 0 when
// missing.
uint32_t ReadStoreValue(const char *name, uint8_t **data, uint32_t *size) {
  void *p = nullptr;
  uint32_t last_wr = 0, attr = 0, consumer = 0;
  uint32_t rc = KrpStoreKtsReadMt(0, name, &p, size, &last_wr, &attr, &consumer);
  *data = static_cast<uint8_t *>(p);
  if (rc != 0 || !p) *size = 0;
  return rc == KRP_ERR_NOT_FOUND ? 0 : rc;
}

// One vendor of the clearing. 0 also when the vendor is passed over.
uint32_t ClearVendor(TsStore *frag, const char *vendor) {
  // Vendors are at most 236 characters: every name fits 259; the buffers
  // are sized for any text so that no name is ever cut.
  char marker[2 * KRP_NAME_BUF], iso[2 * KRP_NAME_BUF], access[2 * KRP_NAME_BUF];
  snprintf(marker, sizeof marker, "vendor.%s.%s", vendor, "use_defaults");
  snprintf(iso, sizeof iso, "vendor.%s.%s", vendor, "iso_names");
  snprintf(access, sizeof access, "vendor.%s.%s", vendor, "access");
  TsObjectInfo info{};
  if (StoreGetObjectInfo(frag, marker, &info) != 0) return 0;

  uint8_t *store_iso = nullptr, *store_access = nullptr, *frag_access = nullptr;
  uint32_t iso_size = 0, store_access_size = 0, frag_access_size = 0;
  uint32_t rc = ReadStoreValue(iso, &store_iso, &iso_size);
  if (rc == 0) rc = ReadStoreValue(access, &store_access, &store_access_size);
  if (rc == 0)
    rc = KrpFragmentRead(frag, access, KRP_NAME_BUF, &frag_access, &frag_access_size);
  if (rc == KRP_ERR_NOT_FOUND || rc == KRP_ERR_IS_CONTAINER) rc = 0;
  const uint8_t *list = nullptr;
  uint32_t list_size = 0;
  bool all_there = iso_size && store_access_size && frag_access_size;
  if (rc == 0 && all_there && KrpStoredValuePart(store_iso, iso_size, &list, &list_size) &&
      list_size >= kMinIsoNamesList &&
      (AccessSecondIs(frag_access, frag_access_size, 'r') ||
       AccessSecondIs(store_access, store_access_size, 'r'))) {
    rc = ClearVendorNames(list, list_size);
  }
  KstFreeMem(store_iso, 0);
  KstFreeMem(store_access, 0);
  KstFreeMem(frag_access, 0);
  return rc;
}

}  // namespace

uint32_t KrpMergeApplyDeleteList(TsStore *frag) {
  uint8_t *stored = nullptr;
  uint32_t size = 0;
  uint32_t rc = KrpFragmentRead(frag, kFragmentDeleteList, kDeleteListFirstRead, &stored, &size);
  const uint8_t *list = nullptr;
  uint32_t list_size = 0;
  if (rc == 0 && KrpStoredValuePart(stored, size, &list, &list_size) && list_size > 0) {
    KrpListReader reader;
    KrpListReaderInit(&reader, list, list_size);
    KrpListItemRef item;
    uint32_t next = 0;
    while (rc == 0 && (next = KrpListReaderNext(&reader, &item)) == 0) {
      if (item.len == 0) continue;
      char name[KRP_NAME_BUF];
      rc = ItemToName(item, name) ? DeleteListedName(name) : KRP_ERR_MALFORMED_VALUE;
    }
    if (rc == 0 && next == KST_ERR_INVALID_PARAMETER) rc = KRP_ERR_MALFORMED_VALUE;
  }
  if (rc == KRP_ERR_IS_CONTAINER) rc = 0;  // a container of that name holds no list
  KstFreeMem(stored, 0);
  return rc;
}

uint32_t KrpMergeClearUseDefaults(TsStore *frag) {
  uint8_t *listing = nullptr;
  uint32_t size = 0;
  uint32_t rc = KrpFragmentRead(frag, kVendorListing, kVendorListingFirstRead, &listing, &size);
  if (rc == 0 && size > 0) {
    KrpListReader reader;
    KrpListReaderInit(&reader, listing, size);
    KrpListItemRef item;
    uint32_t next = 0;
    while (rc == 0 && (next = KrpListReaderNext(&reader, &item)) == 0) {
      char vendor[KRP_NAME_BUF];
      if (item.len == 0 || item.len > kMaxVendorName || !ItemToName(item, vendor)) continue;
      rc = ClearVendor(frag, vendor);
    }
    if (rc == 0 && next == KST_ERR_INVALID_PARAMETER) rc = KRP_ERR_MALFORMED_VALUE;
  }
  KstFreeMem(listing, 0);
  return rc;
}
