// The client calls through a host: every request code from another process,
// values larger than one piece both ways, the block after a write, the
// argument checks, and what a client sees without a server.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform.h"
#include "service_util.h"

namespace {

using namespace svctest;

// Reads `name` through the server and compares it with `want`.
bool ReadEquals(const char *name, const std::vector<uint8_t> &want, uint32_t want_consumer) {
  void *data = nullptr;
  uint32_t size = 0, lw = 0, attr = 0, consumer = 0;
  uint32_t rc = KrpStoreKtsReadMt(0, name, &data, &size, &lw, &attr, &consumer);
  bool ok = rc == 0 && size == want.size() && consumer == want_consumer &&
            (size == 0 || memcmp(data, want.data(), size) == 0);
  KstFreeMem(data, 0);
  return ok;
}

// Writes a copy of `v` (the write scrambles its buffer).
uint32_t WriteCopy(const char *name, const std::vector<uint8_t> &v, uint32_t consumer) {
  std::vector<uint8_t> copy = v;
  copy.push_back(0);  // never a null pointer for an empty value
  return KrpStoreKtsWriteMt(0, name, copy.data(), static_cast<uint32_t>(v.size()), 1000, 0,
                            consumer);
}

// The sizes around the piece boundaries: one, two and three exchanges.
const size_t kSizes[] = {0, 1, 100, 327387, 327388, 654774, 1 << 20};

// Child: writes a value of every size, then reads back the values the test
// wrote ("parent.<size>").
KRP_CHILD_ROLE_FN(client_sizes) {
  for (size_t n : kSizes) {
    std::string name = "child." + std::to_string(n);
    ROLE_CHECK(WriteCopy(name.c_str(), Pattern(n, static_cast<uint32_t>(n)), 7) == 0, 10);
  }
  for (size_t n : kSizes) {
    std::string name = "parent." + std::to_string(n);
    ROLE_CHECK(ReadEquals(name.c_str(), Pattern(n, static_cast<uint32_t>(n) + 1), 8), 20);
  }
  return 0;
}

// Child: every request code once.
KRP_CHILD_ROLE_FN(client_codes) {
  const std::vector<uint8_t> v1 = Pattern(50, 1), v2 = Pattern(5000, 2);
  ROLE_CHECK(WriteCopy("a.one", v1, 4) == 0, 10);
  ROLE_CHECK(WriteCopy("a.two", v2, 8) == 0, 11);
  ROLE_CHECK(WriteCopy("b.three", v1, 1) == 0, 12);
  ROLE_CHECK(ReadEquals("a.two", v2, 8), 13);

  // Read without data: the words only.
  uint32_t size = 0, lw = 0, attr = 0, consumer = 0;
  ROLE_CHECK(KrpStoreKtsReadMt(0, "a.one", nullptr, &size, &lw, &attr, &consumer) == 0, 14);
  ROLE_CHECK(size == 50 && lw == 1000 && consumer == 4, 15);

  TsObjectInfo info{};
  ROLE_CHECK(KrpStoreKtsGetObjectInfoMt(0, "a.two", &info) == 0, 20);
  ROLE_CHECK(info.data_size == 5000 && info.last_wr == 1000 && info.consumer == 8, 21);
  ROLE_CHECK(KrpStoreKtsGetObjectInfoMt(0, "a.none", &info) == 0x370001, 22);

  void *list = nullptr;
  uint32_t list_size = 0;
  ROLE_CHECK(KrpStoreKtsListObjectsMt(0, "a.", &list, &list_size, 0) == 0, 30);
  // Two entries of 16 + 5 + 1 bytes.
  ROLE_CHECK(list_size == 2 * 22 && list != nullptr, 31);
  TsListEntry first{};
  ROLE_CHECK(TsListEntryAt(static_cast<uint8_t *>(list), list_size, 0, &first), 32);
  ROLE_CHECK(strcmp(first.name, "a.one") == 0 || strcmp(first.name, "a.two") == 0, 32);
  KstFreeMem(list, 0);
  // Recursive from the root: 22 + 22 + 24 bytes.
  ROLE_CHECK(KrpStoreKtsListObjectsMt(0, "", nullptr, &list_size, 0) == 0 && list_size == 68, 33);

  // Read multiple: a.one with data, b.three information only, a.two data.
  const char *names[] = {"a.one", "b.three", "a.two"};
  const bool info_only[] = {false, true, false};
  std::vector<uint8_t> blk(kTsMultiHeaderSize);
  uint32_t item[3];
  for (int i = 0; i < 3; ++i) {
    const uint32_t n = static_cast<uint32_t>(strlen(names[i]));
    item[i] = static_cast<uint32_t>(blk.size());
    blk.resize(item[i] + TsMultiItemLength(n));
    TsMultiPutItem(blk.data() + item[i], names[i], n, info_only[i]);
  }
  TsMultiBegin(blk.data(), 3, static_cast<uint32_t>(blk.size()));
  void *data = nullptr;
  uint32_t data_size = 0;
  ROLE_CHECK(KrpStoreKtsReadMultipleMt(0, blk.data(), &data, &data_size) == 0, 40);
  ROLE_CHECK(data_size == 5050, 41);
  // Information only: the size.
  ROLE_CHECK(TsMultiGetReply(blk.data() + item[1]).size == 50, 42);
  const uint8_t *d = static_cast<const uint8_t *>(data);
  ROLE_CHECK(memcmp(d + TsMultiGetReply(blk.data() + item[0]).data_offset, v1.data(), 50) == 0,
             43);
  ROLE_CHECK(
      memcmp(d + TsMultiGetReply(blk.data() + item[2]).data_offset, v2.data(), 5000) == 0, 44);
  KstFreeMem(data, 0);

  ROLE_CHECK(KrpStoreKtsDeleteMt(0, "a.*") == 0, 50);
  ROLE_CHECK(KrpStoreKtsReadMt(0, "a.two", nullptr, &size, &lw, &attr, &consumer) == 0 && size == 0,
             51);
  ROLE_CHECK(ReadEquals("b.three", v1, 1), 52);
  return 0;
}

TEST(ServiceClient, EveryRequestCodeFromAnotherProcess) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start());
  EXPECT_EQ(0, krptest::WaitChild(krptest::SpawnRole("client_codes")));
  // The request counter counted every request.
  EXPECT_GE(StatusWord(status::kRequestCounter), 12u);
}

