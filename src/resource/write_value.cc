// The stored form of a value and its write to the store: the one place that
// encodes a value, shared by every writer of the resource layer.
//
// Stored value: a 16-byte type-name field ("KRT_TEXT" ... padded with zero
// bytes), then the caller's bytes. TEXT and TRIGGER values get a
// terminating zero appended when their last stored byte is not zero, so an
// empty text is the 16-byte field alone. The store keeps values scrambled;
// the seam (seam.h) scrambles as its side requires.
#include <cstring>
#include <ctime>

#include "platform.h"
#include "resource.h"

uint32_t KrpEncodeStoredValue(uint32_t type, const void *data, uint32_t size, void **out,
                              uint32_t *out_size) {
  if (!out || !out_size || (!data && size)) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  *out_size = 0;
  char field[KRP_TYPE_FIELD_SIZE] = {0};
  if (KrpTypeName(type, field, sizeof field) != 0) return 1;
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  bool add_zero = (type == KRT_TEXT || type == KRT_TRIGGER) && size > 0 && bytes[size - 1] != 0;
  uint64_t total = uint64_t{KRP_TYPE_FIELD_SIZE} + size + (add_zero ? 1 : 0);
  if (total > 0xFFFFFFF0u) return KST_ERR_INVALID_PARAMETER;
  void *p = nullptr;
  uint32_t rc = KstAllocMem(static_cast<uint32_t>(total), 0, &p, nullptr);
  if (rc != 0) {
    KstLogPrintf("krp_set (%d) no malloc 0x%08x (asked for %u)", __LINE__, rc,
                 static_cast<uint32_t>(total));
    return rc;
  }
  uint8_t *b = static_cast<uint8_t *>(p);
  memcpy(b, field, KRP_TYPE_FIELD_SIZE);
  if (size) memcpy(b + KRP_TYPE_FIELD_SIZE, bytes, size);
  if (add_zero) b[total - 1] = 0;
  *out = p;
  *out_size = static_cast<uint32_t>(total);
  return 0;
}

uint32_t KrpWriteEncoded(KrpStoreSeam *seam, const char *name, const KrpWriteValue &v) {
  if (!seam || !name) return KST_ERR_INVALID_PARAMETER;
  void *stored = nullptr;
  uint32_t stored_size = 0;
  uint32_t rc = KrpEncodeStoredValue(v.type, v.data, v.size, &stored, &stored_size);
  if (rc != 0) return rc;
  rc = seam->ops->write(seam, name, stored, stored_size, v.timestamp, v.attr, v.type);
  KstFreeMem(stored, 0);
  return rc;
}

uint32_t KrpWriteStoredValue(const char *name, uint32_t type, const void *data, uint32_t size,
                             uint32_t attr) {
  KrpStoreSeam seam;
  uint32_t rc = KrpSeamObtain(&seam);
  if (rc != 0) return rc;
  const KrpWriteValue v{type, data, size, attr, static_cast<uint32_t>(time(nullptr))};
  return KrpWriteEncoded(&seam, name, v);
}
