// Arbitrary bytes through every list-helper function that parses a
// serialised list, then a serialise / re-parse round trip, edits and a sort.
//
// Input: byte 0 steers the run, the last (byte0 & 15) bytes are the element
// to append, everything between is the list buffer. The list bytes are copied
// into a heap block of exactly their size, so the address sanitizer sees any
// read past the end.
//
// Properties checked (a violation aborts):
//  - AddList, GetCountFromResource and AddListElementToResource agree on
//    whether the buffer is well formed, and on the number of items;
//  - the appended buffer parses to the list's items plus the element;
//  - GetList of a parsed list parses back to the same items, and serialising
//    that again gives the same bytes;
//  - AddListRange keeps a contiguous run of the items;
//  - a sort keeps the items (as a multiset), leaves no item below the one
//    before it, and (for short lists) gives exactly the order of the
//    exchange sort run literally, restarts included.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "krplib.h"
#include "listhelp.h"
#include "platform.h"

namespace {

using Items = std::vector<std::string>;

void Check(bool ok) {
  if (!ok) std::abort();
}

Items ReadAll(KRP_HLIST h) {
  uint32_t count = 0;
  Check(dll_KrpListhelpGetCount(h, &count) == 0);
  Items out;
  for (uint32_t i = 1; i <= count; ++i) {
    uint32_t size = 0;
    Check(dll_KrpListhelpGetItem(h, i, nullptr, &size) == 0);
    std::string s(size, '\0');
    Check(dll_KrpListhelpGetItem(h, i, s.data(), &size) == 0 && size == s.size());
    out.push_back(s);
  }
  // The cursor walk sees the same items.
  Items walked;
  uint32_t size = 0;
  uint32_t rc = dll_KrpListhelpGetFirstItem(h, nullptr, &size);
  while (rc == 0) {
    walked.emplace_back(size, '\0');
    rc = dll_KrpListhelpGetNextItem(h, nullptr, &size);
  }
  Check(rc == 38 && walked.size() == out.size());
  return out;
}

std::string GetList(KRP_HLIST h) {
  uint32_t size = 0;
  Check(dll_KrpListhelpGetList(h, nullptr, &size) == 0);
  std::string s(size, '\0');
  Check(dll_KrpListhelpGetList(h, s.data(), &size) == 0 && size == s.size());
  return s;
}

Items Parse(const void *buf, uint32_t size, uint32_t *rc) {
  KRP_HLIST h = nullptr;
  Check(dll_KrpListhelpInit(&h, nullptr) == 0);
  *rc = dll_KrpListhelpAddList(h, buf, size);
  Items items = ReadAll(h);
  Check(dll_KrpListhelpExit(&h) == 0);
  return items;
}

const uint8_t *Bytes(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

bool Below(uint32_t mode, const std::string &b, const std::string &a) {
  return KrpListSortCompare(mode, Bytes(b), static_cast<uint32_t>(b.size()), Bytes(a),
                            static_cast<uint32_t>(a.size())) < 0;
}

// The exchange sort exactly as defined, restarting the scan after every
// exchange (cubic in the worst case, so only for short lists).
Items ReferenceSort(Items v, uint32_t mode) {
  for (size_t a = 0; a < v.size(); ++a) {
    for (size_t b = a + 1; b < v.size(); ++b) {
      if (Below(mode, v[b], v[a])) {
        std::swap(v[a], v[b]);
        b = a;  // the loop's ++b starts the scan again just after a
      }
    }
  }
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  const uint8_t control = data[0];
  const size_t rest = size - 1;
  const size_t elem_len = std::min<size_t>(control & 15u, rest);
  const uint32_t list_len = static_cast<uint32_t>(rest - elem_len);
  const uint8_t *elem = data + 1 + list_len;

  std::vector<uint8_t> exact_list(data + 1, data + 1 + list_len);
  const void *list = exact_list.empty() ? static_cast<const void *>("") : exact_list.data();

  // Parse into a handle.
  KRP_HLIST h = nullptr;
  Check(dll_KrpListhelpInit(&h, nullptr) == 0);
  const uint32_t rc = dll_KrpListhelpAddList(h, list, list_len);
  Check(rc == 0 || rc == 87);
  const Items items = ReadAll(h);

  // Counting without a handle agrees.
  uint32_t count = 0xFFFFFFFF;
  const uint32_t count_rc = dll_KrpListhelpGetCountFromResource(list, list_len, &count);
  Check(count_rc == rc);
  if (rc == 0) Check(count == items.size());

  // Appending agrees, and the result holds the items plus the element.
  if (elem_len > 0) {
    std::vector<uint8_t> exact_elem(elem, elem + elem_len);
    void *out = nullptr;
    uint32_t out_size = 0;
    const uint32_t app_rc = dll_KrpListhelpAddListElementToResource(
        list, list_len, exact_elem.data(), static_cast<uint32_t>(elem_len), &out, &out_size);
    Check(app_rc == rc);
    if (app_rc == 0) {
      uint32_t again_rc = 0;
      Items again = Parse(out, out_size, &again_rc);
      Items want = items;
      want.emplace_back(reinterpret_cast<const char *>(elem), elem_len);
      Check(again_rc == 0 && again == want);
      KstFreeMem(out, 0);
    }
  }

  // Serialise and parse again: the same items, and a fixed point in bytes.
  const std::string ser = GetList(h);
  uint32_t re_rc = 0;
  Check(Parse(ser.data(), static_cast<uint32_t>(ser.size()), &re_rc) == items && re_rc == 0);

  // A range of the same buffer is a contiguous run of the items.
  {
    const uint32_t first = 1 + (control >> 4) % 4;
    const uint32_t maximum = 1 + (control >> 6);
    KRP_HLIST r = nullptr;
    Check(dll_KrpListhelpInit(&r, nullptr) == 0);
    Check(dll_KrpListhelpAddListRange(r, list, list_len, first, maximum) == rc);
    const Items range = ReadAll(r);
    if (rc == 0) {
      Items want;
      for (size_t i = first - 1; i < items.size() && want.size() < maximum; ++i) want.push_back(items[i]);
      Check(range == want);
    }
    uint32_t size = 0;
    Check(dll_KrpListhelpGetList(r, nullptr, &size) == 6);
    Check(dll_KrpListhelpExit(&r) == 0);
  }

  // Edits steered by the control byte, then a sort.
  Items model = items;
  if (elem_len > 0) {
    const uint32_t position = (control >> 4) < 12 ? (control >> 4) : 0xFFFFFFFF;
    Check(dll_KrpListhelpInsertItem(h, position, elem, static_cast<uint32_t>(elem_len)) == 0);
    const size_t at = model.empty() ? 0 : position == 0 ? 0 : std::min<size_t>(position, model.size());
    model.insert(model.begin() + at, std::string(reinterpret_cast<const char *>(elem), elem_len));
    Check(ReadAll(h) == model);
  }
  if (!model.empty() && (control & 0x40)) {
    const uint32_t position = 1 + control % model.size();
    Check(dll_KrpListhelpDeleteItem(h, position) == 0);
    model.erase(model.begin() + (position - 1));
    Check(ReadAll(h) == model);
  }
  const uint32_t mode = control % 6;
  const uint32_t sort_rc = dll_KrpListhelpSort(h, mode);
  Check(sort_rc == (mode == 0 ? 0x2001u : 0u));
  const Items sorted = ReadAll(h);
  if (mode >= 1 && mode <= 4) {
    for (size_t i = 1; i < sorted.size(); ++i) Check(!Below(mode, sorted[i], sorted[i - 1]));
    if (model.size() <= 64) Check(sorted == ReferenceSort(model, mode));
    Items a = sorted, b = model;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    Check(a == b);
  } else {
    Check(sorted == model);
  }
  const std::string ser2 = GetList(h);
  Check(Parse(ser2.data(), static_cast<uint32_t>(ser2.size()), &re_rc) == sorted && re_rc == 0);

  Check(dll_KrpListhelpExit(&h) == 0 && h == nullptr);
  return 0;
}
