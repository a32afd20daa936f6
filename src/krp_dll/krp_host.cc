// Library start and stop, the availability flags and the interface version
// (krp_host.h has the design note).
#include "krp_host.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "fault_guard.h"
#include "krp_assert.h"
#include "krplib.h"
#include "change_feed.h"
#include "protocol.h"

namespace {

using namespace krp::proto;

// Entropy for a feed generation: the clock and the process id.
uint64_t FeedEntropy() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec) +
         (static_cast<uint64_t>(getpid()) << 40);
}

const char kSrc[] = "krp_dll";
constexpr uint16_t kInterfaceVersion = 8;
// The start polls the thread's progress every kStartPollMs; after
// kStartStallPolls polls without progress every further poll must see some.
constexpr uint32_t kStartPollMs = 100;
constexpr uint32_t kStartStallPolls = 1000;

// Serialises start and stop within this process and names the context this
// process hosts (at most one).
std::mutex g_host_lock;
KrpLibContext *g_hosted = nullptr;

char *HeapCopy(const char *s) {
  if (!s) return nullptr;
  uint32_t n = static_cast<uint32_t>(strlen(s)) + 1;
  void *p = nullptr;
  if (KstAllocMem(n, 0, &p, nullptr) != KST_OK) return nullptr;
  memcpy(p, s, n);
  return static_cast<char *>(p);
}

void FreeContext(KrpLibContext *ctx) {
  if (!ctx) return;
  if (ctx->wake) KstFreeSharedMem(const_cast<uint8_t *>(ctx->wake), ctx->wake_handle);
  KstFreeMem(ctx->root, 0);
  KstFreeMem(ctx->file_name, 0);
  ctx->~KrpLibContext();
  KstFreeMem(ctx, 0);
}

// The stop's waits for the thread: 50 s (500 polls of 100 ms), after
// which the time-out is logged, and as long again before the thread is
// given up for lost (its context is then never freed).
constexpr uint32_t kThreadEndWaitMs = 50000;
constexpr uint32_t kThreadEndGraceMs = 50000;

// Asks the thread to end. Returns the state it was in.
uint32_t RequestStop(KrpLibContext *ctx) {
  uint32_t state = ctx->state.load(std::memory_order_acquire);
  while (state != kSrvEnded &&
         !ctx->state.compare_exchange_weak(state, kSrvStopRequested, std::memory_order_acq_rel)) {
  }
  return state;
}

// Wakes the thread through its own engage handle (invariant 7). A handle
// already taken back needs no wake-up: the thread is past its loop. A
// fault on the event's memory counts as a failed signal; the thread's
// bounded wait notices the stop anyway.
void WakeServer(KrpLibContext *ctx) {
  uint32_t rc = KST_OK;
  {
    std::lock_guard<std::mutex> lock(ctx->engage_lock);
    if (ctx->engage && !KrpRunGuarded([&] { rc = KstSignalEventSem(ctx->engage); }))
      rc = KST_ERR_GENERAL;
  }
  if (rc != KST_OK)
    KstLogPrintf(
        "%s dll_KrpUninitializeKrpLib() line %d: KstSignalEventSem(hEngage) returned "
        "0x%08x.",
        kSrc, __LINE__, rc);
}

// Waits until the thread has ended. `log_timeout` logs the line of a stop
// that waited 50 s. False: the thread did not end in time and is left
// running (its context must not be freed).
bool WaitForThreadEnd(KrpLibContext *ctx, bool log_timeout) {
  uint32_t rc = KstWaitForThread(ctx->thread, 0, kThreadEndWaitMs);
  if (rc == KST_ERR_TIMEOUT) {
    if (log_timeout)
      KstLogPrintf(
          "%s dll_KrpUninitializeKrpLib() line %d: KRP/TS work thread uninitialize "
          "timed out.",
          kSrc, __LINE__);
    rc = KstWaitForThread(ctx->thread, 0, kThreadEndGraceMs);
  }
  if (rc == KST_ERR_TIMEOUT) {
    KstLogPrintf(
        "%s dll_KrpUninitializeKrpLib() line %d: KRP/TS work thread did not end; it is "
        "left running.",
        kSrc, __LINE__);
    return false;
  }
  KstCloseThread(ctx->thread);
  ctx->thread = nullptr;
  return true;
}

// Asks the thread to end, wakes it and waits until it has (false: see
// WaitForThreadEnd). `no_server` first writes server process id
// 0xFFFFFFFF (the stop; a failed start leaves that to the thread).
bool StopThread(KrpLibContext *ctx, bool no_server, bool log_timeout) {
  // The state goes first: the thread re-asserts its process id only while
  // it serves (server_lifecycle.cc).
  const uint32_t state = RequestStop(ctx);
  if (no_server)
    KrpRunGuarded([&] { Store32(ctx->status, status::kServerPid, kNoServer); });
  if (state != kSrvEnded) WakeServer(ctx);
  return WaitForThreadEnd(ctx, log_timeout);
}

}  // namespace

