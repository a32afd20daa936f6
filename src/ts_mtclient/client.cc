// The process's connection to the request objects and the client calls
// (mtclient.h has the design note and the invariants).
//
// One request, whatever its code:
//   1. status block mapped (else 1); take part in the connection (connect on
//      first use; 5 while disconnecting);
//   2. take "krp_no1_ts_mux" (a time-out is logged and tried once more after
//      500 + (counter & 255) ms);
//   3. increment the request counter (0 is skipped): the request number;
//   4. up to three attempts: clear the header, write the request, reset the
//      return event, set the engage event, wait for the return event (in
//      slices, looking between them whether the host still lives), accept
//      the reply only when result != 0xFEFEFEFE and reply number == request
//      number;
//   5. copy the results out, pieces included, still owning the mutex (a
//      Write clears the block up to its high-water mark);
//   6. release the mutex, leave the connection.
// The request trace (trace.h) hooks in after step 4 has written the request
// (before the engage event) and after the reply was judged; its cost while
// tracing is off is the one load of the flags word in Request::Begin.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "mtclient.h"
#include "trace.h"

namespace {

using namespace krp::proto;

constexpr uint32_t kStateIdle = 0;
constexpr uint32_t kStateConnected = 1;
constexpr uint32_t kStateDisconnecting = 0xFFFFFFFFu;

// The slice of a reply wait between two looks at the host's liveness.
constexpr uint32_t kReplySliceMs = 50;
// A disconnect waits this long for the requests in flight to leave (each
// of them ends within its own bounded waits, and gives up at its next
// slice once a disconnect waits); after it, their handles are abandoned
// instead of closed under them.
constexpr uint32_t kDisconnectWaitMs = 60000;
// A read-multiple block travels in one piece: block length plus the
// layout's header must stay below this.
constexpr uint64_t kMultiRequestLimit = 0x50000;

std::atomic<uint32_t> g_mutex_ms{kMutexWaitMs};
std::atomic<uint32_t> g_reply_ms{kReplyWaitMs};
std::atomic<uint32_t> g_piece_ms{kPieceWaitMs};

// The handles one request uses; copied out of the connection while the
// request takes part in it, valid until it leaves (invariant 1).
struct Session {
  const MtClientHarness *harness = nullptr;  // set: no objects, see mtclient.h
  KST_HSEM mux = nullptr;
  KST_HSEM engage = nullptr;
  KST_HSEM ret = nullptr;
  volatile uint8_t *block = nullptr;
  volatile uint8_t *status = nullptr;
};

struct Connection {
  std::mutex lock;
  std::condition_variable idle;  // in_flight dropped to 0
  uint32_t state = kStateIdle;
  uint32_t in_flight = 0;
  bool exit_handler = false;
  KST_HSEM mux = nullptr, engage = nullptr, ret = nullptr;
  KST_HSHMEM shm = nullptr;
  void *block = nullptr;
};

Connection g_conn;
std::atomic<bool> g_exiting{false};
std::atomic<const MtClientHarness *> g_harness{nullptr};
// Set while a disconnect waits for the requests in flight: they give up at
// their next failed wait instead of using up their attempts.
std::atomic<bool> g_disconnecting{false};
bool Disconnecting() { return g_disconnecting.load(std::memory_order_relaxed); }

void OnProcessExit() { g_exiting.store(true, std::memory_order_relaxed); }

// Under g_conn.lock.
uint32_t ConnectLocked() {
  Connection &c = g_conn;
  if (!c.exit_handler) {
    atexit(OnProcessExit);
    c.exit_handler = true;
  }
  KST_HSEM mux = nullptr, engage = nullptr, ret = nullptr;
  KST_HSHMEM shm = nullptr;
  void *block = nullptr;
  uint32_t size = 0;
  uint32_t rc = KstOpenMutexSemGlobal(kRequestMutexName, &mux);
  if (rc == KST_OK) rc = KstOpenEventSemGlobal(kEngageEventName, &engage);
  if (rc == KST_OK) rc = KstOpenEventSemGlobal(kReturnEventName, &ret);
  if (rc == KST_OK) rc = KstOpenSharedMemGlobal(kRequestBlockName, &block, &shm);
  if (rc == KST_OK) {
    rc = KstQuerySharedMemSize(shm, &size);
    if (rc == KST_OK && size < kRequestBlockSize) rc = KST_ERR_GENERAL;
  }
  if (rc != KST_OK) {
    if (shm) KstFreeSharedMem(block, shm);
    if (ret) KstCloseEventSem(ret);
    if (engage) KstCloseEventSem(engage);
    if (mux) KstCloseMutexSem(mux);
    return rc;
  }
  c.mux = mux;
  c.engage = engage;
  c.ret = ret;
  c.shm = shm;
  c.block = block;
  c.state = kStateConnected;
  return KST_OK;
}

uint32_t Enter(Session *s) {
  s->status = MtStatusBlock();
  if (!s->status) return KST_ERR_GENERAL;
  if (g_exiting.load(std::memory_order_relaxed)) return KST_ERR_ACCESS_DENIED;
  std::lock_guard<std::mutex> lock(g_conn.lock);
  if (g_conn.state == kStateDisconnecting) return KST_ERR_ACCESS_DENIED;
  if (g_conn.state == kStateIdle) {
    uint32_t rc = ConnectLocked();
    if (rc != KST_OK) return rc;
  }
  ++g_conn.in_flight;
  s->mux = g_conn.mux;
  s->engage = g_conn.engage;
  s->ret = g_conn.ret;
  s->block = static_cast<volatile uint8_t *>(g_conn.block);
  return KST_OK;
}

void Leave() {
  std::lock_guard<std::mutex> lock(g_conn.lock);
  if (--g_conn.in_flight == 0) g_conn.idle.notify_all();
}

// Step 3, under the request mutex: the status block's counter, 0 skipped.
uint32_t NextRequestNumber(volatile uint8_t *status) {
  uint32_t n = Load32(status, status::kRequestCounter) + 1;
  if (n == 0) n = 1;
  Store32(status, status::kRequestCounter, n);
  return n;
}

// Steps 2 and 3: the request mutex and a fresh request number.
uint32_t Acquire(const Session &s, uint32_t *reqno) {
  const uint32_t ms = g_mutex_ms.load(std::memory_order_relaxed);
  uint32_t rc = KstRequestMutexSem(s.mux, ms);
  if (rc == KST_ERR_TIMEOUT && Disconnecting()) return KST_ERR_ACCESS_DENIED;
  if (rc == KST_ERR_TIMEOUT) {
    KstLogPrintf("Mutex timeout, try again");
    KstSleep((Load32(s.status, status::kRequestCounter) & 255) + 500);
    rc = KstRequestMutexSem(s.mux, ms);
  }
  if (rc != KST_OK) return rc;
  *reqno = NextRequestNumber(s.status);
  return KST_OK;
}

// Owns the mutex and the connection for one request; releases both.
class Request {
 public:
  uint32_t Begin() {
    if (const MtClientHarness *h = g_harness.load(std::memory_order_acquire)) {
      // Neither entered nor owned: the destructor has nothing to release.
      s_.harness = h;
      s_.block = h->block;
      s_.status = h->status;
      reqno_ = NextRequestNumber(s_.status);
      trace_ = Load32(s_.status, status::kTraceFlags);
      return KST_OK;
    }
    uint32_t rc = Enter(&s_);
    if (rc != KST_OK) return rc;
    entered_ = true;
    rc = Acquire(s_, &reqno_);
    if (rc != KST_OK) return rc;
    owned_ = true;
    trace_ = Load32(s_.status, status::kTraceFlags);
    return KST_OK;
  }
  ~Request() {
    if (owned_) KstReleaseMutexSem(s_.mux);
    if (entered_) Leave();
  }
  volatile uint8_t *block() const { return s_.block; }
  volatile uint8_t *status() const { return s_.status; }
  uint32_t reqno() const { return reqno_; }
  // The trace flags of this request (0: not traced), and what the trace
  // needs to know about it.
  uint32_t trace() const { return trace_; }
  krp::trace::Call TraceCall(uint32_t code, const char *name) const {
    return {s_.status, s_.block, trace_, code, reqno_, name};
  }

