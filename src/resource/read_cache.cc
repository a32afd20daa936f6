// The process's read cache (read_cache.h): the index, its bound and LRU
// order, the validation against the change feed and the replay of a kept
// walk.
#include "read_cache.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "change_feed.h"
#include "platform.h"
#include "resource.h"

namespace {

constexpr uint64_t kDefaultBound = 4u << 20;
// Bookkeeping charged to every entry besides its key and bytes (list node,
// index slot, the strings' headers).
constexpr uint64_t kEntryOverhead = 160;
// An answer larger than bound / kLargestShare is not kept.
constexpr uint64_t kLargestShare = 4;
constexpr size_t kKeyBuf = 1 + KrpRawAnswers::kMaxNames * (KRP_NAME_BUF + 2);
// The first byte of a key tells its kind, so the two kinds never collide.
constexpr char kNamesKeyTag = 'N', kRequestKeyTag = 'R';

struct Entry {
  uint64_t key_hash;  // KeyHash(key)
  std::string key;
  std::string walk;  // the lookup names in MakeWalk's form
  krp::feed::Mark mark;
  KrpRawAnswers raw;
  uint32_t hashes[KrpRawAnswers::kMaxNames];
  uint64_t cost;
};

using Pos = std::list<Entry>::iterator;

// A key's 64-bit hash, eight bytes at a time; never 0 (the empty slot).
uint64_t KeyHash(std::string_view k) {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  const char *p = k.data();
  size_t n = k.size();
  uint64_t h = n * kMul;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    h = (h ^ w) * kMul;
    h ^= h >> 29;
  }
  uint64_t w = 0;
  memcpy(&w, p, n);
  h = (h ^ w) * kMul;
  h ^= h >> 32;
  return h ? h : 1;
}

// The index: open addressing with linear probing over the keys' hashes; a
// slot holds the hash and the entry's place in the LRU list. An erase
// shifts the rest of its probe run back (no tombstones), so a lookup stops
// at the first empty slot. At most 3/4 of the slots are used.
class EntryIndex {
 public:
  Pos *Find(std::string_view key, uint64_t h) {
    if (slots_.empty()) return nullptr;
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      Slot &s = slots_[i];
      if (s.hash == 0) return nullptr;
      if (s.hash == h && s.pos->key == key) return &s.pos;
    }
  }
  // The key must not be in the index. May throw std::bad_alloc, leaving
  // the index as it was.
  void Insert(uint64_t h, Pos pos) {
    if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
    size_t i = h & mask_;
    while (slots_[i].hash != 0) i = (i + 1) & mask_;
    slots_[i] = Slot{h, pos};
    ++used_;
  }
  void Erase(const Entry &e) {
    size_t i = e.key_hash & mask_;
    // The entry is indexed (Keep indexes every entry it lists), so this ends.
    while (slots_[i].hash != e.key_hash || &*slots_[i].pos != &e) i = (i + 1) & mask_;
    for (size_t j = i;;) {
      j = (j + 1) & mask_;
      if (slots_[j].hash == 0) break;
      const size_t home = slots_[j].hash & mask_;
      // Slot j may move back to i when its home is not in (i, j] (cyclically).
      const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
      if (!stays) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i].hash = 0;
    --used_;
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    Pos pos{};
  };
  static constexpr size_t kFirstSlots = 64;
  void Grow() {
    std::vector<Slot> bigger(slots_.empty() ? kFirstSlots : slots_.size() * 2);
    const size_t mask = bigger.size() - 1;
    for (const Slot &s : slots_) {
      if (s.hash == 0) continue;
      size_t i = s.hash & mask;
      while (bigger[i].hash != 0) i = (i + 1) & mask;
      bigger[i] = s;
    }
    slots_.swap(bigger);
    mask_ = mask;
  }
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;
};

struct Cache {
  uint64_t bound = 0;
  uint64_t bytes = 0;
  uint64_t hits = 0, misses = 0;
  std::list<Entry> lru;  // most recently used first
  EntryIndex index;
};