TEST(ServiceClient, ValuesAroundAndAbovePieceSizeTravelBothWays) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start());
  for (size_t n : kSizes) {
    std::string name = "parent." + std::to_string(n);
    ASSERT_EQ(0u, WriteCopy(name.c_str(), Pattern(n, static_cast<uint32_t>(n) + 1), 8)) << n;
  }
  EXPECT_EQ(0, krptest::WaitChild(krptest::SpawnRole("client_sizes")));
  for (size_t n : kSizes) {
    std::string name = "child." + std::to_string(n);
    EXPECT_TRUE(ReadEquals(name.c_str(), Pattern(n, static_cast<uint32_t>(n)), 7)) << n;
  }
  // A large listing travels in pieces too: 20000 names of 16 + 10 bytes.
  for (int i = 0; i < 20000; ++i) {
    char name[32];
    snprintf(name, sizeof name, "l.%07d", i);
    ASSERT_EQ(0u, WriteCopy(name, {1}, 0));
  }
  void *list = nullptr;
  uint32_t list_size = 0;
  ASSERT_EQ(0u, KrpStoreKtsListObjectsMt(0, "l.", &list, &list_size, 0));
  ASSERT_EQ(20000u * 26, list_size);
  // Every name once, whatever the order.
  std::vector<bool> seen(20000);
  TsListEntry e{};
  for (uint32_t off = 0; off < list_size; off += e.length) {
    ASSERT_TRUE(TsListEntryAt(static_cast<uint8_t *>(list), list_size, off, &e)) << off;
    ASSERT_EQ(26u, e.length);
    const char *n = e.name;
    ASSERT_EQ(0, strncmp(n, "l.", 2));
    seen[atoi(n + 2)] = true;
  }
  EXPECT_EQ(std::vector<bool>(20000, true), seen);
  KstFreeMem(list, 0);
}

