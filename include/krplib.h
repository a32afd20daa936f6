/* krplib: the machine-local resource library of the product suite.
 *
 * Conventions
 * -----------
 * - Every function returns a 32-bit result code: 0 is success. Other results
 *   go out through pointer arguments. No function throws or aborts on bad
 *   input; a missing required argument gives 87.
 * - Result codes: the table "Result codes" below names every code the
 *   library returns (KRP_OK, KRP_ERR_...), with its meaning;
 *   dll_KrpResultText gives the meaning as text.
 * - A failure is never reported as "not found": 0x370001 means the name does
 *   not exist; a value that exists but could not be read (time-out, digest,
 *   allocation) gives that failure's own code.
 * - Buffer protocol: a function that fills a caller's buffer takes its size by
 *   pointer; when the buffer is missing or too small it returns 0x1005 and
 *   stores the size needed.
 * - Memory: every buffer the library hands out is released by the caller with
 *   dll_KrpFreeMem. Handles (list helper, events) belong to the caller from
 *   their creation to their exit or delete call.
 * - Threads: every function may be called from any thread; one handle must not
 *   be used by two threads at once unless its function says so. The
 *   process's current locale is shared by all its threads (guarded inside
 *   the library); setting it from one thread changes it for all.
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

/* ==== Result codes ========================================================
 * The one table of the library's result codes: every code is defined here
 * and nowhere else. The library's own layers use these names too (the
 * platform layer's KST_ERR_... names and the store engine's TS_ERR_... names
 * are aliases of them), which is why this part of the header depends on
 * nothing but the C preprocessor. The codes up to 0x2000 are the platform's
 * (operating-system errors after the library's mapping, allocation); a
 * function's own comment says which codes it returns and when. */
#define KRP_OK                      0u         /* success */
#define KRP_ERR_GENERAL             1u         /* general failure: unknown operating-system
                                                  error, abandoned wait, inconsistent reply */
#define KRP_ERR_FILE_NOT_FOUND      2u         /* file or named object not found */
#define KRP_ERR_PATH_NOT_FOUND      3u         /* folder (path) not found */
#define KRP_ERR_TOO_MANY_OPEN_FILES 4u         /* too many open files */
#define KRP_ERR_ACCESS_DENIED       5u         /* access denied; a read-only store was asked to
                                                  change; the client side is disconnecting */
#define KRP_ERR_INVALID_HANDLE      6u         /* invalid handle (also a wrong check word) */
#define KRP_ERR_WRITE_PROTECT       25u        /* the medium is write-protected */
#define KRP_ERR_SHARING_VIOLATION   32u        /* sharing violation: the file is in use */
#define KRP_ERR_END_OF_FILE         38u        /* end of file; end of a list */
#define KRP_ERR_FILE_EXISTS         80u        /* the file exists */
#define KRP_ERR_INVALID_PARAMETER   87u        /* missing or invalid argument */
#define KRP_ERR_DISK_FULL           112u       /* disk full */
#define KRP_ERR_TIMEOUT             121u       /* time-out */
#define KRP_ERR_INVALID_NAME        123u       /* invalid name */
#define KRP_ERR_MOD_NOT_FOUND       126u       /* module or entry point not found */
#define KRP_ERR_ALREADY_EXISTS      186u       /* already exists */
#define KRP_ERR_ENVVAR_NOT_FOUND    203u       /* environment variable not set */
#define KRP_ERR_FILENAME_TOO_LONG   206u       /* file name or path too long */
#define KRP_ERR_NOT_SUPPORTED       207u       /* not supported: "http://" names, a missing
                                                  entry point */
#define KRP_ERR_BUFFER_TOO_SMALL    0x1005u    /* buffer too small: the size variable holds the
                                                  size needed (4101) */
#define KRP_ERR_HEAP_FULL           0x2000u    /* allocation failed (8192) */
#define KRP_ERR_INVALID_SORT_MODE   0x2001u    /* invalid sort mode (8193) */
#define KRP_ERR_UNKNOWN_VERSION     0x141000u  /* the store file's format version is unknown */
#define KRP_ERR_NO_SERVER           0x141001u  /* no usable store server for this process
                                                  (reads and writes use the store file) */
#define KRP_ERR_NOT_FOUND           0x370001u  /* not found: the name does not exist */
#define KRP_ERR_WRONG_TYPE          0x370002u  /* wrong type for the operation */
#define KRP_ERR_PIECE_TO_CLIENT     0x370003u  /* a piece from the server to the client failed;
                                                  packing could not read */
#define KRP_ERR_PIECE_TO_SERVER     0x370004u  /* a piece from the client to the server failed;
                                                  packing could not write */
#define KRP_ERR_MALFORMED_VALUE     0x370005u  /* a value's text or a list is malformed (also a
                                                  bad locale) */
#define KRP_ERR_EMPTY_VALUE         0x370006u  /* empty value; container without entries */
#define KRP_ERR_SERVER_RUNS         0x370008u  /* a server already runs on this machine */
#define KRP_ERR_EVENT_DELETED       0x370009u  /* the event handle was deleted during a wait */
#define KRP_ERR_WAIT_RUNNING        0x37000Au  /* a wait already runs on the event handle */
#define KRP_ERR_NOT_STARTED         0x37000Cu  /* stop requested but no service was started */
#define KRP_ERR_DIGEST              0x37000Eu  /* data do not match their digest; the counts of
                                                  a listing disagree */
