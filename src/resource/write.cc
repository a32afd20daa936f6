// Writing and deleting resources: the general write and its typed forms,
// attributes, access rights and the delete, over the call's store seam.
//
// A write, in steps (each failure ends the call and nothing is written):
//   1. arguments (type, name, attribute word below 2^24, data for a size)
//   2. the name trimmed of surrounding white space and checked: a dot, not
//      at either end, at most 259 characters, at most 79 after the last dot
//   3. the process initialised; the seam obtained (one status check)
//   4. the object name: the name parsed as every reader parses it
//   5. direct mode only: the container check, so that no name becomes
//      both a value and a container
//   6. the value encoded and written with the current time (or the
//      caller's time stamp) and the attributes without bit 0x100
//      (direct mode: 5 and 6 are one guarded force write, one exclusive
//      scan of the store file, see DirectCheckedWrite)
//   7. the container's access text, when one is given, written the same way
// A direct step that finds the store file held hands over to a server that
// came up meanwhile (seam.h); the container check and the write then go
// through the server.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform.h"
#include "resource.h"
#include "seam.h"
#include "store_maint.h"
#include "ts_multi.h"

namespace {

constexpr uint32_t kAttrMax = 0xFFFFFF;
constexpr uint32_t kAttrNotStored = 0x100;
constexpr uint32_t kLastPartMax = 79;
constexpr char kAccessSuffix[] = ".access";
constexpr uint32_t kAccessSuffixLen = sizeof kAccessSuffix - 1;
// A name and its ancestors: at most one per two characters.
constexpr uint32_t kMaxAncestors = KRP_NAME_BUF / 2 + 1;

uint32_t Now() { return static_cast<uint32_t>(time(nullptr)); }

// Step 2: `name` without surrounding white space into out[KRP_NAME_BUF].
uint32_t TrimName(const char *name, char *out) {
  const size_t full = strlen(name);
  size_t b = 0, e = full;
  while (b < e && isspace(static_cast<unsigned char>(name[b]))) ++b;
  while (e > b && isspace(static_cast<unsigned char>(name[e - 1]))) --e;
  const size_t len = e - b;
  if (len > KRP_NAME_MAX) return KRP_ERR_NAME_TOO_LONG;
  memcpy(out, name + b, len);
  out[len] = 0;
  const char *last = strrchr(out, '.');
  if (!last || out[0] == '.' || out[len - 1] == '.') return KST_ERR_INVALID_PARAMETER;
  if (strlen(last + 1) > kLastPartMax) return KRP_ERR_NAME_TOO_LONG;
  return 0;
}

// names[0] = name, then its ancestors, longest first. Returns the count.
uint32_t NameAndAncestors(const char *name, char (*names)[KRP_NAME_BUF]) {
  uint32_t n = 0;
  snprintf(names[n++], KRP_NAME_BUF, "%s", name);
  for (;;) {
    char *dot = strrchr(names[n - 1], '.');
    if (!dot || n == kMaxAncestors) break;
    memcpy(names[n], names[n - 1], static_cast<size_t>(dot - names[n - 1]));
    names[n][dot - names[n - 1]] = 0;
    ++n;
  }
  return n;
}

// The container check through the server: one read-multiple request (a
// name and its ancestors always fit one block). *clash: the name itself is
// a container, or an ancestor holds a value.
uint32_t ServerClash(char (*names)[KRP_NAME_BUF], uint32_t n, bool *clash) {
  uint8_t *block = nullptr;
  uint32_t len = kTsMultiHeaderSize;
  for (uint32_t i = 0; i < n; ++i) len += TsMultiItemLength(uint32_t(strlen(names[i])));
  void *mem = nullptr;
  uint32_t rc = KstAllocMem(len, 0, &mem, nullptr);
  if (rc != 0) return rc;
  block = static_cast<uint8_t *>(mem);
  TsMultiBegin(block, n, len);
  uint8_t *item = block + kTsMultiHeaderSize;
  for (uint32_t i = 0; i < n; ++i)
    item += TsMultiPutItem(item, names[i], uint32_t(strlen(names[i])), true);
  void *data = nullptr;
  uint32_t data_size = 0;
  rc = KrpStoreKtsReadMultipleMt(0, block, &data, &data_size);
  KstFreeMem(data, 0);
  item = block + kTsMultiHeaderSize;
  for (uint32_t i = 0; rc == 0 && i < n && !*clash; ++i) {
    const TsMultiReply r = TsMultiGetReply(item);
    item += TsMultiItemLength(uint32_t(strlen(names[i])));
    if (i == 0) *clash = r.result == KRP_ERR_IS_CONTAINER;
    else *clash = r.result == 0 && r.size != 0 && r.size != kTsItemInfoOnly;
  }
  KstFreeMem(block, 0);
  return rc;
}

// The container check's answer from one scan's entries (names[0] the
// object, then its ancestors): the object has names below it and no value,
// or an ancestor holds a value.
bool Clashes(const TsForceName *asked, uint32_t n) {
  bool clash = asked[0].has_children && !asked[0].found;
  for (uint32_t i = 1; i < n && !clash; ++i) clash = asked[i].found && asked[i].size != 0;
  return clash;
}

void LogUnknowable(uint32_t rc, const char *name) {
  KstLogPrintf("krp_set (%d) getobjinfo/forced 0x%08x -> '%s' may be a container name -> "
               "aborting (some error prevents me from knowing)",
               __LINE__, rc, name);
}

// Step 5 through the server: 0 when the write may go on, else 1 (a clash,
// or a failure that prevents knowing, logged).
uint32_t CheckContainerOnServer(const char *name) {
  char names[kMaxAncestors][KRP_NAME_BUF];
  const uint32_t n = NameAndAncestors(name, names);
  bool clash = false;
  const uint32_t rc = ServerClash(names, n, &clash);
  if (clash) return 1;
  if (rc != 0 && rc != KRP_ERR_IS_CONTAINER) {
    LogUnknowable(rc, name);
    return 1;
  }
  return 0;
}

struct GuardState {
  bool asked = false;
};

// Asked by the guarded force write after its scan, before it writes.
uint32_t ContainerGuard(const TsForceName *asked, uint32_t n, void *ctx) {
  static_cast<GuardState *>(ctx)->asked = true;
  return Clashes(asked, n) ? 1 : 0;
}

// Direct mode, steps 5 and 6 in one: the container check and the write in
// one exclusive scan of the store file, so the answer cannot go stale
// between them and the file is opened and scanned once, not twice. A file
// held by a server that came up hands both over to it.
uint32_t DirectCheckedWrite(KrpStoreSeam *seam, const char *object, const KrpWriteValue &v) {
  char names[kMaxAncestors][KRP_NAME_BUF];
  const uint32_t n = NameAndAncestors(object, names);
  TsForceName asked[kMaxAncestors];
  for (uint32_t i = 0; i < n; ++i) asked[i] = TsForceName{names[i], false, false, 0, 0, 0, 0};
  void *stored = nullptr;
  uint32_t size = 0;
  uint32_t rc = KrpEncodeStoredValue(v.type, v.data, v.size, &stored, &size);
  if (rc != 0) return rc;
  KstScrambleData(KST_SCRAMBLE_KEY, stored, size);
  uint32_t last_wr = v.timestamp, attr = v.attr, consumer = v.type;
  GuardState guard;
  rc = StoreForceWriteGuarded(nullptr, object, stored, &size, &last_wr, &attr, &consumer, asked,
                              n, ContainerGuard, &guard);
  MtFeedPublishDirect(object);  // as every write on the file itself (seam_direct.cc)
  if (!guard.asked && KrpSeamFileHeld(rc)) {
    KstUnscrambleData(KST_SCRAMBLE_KEY, stored, size);
    rc = KrpSeamHandOver(seam, object);
    if (rc != 0) LogUnknowable(rc, object);
    rc = rc != 0 ? 1 : CheckContainerOnServer(object);
    if (rc == 0) rc = seam->ops->write(seam, object, stored, size, v.timestamp, v.attr, v.type);
  } else if (!guard.asked && rc != 0 && rc != KRP_ERR_NAME_TOO_LONG) {
    // The check could not be answered. A name too long for the file's
    // version is the write's own refusal, reported as such.
    LogUnknowable(rc, object);
    rc = 1;
  }
  KstFreeMem(stored, 0);
  return rc;
}

// Step 7: the access text of the object's container.
uint32_t WriteAccess(KrpStoreSeam *seam, const char *object, const char *access, uint32_t attr,
                     uint32_t stamp) {
  const char *dot = strrchr(object, '.');
  if (!dot) {
    KstLogPrintf("krp_set (%d) WARNING, ERROR! You are attempting to set access rights that "
                 "will affect the entire store (setting access for '%s')",
                 __LINE__, object);
    return 1;
  }
  const size_t clen = static_cast<size_t>(dot - object);
  if (clen + kAccessSuffixLen >= KRP_NAME_BUF) return KRP_ERR_NAME_TOO_LONG;
  char aname[KRP_NAME_BUF];
  memcpy(aname, object, clen);
  memcpy(aname + clen, kAccessSuffix, kAccessSuffixLen + 1);
  const uint32_t alen = static_cast<uint32_t>(strnlen(access, 2));
  const char text[3] = {access[0], alen > 1 ? access[1] : '\0', 0};
  const KrpWriteValue v{KRT_TEXT, text, alen + 1, attr, stamp};
  return KrpWriteEncoded(seam, aname, v);
}

enum class Stamp { kNow, kFromRecord };

// The general write (see the steps at the top).
uint32_t SetResource(uint32_t type, const char *name, uint32_t size, const void *data,
                     const KrpAttributes *attrs, const char *access, Stamp stamp) {
  if (type == 0 || !name) return KST_ERR_INVALID_PARAMETER;
  if (!name[0]) return KRP_ERR_NOT_FOUND;
  if (type == KRP_TYPE_ANY) return KRP_ERR_WRONG_TYPE;
  if (type == KRP_TYPE_CONTAINER) return KST_ERR_INVALID_PARAMETER;
  if (attrs && attrs->attributes > kAttrMax) return KST_ERR_INVALID_PARAMETER;
  if (size != 0 && !data) return KST_ERR_INVALID_PARAMETER;
  char trimmed[KRP_NAME_BUF];
  uint32_t rc = TrimName(name, trimmed);
  if (rc != 0) return rc;
  KrpStoreSeam seam;
  // The object's name is the plain name: no locale enters it.
  rc = KrpResourceInitInternal(&seam, "zz", false);
  if (rc != 0) return rc;
  if (KrpIsHttpName(trimmed)) return 1;
  if (stamp == Stamp::kFromRecord && seam.direct) return KRP_ERR_NO_SERVER;
  char cur[KRP_LOCALE_BUF], object[KRP_NAME_BUF];
  KrpCurrentLocale(cur);
  if (KrpBuildLookupNames(trimmed, type, "zz", cur, nullptr, object, nullptr) != 0 || !object[0])
    return 1;
  const uint32_t attr = attrs ? attrs->attributes & ~kAttrNotStored : 0;
  const uint32_t ts = (stamp == Stamp::kFromRecord && attrs) ? attrs->timestamp : Now();
  const KrpWriteValue value{type, data, size, attr, ts};
  rc = seam.direct ? DirectCheckedWrite(&seam, object, value)
                   : KrpWriteEncoded(&seam, object, value);
  if (rc == 0 && access && access[0]) rc = WriteAccess(&seam, object, access, attr, ts);
  return rc;
}

}  // namespace

