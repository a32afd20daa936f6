// Runs the built krpctl's dump and load commands against a store served by a
// host in this process, and against the store file alone.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "krplib.h"
#include "krpctl_run.h"
#include "resource.h"
#include "store.h"
#include "test_support.h"

namespace {

bool Has(const std::string &out, const std::string &text) {
  return out.find(text) != std::string::npos;
}

void WriteFile(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A private store holding a few values; with a host (true) or only the
// store file left behind (false).
class KrpctlDump : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
    ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.title", KRT_TEXT, "Say \"hi\"\n", 10, 0x100));
    ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.blob", KRT_BYTEARRAY, "\x01\x02", 2, 0));
    ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.sub.n", KRT_TEXT, "5", 2, 0));
    ASSERT_EQ(0u, KrpWriteStoredValue("other.x", KRT_TEXT, "x", 2, 0));
    if (!GetParam()) {
      ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
      ctx_ = nullptr;
    }
  }
  void TearDown() override {
    if (ctx_) {
      EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
    }
  }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

TEST_P(KrpctlDump, DumpWritesEveryValueBelowThePrefixSortedByName) {
  krptest::CtlOutput o = krptest::RunKrpctl({"dump", "vendor.app"});
  ASSERT_EQ(0, o.status) << o.out;
  EXPECT_EQ(0u, o.out.find("krpdump 1\nvendor.app.blob bytearray 0x")) << o.out;
  const size_t blob = o.out.find("vendor.app.blob "), sub = o.out.find("vendor.app.sub.n "),
               title = o.out.find("vendor.app.title text 0x00000100 ");
  EXPECT_TRUE(blob < sub && sub < title && title != std::string::npos) << o.out;
  EXPECT_TRUE(Has(o.out, "Z b64:AQI=\n")) << o.out;
  EXPECT_TRUE(Has(o.out, "Z \"Say \\\"hi\\\"\\n\"\n")) << o.out;
  EXPECT_FALSE(Has(o.out, "other.x")) << o.out;

  o = krptest::RunKrpctl({"dump"});
  ASSERT_EQ(0, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, "\nother.x text ") && Has(o.out, "\nvendor.app.sub.n text ")) << o.out;

  o = krptest::RunKrpctl({"dump", "vendor.app.sub.n"});
  ASSERT_EQ(0, o.status) << o.out;
  EXPECT_EQ(2, std::count(o.out.begin(), o.out.end(), '\n')) << o.out;

  o = krptest::RunKrpctl({"dump", "vendor.none"});
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(Has(o.out, "(0x00370001)")) << o.out;
}

TEST_P(KrpctlDump, LoadRejectsABadTextWithItsLineNumber) {
  const std::string path = env_.dir() + "/bad.txt";
  WriteFile(path, "krpdump 1\na.b text 0x00000000 1970-01-01T00:00:00Z \"v\"\na.c text 0x0 x \"v\"\n");
  krptest::CtlOutput o = krptest::RunKrpctl({"load", path, "--policy", "overwrite"});
  EXPECT_EQ(1, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, "line 3: attributes must be")) << o.out;

  o = krptest::RunKrpctl({"load", path, "--policy", "sometimes"});
  EXPECT_EQ(2, o.status) << o.out;
  o = krptest::RunKrpctl({"load", env_.dir() + "/missing.txt", "--policy", "newer"});
  EXPECT_EQ(1, o.status) << o.out;
}

// Dump, remove the values, load: the same text again, except that every
// value the load wrote carries bit 0x100 (set on whatever a merge writes).
// Without a host the load reads its text but cannot merge it.
TEST_P(KrpctlDump, DumpLoadDumpGivesTheSameText) {
  const std::string path = env_.dir() + "/all.txt";
  krptest::CtlOutput first = krptest::RunKrpctl({"dump", "vendor"});
  ASSERT_EQ(0, first.status) << first.out;
  WriteFile(path, first.out);
  if (!GetParam()) {
    krptest::CtlOutput o = krptest::RunKrpctl({"load", path, "--policy", "defaults"});
    EXPECT_EQ(1, o.status) << o.out;
    EXPECT_TRUE(Has(o.out, "(0x00141001)")) << o.out;
    return;
  }
  for (const char *name : {"vendor.app.title", "vendor.app.blob", "vendor.app.sub.n"}) {
    krptest::CtlOutput o = krptest::RunKrpctl({"rm", name});
    ASSERT_EQ(0, o.status) << o.out;
  }
  const std::string temp = env_.dir() + "/temp";
  ASSERT_EQ(0, mkdir(temp.c_str(), 0700));
  krptest::CtlOutput o =
      krptest::RunKrpctl({"load", path, "--policy", "defaults"}, "TEMP='" + temp + "'");
  ASSERT_EQ(0, o.status) << o.out;
  EXPECT_EQ(0, rmdir(temp.c_str())) << "the load's fragment file was left behind";
  krptest::CtlOutput second = krptest::RunKrpctl({"dump", "vendor"});
  std::string expected = first.out;
  for (size_t at; (at = expected.find(" 0x00000000 ")) != std::string::npos;)
    expected.replace(at, 12, " 0x00000100 ");
  EXPECT_EQ(expected, second.out);
  EXPECT_TRUE(Has(second.out, "vendor.app.blob bytearray 0x00000100 ")) << second.out;
}

