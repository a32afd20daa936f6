// The process's read cache and the change feed it is checked against:
// hits, invalidation by the process's own and other processes' changes
// (containers, prefix deletes, packs, host restarts), the bound and LRU
// order, the forget on release and fork, and the rule that a change which
// has returned in any process is seen by every read that starts after it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "change_feed.h"
#include "krplib.h"
#include "mtclient.h"
#include "read_cache.h"
#include "test_support.h"

namespace {

uint32_t Set(const std::string &name, const std::string &v) {
  return dll_KrpSetString(name.c_str(), static_cast<uint32_t>(v.size()), v.c_str(), nullptr,
                          nullptr);
}
std::string Get(const std::string &name, uint32_t *rc) {
  char buf[256] = {0};
  uint32_t size = sizeof buf;
  *rc = dll_KrpGetString(name.c_str(), &size, buf);
  return *rc == 0 ? std::string(buf) : std::string();
}
uint64_t Hits() { return KrpReadCacheGetStats().hits; }
uint64_t Misses() { return KrpReadCacheGetStats().misses; }

// A host in the test process; the cache starts empty with the bound given.
class ReadCache : public ::testing::Test {
 protected:
  void Start(const char *bound = nullptr) {
    if (bound) {
      setenv("KRP_CACHE_BYTES", bound, 1);
    } else {
      unsetenv("KRP_CACHE_BYTES");
    }
    dll_KrpRelease();
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
  }
  void TearDown() override {
    if (ctx_) {
      EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
    }
    unsetenv("KRP_CACHE_BYTES");
    dll_KrpRelease();
  }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

TEST_F(ReadCache, RepeatedReadsHitAndOwnChangesAreSeenAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Start());
  uint32_t rc = 0;
  ASSERT_EQ(0u, Set("vendor.rc.a", "one"));
  EXPECT_EQ("one", Get("vendor.rc.a", &rc));
  const uint64_t hits = Hits(), misses = Misses();
  EXPECT_EQ("one", Get("vendor.rc.a", &rc));
  EXPECT_GT(Hits(), hits);
  EXPECT_EQ(misses, Misses());

  // The caller's copy is its own: scribbling on it changes no later read.
  char buf[16] = {0};
  uint32_t size = sizeof buf;
  ASSERT_EQ(0u, dll_KrpGetString("vendor.rc.a", &size, buf));
  buf[0] = 'X';
  EXPECT_EQ("one", Get("vendor.rc.a", &rc));
  // A buffer too small is reported from a kept answer as from the store.
  size = 2;
  EXPECT_EQ(KST_ERR_BUFFER_TOO_SMALL, dll_KrpGetString("vendor.rc.a", &size, buf));
  EXPECT_EQ(4u, size);