extern "C" KRP_API uint32_t dll_KrpSetResource(uint32_t type, const char *name, uint32_t size,
                                               const void *data, const KrpAttributes *attrs,
                                               const char *access) {
  return SetResource(type, name, size, data, attrs, access, Stamp::kNow);
}

extern "C" KRP_API uint32_t dll_KrpSetResourceWithTimestamp(uint32_t type, const char *name,
                                                            uint32_t size, const void *data,
                                                            const KrpAttributes *attrs,
                                                            const char *access) {
  return SetResource(type, name, size, data, attrs, access, Stamp::kFromRecord);
}

extern "C" KRP_API uint32_t dll_KrpSetString(const char *name, uint32_t size, const char *data,
                                             const KrpAttributes *attrs, const char *access) {
  return dll_KrpSetResource(KRT_TEXT, name, size, data, attrs, access);
}

extern "C" KRP_API uint32_t dll_KrpSetImage(const char *name, uint32_t size, const void *data,
                                            const KrpAttributes *attrs, const char *access) {
  return dll_KrpSetResource(KRT_IMAGE, name, size, data, attrs, access);
}

extern "C" KRP_API uint32_t dll_KrpSetList(const char *name, uint32_t size, const void *data,
                                           const KrpAttributes *attrs, const char *access) {
  return dll_KrpSetResource(KRT_LIST, name, size, data, attrs, access);
}

