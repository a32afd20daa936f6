// The failure path of KRP_ASSERT (krp_assert.h).
#include "krp_assert.h"

#include <cstdio>
#include <cstdlib>

#include "platform.h"

void KrpAssertFailed(const char *file, int line, const char *condition) {
  // The log first: standard error of a service process may go nowhere.
  KstLogPrintf("krp_assert %s line %d: invariant broken: %s", file, line, condition);
  std::fprintf(stderr, "krp_assert %s line %d: invariant broken: %s\n", file, line, condition);
  std::fflush(stderr);
  std::abort();
}
