// The SIGBUS guard of the host (fault_guard.h has the design note).
#include "fault_guard.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform.h"

namespace {

KrpFaultSlot g_slots[kKrpFaultGuardSlots];
struct sigaction g_old_bus;
std::once_flag g_bus_once;

// Hands the signal to the disposition that was there before the guard.
void ForwardBus(int sig, siginfo_t *si, void *uc) {
  if (g_old_bus.sa_flags & SA_SIGINFO) {
    if (g_old_bus.sa_sigaction) {
      g_old_bus.sa_sigaction(sig, si, uc);
      return;
    }
  } else if (g_old_bus.sa_handler != SIG_DFL && g_old_bus.sa_handler != SIG_IGN) {
    g_old_bus.sa_handler(sig);
    return;
  }
  // Returning re-executes the access, which now ends the process.
  signal(SIGBUS, SIG_DFL);
}

void OnBus(int sig, siginfo_t *si, void *uc) {
  // Async-signal-safe: one system call and loads of lock-free atomics.
  const long self = syscall(SYS_gettid);
  for (KrpFaultSlot &slot : g_slots) {
    if (slot.tid.load(std::memory_order_relaxed) == self &&
        slot.active.load(std::memory_order_relaxed))
      siglongjmp(slot.jb, 1);
  }
  ForwardBus(sig, si, uc);
}

void InstallHandler() {
  std::call_once(g_bus_once, [] {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = OnBus;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, &g_old_bus);
  });
}

}  // namespace

KrpFaultSlot *KrpFaultGuardClaim() {
  InstallHandler();
  uint32_t tid = 0;
  KstQueryThreadId(&tid);
  for (KrpFaultSlot &slot : g_slots) {
    long expected = 0;
    if (slot.tid.compare_exchange_strong(expected, static_cast<long>(tid),
                                         std::memory_order_relaxed))
      return &slot;
  }
  return nullptr;
}

void KrpFaultGuardActivate(KrpFaultSlot *slot) {
  // The handler runs on this thread only: program order is all it needs,
  // and the signal fence keeps the compiler from moving the store above
  // the sigsetjmp that filled `jb`.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  slot->active.store(1, std::memory_order_relaxed);
}

void KrpFaultGuardRelease(KrpFaultSlot *slot) {
  slot->active.store(0, std::memory_order_relaxed);
  slot->tid.store(0, std::memory_order_relaxed);
}

void KrpFaultGuardRecover(KrpFaultSlot *slot) {
  KrpFaultGuardRelease(slot);
  sigset_t bus;
  sigemptyset(&bus);
  sigaddset(&bus, SIGBUS);
  pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
}
