// Multiple get through a host in the test process (server mode), and its
// refusal when no server runs (direct mode: no direct reading takes place).
// Fixtures are written through the service before the mode is set.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "krplib.h"
#include "names.h"
#include "platform.h"
#include "resource.h"
#include "test_support.h"

namespace {

enum class Mode { kServer, kDirect };

struct Obj {
  std::string name;
  uint32_t type;
  std::string value;  // bytes after the 16-byte type-name field
  uint32_t attr = 0x20;
};

std::string ModeName(const testing::TestParamInfo<Mode> &i) {
  return i.param == Mode::kServer ? "Server" : "Direct";
}

// The input list of `names`: "%08x" length, name, CR LF each, then the
// terminator. The size handed over is the text's length.
std::string MakeList(const std::vector<std::string> &names) {
  std::string s;
  char len[9];
  for (const auto &n : names) {
    snprintf(len, sizeof len, "%08x", static_cast<unsigned>(n.size()));
    s += len + n + "\r\n";
  }
  return s + "00000000";
}

// The items of an output list of `size` bytes; checks its end.
std::vector<std::string> Items(const void *out, uint32_t size) {
  const char *p = static_cast<const char *>(out);
  std::vector<std::string> items;
  uint32_t pos = 0;
  while (pos + 8 <= size) {
    uint32_t len = 0;
    sscanf(std::string(p + pos, 8).c_str(), "%8x", &len);
    if (len == 0) break;
    EXPECT_LE(pos + 8 + len + 2, size);
    items.emplace_back(p + pos + 8, len);
    EXPECT_EQ(0, memcmp(p + pos + 8 + len, "\r\n", 2));
    pos += 8 + len + 2;
  }
  EXPECT_EQ(pos + 10, size);
  EXPECT_EQ(0, memcmp(p + pos, "00000000\r\n", 10));
  EXPECT_EQ(0, p[size]);
  return items;
}

uint32_t Word(const std::string &item, uint32_t index) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v * 256 + static_cast<uint8_t>(item[4 * index + i]);
  return v;
}

struct Record {
  uint32_t length, result, size, timestamp, attributes, type;
  std::string value;
};

Record ParseRecord(const std::string &item) {
  EXPECT_GE(item.size(), 24u);
  if (item.size() < 24) return {};
  return {Word(item, 0), Word(item, 1), Word(item, 2), Word(item, 3),
          Word(item, 4), Word(item, 5), item.substr(24)};
}

// One call of either form on a list text; the output list's items.
struct Result {
  uint32_t rc;
  std::vector<std::string> items;
  std::string raw;
};

Result Get(bool with_attrs, const std::string &list, uint32_t count) {
  uint32_t size = static_cast<uint32_t>(list.size());
  void *out = reinterpret_cast<void *>(1);
  Result r;
  r.rc = with_attrs ? dll_KrpGetMultipleResourcesWithAttributes(list.data(), count, &size, &out)
                    : dll_KrpGetMultipleByList(list.data(), count, &size, &out);
  if (r.rc == 0 && out) {
    r.items = Items(out, size);
    r.raw.assign(static_cast<char *>(out), size + 1);
  } else {
    EXPECT_EQ(nullptr, out);
  }
  dll_KrpFreeMem(out);
  return r;
}

class MultiGetTest : public testing::TestWithParam<Mode> {
 protected:
  void TearDown() override {
    if (ctx_) dll_KrpUninitializeKrpLib(&ctx_);
  }
  void Setup(const std::vector<Obj> &objs) {
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
    for (const auto &o : objs) Put(o);
    if (GetParam() == Mode::kDirect) {
      ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
      ctx_ = nullptr;
      ASSERT_EQ(0x141001u, dll_KrpIsMtAvailable());
    }
    dll_KrpRelease();
  }
  static void Put(const Obj &o) {
    std::vector<uint8_t> data(16, 0);
    ASSERT_EQ(0u, KrpTypeName(o.type, reinterpret_cast<char *>(data.data()), 16));
    data.insert(data.end(), o.value.begin(), o.value.end());
    ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, o.name.c_str(), data.data(),
                                     static_cast<uint32_t>(data.size()), 1000, o.attr, o.type))
        << o.name;
  }
  bool Server() const { return GetParam() == Mode::kServer; }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

TEST_P(MultiGetTest, SmallExampleIsExactByteForByte) {
  Setup({{"vendor.a", KRT_TEXT, "1"}, {"default.b", KRT_TEXT, "22"}});
  Result r = Get(false, MakeList({"vendor.a", "default.b"}), 2);
  if (!Server()) {
    EXPECT_EQ(0x141001u, r.rc);
    return;
  }
  ASSERT_EQ(0u, r.rc);
  const std::string want("000000011\r\n0000000222\r\n00000000\r\n\0", 34);
  EXPECT_EQ(want, r.raw);
  EXPECT_EQ(33u, r.raw.size() - 1);
}

