// Events: auto-reset and manual-reset, named (shared between processes) or
// process-local, built on one futex word.
//
// Design note
// -----------
// State (the payload of a named event, 8 bytes):
//
//   offset  field
//   0       word    bit 0: signalled; bits 1..30: sequence, +1 per signal
//                   that found the event clear; bit 31: a waiter may be
//                   asleep. The futex word.
//   4       manual  1 manual-reset, 0 auto-reset; fixed by the creator
//
// There is no waiter count in shared memory: a waiter killed at any point
// (asleep, just woken, spinning) can neither swallow a wake-up nor block
// later ones. The only trace a waiter leaves is bit 31, which it sets
// (in the same CAS-checked word it then sleeps on) before it sleeps; a
// signal clears it in its own CAS and makes the wake-up system call only
// when it was set. A waiter that sets the bit after that CAS fails its CAS
// (the word moved) and sees the signal; one killed asleep leaves the bit
// set, which costs the next signal one needless wake-up and nothing else.
// Most waits end while spinning, so most signals need no system call. A pthread_cond_t is never used here:
// waiters killed inside a process-shared condition variable corrupt it.
//
// Transitions (each one atomic on `word`):
//   clear  --KstSignalEventSem-->  set      sequence +1, bit 31 cleared;
//                                           wake ALL sleepers if it was set
//   set    --KstSignalEventSem-->  set      nothing (no one sleeps on "set")
//   set    --KstResetEventSem-->   clear
//   set    --wait, auto-reset-->   clear    the waiter that wins the CAS
//                                           returns 0; the others sleep again
//   set    --wait, manual-reset--> set      every waiter returns 0
//
// Waking all sleepers on a signal (not one) is what makes a killed waiter
// harmless: if the one woken process died before it took the signal, the
// others are awake too and one of them takes it. A manual-reset waiter also
// returns 0 when the sequence moved since it began waiting (the event was set
// and reset again before it ran), so a quick set/reset releases it as it
// would on Windows.
//
// Waits sleep with FUTEX_WAIT_BITSET on an absolute CLOCK_MONOTONIC deadline
// (wall-clock changes do not move it); shared events use the shared futex
// form, local ones the private form. Before sleeping a wait spins briefly
// (a budget of 1 to 10 us per handle, doubled when spinning caught the
// signal or the sleep after it ended within 100 us, halved after a longer
// or timed-out wait), yielding the processor as it goes: a
// cross-CPU futex wake-up costs tens of microseconds, while a peer usually
// answers in one or two, but a spinner must not hold the CPU its peer needs.
#include <linux/futex.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <new>

#include "handle_registry.h"
#include "kst_alloc.h"
#include "named_object.h"
#include "os_api.h"
#include "platform.h"

