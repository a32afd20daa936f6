// The walk over a fragment's names and the passes of the merge policies.
//
// A walk starts at the top ("*"), reads the child listing of every name
// (the engine's "name.*" read) and descends; a name without children is a
// resource, which the pass decides to write or not:
//
//   pass 0  access values only
//   pass 1  access values; any other value unless the target's access text
//           has "w" in its second place and the value lacks bit 0x100
//   pass 2  every value
//   pass 4  values whose target is missing or older (LastWr)
//
// "iso_names" lists (passes 1, 2 and 4) are united with the store's list
// instead (merge_names.cc). Names under "__system" and names whose last
// component is "use_defaults" are the fragment's own and never written.
//
// Target name T of a fragment name N:
//   flag 0x1000   recorded prefix + N
//   otherwise     N without "<strip>." (N must begin with it and be longer),
//                 then "<new>." in front when a new prefix is given
// Every composed name is length-checked (at most 259 characters) before it
// is copied.
#include <cstring>

#include "krplib.h"
#include "list_format.h"
#include "merge_internal.h"
#include "mtclient.h"

namespace {

// First read sizes of a listing and of a value.
constexpr uint32_t kListingFirstRead = 512;
constexpr uint32_t kValueFirstRead = 513;
// The text of an access value.
constexpr char kAccessComponent[] = "access";
constexpr char kUseDefaultsComponent[] = "use_defaults";
constexpr char kIsoNamesComponent[] = "iso_names";
// Assumed when the target has no access text (or it cannot be read).
constexpr char kAssumedAccess[] = "wr";
// The listing pattern's suffix and the top's pattern.
constexpr char kChildPattern[] = ".*";
constexpr char kTopPattern[] = "*";

bool PassedOver(const char *name) {
  return strncmp(name, kFragmentSystemPrefix, sizeof kFragmentSystemPrefix - 1) == 0 ||
         KrpLastComponentIs(name, kUseDefaultsComponent);
}

// N begins with "<strip>." and is longer than that.
bool HasStripPrefix(const char *name, const char *strip, size_t strip_len) {
  return strncmp(name, strip, strip_len) == 0 && name[strip_len] == '.' &&
         name[strip_len + 1] != 0;
}

// The length the target of a name (or of the names below a container) has
// at least, without refusing names outside the strip prefix: those are
// refused where a resource is renamed.
size_t TargetLength(const KrpMergeRun *run, const char *name) {
  size_t len = strlen(name);
  if (run->full_names) return strlen(run->recorded) + len;
  size_t strip_len = strlen(run->strip);
  if (strip_len && HasStripPrefix(name, run->strip, strip_len)) len -= strip_len + 1;
  return *run->new_prefix ? strlen(run->new_prefix) + 1 + len : len;
}

bool DecideByAccess(const char *target, uint32_t attr) {
  char access[KRP_LOCALE_BUF] = {0};
  if (dll_KrpGetAccess(target, access) != 0) memcpy(access, kAssumedAccess, sizeof access);
  return access[1] != 'w' || (attr & kMergeAttrMerged) != 0;
}

// Whether pass `pass` writes the value of N to T (N is not an iso_names
// list). 0, or the failure of the object information.
uint32_t Decide(uint32_t pass, bool is_access, const char *target, uint32_t last_wr,
                uint32_t attr, bool *write) {
  *write = false;
  switch (pass) {
    case kPassAccess:
      *write = is_access;
      return 0;
    case kPassRespect:
      *write = is_access || DecideByAccess(target, attr);
      return 0;
    case kPassNewer: {
      TsObjectInfo info{};
      uint32_t rc = KrpStoreKtsGetObjectInfoMt(0, target, &info);
      if (rc == KRP_ERR_NOT_FOUND) {
        *write = true;
        return 0;
      }
      if (rc != 0) return rc;
      *write = info.last_wr < last_wr;
      return 0;
    }
    default:
      *write = true;
      return 0;
  }
}

uint32_t ReadFragmentValue(TsStore *frag, const char *name, uint8_t **value, uint32_t *size,
                           uint32_t *last_wr, uint32_t *attr, uint32_t *consumer) {
  uint32_t rc = KrpFragmentRead(frag, name, kValueFirstRead, value, size, last_wr, attr, consumer);
  if (rc != 0) {
    KstLogPrintf("krp_merge (%d) storektsread(%s) 0x%08x", __LINE__, name, rc);
    return rc;
  }
  if (*size == 0) {
    KstLogPrintf("krp_merge (%d) storektsread(%s) not found even though in list?! 0x%08x",
                 __LINE__, name, KRP_ERR_NOT_FOUND);
    return KRP_ERR_NOT_FOUND;
  }
  return 0;
}

uint32_t MergeResource(const KrpMergeRun *run, const char *name) {
  char target[KRP_NAME_BUF];
  uint32_t rc = KrpMergeTargetName(run, name, target);
  if (rc != 0) return rc;
  bool is_access = KrpLastComponentIs(name, kAccessComponent);
  if (run->pass == kPassAccess && !is_access) return 0;

  uint8_t *value = nullptr;
  uint32_t size = 0, last_wr = 0, attr = 0, consumer = 0;
  rc = ReadFragmentValue(run->frag, name, &value, &size, &last_wr, &attr, &consumer);
  if (rc != 0) return rc;
  if (run->pass != kPassAccess && KrpLastComponentIs(name, kIsoNamesComponent, true)) {
    rc = KrpMergeIsoNames(value, size, target);
  } else {
    bool write = false;
    rc = Decide(run->pass, is_access, target, last_wr, attr, &write);
    if (rc == 0 && write)
      rc = KrpStoreKtsWriteMt(0, target, value, size, last_wr, attr | kMergeAttrMerged, consumer);
  }
  KstFreeMem(value, 0);
  return rc;
}

uint32_t Walk(const KrpMergeRun *run, const char *name);

// Walks every child of the listing `list` (unscrambled engine listing).
uint32_t WalkChildren(const KrpMergeRun *run, const char *name, const uint8_t *list,
                      uint32_t size) {
  KrpListReader reader;
  KrpListReaderInit(&reader, list, size);
  KrpListItemRef item;
  uint32_t rc = 0;
  size_t name_len = strlen(name);
  uint32_t next = 0;
  while (rc == 0 && (next = KrpListReaderNext(&reader, &item)) == 0) {
    // An empty item below the top is the name "N." (a name ending in "."),
    // longer than N; at the top it would be the top again.
    if (item.len == 0 && name_len == 0) continue;
    if (item.len >= KRP_NAME_MAX || memchr(item.data, 0, item.len)) {
      rc = KRP_ERR_MALFORMED_VALUE;
      break;
    }
    char child[KRP_NAME_BUF];
    size_t child_len = name_len ? name_len + 1 + item.len : item.len;
    if (child_len > KRP_NAME_MAX) {
      rc = KRP_ERR_NAME_TOO_LONG;
      break;
    }
    if (name_len) {
      memcpy(child, name, name_len);
      child[name_len] = '.';
      memcpy(child + name_len + 1, item.data, item.len);
    } else {
      memcpy(child, item.data, item.len);
    }
    child[child_len] = 0;
    rc = Walk(run, child);
  }
  if (rc != 0) return rc;
  return next == KST_ERR_INVALID_PARAMETER ? KRP_ERR_MALFORMED_VALUE : 0;
}

uint32_t Walk(const KrpMergeRun *run, const char *name) {
  if (PassedOver(name)) return 0;
  if (TargetLength(run, name) > KRP_NAME_MAX) return KRP_ERR_NAME_TOO_LONG;
  // Most names are resources: the index's container test (a lookup in its
  // group map) tells that nothing lies below N, which is exactly when the
  // listing "N.*" would be empty, without the listing walk. A name ending in
  // "." is left to the listing read, which alone reads it exactly.
  size_t len = strlen(name);
  if (len && name[len - 1] != '.' &&
      !TsContainerTest(&run->frag->index, name, static_cast<uint32_t>(len)))
    return MergeResource(run, name);
  char pattern[KRP_NAME_BUF + sizeof kChildPattern];
  if (len) {
    memcpy(pattern, name, len);
    memcpy(pattern + len, kChildPattern, sizeof kChildPattern);
  } else {
    memcpy(pattern, kTopPattern, sizeof kTopPattern);
  }
  uint8_t *list = nullptr;
  uint32_t size = 0;
  uint32_t rc = KrpFragmentRead(run->frag, pattern, kListingFirstRead, &list, &size);
  if (rc != 0) return rc;
  if (size > 0) {
    rc = WalkChildren(run, name, list, size);
  } else if (*name) {
    rc = MergeResource(run, name);
  }
  KstFreeMem(list, 0);
  return rc;
}

uint32_t RunPass(KrpMergeRun *run, uint32_t pass) {
  run->pass = pass;
  return Walk(run, "");
}

}  // namespace

