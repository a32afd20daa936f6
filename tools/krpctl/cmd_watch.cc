// "krpctl watch NAME... [--priority P]": one event handle per name, each
// waited on by its own thread; every change prints one line
//   <UTC time> <name> <event> <new time stamp>
// until SIGINT or SIGTERM, which delete the handles (ending the waits) and
// exit 0. The signals are blocked in every thread and taken by the main
// thread with sigwait, so no handler runs inside a library call.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "krplib.h"

namespace krpctl {
namespace {

constexpr useconds_t kUnreadablePauseUs = 200 * 1000;  // between looks at a name that can not be read

std::mutex g_print;

const char *EventWord(uint32_t event) {
  switch (event) {
    case KRP_EVENT_CHANGED:
      return "changed";
    case KRP_EVENT_READ_FAILED:
      return "unreadable";
    default:
      return "none";
  }
}

void PrintLine(const std::string &name, uint32_t event, uint32_t stamp) {
  char when[32];
  const time_t now = time(nullptr);
  struct tm tm_utc{};
  gmtime_r(&now, &tm_utc);
  strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
  std::lock_guard<std::mutex> g(g_print);
  std::printf("%s %s %s %u\n", when, name.c_str(), EventWord(event), stamp);
  std::fflush(stdout);
}

// Waits until the handle is deleted. A resource that can not be read is
// reported once and looked at again after a pause (a wait on it would end
// at once every time).
void WatchOne(KRP_HEVENT h, std::string name) {
  uint32_t stamp = 0, last = 0;
  for (;;) {
    uint32_t event = 0;
    const uint32_t rc = dll_KrpWaitForEvent(h, &stamp, &event, 0);
    if (rc != 0) return;  // deleted (or the handle's lock failed)
    if (event != KRP_EVENT_READ_FAILED || last != KRP_EVENT_READ_FAILED) PrintLine(name, event, stamp);
    if (event == KRP_EVENT_READ_FAILED) usleep(kUnreadablePauseUs);
    last = event;
  }
}

int Watch(const std::vector<std::string> &names, int priority) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::vector<KRP_HEVENT> handles;
  for (const std::string &n : names) {
    KRP_HEVENT h = nullptr;
    const uint32_t rc = dll_KrpCreateEventHandle(&h, n.c_str(), priority, 0);
    if (rc != 0) {
      std::fprintf(stderr, "krpctl: watch: %s: %s\n", n.c_str(), CodeText(rc).c_str());
      for (KRP_HEVENT made : handles) dll_KrpDeleteEvent(made);
      return kExitBad;
    }
    handles.push_back(h);
  }
  std::vector<std::thread> threads;
  for (size_t i = 0; i < handles.size(); ++i) threads.emplace_back(WatchOne, handles[i], names[i]);
  {
    std::lock_guard<std::mutex> g(g_print);
    std::printf("watching %zu name(s)\n", names.size());
    std::fflush(stdout);
  }
  int sig = 0;
  sigwait(&stop, &sig);
  for (KRP_HEVENT h : handles) dll_KrpDeleteEvent(h);
  for (auto &t : threads) t.join();
  return kExitOk;
}

}  // namespace

void AddWatchCommands(CLI::App &app, Action *action) {
  static std::vector<std::string> names;
  static int priority = KRP_EVENT_PRIORITY_NORMAL;
  auto *w = app.add_subcommand("watch", "print every change of resources until interrupted");
  w->add_option("NAME", names, "resource names")->required();
  w->add_option("--priority", priority, "-10, 0 or 10: how often a name is looked at unprompted");
  w->callback([action] { *action = [] { return Watch(names, priority); }; });
}

}  // namespace krpctl
