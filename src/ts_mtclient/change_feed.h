// The change feed in the status block (protocol.h draws the words): who
// changes the store publishes which names changed, so that a process can
// tell whether an answer it kept is still the store's answer without asking
// the server.
//
//   generation  a new non-zero value for every host start; 0 = no host has
//               started since the block was created
//   sequence    advanced once per published name; wraps (compared as
//               unsigned differences)
//   ring        kFeedSlots words; the word of sequence number k sits at
//               slot k % kFeedSlots and holds (k & 0xFF) << 24 | hash,
//               hash = NameHash of one changed name, or kAnything
//
// A change of one name publishes the name and each of its containers
// ("a.b.c", "a.b", "a"), because a read of a container answers differently
// once its first name appears or its last one goes. A name that existed
// before and after the change (an overwrite) changes no container, and
// publishes the name alone: one slot, so the ring covers more writes. A prefix delete, a pack
// and a name with more than kMaxPublished levels publish kAnything.
//
// Publishing: the writer reserves its sequence numbers with one
// fetch-and-add and then stores each slot with its tag (release). The tag
// makes this safe with several writers and with readers that look between
// the reservation and the slot store: a slot whose tag is not the low byte
// of the sequence number asked for is "not yet written" or "already
// overwritten", and both mean "may have changed". The publisher finishes
// all its slots before it reports the change (the server before its reply),
// so a reader that starts after the change was reported finds it.
//
// Sleepers: a thread may sleep on the sequence word (a shared futex) until
// the next publication. It counts itself into the sleepers word first and
// out again after; a publisher that reads a non-zero count after storing
// its slots wakes every sleeper. The count is incremented before the
// sleeper loads the sequence it sleeps on, and the kernel compares that
// value before sleeping, so a publication either moves the sequence before
// the sleep (no sleep) or finds the count non-zero (a wake): none is lost.
// With nobody asleep a publication costs one extra load. Waiters that have
// the wake block (wake_block.h) sleep there instead, on the buckets of
// their own names, and are not counted here.
//
// Checking (Unchanged): generation and sequence are loaded with acquire,
// the slots in (since, now] are compared, then generation and sequence are
// loaded again (seqlock-style re-check): the generation must not have
// moved, and the sequence must not have run 256 numbers past `since` (the
// tags would repeat). More than kFeedSlots changes since `since` is an
// overrun: "may have changed".
#ifndef KRP_TS_MTCLIENT_CHANGE_FEED_H
#define KRP_TS_MTCLIENT_CHANGE_FEED_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform.h"
#include "protocol.h"
#include "wake_block.h"

namespace krp::feed {

constexpr uint32_t kHashMask = 0x00FFFFFFu;
constexpr uint32_t kAnything = kHashMask;  // reserved: anything may have changed
constexpr uint32_t kTagShift = 24;
constexpr uint32_t kTagRange = 256;
constexpr uint32_t kMaxPublished = 8;  // levels of one name published one by one
static_assert(proto::status::kFeedSlots < kTagRange);

// FNV-1a over the name's bytes, folded to 24 bits; never kAnything.
inline uint32_t NameHash(const char *name, size_t len) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < len; ++i) {
    h ^= static_cast<uint8_t>(name[i]);
    h *= 16777619u;
  }
  h = (h ^ (h >> kTagShift)) & kHashMask;
  return h == kAnything ? kAnything - 1 : h;
}

inline std::atomic_ref<uint32_t> Word(const volatile void *status, uint32_t off) {
  auto *p = const_cast<uint8_t *>(static_cast<const volatile uint8_t *>(status)) + off;
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(p));
}

inline uint32_t SlotOffset(uint32_t seq) {
  return proto::status::kFeedRing + (seq % proto::status::kFeedSlots) * 4;
}

inline const volatile uint32_t *SequenceWord(const volatile void *status) {
  return reinterpret_cast<const volatile uint32_t *>(
      static_cast<const volatile uint8_t *>(status) + proto::status::kFeedSequence);
}

inline void WakeSleepers(const volatile void *status) {
  KstWakeWord(SequenceWord(status), true);
}

// Counts a sleeper in (before it loads the sequence it sleeps on) and out.
inline void SleeperIn(const volatile void *status) {
  Word(status, proto::status::kFeedSleepers).fetch_add(1, std::memory_order_seq_cst);
}
// Never below 0: a host start may have cleared the word under a sleeper.
inline void SleeperOut(const volatile void *status) {
  auto w = Word(status, proto::status::kFeedSleepers);
  uint32_t n = w.load(std::memory_order_relaxed);
  while (n != 0 && !w.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
  }
}

