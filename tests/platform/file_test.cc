#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "os_api.h"
#include "platform.h"
#include "test_support.h"

namespace {

class FileTest : public ::testing::Test {
 protected:
  krptest::TestEnv env_;
  std::string Path(const std::string &leaf) { return env_.dir() + "/" + leaf; }
};

TEST_F(FileTest, SecondReadWriteOpenIsASharingViolationAlsoInOneProcess) {
  std::string p = Path("a.kts");
  krptest::WriteFile(p, "abc");
  KST_HFILE h1, h2;
  ASSERT_EQ(KstOpenRWFile(p.c_str(), &h1), 0u);
  EXPECT_EQ(KstOpenRWFile(p.c_str(), &h2), 32u);
  EXPECT_EQ(h2, KST_INVALID_HFILE);
  EXPECT_EQ(KstOpenRFile(p.c_str(), &h2), 32u);
  EXPECT_EQ(KstCloseFile(h1), 0u);
  ASSERT_EQ(KstOpenRWFile(p.c_str(), &h2), 0u);
  KstCloseFile(h2);
}

KRP_CHILD_ROLE_FN(open_rw) {
  KST_HFILE h;
  return static_cast<int>(KstOpenRWFile(args.at(0).c_str(), &h));
}

TEST_F(FileTest, ReadWriteHandleInAnotherProcessBlocksOpens) {
  std::string p = Path("b.kts");
  krptest::WriteFile(p, "abc");
  KST_HFILE h;
  ASSERT_EQ(KstOpenRWFile(p.c_str(), &h), 0u);
  EXPECT_EQ(krptest::WaitChild(krptest::SpawnRole("open_rw", {p})), 32);
  KstCloseFile(h);
  EXPECT_EQ(krptest::WaitChild(krptest::SpawnRole("open_rw", {p})), 0);
}

TEST_F(FileTest, ReadersShareButExcludeWriters) {
  std::string p = Path("c.kts");
  krptest::WriteFile(p, "abc");
  KST_HFILE r1, r2, w;
  ASSERT_EQ(KstOpenRFile(p.c_str(), &r1), 0u);
  ASSERT_EQ(KstOpenRFile(p.c_str(), &r2), 0u);
  EXPECT_EQ(KstOpenRWFile(p.c_str(), &w), 32u);
  EXPECT_EQ(KstCreateRWFile(p.c_str(), &w, 0), 32u);
  EXPECT_EQ(krptest::ReadFile(p), "abc");
  KstCloseFile(r1);
  KstCloseFile(r2);
}

TEST_F(FileTest, AReaderKeepsItsHandleAndHoldsTheSharedLockOnlyWhenItSaysSo) {
  std::string p = Path("k.kts");
  krptest::WriteFile(p, "abc");
  KST_HFILE r, w;
  ASSERT_EQ(KstOpenRFile(p.c_str(), &r), 0u);
  ASSERT_EQ(KstUnlockFile(r), 0u);
  ASSERT_EQ(KstOpenRWFile(p.c_str(), &w), 0u);  // an unlocked handle keeps no writer out
  EXPECT_EQ(KstLockFileShared(r), 32u);
  KstCloseFile(w);
  ASSERT_EQ(KstLockFileShared(r), 0u);
  EXPECT_EQ(KstOpenRWFile(p.c_str(), &w), 32u);
  EXPECT_EQ(KstUnlockFile(r), 0u);
  KstCloseFile(r);
  EXPECT_EQ(KstLockFileShared(-1), 6u);
}

TEST_F(FileTest, FileIdentityTellsAReplacedFileAndItsSize) {
  std::string p = Path("i.kts"), q = Path("j.kts");
  krptest::WriteFile(p, "abc");
  krptest::WriteFile(q, "defgh");
  KST_HFILE h;
  ASSERT_EQ(KstOpenRFile(p.c_str(), &h), 0u);
  KstFileId of_handle{}, of_path{};
  ASSERT_EQ(KstQueryFileId(h, &of_handle), 0u);
  ASSERT_EQ(KstQueryPathId(p.c_str(), &of_path), 0u);
  EXPECT_EQ(of_handle.ino, of_path.ino);
  EXPECT_EQ(of_handle.dev, of_path.dev);
  EXPECT_EQ(of_path.size, 3u);
  EXPECT_EQ(of_handle.owner, static_cast<uint32_t>(geteuid()));
  EXPECT_EQ(of_path.owner, of_handle.owner);
  ASSERT_EQ(rename(q.c_str(), p.c_str()), 0);
  ASSERT_EQ(KstQueryPathId(p.c_str(), &of_path), 0u);
  EXPECT_NE(of_handle.ino, of_path.ino);
  EXPECT_EQ(of_path.size, 5u);
  KstCloseFile(h);
  EXPECT_EQ(KstQueryPathId(q.c_str(), &of_path), 2u);
  EXPECT_EQ(KstQueryPathId(nullptr, &of_path), 87u);
}

TEST_F(FileTest, CreateOnAHeldFileKeepsItsContents) {
  std::string p = Path("d.kts");
  krptest::WriteFile(p, "precious");
  KST_HFILE h, h2;
  ASSERT_EQ(KstOpenRWFile(p.c_str(), &h), 0u);
  EXPECT_EQ(KstCreateRWFile(p.c_str(), &h2, 0), 32u);
  EXPECT_EQ(krptest::ReadFile(p), "precious");
  KstCloseFile(h);
  ASSERT_EQ(KstCreateRWFile(p.c_str(), &h2, 0), 0u);
  EXPECT_EQ(krptest::ReadFile(p), "");
  KstCloseFile(h2);
}

TEST_F(FileTest, DescriptorsAreNeverStandardStreams) {
  std::string p = Path("e.kts");
  krptest::WriteFile(p, "x");
  int saved = dup(2);
  close(2);
  KST_HFILE h;
  ASSERT_EQ(KstOpenRWFile(p.c_str(), &h), 0u);
  dup2(saved, 2);
  close(saved);
  EXPECT_GT(h, 2);
  EXPECT_TRUE(fcntl(h, F_GETFD) & FD_CLOEXEC);
  KstCloseFile(h);
}

TEST_F(FileTest, PositionedReadPastTheEndGives38AndAdvancesByWhatWasRead) {
  std::string p = Path("f.kts");
  KST_HFILE h;
  ASSERT_EQ(KstCreateRWFile(p.c_str(), &h, 0), 0u);
  uint32_t pos = 0, n = 0;
  ASSERT_EQ(KstWriteFileAt(h, &pos, "0123456789", 10, &n), 0u);
  EXPECT_EQ(pos, 10u);
  EXPECT_EQ(n, 10u);
  char buf[16] = {};
  pos = 6;
  EXPECT_EQ(KstReadFileAt(h, &pos, buf, 8, &n), 38u);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(pos, 10u);
  EXPECT_EQ(std::string(buf, 4), "6789");
  pos = 2;
  EXPECT_EQ(KstReadFileAt(h, &pos, buf, 3, nullptr), 0u);
  EXPECT_EQ(pos, 5u);
  uint32_t size = 0;
  EXPECT_EQ(KstQueryFileSize(h, &size, nullptr), 0u);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(KstQueryFileSize(h, nullptr, nullptr), 1u);
  EXPECT_EQ(KstSetFileSize(h, 4), 0u);
  EXPECT_EQ(KstQueryFileSize(h, &size, nullptr), 0u);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(KstFlushFile(h), 0u);
  KstCloseFile(h);
}

TEST_F(FileTest, FilePointerWritesAndMoves) {
  std::string p = Path("g.kts");
  KST_HFILE h;
  ASSERT_EQ(KstCreateRWFile(p.c_str(), &h, 0), 0u);
  uint32_t n = 0, at = 0;
  ASSERT_EQ(KstWriteFile(h, "hello", 5, &n, nullptr), 0u);
  ASSERT_EQ(KstSetFilePtr(h, -2, 1, &at, nullptr), 0u);
  EXPECT_EQ(at, 3u);
  ASSERT_EQ(KstWriteFile(h, "LO!", 3, &n, nullptr), 0u);
  EXPECT_EQ(KstSetFilePtr(h, 0, 2, &at, nullptr), 0u);
  EXPECT_EQ(at, 6u);
  EXPECT_EQ(KstSetFilePtr(h, 0, 7, &at, nullptr), 87u);
  EXPECT_EQ(at, 0xFFFFFFFFu);
  KstCloseFile(h);
  EXPECT_EQ(krptest::ReadFile(p), "helLO!");
}

TEST_F(FileTest, DeleteRemovesReadOnlyFilesAndReportsMissingOnes) {
  std::string p = Path("ro.kts");
  krptest::WriteFile(p, "x");
  ASSERT_EQ(chmod(p.c_str(), 0444), 0);
  EXPECT_EQ(KstDeleteFile(p.c_str()), 0u);
  EXPECT_NE(access(p.c_str(), F_OK), 0);
  EXPECT_EQ(KstDeleteFile(p.c_str()), 2u);
  EXPECT_EQ(KstDeleteFile(nullptr), 87u);
}

TEST_F(FileTest, BadArgumentsAndMissingFilesGetCodes) {
  KST_HFILE h = 5;
  EXPECT_EQ(KstOpenRFile(nullptr, &h), 87u);
  EXPECT_EQ(h, KST_INVALID_HFILE);
  EXPECT_EQ(KstOpenRWFile(Path("missing").c_str(), &h), 2u);
  EXPECT_EQ(KstOpenRWFile(Path("missing/x").c_str(), &h), 2u);
  EXPECT_EQ(KstOpenRWFile(env_.dir().c_str(), &h), 5u);  // a folder
  EXPECT_EQ(KstOpenRFile("x", nullptr), 87u);
  uint32_t pos = 0;
  EXPECT_EQ(KstReadFileAt(h, nullptr, nullptr, 0, nullptr), 87u);
  EXPECT_EQ(KstReadFileAt(-1, &pos, &pos, 4, nullptr), 6u);
  std::string longname(5000, 'a');
  EXPECT_EQ(KstOpenRFile(longname.c_str(), &h), 206u);
}

TEST_F(FileTest, BackslashesAreSeparators) {
  std::string p = Path("sub");
  ASSERT_EQ(mkdir(p.c_str(), 0700), 0);
  std::string winish = env_.dir() + "\\sub\\w.kts";
  KST_HFILE h;
  ASSERT_EQ(KstCreateRWFile(winish.c_str(), &h, 0), 0u);
  KstCloseFile(h);
  EXPECT_EQ(access((p + "/w.kts").c_str(), F_OK), 0);
}

// ---- the fault-injection seam -------------------------------------------

struct FaultPlan {
  int short_every = 0;     // pwrite writes at most this many bytes per call
  bool no_progress = false;
  int fail_errno = 0;
  int calls = 0;
} g_plan;

ssize_t FaultyPwrite(int fd, const void *buf, size_t count, off_t off) {
  ++g_plan.calls;
  if (g_plan.fail_errno) {
    errno = g_plan.fail_errno;
    return -1;
  }
  if (g_plan.no_progress) return 0;
  if (g_plan.short_every && count > static_cast<size_t>(g_plan.short_every))
    count = g_plan.short_every;
  return KstOsApiDefault()->pwrite(fd, buf, count, off);
}

class SeamTest : public FileTest {
 protected:
  void SetUp() override {
    api_ = *KstOsApiDefault();
    api_.pwrite = FaultyPwrite;
    g_plan = FaultPlan{};
    ASSERT_EQ(KstCreateRWFile(Path("s.kts").c_str(), &h_, 0), 0u);
    KstOsApiInstall(&api_);
  }
  void TearDown() override {
    KstOsApiInstall(nullptr);
    KstCloseFile(h_);
  }
  KstOsApi api_;
  KST_HFILE h_ = KST_INVALID_HFILE;
};

TEST_F(SeamTest, ShortWritesAreContinuedUntilEveryByteIsWritten) {
  g_plan.short_every = 3;
  uint32_t pos = 0, n = 0;
  EXPECT_EQ(KstWriteFileAt(h_, &pos, "0123456789", 10, &n), 0u);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(pos, 10u);
  EXPECT_EQ(g_plan.calls, 4);
  EXPECT_EQ(krptest::ReadFile(Path("s.kts")), "0123456789");
}

TEST_F(SeamTest, FailedWritesAreNeverSuccess) {
  struct Case {
    bool no_progress;
    int err;
    uint32_t code;
  } cases[] = {{true, 0, 112}, {false, ENOSPC, 112}, {false, EIO, 1}, {false, EROFS, 25}};
  for (const Case &c : cases) {
    g_plan = FaultPlan{};
    g_plan.no_progress = c.no_progress;
    g_plan.fail_errno = c.err;
    uint32_t pos = 0, n = 99;
    EXPECT_EQ(KstWriteFileAt(h_, &pos, "abc", 3, &n), c.code) << c.err;
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(pos, 0u);
  }
}

TEST_F(SeamTest, WritesPastFourGibibytesAreRefused) {
  uint32_t pos = 0xFFFFFFF0u, n = 0;
  EXPECT_EQ(KstWriteFileAt(h_, &pos, "0123456789abcdefXYZ", 19, &n), 112u);
  EXPECT_EQ(g_plan.calls, 0);
  EXPECT_EQ(pos, 0xFFFFFFF0u);
}

TEST(ErrorMap, EveryRowMapsToItsCode) {
  struct Row {
    int err;
    uint32_t code;
  } rows[] = {{0, 0},         {ENOENT, 2},   {ENOTDIR, 3},     {EMFILE, 4},   {ENFILE, 4},
              {EACCES, 5},    {EPERM, 5},    {EISDIR, 5},    {EBADF, 6},       {EEXIST, 80},  {ENOSPC, 112},
              {EROFS, 25},    {ENAMETOOLONG, 206}, {ETIMEDOUT, 121}, {EWOULDBLOCK, 32},
              {EINVAL, 87},   {ENOMEM, 8192}, {EIO, 1},        {EXDEV, 1}};
  for (const Row &r : rows) EXPECT_EQ(KstMapOsError(r.err), r.code) << r.err;
}

TEST(Strings, AppendPath) {
  struct Case {
    const char *path, *name, *want;
  } cases[] = {{"a/b", "\\c", "a/b/c"},  {"a\\b", "c", "a/b/c"}, {"a/b/", "/c", "a/b/c"},
               {"", "c", "/c"},          {"x", "d\\e", "x/d/e"}};
  for (const Case &c : cases) {
    char buf[64];
    strcpy(buf, c.path);
    EXPECT_STREQ(KstAppendPath(buf, c.name), c.want) << c.path << " + " << c.name;
  }
}

TEST(Strings, ReplaceString) {
  char buf[64] = "one %NAME% three";
  char *at = KstReplaceString(buf, "%NAME%", "two");
  EXPECT_STREQ(buf, "one two three");
  EXPECT_EQ(at, buf + 4);
  EXPECT_NE(KstReplaceString(buf, "two", "a much longer word"), nullptr);
  EXPECT_STREQ(buf, "one a much longer word three");
  EXPECT_NE(KstReplaceString(buf, " a much longer word", nullptr), nullptr);
  EXPECT_STREQ(buf, "one three");
  EXPECT_EQ(KstReplaceString(buf, "absent", "x"), nullptr);
  EXPECT_STREQ(buf, "one three");
}

TEST(Sync, CriticalSectionsAreReentrantAndCheckTheirHandle) {
  KST_HCRITSEC cs = nullptr;
  ASSERT_EQ(KstCreateCritSec(&cs), 0u);
  EXPECT_EQ(KstEnterCritSec(cs), 0u);
  EXPECT_EQ(KstEnterCritSec(cs), 0u);
  EXPECT_EQ(KstLeaveCritSec(cs), 0u);
  EXPECT_EQ(KstLeaveCritSec(cs), 0u);
  EXPECT_EQ(KstDeleteCritSec(cs), 0u);
  EXPECT_EQ(KstEnterCritSec(cs), 6u);  // stale: not touched
  EXPECT_EQ(KstDeleteCritSec(cs), 6u);
  EXPECT_EQ(KstEnterCritSec(nullptr), 6u);
  EXPECT_EQ(KstEnterCritSec(reinterpret_cast<KST_HCRITSEC>(~uintptr_t{0})), 6u);
  EXPECT_EQ(KstCreateCritSec(nullptr), 87u);
}

void NoOpHandler(int) {}

TEST(Sync, SleepResumesAfterASignal) {
  struct sigaction sa = {};
  sa.sa_handler = NoOpHandler;  // no SA_RESTART: nanosleep is cut short
  ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
  pthread_t sleeper = pthread_self();
  std::thread poker([sleeper] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      pthread_kill(sleeper, SIGUSR1);
    }
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KstSleep(200), 0u);
  auto slept = std::chrono::steady_clock::now() - start;
  poker.join();
  EXPECT_GE(slept, std::chrono::milliseconds(200));
}

TEST(Sync, AllocationFailureIsACode) {
  void *p = reinterpret_cast<void *>(1);
  EXPECT_EQ(KstAllocMem(0, 0, &p, nullptr), 0u);
  EXPECT_NE(p, nullptr);
  KstFreeMem(p, 0);
  EXPECT_EQ(KstAllocMem(10, 0, nullptr, nullptr), 87u);
}

}  // namespace