  ASSERT_EQ(0u, Set("vendor.rc.a", "two"));
  EXPECT_EQ("two", Get("vendor.rc.a", &rc));
  EXPECT_EQ(0u, dll_KrpDeleteResource(KRT_TEXT, "vendor.rc.a"));
  Get("vendor.rc.a", &rc);
  EXPECT_EQ(KRP_ERR_NOT_FOUND, rc);
  // Absence is kept too, and ends with the write.
  Get("vendor.rc.a", &rc);
  EXPECT_EQ(KRP_ERR_NOT_FOUND, rc);
  ASSERT_EQ(0u, Set("vendor.rc.a", "three"));
  EXPECT_EQ("three", Get("vendor.rc.a", &rc));
}

// A name without a value turns into a container when a name appears below
// it, and back when the last one goes; a prefix delete and a pack are
// published as "anything".
TEST_F(ReadCache, ContainersPrefixDeletesAndPacksEndKeptAnswers) {
  ASSERT_NO_FATAL_FAILURE(Start());
  uint32_t size = 0, type = 0;
  auto read_any = [&](const char *name) {
    size = 0;
    return dll_KrpGetResourceForLocale(KRT_ANY, name, &size, nullptr, nullptr, &type, "zz",
                                       nullptr, nullptr);
  };
  EXPECT_EQ(KRP_ERR_NOT_FOUND, read_any("vendor.box.inner"));
  EXPECT_EQ(KRP_ERR_NOT_FOUND, read_any("vendor.box.inner"));
  ASSERT_EQ(0u, Set("vendor.box.inner.deep.leaf", "v"));
  EXPECT_EQ(0u, read_any("vendor.box.inner"));
  EXPECT_EQ(uint32_t(KRT_CONTAINER), type);

  uint32_t rc = 0;
  EXPECT_EQ("v", Get("vendor.box.inner.deep.leaf", &rc));
  ASSERT_EQ(0u, dll_KrpDeleteResource(KRT_CONTAINER, "vendor.box"));
  Get("vendor.box.inner.deep.leaf", &rc);
  EXPECT_EQ(KRP_ERR_NOT_FOUND, rc);

  ASSERT_EQ(0u, Set("vendor.box.p", "before pack"));
  EXPECT_EQ("before pack", Get("vendor.box.p", &rc));
  volatile uint8_t *status = MtStatusBlock();
  ASSERT_NE(nullptr, status);
  const krp::feed::Mark mark = krp::feed::Current(status);
  ASSERT_EQ(0u, dll_KrpPackStore());
  uint32_t now = 0;
  const uint32_t h = krp::feed::NameHash("vendor.box.p", strlen("vendor.box.p")) ^ 1;
  EXPECT_FALSE(krp::feed::Unchanged(status, mark, &h, 1, &now));
  EXPECT_EQ("before pack", Get("vendor.box.p", &rc));
}

TEST(ChangeFeed, RingTellsWhichNamesChangedAndWhenItWasOverrun) {
  alignas(8) uint8_t block[krp::proto::kStatusBlockSize] = {};
  krp::proto::Store32(block, krp::proto::status::kFeedGeneration, 7);
  const uint32_t a = krp::feed::NameHash("x.a", 3);
  const uint32_t x = krp::feed::NameHash("x", 1);
  const uint32_t b = krp::feed::NameHash("y.b", 3);
  const krp::feed::Mark m0 = krp::feed::Current(block);
  uint32_t now = 0;
  EXPECT_TRUE(krp::feed::Unchanged(block, m0, &a, 1, &now));
  krp::feed::PublishName(block, nullptr, "y.b");
  EXPECT_TRUE(krp::feed::Unchanged(block, m0, &a, 1, &now));
  EXPECT_EQ(2u, now);  // "y.b" and its container "y"
  EXPECT_FALSE(krp::feed::Unchanged(block, m0, &b, 1, &now));
  krp::feed::PublishName(block, nullptr, "x.a.deeper");
  EXPECT_FALSE(krp::feed::Unchanged(block, m0, &a, 1, &now));
  EXPECT_FALSE(krp::feed::Unchanged(block, m0, &x, 1, &now));
  const krp::feed::Mark m1 = krp::feed::Current(block);
  krp::feed::PublishName(block, nullptr, "x.a*");
  EXPECT_FALSE(krp::feed::Unchanged(block, m1, &b, 1, &now));
  // Overrun: more changes than slots, none of them ours.
  const krp::feed::Mark m2 = krp::feed::Current(block);
  for (uint32_t i = 0; i < krp::proto::status::kFeedSlots; ++i) krp::feed::PublishName(block, nullptr, "z");
  EXPECT_TRUE(krp::feed::Unchanged(block, m2, &a, 1, &now));
  krp::feed::PublishName(block, nullptr, "z");
  EXPECT_FALSE(krp::feed::Unchanged(block, m2, &a, 1, &now));
  // A new generation ends everything.
  const krp::feed::Mark m3 = krp::feed::Current(block);
  krp::proto::Store32(block, krp::proto::status::kFeedGeneration,
                      krp::feed::NextGeneration(7, 12345));
  EXPECT_FALSE(krp::feed::Unchanged(block, m3, &a, 1, &now));
  EXPECT_NE(7u, krp::feed::NextGeneration(7, 0));
  EXPECT_NE(0u, krp::feed::NextGeneration(0xFFFFFFFFu, 0));
}

TEST_F(ReadCache, StaysWithinItsBoundDroppingTheLeastRecentlyUsed) {
  ASSERT_NO_FATAL_FAILURE(Start("16384"));
  const std::string value(200, 'v');
  uint32_t rc = 0;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(0u, Set("vendor.lru.n" + std::to_string(i), value));
  for (int i = 0; i < 100; ++i) {
    Get("vendor.lru.n" + std::to_string(i), &rc);
    // n0 is read again on every round, so it stays the most recently used.
    Get("vendor.lru.n0", &rc);
    const KrpReadCacheStats s = KrpReadCacheGetStats();
    ASSERT_LE(s.bytes, s.bound);
  }
  const KrpReadCacheStats s = KrpReadCacheGetStats();
  EXPECT_EQ(16384u, s.bound);
  EXPECT_LT(s.entries, 100u);
  uint64_t m = Misses();
  Get("vendor.lru.n0", &rc);
  EXPECT_EQ(m, Misses());
  Get("vendor.lru.n1", &rc);  // long evicted
  EXPECT_EQ(m + 1, Misses());
  EXPECT_EQ(value, Get("vendor.lru.n1", &rc));
}

// Evictions in every order of a churning working set: an entry just kept is
// always found again (an index that lost or misplaced slots while erasing
// would miss it, or hand out an erased entry), and every answer is right.
TEST_F(ReadCache, AChurningWorkingSetFindsEveryKeptEntryAndNoErasedOne) {
  ASSERT_NO_FATAL_FAILURE(Start("32768"));
  constexpr int kNames = 300;
  uint32_t rc = 0;
  for (int i = 0; i < kNames; ++i)
    ASSERT_EQ(0u, Set("vendor.churn.n" + std::to_string(i), std::string(200, 'a' + i % 26)));
  uint32_t x = 12345;
  for (int step = 0; step < 3000; ++step) {
    x = x * 1103515245u + 12345u;
    const int i = static_cast<int>((x >> 8) % kNames);
    const std::string name = "vendor.churn.n" + std::to_string(i);
    const std::string want(200, 'a' + i % 26);
    ASSERT_EQ(want, Get(name, &rc)) << name;
    const uint64_t m = Misses();
    ASSERT_EQ(want, Get(name, &rc)) << name;
    ASSERT_EQ(m, Misses()) << "the entry of " << name << " was not found right after it was kept";
  }
  EXPECT_LT(KrpReadCacheGetStats().entries, static_cast<uint64_t>(kNames));
}

TEST_F(ReadCache, ZeroBytesTurnsItOff) {
  ASSERT_NO_FATAL_FAILURE(Start("0"));
  uint32_t rc = 0;
  ASSERT_EQ(0u, Set("vendor.off.a", "x"));
  for (int i = 0; i < 3; ++i) EXPECT_EQ("x", Get("vendor.off.a", &rc));
  const KrpReadCacheStats s = KrpReadCacheGetStats();
  EXPECT_EQ(0u, s.hits);
  EXPECT_EQ(0u, s.entries);
}

TEST_F(ReadCache, ReleaseAndForkForgetIt) {
  ASSERT_NO_FATAL_FAILURE(Start());
  uint32_t rc = 0;
  ASSERT_EQ(0u, Set("vendor.fk.a", "x"));
  Get("vendor.fk.a", &rc);
  ASSERT_GT(KrpReadCacheGetStats().entries, 0u);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(KrpReadCacheGetStats().entries == 0 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(KrpReadCacheGetStats().entries, 0u);
  dll_KrpRelease();
  EXPECT_EQ(0u, KrpReadCacheGetStats().entries);
}

// Several threads reading and writing the same names: every read returns a
// value some thread wrote, and a thread's own write is seen by its next read.
TEST_F(ReadCache, ThreadsReadingAndWritingSeeTheirOwnWrites) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const int rounds = getenv("KRP_TEST_LONG") ? 2000 : 150;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      uint32_t rc = 0;
      for (int i = 0; i < rounds; ++i) {
        const std::string own = "vendor.thr.t" + std::to_string(t);
        const std::string v = std::to_string(i);
        if (Set(own, v) != 0 || Get(own, &rc) != v) ++wrong;
        const std::string other = "vendor.thr.t" + std::to_string((t + 1) % 4);
        const std::string seen = Get(other, &rc);
        if (rc != 0 && rc != KRP_ERR_NOT_FOUND) ++wrong;
        if (i % 16 == 0) KrpReadCacheGetStats();
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(0, wrong.load());
}

// ---- the rule across processes -----------------------------------------------

constexpr int kNames = 4;
std::string RuleName(int k) { return "vendor.rule.n" + std::to_string(k); }
// A name nobody changes: the readers' reads of it are the cache's hits.
const char kSteady[] = "vendor.steady.v";

struct Shared {
  std::atomic<uint64_t> started;  // the writer's counter before its latest change
  std::atomic<uint64_t> delete_intent;
  std::atomic<uint64_t> pub[kNames];
  std::atomic<uint32_t> stop, host_up, host_cmd, host_ack;
  std::atomic<uint32_t> want_delete, want_pack, deletes, packs;
  std::atomic<uint64_t> attempts, writes, reads, errors, hits, violations;
  std::atomic<uint64_t> bad_name, bad_pub, bad_value, bad_rc;
};

enum HostCmd : uint32_t { kNone = 0, kUnavailable = 1, kAvailable = 2 };

[[noreturn]] void HostChild(Shared *sh) {
  KRP_HLIBCTX ctx = nullptr;
  if (dll_KrpInitializeKrpLib(&ctx) != 0) _exit(2);
  dll_KrpFlagMtClientAsAvailable();
  if (Set(kSteady, "steady") != 0) _exit(3);
  sh->host_up.store(1);
  uint32_t seen = 0;
  for (;;) {
    const uint32_t cmd = sh->host_cmd.load();
    if (cmd != seen) {
      if (cmd == kUnavailable) dll_KrpFlagMtClientAsUnavailable();
      if (cmd == kAvailable) dll_KrpFlagMtClientAsAvailable();
      seen = cmd;
      sh->host_ack.store(cmd);
    }
    usleep(1000);
  }
}

[[noreturn]] void WriterChild(Shared *sh) {
  uint64_t c = sh->started.load();
  for (uint64_t i = 0; !sh->stop.load(); ++i) {
    const int k = static_cast<int>(i % kNames);
    sh->attempts.fetch_add(1);
    sh->started.store(++c);
    if (Set(RuleName(k), std::to_string(c)) == 0) {
      sh->pub[k].store(c);
      sh->writes.fetch_add(1);
    }
    if (sh->want_delete.load()) {
      sh->delete_intent.store(++c);
      sh->started.store(c);
      if (dll_KrpDeleteResource(KRT_CONTAINER, "vendor.rule") == 0) {
        for (auto &p : sh->pub) p.store(c);
        sh->want_delete.store(0);
        sh->deletes.fetch_add(1);
      }
    }
    if (sh->want_pack.load() && dll_KrpPackStore() == 0) {
      sh->want_pack.store(0);
      sh->packs.fetch_add(1);
    }
  }
  _exit(0);
}

// Reads the published value, then the resource: never older than what was
// published, never a value that was not being written.
[[noreturn]] void ReaderChild(Shared *sh) {
  for (uint64_t i = 0; !sh->stop.load(); ++i) {
    const int k = static_cast<int>(i % kNames);
    const uint64_t p = sh->pub[k].load();
    uint32_t rc = 0;
    const std::string v = Get(RuleName(k), &rc);
    bool ok = true;
    if (rc == 0) {
      const uint64_t value = strtoull(v.c_str(), nullptr, 10);
      ok = value >= p && value <= sh->started.load();
      if (!ok) sh->bad_value.store(value);
    } else if (rc == KRP_ERR_NOT_FOUND) {
      ok = p == 0 || sh->delete_intent.load() >= p;
    } else {
      sh->errors.fetch_add(1);
    }
    if (!ok && sh->violations.fetch_add(1) == 0) {
      sh->bad_name.store(k);
      sh->bad_pub.store(p);
      sh->bad_rc.store(rc);
    }
    sh->reads.fetch_add(1);
    const std::string steady = Get(kSteady, &rc);
    if (rc == 0 && steady != "steady" && sh->violations.fetch_add(1) == 0) sh->bad_rc.store(1);
    if (i % 64 == 0) sh->hits.store(KrpReadCacheGetStats().hits);
  }
  _exit(0);
}

class CacheRule : public ::testing::Test {
 protected:
  void SetUp() override {
    void *m = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    ASSERT_NE(MAP_FAILED, m);
    sh_ = new (m) Shared{};
    steps_ = getenv("KRP_TEST_LONG") ? 3000 : 150;
  }
  void TearDown() override {
    sh_->stop.store(1);
    for (pid_t p : workers_) krptest::WaitChild(p);
    StopHost();
    munmap(sh_, sizeof(Shared));
  }
  template <class F>
  pid_t Fork(F f) {
    const pid_t pid = fork();
    if (pid == 0) f(sh_);
    return pid;
  }
  void StartHost() {
    sh_->host_up.store(0);
    sh_->host_cmd.store(kNone);
    host_ = Fork(HostChild);
    ASSERT_GT(host_, 0);
    ASSERT_TRUE(WaitFor([&] { return sh_->host_up.load() == 1; }));
  }
  void StopHost() {
    if (host_ <= 0) return;
    kill(host_, SIGKILL);
    krptest::WaitChild(host_);
    host_ = -1;
  }
  void HostCommand(HostCmd cmd) {
    sh_->host_cmd.store(cmd);
    ASSERT_TRUE(WaitFor([&] { return sh_->host_ack.load() == cmd; }));
  }
  // Waits (bounded only against a hang) until `done` holds.
  template <class F>
  bool WaitFor(F done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      usleep(2000);
    }
    return true;
  }
  // Lets the readers make `steps_` more reads and the writer `steps_` more
  // writes; `attempts`: the writer that many more attempts, whatever their
  // result (while its writes are refused, or contend with the readers for
  // the file itself: each such attempt may wait for the file).
  void Progress(uint64_t attempts = 0) {
    const bool attempts_only = attempts != 0;
    const uint64_t w = sh_->writes.load() + steps_, r = sh_->reads.load() + steps_;
    const uint64_t a = sh_->attempts.load() + attempts;
    ASSERT_TRUE(WaitFor([&] {
      if (attempts_only) return sh_->attempts.load() >= a;
      return sh_->reads.load() >= r && sh_->writes.load() >= w;
    })) << "writes " << sh_->writes.load() << " reads " << sh_->reads.load();
  }

  static constexpr uint64_t kRefusedAttempts = 3;
  static constexpr uint64_t kDirectAttempts = 20;
  Shared *sh_ = nullptr;
  uint64_t steps_ = 0;
  pid_t host_ = -1;
  std::vector<pid_t> workers_;
  krptest::TestEnv env_;
};

TEST_F(CacheRule, NoReadIsOlderThanAChangeThatReturnedBeforeIt) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  workers_.push_back(Fork(WriterChild));
  workers_.push_back(Fork(ReaderChild));
  workers_.push_back(Fork(ReaderChild));
  const int cycles = getenv("KRP_TEST_LONG") ? 5 : 1;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    ASSERT_NO_FATAL_FAILURE(Progress());
    // The host stops serving other processes, then serves them again.
    ASSERT_NO_FATAL_FAILURE(HostCommand(kUnavailable));
    ASSERT_NO_FATAL_FAILURE(Progress(kRefusedAttempts));
    ASSERT_NO_FATAL_FAILURE(HostCommand(kAvailable));
    ASSERT_NO_FATAL_FAILURE(Progress());
    // A prefix delete of the names' container.
    const uint32_t deletes = sh_->deletes.load();
    sh_->want_delete.store(1);
    ASSERT_TRUE(WaitFor([&] { return sh_->deletes.load() > deletes; }));
    ASSERT_NO_FATAL_FAILURE(Progress());
    // A pack.
    const uint32_t packs = sh_->packs.load();
    sh_->want_pack.store(1);
    ASSERT_TRUE(WaitFor([&] { return sh_->packs.load() > packs; }));
    ASSERT_NO_FATAL_FAILURE(Progress());
    // The host killed: the writer writes into the file itself meanwhile;
    // then a new host.
    StopHost();
    ASSERT_NO_FATAL_FAILURE(Progress(kDirectAttempts));
    ASSERT_NO_FATAL_FAILURE(StartHost());
    ASSERT_NO_FATAL_FAILURE(Progress());
  }
  EXPECT_EQ(0u, sh_->violations.load())
      << "name " << sh_->bad_name.load() << " published " << sh_->bad_pub.load() << " read "
      << sh_->bad_value.load() << " rc 0x" << std::hex << sh_->bad_rc.load();
  EXPECT_GT(sh_->hits.load(), 0u);  // the readers did use their caches
}

}  // namespace
