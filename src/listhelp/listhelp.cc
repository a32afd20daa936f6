// The exported list helper functions (design note in listhelp.h).
#include "listhelp.h"

#include <cstring>

#include "handle_registry.h"
#include "list_format.h"
#include "platform.h"

namespace {

// The registry is asked first, so a stale or foreign pointer is never read;
// the check word catches a live record that was overwritten.
KrpListhelpList *LiveList(KRP_HLIST h) {
  if (h == nullptr || reinterpret_cast<uintptr_t>(h) == UINTPTR_MAX) return nullptr;
  if (!KstHandleIsLive(h, KstHandleKind::List)) return nullptr;
  if (h->check != KRP_LIST_CHECK) return nullptr;
  return h;
}

void FreeNode(KrpListNode *n) {
  KstFreeMem(n->data, 0);
  KstFreeMem(n, 0);
}

// A new unlinked node holding a copy of data[len] (len >= 1).
uint32_t NewNode(const void *data, uint32_t len, KrpListNode **out) {
  void *mem = nullptr;
  if (KstAllocMem(sizeof(KrpListNode), 0, &mem, nullptr) != KST_OK) return KST_HEAP_FULL;
  KrpListNode *n = static_cast<KrpListNode *>(mem);
  void *bytes = nullptr;
  if (KstAllocMem(len, 0, &bytes, nullptr) != KST_OK) {
    KstFreeMem(n, 0);
    return KST_HEAP_FULL;
  }
  std::memcpy(bytes, data, len);
  n->prev = n->next = nullptr;
  n->data = static_cast<uint8_t *>(bytes);
  n->len = len;
  *out = n;
  return KST_OK;
}

void ResetCursor(KrpListhelpList *l) {
  l->cursor = l->first;
  l->cursor_pos = l->first ? 1 : 0;
}

void FreeItems(KrpListhelpList *l) {
  KrpListNode *n = l->first;
  while (n) {
    KrpListNode *next = n->next;
    FreeNode(n);
    n = next;
  }
  l->first = l->last = nullptr;
  l->count = 0;
  ResetCursor(l);
}

void LinkAtEnd(KrpListhelpList *l, KrpListNode *n) {
  n->prev = l->last;
  n->next = nullptr;
  if (l->last) {
    l->last->next = n;
  } else {
    l->first = n;
  }
  l->last = n;
  ++l->count;
}

void LinkBefore(KrpListhelpList *l, KrpListNode *at, KrpListNode *n) {
  n->next = at;
  n->prev = at->prev;
  if (at->prev) {
    at->prev->next = n;
  } else {
    l->first = n;
  }
  at->prev = n;
  ++l->count;
}

void LinkAfter(KrpListhelpList *l, KrpListNode *at, KrpListNode *n) {
  if (at->next) {
    LinkBefore(l, at->next, n);
  } else {
    LinkAtEnd(l, n);
  }
}

// The node at a 1-based position within 1..count; 0x370005 when the chain
// ends first.
uint32_t NodeAt(const KrpListhelpList *l, uint32_t position, KrpListNode **out) {
  KrpListNode *n = l->first;
  for (uint32_t i = 1; n && i < position; ++i) n = n->next;
  if (!n) return KRP_ERR_MALFORMED_VALUE;
  *out = n;
  return KST_OK;
}

// The read protocol shared by the three item readers.
uint32_t CopyItemOut(const KrpListNode *n, void *buf, uint32_t *size) {
  if (buf && *size < n->len) {
    *size = n->len;
    return KST_ERR_BUFFER_TOO_SMALL;
  }
  *size = n->len;
  if (buf) std::memcpy(buf, n->data, n->len);
  return KST_OK;
}

// Replaces the list by the non-empty items first.. of buf (at most maximum).
// Items read before a fault stay; the cursor ends on the first item.
uint32_t Fill(KrpListhelpList *l, const void *buf, uint32_t size, uint32_t first,
              uint32_t maximum) {
  FreeItems(l);
  KrpListReader r;
  KrpListReaderInit(&r, buf, size);
  KrpListItemRef item;
  uint32_t number = 0;  // of the non-empty items seen
  uint32_t rc;
  while ((rc = KrpListReaderNext(&r, &item)) == KST_OK) {
    if (item.len == 0) continue;
    ++number;
    if (number < first || l->count >= maximum) continue;
    KrpListNode *n = nullptr;
    rc = NewNode(item.data, item.len, &n);
    if (rc != KST_OK) break;
    LinkAtEnd(l, n);
  }
  ResetCursor(l);
  return rc == KST_ERR_HANDLE_EOF ? KST_OK : rc;
}

}  // namespace

