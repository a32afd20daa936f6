// Pack and copy of large stores, each as a ratio against a baseline measured
// in the same run, for several store sizes:
//
//   pack   StorePackStoreFile of a store of N objects (names of 20 to 60
//          bytes in 3000 containers, values of 16 to 600 bytes) with a tenth
//          of them deleted, against copying the same file with the engine's
//          file-copy routine (synced, as the pack's backup is) plus MD5 over
//          the live data once (from memory, one value at a time), the copy
//          timed before and after the pack and averaged. Target: at most
//          1.5. A second line gives the ratio with the MD5 computed as the
//          pack's checks compute it, many values at once. Two packs per size:
//          the first of a store written at random into its containers (the
//          index's list jumps about the file), then, after another tenth
//          was deleted, a second of the packed store (the list follows the
//          file).
//   copy   StoreCopyStoreFile against `cp` of the file followed by `sync` of
//          the copy (the engine's copy is synced), in turns, three times
//          each, each after its own previous target was removed; medians.
//          Target: at most 1.5.
//
// Usage: bench_store_pack [objects[,objects...], default 100000,300000,1000000]
//                         [folder, default /tmp]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store_maint.h"
#include "ts_digest.h"

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string NameOf(std::mt19937_64 &rng, uint32_t i) {
  std::string n = "vendor.c" + std::to_string(rng() % 3000) + ".";
  size_t want = 20 + rng() % 41;
  n += "o" + std::to_string(i);
  while (n.size() < want) n += char('a' + rng() % 26);
  return n;
}

