#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "store_fixture.h"

namespace {

bool Has(const std::string &log, const std::string &line) {
  return log.find(line + "\n") != std::string::npos;
}

using StoreOpen = StoreFixture;

TEST_F(StoreOpen, MissingDefaultStoreIsCreatedWithAFreshHeader) {
  TsStore *s = nullptr;
  ASSERT_EQ(StoreInit(&s, nullptr, nullptr, nullptr, nullptr, 0), 0u);
  std::string path = env_.root() + "/resources/store.kts";
  std::string b = krptest::ReadFile(path);
  ASSERT_EQ(b.size(), 1060u);
  EXPECT_EQ(U32(b, 0), 1060u);
  EXPECT_EQ(b.substr(4, 16), "Kestar KTS=oOo+ ");
  EXPECT_EQ(U32(b, 24), 4u);
  EXPECT_EQ(U32(b, 28), 0u);
  EXPECT_EQ(b.compare(32, 11, "7.4.4.1003 "), 0);
  EXPECT_NEAR(double(U32(b, 80)), double(time(nullptr)), 5.0);
  EXPECT_EQ(b.substr(1056, 4), "o00o");
  for (size_t i = 84; i < 1056; ++i) ASSERT_EQ(b[i], 0) << i;
  std::string log = Log();
  EXPECT_TRUE(Has(log, "Resource database init completed")) << log;
  EXPECT_TRUE(Has(log, "TS DB version...: 4"));
  EXPECT_TRUE(Has(log, "Database size...: 1060 bytes"));
  EXPECT_TRUE(Has(log, "Active objects..: 0"));
  EXPECT_TRUE(Has(log, "Deleted objects.: 0"));
  EXPECT_EQ(StoreExit(s), 0u);
  EXPECT_EQ(StoreExit(nullptr), 6u);
}

TEST_F(StoreOpen, OrderlyCloseWritesTheTagAndTheCounts) {
  ASSERT_EQ(Open(), 0u);
  ASSERT_EQ(Write("a.b", "12345"), 0u);
  ASSERT_EQ(Write("a.b", std::string(40, 'x')), 0u);  // moves: one deleted record
  ASSERT_EQ(Write("s", "1", kTsAttrSupersized), 0u);
  Close();
  std::string b = Bytes();
  EXPECT_EQ(b.substr(28, 4), "OkkO");
  EXPECT_NEAR(double(U32(b, 84)), double(time(nullptr)), 5.0);
  EXPECT_EQ(U32(b, 92), 2u);    // active
  EXPECT_EQ(U32(b, 96), 1u);    // deleted
  EXPECT_EQ(U32(b, 100), 1u);   // supersized
  EXPECT_EQ(U32(b, 104), 1060u + 80 + 37 + 80 + 72 + 78 + 10241);  // database size
  EXPECT_EQ(U32(b, 108), 37u);  // wasted
  ClearLog();
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(Log().find("Orderly close tag missing"), std::string::npos);
  EXPECT_EQ(U32(Bytes(), 28), 0u);  // open again: the tag is cleared
  EXPECT_EQ(ReadOk("a.b"), std::string(40, 'x'));
}

KRP_CHILD_ROLE_FN(write_and_die) {
  TsStore *s = nullptr;
  std::string folder = args.at(0);
  if (StoreInit(&s, folder.c_str(), "t.kts", nullptr, nullptr, 0)) return 1;
  if (StoreWrite(s, "k.v", "data", 4, 1, 0, 2)) return 2;
  raise(SIGKILL);
  return 3;
}

TEST_F(StoreOpen, KilledHolderLeavesTheTagMissingAndLosesNoWrite) {
  ASSERT_EQ(Open(), 0u);
  Close();
  pid_t pid = krptest::SpawnRole("write_and_die", {folder_});
  ASSERT_EQ(krptest::WaitChild(pid), 128 + SIGKILL);
  ClearLog();
  ASSERT_EQ(Open(), 0u);
  EXPECT_TRUE(Has(Log(), "StoreInit: Warning: Orderly close tag missing from resource database"));
  EXPECT_EQ(ReadOk("k.v"), "data");
}

TEST_F(StoreOpen, ForeignAndUnknownHeadersAreRefusedAndTheFileReleased) {
  std::string h = V4Header();
  h[6] = 'X';
  SetBytes(h);
  EXPECT_EQ(Open(), 2u);
  EXPECT_EQ(s_, nullptr);
  h = V4Header();
  PutU32(&h, 24, 5);
  SetBytes(h);
  EXPECT_EQ(Open(), 0x141000u);
  EXPECT_EQ(Bytes(), h);  // nothing written
  // The refused open closed the file: an exclusive open succeeds.
  KST_HFILE f;
  ASSERT_EQ(KstOpenRWFile(path_.c_str(), &f), 0u);
  KstCloseFile(f);
}

TEST_F(StoreOpen, TooLongPathIs0x37000F) {
  std::string folder(200, 'd');
  std::string name(60, 'n');
  EXPECT_EQ(StoreInit(&s_, (folder + "/").c_str(), name.c_str(), nullptr, nullptr, 0),
            0x37000Fu);
  EXPECT_EQ(StoreInit(nullptr, nullptr, nullptr, nullptr, nullptr, 0), 6u);
}

TEST_F(StoreOpen, InvalidHeaderGivesTheBannerTheDumpAndNoCloseTag) {
  std::string b = V4Header() + Record(4, "good", "1") + Record(4, "ba%d", "2");
  size_t bad = 1060 + 81 + 33;
  PutU32(&b, bad + 8, 99);  // header length is not name length + 76
  SetBytes(b);
  EXPECT_EQ(Open(), 0x37F0FFu);
  EXPECT_EQ(s_, nullptr);
  std::string log = Log();
  EXPECT_TRUE(Has(log, "TsGenerateIndex: F:1060 B:114  Invalid object header for v4")) << log;
  // 81 bytes dumped (name length 5 + 76): six lines, the last with one byte.
  EXPECT_TRUE(Has(log, "   0000 5d 3f 40 3d 2d 21 7c 2b - 63 00 00 00 01 00 00 00    ]?@=-!|+c......."))
      << log;
  EXPECT_TRUE(Has(log, "   0040 00 00 00 00 00 00 00 00 - 05 00 00 00 62 61 25 64    ............ba%d"))
      << log;
  EXPECT_TRUE(Has(log, "   0050 00 " + std::string(3 * 7 + 5 + 3 * 8 + 3, ' ') + ".")) << log;
  EXPECT_EQ(log.find("   0060"), std::string::npos);
  EXPECT_TRUE(Has(log, ">>>>         F A T A L   E R R O R: "));
  EXPECT_TRUE(Has(log, "<<<<         Resource database (v4) is corrupt."));
  EXPECT_TRUE(Has(log, "<<<<         Buffer offset: 72h"));
  EXPECT_TRUE(Has(log, "<<<<         Last added record: good"));
  EXPECT_TRUE(Has(log, std::string(54, '>')));
  EXPECT_EQ(log.find("Resource database init completed"), std::string::npos);
  // The corrupt file is left exactly as it was apart from the open stamp.
  std::string after = Bytes();
  EXPECT_EQ(after.size(), b.size());
  EXPECT_EQ(after.substr(1060), b.substr(1060));
  EXPECT_NE(after.substr(28, 4), "OkkO");
}

TEST_F(StoreOpen, FileEndingInsideARecordIsCorruptUnlessSalvaged) {
  std::string whole = V4Header() + Record(4, "a", "one") + Record(4, "b", "two");
  std::string cut = whole.substr(0, whole.size() - 10);
  SetBytes(cut);
  EXPECT_EQ(Open(), 0x37F0FFu);
  EXPECT_NE(Log().find("Database integrety error at"), std::string::npos);
  EXPECT_EQ(Bytes().substr(1060), cut.substr(1060));

  ASSERT_EQ(Open(kTsOpenSalvageTail), 0u);
  EXPECT_EQ(ReadOk("a"), "one");
  std::string tmp;
  uint32_t size = 99;
  EXPECT_EQ(Read("b", &tmp, 100, &size), 0u);
  EXPECT_EQ(size, 0u);
  size_t first_end = 1060 + 78 + 35;
  EXPECT_EQ(Bytes().size(), first_end);
  EXPECT_EQ(krptest::ReadFile(folder_ + "t.torn"), cut.substr(first_end));
  EXPECT_NE(Log().find("TsGenerateIndex: Warning: torn last record at 495h"), std::string::npos)
      << Log();
  // The store goes on from the cut.
  ASSERT_EQ(Write("b", "again"), 0u);
  Reopen();
  EXPECT_EQ(ReadOk("b"), "again");
}

TEST_F(StoreOpen, DamagedHeaderWithMoreDataBehindIsNeverSalvaged) {
  std::string b = V4Header() + Record(4, "a", "one") + Record(4, "b", "two");
  PutU32(&b, 1060 + 16, 0x7FFFFFFF);  // the first record's area runs past the end
  PutU32(&b, 1060 + 12, 3);
  SetBytes(b);
  EXPECT_EQ(Open(kTsOpenSalvageTail), 0x37F0FFu);
  EXPECT_EQ(Bytes().size(), b.size());
  EXPECT_EQ(krptest::ReadFile(folder_ + "t.torn"), "");
}

// The cut bytes are searched for another record through a bounded window:
// a record that follows far behind a damaged header (past the first
// window, or straddling two) still marks the file as damaged, never torn.
TEST_F(StoreOpen, DamagedHeaderFarAheadOfTheNextRecordIsNeverSalvaged) {
  for (size_t gap : {(1u << 20) + 3u, (1u << 20) - 70u, (3u << 20) + 11u}) {
    SCOPED_TRACE(gap);
    std::string b = V4Header() + Record(4, "a", std::string(gap, 'x')) + Record(4, "b", "two");
    PutU32(&b, 1060 + 16, 0x7FFFFFFF);  // the first record's area runs past the end
    SetBytes(b);
    EXPECT_EQ(Open(kTsOpenSalvageTail), 0x37F0FFu);
    EXPECT_EQ(Bytes().size(), b.size());
    EXPECT_EQ(krptest::ReadFile(folder_ + "t.torn"), "");
  }
}

TEST_F(StoreOpen, HeaderCutShortIsCorrupt) {
  std::string h = V4Header();
  for (size_t cut : {10u, 27u, 28u, 500u, 1059u}) {
    SetBytes(h.substr(0, cut));
    EXPECT_EQ(Open(kTsOpenSalvageTail), 0x37F0FFu) << cut;
    EXPECT_EQ(Bytes().size(), cut);
  }
}

// A crash right after the file was created leaves zero bytes, which hold
// nothing to lose: the open makes a new store of them instead of refusing
// to start for good; a secondary open reads an empty store and writes
// nothing.
TEST_F(StoreOpen, ZeroByteFileIsANewStore) {
  SetBytes("");
  ASSERT_EQ(Open(0x01000000), 0u);
  EXPECT_EQ(s_->active, 0u);
  std::string out;
  uint32_t size = 9;
  EXPECT_EQ(Read("a", &out, 10, &size), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(Write("a", "x"), KST_ERR_ACCESS_DENIED);
  Close();
  EXPECT_EQ(Bytes(), "");

  ClearLog();
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(Log().find("F A T A L"), std::string::npos);
  EXPECT_NE(Log().find("StoreInit: Warning: empty store file " + path_ +
                       " initialised as a new store"),
            std::string::npos)
      << Log();
  EXPECT_EQ(Bytes().size(), 1060u);
  ASSERT_EQ(Write("a", "x"), 0u);
  Reopen();
  EXPECT_EQ(ReadOk("a"), "x");
}

// The cut bytes of a torn tail are never written through a link planted at
// "t.torn", nor over a FIFO or a folder there: the open fails and changes
// nothing.
TEST_F(StoreOpen, SalvageNeverWritesThroughALinkOrOverAFifoOrFolder) {
  std::string f = V4Header() + Record(4, "a", "one") + Record(4, "b", "two").substr(0, 50);
  const std::string torn = folder_ + "t.torn", target = env_.dir() + "/victim";
  for (const char *kind : kPlantKinds) {
    SCOPED_TRACE(kind);
    SetBytes(f);
    krptest::WriteFile(target, "precious");
    const Planted planted{kind, torn};
    ASSERT_TRUE(planted.Plant(target));
    ClearLog();
    EXPECT_NE(Open(kTsOpenSalvageTail), 0u);
    EXPECT_EQ(s_, nullptr);
    EXPECT_NE(Log().find("TsGenerateIndex: saving the torn last record at 495h to " + torn +
                         " failed"),
              std::string::npos)
        << Log();
    // The open marked the header open before it scanned; the records are
    // untouched and nothing was cut.
    EXPECT_EQ(Bytes().size(), f.size());
    EXPECT_TRUE(Bytes().substr(1060) == f.substr(1060));
    EXPECT_EQ(krptest::ReadFile(target), "precious");
    EXPECT_TRUE(planted.StillPlanted());
    planted.Unplant();
  }
  // With the way clear, the salvage goes ahead.
  SetBytes(f);
  ASSERT_EQ(Open(kTsOpenSalvageTail), 0u);
  EXPECT_EQ(ReadOk("a"), "one");
  EXPECT_EQ(krptest::ReadFile(torn), f.substr(1060 + 78 + 35));
}

struct Progress {
  std::vector<uint32_t> seen;
  static void Fn(uint32_t pct, void *arg) { static_cast<Progress *>(arg)->seen.push_back(pct); }
};

// 13 MB of records: chunks of 5 MB cut through records, and one record of
// 6 MB is larger than a chunk.
TEST_F(StoreOpen, LargeStoreWithStraddlingAndOversizedRecordsIsIndexed) {
  ASSERT_EQ(Open(), 0u);
  std::string big(6 << 20, 'B');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = char(i / 4096);
  std::vector<std::string> names;
  for (int i = 0; i < 7000; ++i) {
    std::string n = "c" + std::to_string(i % 37) + ".obj" + std::to_string(i);
    std::string v(300 + i % 700, char('a' + i % 26));
    ASSERT_EQ(Write(n, v), 0u);
    names.push_back(n);
    if (i == 3000) {
      ASSERT_EQ(Write("huge.one", big), 0u);
    }
  }
  Close();
  Progress p;
  ASSERT_EQ(Open(0, &Progress::Fn, &p), 0u);
  std::vector<uint32_t> expect;
  for (uint32_t k = 5; k <= 100; k += 5) expect.push_back(k);
  EXPECT_EQ(p.seen, expect);
  EXPECT_EQ(s_->active, 7001u);
  for (int i = 0; i < 7000; i += 97)
    EXPECT_EQ(ReadOk(names[i]), std::string(300 + i % 700, char('a' + i % 26))) << names[i];
  std::string got;
  ASSERT_EQ(Read("huge.one", &got, 7 << 20), 0u);
  EXPECT_TRUE(got == big);
}

TEST_F(StoreOpen, SecondaryModeWritesNothingAndRefusesChanges) {
  ASSERT_EQ(Open(), 0u);
  ASSERT_EQ(Write("a", "1"), 0u);
  Close();
  // Another reader holds the file.
  KST_HFILE other;
  ASSERT_EQ(KstOpenRFile(path_.c_str(), &other), 0u);
  std::string before = Bytes();
  ClearLog();
  ASSERT_EQ(Open(0x01000000), 0u);
  EXPECT_EQ(ReadOk("a"), "1");
  EXPECT_EQ(Write("b", "2"), 5u);
  EXPECT_EQ(StoreDelete(s_, "a"), 5u);
  Close();
  KstCloseFile(other);
  EXPECT_EQ(Bytes(), before);
  EXPECT_EQ(Log(), "");
}

TEST_F(StoreOpen, Version3FileIsReadAndUpdatedInPlace) {
  std::string b = V3Header() + Record(3, "v3.a", "hello") + Record(3, "v3.gone", "x", 0, 1) +
                  Record(3, "v3.b", std::string(300, 'q'));
  SetBytes(b);
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(s_->version, 3u);
  EXPECT_EQ(s_->deleted, 1u);
  EXPECT_EQ(ReadOk("v3.a"), "hello");
  EXPECT_EQ(ReadOk("v3.b"), std::string(300, 'q'));
  ASSERT_EQ(Write("v3.a", "HELLO"), 0u);           // fits: in place
  ASSERT_EQ(Write("v3.b", std::string(400, 'r')), 0u);  // moves: appended as version 3
  ASSERT_EQ(Write("v3.new", "n"), 0u);
  EXPECT_EQ(Write(std::string(258, 'L'), "n"), 0x37000Fu);
  Close();
  std::string after = Bytes();
  EXPECT_EQ(after.substr(0, 28), b.substr(0, 28));  // never rewritten
  EXPECT_EQ(after.substr(28 + 332, 5), "HELLO");
  EXPECT_EQ(U32(after, 28 + 369 + 365 + 304), 1u);  // the old v3.b is marked deleted
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ReadOk("v3.a"), "HELLO");
  EXPECT_EQ(ReadOk("v3.b"), std::string(400, 'r'));
  EXPECT_EQ(ReadOk("v3.new"), "n");
}

TEST_F(StoreOpen, SecondLiveRecordOfANameWinsOverTheFirst) {
  std::string b = V4Header() + Record(4, "dup", "old") + Record(4, "x", "1") +
                  Record(4, "dup", "new") + Record(4, "y", "2");
  SetBytes(b);
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ReadOk("dup"), "new");
  EXPECT_EQ(s_->active, 3u);
  EXPECT_EQ(s_->deleted, 1u);
  EXPECT_EQ(s_->wasted, 35u);
  uint32_t size = 0;
  ASSERT_EQ(StoreListObjects(s_, "", nullptr, &size, 1), 0u);
  EXPECT_EQ(size, 3 * 16u + 4 + 2 + 2);
  // The older record is marked deleted in the file as well: deleting the
  // object must not bring it back at the next open.
  EXPECT_EQ(U32(Bytes(), 1060 + 44), 1u);
  ASSERT_EQ(StoreDelete(s_, "dup"), 0u);
  Reopen();
  std::string out;
  uint32_t n = 9;
  EXPECT_EQ(Read("dup", &out, 10, &n), 0u);
  EXPECT_EQ(n, 0u);
}

