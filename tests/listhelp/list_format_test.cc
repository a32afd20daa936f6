// The shared reader and writer of the serialised list format.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "list_format.h"
#include "list_test_util.h"
#include "platform.h"

namespace {

using std::string_literals::operator""s;

struct ReadResult {
  uint32_t rc;                     // what the reader ended with: 38 or 87
  std::vector<std::string> items;  // every item, empty ones included
};

ReadResult ReadAllItems(const std::string &buf) {
  KrpListReader r;
  KrpListReaderInit(&r, buf.data(), static_cast<uint32_t>(buf.size()));
  KrpListItemRef item;
  ReadResult out;
  while ((out.rc = KrpListReaderNext(&r, &item)) == KST_OK) {
    out.items.emplace_back(reinterpret_cast<const char *>(item.data), item.len);
  }
  return out;
}

struct ReaderCase {
  const char *what;
  std::string buf;
  uint32_t rc;
  std::vector<std::string> items;
};

TEST(ListFormatReader, AcceptsTheWrittenFormAndItsLenientVariants) {
  const std::vector<std::string> abc_de = {"abc", "de"};
  const ReaderCase cases[] = {
      {"written form", "00000003abc\r\n00000002de\r\n00000000", 38, abc_de},
      {"single LF", "00000003abc\n00000002de\n00000000", 38, abc_de},
      {"LF CR", "00000003abc\n\r00000002de\n\r00000000", 38, abc_de},
      {"no separator", "00000003abc00000002de00000000", 38, abc_de},
      {"terminator and one zero byte", "00000003abc\r\n00000002de\r\n00000000\0"s, 38, abc_de},
      {"no terminator", "00000003abc\r\n00000002de\r\n", 38, abc_de},
      {"lone zero byte at the end", "00000003abc\r\n00000002de\r\n\0"s, 38, abc_de},
      {"upper-case length", "0000000Aabcdefghij\r\n00000000", 38, {"abcdefghij"}},
      {"lower-case length", "0000000aabcdefghij\r\n00000000", 38, {"abcdefghij"}},
      {"terminator alone", "00000000", 38, {}},
      {"terminator and a zero byte", "00000000\0"s, 38, {}},
      {"empty item in the middle", "00000000\r\n00000002de\r\n00000000", 38, {"", "de"}},
      {"item bytes may be CR LF and zeros", "00000004\r\n\0\n\r\n00000000"s, 38, {"\r\n\0\n"s}},
      {"zero-length item at the very end", "00000002de\r\n00000000\r\n", 38, {"de", ""}},
  };
  for (const ReaderCase &c : cases) {
    SCOPED_TRACE(c.what);
    const ReadResult r = ReadAllItems(c.buf);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.items, c.items);
  }
}

TEST(ListFormatReader, RefusesMalformedBuffersAfterTheItemsBeforeTheFault) {
  const ReaderCase cases[] = {
      {"empty buffer", "", 87, {}},
      {"shorter than a length field", "0000000", 87, {}},
      {"length past the end", "00000003abc\r\n0000000fde\r\n00000000", 87, {"abc"}},
      {"ends inside a length field", "00000003abc\r\n0000", 87, {"abc"}},
      {"length ffffffff", "ffffffffxx", 87, {}},
      {"length fffffff8 with 8 bytes left", "fffffff812345678", 87, {}},
      {"length one past the end", "00000004abc", 87, {}},
      {"third CR LF is read as a length", "00000003abc\r\n\r\n00000000", 87, {"abc"}},
      {"terminator and two zero bytes", "00000000\0\0"s, 87, {""}},
      {"terminator and trailing text", "00000000xyz", 87, {""}},
  };
  for (const ReaderCase &c : cases) {
    SCOPED_TRACE(c.what);
    const ReadResult r = ReadAllItems(c.buf);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.items, c.items);
  }
}

TEST(ListFormatReader, StaysEndedOrBrokenOnceItSaidSo) {
  for (const std::string &buf : {"00000000"s, "0000"s}) {
    KrpListReader r;
    KrpListReaderInit(&r, buf.data(), static_cast<uint32_t>(buf.size()));
    KrpListItemRef item;
    const uint32_t first = KrpListReaderNext(&r, &item);
    EXPECT_EQ(KrpListReaderNext(&r, &item), first);
  }
}

