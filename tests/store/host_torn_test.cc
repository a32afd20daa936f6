// A writer killed in the middle of a large record leaves the store file
// ending inside that record (a torn tail). Nobody may be locked out by it:
// a direct read serves every whole record and changes nothing, a direct
// write salvages the tail and goes on, and the library's own host starts
// (salvaging it the same way) without any repair tool.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "krplib.h"
#include "store_fixture.h"
#include "store_maint.h"

namespace {

constexpr int kSmall = 20;
constexpr uint32_t kBigSize = 96u << 20;  // long enough to be killed in the middle

std::string SmallValue(int i) { return "value " + std::to_string(i) + std::string(i * 20, 'v'); }

// Writes kSmall small objects, says so, then appends large records for ever.
KRP_CHILD_ROLE_FN(big_writer) {
  TsStore *s = nullptr;
  if (StoreInit(&s, args.at(0).c_str(), "t.kts", nullptr, nullptr, 0)) return 3;
  for (int i = 0; i < kSmall; ++i) {
    std::string n = "w.k" + std::to_string(i), v = SmallValue(i);
    if (StoreWrite(s, n.c_str(), v.data(), uint32_t(v.size()), 1, 0, 2)) return 4;
  }
  std::string big(kBigSize, 'B');
  krptest::WriteFile(args.at(1), "ready");
  for (int j = 0;; ++j) {
    std::string n = "w.big" + std::to_string(j);
    StoreWrite(s, n.c_str(), big.data(), uint32_t(big.size()), 1, 0, 2);
  }
}

class HostTorn : public StoreFixture {
 protected:
  static uint64_t FileSize(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
  }

  // Kills the writer while its first large record is being written; *whole
  // gets the length of the whole records before it. False when every try
  // missed the middle of the write.
  bool KillInTheMiddle(uint64_t *whole) {
    const std::string ready = env_.dir() + "/ready";
    const uint64_t big_rec = 76 + std::string("w.big0").size() + 1 + kBigSize + 32;
    for (int attempt = 0; attempt < 20; ++attempt) {
      unlink(path_.c_str());
      unlink(ready.c_str());
      pid_t pid = krptest::SpawnRole("big_writer", {folder_, ready});
      // Both waits are bounded only so that a child that failed on its own
      // cannot hang the test; the child's status tells that afterwards.
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (krptest::ReadFile(ready).empty() && std::chrono::steady_clock::now() < give_up)
        usleep(200);
      *whole = FileSize(path_);
      // The append has begun once the file grows; kill it soon after.
      while (FileSize(path_) <= *whole + 4096 && std::chrono::steady_clock::now() < give_up) {
      }
      usleep(attempt * 500);
      kill(pid, SIGKILL);
      EXPECT_EQ(krptest::WaitChild(pid), 128 + SIGKILL);
      uint64_t size = FileSize(path_);
      if (size > *whole && size < *whole + big_rec) return true;
    }
    return false;
  }

  void ExpectWholeRecordsDirect() {
    for (int i = 0; i < kSmall; ++i) {
      std::string n = "w.k" + std::to_string(i);
      void *data = nullptr;
      uint32_t size = 0, lw, at, co;
      ASSERT_EQ(StoreForceRead(path_.c_str(), n.c_str(), &data, &size, &lw, &at, &co), 0u) << n;
      std::string got(static_cast<char *>(data), size);
      KstFreeMem(data, 0);
      EXPECT_EQ(got, SmallValue(i)) << n;
    }
  }
};

TEST_F(HostTorn, DirectReadDirectWriteAndHostStartAllGoOnAfterAWriterWasKilledMidRecord) {
  uint64_t whole = 0;
  ASSERT_TRUE(KillInTheMiddle(&whole)) << "no kill landed inside the large write";
  const std::string torn_file = Bytes();
  const std::string cut = torn_file.substr(whole);

  // 1. A direct read: every whole record, the torn one absent, no change.
  ASSERT_NO_FATAL_FAILURE(ExpectWholeRecordsDirect());
  void *data = nullptr;
  uint32_t size = 7, lw, at, co;
  EXPECT_EQ(StoreForceRead(path_.c_str(), "w.big0", &data, &size, &lw, &at, &co), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(Bytes() == torn_file);

  // 2. The library's host, started as an application starts it (no salvage
  // flag of its own), opens the store and serves it.
  KRP_HLIBCTX ctx = nullptr;
  ASSERT_EQ(dll_KrpInitializeKrpLibUsingNamedStore(&ctx, 0, folder_.c_str(), "t.kts"), 0u)
      << Log();
  EXPECT_EQ(dll_KrpUninitializeKrpLib(&ctx), 0u);
  EXPECT_EQ(FileSize(path_), whole);
  EXPECT_TRUE(krptest::ReadFile(folder_ + "t.torn") == cut);
  ASSERT_NO_FATAL_FAILURE(ExpectWholeRecordsDirect());

  // 3. A direct write on the same torn file salvages it as the host did.
  SetBytes(torn_file);
  unlink((folder_ + "t.torn").c_str());
  uint32_t n = 5, w_lw = 9, w_at = 0, w_co = 3;
  ASSERT_EQ(StoreForceWrite(path_.c_str(), "w.new", "fresh", &n, &w_lw, &w_at, &w_co), 0u);
  EXPECT_TRUE(krptest::ReadFile(folder_ + "t.torn") == cut);
  ASSERT_NO_FATAL_FAILURE(ExpectWholeRecordsDirect());
  data = nullptr;
  ASSERT_EQ(StoreForceRead(path_.c_str(), "w.new", &data, &size, &lw, &at, &co), 0u);
  EXPECT_EQ(std::string(static_cast<char *>(data), size), "fresh");
  KstFreeMem(data, 0);
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(s_->active, uint32_t(kSmall + 1));
}

}  // namespace
