// Store maintenance: direct access to a store file without an open store,
// packing and copying an open store, and the runtime-information report.
//
// Design note
// -----------
// Direct access (store_direct.cc). A force read or force write opens the
// file itself, scans every record as the index rebuild does, acts on the
// LAST live record of the name (writes append before they mark, so after a
// crash the later of two live records is the current one, as the rebuild
// decides) and closes the file again. Nothing survives a call. A moved
// object is appended first and its old record marked deleted afterwards.
// A reader holds the file shared and never changes it; a writer holds it
// exclusively and so may repair what a crash left, exactly as StoreInit
// does, before it writes:
//   - an interrupted pack (the marker below): the writer restores the
//     backup (TsPackRecover); the reader reads the backup instead when the
//     marker names a whole, matching one (TsPackReadSource), so it never
//     reads a half-rewritten file and sees what the next open will see;
//   - a torn last record (a writer killed inside its append): the writer
//     salvages it (the cut bytes saved in "<name>.torn", the file cut at the
//     last whole record); the reader takes the record's start as the end of
//     the file and serves every whole record before it;
//   - a zero-byte file (a crash right after its creation): an empty store;
//     the writer gives it a new header first.
//
// Pack (store_pack.cc) rewrites the open store in place, in the order of the
// index's list, from a backup copy ("store.old" in the store's folder). The
// in-place rewrite is unsafe while it runs, so a marker file beside the store
// (the store's file name with the extension ".packing") exists exactly while
// the store file may differ from the backup. Order of durable steps, each
// synced before the next begins, so that a kill or a power loss at any
// moment leaves either the untouched store or a marker naming a whole backup:
//
//   1. backup written, synced, its folder entry synced
//   2. marker written and synced, its folder entry synced
//   3. store header and records rewritten, synced, cut, synced
//   4. marker removed, folder synced            (the pack is complete)
//
// The marker records the backup's path, size and a 64-bit hash of its
// bytes. The next StoreInit (TsPackRecoverAtOpen) restores the backup over
// the store before it reads the header when a whole marker is found whose
// backup still matches it; a marker cut short (a crash during step 2) is
// removed, because the store was not touched yet. A failed pack rolls back
// by copying the backup over the store, cutting it to the backup's length
// and syncing; only then is the marker removed. When the rollback itself
// fails, the marker stays (the next open restores the backup) and the store
// refuses writes and deletes until it is closed: anything written meanwhile
// would be lost to that restore.
//
// Step 3 takes the records' data from the backup. By default the backup is
// mapped for reading as soon as it is created: the rewrite takes each
// record's data from the map in list order, whatever their place in the
// file, and a helper thread checks them against their digests, behind the
// copy and while the rewrite writes. The rewrite takes the helper's verdict
// once it has written its last record and before it syncs, so the first
// mismatch in list order fails the pack with the result and log line of a
// record-by-record check, and the rollback restores the backup. Without a
// map (it was refused, or a test forces the window) the data are read
// through a window. When the list follows the file (a store packed before),
// in list order: the window advances with the records, and the few that lie
// out of order are read alone. When the list jumps about the file (a store
// written at random into many containers), the data are gathered a slice
// of the list at a time (at most TsPackSetGatherBound's bytes, 256 MiB by
// default): a slice's records are read in file order and handed to the
// rewrite in list order. Either way each record's data are checked against
// their digest as the rewrite reaches them.
//
// A backup new or shorter than the store is extended to the store's size
// before the copy, and the helper makes the pages of its new part from the
// end backward while the copy fills them from the front; the new part reads
// as zeros until the copy writes it, and nothing reads the backup before the
// marker names it. The copy and the rewrite sync behind them every 64 MiB
// on a thread of their own, so that their final sync waits for the last
// step only; a failure of such a sync fails the copy or the pack.
//
// A byte of the map that the device cannot give back raises SIGBUS where a
// read would fail: a pack of a store on a failing device may so end the
// process. The marker is then found by the next open, which restores the
// backup, as after any crash.
//
// Copy writes a byte-for-byte copy of the open store's file; with the stamp
// flag the statistics and the orderly-close tag go into the COPY's header,
// never into the running store's file. Copies and backups are created with
// KstCreateRWFileNoLink: no symbolic link is followed at the target and only
// a regular file is ever replaced.
//
// The runtime report (store_runtime.cc) builds an XML document and its
// schema from the store's counters; both are handed out scrambled.
//
// Every file access goes through the platform's Kst* calls and so through
// its KstOsApi seam: tests make any read, write, sync, cut or space query
// fail, and record their order.
#ifndef KRP_STORE_STORE_MAINT_H
#define KRP_STORE_STORE_MAINT_H

#include <atomic>
#include <cstdint>

#include "store.h"

// ---- direct access ------------------------------------------------------------
constexpr uint32_t kTsForceRead = 0x80;
constexpr uint32_t kTsForceWrite = 0x100;

