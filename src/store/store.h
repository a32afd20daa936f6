// The store engine: one store file of append-and-mark object records and
// the in-memory index rebuilt from it at every open.
//
// Design note
// -----------
// A store is opened by StoreInit, used by exactly one thread (the one that
// opened it) and closed by StoreExit. No operation takes a lock. The only
// other thread is the store's flush thread, which touches nothing but the
// file handle (fsync), the running flag and the two unflushed counters.
//
//   closed --StoreInit--> open (index complete, flush thread running)
//          --StoreExit--> closed (data synced, close tag written, all freed)
//
// A version-4 file is "open" on disk (close tag 0) from the header rewrite
// in StoreInit until StoreExit writes the tag after syncing the data, so the
// tag never claims more than the disk holds. A crash leaves the tag 0 and the
// next open logs a warning. A version-3 file has no tag and is never
// rewritten at open or close; its records are read and updated in place.
//
// Invariants:
// 1. The index holds exactly one live record per name: the list, the hash
//    table and the group map agree (ts_index.h). A successful StoreInit
//    always leaves the hash table built; no request is served without it.
// 2. An object kept in the file has a place in it (offset != 0); a
//    memory-only object (Attr bit 23 when created) has offset 0 and data
//    area 0. Whether an object is memory-only is decided by its offset, never
//    by the Attr bit read from disk.
// 3. Data of up to kTsInlineLimit bytes is kept in the index record and
//    served from memory; it is checked against its digest the first time it
//    is read after an open. Larger data is read from the file and checked
//    at every read.
// 4. A write that does not fit its old data area appends the new record
//    first and marks the old one deleted afterwards: a failed append loses
//    nothing. A write that fits is rewritten in place, guarded by a copy of
//    the new record appended first and cut off again afterwards, so a kill
//    that tears the rewrite still leaves one whole record of the new value.
//    If a crash leaves two live records of one name, the rebuild takes the
//    later one (higher offset) and marks the earlier deleted.
// 5. A failed file write leaves the index as it was. Every record offset +
//    length stays within 4 GiB.
// 6. A store whose open failed is released completely by StoreInit, and a
//    corrupt file is never stamped as orderly closed.
//
// Durability: a killed process loses no write that returned 0 (each is one
// positioned write into the page cache). The flush thread syncs the file at
// most 2 s after a change, so an operating-system crash or power loss may
// lose the writes of the last period; the store still opens and never
// returns bytes that fail their digest.
#ifndef KRP_STORE_STORE_H
#define KRP_STORE_STORE_H

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "ts_index.h"
#include "ts_multi.h"

// ---- result codes of the engine -------------------------------------------
// The engine's names for the library's codes (krplib.h holds the one table;
// platform.h includes it): aliases, never values of their own.
constexpr uint32_t TS_ERR_UNKNOWN_VERSION = KRP_ERR_UNKNOWN_VERSION;
constexpr uint32_t TS_ERR_NOT_FOUND = KRP_ERR_NOT_FOUND;
constexpr uint32_t TS_ERR_DIGEST = KRP_ERR_DIGEST;
constexpr uint32_t TS_ERR_NAME_TOO_LONG = KRP_ERR_NAME_TOO_LONG;
constexpr uint32_t TS_ERR_IS_CONTAINER = KRP_ERR_IS_CONTAINER;
constexpr uint32_t TS_ERR_ATTR_CHANGE = KRP_ERR_ATTR_CHANGE;
constexpr uint32_t TS_ERR_CORRUPT = KRP_ERR_CORRUPT;
// Packing could not read, or could not write.
constexpr uint32_t TS_ERR_PACK_READ = KRP_ERR_PIECE_TO_CLIENT;
constexpr uint32_t TS_ERR_PACK_WRITE = KRP_ERR_PIECE_TO_SERVER;

// ---- open flags -------------------------------------------------------------
constexpr uint32_t kTsOpenShutdownReport = 0x4;     // log the report at StoreExit
constexpr uint32_t kTsOpenSalvageTail = 0x00010000; // cut a torn last record off (below)
constexpr uint32_t kTsOpenCreate = 0x100000;        // create a new, empty store
// With kTsOpenCreate: the file is created through KstCreateRWFileNoLink (no
// symbolic link followed, nothing but a regular file with one link emptied)
// and the old file's header is not read. For files in folders that others
// may write, such as the temporary folder.
constexpr uint32_t kTsOpenNoLink = 0x00020000;
// 0x200000 (kTsOpenAltFiller, ts_format.h): "c"/"C" fillers.
constexpr uint32_t kTsOpenSecondary = 0xFF000000;   // any bit: read-only secondary mode

