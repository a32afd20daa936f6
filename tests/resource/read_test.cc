// Reads, access rights and the process locale, each in server mode (a host
// in this process) and in direct mode (the host stopped, the store file read
// directly). Fixtures are written through the service before the mode is set.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <atomic>
#include <string>
#include <thread>
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
  bool raw = false;   // value stored as it stands, without a type-name field
};

std::string ModeName(const testing::TestParamInfo<Mode> &i) {
  return i.param == Mode::kServer ? "Server" : "Direct";
}

class ReadTest : public testing::TestWithParam<Mode> {
 protected:
  void TearDown() override {
    if (ctx_) dll_KrpUninitializeKrpLib(&ctx_);
  }
  // Writes the objects through a host, then leaves the host running (server
  // mode) or stops it (direct mode). The process locale starts afresh.
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
    std::vector<uint8_t> data(o.raw ? 0 : 16, 0);
    if (!o.raw) {
      ASSERT_EQ(0u, KrpTypeName(o.type, reinterpret_cast<char *>(data.data()), 16));
    }
    data.insert(data.end(), o.value.begin(), o.value.end());
    ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, o.name.c_str(), data.data(),
                                     static_cast<uint32_t>(data.size()), 1000, 0x20, o.type))
        << o.name;
  }
  krptest::TestEnv env_;
  KRP_HLIBCTX ctx_ = nullptr;
};

std::string Text(const std::string &s) { return s + std::string(1, '\0'); }

TEST_P(ReadTest, DefaultFallbackLocalizedAccessAndSizeProtocol) {
  KrpLookupNames de;
  ASSERT_EQ(0u, KrpBuildLookupSet("vendor.strings.t", 1, "de", "00", &de));
  ASSERT_NE(0, de.slots[0][0]);
  Setup({{"default.a", KRT_TEXT, Text("from default")},
         {"vendor.b", KRT_TEXT, "hello"},
         {de.slots[0], KRT_TEXT, Text("Hallo")},
         {"vendor.access", KRT_TEXT, Text("ab")}});

  char buf[64];
  uint32_t size = sizeof buf;
  KrpAttributes attrs{0, 0};
  char access[3] = {'x', 'x', 'x'};
  uint32_t type = 0, ares = 7;
  EXPECT_EQ(0u, dll_KrpGetResourceForLocale(KRT_TEXT, "vendor.a", &size, buf, access, &type,
                                            "zz", &attrs, &ares));
  EXPECT_STREQ("from default", buf);
  EXPECT_EQ(13u, size);
  EXPECT_EQ(KRT_TEXT, type);
  EXPECT_EQ(1000u, attrs.timestamp);
  EXPECT_EQ(0x21u, attrs.attributes);  // from-default flag added
  EXPECT_STREQ("ab", access);          // from 'vendor.access'
  EXPECT_EQ(0x370001u, ares);          // 'vendor.a' itself does not exist

  size = sizeof buf;
  ares = 0;
  EXPECT_EQ(0u, dll_KrpGetResourceForLocale(KRT_TEXT, "vendor.strings.t", &size, buf, access,
                                            nullptr, "de", nullptr, &ares));
  EXPECT_STREQ("Hallo", buf);
  EXPECT_STREQ("wr", access);
  EXPECT_EQ(1u, ares);

  // Size protocol: one byte short, no buffer, zero size with a buffer.
  size = 4;
  EXPECT_EQ(0x1005u, dll_KrpGetString("vendor.b", &size, buf));
  EXPECT_EQ(5u, size);
  size = 0;
  EXPECT_EQ(0u, dll_KrpGetString("vendor.b", &size, nullptr));
  EXPECT_EQ(5u, size);
  size = 5;
  EXPECT_EQ(0u, dll_KrpGetString("vendor.b", &size, buf));
  EXPECT_EQ(0, memcmp(buf, "hello", 5));
  size = 0;
  EXPECT_EQ(0x1005u, dll_KrpGetResource(KRT_TEXT, "vendor.b", &size, buf, nullptr, nullptr));

  // Wrong type, absence, bad arguments.
  size = sizeof buf;
  EXPECT_EQ(0x370002u, dll_KrpGetImage("vendor.b", &size, buf));
  size = sizeof buf;
  EXPECT_EQ(0x370001u, dll_KrpGetString("vendor.none", &size, buf));
  EXPECT_EQ(87u, dll_KrpGetString(".a", &size, buf));
  EXPECT_EQ(87u, dll_KrpGetString("vendor.b", nullptr, buf));
  EXPECT_EQ(207u, dll_KrpGetString("http://x", &size, buf));
  EXPECT_EQ(87u, dll_KrpGetResourceForLocale(KRT_TEXT, "vendor.b", &size, buf, nullptr, nullptr,
                                             "d-", nullptr, nullptr));

  // Allocating read.
  void *p = nullptr;
  size = 0;
  type = 0;
  EXPECT_EQ(0u, dll_KrpGetResourceAlloc("vendor.b", &size, &p, &type, nullptr, access));
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(5u, size);
  EXPECT_EQ(0, memcmp(p, "hello", 5));
  EXPECT_STREQ("ab", access);
  EXPECT_EQ(0u, dll_KrpFreeMem(p));
}

