// Named kernel objects: the object folder, the creation lock, one file per
// object and its lifetime. The design note is in named_object.h.
#include "named_object.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "krp_assert.h"
#include "kst_alloc.h"
#include "os_api.h"
#include "platform.h"
#include "platform_internal.h"

namespace {

constexpr const char kCreationLockName[] = "BRAXOLITE_GLB";
// Internal: the file appeared between our failed open and our O_EXCL create
// (someone who does not take the creation lock); look again.
constexpr uint32_t kRetry = 0xFFFFFFFFu;

// ---- descriptors to forget in a forked child (invariant 8) ----------------
//
// Every object handle and every held creation lock is a node in this list
// while it owns descriptors. Lock nodes live on the stack of the locking
// thread; in a child they are dropped from the list, since that thread does
// not exist there and its stack may be reused.

pthread_mutex_t g_list_mu = PTHREAD_MUTEX_INITIALIZER;
KstNamedObject *g_head = nullptr;
pthread_once_t g_atfork_once = PTHREAD_ONCE_INIT;

void AtforkPrepare() { pthread_mutex_lock(&g_list_mu); }
void AtforkParent() { pthread_mutex_unlock(&g_list_mu); }
void AtforkChild() {
  // Only close: LOCK_UN here would release the parent's locks, which share
  // these open file descriptions.
  KstNamedObject *n = g_head;
  while (n) {
    KstNamedObject *next = n->next;
    if (n->fd >= 0) ::close(n->fd);
    if (n->dir_fd >= 0) ::close(n->dir_fd);
    n->fd = -1;
    n->dir_fd = -1;
    n->forgotten = true;
    if (n->lock_node) {
      if (n->prev) n->prev->next = n->next; else g_head = n->next;
      if (n->next) n->next->prev = n->prev;
      n->prev = n->next = nullptr;
    }
    n = next;
  }
  pthread_mutex_unlock(&g_list_mu);
}

void InstallAtfork() { pthread_atfork(AtforkPrepare, AtforkParent, AtforkChild); }

void ListAdd(KstNamedObject *n) {
  pthread_once(&g_atfork_once, InstallAtfork);
  pthread_mutex_lock(&g_list_mu);
  n->prev = nullptr;
  n->next = g_head;
  if (g_head) g_head->prev = n;
  g_head = n;
  pthread_mutex_unlock(&g_list_mu);
}

void ListRemove(KstNamedObject *n) {
  pthread_mutex_lock(&g_list_mu);
  // A lock node already dropped by the child handler has no links and is not
  // the head.
  if (n->prev) {
    n->prev->next = n->next;
  } else if (g_head == n) {
    g_head = n->next;
  }
  if (n->next) n->next->prev = n->prev;
  n->prev = n->next = nullptr;
  pthread_mutex_unlock(&g_list_mu);
}

// ---- small helpers -----------------------------------------------------------

void CloseFd(int &fd) {
  if (fd >= 0) KstOsApiCurrent()->close(fd);
  fd = -1;
}

// Unlock before close: a copy of this descriptor in a child forked at an
// unlucky moment must not keep the lock.
void UnlockClose(int &fd) {
  if (fd < 0) return;
  KstOsApiCurrent()->flock(fd, LOCK_UN);
  CloseFd(fd);
}

// Whether a file in the folder belongs to someone the folder vouches for: the
// caller, root, or (in a group-writable folder) a member of the folder's
// group, which every file made there inherits with the setgid folder.
bool OwnerAccepted(const struct stat &file, const struct stat &folder) {
  if (file.st_uid == geteuid() || file.st_uid == 0) return true;
  return (folder.st_mode & S_IWGRP) && file.st_gid == folder.st_gid;
}

bool ValidNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '.' || c == '-';
}

const char *KindPrefix(KstObjKind kind) {
  switch (kind) {
    case KstObjKind::SharedMem: return "SHAREMEM_";
    case KstObjKind::Event: return "SEM32_EVENT_";
    case KstObjKind::Mutex: return "SEM32_";
  }
  return "";
}

