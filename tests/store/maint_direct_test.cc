// Direct access: force read, force write and the listing read on a store
// file without an open store.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "store_fixture.h"
#include "store_maint.h"
#include "test_hooks.h"

namespace {

class Direct : public StoreFixture {
 protected:
  struct Got {
    uint32_t rc = 0, size = 0, lw = 0, attr = 0, co = 0;
    std::string data;
    bool has_data = false;
  };
  Got FRead(const std::string &name, const char *path = nullptr) {
    Got g;
    void *data = nullptr;
    g.rc = StoreForceRead(path ? path : path_.c_str(), name.c_str(), &data, &g.size, &g.lw,
                          &g.attr, &g.co);
    if (data) {
      g.has_data = true;
      g.data.assign(static_cast<char *>(data), g.size);
      KstFreeMem(data, 0);
    }
    return g;
  }
  uint32_t FWrite(const std::string &name, const std::string &data, uint32_t attr = 0,
                  uint32_t lw = 0x55, uint32_t co = 9) {
    uint32_t size = uint32_t(data.size());
    return StoreForceWrite(path_.c_str(), name.c_str(), data.data(), &size, &lw, &attr, &co);
  }
  // Writes objects through the engine and closes the store.
  void Seed(const std::vector<std::pair<std::string, std::string>> &objs, uint32_t attr = 0) {
    ASSERT_EQ(Open(), 0u);
    for (auto &o : objs) ASSERT_EQ(Write(o.first, o.second, attr), 0u) << o.first;
    Close();
  }
  std::string Listing(const std::string &name, uint32_t *rc_out) {
    Got g = FRead(name);
    *rc_out = g.rc;
    std::string s = g.data;
    if (!s.empty()) KstUnscrambleData(KST_SCRAMBLE_KEY, &s[0], uint32_t(s.size()));
    return s;
  }
  static std::string Item(const std::string &c) {
    char len[9];
    std::snprintf(len, sizeof len, "%08x", unsigned(c.size()));
    return len + c + "\r\n";
  }
};

TEST_F(Direct, ReadGivesWhatTheEngineReads) {
  std::string big(3000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7);
  ASSERT_EQ(Open(), 0u);
  ASSERT_EQ(Write("v.small", "hello", 0, 0x101, 0x202), 0u);
  ASSERT_EQ(Write("v.big", big, kTsAttrSupersized, 0x303, 0x404), 0u);
  ASSERT_EQ(Write("v.empty", "", 0x12, 1, 2), 0u);
  ASSERT_EQ(Write("v.gone", "old"), 0u);
  ASSERT_EQ(StoreDelete(s_, "v.gone"), 0u);
  std::vector<std::string> names = {"v.small", "v.big", "v.empty"};
  std::vector<std::array<uint32_t, 4>> words;
  for (auto &n : names) {
    uint32_t size = 0, lw, at, co;
    ASSERT_EQ(StoreRead(s_, n.c_str(), nullptr, &size, &lw, &at, &co), 0u);
    words.push_back({size, lw, at, co});
  }
  Close();
  for (size_t i = 0; i < names.size(); ++i) {
    Got g = FRead(names[i]);
    ASSERT_EQ(g.rc, 0u) << names[i];
    EXPECT_EQ(g.size, words[i][0]);
    EXPECT_EQ(g.lw, words[i][1]);
    EXPECT_EQ(g.attr, words[i][2]);
    EXPECT_EQ(g.co, words[i][3]);
  }
  EXPECT_EQ(FRead("v.small").data, "hello");
  EXPECT_EQ(FRead("v.big").data, big);
  EXPECT_TRUE(FRead("v.empty").has_data);  // an empty block is still a block
  // Deleted and unknown names: 0, size 0, no data.
  for (const char *n : {"v.gone", "v.none", "v"}) {
    Got g = FRead(n);
    EXPECT_EQ(g.rc, 0u) << n;
    EXPECT_EQ(g.size, 0u);
    EXPECT_FALSE(g.has_data);
  }
  // Without a data pointer only the size and words come back.
  uint32_t size = 0, lw, at, co;
  EXPECT_EQ(StoreForceRead(path_.c_str(), "v.big", nullptr, &size, &lw, &at, &co), 0u);
  EXPECT_EQ(size, big.size());
}

TEST_F(Direct, WriteInPlaceKeepsTheRecordAndFillsWithF) {
  Seed({{"a.b", std::string(100, 'o')}});
  std::string before = Bytes();
  const uint32_t rec = 1060, hl = 76 + 4;
  ASSERT_EQ(FWrite("a.b", "0123456789", 0x33, 0x44, 0x66), 0u);
  std::string b = Bytes();
  ASSERT_EQ(b.size(), before.size());  // nothing appended
  EXPECT_EQ(U32(b, rec + kTsRecOffDataSize), 10u);
  EXPECT_EQ(U32(b, rec + kTsRecOffAreaSize), 132u);  // the old data area is kept
  EXPECT_EQ(U32(b, rec + kTsRecOffAttr), 0x80000033u);
  EXPECT_EQ(U32(b, rec + kTsRecOffLastWr), 0x44u);
  EXPECT_EQ(b.substr(rec + hl, 10), "0123456789");
  EXPECT_EQ(b.substr(rec + hl + 10), std::string(122, 'f'));
  // The engine reads it; it keeps only the low 24 bits of Attr.
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ReadOk("a.b"), "0123456789");
  uint32_t size = 0, lw, at, co;
  ASSERT_EQ(StoreRead(s_, "a.b", nullptr, &size, &lw, &at, &co), 0u);
  EXPECT_EQ(at, 0x33u);
  EXPECT_EQ(co, 0x66u);
}

