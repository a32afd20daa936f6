// The process's current locale and its initialisation marker.
//
// State machine (under g_mu, which is never held across a store request):
//   uninitialised --first successful init--> initialised
//   initialised --dll_KrpRelease--> uninitialised
// While no server runs, every initialisation re-reads the stored locale
// from the store file (the value may have been changed by another process
// meanwhile), so the marker is cleared again after each such call; so it is
// while no stored locale could be read. A locale this process set itself
// (g_pinned) is kept across those re-reads.
#include <cctype>
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform.h"
#include "read_cache.h"
#include "resource.h"

namespace {

std::mutex g_mu;
bool g_initialised = false;
bool g_pinned = false;
// The current locale's two characters (low byte first). Written under g_mu
// with the rest of the state; read without it, because every read of a
// resource asks for it.
std::atomic<uint32_t> g_locale{'0' | '0' << 8};

void SetLocale(const char *code) {
  g_locale.store(static_cast<uint8_t>(code[0]) | static_cast<uint8_t>(code[1]) << 8,
                 std::memory_order_relaxed);
}

const char kLocaleName[] = "vendor.locale.current_locale";
const char kDefaultLocaleName[] = "default.locale.current_locale";

// 21: the stored locale could not be read (absent, empty, unreadable); the
// locale given out is then "00".
constexpr uint32_t kNoStoredLocale = 21;
// Stored locale values are a two-character code and its terminator; a
// larger value is reported, never taken. The buffer holds enough of one to
// show it in the log line.
constexpr uint32_t kLocaleValueMax = KRP_LOCALE_BUF;
constexpr uint32_t kLocaleReadBuf = 64;

bool IsZz(const char *l) { return l[0] == 'z' && l[1] == 'z' && l[2] == 0; }

// One read of the stored locale's value of any type: the vendor name, then
// its default counterpart. A container, a wrong type, a short object or a
// failed request are all just "not read" to the caller.
uint32_t ReadLocaleValue(KrpStoreSeam *seam, const char *const *names, const uint32_t *slots,
                         uint32_t count, char *buf, uint32_t *size) {
  *size = kLocaleReadBuf;
  KrpReadOut r;
  r.type = KRP_TYPE_ANY;
  r.size = size;
  r.buffer = buf;
  uint32_t rc = seam->ops->read_first(seam, names, slots, count, &r);
  // A value larger than the buffer still reports its size: it is too long
  // to be a locale, whatever its bytes.
  return rc == KST_ERR_BUFFER_TOO_SMALL ? 0 : rc;
}

bool EmptyText(const char *buf, uint32_t size) {
  return size == 0 || strnlen(buf, size < kLocaleReadBuf ? size : kLocaleReadBuf) == 0;
}

// The stored locale: "vendor.locale.current_locale", or when that is
// missing or empty its default counterpart, read with any type.
//   0   out holds the locale to take: the stored code when it is two
//       alphanumerics other than "zz", else "00" (a value of 4 bytes or more
//       and a malformed code are logged);
//   21  nothing could be read (absent, empty, a container, a failed read):
//       out holds "00".
// A failure never blocks the library: the caller goes on with "00".
uint32_t ReadStoredLocale(KrpStoreSeam *seam, char *out) {
  memcpy(out, "00", KRP_LOCALE_BUF);
  static const char *const kBoth[] = {kLocaleName, kDefaultLocaleName};
  static const uint32_t kBothSlots[] = {KRP_SLOT_PLAIN, KRP_SLOT_DEFAULT};
  char buf[kLocaleReadBuf] = {0};
  uint32_t size = 0;
  uint32_t rc = ReadLocaleValue(seam, kBoth, kBothSlots, 2, buf, &size);
  if (rc == 0 && EmptyText(buf, size)) {
    // An empty vendor value does not hide the default one. (When the value
    // read was the default one already, this reads it once more: rare.)
    memset(buf, 0, sizeof buf);
    rc = ReadLocaleValue(seam, kBoth + 1, kBothSlots + 1, 1, buf, &size);
  }
  if (rc != 0 || EmptyText(buf, size)) return kNoStoredLocale;
  if (size > kLocaleValueMax) {
    KstLogPrintf("krp_fs (%d) erroneous def_locale in store (%.*s)?! Using default (english)",
                 __LINE__, static_cast<int>(strnlen(buf, sizeof buf)), buf);
    return 0;
  }
  char code[KRP_LOCALE_BUF] = {0, 0, 0};
  memcpy(code, buf, size < 2 ? size : 2);
  if (IsZz(code)) return 0;
  if (!KrpIsValidLocale(code) || strnlen(buf, size) != 2) {
    KstLogPrintf("krp (%d) INFO: chosen locale '%.*s' is out of range. Using default=english.",
                 __LINE__, static_cast<int>(strnlen(buf, size)), buf);
    return 0;
  }
  memcpy(out, code, KRP_LOCALE_BUF);
  return 0;
}

}  // namespace

