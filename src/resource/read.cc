// Reading resources: the lookup of the first existing name of a request
// through the server (one plain read or one read-multiple block) or on the
// store file, and the exported read functions built on it.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform.h"
#include "resource.h"
#include "store.h"
#include "store_maint.h"

namespace {

uint32_t Alloc(uint32_t size, void **out, int line) {
  uint32_t rc = KstAllocMem(size, 0, out, nullptr);
  if (rc != 0) {
    if (rc == KST_HEAP_FULL)
      KstLogPrintf("krp_kts(%d) no malloc 0x%08x (asked for %u)", line, rc, size);
    else
      KstLogPrintf("krp_kts(%d) no malloc 0x%08x", line, rc);
    *out = nullptr;
  }
  return rc;
}

// Hands one found value to the caller. `stored` is the unscrambled object
// data (16-byte type field + value) of `stored_size` bytes, or null when no
// value was sent. Checks the type, the size protocol, and copies.
uint32_t Deliver(KrpReadOut *out, const uint8_t *stored, uint32_t stored_size,
                 uint32_t consumer, uint32_t last_wr, uint32_t attr, uint32_t slot,
                 const char *name) {
  if (stored_size < KRP_TYPE_FIELD_SIZE) {
    KstLogPrintf("krp_kts (%d) something seriously wrong with sizeout from store for '%s' "
                 "(totbufsize %u) 0x%08x",
                 __LINE__, name, stored_size, 1u);
    return 1;
  }
  uint32_t vsize = stored_size - KRP_TYPE_FIELD_SIZE;
  if (out->type != 0 && out->type != KRP_TYPE_ANY && out->type != consumer)
    return KRP_ERR_WRONG_TYPE;
  bool copy = out->want_value && (out->buffer || out->alloc);
  if (copy && !stored) {
    KstLogPrintf("krp_kts (%d) all says resource was found, but no buffer was returned from "
                 "store -> returning ERROR! for '%s' 0x%08x",
                 __LINE__, name, 1u);
    return 1;
  }
  const uint8_t *value = stored ? stored + KRP_TYPE_FIELD_SIZE : nullptr;
  if (copy && out->alloc) {
    void *p = nullptr;
    uint32_t rc = Alloc(vsize ? vsize : 1, &p, __LINE__);
    if (rc != 0) return rc;
    if (vsize) memcpy(p, value, vsize);
    else static_cast<uint8_t *>(p)[0] = 0;
    *out->alloc = p;
  } else if (copy) {
    if (vsize > *out->size) {
      *out->size = vsize;
      return KST_ERR_BUFFER_TOO_SMALL;
    }
    if (vsize) memcpy(out->buffer, value, vsize);
    else if (consumer == KRT_TEXT && *out->size > 0) static_cast<uint8_t *>(out->buffer)[0] = 0;
  }
  *out->size = vsize;
  if (out->type_out) *out->type_out = consumer;
  if (out->attrs) {
    out->attrs->timestamp = last_wr;
    out->attrs->attributes = attr;
    if (slot == KRP_SLOT_DEFAULT_LOCALIZED || slot == KRP_SLOT_DEFAULT)
      out->attrs->attributes |= KRP_ATTR_FROM_DEFAULT;
  }
  if (out->access && (slot == KRP_SLOT_LOCALIZED || slot == KRP_SLOT_DEFAULT_LOCALIZED)) {
    out->access[0] = 'w';
    out->access[1] = 'r';
    out->access[2] = 0;
  }
  return 0;
}

// Hands a store listing to the caller unchanged (type 10).
uint32_t DeliverListing(KrpReadOut *out, const uint8_t *list, uint32_t len) {
  if (out->want_value && out->alloc) {
    void *p = nullptr;
    uint32_t rc = Alloc(len ? len : 1, &p, __LINE__);
    if (rc != 0) return rc;
    if (len) memcpy(p, list, len);
    *out->alloc = p;
  } else if (out->want_value && out->buffer) {
    if (len > *out->size) {
      *out->size = len;
      return KST_ERR_BUFFER_TOO_SMALL;
    }
    if (len) memcpy(out->buffer, list, len);
  }
  *out->size = len;
  if (out->type_out) *out->type_out = KRP_TYPE_CONTAINER;
  if (out->attrs) *out->attrs = KrpAttributes{0, 0};
  return 0;
}

// One name through the server's plain read.
uint32_t ReadOne(const char *name, uint32_t slot, KrpReadOut *out) {
  void *data = nullptr;
  uint32_t size = 0, lw = 0, attr = 0, cons = 0;
  bool want = out->want_value && (out->buffer || out->alloc);
  uint32_t rc = KrpStoreKtsReadMt(0, name, want ? &data : nullptr, &size, &lw, &attr, &cons);
  if (rc == KRP_ERR_IS_CONTAINER) {
    KstFreeMem(data, 0);
    if (out->type_out) *out->type_out = KRP_TYPE_CONTAINER;
    return (out->type == KRP_TYPE_ANY || out->type == KRP_TYPE_CONTAINER) ? rc
                                                                           : KRP_ERR_WRONG_TYPE;
  }
  if (rc != 0 || size == 0) {
    KstFreeMem(data, 0);
    return rc != 0 ? rc : KRP_ERR_NOT_FOUND;
  }
  rc = Deliver(out, static_cast<uint8_t *>(data), size, cons, lw, attr, slot, name);
  KstFreeMem(data, 0);
  return rc;
}

// Sends names[first..] (as many as fit one block) and walks the reply.
// *next receives the index of the first name not sent.
uint32_t ReadBlock(const char *const *names, const uint32_t *slot_of, uint32_t count,
                   uint32_t first, uint32_t *next, KrpReadOut *out) {
  bool want = out->want_value && (out->buffer || out->alloc);
  uint64_t need = kTsMultiHeaderSize;
  uint32_t last = first;
  for (; last < count; ++last) {
    // Lookup names hold at most KRP_NAME_MAX characters; a block never
    // exceeds the request block.
    uint64_t item = TsMultiItemLength(static_cast<uint32_t>(strlen(names[last])));
    if (need + item > krp::proto::kRequestBlockSize && last > first) break;
    need += item;
  }
  *next = last;
  void *mem = nullptr;
  uint32_t rc = Alloc(static_cast<uint32_t>(need), &mem, __LINE__);
  if (rc != 0) return rc;
  uint8_t *block = static_cast<uint8_t *>(mem);
  TsMultiBegin(block, last - first, static_cast<uint32_t>(need));
  uint8_t *item = block + kTsMultiHeaderSize;
  for (uint32_t i = first; i < last; ++i)
    item += TsMultiPutItem(item, names[i], static_cast<uint32_t>(strlen(names[i])), !want);
  void *data = nullptr;
  uint32_t data_size = 0;
  rc = KrpStoreKtsReadMultipleMt(0, block, &data, &data_size);
  if (rc != 0) {
    KstFreeMem(data, 0);
    KstFreeMem(block, 0);
    return rc;
  }
  const uint8_t *d = static_cast<uint8_t *>(data);
  uint32_t result = KRP_ERR_NOT_FOUND;
  item = block + kTsMultiHeaderSize;
  for (uint32_t i = first; i < last; ++i) {
    const TsMultiReply reply = TsMultiGetReply(item);
    uint32_t ires = reply.result, isize = reply.size;
    uint32_t lw = reply.last_wr, attr = reply.attr, cons = reply.consumer;
    uint32_t off = reply.data_offset;
    item += TsMultiItemLength(static_cast<uint32_t>(strlen(names[i])));
    if (ires == KRP_ERR_IS_CONTAINER) {
      if (out->type_out) *out->type_out = KRP_TYPE_CONTAINER;
      if (out->type == KRP_TYPE_ANY || out->type == KRP_TYPE_CONTAINER) {
        result = KRP_ERR_IS_CONTAINER;
        break;
      }
      result = KRP_ERR_WRONG_TYPE;
      continue;
    }
    if (ires == KRP_ERR_NOT_FOUND || (ires == 0 && isize == 0)) continue;
    if (ires != 0) {
      // The object exists but could not be read (digest, read failure):
      // the walk ends here rather than falling back to a default.
      result = ires;
      break;
    }
    if (isize == kTsItemInfoOnly) continue;
    const uint8_t *stored = nullptr;
    if (want && d) {
      if (static_cast<uint64_t>(off) + isize > data_size) {
        KstLogPrintf("krp_kts (%d) reply for '%s' lies outside the data (offset %u size %u of "
                     "%u) 0x%08x",
                     __LINE__, names[i], off, isize, data_size, 1u);
        result = 1;
        break;
      }
      stored = d + off;
    }
    result = Deliver(out, stored, isize, cons, lw, attr, slot_of[i], names[i]);
    break;
  }
  KstFreeMem(data, 0);
  KstFreeMem(block, 0);
  return result;
}

// The direct read of one name: unscrambled data (caller frees) and words.
uint32_t DirectRead(const char *name, void **data, uint32_t *size, uint32_t *lw, uint32_t *attr,
                    uint32_t *cons) {
  *data = nullptr;
  *size = 0;
  uint32_t rc = StoreForceRead(nullptr, name, data, size, lw, attr, cons);
  if (rc != 0) {
    KstFreeMem(*data, 0);
    *data = nullptr;
    *size = 0;
    return rc;
  }
  if (*data && *size) KstUnscrambleData(KST_SCRAMBLE_KEY, *data, *size);
  return 0;
}

// forceread: the direct-mode lookup. *switched is set when the store file
// was held and a server has come up; the caller then goes on in server mode.
uint32_t ForceRead(const KrpLookupNames &names, KrpReadOut *out, bool *switched,
                   const char *plain) {
  *switched = false;
  uint32_t rc = KRP_ERR_NOT_FOUND;
  void *data = nullptr;
  uint32_t size = 0, lw = 0, attr = 0, cons = 0;
  int found_slot = -1;
  for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s) {
    if (!names.slots[s][0]) continue;
    rc = DirectRead(names.slots[s], &data, &size, &lw, &attr, &cons);
    if (rc == 0 && size != 0) {
      found_slot = static_cast<int>(s);
      break;
    }
    KstFreeMem(data, 0);
    data = nullptr;
    if (rc == 0) rc = KRP_ERR_NOT_FOUND;
    if (rc != KRP_ERR_NOT_FOUND) break;
  }
  bool listing = false;
  if (found_slot < 0 && rc == KRP_ERR_NOT_FOUND && names.pattern[0]) {
    rc = DirectRead(names.pattern, &data, &size, &lw, &attr, &cons);
    if (rc == 0 && size != 0) listing = true;
    else {
      KstFreeMem(data, 0);
      data = nullptr;
      if (rc == 0) rc = KRP_ERR_NOT_FOUND;
    }
  }
  if (rc == KST_ERR_ACCESS_DENIED || rc == KST_ERR_SHARING_VIOLATION) {
    uint32_t st = MtClientCheckMtStatusAndWaitForServer(0);
    if (st == 0) {
      *switched = true;
      return 0;
    }
    if (st != KRP_ERR_NO_SERVER && st != KRP_ERR_STARTING)
      KstLogPrintf("krp_kts>forceread (%d) MtClientCheckMtStatusAndWaitForServer (%s) 0x%08x",
                   __LINE__, plain, st);
    return st;
  }
  if (found_slot < 0 && !listing) return rc;
  if (listing) {
    if (out->type != 0 && out->type != KRP_TYPE_ANY && out->type != KRP_TYPE_CONTAINER) {
      KstFreeMem(data, 0);
      return KRP_ERR_WRONG_TYPE;
    }
    rc = DeliverListing(out, static_cast<uint8_t *>(data), size);
  } else {
    rc = Deliver(out, static_cast<uint8_t *>(data), size, cons, lw, attr,
                 static_cast<uint32_t>(found_slot), names.slots[found_slot]);
  }
  KstFreeMem(data, 0);
  return rc;
}

