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
// short request. So the mutex is handed on in turns. The thread that holds
// it may take it straight back after a release (its run) for
// kRunAcquisitions acquisitions or kMaxRunNs, whichever comes first; the
// first release after that ends the run, marks the mutex open and lets the
// next waiter in as above. About kWakeAheadNs before the run ends (judged
// by its rate so far), a release already wakes that waiter, so that it is
// on a processor and trying (SpinForTurn) when the run ends: the hand-off
// then costs no wake-up latency.
//
// Waiters do not sleep on the lock word (the thread library would wake one
// at every release, only to see it find the mutex taken again) but on turn
// words beside the mutex:
//
//   offset  field        (after the 40-byte pthread_mutex_t)
//   40      turn         futex word of the queue; +1 per wake
//   44      sleepers     lockers waiting for a turn (a killed one stays
//                        counted: each run then pays a needless wake call)
//   48      head         the next in line: a microsecond stamp, 0 none
//   52      head_turn    futex word of the head; +1 per wake
//   56      open         1 from the end of a run until a waiter takes it
//
// The head sleeps on its own word and polls every kHeadPollNs: a run may
// end without a hand-off (its thread stops asking), and the poll then finds
// the mutex free. Its polls do not move it to the back of the queue, as a
// timed-out futex wait would. When it takes the mutex it wakes the longest
// sleeper of the queue to head in its place; a newcomer heads only when the
// place is vacant, not while it is being handed over, so a thread whose run
// just ended queues behind the others. The
// order is thus first come, first served, and no waiter is passed over.
//
// A waiter takes the mutex only when it is open, or when it has stayed free
// for kFreeGraceNs (its owner stopped asking within its run); between two
// requests of a run, the owner takes it back in far less. A newcomer with
// no run of its own queues behind a waiting head rather than try the
// mutex. A head claim older than kHeadStaleUs (its waiter died) is taken
// over, and a hand-over that woke nobody is undone at once. Queue sleepers
// look every kSleeperPollNs, or every kHeadPollNs while no head is present.
// These polls also find a dead owner's mutex (the kernel wakes sleepers on
// the lock word only); a waiter takes the mutex by trylock, so EOWNERDEAD
// and recursion work as before.
// An object made by an older library (the pthread mutex only) runs without
// turns, and lockers of an older library sleeping in the lock word are
// still woken by its release.
//
// The price is the tail: under k busy lockers a request now and then waits
// about k - 1 runs (a few milliseconds). The bounds are the trade: a run
// long enough that hand-offs cost a small share of the time and that fewer
// than one request in a hundred waits, short enough that a wait stays a
// few runs.
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
// Turns (see "Turns"): how many acquisitions, and how long, a run may
// keep the mutex while others wait; how early before its end it wakes the
// next waiter; how long a woken waiter tries before it sleeps again; how
// long a free mutex must stay free before a waiter takes it outside a
// hand-off; how often the head and the queue poll; when a head claim is
// stale.
constexpr long kRunAcquisitions = 512;
constexpr long kMaxRunNs = 2000000;
constexpr long kWakeAheadNs = 300000;
constexpr long kTurnSpinNs = 1000000;
constexpr long kFreeGraceNs = 20000;
constexpr long kHeadPollNs = 500000;
constexpr long kSleeperPollNs = 100000000;
constexpr uint32_t kHeadStaleUs = 20000;
constexpr uint32_t kHandOverStaleUs = 20000;

// The mutex this thread last released while others slept on it.
thread_local pthread_mutex_t *t_handed_off = nullptr;

// The payload of a named mutex: the pthread mutex, then the turn words
// (see "Turns"). An object made by an older library holds the pthread
// mutex only; its handles run without turns.
struct MutexShared {
  pthread_mutex_t mutex;
  uint32_t turn;        // futex word of the lockers that wait for a turn; +1 per hand-off
  uint32_t sleepers;    // lockers inside WaitForTurn (a hint: a killed one stays counted)
  uint32_t head;        // the next in line (see StampNow); 0 none
  uint32_t head_turn;   // futex word of the head; +1 per wake of the head
  uint32_t open;        // 1 from the end of a run until a waiter takes the mutex
};

