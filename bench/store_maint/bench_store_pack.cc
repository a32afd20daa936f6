// Pack and copy of a large store, each as a ratio against a baseline
// measured in the same run:
//
//   pack   StorePackStoreFile of a store of N objects (names of 20 to 60
//          bytes in 3000 containers, values of 16 to 600 bytes) with a tenth
//          of them deleted, against copying the same file with the engine's
//          file-copy routine (synced, as the pack's backup is) plus MD5 over
//          the live data once (from memory), the copy timed before and
//          after the pack and averaged. Target: at most 1.5.
//   copy   StoreCopyStoreFile against `cp` of the file, and against `cp`
//          followed by `sync` of the copy (the engine's copy is synced).
//
// Usage: bench_store_pack [objects, default 1000000] [folder, default /tmp]
#include <stdlib.h>
#include <unistd.h>

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

}  // namespace

int main(int argc, char **argv) {
  const uint32_t n = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  std::string base = argc > 2 ? argv[2] : "/tmp";
  char tmpl[512];
  std::snprintf(tmpl, sizeof tmpl, "%s/bench_pack_XXXXXX", base.c_str());
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string folder = std::string(tmpl) + "/";
  TsStore *s = nullptr;
  if (StoreInit(&s, folder.c_str(), "store.kts", nullptr, nullptr, kTsOpenCreate)) return 1;

  std::mt19937_64 rng(42);
  std::vector<std::string> names;
  std::vector<std::string> values;
  names.reserve(n);
  values.reserve(n);
  std::string v;
  for (uint32_t i = 0; i < n; ++i) {
    names.push_back(NameOf(rng, i));
    v.resize(16 + rng() % 585);
    for (char &c : v) c = char(rng());
    values.push_back(v);
    if (StoreWrite(s, names.back().c_str(), v.data(), uint32_t(v.size()), i, 0, 4)) return 1;
  }
  std::vector<bool> dead(n, false);
  for (uint32_t k = 0; k < n / 10; ++k) {
    uint32_t i = uint32_t(rng() % n);
    if (dead[i]) continue;
    dead[i] = true;
    StoreDelete(s, names[i].c_str());
  }
  std::printf("store: %u objects, %u deleted records, %u bytes\n", s->active, s->deleted,
              s->db_size);

  // Both timings start from a clean page cache state: whatever the building
  // of the store (or the baseline's copy) left dirty is written out first,
  // so that neither pays for the other's write-back.
  sync();
  // Baseline: the file-copy routine plus MD5 over the live data once.
  const std::string base_copy = folder + "baseline.kts";
  double t0 = Now();
  uint32_t size = 0;
  if (TsFileCopy(s, base_copy.c_str(), KST_INVALID_HFILE, &size, 0)) return 1;
  double t_copy = Now() - t0;
  t0 = Now();
  uint8_t d[16];
  unsigned acc = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (dead[i]) continue;
    TsMd5(values[i].data(), values[i].size(), d);
    acc ^= d[0];
  }
  double t_md5 = Now() - t0;
  double baseline = t_copy + t_md5;

  sync();
  t0 = Now();
  uint32_t rc = StorePackStoreFile(s);
  double t_pack = Now() - t0;
  if (rc) {
    std::fprintf(stderr, "pack failed: 0x%08x\n", rc);
    return 1;
  }
  // The copy again, after the pack. On virtual machines that hand freed
  // memory back to their host, writing into page-cache pages that were never
  // used (or were given back) costs several times more than into recycled
  // ones, and which kind a copy gets depends on what ran before it: the
  // copy before and the copy after the pack bracket the pack's own backup.
  unlink(base_copy.c_str());
  sync();
  t0 = Now();
  if (TsFileCopy(s, base_copy.c_str(), KST_INVALID_HFILE, &size, 0)) return 1;
  double t_copy2 = Now() - t0;
  baseline = (t_copy + t_copy2) / 2 + t_md5;
  std::printf("pack:  %.3f s   baseline %.3f s (file copy %.3f s before, %.3f s after the pack;"
              " MD5 of the live data %.3f s)   ratio %.2f (target <= 1.5)   [%u bytes after]\n",
              t_pack, baseline, t_copy, t_copy2, t_md5, t_pack / baseline, s->db_size);
  if (acc == 0x100) std::printf("\n");  // keeps the digests from being optimised away

  // Copy against cp (and cp + sync).
  const std::string path = folder + "store.kts";
  const std::string copy_path = folder + "copy.kts";
  t0 = Now();
  if (StoreCopyStoreFile(s, copy_path.c_str())) return 1;
  double t_ecopy = Now() - t0;
  double t_cp = Shell("cp '" + path + "' '" + folder + "cp.kts'");
  unlink((folder + "cp.kts").c_str());
  double t_cps = Shell("cp '" + path + "' '" + folder + "cp.kts' && sync '" + folder + "cp.kts'");
  std::printf("copy:  %.3f s   cp %.3f s   ratio %.2f   cp+sync %.3f s   ratio %.2f\n", t_ecopy,
              t_cp, t_ecopy / t_cp, t_cps, t_ecopy / t_cps);

  StoreExit(s);
  for (const char *f : {"store.kts", "store.old", "baseline.kts", "copy.kts", "cp.kts"})
    unlink((folder + f).c_str());
  rmdir(tmpl);
  return 0;
}