// The folder path: KST_OBJECT_DIR, else /dev/shm/kestarcorp-<euid>; trailing
// "/" removed, since O_NOFOLLOW does not apply to "link/".
bool FolderPath(char *out, size_t n) {
  const char *env = getenv("KST_OBJECT_DIR");
  int len;
  if (env && *env) {
    len = snprintf(out, n, "%s", env);
  } else {
    len = snprintf(out, n, "/dev/shm/kestarcorp-%u", static_cast<unsigned>(geteuid()));
  }
  if (len < 0 || static_cast<size_t>(len) >= n) return false;
  while (len > 1 && out[len - 1] == '/') out[--len] = '\0';
  return true;
}

// Opens and checks the object folder. `may_create`: make it (0700) when it is
// missing; a caller that only opens gets 2 instead.
int OpenFolder(bool may_create, struct stat *st_out, uint32_t *rc) {
  const KstOsApi *os = KstOsApiCurrent();
  char path[4096];
  if (!FolderPath(path, sizeof path)) {
    *rc = KST_ERR_FILENAME_TOO_LONG;
    return -1;
  }
  bool made = false;
  struct stat lst;
  if (os->lstat(path, &lst) != 0) {
    int err = errno;
    if (err != ENOENT) {
      *rc = KstMapOsError(err);
      return -1;
    }
    if (!may_create) {
      *rc = KST_ERR_FILE_NOT_FOUND;
      return -1;
    }
    if (os->mkdir(path, 0700) == 0) {
      made = true;
    } else if (errno != EEXIST) {
      err = errno;
      KstLogPrintf("proc_w32 line %d: cannot create object folder %s (errno %d)", __LINE__,
                   path, err);
      *rc = err == ENOENT ? KST_ERR_PATH_NOT_FOUND : KstMapOsError(err);
      return -1;
    }
  }
  int fd = os->open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) {
    int err = errno;
    if (err == ELOOP || err == ENOTDIR) {
      KstLogPrintf("proc_w32 line %d: object folder %s is a symbolic link or not a folder, refused",
                   __LINE__, path);
      *rc = KST_ERR_ACCESS_DENIED;
    } else {
      *rc = KstMapOsError(err);
    }
    return -1;
  }
  struct stat st;
  if (os->fstat(fd, &st) != 0) {
    *rc = KstMapOsError(errno);
    CloseFd(fd);
    return -1;
  }
  // mkdir applied the umask; the folder we made is exactly 0700.
  if (made && st.st_uid == geteuid() && (st.st_mode & 07777) != 0700) {
    if (os->fchmod(fd, 0700) == 0) st.st_mode = (st.st_mode & ~07777) | 0700;
  }
  const char *why = nullptr;
  if (!S_ISDIR(st.st_mode)) {
    why = "is not a folder";
  } else if (st.st_uid != geteuid() && st.st_uid != 0) {
    why = "is owned by another user";
  } else if (st.st_mode & S_IWOTH) {
    why = "is writable by every user";
  }
  if (why) {
    KstLogPrintf("proc_w32 line %d: object folder %s %s, refused", __LINE__, path, why);
    *rc = KST_ERR_ACCESS_DENIED;
    CloseFd(fd);
    return -1;
  }
  if (st_out) *st_out = st;
  *rc = KST_OK;
  return fd;
}

// Checks a file opened in the folder: a regular file with one link, owned by
// someone the folder vouches for. Logs and gives 5 otherwise.
uint32_t CheckFile(int fd, const char *name, const struct stat &folder, struct stat *st_out) {
  struct stat st;
  if (KstOsApiCurrent()->fstat(fd, &st) != 0) return KstMapOsError(errno);
  const char *why = nullptr;
  if (!S_ISREG(st.st_mode)) {
    why = "is not a regular file";
  } else if (st.st_nlink != 1) {
    why = "has more than one link";
  } else if (!OwnerAccepted(st, folder)) {
    why = "is owned by another user";
  }
  if (why) {
    KstLogPrintf("proc_w32 line %d: object file %s %s, refused", __LINE__, name, why);
    return KST_ERR_ACCESS_DENIED;
  }
  if (st_out) *st_out = st;
  return KST_OK;
}

