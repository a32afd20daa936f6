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
// 2. Threads are created joinable. KstWaitForThread joins with
//    pthread_clockjoin_np on an absolute CLOCK_MONOTONIC deadline, so "ended"
//    means the thread has left this library's code, not merely that it is
//    about to. One waiter joins at a time; others wait for its outcome. The
//    holder of the last reference detaches a thread nobody joined.
// 3. The registry of running threads (found by thread id in KstExitThread) is
//    a list under a static mutex, held only while the list changes. The
//    same mutex orders KstCloseThread against a waiter taking its reference,
//    so a waiter never takes a reference on a record being freed.
// 4. Thread ids are gettid() values.
//
// Lock order: g_registry_mu, then a record's mu; neither is held across a
// join or a wait for another thread's progress except rec->cv (which
// releases rec->mu).
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

#include "handle_registry.h"
#include "named_object.h"
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
  bool joining = false;  // a waiter is inside pthread_clockjoin_np
  bool joined = false;
};

namespace {

// Constant-initialised: usable from any thread at any time, never destroyed
// before the threads that use it.
constinit std::mutex g_registry_mu;
KstThread *g_head = nullptr;
KstThread *g_tail = nullptr;

uint32_t GetTid() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

// `self`: the calling thread is the record's thread, ending.
void Unref(KstThread *t, bool self = false) {
  if (t->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // The last reference: nobody waits, nobody will. A thread that was never
  // joined is detached.
  if (!t->joined) pthread_detach(self ? pthread_self() : t->pt);
  delete t;
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
  auto *t = new (std::nothrow) KstThread;
  if (!t) return KST_HEAP_FULL;
  t->fn = fn;
  t->arg = arg;
  // Registered before it runs: the handle is live from the moment it exists.
  uint32_t rc = KstHandleRegister(t, KstHandleKind::Thread);
  if (rc != KST_OK) {
    delete t;
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
    delete t;
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
    Unref(t, true);  // the thread's own reference
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
  struct timespec deadline = KstDeadlineAfterMs(ms);
  uint32_t rc = KST_OK;
  std::unique_lock<std::mutex> lock(t->mu);
  for (;;) {
    if (t->joined) break;
    if (!t->joining) {
      t->joining = true;
      lock.unlock();
      int err = ms == KST_INFINITE ? pthread_join(t->pt, nullptr)
                                   : pthread_clockjoin_np(t->pt, nullptr, CLOCK_MONOTONIC,
                                                          &deadline);
      lock.lock();
      t->joining = false;
      if (err == 0) t->joined = true;
      t->cv.notify_all();
      if (err == ETIMEDOUT) rc = KST_ERR_TIMEOUT;
      else if (err != 0) rc = KstMapOsError(err);
      break;
    }
    // Another waiter is joining: wait for its outcome, then look again.
    if (ms == KST_INFINITE) {
      t->cv.wait(lock);
    } else if (KstDeadlinePassed(deadline)) {
      rc = KST_ERR_TIMEOUT;
      break;
    } else {
      // Poll the deadline in short steps: the condition variable's own clock
      // is not the one the deadline was taken on.
      t->cv.wait_for(lock, std::chrono::milliseconds(5));
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
