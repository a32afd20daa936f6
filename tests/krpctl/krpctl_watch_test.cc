// Runs the built krpctl's watch command against a store served by a host in
// this process: a change prints its line, and SIGINT ends the watch with 0.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "krplib.h"
#include "resource.h"
#include "test_support.h"

namespace {

class KrpctlWatch : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
    ASSERT_EQ(0u, KrpWriteStoredValue("vendor.w.a", KRT_TEXT, "x", 2, 0));
  }
  void TearDown() override {
    if (ctx_) {
      EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
    }
  }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

// The watcher is started, then the value grows by one byte every 50 ms (a
// new size is a change even within one second) until its line appears; the
// deadline only guards against a hang.
TEST_F(KrpctlWatch, AChangePrintsItsLineAndSigintEndsTheWatchWithZero) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[0]);
    execl(KRPCTL_PATH, "krpctl", "watch", "vendor.w.a", "--priority", "10", nullptr);
    _exit(127);
  }
  close(fds[1]);
  std::string out, value = "x";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (out.find("vendor.w.a changed") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    value += 'x';
    ASSERT_EQ(0u, KrpWriteStoredValue("vendor.w.a", KRT_TEXT, value.c_str(),
                                      static_cast<uint32_t>(value.size() + 1), 0));
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 50) == 1) {
      char buf[512];
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n > 0) out.append(buf, static_cast<size_t>(n));
      if (n == 0) break;  // the watcher ended early
    }
  }
  kill(pid, SIGINT);
  int st = 0;
  ASSERT_EQ(pid, waitpid(pid, &st, 0));
  close(fds[0]);
  EXPECT_NE(std::string::npos, out.find("vendor.w.a changed")) << out;
  ASSERT_TRUE(WIFEXITED(st)) << out;
  EXPECT_EQ(0, WEXITSTATUS(st)) << out;
}

}  // namespace