  // Sets the engage event after resetting the return event, then waits for
  // the return event. With a harness, the harness plays the server. Once a
  // wait found the server gone, every later exchange of the request is a
  // time-out at once.
  uint32_t Exchange(uint32_t ms) {
    if (__builtin_expect(s_.harness != nullptr, 0)) return s_.harness->exchange(s_.harness->arg);
    if (server_gone_) return KST_ERR_TIMEOUT;
    KstResetEventSem(s_.ret);
    uint32_t rc = KstSignalEventSem(s_.engage);
    if (rc != KST_OK) return rc;
    return WaitForReply(ms);
  }
  bool Answered(uint32_t result_off, uint32_t reply_off) const {
    return Load32(s_.block, result_off) != kNotProcessed && Load32(s_.block, reply_off) == reqno_;
  }

 private:
  // Waits up to `ms` for the return event in slices of kReplySliceMs. A
  // reply within the first slice costs exactly the one wait it always did;
  // only between slices does the client look whether the host still lives
  // (and whether a disconnect waits for it), so a host that died under the
  // request ends the wait within a slice instead of after `ms`.
  uint32_t WaitForReply(uint32_t ms) {
    const uint32_t slice = ms < kReplySliceMs ? ms : kReplySliceMs;
    uint32_t rc = KstWaitForEventSem(s_.ret, slice);
    uint32_t waited = slice;
    while (rc == KST_ERR_TIMEOUT && (ms == KST_INFINITE || waited < ms)) {
      if (Disconnecting()) return KST_ERR_TIMEOUT;
      if (MtServerGone(s_.status)) {
        server_gone_ = true;
        return KST_ERR_TIMEOUT;
      }
      const uint32_t next = ms == KST_INFINITE || ms - waited > slice ? slice : ms - waited;
      rc = KstWaitForEventSem(s_.ret, next);
      if (ms != KST_INFINITE) waited += next;
    }
    return rc;
  }

