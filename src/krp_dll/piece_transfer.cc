// Payloads larger than one piece, between the server and the client that
// owns the request mutex (server_internal.h).
//
// A payload of n bytes travels in floor(n / piece) + 1 exchanges whenever it
// is larger than one piece (PieceCursor, protocol.h). Between two pieces the
// side that filled the data area hands it over (server: reset engage, signal
// return) and waits for the other side's engage. After every wait the block
// must still carry the request (code and request number): a client killed
// between two pieces, or one that gave up, leaves the block to the next
// client, whose new request ends the transfer (Transfer::kChanged).
#include "server_internal.h"

namespace krp::host {

namespace {

// Waits for the client's engage between two pieces. A stop requested
// meanwhile (its engage may be the one that woke us) ends the transfer.
bool WaitNextPiece(const Server &s) {
  return KstWaitForEventSem(s.engage, MtPieceWaitMs()) == KST_OK &&
         s.ctx->state.load(std::memory_order_acquire) != kSrvStopRequested;
}

}  // namespace

bool HandOff(const Server &s) {
  if (s.next_piece) return s.next_piece(s.piece_arg);
  KstResetEventSem(s.engage);
  return KstSignalEventSem(s.ret) == KST_OK && WaitNextPiece(s);
}

Transfer SendPieces(Server &s, const uint8_t *src, uint64_t total, uint32_t piece,
                    uint32_t data_off, uint32_t code, uint32_t reqno_off, uint32_t reqno) {
  PieceCursor cur{total, 0, piece};
  const uint64_t pieces = total > piece ? PieceCount(total, piece) : 1;
  // Every piece lands at the start of the data area: the first one reaches
  // farthest.
  RaiseHighWater(s, data_off + (total < piece ? total : piece));
  for (uint64_t i = 0; i < pieces; ++i) {
    if (!StillCarries(s, code, reqno_off, reqno)) return Transfer::kGone;
    uint64_t at;
    uint32_t len;
    cur.Next(&at, &len);
    CopyIn(s.blk + data_off, src + at, len);
    if (i + 1 == pieces) break;
    if (!HandOff(s)) return Transfer::kFailed;
    if (!StillCarries(s, code, reqno_off, reqno)) return Transfer::kChanged;
  }
  return Transfer::kOk;
}

Transfer ReceivePieces(Server &s, const RequestHeader &r, uint8_t *dst) {
  const uint64_t size = r.size;
  PieceCursor cur{size, 0, layout_single::kPiece};
  const uint64_t pieces = PieceCount(size, layout_single::kPiece);
  for (uint64_t i = 0; i < pieces; ++i) {
    uint64_t at;
    uint32_t len;
    cur.Next(&at, &len);
    CopyOut(dst + at, s.blk + layout_single::kData, len);
    if (!StillCarries(s, r.code, layout_single::kRequestNo, r.reqno))
      return i == 0 ? Transfer::kGone : Transfer::kChanged;
    if (i + 1 == pieces) break;
    if (!HandOff(s)) return Transfer::kFailed;
  }
  return Transfer::kOk;
}

}  // namespace krp::host
