// Reading and writing the serialised list (layout and rules in list_format.h).
#include "list_format.h"

#include <cstring>

#include "platform.h"

namespace {

constexpr uint8_t kTerminator[KRP_LIST_TERMINATOR_SIZE] = {'0', '0', '0', '0',
                                                            '0', '0', '0', '0'};
constexpr char kHexDigits[] = "0123456789abcdef";

inline bool IsLineEnd(uint8_t c) { return c == '\r' || c == '\n'; }

}  // namespace

uint32_t KrpListDecodeLength(const uint8_t *field) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < KRP_LIST_LENGTH_FIELD; ++i) {
    uint32_t c = field[i];
    if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
    // Unsigned arithmetic: a byte below '0' gives a "negative" digit that
    // wraps, exactly as the 32-bit sum always did.
    uint32_t digit = (c >= 'A' && c <= 'Z') ? c - 'A' + 10 : c - '0';
    value = value * 16u + digit;
  }
  return value;
}

void KrpListEncodeLength(uint32_t len, uint8_t *field) {
  for (int i = KRP_LIST_LENGTH_FIELD - 1; i >= 0; --i) {
    field[i] = static_cast<uint8_t>(kHexDigits[len & 0xF]);
    len >>= 4;
  }
}

void KrpListReaderInit(KrpListReader *r, const void *buf, uint32_t size) {
  r->buf = static_cast<const uint8_t *>(buf);
  r->size = size;
  r->pos = 0;
  r->state = KST_OK;
}

uint32_t KrpListReaderNext(KrpListReader *r, KrpListItemRef *item) {
  if (r->state != KST_OK) return r->state;
  if (r->size < KRP_LIST_LENGTH_FIELD) return r->state = KST_ERR_INVALID_PARAMETER;

  const uint8_t *p = r->buf + r->pos;
  const uint64_t remaining = r->size - r->pos;  // pos <= size always holds
  // The three ways a list ends.
  if (remaining == 0) return r->state = KST_ERR_HANDLE_EOF;
  if (remaining == 1 && p[0] == 0) return r->state = KST_ERR_HANDLE_EOF;
  if ((remaining == KRP_LIST_TERMINATOR_SIZE ||
       (remaining == KRP_LIST_TERMINATOR_SIZE + 1 && p[KRP_LIST_TERMINATOR_SIZE] == 0)) &&
      std::memcmp(p, kTerminator, KRP_LIST_TERMINATOR_SIZE) == 0) {
    return r->state = KST_ERR_HANDLE_EOF;
  }
  if (remaining < KRP_LIST_LENGTH_FIELD) return r->state = KST_ERR_INVALID_PARAMETER;

  const uint32_t len = KrpListDecodeLength(p);
  // Compared with what is left, never summed into a position that could wrap.
  if (len > remaining - KRP_LIST_LENGTH_FIELD) return r->state = KST_ERR_INVALID_PARAMETER;

  item->data = p + KRP_LIST_LENGTH_FIELD;
  item->len = len;
  item->field_pos = r->pos;
  item->end_pos = r->pos + KRP_LIST_LENGTH_FIELD + len;

  uint64_t pos = item->end_pos;
  for (int skipped = 0; skipped < 2 && pos < r->size && IsLineEnd(r->buf[pos]); ++skipped) ++pos;
  r->pos = pos;
  return KST_OK;
}

uint32_t KrpListCountItems(const void *buf, uint32_t size, uint32_t *count) {
  KrpListReader r;
  KrpListReaderInit(&r, buf, size);
  KrpListItemRef item;
  uint32_t n = 0;
  uint32_t rc;
  while ((rc = KrpListReaderNext(&r, &item)) == KST_OK) {
    if (item.len != 0) ++n;  // at least 9 bytes each: cannot overflow 32 bits
  }
  if (rc != KST_ERR_HANDLE_EOF) return rc;
  *count = n;
  return KST_OK;
}

uint32_t KrpListContentEnd(const void *buf, uint32_t size, uint32_t *content_end) {
  KrpListReader r;
  KrpListReaderInit(&r, buf, size);
  KrpListItemRef item;
  uint64_t end = 0;
  uint32_t rc;
  while ((rc = KrpListReaderNext(&r, &item)) == KST_OK) end = item.end_pos;
  if (rc != KST_ERR_HANDLE_EOF) return rc;
  *content_end = static_cast<uint32_t>(end);  // end <= size, a 32-bit value
  return KST_OK;
}

uint8_t *KrpListWriteItem(uint8_t *out, const void *data, uint32_t len) {
  KrpListEncodeLength(len, out);
  out += KRP_LIST_LENGTH_FIELD;
  if (len) std::memcpy(out, data, len);
  out += len;
  *out++ = '\r';
  *out++ = '\n';
  return out;
}

uint8_t *KrpListWriteTerminator(uint8_t *out) {
  std::memcpy(out, kTerminator, KRP_LIST_TERMINATOR_SIZE);
  return out + KRP_LIST_TERMINATOR_SIZE;
}
