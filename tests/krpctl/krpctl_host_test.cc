// krpctl host as its own process: it records its root in a registry folder of
// its own, serves other processes, and stops in order on SIGTERM (exit 0).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
  // An earlier host's link to a logging library that is gone.
  ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((root + "/lib").c_str(), 0700), 0);
  ASSERT_EQ(symlink("/nonexistent/libtracelib.so", (root + "/lib/libtracelib.so").c_str()), 0);
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
  // The logging library krpctl runs with is placed where the suite's other
  // processes look for it (root/lib/), in place of the stale link.
  EXPECT_EQ(stat((root + "/lib/libtracelib.so").c_str(), &st), 0);
}

#ifdef KRPCTL_HAVE_SYSTEMD
// The service manager's side of the readiness protocol: a datagram socket
// named by NOTIFY_SOCKET. Receive() waits for one message; the bound only
// keeps a broken host from hanging the test.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string &path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  std::string Receive() {
    constexpr int kHangGuardMs = 60000;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kHangGuardMs) != 1) return "";
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(KrpctlHost, ReportsReadyToTheServiceManagerOnlyOnceItServesEveryProcess) {
  krptest::TestEnv env;
  unsetenv("KST_REGISTRY");
  std::string root = env.dir() + "/hostroot";
  setenv("TRACELIB_FILE", (env.dir() + "/host.log").c_str(), 1);
  NotifySocket manager(env.dir() + "/notify");
  ASSERT_TRUE(manager.bound());
  setenv("NOTIFY_SOCKET", (env.dir() + "/notify").c_str(), 1);
  const char *argv[] = {KRPCTL_PATH, "host", "--root", root.c_str(), nullptr};
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, KRPCTL_PATH, nullptr, nullptr, const_cast<char **>(argv), environ);
  unsetenv("NOTIFY_SOCKET");
  ASSERT_EQ(spawned, 0);

  EXPECT_NE(manager.Receive().find("READY=1"), std::string::npos);
  // At that moment another process is served already.
  krptest::CtlOutput got =
      krptest::RunKrpctl({"status"}, "KST_REGISTRY='" + root + "/registry'");
  EXPECT_NE(got.out.find("service: serving other processes"), std::string::npos) << got.out;

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_NE(manager.Receive().find("STOPPING=1"), std::string::npos);
  EXPECT_EQ(krptest::WaitChild(pid), 0);
}
#endif

}  // namespace
