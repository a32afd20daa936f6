// Every public operation with its n-th allocation failing, for n = 1, 2, ...
// until the operation no longer reaches the armed failure.
//
// One table of operations, one loop. For every n the loop builds the same
// world (a store file from one template, an open store, a list, a request
// block, a host in this process), arms the n-th allocation to fail (in any
// thread: with a host, the server's allocations count too, and the client
// waits for them, so the order is the same in every run), runs the
// operation once and then checks:
//   - the result is 0 or one of the codes the operation documents for a
//     failed allocation (8192, and a few operation-specific ones);
//   - a failed operation changed nothing: the world looks as before it ran
//     (the open store's index, counters, listings and container tests, the
//     file when reopened, the list's chain); run again without a fault it
//     completes;
//   - the end state equals that of a run without any fault, in memory and
//     after the store is closed and opened again;
//   - no block of KstAllocMem is left over once the world is torn down
//     (and, in the ASan build, LeakSanitizer checks the whole process at
//     exit).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "krp_host.h"
#include "krplib.h"
#include "listhelp.h"
#include "names.h"
#include "platform.h"
#include "protocol.h"
#include "store.h"
#include "store_maint.h"
#include "test_hooks.h"
#include "test_support.h"
#include "ts_format.h"

#if defined(__SANITIZE_ADDRESS__)
// The leak check at exit is the point of running this binary under ASan;
// make sure no inherited option switches it off.
extern "C" const char *__asan_default_options() { return "detect_leaks=1"; }
#endif

namespace {

using namespace krp::proto;

constexpr uint32_t kMaxAllocations = 5000;  // an operation allocating more is a fault itself
constexpr uint32_t kReqNo = 77;
const std::string kHuge(400000, 'H');       // above one request piece
const std::string kBig(5000, 'B');          // kept in the file
const std::string kList =                   // five items, serialised
    "00000003abc\r\n00000001B\r\n00000002de\r\n00000004Zulu\r\n00000001a\r\n00000000";

// ---- the world one iteration works on -----------------------------------------

// Runs record their outputs with the runtime heap only: an allocation of the
// test's own through KstAllocMem would take the armed failure.
struct World {
  std::string folder, path, root;
  TsStore *s = nullptr;
  std::string out;  // what a successful run handed back
  KRP_HLIST list = nullptr;
  KRP_HLIBCTX host = nullptr;  // a host in this process: server mode
  std::vector<uint8_t> block, scratch;
  uint8_t status[kStatusBlockSize] = {};
};

uint64_t Fnv(const void *p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const uint8_t *>(p)[i]) * 1099511628211ull;
  return h;
}

// Everything a caller can see of an open store: counters, every object in
// list order with its words and data, listing reads and container tests
// (which walk the group map), and the hash table's entry count.
std::string DumpStore(TsStore *s) {
  if (!s) return "(closed)\n";
  std::ostringstream o;
  o << "v" << s->version << " active " << s->active << " deleted " << s->deleted << " super "
    << s->supersized << " wasted " << s->wasted << " db " << s->db_size << " end " << s->file_end
    << " hashed " << (s->index.hash ? s->index.hash->entry_count : 0u) << "\n";
  void *list = nullptr;
  uint32_t size = 0;
  uint32_t rc = StoreListObjects(s, "", &list, &size, 1);
  o << "list " << rc << " " << size << "\n";
  std::vector<char> buf(1 << 20);
  for (uint32_t at = 0; rc == 0 && at < size;) {
    const auto *p = static_cast<const uint8_t *>(list) + at;
    uint32_t el;
    std::memcpy(&el, p, 4);
    const char *name = reinterpret_cast<const char *>(p + 16);
    uint32_t n = uint32_t(buf.size()), lw, attr, co;
    uint32_t rrc = StoreRead(s, name, buf.data(), &n, &lw, &attr, &co);
    o << name << " rc " << rrc << " size " << n << " attr " << attr << " lw " << lw << " co "
      << co << " data " << Fnv(buf.data(), rrc ? 0 : n) << "\n";
    at += el;
  }
  KstFreeMem(list, 0);
  for (const char *pat : {"*", "vendor.*", "vendor.b.*", "other.*"}) {
    uint32_t n = uint32_t(buf.size()), lw, attr, co;
    uint32_t lrc = StoreRead(s, pat, buf.data(), &n, &lw, &attr, &co);
    if (lrc == 0) KstUnscrambleData(KST_SCRAMBLE_KEY, buf.data(), n);
    o << pat << " rc " << lrc << " [" << std::string(buf.data(), lrc ? 0 : n) << "]\n";
  }
  for (const char *name : {"vendor", "vendor.b", "vendor.new", "nothing"}) {
    TsObjectInfo info;
    o << "info " << name << " " << StoreGetObjectInfo(s, name, &info) << "\n";
  }
  return o.str();
}

