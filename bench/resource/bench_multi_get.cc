// The multiple get against single reads, as a ratio measured in one run:
// 1,000 names (half of them "vendor." names whose values lie under their
// "default." counterparts, the other half plain names) read once with
// dll_KrpGetMultipleByList and once with 1,000 dll_KrpGetString calls,
// through a host in this process. Each side runs several rounds; the median
// of each is reported.
//
// Usage: bench_multi_get [--rounds N]   (a private folder under /tmp is used
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
#include "mtclient.h"
#include "names.h"

namespace {

constexpr int kNames = 1000;
constexpr uint32_t kValueSize = 40;

using Clock = std::chrono::steady_clock;

bool Fail(const char *what, uint32_t rc) {
  fprintf(stderr, "bench_multi_get: %s failed 0x%08x\n", what, rc);
  return false;
}

std::string g_base;  // the private folder, removed at the end

bool PrivateFolder() { return KrpBenchPrivateFolder("bench_multi_get", &g_base); }

// The name read for index i, and the store name its value is written under.
std::string ReadName(int i) {
  return (i % 2 ? "vendor.bench.n" : "other.bench.n") + std::to_string(i);
}
std::string StoredName(int i) {
  return (i % 2 ? "default.bench.n" : "other.bench.n") + std::to_string(i);
}

bool Fill() {
  for (int i = 0; i < kNames; ++i) {
    std::string data(16, '\0');
    KrpTypeName(KRT_TEXT, data.data(), 16);
    data += std::string(kValueSize - 1, 'a' + i % 26);
    data.push_back('\0');
    uint32_t rc = KrpStoreKtsWriteMt(0, StoredName(i).c_str(), data.data(),
                                     static_cast<uint32_t>(data.size()), 1, 0, KRT_TEXT);
    if (rc != 0) return Fail("write", rc);
  }
  return true;
}

std::string List() {
  std::string s;
  char len[9];
  for (int i = 0; i < kNames; ++i) {
    const std::string n = ReadName(i);
    snprintf(len, sizeof len, "%08x", static_cast<unsigned>(n.size()));
    s += len + n + "\r\n";
  }
  return s + "00000000";
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool MultiRound(const std::string &list, double *seconds) {
  uint32_t size = static_cast<uint32_t>(list.size());
  void *out = nullptr;
  const auto t0 = Clock::now();
  uint32_t rc = dll_KrpGetMultipleByList(list.data(), kNames, &size, &out);
  *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  dll_KrpFreeMem(out);
  if (rc != 0) return Fail("dll_KrpGetMultipleByList", rc);
  // Every item holds a value: 40 bytes + 10 per item, plus the end.
  if (size != kNames * (kValueSize + 10) + 10) return Fail("output size", size);
  return true;
}

bool SingleRound(double *seconds) {
  char buf[64];
  const auto t0 = Clock::now();
  for (int i = 0; i < kNames; ++i) {
    uint32_t size = sizeof buf;
    uint32_t rc = dll_KrpGetString(ReadName(i).c_str(), &size, buf);
    if (rc != 0 || size != kValueSize) return Fail("dll_KrpGetString", rc);
  }
  *seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 15;
  if (argc == 3 && strcmp(argv[1], "--rounds") == 0) rounds = std::max(1, atoi(argv[2]));
  if (!PrivateFolder()) return 1;
  KRP_HLIBCTX ctx = nullptr;
  uint32_t rc = dll_KrpInitializeKrpLib(&ctx);
  if (rc != 0) return Fail("start", rc), 1;
  int status = 0;
  if (dll_KrpFlagMtClientAsAvailable() != 0 || !Fill()) status = 1;
  const std::string list = List();
  std::vector<double> multi, single;
  for (int r = 0; r < rounds && status == 0; ++r) {
    double m = 0, s = 0;
    if (!MultiRound(list, &m) || !SingleRound(&s)) status = 1;
    multi.push_back(m);
    single.push_back(s);
  }
  if (status == 0) {
    const double m = Median(multi), s = Median(single);
    printf("%d names (half vendor names falling back to defaults), median of %d rounds\n",
           kNames, rounds);
    printf("  multi-get          %10.3f ms\n", m * 1e3);
    printf("  1000 single reads  %10.3f ms\n", s * 1e3);
    printf("  ratio              %10.1f x faster\n", s / m);
  }
  dll_KrpUninitializeKrpLib(&ctx);
  std::error_code ec;
  std::filesystem::remove_all(g_base, ec);
  return status;
}
