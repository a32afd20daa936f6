// Waiting on a 32-bit word until it changes or a wake comes (platform.h).
//
// A word is a futex: the kernel compares it with the expected value and
// puts the thread to sleep in one step, so a change made before the sleep
// is never missed, and a wake after it always ends it. Shared words (in a
// mapping of a named object) use the shared futex calls, keyed by the
// mapped object, so a waker in another process reaches the sleeper; private
// words (heap memory of this process) use the cheaper private calls.
//
// Several words at once use futex_waitv (Linux 5.16): the thread sleeps
// until any of them changes or is woken. On an older kernel (ENOSYS) the
// wait falls back to the first word alone; a change of the others is then
// seen only when the time-out ends the sleep.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "os_api.h"
#include "platform.h"

namespace {

constexpr uint64_t kNsPerMs = 1000000;
constexpr uint64_t kNsPerSec = 1000000000;

timespec RelativeTimeout(uint32_t ms) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>((ms % 1000) * kNsPerMs);
  return ts;
}

timespec AbsoluteMonotonic(uint32_t ms) {
  timespec now{};
  KstOsApiCurrent()->clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ns = static_cast<uint64_t>(now.tv_nsec) + ms % 1000 * kNsPerMs;
  timespec at{};
  at.tv_sec = now.tv_sec + static_cast<time_t>(ms / 1000 + ns / kNsPerSec);
  at.tv_nsec = static_cast<long>(ns % kNsPerSec);
  return at;
}

uint32_t *Addr(const volatile uint32_t *word) { return const_cast<uint32_t *>(word); }

uint32_t WaitResult(long r) {
  if (r == 0) return KST_OK;
  if (errno == ETIMEDOUT) return KST_ERR_TIMEOUT;
  return KST_OK;  // EAGAIN (the word had moved), EINTR: the caller looks again
}

#ifdef SYS_futex_waitv
bool g_no_waitv = false;  // set once ENOSYS was seen; a race only costs one more try
#endif

}  // namespace

uint32_t KstWaitOnWord(const KstWaitWord &w, uint32_t timeout_ms) {
  if (!w.word) return KST_ERR_INVALID_PARAMETER;
  const int op = w.shared ? FUTEX_WAIT : FUTEX_WAIT_PRIVATE;
  timespec ts = RelativeTimeout(timeout_ms);
  const long r = KstOsApiCurrent()->futex(Addr(w.word), op, w.expected,
                                          timeout_ms == KST_INFINITE ? nullptr : &ts, nullptr, 0);
  return WaitResult(r);
}

uint32_t KstWaitOnWordList(const KstWaitWord *words, uint32_t count, uint32_t timeout_ms) {
  if (!words || count == 0 || count > KST_WAIT_WORDS_MAX) return KST_ERR_INVALID_PARAMETER;
  for (uint32_t i = 0; i < count; ++i)
    if (!words[i].word) return KST_ERR_INVALID_PARAMETER;
#ifdef SYS_futex_waitv
  if (count > 1 && !__atomic_load_n(&g_no_waitv, __ATOMIC_RELAXED)) {
    futex_waitv v[KST_WAIT_WORDS_MAX] = {};
    for (uint32_t i = 0; i < count; ++i) {
      v[i].val = words[i].expected;
      v[i].uaddr = reinterpret_cast<uintptr_t>(Addr(words[i].word));
      v[i].flags = FUTEX_32 | (words[i].shared ? 0 : FUTEX_PRIVATE_FLAG);
    }
    timespec at = AbsoluteMonotonic(timeout_ms);
    const long r = syscall(SYS_futex_waitv, v, count, 0,
                           timeout_ms == KST_INFINITE ? nullptr : &at, CLOCK_MONOTONIC);
    if (r >= 0) return KST_OK;
    if (errno != ENOSYS) return WaitResult(r);
    __atomic_store_n(&g_no_waitv, true, __ATOMIC_RELAXED);
  }
#endif
  return KstWaitOnWord(words[0], timeout_ms);
}

uint32_t KstWaitOnWords(const KstWaitWord &first, const KstWaitWord &second, uint32_t timeout_ms) {
  const KstWaitWord both[2] = {first, second};
  return KstWaitOnWordList(both, 2, timeout_ms);
}

void KstWakeWord(const volatile uint32_t *word, bool shared) {
  if (!word) return;
  KstOsApiCurrent()->futex(Addr(word), shared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
                           nullptr, 0);
}
