// Test support shared by every test binary.
//
// TestEnv: a private folder per test with its own object folder, registry
// folder and product root, published through the platform layer's
// environment variables (KST_OBJECT_DIR, KST_REGISTRY, KST_ROOT_HINT is not
// used: the root comes from the registry value SOFTWARE/Kestarcorp/RootPath).
// Every test that creates named objects, registry values or store files uses
// one, so `ctest -j` and a running host never meet.
//
// Child processes: a test re-executes its own binary with KRP_CHILD_ROLE set;
// the binary's main (test_main.cc) runs the registered role function instead
// of the tests. Register a role with KRP_CHILD_ROLE_FN(name) { ... return rc; }.
#ifndef KRP_TESTS_SUPPORT_TEST_SUPPORT_H
#define KRP_TESTS_SUPPORT_TEST_SUPPORT_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace krptest {

class TestEnv {
 public:
  // Creates <tmp>/krptest-XXXXXX with objects/ registry/ root/ inside, sets
  // the environment and records root/ as the product root. `with_root`
  // false leaves RootPath unrecorded.
  explicit TestEnv(bool with_root = true);
  ~TestEnv();
  TestEnv(const TestEnv &) = delete;
  TestEnv &operator=(const TestEnv &) = delete;

  const std::string &dir() const { return dir_; }
  const std::string &objects() const { return objects_; }
  const std::string &registry() const { return registry_; }
  const std::string &root() const { return root_; }
  // Writes a registry value file under registry/SOFTWARE/<subkey>/<value>.
  void SetRegistryValue(const std::string &subkey, const std::string &value,
                        const std::string &bytes);
  // A unique object name for this test process ("t<pid>_<tag>").
  std::string Name(const std::string &tag) const;

 private:
  std::string dir_, objects_, registry_, root_;
};

// Role functions run in a re-executed child; their result is the exit status.
using RoleFn = std::function<int(const std::vector<std::string> &args)>;
bool RegisterRole(const std::string &name, RoleFn fn);
#define KRP_CHILD_ROLE_FN(role)                                                          \
  static int KrpRole_##role(const std::vector<std::string> &args);                       \
  static const bool krp_role_registered_##role = krptest::RegisterRole(#role, KrpRole_##role); \
  static int KrpRole_##role([[maybe_unused]] const std::vector<std::string> &args)

// Starts this test binary again as `role` with `args`; the child inherits the
// environment (and so the test's private folders). Returns the child's pid.
pid_t SpawnRole(const std::string &role, const std::vector<std::string> &args = {});
// Waits for a child; returns its exit status, or 128 + signal when killed.
int WaitChild(pid_t pid);

// Reads a whole file ("" when missing).
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);

}  // namespace krptest

#endif  // KRP_TESTS_SUPPORT_TEST_SUPPORT_H
