// krpctl export (the blob of a container, through a host in this process)
// and what krpctl store dump shows of a fragment: its recorded prefix and its
// delete list.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "krplib.h"
#include "krpctl_run.h"
#include "platform.h"
#include "resource.h"
#include "store.h"
#include "test_support.h"

namespace {

bool Has(const std::string &out, const std::string &text) {
  return out.find(text) != std::string::npos;
}

class KrpctlExport : public testing::Test {
 protected:
  void SetUp() override {
    const std::string temp = env_.dir() + "/temp";
    ASSERT_EQ(0, mkdir(temp.c_str(), 0700));
    setenv("TEMP", temp.c_str(), 1);
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
    ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.title", KRT_TEXT, "hi", 3, 0));
    ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.sub.n", KRT_TEXT, "5", 2, 0));
    ASSERT_EQ(0u, KrpWriteStoredValue("other.x", KRT_TEXT, "x", 2, 0));
  }
  void TearDown() override {
    if (ctx_) {
      EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
    }
    unsetenv("TEMP");
  }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

TEST_F(KrpctlExport, WritesTheBlobToANewPrivateFileThatDumpDescribes) {
  const std::string file = env_.dir() + "/app.kts";
  const mode_t old = umask(0);
  krptest::CtlOutput o = krptest::RunKrpctl({"export", "vendor.app", file});
  umask(old);
  ASSERT_EQ(0, o.status) << o.out;
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  // The log (standard error here) may hold the engine's lines too.
  EXPECT_TRUE(Has(o.out, "wrote " + std::to_string(st.st_size) + " bytes (blob of vendor.app) to " +
                             file + "\n"))
      << o.out;

  o = krptest::RunKrpctl({"store", "dump", file});
  ASSERT_EQ(0, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, " name=title ")) << o.out;
  EXPECT_TRUE(Has(o.out, " name=sub.n ")) << o.out;
  EXPECT_FALSE(Has(o.out, "other.x")) << o.out;
  EXPECT_TRUE(Has(o.out, "\nfragment.prefix: vendor.app.\n")) << o.out;
  EXPECT_FALSE(Has(o.out, "fragment.delete_list")) << o.out;
}

TEST_F(KrpctlExport, AnExistingFileIsReplacedOnlyWithForceAndNeverThroughALink) {
  const std::string file = env_.dir() + "/app.kts";
  const std::string victim = env_.dir() + "/victim";
  const std::string link = env_.dir() + "/link.kts";
  krptest::WriteFile(file, "old");
  krptest::WriteFile(victim, "keep");
  ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));

  krptest::CtlOutput o = krptest::RunKrpctl({"export", "vendor.app", file});
  EXPECT_EQ(1, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, "exists (--force replaces it)")) << o.out;
  EXPECT_EQ("old", krptest::ReadFile(file));

  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"export", "vendor.app", link},
        std::vector<std::string>{"export", "vendor.app", link, "--force"}}) {
    o = krptest::RunKrpctl(args);
    EXPECT_EQ(1, o.status) << o.out;
    EXPECT_EQ("keep", krptest::ReadFile(victim));
  }

  o = krptest::RunKrpctl({"export", "vendor.app", file, "--force"});
  ASSERT_EQ(0, o.status) << o.out;
  EXPECT_NE("old", krptest::ReadFile(file));
}

TEST_F(KrpctlExport, ANameWithoutResourcesWritesNothing) {
  const std::string file = env_.dir() + "/none.kts";
  krptest::CtlOutput o = krptest::RunKrpctl({"export", "vendor.none", file});
  EXPECT_EQ(1, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, "(0x00370001)")) << o.out;
  EXPECT_NE(0, access(file.c_str(), F_OK));
}

// A store file holding one object, its value scrambled as stored values are.
std::string StoreWith(const std::string &dir, const std::string &name, const std::string &value) {
  TsStore *s = nullptr;
  EXPECT_EQ(0u, StoreInit(&s, (dir + "/").c_str(), "f.kts", nullptr, nullptr, kTsOpenCreate));
  if (!s) return "";
  std::string v = value;
  KstScrambleData(KST_SCRAMBLE_KEY, &v[0], static_cast<uint32_t>(v.size()));
  EXPECT_EQ(0u, StoreWrite(s, name.c_str(), v.data(), static_cast<uint32_t>(v.size()), 1, 0, 7));
  StoreExit(s);
  return dir + "/f.kts";
}

TEST(KrpctlStoreDump, ShowsAFragmentsPrefixAndDeleteListWithinTheirSizes) {
  krptest::TestEnv env;
  const std::string field("KRT_LIST\0\0\0\0\0\0\0\0", 16);
  const std::string text_field("KRT_TEXT\0\0\0\0\0\0\0\0", 16);
  struct Case {
    const char *what;
    const char *name;
    std::string value;
    std::vector<std::string> want;  // lines of the dump
  };
  const Case cases[] = {
      {"two names", "__system.delete_list",
       field + "00000003a.b\r\n00000005c.d.e\r\n00000000",
       {"fragment.delete_list: 2 name(s)\nfragment.delete: a.b\nfragment.delete: c.d.e\n"}},
      {"nothing after the type field", "__system.delete_list", field,
       {"fragment.delete_list: 0 name(s)\n"}},
      {"an item past the value's end", "__system.delete_list", field + "00000009a.b\r\n",
       {"problem __system.delete_list: not a list\n"}},
      {"no room for the type field", "__system.delete_list", std::string("KRT_LI"),
       {"problem __system.delete_list: value of 6 bytes has no type field\n"}},
      {"prefix", "__system.blob_fullpath", text_field + std::string("vendor.app.\0junk", 16),
       {"fragment.prefix: vendor.app.\n"}},
      // No terminator: the text ends with the value, never past it.
      {"prefix without its terminator", "__system.blob_fullpath", text_field + "ab",
       {"fragment.prefix: ab\n"}},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = env.dir() + "/s" + std::to_string(n++);
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    const std::string path = StoreWith(dir, c.name, c.value);
    krptest::CtlOutput o = krptest::RunKrpctl({"store", "dump", path});
    EXPECT_EQ(0, o.status) << o.out;
    for (const std::string &w : c.want) EXPECT_TRUE(Has(o.out, "\n" + w)) << o.out;
  }
}

}  // namespace