  Session s_;
  uint32_t reqno_ = 0;
  bool server_gone_ = false;
  uint32_t trace_ = 0;
  bool entered_ = false;
  bool owned_ = false;
};

// The result of three attempts without an accepted reply.
uint32_t NoReply(uint32_t last_wait) {
  return last_wait == KST_ERR_TIMEOUT ? KST_ERR_TIMEOUT : KST_ERR_GENERAL;
}

// Trace hooks: the request lines once, before the first engage; the reply
// lines with the call's result, before the mutex is released.
inline void TraceRequest(const Request &r, int attempt, uint32_t code, const char *name) {
  if (r.trace() && attempt == 0) krp::trace::Request(r.TraceCall(code, name));
}
inline void TraceReply(const Request &r, uint32_t code, const char *name, uint32_t rc,
                       const void *value = nullptr, uint32_t value_len = 0,
                       bool words_only = false) {
  if (r.trace())
    krp::trace::Reply(r.TraceCall(code, name), rc, value, value_len, words_only);
}

void CopyOut(void *dst, const volatile uint8_t *src, uint32_t len) {
  memcpy(dst, const_cast<const uint8_t *>(src), len);
}
void CopyIn(volatile uint8_t *dst, const void *src, uint32_t len) {
  memcpy(const_cast<uint8_t *>(dst), src, len);
}

// Layout A header. The request number is the block's sequence word: it is
// cleared first and written last, after the data, so a server that reads it
// before and after copying a request sees a change whenever it copied a
// request being rewritten.
// WriteRequestHeader writes every other header field, and the name with its
// terminator (the server reads the name field only up to it), so the rest
// of the name field is left as it is: clearing the whole header would move
// five cache lines between the processors for every request.
void ClearRequestNumber(volatile uint8_t *b) { Store32(b, layout_single::kRequestNo, 0); }
void WriteRequestHeader(volatile uint8_t *b, uint32_t code, const char *name, uint32_t size,
                        uint32_t last_wr, uint32_t attr, uint32_t consumer, uint32_t reqno) {
  Store32(b, layout_single::kCode, code);
  Store32(b, layout_single::kResult, kNotProcessed);
  size_t len = name ? strnlen(name, kNameFieldSize - 1) : 0;
  if (len) CopyIn(b + layout_single::kName, name, static_cast<uint32_t>(len));
  b[layout_single::kName + len] = 0;
  // The field's last byte is always 0, whatever an earlier request (a
  // read-multiple block lies over the field) left there.
  b[layout_single::kName + kNameFieldSize - 1] = 0;
  Store32(b, layout_single::kSize, size);
  Store32(b, layout_single::kLastWr, last_wr);
  Store32(b, layout_single::kAttr, attr);
  Store32(b, layout_single::kConsumer, consumer);
  Store32(b, layout_single::kReplyNo, 0);
  Store32(b, layout_single::kRequestNo, reqno, std::memory_order_release);
}

// A request with only a header (and no data to send): the attempts of step 4.
uint32_t ExchangeHeaderOnly(Request &r, uint32_t code, const char *name) {
  uint32_t last_wait = KST_OK;
  for (int attempt = 0; attempt < 3; ++attempt) {
    ClearRequestNumber(r.block());
    WriteRequestHeader(r.block(), code, name, 0, 0, 0, 0, r.reqno());
    TraceRequest(r, attempt, code, name);
    last_wait = r.Exchange(g_reply_ms.load(std::memory_order_relaxed));
    if (last_wait == KST_OK && r.Answered(layout_single::kResult, layout_single::kReplyNo))
      return KST_OK;
    if (last_wait != KST_OK && Disconnecting()) return KST_ERR_ACCESS_DENIED;
    if (last_wait != KST_OK && code == kReqGetInfo) {
      KstLogPrintf(
          "ts_mtclient line %d: GetObjectInfo KstWaitForEventSem: 0x%08x, request %d, "
          "retry %d.",
          __LINE__, last_wait, r.reqno(), attempt + 1);
    }
  }
  return NoReply(last_wait);
}

// Receives a payload of `total` bytes whose first piece stands in the data
// area at `data_off` (pieces of `piece` bytes). `sink(at, src, len)` stores
// each piece. Further pieces are asked for with the engage event; every
// piece must still carry this request's number. Stops at the first failed
// wait and returns its code.
template <typename Sink>
uint32_t ReceivePieces(Request &r, uint64_t total, uint32_t piece, uint32_t data_off,
                       uint32_t reply_off, Sink sink) {
  PieceCursor cur{total, 0, piece};
  const uint64_t pieces = total > piece ? PieceCount(total, piece) : 1;
  for (uint64_t i = 0; i < pieces; ++i) {
    if (i > 0) {
      uint32_t rc = r.Exchange(g_piece_ms.load(std::memory_order_relaxed));
      if (rc != KST_OK) return rc;
      if (Load32(r.block(), reply_off) != r.reqno()) return KRP_ERR_PIECE_TO_CLIENT;
    }
    uint64_t at;
    uint32_t len;
    cur.Next(&at, &len);
    sink(at, r.block() + data_off, len);
  }
  return KST_OK;
}

uint32_t NameCheck(const char *name) {
  return strnlen(name, kNameFieldSize) >= kNameFieldSize ? KRP_ERR_NAME_TOO_LONG : KST_OK;
}

// Reads a reply of layout A with a payload (Read, List objects) into a new
// buffer of size + 1 bytes.
uint32_t ReceivePayload(Request &r, uint32_t size, void **out) {
  if (size > kMaxTransfer) return KST_ERR_GENERAL;
  void *buf = nullptr;
  if (KstAllocMem(size + 1, 0, &buf, nullptr) != KST_OK) return KST_HEAP_FULL;
  uint8_t *dst = static_cast<uint8_t *>(buf);
  uint32_t rc =
      ReceivePieces(r, size, layout_single::kPiece, layout_single::kData, layout_single::kReplyNo,
                    [dst](uint64_t at, const volatile uint8_t *src, uint32_t len) {
                      CopyOut(dst + at, src, len);
                    });
  if (rc != KST_OK) {
    KstFreeMem(buf, 0);
    return rc;
  }
  dst[size] = 0;
  *out = buf;
  return KST_OK;
}

}  // namespace

