#include "handle_registry.h"

#include <mutex>
#include <shared_mutex>
#include <new>
#include <unordered_map>

#include "krp_assert.h"
#include "platform.h"

namespace {

// Every use of a handle looks it up, so lookups share the lock; only
// registering and unregistering take it exclusively.
//
// The table stays on the runtime heap, outside the KstAllocMem seam: it is
// bookkeeping, not part of any caller's operation. The close paths that keep
// a handle usable after a failed release register it again and cannot take
// a failure there, and the table's bucket array grows in steps whose timing
// depends on every handle the process ever made, which would make the seam's
// allocation count of one operation depend on unrelated history.
struct Registry {
  std::shared_mutex mu;
  std::unordered_map<const void *, KstHandleKind> live;
};

// Never destroyed: handles may be checked from exit handlers and from
// threads still running while static destructors run.
Registry &Reg() {
  static Registry *reg = new Registry;
  return *reg;
}

}  // namespace

uint32_t KstHandleRegister(const void *h, KstHandleKind kind) {
  if (!h) return KST_ERR_INVALID_PARAMETER;
  Registry &r = Reg();
  std::lock_guard<std::shared_mutex> lock(r.mu);
  try {
    auto [it, fresh] = r.live.try_emplace(h, kind);
    // Invariant 1: a handle is unregistered before its memory is freed, so
    // a pointer being registered cannot be live already.
    KRP_ASSERT(fresh);
    if (!fresh) it->second = kind;
  } catch (const std::bad_alloc &) {
    return KST_HEAP_FULL;
  }
  return KST_OK;
}

bool KstHandleUnregister(const void *h, KstHandleKind kind) {
  if (!h) return false;
  Registry &r = Reg();
  std::lock_guard<std::shared_mutex> lock(r.mu);
  auto it = r.live.find(h);
  if (it == r.live.end() || it->second != kind) return false;
  r.live.erase(it);
  return true;
}

bool KstHandleIsLive(const void *h, KstHandleKind kind) {
  if (!h) return false;
  Registry &r = Reg();
  std::shared_lock<std::shared_mutex> lock(r.mu);
  auto it = r.live.find(h);
  return it != r.live.end() && it->second == kind;
}
