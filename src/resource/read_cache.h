// The process's read cache: answers of server reads kept in the caller's
// own memory and used again while the change feed (change_feed.h) shows
// that nothing they depend on has changed.
//
// Design note
// -----------
// Key: one lookup as the server seam receives it (the names in order and
// their slot indexes), or, for a plain read, the request that decided those
// names (resolved locale, type, name), so that a hit skips building them.
// The entry keeps the names of its walk either way. Value: what the walk over the store's answers saw,
// name by name up to the one that decided (absent, container, or the found
// object: its stored bytes, size, LastWr, Attr and Consumer words). A hit
// replays that walk for the caller's request (type, buffer, attributes,
// "wr" text), so the same entry serves every type and buffer a caller may
// ask with, and the caller still gets its own copy.
//
// Every entry carries the feed's generation and the sequence taken BEFORE
// the request that filled it: a change that raced the request can only
// make the entry look older than it is, never newer. An entry is used only
//   - on a server seam (the status check of the call admitted this process),
//   - while the generation is the same (no host has started since),
//   - while no change published after its sequence names one of the names
//     the walk looked at (a changed name's containers are published too;
//     an overrun ring or "anything" counts as a change).
// A use that passes re-stamps the entry with the sequence it was checked
// against, so an entry read at least once per ring length stays usable.
// The process's own writes reach the feed before their reply, so they
// invalidate its own entries at once.
//
// Bound: KRP_CACHE_BYTES (default 4 MiB; 0 turns the cache off), read when
// the cache is first used after a start or a forget; the least recently
// used entries go first; an answer larger than a quarter of the bound is
// not kept. The cache is forgotten by dll_KrpRelease and in a forked child
// (the fork handlers hold the cache lock across the fork).
//
// Concurrency: one process-wide mutex around the index; it is never held
// across a store request and is the innermost lock of the library.
#ifndef KRP_RESOURCE_READ_CACHE_H
#define KRP_RESOURCE_READ_CACHE_H

#include <cstdint>
#include <string>

#include "names.h"

struct KrpReadOut;

// What the server read of one lookup saw, for the cache to keep.
struct KrpRawAnswers {
  static constexpr uint32_t kMaxNames = 16;
  enum Kind : uint8_t { kAbsent = 0, kContainer = 1, kValue = 2 };
  bool cacheable = true;  // false: an answer the cache does not keep (errors, odd replies)
  uint32_t walked = 0;    // kinds[0..walked) decided the result
  uint8_t kinds[kMaxNames] = {};
  bool has_data = false;  // data holds the stored form of the found value
  uint32_t size = 0, last_wr = 0, attr = 0, consumer = 0;
  std::string data;
  // Records the next name's kind; false (uncacheable) past kMaxNames.
  void Add(Kind k) {
    if (walked >= kMaxNames) cacheable = false;
    else kinds[walked++] = k;
  }
};

// The first existing name of names[0..count) through the server, answered
// from the cache when an entry is valid, else read and kept. Same results
// as KrpReadFirstOfNames.
uint32_t KrpCachedReadFirst(const char *const *names, const uint32_t *slot_of, uint32_t count,
                            KrpReadOut *out);
// The two halves of it. The lookup answers from a valid entry, or returns
// kKrpCacheMiss having touched nothing the caller sees; it makes no
// request. The read sends the request and keeps its answer.
constexpr uint32_t kKrpCacheMiss = 0xFFFFFFFFu;
uint32_t KrpCacheLookup(const char *const *names, const uint32_t *slot_of, uint32_t count,
                        KrpReadOut *out);
uint32_t KrpCacheReadAndKeep(const char *const *names, const uint32_t *slot_of, uint32_t count,
                             KrpReadOut *out);

// KrpReadFirstOfNames, recording what the walk saw into *rec (may be null).
uint32_t KrpReadFirstOfNamesRecorded(const char *const *names, const uint32_t *slot_of,
                                     uint32_t count, KrpReadOut *out, KrpRawAnswers *rec);

// A read keyed by its request: the resolved locale, the type and the name
// as the caller gave it, which decide the lookup names. A hit on it needs no
// lookup names at all. Written into buf (kKrpRequestKeyBuf bytes); its
// length, 0 when the name is too long to key this way.
constexpr size_t kKrpRequestKeyBuf = 1 + 2 + 4 + KRP_NAME_BUF;
size_t KrpCacheRequestKey(const char *name, uint32_t type, const char *locale, char *buf);
// The lookup of out->request_key alone; kKrpCacheMiss when no valid entry
// answers (not counted as a miss: the read that follows counts it).
uint32_t KrpCacheLookupRequest(KrpReadOut *out);

// Drops every entry and the bound (read again at the next use).
void KrpReadCacheForget();

// Counters since the last forget, for tests and benchmarks.
struct KrpReadCacheStats {
  uint64_t hits, misses, entries, bytes, bound;
};
KrpReadCacheStats KrpReadCacheGetStats();

#endif  // KRP_RESOURCE_READ_CACHE_H
