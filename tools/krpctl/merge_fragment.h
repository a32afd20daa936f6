// Hands a fragment file to the library's merge. The policy chooses what a
// record of the fragment does to a resource the store already holds.
#ifndef KRP_TOOLS_KRPCTL_MERGE_FRAGMENT_H
#define KRP_TOOLS_KRPCTL_MERGE_FRAGMENT_H

#include <cstdint>
#include <string>

namespace krpctl {

enum class MergePolicy : uint32_t {
  kDefaults = 0x1,   // only fills what the store does not hold yet
  kOverwrite = 0x2,  // the fragment's value wins
  kNewer = 0x4,      // the value with the later time stamp wins
};

// What MergeFragmentFile answers while the library has no merge to call.
constexpr uint32_t kMergeUnavailable = 1;

// 0 or the library's result code.
uint32_t MergeFragmentFile(const std::string &path, MergePolicy policy);

}  // namespace krpctl

#endif  // KRP_TOOLS_KRPCTL_MERGE_FRAGMENT_H
