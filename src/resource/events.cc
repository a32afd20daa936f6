// Event handles: watching one resource for a change of its last-write time
// stamp or size, its disappearance, or a delete of the handle.
//
// Design note
// -----------
// The record is the caller's handle: a 52-byte head (layout in krplib.h)
// and the name. It is registered in the handle registry as ResEvent from
// create until it is freed, and every entry point asks the registry before
// it reads the record, so a stale handle gives 6 without a read of freed
// memory.
//
// Ownership: the record is freed by exactly one thread. An idle handle is
// freed by dll_KrpDeleteEvent; a handle being waited on is only marked
// deleted (state 15) and freed by its waiting thread when the wait ends. The
// decisions "start a wait" (0 -> 1) and "free or mark" are both taken under
// g_events (which makes registry check + lock entry one step, so a delete
// can not free a record between a wait's check and its lock entry) and
// under the handle's own lock (which guards state, last outcome and the
// remembered values against the waiting thread).
//
// Sleeping: between looks the wait sleeps at most one poll period on
// several words at once: the state word of the record (a private futex: a
// delete changes it to 15 and wakes it) and, while the store service's change
// feed is usable, the words of the wake block (wake_block.h): the bucket
// word of each name a read of the resource would look at, and the all word
// (anything changed, or a host started). A publisher wakes only the buckets
// it published into, so a thousand waiters cost nothing while other names
// change. A wake whose publication does not touch the watched names costs
// no store request; the thread sleeps on to the end of its period, and at
// its end reads only if the wake words or the feed's ring show a change that
// may touch them. Without the wake block (no host has made one) the wait
// sleeps on the feed's sequence word instead, which every publisher wakes
// when sleepers are counted. Without a usable feed (no host since the status
// block was made, or no status block) the wait polls with the period,
// skipping the read while the status block's last-write time is older than
// the last read.
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "change_feed.h"
#include "handle_registry.h"
#include "krplib.h"
#include "mtclient.h"
#include "names.h"
#include "platform.h"
#include "resource.h"
#include "wake_block.h"

struct KrpEventRecord {
  uint32_t record_size;
  uint32_t check;
  KST_HCRITSEC lock;
  uint32_t state;  // also the futex word a delete wakes
  int32_t priority;
  uint32_t reserved;
  uint32_t period_ms;
  uint32_t last_outcome;
  uint32_t last_read;
  uint32_t stamp;
  uint32_t type;
  uint32_t size;
  char name[1];
};
static_assert(offsetof(KrpEventRecord, name) == KRP_EVENT_RECORD_SIZE,
              "the record head is 52 bytes, the name follows it");

namespace {

constexpr uint32_t kReservedAllOnes = 0xFFFFFFFFu;
constexpr uint32_t kTypeAny = 9;
constexpr uint32_t kTypeContainer = 10;
constexpr uint32_t kMsPerSec = 1000;

std::mutex g_events;  // see Ownership above; never held across a store request or a sleep

// ---- the handle's private spread --------------------------------------------
// A splitmix64 stream seeded once from the clock and the address of this
// variable; the program's rand() state is never touched.
std::atomic<uint64_t> g_spread_state{0};

uint32_t NextSpread() {
  uint64_t s = g_spread_state.load(std::memory_order_relaxed);
  if (s == 0) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t seed = static_cast<uint64_t>(ts.tv_sec) * 1000000007u ^
                          static_cast<uint64_t>(ts.tv_nsec) ^
                          reinterpret_cast<uintptr_t>(&g_spread_state);
    uint64_t expected = 0;
    g_spread_state.compare_exchange_strong(expected, seed | 1u, std::memory_order_relaxed);
  }
  uint64_t z = g_spread_state.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed) +
               0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>(z ^ (z >> 31));
}

uint32_t BasePeriod(int32_t priority) {
  switch (priority) {
    case KRP_EVENT_PRIORITY_LOW:
      return KRP_EVENT_PERIOD_LOW_MS;
    case KRP_EVENT_PRIORITY_NORMAL:
      return KRP_EVENT_PERIOD_NORMAL_MS;
    case KRP_EVENT_PRIORITY_HIGH:
      return KRP_EVENT_PERIOD_HIGH_MS;
    default:
      return KRP_EVENT_PERIOD_OTHER_MS;  // never 0: a 0 period would spin
  }
}

