// The pack crash machinery shared by maint_pack_crash_test (bounded runs)
// and maint_pack_crash_long_test (many more kills, CTest label "long"): a
// child opens the store and packs it again and again until it is killed
// with SIGKILL at a random moment.
#ifndef KRP_TESTS_STORE_PACK_CRASH_H
#define KRP_TESTS_STORE_PACK_CRASH_H

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store_fixture.h"
#include "store_maint.h"

namespace {

// A kill lands at a random moment this long after the packer's start or
// open. Sanitizer builds run the packer several times slower, so that a
// window of the plain build's width would cover little more than the
// packer's start and open, and few kills would meet a pack in its middle.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define KRP_PACK_CRASH_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || \
    defined(KRP_PACK_CRASH_SANITIZED)
constexpr uint32_t kKillWindowUs = 160000;
#else
constexpr uint32_t kKillWindowUs = 40000;
#endif

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

inline bool LongRun() {
  const char *v = getenv("KRP_TEST_LONG");
  return v && std::string(v) == "1";
}

class PackCrash : public StoreFixture {
 protected:
  // 3000 objects in 40 containers, every tenth deleted again; *live gets
  // the 2700 that remain.
  void Seed(std::mt19937 *rng, std::vector<Obj> *live) {
    std::vector<Obj> objs;
    ASSERT_EQ(Open(), 0u);
    for (int i = 0; i < 3000; ++i) {
      Obj o;
      o.name = "c" + std::to_string(i % 40) + ".obj" + std::to_string(i);
      o.data.assign((*rng)() % 700, char('A' + i % 50));
      o.attr = i % 97 == 0 ? kTsAttrSupersized : 0x10;
      o.lw = 100000 + i;
      o.co = 7 + i;
      ASSERT_EQ(StoreWrite(s_, o.name.c_str(), o.data.data(), uint32_t(o.data.size()), o.lw,
                           o.attr, o.co),
                0u);
      objs.push_back(o);
    }
    for (int i = 0; i < 3000; i += 10) ASSERT_EQ(StoreDelete(s_, objs[i].name.c_str()), 0u);
    for (int i = 0; i < 3000; ++i)
      if (i % 10) live->push_back(objs[i]);
    Close();
  }

  // Starts a packer and kills it: odd kills after its open, even ones
  // anywhere from its start, at a random moment within kKillWindowUs.
  void KillPacker(std::mt19937 *rng, int k) {
    const std::string ready = env_.dir() + "/ready";
    unlink(ready.c_str());
    pid_t pid = krptest::SpawnRole("pack_forever", {folder_, ready});
    if (k % 2)
      for (int i = 0; i < 2000 && krptest::ReadFile(ready).empty(); ++i) usleep(500);
    std::this_thread::sleep_for(std::chrono::microseconds((*rng)() % kKillWindowUs));
    kill(pid, SIGKILL);
    int status = krptest::WaitChild(pid);
    ASSERT_TRUE(status == 128 + SIGKILL) << "child ended with " << status << " at kill " << k;
  }

  // The open store holds exactly these objects' data and words.
  void ExpectInStore(const std::vector<Obj> &objs, int k) {
    std::string payload(1 << 16, '\0');
    for (const Obj &o : objs) {
      uint32_t size = uint32_t(payload.size()), lw, at, co;
      ASSERT_EQ(StoreRead(s_, o.name.c_str(), &payload[0], &size, &lw, &at, &co), 0u)
          << o.name << " kill " << k;
      ASSERT_EQ(size, o.data.size()) << o.name << " kill " << k;
      ASSERT_TRUE(std::memcmp(payload.data(), o.data.data(), size) == 0) << o.name;
      ASSERT_EQ(lw, o.lw);
      ASSERT_EQ(at, o.attr);
      ASSERT_EQ(co, o.co);
    }
  }

  // A direct read gives the object's data and words.
  void ExpectDirect(const Obj &o, int k) {
    void *data = nullptr;
    uint32_t size = 0, lw = 0, at = 0, co = 0;
    ASSERT_EQ(StoreForceRead(path_.c_str(), o.name.c_str(), &data, &size, &lw, &at, &co), 0u)
        << o.name << " kill " << k;
    std::string got(data ? static_cast<char *>(data) : "", data ? size : 0);
    KstFreeMem(data, 0);
    ASSERT_EQ(got.size(), o.data.size()) << o.name << " kill " << k;
    ASSERT_TRUE(got == o.data) << o.name << " kill " << k;
    ASSERT_EQ(lw, o.lw);
    ASSERT_EQ(at, o.attr);
    ASSERT_EQ(co, o.co);
  }

  uint32_t WriteDirect(const Obj &o) {
    uint32_t size = uint32_t(o.data.size()), lw = o.lw, at = o.attr, co = o.co;
    return StoreForceWrite(path_.c_str(), o.name.c_str(), o.data.data(), &size, &lw, &at, &co);
  }

  // After every killed pack: direct reads (which must see the state the
  // next open restores, also while the pack's marker is there), direct
  // writes (a new object and a moved one), then an open that must hold
  // everything acknowledged, the direct writes included.
  void RunDirect(int kills) {
    std::mt19937 rng(777);
    std::vector<Obj> live;
    ASSERT_NO_FATAL_FAILURE(Seed(&rng, &live));
    int marker_seen = 0;
    for (int k = 0; k < kills; ++k) {
      ASSERT_NO_FATAL_FAILURE(KillPacker(&rng, k));
      struct stat st;
      if (stat((folder_ + "t.packing").c_str(), &st) == 0) ++marker_seen;
      for (int j = 0; j < 8; ++j)
        ASSERT_NO_FATAL_FAILURE(
            ExpectDirect(live[(size_t(k) * 7 + size_t(j) * 331) % live.size()], k));
      if (k > 0) {
        ASSERT_NO_FATAL_FAILURE(ExpectDirect(live.back(), k));
      }

      Obj fresh{"dw.k" + std::to_string(k), std::string(30 + k % 500, char('a' + k % 26)), 0x20,
                uint32_t(500000 + k), uint32_t(k)};
      ASSERT_EQ(WriteDirect(fresh), 0u) << "kill " << k;
      Obj &moved = live[(size_t(k) * 13) % (live.size() - 1)];
      moved.data.append(100, 'm');  // larger than its room: appended, the old record marked
      moved.lw += 1;
      ASSERT_EQ(WriteDirect(moved), 0u) << "kill " << k;
      ASSERT_NO_FATAL_FAILURE(ExpectDirect(fresh, k));
      ASSERT_NO_FATAL_FAILURE(ExpectDirect(moved, k));
      live.push_back(fresh);  // `moved` is not used after this

      ClearLog();
      ASSERT_EQ(Open(), 0u) << "kill " << k;
      EXPECT_EQ(Log().find("was interrupted"), std::string::npos)
          << "the direct write left a pack to undo, kill " << k;
      ASSERT_TRUE(s_->active == live.size() || s_->active == live.size() + 1) << "kill " << k;
      ASSERT_NO_FATAL_FAILURE(ExpectInStore(live, k));
      Close();
    }
    std::printf("%d kills, %d with an interrupted pack's marker\n", kills, marker_seen);
    if (kills >= 50) {
      EXPECT_GT(marker_seen, 0);
    }
  }
};

}  // namespace

#endif  // KRP_TESTS_STORE_PACK_CRASH_H
