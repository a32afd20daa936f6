// KRP_ASSERT: a broken invariant stops the process with the file, the line
// and the condition on standard error and in the log; in builds without
// checks the condition is not even evaluated.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "krp_assert.h"
#include "platform.h"
#include "test_support.h"

namespace {

int g_evaluated = 0;
bool Evaluate(bool value) {
  ++g_evaluated;
  return value;
}

TEST(KrpAssert, ABrokenInvariantAbortsWithWhereAndWhat) {
  if (!KRP_ASSERT_ACTIVE) GTEST_SKIP() << "built without invariant checks (NDEBUG)";
  krptest::TestEnv env;
  const std::string log = env.dir() + "/log.txt";
  setenv("TRACELIB_FILE", log.c_str(), 1);
  // The "fast" style: the dying child is forked here and writes to this
  // test's log (a re-executed child would make a folder of its own).
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_DEATH(KRP_ASSERT(Evaluate(1 + 1 == 3)),
               "krp_assert .*krp_assert_test.cc line [0-9]+: invariant broken: "
               "Evaluate\\(1 \\+ 1 == 3\\)");
  if (getenv("KST_TRACELIB")) {
    EXPECT_NE(krptest::ReadFile(log).find("invariant broken: Evaluate(1 + 1 == 3)"),
              std::string::npos);
  }
  unsetenv("TRACELIB_FILE");
  // A kept invariant costs one evaluation and nothing else.
  g_evaluated = 0;
  KRP_ASSERT(Evaluate(true));
  EXPECT_EQ(g_evaluated, 1);
}

TEST(KrpAssert, WithoutChecksTheConditionIsNotEvaluated) {
  if (KRP_ASSERT_ACTIVE) GTEST_SKIP() << "built with invariant checks";
  g_evaluated = 0;
  KRP_ASSERT(Evaluate(false));
  EXPECT_EQ(g_evaluated, 0);
}

}  // namespace