// The listing read through the server (step 6 of the internal read).
uint32_t ServerListing(const char *pattern, KrpReadOut *out, bool from_container) {
  void *data = nullptr;
  uint32_t size = 0, lw = 0, attr = 0, cons = 0;
  uint32_t rc = KrpStoreKtsReadMt(0, pattern, &data, &size, &lw, &attr, &cons);
  if (rc != 0 && rc != KRP_ERR_NOT_FOUND) {
    KstFreeMem(data, 0);
    return rc;
  }
  if (rc == KRP_ERR_NOT_FOUND || size == 0) {
    KstFreeMem(data, 0);
    *out->size = 0;
    if (from_container && out->attrs) out->attrs->attributes |= KRP_ATTR_FROM_DEFAULT;
    return KRP_ERR_NOT_FOUND;
  }
  if (!data) return 1;
  rc = DeliverListing(out, static_cast<uint8_t *>(data), size);
  KstFreeMem(data, 0);
  return rc;
}

}  // namespace

KrpNameList KrpNonEmptySlots(const KrpLookupNames &set) {
  KrpNameList l{};
  for (uint32_t s = 0; s < KRP_SLOT_COUNT; ++s) {
    if (!set.slots[s][0]) continue;
    l.names[l.count] = set.slots[s];
    l.slot_of[l.count++] = s;
  }
  return l;
}

