// Encoding and decoding of the store file's headers and records.
#include "ts_format.h"

#include "ts_digest.h"
#include "platform.h"

#include <cstdio>
#include <cstring>

const char kTsMagic[kTsMagicLen + 1] = "Kestar KTS=oOo+ ";
const char kTsRecMarkV4[9] = "]?@=-!|+";
const char kTsRecMarkV3[9] = "]#{=-!:+";
const char kTsBuildDate[] = __DATE__;
const char kTsBuildTime[] = __TIME__;

static_assert(sizeof(kTsMagic) == 17 && sizeof(kTsRecMarkV4) == 9 && sizeof(kTsRecMarkV3) == 9);
static_assert(kTsHdrOffMagic + kTsMagicLen == 20 && kTsHdrOffBuild + kTsBuildLen == kTsHdrOffOpenTime);
static_assert(kTsHdrOffWasted + 4 + 944 == kTsHdrOffEndMark &&
              kTsHdrOffEndMark + 4 == kTsFileHeaderLenV4);
static_assert(kTsRecOffDigest + 16 == kTsRecOffDeleted && kTsRecOffNameLen + 4 == kTsRecOffName &&
              kTsRecOffName == kTsRecFixedV4 && kTsRecMinV4 == kTsRecFixedV4 + 1);
static_assert(kTsRec3OffName + kTsRec3NameField == kTsRec3OffDataSize &&
              kTsRec3OffDigest + 16 == kTsRec3OffDeleted && kTsRec3OffConsumer + 4 + 20 == kTsRecHdrLenV3);
static_assert(kTsMaxNameV3 + 1 < kTsRec3NameField);

void TsFormatBuildString(char out[kTsBuildLen]) {
  std::memset(out, 0, kTsBuildLen);
  std::snprintf(out, kTsBuildLen, "%d.%d.%d.%d %s %s", kTsEngineV1, kTsEngineV2, kTsEngineV3,
                kTsEngineV4, kTsBuildDate, kTsBuildTime);
}

// Version-4 file header, 1060 bytes:
//
//    off  len  field
//      0    4  header length, 1060 (0x424)
//      4   16  magic "Kestar KTS=oOo+ " (15 characters and a blank, no terminator)
//     20    4  reserved, 0
//     24    4  format version, 4
//     28    4  close tag 0x4F6B6B4F ("OkkO") after an orderly close; 0 while open
//     32   48  build string of the last writer, zero-terminated (zeros after a pack)
//     80    4  time of the last open for writing
//     84    4  time of the last orderly close; 0 while open
//     88    4  time of the last pack; 0 = never packed
//     92    4  active objects       -+
//     96    4  deleted objects       |
//    100    4  supersized objects    |  at the last orderly close
//    104    4  database size         |
//    108    4  wasted space         -+
//    112  944  reserved, 0
//   1056    4  end mark 0x6F30306F ("o00o")
//
// A version-3 header is 28 bytes: the same magic at 4 and version 3 at 24;
// nothing else in it is interpreted. Only the magic, the version and the
// close tag are ever checked; the pack time is read back at open.
void TsEncodeFileHeaderV4(uint8_t out[kTsFileHeaderLenV4], const TsHeaderFields &f) {
  std::memset(out, 0, kTsFileHeaderLenV4);
  TsPutU32(out + kTsHdrOffLength, kTsFileHeaderLenV4);
  std::memcpy(out + kTsHdrOffMagic, kTsMagic, kTsMagicLen);
  TsPutU32(out + kTsHdrOffVersion, 4);
  TsPutU32(out + kTsHdrOffCloseTag, f.close_tag);
  if (f.with_build) TsFormatBuildString(reinterpret_cast<char *>(out + kTsHdrOffBuild));
  TsPutU32(out + kTsHdrOffOpenTime, f.open_time);
  TsPutU32(out + kTsHdrOffCloseTime, f.close_time);
  TsPutU32(out + kTsHdrOffPackTime, f.pack_time);
  TsPutU32(out + kTsHdrOffActive, f.active);
  TsPutU32(out + kTsHdrOffDeleted, f.deleted);
  TsPutU32(out + kTsHdrOffSupersized, f.supersized);
  TsPutU32(out + kTsHdrOffDbSize, f.db_size);
  TsPutU32(out + kTsHdrOffWasted, f.wasted);
  TsPutU32(out + kTsHdrOffEndMark, kTsEndMark);
}

