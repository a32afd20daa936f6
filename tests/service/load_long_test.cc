// The long form of the load run (CTest label "long"): eight client
// processes with two threads each.
#include "load_util.h"

namespace {

using namespace svctest;

TEST(ServiceLoadLong, EightClientProcessesWithTwoThreads) { RunLoad(8, 1500); }

}  // namespace
