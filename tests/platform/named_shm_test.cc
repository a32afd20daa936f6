// Named shared memory across processes: contents, sizes, the death of the
// last holder, the creation lock's deadline, forked children and bad input.
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "named_test_util.h"
#include "platform.h"
#include "test_support.h"

namespace {

using krptest::ObjectFile;
using krptest::WaitForPath;

// Opens the region and checks `size` bytes of `byte`; then writes 0x5A at
// the last byte. Exit 0 when all held.
KRP_CHILD_ROLE_FN(shm_check) {
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  if (KstOpenSharedMem(args.at(0).c_str(), &addr, &h) != 0) return 10;
  uint32_t size = static_cast<uint32_t>(std::stoul(args.at(1)));
  int byte = std::stoi(args.at(2));
  uint32_t have = 0;
  if (KstQuerySharedMemSize(h, &have) != 0 || have != size) return 11;
  auto *p = static_cast<unsigned char *>(addr);
  for (uint32_t i = 0; i + 1 < size; ++i) {
    if (p[i] != byte) return 12;
  }
  p[size - 1] = 0x5A;
  return KstFreeSharedMem(addr, h) == 0 ? 0 : 13;
}

// Creates the region, fills it with `byte`, marks `ready` and waits to be
// killed.
KRP_CHILD_ROLE_FN(shm_hold) {
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  uint32_t size = static_cast<uint32_t>(std::stoul(args.at(1)));
  if (KstCreateSharedMem(args.at(0).c_str(), &addr, size, &h) != 0) return 10;
  memset(addr, std::stoi(args.at(2)), size);
  krptest::Touch(args.at(3));
  sleep(120);
  return 0;
}

// Holds the creation lock for `ms` milliseconds.
KRP_CHILD_ROLE_FN(hold_creation_lock) {
  std::string path = std::string(getenv("KST_OBJECT_DIR")) + "/BRAXOLITE_GLB";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || flock(fd, LOCK_EX) != 0) return 10;
  krptest::Touch(args.at(1));
  usleep(static_cast<useconds_t>(std::stoul(args.at(0)) * 1000));
  return 0;
}

// Creates the region, then forks a child that keeps running without exec;
// the child records its pid and what its inherited handle answers. Marks
// `ready` and waits to be killed.
KRP_CHILD_ROLE_FN(shm_fork_keeper) {
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  if (KstCreateSharedMem(args.at(0).c_str(), &addr, 64, &h) != 0) return 10;
  std::string ready = args.at(1);
  pid_t pid = fork();
  if (pid == 0) {
    uint32_t size = 0;
    krptest::WriteFile(ready + ".tmp", std::to_string(KstQuerySharedMemSize(h, &size)));
    rename((ready + ".tmp").c_str(), (ready + ".rc").c_str());
    sleep(120);
    _exit(0);
  }
  krptest::WriteFile(ready + ".pid", std::to_string(pid));
  if (!WaitForPath(ready + ".rc")) return 11;
  krptest::Touch(ready);
  sleep(120);
  return 0;
}

class SharedMemTest : public ::testing::Test {
 protected:
  krptest::TestEnv env_;
  std::string Marker(const std::string &tag) { return env_.dir() + "/" + tag; }
};

TEST_F(SharedMemTest, ContentsCrossProcessesBothWays) {
  std::string name = env_.Name("cross");
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  ASSERT_EQ(KstCreateSharedMem(name.c_str(), &addr, 4096, &h), 0u);
  memset(addr, 0xC3, 4096);
  EXPECT_EQ(krptest::WaitChild(krptest::SpawnRole("shm_check", {name, "4096", "195"})), 0);
  EXPECT_EQ(static_cast<unsigned char *>(addr)[4095], 0x5A);
  EXPECT_EQ(KstFreeSharedMem(addr, h), 0u);
}

