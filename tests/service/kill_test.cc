// Clients killed with SIGKILL at random points while they hold the request
// mutex: the next client is served and never accepts a stale reply.
#include "kill_util.h"

namespace {

TEST(ServiceKill, ClientsKilledAtRandomPointsDoNotDisturbTheNext) { svctest::RunKills(24); }

}  // namespace
