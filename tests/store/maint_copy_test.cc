// Copy of an open store: the bytes, the stamp in the copy's header, the
// report, and the targets it must refuse.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os_api.h"
#include "store_fixture.h"
#include "store_maint.h"

namespace {

KstOsApi g_api;
int g_fail_writes = 0;   // pwrite fails with ENOSPC once this many went through (0: never)
int g_writes = 0;
bool g_eof_reads = false;  // pread reports the end of the file

ssize_t FPwrite(int fd, const void *b, size_t n, off_t off) {
  if (g_fail_writes && ++g_writes >= g_fail_writes) return errno = ENOSPC, -1;
  return pwrite(fd, b, n, off);
}
ssize_t FPread(int fd, void *b, size_t n, off_t off) {
  if (g_eof_reads) return 0;
  return pread(fd, b, n, off);
}

class Copy : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    target_ = env_.dir() + "/copy.kts";
    ASSERT_EQ(Open(), 0u);
    ASSERT_EQ(Write("a.b", std::string(500, 'x')), 0u);
    ASSERT_EQ(Write("a.c", "1"), 0u);
    ASSERT_EQ(Write("a.d", "2", kTsAttrSupersized), 0u);
    ASSERT_EQ(StoreDelete(s_, "a.c"), 0u);
  }
  void TearDown() override {
    KstOsApiInstall(nullptr);
    g_fail_writes = g_writes = 0;
    g_eof_reads = false;
    StoreFixture::TearDown();
  }
  void Inject() {
    g_api = *KstOsApiDefault();
    g_api.pwrite = FPwrite;
    g_api.pread = FPread;
    KstOsApiInstall(&g_api);
  }
  std::string target_;
};

TEST_F(Copy, CopyIsTheStoreWithTheStampInItsHeader) {
  std::string before = Bytes();
  ClearLog();
  uint32_t t0 = uint32_t(time(nullptr));
  ASSERT_EQ(StoreCopyStoreFile(s_, target_.c_str()), 0u);
  std::string c = krptest::ReadFile(target_);
  ASSERT_EQ(c.size(), before.size());
  // Records identical; the header carries the statistics and the tag.
  EXPECT_TRUE(c.substr(1060) == before.substr(1060));
  EXPECT_EQ(U32(c, kTsHdrOffCloseTag), kTsCloseTag);
  EXPECT_GE(U32(c, kTsHdrOffCloseTime), t0);
  EXPECT_EQ(U32(c, kTsHdrOffActive), 2u);
  EXPECT_EQ(U32(c, kTsHdrOffDeleted), 1u);
  EXPECT_EQ(U32(c, kTsHdrOffSupersized), 1u);
  EXPECT_EQ(U32(c, kTsHdrOffDbSize), s_->db_size);
  EXPECT_EQ(U32(c, kTsHdrOffWasted), s_->wasted);
  EXPECT_EQ(c.substr(kTsHdrOffBuild, 52), before.substr(kTsHdrOffBuild, 52));  // build, open time
  // The running store's own file still says "open".
  EXPECT_TRUE(Bytes() == before);
  EXPECT_EQ(U32(Bytes(), kTsHdrOffCloseTag), 0u);
  std::string log = Log();
  EXPECT_NE(log.find("Resource database copied"), std::string::npos);
  EXPECT_NE(log.find("Source path......: " + folder_ + "t.kts"), std::string::npos);
  EXPECT_NE(log.find("Target path......: " + target_), std::string::npos);
  EXPECT_NE(log.find("Store size.......: " + std::to_string(before.size()) + " bytes"),
            std::string::npos);
  // The copy opens as an orderly closed store with the same objects.
  TsStore *c2 = nullptr;
  ASSERT_EQ(StoreInit(&c2, (env_.dir() + "/").c_str(), "copy.kts", nullptr, nullptr, 0), 0u);
  EXPECT_EQ(c2->close_tag_seen, 1u);
  EXPECT_EQ(c2->active, 2u);
  StoreExit(c2);
  // An existing regular file is replaced.
  krptest::WriteFile(target_, std::string(100000, 'z'));
  ASSERT_EQ(StoreCopyStoreFile(s_, target_.c_str()), 0u);
  EXPECT_EQ(krptest::ReadFile(target_).size(), before.size());
}

