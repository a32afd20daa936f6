// The store file's on-disk format: file headers and object records of format
// versions 4 (created and written) and 3 (read and updated in place).
//
// Every integer is an unsigned 32-bit little-endian word; it is encoded and
// decoded byte by byte (TsPutU32 / TsGetU32), never by casting a structure
// over the buffer, so the layout does not depend on the compiler or the host.
// The layouts themselves are drawn in ts_format.cc beside the code that
// writes them; the offsets below are their single source.
//
// File layout: the file header, then records back to back, no gaps, no
// trailer; the file ends exactly where its last record ends. A record is its
// header followed by its data area (the data bytes, then filler up to the
// data area size). A record is deleted by setting its deleted word to 1 in
// place; its space comes back only when the store is packed.
#ifndef KRP_STORE_TS_FORMAT_H
#define KRP_STORE_TS_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "list_format.h"
#include "platform.h"

inline void TsPutU32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline uint32_t TsGetU32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// ---- file header -----------------------------------------------------------
constexpr uint32_t kTsFileHeaderLenV4 = 1060;
constexpr uint32_t kTsFileHeaderLenV3 = 28;  // also the bytes read to check any header
constexpr uint32_t kTsHdrOffLength = 0;
constexpr uint32_t kTsHdrOffMagic = 4;
constexpr uint32_t kTsMagicLen = 16;
constexpr uint32_t kTsHdrOffVersion = 24;
constexpr uint32_t kTsHdrOffCloseTag = 28;
constexpr uint32_t kTsHdrOffBuild = 32;
constexpr uint32_t kTsBuildLen = 48;
constexpr uint32_t kTsHdrOffOpenTime = 80;
constexpr uint32_t kTsHdrOffCloseTime = 84;
constexpr uint32_t kTsHdrOffPackTime = 88;
constexpr uint32_t kTsHdrOffActive = 92;
constexpr uint32_t kTsHdrOffDeleted = 96;
constexpr uint32_t kTsHdrOffSupersized = 100;
constexpr uint32_t kTsHdrOffDbSize = 104;
constexpr uint32_t kTsHdrOffWasted = 108;
constexpr uint32_t kTsHdrOffEndMark = 1056;
// "Kestar KTS=oOo+" and one blank; no terminator in the file.
extern const char kTsMagic[kTsMagicLen + 1];
constexpr uint32_t kTsCloseTag = 0x4F6B6B4F;  // the bytes "OkkO"
constexpr uint32_t kTsEndMark = 0x6F30306F;   // the bytes "o00o"

// Engine version written into the build string and the banners.
constexpr int kTsEngineV1 = 7, kTsEngineV2 = 4, kTsEngineV3 = 4, kTsEngineV4 = 1003;
extern const char kTsBuildDate[];  // "Mar 15 2010"
extern const char kTsBuildTime[];  // "13:28:18"

// The counters a version-4 header records for inspection.
struct TsHeaderFields {
  uint32_t close_tag;  // kTsCloseTag or 0
  bool with_build;     // write the build string (false: zero-filled, as packing does)
  uint32_t open_time, close_time, pack_time;
  uint32_t active, deleted, supersized, db_size, wasted;
};
// Writes the complete 1060-byte version-4 header.
void TsEncodeFileHeaderV4(uint8_t out[kTsFileHeaderLenV4], const TsHeaderFields &f);
// Writes the header of a new, empty version-4 store (build string, open
// time `now`, every counter 0, no close tag) at offset 0 of `h`. Nothing is
// synced. 0 or the write error.
uint32_t TsWriteFreshHeaderV4(KST_HFILE h, uint32_t now);
// "%d.%d.%d.%d %s %s" of the engine version, build date and time, zero-padded
// to 48 bytes.
void TsFormatBuildString(char out[kTsBuildLen]);

// ---- object records --------------------------------------------------------
constexpr uint32_t kTsRecFixedV4 = 76;  // header length = 76 + name length (with terminator)
constexpr uint32_t kTsRecOffMark = 0;
constexpr uint32_t kTsRecOffHdrLen = 8;
constexpr uint32_t kTsRecOffDataSize = 12;
constexpr uint32_t kTsRecOffAreaSize = 16;
constexpr uint32_t kTsRecOffAttr = 20;
constexpr uint32_t kTsRecOffLastWr = 24;
constexpr uint32_t kTsRecOffDigest = 28;
constexpr uint32_t kTsRecOffDeleted = 44;
constexpr uint32_t kTsRecOffConsumer = 48;
constexpr uint32_t kTsRecOffNameCrc = 52;
constexpr uint32_t kTsRecOffNameLen = 72;
constexpr uint32_t kTsRecOffName = 76;
// The fixed fields plus the name's first byte: what a reader needs before
// it can check a version-4 header, and what a delete re-reads and rewrites.
constexpr uint32_t kTsRecMinV4 = 77;

