// KstLogPrintf: the one logging entry point. Lines go to the logging library
// libtracelib.so ("vlogprintfA"), loaded once per process from
//   1. the file named by KST_TRACELIB, when that is set, else
//   2. libtracelib.so in the suite's library folder (path kind 52).
// Never from the current directory: a library planted in a folder that others
// can write would run inside every process of the suite. A failed search is
// not repeated; without the library nothing is logged.
//
// The search runs once under a mutex; a log call made by the search itself
// (the path query may log) is dropped instead of waiting for itself. The
// library call runs outside the mutex. errno is preserved across a call.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform.h"
#include "test_hooks.h"

namespace {

typedef int (*VLogFn)(const char *, va_list);

enum SearchState : int { kNotSearched = 0, kSearched = 1 };

std::mutex g_search_mu;
std::atomic<int> g_state{kNotSearched};
// Written before g_state turns kSearched (release), read after (acquire).
VLogFn g_vlog = nullptr;
std::atomic<uint32_t> g_search_count{0};
thread_local bool t_searching = false;

const char *const kEntryNames[] = {"logbegin", "logend", "vlogprintfA",
                                   "vlogprintfW", "logsaveA", "logsaveW"};
void *g_entries[6];

void SearchLogLibrary() {
  g_search_count.fetch_add(1, std::memory_order_relaxed);
  KST_HMODULE mod = nullptr;
  const char *env = getenv("KST_TRACELIB");
  if (env && *env) {
    if (KstLoadModule(&mod, env) != KST_OK) mod = nullptr;
  } else {
    char folder[KST_MAX_PATH + 32];
    if (KstQueryKestarPath(KPATH_LOGLIB, folder, KST_MAX_PATH) == KST_OK) {
      KstEnsureBackslash(folder);
      strcat(folder, "libtracelib.so");
      if (KstLoadModule(&mod, folder) != KST_OK) mod = nullptr;
    }
  }
  if (!mod) return;
  // The other entry points are resolved and kept for completeness; only
  // vlogprintfA is ever called.
  for (size_t i = 0; i < 6; ++i) KstQueryProcAddr(mod, 0, kEntryNames[i], &g_entries[i]);
  g_vlog = reinterpret_cast<VLogFn>(g_entries[2]);
}

VLogFn LogFunction() {
  if (g_state.load(std::memory_order_acquire) == kSearched) return g_vlog;
  if (t_searching) return nullptr;
  std::lock_guard<std::mutex> lock(g_search_mu);
  if (g_state.load(std::memory_order_relaxed) != kSearched) {
    t_searching = true;
    SearchLogLibrary();
    t_searching = false;
    g_state.store(kSearched, std::memory_order_release);
  }
  return g_vlog;
}

}  // namespace

void KstLogVPrintf(const char *fmt, va_list ap) {
  if (!fmt) return;
  int saved = errno;
  VLogFn fn = LogFunction();
  if (fn) fn(fmt, ap);
  errno = saved;
}

void KstLogPrintf(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  KstLogVPrintf(fmt, ap);
  va_end(ap);
}

uint32_t KstTestLogSearchCount() { return g_search_count.load(std::memory_order_relaxed); }
