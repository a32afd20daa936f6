// The read-multiple block and the list entries (ts_multi.h draws both).
#include "ts_multi.h"

#include <cstring>

#include "platform.h"

void TsMultiBegin(uint8_t *block, uint32_t count, uint32_t data_offset) {
  TsPutU32(block + kTsMultiOffMark, kTsBlockMark);
  TsPutU32(block + kTsMultiOffCount, count);
  TsPutU32(block + kTsMultiOffDataOffset, data_offset);
  TsPutU32(block + kTsMultiOffTotal, 0);
}

uint32_t TsMultiPutItem(uint8_t *item, const char *name, uint32_t name_len, bool info_only) {
  const uint32_t len = TsMultiItemLength(name_len);
  TsPutU32(item + kTsItemOffMark, kTsItemMark);
  TsPutU32(item + kTsItemOffLength, len);
  TsPutU32(item + kTsItemOffResult, 0);
  TsPutU32(item + kTsItemOffSize, info_only ? kTsItemInfoOnly : 0);
  TsMultiSetWords(item, 0, 0, 0);
  TsMultiSetDataOffset(item, 0);
  std::memcpy(item + kTsItemOffName, name, name_len);
  item[kTsItemOffName + name_len] = 0;
  return len;
}

TsMultiWalk::TsMultiWalk(const uint8_t *block, uint32_t end)
    : block_(block), end_(end), count_(TsMultiCount(block)) {}

TsMultiStep TsMultiWalk::Next(TsMultiItem *item) {
  if (stop_ != TsMultiStep::kItem) return stop_;
  const uint8_t *p = block_ + at_;
  if (index_ >= count_) {
    stop_ = TsMultiStep::kEnd;
  } else if (at_ + 4 > end_) {
    stop_ = TsMultiStep::kMalformed;  // not even the mark fits
  } else if (TsGetU32(p + kTsItemOffMark) != kTsItemMark) {
    stop_ = TsMultiStep::kEnd;
  } else if (at_ + kTsItemOffName > end_) {
    stop_ = TsMultiStep::kMalformed;
  } else {
    const uint32_t len = TsGetU32(p + kTsItemOffLength);
    if (len < kTsItemMinLength || at_ + len > end_) {
      stop_ = TsMultiStep::kMalformed;
    } else {
      const uint32_t room = len - kTsItemOffName;
      const char *name = reinterpret_cast<const char *>(p + kTsItemOffName);
      const void *zero = std::memchr(name, 0, room);
      item->index = index_;
      item->offset = static_cast<uint32_t>(at_);
      item->length = len;
      item->name = name;
      item->terminated = zero != nullptr;
      item->name_len = zero ? static_cast<uint32_t>(static_cast<const char *>(zero) - name) : room;
      item->info_only = TsGetU32(p + kTsItemOffSize) == kTsItemInfoOnly;
      at_ += len;
      ++index_;
    }
  }
  return stop_;
}

uint32_t TsMultiCheck(const uint8_t *block, uint32_t capacity, uint32_t *items) {
  if (capacity < kTsMultiHeaderSize || TsMultiMark(block) != kTsBlockMark)
    return KST_ERR_INVALID_PARAMETER;
  const uint32_t data_off = TsMultiDataOffset(block);
  if (data_off < kTsMultiHeaderSize || uint64_t(data_off) + 1 >= capacity)
    return KST_ERR_INVALID_PARAMETER;
  TsMultiWalk walk(block, data_off);
  TsMultiItem item;
  TsMultiStep step;
  while ((step = walk.Next(&item)) == TsMultiStep::kItem)
    if (!item.terminated) return KST_ERR_INVALID_PARAMETER;
  if (step == TsMultiStep::kMalformed) return KST_ERR_INVALID_PARAMETER;
  *items = walk.index();
  return KST_OK;
}

TsMultiReply TsMultiGetReply(const uint8_t *item) {
  return TsMultiReply{TsGetU32(item + kTsItemOffResult),   TsGetU32(item + kTsItemOffSize),
                      TsGetU32(item + kTsItemOffLastWr),   TsGetU32(item + kTsItemOffAttr),
                      TsGetU32(item + kTsItemOffConsumer), TsGetU32(item + kTsItemOffDataOffset)};
}

void TsMultiSetWords(uint8_t *item, uint32_t last_wr, uint32_t attr, uint32_t consumer) {
  TsPutU32(item + kTsItemOffLastWr, last_wr);
  TsPutU32(item + kTsItemOffAttr, attr);
  TsPutU32(item + kTsItemOffConsumer, consumer);
}

void TsMultiSetDataOffset(uint8_t *item, uint32_t data_offset) {
  TsPutU32(item + kTsItemOffDataOffset, data_offset);
}

void TsMultiSetResult(uint8_t *item, uint32_t result, uint32_t size) {
  TsPutU32(item + kTsItemOffResult, result);
  TsPutU32(item + kTsItemOffSize, size);
}

uint32_t TsListPutEntry(uint8_t *p, const char *name, uint32_t name_len, uint32_t attr,
                        uint32_t last_wr, uint32_t consumer) {
  const uint32_t len = static_cast<uint32_t>(TsListEntryLength(name_len));
  TsPutU32(p + kTsListOffLength, len);
  TsPutU32(p + kTsListOffAttr, attr);
  TsPutU32(p + kTsListOffLastWr, last_wr);
  TsPutU32(p + kTsListOffConsumer, consumer);
  std::memcpy(p + kTsListOffName, name, name_len);
  p[kTsListOffName + name_len] = 0;
  return len;
}

bool TsListEntryAt(const uint8_t *list, uint32_t size, uint32_t at, TsListEntry *out) {
  if (at >= size || size - at < kTsListOffName) return false;
  const uint8_t *p = list + at;
  const uint32_t len = TsGetU32(p + kTsListOffLength);
  if (len < TsListEntryLength(0) || len > size - at) return false;
  if (!std::memchr(p + kTsListOffName, 0, len - kTsListOffName)) return false;
  out->length = len;
  out->attr = TsGetU32(p + kTsListOffAttr);
  out->last_wr = TsGetU32(p + kTsListOffLastWr);
  out->consumer = TsGetU32(p + kTsListOffConsumer);
  out->name = reinterpret_cast<const char *>(p + kTsListOffName);
  return true;
}
