// Fragments and blobs through a host in the test process. The returned bytes
// are opened as a store with the engine to check what the fragment holds.
// Every test points TEMP at a folder of its own, so it can see that no
// temporary file is left behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "krplib.h"
#include "names.h"
#include "os_api.h"
#include "platform.h"
#include "resource.h"
#include "store.h"
#include "test_support.h"
#include "ts_multi.h"

namespace {

struct Obj {
  std::string name;
  uint32_t type;
  std::string value;  // after the 16-byte type field
  uint32_t last_wr;
  uint32_t attr;
};

// The stored form: type field, then the value.
std::string Stored(uint32_t type, const std::string &value) {
  std::string s(KRP_TYPE_FIELD_SIZE, '\0');
  KrpTypeName(type, &s[0], KRP_TYPE_FIELD_SIZE);
  return s + value;
}

// What a fragment holds for one name: its words and its data unscrambled.
struct Held {
  std::string data;
  uint32_t last_wr, attr, consumer;
};

int CountEntries(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++n;
  closedir(d);
  return n;
}

class FragmentTest : public testing::Test {
 protected:
  void SetUp() override {
    temp_ = env_.dir() + "/temp";
    ASSERT_EQ(0, mkdir(temp_.c_str(), 0700));
    setenv("TEMP", temp_.c_str(), 1);
  }
  void TearDown() override {
    if (ctx_) dll_KrpUninitializeKrpLib(&ctx_);
    dll_KrpRelease();
    unsetenv("TEMP");
  }
  void StartHost(const std::vector<Obj> &objs) {
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
    for (const Obj &o : objs) {
      std::string data = Stored(o.type, o.value);
      ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, o.name.c_str(), &data[0],
                                       static_cast<uint32_t>(data.size()), o.last_wr, o.attr,
                                       o.type))
          << o.name;
    }
  }

  // Opens fragment bytes as a store and reads every object of it.
  std::map<std::string, Held> Open(const void *bytes, uint32_t size) {
    const std::string dir = env_.dir() + "/check/";
    mkdir(dir.c_str(), 0700);
    krptest::WriteFile(dir + "frag.kts", std::string(static_cast<const char *>(bytes), size));
    std::map<std::string, Held> out;
    TsStore *s = nullptr;
    EXPECT_EQ(0u, StoreInit(&s, dir.c_str(), "frag.kts", nullptr, nullptr, kTsOpenSecondary));
    if (!s) return out;
    void *list = nullptr;
    uint32_t list_size = 0;
    EXPECT_EQ(0u, StoreListObjects(s, "", &list, &list_size, 1));
    const uint8_t *l = static_cast<const uint8_t *>(list);
    for (uint32_t at = 0; at < list_size;) {
      TsListEntry e;
      if (!TsListEntryAt(l, list_size, at, &e)) {
        ADD_FAILURE() << "malformed listing";
        break;
      }
      Held h{};
      uint32_t n = 0;
      EXPECT_EQ(0u, StoreRead(s, e.name, nullptr, &n, &h.last_wr, &h.attr, &h.consumer));
      h.data.resize(n);
      EXPECT_EQ(0u, StoreRead(s, e.name, &h.data[0], &n, &h.last_wr, &h.attr, &h.consumer));
      KstUnscrambleData(KST_SCRAMBLE_KEY, &h.data[0], n);
      out[e.name] = h;
      at += e.length;
    }
    KstFreeMem(list, 0);
    StoreExit(s);
    return out;
  }

  // One dll_KrpGetFragment call; the fragment's objects on success.
  uint32_t Get(const char *name, uint32_t flags, std::map<std::string, Held> *held) {
    uint32_t size = 77;
    void *buf = reinterpret_cast<void *>(1);
    const uint32_t rc = dll_KrpGetFragment(name, flags, &size, &buf);
    if (rc == 0) {
      EXPECT_NE(nullptr, buf);
      EXPECT_GT(size, 0u);
      if (held) *held = Open(buf, size);
    } else {
      EXPECT_EQ(nullptr, buf);
      EXPECT_EQ(0u, size);
    }
    dll_KrpFreeMem(buf);
    return rc;
  }

  krptest::TestEnv env_;
  std::string temp_;
  KRP_HLIBCTX ctx_ = nullptr;
};

