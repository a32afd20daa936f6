// Multiple get: many resources read in few store requests.
//
// Design note
// -----------
// The caller hands a serialised list of names and the number of names it
// announces; the answer is one serialised list with one item per announced
// name, in order. The work runs in three steps:
//
//   parse       the input list is walked once; each name's position and
//               length is kept in the name table (nothing is looked up yet).
//               Names the list does not supply (the count announced more)
//               stay in the table as names without lookup names.
//   read        names are taken in order; each name's lookup set (names.h,
//               any type, the current locale) goes into a read-multiple block
//               (ts_multi.h), all non-empty slots of one name in the same
//               block and in slot order. A block is sent when the next name
//               would make it longer than kBlockLimit bytes or hold more than
//               kNamesPerBlock lookup names. The reply is walked name by
//               name: every non-empty slot consumes one item, and the first
//               item with result 0 and a stored size that is not 0 answers
//               for the name.
//   write       the output list is sized in 64 bits, allocated once and
//               written item by item.
//
// Invariants
// 1. Every length, count and offset taken from the caller or from a reply is
//    checked against the bytes it refers to before anything is read; sizes
//    are summed in 64 bits and a size that does not fit 32 bits is an
//    allocation failure (8192), never a wrapped allocation.
// 2. A block never exceeds kBlockLimit: the client refuses a block whose
//    length plus its 20-byte request header reaches 0x50000.
// 3. The block area lives on the heap (callers' threads may have small
//    stacks); only the name table, the block area, found values and the
//    output are allocated.
// 4. On any failure every allocated block is released and the output
//    pointer stays null.
//
// Output item of the attribute form: a 24-byte record of six little-endian
// 32-bit words, then the value bytes.
//
//   off  field
//     0  record length: 24 + value size (0 when the name was not found)
//     4  result for this name: 0, or 0x370001 not found / empty value
//     8  value size
//    12  time stamp
//    16  attributes, with the from-default flag for slots 1 and 3
//    20  type code
#include <cstring>

#include "list_format.h"
#include "platform.h"
#include "protocol.h"
#include "resource.h"
#include "store.h"

