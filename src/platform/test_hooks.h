// Hooks for tests only: forget the process-wide caches that the platform
// layer fills on first use (product root, object folder, logging library
// search), so that one test process can move to a fresh private environment;
// and make an allocation fail.
#ifndef KRP_PLATFORM_TEST_HOOKS_H
#define KRP_PLATFORM_TEST_HOOKS_H

#include <cstdint>

// Forgets the cached product root (read again from the registry next time).
void KstTestResetRootCache();
// How many times this process has looked for the logging library (a search
// of both places counts once).
uint32_t KstTestLogSearchCount();

// Allocation faults. Every allocation of the library goes through
// KstAllocMem; KstTestAllocFailAt(n) makes the n-th of them from now (in any
// thread of the process) fail with 8192, once, and restarts the count; 0
// disarms. Allocations after the failed one succeed again.
void KstTestAllocFailAt(uint32_t n);
// Allocations (failed ones included) since the last KstTestAllocFailAt.
uint32_t KstTestAllocCount();
// True while the armed failure has not happened yet.
bool KstTestAllocArmed();
// Blocks from KstAllocMem not yet given back to KstFreeMem: a leak shows as a
// difference between two moments at which the same objects are alive.
int64_t KstTestAllocLive();

#endif  // KRP_PLATFORM_TEST_HOOKS_H
