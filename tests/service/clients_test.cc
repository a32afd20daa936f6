// Eight client processes of mixed small reads and writes on one host (a
// short run; the long one carries the label "long").
#include "clients_util.h"

namespace {

TEST(ManyClients, EightProcessesKeepEveryAcknowledgedWriteAndGetOnlyTheirOwnReplies) {
  svctest::RunMixedClients(8, 40);
}

}  // namespace
