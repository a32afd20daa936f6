// Sorting a list: the comparison of each mode and the exchange sort.
//
// The exchange sort, as it has always been defined:
//
//   for each position A from the first:
//     scan:  for each position B after A:
//              if item(B) < item(A): exchange the contents of A and B and
//                                    start the scan again just after A
//     (a scan that finds nothing moves on to the next A)
//
// Restarting the scan is never needed to get the same result: the positions
// already scanned held items not below the old item(A), and the new item(A)
// is below the old one, so by transitivity none of them is below the new
// item(A) either; the position just exchanged now holds the old item(A),
// which is above it. A restart would therefore compare its way back to B
// without an exchange. Continuing the scan at B + 1 makes exactly the same
// exchanges in the same order, in O(n^2) comparisons instead of O(n^3) for a
// list in reverse order. Every mode's "<" below is transitive (integer keys,
// or lexicographic order on case-folded units), which is all this needs.
//
// The comparison reads each item as text up to its first zero byte (mode 4:
// its first zero unit) and never past its length. Keys are computed once
// per item into a scratch array, and exchanges move array entries; the
// nodes receive their new contents at the end, so the list is untouched if
// the scratch array cannot be allocated.
#include <cstring>

#include "listhelp.h"
#include "platform.h"

namespace {

// C-locale white space, as a text-to-integer conversion skips it.
inline bool IsSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
inline uint32_t FoldAscii(uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// Bytes of the item before its first zero byte.
uint32_t TextLength(const uint8_t *p, uint32_t len) {
  const void *z = len ? std::memchr(p, 0, len) : nullptr;
  return z ? static_cast<uint32_t>(static_cast<const uint8_t *>(z) - p) : len;
}

// Little-endian UTF-16 units before the first zero unit; an odd last byte is
// not a unit.
uint32_t WideLength(const uint8_t *p, uint32_t len) {
  const uint32_t units = len / 2;
  for (uint32_t i = 0; i < units; ++i) {
    if (p[2 * i] == 0 && p[2 * i + 1] == 0) return i;
  }
  return units;
}

inline uint32_t WideUnit(const uint8_t *p, uint32_t i) {
  return static_cast<uint32_t>(p[2 * i]) | (static_cast<uint32_t>(p[2 * i + 1]) << 8);
}

int CompareText(const uint8_t *a, uint32_t an, const uint8_t *b, uint32_t bn) {
  const uint32_t n = an < bn ? an : bn;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t ca = FoldAscii(a[i]), cb = FoldAscii(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return an == bn ? 0 : (an < bn ? -1 : 1);
}

int CompareWide(const uint8_t *a, uint32_t an, const uint8_t *b, uint32_t bn) {
  const uint32_t n = an < bn ? an : bn;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t ca = FoldAscii(WideUnit(a, i)), cb = FoldAscii(WideUnit(b, i));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return an == bn ? 0 : (an < bn ? -1 : 1);
}

// One item in the scratch array: its contents plus what the mode compares.
struct SortEntry {
  uint8_t *data;
  uint32_t len;
  uint32_t text_len;  // modes 3 and 4: bytes / units before the first zero
  int64_t key;        // modes 1 and 2
};

void MakeKey(uint32_t mode, SortEntry *e) {
  switch (mode) {
    case KRP_LISTSORT_INTEGER: e->key = KrpListSortIntKey(e->data, e->len); break;
    case KRP_LISTSORT_IPV4: e->key = KrpListSortIpKey(e->data, e->len); break;
    case KRP_LISTSORT_TEXT_NOCASE: e->text_len = TextLength(e->data, e->len); break;
    case KRP_LISTSORT_WIDE_NOCASE: e->text_len = WideLength(e->data, e->len); break;
    default: break;
  }
}

inline bool Below(uint32_t mode, const SortEntry &b, const SortEntry &a) {
  switch (mode) {
    case KRP_LISTSORT_INTEGER:
    case KRP_LISTSORT_IPV4: return b.key < a.key;
    case KRP_LISTSORT_TEXT_NOCASE: return CompareText(b.data, b.text_len, a.data, a.text_len) < 0;
    case KRP_LISTSORT_WIDE_NOCASE: return CompareWide(b.data, b.text_len, a.data, a.text_len) < 0;
    default: return false;
  }
}

}  // namespace

int32_t KrpListSortIntKey(const uint8_t *p, uint32_t len) {
  const uint32_t n = TextLength(p, len);
  uint32_t i = 0;
  while (i < n && IsSpace(p[i])) ++i;
  bool negative = false;
  if (i < n && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
  // Magnitude capped just above the largest one that fits, so it never
  // overflows however many digits follow.
  constexpr uint64_t kCap = uint64_t{INT32_MAX} + 1;
  uint64_t mag = 0;
  while (i < n && IsDigit(p[i])) {
    mag = mag * 10 + (p[i++] - '0');
    if (mag > kCap) mag = kCap + 1;
  }
  if (negative) return mag >= kCap ? INT32_MIN : -static_cast<int32_t>(mag);
  return mag > INT32_MAX ? INT32_MAX : static_cast<int32_t>(mag);
}

uint32_t KrpListSortIpKey(const uint8_t *p, uint32_t len) {
  uint32_t n = TextLength(p, len);
  if (n > 15) n = 15;
  uint32_t runs[4] = {0, 0, 0, 0};
  uint32_t i = 0;
  for (int r = 0; r < 4 && i < n; ++r) {
    while (i < n && IsDigit(p[i])) runs[r] = runs[r] * 10u + (p[i++] - '0');  // wraps
    ++i;  // the character that ended the run
  }
  return (runs[0] << 24) + (runs[1] << 16) + (runs[2] << 8) + runs[3];
}

int KrpListSortCompare(uint32_t mode, const uint8_t *a, uint32_t alen, const uint8_t *b,
                       uint32_t blen) {
  SortEntry ea{const_cast<uint8_t *>(a), alen, 0, 0};
  SortEntry eb{const_cast<uint8_t *>(b), blen, 0, 0};
  MakeKey(mode, &ea);
  MakeKey(mode, &eb);
  if (Below(mode, ea, eb)) return -1;
  if (Below(mode, eb, ea)) return 1;
  return 0;
}

uint32_t KrpListSortChain(KrpListhelpList *l, uint32_t mode) {
  if (mode < KRP_LISTSORT_INTEGER || mode > KRP_LISTSORT_WIDE_NOCASE) return KST_OK;
  const uint32_t n = l->count;
  if (n < 2) return KST_OK;
  const uint64_t bytes = uint64_t{n} * sizeof(SortEntry);
  if (bytes > UINT32_MAX) return KST_HEAP_FULL;
  void *mem = nullptr;
  if (KstAllocMem(static_cast<uint32_t>(bytes), 0, &mem, nullptr) != KST_OK) return KST_HEAP_FULL;
  SortEntry *e = static_cast<SortEntry *>(mem);

  uint32_t filled = 0;
  for (KrpListNode *node = l->first; node && filled < n; node = node->next, ++filled) {
    e[filled] = SortEntry{node->data, node->len, 0, 0};
    MakeKey(mode, &e[filled]);
  }

  for (uint32_t a = 0; a < filled; ++a) {
    for (uint32_t b = a + 1; b < filled; ++b) {
      if (Below(mode, e[b], e[a])) {
        const SortEntry t = e[a];
        e[a] = e[b];
        e[b] = t;
      }
    }
  }

  uint32_t k = 0;
  for (KrpListNode *node = l->first; node && k < filled; node = node->next, ++k) {
    node->data = e[k].data;
    node->len = e[k].len;
  }
  KstFreeMem(mem, 0);
  return KST_OK;
}