// ---- reading the watched resource ------------------------------------------
struct Look {
  uint32_t rc = 0;
  uint32_t type = 0;
  uint32_t size = 0;
  uint32_t stamp = 0;
};

Look ReadResource(const char *name, uint32_t type) {
  Look l;
  KrpAttributes attrs{};
  l.rc = dll_KrpGetResourceForLocale(type, name, &l.size, nullptr, nullptr, &l.type, "zz", &attrs,
                                     nullptr);
  l.stamp = attrs.timestamp;
  return l;
}

bool IsContainer(const Look &l) {
  return l.rc == KRP_ERR_IS_CONTAINER || (l.rc == KRP_OK && l.type == kTypeContainer);
}

uint32_t Now() { return static_cast<uint32_t>(time(nullptr)); }

// ---- handle life ------------------------------------------------------------
bool HeadValid(const KrpEventRecord *h) {
  return h->record_size == KRP_EVENT_RECORD_SIZE && h->check == KRP_EVENT_CHECK_WORD;
}

// Under g_events: the record behind `h`, or null when it is not a live
// event handle.
KrpEventRecord *LiveRecord(KRP_HEVENT h) {
  if (!h || !KstHandleIsLive(h, KstHandleKind::ResEvent)) return nullptr;
  return HeadValid(h) ? h : nullptr;
}

// Under g_events, after the record left the registry's sight of others.
void FreeRecord(KrpEventRecord *h) {
  KstHandleUnregister(h, KstHandleKind::ResEvent);
  KstDeleteCritSec(h->lock);
  memset(h, 0, KRP_EVENT_RECORD_SIZE);
  KstFreeMem(h, 0);
}

std::atomic_ref<uint32_t> StateWord(KrpEventRecord *h) { return std::atomic_ref<uint32_t>(h->state); }

uint32_t LoadState(KrpEventRecord *h) { return StateWord(h).load(std::memory_order_acquire); }

uint32_t BeginWait(KRP_HEVENT handle) {
  std::lock_guard<std::mutex> g(g_events);
  KrpEventRecord *h = LiveRecord(handle);
  if (!h) return KRP_ERR_INVALID_HANDLE;
  if (KstEnterCritSec(h->lock) != KST_OK) return KRP_ERR_ACCESS_DENIED;
  uint32_t rc = KRP_OK;
  if (h->state != KRP_EVENT_STATE_IDLE) rc = KRP_ERR_WAIT_RUNNING;
  else StateWord(h).store(KRP_EVENT_STATE_WAITING, std::memory_order_release);
  KstLeaveCritSec(h->lock);
  return rc;
}

// ---- what the wait watches in the change feed ------------------------------
struct Watch {
  volatile uint8_t *status = nullptr;
  volatile uint8_t *wake = nullptr;  // the wake block; null: sleep on the feed's sequence
  krp::feed::Mark mark{};            // taken before the last read
  uint32_t hashes[KRP_SLOT_COUNT] = {};
  uint32_t count = 0;
  // The distinct wake buckets of the hashes, and their words as of the
  // mark (advanced while the publications in them are judged not ours).
  uint32_t buckets[KRP_SLOT_COUNT] = {};
  uint32_t seen[KRP_SLOT_COUNT] = {};
  uint32_t bucket_count = 0;
  uint32_t all_seen = 0;
  bool fresh = true;  // every wait looks once at its start
  bool usable() const { return status && mark.generation != 0 && count != 0; }
};

// The wake words at one moment: what a sleep compares against.
struct WakeWords {
  uint32_t all = 0;
  uint32_t buckets[KRP_SLOT_COUNT] = {};
};

std::atomic<uint64_t> g_wakeups{0};  // see KrpTestEventWakeups

void NoteBuckets(Watch *w) {
  w->bucket_count = 0;
  for (uint32_t i = 0; i < w->count; ++i) {
    const uint32_t b = krp::wake::BucketOf(w->hashes[i]);
    bool known = false;
    for (uint32_t j = 0; j < w->bucket_count; ++j) known |= w->buckets[j] == b;
    if (!known) w->buckets[w->bucket_count++] = b;
  }
}