uint32_t TsWriteFreshHeaderV4(KST_HFILE h, uint32_t now) {
  uint8_t hdr[kTsFileHeaderLenV4];
  TsHeaderFields f{};
  f.with_build = true;
  f.open_time = now;
  TsEncodeFileHeaderV4(hdr, f);
  uint32_t pos = 0;
  return KstWriteFileAt(h, &pos, hdr, kTsFileHeaderLenV4, nullptr);
}

// Version-4 object record: a header of 76 + n bytes, then the data area.
//
//    off  len  field
//      0    8  record mark "]?@=-!|+" (no terminator)
//      8    4  header length = 76 + n
//     12    4  data size s
//     16    4  data area size a (>= s): s + 32, or s + 10240 when supersized
//     20    4  Attr & 0xFFFFFF (bit 31 only from direct access)
//     24    4  LastWr
//     28   16  MD5 of the s data bytes
//     44    4  deleted: 0 live, 1 deleted
//     48    4  Consumer
//     52    4  CRC-32 of the name without its terminator
//     56   16  reserved, 0
//     72    4  n = name length including the terminator
//     76    n  name, zero-terminated
//   76+n    a  data (s bytes), then a - s filler bytes
//
// Version-3 object record: a fixed 332-byte header, then the data area.
//
//    off  len  field
//      0    4  header length, 332 (0x14C)
//      4    8  record mark "]#{=-!:+"
//     12  260  name, zero-terminated, zero-padded
//    272    4  data size
//    276    4  data area size
//    280    4  Attr & 0xFFFFFF
//    284    4  LastWr
//    288   16  MD5 of the data
//    304    4  deleted: 0 live, 1 deleted
//    308    4  Consumer
//    312   20  reserved, 0
//    332       data area
void TsEncodeRecord(uint32_t version, uint8_t *out, const char *name, uint32_t name_len,
                    const void *data, uint32_t size, uint32_t area, uint32_t attr,
                    uint32_t last_wr, uint32_t consumer, const uint8_t digest[16],
                    uint8_t filler) {
  uint32_t hl = uint32_t(TsRecordHeaderLen(version, name_len));
  std::memset(out, 0, hl);
  if (version == 3) {
    TsPutU32(out + kTsRec3OffHdrLen, kTsRecHdrLenV3);
    std::memcpy(out + kTsRec3OffMark, kTsRecMarkV3, 8);
    std::memcpy(out + kTsRec3OffName, name, name_len);
    TsPutU32(out + kTsRec3OffDataSize, size);
    TsPutU32(out + kTsRec3OffAreaSize, area);
    TsPutU32(out + kTsRec3OffAttr, attr & kTsAttrMask);
    TsPutU32(out + kTsRec3OffLastWr, last_wr);
    std::memcpy(out + kTsRec3OffDigest, digest, 16);
    TsPutU32(out + kTsRec3OffConsumer, consumer);
  } else {
    std::memcpy(out + kTsRecOffMark, kTsRecMarkV4, 8);
    TsPutU32(out + kTsRecOffHdrLen, hl);
    TsPutU32(out + kTsRecOffDataSize, size);
    TsPutU32(out + kTsRecOffAreaSize, area);
    TsPutU32(out + kTsRecOffAttr, attr & kTsAttrMask);
    TsPutU32(out + kTsRecOffLastWr, last_wr);
    std::memcpy(out + kTsRecOffDigest, digest, 16);
    TsPutU32(out + kTsRecOffConsumer, consumer);
    TsPutU32(out + kTsRecOffNameCrc, TsCrc32(name, name_len));
    TsPutU32(out + kTsRecOffNameLen, name_len + 1);
    std::memcpy(out + kTsRecOffName, name, name_len);
  }
  if (size) std::memcpy(out + hl, data, size);
  std::memset(out + hl + size, filler, area - size);
}

namespace {

// The bytes every valid record starts with, for checking a header that the
// buffer holds only in part.
bool PrefixContradicts(uint32_t version, const uint8_t *p, uint64_t avail) {
  uint8_t expect[12];
  uint32_t n;
  if (version == 3) {
    TsPutU32(expect, kTsRecHdrLenV3);
    std::memcpy(expect + 4, kTsRecMarkV3, 8);
    n = 12;
  } else {
    std::memcpy(expect, kTsRecMarkV4, 8);
    n = 8;
  }
  if (avail < n) n = uint32_t(avail);
  return std::memcmp(p, expect, n) != 0;
}

}  // namespace

