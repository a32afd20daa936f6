// Objects and containers on KstAllocMem.
//
// Every allocation of the library goes through KstAllocMem, so that a test
// can make any one of them fail (test_hooks.h). Two helpers carry C++
// allocations there:
//
// - KstNew<T>(args...) / KstDelete(p): a single object, constructed in a
//   KstAllocMem block; null (never an exception) when the block cannot be
//   had. Over-aligned types (alignas > 16) get a larger block with the
//   object placed at its alignment and the block's own address kept just
//   before it.
// - KstAllocator<T>: the allocator of a standard container. A failed
//   allocation throws std::bad_alloc, so a container on it behaves exactly
//   as with the default allocator; every function that uses such a
//   container catches std::bad_alloc and returns 8192, so no exception
//   leaves the library.
#ifndef KRP_PLATFORM_KST_ALLOC_H
#define KRP_PLATFORM_KST_ALLOC_H

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "platform.h"

namespace kst_alloc_detail {

// malloc's guarantee on this platform.
constexpr size_t kHeapAlign = 16;

template <typename T>
constexpr size_t BlockSize() {
  return alignof(T) <= kHeapAlign ? sizeof(T) : sizeof(T) + alignof(T) + sizeof(void *);
}

}  // namespace kst_alloc_detail

template <typename T, typename... Args>
T *KstNew(Args &&...args) {
  using namespace kst_alloc_detail;
  static_assert(BlockSize<T>() <= UINT32_MAX);
  void *raw = nullptr;
  if (KstAllocMem(uint32_t(BlockSize<T>()), 0, &raw, nullptr) != KST_OK) return nullptr;
  void *at = raw;
  if constexpr (alignof(T) > kHeapAlign) {
    uintptr_t p = reinterpret_cast<uintptr_t>(raw) + sizeof(void *);
    p = (p + alignof(T) - 1) & ~uintptr_t(alignof(T) - 1);
    at = reinterpret_cast<void *>(p);
    static_cast<void **>(at)[-1] = raw;
  }
  // Braces for aggregates (parenthesised aggregate initialisation is not in
  // every compiler the library is built with), parentheses for the rest.
  if constexpr (std::is_aggregate_v<T>)
    return ::new (at) T{std::forward<Args>(args)...};
  else
    return ::new (at) T(std::forward<Args>(args)...);
}

template <typename T>
void KstDelete(T *p) {
  if (!p) return;
  p->~T();
  void *raw = p;
  if constexpr (alignof(T) > kst_alloc_detail::kHeapAlign) raw = reinterpret_cast<void **>(p)[-1];
  KstFreeMem(raw, 0);
}

template <typename T>
struct KstAllocator {
  using value_type = T;
  KstAllocator() noexcept = default;
  template <typename U>
  KstAllocator(const KstAllocator<U> &) noexcept {}

  T *allocate(size_t n) {
    static_assert(alignof(T) <= kst_alloc_detail::kHeapAlign);
    void *p = nullptr;
    if (n > UINT32_MAX / sizeof(T) || KstAllocMem(uint32_t(n * sizeof(T)), 0, &p, nullptr))
      throw std::bad_alloc();
    return static_cast<T *>(p);
  }
  void deallocate(T *p, size_t) noexcept { KstFreeMem(p, 0); }

  template <typename U>
  bool operator==(const KstAllocator<U> &) const noexcept {
    return true;
  }
};

// The string type of code that must allocate through the seam, and its hash
// (the standard one is defined for the default allocator only).
using KstString = std::basic_string<char, std::char_traits<char>, KstAllocator<char>>;
struct KstStringHash {
  size_t operator()(const KstString &s) const noexcept {
    return std::hash<std::string_view>()(std::string_view(s));
  }
};

#endif  // KRP_PLATFORM_KST_ALLOC_H