void MtSetTimeouts(uint32_t mutex_ms, uint32_t reply_ms, uint32_t piece_ms) {
  g_mutex_ms.store(mutex_ms, std::memory_order_relaxed);
  g_reply_ms.store(reply_ms, std::memory_order_relaxed);
  g_piece_ms.store(piece_ms, std::memory_order_relaxed);
}

uint32_t MtPieceWaitMs() { return g_piece_ms.load(std::memory_order_relaxed); }

void MtClientUseHarness(const MtClientHarness *h) {
  g_harness.store(h, std::memory_order_release);
}

void MtClientDisconnect() {
  std::unique_lock<std::mutex> lock(g_conn.lock);
  if (g_conn.state != kStateConnected) return;
  g_conn.state = kStateDisconnecting;
  g_disconnecting.store(true, std::memory_order_relaxed);
  const bool idle = g_conn.idle.wait_for(lock, std::chrono::milliseconds(kDisconnectWaitMs),
                                         [] { return g_conn.in_flight == 0; });
  g_disconnecting.store(false, std::memory_order_relaxed);
  if (idle) {
    KstFreeSharedMem(g_conn.block, g_conn.shm);
    KstCloseEventSem(g_conn.ret);
    KstCloseEventSem(g_conn.engage);
    KstCloseMutexSem(g_conn.mux);
  } else {
    // Requests still in flight keep using these handles: they are left to
    // them (never closed) rather than pulled away under them.
    KstLogPrintf("ts_mtclient line %d: disconnect with %u requests in flight; handles abandoned",
                 __LINE__, g_conn.in_flight);
  }
  g_conn.block = nullptr;
  g_conn.shm = nullptr;
  g_conn.ret = g_conn.engage = g_conn.mux = nullptr;
  g_conn.state = kStateIdle;
}

// The accepted reply of a Read: the words, then the value in pieces.
static uint32_t ReadReply(Request &r, void **data, uint32_t *size, uint32_t *last_wr,
                          uint32_t *attr, uint32_t *consumer) {
  volatile uint8_t *b = r.block();
  uint32_t rc = Load32(b, layout_single::kResult);
  if (rc != KST_OK) return rc;
  const uint32_t n = Load32(b, layout_single::kSize);
  *size = n;
  *last_wr = Load32(b, layout_single::kLastWr);
  *attr = Load32(b, layout_single::kAttr);
  if (consumer) *consumer = Load32(b, layout_single::kConsumer);
  if (!data || n == 0) return KST_OK;
  void *buf = nullptr;
  rc = ReceivePayload(r, n, &buf);
  if (rc != KST_OK) return rc;
  KstUnscrambleData(KST_SCRAMBLE_KEY, buf, n);
  *data = buf;
  return KST_OK;
}

