// Threads started by KstCreateThread: pthreads with a reference-counted
// record.
//
// Design note
// -----------
// 1. A record has two references from the start: the creator's handle
//    (dropped by KstCloseThread) and the thread's own (dropped when it ends
//    through KstExitThread). A waiter holds a third for the length of its
//    wait. So the creator's handle stays valid after the thread ended, and a
//    closed handle is refused (6) by the handle registry instead of naming a
//    record that was freed and reused.
// 2. Threads are created joinable. A thread's end is marked in its record by
//    KstExitThread (every thread started here ends through it, also when its
//    function returns); KstWaitForThread waits for that mark on the
//    monotonic clock (a condition variable waited with a steady-clock
//    deadline, i.e. pthread_cond_clockwait on CLOCK_MONOTONIC), then joins
//    with pthread_tryjoin_np until the same deadline, so "ended" means the
//    thread has left this library's code, not merely that it is about to.
//    Joins happen under the record's mutex, so only one succeeds. The holder
//    of the last reference detaches a thread nobody joined.
//    (pthread_clockjoin_np would do the second half in one call, but the
//    thread sanitizer does not know it and reports every thread joined with
//    it as leaked.)
// 3. The registry of running threads (found by thread id in KstExitThread) is
//    a list under a static mutex, held only while the list changes. The
//    same mutex orders KstCloseThread against a waiter taking its reference,
//    so a waiter never takes a reference on a record being freed.
// 4. Thread ids are gettid() values.
//
// Lock order: g_registry_mu, then a record's mu; neither is held while
// waiting for another thread, except rec->mu inside rec->cv's wait (which
// releases it).
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "handle_registry.h"
#include "krp_assert.h"
#include "kst_alloc.h"
#include "named_object.h"
#include "os_api.h"
#include "platform.h"

struct KstThread {
  KstThread *next = nullptr;  // in the registry while the thread runs
  KstThreadFn fn = nullptr;
  void *arg = nullptr;
  std::atomic<uint32_t> tid{0};
  pthread_t pt{};
  std::atomic<int> refs{2};
  std::mutex mu;  // guards the fields below
  std::condition_variable cv;
  bool ended = false;   // the thread passed through KstExitThread
  bool joined = false;
};

namespace {

// Constant-initialised: usable from any thread at any time, never destroyed
// before the threads that use it.
constinit std::mutex g_registry_mu;
KstThread *g_head = nullptr;
KstThread *g_tail = nullptr;

uint32_t GetTid() { return static_cast<uint32_t>(KstOsApiCurrent()->gettid()); }

// `self`: the calling thread is the record's thread, ending.
void Unref(KstThread *t, bool self = false) {
  const int before = t->refs.fetch_sub(1, std::memory_order_acq_rel);
  // Design note 1: every Unref matches a reference taken before it.
  KRP_ASSERT(before >= 1);
  if (before != 1) return;
  // The last reference: nobody waits, nobody will. A thread that was never
  // joined is detached.
  if (!t->joined) pthread_detach(self ? pthread_self() : t->pt);
  KstDelete(t);
}

void RegistryAdd(KstThread *t) {
  std::lock_guard<std::mutex> lock(g_registry_mu);
  t->next = nullptr;
  if (g_tail) {
    g_tail->next = t;
  } else {
    g_head = t;
  }
  g_tail = t;
}

// Unlinks and returns the record of thread `tid`, or null.
KstThread *RegistryTake(uint32_t tid) {
  std::lock_guard<std::mutex> lock(g_registry_mu);
  KstThread *prev = nullptr;
  for (KstThread *t = g_head; t; prev = t, t = t->next) {
    if (t->tid.load(std::memory_order_relaxed) != tid) continue;
    if (prev) {
      prev->next = t->next;
    } else {
      g_head = t->next;
    }
    if (g_tail == t) g_tail = prev;
    t->next = nullptr;
    return t;
  }
  return nullptr;
}

void *ThreadStart(void *p) {
  auto *t = static_cast<KstThread *>(p);
  t->tid.store(GetTid(), std::memory_order_relaxed);
  RegistryAdd(t);
  t->fn(t->arg);
  KstExitThread();
}

// Takes a waiter's reference when `h` is a live thread handle.
KstThread *RefLive(KST_HTHREAD h) {
  std::lock_guard<std::mutex> lock(g_registry_mu);
  if (!KstHandleIsLive(h, KstHandleKind::Thread)) return nullptr;
  h->refs.fetch_add(1, std::memory_order_relaxed);
  return h;
}

}  // namespace