TEST_F(Direct, WriteThatMovesAppendsAndMarksTheOldRecord) {
  Seed({{"a.b", "short"}, {"a.c", "other"}});
  std::string before = Bytes();
  uint32_t t0 = uint32_t(std::time(nullptr));
  std::string big(500, 'N');
  ASSERT_EQ(FWrite("a.b", big, kTsAttrSupersized, 0x77), 0u);
  uint32_t t1 = uint32_t(std::time(nullptr));
  std::string b = Bytes();
  const uint32_t old = 1060;
  EXPECT_EQ(U32(b, old + kTsRecOffDeleted), 1u);
  EXPECT_EQ(U32(b, old + kTsRecOffAttr), 0x80000000u);
  EXPECT_GE(U32(b, old + kTsRecOffLastWr), t0);
  EXPECT_LE(U32(b, old + kTsRecOffLastWr), t1);
  // Apart from the marked header fields, the old bytes are unchanged.
  std::string cmp = b.substr(0, before.size());
  for (uint32_t off : {kTsRecOffDeleted, kTsRecOffAttr, kTsRecOffLastWr})
    cmp.replace(old + off, 4, before.substr(old + off, 4));
  EXPECT_TRUE(cmp == before);
  // The new record at the old end: supersized room of "F".
  const uint32_t at = uint32_t(before.size()), hl = 76 + 4;
  ASSERT_EQ(b.size(), at + hl + 500 + 10240);
  EXPECT_EQ(U32(b, at + kTsRecOffAttr), 0x80400000u);
  EXPECT_EQ(U32(b, at + kTsRecOffLastWr), 0x77u);
  EXPECT_EQ(b.substr(at + hl, 500), big);
  EXPECT_TRUE(b.substr(at + hl + 500) == std::string(10240, 'F'));
  EXPECT_EQ(FRead("a.b").data, big);
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ReadOk("a.b"), big);
  EXPECT_EQ(ReadOk("a.c"), "other");
  EXPECT_EQ(s_->deleted, 1u);
}

TEST_F(Direct, WriteOfANewNameAppends) {
  Seed({{"x.y", "1"}});
  ASSERT_EQ(FWrite("x.z", "22"), 0u);
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ReadOk("x.z"), "22");
  EXPECT_EQ(s_->active, 2u);
}

// After a crash between an append and its mark, two live records of one
// name exist; the later is the object, for the rebuild and for direct access.
TEST_F(Direct, TheLastLiveRecordOfANameCounts) {
  std::string f = V4Header() + Record(4, "d.n", "first") + Record(4, "d.q", "q") +
                  Record(4, "d.n", "second");
  SetBytes(f);
  EXPECT_EQ(FRead("d.n").data, "second");
  // In place over the later record; the earlier stays as it was.
  ASSERT_EQ(FWrite("d.n", "third"), 0u);
  std::string b = Bytes();
  ASSERT_EQ(b.size(), f.size());
  EXPECT_EQ(b.substr(0, f.size() - Record(4, "d.n", "second").size()),
            f.substr(0, f.size() - Record(4, "d.n", "second").size()));
  EXPECT_EQ(FRead("d.n").data, "third");
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ReadOk("d.n"), "third");
}

