#include "krp_assert.h"
#include "ts_index.h"

#include <cstring>
#include <map>
#include <new>
#include <string>
#include <string_view>

#include "kst_alloc.h"
#include "platform.h"

namespace {

// `base` followed by one ".", without forming the string.
struct DotKey {
  std::string_view base;
};

// Three-way compare of k against base + ".".
int CompareDot(std::string_view k, const DotKey &d) {
  size_t n = d.base.size();
  int c = k.substr(0, n).compare(d.base);
  if (c) return c;
  if (k.size() == n) return -1;
  unsigned char b = static_cast<unsigned char>(k[n]);
  if (b != '.') return b < '.' ? -1 : 1;
  return k.size() == n + 1 ? 0 : 1;
}

// std::string_view compares bytes as unsigned char, which is the list order
// of container prefixes (see ts_index.h).
struct GroupLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a < b; }
  bool operator()(std::string_view a, const DotKey &b) const { return CompareDot(a, b) < 0; }
  bool operator()(const DotKey &a, std::string_view b) const { return CompareDot(b, a) > 0; }
};

}  // namespace

// Keys and nodes come from KstAllocMem (kst_alloc.h): a failed insertion
// throws std::bad_alloc, which TsListInsert turns into 8192.
struct TsGroupMap {
  using Map = std::map<KstString, TsIndexRecord *, GroupLess,
                       KstAllocator<std::pair<const KstString, TsIndexRecord *>>>;
  Map m;
  // The group the last insertion went to (m.end() when none): writes tend
  // to come in runs into one container, and a hit saves the tree descent
  // with its key comparisons. Map iterators stay valid until their element
  // is erased, and TsListRemove resets this before erasing it.
  Map::iterator last = m.end();
};

namespace {

std::string_view Key(const TsIndexRecord *r) { return std::string_view(r->name, r->prefix_len); }

uint8_t *InlineArea(TsIndexRecord *r) { return reinterpret_cast<uint8_t *>(r + 1); }

// True when r is the first record of its group.
bool IsGroupFirst(const TsIndex *ix, const TsIndexRecord *r) {
  return r->prev == ix->head || TsKeyCompare(r->prev, r) != 0;
}

void LinkBefore(TsIndexRecord *s, TsIndexRecord *n) {
  n->prev = s->prev;
  n->next = s;
  s->prev->next = n;
  s->prev = n;
}

}  // namespace

uint32_t TsRecordAlloc(const char *name, uint32_t name_len, uint32_t inline_cap,
                       TsIndexRecord **out) {
  *out = nullptr;
  uint64_t bytes = sizeof(TsIndexRecord) + uint64_t(inline_cap) + name_len + 1;
  void *mem = nullptr;
  if (bytes > UINT32_MAX || KstAllocMem(uint32_t(bytes), 0, &mem, nullptr)) return KST_HEAP_FULL;
  // The fields are zeroed; the inline area is filled by whoever keeps data
  // in it (only data_size bytes of it are ever read).
  std::memset(mem, 0, sizeof(TsIndexRecord));
  auto *r = static_cast<TsIndexRecord *>(mem);
  r->inline_cap = inline_cap;
  r->name = reinterpret_cast<char *>(InlineArea(r) + inline_cap);
  if (name_len) std::memcpy(r->name, name, name_len);
  r->name[name_len] = 0;
  r->name_len = name_len;
  uint32_t dots = 0, last = 0;
  for (uint32_t i = 0; i < name_len; ++i)
    if (name[i] == '.') {
      ++dots;
      last = i + 1;
    }
  r->prefix_len = last;
  r->depth = dots;
  *out = r;
  return KST_OK;
}

void TsRecordFree(TsIndexRecord *r) {
  if (!r) return;
  if (r->data && r->data != InlineArea(r)) KstFreeMem(r->data, 0);
  KstFreeMem(r, 0);
}