// Force read: the object's data in a new KstAllocMem block (*data, owned by
// the caller; may be null to ask for the size and words only), its size and
// words. A name ending in "*" is a listing read: the distinct next
// components below the prefix, each as "%08x" length, the component and CR
// LF, followed by one zero byte, scrambled with KST_SCRAMBLE_KEY.
// `path` names the store file itself; null or "" selects the default store
// <root>/resources/store.kts.
// Results: 0 (also for a name without a live record, and for a zero-byte
// file: size 0, no data); 87
// missing name or output; 0x37000F name over 259 characters or a path that
// does not fit; 2 missing file or wrong magic; 0x141000 unknown version;
// 0x370001 a listing found nothing; 0x37000E the data fail their digest;
// 0x37F0FF corrupt file, or an interrupted pack whose backup does not match
// its marker; 8192; the platform's code of a failed open (32 and 5 are
// retried once, after a 1000 ms pause each) or read.
uint32_t StoreForceRead(const char *path, const char *name, void **data, uint32_t *size,
                        uint32_t *last_wr, uint32_t *attr, uint32_t *consumer);
// Force write: writes the object with Attr bit 31 set and "f"/"F" filler; in
// place when the last live record of the name is long enough, else appended
// (the old record is then marked deleted, its LastWr set to now and its Attr
// bit 31 set). Results as force read, and 0x370014 for a name ending in "*"
// (the file is not touched), 0x37000F for a name over 257 characters in a
// version-3 file, 87 when the record would not fit in 32 bits, the
// platform's code of a failed write (logged), of a failed restore of an
// interrupted pack, or of a failed salvage of a torn last record (5: a link
// or something other than a regular file at "<name>.torn").
uint32_t StoreForceWrite(const char *path, const char *name, const void *data,
                         const uint32_t *size, const uint32_t *last_wr, const uint32_t *attr,
                         const uint32_t *consumer);
// Force read of several names in one scan of the file. For each entry the
// scan fills `found` and the words of the last live record of its name
// (size, last_wr, attr & 0xFFFFFF, consumer), and `has_children`: some live
// record's name continues the entry's name with "." (so 'vendor.a' has
// children when 'vendor.a.x' exists, not when only 'vendor.ab.x' does).
// With data non-null, *data receives the (scrambled) bytes of the first
// entry in array order that was found, null when none was; the digest is
// checked. Names ending in "*" are refused with 87 (use the listing read).
// Results as force read; 0 with nothing found is no failure.
struct TsForceName {
  const char *name;  // in
  bool found;
  bool has_children;
  uint32_t size, last_wr, attr, consumer;
};
uint32_t StoreForceReadNames(const char *path, TsForceName *names, uint32_t count, void **data);
// Force write with a question put to the same scan: under the write's
// exclusive open the file is scanned once, filling `names` as
// StoreForceReadNames does (no data), and `guard` is called with them
// before anything is written. A non-zero answer is the result and nothing
// is written (a torn tail or an interrupted pack is still settled, as by
// any force write); 0 lets the write go on. So no other writer can change
// what the guard saw before the write lands. Results as force write and
// StoreForceReadNames; the guard is not called when the open, the header,
// the name checks or the scan fail.
using TsForceGuard = uint32_t (*)(const TsForceName *names, uint32_t count, void *ctx);
uint32_t StoreForceWriteGuarded(const char *path, const char *name, const void *data,
                                const uint32_t *size, const uint32_t *last_wr,
                                const uint32_t *attr, const uint32_t *consumer,
                                TsForceName *names, uint32_t count, TsForceGuard guard,
                                void *ctx);
// The common entry: mode kTsForceRead (`data` is a void **) or
// kTsForceWrite (`data` is the input bytes; all words are inputs). 87 for
// any other mode.
uint32_t _StoreKtsForceIO(uint32_t mode, const char *path, const char *name, void *data,
                          uint32_t *size, uint32_t *last_wr, uint32_t *attr, uint32_t *consumer);

// ---- pack and copy ----------------------------------------------------------------

