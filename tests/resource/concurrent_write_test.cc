// Two processes writing straight into the store file at the same time (no
// host): every write that was acknowledged is present afterwards, and a
// host opens the store cleanly. The file's own locking serialises the
// writers; a write that gives up on a held file reports it (never 0).
//
// A direct writer racing a host that starts (and stops again) on the same
// store: each write goes straight into the file, or meets the file held by
// the starting server and is handed over to it, or fails. Whatever the
// interleaving, a write that returned 0 is in the store and one that
// failed is not.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// ---- a direct writer racing a host that starts ----------------------------------

std::string RaceName(int round, int i) {
  return "vendor.race.r" + std::to_string(round) + ".v" + std::to_string(i);
}
std::string RaceValue(int round, int i) {
  return "race " + std::to_string(round) + "/" + std::to_string(i);
}

// Child: writes values of round args[0], one line per write into args[2]:
// the index and the result. Starts once the file args[3] exists and goes on
// until args[3] + ".done" exists (or args[1] writes), so its writes span
// the host's start, its service and its stop.
KRP_CHILD_ROLE_FN(race_writer) {
  const int round = std::stoi(args[0]), most = std::stoi(args[1]);
  const std::string done = args[3] + ".done";
  while (access(args[3].c_str(), F_OK) != 0) usleep(100);
  FILE *f = fopen(args[2].c_str(), "w");
  if (!f) return 2;
  for (int i = 0; i < most && access(done.c_str(), F_OK) != 0; ++i) {
    const std::string v = RaceValue(round, i);
    uint32_t rc = dll_KrpSetString(RaceName(round, i).c_str(), uint32_t(v.size()), v.c_str(),
                                   nullptr, nullptr);
    fprintf(f, "%d %u\n", i, rc);
    fflush(f);
  }
  fclose(f);
  return 0;
}

// Child: once the file args[1] exists, after args[0] microseconds, starts a
// host on the store, opens it to every process and stops it again after
// args[2] microseconds. Exits 0 also when the start failed: a refused start
// is part of the race.
KRP_CHILD_ROLE_FN(race_host) {
  while (access(args[1].c_str(), F_OK) != 0) usleep(100);
  usleep(useconds_t(std::stoi(args[0])));
  KRP_HLIBCTX ctx = nullptr;
  if (dll_KrpInitializeKrpLib(&ctx) != 0) return 0;
  dll_KrpFlagMtClientAsAvailable();
  usleep(useconds_t(std::stoi(args[2])));
  return dll_KrpUninitializeKrpLib(&ctx) == 0 ? 0 : 3;
}

struct RaceResult {
  int round, index;
  uint32_t rc;
};

std::vector<RaceResult> ReadResults(int round, const std::string &log) {
  std::vector<RaceResult> out;
  FILE *f = fopen(log.c_str(), "r");
  if (!f) return out;
  int i;
  unsigned rc;
  while (fscanf(f, "%d %u", &i, &rc) == 2) out.push_back({round, i, rc});
  fclose(f);
  return out;
}

TEST(DirectWriters, ARaceWithAStartingHostKeepsExactlyTheAcknowledgedWrites) {
  krptest::TestEnv env;
  KRP_HLIBCTX ctx = nullptr;
  ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
  ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
  const bool long_form = getenv("KRP_TEST_LONG") != nullptr;
  const int rounds = long_form ? 16 : 4, most = long_form ? 20000 : 3000;
  std::vector<RaceResult> results;
  for (int r = 0; r < rounds; ++r) {
    const std::string go = env.root() + "/go" + std::to_string(r);
    const std::string log = env.root() + "/race" + std::to_string(r) + ".log";
    // The host comes up at a different point of the writer's run each
    // round, and stops again at once or after serving for longer than a
    // direct write waits for a held file (so some writes are handed over).
    const std::string delay = std::to_string((r % 4) * 1500);
    const std::string hold = std::to_string(r % 2 ? 3000 : 1200000);
    pid_t writer = krptest::SpawnRole("race_writer", {std::to_string(r), std::to_string(most), log, go});
    pid_t host = krptest::SpawnRole("race_host", {delay, go, hold});
    krptest::WriteFile(go, "");
    ASSERT_EQ(0, krptest::WaitChild(host)) << "round " << r;
    krptest::WriteFile(go + ".done", "");
    ASSERT_EQ(0, krptest::WaitChild(writer)) << "round " << r;
    const std::vector<RaceResult> got = ReadResults(r, log);
    ASSERT_FALSE(got.empty()) << "round " << r;
    results.insert(results.end(), got.begin(), got.end());
  }
  // The host's open rebuilds the index from every record and refuses a
  // damaged file; each read checks the value's digest.
  ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
  int acknowledged = 0;
  for (const RaceResult &w : results) {
    const std::string name = RaceName(w.round, w.index);
    char buf[64] = {0};
    uint32_t size = sizeof buf;
    const uint32_t rc = dll_KrpGetString(name.c_str(), &size, buf);
    if (w.rc == 0) {
      ++acknowledged;
      EXPECT_EQ(0u, rc) << name;
      EXPECT_EQ(RaceValue(w.round, w.index), std::string(buf)) << name;
    } else {
      EXPECT_EQ(0x370001u, rc) << name << " failed with 0x" << std::hex << w.rc
                               << " but is in the store";
    }
  }
  EXPECT_GT(acknowledged, 0);
  EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
}

}  // namespace
