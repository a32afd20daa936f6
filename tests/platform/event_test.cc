// Events: set-before-wait, auto-reset releasing exactly one waiter,
// manual-reset staying set, monotonic time-outs, and waiters killed mid-wait
// never costing a later waiter its wake-up.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "named_test_util.h"
#include "platform.h"
#include "test_support.h"

namespace {

using krptest::PathExists;
using krptest::WaitForPath;

// Opens the event, marks `ready`, waits once (up to 15 s) and writes the
// result to `out`.
KRP_CHILD_ROLE_FN(event_wait_once) {
  KST_HSEM e = nullptr;
  if (KstOpenEventSem(args.at(0).c_str(), &e) != 0) return 10;
  krptest::Touch(args.at(1));
  uint32_t rc = KstWaitForEventSem(e, 15000);
  krptest::WriteFile(args.at(2) + ".tmp", std::to_string(rc));
  rename((args.at(2) + ".tmp").c_str(), args.at(2).c_str());
  return 0;
}

// Waits on the event again and again; each time it is released it signals
// the ack event. Ends when a wait times out.
KRP_CHILD_ROLE_FN(event_live_waiter) {
  KST_HSEM e = nullptr, ack = nullptr;
  if (KstOpenEventSem(args.at(0).c_str(), &e) != 0) return 10;
  if (KstOpenEventSem(args.at(1).c_str(), &ack) != 0) return 11;
  krptest::Touch(args.at(2));
  while (KstWaitForEventSem(e, 10000) == 0) KstSignalEventSem(ack);
  return 0;
}

// Runs the killed-waiter trials. Each trial forks two victims that open the
// event and wait on it, kills them at a varying moment of their wait
// (spinning or asleep), then signals once: the live waiter must be released
// and answer on the ack event. Exit 0, or 100 + the trial that lost its
// wake-up.
KRP_CHILD_ROLE_FN(event_killed_waiter_trials) {
  const std::string name = args.at(0);
  KST_HSEM e = nullptr, ack = nullptr;
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  if (KstOpenEventSem(name.c_str(), &e) != 0) return 10;
  if (KstOpenEventSem(args.at(1).c_str(), &ack) != 0) return 11;
  if (KstCreateSharedMem(name.c_str(), &addr, 8, &h) != 0) return 12;
  auto *waiting = static_cast<std::atomic<uint32_t> *>(addr);
  int trials = std::stoi(args.at(2));
  uint32_t expected = 0;
  for (int trial = 0; trial < trials; ++trial) {
    pid_t victims[2];
    for (pid_t &v : victims) {
      v = fork();
      if (v == 0) {
        KST_HSEM mine = nullptr;
        if (KstOpenEventSem(name.c_str(), &mine) != 0) _exit(1);
        waiting->fetch_add(1);
        KstWaitForEventSem(mine, KST_INFINITE);
        _exit(0);
      }
      if (v < 0) return 13;
    }
    expected += 2;
    krptest::Stopwatch sw;
    while (waiting->load() < expected) {
      if (sw.Ms() > 10000) return 14;
      sched_yield();
    }
    // 0 to 300 us after they announced themselves: some are still spinning,
    // some asleep in the kernel.
    usleep(static_cast<useconds_t>((trial * 37) % 300));
    for (pid_t v : victims) kill(v, SIGKILL);
    for (pid_t v : victims) waitpid(v, nullptr, 0);
    KstSignalEventSem(e);
    if (KstWaitForEventSem(ack, 5000) != 0) return 100 + trial % 100;
  }
  return 0;
}

class EventTest : public ::testing::Test {
 protected:
  krptest::TestEnv env_;
};

TEST_F(EventTest, SignalBeforeWaitPersists) {
  for (bool named : {true, false}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    KST_HSEM a = nullptr, m = nullptr;
    ASSERT_EQ(KstCreateEventSem(named ? env_.Name("auto").c_str() : nullptr, 0, 0, &a), 0u);
    ASSERT_EQ(KstCreateEventSem(named ? env_.Name("manual").c_str() : nullptr, 0, 1, &m), 0u);
    EXPECT_EQ(KstWaitForEventSem(a, 0), 121u);
    EXPECT_EQ(KstSignalEventSem(a), 0u);
    EXPECT_EQ(KstSignalEventSem(a), 0u);  // still one signal
    EXPECT_EQ(KstWaitForEventSem(a, 0), 0u);
    EXPECT_EQ(KstWaitForEventSem(a, 0), 121u);  // auto-reset: taken

    EXPECT_EQ(KstSignalEventSem(m), 0u);
    EXPECT_EQ(KstWaitForEventSem(m, 0), 0u);
    EXPECT_EQ(KstWaitForEventSem(m, 100), 0u);  // manual-reset: stays set
    EXPECT_EQ(KstResetEventSem(m), 0u);
    EXPECT_EQ(KstWaitForEventSem(m, 0), 121u);
    EXPECT_EQ(KstCloseEventSem(a), 0u);
    EXPECT_EQ(KstCloseEventSem(m), 0u);
  }
}

TEST_F(EventTest, InitialStateAndModeBelongToTheCreator) {
  std::string name = env_.Name("init");
  KST_HSEM e = nullptr, again = nullptr;
  ASSERT_EQ(KstCreateEventSem(name.c_str(), 1, 1, &e), 0u);
  // Creating it again opens it: neither state nor mode change.
  ASSERT_EQ(KstCreateEventSem(name.c_str(), 0, 0, &again), 0u);
  EXPECT_EQ(KstWaitForEventSem(again, 0), 0u);
  EXPECT_EQ(KstWaitForEventSem(again, 0), 0u);
  EXPECT_EQ(KstCloseEventSem(e), 0u);
  EXPECT_EQ(KstCloseEventSem(again), 0u);
}

TEST_F(EventTest, TimedWaitEndsNoEarlierThanAsked) {
  KST_HSEM e = nullptr;
  ASSERT_EQ(KstCreateEventSem(env_.Name("timed").c_str(), 0, 0, &e), 0u);
  for (uint32_t ms : {1u, 30u, 250u}) {
    krptest::Stopwatch sw;
    EXPECT_EQ(KstWaitForEventSem(e, ms), 121u);
    EXPECT_GE(sw.Ms(), static_cast<double>(ms));
  }
  EXPECT_EQ(KstCloseEventSem(e), 0u);
}

TEST_F(EventTest, AutoResetReleasesExactlyOneOfTwoWaitingProcesses) {
  std::string name = env_.Name("one");
  KST_HSEM e = nullptr;
  ASSERT_EQ(KstCreateEventSem(name.c_str(), 0, 0, &e), 0u);
  std::string d = env_.dir() + "/";
  pid_t p1 = krptest::SpawnRole("event_wait_once", {name, d + "r1", d + "o1"});
  pid_t p2 = krptest::SpawnRole("event_wait_once", {name, d + "r2", d + "o2"});
  ASSERT_TRUE(WaitForPath(d + "r1"));
  ASSERT_TRUE(WaitForPath(d + "r2"));
  usleep(100000);  // both asleep in their wait
  EXPECT_EQ(KstSignalEventSem(e), 0u);
  krptest::Stopwatch sw;
  while (!PathExists(d + "o1") && !PathExists(d + "o2") && sw.Ms() < 10000) usleep(1000);
  usleep(300000);  // time for a second, wrong release to show
  EXPECT_EQ(PathExists(d + "o1") + PathExists(d + "o2"), 1);
  EXPECT_EQ(KstWaitForEventSem(e, 0), 121u);  // the signal was taken
  EXPECT_EQ(KstSignalEventSem(e), 0u);
  EXPECT_EQ(krptest::WaitChild(p1), 0);
  EXPECT_EQ(krptest::WaitChild(p2), 0);
  EXPECT_EQ(krptest::ReadFile(d + "o1"), "0");
  EXPECT_EQ(krptest::ReadFile(d + "o2"), "0");
  EXPECT_EQ(KstCloseEventSem(e), 0u);
}

TEST_F(EventTest, ManualResetReleasesEveryWaiterAndStaysSet) {
  std::string name = env_.Name("all");
  KST_HSEM e = nullptr;
  ASSERT_EQ(KstCreateEventSem(name.c_str(), 0, 1, &e), 0u);
  std::string d = env_.dir() + "/";
  pid_t p1 = krptest::SpawnRole("event_wait_once", {name, d + "r1", d + "o1"});
  pid_t p2 = krptest::SpawnRole("event_wait_once", {name, d + "r2", d + "o2"});
  ASSERT_TRUE(WaitForPath(d + "r1"));
  ASSERT_TRUE(WaitForPath(d + "r2"));
  usleep(50000);
  EXPECT_EQ(KstSignalEventSem(e), 0u);
  EXPECT_EQ(krptest::WaitChild(p1), 0);
  EXPECT_EQ(krptest::WaitChild(p2), 0);
  EXPECT_EQ(krptest::ReadFile(d + "o1"), "0");
  EXPECT_EQ(krptest::ReadFile(d + "o2"), "0");
  EXPECT_EQ(KstWaitForEventSem(e, 0), 0u);
  EXPECT_EQ(KstCloseEventSem(e), 0u);
}

TEST_F(EventTest, EachSignalReleasesOneWaitingThread) {
  KST_HSEM e = nullptr;
  ASSERT_EQ(KstCreateEventSem(nullptr, 0, 0, &e), 0u);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (KstWaitForEventSem(e, 20000) == 0) released.fetch_add(1);
    });
  usleep(50000);
  for (int expect = 1; expect <= 3; ++expect) {
    EXPECT_EQ(KstSignalEventSem(e), 0u);
    krptest::Stopwatch sw;
    while (released.load() < expect && sw.Ms() < 10000) usleep(500);
    usleep(50000);
    EXPECT_EQ(released.load(), expect);
  }
  for (auto &t : waiters) t.join();
  EXPECT_EQ(KstCloseEventSem(e), 0u);
}

