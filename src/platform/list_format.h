// The serialised list: reading and writing its bytes, in one place.
//
// LIST values, the name lists of a listing, the name lists merging builds and
// the list helper all share this format, and all of them parse it with the
// reader below, so that every caller accepts and refuses exactly the same
// buffers, and write it with the writer below. It lives in the platform
// layer because every layer above uses it: the store engine writes its
// listing text with it, the list helper and the resource layer read and
// write lists with it.
//
// Byte layout (as written):
//
//   offset  size  content
//   0       8     item length, 8 hex digits, most significant first ("%08x")
//   8       L     item bytes, any values, no terminating zero
//   8+L     2     "\r\n"
//   ...           further items, each as above
//   end-8   8     terminator "00000000"
//
// A list with no items is the terminator alone; the written size is the sum
// over the items of (L + 10), plus 8.
//
// What the reader accepts (it is more lenient than the writer):
//  - Length characters are mapped without validation: an ASCII letter (either
//    case) is its distance from 'A' plus 10, any other byte (taken as 0..255)
//    its value minus '0'. The eight digits are combined as value*16 + digit
//    in 32 bits, wrapping, so any 8 bytes give some 32-bit length.
//  - After each item at most two bytes that are CR or LF, in any mix, are
//    skipped.
//  - The list ends at: the end of the buffer; a single zero byte that is the
//    last byte of the buffer; or "00000000" followed by nothing, or by one
//    zero byte and nothing else. Anywhere else "00000000" is an item of
//    length 0, which is read and reported as empty.
//
// What the reader refuses, with 87 (KST_ERR_INVALID_PARAMETER):
//  - a buffer shorter than 8 bytes (even an empty list has its terminator);
//  - fewer than 8 bytes left where the next length field should start;
//  - an item whose bytes would run past the end of the buffer.
// Positions are 64-bit and a length is compared with the bytes that remain,
// never added to a 32-bit position, so lengths near 2^32 cannot wrap and
// nothing outside [buf, buf + size) is ever read.
#ifndef KRP_PLATFORM_LIST_FORMAT_H
#define KRP_PLATFORM_LIST_FORMAT_H

#include <cstddef>
#include <cstdint>

// Size of a length field and of the terminator; the per-item overhead of a
// written list (length field plus "\r\n").
constexpr uint32_t KRP_LIST_LENGTH_FIELD = 8;
constexpr uint32_t KRP_LIST_TERMINATOR_SIZE = 8;
constexpr uint32_t KRP_LIST_ITEM_OVERHEAD = 10;

// One item as the reader found it. `data` points into the caller's buffer.
struct KrpListItemRef {
  const uint8_t *data;
  uint32_t len;          // 0 for an empty item
  uint64_t field_pos;    // offset of its length field in the buffer
  uint64_t end_pos;      // offset just past its bytes (before any CR/LF)
};

// A forward reader over one serialised buffer. Plain data: initialise it with
// KrpListReaderInit and call KrpListReaderNext until it returns non-zero.
struct KrpListReader {
  const uint8_t *buf;
  uint64_t size;
  uint64_t pos;      // where the next length field (or the end) is expected
  uint32_t state;    // 0 reading, 38 ended, 87 malformed (sticky)
};

void KrpListReaderInit(KrpListReader *r, const void *buf, uint32_t size);
// 0: *item holds the next item (possibly empty). 38: the list ended normally
// (r->pos is where it ended). 87: the buffer is malformed at r->pos. Once it
// returned 38 or 87 it keeps returning the same code.
uint32_t KrpListReaderNext(KrpListReader *r, KrpListItemRef *item);

// Counts the non-empty items of a serialised buffer: 0 or 87.
uint32_t KrpListCountItems(const void *buf, uint32_t size, uint32_t *count);

// Where the content of a well-formed list ends: the offset just past the
// bytes of its last item (empty items included), 0 when it has none. Only
// the CR/LF separators and the terminator lie beyond it. 0 or 87.
uint32_t KrpListContentEnd(const void *buf, uint32_t size, uint32_t *content_end);

// The lenient 32-bit value of one 8-byte length field (see above).
uint32_t KrpListDecodeLength(const uint8_t *field);
// Writes the 8 lower-case hex digits of `len` ("%08x"), no terminator.
void KrpListEncodeLength(uint32_t len, uint8_t *field);

// Writer helpers. The caller sizes the output; each returns the position just
// past what it wrote.
// Bytes a written item takes: len + 10.
inline uint64_t KrpListItemSize(uint32_t len) { return uint64_t{len} + KRP_LIST_ITEM_OVERHEAD; }
// Writes "%08x" of len, the bytes, "\r\n".
uint8_t *KrpListWriteItem(uint8_t *out, const void *data, uint32_t len);
// Writes "00000000".
uint8_t *KrpListWriteTerminator(uint8_t *out);

#endif  // KRP_PLATFORM_LIST_FORMAT_H
