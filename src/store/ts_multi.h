// The two record formats the store hands across layers besides its file: the
// read-multiple block (a caller's request that the engine fills in place) and
// the list entries of StoreListObjects. Every layer that builds, checks or
// reads them (engine, server thread, client calls, request trace, resource
// layer, krpctl, tests, fuzz targets) goes through this header; the offsets
// below are their single source.
//
// Every integer is an unsigned 32-bit little-endian word, encoded and decoded
// byte by byte (TsPutU32 / TsGetU32): a block may sit at any address (its
// items are not aligned) and comes from another process, so nothing is ever
// read by casting a structure over it.
//
// Read-multiple block (offsets from the block's start)
//
//   off  size  field
//     0     4  block mark 0x4772426C (the bytes "lBrG")
//     4     4  item count
//     8     4  data offset: where the data area begins (the end of the items);
//              also the block's length as the client sends it
//    12     4  out: total data bytes (returned, or needed when an item did
//              not fit)
//    16     .  items, back to back
//
// Item (offsets from the item's start)
//
//   off  size  field
//     0     4  item mark 0x52635467 (the bytes "gTcR")
//     4     4  item length: distance to the next item (32 + name length + 1
//              as built here; at least 33)
//     8     4  out: the item's result
//    12     4  in: 0xFFFFFFFF asks for the information only, any other value
//              for the data; out: the object's data size
//    16     4  out: LastWr
//    20     4  out: Attr
//    24     4  out: Consumer
//    28     4  out: offset of the item's data from the start of the data area
//    32     .  name, zero-terminated
//
// The data area starts at the data offset and holds capacity - data offset -
// 1 bytes; the data of the items that were read follow each other in item
// order.
//
// List entry (StoreListObjects; entries back to back, no padding)
//
//   off  size  field
//     0     4  entry length (16 + name length + 1): distance to the next entry
//     4     4  Attr
//     8     4  LastWr
//    12     4  Consumer
//    16     .  name, zero-terminated
//
// Invariants:
// 1. Every walk checks an item or entry against the end of its area before
//    it reads a word of it; a count or a length word never makes a walk read
//    outside the bytes it was given.
// 2. The walks tell a wrong mark (the end of the items, as the engine has
//    always treated it) from a malformed item (a block the engine refuses
//    with 87); each caller decides what a malformed item means to it.
#ifndef KRP_STORE_TS_MULTI_H
#define KRP_STORE_TS_MULTI_H

#include <cstdint>

#include "ts_format.h"

// ---- read-multiple block ------------------------------------------------------
constexpr uint32_t kTsBlockMark = 0x4772426C;
constexpr uint32_t kTsMultiOffMark = 0;
constexpr uint32_t kTsMultiOffCount = 4;
constexpr uint32_t kTsMultiOffDataOffset = 8;
constexpr uint32_t kTsMultiOffTotal = 12;
constexpr uint32_t kTsMultiHeaderSize = 16;  // the first item starts here

constexpr uint32_t kTsItemMark = 0x52635467;
constexpr uint32_t kTsItemOffMark = 0;
constexpr uint32_t kTsItemOffLength = 4;
constexpr uint32_t kTsItemOffResult = 8;
constexpr uint32_t kTsItemOffSize = 12;
constexpr uint32_t kTsItemOffLastWr = 16;
constexpr uint32_t kTsItemOffAttr = 20;
constexpr uint32_t kTsItemOffConsumer = 24;
constexpr uint32_t kTsItemOffDataOffset = 28;
constexpr uint32_t kTsItemOffName = 32;
constexpr uint32_t kTsItemMinLength = kTsItemOffName + 1;  // an empty name's terminator
// The size word of an item that asks for the information only.
constexpr uint32_t kTsItemInfoOnly = 0xFFFFFFFFu;

static_assert(kTsMultiOffTotal + 4 == kTsMultiHeaderSize);
static_assert(kTsItemOffDataOffset + 4 == kTsItemOffName);
static_assert(kTsItemMinLength == 33);

// The length of an item for a name of `name_len` characters.
constexpr uint32_t TsMultiItemLength(uint32_t name_len) { return kTsItemOffName + name_len + 1; }

// Header words of a block (at least kTsMultiHeaderSize bytes).
inline uint32_t TsMultiMark(const uint8_t *block) { return TsGetU32(block + kTsMultiOffMark); }
inline uint32_t TsMultiCount(const uint8_t *block) { return TsGetU32(block + kTsMultiOffCount); }
inline uint32_t TsMultiDataOffset(const uint8_t *block) {
  return TsGetU32(block + kTsMultiOffDataOffset);
}
inline uint32_t TsMultiTotal(const uint8_t *block) { return TsGetU32(block + kTsMultiOffTotal); }
inline void TsMultiSetTotal(uint8_t *block, uint32_t total) {
  TsPutU32(block + kTsMultiOffTotal, total);
}

