// Hands fragments to the library's merge: a fragment file as it is, or the
// records of a text dump written into a fragment file of their own first.
#ifndef KRP_TOOLS_KRPCTL_MERGE_FRAGMENT_H
#define KRP_TOOLS_KRPCTL_MERGE_FRAGMENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "dump_text.h"

namespace krpctl {

// The policy chooses what a value of the fragment does to a value the
// store already holds (the library's merge flags).
enum class MergePolicy : uint32_t {
  kDefaults = 0x1,   // access values first, then what the target's access lets in
  kOverwrite = 0x2,  // the fragment's value wins
  kNewer = 0x4,      // the value with the later time stamp wins
};

// "defaults", "overwrite" or "newer"; false for any other word.
bool PolicyOf(const std::string &word, MergePolicy *policy);

struct MergeOptions {
  MergePolicy policy = MergePolicy::kOverwrite;
  std::string strip;        // names lose "<strip>."
  std::string prefix;       // names get "<prefix>." in front
  bool delete_list = false; // apply the fragment's delete list first
  bool full_names = false;  // names get the fragment's recorded prefix
};

// Merges the fragment file `path` (a relative path is taken from the
// current folder). 0 or the library's result code.
uint32_t MergeFragmentFile(const std::string &path, const MergeOptions &options);

// Writes `records` under their full names into a new private temporary
// fragment file (created exclusively, 0600), merges it with `policy` and
// removes it. 0 or the library's (or the fragment writer's) result code.
// The merge never writes a name under "__system", a "use_defaults" value
// or anything below a "use_defaults" component (and a "use_defaults" value
// in the fragment would make the defaults policy clear the vendor's
// names): such records are left out of the fragment and their names put
// into `passed_over`.
uint32_t MergeRecords(const std::vector<DumpRecord> &records, MergePolicy policy,
                      std::vector<std::string> *passed_over);

}  // namespace krpctl

#endif  // KRP_TOOLS_KRPCTL_MERGE_FRAGMENT_H