// (The host starts with a cleared block, so after this write, which used
// the whole data area, every byte of the block is 0.)
TEST(ServiceClient, WriteScramblesTheCallersBufferAndClearsTheBlock) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start());
  std::vector<uint8_t> v = Pattern(400000, 3), buf = v;
  ASSERT_EQ(0u,
            KrpStoreKtsWriteMt(0, "x.big", buf.data(), static_cast<uint32_t>(buf.size()), 1, 2, 3));
  std::vector<uint8_t> scrambled = v;
  KstScrambleData(KST_SCRAMBLE_KEY, scrambled.data(), static_cast<uint32_t>(scrambled.size()));
  EXPECT_TRUE(buf == scrambled);
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  ASSERT_EQ(0u, KstOpenSharedMemGlobal(kRequestBlockName, &addr, &h));
  const uint8_t *b = static_cast<const uint8_t *>(addr);
  size_t nonzero = 0;
  for (uint32_t i = 0; i < kRequestBlockSize; ++i) nonzero += b[i] != 0;
  EXPECT_EQ(0u, nonzero);
  KstFreeSharedMem(addr, h);
  EXPECT_TRUE(ReadEquals("x.big", v, 3));
}

// A read-multiple block asking for the data of `names`.
std::vector<uint8_t> MultiBlockFor(const std::vector<std::string> &names) {
  size_t total = 16;
  for (const std::string &n : names) total += 32 + n.size() + 1;
  std::vector<uint8_t> blk(total);
  size_t off = 16;
  for (const std::string &n : names) {
    const size_t len = 32 + n.size() + 1;
    Store32(blk.data(), static_cast<uint32_t>(off), kTsItemMark);
    Store32(blk.data(), static_cast<uint32_t>(off + 4), static_cast<uint32_t>(len));
    memcpy(blk.data() + off + 32, n.c_str(), n.size() + 1);
    off += len;
  }
  Store32(blk.data(), 0, kTsBlockMark);
  Store32(blk.data(), 4, static_cast<uint32_t>(names.size()));
  Store32(blk.data(), 8, static_cast<uint32_t>(blk.size()));
  return blk;
}

size_t NonZeroBytes(const volatile uint8_t *b) {
  size_t n = 0;
  for (uint32_t i = 0; i < kRequestBlockSize; ++i) n += b[i] != 0;
  return n;
}

const std::string kLongName = "y." + std::string(240, 'n');

// Child (a process of its own, so that its status block is the host's):
// replies and requests that leave bytes far past the header, each followed
// by a small write after which the whole block must be zero.
KRP_CHILD_ROLE_FN(small_write_after_large_replies) {
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  ROLE_CHECK(KstOpenSharedMemGlobal(kRequestBlockName, &addr, &h) == 0, 10);
  const volatile uint8_t *b = static_cast<const volatile uint8_t *>(addr);
  constexpr uint32_t kNameLastByte = layout_single::kName + kNameFieldSize - 1;
  static_assert(kNameLastByte == 263);

  // A read-multiple block whose item name covers byte 263, then a read of
  // a short name: byte 263 is 0 again.
  std::vector<uint8_t> blk = MultiBlockFor({kLongName});
  void *data = nullptr;
  uint32_t data_size = 0;
  ROLE_CHECK(KrpStoreKtsReadMultipleMt(0, blk.data(), &data, &data_size) == 0, 20);
  KstFreeMem(data, 0);
  ROLE_CHECK(b[kNameLastByte] != 0, 21);
  ROLE_CHECK(ReadEquals("y.big", Pattern(400000, 4), 1), 22);
  ROLE_CHECK(b[kNameLastByte] == 0, 23);

  // The read reply filled the data area; a small write clears all of it.
  ROLE_CHECK(NonZeroBytes(b) > 300000, 30);
  ROLE_CHECK(WriteCopy("y.small", Pattern(8, 6), 3) == 0, 31);
  ROLE_CHECK(NonZeroBytes(b) == 0, 32);
  // Again after a listing, an object information reply and a copy target.
  uint32_t list_size = 0;
  void *list = nullptr;
  ROLE_CHECK(KrpStoreKtsListObjectsMt(0, "y.", &list, &list_size, 0) == 0, 40);
  KstFreeMem(list, 0);
  TsObjectInfo info{};
  ROLE_CHECK(KrpStoreKtsGetObjectInfoMt(0, "y.big", &info) == 0, 41);
  ROLE_CHECK(KrpStoreKtsCopyMt(0, "/nowhere/x.kts") != 0, 42);
  ROLE_CHECK(NonZeroBytes(b) > 0, 43);
  ROLE_CHECK(WriteCopy("y.small", Pattern(8, 7), 3) == 0, 44);
  ROLE_CHECK(NonZeroBytes(b) == 0, 45);
  KstFreeSharedMem(addr, h);
  return 0;
}

