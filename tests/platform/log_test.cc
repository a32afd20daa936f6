// The logging search runs once per process, so every case runs in a child
// process that sets its environment first.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform.h"
#include "test_hooks.h"
#include "test_support.h"

namespace {

// args: [KST_TRACELIB value or "-" for unset, working directory, lines...]
KRP_CHILD_ROLE_FN(log_lines) {
  if (args.at(0) == "-") {
    unsetenv("KST_TRACELIB");
  } else {
    setenv("KST_TRACELIB", args[0].c_str(), 1);
  }
  if (chdir(args.at(1).c_str()) != 0) return 90;
  for (size_t i = 2; i < args.size(); ++i) KstLogPrintf("%s", args[i].c_str());
  KstLogPrintf("krp (%d) rc 0x%08x name '%s'", 42, 0x370001u, "a.b");
  // A search made once, whatever the number of lines.
  return static_cast<int>(KstTestLogSearchCount());
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *lib = getenv("KST_TRACELIB");
    if (!lib || !*lib) GTEST_SKIP() << "KST_TRACELIB does not name the built libtracelib.so";
    lib_ = lib;
    out_ = env_.dir() + "/trace.log";
    setenv("TRACELIB_FILE", out_.c_str(), 1);
  }
  int Run(const std::string &tracelib, const std::string &cwd) {
    return krptest::WaitChild(
        krptest::SpawnRole("log_lines", {tracelib, cwd, "first line", "100% sure"}));
  }
  void CopyLibTo(const std::string &folder) {
    std::string cmd = "mkdir -p '" + folder + "' && cp '" + lib_ + "' '" + folder + "/'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  krptest::TestEnv env_;
  std::string lib_, out_;
};

const char kExpected[] = "first line\n100% sure\nkrp (42) rc 0x00370001 name 'a.b'\n";

TEST_F(LogTest, LinesReachTheLibraryNamedByTheVariableExactlyAsFormatted) {
  EXPECT_EQ(Run(lib_, env_.dir()), 1);
  EXPECT_EQ(krptest::ReadFile(out_), kExpected);
}

TEST_F(LogTest, TheLibraryFolderOfTheSuiteIsTheSecondPlace) {
  CopyLibTo(env_.root() + "/lib");
  EXPECT_EQ(Run("-", env_.dir()), 1);
  EXPECT_EQ(krptest::ReadFile(out_), kExpected);
}

TEST_F(LogTest, AMissingLibraryIsSearchedOnceAndNothingIsWritten) {
  EXPECT_EQ(Run(env_.dir() + "/nowhere/libtracelib.so", env_.dir()), 1);
  EXPECT_EQ(Run("-", env_.dir()), 1);
  EXPECT_EQ(krptest::ReadFile(out_), "");
}

TEST_F(LogTest, TheCurrentDirectoryIsNeverSearched) {
  std::string planted = env_.dir() + "/cwd";
  CopyLibTo(planted);
  EXPECT_EQ(Run("-", planted), 1);
  EXPECT_EQ(krptest::ReadFile(out_), "");
}

}  // namespace
