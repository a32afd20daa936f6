// Merging a fragment against writing its values one by one, in one process
// that hosts the store; every figure against a baseline of the same run:
//
//   merge     dll_KrpMergeIntoStore of a fragment file of 10,000 values
//             (overwrite policy, new prefix) into a container of its own;
//   single    10,000 writes of the same values (same stored bytes) with the
//             raw service write KrpStoreKtsWriteMt into another container,
//             and with dll_KrpSetString (for information).
// Target: merge / single (raw service write) at most 1.5. Rounds alternate
// the two; the median of each is reported.
//
// Where the time goes: the merge's own reading of the fragment is measured
// alone (open in secondary mode with its index scan, then for every value
// the container test and the value read that the walk makes), so the
// remainder is the service writes.
//
// Usage: bench_fragment_merge [--quick]
// A private folder under /tmp holds the run's objects, registry, store and
// fragment; it is removed at the end. No assertions: figures only.
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
#include "store.h"

namespace {

constexpr int kValues = 10000;
constexpr uint32_t kValueBytes = 40;
constexpr double kTarget = 1.5;
constexpr uint32_t kReadBuf = 4096;

using Clock = std::chrono::steady_clock;
std::string g_base;

[[noreturn]] void Die(const char *what, uint32_t rc = 0) {
  std::fprintf(stderr, "bench_fragment_merge: %s 0x%08x\n", what, rc);
  std::error_code ec;
  std::filesystem::remove_all(g_base, ec);
  std::exit(1);
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string ValueText(int i) {
  std::string t = "value " + std::to_string(i) + " ";
  t.resize(kValueBytes - 1, 'v');
  return t;
}

std::string StoredText(int i) {
  std::string s(KRP_TYPE_FIELD_SIZE, '\0');
  KrpTypeName(KRT_TEXT, s.data(), KRP_TYPE_FIELD_SIZE);
  return s + ValueText(i) + std::string(1, '\0');
}

std::string Leaf(int i) { return "g" + std::to_string(i / 100) + ".v" + std::to_string(i); }

// The fragment: kValues values in 100 containers of 100.
std::string MakeFragment() {
  const std::string folder = g_base + "/";
  TsStore *s = nullptr;
  uint32_t rc = StoreInit(&s, folder.c_str(), "frag.kts", nullptr, nullptr, kTsOpenCreate);
  if (rc) Die("fragment init", rc);
  for (int i = 0; i < kValues; ++i) {
    std::string d = StoredText(i);
    KstScrambleData(KST_SCRAMBLE_KEY, d.data(), static_cast<uint32_t>(d.size()));
    rc = StoreWrite(s, Leaf(i).c_str(), d.data(), static_cast<uint32_t>(d.size()), 1000, 0,
                    KRT_TEXT);
    if (rc) Die("fragment write", rc);
  }
  StoreExit(s);
  return folder + "frag.kts";
}

double TimeMerge(const std::string &path, int round) {
  const std::string prefix = "m" + std::to_string(round);
  auto t0 = Clock::now();
  uint32_t rc = dll_KrpMergeIntoStore(nullptr, path.c_str(), 0, nullptr, prefix.c_str(), 0x2);
  auto t1 = Clock::now();
  if (rc) Die("merge", rc);
  return Ms(t1 - t0);
}

double TimeRawWrites(int round) {
  const std::string prefix = "w" + std::to_string(round) + ".";
  std::vector<std::string> stored(kValues);
  for (int i = 0; i < kValues; ++i) stored[i] = StoredText(i);
  auto t0 = Clock::now();
  for (int i = 0; i < kValues; ++i) {
    const std::string name = prefix + Leaf(i);
    uint32_t rc = KrpStoreKtsWriteMt(0, name.c_str(), stored[i].data(),
                                     static_cast<uint32_t>(stored[i].size()), 1000, 0x100,
                                     KRT_TEXT);
    if (rc) Die("raw write", rc);
  }
  return Ms(Clock::now() - t0);
}

double TimeSetString(int round) {
  const std::string prefix = "s" + std::to_string(round) + ".";
  auto t0 = Clock::now();
  for (int i = 0; i < kValues; ++i) {
    const std::string name = prefix + Leaf(i), v = ValueText(i);
    uint32_t rc = dll_KrpSetString(name.c_str(), static_cast<uint32_t>(v.size()), v.c_str(),
                                   nullptr, nullptr);
    if (rc) Die("set string", rc);
  }
  return Ms(Clock::now() - t0);
}

// The fragment reads of one merge without its writes: the secondary open
// and, per value, the container test and the value read of the walk.
void FragmentReadCost(const std::string &path, double *open_ms, double *walk_ms) {
  auto t0 = Clock::now();
  TsStore *s = nullptr;
  uint32_t rc = StoreInit(&s, (g_base + "/").c_str(), "frag.kts", nullptr, nullptr,
                          kTsOpenSecondary | 1);
  if (rc) Die("secondary open", rc);
  auto t1 = Clock::now();
  std::vector<char> buf(kReadBuf);
  for (int i = 0; i < kValues; ++i) {
    uint32_t size = kReadBuf, lw, at, co;
    const std::string leaf = Leaf(i);
    if (TsContainerTest(&s->index, leaf.c_str(), static_cast<uint32_t>(leaf.size())))
      Die("leaf is a container");
    StoreRead(s, leaf.c_str(), buf.data(), &size, &lw, &at, &co);
    KstUnscrambleData(KST_SCRAMBLE_KEY, buf.data(), size);
  }
  auto t2 = Clock::now();
  StoreExit(s);
  *open_ms = Ms(t1 - t0);
  *walk_ms = Ms(t2 - t1);
  (void)path;
}

}  // namespace

int main(int argc, char **argv) {
  const bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
  const int rounds = quick ? 1 : 5;
  if (!KrpBenchPrivateFolder("bench_fragment_merge", &g_base)) Die("private folder");
  setenv("TEMP", g_base.c_str(), 1);
  KRP_HLIBCTX ctx = nullptr;
  uint32_t rc = dll_KrpInitializeKrpLib(&ctx);
  if (rc) Die("host start", rc);
  if ((rc = dll_KrpFlagMtClientAsAvailable())) Die("flag available", rc);
  const std::string path = MakeFragment();

  std::vector<double> merge, raw, set;
  for (int r = 0; r < rounds; ++r) {
    merge.push_back(TimeMerge(path, r));
    raw.push_back(TimeRawWrites(r));
    set.push_back(TimeSetString(r));
  }
  double open_ms = 0, walk_ms = 0;
  FragmentReadCost(path, &open_ms, &walk_ms);
  const double m = Median(merge), w = Median(raw), s = Median(set);
  std::printf("values per run:                     %d (%u-byte texts, 100 containers)\n", kValues,
              kValueBytes);
  std::printf("merge (overwrite), median:          %.1f ms\n", m);
  std::printf("single raw service writes, median:  %.1f ms\n", w);
  std::printf("single dll_KrpSetString, median:    %.1f ms\n", s);
  std::printf("merge / raw writes:                 %.2f (target <= %.1f)\n", m / w, kTarget);
  std::printf("merge / dll_KrpSetString:           %.2f\n", m / s);
  std::printf("fragment open (secondary, index):   %.1f ms\n", open_ms);
  std::printf("fragment walk reads (test+value):   %.1f ms\n", walk_ms);
  std::printf("rest of the merge (service writes, access/info requests): %.1f ms\n",
              m - open_ms - walk_ms);
  dll_KrpUninitializeKrpLib(&ctx);
  std::error_code ec;
  std::filesystem::remove_all(g_base, ec);
  return 0;
}
