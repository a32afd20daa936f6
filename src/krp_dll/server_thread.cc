// fpTsServerThread: the one thread on the machine that owns the open store
// and serves the request block (krp_host.h has the design note; protocol.h
// draws the block).
//
// Start: claim "TS_MUX_THREAD" (zero wait), create the engage and return
// events and the request block, open the store (up to 101 tries 200 ms apart
// while it is in use), create "krp_no1_ts_mux", become kServing.
// Serving: wait for engage, serve the request in the block, reset engage and
// signal return; until a stop is requested.
// Shutdown, in the reverse order of the start: StoreExit, close the request
// mutex, free the request block, close the events, release and close the
// thread mutex, become kEnded.
//
// Reading a request: the request number is the block's sequence word (the
// client clears it first and writes it last). The server reads it, copies
// what it needs, and reads it again; a zero or changed number means the
// block was being rewritten, and the request is left to its own engage.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csetjmp>
#include <cstring>
#include <ctime>
#include <mutex>

#include "krp_host.h"
#include "protocol.h"
#include "store_maint.h"

namespace {

using namespace krp::proto;

const char kSrc[] = "krp_dll";

uint32_t PackOp(TsStore *s) { return StorePackStoreFile(s); }

const KrpEngineOps kStoreOps = {StoreRead,         StoreWrite,         StoreDelete,
                                StoreListObjects,  StoreGetObjectInfo, StoreReadMultiple,
                                PackOp,            StoreCopyStoreFile, StoreGetRuntimeInfo};

struct Server {
  KrpLibContext *ctx;
  const KrpEngineOps *eng = &kStoreOps;
  // Set only when a request is served outside the thread (KrpServeOneRequest).
  bool (*next_piece)(void *arg) = nullptr;
  void *piece_arg = nullptr;
  TsStore *store = nullptr;
  volatile uint8_t *blk = nullptr;
  uint8_t *scratch = nullptr;  // private copy of one data area
  KST_HSEM engage = nullptr;
  KST_HSEM ret = nullptr;
  // Buffers of the request being served, freed by the request guard when a
  // fault in the shared block cuts the request short.
  void *tmp[4] = {};
};

// Allocates a buffer of the current request (recorded in s.tmp).
template <typename T>
bool TmpAlloc(Server &s, uint64_t size, T **out) {
  void *p = nullptr;
  if (size > kMaxTransfer || KstAllocMem(static_cast<uint32_t>(size), 0, &p, nullptr) != KST_OK)
    return false;
  for (void *&slot : s.tmp) {
    if (!slot) {
      slot = p;
      *out = static_cast<T *>(p);
      return true;
    }
  }
  KstFreeMem(p, 0);
  return false;
}
// Records a buffer the engine allocated for the current request.
void TmpAdopt(Server &s, void *p) {
  for (void *&slot : s.tmp) {
    if (!slot) {
      slot = p;
      return;
    }
  }
}
void TmpFree(Server &s, void *p) {
  if (!p) return;
  for (void *&slot : s.tmp)
    if (slot == p) slot = nullptr;
  KstFreeMem(p, 0);
}
void TmpFreeAll(Server &s) {
  for (void *&slot : s.tmp) {
    KstFreeMem(slot, 0);
    slot = nullptr;
  }
}

enum class Served {
  kAnswered,    // reply written: reset engage, signal return
  kSilent,      // nothing to answer (torn or abandoned request)
  kRedispatch,  // the block holds a new request whose engage was consumed
};

void CopyOut(void *dst, const volatile uint8_t *src, uint32_t len) {
  memcpy(dst, const_cast<const uint8_t *>(src), len);
}
void CopyIn(volatile uint8_t *dst, const void *src, uint32_t len) {
  memcpy(const_cast<uint8_t *>(dst), src, len);
}

// Waits for the client's engage between two pieces. A stop requested
// meanwhile (its engage may be the one that woke us) ends the transfer.
bool WaitNextPiece(const Server &s) {
  return KstWaitForEventSem(s.engage, MtPieceWaitMs()) == KST_OK &&
         s.ctx->state.load(std::memory_order_acquire) != kSrvStopRequested;
}

// Hands the piece in the block to the client (reset engage, signal return)
// and waits for its engage announcing the next one.
bool HandOff(const Server &s) {
  if (s.next_piece) return s.next_piece(s.piece_arg);
  KstResetEventSem(s.engage);
  return KstSignalEventSem(s.ret) == KST_OK && WaitNextPiece(s);
}

// A layout A request as copied out of the block.
struct ReqA {
  uint32_t code, reqno, size, last_wr, attr, consumer, name_len;
  char name[kNameFieldSize];
};

bool Ours(const Server &s, uint32_t code, uint32_t reqno_off, uint32_t reqno) {
  return Load32(s.blk, 0) == code && Recheck32(s.blk, reqno_off, reqno);
}

// Writes result and reply number (layout A) when the block still carries
// the request; false when it does not (nothing written).
bool ReplyA(Server &s, const ReqA &r, uint32_t result) {
  if (!Ours(s, r.code, a::kRequestNo, r.reqno)) return false;
  Store32(s.blk, a::kResult, result);
  Store32(s.blk, a::kReplyNo, r.reqno);
  return true;
}

Served Answer(Server &s, const ReqA &r, uint32_t result) {
  return ReplyA(s, r, result) ? Served::kAnswered : Served::kSilent;
}

void StampLastWrite(Server &s) {
  Store32(s.ctx->status, status::kLastWrite, static_cast<uint32_t>(time(nullptr)));
}

enum class Xfer { kOk, kFailed, kChanged, kGone };

// Sends `total` bytes in pieces (server to client), the first piece already
// announced by result and reply number. After each piece but the last:
// signal return, wait for the client's engage, and check that the block
// still carries the request. The last piece is answered by the caller.
Xfer SendPieces(Server &s, const uint8_t *src, uint64_t total, uint32_t piece, uint32_t data_off,
                uint32_t code, uint32_t reqno_off, uint32_t reqno) {
  PieceCursor cur{total, 0, piece};
  const uint64_t pieces = total > piece ? PieceCount(total, piece) : 1;
  for (uint64_t i = 0; i < pieces; ++i) {
    if (!Ours(s, code, reqno_off, reqno)) return Xfer::kGone;
    uint64_t at;
    uint32_t len;
    cur.Next(&at, &len);
    CopyIn(s.blk + data_off, src + at, len);
    if (i + 1 == pieces) break;
    if (!HandOff(s)) return Xfer::kFailed;
    if (!Ours(s, code, reqno_off, reqno)) return Xfer::kChanged;
  }
  return Xfer::kOk;
}

// The end of a transfer that did not finish.
Served TransferEnd(Server &s, Xfer x, const ReqA &r, uint32_t fail_code) {
  switch (x) {
    case Xfer::kOk:
      return Served::kAnswered;
    case Xfer::kChanged:
      return Served::kRedispatch;
    case Xfer::kGone:
      return Served::kSilent;
    case Xfer::kFailed:
      break;
  }
  return Answer(s, r, fail_code);
}

// Copies the layout A header; false for a torn request.
bool ReadHeaderA(Server &s, uint32_t code, ReqA *r) {
  r->reqno = Load32(s.blk, a::kRequestNo, std::memory_order_acquire);
  if (r->reqno == 0) return false;
  r->code = code;
  r->name_len = CopyNameField(s.blk, a::kName, r->name);
  r->size = Load32(s.blk, a::kSize);
  r->last_wr = Load32(s.blk, a::kLastWr);
  r->attr = Load32(s.blk, a::kAttr);
  r->consumer = Load32(s.blk, a::kConsumer);
  return true;
}

bool Unchanged(const Server &s, const ReqA &r) { return Ours(s, r.code, a::kRequestNo, r.reqno); }

Served ServeRead(Server &s, ReqA &r) {
  if (r.name_len >= kNameFieldSize) return Answer(s, r, KRP_ERR_NAME_TOO_LONG);
  uint32_t size = a::kPiece, lw = 0, at = 0, co = 0;
  uint32_t rc = s.eng->read(s.store, r.name, s.scratch, &size, &lw, &at, &co);
  uint8_t *big = nullptr;
  const uint8_t *src = s.scratch;
  if (rc == KST_ERR_BUFFER_TOO_SMALL) {
    if (!TmpAlloc(s, size, &big)) return Answer(s, r, KST_HEAP_FULL);
    rc = s.eng->read(s.store, r.name, big, &size, &lw, &at, &co);
    src = big;
  }
  Served out = Served::kSilent;
  if (Unchanged(s, r)) {
    Store32(s.blk, a::kSize, rc == KST_OK ? size : 0);
    Store32(s.blk, a::kLastWr, lw);
    Store32(s.blk, a::kAttr, at);
    Store32(s.blk, a::kConsumer, co);
    ReplyA(s, r, rc);
    out = Served::kAnswered;
    if (rc == KST_OK && size > 0) {
      out = TransferEnd(
          s, SendPieces(s, src, size, a::kPiece, a::kData, r.code, a::kRequestNo, r.reqno), r,
          KRP_ERR_PIECE_TO_CLIENT);
    }
  }
  TmpFree(s, big);
  return out;
}

Served ServeWrite(Server &s, ReqA &r) {
  if (r.name_len >= kNameFieldSize) return Answer(s, r, KRP_ERR_NAME_TOO_LONG);
  const uint64_t size = r.size;
  if (size > kMaxTransfer) return Answer(s, r, KST_ERR_INVALID_PARAMETER);
  uint32_t rc;
  if (size <= a::kPiece) {
    CopyOut(s.scratch, s.blk + a::kData, static_cast<uint32_t>(size));
    if (!Unchanged(s, r)) return Served::kSilent;
    rc = s.eng->write(s.store, r.name, s.scratch, static_cast<uint32_t>(size), r.last_wr, r.attr,
                    r.consumer);
  } else {
    uint8_t *buf = nullptr;
    if (!TmpAlloc(s, size + 1, &buf)) return Answer(s, r, KST_HEAP_FULL);
    PieceCursor cur{size, 0, a::kPiece};
    const uint64_t pieces = PieceCount(size, a::kPiece);
    Xfer x = Xfer::kOk;
    for (uint64_t i = 0; i < pieces; ++i) {
      uint64_t at;
      uint32_t len;
      cur.Next(&at, &len);
      CopyOut(buf + at, s.blk + a::kData, len);
      if (!Unchanged(s, r)) {
        x = i == 0 ? Xfer::kGone : Xfer::kChanged;
        break;
      }
      if (i + 1 == pieces) break;
      if (!HandOff(s)) {
        x = Xfer::kFailed;
        break;
      }
    }
    if (x != Xfer::kOk) {
      TmpFree(s, buf);
      return TransferEnd(s, x, r, KRP_ERR_PIECE_TO_SERVER);
    }
    rc = s.eng->write(s.store, r.name, buf, static_cast<uint32_t>(size), r.last_wr, r.attr,
                    r.consumer);
    TmpFree(s, buf);
  }
  if (rc == KST_OK) StampLastWrite(s);
  return Answer(s, r, rc);
}

Served ServeDelete(Server &s, ReqA &r) {
  uint32_t rc;
  if (r.name_len >= kNameFieldSize) {
    rc = KRP_ERR_NAME_TOO_LONG;
  } else if (r.name_len == 0) {
    rc = KST_ERR_INVALID_PARAMETER;
  } else {
    if (!Unchanged(s, r)) return Served::kSilent;
    rc = s.eng->del(s.store, r.name);
    // Change waits poll the last-write time; a deletion is a change too.
    if (rc == KST_OK) StampLastWrite(s);
  }
  return Answer(s, r, rc);
}

Served ServeList(Server &s, ReqA &r) {
  if (r.name_len >= kNameFieldSize) return Answer(s, r, KRP_ERR_NAME_TOO_LONG);
  if (!Unchanged(s, r)) return Served::kSilent;
  void *list = nullptr;
  uint32_t size = 0;
  uint32_t rc = s.eng->list(s.store, r.name, &list, &size, 1);
  if (list) TmpAdopt(s, list);
  Served out = Served::kSilent;
  if (Unchanged(s, r)) {
    Store32(s.blk, a::kSize, rc == KST_OK ? size : 0);
    ReplyA(s, r, rc);
    out = Served::kAnswered;
    if (rc == KST_OK && size > 0) {
      out = TransferEnd(s,
                        SendPieces(s, static_cast<const uint8_t *>(list), size, a::kPiece, a::kData,
                                   r.code, a::kRequestNo, r.reqno),
                        r, KRP_ERR_PIECE_TO_CLIENT);
    }
  }
  TmpFree(s, list);
  return out;
}

Served ServeInfo(Server &s, ReqA &r) {
  if (r.name_len >= kNameFieldSize) return Answer(s, r, KRP_ERR_NAME_TOO_LONG);
  if (!Unchanged(s, r)) return Served::kSilent;
  TsObjectInfo info{};
  uint32_t rc = s.eng->info(s.store, r.name, &info);
  if (!Unchanged(s, r)) return Served::kSilent;
  const uint32_t w[10] = {info.data_size, info.offset,    info.digest[0], info.digest[1],
                          info.digest[2], info.digest[3], info.attr,      info.last_wr,
                          info.consumer,  info.reserved};
  for (uint32_t i = 0; i < 10; ++i) Store32(s.blk, a::kData + 4 * i, w[i]);
  return Answer(s, r, rc);
}

// Read multiple (layout B). The block is copied into private memory and
// checked there; the engine never sees the shared block.
constexpr uint32_t kBlkDataOff = kTsMultiOffDataOffset, kBlkTotal = kTsMultiOffTotal,
                   kBlkItems = kTsMultiHeaderSize;  // ts_multi.h

Served ServeReadMultiple(Server &s) {
  const uint32_t reqno = Load32(s.blk, b::kRequestNo, std::memory_order_acquire);
  if (reqno == 0) return Served::kSilent;
  auto reply = [&](uint32_t result, uint32_t size) {
    if (!Ours(s, kReqReadMultiple, b::kRequestNo, reqno)) return Served::kSilent;
    Store32(s.blk, b::kSize, size);
    Store32(s.blk, b::kResult, result);
    Store32(s.blk, b::kReplyNo, reqno);
    return Served::kAnswered;
  };
  // The list's own length is its data offset; the request must hold it.
  const uint32_t len = Load32(s.blk, b::kData + kBlkDataOff);
  const uint32_t sent = Load32(s.blk, b::kSize);
  if (len < kBlkItems || len > sent || static_cast<uint64_t>(len) + 2 > b::kPiece)
    return reply(KST_ERR_INVALID_PARAMETER, 0);
  // scratch holds kRequestBlockSize bytes: the list plus a data area that
  // ends one byte before the piece size, as the reply must fit one piece.
  uint8_t *req = nullptr;
  if (!TmpAlloc(s, len, &req)) return reply(KST_HEAP_FULL, 0);
  CopyOut(req, s.blk + b::kData, len);
  if (!Ours(s, kReqReadMultiple, b::kRequestNo, reqno) || Load32(req, kBlkDataOff) != len) {
    TmpFree(s, req);
    return Served::kSilent;
  }
  memcpy(s.scratch, req, len);
  uint8_t *buf = s.scratch;
  uint8_t *big = nullptr;
  uint32_t rc = s.eng->read_multiple(s.store, b::kPiece - 1, buf);
  if (rc == KST_ERR_BUFFER_TOO_SMALL) {
    const uint64_t need = static_cast<uint64_t>(len) + Load32(buf, kBlkTotal) + 1;
    if (!TmpAlloc(s, need, &big)) {
      TmpFree(s, req);
      return reply(KST_HEAP_FULL, 0);
    }
    memcpy(big, req, len);
    buf = big;
    rc = s.eng->read_multiple(s.store, static_cast<uint32_t>(need), buf);
  }
  TmpFree(s, req);
  Served out;
  if (rc != KST_OK) {
    out = reply(rc, 0);
  } else {
    const uint64_t payload = static_cast<uint64_t>(len) + Load32(buf, kBlkTotal);
    out = reply(KST_OK, static_cast<uint32_t>(payload));
    if (out == Served::kAnswered) {
      Xfer x =
          SendPieces(s, buf, payload, b::kPiece, b::kData, kReqReadMultiple, b::kRequestNo, reqno);
      if (x == Xfer::kChanged) {
        out = Served::kRedispatch;
      } else if (x == Xfer::kGone) {
        out = Served::kSilent;
      } else if (x == Xfer::kFailed) {
        out = reply(KRP_ERR_PIECE_TO_CLIENT, 0);
      }
    }
  }
  TmpFree(s, big);
  return out;
}

// True when `dir` (resolved) is `root` (resolved) or lies below it.
bool Below(const char *dir, const char *root) {
  char r[PATH_MAX];
  if (!root || !*root || !realpath(root, r)) return false;
  size_t n = strlen(r);
  while (n > 1 && r[n - 1] == '/') r[--n] = 0;
  return strncmp(dir, r, n) == 0 && (dir[n] == 0 || dir[n] == '/' || (n == 1 && r[0] == '/'));
}

// Any local process chooses the copy target, and the host writes it with its
// own rights: the target's folder must resolve to a place inside the product
// root or the folder the host was started on, and the target itself must not
// be a link or anything but a regular file (the engine checks the file again
// when it opens it without following links). 0 or 5.
uint32_t CopyTargetAllowed(const Server &s, const char *target) {
  const char *slash = strrchr(target, '/');
  if (!slash) return KST_ERR_ACCESS_DENIED;  // relative to the host's cwd: never
  char folder[PATH_MAX];
  const size_t flen = slash == target ? 1 : static_cast<size_t>(slash - target);
  if (flen >= sizeof folder) return KST_ERR_ACCESS_DENIED;
  memcpy(folder, target, flen);
  folder[flen] = 0;
  char dir[PATH_MAX];
  if (!realpath(folder, dir)) return KST_ERR_ACCESS_DENIED;
  char root[KST_MAX_PATH];
  const bool in_root =
      KstQueryKestarPath(KPATH_ROOT, root, KST_MAX_PATH) == KST_OK && Below(dir, root);
  if (!in_root && !Below(dir, s.ctx->root)) return KST_ERR_ACCESS_DENIED;
  struct stat st;
  if (lstat(target, &st) == 0 && !S_ISREG(st.st_mode)) return KST_ERR_ACCESS_DENIED;
  if (slash[1] == 0) return KST_ERR_ACCESS_DENIED;
  return KST_OK;
}

Served ServeCopy(Server &s, ReqA &r) {
  // The target sits at the start of the data area; it must end inside a
  // name-sized field.
  char target[kNameFieldSize];
  CopyOut(target, s.blk + a::kData, kNameFieldSize);
  if (!memchr(target, 0, kNameFieldSize)) return Answer(s, r, KRP_ERR_NAME_TOO_LONG);
  if (!target[0]) return Answer(s, r, KST_ERR_INVALID_PARAMETER);
  if (!Unchanged(s, r)) return Served::kSilent;
  uint32_t rc = CopyTargetAllowed(s, target);
  if (rc == KST_OK) rc = s.eng->copy(s.store, target);
  return Answer(s, r, rc);
}

// Layout C: both texts (still scrambled, as the engine hands them out) go
// back in one piece, the schema first; together they must stay below the
// text limit, else 4101.
Served ServeRuntimeInfo(Server &s) {
  const uint32_t reqno = Load32(s.blk, c::kRequestNo, std::memory_order_acquire);
  if (reqno == 0) return Served::kSilent;
  char sheet[kNameFieldSize];
  CopyOut(sheet, s.blk + c::kStylesheet, kNameFieldSize);
  uint32_t rc = KST_OK;
  char *schema = nullptr, *doc = nullptr;
  uint32_t n1 = 0, n2 = 0;
  if (!memchr(sheet, 0, kNameFieldSize)) {
    rc = KRP_ERR_NAME_TOO_LONG;
  } else {
    rc = s.eng->runtime_info(s.store, &schema, &n1, &doc, &n2, sheet[0] ? sheet : nullptr);
    if (rc == KST_OK && static_cast<uint64_t>(n1) + n2 >= c::kTextLimit)
      rc = KST_ERR_BUFFER_TOO_SMALL;
  }
  Served out = Served::kSilent;
  if (Ours(s, kReqRuntimeInfo, c::kRequestNo, reqno)) {
    if (rc == KST_OK) {
      CopyIn(s.blk + c::kData, schema, n1);
      CopyIn(s.blk + c::kData + n1, doc, n2);
      Store32(s.blk, c::kSize1, n1);
      Store32(s.blk, c::kSize2, n2);
    } else {
      Store32(s.blk, c::kSize1, 0);
      Store32(s.blk, c::kSize2, 0);
    }
    Store32(s.blk, c::kResult, rc);
    Store32(s.blk, c::kReplyNo, reqno);
    out = Served::kAnswered;
  }
  KstFreeMem(schema, 0);
  KstFreeMem(doc, 0);
  return out;
}

Served Dispatch(Server &s) {
  const uint32_t code = Load32(s.blk, 0);
  if (code == kReqReadMultiple) return ServeReadMultiple(s);
  if (code == kReqRuntimeInfo) return ServeRuntimeInfo(s);
  ReqA r;
  if (!ReadHeaderA(s, code, &r)) return Served::kSilent;
  switch (code) {
    case kReqRead:
      return ServeRead(s, r);
    case kReqWrite:
      return ServeWrite(s, r);
    case kReqDelete:
      return ServeDelete(s, r);
    case kReqListObjects:
      return ServeList(s, r);
    case kReqGetInfo:
      return ServeInfo(s, r);
    case kReqPack:
      if (!Unchanged(s, r)) return Served::kSilent;
      return Answer(s, r, s.eng->pack(s.store));
    case kReqCopy:
      return ServeCopy(s, r);
    default:
      // Unknown code: a malformed request, answered in layout A.
      return Answer(s, r, KST_ERR_INVALID_PARAMETER);
  }
}

// ---- the request guard ----------------------------------------------------
// Any local process may truncate the file behind the request block (or the
// status block); the next access of the server thread to the lost pages
// raises SIGBUS. While the thread serves a request, a SIGBUS handler turns
// a fault inside either block into a jump back to the guard, which frees
// the request's buffers and drops the request. The engine never sees the
// shared blocks (it works on private copies), so a request cut short leaves
// no engine state half changed. Faults elsewhere, and in other threads, go
// to the disposition that was installed before.
struct BusGuard {
  sigjmp_buf jb;
  std::atomic<long> tid{0};  // the guarded thread's id, 0 outside a request
  uintptr_t lo[2] = {}, hi[2] = {};
};
BusGuard g_guard;
struct sigaction g_old_bus;
std::once_flag g_bus_once;

void OnBus(int sig, siginfo_t *si, void *uc) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(si->si_addr);
  if (g_guard.tid.load(std::memory_order_relaxed) == syscall(SYS_gettid)) {
    for (int i = 0; i < 2; ++i)
      if (at >= g_guard.lo[i] && at < g_guard.hi[i]) siglongjmp(g_guard.jb, 1);
  }
  if (g_old_bus.sa_flags & SA_SIGINFO) {
    if (g_old_bus.sa_sigaction) {
      g_old_bus.sa_sigaction(sig, si, uc);
      return;
    }
  } else if (g_old_bus.sa_handler != SIG_DFL && g_old_bus.sa_handler != SIG_IGN) {
    g_old_bus.sa_handler(sig);
    return;
  }
  // Returning re-executes the access, which now ends the process.
  signal(SIGBUS, SIG_DFL);
}