TEST_P(ReadTest, TypedGettersParseByLength) {
  Setup({{"vendor.i.blank", KRT_INTEGER, "42 "},
         {"vendor.i.lead", KRT_INTEGER, "042"},
         {"vendor.i.empty", KRT_INTEGER, ""},
         {"vendor.i.neg", KRT_INTEGER, Text("-7")},
         {"vendor.i.long", KRT_INTEGER, std::string(65, '1')},
         {"vendor.b.true", KRT_BOOLEAN, Text("true")},
         {"vendor.b.false", KRT_BOOLEAN, "false  "},
         {"vendor.b.cap", KRT_BOOLEAN, Text("True")},
         {"vendor.b.long", KRT_BOOLEAN, std::string(12, 't')},
         {"vendor.u.t", KRT_UTC, Text("4000000000")},
         {"vendor.img", KRT_IMAGE, ""},
         {"vendor.list", KRT_LIST, "0"}});
  struct IntCase {
    const char *name;
    uint32_t rc;
    int32_t value;
  } ints[] = {{"vendor.i.blank", 0, 42},         {"vendor.i.lead", 0x370005, 42},
              {"vendor.i.empty", 0x370006, -1},  {"vendor.i.neg", 0, -7},
              {"vendor.i.long", 0x370005, -1},   {"vendor.b.true", 0x370002, -1}};
  for (const auto &c : ints) {
    int32_t v = -1;
    EXPECT_EQ(c.rc, dll_KrpGetInteger(c.name, &v)) << c.name;
    EXPECT_EQ(c.value, v) << c.name;
  }
  struct BoolCase {
    const char *name;
    uint32_t rc;
    uint32_t value;
  } bools[] = {{"vendor.b.true", 0, 1},
               {"vendor.b.false", 0, 0},
               {"vendor.b.cap", 0x370005, 9},
               {"vendor.b.long", 0x370005, 9}};
  for (const auto &c : bools) {
    uint32_t v = 9;
    EXPECT_EQ(c.rc, dll_KrpGetBoolean(c.name, &v)) << c.name;
    EXPECT_EQ(c.value, v) << c.name;
  }
  uint32_t u = 0;
  EXPECT_EQ(0u, dll_KrpGetUTC("vendor.u.t", &u));
  EXPECT_EQ(4000000000u, u);
  EXPECT_EQ(87u, dll_KrpGetInteger("vendor.i.neg", nullptr));
  char buf[8];
  uint32_t size = sizeof buf;
  EXPECT_EQ(0x370006u, dll_KrpGetImage("vendor.img", &size, buf));
  size = sizeof buf;
  EXPECT_EQ(0x370006u, dll_KrpGetList("vendor.list", &size, buf));
}

