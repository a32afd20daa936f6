/* krplib: the machine-local resource library of the product suite.
 *
 * Conventions
 * -----------
 * - Every function returns a 32-bit result code: 0 is success. Other results
 *   go out through pointer arguments. No function throws or aborts on bad
 *   input; a missing required argument gives 87.
 * - Result codes (the ones callers most often meet):
 *       1  general failure          2  not found (file, named object)
 *       5  access denied            6  invalid handle (wrong check word)
 *      32  sharing violation       38  end of file / end of a list
 *      87  missing or invalid argument
 *     121  time-out               123  invalid name
 *     186  already exists         207  not supported
 *  0x1005  buffer too small: the size variable now holds the needed size
 *  0x2000  allocation failed     0x2001 invalid sort mode
 *  0x370001 not found  0x370002 wrong type  0x370005 malformed value or list
 *  0x37000E data do not match their digest  0x37F0FF the store file is corrupt
 * - Buffer protocol: a function that fills a caller's buffer takes its size by
 *   pointer; when the buffer is missing or too small it returns 0x1005 and
 *   stores the size needed.
 * - Memory: every buffer the library hands out is released by the caller with
 *   dll_KrpFreeMem. Handles (list helper, events) belong to the caller from
 *   their creation to their exit or delete call.
 * - Threads: every function may be called from any thread; one handle must not
 *   be used by two threads at once unless its function says so.
 */
#ifndef KRPLIB_H
#define KRPLIB_H

#include <stdint.h>

#if defined(KRPLIB_BUILD) || defined(__cplusplus)
#define KRP_API __attribute__((visibility("default")))
#else
#define KRP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Releases a buffer the library handed out; null is accepted. Returns 0. */
KRP_API uint32_t dll_KrpFreeMem(void *p);

#ifdef __cplusplus
}
#endif

#endif /* KRPLIB_H */
