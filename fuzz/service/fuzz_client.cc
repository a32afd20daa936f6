// The client calls fed arbitrary replies: whatever a server (or any local
// process) leaves in the request block (result, reply number, sizes, the
// filled read-multiple block, list and value bytes, text sizes) and however
// it answers the pieces of a transfer, each call must end with a result,
// hand out buffers exactly as large as the sizes it reports, free what it
// does not hand out, and read and write nothing outside the block and the
// caller's buffers.
//
// The target plays the server through the client's harness (mtclient.h):
// the block and the status block are private, and every exchange (the
// first one and every piece) lets the input rewrite the block. Every buffer
// a call hands out is read whole and freed, so a size larger than its
// buffer shows up under AddressSanitizer and a forgotten buffer as a leak.
//
// Input:
//   byte 0   the call (nine)
//   byte 1   options: 1 trace words follow (16 bytes: flags, process,
//            name and thread filter), 2 a request counter follows (4
//            bytes), 4 no data pointer (Read, List), 8 no consumer pointer
//   then the call's arguments (see Call* below), then the exchanges: each
//   one runs up to eight steps of one op byte each (op % 6):
//     0 end the exchange with 0 (a reply or piece as the block stands)
//     1 end it with a failed wait (121, 1 or 6)
//     2 a reply header for the call's layout: a result, sizes and the
//       request's number as reply number
//     3 raw bytes: u16 offset (scaled over the block), u8 n, n bytes
//     4 the request's number as reply number
//     5 results, sizes and data offsets for the read-multiple items found
//       in the block's data area
//   An exhausted input is a failed wait (121).
//
// The trace words let the input switch the request trace on, whose reply
// lines read the same untrusted words and bytes (its lines go to
// /dev/null).
//
// Checks beyond the sanitizers: a call that returns 0 had a reply that
// carried its request number and a result other than 0xFEFEFEFE; a
// receiving call that returns 0 saw its request number on every piece; a
// call that fails hands out no buffer.
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "mtclient.h"
#include "platform.h"
#include "fuzz_input.h"
#include "protocol.h"

