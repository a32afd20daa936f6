// Mutexes: an owner that dies leaves the mutex to the next waiter, a live
// owner makes timed waits time out no earlier than asked, recursion, mutual
// exclusion across processes, a release to a sleeping locker hands the
// mutex on (also when that locker was killed asleep), a waiter gets its
// turn from an owner that keeps taking the mutex back, waiters are served in
// the order they came, an object holding the
// pthread mutex alone (an older library's) still works, and bad handles.
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "named_object.h"
#include "named_test_util.h"
#include "platform.h"
#include "test_support.h"

namespace {

using krptest::WaitForPath;

// Creates the mutex, takes it, marks `ready` and waits to be killed.
KRP_CHILD_ROLE_FN(mutex_own) {
  KST_HSEM m = nullptr;
  if (KstCreateMutexSem(args.at(0).c_str(), &m) != 0) return 10;
  if (KstRequestMutexSem(m, KST_INFINITE) != 0) return 11;
  krptest::Touch(args.at(1));
  sleep(120);
  return 0;
}

// Adds 1 to the counter in the region `count` times, each time under the
// mutex, with a read-yield-write that loses updates without exclusion.
KRP_CHILD_ROLE_FN(mutex_count) {
  KST_HSEM m = nullptr;
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  if (KstCreateMutexSem(args.at(0).c_str(), &m) != 0) return 10;
  if (KstCreateSharedMem(args.at(0).c_str(), &addr, 8, &h) != 0) return 11;
  if (!WaitForPath(args.at(2))) return 12;
  auto *counter = static_cast<volatile uint32_t *>(addr);
  int n = std::stoi(args.at(1));
  for (int i = 0; i < n; ++i) {
    if (KstRequestMutexSem(m, 10000) != 0) return 13;
    uint32_t v = *counter;
    if (i % 16 == 0) sched_yield();
    *counter = v + 1;
    if (KstReleaseMutexSem(m) != 0) return 14;
  }
  KstFreeSharedMem(addr, h);
  KstCloseMutexSem(m);
  return 0;
}

// Opens the mutex, marks `waiting` and blocks on it without limit.
KRP_CHILD_ROLE_FN(mutex_wait) {
  KST_HSEM m = nullptr;
  if (KstOpenMutexSem(args.at(0).c_str(), &m) != 0) return 10;
  krptest::Touch(args.at(1));
  if (KstRequestMutexSem(m, KST_INFINITE) != 0) return 11;
  sleep(120);
  return 0;
}

class MutexTest : public ::testing::Test {
 protected:
  krptest::TestEnv env_;
};

uint32_t RequestFromOtherThread(KST_HSEM m, uint32_t ms) {
  return std::async(std::launch::async, [&] {
           uint32_t rc = KstRequestMutexSem(m, ms);
           if (rc == 0) KstReleaseMutexSem(m);
           return rc;
         }).get();
}

TEST_F(MutexTest, LiveOwnerTimesOutWaitersAndDeadOwnerHandsItOn) {
  std::string name = env_.Name("owner");
  std::string ready = env_.dir() + "/owned";
  pid_t pid = krptest::SpawnRole("mutex_own", {name, ready});
  ASSERT_TRUE(WaitForPath(ready));
  KST_HSEM m = nullptr;
  ASSERT_EQ(KstOpenMutexSemGlobal(name.c_str(), &m), 0u);

  EXPECT_EQ(KstRequestMutexSem(m, 0), 121u);
  krptest::Stopwatch sw;
  EXPECT_EQ(KstRequestMutexSem(m, 300), 121u);
  EXPECT_GE(sw.Ms(), 300.0);

  // A waiter blocked without limit gets the mutex when its owner is killed.
  auto waiter = std::async(std::launch::async, [&] {
    uint32_t rc = KstRequestMutexSem(m, 20000);
    if (rc == 0 && KstReleaseMutexSem(m) != 0) rc = 99;
    return rc;
  });
  usleep(50000);
  kill(pid, SIGKILL);
  krptest::WaitChild(pid);
  EXPECT_EQ(waiter.get(), 0u);
  // Consistent again: taken and released as usual.
  EXPECT_EQ(RequestFromOtherThread(m, 0), 0u);
  EXPECT_EQ(KstRequestMutexSem(m, 0), 0u);
  EXPECT_EQ(RequestFromOtherThread(m, 0), 121u);
  EXPECT_EQ(KstReleaseMutexSem(m), 0u);
  EXPECT_EQ(KstCloseMutexSem(m), 0u);
}

// A release that finds a locker asleep lets that locker in before the
// releasing thread takes the mutex back; without that, the releaser wins
// practically every time and a sleeper can starve.
TEST_F(MutexTest, ReleasingToASleeperLetsItInBeforeTakingTheMutexBack) {
  std::string name = env_.Name("handoff");
  KST_HSEM m = nullptr;
  ASSERT_EQ(KstCreateMutexSem(name.c_str(), &m), 0u);
  constexpr int kRounds = 20;
  int sleeper_first = 0;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EQ(KstRequestMutexSem(m, KST_INFINITE), 0u);
    std::atomic<int> first{0};
    std::atomic<bool> started{false};
    std::thread sleeper([&] {
      started = true;
      if (KstRequestMutexSem(m, KST_INFINITE) != 0) return;
      int none = 0;
      first.compare_exchange_strong(none, 1);
      KstReleaseMutexSem(m);
    });
    while (!started) sched_yield();
    usleep(20000);  // long enough for the sleeper to be asleep on the mutex
    ASSERT_EQ(KstReleaseMutexSem(m), 0u);
    ASSERT_EQ(KstRequestMutexSem(m, KST_INFINITE), 0u);
    int none = 0;
    first.compare_exchange_strong(none, 2);
    ASSERT_EQ(KstReleaseMutexSem(m), 0u);
    sleeper.join();
    sleeper_first += first.load() == 1;
  }
  // Scheduling decides single rounds; a hand-off that never happens is the fault.
  EXPECT_GT(sleeper_first, 0);
  EXPECT_EQ(KstCloseMutexSem(m), 0u);
}

