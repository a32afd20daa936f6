// Fragment files for merge tests, made with the store engine exactly as a
// fragment holds its objects: names without the cut prefix, values in their
// stored form (16-byte type field + value) scrambled as in the store, and
// the optional "__system.blob_fullpath" and "__system.delete_list".
#ifndef KRP_TESTS_RESOURCE_FRAGMENT_FIXTURE_H
#define KRP_TESTS_RESOURCE_FRAGMENT_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "list_format.h"
#include "platform.h"
#include "resource.h"
#include "store.h"

namespace mergetest {

// The stored form of a value (TEXT gets its terminating zero).
inline std::string Stored(uint32_t type, const std::string &value) {
  void *p = nullptr;
  uint32_t size = 0;
  EXPECT_EQ(0u, KrpEncodeStoredValue(type, value.data(), uint32_t(value.size()), &p, &size));
  std::string out(static_cast<char *>(p), size);
  KstFreeMem(p, 0);
  return out;
}

// A serialised list of `items`.
inline std::string ListOf(const std::vector<std::string> &items) {
  std::string out;
  for (const std::string &i : items) {
    uint8_t field[KRP_LIST_LENGTH_FIELD];
    KrpListEncodeLength(uint32_t(i.size()), field);
    out.append(reinterpret_cast<char *>(field), sizeof field);
    out += i + "\r\n";
  }
  return out + "00000000";
}

class FragmentFile {
 public:
  // Creates <folder>/<file> as a new, empty store.
  FragmentFile(const std::string &folder, const std::string &file)
      : path_(folder + "/" + file) {
    EXPECT_EQ(0u, StoreInit(&s_, (folder + "/").c_str(), file.c_str(), nullptr, nullptr,
                            kTsOpenCreate));
  }
  ~FragmentFile() { Close(); }
  FragmentFile(const FragmentFile &) = delete;
  FragmentFile &operator=(const FragmentFile &) = delete;

  // Writes `stored` (taken as the stored form) scrambled under `name`.
  void PutStored(const std::string &name, std::string stored, uint32_t last_wr = 1000,
                 uint32_t attr = 0, uint32_t consumer = KRT_TEXT) {
    KstScrambleData(KST_SCRAMBLE_KEY, stored.data(), uint32_t(stored.size()));
    ASSERT_EQ(0u, StoreWrite(s_, name.c_str(), stored.data(), uint32_t(stored.size()), last_wr,
                             attr, consumer))
        << name;
  }
  void Put(const std::string &name, uint32_t type, const std::string &value,
           uint32_t last_wr = 1000, uint32_t attr = 0) {
    PutStored(name, Stored(type, value), last_wr, attr, type);
  }
  void Text(const std::string &name, const std::string &value, uint32_t last_wr = 1000,
            uint32_t attr = 0) {
    Put(name, KRT_TEXT, value, last_wr, attr);
  }
  void FullPath(const std::string &prefix) { Text("__system.blob_fullpath", prefix); }
  void DeleteList(const std::vector<std::string> &names) {
    Put("__system.delete_list", KRT_LIST, ListOf(names));
  }
  // Closes the store; returns the file's path.
  const std::string &Close() {
    if (s_) StoreExit(s_);
    s_ = nullptr;
    return path_;
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  TsStore *s_ = nullptr;
};

}  // namespace mergetest

#endif  // KRP_TESTS_RESOURCE_FRAGMENT_FIXTURE_H