namespace {

// The longest block the client sends (invariant 2).
constexpr uint32_t kBlockLimit = krp::proto::layout_multi::kPiece;
static_assert(kBlockLimit + krp::proto::layout_multi::kHeaderSize == 0x50000 - 1);
constexpr uint32_t kNamesPerBlock = 2000;
constexpr uint32_t kMaxRounds = 128;
// The longest name the input list may carry.
constexpr uint32_t kInputNameMax = 260;
constexpr uint32_t kRecordSize = 24;
constexpr uint32_t kRecordWords = kRecordSize / 4;
// The attribute form refuses list texts of this many characters or fewer.
constexpr uint32_t kAttrMinList = 9;
// After the items: "00000000\r\n" and one zero byte.
constexpr uint32_t kOutputEnd = KRP_LIST_TERMINATOR_SIZE + 2 + 1;
constexpr uint32_t kMissingLength = 1;  // the item of a name without value

// One announced name and, after the read, its answer.
struct NameEntry {
  uint32_t offset;  // name bytes in the input list
  uint32_t length;  // 0: no lookup names
  uint8_t *value;   // KstAllocMem block: the record (attribute form) + value
  uint32_t value_len;
  uint8_t slot_mask;  // bit s: slot s went into the block
  bool found;
};

struct Call {
  const uint8_t *list;
  uint64_t list_size;
  uint64_t count;
  bool with_attrs;
  char locale[KRP_LOCALE_BUF];
  NameEntry *names = nullptr;
  uint8_t *block = nullptr;
};

uint32_t Alloc(uint64_t size, void **out, const char *tag, int line) {
  *out = nullptr;
  uint32_t rc = size > UINT32_MAX ? uint32_t{KST_HEAP_FULL}
                                  : KstAllocMem(static_cast<uint32_t>(size), 0, out, nullptr);
  if (rc != 0) {
    if (rc == KST_HEAP_FULL)
      KstLogPrintf("%s (%d) no malloc 0x%08x (asked for %d)", tag, line, rc,
                   static_cast<int>(size));
    else
      KstLogPrintf("%s (%d) no malloc 0x%08x", tag, line, rc);
    *out = nullptr;
  }
  return rc;
}

int HexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The length field read as "%08x" reads it: the leading hexadecimal digits of
// the 8 characters; false when the first one is none.
bool ParseLength(const uint8_t *field, uint32_t *len) {
  uint32_t v = 0, i = 0;
  for (; i < KRP_LIST_LENGTH_FIELD; ++i) {
    int d = HexDigit(field[i]);
    if (d < 0) break;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *len = v;
  return i > 0;
}

// Walks the input list into the name table (entries beyond the names the
// list supplies are already zeroed).
uint32_t ParseList(Call *c) {
  const uint8_t *p = c->list;
  uint64_t pos = 0, n = 0;
  while (pos < c->list_size && p[pos] != 0 && n < c->count) {
    if (pos + KRP_LIST_LENGTH_FIELD > c->list_size) {
      KstLogPrintf("krp>getmulti (%d) input sizes error 0x%08x", __LINE__, 87u);
      return KST_ERR_INVALID_PARAMETER;
    }
    if (memchr(p + pos, 0, KRP_LIST_LENGTH_FIELD)) {
      KstLogPrintf("krp>getmultiple (%d) input list format error 0x%08x", __LINE__, 87u);
      return KST_ERR_INVALID_PARAMETER;
    }
    uint32_t len = 0;
    if (!ParseLength(p + pos, &len)) {
      KstLogPrintf("krp>getmultiple (%d) invalid input list 0x%08x", __LINE__, 87u);
      return KST_ERR_INVALID_PARAMETER;
    }
    if (len > kInputNameMax) return KRP_ERR_NAME_TOO_LONG;
    pos += KRP_LIST_LENGTH_FIELD;
    // "00000000" as the list's last bytes is its terminator, not a name
    // that reaches the end: the names after it are simply not supplied.
    if (len == 0 && pos == c->list_size) break;
    if (pos + len >= c->list_size) {
      KstLogPrintf("krp>getmulti (%d) invalid iput list or list size 0x%08x", __LINE__, 87u);
      return KST_ERR_INVALID_PARAMETER;
    }
    c->names[n].offset = static_cast<uint32_t>(pos);
    c->names[n].length = len;
    ++n;
    pos += len;
    for (int k = 0; k < 2 && pos < c->list_size && (p[pos] == '\r' || p[pos] == '\n'); ++k)
      ++pos;
  }
  return 0;
}

// The lookup set of one table entry; false when it has none (an empty
// name, or one the name rules refuse: it then simply finds nothing).
bool LookupSet(const Call &c, const NameEntry &e, KrpLookupNames *set) {
  if (e.length == 0) return false;
  char name[kInputNameMax + 1];
  memcpy(name, c.list + e.offset, e.length);
  name[e.length] = 0;
  if (KrpBuildLookupSet(name, KRP_TYPE_ANY, c.locale, c.locale, set) != 0) return false;
  for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s)
    if (set->slots[s][0]) return true;
  return false;
}

// Fills the block with the names from `first` on; *next is the first name
// left out. Returns the number of items written.
uint32_t FillBlock(Call *c, uint64_t first, uint64_t *next) {
  uint8_t *item = c->block + kTsMultiHeaderSize;
  uint64_t used = kTsMultiHeaderSize;
  uint32_t items = 0;
  uint64_t i = first;
  for (; i < c->count; ++i) {
    NameEntry &e = c->names[i];
    e.slot_mask = 0;
    KrpLookupNames set;
    if (!LookupSet(*c, e, &set)) continue;
    uint32_t len[KRP_SLOT_COUNT] = {};
    uint64_t need = 0;
    uint32_t n = 0;
    for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s) {
      if (!set.slots[s][0]) continue;
      len[s] = static_cast<uint32_t>(strlen(set.slots[s]));
      need += TsMultiItemLength(len[s]);
      ++n;
    }
    if (used + need > kBlockLimit || items + n > kNamesPerBlock) break;
    for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s) {
      if (!set.slots[s][0]) continue;
      item += TsMultiPutItem(item, set.slots[s], len[s], false);
      e.slot_mask |= static_cast<uint8_t>(1u << s);
    }
    used += need;
    items += n;
  }
  TsMultiBegin(c->block, items, static_cast<uint32_t>(used));
  *next = i;
  return items;
}

