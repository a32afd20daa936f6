// Direct reads without a host, against plain baselines measured in the same
// run:
//
//   first read   the first read of a process (the index is built by one
//                scan of the file) against reading the whole file once
//                (open, pread in 5 MB chunks into a resident buffer, close;
//                also into a fresh buffer, whose pages must be faulted in as
//                the index's table must); the old scan of every call is
//                shown beside it;
//   later read   a read of one name, and of a lookup set of four names of
//                which one exists, against a stat of the file plus a pread
//                of a 100-byte value;
//   memory       the index's bytes per object (table and record buffer), at
//                the store's size and at a second, larger size (default a
//                million objects).
//
// Target: first read <= 1.5 x reading the file; later read <= 3 x stat +
// pread; memory within 265 bytes per object at a million.
//
// Usage: bench_direct_index [objects, default 10000] [large, default
// 1000000; 0 skips it] [folder, default /tmp]
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store.h"
#include "store_direct_index.h"
#include "store_maint.h"

namespace {

constexpr uint32_t kValueSize = 100;
constexpr int kFirstRounds = 15;
constexpr int kLaterReads = 20000;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string NameOf(uint32_t i) {
  return "vendor.c" + std::to_string(i % 300) + ".object" + std::to_string(i);
}

bool MakeStore(const std::string &folder, uint32_t n, uint32_t value_size) {
  TsStore *s = nullptr;
  if (StoreInit(&s, folder.c_str(), "d.kts", nullptr, nullptr, 0)) return false;
  std::string v(value_size, 'v');
  for (uint32_t i = 0; i < n; ++i) {
    std::string name = NameOf(i);
    if (StoreWrite(s, name.c_str(), v.data(), value_size, 1, 0, 1)) return false;
  }
  return StoreExit(s) == 0;
}

// Into a buffer that is reused (its pages are resident: the cheapest
// baseline), or into a fresh one of the file's size, as a first read of a
// process has to.
double ReadFileOnce(const std::string &path, bool fresh) {
  static std::vector<char> warm(kTsChunk);
  double t0 = Now();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  fstat(fd, &st);
  char *buf = fresh ? static_cast<char *>(std::malloc(size_t(st.st_size))) : warm.data();
  const size_t cap = fresh ? size_t(st.st_size) : warm.size();
  off_t pos = 0;
  ssize_t got;
  while ((got = pread(fd, buf + (fresh ? pos : 0), fresh ? cap - size_t(pos) : cap, pos)) > 0)
    pos += got;
  close(fd);
  if (fresh) std::free(buf);
  return Now() - t0;
}

uint32_t ReadNames(const std::string &path, const std::vector<std::string> &names, bool *found) {
  TsForceName asked[4];
  for (size_t i = 0; i < names.size(); ++i)
    asked[i] = TsForceName{names[i].c_str(), false, false, 0, 0, 0, 0};
  void *data = nullptr;
  uint32_t rc = StoreForceReadNames(path.c_str(), asked, uint32_t(names.size()), &data);
  *found = false;
  for (size_t i = 0; i < names.size(); ++i) *found |= asked[i].found;
  KstFreeMem(data, 0);
  return rc;
}

double FirstRead(const std::string &path, uint32_t n) {
  std::vector<double> t;
  for (int r = 0; r < kFirstRounds; ++r) {
    TsDirectIndexForget();
    bool found;
    double t0 = Now();
    ReadNames(path, {NameOf(r % n)}, &found);
    t.push_back(Now() - t0);
  }
  return Median(t);
}

// Per read, seconds.
double LaterReads(const std::string &path, uint32_t n, bool lookup_set, uint32_t *misses) {
  std::mt19937 rng(7);
  bool found;
  ReadNames(path, {NameOf(0)}, &found);  // built
  *misses = 0;
  double t0 = Now();
  for (int i = 0; i < kLaterReads; ++i) {
    std::string name = NameOf(rng() % n);
    if (lookup_set) {
      // Localised variant, default locale's variant, the name, "default.".
      std::vector<std::string> set = {name + "_de", name + "_00", name,
                                      "default" + name.substr(6)};
      ReadNames(path, set, &found);
    } else {
      ReadNames(path, {name}, &found);
    }
    *misses += !found;
  }
  return (Now() - t0) / kLaterReads;
}

double StatAndPread(const std::string &path) {
  struct stat st;
  stat(path.c_str(), &st);
  const off_t size = st.st_size;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::mt19937 rng(7);
  char buf[kValueSize];
  double t0 = Now();
  for (int i = 0; i < kLaterReads; ++i) {
    stat(path.c_str(), &st);
    if (pread(fd, buf, kValueSize, off_t(rng() % uint32_t(size - kValueSize))) < 0) break;
  }
  double per = (Now() - t0) / kLaterReads;
  close(fd);
  return per;
}

// Index bytes per object after one read of a store of n objects.
double BytesPerObject(const std::string &path, uint32_t n, TsDirectIndexStats *st) {
  TsDirectIndexForget();
  bool found;
  ReadNames(path, {NameOf(n / 2)}, &found);
  TsDirectIndexGetStats(st);
  return double(st->bytes) / n;
}

}  // namespace