uint32_t KrpReadFirstOfNames(const char *const *names, const uint32_t *slot_of, uint32_t count,
                             KrpReadOut *out) {
  if (!names || !slot_of || !out || !out->size) return KST_ERR_INVALID_PARAMETER;
  for (uint32_t i = 0; i < count; ++i)
    if (!names[i]) return KST_ERR_INVALID_PARAMETER;
  if (out->alloc) *out->alloc = nullptr;
  if (count == 0) return KRP_ERR_NOT_FOUND;
  if (count == 1) return ReadOne(names[0], slot_of[0], out);
  uint32_t first = 0, rc = KRP_ERR_NOT_FOUND;
  while (first < count) {
    uint32_t next = count;
    uint32_t r = ReadBlock(names, slot_of, count, first, &next, out);
    if (r == KRP_ERR_WRONG_TYPE) rc = r;
    else if (r != KRP_ERR_NOT_FOUND) return r;
    first = next;
  }
  return rc;
}

uint32_t KrpReadInternal(const char *name, const char *locale, KrpReadOut *out) {
  uint32_t st = MtClientCheckMtStatusAndWaitForServer(0);
  if (st != 0 && st != KRP_ERR_NO_SERVER) return st;
  KrpLookupNames names;
  uint32_t rc = KrpBuildLookupSet(name, out->type, locale, locale, &names);
  if (rc != 0) return rc;
  if (out->alloc) *out->alloc = nullptr;
  const char *plain = names.slots[KRP_SLOT_PLAIN];
  if (st == KRP_ERR_NO_SERVER) {
    bool switched = false;
    rc = ForceRead(names, out, &switched, plain);
    if (!switched) return rc;
  }
  const KrpNameList list = KrpNonEmptySlots(names);
  rc = KrpReadFirstOfNames(list.names, list.slot_of, list.count, out);
  bool container = rc == KRP_ERR_IS_CONTAINER;
  if (container) {
    if (!names.pattern[0]) return rc;
  } else if (!(rc == KRP_ERR_NOT_FOUND && !plain[0])) {
    return rc;
  }
  if (!names.pattern[0]) return rc;
  return ServerListing(names.pattern, out, container);
}

