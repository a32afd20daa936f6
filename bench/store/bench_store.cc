// The store engine against plain baselines measured in the same run:
//
//   open     index rebuild of a store of N objects (names of 20 to 60 bytes
//            in a few thousand containers, values of 16 to 600 bytes, a
//            tenth replaced once), as written and after a rewrite in list
//            order, against a minimal scan that parses each record header
//            and inserts its name into a presized chained hash table;
//   write    new 100-byte objects per second against appending the same
//            record bytes with pwrite alone;
//   read     small (memory-served) objects against a plain hash lookup and
//            copy; large (file-served, digest-checked) ones against pread
//            plus MD5 of the same bytes;
//   memory   resident bytes of the open store per object against
//            1.5 x (name + data kept in memory) + 120;
//   growth   the writes that fill the store from empty (its index grows
//            all the way): median and 99.9th percentile of one write
//            (target <= 1 ms), and random small reads of the grown store
//            against the same reads after a reopen (target <= 1.2).
//
// Usage: bench_store [objects, default 1000000] [folder, default /tmp]
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "store.h"
#include "ts_digest.h"
#include "ts_format.h"

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// This thread's processor time: unlike the wall clock it leaves out the
// time other processes of a busy machine had the processor.
double ThreadCpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

long RssBytes() {
  FILE *f = std::fopen("/proc/self/statm", "r");
  long pages = 0, rss = 0;
  if (f) {
    if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
    std::fclose(f);
  }
  return rss * sysconf(_SC_PAGESIZE);
}

std::string NameOf(std::mt19937_64 &rng, uint32_t i) {
  std::string n = "vendor.c" + std::to_string(rng() % 3000) + ".";
  size_t want = 20 + rng() % 41;
  n += "o" + std::to_string(i);
  while (n.size() < want) n += char('a' + rng() % 26);
  return n;
}

std::string ValueOf(std::mt19937_64 &rng, size_t size) {
  std::string v(size, '\0');
  for (char &c : v) c = char(rng());
  return v;
}

TsStore *OpenStore(const std::string &folder, const char *file, double *secs) {
  TsStore *s = nullptr;
  double t0 = Now();
  uint32_t rc = StoreInit(&s, folder.c_str(), file, nullptr, nullptr, 0);
  *secs = Now() - t0;
  if (rc) std::fprintf(stderr, "StoreInit(%s) failed: 0x%08x\n", file, rc);
  return s;
}

// The baseline scan: chunks of 5 MB, each record's header parsed, its name
// inserted into a presized chained hash table.
double MinimalScan(const std::string &path, size_t expect) {
  double t0 = Now();
  int fd = open(path.c_str(), O_RDONLY);
  off_t size = lseek(fd, 0, SEEK_END);
  std::vector<uint8_t> buf(kTsChunk);
  std::unordered_map<std::string, uint32_t> names;
  names.reserve(expect);
  uint64_t pos = kTsFileHeaderLenV4;
  while (pos < uint64_t(size)) {
    ssize_t got = pread(fd, buf.data(), buf.size(), off_t(pos));
    if (got <= 0) break;
    size_t b = 0;
    for (;;) {
      if (b + kTsRecMinV4 > size_t(got)) break;
      const uint8_t *p = buf.data() + b;
      if (std::memcmp(p, kTsRecMarkV4, 8) != 0) return -1;
      uint32_t hl = TsGetU32(p + kTsRecOffHdrLen), area = TsGetU32(p + kTsRecOffAreaSize);
      if (b + hl + area > size_t(got)) break;
      if (!TsGetU32(p + kTsRecOffDeleted))
        names.emplace(std::string(reinterpret_cast<const char *>(p + kTsRecOffName)), uint32_t(pos + b));
      b += hl + area;
    }
    if (b == 0) return -1;
    pos += b;
  }
  close(fd);
  return Now() - t0;
}

