// Mutexes: recursive and robust, named (shared between processes) or
// process-local.
//
// Design note
// -----------
// The payload of a named mutex is one pthread_mutex_t, initialised by the
// creator as process-shared, robust and recursive before the object is marked
// ready. Who creates, who removes: any process creates (create-or-open); the
// last handle closed anywhere, or the death of the last holder, removes the
// file (named_object.h).
//
// A crashed owner: the kernel walks the dead thread's robust list and marks
// the mutex owner-died; the next locker gets EOWNERDEAD, makes it consistent
// and owns it (result 0, as an abandoned mutex counts as acquired). An owner
// thread that ends without releasing abandons it the same way.
//
// Timed waits use pthread_mutex_clocklock on CLOCK_MONOTONIC with an absolute
// deadline (never pthread_mutex_timedlock, which follows the wall clock).
//
// Fair hand-off. The thread library's robust mutex lets a releasing thread
// take the mutex straight back (barging): with more lockers than
// processors, a waiter woken by the release finds it taken again, sleeps
// again, and can starve for a whole scheduler slice while one process
// keeps it. So a thread whose last release found sleepers (the waiters bit
// of the lock word) remembers that mutex; its next request for it first
// gives the woken waiter the chance to take it: while the mutex stays free
// it yields the processor (the waiter needs one to run; spinning would only
// compete with it), for at most kHandOffWaitNs, and then locks as usual,
// queueing behind the new owner. A woken waiter that died or was not
// scheduled in time costs the next request that bound and nothing else;
// no state of the hand-off lives in shared memory.
//
// Turns (named mutexes). With more lockers than processors, a hand-off per
// request costs a wake-up each time: on a virtual machine, waking a thread
// on an idle processor takes tens to hundreds of microseconds, many times a
// short request. So the mutex is handed on in turns: the thread that holds
// it may take it straight back after a release (its run) until the run has
// lasted kQuantumPerHandOff times the cost of the last hand-off (bounded by
// kMinQuantumNs and kMaxQuantumNs); the first release after that wakes one
// waiter, and the releaser lets it in as above. Waiters do not sleep on the
// lock word (the thread library would wake one at every release, only to
// see it find the mutex taken again) but on a turn word beside the mutex:
//
//   offset  field        (after the 40-byte pthread_mutex_t)
//   40      turn         futex word; +1 per hand-off
//   44      sleepers     lockers waiting for a turn (a killed one stays
//                        counted: its cost is one needless wake call)
//   48      head         the waiter that polls: a microsecond stamp, 0 none
//   52      handoff_ns   how long the last hand-off took
//
// A run may end without a hand-off (its thread stops asking), so one waiter,
// the head, polls every kHeadPollNs; a head claim older than kHeadStaleUs
// (its waiter died) is taken over. The others look every kSleeperPollNs,
// which also bounds how long a dead owner goes unnoticed: the kernel wakes
// sleepers on the lock word only. A waiter takes the mutex by trylock only,
// so EOWNERDEAD and recursion work as before. An object made by an older
// library (the pthread mutex only) runs without turns, and lockers of an
// older library sleeping in the lock word are still woken by its release.
//
// A handle counts its unreleased acquisitions. Closing a handle whose mutex a
// thread of this process still owns keeps the mapping (or the local memory):
// the owner's robust list points into it, and the kernel writes there when
// that thread ends.
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "handle_registry.h"
#include "kst_alloc.h"
#include "named_object.h"
#include "os_api.h"
#include "platform.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// Bit 31 of the lock word of a robust mutex: a locker sleeps on it.
constexpr unsigned kLockWaiters = 0x80000000u;
// Bits 0..29: the owner's thread id; 0 while the mutex is free.
constexpr unsigned kLockOwnerMask = 0x3FFFFFFFu;
// How long the next request of a thread that released to sleepers waits
// for one of them to take the mutex: several wake-up latencies.
constexpr long kHandOffWaitNs = 200000;
// Turns (see "Turns"): a run keeps the mutex for kQuantumPerHandOff times
// the last hand-off's cost, within [kMinQuantumNs, kMaxQuantumNs]; the head
// waiter polls every kHeadPollNs, the others every kSleeperPollNs (which
// bounds how long a dead owner goes unnoticed).
constexpr long kQuantumPerHandOff = 10;
constexpr long kMinQuantumNs = 20000;
constexpr long kMaxQuantumNs = 2000000;
constexpr long kHeadPollNs = 1000000;
constexpr long kSleeperPollNs = 10000000;
constexpr uint32_t kHeadStaleUs = 20000;

// The mutex this thread last released while others slept on it.
thread_local pthread_mutex_t *t_handed_off = nullptr;

