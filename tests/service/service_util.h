// Helpers of the store service tests: a host in this process, waits on
// marker files written by child processes, and a check macro for roles.
#ifndef KRP_TESTS_SERVICE_SERVICE_UTIL_H
#define KRP_TESTS_SERVICE_SERVICE_UTIL_H

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "krplib.h"
#include "mtclient.h"
#include "protocol.h"
#include "test_support.h"

namespace svctest {

using namespace krp::proto;

// Returns `code` from a role function when `cond` does not hold.
#define ROLE_CHECK(cond, code)  \
  do {                          \
    if (!(cond)) return (code); \
  } while (0)

inline bool FileExists(const std::string &p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

// Polls for a marker file (10 ms steps) up to `ms`.
inline bool WaitForFile(const std::string &p, int ms = 10000) {
  for (int waited = 0; waited < ms; waited += 10) {
    if (FileExists(p)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return FileExists(p);
}

// A host in this process; stopped when the guard ends.
struct Host {
  KRP_HLIBCTX ctx = nullptr;
  uint32_t Start(bool open_to_all = true) {
    uint32_t rc = dll_KrpInitializeKrpLib(&ctx);
    if (rc == 0 && open_to_all) rc = dll_KrpFlagMtClientAsAvailable();
    return rc;
  }
  // A host that follows a killed one opens the store as `krpctl host` does,
  // salvaging a last record that the kill cut short (a write into the page
  // cache can end part way when its process is killed).
  uint32_t StartAfterKill(const std::string &product_root) {
    const std::string folder = product_root + "/resources/";
    uint32_t rc =
        dll_KrpInitializeKrpLibUsingNamedStore(&ctx, kTsOpenSalvageTail, folder.c_str(), "store.kts");
    if (rc == 0) rc = dll_KrpFlagMtClientAsAvailable();
    return rc;
  }
  uint32_t Stop() { return ctx ? dll_KrpUninitializeKrpLib(&ctx) : 0; }
  ~Host() { Stop(); }
};

// Writes a file when it goes out of scope: tells child processes that poll
// for it to end, also when an assertion ends the test early.
struct TouchOnExit {
  std::string path;
  ~TouchOnExit() { krptest::WriteFile(path, "1"); }
};

inline uint32_t StatusWord(uint32_t off) {
  volatile uint8_t *b = MtStatusBlock();
  return b ? Load32(b, off) : 0xDEADBEEFu;
}

// Deterministic bytes for a value of `n` bytes.
inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

}  // namespace svctest

#endif  // KRP_TESTS_SERVICE_SERVICE_UTIL_H
