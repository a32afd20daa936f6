// Product folders, temporary files, the registry folder, environment,
// folder creation and file attributes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "os_api.h"
#include "platform.h"
#include "test_hooks.h"
#include "test_support.h"

namespace {

bool Exists(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

bool IsDir(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Number of entries in a folder ("." and ".." not counted).
int CountEntries(const std::string &dir) {
  std::string cmd = "ls -A '" + dir + "' | wc -l";
  FILE *f = popen(cmd.c_str(), "r");
  int n = -1;
  if (f) {
    if (fscanf(f, "%d", &n) != 1) n = -1;
    pclose(f);
  }
  return n;
}

// Sets (or with nullopt unsets) one variable and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, std::optional<std::string> value) : name_(name) {
    if (const char *old = getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// True when `path` is folder + "/" + 8 lowercase hex digits + "." + ext.
bool IsTempName(const std::string &path, const std::string &folder, const std::string &ext) {
  const std::string head = folder + "/";
  if (path.size() != head.size() + 9 + ext.size()) return false;
  if (path.compare(0, head.size(), head) != 0) return false;
  for (size_t i = head.size(); i < head.size() + 8; ++i) {
    if (!isdigit(static_cast<unsigned char>(path[i])) && (path[i] < 'a' || path[i] > 'f'))
      return false;
  }
  return path.compare(head.size() + 8, std::string::npos, "." + ext) == 0;
}

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t m) : old_(umask(m)) {}
  ~ScopedUmask() { umask(old_); }

 private:
  mode_t old_;
};

class ScopedOsApi {
 public:
  explicit ScopedOsApi(const KstOsApi *api) { KstOsApiInstall(api); }
  ~ScopedOsApi() { KstOsApiInstall(nullptr); }
};

// A private registry and root, and no temporary-folder variables unless a
// test sets them.
class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override { UseEnv(true); }
  void TearDown() override { KstTestResetRootCache(); }

  void UseEnv(bool with_root) {
    env_.reset();
    env_ = std::make_unique<krptest::TestEnv>(with_root);
    KstTestResetRootCache();
  }
  const std::string &root() const { return env_->root(); }
  std::string Query(uint32_t kind, uint32_t *rc) {
    char buf[KST_MAX_PATH];
    memset(buf, 0, sizeof buf);
    *rc = KstQueryKestarPath(kind, buf, sizeof buf);
    return buf;
  }

  std::unique_ptr<krptest::TestEnv> env_;
  ScopedEnv temp_{"TEMP", std::nullopt};
  ScopedEnv tmp_{"TMP", std::nullopt};
  ScopedEnv tmpdir_{"TMPDIR", std::nullopt};
};

// ---- KstQueryKestarPath -----------------------------------------------------

TEST_F(PathsTest, EveryFolderKindEndsInSlashAndExists) {
  struct Case {
    uint32_t kind;
    const char *sub;
  };
  const Case cases[] = {
      {KPATH_ROOT, ""},           {KPATH_DOWNLOAD, "download/"},
      {KPATH_DISTRIB, "distrib/"}, {KPATH_MSG, "msg/"},
      {KPATH_DOM, "dom/"},         {KPATH_LOGS, "logs/"},
      {KPATH_BIN, "bin/"},         {KPATH_CONFIG, "config/"},
      {KPATH_BIN2, "bin/"},        {KPATH_INFO, "info/"},
      {KPATH_RESOURCES, "resources/"}, {KPATH_DISTRIB_DOWNLOAD, "distrib/download/"},
      {KPATH_LOGLIB, "lib/"},      {KPATH_TASKS, "tasks/"},
      {KPATH_ROOT_TEMP, "temp/"},  {KPATH_QUARANTINE, "quarantine/"},
      {KPATH_BACKUPS, "backups/"}, {KPATH_TEMP, "temp/"},
  };
  for (const Case &c : cases) {
    uint32_t rc;
    std::string got = Query(c.kind, &rc);
    EXPECT_EQ(rc, KST_OK) << c.kind;
    EXPECT_EQ(got, root() + "/" + c.sub) << c.kind;
    EXPECT_TRUE(IsDir(got)) << c.kind;
  }
}

TEST_F(PathsTest, MissingParentsOfTheRootAreCreated) {
  std::string deep = env_->dir() + "/not/yet/there";
  env_->SetRegistryValue("Kestarcorp", "RootPath", deep);
  KstTestResetRootCache();
  uint32_t rc;
  EXPECT_EQ(Query(KPATH_DISTRIB_DOWNLOAD, &rc), deep + "/distrib/download/");
  EXPECT_EQ(rc, KST_OK);
  EXPECT_TRUE(IsDir(deep + "/distrib/download"));
}

TEST_F(PathsTest, BadArgumentsAndUnknownKindsGive87) {
  char buf[KST_MAX_PATH];
  EXPECT_EQ(KstQueryKestarPath(KPATH_ROOT, nullptr, sizeof buf), KST_ERR_INVALID_PARAMETER);
  EXPECT_EQ(KstQueryKestarPath(KPATH_ROOT, buf, 0), KST_ERR_INVALID_PARAMETER);
  for (uint32_t kind : {1u, 3u, 7u, 19u, 50u, 53u, 106u, 200u, 999u, 0xFFFFFFFFu}) {
    EXPECT_EQ(KstQueryKestarPath(kind, buf, sizeof buf), KST_ERR_INVALID_PARAMETER) << kind;
  }
  EXPECT_EQ(CountEntries(root()), 0);
}

TEST_F(PathsTest, WithoutRootOnlyTheTemporaryFolderAndNamesAnswer) {
  UseEnv(false);
  uint32_t rc;
  for (uint32_t kind : {KPATH_ROOT, KPATH_LOGS, KPATH_LOGLIB, KPATH_ROOT_TEMP}) {
    Query(kind, &rc);
    EXPECT_EQ(rc, KST_ERR_FILE_NOT_FOUND) << kind;
  }
  EXPECT_EQ(Query(KPATH_TEMP, &rc), "/tmp/");
  EXPECT_EQ(rc, KST_OK);
  {
    ScopedEnv t("TEMP", env_->dir() + "/t");
    EXPECT_EQ(Query(KPATH_TEMP, &rc), env_->dir() + "/t/");
    EXPECT_EQ(rc, KST_OK);
    EXPECT_TRUE(IsDir(env_->dir() + "/t"));
  }
  EXPECT_FALSE(Query(KPATH_USERNAME, &rc).empty());
  EXPECT_EQ(rc, KST_OK);

  // A failed read is not remembered: once the root is recorded it is found.
  env_->SetRegistryValue("Kestarcorp", "RootPath", root());
  EXPECT_EQ(Query(KPATH_ROOT, &rc), root() + "/");
  EXPECT_EQ(rc, KST_OK);
}

TEST_F(PathsTest, TemporaryFolderTakesTheFirstVariableSet) {
  const std::string d = env_->dir();
  struct Case {
    std::optional<std::string> temp, tmp, tmpdir;
    std::string want;
  };
  const Case cases[] = {
      {d + "/a", d + "/b", d + "/c", d + "/a/"},
      {std::nullopt, d + "/b", d + "/c", d + "/b/"},
      {std::nullopt, std::nullopt, d + "/c", d + "/c/"},
      // An empty variable is not a folder (it would make "/").
      {"", "", d + "/c", d + "/c/"},
      {std::nullopt, std::nullopt, std::nullopt, root() + "/temp/"},
      {d + "\\w\\x", std::nullopt, std::nullopt, d + "/w/x/"},
      {d + "/slash/", std::nullopt, std::nullopt, d + "/slash/"},
  };
  for (const Case &c : cases) {
    ScopedEnv e1("TEMP", c.temp), e2("TMP", c.tmp), e3("TMPDIR", c.tmpdir);
    uint32_t rc;
    EXPECT_EQ(Query(KPATH_TEMP, &rc), c.want);
    EXPECT_EQ(rc, KST_OK) << c.want;
    EXPECT_TRUE(IsDir(c.want)) << c.want;
    // The root's own temp folder never looks at the environment.
    EXPECT_EQ(Query(KPATH_ROOT_TEMP, &rc), root() + "/temp/");
  }
}

TEST_F(PathsTest, BufferMustHoldTheSlashAndTheTerminator) {
  for (uint32_t kind : {KPATH_ROOT, KPATH_LOGS}) {
    const std::string want = root() + "/" + (kind == KPATH_LOGS ? "logs/" : "");
    const uint32_t exact = static_cast<uint32_t>(want.size() + 1);
    std::vector<char> buf(exact + 8, 'x');
    for (uint32_t size : {exact - 2, exact - 1}) {
      EXPECT_EQ(KstQueryKestarPath(kind, buf.data(), size), KST_ERR_BUFFER_TOO_SMALL)
          << kind << " " << size;
    }
    if (kind == KPATH_LOGS) {
      EXPECT_FALSE(Exists(root() + "/logs"));
    }
    ASSERT_EQ(KstQueryKestarPath(kind, buf.data(), exact), KST_OK) << kind;
    EXPECT_EQ(std::string(buf.data()), want);
  }

  // However large the caller's buffer, a folder path is limited to
  // KST_MAX_PATH bytes with its terminator.
  std::string long_root = env_->dir() + "/" + std::string(KST_MAX_PATH, 'r');
  long_root.resize(KST_MAX_PATH - 8);
  env_->SetRegistryValue("Kestarcorp", "RootPath", long_root);
  KstTestResetRootCache();
  std::vector<char> big(4096);
  EXPECT_EQ(KstQueryKestarPath(KPATH_ROOT, big.data(), 4096), KST_OK);
  EXPECT_EQ(KstQueryKestarPath(KPATH_DISTRIB_DOWNLOAD, big.data(), 4096),
            KST_ERR_FILENAME_TOO_LONG);
  EXPECT_FALSE(Exists(long_root + "/distrib"));
}

TEST_F(PathsTest, NamesHaveNoSlashAndCreateNothing) {
  std::string scratch = env_->dir() + "/cwd";
  ASSERT_EQ(mkdir(scratch.c_str(), 0700), 0);
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(scratch.c_str()), 0);

