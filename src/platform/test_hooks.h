// Hooks for tests only: forget the process-wide caches that the platform
// layer fills on first use (product root, object folder, logging library
// search), so that one test process can move to a fresh private environment.
#ifndef KRP_PLATFORM_TEST_HOOKS_H
#define KRP_PLATFORM_TEST_HOOKS_H

#include <cstdint>

// Forgets the cached product root (read again from the registry next time).
void KstTestResetRootCache();
// How many times this process has looked for the logging library (a search
// of both places counts once).
uint32_t KstTestLogSearchCount();

#endif  // KRP_PLATFORM_TEST_HOOKS_H
