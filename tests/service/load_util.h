// The load run shared by the load tests: client processes with two
// threads each write and read overlapping names through one host in the
// test process. Include in one source file per test binary (it registers a
// child role).
#ifndef KRP_TESTS_SERVICE_LOAD_UTIL_H
#define KRP_TESTS_SERVICE_LOAD_UTIL_H

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform.h"
#include "service_util.h"

namespace svctest {

// A value that proves itself whole: 12 bytes (writer, sequence, length) and
// then bytes derived from writer and sequence. Lengths vary from 20 bytes
// to above one piece.
inline std::vector<uint8_t> MakeValue(uint32_t writer, uint32_t seq) {
  const size_t lengths[] = {20, 300, 5000, 400000};
  std::vector<uint8_t> v = Pattern(lengths[(writer + seq) % 4], writer * 100003u + seq);
  Store32(v.data(), 0, writer);
  Store32(v.data(), 4, seq);
  Store32(v.data(), 8, static_cast<uint32_t>(v.size()));
  return v;
}

inline bool IsWhole(const uint8_t *p, uint32_t size) {
  if (size < 12 || Load32(p, 8) != size) return false;
  std::vector<uint8_t> want = MakeValue(Load32(p, 0), Load32(p, 4));
  return want.size() == size && memcmp(want.data() + 12, p + 12, size - 12) == 0;
}

// One client thread: `ops` rounds of a write to a shared name, a read of
// another shared name, and a write to its own name; finally its own name
// must hold its last write. Returns 0 or a failure number.
inline int ClientThread(uint32_t writer, int ops) {
  const std::string own = "own." + std::to_string(writer);
  uint32_t last = 0;
  for (int i = 1; i <= ops; ++i) {
    const uint32_t seq = static_cast<uint32_t>(i);
    std::vector<uint8_t> v = MakeValue(writer, seq);
    const std::string shared = "shared." + std::to_string((writer + seq) % 5);
    if (KrpStoreKtsWriteMt(0, shared.c_str(), v.data(), static_cast<uint32_t>(v.size()), 0, 0, 0) !=
        0)
      return 1;
    void *data = nullptr;
    uint32_t size, lw, attr;
    const std::string other = "shared." + std::to_string((writer + seq + 2) % 5);
    if (KrpStoreKtsReadMt(0, other.c_str(), &data, &size, &lw, &attr, nullptr) != 0) return 2;
    const bool whole = size == 0 || IsWhole(static_cast<uint8_t *>(data), size);
    KstFreeMem(data, 0);
    if (!whole) return 3;
    v = MakeValue(writer, seq);
    if (KrpStoreKtsWriteMt(0, own.c_str(), v.data(), static_cast<uint32_t>(v.size()), 0, 0, 0) == 0)
      last = seq;
  }
  void *data = nullptr;
  uint32_t size, lw, attr;
  if (KrpStoreKtsReadMt(0, own.c_str(), &data, &size, &lw, &attr, nullptr) != 0) return 4;
  const bool ok =
      size > 0 && IsWhole(static_cast<uint8_t *>(data), size) && Load32(data, 4) == last;
  KstFreeMem(data, 0);
  return ok ? 0 : 5;
}

// Child: two client threads, writers 2 * args[0] and 2 * args[0] + 1.
KRP_CHILD_ROLE_FN(load_client) {
  const uint32_t id = static_cast<uint32_t>(std::stoul(args[0]));
  const int ops = std::stoi(args[1]);
  std::atomic<int> failure{0};
  std::thread t1([&] {
    if (int r = ClientThread(2 * id, ops)) failure = r;
  });
  std::thread t2([&] {
    if (int r = ClientThread(2 * id + 1, ops)) failure = 10 + r;
  });
  t1.join();
  t2.join();
  return failure;
}

inline void RunLoad(int processes, int ops) {
  krptest::TestEnv env;
  Host host;
  ASSERT_EQ(0u, host.Start());
  std::vector<pid_t> kids;
  for (int i = 0; i < processes; ++i)
    kids.push_back(krptest::SpawnRole("load_client", {std::to_string(i), std::to_string(ops)}));
  for (pid_t pid : kids) EXPECT_EQ(0, krptest::WaitChild(pid));
  for (int s = 0; s < 5; ++s) {
    void *data = nullptr;
    uint32_t size, lw, attr;
    const std::string name = "shared." + std::to_string(s);
    ASSERT_EQ(0u, KrpStoreKtsReadMt(0, name.c_str(), &data, &size, &lw, &attr, nullptr));
    EXPECT_TRUE(IsWhole(static_cast<uint8_t *>(data), size)) << name;
    KstFreeMem(data, 0);
  }
}

}  // namespace svctest

#endif  // KRP_TESTS_SERVICE_LOAD_UTIL_H
