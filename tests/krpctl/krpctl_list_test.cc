// Runs the built krpctl's ls, find and tree commands against a store served
// by a host in this process, and against the store file alone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "krplib.h"
#include "krpctl_run.h"
#include "test_support.h"

namespace {

class KrpctlList : public testing::TestWithParam<bool> {};

bool Has(const std::string &out, const std::string &line) {
  return out.find(line) != std::string::npos;
}

TEST_P(KrpctlList, LsFindAndTree) {
  krptest::TestEnv env;
  KRP_HLIBCTX ctx = nullptr;
  ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
  ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
  const char *texts[][2] = {{"vendor.app.title", "Title"},  {"vendor.app.p.a.id", "5"},
                            {"vendor.app.p.b.id", "7"},     {"default.app.extra", "x"},
                            {"default.app.title", "Dflt"}};
  for (const auto &t : texts)
    ASSERT_EQ(0u, dll_KrpSetString(t[0], uint32_t(strlen(t[1])), t[1], nullptr, nullptr));
  ASSERT_EQ(0u, dll_KrpSetInteger("vendor.app.n", 42, nullptr, nullptr));
  if (!GetParam()) {
    ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
    ctx = nullptr;
  }

  krptest::CtlOutput o = krptest::RunKrpctl({"ls", "vendor.app"});
  EXPECT_EQ(0, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, "title\n") && Has(o.out, "p\n") && Has(o.out, "n\n")) << o.out;
  EXPECT_FALSE(Has(o.out, "extra")) << o.out;

  o = krptest::RunKrpctl({"ls", "--level", "vendor.app"});
  EXPECT_EQ(0, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, "extra\n")) << o.out;
  EXPECT_EQ(o.out.find("title"), o.out.rfind("title")) << o.out;  // listed once

  o = krptest::RunKrpctl({"ls", "-l", "vendor.app"});
  EXPECT_EQ(0, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, "container")) << o.out;
  EXPECT_TRUE(Has(o.out, "integer")) << o.out;
  EXPECT_TRUE(Has(o.out, " 6 ")) << o.out;  // "Title" with its terminator
  EXPECT_TRUE(Has(o.out, "Z title\n")) << o.out;

  o = krptest::RunKrpctl({"ls", "vendor.none"});
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(Has(o.out, "(0x00370001)")) << o.out;

  o = krptest::RunKrpctl({"find", "vendor.app.p", "id", "7"});
  EXPECT_EQ(0, o.status) << o.out;
  EXPECT_EQ("b\n", o.out);
  o = krptest::RunKrpctl({"find", "vendor.app.p", "id", "9"});
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(Has(o.out, "(0x00370001)")) << o.out;

  o = krptest::RunKrpctl({"tree", "vendor.app"});
  EXPECT_EQ(0, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, "vendor.app\n")) << o.out;
  EXPECT_TRUE(Has(o.out, "\n  p/\n")) << o.out;
  EXPECT_TRUE(Has(o.out, "\n    a/\n      id  text 2\n")) << o.out;
  EXPECT_TRUE(Has(o.out, "\n  n  integer 2\n")) << o.out;
  o = krptest::RunKrpctl({"tree", "--depth", "1", "vendor.app"});
  EXPECT_EQ(0, o.status) << o.out;
  EXPECT_TRUE(Has(o.out, "\n  p/\n")) << o.out;
  EXPECT_FALSE(Has(o.out, "a/")) << o.out;
  o = krptest::RunKrpctl({"tree", "vendor.app.title"});
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(Has(o.out, "(0x00370002)")) << o.out;
  if (ctx) {
    EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, KrpctlList, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &i) {
                           return i.param ? "Host" : "NoHost";
                         });

}  // namespace