const std::vector<Obj> kApp = {
    {"vendor.app.title", KRT_TEXT, std::string("Hello", 6), 1000, 0x20},
    // Over the engine's inline limit: read from the fragment file itself.
    {"vendor.app.sub.icon", KRT_BYTEARRAY, std::string(300, '\x5a'), 2000, 0x400000},
    {"vendor.app.count", KRT_INTEGER, std::string("\x07\0\0\0", 4), 3000, 0},
    {"vendor.application.x", KRT_TEXT, std::string("no", 3), 4000, 0},
    {"vendor.other", KRT_TEXT, std::string("no", 3), 5000, 0},
};

TEST_F(FragmentTest, BlobHoldsShortNamesWordsDataAndItsRecordedPrefix) {
  StartHost(kApp);
  uint32_t size = 0;
  void *buf = nullptr;
  ASSERT_EQ(0u, dll_KrpGetBlob("vendor.app", &size, &buf));
  std::map<std::string, Held> held = Open(buf, size);
  dll_KrpFreeMem(buf);

  ASSERT_EQ(4u, held.size());
  for (size_t i = 0; i < 3; ++i) {
    const Obj &o = kApp[i];
    const std::string shortname = o.name.substr(strlen("vendor.app."));
    SCOPED_TRACE(shortname);
    ASSERT_EQ(1u, held.count(shortname));
    const Held &h = held[shortname];
    EXPECT_EQ(Stored(o.type, o.value), h.data);
    EXPECT_EQ(o.last_wr, h.last_wr);
    EXPECT_EQ(o.attr, h.attr);
    EXPECT_EQ(o.type, h.consumer);
  }
  ASSERT_EQ(1u, held.count("__system.blob_fullpath"));
  const Held &p = held["__system.blob_fullpath"];
  EXPECT_EQ(Stored(KRT_TEXT, std::string("vendor.app.", 12)), p.data);
  EXPECT_EQ(0u, p.attr);
  EXPECT_EQ(1u, p.consumer);
  EXPECT_GT(p.last_wr, 0u);
  EXPECT_EQ(0, CountEntries(temp_));
}

// The way back: a blob of a container, merged with its recorded prefix after
// the container was emptied, gives every value, stamp, attribute (now with
// the merge mark 0x100) and type word back under its full name, and nothing
// else: the blob's own system object is not written into the store.
TEST_F(FragmentTest, BlobMergedWithItsRecordedPrefixRestoresTheContainer) {
  StartHost(kApp);
  uint32_t size = 0;
  void *buf = nullptr;
  ASSERT_EQ(0u, dll_KrpGetBlob("vendor.app", &size, &buf));
  for (size_t i = 0; i < 3; ++i) ASSERT_EQ(0u, KrpStoreKtsDeleteMt(0, kApp[i].name.c_str()));
  ASSERT_EQ(0u, dll_KrpMergeIntoStore(buf, nullptr, size, nullptr, nullptr,
                                      KRP_MERGE_FULL_NAMES | KRP_MERGE_OVERWRITE));
  dll_KrpFreeMem(buf);
  for (const Obj &o : kApp) {
    SCOPED_TRACE(o.name);
    void *data = nullptr;
    uint32_t n = 0, last_wr = 0, attr = 0, consumer = 0;
    ASSERT_EQ(0u, KrpStoreKtsReadMt(0, o.name.c_str(), &data, &n, &last_wr, &attr, &consumer));
    const bool merged = o.name.rfind("vendor.app.", 0) == 0;
    EXPECT_EQ(Stored(o.type, o.value), std::string(static_cast<char *>(data), n));
    EXPECT_EQ(o.last_wr, last_wr);
    EXPECT_EQ(merged ? (o.attr | 0x100u) : o.attr, attr);
    EXPECT_EQ(o.type, consumer);
    KstFreeMem(data, 0);
  }
  void *data = nullptr;
  uint32_t n = 0, last_wr = 0, attr = 0, consumer = 0;
  // The service answers a missing name with size 0.
  EXPECT_EQ(0u, KrpStoreKtsReadMt(0, "__system.blob_fullpath", &data, &n, &last_wr, &attr,
                                  &consumer));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(0, CountEntries(temp_));
}