// The file as a store opened on its own (secondary mode writes nothing).
std::string DumpFile(const std::string &path) {
  if (access(path.c_str(), F_OK) != 0) return "(no file)\n";
  TsStore *t = nullptr;
  std::string folder = path.substr(0, path.rfind('/') + 1);
  std::string file = path.substr(path.rfind('/') + 1);
  uint32_t rc = StoreInit(&t, folder.c_str(), file.c_str(), nullptr, nullptr, kTsOpenSecondary);
  if (rc) return "open failed " + std::to_string(rc) + "\n";
  std::string d = DumpStore(t);
  StoreExit(t);
  return d;
}

uint32_t OpenStore(World &w, TsStore **s, uint32_t flags = 0) {
  return StoreInit(s, w.folder.c_str(), "t.kts", nullptr, nullptr, flags);
}

// The store as the next open finds it; the world's store stays open (a
// memory-only object does not survive this, as it would not survive a
// close).
std::string Persisted(World &w) {
  const bool was_open = w.s;
  if (w.s) StoreExit(w.s);
  w.s = nullptr;
  TsStore *t = nullptr;
  uint32_t rc = OpenStore(w, &t);
  std::string d = rc ? "reopen failed " + std::to_string(rc) + "\n" : DumpStore(t);
  if (t) StoreExit(t);
  if (was_open) {
    EXPECT_EQ(0u, OpenStore(w, &w.s));
  }
  return d;
}

// The list record's chain, checked link by link, and its serialised form.
std::string DumpList(KRP_HLIST h) {
  if (!h) return "(no list)\n";
  std::ostringstream o;
  o << "count " << h->count << " cursor " << h->cursor_pos << " ro " << h->read_only << " [";
  uint32_t n = 0;
  const KrpListNode *prev = nullptr;
  for (const KrpListNode *p = h->first; p; prev = p, p = p->next, ++n) {
    if (p->prev != prev) o << "(bad prev link)";
    o << std::string(reinterpret_cast<const char *>(p->data), p->len) << "|";
  }
  if (n != h->count || h->last != prev) o << "(chain of " << n << " nodes)";
  o << "]\n";
  return o.str();
}

// ---- the template store ----------------------------------------------------------

// Containers at three depths, data in the index and in the file, a huge
// object, supersized, and deleted records for pack to remove.
std::string BuildTemplate(const std::string &folder) {
  TsStore *s = nullptr;
  EXPECT_EQ(0u, StoreInit(&s, folder.c_str(), "tmpl.kts", nullptr, nullptr, kTsOpenCreate));
  auto put = [&](const char *name, const std::string &v, uint32_t attr = 0) {
    EXPECT_EQ(0u, StoreWrite(s, name, v.data(), uint32_t(v.size()), 0x10203040, attr, 7)) << name;
  };
  put("vendor.a", "first");
  put("vendor.b.c", "see");
  put("vendor.b.d", std::string(300, 'd'));
  put("vendor.e", std::string(1000, 'e'), kTsAttrSupersized);
  put("vendor.gone", "soon deleted");
  put("vendor.huge", kHuge);
  put("other.x", "x");
  put("top", "level");
  put("vendor.a", std::string(400, 'a'));  // moved: the old record is deleted
  EXPECT_EQ(0u, StoreDelete(s, "vendor.gone"));
  StoreExit(s);
  std::string bytes = krptest::ReadFile(folder + "tmpl.kts");
  unlink((folder + "tmpl.kts").c_str());
  return bytes;
}

// ---- the table -----------------------------------------------------------------------

struct Case {
  const char *name;
  std::function<void(World &)> setup;
  std::function<uint32_t(World &)> run;  // records its outputs in w.out on success
  std::function<std::string(World &)> live;
  std::function<std::string(World &)> persisted;  // null: nothing beyond `live`
  std::vector<uint32_t> codes;  // failure results besides 8192
};

// gtest prints a parameter with this.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::string g_template;