// Publishes `count` hashes (each already a NameHash or kAnything); with a
// wake block (wake_block.h, null: none) also wakes the waiters of each
// published name.
inline void PublishHashes(volatile void *status, volatile void *wake, const uint32_t *hashes,
                          uint32_t count) {
  if (count == 0) return;
  const uint32_t first =
      Word(status, proto::status::kFeedSequence).fetch_add(count, std::memory_order_acq_rel) + 1;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t k = first + i;
    Word(status, SlotOffset(k)).store((k & 0xFFu) << kTagShift | hashes[i],
                                      std::memory_order_release);
  }
  // seq_cst pairs with the sleeper's count-then-load (see Sleepers above).
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (Word(status, proto::status::kFeedSleepers).load(std::memory_order_relaxed) != 0)
    WakeSleepers(status);
  if (!wake) return;
  for (uint32_t i = 0; i < count; ++i) {
    if (hashes[i] == kAnything) wake::PublishAll(wake);
    else wake::PublishHash(wake, hashes[i]);
  }
}

// Publishes a change of `name` (and its containers unless `name_only`);
// null, a name ending in '*' or a very deep name publish kAnything.
inline void PublishName(volatile void *status, volatile void *wake, const char *name,
                        bool name_only = false) {
  uint32_t hashes[kMaxPublished];
  uint32_t n = 0;
  size_t len = 0;
  if (name) {
    while (name[len]) ++len;
  }
  if (!name || len == 0 || name[len - 1] == '*') {
    hashes[n++] = kAnything;
  } else {
    for (size_t end = len;; --end) {
      if (end == len || name[end] == '.') {
        if (n == kMaxPublished) {
          n = 0;
          hashes[n++] = kAnything;
          break;
        }
        hashes[n++] = NameHash(name, end);
        if (name_only) break;
      }
      if (end == 0) break;
    }
  }
  PublishHashes(status, wake, hashes, n);
}

inline void PublishAnything(volatile void *status, volatile void *wake) {
  const uint32_t any = kAnything;
  PublishHashes(status, wake, &any, 1);
}

// A new generation for a host start: differs from `old` and from 0.
inline uint32_t NextGeneration(uint32_t old, uint64_t entropy) {
  uint32_t g = static_cast<uint32_t>(entropy ^ (entropy >> 32)) * 2654435761u;
  if (g == 0 || g == old) g = old + 1;
  if (g == 0) g = 1;
  return g;
}

struct Mark {
  uint32_t generation;
  uint32_t sequence;
};

inline Mark Current(const volatile void *status) {
  Mark m;
  m.generation = Word(status, proto::status::kFeedGeneration).load(std::memory_order_acquire);
  m.sequence = Word(status, proto::status::kFeedSequence).load(std::memory_order_acquire);
  return m;
}

// True when no change published after `since` can touch a name whose hash
// is in hashes[0..count); *now receives the sequence the answer holds for
// (the caller may re-stamp its entry with it).
inline bool Unchanged(const volatile void *status, Mark since, const uint32_t *hashes,
                      uint32_t count, uint32_t *now) {
  const Mark cur = Current(status);
  if (cur.generation != since.generation || cur.generation == 0) return false;
  const uint32_t span = cur.sequence - since.sequence;
  if (span > proto::status::kFeedSlots) return false;
  for (uint32_t d = 1; d <= span; ++d) {
    const uint32_t k = since.sequence + d;
    const uint32_t w = Word(status, SlotOffset(k)).load(std::memory_order_acquire);
    if ((w >> kTagShift) != (k & 0xFFu)) return false;
    const uint32_t h = w & kHashMask;
    if (h == kAnything) return false;
    for (uint32_t i = 0; i < count; ++i)
      if (hashes[i] == h) return false;
  }
  const Mark again = Current(status);
  if (again.generation != since.generation) return false;
  if (again.sequence - since.sequence >= kTagRange) return false;
  *now = cur.sequence;
  return true;
}

// What the ring tells about `since`: kTouched when a change of a name in
// hashes[0..count), "anything" or a new generation was published after it,
// kClear when nothing of the kind was, kUnknown when the ring no longer
// holds the whole span (overrun, or a slot already overwritten). *now
// receives the sequence the scan saw in every case.
enum class Scan { kClear, kTouched, kUnknown };

inline Scan ScanSince(const volatile void *status, Mark since, const uint32_t *hashes,
                      uint32_t count, uint32_t *now) {
  const Mark cur = Current(status);
  *now = cur.sequence;
  if (cur.generation != since.generation || cur.generation == 0) return Scan::kTouched;
  const uint32_t span = cur.sequence - since.sequence;
  if (span > proto::status::kFeedSlots) return Scan::kUnknown;
  for (uint32_t d = 1; d <= span; ++d) {
    const uint32_t k = since.sequence + d;
    const uint32_t w = Word(status, SlotOffset(k)).load(std::memory_order_acquire);
    if ((w >> kTagShift) != (k & 0xFFu)) return Scan::kUnknown;
    const uint32_t h = w & kHashMask;
    if (h == kAnything) return Scan::kTouched;
    for (uint32_t i = 0; i < count; ++i)
      if (hashes[i] == h) return Scan::kTouched;
  }
  const Mark again = Current(status);
  if (again.generation != since.generation) return Scan::kTouched;
  if (again.sequence - since.sequence >= kTagRange) return Scan::kUnknown;
  return Scan::kClear;
}

}  // namespace krp::feed

#endif  // KRP_TS_MTCLIENT_CHANGE_FEED_H
