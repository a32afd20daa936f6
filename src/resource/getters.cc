// The exported reads: the central read with its access text, its short and
// typed forms, and the allocating read. Each call obtains the store seam
// once (inside the process initialisation) and uses it for the value and
// for the access text.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "resource.h"
#include "seam.h"

// ---- exported reads -------------------------------------------------------------

namespace {

constexpr uint32_t kUnknown = 0xFFFFFFFFu;

// What the read itself established about the name's existence, for the
// access text: a value found (not localized: the read would have set "wr")
// exists in its own right unless it came from the default counterpart.
// Only when the read looked up the same slots the access check would
// (type any or a type that is never localized, and the current locale).
uint32_t KnownExistence(uint32_t rc, uint32_t type, const char *name, const char *loc,
                        const char *cur, const KrpAttributes &attrs) {
  if (rc != 0 || memcmp(loc, cur, KRP_LOCALE_BUF) != 0) return kUnknown;
  if (type != KRT_TEXT && type != KRP_TYPE_ANY && strstr(name, ".strings.")) return kUnknown;
  return (attrs.attributes & KRP_ATTR_FROM_DEFAULT) ? KRP_ERR_NOT_FOUND : 0;
}

}  // namespace

extern "C" KRP_API uint32_t dll_KrpGetResourceForLocale(uint32_t type, const char *name,
                                                        uint32_t *size, void *buffer,
                                                        char *access, uint32_t *type_out,
                                                        const char *locale,
                                                        KrpAttributes *attrs,
                                                        uint32_t *access_result) {
  if (!name || name[0] == '.' || !size || type == 0 || !KrpIsValidLocale(locale))
    return KST_ERR_INVALID_PARAMETER;
  if (KrpIsHttpName(name)) return KST_ERR_NOT_SUPPORTED;
  KrpStoreSeam seam;
  // The caller's locale is only checked; it never becomes the current one.
  uint32_t rc = KrpResourceInitForRead(&seam, locale);
  if (rc != 0) return rc;
  char cur[KRP_LOCALE_BUF], loc[KRP_LOCALE_BUF];
  KrpCurrentLocale(cur);
  if (locale[0] == 'z' && locale[1] == 'z') memcpy(loc, cur, KRP_LOCALE_BUF);
  else memcpy(loc, locale, KRP_LOCALE_BUF);
  KrpAttributes local_attrs{0, 0};
  if (!attrs) attrs = &local_attrs;
  char local_access[KRP_LOCALE_BUF] = {0, 0, 0};
  KrpReadOut out;
  out.type = type;
  out.size = size;
  out.buffer = buffer;
  out.want_value = buffer != nullptr;
  out.type_out = type_out;
  out.attrs = attrs;
  out.access = local_access;
  rc = KrpReadInternal(&seam, name, loc, &out);
  if ((rc != 0 && rc != KRP_ERR_NOT_FOUND) || !access) return rc;
  uint32_t ares;
  if (local_access[0] == 0) {
    uint32_t e = KnownExistence(rc, type, name, loc, cur, *attrs);
    ares = KrpGetAccessInternal(&seam, name, access, e == kUnknown ? nullptr : &e);
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

// Reads a numeric value (INTEGER or UTC) and parses it: 0x370006 for an
// empty text, 0x370005 for a text that is not the number's canonical form
// (*value still gets what was parsed), or the read's code.
uint32_t ReadNumber(const char *name, uint32_t type, bool is_signed, uint32_t *value) {
  char buf[65];
  uint32_t len = 0;
  uint32_t rc = ReadText(name, type, buf, sizeof buf, &len);
  if (rc != 0) return rc;
  if (len == 0 || buf[0] == 0) return KRP_ERR_EMPTY_VALUE;
  return ParseNumber(buf, static_cast<uint32_t>(strnlen(buf, len)), is_signed, value);
}

}  // namespace

extern "C" KRP_API uint32_t dll_KrpGetInteger(const char *name, int32_t *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  // int32_t and uint32_t may alias: the parsed bits go out as they are.
  return ReadNumber(name, KRT_INTEGER, true, reinterpret_cast<uint32_t *>(out));
}

extern "C" KRP_API uint32_t dll_KrpGetUTC(const char *name, uint32_t *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  return ReadNumber(name, KRT_UTC, false, out);
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
  KrpStoreSeam seam;
  uint32_t rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  char loc[KRP_LOCALE_BUF];
  KrpCurrentLocale(loc);
  char local_access[KRP_LOCALE_BUF] = {0, 0, 0};
  uint32_t found_type = 0;
  void *value = nullptr;
  KrpAttributes local_attrs{0, 0};
  if (!attrs) attrs = &local_attrs;
  KrpReadOut out;
  out.type = KRP_TYPE_ANY;
  out.size = size;
  out.alloc = data ? &value : nullptr;
  out.want_value = data != nullptr;
  out.type_out = &found_type;
  out.attrs = attrs;
  out.access = local_access;
  rc = KrpReadInternal(&seam, name, loc, &out);
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
      const uint32_t e = KnownExistence(0, KRP_TYPE_ANY, name, loc, loc, *out.attrs);
      uint32_t a = KrpGetAccessInternal(&seam, name, access, &e);
      if (a != 0 && a != KRP_ERR_NOT_FOUND) {
        KstLogPrintf("krp_kts (%d) getaccess (%s) 0x%08x", __LINE__, name, a);
        access[0] = 0;
      }
    }
  }
  return 0;
}
