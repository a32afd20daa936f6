// Listing: what a name is (type, attributes), what lies under a container
// (its listing, the merged vendor/default level), the search for the child
// container whose resource holds a value, and one item of a LIST resource.
// The enumeration with callbacks is enumerate.cc.
//
// Listing layout (as the store hands it out, unchanged):
//
//   "%08x" length | component | CR LF      one item per next component
//   ...
//   0x00                                   one zero byte, counted in the size
//
// The number of entries is the number of LF bytes before the last byte.
//
// Merged level (dll_KrpListEntireLevel), D the default listing, V the vendor
// listing:
//
//   D's content (D without its closing zero)
//   CR LF              only when that content does not already end in CR LF
//   each line of V that D does not hold, followed by LF
//   0x00               exactly one, at the end
//
// A "line" is the bytes up to, not including, an LF: its CR and the length
// digits in front of the component are part of it, so two items match only
// when they are byte for byte the same.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

#include "kst_alloc.h"
#include "platform.h"
#include "resource.h"
#include "seam.h"

namespace {

constexpr char kVendorRoot[] = "vendor";
constexpr uint32_t kVendorRootLen = sizeof kVendorRoot - 1;
constexpr char kDefaultRoot[] = "default";
constexpr uint32_t kDefaultRootLen = sizeof kDefaultRoot - 1;
// A listing shorter than this holds no entry.
constexpr uint32_t kMinListing = 2;
// The merged listing may add a CR LF after D's content, a CR LF after a
// piece that ends V without one, and its closing zero.
constexpr uint32_t kMergeExtra = 5;
// "%s.%s.%s" of container, child and resource must fit this with its
// terminator.
constexpr uint32_t kComposedMax = 260;
// The first capacity the allocating search tries.
constexpr uint32_t kFirstGuess = 81;

uint32_t Alloc(uint32_t size, void **out, int line) {
  uint32_t rc = KstAllocMem(size, 0, out, nullptr);
  if (rc != 0) {
    if (rc == KST_HEAP_FULL)
      KstLogPrintf("krp(%d) no malloc 0x%08x (asked for %u)", line, rc, size);
    else
      KstLogPrintf("krp(%d) no malloc 0x%08x", line, rc);
    *out = nullptr;
  }
  return rc;
}

// LF bytes before the listing's last byte.
uint32_t CountEntries(const uint8_t *p, uint32_t size) {
  uint32_t n = 0;
  for (uint32_t i = 0; i + 1 < size; ++i)
    if (p[i] == '\n') ++n;
  return n;
}

// "vendor" alone or followed by ".": the names that have a default level.
bool HasDefaultLevel(const char *name) {
  return strncmp(name, kVendorRoot, kVendorRootLen) == 0 &&
         (name[kVendorRootLen] == 0 || name[kVendorRootLen] == '.');
}

}  // namespace

// ---- type and attributes ----------------------------------------------------------

extern "C" KRP_API uint32_t dll_KrpGetResourceType(const char *name, uint32_t *type) {
  if (!name || !type) return KST_ERR_INVALID_PARAMETER;
  KrpStoreSeam seam;
  uint32_t rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  if (!seam.direct && name[0] != 'h') {
    KrpObjectInfo info;
    rc = KrpQueryObjectInfo(&seam, name, &info);
    if (rc == KRP_ERR_IS_CONTAINER) {
      *type = KRP_TYPE_CONTAINER;
      return 0;
    }
    if (rc == 0) *type = info.type;
    return rc;
  }
  uint32_t size = 0;
  return dll_KrpGetResourceForLocale(KRP_TYPE_ANY, name, &size, nullptr, nullptr, type, "zz",
                                     nullptr, nullptr);
}

