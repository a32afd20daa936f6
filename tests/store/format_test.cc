#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ts_digest.h"
#include "ts_format.h"

namespace {

uint32_t U32(const std::vector<uint8_t> &b, size_t off) { return TsGetU32(b.data() + off); }
std::string Str(const std::vector<uint8_t> &b, size_t off, size_t n) {
  return std::string(reinterpret_cast<const char *>(b.data()) + off, n);
}

std::vector<uint8_t> Record(uint32_t version, const std::string &name, const std::string &data,
                            uint32_t attr = 0, uint8_t filler = 's', uint32_t room = 0) {
  if (!room) room = (attr & kTsAttrSupersized) ? kTsRoomSupersized : kTsRoomNormal;
  uint32_t area = uint32_t(data.size()) + room;
  uint64_t hl = TsRecordHeaderLen(version, uint32_t(name.size()));
  std::vector<uint8_t> out(hl + area, 0xEE);
  uint8_t d[16];
  TsMd5(data.data(), data.size(), d);
  TsEncodeRecord(version, out.data(), name.data(), uint32_t(name.size()), data.data(),
                 uint32_t(data.size()), area, attr, 0x11223344, 0x55667788, d, filler);
  return out;
}

TEST(FileHeader, FreshVersion4HeaderByteForByte) {
  std::vector<uint8_t> h(kTsFileHeaderLenV4, 0xEE);
  TsHeaderFields f{};
  f.with_build = true;
  f.open_time = 0x5F000001;
  TsEncodeFileHeaderV4(h.data(), f);
  EXPECT_EQ(U32(h, 0), 1060u);
  EXPECT_EQ(Str(h, 4, 16), "Kestar KTS=oOo+ ");
  EXPECT_EQ(U32(h, 20), 0u);
  EXPECT_EQ(U32(h, 24), 4u);
  EXPECT_EQ(U32(h, 28), 0u);
  char build[48];
  TsFormatBuildString(build);
  EXPECT_EQ(std::memcmp(h.data() + 32, build, 48), 0);
  std::string b(build);
  EXPECT_EQ(b.rfind("7.4.4.1003 ", 0), 0u) << b;
  EXPECT_EQ(b.size(), std::strlen("7.4.4.1003 Mar 15 2010 13:28:18"));
  EXPECT_EQ(U32(h, 80), 0x5F000001u);
  EXPECT_EQ(Str(h, 1056, 4), "o00o");
  for (size_t i = 84; i < 1056; ++i) ASSERT_EQ(h[i], 0) << i;
  // Between the end of the build string and offset 80 everything is zero too.
  for (size_t i = 32 + b.size(); i < 80; ++i) ASSERT_EQ(h[i], 0) << i;
}

TEST(FileHeader, CloseFieldsLandAtTheirOffsets) {
  std::vector<uint8_t> h(kTsFileHeaderLenV4);
  TsHeaderFields f{kTsCloseTag, false, 1, 2, 3, 4, 5, 6, 7, 8};
  TsEncodeFileHeaderV4(h.data(), f);
  EXPECT_EQ(Str(h, 28, 4), "OkkO");
  for (size_t i = 32; i < 80; ++i) ASSERT_EQ(h[i], 0) << i;  // packing leaves no build string
  uint32_t expect[] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(U32(h, 80 + 4 * i), expect[i]);
}

TEST(RecordV4, SmallObjectIs119BytesWith32Fillers) {
  std::vector<uint8_t> r = Record(4, "abc.d", "12345");
  ASSERT_EQ(r.size(), 119u);
  EXPECT_EQ(Str(r, 0, 8), "]?@=-!|+");
  EXPECT_EQ(U32(r, 8), 82u);
  EXPECT_EQ(U32(r, 12), 5u);
  EXPECT_EQ(U32(r, 16), 37u);
  EXPECT_EQ(U32(r, 20), 0u);
  EXPECT_EQ(U32(r, 24), 0x11223344u);
  uint8_t d[16];
  TsMd5("12345", 5, d);
  EXPECT_EQ(std::memcmp(r.data() + 28, d, 16), 0);
  EXPECT_EQ(U32(r, 44), 0u);
  EXPECT_EQ(U32(r, 48), 0x55667788u);
  EXPECT_EQ(U32(r, 52), TsCrc32("abc.d", 5));
  for (size_t i = 56; i < 72; ++i) EXPECT_EQ(r[i], 0) << i;
  EXPECT_EQ(U32(r, 72), 6u);
  EXPECT_EQ(Str(r, 76, 6), std::string("abc.d\0", 6));
  EXPECT_EQ(Str(r, 82, 5), "12345");
  EXPECT_EQ(Str(r, 87, 32), std::string(32, 's'));
}

TEST(RecordV4, SupersizedObjectReserves10240Fillers) {
  std::vector<uint8_t> r = Record(4, "abc.d", "12345", kTsAttrSupersized, 'S');
  ASSERT_EQ(r.size(), 82u + 10245u);
  EXPECT_EQ(U32(r, 16), 10245u);
  EXPECT_EQ(U32(r, 20), kTsAttrSupersized);
  EXPECT_EQ(Str(r, 87, 10240), std::string(10240, 'S'));
}

TEST(RecordV4, EmptyDataHasArea32AndTheDigestOfNothing) {
  std::vector<uint8_t> r = Record(4, "e", "");
  ASSERT_EQ(r.size(), 78u + 32u);
  EXPECT_EQ(U32(r, 12), 0u);
  EXPECT_EQ(U32(r, 16), 32u);
  const uint8_t empty[16] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                             0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
  EXPECT_EQ(std::memcmp(r.data() + 28, empty, 16), 0);
}

TEST(RecordV4, OnlyTheLow24AttrBitsAreStored) {
  std::vector<uint8_t> r = Record(4, "a", "x", 0xFF123456u);
  EXPECT_EQ(U32(r, 20), 0x00123456u);
}

TEST(RecordV3, LayoutWithFixedHeader) {
  std::vector<uint8_t> r = Record(3, "abc.d", "12345", 0, 'c');
  ASSERT_EQ(r.size(), 332u + 37u);
  EXPECT_EQ(U32(r, 0), 332u);
  EXPECT_EQ(Str(r, 4, 8), "]#{=-!:+");
  EXPECT_EQ(Str(r, 12, 6), std::string("abc.d\0", 6));
  for (size_t i = 18; i < 272; ++i) ASSERT_EQ(r[i], 0) << i;
  EXPECT_EQ(U32(r, 272), 5u);
  EXPECT_EQ(U32(r, 276), 37u);
  EXPECT_EQ(U32(r, 284), 0x11223344u);
  EXPECT_EQ(U32(r, 304), 0u);
  EXPECT_EQ(U32(r, 308), 0x55667788u);
  for (size_t i = 312; i < 332; ++i) ASSERT_EQ(r[i], 0) << i;
  EXPECT_EQ(Str(r, 332, 5), "12345");
  EXPECT_EQ(Str(r, 337, 32), std::string(32, 'c'));
}

TEST(RecordParse, RoundTripsBothVersions) {
  for (uint32_t v : {3u, 4u}) {
    std::vector<uint8_t> r = Record(v, "x.yz", "hello", 0x400001, 'S');
    TsRecordView view;
    uint64_t need = 0;
    ASSERT_EQ(TsParseRecord(v, r.data(), r.size(), &view, &need), TsParse::kOk) << v;
    EXPECT_EQ(std::string(view.name), "x.yz");
    EXPECT_EQ(view.name_len, 4u);
    EXPECT_EQ(view.header_len, v == 3 ? 332u : 81u);
    EXPECT_EQ(view.data_size, 5u);
    EXPECT_EQ(view.area_size, 5u + 10240u);
    EXPECT_EQ(view.record_len, r.size());
    EXPECT_EQ(view.attr, 0x400001u);
    EXPECT_EQ(view.last_wr, 0x11223344u);
    EXPECT_EQ(view.consumer, 0x55667788u);
    EXPECT_EQ(view.deleted, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(view.data), 5), "hello");
    uint8_t d[16];
    TsMd5("hello", 5, d);
    EXPECT_EQ(std::memcmp(view.digest, d, 16), 0);
  }
}

