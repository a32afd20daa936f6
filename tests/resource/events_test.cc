// Event handles and the one-off check: results, event codes and remembered
// stamps, deletes racing waits, and waits woken through the change feed of
// a host in this process or in another one.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "change_feed.h"
#include "krplib.h"
#include "mtclient.h"
#include "names.h"
#include "resource.h"
#include "test_support.h"
#include "wake_block.h"

namespace {

// The documented head of a handle record (krplib.h), for looking at it.
struct RecordHead {
  uint32_t record_size, check;
  void *lock;
  uint32_t state;
  int32_t priority;
  uint32_t reserved, period_ms, last_outcome, last_read, stamp, type, size;
  char name[1];
};
static_assert(offsetof(RecordHead, name) == KRP_EVENT_RECORD_SIZE);

const RecordHead *Head(KRP_HEVENT h) { return reinterpret_cast<const RecordHead *>(h); }

uint32_t StateOf(KRP_HEVENT h) {
  return __atomic_load_n(&Head(h)->state, __ATOMIC_ACQUIRE);
}

// Writes a text value with the given last-write time stamp, through the
// server (the public writes stamp the current time).
uint32_t Put(const char *name, const char *text, uint32_t stamp) {
  void *stored = nullptr;
  uint32_t size = 0;
  uint32_t rc = KrpEncodeStoredValue(KRT_TEXT, text, uint32_t(strlen(text)), &stored, &size);
  if (rc == 0) rc = KrpStoreKtsWriteMt(0, name, stored, size, stamp, 0, KRT_TEXT);
  dll_KrpFreeMem(stored);
  return rc;
}

// Until the wait on `h` runs (or the waiting thread already ended).
void WaitUntilWaiting(KRP_HEVENT h, const std::atomic<bool> &done) {
  while (!done && StateOf(h) != KRP_EVENT_STATE_WAITING) usleep(1000);
}

// The wake buckets of the store names a wait on `name` watches.
std::vector<uint32_t> WatchedBuckets(const char *name) {
  char locale[3] = {0};
  KrpCurrentLocale(locale);
  KrpLookupNames set;
  std::vector<uint32_t> out;
  if (KrpBuildLookupSet(name, KRT_TEXT, "zz", locale, &set) != 0) return out;
  for (const auto &slot : set.slots)
    if (slot[0]) out.push_back(krp::wake::BucketOf(krp::feed::NameHash(slot, strlen(slot))));
  return out;
}

// Threads of any process counted asleep on a bucket of `buckets`.
uint32_t SleepersOn(const std::vector<uint32_t> &buckets) {
  const volatile uint8_t *wake = MtWakeBlock();
  uint32_t n = 0;
  for (uint32_t b : buckets)
    if (wake)
      n += krp::wake::At(wake, krp::wake::BucketOffset(b) + krp::proto::wake::kBucketSleepers)
               .load();
  return n;
}

// Until a thread sleeps on the buckets of `name` (or the wait ended); gives
// up after 10 s, which leaves the test's counts to fail instead of a hang.
void WaitUntilAsleep(const char *name, const std::atomic<bool> &done) {
  constexpr int kMaxPolls = 10000;
  const std::vector<uint32_t> buckets = WatchedBuckets(name);
  for (int i = 0; i < kMaxPolls && !done && SleepersOn(buckets) == 0; ++i) usleep(1000);
}

// A name whose store name falls in none of `taken` buckets.
std::string NameOutside(const std::vector<uint32_t> &taken) {
  for (int i = 0;; ++i) {
    const std::string n = "other.ev.n" + std::to_string(i);
    const uint32_t b = krp::wake::BucketOf(krp::feed::NameHash(n.data(), n.size()));
    if (std::find(taken.begin(), taken.end(), b) == taken.end()) return n;
  }
}

class Events : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
  }
  void TearDown() override {
    if (ctx_) dll_KrpUninitializeKrpLib(&ctx_);
  }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