uint32_t TsRecordReserve(TsIndexRecord *r, uint32_t size) {
  if (r->data && r->data_cap >= size) return KST_OK;
  uint8_t *to;
  uint32_t cap;
  if (size <= r->inline_cap) {
    to = InlineArea(r);
    cap = r->inline_cap;
  } else {
    void *mem = nullptr;
    if (KstAllocMem(size, 0, &mem, nullptr)) return KST_HEAP_FULL;
    to = static_cast<uint8_t *>(mem);
    cap = size;
  }
  // The kept data moves along, so a failure after this leaves the object
  // readable as it was.
  if (r->data && r->data_size && r->data_size <= r->data_cap && r->data_size <= cap)
    std::memcpy(to, r->data, r->data_size);
  if (r->data && r->data != InlineArea(r)) KstFreeMem(r->data, 0);
  r->data = to;
  r->data_cap = cap;
  return KST_OK;
}

int TsKeyCompare(const TsIndexRecord *a, const TsIndexRecord *b) {
  uint32_t n = a->prefix_len < b->prefix_len ? a->prefix_len : b->prefix_len;
  int c = n ? std::memcmp(a->name, b->name, n) : 0;
  if (c) return c < 0 ? -1 : 1;
  if (a->depth != b->depth) return a->depth < b->depth ? -1 : 1;
  return 0;
}

uint32_t TsIndexInit(TsIndex *ix) {
  std::memset(ix, 0, sizeof *ix);
  if (TsRecordAlloc("", 0, 0, &ix->head)) return KST_HEAP_FULL;
  ix->groups = KstNew<TsGroupMap>();
  if (!ix->groups) {
    TsRecordFree(ix->head);
    ix->head = nullptr;
    return KST_HEAP_FULL;
  }
  return KST_OK;
}

void TsIndexFree(TsIndex *ix) {
  TsHashDestroy(ix->hash);
  TsIndexRecord *r = ix->head;
  while (r) {
    TsIndexRecord *next = r->next;
    TsRecordFree(r);
    r = next;
  }
  KstDelete(ix->groups);
  std::memset(ix, 0, sizeof *ix);
}

uint32_t TsListInsert(TsIndex *ix, TsIndexRecord *n) {
  TsGroupMap *g = ix->groups;
  TsIndexRecord *t = ix->tail;
  int vs_tail = t ? TsKeyCompare(n, t) : 1;
  try {
    if (vs_tail > 0) {  // a new last group
      g->m.emplace_hint(g->m.end(), Key(n), n);
      TsIndexRecord *after = t ? t : ix->head;
      n->prev = after;
      n->next = nullptr;
      after->next = n;
      ix->tail = n;
      KRP_ASSERT(ix->tail->next == nullptr);  // invariant 1
      return KST_OK;
    }
    if (vs_tail == 0) {  // immediately before the tail
      bool tail_first = IsGroupFirst(ix, t);
      LinkBefore(t, n);
      if (tail_first) g->m.find(Key(n))->second = n;
      return KST_OK;
    }
    // To the front of n's group, or before the first greater group.
    auto it = g->last;
    if (it == g->m.end() || it->first != Key(n))
      it = g->m.lower_bound(Key(n));  // exists: the tail's key is greater
    TsIndexRecord *s = it->second;
    if (it->first != Key(n))
      it = g->m.emplace_hint(it, Key(n), n);
    else
      it->second = n;
    g->last = it;
    LinkBefore(s, n);
    return KST_OK;
  } catch (const std::bad_alloc &) {
    return KST_HEAP_FULL;
  }
}

void TsListRemove(TsIndex *ix, TsIndexRecord *r) {
  KRP_ASSERT(r && r != ix->head);  // invariant 1: the head is never removed
  TsIndexRecord *succ = r->next;
  if (IsGroupFirst(ix, r)) {
    auto it = ix->groups->m.find(Key(r));
    if (succ && TsKeyCompare(succ, r) == 0) {
      it->second = succ;
    } else {
      if (ix->groups->last == it) ix->groups->last = ix->groups->m.end();
      ix->groups->m.erase(it);
    }
  }
  r->prev->next = succ;
  if (succ) succ->prev = r->prev;
  if (ix->tail == r) ix->tail = r->prev == ix->head ? nullptr : r->prev;
  r->next = r->prev = nullptr;
}

TsIndexRecord *TsGroupNext(const TsIndex *ix, const TsIndexRecord *r) {
  auto it = ix->groups->m.upper_bound(Key(r));
  return it == ix->groups->m.end() ? nullptr : it->second;
}

TsIndexRecord *TsGroupFirst(const TsIndex *ix, const TsIndexRecord *r) {
  auto it = ix->groups->m.find(Key(r));
  return it == ix->groups->m.end() ? nullptr : it->second;
}

