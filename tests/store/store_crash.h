// The crash loop shared by store_crash_test (a short run) and
// store_crash_long_test (a thousand kills, CTest label "long").
//
// A child process changes the store in a loop and is killed with SIGKILL at
// a random moment, many times over one store. After every kill the store
// opens, no name is live twice, and every call that returned before the kill
// is reflected exactly; only the call in flight may or may not have happened
// (and a prefix delete in flight may have removed some of its names).
//
// KRP_CRASH_ROUNDS overrides the number of kills; KRP_CRASH_SEED replays a
// run (the seed is printed at the start).
#ifndef KRP_TESTS_STORE_STORE_CRASH_H
#define KRP_TESTS_STORE_STORE_CRASH_H

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "store_fixture.h"

namespace {

struct Op {
  enum Kind { kWrite, kDelete, kDeletePrefix } kind;
  std::string name;  // the prefix with its "*" for kDeletePrefix
  std::string data;
  uint32_t last_wr, attr, consumer;
};

// The i-th operation of a child started with `seed`: the parent replays the
// same sequence to know what each reported call did.
Op MakeOp(uint64_t seed, uint32_t i) {
  std::mt19937_64 rng(seed * 1000003u + i);
  Op op{};
  uint32_t r = rng() % 100;
  if (r < 70) {
    op.kind = Op::kWrite;
    bool super = rng() % 8 == 0;
    op.name = super ? "s.big" + std::to_string(rng() % 3)
                    : "c" + std::to_string(rng() % 5) + ".n" + std::to_string(rng() % 10);
    op.attr = super ? kTsAttrSupersized : uint32_t(rng() % 4);
    uint32_t size = rng() % 3 == 0 ? 257 + rng() % 600 : rng() % 120;
    op.data.resize(size);
    for (char &c : op.data) c = char(rng());
    op.last_wr = uint32_t(rng());
    op.consumer = uint32_t(rng());
  } else if (r < 92) {
    op.kind = Op::kDelete;
    op.name = "c" + std::to_string(rng() % 5) + ".n" + std::to_string(rng() % 10);
  } else {
    op.kind = Op::kDeletePrefix;
    op.name = rng() % 2 ? "c" + std::to_string(rng() % 5) + ".*" : "c" + std::to_string(rng() % 5) + ".n1*";
  }
  return op;
}

struct Value {
  std::string data;
  uint32_t last_wr, attr, consumer;
  bool operator==(const Value &o) const {
    return data == o.data && last_wr == o.last_wr && attr == o.attr && consumer == o.consumer;
  }
};
using Model = std::map<std::string, Value>;

bool Matches(const std::string &name, const Op &op) {
  if (op.kind != Op::kDeletePrefix) return name == op.name;
  std::string prefix = op.name.substr(0, op.name.size() - 1);
  return name.compare(0, prefix.size(), prefix) == 0;
}

void Apply(Model *m, const Op &op) {
  switch (op.kind) {
    case Op::kWrite:
      (*m)[op.name] = {op.data, op.last_wr, op.attr, op.consumer};
      break;
    case Op::kDelete:
      m->erase(op.name);
      break;
    case Op::kDeletePrefix:
      for (auto it = m->begin(); it != m->end();) it = Matches(it->first, op) ? m->erase(it) : ++it;
      break;
  }
}

KRP_CHILD_ROLE_FN(crash_writer) {
  std::string folder = args.at(0);
  uint64_t seed = std::stoull(args.at(1));
  int report_fd = std::stoi(args.at(2));
  TsStore *s = nullptr;
  if (StoreInit(&s, folder.c_str(), "t.kts", nullptr, nullptr, kTsOpenSalvageTail)) return 10;
  for (uint32_t i = 0; i < 100000; ++i) {
    Op op = MakeOp(seed, i);
    uint32_t rc = op.kind == Op::kWrite
                      ? StoreWrite(s, op.name.c_str(), op.data.data(), uint32_t(op.data.size()),
                                   op.last_wr, op.attr, op.consumer)
                      : StoreDelete(s, op.name.c_str());
    if (rc) return 11;
    // Reported only once the call has returned.
    if (write(report_fd, &i, sizeof i) != sizeof i) return 12;
  }
  pause();
  return 13;
}

// What the store holds, read back through the engine.
Model ReadBack(TsStore *s, std::string *dup) {
  Model got;
  void *list = nullptr;
  uint32_t size = 0;
  EXPECT_EQ(StoreListObjects(s, "", &list, &size, 1), 0u);
  std::vector<char> buf(1 << 16);
  TsListEntry e{};
  for (uint32_t at = 0; at < size; at += e.length) {
    if (!TsListEntryAt(static_cast<const uint8_t *>(list), size, at, &e)) {
      ADD_FAILURE() << "malformed list entry at " << at;
      break;
    }
    std::string name(e.name);
    if (got.count(name)) *dup = name;
    uint32_t n = uint32_t(buf.size()), lw = 0, a = 0, c = 0;
    uint32_t rc = StoreRead(s, name.c_str(), buf.data(), &n, &lw, &a, &c);
    got[name] = rc == 0 ? Value{std::string(buf.data(), n), lw, a, c}
                        : Value{"<read " + std::to_string(rc) + ">", 0, 0, 0};
  }
  KstFreeMem(list, 0);
  return got;
}

class StoreCrash : public StoreFixture {
 protected:
  void Run(int default_rounds) {
    const char *rounds_env = getenv("KRP_CRASH_ROUNDS");
    const char *seed_env = getenv("KRP_CRASH_SEED");
    int rounds = rounds_env ? atoi(rounds_env) : default_rounds;
    uint64_t base = seed_env ? std::stoull(seed_env)
                             : uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    std::printf("crash test: KRP_CRASH_SEED=%llu, %d rounds\n", (unsigned long long)base, rounds);
    std::mt19937_64 rng(base);
    Model model;
    ASSERT_EQ(Open(), 0u);
    Close();
    for (int round = 0; round < rounds; ++round) {
      uint64_t seed = base + uint64_t(round);
      SCOPED_TRACE("round " + std::to_string(round) + " seed " + std::to_string(seed));
      int fds[2];
      ASSERT_EQ(pipe(fds), 0);
      pid_t pid = krptest::SpawnRole("crash_writer",
                                     {folder_, std::to_string(seed), std::to_string(fds[1])});
      ASSERT_GT(pid, 0);
      close(fds[1]);
      // Let the child complete a random number of calls, then kill it at a
      // random moment of the following ones.
      uint32_t wait_for = uint32_t(rng() % 40), reported = 0, idx;
      while (reported < wait_for && read(fds[0], &idx, sizeof idx) == sizeof idx) ++reported;
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 400));
      kill(pid, SIGKILL);
      int status = krptest::WaitChild(pid);
      ASSERT_EQ(status, 128 + SIGKILL) << "the child failed on its own";
      while (read(fds[0], &idx, sizeof idx) == sizeof idx) ++reported;
      close(fds[0]);