// Packs the open store (see the design note). Results: 0; 6 no store; 5
// secondary mode (logged, nothing touched); 1 the file size cannot be read;
// 0x370004 space check, backup, marker, header or record write, sync or cut
// failed (also while the store refuses writes after a failed rollback);
// 0x370003 a record's data could not be read whole; 0x37000E a record's data
// do not match their digest; 8192. Every failure after the store file was
// touched rolls back to the backup's bytes; the store stays usable.
uint32_t StorePackStoreFile(TsStore *s);
// The size of the window through which a pack reads its backup (see
// GatherSlice in store_pack.cc); 0 restores the default of 1 MiB. Tests make
// it small so that records lie across its edges. Not synchronised: set it
// while no pack runs.
void TsPackSetWindow(uint32_t bytes);
// The most memory a pack holds the records' data in at once (they are read
// from the backup in file order, a slice of the list at a time): 0 restores
// KRP_PACK_BYTES from the environment, else the default of 256 MiB. Tests
// make it small so that a pack takes several slices. Not synchronised: set
// it while no pack runs.
void TsPackSetGatherBound(uint32_t bytes);
// How a pack reads its records' data from the backup: kAuto through a map
// of it, or without one through the window in the way the list's order
// suits (see the design note); tests force the window, read in list order
// (kList) or gathered in file order (kFile). Not synchronised.
enum class TsPackOrder { kAuto, kList, kFile };
void TsPackSetReadOrder(TsPackOrder order);
// The smallest store whose new backup pages a pack prepares on its helper
// thread ahead of the copy (see PreparePages in store_pack.cc); 0 restores
// the default of 32 MiB. Tests make it small so that small stores take that
// path. Not synchronised.
void TsPackSetPrepareBound(uint32_t bytes);
// The step by which copies and the pack's rewrite sync behind them (on a
// thread of their own, for writers of two steps or more); 0 restores the
// default of 64 MiB. Tests make it small. Not synchronised.
void TsSetSyncBehindStep(uint32_t bytes);
// Copies the open store's file to `target` and logs the report. The copy's
// header gets the statistics and the orderly-close tag (version 4, not
// secondary). 0; 6 no store; 8192; 5 the target is a link or not a regular
// file; 38 the source ended early; the platform's code of a failed open,
// read, write or sync.
uint32_t StoreCopyStoreFile(TsStore *s, const char *target);
// The routine both share: copies the whole store file into `target_file`
// when it is open (it is then cut to the copied length and stays open), else
// into a file created at `target_path`. The target is synced. *out_size gets
// the source size. With `stamp` 1 the copy's header is stamped as described
// for StoreCopyStoreFile. `hash` (may be null) gets TsPackHash of the bytes.
// `copied` (may be null) is advanced, with release order, to the end of the
// bytes written so far, so that another thread may read them back behind
// the copy.
uint32_t TsFileCopy(TsStore *s, const char *target_path, KST_HFILE target_file,
                    uint32_t *out_size, uint32_t stamp, uint64_t *hash = nullptr,
                    std::atomic<uint32_t> *copied = nullptr);
// Stamps a version-4 header read from the store (1060 bytes) as orderly
// closed: the close time (now), the active, deleted and supersized counts,
// the database size, the wasted space and the close tag. StoreExit stamps
// the store's own header, the copy the copy's.
void TsStampCloseHeader(uint8_t *hdr, const TsStore *s);
// A fast 64-bit hash of a byte stream, computed block by block: the marker
// uses it to recognise its backup. Not a cryptographic digest.
struct TsPackHashCtx {
  uint64_t lane[4];
  uint64_t total;
};
void TsPackHashInit(TsPackHashCtx *c);
// `len` must be a multiple of 32 except in the last call.
void TsPackHashUpdate(TsPackHashCtx *c, const uint8_t *p, uint32_t len);
uint64_t TsPackHashFinal(const TsPackHashCtx *c);

// The marker's path: the store's path with its extension replaced by
// ".packing".
void TsPackMarkerPath(const char *store_path, char *out, uint32_t size);
// Crash recovery, called by StoreInit right after the store file was opened
// and before its header is read. Create mode: a stale marker is removed.
// Secondary mode: a marker means the file may be half rewritten: 32. Else a
// whole marker whose backup matches it restores the backup over the store
// (logged); a marker cut short is removed; a marker whose backup does not
// match gives 0x37F0FF (logged; both files are left for inspection).
uint32_t TsPackRecoverAtOpen(TsStore *s);
// The same recovery for a store file opened elsewhere (direct access holds it
// exclusively for a write); `who` begins the log lines ("StoreInit" for the
// open). Same results.
uint32_t TsPackRecover(KST_HFILE file, const char *store_path, uint32_t open_flags,
                       bool read_only, const char *who);
// For a reader that holds the store file shared and so may not restore it:
// *source gets the file to read. No marker, or a marker cut short (the store
// was not touched yet): the store file itself. A whole marker whose backup
// matches it: the backup, opened for reading (the caller closes it), which
// holds exactly what the restore would bring back. A backup that does not
// match: 0x37F0FF (logged). Nothing is written. While the reader holds the
// store shared, no writer can open it, so neither file changes meanwhile.
uint32_t TsPackReadSource(KST_HFILE file, const char *store_path, KST_HFILE *source,
                          const char *who);
// 0x370004 while the store refuses writes after a failed rollback, else 0.
// StoreWrite and StoreDelete return it before anything else.
uint32_t TsMaintWriteRefusal(const TsStore *s);

// ---- runtime information ---------------------------------------------------------

// The runtime-information document and its schema, each in a new
// KstAllocMem block, scrambled with KST_SCRAMBLE_KEY over its whole size,
// which counts the terminating zero. `stylesheet` (null or "" for none) is
// referenced by an xml-stylesheet line. Results: 0; 87 no store or outputs,
// or a stylesheet reference holding '"', '<', '>' or '&'; 8192. Changes no
// counter.
uint32_t StoreGetRuntimeInfo(TsStore *s, char **schema, uint32_t *schema_size, char **doc,
                             uint32_t *doc_size, const char *stylesheet);
// The same at a given current time (seconds since 1970).
uint32_t TsRuntimeInfoAt(TsStore *s, uint32_t now, char **schema, uint32_t *schema_size,
                         char **doc, uint32_t *doc_size, const char *stylesheet);

#endif  // KRP_STORE_STORE_MAINT_H
