// List helper benchmark. Run by hand: bench_listhelp [repetitions]
//
// Every figure is the best of N runs, printed in milliseconds and as a ratio
// against a baseline measured in the same run: a plain loop that reads every
// byte of the same serialised buffer once (a byte sum the compiler cannot
// drop). The ratios say how many times one pass over the bytes an operation
// costs, which stays comparable from machine to machine.
//
//   parse      dll_KrpListhelpAddList of 100,000 items (one node and one
//              copy per item)
//   count      dll_KrpListhelpGetCountFromResource of the same buffer (the
//              parser alone, no allocation)
//   serialise  dll_KrpListhelpGetList into a buffer of the right size
//   sort       dll_KrpListhelpSort of 1,000 and 10,000 items in each mode
//              (the parse that refills the list before each run is not timed)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "krplib.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string Serialise(const std::vector<std::string> &items) {
  std::string out;
  for (const std::string &s : items) {
    char len[9];
    std::snprintf(len, sizeof len, "%08x", static_cast<unsigned>(s.size()));
    out += len + s + "\r\n";
  }
  return out + "00000000";
}

volatile uint64_t g_sink;

// The baseline: one read of every byte.
double BaselineMs(const std::string &buf, int reps) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    uint64_t sum = 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(buf.data());
    for (size_t i = 0; i < buf.size(); ++i) sum += p[i];
    g_sink = sum;
    best = std::min(best, Ms(Clock::now() - t0));
  }
  return best;
}

void Must(uint32_t rc, const char *what) {
  if (rc != 0) {
    std::fprintf(stderr, "%s failed: 0x%08x\n", what, rc);
    std::exit(1);
  }
}

template <typename F>
double BestMs(int reps, F &&f) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, Ms(Clock::now() - t0));
  }
  return best;
}

std::vector<std::string> MakeItems(uint32_t mode, size_t n, std::mt19937 &rng) {
  std::vector<std::string> items(n);
  for (std::string &s : items) {
    switch (mode) {
      case 1: s = std::to_string(static_cast<int32_t>(rng())); break;
      case 2:
        s = std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + "." +
            std::to_string(rng() % 256) + "." + std::to_string(rng() % 256);
        break;
      case 3:
      case 4: {
        std::string t;
        const size_t len = 6 + rng() % 20;
        for (size_t i = 0; i < len; ++i) t += static_cast<char>((rng() % 2 ? 'a' : 'A') + rng() % 26);
        if (mode == 3) {
          s = t;
        } else {
          for (char c : t) {
            s += c;
            s += '\0';
          }
        }
        break;
      }
    }
  }
  return items;
}

}  // namespace

int main(int argc, char **argv) {
  const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::mt19937 rng(12345);

  // ---- parse and serialise 100,000 items --------------------------------
  std::vector<std::string> items(100000);
  for (std::string &s : items) {
    const size_t len = 4 + rng() % 40;
    for (size_t i = 0; i < len; ++i) s += static_cast<char>('a' + rng() % 26);
  }
  const std::string buf = Serialise(items);
  const uint32_t size = static_cast<uint32_t>(buf.size());
  const double base = BaselineMs(buf, reps * 4);

  KRP_HLIST h = nullptr;
  Must(dll_KrpListhelpInit(&h, nullptr), "init");
  const double parse = BestMs(reps, [&] { Must(dll_KrpListhelpAddList(h, buf.data(), size), "parse"); });
  const double count = BestMs(reps, [&] {
    uint32_t n = 0;
    Must(dll_KrpListhelpGetCountFromResource(buf.data(), size, &n), "count");
    g_sink = n;
  });
  std::string out(buf.size(), '\0');
  const double ser = BestMs(reps, [&] {
    uint32_t n = static_cast<uint32_t>(out.size());
    Must(dll_KrpListhelpGetList(h, out.data(), &n), "serialise");
  });
  if (out != buf) {
    std::fprintf(stderr, "round trip differs\n");
    return 1;
  }
  std::printf("list of %zu items, %u bytes; baseline byte loop %.3f ms\n", items.size(), size, base);
  std::printf("  %-10s %10.3f ms  ratio %7.1f\n", "parse", parse, parse / base);
  std::printf("  %-10s %10.3f ms  ratio %7.1f\n", "count", count, count / base);
  std::printf("  %-10s %10.3f ms  ratio %7.1f\n", "serialise", ser, ser / base);

  // ---- sort ---------------------------------------------------------------
  static const char *const kModeNames[] = {"", "integer", "ipv4", "text", "wide"};
  for (size_t n : {size_t{1000}, size_t{10000}}) {
    for (uint32_t mode = 1; mode <= 4; ++mode) {
      const std::string list = Serialise(MakeItems(mode, n, rng));
      const double list_base = BaselineMs(list, reps * 4);
      const int sort_reps = n > 1000 ? std::max(1, reps / 2) : reps;
      double best = 1e30;
      for (int r = 0; r < sort_reps; ++r) {
        Must(dll_KrpListhelpAddList(h, list.data(), static_cast<uint32_t>(list.size())), "refill");
        const auto t0 = Clock::now();
        Must(dll_KrpListhelpSort(h, mode), "sort");
        best = std::min(best, Ms(Clock::now() - t0));
      }
      std::printf("sort %6zu items mode %u (%-7s) %10.3f ms  ratio %9.1f  (baseline %.4f ms over %zu bytes)\n",
                  n, mode, kModeNames[mode], best, best / list_base, list_base, list.size());
    }
  }
  Must(dll_KrpListhelpExit(&h), "exit");
  return 0;
}
