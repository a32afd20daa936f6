// The in-memory index of a store: one index record per live object, kept
// in a hash table by name and in an ordered list that keeps the children of
// one container together.
//
// Order of the list. A record's key is its container prefix: the name up to
// and including its last "." ("" for a name without a dot). Two records
// compare by the first min(P(a), P(b)) bytes of their names (unsigned), and
// when those are equal by their depth (the dot count): this is exactly the
// byte-wise order of the prefixes, a proper prefix first. Records with equal
// keys form a group and lie together; groups follow in key order.
//
// Order inside a group, as insertions make it: a record whose key is greater
// than the tail's is appended (a new last group); one whose key equals the
// tail's goes immediately before the tail; any other goes to the front of its
// group, or, when its group does not exist yet, before the first group with a
// greater key. Loading 'a.x', 'a.y', 'a.z' into an empty index so gives
// 'a.y', 'a.z', 'a.x'; a packed file, whose records arrive in list order,
// costs one comparison per record.
//
// Invariants:
// 1. The list starts at a nameless head record; the tail is the last record,
//    or null when the list is empty.
// 2. `groups` maps each group's key to the group's first record, one entry
//    per group, in list order. It stands in for links from one group to the
//    next: the group after r's is TsGroupNext (O(log groups)), and a walk
//    over the names beginning with a prefix that is empty or ends in "."
//    starts at TsGroupLowerBound and ends at the first name outside it.
//    Insertion finds its place through the map instead of walking the groups
//    from the head, so loading an unpacked store stays fast with many
//    containers; the resulting order is the one defined above. Every walk
//    starts at head->next; the head belongs to no group.
// 3. Once the hash table is built, every record in the list is in it under
//    its name with terminator (value 1 = the record, value 2 = 4), and
//    nothing else is. The index never answers a request without it.
// 4. A record owns its name (stored behind its fields) and, when `data`
//    does not point at its inline area, that separate block.
#ifndef KRP_STORE_TS_INDEX_H
#define KRP_STORE_TS_INDEX_H

#include <cstdint>

#include "ts_hash.h"

struct TsIndexRecord {
  TsIndexRecord *next;
  TsIndexRecord *prev;
  uint32_t data_size;
  uint32_t area_size;  // 0 for memory-only objects
  uint32_t offset;     // record offset in the file; 0 for memory-only objects
  uint32_t name_len;   // without the terminator
  uint8_t digest[16];
  char *name;          // the record's own copy, zero-terminated
  uint8_t *data;       // the kept data (inline area or own block), or null
  uint32_t prefix_len; // container length + 1; 0 when the name has no "."
  uint32_t depth;      // number of "." in the name
  uint32_t attr;       // low 24 bits
  uint32_t last_wr;
  uint32_t consumer;
  uint32_t pending_offset;  // a pack's rollback: the place before the pack
  uint32_t pending_area;    // (meaningless once the pack has ended)
  uint32_t data_cap;    // bytes `data` can hold
  uint32_t inline_cap;  // size of the inline area behind the fields
  uint8_t deleted;      // 1 only while the record is being removed
  uint8_t verified;     // 1 once the kept data was checked against the digest
  // followed by: inline area (inline_cap bytes), name (name_len + 1 bytes)
};
// Fields ordered so that nothing is padded but the tail.
static_assert(sizeof(void *) != 8 || sizeof(TsIndexRecord) == 104);

struct TsGroupMap;  // ordered map container key -> group's first record

struct TsIndex {
  TsIndexRecord *head;
  TsIndexRecord *tail;
  TsHashTable *hash;
  TsGroupMap *groups;
};

// Data of up to this many bytes is kept in the index record.
constexpr uint32_t kTsInlineLimit = 256;

// Allocates the head and the group map of an empty index. 0 or 8192.
uint32_t TsIndexInit(TsIndex *ix);
// Destroys the hash table and frees every record (head included) and the
// group map; the index is all null afterwards. Null members are accepted.
void TsIndexFree(TsIndex *ix);

// A record with zeroed fields, its name copied in and name length, container
// prefix length and depth set, and `inline_cap` bytes of inline area. 0 or
// 8192.
uint32_t TsRecordAlloc(const char *name, uint32_t name_len, uint32_t inline_cap,
                       TsIndexRecord **out);
// Frees a record not (or no longer) in the list, with its own data block.
void TsRecordFree(TsIndexRecord *r);
// Makes `r` able to keep `size` bytes of data (its inline area when large
// enough, else an own block); the data it keeps moves along. The record is
// unchanged on failure (8192).
uint32_t TsRecordReserve(TsIndexRecord *r, uint32_t size);

// The list comparison of two records' keys: <0, 0, >0.
int TsKeyCompare(const TsIndexRecord *a, const TsIndexRecord *b);
// Links `r` into the ordered list (and a new group into the group map). 0,
// or 8192 when the group map cannot grow (the list is unchanged then).
uint32_t TsListInsert(TsIndex *ix, TsIndexRecord *r);
// Unlinks `r` from the ordered list and the group map; the record itself is
// not freed and stays in the hash table.
void TsListRemove(TsIndex *ix, TsIndexRecord *r);
// The first record of the group after r's group, or null after the last.
TsIndexRecord *TsGroupNext(const TsIndex *ix, const TsIndexRecord *r);
// The first record of r's group.
TsIndexRecord *TsGroupFirst(const TsIndex *ix, const TsIndexRecord *r);
// The first record of the first group whose key is >= `prefix` (null when
// none): where a walk over names beginning with a prefix that is empty or
// ends in "." starts, since such names fill a run of whole groups.
TsIndexRecord *TsGroupLowerBound(const TsIndex *ix, const char *prefix, uint32_t len);
// Up to `k` records that begin groups, spread evenly over the groups in list
// order, the first being the list's first record: places from which parts
// of the list can be walked side by side, each part ending where the next
// begins. Returns how many (0 for an empty list, or when there are more than
// `max_groups` groups to count through).
uint32_t TsGroupStarts(const TsIndex *ix, TsIndexRecord **out, uint32_t k, uint32_t max_groups);

// Starting bucket count for an index of `live` objects: 9001, or live + 3 *
// (live / 10) above 9001. The table then grows with the index (ts_hash.h),
// so a store filled after its open keeps chains as short as a reopened one.
uint32_t TsBucketCount(uint32_t live);
// Builds the hash table over every record of the list. A name in the list
// twice: without `on_dup` the result is 186; with it the record with the
// lower file offset loses: it is handed to on_dup (to be counted), unlinked
// and freed. 0, 8192 or 186.
typedef void (*TsDupFn)(const TsIndexRecord *loser, void *ctx);
uint32_t TsIndexBuildHash(TsIndex *ix, uint32_t live, TsDupFn on_dup = nullptr,
                          void *ctx = nullptr);
// The record named `name` (no terminator in `len`), or null.
TsIndexRecord *TsIndexLookup(const TsIndex *ix, const char *name, uint32_t len);
// The same with the hash TsHashPrefetch returned for the key (the name with
// its terminator); the hash table must exist.
TsIndexRecord *TsIndexLookupHashed(const TsIndex *ix, uint32_t hash, const char *name,
                                   uint32_t len);

// 1 when some record's name lies below `name` (begins with `name` + ".",
// or with `name` itself when it ends in "."), else 0.
int TsContainerTest(const TsIndex *ix, const char *name, uint32_t len);

#endif  // KRP_STORE_TS_INDEX_H
