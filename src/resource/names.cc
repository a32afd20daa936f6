// Resource names: lookup names, default counterparts and type names.
// The rules and the buffer sizes are explained in names.h.
#include "names.h"

#include <cstring>

#include "platform.h"

namespace {

constexpr char kStorePrefix[] = "kts:";
constexpr size_t kStorePrefixLen = sizeof(kStorePrefix) - 1;
constexpr char kVendorRoot[] = "vendor.";
constexpr char kDefaultRoot[] = "default.";
constexpr size_t kDefaultRootLen = sizeof(kDefaultRoot) - 1;
constexpr char kStrings[] = ".strings.";
constexpr size_t kStringsLen = sizeof(kStrings) - 1;
constexpr char kAccessSuffix[] = ".access";
constexpr size_t kAccessSuffixLen = sizeof(kAccessSuffix) - 1;
constexpr char kDefaultLocale[] = "00";
constexpr char kCurrentLocale[] = "zz";

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// First occurrence of `needle` in s[0, len), or -1. s need not be terminated.
long FindIn(const char *s, size_t len, const char *needle, size_t needle_len) {
  if (needle_len > len) return -1;
  for (size_t i = 0; i + needle_len <= len; ++i) {
    if (std::memcmp(s + i, needle, needle_len) == 0) return static_cast<long>(i);
  }
  return -1;
}

// Empties every given output.
void ClearOutputs(char *a, char *b, char *c) {
  if (a) a[0] = '\0';
  if (b) b[0] = '\0';
  if (c) c[0] = '\0';
}

// Writes the localized name of name[0, len) for `locale` (two characters)
// into out (KRP_NAME_BUF bytes), or leaves it empty when it would not fit.
// The caller has checked that the name holds ".strings.".
//
//   base    = name                          when it begins with "default."
//           = "default." + name after its first dot   otherwise
//   result  = base with its first ".strings." replaced by ".strings.LL."
//
// The replacement is searched in `base`, not in the name: for "a.strings.x"
// the base is "default.strings.x" and its first ".strings." is the one right
// after "default".
void BuildLocalized(const char *name, size_t len, const char *locale, char *out) {
  out[0] = '\0';
  char base[KRP_NAME_BUF + kDefaultRootLen];
  size_t base_len;
  if (KrpNameHasPrefix(name, kDefaultRoot)) {
    std::memcpy(base, name, len);
    base_len = len;
  } else {
    const void *dot = std::memchr(name, '.', len);
    if (!dot) return;  // can not happen: the name holds ".strings."
    size_t after = static_cast<size_t>(static_cast<const char *>(dot) - name) + 1;
    std::memcpy(base, kDefaultRoot, kDefaultRootLen);
    std::memcpy(base + kDefaultRootLen, name + after, len - after);
    base_len = kDefaultRootLen + (len - after);
  }
  long at = FindIn(base, base_len, kStrings, kStringsLen);
  if (at < 0) return;
  // The segment ".strings.LL." is the old ".strings." plus "LL.".
  size_t result_len = base_len + 3;
  if (result_len > KRP_NAME_MAX) return;  // no object can have this name
  size_t head = static_cast<size_t>(at) + kStringsLen;  // up to ".strings."
  std::memcpy(out, base, head);
  out[head] = locale[0];
  out[head + 1] = locale[1];
  out[head + 2] = '.';
  std::memcpy(out + head + 3, base + head, base_len - head);
  out[result_len] = '\0';
}

}  // namespace