TEST_P(MultiGetTest, MissingNamesVendorFallbackAndOrderInBothForms) {
  Setup({{"vendor.first", KRT_TEXT, "one"},
         {"default.fb", KRT_INTEGER, "42", 0x40},
         {"vendor.both", KRT_TEXT, "own"},
         {"default.both", KRT_TEXT, "theirs"},
         {"other.after", KRT_BYTEARRAY, std::string("x\0y", 3)},
         {"other.empty", KRT_TEXT, ""}});
  const std::vector<std::string> names = {"vendor.first", "vendor.none", "vendor.fb",
                                          "vendor.both",  "other.after", "other.empty"};
  const std::string list = MakeList(names);
  Result plain = Get(false, list, static_cast<uint32_t>(names.size()));
  Result attrs = Get(true, list, static_cast<uint32_t>(names.size()));
  if (!Server()) {
    EXPECT_EQ(0x141001u, plain.rc);
    EXPECT_EQ(0x141001u, attrs.rc);
    return;
  }
  ASSERT_EQ(0u, plain.rc);
  const std::vector<std::string> want = {"one", std::string(1, '\0'), "42", "own",
                                         std::string("x\0y", 3), std::string(1, '\0')};
  EXPECT_EQ(want, plain.items);

  ASSERT_EQ(0u, attrs.rc);
  ASSERT_EQ(names.size(), attrs.items.size());
  struct Want {
    uint32_t length, result, size, timestamp, attributes, type;
    std::string value;
  };
  const Want rec[] = {
      {27, 0, 3, 1000, 0x20, KRT_TEXT, "one"},
      {0, 0x370001, 0, 0, 0, 0, ""},
      {26, 0, 2, 1000, 0x41, KRT_INTEGER, "42"},  // from the default: flag set
      {27, 0, 3, 1000, 0x20, KRT_TEXT, "own"},
      {27, 0, 3, 1000, 0x20, KRT_BYTEARRAY, std::string("x\0y", 3)},
      {24, 0x370001, 0, 0, 0, 0, ""},  // found with an empty value
  };
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    const Record got = ParseRecord(attrs.items[i]);
    EXPECT_EQ(rec[i].length, got.length);
    EXPECT_EQ(rec[i].result, got.result);
    EXPECT_EQ(rec[i].size, got.size);
    EXPECT_EQ(rec[i].timestamp, got.timestamp);
    EXPECT_EQ(rec[i].attributes, got.attributes);
    EXPECT_EQ(rec[i].type, got.type);
    EXPECT_EQ(rec[i].value, got.value);
  }
}

TEST_P(MultiGetTest, CountBeyondTheListGivesEmptyItems) {
  Setup({{"other.a", KRT_TEXT, "A"}});
  // Announced five, supplied two (one of them empty).
  Result r = Get(false, MakeList({"other.a", ""}), 5);
  if (!Server()) {
    EXPECT_EQ(0x141001u, r.rc);
    return;
  }
  ASSERT_EQ(0u, r.rc);
  const std::string z(1, '\0');
  EXPECT_EQ((std::vector<std::string>{"A", z, z, z, z}), r.items);
  Result a = Get(true, MakeList({"other.a"}), 2);
  ASSERT_EQ(0u, a.rc);
  ASSERT_EQ(2u, a.items.size());
  EXPECT_EQ(0x370001u, ParseRecord(a.items[1]).result);
}

TEST_P(MultiGetTest, ShortListTextIsRefusedByTheAttributeFormOnly) {
  Setup({{"other.a", KRT_TEXT, "A"}});
  // Nine characters of text, then a zero byte inside the size.
  const std::string list("00000001a", 10);
  EXPECT_EQ(87u, Get(true, list, 1).rc);
  Result r = Get(false, list, 1);
  if (!Server()) {
    EXPECT_EQ(0x141001u, r.rc);
    return;
  }
  ASSERT_EQ(0u, r.rc);
  EXPECT_EQ(std::vector<std::string>{std::string(1, '\0')}, r.items);
}

