// Runs the built krpctl's set, rm, mget and "access set" commands against a
// store served by a host in this process, and against the store file alone
// (where deleting, stamped writes and the multiple read must report that no
// host serves them).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "krplib.h"
#include "krpctl_run.h"
#include "resource.h"
#include "test_support.h"

namespace {

using krptest::CtlOutput;
using krptest::RunKrpctl;

constexpr const char kNoServer[] = "no usable store server (0x00141001)";

bool Has(const CtlOutput &o, const std::string &text) {
  return o.out.find(text) != std::string::npos;
}

// A private store; with_host true keeps this process's host serving krpctl,
// false leaves only the store file behind.
class KrpctlWrite : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
    ASSERT_EQ(0u, KrpWriteStoredValue("vendor.app.title", KRT_TEXT, "Title", 6, 0));
    if (!Host()) {
      ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
      ctx_ = nullptr;
    }
  }
  void TearDown() override {
    if (ctx_) {
      EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
    }
  }
  bool Host() const { return GetParam(); }
  std::string File(const std::string &leaf, const std::string &bytes) {
    std::string path = env_.dir() + "/" + leaf;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

TEST_P(KrpctlWrite, EachTypeReadsBackAsWritten) {
  struct Case {
    std::vector<std::string> set;  // after "set"
    std::string get, type;
  };
  const Case cases[] = {
      {{"vendor.t.text", "text", "Hello world"}, "Hello world\n", "text"},
      {{"vendor.t.empty", "text", ""}, "\n", "text"},
      {{"vendor.t.int", "integer", "-2147483648"}, "-2147483648\n", "integer"},
      {{"vendor.t.yes", "boolean", "yes"}, "true\n", "boolean"},
      {{"vendor.t.no", "boolean", "0"}, "false\n", "boolean"},
      {{"vendor.t.secs", "utc", "4294967295"}, "4294967295\n", "utc"},
      {{"vendor.t.date", "utc", "2020-01-02T03:04:05Z"}, "1577934245\n", "utc"},
      {{"vendor.t.day", "utc", "1970-01-02"}, "86400\n", "utc"},
      {{"vendor.t.bytes", "bytearray", File("b.bin", std::string("\x00\xff", 2))}, "00ff\n",
       "bytearray"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"set"};
    args.insert(args.end(), c.set.begin(), c.set.end());
    CtlOutput o = RunKrpctl(args);
    EXPECT_EQ(0, o.status) << c.set[0] << ": " << o.out;
    o = RunKrpctl({"get", c.set[0]});
    EXPECT_EQ(c.get, o.out) << c.set[0];
    o = RunKrpctl({"get", "--attr", c.set[0]});
    EXPECT_TRUE(Has(o, "type: " + c.type + "\n")) << o.out;
  }
}

TEST_P(KrpctlWrite, ListLinesKeepAnEmptyMiddleItem) {
  std::string input = File("list.txt", "a\n\nc\r\nd");
  CtlOutput o = RunKrpctl({"set", "vendor.t.list", "list"}, "", input);
  ASSERT_EQ(0, o.status) << o.out;
  o = RunKrpctl({"get", "vendor.t.list"});
  EXPECT_EQ("a\n\nc\nd\n", o.out);
  o = RunKrpctl({"get", "--raw", "vendor.t.list"});
  EXPECT_EQ("00000001a\r\n00000000\r\n00000001c\r\n00000001d\r\n00000000", o.out);
  // An empty standard input is the empty list.
  o = RunKrpctl({"set", "vendor.t.none", "list"}, "", File("empty.txt", ""));
  ASSERT_EQ(0, o.status) << o.out;
  EXPECT_EQ("00000000", RunKrpctl({"get", "--raw", "vendor.t.none"}).out);
}

TEST_P(KrpctlWrite, ImageComesFromAFileOrStandardInput) {
  const std::string bytes("\x89PNG\x00\x01\r\n", 8);
  std::string path = File("img.bin", bytes);
  CtlOutput o = RunKrpctl({"set", "vendor.t.img", "image", path});
  ASSERT_EQ(0, o.status) << o.out;
  EXPECT_EQ(bytes, RunKrpctl({"get", "--raw", "vendor.t.img"}).out);
  o = RunKrpctl({"set", "vendor.t.img2", "image", "-"}, "", path);
  ASSERT_EQ(0, o.status) << o.out;
  EXPECT_EQ(bytes, RunKrpctl({"get", "--raw", "vendor.t.img2"}).out);
  o = RunKrpctl({"set", "vendor.t.img3", "image", env_.dir() + "/missing.bin"});
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(Has(o, "cannot read")) << o.out;
}

TEST_P(KrpctlWrite, AttributesAccessAndStampAreStored) {
  CtlOutput o = RunKrpctl({"set", "--attr", "0x14", "--access", "rw", "vendor.opt.v", "text", "x"});
  ASSERT_EQ(0, o.status) << o.out;
  o = RunKrpctl({"get", "--attr", "vendor.opt.v"});
  EXPECT_TRUE(Has(o, "attributes: 0x00000014\n")) << o.out;
  EXPECT_TRUE(Has(o, "access: rw\n")) << o.out;
  EXPECT_EQ("rw\n", RunKrpctl({"access", "vendor.opt.v"}).out);
  // Without 0x the bits are decimal, a leading zero included.
  ASSERT_EQ(0, RunKrpctl({"set", "--attr", "020", "vendor.opt.d", "text", "x"}).status);
  EXPECT_TRUE(Has(RunKrpctl({"get", "--attr", "vendor.opt.d"}), "attributes: 0x00000014\n"));

  o = RunKrpctl({"set", "--stamp", "1234", "vendor.opt.s", "integer", "7"});
  if (Host()) {
    ASSERT_EQ(0, o.status) << o.out;
    o = RunKrpctl({"get", "--attr", "vendor.opt.s"});
    EXPECT_TRUE(Has(o, "timestamp: 1234\n")) << o.out;
    EXPECT_TRUE(Has(o, "type: integer\n")) << o.out;
  } else {
    EXPECT_EQ(1, o.status);
    EXPECT_TRUE(Has(o, kNoServer)) << o.out;
  }
}

TEST_P(KrpctlWrite, AccessSetWritesTheContainersAccessText) {
  CtlOutput o = RunKrpctl({"access", "set", "vendor.app", "ro"});
  EXPECT_EQ(0, o.status) << o.out;
  EXPECT_EQ("ro\n", RunKrpctl({"access", "vendor.app.title"}).out);
  o = RunKrpctl({"access", "set", "vendor.app.title", "rw"});
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(Has(o, "wrong type (0x00370002)")) << o.out;
  o = RunKrpctl({"access", "set", "vendor.app", "rwx"});
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(Has(o, "missing or invalid argument (0x00000057)")) << o.out;
  EXPECT_EQ(2, RunKrpctl({"access"}).status);
}

TEST_P(KrpctlWrite, RmDeletesThroughAHostOnly) {
  ASSERT_EQ(0, RunKrpctl({"set", "vendor.rm.a", "text", "1"}).status);
  ASSERT_EQ(0, RunKrpctl({"set", "vendor.rm.sub.b", "integer", "2"}).status);
  CtlOutput o = RunKrpctl({"rm", "vendor.rm.a"});
  if (!Host()) {
    EXPECT_EQ(1, o.status);
    EXPECT_TRUE(Has(o, kNoServer)) << o.out;
    EXPECT_EQ("1\n", RunKrpctl({"get", "vendor.rm.a"}).out);
    return;
  }
  EXPECT_EQ(0, o.status) << o.out;
  o = RunKrpctl({"get", "vendor.rm.a"});
  EXPECT_TRUE(Has(o, "not found (0x00370001)")) << o.out;
  o = RunKrpctl({"rm", "--type", "image", "vendor.rm.sub.b"});
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(Has(o, "wrong type (0x00370002)")) << o.out;
  o = RunKrpctl({"rm", "vendor.rm.missing"});
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(Has(o, "not found (0x00370001)")) << o.out;
  // Without --type a container name removes everything below it.
  EXPECT_EQ(0, RunKrpctl({"rm", "vendor.rm"}).status);
  EXPECT_TRUE(Has(RunKrpctl({"get", "vendor.rm.sub.b"}), "not found (0x00370001)"));
}

TEST_P(KrpctlWrite, MgetShowsEachNameAndTheMissingOnes) {
  ASSERT_EQ(0, RunKrpctl({"set", "vendor.m.n", "integer", "5"}).status);
  ASSERT_EQ(0, RunKrpctl({"set", "vendor.m.l", "list"}, "", File("l.txt", "x\ny\n")).status);
  CtlOutput o = RunKrpctl({"mget", "vendor.m.n", "vendor.m.missing", "vendor.m.l"});
  if (!Host()) {
    EXPECT_EQ(1, o.status);
    EXPECT_TRUE(Has(o, kNoServer)) << o.out;
    return;
  }
  EXPECT_EQ(0, o.status) << o.out;
  EXPECT_EQ("vendor.m.n\t5\nvendor.m.missing\t(not found)\nvendor.m.l\tx, y\n", o.out);
  o = RunKrpctl({"set", "--stamp", "99", "--attr", "0x20", "vendor.m.s", "text", "v"});
  ASSERT_EQ(0, o.status) << o.out;
  o = RunKrpctl({"mget", "--attr", "vendor.m.s", "vendor.m.missing"});
  EXPECT_EQ("vendor.m.s\ttext\t99\t0x00000020\tv\nvendor.m.missing\t(not found)\n", o.out);
}

TEST_P(KrpctlWrite, BadInputIsAUsageErrorAndFailuresNameTheCode) {
  const std::vector<std::vector<std::string>> usage = {
      {"set", "vendor.u.a", "integer", "12x"},
      {"set", "vendor.u.a", "integer", "2147483648"},
      {"set", "vendor.u.a", "boolean", "maybe"},
      {"set", "vendor.u.a", "utc", "2020-13-01"},
      {"set", "vendor.u.a", "container", "x"},
      {"set", "vendor.u.a", "nonsense", "x"},
      {"set", "--attr", "0x1000000", "vendor.u.a", "text", "x"},
      {"rm", "--type", "nonsense", "vendor.u.a"},
  };
  for (const auto &args : usage) EXPECT_EQ(2, RunKrpctl(args).status) << args[2];
  CtlOutput o = RunKrpctl({"set", "nodot", "text", "x"});
  EXPECT_EQ(1, o.status);
  EXPECT_TRUE(Has(o, "krpctl: set nodot: missing or invalid argument (0x00000057)")) << o.out;
}

INSTANTIATE_TEST_SUITE_P(Modes, KrpctlWrite, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &i) {
                           return i.param ? "Host" : "NoHost";
                         });

}  // namespace