uint32_t KrpStoreKtsReadMt(uint32_t, const char *name, void **data, uint32_t *size,
                           uint32_t *last_wr, uint32_t *attr, uint32_t *consumer) {
  if (!name || !*name || !size || !last_wr || !attr) return KST_ERR_GENERAL;
  if (NameCheck(name) != KST_OK) return KRP_ERR_NAME_TOO_LONG;
  if (data) *data = nullptr;
  Request r;
  uint32_t rc = r.Begin();
  if (rc != KST_OK) return rc;
  rc = ExchangeHeaderOnly(r, kReqRead, name);
  if (rc == KST_OK) rc = ReadReply(r, data, size, last_wr, attr, consumer);
  TraceReply(r, kReqRead, name, rc, data ? *data : nullptr, rc == KST_OK ? *size : 0, !data);
  return rc;
}

uint32_t KrpStoreKtsWriteMt(uint32_t, const char *name, void *data, uint32_t size, uint32_t last_wr,
                            uint32_t attr, uint32_t consumer) {
  if (!name || !data || strnlen(name, 2) < 2) return KST_ERR_INVALID_PARAMETER;
  if (NameCheck(name) != KST_OK) return KRP_ERR_NAME_TOO_LONG;
  if (size > kMaxTransfer) return KST_ERR_INVALID_PARAMETER;
  Request r;
  uint32_t rc = r.Begin();
  if (rc != KST_OK) return rc;
  KstScrambleData(KST_SCRAMBLE_KEY, data, size);
  const uint8_t *src = static_cast<const uint8_t *>(data);
  volatile uint8_t *b = r.block();
  // Every piece lands at the start of the data area.
  const uint32_t own_end =
      layout_single::kHeaderSize + (size < layout_single::kPiece ? size : layout_single::kPiece);
  RaiseRequestHighWater(r.status(), own_end);
  const uint32_t reply_ms = g_reply_ms.load(std::memory_order_relaxed);
  const uint32_t piece_ms = g_piece_ms.load(std::memory_order_relaxed);
  uint32_t last_wait = KST_OK;
  bool accepted = false;
  auto done = [&](uint32_t result) {
    TraceReply(r, kReqWrite, name, result);
    return result;
  };
  for (int attempt = 0; attempt < 3 && !accepted; ++attempt) {
    ClearRequestNumber(b);
    if (size <= layout_single::kPiece) {
      CopyIn(b + layout_single::kData, src, size);
      WriteRequestHeader(b, kReqWrite, name, size, last_wr, attr, consumer, r.reqno());
      TraceRequest(r, attempt, kReqWrite, name);
      last_wait = r.Exchange(reply_ms);
    } else {
      PieceCursor cur{size, 0, layout_single::kPiece};
      const uint64_t pieces = PieceCount(size, layout_single::kPiece);
      for (uint64_t i = 0; i < pieces; ++i) {
        uint64_t at;
        uint32_t len;
        cur.Next(&at, &len);
        CopyIn(b + layout_single::kData, src + at, len);
        if (i == 0) {
          WriteRequestHeader(b, kReqWrite, name, size, last_wr, attr, consumer, r.reqno());
          TraceRequest(r, attempt, kReqWrite, name);
        }
        const bool last = i + 1 == pieces;
        last_wait = r.Exchange(last ? reply_ms : piece_ms);
        if (last) break;
        // A failed piece ends the call with the wait's code; an early reply
        // (the server refused the transfer) ends the pieces.
        if (last_wait != KST_OK) return done(last_wait);
        if (r.Answered(layout_single::kResult, layout_single::kReplyNo)) break;
      }
    }
    accepted = last_wait == KST_OK && r.Answered(layout_single::kResult, layout_single::kReplyNo);
    if (!accepted && last_wait != KST_OK && Disconnecting()) return done(KST_ERR_ACCESS_DENIED);
  }
  if (!accepted) return done(NoReply(last_wait));
  rc = done(Load32(b, layout_single::kResult));
  // The block must not keep this value, nor one an earlier request left
  // (a large read reply stays in the data area), for other readers: clear
  // the header, this write's own bytes, and everything up to the
  // high-water mark (protocol.h). Clearing the whole block each time would
  // cost more than the exchange itself for a small value.
  const uint32_t mark = RequestHighWater(r.status());
  memset(const_cast<uint8_t *>(b), 0, own_end > mark ? own_end : mark);
  ResetRequestHighWater(r.status(), mark);
  return rc;
}

