// The one place where krpctl calls the library's merge.
//
// A fragment made from a text dump is a store file like any other fragment:
// each record becomes one object under its full name, its data the stored
// form of the value (the 16-byte type-name field, then the value's bytes
// exactly as the dump holds them) scrambled as the store keeps it, with the
// record's time stamp as LastWr, its attributes as Attr and its type code
// as Consumer. The file is made by KstCreateTmpFile in the temporary folder
// (O_EXCL, 0600 in a private or sticky folder) and removed after the merge,
// whatever its outcome.
#include "merge_fragment.h"

#include <unistd.h>

#include <cstring>

#include "krplib.h"
#include "platform.h"
#include "resource.h"
#include "store.h"

namespace krpctl {

namespace {

constexpr uint32_t kFlagDeleteList = 0x8;
constexpr uint32_t kFlagFullNames = 0x1000;

// The stored form of one record's value: type-name field + bytes.
bool StoredForm(const DumpRecord &r, std::string *out) {
  char field[KRP_TYPE_FIELD_SIZE] = {0};
  if (KrpTypeName(r.type, field, sizeof field) != 0) return false;
  out->assign(field, sizeof field);
  *out += r.value;
  return true;
}

// Names the merge passes over: the fragment's own ("__system...") and
// "use_defaults" markers with everything below them (the walk does not go
// into a container of that name).
bool MergePassesOver(const std::string &name) {
  static constexpr char kSystem[] = "__system";
  static const std::string kUseDefaults = "use_defaults";
  if (name.compare(0, sizeof kSystem - 1, kSystem) == 0) return true;
  for (size_t begin = 0;;) {
    size_t dot = name.find('.', begin);
    if (name.compare(begin, dot == std::string::npos ? std::string::npos : dot - begin,
                     kUseDefaults) == 0)
      return true;
    if (dot == std::string::npos) return false;
    begin = dot + 1;
  }
}

uint32_t WriteRecords(TsStore *s, const std::vector<DumpRecord> &records,
                      std::vector<std::string> *passed_over) {
  for (const DumpRecord &r : records) {
    if (MergePassesOver(r.name)) {
      passed_over->push_back(r.name);
      continue;
    }
    std::string stored;
    if (!StoredForm(r, &stored)) return KRP_ERR_INVALID_PARAMETER;
    KstScrambleData(KST_SCRAMBLE_KEY, stored.data(), static_cast<uint32_t>(stored.size()));
    uint32_t rc = StoreWrite(s, r.name.c_str(), stored.data(),
                             static_cast<uint32_t>(stored.size()), r.timestamp, r.attributes,
                             r.type);
    if (rc != 0) return rc;
  }
  return 0;
}

// Splits a path at its last "/" into folder (with the "/") and file name.
void SplitPath(const std::string &path, std::string *folder, std::string *file) {
  size_t slash = path.rfind('/');
  *folder = path.substr(0, slash + 1);
  *file = path.substr(slash + 1);
}

}  // namespace

bool PolicyOf(const std::string &word, MergePolicy *policy) {
  if (word == "defaults") *policy = MergePolicy::kDefaults;
  else if (word == "overwrite") *policy = MergePolicy::kOverwrite;
  else if (word == "newer") *policy = MergePolicy::kNewer;
  else return false;
  return true;
}

uint32_t MergeFragmentFile(const std::string &path, const MergeOptions &o) {
  std::string full = path;
  if (!path.empty() && path[0] != '/') {
    char cwd[KST_MAX_PATH];
    if (!getcwd(cwd, sizeof cwd)) return KRP_ERR_FILENAME_TOO_LONG;
    full = std::string(cwd) + "/" + path;
  }
  uint32_t flags = static_cast<uint32_t>(o.policy);
  if (o.delete_list) flags |= kFlagDeleteList;
  if (o.full_names) flags |= kFlagFullNames;
  return dll_KrpMergeIntoStore(nullptr, full.c_str(), 0, o.strip.empty() ? nullptr : o.strip.c_str(),
                               o.prefix.empty() ? nullptr : o.prefix.c_str(), flags);
}

uint32_t MergeRecords(const std::vector<DumpRecord> &records, MergePolicy policy,
                      std::vector<std::string> *passed_over) {
  passed_over->clear();
  char path[KST_MAX_PATH];
  uint32_t rc = KstCreateTmpFile(nullptr, "kts", path, nullptr);
  if (rc != 0) return rc;
  std::string folder, file;
  SplitPath(path, &folder, &file);
  TsStore *s = nullptr;
  rc = StoreInit(&s, folder.c_str(), file.c_str(), nullptr, nullptr, kTsOpenCreate);
  if (rc == 0) {
    rc = WriteRecords(s, records, passed_over);
    uint32_t exit_rc = StoreExit(s);
    if (rc == 0) rc = exit_rc;
  }
  if (rc == 0) {
    MergeOptions o;
    o.policy = policy;
    rc = MergeFragmentFile(path, o);
  }
  KstDeleteFile(path);
  return rc;
}

}  // namespace krpctl
