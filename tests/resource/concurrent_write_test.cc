// Two processes writing straight into the store file at the same time (no
// host): every write that was acknowledged is present afterwards, and a
// host opens the store cleanly. The file's own locking serialises the
// writers; a write that gives up on a held file reports it (never 0).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "krplib.h"
#include "test_support.h"

namespace {

std::string Name(int writer, int i) {
  return "vendor.cw" + std::to_string(writer) + ".v" + std::to_string(i);
}

// A child: writes `count` values and records, one per line, those that
// were acknowledged.
[[noreturn]] void Writer(int writer, int count, const std::string &log) {
  FILE *f = fopen(log.c_str(), "w");
  for (int i = 0; i < count; ++i) {
    const std::string v = "value " + std::to_string(i);
    uint32_t rc = dll_KrpSetString(Name(writer, i).c_str(), uint32_t(v.size()), v.c_str(),
                                   nullptr, nullptr);
    if (f && rc == 0) fprintf(f, "%d\n", i);
  }
  if (f) fclose(f);
  _exit(0);
}

TEST(DirectWriters, TwoProcessesLoseNoAcknowledgedWrite) {
  krptest::TestEnv env;
  // A store file to write into.
  KRP_HLIBCTX ctx = nullptr;
  ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
  ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
  const int count = getenv("KRP_TEST_LONG") ? 300 : 25;
  std::string logs[2];
  pid_t pids[2];
  for (int w = 0; w < 2; ++w) {
    logs[w] = env.root() + "/writer" + std::to_string(w) + ".log";
    pids[w] = fork();
    ASSERT_GE(pids[w], 0);
    if (pids[w] == 0) Writer(w, count, logs[w]);
  }
  for (pid_t p : pids) {
    int status = 0;
    ASSERT_EQ(p, waitpid(p, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
  }
  // The host's open rebuilds the index from every record: a damaged file
  // would refuse it.
  ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
  int acknowledged = 0;
  for (int w = 0; w < 2; ++w) {
    FILE *f = fopen(logs[w].c_str(), "r");
    ASSERT_NE(nullptr, f);
    int i;
    while (fscanf(f, "%d", &i) == 1) {
      ++acknowledged;
      char buf[32] = {0};
      uint32_t size = sizeof buf;
      EXPECT_EQ(0u, dll_KrpGetString(Name(w, i).c_str(), &size, buf)) << Name(w, i);
      EXPECT_EQ("value " + std::to_string(i), std::string(buf)) << Name(w, i);
    }
    fclose(f);
  }
  EXPECT_GT(acknowledged, 0);
  EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
}

}  // namespace