// A locker killed while asleep leaves the sign that someone sleeps on the
// mutex; the release that follows waits for it at most briefly, and every
// kind of request after it still gets the mutex.
TEST_F(MutexTest, ASleeperKilledBeforeTheReleaseDoesNotHoldUpLaterRequests) {
  std::string name = env_.Name("deadsleeper");
  std::string waiting = env_.dir() + "/waiting";
  KST_HSEM m = nullptr;
  ASSERT_EQ(KstCreateMutexSem(name.c_str(), &m), 0u);
  ASSERT_EQ(KstRequestMutexSem(m, KST_INFINITE), 0u);
  pid_t pid = krptest::SpawnRole("mutex_wait", {name, waiting});
  ASSERT_TRUE(WaitForPath(waiting));
  usleep(50000);  // let it fall asleep on the mutex
  kill(pid, SIGKILL);
  krptest::WaitChild(pid);
  ASSERT_EQ(KstReleaseMutexSem(m), 0u);
  for (uint32_t ms : {KST_INFINITE, 5000u, 0u}) {
    EXPECT_EQ(KstRequestMutexSem(m, ms), 0u) << ms;
    EXPECT_EQ(KstReleaseMutexSem(m), 0u) << ms;
  }
  EXPECT_EQ(RequestFromOtherThread(m, 0), 0u);
  EXPECT_EQ(KstCloseMutexSem(m), 0u);
}

TEST_F(MutexTest, OwnerMayTakeItAgainAndMustReleaseAsOften) {
  for (bool named : {true, false}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    std::string name = env_.Name("rec");
    KST_HSEM m = nullptr;
    ASSERT_EQ(KstCreateMutexSem(named ? name.c_str() : nullptr, &m), 0u);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(KstRequestMutexSem(m, 0), 0u);
    EXPECT_EQ(RequestFromOtherThread(m, 50), 121u);
    EXPECT_EQ(KstReleaseMutexSem(m), 0u);
    EXPECT_EQ(KstReleaseMutexSem(m), 0u);
    EXPECT_EQ(RequestFromOtherThread(m, 0), 121u);
    EXPECT_EQ(KstReleaseMutexSem(m), 0u);
    EXPECT_EQ(RequestFromOtherThread(m, 0), 0u);
    // Not the owner any more.
    EXPECT_EQ(KstReleaseMutexSem(m), 1u);
    EXPECT_EQ(KstCloseMutexSem(m), 0u);
  }
}