  char user[80] = {}, host[80] = {};
  ASSERT_EQ(KstQueryUserHost(user, sizeof user, host, sizeof host), KST_OK);
  struct Case {
    uint32_t kind;
    std::string name;
  };
  const Case cases[] = {{KPATH_USERNAME, user}, {KPATH_HOSTNAME, host}};
  for (const Case &c : cases) {
    ASSERT_FALSE(c.name.empty()) << c.kind;
    uint32_t rc;
    EXPECT_EQ(Query(c.kind, &rc), c.name);
    EXPECT_EQ(rc, KST_OK);
    // A short buffer cuts the name and still terminates it.
    char small[3] = {'x', 'x', 'x'};
    EXPECT_EQ(KstQueryKestarPath(c.kind, small, sizeof small), KST_OK);
    EXPECT_EQ(std::string(small), c.name.substr(0, 2));
  }
  EXPECT_EQ(CountEntries(root()), 0);
  EXPECT_EQ(CountEntries(scratch), 0);
  ASSERT_EQ(chdir(old_cwd), 0);
}

// ---- KstCreateTmpFile -------------------------------------------------------

TEST_F(PathsTest, TemporaryNamesAreEightHexDigitsAndTheExtension) {
  const std::string folder = env_->dir() + "/tf";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  struct Case {
    std::string folder;
    const char *ext;
    const char *suffix;
  };
  const Case cases[] = {
      {folder, "kts", "kts"},
      {folder + "/", nullptr, "tmp"},
      {folder, "", "tmp"},
      {env_->dir() + "\\tf", "kts", "kts"},
  };
  for (const Case &c : cases) {
    for (bool with_handle : {false, true}) {
      char path[KST_MAX_PATH];
      KST_HFILE h = 12345;
      ASSERT_EQ(KstCreateTmpFile(c.folder.c_str(), c.ext, path, with_handle ? &h : nullptr),
                KST_OK);
      EXPECT_TRUE(IsTempName(path, folder, c.suffix)) << path;
      struct stat st;
      ASSERT_EQ(lstat(path, &st), 0) << path;
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_size, 0);
      if (with_handle) {
        EXPECT_GT(h, 2);
        EXPECT_EQ(close(h), 0);
      } else {
        EXPECT_EQ(h, 12345);
      }
    }
  }
  EXPECT_EQ(CountEntries(folder), 8);
}