#define KRP_ERR_NAME_TOO_LONG       0x37000Fu  /* name too long (259 characters at most) */
#define KRP_ERR_IS_CONTAINER        0x370010u  /* the name is a container */
#define KRP_ERR_CLEANING            0x370011u  /* the server is cleaning house */
#define KRP_ERR_STARTING            0x370012u  /* the server is starting */
#define KRP_ERR_UNSUPPORTED         0x370013u  /* interface version or function not supported */
#define KRP_ERR_ATTR_CHANGE         0x370014u  /* a write would change the supersized or
                                                  memory-only bit of an object */
#define KRP_ERR_CORRUPT             0x37F0FFu  /* the store file is corrupt */

/* The meaning of a result code in a few words ("not found", ...): a static
 * text, never null, that the caller must not free. A code the table above
 * does not hold gives "unknown result code". */
KRP_API const char *dll_KrpResultText(uint32_t code);
/* ==== end of result codes ================================================= */

/* Releases a buffer the library handed out. 0; 87 for a null pointer. */
KRP_API uint32_t dll_KrpFreeMem(void *p);

/* ==== List helper ========================================================
 * A list is a sequence of byte strings (items) behind an opaque handle. Its
 * serialised form, used by LIST values and by listings, is for each item its
 * length as 8 hex digits ("%08x"), the bytes and "\r\n", closed by
 * "00000000". A list with no items is the 8-byte terminator alone.
 *
 * Common to every function that takes a handle: a handle that is null, all
 * bits set, already exited, or whose check word is wrong gives 6, and the
 * memory behind it is not touched. Positions are 1-based. Sizes are byte
 * counts; an in/out size holds the caller's buffer size on entry and the
 * item's or list's size on return. Items are copied out without a
 * terminating zero. A handle must not be used by two threads at once.
 * Functions that edit, serialise or sort refuse a read-only list (one filled
 * by dll_KrpListhelpAddListRange) with 6.
 */
typedef struct KrpListhelpList *KRP_HLIST;

/* Creates an empty list. 0; 87 out is null; 0x2000 allocation failed (*out
 * is then null). `reserved` is ignored. */
KRP_API uint32_t dll_KrpListhelpInit(KRP_HLIST *out, void *reserved);

/* Frees every item and the list, and sets *handle to null. 0; 87 handle is
 * null; 6 bad handle. */
KRP_API uint32_t dll_KrpListhelpExit(KRP_HLIST *handle);

/* Replaces the list's items by those parsed from buf[size] (empty items are
 * dropped) and makes the list writable; the cursor goes to the first item.
 * 0; 6 bad handle; 87 buf null (list unchanged), size below 8, or the buffer
 * is malformed (the items read before the fault stay in the list); 0x2000
 * allocation failed (the items read so far stay). */
KRP_API uint32_t dll_KrpListhelpAddList(KRP_HLIST h, const void *buf, uint32_t size);

/* Like dll_KrpListhelpAddList, but keeps only the non-empty items numbered
 * first, first + 1, ... (from 1), at most `maximum` of them, and makes the
 * list read-only. The whole buffer is still checked. 0; 6 bad handle; 87 buf
 * null, first 0 or maximum 0 (list unchanged), size below 8 or malformed
 * buffer; 0x2000 allocation failed. */
KRP_API uint32_t dll_KrpListhelpAddListRange(KRP_HLIST h, const void *buf, uint32_t size,
                                             uint32_t first, uint32_t maximum);

/* The number of items. 0; 6 bad handle; 87 count is null. */
KRP_API uint32_t dll_KrpListhelpGetCount(KRP_HLIST h, uint32_t *count);

/* The first item; the cursor moves past it (also with a null buf, which only
 * asks for the size). 0; 6 bad handle; 87 size is null; 38 the list is
 * empty (*size = 0); 0x1005 buf too small: *size holds the item's length and
 * the cursor stays on the item. */
KRP_API uint32_t dll_KrpListhelpGetFirstItem(KRP_HLIST h, void *buf, uint32_t *size);

/* The item at the cursor; the cursor moves past it (also with a null buf).
 * 0; 6 bad handle; 87 size is null; 38 no item left; 0x1005 buf too small
 * (*size holds the length, the cursor stays). */
KRP_API uint32_t dll_KrpListhelpGetNextItem(KRP_HLIST h, void *buf, uint32_t *size);

/* The item at `position`; the cursor does not move. 0; 6 bad handle; 87
 * size null or position 0; 38 position above the count; 0x1005 buf too
 * small (*size holds the length); 0x370005 the list is damaged. */
KRP_API uint32_t dll_KrpListhelpGetItem(KRP_HLIST h, uint32_t position, void *buf,
                                        uint32_t *size);

/* Inserts a copy of data[size]: position 0 before the first item, 1 to
 * count - 1 after the item at that position, count or more (0xFFFFFFFF
 * included) at the end. The cursor goes to the first item. 0; 6 bad handle
 * or read-only list; 87 data null or size 0; 0x2000 allocation failed. */
KRP_API uint32_t dll_KrpListhelpInsertItem(KRP_HLIST h, uint32_t position, const void *data,
                                           uint32_t size);

/* Removes the item at `position`; the cursor goes to the first item. 0; 6
 * bad handle or read-only list; 87 position 0 or above the count; 0x370005
 * the list is damaged. */
KRP_API uint32_t dll_KrpListhelpDeleteItem(KRP_HLIST h, uint32_t position);

/* Replaces the bytes of the item at `position` by a copy of data[size]; the
 * cursor does not move. 0; 6 bad handle or read-only list; 87 position 0 or
 * above the count, data null or size 0; 0x2000 allocation failed (the item
 * is unchanged); 0x370005 the list is damaged. */
KRP_API uint32_t dll_KrpListhelpChangeItem(KRP_HLIST h, uint32_t position, const void *data,
                                           uint32_t size);

