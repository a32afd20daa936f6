// The enumeration against single reads, as a ratio measured in one run:
// dll_KrpClientEnumerateContainer of a container holding 1,000 small TEXT
// resources, with both callbacks, against 1,000 dll_KrpGetString calls of
// the same resources, through a host in this process. Each side runs several
// rounds; the median of each is reported. The enumeration should cost at
// most as much as the single reads.
//
// Usage: bench_enumerate [--rounds N]   (a private folder under /tmp is used
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

constexpr int kEntries = 1000;
constexpr uint32_t kValueSize = 20;  // with the terminator
constexpr char kContainer[] = "vendor.bench";

using Clock = std::chrono::steady_clock;

bool Fail(const char *what, uint32_t rc) {
  fprintf(stderr, "bench_enumerate: %s failed 0x%08x\n", what, rc);
  return false;
}

std::string g_base;  // the private folder, removed at the end

bool PrivateFolder() { return KrpBenchPrivateFolder("bench_enumerate", &g_base); }

std::string Name(int i) { return std::string(kContainer) + ".r" + std::to_string(i); }

bool Fill() {
  for (int i = 0; i < kEntries; ++i) {
    const std::string value(kValueSize - 1, static_cast<char>('a' + i % 26));
    uint32_t rc = dll_KrpSetString(Name(i).c_str(), static_cast<uint32_t>(value.size()),
                                   value.c_str(), nullptr, nullptr);
    if (rc != 0) return Fail("dll_KrpSetString", rc);
  }
  return true;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Tally {
  uint32_t containers = 0, resources = 0, bad = 0;
};

uint32_t OnContainer(const char *, const char *, void *ctx) {
  ++static_cast<Tally *>(ctx)->containers;
  return 0;
}

uint32_t OnResource(const char *, const char *, uint32_t type, uint32_t size, void *ctx) {
  auto *t = static_cast<Tally *>(ctx);
  ++t->resources;
  if (type != KRT_TEXT || size != kValueSize) ++t->bad;
  return 0;
}

bool EnumerateRound(double *seconds) {
  Tally t;
  uint32_t containers = 0, resources = 0;
  const auto t0 = Clock::now();
  uint32_t rc = dll_KrpClientEnumerateContainer(kContainer, &containers, &resources,
                                                OnContainer, OnResource, &t);
  *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (rc != 0) return Fail("dll_KrpClientEnumerateContainer", rc);
  if (resources != kEntries || t.resources != kEntries || t.containers != 0 || t.bad != 0)
    return Fail("enumeration counts", t.bad);
  return true;
}

bool SingleRound(double *seconds) {
  std::vector<std::string> names;
  for (int i = 0; i < kEntries; ++i) names.push_back(Name(i));
  char buf[64];
  const auto t0 = Clock::now();
  for (const std::string &n : names) {
    uint32_t size = sizeof buf;
    uint32_t rc = dll_KrpGetString(n.c_str(), &size, buf);
    if (rc != 0 || size != kValueSize) return Fail("dll_KrpGetString", rc);
  }
  *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 9;
  if (argc == 3 && strcmp(argv[1], "--rounds") == 0) rounds = std::max(1, atoi(argv[2]));
  if (!PrivateFolder()) return 1;
  KRP_HLIBCTX ctx = nullptr;
  uint32_t rc = dll_KrpInitializeKrpLib(&ctx);
  if (rc != 0) return Fail("start", rc), 1;
  int status = 0;
  if (dll_KrpFlagMtClientAsAvailable() != 0 || !Fill()) status = 1;
  std::vector<double> walk, single;
  for (int r = 0; r < rounds && status == 0; ++r) {
    double w = 0, s = 0;
    if (!EnumerateRound(&w) || !SingleRound(&s)) status = 1;
    walk.push_back(w);
    single.push_back(s);
  }
  if (status == 0) {
    const double w = Median(walk), s = Median(single);
    printf("%d resources in one container, median of %d rounds\n", kEntries, rounds);
    printf("  enumeration (both callbacks)  %10.3f ms\n", w * 1e3);
    printf("  1000 single reads             %10.3f ms\n", s * 1e3);
    printf("  ratio enumeration/reads       %10.2f (target at most 1)\n", w / s);
  }
  dll_KrpUninitializeKrpLib(&ctx);
  std::error_code ec;
  std::filesystem::remove_all(g_base, ec);
  return status;
}
