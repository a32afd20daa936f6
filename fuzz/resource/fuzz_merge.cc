// Arbitrary fragment bytes merged as a buffer into a store served by a host
// in this process.
//
// Input layout: byte 0 chooses the merge, the rest is the fragment file.
//   bits 0-1  policy: 0 defaults (0x1), 1 overwrite (0x2), 2 overwrite
//             (0x80), 3 newer wins (0x4)
//   bit 2     strip prefix "a" (names outside it are refused)
// Every merge puts the new prefix "fz" in front of the names. The delete
// list (0x8) and the recorded prefix (0x1000) are left out: both reach
// names of the fragment's choosing by design.
//
// Properties checked (a violation aborts):
//  - no crash and no leak (the sanitizers);
//  - nothing outside "fz." changes: the store's other objects keep their
//    digests, words and number, whatever the fragment holds;
//  - the temporary file that held the buffer is gone after the call.
// Between inputs everything below "fz." is deleted again.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "krplib.h"
#include "mtclient.h"
#include "names.h"
#include "ts_multi.h"

namespace {

constexpr char kTargetPrefix[] = "fz";
constexpr char kTargetPattern[] = "fz.*";
constexpr uint32_t kPolicies[] = {0x1, 0x2, 0x80, 0x4};
constexpr uint8_t kPolicyMask = 0x3;
constexpr uint8_t kStripBit = 0x4;

void CheckAt(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_merge: check at line %d failed\n", line);
  std::abort();
}
#define Check(ok) CheckAt((ok), __LINE__)

void Write(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  Check(f != nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

void Put(const char *name, uint32_t type, const std::string &value) {
  std::string data(KRP_TYPE_FIELD_SIZE, '\0');
  Check(KrpTypeName(type, data.data(), KRP_TYPE_FIELD_SIZE) == 0);
  data += value;
  Check(KrpStoreKtsWriteMt(0, name, data.data(), static_cast<uint32_t>(data.size()), 1, 0,
                           type) == 0);
}

std::string g_base, g_temp;
// The objects outside the target prefix as they were before any merge.
std::map<std::string, TsObjectInfo> g_outside;

void RemoveFolder() {
  std::error_code ec;
  std::filesystem::remove_all(g_base, ec);
}

// Every object outside "fz." with its information.
std::map<std::string, TsObjectInfo> Outside() {
  std::map<std::string, TsObjectInfo> out;
  void *list = nullptr;
  uint32_t size = 0;
  Check(KrpStoreKtsListObjectsMt(0, "", &list, &size, 0) == 0);
  const uint8_t *p = static_cast<const uint8_t *>(list);
  for (uint32_t pos = 0; list && pos + 16 < size;) {
    uint32_t len;
    memcpy(&len, p + pos, sizeof len);
    Check(len > 16 && pos + len <= size);
    std::string name(reinterpret_cast<const char *>(p + pos + 16));
    if (name.rfind("fz.", 0) != 0) {
      TsObjectInfo info{};
      Check(KrpStoreKtsGetObjectInfoMt(0, name.c_str(), &info) == 0);
      out[name] = info;
    }
    pos += len;
  }
  KstFreeMem(list, 0);
  return out;
}

bool Same(const TsObjectInfo &a, const TsObjectInfo &b) {
  return a.data_size == b.data_size && memcmp(a.digest, b.digest, sizeof a.digest) == 0 &&
         a.attr == b.attr && a.last_wr == b.last_wr && a.consumer == b.consumer;
}

bool TempFolderEmpty() {
  DIR *d = opendir(g_temp.c_str());
  Check(d != nullptr);
  bool empty = true;
  while (dirent *e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = false;
  closedir(d);
  return empty;
}

// Private folders, a host, and objects outside the target prefix that a
// fragment might aim at: an access value and a value of a vendor (which the
// defaults policy's "use_defaults" clearing looks at), and names a stripped
// or unstripped fragment name could resemble. The store holds no
// vendor.V.iso_names outside "fz.": that clearing deletes what the store's
// own list names, so no vendor qualifies and nothing may go.
void StartHost() {
  char templ[] = "/tmp/fuzz_merge-XXXXXX";
  const char *dir = mkdtemp(templ);
  Check(dir != nullptr);
  const std::string base(dir);
  g_base = base;
  g_temp = base + "/temp";
  atexit(RemoveFolder);
  for (const char *sub : {"/objects", "/registry", "/registry/SOFTWARE",
                          "/registry/SOFTWARE/Kestarcorp", "/root", "/temp"})
    mkdir((base + sub).c_str(), 0700);
  Write(base + "/registry/SOFTWARE/Kestarcorp/RootPath", base + "/root");
  setenv("KST_OBJECT_DIR", (base + "/objects").c_str(), 1);
  setenv("KST_REGISTRY", (base + "/registry").c_str(), 1);
  setenv("KST_DEBUG_OUTPUT", "/dev/null", 1);
  setenv("TEMP", g_temp.c_str(), 1);
  KRP_HLIBCTX ctx = nullptr;
  Check(dll_KrpInitializeKrpLib(&ctx) == 0);
  Check(dll_KrpFlagMtClientAsAvailable() == 0);
  Put("a.x", KRT_TEXT, std::string("1\0", 2));
  Put("vendor.v.access", KRT_TEXT, std::string("wr\0", 3));
  Put("vendor.v.x", KRT_TEXT, std::string("keep\0", 5));
  Put("fzz.a", KRT_TEXT, std::string("near\0", 5));
  Put("fz", KRT_TEXT, std::string("the prefix itself\0", 18));
  g_outside = Outside();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool started = [] {
    StartHost();
    return true;
  }();
  (void)started;
  if (size < 2 || size - 1 > UINT32_MAX) return 0;
  const uint32_t flags = kPolicies[data[0] & kPolicyMask];
  const char *strip = (data[0] & kStripBit) ? "a" : nullptr;
  dll_KrpMergeIntoStore(data + 1, nullptr, static_cast<uint32_t>(size - 1), strip, kTargetPrefix,
                        flags);
  Check(TempFolderEmpty());
  const std::map<std::string, TsObjectInfo> now = Outside();
  Check(now.size() == g_outside.size());
  for (const auto &[name, info] : g_outside) {
    auto it = now.find(name);
    Check(it != now.end() && Same(info, it->second));
  }
  uint32_t rc = KrpStoreKtsDeleteMt(0, kTargetPattern);
  Check(rc == 0 || rc == KRP_ERR_NOT_FOUND);
  return 0;
}
