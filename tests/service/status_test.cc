// The status block as clients see it and the wait for a usable server,
// driven by writing the status block directly (no host involved).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform.h"
#include "service_util.h"

namespace {

using namespace svctest;

size_t CountFiles(const std::string &dir) {
  size_t n = 0;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") ++n;
    }
    closedir(d);
  }
  return n;
}

// A status block and, when asked, the objects of a live server thread and
// of the request mutex, held by this process.
struct FakeStatus {
  void *addr = nullptr;
  KST_HSHMEM shm = nullptr;
  KST_HSEM thread_mux = nullptr;
  KST_HSEM req_mux = nullptr;
  FakeStatus() { EXPECT_EQ(0u, MtStatusBlockCreate(&addr, &shm)); }
  ~FakeStatus() {
    SetThreadAlive(false);
    if (req_mux) KstCloseMutexSem(req_mux);
    if (shm) KstFreeSharedMem(addr, shm);
  }
  void Set(uint32_t mt, uint32_t pid) {
    Store32(addr, status::kServerPid, pid);
    Store32(addr, status::kMtStatus, mt);
  }
  void SetThreadAlive(bool alive) {
    if (alive && !thread_mux) {
      ASSERT_EQ(0u, KstCreateMutexSemGlobal(kThreadMutexName, &thread_mux));
    }
    if (!alive && thread_mux) {
      KstCloseMutexSem(thread_mux);
      thread_mux = nullptr;
    }
  }
  void SetRequestMutex() { ASSERT_EQ(0u, KstCreateMutexSemGlobal(kRequestMutexName, &req_mux)); }
};

TEST(ServiceVersion, AnswersByTable) {
  struct Case {
    uint16_t in, out;
    uint32_t rc;
  } cases[] = {{0, 8, 0}, {1, 8, 0x370013}, {6, 8, 0x370013},   {7, 7, 0},
               {8, 8, 0}, {9, 9, 0},        {0xFFFF, 0xFFFF, 0}};
  for (const Case &c : cases) {
    uint16_t v = c.in;
    EXPECT_EQ(c.rc, dll_KrplibGetInterfaceVersion(&v)) << c.in;
    EXPECT_EQ(c.out, v) << c.in;
  }
  EXPECT_EQ(87u, dll_KrplibGetInterfaceVersion(nullptr));
}

TEST(ServiceStatus, FlagsBeforeAnyStartGive2AndCreateNothing) {
  krptest::TestEnv env;
  EXPECT_EQ(2u, dll_KrpFlagMtClientAsAvailable());
  EXPECT_EQ(2u, dll_KrpFlagMtClientAsUnavailable());
  EXPECT_EQ(2u, dll_KrpFlagMtClientAsServerIsCleaningHouse());
  EXPECT_EQ(0x141001u, dll_KrpIsMtAvailable());
  EXPECT_EQ(0x141001u, MtClientCheckMtStatusAndWaitForServer(0));
  // Only the creation lock file may exist.
  EXPECT_LE(CountFiles(env.objects()), 1u);
  void *addr;
  KST_HSHMEM h;
  EXPECT_EQ(2u, KstOpenSharedMemGlobal(kStatusBlockName, &addr, &h));
}

TEST(ServiceStatus, BlockSmallerThanItsLayoutIsRefused) {
  krptest::TestEnv env;
  void *small = nullptr;
  KST_HSHMEM hs = nullptr;
  ASSERT_EQ(0u, KstCreateSharedMemGlobal(kStatusBlockName, &small, 100, &hs));
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  EXPECT_EQ(1u, MtStatusBlockOpen(&addr, &h));
  EXPECT_EQ(nullptr, h);
  EXPECT_EQ(1u, MtStatusBlockCreate(&addr, &h));
  EXPECT_EQ(1u, dll_KrpFlagMtClientAsAvailable());
  EXPECT_EQ(0x141001u, dll_KrpIsMtAvailable());
  // The small block was never written.
  for (int i = 0; i < 100; ++i) EXPECT_EQ(0, static_cast<uint8_t *>(small)[i]);
  KstFreeSharedMem(small, hs);
}

