// Access rights: the nearest "<ancestor>.access" TEXT value of a name, and
// the object information of a name; both over the call's store seam.
#include <cstring>

#include "platform.h"
#include "resource.h"

namespace {

constexpr uint32_t kAccessSuffixLen = 7;  // ".access"
constexpr uint32_t kAccessNameMax = 260;

// findAccessValue: the walk from the name itself up to its first component.
// Stops at the first result other than 0x370001 in both modes.
uint32_t FindAccessValue(KrpStoreSeam *seam, const char *name, char *access) {
  if (!name || !access) return KST_ERR_INVALID_PARAMETER;
  size_t len = strnlen(name, kAccessNameMax + 1);
  if (len > kAccessNameMax) return KST_ERR_INVALID_PARAMETER;
  char cur[kAccessNameMax + 1];
  memcpy(cur, name, len);
  cur[len] = 0;
  // Cut whole components until the access name fits a lookup buffer (no
  // longer access name can exist in the store).
  while (len + kAccessSuffixLen > KRP_NAME_MAX) {
    char *dot = strrchr(cur, '.');
    if (!dot) return KST_ERR_INVALID_PARAMETER;
    *dot = 0;
    len = static_cast<size_t>(dot - cur);
  }
  // At most 130 components fit 260 characters.
  static constexpr uint32_t kMaxNames = kAccessNameMax / 2 + 1;
  char names[kMaxNames][KRP_NAME_BUF];
  uint32_t n = 0;
  while (len > 0 && n < kMaxNames) {
    memcpy(names[n], cur, len);
    memcpy(names[n] + len, ".access", kAccessSuffixLen + 1);
    ++n;
    char *dot = strrchr(cur, '.');
    if (!dot) break;
    *dot = 0;
    len = static_cast<size_t>(dot - cur);
  }
  // Every access name in one request (server) or one scan (direct).
  char buf[KRP_LOCALE_BUF] = {0, 0, 0};
  uint32_t size = KRP_LOCALE_BUF;
  KrpReadOut out;
  out.type = KRT_TEXT;
  out.size = &size;
  out.buffer = buf;
  const char *list[kMaxNames];
  uint32_t slot_of[kMaxNames];
  for (uint32_t i = 0; i < n; ++i) {
    list[i] = names[i];
    slot_of[i] = KRP_SLOT_PLAIN;
  }
  uint32_t rc = seam->ops->read_first(seam, list, slot_of, n, &out);
  char value[KRP_LOCALE_BUF] = {0, 0, 0};
  if (rc == 0) {
    // Up to two characters; the stored terminator (if any) is not counted.
    uint32_t l = static_cast<uint32_t>(strnlen(buf, size < 3 ? size : 3));
    if (l > 2) return KST_ERR_BUFFER_TOO_SMALL;
    memcpy(value, buf, l);
    value[l] = 0;
    memcpy(access, value, KRP_LOCALE_BUF);
  }
  return rc;
}

// A read of any type that asks for the object's words, not its value.
KrpReadOut WordsOnly(uint32_t *size, KrpAttributes *attrs, char *access) {
  KrpReadOut out;
  out.type = KRP_TYPE_ANY;
  out.size = size;
  out.want_value = false;
  out.attrs = attrs;
  out.access = access;
  return out;
}

}  // namespace