TEST_F(StoreOpen, MemoryServedDataIsCheckedOnItsFirstReadAfterOpen) {
  std::string b = V4Header() + Record(4, "small", "abcdef") + Record(4, "other", "ok");
  b[1060 + 82] ^= 1;  // a data byte of "small"
  SetBytes(b);
  ASSERT_EQ(Open(), 0u);
  std::string out;
  EXPECT_EQ(Read("small", &out), 0x37000Eu);
  EXPECT_EQ(s_->failed_reads, 1u);
  EXPECT_EQ(ReadOk("other"), "ok");
}

// A record whose memory-only bit is set on disk still lives in the file.
TEST_F(StoreOpen, MemoryOnlyBitReadFromDiskStillMeansTheFile) {
  std::string big(300, 'm');
  std::string b = V4Header() + Record(4, "disk", big, kTsAttrMemoryOnly);
  SetBytes(b);
  ASSERT_EQ(Open(), 0u);
  EXPECT_EQ(ReadOk("disk"), big);
  ASSERT_EQ(Write("disk", std::string(10, 'n'), kTsAttrMemoryOnly), 0u);
  Reopen();
  EXPECT_EQ(ReadOk("disk"), std::string(10, 'n'));  // the rewrite went to the file
}

}  // namespace

namespace {

TEST_F(StoreOpen, NoLinkCreateRefusesALinkAFifoAFolderOrASecondNameAndTouchesNothing) {
  const std::string target = env_.dir() + "/victim";
  const uint32_t flags = kTsOpenCreate | kTsOpenNoLink;
  for (const char *kind : kPlantKinds) {
    SCOPED_TRACE(kind);
    krptest::WriteFile(target, "precious");
    const Planted planted{kind, path_};
    ASSERT_TRUE(planted.Plant(target));
    EXPECT_NE(Open(flags), 0u);
    EXPECT_EQ(s_, nullptr);
    EXPECT_EQ(krptest::ReadFile(target), "precious");
    EXPECT_TRUE(planted.StillPlanted());
    planted.Unplant();
  }
  // A hard link: emptying the store's name would empty the other one too.
  krptest::WriteFile(target, "precious");
  ASSERT_EQ(link(target.c_str(), path_.c_str()), 0);
  EXPECT_EQ(Open(flags), 5u);
  EXPECT_EQ(krptest::ReadFile(target), "precious");
  unlink(path_.c_str());

  // A file of our own (as a temporary-file call leaves it) becomes a new store.
  krptest::WriteFile(path_, "old bytes");
  ASSERT_EQ(Open(flags), 0u);
  EXPECT_EQ(Write("a", "one"), 0u);
  Reopen();
  EXPECT_EQ(ReadOk("a"), "one");
}

}  // namespace