void CopyTemplate(World &w) { krptest::WriteFile(w.path, g_template); }
void OpenTemplate(World &w) {
  CopyTemplate(w);
  ASSERT_EQ(0u, OpenStore(w, &w.s));
}
std::string LiveStore(World &w) { return DumpStore(w.s) + "out [" + w.out + "]\n"; }
std::string LiveFile(World &w) { return DumpFile(w.path) + "out [" + w.out + "]\n"; }

uint32_t Write(World &w, const char *name, const std::string &v, uint32_t attr = 0) {
  return StoreWrite(w.s, name, v.data(), uint32_t(v.size()), 0x55667788, attr, 9);
}

// Reads into w.out: size, words and the data's hash.
uint32_t ReadOut(World &w, const char *name, bool unscramble = false) {
  std::vector<char> buf(1 << 20);
  uint32_t n = uint32_t(buf.size()), lw, attr, co;
  uint32_t rc = StoreRead(w.s, name, buf.data(), &n, &lw, &attr, &co);
  if (rc == 0) {
    if (unscramble) KstUnscrambleData(KST_SCRAMBLE_KEY, buf.data(), n);
    w.out = std::to_string(n) + " " + std::to_string(Fnv(buf.data(), n));
  }
  return rc;
}

// The read-multiple block: two data items (one too large for the block's
// first capacity), one information-only item and an unknown name.
std::vector<uint8_t> ReadMultipleBlock(uint32_t capacity) {
  std::vector<uint8_t> b(capacity, 0);
  auto put = [&](uint32_t off, uint32_t v) { std::memcpy(&b[off], &v, 4); };
  const char *names[] = {"vendor.b.d", "vendor.huge", "vendor.a", "nothing"};
  uint32_t at = 16;
  for (int i = 0; i < 4; ++i) {
    uint32_t il = 32 + uint32_t(std::strlen(names[i])) + 1;
    il = (il + 3) & ~3u;
    put(at, kTsItemMark);
    put(at + 4, il);
    put(at + 12, i == 2 ? 0xFFFFFFFFu : 0);
    std::memcpy(&b[at + 32], names[i], std::strlen(names[i]) + 1);
    at += il;
  }
  put(0, kTsBlockMark);
  put(4, 4);
  put(8, at);
  return b;
}

uint32_t ReadMultiple(World &w) {
  std::vector<uint8_t> b = ReadMultipleBlock(1 << 20);
  uint32_t rc = StoreReadMultiple(w.s, uint32_t(b.size()), b.data());
  if (rc == 0) w.out = std::to_string(Fnv(b.data(), b.size()));
  return rc;
}

// ---- direct access ----

uint32_t ForceRead(World &w, const char *name) {
  void *data = reinterpret_cast<void *>(1);
  uint32_t size = 1, lw = 1, attr = 1, co = 1;
  uint32_t rc = StoreForceRead(w.path.c_str(), name, &data, &size, &lw, &attr, &co);
  if (rc == 0) {
    w.out = std::to_string(size) + " " + std::to_string(lw) + " " + std::to_string(attr) + " " +
            std::to_string(co) + " " + std::to_string(Fnv(data, size));
  } else {
    EXPECT_EQ(nullptr, data) << "a failed force read hands out no block";
  }
  KstFreeMem(data, 0);
  return rc;
}

uint32_t ForceWrite(World &w, const char *name, const std::string &v) {
  uint32_t size = uint32_t(v.size()), lw = 0x01020304, attr = 0, co = 5;
  return StoreForceWrite(w.path.c_str(), name, v.data(), &size, &lw, &attr, &co);
}

// ---- the server's dispatch ----

void OpenDispatch(World &w) {
  OpenTemplate(w);
  w.block.assign(kRequestBlockSize, 0);
  w.scratch.assign(kRequestBlockSize, 0);
}

// A piece handed to the client: the client takes it (reads) or leaves the
// block as it is (the next piece of a write is then the same bytes again).
bool NextPiece(void *) { return true; }

uint32_t Serve(World &w) {
  KrpLibContext ctx{};
  ctx.status = w.status;
  ctx.root = w.root.data();
  KrpDispatchHarness h{nullptr, w.s, NextPiece, nullptr};
  uint32_t served = KrpServeOneRequest(&ctx, w.block.data(), w.scratch.data(), &h);
  EXPECT_EQ(0u, served) << "every request is answered";
  return served;
}