void PutU32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Keeps the answer of one name: the value bytes after the type field, with
// the record in front for the attribute form.
uint32_t KeepValue(const Call &c, NameEntry *e, const uint8_t *data, uint32_t data_size,
                   const TsMultiReply &r, uint32_t slot) {
  if (r.size < KRP_TYPE_FIELD_SIZE || !data ||
      uint64_t{r.data_offset} + r.size > data_size) {
    KstLogPrintf("krp_kts (%d) reply entry outside the data (offset %u size %u of %u) 0x%08x",
                 __LINE__, r.data_offset, r.size, data_size, 1u);
    return 1;
  }
  const uint32_t vsize = r.size - KRP_TYPE_FIELD_SIZE;
  const uint64_t total = uint64_t{vsize} + (c.with_attrs ? kRecordSize : 0);
  e->found = true;
  if (vsize == 0) return 0;  // an empty value answers with the missing item
  void *mem = nullptr;
  uint32_t rc = Alloc(total, &mem, "krp_kts", __LINE__);
  if (rc != 0) return rc;
  uint8_t *out = static_cast<uint8_t *>(mem);
  if (c.with_attrs) {
    uint32_t attr = r.attr;
    if (slot == KRP_SLOT_DEFAULT_LOCALIZED || slot == KRP_SLOT_DEFAULT)
      attr |= KRP_ATTR_FROM_DEFAULT;
    const uint32_t rec[kRecordWords] = {kRecordSize + vsize, 0, vsize, r.last_wr, attr,
                                        r.consumer};
    for (uint32_t w = 0; w < kRecordWords; ++w) PutU32(out + 4 * w, rec[w]);
  }
  memcpy(out + (c.with_attrs ? kRecordSize : 0), data + r.data_offset + KRP_TYPE_FIELD_SIZE,
         vsize);
  e->value = out;
  e->value_len = static_cast<uint32_t>(total);
  return 0;
}

// Walks the reply of the block that holds names [first, next).
uint32_t WalkReply(Call *c, uint64_t first, uint64_t next, uint32_t items, const uint8_t *data,
                   uint32_t data_size) {
  TsMultiWalk walk(c->block, TsMultiDataOffset(c->block));
  uint32_t consumed = 0;
  for (uint64_t i = first; i < next; ++i) {
    NameEntry &e = c->names[i];
    for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s) {
      if (!(e.slot_mask & (1u << s))) continue;
      TsMultiItem it;
      if (consumed >= items || walk.Next(&it) != TsMultiStep::kItem) {
        KstLogPrintf("krp_kts (%d) counting further than possible?? (previous total %u + "
                     "currentcount %u > incoming count %u) 0x%08x",
                     __LINE__, static_cast<uint32_t>(first), consumed, items, 1u);
        return 1;
      }
      ++consumed;
      const TsMultiReply r = TsMultiGetReply(c->block + it.offset);
      if (e.found || r.result != 0 || r.size == 0) continue;
      uint32_t rc = KeepValue(*c, &e, data, data_size, r, s);
      if (rc != 0) return rc;
    }
  }
  return 0;
}

// Sends blocks until every name is answered.
uint32_t ReadAll(Call *c) {
  uint64_t first = 0;
  uint32_t rounds = 0;
  while (first < c->count) {
    uint64_t next = first;
    const uint32_t items = FillBlock(c, first, &next);
    if (items == 0) break;  // the rest has no lookup names
    if (rounds == 0) {
      // Only the server reads several objects at once: without one the
      // service status is the result, and nothing is read directly.
      uint32_t st = MtClientCheckMtStatusAndWaitForServer(0);
      if (st != 0) return st;
    }
    if (++rounds > kMaxRounds) {
      KstLogPrintf("krp_kts (%d) request too large for now; already made my alloted %d rounds... "
                   "Returning 0x%08x (Why this restriction?!?!)",
                   __LINE__, static_cast<int>(kMaxRounds), uint32_t{KST_ERR_BUFFER_TOO_SMALL});
      return KST_ERR_BUFFER_TOO_SMALL;
    }
    void *data = nullptr;
    uint32_t data_size = 0;
    uint32_t rc = KrpStoreKtsReadMultipleMt(0, c->block, &data, &data_size);
    if (rc != 0) {
      KstFreeMem(data, 0);
      KstLogPrintf("krp_kts (%d) error reading from store 0x%08x", __LINE__, rc);
      return rc;
    }
    rc = WalkReply(c, first, next, items, static_cast<uint8_t *>(data), data_size);
    KstFreeMem(data, 0);
    if (rc != 0) return rc;
    first = next;
  }
  return 0;
}