void InstallBusGuard() {
  std::call_once(g_bus_once, [] {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = OnBus;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, &g_old_bus);
  });
}

Served Dispatch(Server &s);

// Serves one request under the guard.
Served GuardedDispatch(Server &s) {
  // The signal mask is not saved (that would cost a system call per
  // request): the handler runs with SA_NODEFER, so a jump out of it leaves
  // the mask as it was.
  if (sigsetjmp(g_guard.jb, 0) != 0) {
    g_guard.tid.store(0, std::memory_order_relaxed);
    TmpFreeAll(s);
    KstLogPrintf(
        "%s fpTsServerThread() line %d: request block lost under a request (truncated "
        "by another process?); request dropped",
        kSrc, __LINE__);
    return Served::kSilent;
  }
  uint32_t tid = 0;
  KstQueryThreadId(&tid);
  g_guard.tid.store(static_cast<long>(tid), std::memory_order_relaxed);
  Served out = Dispatch(s);
  g_guard.tid.store(0, std::memory_order_relaxed);
  return out;
}

void Progress(uint32_t percent, void *arg) {
  static_cast<std::atomic<uint32_t> *>(arg)->store(percent, std::memory_order_relaxed);
}

bool StopRequested(const KrpLibContext *ctx) {
  return ctx->state.load(std::memory_order_acquire) == kSrvStopRequested;
}

}  // namespace

