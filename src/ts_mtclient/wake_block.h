// The wake block (protocol.h draws its words): lets a publication of the
// change feed (change_feed.h) wake only the threads that wait on a name it
// may concern, instead of every thread asleep on the feed's sequence word.
//
//   all      advanced (and woken) by every publication of "anything" and by
//            every host start: every waiter sleeps on it as well
//   buckets  kBucketCount pairs of words, chosen by the low kBucketBits of
//            a name's feed hash: the bucket word (a shared futex) and the
//            number of threads asleep on it
//
// Bucket word: the high bits (above kBucketBits) count the publications
// into the bucket (they wrap), the low kBucketBits bits hold the rest of
// the feed hash of the last name published into it (its bits above the
// bucket index); with the bucket index that is the whole 24-bit hash.
// So a waiter that saw the word W and now sees W' can tell "exactly one
// publication since, of a name that is not mine" (the count moved by one and
// the hash is not among its own) from "may be mine" (anything else: it then
// asks the feed's ring, and reads the store if the ring can not clear it).
//
// Publishing: after its ring slots (so a woken waiter finds them), the
// publisher advances the bucket word of each published hash with an atomic
// read-modify-write and then, after a full fence, wakes the bucket if its
// sleeper count is not 0. A sleeper counts itself in (seq_cst) before it
// loads the word it sleeps on, and the kernel compares that value before
// sleeping: a publication either moved the word before the sleep (no sleep)
// or sees the count (a wake). None is lost.
//
// The block is created (or opened, when waiters of an earlier host still
// hold it) by the host at its start and opened by every other process on
// first need; it lives while some process maps it. A new block is all zero,
// which is a valid state. Sleeper counts are never reset: a waiter killed
// in its sleep leaves its count behind, which costs later publishers into
// that bucket one needless wake call, never a lost wake.
#ifndef KRP_TS_MTCLIENT_WAKE_BLOCK_H
#define KRP_TS_MTCLIENT_WAKE_BLOCK_H

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "protocol.h"

namespace krp::wake {

using proto::wake::kBucketBits;
using proto::wake::kBucketCount;
constexpr uint32_t kBucketMask = kBucketCount - 1;
constexpr uint32_t kTagMask = (1u << kBucketBits) - 1;  // holds the hash's upper bits
constexpr uint32_t kCountOne = 1u << kBucketBits;       // one publication
static_assert(kBucketCount == 1u << kBucketBits);
static_assert(2 * kBucketBits >= 24, "the tag field holds every hash bit above the index");

inline uint32_t BucketOf(uint32_t hash) { return hash & kBucketMask; }
inline uint32_t TagOf(uint32_t hash) { return (hash >> kBucketBits) & kTagMask; }

inline std::atomic_ref<uint32_t> At(const volatile void *block, uint32_t off) {
  auto *p = const_cast<uint8_t *>(static_cast<const volatile uint8_t *>(block)) + off;
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(p));
}

inline uint32_t BucketOffset(uint32_t bucket) {
  return proto::wake::kBuckets + bucket * proto::wake::kBucketSize;
}

inline const volatile uint32_t *WordAddr(const volatile void *block, uint32_t off) {
  return reinterpret_cast<const volatile uint32_t *>(static_cast<const volatile uint8_t *>(block) +
                                                     off);
}

inline const volatile uint32_t *BucketWord(const volatile void *block, uint32_t bucket) {
  return WordAddr(block, BucketOffset(bucket));
}

inline const volatile uint32_t *AllWord(const volatile void *block) {
  return WordAddr(block, proto::wake::kAll);
}

inline uint32_t LoadBucket(const volatile void *block, uint32_t bucket) {
  return At(block, BucketOffset(bucket)).load(std::memory_order_acquire);
}

inline uint32_t LoadAll(const volatile void *block) {
  return At(block, proto::wake::kAll).load(std::memory_order_acquire);
}

// Counts a sleeper of `bucket` in (before it loads the word it sleeps on)
// and out again; never below 0.
inline void SleeperIn(const volatile void *block, uint32_t bucket) {
  At(block, BucketOffset(bucket) + proto::wake::kBucketSleepers)
      .fetch_add(1, std::memory_order_seq_cst);
}
inline void SleeperOut(const volatile void *block, uint32_t bucket) {
  auto w = At(block, BucketOffset(bucket) + proto::wake::kBucketSleepers);
  uint32_t n = w.load(std::memory_order_relaxed);
  while (n != 0 && !w.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
  }
}

// One publication of a name whose feed hash is `hash` (not "anything").
inline void PublishHash(volatile void *block, uint32_t hash) {
  const uint32_t bucket = BucketOf(hash);
  auto w = At(block, BucketOffset(bucket));
  uint32_t old = w.load(std::memory_order_relaxed);
  while (!w.compare_exchange_weak(old, ((old & ~kTagMask) + kCountOne) | TagOf(hash),
                                  std::memory_order_seq_cst, std::memory_order_relaxed)) {
  }
  // seq_cst pairs with the sleeper's count-then-load (see Publishing above).
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (At(block, BucketOffset(bucket) + proto::wake::kBucketSleepers)
          .load(std::memory_order_relaxed) != 0)
    KstWakeWord(BucketWord(block, bucket), true);
}

// "Anything may have changed", and a host start: every waiter looks again.
inline void PublishAll(volatile void *block) {
  At(block, proto::wake::kAll).fetch_add(1, std::memory_order_seq_cst);
  KstWakeWord(AllWord(block), true);
}

enum class Step { kQuiet, kNotMine, kMaybeMine };

// What happened in `bucket` between the word values `seen` and `now`, for a
// waiter whose names hash to hashes[0..count).
inline Step Judge(uint32_t bucket, uint32_t seen, uint32_t now, const uint32_t *hashes,
                  uint32_t count) {
  if (now == seen) return Step::kQuiet;
  if ((now & ~kTagMask) - (seen & ~kTagMask) != kCountOne) return Step::kMaybeMine;
  for (uint32_t i = 0; i < count; ++i)
    if (BucketOf(hashes[i]) == bucket && TagOf(hashes[i]) == (now & kTagMask))
      return Step::kMaybeMine;
  return Step::kNotMine;
}

}  // namespace krp::wake

#endif  // KRP_TS_MTCLIENT_WAKE_BLOCK_H