// Mean time of a read of each probed (memory-served) object, after one
// pass that warms up (the first read after an open checks the digest).
double SmallReads(TsStore *s, const std::vector<std::string> &names,
                  const std::vector<uint32_t> &probe) {
  std::vector<char> buf(1024);
  uint32_t lw, a, c;
  double t0 = 0;
  for (int pass = 0; pass < 2; ++pass) {
    t0 = Now();
    for (uint32_t i : probe) {
      uint32_t sz = uint32_t(buf.size());
      if (StoreRead(s, names[i].c_str(), buf.data(), &sz, &lw, &a, &c)) return -1;
    }
  }
  return (Now() - t0) / double(probe.size());
}

double Percentile(std::vector<double> v, double q) {
  size_t k = std::min(v.size() - 1, size_t(q * double(v.size())));
  std::nth_element(v.begin(), v.begin() + long(k), v.end());
  return v[k];
}

}  // namespace

// Run in a fresh process (the benchmark runs itself with --measure-open):
// the resident bytes an open adds, per object.
int MeasureOpen(const char *folder, uint32_t n) {
  long rss0 = RssBytes();
  double secs;
  TsStore *s = OpenStore(folder, "a.kts", &secs);
  if (!s) return 1;
  long rss1 = RssBytes();
  std::printf("%.1f\n", double(rss1 - rss0) / n);
  StoreExit(s);
  return 0;
}

