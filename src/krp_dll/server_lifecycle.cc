// fpTsServerThread: the one thread on the machine that owns the open store
// and serves the request block (krp_host.h has the design note,
// server_internal.h the files of the server).
//
// Steps, each a function below:
//   Claim              "TS_MUX_THREAD" (zero wait); whoever does not get it
//                      ends at once and leaves everything alone.
//   CreateObjects      the engage and return events and the request block
//                      (cleared); the engage handle is lent to the stop.
//   OpenStore          StoreInit, up to 101 tries 200 ms apart while the
//                      store file is in use.
//   CreateRequestMutex "krp_no1_ts_mux": from now on clients can come.
//   ServeLoop          become kServing, then: wait for engage (at most
//                      kIdleCheckMs), serve the request, reset engage and
//                      signal return; until a stop is requested.
//   Shutdown           in the reverse order of the start, each object only
//                      when it was made: StoreExit, close the request mutex,
//                      free the request block, close the events, write "no
//                      server" into the status block, release and close the
//                      thread mutex. The one exit path of the thread.
//
// Every access to shared memory in the loop and the shutdown runs under the
// SIGBUS guard (fault_guard.h): another process may truncate any object's
// file, and the host must still close the store with its tag and end.
//
// Idle checks: when the engage wait times out, the thread re-asserts the
// status words that are plainly not what the host wrote (a server process
// id other than its own while it serves; an MT status other than 0, 1 and
// 10, which gets back the last valid status an idle check saw), so a
// scribbled status block does not lock every client out until a restart.
// The flag exports change the MT status legitimately (0, 1, 10) from any
// process; those values are left alone. Nothing of this runs per request.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "fault_guard.h"
#include "server_internal.h"