/* Serialises the list into buf (no terminating zero); with a null buf only
 * the size is stored. 0; 6 bad handle or read-only list; 87 size is null, or
 * the serialised list would not fit 32 bits; 0x1005 buf too small (*size
 * holds the size needed). */
KRP_API uint32_t dll_KrpListhelpGetList(KRP_HLIST h, void *buf, uint32_t *size);

/* Sort modes: 1 signed decimal integers (read like a 32-bit strtol), 2 IPv4
 * addresses as unsigned 32-bit numbers, 3 text ignoring the case of ASCII
 * letters, 4 little-endian UTF-16 text ignoring the case of ASCII letters.
 * Items are read up to their first zero byte (mode 4: zero unit). Any other
 * non-zero mode leaves the order as it is. */
#define KRP_LISTSORT_INTEGER 1u
#define KRP_LISTSORT_IPV4 2u
#define KRP_LISTSORT_TEXT_NOCASE 3u
#define KRP_LISTSORT_WIDE_NOCASE 4u

/* Sorts the items ascending by exchanging contents between positions; items
 * that compare equal end in the order this exchange sort has always given.
 * The cursor goes to the first item. 0 (also for an empty list); 6 bad
 * handle or read-only list; 0x2001 mode 0; 0x2000 no memory for the sort
 * keys (the list is unchanged). */
KRP_API uint32_t dll_KrpListhelpSort(KRP_HLIST h, uint32_t mode);

/* Makes a new serialised list: the items of list[list_size] followed by
 * element[element_size]. *out is a new buffer of *out_size bytes that the
 * caller frees with dll_KrpFreeMem; the input is not changed. 0; 87 list or
 * element null, element_size 0, out or out_size null, a malformed or
 * too-short list, or a result that would not fit 32 bits; 0x2000 allocation
 * failed. */
KRP_API uint32_t dll_KrpListhelpAddListElementToResource(const void *list, uint32_t list_size,
                                                         const void *element,
                                                         uint32_t element_size, void **out,
                                                         uint32_t *out_size);

/* The number of non-empty items in buf[size]. 0; 87 an argument null or 0,
 * size below 8, or a malformed buffer. */
KRP_API uint32_t dll_KrpListhelpGetCountFromResource(const void *buf, uint32_t size,
                                                     uint32_t *count);
/* ==== end of list helper ================================================= */

/* ==== Resource names and types ============================================
 * A resource name is a zero-terminated string of components separated by
 * "."; everything before the last dot is the resource's container. Names are
 * compared byte for byte. After an optional "kts:" prefix a name holds at
 * most 259 characters (0x37000F beyond); it may not begin with "." (87), nor
 * with "k" unless it begins with "kts:" (123). Names beginning with
 * "http://" are not served (207).
 *
 * Type codes of values; 9 (any type) and 10 (container) occur only in
 * requests and in what type queries report. */
#ifndef KRT_TEXT
#define KRT_TEXT 1u
#define KRT_IMAGE 2u
#define KRT_INTEGER 4u
#define KRT_BOOLEAN 6u
#define KRT_LIST 7u
#define KRT_BYTEARRAY 8u
#define KRT_ANY 9u
#define KRT_CONTAINER 10u
#define KRT_TRIGGER 11u
#define KRT_UTC 12u
#endif

/* Joins a name part to the name in dest[capacity] with exactly one dot:
 * leading dots of `part` are skipped, trailing dots of dest are cut to one,
 * and a dot is added between them when dest is not empty. An empty part
 * leaves dest without trailing dots. Lengths count up to 9999 characters.
 * Examples: "a" + "..b" -> "a.b"; "a..." + "b" -> "a.b"; "a" + "" -> "a";
 * "..." + "b" -> "b".
 * 0; 87 dest or part null, capacity 0, or dest has no terminator within
 * capacity; 0x1005 the joined name and its terminator do not fit (dest then
 * holds its trailing dots cut to one and, when there was room for it, the
 * joining dot; nothing is written at or past dest[capacity]). */
KRP_API uint32_t dll_KrpResourceStringCat(char *dest, uint32_t capacity, const char *part);
/* ==== end of resource names and types ===================================== */

/* ==== Reading resources, access rights, locales ===========================
 * Attribute record handed out by reads: the object's time stamp (seconds
 * since 1970 UTC) and its attribute word. Bit 0 (KRP_ATTR_DEFAULT) is set
 * when the value was found under the "default." counterpart of the name.
 *
 * Reads take the value's buffer with an in/out size: the capacity on entry,
 * the value's size on return. A null buffer asks for size, type and
 * attributes only. A value larger than the capacity gives 0x1005 with the
 * needed size stored. Common results of every read: 0; 87 name null or
 * beginning with ".", size null; 123 name beginning with "k" but not
 * "kts:"; 207 "http://" names; 0x37000F name too long; 0x370001 not found;
 * 0x370002 stored type differs (or a container read with a value type);
 * 1 inconsistent data from the store (logged); 121, 0x37000E, 0x2000 and
 * the platform's codes when an existing value could not be read (never
 * reported as 0x370001); 0x141001 / 0x370011 / 0x370012 when the service
 * status can not be resolved.
 */
typedef struct KrpAttributes {
  uint32_t timestamp;
  uint32_t attributes;
} KrpAttributes;
#define KRP_ATTR_DEFAULT 0x1u

/* The central read. type: a KRT_* code, 9 any or 10 container (a container
 * read with 9 or 10 gives type 10 and the store's listing unchanged).
 * access: 3 bytes or null, receives the governing access text; type_out,
 * attrs, access_result may be null. locale: two alphanumerics, "zz" = the
 * process's current locale, else 87. access_result: the access lookup's
 * result, or 1 when a localized string set "wr" itself. Also 87 for type 0.
 * An empty TEXT value copies one zero byte and reports size 0. */
