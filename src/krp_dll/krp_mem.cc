// The exported release of every buffer the library hands to a caller.
#include "krplib.h"
#include "platform.h"

extern "C" KRP_API uint32_t dll_KrpFreeMem(void *p) { return KstFreeMem(p, 0); }