// ---- building a block ---------------------------------------------------------
// Writes the header of a block of `count` items whose items end at
// `data_offset` (kTsMultiHeaderSize + the sum of the item lengths); the total
// word is 0.
void TsMultiBegin(uint8_t *block, uint32_t count, uint32_t data_offset);
// Writes one request item at `item`: mark, length TsMultiItemLength(name_len),
// result 0, the size word (kTsItemInfoOnly or 0), the out words 0 and the
// name with its terminator. Returns the item's length (where the next one
// starts).
uint32_t TsMultiPutItem(uint8_t *item, const char *name, uint32_t name_len, bool info_only);

// ---- walking the items --------------------------------------------------------
// One item as a walk found it. Offsets are from the block's start.
struct TsMultiItem {
  uint32_t index;       // 0 for the first item
  uint32_t offset;
  uint32_t length;
  const char *name;     // inside the item
  uint32_t name_len;    // characters before the terminator (or to the item's end)
  bool terminated;      // a zero lies inside the item
  bool info_only;       // the size word is kTsItemInfoOnly
};

enum class TsMultiStep {
  kItem,       // *item is filled
  kEnd,        // the count is reached, or the next item's mark is wrong
  kMalformed,  // the next item lies (partly) outside the items or is too short
};

// Walks the items of a block in order, at most its count word of them, never
// past `end` (the data offset the caller trusts: the engine's checked data
// offset, the client's block length). The block must hold at least
// kTsMultiHeaderSize bytes.
class TsMultiWalk {
 public:
  TsMultiWalk(const uint8_t *block, uint32_t end);
  // The next item. An item is malformed when its mark does not fit the
  // items, when its header (32 bytes) does not fit them with a right mark,
  // or when its length is below 33 or runs past `end`. After kEnd or
  // kMalformed every later call gives the same.
  TsMultiStep Next(TsMultiItem *item);
  // Items handed out so far.
  uint32_t index() const { return index_; }

 private:
  const uint8_t *block_;
  uint32_t end_;
  uint32_t count_;
  uint32_t index_ = 0;
  uint64_t at_ = kTsMultiHeaderSize;
  TsMultiStep stop_ = TsMultiStep::kItem;
};

// The number of items the engine serves from a block of `capacity` bytes:
// the block mark must be right, 16 <= data offset < capacity - 1, and every
// item up to the count (or up to the first one with a wrong mark) lies inside
// the items, is at least 33 bytes long and holds a zero inside its name.
// 0 with *items set, or 87.
uint32_t TsMultiCheck(const uint8_t *block, uint32_t capacity, uint32_t *items);

// Whether an item (not yet filled in) asks for the information only.
inline bool TsMultiInfoOnly(const uint8_t *item) {
  return TsGetU32(item + kTsItemOffSize) == kTsItemInfoOnly;
}

// ---- an item's reply ----------------------------------------------------------
struct TsMultiReply {
  uint32_t result;
  uint32_t size;
  uint32_t last_wr;
  uint32_t attr;
  uint32_t consumer;
  uint32_t data_offset;  // from the start of the data area
};
TsMultiReply TsMultiGetReply(const uint8_t *item);
// The engine fills an item in up to three steps: the words of a found object,
// the data offset of data it placed, and always the result and size.
void TsMultiSetWords(uint8_t *item, uint32_t last_wr, uint32_t attr, uint32_t consumer);
void TsMultiSetDataOffset(uint8_t *item, uint32_t data_offset);
void TsMultiSetResult(uint8_t *item, uint32_t result, uint32_t size);

// ---- list entries -------------------------------------------------------------
constexpr uint32_t kTsListOffLength = 0;
constexpr uint32_t kTsListOffAttr = 4;
constexpr uint32_t kTsListOffLastWr = 8;
constexpr uint32_t kTsListOffConsumer = 12;
constexpr uint32_t kTsListOffName = 16;
static_assert(kTsListOffConsumer + 4 == kTsListOffName);

// The length of an entry for a name of `name_len` characters.
constexpr uint64_t TsListEntryLength(uint64_t name_len) { return kTsListOffName + name_len + 1; }

// Writes one entry at `p`; returns its length (where the next one starts).
uint32_t TsListPutEntry(uint8_t *p, const char *name, uint32_t name_len, uint32_t attr,
                        uint32_t last_wr, uint32_t consumer);

struct TsListEntry {
  uint32_t length;
  uint32_t attr;
  uint32_t last_wr;
  uint32_t consumer;
  const char *name;  // zero-terminated inside the entry
};
// The entry at `at` of a list of `size` bytes (at < size). False when it is
// malformed: fewer than 16 bytes left, a length below 17 or past the end of
// the list, or no terminator inside the entry.
bool TsListEntryAt(const uint8_t *list, uint32_t size, uint32_t at, TsListEntry *out);

#endif  // KRP_STORE_TS_MULTI_H
