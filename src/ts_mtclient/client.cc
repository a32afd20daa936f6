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
//      return event, set the engage event, wait for the return event, accept
//      the reply only when result != 0xFEFEFEFE and reply number == request
//      number;
//   5. copy the results out, pieces included, still owning the mutex;
//   6. release the mutex, leave the connection.
// The request trace (trace.h) hooks in after step 4 has written the request
// (before the engage event) and after the reply was judged; its cost while
// tracing is off is the one load of the flags word in Request::Begin.
#include <unistd.h>

#include <atomic>
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
  uint32_t reqno() const { return reqno_; }
  // The trace flags of this request (0: not traced), and what the trace
  // needs to know about it.
  uint32_t trace() const { return trace_; }
  krp::trace::Call TraceCall(uint32_t code, const char *name) const {
    return {s_.status, s_.block, trace_, code, reqno_, name};
  }

  // Sets the engage event after resetting the return event, then waits for
  // the return event. With a harness, the harness plays the server.
  uint32_t Exchange(uint32_t ms) {
    if (__builtin_expect(s_.harness != nullptr, 0)) return s_.harness->exchange(s_.harness->arg);
    KstResetEventSem(s_.ret);
    uint32_t rc = KstSignalEventSem(s_.engage);
    if (rc != KST_OK) return rc;
    return KstWaitForEventSem(s_.ret, ms);
  }
  bool Answered(uint32_t result_off, uint32_t reply_off) const {
    return Load32(s_.block, result_off) != kNotProcessed && Load32(s_.block, reply_off) == reqno_;
  }

 private:
  Session s_;
  uint32_t reqno_ = 0;
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
// FinishHeaderA writes every other header field, and the name with its
// terminator (the server reads the name field only up to it), so the rest
// of the name field is left as it is: clearing the whole header would move
// five cache lines between the processors for every request.
void ClearHeaderA(volatile uint8_t *b) { Store32(b, a::kRequestNo, 0); }
void FinishHeaderA(volatile uint8_t *b, uint32_t code, const char *name, uint32_t size,
                   uint32_t last_wr, uint32_t attr, uint32_t consumer, uint32_t reqno) {
  Store32(b, a::kCode, code);
  Store32(b, a::kResult, kNotProcessed);
  size_t len = name ? strnlen(name, kNameFieldSize - 1) : 0;
  if (len) CopyIn(b + a::kName, name, static_cast<uint32_t>(len));
  b[a::kName + len] = 0;
  Store32(b, a::kSize, size);
  Store32(b, a::kLastWr, last_wr);
  Store32(b, a::kAttr, attr);
  Store32(b, a::kConsumer, consumer);
  Store32(b, a::kReplyNo, 0);
  Store32(b, a::kRequestNo, reqno, std::memory_order_release);
}

