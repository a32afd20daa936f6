// A pack killed at random moments: before, during and after the rewrite,
// and during the open that restores an earlier interrupted pack. Every
// reopen must succeed and give back every object with its data and words.
//
// Bounded for CI; KRP_TEST_LONG=1 runs many more kills.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <random>
#include <thread>

#include "pack_crash.h"

namespace {

TEST_F(PackCrash, KilledPackNeverLosesTheStore) {
  const bool long_run = getenv("KRP_TEST_LONG") && std::string(getenv("KRP_TEST_LONG")) == "1";
  const int kills = long_run ? 2000 : 200;
  std::mt19937 rng(12345);
  std::vector<Obj> live;
  ASSERT_NO_FATAL_FAILURE(Seed(&rng, &live));

  const std::string ready = env_.dir() + "/ready";
  int restored = 0, killed_after_open = 0;
  std::string payload(1 << 16, '\0');
  for (int k = 0; k < kills; ++k) {
    unlink(ready.c_str());
    pid_t pid = krptest::SpawnRole("pack_forever", {folder_, ready});
    // Half the kills land anywhere from the start, half after the open.
    if (k % 2) {
      for (int i = 0; i < 2000 && krptest::ReadFile(ready).empty(); ++i) usleep(500);
      ++killed_after_open;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % kKillWindowUs));
    kill(pid, SIGKILL);
    int status = krptest::WaitChild(pid);
    ASSERT_TRUE(status == 128 + SIGKILL) << "child ended with " << status << " at kill " << k;
    ClearLog();
    ASSERT_EQ(Open(), 0u) << "kill " << k;
    if (Log().find("the store was restored from") != std::string::npos) ++restored;
    // At most one temporary object, written just before the kill.
    ASSERT_TRUE(s_->active == live.size() || s_->active == live.size() + 1) << "kill " << k;
    for (const Obj &o : live) {
      uint32_t size = uint32_t(payload.size()), lw, at, co;
      ASSERT_EQ(StoreRead(s_, o.name.c_str(), &payload[0], &size, &lw, &at, &co), 0u)
          << o.name << " kill " << k;
      ASSERT_EQ(size, o.data.size()) << o.name << " kill " << k;
      ASSERT_TRUE(std::memcmp(payload.data(), o.data.data(), size) == 0) << o.name;
      ASSERT_EQ(lw, o.lw);
      ASSERT_EQ(at, o.attr);
      ASSERT_EQ(co, o.co);
    }
    Close();
  }
  // The kills must have met packs in the middle, not only before or after.
  EXPECT_GT(restored, 0);
  std::printf("%d kills, %d restores of an interrupted pack\n", kills, restored);
}

// Direct access after a killed pack: reads see what the next open restores,
// writes restore first and are never undone by a later open.
TEST_F(PackCrash, DirectAccessAfterAKilledPackLosesNothingAcknowledged) { RunDirect(60); }

}  // namespace
