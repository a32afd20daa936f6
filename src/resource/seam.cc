// The store seam: obtaining it (one status check), the hand-over from the
// direct side to a server that came up, and the server side.
#include "seam.h"

#include "platform.h"
#include "read_cache.h"
#include "resource.h"

namespace {

// The store's listing below a pattern through the server's plain read.
uint32_t ServerListing(KrpStoreSeam *, const char *pattern, KrpReadOut *out) {
  void *data = nullptr;
  uint32_t size = 0, lw = 0, attr = 0, cons = 0;
  uint32_t rc = KrpStoreKtsReadMt(0, pattern, &data, &size, &lw, &attr, &cons);
  if (rc == 0 && size != 0 && !data) rc = 1;
  if (rc == 0 && size == 0) rc = KRP_ERR_NOT_FOUND;
  if (rc == 0) rc = KrpDeliverListing(out, static_cast<uint8_t *>(data), size);
  KstFreeMem(data, 0);
  return rc;
}

uint32_t ServerReadFirst(KrpStoreSeam *, const char *const *names, const uint32_t *slot_of,
                         uint32_t count, KrpReadOut *out) {
  return KrpCachedReadFirst(names, slot_of, count, out);
}

uint32_t ServerWrite(KrpStoreSeam *, const char *name, void *stored, uint32_t size,
                     uint32_t last_wr, uint32_t attr, uint32_t type) {
  return KrpStoreKtsWriteMt(0, name, stored, size, last_wr, attr, type);
}

uint32_t ServerRemove(KrpStoreSeam *, const char *name) { return KrpStoreKtsDeleteMt(0, name); }

const KrpSeamOps kServerOps = {ServerReadFirst, ServerListing, ServerWrite, ServerRemove};

}  // namespace

extern const KrpSeamOps kKrpDirectSeamOps;  // seam_direct.cc

void KrpSeamUseServer(KrpStoreSeam *s) {
  s->ops = &kServerOps;
  s->direct = false;
}

uint32_t KrpSeamObtain(KrpStoreSeam *s) {
  uint32_t st = MtClientCheckMtStatusAndWaitForServer(0);
  if (st == 0) {
    KrpSeamUseServer(s);
  } else if (st == KRP_ERR_NO_SERVER) {
    s->ops = &kKrpDirectSeamOps;
    s->direct = true;
    st = 0;
  }
  return st;
}

uint32_t KrpSeamHandOver(KrpStoreSeam *s, const char *what) {
  uint32_t st = MtClientCheckMtStatusAndWaitForServer(0);
  if (st == 0) {
    KrpSeamUseServer(s);
    return 0;
  }
  if (st != KRP_ERR_NO_SERVER && st != KRP_ERR_STARTING)
    KstLogPrintf("krp_kts>forceread (%d) MtClientCheckMtStatusAndWaitForServer (%s) 0x%08x",
                 __LINE__, what, st);
  return st;
}
