// "krpctl host": hosts the store in the foreground until SIGINT or SIGTERM.
//
// With --root DIR the store lives in DIR/resources/store.kts. When no
// registry folder is named (KST_REGISTRY unset), DIR/registry becomes the
// registry and DIR is recorded there as the product root, so a user without
// root privileges can host a store inside a checkout; other terminals point
// KST_REGISTRY at the same folder, and the logging library krpctl runs with
// is linked into DIR/lib/, where every process of the suite looks for it.
// Log lines go to standard error through that library (unless KST_TRACELIB
// names another).
//
// krpctl is linked against libtracelib.so, so the dynamic loader finds the
// library through krpctl's own run path: the build tree's library in a build
// tree, the installed one (relative to the executable) once installed. No
// path of the build tree is compiled into krpctl.
//
// Under a service manager (NOTIFY_SOCKET set, built with libsystemd), the
// host reports READY=1 only after it opened the server to every process, and
// STOPPING=1 when a stop signal arrives.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef KRPCTL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <cerrno>
#include <cstdarg>
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

// The logging library's entry point; taking its address keeps the link to
// libtracelib.so and tells where the loader found it.
extern "C" int vlogprintfA(const char *format, va_list args);

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

// The file of the libtracelib.so this process was loaded with ("" when the
// loader cannot tell).
std::string LinkedTraceLib() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void *>(&vlogprintfA), &info) || !info.dli_fname) return "";
  char abs[PATH_MAX];
  return realpath(info.dli_fname, abs) ? std::string(abs) : std::string();
}

// Links ROOT/lib/libtracelib.so to `lib`, so that the suite's other
// processes log through the same library. A file placed there is left alone;
// a link (an earlier host's, perhaps to a build that is gone) is renewed. A
// failure only costs their log lines.
void PlaceTraceLib(const std::string &root, const std::string &lib) {
  if (lib.empty()) return;
  std::string folder = root + "/lib";
  std::string link = folder + "/libtracelib.so";
  struct stat st;
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return;
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n >= 0 && lib == std::string(target, static_cast<size_t>(n))) return;
    unlink(link.c_str());
  }
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return;
  if (symlink(lib.c_str(), link.c_str()) != 0)
    std::fprintf(stderr, "krpctl host: cannot link %s: %s\n", link.c_str(), strerror(errno));
}

// Tells a service manager about the host's state; nothing without one.
void NotifyManager([[maybe_unused]] const char *state) {
#ifdef KRPCTL_HAVE_SYSTEMD
  sd_notify(0, state);
#endif
}

int Host(const std::string &root_arg) {
  const std::string tracelib = LinkedTraceLib();
  if (!getenv("KST_TRACELIB") && !tracelib.empty()) setenv("KST_TRACELIB", tracelib.c_str(), 1);
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
    PlaceTraceLib(root, tracelib);
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
  // A host that cannot open the server to other processes is of no use to
  // them: it stops again and fails, so a service manager restarts it.
  uint32_t flag_rc = dll_KrpFlagMtClientAsAvailable();
  if (flag_rc) {
    std::fprintf(stderr, "krpctl host: cannot serve other processes: %s (0x%08x), stopping\n",
                 dll_KrpResultText(flag_rc), flag_rc);
  } else {
    std::fprintf(stderr, "krpctl host: serving %sstore.kts to every process (pid %d)\n",
                 folder.c_str(), static_cast<int>(getpid()));
    NotifyManager("READY=1");
    int sig = 0;
    sigwait(&set, &sig);
    NotifyManager("STOPPING=1");
    std::fprintf(stderr, "krpctl host: signal %d, stopping\n", sig);
  }
  rc = dll_KrpUninitializeKrpLib(&ctx);
  if (rc) {
    std::fprintf(stderr, "krpctl host: stop gave %s (0x%08x)\n", dll_KrpResultText(rc), rc);
    return kExitBad;
  }
  return flag_rc ? kExitBad : kExitOk;
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
