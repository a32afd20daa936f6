// Start and stop of the hosting server: status words, one host per machine,
// a failed start, and what other processes see.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "platform.h"
#include "service_util.h"

namespace {

using namespace svctest;

// Child: the availability it sees, as its exit status (low byte of a code
// mapped to a small number).
KRP_CHILD_ROLE_FN(probe_available) {
  switch (dll_KrpIsMtAvailable()) {
    case 0:
      return 0;
    case 0x141001:
      return 1;
    case 0x370011:
      return 2;
    case 0x370012:
      return 3;
    default:
      return 9;
  }
}

// Child: tries to start a host; exits 0 when it got 0x370008.
KRP_CHILD_ROLE_FN(second_start) {
  KRP_HLIBCTX ctx = nullptr;
  uint32_t rc = dll_KrpInitializeKrpLib(&ctx);
  if (rc == 0) dll_KrpUninitializeKrpLib(&ctx);
  return rc == 0x370008 ? 0 : 1;
}

// Child: waits for the "go" file, starts, writes its result into
// args[1], holds the server for a second, stops.
KRP_CHILD_ROLE_FN(racing_start) {
  if (!WaitForFile(args[0])) return 2;
  KRP_HLIBCTX ctx = nullptr;
  uint32_t rc = dll_KrpInitializeKrpLib(&ctx);
  krptest::WriteFile(args[1], std::to_string(rc));
  if (rc == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    dll_KrpUninitializeKrpLib(&ctx);
  }
  return 0;
}

int Probe() { return krptest::WaitChild(krptest::SpawnRole("probe_available")); }

TEST(ServiceHost, StartWritesStatusAndOpensToOtherProcessesOnlyWhenFlagged) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start(false));
  EXPECT_EQ(0u, StatusWord(status::kMtStatus));
  EXPECT_EQ(static_cast<uint32_t>(getpid()), StatusWord(status::kServerPid));
  EXPECT_EQ(0u, StatusWord(status::kRequestCounter));
  EXPECT_NE(0u, StatusWord(status::kLastWrite));
  EXPECT_TRUE(MtServerThreadAlive());
  EXPECT_EQ(0u, dll_KrpIsMtAvailable());  // the host itself
  EXPECT_EQ(1, Probe());                  // everybody else: 0x141001

  ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
  EXPECT_EQ(0, Probe());
  ASSERT_EQ(0u, dll_KrpFlagMtClientAsServerIsCleaningHouse());
  EXPECT_EQ(2, Probe());
  EXPECT_EQ(0x370011u, dll_KrpIsMtAvailable());
  ASSERT_EQ(0u, dll_KrpFlagMtClientAsUnavailable());
  EXPECT_EQ(1, Probe());

  ASSERT_EQ(0u, host.Stop());
  EXPECT_EQ(nullptr, host.ctx);
  EXPECT_EQ(0u, StatusWord(status::kMtStatus));
  EXPECT_EQ(0xFFFFFFFFu, StatusWord(status::kServerPid));
  EXPECT_FALSE(MtServerThreadAlive());
  EXPECT_EQ(0x141001u, dll_KrpIsMtAvailable());
  EXPECT_EQ(1, Probe());
}

TEST(ServiceHost, StopThenStartAgainInOneProcess) {
  krptest::TestEnv env;
  Host host;
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(0u, host.Start()) << round;
    // The client side connects anew after each stop.
    char value[] = "abc";
    ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, "round.value", value, 3, 1, 0, 0)) << round;
    Store32(MtStatusBlock(), status::kTraceFlags, 0x1234);
    ASSERT_EQ(0u, host.Stop()) << round;
  }
  // Each start cleared the block.
  EXPECT_EQ(0x1234u, StatusWord(status::kTraceFlags));
  ASSERT_EQ(0u, host.Start());
  EXPECT_EQ(0u, StatusWord(status::kTraceFlags));
}

