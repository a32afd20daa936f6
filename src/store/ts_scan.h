// The record scan shared by the index rebuild (TsGenerateIndex) and direct
// access (store_direct.cc), the fatal banner both log for a corrupt file,
// and the salvage of a torn last record. Internal to the store engine.
//
// The scan reads the file from the first record to its end in chunks of
// kTsChunk bytes (or sc->chunk) and hands every whole record, live or deleted, to a visitor
// in file order. A record that straddles two chunks is read again from its
// start with the next chunk; a record larger than the buffer grows it to the
// record's length + kTsChunk.
//
// How a scan can end:
//   - the file ends exactly at a record boundary: 0, torn false;
//   - the file ends inside a record (a torn last append): 0, torn true and
//     torn_at = that record's offset; every record before it was visited.
//     What that means is the caller's decision: a writer that holds the file
//     exclusively salvages the tail (TsSalvageTail), a reader treats the
//     record's start as the end of the file, a plain open reports it corrupt;
//   - an invalid record header: 0x37F0FF, logged as "<who>: F:%d B:%d
//     Invalid object header for v%d" with a hex dump of the header;
//   - a read that ends early (the file shrank during the scan): 0x37F0FF,
//     shrunk true, not logged;
//   - 8192, a read error, or the visitor's non-zero result.
// last_read and buf_off say where the scan stood for the fatal banner: the
// end of the chunk after an invalid header, its start after a record cut
// short.
#ifndef KRP_STORE_TS_SCAN_H
#define KRP_STORE_TS_SCAN_H

#include <cstdint>

#include "platform.h"
#include "ts_format.h"

// Called for every whole record with its offset in the file; a non-zero
// result ends the scan with that result.
typedef uint32_t (*TsRecordFn)(void *ctx, const TsRecordView &v, uint32_t offset);

struct TsScan {
  // in
  KST_HFILE file;
  uint32_t version;  // 3 or 4
  uint32_t first;    // offset of the first record
  uint32_t size;     // file size: the scan stops here
  const char *who;   // prefix of the invalid-header message
  uint32_t chunk;    // bytes read at a time; 0 means kTsChunk. A smaller
                     // chunk touches fewer fresh pages when the file is small
                     // or is scanned often (the direct index).
  // out
  uint32_t last_read;
  uint32_t buf_off;
  bool torn;
  uint32_t torn_at;
  bool shrunk;
};
uint32_t TsScanRecords(TsScan *sc, TsRecordFn fn, void *ctx);

// The fatal banner for a corrupt file. `op` null: the engine's form (its
// version line); else the direct-access form, "Ops: Force <op> of <op_name>"
// and the library's build line.
struct TsFatalInfo {
  uint32_t version;
  uint32_t last_read, buf_off;
  uint32_t added_off;
  const char *added_name;  // null: ""
  uint32_t skipped_off;
  const char *skipped_name;  // null: ""
  const char *op;
  const char *op_name;
};
void TsFatalBanner(const TsFatalInfo &f);

// `store_path` with its extension (the part after the last "." of the file
// name) replaced by `ext` (".torn", ".packing"); the file name gets `ext`
// appended when it has no extension.
void TsSiblingPath(const char *store_path, const char *ext, char *out, uint32_t size);

// Creates `path` (KstCreateRWFileNoLink: never through a link, never over
// anything but a regular file), writes `len` bytes into it, syncs it, closes
// it and syncs its folder entry: a small file that must survive a crash
// whole (the cut bytes of a torn tail, the pack marker). 0 or the first
// failure.
uint32_t TsWriteDurableFile(const char *path, const void *bytes, uint32_t len);

// Checks that the bytes [cut, size) are a torn last append: 0, or 0x37F0FF
// when another record mark follows inside them (then the record at `cut`
// is a damaged header with more data behind it); 8192; a read error. The
// bytes are read through a bounded window, whatever their length.
uint32_t TsCheckTornTail(KST_HFILE h, uint32_t version, uint32_t cut, uint32_t size);
// Salvages a torn last record of a file held exclusively: the bytes [cut,
// size) are saved beside the store in "<name>.torn" (created with
// KstCreateRWFileNoLink: never through a link, never over anything but a
// regular file; synced with its folder entry), then the store is cut at
// `cut` and synced, and "<who>: Warning: torn last record ..." is logged.
// 0; 0x37F0FF not a torn tail (above; nothing changed); else the error of
// saving (logged; nothing changed) or of the cut.
uint32_t TsSalvageTail(KST_HFILE h, const char *store_path, uint32_t version, uint32_t cut,
                       uint32_t size, const char *who);

#endif  // KRP_STORE_TS_SCAN_H
