// A model-based test of named-object lifetime. A few worker processes take
// thousands of random steps (create, open, close, write, read, SIGKILL) on a
// handful of names, driven one step at a time by the test, which checks each
// answer against the rule:
//
//   an object exists exactly while some process holds a handle to it; the
//   last close removes it; the death of the last holder leaves a dead file
//   that open reports as missing (2) and create starts afresh (zeroed).
//
// The CI form takes a few seconds; KRP_TEST_LONG=1 runs the long form.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "named_test_util.h"
#include "platform.h"
#include "test_support.h"

namespace {

using krptest::ObjectFile;
using krptest::PathExists;

// ---- the worker: one command per line on its socket, one answer per line --
//   C <name>          create (64 bytes)  -> "<rc> <slot> <word 0>"
//   O <name>          open               -> "<rc> <slot> <word 0>"
//   X <slot>          free               -> "<rc>"
//   W <slot> <value>  store word 0       -> "0"
//   R <slot>          load word 0        -> "0 <word 0>"

bool ReadLine(int fd, std::string *line, int timeout_ms) {
  line->clear();
  char c;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    if (read(fd, &c, 1) != 1) return false;
    if (c == '\n') return true;
    line->push_back(c);
  }
}

bool WriteLine(int fd, const std::string &s) {
  std::string l = s + "\n";
  return write(fd, l.data(), l.size()) == static_cast<ssize_t>(l.size());
}

KRP_CHILD_ROLE_FN(lifetime_worker) {
  int fd = std::stoi(args.at(0));
  struct Slot {
    void *addr = nullptr;
    KST_HSHMEM h = nullptr;
  };
  std::map<int, Slot> slots;
  int next_slot = 0;
  std::string line;
  while (ReadLine(fd, &line, 60000)) {
    std::istringstream in(line);
    char op;
    in >> op;
    std::ostringstream out;
    if (op == 'C' || op == 'O') {
      std::string name;
      in >> name;
      Slot s;
      uint32_t rc = op == 'C' ? KstCreateSharedMem(name.c_str(), &s.addr, 64, &s.h)
                              : KstOpenSharedMem(name.c_str(), &s.addr, &s.h);
      out << rc;
      if (rc == 0) {
        slots[next_slot] = s;
        out << " " << next_slot++ << " " << *static_cast<uint32_t *>(s.addr);
      }
    } else if (op == 'X') {
      int slot;
      in >> slot;
      out << KstFreeSharedMem(slots[slot].addr, slots[slot].h);
      slots.erase(slot);
    } else if (op == 'W') {
      int slot;
      uint32_t v;
      in >> slot >> v;
      *static_cast<uint32_t *>(slots[slot].addr) = v;
      out << 0;
    } else if (op == 'R') {
      int slot;
      in >> slot;
      out << "0 " << *static_cast<uint32_t *>(slots[slot].addr);
    }
    if (!WriteLine(fd, out.str())) return 1;
  }
  return 0;
}

// ---- the driver and its model --------------------------------------------------

struct Worker {
  pid_t pid = -1;
  int fd = -1;
  std::vector<std::pair<int, int>> handles;  // (slot, name index)
};

struct NameModel {
  int holders = 0;      // handles open in live processes
  uint32_t word = 0;    // word 0 of the region while it exists
  bool dead = false;    // file left behind by a killed last holder
};

class LifetimeModel : public ::testing::Test {
 protected:
  krptest::TestEnv env_;

