// Modes of what the platform layer creates: files take the classes of their
// folder, folders are 0700 and log files 0600, whatever the umask.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform.h"
#include "test_hooks.h"
#include "test_support.h"

namespace {

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t m) : old_(umask(m)) {}
  ~ScopedUmask() { umask(old_); }
  ScopedUmask(const ScopedUmask &) = delete;
  ScopedUmask &operator=(const ScopedUmask &) = delete;

 private:
  mode_t old_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char *name, const std::string &value) : name_(name) {
    const char *old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char *name_;
  bool had_ = false;
  std::string old_;
};

// Permission bits of `path` (the link itself is not followed), or 0xFFFF
// when it is missing.
mode_t ModeOf(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0xFFFF;
  return st.st_mode & 07777;
}

// A folder of exactly `mode` inside the test's private folder.
std::string MakeFolder(const krptest::TestEnv &env, const std::string &name, mode_t mode) {
  std::string dir = env.dir() + "/" + name;
  EXPECT_EQ(mkdir(dir.c_str(), 0700), 0) << dir;
  EXPECT_EQ(chmod(dir.c_str(), mode), 0) << dir;
  return dir;
}

// The ways the platform creates a file in `dir`; each returns the path made.
enum class Maker { kCreateRW, kCreateRWNoLink, kTmpWithHandle, kTmpWithoutHandle };

std::string Make(Maker m, const std::string &dir) {
  KST_HFILE h = KST_INVALID_HFILE;
  std::string path = dir + "/f.kts";
  uint32_t rc = KST_ERR_GENERAL;
  char tmp[KST_MAX_PATH] = {};
  switch (m) {
    case Maker::kCreateRW: rc = KstCreateRWFile(path.c_str(), &h, 0); break;
    case Maker::kCreateRWNoLink: rc = KstCreateRWFileNoLink(path.c_str(), &h); break;
    case Maker::kTmpWithHandle: rc = KstCreateTmpFile(dir.c_str(), "kts", tmp, &h); break;
    case Maker::kTmpWithoutHandle: rc = KstCreateTmpFile(dir.c_str(), "kts", tmp, nullptr); break;
  }
  EXPECT_EQ(rc, KST_OK);
  if (h != KST_INVALID_HFILE) KstCloseFile(h);
  return tmp[0] ? std::string(tmp) : path;
}

TEST(FileMode, CreatedFilesTakeTheClassesThatMayEnterTheirFolder) {
  krptest::TestEnv env;
  ScopedUmask u(0);
  struct Case {
    mode_t folder, file;
  };
  // A class that may enter the folder reads and writes the file; a folder
  // every user may write (like /tmp) vouches for nobody.
  const Case cases[] = {{0700, 0600}, {0750, 0660}, {02770, 0660}, {0711, 0666},
                        {0755, 0666}, {01777, 0600}, {0777, 0600}};
  const Maker makers[] = {Maker::kCreateRW, Maker::kCreateRWNoLink, Maker::kTmpWithHandle,
                          Maker::kTmpWithoutHandle};
  int n = 0;
  for (const Case &c : cases) {
    for (Maker m : makers) {
      std::string dir = MakeFolder(env, "d" + std::to_string(n++), c.folder);
      std::string path = Make(m, dir);
      EXPECT_EQ(ModeOf(path), c.file)
          << std::oct << "folder " << c.folder << " maker " << static_cast<int>(m);
    }
  }
}

TEST(FileMode, AnEmptiedFileLosesItsWiderOldMode) {
  // The store made before this rule, 0644 in a private folder: recreating it
  // must not keep the old mode for the new content.
  krptest::TestEnv env;
  std::string dir = MakeFolder(env, "d", 0700);
  for (Maker m : {Maker::kCreateRW, Maker::kCreateRWNoLink}) {
    std::string path = dir + "/f.kts";
    krptest::WriteFile(path, "old content");
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    Make(m, dir);
    EXPECT_EQ(ModeOf(path), 0600u) << static_cast<int>(m);
    EXPECT_EQ(krptest::ReadFile(path), "");
  }
}