const KrpEngineOps *KrpStoreEngine() { return &kStoreOps; }

uint32_t KrpServeOneRequest(KrpLibContext *ctx, volatile uint8_t *block, uint8_t *scratch,
                            const KrpDispatchHarness *h) {
  Server s{ctx};
  s.eng = h->engine ? h->engine : &kStoreOps;
  s.store = h->store;
  s.next_piece = h->next_piece;
  s.piece_arg = h->arg;
  s.blk = block;
  s.scratch = scratch;
  const Served out = Dispatch(s);
  TmpFreeAll(s);
  return static_cast<uint32_t>(out);
}

void fpTsServerThread(void *arg) {
  KrpLibContext *ctx = static_cast<KrpLibContext *>(arg);
  Server s{ctx};
  KST_HSEM req_mux = nullptr;
  KST_HSHMEM shm = nullptr;
  void *blk = nullptr;
  uint32_t rc;
  char folder[KST_MAX_PATH + 16];
  char file[KST_MAX_PATH];
  int attempts = 0;

  // 1. The claim (krp_host.h, invariant 1).
  rc = KstRequestMutexSem(ctx->thread_mux, 0);
  if (rc != KST_OK) {
    KstLogPrintf("%s fpTsServerThread() line %d: KRP service thread already started!", kSrc,
                 __LINE__);
    rc = KstCloseMutexSem(ctx->thread_mux);
    if (rc != KST_OK)
      KstLogPrintf("%s fpTsServerThread() line %d: KstCloseMutexSem(hThreadMux) : %x", kSrc,
                   __LINE__, rc);
    ctx->thread_mux = nullptr;
    ctx->claim.store(KRP_ERR_SERVER_RUNS, std::memory_order_release);
    ctx->state.store(kSrvEnded, std::memory_order_release);
    return;
  }
  ctx->claim.store(KST_OK, std::memory_order_release);
  // The start writes status 15 right after the claim (krp_host.h, 2).
  while (!ctx->status_ready.load(std::memory_order_acquire)) KstSleep(1);

  // 2. Events and the request block.
  rc = KstCreateEventSemGlobal(kEngageEventName, 0, 0, &s.engage);
  if (rc != KST_OK) {
    KstLogPrintf("%s fpTsServerThread() line %d: hEngage event creation failure: %08x", kSrc,
                 __LINE__, rc);
    goto release_thread_mux;
  }
  KstResetEventSem(s.engage);
  rc = KstCreateEventSemGlobal(kReturnEventName, 0, 0, &s.ret);
  if (rc != KST_OK) {
    KstLogPrintf("%s fpTsServerThread() line %d: hReturn event creation failure: %08x", kSrc,
                 __LINE__, rc);
    goto close_engage;
  }
  KstResetEventSem(s.ret);
  rc = KstCreateSharedMemGlobal(kRequestBlockName, &blk, kRequestBlockSize, &shm);
  if (rc == KST_OK) {
    uint32_t size = 0;
    rc = KstQuerySharedMemSize(shm, &size);
    if (rc == KST_OK && size < kRequestBlockSize) rc = KST_ERR_GENERAL;
    if (rc != KST_OK) {
      KstFreeSharedMem(blk, shm);
      shm = nullptr;
    }
  }
  if (rc == KST_OK &&
      KstAllocMem(kRequestBlockSize, 0, reinterpret_cast<void **>(&s.scratch), nullptr) != KST_OK) {
    KstFreeSharedMem(blk, shm);
    shm = nullptr;
    rc = KST_HEAP_FULL;
  }
  if (rc != KST_OK) {
    KstLogPrintf("fpTsServerThread() line %d: Shared mem creation failure: %08x", __LINE__, rc);
    goto close_return;
  }
  s.blk = static_cast<volatile uint8_t *>(blk);
  memset(blk, 0, kRequestBlockSize);
  InstallBusGuard();
  g_guard.lo[0] = reinterpret_cast<uintptr_t>(blk);
  g_guard.hi[0] = g_guard.lo[0] + kRequestBlockSize;
  g_guard.lo[1] = reinterpret_cast<uintptr_t>(ctx->status);
  g_guard.hi[1] = g_guard.lo[1] + kStatusBlockSize;

  // 3. The store.
  if (ctx->root && *ctx->root) {
    snprintf(folder, sizeof folder, "%s", ctx->root);
    snprintf(file, sizeof file, "%s", ctx->file_name ? ctx->file_name : "");
  } else {
    rc = KstQueryKestarPath(KPATH_ROOT, folder, KST_MAX_PATH);
    if (rc != KST_OK) {
      KstLogPrintf("%s fpTsServerThread() line %d: KstQueryKestarPath failed : %x", kSrc, __LINE__,
                   rc);
      goto free_block;
    }
    KstEnsureBackslash(folder);
    strncat(folder, "resources/", sizeof folder - strlen(folder) - 1);
    snprintf(file, sizeof file, "%s%s", "store", ".kts");
  }
  for (;;) {
    // The host salvages a torn tail (a writer killed inside its last append)
    // instead of refusing to start until someone repairs the file by hand.
    rc = StoreInit(&s.store, folder, file, Progress, &ctx->progress,
                   ctx->open_flags | kTsOpenShutdownReport | kTsOpenSalvageTail);
    if (rc != KST_ERR_SHARING_VIOLATION || ++attempts >= 101 || StopRequested(ctx)) break;
    KstSleep(200);
  }
  if (rc != KST_OK) {
    s.store = nullptr;
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
                   __LINE__, rc, folder, file);
    goto free_block;
  }
  rc = KstCreateMutexSemGlobal(kRequestMutexName, &req_mux);
  if (rc != KST_OK) {
    KstLogPrintf("%s fpTsServerThread() line %d: Could not create mux %s. 0x%08x", kSrc, __LINE__,
                 kRequestMutexName, rc);
    req_mux = nullptr;
    goto close_store;
  }

  // 4. Ready, unless the start gave up meanwhile.
  {
    uint32_t expected = kSrvStarting;
    if (ctx->state.compare_exchange_strong(expected, kSrvServing, std::memory_order_acq_rel)) {
      bool pending = false;
      while (ctx->state.load(std::memory_order_acquire) == kSrvServing) {
        if (!pending) {
          uint32_t w = KstWaitForEventSem(s.engage, KST_INFINITE);
          if (StopRequested(ctx)) break;
          if (w != KST_OK) {
            KstLogPrintf("%s fpTsServerThread() line %d: KstWaitForEventSem(hEngage) : %08x", kSrc,
                         __LINE__, w);
            KstSleep(10);
            continue;
          }
        }
        pending = false;
        switch (GuardedDispatch(s)) {
          case Served::kAnswered:
            KstResetEventSem(s.engage);
            KstSignalEventSem(s.ret);
            break;
          case Served::kRedispatch:
            pending = true;
            break;
          case Served::kSilent:
            break;
        }
      }
    }
  }