TEST_F(SharedMemTest, KilledLastHolderLeavesNothingToOpenAndCreateStartsZeroed) {
  std::string name = env_.Name("dead");
  std::string ready = Marker("ready");
  pid_t pid = krptest::SpawnRole("shm_hold", {name, "256", "171", ready});
  ASSERT_TRUE(WaitForPath(ready));
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  ASSERT_EQ(KstOpenSharedMem(name.c_str(), &addr, &h), 0u);
  EXPECT_EQ(static_cast<unsigned char *>(addr)[100], 0xAB);
  ASSERT_EQ(KstFreeSharedMem(addr, h), 0u);

  kill(pid, SIGKILL);
  EXPECT_EQ(krptest::WaitChild(pid), 128 + SIGKILL);
  EXPECT_TRUE(krptest::PathExists(ObjectFile("SHAREMEM_", name)));  // dead, not removed
  EXPECT_EQ(KstOpenSharedMem(name.c_str(), &addr, &h), 2u);
  EXPECT_EQ(h, nullptr);

  ASSERT_EQ(KstCreateSharedMem(name.c_str(), &addr, 256, &h), 0u);
  std::vector<unsigned char> zero(256, 0);
  EXPECT_EQ(memcmp(addr, zero.data(), 256), 0);
  EXPECT_EQ(KstFreeSharedMem(addr, h), 0u);
  EXPECT_FALSE(krptest::PathExists(ObjectFile("SHAREMEM_", name)));
}

TEST_F(SharedMemTest, ExistingRegionKeepsItsSizeAndRefusesToGrow) {
  std::string name = env_.Name("size");
  void *a1, *a2, *a3;
  KST_HSHMEM h1, h2, h3;
  ASSERT_EQ(KstCreateSharedMem(name.c_str(), &a1, 100, &h1), 0u);
  memcpy(a1, "kept", 5);
  // Smaller than the region: opens it, contents and full size intact.
  ASSERT_EQ(KstCreateSharedMemGlobal(name.c_str(), &a2, 50, &h2), 0u);
  EXPECT_STREQ(static_cast<char *>(a2), "kept");
  uint32_t size = 0;
  EXPECT_EQ(KstQuerySharedMemSize(h2, &size), 0u);
  EXPECT_EQ(size, 100u);
  // Larger than the region: refused, never mapped short.
  EXPECT_EQ(KstCreateSharedMem(name.c_str(), &a3, 101, &h3), 1u);
  EXPECT_EQ(a3, nullptr);
  EXPECT_EQ(h3, nullptr);
  // Open maps the whole region.
  ASSERT_EQ(KstOpenSharedMemGlobal(name.c_str(), &a3, &h3), 0u);
  EXPECT_EQ(KstQuerySharedMemSize(h3, &size), 0u);
  EXPECT_EQ(size, 100u);
  for (auto [a, h] : {std::pair{a1, h1}, std::pair{a2, h2}, std::pair{a3, h3}})
    EXPECT_EQ(KstFreeSharedMem(a, h), 0u);
}

TEST_F(SharedMemTest, BadInputGetsItsCode) {
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  EXPECT_EQ(KstCreateSharedMem(nullptr, &addr, 10, &h), 87u);
  EXPECT_EQ(KstCreateSharedMem("x", nullptr, 10, &h), 87u);
  EXPECT_EQ(KstCreateSharedMem("x", &addr, 10, nullptr), 87u);
  EXPECT_EQ(KstCreateSharedMem("x", &addr, 0, &h), 87u);
  EXPECT_EQ(KstOpenSharedMem(nullptr, &addr, &h), 87u);
  EXPECT_EQ(KstOpenSharedMem("x", nullptr, &h), 87u);

  std::string name = env_.Name("bad");
  ASSERT_EQ(KstCreateSharedMem(name.c_str(), &addr, 64, &h), 0u);
  int on_stack = 0;
  auto *foreign = reinterpret_cast<KST_HSHMEM>(&on_stack);
  EXPECT_EQ(KstFreeSharedMem(nullptr, h), 87u);
  EXPECT_EQ(KstFreeSharedMem(addr, nullptr), 87u);
  EXPECT_EQ(KstFreeSharedMem(addr, foreign), 87u);
  EXPECT_EQ(KstFreeSharedMem(static_cast<char *>(addr) + 1, h), 87u);  // not its address
  uint32_t size;
  EXPECT_EQ(KstQuerySharedMemSize(foreign, &size), 6u);
  EXPECT_EQ(KstQuerySharedMemSize(h, nullptr), 87u);
  ASSERT_EQ(KstFreeSharedMem(addr, h), 0u);
  // A freed handle is stale.
  EXPECT_EQ(KstFreeSharedMem(addr, h), 87u);
  EXPECT_EQ(KstQuerySharedMemSize(h, &size), 6u);
}

