// The one seam between the resource layer and the store: a call obtains it
// once, by one service status check, and every store operation of that call
// (reads, object information, writes, deletes) goes through it.
//
// Design note
// -----------
//   server   requests through the store service (the client calls of
//            mtclient.h): a plain read for one name, read-multiple blocks
//            for several, the service's write and delete.
//   direct   the store file itself (store_maint.h): all names of one
//            lookup in ONE scan of the file (StoreForceReadNames), which
//            also tells whether a name has names below it, so a container
//            is recognised exactly as the server recognises it; the force
//            write. Deleting is refused (0x141001): a delete needs a server.
//
// Hand-over: a direct operation that finds the store file held (5 or 32)
// asks the service status again, waiting. When a server has come up
// meanwhile the seam becomes a server seam and the same operation is
// repeated through it (a write included: its result is the server's, never
// 0 for a value that was not written); otherwise the status code is the
// result.
//
// Invariants
// 1. A seam holds no lock and no resource; it may be copied and dropped.
// 2. Both sides answer with the same codes for the same store content:
//    0x370001 none of the names exists; 0x370010 a name without a value has
//    names below it (types 9 and 10) and 0x370002 for a value type;
//    0x1005; 1 an inconsistent reply or stored object.
// 3. Values are handed to the seam in their stored form (type field +
//    value, not scrambled); each side scrambles as its path requires.
#ifndef KRP_RESOURCE_SEAM_H
#define KRP_RESOURCE_SEAM_H

#include <cstdint>

struct KrpReadOut;
struct KrpStoreSeam;

struct KrpSeamOps {
  // The first existing name of names[0..count) in order; slot_of[i] is the
  // lookup slot of names[i] (from-default flag, "wr" access text).
  uint32_t (*read_first)(KrpStoreSeam *s, const char *const *names, const uint32_t *slot_of,
                         uint32_t count, KrpReadOut *out);
  // The store's listing below a pattern ("name.*"), handed out unchanged.
  // 0x370001 when nothing lies below it.
  uint32_t (*read_listing)(KrpStoreSeam *s, const char *pattern, KrpReadOut *out);
  // Writes one object. `stored` is the stored form (not scrambled); the
  // seam may scramble it in place.
  uint32_t (*write)(KrpStoreSeam *s, const char *name, void *stored, uint32_t size,
                    uint32_t last_wr, uint32_t attr, uint32_t type);
  // Deletes one object, or every object below a pattern ending in "*".
  uint32_t (*remove)(KrpStoreSeam *s, const char *name);
};

struct KrpStoreSeam {
  const KrpSeamOps *ops = nullptr;
  bool direct = false;
  // A server seam taken on the recent check's word alone (KrpSeamObtainForRead):
  // it may answer from the read cache; its first request runs the full check
  // and may turn it into a direct seam. Never set while `direct` is.
  bool unconfirmed = false;
};

// One status check (waiting): 0 with a server or a direct seam; any status
// code other than 0 and 0x141001 is the result.
uint32_t KrpSeamObtain(KrpStoreSeam *s);
// For reads: when a full check admitted this process moments ago
// (MtClientRecentlyAdmitted), an unconfirmed server seam at no cost, else
// KrpSeamObtain. Callers that look at `direct` before their first seam
// operation must use KrpSeamObtain.
uint32_t KrpSeamObtainForRead(KrpStoreSeam *s);
// The server seam, for callers that know a server runs.
void KrpSeamUseServer(KrpStoreSeam *s);
// After a direct operation met the file held (5 or 32): 0 when the seam
// is now a server seam (the caller repeats its operation), else the status
// code (logged when it is neither 0x141001 nor 0x370012; `what` names the
// operation in the log line).
uint32_t KrpSeamHandOver(KrpStoreSeam *s, const char *what);

// True for the results that mean the store file is held by someone else.
inline bool KrpSeamFileHeld(uint32_t rc) { return rc == 5 || rc == 32; }

#endif  // KRP_RESOURCE_SEAM_H
