// The direct-mode index: what a process that reads the store file without a
// host keeps between calls, so that a lookup costs a lock, a stat, a header
// read and one read of the record instead of a scan of the whole file.
// Internal to the store engine; StoreForceReadNames asks it first and scans
// as before when it declines.
//
// A later read costs: the lock, a stat of the path, the header read, the
// record read and the unlock (and a look for the marker when the header
// does not rule a pack out).
//
// What it holds (one per process, for the last store path asked):
//   - the file, kept open between calls WITHOUT a lock; a call takes the
//     shared lock (never waiting), works, and drops it again, so writers are
//     kept out exactly while it reads;
//   - the device and inode of that file, the file header's bytes, the end of
//     the whole records indexed and the size last seen;
//   - an open-addressing table of 16-byte slots: a 64-bit hash of each live
//     name -> offset and length of its last live record, and a 64-bit hash
//     (another seed) of every prefix that some live name continues with "."
//     -> one such record. No name is stored: every answer is proved on the
//     file itself (below).
//
// Every use, under the shared lock:
//   1. the path still names the open file (device, inode), else the file
//      was replaced: reopen, rebuild;
//   2. no pack marker beside the store (an interrupted pack: decline; the
//      scan reads the backup). The marker is looked for before anything is
//      built from the file; while the indexed header carries the orderly-
//      close tag and is unchanged it is not: a pending pack always leaves a
//      header without that tag (the host's open clears it before any pack,
//      and the pack's own header has none);
//   3. the header bytes are unchanged (an open by a host, a pack and a close
//      all rewrite it; a pack's time is always later than the previous
//      pack's, and a store created over the file starts later than any time
//      its old header held, so neither leaves an earlier header behind even
//      within one second) and the file is not shorter than the indexed end,
//      else rebuild;
//   4. a grown file (or one with a torn tail after the indexed end) is
//      scanned from the indexed end only;
//   5. every record an answer rests on is read and must still be a whole,
//      live record of that name (for "has names below it": of a name that
//      continues it with "."); the data handed out must match the record's
//      digest. A record that does not match rebuilds the index once; a
//      second mismatch in the same call (two names sharing a 64-bit hash)
//      declines, and the scan answers.
// Writers never shrink the file except by a pack (which rewrites the header
// first) or by salvaging a torn tail (which leaves torn bytes that step 4
// rescans), and never move a live record without appending, so a name the
// table lacks and a prefix it lacks are absent from the file as well.
//
// Declining (served false) leaves the call to the scan, which then reports
// what it finds its own way: a writer holding the file (the scan's open
// retries and gives 32), a missing, empty, corrupt or unknown file, an
// interrupted pack, an allocation failure while building.
//
// Threads: one mutex guards everything; it is held for the whole call but
// never while waiting (the shared lock is tried without blocking, and a
// declined call drops the mutex before the scan's own open retries).
// Fork: the child forgets the index and closes its copy of the handle (the
// description, and so its lock, is shared with the parent).
//
// Memory: 16 bytes a slot, at most 4/3 slots per entry before the table
// doubles; one entry per live name and one per distinct container prefix,
// plus a record buffer that shrinks back after a large record.
#ifndef KRP_STORE_STORE_DIRECT_INDEX_H
#define KRP_STORE_STORE_DIRECT_INDEX_H

#include <cstdint>

#include "store_maint.h"

// Answers a force read of several names on the store file at `path` (a
// resolved path) from the index. The caller has checked the names and
// cleared their outputs and *data. *served false: nothing was answered and
// the outputs are untouched; scan instead. Served results: 0, 0x37000E (the
// data handed out fail their digest), 8192.
uint32_t TsDirectIndexRead(const char *path, TsForceName *names, uint32_t count, void **data,
                           bool *served);

// What the index did since it was last forgotten, and what it holds now.
struct TsDirectIndexStats {
  uint64_t builds;     // full scans
  uint64_t grows;      // scans of a grown file from the indexed end
  uint64_t served;     // calls answered
  uint64_t declined;   // calls left to the scan
  uint64_t names;      // live names indexed now
  uint64_t prefixes;   // container prefixes indexed now
  uint64_t bytes;      // memory held now (table and record buffer)
};
void TsDirectIndexGetStats(TsDirectIndexStats *out);
// Drops the index and its counts and closes its file (the next call builds
// again).
void TsDirectIndexForget();
// On by default; off makes every call decline (benchmarks measure the scan).
void TsDirectIndexSetEnabled(bool on);

#endif  // KRP_STORE_STORE_DIRECT_INDEX_H