TEST_P(ReadTest, ContainerGivesListing) {
  Setup({{"vendor.c.x", KRT_TEXT, Text("1")}, {"vendor.c.y", KRT_TEXT, Text("2")}});
  char buf[256];
  uint32_t size = sizeof buf, type = 0;
  EXPECT_EQ(0u, dll_KrpGetResourceForLocale(KRT_ANY, "vendor.c", &size, buf, nullptr, &type,
                                            "zz", nullptr, nullptr));
  EXPECT_EQ(KRT_CONTAINER, type);
  std::string listing(buf, size);
  EXPECT_NE(std::string::npos, listing.find("x\r\n")) << listing;
  EXPECT_NE(std::string::npos, listing.find("y\r\n")) << listing;
  size = sizeof buf;
  // Both modes recognise the container: the file scan sees the names
  // below it as the server does.
  EXPECT_EQ(0x370002u, dll_KrpGetString("vendor.c", &size, buf));
}

TEST_P(ReadTest, AccessWalk) {
  Setup({{"vendor.access", KRT_TEXT, Text("ab")},
         {"vendor.app.title", KRT_TEXT, Text("t")},
         {"default.access", KRT_TEXT, Text("dd")},
         {"other.x", KRT_TEXT, Text("x")}});
  char acc[3];
  EXPECT_EQ(0u, dll_KrpGetAccess("vendor.app.title", acc));
  EXPECT_STREQ("ab", acc);
  EXPECT_EQ(0x370001u, dll_KrpGetAccess("vendor.app.missing", acc));
  EXPECT_STREQ("ab", acc);
  EXPECT_EQ(0u, dll_KrpGetAccess("", acc));
  EXPECT_STREQ("rr", acc);
  EXPECT_EQ(0u, dll_KrpGetAccess("kts:", acc));
  EXPECT_STREQ("rr", acc);
  EXPECT_EQ(0x370001u, dll_KrpGetAccess("other.x", acc));  // exists, no access value
  EXPECT_STREQ("", acc);
  EXPECT_EQ(87u, dll_KrpGetAccess(nullptr, acc));
  EXPECT_EQ(207u, dll_KrpGetAccess("http://a", acc));
  // Names near the limit: the walk still finds the root's value.
  std::string n253 = "vendor." + std::string(246, 'a');
  std::string n254 = n253 + "b";
  EXPECT_EQ(0x370001u, dll_KrpGetAccess(n253.c_str(), acc));
  EXPECT_STREQ("ab", acc);
  EXPECT_EQ(0x370001u, dll_KrpGetAccess(n254.c_str(), acc));
  EXPECT_STREQ("ab", acc);
  EXPECT_EQ(0x37000Fu, dll_KrpGetAccess(std::string(261, 'v').c_str(), acc));
}

TEST_P(ReadTest, AccessFallsBackToDefaultWalk) {
  Setup({{"default.access", KRT_TEXT, Text("dd")}, {"vendor.q.r", KRT_TEXT, Text("v")}});
  char acc[3];
  EXPECT_EQ(0u, dll_KrpGetAccess("vendor.q.r", acc));
  EXPECT_STREQ("dd", acc);
}

TEST_P(ReadTest, StoredLocaleChoosesVariants) {
  KrpLookupNames de;
  ASSERT_EQ(0u, KrpBuildLookupSet("vendor.strings.t", 1, "de", "00", &de));
  Setup({{"vendor.locale.current_locale", KRT_TEXT, Text("de")},
         {de.slots[0], KRT_TEXT, Text("Hallo")},
         {"vendor.strings.t", KRT_TEXT, Text("Hello")}});
  char buf[16];
  uint32_t size = sizeof buf;
  EXPECT_EQ(0u, dll_KrpGetString("vendor.strings.t", &size, buf));
  EXPECT_STREQ("Hallo", buf);
  char loc[3];
  EXPECT_EQ(0u, dll_KrpGetLocale(loc));
  EXPECT_STREQ("de", loc);
}