// The lock is held only to look at and to change the state, never across
// the status check or the read of the stored locale: two threads may both
// read it on a first call, with the same outcome.
//
// Only "zz" reads the stored locale; any other locale is just checked (a
// first call that names its own locale leaves the current one "00"). The
// marker stays set only when a server runs and the stored locale was read
// (or need not be): without a server, or when nothing could be read, the
// next call tries again.
namespace {

uint32_t InitWith(uint32_t (*obtain)(KrpStoreSeam *), KrpStoreSeam *seam, const char *locale,
                  bool locale_used) {
  if (!KrpIsValidLocale(locale)) return KST_ERR_INVALID_PARAMETER;
  KrpStoreSeam own;
  if (!seam) seam = &own;
  bool read_stored, was_initialised;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_initialised && seam == &own) return 0;
    was_initialised = g_initialised;
    read_stored = IsZz(locale) && !g_initialised && !g_pinned;
  }
  uint32_t st = obtain(seam);
  if (st != 0) return st;
  if (was_initialised) return 0;  // nothing to read or to mark
  char loc[KRP_LOCALE_BUF];
  // Without a server nothing is remembered between calls, so a call that
  // never looks at the current locale need not read the stored one: every
  // call that does reads it afresh.
  if (seam->direct && !locale_used) read_stored = false;
  uint32_t rc = read_stored ? ReadStoredLocale(seam, loc) : 0;
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_initialised) return 0;
  if (read_stored && !g_pinned) SetLocale(loc);
  g_initialised = !seam->direct && rc == 0;
  return 0;
}

}  // namespace

uint32_t KrpResourceInitInternal(KrpStoreSeam *seam, const char *locale, bool locale_used) {
  return InitWith(KrpSeamObtain, seam, locale, locale_used);
}

uint32_t KrpResourceInitForRead(KrpStoreSeam *seam, const char *locale) {
  return InitWith(KrpSeamObtainForRead, seam, locale, true);
}

void KrpCurrentLocale(char *out) {
  const uint32_t w = g_locale.load(std::memory_order_relaxed);
  out[0] = static_cast<char>(w & 0xFF);
  out[1] = static_cast<char>(w >> 8);
  out[2] = 0;
}

extern "C" KRP_API uint32_t dll_KrpResourceInit(const char *locale) {
  return KrpResourceInitInternal(nullptr, locale);
}

extern "C" KRP_API uint32_t dll_KrpRelease() {
  KrpReadCacheForget();
  std::lock_guard<std::mutex> lock(g_mu);
  g_initialised = false;
  g_pinned = false;
  SetLocale("00");
  return 0;
}

extern "C" KRP_API uint32_t dll_KrpGetLocale(char *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  out[0] = '0';
  out[1] = '0';
  out[2] = 0;
  uint32_t rc = KrpResourceInitInternal();
  if (rc != 0) return rc;
  KrpCurrentLocale(out);
  return 0;
}

extern "C" KRP_API uint32_t dll_KrpSetLocale(const char *locale) {
  if (!locale) return KST_ERR_INVALID_PARAMETER;
  char taken[KRP_LOCALE_BUF] = {'0', '0', 0};
  bool zz = locale[0] == 'z' && locale[1] == 'z' && locale[2] == 0;
  if (KrpIsValidLocale(locale) && !zz) {
    taken[0] = locale[0];
    taken[1] = locale[1];
  } else if (!zz) {
    KstLogPrintf("krp (%d) INFO: chosen locale '%.3s' is out of range. Using default=english.",
                 __LINE__, locale);
  }
  uint32_t rc = KrpResourceInitInternal();
  if (rc != 0) return rc;
  std::lock_guard<std::mutex> lock(g_mu);
  SetLocale(taken);
  g_pinned = true;
  return 0;
}

extern "C" KRP_API uint32_t dll_KrpSetCurrentLocale(const char *locale) {
  if (!KrpIsValidLocale(locale)) return KST_ERR_INVALID_PARAMETER;
  const char value[KRP_LOCALE_BUF] = {locale[0], locale[1], 0};
  uint32_t rc = dll_KrpSetResource(KRT_TEXT, kLocaleName, KRP_LOCALE_BUF, value, nullptr, nullptr);
  if (rc != 0) return rc;
  std::lock_guard<std::mutex> lock(g_mu);
  SetLocale(value);
  g_pinned = true;
  return 0;
}

extern "C" KRP_API uint32_t dll_KrpGetCurrentLocale(char *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  KrpStoreSeam seam;
  uint32_t rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  char loc[KRP_LOCALE_BUF];
  rc = ReadStoredLocale(&seam, loc);
  memcpy(out, loc, KRP_LOCALE_BUF);
  // Nothing stored: "00" and 21, the current locale unchanged.
  if (rc != 0) return rc;
  std::lock_guard<std::mutex> lock(g_mu);
  SetLocale(loc);
  return 0;
}