TEST_F(MutexTest, ProcessesUpdatingUnderTheMutexLoseNothing) {
  std::string name = env_.Name("count");
  std::string go = env_.dir() + "/go";
  KST_HSEM m = nullptr;
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  ASSERT_EQ(KstCreateMutexSem(name.c_str(), &m), 0u);
  ASSERT_EQ(KstCreateSharedMem(name.c_str(), &addr, 8, &h), 0u);
  constexpr int kProcs = 3, kEach = 3000;
  std::vector<pid_t> pids;
  for (int i = 0; i < kProcs; ++i)
    pids.push_back(krptest::SpawnRole("mutex_count", {name, std::to_string(kEach), go}));
  krptest::Touch(go);
  for (pid_t p : pids) EXPECT_EQ(krptest::WaitChild(p), 0);
  EXPECT_EQ(*static_cast<uint32_t *>(addr), static_cast<uint32_t>(kProcs * kEach));
  KstFreeSharedMem(addr, h);
  KstCloseMutexSem(m);
}

// An owner that takes the mutex back at once after every release may keep
// it for a while (its run), but not for good: a waiter gets its turn. The
// bound on the owner's loop only turns a starved waiter into a failure
// instead of a hang.
TEST_F(MutexTest, AWaiterGetsItsTurnWhileTheOwnerKeepsTakingItBack) {
  KST_HSEM m = nullptr;
  ASSERT_EQ(KstCreateMutexSem(env_.Name("turns").c_str(), &m), 0u);
  std::atomic<bool> waiter_in{false};
  int inside = 0;  // touched only under the mutex
  bool overlap = false;
  ASSERT_EQ(KstRequestMutexSem(m, KST_INFINITE), 0u);
  std::thread waiter([&] {
    if (KstRequestMutexSem(m, KST_INFINITE) != 0) return;
    overlap |= ++inside != 1;
    waiter_in = true;
    --inside;
    KstReleaseMutexSem(m);
  });
  usleep(20000);  // let the waiter fall asleep
  ASSERT_EQ(KstReleaseMutexSem(m), 0u);
  constexpr long kBound = 20000000;
  long rounds = 0;
  for (; !waiter_in && rounds < kBound; ++rounds) {
    ASSERT_EQ(KstRequestMutexSem(m, KST_INFINITE), 0u);
    overlap |= ++inside != 1;
    --inside;
    ASSERT_EQ(KstReleaseMutexSem(m), 0u);
  }
  waiter.join();
  EXPECT_TRUE(waiter_in.load()) << rounds;
  EXPECT_FALSE(overlap);
  EXPECT_EQ(KstCloseMutexSem(m), 0u);
}

// Waiters that queue one after another get the mutex in that order, each
// from a predecessor that takes it once and stops asking: no waiter is
// passed over, also when a run ends without a hand-off.
TEST_F(MutexTest, WaitersGetTheMutexInTheOrderTheyCame) {
  KST_HSEM m = nullptr;
  ASSERT_EQ(KstCreateMutexSem(env_.Name("order").c_str(), &m), 0u);
  ASSERT_EQ(KstRequestMutexSem(m, KST_INFINITE), 0u);
  constexpr int kWaiters = 4;
  std::vector<int> order;  // appended under the mutex
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      if (KstRequestMutexSem(m, 20000) != 0) return;
      order.push_back(i);
      KstReleaseMutexSem(m);
    });
    usleep(10000);  // let it fall asleep behind the ones before it
  }
  ASSERT_EQ(KstReleaseMutexSem(m), 0u);
  for (auto &w : waiters) w.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(KstCloseMutexSem(m), 0u);
}