// The merge never writes a "use_defaults" value, nor anything below a
// "use_defaults" component or under "__system": a load of a dump that
// holds one writes the other values and names the ones it could not load,
// instead of reporting success.
TEST_P(KrpctlDump, LoadReportsTheValuesAMergeCannotWrite) {
  if (!GetParam()) GTEST_SKIP() << "loading needs a host";
  ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.use_defaults", KRT_TEXT, "1", 2, 0));
  ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.sub.use_defaults.z", KRT_TEXT, "2", 2, 0));
  const std::string path = env_.dir() + "/ud.txt";
  krptest::CtlOutput o = krptest::RunKrpctl({"dump", "vendor.app"});
  ASSERT_EQ(0, o.status) << o.out;
  ASSERT_TRUE(Has(o.out, "vendor.app.use_defaults text ")) << o.out;
  WriteFile(path, o.out);
  for (const char *name : {"vendor.app.use_defaults", "vendor.app.sub.n"}) {
    o = krptest::RunKrpctl({"rm", name});
    ASSERT_EQ(0, o.status) << o.out;
  }
  o = krptest::RunKrpctl({"load", path, "--policy", "overwrite"});
  EXPECT_EQ(1, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, "'vendor.app.use_defaults'")) << o.out;
  EXPECT_TRUE(Has(o.out, "'vendor.app.sub.use_defaults.z'")) << o.out;
  o = krptest::RunKrpctl({"dump", "vendor.app.sub.n"});
  EXPECT_EQ(0, o.status) << "the other values are loaded: " << o.out;
}

// A fragment file of the library's own form, merged with each option.
TEST_P(KrpctlDump, MergeHandsAFragmentFileToTheLibrary) {
  if (!GetParam()) GTEST_SKIP() << "merging needs a host";
  // A fragment cut from "vendor.app": names without the prefix and the
  // prefix recorded.
  const std::string frag = env_.dir() + "/frag.kts";
  TsStore *s = nullptr;
  ASSERT_EQ(0u, StoreInit(&s, (env_.dir() + "/").c_str(), "frag.kts", nullptr, nullptr,
                          kTsOpenCreate));
  auto put = [s](const char *name, const std::string &value) {
    void *stored = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(0u, KrpEncodeStoredValue(KRT_TEXT, value.data(), uint32_t(value.size()), &stored,
                                       &size));
    KstScrambleData(KST_SCRAMBLE_KEY, stored, size);
    EXPECT_EQ(0u, StoreWrite(s, name, stored, size, 1000, 0, KRT_TEXT));
    KstFreeMem(stored, 0);
  };
  put("__system.blob_fullpath", "vendor.app.");
  put("title", "merged");
  put("x.y", "deep");
  ASSERT_EQ(0u, StoreExit(s));

  krptest::CtlOutput o =
      krptest::RunKrpctl({"merge", frag, "--policy", "overwrite", "--full-names"});
  ASSERT_EQ(0, o.status) << o.out;
  o = krptest::RunKrpctl({"get", "vendor.app.title"});
  EXPECT_TRUE(Has(o.out, "merged")) << o.out;
  o = krptest::RunKrpctl({"merge", frag, "--policy", "newer", "--strip", "x", "--prefix", "n"});
  EXPECT_EQ(1, o.status) << o.out;  // "title" lies outside "x."
  EXPECT_TRUE(Has(o.out, "(0x00000057)")) << o.out;
  o = krptest::RunKrpctl({"merge", frag, "--policy", "always"});
  EXPECT_EQ(2, o.status) << o.out;
  o = krptest::RunKrpctl({"merge", frag, "--policy", "overwrite", "--prefix", "p",
                          "--full-names"});
  EXPECT_EQ(1, o.status) << o.out;
}

INSTANTIATE_TEST_SUITE_P(Modes, KrpctlDump, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &i) {
                           return i.param ? "Host" : "NoHost";
                         });

}  // namespace