// Longest name any request takes (259 characters).
constexpr uint32_t kTsMaxName = 259;
// Longest store path (folder and file name together): 259 characters.
constexpr uint32_t kTsMaxPathLen = KST_MAX_PATH - 1;

// The default store: <root>/resources/store.kts.
constexpr char kTsDefaultStoreFolder[] = "resources";
constexpr char kTsDefaultStoreName[] = "store";
constexpr char kTsDefaultStoreExt[] = ".kts";
// The scan reads the file in chunks of this size (grown for larger records).
constexpr uint32_t kTsChunk = 0x500000;

typedef void (*TsProgressFn)(uint32_t percent, void *arg);

struct TsStore {
  uint32_t version;  // 3 or 4
  KST_HFILE file;
  uint32_t open_flags;
  uint32_t read_only;            // secondary mode
  std::atomic<uint32_t> running; // read by the flush thread
  uint32_t close_tag_seen;
  KST_HSEM flush_event;          // null when it could not be created
  KST_HTHREAD flush_thread;      // null when none runs
  char folder[KST_MAX_PATH];     // ends in "/"
  char file_name[KST_MAX_PATH];
  char path[KST_MAX_PATH];       // folder + file name
  uint32_t inline_limit;
  TsIndex index;                 // list head, tail, hash table, group map
  uint8_t *scratch;              // 10240 bytes of "S"
  uint32_t file_end;             // where the next record is appended
  uint8_t *wbuf;                 // record build buffer, grown on demand
  uint32_t wbuf_cap;
  uint32_t load_time;
  uint32_t last_pack_time;
  // Opened with kTsOpenCreate over an existing store: the latest time its
  // header held (0 when none); the new header's open time is later.
  uint32_t replaced_time;
  uint32_t db_size;
  uint32_t wasted;
  uint32_t active;
  uint32_t supersized;
  uint32_t deleted;
  uint32_t reads;
  uint32_t read_multiples;
  uint32_t writes;
  uint32_t deletes;
  uint32_t lists;
  uint32_t infos;
  uint32_t failed_reads;
  uint32_t failed_writes;
  std::atomic<uint32_t> unflushed_writes;   // only grow; watched by the flush thread
  std::atomic<uint32_t> unflushed_deletes;
};

// ---- open and close -----------------------------------------------------------

// The default store's folder "<root>/resources/" (ending in "/") and path
// "<root>/resources/store.kts", <root> being the product root
// (KstQueryKestarPath). Nothing is created but the root folder, which the
// query creates. 0; 87 a null or empty buffer; 0x37000F the path would be
// longer than 259 characters; 4101 a buffer is too small for its text; the
// platform's code of a failed root query (2: no root recorded).
uint32_t TsDefaultStorePath(char *folder, uint32_t folder_size, char *path, uint32_t path_size);

// Opens (or creates) a store. `folder` (ending in "/" or "\") and
// `file_name` are given together or both null/empty for the default store
// <root>/resources/store.kts (its folder is created when missing).
// `progress` (may be null) receives 5, 10, ... 95 while the file is scanned
// and 100 at the end.
// Results: 0 (*out = the store); 6 no out pointer; 0x37000F folder + name
// longer than 259 characters; 8192; the platform's code of a failed path
// query, open, read or write (32 when the file is in use); 2 the file does
// not start with the magic; 0x141000 unknown format version; 0x37F0FF the
// file is corrupt (logged with the fatal banner). On failure everything is
// released and *out is null.
//
// A file that ends inside its last record (a torn append) is corrupt, unless
// kTsOpenSalvageTail is given and the store is not secondary: then the
// records before it are indexed, the cut bytes are saved beside the store
// (file name with the extension ".torn", never written through a link or
// over anything but a regular file), the file is cut at the end of the last
// whole record and a warning is logged.
//
// A zero-byte file (left by a crash right after its creation) holds nothing
// to lose: it is initialised as a new store (logged), or in secondary mode
// read as an empty store without being written.
uint32_t StoreInit(TsStore **out, const char *folder, const char *file_name,
                   TsProgressFn progress, void *arg, uint32_t open_flags);
