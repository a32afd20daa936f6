// The dispatch of one request: the server thread's reading of the request
// block, the engine call and the reply (krp_host.h has the design note,
// server_internal.h the files of the server, protocol.h the block).
//
// Reading a request: the request number is the block's sequence word (the
// client clears it first and writes it last). The server reads it, copies
// what it needs, and reads it again; a zero or changed number means the
// block was being rewritten, and the request is left to its own engage.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>

#include "change_feed.h"
#include "server_internal.h"
#include "store_maint.h"

namespace krp::host {

namespace {

uint32_t PackOp(TsStore *s) { return StorePackStoreFile(s); }

const KrpEngineOps kStoreOps = {StoreRead,         StoreWrite,         StoreDelete,
                                StoreListObjects,  StoreGetObjectInfo, StoreReadMultiple,
                                PackOp,            StoreCopyStoreFile, StoreGetRuntimeInfo};

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

// Writes result and reply number (layout A) when the block still carries
// the request; false when it does not (nothing written).
bool Reply(Server &s, const RequestHeader &r, uint32_t result) {
  if (!StillCarries(s, r.code, layout_single::kRequestNo, r.reqno)) return false;
  Store32(s.blk, layout_single::kResult, result);
  Store32(s.blk, layout_single::kReplyNo, r.reqno);
  return true;
}

Served Answer(Server &s, const RequestHeader &r, uint32_t result) {
  return Reply(s, r, result) ? Served::kAnswered : Served::kSilent;
}

void StampLastWrite(Server &s) {
  Store32(s.ctx->status, status::kLastWrite, static_cast<uint32_t>(time(nullptr)));
}

// Every request that reached the engine's write, delete or pack is
// published in the change feed before the reply, whatever its result: a
// failed write may still have changed the file, and a needless entry only
// costs a reader one re-read. Null name: anything. `overwrite`: the name
// existed before the write, so no container changed.
void PublishChange(Server &s, const char *name, bool overwrite = false) {
  if (name) krp::feed::PublishName(s.ctx->status, s.ctx->wake, name, overwrite);
  else krp::feed::PublishAnything(s.ctx->status, s.ctx->wake);
}

bool ObjectExists(Server &s, const char *name) {
  TsObjectInfo info{};
  return s.eng->info(s.store, name, &info) == KST_OK;
}

// The end of a transfer that did not finish.
Served TransferEnd(Server &s, Transfer x, const RequestHeader &r, uint32_t fail_code) {
  switch (x) {
    case Transfer::kOk:
      return Served::kAnswered;
    case Transfer::kChanged:
      return Served::kRedispatch;
    case Transfer::kGone:
      return Served::kSilent;
    case Transfer::kFailed:
      break;
  }
  return Answer(s, r, fail_code);
}

// Copies the layout A header; false for a torn request.
bool ReadRequestHeader(Server &s, uint32_t code, RequestHeader *r) {
  r->reqno = Load32(s.blk, layout_single::kRequestNo, std::memory_order_acquire);
  if (r->reqno == 0) return false;
  r->code = code;
  r->name_len = CopyNameField(s.blk, layout_single::kName, r->name);
  r->size = Load32(s.blk, layout_single::kSize);
  r->last_wr = Load32(s.blk, layout_single::kLastWr);
  r->attr = Load32(s.blk, layout_single::kAttr);
  r->consumer = Load32(s.blk, layout_single::kConsumer);
  return true;
}

bool Unchanged(const Server &s, const RequestHeader &r) {
  return StillCarries(s, r.code, layout_single::kRequestNo, r.reqno);
}

Served ServeRead(Server &s, RequestHeader &r) {
  if (r.name_len >= kNameFieldSize) return Answer(s, r, KRP_ERR_NAME_TOO_LONG);
  uint32_t size = layout_single::kPiece, lw = 0, at = 0, co = 0;
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
    Store32(s.blk, layout_single::kSize, rc == KST_OK ? size : 0);
    Store32(s.blk, layout_single::kLastWr, lw);
    Store32(s.blk, layout_single::kAttr, at);
    Store32(s.blk, layout_single::kConsumer, co);
    Reply(s, r, rc);
    out = Served::kAnswered;
    if (rc == KST_OK && size > 0) {
      out = TransferEnd(s,
                        SendPieces(s, src, size, layout_single::kPiece, layout_single::kData,
                                   r.code, layout_single::kRequestNo, r.reqno),
                        r, KRP_ERR_PIECE_TO_CLIENT);
    }
  }
  TmpFree(s, big);
  return out;
}

Served ServeWrite(Server &s, RequestHeader &r) {
  if (r.name_len >= kNameFieldSize) return Answer(s, r, KRP_ERR_NAME_TOO_LONG);
  const uint64_t size = r.size;
  if (size > kMaxTransfer) return Answer(s, r, KST_ERR_INVALID_PARAMETER);
  uint32_t rc;
  const bool overwrite = ObjectExists(s, r.name);
  if (size <= layout_single::kPiece) {
    CopyOut(s.scratch, s.blk + layout_single::kData, static_cast<uint32_t>(size));
    if (!Unchanged(s, r)) return Served::kSilent;
    rc = s.eng->write(s.store, r.name, s.scratch, static_cast<uint32_t>(size), r.last_wr, r.attr,
                    r.consumer);
  } else {
    uint8_t *buf = nullptr;
    if (!TmpAlloc(s, size + 1, &buf)) return Answer(s, r, KST_HEAP_FULL);
    const Transfer x = ReceivePieces(s, r, buf);
    if (x != Transfer::kOk) {
      TmpFree(s, buf);
      return TransferEnd(s, x, r, KRP_ERR_PIECE_TO_SERVER);
    }
    rc = s.eng->write(s.store, r.name, buf, static_cast<uint32_t>(size), r.last_wr, r.attr,
                    r.consumer);
    TmpFree(s, buf);
  }
  PublishChange(s, r.name, overwrite);
  if (rc == KST_OK) StampLastWrite(s);
  return Answer(s, r, rc);
}

Served ServeDelete(Server &s, RequestHeader &r) {
  uint32_t rc;
  if (r.name_len >= kNameFieldSize) {
    rc = KRP_ERR_NAME_TOO_LONG;
  } else if (r.name_len == 0) {
    rc = KST_ERR_INVALID_PARAMETER;
  } else {
    if (!Unchanged(s, r)) return Served::kSilent;
    rc = s.eng->del(s.store, r.name);
    PublishChange(s, r.name);
    // Change waits poll the last-write time; a deletion is a change too.
    if (rc == KST_OK) StampLastWrite(s);
  }
  return Answer(s, r, rc);
}

Served ServeList(Server &s, RequestHeader &r) {
  if (r.name_len >= kNameFieldSize) return Answer(s, r, KRP_ERR_NAME_TOO_LONG);
  if (!Unchanged(s, r)) return Served::kSilent;
  void *list = nullptr;
  uint32_t size = 0;
  uint32_t rc = s.eng->list(s.store, r.name, &list, &size, 1);
  if (list) TmpAdopt(s, list);
  Served out = Served::kSilent;
  if (Unchanged(s, r)) {
    Store32(s.blk, layout_single::kSize, rc == KST_OK ? size : 0);
    Reply(s, r, rc);
    out = Served::kAnswered;
    if (rc == KST_OK && size > 0) {
      out =
          TransferEnd(s,
                      SendPieces(s, static_cast<const uint8_t *>(list), size, layout_single::kPiece,
                                 layout_single::kData, r.code, layout_single::kRequestNo, r.reqno),
                      r, KRP_ERR_PIECE_TO_CLIENT);
    }
  }
  TmpFree(s, list);
  return out;
}

Served ServeInfo(Server &s, RequestHeader &r) {
  if (r.name_len >= kNameFieldSize) return Answer(s, r, KRP_ERR_NAME_TOO_LONG);
  if (!Unchanged(s, r)) return Served::kSilent;
  TsObjectInfo info{};
  uint32_t rc = s.eng->info(s.store, r.name, &info);
  if (!Unchanged(s, r)) return Served::kSilent;
  RaiseHighWater(s, layout_single::kData + sizeof(TsObjectInfo));
  const uint32_t w[10] = {info.data_size, info.offset,    info.digest[0], info.digest[1],
                          info.digest[2], info.digest[3], info.attr,      info.last_wr,
                          info.consumer,  info.reserved};
  for (uint32_t i = 0; i < 10; ++i) Store32(s.blk, layout_single::kData + 4 * i, w[i]);
  return Answer(s, r, rc);
}

// Read multiple (layout B). The block is copied into private memory and
// checked there; the engine never sees the shared block.
constexpr uint32_t kBlkDataOff = kTsMultiOffDataOffset, kBlkTotal = kTsMultiOffTotal,
                   kBlkItems = kTsMultiHeaderSize;  // ts_multi.h

Served ServeReadMultiple(Server &s) {
  const uint32_t reqno = Load32(s.blk, layout_multi::kRequestNo, std::memory_order_acquire);
  if (reqno == 0) return Served::kSilent;
  auto reply = [&](uint32_t result, uint32_t size) {
    if (!StillCarries(s, kReqReadMultiple, layout_multi::kRequestNo, reqno)) return Served::kSilent;
    Store32(s.blk, layout_multi::kSize, size);
    Store32(s.blk, layout_multi::kResult, result);
    Store32(s.blk, layout_multi::kReplyNo, reqno);
    return Served::kAnswered;
  };
  // The list's own length is its data offset; the request must hold it.
  const uint32_t len = Load32(s.blk, layout_multi::kData + kBlkDataOff);
  const uint32_t sent = Load32(s.blk, layout_multi::kSize);
  if (len < kBlkItems || len > sent || static_cast<uint64_t>(len) + 2 > layout_multi::kPiece)
    return reply(KST_ERR_INVALID_PARAMETER, 0);
  // scratch holds kRequestBlockSize bytes: the list plus a data area that
  // ends one byte before the piece size, as the reply must fit one piece.
  uint8_t *req = nullptr;
  if (!TmpAlloc(s, len, &req)) return reply(KST_HEAP_FULL, 0);
  CopyOut(req, s.blk + layout_multi::kData, len);
  if (!StillCarries(s, kReqReadMultiple, layout_multi::kRequestNo, reqno) ||
      Load32(req, kBlkDataOff) != len) {
    TmpFree(s, req);
    return Served::kSilent;
  }
  memcpy(s.scratch, req, len);
  uint8_t *buf = s.scratch;
  uint8_t *big = nullptr;
  uint32_t rc = s.eng->read_multiple(s.store, layout_multi::kPiece - 1, buf);
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
      Transfer x = SendPieces(s, buf, payload, layout_multi::kPiece, layout_multi::kData,
                          kReqReadMultiple, layout_multi::kRequestNo, reqno);
      if (x == Transfer::kChanged) {
        out = Served::kRedispatch;
      } else if (x == Transfer::kGone) {
        out = Served::kSilent;
      } else if (x == Transfer::kFailed) {
        out = reply(KRP_ERR_PIECE_TO_CLIENT, 0);
      }
    }
  }
  TmpFree(s, big);
  return out;
}

