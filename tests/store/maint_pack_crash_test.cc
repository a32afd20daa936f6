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

#include "store_fixture.h"
#include "store_maint.h"

namespace {

// Opens the store and packs it again and again, making a deleted record
// before each pack so that every pass moves records.
KRP_CHILD_ROLE_FN(pack_forever) {
  TsStore *s = nullptr;
  if (StoreInit(&s, args.at(0).c_str(), "t.kts", nullptr, nullptr, 0)) return 3;
  krptest::WriteFile(args.at(1), "open");
  for (uint32_t i = 0;; ++i) {
    std::string name = "tmp.k" + std::to_string(i % 7);
    std::string data(50 + i % 400, 't');
    StoreWrite(s, name.c_str(), data.data(), uint32_t(data.size()), 1, 0, 2);
    StoreDelete(s, name.c_str());
    uint32_t rc = StorePackStoreFile(s);
    if (rc) return 4;
  }
}

struct Obj {
  std::string name, data;
  uint32_t attr, lw, co;
};

class PackCrash : public StoreFixture {};

TEST_F(PackCrash, KilledPackNeverLosesTheStore) {
  const bool long_run = getenv("KRP_TEST_LONG") && std::string(getenv("KRP_TEST_LONG")) == "1";
  const int kills = long_run ? 2000 : 200;
  std::mt19937 rng(12345);
  std::vector<Obj> objs;
  ASSERT_EQ(Open(), 0u);
  for (int i = 0; i < 3000; ++i) {
    Obj o;
    o.name = "c" + std::to_string(i % 40) + ".obj" + std::to_string(i);
    o.data.assign(rng() % 700, char('A' + i % 50));
    o.attr = i % 97 == 0 ? kTsAttrSupersized : 0x10;
    o.lw = 100000 + i;
    o.co = 7 + i;
    ASSERT_EQ(StoreWrite(s_, o.name.c_str(), o.data.data(), uint32_t(o.data.size()), o.lw,
                         o.attr, o.co),
              0u);
    objs.push_back(o);
  }
  for (int i = 0; i < 3000; i += 10) ASSERT_EQ(StoreDelete(s_, objs[i].name.c_str()), 0u);
  std::vector<Obj> live;
  for (int i = 0; i < 3000; ++i)
    if (i % 10) live.push_back(objs[i]);
  Close();

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
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 40000));
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

}  // namespace
