#include "ts_hash.h"

#include <cstring>

#include "platform.h"
#include "ts_digest.h"

struct TsHashPool {
  TsHashPool *next;
  TsHashNode nodes[kTsHashPoolNodes];
};

namespace {

uint32_t DefaultHash(const void *key, uint32_t len) { return TsDjb2(key, len); }

uint32_t AddPool(TsHashTable *t) {
  void *mem = nullptr;
  if (KstAllocMem(sizeof(TsHashPool), 0, &mem, nullptr)) return KST_HEAP_FULL;
  auto *pool = static_cast<TsHashPool *>(mem);
  pool->next = t->pools;
  t->pools = pool;
  for (uint32_t i = kTsHashPoolNodes; i-- > 0;) {
    pool->nodes[i].next = t->free_nodes;
    t->free_nodes = &pool->nodes[i];
  }
  return KST_OK;
}

// The chain head a key of hash `hash` lives in: while growing, the old
// array's bucket when that one has not been moved yet.
TsHashNode **ChainOf(const TsHashTable *t, uint32_t hash) {
  if (t->old_buckets) {
    uint32_t old = hash % t->old_count;
    if (old >= t->moved) return &t->old_buckets[old];
  }
  return &t->buckets[hash % t->bucket_count];
}

// The link that points at the node holding `key` (the chain head or the
// previous node's next), or null.
TsHashNode **FindLink(const TsHashTable *t, TsHashNode **head, const void *key, uint32_t len) {
  for (TsHashNode **link = head; *link; link = &(*link)->next)
    if (t->compare((*link)->key, (*link)->len, key, len, t->ctx) == 0) return link;
  return nullptr;
}

TsHashNode *Find(const TsHashTable *t, TsHashNode **head, const void *key, uint32_t len) {
  TsHashNode **link = FindLink(t, head, key, len);
  return link ? *link : nullptr;
}

// Moves every node of old bucket `b` to its bucket in the new array.
void MoveOldBucket(TsHashTable *t, uint32_t b) {
  for (TsHashNode *n = t->old_buckets[b], *next; n; n = next) {
    next = n->next;
    TsHashNode **head = &t->buckets[t->hash(n->key, n->len) % t->bucket_count];
    n->next = *head;
    *head = n;
  }
  t->old_buckets[b] = nullptr;
}

// One bounded step of a growth in progress: zero a slice of the new array,
// or, once it is all zeroed, move a few old buckets; frees the old array
// after the last one.
void GrowStep(TsHashTable *t) {
  if (!t->old_buckets) return;
  if (t->zeroed < t->bucket_count) {
    uint32_t n = t->bucket_count - t->zeroed;
    if (n > kTsHashZeroStep) n = kTsHashZeroStep;
    std::memset(t->buckets + t->zeroed, 0, sizeof(TsHashNode *) * n);
    t->zeroed += n;
    return;
  }
  for (uint32_t i = 0; i < kTsHashMoveStep && t->moved < t->old_count; ++i)
    MoveOldBucket(t, t->moved++);
  if (t->moved < t->old_count) return;
  KstFreeMem(t->old_buckets, 0);
  t->old_buckets = nullptr;
  t->old_count = t->zeroed = t->moved = 0;
}

// Starts a growth when a growable table holds more entries than buckets.
// The new array is allocated here and zeroed by later steps; when it cannot
// be allocated the table stays as it is.
void MaybeStartGrowth(TsHashTable *t) {
  if (!t->grows || t->old_buckets || t->entry_count < t->bucket_count) return;
  uint64_t count = 2 * uint64_t(t->bucket_count) + 1;
  uint64_t bytes = sizeof(TsHashNode *) * count;
  void *mem = nullptr;
  if (bytes > UINT32_MAX || KstAllocMem(uint32_t(bytes), 0, &mem, nullptr)) return;
  t->old_buckets = t->buckets;
  t->old_count = t->bucket_count;
  t->buckets = static_cast<TsHashNode **>(mem);
  t->bucket_count = uint32_t(count);
  t->zeroed = t->moved = 0;
}

// The table's share of work before a change: the next growth step, or the
// start of a growth.
void Advance(TsHashTable *t) {
  if (t->old_buckets)
    GrowStep(t);
  else
    MaybeStartGrowth(t);
}

}  // namespace

int TsHashDefaultCompare(const void *k1, uint32_t l1, const void *k2, uint32_t l2, void *) {
  if (l1 != l2) return l1 < l2 ? -1 : 1;
  int c = l1 ? std::memcmp(k1, k2, l1) : 0;
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

uint32_t TsHashCreate(TsHashTable **out, uint32_t bucket_count, TsHashCompareFn compare,
                      TsHashFn hash, TsHashInsertFn on_insert, TsHashRemoveFn on_remove,
                      void *ctx) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  if (!bucket_count) bucket_count = kTsHashDefaultBuckets;
  void *mem = nullptr;
  if (KstAllocMem(sizeof(TsHashTable), 0, &mem, nullptr)) return KST_HEAP_FULL;
  auto *t = static_cast<TsHashTable *>(mem);
  std::memset(t, 0, sizeof *t);
  t->ctx = ctx;
  t->hash = hash ? hash : DefaultHash;
  t->compare = compare ? compare : TsHashDefaultCompare;
  t->on_insert = on_insert;
  t->on_remove = on_remove;
  t->bucket_count = bucket_count;
  uint64_t bytes = uint64_t(sizeof(TsHashNode *)) * bucket_count;
  mem = nullptr;
  if (bytes > UINT32_MAX || KstAllocMem(uint32_t(bytes), 0, &mem, nullptr)) {
    KstFreeMem(t, 0);
    return KST_HEAP_FULL;
  }
  t->buckets = static_cast<TsHashNode **>(mem);
  std::memset(t->buckets, 0, sizeof(TsHashNode *) * bucket_count);
  if (AddPool(t)) {
    KstFreeMem(t->buckets, 0);
    KstFreeMem(t, 0);
    return KST_HEAP_FULL;
  }
  *out = t;
  return KST_OK;
}