TEST_F(PathsTest, TemporaryFileDefaultsToTheTemporaryFolder) {
  ScopedEnv t("TEMP", env_->dir() + "/tt");
  char path[KST_MAX_PATH];
  ASSERT_EQ(KstCreateTmpFile(nullptr, "kts", path, nullptr), KST_OK);
  EXPECT_TRUE(IsTempName(path, env_->dir() + "/tt", "kts")) << path;
}

TEST_F(PathsTest, TemporaryFileModeIs0600WhateverTheUmask) {
  for (mode_t mask : {0000, 0022, 0077, 0277, 0777}) {
    ScopedUmask u(mask);
    for (bool with_handle : {false, true}) {
      char path[KST_MAX_PATH];
      KST_HFILE h = KST_INVALID_HFILE;
      ASSERT_EQ(KstCreateTmpFile(root().c_str(), "kts", path, with_handle ? &h : nullptr),
                KST_OK);
      struct stat st;
      ASSERT_EQ(stat(path, &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0600u) << std::oct << mask;
      if (with_handle) close(h);
    }
  }
}

TEST_F(PathsTest, TemporaryHandleHoldsTheFileExclusively) {
  char path[KST_MAX_PATH];
  KST_HFILE h = KST_INVALID_HFILE;
  ASSERT_EQ(KstCreateTmpFile(root().c_str(), nullptr, path, &h), KST_OK);
  int other = open(path, O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_NE(flock(other, LOCK_SH | LOCK_NB), 0);
  EXPECT_EQ(errno, EWOULDBLOCK);
  ASSERT_EQ(write(h, "abc", 3), 3);
  close(h);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);

  // A process started with standard input closed must not get descriptor 0
  // for a file that may become a store.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(0);
    KST_HFILE fd = KST_INVALID_HFILE;
    uint32_t rc = KstCreateTmpFile(root().c_str(), "kts", path, &fd);
    _exit(rc != KST_OK ? 1 : fd <= 2 ? 2 : 0);
  }
  EXPECT_EQ(krptest::WaitChild(pid), 0);
}