// What the first library versions placed in a named mutex's object: the
// pthread mutex, robust, recursive and process-shared, and nothing after it.
uint32_t InitBareMutex(void *payload, uint32_t, void *) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  int r = pthread_mutex_init(static_cast<pthread_mutex_t *>(payload), &attr);
  pthread_mutexattr_destroy(&attr);
  return r == 0 ? 0 : 1;
}

TEST_F(MutexTest, AnObjectHoldingOnlyThePthreadMutexStillExcludesAndHandsOn) {
  std::string name = env_.Name("bare");
  KstNamedObject *bare = nullptr;
  ASSERT_EQ(KstObjAcquire(KstObjKind::Mutex, name.c_str(), true, sizeof(pthread_mutex_t),
                          InitBareMutex, nullptr, &bare, nullptr),
            0u);
  KST_HSEM created = nullptr, opened = nullptr;
  ASSERT_EQ(KstCreateMutexSem(name.c_str(), &created), 0u);
  ASSERT_EQ(KstOpenMutexSem(name.c_str(), &opened), 0u);
  int counter = 0;
  auto work = [&](KST_HSEM m) {
    for (int i = 0; i < 20000; ++i) {
      if (KstRequestMutexSem(m, 10000) != 0) return;
      int v = counter;
      if (i % 64 == 0) sched_yield();
      counter = v + 1;
      KstReleaseMutexSem(m);
    }
  };
  // One handle for both threads: two handles in one process are two
  // mappings, which the thread sanitizer takes for two mutexes.
  std::thread a(work, created), b(work, created);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
  ASSERT_EQ(KstRequestMutexSem(opened, 0), 0u);
  EXPECT_EQ(RequestFromOtherThread(created, 0), 121u);
  EXPECT_EQ(KstReleaseMutexSem(opened), 0u);
  EXPECT_EQ(RequestFromOtherThread(created, 0), 0u);
  EXPECT_EQ(KstCloseMutexSem(created), 0u);
  EXPECT_EQ(KstCloseMutexSem(opened), 0u);
  EXPECT_EQ(KstObjRelease(bare), 0u);
}

TEST_F(MutexTest, ThreadEndingWhileOwningAbandonsIt) {
  KST_HSEM m = nullptr;
  ASSERT_EQ(KstCreateMutexSem(env_.Name("abandon").c_str(), &m), 0u);
  std::thread([&] { ASSERT_EQ(KstRequestMutexSem(m, 0), 0u); }).join();
  EXPECT_EQ(KstRequestMutexSem(m, 1000), 0u);
  EXPECT_EQ(KstReleaseMutexSem(m), 0u);
  EXPECT_EQ(KstCloseMutexSem(m), 0u);
}

TEST_F(MutexTest, BadHandlesAndArguments) {
  KST_HSEM m = nullptr, e = nullptr;
  EXPECT_EQ(KstCreateMutexSem("x", nullptr), 87u);
  EXPECT_EQ(KstOpenMutexSem(nullptr, &m), 87u);
  EXPECT_EQ(KstOpenMutexSem("x", nullptr), 87u);
  EXPECT_EQ(KstOpenMutexSem(env_.Name("missing").c_str(), &m), 2u);
  EXPECT_EQ(m, nullptr);
  int on_stack = 0;
  auto *foreign = reinterpret_cast<KST_HSEM>(&on_stack);
  ASSERT_EQ(KstCreateEventSem(nullptr, 0, 0, &e), 0u);
  for (KST_HSEM bad : {static_cast<KST_HSEM>(nullptr), foreign, e}) {
    EXPECT_EQ(KstRequestMutexSem(bad, 0), 6u);
    EXPECT_EQ(KstReleaseMutexSem(bad), 6u);
    EXPECT_EQ(KstCloseMutexSem(bad), 6u);
  }
  ASSERT_EQ(KstCreateMutexSem(nullptr, &m), 0u);
  EXPECT_EQ(KstWaitForEventSem(m, 0), 6u);  // a mutex is not an event
  EXPECT_EQ(KstCloseMutexSem(m), 0u);
  EXPECT_EQ(KstCloseMutexSem(m), 6u);
  EXPECT_EQ(KstRequestMutexSem(m, 0), 6u);
  EXPECT_EQ(KstCloseEventSem(e), 0u);
}

}  // namespace