// The store names a read of the resource looks at, as hashes and buckets.
void HashLookupNames(const KrpEventRecord *h, Watch *w) {
  w->count = 0;
  w->bucket_count = 0;
  char locale[3] = {0};
  KrpCurrentLocale(locale);
  KrpLookupNames set;
  if (KrpBuildLookupSet(h->name, h->type, "zz", locale, &set) != KRP_OK) return;
  for (const auto &slot : set.slots)
    if (slot[0]) w->hashes[w->count++] = krp::feed::NameHash(slot, strlen(slot));
  if (set.pattern[0]) w->count = 0;  // a listing depends on every name below: no shortcut
  NoteBuckets(w);
}

WakeWords LoadWakeWords(const Watch *w) {
  WakeWords now;
  now.all = krp::wake::LoadAll(w->wake);
  for (uint32_t i = 0; i < w->bucket_count; ++i)
    now.buckets[i] = krp::wake::LoadBucket(w->wake, w->buckets[i]);
  return now;
}

// The mark before a read: the wake words first, then the feed, so that a
// publication the words miss has not reached the feed either.
void TakeMark(Watch *w) {
  if (w->wake) {
    const WakeWords now = LoadWakeWords(w);
    w->all_seen = now.all;
    memcpy(w->seen, now.buckets, sizeof w->seen);
  }
  w->mark = krp::feed::Current(w->status);
}

// True when the feed shows a change that may touch the watched names.
bool FeedMoved(Watch *w) {
  uint32_t now = 0;
  if (krp::feed::Unchanged(w->status, w->mark, w->hashes, w->count, &now)) {
    w->mark.sequence = now;
    return false;
  }
  return true;
}

// True when a publication since the mark may touch the watched names, judged
// by the wake words `now` (loaded before this call) and the feed's ring.
// Every publisher that knows the wake block advances a name's bucket after
// its ring slot: a bucket that moved by one publication of a name not ours
// clears it, whatever the ring still holds. A bucket that moved further, or
// by a name of ours, is cleared only by the ring. The ring is asked in every
// case, so that a publisher that does not know the wake block is still seen
// while the ring holds its entry.
bool WakeMoved(Watch *w, const WakeWords &now) {
  if (now.all != w->all_seen) return true;
  bool maybe = false;
  for (uint32_t i = 0; i < w->bucket_count; ++i)
    maybe |= krp::wake::Judge(w->buckets[i], w->seen[i], now.buckets[i], w->hashes, w->count) ==
             krp::wake::Step::kMaybeMine;
  uint32_t seq = 0;
  const krp::feed::Scan ring = krp::feed::ScanSince(w->status, w->mark, w->hashes, w->count, &seq);
  if (ring == krp::feed::Scan::kTouched) return true;
  if (ring == krp::feed::Scan::kUnknown && maybe) return true;
  // Every publication the words show is accounted for up to `seq`: one that
  // reserved its number but had not yet advanced its bucket will still move
  // the bucket past `now`.
  w->mark.sequence = seq;
  memcpy(w->seen, now.buckets, sizeof w->seen);
  return false;
}

bool Moved(Watch *w) { return w->wake ? WakeMoved(w, LoadWakeWords(w)) : FeedMoved(w); }

bool ShouldRead(const KrpEventRecord *h, Watch *w) {
  if (w->fresh || h->last_read == 0) return true;
  if (w->usable()) return Moved(w);
  if (!w->status) return true;
  return !(h->last_read > krp::proto::Load32(w->status, krp::proto::status::kLastWrite));
}

uint32_t LeftOfPeriod(const KrpEventRecord *h, const timespec &start) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t spent = (now.tv_sec - start.tv_sec) * int64_t{kMsPerSec} +
                        (now.tv_nsec - start.tv_nsec) / 1000000;
  return spent >= h->period_ms ? 0 : h->period_ms - static_cast<uint32_t>(spent);
}

void NoteWake(uint32_t rc) {
  if (rc == KST_OK) g_wakeups.fetch_add(1, std::memory_order_relaxed);
}

// One sleep on the feed's sequence word (no wake block); true when the feed
// moved for the watched names.
bool SleepOnFeed(Watch *w, const KstWaitWord &state, uint32_t left) {
  krp::feed::SleeperIn(w->status);
  const uint32_t seq = krp::feed::Current(w->status).sequence;
  const bool moved = FeedMoved(w);
  if (!moved)
    NoteWake(KstWaitOnWords(KstWaitWord{krp::feed::SequenceWord(w->status), seq, true}, state,
                            left));
  krp::feed::SleeperOut(w->status);
  return moved;
}

