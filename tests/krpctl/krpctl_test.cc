// krpctl store dump / verify / pack / copy, run as a separate process on
// small store files: output, exit status 0 / 1 / 2.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "krpctl_run.h"
#include "store_maint.h"
#include "test_support.h"
#include "ts_digest.h"
#include "ts_format.h"

namespace {

class Krpctl : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = env_.dir() + "/";
    path_ = dir_ + "s.kts";
  }
  // Runs krpctl with the arguments (each quoted); stdout and stderr together.
  static krptest::CtlOutput Ctl(const std::vector<std::string> &args) {
    return krptest::RunKrpctl(args);
  }
  // A store written by the engine: live, deleted and replaced records.
  void EngineStore() {
    TsStore *s = nullptr;
    ASSERT_EQ(StoreInit(&s, dir_.c_str(), "s.kts", nullptr, nullptr, 0), 0u);
    ASSERT_EQ(StoreWrite(s, "app.alive", "12345", 5, 0x11, 0x22, 0x33), 0u);
    ASSERT_EQ(StoreWrite(s, "app.gone", "x", 1, 1, 0, 1), 0u);
    ASSERT_EQ(StoreDelete(s, "app.gone"), 0u);
    std::string big(400, 'b');
    ASSERT_EQ(StoreWrite(s, "app.moved", "small", 5, 1, 0, 1), 0u);
    ASSERT_EQ(StoreWrite(s, "app.moved", big.data(), 400, 1, 0, 1), 0u);
    ASSERT_EQ(StoreExit(s), 0u);
  }
  static std::string Rec(uint32_t version, const std::string &name, const std::string &data) {
    uint32_t area = uint32_t(data.size()) + 32;
    std::string r(TsRecordHeaderLen(version, uint32_t(name.size())) + area, '\0');
    uint8_t d[16];
    TsMd5(data.data(), data.size(), d);
    TsEncodeRecord(version, reinterpret_cast<uint8_t *>(&r[0]), name.data(),
                   uint32_t(name.size()), data.data(), uint32_t(data.size()), area, 0, 1, 2, d,
                   's');
    return r;
  }
  static std::string V4Header() {
    std::string h(kTsFileHeaderLenV4, '\0');
    TsHeaderFields f{};
    TsEncodeFileHeaderV4(reinterpret_cast<uint8_t *>(&h[0]), f);
    return h;
  }
  static bool Has(const std::string &s, const std::string &what) {
    return s.find(what) != std::string::npos;
  }

  krptest::TestEnv env_;
  std::string dir_, path_;
};

TEST_F(Krpctl, DumpShowsLiveAndDeletedRecordsAndTheHeader) {
  EngineStore();
  krptest::CtlOutput r = Ctl({"store", "dump", path_});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r.out, "offset=1060 state=live name=app.alive size=5 area=37 attr=0x00000022 "
                         "lastwr=0x00000011 consumer=0x00000033 digest=ok"))
      << r.out;
  EXPECT_TRUE(Has(r.out, "state=deleted name=app.gone size=1 area=33")) << r.out;
  EXPECT_TRUE(Has(r.out, "state=deleted name=app.moved size=5")) << r.out;
  EXPECT_TRUE(Has(r.out, "state=live name=app.moved size=400 area=432")) << r.out;
  EXPECT_TRUE(Has(r.out, "records: 2 live, 2 deleted")) << r.out;
  EXPECT_TRUE(Has(r.out, "header.version: 4")) << r.out;
  EXPECT_TRUE(Has(r.out, "header.close_tag: 0x4f6b6b4f (orderly closed)")) << r.out;
  EXPECT_TRUE(Has(r.out, "header.active: 2")) << r.out;
  EXPECT_TRUE(Has(r.out, "header.deleted: 2")) << r.out;
}

TEST_F(Krpctl, VerifySoundStores) {
  EngineStore();
  krptest::CtlOutput r = Ctl({"store", "verify", path_});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r.out, "sound (version 4, 4 records)")) << r.out;
  std::string v3(kTsFileHeaderLenV3, '\0');
  TsPutU32(reinterpret_cast<uint8_t *>(&v3[0]), 28);
  v3.replace(4, 16, kTsMagic, 16);
  TsPutU32(reinterpret_cast<uint8_t *>(&v3[24]), 3);
  krptest::WriteFile(path_, v3 + Rec(3, "a.b", "data") + Rec(3, "a.c", ""));
  r = Ctl({"store", "verify", path_});
  EXPECT_EQ(r.status, 0) << r.out;
  krptest::WriteFile(path_, V4Header());
  EXPECT_EQ(Ctl({"store", "verify", path_}).status, 0);  // an empty store
}