// The block is all zero after a write even when earlier replies and
// requests reached much farther than the write's own bytes.
TEST(ServiceClient, SmallWriteAfterLargeRepliesLeavesTheWholeBlockZero) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start());
  ASSERT_EQ(0u, WriteCopy("y.big", Pattern(400000, 4), 1));
  ASSERT_EQ(0u, WriteCopy(kLongName.c_str(), Pattern(10, 5), 2));
  EXPECT_EQ(0, krptest::WaitChild(krptest::SpawnRole("small_write_after_large_replies")));
}

TEST(ServiceClient, ArgumentChecksComeBeforeAnyServerContact) {
  krptest::TestEnv env;  // no server, no status block
  std::string long_name(260, 'n');
  uint32_t size, lw, attr, consumer;
  char data[4] = "abc";
  TsObjectInfo info;
  EXPECT_EQ(1u, KrpStoreKtsReadMt(0, nullptr, nullptr, &size, &lw, &attr, &consumer));
  EXPECT_EQ(1u, KrpStoreKtsReadMt(0, "", nullptr, &size, &lw, &attr, &consumer));
  EXPECT_EQ(1u, KrpStoreKtsReadMt(0, "a.b", nullptr, nullptr, &lw, &attr, &consumer));
  EXPECT_EQ(0x37000Fu,
            KrpStoreKtsReadMt(0, long_name.c_str(), nullptr, &size, &lw, &attr, &consumer));
  EXPECT_EQ(87u, KrpStoreKtsWriteMt(0, "a", data, 3, 0, 0, 0));
  EXPECT_EQ(87u, KrpStoreKtsWriteMt(0, "a.b", nullptr, 3, 0, 0, 0));
  EXPECT_EQ(0x37000Fu, KrpStoreKtsWriteMt(0, long_name.c_str(), data, 3, 0, 0, 0));
  EXPECT_EQ(87u, KrpStoreKtsDeleteMt(0, ""));
  EXPECT_EQ(0x37000Fu, KrpStoreKtsDeleteMt(0, long_name.c_str()));
  EXPECT_EQ(87u, KrpStoreKtsListObjectsMt(0, "a", nullptr, nullptr, 0));
  EXPECT_EQ(0x37000Fu, KrpStoreKtsGetObjectInfoMt(0, long_name.c_str(), &info));
  EXPECT_EQ(87u, KrpStoreKtsGetObjectInfoMt(0, "a.b", nullptr));
  // A read-multiple block of 327660 bytes or more is refused unsent.
  std::vector<uint8_t> blk(327660);
  TsMultiBegin(blk.data(), 0, 327660);
  void *out = nullptr;
  uint32_t out_size = 0;
  EXPECT_EQ(87u, KrpStoreKtsReadMultipleMt(0, blk.data(), &out, &out_size));
  TsMultiBegin(blk.data(), 0, 327659);  // fits, but there is no status block
  EXPECT_EQ(1u, KrpStoreKtsReadMultipleMt(0, blk.data(), &out, &out_size));
  // Without a status block every call gives 1.
  EXPECT_EQ(1u, KrpStoreKtsReadMt(0, "a.b", nullptr, &size, &lw, &attr, &consumer));
  EXPECT_EQ(1u, KrpStoreKtsDeleteMt(0, "a.b"));
}

TEST(ServiceClient, StatusBlockWithoutServerGives2AndCreatesNothing) {
  krptest::TestEnv env;
  void *addr = nullptr;
  KST_HSHMEM h = nullptr;
  ASSERT_EQ(0u, MtStatusBlockCreate(&addr, &h));
  uint32_t size, lw, attr;
  EXPECT_EQ(2u, KrpStoreKtsReadMt(0, "a.b", nullptr, &size, &lw, &attr, nullptr));
  EXPECT_EQ(2u, KrpStoreKtsDeleteMt(0, "a.b"));
  for (const char *n : {kRequestMutexName, kRequestBlockName, kEngageEventName}) {
    void *p;
    KST_HSHMEM hs;
    KST_HSEM sem;
    EXPECT_EQ(2u, KstOpenSharedMemGlobal(n, &p, &hs)) << n;
    EXPECT_EQ(2u, KstOpenMutexSemGlobal(n, &sem)) << n;
  }
  KstFreeSharedMem(addr, h);
}

