// Arbitrary input lists and counts through the multiple get, against a host
// in this process that holds a few resources (so the reply walk and the
// output list are exercised, not only the parsing).
//
// Input layout: bytes 0-3 the announced count (little-endian), byte 4 bit 0
// the attribute form, then the list. The list is a heap block of exactly its
// size, so the address sanitizer sees any read past its end. A count below
// 0x20000000 is taken modulo 4097 (a larger table would only make the run
// slow); a larger one is kept as it is: its name table does not fit 32 bits,
// so it must be refused with 8192 without any allocation.
//
// Properties checked (a violation aborts):
//  - the result is 0, 87, 0x37000F or 8192, and the output pointer is null
//    on failure;
//  - on success the output holds exactly one item per announced name, each
//    followed by CR LF, then "00000000\r\n" and a zero byte, and the size
//    out counts everything but that zero byte;
//  - every item of the attribute form is a record of at least 24 bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "krplib.h"
#include "list_format.h"
#include "mtclient.h"
#include "names.h"

namespace {

constexpr uint32_t kSmallCountLimit = 0x20000000u;
constexpr uint32_t kSmallCountModulus = 4097;

void Check(bool ok) {
  if (!ok) std::abort();
}

void Write(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  Check(f != nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

void Put(const char *name, uint32_t type, const std::string &value) {
  std::string data(16, '\0');
  Check(KrpTypeName(type, data.data(), 16) == 0);
  data += value;
  Check(KrpStoreKtsWriteMt(0, name, data.data(), static_cast<uint32_t>(data.size()), 1, 0,
                           type) == 0);
}

std::string g_base;  // the private folder, removed when the process exits

void RemoveFolder() {
  std::error_code ec;
  std::filesystem::remove_all(g_base, ec);
}

// A private object, registry and root folder, a host, and a few resources
// (among them one shorter than its type-name field).
void StartHost() {
  char templ[] = "/tmp/fuzz_multi_get-XXXXXX";
  const char *dir = mkdtemp(templ);
  Check(dir != nullptr);
  const std::string base(dir);
  g_base = base;
  atexit(RemoveFolder);
  for (const char *sub : {"/objects", "/registry", "/registry/SOFTWARE",
                          "/registry/SOFTWARE/Kestarcorp", "/root"})
    mkdir((base + sub).c_str(), 0700);
  Write(base + "/registry/SOFTWARE/Kestarcorp/RootPath", base + "/root");
  setenv("KST_OBJECT_DIR", (base + "/objects").c_str(), 1);
  setenv("KST_REGISTRY", (base + "/registry").c_str(), 1);
  setenv("KST_DEBUG_OUTPUT", "/dev/null", 1);
  KRP_HLIBCTX ctx = nullptr;
  Check(dll_KrpInitializeKrpLib(&ctx) == 0);
  Check(dll_KrpFlagMtClientAsAvailable() == 0);
  Put("vendor.a", KRT_TEXT, "1");
  Put("default.b", KRT_TEXT, "22");
  Put("a.b", KRT_BYTEARRAY, std::string("\0\1\2", 3));
  Put("default.c", KRT_INTEGER, "7");
  Put("e.empty", KRT_TEXT, "");
  char raw[3] = {'x', 'y', 'z'};
  Check(KrpStoreKtsWriteMt(0, "s.short", raw, 3, 1, 0, KRT_TEXT) == 0);
}

void CheckOutput(const uint8_t *out, uint32_t size, uint32_t count, bool attrs) {
  uint64_t pos = 0;
  for (uint32_t i = 0; i < count; ++i) {
    Check(pos + KRP_LIST_LENGTH_FIELD <= size);
    const uint32_t len = KrpListDecodeLength(out + pos);
    Check(len >= 1 && (!attrs || len >= 24));
    pos += KRP_LIST_LENGTH_FIELD + len;
    Check(pos + 2 <= size && out[pos] == '\r' && out[pos + 1] == '\n');
    pos += 2;
  }
  Check(pos + 10 == size && memcmp(out + pos, "00000000\r\n", 10) == 0 && out[size] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool started = [] {
    StartHost();
    return true;
  }();
  (void)started;
  if (size < 5 || size - 5 > UINT32_MAX) return 0;
  uint32_t count = 0;
  for (int i = 3; i >= 0; --i) count = count * 256 + data[i];
  if (count < kSmallCountLimit) count %= kSmallCountModulus;
  const bool attrs = data[4] & 1;
  const size_t n = size - 5;
  std::unique_ptr<uint8_t[]> list(new uint8_t[n ? n : 1]);
  if (n) memcpy(list.get(), data + 5, n);
  uint32_t list_size = static_cast<uint32_t>(n);
  void *out = reinterpret_cast<void *>(1);
  const uint32_t rc =
      attrs ? dll_KrpGetMultipleResourcesWithAttributes(list.get(), count, &list_size, &out)
            : dll_KrpGetMultipleByList(list.get(), count, &list_size, &out);
  if (rc != 0) {
    Check(out == nullptr);
    Check(rc == KRP_ERR_INVALID_PARAMETER || rc == KRP_ERR_NAME_TOO_LONG ||
          rc == KRP_ERR_HEAP_FULL || rc == KRP_ERR_GENERAL);
    return 0;
  }
  Check(out != nullptr);
  CheckOutput(static_cast<uint8_t *>(out), list_size, count, attrs);
  dll_KrpFreeMem(out);
  return 0;
}
