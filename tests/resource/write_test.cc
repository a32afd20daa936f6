// Writes and deletes, each in server mode (a host in this process) and in
// direct mode (the host stopped, the store file written directly) where
// both exist. Fixtures are written through the host before the mode is set.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "krplib.h"
#include "resource.h"
#include "test_support.h"

namespace {

enum class Mode { kServer, kDirect };

std::string ModeName(const testing::TestParamInfo<Mode> &i) {
  return i.param == Mode::kServer ? "Server" : "Direct";
}

struct Fixture {
  const char *name;
  const char *text;
};

class WriteTest : public testing::TestWithParam<Mode> {
 protected:
  void TearDown() override {
    if (ctx_) dll_KrpUninitializeKrpLib(&ctx_);
  }
  void Setup(const std::vector<Fixture> &objs) {
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
    for (const auto &o : objs)
      ASSERT_EQ(0u, dll_KrpSetString(o.name, uint32_t(strlen(o.text)), o.text, nullptr, nullptr))
          << o.name;
    if (GetParam() == Mode::kDirect) {
      ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
      ctx_ = nullptr;
      ASSERT_EQ(0x141001u, dll_KrpIsMtAvailable());
    }
    dll_KrpRelease();
  }
  static std::string Get(const char *name, uint32_t *rc_out = nullptr) {
    char buf[128] = {0};
    uint32_t size = sizeof buf;
    uint32_t rc = dll_KrpGetString(name, &size, buf);
    if (rc_out) *rc_out = rc;
    return rc == 0 ? std::string(buf, size) : std::string();
  }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

TEST_P(WriteTest, StringsAreStoredWithTheirTerminatorAndReadBack) {
  Setup({});
  EXPECT_EQ(0u, dll_KrpSetString(" vendor.w.s\t", 3, "abc", nullptr, nullptr));
  EXPECT_EQ(std::string("abc\0", 4), Get("vendor.w.s"));  // 16 + 3 + terminator
  EXPECT_EQ(0u, dll_KrpSetString("vendor.w.empty", 0, nullptr, nullptr, nullptr));
  char buf[4] = {'x', 'x', 'x', 'x'};
  uint32_t size = sizeof buf;
  EXPECT_EQ(0u, dll_KrpGetString("vendor.w.empty", &size, buf));
  EXPECT_EQ(0u, size);  // the type field alone
  EXPECT_EQ(0, buf[0]);
  // Overwrite with a longer value (direct: the old record moves).
  std::string longer(300, 'z');
  EXPECT_EQ(0u, dll_KrpSetString("vendor.w.s", uint32_t(longer.size()), longer.c_str(), nullptr,
                                 nullptr));
  void *p = nullptr;
  uint32_t type = 0;
  EXPECT_EQ(0u, dll_KrpGetResourceAlloc("vendor.w.s", &size, &p, &type, nullptr, nullptr));
  EXPECT_EQ(301u, size);
  EXPECT_EQ(KRT_TEXT, type);
  dll_KrpFreeMem(p);
}

TEST_P(WriteTest, ArgumentsAndNamesAreCheckedBeforeAnythingIsWritten) {
  Setup({});
  const KrpAttributes too_wide{0, 0x1000000};
  struct Case {
    uint32_t type;
    const char *name;
    const KrpAttributes *attrs;
    uint32_t expect;
  } cases[] = {
      {0, "vendor.a", nullptr, 87},       {KRT_TEXT, nullptr, nullptr, 87},
      {KRT_TEXT, "", nullptr, 0x370001},  {KRT_ANY, "vendor.a", nullptr, 0x370002},
      {KRT_CONTAINER, "vendor.a", nullptr, 87}, {KRT_TEXT, "vendor.a", &too_wide, 87},
      {KRT_TEXT, ".a", nullptr, 87},      {KRT_TEXT, "a.", nullptr, 87},
      {KRT_TEXT, "ab", nullptr, 87},      {KRT_TEXT, "http://x.y", nullptr, 1},
      {5, "vendor.a", nullptr, 1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.expect, dll_KrpSetResource(c.type, c.name, 1, "x", c.attrs, nullptr))
        << (c.name ? c.name : "(null)") << " type " << c.type;
  EXPECT_EQ(87u, dll_KrpSetResource(KRT_TEXT, "vendor.a", 1, nullptr, nullptr, nullptr));
  std::string last(80, 'l');
  EXPECT_EQ(0x37000Fu, dll_KrpSetString(("vendor." + last).c_str(), 1, "x", nullptr, nullptr));
  std::string whole = "vendor." + std::string(253, 'n');  // 260 characters
  EXPECT_EQ(0x37000Fu, dll_KrpSetString(whole.c_str(), 1, "x", nullptr, nullptr));
  uint32_t rc = 0;
  Get("vendor.a", &rc);
  EXPECT_EQ(0x370001u, rc);
}

TEST_P(WriteTest, TypedSettersStoreCanonicalText) {
  Setup({});
  int32_t i = 0;
  uint32_t u = 0, b = 0;
  EXPECT_EQ(0u, dll_KrpSetInteger("vendor.t.i", -7, nullptr, nullptr));
  EXPECT_EQ(0u, dll_KrpGetInteger("vendor.t.i", &i));
  EXPECT_EQ(-7, i);
  EXPECT_EQ(0u, dll_KrpSetUTC("vendor.t.u", 4000000000u, nullptr, nullptr));
  EXPECT_EQ(0u, dll_KrpGetUTC("vendor.t.u", &u));
  EXPECT_EQ(4000000000u, u);
  EXPECT_EQ(0u, dll_KrpSetBoolean("vendor.t.b", 2, nullptr, nullptr));
  EXPECT_EQ(0u, dll_KrpGetBoolean("vendor.t.b", &b));
  EXPECT_EQ(1u, b);
  EXPECT_EQ(0u, dll_KrpSetBoolean("vendor.t.b", 0, nullptr, nullptr));
  EXPECT_EQ(0u, dll_KrpGetBoolean("vendor.t.b", &b));
  EXPECT_EQ(0u, b);
  const uint8_t img[2] = {1, 2};
  EXPECT_EQ(0u, dll_KrpSetImage("vendor.t.img", 2, img, nullptr, nullptr));
  uint8_t got[4];
  uint32_t size = sizeof got;
  EXPECT_EQ(0u, dll_KrpGetImage("vendor.t.img", &size, got));
  EXPECT_EQ(2u, size);
}

TEST_P(WriteTest, AttributesAndAccessTextTravelWithTheValue) {
  Setup({});
  const KrpAttributes a{5, 0x1234};
  EXPECT_EQ(0u, dll_KrpSetString("vendor.acc.x", 1, "v", &a, "rw"));
  KrpAttributes got{0, 0};
  char buf[8], acc[3];
  uint32_t size = sizeof buf;
  EXPECT_EQ(0u, dll_KrpGetResource(KRT_TEXT, "vendor.acc.x", &size, buf, &got, acc));
  EXPECT_EQ(0x1234u & ~0x100u, got.attributes);
  EXPECT_NE(5u, got.timestamp);  // the current time, not the record's
  EXPECT_STREQ("rw", acc);        // written as 'vendor.acc.access'
  EXPECT_EQ("rw" + std::string(1, '\0'), Get("vendor.acc.access"));
}

TEST_P(WriteTest, ContainerCheckRefusesClashesWithoutAServer) {
  Setup({{"vendor.c.x", "1"}, {"vendor.ab.x", "2"}, {"vendor.v", "3"}});
  // 'vendor.a' is no container because 'vendor.ab.x' exists.
  EXPECT_EQ(0u, dll_KrpSetString("vendor.a", 1, "a", nullptr, nullptr));
  if (GetParam() == Mode::kDirect) {
    EXPECT_EQ(1u, dll_KrpSetString("vendor.c", 1, "c", nullptr, nullptr));    // has children
    EXPECT_EQ(1u, dll_KrpSetString("vendor.v.y", 1, "y", nullptr, nullptr));  // under a value
    uint32_t rc = 0;
    Get("vendor.v.y", &rc);
    EXPECT_EQ(0x370001u, rc);
  }
}

TEST_P(WriteTest, SetAccessNeedsAContainer) {
  Setup({{"vendor.box.x", "1"}});
  EXPECT_EQ(0x370002u, dll_KrpSetAccess("vendor.box.x", "rr", nullptr));
  EXPECT_EQ(87u, dll_KrpSetAccess("vendor.box", "rrr", nullptr));
  EXPECT_EQ(87u, dll_KrpSetAccess("vendor.box", "", nullptr));
  EXPECT_EQ(0u, dll_KrpSetAccess("vendor.box", "rr", nullptr));
  char acc[3];
  EXPECT_EQ(0u, dll_KrpGetAccess("vendor.box.x", acc));
  EXPECT_STREQ("rr", acc);
}

TEST_P(WriteTest, SetAttributesRewritesTheNameOrItsDefaultNeverALocalizedVariant) {
  Setup({{"default.d.v", "dv"}, {"default.d.strings.00.t", "loc"}, {"vendor.d.strings.t", "own"}});
  const KrpAttributes a{0, 0x40};
  EXPECT_EQ(0u, dll_KrpSetResourceAttributes("vendor.d.v", &a));
  KrpAttributes got{0, 0};
  char buf[8];
  uint32_t size = sizeof buf;
  // The vendor's own copy now exists (no from-default flag).
  EXPECT_EQ(0u, dll_KrpGetResource(KRT_TEXT, "vendor.d.v", &size, buf, &got, nullptr));
  EXPECT_EQ(0x40u, got.attributes);
  EXPECT_STREQ("dv", buf);
  // The localized variant is not what the name holds.
  EXPECT_EQ(0u, dll_KrpSetResourceAttributes("vendor.d.strings.t", &a));
  EXPECT_EQ(0u, dll_KrpSetLocale("00"));
  void *p = nullptr;
  EXPECT_EQ(0u, dll_KrpGetResourceAlloc("default.d.strings.00.t", &size, &p, nullptr, &got,
                                        nullptr));
  EXPECT_EQ(0u, got.attributes);
  dll_KrpFreeMem(p);
  EXPECT_EQ(0x370002u, dll_KrpSetResourceAttributes("vendor.d", &a));
  EXPECT_EQ(87u, dll_KrpSetResourceAttributes("vendor.d.v", nullptr));
}

TEST_P(WriteTest, DeleteNeedsAServerAndTheRightType) {
  Setup({{"vendor.del.a", "1"}, {"vendor.del.sub.b", "2"}, {"vendor.keep", "3"}});
  EXPECT_EQ(87u, dll_KrpDeleteResource(KRT_ANY, "vendor.del.a"));
  EXPECT_EQ(207u, dll_KrpDeleteResource(KRT_TEXT, "http://x"));
  if (GetParam() == Mode::kDirect) {
    EXPECT_EQ(0x141001u, dll_KrpDeleteResource(KRT_TEXT, "vendor.del.a"));
    EXPECT_EQ(0x141001u, dll_KrpSetResourceWithTimestamp(KRT_TEXT, "vendor.ts", 1, "x", nullptr,
                                                         nullptr));
    EXPECT_EQ("1" + std::string(1, '\0'), Get("vendor.del.a"));
    return;
  }
  EXPECT_EQ(0x370002u, dll_KrpDeleteResource(KRT_INTEGER, "vendor.del.a"));
  EXPECT_EQ("1" + std::string(1, '\0'), Get("vendor.del.a"));
  EXPECT_EQ(0u, dll_KrpDeleteResource(KRT_TEXT, "kts:vendor.del.a"));
  uint32_t rc = 0;
  Get("vendor.del.a", &rc);
  EXPECT_EQ(0x370001u, rc);
  EXPECT_EQ(0x370002u, dll_KrpDeleteResource(KRT_TEXT, "vendor.del"));
  EXPECT_EQ(0u, dll_KrpDeleteResource(KRT_CONTAINER, "vendor.del"));
  Get("vendor.del.sub.b", &rc);
  EXPECT_EQ(0x370001u, rc);
  EXPECT_EQ("3" + std::string(1, '\0'), Get("vendor.keep"));
  // The record's time stamp, 0 included, is stored as given.
  const KrpAttributes zero{0, 0};
  EXPECT_EQ(0u, dll_KrpSetResourceWithTimestamp(KRT_TEXT, "vendor.ts", 1, "x", &zero, nullptr));
  KrpAttributes got{7, 7};
  char buf[4];
  uint32_t size = sizeof buf;
  EXPECT_EQ(0u, dll_KrpGetResource(KRT_TEXT, "vendor.ts", &size, buf, &got, nullptr));
  EXPECT_EQ(0u, got.timestamp);
}

INSTANTIATE_TEST_SUITE_P(Modes, WriteTest, testing::Values(Mode::kServer, Mode::kDirect),
                         ModeName);

// A host that holds the store file but admits no other process for a
// while: a direct write started meanwhile finds the file held, and is made
// through the host once it admits everyone (never reported as written
// without being written).
KRP_CHILD_ROLE_FN(late_write_host) {
  KRP_HLIBCTX ctx = nullptr;
  if (dll_KrpInitializeKrpLib(&ctx) != 0) return 2;
  FILE *f = fopen(args.at(0).c_str(), "w");
  if (f) fclose(f);
  usleep(1500 * 1000);
  if (dll_KrpFlagMtClientAsAvailable() != 0) return 3;
  struct stat st;
  for (int i = 0; i < 3000 && stat(args.at(1).c_str(), &st) != 0; ++i) usleep(10 * 1000);
  return dll_KrpUninitializeKrpLib(&ctx) == 0 ? 0 : 4;
}

TEST(WriteSwitch, DirectWriteIsRepeatedThroughALateHost) {
  krptest::TestEnv env;
  {
    KRP_HLIBCTX ctx = nullptr;
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
    ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
  }
  std::string up = env.dir() + "/host_up", done = env.dir() + "/done";
  pid_t pid = krptest::SpawnRole("late_write_host", {up, done});
  struct stat st;
  for (int i = 0; i < 1000 && stat(up.c_str(), &st) != 0; ++i) usleep(10 * 1000);
  ASSERT_EQ(0, stat(up.c_str(), &st));
  EXPECT_EQ(0x141001u, dll_KrpIsMtAvailable());  // the host admits only itself
  EXPECT_EQ(0u, dll_KrpSetString("vendor.late", 4, "late", nullptr, nullptr));
  EXPECT_EQ(0u, dll_KrpIsMtAvailable());
  char buf[8] = {0};
  uint32_t size = sizeof buf;
  EXPECT_EQ(0u, dll_KrpGetString("vendor.late", &size, buf));  // through the host
  EXPECT_STREQ("late", buf);
  FILE *f = fopen(done.c_str(), "w");
  if (f) fclose(f);
  EXPECT_EQ(0, krptest::WaitChild(pid));
}

}  // namespace