// What a guard saw, and what it answers.
struct GuardSeen {
  uint32_t answer = 0;
  int calls = 0;
  std::vector<TsForceName> names;
};

uint32_t RecordingGuard(const TsForceName *names, uint32_t count, void *ctx) {
  auto *g = static_cast<GuardSeen *>(ctx);
  ++g->calls;
  g->names.assign(names, names + count);
  return g->answer;
}

// The guard sees what a several-names read would see, in the same scan as
// the write; its refusal writes nothing, its consent writes as a plain force
// write (in place over the last live record here).
TEST_F(Direct, GuardedWriteAsksBeforeItWritesAndARefusalWritesNothing) {
  Seed({{"g.a", std::string(40, 'o')}, {"g.a.b.c", "child"}});
  const std::string before = Bytes();
  uint32_t lw = 0x55, attr = 0, co = 9;
  const std::string v = "fresh";
  uint32_t size = uint32_t(v.size());
  struct Case {
    uint32_t answer;
  } cases[] = {{1}, {0x370010}, {0}};
  for (const Case &c : cases) {
    TsForceName asked[] = {{"g.a", false, false, 0, 0, 0, 0},
                           {"g.a.b", false, false, 0, 0, 0, 0},
                           {"g", false, false, 0, 0, 0, 0}};
    GuardSeen seen;
    seen.answer = c.answer;
    EXPECT_EQ(c.answer, StoreForceWriteGuarded(path_.c_str(), "g.a", v.data(), &size, &lw, &attr,
                                               &co, asked, 3, RecordingGuard, &seen));
    ASSERT_EQ(1, seen.calls);
    ASSERT_EQ(3u, seen.names.size());
    EXPECT_TRUE(seen.names[0].found);
    EXPECT_EQ(40u, seen.names[0].size);
    EXPECT_TRUE(seen.names[0].has_children);
    EXPECT_FALSE(seen.names[1].found);
    EXPECT_TRUE(seen.names[1].has_children);
    EXPECT_FALSE(seen.names[2].found);
    if (c.answer != 0) {
      EXPECT_TRUE(Bytes() == before) << c.answer;
    }
  }
  EXPECT_EQ(Bytes().size(), before.size());
  EXPECT_EQ(FRead("g.a").data, v);
  EXPECT_EQ(FRead("g.a.b.c").data, "child");
}

TEST_F(Direct, GuardedWriteIsRefusedBeforeTheGuardForBadArguments) {
  Seed({{"g.a", "x"}});
  const std::string before = Bytes();
  uint32_t lw = 0, attr = 0, co = 0, size = 1;
  TsForceName star[] = {{"g.*", false, false, 0, 0, 0, 0}};
  GuardSeen seen;
  EXPECT_EQ(87u, StoreForceWriteGuarded(path_.c_str(), "g.a", "y", &size, &lw, &attr, &co, star,
                                        1, RecordingGuard, &seen));
  TsForceName ok[] = {{"g.a", false, false, 0, 0, 0, 0}};
  EXPECT_EQ(87u, StoreForceWriteGuarded(path_.c_str(), "g.a", "y", &size, &lw, &attr, &co, ok, 1,
                                        nullptr, &seen));
  EXPECT_EQ(0x370014u, StoreForceWriteGuarded(path_.c_str(), "g.*", "y", &size, &lw, &attr, &co,
                                              ok, 1, RecordingGuard, &seen));
  EXPECT_EQ(0, seen.calls);
  EXPECT_TRUE(Bytes() == before);
}

TEST_F(Direct, ListingOfTheNextComponents) {
  Seed({{"vendor.a.x", "1"},
        {"vendor.b", "2"},
        {"vendor.a.y", "3"},
        {"vendor.ab.z", "4"},
        {"other.c", "5"},
        {"vendorx.d", "6"}});
  uint32_t rc;
  std::string l = Listing("vendor.*", &rc);
  ASSERT_EQ(rc, 0u);
  // One line per component, each once, in file order, then one zero byte.
  EXPECT_EQ(l, Item("a") + Item("b") + Item("ab") + std::string(1, '\0'));
  // 'vendor.a.*' sees neither 'vendor.ab.z' nor 'vendor.b'.
  EXPECT_EQ(Listing("vendor.a.*", &rc), Item("x") + Item("y") + std::string(1, '\0'));
  EXPECT_EQ(Listing("*", &rc), Item("vendor") + Item("other") + Item("vendorx") +
                                   std::string(1, '\0'));
  EXPECT_EQ(Listing("none.*", &rc), "");
  EXPECT_EQ(rc, TS_ERR_NOT_FOUND);
  // The size alone: sum of (length + 10) + 1.
  uint32_t size = 0, lw, at, co;
  EXPECT_EQ(StoreForceRead(path_.c_str(), "vendor.*", nullptr, &size, &lw, &at, &co), 0u);
  EXPECT_EQ(size, 11u + 11u + 12u + 1u);
}

