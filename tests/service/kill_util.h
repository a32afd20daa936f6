// Clients killed at random points of their requests: shared by the short
// and the long form of the test. Include in one source file per test
// binary (it registers a child role).
#ifndef KRP_TESTS_SERVICE_KILL_UTIL_H
#define KRP_TESTS_SERVICE_KILL_UTIL_H

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "platform.h"
#include "service_util.h"

namespace svctest {

// Child: large and small writes and reads in a loop until it is killed.
KRP_CHILD_ROLE_FN(busy_client) {
  const std::string name = "busy." + args[0];
  for (uint32_t i = 0;; ++i) {
    std::vector<uint8_t> v = Pattern(i % 2 ? 700000 : 100, i);
    if (KrpStoreKtsWriteMt(0, name.c_str(), v.data(), static_cast<uint32_t>(v.size()), 0, 0, 0) !=
        0)
      return 1;
    void *data = nullptr;
    uint32_t size, lw, attr;
    if (KrpStoreKtsReadMt(0, "kill.mine", &data, &size, &lw, &attr, nullptr) != 0) return 2;
    KstFreeMem(data, 0);
  }
}

// Kills `rounds` busy clients after a random 10 to 200 ms each; after every
// kill this process's next write and read must succeed and return its own
// bytes (never a stale reply, never another request's data).
inline void RunKills(int rounds) {
  krptest::TestEnv env;
  MtSetTimeouts(3000, 3000, 300);
  Host host;
  ASSERT_EQ(0u, host.Start());
  std::mt19937 rng(12345);
  for (int i = 0; i < rounds; ++i) {
    pid_t pid = krptest::SpawnRole("busy_client", {std::to_string(i)});
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + rng() % 190));
    kill(pid, SIGKILL);
    krptest::WaitChild(pid);
    const std::vector<uint8_t> v = Pattern(i % 2 ? 400000 : 64, 1000 + i);
    std::vector<uint8_t> copy = v;
    ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, "kill.mine", copy.data(),
                                     static_cast<uint32_t>(copy.size()), 0, 0, 0))
        << "round " << i;
    void *data = nullptr;
    uint32_t size = 0, lw, attr;
    ASSERT_EQ(0u, KrpStoreKtsReadMt(0, "kill.mine", &data, &size, &lw, &attr, nullptr))
        << "round " << i;
    ASSERT_EQ(v.size(), size) << "round " << i;
    EXPECT_EQ(0, memcmp(data, v.data(), size)) << "round " << i;
    KstFreeMem(data, 0);
  }
}

}  // namespace svctest

#endif  // KRP_TESTS_SERVICE_KILL_UTIL_H