std::atomic_ref<uint32_t> Ref(uint32_t &w) { return std::atomic_ref<uint32_t>(w); }

// This thread's current run on a turn mutex: the mutex and when the run began.
thread_local MutexShared *t_run = nullptr;
thread_local struct timespec t_run_start;
thread_local long t_run_count = 0;
thread_local bool t_woke_ahead = false;

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
void LetWokenWaiterIn(pthread_mutex_t *m, uint32_t ms) {
  if (t_handed_off != m) return;
  t_handed_off = nullptr;
  if (ms == 0) return;
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  while ((LockWord(m) & kLockOwnerMask) == 0 && NsSince(t0) < kHandOffWaitNs) sched_yield();
}

// The turn words of a named mutex, or null (process-local, or an object of
// an older library).
MutexShared *Turns(KST_HSEM h) {
  if (!h->obj || h->obj->payload_size < sizeof(MutexShared)) return nullptr;
  return static_cast<MutexShared *>(h->state);
}

struct timespec Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

// The head word: 0 vacant; a claim is a microsecond stamp with bit 0 set;
// a hand-over to the longest sleeper under way is a stamp with bit 0 clear
// (and bit 1 set, so never 0).
uint32_t StampNow() {
  const struct timespec t = Now();  // one reading: two could straddle a second
  return static_cast<uint32_t>(t.tv_sec * 1000000ULL + t.tv_nsec / 1000);
}
uint32_t ClaimStamp() { return StampNow() | 1u; }
uint32_t HandOverStamp() { return (StampNow() & ~1u) | 2u; }
bool IsClaim(uint32_t cur) { return (cur & 1u) != 0; }
uint32_t AgeUs(uint32_t cur) { return StampNow() - cur; }

// Whether the head's place may be taken: vacant, a claim gone stale (its
// waiter died), a hand-over gone stale (its sleeper did not come), or a
// hand-over to us (`called`: woken on the queue word).
bool HeadFree(uint32_t cur, bool called) {
  if (cur == 0) return true;
  if (IsClaim(cur)) return AgeUs(cur) >= kHeadStaleUs;
  return called || AgeUs(cur) >= kHandOverStaleUs;
}

bool ClaimHead(MutexShared *x, bool called) {
  uint32_t cur = Ref(x->head).load(std::memory_order_relaxed);
  return HeadFree(cur, called) &&
         Ref(x->head).compare_exchange_strong(cur, ClaimStamp(), std::memory_order_relaxed);
}

bool HeadPresent(MutexShared *x) {
  const uint32_t cur = Ref(x->head).load(std::memory_order_relaxed);
  return IsClaim(cur) && AgeUs(cur) < kHeadStaleUs;
}

