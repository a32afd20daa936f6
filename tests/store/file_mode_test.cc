// Modes of the store's files: under umask 000 every file the engine creates
// (store, backup, pack marker, torn tail, copy) takes the classes of its
// folder, and the default store's folder is private, so no value of the
// store is readable by another user.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "os_api.h"
#include "store_fixture.h"
#include "store_maint.h"
#include "test_hooks.h"

namespace {

mode_t ModeOf(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0xFFFF;
  return st.st_mode & 07777;
}

// Records the mode each created file has when it is first synced: the pack
// marker exists only while the pack runs.
struct Recorder {
  std::mutex mu;
  std::map<int, std::string> created;        // fd -> file name
  std::map<std::string, mode_t> synced_mode;  // file name -> mode at its first sync
};
Recorder g_rec;

int RecOpen(const char *path, int flags, mode_t mode) {
  int fd = KstOsApiDefault()->open(path, flags, mode);
  if (fd >= 0 && (flags & O_CREAT)) {
    std::lock_guard<std::mutex> lock(g_rec.mu);
    std::string p = path;
    g_rec.created[fd] = p.substr(p.find_last_of('/') + 1);
  }
  return fd;
}
int RecFsync(int fd) {
  {
    std::lock_guard<std::mutex> lock(g_rec.mu);
    auto it = g_rec.created.find(fd);
    struct stat st;
    if (it != g_rec.created.end() && fstat(fd, &st) == 0)
      g_rec.synced_mode.emplace(it->second, st.st_mode & 07777);
  }
  return KstOsApiDefault()->fsync(fd);
}
int RecClose(int fd) {
  {
    std::lock_guard<std::mutex> lock(g_rec.mu);
    g_rec.created.erase(fd);
  }
  return KstOsApiDefault()->close(fd);
}

class StoreFileMode : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    old_umask_ = umask(0);
  }
  void TearDown() override {
    KstOsApiInstall(nullptr);
    StoreFixture::TearDown();
    umask(old_umask_);
  }
  mode_t old_umask_ = 0;
};

TEST_F(StoreFileMode, TheDefaultStoreAndItsFolderArePrivate) {
  KstTestResetRootCache();
  ASSERT_EQ(StoreInit(&s_, nullptr, nullptr, nullptr, nullptr, 0), 0u);
  ASSERT_EQ(Write("vendor.a", "secret"), 0u);
  const std::string folder = env_.root() + "/resources";
  EXPECT_EQ(ModeOf(folder), 0700u);
  EXPECT_EQ(ModeOf(folder + "/store.kts"), 0600u);
}

TEST_F(StoreFileMode, AStoreFileTakesTheClassesOfItsFolder) {
  // A folder the suite's installer shared with a group: the group reads and
  // writes, nobody else.
  ASSERT_EQ(chmod(env_.dir().c_str(), 02750), 0);
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ModeOf(path_), 0660u);
  Close();
  // Made afresh in a private folder, the same store is private again.
  ASSERT_EQ(chmod(env_.dir().c_str(), 0700), 0);
  ASSERT_EQ(Open(kTsOpenCreate), 0u);
  EXPECT_EQ(ModeOf(path_), 0600u);
}

TEST_F(StoreFileMode, PackBackupAndMarkerArePrivate) {
  ASSERT_EQ(Open(), 0u);
  ASSERT_EQ(Write("vendor.a", "one"), 0u);
  ASSERT_EQ(Write("vendor.a", "two"), 0u);
  KstOsApi api = *KstOsApiDefault();
  api.open = RecOpen;
  api.fsync = RecFsync;
  api.close = RecClose;
  KstOsApiInstall(&api);
  ASSERT_EQ(StorePackStoreFile(s_), 0u);
  KstOsApiInstall(nullptr);
  std::lock_guard<std::mutex> lock(g_rec.mu);
  ASSERT_EQ(g_rec.synced_mode.count("store.old"), 1u);
  ASSERT_EQ(g_rec.synced_mode.count("t.packing"), 1u);
  EXPECT_EQ(g_rec.synced_mode["store.old"], 0600u);
  EXPECT_EQ(g_rec.synced_mode["t.packing"], 0600u);
  // The backup stays beside the store after the pack.
  EXPECT_EQ(ModeOf(folder_ + "store.old"), 0600u);
}

TEST_F(StoreFileMode, ASalvagedTornTailIsPrivate) {
  std::string whole = V4Header() + Record(4, "a", "one") + Record(4, "b", "two");
  SetBytes(whole.substr(0, whole.size() - 10));
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  ASSERT_EQ(Open(kTsOpenSalvageTail), 0u);
  ASSERT_NE(krptest::ReadFile(folder_ + "t.torn"), "");
  EXPECT_EQ(ModeOf(folder_ + "t.torn"), 0600u);
}

TEST_F(StoreFileMode, ACopyTakesTheClassesOfTheTargetFolder) {
  ASSERT_EQ(Open(), 0u);
  ASSERT_EQ(Write("vendor.a", "secret"), 0u);
  struct Case {
    mode_t folder, file;
  };
  const Case cases[] = {{0700, 0600}, {0750, 0660}};
  for (const Case &c : cases) {
    const std::string dir = env_.dir() + "/copies" + std::to_string(c.folder);
    ASSERT_EQ(mkdir(dir.c_str(), c.folder), 0);
    const std::string target = dir + "/copy.kts";
    ASSERT_EQ(StoreCopyStoreFile(s_, target.c_str()), 0u);
    EXPECT_EQ(ModeOf(target), c.file) << std::oct << c.folder;
  }
}

}  // namespace
