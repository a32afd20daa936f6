// The status block as every process sees it, and the wait for a usable
// server (mtclient.h).
//
// Who writes what: the start clears the block and writes status 15, the
// time and server process id 0xFFFFFFFF, then status 0 and its own process
// id once the server is ready; the stop and a failed start write status 0
// and 0xFFFFFFFF; the three flag exports write 1, 0 or 10; clients only
// increment the request counter under the request mutex. Every field is one
// 32-bit word written whole, so readers need no lock.
//
// The block lives while any process maps it; clients keep their mapping to
// their exit, so a killed host leaves the block behind with its last
// status. That is why a status of 1, 10 or 15 is trusted only together with
// a live "TS_MUX_THREAD", which dies with the host's server thread.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "change_feed.h"
#include "mtclient.h"

namespace {

using namespace krp::proto;

uint32_t CheckSize(void **addr, KST_HSHMEM *handle, uint32_t least = kStatusBlockSize) {
  uint32_t size = 0;
  uint32_t rc = KstQuerySharedMemSize(*handle, &size);
  if (rc == KST_OK && size < least) rc = KST_ERR_GENERAL;
  if (rc != KST_OK) {
    KstFreeSharedMem(*addr, *handle);
    *addr = nullptr;
    *handle = nullptr;
  }
  return rc;
}

std::mutex g_status_lock;  // guards the first mapping only
// Set once under the lock and never cleared, so a reader may load it
// without the lock.
std::atomic<volatile uint8_t *> g_status{nullptr};
KST_HSHMEM g_status_handle = nullptr;

std::mutex g_wake_lock;  // guards the first mapping only
// Set once under the lock and never cleared.
std::atomic<volatile uint8_t *> g_wake{nullptr};
KST_HSHMEM g_wake_handle = nullptr;

// The last full status check that admitted this process to a server that
// serves every process: the server's process id in the high word, the
// coarse monotonic millisecond of the check in the low word (0 = none).
std::atomic<uint64_t> g_admitted{0};
constexpr uint32_t kAdmitTrustMs = 10;

// The coarse clock is read from the vDSO page without a system call; its
// resolution (a few ms) is finer than the trust window needs.
uint32_t CoarseNowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

void NoteAdmitted(uint32_t pid) {
  g_admitted.store(static_cast<uint64_t>(pid) << 32 | CoarseNowMs(), std::memory_order_relaxed);
}

// The last host found alive by the full probe: its process id in the high
// word, the monotonic millisecond of the probe in the low word (0 = none).
// One word, so a reader never pairs one host's id with another's time.
std::atomic<uint64_t> g_host_seen{0};
constexpr uint32_t kHostProbeMs = 1000;

uint32_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  // Never 0, so a stored probe time is always distinguishable from "none".
  return static_cast<uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000) | 1u;
}

// Whether the host with process id `pid` still serves. Opening
// "TS_MUX_THREAD" answers that exactly but costs a file open, a lock probe
// and a close (about 13 us), too much for every request. So: a process that
// no longer exists is dead at once (kill with signal 0; EPERM means it
// exists under another user); a process that exists is trusted for up to a
// second after a full probe found the thread mutex alive under that same
// id. A recycled process id can therefore pass for the host for at most a
// second, after which the full probe catches it; requests in that window
// fail with the request time-outs, as they would without the check.
bool HostAlive(uint32_t pid) {
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
    g_host_seen.store(0, std::memory_order_relaxed);
    return false;
  }
  const uint32_t now = NowMs();
  const uint64_t seen = g_host_seen.load(std::memory_order_relaxed);
  if (seen >> 32 == pid && static_cast<uint32_t>(seen) != 0 &&
      now - static_cast<uint32_t>(seen) < kHostProbeMs)
    return true;
  if (!MtServerThreadAlive()) {
    g_host_seen.store(0, std::memory_order_relaxed);
    return false;
  }
  g_host_seen.store(static_cast<uint64_t>(pid) << 32 | now, std::memory_order_relaxed);
  return true;
}

}  // namespace

uint32_t MtStatusBlockCreate(void **addr, KST_HSHMEM *handle) {
  if (!addr || !handle) return KST_ERR_INVALID_PARAMETER;
  uint32_t rc = KstCreateSharedMemGlobal(kStatusBlockName, addr, kStatusBlockSize, handle);
  if (rc != KST_OK) return rc;
  return CheckSize(addr, handle);
}

uint32_t MtStatusBlockOpen(void **addr, KST_HSHMEM *handle) {
  if (!addr || !handle) return KST_ERR_INVALID_PARAMETER;
  uint32_t rc = KstOpenSharedMemGlobal(kStatusBlockName, addr, handle);
  if (rc != KST_OK) return rc;
  return CheckSize(addr, handle);
}

volatile uint8_t *MtStatusBlock() {
  if (volatile uint8_t *held = g_status.load(std::memory_order_acquire)) return held;
  std::lock_guard<std::mutex> lock(g_status_lock);
  if (!g_status.load(std::memory_order_relaxed)) {
    void *addr = nullptr;
    KST_HSHMEM h = nullptr;
    if (MtStatusBlockOpen(&addr, &h) == KST_OK) {
      g_status_handle = h;
      g_status.store(static_cast<volatile uint8_t *>(addr), std::memory_order_release);
    }
  }
  return g_status.load(std::memory_order_relaxed);
}