// Bumps a futex word and wakes one thread asleep on it; the count woken.
long Bump(uint32_t *word) {
  Ref(*word).fetch_add(1, std::memory_order_release);
  return KstOsApiCurrent()->futex(word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// Wakes the next waiter for a turn: the head when there is one (asleep or
// not: it sees its word move before it sleeps again), else the longest
// sleeper. True when someone will come.
bool WakeNext(MutexShared *x) {
  if (HeadPresent(x)) {
    Bump(&x->head_turn);
    return true;
  }
  return Bump(&x->turn) > 0;
}

// A waiter's attempt. An open mutex (its run has ended) is the head's to
// take, or anyone's when there is no head. A mutex that is not open is
// taken only once it has stayed free for kFreeGraceNs: its owner stopped
// asking within its run (between two requests of a run, the owner takes it
// back in far less). Returns trylock's result.
int TakeTurn(pthread_mutex_t *m, MutexShared *x, bool head) {
  if ((LockWord(m) & kLockOwnerMask) != 0) return EBUSY;
  if (Ref(x->open).load(std::memory_order_relaxed)) {
    if (!head && HeadPresent(x)) return EBUSY;
  } else {
    const struct timespec t0 = Now();
    while (NsSince(t0) < kFreeGraceNs) {
      if ((LockWord(m) & kLockOwnerMask) != 0) return EBUSY;
      sched_yield();
    }
  }
  const int r = pthread_mutex_trylock(m);
  if (r != EBUSY) Ref(x->open).store(0, std::memory_order_relaxed);
  return r;
}

// A waiter woken for a turn: the mutex is about to be handed on, so it
// tries for it while yielding, up to `limit_ns` (kTurnSpinNs, or what is
// left of the caller's time). Returns trylock's result.
int SpinForTurn(pthread_mutex_t *m, MutexShared *x, bool head, long limit_ns) {
  const struct timespec t0 = Now();
  for (;;) {
    if (Ref(x->open).load(std::memory_order_relaxed) &&
        (LockWord(m) & kLockOwnerMask) == 0) {
      const int r = TakeTurn(m, x, head);
      if (r != EBUSY) return r;
    }
    if (NsSince(t0) >= limit_ns) return EBUSY;
    for (int i = 0; i < 16; ++i) __builtin_ia32_pause();
    sched_yield();
  }
}

// Sleeps on `word` while it holds `seen`, at most `slice_ns`. True when
// woken, or when the word had moved already: a turn may be coming.
bool SleepOn(uint32_t *word, uint32_t seen, long slice_ns) {
  const struct timespec rel{slice_ns / 1000000000L, slice_ns % 1000000000L};
  return KstOsApiCurrent()->futex(word, FUTEX_WAIT, seen, &rel, nullptr, 0) == 0 ||
         errno == EAGAIN;
}

// Nanoseconds to `deadline`; 0 once it has passed.
long NsLeft(const struct timespec &deadline) {
  const struct timespec now = Now();
  const long left =
      (deadline.tv_sec - now.tv_sec) * 1000000000L + (deadline.tv_nsec - now.tv_nsec);
  return left > 0 ? left : 0;
}

// See "Turns": waits until a trylock succeeds, the deadline passes
// (ETIMEDOUT) or an error; returns trylock's result. The head sleeps on its
// own word, so that its short polls do not move it to the back of the
// others' queue; when it leaves, the longest sleeper is woken to take its
// place.
int WaitForTurn(pthread_mutex_t *m, MutexShared *x, uint32_t ms) {
  const bool infinite = ms == KST_INFINITE;
  const struct timespec deadline = KstDeadlineAfterMs(infinite ? 0 : ms);
  Ref(x->sleepers).fetch_add(1, std::memory_order_relaxed);
  bool head = false;
  int r;
  for (;;) {
    // Loaded before the claim: a hand-over that comes after it moves the
    // word, and the sleep below then ends at once.
    const uint32_t queue_seen = Ref(x->turn).load(std::memory_order_acquire);
    if (!head) head = ClaimHead(x, false);
    uint32_t *word = head ? &x->head_turn : &x->turn;
    const uint32_t seen = head ? Ref(*word).load(std::memory_order_acquire) : queue_seen;
    r = TakeTurn(m, x, head);
    if (r != EBUSY) break;
    // A queue with no head present (its head died, or left as this one
    // came) polls as a head would: a free mutex is found soon.
    long slice = head || !HeadPresent(x) ? kHeadPollNs : kSleeperPollNs;
    if (!infinite) {
      const long left = NsLeft(deadline);
      if (left == 0) {
        r = ETIMEDOUT;
        break;
      }
      if (left < slice) slice = left;
    }
    const bool woken = SleepOn(word, seen, slice);
    if (head) {
      Ref(x->head).store(ClaimStamp(), std::memory_order_relaxed);
    } else if (woken && ClaimHead(x, true)) {
      head = true;  // handed the head's place: next in line, not yet called
      continue;
    }
    if (woken) {
      const long left = infinite ? kTurnSpinNs : NsLeft(deadline);
      r = SpinForTurn(m, x, head, left < kTurnSpinNs ? left : kTurnSpinNs);
      if (r != EBUSY) break;
    }
  }
  Ref(x->sleepers).fetch_sub(1, std::memory_order_relaxed);
  if (head) {
    // The place goes to the longest sleeper of the queue, not to whoever
    // asks next (the thread whose run just ended, say).
    const bool others = Ref(x->sleepers).load(std::memory_order_relaxed) > 0;
    uint32_t stamp = others ? HandOverStamp() : 0;
    Ref(x->head).store(stamp, std::memory_order_relaxed);
    // Nobody asleep took the hand-over (a killed waiter counted, say): the
    // place is free at once rather than when the stamp goes stale.
    if (others && Bump(&x->turn) == 0)
      Ref(x->head).compare_exchange_strong(stamp, 0, std::memory_order_relaxed);
  }
  return r;
}

// Whether this thread's run on `x` is over, and if not, about how long it
// has left: its time bound, or its remaining acquisitions at the rate so
// far.
bool RunOver(MutexShared *x, long *left_ns) {
  if (t_run != x) return true;
  const long ran = NsSince(t_run_start);
  if (t_run_count >= kRunAcquisitions || ran >= kMaxRunNs) return true;
  const long by_count = (kRunAcquisitions - t_run_count) * (ran / t_run_count);
  *left_ns = by_count < kMaxRunNs - ran ? by_count : kMaxRunNs - ran;
  return false;
}

// After a release (see "Turns"): a run keeps the mutex until it is over;
// kWakeAheadNs before it ends it wakes the next waiter, so that this one
// is awake and trying when the run ends; then the releaser lets it in.
void PassTurn(MutexShared *x) {
  if (Ref(x->sleepers).load(std::memory_order_relaxed) == 0) return;
  long left = 0;
  if (!RunOver(x, &left)) {
    if (left <= kWakeAheadNs && !t_woke_ahead) t_woke_ahead = WakeNext(x);
    return;
  }
  t_run = nullptr;
  t_woke_ahead = false;
  Ref(x->open).store(1, std::memory_order_relaxed);
  // Also after a wake ahead: the waiter woken then may have tired of
  // trying and be asleep again.
  WakeNext(x);
}

// Whether this thread must queue behind a waiting head instead of trying
// the mutex: when the mutex is open (the head's to take), or when this
// thread has no run on it (a newcomer does not pass those who wait). The
// owner re-asking and a thread in its run go on.
bool MustQueue(pthread_mutex_t *m, MutexShared *x) {
  if (!HeadPresent(x) || OwnedByCaller(m)) return false;
  return Ref(x->open).load(std::memory_order_relaxed) || t_run != x;
}

// A run begins at the first acquisition after a hand-off (or ever) and
// counts every acquisition.
void CountRun(MutexShared *x) {
  if (t_run == x) {
    ++t_run_count;
    return;
  }
  t_run = x;
  t_run_count = 1;
  Ref(x->open).store(0, std::memory_order_relaxed);
  t_woke_ahead = false;
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
  LetWokenWaiterIn(Mutex(h), ms);
  int r;
  if (x) {
    // A try (ms 0) is a try: it takes a free mutex whoever waits.
    r = ms != 0 && MustQueue(Mutex(h), x) ? EBUSY : pthread_mutex_trylock(Mutex(h));
    if (r == EBUSY && ms != 0) r = WaitForTurn(Mutex(h), x, ms);
    if (r == 0 || r == EOWNERDEAD) CountRun(x);
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
  if (last) {
    t_handed_off = sleepers ? m : nullptr;
    if (MutexShared *x = Turns(h)) PassTurn(x);
  }
  // Last: a close that sees no hold left may unmap the turn words.
  h->owned.fetch_sub(1, std::memory_order_relaxed);
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