// True when `dir` (resolved) is `root` (resolved) or lies below it.
bool IsInsideFolder(const char *dir, const char *root) {
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
      KstQueryKestarPath(KPATH_ROOT, root, KST_MAX_PATH) == KST_OK && IsInsideFolder(dir, root);
  if (!in_root && !IsInsideFolder(dir, s.ctx->root)) return KST_ERR_ACCESS_DENIED;
  struct stat st;
  if (lstat(target, &st) == 0 && !S_ISREG(st.st_mode)) return KST_ERR_ACCESS_DENIED;
  if (slash[1] == 0) return KST_ERR_ACCESS_DENIED;
  return KST_OK;
}

Served ServeCopy(Server &s, RequestHeader &r) {
  // The target sits at the start of the data area; it must end inside a
  // name-sized field.
  char target[kNameFieldSize];
  CopyOut(target, s.blk + layout_single::kData, kNameFieldSize);
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
  const uint32_t reqno = Load32(s.blk, layout_report::kRequestNo, std::memory_order_acquire);
  if (reqno == 0) return Served::kSilent;
  char sheet[kNameFieldSize];
  CopyOut(sheet, s.blk + layout_report::kStylesheet, kNameFieldSize);
  uint32_t rc = KST_OK;
  char *schema = nullptr, *doc = nullptr;
  uint32_t n1 = 0, n2 = 0;
  if (!memchr(sheet, 0, kNameFieldSize)) {
    rc = KRP_ERR_NAME_TOO_LONG;
  } else {
    rc = s.eng->runtime_info(s.store, &schema, &n1, &doc, &n2, sheet[0] ? sheet : nullptr);
    // Recorded as the request's buffers: a fault in the block below jumps
    // past the frees at the end, and the guard frees them instead.
    if (schema) TmpAdopt(s, schema);
    if (doc) TmpAdopt(s, doc);
    if (rc == KST_OK && static_cast<uint64_t>(n1) + n2 >= layout_report::kTextLimit)
      rc = KST_ERR_BUFFER_TOO_SMALL;
  }
  Served out = Served::kSilent;
  if (StillCarries(s, kReqRuntimeInfo, layout_report::kRequestNo, reqno)) {
    if (rc == KST_OK) {
      RaiseHighWater(s, static_cast<uint64_t>(layout_report::kData) + n1 + n2);
      CopyIn(s.blk + layout_report::kData, schema, n1);
      CopyIn(s.blk + layout_report::kData + n1, doc, n2);
      Store32(s.blk, layout_report::kSize1, n1);
      Store32(s.blk, layout_report::kSize2, n2);
    } else {
      Store32(s.blk, layout_report::kSize1, 0);
      Store32(s.blk, layout_report::kSize2, 0);
    }
    Store32(s.blk, layout_report::kResult, rc);
    Store32(s.blk, layout_report::kReplyNo, reqno);
    out = Served::kAnswered;
  }
  TmpFree(s, schema);
  TmpFree(s, doc);
  return out;
}

}  // namespace