KRP_API uint32_t dll_KrpGetResourceForLocale(uint32_t type, const char *name, uint32_t *size,
                                             void *buffer, char *access, uint32_t *type_out,
                                             const char *locale, KrpAttributes *attrs,
                                             uint32_t *access_result);
/* As above with locale "zz". 0x1005 for a non-null buffer with *size 0. */
KRP_API uint32_t dll_KrpGetResource(uint32_t type, const char *name, uint32_t *size,
                                    void *buffer, KrpAttributes *attrs, char *access);
/* TEXT, IMAGE, LIST reads. IMAGE: a value of size 0 gives 0x370006; LIST: a
 * value of size 0 or 1 gives 0x370006. */
KRP_API uint32_t dll_KrpGetString(const char *name, uint32_t *size, char *buffer);
KRP_API uint32_t dll_KrpGetImage(const char *name, uint32_t *size, void *buffer);
KRP_API uint32_t dll_KrpGetList(const char *name, uint32_t *size, void *buffer);
/* Typed getters: the value's text read by its length (at most 64 bytes for
 * INTEGER and UTC, 11 for BOOLEAN; longer values give 0x370005). 87 out
 * null; 0x370006 empty value; 0x370005 text not canonical ("%d", "%u";
 * trailing blanks are allowed; BOOLEAN exactly "true" or "false"). INTEGER
 * and UTC store the parsed value in *out even when they return 0x370005. */
KRP_API uint32_t dll_KrpGetInteger(const char *name, int32_t *out);
KRP_API uint32_t dll_KrpGetBoolean(const char *name, uint32_t *out);
KRP_API uint32_t dll_KrpGetUTC(const char *name, uint32_t *out);
/* Reads any type into a new buffer (*data, at least 1 byte, freed by the
 * caller with dll_KrpFreeMem; null on failure). data may be null to ask for
 * the size only. 87 name or size null. */
KRP_API uint32_t dll_KrpGetResourceAlloc(const char *name, uint32_t *size, void **data,
                                         uint32_t *type_out, KrpAttributes *attrs,
                                         char *access);
/* The access text (3 bytes) governing `name`: the nearest "<ancestor>.access"
 * value, then the same walk under "default." for "vendor." names. "rr" for
 * the empty name and "kts:". Result: 0 the name exists (access found); 
 * 0x370001 the name does not exist (the access text may still be set), or no
 * access value exists (text empty); 87; 207; 0x37000F over 260 characters. */
KRP_API uint32_t dll_KrpGetAccess(const char *name, char *access);
/* Initialises the process once: the current locale is read from
 * "vendor.locale.current_locale" (default counterpart as fall-back; "00" when
 * none is stored or it is not two alphanumerics). locale: two alphanumerics
 * (checked only for null: 87). */
KRP_API uint32_t dll_KrpResourceInit(const char *locale);
/* Forgets the initialisation: the next call reads the stored locale again. */
KRP_API uint32_t dll_KrpRelease(void);
/* The process's current locale into out (3 bytes). 87 out null. */
KRP_API uint32_t dll_KrpGetLocale(char *out);
/* Makes `locale` the process's current locale (not stored): two
 * alphanumerics other than "zz"; anything else (logged, "zz" silently)
 * selects "00". Kept until dll_KrpRelease or another set. 0; 87 null. */
KRP_API uint32_t dll_KrpSetLocale(const char *locale);
/* Stores `locale` (two alphanumerics, else 87) as the machine's locale
 * ("vendor.locale.current_locale", TEXT, 3 bytes with the terminator, with
 * dll_KrpSetResource) and makes it the process's current locale. The
 * write's code on failure (the current locale is then unchanged). */
KRP_API uint32_t dll_KrpSetCurrentLocale(const char *locale);
/* Reads the stored locale into out (3 bytes) and makes it current. 87 out
 * null; 21 nothing stored (out "00"); a stored value that is not two
 * alphanumerics gives "00" and 0. */
KRP_API uint32_t dll_KrpGetCurrentLocale(char *out);
/* Multiple get. `list` holds `count` names in the list format (an 8-digit
 * hexadecimal length, the name of at most 260 characters, up to two CR or LF
 * bytes); *size is the list's size in bytes. Each name is looked up as a
 * single read of any type in the current locale would look it up. On success
 * *out receives a new list (freed with dll_KrpFreeMem) with one item per
 * announced name, in order ("%08x" length, bytes, CR LF), then
 * "00000000\r\n" and a zero byte; *size receives its size without that last
 * zero byte. Names the list does not supply (count larger than the names in
 * it) give empty items.
 *
 * dll_KrpGetMultipleByList: each item is the value's bytes; a name not found
 * or with an empty value gives an item of one zero byte.
 * dll_KrpGetMultipleResourcesWithAttributes: each item is a record of six
 * little-endian 32-bit words {24 + value size, 0, value size, time stamp,
 * attributes (bit 0 set: the value came from a default counterpart), type}
 * followed by the value; {0, 0x370001, 0, 0, 0, 0} for a name not found,
 * {24, 0x370001, 0, 0, 0, 0} for an empty value. A list text of 9 characters
 * or fewer is refused.
 *
 * Both need a running store server; the lookup names of up to 2000 names
 * travel in one request. Results: KRP_OK; KRP_ERR_INVALID_PARAMETER (87) an
 * argument null, count or *size 0, a malformed list; KRP_ERR_NAME_TOO_LONG a
 * name over 260 characters; KRP_ERR_BUFFER_TOO_SMALL (0x1005) more than 128
 * requests needed; KRP_ERR_HEAP_FULL; KRP_ERR_GENERAL an inconsistent reply;
 * KRP_ERR_NO_SERVER, KRP_ERR_STARTING, KRP_ERR_CLEANING and the other
 * failures of the store request (no direct reading takes place). */