TEST_P(MultiGetTest, MalformedInputIsRefusedWithoutReadingPastIt) {
  Setup({});
  struct Case {
    const char *what;
    std::string list;
    uint32_t count;
    uint32_t want;
  };
  const std::string long_name(261, 'n');
  const Case cases[] = {
      {"length past the end", "00000040abc", 1, 87},
      {"name reaching the size", "00000003abc", 1, 87},
      {"length field cut short", "00000003abc\r\n0000", 2, 87},
      {"zero byte in the length", std::string("0000") + '\0' + "003abc\r\n", 1, 87},
      {"not hexadecimal", "zzzzzzzzabc\r\n", 1, 87},
      {"huge length", "ffffffffabc\r\n", 1, 0x37000F},
      {"name over 260", "00000105" + long_name + "\r\n00000000", 1, 0x37000F},
      // A count no table can hold: 64-bit sizes, so no wrapped allocation.
      {"huge count", MakeList({"a.b"}), 0x40000000u, 8192},
      {"largest count", MakeList({"a.b"}), 0xFFFFFFFFu, 8192},
  };
  for (const auto &c : cases) {
    for (bool attrs : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (attrs ? " (attributes)" : ""));
      EXPECT_EQ(c.want, Get(attrs, c.list, c.count).rc);
    }
  }
  // Missing arguments.
  const std::string list = MakeList({"a.b"});
  uint32_t size = static_cast<uint32_t>(list.size());
  void *out = nullptr;
  EXPECT_EQ(87u, dll_KrpGetMultipleByList(nullptr, 1, &size, &out));
  EXPECT_EQ(87u, dll_KrpGetMultipleByList(list.data(), 1, nullptr, &out));
  EXPECT_EQ(87u, dll_KrpGetMultipleByList(list.data(), 1, &size, nullptr));
  EXPECT_EQ(87u, dll_KrpGetMultipleByList(list.data(), 0, &size, &out));
  EXPECT_EQ(87u, dll_KrpGetMultipleResourcesWithAttributes(list.data(), 0, &size, &out));
  size = 0;
  EXPECT_EQ(87u, dll_KrpGetMultipleResourcesWithAttributes(list.data(), 1, &size, &out));
  EXPECT_EQ(nullptr, out);
}

TEST_P(MultiGetTest, StoredSizeBelowTheTypeFieldIsAnInconsistency) {
  Setup({{"other.ok", KRT_TEXT, "ok"}});
  if (!Server()) GTEST_SKIP() << "written raw through a running server";
  char raw[5] = {'a', 'b', 'c', 'd', 'e'};
  ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, "other.short", raw, 5, 1, 0, KRT_TEXT));
  EXPECT_EQ(1u, Get(false, MakeList({"other.ok", "other.short"}), 2).rc);
  EXPECT_EQ(1u, Get(true, MakeList({"other.ok", "other.short"}), 2).rc);
}

INSTANTIATE_TEST_SUITE_P(Modes, MultiGetTest, testing::Values(Mode::kServer, Mode::kDirect),
                         ModeName);

// A host for the tests that need only server mode.
class MultiGetServer : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
    dll_KrpRelease();
  }
  void TearDown() override {
    if (ctx_) dll_KrpUninitializeKrpLib(&ctx_);
  }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

// A name of `len` characters, unique by its index, with one plain lookup name.
std::string PaddedName(size_t index, size_t len) {
  char head[32];
  snprintf(head, sizeof head, "pad.%06zu.", index);
  std::string s(head);
  s.resize(len, 'x');
  return s;
}

TEST_F(MultiGetServer, NamesWhoseBlockWouldPassTheClientLimitGoInTwoBlocks) {
  // 1200 names of one lookup name each: items of 33 + 240 or 33 + 241
  // bytes. In one block they would take 16 + 327654 = 327670 bytes, which
  // the client refuses (its limit is 327659); they must be split.
  std::vector<std::string> names;
  uint64_t block = 16;
  for (size_t i = 0; i < 1200; ++i) {
    names.push_back(PaddedName(i, i < 1146 ? 240 : 241));
    block += 33 + names.back().size();
  }
  ASSERT_EQ(327670u, block);
  const size_t with_value[] = {0, 1, 600, 1197, 1198, 1199};
  for (size_t i : with_value) {
    std::vector<uint8_t> data(16, 0);
    ASSERT_EQ(0u, KrpTypeName(KRT_TEXT, reinterpret_cast<char *>(data.data()), 16));
    const std::string v = "v" + std::to_string(i);
    data.insert(data.end(), v.begin(), v.end());
    ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, names[i].c_str(), data.data(),
                                     static_cast<uint32_t>(data.size()), 7, 0, KRT_TEXT));
  }
  Result r = Get(false, MakeList(names), static_cast<uint32_t>(names.size()));
  ASSERT_EQ(0u, r.rc);
  ASSERT_EQ(names.size(), r.items.size());
  size_t k = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    bool has = k < std::size(with_value) && with_value[k] == i;
    EXPECT_EQ(has ? "v" + std::to_string(i) : std::string(1, '\0'), r.items[i]) << i;
    if (has) ++k;
  }
}

TEST_F(MultiGetServer, MoreThan128RequestsAreRefused) {
  // 2000 lookup names per block: 128 blocks answer 256000 names, one more
  // name needs a 129th request.
  std::vector<std::string> names;
  std::string list;
  char len[9];
  const uint32_t count = 128 * 2000 + 1;
  for (uint32_t i = 0; i < count; ++i) {
    char name[24];
    int n = snprintf(name, sizeof name, "m.%u", i);
    snprintf(len, sizeof len, "%08x", static_cast<unsigned>(n));
    list += len;
    list.append(name, n);
    list += "\r\n";
  }
  list += "00000000";
  EXPECT_EQ(0x1005u, Get(false, list, count).rc);
  // The same list less the last name fits the 128 requests.
  Result r = Get(false, list, count - 1);
  ASSERT_EQ(0u, r.rc);
  EXPECT_EQ(count - 1, r.items.size());
}

}  // namespace