  void Spawn(Worker *w) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    // The worker's end must survive its exec; the test's end must not leak
    // into later workers.
    int flags = fcntl(sv[1], F_GETFD);
    fcntl(sv[1], F_SETFD, flags & ~FD_CLOEXEC);
    w->pid = krptest::SpawnRole("lifetime_worker", {std::to_string(sv[1])});
    close(sv[1]);
    ASSERT_GT(w->pid, 0);
    w->fd = sv[0];
    w->handles.clear();
  }

  // Sends one command; the answer's fields.
  std::vector<uint64_t> Ask(Worker &w, const std::string &cmd) {
    std::string reply;
    EXPECT_TRUE(WriteLine(w.fd, cmd));
    EXPECT_TRUE(ReadLine(w.fd, &reply, 20000)) << "no answer to " << cmd;
    std::istringstream in(reply);
    std::vector<uint64_t> f;
    uint64_t v;
    while (in >> v) f.push_back(v);
    if (f.empty()) f.push_back(~0ull);
    return f;
  }

  void Kill(Worker &w) {
    kill(w.pid, SIGKILL);
    krptest::WaitChild(w.pid);
    close(w.fd);
  }
};

TEST_F(LifetimeModel, RandomStepsFollowTheLastHolderRule) {
  const int steps = krptest::StepCount(10000, 200000);
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };

  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) names.push_back(env_.Name("m" + std::to_string(i)));
  std::vector<NameModel> model(names.size());
  std::vector<Worker> workers(3);
  for (Worker &w : workers) ASSERT_NO_FATAL_FAILURE(Spawn(&w));

  for (int step = 0; step < steps && !HasFailure(); ++step) {
    Worker &w = workers[pick(workers.size())];
    int roll = static_cast<int>(pick(100));
    if (roll < 3) {
      // SIGKILL: every handle of the worker goes with it.
      Kill(w);
      for (auto [slot, n] : w.handles) {
        if (--model[n].holders == 0) model[n].dead = true;
      }
      ASSERT_NO_FATAL_FAILURE(Spawn(&w));
    } else if (roll < 53 && w.handles.size() < 6) {
      bool create = roll < 28;
      size_t n = pick(names.size());
      auto f = Ask(w, std::string(create ? "C " : "O ") + names[n]);
      NameModel &m = model[n];
      if (create || m.holders > 0) {
        ASSERT_EQ(f[0], 0u) << "step " << step << (create ? " create " : " open ") << names[n];
        ASSERT_EQ(f.size(), 3u);
        // A region nobody held starts zeroed, a dead one too.
        uint32_t expect = m.holders > 0 ? m.word : 0;
        EXPECT_EQ(f[2], expect) << "step " << step;
        m.word = expect;
        m.holders++;
        m.dead = false;
        w.handles.push_back({static_cast<int>(f[1]), static_cast<int>(n)});
      } else {
        ASSERT_EQ(f[0], 2u) << "step " << step << " open of " << names[n];
        m.dead = false;  // the open removed the dead file
      }
    } else if (!w.handles.empty()) {
      size_t k = pick(w.handles.size());
      auto [slot, n] = w.handles[k];
      NameModel &m = model[n];
      if (roll < 78) {
        ASSERT_EQ(Ask(w, "X " + std::to_string(slot))[0], 0u) << "step " << step;
        w.handles.erase(w.handles.begin() + static_cast<long>(k));
        m.holders--;
      } else if (roll < 90) {
        uint32_t v = static_cast<uint32_t>(rng()) | 1u;
        ASSERT_EQ(Ask(w, "W " + std::to_string(slot) + " " + std::to_string(v))[0], 0u);
        m.word = v;
      } else {
        auto f = Ask(w, "R " + std::to_string(slot));
        ASSERT_EQ(f.size(), 2u);
        EXPECT_EQ(f[1], m.word) << "step " << step;
      }
    }
    // The file exists exactly while someone holds the object, or while a
    // killed last holder's file waits to be found dead.
    for (size_t n = 0; n < names.size(); ++n) {
      bool exists = PathExists(ObjectFile("SHAREMEM_", names[n]));
      EXPECT_EQ(exists, model[n].holders > 0 || model[n].dead)
          << "step " << step << " name " << names[n] << " holders " << model[n].holders;
    }
  }
  for (Worker &w : workers) Kill(w);
}

}  // namespace