namespace {

uint32_t Link(TsHashTable *t, TsHashNode **head, const void *key, uint32_t len,
              uintptr_t value1, uint32_t value2) {
  if (t->on_insert) {
    uint32_t rc = t->on_insert(&key, len, &value1, t->ctx);
    if (rc) return rc;
  }
  TsHashNode *n = t->free_nodes;
  t->free_nodes = n->next;
  n->key = key;
  n->len = len;
  n->value1 = value1;
  n->value2 = value2;
  n->next = *head;
  *head = n;
  ++t->entry_count;
  return KST_OK;
}

}  // namespace

uint32_t TsHashInsert(TsHashTable *t, const void *key, uint32_t len, uintptr_t value1,
                      uint32_t value2) {
  if (!t->free_nodes && AddPool(t)) return KST_HEAP_FULL;
  Advance(t);
  TsHashNode **head = ChainOf(t, t->hash(key, len));
  if (Find(t, head, key, len)) return KST_ERR_ALREADY_EXISTS;
  return Link(t, head, key, len, value1, value2);
}

uint32_t TsHashInsertAbsent(TsHashTable *t, uint32_t hash, const void *key, uint32_t len,
                            uintptr_t value1, uint32_t value2) {
  if (!t->free_nodes && AddPool(t)) return KST_HEAP_FULL;
  Advance(t);
  return Link(t, ChainOf(t, hash), key, len, value1, value2);
}

uint32_t TsHashPrefetch(const TsHashTable *t, const void *key, uint32_t len) {
  const uint32_t hash = t->hash(key, len);
  __builtin_prefetch(ChainOf(t, hash));
  return hash;
}

int TsHashLookup(const TsHashTable *t, const void *key, uint32_t len, uintptr_t *value1,
                 uint32_t *value2) {
  return TsHashLookupHashed(t, t->hash(key, len), key, len, value1, value2);
}

int TsHashLookupHashed(const TsHashTable *t, uint32_t hash, const void *key, uint32_t len,
                       uintptr_t *value1, uint32_t *value2) {
  TsHashNode *n = Find(t, ChainOf(t, hash), key, len);
  if (value1) *value1 = n ? n->value1 : 0;
  if (value2) *value2 = n ? n->value2 : 0;
  return n ? 1 : 0;
}

int TsHashRemove(TsHashTable *t, const void *key, uint32_t len) {
  Advance(t);
  TsHashNode **link = FindLink(t, ChainOf(t, t->hash(key, len)), key, len);
  if (!link) return 0;
  TsHashNode *n = *link;
  *link = n->next;
  if (t->on_remove) t->on_remove(n->key, n->len, n->value1, n->value2, t->ctx);
  n->next = t->free_nodes;
  t->free_nodes = n;
  --t->entry_count;
  return 1;
}

void TsHashDestroy(TsHashTable *t) {
  if (!t) return;
  if (t->on_remove) {
    // While growing: the old buckets not moved yet, then the new array
    // (which holds nodes only once it is all zeroed).
    for (uint32_t b = t->moved; t->old_buckets && b < t->old_count; ++b)
      for (TsHashNode *n = t->old_buckets[b]; n; n = n->next)
        t->on_remove(n->key, n->len, n->value1, n->value2, t->ctx);
    uint32_t valid = t->old_buckets ? t->zeroed : t->bucket_count;
    for (uint32_t b = 0; b < valid; ++b)
      for (TsHashNode *n = t->buckets[b]; n; n = n->next)
        t->on_remove(n->key, n->len, n->value1, n->value2, t->ctx);
  }
  while (t->pools) {
    TsHashPool *p = t->pools;
    t->pools = p->next;
    KstFreeMem(p, 0);
  }
  KstFreeMem(t->old_buckets, 0);
  KstFreeMem(t->buckets, 0);
  KstFreeMem(t, 0);
}

void TsHashEnableGrowth(TsHashTable *t) { t->grows = 1; }

int TsHashGrowing(const TsHashTable *t) { return t->old_buckets ? 1 : 0; }

uint64_t TsHashBucketBytes(const TsHashTable *t) {
  return sizeof(TsHashNode *) * (uint64_t(t->bucket_count) + t->old_count);
}

uint32_t TsHashPoolCount(const TsHashTable *t) {
  uint32_t n = 0;
  for (const TsHashPool *p = t->pools; p; p = p->next) ++n;
  return n;
}
