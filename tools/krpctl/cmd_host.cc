// "krpctl host": hosts the store in the foreground until SIGINT or SIGTERM.
//
// With --root DIR the store lives in DIR/resources/store.kts. When no
// registry folder is named (KST_REGISTRY unset), DIR/registry becomes the
// registry and DIR is recorded there as the product root, so a user without
// root privileges can host a store inside a checkout; other terminals point
// KST_REGISTRY at the same folder. Log lines go to the terminal through the
// logging library built beside krpctl (unless KST_TRACELIB says otherwise).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <fstream>
#include <string>

#include "commands.h"
#include "krplib.h"
#include "platform.h"

namespace krpctl {
namespace {

constexpr uint32_t kSalvageTornTail = 0x00010000;

bool MakeDirs(const std::string &path) {
  std::string cur;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!cur.empty() && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    if (i < path.size()) cur += path[i];
  }
  return true;
}

int Host(const std::string &root_arg) {
  if (!getenv("KST_TRACELIB") && access(KRPCTL_TRACELIB, R_OK) == 0)
    setenv("KST_TRACELIB", KRPCTL_TRACELIB, 1);
  std::string root = root_arg;
  if (root.empty()) {
    char buf[KST_MAX_PATH];
    uint32_t rc = KstQueryKestarPath(KPATH_ROOT, buf, sizeof buf);
    if (rc) {
      std::fprintf(stderr, "krpctl host: no product root recorded (%s); use --root DIR\n",
                   CodeText(rc).c_str());
      return kExitBad;
    }
    root = buf;
  } else {
    char abs[PATH_MAX];
    if (!MakeDirs(root) || !realpath(root.c_str(), abs)) {
      std::fprintf(stderr, "krpctl host: cannot use %s: %s\n", root.c_str(), strerror(errno));
      return kExitBad;
    }
    root = abs;
    if (!getenv("KST_REGISTRY")) {
      std::string reg = root + "/registry";
      if (!MakeDirs(reg + "/SOFTWARE/Kestarcorp")) return kExitBad;
      std::ofstream(reg + "/SOFTWARE/Kestarcorp/RootPath") << root;
      setenv("KST_REGISTRY", reg.c_str(), 1);
      std::fprintf(stderr, "krpctl host: registry %s (export KST_REGISTRY=%s in other terminals)\n",
                   reg.c_str(), reg.c_str());
    }
  }
  if (root.back() != '/') root += '/';
  std::string folder = root + "resources/";
  // The store's folder is made by the platform (0700): the store's files
  // take its classes, and a 0755 folder would make them 0666.
  if (KstCreateDirTree(folder.c_str()) != KST_OK) return kExitBad;

  // The signals are taken synchronously, so the orderly stop runs on this
  // thread and not inside a handler.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  KRP_HLIBCTX ctx = nullptr;
  uint32_t rc = dll_KrpInitializeKrpLibUsingNamedStore(&ctx, kSalvageTornTail, folder.c_str(),
                                                       "store.kts");
  if (rc) {
    std::fprintf(stderr, "krpctl host: the service did not start: %s (0x%08x)\n",
                 dll_KrpResultText(rc), rc);
    return kExitBad;
  }
  rc = dll_KrpFlagMtClientAsAvailable();
  std::fprintf(stderr, "krpctl host: serving %sstore.kts to every process (pid %d)%s\n",
               folder.c_str(), static_cast<int>(getpid()), rc ? " (flag failed)" : "");
  int sig = 0;
  sigwait(&set, &sig);
  std::fprintf(stderr, "krpctl host: signal %d, stopping\n", sig);
  rc = dll_KrpUninitializeKrpLib(&ctx);
  if (rc) {
    std::fprintf(stderr, "krpctl host: stop gave %s (0x%08x)\n", dll_KrpResultText(rc), rc);
    return kExitBad;
  }
  return kExitOk;
}

}  // namespace

void AddHostCommands(CLI::App &app, Action *action) {
  auto *cmd = app.add_subcommand(
      "host", "Host the store in the foreground until SIGINT or SIGTERM (orderly stop)");
  auto root = std::make_shared<std::string>();
  cmd->add_option("--root", *root,
                  "Product root folder; the store is ROOT/resources/store.kts (default: the "
                  "registry's root)");
  cmd->callback([action, root] { *action = [root] { return Host(*root); }; });
}

}  // namespace krpctl