TEST_P(ReadTest, BadOrMissingStoredLocaleGivesDefault) {
  Setup({{"vendor.locale.current_locale", KRT_TEXT, Text("deu")}});
  char loc[3];
  EXPECT_EQ(0u, dll_KrpGetLocale(loc));
  EXPECT_STREQ("00", loc);
  dll_KrpRelease();
  // An empty stored value counts as missing.
  if (GetParam() == Mode::kServer) {
    Put({"vendor.locale.current_locale", KRT_TEXT, ""});
    EXPECT_EQ(0u, dll_KrpGetLocale(loc));
    EXPECT_STREQ("00", loc);
    // Nothing could be read, so the next call reads again and finds it.
    Put({"vendor.locale.current_locale", KRT_TEXT, Text("fr")});
    EXPECT_EQ(0u, dll_KrpGetLocale(loc));
    EXPECT_STREQ("fr", loc);
    // Once read, the locale stays until a release.
    Put({"vendor.locale.current_locale", KRT_TEXT, Text("it")});
    EXPECT_EQ(0u, dll_KrpGetLocale(loc));
    EXPECT_STREQ("fr", loc);
    dll_KrpRelease();
    EXPECT_EQ(0u, dll_KrpGetLocale(loc));
    EXPECT_STREQ("it", loc);
  }
}

// Whatever lies under the stored locale's names, the library initialises
// with some locale and every call goes on working (a malformed value must
// never block the calls that could repair it).
TEST_P(ReadTest, MalformedStoredLocaleNeverBlocksTheLibrary) {
  const std::string kName = "vendor.locale.current_locale";
  const std::string kDefault = "default.locale.current_locale";
  struct Case {
    const char *what;
    std::vector<Obj> objs;
    const char *locale;
    bool repairable;  // dll_KrpSetCurrentLocale can store a new one
  } cases[] = {
      {"a byte array is read like text", {{kName, KRT_BYTEARRAY, Text("de")}}, "de", true},
      {"four bytes are too long", {{kName, KRT_BYTEARRAY, "abcd"}}, "00", true},
      {"a long text", {{kName, KRT_TEXT, Text("english")}}, "00", true},
      {"zz is never current", {{kName, KRT_TEXT, Text("zz")}}, "00", true},
      {"not alphanumeric", {{kName, KRT_TEXT, Text("d-")}}, "00", true},
      {"one character", {{kName, KRT_TEXT, Text("d")}}, "00", true},
      {"no terminator", {{kName, KRT_TEXT, "fr"}}, "fr", true},
      {"empty vendor value falls back to the default one",
       {{kName, KRT_TEXT, Text("")}, {kDefault, KRT_TEXT, Text("it")}}, "it", true},
      {"value of no bytes falls back to the default one",
       {{kName, KRT_TEXT, ""}, {kDefault, KRT_TEXT, Text("es")}}, "es", true},
      {"only the default one", {{kDefault, KRT_TEXT, Text("pt")}}, "pt", true},
      {"shorter than its type field", {{kName, KRT_TEXT, "de", true}}, "00", true},
      {"a container", {{kName + ".x", KRT_TEXT, Text("de")}}, "00", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    // The names of the previous case go, through a host of their own.
    if (!ctx_) {
      ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx_));
    }
    for (const std::string &n : {kName + ".x", kName, kDefault}) KrpStoreKtsDeleteMt(0, n.c_str());
    ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx_));
    ctx_ = nullptr;
    Setup(c.objs);
    char loc[3] = {0, 0, 0};
    EXPECT_EQ(0u, dll_KrpGetLocale(loc));
    EXPECT_STREQ(c.locale, loc);
    char buf[8];
    uint32_t size = sizeof buf;
    EXPECT_EQ(0x370001u, dll_KrpGetString("vendor.absent", &size, buf));
    if (!c.repairable) continue;
    if (GetParam() == Mode::kServer) {
      ASSERT_EQ(0u, dll_KrpSetCurrentLocale("nl"));
      dll_KrpRelease();
      EXPECT_EQ(0u, dll_KrpGetLocale(loc));
      EXPECT_STREQ("nl", loc);
    }
  }
}

