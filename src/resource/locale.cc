// The process's current locale and its initialisation marker.
//
// State machine (under g_mu, which is never held across a store request):
//   uninitialised --first successful init--> initialised
//   initialised --dll_KrpRelease--> uninitialised
// While no server runs, every initialisation re-reads the stored locale
// from the store file (the value may have been changed by another process
// meanwhile), so the marker is cleared again after each such call. A locale
// this process set itself (g_pinned) is kept across those re-reads.
#include <cctype>
#include <cstring>
#include <mutex>

#include "platform.h"
#include "resource.h"

namespace {

std::mutex g_mu;
bool g_initialised = false;
bool g_pinned = false;
char g_locale[KRP_LOCALE_BUF] = {'0', '0', 0};

const char kLocaleName[] = "vendor.locale.current_locale";

// The stored locale: "vendor.locale.current_locale" or its default
// counterpart, TEXT. Accepted only as exactly two alphanumerics (a stored
// terminator is allowed); anything else is logged and gives "00".
// Returns 0 with out set, or a read failure other than 0x370001.
uint32_t ReadStoredLocale(KrpStoreSeam *seam, char *out, bool *stored = nullptr) {
  if (stored) *stored = false;
  out[0] = '0';
  out[1] = '0';
  out[2] = 0;
  char buf[8] = {0};
  uint32_t size = sizeof buf;
  KrpReadOut r;
  r.type = KRT_TEXT;
  r.size = &size;
  r.buffer = buf;
  uint32_t rc = KrpReadInternal(seam, kLocaleName, "00", &r);
  // No store file at all (no server ever ran) holds no locale either.
  if (rc == KRP_ERR_NOT_FOUND || rc == KST_ERR_FILE_NOT_FOUND || rc == KST_ERR_PATH_NOT_FOUND)
    return 0;
  if (rc == KST_ERR_BUFFER_TOO_SMALL) {
    KstLogPrintf("krp_kts (%d) stored locale longer than %u bytes, using 00", __LINE__,
                 static_cast<unsigned>(sizeof buf));
    return 0;
  }
  if (rc != 0) return rc;
  uint32_t len = static_cast<uint32_t>(strnlen(buf, size));
  if (len == 0) return 0;  // an empty value counts as missing
  if (stored) *stored = true;
  if (len != 2 || !isalnum(static_cast<unsigned char>(buf[0])) ||
      !isalnum(static_cast<unsigned char>(buf[1]))) {
    KstLogPrintf("krp_kts (%d) stored locale '%.*s' is not two alphanumerics, using 00",
                 __LINE__, static_cast<int>(len), buf);
    return 0;
  }
  out[0] = buf[0];
  out[1] = buf[1];
  if (stored) *stored = true;
  return 0;
}

}  // namespace

// The lock is held only to look at and to change the state, never across
// the status check or the read of the stored locale: two threads may both
// read it on a first call, with the same outcome.
uint32_t KrpResourceInitInternal(KrpStoreSeam *seam) {
  KrpStoreSeam own;
  if (!seam) seam = &own;
  bool pinned;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_initialised) {
      if (seam == &own) return 0;
      pinned = true;  // nothing to read; only the seam of the call is wanted
    } else {
      pinned = g_pinned;
    }
  }
  uint32_t st = KrpSeamObtain(seam);
  if (st != 0) return st;
  char loc[KRP_LOCALE_BUF];
  if (!pinned) {
    uint32_t rc = ReadStoredLocale(seam, loc);
    if (rc != 0) return rc;
  }
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_initialised) return 0;
  if (!pinned && !g_pinned) memcpy(g_locale, loc, KRP_LOCALE_BUF);
  // Without a server the next call reads the stored locale again.
  g_initialised = !seam->direct;
  return 0;
}

void KrpCurrentLocale(char *out) {
  std::lock_guard<std::mutex> lock(g_mu);
  memcpy(out, g_locale, KRP_LOCALE_BUF);
}

extern "C" KRP_API uint32_t dll_KrpResourceInit(const char *locale) {
  if (!locale) return KST_ERR_INVALID_PARAMETER;
  return KrpResourceInitInternal();
}

extern "C" KRP_API uint32_t dll_KrpRelease() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_initialised = false;
  g_pinned = false;
  g_locale[0] = '0';
  g_locale[1] = '0';
  g_locale[2] = 0;
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
  memcpy(g_locale, taken, KRP_LOCALE_BUF);
  g_pinned = true;
  return 0;
}

extern "C" KRP_API uint32_t dll_KrpSetCurrentLocale(const char *locale) {
  if (!KrpIsValidLocale(locale)) return KST_ERR_INVALID_PARAMETER;
  const char value[KRP_LOCALE_BUF] = {locale[0], locale[1], 0};
  uint32_t rc = dll_KrpSetResource(KRT_TEXT, kLocaleName, KRP_LOCALE_BUF, value, nullptr, nullptr);
  if (rc != 0) return rc;
  std::lock_guard<std::mutex> lock(g_mu);
  memcpy(g_locale, value, KRP_LOCALE_BUF);
  g_pinned = true;
  return 0;
}

extern "C" KRP_API uint32_t dll_KrpGetCurrentLocale(char *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  KrpStoreSeam seam;
  uint32_t rc = KrpResourceInitInternal(&seam);
  if (rc != 0) return rc;
  char loc[KRP_LOCALE_BUF];
  bool stored = false;
  rc = ReadStoredLocale(&seam, loc, &stored);
  memcpy(out, loc, KRP_LOCALE_BUF);
  if (rc != 0) return rc;
  // Nothing stored: "00" and 21 (not ready), as the stored-locale reader
  // has always answered.
  if (!stored) return 21;
  std::lock_guard<std::mutex> lock(g_mu);
  memcpy(g_locale, loc, KRP_LOCALE_BUF);
  return 0;
}