int main(int argc, char **argv) {
  const uint32_t n = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 10000;
  const uint32_t large = argc > 2 ? uint32_t(std::strtoul(argv[2], nullptr, 10)) : 1000000;
  const std::string base = argc > 3 ? argv[3] : "/tmp";
  std::string folder = base + "/bench_direct_index-XXXXXX";
  if (!mkdtemp(&folder[0])) return 1;
  folder += "/";
  const std::string path = folder + "d.kts";
  if (!MakeStore(folder, n, kValueSize)) {
    std::fprintf(stderr, "making the store failed\n");
    return 1;
  }
  struct stat st;
  stat(path.c_str(), &st);
  std::printf("store: %u objects of %u bytes, file %lld bytes\n", n, kValueSize,
              (long long)st.st_size);

  std::vector<double> once, once_fresh;
  for (int r = 0; r < kFirstRounds; ++r) once.push_back(ReadFileOnce(path, false));
  for (int r = 0; r < kFirstRounds; ++r) once_fresh.push_back(ReadFileOnce(path, true));
  const double file_once = Median(once), file_fresh = Median(once_fresh);
  const double first = FirstRead(path, n);
  TsDirectIndexSetEnabled(false);
  std::vector<double> scans;
  for (int r = 0; r < 5; ++r) {
    bool found;
    double t0 = Now();
    ReadNames(path, {NameOf(r)}, &found);
    scans.push_back(Now() - t0);
  }
  TsDirectIndexSetEnabled(true);
  std::printf("first read      %9.1f us   reading the file once %9.1f us   ratio %.2f (target "
              "<= 1.5)\n",
              first * 1e6, file_once * 1e6, first / file_once);
  std::printf("  (into a fresh buffer of the file's size: %.1f us, ratio %.2f)\n",
              file_fresh * 1e6, first / file_fresh);
  std::printf("  (a scan for every call, without the index: %.1f us, %.2f x the file)\n",
              Median(scans) * 1e6, Median(scans) / file_once);

  const double base_read = StatAndPread(path);
  uint32_t misses1 = 0, misses4 = 0;
  const double one = LaterReads(path, n, false, &misses1);
  const double four = LaterReads(path, n, true, &misses4);
  std::printf("later read      %9.2f us   stat + pread %9.2f us   ratio %.2f (target <= 3)\n",
              one * 1e6, base_read * 1e6, one / base_read);
  std::printf("lookup set of 4 %9.2f us   stat + pread %9.2f us   ratio %.2f\n", four * 1e6,
              base_read * 1e6, four / base_read);
  if (misses1 || misses4) std::printf("  MISSED: %u / %u names not found\n", misses1, misses4);

  TsDirectIndexStats s{};
  double per = BytesPerObject(path, n, &s);
  std::printf("memory          %9.1f bytes per object at %u (%llu names, %llu prefixes, %llu "
              "bytes)\n",
              per, n, (unsigned long long)s.names, (unsigned long long)s.prefixes,
              (unsigned long long)s.bytes);
  std::printf("  index: %llu builds, %llu grows, %llu served, %llu declined\n",
              (unsigned long long)s.builds, (unsigned long long)s.grows,
              (unsigned long long)s.served, (unsigned long long)s.declined);
  std::remove(path.c_str());
  if (large) {
    const std::string big = folder + "d.kts";
    if (!MakeStore(folder, large, 16)) return 1;
    double t0 = Now();
    per = BytesPerObject(big, large, &s);
    double build = Now() - t0;
    std::printf("memory          %9.1f bytes per object at %u (target <= 265; build %.2f s)\n",
                per, large, build);
    std::remove(big.c_str());
  }
  TsDirectIndexForget();
  std::string old = folder + "store.old";
  std::remove(old.c_str());
  rmdir(folder.c_str());
  return 0;
}
