// The store seam: obtaining it (one status check), the hand-over from the
// direct side to a server that came up, and the server side.
#include "seam.h"

#include "platform.h"
#include "read_cache.h"
#include "resource.h"

namespace {

// A seam admitted by the recent check runs the full status check before its
// first request; afterwards it is a plain server or direct seam, and the
// operation that confirmed it goes on through whichever it became.
uint32_t Confirm(KrpStoreSeam *s) {
  s->unconfirmed = false;
  return KrpSeamObtain(s);
}

// The store's listing below a pattern through the server's plain read.
uint32_t ServerListing(KrpStoreSeam *s, const char *pattern, KrpReadOut *out) {
  if (s->unconfirmed) {
    const uint32_t rc = Confirm(s);
    return rc != 0 ? rc : s->ops->read_listing(s, pattern, out);
  }
  void *data = nullptr;
  uint32_t size = 0, lw = 0, attr = 0, cons = 0;
  uint32_t rc = KrpStoreKtsReadMt(0, pattern, &data, &size, &lw, &attr, &cons);
  if (rc == 0 && size != 0 && !data) rc = 1;
  if (rc == 0 && size == 0) rc = KRP_ERR_NOT_FOUND;
  if (rc == 0) rc = KrpDeliverListing(out, static_cast<uint8_t *>(data), size);
  KstFreeMem(data, 0);
  return rc;
}

// An unconfirmed seam may answer from the cache without any system call;
// only a miss pays for the full check.
uint32_t ServerReadFirst(KrpStoreSeam *s, const char *const *names, const uint32_t *slot_of,
                         uint32_t count, KrpReadOut *out) {
  if (!s->unconfirmed) return KrpCachedReadFirst(names, slot_of, count, out);
  const uint32_t hit = KrpCacheLookup(names, slot_of, count, out);
  if (hit != kKrpCacheMiss) return hit;
  const uint32_t rc = Confirm(s);
  if (rc != 0) return rc;
  if (s->direct) return s->ops->read_first(s, names, slot_of, count, out);
  return KrpCacheReadAndKeep(names, slot_of, count, out);
}

uint32_t ServerWrite(KrpStoreSeam *s, const char *name, void *stored, uint32_t size,
                     uint32_t last_wr, uint32_t attr, uint32_t type) {
  if (s->unconfirmed) {
    const uint32_t rc = Confirm(s);
    return rc != 0 ? rc : s->ops->write(s, name, stored, size, last_wr, attr, type);
  }
  return KrpStoreKtsWriteMt(0, name, stored, size, last_wr, attr, type);
}

uint32_t ServerRemove(KrpStoreSeam *s, const char *name) {
  if (s->unconfirmed) {
    const uint32_t rc = Confirm(s);
    return rc != 0 ? rc : s->ops->remove(s, name);
  }
  return KrpStoreKtsDeleteMt(0, name);
}

const KrpSeamOps kServerOps = {ServerReadFirst, ServerListing, ServerWrite, ServerRemove};

}  // namespace

extern const KrpSeamOps kKrpDirectSeamOps;  // seam_direct.cc

void KrpSeamUseServer(KrpStoreSeam *s) {
  s->ops = &kServerOps;
  s->direct = false;
  s->unconfirmed = false;
}

uint32_t KrpSeamObtainForRead(KrpStoreSeam *s) {
  if (!MtClientRecentlyAdmitted()) return KrpSeamObtain(s);
  KrpSeamUseServer(s);
  s->unconfirmed = true;
  return 0;
}

uint32_t KrpSeamObtain(KrpStoreSeam *s) {
  uint32_t st = MtClientCheckMtStatusAndWaitForServer(0);
  if (st == 0) {
    KrpSeamUseServer(s);
  } else if (st == KRP_ERR_NO_SERVER) {
    s->ops = &kKrpDirectSeamOps;
    s->direct = true;
    s->unconfirmed = false;
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
