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
// per item into a scratch array (integers for modes 1 and 2, case-folded
// copies for modes 3 and 4), and exchanges move array entries; the nodes
// receive their new contents at the end, so the list is untouched if the
// scratch array cannot be allocated. KrpListSortCompare computes the same
// order straight from the items; the tests hold the two against each other.
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
// Modes 1 and 2 compare `key`. Modes 3 and 4 compare `folded`, a copy of
// the text with ASCII letters folded to lower case; mode 4 stores each unit
// most significant byte first, so that comparing bytes compares units.
struct SortEntry {
  uint8_t *data;
  uint32_t len;
  uint32_t folded_len;    // bytes in `folded`
  const uint8_t *folded;  // modes 3 and 4; points into one shared block
  int64_t key;            // modes 1 and 2; modes 3 and 4: see SetPrefix
};

// Modes 3 and 4 also keep the first 8 folded bytes in `key`, most
// significant first and padded with zeros, so most comparisons are one
// integer comparison. Padding sorts below every real continuation: mode 3
// text holds no zero byte, and mode 4 text no zero unit (units are whole
// 2-byte pairs, and 8 bytes are exactly 4 of them). Equal prefixes mean equal
// texts when either is shorter than 8 bytes; otherwise the full copies
// decide.
void SetPrefix(SortEntry *e) {
  uint64_t prefix = 0;
  for (uint32_t i = 0; i < 8; ++i) prefix = (prefix << 8) | (i < e->folded_len ? e->folded[i] : 0);
  // Stored biased so that the signed field orders like the unsigned prefix.
  e->key = static_cast<int64_t>(prefix ^ (uint64_t{1} << 63));
}

// Bytes of folded text each item needs in mode 3 or 4.
uint32_t FoldedSize(uint32_t mode, const uint8_t *p, uint32_t len) {
  return mode == KRP_LISTSORT_TEXT_NOCASE ? TextLength(p, len) : 2 * WideLength(p, len);
}

// Fills e->key, or e->folded from `out` (which has room for FoldedSize).
void MakeKey(uint32_t mode, SortEntry *e, uint8_t *out) {
  switch (mode) {
    case KRP_LISTSORT_INTEGER: e->key = KrpListSortIntKey(e->data, e->len); break;
    case KRP_LISTSORT_IPV4: e->key = KrpListSortIpKey(e->data, e->len); break;
    case KRP_LISTSORT_TEXT_NOCASE: {
      const uint32_t n = TextLength(e->data, e->len);
      for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(FoldAscii(e->data[i]));
      e->folded = out;
      e->folded_len = n;
      SetPrefix(e);
      break;
    }
    case KRP_LISTSORT_WIDE_NOCASE: {
      const uint32_t n = WideLength(e->data, e->len);
      for (uint32_t i = 0; i < n; ++i) {
        const uint32_t u = FoldAscii(WideUnit(e->data, i));
        out[2 * i] = static_cast<uint8_t>(u >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(u);
      }
      e->folded = out;
      e->folded_len = 2 * n;
      SetPrefix(e);
      break;
    }
    default: break;
  }
}

template <uint32_t kMode>
inline bool Below(const SortEntry &b, const SortEntry &a) {
  if constexpr (kMode == KRP_LISTSORT_INTEGER || kMode == KRP_LISTSORT_IPV4) {
    return b.key < a.key;
  } else {
    if (b.key != a.key) return b.key < a.key;
    if (b.folded_len <= 8 || a.folded_len <= 8) return b.folded_len < a.folded_len;
    const uint32_t n = b.folded_len < a.folded_len ? b.folded_len : a.folded_len;
    const int c = n ? std::memcmp(b.folded, a.folded, n) : 0;
    return c < 0 || (c == 0 && b.folded_len < a.folded_len);
  }
}

// The exchange sort over the scratch array (see the top of this file).
template <uint32_t kMode>
void ExchangeSort(SortEntry *e, uint32_t n) {
  for (uint32_t a = 0; a < n; ++a) {
    for (uint32_t b = a + 1; b < n; ++b) {
      if (Below<kMode>(e[b], e[a])) {
        const SortEntry t = e[a];
        e[a] = e[b];
        e[b] = t;
      }
    }
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
  switch (mode) {
    case KRP_LISTSORT_INTEGER: {
      const int32_t ka = KrpListSortIntKey(a, alen), kb = KrpListSortIntKey(b, blen);
      return ka < kb ? -1 : ka > kb;
    }
    case KRP_LISTSORT_IPV4: {
      const uint32_t ka = KrpListSortIpKey(a, alen), kb = KrpListSortIpKey(b, blen);
      return ka < kb ? -1 : ka > kb;
    }
    case KRP_LISTSORT_TEXT_NOCASE:
      return CompareText(a, TextLength(a, alen), b, TextLength(b, blen));
    case KRP_LISTSORT_WIDE_NOCASE:
      return CompareWide(a, WideLength(a, alen), b, WideLength(b, blen));
    default: return 0;
  }
}

uint32_t KrpListSortChain(KrpListhelpList *l, uint32_t mode) {
  if (mode < KRP_LISTSORT_INTEGER || mode > KRP_LISTSORT_WIDE_NOCASE) return KST_OK;
  const uint32_t n = l->count;
  if (n < 2) return KST_OK;
  const bool text = mode == KRP_LISTSORT_TEXT_NOCASE || mode == KRP_LISTSORT_WIDE_NOCASE;

  // One block: the entries, then (text modes) the folded copies.
  uint64_t folded_total = 0;
  if (text) {
    for (const KrpListNode *node = l->first; node; node = node->next) {
      folded_total += FoldedSize(mode, node->data, node->len);
    }
  }
  const uint64_t bytes = uint64_t{n} * sizeof(SortEntry) + folded_total;
  if (bytes > UINT32_MAX) return KST_HEAP_FULL;
  void *mem = nullptr;
  if (KstAllocMem(static_cast<uint32_t>(bytes), 0, &mem, nullptr) != KST_OK) return KST_HEAP_FULL;
  SortEntry *e = static_cast<SortEntry *>(mem);
  uint8_t *folded = static_cast<uint8_t *>(mem) + uint64_t{n} * sizeof(SortEntry);

  uint32_t filled = 0;
  for (KrpListNode *node = l->first; node && filled < n; node = node->next, ++filled) {
    e[filled] = SortEntry{node->data, node->len, 0, folded, 0};
    MakeKey(mode, &e[filled], folded);
    folded += e[filled].folded_len;
  }

  switch (mode) {
    case KRP_LISTSORT_INTEGER: ExchangeSort<KRP_LISTSORT_INTEGER>(e, filled); break;
    case KRP_LISTSORT_IPV4: ExchangeSort<KRP_LISTSORT_IPV4>(e, filled); break;
    case KRP_LISTSORT_TEXT_NOCASE: ExchangeSort<KRP_LISTSORT_TEXT_NOCASE>(e, filled); break;
    default: ExchangeSort<KRP_LISTSORT_WIDE_NOCASE>(e, filled); break;
  }

  uint32_t k = 0;
  for (KrpListNode *node = l->first; node && k < filled; node = node->next, ++k) {
    node->data = e[k].data;
    node->len = e[k].len;
  }
  KstFreeMem(mem, 0);
  return KST_OK;
}