// One wait on `h` in a thread of its own; `done` is set when it returns.
std::thread StartWait(KRP_HEVENT h, uint32_t *stamp, uint32_t *event, uint32_t *rc,
                      std::atomic<bool> *done) {
  return std::thread([=] {
    *rc = dll_KrpWaitForEvent(h, stamp, event, 0);
    *done = true;
  });
}

TEST_F(Events, CheckReportsTheStampsAndCodesOfEachCase) {
  ASSERT_EQ(0u, Put("vendor.ev.c", "one", 1000));
  ASSERT_EQ(0u, Put("vendor.ev.box.inner", "x", 1000));
  struct Case {
    const char *what, *name;
    uint32_t stamp_in, rc, event, stamp_out;
  } cases[] = {
      {"unknown stamp is filled", "vendor.ev.c", 0, 0, 16, 1000},
      {"same stamp", "vendor.ev.c", 1000, 0, 16, 1000},
      {"other stamp", "vendor.ev.c", 999, 0, 32, 1000},
      {"absent, unknown stamp", "vendor.ev.none", 0, 0x370001, 7, 0},
      {"absent, known stamp", "vendor.ev.none", 1000, 0, 48, 1000},
      {"container", "vendor.ev.box", 0, 0x370002, 7, 0},
  };
  for (const auto &c : cases) {
    uint32_t stamp = c.stamp_in, event = 7;
    EXPECT_EQ(c.rc, dll_KrpCheckForEvent(c.name, &stamp, &event, 0)) << c.what;
    EXPECT_EQ(c.event, event) << c.what;
    EXPECT_EQ(c.stamp_out, stamp) << c.what;
  }
  // Filled by the first check, then gone: 48.
  uint32_t stamp = 0, event = 0;
  ASSERT_EQ(0u, dll_KrpCheckForEvent("vendor.ev.c", &stamp, &event, 0));
  ASSERT_EQ(0u, dll_KrpDeleteResource(KRT_TEXT, "vendor.ev.c"));
  EXPECT_EQ(0u, dll_KrpCheckForEvent("vendor.ev.c", &stamp, &event, 0));
  EXPECT_EQ(48u, event);
}

TEST_F(Events, MissingArgumentsAndReservedValuesGive87) {
  ASSERT_EQ(0u, Put("vendor.ev.a", "a", 5));
  KRP_HEVENT h = nullptr;
  uint32_t stamp = 0, event = 0;
  EXPECT_EQ(87u, dll_KrpCreateEventHandle(nullptr, "vendor.ev.a", 0, 0));
  EXPECT_EQ(87u, dll_KrpCreateEventHandle(&h, nullptr, 0, 0));
  EXPECT_EQ(87u, dll_KrpCreateEventHandle(&h, "", 0, 0));
  EXPECT_EQ(87u, dll_KrpCreateEventHandle(&h, "vendor.ev.a", 0, 1));
  EXPECT_EQ(87u, dll_KrpCheckForEvent(nullptr, &stamp, &event, 0));
  EXPECT_EQ(87u, dll_KrpCheckForEvent("", &stamp, &event, 0));
  EXPECT_EQ(87u, dll_KrpCheckForEvent("vendor.ev.a", nullptr, &event, 0));
  EXPECT_EQ(87u, dll_KrpCheckForEvent("vendor.ev.a", &stamp, nullptr, 0));
  EXPECT_EQ(87u, dll_KrpCheckForEvent("vendor.ev.a", &stamp, &event, 2));
  ASSERT_EQ(0u, dll_KrpCreateEventHandle(&h, "vendor.ev.a", 0, 0));
  EXPECT_EQ(87u, dll_KrpWaitForEvent(h, nullptr, &event, 0));
  EXPECT_EQ(87u, dll_KrpWaitForEvent(h, &stamp, nullptr, 0));
  EXPECT_EQ(87u, dll_KrpWaitForEvent(h, &stamp, &event, 1));
  EXPECT_EQ(0u, dll_KrpDeleteEvent(h));
}

TEST_F(Events, CreateRefusesAbsentResourcesAndContainers) {
  ASSERT_EQ(0u, Put("vendor.ev.box.inner", "x", 1));
  KRP_HEVENT h = nullptr;
  EXPECT_EQ(0x370001u, dll_KrpCreateEventHandle(&h, "vendor.ev.nothing", 0, 0));
  EXPECT_EQ(0x370002u, dll_KrpCreateEventHandle(&h, "vendor.ev.box", 0, 0));
  EXPECT_EQ(nullptr, h);
}