TEST_P(ReadTest, InitChecksItsLocaleAndReadsTheStoredOneOnlyForZz) {
  KrpLookupNames de;
  ASSERT_EQ(0u, KrpBuildLookupSet("vendor.strings.t", 1, "de", "00", &de));
  Setup({{"vendor.locale.current_locale", KRT_TEXT, Text("de")},
         {de.slots[0], KRT_TEXT, Text("Hallo")},
         {"vendor.strings.t", KRT_TEXT, Text("Hello")}});
  for (const char *bad : {"x", "d-", "deu", ""}) EXPECT_EQ(87u, dll_KrpResourceInit(bad)) << bad;
  EXPECT_EQ(87u, dll_KrpResourceInit(nullptr));
  // A first call in a locale of its own does not read the stored locale.
  char buf[16];
  uint32_t size = sizeof buf;
  ASSERT_EQ(0u, dll_KrpGetResourceForLocale(KRT_TEXT, "vendor.strings.t", &size, buf, nullptr,
                                            nullptr, "fr", nullptr, nullptr));
  EXPECT_STREQ("Hello", buf);
  char loc[3];
  ASSERT_EQ(0u, dll_KrpGetLocale(loc));
  // With a server the process is initialised now, with "00"; without one
  // every call initialises again, and "zz" reads the stored locale.
  EXPECT_STREQ(GetParam() == Mode::kServer ? "00" : "de", loc);
  dll_KrpRelease();
  ASSERT_EQ(0u, dll_KrpResourceInit("fr"));
  ASSERT_EQ(0u, dll_KrpResourceInit("zz"));
  ASSERT_EQ(0u, dll_KrpGetLocale(loc));
  EXPECT_STREQ(GetParam() == Mode::kServer ? "00" : "de", loc);
  dll_KrpRelease();
  ASSERT_EQ(0u, dll_KrpResourceInit("zz"));
  ASSERT_EQ(0u, dll_KrpGetLocale(loc));
  EXPECT_STREQ("de", loc);
}

TEST_P(ReadTest, SetLocaleAndStoreIt) {
  KrpLookupNames fr;
  ASSERT_EQ(0u, KrpBuildLookupSet("vendor.strings.t", 1, "fr", "00", &fr));
  Setup({{fr.slots[0], KRT_TEXT, Text("Bonjour")}, {"vendor.strings.t", KRT_TEXT, Text("Hi")}});
  char loc[3];
  EXPECT_EQ(0u, dll_KrpGetLocale(loc));
  EXPECT_STREQ("00", loc);  // nothing stored
  EXPECT_EQ(21u, dll_KrpGetCurrentLocale(loc));
  EXPECT_STREQ("00", loc);
  struct {
    const char *set;
    const char *now;
  } cases[] = {{"fr", "fr"}, {"x", "00"}, {"d-", "00"}, {"zz", "00"}, {"de", "de"}};
  for (const auto &c : cases) {
    EXPECT_EQ(0u, dll_KrpSetLocale(c.set)) << c.set;
    EXPECT_EQ(0u, dll_KrpGetLocale(loc));
    EXPECT_STREQ(c.now, loc) << c.set;
  }
  EXPECT_EQ(87u, dll_KrpSetLocale(nullptr));
  // A locale the process set survives the re-initialisations made while no
  // server runs.
  ASSERT_EQ(0u, dll_KrpSetLocale("fr"));
  char buf[16];
  for (int i = 0; i < 2; ++i) {
    uint32_t size = sizeof buf;
    EXPECT_EQ(0u, dll_KrpGetString("vendor.strings.t", &size, buf));
    EXPECT_STREQ("Bonjour", buf);
  }
  // Storing the locale: 'f', 'r', 0 under the machine's locale name.
  EXPECT_EQ(87u, dll_KrpSetCurrentLocale("f"));
  EXPECT_EQ(87u, dll_KrpSetCurrentLocale("f-"));
  ASSERT_EQ(0u, dll_KrpSetLocale("00"));
  ASSERT_EQ(0u, dll_KrpSetCurrentLocale("fr"));
  EXPECT_EQ(0u, dll_KrpGetLocale(loc));
  EXPECT_STREQ("fr", loc);
  void *p = nullptr;
  uint32_t size = 0, type = 0;
  ASSERT_EQ(0u, dll_KrpGetResourceAlloc("vendor.locale.current_locale", &size, &p, &type,
                                        nullptr, nullptr));
  EXPECT_EQ(3u, size);
  EXPECT_EQ(KRT_TEXT, type);
  EXPECT_EQ(0, memcmp(p, "fr", 3));
  dll_KrpFreeMem(p);
  // After a release the stored locale is read again.
  dll_KrpRelease();
  EXPECT_EQ(0u, dll_KrpGetLocale(loc));
  EXPECT_STREQ("fr", loc);
  EXPECT_EQ(0u, dll_KrpGetCurrentLocale(loc));
  EXPECT_STREQ("fr", loc);
}

