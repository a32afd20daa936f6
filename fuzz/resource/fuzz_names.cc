// Arbitrary names, locales and capacities through the name handling: the
// lookup names of one request, default names, type names and the joining of
// name parts.
//
// Input layout: byte 0 the request type (low 4 bits), bytes 1-2 the join
// capacity (little-endian, below 1024), bytes 3-5 the locale, bytes 6-8 the
// current locale, then the name, a 0xFF byte, and the part to join (the
// destination of the join is the name). Every buffer is a heap block of
// exactly its size, so the address sanitizer sees any access past its end.
//
// Properties checked (a violation aborts):
//  - every slot and the pattern are terminated inside their buffer, and a
//    failure leaves them all empty;
//  - the plain slot is the name without its "kts:" prefix;
//  - separate buffers per output give the same names as the lookup set;
//  - a successful join equals the joined name computed independently.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "krplib.h"
#include "names.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::unique_ptr<char[]> HeapCopy(const uint8_t *p, size_t n, bool terminate) {
  std::unique_ptr<char[]> out(new char[n + (terminate ? 1 : 0)]);
  if (n) std::memcpy(out.get(), p, n);
  if (terminate) out[n] = '\0';
  return out;
}

bool Terminated(const char *buf) { return strnlen(buf, KRP_NAME_BUF) < KRP_NAME_BUF; }

// The join, written plainly over std::string.
std::string ExpectedJoin(std::string dest, std::string part) {
  if (dest.size() > 9999) dest.resize(9999);
  size_t skip = part.find_first_not_of('.');
  part = skip == std::string::npos ? std::string() : part.substr(skip);
  if (part.size() > 9999) part.resize(9999);
  while (!dest.empty() && dest.back() == '.') dest.pop_back();
  if (part.empty()) return dest;
  return dest.empty() ? part : dest + "." + part;
}

void FuzzLookup(const char *name, uint32_t type, const char *locale, const char *current) {
  std::unique_ptr<KrpLookupNames> set(new KrpLookupNames);
  std::memset(set.get(), 0x5A, sizeof *set);
  uint32_t rc = KrpBuildLookupSet(name, type, locale, current, set.get());
  for (const auto &slot : set->slots) Check(Terminated(slot));
  Check(Terminated(set->pattern));
  if (rc != 0) {
    for (const auto &slot : set->slots) Check(slot[0] == '\0');
    Check(set->pattern[0] == '\0');
  } else {
    const char *rest = std::strncmp(name, "kts:", 4) == 0 ? name + 4 : name;
    Check(std::strcmp(set->slots[KRP_SLOT_PLAIN], rest) == 0);
  }

  // The same names built into separate, exactly sized blocks.
  std::unique_ptr<char[]> localized(new char[KRP_NAME_BUF]);
  std::unique_ptr<char[]> plain(new char[KRP_NAME_BUF]);
  std::unique_ptr<char[]> pattern(new char[KRP_NAME_BUF]);
  uint32_t rc2 = KrpBuildLookupNames(name, type, locale, current, localized.get(), plain.get(),
                                     pattern.get());
  Check(rc2 == rc);
  if (rc) return;
  Check(std::strcmp(localized.get(), set->slots[KRP_SLOT_LOCALIZED]) == 0);
  Check(std::strcmp(pattern.get(), set->pattern) == 0);
  std::unique_ptr<char[]> def(new char[KRP_NAME_BUF]);
  Check(KrpMakeDefaultName(plain.get(), def.get()) == 0);
  Check(Terminated(def.get()));
  // The default name of any name, also one that is not a vendor name.
  std::unique_ptr<char[]> def2(new char[KRP_NAME_BUF]);
  Check(KrpMakeDefaultName(name, def2.get()) == 0);
  Check(Terminated(def2.get()));
}

void FuzzJoin(const uint8_t *dest_bytes, size_t dest_len, const char *part, uint32_t capacity) {
  if (capacity == 0) {
    char one = 'x';
    Check(dll_KrpResourceStringCat(&one, 0, part) == 87);
    return;
  }
  // The destination fills the buffer from the start; it is terminated only
  // when it fits.
  std::unique_ptr<char[]> dest(new char[capacity]);
  std::memset(dest.get(), 'q', capacity);
  size_t n = dest_len < capacity ? dest_len : capacity;
  std::memcpy(dest.get(), dest_bytes, n);
  if (n < capacity) dest[n] = '\0';
  size_t before_len = strnlen(dest.get(), capacity);
  std::string before(dest.get(), before_len);
  uint32_t rc = dll_KrpResourceStringCat(dest.get(), capacity, part);
  if (before_len == capacity) {
    Check(rc == 87);
    return;
  }
  Check(rc == 0 || rc == 0x1005);
  size_t after_len = strnlen(dest.get(), capacity);
  Check(after_len < capacity);
  std::string expected = ExpectedJoin(before, part);
  if (rc == 0) Check(std::string(dest.get(), after_len) == expected);
  else Check(expected.size() + 1 > capacity);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 9) return 0;
  const uint32_t type = data[0] & 15;
  const uint32_t capacity = (data[1] | (data[2] << 8)) & 1023;
  std::unique_ptr<char[]> locale = HeapCopy(data + 3, 3, false);
  std::unique_ptr<char[]> current = HeapCopy(data + 6, 3, false);
  const uint8_t *rest = data + 9;
  size_t rest_len = size - 9;
  const uint8_t *sep = static_cast<const uint8_t *>(std::memchr(rest, 0xFF, rest_len));
  size_t name_len = sep ? static_cast<size_t>(sep - rest) : rest_len;
  std::unique_ptr<char[]> name = HeapCopy(rest, name_len, true);
  std::unique_ptr<char[]> part =
      sep ? HeapCopy(sep + 1, rest_len - name_len - 1, true) : HeapCopy(rest, 0, true);

  FuzzLookup(name.get(), type, locale.get(), current.get());
  FuzzJoin(rest, name_len, part.get(), capacity);

  std::unique_ptr<char[]> type_name(new char[capacity % 20 + 1]);
  uint32_t trc = KrpTypeName(type, type_name.get(), capacity % 20 + 1);
  Check(trc == 0 || trc == 1 || trc == 0x1005);
  return 0;
}