// A symbolic link planted at exactly the name about to be created (the race
// a guessable name invites). The create must treat it as a clash and move
// on: the link's target is neither created nor written.
std::string g_plant_target;
std::string g_planted;
int PlantingOpen(const char *path, int flags, mode_t mode) {
  if (g_planted.empty()) {
    g_planted = path;
    if (symlink(g_plant_target.c_str(), path) != 0) return -1;
  }
  return KstOsApiDefault()->open(path, flags, mode);
}

TEST_F(PathsTest, TemporaryFileNeverFollowsAPlantedLink) {
  struct Case {
    const char *what;
    bool target_exists;
  };
  const Case cases[] = {{"dangling link", false}, {"link to a file", true}};
  for (const Case &c : cases) {
    for (bool with_handle : {false, true}) {
      g_plant_target = env_->dir() + "/victim";
      unlink(g_plant_target.c_str());
      if (c.target_exists) krptest::WriteFile(g_plant_target, "keep");
      g_planted.clear();
      KstOsApi api = *KstOsApiDefault();
      api.open = PlantingOpen;
      char path[KST_MAX_PATH];
      KST_HFILE h = KST_INVALID_HFILE;
      {
        ScopedOsApi swap(&api);
        ASSERT_EQ(KstCreateTmpFile(root().c_str(), "kts", path, with_handle ? &h : nullptr),
                  KST_OK)
            << c.what;
      }
      if (with_handle) close(h);
      EXPECT_NE(g_planted, path) << c.what;
      struct stat st;
      ASSERT_EQ(lstat(g_planted.c_str(), &st), 0) << c.what;
      EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.what;
      ASSERT_EQ(lstat(path, &st), 0) << c.what;
      EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
      if (c.target_exists) {
        EXPECT_EQ(krptest::ReadFile(g_plant_target), "keep") << c.what;
      } else {
        EXPECT_FALSE(Exists(g_plant_target)) << c.what;
      }
      unlink(g_planted.c_str());
    }
  }
}

int AlwaysExists(const char *, int, mode_t) {
  errno = EEXIST;
  return -1;
}
int FailFchmod(int, mode_t) {
  errno = EIO;
  return -1;
}

TEST_F(PathsTest, TemporaryFileFailuresLeaveNothingBehind) {
  KstOsApi clash = *KstOsApiDefault();
  clash.open = AlwaysExists;
  KstOsApi nochmod = *KstOsApiDefault();
  nochmod.fchmod = FailFchmod;
  struct Case {
    const char *what;
    const KstOsApi *api;
    uint32_t want;
  };
  // A folder where every name clashes gives up instead of spinning forever.
  const Case cases[] = {{"every name clashes", &clash, KST_ERR_FILE_EXISTS},
                        {"mode cannot be set", &nochmod, KST_ERR_GENERAL}};
  for (const Case &c : cases) {
    char path[KST_MAX_PATH];
    KST_HFILE h = 7;
    {
      ScopedOsApi swap(c.api);
      EXPECT_EQ(KstCreateTmpFile(root().c_str(), "kts", path, &h), c.want) << c.what;
    }
    EXPECT_EQ(h, KST_INVALID_HFILE) << c.what;
    EXPECT_EQ(CountEntries(root()), 0) << c.what;
  }
}

