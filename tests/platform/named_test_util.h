// Helpers for the named-object tests: waiting for marker files that child
// processes create, the path of an object's file, and elapsed time on the
// monotonic clock.
#ifndef KRP_TESTS_PLATFORM_NAMED_TEST_UTIL_H
#define KRP_TESTS_PLATFORM_NAMED_TEST_UTIL_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace krptest {

inline bool PathExists(const std::string &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

// Polls until `p` exists; false after `ms`.
inline bool WaitForPath(const std::string &p, int ms = 20000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!PathExists(p)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

inline void Touch(const std::string &p) {
  int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

// The file of an object: "<object folder>/<kind prefix><name>".
inline std::string ObjectFile(const std::string &prefix, const std::string &name) {
  const char *dir = getenv("KST_OBJECT_DIR");
  return std::string(dir ? dir : "") + "/" + prefix + name;
}

// The names in a folder, sorted, without "." and "..".
inline std::vector<std::string> ListFolder(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double Ms() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// Steps of the long randomized tests: `ci` normally, `long_form` when
// KRP_TEST_LONG=1 (run by the CI's long job, not on every commit).
inline int StepCount(int ci, int long_form) {
  const char *v = getenv("KRP_TEST_LONG");
  return (v && *v == '1') ? long_form : ci;
}

}  // namespace krptest

#endif  // KRP_TESTS_PLATFORM_NAMED_TEST_UTIL_H
