// Dynamically loaded modules.
#include <dlfcn.h>

#include "os_api.h"
#include "platform.h"

uint32_t KstLoadModule(KST_HMODULE *out, const char *name) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  if (!name) return KST_ERR_MOD_NOT_FOUND;
  void *m = KstOsApiCurrent()->dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (!m) return KST_ERR_MOD_NOT_FOUND;
  *out = m;
  return KST_OK;
}

uint32_t KstQueryProcAddr(KST_HMODULE mod, uint32_t ordinal, const char *name, void **out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  if (!mod) return KST_ERR_INVALID_HANDLE;
  // Shared objects have no ordinals.
  if (ordinal != 0 || !name) return KST_ERR_NOT_SUPPORTED;
  void *p = dlsym(mod, name);
  if (!p) return KST_ERR_NOT_SUPPORTED;
  *out = p;
  return KST_OK;
}
