// Safety of the object folder: file modes follow the folder whatever the
// umask; a folder that is a symbolic link, owned by another user or writable
// by everyone is refused; a symbolic link, a second hard link or a
// non-regular file planted at an object's name is refused and its target
// left alone. The attacks by another user run as root, with the attacker
// dropped to uid/gid 65534 by setpriv; without root they are skipped.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "named_test_util.h"
#include "platform.h"
#include "test_support.h"

extern char **environ;

namespace {

using krptest::ListFolder;
using krptest::ObjectFile;
using krptest::PathExists;

constexpr uid_t kAttacker = 65534;

mode_t ModeOf(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Runs `argv` as uid/gid 65534 with no supplementary groups; its exit status.
int RunAsAttacker(std::vector<std::string> argv) {
  std::vector<std::string> full = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  full.insert(full.end(), argv.begin(), argv.end());
  std::vector<char *> a;
  for (auto &s : full) a.push_back(s.data());
  a.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, "setpriv", nullptr, nullptr, a.data(), environ) != 0) return -1;
  return krptest::WaitChild(pid);
}

class ObjectFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = env_.dir() + "/trace.log";
    setenv("TRACELIB_FILE", log_.c_str(), 1);
  }
  void TearDown() override { unsetenv("TRACELIB_FILE"); }

  // Creates and frees a region; its result.
  uint32_t TryCreate(const std::string &name) {
    void *addr = nullptr;
    KST_HSHMEM h = nullptr;
    uint32_t rc = KstCreateSharedMem(name.c_str(), &addr, 16, &h);
    if (rc == 0) KstFreeSharedMem(addr, h);
    return rc;
  }
  bool Logged(const std::string &text) {
    return krptest::ReadFile(log_).find(text) != std::string::npos;
  }
  void RequireRoot() {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user (uid 65534)";
  }

  krptest::TestEnv env_;
  std::string log_;
};

TEST_F(ObjectFolderTest, FilesGetTheFolderClassesWhateverTheUmask) {
  struct Case {
    mode_t folder, file;
  } cases[] = {{0700, 0600}, {0750, 0660}, {02770, 0660}, {0755, 0666}, {0711, 0666}};
  std::string name = env_.Name("mode");
  for (const Case &c : cases) {
    ASSERT_EQ(chmod(env_.objects().c_str(), c.folder), 0);
    for (mode_t mask : {0000, 0022, 0077, 0777}) {
      SCOPED_TRACE("folder " + std::to_string(c.folder) + " umask " + std::to_string(mask));
      mode_t old = umask(mask);
      unlink((env_.objects() + "/BRAXOLITE_GLB").c_str());
      void *addr = nullptr;
      KST_HSHMEM h = nullptr;
      ASSERT_EQ(KstCreateSharedMem(name.c_str(), &addr, 16, &h), 0u);
      umask(old);
      EXPECT_EQ(ModeOf(ObjectFile("SHAREMEM_", name)), c.file);
      EXPECT_EQ(ModeOf(env_.objects() + "/BRAXOLITE_GLB"), c.file);
      EXPECT_EQ(KstFreeSharedMem(addr, h), 0u);
    }
  }
}

TEST_F(ObjectFolderTest, MissingFolderIsMadePrivateByCreateButNotByOpen) {
  std::string dir = env_.dir() + "/fresh";
  setenv("KST_OBJECT_DIR", dir.c_str(), 1);
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  EXPECT_EQ(KstOpenSharedMem("x", &addr, &h), 2u);
  EXPECT_FALSE(PathExists(dir));
  mode_t old = umask(0777);
  EXPECT_EQ(TryCreate("x"), 0u);
  umask(old);
  EXPECT_EQ(ModeOf(dir), 0700u);
}

TEST_F(ObjectFolderTest, FolderWritableByEveryoneIsRefused) {
  for (mode_t m : {0777, 01777, 0702}) {
    ASSERT_EQ(chmod(env_.objects().c_str(), m), 0);
    EXPECT_EQ(TryCreate(env_.Name("w")), 5u) << m;
  }
  EXPECT_TRUE(Logged("is writable by every user, refused"));
  EXPECT_EQ(ListFolder(env_.objects()), std::vector<std::string>{});
}

TEST_F(ObjectFolderTest, FolderThatIsASymbolicLinkIsRefused) {
  std::string link = env_.dir() + "/link";
  ASSERT_EQ(symlink(env_.objects().c_str(), link.c_str()), 0);
  for (std::string dir : {link, link + "/", link + "//"}) {
    setenv("KST_OBJECT_DIR", dir.c_str(), 1);
    EXPECT_EQ(TryCreate(env_.Name("l")), 5u) << dir;
  }
  EXPECT_TRUE(Logged("is a symbolic link or not a folder, refused"));
  EXPECT_EQ(ListFolder(env_.objects()), std::vector<std::string>{});
}