uint32_t KrpStoreKtsDeleteMt(uint32_t, const char *name) {
  if (!name || !*name) return KST_ERR_INVALID_PARAMETER;
  if (NameCheck(name) != KST_OK) return KRP_ERR_NAME_TOO_LONG;
  Request r;
  uint32_t rc = r.Begin();
  if (rc != KST_OK) return rc;
  rc = ExchangeHeaderOnly(r, kReqDelete, name);
  if (rc == KST_OK) rc = Load32(r.block(), layout_single::kResult);
  TraceReply(r, kReqDelete, name, rc);
  return rc;
}

uint32_t KrpStoreKtsListObjectsMt(uint32_t, const char *pattern, void **list, uint32_t *size,
                                  uint32_t) {
  if (!pattern || !size) return KST_ERR_INVALID_PARAMETER;
  if (NameCheck(pattern) != KST_OK) return KRP_ERR_NAME_TOO_LONG;
  if (list) *list = nullptr;
  Request r;
  uint32_t rc = r.Begin();
  if (rc != KST_OK) return rc;
  rc = ExchangeHeaderOnly(r, kReqListObjects, pattern);
  if (rc == KST_OK) rc = Load32(r.block(), layout_single::kResult);
  if (rc == KST_OK) {
    const uint32_t n = Load32(r.block(), layout_single::kSize);
    *size = n;
    if (list && n > 0) rc = ReceivePayload(r, n, list);
  }
  TraceReply(r, kReqListObjects, pattern, rc);
  return rc;
}

uint32_t KrpStoreKtsGetObjectInfoMt(uint32_t, const char *name, TsObjectInfo *info) {
  if (!name || !info) return KST_ERR_INVALID_PARAMETER;
  if (NameCheck(name) != KST_OK) return KRP_ERR_NAME_TOO_LONG;
  Request r;
  uint32_t rc = r.Begin();
  if (rc != KST_OK) return rc;
  rc = ExchangeHeaderOnly(r, kReqGetInfo, name);
  if (rc == KST_OK) rc = Load32(r.block(), layout_single::kResult);
  TraceReply(r, kReqGetInfo, name, rc);
  if (rc != KST_OK) return rc;
  uint32_t w[10];
  for (uint32_t i = 0; i < 10; ++i) w[i] = Load32(r.block(), layout_single::kData + 4 * i);
  info->data_size = w[0];
  info->offset = w[1];
  for (int i = 0; i < 4; ++i) info->digest[i] = w[2 + i];
  info->attr = w[6];
  info->last_wr = w[7];
  info->consumer = w[8];
  info->reserved = w[9];
  return KST_OK;
}

namespace {

// Calls fn(item offset) for each well-formed item of a block of `len` bytes
// (stops at the first item with a wrong mark or outside the block).
template <typename Fn>
void ForEachItem(const uint8_t *blk, uint32_t len, Fn fn) {
  TsMultiWalk walk(blk, len);
  TsMultiItem item;
  while (walk.Next(&item) == TsMultiStep::kItem) fn(item.offset);
}

}  // namespace

