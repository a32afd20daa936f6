// "krpctl dump | load": resources as text for people (the format is in
// dump_text.h). dump reads through the library as any process of the product
// reads (through the host when one admits this process, otherwise straight
// from the store file); load turns the text into a fragment file and hands it
// to the library's merge, and merge hands it a fragment file. Merging needs
// a running host.
//
//   dump [PREFIX]                               PREFIX and every value below
//                                               it; no PREFIX: everything
//   load FILE --policy defaults|overwrite|newer
//                                               the text's values, under
//                                               their full names
//   merge FILE --policy defaults|overwrite|newer [--strip P] [--prefix P]
//         [--delete-list] [--full-names]       a fragment file as it is
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "dump_text.h"
#include "krplib.h"
#include "merge_fragment.h"

namespace krpctl {

namespace {

uint32_t ListEntries(const std::string &container, std::vector<std::string> *out) {
  void *listing = nullptr;
  uint32_t size = 0, count = 0;
  uint32_t rc = dll_KrpListResources(container.c_str(), &listing, &size, &count);
  if (rc != 0 || !listing) return rc;
  if (!DecodeList(listing, size, out)) rc = KRP_ERR_GENERAL;
  dll_KrpFreeMem(listing);
  return rc;
}

uint32_t ReadValue(const std::string &name, uint32_t type, DumpRecord *r) {
  uint32_t size = 0;
  KrpAttributes a{0, 0};
  uint32_t rc = dll_KrpGetResource(type, name.c_str(), &size, nullptr, &a, nullptr);
  if (rc != 0) return rc;
  r->value.assign(size, '\0');
  rc = dll_KrpGetResource(type, name.c_str(), &size, r->value.data(), &a, nullptr);
  if (rc != 0) return rc;
  r->value.resize(size);
  r->name = name;
  r->type = type;
  r->attributes = a.attributes;
  r->timestamp = a.timestamp;
  return 0;
}

// Every value at or below `name` (containers are walked, not written: the
// names of their values bring them back).
uint32_t Collect(const std::string &name, std::vector<DumpRecord> *out, std::string *where) {
  *where = name;
  uint32_t type = KRT_CONTAINER;
  if (!name.empty()) {
    uint32_t rc = dll_KrpGetResourceType(name.c_str(), &type);
    if (rc != 0) return rc;
  }
  if (type != KRT_CONTAINER) {
    DumpRecord r;
    uint32_t rc = ReadValue(name, type, &r);
    if (rc == 0) out->push_back(std::move(r));
    return rc;
  }
  std::vector<std::string> entries;
  uint32_t rc = ListEntries(name, &entries);
  for (size_t i = 0; rc == 0 && i < entries.size(); ++i) rc = Collect(FullName(name, entries[i]), out, where);
  return rc;
}

int Dump(const std::string &prefix) {
  std::vector<DumpRecord> records;
  std::string where;
  uint32_t rc = Collect(prefix, &records, &where);
  if (rc != 0) return Fail("dump", where, rc);
  const std::string text = WriteDump(std::move(records));
  std::fwrite(text.data(), 1, text.size(), stdout);
  return kExitOk;
}

bool ReadWholeFile(const std::string &path, std::string *text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return !in.bad();
}

int Load(const std::string &path, const std::string &policy_word) {
  MergePolicy policy;
  if (!PolicyOf(policy_word, &policy)) {
    std::fprintf(stderr, "krpctl: load: unknown policy '%s'\n", policy_word.c_str());
    return kExitUsage;
  }
  std::string text, error;
  if (!ReadWholeFile(path, &text)) {
    std::fprintf(stderr, "krpctl: load: cannot read %s\n", path.c_str());
    return kExitBad;
  }
  std::vector<DumpRecord> records;
  if (!ReadDump(text, &records, &error)) {
    std::fprintf(stderr, "krpctl: load: %s: %s\n", path.c_str(), error.c_str());
    return kExitBad;
  }
  std::vector<std::string> passed_over;
  uint32_t rc = MergeRecords(records, policy, &passed_over);
  if (rc != 0) return Fail("load", path, rc);
  for (const std::string &name : passed_over)
    std::fprintf(stderr, "krpctl: load: %s: '%s' not loaded: a merge never writes it\n",
                 path.c_str(), name.c_str());
  return passed_over.empty() ? kExitOk : kExitBad;
}

int Merge(const std::string &path, const std::string &policy_word, MergeOptions options) {
  if (!PolicyOf(policy_word, &options.policy)) {
    std::fprintf(stderr, "krpctl: merge: unknown policy '%s'\n", policy_word.c_str());
    return kExitUsage;
  }
  uint32_t rc = MergeFragmentFile(path, options);
  return rc ? Fail("merge", path, rc) : kExitOk;
}

}  // namespace

void AddDumpCommands(CLI::App &app, Action *action) {
  static std::string prefix, file, policy;
  auto *dump = app.add_subcommand("dump", "write resources as text, sorted by name");
  dump->add_option("PREFIX", prefix, "a container or value name (default: everything)");
  dump->callback([action] { *action = [] { return Dump(prefix); }; });

  auto *load = app.add_subcommand("load", "merge resources from a text dump into the store");
  load->add_option("FILE", file, "the text dump")->required();
  load->add_option("--policy", policy, "defaults, overwrite or newer")->required();
  load->callback([action] { *action = [] { return Load(file, policy); }; });

  static std::string merge_file, merge_policy;
  static MergeOptions merge;
  auto *m = app.add_subcommand("merge", "merge a fragment file into the store");
  m->add_option("FILE", merge_file, "the fragment (a store file)")->required();
  m->add_option("--policy", merge_policy, "defaults, overwrite or newer")->required();
  m->add_option("--strip", merge.strip, "names lose this prefix and its dot");
  m->add_option("--prefix", merge.prefix, "names get this prefix and a dot in front");
  m->add_flag("--delete-list", merge.delete_list, "apply the fragment's delete list first");
  m->add_flag("--full-names", merge.full_names, "restore the names the fragment was cut from");
  m->callback([action] { *action = [] { return Merge(merge_file, merge_policy, merge); }; });
}

}  // namespace krpctl
