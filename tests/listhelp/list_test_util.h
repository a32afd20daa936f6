// Helpers shared by the list helper tests: building serialised buffers by
// hand and reading a list back through the exported functions.
#ifndef KRP_TESTS_LISTHELP_LIST_TEST_UTIL_H
#define KRP_TESTS_LISTHELP_LIST_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "krplib.h"

namespace listtest {

using Items = std::vector<std::string>;

// The writer's exact form: "%08x", bytes, CR LF per item, then "00000000".
inline std::string Serialise(const Items &items) {
  std::string out;
  for (const std::string &s : items) {
    char len[9];
    std::snprintf(len, sizeof len, "%08x", static_cast<unsigned>(s.size()));
    out += len + s + "\r\n";
  }
  return out + "00000000";
}

// Reads every item by position (no cursor involved).
inline Items ReadAll(KRP_HLIST h) {
  Items out;
  uint32_t count = 0;
  EXPECT_EQ(dll_KrpListhelpGetCount(h, &count), 0u);
  for (uint32_t i = 1; i <= count; ++i) {
    uint32_t size = 0;
    EXPECT_EQ(dll_KrpListhelpGetItem(h, i, nullptr, &size), 0u);
    std::string s(size, '\0');
    EXPECT_EQ(dll_KrpListhelpGetItem(h, i, s.data(), &size), 0u);
    out.push_back(s);
  }
  return out;
}

// A list handle that is exited when the test ends.
class ListHandle {
 public:
  ListHandle() { EXPECT_EQ(dll_KrpListhelpInit(&h_, nullptr), 0u); }
  ~ListHandle() {
    if (h_) {
      EXPECT_EQ(dll_KrpListhelpExit(&h_), 0u);
    }
  }
  ListHandle(const ListHandle &) = delete;
  ListHandle &operator=(const ListHandle &) = delete;
  KRP_HLIST get() const { return h_; }
  KRP_HLIST *ptr() { return &h_; }
  uint32_t Load(const std::string &bytes) {
    return dll_KrpListhelpAddList(h_, bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  uint32_t LoadItems(const Items &items) { return Load(Serialise(items)); }

 private:
  KRP_HLIST h_ = nullptr;
};

}  // namespace listtest

#endif  // KRP_TESTS_LISTHELP_LIST_TEST_UTIL_H