uint32_t RequestA(World &w, uint32_t code, const char *name, const std::string &data = "",
                  uint32_t size = 0) {
  uint8_t *b = w.block.data();
  std::memset(b, 0, layout_single::kData);
  Store32(b, layout_single::kCode, code);
  std::snprintf(reinterpret_cast<char *>(b + layout_single::kName), kNameFieldSize, "%s", name);
  Store32(b, layout_single::kSize, size ? size : uint32_t(data.size()));
  Store32(b, layout_single::kLastWr, 0x0A0B0C0D);
  Store32(b, layout_single::kConsumer, 3);
  Store32(b, layout_single::kResult, kNotProcessed);
  Store32(b, layout_single::kRequestNo, kReqNo);
  std::memcpy(b + layout_single::kData, data.data(), data.size());
  if (Serve(w)) return kNotProcessed;
  EXPECT_EQ(kReqNo, Load32(b, layout_single::kReplyNo));
  uint32_t rc = Load32(b, layout_single::kResult);
  if (rc == 0) {
    uint32_t n = Load32(b, layout_single::kSize);
    uint32_t shown = n < layout_single::kPiece ? n : layout_single::kPiece;
    w.out = std::to_string(n) + " " + std::to_string(Fnv(b + layout_single::kData, shown));
  }
  return rc;
}

uint32_t RequestReadMultiple(World &w) {
  uint8_t *b = w.block.data();
  std::memset(b, 0, layout_multi::kData);
  std::vector<uint8_t> req = ReadMultipleBlock(4096);
  uint32_t len;
  std::memcpy(&len, &req[8], 4);
  std::memcpy(b + layout_multi::kData, req.data(), len);
  Store32(b, layout_multi::kCode, kReqReadMultiple);
  Store32(b, layout_multi::kSize, len);
  Store32(b, layout_multi::kResult, kNotProcessed);
  Store32(b, layout_multi::kRequestNo, kReqNo);
  if (Serve(w)) return kNotProcessed;
  EXPECT_EQ(kReqNo, Load32(b, layout_multi::kReplyNo));
  uint32_t rc = Load32(b, layout_multi::kResult);
  if (rc == 0) w.out = std::to_string(Load32(b, layout_multi::kSize));
  return rc;
}

uint32_t RequestRuntimeInfo(World &w) {
  uint8_t *b = w.block.data();
  std::memset(b, 0, layout_report::kData);
  Store32(b, layout_report::kCode, kReqRuntimeInfo);
  Store32(b, layout_report::kResult, kNotProcessed);
  Store32(b, layout_report::kRequestNo, kReqNo);
  if (Serve(w)) return kNotProcessed;
  EXPECT_EQ(kReqNo, Load32(b, layout_report::kReplyNo));
  return Load32(b, layout_report::kResult);  // the texts carry times: only the result is compared
}

// ---- the list helper ----

void NewList(World &w) {
  ASSERT_EQ(0u, dll_KrpListhelpInit(&w.list, nullptr));
  ASSERT_EQ(0u, dll_KrpListhelpAddList(w.list, kList.data(), uint32_t(kList.size())));
}
std::string LiveList(World &w) { return DumpList(w.list) + "out [" + w.out + "]\n"; }

// Creating a list from a buffer: a failed run leaves no list behind.
uint32_t CreateList(World &w, bool range) {
  KRP_HLIST h = nullptr;
  uint32_t rc = dll_KrpListhelpInit(&h, nullptr);
  if (rc == 0) {
    rc = range ? dll_KrpListhelpAddListRange(h, kList.data(), uint32_t(kList.size()), 2, 3)
               : dll_KrpListhelpAddList(h, kList.data(), uint32_t(kList.size()));
  }
  if (rc == 0) {
    w.list = h;
  } else if (h) {
    EXPECT_EQ(0u, dll_KrpListhelpExit(&h));
  }
  return rc;
}

uint32_t Serialise(World &w) {
  uint32_t size = 0;
  uint32_t rc = dll_KrpListhelpGetList(w.list, nullptr, &size);
  std::string buf(size, '\0');
  if (rc == 0) rc = dll_KrpListhelpGetList(w.list, buf.data(), &size);
  if (rc == 0) w.out = buf;
  return rc;
}

uint32_t AppendToResource(World &w) {
  void *out = nullptr;
  uint32_t size = 0;
  uint32_t rc = dll_KrpListhelpAddListElementToResource(kList.data(), uint32_t(kList.size()),
                                                        "new", 3, &out, &size);
  if (rc == 0) w.out.assign(static_cast<char *>(out), size);
  KstFreeMem(out, 0);
  return rc;
}

// ---- the resource layer in direct mode (no server runs) ----

std::string g_resources;  // the default store's bytes: resource values