TEST_F(ObjectFolderTest, PlantedLinksAndNonRegularFilesAreRefusedAndLeftAlone) {
  std::string target = env_.dir() + "/victim";
  krptest::WriteFile(target, "precious");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  std::string missing = env_.dir() + "/not-there";
  struct Plant {
    std::string name;
    std::string how;
  } plants[] = {{env_.Name("sym"), "symlink"},
                {env_.Name("dangling"), "dangling"},
                {env_.Name("hard"), "hardlink"},
                {env_.Name("fifo"), "fifo"},
                {env_.Name("dir"), "dir"}};
  for (const Plant &p : plants) {
    std::string at = ObjectFile("SHAREMEM_", p.name);
    int made = p.how == "symlink"    ? symlink(target.c_str(), at.c_str())
               : p.how == "dangling" ? symlink(missing.c_str(), at.c_str())
               : p.how == "hardlink" ? link(target.c_str(), at.c_str())
               : p.how == "fifo"     ? mkfifo(at.c_str(), 0600)
                                     : mkdir(at.c_str(), 0700);
    ASSERT_EQ(made, 0) << p.how;
    void *addr = nullptr;
    KST_HSHMEM h = nullptr;
    EXPECT_EQ(KstCreateSharedMem(p.name.c_str(), &addr, 16, &h), 5u) << p.how;
    EXPECT_EQ(KstOpenSharedMem(p.name.c_str(), &addr, &h), 5u) << p.how;
    EXPECT_TRUE(PathExists(at)) << p.how;
  }
  EXPECT_EQ(krptest::ReadFile(target), "precious");
  EXPECT_EQ(ModeOf(target), 0640u);
  EXPECT_FALSE(PathExists(missing));
  EXPECT_TRUE(Logged("is a symbolic link, refused"));
  EXPECT_TRUE(Logged("has more than one link, refused"));
  EXPECT_TRUE(Logged("is not a regular file, refused"));
}

TEST_F(ObjectFolderTest, AsRootAFileOfAnotherUserIsRefused) {
  RequireRoot();
  std::string name = env_.Name("theirs");
  std::string at = ObjectFile("SEM32_EVENT_", name);
  krptest::WriteFile(at, std::string(72, '\0'));
  ASSERT_EQ(chown(at.c_str(), kAttacker, kAttacker), 0);
  KST_HSEM e = nullptr;
  EXPECT_EQ(KstCreateEventSem(name.c_str(), 0, 0, &e), 5u);
  EXPECT_TRUE(Logged("is owned by another user, refused"));
  EXPECT_TRUE(PathExists(at));
}

TEST_F(ObjectFolderTest, AsRootAFolderOfAnotherUserIsRefused) {
  RequireRoot();
  ASSERT_EQ(chmod(env_.dir().c_str(), 0711), 0);
  std::string drop = env_.dir() + "/drop";
  ASSERT_EQ(mkdir(drop.c_str(), 0700), 0);
  ASSERT_EQ(chmod(drop.c_str(), 0777), 0);
  std::string theirs = drop + "/objects";
  ASSERT_EQ(RunAsAttacker({"mkdir", "-m", "0755", theirs}), 0);
  setenv("KST_OBJECT_DIR", theirs.c_str(), 1);
  EXPECT_EQ(TryCreate(env_.Name("f")), 5u);
  KST_HSEM m = nullptr;
  EXPECT_EQ(KstCreateMutexSem(env_.Name("f").c_str(), &m), 5u);
  EXPECT_TRUE(Logged("is owned by another user, refused"));
  EXPECT_EQ(ListFolder(theirs), std::vector<std::string>{});
}

// A group folder (root:65534, 2770) that the attacker may write: the link it
// plants at an object's name is refused, and the file it points to keeps its
// contents and mode.
TEST_F(ObjectFolderTest, AsRootALinkPlantedByAnotherUserIsRefused) {
  RequireRoot();
  ASSERT_EQ(chmod(env_.dir().c_str(), 0711), 0);
  ASSERT_EQ(chown(env_.objects().c_str(), 0, kAttacker), 0);
  ASSERT_EQ(chmod(env_.objects().c_str(), 02770), 0);
  std::string target = env_.dir() + "/shadow";
  krptest::WriteFile(target, "root only");
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  std::string name = env_.Name("bait");
  for (const char *prefix : {"SHAREMEM_", "SEM32_EVENT_", "SEM32_"}) {
    ASSERT_EQ(RunAsAttacker({"ln", "-s", target, ObjectFile(prefix, name)}), 0) << prefix;
  }
  EXPECT_EQ(TryCreate(name), 5u);
  KST_HSEM e = nullptr, m = nullptr;
  EXPECT_EQ(KstCreateEventSem(name.c_str(), 1, 1, &e), 5u);
  EXPECT_EQ(KstCreateMutexSem(name.c_str(), &m), 5u);
  EXPECT_EQ(krptest::ReadFile(target), "root only");
  EXPECT_EQ(ModeOf(target), 0600u);
  EXPECT_TRUE(Logged("is a symbolic link, refused"));
  // The folder itself is fine: other names work, with group-shared files.
  std::string ok = env_.Name("fine");
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  ASSERT_EQ(KstCreateSharedMem(ok.c_str(), &addr, 16, &h), 0u);
  EXPECT_EQ(ModeOf(ObjectFile("SHAREMEM_", ok)), 0660u);
  EXPECT_EQ(KstFreeSharedMem(addr, h), 0u);
}

}  // namespace