// One sleep on the buckets of the watched names, the all word and the state
// word; true when a publication may have touched the watched names. The
// words are loaded after counting in and judged with the values the sleep
// compares against, so a publication between the two ends the sleep at
// once.
bool SleepOnBuckets(Watch *w, const KstWaitWord &state, uint32_t left) {
  for (uint32_t i = 0; i < w->bucket_count; ++i) krp::wake::SleeperIn(w->wake, w->buckets[i]);
  const WakeWords now = LoadWakeWords(w);
  const bool moved = WakeMoved(w, now);
  if (!moved) {
    KstWaitWord words[KRP_SLOT_COUNT + 2];
    uint32_t n = 0;
    for (uint32_t i = 0; i < w->bucket_count; ++i)
      words[n++] = KstWaitWord{krp::wake::BucketWord(w->wake, w->buckets[i]), now.buckets[i], true};
    words[n++] = KstWaitWord{krp::wake::AllWord(w->wake), now.all, true};
    words[n++] = state;
    NoteWake(KstWaitOnWordList(words, n, left));
  }
  for (uint32_t i = 0; i < w->bucket_count; ++i) krp::wake::SleeperOut(w->wake, w->buckets[i]);
  return moved;
}

// Sleeps until the end of one period, a delete, or a feed change of the
// watched names.
void SleepPeriod(KrpEventRecord *h, Watch *w) {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const KstWaitWord state{&h->state, KRP_EVENT_STATE_WAITING, false};
  for (;;) {
    if (LoadState(h) != KRP_EVENT_STATE_WAITING) return;
    const uint32_t left = LeftOfPeriod(h, start);
    if (left == 0) return;
    if (!w->usable()) {
      KstWaitOnWord(state, left);
      continue;
    }
    if (w->wake ? SleepOnBuckets(w, state, left) : SleepOnFeed(w, state, left)) return;
  }
}

// One read and its outcome, under the handle's lock (step c). Returns the
// last outcome.
uint32_t LookOnce(KrpEventRecord *h, Watch *w, uint32_t *stamp, uint32_t *event) {
  w->fresh = false;
  // The names before the read: a read that ends the wait is the only one
  // that changes the type they are built from.
  HashLookupNames(h, w);
  if (w->status) TakeMark(w);
  const Look l = ReadResource(h->name, h->type);
  KstEnterCritSec(h->lock);
  if (l.rc != KRP_OK) {
    h->last_outcome = KRP_EVENT_READ_FAILED;
    *event = KRP_EVENT_READ_FAILED;
    *stamp = 0;
  } else {
    h->last_read = Now();
    const bool unchanged = (*stamp == 0 || *stamp == l.stamp) && h->stamp == l.stamp &&
                           h->size == l.size;
    if (unchanged) {
      h->last_outcome = KRP_EVENT_NONE;
    } else {
      h->size = l.size;
      h->stamp = l.stamp;
      h->type = l.type;
      h->last_outcome = KRP_EVENT_CHANGED;
      *event = KRP_EVENT_CHANGED;
      *stamp = l.stamp;
    }
  }
  const uint32_t outcome = h->last_outcome;
  KstLeaveCritSec(h->lock);
  return outcome;
}

// Under g_events, so that a delete either came before (state 15: this
// thread frees) or comes after (the handle is idle again and it frees).
uint32_t EndWait(KrpEventRecord *h) {
  std::lock_guard<std::mutex> g(g_events);
  if (LoadState(h) == KRP_EVENT_STATE_DELETED) {
    FreeRecord(h);
    return KRP_ERR_EVENT_DELETED;
  }
  if (KstEnterCritSec(h->lock) != KST_OK) return KRP_ERR_ACCESS_DENIED;
  StateWord(h).store(KRP_EVENT_STATE_IDLE, std::memory_order_release);
  return KstLeaveCritSec(h->lock) == KST_OK ? KRP_OK : KRP_ERR_ACCESS_DENIED;
}

}  // namespace