namespace {

struct EventState {
  uint32_t word;
  uint32_t manual;
};
static_assert(sizeof(EventState) == 8, "event state is 8 bytes");
static_assert(sizeof(EventState) <= sizeof(KstSem::local), "local event fits its handle");

constexpr uint32_t kSignalled = 1;
constexpr uint32_t kSleepers = 0x80000000u;
constexpr uint32_t kSequence = 0x7FFFFFFEu;
constexpr uint32_t kMinSpinNs = 1000;
constexpr uint32_t kMaxSpinNs = 10000;
constexpr long kQuickWaitNs = 100000;

struct EventInit {
  uint32_t initial, manual;
};

uint32_t InitEvent(void *payload, uint32_t, void *ctx) {
  auto *st = static_cast<EventState *>(payload);
  auto *init = static_cast<EventInit *>(ctx);
  st->word = init->initial ? kSignalled : 0;
  st->manual = init->manual ? 1 : 0;
  return KST_OK;
}

std::atomic_ref<uint32_t> Word(KstSem *h) {
  return std::atomic_ref<uint32_t>(static_cast<EventState *>(h->state)->word);
}

long FutexWait(KstSem *h, uint32_t expected, const struct timespec *deadline) {
  int op = FUTEX_WAIT_BITSET | (h->obj ? 0 : FUTEX_PRIVATE_FLAG);
  return KstOsApiCurrent()->futex(&static_cast<EventState *>(h->state)->word, op, expected,
                                  deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void FutexWakeAll(KstSem *h) {
  int op = FUTEX_WAKE | (h->obj ? 0 : FUTEX_PRIVATE_FLAG);
  KstOsApiCurrent()->futex(&static_cast<EventState *>(h->state)->word, op, INT_MAX, nullptr,
                           nullptr, 0);
}

long NsSince(const struct timespec &t0) {
  struct timespec now;
  KstOsApiCurrent()->clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - t0.tv_sec) * 1000000000L + (now.tv_nsec - t0.tv_nsec);
}

// Spins until the word moves away from `seen` or the handle's budget is
// spent; `t0` gets the time the wait began. True when the word moved; the
// budget then doubles (up to kMaxSpinNs). A spin that ran out leaves the
// budget to AdaptAfterSleep, which knows how long the wait really took.
bool SpinForChange(KstSem *h, uint32_t seen, struct timespec *t0) {
  const uint32_t budget = h->spin_ns.load(std::memory_order_relaxed);
  KstOsApiCurrent()->clock_gettime(CLOCK_MONOTONIC, t0);
  for (;;) {
    // Relaxed: only a hint; the caller reloads with acquire.
    if (Word(h).load(std::memory_order_relaxed) != seen) {
      h->spin_ns.store(budget * 2 > kMaxSpinNs ? kMaxSpinNs : budget * 2,
                       std::memory_order_relaxed);
      return true;
    }
    if (NsSince(*t0) >= static_cast<long>(budget)) return false;
    for (int i = 0; i < 16; ++i) __builtin_ia32_pause();
    sched_yield();
  }
}

// After a wait that spun in vain and then slept: a signal that came soon
// (the whole wait below kQuickWaitNs, wake-up latency included) means the
// peer answers quickly and a longer spin would have caught it, so the
// budget doubles; a long or timed-out wait means the peer was idle, so it
// halves. Halving on every missed spin alone would never recover: once
// both sides of a request/reply exchange are at the minimum, each misses
// the other, sleeps, and pays a futex wake-up per hand-off for good.
void AdaptAfterSleep(KstSem *h, const struct timespec &t0, bool signalled) {
  const uint32_t budget = h->spin_ns.load(std::memory_order_relaxed);
  uint32_t next;
  if (signalled && NsSince(t0) < kQuickWaitNs)
    next = budget * 2 > kMaxSpinNs ? kMaxSpinNs : budget * 2;
  else
    next = budget / 2 < kMinSpinNs ? kMinSpinNs : budget / 2;
  h->spin_ns.store(next, std::memory_order_relaxed);
}

bool Usable(KST_HSEM h) {
  return KstHandleIsLive(h, KstHandleKind::Event) && !(h->obj && h->obj->forgotten);
}

}  // namespace

uint32_t KstCreateEventSem(const char *name, int initial_state, int manual_reset, KST_HSEM *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  auto *h = KstNew<KstSem>();
  if (!h) return KST_HEAP_FULL;
  EventInit init{initial_state ? 1u : 0u, manual_reset ? 1u : 0u};
  uint32_t rc = KST_OK;
  if (name) {
    // An existing event is opened as it is: its state and mode stay.
    rc = KstObjAcquire(KstObjKind::Event, name, true, sizeof(EventState), InitEvent, &init, &h->obj,
                       nullptr);
    if (rc == KST_OK) h->state = h->obj->payload();
  } else {
    h->state = h->local;
    InitEvent(h->state, sizeof(EventState), &init);
  }
  if (rc == KST_OK) rc = KstHandleRegister(h, KstHandleKind::Event);
  if (rc != KST_OK) {
    if (h->obj) KstObjRelease(h->obj);
    KstDelete(h);
    return rc;
  }
  *out = h;
  return KST_OK;
}

// The "Global\" prefix names the same object here (named_object.h).
uint32_t KstCreateEventSemGlobal(const char *name, int initial_state, int manual_reset,
                                 KST_HSEM *out) {
  return KstCreateEventSem(name, initial_state, manual_reset, out);
}

uint32_t KstOpenEventSem(const char *name, KST_HSEM *out) {
  if (!name || !out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  auto *h = KstNew<KstSem>();
  if (!h) return KST_HEAP_FULL;
  uint32_t rc = KstObjAcquire(KstObjKind::Event, name, false, sizeof(EventState), nullptr, nullptr,
                              &h->obj, nullptr);
  if (rc == KST_OK) {
    h->state = h->obj->payload();
    rc = KstHandleRegister(h, KstHandleKind::Event);
    if (rc != KST_OK) KstObjRelease(h->obj);
  }
  if (rc != KST_OK) {
    KstDelete(h);
    return rc;
  }
  *out = h;
  return KST_OK;
}

uint32_t KstOpenEventSemGlobal(const char *name, KST_HSEM *out) {
  return KstOpenEventSem(name, out);
}

uint32_t KstWaitForEventSem(KST_HSEM h, uint32_t ms) {
  if (!Usable(h)) return KST_ERR_INVALID_HANDLE;
  auto word = Word(h);
  const bool manual = static_cast<EventState *>(h->state)->manual != 0;
  struct timespec deadline = KstDeadlineAfterMs(ms);
  const bool infinite = ms == KST_INFINITE;
  // Acquire on every load of `word` that may return 0: it pairs with the
  // signaller's release, so what it wrote before signalling is visible.
  const uint32_t start = word.load(std::memory_order_acquire);
  bool spun = false, slept = false;
  struct timespec t0;
  auto done = [&](uint32_t rc) {
    if (slept) AdaptAfterSleep(h, t0, rc == KST_OK);
    return rc;
  };
  for (;;) {
    uint32_t cur = word.load(std::memory_order_acquire);
    if (cur & kSignalled) {
      if (manual) return done(KST_OK);
      // Auto-reset: take the signal; of several woken waiters one wins.
      if (word.compare_exchange_weak(cur, cur & ~kSignalled, std::memory_order_acquire,
                                     std::memory_order_relaxed))
        return done(KST_OK);
      continue;
    }
    // Manual-reset: set and reset again since we began: released.
    if (manual && (cur & kSequence) != (start & kSequence)) return done(KST_OK);
    if (ms == 0 || (!infinite && KstDeadlinePassed(deadline))) return done(KST_ERR_TIMEOUT);
    if (!spun) {
      spun = true;
      if (SpinForChange(h, cur, &t0)) continue;
      slept = true;
    }
    // Announce the sleep in the word itself, so that the signal that ends
    // it knows to wake; a word that moved meanwhile is looked at again.
    if (!(cur & kSleepers)) {
      if (!word.compare_exchange_weak(cur, cur | kSleepers, std::memory_order_relaxed,
                                      std::memory_order_relaxed))
        continue;
      cur |= kSleepers;
    }
    // Sleeps only while the word still equals `cur`; a signal changes it.
    long r = FutexWait(h, cur, infinite ? nullptr : &deadline);
    if (r != 0 && errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT) return KST_ERR_GENERAL;
  }
}

uint32_t KstSignalEventSem(KST_HSEM h) {
  if (!Usable(h)) return KST_ERR_INVALID_HANDLE;
  auto word = Word(h);
  uint32_t cur = word.load(std::memory_order_relaxed);
  for (;;) {
    // Already set: nobody can be asleep on a set word.
    if (cur & kSignalled) return KST_OK;
    // Release: publishes what the caller wrote before signalling to the
    // waiter that sees the bit (acquire).
    if (word.compare_exchange_weak(cur, ((cur + 2) & kSequence) | kSignalled,
                                   std::memory_order_release, std::memory_order_relaxed))
      break;
  }
  if (cur & kSleepers) FutexWakeAll(h);
  return KST_OK;
}

uint32_t KstResetEventSem(KST_HSEM h) {
  if (!Usable(h)) return KST_ERR_INVALID_HANDLE;
  // Relaxed: resetting publishes nothing; the sequence stays.
  Word(h).fetch_and(~kSignalled, std::memory_order_relaxed);
  return KST_OK;
}

uint32_t KstCloseEventSem(KST_HSEM h) {
  if (!KstHandleUnregister(h, KstHandleKind::Event)) return KST_ERR_INVALID_HANDLE;
  if (h->obj) {
    uint32_t rc = KstObjRelease(h->obj);
    if (rc != KST_OK) {
      // Creation lock not obtained: the handle stays usable.
      KstHandleRegister(h, KstHandleKind::Event);
      return rc;
    }
  }
  KstDelete(h);
  return KST_OK;
}