// ---- exported reads -------------------------------------------------------------

extern "C" KRP_API uint32_t dll_KrpGetResourceForLocale(uint32_t type, const char *name,
                                                        uint32_t *size, void *buffer,
                                                        char *access, uint32_t *type_out,
                                                        const char *locale,
                                                        KrpAttributes *attrs,
                                                        uint32_t *access_result) {
  if (!name || name[0] == '.' || !size || type == 0 || !KrpIsValidLocale(locale))
    return KST_ERR_INVALID_PARAMETER;
  if (KrpIsHttpName(name)) return KST_ERR_NOT_SUPPORTED;
  uint32_t rc = KrpResourceInitInternal();
  if (rc != 0) return rc;
  char loc[KRP_LOCALE_BUF];
  if (locale[0] == 'z' && locale[1] == 'z') KrpCurrentLocale(loc);
  else memcpy(loc, locale, KRP_LOCALE_BUF);
  char local_access[KRP_LOCALE_BUF] = {0, 0, 0};
  KrpReadOut out;
  out.type = type;
  out.size = size;
  out.buffer = buffer;
  out.want_value = buffer != nullptr;
  out.type_out = type_out;
  out.attrs = attrs;
  out.access = local_access;
  rc = KrpReadInternal(name, loc, &out);
  if ((rc != 0 && rc != KRP_ERR_NOT_FOUND) || !access) return rc;
  uint32_t ares;
  if (local_access[0] == 0) {
    ares = KrpGetAccessInternal(name, access);
    if (ares != 0 && ares != KRP_ERR_NOT_FOUND) access[0] = 0;
  } else {
    memcpy(access, local_access, KRP_LOCALE_BUF);
    ares = 1;
  }
  if (access_result) *access_result = ares;
  return rc;
}

