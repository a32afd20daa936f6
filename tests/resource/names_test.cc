// Lookup names, default counterparts and type names of resource names.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "names.h"
#include "platform.h"

namespace {

// A name of exactly `len` characters: head, then 'x' filler, then tail.
std::string NameOfLength(const std::string &head, size_t len, const std::string &tail) {
  EXPECT_GE(len, head.size() + tail.size());
  return head + std::string(len - head.size() - tail.size(), 'x') + tail;
}

struct SetResult {
  uint32_t rc;
  std::array<std::string, KRP_SLOT_COUNT> slots;
  std::string pattern;
};

SetResult BuildSet(const char *name, uint32_t type, const char *locale,
                   const char *current = "00") {
  KrpLookupNames names;
  std::memset(&names, 0x5A, sizeof names);  // garbage that must not survive
  SetResult r;
  r.rc = KrpBuildLookupSet(name, type, locale, current, &names);
  for (uint32_t i = 0; i < KRP_SLOT_COUNT; ++i) {
    EXPECT_LE(strnlen(names.slots[i], KRP_NAME_BUF), KRP_NAME_MAX) << "slot " << i;
    r.slots[i] = names.slots[i];
  }
  EXPECT_LE(strnlen(names.pattern, KRP_NAME_BUF), KRP_NAME_MAX);
  r.pattern = names.pattern;
  return r;
}

// Non-empty slots in lookup order.
std::vector<std::string> LookupOrder(const SetResult &r) {
  std::vector<std::string> out;
  for (const std::string &s : r.slots) {
    if (!s.empty()) out.push_back(s);
  }
  return out;
}

struct SetCase {
  const char *what;
  const char *name;
  uint32_t type;
  const char *locale;
  const char *current;
  std::array<const char *, KRP_SLOT_COUNT> slots;
  const char *pattern;
};

TEST(LookupNames, SlotsOfTypicalNames) {
  const SetCase cases[] = {
      {"vendor value read with any type falls back to its default", "vendor.a.b", KRP_TYPE_ANY,
       "de", "00", {"", "", "vendor.a.b", "default.a.b"}, "vendor.a.b.*"},
      {"vendor string in German: four names", "vendor.app.strings.title", KRT_TEXT, "de", "00",
       {"default.app.strings.de.title", "default.app.strings.00.title",
        "vendor.app.strings.title", "default.app.strings.title"}, ""},
      {"default string for the current locale 00", "default.app.strings.title", KRT_TEXT, "zz",
       "00", {"default.app.strings.00.title", "", "default.app.strings.title", ""}, ""},
      {"zz stands for the current locale", "default.app.strings.title", KRT_TEXT, "zz", "fr",
       {"default.app.strings.fr.title", "", "default.app.strings.title", ""}, ""},
      {"vendor string in locale 00: the default localized name is a duplicate",
       "vendor.app.strings.title", KRT_TEXT, "00", "de",
       {"default.app.strings.00.title", "", "vendor.app.strings.title",
        "default.app.strings.title"}, ""},
      {"other first component is replaced by default", "other.app.strings.t", KRT_ANY, "de",
       "00", {"default.app.strings.de.t", "", "other.app.strings.t", ""}, "other.app.strings.t.*"},
      {"the first .strings. of the default-rooted form is the one replaced",
       "a.strings.strings.x", KRT_TEXT, "de", "00",
       {"default.strings.de.strings.x", "", "a.strings.strings.x", ""}, ""},
      {"world root is never localized", "world.strings.x", KRT_TEXT, "de", "00",
       {"", "", "world.strings.x", ""}, ""},
      {"any name beginning with w is never localized", "wanted.strings.x", KRT_TEXT, "de", "00",
       {"", "", "wanted.strings.x", ""}, ""},
      {"only TEXT and any are localized", "vendor.app.strings.icon", KRT_IMAGE, "de", "00",
       {"", "", "vendor.app.strings.icon", "default.app.strings.icon"}, ""},
      {".strings without a following dot is no string", "vendor.app.strings", KRT_TEXT, "de",
       "00", {"", "", "vendor.app.strings", "default.app.strings"}, ""},
      {"an access value has no default counterpart", "vendor.a.access", KRT_TEXT, "de", "00",
       {"", "", "vendor.a.access", ""}, ""},
      {"a component that only starts with access is no access value", "vendor.a.accessory",
       KRT_TEXT, "de", "00", {"", "", "vendor.a.accessory", "default.a.accessory"}, ""},
      {"access in the middle is an ordinary component", "vendor.access.b", KRT_TEXT, "de", "00",
       {"", "", "vendor.access.b", "default.access.b"}, ""},
      {"the root vendor.access itself", "vendor.access", KRT_TEXT, "de", "00",
       {"", "", "vendor.access", ""}, ""},
      {"the store prefix is removed", "kts:vendor.a", KRT_INTEGER, "de", "00",
       {"", "", "vendor.a", "default.a"}, ""},
      {"the bare store prefix is the root", "kts:", KRP_TYPE_ANY, "de", "00",
       {"", "", "", ""}, "*"},
      {"the empty name lists the root", "", KRP_TYPE_CONTAINER, "de", "00", {"", "", "", ""},
       "*"},
      {"a container request has no default name", "vendor.a", KRP_TYPE_CONTAINER, "de", "00",
       {"", "", "vendor.a", ""}, "vendor.a.*"},
      {"no dot after vendor: no default", "vendor", KRP_TYPE_ANY, "de", "00",
       {"", "", "vendor", ""}, "vendor.*"},
      {"vendor. alone has the default root as counterpart", "vendor.", KRT_TEXT, "de", "00",
       {"", "", "vendor.", "default."}, ""},
      {"a vendor root only counts at the start", "my.vendor.a", KRT_TEXT, "de", "00",
       {"", "", "my.vendor.a", ""}, ""},
      {"the locale is not checked for types that are never localized", "vendor.a", KRT_LIST,
       "bad", "00", {"", "", "vendor.a", "default.a"}, ""},
  };
  for (const SetCase &c : cases) {
    SCOPED_TRACE(c.what);
    SetResult r = BuildSet(c.name, c.type, c.locale, c.current);
    ASSERT_EQ(r.rc, 0u);
    for (uint32_t i = 0; i < KRP_SLOT_COUNT; ++i) EXPECT_EQ(r.slots[i], c.slots[i]) << "slot " << i;
    EXPECT_EQ(r.pattern, c.pattern);
  }
}

TEST(LookupNames, LookupOrdersOfTheExamples) {
  EXPECT_EQ(LookupOrder(BuildSet("vendor.a.b", KRP_TYPE_ANY, "de")),
            (std::vector<std::string>{"vendor.a.b", "default.a.b"}));
  EXPECT_EQ(LookupOrder(BuildSet("vendor.app.strings.title", KRT_TEXT, "de")),
            (std::vector<std::string>{"default.app.strings.de.title",
                                      "default.app.strings.00.title", "vendor.app.strings.title",
                                      "default.app.strings.title"}));
  EXPECT_EQ(LookupOrder(BuildSet("kts:vendor.a", KRT_TEXT, "de")),
            LookupOrder(BuildSet("vendor.a", KRT_TEXT, "de")));
}

struct FailCase {
  const char *what;
  const char *name;
  uint32_t type;
  const char *locale;
  const char *current;
  uint32_t rc;
};

TEST(LookupNames, RefusedNamesAndLocalesLeaveEverySlotEmpty) {
  const std::string len260 = NameOfLength("vendor.", 260, "");
  const std::string prefixed260 = "kts:" + len260;
  const FailCase cases[] = {
      {"null name", nullptr, KRT_TEXT, "de", "00", KST_ERR_INVALID_PARAMETER},
      {"leading dot", ".a", KRT_TEXT, "de", "00", KST_ERR_INVALID_PARAMETER},
      {"leading dot after the prefix", "kts:.a", KRT_TEXT, "de", "00",
       KST_ERR_INVALID_PARAMETER},
      {"k without the prefix", "knot.a", KRT_TEXT, "de", "00", KST_ERR_INVALID_NAME},
      {"prefix without its colon", "kts", KRP_TYPE_ANY, "de", "00", KST_ERR_INVALID_NAME},
      {"a lone k", "k", KRP_TYPE_ANY, "de", "00", KST_ERR_INVALID_NAME},
      {"260 characters", len260.c_str(), KRT_TEXT, "de", "00", KRP_ERR_NAME_TOO_LONG},
      {"260 characters after the prefix", prefixed260.c_str(), KRT_TEXT, "de", "00",
       KRP_ERR_NAME_TOO_LONG},
      {"one-character locale", "vendor.a", KRT_TEXT, "x", "00", KRP_ERR_MALFORMED_VALUE},
      {"locale with a dash", "vendor.a", KRT_TEXT, "d-", "00", KRP_ERR_MALFORMED_VALUE},
      {"three-character locale", "vendor.a", KRT_TEXT, "deu", "00", KRP_ERR_MALFORMED_VALUE},
      {"empty locale", "vendor.a", KRP_TYPE_ANY, "", "00", KRP_ERR_MALFORMED_VALUE},
      {"no locale", "vendor.a", KRT_TEXT, nullptr, "00", KRP_ERR_MALFORMED_VALUE},
      {"zz without a current locale", "vendor.a", KRT_TEXT, "zz", nullptr,
       KRP_ERR_MALFORMED_VALUE},
      {"zz with a broken current locale", "vendor.a", KRT_TEXT, "zz", "d", KRP_ERR_MALFORMED_VALUE},
  };
  for (const FailCase &c : cases) {
    SCOPED_TRACE(c.what);
    SetResult r = BuildSet(c.name, c.type, c.locale, c.current);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(LookupOrder(r), std::vector<std::string>{});
    EXPECT_EQ(r.pattern, "");
  }
}

TEST(LookupNames, NameLengthLimits) {
  // 259 characters is the longest name: it reads, but its default name would
  // have 260 characters, so it has no default slot.
  const std::string v259 = NameOfLength("vendor.", 259, "");
  SetResult r = BuildSet(v259.c_str(), KRT_TEXT, "de");
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(LookupOrder(r), std::vector<std::string>{v259});

  const std::string v258 = NameOfLength("vendor.", 258, "");
  r = BuildSet(v258.c_str(), KRT_TEXT, "de");
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(r.slots[KRP_SLOT_DEFAULT], "default." + v258.substr(7));
  EXPECT_EQ(r.slots[KRP_SLOT_DEFAULT].size(), 259u);

  // With the prefix the limit counts after it.
  r = BuildSet(("kts:" + v259).c_str(), KRT_TEXT, "de");
  ASSERT_EQ(r.rc, 0u);
  EXPECT_EQ(r.slots[KRP_SLOT_PLAIN], v259);

  // Listing patterns for names below 257 characters only; the longest
  // pattern has 258 characters.
  const std::string n256 = NameOfLength("a.", 256, "");
  r = BuildSet(n256.c_str(), KRP_TYPE_CONTAINER, "de");
  EXPECT_EQ(r.pattern, n256 + ".*");
  const std::string n257 = NameOfLength("a.", 257, "");
  r = BuildSet(n257.c_str(), KRP_TYPE_CONTAINER, "de");
  EXPECT_EQ(r.rc, 0u);
  EXPECT_EQ(r.pattern, "");
  EXPECT_EQ(r.slots[KRP_SLOT_PLAIN], n257);
}

TEST(LookupNames, LocalizedNameLimits) {
  struct Case {
    const char *what;
    std::string name;
    std::string slot0;  // expected
  };
  // "vendor." names grow by 4 ("default" plus "de."); a one-character first
  // component by 9.
  const std::string v255 = NameOfLength("vendor.strings.", 255, "");
  const std::string a255 = NameOfLength("a.strings.", 255, "");
  const std::string a250 = NameOfLength("a.strings.", 250, "");
  const std::string a251 = NameOfLength("a.strings.", 251, "");
  const std::string d256 = NameOfLength("default.strings.", 256, "");
  const Case cases[] = {
      {"a 255-character vendor string localizes to 259 characters", v255,
       "default.strings.de." + v255.substr(15)},
      {"a localized name of 260 characters is not built", a251, ""},
      {"a localized name of 264 characters is not built", a255, ""},
      {"259 characters from a one-character root", a250, "default.strings.de." + a250.substr(10)},
      {"names of 256 characters are not localized", d256, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetResult r = BuildSet(c.name.c_str(), KRT_TEXT, "de");
    ASSERT_EQ(r.rc, 0u);
    EXPECT_EQ(r.slots[KRP_SLOT_LOCALIZED], c.slot0);
    EXPECT_EQ(r.slots[KRP_SLOT_PLAIN], c.name);
  }
}

TEST(LookupNames, EachOutputIsOptional) {
  char plain[KRP_NAME_BUF];
  ASSERT_EQ(KrpBuildLookupNames("vendor.app.strings.t", KRT_TEXT, "de", "00", nullptr, plain,
                                nullptr),
            0u);
  EXPECT_STREQ(plain, "vendor.app.strings.t");

  char localized[KRP_NAME_BUF];
  ASSERT_EQ(KrpBuildLookupNames("vendor.app.strings.t", KRT_TEXT, "de", "00", localized, nullptr,
                                nullptr),
            0u);
  EXPECT_STREQ(localized, "default.app.strings.de.t");

  // Without a localized output the locale is irrelevant.
  EXPECT_EQ(KrpBuildLookupNames("vendor.a", KRT_TEXT, nullptr, nullptr, nullptr, plain, nullptr),
            0u);
  EXPECT_EQ(KrpBuildLookupSet("vendor.a", KRT_TEXT, "de", "00", nullptr),
            KST_ERR_INVALID_PARAMETER);
}

TEST(DefaultName, Forms) {
  struct Case {
    std::string name;
    std::string out;
  };
  const std::string v259 = NameOfLength("vendor.", 259, "");
  const std::string v258 = NameOfLength("vendor.", 258, "");
  const std::string acc259 = NameOfLength("vendor.", 259, ".access");
  const Case cases[] = {
      {"vendor.a.b", "default.a.b"},
      {"x.y", "default.y"},
      {"nodot", ""},
      {"vendor.a.access", "vendor.a.access"},
      {"vendor.access", "vendor.access"},
      {"vendor.a.xaccess", "default.a.xaccess"},
      {"vendor.", "default."},
      {v258, "default." + v258.substr(7)},
      {v259, ""},
      {acc259, acc259},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    char out[KRP_NAME_BUF];
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(KrpMakeDefaultName(c.name.c_str(), out), 0u);
    EXPECT_EQ(std::string(out), c.out);
  }
  char out[KRP_NAME_BUF];
  EXPECT_EQ(KrpMakeDefaultName(nullptr, out), KST_ERR_INVALID_PARAMETER);
  EXPECT_EQ(KrpMakeDefaultName("a.b", nullptr), KST_ERR_INVALID_PARAMETER);
}

TEST(DropDuplicateName, EmptiesOnlyAnEqualNonEmptySecond) {
  struct Case {
    const char *first;
    const char *second;
    const char *after;
  };
  const Case cases[] = {
      {"a.b", "a.b", ""},
      {"a.b", "a.c", "a.c"},
      {"a.b", "a.bc", "a.bc"},
      {"", "a.b", "a.b"},
      {"a.b", "", ""},
  };
  for (const Case &c : cases) {
    char second[KRP_NAME_BUF];
    std::strcpy(second, c.second);
    EXPECT_EQ(KrpDropDuplicateName(c.first, second), 0u);
    EXPECT_STREQ(second, c.after) << c.first << " / " << c.second;
  }
  EXPECT_EQ(KrpDropDuplicateName(nullptr, nullptr), 0u);
}

TEST(TypeName, NamesOfValueTypesOnly) {
  struct Case {
    uint32_t type;
    const char *name;  // null: no name
  };
  const Case cases[] = {
      {KRT_TEXT, "KRT_TEXT"},       {KRT_IMAGE, "KRT_IMAGE"},     {KRT_INTEGER, "KRT_INTEGER"},
      {KRT_BOOLEAN, "KRT_BOOLEAN"}, {KRT_LIST, "KRT_LIST"},       {KRT_BYTEARRAY, "KRT_BYTEARRAY"},
      {KRT_TRIGGER, "KRT_TRIGGER"}, {KRT_UTC, "KRT_UTC"},         {0, nullptr},
      {3, nullptr},                 {5, nullptr},                 {KRT_ANY, nullptr},
      {KRT_CONTAINER, nullptr},     {13, nullptr},                {0xFFFFFFFFu, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.type);
    char out[KRP_TYPE_NAME_MIN];
    std::memset(out, '#', sizeof out);
    uint32_t rc = KrpTypeName(c.type, out, sizeof out);
    if (c.name) {
      EXPECT_EQ(rc, 0u);
      EXPECT_STREQ(out, c.name);
    } else {
      EXPECT_EQ(rc, 1u);
      EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));
    }
  }
}