      for (uint32_t i = 0; i < reported; ++i) Apply(&model, MakeOp(seed, i));
      Op in_flight = MakeOp(seed, reported);
      Model maybe = model;
      Apply(&maybe, in_flight);

      ASSERT_EQ(Open(kTsOpenSalvageTail), 0u);
      std::string dup;
      Model got = ReadBack(s_, &dup);
      ASSERT_EQ(dup, "") << "a name is live twice";
      std::set<std::string> names;
      for (auto &kv : model) names.insert(kv.first);
      for (auto &kv : got) names.insert(kv.first);
      for (const std::string &n : names) {
        auto g = got.find(n), m = model.find(n), y = maybe.find(n);
        bool as_model = (g == got.end()) == (m == model.end()) && (g == got.end() || g->second == m->second);
        bool as_maybe = Matches(n, in_flight) && (g == got.end()) == (y == maybe.end()) &&
                        (g == got.end() || g->second == y->second);
        auto show = [](const Model &mm, const std::string &k) {
          auto it = mm.find(k);
          if (it == mm.end()) return std::string("absent");
          return "size " + std::to_string(it->second.data.size()) + " lw " +
                 std::to_string(it->second.last_wr) + " attr " + std::to_string(it->second.attr) +
                 " consumer " + std::to_string(it->second.consumer) +
                 (it->second.data.size() < 40 ? " '" + it->second.data + "'" : "");
        };
        ASSERT_TRUE(as_model || as_maybe)
            << "name " << n << " after " << reported << " calls\n  store: " << show(got, n)
            << "\n  model: " << show(model, n) << "\n  or:    " << show(maybe, n)
            << "\n  in flight: " << in_flight.kind << " " << in_flight.name;
      }
      // Whatever the in-flight call left is the truth from here on.
      model = got;
      Close();
    }
  }
};

}  // namespace

#endif  // KRP_TESTS_STORE_STORE_CRASH_H