extern "C" KRP_API uint32_t dll_KrpGetResource(uint32_t type, const char *name, uint32_t *size,
                                               void *buffer, KrpAttributes *attrs,
                                               char *access) {
  if (buffer && size && *size == 0) return KST_ERR_BUFFER_TOO_SMALL;
  return dll_KrpGetResourceForLocale(type, name, size, buffer, access, nullptr, "zz", attrs,
                                     nullptr);
}

extern "C" KRP_API uint32_t dll_KrpGetString(const char *name, uint32_t *size, char *buffer) {
  return dll_KrpGetResourceForLocale(KRT_TEXT, name, size, buffer, nullptr, nullptr, "zz",
                                     nullptr, nullptr);
}

extern "C" KRP_API uint32_t dll_KrpGetImage(const char *name, uint32_t *size, void *buffer) {
  uint32_t rc = dll_KrpGetResourceForLocale(KRT_IMAGE, name, size, buffer, nullptr, nullptr,
                                            "zz", nullptr, nullptr);
  if (rc == 0 && *size == 0) return KRP_ERR_EMPTY_VALUE;
  return rc;
}

extern "C" KRP_API uint32_t dll_KrpGetList(const char *name, uint32_t *size, void *buffer) {
  uint32_t rc = dll_KrpGetResourceForLocale(KRT_LIST, name, size, buffer, nullptr, nullptr,
                                            "zz", nullptr, nullptr);
  if (rc == 0 && *size <= 1) return KRP_ERR_EMPTY_VALUE;
  return rc;
}