extern "C" KRP_API uint32_t dll_KrpSetInteger(const char *name, int32_t value,
                                              const KrpAttributes *attrs, const char *access) {
  char text[68];
  const int n = snprintf(text, sizeof text, "%d", value);
  return dll_KrpSetResource(KRT_INTEGER, name, static_cast<uint32_t>(n), text, attrs, access);
}

extern "C" KRP_API uint32_t dll_KrpSetUTC(const char *name, uint32_t value,
                                          const KrpAttributes *attrs, const char *access) {
  char text[68];
  const int n = snprintf(text, sizeof text, "%u", value);
  return dll_KrpSetResource(KRT_UTC, name, static_cast<uint32_t>(n), text, attrs, access);
}

extern "C" KRP_API uint32_t dll_KrpSetBoolean(const char *name, uint32_t value,
                                              const KrpAttributes *attrs, const char *access) {
  return value ? dll_KrpSetResource(KRT_BOOLEAN, name, 4, "true", attrs, access)
               : dll_KrpSetResource(KRT_BOOLEAN, name, 5, "false", attrs, access);
}

// Rewrites the value that the name itself holds, or for a "vendor." name
// its default counterpart's (the rewrite then creates the vendor's own
// copy); never a localized variant, which is a different resource.
extern "C" KRP_API uint32_t dll_KrpSetResourceAttributes(const char *name,
                                                         const KrpAttributes *attrs) {
  if (!attrs || !name) return KST_ERR_INVALID_PARAMETER;
  KrpStoreSeam seam;
  uint32_t rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  KrpLookupNames set;
  rc = KrpBuildLookupSet(name, KRP_TYPE_ANY, "00", "00", &set);
  if (rc != 0) return rc;
  set.slots[KRP_SLOT_LOCALIZED][0] = set.slots[KRP_SLOT_DEFAULT_LOCALIZED][0] = 0;
  const KrpNameList list = KrpNonEmptySlots(set);
  uint32_t size = 0, type = 0;
  void *value = nullptr;
  KrpReadOut out;
  out.type = KRP_TYPE_ANY;
  out.size = &size;
  out.alloc = &value;
  out.type_out = &type;
  rc = seam.ops->read_first(&seam, list.names, list.slot_of, list.count, &out);
  if (rc == KRP_ERR_IS_CONTAINER || type == KRP_TYPE_CONTAINER) rc = KRP_ERR_WRONG_TYPE;
  if (rc == 0) rc = dll_KrpSetResource(type, name, size, value, attrs, nullptr);
  KstFreeMem(value, 0);
  return rc;
}