// Pack, copy and the runtime report travel to the host; their argument
// checks come first.
TEST(ServiceClient, MaintenanceRequestsReachTheHost) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start());
  const uint32_t before = StatusWord(status::kRequestCounter);
  EXPECT_EQ(0u, dll_KrpPackStore());
  const std::string target = env.root() + "/copy.kts";
  EXPECT_EQ(0u, dll_KrpCopyStore(target.c_str()));
  EXPECT_TRUE(svctest::FileExists(target));
  void *schema = nullptr, *doc = nullptr;
  uint32_t schema_size = 1, doc_size = 1;
  ASSERT_EQ(0u,
            dll_KrpStoreKtsGetRuntimeInfoXML(&schema, &schema_size, &doc, &doc_size, "x.xsl"));
  ASSERT_NE(nullptr, schema);
  ASSERT_NE(nullptr, doc);
  ASSERT_GT(schema_size, 1u);
  ASSERT_GT(doc_size, 1u);
  // Unscrambled and zero-terminated; the document names its stylesheet.
  EXPECT_EQ(0, static_cast<char *>(schema)[schema_size - 1]);
  EXPECT_EQ(0, static_cast<char *>(doc)[doc_size - 1]);
  EXPECT_NE(nullptr, strstr(static_cast<char *>(doc), "x.xsl"));
  EXPECT_EQ('<', static_cast<char *>(schema)[0]);
  KstFreeMem(schema, 0);
  KstFreeMem(doc, 0);
  EXPECT_EQ(before + 3, StatusWord(status::kRequestCounter));
  EXPECT_EQ(0x370013u, dll_KrpStoreKtsGetRuntimeInfo());

  const std::string long_text(260, 'p');
  EXPECT_EQ(87u, dll_KrpCopyStore(nullptr));
  EXPECT_EQ(87u, dll_KrpCopyStore(""));
  EXPECT_EQ(0x37000Fu, dll_KrpCopyStore(long_text.c_str()));
  EXPECT_EQ(87u, dll_KrpStoreKtsGetRuntimeInfoXML(nullptr, &schema_size, &doc, &doc_size, nullptr));
  EXPECT_EQ(0x37000Fu, dll_KrpStoreKtsGetRuntimeInfoXML(&schema, &schema_size, &doc, &doc_size,
                                                        long_text.c_str()));
  EXPECT_EQ(before + 3, StatusWord(status::kRequestCounter));
}

// The host writes the copy with its own rights for any local process: only
// a regular file (or a new one) in a folder inside the product root, never
// through a link; everything else gets 5 and leaves the target as it was.
TEST(ServiceClient, CopyTargetsOutsideTheRootAreRefused) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start());
  const std::string outside = env.dir() + "/outside";
  ASSERT_EQ(0, mkdir(outside.c_str(), 0700));
  const std::string victim = outside + "/victim";
  {
    FILE *f = fopen(victim.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs("keep", f);
    fclose(f);
  }
  const std::string link = env.root() + "/link.kts";
  ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
  const std::string link_dir = env.root() + "/out";
  ASSERT_EQ(0, symlink(outside.c_str(), link_dir.c_str()));
  const std::string sub = env.root() + "/sub";
  ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
  const std::string fifo = env.root() + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  const struct {
    const char *what;
    std::string target;
  } cases[] = {
      {"a folder outside the root", outside + "/copy.kts"},
      {"a file outside the root", victim},
      {"up out of the root", env.root() + "/../outside/up.kts"},
      {"a link to a file outside", link},
      {"a linked folder", link_dir + "/via.kts"},
      {"a folder", sub},
      {"a fifo", fifo},
      {"a relative path", "rel.kts"},
  };
  for (const auto &c : cases) EXPECT_EQ(5u, dll_KrpCopyStore(c.target.c_str())) << c.what;
  char buf[8] = {};
  FILE *f = fopen(victim.c_str(), "r");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(4u, fread(buf, 1, sizeof buf, f));
  fclose(f);
  EXPECT_STREQ("keep", buf);
  EXPECT_FALSE(svctest::FileExists(outside + "/copy.kts"));
  EXPECT_FALSE(svctest::FileExists(outside + "/up.kts"));
  EXPECT_FALSE(svctest::FileExists(outside + "/via.kts"));
  // A folder inside the root is fine.
  EXPECT_EQ(0u, dll_KrpCopyStore((sub + "/copy.kts").c_str()));
  EXPECT_TRUE(svctest::FileExists(sub + "/copy.kts"));
}

}  // namespace
