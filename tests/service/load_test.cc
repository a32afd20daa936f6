// Many clients at once: processes with two threads each read and write
// overlapping names through one host; the host stopped under its own
// client threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "load_util.h"

namespace {

using namespace svctest;

TEST(ServiceLoad, ClientProcessesWithTwoThreadsSeeOnlyWholeValues) { RunLoad(4, 60); }

// The stop waits for this process's requests in flight before it closes
// the request objects; the threads get failures, never a crash, and go on
// through the next host.
TEST(ServiceLoad, StopUnderTheHostsOwnClientThreads) {
  krptest::TestEnv env;
  MtSetTimeouts(1000, 200, 200);
  Host host;
  ASSERT_EQ(0u, host.Start());
  std::atomic<bool> done{false};
  std::atomic<int> ok{0}, failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      char v[] = "0123456789";
      const std::string name = "s." + std::to_string(t);
      while (!done) {
        uint32_t size, lw, attr;
        uint32_t rc = KrpStoreKtsWriteMt(0, name.c_str(), v, 10, 0, 0, 0);
        if (rc == 0) rc = KrpStoreKtsReadMt(0, name.c_str(), nullptr, &size, &lw, &attr, nullptr);
        (rc == 0 ? ok : failed)++;
      }
    });
  }
  for (int round = 0; round < 3; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_EQ(0u, host.Stop()) << round;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(0u, host.Start()) << round;
  }
  const int before = ok;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  done = true;
  for (auto &t : threads) t.join();
  EXPECT_GT(ok.load(), before);  // served again after the last start
  EXPECT_GT(ok.load(), 0);
}

}  // namespace