uint32_t MtWakeBlockCreate(void **addr, KST_HSHMEM *handle) {
  if (!addr || !handle) return KST_ERR_INVALID_PARAMETER;
  uint32_t rc = KstCreateSharedMemGlobal(kWakeBlockName, addr, wake::kBlockSize, handle);
  if (rc != KST_OK) return rc;
  return CheckSize(addr, handle, wake::kBlockSize);
}

volatile uint8_t *MtWakeBlock() {
  if (volatile uint8_t *held = g_wake.load(std::memory_order_acquire)) return held;
  std::lock_guard<std::mutex> lock(g_wake_lock);
  if (!g_wake.load(std::memory_order_relaxed)) {
    void *addr = nullptr;
    KST_HSHMEM h = nullptr;
    if (KstOpenSharedMemGlobal(kWakeBlockName, &addr, &h) == KST_OK &&
        CheckSize(&addr, &h, wake::kBlockSize) == KST_OK) {
      g_wake_handle = h;
      g_wake.store(static_cast<volatile uint8_t *>(addr), std::memory_order_release);
    }
  }
  return g_wake.load(std::memory_order_relaxed);
}

bool MtServerThreadAlive() {
  KST_HSEM h = nullptr;
  const uint32_t rc = KstOpenMutexSemGlobal(kThreadMutexName, &h);
  if (rc == KST_OK) {
    KstCloseMutexSem(h);
    return true;
  }
  // Only a missing or dead mutex (2) says the thread is gone. A busy
  // creation lock, a full descriptor table or a failed allocation says
  // nothing about the host: a live server may still be serving the request.
  return rc != KST_ERR_FILE_NOT_FOUND;
}

bool MtServerGone(const volatile uint8_t *status) {
  const uint32_t pid = Load32(status, status::kServerPid);
  if (pid != kNoServer && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return true;
  // A killed host stays a zombie until its parent reaps it: only the dead
  // thread mutex tells the truth at once.
  return !MtServerThreadAlive();
}

uint32_t MtClientCheckMtStatusAndWaitForServer(uint32_t no_wait) {
  volatile uint8_t *blk = MtStatusBlock();
  if (!blk) return KRP_ERR_NO_SERVER;
  uint32_t cleaning_rounds = 0, starting_rounds = 0;
  for (;;) {
    const uint32_t st = Load32(blk, status::kMtStatus);
    const uint32_t pid = Load32(blk, status::kServerPid);
    switch (st) {
      case kMtOwnProcess: {
        // Only the host itself may use a server in status 0. The process id
        // is asked for here alone: it costs a system call on every request.
        if (pid == kNoServer || pid != static_cast<uint32_t>(getpid())) return KRP_ERR_NO_SERVER;
        KST_HSEM mux = nullptr;
        if (KstOpenMutexSemGlobal(kRequestMutexName, &mux) != KST_OK) return KRP_ERR_NO_SERVER;
        KstCloseMutexSem(mux);
        return KST_OK;
      }
      case kMtCleaningHouse:
        if (pid == kNoServer || !HostAlive(pid)) return KRP_ERR_NO_SERVER;
        if (no_wait || ++cleaning_rounds > 3600) return KRP_ERR_CLEANING;
        KstSleep(50);
        break;
      case kMtStarting:
        // The server process id is written only when the start has
        // finished; while starting, the thread mutex alone tells that the
        // starting host is alive.
        if (!MtServerThreadAlive()) return KRP_ERR_NO_SERVER;
        if (no_wait || ++starting_rounds > 360) return KRP_ERR_STARTING;
        KstSleep(500);
        break;
      default:
        if (pid == kNoServer || !HostAlive(pid)) return KRP_ERR_NO_SERVER;
        if (st == kMtAllProcesses) NoteAdmitted(pid);
        return KST_OK;
    }
  }
}

bool MtClientRecentlyAdmitted() {
  const volatile uint8_t *blk = g_status.load(std::memory_order_acquire);
  if (!blk || Load32(blk, status::kMtStatus) != kMtAllProcesses) return false;
  const uint32_t pid = Load32(blk, status::kServerPid);
  const uint64_t seen = g_admitted.load(std::memory_order_relaxed);
  if (seen == 0 || seen >> 32 != pid) return false;
  return CoarseNowMs() - static_cast<uint32_t>(seen) < kAdmitTrustMs;
}

// Only a block this process already holds is told: the status check that
// preceded the write opened it if it existed then, and a block created
// since belongs to a host that started afterwards, whose new generation
// already makes every older cache entry stale. Looking for the block again
// would cost a direct write a second round of file-system calls.
void MtFeedPublishDirect(const char *name) {
  volatile uint8_t *status = g_status.load(std::memory_order_acquire);
  if (!status) return;
  volatile uint8_t *wake = MtWakeBlock();
  if (name) krp::feed::PublishName(status, wake, name);
  else krp::feed::PublishAnything(status, wake);
}
