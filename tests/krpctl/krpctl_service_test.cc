// The operator commands of the running service (status, trace, obj, pack,
// copy, runtime-info), each run as its own krpctl process against a
// `krpctl host` process serving the test's private product root.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "krpctl_run.h"
#include "platform.h"
#include "test_support.h"

extern char **environ;

namespace {

using krptest::CtlOutput;

bool Has(const CtlOutput &r, const std::string &text) {
  return r.out.find(text) != std::string::npos;
}

class KrpctlService : public ::testing::Test {
 protected:
  void SetUp() override {
    // Log lines of the host and of every krpctl go to a file, so that a
    // command's output holds only what the command printed.
    log_ = env_.dir() + "/krp.log";
    setenv("TRACELIB_FILE", log_.c_str(), 1);
  }
  void TearDown() override { EXPECT_EQ(StopHost(), 0); }

  // Starts `krpctl host` on the test's product root (the registry of the
  // TestEnv records it) and waits until it serves every process.
  void StartHost() {
    const char *argv[] = {KRPCTL_PATH, "host", "--root", env_.root().c_str(), nullptr};
    ASSERT_EQ(
        posix_spawn(&host_, KRPCTL_PATH, nullptr, nullptr, const_cast<char **>(argv), environ), 0);
    const std::string running = "server process: " + std::to_string(host_) + " (running)";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    CtlOutput st{-1, ""};
    while (std::chrono::steady_clock::now() < deadline) {
      st = Ctl({"status"});
      if (Has(st, "MT status: every process (1)") && Has(st, running)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FAIL() << "the host did not come up:\n" << st.out;
  }
  int StopHost() {
    if (host_ <= 0) return 0;
    kill(host_, SIGTERM);
    int rc = krptest::WaitChild(host_);
    host_ = -1;
    return rc;
  }

  CtlOutput Ctl(const std::vector<std::string> &args, const std::string &input = "") {
    return krptest::RunKrpctl(args, "", input);
  }
  // Stores `value` under `name` through `obj put`.
  CtlOutput Put(const std::string &name, const std::string &value,
                const std::vector<std::string> &opts = {}) {
    const std::string file = env_.dir() + "/value.in";
    krptest::WriteFile(file, value);
    std::vector<std::string> args = {"obj", "put", name};
    args.insert(args.end(), opts.begin(), opts.end());
    return Ctl(args, file);
  }

  krptest::TestEnv env_;
  std::string log_;
  pid_t host_ = -1;
};

TEST_F(KrpctlService, ObjectsGoInAndOutThroughTheHostUnchanged) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  // Every byte value, NULs included, and large enough to travel in three
  // pieces each way.
  std::string big(700000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  const std::string small("a\0b\r\n%n\xff", 8);

  CtlOutput r = Put("t.svc.big", big);
  ASSERT_EQ(r.status, 0) << r.out;
  r = Put("t.svc.small", small, {"--type", "text", "--attr", "0x15"});
  ASSERT_EQ(r.status, 0) << r.out;
  r = Put("t.svc.empty", "");
  ASSERT_EQ(r.status, 0) << r.out;
  r = Put("t.other", "x");
  ASSERT_EQ(r.status, 0) << r.out;

  r = Ctl({"obj", "get", "t.svc.big"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == big) << "got " << r.out.size() << " bytes";
  r = Ctl({"obj", "get", "t.svc.small"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, small);
  // An empty object is there, and empty.
  r = Ctl({"obj", "get", "t.svc.empty"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");

  r = Ctl({"obj", "ls", "t.svc."});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "t.svc.big\nt.svc.empty\nt.svc.small\n");
  r = Ctl({"obj", "ls", "-l", "t.svc.small"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r, "text") && Has(r, "0x00000015") && Has(r, "t.svc.small")) << r.out;

  r = Ctl({"obj", "info", "t.svc.big"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r, "size: 700000\n")) << r.out;
  EXPECT_TRUE(Has(r, "type: bytearray (8)\n")) << r.out;
  r = Ctl({"obj", "info", "t.svc.small"});
  EXPECT_TRUE(Has(r, "size: 8\n") && Has(r, "attributes: 0x00000015\n") &&
              Has(r, "type: text (1)\n"))
      << r.out;

  // Delete one; a prefix deletes everything below it and nothing else.
  r = Ctl({"obj", "rm", "t.svc.small"});
  EXPECT_EQ(r.status, 0) << r.out;
  r = Ctl({"obj", "get", "t.svc.small"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r, "0x00370001")) << r.out;
  r = Ctl({"obj", "rm", "t.svc.*"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r, "deleted 2 objects")) << r.out;
  r = Ctl({"obj", "ls", "t."});
  EXPECT_EQ(r.out, "t.other\n");
}

TEST_F(KrpctlService, MissingObjectsAndBadNamesFailWithTheirCode) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  ASSERT_EQ(Put("t.dir.leaf", "v").status, 0);
  struct Case {
    std::vector<std::string> args;
    const char *code;
  };
  const std::string long_name(300, 'n');
  const Case cases[] = {
      {{"obj", "get", "t.nothing"}, "0x00370001"},
      {{"obj", "info", "t.nothing"}, "0x00370001"},
      {{"obj", "rm", "t.nothing"}, "0x00370001"},
      {{"obj", "rm", "t.nothing.*"}, "no object begins with"},
      // A name with objects below it holds no value of its own.
      {{"obj", "get", "t.dir"}, "0x00370010"},
      {{"obj", "get", long_name}, "0x0037000f"},
  };
  for (const Case &c : cases) {
    CtlOutput r = Ctl(c.args);
    EXPECT_EQ(r.status, 1) << c.args[1] << " " << c.args[2];
    EXPECT_TRUE(Has(r, c.code)) << c.args[1] << ": " << r.out;
  }
  EXPECT_EQ(Ctl({"obj", "get", "t.dir.leaf"}).out, "v");
}

TEST_F(KrpctlService, StatusShowsTheHostAndTraceWritesItsFields) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  CtlOutput st = Ctl({"status"});
  EXPECT_EQ(st.status, 0);
  EXPECT_TRUE(Has(st, "service: serving other processes")) << st.out;
  EXPECT_TRUE(Has(st, "trace flags: 0x00000000 (off)")) << st.out;

  // Every request takes a number from the counter.
  auto counter = [](const CtlOutput &r) {
    size_t at = r.out.find("request counter: ");
    return at == std::string::npos ? -1L : std::atol(r.out.c_str() + at + 17);
  };
  const long before = counter(st);
  ASSERT_GE(before, 0) << st.out;
  auto field = [](const CtlOutput &r, const char *label) {
    size_t at = r.out.find(label);
    return at == std::string::npos ? std::string()
                                   : r.out.substr(at + strlen(label),
                                                  r.out.find('\n', at) - at - strlen(label));
  };
  const std::string generation = field(st, "feed generation: ");
  const std::string sequence = field(st, "change sequence: ");
  ASSERT_FALSE(generation.empty()) << st.out;
  EXPECT_NE(generation, "0x00000000");
  ASSERT_EQ(Put("t.count", "1").status, 0);
  st = Ctl({"status"});
  EXPECT_GT(counter(st), before);
  // The write published its name and its container.
  EXPECT_EQ(std::atol(field(st, "change sequence: ").c_str()), std::atol(sequence.c_str()) + 2)
      << st.out;
  EXPECT_EQ(field(st, "feed generation: "), generation);
  // A new host start is a new generation.
  ASSERT_EQ(StopHost(), 0);
  ASSERT_NO_FATAL_FAILURE(StartHost());
  st = Ctl({"status"});
  EXPECT_NE(field(st, "feed generation: "), generation) << st.out;
  EXPECT_EQ(field(st, "change sequence: "), "0") << st.out;

  // "on" without --flags: every request kind, to the log.
  CtlOutput r = Ctl({"trace", "on"});
  EXPECT_EQ(r.status, 0) << r.out;
  st = Ctl({"status"});
  EXPECT_TRUE(Has(st, "trace flags: 0x0001f810 (read,write,delete,list,info,maint,log)")) << st.out;
  EXPECT_TRUE(Has(st, "trace process filter: every process")) << st.out;

  // Words and hex numbers together; the name filter is the CRC-32 of the
  // name ("123456789" is the CRC's published check value).
  r = Ctl({"trace", "on", "--flags", "read,debugger,0x1", "--process", "77", "--thread", "88",
           "--name", "123456789"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r, "0xcbf43926")) << r.out;
  st = Ctl({"status"});
  EXPECT_TRUE(Has(st, "trace flags: 0x00028001 (read,replies,debugger)")) << st.out;
  EXPECT_TRUE(Has(st, "trace process filter: 77\n")) << st.out;
  EXPECT_TRUE(Has(st, "trace name filter: 0xcbf43926")) << st.out;
  EXPECT_TRUE(Has(st, "trace thread filter: 88\n")) << st.out;

  r = Ctl({"trace", "off"});
  EXPECT_EQ(r.status, 0) << r.out;
  st = Ctl({"status"});
  EXPECT_TRUE(Has(st, "trace flags: 0x00000000 (off)")) << st.out;
  EXPECT_TRUE(Has(st, "trace process filter: every process")) << st.out;
  EXPECT_TRUE(Has(st, "trace name filter: every name")) << st.out;
  EXPECT_TRUE(Has(st, "trace thread filter: every thread")) << st.out;

  // Malformed trace command lines change nothing.
  const std::vector<std::vector<std::string>> usage = {
      {"trace", "on", "--flags", "read,bogus"},
      {"trace", "on", "--flags", "0x123456789"},
      {"trace", "on", "--flags", ""},
      {"trace", "off", "--process", "5"},
      {"trace", "sideways"},
      {"trace"},
  };
  for (const auto &args : usage) {
    r = Ctl(args);
    EXPECT_EQ(r.status, 2) << args.size() << ": " << r.out;
  }
  EXPECT_TRUE(Has(Ctl({"status"}), "trace flags: 0x00000000 (off)"));
}

TEST_F(KrpctlService, PackCopyAndRuntimeReportGoThroughTheHost) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  ASSERT_EQ(Put("t.keep", "kept").status, 0);
  ASSERT_EQ(Put("t.gone", "gone").status, 0);
  ASSERT_EQ(Ctl({"obj", "rm", "t.gone"}).status, 0);

  CtlOutput r = Ctl({"pack"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Ctl({"obj", "get", "t.keep"}).out, "kept");

  struct stat st;
  const std::string inside = env_.root() + "/copy.kts";
  r = Ctl({"copy", inside});
  EXPECT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(stat(inside.c_str(), &st), 0);
  EXPECT_GT(st.st_size, 0);

  // Outside the product root, or through a link: refused, nothing written.
  const std::string outside = env_.dir() + "/outside.kts";
  const std::string link = env_.root() + "/link.kts";
  ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
  for (const std::string &target : {outside, link}) {
    r = Ctl({"copy", target});
    EXPECT_EQ(r.status, 1) << target;
    EXPECT_TRUE(Has(r, "0x00000005")) << r.out;
  }
  EXPECT_NE(stat(outside.c_str(), &st), 0);

  r = Ctl({"runtime-info"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.rfind("<?xml", 0), 0u) << r.out;
  r = Ctl({"runtime-info", "--stylesheet", "report-style.xsl"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r, "report-style.xsl")) << r.out;
  CtlOutput schema = Ctl({"runtime-info", "--schema"});
  EXPECT_EQ(schema.status, 0) << schema.out;
  EXPECT_EQ(schema.out.rfind("<?xml", 0), 0u) << schema.out;
  EXPECT_NE(schema.out, r.out);
}

TEST_F(KrpctlService, WithoutAHostEveryCommandFailsCleanly) {
  CtlOutput r = Ctl({"status"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r, "no service has run on this machine")) << r.out;
  r = Ctl({"trace", "on"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r, "no service has run on this machine")) << r.out;

  const std::vector<std::vector<std::string>> requests = {
      {"obj", "get", "t.x"}, {"obj", "ls"}, {"obj", "info", "t.x"},
      {"obj", "rm", "t.x"},  {"pack"},      {"copy", env_.root() + "/c.kts"},
      {"runtime-info"},
  };
  for (const auto &args : requests) {
    r = Ctl(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_TRUE(Has(r, "no host serves this process: no usable store server (0x00141001)")) << r.out;
  }
  // A put reads its value first, then finds no host.
  r = Put("t.x", "v");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r, "0x00141001")) << r.out;
  // Nothing was created on the way.
  EXPECT_EQ(Ctl({"status"}).status, 1);
}

// A killed host leaves the status block behind in every process that still
// maps it, saying "every process" with the dead host's id. The tool must see
// through it at once instead of waiting out the request time-outs.
TEST_F(KrpctlService, AKilledHostIsReportedGoneAndRequestsFailAtOnce) {
  ASSERT_NO_FATAL_FAILURE(StartHost());
  void *addr = nullptr;
  KST_HSHMEM held = nullptr;
  ASSERT_EQ(KstOpenSharedMemGlobal("KRPDLL_001_MEMBLOCK", &addr, &held), 0u);
  const pid_t dead = host_;
  ASSERT_EQ(kill(host_, SIGKILL), 0);
  EXPECT_EQ(krptest::WaitChild(host_), 128 + SIGKILL);
  host_ = -1;

  CtlOutput st = Ctl({"status"});
  EXPECT_EQ(st.status, 0) << st.out;
  EXPECT_TRUE(Has(st, "MT status: every process (1)")) << st.out;
  EXPECT_TRUE(Has(st, "server process: " + std::to_string(dead) + " (gone)")) << st.out;
  EXPECT_TRUE(Has(st, "service: not usable from here: no usable store server (0x00141001)")) << st.out;

  auto start = std::chrono::steady_clock::now();
  CtlOutput r = Ctl({"obj", "get", "t.x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r, "no host serves this process: no usable store server (0x00141001)")) << r.out;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  KstFreeSharedMem(addr, held);
}

TEST_F(KrpctlService, EveryServiceCommandAnswersHelp) {
  const std::vector<std::vector<std::string>> cmds = {
      {"status"},    {"trace"},       {"obj"},  {"obj", "get"}, {"obj", "put"},   {"obj", "rm"},
      {"obj", "ls"}, {"obj", "info"}, {"pack"}, {"copy"},       {"runtime-info"},
  };
  for (auto args : cmds) {
    args.push_back("--help");
    CtlOutput r = Ctl(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.out;
    EXPECT_TRUE(Has(r, "Usage")) << r.out;
  }
  // A group without its command is a usage error.
  EXPECT_EQ(Ctl({"obj"}).status, 2);
}

}  // namespace