TEST_F(Events, ARecordCarriesItsHeadAndAPeriodOfItsPriority) {
  ASSERT_EQ(0u, Put("vendor.ev.p", "four", 77));
  struct Case {
    int32_t priority;
    uint32_t base;
  } cases[] = {{-10, 15000}, {0, 8000}, {10, 3000}, {5, 1}, {-1, 1}};
  for (const auto &c : cases) {
    KRP_HEVENT h = nullptr;
    ASSERT_EQ(0u, dll_KrpCreateEventHandle(&h, "vendor.ev.p", c.priority, 0));
    const RecordHead *r = Head(h);
    EXPECT_EQ(52u, r->record_size);
    EXPECT_EQ(0x4B725065u, r->check);
    EXPECT_EQ(0u, r->state);
    EXPECT_EQ(c.priority, r->priority);
    EXPECT_EQ(0xFFFFFFFFu, r->reserved);
    EXPECT_GE(r->period_ms, c.base) << c.priority;
    EXPECT_LE(r->period_ms, c.base + 63) << c.priority;
    EXPECT_EQ(0u, r->last_outcome);
    EXPECT_EQ(0u, r->last_read);
    EXPECT_EQ(77u, r->stamp);
    EXPECT_EQ(uint32_t(KRT_TEXT), r->type);
    EXPECT_STREQ("vendor.ev.p", r->name);
    EXPECT_EQ(0u, dll_KrpDeleteEvent(h));
  }
}

TEST_F(Events, TheSpreadNeitherReseedsNorDrawsFromTheProgramsGenerator) {
  ASSERT_EQ(0u, Put("vendor.ev.r", "r", 1));
  srand(12345);
  const int expected_first = rand(), expected_second = rand();
  srand(12345);
  EXPECT_EQ(expected_first, rand());
  KRP_HEVENT h = nullptr;
  ASSERT_EQ(0u, dll_KrpCreateEventHandle(&h, "vendor.ev.r", 10, 0));
  EXPECT_EQ(expected_second, rand());
  EXPECT_EQ(0u, dll_KrpDeleteEvent(h));
}

TEST_F(Events, ARewriteWithTheSameStampAndSizeIsNotAChange) {
  ASSERT_EQ(0u, Put("vendor.ev.w", "abc", 100));
  KRP_HEVENT h = nullptr;
  ASSERT_EQ(0u, dll_KrpCreateEventHandle(&h, "vendor.ev.w", -10, 0));
  uint32_t stamp = 100, event = 0, rc = 99;
  std::atomic<bool> done{false};
  std::thread waiter = StartWait(h, &stamp, &event, &rc, &done);
  WaitUntilWaiting(h, done);
  ASSERT_EQ(0u, Put("vendor.ev.w", "xyz", 100));  // same size and stamp
  ASSERT_EQ(0u, Put("vendor.ev.w", "xyz", 200));
  waiter.join();
  EXPECT_EQ(0u, rc);
  EXPECT_EQ(32u, event);
  EXPECT_EQ(200u, stamp);
  // The handle is idle again and remembers the change: a check-free wait on
  // it sees the next one.
  done = false;
  std::thread again = StartWait(h, &stamp, &event, &rc, &done);
  WaitUntilWaiting(h, done);
  ASSERT_EQ(0u, Put("vendor.ev.w", "longer", 200));  // a new size alone
  again.join();
  EXPECT_EQ(0u, rc);
  EXPECT_EQ(32u, event);
  EXPECT_EQ(0u, dll_KrpDeleteEvent(h));
}