KRP_API uint32_t dll_KrpGetMultipleByList(const void *list, uint32_t count, uint32_t *size,
                                          void **out);
KRP_API uint32_t dll_KrpGetMultipleResourcesWithAttributes(const void *list, uint32_t count,
                                                           uint32_t *size, void **out);
/* ==== end of reading resources, access rights, locales ==================== */

/* ==== Listing and enumeration =============================================
 * A container listing is what the store answers for a container: one item
 * per distinct next name component below it, in the list format ("%08x"
 * length, the component, CR LF), closed by one zero byte that the size
 * counts. Its number of entries is the number of LF bytes before its last
 * byte. Listings and buffers handed out are freed with dll_KrpFreeMem. */

/* The stored type of `name` (KRT_*), or 10 for a container. 0; 87 name or
 * type null; 0x370001; 207 "http://" names; the read's codes. */
KRP_API uint32_t dll_KrpGetResourceType(const char *name, uint32_t *type);
/* The time stamp and attributes word of `name` (bit 0 set: only its
 * "default." counterpart exists). 0; 87; 207; 0x370002 a container;
 * 0x370001; the read's codes. */
KRP_API uint32_t dll_KrpGetResourceAttributes(const char *name, KrpAttributes *attrs);
/* The listing of the container `name` in a new buffer (*listing may be
 * null: only the size is reported), its size and, when both listing and
 * count are given, its number of entries. 0; 87 name or size null; 207;
 * 0x370001 nothing exists or the container is empty (*listing null);
 * 0x370002 the name holds a value (*listing null). */
KRP_API uint32_t dll_KrpListResources(const char *name, void **listing, uint32_t *size,
                                      uint32_t *count);
/* As dll_KrpListResources, and for a name that is "vendor" or begins with
 * "vendor." also the listing of its "default" counterpart: the default
 * listing's items first, then the vendor items it does not hold, closed by
 * one zero byte. Neither existing gives 0 with size 0, count 0 and a null
 * listing. 87 name, listing or size null; 0x370001 (a name not under
 * "vendor" that does not exist); the listing's codes. */
KRP_API uint32_t dll_KrpListEntireLevel(const char *name, void **listing, uint32_t *size,
                                        uint32_t *count);
/* The first child C of `container` (in listing order) whose resource
 * "<container>.C.<resource>" holds `value` (length bytes): IMAGE and
 * BYTEARRAY byte for byte; other types as text, where a final zero and
 * trailing bytes that are not letters, digits, punctuation or blanks are
 * not compared. The child's name goes zero-terminated into output (may be
 * null) and its length with the zero into *size; 0x1005 when *size (the
 * capacity) is too small, with the size needed. 87 container, resource,
 * value or size null; 0x370001 no child matches (size 0); the listing's
 * codes. */
KRP_API uint32_t dll_KrpGetContainerWithResourceValue(const char *container,
                                                      const char *resource, const void *value,
                                                      uint32_t length, char *output,
                                                      uint32_t *size);
/* The same with the child's name in a new buffer (*output, freed with
 * dll_KrpFreeMem; null on failure). 87 output or size null. */
KRP_API uint32_t dll_KrpGetContainerWithResourceValueAlloc(const char *container,
                                                           const char *resource,
                                                           const void *value, uint32_t length,
                                                           char **output, uint32_t *size);
/* Callbacks of the enumeration: `container` is the enumerated container,
 * `entry` the entry's own name (the full name is "<container>.<entry>", or
 * the entry alone for the empty container). A non-zero return ends the walk
 * and becomes its result. */
typedef uint32_t (*KrpContainerCallback)(const char *container, const char *entry,
                                         void *context);
typedef uint32_t (*KrpResourceCallback)(const char *container, const char *entry,
                                        uint32_t type, uint32_t size, void *context);
/* Walks the entries of `container` in listing order: a container entry adds
 * 1 to *containers and is handed to on_container, a value adds 1 to
 * *resources and is handed to on_resource with its type and value size.
 * Every pointer but container may be null. 0; 87 container null; 0x370001;
 * 0x370006 no entries; 0x37000E the listing's counts disagree; 0x37000F a
 * full name over 259 characters; the first failure of a type or size query;
 * a callback's non-zero result. */
KRP_API uint32_t dll_KrpClientEnumerateContainer(const char *container, uint32_t *containers,
                                                 uint32_t *resources,
                                                 KrpContainerCallback on_container,
                                                 KrpResourceCallback on_resource,
                                                 void *context);
/* Item `position` (from 1) of the LIST resource `name` in a new buffer
 * (*out, one zero byte after the item, freed with dll_KrpFreeMem) and its
 * length without that zero. 87 name null or empty, position 0, out or size
 * null, a malformed list; 0x370002 not a LIST; 38 position past the end;
 * the read's codes. */
KRP_API uint32_t dll_KrpClientGetListItemByIndexFromResource(const char *name,
                                                             uint32_t position, void **out,
                                                             uint32_t *size);
/* ==== end of listing and enumeration ====================================== */

