// Critical sections (re-entrant, process-local) and sleeping.
#include <time.h>

#include <cerrno>
#include <mutex>
#include <new>

#include "handle_registry.h"
#include "kst_alloc.h"
#include "platform.h"

struct KstCritSec {
  std::recursive_mutex mu;
};

uint32_t KstCreateCritSec(KST_HCRITSEC *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  auto *cs = KstNew<KstCritSec>();
  if (!cs) return KST_ERR_GENERAL;
  if (KstHandleRegister(cs, KstHandleKind::CritSec) != KST_OK) {
    KstDelete(cs);
    return KST_ERR_GENERAL;
  }
  *out = cs;
  return KST_OK;
}

uint32_t KstDeleteCritSec(KST_HCRITSEC cs) {
  if (!KstHandleUnregister(cs, KstHandleKind::CritSec)) return KST_ERR_INVALID_HANDLE;
  KstDelete(cs);
  return KST_OK;
}

uint32_t KstEnterCritSec(KST_HCRITSEC cs) {
  if (!KstHandleIsLive(cs, KstHandleKind::CritSec)) return KST_ERR_INVALID_HANDLE;
  cs->mu.lock();
  return KST_OK;
}

uint32_t KstLeaveCritSec(KST_HCRITSEC cs) {
  if (!KstHandleIsLive(cs, KstHandleKind::CritSec)) return KST_ERR_INVALID_HANDLE;
  cs->mu.unlock();
  return KST_OK;
}

uint32_t KstSleep(uint32_t ms) {
  struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A signal cuts nanosleep short; go on with what is left.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  return KST_OK;
}
