// Heap memory: malloc/free, with the failure as a code (never an exception).
//
// KstAllocMem is the one seam every allocation of the library goes through
// (containers do so through KstAllocator, objects through KstNew; see
// kst_alloc.h), so that a test can make any one of them fail. The fault
// state is three process-wide counters: relaxed atomics, because they order
// nothing; an allocation racing with the arming call may count on either
// side of it.
#include <stdlib.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>

#include "platform.h"
#include "test_hooks.h"

namespace {

// Allocations counted since the last KstTestAllocFailAt.
std::atomic<uint32_t> g_alloc_count{0};
// The count at which the next allocation fails; 0 = none armed.
std::atomic<uint32_t> g_fail_at{0};
// Blocks handed out and not yet returned.
std::atomic<int64_t> g_live{0};

// True when this allocation is the one armed to fail (which disarms it).
bool FailThisOne() {
  uint32_t n = g_alloc_count.fetch_add(1, std::memory_order_relaxed) + 1;
  uint32_t at = g_fail_at.load(std::memory_order_relaxed);
  return at != 0 && n == at &&
         g_fail_at.compare_exchange_strong(at, 0, std::memory_order_relaxed);
}

constexpr size_t kHugePage = size_t(2) << 20;

// A block on huge-page boundaries, marked for huge pages (KST_MEM_LARGE).
// Null when it cannot be had; the mark is a hint whose refusal is ignored.
void *LargeBlock(uint32_t size) {
  void *p = nullptr;
  if (posix_memalign(&p, kHugePage, size) != 0) return nullptr;
  madvise(p, size, MADV_HUGEPAGE);
  return p;
}

}  // namespace

uint32_t KstAllocMem(uint32_t size, uint32_t flags, void **out, void * /*reserved*/) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  if (FailThisOne()) {
    *out = nullptr;
  } else if ((flags & KST_MEM_LARGE) && size >= kHugePage) {
    *out = LargeBlock(size);
  } else {
    *out = std::malloc(size ? size : 1);
  }
  if (!*out) return KST_HEAP_FULL;
  g_live.fetch_add(1, std::memory_order_relaxed);
  return KST_OK;
}

uint32_t KstFreeMem(void *p, uint32_t /*flags*/) {
  if (p) g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
  return KST_OK;
}

void KstTestAllocFailAt(uint32_t n) {
  g_fail_at.store(0, std::memory_order_relaxed);
  g_alloc_count.store(0, std::memory_order_relaxed);
  g_fail_at.store(n, std::memory_order_relaxed);
}

uint32_t KstTestAllocCount() { return g_alloc_count.load(std::memory_order_relaxed); }

bool KstTestAllocArmed() { return g_fail_at.load(std::memory_order_relaxed) != 0; }

int64_t KstTestAllocLive() { return g_live.load(std::memory_order_relaxed); }
