// A short run of the crash loop (store_crash.h); store_crash_long_test runs
// a thousand kills.
#include "store_crash.h"

namespace {

TEST_F(StoreCrash, KilledWritersLoseNoReturnedCall) { Run(100); }

}  // namespace