uint32_t KrpQueryObjectInfo(KrpStoreSeam *seam, const char *name, KrpObjectInfo *info) {
  if (!seam || !name || !info) return KST_ERR_INVALID_PARAMETER;
  *info = KrpObjectInfo{0, 0, 0, 0, 0};
  if (!name[0]) {
    info->type = KRP_TYPE_CONTAINER;
    return KRP_ERR_IS_CONTAINER;
  }
  if (KrpIsHttpName(name)) {
    KstLogPrintf("krp (%d) sorry, no can do over http (%.260s)", __LINE__, name);
    return KST_ERR_INVALID_PARAMETER;
  }
  char loc[KRP_LOCALE_BUF];
  KrpCurrentLocale(loc);
  KrpLookupNames names;
  uint32_t rc = KrpBuildLookupSet(name, KRP_TYPE_ANY, loc, loc, &names);
  if (rc != 0) return rc;
  const KrpNameList list = KrpNonEmptySlots(names);
  uint32_t size = 0, type = 0;
  KrpAttributes attrs{0, 0};
  char acc[KRP_LOCALE_BUF] = {0, 0, 0};
  KrpReadOut out = WordsOnly(&size, &attrs, acc);
  out.type_out = &type;
  rc = seam->ops->read_first(seam, list.names, list.slot_of, list.count, &out);
  if (rc == KRP_ERR_IS_CONTAINER) {
    info->type = KRP_TYPE_CONTAINER;
    return rc;
  }
  if (rc != 0) return rc;
  info->size = size;
  info->type = type;
  info->attributes = attrs.attributes;
  info->timestamp = attrs.timestamp;
  info->localized = acc[0] ? KRP_INFO_LOCALIZED : 0;
  return 0;
}

namespace {

// The existence result E of the name: 0 it exists in its own right (or is a
// container), 0x370001 it does not or only its default counterpart does.
// A localized find ends the access lookup at once with "wr" (*done).
uint32_t Existence(KrpStoreSeam *seam, const char *name, char *access, bool *done) {
  KrpObjectInfo info;
  uint32_t e = KrpQueryObjectInfo(seam, name, &info);
  *done = false;
  if (e == KRP_ERR_IS_CONTAINER) return 0;
  if (e != 0) return e;
  const bool from_default = (info.attributes & KRP_ATTR_FROM_DEFAULT) != 0;
  if (info.localized == KRP_INFO_LOCALIZED) {
    memcpy(access, "wr", 3);
    *done = true;
  }
  return from_default ? KRP_ERR_NOT_FOUND : 0;
}

}  // namespace

uint32_t KrpGetAccessInternal(KrpStoreSeam *seam, const char *name, char *access,
                              const uint32_t *known) {
  access[0] = 0;
  if (KrpIsHttpName(name)) return KST_ERR_NOT_SUPPORTED;
  size_t len = strnlen(name, kAccessNameMax + 1);
  if (len > kAccessNameMax) return KRP_ERR_NAME_TOO_LONG;
  if (len == 0) {
    memcpy(access, "rr", 3);
    return 0;
  }
  const char *rest = name;
  if (KrpNameHasPrefix(name, "kts:")) {
    rest = name + 4;
    if (!rest[0]) {
      memcpy(access, "rr", 3);
      return 0;
    }
  }
  uint32_t e;
  if (known) {
    e = *known;
  } else {
    bool done = false;
    e = Existence(seam, name, access, &done);
    if (done) return e;
  }
  if (e != 0 && e != KRP_ERR_NOT_FOUND) return e;
  uint32_t w = FindAccessValue(seam, rest, access);
  if (w == KRP_ERR_NOT_FOUND && KrpNameHasPrefix(rest, "vendor.")) {
    char def[KRP_NAME_BUF + 8];
    size_t rl = strnlen(rest + 7, KRP_NAME_BUF);
    if (rl + 8 <= kAccessNameMax) {
      memcpy(def, "default.", 8);
      memcpy(def + 8, rest + 7, rl);
      def[8 + rl] = 0;
      w = FindAccessValue(seam, def, access);
    }
  }
  if (w == 0) return e;
  access[0] = 0;
  return w;
}

extern "C" KRP_API uint32_t dll_KrpGetAccess(const char *name, char *access) {
  if (!name || !access) return KST_ERR_INVALID_PARAMETER;
  access[0] = 0;
  if (KrpIsHttpName(name)) return KST_ERR_NOT_SUPPORTED;
  if (strnlen(name, kAccessNameMax + 1) > kAccessNameMax) return KRP_ERR_NAME_TOO_LONG;
  if (!name[0]) {
    memcpy(access, "rr", 3);
    return 0;
  }
  KrpStoreSeam seam;
  uint32_t rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  return KrpGetAccessInternal(&seam, name, access);
}