TEST_F(Direct, RefusalsLeaveTheFileUnchanged) {
  Seed({{"a.b", "1"}});
  std::string before = Bytes();
  EXPECT_EQ(FWrite("a.*", "x"), TS_ERR_ATTR_CHANGE);
  EXPECT_EQ(FWrite(std::string(260, 'n'), "x"), TS_ERR_NAME_TOO_LONG);
  EXPECT_EQ(FRead(std::string(260, 'n')).rc, TS_ERR_NAME_TOO_LONG);
  EXPECT_EQ(FRead(std::string(259, 'n')).rc, 0u);
  std::string long_path = "/" + std::string(300, 'p');
  EXPECT_EQ(FRead("a.b", long_path.c_str()).rc, TS_ERR_NAME_TOO_LONG);
  EXPECT_TRUE(Bytes() == before);
  EXPECT_EQ(_StoreKtsForceIO(0x40, path_.c_str(), "a.b", nullptr, nullptr, nullptr, nullptr,
                             nullptr),
            KST_ERR_INVALID_PARAMETER);
}

TEST_F(Direct, BadFiles) {
  struct Case {
    const char *what;
    std::string bytes;
    uint32_t rc;
  };
  std::string good = V4Header() + Record(4, "a.b", std::string(400, 'd'));
  std::string flipped = good;
  flipped[1060 + 80 + 10] ^= 1;  // a data byte
  std::string bad_magic = good;
  bad_magic[5] = 'x';
  std::string v5 = good;
  PutU32(&v5, 24, 5);
  std::string bad_header = good;
  PutU32(&bad_header, 1060 + kTsRecOffHdrLen, 99);
  std::vector<Case> cases = {
      {"flipped data byte", flipped, TS_ERR_DIGEST},
      {"magic", bad_magic, KST_ERR_FILE_NOT_FOUND},
      {"version 5", v5, TS_ERR_UNKNOWN_VERSION},
      {"invalid record header", bad_header, TS_ERR_CORRUPT},
      {"header cut short", good.substr(0, 500), TS_ERR_CORRUPT},
  };
  for (const Case &c : cases) {
    SetBytes(c.bytes);
    ClearLog();
    EXPECT_EQ(FRead("a.b").rc, c.rc) << c.what;
    EXPECT_EQ(FWrite("a.b", "new"), c.rc == TS_ERR_DIGEST ? 0u : c.rc) << c.what;
    if (c.rc != TS_ERR_DIGEST) {
      EXPECT_TRUE(Bytes() == c.bytes) << c.what;
    }
  }
  SetBytes(bad_header);
  ClearLog();
  EXPECT_EQ(FWrite("a.b", "x"), TS_ERR_CORRUPT);
  std::string log = Log();
  EXPECT_NE(log.find("_StoreKtsForceIO: F:1060 B:0  Invalid object header for v4"),
            std::string::npos);
  EXPECT_NE(log.find("<<<<         Ops: Force write of a.b"), std::string::npos);
  EXPECT_NE(log.find("F A T A L   E R R O R"), std::string::npos);
  unlink(path_.c_str());
  EXPECT_EQ(FRead("a.b").rc, KST_ERR_FILE_NOT_FOUND);
}

