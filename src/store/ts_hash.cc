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

// The link that points at the node holding `key` (the bucket head or the
// previous node's next), or null.
TsHashNode **FindLink(const TsHashTable *t, uint32_t bucket, const void *key, uint32_t len) {
  for (TsHashNode **link = &t->buckets[bucket]; *link; link = &(*link)->next)
    if (t->compare((*link)->key, (*link)->len, key, len, t->ctx) == 0) return link;
  return nullptr;
}

TsHashNode *Find(const TsHashTable *t, uint32_t bucket, const void *key, uint32_t len) {
  TsHashNode **link = FindLink(t, bucket, key, len);
  return link ? *link : nullptr;
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

uint32_t Link(TsHashTable *t, uint32_t bucket, const void *key, uint32_t len, uintptr_t value1,
              uint32_t value2) {
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
  n->next = t->buckets[bucket];
  t->buckets[bucket] = n;
  ++t->entry_count;
  return KST_OK;
}

}  // namespace

uint32_t TsHashInsert(TsHashTable *t, const void *key, uint32_t len, uintptr_t value1,
                      uint32_t value2) {
  if (!t->free_nodes && AddPool(t)) return KST_HEAP_FULL;
  uint32_t bucket = t->hash(key, len) % t->bucket_count;
  if (Find(t, bucket, key, len)) return KST_ERR_ALREADY_EXISTS;
  return Link(t, bucket, key, len, value1, value2);
}

uint32_t TsHashInsertAbsent(TsHashTable *t, uint32_t hash, const void *key, uint32_t len,
                            uintptr_t value1, uint32_t value2) {
  if (!t->free_nodes && AddPool(t)) return KST_HEAP_FULL;
  return Link(t, hash % t->bucket_count, key, len, value1, value2);
}

uint32_t TsHashPrefetch(const TsHashTable *t, const void *key, uint32_t len) {
  const uint32_t hash = t->hash(key, len);
  __builtin_prefetch(&t->buckets[hash % t->bucket_count]);
  return hash;
}

int TsHashLookup(const TsHashTable *t, const void *key, uint32_t len, uintptr_t *value1,
                 uint32_t *value2) {
  return TsHashLookupHashed(t, t->hash(key, len), key, len, value1, value2);
}

int TsHashLookupHashed(const TsHashTable *t, uint32_t hash, const void *key, uint32_t len,
                       uintptr_t *value1, uint32_t *value2) {
  TsHashNode *n = Find(t, hash % t->bucket_count, key, len);
  if (value1) *value1 = n ? n->value1 : 0;
  if (value2) *value2 = n ? n->value2 : 0;
  return n ? 1 : 0;
}

int TsHashRemove(TsHashTable *t, const void *key, uint32_t len) {
  uint32_t bucket = t->hash(key, len) % t->bucket_count;
  TsHashNode **link = FindLink(t, bucket, key, len);
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
  if (t->on_remove)
    for (uint32_t b = 0; b < t->bucket_count; ++b)
      for (TsHashNode *n = t->buckets[b]; n; n = n->next)
        t->on_remove(n->key, n->len, n->value1, n->value2, t->ctx);
  while (t->pools) {
    TsHashPool *p = t->pools;
    t->pools = p->next;
    KstFreeMem(p, 0);
  }
  KstFreeMem(t->buckets, 0);
  KstFreeMem(t, 0);
}

uint32_t TsHashPoolCount(const TsHashTable *t) {
  uint32_t n = 0;
  for (const TsHashPool *p = t->pools; p; p = p->next) ++n;
  return n;
}
