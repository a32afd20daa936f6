// A private folder with one store file and a private log, shared by the
// store engine's tests.
#ifndef KRP_TESTS_STORE_STORE_FIXTURE_H
#define KRP_TESTS_STORE_STORE_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "store.h"
#include "store_maint.h"
#include "test_support.h"
#include "ts_digest.h"
#include "ts_format.h"

// What a hostile local user may plant where the engine creates a file: a
// symbolic link to `target`, a FIFO or a folder. Plant gives true when it
// is in place; StillPlanted tells whether it is still there unchanged in
// kind; Unplant removes it.
struct Planted {
  std::string kind;  // "symlink", "fifo" or "folder"
  std::string path;
  bool Plant(const std::string &target) const {
    const int made = kind == "symlink" ? symlink(target.c_str(), path.c_str())
                     : kind == "fifo"  ? mkfifo(path.c_str(), 0600)
                                       : mkdir(path.c_str(), 0700);
    return made == 0;
  }
  bool StillPlanted() const {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    return kind == "symlink" ? S_ISLNK(st.st_mode)
           : kind == "fifo"  ? S_ISFIFO(st.st_mode)
                             : S_ISDIR(st.st_mode);
  }
  void Unplant() const { kind == "folder" ? rmdir(path.c_str()) : unlink(path.c_str()); }
};
inline const char *const kPlantKinds[] = {"symlink", "fifo", "folder"};

// The marker an interrupted pack leaves beside the store (layout in
// store_pack.cc), naming `backup` whose bytes are `bytes`.
inline std::string PackMarker(const std::string &backup, const std::string &bytes) {
  TsPackHashCtx c;
  TsPackHashInit(&c);
  TsPackHashUpdate(&c, reinterpret_cast<const uint8_t *>(bytes.data()), uint32_t(bytes.size()));
  uint64_t h = TsPackHashFinal(&c);
  uint32_t n = uint32_t(backup.size());
  std::string m(32 + n + 4, '\0');
  m.replace(0, 8, "KTSPACK1");
  auto put = [&](size_t off, uint32_t v) { TsPutU32(reinterpret_cast<uint8_t *>(&m[off]), v); };
  put(8, 32 + n + 4);
  put(12, uint32_t(bytes.size()));
  put(16, uint32_t(h));
  put(20, uint32_t(h >> 32));
  put(24, uint32_t(bytes.size()));
  put(28, n);
  m.replace(32, n, backup);
  put(32 + n, TsCrc32(m.data(), 32 + n));
  return m;
}

class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = env_.dir() + "/";
    path_ = folder_ + "t.kts";
    log_ = env_.dir() + "/log.txt";
    setenv("TRACELIB_FILE", log_.c_str(), 1);
  }
  void TearDown() override {
    if (s_) StoreExit(s_);
    unsetenv("TRACELIB_FILE");
  }

  uint32_t Open(uint32_t flags = 0, TsProgressFn progress = nullptr, void *arg = nullptr) {
    return StoreInit(&s_, folder_.c_str(), "t.kts", progress, arg, flags);
  }
  void Close() {
    ASSERT_NE(s_, nullptr);
    EXPECT_EQ(StoreExit(s_), 0u);
    s_ = nullptr;
  }
  void Reopen(uint32_t flags = 0) {
    Close();
    ASSERT_EQ(Open(flags), 0u);
  }

  uint32_t Write(const std::string &name, const std::string &data, uint32_t attr = 0,
                 uint32_t last_wr = 0x10203040, uint32_t consumer = 7) {
    return StoreWrite(s_, name.c_str(), data.data(), uint32_t(data.size()), last_wr, attr,
                      consumer);
  }
  // Reads into a buffer of `cap` bytes; the data read goes to *out.
  uint32_t Read(const std::string &name, std::string *out, uint32_t cap = 1 << 20,
                uint32_t *size_out = nullptr) {
    std::vector<char> buf(cap ? cap : 1);
    uint32_t size = cap, lw, at, co;
    uint32_t rc = StoreRead(s_, name.c_str(), buf.data(), &size, &lw, &at, &co);
    if (size_out) *size_out = size;
    if (out) out->assign(rc == 0 ? std::string(buf.data(), size) : std::string());
    return rc;
  }
  std::string ReadOk(const std::string &name) {
    std::string out;
    EXPECT_EQ(Read(name, &out), 0u) << name;
    return out;
  }

  std::string Bytes() const { return krptest::ReadFile(path_); }
  void SetBytes(const std::string &b) const { krptest::WriteFile(path_, b); }
  std::string Log() const { return krptest::ReadFile(log_); }
  void ClearLog() const { krptest::WriteFile(log_, ""); }
  static uint32_t U32(const std::string &b, size_t off) {
    return TsGetU32(reinterpret_cast<const uint8_t *>(b.data()) + off);
  }
  static void PutU32(std::string *b, size_t off, uint32_t v) {
    TsPutU32(reinterpret_cast<uint8_t *>(&(*b)[off]), v);
  }

  // A whole record as the engine writes it.
  static std::string Record(uint32_t version, const std::string &name, const std::string &data,
                            uint32_t attr = 0, uint32_t deleted = 0, uint8_t filler = 's') {
    uint32_t area = uint32_t(data.size()) +
                    ((attr & kTsAttrSupersized) ? kTsRoomSupersized : kTsRoomNormal);
    std::string r(TsRecordHeaderLen(version, uint32_t(name.size())) + area, '\0');
    uint8_t d[16];
    TsMd5(data.data(), data.size(), d);
    TsEncodeRecord(version, reinterpret_cast<uint8_t *>(&r[0]), name.data(), uint32_t(name.size()),
                   data.data(), uint32_t(data.size()), area, attr, 0x10203040, 7, d, filler);
    if (deleted) PutU32(&r, TsDeletedOffset(version), 1);
    return r;
  }
  static std::string V4Header() {
    std::string h(kTsFileHeaderLenV4, '\0');
    TsHeaderFields f{};
    f.with_build = true;
    TsEncodeFileHeaderV4(reinterpret_cast<uint8_t *>(&h[0]), f);
    return h;
  }
  static std::string V3Header() {
    std::string h(kTsFileHeaderLenV3, '\0');
    PutU32(&h, 0, 28);
    h.replace(4, 16, kTsMagic, 16);
    PutU32(&h, 24, 3);
    return h;
  }

  krptest::TestEnv env_;
  std::string folder_, path_, log_;
  TsStore *s_ = nullptr;
};

#endif  // KRP_TESTS_STORE_STORE_FIXTURE_H