/* ==== Writing and deleting resources ======================================
 * A write stores the value with its type, the attributes word of the record
 * (bit 0x100 is not stored; no record: 0) and a time stamp (the current
 * time; dll_KrpSetResourceWithTimestamp: the record's). It goes through the
 * store server when one admits this process, else straight into the store
 * file; a write that finds the file held by a server that came up meanwhile
 * is made through that server. TEXT and TRIGGER values are stored with a
 * terminating zero (added when the last byte is not one).
 *
 * Names for writing: surrounding white space is removed; the rest must hold
 * a dot, not at either end (87); at most 259 characters, at most 79 after
 * the last dot (0x37000F). Without a server, a write that would make one
 * name both a value and a container (the name has names below it, or an
 * ancestor holds a value) is refused with 1 and writes nothing.
 *
 * access (may be null or empty): also stored as the TEXT value
 * "<container>.access" of the name's container, same time stamp and
 * attributes; when that write fails, the value written stays.
 *
 * Common results of the writes:
 *   KRP_OK
 *   KRP_ERR_INVALID_PARAMETER   type 0 or 10, name null, data null with a
 *                               size, attributes above 0xFFFFFF, bad name
 *   KRP_ERR_NOT_FOUND           empty name
 *   KRP_ERR_WRONG_TYPE          type 9
 *   KRP_ERR_NAME_TOO_LONG       name, last part or access name too long
 *   KRP_ERR_GENERAL             container clash (or the check could not
 *                               tell), an unknown type, "http://" names
 *   KRP_ERR_HEAP_FULL           allocation failed
 *   KRP_ERR_CLEANING, KRP_ERR_STARTING, KRP_ERR_TIMEOUT and the platform's
 *   codes of a failed request or file write. */
KRP_API uint32_t dll_KrpSetResource(uint32_t type, const char *name, uint32_t size,
                                    const void *data, const KrpAttributes *attrs,
                                    const char *access);
/* As dll_KrpSetResource, with the record's time stamp (the current time
 * without a record). Needs a server: KRP_ERR_NO_SERVER otherwise. */
KRP_API uint32_t dll_KrpSetResourceWithTimestamp(uint32_t type, const char *name, uint32_t size,
                                                 const void *data, const KrpAttributes *attrs,
                                                 const char *access);
/* TEXT, IMAGE and LIST writes (results as dll_KrpSetResource). */
KRP_API uint32_t dll_KrpSetString(const char *name, uint32_t size, const char *data,
                                  const KrpAttributes *attrs, const char *access);
KRP_API uint32_t dll_KrpSetImage(const char *name, uint32_t size, const void *data,
                                 const KrpAttributes *attrs, const char *access);
KRP_API uint32_t dll_KrpSetList(const char *name, uint32_t size, const void *data,
                                const KrpAttributes *attrs, const char *access);
/* INTEGER ("%d"), UTC ("%u") and BOOLEAN ("true" for any value but 0,
 * "false") writes, stored as text without terminator. */
KRP_API uint32_t dll_KrpSetInteger(const char *name, int32_t value, const KrpAttributes *attrs,
                                   const char *access);
KRP_API uint32_t dll_KrpSetUTC(const char *name, uint32_t value, const KrpAttributes *attrs,
                               const char *access);
KRP_API uint32_t dll_KrpSetBoolean(const char *name, uint32_t value, const KrpAttributes *attrs,
                                   const char *access);
/* Rewrites the value the name itself holds (for a "vendor." name without
 * its own value: its "default." counterpart's, which creates the vendor's
 * own copy) with new attributes and the current time; a localized variant
 * is never rewritten.
 *   KRP_ERR_INVALID_PARAMETER   name or attrs null
 *   KRP_ERR_NOT_FOUND           no value to rewrite
 *   KRP_ERR_WRONG_TYPE          the name is a container
 *   and the results of the read and of dll_KrpSetResource. */
KRP_API uint32_t dll_KrpSetResourceAttributes(const char *name, const KrpAttributes *attrs);
/* Writes `access` (one or two characters) as "<container>.access".
 *   KRP_ERR_INVALID_PARAMETER   access null, empty or longer than 2
 *   KRP_ERR_WRONG_TYPE          the name is not a container (logged)
 *   KRP_ERR_NOT_FOUND           nothing of that name exists
 *   KRP_ERR_NAME_TOO_LONG       the access name would exceed 259
 *   and the results of dll_KrpSetResource. */
KRP_API uint32_t dll_KrpSetAccess(const char *container, const char *access,
                                  const KrpAttributes *attrs);
/* Deletes the value `name` of type `type`, or with type 10 (container)
 * everything below the container `name`. Needs a server.
 *   KRP_ERR_INVALID_PARAMETER   type 0 or 9, name null
 *   KRP_ERR_NOT_SUPPORTED       "http://" names
 *   KRP_ERR_NO_SERVER           no server (logged; the file is not touched)
 *   KRP_ERR_WRONG_TYPE          the stored type differs, or a container
 *                               with a value type (nothing is deleted)
 *   KRP_ERR_NOT_FOUND           nothing of that name exists
 *   and the codes of the request. */
KRP_API uint32_t dll_KrpDeleteResource(uint32_t type, const char *name);
/* ==== end of writing and deleting resources =============================== */

/* ==== Fragments and blobs =================================================
 * A fragment is a complete store file holding a copy of one container: every
 * object whose name begins with "<name>." (a leading "kts:" removed; the
 * empty name: the whole store), stored under its name without that prefix,
 * with its data (scrambled as the store keeps it), time stamp, attributes and
 * type word unchanged. It is cut out through the store service (a server
 * must run) in a temporary file that is created new, readable only by its
 * owner, and always deleted before the call returns. */