// Stops the flush thread, logs the shutdown report (open flag 4), syncs the
// file and writes the close tag (version 4, not secondary), closes and frees
// everything. 0, or 6 for a null store.
uint32_t StoreExit(TsStore *store);
// Rebuilds the index by scanning the whole file (used by StoreInit).
uint32_t TsGenerateIndex(TsStore *store, TsProgressFn progress, void *arg);

// ---- object operations ------------------------------------------------------
// Common results: 6 no store; 1 the store has no index; 87 a required
// argument missing; 0x37000F name too long.

// Writes (creates or replaces) an object. `data` is required even for size
// 0. Results: 0; 5 secondary mode; 87 (also: the record would not fit in 32
// bits); 112 the file would pass 4 GiB; 0x37000F (also names over 257
// characters in a version-3 store); 0x370014 the object exists with another
// supersized/memory-only bit, or the name ends in "*"; 8192; the platform's
// write error (counted as a failed write; the index is unchanged).
uint32_t StoreWrite(TsStore *s, const char *name, const void *data, uint32_t size,
                    uint32_t last_wr, uint32_t attr, uint32_t consumer);
// Reads an object; `size` is the buffer's capacity on entry. A name ending
// in "*" is a listing read (the scrambled listing text of the next name
// components below the prefix). Results: 0 (size = data size; no buffer:
// only size and words); 4101 (size = needed); 0x370010 a container (size
// 0); 0 with size 0 for an unknown name; 38 short read; 0x37000E digest
// mismatch; the platform's read error.
uint32_t StoreRead(TsStore *s, const char *name, void *buf, uint32_t *size, uint32_t *last_wr,
                   uint32_t *attr, uint32_t *consumer);
// Deletes an object, or every object beginning with the prefix when the
// name ends in "*". 0 also when nothing was found; 5 secondary mode; the
// result of a failed header read or write.
uint32_t StoreDelete(TsStore *s, const char *name);
// Removes one object from the file (marks its record deleted) and the index.
uint32_t TsDel(TsStore *s, TsIndexRecord *r);
// Sets the deleted word of the record at `offset` in the file: re-reads the
// record's first bytes (77, or 332 in version 3), checks its mark, flags it
// and writes the bytes back. *area and *attr get the record's data area size
// and Attr as read; *read_failed tells a failed read (or a wrong mark,
// 0x37F0FF) from a failed write.
uint32_t TsMarkDeleted(TsStore *s, uint32_t offset, uint32_t *area, uint32_t *attr,
                       bool *read_failed);

// Object information, ten little-endian words.
struct TsObjectInfo {
  uint32_t data_size;
  uint32_t offset;
  uint32_t digest[4];  // the 16 bytes of the MD5
  uint32_t attr;
  uint32_t last_wr;
  uint32_t consumer;
  uint32_t reserved;
};
static_assert(sizeof(TsObjectInfo) == 40);
// 0; 0x370010 container (the empty name: a non-empty store); 0x370001 not
// found; 87; 0x37000F name of 260 characters or more.
uint32_t StoreGetObjectInfo(TsStore *s, const char *name, TsObjectInfo *out);

// Lists the objects whose names begin with `prefix` (non-recursive: no "."
// after prefix length + 1) as list entries (ts_multi.h draws them). *out_size
// gets the total; with `out_list` a block of total + 1 bytes (KstAllocMem,
// the caller frees it) receives the entries. 0; 87; 0x37000F; 8192.
uint32_t StoreListObjects(TsStore *s, const char *prefix, void **out_list, uint32_t *out_size,
                          int recursive);

// Fills a read-multiple block (ts_multi.h draws it) of `capacity` bytes in
// place. The block is untrusted: 87 unless TsMultiCheck accepts it. Results:
// 0; 87; 4101 some item did not fit (the total says how much all would
// need); 1 no index.
uint32_t StoreReadMultiple(TsStore *s, uint32_t capacity, void *buffer);

#endif  // KRP_STORE_STORE_H