TEST_F(PathsTest, TemporaryFileBadArguments) {
  char path[KST_MAX_PATH];
  // The folder itself fits; the folder with a name in it does not.
  const std::string long_folder = root() + "/" + std::string(KST_MAX_PATH - 6 - root().size(), 'd');
  struct Case {
    const char *folder;
    const char *ext;
    char *out;
    uint32_t want;
  };
  const std::string missing = env_->dir() + "/missing";
  const Case cases[] = {
      {root().c_str(), "kts", nullptr, KST_ERR_INVALID_PARAMETER},
      {"", "kts", path, KST_ERR_INVALID_PARAMETER},
      {root().c_str(), "a/b", path, KST_ERR_INVALID_NAME},
      {root().c_str(), "..\\x", path, KST_ERR_INVALID_NAME},
      {missing.c_str(), "kts", path, KST_ERR_FILE_NOT_FOUND},
      {long_folder.c_str(), "kts", path, KST_ERR_FILENAME_TOO_LONG},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(KstCreateTmpFile(c.folder, c.ext, c.out, nullptr), c.want) << c.folder;
  }
  EXPECT_EQ(CountEntries(root()), 0);
}

// ---- registry ---------------------------------------------------------------

TEST_F(PathsTest, RegistryValueIsTheFileBytes) {
  env_->SetRegistryValue("Kestarcorp/Sub", "Name", std::string("v\0al", 4));
  char buf[8];
  memset(buf, 'x', sizeof buf);
  ASSERT_EQ(KstQueryRegistryValue("Kestarcorp\\Sub", "Name", buf, sizeof buf), KST_OK);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string("v\0al\0\0\0\0", 8));
  // Exactly the value's size fits; one byte less does not.
  EXPECT_EQ(KstQueryRegistryValue("Kestarcorp/Sub", "Name", buf, 4), KST_OK);
  EXPECT_EQ(KstQueryRegistryValue("Kestarcorp/Sub", "Name", buf, 3), KST_ERR_BUFFER_TOO_SMALL);
}

TEST_F(PathsTest, RegistryMissesGive2) {
  env_->SetRegistryValue("Kestarcorp/Sub", "Name", "v");
  struct Case {
    const char *subkey, *value;
    uint32_t want;
  };
  const Case cases[] = {
      {"Kestarcorp", "Missing", KST_ERR_FILE_NOT_FOUND},
      {"Nobody", "RootPath", KST_ERR_FILE_NOT_FOUND},
      {"Kestarcorp", "Sub", KST_ERR_FILE_NOT_FOUND},            // a key, not a value
      {"Kestarcorp/Sub/Name", "x", KST_ERR_FILE_NOT_FOUND},     // through a value
      {"Kestarcorp", "Fifo", KST_ERR_FILE_NOT_FOUND},
      {nullptr, "x", KST_ERR_INVALID_PARAMETER},
      {"Kestarcorp", nullptr, KST_ERR_INVALID_PARAMETER},
  };
  // A FIFO planted as a value is not a value (and must not hang the read).
  ASSERT_EQ(mkfifo((env_->registry() + "/SOFTWARE/Kestarcorp/Fifo").c_str(), 0600), 0);
  for (const Case &c : cases) {
    char buf[16];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(KstQueryRegistryValue(c.subkey, c.value, buf, sizeof buf), c.want)
        << (c.subkey ? c.subkey : "null") << "/" << (c.value ? c.value : "null");
    if (c.want == KST_ERR_FILE_NOT_FOUND) {
      EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '\0'));
    }
  }
  ScopedEnv hive("KST_REGISTRY", env_->dir() + "/no-such-hive");
  char buf[16];
  EXPECT_EQ(KstQueryRegistryValue("Kestarcorp", "RootPath", buf, sizeof buf),
            KST_ERR_FILE_NOT_FOUND);
}

