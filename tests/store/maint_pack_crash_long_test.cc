// Direct access after a killed pack (pack_crash.h), with many more kills;
// CTest label "long", run with KRP_TEST_LONG=1.
#include "pack_crash.h"

namespace {

TEST_F(PackCrash, DirectAccessAfterAThousandKilledPacksLosesNothingAcknowledged) {
  if (!LongRun()) GTEST_SKIP() << "set KRP_TEST_LONG=1";
  RunDirect(1000);
}

}  // namespace