/* The fragment of `name` into *buffer (a new block the caller frees with
 * dll_KrpFreeMem), its size into *size. With buffer null only the size is
 * returned. Flags bit 0x1 also records the prefix in the fragment as the TEXT
 * object "__system.blob_fullpath" (not for the whole store).
 *   KRP_ERR_INVALID_PARAMETER   name or size null (*size is set to 0 first)
 *   KRP_ERR_NO_SERVER           no server runs (logged)
 *   KRP_ERR_NAME_TOO_LONG       the prefix would exceed 259 characters
 *   KRP_ERR_NOT_FOUND           nothing lies below the name
 *   KRP_ERR_ACCESS_DENIED       the temporary file was replaced under the call
 *   KRP_ERR_GENERAL             an object vanished during the copy, a short
 *                               read of the temporary file, an inconsistent reply
 *   and the codes of the temporary folder, the store and the requests. */
KRP_API uint32_t dll_KrpGetFragment(const char *name, uint32_t flags, uint32_t *size,
                                    void **buffer);
/* dll_KrpGetFragment with flags 0x1.
 *   KRP_ERR_INVALID_PARAMETER   name or size null
 *   KRP_ERR_NOT_SUPPORTED       "http://" names */
KRP_API uint32_t dll_KrpGetBlob(const char *name, uint32_t *size, void **buffer);
/* ==== end of fragments and blobs ========================================== */

/* ==== Merging fragments ===================================================
 * A fragment is a store file holding a copy of resources under their names
 * without a common prefix (optionally "__system.blob_fullpath": the prefix
 * they were cut from; "__system.delete_list": names to delete first).
 * dll_KrpMergeIntoStore opens it read-only and writes its values into the
 * store through the store server, each with bit 0x100 in its attributes.
 *
 * Either `buffer` (the file's bytes, `size` of them; kept in a private
 * temporary file during the call) or `path` (a full path, not a bare file
 * name) is given. Fragment names lose "<strip>." (each must begin with it)
 * and get "<new_prefix>." in front; with KRP_MERGE_FULL_NAMES they get the
 * recorded prefix instead and both prefixes must be null or empty.
 * The first policy bit set decides: defaults (access values, then values
 * the target's access text lets through; vendors marked "use_defaults" are
 * cleared first), overwrite, newer wins. "iso_names" lists are united.
 * The merge stops at its first failure; values written before stay.
 *   KRP_ERR_INVALID_PARAMETER   no buffer/size and no path, no policy bit,
 *                               prefixes with KRP_MERGE_FULL_NAMES, a path
 *                               that does not exist, a name outside strip
 *   KRP_ERR_FILE_NOT_FOUND      a bare file name as path
 *   KRP_ERR_NAME_TOO_LONG       a prefix, path or composed name too long
 *   KRP_ERR_NO_SERVER           no server runs for this process
 *   KRP_ERR_NOT_FOUND           a listed object of the fragment has no data
 *   KRP_ERR_MALFORMED_VALUE     a listing of the fragment is malformed
 *   KRP_ERR_GENERAL             the temporary file was written short
 *   and the codes of the store engine (opening the fragment) and of the
 *   requests. */
#define KRP_MERGE_DEFAULTS      0x1u
#define KRP_MERGE_OVERWRITE     0x2u
#define KRP_MERGE_NEWER_WINS    0x4u
#define KRP_MERGE_DELETE_LIST   0x8u
#define KRP_MERGE_OVERWRITE_ALT 0x80u
#define KRP_MERGE_FULL_NAMES    0x1000u
KRP_API uint32_t dll_KrpMergeIntoStore(const void *buffer, const char *path, uint32_t size,
                                       const char *strip, const char *new_prefix,
                                       uint32_t flags);
/* ==== end of merging fragments ============================================ */

/* ==== Events: watching one resource for changes ===========================
 * A handle remembers one resource's last-write time stamp, type and size; a
 * wait blocks until one of them changes, the resource can no longer be read,
 * or another thread deletes the handle. Handles belong to the caller from
 * create to delete (or to the end of the wait a delete interrupted).
 *
 * The handle record (52-byte head, then the name with its terminator):
 *   record size 52 | check word 0x4B725065 | lock | state | priority |
 *   reserved (all ones) | poll period ms | last outcome | time of the last
 *   read | remembered time stamp | remembered type | remembered size | name
 * A handle that is not live (never made, deleted, freed by its wait) gives 6;
 * the library never reads the memory behind it.
 *
 * Poll periods by priority: -10 15000 ms, 0 8000 ms, 10 3000 ms, any other
 * 1 ms; each handle adds 0 to 63 ms of its own. A wait sleeps at most one
 * period between looks, and is woken at once by a published change of the
 * store and by a delete of its handle.
 *
 * Event codes (out event): 16 no change, 32 changed (the stamp output holds
 * the new time stamp), 48 the resource no longer exists (check only), 255
 * the resource could not be read (the stamp output is 0). */
typedef struct KrpEventRecord *KRP_HEVENT;
#define KRP_EVENT_RECORD_SIZE 52u
#define KRP_EVENT_CHECK_WORD 0x4B725065u
#define KRP_EVENT_STATE_IDLE 0u
#define KRP_EVENT_STATE_WAITING 1u
#define KRP_EVENT_STATE_DELETED 15u
#define KRP_EVENT_PRIORITY_LOW (-10)
#define KRP_EVENT_PRIORITY_NORMAL 0
#define KRP_EVENT_PRIORITY_HIGH 10
#define KRP_EVENT_PERIOD_LOW_MS 15000u
#define KRP_EVENT_PERIOD_NORMAL_MS 8000u
#define KRP_EVENT_PERIOD_HIGH_MS 3000u
#define KRP_EVENT_PERIOD_OTHER_MS 1u
#define KRP_EVENT_SPREAD_MASK 63u
#define KRP_EVENT_NONE 16u
#define KRP_EVENT_CHANGED 32u
#define KRP_EVENT_GONE 48u
#define KRP_EVENT_READ_FAILED 255u

