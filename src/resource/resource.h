// The read path of the resource layer: one request turned into lookups on
// the store, through the store server when one admits this process, or on
// the store file itself when none does.
//
// Design note
// -----------
// Every call obtains the store seam once (seam.h: server or direct, one
// status check, made inside the process initialisation) and every store
// operation of the call goes through it. A read builds the lookup set of
// its name (names.h) and asks the seam for the first slot that exists, in
// slot order:
//
//   server mode   one request: a plain read when only one slot is set, else
//                 one read-multiple block holding every set slot; the reply
//                 is walked in slot order and the first found entry wins.
//   direct mode   one scan of the store file for all set slots; the listing
//                 pattern (a second scan) only for a container read with 9
//                 or 10.
//
// A direct read that finds the store file held (5 or 32) hands over to a
// server that has come up meanwhile (seam.h), otherwise the status code is
// the result.
//
// Stored value: a 16-byte type-name field, then the value. Every path
// checks that the stored size reaches past the field (a shorter object is an
// inconsistency: logged, result 1) and that reply offsets and sizes lie
// inside the data received, before anything is copied.
//
// Failures are not absences: a time-out, a digest mismatch, a failed
// allocation or a short read ends the lookup with its own code, so a caller
// that writes a default on 0x370001 never overwrites a value that exists but
// could not be read. Only a genuine absence is 0x370001.
//
// Process state: the current locale and its initialisation marker live in
// locale.cc under one mutex, which is never held across a store request or
// a file scan; the read path takes a copy of the locale at the start of
// each request and keeps nothing else between calls.
#ifndef KRP_RESOURCE_RESOURCE_H
#define KRP_RESOURCE_RESOURCE_H

#include <cstdint>

#include "krplib.h"
#include "mtclient.h"  // the service status check and the client calls
#include "names.h"
#include "seam.h"

// Where a read puts what it finds. Every pointer but `size` may be null.
struct KrpReadOut {
  uint32_t type = 0;             // requested type (9 any, 10 container)
  uint32_t *size = nullptr;      // in: capacity of buffer; out: value size
  void *buffer = nullptr;        // copy target; null = no copy
  void **alloc = nullptr;        // allocating read: receives a KstAllocMem block
  bool want_value = true;        // false: only size, type and attributes
  uint32_t *type_out = nullptr;
  KrpAttributes *attrs = nullptr;
  char *access = nullptr;        // 3 bytes: "wr" for slots 0 and 1
  // The read cache keys this read by the request (KrpCacheRequestKey)
  // instead of by its lookup names when set.
  const char *request_key = nullptr;
  uint32_t request_key_len = 0;
};

// readFirstOfNames: the first existing name of `names` (non-empty entries
// in order) through the server. `slot_of[i]` is the slot index of names[i]
// (decides the from-default flag and the access text). 0; 0x370001 none
// exists; 0x370002; 0x370010 container for types 9/10; 0x1005; 1
// inconsistent reply; 87 a null name; the service's failure codes.
uint32_t KrpReadFirstOfNames(const char *const *names, const uint32_t *slot_of, uint32_t count,
                             KrpReadOut *out);

// The non-empty slots of a lookup set in slot order, with their slot
// indexes: the arguments KrpReadFirstOfNames takes.
struct KrpNameList {
  const char *names[KRP_SLOT_COUNT];
  uint32_t slot_of[KRP_SLOT_COUNT];
  uint32_t count;
};
KrpNameList KrpNonEmptySlots(const KrpLookupNames &set);

// Hands one found value to the caller. `stored` is the unscrambled object
// data (16-byte type field + value) of `stored_size` bytes, or null when no
// value was sent. Checks the type, the size protocol, and copies; reports
// type, attributes (from-default flag for slots 1 and 3) and the access
// text "wr" for slots 0 and 1.
uint32_t KrpDeliverValue(KrpReadOut *out, const uint8_t *stored, uint32_t stored_size,
                         uint32_t consumer, uint32_t last_wr, uint32_t attr, uint32_t slot,
                         const char *name);
// Hands a store listing to the caller unchanged (type 10, attributes 0).
uint32_t KrpDeliverListing(KrpReadOut *out, const uint8_t *list, uint32_t len);

// The internal read of one request over `seam`. `locale` is a checked
// two-character locale, never "zz".
uint32_t KrpReadInternal(KrpStoreSeam *seam, const char *name, const char *locale,
                         KrpReadOut *out);
// The same with a seam of its own (one status check).
uint32_t KrpReadInternal(const char *name, const char *locale, KrpReadOut *out);

