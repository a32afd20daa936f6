// The order of writes and syncs: what reaches the disk before what.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "os_api.h"
#include "store_fixture.h"

namespace {

// Every pwrite and fsync the platform makes, in order.
struct Event {
  char kind;  // 'w' pwrite, 's' fsync of a file, 'd' fsync of a folder
  off_t off;
  std::string bytes;
};
std::mutex g_mu;
std::vector<Event> g_events;

ssize_t RecPwrite(int fd, const void *buf, size_t n, off_t off) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_events.push_back({'w', off, std::string(static_cast<const char *>(buf), n)});
  }
  return pwrite(fd, buf, n, off);
}
int RecFsync(int fd) {
  struct stat st;
  char kind = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? 'd' : 's';
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_events.push_back({kind, 0, ""});
  }
  return fsync(fd);
}

// Installed before a store opens and removed after it closed: the table is
// never swapped while the flush thread may be inside the platform layer.
KstOsApi g_api;

class Recording {
 public:
  Recording() {
    g_api = *KstOsApiDefault();
    g_api.pwrite = RecPwrite;
    g_api.fsync = RecFsync;
    std::lock_guard<std::mutex> lock(g_mu);
    g_events.clear();
    KstOsApiInstall(&g_api);
  }
  ~Recording() { KstOsApiInstall(nullptr); }
  static void Clear() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_events.clear();
  }
  static std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_events;
  }
  static size_t Syncs() {
    size_t n = 0;
    for (const Event &e : Events()) n += e.kind == 's';
    return n;
  }
};

using StoreDurability = StoreFixture;

TEST_F(StoreDurability, NewStoreFileAndItsFolderAreSyncedBeforeUse) {
  Recording rec;
  ASSERT_EQ(Open(), 0u);
  std::vector<Event> ev = Recording::Events();
  Close();
  ASSERT_GE(ev.size(), 3u);
  EXPECT_EQ(ev[0].kind, 'w');
  EXPECT_EQ(ev[0].bytes.size(), 1060u);
  EXPECT_EQ(ev[1].kind, 's');
  EXPECT_EQ(ev[2].kind, 'd');
}

TEST_F(StoreDurability, ExitSyncsTheDataBeforeTheCloseTag) {
  Recording rec;
  ASSERT_EQ(Open(), 0u);
  Recording::Clear();
  ASSERT_EQ(Write("a", "1"), 0u);
  ASSERT_EQ(StoreDelete(s_, "a"), 0u);
  Close();
  std::vector<Event> ev = Recording::Events();
  int last_data = -1, tag = -1, sync_between = -1, sync_after = -1;
  for (int i = 0; i < int(ev.size()); ++i) {
    const Event &e = ev[i];
    if (e.kind == 'w' && e.off != 0) last_data = i;
    if (e.kind == 'w' && e.off == 0 && e.bytes.size() == 1060 && e.bytes.substr(28, 4) == "OkkO")
      tag = i;
    if (e.kind == 's' && tag < 0 && i > last_data) sync_between = i;
    if (e.kind == 's' && tag >= 0 && i > tag) sync_after = i;
  }
  ASSERT_GE(last_data, 0);
  ASSERT_GT(tag, last_data);
  EXPECT_GT(sync_between, last_data);
  EXPECT_LT(sync_between, tag);
  EXPECT_GT(sync_after, tag);
}

TEST_F(StoreDurability, FlushThreadSyncsAChangeWithinItsPeriod) {
  Recording rec;
  ASSERT_EQ(Open(), 0u);
  Recording::Clear();
  ASSERT_EQ(Write("a", "1"), 0u);
  // The thread wakes every 2 s; allow generous slack on a loaded machine.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Recording::Syncs() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(Recording::Syncs(), 1u);
  Close();
}

TEST_F(StoreDurability, SecondaryStoreHasNoFlushThreadAndWritesNothing) {
  ASSERT_EQ(Open(), 0u);
  Close();
  Recording rec;
  ASSERT_EQ(Open(0x80000000u), 0u);
  EXPECT_EQ(s_->flush_thread, nullptr);
  Close();
  EXPECT_TRUE(Recording::Events().empty());
}

}  // namespace
