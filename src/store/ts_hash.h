// A chained hash table over byte-string keys with explicit lengths.
//
// Invariants:
// 1. The bucket count is fixed for the table's life unless growth was
//    enabled (TsHashEnableGrowth; the engine's table). A growing table
//    doubles its buckets once it holds more entries than buckets, in bounded
//    steps so that no single call pays for a whole rehash: the new bucket
//    array is zeroed kTsHashZeroStep buckets per insert or remove, then
//    kTsHashMoveStep old buckets are moved per insert or remove. While it
//    grows, an entry whose old bucket index (hash % old_count) is at least
//    `moved` is in the old array, every other one in the new array; a
//    lookup so consults exactly one chain. A growth ends (the old array is
//    freed) well before the table can need the next one: it takes fewer
//    steps than the inserts between two growths. A failed allocation of the
//    new array leaves the table as it was (it is retried by a later insert).
// 2. A key is in at most one node. Keys are not copied: a node points at the
//    caller's bytes, which must outlive the entry (the engine's key is the
//    index record's own name with its terminator).
// 3. Nodes come from pool blocks of kTsHashPoolNodes; a block is allocated
//    only when the free list is empty, removed nodes go back to the free
//    list, and blocks are released only by TsHashDestroy. So inserting many
//    names costs one allocation per 4096 names, and an insert after a remove
//    never allocates.
// 4. Value 1 is pointer-sized (it holds the index record); value 2 is a
//    32-bit word.
#ifndef KRP_STORE_TS_HASH_H
#define KRP_STORE_TS_HASH_H

#include <cstdint>

constexpr uint32_t kTsHashPoolNodes = 4096;
constexpr uint32_t kTsHashDefaultBuckets = 4096;
// Per insert or remove of a growing table: buckets of the new array zeroed
// (32 KB, a few microseconds), then old buckets moved (each about one node).
constexpr uint32_t kTsHashZeroStep = 4096;
constexpr uint32_t kTsHashMoveStep = 8;

typedef uint32_t (*TsHashFn)(const void *key, uint32_t len);
// <0, 0, >0 like memcmp.
typedef int (*TsHashCompareFn)(const void *k1, uint32_t l1, const void *k2, uint32_t l2,
                               void *ctx);
// Called before a new key is linked; may replace the key pointer and value
// 1. A non-zero result aborts the insert with that result.
typedef uint32_t (*TsHashInsertFn)(const void **key, uint32_t len, uintptr_t *value1, void *ctx);
// Called when a node is removed and, for every node, when the table is
// destroyed.
typedef void (*TsHashRemoveFn)(const void *key, uint32_t len, uintptr_t value1, uint32_t value2,
                               void *ctx);

// 32 bytes: chains are singly linked (a remove walks its chain anyway).
struct TsHashNode {
  const void *key;
  uintptr_t value1;
  uint32_t len;
  uint32_t value2;
  TsHashNode *next;
};
static_assert(sizeof(void *) != 8 || sizeof(TsHashNode) == 32);

struct TsHashPool;

struct TsHashTable {
  void *ctx;
  TsHashFn hash;
  TsHashCompareFn compare;
  TsHashInsertFn on_insert;
  TsHashRemoveFn on_remove;
  uint32_t bucket_count;
  uint32_t entry_count;
  TsHashPool *pools;
  TsHashNode *free_nodes;
  TsHashNode **buckets;
  // Growth (all 0 while the table does not grow; see invariant 1).
  uint32_t grows;            // 1 when growth is enabled
  uint32_t old_count;        // buckets of the old array while growing
  uint32_t zeroed;           // buckets of the new array zeroed so far
  uint32_t moved;            // old buckets moved so far
  TsHashNode **old_buckets;  // the old array while growing, else null
};

// A bucket count of 0 means kTsHashDefaultBuckets. Null functions take the
// defaults (djb2; length first, then bytes). 0 or 8192.
uint32_t TsHashCreate(TsHashTable **out, uint32_t bucket_count, TsHashCompareFn compare,
                      TsHashFn hash, TsHashInsertFn on_insert, TsHashRemoveFn on_remove,
                      void *ctx);
// 0; 186 key already present (count unchanged); 8192 no new pool block; or
// the insert callback's result.
uint32_t TsHashInsert(TsHashTable *t, const void *key, uint32_t len, uintptr_t value1,
                      uint32_t value2);
// The same for a key the caller has just looked up and not found, with no
// change to the table since: skips the duplicate search. `hash` is the key's
// hash as TsHashPrefetch returned it. 0 or 8192, or the insert callback's
// result.
uint32_t TsHashInsertAbsent(TsHashTable *t, uint32_t hash, const void *key, uint32_t len,
                            uintptr_t value1, uint32_t value2);
// Starts loading the bucket of `key` into the cache, so that a lookup a
// little later does not wait for main memory (a large table's buckets are
// rarely cached), and returns the key's hash for the calls that take it, so
// that it is computed once. Changes nothing.
uint32_t TsHashPrefetch(const TsHashTable *t, const void *key, uint32_t len);
// 1 found, 0 not found (then both outputs are 0). Outputs may be null.
int TsHashLookup(const TsHashTable *t, const void *key, uint32_t len, uintptr_t *value1,
                 uint32_t *value2);
// The same with the key's hash from TsHashPrefetch.
int TsHashLookupHashed(const TsHashTable *t, uint32_t hash, const void *key, uint32_t len,
                       uintptr_t *value1, uint32_t *value2);
// 1 removed, 0 not found.
int TsHashRemove(TsHashTable *t, const void *key, uint32_t len);
// Calls the remove callback for every node (bucket by bucket, chain order),
// frees the pools and the table. Null is accepted.
void TsHashDestroy(TsHashTable *t);
// Lets the table grow as entries are added (invariant 1).
void TsHashEnableGrowth(TsHashTable *t);
// 1 while a growth is in progress (two bucket arrays).
int TsHashGrowing(const TsHashTable *t);
// Bytes of the bucket arrays (both while growing), for memory reports.
uint64_t TsHashBucketBytes(const TsHashTable *t);
// Pool blocks allocated so far (for tests and memory reports).
uint32_t TsHashPoolCount(const TsHashTable *t);

// The default compare: shorter key first, then bytes as unsigned values.
int TsHashDefaultCompare(const void *k1, uint32_t l1, const void *k2, uint32_t l2, void *ctx);

#endif  // KRP_STORE_TS_HASH_H
