// Event handles under load, every figure against a baseline measured in the
// same run (no assertions; OVER TARGET marks a miss):
//
//   A. notification latency: a host process writes a small value and takes
//      the time when the write returns; a second process waits on that name
//      in dll_KrpWaitForEvent and takes the time when the wait returns. The
//      median and 99th percentile of the difference, against the median
//      round trip of the same write. Target: median at most 5 times.
//   B. idle waiters: a second process holds 1,000 threads, each waiting on
//      its own name, while the host process writes 10,000 times a second to
//      names none of them watch. (a) the store requests the waiters make
//      (the status block's request counter, less what the writes alone
//      cost, calibrated before the waiters start) against the writes:
//      target at most 1 %; (b) the waiting process's processor time
//      (getrusage) against the wall time: target at most 5 % of one
//      processor.
//
// Usage: bench_events [--quick] [--only latency|idle]
// The waiting process is this program again, started with a role argument
// and two pipe descriptors. A private folder under /tmp holds the run's
// objects, registry and store; it is removed at the end.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_folder.h"
#include "krplib.h"
#include "mtclient.h"
#include "protocol.h"
#include "resource.h"

namespace {

constexpr double kLatencyTarget = 5.0;
constexpr double kRequestShareTarget = 0.01;
constexpr double kCpuShareTarget = 0.05;
constexpr uint32_t kWriteRatePerSec = 10000;
constexpr int kNoiseNames = 1000;
constexpr uint32_t kSettleMs = 3;  // the waiter's first look, before the write

// Messages on the pipes: one byte each.
constexpr char kReady = 'r';
constexpr char kStart = 's';
constexpr char kEnd = 'e';

bool g_quick = false;
const char *g_only = nullptr;
std::string g_base;

bool Want(const char *part) { return !g_only || strcmp(g_only, part) == 0; }

[[noreturn]] void Die(const char *what, uint32_t rc = 0) {
  fprintf(stderr, "bench_events: %s failed 0x%08x\n", what, rc);
  std::error_code ec;
  if (!g_base.empty()) std::filesystem::remove_all(g_base, ec);
  exit(1);
}

void Check(uint32_t rc, const char *what) {
  if (rc != 0) Die(what, rc);
}

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepNs(int64_t ns) {
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  nanosleep(&ts, nullptr);
}

void Send(int fd, const void *p, size_t n) {
  if (write(fd, p, n) != static_cast<ssize_t>(n)) Die("pipe write");
}

void Receive(int fd, void *p, size_t n) {
  auto *b = static_cast<char *>(p);
  while (n > 0) {
    const ssize_t r = read(fd, b, n);
    if (r <= 0) Die("pipe read");
    b += r;
    n -= static_cast<size_t>(r);
  }
}

char ReceiveByte(int fd) {
  char c = 0;
  Receive(fd, &c, 1);
  return c;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * (v.size() - 1))];
}

std::string WatchedName(int i) {
  char n[40];
  snprintf(n, sizeof n, "bench.ev.w.n%04d", i);
  return n;
}

std::string NoiseName(int i) {
  char n[40];
  snprintf(n, sizeof n, "bench.ev.noise.n%04d", i);
  return n;
}

void Put(const std::string &name, uint32_t size) {
  static const char kFill[] = "0123456789abcdefghijklmnopqrstuvwxyz0123456789";
  Check(dll_KrpSetString(name.c_str(), size, kFill, nullptr, nullptr), "dll_KrpSetString");
}

uint32_t RequestCounter() {
  volatile uint8_t *st = MtStatusBlock();
  if (!st) Die("status block");
  return krp::proto::Load32(st, krp::proto::status::kRequestCounter);
}

// ---- the waiting process ------------------------------------------------------------