close_store:
  if (s.store) {
    uint32_t x = StoreExit(s.store);
    if (x != KST_OK)
      KstLogPrintf("%s fpTsServerThread() line %d: Store closed. StoreExit() returned 0x%08x", kSrc,
                   __LINE__, x);
  }
  if (req_mux) {
    uint32_t x = KstCloseMutexSem(req_mux);
    if (x != KST_OK)
      KstLogPrintf("%s fpTsServerThread() line %d: TS server uninit. KstCloseMutexSem(%s): %x",
                   kSrc, __LINE__, kRequestMutexName, x);
  }
free_block:
{
  uint32_t x = KstFreeSharedMem(blk, shm);
  if (x != KST_OK)
    KstLogPrintf("%s fpTsServerThread() line %d: TS server uninit. KstFreeSharedMem() : %x", kSrc,
                 __LINE__, x);
  KstFreeMem(s.scratch, 0);
}
close_return:
{
  uint32_t x = KstCloseEventSem(s.ret);
  if (x != KST_OK)
    KstLogPrintf("%s fpTsServerThread() line %d: TS server uninit. KstCloseEventSem(hReturn) : %x",
                 kSrc, __LINE__, x);
}
close_engage:
{
  uint32_t x = KstCloseEventSem(s.engage);
  if (x != KST_OK)
    KstLogPrintf("%s fpTsServerThread() line %d: TS server uninit. KstCloseEventSem(hEngage) : %x",
                 kSrc, __LINE__, x);
}
release_thread_mux:
{
  // No server any more: clients fall back to direct mode.
  Store32(ctx->status, status::kMtStatus, kMtOwnProcess);
  Store32(ctx->status, status::kServerPid, kNoServer);
  uint32_t x = KstReleaseMutexSem(ctx->thread_mux);
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
  if (rc != KST_OK) ctx->start_result.store(rc, std::memory_order_release);
  ctx->state.store(kSrvEnded, std::memory_order_release);
}