void FreeRequestBuffers(Server &s) {
  for (void *&slot : s.tmp) {
    KstFreeMem(slot, 0);
    slot = nullptr;
  }
}

Served Dispatch(Server &s) {
  const uint32_t code = Load32(s.blk, 0);
  if (code == kReqReadMultiple) return ServeReadMultiple(s);
  if (code == kReqRuntimeInfo) return ServeRuntimeInfo(s);
  RequestHeader r;
  if (!ReadRequestHeader(s, code, &r)) return Served::kSilent;
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
    {
      if (!Unchanged(s, r)) return Served::kSilent;
      const uint32_t rc = s.eng->pack(s.store);
      PublishChange(s, nullptr);
      return Answer(s, r, rc);
    }
    case kReqCopy:
      return ServeCopy(s, r);
    default:
      // Unknown code: a malformed request, answered in layout A.
      return Answer(s, r, KST_ERR_INVALID_PARAMETER);
  }
}

}  // namespace krp::host

const KrpEngineOps *KrpStoreEngine() { return &krp::host::kStoreOps; }

uint32_t KrpServeOneRequest(KrpLibContext *ctx, volatile uint8_t *block, uint8_t *scratch,
                            const KrpDispatchHarness *h) {
  using namespace krp::host;
  Server s{ctx};
  s.eng = h->engine ? h->engine : KrpStoreEngine();
  s.store = h->store;
  s.next_piece = h->next_piece;
  s.piece_arg = h->arg;
  s.blk = block;
  s.scratch = scratch;
  const Served out = Dispatch(s);
  FreeRequestBuffers(s);
  return static_cast<uint32_t>(out);
}
