// A guard against SIGBUS for the host's accesses to shared memory.
//
// Design note
// -----------
// Every named object (the request block, the status block, the events and
// mutexes of the service) is a file mapping that any local process may
// truncate. The next access of this process to a lost page raises SIGBUS,
// which would end the host with the store still open. A guarded section
// turns such a fault into an ordinary failure: KrpRunGuarded(fn) runs fn,
// and when a SIGBUS is raised in the calling thread while fn runs, the
// signal handler jumps back into KrpRunGuarded, which returns false. fn is
// cut short at the faulting access; nothing after it in fn runs and no
// destructor of fn's frames runs.
//
// Invariants:
// 1. A guarded section calls only code that holds no lock and owns no
//    resource across its accesses to shared mappings (the request dispatch
//    records its buffers in the server so that the caller frees them after
//    a fault; the platform's event and mutex calls hold nothing while they
//    touch the mapping). A lock the caller holds around KrpRunGuarded stays
//    held and is released by the caller as usual.
// 2. Sections never nest within one thread.
// 3. A SIGBUS outside a guarded section, or in a thread that is not inside
//    one, goes to the disposition that was installed before the guard (by
//    default it ends the process).
// 4. At most kKrpFaultGuardSlots threads are inside a section at a time
//    (the server thread and the thread that stops or starts the host); a
//    section that finds no free slot runs unguarded.
//
// The signal mask is not saved (that would cost a system call per section):
// the handler runs with SA_NODEFER, so a jump out of it leaves the mask as
// it was. A runtime that wraps signal handlers may still block signals
// around ours (the thread sanitizer does), so after a fault SIGBUS is
// unblocked explicitly (a blocked SIGBUS raised by a fault ends the
// process); that costs a system call on the fault path only.
#ifndef KRP_DLL_FAULT_GUARD_H
#define KRP_DLL_FAULT_GUARD_H

#include <setjmp.h>

#include <atomic>
#include <cstdint>

constexpr int kKrpFaultGuardSlots = 4;

// One thread's guarded section.
struct KrpFaultSlot {
  std::atomic<long> tid{0};     // the owning thread's id; 0 = free
  std::atomic<int> active{0};   // 1 once `jb` holds the section's jump target
  sigjmp_buf jb;
};

// Claims a slot for the calling thread (installs the handler on first use);
// null when every slot is taken.
KrpFaultSlot *KrpFaultGuardClaim();
// Marks the slot's jump target as set.
void KrpFaultGuardActivate(KrpFaultSlot *slot);
// Gives the slot back.
void KrpFaultGuardRelease(KrpFaultSlot *slot);
// Gives the slot back after a fault, and makes sure SIGBUS is not left
// blocked in this thread.
void KrpFaultGuardRecover(KrpFaultSlot *slot);

// Runs fn() under the guard. True when fn ran to its end, false when a
// SIGBUS in this thread cut it short.
template <typename Fn>
bool KrpRunGuarded(Fn &&fn) {
  KrpFaultSlot *slot = KrpFaultGuardClaim();
  if (!slot) {
    fn();
    return true;
  }
  if (sigsetjmp(slot->jb, 0) != 0) {
    KrpFaultGuardRecover(slot);
    return false;
  }
  KrpFaultGuardActivate(slot);
  fn();
  KrpFaultGuardRelease(slot);
  return true;
}

#endif  // KRP_DLL_FAULT_GUARD_H
