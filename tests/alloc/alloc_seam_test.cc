// The allocation seam itself: the armed failure happens exactly once at the
// n-th allocation, objects and containers built on KstAllocMem take it, and
// over-aligned objects keep their alignment.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <vector>

#include "kst_alloc.h"
#include "platform.h"
#include "test_hooks.h"

namespace {

struct alignas(64) Wide {
  int a = 1;
  unsigned char pad[100] = {};
};

TEST(AllocSeam, TheArmedAllocationFailsOnceAndTheOthersSucceed) {
  const int64_t live = KstTestAllocLive();
  void *p[4] = {};
  KstTestAllocFailAt(3);
  uint32_t rc[4];
  for (int i = 0; i < 4; ++i) rc[i] = KstAllocMem(8, 0, &p[i], nullptr);
  EXPECT_FALSE(KstTestAllocArmed());
  EXPECT_EQ(4u, KstTestAllocCount());
  KstTestAllocFailAt(0);
  EXPECT_EQ(0u, rc[0]);
  EXPECT_EQ(0u, rc[1]);
  EXPECT_EQ(KST_HEAP_FULL, rc[2]);
  EXPECT_EQ(nullptr, p[2]);
  EXPECT_EQ(0u, rc[3]);
  EXPECT_EQ(live + 3, KstTestAllocLive());
  for (void *q : p) KstFreeMem(q, 0);
  EXPECT_EQ(live, KstTestAllocLive());
}

TEST(AllocSeam, OverAlignedObjectsKeepTheirAlignmentAndAreFreedWhole) {
  const int64_t live = KstTestAllocLive();
  std::vector<Wide *> v;
  for (int i = 0; i < 16; ++i) {
    Wide *w = KstNew<Wide>();
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(w) % 64);
    EXPECT_EQ(1, w->a);
    v.push_back(w);
  }
  for (Wide *w : v) KstDelete(w);
  EXPECT_EQ(live, KstTestAllocLive());
  KstTestAllocFailAt(1);
  EXPECT_EQ(nullptr, KstNew<Wide>());
  KstTestAllocFailAt(0);
  EXPECT_EQ(live, KstTestAllocLive());
}

TEST(AllocSeam, AContainerOnTheSeamThrowsBadAllocAndStaysUsable) {
  const int64_t live = KstTestAllocLive();
  {
    KstString s("a string long enough to need a heap block of its own");
    const KstString before = s;
    KstTestAllocFailAt(1);
    EXPECT_THROW(s.append(200, 'x'), std::bad_alloc);
    KstTestAllocFailAt(0);
    EXPECT_EQ(before, s);
    s.append(200, 'x');
    EXPECT_EQ(before.size() + 200, s.size());
  }
  EXPECT_EQ(live, KstTestAllocLive());
}

}  // namespace