extern "C" KRP_API uint32_t dll_KrplibGetInterfaceVersion(uint16_t *version) {
  if (!version) return KST_ERR_INVALID_PARAMETER;
  if (*version == 0) {
    *version = kInterfaceVersion;
    return KST_OK;
  }
  if (*version < 7) {
    *version = kInterfaceVersion;
    return KRP_ERR_UNSUPPORTED;
  }
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpInitializeKrpLibUsingNamedStore(KRP_HLIBCTX *out, uint32_t flags,
                                                                   const char *root,
                                                                   const char *file_name) {
  KstLogPrintf("Resource provider initializing, build %s %s", __DATE__, __TIME__);
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  std::lock_guard<std::mutex> lock(g_host_lock);
  if (g_hosted) return KRP_ERR_SERVER_RUNS;

  void *mem = nullptr;
  if (KstAllocMem(sizeof(KrpLibContext), 0, &mem, nullptr) != KST_OK) return KST_HEAP_FULL;
  memset(mem, 0, sizeof(KrpLibContext));
  KrpLibContext *ctx = new (mem) KrpLibContext{};
  ctx->open_flags = flags;
  ctx->claim.store(kClaimPending, std::memory_order_relaxed);
  ctx->state.store(kSrvStarting, std::memory_order_relaxed);
  ctx->root = HeapCopy(root);
  ctx->file_name = HeapCopy(file_name);
  if ((root && !ctx->root) || (file_name && !ctx->file_name)) {
    FreeContext(ctx);
    return KST_HEAP_FULL;
  }

  // Mapped now, written only after the claim.
  void *st = nullptr;
  uint32_t rc = MtStatusBlockCreate(&st, &ctx->status_handle);
  if (rc != KST_OK) {
    FreeContext(ctx);
    return rc;
  }
  ctx->status = static_cast<volatile uint8_t *>(st);
  void *wake = nullptr;
  rc = MtWakeBlockCreate(&wake, &ctx->wake_handle);
  if (rc != KST_OK) {
    KstFreeSharedMem(st, ctx->status_handle);
    FreeContext(ctx);
    return rc;
  }
  ctx->wake = static_cast<volatile uint8_t *>(wake);

  rc = KstCreateMutexSemGlobal(kThreadMutexName, &ctx->thread_mux);
  if (rc != KST_OK) {
    KstLogPrintf("%s fpTsServerThread() line %d: hThreadMux mutex creation failure: %08x", kSrc,
                 __LINE__, rc);
    KstFreeSharedMem(st, ctx->status_handle);
    FreeContext(ctx);
    return rc;
  }
  rc = KstCreateThread(fpTsServerThread, ctx, 0, 0, 0, &ctx->thread);
  if (rc != KST_OK) {
    KstLogPrintf("%s dll_KrpInitializeKrpLib() line %d: KRP/TS work thread spawn failed: %08x",
                 kSrc, __LINE__, rc);
    KstCloseMutexSem(ctx->thread_mux);
    KstFreeSharedMem(st, ctx->status_handle);
    FreeContext(ctx);
    return rc;
  }
  // The thread answers the claim before anything that can block.
  while (ctx->claim.load(std::memory_order_acquire) == kClaimPending) KstSleep(1);
  if (ctx->claim.load(std::memory_order_acquire) != KST_OK) {
    KstWaitForThread(ctx->thread, 0, KST_INFINITE);
    KstCloseThread(ctx->thread);
    KstFreeSharedMem(st, ctx->status_handle);
    FreeContext(ctx);
    return KRP_ERR_SERVER_RUNS;
  }

  // Invariant 1: only the holder of the claim writes the status block.
  KRP_ASSERT(ctx->claim.load(std::memory_order_acquire) == KST_OK);
  volatile uint8_t *blk = ctx->status;
  // A new feed generation: every answer a process kept from an earlier
  // host is stale from here on (the sequence restarts at 0 with it).
  const uint32_t old_generation = Load32(blk, status::kFeedGeneration);
  // The sleepers word is left alone: threads of other processes may sleep
  // on the feed right now, and they count themselves out later.
  memset(const_cast<uint8_t *>(blk), 0, status::kFeedSleepers);
  memset(const_cast<uint8_t *>(blk) + status::kFeedSleepers + 4, 0,
         kStatusBlockSize - status::kFeedSleepers - 4);
  Store32(blk, status::kFeedGeneration,
          krp::feed::NextGeneration(old_generation, FeedEntropy()), std::memory_order_release);
  // A new generation is a change of everything: sleepers look again now.
  krp::feed::WakeSleepers(blk);
  krp::wake::PublishAll(ctx->wake);
  Store32(blk, status::kMtStatus, kMtStarting);
  Store32(blk, status::kLastWrite, static_cast<uint32_t>(time(nullptr)));
  Store32(blk, status::kRequestCounter, 0);
  Store32(blk, status::kServerPid, kNoServer);
  ctx->status_ready.store(1, std::memory_order_release);

  // Wait for the thread: every 100 ms; after 1000 polls without progress
  // every further poll must see progress, else the start gives up with 121.
  uint32_t last = ctx->progress.load(std::memory_order_relaxed);
  uint32_t still = 0;
  rc = KST_OK;
  for (;;) {
    uint32_t state = ctx->state.load(std::memory_order_acquire);
    if (state == kSrvServing || state == kSrvEnded) break;
    KstSleep(kStartPollMs);
    uint32_t now = ctx->progress.load(std::memory_order_relaxed);
    if (still <= kStartStallPolls) {
      if (now != last) {
        last = now;
        still = 0;
      } else {
        ++still;
      }
    } else if (now == last) {
      rc = KST_ERR_TIMEOUT;
      break;
    } else {
      last = now;
    }
  }
  if (rc == KST_OK) rc = ctx->start_result.load(std::memory_order_acquire);
  if (rc == KST_OK && ctx->state.load(std::memory_order_acquire) == kSrvEnded) rc = KST_ERR_GENERAL;
  if (rc != KST_OK) {
    // A failed or abandoned start cleans up after itself (invariant 2);
    // a thread that does not end keeps its context.
    const bool ended = StopThread(ctx, false, false);
    MtClientDisconnect();
    if (ended) {
      KstFreeSharedMem(st, ctx->status_handle);
      FreeContext(ctx);
    }
    return rc;
  }
  Store32(blk, status::kMtStatus, kMtOwnProcess);
  Store32(blk, status::kServerPid, static_cast<uint32_t>(getpid()));
  ctx->announced.store(1, std::memory_order_release);
  g_hosted = ctx;
  *out = ctx;
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpInitializeKrpLib(KRP_HLIBCTX *out) {
  char folder[KST_MAX_PATH], path[KST_MAX_PATH];
  uint32_t rc = TsDefaultStorePath(folder, sizeof folder, path, sizeof path);
  if (rc != KST_OK) return rc;
  // The store engine creates a missing store file, not its folder.
  rc = KstCreateDirTree(folder);
  if (rc != KST_OK && rc != KST_ERR_ALREADY_EXISTS && rc != KST_ERR_FILE_EXISTS) return rc;
  char file[32];
  snprintf(file, sizeof file, "%s%s", kTsDefaultStoreName, kTsDefaultStoreExt);
  return dll_KrpInitializeKrpLibUsingNamedStore(out, 0, folder, file);
}

extern "C" KRP_API uint32_t dll_KrpUninitializeKrpLib(KRP_HLIBCTX *handle) {
  if (!handle) return KST_ERR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(g_host_lock);
  KST_HSEM probe = nullptr;
  uint32_t rc = KstOpenMutexSemGlobal(kThreadMutexName, &probe);
  if (rc != KST_OK) probe = nullptr;
  // The context this process hosts is stopped even when the probe fails:
  // a damaged "TS_MUX_THREAD" file must not keep the store from its
  // orderly close.
  if (!*handle || *handle != g_hosted) {
    if (rc == KST_OK) {
      KstCloseMutexSem(probe);
      rc = KST_ERR_FILE_NOT_FOUND;
    }
    KstLogPrintf(
        "%s dll_KrpUninitializeKrpLib() line %d: KstOpenMutexSemGlobal(%s) returned "
        "0x%08x. Service was not started.",
        kSrc, __LINE__, kThreadMutexName, rc);
    return KRP_ERR_NOT_STARTED;
  }
  KrpLibContext *ctx = *handle;
  const bool ended = StopThread(ctx, true, true);
  if (probe) KstCloseMutexSem(probe);
  MtClientDisconnect();
  g_hosted = nullptr;
  *handle = nullptr;
  if (!ended) return KST_ERR_TIMEOUT;  // the context stays with the thread
  rc = KstFreeSharedMem(const_cast<uint8_t *>(ctx->status), ctx->status_handle);
  FreeContext(ctx);
  return rc;
}

extern "C" KRP_API uint32_t dll_KrpIsMtAvailable() {
  return MtClientCheckMtStatusAndWaitForServer(1);
}

namespace {
uint32_t FlagStatus(uint32_t value) {
  void *st = nullptr;
  KST_HSHMEM h = nullptr;
  uint32_t rc = MtStatusBlockOpen(&st, &h);
  if (rc != KST_OK) return rc;
  Store32(st, status::kMtStatus, value);
  return KstFreeSharedMem(st, h);
}
}  // namespace

extern "C" KRP_API uint32_t dll_KrpFlagMtClientAsAvailable() { return FlagStatus(kMtAllProcesses); }
extern "C" KRP_API uint32_t dll_KrpFlagMtClientAsUnavailable() { return FlagStatus(kMtOwnProcess); }
extern "C" KRP_API uint32_t dll_KrpFlagMtClientAsServerIsCleaningHouse() {
  return FlagStatus(kMtCleaningHouse);
}
