// The crash loop (store_crash.h) with a thousand kills; CTest label "long".
#include "store_crash.h"

namespace {

TEST_F(StoreCrash, AThousandKilledWritersLoseNoReturnedCall) { Run(1000); }

}  // namespace