TEST_F(PathsTest, RootPathValueAsPeopleWriteIt) {
  const std::string r = root();
  struct Case {
    std::string value;
    uint32_t want_rc;
    std::string want;
  };
  std::string backslashed = r;
  for (char &ch : backslashed) {
    if (ch == '/') ch = '\\';
  }
  const Case cases[] = {
      {r, KST_OK, r},
      {r + "\n", KST_OK, r},
      {r + "\r\n", KST_OK, r},
      {r + std::string(1, '\0'), KST_OK, r},
      {r + "/", KST_OK, r + "/"},
      {backslashed, KST_OK, r},
      {"", KST_ERR_FILE_NOT_FOUND, ""},
      {"\n", KST_ERR_FILE_NOT_FOUND, ""},
      {"/" + std::string(KST_MAX_PATH, 'r'), KST_ERR_FILENAME_TOO_LONG, ""},
  };
  for (const Case &c : cases) {
    env_->SetRegistryValue("Kestarcorp", "RootPath", c.value);
    KstTestResetRootCache();
    char a[KST_MAX_PATH] = {}, b[KST_MAX_PATH] = {};
    EXPECT_EQ(KstQueryRootPath(a, b), c.want_rc) << c.value;
    if (c.want_rc == KST_OK) {
      EXPECT_EQ(std::string(a), c.want);
      EXPECT_EQ(std::string(b), c.want);
      uint32_t rc;
      EXPECT_EQ(Query(KPATH_LOGS, &rc), r + "/logs/");
      EXPECT_EQ(rc, KST_OK);
    }
  }
}

TEST_F(PathsTest, RootIsReadOncePerProcess) {
  char a[KST_MAX_PATH];
  ASSERT_EQ(KstQueryRootPath(nullptr, nullptr), KST_OK);
  env_->SetRegistryValue("Kestarcorp", "RootPath", env_->dir() + "/elsewhere");
  ASSERT_EQ(KstQueryRootPath(a, nullptr), KST_OK);
  EXPECT_EQ(std::string(a), root());
  KstTestResetRootCache();
  ASSERT_EQ(KstQueryRootPath(a, nullptr), KST_OK);
  EXPECT_EQ(std::string(a), env_->dir() + "/elsewhere");
}

TEST_F(PathsTest, ThreadsFillingTheRootCacheAgree) {
  // Every thread races to fill the empty cache and to create the same
  // folders; each must get the whole answer.
  std::vector<std::string> got(8);
  std::vector<uint32_t> rcs(8, 99);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < got.size(); ++i) {
    threads.emplace_back([&, i] {
      char buf[KST_MAX_PATH];
      rcs[i] = KstQueryKestarPath(KPATH_DISTRIB_DOWNLOAD, buf, sizeof buf);
      got[i] = buf;
    });
  }
  for (std::thread &t : threads) t.join();
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(rcs[i], KST_OK);
    EXPECT_EQ(got[i], root() + "/distrib/download/");
  }
}

// ---- environment, user and host ---------------------------------------------

TEST(Env, GetEnvCodes) {
  ScopedEnv set("KRP_PATHS_TEST_VAR", std::string("abc"));
  ScopedEnv empty("KRP_PATHS_TEST_EMPTY", std::string(""));
  ScopedEnv unset("KRP_PATHS_TEST_UNSET", std::nullopt);
  struct Case {
    const char *name;
    uint32_t size;
    uint32_t want;
    const char *value;
  };
  const Case cases[] = {
      {"KRP_PATHS_TEST_VAR", 4, KST_OK, "abc"},
      {"KRP_PATHS_TEST_VAR", 3, KST_ERR_BUFFER_TOO_SMALL, "zzzzzzz"},
      {"KRP_PATHS_TEST_VAR", 0, KST_ERR_BUFFER_TOO_SMALL, "zzzzzzz"},
      {"KRP_PATHS_TEST_EMPTY", 1, KST_OK, ""},
      {"KRP_PATHS_TEST_UNSET", 8, KST_ERR_ENVVAR_NOT_FOUND, "zzzzzzz"},
  };
  for (const Case &c : cases) {
    char buf[8] = {'z', 'z', 'z', 'z', 'z', 'z', 'z', '\0'};
    EXPECT_EQ(KstGetEnv(c.name, buf, c.size), c.want) << c.name << " " << c.size;
    EXPECT_STREQ(buf, c.value) << c.name << " " << c.size;
  }
  char buf[8];
  EXPECT_EQ(KstGetEnv(nullptr, buf, sizeof buf), KST_ERR_INVALID_PARAMETER);
  EXPECT_EQ(KstGetEnv("KRP_PATHS_TEST_VAR", nullptr, 8), KST_ERR_INVALID_PARAMETER);
}

