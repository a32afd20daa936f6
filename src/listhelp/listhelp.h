// The list helper: an in-memory list of byte strings behind an opaque handle,
// parsed from and serialised to the shared list format (list_format.h).
//
// Design note
// -----------
// A handle is a pointer to a KrpListRecord, registered in the process-wide
// handle registry under KstHandleKind::List from dll_KrpListhelpInit until
// dll_KrpListhelpExit. Every exported function asks the registry before it
// reads the record, then checks the check word; a null, all-ones, exited or
// foreign pointer, or a record whose check word was overwritten, gives 6.
//
// Invariants (hold between any two calls on a live handle):
// 1. check == KRP_LIST_CHECK.
// 2. first..last is a doubly linked chain of exactly `count` nodes:
//    first->prev == null, last->next == null, a->next->prev == a.
//    first == null <=> last == null <=> count == 0.
// 3. Every node owns a heap block of exactly `len` bytes, len >= 1: empty
//    items are never stored (the parser drops them, insert and change refuse
//    size 0).
// 4. cursor is null or a node of the chain; cursor_pos is its 1-based
//    position (0 when the list is empty). Walking by position never trusts
//    `count` alone: a chain that ends early gives 0x370005.
// 5. read_only is 1 after dll_KrpListhelpAddListRange (the list holds only a
//    range of the buffer, so serialising or editing it would silently drop
//    items) and 0 after dll_KrpListhelpAddList and on a new list.
//
// Cursor transitions:
//   AddList / AddListRange / Insert / Delete / Sort -> first item (pos 1)
//   GetFirstItem -> past the first item; GetNextItem -> past the item read
//   a 0x1005 answer leaves the cursor on the item it could not return
//   GetItem / ChangeItem / GetList / GetCount -> unchanged
//
// Arithmetic: item lengths and counts are 32-bit; every sum of positions and
// lengths (parsing, serialised size, appended size) is done in 64 bits and a
// result that does not fit 32 bits is refused with 87.
//
// Sorting exchanges contents (bytes and length) between nodes, which keep
// their places. The order is defined by this exchange sort: for each
// position A from the first, scan the positions after A; when one compares
// below A, exchange the two and scan again from just after A; move on when a
// scan finds nothing. Items that compare equal therefore end in the order
// this procedure gives, which is not a stable sort's order; see sort.cc for
// why continuing the scan after an exchange is the same procedure.
//
// No locks: a handle belongs to one caller at a time. Nothing here throws;
// memory comes from KstAllocMem and allocation failures are 8192.
#ifndef KRP_LISTHELP_LISTHELP_H
#define KRP_LISTHELP_LISTHELP_H

#include <cstdint>

#include "krplib.h"

constexpr uint32_t KRP_LIST_CHECK = 0x1B254;
// A damaged list (the item chain ends before a position it should hold)
// gives KRP_ERR_MALFORMED_VALUE, mode 0 of a sort KRP_ERR_INVALID_SORT_MODE
// (krplib.h).

struct KrpListNode {
  KrpListNode *prev;
  KrpListNode *next;
  uint8_t *data;  // KstAllocMem block of exactly len bytes
  uint32_t len;
};

// The record behind a KRP_HLIST. The first six fields are in the order the
// handle has always had; `last` only makes appending O(1).
struct KrpListhelpList {
  uint32_t check;
  KrpListNode *first;
  uint32_t count;
  KrpListNode *cursor;
  uint32_t cursor_pos;
  uint32_t read_only;
  KrpListNode *last;
};

// ---- sort comparison (sort.cc), exposed for tests --------------------------
// Mode 1 key: the item read as a 32-bit strtol(base 10) would read it:
// leading white space, an optional sign, decimal digits; saturates at
// INT32_MIN / INT32_MAX; no number gives 0. Reads up to the first zero byte
// and never past len.
int32_t KrpListSortIntKey(const uint8_t *p, uint32_t len);
// Mode 2 key: the first 15 characters (up to a zero byte, never past len)
// as four runs of decimal digits, each run ending at the first non-digit
// (which is skipped); each run accumulates in 32 bits with wrap, and the key
// is r1 << 24 + r2 << 16 + r3 << 8 + r4 in 32 bits. Missing runs are 0.
uint32_t KrpListSortIpKey(const uint8_t *p, uint32_t len);
// <0, 0, >0: how item a compares with item b in `mode` (1 to 4; any other
// mode compares everything equal).
int KrpListSortCompare(uint32_t mode, const uint8_t *a, uint32_t alen, const uint8_t *b,
                       uint32_t blen);
// Sorts the contents of the chain as described above. 0 or 8192 (nothing
// changed). The caller has checked the handle and the mode.
uint32_t KrpListSortChain(KrpListhelpList *l, uint32_t mode);

#endif  // KRP_LISTHELP_LISTHELP_H
