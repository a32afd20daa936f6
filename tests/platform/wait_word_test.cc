// Waiting on a word: a change or a wake ends the sleep, a word that already
// differs never sleeps, the time-out ends it, and two words wake on either.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform.h"

namespace {

TEST(WaitWord, AWordThatAlreadyDiffersDoesNotSleep) {
  uint32_t word = 5;
  EXPECT_EQ(0u, KstWaitOnWord(KstWaitWord{&word, 4, false}, KST_INFINITE));
  uint32_t other = 1;
  EXPECT_EQ(0u, KstWaitOnWords(KstWaitWord{&word, 5, false}, KstWaitWord{&other, 0, false},
                               KST_INFINITE));
}

TEST(WaitWord, TheTimeOutEndsAnUnchangedWait) {
  uint32_t word = 5, other = 1;
  EXPECT_EQ(121u, KstWaitOnWord(KstWaitWord{&word, 5, false}, 1));
  EXPECT_EQ(121u,
            KstWaitOnWords(KstWaitWord{&word, 5, true}, KstWaitWord{&other, 1, false}, 1));
  EXPECT_EQ(87u, KstWaitOnWord(KstWaitWord{nullptr, 0, false}, 1));
}

// A change of either word, followed by a wake of that word, ends an endless
// wait; the test would hang, not fail, if the wake were lost.
TEST(WaitWord, AChangeAndWakeOfEitherWordEndsTheWait) {
  for (int which = 0; which < 2; ++which) {
    alignas(4) uint32_t first = 0, second = 0;
    std::atomic<bool> asleep{false};
    std::thread t([&] {
      asleep = true;
      while (__atomic_load_n(which ? &second : &first, __ATOMIC_ACQUIRE) == 0)
        KstWaitOnWords(KstWaitWord{&first, 0, false}, KstWaitWord{&second, 0, false},
                       KST_INFINITE);
    });
    while (!asleep) std::this_thread::yield();
    uint32_t *w = which ? &second : &first;
    __atomic_store_n(w, 1, __ATOMIC_RELEASE);
    KstWakeWord(w, false);
    t.join();
  }
}

}  // namespace
