// Runs the built krpctl's get, access and locale commands against a store
// served by a host in this process, and against the store file alone.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "krplib.h"
#include "resource.h"
#include "krpctl_run.h"
#include "test_support.h"

namespace {


class KrpctlResource : public testing::TestWithParam<bool> {};

TEST_P(KrpctlResource, GetAccessLocale) {
  krptest::TestEnv env;
  KRP_HLIBCTX ctx = nullptr;
  ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
  ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
  ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.title", KRT_TEXT, "Title", 5, 0));
  ASSERT_EQ(0u, KrpWriteStoredValue("vendor.access", KRT_TEXT, "ab", 3, 0));
  const char list[] = "00000001a\r\n00000002bc\r\n00000000";
  ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.items", KRT_LIST, list, sizeof list - 1, 0));
  // A zero length in the middle is an empty item, not the end of the list.
  const char gap[] = "00000001a\r\n00000000\r\n00000001c\r\n00000000";
  ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.gap", KRT_LIST, gap, sizeof gap - 1, 0));
  const unsigned char img[] = {0x01, 0xAB};
  ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.img", KRT_IMAGE, img, 2, 0));
  ASSERT_EQ(0u, KrpWriteStoredValue("vendor.locale.current_locale", KRT_TEXT, "de", 3, 0));
  bool with_host = GetParam();
  if (!with_host) {
    ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
    ctx = nullptr;
  }

  krptest::CtlOutput o = krptest::RunKrpctl({"get", "vendor.app.title"});
  EXPECT_EQ(0, o.status);
  EXPECT_EQ("Title\n", o.out);
  o = krptest::RunKrpctl({"get", "vendor.app.items"});
  EXPECT_EQ("a\nbc\n", o.out);
  o = krptest::RunKrpctl({"get", "vendor.app.gap"});
  EXPECT_EQ("a\n\nc\n", o.out);
  o = krptest::RunKrpctl({"get", "vendor.app.img"});
  EXPECT_EQ("01ab\n", o.out);
  o = krptest::RunKrpctl({"get", "--raw", "vendor.app.img"});
  EXPECT_EQ(std::string("\x01\xab", 2), o.out);
  o = krptest::RunKrpctl({"get", "--attr", "--type", "text", "vendor.app.title"});
  EXPECT_EQ(0, o.status);
  EXPECT_NE(std::string::npos, o.out.find("type: text\n")) << o.out;
  EXPECT_NE(std::string::npos, o.out.find("access: ab\n")) << o.out;
  o = krptest::RunKrpctl({"get", "--type", "image", "vendor.app.title"});
  EXPECT_EQ(1, o.status);
  EXPECT_NE(std::string::npos, o.out.find("0x00370002")) << o.out;
  o = krptest::RunKrpctl({"get", "vendor.app.missing"});
  EXPECT_EQ(1, o.status);
  o = krptest::RunKrpctl({"get", "--type", "nonsense", "vendor.app.title"});
  EXPECT_EQ(2, o.status);
  // A listing prints its names one a line and nothing after them.
  o = krptest::RunKrpctl({"get", "vendor.app"});
  EXPECT_EQ(0, o.status);
  std::set<std::string> lines;
  for (size_t pos = 0, nl; (nl = o.out.find('\n', pos)) != std::string::npos; pos = nl + 1)
    lines.insert(o.out.substr(pos, nl - pos));
  EXPECT_EQ((std::set<std::string>{"title", "items", "gap", "img"}), lines) << o.out;
  o = krptest::RunKrpctl({"access", "vendor.app.title"});
  EXPECT_EQ(0, o.status);
  EXPECT_EQ("ab\n", o.out);
  o = krptest::RunKrpctl({"locale"});
  EXPECT_EQ(0, o.status);
  EXPECT_EQ("de\n", o.out);
  if (ctx) {
    EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, KrpctlResource, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &i) {
                           return i.param ? "Host" : "NoHost";
                         });

}  // namespace