TsParse TsParseRecord(uint32_t version, const uint8_t *p, uint64_t avail, TsRecordView *out,
                      uint64_t *need) {
  uint64_t hl;
  if (version == 3) {
    if (avail < kTsRecHdrLenV3) {
      if (PrefixContradicts(3, p, avail)) return TsParse::kInvalid;
      *need = kTsRecHdrLenV3;
      return TsParse::kShort;
    }
    if (PrefixContradicts(3, p, avail)) return TsParse::kInvalid;
    const void *z = std::memchr(p + kTsRec3OffName, 0, kTsRec3NameField);
    if (!z) return TsParse::kInvalid;
    out->name = reinterpret_cast<const char *>(p + kTsRec3OffName);
    out->name_len = uint32_t(static_cast<const uint8_t *>(z) - (p + kTsRec3OffName));
    hl = kTsRecHdrLenV3;
    out->data_size = TsGetU32(p + kTsRec3OffDataSize);
    out->area_size = TsGetU32(p + kTsRec3OffAreaSize);
    out->attr = TsGetU32(p + kTsRec3OffAttr);
    out->last_wr = TsGetU32(p + kTsRec3OffLastWr);
    out->digest = p + kTsRec3OffDigest;
    out->deleted = TsGetU32(p + kTsRec3OffDeleted);
    out->consumer = TsGetU32(p + kTsRec3OffConsumer);
  } else {
    if (avail < kTsRecMinV4) {
      if (PrefixContradicts(4, p, avail)) return TsParse::kInvalid;
      *need = kTsRecMinV4;
      return TsParse::kShort;
    }
    if (PrefixContradicts(4, p, avail)) return TsParse::kInvalid;
    uint64_t nl = TsGetU32(p + kTsRecOffNameLen);
    hl = TsGetU32(p + kTsRecOffHdrLen);
    if (nl < 1 || hl != nl + kTsRecFixedV4) return TsParse::kInvalid;
    out->data_size = TsGetU32(p + kTsRecOffDataSize);
    out->area_size = TsGetU32(p + kTsRecOffAreaSize);
    if (out->data_size > out->area_size) return TsParse::kInvalid;
    if (avail < hl) {
      *need = hl;
      return TsParse::kShort;
    }
    const uint8_t *name = p + kTsRecOffName;
    // Exactly one zero, at the last byte: the name is what strlen sees.
    if (name[nl - 1] != 0 || std::memchr(name, 0, size_t(nl - 1))) return TsParse::kInvalid;
    out->name = reinterpret_cast<const char *>(name);
    out->name_len = uint32_t(nl - 1);
    out->attr = TsGetU32(p + kTsRecOffAttr);
    out->last_wr = TsGetU32(p + kTsRecOffLastWr);
    out->digest = p + kTsRecOffDigest;
    out->deleted = TsGetU32(p + kTsRecOffDeleted);
    out->consumer = TsGetU32(p + kTsRecOffConsumer);
  }
  if (out->data_size > out->area_size) return TsParse::kInvalid;
  out->header_len = uint32_t(hl);
  out->record_len = hl + out->area_size;
  if (avail < out->record_len) {
    *need = out->record_len;
    return TsParse::kShort;
  }
  out->data = p + hl;
  return TsParse::kOk;
}

// One line per 16 bytes: offset, the bytes in hex (a "- " after the eighth),
// then the printable ones. Only the `len` bytes given are read.
void TsLogHexDump(const uint8_t *p, uint32_t len) {
  for (uint32_t off = 0; off < len; off += 16) {
    char line[128];
    int n = std::snprintf(line, sizeof line, "   %04x ", off);
    for (uint32_t i = 0; i < 16; ++i) {
      if (off + i < len)
        n += std::snprintf(line + n, sizeof line - n, "%02x ", p[off + i]);
      else
        n += std::snprintf(line + n, sizeof line - n, "   ");
      if (i == 7) n += std::snprintf(line + n, sizeof line - n, off + i < len ? "- " : "     ");
    }
    n += std::snprintf(line + n, sizeof line - n, "   ");
    for (uint32_t i = 0; i < 16 && off + i < len; ++i) {
      uint8_t c = p[off + i];
      line[n++] = c < 128 && c >= 0x20 && c != 0x7F ? char(c) : '.';
    }
    line[n] = 0;
    KstLogPrintf("%s", line);
  }
}

uint32_t TsWriteListingText(char *out, const std::string_view *comps, size_t count) {
  auto *p = reinterpret_cast<uint8_t *>(out);
  for (size_t i = 0; i < count; ++i)
    p = KrpListWriteItem(p, comps[i].data(), uint32_t(comps[i].size()));
  *p++ = 0;
  return uint32_t(p - reinterpret_cast<uint8_t *>(out));
}