// The payload of a named mutex: the pthread mutex, then the turn words
// (see "Turns"). An object made by an older library holds the pthread
// mutex only; its handles run without turns.
struct MutexShared {
  pthread_mutex_t mutex;
  uint32_t turn;        // futex word of the lockers that wait for a turn; +1 per hand-off
  uint32_t sleepers;    // lockers inside WaitForTurn (a hint: a killed one stays counted)
  uint32_t head;        // the waiter that polls (a stamp, see HeadStamp); 0 none
  uint32_t handoff_ns;  // how long the last hand-off took the woken waiter
};

std::atomic_ref<uint32_t> Ref(uint32_t &w) { return std::atomic_ref<uint32_t>(w); }

// This thread's current run on a turn mutex: the mutex and when the run began.
thread_local MutexShared *t_run = nullptr;
thread_local struct timespec t_run_start;

static_assert(sizeof(pthread_mutex_t) <= sizeof(KstSem::local), "local mutex fits its handle");

uint32_t InitMutex(void *payload, uint32_t, void *ctx) {
  bool shared = ctx != nullptr;
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return KST_ERR_GENERAL;
  uint32_t rc = KST_OK;
  if (pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) != 0 ||
      pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) != 0 ||
      pthread_mutexattr_setpshared(&attr, shared ? PTHREAD_PROCESS_SHARED
                                                 : PTHREAD_PROCESS_PRIVATE) != 0 ||
      pthread_mutex_init(static_cast<pthread_mutex_t *>(payload), &attr) != 0)
    rc = KST_ERR_GENERAL;
  pthread_mutexattr_destroy(&attr);
  return rc;
}

pthread_mutex_t *Mutex(KST_HSEM h) { return static_cast<pthread_mutex_t *>(h->state); }

// pthread_mutex_clocklock on an absolute CLOCK_MONOTONIC deadline. The
// thread sanitizer does not intercept it; in that build we describe the call
// to it as a try-lock that may fail.
int ClockLock(pthread_mutex_t *m, const struct timespec *deadline) {
#if defined(__SANITIZE_THREAD__)
  __tsan_mutex_pre_lock(m, __tsan_mutex_try_lock);
  int r = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, deadline);
  bool got = r == 0 || r == EOWNERDEAD;
  __tsan_mutex_post_lock(m, got ? __tsan_mutex_try_lock
                                : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed, 0);
  return r;
#else
  return pthread_mutex_clocklock(m, CLOCK_MONOTONIC, deadline);
#endif
}

// Whether the calling thread owns the mutex: the owner's thread id is kept
// in the mutex by the thread library (recursive and robust mutexes record
// it). Asked before unlocking, so a caller that does not own it gets 1
// without the unlock being attempted.
bool OwnedByCaller(pthread_mutex_t *m) {
  int owner = std::atomic_ref<int>(m->__data.__owner).load(std::memory_order_relaxed);
  uint32_t self = 0;
  KstQueryThreadId(&self);
  return owner == static_cast<int>(self);
}

unsigned LockWord(pthread_mutex_t *m) {
  return static_cast<unsigned>(
      std::atomic_ref<int>(m->__data.__lock).load(std::memory_order_relaxed));
}

long NsSince(const struct timespec &t0) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - t0.tv_sec) * 1000000000L + (now.tv_nsec - t0.tv_nsec);
}

// See "Fair hand-off": yields while the mutex this thread released to
// sleepers is still free, bounded by kHandOffWaitNs and by the caller's
// own time-out.
void LetWokenWaiterIn(pthread_mutex_t *m, MutexShared *x, uint32_t ms) {
  if (t_handed_off != m) return;
  t_handed_off = nullptr;
  if (ms == 0) return;
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  while ((LockWord(m) & kLockOwnerMask) == 0 && NsSince(t0) < kHandOffWaitNs) sched_yield();
  if (x) Ref(x->handoff_ns).store(static_cast<uint32_t>(NsSince(t0)), std::memory_order_relaxed);
}

// The turn words of a named mutex, or null (process-local, or an object of
// an older library).
MutexShared *Turns(KST_HSEM h) {
  if (!h->obj || h->obj->payload_size < sizeof(MutexShared)) return nullptr;
  return static_cast<MutexShared *>(h->state);
}

long FutexTurn(MutexShared *x, int op, uint32_t val, const struct timespec *rel) {
  return KstOsApiCurrent()->futex(&x->turn, op, val, rel, nullptr, 0);
}

struct timespec Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

// A head claim: the time in microseconds, never 0.
uint32_t HeadStamp(const struct timespec &t) {
  return static_cast<uint32_t>(t.tv_sec * 1000000ULL + t.tv_nsec / 1000) | 1u;
}