// Polls a status word (10 ms steps, up to 10 s) until it holds `want`.
bool WaitForWord(volatile void *st, uint32_t off, uint32_t want) {
  for (int i = 0; i < 1000 && Load32(st, off) != want; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return Load32(st, off) == want;
}

// Status words scribbled by another process are put back by the idle host:
// a server process id that is not the host's, an MT status that is not
// one of 0, 1 and 10 (the last valid one returns). Legitimate changes stay.
TEST(ServiceHost, IdleHostPutsBackScribbledStatusWords) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start());
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  ASSERT_EQ(0u, MtStatusBlockOpen(&addr, &h));
  const uint32_t self = static_cast<uint32_t>(getpid());

  ASSERT_EQ(0u, dll_KrpFlagMtClientAsServerIsCleaningHouse());
  for (uint32_t scribbled : {1u, 0xFFFFFFFFu, self + 1}) {
    Store32(addr, status::kServerPid, scribbled);
    EXPECT_TRUE(WaitForWord(addr, status::kServerPid, self)) << scribbled;
  }
  // The check that put the process id back kept the legitimate status 10.
  EXPECT_EQ(10u, Load32(addr, status::kMtStatus));

  // The status returned is the last valid one an idle check saw: let one
  // see the 1 (it puts back a scribbled process id) before scribbling.
  ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
  Store32(addr, status::kServerPid, 1);
  ASSERT_TRUE(WaitForWord(addr, status::kServerPid, self));
  for (uint32_t scribbled : {15u, 2u, 0xFFFFFFFFu}) {
    Store32(addr, status::kMtStatus, scribbled);
    EXPECT_TRUE(WaitForWord(addr, status::kMtStatus, 1)) << scribbled;
  }
  EXPECT_EQ(0, Probe());  // other processes are served again

  // The stop's "no server" is not undone.
  ASSERT_EQ(0u, host.Stop());
  EXPECT_EQ(0xFFFFFFFFu, Load32(addr, status::kServerPid));
  KstFreeSharedMem(addr, h);
}

TEST(ServiceHost, SecondStartGives370008AndLeavesTheStatusBlockAlone) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start());
  volatile uint8_t *st = MtStatusBlock();
  Store32(st, status::kRequestCounter, 777);
  Store32(st, status::kTraceFlags, 0x55);
  const uint32_t last_write = StatusWord(status::kLastWrite);

  EXPECT_EQ(0, krptest::WaitChild(krptest::SpawnRole("second_start")));
  KRP_HLIBCTX again = nullptr;
  EXPECT_EQ(0x370008u, dll_KrpInitializeKrpLib(&again));
  EXPECT_EQ(nullptr, again);

  EXPECT_EQ(1u, StatusWord(status::kMtStatus));
  EXPECT_EQ(static_cast<uint32_t>(getpid()), StatusWord(status::kServerPid));
  EXPECT_EQ(777u, StatusWord(status::kRequestCounter));
  EXPECT_EQ(0x55u, StatusWord(status::kTraceFlags));
  EXPECT_EQ(last_write, StatusWord(status::kLastWrite));
  EXPECT_EQ(0, Probe());  // still serving
}

TEST(ServiceHost, RacingStartsLeaveExactlyOneServer) {
  krptest::TestEnv env;
  const std::string go = env.dir() + "/go";
  std::vector<pid_t> kids;
  for (int i = 0; i < 4; ++i)
    kids.push_back(krptest::SpawnRole("racing_start", {go, env.dir() + "/r" + std::to_string(i)}));
  krptest::WriteFile(go, "1");
  int started = 0, refused = 0;
  for (size_t i = 0; i < kids.size(); ++i) {
    ASSERT_EQ(0, krptest::WaitChild(kids[i]));
    std::string r = krptest::ReadFile(env.dir() + "/r" + std::to_string(i));
    if (r == "0") ++started;
    if (r == std::to_string(0x370008)) ++refused;
  }
  EXPECT_EQ(1, started);
  EXPECT_EQ(3, refused);
}