TEST(FileMode, NewFoldersArePrivateWhateverTheUmask) {
  krptest::TestEnv env;
  for (mode_t mask : {0000, 0022, 0277}) {
    ScopedUmask u(mask);
    std::string base = env.dir() + "/m" + std::to_string(mask);
    ASSERT_EQ(KstCreateDirTree((base + "/a/b").c_str()), KST_OK);
    ASSERT_EQ(KstCreateDir((base + "/c").c_str()), KST_OK);
    for (const char *sub : {"", "/a", "/a/b", "/c"}) {
      EXPECT_EQ(ModeOf(base + sub), 0700u) << std::oct << "umask " << mask << " " << sub;
    }
  }
  // A folder that exists keeps the mode its owner gave it.
  std::string shared = MakeFolder(env, "shared", 0755);
  EXPECT_EQ(KstCreateDirTree(shared.c_str()), KST_OK);
  EXPECT_EQ(ModeOf(shared), 0755u);
}

TEST(FileMode, TheResourcesFolderOfTheRootIsPrivate) {
  krptest::TestEnv env;
  KstTestResetRootCache();
  ScopedUmask u(0);
  char buf[KST_MAX_PATH];
  ASSERT_EQ(KstQueryKestarPath(KPATH_RESOURCES, buf, sizeof buf), KST_OK);
  EXPECT_EQ(ModeOf(buf), 0700u) << buf;
}

TEST(FileMode, DebugOutputFileIsCreated0600AndAnExistingOneKeepsItsMode) {
  krptest::TestEnv env;
  ScopedUmask u(0);
  const std::string fresh = env.dir() + "/debug.txt";
  {
    ScopedEnv e("KST_DEBUG_OUTPUT", fresh);
    KstOutputDebugString("first line");
    KstOutputDebugString("second line");
  }
  EXPECT_EQ(ModeOf(fresh), 0600u);
  EXPECT_EQ(krptest::ReadFile(fresh), "first line\nsecond line\n");

  const std::string existing = env.dir() + "/shared.txt";
  krptest::WriteFile(existing, "");
  ASSERT_EQ(chmod(existing.c_str(), 0640), 0);
  {
    ScopedEnv e("KST_DEBUG_OUTPUT", existing);
    KstOutputDebugString("line");
  }
  EXPECT_EQ(ModeOf(existing), 0640u);
  EXPECT_EQ(krptest::ReadFile(existing), "line\n");
}

TEST(FileMode, LogFileIsCreated0600AndAnExistingOneKeepsItsMode) {
  const char *lib = getenv("KST_TRACELIB");
  if (!lib || !*lib) GTEST_SKIP() << "KST_TRACELIB does not name the built libtracelib.so";
  krptest::TestEnv env;
  ScopedUmask u(0);
  // The logging library reads TRACELIB_FILE at every line.
  const std::string fresh = env.dir() + "/trace.log";
  {
    ScopedEnv e("TRACELIB_FILE", fresh);
    KstLogPrintf("krp (%d) first", __LINE__);
  }
  EXPECT_EQ(ModeOf(fresh), 0600u);
  EXPECT_NE(krptest::ReadFile(fresh).find("first"), std::string::npos);

  const std::string existing = env.dir() + "/shared.log";
  krptest::WriteFile(existing, "");
  ASSERT_EQ(chmod(existing.c_str(), 0640), 0);
  {
    ScopedEnv e("TRACELIB_FILE", existing);
    KstLogPrintf("krp (%d) second", __LINE__);
  }
  EXPECT_EQ(ModeOf(existing), 0640u);
  EXPECT_NE(krptest::ReadFile(existing).find("second"), std::string::npos);
}

}  // namespace