uint32_t KstCreateThread(KstThreadFn fn, void *arg, uint32_t, uint32_t, uint32_t stack_size,
                         KST_HTHREAD *out) {
  if (!fn || !out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  auto *t = KstNew<KstThread>();
  if (!t) return KST_HEAP_FULL;
  t->fn = fn;
  t->arg = arg;
  // Registered before it runs: the handle is live from the moment it exists.
  uint32_t rc = KstHandleRegister(t, KstHandleKind::Thread);
  if (rc != KST_OK) {
    KstDelete(t);
    return rc;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_size) {
    size_t size = stack_size < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stack_size;
    pthread_attr_setstacksize(&attr, size);
  }
  int err = pthread_create(&t->pt, &attr, ThreadStart, t);
  pthread_attr_destroy(&attr);
  if (err != 0) {
    KstHandleUnregister(t, KstHandleKind::Thread);
    KstDelete(t);
    return err == EAGAIN ? KST_HEAP_FULL : KstMapOsError(err);
  }
  *out = t;
  return KST_OK;
}

void KstExitThread() {
  uint32_t tid = GetTid();
  KstThread *t = RegistryTake(tid);
  if (!t) {
    KstLogPrintf("%s(%d): We've lost a thread, where is it? (TID=%d)", "proc_w32", __LINE__,
                 static_cast<int>(tid));
  } else {
    {
      std::lock_guard<std::mutex> lock(t->mu);
      t->ended = true;
    }
    t->cv.notify_all();  // still ours: the thread's reference is dropped below
    Unref(t, true);
  }
  pthread_exit(nullptr);
}

uint32_t KstWaitForThread(KST_HTHREAD h, uint32_t option, uint32_t ms) {
  KstThread *t = RefLive(h);
  if (!t) return KST_ERR_INVALID_HANDLE;
  if (option != 0) {
    Unref(t);
    return KST_OK;
  }
  const bool infinite = ms == KST_INFINITE;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  uint32_t rc = KST_OK;
  std::unique_lock<std::mutex> lock(t->mu);
  auto ended = [t] { return t->ended; };
  if (infinite) {
    t->cv.wait(lock, ended);
  } else if (!t->cv.wait_until(lock, deadline, ended)) {
    rc = KST_ERR_TIMEOUT;
  }
  // Ended: only the thread library's own teardown is left; wait it out.
  std::chrono::microseconds pause(20);
  while (rc == KST_OK && !t->joined) {
    int err = pthread_tryjoin_np(t->pt, nullptr);
    if (err == 0) {
      t->joined = true;
    } else if (err != EBUSY) {
      rc = KstMapOsError(err);
    } else if (!infinite && std::chrono::steady_clock::now() >= deadline) {
      rc = KST_ERR_TIMEOUT;
    } else {
      lock.unlock();
      std::this_thread::sleep_for(pause);
      if (pause < std::chrono::milliseconds(1)) pause *= 2;
      lock.lock();
    }
  }
  lock.unlock();
  Unref(t);
  return rc;
}

uint32_t KstCloseThread(KST_HTHREAD h) {
  {
    std::lock_guard<std::mutex> lock(g_registry_mu);
    if (!KstHandleUnregister(h, KstHandleKind::Thread)) return KST_ERR_INVALID_HANDLE;
  }
  Unref(h);
  return KST_OK;
}