uint32_t KrpStoreKtsReadMultipleMt(uint32_t, void *block, void **data, uint32_t *data_size) {
  if (!block || !data || !data_size) return KST_ERR_INVALID_PARAMETER;
  uint8_t *blk = static_cast<uint8_t *>(block);
  const uint32_t len = TsMultiDataOffset(blk);
  if (static_cast<uint64_t>(len) + layout_multi::kHeaderSize >= kMultiRequestLimit ||
      len < kTsMultiHeaderSize) {
    KstLogPrintf(
        "KrpStoreKtsReadMultipleMt: Multiple request buffer too large (%d / %d items) "
        "for server to handle, returning error to KRP",
        static_cast<int>(len + layout_multi::kHeaderSize), static_cast<int>(TsMultiCount(blk)));
    return KST_ERR_INVALID_PARAMETER;
  }
  *data = nullptr;
  *data_size = 0;
  // Which items ask for data: only those get their bytes unscrambled (an
  // information-only item reports a size but has no bytes in the data).
  // One flag for each item the block can hold: the count word may claim
  // billions of items in a block of a few bytes, and ForEachItem never
  // visits more than (len - 16) / 33 of them.
  const uint32_t claimed = TsMultiCount(blk);
  const uint32_t room = (len - kTsMultiHeaderSize) / kTsItemMinLength;
  const uint32_t count = claimed < room ? claimed : room;
  uint8_t *wants = nullptr;
  if (count > 0 && KstAllocMem(count, 0, reinterpret_cast<void **>(&wants), nullptr) != KST_OK)
    return KST_HEAP_FULL;
  if (wants) memset(wants, 0, count);
  {
    uint32_t i = 0;
    ForEachItem(blk, len,
                [&](uint32_t o) { wants[i++] = !TsMultiInfoOnly(blk + o); });
  }
  uint32_t rc;
  uint8_t *out = nullptr;
  uint32_t total = 0;
  {
    Request r;
    rc = r.Begin();
    volatile uint8_t *b = r.block();
    uint32_t last_wait = KST_OK;
    bool accepted = false;
    for (int attempt = 0; rc == KST_OK && attempt < 3 && !accepted; ++attempt) {
      Store32(b, layout_multi::kRequestNo, 0);
      memset(const_cast<uint8_t *>(b), 0, layout_multi::kHeaderSize);
      RaiseRequestHighWater(r.status(), layout_multi::kData + len);
      CopyIn(b + layout_multi::kData, blk, len);
      Store32(b, layout_multi::kCode, kReqReadMultiple);
      Store32(b, layout_multi::kResult, kNotProcessed);
      Store32(b, layout_multi::kSize, len);
      Store32(b, layout_multi::kRequestNo, r.reqno(), std::memory_order_release);
      if (r.trace() && attempt == 0)
        krp::trace::MultiRequest(r.TraceCall(kReqReadMultiple, nullptr), blk, len);
      last_wait = r.Exchange(g_reply_ms.load(std::memory_order_relaxed));
      accepted = last_wait == KST_OK && r.Answered(layout_multi::kResult, layout_multi::kReplyNo);
      if (!accepted && last_wait != KST_OK && Disconnecting()) {
        rc = KST_ERR_ACCESS_DENIED;
        break;
      }
    }
    if (rc == KST_OK && !accepted) rc = NoReply(last_wait);
    if (rc == KST_OK) rc = Load32(b, layout_multi::kResult);
    if (rc == KST_OK) {
      // The reply: the filled block, then the data of all items.
      const uint32_t payload = Load32(b, layout_multi::kSize);
      total = Load32(b, layout_multi::kData + kTsMultiOffTotal);
      if (Load32(b, layout_multi::kData + kTsMultiOffDataOffset) != len ||
          static_cast<uint64_t>(len) + total != payload || total > kMaxTransfer) {
        rc = KST_ERR_GENERAL;  // inconsistent reply
      } else if (total > 0 &&
                 KstAllocMem(total + 1, 0, reinterpret_cast<void **>(&out), nullptr) != KST_OK) {
        rc = KST_HEAP_FULL;
      } else {
        rc = ReceivePieces(r, payload, layout_multi::kPiece, layout_multi::kData,
                           layout_multi::kReplyNo,
                           [&](uint64_t at, const volatile uint8_t *src, uint32_t n) {
                             // Split the piece between the block and the data.
                             uint64_t end = at + n;
                             if (at < len) {
                               uint32_t k = static_cast<uint32_t>((end < len ? end : len) - at);
                               CopyOut(blk + at, src, k);
                               src += k;
                               at += k;
                             }
                             if (end > at)
                               CopyOut(out + (at - len), src, static_cast<uint32_t>(end - at));
                           });
      }
    }
    if (r.trace())
      krp::trace::MultiReply(r.TraceCall(kReqReadMultiple, nullptr), rc, blk, len, out, total,
                             wants, count);
  }
  if (rc == KST_OK) {
    // Unscramble each data item's bytes, checked against the data received.
    uint32_t i = 0;
    ForEachItem(blk, len, [&](uint32_t o) {
      const bool wanted = i < count && wants[i];
      ++i;
      const TsMultiReply reply = TsMultiGetReply(blk + o);
      const uint32_t n = reply.size;
      const uint32_t at = reply.data_offset;
      if (!wanted || reply.result != 0 || n == 0) return;
      if (static_cast<uint64_t>(at) + n > total) return;
      KstUnscrambleData(KST_SCRAMBLE_KEY, out + at, n);
    });
    if (out) out[total] = 0;
    *data = out;
    *data_size = total;
    out = nullptr;
  }
  KstFreeMem(out, 0);
  KstFreeMem(wants, 0);
  return rc;
}

uint32_t KrpStoreKtsPackMt(uint32_t) {
  Request r;
  uint32_t rc = r.Begin();
  if (rc != KST_OK) return rc;
  rc = ExchangeHeaderOnly(r, kReqPack, nullptr);
  if (rc == KST_OK) rc = Load32(r.block(), layout_single::kResult);
  TraceReply(r, kReqPack, nullptr, rc);
  return rc;
}

