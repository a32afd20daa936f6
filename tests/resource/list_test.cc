// Listing and enumeration, each in server mode (a host in this process) and
// in direct mode (the host stopped, the store file read directly). Fixtures
// are written with the library's writers before the mode is set.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "krplib.h"
#include "resource.h"
#include "test_support.h"

namespace {

enum class Mode { kServer, kDirect };

std::string ModeName(const testing::TestParamInfo<Mode> &i) {
  return i.param == Mode::kServer ? "Server" : "Direct";
}

// One value to write: TEXT unless a type is given (INTEGER from the text).
struct Item {
  std::string name;
  std::string text;
  uint32_t type = KRT_TEXT;
};

// The items of a listing or list value, in order.
std::vector<std::string> Items(const void *buf, uint32_t size) {
  std::vector<std::string> out;
  KRP_HLIST h = nullptr;
  EXPECT_EQ(0u, dll_KrpListhelpInit(&h, nullptr));
  EXPECT_EQ(0u, dll_KrpListhelpAddList(h, buf, size));
  uint32_t count = 0;
  dll_KrpListhelpGetCount(h, &count);
  for (uint32_t i = 1; i <= count; ++i) {
    char item[512];
    uint32_t len = sizeof item;
    EXPECT_EQ(0u, dll_KrpListhelpGetItem(h, i, item, &len));
    out.emplace_back(item, len);
  }
  dll_KrpListhelpExit(&h);
  return out;
}

std::string ListItem(const std::string &s) {
  char head[9];
  snprintf(head, sizeof head, "%08x", static_cast<unsigned>(s.size()));
  return head + s + "\r\n";
}

// A store listing as the store hands it out: items, then one zero byte.
std::string Listing(const std::vector<std::string> &items) {
  std::string out;
  for (const auto &i : items) out += ListItem(i);
  return out + std::string(1, '\0');
}

class ListTest : public testing::TestWithParam<Mode> {
 protected:
  void TearDown() override {
    if (ctx_) dll_KrpUninitializeKrpLib(&ctx_);
  }
  void Setup(const std::vector<Item> &items) {
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
    for (const auto &i : items) Put(i);
    if (GetParam() == Mode::kDirect) {
      ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
      ctx_ = nullptr;
      ASSERT_EQ(0x141001u, dll_KrpIsMtAvailable());
    }
    dll_KrpRelease();
  }
  static void Put(const Item &i) {
    const char *n = i.name.c_str();
    const auto size = static_cast<uint32_t>(i.text.size());
    switch (i.type) {
      case KRT_TEXT:
        ASSERT_EQ(0u, dll_KrpSetString(n, size, i.text.c_str(), nullptr, nullptr)) << n;
        break;
      case KRT_INTEGER:
        ASSERT_EQ(0u, dll_KrpSetInteger(n, std::stoi(i.text), nullptr, nullptr)) << n;
        break;
      case KRT_LIST:
        ASSERT_EQ(0u, dll_KrpSetList(n, size, i.text.data(), nullptr, nullptr)) << n;
        break;
      default:
        ASSERT_EQ(0u, dll_KrpSetResource(i.type, n, size, i.text.data(), nullptr, nullptr)) << n;
    }
  }
  // The merged level as items, checking its one closing zero and its count.
  static uint32_t Level(const char *name, std::vector<std::string> *items) {
    void *p = nullptr;
    uint32_t size = 77, count = 77;
    uint32_t rc = dll_KrpListEntireLevel(name, &p, &size, &count);
    items->clear();
    if (rc != 0 || size == 0) {
      EXPECT_EQ(nullptr, p);
      return rc;
    }
    const auto *b = static_cast<const uint8_t *>(p);
    EXPECT_EQ(0, b[size - 1]) << name;
    EXPECT_EQ(nullptr, memchr(b, 0, size - 1)) << name;
    *items = Items(p, size);
    EXPECT_EQ(items->size(), count) << name;
    dll_KrpFreeMem(p);
    return rc;
  }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

TEST_P(ListTest, TypesAttributesAndContainerListings) {
  Setup({{"vendor.app.x", "hello"},
         {"vendor.app.y", "42", KRT_INTEGER},
         {"vendor.app.sub.z", "z"},
         {"default.only", "d"}});
  uint32_t type = 0;
  EXPECT_EQ(0u, dll_KrpGetResourceType("vendor.app", &type));
  EXPECT_EQ(10u, type);
  EXPECT_EQ(0u, dll_KrpGetResourceType("vendor.app.y", &type));
  EXPECT_EQ(KRT_INTEGER, type);
  EXPECT_EQ(0u, dll_KrpGetResourceType("vendor.only", &type));
  EXPECT_EQ(KRT_TEXT, type);
  EXPECT_EQ(0x370001u, dll_KrpGetResourceType("vendor.none", &type));
  EXPECT_EQ(87u, dll_KrpGetResourceType(nullptr, &type));
  EXPECT_EQ(87u, dll_KrpGetResourceType("vendor.app", nullptr));
  EXPECT_EQ(207u, dll_KrpGetResourceType("http://x", &type));

  KrpAttributes a{0, 0};
  EXPECT_EQ(0x370002u, dll_KrpGetResourceAttributes("vendor.app", &a));
  EXPECT_EQ(0u, dll_KrpGetResourceAttributes("vendor.app.x", &a));
  EXPECT_NE(0u, a.timestamp);
  EXPECT_EQ(0u, a.attributes & KRP_ATTR_DEFAULT);
  EXPECT_EQ(0u, dll_KrpGetResourceAttributes("vendor.only", &a));
  EXPECT_EQ(KRP_ATTR_DEFAULT, a.attributes & KRP_ATTR_DEFAULT);
  EXPECT_EQ(0x370001u, dll_KrpGetResourceAttributes("vendor.none", &a));
  EXPECT_EQ(207u, dll_KrpGetResourceAttributes("http://x", &a));
  EXPECT_EQ(87u, dll_KrpGetResourceAttributes("vendor.app.x", nullptr));

  void *p = nullptr;
  uint32_t size = 0, count = 0;
  ASSERT_EQ(0u, dll_KrpListResources("vendor.app", &p, &size, &count));
  EXPECT_EQ(3u, count);
  const std::vector<std::string> items = Items(p, size);
  EXPECT_EQ((std::set<std::string>{"x", "y", "sub"}),
            std::set<std::string>(items.begin(), items.end()));
  EXPECT_EQ(Listing(items), std::string(static_cast<char *>(p), size));
  dll_KrpFreeMem(p);

  // Without a listing pointer only the size is reported; the count stays 0.
  uint32_t size2 = 0;
  count = 9;
  EXPECT_EQ(0u, dll_KrpListResources("vendor.app", nullptr, &size2, &count));
  EXPECT_EQ(size, size2);
  EXPECT_EQ(0u, count);

  struct Case {
    const char *name;
    uint32_t rc;
  } cases[] = {{"vendor.none", 0x370001u}, {"vendor.app.x", 0x370002u}, {"http://a", 207u}};
  for (const Case &c : cases) {
    p = reinterpret_cast<void *>(1);
    EXPECT_EQ(c.rc, dll_KrpListResources(c.name, &p, &size, &count)) << c.name;
    EXPECT_EQ(nullptr, p) << c.name;
  }
  EXPECT_EQ(87u, dll_KrpListResources(nullptr, &p, &size, &count));
  EXPECT_EQ(87u, dll_KrpListResources("vendor.app", &p, nullptr, &count));
}

TEST_P(ListTest, EntireLevelMergesOnlyTheVendorRootWithItsDefault) {
  Setup({{"vendor.app.x", "1"},
         {"vendor.app.y", "2"},
         {"default.app.y", "3"},
         {"default.app.z", "4"},
         {"default.dflt.a", "5"},
         {"vendorx.a.v", "6"},
         {"default.a.d", "7"},
         {"vendor2.k", "8"},
         {"world.w", "9"}});
  std::vector<std::string> items;
  ASSERT_EQ(0u, Level("vendor.app", &items));
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ((std::set<std::string>{"y", "z"}), std::set<std::string>(items.begin(),
                                                                       items.begin() + 2));
  EXPECT_EQ("x", items[2]);

  // Only the default level exists.
  ASSERT_EQ(0u, Level("vendor.dflt", &items));
  EXPECT_EQ(std::vector<std::string>{"a"}, items);

  // "vendor" itself merges with "default".
  ASSERT_EQ(0u, Level("vendor", &items));
  EXPECT_EQ((std::set<std::string>{"app", "dflt", "a"}),
            std::set<std::string>(items.begin(), items.end()));

  // Names that merely begin with "vendor" have no default level.
  ASSERT_EQ(0u, Level("vendorx.a", &items));
  EXPECT_EQ(std::vector<std::string>{"v"}, items);
  ASSERT_EQ(0u, Level("vendor2", &items));
  EXPECT_EQ(std::vector<std::string>{"k"}, items);
  EXPECT_EQ(0x370001u, Level("vendorx.none", &items));
  EXPECT_EQ(0x370001u, Level("world.none", &items));

  // Neither level exists: success with nothing.
  void *p = reinterpret_cast<void *>(1);
  uint32_t size = 5, count = 5;
  EXPECT_EQ(0u, dll_KrpListEntireLevel("vendor.none", &p, &size, &count));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(0u, size);
  EXPECT_EQ(0u, count);
  EXPECT_EQ(87u, dll_KrpListEntireLevel("vendor", nullptr, &size, &count));
  EXPECT_EQ(87u, dll_KrpListEntireLevel("vendor", &p, nullptr, &count));
  EXPECT_EQ(0x370002u, dll_KrpListEntireLevel("vendor.app.x", &p, &size, &count));
}

TEST_P(ListTest, ValueSearchFindsTheFirstMatchingChild) {
  const std::string long_child(100, 'c');
  Setup({{"vendor.profiles.a.id", "5"},
         {"vendor.profiles.b.id", "7\r\n"},
         {"vendor.profiles.c.id", "77"},
         {"vendor.profiles.i.pic", std::string("\x01\x02\r\n", 4), KRT_IMAGE},
         {"vendor.long." + long_child + ".id", "x"},
         {"vendor.deep." + std::string(244, 'd') + ".id", "x"}});  // 259 characters
  // The caller's value is exactly `length` bytes, with nothing after it.
  std::unique_ptr<char[]> seven(new char[1]);
  seven[0] = '7';
  char out[16];
  uint32_t size = sizeof out;
  ASSERT_EQ(0u, dll_KrpGetContainerWithResourceValue("vendor.profiles", "id", seven.get(), 1,
                                                     out, &size));
  EXPECT_STREQ("b", out);
  EXPECT_EQ(2u, size);
  size = 0;
  EXPECT_EQ(0u, dll_KrpGetContainerWithResourceValue("vendor.profiles", "id", "7", 1, nullptr,
                                                     &size));
  EXPECT_EQ(2u, size);
  size = 1;
  EXPECT_EQ(0x1005u, dll_KrpGetContainerWithResourceValue("vendor.profiles", "id", "7", 1, out,
                                                          &size));
  EXPECT_EQ(2u, size);
  // A given value with its terminator matches the same text.
  size = sizeof out;
  EXPECT_EQ(0u, dll_KrpGetContainerWithResourceValue("vendor.profiles", "id", "77", 3, out,
                                                     &size));
  EXPECT_STREQ("c", out);

  // IMAGE values compare byte for byte, trailing bytes included.
  size = sizeof out;
  EXPECT_EQ(0u, dll_KrpGetContainerWithResourceValue("vendor.profiles", "pic", "\x01\x02\r\n", 4,
                                                     out, &size));
  EXPECT_STREQ("i", out);
  size = sizeof out;
  EXPECT_EQ(0x370001u, dll_KrpGetContainerWithResourceValue("vendor.profiles", "pic", "\x01\x02",
                                                            2, out, &size));
  EXPECT_EQ(0u, size);

  struct Case {
    const char *container, *resource, *value;
    uint32_t rc;
  } cases[] = {{"vendor.profiles", "id", "8", 0x370001u},
               {"vendor.none", "id", "7", 0x370001u},
               {"vendor.deep", "id", "x", 0x1005u},
               {"kts:vendor.deep", "id", "x", 0x370001u},  // composed name too long
               {nullptr, "id", "7", 87u},
               {"vendor.profiles", nullptr, "7", 87u},
               {"vendor.profiles", "id", nullptr, 87u}};
  for (const Case &c : cases) {
    size = sizeof out;
    EXPECT_EQ(c.rc, dll_KrpGetContainerWithResourceValue(c.container, c.resource, c.value, 1,
                                                         out, &size))
        << (c.container ? c.container : "(null)");
  }

  char *alloc = nullptr;
  ASSERT_EQ(0u, dll_KrpGetContainerWithResourceValueAlloc("vendor.long", "id", "x", 1, &alloc,
                                                          &size));
  EXPECT_EQ(101u, size);
  EXPECT_EQ(long_child, alloc);
  dll_KrpFreeMem(alloc);
  alloc = reinterpret_cast<char *>(1);
  EXPECT_EQ(0x370001u, dll_KrpGetContainerWithResourceValueAlloc("vendor.long", "id", "y", 1,
                                                                 &alloc, &size));
  EXPECT_EQ(nullptr, alloc);
  EXPECT_EQ(87u, dll_KrpGetContainerWithResourceValueAlloc("vendor.long", "id", "x", 1, nullptr,
                                                           &size));
}

TEST_P(ListTest, ListItemByIndexIsHandedOutTerminated) {
  const std::string list = ListItem("abc") + ListItem("de") + "00000000";
  Setup({{"vendor.l", list, KRT_LIST}, {"vendor.t", "text"}});
  struct Case {
    const char *name;
    uint32_t position;
    uint32_t rc;
    const char *item;
  } cases[] = {{"vendor.l", 1, 0, "abc"},      {"vendor.l", 2, 0, "de"},
               {"vendor.l", 3, 38u, nullptr},  {"vendor.l", 0, 87u, nullptr},
               {"vendor.t", 1, 0x370002u, nullptr}, {"vendor.none", 1, 0x370001u, nullptr},
               {"", 1, 87u, nullptr}};
  for (const Case &c : cases) {
    void *out = reinterpret_cast<void *>(1);
    uint32_t size = 99;
    EXPECT_EQ(c.rc, dll_KrpClientGetListItemByIndexFromResource(c.name, c.position, &out, &size))
        << c.name << " " << c.position;
    if (!c.item) continue;
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(strlen(c.item), size);
    EXPECT_STREQ(c.item, static_cast<char *>(out));  // the byte after the item is zero
    dll_KrpFreeMem(out);
  }
  void *out = nullptr;
  uint32_t size = 0;
  EXPECT_EQ(87u, dll_KrpClientGetListItemByIndexFromResource(nullptr, 1, &out, &size));
  EXPECT_EQ(87u, dll_KrpClientGetListItemByIndexFromResource("vendor.l", 1, nullptr, &size));
  EXPECT_EQ(87u, dll_KrpClientGetListItemByIndexFromResource("vendor.l", 1, &out, nullptr));
}

struct Seen {
  std::string container, entry;
  uint32_t type, size;
  bool operator<(const Seen &o) const { return entry < o.entry; }
};

struct Recorder {
  std::vector<Seen> seen;
  uint32_t stop_after = 0;  // a non-zero result after this many entries
  static uint32_t OnContainer(const char *c, const char *e, void *ctx) {
    auto *r = static_cast<Recorder *>(ctx);
    r->seen.push_back({c, e, KRT_CONTAINER, 0});
    return r->Result();
  }
  static uint32_t OnResource(const char *c, const char *e, uint32_t type, uint32_t size,
                             void *ctx) {
    auto *r = static_cast<Recorder *>(ctx);
    r->seen.push_back({c, e, type, size});
    return r->Result();
  }
  uint32_t Result() const { return seen.size() == stop_after ? 0x4242u : 0u; }
};

TEST_P(ListTest, EnumerationHandsEveryEntryToItsCallbackWithTypeAndSize) {
  std::vector<Item> items = {{"vendor.e.text", "hello"},
                             {"vendor.e.num", "42", KRT_INTEGER},
                             {"vendor.e.img", std::string("\0\1\2", 3), KRT_IMAGE},
                             {"vendor.e.sub.a", "a"},
                             {"vendor.e.other.b.c", "c"},
                             {"vendor.e.strings.t", "plain"},
                             {"default.e.strings.00.t", "localized!"},
                             {"vendor.f.strings.n", "5", KRT_INTEGER},
                             {"default.f.strings.00.n", "1234", KRT_INTEGER}};
  // Enough entries to need more than one round of look-ups.
  constexpr int kMany = 300;
  for (int i = 0; i < kMany; ++i)
    items.push_back({"vendor.m.r" + std::to_string(i), std::string(i % 7, 'v')});
  Setup(items);

  Recorder r;
  uint32_t containers = 0, resources = 0;
  ASSERT_EQ(0u, dll_KrpClientEnumerateContainer("vendor.e", &containers, &resources,
                                                Recorder::OnContainer, Recorder::OnResource,
                                                &r));
  EXPECT_EQ(3u, containers);  // sub, other, strings
  EXPECT_EQ(3u, resources);
  std::set<Seen> got(r.seen.begin(), r.seen.end());
  ASSERT_EQ(6u, got.size());
  const std::vector<Seen> want = {{"vendor.e", "img", KRT_IMAGE, 3},
                                  {"vendor.e", "num", KRT_INTEGER, 2},
                                  {"vendor.e", "other", KRT_CONTAINER, 0},
                                  {"vendor.e", "strings", KRT_CONTAINER, 0},
                                  {"vendor.e", "sub", KRT_CONTAINER, 0},
                                  {"vendor.e", "text", KRT_TEXT, 6}};
  auto it = got.begin();
  for (const Seen &w : want) {
    EXPECT_EQ(w.container, it->container);
    EXPECT_EQ(w.entry, it->entry);
    EXPECT_EQ(w.type, it->type) << w.entry;
    EXPECT_EQ(w.size, it->size) << w.entry;
    ++it;
  }

  // A localized string is reported as the single queries report it.
  Recorder s;
  ASSERT_EQ(0u, dll_KrpClientEnumerateContainer("vendor.e.strings", nullptr, nullptr, nullptr,
                                                Recorder::OnResource, &s));
  ASSERT_EQ(1u, s.seen.size());
  uint32_t type = 0, size = 0;
  ASSERT_EQ(0u, dll_KrpGetResourceType("vendor.e.strings.t", &type));
  ASSERT_EQ(0u, dll_KrpGetResource(type, "vendor.e.strings.t", &size, nullptr, nullptr, nullptr));
  EXPECT_EQ(type, s.seen[0].type);
  EXPECT_EQ(size, s.seen[0].size);

  // A localized variant of another type than TEXT: the type comes from the
  // variant, the size from the name itself, as the two queries find them.
  Recorder f;
  ASSERT_EQ(0u, dll_KrpClientEnumerateContainer("vendor.f.strings", nullptr, nullptr, nullptr,
                                                Recorder::OnResource, &f));
  ASSERT_EQ(1u, f.seen.size());
  EXPECT_EQ(KRT_INTEGER, f.seen[0].type);
  EXPECT_EQ(1u, f.seen[0].size);

  // Many entries: the same answers as one query per entry, in listing order.
  Recorder m;
  resources = 0;
  ASSERT_EQ(0u, dll_KrpClientEnumerateContainer("vendor.m", nullptr, &resources, nullptr,
                                                Recorder::OnResource, &m));
  EXPECT_EQ(uint32_t(kMany), resources);
  ASSERT_EQ(size_t(kMany), m.seen.size());
  void *listing = nullptr;
  uint32_t lsize = 0, lcount = 0;
  ASSERT_EQ(0u, dll_KrpListResources("vendor.m", &listing, &lsize, &lcount));
  const std::vector<std::string> order = Items(listing, lsize);
  dll_KrpFreeMem(listing);
  for (int i = 0; i < kMany; ++i) {
    const Seen &e = m.seen[i];
    EXPECT_EQ(order[i], e.entry);
    const std::string full = "vendor.m." + e.entry;
    uint32_t t = 0, sz = 0;
    ASSERT_EQ(0u, dll_KrpGetResourceType(full.c_str(), &t));
    ASSERT_EQ(0u, dll_KrpGetResource(t, full.c_str(), &sz, nullptr, nullptr, nullptr));
    EXPECT_EQ(KRT_TEXT, e.type);
    EXPECT_EQ(t, e.type) << e.entry;
    EXPECT_EQ(sz, e.size) << e.entry;
  }

  // Counts alone, without callbacks.
  containers = resources = 0;
  EXPECT_EQ(0u, dll_KrpClientEnumerateContainer("vendor.e", &containers, &resources, nullptr,
                                                nullptr, nullptr));
  EXPECT_EQ(3u, containers);
  EXPECT_EQ(3u, resources);
}

TEST_P(ListTest, EnumerationStopsAtACallbackResultAndRefusesBadInput) {
  Setup({{"vendor.e.a", "1"},
         {"vendor.e.b", "2"},
         {"vendor.e.c", "3"},
         {"vendor.n." + std::string(248, 'n') + ".v", "long"}});  // 259 characters
  Recorder r;
  r.stop_after = 2;
  uint32_t resources = 0;
  EXPECT_EQ(0x4242u, dll_KrpClientEnumerateContainer("vendor.e", nullptr, &resources, nullptr,
                                                     Recorder::OnResource, &r));
  EXPECT_EQ(2u, r.seen.size());
  EXPECT_EQ(2u, resources);

  EXPECT_EQ(87u, dll_KrpClientEnumerateContainer(nullptr, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr));
  EXPECT_EQ(0x370001u, dll_KrpClientEnumerateContainer("vendor.none", nullptr, nullptr, nullptr,
                                                       nullptr, nullptr));
  EXPECT_EQ(0x370002u, dll_KrpClientEnumerateContainer("vendor.e.a", nullptr, nullptr, nullptr,
                                                       nullptr, nullptr));
  // The store name fits, the full name the caller's prefix makes does not.
  Recorder n;
  EXPECT_EQ(0u, dll_KrpClientEnumerateContainer("vendor.n", nullptr, nullptr,
                                                Recorder::OnContainer, nullptr, &n));
  EXPECT_EQ(1u, n.seen.size());
  EXPECT_EQ(0x37000Fu, dll_KrpClientEnumerateContainer("kts:vendor.n", nullptr, nullptr,
                                                       Recorder::OnContainer, nullptr, &n));
  EXPECT_EQ(1u, n.seen.size());
}

INSTANTIATE_TEST_SUITE_P(Modes, ListTest, testing::Values(Mode::kServer, Mode::kDirect),
                         ModeName);

// The merge of two listings, byte for byte, on listings the store does not
// make itself (short, unterminated, with a piece after the last LF).
TEST(MergeListings, DefaultContentThenNewVendorLinesAndOneClosingZero) {
  struct Case {
    const char *what;
    std::string d, v;
    std::string want;
    uint32_t added;
  } cases[] = {
      {"store listings", Listing({"y", "z"}), Listing({"x", "y"}),
       ListItem("y") + ListItem("z") + ListItem("x") + std::string(1, '\0'), 1},
      {"default without its zero", ListItem("y"), Listing({"x"}),
       ListItem("y") + ListItem("x") + std::string(1, '\0'), 1},
      {"default content without CR LF", "00000001y", Listing({"x"}),
       "00000001y\r\n" + ListItem("x") + std::string(1, '\0'), 1},
      {"two-byte default", std::string("\r\n", 2), Listing({"x"}),
       "\r\n" + ListItem("x") + std::string(1, '\0'), 1},
      {"one-byte default is not looked behind", std::string(1, '\0'), Listing({"x"}),
       ListItem("x") + std::string(1, '\0'), 1},
      {"vendor piece after its last LF", Listing({"y"}), ListItem("x") + "00000001w",
       ListItem("y") + ListItem("x") + ListItem("w") + std::string(1, '\0'), 2},
      {"vendor piece already held", Listing({"w"}), "00000001w",
       ListItem("w") + std::string(1, '\0'), 0},
      {"all held", Listing({"a", "b"}), Listing({"b", "a"}),
       ListItem("a") + ListItem("b") + std::string(1, '\0'), 0},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> out(c.d.size() + c.v.size() + 5, 0xEE);
    uint32_t count = 10;
    const uint32_t n = KrpMergeListings(reinterpret_cast<const uint8_t *>(c.d.data()),
                                        uint32_t(c.d.size()),
                                        reinterpret_cast<const uint8_t *>(c.v.data()),
                                        uint32_t(c.v.size()), out.data(), &count);
    EXPECT_EQ(c.want, std::string(reinterpret_cast<char *>(out.data()), n)) << c.what;
    EXPECT_EQ(10u + c.added, count) << c.what;
  }
}

}  // namespace
