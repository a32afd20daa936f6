// The process-wide registry of live opaque handles.
//
// Every opaque handle the library gives out (critical section, event, mutex,
// shared memory, thread, list, library context, event handle of the resource
// layer) is registered with its kind when it is made and unregistered before
// it is freed. Functions that take a handle ask the registry first, so a
// null, stale, foreign or wrong-kind pointer gets its result code and the
// memory behind it is never read.
//
// Invariants:
// 1. A pointer is registered at most once at a time, under exactly one kind.
// 2. Lookups and changes take one process-local mutex, held only for the
//    map operation itself (never across a system call that can block).
// 3. Liveness is not ownership: a caller that frees a handle while another of
//    its threads still uses it is outside what the registry can catch.
#ifndef KRP_PLATFORM_HANDLE_REGISTRY_H
#define KRP_PLATFORM_HANDLE_REGISTRY_H

#include <cstdint>

enum class KstHandleKind : uint32_t {
  CritSec = 1,
  Event = 2,
  Mutex = 3,
  SharedMem = 4,
  Thread = 5,
  List = 6,         // list helper
  LibContext = 7,   // host library context
  ResEvent = 8,     // resource-layer event handle
};

// 0, or 8192 when the registry cannot grow.
uint32_t KstHandleRegister(const void *h, KstHandleKind kind);
// Removes the handle; false when it was not registered under `kind`.
bool KstHandleUnregister(const void *h, KstHandleKind kind);
// True when `h` is registered under `kind`.
bool KstHandleIsLive(const void *h, KstHandleKind kind);

#endif  // KRP_PLATFORM_HANDLE_REGISTRY_H
