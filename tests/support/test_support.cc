#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace krptest {
namespace {

std::map<std::string, RoleFn> &Roles() {
  static std::map<std::string, RoleFn> roles;
  return roles;
}

void MakeDir(const std::string &p) {
  if (mkdir(p.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("mkdir " + p + ": " + strerror(errno));
}

void RemoveTree(const std::string &p) {
  std::string cmd = "rm -rf '" + p + "'";
  if (system(cmd.c_str()) != 0) {
  }
}

}  // namespace

TestEnv::TestEnv(bool with_root) {
  const char *tmp = getenv("TMPDIR");
  std::string base = (tmp && *tmp) ? tmp : "/tmp";
  std::string templ = base + "/krptest-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = buf.data();
  objects_ = dir_ + "/objects";
  registry_ = dir_ + "/registry";
  root_ = dir_ + "/root";
  MakeDir(objects_);
  MakeDir(registry_);
  MakeDir(root_);
  setenv("KST_OBJECT_DIR", objects_.c_str(), 1);
  setenv("KST_REGISTRY", registry_.c_str(), 1);
  if (with_root) SetRegistryValue("Kestarcorp", "RootPath", root_);
}

TestEnv::~TestEnv() {
  if (!getenv("KRP_KEEP_TEST_DIRS")) RemoveTree(dir_);
}

void TestEnv::SetRegistryValue(const std::string &subkey, const std::string &value,
                               const std::string &bytes) {
  std::string p = registry_ + "/SOFTWARE";
  MakeDir(p);
  std::stringstream ss(subkey);
  std::string part;
  while (std::getline(ss, part, '/')) {
    p += "/" + part;
    MakeDir(p);
  }
  WriteFile(p + "/" + value, bytes);
}

std::string TestEnv::Name(const std::string &tag) const {
  return "t" + std::to_string(getpid()) + "_" + tag;
}

bool RegisterRole(const std::string &name, RoleFn fn) {
  Roles()[name] = std::move(fn);
  return true;
}

int RunRoleIfChild(int argc, char **argv) {
  const char *role = getenv("KRP_CHILD_ROLE");
  if (!role || !*role) return -1;
  auto it = Roles().find(role);
  if (it == Roles().end()) return 99;
  std::vector<std::string> args(argv + 1, argv + argc);
  unsetenv("KRP_CHILD_ROLE");
  return it->second(args);
}

pid_t SpawnRole(const std::string &role, const std::vector<std::string> &args) {
  std::vector<std::string> env_strings;
  for (char **e = environ; *e; ++e) {
    if (strncmp(*e, "KRP_CHILD_ROLE=", 15) != 0) env_strings.emplace_back(*e);
  }
  env_strings.push_back("KRP_CHILD_ROLE=" + role);
  std::vector<char *> envp;
  for (auto &s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe";
  std::vector<std::string> argv_strings{self};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
    return -1;
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "";
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace krptest
