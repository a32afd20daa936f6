// The direct side of the store seam: the store file itself, without a
// server (store_maint.h). All names of one lookup are read in one scan.
#include <cstring>

#include "platform.h"
#include "resource.h"
#include "seam.h"
#include "store_maint.h"

namespace {

// Lookups never hold more names than an access walk (130) or a lookup set.
constexpr uint32_t kMaxNames = 132;

uint32_t DirectReadFirst(KrpStoreSeam *s, const char *const *names, const uint32_t *slot_of,
                         uint32_t count, KrpReadOut *out) {
  if (count == 0) return KRP_ERR_NOT_FOUND;
  if (count > kMaxNames) return KST_ERR_INVALID_PARAMETER;
  TsForceName asked[kMaxNames];
  for (uint32_t i = 0; i < count; ++i) asked[i] = TsForceName{names[i], false, false, 0, 0, 0, 0};
  const bool want = out->want_value && (out->buffer || out->alloc);
  void *data = nullptr;
  uint32_t rc = StoreForceReadNames(nullptr, asked, count, &data);
  if (KrpSeamFileHeld(rc)) {
    KstFreeMem(data, 0);
    rc = KrpSeamHandOver(s, names[0]);
    return rc != 0 ? rc : s->ops->read_first(s, names, slot_of, count, out);
  }
  if (rc != 0) {
    KstFreeMem(data, 0);
    return rc;
  }
  // The same walk as a read-multiple reply: the first found name wins; a
  // name without a value but with names below it is a container.
  uint32_t result = KRP_ERR_NOT_FOUND;
  bool data_used = false;
  for (uint32_t i = 0; i < count; ++i) {
    const TsForceName &n = asked[i];
    if (n.found && n.size != 0) {
      // The data handed out belong to the first found name, which is this.
      uint8_t *bytes = data_used ? nullptr : static_cast<uint8_t *>(data);
      data_used = true;
      if (bytes) KstUnscrambleData(KST_SCRAMBLE_KEY, bytes, n.size);
      result = KrpDeliverValue(out, want ? bytes : nullptr, n.size, n.consumer, n.last_wr,
                               n.attr, slot_of[i], n.name);
      break;
    }
    if (n.found) data_used = true;
    if (!n.found && n.has_children) {
      if (out->type_out) *out->type_out = KRP_TYPE_CONTAINER;
      if (out->type == KRP_TYPE_ANY || out->type == KRP_TYPE_CONTAINER) {
        result = KRP_ERR_IS_CONTAINER;
        break;
      }
      result = KRP_ERR_WRONG_TYPE;
    }
  }
  KstFreeMem(data, 0);
  return result;
}

uint32_t DirectListing(KrpStoreSeam *s, const char *pattern, KrpReadOut *out) {
  void *data = nullptr;
  uint32_t size = 0, lw = 0, attr = 0, cons = 0;
  uint32_t rc = StoreForceRead(nullptr, pattern, &data, &size, &lw, &attr, &cons);
  if (KrpSeamFileHeld(rc)) {
    KstFreeMem(data, 0);
    rc = KrpSeamHandOver(s, pattern);
    return rc != 0 ? rc : s->ops->read_listing(s, pattern, out);
  }
  if (rc == 0 && size == 0) rc = KRP_ERR_NOT_FOUND;
  if (rc == 0 && !data) rc = 1;
  if (rc == 0) {
    KstUnscrambleData(KST_SCRAMBLE_KEY, data, size);
    rc = KrpDeliverListing(out, static_cast<uint8_t *>(data), size);
  }
  KstFreeMem(data, 0);
  return rc;
}

// The force write takes scrambled bytes. When the file is held and a server
// has come up, the write is repeated through the server with the stored
// form, and the server's answer is the result.
uint32_t DirectWrite(KrpStoreSeam *s, const char *name, void *stored, uint32_t size,
                     uint32_t last_wr, uint32_t attr, uint32_t type) {
  KstScrambleData(KST_SCRAMBLE_KEY, stored, size);
  uint32_t consumer = type;
  uint32_t rc = StoreForceWrite(nullptr, name, stored, &size, &last_wr, &attr, &consumer);
  // A write on the file itself tells the change feed, whatever its result
  // (a failed write may still have changed the file); a write handed over
  // below is published by the server.
  MtFeedPublishDirect(name);
  if (!KrpSeamFileHeld(rc)) return rc;
  KstUnscrambleData(KST_SCRAMBLE_KEY, stored, size);
  rc = KrpSeamHandOver(s, name);
  return rc != 0 ? rc : s->ops->write(s, name, stored, size, last_wr, attr, type);
}

// Deleting never touches the store file directly.
uint32_t DirectRemove(KrpStoreSeam *, const char *) { return KRP_ERR_NO_SERVER; }

}  // namespace

extern const KrpSeamOps kKrpDirectSeamOps = {DirectReadFirst, DirectListing, DirectWrite,
                                             DirectRemove};