// Stored values as the resource layer keeps them: the type-name field, the
// value, scrambled; the type code in Consumer.
std::string BuildResources(const std::string &folder) {
  TsStore *s = nullptr;
  EXPECT_EQ(0u, StoreInit(&s, folder.c_str(), "res.kts", nullptr, nullptr, kTsOpenCreate));
  auto put = [&](const char *name, uint32_t type, const std::string &value) {
    std::string v(KRP_TYPE_FIELD_SIZE, '\0');
    EXPECT_EQ(0u, KrpTypeName(type, v.data(), v.size()));
    v += value;
    KstScrambleData(KST_SCRAMBLE_KEY, v.data(), uint32_t(v.size()));
    EXPECT_EQ(0u, StoreWrite(s, name, v.data(), uint32_t(v.size()), 1000, 0x20, type)) << name;
  };
  put("vendor.s", KRT_TEXT, std::string("a text", 7));
  put("default.d", KRT_TEXT, std::string("from default", 13));
  put("vendor.big", KRT_BYTEARRAY, std::string(3000, 'b'));
  put("vendor.l", KRT_LIST, "00000001a\r\n00000002bc\r\n00000000");
  StoreExit(s);
  std::string bytes = krptest::ReadFile(folder + "res.kts");
  unlink((folder + "res.kts").c_str());
  return bytes;
}

void DirectMode(World &w) {
  std::filesystem::create_directories(w.root + "resources");
  krptest::WriteFile(w.root + "resources/store.kts", g_resources);
  dll_KrpRelease();  // the process locale is read again by the next call
}
// A host in this process serves the default store to every process.
void ServerMode(World &w) {
  DirectMode(w);
  ASSERT_EQ(0u, dll_KrpInitializeKrpLib(&w.host));
  ASSERT_EQ(0u, dll_KrpFlagMtClientAsAvailable());
}
std::string LiveDefaultStore(World &w) {
  // The host holds the file: only what the caller saw counts then.
  if (w.host) return "out [" + w.out + "]\n";
  return DumpFile(w.root + "resources/store.kts") + "out [" + w.out + "]\n";
}

uint32_t GetAlloc(World &w, const char *name) {
  void *data = nullptr;
  uint32_t size = 0, type = 0;
  KrpAttributes attrs{0, 0};
  char access[3] = {};
  uint32_t rc = dll_KrpGetResourceAlloc(name, &size, &data, &type, &attrs, access);
  if (rc == 0) {
    w.out = std::to_string(size) + " " + std::to_string(type) + " " +
            std::to_string(attrs.attributes) + " " + std::to_string(Fnv(data, size));
  } else {
    EXPECT_EQ(nullptr, data) << "a failed read hands out no block";
  }
  dll_KrpFreeMem(data);
  return rc;
}

uint32_t GetString(World &w, const char *name) {
  char buf[64];
  uint32_t size = sizeof buf;
  uint32_t rc = dll_KrpGetString(name, &size, buf);
  if (rc == 0) w.out.assign(buf, size);
  return rc;
}