// The item a name without a value gets.
uint32_t MissingItem(const Call &c, const NameEntry &e, uint8_t *buf) {
  if (!c.with_attrs) {
    buf[0] = 0;
    return kMissingLength;
  }
  const uint32_t rec[kRecordWords] = {e.found ? kRecordSize : 0, KRP_ERR_NOT_FOUND, 0, 0, 0, 0};
  for (uint32_t w = 0; w < kRecordWords; ++w) PutU32(buf + 4 * w, rec[w]);
  return kRecordSize;
}

uint32_t WriteOutput(const Call &c, void **out, uint32_t *out_size) {
  uint64_t total = kOutputEnd;
  const uint32_t missing = c.with_attrs ? kRecordSize : kMissingLength;
  for (uint64_t i = 0; i < c.count; ++i)
    total += KrpListItemSize(c.names[i].value ? c.names[i].value_len : missing);
  if (total - 1 > UINT32_MAX) total = uint64_t{UINT32_MAX} + 2;  // refused by Alloc
  void *mem = nullptr;
  uint32_t rc = Alloc(total, &mem, "krp_kts", __LINE__);
  if (rc != 0) return rc;
  uint8_t *p = static_cast<uint8_t *>(mem);
  for (uint64_t i = 0; i < c.count; ++i) {
    const NameEntry &e = c.names[i];
    uint8_t empty[kRecordSize];
    if (e.value) {
      p = KrpListWriteItem(p, e.value, e.value_len);
    } else {
      const uint32_t n = MissingItem(c, e, empty);
      p = KrpListWriteItem(p, empty, n);
    }
  }
  p = KrpListWriteTerminator(p);
  *p++ = '\r';
  *p++ = '\n';
  *p = 0;
  *out = mem;
  *out_size = static_cast<uint32_t>(total - 1);
  return 0;
}

uint32_t MultiGet(const void *list, uint32_t count, uint32_t *size, void **out,
                  bool with_attrs) {
  if (out) *out = nullptr;
  if (!list || !size || !out || count == 0 || *size == 0) return KST_ERR_INVALID_PARAMETER;
  if (with_attrs) {
    const uint32_t bound = *size < kAttrMinList + 1 ? *size : kAttrMinList + 1;
    if (strnlen(static_cast<const char *>(list), bound) <= kAttrMinList)
      return KST_ERR_INVALID_PARAMETER;
  }
  uint32_t rc = KrpResourceInitInternal();
  if (rc != 0) return rc;
  Call c;
  c.list = static_cast<const uint8_t *>(list);
  c.list_size = *size;
  c.count = count;
  c.with_attrs = with_attrs;
  KrpCurrentLocale(c.locale);
  void *mem = nullptr;
  rc = Alloc(c.count * sizeof(NameEntry), &mem, "krp", __LINE__);
  if (rc != 0) return rc;
  c.names = static_cast<NameEntry *>(mem);
  memset(c.names, 0, c.count * sizeof(NameEntry));
  rc = ParseList(&c);
  if (rc == 0) rc = Alloc(kBlockLimit, &mem, "krp_kts", __LINE__);
  if (rc == 0) {
    c.block = static_cast<uint8_t *>(mem);
    rc = ReadAll(&c);
  }
  uint32_t out_size = 0;
  if (rc == 0) rc = WriteOutput(c, out, &out_size);
  if (rc == 0) *size = out_size;
  for (uint64_t i = 0; i < c.count; ++i) KstFreeMem(c.names[i].value, 0);
  KstFreeMem(c.block, 0);
  KstFreeMem(c.names, 0);
  return rc;
}

}  // namespace

extern "C" KRP_API uint32_t dll_KrpGetMultipleByList(const void *list, uint32_t count,
                                                     uint32_t *size, void **out) {
  return MultiGet(list, count, size, out, false);
}

extern "C" KRP_API uint32_t dll_KrpGetMultipleResourcesWithAttributes(const void *list,
                                                                      uint32_t count,
                                                                      uint32_t *size,
                                                                      void **out) {
  return MultiGet(list, count, size, out, true);
}