// ---- process locale state (locale.cc) -----------------------------------------
// Initialises the process. `locale` is the call's locale (87 unless two
// alphanumerics); only "zz" reads the stored locale: once while a server
// runs, on every call while none does or while none could be read. A
// stored locale that cannot be read or is malformed selects "00" and never
// fails the call. With `seam` non-null, the seam of the call is obtained
// too (the one status check of the call). `locale_used` false: the call
// never looks at the current locale (a write of a plain name), so without a
// server the stored locale is not read. 0 or the status check's code.
uint32_t KrpResourceInitInternal(KrpStoreSeam *seam = nullptr, const char *locale = "zz",
                                 bool locale_used = true);
// The same for a call that only reads through `seam` (never looks at
// seam->direct itself): the seam may be an unconfirmed server seam
// (KrpSeamObtainForRead), so a read the cache answers costs no system call.
uint32_t KrpResourceInitForRead(KrpStoreSeam *seam, const char *locale);
// Copies the current locale (3 bytes) into out.
void KrpCurrentLocale(char *out);

// ---- event handles (events.cc) ------------------------------------------------
// For tests: how many sleeps of the waits of this process ended before their
// period because a word they slept on moved or was woken (a delete, a
// publication, a host start), over every handle since the process started.
uint64_t KrpTestEventWakeups();

// ---- stored values (write_value.cc) --------------------------------------------
// The value of one write: type, bytes, attributes word, time stamp.
struct KrpWriteValue {
  uint32_t type;
  const void *data;
  uint32_t size;
  uint32_t attr;
  uint32_t timestamp;
};
// Encodes the value and writes it under `name` through the seam.
uint32_t KrpWriteEncoded(KrpStoreSeam *seam, const char *name, const KrpWriteValue &v);
// The stored form of a value (16-byte type-name field + bytes, TEXT and
// TRIGGER zero-terminated) in a new KstAllocMem block. 0; 87; 1 a type with
// no name (9, 10, unknown); 8192.
uint32_t KrpEncodeStoredValue(uint32_t type, const void *data, uint32_t size, void **out,
                              uint32_t *out_size);
// Encodes and writes one value with the current time as its time stamp and
// the type as its Consumer word: through the server when one admits this
// process, else directly into the store file (through a server that came up
// while the file was held). The service's or the direct write's code.
uint32_t KrpWriteStoredValue(const char *name, uint32_t type, const void *data, uint32_t size,
                             uint32_t attr);

// ---- store file paths (store_path.cc) ------------------------------------------
// How splitting a store file's path into folder and file name went.
enum class KrpPathSplit { kOk, kTooLong, kNoSeparator, kNoFileName };
// Splits `path` at its last separator ("/", or "\\") into `folder`, the
// separator included, and `file`, each a buffer of KST_MAX_PATH bytes.
// kTooLong: the path does not fit KST_MAX_PATH (nothing is copied then).
KrpPathSplit KrpSplitStorePath(const char *path, char *folder, char *file);

// ---- access rights (access.cc) ----------------------------------------------
// Object information of the first lookup name (any type, current locale)
// that exists, through the seam (either mode).
struct KrpObjectInfo {
  uint32_t size;        // value size (stored size minus the type field)
  uint32_t localized;   // 0x0F when found under slot 0 or 1, else 0
  uint32_t attributes;  // with the from-default flag for slots 1 and 3
  uint32_t timestamp;
  uint32_t type;
};
constexpr uint32_t KRP_INFO_LOCALIZED = 0x0F;
// queryObjectInfo. 0; 87 name or out null, "http://" names (logged);
// 0x370010 the empty name or a container (out: zeros, type 10); 123;
// 0x37000F; 0x370001; the service's codes.
uint32_t KrpQueryObjectInfo(KrpStoreSeam *seam, const char *name, KrpObjectInfo *out);

// dll_KrpGetAccess with an initialised process. `known` (may be null): the
// existence result E that the caller's own lookup already established for
// the name with the current locale (0 or 0x370001); the lookup is then not
// repeated.
uint32_t KrpGetAccessInternal(KrpStoreSeam *seam, const char *name, char *access,
                              const uint32_t *known = nullptr);

// ---- listing (list.cc) --------------------------------------------------------
// The merged level of a default listing D and a vendor listing V: D's
// content (without a closing zero), CR LF when that content (of at least 2
// bytes) does not end in one, every line of V that D does not hold followed
// by LF (a piece after V's last LF gets a CR when it lacks one), and one
// closing zero. `out` has room for dsize + vsize + 5 bytes. Returns the
// merged size with the zero; *count grows by the lines added. Throws
// std::bad_alloc when the set of D's lines cannot be allocated.
uint32_t KrpMergeListings(const uint8_t *d, uint32_t dsize, const uint8_t *v, uint32_t vsize,
                          uint8_t *out, uint32_t *count);

#endif  // KRP_RESOURCE_RESOURCE_H
