// main of every test binary: a re-executed child runs its role, anything
// else runs the tests.
#include <gtest/gtest.h>

namespace krptest {
int RunRoleIfChild(int argc, char **argv);
}

int main(int argc, char **argv) {
  int rc = krptest::RunRoleIfChild(argc, argv);
  if (rc >= 0) return rc;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