extern "C" {

uint32_t dll_KrpCreateEventHandle(KRP_HEVENT *handle, const char *name, int32_t priority,
                                  uint32_t reserved) {
  if (!handle || !name || reserved != 0 || name[0] == 0) return KRP_ERR_INVALID_PARAMETER;
  const Look l = ReadResource(name, kTypeAny);
  if (IsContainer(l)) return KRP_ERR_WRONG_TYPE;
  if (l.rc != KRP_OK) return KRP_ERR_NOT_FOUND;
  const size_t len = strlen(name);
  void *mem = nullptr;
  // Head, name and its terminator: one byte more than the name's length
  // plus the head, which would leave the terminator outside the block.
  uint32_t rc =
      KstAllocMem(static_cast<uint32_t>(KRP_EVENT_RECORD_SIZE + len + 1), 0, &mem, nullptr);
  if (rc != KST_OK) return rc;
  auto *h = static_cast<KrpEventRecord *>(mem);
  memset(h, 0, KRP_EVENT_RECORD_SIZE);
  h->record_size = KRP_EVENT_RECORD_SIZE;
  h->check = KRP_EVENT_CHECK_WORD;
  h->state = KRP_EVENT_STATE_IDLE;
  h->priority = priority;
  h->reserved = kReservedAllOnes;
  h->stamp = l.stamp;
  h->type = l.type;
  h->size = l.size;
  memcpy(h->name, name, len + 1);
  h->period_ms = BasePeriod(priority) + (NextSpread() & KRP_EVENT_SPREAD_MASK);
  rc = KstCreateCritSec(&h->lock);
  if (rc == KST_OK) rc = KstHandleRegister(h, KstHandleKind::ResEvent);
  if (rc != KST_OK) {
    if (h->lock) KstDeleteCritSec(h->lock);
    KstFreeMem(h, 0);
    return rc;
  }
  *handle = h;
  return KRP_OK;
}

uint32_t dll_KrpDeleteEvent(KRP_HEVENT handle) {
  std::lock_guard<std::mutex> g(g_events);
  KrpEventRecord *h = LiveRecord(handle);
  if (!h) return KRP_ERR_INVALID_HANDLE;
  if (KstEnterCritSec(h->lock) != KST_OK) return KRP_ERR_ACCESS_DENIED;
  if (h->state == KRP_EVENT_STATE_IDLE) {
    KstLeaveCritSec(h->lock);
    FreeRecord(h);
    return KRP_OK;
  }
  if (h->state == KRP_EVENT_STATE_WAITING) {
    h->last_outcome = KRP_EVENT_NONE;
    StateWord(h).store(KRP_EVENT_STATE_DELETED, std::memory_order_release);
    // Under g_events the waiter can not free the record yet: the word
    // is still ours to wake.
    KstWakeWord(&h->state, false);
  }
  KstLeaveCritSec(h->lock);
  return KRP_OK;
}

uint32_t dll_KrpWaitForEvent(KRP_HEVENT handle, uint32_t *stamp, uint32_t *event,
                             uint32_t reserved) {
  if (!stamp || !event || reserved != 0) return KRP_ERR_INVALID_PARAMETER;
  const uint32_t rc = BeginWait(handle);
  if (rc != KRP_OK) return rc;
  KrpEventRecord *h = handle;
  Watch w;
  w.status = MtStatusBlock();
  if (w.status) w.wake = MtWakeBlock();
  while (LoadState(h) != KRP_EVENT_STATE_DELETED) {
    if (ShouldRead(h, &w) && LookOnce(h, &w, stamp, event) != KRP_EVENT_NONE) break;
    SleepPeriod(h, &w);
  }
  return EndWait(h);
}

uint32_t dll_KrpCheckForEvent(const char *name, uint32_t *stamp, uint32_t *event,
                              uint32_t reserved) {
  if (!name || !stamp || !event || reserved != 0 || name[0] == 0)
    return KRP_ERR_INVALID_PARAMETER;
  const Look l = ReadResource(name, kTypeAny);
  if (IsContainer(l)) return KRP_ERR_WRONG_TYPE;
  if (l.rc == KRP_OK) {
    *event = (*stamp != 0 && *stamp != l.stamp) ? KRP_EVENT_CHANGED : KRP_EVENT_NONE;
    if (*stamp == 0 || *stamp != l.stamp) *stamp = l.stamp;
    return KRP_OK;
  }
  if (*stamp == 0) return KRP_ERR_NOT_FOUND;
  if (l.rc == KRP_ERR_NOT_FOUND) {
    *event = KRP_EVENT_GONE;
    return KRP_OK;
  }
  *event = KRP_EVENT_NONE;
  return KRP_ERR_GENERAL;
}

}  // extern "C"

uint64_t KrpTestEventWakeups() { return g_wakeups.load(std::memory_order_relaxed); }