TEST_F(Direct, Version3File) {
  std::string f = V3Header() + Record(3, "o.p", std::string(50, 'a'));
  SetBytes(f);
  EXPECT_EQ(FRead("o.p").data, std::string(50, 'a'));
  ASSERT_EQ(FWrite("o.p", "small"), 0u);  // in place
  EXPECT_EQ(Bytes().size(), f.size());
  ASSERT_EQ(FWrite("o.p", std::string(200, 'b')), 0u);  // moved
  std::string b = Bytes();
  EXPECT_EQ(U32(b, 28 + kTsRec3OffDeleted), 1u);
  EXPECT_EQ(U32(b, 28 + kTsRec3OffAttr) & 0x80000000u, 0x80000000u);
  EXPECT_EQ(FRead("o.p").data, std::string(200, 'b'));
  EXPECT_EQ(FWrite(std::string(258, 'n'), "x"), TS_ERR_NAME_TOO_LONG);
  EXPECT_EQ(FWrite(std::string(257, 'n'), "x"), 0u);
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ReadOk("o.p"), std::string(200, 'b'));
  EXPECT_EQ(ReadOk(std::string(257, 'n')), "x");
}

TEST_F(Direct, DefaultStorePath) {
  TsStore *s = nullptr;
  ASSERT_EQ(StoreInit(&s, nullptr, nullptr, nullptr, nullptr, 0), 0u);
  ASSERT_EQ(StoreWrite(s, "d.e", "val", 3, 1, 2, 3), 0u);
  ASSERT_EQ(StoreExit(s), 0u);
  Got g = FRead("d.e", "");
  EXPECT_EQ(g.rc, 0u);
  EXPECT_EQ(g.data, "val");
}

// A file that ends inside its last record (a writer killed in the middle of
// an append): a reader serves every whole record before it and changes
// nothing; a writer salvages the tail as the open does, then writes.
TEST_F(Direct, TornLastRecordIsTheEndForAReaderAndIsSalvagedByAWriter) {
  std::string whole = V4Header() + Record(4, "t.a", "alpha") + Record(4, "t.b", "beta");
  std::string torn_rec = Record(4, "t.c", std::string(3000, 'c'));
  std::string f = whole + torn_rec.substr(0, 1200);
  SetBytes(f);
  EXPECT_EQ(FRead("t.a").data, "alpha");
  EXPECT_EQ(FRead("t.b").data, "beta");
  Got c = FRead("t.c");
  EXPECT_EQ(c.rc, 0u);
  EXPECT_EQ(c.size, 0u);
  uint32_t rc;
  EXPECT_EQ(Listing("t.*", &rc), Item("a") + Item("b") + std::string(1, '\0'));
  EXPECT_TRUE(Bytes() == f);
  EXPECT_EQ(krptest::ReadFile(folder_ + "t.torn"), "");

  ClearLog();
  ASSERT_EQ(FWrite("t.d", "delta"), 0u);
  EXPECT_TRUE(krptest::ReadFile(folder_ + "t.torn") == torn_rec.substr(0, 1200));
  char want[128];
  std::snprintf(want, sizeof want,
                "_StoreKtsForceIO: Warning: torn last record at %xh, 1200 bytes cut off",
                unsigned(whole.size()));
  EXPECT_NE(Log().find(want), std::string::npos) << Log();
  std::string b = Bytes();
  EXPECT_TRUE(b.substr(0, whole.size()) == whole);
  EXPECT_EQ(U32(b, uint32_t(whole.size()) + kTsRecOffDataSize), 5u);  // the new record follows
  EXPECT_EQ(FRead("t.d").data, "delta");
  // The engine opens the result without salvaging anything.
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ReadOk("t.a"), "alpha");
  EXPECT_EQ(ReadOk("t.b"), "beta");
  EXPECT_EQ(ReadOk("t.d"), "delta");
  EXPECT_EQ(s_->active, 3u);
}

// A record whose header claims more than the file holds, with further
// records behind it, is damage, not a torn append: refused, nothing cut.
TEST_F(Direct, DamagedHeaderWithRecordsBehindItIsNeverTakenForATornTail) {
  std::string f = V4Header() + Record(4, "a", "one") + Record(4, "b", "two");
  PutU32(&f, 1060 + kTsRecOffAreaSize, 0x7FFFFFFF);
  SetBytes(f);
  ClearLog();
  EXPECT_EQ(FRead("b").rc, TS_ERR_CORRUPT);
  EXPECT_EQ(FWrite("b", "x"), TS_ERR_CORRUPT);
  EXPECT_TRUE(Bytes() == f);
  EXPECT_EQ(krptest::ReadFile(folder_ + "t.torn"), "");
  EXPECT_NE(Log().find("_StoreKtsForceIO: Database integrety error at 1060, file is broken."),
            std::string::npos);
  EXPECT_NE(Log().find("<<<<         Ops: Force write of b"), std::string::npos);
}