// A: one handle, one wait per round; the time the wait returned goes back.
int LatencyWaiter(int rounds, int in, int out) {
  KRP_HEVENT h = nullptr;
  Check(dll_KrpCreateEventHandle(&h, "bench.ev.lat", KRP_EVENT_PRIORITY_HIGH, 0), "create event");
  for (int i = 0; i < rounds; ++i) {
    Send(out, &kReady, 1);
    uint32_t stamp = 0, event = 0;
    Check(dll_KrpWaitForEvent(h, &stamp, &event, 0), "wait");
    const int64_t t = NowNs();
    Send(out, &t, sizeof t);
  }
  dll_KrpDeleteEvent(h);
  (void)in;
  return 0;
}

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// B: `n` threads each wait on their own name until their handle is deleted;
// the processor time between the start and end messages goes back.
int IdleWaiters(int n, int in, int out) {
  std::vector<KRP_HEVENT> handles(n);
  for (int i = 0; i < n; ++i)
    Check(dll_KrpCreateEventHandle(&handles[i], WatchedName(i).c_str(), KRP_EVENT_PRIORITY_NORMAL,
                                   0),
          "create event");
  std::atomic<int> spurious{0};
  std::vector<std::thread> threads;
  threads.reserve(n);
  for (int i = 0; i < n; ++i)
    threads.emplace_back([h = handles[i], &spurious] {
      for (;;) {
        uint32_t stamp = 0, event = 0;
        if (dll_KrpWaitForEvent(h, &stamp, &event, 0) != KRP_OK) return;
        spurious.fetch_add(1);
      }
    });
  SleepNs(1000000000);  // every thread made its first look and sleeps
  Send(out, &kReady, 1);
  if (ReceiveByte(in) != kStart) Die("start message");
  const double cpu0 = CpuSeconds();
  const int64_t t0 = NowNs();
  const uint64_t wakes0 = KrpTestEventWakeups();
  if (ReceiveByte(in) != kEnd) Die("end message");
  const double figures[4] = {CpuSeconds() - cpu0, static_cast<double>(NowNs() - t0) / 1e9,
                             static_cast<double>(spurious.load()),
                             static_cast<double>(KrpTestEventWakeups() - wakes0)};
  for (KRP_HEVENT h : handles) dll_KrpDeleteEvent(h);
  for (auto &t : threads) t.join();
  Send(out, figures, sizeof figures);
  return 0;
}

// ---- the host process ---------------------------------------------------------------

struct Child {
  pid_t pid = -1;
  int to = -1;    // its input
  int from = -1;  // its output
};

Child Spawn(const char *role, int count) {
  int down[2], up[2];
  if (pipe(down) != 0 || pipe(up) != 0) Die("pipe");
  Child c;
  c.pid = fork();
  if (c.pid < 0) Die("fork");
  if (c.pid == 0) {
    close(down[1]);
    close(up[0]);
    const std::string n = std::to_string(count), i = std::to_string(down[0]),
                      o = std::to_string(up[1]);
    execl("/proc/self/exe", "bench_events", role, n.c_str(), i.c_str(), o.c_str(), nullptr);
    _exit(127);
  }
  close(down[0]);
  close(up[1]);
  c.to = down[1];
  c.from = up[0];
  return c;
}