double MeasureOpenInChild(const std::string &folder, uint32_t n) {
  char self[4096];
  ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  if (len <= 0) return -1;
  self[len] = 0;
  std::string cmd = std::string("'") + self + "' --measure-open '" + folder + "' " + std::to_string(n);
  FILE *p = popen(cmd.c_str(), "r");
  double v = -1;
  if (p) {
    if (std::fscanf(p, "%lf", &v) != 1) v = -1;
    pclose(p);
  }
  return v;
}

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "--measure-open") == 0)
    return MeasureOpen(argv[2], uint32_t(std::strtoul(argv[3], nullptr, 10)));
  uint32_t n = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  std::string base = argc > 2 ? argv[2] : "/tmp";
  char templ[4096];
  std::snprintf(templ, sizeof templ, "%s/bench_store-XXXXXX", base.c_str());
  if (!mkdtemp(templ)) return 1;
  std::string folder = std::string(templ) + "/";
  std::mt19937_64 rng(42);

  // ---- build ---------------------------------------------------------------
  double secs;
  TsStore *s = OpenStore(folder, "a.kts", &secs);
  if (!s) return 1;
  std::vector<std::string> names(n);
  std::vector<uint32_t> sizes(n);
  std::vector<double> fill_times(n), fill_cpu(n);
  uint64_t kept_bytes = 0;
  for (uint32_t i = 0; i < n; ++i) {
    names[i] = NameOf(rng, i);
    sizes[i] = uint32_t(16 + rng() % 585);
    std::string v = ValueOf(rng, sizes[i]);
    double c0 = ThreadCpu(), w0 = Now();
    if (StoreWrite(s, names[i].c_str(), v.data(), sizes[i], 1, 0, 1)) return 2;
    fill_times[i] = Now() - w0;
    fill_cpu[i] = ThreadCpu() - c0;
  }
  for (uint32_t i = 0; i < n; i += 10) {  // a tenth replaced by a larger value: moved
    sizes[i] += 40;
    std::string v = ValueOf(rng, sizes[i]);
    if (StoreWrite(s, names[i].c_str(), v.data(), sizes[i], 2, 0, 1)) return 2;
  }
  for (uint32_t i = 0; i < n; ++i)
    kept_bytes += names[i].size() + 1 + (sizes[i] <= kTsInlineLimit ? sizes[i] : 0);

  // A copy of the live records in list order (as a pack leaves them).
  {
    void *list = nullptr;
    uint32_t list_size = 0;
    if (StoreListObjects(s, "", &list, &list_size, 1)) return 3;
    std::vector<uint8_t> out(kTsFileHeaderLenV4);
    TsHeaderFields f{};
    TsEncodeFileHeaderV4(out.data(), f);
    std::vector<char> val(1024);
    TsListEntry e{};
    for (uint32_t at = 0; at < list_size; at += e.length) {
      if (!TsListEntryAt(static_cast<const uint8_t *>(list), list_size, at, &e)) return 3;
      const char *name = e.name;
      uint32_t sz = uint32_t(val.size()), lw, a, c;
      if (StoreRead(s, name, val.data(), &sz, &lw, &a, &c)) return 3;
      uint32_t nl = uint32_t(std::strlen(name));
      uint8_t d[16];
      TsMd5(val.data(), sz, d);
      size_t off = out.size();
      out.resize(off + kTsRecFixedV4 + nl + 1 + sz + kTsRoomNormal);
      TsEncodeRecord(4, out.data() + off, name, nl, val.data(), sz, sz + kTsRoomNormal, a, lw, c,
                     d, 'p');
    }
    KstFreeMem(list, 0);
    FILE *f2 = std::fopen((folder + "p.kts").c_str(), "wb");
    std::fwrite(out.data(), 1, out.size(), f2);
    std::fclose(f2);
  }
  std::vector<uint32_t> probe;  // random small objects, for the growth reads
  for (uint32_t k = 0; k < 200000; ++k) {
    uint32_t i = uint32_t(rng() % n);
    if (sizes[i] <= kTsInlineLimit) probe.push_back(i);
  }
  double read_grown = SmallReads(s, names, probe);
  StoreExit(s);

  // ---- open ----------------------------------------------------------------
  double scan_a = MinimalScan(folder + "a.kts", n);
  double scan_p = MinimalScan(folder + "p.kts", n);
  double per_object = MeasureOpenInChild(folder, n);
  double open_a;
  s = OpenStore(folder, "a.kts", &open_a);
  if (!s) return 4;
  double mem_target = 1.5 * double(kept_bytes) / n + 120;
  double read_reopened = SmallReads(s, names, probe);

  // ---- reads ---------------------------------------------------------------
  std::vector<uint32_t> small, large;
  for (uint32_t i = 0; i < n && (small.size() < 200000 || large.size() < 50000); ++i)
    (sizes[i] <= kTsInlineLimit ? small : large).push_back(i);
  std::unordered_map<std::string, std::string> plain;
  plain.reserve(small.size());
  for (uint32_t i : small) plain.emplace(names[i], std::string(sizes[i], 'x'));
  std::vector<char> buf(1024);
  uint32_t lw, a, c;
  // The first read of a memory-served value after an open checks its
  // digest; later reads do not.
  double t0 = Now();
  for (uint32_t i : small) {
    uint32_t sz = uint32_t(buf.size());
    if (StoreRead(s, names[i].c_str(), buf.data(), &sz, &lw, &a, &c)) return 5;
  }
  double read_small_first = (Now() - t0) / small.size();
  t0 = Now();
  for (uint32_t i : small) {
    uint32_t sz = uint32_t(buf.size());
    if (StoreRead(s, names[i].c_str(), buf.data(), &sz, &lw, &a, &c)) return 5;
  }
  double read_small = (Now() - t0) / small.size();
  t0 = Now();
  size_t sink = 0;
  for (uint32_t i : small) {
    auto it = plain.find(names[i]);
    std::memcpy(buf.data(), it->second.data(), it->second.size());
    sink += buf[0];
  }
  double lookup_small = (Now() - t0) / small.size();

  std::vector<std::pair<uint32_t, uint32_t>> where;  // offset of the data, size
  for (uint32_t i : large) {
    TsObjectInfo info;
    StoreGetObjectInfo(s, names[i].c_str(), &info);
    where.emplace_back(info.offset + kTsRecFixedV4 + uint32_t(names[i].size()) + 1, sizes[i]);
  }
  t0 = Now();
  for (uint32_t i : large) {
    uint32_t sz = uint32_t(buf.size());
    if (StoreRead(s, names[i].c_str(), buf.data(), &sz, &lw, &a, &c)) return 5;
  }
  double read_large = (Now() - t0) / large.size();
  int fd = open((folder + "a.kts").c_str(), O_RDONLY);
  t0 = Now();
  for (auto &[off, sz] : where) {
    if (pread(fd, buf.data(), sz, off) != ssize_t(sz)) return 6;
    uint8_t d[16];
    TsMd5(buf.data(), sz, d);
    sink += d[0];
  }
  double pread_large = (Now() - t0) / where.size();
  close(fd);

  // ---- writes --------------------------------------------------------------
  const uint32_t w = 100000;
  std::string v100 = ValueOf(rng, 100);
  std::vector<std::string> wnames(w);
  for (uint32_t i = 0; i < w; ++i) wnames[i] = "bench.new.o" + std::to_string(i) + "xxxxxxxxxx";
  t0 = Now();
  for (uint32_t i = 0; i < w; ++i)
    if (StoreWrite(s, wnames[i].c_str(), v100.data(), 100, 3, 0, 1)) return 7;
  double write_store = (Now() - t0) / w;
  std::vector<uint8_t> rec(kTsRecFixedV4 + 64 + 100 + kTsRoomNormal);
  int wfd = open((folder + "w.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  off_t end = 0;
  t0 = Now();
  for (uint32_t i = 0; i < w; ++i) {
    uint32_t nl = uint32_t(wnames[i].size());
    uint8_t d[16];
    TsMd5(v100.data(), 100, d);
    TsEncodeRecord(4, rec.data(), wnames[i].data(), nl, v100.data(), 100, 132, 0, 3, 1, d, 's');
    size_t len = kTsRecFixedV4 + nl + 1 + 132;
    if (pwrite(wfd, rec.data(), len, end) != ssize_t(len)) return 8;
    end += off_t(len);
  }
  double write_pwrite = (Now() - t0) / w;
  close(wfd);
  StoreExit(s);

  double open_p;
  s = OpenStore(folder, "p.kts", &open_p);
  if (s) StoreExit(s);

  std::printf("store benchmark: %u objects (%u small reads, %zu large reads, %u writes)\n", n,
              uint32_t(small.size()), large.size(), w);
  std::printf("open as written   %8.3f s  scan %8.3f s  ratio %5.2f  (target <= 2)\n", open_a,
              scan_a, open_a / scan_a);
  std::printf("open in list order%8.3f s  scan %8.3f s  ratio %5.2f  (target <= 2)\n", open_p,
              scan_p, open_p / scan_p);
  std::printf("write 100 bytes   %8.0f /s  pwrite %8.0f /s  ratio %5.2f  (target >= 0.5)\n",
              1 / write_store, 1 / write_pwrite, write_pwrite / write_store);
  std::printf("read small        %8.0f /s  lookup %8.0f /s  ratio %5.2f  (first read after open: %.0f /s)\n",
              1 / read_small, 1 / lookup_small, lookup_small / read_small, 1 / read_small_first);
  std::printf("read large        %8.0f /s  pread+MD5 %8.0f /s  ratio %5.2f\n", 1 / read_large,
              1 / pread_large, pread_large / read_large);
  std::printf("memory per object %8.1f B  target %8.1f B  ratio %5.2f  (target <= 1)\n",
              per_object, mem_target, per_object / mem_target);
  std::printf("growth: write median %.2f us, 99%% %.1f us, 99.9%% %.1f us, max %.0f us"
              "  (target 99.9%% <= 1000 us)\n",
              Percentile(fill_times, 0.5) * 1e6, Percentile(fill_times, 0.99) * 1e6,
              Percentile(fill_times, 0.999) * 1e6, Percentile(fill_times, 1) * 1e6);
  std::printf("growth: write processor time median %.2f us, 99%% %.1f us, 99.9%% %.1f us,"
              " max %.0f us\n",
              Percentile(fill_cpu, 0.5) * 1e6, Percentile(fill_cpu, 0.99) * 1e6,
              Percentile(fill_cpu, 0.999) * 1e6, Percentile(fill_cpu, 1) * 1e6);
  std::printf("growth: small reads grown %.2f us, reopened %.2f us  ratio %5.2f  (target <= 1.2)\n",
              read_grown * 1e6, read_reopened * 1e6, read_grown / read_reopened);
  std::string cmd = "rm -rf '" + std::string(templ) + "'";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cleanup failed\n");
  return sink == 12345 ? 9 : 0;
}