std::mutex g_mu;
Cache *g_cache = nullptr;  // under g_mu; created at first use

uint64_t BoundFromEnvironment() {
  char buf[32] = {0};
  if (KstGetEnv("KRP_CACHE_BYTES", buf, sizeof buf) != 0 || !buf[0]) return kDefaultBound;
  char *end = nullptr;
  const unsigned long long v = strtoull(buf, &end, 10);
  if (end == buf || *end) return kDefaultBound;
  return v;
}

void ForkPrepare() { g_mu.lock(); }
void ForkParent() { g_mu.unlock(); }
// The child has one thread and its own copy of the cache; it forgets it,
// because the feed it was checked against may now be read from elsewhere.
void ForkChild() {
  delete g_cache;
  g_cache = nullptr;
  g_mu.unlock();
}

// Under g_mu. Null when the cache is off.
Cache *Get() {
  static const bool handlers = pthread_atfork(ForkPrepare, ForkParent, ForkChild) == 0;
  (void)handlers;
  if (!g_cache) {
    g_cache = new (std::nothrow) Cache;
    if (!g_cache) return nullptr;
    g_cache->bound = BoundFromEnvironment();
  }
  return g_cache->bound ? g_cache : nullptr;
}

void Erase(Cache *c, Pos it) {
  c->index.Erase(*it);
  c->bytes -= it->cost;
  c->lru.erase(it);
}

// The lookup names as an entry keeps them: each name with its terminator,
// then its slot byte. 0 when they do not fit (not cached).
size_t MakeWalk(const char *const *names, const uint32_t *slot_of, uint32_t count, char *key) {
  size_t n = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t len = strnlen(names[i], KRP_NAME_BUF);
    if (len >= KRP_NAME_BUF) return 0;
    memcpy(key + n, names[i], len + 1);
    n += len + 1;
    key[n++] = static_cast<char>(slot_of[i]);
  }
  return n;
}

// The walk of KrpReadFirstOfNames over kept answers.
uint32_t Replay(const Entry &e, KrpReadOut *out) {
  uint32_t result = KRP_ERR_NOT_FOUND;
  if (out->alloc) *out->alloc = nullptr;
  const char *name = e.walk.data();
  for (uint32_t i = 0; i < e.raw.walked; ++i) {
    const size_t len = strlen(name);
    const uint32_t slot = static_cast<uint8_t>(name[len + 1]);
    const char *this_name = name;
    name += len + 2;
    switch (e.raw.kinds[i]) {
      case KrpRawAnswers::kAbsent:
        break;
      case KrpRawAnswers::kContainer:
        if (out->type_out) *out->type_out = KRP_TYPE_CONTAINER;
        if (out->type == KRP_TYPE_ANY || out->type == KRP_TYPE_CONTAINER)
          return KRP_ERR_IS_CONTAINER;
        result = KRP_ERR_WRONG_TYPE;
        break;
      default: {
        const auto *stored =
            e.raw.has_data ? reinterpret_cast<const uint8_t *>(e.raw.data.data()) : nullptr;
        return KrpDeliverValue(out, stored, e.raw.size, e.raw.consumer, e.raw.last_wr,
                               e.raw.attr, slot, this_name);
      }
    }
  }
  return result;
}

// Whether the kept walk can answer this request: a value the request wants
// copied must have been kept with its bytes.
bool Answers(const Entry &e, const KrpReadOut *out) {
  const bool want = out->want_value && (out->buffer || out->alloc);
  if (!want || e.raw.walked == 0) return true;
  return e.raw.kinds[e.raw.walked - 1] != KrpRawAnswers::kValue || e.raw.has_data;
}