TEST_F(FragmentTest, FragmentDataIsScrambledAsTheMachineStoreKeepsIt) {
  StartHost(kApp);
  std::map<std::string, Held> held;
  ASSERT_EQ(0u, Get("vendor.app", 0, &held));
  // Open() unscrambled; the raw bytes must be the scrambled stored form.
  std::string want = Stored(KRT_TEXT, std::string("Hello", 6));
  std::string scrambled = want;
  KstScrambleData(KST_SCRAMBLE_KEY, &scrambled[0], static_cast<uint32_t>(scrambled.size()));
  EXPECT_NE(want, scrambled);
  EXPECT_EQ(want, held["title"].data);
  uint32_t size = 0;
  void *buf = nullptr;
  ASSERT_EQ(0u, dll_KrpGetFragment("vendor.app", 0, &size, &buf));
  const std::string bytes(static_cast<char *>(buf), size);
  dll_KrpFreeMem(buf);
  EXPECT_NE(std::string::npos, bytes.find(scrambled));
  EXPECT_EQ(std::string::npos, bytes.find(want));
}

TEST_F(FragmentTest, NamingFormsSelectTheirObjects) {
  StartHost(kApp);
  struct Case {
    const char *name;
    uint32_t flags;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"vendor.app", 0, {"count", "sub.icon", "title"}},
      {"kts:vendor.app", 1, {"__system.blob_fullpath", "count", "sub.icon", "title"}},
      {"vendor.app.sub", 0, {"icon"}},
      // The whole store: full names, and no recorded prefix even with bit 0x1.
      {"", 1, {"vendor.app.count", "vendor.app.sub.icon", "vendor.app.title",
               "vendor.application.x", "vendor.other"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, Held> held;
    ASSERT_EQ(0u, Get(c.name, c.flags, &held));
    std::vector<std::string> got;
    for (const auto &kv : held) got.push_back(kv.first);
    EXPECT_EQ(c.names, got);
  }
  EXPECT_EQ(0, CountEntries(temp_));
}

TEST_F(FragmentTest, ContainerWithoutResourcesIsNotFoundAndLeavesNoTemporaryFile) {
  StartHost(kApp);
  for (const char *name : {"vendor.none", "vendor.app.title", "vendor.ap"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(0x370001u, Get(name, 0, nullptr));
    EXPECT_EQ(0, CountEntries(temp_));
  }
}

TEST_F(FragmentTest, NullBufferGivesOnlyTheSize) {
  StartHost(kApp);
  uint32_t full = 0;
  void *buf = nullptr;
  ASSERT_EQ(0u, dll_KrpGetFragment("vendor.app", 0, &full, &buf));
  dll_KrpFreeMem(buf);
  uint32_t size = 0;
  EXPECT_EQ(0u, dll_KrpGetFragment("vendor.app", 0, &size, nullptr));
  EXPECT_EQ(full, size);
  size = 0;
  EXPECT_EQ(0u, dll_KrpGetBlob("vendor.app", &size, nullptr));
  EXPECT_GT(size, full);
  EXPECT_EQ(0, CountEntries(temp_));
}

TEST_F(FragmentTest, ArgumentsAreCheckedBeforeAnythingElse) {
  // No host: every one of these is refused before the service is asked.
  uint32_t size = 5;
  void *buf = nullptr;
  EXPECT_EQ(87u, dll_KrpGetFragment(nullptr, 0, &size, &buf));
  EXPECT_EQ(87u, dll_KrpGetFragment("vendor.app", 0, nullptr, &buf));
  EXPECT_EQ(87u, dll_KrpGetBlob(nullptr, &size, &buf));
  EXPECT_EQ(87u, dll_KrpGetBlob("vendor.app", nullptr, &buf));
  EXPECT_EQ(207u, dll_KrpGetBlob("http://vendor.app", &size, &buf));
  EXPECT_EQ(nullptr, buf);
}

TEST_F(FragmentTest, NoHostGivesNoServerWithItsLogLine) {
  const std::string log = env_.dir() + "/log.txt";
  setenv("TRACELIB_FILE", log.c_str(), 1);
  uint32_t size = 5;
  void *buf = nullptr;
  EXPECT_EQ(0x141001u, dll_KrpGetFragment("vendor.app", 0, &size, &buf));
  unsetenv("TRACELIB_FILE");
  EXPECT_EQ(0u, size);
  EXPECT_NE(std::string::npos,
            krptest::ReadFile(log).find(
                "GetBlob requires running Haldo (bailing out) (getblob on vendor.app)\n"))
      << krptest::ReadFile(log);
  EXPECT_EQ(0x141001u, dll_KrpGetBlob("vendor.app", &size, &buf));
  EXPECT_EQ(nullptr, buf);
  EXPECT_EQ(0, CountEntries(temp_));
}

TEST_F(FragmentTest, PrefixOverTheNameLimitIsTooLong) {
  StartHost(kApp);
  const std::string fits(kTsMaxName - 1, 'a');  // + "." = 259
  const std::string over(kTsMaxName, 'a');
  EXPECT_EQ(0x370001u, Get(fits.c_str(), 0, nullptr));
  EXPECT_EQ(0x37000Fu, Get(over.c_str(), 0, nullptr));
  EXPECT_EQ(0x37000Fu, Get(("kts:" + over).c_str(), 0, nullptr));
  EXPECT_EQ(0, CountEntries(temp_));
}

// ---- the temporary file cannot be planted or swapped ---------------------------
// The open hook replaces the freshly created temporary file right before the
// engine opens it (the only open of a ".kts" name in the temporary folder
// without O_EXCL), as another user with rights on the folder could. The hook
// table is installed before the host starts and removed after it stopped
// (the server thread reads the table too); between calls it is armed and
// disarmed through atomics.
enum Swap : int { kSymlink, kOtherFile };
std::atomic<int> g_swap{kSymlink};
std::atomic<bool> g_armed{false};
std::string g_temp, g_victim, g_aside;  // set before the host starts

int SwappingOpen(const char *path, int flags, mode_t mode) {
  const std::string p(path);
  if (!(flags & O_EXCL) && p.compare(0, g_temp.size(), g_temp) == 0 && p.size() > 4 &&
      p.compare(p.size() - 4, 4, ".kts") == 0 && g_armed.exchange(false)) {
    // Moved aside rather than removed: a removed file's inode number could be
    // given to its replacement at once (the owner check covers that case
    // against another user; here every file is this user's).
    EXPECT_EQ(0, rename(path, g_aside.c_str()));
    if (g_swap.load() == kSymlink) {
      EXPECT_EQ(0, symlink(g_victim.c_str(), path));
    } else {
      krptest::WriteFile(p, "");
    }
  }
  return KstOsApiDefault()->open(path, flags, mode);
}

TEST_F(FragmentTest, ASwappedTemporaryFileIsRefusedAndNothingIsWrittenThroughIt) {
  g_temp = temp_ + "/";
  g_victim = env_.dir() + "/victim";
  g_aside = env_.dir() + "/aside";
  static KstOsApi api = *KstOsApiDefault();
  api.open = SwappingOpen;
  KstOsApiInstall(&api);
  StartHost(kApp);
  for (Swap swap : {kSymlink, kOtherFile}) {
    SCOPED_TRACE(swap == kSymlink ? "symlink" : "other file");
    krptest::WriteFile(g_victim, "keep");
    g_swap = swap;
    g_armed = true;
    uint32_t size = 0;
    void *buf = nullptr;
    const uint32_t rc = dll_KrpGetFragment("vendor.app", 0, &size, &buf);
    EXPECT_FALSE(g_armed.exchange(false));  // the swap happened
    EXPECT_EQ(5u, rc);
    EXPECT_EQ(nullptr, buf);
    EXPECT_EQ("keep", krptest::ReadFile(g_victim));
    EXPECT_EQ(0, CountEntries(temp_));
  }
  EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
  ctx_ = nullptr;
  KstOsApiInstall(nullptr);
}

}  // namespace