// Waiters killed in the middle of their wait leave no trace: the signal that
// follows always reaches the live waiter, and nothing hangs.
TEST_F(EventTest, WaitersKilledMidWaitNeverSwallowAWakeUp) {
  std::string name = env_.Name("killed");
  std::string ack_name = env_.Name("ack");
  KST_HSEM e = nullptr, ack = nullptr;
  ASSERT_EQ(KstCreateEventSem(name.c_str(), 0, 0, &e), 0u);
  ASSERT_EQ(KstCreateEventSem(ack_name.c_str(), 0, 0, &ack), 0u);
  std::string ready = env_.dir() + "/live";
  pid_t live = krptest::SpawnRole("event_live_waiter", {name, ack_name, ready});
  ASSERT_TRUE(WaitForPath(ready));
  int trials = krptest::StepCount(1000, 10000);
  pid_t runner = krptest::SpawnRole("event_killed_waiter_trials",
                                    {name, ack_name, std::to_string(trials)});
  EXPECT_EQ(krptest::WaitChild(runner), 0) << "100 + n: trial n (mod 100) lost its wake-up";
  kill(live, SIGKILL);
  krptest::WaitChild(live);
  EXPECT_EQ(KstCloseEventSem(e), 0u);
  EXPECT_EQ(KstCloseEventSem(ack), 0u);
}

