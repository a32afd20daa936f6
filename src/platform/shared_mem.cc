// Named shared memory: a named object whose payload is the caller's region.
//
// Who creates, who removes: any process creates a region with
// KstCreateSharedMem (create-or-open); the last handle closed anywhere, or the
// death of the last holder, ends it (named_object.h). A region that is created
// again after its end starts zeroed. The caller's address is the payload, 64
// bytes into the file; the header before it is never handed out.
#include <new>

#include "handle_registry.h"
#include "kst_alloc.h"
#include "named_object.h"
#include "platform.h"

struct KstSharedMem {
  KstNamedObject *obj;
};

namespace {

uint32_t Publish(KstNamedObject *obj, void **addr, KST_HSHMEM *out) {
  auto *h = KstNew<KstSharedMem>(obj);
  uint32_t rc = h ? KstHandleRegister(h, KstHandleKind::SharedMem) : KST_HEAP_FULL;
  if (rc != KST_OK) {
    KstDelete(h);
    KstObjRelease(obj);
    return rc;
  }
  *addr = obj->payload();
  *out = h;
  return KST_OK;
}

}  // namespace

uint32_t KstCreateSharedMem(const char *name, void **addr, uint32_t size, KST_HSHMEM *out) {
  if (!name || !addr || !out) return KST_ERR_INVALID_PARAMETER;
  *addr = nullptr;
  *out = nullptr;
  if (size == 0) return KST_ERR_INVALID_PARAMETER;
  KstNamedObject *obj = nullptr;
  uint32_t rc = KstObjAcquire(KstObjKind::SharedMem, name, true, size, nullptr, nullptr, &obj,
                              nullptr);
  if (rc != KST_OK) return rc;
  return Publish(obj, addr, out);
}

// The "Global\" prefix names the same object here (named_object.h).
uint32_t KstCreateSharedMemGlobal(const char *name, void **addr, uint32_t size, KST_HSHMEM *out) {
  return KstCreateSharedMem(name, addr, size, out);
}

uint32_t KstOpenSharedMem(const char *name, void **addr, KST_HSHMEM *out) {
  if (!name || !addr || !out) return KST_ERR_INVALID_PARAMETER;
  *addr = nullptr;
  *out = nullptr;
  KstNamedObject *obj = nullptr;
  uint32_t rc = KstObjAcquire(KstObjKind::SharedMem, name, false, 0, nullptr, nullptr, &obj,
                              nullptr);
  if (rc != KST_OK) return rc;
  return Publish(obj, addr, out);
}

uint32_t KstOpenSharedMemGlobal(const char *name, void **addr, KST_HSHMEM *out) {
  return KstOpenSharedMem(name, addr, out);
}

uint32_t KstQuerySharedMemSize(KST_HSHMEM h, uint32_t *size) {
  if (!size) return KST_ERR_INVALID_PARAMETER;
  if (!KstHandleIsLive(h, KstHandleKind::SharedMem)) return KST_ERR_INVALID_HANDLE;
  // A forked child forgot its parent's handles (named_object.h, invariant 8).
  if (h->obj->forgotten) return KST_ERR_INVALID_HANDLE;
  *size = h->obj->payload_size;
  return KST_OK;
}

uint32_t KstFreeSharedMem(void *addr, KST_HSHMEM h) {
  if (!addr || !KstHandleIsLive(h, KstHandleKind::SharedMem)) return KST_ERR_INVALID_PARAMETER;
  if (h->obj->payload() != addr) return KST_ERR_INVALID_PARAMETER;
  // Unregister first: of two threads freeing one handle, one wins, the other
  // gets 87 without touching the record.
  if (!KstHandleUnregister(h, KstHandleKind::SharedMem)) return KST_ERR_INVALID_PARAMETER;
  uint32_t rc = KstObjRelease(h->obj);
  if (rc != KST_OK) {
    // Creation lock not obtained: nothing was released, the handle stays.
    KstHandleRegister(h, KstHandleKind::SharedMem);
    return rc;
  }
  KstDelete(h);
  return KST_OK;
}