uint32_t KrpMergeTargetName(const KrpMergeRun *run, const char *name, char *out) {
  const char *first = "";
  const char *sep = "";
  const char *rest = name;
  if (run->full_names) {
    first = run->recorded;
  } else {
    size_t strip_len = strlen(run->strip);
    if (strip_len) {
      if (!HasStripPrefix(name, run->strip, strip_len)) return KST_ERR_INVALID_PARAMETER;
      rest = name + strip_len + 1;
    }
    if (*run->new_prefix) {
      first = run->new_prefix;
      sep = ".";
    }
  }
  size_t a = strlen(first), b = strlen(sep), c = strlen(rest);
  if (a + b + c > KRP_NAME_MAX) return KRP_ERR_NAME_TOO_LONG;
  memcpy(out, first, a);
  memcpy(out + a, sep, b);
  memcpy(out + a + b, rest, c + 1);
  return 0;
}

uint32_t KrpMergeRunPolicy(KrpMergeRun *run, uint32_t flags) {
  if (flags & kMergeDefaults) {
    uint32_t rc = KrpMergeClearUseDefaults(run->frag);
    if (rc == 0) rc = RunPass(run, kPassAccess);
    if (rc == 0) rc = RunPass(run, kPassRespect);
    return rc;
  }
  if (flags & (kMergeOverwrite | kMergeOverwriteToo)) return RunPass(run, kPassOverwrite);
  if (flags & kMergeNewerWins) return RunPass(run, kPassNewer);
  return KST_ERR_INVALID_PARAMETER;
}
