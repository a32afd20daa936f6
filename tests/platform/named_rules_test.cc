// The create/open rules of named objects, written once and run against each
// kind (shared region, event, mutex): create-or-open, open of a missing or
// dead object, the last close removes it, the global and plain forms take
// the same object, names, and two processes racing to create one object.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <string>
#include <vector>

#include "named_test_util.h"
#include "platform.h"
#include "test_support.h"

namespace {

using krptest::ObjectFile;
using krptest::PathExists;
using krptest::WaitForPath;

// Each kind says how to create, open and close, and how to leave a mark on
// an object that another handle of the same object can see (Mark/Marked),
// so that "the same object" can be checked without knowing the kind.
struct ShmKind {
  static constexpr const char *kPrefix = "SHAREMEM_";
  static constexpr const char *kId = "shm";
  struct H {
    void *addr = nullptr;
    KST_HSHMEM h = nullptr;
  };
  static uint32_t Create(const char *n, H *o) { return KstCreateSharedMem(n, &o->addr, 64, &o->h); }
  static uint32_t CreateGlobal(const char *n, H *o) {
    return KstCreateSharedMemGlobal(n, &o->addr, 64, &o->h);
  }
  static uint32_t Open(const char *n, H *o) { return KstOpenSharedMem(n, &o->addr, &o->h); }
  static uint32_t OpenGlobal(const char *n, H *o) {
    return KstOpenSharedMemGlobal(n, &o->addr, &o->h);
  }
  static uint32_t Close(H &o) { return KstFreeSharedMem(o.addr, o.h); }
  static void Mark(H &o) { static_cast<volatile char *>(o.addr)[7] = 1; }
  static void Unmark(H &o) { static_cast<volatile char *>(o.addr)[7] = 0; }
  static bool Marked(H &o) { return static_cast<volatile char *>(o.addr)[7] == 1; }
};

struct EventKind {
  static constexpr const char *kPrefix = "SEM32_EVENT_";
  static constexpr const char *kId = "event";
  struct H {
    KST_HSEM h = nullptr;
  };
  // Manual-reset, so that looking at the mark does not consume it.
  static uint32_t Create(const char *n, H *o) { return KstCreateEventSem(n, 0, 1, &o->h); }
  static uint32_t CreateGlobal(const char *n, H *o) {
    return KstCreateEventSemGlobal(n, 0, 1, &o->h);
  }
  static uint32_t Open(const char *n, H *o) { return KstOpenEventSem(n, &o->h); }
  static uint32_t OpenGlobal(const char *n, H *o) { return KstOpenEventSemGlobal(n, &o->h); }
  static uint32_t Close(H &o) { return KstCloseEventSem(o.h); }
  static void Mark(H &o) { KstSignalEventSem(o.h); }
  static void Unmark(H &o) { KstResetEventSem(o.h); }
  static bool Marked(H &o) { return KstWaitForEventSem(o.h, 0) == 0; }
};

struct MutexKind {
  static constexpr const char *kPrefix = "SEM32_";
  static constexpr const char *kId = "mutex";
  struct H {
    KST_HSEM h = nullptr;
  };
  static uint32_t Create(const char *n, H *o) { return KstCreateMutexSem(n, &o->h); }
  static uint32_t CreateGlobal(const char *n, H *o) { return KstCreateMutexSemGlobal(n, &o->h); }
  static uint32_t Open(const char *n, H *o) { return KstOpenMutexSem(n, &o->h); }
  static uint32_t OpenGlobal(const char *n, H *o) { return KstOpenMutexSemGlobal(n, &o->h); }
  static uint32_t Close(H &o) { return KstCloseMutexSem(o.h); }
  // Marked: owned by someone, as another thread finds it.
  static void Mark(H &o) { KstRequestMutexSem(o.h, KST_INFINITE); }
  static void Unmark(H &o) { KstReleaseMutexSem(o.h); }
  static bool Marked(H &o) {
    return std::async(std::launch::async, [&] {
             uint32_t rc = KstRequestMutexSem(o.h, 0);
             if (rc == 0) KstReleaseMutexSem(o.h);
             return rc == 121;
           }).get();
  }
};

// ---- child roles, by kind ---------------------------------------------------

// Creates the object, marks it when asked, marks `ready`, waits to be killed.
template <class K>
int HoldRole(const std::vector<std::string> &a) {
  typename K::H o;
  if (K::Create(a.at(1).c_str(), &o) != 0) return 10;
  if (a.at(3) == "1") K::Mark(o);
  krptest::Touch(a.at(2));
  sleep(120);
  return 0;
}

// Waits for `go`, creates the object, writes the inode of its file to
// `out`, waits for `release`, closes.
template <class K>
int RaceRole(const std::vector<std::string> &a) {
  if (!WaitForPath(a.at(2))) return 10;
  typename K::H o;
  if (K::Create(a.at(1).c_str(), &o) != 0) return 11;
  struct stat st;
  if (stat(ObjectFile(K::kPrefix, a.at(1)).c_str(), &st) != 0) return 12;
  krptest::WriteFile(a.at(3) + ".tmp", std::to_string(st.st_ino));
  rename((a.at(3) + ".tmp").c_str(), a.at(3).c_str());
  if (!WaitForPath(a.at(4))) return 13;
  return K::Close(o) == 0 ? 0 : 14;
}

using RoleTable = std::map<std::string, int (*)(const std::vector<std::string> &)>;

KRP_CHILD_ROLE_FN(rules_hold) {
  static const RoleTable t = {{"shm", HoldRole<ShmKind>},
                              {"event", HoldRole<EventKind>},
                              {"mutex", HoldRole<MutexKind>}};
  return t.at(args.at(0))(args);
}

KRP_CHILD_ROLE_FN(rules_race) {
  static const RoleTable t = {{"shm", RaceRole<ShmKind>},
                              {"event", RaceRole<EventKind>},
                              {"mutex", RaceRole<MutexKind>}};
  return t.at(args.at(0))(args);
}

// ---- the rules ------------------------------------------------------------------

template <class K>
class NamedRules : public ::testing::Test {
 protected:
  krptest::TestEnv env_;
  std::string File(const std::string &name) { return ObjectFile(K::kPrefix, name); }
};

using Kinds = ::testing::Types<ShmKind, EventKind, MutexKind>;
TYPED_TEST_SUITE(NamedRules, Kinds);

TYPED_TEST(NamedRules, CreateOfAnExistingObjectOpensIt) {
  using K = TypeParam;
  std::string name = this->env_.Name("twice");
  typename K::H a, b;
  ASSERT_EQ(K::Create(name.c_str(), &a), 0u);
  K::Mark(a);
  ASSERT_EQ(K::Create(name.c_str(), &b), 0u);
  EXPECT_TRUE(K::Marked(b));
  K::Unmark(a);
  EXPECT_EQ(K::Close(a), 0u);
  EXPECT_EQ(K::Close(b), 0u);
}

TYPED_TEST(NamedRules, ObjectLivesExactlyWhileAHandleIsOpen) {
  using K = TypeParam;
  std::string name = this->env_.Name("life");
  typename K::H a, b, c;
  EXPECT_EQ(K::Open(name.c_str(), &a), 2u);
  ASSERT_EQ(K::Create(name.c_str(), &a), 0u);
  ASSERT_EQ(K::Open(name.c_str(), &b), 0u);
  EXPECT_EQ(K::Close(a), 0u);
  EXPECT_TRUE(PathExists(this->File(name)));
  ASSERT_EQ(K::Open(name.c_str(), &c), 0u);  // b still holds it
  EXPECT_EQ(K::Close(b), 0u);
  EXPECT_EQ(K::Close(c), 0u);
  EXPECT_FALSE(PathExists(this->File(name)));  // the last close removed it
  EXPECT_EQ(K::Open(name.c_str(), &a), 2u);
}

TYPED_TEST(NamedRules, GlobalLocalAndPlainFormsTakeTheSameObject) {
  using K = TypeParam;
  std::string name = this->env_.Name("forms");
  typename K::H a, b, c, d;
  ASSERT_EQ(K::CreateGlobal(name.c_str(), &a), 0u);
  K::Mark(a);
  ASSERT_EQ(K::Open(name.c_str(), &b), 0u);
  ASSERT_EQ(K::OpenGlobal(name.c_str(), &c), 0u);
  ASSERT_EQ(K::Open(("Local\\" + name).c_str(), &d), 0u);
  EXPECT_TRUE(K::Marked(b));
  EXPECT_TRUE(K::Marked(c));
  EXPECT_TRUE(K::Marked(d));
  EXPECT_TRUE(PathExists(this->File(name)));
  K::Unmark(a);
  for (auto *o : {&a, &b, &c, &d}) EXPECT_EQ(K::Close(*o), 0u);
}

TYPED_TEST(NamedRules, BadNamesAreRefusedBeforeAnythingIsMade) {
  using K = TypeParam;
  const std::string prefix = K::kPrefix;
  // The composed name may be 255 bytes (the file system's limit).
  std::string longest(255 - prefix.size(), 'n');
  struct Case {
    std::string name;
    uint32_t rc;
  } cases[] = {
      {"a/b", 123},           {"../x", 123},     {"a\\b", 123},      {"sp ace", 123},
      {"", 123},              {"Global\\", 123}, {"t\xc3\xa9", 123}, {longest + "n", 206},
      {std::string(300, 'n'), 206},
  };
  for (const Case &c : cases) {
    typename K::H o;
    EXPECT_EQ(K::Create(c.name.c_str(), &o), c.rc) << c.name;
    EXPECT_EQ(K::Open(c.name.c_str(), &o), c.rc) << c.name;
  }
  // Nothing was made, not even the creation lock file.
  EXPECT_EQ(krptest::ListFolder(this->env_.objects()), std::vector<std::string>{});
  typename K::H o;
  ASSERT_EQ(K::Create(longest.c_str(), &o), 0u);
  EXPECT_TRUE(PathExists(this->File(longest)));
  EXPECT_EQ(K::Close(o), 0u);
}

TYPED_TEST(NamedRules, KilledLastHolderLeavesADeadObjectThatCreateStartsAfresh) {
  using K = TypeParam;
  std::string name = this->env_.Name("dead");
  std::string ready = this->env_.dir() + "/ready";
  pid_t pid = krptest::SpawnRole("rules_hold", {K::kId, name, ready, "1"});
  ASSERT_TRUE(WaitForPath(ready));
  {
    typename K::H o;
    ASSERT_EQ(K::Open(name.c_str(), &o), 0u);
    EXPECT_TRUE(K::Marked(o));
    EXPECT_EQ(K::Close(o), 0u);
  }
  kill(pid, SIGKILL);
  ASSERT_EQ(krptest::WaitChild(pid), 128 + SIGKILL);
  typename K::H o;
  EXPECT_EQ(K::Open(name.c_str(), &o), 2u);
  ASSERT_EQ(K::Create(name.c_str(), &o), 0u);
  EXPECT_FALSE(K::Marked(o));  // fresh: zeroed, not signalled, not owned
  EXPECT_EQ(K::Close(o), 0u);
}

TYPED_TEST(NamedRules, ProcessesRacingToCreateShareOneObject) {
  using K = TypeParam;
  constexpr int kProcs = 3;
  for (int round = 0; round < 4; ++round) {
    std::string name = this->env_.Name("race" + std::to_string(round));
    std::string base = this->env_.dir() + "/r" + std::to_string(round);
    std::vector<pid_t> pids;
    for (int i = 0; i < kProcs; ++i)
      pids.push_back(krptest::SpawnRole(
          "rules_race", {K::kId, name, base + "go", base + "ino" + std::to_string(i), base + "end"}));
    krptest::Touch(base + "go");
    std::string first;
    for (int i = 0; i < kProcs; ++i) {
      std::string out = base + "ino" + std::to_string(i);
      ASSERT_TRUE(WaitForPath(out));
      std::string ino = krptest::ReadFile(out);
      if (i == 0) first = ino;
      EXPECT_EQ(ino, first) << "process " << i << " made its own object";
    }
    krptest::Touch(base + "end");
    for (pid_t p : pids) EXPECT_EQ(krptest::WaitChild(p), 0);
    EXPECT_FALSE(PathExists(this->File(name)));
  }
}

}  // namespace