TEST(Env, UserAndHostComeFromTheSystem) {
  char user[80], host[80];
  ASSERT_EQ(KstQueryUserHost(user, sizeof user, host, sizeof host), KST_OK);
  char want_host[256] = {};
  ASSERT_EQ(gethostname(want_host, sizeof want_host - 1), 0);
  EXPECT_STREQ(host, want_host);
  if (struct passwd *pw = getpwuid(geteuid())) {
    EXPECT_STREQ(user, pw->pw_name);
  }
  // Either buffer may be left out; a buffer too small for the name says so.
  EXPECT_EQ(KstQueryUserHost(nullptr, 0, nullptr, 0), KST_OK);
  EXPECT_EQ(KstQueryUserHost(user, 1, nullptr, 0), KST_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(KstQueryUserHost(nullptr, 0, host, 1), KST_ERR_BUFFER_TOO_SMALL);
}

TEST(Env, UserNameFallsBackToTheVariables) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become a user without a password entry";
  // A uid that has no password entry (a container's bare uid).
  uid_t bare = 54321;
  while (getpwuid(bare)) ++bare;
  struct Case {
    std::optional<std::string> user, username;
    std::string want;
  };
  const Case cases[] = {
      {"from-user", "from-username", "from-user"},
      {std::nullopt, "from-username", "from-username"},
      {"", "from-username", "from-username"},
      {std::nullopt, std::nullopt, ""},
  };
  for (const Case &c : cases) {
    ScopedEnv e1("USER", c.user), e2("USERNAME", c.username);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (setuid(bare) != 0) _exit(99);
      char user[32] = "junk";
      if (KstQueryUserHost(user, sizeof user, nullptr, 0) != KST_OK) _exit(98);
      _exit(c.want == user ? 0 : 1);
    }
    EXPECT_EQ(krptest::WaitChild(pid), 0) << c.want;
  }
}

TEST(Env, ThreadIdIsTheKernelsId) {
  uint32_t id = 0;
  ASSERT_EQ(KstQueryThreadId(&id), KST_OK);
  EXPECT_EQ(id, static_cast<uint32_t>(syscall(SYS_gettid)));
  EXPECT_EQ(KstQueryThreadId(nullptr), KST_ERR_INVALID_PARAMETER);
  EXPECT_FALSE(KstIsWow64());
}

// ---- folders and attributes -------------------------------------------------

TEST_F(PathsTest, CreateDirTreeMakesEveryMissingLevel) {
  const std::string d = env_->dir();
  struct Case {
    std::string arg;
    std::string made;
  };
  const Case cases[] = {
      {d + "/t1/a/b/c/d", d + "/t1/a/b/c/d"},
      {d + "/t2/a/b/", d + "/t2/a/b"},
      {d + "/t3//a///b//", d + "/t3/a/b"},
      {d + "\\t4\\a\\b", d + "/t4/a/b"},
      {d + "/t1/a/b/c/d", d + "/t1/a/b/c/d"},  // already there
  };
  for (const Case &c : cases) {
    EXPECT_EQ(KstCreateDirTree(c.arg.c_str()), KST_OK) << c.arg;
    EXPECT_TRUE(IsDir(c.made)) << c.arg;
  }
}

