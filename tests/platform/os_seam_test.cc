// The operating-system table reaches the memory maps, the futex calls, the
// clock and the process and thread ids: a test that swaps an entry sees its
// fault come out of the platform call as a result code.
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "named_test_util.h"
#include "os_api.h"
#include "platform.h"
#include "test_support.h"

namespace {

class ScopedOsApi {
 public:
  explicit ScopedOsApi(const KstOsApi *api) { KstOsApiInstall(api); }
  ~ScopedOsApi() { KstOsApiInstall(nullptr); }
  ScopedOsApi(const ScopedOsApi &) = delete;
  ScopedOsApi &operator=(const ScopedOsApi &) = delete;
};

std::atomic<int> g_unmaps{0};

void *RefuseMap(void *, size_t, int, int, int, off_t) {
  errno = ENOMEM;
  return MAP_FAILED;
}
int CountUnmap(void *addr, size_t len) {
  g_unmaps.fetch_add(1);
  return KstOsApiDefault()->munmap(addr, len);
}

TEST(OsSeam, RefusedMappingGivesHeapFullAndLeavesNoObject) {
  krptest::TestEnv env;
  KstOsApi api = *KstOsApiDefault();
  api.mmap = RefuseMap;
  const std::string name = env.Name("map");
  void *addr = reinterpret_cast<void *>(1);
  KST_HSHMEM h = nullptr;
  {
    ScopedOsApi swap(&api);
    EXPECT_EQ(KstCreateSharedMem(name.c_str(), &addr, 4096, &h), KST_HEAP_FULL);
  }
  EXPECT_EQ(addr, nullptr);
  EXPECT_EQ(h, nullptr);
  // The half-made object is gone: a fresh create starts it zeroed.
  EXPECT_FALSE(krptest::PathExists(krptest::ObjectFile("SHAREMEM_", name)));
  ASSERT_EQ(KstCreateSharedMem(name.c_str(), &addr, 4096, &h), KST_OK);
  EXPECT_EQ(static_cast<unsigned char *>(addr)[0], 0);
  EXPECT_EQ(KstFreeSharedMem(addr, h), KST_OK);
}

TEST(OsSeam, FreeingARegionUnmapsThroughTheTable) {
  krptest::TestEnv env;
  const std::string name = env.Name("unmap");
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  ASSERT_EQ(KstCreateSharedMem(name.c_str(), &addr, 64, &h), KST_OK);
  KstOsApi api = *KstOsApiDefault();
  api.munmap = CountUnmap;
  g_unmaps = 0;
  {
    ScopedOsApi swap(&api);
    EXPECT_EQ(KstFreeSharedMem(addr, h), KST_OK);
  }
  EXPECT_EQ(g_unmaps.load(), 1);
}

long BrokenFutex(uint32_t *, int, uint32_t, const struct timespec *, uint32_t *, uint32_t) {
  errno = ENOSYS;
  return -1;
}

TEST(OsSeam, AFutexWaitThatFailsGivesGeneralFailure) {
  for (bool named : {false, true}) {
    krptest::TestEnv env;
    const std::string name = env.Name("ev");
    KST_HSEM ev = nullptr;
    ASSERT_EQ(KstCreateEventSem(named ? name.c_str() : nullptr, 0, 0, &ev), KST_OK);
    KstOsApi api = *KstOsApiDefault();
    api.futex = BrokenFutex;
    {
      ScopedOsApi swap(&api);
      // Without a time limit only the failed sleep can end the wait.
      EXPECT_EQ(KstWaitForEventSem(ev, KST_INFINITE), KST_ERR_GENERAL) << named;
    }
    EXPECT_EQ(KstCloseEventSem(ev), KST_OK);
  }
}

// A monotonic clock that leaps an hour at every reading.
std::atomic<long> g_leaps{0};
int LeapingClock(clockid_t clock, struct timespec *ts) {
  int r = KstOsApiDefault()->clock_gettime(clock, ts);
  ts->tv_sec += 3600 * g_leaps.fetch_add(1);
  return r;
}

TEST(OsSeam, WaitDeadlinesFollowTheTablesClock) {
  KST_HSEM ev = nullptr;
  ASSERT_EQ(KstCreateEventSem(nullptr, 0, 0, &ev), KST_OK);
  KstOsApi api = *KstOsApiDefault();
  api.clock_gettime = LeapingClock;
  g_leaps = 0;
  {
    ScopedOsApi swap(&api);
    // A minute's wait ends as soon as the table's clock says it passed.
    EXPECT_EQ(KstWaitForEventSem(ev, 60000), KST_ERR_TIMEOUT);
  }
  EXPECT_GE(g_leaps.load(), 2);
  EXPECT_EQ(KstCloseEventSem(ev), KST_OK);
}

pid_t FakeTid() { return 424242; }
pid_t FakePid() { return 515151; }

TEST(OsSeam, ProcessAndThreadIdsComeFromTheTable) {
  KstOsApi api = *KstOsApiDefault();
  api.gettid = FakeTid;
  api.getpid = FakePid;
  uint32_t pid = 0, tid = 0;
  {
    ScopedOsApi swap(&api);
    EXPECT_EQ(KstQueryProcessId(&pid), KST_OK);
    // The thread id is asked once per thread: a new thread asks the table.
    std::thread([&tid] { KstQueryThreadId(&tid); }).join();
  }
  EXPECT_EQ(pid, 515151u);
  EXPECT_EQ(tid, 424242u);
  EXPECT_EQ(KstQueryProcessId(&pid), KST_OK);
  EXPECT_EQ(pid, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(KstQueryProcessId(nullptr), KST_ERR_INVALID_PARAMETER);
}

}  // namespace