extern "C" KRP_API uint32_t dll_KrpGetResourceAttributes(const char *name,
                                                         KrpAttributes *attrs) {
  if (!name || !attrs) return KST_ERR_INVALID_PARAMETER;
  if (KrpIsHttpName(name)) return KST_ERR_NOT_SUPPORTED;
  KrpStoreSeam seam;
  uint32_t rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  if (seam.direct) {
    uint32_t size = 0, type = 0;
    KrpAttributes found{0, 0};
    rc = dll_KrpGetResourceForLocale(KRP_TYPE_ANY, name, &size, nullptr, nullptr, &type, "zz",
                                     &found, nullptr);
    if (rc != 0) return rc;
    if (type == KRP_TYPE_CONTAINER) return KRP_ERR_WRONG_TYPE;
    *attrs = found;
    return 0;
  }
  KrpObjectInfo info;
  rc = KrpQueryObjectInfo(&seam, name, &info);
  if (rc == KRP_ERR_IS_CONTAINER) return KRP_ERR_WRONG_TYPE;
  if (rc != 0) return rc;
  attrs->timestamp = info.timestamp;
  attrs->attributes = info.attributes;
  return 0;
}

// ---- listings -----------------------------------------------------------------

extern "C" KRP_API uint32_t dll_KrpListResources(const char *name, void **listing,
                                                 uint32_t *size, uint32_t *count) {
  if (!name || !size) return KST_ERR_INVALID_PARAMETER;
  if (count) *count = 0;
  if (listing) *listing = nullptr;
  if (KrpIsHttpName(name)) return KST_ERR_NOT_SUPPORTED;
  KrpStoreSeam seam;
  uint32_t rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  char loc[KRP_LOCALE_BUF];
  KrpCurrentLocale(loc);
  void *list = nullptr;
  uint32_t found_type = 0;
  KrpReadOut out;
  out.type = KRP_TYPE_CONTAINER;
  out.size = size;
  out.alloc = &list;
  out.type_out = &found_type;
  rc = KrpReadInternal(&seam, name, loc, &out);
  if (rc == 0 && found_type != KRP_TYPE_CONTAINER) rc = KRP_ERR_WRONG_TYPE;
  if (rc == 0 && *size < kMinListing) rc = KRP_ERR_NOT_FOUND;
  if (rc != 0) {
    KstFreeMem(list, 0);
    return rc;
  }
  if (listing) {
    if (count) *count = CountEntries(static_cast<uint8_t *>(list), *size);
    *listing = list;
  } else {
    KstFreeMem(list, 0);
  }
  return 0;
}

namespace {

// One listing: its bytes (a KstAllocMem block or null), size and count.
struct Listing {
  uint8_t *p = nullptr;
  uint32_t size = 0;
  uint32_t count = 0;
  ~Listing() { KstFreeMem(p, 0); }
};

// Lists `name`; 0x370001 leaves the listing empty and is no failure.
uint32_t ListOrNone(const char *name, Listing *l) {
  void *p = nullptr;
  uint32_t rc = dll_KrpListResources(name, &p, &l->size, &l->count);
  l->p = static_cast<uint8_t *>(p);
  if (rc == KRP_ERR_NOT_FOUND) {
    l->size = l->count = 0;
    return 0;
  }
  return rc;
}

// A listing's bytes without its closing zero.
uint32_t ContentLength(const uint8_t *p, uint32_t size) {
  return (size > 0 && p[size - 1] == 0) ? size - 1 : size;
}

// The lines of d[0..dlen), each the bytes up to, not including, an LF (the
// piece after the last LF too), to look a vendor line up in constant time:
// the merge stays linear in the size of both listings.
class LineSet {
 public:
  LineSet(const uint8_t *d, uint32_t dlen) {
    uint32_t start = 0;
    while (start < dlen) {
      const void *lf = memchr(d + start, '\n', dlen - start);
      const uint32_t end = lf ? static_cast<uint32_t>(static_cast<const uint8_t *>(lf) - d) : dlen;
      lines_.emplace(reinterpret_cast<const char *>(d + start), end - start);
      start = end + 1;
    }
  }
  // True when `line` (len bytes, no LF), followed by a CR when `cr`, is one
  // of the lines.
  bool Holds(const uint8_t *line, uint32_t len, bool cr) {
    const char *p = reinterpret_cast<const char *>(line);
    if (!cr) return lines_.count(std::string_view(p, len)) != 0;
    with_cr_.assign(p, len);
    with_cr_.push_back('\r');
    return lines_.count(std::string_view(with_cr_)) != 0;
  }