TEST_P(ReadTest, ValueShorterThanTypeFieldIsAnInconsistency) {
  Setup({{"vendor.ok", KRT_TEXT, Text("ok")}});
  // Written raw: five bytes, no type-name field. Both the plain read (one
  // lookup name) and the read-multiple walk (vendor. names) must refuse it.
  if (GetParam() == Mode::kServer) {
    char raw[5] = {'a', 'b', 'c', 'd', 'e'};
    ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, "other.short", raw, 5, 1, 0, KRT_TEXT));
    char raw2[5] = {'a', 'b', 'c', 'd', 'e'};
    ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, "vendor.short", raw2, 5, 1, 0, KRT_TEXT));
  } else {
    KRP_HLIBCTX ctx = nullptr;
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
    char raw[5] = {'a', 'b', 'c', 'd', 'e'};
    ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, "other.short", raw, 5, 1, 0, KRT_TEXT));
    char raw2[5] = {'a', 'b', 'c', 'd', 'e'};
    ASSERT_EQ(0u, KrpStoreKtsWriteMt(0, "vendor.short", raw2, 5, 1, 0, KRT_TEXT));
    ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
  }
  char buf[16];
  for (const char *name : {"other.short", "vendor.short"}) {
    uint32_t size = sizeof buf;
    EXPECT_EQ(1u, dll_KrpGetString(name, &size, buf)) << name;
    size = 0;
    EXPECT_EQ(1u, dll_KrpGetString(name, &size, nullptr)) << name;
  }
}

