// Threads: the creator's handle outlives the thread, waits follow the
// monotonic clock, KstExitThread ends a thread (and logs one it does not
// know), closed handles are refused.
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "named_test_util.h"
#include "platform.h"
#include "test_support.h"

namespace {

struct Flag {
  std::atomic<int> value{0};
};

void SetFlag(void *p) { static_cast<Flag *>(p)->value.store(1); }

void WaitOnEvent(void *p) { KstWaitForEventSem(static_cast<KST_HSEM>(p), 20000); }

void ExitEarly(void *p) {
  static_cast<Flag *>(p)->value.store(1);
  KstExitThread();
  static_cast<Flag *>(p)->value.store(2);  // never runs
}

TEST(ThreadTest, HandleStaysValidAfterTheThreadEndedUntilClosed) {
  Flag flag;
  KST_HTHREAD t = nullptr;
  ASSERT_EQ(KstCreateThread(SetFlag, &flag, 0, 0, 0, &t), 0u);
  EXPECT_EQ(KstWaitForThread(t, 0, KST_INFINITE), 0u);
  EXPECT_EQ(flag.value.load(), 1);
  usleep(20000);
  EXPECT_EQ(KstWaitForThread(t, 0, 0), 0u);  // still valid, still ended
  EXPECT_EQ(KstWaitForThread(t, 0, 1000), 0u);
  EXPECT_EQ(KstCloseThread(t), 0u);
  EXPECT_EQ(KstWaitForThread(t, 0, 0), 6u);
  EXPECT_EQ(KstCloseThread(t), 6u);
}

TEST(ThreadTest, TimedWaitEndsNoEarlierThanAskedAndOptionReturnsAtOnce) {
  KST_HSEM e = nullptr;
  ASSERT_EQ(KstCreateEventSem(nullptr, 0, 0, &e), 0u);
  KST_HTHREAD t = nullptr;
  ASSERT_EQ(KstCreateThread(WaitOnEvent, e, 0, 0, 64 * 1024, &t), 0u);
  krptest::Stopwatch sw;
  EXPECT_EQ(KstWaitForThread(t, 0, 150), 121u);
  EXPECT_GE(sw.Ms(), 150.0);
  EXPECT_EQ(KstWaitForThread(t, 1, KST_INFINITE), 0u);
  // Two waiters at once: both see the end.
  std::atomic<uint32_t> other{99};
  std::thread second([&] { other = KstWaitForThread(t, 0, 20000); });
  usleep(20000);
  KstSignalEventSem(e);
  EXPECT_EQ(KstWaitForThread(t, 0, 20000), 0u);
  second.join();
  EXPECT_EQ(other.load(), 0u);
  EXPECT_EQ(KstCloseThread(t), 0u);
  KstCloseEventSem(e);
}

TEST(ThreadTest, ExitThreadEndsTheCallingThread) {
  Flag flag;
  KST_HTHREAD t = nullptr;
  ASSERT_EQ(KstCreateThread(ExitEarly, &flag, 0, 0, 0, &t), 0u);
  EXPECT_EQ(KstWaitForThread(t, 0, 20000), 0u);
  EXPECT_EQ(flag.value.load(), 1);
  EXPECT_EQ(KstCloseThread(t), 0u);
}

TEST(ThreadTest, ExitThreadOfAnUnknownThreadLogsAndEndsIt) {
  krptest::TestEnv env;
  std::string log = env.dir() + "/trace.log";
  setenv("TRACELIB_FILE", log.c_str(), 1);
  std::atomic<int> tid{0};
  std::atomic<bool> after{false};
  std::thread foreign([&] {
    tid = static_cast<int>(syscall(SYS_gettid));
    KstExitThread();
    after = true;
  });
  foreign.join();
  EXPECT_FALSE(after.load());
  std::string text = krptest::ReadFile(log);
  std::string tail = "): We've lost a thread, where is it? (TID=" + std::to_string(tid.load()) + ")\n";
  EXPECT_EQ(text.rfind("proc_w32(", 0), 0u) << text;
  EXPECT_NE(text.find(tail), std::string::npos) << text;
  unsetenv("TRACELIB_FILE");
}

// Handles closed before, during and after their threads ran: every record is
// freed exactly once (the sanitizer builds check it).
TEST(ThreadTest, ClosingBeforeTheThreadEndsIsSafe) {
  std::vector<Flag> flags(40);
  std::vector<KST_HTHREAD> handles(flags.size());
  for (size_t i = 0; i < flags.size(); ++i) {
    ASSERT_EQ(KstCreateThread(SetFlag, &flags[i], 0, 0, 0, &handles[i]), 0u);
    if (i % 2 == 0) {
      EXPECT_EQ(KstCloseThread(handles[i]), 0u);
    }
  }
  for (size_t i = 1; i < flags.size(); i += 2) {
    EXPECT_EQ(KstWaitForThread(handles[i], 0, 20000), 0u);
    EXPECT_EQ(KstCloseThread(handles[i]), 0u);
  }
  for (auto &f : flags) {
    krptest::Stopwatch sw;
    while (f.value.load() == 0 && sw.Ms() < 10000) usleep(1000);
    EXPECT_EQ(f.value.load(), 1);
  }
}

TEST(ThreadTest, BadArguments) {
  KST_HTHREAD t = nullptr;
  Flag flag;
  EXPECT_EQ(KstCreateThread(nullptr, nullptr, 0, 0, 0, &t), 87u);
  EXPECT_EQ(KstCreateThread(SetFlag, &flag, 0, 0, 0, nullptr), 87u);
  int on_stack = 0;
  auto *foreign = reinterpret_cast<KST_HTHREAD>(&on_stack);
  EXPECT_EQ(KstWaitForThread(nullptr, 0, 0), 6u);
  EXPECT_EQ(KstWaitForThread(foreign, 0, 0), 6u);
  EXPECT_EQ(KstCloseThread(foreign), 6u);
}

}  // namespace