 private:
  std::unordered_set<std::string_view, std::hash<std::string_view>,
                     std::equal_to<std::string_view>, KstAllocator<std::string_view>>
      lines_;
  KstString with_cr_;
};

}  // namespace
uint32_t KrpMergeListings(const uint8_t *d, uint32_t dsize, const uint8_t *v, uint32_t vsize,
                          uint8_t *out, uint32_t *count) {
  const uint32_t dlen = ContentLength(d, dsize);
  if (dlen) memcpy(out, d, dlen);
  uint32_t n = dlen;
  // D's content ends in CR LF when it is a store listing; only a content of
  // at least two bytes can, and only then are its last bytes looked at.
  if (dlen >= 2 && !(out[dlen - 2] == '\r' && out[dlen - 1] == '\n')) {
    out[n++] = '\r';
    out[n++] = '\n';
  }
  const uint32_t vlen = ContentLength(v, vsize);
  LineSet held(d, dlen);
  uint32_t start = 0;
  while (start < vlen) {
    const void *lf = memchr(v + start, '\n', vlen - start);
    const uint32_t end = lf ? static_cast<uint32_t>(static_cast<const uint8_t *>(lf) - v) : vlen;
    const uint32_t len = end - start;
    // A piece after V's last LF becomes a line of its own with the CR every
    // item line carries.
    const bool add_cr = !lf && len > 0 && v[end - 1] != '\r';
    if (len > 0 && !held.Holds(v + start, len, add_cr)) {
      memcpy(out + n, v + start, len);
      n += len;
      if (add_cr) out[n++] = '\r';
      out[n++] = '\n';
      ++*count;
    }
    start = end + 1;
  }
  out[n++] = 0;
  return n;
}

extern "C" KRP_API uint32_t dll_KrpListEntireLevel(const char *name, void **listing,
                                                   uint32_t *size, uint32_t *count) {
  if (!name || !listing || !size) return KST_ERR_INVALID_PARAMETER;
  *listing = nullptr;
  *size = 0;
  if (count) *count = 0;
  Listing v, d;
  void *vp = nullptr;
  uint32_t rc = dll_KrpListResources(name, &vp, &v.size, &v.count);
  v.p = static_cast<uint8_t *>(vp);
  if (rc == KRP_ERR_NOT_FOUND && !HasDefaultLevel(name)) return rc;
  if (rc != 0 && rc != KRP_ERR_NOT_FOUND) return rc;
  if (rc != 0) v.size = v.count = 0;
  if (HasDefaultLevel(name)) {
    // "default" followed by everything from the first dot on.
    char def[KRP_NAME_BUF + kDefaultRootLen];
    snprintf(def, sizeof def, "%s%s", kDefaultRoot, name + kVendorRootLen);
    rc = ListOrNone(def, &d);
    if (rc != 0) return rc;
  }
  if (d.size == 0 && v.size == 0) return 0;
  if (d.size == 0) {
    // The vendor listing as it is.
    *listing = v.p;
    v.p = nullptr;
    *size = v.size;
    if (count) *count = v.count;
    return 0;
  }
  void *mem = nullptr;
  rc = Alloc(d.size + v.size + kMergeExtra, &mem, __LINE__);
  if (rc != 0) return rc;
  uint32_t merged_count = d.count;
  try {
    *size = KrpMergeListings(d.p, d.size, v.p, v.size, static_cast<uint8_t *>(mem), &merged_count);
  } catch (const std::bad_alloc &) {
    KstFreeMem(mem, 0);
    return KST_HEAP_FULL;
  }
  *listing = mem;
  if (count) *count = merged_count;
  return 0;
}