TEST(TypeName, ShortBufferIsRefusedUntouched) {
  char out[16];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(KrpTypeName(KRT_BYTEARRAY, out, 13), KST_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));
  EXPECT_EQ(KrpTypeName(KRT_UTC, out, 8), 0u);
  EXPECT_STREQ(out, "KRT_UTC");
  EXPECT_EQ(KrpTypeName(KRT_UTC, nullptr, 16), 1u);
}

TEST(NamePredicates, HttpNamesAndLocales) {
  EXPECT_TRUE(KrpIsHttpName("http://host/x"));
  EXPECT_FALSE(KrpIsHttpName("http:/host"));
  EXPECT_FALSE(KrpIsHttpName("https://host"));
  EXPECT_FALSE(KrpIsHttpName(nullptr));
  EXPECT_EQ(KrpHttpNameHandler("http://host/x", KRT_TEXT, nullptr), KST_ERR_NOT_SUPPORTED);
  EXPECT_EQ(KrpHttpNameHandler(nullptr, 0, nullptr), KST_ERR_NOT_SUPPORTED);

  for (const char *ok : {"00", "de", "Zz", "9a"}) EXPECT_TRUE(KrpIsValidLocale(ok)) << ok;
  for (const char *bad : {"", "d", "d-", "deu", " d", "\xe4\xe4"})
    EXPECT_FALSE(KrpIsValidLocale(bad)) << bad;
  EXPECT_FALSE(KrpIsValidLocale(nullptr));
}

}  // namespace