void Reap(Child &c) {
  close(c.to);
  close(c.from);
  int status = 0;
  waitpid(c.pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die("waiting process");
}

void Latency() {
  const int rounds = g_quick ? 100 : 1000;
  Put("bench.ev.lat", 20);
  Child c = Spawn("--latency-waiter", rounds);
  std::vector<double> lat, rtt;
  for (int i = 0; i < rounds; ++i) {
    if (ReceiveByte(c.from) != kReady) Die("ready message");
    SleepNs(kSettleMs * 1000000);
    const int64_t before = NowNs();
    Put("bench.ev.lat", 21 + (i & 1));  // the size differs from the last one
    const int64_t written = NowNs();
    int64_t woke = 0;
    Receive(c.from, &woke, sizeof woke);
    rtt.push_back(static_cast<double>(written - before) / 1e3);
    lat.push_back(static_cast<double>(woke - written) / 1e3);
  }
  Reap(c);
  const double w = Percentile(rtt, 0.5), m = Percentile(lat, 0.5), p99 = Percentile(lat, 0.99);
  printf("A. write -> wait return in another process (%d rounds):\n", rounds);
  printf("   median %8.1f us, p99 %8.1f us; small write round trip median %6.1f us\n", m, p99, w);
  printf("   ratio median %5.2f (target <= %.0f), p99 %5.2f\n", m / w, kLatencyTarget, p99 / w);
  if (m / w > kLatencyTarget) printf("   OVER TARGET\n");
}

// Writes to the noise names at kWriteRatePerSec for `seconds` of wall time
// (fewer when the writes can not keep the pace); returns the number made.
uint32_t NoiseWrites(double seconds) {
  const int64_t step = 1000000000 / kWriteRatePerSec, t0 = NowNs();
  const int64_t end = t0 + static_cast<int64_t>(seconds * 1e9);
  uint32_t i = 0;
  for (int64_t now = t0; now < end; now = NowNs(), ++i) {
    const int64_t due = t0 + static_cast<int64_t>(i) * step;
    if (due > now) SleepNs(due - now);
    Put(NoiseName(static_cast<int>(i % kNoiseNames)), 20 + i % 2);
  }
  return i;
}

void Idle() {
  const int waiters = 1000;
  const double seconds = g_quick ? 2.0 : 5.0;
  for (int i = 0; i < waiters; ++i) Put(WatchedName(i), 20);
  for (int i = 0; i < kNoiseNames; ++i) Put(NoiseName(i), 20);
  // What the writes alone cost in requests, without waiters.
  const uint32_t c0 = RequestCounter();
  const uint32_t calib = NoiseWrites(0.5);
  const double per_write = static_cast<double>(RequestCounter() - c0) / calib;

  Child c = Spawn("--idle-waiters", waiters);
  if (ReceiveByte(c.from) != kReady) Die("ready message");
  const uint32_t r0 = RequestCounter();
  Send(c.to, &kStart, 1);
  const int64_t t0 = NowNs();
  const uint32_t writes = NoiseWrites(seconds);
  const double wall = static_cast<double>(NowNs() - t0) / 1e9;
  const uint32_t r1 = RequestCounter();
  Send(c.to, &kEnd, 1);
  double figures[4] = {};
  Receive(c.from, figures, sizeof figures);
  Reap(c);

  const double theirs = (r1 - r0) - per_write * writes;
  const double req_share = theirs / writes, cpu_share = figures[0] / figures[1];
  printf("B. %d waiters, %u writes to other names in %.2f s (%.0f /s; %.2f requests a write):\n",
         waiters, writes, wall, writes / wall, per_write);
  printf("   (a) waiters' store requests %.0f = %.3f %% of the writes (target <= %.0f %%)\n", theirs,
         req_share * 100, kRequestShareTarget * 100);
  if (req_share > kRequestShareTarget) printf("   OVER TARGET\n");
  printf("   (b) waiting process %.3f s processor in %.2f s = %.2f %% of one processor "
         "(target <= %.0f %%)\n",
         figures[0], figures[1], cpu_share * 100, kCpuShareTarget * 100);
  if (cpu_share > kCpuShareTarget) printf("   OVER TARGET\n");
  printf("   sleeps the waiters woke from early: %.0f (%.0f /s)\n", figures[3],
         figures[3] / figures[1]);
  if (figures[2] != 0) printf("   note: %.0f waits returned an event nobody caused\n", figures[2]);
}

int ChildMain(const char *role, char **argv) {
  const int n = atoi(argv[0]), in = atoi(argv[1]), out = atoi(argv[2]);
  if (strcmp(role, "--latency-waiter") == 0) return LatencyWaiter(n, in, out);
  return IdleWaiters(n, in, out);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 5 && (strcmp(argv[1], "--latency-waiter") == 0 ||
                    strcmp(argv[1], "--idle-waiters") == 0))
    return ChildMain(argv[1], argv + 2);
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--quick") == 0) g_quick = true;
    else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) g_only = argv[++i];
    else {
      fprintf(stderr, "usage: bench_events [--quick] [--only latency|idle]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  if (!KrpBenchPrivateFolder("bench_events", &g_base)) Die("private folder");
  KRP_HLIBCTX ctx = nullptr;
  Check(dll_KrpInitializeKrpLib(&ctx), "host start");
  Check(dll_KrpFlagMtClientAsAvailable(), "flag available");
  if (Want("latency")) Latency();
  if (Want("idle")) Idle();
  Check(dll_KrpUninitializeKrpLib(&ctx), "host stop");
  std::error_code ec;
  std::filesystem::remove_all(g_base, ec);
  return 0;
}