// True when `name` in the folder still names the inode open as `fd`.
bool SameInode(int dir_fd, const char *name, int fd) {
  struct stat a, b;
  if (KstOsApiCurrent()->fstat(fd, &a) != 0) return false;
  if (fstatat(dir_fd, name, &b, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

uint32_t OpenFailure(int err, const char *name) {
  if (err == ELOOP) {
    KstLogPrintf("proc_w32 line %d: object file %s is a symbolic link, refused", __LINE__, name);
    return KST_ERR_ACCESS_DENIED;
  }
  if (err == EISDIR || err == ENXIO || err == ETXTBSY) {
    KstLogPrintf("proc_w32 line %d: object file %s is not a regular file, refused", __LINE__, name);
    return KST_ERR_ACCESS_DENIED;
  }
  if (err == EEXIST) return KST_ERR_ALREADY_EXISTS;
  return KstMapOsError(err);
}

// ---- the creation lock ---------------------------------------------------------

class CreationLock {
 public:
  CreationLock() { node_.lock_node = true; }
  ~CreationLock() { Release(); }
  CreationLock(const CreationLock &) = delete;
  CreationLock &operator=(const CreationLock &) = delete;

  // Opens the lock file (creating it with `mode` when `may_create`; a caller
  // that only opens gets 2 when it is missing, since then no object exists)
  // and waits for the exclusive lock until `ms` passed: 121.
  uint32_t Take(int dir_fd, const struct stat &folder, bool may_create, uint32_t ms) {
    // One lock object, one hold: a second Take would leak the first
    // descriptor and its place in the fork list (invariant 8).
    KRP_ASSERT(!locked_ && !listed_ && node_.fd < 0);
    const KstOsApi *os = KstOsApiCurrent();
    int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (may_create) flags |= O_CREAT;
    mode_t mode = KstFileModeForFolder(folder.st_mode);
    int fd = os->openat(dir_fd, kCreationLockName, flags, mode);
    if (fd < 0) return OpenFailure(errno, kCreationLockName);
    node_.fd = fd;
    ListAdd(&node_);
    listed_ = true;
    struct stat st;
    uint32_t rc = CheckFile(fd, kCreationLockName, folder, &st);
    if (rc != KST_OK) return rc;
    if (st.st_uid == geteuid() && (st.st_mode & 07777) != mode) os->fchmod(fd, mode);
    struct timespec deadline = KstDeadlineAfterMs(ms);
    long pause_ns = 20000;
    for (;;) {
      if (os->flock(node_.fd, LOCK_EX | LOCK_NB) == 0) {
        locked_ = true;
        return KST_OK;
      }
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) return KstMapOsError(errno);
      if (KstDeadlinePassed(deadline)) return KST_ERR_TIMEOUT;
      // flock has no timed form: poll with a growing pause (20 us to 2 ms),
      // never sleeping past the deadline.
      struct timespec now;
      os->clock_gettime(CLOCK_MONOTONIC, &now);
      long left_ns = (deadline.tv_sec - now.tv_sec) * 1000000000L + (deadline.tv_nsec - now.tv_nsec);
      long nap = pause_ns < left_ns ? pause_ns : left_ns;
      if (nap > 0) {
        struct timespec ts = {0, nap};
        nanosleep(&ts, nullptr);
      }
      if (pause_ns < 2000000) pause_ns *= 2;
    }
  }

  void Release() {
    if (locked_) KstOsApiCurrent()->flock(node_.fd, LOCK_UN);
    locked_ = false;
    CloseFd(node_.fd);
    if (listed_) ListRemove(&node_);
    listed_ = false;
  }

 private:
  KstNamedObject node_;
  bool locked_ = false;
  bool listed_ = false;
};

// ---- one object file -----------------------------------------------------------

// An open that may not create needs no creation lock to learn that the
// object does not exist: the file's absence at one instant is the answer
// the locked open would have given had it run at that instant (a file being
// created or removed under the lock is an object that does not exist yet or
// any more). Only the answer "absent" is taken from here; a file that is
// there is opened and checked under the lock as always. This keeps the
// status check of a process that runs without a host to one look.
bool ObjectFileMissing(const KstNamedObject *obj) {
  struct stat st;
  return KstOsApiCurrent()->fstatat(obj->dir_fd, obj->file_name, &st, AT_SYMLINK_NOFOLLOW) != 0 &&
         errno == ENOENT;
}

// Maps the object's file through a second, unlocked open file description.
// A mapping keeps its open file description alive, and with it any flock on
// it: a forked child inherits the mapping, so mapping the locked description
// would let the child keep the object alive after its parent died, whatever
// the child closes.
void *MapFile(const KstNamedObject *obj, size_t size, uint32_t *rc) {
  const KstOsApi *os = KstOsApiCurrent();
  int fd = os->openat(obj->dir_fd, obj->file_name,
                      O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) {
    *rc = KstMapOsError(errno);
    return MAP_FAILED;
  }
  struct stat a, b;
  void *base = MAP_FAILED;
  if (os->fstat(fd, &a) != 0 || os->fstat(obj->fd, &b) != 0) {
    *rc = KstMapOsError(errno);
  } else if (a.st_dev != b.st_dev || a.st_ino != b.st_ino) {
    KstLogPrintf("proc_w32 line %d: object file %s changed under the creation lock, refused",
                 __LINE__, obj->file_name);
    *rc = KST_ERR_ACCESS_DENIED;
  } else {
    base = os->mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) *rc = KstMapOsError(errno);
  }
  CloseFd(fd);
  return base;
}

// Maps and checks an existing file; sets base, map_size, payload_size.
uint32_t MapExisting(KstNamedObject *obj, const struct stat &st) {
  const char *why = nullptr;
  if (static_cast<uint64_t>(st.st_size) < KST_OBJ_HEADER_SIZE) {
    why = "is too short";
  } else {
    size_t size = static_cast<size_t>(st.st_size);
    uint32_t rc = KST_OK;
    void *base = MapFile(obj, size, &rc);
    if (base == MAP_FAILED) return rc;
    auto *h = static_cast<KstObjHeader *>(base);
    uint32_t ready = std::atomic_ref<uint32_t>(h->init_state).load(std::memory_order_acquire);
    if (h->magic != KST_OBJ_MAGIC || h->kind != static_cast<uint32_t>(obj->kind) ||
        h->version != KST_OBJ_VERSION) {
      why = "has a foreign header";
    } else if (ready != KST_OBJ_READY) {
      why = "was never finished";
    } else if (h->payload_size > size - KST_OBJ_HEADER_SIZE) {
      why = "is shorter than its header says";
    }
    if (!why) {
      obj->base = base;
      obj->map_size = size;
      obj->payload_size = h->payload_size;
      return KST_OK;
    }
    KstOsApiCurrent()->munmap(base, size);
  }
  KstLogPrintf("proc_w32 line %d: object file %s %s, refused", __LINE__, obj->file_name, why);
  return KST_ERR_GENERAL;
}

// Opens the object's file if it exists and someone holds it: 0 with a shared
// lock held and the file mapped. A dead file is removed: 2.
uint32_t OpenExisting(KstNamedObject *obj, const struct stat &folder) {
  const KstOsApi *os = KstOsApiCurrent();
  int fd = os->openat(obj->dir_fd, obj->file_name,
                      O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) {
    if (errno == ENOENT) return KST_ERR_FILE_NOT_FOUND;
    return OpenFailure(errno, obj->file_name);
  }
  obj->fd = fd;  // obj is listed: the child handler sees it from here on
  struct stat st;
  uint32_t rc = CheckFile(fd, obj->file_name, folder, &st);
  if (rc != KST_OK) return rc;
  // Liveness probe: an exclusive lock succeeds only when nobody holds one.
  if (os->flock(fd, LOCK_EX | LOCK_NB) == 0) {
    if (SameInode(obj->dir_fd, obj->file_name, fd)) unlinkat(obj->dir_fd, obj->file_name, 0);
    UnlockClose(obj->fd);
    return KST_ERR_FILE_NOT_FOUND;
  }
  if (errno != EWOULDBLOCK) return KstMapOsError(errno);
  // Nobody holds an exclusive lock outside the creation lock, which we hold.
  if (os->flock(fd, LOCK_SH | LOCK_NB) != 0) return KstMapOsError(errno);
  if (!SameInode(obj->dir_fd, obj->file_name, fd)) {
    KstLogPrintf("proc_w32 line %d: object file %s changed under the creation lock, refused",
                 __LINE__, obj->file_name);
    return KST_ERR_ACCESS_DENIED;
  }
  return MapExisting(obj, st);
}

// Makes a fresh object file: zeroed payload, header, init, then ready.
uint32_t CreateFresh(KstNamedObject *obj, const struct stat &folder, uint32_t payload_size,
                     KstObjInitFn init, void *ctx) {
  const KstOsApi *os = KstOsApiCurrent();
  mode_t mode = KstFileModeForFolder(folder.st_mode);
  int fd = os->openat(obj->dir_fd, obj->file_name,
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                      mode);
  if (fd < 0) {
    if (errno == EEXIST) return kRetry;
    return OpenFailure(errno, obj->file_name);
  }
  obj->fd = fd;
  uint32_t rc = KST_OK;
  size_t size = KST_OBJ_HEADER_SIZE + payload_size;
  void *base = MAP_FAILED;
  int err;
  // A creator that dies before it finishes leaves a file nobody holds: dead,
  // and started afresh by the next create.
  if (os->flock(fd, LOCK_SH | LOCK_NB) != 0 || os->fchmod(fd, mode) != 0 ||
      os->ftruncate(fd, static_cast<off_t>(size)) != 0) {
    rc = KstMapOsError(errno);
    goto fail;
  }
  // Reserve the pages now: on a full tmpfs a later store into the mapping
  // would be a SIGBUS instead of a result code.
  err = posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (err != 0 && err != EOPNOTSUPP && err != EINVAL) {
    rc = KstMapOsError(err);
    goto fail;
  }
  base = MapFile(obj, size, &rc);
  if (base == MAP_FAILED) goto fail;
  {
    auto *h = static_cast<KstObjHeader *>(base);
    h->magic = KST_OBJ_MAGIC;
    h->kind = static_cast<uint32_t>(obj->kind);
    h->version = KST_OBJ_VERSION;
    h->payload_size = payload_size;
    if (init) {
      rc = init(static_cast<char *>(base) + KST_OBJ_HEADER_SIZE, payload_size, ctx);
      if (rc != KST_OK) goto fail;
    }
    // Release: whoever reads "ready" (acquire) sees the header and payload.
    std::atomic_ref<uint32_t>(h->init_state).store(KST_OBJ_READY, std::memory_order_release);
  }
  obj->base = base;
  obj->map_size = size;
  obj->payload_size = payload_size;
  return KST_OK;

fail:
  if (base != MAP_FAILED) os->munmap(base, size);
  unlinkat(obj->dir_fd, obj->file_name, 0);
  UnlockClose(obj->fd);
  return rc;
}

void FreeObject(KstNamedObject *obj, bool unmap) {
  if (unmap && obj->base) KstOsApiCurrent()->munmap(obj->base, obj->map_size);
  obj->base = nullptr;
  if (!obj->forgotten) {
    UnlockClose(obj->fd);
    CloseFd(obj->dir_fd);
  }
  ListRemove(obj);
  KstDelete(obj);
}

uint32_t Release(KstNamedObject *obj, bool unmap) {
  if (!obj) return KST_ERR_INVALID_HANDLE;
  if (obj->forgotten) {
    FreeObject(obj, unmap);
    return KST_OK;
  }
  // Invariant 2: a live handle holds its own locked description and the
  // checked folder until this release.
  KRP_ASSERT(obj->fd >= 0 && obj->dir_fd >= 0);
  struct stat folder;
  if (KstOsApiCurrent()->fstat(obj->dir_fd, &folder) != 0) return KstMapOsError(errno);
  CreationLock lock;
  uint32_t rc = lock.Take(obj->dir_fd, folder, true, KST_CREATION_LOCK_MS);
  if (rc != KST_OK) return rc;
  // Last holder: the exclusive probe on our own description succeeds.
  if (KstOsApiCurrent()->flock(obj->fd, LOCK_EX | LOCK_NB) == 0 &&
      SameInode(obj->dir_fd, obj->file_name, obj->fd)) {
    unlinkat(obj->dir_fd, obj->file_name, 0);
  }
  UnlockClose(obj->fd);
  lock.Release();
  FreeObject(obj, unmap);
  return KST_OK;
}

}  // namespace