const std::vector<Case> &Cases() {
  static const std::vector<Case> cases = {
      // ---- store open ----
      {"StoreInitExisting", CopyTemplate,
       [](World &w) { return OpenStore(w, &w.s); }, LiveStore, Persisted, {}},
      {"StoreInitFresh", [](World &) {},
       [](World &w) { return OpenStore(w, &w.s); }, LiveStore, Persisted, {}},
      // The salvage is a repair complete in itself (tail saved, file cut,
      // both synced): an open that fails after it leaves the store repaired,
      // as the open that follows would. Only the end state counts it.
      {"StoreInitSalvagingATornTail",
       [](World &w) {
         // The first 100 bytes of a record appended: a torn last append.
         krptest::WriteFile(w.path, g_template + g_template.substr(kTsFileHeaderLenV4, 100));
       },
       [](World &w) { return OpenStore(w, &w.s, kTsOpenSalvageTail); }, LiveStore,
       [](World &w) {
         return Persisted(w) + "torn " +
                std::to_string(krptest::ReadFile(w.folder + "t.torn").size());
       },
       {}},
      {"StoreInitCreateOverExisting", CopyTemplate,
       [](World &w) { return OpenStore(w, &w.s, kTsOpenCreate); }, LiveStore, Persisted, {}},
      // ---- write ----
      {"WriteSmallNewInNewContainer", OpenTemplate,
       [](World &w) { return Write(w, "vendor.new.x", "twenty bytes of data"); }, LiveStore,
       Persisted, {}},
      {"WriteSmallNewInExistingContainer", OpenTemplate,
       [](World &w) { return Write(w, "vendor.b.f", "eff"); }, LiveStore, Persisted, {}},
      {"WriteLargeNew", OpenTemplate, [](World &w) { return Write(w, "zz.big", kHuge); },
       LiveStore, Persisted, {}},
      {"WriteSmallReplacingInPlace", OpenTemplate,
       [](World &w) { return Write(w, "vendor.b.c", "sea"); }, LiveStore, Persisted, {}},
      {"WriteLargeReplacingMoved", OpenTemplate,
       [](World &w) { return Write(w, "vendor.b.d", kBig); }, LiveStore, Persisted, {}},
      {"WriteMemoryOnlyNew", OpenTemplate,
       [](World &w) { return Write(w, "mem.only", kBig, kTsAttrMemoryOnly); }, LiveStore,
       Persisted, {}},
      // ---- read, listing read, read multiple ----
      {"ReadFromFile", OpenTemplate, [](World &w) { return ReadOut(w, "vendor.huge"); },
       LiveStore, Persisted, {}},
      {"ListingRead", OpenTemplate, [](World &w) { return ReadOut(w, "vendor.*", true); },
       LiveStore, Persisted, {}},
      {"ListingReadOfAll", OpenTemplate, [](World &w) { return ReadOut(w, "*", true); },
       LiveStore, Persisted, {}},
      {"ReadMultiple", OpenTemplate, ReadMultiple, LiveStore, Persisted, {}},
      // ---- delete ----
      {"DeleteOne", OpenTemplate, [](World &w) { return StoreDelete(w.s, "vendor.b.c"); },
       LiveStore, Persisted, {}},
      {"DeleteByPrefix", OpenTemplate, [](World &w) { return StoreDelete(w.s, "vendor.b.*"); },
       LiveStore, Persisted, {}},
      // ---- pack and copy: pack documents 0x370004 for a backup it could not make ----
      {"Pack", OpenTemplate, [](World &w) { return StorePackStoreFile(w.s); }, LiveStore,
       Persisted, {TS_ERR_PACK_WRITE}},
      {"Copy", OpenTemplate,
       [](World &w) {
         return StoreCopyStoreFile(w.s, (w.folder + "copy.kts").c_str());
       },
       [](World &w) { return LiveStore(w) + "copy " + DumpFile(w.folder + "copy.kts"); },
       Persisted, {}},
      // ---- direct access ----
      {"ForceRead", CopyTemplate, [](World &w) { return ForceRead(w, "vendor.huge"); }, LiveFile,
       nullptr, {}},
      {"ForceReadListing", CopyTemplate, [](World &w) { return ForceRead(w, "vendor.*"); },
       LiveFile, nullptr, {}},
      {"ForceWriteNew", CopyTemplate, [](World &w) { return ForceWrite(w, "direct.new", "dn"); },
       LiveFile, nullptr, {}},
      {"ForceWriteReplacingMoved", CopyTemplate,
       [](World &w) { return ForceWrite(w, "vendor.b.d", kBig); }, LiveFile, nullptr, {}},
      // ---- the server's dispatch ----
      {"DispatchRead", OpenDispatch, [](World &w) { return RequestA(w, kReqRead, "vendor.e"); },
       LiveStore, Persisted, {}},
      {"DispatchReadInPieces", OpenDispatch,
       [](World &w) { return RequestA(w, kReqRead, "vendor.huge"); }, LiveStore, Persisted, {}},
      {"DispatchWrite", OpenDispatch,
       [](World &w) { return RequestA(w, kReqWrite, "vendor.b.n", "new value"); }, LiveStore,
       Persisted, {}},
      {"DispatchWriteInPieces", OpenDispatch,
       [](World &w) {
         return RequestA(w, kReqWrite, "vendor.b.d", std::string(layout_single::kPiece, 'p'),
                         layout_single::kPiece + 1000);
       },
       LiveStore, Persisted, {}},
      {"DispatchDelete", OpenDispatch,
       [](World &w) { return RequestA(w, kReqDelete, "vendor.b.*"); }, LiveStore, Persisted, {}},
      {"DispatchListObjects", OpenDispatch,
       [](World &w) { return RequestA(w, kReqListObjects, "vendor."); }, LiveStore, Persisted,
       {}},
      {"DispatchGetInfo", OpenDispatch,
       [](World &w) { return RequestA(w, kReqGetInfo, "vendor.a"); }, LiveStore, Persisted, {}},
      {"DispatchReadMultiple", OpenDispatch, RequestReadMultiple, LiveStore, Persisted, {}},
      {"DispatchPack", OpenDispatch, [](World &w) { return RequestA(w, kReqPack, ""); },
       LiveStore, Persisted, {TS_ERR_PACK_WRITE}},
      {"DispatchCopy", OpenDispatch,
       [](World &w) {
         std::string target = w.root + "copy.kts";
         return RequestA(w, kReqCopy, "", target + std::string(1, '\0'));
       },
       [](World &w) { return LiveStore(w) + "copy " + DumpFile(w.root + "copy.kts"); },
       Persisted, {}},
      {"DispatchRuntimeInfo", OpenDispatch, RequestRuntimeInfo, LiveStore, Persisted, {}},
      // ---- the resource layer, reading the store file directly ----
      {"ResourceGetStringDirect", DirectMode, [](World &w) { return GetString(w, "vendor.s"); },
       LiveDefaultStore, nullptr, {}},
      {"ResourceGetStringFromDefaultDirect", DirectMode,
       [](World &w) { return GetString(w, "vendor.d"); }, LiveDefaultStore, nullptr, {}},
      {"ResourceGetAllocDirect", DirectMode, [](World &w) { return GetAlloc(w, "vendor.big"); },
       LiveDefaultStore, nullptr, {}},
      {"ResourceGetListDirect", DirectMode,
       [](World &w) {
         char buf[64];
         uint32_t size = sizeof buf;
         uint32_t rc = dll_KrpGetList("vendor.l", &size, buf);
         if (rc == 0) w.out.assign(buf, size);
         return rc;
       },
       LiveDefaultStore, nullptr, {}},
      // ---- the same through a host in this process: client and server ----
      {"ResourceGetStringThroughServer", ServerMode,
       [](World &w) { return GetString(w, "vendor.s"); }, LiveDefaultStore, nullptr, {}},
      {"ResourceGetStringFromDefaultThroughServer", ServerMode,
       [](World &w) { return GetString(w, "vendor.d"); }, LiveDefaultStore, nullptr, {}},
      {"ResourceGetAllocThroughServer", ServerMode,
       [](World &w) { return GetAlloc(w, "vendor.big"); }, LiveDefaultStore, nullptr, {}},
      {"ResourceRuntimeReportThroughServer", ServerMode,
       [](World &) {
         void *schema = nullptr, *doc = nullptr;
         uint32_t n1 = 0, n2 = 0;
         uint32_t rc = dll_KrpStoreKtsGetRuntimeInfoXML(&schema, &n1, &doc, &n2, nullptr);
         if (rc != 0) {
           EXPECT_TRUE(!schema && !doc) << "a failed report hands out no block";
         }
         dll_KrpFreeMem(schema);
         dll_KrpFreeMem(doc);
         return rc;  // the texts carry times: only the result is compared
       },
       LiveDefaultStore, nullptr, {}},
      // ---- the host's start: context, thread, named objects, store ----
      {"HostStart", DirectMode,
       [](World &w) {
         uint32_t rc = dll_KrpInitializeKrpLib(&w.host);
         if (rc != 0) {
           EXPECT_EQ(nullptr, w.host) << "a failed start hands out no context";
         }
         return rc;
       },
       [](World &w) {
         return "host " + std::to_string(w.host != nullptr) + " available 0x" +
                std::to_string(dll_KrpIsMtAvailable()) + "\n";
       },
       nullptr, {}},
      // ---- the list helper ----
      {"ListCreateFromBuffer", [](World &) {}, [](World &w) { return CreateList(w, false); },
       LiveList, nullptr, {}},
      {"ListCreateFromRange", [](World &) {}, [](World &w) { return CreateList(w, true); },
       LiveList, nullptr, {}},
      {"ListInsertItem", NewList,
       [](World &w) { return dll_KrpListhelpInsertItem(w.list, 1, "inserted", 8); }, LiveList,
       nullptr, {}},
      {"ListAppendItem", NewList,
       [](World &w) { return dll_KrpListhelpInsertItem(w.list, UINT32_MAX, "last", 4); },
       LiveList, nullptr, {}},
      {"ListChangeItem", NewList,
       [](World &w) { return dll_KrpListhelpChangeItem(w.list, 2, "changed", 7); }, LiveList,
       nullptr, {}},
      {"ListSortText", NewList, [](World &w) { return dll_KrpListhelpSort(w.list, 3); },
       LiveList, nullptr, {}},
      {"ListSortWide", NewList, [](World &w) { return dll_KrpListhelpSort(w.list, 4); },
       LiveList, nullptr, {}},
      {"ListSerialise", NewList, Serialise, LiveList, nullptr, {}},
      {"ListAppendToResource", [](World &) {}, AppendToResource, LiveList, nullptr, {}},
  };
  return cases;
}