namespace {

// The value's text without trailing white space and unprintable bytes,
// bounded by its size (the value need not be terminated).
uint32_t TrimmedLength(const char *text, uint32_t len) {
  while (len > 0) {
    unsigned char c = static_cast<unsigned char>(text[len - 1]);
    if (!(isspace(c) || !isprint(c))) break;
    --len;
  }
  return len;
}

// Reads a numeric value's text into buf[cap] (value bytes only, at most
// cap - 1 so the text is terminated). A longer value gives 0x370005.
uint32_t ReadText(const char *name, uint32_t type, char *buf, uint32_t cap, uint32_t *len) {
  memset(buf, 0, cap);
  uint32_t size = cap - 1;
  uint32_t rc = dll_KrpGetResourceForLocale(type, name, &size, buf, nullptr, nullptr, "zz",
                                            nullptr, nullptr);
  if (rc == KST_ERR_BUFFER_TOO_SMALL) return KRP_ERR_MALFORMED_VALUE;
  if (rc != 0) return rc;
  *len = size;
  return 0;
}

// Parses a decimal text as strtol would (white space, sign, digits), wrapping
// modulo 2^32, and checks it against its canonical form.
uint32_t ParseNumber(const char *text, uint32_t len, bool is_signed, uint32_t *value) {
  uint32_t i = 0;
  while (i < len && isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool neg = false;
  if (i < len && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
  uint32_t v = 0;
  while (i < len && text[i] >= '0' && text[i] <= '9') v = v * 10u + uint32_t(text[i++] - '0');
  if (neg) v = 0u - v;
  *value = v;
  char canon[24];
  int n = is_signed ? snprintf(canon, sizeof canon, "%d", static_cast<int32_t>(v))
                    : snprintf(canon, sizeof canon, "%u", v);
  uint32_t tl = len;
  if (tl > static_cast<uint32_t>(n)) tl = TrimmedLength(text, len);
  if (tl != static_cast<uint32_t>(n) || memcmp(text, canon, tl) != 0)
    return KRP_ERR_MALFORMED_VALUE;
  return 0;
}

}  // namespace

extern "C" KRP_API uint32_t dll_KrpGetInteger(const char *name, int32_t *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  char buf[65];
  uint32_t len = 0;
  uint32_t rc = ReadText(name, KRT_INTEGER, buf, sizeof buf, &len);
  if (rc != 0) return rc;
  if (len == 0 || buf[0] == 0) return KRP_ERR_EMPTY_VALUE;
  uint32_t v = 0;
  rc = ParseNumber(buf, static_cast<uint32_t>(strnlen(buf, len)), true, &v);
  *out = static_cast<int32_t>(v);
  return rc;
}

extern "C" KRP_API uint32_t dll_KrpGetUTC(const char *name, uint32_t *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  char buf[65];
  uint32_t len = 0;
  uint32_t rc = ReadText(name, KRT_UTC, buf, sizeof buf, &len);
  if (rc != 0) return rc;
  if (len == 0 || buf[0] == 0) return KRP_ERR_EMPTY_VALUE;
  return ParseNumber(buf, static_cast<uint32_t>(strnlen(buf, len)), false, out);
}

extern "C" KRP_API uint32_t dll_KrpGetBoolean(const char *name, uint32_t *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  char buf[12];
  uint32_t len = 0;
  uint32_t rc = ReadText(name, KRT_BOOLEAN, buf, sizeof buf, &len);
  if (rc != 0) return rc;
  if (len <= 1) return KRP_ERR_EMPTY_VALUE;
  uint32_t tl = TrimmedLength(buf, len);
  if (tl == 4 && memcmp(buf, "true", 4) == 0) *out = 1;
  else if (tl == 5 && memcmp(buf, "false", 5) == 0) *out = 0;
  else return KRP_ERR_MALFORMED_VALUE;
  return 0;
}

extern "C" KRP_API uint32_t dll_KrpGetResourceAlloc(const char *name, uint32_t *size,
                                                    void **data, uint32_t *type_out,
                                                    KrpAttributes *attrs, char *access) {
  if (!name || !size) return KST_ERR_INVALID_PARAMETER;
  if (access) access[0] = 0;
  if (data) *data = nullptr;
  if (KrpIsHttpName(name)) {
    if (type_out) *type_out = KRP_TYPE_ANY;
    return KST_ERR_NOT_SUPPORTED;
  }
  if (name[0] == '.') return KST_ERR_INVALID_PARAMETER;
  uint32_t rc = KrpResourceInitInternal();
  if (rc != 0) return rc;
  char loc[KRP_LOCALE_BUF];
  KrpCurrentLocale(loc);
  char local_access[KRP_LOCALE_BUF] = {0, 0, 0};
  uint32_t found_type = 0;
  void *value = nullptr;
  KrpReadOut out;
  out.type = KRP_TYPE_ANY;
  out.size = size;
  out.alloc = data ? &value : nullptr;
  out.want_value = data != nullptr;
  out.type_out = &found_type;
  out.attrs = attrs;
  out.access = local_access;
  rc = KrpReadInternal(name, loc, &out);
  if (rc != 0) {
    KstFreeMem(value, 0);
    return rc;
  }
  if (data) *data = value;
  if (type_out) *type_out = found_type;
  if (access) {
    if (local_access[0]) {
      memcpy(access, local_access, KRP_LOCALE_BUF);
    } else {
      uint32_t a = KrpGetAccessInternal(name, access);
      if (a != 0 && a != KRP_ERR_NOT_FOUND) {
        KstLogPrintf("krp_kts (%d) getaccess (%s) 0x%08x", __LINE__, name, a);
        access[0] = 0;
      }
    }
  }
  return 0;
}
