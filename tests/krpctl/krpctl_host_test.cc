// krpctl host as its own process: it records its root in a registry folder of
// its own, serves other processes, and stops in order on SIGTERM (exit 0).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "krpctl_run.h"
#include "test_support.h"

extern char **environ;

namespace {


TEST(KrpctlHost, ServesOtherProcessesAndStopsInOrderOnSigterm) {
  krptest::TestEnv env;
  unsetenv("KST_REGISTRY");  // the host makes its own under the root
  std::string root = env.dir() + "/hostroot";
  std::string log = env.dir() + "/host.log";
  setenv("TRACELIB_FILE", log.c_str(), 1);
  const char *argv[] = {KRPCTL_PATH, "host", "--root", root.c_str(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, KRPCTL_PATH, nullptr, nullptr, const_cast<char **>(argv), environ),
            0);

  // A missing resource read through the host is "not found" (0x370001);
  // before the host serves, the answer is "no usable server" or a wait.
  std::string reg = "KST_REGISTRY='" + root + "/registry'";
  krptest::CtlOutput got{-1, ""};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    got = krptest::RunKrpctl({"get", "vendor.nothing.here"}, reg);
    if (got.out.find("0x00370001") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(got.out.find("0x00370001"), std::string::npos) << got.out;
  EXPECT_EQ(got.status, 1);
  EXPECT_EQ(krptest::ReadFile(root + "/registry/SOFTWARE/Kestarcorp/RootPath"), root);

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(krptest::WaitChild(pid), 0);
  struct stat st;
  EXPECT_EQ(stat((root + "/resources/store.kts").c_str(), &st), 0);
  // The host made the store's folder private, and the store with it.
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(stat((root + "/resources").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_NE(krptest::ReadFile(log).find("Orderly shutdown completed"), std::string::npos);
}

}  // namespace