// A crash right after the file was created leaves zero bytes: nothing to
// lose. Reads find nothing and change nothing; a write makes it a store.
TEST_F(Direct, ZeroByteFileIsAnEmptyStore) {
  SetBytes("");
  Got g = FRead("a.b");
  EXPECT_EQ(g.rc, 0u);
  EXPECT_EQ(g.size, 0u);
  EXPECT_FALSE(g.has_data);
  uint32_t rc;
  EXPECT_EQ(Listing("a.*", &rc), "");
  EXPECT_EQ(rc, TS_ERR_NOT_FOUND);
  EXPECT_EQ(FWrite("a.*", "x"), TS_ERR_ATTR_CHANGE);
  EXPECT_EQ(Bytes(), "");
  ASSERT_EQ(FWrite("a.b", "value"), 0u);
  std::string b = Bytes();
  ASSERT_EQ(b.size(), 1060u + 80 + 5 + 32);
  EXPECT_EQ(U32(b, kTsHdrOffVersion), 4u);
  EXPECT_EQ(b.substr(kTsHdrOffMagic, kTsMagicLen), std::string(kTsMagic, kTsMagicLen));
  EXPECT_EQ(FRead("a.b").data, "value");
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ReadOk("a.b"), "value");
}

// Where the cut bytes of a torn tail go is never followed through a link
// and never replaces anything but a regular file: the write is refused and
// both files stay as they were.
TEST_F(Direct, TornTailIsNeverSavedThroughALinkOrOverAFifoOrFolder) {
  std::string f = V4Header() + Record(4, "t.a", "alpha") + Record(4, "t.b", "beta").substr(0, 90);
  const std::string torn = folder_ + "t.torn", target = env_.dir() + "/victim";
  for (const char *kind : kPlantKinds) {
    SCOPED_TRACE(kind);
    SetBytes(f);
    krptest::WriteFile(target, "precious");
    const Planted planted{kind, torn};
    ASSERT_TRUE(planted.Plant(target));
    EXPECT_NE(FWrite("t.c", "x"), 0u);
    EXPECT_TRUE(Bytes() == f);
    EXPECT_EQ(krptest::ReadFile(target), "precious");
    EXPECT_TRUE(planted.StillPlanted());
    // The reader is not affected.
    EXPECT_EQ(FRead("t.a").data, "alpha");
    planted.Unplant();
  }
}

// A host killed during a pack leaves the marker, a whole backup and a store
// file that may be half rewritten. A reader reads what the restore will
// bring back and changes nothing; a writer restores first, as the open does,
// so the open that follows has nothing to undo.
TEST_F(Direct, InterruptedPackIsReadFromTheBackupAndRestoredByAWriter) {
  Seed({{"p.a", "one"}, {"p.b", std::string(400, 'b')}, {"p.c", "three"}});
  const std::string orig = Bytes();
  const std::string backup = folder_ + "store.old", marker = folder_ + "t.packing";
  krptest::WriteFile(backup, orig);
  krptest::WriteFile(marker, PackMarker(backup, orig));
  std::string half = orig;
  half.replace(1060 + 20, 40, std::string(40, 'p'));  // the rewrite stopped in a record
  SetBytes(half);

  EXPECT_EQ(FRead("p.b").data, std::string(400, 'b'));
  EXPECT_EQ(FRead("p.c").data, "three");
  uint32_t rc;
  EXPECT_EQ(Listing("p.*", &rc), Item("a") + Item("b") + Item("c") + std::string(1, '\0'));
  EXPECT_TRUE(Bytes() == half);
  EXPECT_NE(krptest::ReadFile(marker), "");

  ClearLog();
  ASSERT_EQ(FWrite("p.a", "uno"), 0u);
  EXPECT_NE(Log().find("_StoreKtsForceIO: Warning: a pack was interrupted; the store was "
                       "restored from " + backup),
            std::string::npos)
      << Log();
  struct stat st;
  EXPECT_NE(stat(marker.c_str(), &st), 0) << "the marker is gone";
  EXPECT_EQ(FRead("p.a").data, "uno");
  ClearLog();
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(Log().find("was interrupted"), std::string::npos);
  EXPECT_EQ(ReadOk("p.a"), "uno");
  EXPECT_EQ(ReadOk("p.b"), std::string(400, 'b'));
  EXPECT_EQ(ReadOk("p.c"), "three");
}

