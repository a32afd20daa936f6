// The exported release of every buffer the library hands to a caller.
#include "krplib.h"
#include "platform.h"

// A null pointer is a caller's mistake worth telling (87), never a crash.
extern "C" KRP_API uint32_t dll_KrpFreeMem(void *p) {
  if (!p) return KST_ERR_INVALID_PARAMETER;
  return KstFreeMem(p, 0);
}
