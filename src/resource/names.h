// Resource names: the caller's name turned into the store names that are
// looked up, the type codes and their printable names.
//
// Design note
// -----------
// A resource name is a zero-terminated byte string of dot-separated
// components, compared byte for byte. Every reader (single read, access walk,
// listing read, multiple get) turns the caller's name into the same set of up
// to five store names, so that all of them find the same object:
//
//   slot 0  localized name     "default.<rest>" with ".strings." replaced by
//                              ".strings.<locale>." (locale of the request)
//   slot 1  default localized  slot 0's rule applied to slot 3, locale "00"
//   slot 2  plain name         the name without its "kts:" prefix
//   slot 3  default name       "default." + everything after the first dot,
//                              for "vendor." names read with a value type
//   pattern listing pattern    "<name>.*", or "*" for the empty name, for the
//                              pseudo-types any (9) and container (10)
//
// The slots are looked up in slot order; the first one found wins. A value
// found under slot 1 or 3 is reported with the from-default flag, one found
// under slot 0 or 1 with the access text "wr".
//
// Which names are localized: requests of type TEXT (1) or any (9), with a
// locale, for names that contain the component ".strings.", do not begin with
// "w" (the whole "world." root and every other "w" name are exempt; only the
// first character is looked at), and are shorter than 256 characters.
//
// Invariants
// 1. Every output is a buffer of KRP_NAME_BUF bytes and every slot holds
//    either the empty string or a name of 1..KRP_NAME_MAX characters followed
//    by its terminator. No name longer than KRP_NAME_MAX is ever written: a
//    store object can not have such a name, so a slot whose name would be
//    longer is left empty rather than cut.
// 2. A caller's name is read with a bound: at most KRP_NAME_MAX + 1
//    characters after the prefix are looked at before it is refused as too
//    long, so an unterminated or huge name never makes us read far.
// 3. Nothing here keeps state, allocates, locks or logs; every function may
//    run on any thread at any time. The process's current locale is not
//    read here: the caller passes it in.
// 4. After a failure every output the caller asked for is empty, so a
//    caller that ignores the result code still looks up nothing.
//
// Buffer sizes: the longest names these functions write are
//   plain name          259 characters (longer names are refused)
//   default name        "default." + rest: up to 260, emptied when > 259
//   localized name      up to 264 for a 255-character name ("v.strings.x"
//                       gains 6 for "default" and 3 for the locale); emptied
//                       when > 259
//   listing pattern     up to 258 ("%s.*" of a name below 257 characters)
// so one buffer size of KRP_NAME_BUF = 260 bytes holds every slot.
#ifndef KRP_RESOURCE_NAMES_H
#define KRP_RESOURCE_NAMES_H

#include <cstddef>
#include <cstdint>

#include "krplib.h"

// ---- limits -----------------------------------------------------------------
// Longest resource name after the "kts:" prefix, and the size of every buffer
// that holds a lookup name (the name plus its terminator).
constexpr uint32_t KRP_NAME_MAX = 259;
constexpr uint32_t KRP_NAME_BUF = KRP_NAME_MAX + 1;
// Localized names are built only for names shorter than this; listing
// patterns only for names shorter than KRP_PATTERN_LIMIT.
constexpr uint32_t KRP_LOCALIZE_LIMIT = 256;
constexpr uint32_t KRP_PATTERN_LIMIT = 257;
// A locale code: two alphanumeric characters and a terminator.
constexpr uint32_t KRP_LOCALE_BUF = 3;
// The type-name field in front of every stored value, and the smallest
// buffer KrpTypeName always fills ("KRT_BYTEARRAY" and its terminator).
constexpr uint32_t KRP_TYPE_FIELD_SIZE = 16;
constexpr uint32_t KRP_TYPE_NAME_MIN = 14;
// Bit 0 of the attributes word handed to a caller: the value was found under
// a default counterpart (slot 1 or 3).
constexpr uint32_t KRP_ATTR_FROM_DEFAULT = 0x1;

// The pseudo-types of requests (the value types are KRT_* in krplib.h).
constexpr uint32_t KRP_TYPE_ANY = KRT_ANY;
constexpr uint32_t KRP_TYPE_CONTAINER = KRT_CONTAINER;

// The slots of a lookup set, in lookup order.
enum : uint32_t {
  KRP_SLOT_LOCALIZED = 0,
  KRP_SLOT_DEFAULT_LOCALIZED = 1,
  KRP_SLOT_PLAIN = 2,
  KRP_SLOT_DEFAULT = 3,
  KRP_SLOT_COUNT = 4,
};

