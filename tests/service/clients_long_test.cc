// The long run of eight client processes of mixed small reads and writes.
#include "clients_util.h"

namespace {

TEST(ManyClientsLong, EightProcessesKeepEveryAcknowledgedWriteAndGetOnlyTheirOwnReplies) {
  svctest::RunMixedClients(8, 3000);
}

}  // namespace
