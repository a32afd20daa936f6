// Heap memory: malloc/free, with the failure as a code (never an exception).
#include <cstdlib>

#include "platform.h"

uint32_t KstAllocMem(uint32_t size, uint32_t /*flags*/, void **out, void * /*reserved*/) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = std::malloc(size ? size : 1);
  return *out ? KST_OK : KST_HEAP_FULL;
}

uint32_t KstFreeMem(void *p, uint32_t /*flags*/) {
  std::free(p);
  return KST_OK;
}