// One waiter at a time polls with a short sleep; a claim older than
// kHeadStaleUs belongs to a waiter that died (or slept through it) and may
// be taken over.
bool ClaimHead(MutexShared *x) {
  const uint32_t now = HeadStamp(Now());
  uint32_t cur = Ref(x->head).load(std::memory_order_relaxed);
  if (cur != 0 && now - cur < kHeadStaleUs) return false;
  return Ref(x->head).compare_exchange_strong(cur, now, std::memory_order_relaxed);
}

// How long a run may keep the mutex while others wait: a few hand-offs'
// worth, so that hand-offs cost at most a fraction of the time.
long QuantumNs(MutexShared *x) {
  long q = static_cast<long>(Ref(x->handoff_ns).load(std::memory_order_relaxed)) *
           kQuantumPerHandOff;
  return q < kMinQuantumNs ? kMinQuantumNs : q > kMaxQuantumNs ? kMaxQuantumNs : q;
}

// See "Turns": sleeps on the turn word until a trylock succeeds, the
// deadline passes (ETIMEDOUT) or an error. Returns trylock's result.
int WaitForTurn(pthread_mutex_t *m, MutexShared *x, uint32_t ms) {
  const bool infinite = ms == KST_INFINITE;
  const struct timespec deadline = KstDeadlineAfterMs(infinite ? 0 : ms);
  bool head = ClaimHead(x);
  Ref(x->sleepers).fetch_add(1, std::memory_order_relaxed);
  int r;
  for (;;) {
    const uint32_t seen = Ref(x->turn).load(std::memory_order_acquire);
    r = pthread_mutex_trylock(m);
    if (r != EBUSY) break;
    long slice = head ? kHeadPollNs : kSleeperPollNs;
    if (!infinite) {
      const struct timespec now = Now();
      const long left = (deadline.tv_sec - now.tv_sec) * 1000000000L +
                        (deadline.tv_nsec - now.tv_nsec);
      if (left <= 0) {
        r = ETIMEDOUT;
        break;
      }
      if (left < slice) slice = left;
    }
    const struct timespec rel{slice / 1000000000L, slice % 1000000000L};
    FutexTurn(x, FUTEX_WAIT, seen, &rel);
    if (head)
      Ref(x->head).store(HeadStamp(Now()), std::memory_order_relaxed);
    else
      head = ClaimHead(x);
  }
  Ref(x->sleepers).fetch_sub(1, std::memory_order_relaxed);
  if (head) Ref(x->head).store(0, std::memory_order_relaxed);
  return r;
}

// After a release: ends this thread's run and wakes the next waiter when
// the run has had its quantum (or was not ours); a wake that found no one
// asleep leaves no hand-off to wait for.
void PassTurn(pthread_mutex_t *m, MutexShared *x) {
  if (Ref(x->sleepers).load(std::memory_order_relaxed) == 0) return;
  if (t_run == x && NsSince(t_run_start) < QuantumNs(x)) return;
  t_run = nullptr;
  Ref(x->turn).fetch_add(1, std::memory_order_release);
  if (FutexTurn(x, FUTEX_WAKE, 1, nullptr) > 0) t_handed_off = m;
}

// A run begins at the first acquisition after a hand-off (or ever).
void BeginRun(MutexShared *x) {
  if (t_run == x) return;
  t_run = x;
  clock_gettime(CLOCK_MONOTONIC, &t_run_start);
}

bool Usable(KST_HSEM h) {
  return KstHandleIsLive(h, KstHandleKind::Mutex) && !(h->obj && h->obj->forgotten);
}

uint32_t Publish(KstSem *h, KST_HSEM *out) {
  uint32_t rc = KstHandleRegister(h, KstHandleKind::Mutex);
  if (rc != KST_OK) {
    if (h->obj) KstObjRelease(h->obj);
    KstDelete(h);
    return rc;
  }
  *out = h;
  return KST_OK;
}

}  // namespace

uint32_t KstCreateMutexSem(const char *name, KST_HSEM *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  auto *h = KstNew<KstSem>();
  if (!h) return KST_HEAP_FULL;
  if (name) {
    // Any non-null context marks the mutex process-shared.
    uint32_t rc = KstObjAcquire(KstObjKind::Mutex, name, true, sizeof(MutexShared), InitMutex,
                                h, &h->obj, nullptr);
    // An object of an older library holds the pthread mutex only.
    if (rc == KST_ERR_GENERAL)
      rc = KstObjAcquire(KstObjKind::Mutex, name, true, sizeof(pthread_mutex_t), InitMutex, h,
                         &h->obj, nullptr);
    if (rc != KST_OK) {
      KstDelete(h);
      return rc;
    }
    h->state = h->obj->payload();
  } else {
    h->state = h->local;
    if (InitMutex(h->state, sizeof(pthread_mutex_t), nullptr) != KST_OK) {
      KstDelete(h);
      return KST_ERR_GENERAL;
    }
  }
  return Publish(h, out);
}