/* 87 handle or name null, empty name, reserved not 0; 0x370001 the resource
 * can not be read; 0x370002 it is a container; 8192. */
KRP_API uint32_t dll_KrpCreateEventHandle(KRP_HEVENT *handle, const char *name, int32_t priority,
                                          uint32_t reserved);
/* 0; 6 not a live handle. A handle being waited on is marked, the wait
 * wakes, frees it and returns 0x370009. */
KRP_API uint32_t dll_KrpDeleteEvent(KRP_HEVENT handle);
/* Blocks until a change, a read failure or a delete: 0 with the event
 * output 32 (stamp output = new stamp) or 255 (stamp output 0); 0x370009
 * the handle was deleted meanwhile (it is gone); 87; 6; 0x37000A a wait
 * already runs on the handle; 5 the handle's lock failed. stamp: in, the
 * caller's known time stamp (0 = not known). */
KRP_API uint32_t dll_KrpWaitForEvent(KRP_HEVENT handle, uint32_t *stamp, uint32_t *event,
                                     uint32_t reserved);
/* One look without a handle: 0 with event 16 (stamp filled when it was 0)
 * or 32 (new stamp) or 48 (known stamp, resource gone); 1 with event 16 a
 * read failure other than absence; 0x370001 absent with stamp 0;
 * 0x370002 container; 87. */
KRP_API uint32_t dll_KrpCheckForEvent(const char *name, uint32_t *stamp, uint32_t *event,
                                      uint32_t reserved);
/* ==== end of events ========================================================= */

/* ==== Store service: start, stop, availability ===========================
 * One process on the machine hosts the store: its start runs the server
 * thread that owns the store file until the stop. Every process learns from
 * the shared status block whether it may use that server. */
typedef struct KrpLibContext *KRP_HLIBCTX;

/* The interface version is 8. *version 0: 8 is written back, 0. 1 to 6: 8 is
 * written back, 0x370013 (not supported). 7 and from 8 up: accepted
 * unchanged, 0. 87 version is null. */
KRP_API uint32_t dll_KrplibGetInterfaceVersion(uint16_t *version);

/* Hosts the default store <root>/resources/store.kts (root: the registry's
 * product root). Codes as dll_KrpInitializeKrpLibUsingNamedStore, and the
 * error of the root query (2 when no root is recorded). */
KRP_API uint32_t dll_KrpInitializeKrpLib(KRP_HLIBCTX *out);

/* Starts the server thread on the store file_name in folder root (both null
 * for the default store) with the store open flags `flags`, and waits until
 * the store is open. Afterwards only this process may use the server, until
 * dll_KrpFlagMtClientAsAvailable. 0 (*out = the context); 87 out is null;
 * 0x370008 a server runs already on this machine (the status block is left
 * alone); 8192; 121 the store open made no progress for 100 s; 1 the status
 * block found is smaller than its layout; the code of a failed object
 * creation or store open (32 the store is in use by another process after
 * 101 tries, 0x141000 unknown store version, ...). A failed start leaves no
 * thread running and the status block saying that no server runs. */
KRP_API uint32_t dll_KrpInitializeKrpLibUsingNamedStore(KRP_HLIBCTX *out, uint32_t flags,
                                                        const char *root, const char *file_name);

/* Stops the server: ends the thread after the request in progress, closes the
 * store, marks the status block (no server) and sets *handle to null. The
 * result of releasing the status block (0); 87 handle is null; 0x37000C no
 * service was started by this process with this handle; 121 the server
 * thread did not end within 100 s (it is left running, *handle is null). */
KRP_API uint32_t dll_KrpUninitializeKrpLib(KRP_HLIBCTX *handle);

/* Whether this process may use the server now, without waiting: 0 yes;
 * 0x141001 no usable server (none runs, it serves only its own process, or
 * its host is gone); 0x370011 the server is cleaning house; 0x370012 it is
 * starting. */
KRP_API uint32_t dll_KrpIsMtAvailable(void);

/* Open the server to every process (MT status 1), to its own process only
 * (0), or hold every client waiting while the host cleans house (10). Any
 * process may call them. 0; 2 no status block exists (nothing is created);
 * 1 the status block is smaller than its layout. */
KRP_API uint32_t dll_KrpFlagMtClientAsAvailable(void);
KRP_API uint32_t dll_KrpFlagMtClientAsUnavailable(void);
KRP_API uint32_t dll_KrpFlagMtClientAsServerIsCleaningHouse(void);

/* Store maintenance through the server (any process the server admits).
 * Common codes: 1 no service has ever run (no status block); 2 no server
 * has created its request objects; 5 this process is disconnecting; 121 no
 * reply within the time-outs; 0x370013 the running host does not serve
 * this request yet. */
/* Packs the store. */
KRP_API uint32_t dll_KrpPackStore(void);
/* Copies the store to `target`. 87 target null or empty; 0x37000F 260
 * characters or more. */
KRP_API uint32_t dll_KrpCopyStore(const char *target);
/* Always 0x370013 (not supported). */
KRP_API uint32_t dll_KrpStoreKtsGetRuntimeInfo(void);
/* The runtime report as an XML schema and document (release both with
 * dll_KrpFreeMem; null when empty), with an optional stylesheet reference.
 * 87 an output null; 0x37000F stylesheet of 260 characters or more. */
KRP_API uint32_t dll_KrpStoreKtsGetRuntimeInfoXML(void **schema, uint32_t *schema_size,
                                                 void **document, uint32_t *document_size,
                                                 const char *stylesheet);
/* ==== end of store service ================================================ */

#ifdef __cplusplus
}
#endif

#endif /* KRPLIB_H */