double Shell(const std::string &cmd) {
  double t0 = Now();
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", cmd.c_str());
  return Now() - t0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Bench {
  std::string folder;
  TsStore *s = nullptr;
  std::vector<std::string> names, values;
  std::vector<bool> dead;
  std::mt19937_64 rng{42};
  unsigned acc = 0;

  std::string At(const char *f) const { return folder + f; }

  // The file-copy routine into a fresh file, from a clean page cache state:
  // whatever was left dirty is written out first, so that no timing pays
  // for another's write-back.
  double FileCopy() {
    unlink(At("baseline.kts").c_str());
    sync();
    double t0 = Now();
    uint32_t size = 0;
    if (TsFileCopy(s, At("baseline.kts").c_str(), KST_INVALID_HFILE, &size, 0)) return -1;
    return Now() - t0;
  }
  double Md5Live() {
    uint8_t d[16];
    double t0 = Now();
    for (size_t i = 0; i < names.size(); ++i) {
      if (dead[i]) continue;
      TsMd5(values[i].data(), values[i].size(), d);
      acc ^= d[0];
    }
    return Now() - t0;
  }
  // The same digests computed many messages at once (TsMd5Many), as the
  // pack's checks compute them.
  double Md5LiveMany() {
    constexpr uint32_t kBatch = 256;
    const uint8_t *data[kBatch];
    uint32_t len[kBatch];
    uint8_t d[16 * kBatch];
    uint32_t n = 0;
    double t0 = Now();
    for (size_t i = 0; i <= names.size(); ++i) {
      if (n == kBatch || (i == names.size() && n)) {
        TsMd5Many(data, len, n, d);
        acc ^= d[0];
        n = 0;
      }
      if (i == names.size() || dead[i]) continue;
      data[n] = reinterpret_cast<const uint8_t *>(values[i].data());
      len[n++] = uint32_t(values[i].size());
    }
    return Now() - t0;
  }
  void DeleteTenth() {
    for (size_t k = 0; k < names.size() / 10; ++k) {
      size_t i = size_t(rng() % names.size());
      if (dead[i]) continue;
      dead[i] = true;
      StoreDelete(s, names[i].c_str());
    }
  }
  // One pack between two baseline copies. On virtual machines that hand
  // freed memory back to their host, writing into page-cache pages that
  // were never used (or were given back) costs several times more than into
  // recycled ones, and which kind a copy gets depends on what ran before
  // it: the copy before and the copy after the pack bracket the pack's own
  // backup.
  bool PackOnce(const char *what) {
    double c1 = FileCopy();
    double md5 = Md5Live();
    double md5_many = Md5LiveMany();
    sync();
    double t0 = Now();
    uint32_t rc = StorePackStoreFile(s);
    double t_pack = Now() - t0;
    if (rc) {
      std::fprintf(stderr, "pack failed: 0x%08x\n", rc);
      return false;
    }
    double c2 = FileCopy();
    if (c1 < 0 || c2 < 0) return false;
    double base = (c1 + c2) / 2 + md5;
    double base_many = (c1 + c2) / 2 + md5_many;
    std::printf("  pack (%s): %.3f s   baseline %.3f s (copy %.3f / %.3f s, MD5 %.3f s)   "
                "pack / (copy+MD5) %.2f\n",
                what, t_pack, base, c1, c2, md5, t_pack / base);
    std::printf("    with the MD5 of many messages at once (%.3f s): pack / (copy+MD5) %.2f\n",
                md5_many, t_pack / base_many);
    return true;
  }
  bool CopyAgainstCp() {
    const std::string path = At("store.kts"), copy = At("copy.kts"), cp = At("cp.kts");
    std::vector<double> eng, cps;
    for (int round = 0; round < 3; ++round) {
      unlink(copy.c_str());
      sync();
      double t0 = Now();
      if (StoreCopyStoreFile(s, copy.c_str())) return false;
      eng.push_back(Now() - t0);
      unlink(cp.c_str());
      sync();
      cps.push_back(Shell("cp '" + path + "' '" + cp + "' && sync '" + cp + "'"));
    }
    double e = Median(eng), c = Median(cps);
    std::printf("  copy: %.3f s   cp+sync %.3f s   copy / (cp+sync) %.2f\n", e, c, e / c);
    return true;
  }
};

bool RunSize(const std::string &base, uint32_t n) {
  char tmpl[512];
  std::snprintf(tmpl, sizeof tmpl, "%s/bench_pack_XXXXXX", base.c_str());
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return false;
  }
  Bench b;
  b.folder = std::string(tmpl) + "/";
  if (StoreInit(&b.s, b.folder.c_str(), "store.kts", nullptr, nullptr, kTsOpenCreate))
    return false;
  b.names.reserve(n);
  b.values.reserve(n);
  b.dead.assign(n, false);
  std::string v;
  bool ok = true;
  for (uint32_t i = 0; ok && i < n; ++i) {
    b.names.push_back(NameOf(b.rng, i));
    v.resize(16 + b.rng() % 585);
    for (char &c : v) c = char(b.rng());
    b.values.push_back(v);
    ok = StoreWrite(b.s, b.names.back().c_str(), v.data(), uint32_t(v.size()), i, 0, 4) == 0;
  }
  b.DeleteTenth();
  std::printf("store: %u objects, %u deleted records, %u bytes\n", b.s->active, b.s->deleted,
              b.s->db_size);
  ok = ok && b.PackOnce("list jumps about the file");
  b.DeleteTenth();
  ok = ok && b.PackOnce("list follows the file");
  ok = ok && b.CopyAgainstCp();
  StoreExit(b.s);
  for (const char *f : {"store.kts", "store.old", "baseline.kts", "copy.kts", "cp.kts"})
    unlink(b.At(f).c_str());
  rmdir(tmpl);
  if (b.acc == 0x100) std::printf("\n");  // keeps the digests from being optimised away
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  std::string sizes = argc > 1 ? argv[1] : "100000,300000,1000000";
  std::string base = argc > 2 ? argv[2] : "/tmp";
  for (size_t at = 0; at < sizes.size();) {
    size_t comma = sizes.find(',', at);
    if (comma == std::string::npos) comma = sizes.size();
    uint32_t n = uint32_t(std::strtoul(sizes.substr(at, comma - at).c_str(), nullptr, 10));
    at = comma + 1;
    if (!n) continue;
    if (!RunSize(base, n)) return 1;
  }
  return 0;
}