// Invariant 7, and the rule for every other file the library creates
// (platform_internal.h).
mode_t KstFileModeForFolder(mode_t folder_mode) {
  if (folder_mode & S_IWOTH) return 0600;
  mode_t m = 0600;
  if (folder_mode & S_IXGRP) m |= 0060;
  if (folder_mode & S_IXOTH) m |= 0006;
  return m;
}

struct timespec KstDeadlineAfterMs(uint32_t ms) {
  struct timespec ts;
  KstOsApiCurrent()->clock_gettime(CLOCK_MONOTONIC, &ts);
  if (ms == KST_INFINITE) {
    ts.tv_sec = static_cast<time_t>(~0ULL >> 1);
    ts.tv_nsec = 0;
    return ts;
  }
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

bool KstDeadlinePassed(const struct timespec &deadline) {
  struct timespec now;
  KstOsApiCurrent()->clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

uint32_t KstObjComposeName(KstObjKind kind, const char *name, char *out, size_t out_size) {
  if (!name || !out) return KST_ERR_INVALID_PARAMETER;
  if (strncmp(name, "Global\\", 7) == 0) {
    name += 7;
  } else if (strncmp(name, "Local\\", 6) == 0) {
    name += 6;
  }
  const char *prefix = KindPrefix(kind);
  size_t plen = strlen(prefix);
  size_t nlen = strlen(name);
  // The length first: an over-long name is 206 whatever its characters.
  if (plen + nlen + 1 > KST_MAX_PATH || plen + nlen > 255) return KST_ERR_FILENAME_TOO_LONG;
  if (nlen == 0) return KST_ERR_INVALID_NAME;
  for (size_t i = 0; i < nlen; ++i) {
    if (!ValidNameChar(name[i])) return KST_ERR_INVALID_NAME;
  }
  if (plen + nlen + 1 > out_size) return KST_ERR_FILENAME_TOO_LONG;
  memcpy(out, prefix, plen);
  memcpy(out + plen, name, nlen + 1);
  return KST_OK;
}

int KstObjOpenFolder(uint32_t *rc) {
  uint32_t dummy;
  return OpenFolder(true, nullptr, rc ? rc : &dummy);
}

uint32_t KstObjAcquire(KstObjKind kind, const char *name, bool create, uint32_t payload_size,
                       KstObjInitFn init, void *ctx, KstNamedObject **out, bool *created) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  if (created) *created = false;
  char file_name[KST_MAX_PATH];
  uint32_t rc = KstObjComposeName(kind, name, file_name, sizeof file_name);
  if (rc != KST_OK) return rc;
  if (payload_size > 0x7FFFFFFFu) return KST_ERR_INVALID_PARAMETER;

  auto *obj = KstNew<KstNamedObject>();
  if (!obj) return KST_HEAP_FULL;
  obj->kind = kind;
  memcpy(obj->file_name, file_name, strlen(file_name) + 1);
  ListAdd(obj);
  struct stat folder;
  obj->dir_fd = OpenFolder(create, &folder, &rc);
  if (obj->dir_fd < 0) {
    FreeObject(obj, true);
    return rc;
  }
  if (!create && ObjectFileMissing(obj)) {
    FreeObject(obj, true);
    return KST_ERR_FILE_NOT_FOUND;
  }
  {
    CreationLock lock;
    rc = lock.Take(obj->dir_fd, folder, create, KST_CREATION_LOCK_MS);
    // No lock file: nothing was ever created in this folder.
    for (int attempt = 0; rc == KST_OK && attempt < 4; ++attempt) {
      rc = OpenExisting(obj, folder);
      if (rc == KST_OK) {
        if (obj->payload_size < payload_size) {
          KstLogPrintf("proc_w32 line %d: object %s holds %u bytes, %u asked, refused", __LINE__,
                       obj->file_name, obj->payload_size, payload_size);
          rc = KST_ERR_GENERAL;
        }
        break;
      }
      if (rc != KST_ERR_FILE_NOT_FOUND || !create) break;
      rc = CreateFresh(obj, folder, payload_size, init, ctx);
      if (rc == KST_OK && created) *created = true;
      if (rc != kRetry) break;
      rc = KST_OK;  // look again
    }
    if (rc == kRetry) rc = KST_ERR_GENERAL;
    if (rc != KST_OK) {
      if (obj->base) KstOsApiCurrent()->munmap(obj->base, obj->map_size);
      obj->base = nullptr;
      UnlockClose(obj->fd);
    }
  }
  if (rc != KST_OK) {
    FreeObject(obj, true);
    return rc;
  }
  *out = obj;
  return KST_OK;
}

uint32_t KstObjRelease(KstNamedObject *obj) { return Release(obj, true); }

uint32_t KstObjReleaseKeepMapping(KstNamedObject *obj) { return Release(obj, false); }
