// The long form of the random client kills (CTest label "long").
#include "kill_util.h"

namespace {

TEST(ServiceKillLong, HundredsOfClientsKilledAtRandomPoints) { svctest::RunKills(300); }

}  // namespace