namespace krp::host {

namespace {

const char kSrc[] = "krp_dll";

constexpr uint32_t kStoreOpenTries = 101;
constexpr uint32_t kStoreOpenRetryMs = 200;
constexpr uint32_t kThreadMutexWaitMs = 0;  // the claim never waits
// The engage wait's bound: how often an idle server checks the status block,
// and how late at most it notices a stop whose engage never came.
constexpr uint32_t kIdleCheckMs = 1000;
// Pause after a failed engage wait, and between stop checks while the
// engage event's memory is lost.
constexpr uint32_t kWaitFailedPauseMs = 10;
constexpr uint32_t kLostEventPollMs = 100;

// Where a turn of the serving loop was when a fault cut it short.
enum Phase : uint32_t { kPhaseWait, kPhaseDispatch, kPhaseReply };

enum class Turn {
  kServed,      // a request was served (or dropped), or one is pending
  kIdle,        // the engage wait timed out
  kStop,        // a stop was requested
  kWaitFailed,  // the engage wait failed
  kFault,       // a SIGBUS cut the turn short
};

struct ServerThread {
  Server s;
  KST_HSEM req_mux = nullptr;
  KST_HSHMEM shm = nullptr;
  void *blk = nullptr;
  char folder[KST_MAX_PATH + 16] = {};
  char file[KST_MAX_PATH] = {};
  uint32_t pid = 0;                    // the host's process id
  uint32_t last_status = kMtOwnProcess;  // last valid MT status seen
  volatile Phase phase = kPhaseWait;   // read after a fault
  bool pending = false;                // a request whose engage was consumed
  bool event_lost_logged = false;
};

bool StopRequested(const KrpLibContext *ctx) {
  return ctx->state.load(std::memory_order_acquire) == kSrvStopRequested;
}
bool Serving(const KrpLibContext *ctx) {
  return ctx->state.load(std::memory_order_acquire) == kSrvServing;
}

void Progress(uint32_t percent, void *arg) {
  static_cast<std::atomic<uint32_t> *>(arg)->store(percent, std::memory_order_relaxed);
}

// ---- start --------------------------------------------------------------------

// The claim (krp_host.h, invariant 1). False: another server runs; the
// thread has ended.
bool Claim(KrpLibContext *ctx) {
  uint32_t rc = KstRequestMutexSem(ctx->thread_mux, kThreadMutexWaitMs);
  if (rc == KST_OK) {
    ctx->claim.store(KST_OK, std::memory_order_release);
    return true;
  }
  KstLogPrintf("%s fpTsServerThread() line %d: KRP service thread already started!", kSrc,
               __LINE__);
  rc = KstCloseMutexSem(ctx->thread_mux);
  if (rc != KST_OK)
    KstLogPrintf("%s fpTsServerThread() line %d: KstCloseMutexSem(hThreadMux) : %x", kSrc,
                 __LINE__, rc);
  ctx->thread_mux = nullptr;
  ctx->claim.store(KRP_ERR_SERVER_RUNS, std::memory_order_release);
  ctx->state.store(kSrvEnded, std::memory_order_release);
  return false;
}

// Creates (or opens) the request block and its private copy area.
uint32_t CreateRequestBlock(ServerThread &t) {
  uint32_t rc = KstCreateSharedMemGlobal(kRequestBlockName, &t.blk, kRequestBlockSize, &t.shm);
  if (rc == KST_OK) {
    uint32_t size = 0;
    rc = KstQuerySharedMemSize(t.shm, &size);
    if (rc == KST_OK && size < kRequestBlockSize) rc = KST_ERR_GENERAL;
    if (rc != KST_OK) {
      KstFreeSharedMem(t.blk, t.shm);
      t.shm = nullptr;
    }
  }
  if (rc == KST_OK && KstAllocMem(kRequestBlockSize, 0, reinterpret_cast<void **>(&t.s.scratch),
                                  nullptr) != KST_OK) {
    KstFreeSharedMem(t.blk, t.shm);
    t.shm = nullptr;
    rc = KST_HEAP_FULL;
  }
  if (rc != KST_OK) {
    t.blk = nullptr;
    KstLogPrintf("fpTsServerThread() line %d: Shared mem creation failure: %08x", __LINE__, rc);
    return rc;
  }
  t.s.blk = static_cast<volatile uint8_t *>(t.blk);
  memset(t.blk, 0, kRequestBlockSize);
  return KST_OK;
}

// The engage and return events and the request block.
uint32_t CreateObjects(ServerThread &t) {
  KrpLibContext *ctx = t.s.ctx;
  uint32_t rc = KstCreateEventSemGlobal(kEngageEventName, 0, 0, &t.s.engage);
  if (rc != KST_OK) {
    t.s.engage = nullptr;
    KstLogPrintf("%s fpTsServerThread() line %d: hEngage event creation failure: %08x", kSrc,
                 __LINE__, rc);
    return rc;
  }
  KstResetEventSem(t.s.engage);
  {
    // The stop wakes the thread through this handle (reopening the event
    // by name fails when its file is damaged).
    std::lock_guard<std::mutex> lock(ctx->engage_lock);
    ctx->engage = t.s.engage;
  }
  rc = KstCreateEventSemGlobal(kReturnEventName, 0, 0, &t.s.ret);
  if (rc != KST_OK) {
    t.s.ret = nullptr;
    KstLogPrintf("%s fpTsServerThread() line %d: hReturn event creation failure: %08x", kSrc,
                 __LINE__, rc);
    return rc;
  }
  KstResetEventSem(t.s.ret);
  return CreateRequestBlock(t);
}

// The store's folder and file name: the context's, or the default store.
uint32_t StoreLocation(const KrpLibContext *ctx, char (&folder)[KST_MAX_PATH + 16],
                       char (&file)[KST_MAX_PATH]) {
  uint32_t rc = KST_OK;
  if (ctx->root && *ctx->root) {
    snprintf(folder, sizeof folder, "%s", ctx->root);
    snprintf(file, sizeof file, "%s", ctx->file_name ? ctx->file_name : "");
  } else {
    char path[KST_MAX_PATH];
    rc = TsDefaultStorePath(folder, sizeof folder, path, sizeof path);
    if (rc != KST_OK) {
      KstLogPrintf("%s fpTsServerThread() line %d: KstQueryKestarPath failed : %x", kSrc, __LINE__,
                   rc);
      return rc;
    }
    snprintf(file, sizeof file, "%s%s", kTsDefaultStoreName, kTsDefaultStoreExt);
  }
  return rc;
}

void LogStoreInitFailure(const ServerThread &t, uint32_t rc) {
  if (rc == KST_ERR_SHARING_VIOLATION)
    KstLogPrintf(
        "%s fpTsServerThread: cannot open resource database due to sharing violation, "
        "data base is kept open by another process.",
        kSrc);
  if (rc == TS_ERR_UNKNOWN_VERSION)
    KstLogPrintf("%s fpTsServerThread() line %d: TS error. Incompatible store version!", kSrc,
                 __LINE__);
  else
    KstLogPrintf("%s fpTsServerThread() line %d: TS error. Init failed: %08x : '%s%s'", kSrc,
                 __LINE__, rc, t.folder, t.file);
}

uint32_t OpenStore(ServerThread &t) {
  KrpLibContext *ctx = t.s.ctx;
  uint32_t rc = StoreLocation(ctx, t.folder, t.file);
  if (rc != KST_OK) return rc;
  for (uint32_t attempts = 1;; ++attempts) {
    // The host salvages a torn tail (a writer killed inside its last append)
    // instead of refusing to start until someone repairs the file by hand.
    rc = StoreInit(&t.s.store, t.folder, t.file, Progress, &ctx->progress,
                   ctx->open_flags | kTsOpenShutdownReport | kTsOpenSalvageTail);
    if (rc != KST_ERR_SHARING_VIOLATION || attempts >= kStoreOpenTries || StopRequested(ctx))
      break;
    KstSleep(kStoreOpenRetryMs);
  }
  if (rc != KST_OK) {
    t.s.store = nullptr;
    LogStoreInitFailure(t, rc);
  }
  return rc;
}

uint32_t CreateRequestMutex(ServerThread &t) {
  uint32_t rc = KstCreateMutexSemGlobal(kRequestMutexName, &t.req_mux);
  if (rc != KST_OK) {
    KstLogPrintf("%s fpTsServerThread() line %d: Could not create mux %s. 0x%08x", kSrc, __LINE__,
                 kRequestMutexName, rc);
    t.req_mux = nullptr;
  }
  return rc;
}

// ---- serving --------------------------------------------------------------------

bool IsServingStatus(uint32_t mt) {
  return mt == kMtOwnProcess || mt == kMtAllProcesses || mt == kMtCleaningHouse;
}

// Under the guard: puts back the status words that are plainly not the
// host's (see the note at the top). Only once the start has written them
// (announced); a stop requested meanwhile is never undone: its
// 0xFFFFFFFF is written after the state left kServing, and the swap only
// replaces the value that was looked at.
void ReassertStatusWords(ServerThread &t) {
  KrpLibContext *ctx = t.s.ctx;
  volatile uint8_t *st = ctx->status;
  const uint32_t pid = Load32(st, status::kServerPid);
  if (pid != t.pid && Serving(ctx) && Replace32(st, status::kServerPid, pid, t.pid)) {
    KstLogPrintf(
        "%s fpTsServerThread() line %d: status block: server process id 0x%08x is not the "
        "host's; restored %u",
        kSrc, __LINE__, pid, t.pid);
  }
  const uint32_t mt = Load32(st, status::kMtStatus);
  if (IsServingStatus(mt)) {
    t.last_status = mt;
  } else if (Serving(ctx) && Replace32(st, status::kMtStatus, mt, t.last_status)) {
    KstLogPrintf(
        "%s fpTsServerThread() line %d: status block: MT status 0x%08x is not valid; "
        "restored %u",
        kSrc, __LINE__, mt, t.last_status);
  }
}

void CheckStatusBlock(ServerThread &t) {
  if (!t.s.ctx->announced.load(std::memory_order_acquire)) return;
  KrpRunGuarded([&] { ReassertStatusWords(t); });
}

// One turn of the loop, under the guard: wait for engage (unless a request
// is pending), serve, answer.
Turn ServeTurn(ServerThread &t) {
  Server &s = t.s;
  if (!t.pending) {
    t.phase = kPhaseWait;
    const uint32_t w = KstWaitForEventSem(s.engage, kIdleCheckMs);
    if (StopRequested(s.ctx)) return Turn::kStop;
    if (w == KST_ERR_TIMEOUT) return Turn::kIdle;
    if (w != KST_OK) {
      KstLogPrintf("%s fpTsServerThread() line %d: KstWaitForEventSem(hEngage) : %08x", kSrc,
                   __LINE__, w);
      return Turn::kWaitFailed;
    }
  }
  t.pending = false;
  t.phase = kPhaseDispatch;
  switch (Dispatch(s)) {
    case Served::kAnswered:
      t.phase = kPhaseReply;
      KstResetEventSem(s.engage);
      KstSignalEventSem(s.ret);
      break;
    case Served::kRedispatch:
      t.pending = true;
      break;
    case Served::kSilent:
      break;
  }
  return Turn::kServed;
}

Turn GuardedTurn(ServerThread &t) {
  Turn turn = Turn::kServed;
  if (KrpRunGuarded([&] { turn = ServeTurn(t); })) return turn;
  FreeRequestBuffers(t.s);
  t.pending = false;
  return Turn::kFault;
}

// After a fault: the request is dropped; a lost engage event leaves the
// thread polling for the stop (and checking the status block) until the
// host stops it.
void AfterFault(ServerThread &t) {
  switch (t.phase) {
    case kPhaseWait:
      if (!t.event_lost_logged)
        KstLogPrintf(
            "%s fpTsServerThread() line %d: engage event lost (truncated by another "
            "process?); waiting for the stop",
            kSrc, __LINE__);
      t.event_lost_logged = true;
      KstSleep(kLostEventPollMs);
      CheckStatusBlock(t);
      return;
    case kPhaseDispatch:
      KstLogPrintf(
          "%s fpTsServerThread() line %d: request block lost under a request (truncated "
          "by another process?); request dropped",
          kSrc, __LINE__);
      return;
    case kPhaseReply:
      KstLogPrintf(
          "%s fpTsServerThread() line %d: return event lost under a reply (truncated by "
          "another process?)",
          kSrc, __LINE__);
      return;
  }
}

// Ready, unless the start gave up meanwhile; then serves until a stop.
void ServeLoop(ServerThread &t) {
  KrpLibContext *ctx = t.s.ctx;
  uint32_t expected = kSrvStarting;
  if (!ctx->state.compare_exchange_strong(expected, kSrvServing, std::memory_order_acq_rel))
    return;
  while (Serving(ctx)) {
    const Turn turn = GuardedTurn(t);
    if (turn != Turn::kFault) t.event_lost_logged = false;
    switch (turn) {
      case Turn::kStop:
        return;
      case Turn::kIdle:
        CheckStatusBlock(t);
        break;
      case Turn::kWaitFailed:
        KstSleep(kWaitFailedPauseMs);
        break;
      case Turn::kFault:
        AfterFault(t);
        break;
      case Turn::kServed:
        break;
    }
  }
}

// ---- shutdown ---------------------------------------------------------------------

void CloseStoreAndRequestMutex(ServerThread &t) {
  if (t.s.store) {
    uint32_t x = StoreExit(t.s.store);
    if (x != KST_OK)
      KstLogPrintf("%s fpTsServerThread() line %d: Store closed. StoreExit() returned 0x%08x", kSrc,
                   __LINE__, x);
    t.s.store = nullptr;
  }
  if (t.req_mux) {
    uint32_t x = KstCloseMutexSem(t.req_mux);
    if (x != KST_OK)
      KstLogPrintf("%s fpTsServerThread() line %d: TS server uninit. KstCloseMutexSem(%s): %x",
                   kSrc, __LINE__, kRequestMutexName, x);
  }
}

void FreeBlockAndEvents(ServerThread &t) {
  if (t.shm) {
    uint32_t x = KstFreeSharedMem(t.blk, t.shm);
    if (x != KST_OK)
      KstLogPrintf("%s fpTsServerThread() line %d: TS server uninit. KstFreeSharedMem() : %x",
                   kSrc, __LINE__, x);
  }
  KstFreeMem(t.s.scratch, 0);
  if (t.s.ret) {
    uint32_t x = KstCloseEventSem(t.s.ret);
    if (x != KST_OK)
      KstLogPrintf(
          "%s fpTsServerThread() line %d: TS server uninit. KstCloseEventSem(hReturn) : %x", kSrc,
          __LINE__, x);
  }
  if (t.s.engage) {
    {
      // Taken back from the stop first: it signals only under this lock.
      std::lock_guard<std::mutex> lock(t.s.ctx->engage_lock);
      t.s.ctx->engage = nullptr;
    }
    uint32_t x = KstCloseEventSem(t.s.engage);
    if (x != KST_OK)
      KstLogPrintf(
          "%s fpTsServerThread() line %d: TS server uninit. KstCloseEventSem(hEngage) : %x", kSrc,
          __LINE__, x);
  }
}

// No server any more: clients fall back to direct mode. Then the claim
// goes (krp_host.h, invariant 2).
void ReleaseClaim(KrpLibContext *ctx) {
  KrpRunGuarded([&] {
    Store32(ctx->status, status::kMtStatus, kMtOwnProcess);
    Store32(ctx->status, status::kServerPid, kNoServer);
  });
  uint32_t x = KST_ERR_GENERAL;
  KrpRunGuarded([&] { x = KstReleaseMutexSem(ctx->thread_mux); });
  if (x != KST_OK)
    KstLogPrintf(
        "%s fpTsServerThread() line %d: TS server uninit. KstReleaseMutexSem(hThreadMux) : %x",
        kSrc, __LINE__, x);
  x = KstCloseMutexSem(ctx->thread_mux);
  if (x != KST_OK)
    KstLogPrintf(
        "%s fpTsServerThread() line %d: TS server uninit. KstCloseMutexSem(hThreadMux) : %x", kSrc,
        __LINE__, x);
  ctx->thread_mux = nullptr;
}

void Shutdown(ServerThread &t) {
  CloseStoreAndRequestMutex(t);
  FreeBlockAndEvents(t);
  ReleaseClaim(t.s.ctx);
}

}  // namespace

}  // namespace krp::host

void fpTsServerThread(void *arg) {
  using namespace krp::host;
  KrpLibContext *ctx = static_cast<KrpLibContext *>(arg);
  if (!Claim(ctx)) return;
  // The start writes status 15 right after the claim (krp_host.h, 2).
  while (!ctx->status_ready.load(std::memory_order_acquire)) KstSleep(1);

  ServerThread t{Server{ctx}};
  t.pid = static_cast<uint32_t>(getpid());
  uint32_t rc = CreateObjects(t);
  if (rc == KST_OK) rc = OpenStore(t);
  if (rc == KST_OK) rc = CreateRequestMutex(t);
  if (rc == KST_OK) ServeLoop(t);
  Shutdown(t);
  if (rc != KST_OK) ctx->start_result.store(rc, std::memory_order_release);
  ctx->state.store(kSrvEnded, std::memory_order_release);
}