bool KrpNameHasPrefix(const char *name, const char *prefix) {
  if (!name || !prefix) return false;
  // strncmp stops at the first difference or at name's terminator, so it
  // never reads past a name shorter than the prefix.
  return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

bool KrpIsHttpName(const char *name) { return KrpNameHasPrefix(name, "http://"); }

bool KrpIsValidLocale(const char *locale) {
  return locale && IsAsciiAlnum(locale[0]) && IsAsciiAlnum(locale[1]) && locale[2] == '\0';
}

uint32_t KrpHttpNameHandler(const char *, uint32_t, void *) { return KST_ERR_NOT_SUPPORTED; }

uint32_t KrpBuildLookupNames(const char *name, uint32_t type, const char *locale,
                             const char *current_locale, char *localized, char *plain,
                             char *pattern) {
  ClearOutputs(localized, plain, pattern);
  if (!name || name[0] == '.') return KST_ERR_INVALID_PARAMETER;
  if (name[0] == 'k') {
    if (!KrpNameHasPrefix(name, kStorePrefix)) return KST_ERR_INVALID_NAME;
    name += kStorePrefixLen;
    if (name[0] == '.') return KST_ERR_INVALID_PARAMETER;
  }
  // Bounded length: one character beyond the limit is enough to refuse.
  const size_t len = strnlen(name, KRP_NAME_MAX + 1);
  if (len > KRP_NAME_MAX) return KRP_ERR_NAME_TOO_LONG;

  const bool value_or_any = type == KRT_TEXT || type == KRP_TYPE_ANY;
  const bool listing = type == KRP_TYPE_ANY || type == KRP_TYPE_CONTAINER;

  if (plain && len > 0) {
    std::memcpy(plain, name, len);
    plain[len] = '\0';
  }
  if (pattern && listing && len < KRP_PATTERN_LIMIT) {
    if (len == 0) {
      pattern[0] = '*';
      pattern[1] = '\0';
    } else {  // "%s.*": at most 256 + 2 characters
      std::memcpy(pattern, name, len);
      pattern[len] = '.';
      pattern[len + 1] = '*';
      pattern[len + 2] = '\0';
    }
  }
  if (localized && value_or_any && len < KRP_LOCALIZE_LIMIT) {
    const char *use = locale;
    if (KrpIsValidLocale(use) && std::strcmp(use, kCurrentLocale) == 0) use = current_locale;
    if (!KrpIsValidLocale(use)) {
      ClearOutputs(localized, plain, pattern);
      return KRP_ERR_MALFORMED_VALUE;
    }
    if (name[0] != 'w' && FindIn(name, len, kStrings, kStringsLen) >= 0) {
      BuildLocalized(name, len, use, localized);
    }
  }
  return 0;
}

uint32_t KrpMakeDefaultName(const char *name, char *out) {
  if (!name || !out) return KST_ERR_INVALID_PARAMETER;
  out[0] = '\0';
  const size_t len = strnlen(name, KRP_NAME_BUF);
  if (len > KRP_NAME_MAX) return 0;  // not a name any object can have
  const void *first = std::memchr(name, '.', len);
  if (!first) return 0;
  if (len >= kAccessSuffixLen &&
      std::memcmp(name + len - kAccessSuffixLen, kAccessSuffix, kAccessSuffixLen) == 0) {
    // Ends in ".access", so the last component is exactly "access".
    std::memcpy(out, name, len + 1);
    return 0;
  }
  const size_t after = static_cast<size_t>(static_cast<const char *>(first) - name) + 1;
  const size_t rest = len - after;
  if (kDefaultRootLen + rest > KRP_NAME_MAX) return 0;
  std::memcpy(out, kDefaultRoot, kDefaultRootLen);
  std::memcpy(out + kDefaultRootLen, name + after, rest);
  out[kDefaultRootLen + rest] = '\0';
  return 0;
}

uint32_t KrpDropDuplicateName(const char *first, char *second) {
  if (!first || !second) return 0;
  if (first[0] && second[0] && std::strncmp(first, second, KRP_NAME_BUF) == 0) second[0] = '\0';
  return 0;
}

uint32_t KrpBuildLookupSet(const char *name, uint32_t type, const char *locale,
                           const char *current_locale, KrpLookupNames *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  for (auto &slot : out->slots) slot[0] = '\0';
  out->pattern[0] = '\0';
  uint32_t rc = KrpBuildLookupNames(name, type, locale, current_locale,
                                    out->slots[KRP_SLOT_LOCALIZED], out->slots[KRP_SLOT_PLAIN],
                                    out->pattern);
  if (rc) return rc;
  if (type != KRP_TYPE_CONTAINER && KrpNameHasPrefix(out->slots[KRP_SLOT_PLAIN], kVendorRoot)) {
    char scratch[KRP_NAME_BUF];
    KrpMakeDefaultName(out->slots[KRP_SLOT_PLAIN], scratch);
    rc = KrpBuildLookupNames(scratch, type, kDefaultLocale, current_locale,
                             out->slots[KRP_SLOT_DEFAULT_LOCALIZED], out->slots[KRP_SLOT_DEFAULT],
                             nullptr);
    if (rc) {
      for (auto &slot : out->slots) slot[0] = '\0';
      out->pattern[0] = '\0';
      return rc;
    }
  }
  KrpDropDuplicateName(out->slots[KRP_SLOT_PLAIN], out->slots[KRP_SLOT_DEFAULT]);
  KrpDropDuplicateName(out->slots[KRP_SLOT_LOCALIZED], out->slots[KRP_SLOT_DEFAULT_LOCALIZED]);
  return 0;
}

namespace {

struct TypeNameRow {
  uint32_t type;
  const char *name;
};

constexpr TypeNameRow kTypeNames[] = {
    {KRT_TEXT, "KRT_TEXT"},       {KRT_IMAGE, "KRT_IMAGE"},
    {KRT_INTEGER, "KRT_INTEGER"}, {KRT_BOOLEAN, "KRT_BOOLEAN"},
    {KRT_LIST, "KRT_LIST"},       {KRT_BYTEARRAY, "KRT_BYTEARRAY"},
    {KRT_TRIGGER, "KRT_TRIGGER"}, {KRT_UTC, "KRT_UTC"},
};

}  // namespace

uint32_t KrpTypeName(uint32_t type, char *out, size_t capacity) {
  if (!out) return KST_ERR_GENERAL;
  for (const TypeNameRow &row : kTypeNames) {
    if (row.type != type) continue;
    const size_t need = std::strlen(row.name) + 1;
    if (capacity < need) return KST_ERR_BUFFER_TOO_SMALL;
    std::memcpy(out, row.name, need);
    return 0;
  }
  return KST_ERR_GENERAL;
}