extern "C" KRP_API uint32_t dll_KrpSetAccess(const char *name, const char *access,
                                             const KrpAttributes *attrs) {
  if (!access || !access[0] || strnlen(access, 3) > 2 || !name) return KST_ERR_INVALID_PARAMETER;
  KrpStoreSeam seam;
  uint32_t rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  KrpObjectInfo info;
  rc = KrpQueryObjectInfo(&seam, name, &info);
  if (rc != 0 && rc != KRP_ERR_IS_CONTAINER) return rc;
  if (info.type != KRP_TYPE_CONTAINER) {
    KstLogPrintf("krp_set (%d) SetAccess must be applied at container level (%s)", __LINE__, name);
    return KRP_ERR_WRONG_TYPE;
  }
  char aname[KRP_NAME_BUF + kAccessSuffixLen + 1];
  const size_t len = strnlen(name, KRP_NAME_BUF);
  if (len + kAccessSuffixLen > KRP_NAME_MAX) return KRP_ERR_NAME_TOO_LONG;
  memcpy(aname, name, len);
  memcpy(aname + len, kAccessSuffix, kAccessSuffixLen + 1);
  const uint32_t alen = static_cast<uint32_t>(strnlen(access, 2));
  return dll_KrpSetResource(KRT_TEXT, aname, alen + 1, access, attrs, nullptr);
}

extern "C" KRP_API uint32_t dll_KrpDeleteResource(uint32_t type, const char *name) {
  if (type == 0 || type == KRP_TYPE_ANY || !name) return KST_ERR_INVALID_PARAMETER;
  if (KrpIsHttpName(name)) return KST_ERR_NOT_SUPPORTED;
  KrpStoreSeam seam;
  uint32_t rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  if (seam.direct) {
    KstLogPrintf("krp_kts(%d) you need a running service provider (haldo) to delete '%s' "
                 "(0x%08x)",
                 __LINE__, name, KRP_ERR_NO_SERVER);
    return KRP_ERR_NO_SERVER;
  }
  char cur[KRP_LOCALE_BUF], object[KRP_NAME_BUF], pattern[KRP_NAME_BUF];
  KrpCurrentLocale(cur);
  rc = KrpBuildLookupNames(name, KRP_TYPE_ANY, "zz", cur, nullptr, object, pattern);
  if (rc != 0) return rc;
  if (!object[0]) return KST_ERR_INVALID_PARAMETER;
  TsObjectInfo info{};
  rc = KrpStoreKtsGetObjectInfoMt(0, object, &info);
  if (rc == 0) return info.consumer == type ? seam.ops->remove(&seam, object) : KRP_ERR_WRONG_TYPE;
  if (rc == KRP_ERR_IS_CONTAINER)
    return type == KRP_TYPE_CONTAINER ? seam.ops->remove(&seam, pattern) : KRP_ERR_WRONG_TYPE;
  return rc;
}