TEST(ServiceHost, StopArgumentsAndStopWithoutService) {
  krptest::TestEnv env;
  EXPECT_EQ(87u, dll_KrpUninitializeKrpLib(nullptr));
  KRP_HLIBCTX none = nullptr;
  EXPECT_EQ(0x37000Cu, dll_KrpUninitializeKrpLib(&none));
  EXPECT_EQ(87u, dll_KrpInitializeKrpLib(nullptr));
  Host host;
  ASSERT_EQ(0u, host.Start());
  KRP_HLIBCTX bogus = reinterpret_cast<KRP_HLIBCTX>(&none);
  EXPECT_EQ(0x37000Cu, dll_KrpUninitializeKrpLib(&bogus));
  EXPECT_EQ(0, Probe());
}

// A client that mapped the status block keeps it alive; it must then read
// that no server runs.
struct MappedStatus {
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  MappedStatus() { EXPECT_EQ(0u, MtStatusBlockCreate(&addr, &h)); }
  ~MappedStatus() { KstFreeSharedMem(addr, h); }
};

TEST(ServiceHost, FailedStartLeavesNoServerBehind) {
  krptest::TestEnv env;
  MappedStatus mapped;
  KRP_HLIBCTX ctx = nullptr;
  const std::string missing = env.dir() + "/no/such/folder/";
  uint32_t rc = dll_KrpInitializeKrpLibUsingNamedStore(&ctx, 0, missing.c_str(), "store.kts");
  EXPECT_NE(0u, rc);
  EXPECT_EQ(nullptr, ctx);
  EXPECT_EQ(0u, StatusWord(status::kMtStatus));
  EXPECT_EQ(0xFFFFFFFFu, StatusWord(status::kServerPid));
  EXPECT_FALSE(MtServerThreadAlive());
  EXPECT_EQ(0x141001u, dll_KrpIsMtAvailable());
  // A good start afterwards works.
  Host host;
  EXPECT_EQ(0u, host.Start());
}

TEST(ServiceHost, StartWithoutRootGives2) {
  krptest::TestEnv env(false);
  KRP_HLIBCTX ctx = nullptr;
  EXPECT_EQ(2u, dll_KrpInitializeKrpLib(&ctx));
  EXPECT_EQ(nullptr, ctx);
}

TEST(ServiceHost, StoreOfUnknownFormatFailsTheStart) {
  krptest::TestEnv env;
  MappedStatus mapped;
  const std::string folder = env.root() + "/resources/";
  ASSERT_EQ(0u, KstCreateDirTree(folder.c_str()));
  krptest::WriteFile(folder + "store.kts", std::string(4096, 'x'));
  KRP_HLIBCTX ctx = nullptr;
  EXPECT_NE(0u, dll_KrpInitializeKrpLib(&ctx));
  EXPECT_EQ(nullptr, ctx);
  EXPECT_FALSE(MtServerThreadAlive());
  EXPECT_EQ(0xFFFFFFFFu, StatusWord(status::kServerPid));
}


// The store file held open by someone else: the start keeps trying (101
// tries 200 ms apart, about 20 s) and then fails with 32, leaving no server.
TEST(ServiceHost, StoreHeldElsewhereFailsTheStartWith32AfterItsRetries) {
  krptest::TestEnv env;
  MappedStatus mapped;
  {
    Host first;  // creates the store file
    ASSERT_EQ(0u, first.Start());
  }
  KST_HFILE held = KST_INVALID_HFILE;
  ASSERT_EQ(0u, KstOpenRWFile((env.root() + "/resources/store.kts").c_str(), &held));
  const auto t0 = std::chrono::steady_clock::now();
  KRP_HLIBCTX ctx = nullptr;
  EXPECT_EQ(32u, dll_KrpInitializeKrpLib(&ctx));
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(nullptr, ctx);
  // Loose: it retried rather than failing at the first attempt.
  EXPECT_GT(waited, std::chrono::seconds(10));
  EXPECT_FALSE(MtServerThreadAlive());
  EXPECT_EQ(0xFFFFFFFFu, StatusWord(status::kServerPid));
  KstCloseFile(held);
  Host host;  // free again
  EXPECT_EQ(0u, host.Start());
}

}  // namespace
