// The fragment of a container against single reads of its values, as a
// ratio measured in one run: a container of 10,000 resources is cut out once
// with dll_KrpGetFragment and read once with 10,000 dll_KrpGetString calls,
// through a host in this process, with the read cache off (so that every
// single read is a round trip, as the fragment's reads are). Each side runs
// several rounds, interleaved; the median of each is reported.
//
// Usage: bench_fragment [--rounds N]   (a private folder under /tmp is used
// and removed at the end)
#include <sys/stat.h>

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
#include "mtclient.h"
#include "names.h"

namespace {

constexpr int kNames = 10000;
constexpr uint32_t kValueSize = 40;
constexpr char kContainer[] = "other.bench";

using Clock = std::chrono::steady_clock;

bool Fail(const char *what, uint32_t rc) {
  fprintf(stderr, "bench_fragment: %s failed 0x%08x\n", what, rc);
  return false;
}

std::string g_base;  // the private folder, removed at the end

std::string Name(int i) { return std::string(kContainer) + ".n" + std::to_string(i); }

bool Fill() {
  for (int i = 0; i < kNames; ++i) {
    std::string data(16, '\0');
    KrpTypeName(KRT_TEXT, data.data(), 16);
    data += std::string(kValueSize - 1, 'a' + i % 26);
    data.push_back('\0');
    uint32_t rc = KrpStoreKtsWriteMt(0, Name(i).c_str(), data.data(),
                                     static_cast<uint32_t>(data.size()), 1, 0, KRT_TEXT);
    if (rc != 0) return Fail("write", rc);
  }
  return true;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool FragmentRound(double *seconds, uint32_t *bytes) {
  uint32_t size = 0;
  void *out = nullptr;
  const auto t0 = Clock::now();
  uint32_t rc = dll_KrpGetFragment(kContainer, 0, &size, &out);
  *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  dll_KrpFreeMem(out);
  *bytes = size;
  if (rc != 0) return Fail("dll_KrpGetFragment", rc);
  return true;
}

bool SingleRound(double *seconds) {
  char buf[64];
  const auto t0 = Clock::now();
  for (int i = 0; i < kNames; ++i) {
    uint32_t size = sizeof buf;
    uint32_t rc = dll_KrpGetString(Name(i).c_str(), &size, buf);
    if (rc != 0 || size != kValueSize) return Fail("dll_KrpGetString", rc);
  }
  *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 7;
  if (argc == 3 && strcmp(argv[1], "--rounds") == 0) rounds = std::max(1, atoi(argv[2]));
  if (!KrpBenchPrivateFolder("bench_fragment", &g_base)) return 1;
  setenv("TEMP", (g_base + "/root").c_str(), 1);
  setenv("KRP_CACHE_BYTES", "0", 1);
  KRP_HLIBCTX ctx = nullptr;
  uint32_t rc = dll_KrpInitializeKrpLib(&ctx);
  if (rc != 0) return Fail("start", rc), 1;
  int status = 0;
  if (dll_KrpFlagMtClientAsAvailable() != 0 || !Fill()) status = 1;
  std::vector<double> frag, single;
  uint32_t bytes = 0;
  for (int r = 0; r < rounds && status == 0; ++r) {
    double f = 0, s = 0;
    if (!FragmentRound(&f, &bytes) || !SingleRound(&s)) status = 1;
    frag.push_back(f);
    single.push_back(s);
  }
  if (status == 0) {
    const double f = Median(frag), s = Median(single);
    printf("%d resources of %u bytes, median of %d rounds\n", kNames, kValueSize, rounds);
    printf("  dll_KrpGetFragment   %10.3f ms (%u bytes)\n", f * 1e3, bytes);
    printf("  %d single reads   %10.3f ms\n", kNames, s * 1e3);
    printf("  ratio                %10.2f (target <= 1.5)\n", f / s);
  }
  dll_KrpUninitializeKrpLib(&ctx);
  std::error_code ec;
  std::filesystem::remove_all(g_base, ec);
  return status;
}