// The "Global\" and "Local\" prefixes name the same object here.
uint32_t KstCreateMutexSemGlobal(const char *name, KST_HSEM *out) {
  return KstCreateMutexSem(name, out);
}
uint32_t KstCreateMutexSemLocal(const char *name, KST_HSEM *out) {
  return KstCreateMutexSem(name, out);
}

uint32_t KstOpenMutexSem(const char *name, KST_HSEM *out) {
  if (!name || !out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  auto *h = KstNew<KstSem>();
  if (!h) return KST_HEAP_FULL;
  uint32_t rc = KstObjAcquire(KstObjKind::Mutex, name, false, sizeof(pthread_mutex_t), nullptr,
                              nullptr, &h->obj, nullptr);
  if (rc != KST_OK) {
    KstDelete(h);
    return rc;
  }
  h->state = h->obj->payload();
  return Publish(h, out);
}

uint32_t KstOpenMutexSemGlobal(const char *name, KST_HSEM *out) {
  return KstOpenMutexSem(name, out);
}

uint32_t KstRequestMutexSem(KST_HSEM h, uint32_t ms) {
  if (!Usable(h)) return KST_ERR_INVALID_HANDLE;
  MutexShared *x = Turns(h);
  LetWokenWaiterIn(Mutex(h), x, ms);
  int r;
  if (x && ms != 0) {
    r = pthread_mutex_trylock(Mutex(h));
    if (r == EBUSY) r = WaitForTurn(Mutex(h), x, ms);
    if (r == 0 || r == EOWNERDEAD) BeginRun(x);
  } else if (ms == KST_INFINITE) {
    r = pthread_mutex_lock(Mutex(h));
  } else if (ms == 0) {
    r = pthread_mutex_trylock(Mutex(h));
  } else {
    // Uncontended: no deadline needed.
    r = pthread_mutex_trylock(Mutex(h));
    if (r == EBUSY) {
      struct timespec deadline = KstDeadlineAfterMs(ms);
      r = ClockLock(Mutex(h), &deadline);
    }
  }
  if (r == EOWNERDEAD) {
    // Abandoned by a dead owner: ours now, and usable again. Whatever this
    // handle counted for the dead owner (a thread of ours that ended owning
    // it) is void: we now hold it exactly once.
    r = pthread_mutex_consistent(Mutex(h));
    if (r == 0) {
      h->owned.store(1, std::memory_order_relaxed);
      return KST_OK;
    }
  }
  if (r == 0) {
    h->owned.fetch_add(1, std::memory_order_relaxed);
    return KST_OK;
  }
  if (r == ETIMEDOUT || r == EBUSY) return KST_ERR_TIMEOUT;
  return KST_ERR_GENERAL;  // ENOTRECOVERABLE, EAGAIN (recursion limit), ...
}

uint32_t KstReleaseMutexSem(KST_HSEM h) {
  if (!Usable(h)) return KST_ERR_INVALID_HANDLE;
  pthread_mutex_t *m = Mutex(h);
  if (!OwnedByCaller(m)) return KST_ERR_GENERAL;
  // Read while we still own it: the count of our recursive holds, and
  // whether anyone sleeps on it (set by a locker, cleared only by us).
  const bool last = m->__data.__count <= 1;
  const bool sleepers = (LockWord(m) & kLockWaiters) != 0;
  if (pthread_mutex_unlock(m) != 0) return KST_ERR_GENERAL;
  h->owned.fetch_sub(1, std::memory_order_relaxed);
  if (!last) return KST_OK;
  t_handed_off = sleepers ? m : nullptr;
  if (MutexShared *x = Turns(h)) PassTurn(m, x);
  return KST_OK;
}

uint32_t KstCloseMutexSem(KST_HSEM h) {
  if (!KstHandleUnregister(h, KstHandleKind::Mutex)) return KST_ERR_INVALID_HANDLE;
  bool still_owned = h->owned.load(std::memory_order_relaxed) > 0;
  if (h->obj) {
    uint32_t rc = still_owned ? KstObjReleaseKeepMapping(h->obj) : KstObjRelease(h->obj);
    if (rc != KST_OK) {
      // Creation lock not obtained: the handle stays usable.
      KstHandleRegister(h, KstHandleKind::Mutex);
      return rc;
    }
    h->obj = nullptr;
  }
  if (still_owned) {
    // Leaked on purpose (see the design note); only a misuse gets here.
    KstLogPrintf("proc_w32 line %d: mutex closed while owned; its memory is kept", __LINE__);
    return KST_OK;
  }
  if (h->state == h->local) pthread_mutex_destroy(Mutex(h));
  KstDelete(h);
  return KST_OK;
}