TEST_F(EventTest, BadHandlesAndArguments) {
  KST_HSEM e = nullptr, m = nullptr;
  EXPECT_EQ(KstCreateEventSem("x", 0, 0, nullptr), 87u);
  EXPECT_EQ(KstOpenEventSem(nullptr, &e), 87u);
  EXPECT_EQ(KstOpenEventSem("x", nullptr), 87u);
  EXPECT_EQ(KstOpenEventSem(env_.Name("missing").c_str(), &e), 2u);
  EXPECT_EQ(KstCreateEventSem("bad/name", 0, 0, &e), 123u);
  int on_stack = 0;
  auto *foreign = reinterpret_cast<KST_HSEM>(&on_stack);
  ASSERT_EQ(KstCreateMutexSem(nullptr, &m), 0u);
  for (KST_HSEM bad : {static_cast<KST_HSEM>(nullptr), foreign, m}) {
    EXPECT_EQ(KstWaitForEventSem(bad, 0), 6u);
    EXPECT_EQ(KstSignalEventSem(bad), 6u);
    EXPECT_EQ(KstResetEventSem(bad), 6u);
    EXPECT_EQ(KstCloseEventSem(bad), 6u);
  }
  ASSERT_EQ(KstCreateEventSem(nullptr, 0, 0, &e), 0u);
  EXPECT_EQ(KstCloseEventSem(e), 0u);
  EXPECT_EQ(KstSignalEventSem(e), 6u);  // closed: stale
  EXPECT_EQ(KstCloseEventSem(e), 6u);
  EXPECT_EQ(KstCloseMutexSem(m), 0u);
}

}  // namespace