// Every store name one request may look up. An empty slot (slots[i][0] == 0)
// is skipped; the pattern is empty when no listing read is wanted.
struct KrpLookupNames {
  char slots[KRP_SLOT_COUNT][KRP_NAME_BUF];
  char pattern[KRP_NAME_BUF];
};

// ---- small predicates ---------------------------------------------------------
// True when `name` (may be null) begins with `prefix`. Reads at most
// strlen(prefix) bytes of name.
bool KrpNameHasPrefix(const char *name, const char *prefix);
// True for names that begin with "http://", which this library does not serve.
bool KrpIsHttpName(const char *name);
// True when `locale` (may be null) is exactly two ASCII alphanumerics and a
// terminator. Reads at most 3 bytes.
bool KrpIsValidLocale(const char *locale);

// The handler of "http://" names: takes the request as it came, does nothing
// and returns 207 (KST_ERR_NOT_SUPPORTED). Every argument may be null.
uint32_t KrpHttpNameHandler(const char *name, uint32_t type, void *request);

// ---- name building ----------------------------------------------------------
// Builds the localized name, the plain name and the listing pattern of one
// name. Each output is optional (null = not wanted) and, when given, must be
// KRP_NAME_BUF bytes; every given output is emptied first.
//
//  name            the caller's name; an optional "kts:" prefix is removed.
//  type            the request's type code (KRT_*, 9 any, 10 container).
//  locale          the request's locale: "zz" stands for current_locale.
//                  Checked only when a localized name can be asked for
//                  (localized given, type 1 or 9, name below 256 characters).
//  current_locale  the process's current locale; read only for "zz".
//
// Outputs: plain = the name without prefix (left empty for the empty name);
// pattern = "name.*" or "*" for types 9 and 10 when the name is below 257
// characters; localized = slot 0 as in the design note, left empty when the
// name is not localized or the localized name would exceed 259 characters.
//
// Results: 0; 87 name null, or the name (with or without the prefix) begins
// with "."; 123 the name begins with "k" but not with "kts:"; 0x37000F the
// name is 260 characters or more after the prefix; 0x370005 a locale that had
// to be checked is not two alphanumerics (or it is "zz" and current_locale
// is not). On any failure every given output is empty.
uint32_t KrpBuildLookupNames(const char *name, uint32_t type, const char *locale,
                             const char *current_locale, char *localized, char *plain,
                             char *pattern);

// The default counterpart of `name` into out (KRP_NAME_BUF bytes):
//  - no dot in the name: out is empty;
//  - the last component is exactly "access": out is a copy of the name (an
//    access value has no default counterpart; KrpDropDuplicateName then
//    removes the copy);
//  - otherwise "default." followed by everything after the first dot.
// A result longer than KRP_NAME_MAX characters leaves out empty (a
// 259-character "vendor." name has no default that could exist). Reads at
// most KRP_NAME_BUF bytes of name. 0; 87 name or out null.
uint32_t KrpMakeDefaultName(const char *name, char *out);

// Empties `second` when both names are non-empty and equal. Both are lookup
// buffers of KRP_NAME_BUF bytes; null pointers are ignored. Always 0.
uint32_t KrpDropDuplicateName(const char *first, char *second);

// The full lookup set of one request, as every reader uses it:
//  1. slot 0, slot 2 and the pattern from KrpBuildLookupNames(name, type,
//     locale);
//  2. for a type other than 10 and a plain name that begins with "vendor.":
//     the default name of slot 2, and from it slot 1 and slot 3 with locale
//     "00" (no pattern);
//  3. duplicates dropped: slot 3 when equal to slot 2, slot 1 when equal to
//     slot 0.
// `out` is filled completely (empty slots are empty strings). Results as
// KrpBuildLookupNames, plus 87 when out is null; on failure every slot and
// the pattern are empty.
uint32_t KrpBuildLookupSet(const char *name, uint32_t type, const char *locale,
                           const char *current_locale, KrpLookupNames *out);

// ---- type names ---------------------------------------------------------------
// The printable name of a value type ("KRT_TEXT", "KRT_IMAGE", "KRT_INTEGER",
// "KRT_BOOLEAN", "KRT_LIST", "KRT_BYTEARRAY", "KRT_TRIGGER", "KRT_UTC"),
// written zero-terminated into out[capacity]. 0; 1 any other code (9 and 10
// included) or out null; 0x1005 capacity too small for the name and its
// terminator (a capacity of KRP_TYPE_NAME_MIN always fits). On any failure
// out is unchanged.
uint32_t KrpTypeName(uint32_t type, char *out, size_t capacity);

#endif  // KRP_RESOURCE_NAMES_H