uint32_t KrpStoreKtsCopyMt(uint32_t, const char *target) {
  if (!target || !*target) return KST_ERR_INVALID_PARAMETER;
  if (NameCheck(target) != KST_OK) return KRP_ERR_NAME_TOO_LONG;
  const uint32_t len = static_cast<uint32_t>(strlen(target)) + 1;
  Request r;
  uint32_t rc = r.Begin();
  if (rc != KST_OK) return rc;
  volatile uint8_t *b = r.block();
  uint32_t last_wait = KST_OK;
  rc = KST_ERR_GENERAL;
  for (int attempt = 0; attempt < 3; ++attempt) {
    ClearRequestNumber(b);
    RaiseRequestHighWater(r.status(), layout_single::kData + len);
    CopyIn(b + layout_single::kData, target, len);
    WriteRequestHeader(b, kReqCopy, nullptr, 0, 0, 0, 0, r.reqno());
    TraceRequest(r, attempt, kReqCopy, nullptr);
    last_wait = r.Exchange(g_reply_ms.load(std::memory_order_relaxed));
    if (last_wait == KST_OK && r.Answered(layout_single::kResult, layout_single::kReplyNo)) {
      rc = Load32(b, layout_single::kResult);
      break;
    }
    rc = NoReply(last_wait);
    if (last_wait != KST_OK && Disconnecting()) {
      rc = KST_ERR_ACCESS_DENIED;
      break;
    }
  }
  TraceReply(r, kReqCopy, nullptr, rc);
  return rc;
}

uint32_t KrpStoreKtsGetRuntimeInfoMt(uint32_t, void **schema, uint32_t *schema_size,
                                     void **document, uint32_t *document_size,
                                     const char *stylesheet) {
  if (!schema || !schema_size || !document || !document_size) return KST_ERR_INVALID_PARAMETER;
  if (stylesheet && NameCheck(stylesheet) != KST_OK) return KRP_ERR_NAME_TOO_LONG;
  *schema = *document = nullptr;
  *schema_size = *document_size = 0;
  Request r;
  uint32_t rc = r.Begin();
  if (rc != KST_OK) return rc;
  volatile uint8_t *b = r.block();
  uint32_t last_wait = KST_OK;
  bool accepted = false;
  for (int attempt = 0; attempt < 3 && !accepted; ++attempt) {
    Store32(b, layout_report::kRequestNo, 0);
    memset(const_cast<uint8_t *>(b), 0, layout_report::kData + 1);
    Store32(b, layout_report::kCode, kReqRuntimeInfo);
    Store32(b, layout_report::kResult, kNotProcessed);
    if (stylesheet)
      CopyIn(b + layout_report::kStylesheet, stylesheet, static_cast<uint32_t>(strlen(stylesheet)));
    Store32(b, layout_report::kRequestNo, r.reqno(), std::memory_order_release);
    TraceRequest(r, attempt, kReqRuntimeInfo, nullptr);
    last_wait = r.Exchange(g_reply_ms.load(std::memory_order_relaxed));
    accepted = last_wait == KST_OK && r.Answered(layout_report::kResult, layout_report::kReplyNo);
    if (!accepted && last_wait != KST_OK && Disconnecting()) {
      TraceReply(r, kReqRuntimeInfo, nullptr, KST_ERR_ACCESS_DENIED);
      return KST_ERR_ACCESS_DENIED;
    }
  }
  rc = accepted ? Load32(b, layout_report::kResult) : NoReply(last_wait);
  TraceReply(r, kReqRuntimeInfo, nullptr, rc);
  if (rc != KST_OK) return rc;
  const uint32_t n1 = Load32(b, layout_report::kSize1), n2 = Load32(b, layout_report::kSize2);
  if (static_cast<uint64_t>(n1) + n2 >= layout_report::kTextLimit)
    return KST_ERR_GENERAL;  // inconsistent
  void *t1 = nullptr, *t2 = nullptr;
  if ((n1 && KstAllocMem(n1, 0, &t1, nullptr) != KST_OK) ||
      (n2 && KstAllocMem(n2, 0, &t2, nullptr) != KST_OK)) {
    KstFreeMem(t1, 0);
    return KST_HEAP_FULL;
  }
  if (n1) {
    CopyOut(t1, b + layout_report::kData, n1);
    KstUnscrambleData(KST_SCRAMBLE_KEY, t1, n1);
  }
  if (n2) {
    CopyOut(t2, b + layout_report::kData + n1, n2);
    KstUnscrambleData(KST_SCRAMBLE_KEY, t2, n2);
  }
  *schema = t1;
  *schema_size = n1;
  *document = t2;
  *document_size = n2;
  return KST_OK;
}