// A request with only a header (and no data to send): the attempts of step 4.
uint32_t SimpleExchangeA(Request &r, uint32_t code, const char *name) {
  uint32_t last_wait = KST_OK;
  for (int attempt = 0; attempt < 3; ++attempt) {
    ClearHeaderA(r.block());
    FinishHeaderA(r.block(), code, name, 0, 0, 0, 0, r.reqno());
    TraceRequest(r, attempt, code, name);
    last_wait = r.Exchange(g_reply_ms.load(std::memory_order_relaxed));
    if (last_wait == KST_OK && r.Answered(a::kResult, a::kReplyNo)) return KST_OK;
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
uint32_t ReceiveA(Request &r, uint32_t size, void **out) {
  if (size > kMaxTransfer) return KST_ERR_GENERAL;
  void *buf = nullptr;
  if (KstAllocMem(size + 1, 0, &buf, nullptr) != KST_OK) return KST_HEAP_FULL;
  uint8_t *dst = static_cast<uint8_t *>(buf);
  uint32_t rc = ReceivePieces(r, size, a::kPiece, a::kData, a::kReplyNo,
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
  g_conn.idle.wait(lock, [] { return g_conn.in_flight == 0; });
  g_disconnecting.store(false, std::memory_order_relaxed);
  KstFreeSharedMem(g_conn.block, g_conn.shm);
  KstCloseEventSem(g_conn.ret);
  KstCloseEventSem(g_conn.engage);
  KstCloseMutexSem(g_conn.mux);
  g_conn.block = nullptr;
  g_conn.shm = nullptr;
  g_conn.ret = g_conn.engage = g_conn.mux = nullptr;
  g_conn.state = kStateIdle;
}

// The accepted reply of a Read: the words, then the value in pieces.
static uint32_t ReadReplyA(Request &r, void **data, uint32_t *size, uint32_t *last_wr,
                           uint32_t *attr, uint32_t *consumer) {
  volatile uint8_t *b = r.block();
  uint32_t rc = Load32(b, a::kResult);
  if (rc != KST_OK) return rc;
  const uint32_t n = Load32(b, a::kSize);
  *size = n;
  *last_wr = Load32(b, a::kLastWr);
  *attr = Load32(b, a::kAttr);
  if (consumer) *consumer = Load32(b, a::kConsumer);
  if (!data || n == 0) return KST_OK;
  void *buf = nullptr;
  rc = ReceiveA(r, n, &buf);
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
  rc = SimpleExchangeA(r, kReqRead, name);
  if (rc == KST_OK) rc = ReadReplyA(r, data, size, last_wr, attr, consumer);
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
  const uint32_t reply_ms = g_reply_ms.load(std::memory_order_relaxed);
  const uint32_t piece_ms = g_piece_ms.load(std::memory_order_relaxed);
  uint32_t last_wait = KST_OK;
  bool accepted = false;
  auto done = [&](uint32_t result) {
    TraceReply(r, kReqWrite, name, result);
    return result;
  };
  for (int attempt = 0; attempt < 3 && !accepted; ++attempt) {
    ClearHeaderA(b);
    if (size <= a::kPiece) {
      CopyIn(b + a::kData, src, size);
      FinishHeaderA(b, kReqWrite, name, size, last_wr, attr, consumer, r.reqno());
      TraceRequest(r, attempt, kReqWrite, name);
      last_wait = r.Exchange(reply_ms);
    } else {
      PieceCursor cur{size, 0, a::kPiece};
      const uint64_t pieces = PieceCount(size, a::kPiece);
      for (uint64_t i = 0; i < pieces; ++i) {
        uint64_t at;
        uint32_t len;
        cur.Next(&at, &len);
        CopyIn(b + a::kData, src + at, len);
        if (i == 0) {
          FinishHeaderA(b, kReqWrite, name, size, last_wr, attr, consumer, r.reqno());
          TraceRequest(r, attempt, kReqWrite, name);
        }
        const bool last = i + 1 == pieces;
        last_wait = r.Exchange(last ? reply_ms : piece_ms);
        if (last) break;
        // A failed piece ends the call with the wait's code; an early reply
        // (the server refused the transfer) ends the pieces.
        if (last_wait != KST_OK) return done(last_wait);
        if (r.Answered(a::kResult, a::kReplyNo)) break;
      }
    }
    accepted = last_wait == KST_OK && r.Answered(a::kResult, a::kReplyNo);
    if (!accepted && last_wait != KST_OK && Disconnecting()) return done(KST_ERR_ACCESS_DENIED);
  }
  if (!accepted) return done(NoReply(last_wait));
  rc = done(Load32(b, a::kResult));
  // The block must not keep the value for other readers: the header and
  // every data byte this write put there (all pieces land at the start of
  // the data area). Clearing the whole block would cost more than the
  // exchange itself for a small value.
  memset(const_cast<uint8_t *>(b), 0, a::kHeaderSize + (size < a::kPiece ? size : a::kPiece));
  return rc;
}

uint32_t KrpStoreKtsDeleteMt(uint32_t, const char *name) {
  if (!name || !*name) return KST_ERR_INVALID_PARAMETER;
  if (NameCheck(name) != KST_OK) return KRP_ERR_NAME_TOO_LONG;
  Request r;
  uint32_t rc = r.Begin();
  if (rc != KST_OK) return rc;
  rc = SimpleExchangeA(r, kReqDelete, name);
  if (rc == KST_OK) rc = Load32(r.block(), a::kResult);
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
  rc = SimpleExchangeA(r, kReqListObjects, pattern);
  if (rc == KST_OK) rc = Load32(r.block(), a::kResult);
  if (rc == KST_OK) {
    const uint32_t n = Load32(r.block(), a::kSize);
    *size = n;
    if (list && n > 0) rc = ReceiveA(r, n, list);
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
  rc = SimpleExchangeA(r, kReqGetInfo, name);
  if (rc == KST_OK) rc = Load32(r.block(), a::kResult);
  TraceReply(r, kReqGetInfo, name, rc);
  if (rc != KST_OK) return rc;
  uint32_t w[10];
  for (uint32_t i = 0; i < 10; ++i) w[i] = Load32(r.block(), a::kData + 4 * i);
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
  if (static_cast<uint64_t>(len) + b::kHeaderSize >= 0x50000 || len < kTsMultiHeaderSize) {
    KstLogPrintf(
        "KrpStoreKtsReadMultipleMt: Multiple request buffer too large (%d / %d items) "
        "for server to handle, returning error to KRP",
        static_cast<int>(len + b::kHeaderSize), static_cast<int>(TsMultiCount(blk)));
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
      Store32(b, b::kRequestNo, 0);
      memset(const_cast<uint8_t *>(b), 0, b::kHeaderSize);
      CopyIn(b + b::kData, blk, len);
      Store32(b, b::kCode, kReqReadMultiple);
      Store32(b, b::kResult, kNotProcessed);
      Store32(b, b::kSize, len);
      Store32(b, b::kRequestNo, r.reqno(), std::memory_order_release);
      if (r.trace() && attempt == 0)
        krp::trace::MultiRequest(r.TraceCall(kReqReadMultiple, nullptr), blk, len);
      last_wait = r.Exchange(g_reply_ms.load(std::memory_order_relaxed));
      accepted = last_wait == KST_OK && r.Answered(b::kResult, b::kReplyNo);
      if (!accepted && last_wait != KST_OK && Disconnecting()) {
        rc = KST_ERR_ACCESS_DENIED;
        break;
      }
    }
    if (rc == KST_OK && !accepted) rc = NoReply(last_wait);
    if (rc == KST_OK) rc = Load32(b, b::kResult);
    if (rc == KST_OK) {
      // The reply: the filled block, then the data of all items.
      const uint32_t payload = Load32(b, b::kSize);
      total = Load32(b, b::kData + kTsMultiOffTotal);
      if (Load32(b, b::kData + kTsMultiOffDataOffset) != len ||
          static_cast<uint64_t>(len) + total != payload || total > kMaxTransfer) {
        rc = KST_ERR_GENERAL;  // inconsistent reply
      } else if (total > 0 &&
                 KstAllocMem(total + 1, 0, reinterpret_cast<void **>(&out), nullptr) != KST_OK) {
        rc = KST_HEAP_FULL;
      } else {
        rc = ReceivePieces(r, payload, b::kPiece, b::kData, b::kReplyNo,
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
  rc = SimpleExchangeA(r, kReqPack, nullptr);
  if (rc == KST_OK) rc = Load32(r.block(), a::kResult);
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
    ClearHeaderA(b);
    CopyIn(b + a::kData, target, len);
    FinishHeaderA(b, kReqCopy, nullptr, 0, 0, 0, 0, r.reqno());
    TraceRequest(r, attempt, kReqCopy, nullptr);
    last_wait = r.Exchange(g_reply_ms.load(std::memory_order_relaxed));
    if (last_wait == KST_OK && r.Answered(a::kResult, a::kReplyNo)) {
      rc = Load32(b, a::kResult);
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
    Store32(b, c::kRequestNo, 0);
    memset(const_cast<uint8_t *>(b), 0, c::kData + 1);
    Store32(b, c::kCode, kReqRuntimeInfo);
    Store32(b, c::kResult, kNotProcessed);
    if (stylesheet)
      CopyIn(b + c::kStylesheet, stylesheet, static_cast<uint32_t>(strlen(stylesheet)));
    Store32(b, c::kRequestNo, r.reqno(), std::memory_order_release);
    TraceRequest(r, attempt, kReqRuntimeInfo, nullptr);
    last_wait = r.Exchange(g_reply_ms.load(std::memory_order_relaxed));
    accepted = last_wait == KST_OK && r.Answered(c::kResult, c::kReplyNo);
    if (!accepted && last_wait != KST_OK && Disconnecting()) {
      TraceReply(r, kReqRuntimeInfo, nullptr, KST_ERR_ACCESS_DENIED);
      return KST_ERR_ACCESS_DENIED;
    }
  }
  rc = accepted ? Load32(b, c::kResult) : NoReply(last_wait);
  TraceReply(r, kReqRuntimeInfo, nullptr, rc);
  if (rc != KST_OK) return rc;
  const uint32_t n1 = Load32(b, c::kSize1), n2 = Load32(b, c::kSize2);
  if (static_cast<uint64_t>(n1) + n2 >= c::kTextLimit) return KST_ERR_GENERAL;  // inconsistent
  void *t1 = nullptr, *t2 = nullptr;
  if ((n1 && KstAllocMem(n1, 0, &t1, nullptr) != KST_OK) ||
      (n2 && KstAllocMem(n2, 0, &t2, nullptr) != KST_OK)) {
    KstFreeMem(t1, 0);
    return KST_HEAP_FULL;
  }
  if (n1) {
    CopyOut(t1, b + c::kData, n1);
    KstUnscrambleData(KST_SCRAMBLE_KEY, t1, n1);
  }
  if (n2) {
    CopyOut(t2, b + c::kData + n1, n2);
    KstUnscrambleData(KST_SCRAMBLE_KEY, t2, n2);
  }
  *schema = t1;
  *schema_size = n1;
  *document = t2;
  *document_size = n2;
  return KST_OK;
}
