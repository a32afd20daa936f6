// The merged level grows linearly: dll_KrpListEntireLevel of "vendor.app"
// holding N resources merged with "default.app" holding N resources, half of
// the names shared (vendor.app.cK for K in [0, N), default.app.cK for K in
// [N/2, 3N/2)), for N = 1,000 and N = 10,000, through a host in this
// process. Each size runs several rounds; the median per child is reported,
// and the ratio of the per-child costs (10,000 / 1,000) should be at most 1.5.
//
// Usage: bench_list_level [--rounds N]   (a private folder under /tmp is used
// and removed at the end)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_folder.h"
#include "krplib.h"

namespace {

constexpr int kSmall = 1000;
constexpr int kLarge = 10000;
constexpr double kTargetRatio = 1.5;
constexpr char kValue[] = "v";

using Clock = std::chrono::steady_clock;

bool Fail(const char *what, uint32_t rc) {
  fprintf(stderr, "bench_list_level: %s failed 0x%08x\n", what, rc);
  return false;
}

std::string g_base;  // the private folder, removed at the end

bool PrivateFolder() { return KrpBenchPrivateFolder("bench_list_level", &g_base); }

// The two containers of one size: "vendor.appN" and "default.appN".
std::string Level(int n) { return "app" + std::to_string(n); }

bool Set(const std::string &name) {
  uint32_t rc = dll_KrpSetString(name.c_str(), sizeof kValue - 1, kValue, nullptr, nullptr);
  return rc == 0 || Fail("dll_KrpSetString", rc);
}

bool Fill(int n) {
  const std::string level = Level(n);
  for (int k = 0; k < n; ++k)
    if (!Set("vendor." + level + ".c" + std::to_string(k)) ||
        !Set("default." + level + ".c" + std::to_string(k + n / 2)))
      return false;
  return true;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One listing of the merged level; its count must be the union, 3N/2.
bool ListRound(int n, double *seconds) {
  const std::string name = "vendor." + Level(n);
  void *listing = nullptr;
  uint32_t size = 0, count = 0;
  const auto t0 = Clock::now();
  uint32_t rc = dll_KrpListEntireLevel(name.c_str(), &listing, &size, &count);
  *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  dll_KrpFreeMem(listing);
  if (rc != 0) return Fail("dll_KrpListEntireLevel", rc);
  if (count != static_cast<uint32_t>(n + n / 2)) return Fail("merged count", count);
  return true;
}

bool PerChild(int n, int rounds, double *per_child) {
  std::vector<double> times;
  for (int r = 0; r < rounds; ++r) {
    double s = 0;
    if (!ListRound(n, &s)) return false;
    times.push_back(s);
  }
  *per_child = Median(times) / n;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 7;
  if (argc == 3 && strcmp(argv[1], "--rounds") == 0) rounds = std::max(1, atoi(argv[2]));
  if (!PrivateFolder()) return 1;
  KRP_HLIBCTX ctx = nullptr;
  uint32_t rc = dll_KrpInitializeKrpLib(&ctx);
  if (rc != 0) return Fail("start", rc), 1;
  int status = 0;
  double small = 0, large = 0;
  if (dll_KrpFlagMtClientAsAvailable() != 0 || !Fill(kSmall) || !Fill(kLarge) ||
      !PerChild(kSmall, rounds, &small) || !PerChild(kLarge, rounds, &large))
    status = 1;
  if (status == 0) {
    printf("vendor level of N merged with default level of N, half shared, median of %d rounds\n",
           rounds);
    printf("  N = %5d   %10.3f us per child\n", kSmall, small * 1e6);
    printf("  N = %5d   %10.3f us per child\n", kLarge, large * 1e6);
    printf("  ratio per child %d/%d   %6.2f (target at most %.1f)\n", kLarge, kSmall,
           large / small, kTargetRatio);
  }
  dll_KrpUninitializeKrpLib(&ctx);
  std::error_code ec;
  std::filesystem::remove_all(g_base, ec);
  return status;
}