// A valid entry answers under the lock; kMiss = no valid entry.
constexpr uint32_t kMiss = kKrpCacheMiss;
// `count_miss` false: a miss here is followed by a lookup that counts it.
uint32_t TryHit(std::string_view key, const volatile uint8_t *status, KrpReadOut *out,
                bool count_miss = true) {
  std::lock_guard<std::mutex> lock(g_mu);
  Cache *c = Get();
  if (!c) return kMiss;
  const uint64_t h = KeyHash(key);
  Pos *found = c->index.Find(key, h);
  if (!found) {
    c->misses += count_miss;
    return kMiss;
  }
  const Pos at = *found;
  Entry &e = *at;
  uint32_t now = 0;
  if (!krp::feed::Unchanged(status, e.mark, e.hashes, e.raw.walked, &now)) {
    Erase(c, at);
    c->misses += count_miss;
    return kMiss;
  }
  if (!Answers(e, out)) {
    c->misses += count_miss;
    return kMiss;
  }
  e.mark.sequence = now;
  c->lru.splice(c->lru.begin(), c->lru, at);
  ++c->hits;
  return Replay(e, out);
}

void Keep(std::string_view key, std::string_view walk, krp::feed::Mark mark, KrpRawAnswers &raw,
          const char *const *names) {
  std::lock_guard<std::mutex> lock(g_mu);
  Cache *c = Get();
  if (!c) return;
  const uint64_t cost = key.size() + walk.size() + raw.data.size() + kEntryOverhead;
  if (cost > c->bound / kLargestShare) return;
  const uint64_t h = KeyHash(key);
  if (Pos *old = c->index.Find(key, h)) {
    // A newer answer of the same generation stays.
    const Entry &o = **old;
    if (o.mark.generation == mark.generation &&
        static_cast<int32_t>(o.mark.sequence - mark.sequence) > 0)
      return;
    Erase(c, *old);
  }
  c->lru.emplace_front();
  // Listed and indexed together or not at all: an allocation that fails
  // takes the half-made entry out again.
  try {
    Entry &e = c->lru.front();
    e.key_hash = h;
    e.key.assign(key);
    e.walk.assign(walk);
    e.mark = mark;
    e.raw = std::move(raw);
    for (uint32_t i = 0; i < e.raw.walked; ++i)
      e.hashes[i] = krp::feed::NameHash(names[i], strlen(names[i]));
    e.cost = cost;
    c->index.Insert(h, c->lru.begin());
  } catch (...) {
    c->lru.pop_front();
    throw;
  }
  c->bytes += cost;
  while (c->bytes > c->bound && !c->lru.empty()) Erase(c, std::prev(c->lru.end()));
}

bool Enabled() {
  std::lock_guard<std::mutex> lock(g_mu);
  return Get() != nullptr;
}

}  // namespace

namespace {

// The walk of a lookup into buf; 0 when the lookup is not one the cache
// keeps.
size_t CacheWalk(const char *const *names, const uint32_t *slot_of, uint32_t count,
                 const KrpReadOut *out, char *buf) {
  if (count == 0 || count > KrpRawAnswers::kMaxNames || !names || !slot_of || !out || !out->size)
    return 0;
  for (uint32_t i = 0; i < count; ++i)
    if (!names[i]) return 0;
  return MakeWalk(names, slot_of, count, buf);
}

// The key of a lookup whose walk is buf[1, 1 + walk_len): the request's
// own key when the read gave one, else the tagged walk in buf itself.
std::string_view KeyOf(const KrpReadOut *out, char *buf, size_t walk_len) {
  if (out->request_key) return std::string_view(out->request_key, out->request_key_len);
  buf[0] = kNamesKeyTag;
  return std::string_view(buf, walk_len + 1);
}

// The miss path: the server read, kept when it is the store's own answer.
uint32_t ReadAndKeep(std::string_view key, std::string_view walk, const volatile uint8_t *status,
                     const char *const *names, const uint32_t *slot_of, uint32_t count,
                     KrpReadOut *out) {
  // The mark is taken before the request: a change that races it can only
  // make the entry look older.
  const krp::feed::Mark mark = krp::feed::Current(status);
  KrpRawAnswers raw;
  const bool keep = mark.generation != 0 && Enabled();
  uint32_t rc = KrpReadFirstOfNamesRecorded(names, slot_of, count, out, keep ? &raw : nullptr);
  // Only the store's own answers are kept: a lookup that ended in a
  // failure of its own (allocation, time-out, a broken reply) is never
  // remembered, whatever the walk recorded before it failed.
  const bool answered = rc == 0 || rc == KRP_ERR_NOT_FOUND || rc == KRP_ERR_WRONG_TYPE ||
                        rc == KRP_ERR_IS_CONTAINER || rc == KST_ERR_BUFFER_TOO_SMALL;
  if (keep && answered && raw.cacheable) {
    try {
      Keep(key, walk, mark, raw, names);
    } catch (...) {
    }
  }
  return rc;
}

}  // namespace

