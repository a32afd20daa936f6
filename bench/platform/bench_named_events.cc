// Round trip between two processes through a pair of named auto-reset
// events (signal "ping", wait "pong"), against the same round trip through a
// pair of pipes. The event wait spins briefly before it sleeps; the ratio
// shows what that buys when the peer answers at once.
//
// Usage: bench_named_events [round trips, default 20000]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform.h"

namespace {

double NowUs() {
  return std::chrono::duration<double, std::micro>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double PipeRoundTripUs(int n) {
  int to_child[2], to_parent[2];
  if (pipe(to_child) != 0 || pipe(to_parent) != 0) return -1;
  pid_t pid = fork();
  char c = 0;
  if (pid == 0) {
    for (int i = 0; i < n; ++i) {
      if (read(to_child[0], &c, 1) != 1 || write(to_parent[1], &c, 1) != 1) _exit(1);
    }
    _exit(0);
  }
  double t0 = NowUs();
  for (int i = 0; i < n; ++i) {
    if (write(to_child[1], &c, 1) != 1 || read(to_parent[0], &c, 1) != 1) return -1;
  }
  double us = (NowUs() - t0) / n;
  waitpid(pid, nullptr, 0);
  for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]}) close(fd);
  return us;
}

double EventRoundTripUs(int n) {
  KST_HSEM ping = nullptr, pong = nullptr;
  if (KstCreateEventSem("bench_ping", 0, 0, &ping) != 0 ||
      KstCreateEventSem("bench_pong", 0, 0, &pong) != 0)
    return -1;
  pid_t pid = fork();
  if (pid == 0) {
    // The forked child forgot the parent's handles: open its own.
    KST_HSEM p = nullptr, q = nullptr;
    if (KstOpenEventSem("bench_ping", &p) != 0 || KstOpenEventSem("bench_pong", &q) != 0) _exit(1);
    for (int i = 0; i < n; ++i) {
      if (KstWaitForEventSem(p, 10000) != 0) _exit(2);
      KstSignalEventSem(q);
    }
    _exit(0);
  }
  // Let the child open its handles before the clock starts.
  KstSignalEventSem(ping);
  if (KstWaitForEventSem(pong, 10000) != 0) return -1;
  double t0 = NowUs();
  for (int i = 1; i < n; ++i) {
    KstSignalEventSem(ping);
    if (KstWaitForEventSem(pong, 10000) != 0) return -1;
  }
  double us = (NowUs() - t0) / (n - 1);
  waitpid(pid, nullptr, 0);
  KstCloseEventSem(ping);
  KstCloseEventSem(pong);
  return us;
}

}  // namespace

int main(int argc, char **argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 20000;
  if (n < 2) n = 2;
  char dir[] = "/tmp/krpbench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  setenv("KST_OBJECT_DIR", dir, 1);
  double pipe_us = PipeRoundTripUs(n);
  double event_us = EventRoundTripUs(n);
  std::string cleanup = std::string("rm -rf ") + dir;
  if (system(cleanup.c_str()) != 0) {
  }
  if (pipe_us <= 0 || event_us <= 0) {
    std::fprintf(stderr, "bench_named_events: a round trip failed\n");
    return 1;
  }
  std::printf("round trips: %d\n", n);
  std::printf("pipe pair (baseline): %.2f us per round trip\n", pipe_us);
  std::printf("named events:         %.2f us per round trip\n", event_us);
  std::printf("ratio events / pipes: %.2f\n", event_us / pipe_us);
  return 0;
}
