// Many client processes on one host, mixed small reads and writes: every
// process writes names of its own ("ack.<process>.<n>") and reads back both
// its own and other processes' names. A value names the process and the
// number it was written under, so a reply that belonged to another request
// (lost, answered twice, or handed to the wrong waiter) shows as a value
// that does not match the name it was read under. Include in one source
// file per test binary (it registers a child role).
#ifndef KRP_TESTS_SERVICE_CLIENTS_UTIL_H
#define KRP_TESTS_SERVICE_CLIENTS_UTIL_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "service_util.h"

namespace svctest {

inline std::string AckName(uint32_t proc, uint32_t n) {
  return "ack." + std::to_string(proc) + "." + std::to_string(n);
}

// 8 bytes (process, number) and then a pattern of them; small, so that the
// run measures hand-offs rather than copies.
inline std::vector<uint8_t> AckValue(uint32_t proc, uint32_t n) {
  std::vector<uint8_t> v = Pattern(24 + (proc + n) % 40, proc * 7919u + n);
  Store32(v.data(), 0, proc);
  Store32(v.data(), 4, n);
  return v;
}

// 0: the name holds exactly the value written under it; 1: absent (or
// the read failed); 2: something else (a foreign or torn reply).
inline int CheckAck(uint32_t proc, uint32_t n) {
  void *data = nullptr;
  uint32_t size = 0, lw, attr;
  const uint32_t rc =
      KrpStoreKtsReadMt(0, AckName(proc, n).c_str(), &data, &size, &lw, &attr, nullptr);
  // A name never written reads as an empty value.
  if (rc != 0 || size == 0) {
    KstFreeMem(data, 0);
    return 1;
  }
  const std::vector<uint8_t> want = AckValue(proc, n);
  const bool same = size == want.size() && memcmp(data, want.data(), size) == 0;
  KstFreeMem(data, 0);
  return same ? 0 : 2;
}

// Child: `ops` rounds of one write of its own, a read of it back and a
// read of a name another process may or may not have written yet. Every
// write must be acknowledged (the host stays up).
KRP_CHILD_ROLE_FN(mixed_client) {
  const uint32_t proc = static_cast<uint32_t>(std::stoul(args[0]));
  const uint32_t procs = static_cast<uint32_t>(std::stoul(args[1]));
  const uint32_t ops = static_cast<uint32_t>(std::stoul(args[2]));
  for (uint32_t n = 1; n <= ops; ++n) {
    std::vector<uint8_t> v = AckValue(proc, n);  // the write scrambles its buffer
    if (KrpStoreKtsWriteMt(0, AckName(proc, n).c_str(), v.data(), static_cast<uint32_t>(v.size()),
                           0, 0, 0) != 0)
      return 10;
    if (CheckAck(proc, n) != 0) return 11;
    const uint32_t other = (proc + n) % procs;
    if (CheckAck(other, n) == 2) return 12;
  }
  return 0;
}

// Starts `procs` client processes of `ops` rounds each and then checks,
// from the test process, that every write is there with its own value.
inline void RunMixedClients(uint32_t procs, uint32_t ops) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start());
  std::vector<pid_t> kids;
  for (uint32_t p = 0; p < procs; ++p)
    kids.push_back(krptest::SpawnRole(
        "mixed_client", {std::to_string(p), std::to_string(procs), std::to_string(ops)}));
  for (pid_t pid : kids) EXPECT_EQ(0, krptest::WaitChild(pid));
  int missing = 0, wrong = 0;
  for (uint32_t p = 0; p < procs; ++p)
    for (uint32_t n = 1; n <= ops; ++n) {
      const int r = CheckAck(p, n);
      missing += r == 1;
      wrong += r == 2;
    }
  EXPECT_EQ(0, missing);
  EXPECT_EQ(0, wrong);
}

}  // namespace svctest

#endif  // KRP_TESTS_SERVICE_CLIENTS_UTIL_H