// Wake-ups are counted by the library (sleeps that ended before their
// period), not timed: a wait in its 15 s period is woken by the writes of
// its own name and by nothing else.
TEST_F(Events, WritesToANameInAnotherBucketDoNotWakeTheWaiterAndItsOwnWriteDoes) {
  constexpr int kOtherWrites = 50;
  ASSERT_EQ(0u, Put("vendor.ev.quiet", "abc", 100));
  const std::string other = NameOutside(WatchedBuckets("vendor.ev.quiet"));
  ASSERT_EQ(0u, Put(other.c_str(), "first", 100));  // later writes only overwrite it
  KRP_HEVENT h = nullptr;
  ASSERT_EQ(0u, dll_KrpCreateEventHandle(&h, "vendor.ev.quiet", -10, 0));
  uint32_t stamp = 100, event = 0, rc = 99;
  std::atomic<bool> done{false};
  std::thread waiter = StartWait(h, &stamp, &event, &rc, &done);
  WaitUntilAsleep("vendor.ev.quiet", done);
  const uint64_t before = KrpTestEventWakeups();
  for (int i = 0; i < kOtherWrites; ++i)
    ASSERT_EQ(0u, Put(other.c_str(), i % 2 ? "odd" : "even", 200 + i));
  ASSERT_EQ(0u, Put("vendor.ev.quiet", "abc", 300));
  waiter.join();
  EXPECT_EQ(0u, rc);
  EXPECT_EQ(32u, event);
  EXPECT_EQ(300u, stamp);
  // The own write's wake, and at most a spurious return of the kernel.
  const uint64_t woken = KrpTestEventWakeups() - before;
  EXPECT_GE(woken, 1u);
  EXPECT_LE(woken, 2u);
  EXPECT_EQ(0u, dll_KrpDeleteEvent(h));
}

TEST_F(Events, ADeletedResourceEndsTheWaitWithAReadFailure) {
  ASSERT_EQ(0u, Put("vendor.ev.d", "abc", 100));
  KRP_HEVENT h = nullptr;
  ASSERT_EQ(0u, dll_KrpCreateEventHandle(&h, "vendor.ev.d", -10, 0));
  uint32_t stamp = 100, event = 0, rc = 99;
  std::atomic<bool> done{false};
  std::thread waiter = StartWait(h, &stamp, &event, &rc, &done);
  WaitUntilWaiting(h, done);
  ASSERT_EQ(0u, dll_KrpDeleteResource(KRT_TEXT, "vendor.ev.d"));
  waiter.join();
  EXPECT_EQ(0u, rc);
  EXPECT_EQ(255u, event);
  EXPECT_EQ(0u, stamp);
  EXPECT_EQ(0u, dll_KrpDeleteEvent(h));
}

TEST_F(Events, DeletingAWaitedHandleEndsTheWaitAndTheHandle) {
  ASSERT_EQ(0u, Put("vendor.ev.x", "abc", 100));
  KRP_HEVENT h = nullptr;
  ASSERT_EQ(0u, dll_KrpCreateEventHandle(&h, "vendor.ev.x", -10, 0));
  uint32_t stamp = 100, event = 0, rc = 99;
  std::atomic<bool> done{false};
  std::thread waiter = StartWait(h, &stamp, &event, &rc, &done);
  WaitUntilWaiting(h, done);
  uint32_t stamp2 = 0, event2 = 0;
  EXPECT_EQ(0x37000Au, dll_KrpWaitForEvent(h, &stamp2, &event2, 0));  // one wait at a time
  EXPECT_EQ(0u, dll_KrpDeleteEvent(h));
  waiter.join();
  EXPECT_EQ(0x370009u, rc);
  EXPECT_EQ(6u, dll_KrpDeleteEvent(h));
  EXPECT_EQ(6u, dll_KrpWaitForEvent(h, &stamp2, &event2, 0));
}

TEST_F(Events, HandlesThatAreNotLiveGive6) {
  ASSERT_EQ(0u, Put("vendor.ev.s", "abc", 1));
  // A well-formed head that the library never gave out.
  alignas(8) unsigned char fake[64] = {};
  RecordHead *f = reinterpret_cast<RecordHead *>(fake);
  f->record_size = 52;
  f->check = 0x4B725065u;
  KRP_HEVENT stale = nullptr;
  ASSERT_EQ(0u, dll_KrpCreateEventHandle(&stale, "vendor.ev.s", 0, 0));
  ASSERT_EQ(0u, dll_KrpDeleteEvent(stale));
  uint32_t stamp = 0, event = 0;
  for (KRP_HEVENT h : {KRP_HEVENT(nullptr), reinterpret_cast<KRP_HEVENT>(fake), stale}) {
    EXPECT_EQ(6u, dll_KrpDeleteEvent(h));
    EXPECT_EQ(6u, dll_KrpWaitForEvent(h, &stamp, &event, 0));
  }
}