constexpr uint32_t kTsRecHdrLenV3 = 332;
constexpr uint32_t kTsRec3OffHdrLen = 0;
constexpr uint32_t kTsRec3OffMark = 4;
constexpr uint32_t kTsRec3OffName = 12;
constexpr uint32_t kTsRec3NameField = 260;
constexpr uint32_t kTsRec3OffDataSize = 272;
constexpr uint32_t kTsRec3OffAreaSize = 276;
constexpr uint32_t kTsRec3OffAttr = 280;
constexpr uint32_t kTsRec3OffLastWr = 284;
constexpr uint32_t kTsRec3OffDigest = 288;
constexpr uint32_t kTsRec3OffDeleted = 304;
constexpr uint32_t kTsRec3OffConsumer = 308;
// Longest name a version-3 record can take (258 bytes with the terminator).
constexpr uint32_t kTsMaxNameV3 = 257;

extern const char kTsRecMarkV4[9];  // "]?@=-!|+"
extern const char kTsRecMarkV3[9];  // "]#{=-!:+"

// Attr bits the engine interprets; it keeps only the low 24 bits.
constexpr uint32_t kTsAttrMask = 0x00FFFFFF;
constexpr uint32_t kTsAttrSupersized = 0x00400000;
constexpr uint32_t kTsAttrMemoryOnly = 0x00800000;
// Growth room reserved behind the data of a new record.
constexpr uint32_t kTsRoomNormal = 32;
constexpr uint32_t kTsRoomSupersized = 10240;

// Header length of a record for a name of `name_len` bytes (no terminator).
inline uint64_t TsRecordHeaderLen(uint32_t version, uint32_t name_len) {
  return version == 3 ? kTsRecHdrLenV3 : uint64_t(kTsRecFixedV4) + name_len + 1;
}
// Bytes a delete re-reads, flags and writes back.
inline uint32_t TsDeletePrefixLen(uint32_t version) {
  return version == 3 ? kTsRecHdrLenV3 : kTsRecMinV4;
}
inline uint32_t TsDeletedOffset(uint32_t version) {
  return version == 3 ? kTsRec3OffDeleted : kTsRecOffDeleted;
}

// Everything a record header says, as decoded by TsParseRecord.
struct TsRecordView {
  uint32_t header_len;
  uint32_t data_size;
  uint32_t area_size;
  uint32_t attr;      // as stored (all 32 bits)
  uint32_t last_wr;
  uint32_t deleted;   // as stored; non-zero means deleted
  uint32_t consumer;
  uint32_t name_len;  // without the terminator
  const char *name;   // zero-terminated, inside the parsed buffer
  const uint8_t *digest;
  const uint8_t *data;  // data_size bytes, inside the parsed buffer
  uint64_t record_len;  // header length + data area size
};

enum class TsParse {
  kOk,       // a whole, valid record; `out` is filled
  kShort,    // consistent so far but `avail` bytes do not hold it; *need says how many do
  kInvalid,  // the bytes cannot start a valid record
};
// Decodes the record at p[0..avail). Every check is made in 64 bits:
// version 4 — the mark, name length >= 1, header length = name length + 76,
// the name's only zero at its last byte, data size <= data area size;
// version 3 — the length word 332, the mark, a zero inside the 260-byte name
// field, data size <= data area size. A header cut short by `avail` is
// kInvalid as soon as the bytes present contradict it, else kShort.
TsParse TsParseRecord(uint32_t version, const uint8_t *p, uint64_t avail, TsRecordView *out,
                      uint64_t *need);

// Builds a whole record (header and data area) into out[0 .. header length +
// area). `name` has `name_len` bytes without its terminator; for version 3
// name_len <= kTsMaxNameV3. `digest` is MD5(data). The caller has checked
// area >= size and that the sizes fit.
void TsEncodeRecord(uint32_t version, uint8_t *out, const char *name, uint32_t name_len,
                    const void *data, uint32_t size, uint32_t area, uint32_t attr,
                    uint32_t last_wr, uint32_t consumer, const uint8_t digest[16],
                    uint8_t filler);

// Open flag 0x200000 selects the "c"/"C" fillers instead of "s"/"S".
constexpr uint32_t kTsOpenAltFiller = 0x200000;
inline uint8_t TsWriteFiller(uint32_t open_flags, uint32_t attr) {
  bool super = attr & kTsAttrSupersized;
  if (open_flags & kTsOpenAltFiller) return super ? 'C' : 'c';
  return super ? 'S' : 's';
}

// Logs `len` bytes as a hex dump, one line per 16 bytes (offset, the bytes in
// hex with a "- " after the eighth, then the printable ones). Only the bytes
// given are read.
void TsLogHexDump(const uint8_t *p, uint32_t len);

// ---- listing text ------------------------------------------------------------
// What a listing read (a name ending in "*") hands out: per component
//   "%08x" of its length | the component's bytes | CR LF
// in the order given, then one zero byte, which the reported length counts.
// (It is the serialised list's item layout, written by the list format's
// own item writer, without the list's "00000000" terminator.)
constexpr uint32_t kTsListingItemExtra = KRP_LIST_ITEM_OVERHEAD;  // length digits and CR LF
// Writes the text of `count` components into `out`, which has room for the
// sum of (length + kTsListingItemExtra) over them + 1 bytes. Returns the
// bytes written, the zero included.
uint32_t TsWriteListingText(char *out, const std::string_view *comps, size_t count);

#endif  // KRP_STORE_TS_FORMAT_H