uint32_t TsGroupStarts(const TsIndex *ix, TsIndexRecord **out, uint32_t k, uint32_t max_groups) {
  const TsGroupMap::Map &m = ix->groups->m;
  const size_t n = m.size();
  if (!k || n == 0 || n > max_groups) return 0;
  uint32_t got = 0;
  size_t g = 0, last = SIZE_MAX;
  for (auto it = m.begin(); it != m.end(); ++it, ++g) {
    const size_t part = g * k / n;  // a new part begins where this changes
    if (part == last) continue;
    out[got++] = it->second;
    last = part;
  }
  return got;
}

TsIndexRecord *TsGroupLowerBound(const TsIndex *ix, const char *prefix, uint32_t len) {
  auto it = ix->groups->m.lower_bound(std::string_view(prefix, len));
  return it == ix->groups->m.end() ? nullptr : it->second;
}

uint32_t TsBucketCount(uint32_t live) {
  if (live <= 9001) return 9001;
  uint64_t n = uint64_t(live) + 3 * uint64_t(live / 10);
  return n > UINT32_MAX ? UINT32_MAX : uint32_t(n);
}

uint32_t TsIndexBuildHash(TsIndex *ix, uint32_t live, TsDupFn on_dup, void *ctx) {
  TsHashDestroy(ix->hash);
  ix->hash = nullptr;
  TsHashTable *t = nullptr;
  uint32_t rc = TsHashCreate(&t, TsBucketCount(live), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (rc) return rc;
  for (TsIndexRecord *r = ix->head->next, *next; r; r = next) {
    next = r->next;
    rc = TsHashInsert(t, r->name, r->name_len + 1, reinterpret_cast<uintptr_t>(r), 4);
    if (rc == KST_ERR_ALREADY_EXISTS && on_dup) {
      uintptr_t v = 0;
      TsHashLookup(t, r->name, r->name_len + 1, &v, nullptr);
      auto *seen = reinterpret_cast<TsIndexRecord *>(v);
      TsIndexRecord *loser = r;
      if (seen->offset < r->offset) {
        // The node's key points into the loser's name: replace the node.
        TsHashRemove(t, seen->name, seen->name_len + 1);
        rc = TsHashInsert(t, r->name, r->name_len + 1, reinterpret_cast<uintptr_t>(r), 4);
        loser = seen;
      } else {
        rc = KST_OK;
      }
      on_dup(loser, ctx);
      TsListRemove(ix, loser);
      TsRecordFree(loser);
    }
    if (rc) {
      TsHashDestroy(t);
      return rc;
    }
  }
  // Sized for the objects found; grows in steps as objects are added.
  TsHashEnableGrowth(t);
  ix->hash = t;
  return KST_OK;
}

TsIndexRecord *TsIndexLookup(const TsIndex *ix, const char *name, uint32_t len) {
  uintptr_t v = 0;
  // The key includes the terminator, which a caller's name always has.
  if (!ix->hash || !TsHashLookup(ix->hash, name, len + 1, &v, nullptr)) return nullptr;
  return reinterpret_cast<TsIndexRecord *>(v);
}

TsIndexRecord *TsIndexLookupHashed(const TsIndex *ix, uint32_t hash, const char *name,
                                   uint32_t len) {
  uintptr_t v = 0;
  if (!TsHashLookupHashed(ix->hash, hash, name, len + 1, &v, nullptr)) return nullptr;
  return reinterpret_cast<TsIndexRecord *>(v);
}

int TsContainerTest(const TsIndex *ix, const char *name, uint32_t len) {
  // Names below `name` begin with the formed prefix p (name + "." unless it
  // ends in "."); since p ends in ".", their container keys begin with p
  // too, and such keys are a contiguous run of the group map starting at
  // lower_bound(p). p is compared in place, never formed in a buffer.
  bool dot = len && name[len - 1] == '.';
  DotKey p{std::string_view(name, dot ? len - 1 : len)};
  auto it = ix->groups->m.lower_bound(p);
  if (it == ix->groups->m.end()) return 0;
  const KstString &k = it->first;
  size_t n = p.base.size();
  return k.size() > n && k.compare(0, n, p.base) == 0 && k[n] == '.' ? 1 : 0;
}
