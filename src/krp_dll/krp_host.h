// The hosting side of the store service: the library context, the start and
// stop of the server thread, and the server thread itself.
//
// Design note
// -----------
// One process on the machine hosts the store. Its start claims the thread
// mutex "TS_MUX_THREAD", starts fpTsServerThread and waits until the thread
// has opened the store; the thread then serves one request at a time from
// the request block until the stop asks it to end.
//
// Server thread states (KrpLibContext::state):
//
//   kStarting --claim failed or start failed--> kEnded
//   kStarting --objects created, store open--> kServing   (the start then
//             writes MT status 0 and the host's process id; a compare and
//             swap, so a stop requested meanwhile is never overwritten)
//   kStarting/kServing --stop or abandoned start (kStopRequested) +
//             engage signalled (through the thread's own handle, lent to
//             the stop in KrpLibContext::engage)--> shutdown steps --> kEnded
//
// The thread's engage wait is bounded (about a second), so it notices a
// stop even when the wake-up never comes (the event's memory was lost),
// and re-asserts the status words on the way (server_lifecycle.cc).
//
// Invariants:
// 1. The start claims "TS_MUX_THREAD" before it writes anything into the
//    status block: the thread's first act is a zero-wait request of the
//    mutex, and the start waits for that outcome. Whoever does not get it
//    ends with 0x370008 and leaves the status block alone. The thread owns
//    the mutex for its whole life, so its existence (and ownership) tells
//    every process that a server runs, and it dies with the host.
// 2. The stop, a failed start and a start that timed out all wait for the
//    thread to end before anything it uses is freed, then disconnect this
//    process's client side. The wait is bounded (2 x 50 s): a thread that
//    has not ended by then is left running with its context, which is then
//    never freed (the stop returns 121). The thread itself writes MT status 0 with
//    server process id 0xFFFFFFFF as its last act before it releases
//    "TS_MUX_THREAD": only the holder of the claim writes the status block,
//    so a host that starts right after cannot have its status overwritten.
//    (The thread begins its work only once the start has written status 15,
//    so its final write always comes after.)
// 3. The server treats the request block as untrusted input written by any
//    local process: it copies the header fields once, forces the name's
//    terminator inside its field, widens sizes to 64 bits and caps them
//    (kMaxTransfer), and hands the engine only private copies (the data to
//    write, the read-multiple block). A malformed request gets 87.
// 4. A reply is written only while the block still carries the number of
//    the request being answered; during a transfer in pieces the request
//    code and number are checked at every piece, and a changed request ends
//    the transfer (a large write is committed only after its last piece).
//    The engage event that revealed the change belongs to the new request,
//    which is then served without waiting again.
// 5. Only the server thread calls the store engine.
// 6. Every access of the host (thread, start and stop) to shared memory
//    that another process may truncate runs under the SIGBUS guard
//    (fault_guard.h); every wait of the stop is bounded. A damaged object
//    costs the requests it carries, never the orderly close of the store.
// 7. The stop signals engage only under KrpLibContext::engage_lock and only
//    while the thread still lends its handle; the thread takes the handle
//    back under the same lock before it closes it.
//
// Lock order: the host lock (start/stop of this process), then the creation
// lock (inside the platform). The creation lock is never taken while the
// request mutex is held; the server never takes the request mutex.
#ifndef KRP_DLL_KRP_HOST_H
#define KRP_DLL_KRP_HOST_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "mtclient.h"
#include "platform.h"
#include "store.h"

enum KrpServerState : uint32_t {
  kSrvStarting = 0,
  kSrvServing = 1,
  kSrvStopRequested = 2,
  kSrvEnded = 3,
};

// Claim outcome of the thread mutex (KrpLibContext::claim).
constexpr uint32_t kClaimPending = 0xFFFFFFFFu;

// The library context: the handle the start returns and the stop takes.
// Owned by the library from start to stop.
struct KrpLibContext {
  uint32_t reserved;
  uint32_t open_flags;             // the caller's flags; the thread adds 4
  KST_HSHMEM status_handle;        // the host's mapping of the status block
  std::atomic<uint32_t> progress;  // last value StoreInit reported
  std::atomic<uint32_t> start_result;
  char *root;                // heap copy, or null for the default store
  char *file_name;           // heap copy, or null
  volatile uint8_t *status;  // the mapped status block
  // The host's mapping of the wake block (wake_block.h): mapped before the
  // status block is written, unmapped with the context, so every publication
  // of this host also wakes through it.
  KST_HSHMEM wake_handle;
  volatile uint8_t *wake;
  // Host bookkeeping.
  KST_HTHREAD thread;
  KST_HSEM thread_mux;          // "TS_MUX_THREAD", handed to the thread
  std::atomic<uint32_t> claim;  // kClaimPending, 0, or 0x370008
  std::atomic<uint32_t> state;  // KrpServerState
  std::atomic<uint32_t> status_ready;  // 1 once the start wrote status 15
  // 1 once the start wrote MT status 0 and the host's process id: from then
  // on the thread re-asserts them.
  std::atomic<uint32_t> announced;
  // The server thread's engage handle, lent to the stop (invariant 7).
  std::mutex engage_lock;
  KST_HSEM engage;
};

// The server thread; `arg` is the KrpLibContext. Ends with state kEnded.
void fpTsServerThread(void *arg);

// ---- one request served outside the thread ---------------------------------
// The engine calls the server makes, as a table, so that the dispatch can be
// driven over an engine of a test's own (the fuzz target does). Each entry has
// the signature and contract of the store function it is named after.
struct KrpEngineOps {
  uint32_t (*read)(TsStore *, const char *, void *, uint32_t *, uint32_t *, uint32_t *,
                   uint32_t *);
  uint32_t (*write)(TsStore *, const char *, const void *, uint32_t, uint32_t, uint32_t,
                    uint32_t);
  uint32_t (*del)(TsStore *, const char *);
  uint32_t (*list)(TsStore *, const char *, void **, uint32_t *, int);
  uint32_t (*info)(TsStore *, const char *, TsObjectInfo *);
  uint32_t (*read_multiple)(TsStore *, uint32_t, void *);
  uint32_t (*pack)(TsStore *);
  uint32_t (*copy)(TsStore *, const char *);
  uint32_t (*runtime_info)(TsStore *, char **, uint32_t *, char **, uint32_t *, const char *);
};
// The store engine's table (what the server thread uses).
const KrpEngineOps *KrpStoreEngine();

struct KrpDispatchHarness {
  const KrpEngineOps *engine;  // null: the store engine
  TsStore *store;              // handed to the engine as is
  // Called where the server hands a piece to the client and waits for the
  // next engage; false stands for a failed wait. The callee may rewrite the
  // block meanwhile, as a client would.
  bool (*next_piece)(void *arg);
  void *arg;
};
// Serves the request in `block` (kRequestBlockSize bytes, treated as shared
// and untrusted exactly as in the thread) with `scratch` (kRequestBlockSize
// bytes) as the private copy area; `ctx` gives the status block (the
// last-write stamp, the request block's high-water mark) and the host's
// root (allowed copy targets). Every buffer of the request is freed before
// it returns. 0 answered (a reply is in the block), 1 nothing answered, 2
// the block holds a new request to serve.
uint32_t KrpServeOneRequest(KrpLibContext *ctx, volatile uint8_t *block, uint8_t *scratch,
                            const KrpDispatchHarness *h);

#endif  // KRP_DLL_KRP_HOST_H