TEST_F(SharedMemTest, ForeignFileHeldBySomeoneIsRefused) {
  std::string name = env_.Name("foreign");
  std::string path = ObjectFile("SHAREMEM_", name);
  krptest::WriteFile(path, std::string(200, 'j'));
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_SH), 0);
    EXPECT_EQ(KstCreateSharedMem(name.c_str(), &addr, 16, &h), 1u);
    EXPECT_EQ(KstOpenSharedMem(name.c_str(), &addr, &h), 1u);
    close(fd);
  }
  // Nobody holds it any more: dead, so create starts afresh.
  ASSERT_EQ(KstCreateSharedMem(name.c_str(), &addr, 16, &h), 0u);
  EXPECT_EQ(static_cast<char *>(addr)[0], 0);
  EXPECT_EQ(KstFreeSharedMem(addr, h), 0u);
}

// The creation lock is held by another process for longer than the 5000 ms
// deadline: create and free give 121 no earlier than that, and the failed
// free releases nothing.
TEST_F(SharedMemTest, CreationLockDeadlineFollowsTheMonotonicClock) {
  std::string name = env_.Name("held");
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  ASSERT_EQ(KstCreateSharedMem(name.c_str(), &addr, 32, &h), 0u);
  memcpy(addr, "still here", 11);
  std::string ready = Marker("locked");
  pid_t pid = krptest::SpawnRole("hold_creation_lock", {"8000", ready});
  ASSERT_TRUE(WaitForPath(ready));

  uint32_t create_rc = 0;
  double create_ms = 0;
  std::thread creator([&] {
    krptest::Stopwatch sw;
    void *a2;
    KST_HSHMEM h2;
    create_rc = KstCreateSharedMem((name + "_2").c_str(), &a2, 32, &h2);
    create_ms = sw.Ms();
  });
  krptest::Stopwatch sw;
  EXPECT_EQ(KstFreeSharedMem(addr, h), 121u);
  EXPECT_GE(sw.Ms(), 5000.0);
  creator.join();
  EXPECT_EQ(create_rc, 121u);
  EXPECT_GE(create_ms, 5000.0);
  EXPECT_FALSE(krptest::PathExists(ObjectFile("SHAREMEM_", name + "_2")));

  // Nothing was released: the handle and the mapping still work.
  uint32_t size = 0;
  EXPECT_EQ(KstQuerySharedMemSize(h, &size), 0u);
  EXPECT_STREQ(static_cast<char *>(addr), "still here");
  EXPECT_TRUE(krptest::PathExists(ObjectFile("SHAREMEM_", name)));

  kill(pid, SIGKILL);
  krptest::WaitChild(pid);
  EXPECT_EQ(KstFreeSharedMem(addr, h), 0u);
  EXPECT_FALSE(krptest::PathExists(ObjectFile("SHAREMEM_", name)));
}

// A child forked without exec forgets its parent's handles, so it cannot
// keep the parent's objects alive after the parent died.
TEST_F(SharedMemTest, ForkedChildDoesNotKeepADeadParentsRegionAlive) {
  std::string name = env_.Name("fork");
  std::string ready = Marker("forked");
  pid_t pid = krptest::SpawnRole("shm_fork_keeper", {name, ready});
  ASSERT_TRUE(WaitForPath(ready));
  pid_t grandchild = std::stoi(krptest::ReadFile(ready + ".pid"));
  kill(pid, SIGKILL);
  krptest::WaitChild(pid);
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  EXPECT_EQ(KstOpenSharedMem(name.c_str(), &addr, &h), 2u);
  // In the forked child the inherited handle was forgotten.
  EXPECT_EQ(krptest::ReadFile(ready + ".rc"), "6");
  kill(grandchild, SIGKILL);
}

}  // namespace