TEST_F(PathsTest, CreateDirFailures) {
  const std::string d = env_->dir();
  krptest::WriteFile(d + "/file", "x");
  ASSERT_EQ(symlink((d + "/nowhere").c_str(), (d + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink(root().c_str(), (d + "/rootlink").c_str()), 0);
  struct Case {
    std::string arg;
    uint32_t dir_rc, tree_rc;
  };
  const Case cases[] = {
      {d + "/new", KST_OK, KST_OK},
      {d + "/new", KST_OK, KST_OK},                                  // exists
      {d + "/rootlink", KST_OK, KST_OK},                             // link to a folder
      {d + "/x/y/z", KST_ERR_FILE_NOT_FOUND, KST_OK},                // missing parents
      {d + "/file", KST_ERR_PATH_NOT_FOUND, KST_ERR_PATH_NOT_FOUND},  // a file in the way
      {d + "/file/sub/deeper", KST_ERR_PATH_NOT_FOUND, KST_ERR_PATH_NOT_FOUND},
      {d + "/dangling", KST_ERR_PATH_NOT_FOUND, KST_ERR_PATH_NOT_FOUND},
      {"", KST_ERR_INVALID_PARAMETER, KST_ERR_INVALID_PARAMETER},
      {d + "/" + std::string(KST_MAX_PATH, 'n'), KST_ERR_FILENAME_TOO_LONG,
       KST_ERR_FILENAME_TOO_LONG},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(KstCreateDir(c.arg.c_str()), c.dir_rc) << c.arg;
    EXPECT_EQ(KstCreateDirTree(c.arg.c_str()), c.tree_rc) << c.arg;
  }
  EXPECT_FALSE(Exists(d + "/nowhere"));
  EXPECT_EQ(KstCreateDir(nullptr), KST_ERR_INVALID_PARAMETER);
  EXPECT_EQ(KstCreateDirTree(nullptr), KST_ERR_INVALID_PARAMETER);
}

TEST_F(PathsTest, CreateDirTreeReportsTheParentsRefusal) {
  // A folder the caller may enter but not write: the first attempt misses
  // its parent (2), the parent's own refusal (5) is what the caller hears.
  const std::string locked = env_->dir() + "/locked";
  ASSERT_EQ(chmod(env_->dir().c_str(), 0755), 0);
  ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
  const std::string target = locked + "/a/b";
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    EXPECT_EQ(KstCreateDirTree(target.c_str()), KST_ERR_ACCESS_DENIED);
    chmod(locked.c_str(), 0755);
    return;
  }
  // As root every folder is writable: ask as an unprivileged user instead.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
    _exit(static_cast<int>(KstCreateDirTree(target.c_str())));
  }
  EXPECT_EQ(krptest::WaitChild(pid), static_cast<int>(KST_ERR_ACCESS_DENIED));
  EXPECT_FALSE(Exists(locked + "/a"));
}

TEST_F(PathsTest, FileAttributes) {
  const std::string d = env_->dir();
  krptest::WriteFile(d + "/plain", "x");
  krptest::WriteFile(d + "/readonly", "x");
  chmod((d + "/readonly").c_str(), 0444);
  krptest::WriteFile(d + "/.hidden", "x");
  mkdir((d + "/.hdir").c_str(), 0700);
  mkdir((d + "/rodir").c_str(), 0500);
  symlink((d + "/plain").c_str(), (d + "/link").c_str());
  struct Case {
    std::string path;
    uint32_t rc, attrs;
  };
  const Case cases[] = {
      {d + "/plain", KST_OK, 32},
      {d + "/readonly", KST_OK, 32 | 1},
      {d + "/.hidden", KST_OK, 32 | 2},
      {d + "/.hdir/", KST_OK, 16 | 2},
      {d + "\\.hdir", KST_OK, 16 | 2},
      {d + "/rodir", KST_OK, 16 | 1},
      {d + "/.", KST_OK, 16},
      {d + "/link", KST_OK, 0x1000},
      {d + "/missing", KST_ERR_FILE_NOT_FOUND, 0},
  };
  for (const Case &c : cases) {
    uint32_t attrs = 0xdeadbeef;
    EXPECT_EQ(KstQueryFileAttr(c.path.c_str(), &attrs), c.rc) << c.path;
    if (c.rc == KST_OK) {
      EXPECT_EQ(attrs, c.attrs) << c.path;
    }
  }
  uint32_t attrs;
  EXPECT_EQ(KstQueryFileAttr(nullptr, &attrs), KST_ERR_INVALID_PARAMETER);
  EXPECT_EQ(KstQueryFileAttr(d.c_str(), nullptr), KST_ERR_INVALID_PARAMETER);
  chmod((d + "/rodir").c_str(), 0700);
}

TEST(EnsureBackslash, AppendsOneSlashOnlyWhenMissing) {
  struct Case {
    const char *in, *out;
  };
  const Case cases[] = {{"a", "a/"}, {"a/", "a/"}, {"a\\", "a\\"}, {"/x/y", "/x/y/"}};
  for (const Case &c : cases) {
    char buf[16];
    strcpy(buf, c.in);
    EXPECT_EQ(KstEnsureBackslash(buf), KST_OK);
    EXPECT_STREQ(buf, c.out);
  }
  EXPECT_EQ(KstEnsureBackslash(nullptr), KST_ERR_INVALID_PARAMETER);
}

}  // namespace
