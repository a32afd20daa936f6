// What the server thread's files share: the server's state, the outcome of
// serving one request, and the piece transfer (krp_host.h has the design
// note; protocol.h draws the blocks).
//
// Files: server_lifecycle.cc (fpTsServerThread: claim, objects, store,
// serving loop, shutdown), server_thread.cc (the dispatch of one request),
// piece_transfer.cc (payloads larger than one piece), fault_guard.cc (the
// SIGBUS guard around every access to shared memory).
#ifndef KRP_DLL_SERVER_INTERNAL_H
#define KRP_DLL_SERVER_INTERNAL_H

#include <cstdint>
#include <cstring>

#include "krp_host.h"
#include "protocol.h"

namespace krp::host {

using namespace krp::proto;

// The server thread's state. Also built for one request served outside the
// thread (KrpServeOneRequest).
struct Server {
  KrpLibContext *ctx;
  const KrpEngineOps *eng = KrpStoreEngine();
  // Set only when a request is served outside the thread (KrpServeOneRequest).
  bool (*next_piece)(void *arg) = nullptr;
  void *piece_arg = nullptr;
  TsStore *store = nullptr;
  volatile uint8_t *blk = nullptr;
  uint8_t *scratch = nullptr;  // private copy of one data area
  KST_HSEM engage = nullptr;
  KST_HSEM ret = nullptr;
  // Buffers of the request being served, freed after a fault in the shared
  // block cut the request short (fault_guard.h, invariant 1).
  void *tmp[4] = {};
};

enum class Served {
  kAnswered,    // reply written: reset engage, signal return
  kSilent,      // nothing to answer (torn or abandoned request)
  kRedispatch,  // the block holds a new request whose engage was consumed
};

// How a transfer in pieces ended.
enum class Transfer {
  kOk,       // every piece went
  kFailed,   // a hand-off or the wait for the next piece failed
  kChanged,  // a new request replaced ours between two pieces
  kGone,     // the block no longer carried our request before a piece
};

// A layout A request as copied out of the block.
struct RequestHeader {
  uint32_t code, reqno, size, last_wr, attr, consumer, name_len;
  char name[kNameFieldSize];
};

inline void CopyOut(void *dst, const volatile uint8_t *src, uint32_t len) {
  memcpy(dst, const_cast<const uint8_t *>(src), len);
}
inline void CopyIn(volatile uint8_t *dst, const void *src, uint32_t len) {
  memcpy(const_cast<uint8_t *>(dst), src, len);
}

// True when the block still carries request `reqno` with code `code` (the
// request number at `reqno_off`).
inline bool StillCarries(const Server &s, uint32_t code, uint32_t reqno_off, uint32_t reqno) {
  return Load32(s.blk, 0) == code && Recheck32(s.blk, reqno_off, reqno);
}

// Raises the status block's high-water mark of the request block to `end`
// before the server writes reply bytes up to there (protocol.h).
inline void RaiseHighWater(const Server &s, uint64_t end) {
  RaiseRequestHighWater(s.ctx->status, end);
}

// ---- piece transfer (piece_transfer.cc) -------------------------------------
// Hands the piece in the block to the client (reset engage, signal return)
// and waits for its engage announcing the next one.
bool HandOff(const Server &s);
// Sends `total` bytes in pieces (server to client), the first piece already
// announced by result and reply number. After each piece but the last:
// hand off and check that the block still carries the request. The last
// piece is answered by the caller.
Transfer SendPieces(Server &s, const uint8_t *src, uint64_t total, uint32_t piece,
                    uint32_t data_off, uint32_t code, uint32_t reqno_off, uint32_t reqno);
// Receives the `r.size` bytes of a large write into `dst` (client to
// server), a piece from the data area at a time, checking after each that
// the block still carries the request.
Transfer ReceivePieces(Server &s, const RequestHeader &r, uint8_t *dst);

// ---- dispatch (server_thread.cc) ---------------------------------------------
// Serves the request in the block.
Served Dispatch(Server &s);
// Frees the buffers of the request being served.
void FreeRequestBuffers(Server &s);

}  // namespace krp::host

#endif  // KRP_DLL_SERVER_INTERNAL_H