// A marker whose backup is not the one it names: neither file is trusted,
// both are left for inspection, and neither a read nor a write goes ahead.
TEST_F(Direct, InterruptedPackWithoutItsBackupIsRefused) {
  Seed({{"p.a", "one"}});
  const std::string orig = Bytes();
  const std::string backup = folder_ + "store.old", marker = folder_ + "t.packing";
  krptest::WriteFile(backup, orig + "x");
  krptest::WriteFile(marker, PackMarker(backup, orig));
  ClearLog();
  EXPECT_EQ(FRead("p.a").rc, TS_ERR_CORRUPT);
  EXPECT_NE(Log().find("_StoreKtsForceIO: a pack of " + path_ + " was interrupted and its "
                       "backup " + backup + " does not match the marker"),
            std::string::npos)
      << Log();
  EXPECT_EQ(Log().find("F A T A L"), std::string::npos);  // the store file was not read
  EXPECT_EQ(FWrite("p.a", "uno"), TS_ERR_CORRUPT);
  EXPECT_TRUE(Bytes() == orig);
  EXPECT_EQ(krptest::ReadFile(backup), orig + "x");
  EXPECT_EQ(krptest::ReadFile(marker), PackMarker(backup, orig));
  // A marker cut short was written before the store was touched.
  krptest::WriteFile(marker, PackMarker(backup, orig).substr(0, 20));
  EXPECT_EQ(FRead("p.a").data, "one");
  ASSERT_EQ(FWrite("p.a", "uno"), 0u);
  EXPECT_EQ(FRead("p.a").data, "uno");
}

// One builder and one limit for the default store's path: up to 259
// characters it is formed, beyond that every user of it gives 0x37000F.
TEST_F(Direct, DefaultStorePathHasOneLimit) {
  const std::string base = env_.dir() + "/";
  for (size_t path_len : {size_t(259), size_t(260)}) {
    SCOPED_TRACE(path_len);
    // <root>/resources/store.kts: the root and 20 characters.
    std::string root = base + std::string(path_len - 20 - base.size(), 'r');
    env_.SetRegistryValue("Kestarcorp", "RootPath", root);
    KstTestResetRootCache();
    char folder[KST_MAX_PATH], path[KST_MAX_PATH];
    uint32_t rc = TsDefaultStorePath(folder, sizeof folder, path, sizeof path);
    TsStore *s = nullptr;
    uint32_t init = StoreInit(&s, nullptr, nullptr, nullptr, nullptr, 0);
    if (s) StoreExit(s);
    Got g = FRead("a.b", "");
    if (path_len == 259) {
      ASSERT_EQ(rc, 0u);
      EXPECT_EQ(std::string(folder), root + "/resources/");
      EXPECT_EQ(std::string(path), root + "/resources/store.kts");
      EXPECT_EQ(init, 0u);
      EXPECT_EQ(g.rc, 0u);
    } else {
      EXPECT_EQ(rc, TS_ERR_NAME_TOO_LONG);
      EXPECT_EQ(init, TS_ERR_NAME_TOO_LONG);
      EXPECT_EQ(g.rc, TS_ERR_NAME_TOO_LONG);
    }
  }
}

KRP_CHILD_ROLE_FN(hold_store) {
  KST_HFILE h;
  if (KstOpenRWFile(args.at(0).c_str(), &h)) return 3;
  krptest::WriteFile(args.at(1), "held");
  for (;;) pause();
}

// While another process holds the file, both attempts fail, about a
// second apart each.
TEST_F(Direct, FileHeldByAnotherProcess) {
  Seed({{"a.b", "1"}});
  std::string ready = env_.dir() + "/ready";
  pid_t pid = krptest::SpawnRole("hold_store", {path_, ready});
  for (int i = 0; i < 500 && krptest::ReadFile(ready).empty(); ++i) usleep(10000);
  ASSERT_EQ(krptest::ReadFile(ready), "held");
  auto t0 = std::chrono::steady_clock::now();
  Got g = FRead("a.b");
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(g.rc, KST_ERR_SHARING_VIOLATION);
  EXPECT_GE(secs, 1.9);
  EXPECT_EQ(FWrite("a.b", "2"), KST_ERR_SHARING_VIOLATION);
  kill(pid, SIGKILL);
  krptest::WaitChild(pid);
  EXPECT_EQ(FRead("a.b").data, "1");
}

}  // namespace