TEST_F(Copy, SecondaryStoreIsCopiedUnstamped) {
  Close();
  std::string before = Bytes();
  ASSERT_EQ(Open(kTsOpenSecondary), 0u);
  ASSERT_EQ(StoreCopyStoreFile(s_, target_.c_str()), 0u);
  EXPECT_TRUE(krptest::ReadFile(target_) == before);
}

// Never through a link, never over anything but a regular file with one
// name: each such target gives 5 and stays as it was.
TEST_F(Copy, RefusedTargets) {
  std::string victim = env_.dir() + "/victim";
  krptest::WriteFile(victim, "keep me");
  ASSERT_EQ(symlink(victim.c_str(), target_.c_str()), 0);
  EXPECT_EQ(StoreCopyStoreFile(s_, target_.c_str()), KST_ERR_ACCESS_DENIED);
  EXPECT_EQ(krptest::ReadFile(victim), "keep me");
  unlink(target_.c_str());
  std::string dangling = env_.dir() + "/nowhere";
  ASSERT_EQ(symlink(dangling.c_str(), target_.c_str()), 0);
  EXPECT_EQ(StoreCopyStoreFile(s_, target_.c_str()), KST_ERR_ACCESS_DENIED);
  EXPECT_NE(access(dangling.c_str(), F_OK), 0);  // nothing created through the link
  unlink(target_.c_str());
  ASSERT_EQ(link(victim.c_str(), target_.c_str()), 0);
  EXPECT_EQ(StoreCopyStoreFile(s_, target_.c_str()), KST_ERR_ACCESS_DENIED);
  EXPECT_EQ(krptest::ReadFile(victim), "keep me");
  unlink(target_.c_str());
  ASSERT_EQ(mkdir(target_.c_str(), 0700), 0);
  EXPECT_EQ(StoreCopyStoreFile(s_, target_.c_str()), KST_ERR_ACCESS_DENIED);
  rmdir(target_.c_str());
  ASSERT_EQ(mkfifo(target_.c_str(), 0600), 0);
  EXPECT_EQ(StoreCopyStoreFile(s_, target_.c_str()), KST_ERR_ACCESS_DENIED);
  unlink(target_.c_str());
  // The pack's backup obeys the same rule.
  std::string backup = folder_ + "store.old";
  ASSERT_EQ(symlink(victim.c_str(), backup.c_str()), 0);
  EXPECT_EQ(StorePackStoreFile(s_), TS_ERR_PACK_WRITE);
  EXPECT_EQ(krptest::ReadFile(victim), "keep me");
}

TEST_F(Copy, Failures) {
  ClearLog();
  EXPECT_EQ(StoreCopyStoreFile(nullptr, target_.c_str()), KST_ERR_INVALID_HANDLE);
  EXPECT_NE(Log().find("<<<<         Error code: 00000006h"), std::string::npos);
  EXPECT_NE(Log().find("Copying the resource database failed."), std::string::npos);
  // A failed write: its code, the banner, no partial copy left behind.
  Inject();
  g_fail_writes = 1;
  ClearLog();
  EXPECT_EQ(StoreCopyStoreFile(s_, target_.c_str()), KST_ERR_DISK_FULL);
  EXPECT_NE(Log().find("<<<<         Error code: 00000070h"), std::string::npos);
  EXPECT_NE(access(target_.c_str(), F_OK), 0);
  // A source that ends early is a short copy (38), not a success.
  g_fail_writes = 0;
  g_eof_reads = true;
  EXPECT_EQ(StoreCopyStoreFile(s_, target_.c_str()), KST_ERR_HANDLE_EOF);
  EXPECT_NE(access(target_.c_str(), F_OK), 0);
  g_eof_reads = false;
  KstOsApiInstall(nullptr);
  std::string got;
  EXPECT_EQ(Read("a.b", &got), 0u);
}

}  // namespace
