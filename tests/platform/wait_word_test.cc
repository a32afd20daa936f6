// Waiting on a word: a change or a wake ends the sleep, a word that already
// differs never sleeps, the time-out ends it, and two or more words wake on
// any of them.
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

// A list of words: the last of six ends the wait as well as the first; a
// list that is empty, too long or holds a null word is refused.
TEST(WaitWord, AChangeAndWakeOfAnyWordOfAListEndsTheWait) {
  constexpr uint32_t kWords = 6;
  for (uint32_t which : {0u, kWords - 1}) {
    alignas(4) uint32_t words[kWords] = {};
    std::atomic<bool> asleep{false};
    std::thread t([&] {
      KstWaitWord list[kWords];
      for (uint32_t i = 0; i < kWords; ++i) list[i] = KstWaitWord{&words[i], 0, i % 2 == 0};
      asleep = true;
      while (__atomic_load_n(&words[which], __ATOMIC_ACQUIRE) == 0)
        KstWaitOnWordList(list, kWords, KST_INFINITE);
    });
    while (!asleep) std::this_thread::yield();
    __atomic_store_n(&words[which], 1, __ATOMIC_RELEASE);
    KstWakeWord(&words[which], which % 2 == 0);
    t.join();
  }
  uint32_t word = 0;
  KstWaitWord list[KST_WAIT_WORDS_MAX + 1];
  for (auto &w : list) w = KstWaitWord{&word, 0, false};
  EXPECT_EQ(87u, KstWaitOnWordList(list, 0, 1));
  EXPECT_EQ(87u, KstWaitOnWordList(list, KST_WAIT_WORDS_MAX + 1, 1));
  list[1].word = nullptr;
  EXPECT_EQ(87u, KstWaitOnWordList(list, 2, 1));
  EXPECT_EQ(87u, KstWaitOnWordList(nullptr, 1, 1));
}

}  // namespace
