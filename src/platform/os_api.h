// The operating-system seam: every system call the platform layer makes on
// files, folders, modules and memory maps, and its futex calls, clock reads
// and process and thread ids, go through this table (the idea of SQLite's
// syscall table and LevelDB's Env). Production code uses the real calls; a
// test swaps entries to make a chosen write fail, come back short, report a
// full disk, refuse a mapping, break a futex wait or move the clock, or to
// record the order of writes and syncs, then restores the table.
//
// Invariants:
// 1. KstOsApiCurrent() never returns null; the default table holds the real
//    calls.
// 2. Swapping the table is not synchronised with calls in flight: tests swap
//    it while no other thread of theirs is inside the platform layer.
// 3. Entries follow the POSIX contract of the call they replace (return -1
//    and set errno on failure), so the platform code above them needs no
//    knowledge of the fault being injected.
#ifndef KRP_PLATFORM_OS_API_H
#define KRP_PLATFORM_OS_API_H

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

struct KstOsApi {
  int (*open)(const char *path, int flags, mode_t mode);
  int (*openat)(int dirfd, const char *path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*pread)(int fd, void *buf, size_t count, off_t off);
  ssize_t (*pwrite)(int fd, const void *buf, size_t count, off_t off);
  ssize_t (*write)(int fd, const void *buf, size_t count);
  off_t (*lseek)(int fd, off_t off, int whence);
  int (*fsync)(int fd);
  int (*ftruncate)(int fd, off_t len);
  int (*fstat)(int fd, struct stat *st);
  int (*flock)(int fd, int op);
  int (*unlink)(const char *path);
  int (*rename)(const char *from, const char *to);
  int (*statvfs)(const char *path, struct statvfs *st);
  void *(*dlopen)(const char *path, int flags);
  int (*mkdir)(const char *path, mode_t mode);
  int (*stat)(const char *path, struct stat *st);
  int (*lstat)(const char *path, struct stat *st);
  int (*fstatat)(int dirfd, const char *path, struct stat *st, int flags);
  int (*fchmod)(int fd, mode_t mode);
  // Starts the write-back of a range without waiting for it (a later fsync
  // then finds it done or under way).
  int (*sync_file_range)(int fd, off_t off, off_t count, unsigned int flags);
  // Maps of named objects (named_object.cc).
  void *(*mmap)(void *addr, size_t len, int prot, int flags, int fd, off_t off);
  int (*munmap)(void *addr, size_t len);
  // The futex system call of events (event.cc): returns -1 with errno set
  // (EAGAIN, EINTR, ETIMEDOUT, ...) like syscall(SYS_futex, ...).
  long (*futex)(uint32_t *uaddr, int op, uint32_t val, const struct timespec *timeout,
                uint32_t *uaddr2, uint32_t val3);
  // Every deadline and spin budget reads CLOCK_MONOTONIC through here.
  int (*clock_gettime)(clockid_t clock, struct timespec *ts);
  pid_t (*gettid)();
  pid_t (*getpid)();
};

// The table in force.
const KstOsApi *KstOsApiCurrent();
// The real calls (a test copies it and changes entries).
const KstOsApi *KstOsApiDefault();
// Installs `api` (null restores the default). The table must outlive its use.
void KstOsApiInstall(const KstOsApi *api);

#endif  // KRP_PLATFORM_OS_API_H