TEST(ServiceStatus, FlagsWriteTheStatusWord) {
  krptest::TestEnv env;
  FakeStatus st;
  EXPECT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
  EXPECT_EQ(1u, Load32(st.addr, status::kMtStatus));
  EXPECT_EQ(0u, dll_KrpFlagMtClientAsServerIsCleaningHouse());
  EXPECT_EQ(10u, Load32(st.addr, status::kMtStatus));
  EXPECT_EQ(0u, dll_KrpFlagMtClientAsUnavailable());
  EXPECT_EQ(0u, Load32(st.addr, status::kMtStatus));
}

// A process id that existed a moment ago and is gone now.
uint32_t DeadPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  int st = 0;
  waitpid(pid, &st, 0);
  return static_cast<uint32_t>(pid);
}

TEST(ServiceStatus, CheckWithoutWaitingAnswersByStatusAndLiveness) {
  krptest::TestEnv env;
  FakeStatus st;
  const uint32_t self = static_cast<uint32_t>(getpid());
  // Two processes that exist (the one that started the test and init) and
  // one that does not: the liveness check asks both whether the host's
  // process exists and whether its server thread's mutex is held.
  const uint32_t host = static_cast<uint32_t>(getppid()), other = 1, dead = DeadPid();
  struct Case {
    uint32_t mt, pid;
    bool thread_alive;
    uint32_t want;
  } cases[] = {
      {1, host, true, 0},
      {1, other, false, 0x141001},      // host gone: no server thread
      {1, dead, true, 0x141001},        // host process gone
      {1, 0xFFFFFFFF, true, 0x141001},  // stopped
      {10, host, true, 0x370011},
      {10, other, false, 0x141001},
      {10, dead, true, 0x141001},
      {10, 0xFFFFFFFF, true, 0x141001},
      {15, 0xFFFFFFFF, true, 0x370012},  // starting: no pid yet
      {15, 0xFFFFFFFF, false, 0x141001},
      {0, host, true, 0x141001},  // serves only its own process
      {0, 0xFFFFFFFF, true, 0x141001},
      {0, self, true, 0x141001},  // own process, but no request mutex
  };
  for (const Case &c : cases) {
    st.SetThreadAlive(c.thread_alive);
    st.Set(c.mt, c.pid);
    EXPECT_EQ(c.want, MtClientCheckMtStatusAndWaitForServer(1))
        << "status " << c.mt << " pid " << c.pid << " alive " << c.thread_alive;
  }
  st.SetRequestMutex();
  st.Set(0, self);
  EXPECT_EQ(0u, dll_KrpIsMtAvailable());
}

// A client held by status 10 resumes soon after the status changes, and a
// client waiting for a starting host gives up when the host dies.
TEST(ServiceStatus, WaitingClientFollowsTheStatus) {
  krptest::TestEnv env;
  FakeStatus st;
  st.SetThreadAlive(true);
  const uint32_t host = static_cast<uint32_t>(getppid());
  st.Set(10, host);
  std::atomic<uint32_t> result{0xFFFFFFFF};
  std::atomic<int64_t> done_at{0};
  auto now_ms = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  std::thread waiter([&] {
    result = MtClientCheckMtStatusAndWaitForServer(0);
    done_at = now_ms();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(0xFFFFFFFFu, result.load());  // still held
  const int64_t changed_at = now_ms();
  st.Set(1, host);
  waiter.join();
  EXPECT_EQ(0u, result.load());
  // Generous bound: the wait sleeps 50 ms per round.
  EXPECT_LT(done_at - changed_at, 1000);

  st.Set(15, 0xFFFFFFFF);
  result = 0xFFFFFFFF;
  std::thread starter([&] { result = MtClientCheckMtStatusAndWaitForServer(0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(0xFFFFFFFFu, result.load());
  st.SetThreadAlive(false);  // the starting host died
  starter.join();
  EXPECT_EQ(0x141001u, result.load());
}

}  // namespace