// ---- the value search ------------------------------------------------------------

namespace {

// Text length for comparison: a final zero and trailing bytes that are
// neither letters, digits, punctuation nor blanks are not counted.
uint32_t ComparableLength(const uint8_t *p, uint32_t len) {
  while (len > 0) {
    const unsigned char c = p[len - 1];
    if (isalnum(c) || ispunct(c) || c == ' ' || c == '\t') break;
    --len;
  }
  return len;
}

bool ValueMatches(uint32_t type, const uint8_t *stored, uint32_t stored_len,
                  const uint8_t *given, uint32_t given_len) {
  if (type == KRT_IMAGE || type == KRT_BYTEARRAY)
    return stored_len == given_len && (given_len == 0 || memcmp(stored, given, given_len) == 0);
  // Exactly the caller's `given_len` bytes are looked at: the caller's value
  // need not be terminated.
  const uint32_t a = ComparableLength(stored, stored_len);
  const uint32_t b = ComparableLength(given, given_len);
  return a == b && (a == 0 || memcmp(stored, given, a) == 0);
}

uint32_t ComposedTooLong(const char *resource) {
  KstLogPrintf("krp (%d) this resname (%.260s) exceeds max name lng (%d)", __LINE__, resource,
               static_cast<int>(kComposedMax));
  return KRP_ERR_NOT_FOUND;
}

// Whether "<container>.<child>.<resource>" holds the value. 0 no match
// (any failed read is none), 1 a match, 0x370001 the composed name is too
// long (the search ends).
uint32_t ChildMatches(const char *container, const char *child, uint32_t child_len,
                      const char *resource, const uint8_t *value, uint32_t length) {
  const size_t total = strlen(container) + child_len + strlen(resource) + 3;
  if (total > kComposedMax) return ComposedTooLong(resource);
  // "%s.%s.%s", whose length the check above bounds.
  char full[kComposedMax];
  const size_t cl = strlen(container), rl = strlen(resource);
  char *p = full;
  memcpy(p, container, cl);
  p[cl] = '.';
  p += cl + 1;
  memcpy(p, child, child_len);
  p[child_len] = '.';
  memcpy(p + child_len + 1, resource, rl + 1);
  void *data = nullptr;
  uint32_t size = 0, type = 0;
  if (dll_KrpGetResourceAlloc(full, &size, &data, &type, nullptr, nullptr) != 0) return 0;
  const bool match = ValueMatches(type, static_cast<uint8_t *>(data), size, value, length);
  KstFreeMem(data, 0);
  return match ? 1 : 0;
}

// Walks the children of the listing in order: 0 with the matching child's
// position in *found, else 0x370001 or a list failure.
uint32_t FindChild(KRP_HLIST h, const char *container, const char *resource,
                   const uint8_t *value, uint32_t length, uint32_t *found) {
  char child[KRP_NAME_BUF];
  for (uint32_t pos = 1;; ++pos) {
    uint32_t len = sizeof child - 1;
    uint32_t rc = dll_KrpListhelpGetItem(h, pos, child, &len);
    // A child too long for a name buffer can not be part of a name.
    if (rc == KST_ERR_BUFFER_TOO_SMALL) return ComposedTooLong(resource);
    if (rc != 0) return rc;
    child[len] = 0;
    rc = ChildMatches(container, child, len, resource, value, length);
    if (rc == 1) {
      *found = pos;
      return 0;
    }
    if (rc != 0) return rc;
  }
}

}  // namespace