TEST_P(ReadTest, ThreadsShareTheLocale) {
  Setup({{"vendor.t", KRT_TEXT, Text("v")}});
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &bad] {
      const char *mine = (t % 2) ? "de" : "fr";
      for (int i = 0; i < 20; ++i) {
        char loc[3];
        char buf[4];
        uint32_t size = sizeof buf;
        if (dll_KrpSetLocale(mine) != 0) ++bad;
        // Another thread's release may have put back the stored ("00").
        if (dll_KrpGetLocale(loc) != 0 ||
            (strcmp(loc, "de") != 0 && strcmp(loc, "fr") != 0 && strcmp(loc, "00") != 0))
          ++bad;
        if (dll_KrpGetString("vendor.t", &size, buf) != 0) ++bad;
        if (i % 7 == 0) dll_KrpRelease();
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(0, bad.load());
}

INSTANTIATE_TEST_SUITE_P(Modes, ReadTest, testing::Values(Mode::kServer, Mode::kDirect),
                         ModeName);

TEST(ReadNoStore, NoServerNoStoreFile) {
  krptest::TestEnv env;
  char loc[3] = {'x', 'x', 0};
  EXPECT_EQ(0u, dll_KrpGetLocale(loc));
  EXPECT_STREQ("00", loc);
  char buf[8];
  uint32_t size = sizeof buf;
  uint32_t rc = dll_KrpGetString("vendor.x", &size, buf);
  EXPECT_TRUE(rc == 2u || rc == 3u) << rc;  // the missing file, not "not found"
}

// A value that exists but fails its digest is reported as such, never as
// "not found", and stops the walk before the default counterpart.
TEST(ReadFailure, DigestMismatchIsNotAbsence) {
  krptest::TestEnv env;
  std::string value(8192, 'q');
  {
    KRP_HLIBCTX ctx = nullptr;
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
    ASSERT_EQ(0u, KrpWriteStoredValue("vendor.big", KRT_TEXT, value.data(), 8192, 0));
    ASSERT_EQ(0u, KrpWriteStoredValue("default.big", KRT_TEXT, "d", 1, 0));
    ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
  }
  // The store keeps the value scrambled: find its bytes and flip one.
  std::vector<uint8_t> stored(16, 0);
  ASSERT_EQ(0u, KrpTypeName(KRT_TEXT, reinterpret_cast<char *>(stored.data()), 16));
  stored.insert(stored.end(), value.begin(), value.end());
  stored.push_back(0);
  KstScrambleData(KST_SCRAMBLE_KEY, stored.data(), static_cast<uint32_t>(stored.size()));
  std::string path = env.root() + "/resources/store.kts";
  FILE *f = fopen(path.c_str(), "r+b");
  ASSERT_NE(nullptr, f);
  std::string file;
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) file.append(chunk, n);
  size_t at = file.find(std::string(stored.begin() + 100, stored.begin() + 164));
  ASSERT_NE(std::string::npos, at);
  fseek(f, static_cast<long>(at), SEEK_SET);
  fputc(file[at] ^ 0x55, f);
  fclose(f);

  dll_KrpRelease();
  std::vector<char> buf(9000);
  uint32_t size = static_cast<uint32_t>(buf.size());
  EXPECT_EQ(0x37000Eu, dll_KrpGetString("vendor.big", &size, buf.data()));

  // The same through a host (the read-multiple walk over vendor and default).
  KRP_HLIBCTX ctx = nullptr;
  ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
  size = static_cast<uint32_t>(buf.size());
  EXPECT_EQ(0x37000Eu, dll_KrpGetString("vendor.big", &size, buf.data()));
  EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
}

// A host that holds the store file but admits no other process until it is
// told to: a read started meanwhile in direct mode finds the file held and
// continues through the host once it admits everyone.
KRP_CHILD_ROLE_FN(late_host) {
  KRP_HLIBCTX ctx = nullptr;
  if (dll_KrpInitializeKrpLib(&ctx) != 0) return 2;
  FILE *f = fopen(args.at(0).c_str(), "w");
  if (f) fclose(f);
  usleep(1500 * 1000);
  if (dll_KrpFlagMtClientAsAvailable() != 0) return 3;
  struct stat st;
  for (int i = 0; i < 3000 && stat(args.at(1).c_str(), &st) != 0; ++i) usleep(10 * 1000);
  return dll_KrpUninitializeKrpLib(&ctx) == 0 ? 0 : 4;
}

TEST(ReadSwitch, DirectReadContinuesThroughLateHost) {
  krptest::TestEnv env;
  {
    KRP_HLIBCTX ctx = nullptr;
    ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&ctx));
    ASSERT_EQ(0u, KrpWriteStoredValue("vendor.sw", KRT_TEXT, "switched", 8, 0));
    ASSERT_EQ(0u, dll_KrpUninitializeKrpLib(&ctx));
  }
  std::string up = env.dir() + "/host_up", done = env.dir() + "/done";
  pid_t pid = krptest::SpawnRole("late_host", {up, done});
  struct stat st;
  for (int i = 0; i < 1000 && stat(up.c_str(), &st) != 0; ++i) usleep(10 * 1000);
  ASSERT_EQ(0, stat(up.c_str(), &st));
  EXPECT_EQ(0x141001u, dll_KrpIsMtAvailable());  // the host admits only itself
  char buf[16];
  uint32_t size = sizeof buf;
  EXPECT_EQ(0u, dll_KrpGetString("vendor.sw", &size, buf));
  EXPECT_STREQ("switched", buf);
  EXPECT_EQ(0u, dll_KrpIsMtAvailable());
  FILE *f = fopen(done.c_str(), "w");
  if (f) fclose(f);
  EXPECT_EQ(0, krptest::WaitChild(pid));
}

}  // namespace
