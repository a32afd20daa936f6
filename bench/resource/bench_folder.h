// The private folder of one benchmark run, so that a benchmark never meets
// a running host or another run: /tmp/<tool>-XXXXXX holding objects/ (the
// named objects), registry/ (with root/ recorded as the product root) and
// root/ (where the store file lives), set as this process's object folder
// and registry. The caller removes the folder at the end.
#ifndef KRP_BENCH_RESOURCE_BENCH_FOLDER_H
#define KRP_BENCH_RESOURCE_BENCH_FOLDER_H

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Creates the folder for `tool`; *base receives its path. False when it
// could not be made.
inline bool KrpBenchPrivateFolder(const char *tool, std::string *base) {
  std::string templ = std::string("/tmp/") + tool + "-XXXXXX";
  const char *dir = mkdtemp(templ.data());
  if (!dir) return false;
  *base = dir;
  for (const char *sub : {"/objects", "/registry", "/registry/SOFTWARE",
                          "/registry/SOFTWARE/Kestarcorp", "/root"})
    mkdir((*base + sub).c_str(), 0700);
  FILE *f = fopen((*base + "/registry/SOFTWARE/Kestarcorp/RootPath").c_str(), "wb");
  if (!f) return false;
  const std::string root = *base + "/root";
  fwrite(root.data(), 1, root.size(), f);
  fclose(f);
  setenv("KST_OBJECT_DIR", (*base + "/objects").c_str(), 1);
  setenv("KST_REGISTRY", (*base + "/registry").c_str(), 1);
  return true;
}

#endif  // KRP_BENCH_RESOURCE_BENCH_FOLDER_H
