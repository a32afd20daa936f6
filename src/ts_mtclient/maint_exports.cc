// The exported store maintenance calls: thin wrappers of the client calls
// for pack, copy and the runtime report.
#include "krplib.h"
#include "mtclient.h"

extern "C" KRP_API uint32_t dll_KrpPackStore(void) { return KrpStoreKtsPackMt(0); }

extern "C" KRP_API uint32_t dll_KrpCopyStore(const char *target) {
  return KrpStoreKtsCopyMt(0, target);
}

extern "C" KRP_API uint32_t dll_KrpStoreKtsGetRuntimeInfo(void) { return KRP_ERR_UNSUPPORTED; }

extern "C" KRP_API uint32_t dll_KrpStoreKtsGetRuntimeInfoXML(void **schema, uint32_t *schema_size,
                                                             void **document,
                                                             uint32_t *document_size,
                                                             const char *stylesheet) {
  return KrpStoreKtsGetRuntimeInfoMt(0, schema, schema_size, document, document_size, stylesheet);
}
