// Runs the built krpctl (KRPCTL_PATH) as a separate process and captures its
// standard output and error together with its exit status.
#ifndef KRP_TESTS_KRPCTL_KRPCTL_RUN_H
#define KRP_TESTS_KRPCTL_KRPCTL_RUN_H

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

namespace krptest {

struct CtlOutput {
  int status;  // exit status, -1 when krpctl did not exit normally
  std::string out;
};

// `env` is put in front of the command line (e.g. "KST_REGISTRY='/x'");
// every argument is quoted. With `input` krpctl reads that file as its
// standard input.
inline CtlOutput RunKrpctl(const std::vector<std::string> &args, const std::string &env = "",
                           const std::string &input = "") {
  std::string cmd = env + " '" + std::string(KRPCTL_PATH) + "'";
  for (const std::string &a : args) cmd += " '" + a + "'";
  if (!input.empty()) cmd += " <'" + input + "'";
  cmd += " 2>&1";
  CtlOutput r{-1, ""};
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

}  // namespace krptest

#endif  // KRP_TESTS_KRPCTL_KRPCTL_RUN_H