extern "C" KRP_API uint32_t dll_KrpGetContainerWithResourceValue(const char *container,
                                                                 const char *resource,
                                                                 const void *value,
                                                                 uint32_t length, char *output,
                                                                 uint32_t *size) {
  if (!container || !resource || !value || !size) return KST_ERR_INVALID_PARAMETER;
  void *list = nullptr;
  uint32_t list_size = 0;
  uint32_t rc = dll_KrpListResources(container, &list, &list_size, nullptr);
  if (rc != 0) return rc;
  KRP_HLIST h = nullptr;
  rc = dll_KrpListhelpInit(&h, nullptr);
  if (rc == 0) rc = dll_KrpListhelpAddList(h, list, list_size);
  uint32_t pos = 0;
  if (rc == 0)
    rc = FindChild(h, container, resource, static_cast<const uint8_t *>(value), length, &pos);
  if (rc != 0) {
    // The end of the children, and every failure of the walk, is no match.
    *size = 0;
    rc = KRP_ERR_NOT_FOUND;
  } else {
    char child[KRP_NAME_BUF];
    uint32_t len = sizeof child - 1;
    rc = dll_KrpListhelpGetItem(h, pos, child, &len);
    if (rc == 0 && output && *size < len + 1) {
      *size = len + 1;
      rc = KST_ERR_BUFFER_TOO_SMALL;
    } else if (rc == 0) {
      if (output) {
        memcpy(output, child, len);
        output[len] = 0;
      }
      *size = len + 1;
    }
  }
  if (h) dll_KrpListhelpExit(&h);
  KstFreeMem(list, 0);
  return rc;
}

extern "C" KRP_API uint32_t dll_KrpGetContainerWithResourceValueAlloc(
    const char *container, const char *resource, const void *value, uint32_t length,
    char **output, uint32_t *size) {
  if (!output || !size) return KST_ERR_INVALID_PARAMETER;
  *output = nullptr;
  uint32_t cap = kFirstGuess;
  void *mem = nullptr;
  uint32_t rc = Alloc(cap, &mem, __LINE__);
  if (rc != 0) return rc;
  uint32_t got = cap;
  rc = dll_KrpGetContainerWithResourceValue(container, resource, value, length,
                                            static_cast<char *>(mem), &got);
  if (rc == KST_ERR_BUFFER_TOO_SMALL) {
    KstFreeMem(mem, 0);
    cap = got;
    rc = Alloc(cap, &mem, __LINE__);
    if (rc == 0)
      rc = dll_KrpGetContainerWithResourceValue(container, resource, value, length,
                                                static_cast<char *>(mem), &got);
  }
  *size = got;
  if (rc != 0) {
    // A failed search hands out no buffer.
    KstFreeMem(mem, 0);
    return rc;
  }
  *output = static_cast<char *>(mem);
  return 0;
}

// ---- one item of a LIST resource ----------------------------------------------------

extern "C" KRP_API uint32_t dll_KrpClientGetListItemByIndexFromResource(const char *name,
                                                                        uint32_t position,
                                                                        void **out,
                                                                        uint32_t *size) {
  if (!name || !name[0] || position == 0 || !out || !size) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  void *data = nullptr;
  uint32_t data_size = 0, type = 0;
  uint32_t rc = dll_KrpGetResourceAlloc(name, &data_size, &data, &type, nullptr, nullptr);
  if (rc != 0) return rc;
  KRP_HLIST h = nullptr;
  void *item = nullptr;
  uint32_t len = 0;
  if (type != KRT_LIST) rc = KRP_ERR_WRONG_TYPE;
  if (rc == 0) rc = dll_KrpListhelpInit(&h, nullptr);
  if (rc == 0) rc = dll_KrpListhelpAddList(h, data, data_size);
  if (rc == 0) rc = dll_KrpListhelpGetItem(h, position, nullptr, &len);
  if (rc == 0) rc = Alloc(len + 1, &item, __LINE__);
  if (rc == 0) rc = dll_KrpListhelpGetItem(h, position, item, &len);
  if (rc == 0) {
    static_cast<uint8_t *>(item)[len] = 0;
    *out = item;
    *size = len;
  } else {
    KstFreeMem(item, 0);
  }
  if (h) dll_KrpListhelpExit(&h);
  KstFreeMem(data, 0);
  return rc;
}