// ---- the loop ---------------------------------------------------------------------------

class EveryAllocation : public ::testing::TestWithParam<Case> {
 protected:
  // One environment for every case of the process: the platform keeps its
  // object folder and the client side its connection for the process's
  // life, so the cases that start a host must all meet the same folders.
  static void SetUpTestSuite() {
    env_ = new krptest::TestEnv;
    setenv("TRACELIB_FILE", (env_->dir() + "/log.txt").c_str(), 1);
    KstTestResetRootCache();
    g_template = BuildTemplate(env_->dir() + "/");
    g_resources = BuildResources(env_->dir() + "/");
  }
  static void TearDownTestSuite() {
    unsetenv("TRACELIB_FILE");
    delete env_;
    env_ = nullptr;
  }

  // A fresh world in a folder of its own.
  void Build(World &w) {
    static int n = 0;
    w.folder = env_->dir() + "/w" + std::to_string(++n) + "/";
    w.path = w.folder + "t.kts";
    w.root = env_->root();
    if (w.root.back() != '/') w.root += '/';
    std::filesystem::remove_all(w.folder);
    ASSERT_TRUE(std::filesystem::create_directories(w.folder));
    unlink((w.root + "copy.kts").c_str());
  }
  static void TearDownWorld(World &w) {
    if (w.s) {
      EXPECT_EQ(0u, StoreExit(w.s));
    }
    w.s = nullptr;
    if (w.list) {
      EXPECT_EQ(0u, dll_KrpListhelpExit(&w.list));
    }
    if (w.host) {
      EXPECT_EQ(0u, dll_KrpUninitializeKrpLib(&w.host));
    }
    w.host = nullptr;
  }
  std::string Persist(const Case &c, World &w) { return c.persisted ? c.persisted(w) : ""; }