// Deletes race waits that are just starting: every wait ends with 0 (a
// change came first), 0x370009 (deleted while it ran) or 6 (the delete came
// before it began); every delete finds a live handle.
TEST_F(Events, DeletesRacingStartingWaitsFreeEachHandleOnce) {
  ASSERT_EQ(0u, Put("vendor.ev.race", "abc", 1));
  const int kThreads = 8;
  const int kRounds = getenv("KRP_TEST_LONG") ? 400 : 40;
  std::atomic<int> bad{0}, deleted{0}, changed{0}, late{0};
  std::vector<std::thread> pairs;
  for (int t = 0; t < kThreads; ++t) {
    pairs.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        KRP_HEVENT h = nullptr;
        if (dll_KrpCreateEventHandle(&h, "vendor.ev.race", 1, 0) != 0) {
          ++bad;
          continue;
        }
        uint32_t rc = 99;
        std::thread waiter([&] {
          uint32_t stamp = 0, event = 0;
          rc = dll_KrpWaitForEvent(h, &stamp, &event, 0);
        });
        if ((i + t) % 7 == 0) Put("vendor.ev.race", "abc", uint32_t(2 + i));
        if ((i + t) % 2) std::this_thread::yield();
        if (dll_KrpDeleteEvent(h) != 0) ++bad;
        waiter.join();
        if (rc == 0x370009u) ++deleted;
        else if (rc == 0) ++changed;
        else if (rc == 6) ++late;
        else ++bad;
      }
    });
  }
  for (auto &p : pairs) p.join();
  EXPECT_EQ(0, bad.load());
  EXPECT_EQ(kThreads * kRounds, deleted + changed + late);
}

KRP_CHILD_ROLE_FN(reserved_first) {
  KRP_HEVENT h = nullptr;
  uint32_t stamp = 0, event = 0;
  const char *which = args.at(0).c_str();
  uint32_t rc = 0;
  if (!strcmp(which, "create")) rc = dll_KrpCreateEventHandle(&h, "vendor.ev.any", 0, 1);
  else if (!strcmp(which, "wait")) rc = dll_KrpWaitForEvent(nullptr, &stamp, &event, 1);
  else rc = dll_KrpCheckForEvent("vendor.ev.any", &stamp, &event, 1);
  return rc == 87 ? 0 : 1;
}

TEST(EventsFirstCall, AReservedValueGives87AsAProcesssFirstCall) {
  krptest::TestEnv env;
  for (const char *which : {"create", "wait", "check"})
    EXPECT_EQ(0, krptest::WaitChild(krptest::SpawnRole("reserved_first", {which}))) << which;
}

// A host in a child process: starts, admits every process, writes the
// resource with the stamp given (if any), tells it is up, then stays until
// killed or told to go.
KRP_CHILD_ROLE_FN(event_host) {
  KRP_HLIBCTX ctx = nullptr;
  if (dll_KrpInitializeKrpLib(&ctx) != 0) return 2;
  if (dll_KrpFlagMtClientAsAvailable() != 0) return 3;
  const uint32_t stamp = uint32_t(std::stoul(args.at(2)));
  if (stamp != 0 && Put("vendor.ev.host", "hosted", stamp) != 0) return 4;
  FILE *f = fopen(args.at(0).c_str(), "w");
  if (f) fclose(f);
  struct stat st;
  while (stat(args.at(1).c_str(), &st) != 0) usleep(10 * 1000);
  return dll_KrpUninitializeKrpLib(&ctx) == 0 ? 0 : 5;
}

