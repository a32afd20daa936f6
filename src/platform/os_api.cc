#include "os_api.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>

namespace {

int RealOpen(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealOpenat(int dirfd, const char *path, int flags, mode_t mode) {
  return ::openat(dirfd, path, flags, mode);
}
int RealStatvfs(const char *path, struct statvfs *st) { return ::statvfs(path, st); }
int RealMkdir(const char *path, mode_t mode) { return ::mkdir(path, mode); }
int RealStat(const char *path, struct stat *st) { return ::stat(path, st); }
int RealLstat(const char *path, struct stat *st) { return ::lstat(path, st); }
int RealFchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

const KstOsApi kDefault = {
    RealOpen, RealOpenat, ::close,  ::pread,  ::pwrite, ::write,  ::lseek, ::fsync,
    ::ftruncate, ::fstat, ::flock,  ::unlink, ::rename, RealStatvfs, ::dlopen,
    RealMkdir, RealStat, RealLstat, RealFchmod,
};

// Relaxed is enough: tests install a table before starting the operations
// that should see it and restore it after they finished (invariant 2).
std::atomic<const KstOsApi *> g_current{&kDefault};

}  // namespace

const KstOsApi *KstOsApiCurrent() { return g_current.load(std::memory_order_relaxed); }
const KstOsApi *KstOsApiDefault() { return &kDefault; }
void KstOsApiInstall(const KstOsApi *api) {
  g_current.store(api ? api : &kDefault, std::memory_order_relaxed);
}
