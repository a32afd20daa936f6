// Arbitrary bytes as a store file: the open (header checks, the chunked
// scan, the torn-tail salvage) and reads of whatever it indexed must never
// crash, leak or read out of bounds; the open either succeeds or returns a
// result code.
//
// The first input byte picks the mode: even — secondary (read-only) open;
// odd — read-write open with the salvage flag, then one write and one
// delete. The rest of the input is the file.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "store.h"

namespace {

const std::string &Folder() {
  static std::string folder = [] {
    char templ[] = "/tmp/fuzz_store-XXXXXX";
    const char *dir = mkdtemp(templ);
    return std::string(dir ? dir : "/tmp") + "/";
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const bool secondary = (data[0] & 1) == 0;
  std::string path = Folder() + "f.kts";
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size > 1) std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);

  TsStore *s = nullptr;
  uint32_t flags = secondary ? 0x01000000u : kTsOpenSalvageTail;
  if (StoreInit(&s, Folder().c_str(), "f.kts", nullptr, nullptr, flags) != 0) return 0;

  void *list = nullptr;
  uint32_t list_size = 0;
  if (StoreListObjects(s, "", &list, &list_size, 1) == 0 && list) {
    std::vector<char> buf(1 << 16);
    TsListEntry e{};
    for (uint32_t at = 0; TsListEntryAt(static_cast<const uint8_t *>(list), list_size, at, &e);
         at += e.length) {
      uint32_t n = uint32_t(buf.size()), lw, at_, co;
      StoreRead(s, e.name, buf.data(), &n, &lw, &at_, &co);
    }
    KstFreeMem(list, 0);
  }
  uint32_t n = 64, lw, a, c;
  char small[64];
  StoreRead(s, "*", small, &n, &lw, &a, &c);
  if (!secondary) {
    StoreWrite(s, "fuzz.obj", "value", 5, 1, 0, 2);
    StoreDelete(s, "fuzz.*");
  }
  StoreExit(s);
  return 0;
}