  static krptest::TestEnv *env_;
};

krptest::TestEnv *EveryAllocation::env_ = nullptr;

TEST_P(EveryAllocation, FailsCleanlyAndLeavesTheStateWholeAtEveryPoint) {
  const Case &c = GetParam();

  // The run without faults gives the states to compare with.
  std::string before_live, after_live, after_persisted;
  {
    World w;
    Build(w);
    c.setup(w);
    before_live = c.live(w);
    ASSERT_EQ(0u, c.run(w)) << "without faults";
    after_live = c.live(w);
    after_persisted = Persist(c, w);
    TearDownWorld(w);
  }
  ASSERT_NE(before_live, "");

  uint32_t n = 1;
  for (; n <= kMaxAllocations; ++n) {
    SCOPED_TRACE(std::string(c.name) + ", allocation " + std::to_string(n) + " fails");
    const int64_t blocks = KstTestAllocLive();
    World w;
    Build(w);
    c.setup(w);
    KstTestAllocFailAt(n);
    const uint32_t rc = c.run(w);
    const bool reached = !KstTestAllocArmed();
    KstTestAllocFailAt(0);
    if (!reached) {
      EXPECT_EQ(0u, rc) << "no allocation failed";
    } else if (rc != 0) {
      bool documented = rc == KST_HEAP_FULL;
      for (uint32_t code : c.codes) documented |= rc == code;
      EXPECT_TRUE(documented) << "result 0x" << std::hex << rc;
      EXPECT_EQ(before_live, c.live(w)) << "a failed operation changed the state";
      EXPECT_EQ(0u, c.run(w)) << "run again without a fault";
    }
    EXPECT_EQ(after_live, c.live(w));
    EXPECT_EQ(after_persisted, Persist(c, w));
    TearDownWorld(w);
    EXPECT_EQ(blocks, KstTestAllocLive()) << "blocks of KstAllocMem left over";
    if (!reached || HasFailure()) break;
  }
  EXPECT_LE(n, kMaxAllocations) << "the operation never stopped allocating";
  RecordProperty("allocations", int(n - 1));
}

INSTANTIATE_TEST_SUITE_P(AllocFault, EveryAllocation, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case> &i) { return i.param.name; });

}  // namespace