extern "C" KRP_API uint32_t dll_KrpListhelpInit(KRP_HLIST *out, void * /*reserved*/) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  void *mem = nullptr;
  if (KstAllocMem(sizeof(KrpListhelpList), 0, &mem, nullptr) != KST_OK) return KST_HEAP_FULL;
  KrpListhelpList *l = static_cast<KrpListhelpList *>(mem);
  *l = KrpListhelpList{KRP_LIST_CHECK, nullptr, 0, nullptr, 0, 0, nullptr};
  const uint32_t rc = KstHandleRegister(l, KstHandleKind::List);
  if (rc != KST_OK) {
    KstFreeMem(l, 0);
    return rc;
  }
  *out = l;
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpExit(KRP_HLIST *handle) {
  if (!handle) return KST_ERR_INVALID_PARAMETER;
  KrpListhelpList *l = LiveList(*handle);
  if (!l || !KstHandleUnregister(l, KstHandleKind::List)) return KST_ERR_INVALID_HANDLE;
  FreeItems(l);
  l->check = 0;
  KstFreeMem(l, 0);
  *handle = nullptr;
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpAddList(KRP_HLIST h, const void *buf, uint32_t size) {
  KrpListhelpList *l = LiveList(h);
  if (!l) return KST_ERR_INVALID_HANDLE;
  if (!buf) return KST_ERR_INVALID_PARAMETER;
  l->read_only = 0;
  return Fill(l, buf, size, 1, UINT32_MAX);
}

extern "C" KRP_API uint32_t dll_KrpListhelpAddListRange(KRP_HLIST h, const void *buf,
                                                        uint32_t size, uint32_t first,
                                                        uint32_t maximum) {
  KrpListhelpList *l = LiveList(h);
  if (!l) return KST_ERR_INVALID_HANDLE;
  if (!buf || first == 0 || maximum == 0) return KST_ERR_INVALID_PARAMETER;
  // Read-only whatever the outcome: the content is no longer the whole list.
  l->read_only = 1;
  return Fill(l, buf, size, first, maximum);
}

extern "C" KRP_API uint32_t dll_KrpListhelpGetCount(KRP_HLIST h, uint32_t *count) {
  KrpListhelpList *l = LiveList(h);
  if (!l) return KST_ERR_INVALID_HANDLE;
  if (!count) return KST_ERR_INVALID_PARAMETER;
  *count = l->count;
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpGetFirstItem(KRP_HLIST h, void *buf,
                                                        uint32_t *size) {
  KrpListhelpList *l = LiveList(h);
  if (!l) return KST_ERR_INVALID_HANDLE;
  if (!size) return KST_ERR_INVALID_PARAMETER;
  if (!l->first) {
    l->cursor = nullptr;
    l->cursor_pos = 0;
    *size = 0;
    return KST_ERR_HANDLE_EOF;
  }
  l->cursor = l->first;
  l->cursor_pos = 1;
  const uint32_t rc = CopyItemOut(l->cursor, buf, size);
  if (rc != KST_OK) return rc;
  l->cursor = l->cursor->next;
  ++l->cursor_pos;
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpGetNextItem(KRP_HLIST h, void *buf, uint32_t *size) {
  KrpListhelpList *l = LiveList(h);
  if (!l) return KST_ERR_INVALID_HANDLE;
  if (!size) return KST_ERR_INVALID_PARAMETER;
  if (!l->cursor) return KST_ERR_HANDLE_EOF;
  const uint32_t rc = CopyItemOut(l->cursor, buf, size);
  if (rc != KST_OK) return rc;
  l->cursor = l->cursor->next;
  ++l->cursor_pos;
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpGetItem(KRP_HLIST h, uint32_t position, void *buf,
                                                   uint32_t *size) {
  KrpListhelpList *l = LiveList(h);
  if (!l) return KST_ERR_INVALID_HANDLE;
  if (!size || position == 0) return KST_ERR_INVALID_PARAMETER;
  if (position > l->count) return KST_ERR_HANDLE_EOF;
  KrpListNode *n = nullptr;
  const uint32_t rc = NodeAt(l, position, &n);
  if (rc != KST_OK) return rc;
  return CopyItemOut(n, buf, size);
}

extern "C" KRP_API uint32_t dll_KrpListhelpInsertItem(KRP_HLIST h, uint32_t position,
                                                      const void *data, uint32_t size) {
  KrpListhelpList *l = LiveList(h);
  if (!l || l->read_only) return KST_ERR_INVALID_HANDLE;
  if (!data || size == 0) return KST_ERR_INVALID_PARAMETER;
  if (l->count == UINT32_MAX) return KST_HEAP_FULL;  // the count cannot grow
  KrpListNode *n = nullptr;
  uint32_t rc = NewNode(data, size, &n);
  if (rc != KST_OK) return rc;
  if (!l->first || position >= l->count) {
    LinkAtEnd(l, n);
  } else if (position == 0) {
    LinkBefore(l, l->first, n);
  } else {
    KrpListNode *at = nullptr;
    rc = NodeAt(l, position, &at);
    if (rc != KST_OK) {
      FreeNode(n);
      return rc;
    }
    LinkAfter(l, at, n);
  }
  ResetCursor(l);
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpDeleteItem(KRP_HLIST h, uint32_t position) {
  KrpListhelpList *l = LiveList(h);
  if (!l || l->read_only) return KST_ERR_INVALID_HANDLE;
  if (position == 0 || position > l->count) return KST_ERR_INVALID_PARAMETER;
  KrpListNode *n = nullptr;
  const uint32_t rc = NodeAt(l, position, &n);
  if (rc != KST_OK) return rc;
  if (n->prev) {
    n->prev->next = n->next;
  } else {
    l->first = n->next;
  }
  if (n->next) {
    n->next->prev = n->prev;
  } else {
    l->last = n->prev;
  }
  --l->count;
  FreeNode(n);
  ResetCursor(l);
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpChangeItem(KRP_HLIST h, uint32_t position,
                                                      const void *data, uint32_t size) {
  KrpListhelpList *l = LiveList(h);
  if (!l || l->read_only) return KST_ERR_INVALID_HANDLE;
  if (position == 0 || position > l->count || !data || size == 0) {
    return KST_ERR_INVALID_PARAMETER;
  }
  KrpListNode *n = nullptr;
  uint32_t rc = NodeAt(l, position, &n);
  if (rc != KST_OK) return rc;
  void *bytes = nullptr;
  if (KstAllocMem(size, 0, &bytes, nullptr) != KST_OK) return KST_HEAP_FULL;
  std::memcpy(bytes, data, size);
  KstFreeMem(n->data, 0);
  n->data = static_cast<uint8_t *>(bytes);
  n->len = size;
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpGetList(KRP_HLIST h, void *buf, uint32_t *size) {
  KrpListhelpList *l = LiveList(h);
  if (!l) return KST_ERR_INVALID_HANDLE;
  if (!size) return KST_ERR_INVALID_PARAMETER;
  if (l->read_only) return KST_ERR_INVALID_HANDLE;
  uint64_t need = KRP_LIST_TERMINATOR_SIZE;
  for (const KrpListNode *n = l->first; n; n = n->next) need += KrpListItemSize(n->len);
  if (need > UINT32_MAX) return KST_ERR_INVALID_PARAMETER;
  if (buf && *size < need) {
    *size = static_cast<uint32_t>(need);
    return KST_ERR_BUFFER_TOO_SMALL;
  }
  *size = static_cast<uint32_t>(need);
  if (buf) {
    uint8_t *out = static_cast<uint8_t *>(buf);
    for (const KrpListNode *n = l->first; n; n = n->next) out = KrpListWriteItem(out, n->data, n->len);
    KrpListWriteTerminator(out);
  }
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpSort(KRP_HLIST h, uint32_t mode) {
  KrpListhelpList *l = LiveList(h);
  if (!l || l->read_only) return KST_ERR_INVALID_HANDLE;
  if (mode == 0) return KRP_ERR_INVALID_SORT_MODE;
  const uint32_t rc = KrpListSortChain(l, mode);
  if (rc != KST_OK) return rc;
  ResetCursor(l);
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpAddListElementToResource(
    const void *list, uint32_t list_size, const void *element, uint32_t element_size,
    void **out, uint32_t *out_size) {
  if (!list || !element || element_size == 0 || !out || !out_size) {
    return KST_ERR_INVALID_PARAMETER;
  }
  // Everything up to the end of the last item is kept as it is; only the
  // separators and the terminator after it are rewritten.
  uint32_t content = 0;
  uint32_t rc = KrpListContentEnd(list, list_size, &content);
  if (rc != KST_OK) return rc;
  const uint64_t need = (content ? uint64_t{content} + 2 : 0) + KrpListItemSize(element_size) +
                        KRP_LIST_TERMINATOR_SIZE;
  if (need > UINT32_MAX) return KST_ERR_INVALID_PARAMETER;
  void *mem = nullptr;
  if (KstAllocMem(static_cast<uint32_t>(need), 0, &mem, nullptr) != KST_OK) return KST_HEAP_FULL;
  uint8_t *p = static_cast<uint8_t *>(mem);
  if (content) {
    std::memcpy(p, list, content);
    p += content;
    *p++ = '\r';
    *p++ = '\n';
  }
  p = KrpListWriteItem(p, element, element_size);
  KrpListWriteTerminator(p);
  *out = mem;
  *out_size = static_cast<uint32_t>(need);
  return KST_OK;
}

extern "C" KRP_API uint32_t dll_KrpListhelpGetCountFromResource(const void *buf, uint32_t size,
                                                               uint32_t *count) {
  if (!buf || size == 0 || !count) return KST_ERR_INVALID_PARAMETER;
  return KrpListCountItems(buf, size, count);
}
