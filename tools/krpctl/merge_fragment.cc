// The one place where krpctl calls the library's merge of a fragment file.
#include "merge_fragment.h"

namespace krpctl {

// merge not linked yet: the library has no merge entry point in this tree,
// so a load reads and checks its text but cannot apply it.
uint32_t MergeFragmentFile(const std::string & /*path*/, MergePolicy /*policy*/) {
  return kMergeUnavailable;
}

}  // namespace krpctl