void AwaitFile(const std::string &path) {
  struct stat st;
  for (int i = 0; i < 3000 && stat(path.c_str(), &st) != 0; ++i) usleep(10 * 1000);
}

// Waits on `h` until a change (32) or a failure ends a wait, then sets
// `done`. A look while a new host starts may fail (255); the wait is taken up
// again until the change is seen.
std::thread WaitAcrossHosts(KRP_HEVENT h, uint32_t *stamp, uint32_t *event, uint32_t *rc,
                            std::atomic<bool> *done) {
  return std::thread([=] {
    for (int i = 0; i < 50; ++i) {
      *rc = dll_KrpWaitForEvent(h, stamp, event, 0);
      if (*rc != 0 || *event == 32) break;
    }
    *done = true;
  });
}

TEST(EventsAcrossHosts, AChangeThroughARestartedHostWakesTheWait) {
  krptest::TestEnv env;
  const std::string up1 = env.dir() + "/up1", up2 = env.dir() + "/up2", go = env.dir() + "/go";
  pid_t first = krptest::SpawnRole("event_host", {up1, go, "100"});
  AwaitFile(up1);
  KRP_HEVENT h = nullptr;
  ASSERT_EQ(0u, dll_KrpCreateEventHandle(&h, "vendor.ev.host", -10, 0));
  uint32_t stamp = 100, event = 0, rc = 99;
  std::atomic<bool> done{false};
  std::thread waiter = WaitAcrossHosts(h, &stamp, &event, &rc, &done);
  WaitUntilWaiting(h, done);
  kill(first, SIGKILL);
  EXPECT_EQ(128 + SIGKILL, krptest::WaitChild(first));
  pid_t second = krptest::SpawnRole("event_host", {up2, go, "300"});
  waiter.join();
  EXPECT_EQ(0u, rc);
  EXPECT_EQ(32u, event);
  EXPECT_EQ(300u, stamp);
  EXPECT_EQ(0u, dll_KrpDeleteEvent(h));
  FILE *f = fopen(go.c_str(), "w");
  if (f) fclose(f);
  EXPECT_EQ(0, krptest::WaitChild(second));
}

// A host killed while a wait sleeps, and a new one started that changes
// nothing: the start alone wakes the sleeper (it looks again), well before
// its 15 s period ends; a change through the new host then ends the wait.
TEST(EventsAcrossHosts, AHostStartWakesASleepingWaitBeforeItsPeriodEnds) {
  constexpr int kAwaitWakeMs = 10000;  // below the wait's period of 15 s
  krptest::TestEnv env;
  const std::string up1 = env.dir() + "/up1", up2 = env.dir() + "/up2", go = env.dir() + "/go";
  pid_t first = krptest::SpawnRole("event_host", {up1, go, "100"});
  AwaitFile(up1);
  KRP_HEVENT h = nullptr;
  ASSERT_EQ(0u, dll_KrpCreateEventHandle(&h, "vendor.ev.host", -10, 0));
  uint32_t stamp = 100, event = 0, rc = 99;
  std::atomic<bool> done{false};
  std::thread waiter = WaitAcrossHosts(h, &stamp, &event, &rc, &done);
  WaitUntilAsleep("vendor.ev.host", done);
  const uint64_t before = KrpTestEventWakeups();
  kill(first, SIGKILL);
  EXPECT_EQ(128 + SIGKILL, krptest::WaitChild(first));
  pid_t second = krptest::SpawnRole("event_host", {up2, go, "0"});
  AwaitFile(up2);
  for (int i = 0; i < kAwaitWakeMs && KrpTestEventWakeups() == before; ++i) usleep(1000);
  EXPECT_GT(KrpTestEventWakeups(), before);
  EXPECT_EQ(0u, Put("vendor.ev.host", "changed", 300));
  waiter.join();
  EXPECT_EQ(0u, rc);
  EXPECT_EQ(32u, event);
  EXPECT_EQ(300u, stamp);
  EXPECT_EQ(0u, dll_KrpDeleteEvent(h));
  FILE *f = fopen(go.c_str(), "w");
  if (f) fclose(f);
  EXPECT_EQ(0, krptest::WaitChild(second));
}

}  // namespace