// Every prefix of a valid record is "short" and says how much it needs;
// none is taken for a whole record.
TEST(RecordParse, EveryCutOfAValidRecordIsShort) {
  for (uint32_t v : {3u, 4u}) {
    std::vector<uint8_t> r = Record(v, "abc.d", "12345");
    for (size_t cut = 0; cut < r.size(); ++cut) {
      TsRecordView view;
      uint64_t need = 0;
      ASSERT_EQ(TsParseRecord(v, r.data(), cut, &view, &need), TsParse::kShort) << v << " " << cut;
      EXPECT_GT(need, cut);
      EXPECT_LE(need, r.size());
    }
  }
}

struct Damage {
  const char *what;
  uint32_t version;
  size_t off;
  uint32_t value;  // written as a u32 at off
  bool byte;       // write only the low byte
};

TEST(RecordParse, DamagedHeadersAreInvalid) {
  const Damage cases[] = {
      {"v4 mark", 4, 3, 'X', true},
      {"v4 header length not name length + 76", 4, 8, 83, false},
      {"v4 name length 0", 4, 72, 0, false},
      {"v4 name length wraps with header length", 4, 72, 0xFFFFFFFFu, false},
      {"v4 terminator missing", 4, 81, 'x', true},
      {"v4 zero inside the name", 4, 77, 0, true},
      {"v4 data size above data area", 4, 12, 38, false},
      {"v3 length word", 3, 0, 331, false},
      {"v3 mark", 3, 9, 'X', true},
      {"v3 data size above data area", 3, 272, 38, false},
  };
  for (const Damage &c : cases) {
    std::vector<uint8_t> r = Record(c.version, "abc.d", "12345");
    if (c.byte)
      r[c.off] = uint8_t(c.value);
    else
      TsPutU32(r.data() + c.off, c.value);
    TsRecordView view;
    uint64_t need = 0;
    EXPECT_EQ(TsParseRecord(c.version, r.data(), r.size(), &view, &need), TsParse::kInvalid)
        << c.what;
  }
  // A version-3 name field without any zero.
  std::vector<uint8_t> r = Record(3, "abc.d", "12345");
  std::memset(r.data() + 12, 'n', 260);
  TsRecordView view;
  uint64_t need;
  EXPECT_EQ(TsParseRecord(3, r.data(), r.size(), &view, &need), TsParse::kInvalid);
  // A name length whose sum with 76 wraps to the header length in 32 bits.
  r = Record(4, "abc.d", "12345");
  TsPutU32(r.data() + 72, 0xFFFFFFFFu);
  TsPutU32(r.data() + 8, 75);
  EXPECT_EQ(TsParseRecord(4, r.data(), r.size(), &view, &need), TsParse::kInvalid);
  // A wrong mark is seen even when only a few bytes are present.
  EXPECT_EQ(TsParseRecord(4, reinterpret_cast<const uint8_t *>("]?X"), 3, &view, &need),
            TsParse::kInvalid);
}

// A data area that runs far past anything a 32-bit sum could hold is
// reported with its true 64-bit length, never wrapped into a small one.
TEST(RecordParse, HugeAreaNeedsItsFullLength) {
  std::vector<uint8_t> r = Record(4, "abc.d", "12345");
  TsPutU32(r.data() + 16, 0xFFFFFFF0u);
  TsRecordView view;
  uint64_t need = 0;
  ASSERT_EQ(TsParseRecord(4, r.data(), r.size(), &view, &need), TsParse::kShort);
  EXPECT_EQ(need, 82u + 0xFFFFFFF0ull);
}

TEST(RecordFormat, FillerFollowsOpenFlagAndSize) {
  EXPECT_EQ(TsWriteFiller(0, 0), 's');
  EXPECT_EQ(TsWriteFiller(0, kTsAttrSupersized), 'S');
  EXPECT_EQ(TsWriteFiller(kTsOpenAltFiller, 0), 'c');
  EXPECT_EQ(TsWriteFiller(kTsOpenAltFiller, kTsAttrSupersized), 'C');
}

}  // namespace