namespace {

using namespace krp::proto;

using Input = FuzzInput;

enum Layout { kLayoutA, kLayoutB, kLayoutC };

struct Server {
  Input in;
  Layout layout = kLayoutA;
  bool receives = false;     // the call takes a payload in pieces
  bool accepted = false;     // an exchange ended with an acceptable reply
  bool bad_piece = false;    // a later exchange ended without this request's number
  uint32_t rm_len = 0;       // read multiple: the caller's block length
};

Server g_srv;
uint8_t *g_block;
uint8_t g_status[kStatusBlockSize];


uint32_t ReqNo() { return Load32(g_status, status::kRequestCounter); }

uint32_t ResultOff() {
  return g_srv.layout == kLayoutA   ? layout_single::kResult
         : g_srv.layout == kLayoutB ? layout_multi::kResult
                                    : layout_report::kResult;
}
uint32_t ReplyOff() {
  return g_srv.layout == kLayoutA   ? layout_single::kReplyNo
         : g_srv.layout == kLayoutB ? layout_multi::kReplyNo
                                    : layout_report::kReplyNo;
}

uint32_t PickResult(Input &in) {
  static const uint32_t kResults[] = {0, 0, 0, 4101, 0x370001, 87, kNotProcessed, 8192};
  const uint8_t s = in.U8();
  return s < 0xF0 ? kResults[s % 8] : in.U32();
}

// A size near what matters: small, around a piece boundary, within a few
// pieces, or any word (above the cap included).
uint32_t PickSize(Input &in, uint32_t piece) {
  const uint8_t s = in.U8();
  const uint32_t raw = in.U32();
  switch (s % 4) {
    case 0: return raw % 1024;
    case 1: return (raw % 4) * piece + static_cast<int8_t>(raw >> 8);
    case 2: return raw % (4 * piece);
    default: return raw;
  }
}

void ReplyHeader(Input &in) {
  uint8_t *b = g_block;
  const uint32_t result = PickResult(in);
  switch (g_srv.layout) {
    case kLayoutA:
      Store32(b, layout_single::kSize, PickSize(in, layout_single::kPiece));
      Store32(b, layout_single::kLastWr, in.U32());
      Store32(b, layout_single::kAttr, in.U32());
      Store32(b, layout_single::kConsumer, in.U32());
      break;
    case kLayoutB: {
      // Mostly a consistent reply: the block's length as sent, the total
      // of the data behind it, the payload as their sum.
      const uint8_t how = in.U8();
      const uint32_t total = PickSize(in, layout_multi::kPiece);
      const uint32_t len = (how & 1) ? in.U32() : g_srv.rm_len;
      Store32(b, layout_multi::kData + kTsMultiOffDataOffset, len);
      Store32(b, layout_multi::kData + kTsMultiOffTotal, total);
      Store32(b, layout_multi::kSize, (how & 2) ? in.U32() : len + total);
      break;
    }
    case kLayoutC: {
      const uint8_t how = in.U8();
      const uint32_t n1 = in.U32(), n2 = in.U32();
      Store32(b, layout_report::kSize1, (how & 1) ? n1 : n1 % layout_report::kTextLimit);
      Store32(b, layout_report::kSize2, (how & 2) ? n2 : n2 % (layout_report::kTextLimit + 16));
      break;
    }
  }
  Store32(b, ResultOff(), result);
  Store32(b, ReplyOff(), ReqNo());
}

void Raw(Input &in) {
  const uint16_t at = in.U16();
  uint8_t n = in.U8();
  // Offsets below 1024 land in the headers and the first items byte by
  // byte; above, they spread over the whole block.
  const uint32_t off = at < 1024 ? at : static_cast<uint32_t>(at) * 5;
  if (n > in.left) n = static_cast<uint8_t>(in.left);
  if (off + n > kRequestBlockSize) n = static_cast<uint8_t>(kRequestBlockSize - off);
  in.Take(g_block + off, n);
}

// Fills the result, size and data offset of the items the caller sent (its
// block stands at the data area of layout B), as the engine would, but
// without looking at the item marks (a server that writes where it should not).
void FillItems(Input &in) {
  uint8_t *blk = g_block + layout_multi::kData;
  const uint32_t len = g_srv.rm_len;
  const uint32_t count = Load32(blk, kTsMultiOffCount);
  uint64_t off = kTsMultiHeaderSize;
  for (uint32_t i = 0; i < count && i < 64; ++i) {
    if (off + kTsItemMinLength > len) return;
    const uint32_t o = static_cast<uint32_t>(off);
    const uint32_t ilen = Load32(blk, o + kTsItemOffLength);
    if (ilen < kTsItemMinLength || off + ilen > len) return;
    const uint8_t how = in.U8();
    Store32(blk, o + kTsItemOffResult, (how & 1) ? KRP_ERR_NOT_FOUND : 0);
    Store32(blk, o + kTsItemOffSize, (how & 2) ? in.U32() : in.U16());
    Store32(blk, o + kTsItemOffDataOffset, (how & 4) ? in.U32() : in.U16());
    off += ilen;
  }
}

uint32_t Exchange(void *) {
  Input &in = g_srv.in;
  uint32_t rc = KST_OK;
  for (int step = 0; step < 8; ++step) {
    uint8_t op;
    if (!in.Take(&op, 1)) {
      rc = KST_ERR_TIMEOUT;
      break;
    }
    const uint8_t kind = op % 6;
    if (kind == 0) break;
    if (kind == 1) {
      static const uint32_t kFails[] = {KST_ERR_TIMEOUT, KST_ERR_GENERAL, 6};
      rc = kFails[(op / 6) % 3];
      break;
    }
    if (kind == 2) ReplyHeader(in);
    if (kind == 3) Raw(in);
    if (kind == 4) Store32(g_block, ReplyOff(), ReqNo());
    if (kind == 5 && g_srv.layout == kLayoutB) FillItems(in);
  }
  if (rc == KST_OK) {
    const bool numbered = Load32(g_block, ReplyOff()) == ReqNo();
    if (!g_srv.accepted && numbered && Load32(g_block, ResultOff()) != kNotProcessed)
      g_srv.accepted = true;
    else if (g_srv.accepted && !numbered)
      g_srv.bad_piece = true;
  }
  return rc;
}

// A name of the length the input asks for (255 stands for 260, one too
// many).
std::vector<char> Name(Input &in) {
  const uint8_t n = in.U8();
  const size_t len = n == 255 ? 260 : n;
  std::vector<char> v(len + 1, '\0');
  for (size_t i = 0; i < len; ++i) v[i] = (i % 7 == 6) ? '.' : static_cast<char>('a' + i % 26);
  return v;
}

uint32_t CallRead(Input &in, uint8_t opts) {
  g_srv.receives = true;
  std::vector<char> name = Name(in);
  void *data = nullptr;
  uint32_t size = 0, lw = 0, attr = 0, consumer = 0;
  const bool want = !(opts & 4);
  uint32_t rc = KrpStoreKtsReadMt(0, name.data(), want ? &data : nullptr, &size, &lw, &attr,
                                  (opts & 8) ? nullptr : &consumer);
  if (rc == KST_OK && data) FuzzTouch(data, size + 1);
  if (rc != KST_OK && data) __builtin_trap();  // a failed call hands out nothing
  KstFreeMem(data, 0);
  return rc;
}

uint32_t CallWrite(Input &in) {
  std::vector<char> name = Name(in);
  const uint32_t size = in.U32() % (3 * layout_single::kPiece + 17);
  std::vector<uint8_t> value(size + 1, 0x5A);
  return KrpStoreKtsWriteMt(0, name.data(), value.data(), size, 1, 2, 3);
}

uint32_t CallList(Input &in, uint8_t opts) {
  g_srv.receives = true;
  std::vector<char> pattern = Name(in);
  void *list = nullptr;
  uint32_t size = 0;
  const bool want = !(opts & 4);
  uint32_t rc = KrpStoreKtsListObjectsMt(0, pattern.data(), want ? &list : nullptr, &size, 0);
  if (rc == KST_OK && list) FuzzTouch(list, size + 1);
  if (rc != KST_OK && list) __builtin_trap();
  KstFreeMem(list, 0);
  return rc;
}

uint32_t CallInfo(Input &in) {
  std::vector<char> name = Name(in);
  TsObjectInfo info;
  return KrpStoreKtsGetObjectInfoMt(0, name.data(), &info);
}

// The caller's read-multiple block: a length (its data offset), then items
// with right marks and lengths from the input, then raw bytes over it.
uint32_t CallReadMultiple(Input &in) {
  g_srv.layout = kLayoutB;
  g_srv.receives = true;
  const uint16_t l16 = in.U16();
  // Mostly small blocks; 0xFFxx reaches the limit of the block around
  // 327640 bytes.
  const uint32_t len = l16 >= 0xFF00 ? layout_multi::kPiece - 0x80 + (l16 & 0xFF) : l16;
  g_srv.rm_len = len;
  std::vector<uint8_t> blk(len < kTsMultiHeaderSize ? kTsMultiHeaderSize : len, 0);
  const uint8_t items = in.U8() % 32;
  uint64_t off = kTsMultiHeaderSize;
  uint32_t made = 0;
  for (uint32_t i = 0; i < items; ++i) {
    // A one-character name in an item of any length from 33 up (the
    // shortest has no room for the terminator; the rest stays zero).
    const uint32_t ilen = kTsItemMinLength + in.U8();
    if (off + ilen > len) break;
    uint8_t *item = blk.data() + off;
    TsPutU32(item + kTsItemOffMark, kTsItemMark);
    TsPutU32(item + kTsItemOffLength, ilen);
    TsPutU32(item + kTsItemOffSize, (in.U8() & 1) ? kTsItemInfoOnly : 0);
    item[kTsItemOffName] = static_cast<uint8_t>('a' + i % 26);
    off += ilen;
    ++made;
  }
  TsMultiBegin(blk.data(), made, len);
  // Raw bytes over the block (the count included; the data offset stays
  // the block's length, which the caller vouches for).
  const uint8_t raws = in.U8() % 4;
  for (uint8_t k = 0; k < raws; ++k) {
    const uint16_t at = in.U16();
    uint8_t n = in.U8();
    if (at >= blk.size()) continue;
    if (at + n > blk.size()) n = static_cast<uint8_t>(blk.size() - at);
    in.Take(blk.data() + at, n);
  }
  TsPutU32(blk.data() + kTsMultiOffDataOffset, len);
  void *data = nullptr;
  uint32_t data_size = 0;
  uint32_t rc = KrpStoreKtsReadMultipleMt(0, blk.data(), &data, &data_size);
  if (rc == KST_OK && data) FuzzTouch(data, data_size + 1);
  if (rc != KST_OK && data) __builtin_trap();
  KstFreeMem(data, 0);
  return rc;
}

uint32_t CallCopy(Input &in) {
  std::vector<char> target = Name(in);
  return KrpStoreKtsCopyMt(0, target.data());
}

uint32_t CallRuntimeInfo(Input &in) {
  g_srv.layout = kLayoutC;
  const uint8_t n = in.U8();
  std::vector<char> sheet = Name(in);
  void *schema = nullptr, *doc = nullptr;
  uint32_t n1 = 0, n2 = 0;
  uint32_t rc =
      KrpStoreKtsGetRuntimeInfoMt(0, &schema, &n1, &doc, &n2, (n & 1) ? sheet.data() : nullptr);
  if (rc == KST_OK) {
    if ((schema == nullptr) != (n1 == 0) || (doc == nullptr) != (n2 == 0)) __builtin_trap();
    if (schema) FuzzTouch(schema, n1);
    if (doc) FuzzTouch(doc, n2);
  } else if (schema || doc) {
    __builtin_trap();
  }
  KstFreeMem(schema, 0);
  KstFreeMem(doc, 0);
  return rc;
}

MtClientHarness g_harness;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!g_block) {
    g_block = static_cast<uint8_t *>(malloc(kRequestBlockSize));
    // Trace lines go nowhere instead of to syslog.
    setenv("KST_DEBUG_OUTPUT", "/dev/null", 1);
    g_harness = MtClientHarness{g_block, g_status, Exchange, nullptr};
    MtClientUseHarness(&g_harness);
  }
  memset(g_block, 0, kRequestBlockSize);
  memset(g_status, 0, sizeof g_status);
  g_srv = Server{};
  Input &in = g_srv.in;
  in = Input{data, size};
  uint8_t pick = 0, opts = 0;
  if (!in.Take(&pick, 1) || !in.Take(&opts, 1)) return 0;
  if (opts & 1) in.Take(g_status + status::kTraceFlags, 16);
  if (opts & 2) in.Take(g_status + status::kRequestCounter, 4);

  uint32_t rc = 0;
  switch (pick % 9) {
    case 0: rc = CallRead(in, opts); break;
    case 1: rc = CallWrite(in); break;
    case 2: {
      std::vector<char> name = Name(in);
      rc = KrpStoreKtsDeleteMt(0, name.data());
      break;
    }
    case 3: rc = CallList(in, opts); break;
    case 4: rc = CallInfo(in); break;
    case 5: rc = CallReadMultiple(in); break;
    case 6: rc = KrpStoreKtsPackMt(0); break;
    case 7: rc = CallCopy(in); break;
    case 8: rc = CallRuntimeInfo(in); break;
  }
  // A success needs an accepted reply; a payload received in pieces needs
  // this request's number on every piece.
  if (rc == KST_OK && !g_srv.accepted) __builtin_trap();
  if (rc == KST_OK && g_srv.receives && g_srv.bad_piece) __builtin_trap();
  return 0;
}