TEST(ListFormatReader, NeverReadsPastTheBufferForAnyLengthNearTheTop) {
  // Each buffer lives in a heap block of exactly its size, so an
  // out-of-bounds read is caught by the address sanitizer build.
  for (uint32_t len : {0xFFFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFF7u, 0x80000000u, 0x7FFFFFFFu, 3u}) {
    char field[9];
    std::snprintf(field, sizeof field, "%08x", len);
    const std::string s = std::string(field) + "ab";
    std::vector<uint8_t> exact(s.begin(), s.end());
    KrpListReader r;
    KrpListReaderInit(&r, exact.data(), static_cast<uint32_t>(exact.size()));
    KrpListItemRef item;
    EXPECT_EQ(KrpListReaderNext(&r, &item), 87u) << field;
  }
}

TEST(ListFormatLength, DecodesEveryByteLenientlyWithA32BitWrap) {
  const struct {
    const char *field;
    uint32_t value;
  } cases[] = {
      {"00000000", 0},          {"0000001f", 31},         {"0000001F", 31},
      {"abcdef12", 0xabcdef12}, {"ffffffff", 0xffffffff}, {"0000000g", 16},
      {"0000000Z", 35},         {"0000000/", 0xffffffff},  // '/' is digit -1
      {"0000000 ", 0xfffffff0}, {"g0000000", 0},           // 16 << 28 wraps away
      {"0000000\xff", 207},     {"00000010", 16},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(KrpListDecodeLength(reinterpret_cast<const uint8_t *>(c.field)), c.value)
        << c.field;
  }
}

TEST(ListFormatLength, EncodesEightLowerCaseDigits) {
  for (uint32_t v : {0u, 1u, 0xabcdef12u, 0xffffffffu, 0x10u}) {
    uint8_t field[8];
    KrpListEncodeLength(v, field);
    char want[9];
    std::snprintf(want, sizeof want, "%08x", v);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(field), 8), want);
    EXPECT_EQ(KrpListDecodeLength(field), v);
  }
}

TEST(ListFormatCount, CountsOnlyNonEmptyItems) {
  uint32_t count = 99;
  const std::string buf = "00000000\r\n00000001a\r\n00000000\r\n00000002bc\r\n00000000";
  ASSERT_EQ(KrpListCountItems(buf.data(), static_cast<uint32_t>(buf.size()), &count), 0u);
  EXPECT_EQ(count, 2u);
  const std::string bad = "00000001a\r\n00000005bc";
  count = 99;
  EXPECT_EQ(KrpListCountItems(bad.data(), static_cast<uint32_t>(bad.size()), &count), 87u);
  EXPECT_EQ(count, 99u);
}

TEST(ListFormatContentEnd, StopsAtTheEndOfTheLastItemNeverInsideIt) {
  const struct {
    const char *what;
    std::string buf;
    uint32_t end;
  } cases[] = {
      {"written form", "00000003abc\r\n00000002de\r\n00000000", 23},
      {"empty list", "00000000", 0},
      {"empty list, leading CR LF is a length", "\r\n00000000", 0xFFFFFFFF},  // 87
      {"last item ends in LF, one LF after it", "00000003ab\n\n00000000", 11},
      {"last item is empty", "00000001a\r\n00000000\r\n00000000", 19},
      {"no terminator", "00000001a\r\n", 9},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t end = 0xFFFFFFFF;
    const uint32_t rc = KrpListContentEnd(c.buf.data(), static_cast<uint32_t>(c.buf.size()), &end);
    EXPECT_EQ(rc, c.end == 0xFFFFFFFF ? 87u : 0u);
    EXPECT_EQ(end, c.end);
  }
}

TEST(ListFormatWriter, WritesTheExactForm) {
  std::vector<uint8_t> out(5 + 10 + 8);
  uint8_t *p = KrpListWriteItem(out.data(), "hello", 5);
  p = KrpListWriteTerminator(p);
  EXPECT_EQ(p, out.data() + out.size());
  EXPECT_EQ(std::string(out.begin(), out.end()), listtest::Serialise({"hello"}));
  EXPECT_EQ(KrpListItemSize(0xFFFFFFFFu), 0xFFFFFFFFull + 10);
}

}  // namespace