// Each kind of damage: exit 1 and the problem with its offset.
TEST_F(Krpctl, VerifyFindsEachKindOfDamage) {
  const std::string a = Rec(4, "a.one", std::string(100, 'd'));
  const std::string b = Rec(4, "a.two", "xyz");
  const std::string good = V4Header() + a + b;
  const uint32_t at_b = uint32_t(kTsFileHeaderLenV4 + a.size());
  struct Case {
    const char *what;
    std::string bytes;
    std::string expect;
  };
  std::string flipped = good;
  flipped[kTsFileHeaderLenV4 + 76 + 6 + 50] ^= 0x20;
  std::string crc = good;
  crc[at_b + kTsRecOffNameCrc] ^= 1;
  std::string magic = good;
  magic[6] = '?';
  std::string rec_header = good;
  TsPutU32(reinterpret_cast<uint8_t *>(&rec_header[at_b + kTsRecOffHdrLen]), 7);
  std::string end_mark = good;
  end_mark[kTsHdrOffEndMark] = 0;
  std::vector<Case> cases = {
      {"flipped data byte", flipped, "1060: data of a.one do not match their digest"},
      {"bad name checksum", crc, std::to_string(at_b) + ": bad name checksum of a.two"},
      {"invalid file header", magic, "4: not a store file (wrong magic)"},
      {"invalid header end mark", end_mark, "1056: header end mark"},
      {"invalid record header", rec_header, std::to_string(at_b) + ": invalid record header"},
      {"torn tail", good.substr(0, good.size() - 5), std::to_string(at_b) + ": record runs past"},
      {"two live records of a name", good + Rec(4, "a.one", "again"),
       std::to_string(good.size()) + ": second live record of a.one (the first is at 1060)"},
  };
  for (const Case &c : cases) {
    krptest::WriteFile(path_, c.bytes);
    krptest::CtlOutput r = Ctl({"store", "verify", path_});
    EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out;
    EXPECT_TRUE(Has(r.out, c.expect)) << c.what << "\n" << r.out;
  }
  krptest::WriteFile(path_, flipped);
  krptest::CtlOutput r = Ctl({"store", "dump", path_});
  EXPECT_EQ(r.status, 0);  // dump describes the damage without failing on it
  EXPECT_TRUE(Has(r.out, "name=a.one size=100 area=132 attr=0x00000000 lastwr=0x00000001 "
                         "consumer=0x00000002 digest=BAD"))
      << r.out;
  krptest::WriteFile(path_, rec_header);
  EXPECT_EQ(Ctl({"store", "dump", path_}).status, 1);
}

TEST_F(Krpctl, PackAndCopy) {
  EngineStore();
  std::string before = krptest::ReadFile(path_);
  krptest::CtlOutput r = Ctl({"store", "pack", path_});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r.out, "2 deleted records removed")) << r.out;
  std::string after = krptest::ReadFile(path_);
  EXPECT_EQ(after.size(), 1060u + (76 + 10 + 5 + 32) + (76 + 10 + 400 + 32));
  EXPECT_EQ(Ctl({"store", "verify", path_}).status, 0);
  // The backup: the store as the pack found it (the open restamped the header).
  EXPECT_TRUE(krptest::ReadFile(dir_ + "store.old").substr(1060) == before.substr(1060));

  std::string target = dir_ + "copy.kts";
  r = Ctl({"store", "copy", path_, target});
  EXPECT_EQ(r.status, 0) << r.out;
  r = Ctl({"store", "dump", target});
  EXPECT_TRUE(Has(r.out, "records: 2 live, 0 deleted")) << r.out;
  EXPECT_TRUE(Has(r.out, "(orderly closed)")) << r.out;

  // A store the engine refuses, a missing file, a store held open.
  krptest::WriteFile(dir_ + "bad.kts", "not a store at all, not at all");
  EXPECT_EQ(Ctl({"store", "pack", dir_ + "bad.kts"}).status, 1);
  EXPECT_EQ(Ctl({"store", "copy", dir_ + "missing.kts", target}).status, 1);
  EXPECT_EQ(Ctl({"store", "verify", dir_ + "missing.kts"}).status, 1);
  TsStore *s = nullptr;
  ASSERT_EQ(StoreInit(&s, dir_.c_str(), "s.kts", nullptr, nullptr, 0), 0u);
  r = Ctl({"store", "pack", path_});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "in use")) << r.out;
  StoreExit(s);
  // A link as the copy's target is refused.
  std::string link = dir_ + "link.kts";
  ASSERT_EQ(symlink((dir_ + "victim").c_str(), link.c_str()), 0);
  EXPECT_EQ(Ctl({"store", "copy", path_, link}).status, 1);
}

TEST_F(Krpctl, UsageAndHelp) {
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  std::vector<Case> cases = {
      {{}, 2},
      {{"store"}, 2},
      {{"store", "dump"}, 2},
      {{"store", "copy", "a"}, 2},
      {{"store", "dump", "a", "b"}, 2},
      {{"store", "frobnicate", "a"}, 2},
      {{"--bogus"}, 2},
      {{"--help"}, 0},
      {{"store", "--help"}, 0},
      {{"store", "dump", "--help"}, 0},
      {{"store", "verify", "--help"}, 0},
      {{"store", "pack", "--help"}, 0},
      {{"store", "copy", "--help"}, 0},
  };
  for (const Case &c : cases) {
    krptest::CtlOutput r = Ctl(c.args);
    std::string line;
    for (auto &a : c.args) line += a + " ";
    EXPECT_EQ(r.status, c.status) << line << "\n" << r.out;
    if (c.status == 0) {
      EXPECT_TRUE(Has(r.out, "Usage:")) << line;
    }
  }
}

}  // namespace