uint32_t KrpCacheLookup(const char *const *names, const uint32_t *slot_of, uint32_t count,
                        KrpReadOut *out) {
  const volatile uint8_t *status = MtStatusBlock();
  char buf[kKeyBuf];
  const size_t walk_len = status ? CacheWalk(names, slot_of, count, out, buf + 1) : 0;
  if (walk_len == 0) return kKrpCacheMiss;
  try {
    return TryHit(KeyOf(out, buf, walk_len), status, out);
  } catch (...) {
    return kKrpCacheMiss;
  }
}

uint32_t KrpCacheReadAndKeep(const char *const *names, const uint32_t *slot_of, uint32_t count,
                             KrpReadOut *out) {
  for (uint32_t i = 0; names && i < count; ++i)
    if (!names[i]) return KST_ERR_INVALID_PARAMETER;
  const volatile uint8_t *status = MtStatusBlock();
  char buf[kKeyBuf];
  const size_t walk_len = status ? CacheWalk(names, slot_of, count, out, buf + 1) : 0;
  if (walk_len == 0) return KrpReadFirstOfNames(names, slot_of, count, out);
  return ReadAndKeep(KeyOf(out, buf, walk_len), std::string_view(buf + 1, walk_len), status,
                     names, slot_of, count, out);
}

size_t KrpCacheRequestKey(const char *name, uint32_t type, const char *locale, char *buf) {
  if (!name || !locale || !locale[0] || !locale[1]) return 0;
  const size_t len = strnlen(name, KRP_NAME_BUF);
  if (len >= KRP_NAME_BUF) return 0;
  buf[0] = kRequestKeyTag;
  buf[1] = locale[0];
  buf[2] = locale[1];
  memcpy(buf + 3, &type, sizeof type);
  memcpy(buf + 3 + sizeof type, name, len);
  return 3 + sizeof type + len;
}

uint32_t KrpCacheLookupRequest(KrpReadOut *out) {
  const volatile uint8_t *status = MtStatusBlock();
  if (!status || !out || !out->size || !out->request_key) return kKrpCacheMiss;
  try {
    return TryHit(std::string_view(out->request_key, out->request_key_len), status, out, false);
  } catch (...) {
    return kKrpCacheMiss;
  }
}

uint32_t KrpCachedReadFirst(const char *const *names, const uint32_t *slot_of, uint32_t count,
                            KrpReadOut *out) {
  const uint32_t rc = KrpCacheLookup(names, slot_of, count, out);
  return rc != kKrpCacheMiss ? rc : KrpCacheReadAndKeep(names, slot_of, count, out);
}

void KrpReadCacheForget() {
  std::lock_guard<std::mutex> lock(g_mu);
  delete g_cache;
  g_cache = nullptr;
}

KrpReadCacheStats KrpReadCacheGetStats() {
  std::lock_guard<std::mutex> lock(g_mu);
  KrpReadCacheStats s{0, 0, 0, 0, 0};
  if (!g_cache) return s;
  s.hits = g_cache->hits;
  s.misses = g_cache->misses;
  s.entries = g_cache->lru.size();
  s.bytes = g_cache->bytes;
  s.bound = g_cache->bound;
  return s;
}
