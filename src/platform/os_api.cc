#include "os_api.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
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
int RealSyncFileRange(int fd, off_t off, off_t count, unsigned int flags) {
  return ::sync_file_range(fd, off, count, flags);
}
void *RealMmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  return ::mmap(addr, len, prot, flags, fd, off);
}
int RealMunmap(void *addr, size_t len) { return ::munmap(addr, len); }
long RealFutex(uint32_t *uaddr, int op, uint32_t val, const struct timespec *timeout,
               uint32_t *uaddr2, uint32_t val3) {
  return ::syscall(SYS_futex, uaddr, op, val, timeout, uaddr2, val3);
}
int RealClockGettime(clockid_t clock, struct timespec *ts) { return ::clock_gettime(clock, ts); }
pid_t RealGettid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }
pid_t RealGetpid() { return ::getpid(); }

const KstOsApi kDefault = {
    .open = RealOpen,
    .openat = RealOpenat,
    .close = ::close,
    .pread = ::pread,
    .pwrite = ::pwrite,
    .write = ::write,
    .lseek = ::lseek,
    .fsync = ::fsync,
    .ftruncate = ::ftruncate,
    .fstat = ::fstat,
    .flock = ::flock,
    .unlink = ::unlink,
    .rename = ::rename,
    .statvfs = RealStatvfs,
    .dlopen = ::dlopen,
    .mkdir = RealMkdir,
    .stat = RealStat,
    .lstat = RealLstat,
    .fstatat = ::fstatat,
    .fchmod = RealFchmod,
    .sync_file_range = RealSyncFileRange,
    .mmap = RealMmap,
    .munmap = RealMunmap,
    .futex = RealFutex,
    .clock_gettime = RealClockGettime,
    .gettid = RealGettid,
    .getpid = RealGetpid,
};

// Relaxed is enough: tests install a table before starting the operations
// that should see it and restore it after they finished (invariant 2).
std::atomic<const KstOsApi *> g_current{&kDefault};

}  // namespace

// Acquire pairs with the release in KstOsApiInstall: a thread that reads a
// table installed by another (a test's table, swapped in while the store's
// flush thread runs) sees the entries written before it was installed.
const KstOsApi *KstOsApiCurrent() { return g_current.load(std::memory_order_acquire); }
const KstOsApi *KstOsApiDefault() { return &kDefault; }
void KstOsApiInstall(const KstOsApi *api) {
  g_current.store(api ? api : &kDefault, std::memory_order_release);
}
