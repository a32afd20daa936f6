// Files: open modes with emulated share modes, positioned I/O, size, sync,
// delete, folder sync and free space. Every system call goes through the
// KstOsApi seam (os_api.h).
//
// Share modes are flock locks on the handle's own open file description,
// taken without blocking right after open:
//   read-write, no sharing (KstOpenRWFile, KstCreateRWFile): LOCK_EX
//   read, others may read  (KstOpenRFile):                    LOCK_SH
// A conflict is 32 (sharing violation) and the descriptor is closed again.
// Because flock locks belong to the open file description, two opens in one
// process conflict exactly as two processes do. KstCreateRWFile locks before
// it truncates, so a file somebody else holds is never emptied.
//
// Descriptors are O_CLOEXEC and never 0, 1 or 2: a stray write to standard
// error must not land in a store file.
//
// A file made or emptied by a create call gets the mode of its folder's
// classes (KstFileModeForFolder: 0700 folder, 0600 file), set with fchmod
// after the lock, so neither the umask nor an older, wider mode leaks the
// new content to users the folder keeps out.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "krp_assert.h"
#include "os_api.h"
#include "platform.h"
#include "platform_internal.h"

namespace {

// Turns a file path into its folder's path, in place: "a/b" gives "a",
// "/b" gives "/", a bare name gives ".".
void CutToParentFolder(char *path) {
  char *slash = strrchr(path, '/');
  if (!slash) {
    strcpy(path, ".");
  } else if (slash == path) {
    path[1] = '\0';
  } else {
    *slash = '\0';
  }
}

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull;

uint32_t LastError() { return KstMapOsError(errno); }

// Moves a descriptor that landed on 0, 1 or 2 above them.
int AvoidStdDescriptors(int fd) {
  if (fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int saved = errno;
  KstOsApiCurrent()->close(fd);
  errno = saved;
  return moved;
}

// Opens `name` with `flags`, takes the share-mode lock `lock_op` and checks
// that it is a regular file. On failure *out is KST_INVALID_HFILE.
uint32_t OpenLocked(const char *name, int flags, int lock_op, KST_HFILE *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  *out = KST_INVALID_HFILE;
  if (!name) return KST_ERR_INVALID_PARAMETER;
  char path[PATH_MAX];
  uint32_t rc = KstToOsPath(name, path, sizeof path);
  if (rc) return rc;
  const KstOsApi *os = KstOsApiCurrent();
  // O_NONBLOCK keeps an open of a FIFO from hanging; it is meaningless for
  // the regular files we accept.
  // A new file starts owner-only; KstSetModeForFolder widens it afterwards
  // when the folder says so, so it is never more open than its final mode.
  int fd = os->open(path, flags | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return LastError();
  fd = AvoidStdDescriptors(fd);
  if (fd < 0) return LastError();
  struct stat st;
  if (os->fstat(fd, &st) != 0) {
    rc = LastError();
  } else if (!S_ISREG(st.st_mode)) {
    rc = KST_ERR_ACCESS_DENIED;
  } else if (os->flock(fd, lock_op | LOCK_NB) != 0) {
    rc = (errno == EWOULDBLOCK) ? KST_ERR_SHARING_VIOLATION : LastError();
  }
  if (rc == KST_OK) {
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    *out = fd;
    return KST_OK;
  }
  os->close(fd);
  return rc;
}

// Gives a file made by a create call its folder's mode (KstSetModeForFolder).
uint32_t SetCreatedMode(int fd, const char *name) {
  char path[PATH_MAX];
  uint32_t rc = KstToOsPath(name, path, sizeof path);
  return rc ? rc : KstSetModeForFolder(fd, path);
}

}  // namespace

uint32_t KstSetModeForFolder(int fd, const char *os_path) {
  char dir[PATH_MAX];
  size_t len = strlen(os_path);
  if (len >= sizeof dir) return KST_ERR_FILENAME_TOO_LONG;
  memcpy(dir, os_path, len + 1);
  CutToParentFolder(dir);
  const KstOsApi *os = KstOsApiCurrent();
  struct stat folder, file;
  if (os->stat(dir, &folder) != 0 || os->fstat(fd, &file) != 0) return LastError();
  if (file.st_uid != geteuid()) return KST_OK;
  if (os->fchmod(fd, KstFileModeForFolder(folder.st_mode)) != 0) return LastError();
  return KST_OK;
}

uint32_t KstToOsPath(const char *in, char *out, size_t out_size) {
  if (!in || !out || out_size == 0) return KST_ERR_INVALID_PARAMETER;
  size_t len = strlen(in);
  if (len >= out_size) return KST_ERR_FILENAME_TOO_LONG;
  for (size_t i = 0; i <= len; ++i) out[i] = (in[i] == '\\') ? '/' : in[i];
  return KST_OK;
}

uint32_t KstOpenRFile(const char *name, KST_HFILE *out) {
  return OpenLocked(name, O_RDONLY, LOCK_SH, out);
}

uint32_t KstOpenRWFile(const char *name, KST_HFILE *out) {
  return OpenLocked(name, O_RDWR, LOCK_EX, out);
}

uint32_t KstCreateRWFile(const char *name, KST_HFILE *out, uint32_t /*reserved*/) {
  uint32_t rc = OpenLocked(name, O_RDWR | O_CREAT, LOCK_EX, out);
  if (rc) return rc;
  // Only now, holding the exclusive lock, is the old content dropped; the
  // new content gets the folder's mode, whatever the umask or the old mode.
  rc = SetCreatedMode(*out, name);
  if (!rc && KstOsApiCurrent()->ftruncate(*out, 0) != 0) rc = LastError();
  if (rc) {
    KstOsApiCurrent()->close(*out);
    *out = KST_INVALID_HFILE;
  }
  return rc;
}

namespace {
// KstCreateRWFileNoLink and KstOpenRWFileNoLink: `empty` cuts the file.
uint32_t OpenNoLink(const char *name, bool empty, KST_HFILE *out) {
  uint32_t rc = OpenLocked(name, O_RDWR | O_CREAT | O_NOFOLLOW, LOCK_EX, out);
  if (rc == KST_ERR_GENERAL && errno == ELOOP) return KST_ERR_ACCESS_DENIED;
  if (rc) return rc;
  const KstOsApi *os = KstOsApiCurrent();
  struct stat st;
  if (os->fstat(*out, &st) != 0) {
    rc = LastError();
  } else if (st.st_nlink != 1) {
    rc = KST_ERR_ACCESS_DENIED;  // writing it would change another name too
  }
  // The mode only after the link check: a second name must not change too.
  if (!rc) rc = SetCreatedMode(*out, name);
  if (!rc && empty && os->ftruncate(*out, 0) != 0) rc = LastError();
  if (rc) {
    os->close(*out);
    *out = KST_INVALID_HFILE;
  }
  return rc;
}
}  // namespace

uint32_t KstCreateRWFileNoLink(const char *name, KST_HFILE *out) {
  return OpenNoLink(name, true, out);
}

uint32_t KstOpenRWFileNoLink(const char *name, KST_HFILE *out) {
  return OpenNoLink(name, false, out);
}

uint32_t KstLockFileShared(KST_HFILE h) {
  if (h < 0) return KST_ERR_INVALID_HANDLE;
  if (KstOsApiCurrent()->flock(h, LOCK_SH | LOCK_NB) == 0) return KST_OK;
  return errno == EWOULDBLOCK ? KST_ERR_SHARING_VIOLATION : LastError();
}

uint32_t KstUnlockFile(KST_HFILE h) {
  if (h < 0) return KST_ERR_INVALID_HANDLE;
  return KstOsApiCurrent()->flock(h, LOCK_UN) == 0 ? KST_OK : LastError();
}

namespace {
void FillFileId(const struct stat &st, KstFileId *out) {
  out->dev = uint64_t(st.st_dev);
  out->ino = uint64_t(st.st_ino);
  out->size = uint64_t(st.st_size);
  out->owner = uint32_t(st.st_uid);
}
}  // namespace

uint32_t KstQueryFileId(KST_HFILE h, KstFileId *out) {
  if (!out) return KST_ERR_INVALID_PARAMETER;
  if (h < 0) return KST_ERR_INVALID_HANDLE;
  struct stat st;
  if (KstOsApiCurrent()->fstat(h, &st) != 0) return LastError();
  FillFileId(st, out);
  return KST_OK;
}

uint32_t KstQueryPathId(const char *path, KstFileId *out) {
  if (!path || !out) return KST_ERR_INVALID_PARAMETER;
  char os_path[PATH_MAX];
  uint32_t rc = KstToOsPath(path, os_path, sizeof os_path);
  if (rc) return rc;
  struct stat st;
  if (KstOsApiCurrent()->stat(os_path, &st) != 0) return LastError();
  FillFileId(st, out);
  return KST_OK;
}

uint32_t KstCloseFile(KST_HFILE h) {
  if (h < 0) return KST_ERR_INVALID_HANDLE;
  // The share-mode lock goes with the last descriptor of the description.
  if (KstOsApiCurrent()->close(h) != 0 && errno != EINTR) return LastError();
  return KST_OK;
}

uint32_t KstReadFileAt(KST_HFILE h, uint32_t *pos, void *buf, uint32_t count, uint32_t *read) {
  if (read) *read = 0;
  if (!pos || (!buf && count)) return KST_ERR_INVALID_PARAMETER;
  const KstOsApi *os = KstOsApiCurrent();
  uint32_t done = 0;
  uint32_t rc = KST_OK;
  while (done < count) {
    ssize_t n = os->pread(h, static_cast<char *>(buf) + done, count - done,
                          static_cast<off_t>(*pos) + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = LastError();
      break;
    }
    if (n == 0) {
      rc = KST_ERR_HANDLE_EOF;
      break;
    }
    done += static_cast<uint32_t>(n);
  }
  *pos += done;
  if (read) *read = done;
  return rc;
}

// Loops until all bytes are written. A call that makes no progress is a full
// disk: a short write is never reported as success.
static uint32_t WriteAll(KST_HFILE h, const void *buf, uint32_t count, uint64_t offset,
                         bool positioned, uint32_t *written) {
  const KstOsApi *os = KstOsApiCurrent();
  uint32_t done = 0;
  uint32_t rc = KST_OK;
  while (done < count) {
    const char *p = static_cast<const char *>(buf) + done;
    ssize_t n = positioned ? os->pwrite(h, p, count - done, static_cast<off_t>(offset + done))
                           : os->write(h, p, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = LastError();
      break;
    }
    if (n == 0) {
      rc = KST_ERR_DISK_FULL;
      break;
    }
    done += static_cast<uint32_t>(n);
  }
  if (written) *written = done;
  return rc;
}

uint32_t KstWriteFileAt(KST_HFILE h, uint32_t *pos, const void *buf, uint32_t count,
                        uint32_t *written) {
  if (written) *written = 0;
  if (!pos || (!buf && count)) return KST_ERR_INVALID_PARAMETER;
  // Files end at 4 GiB: a write that would pass it is a full disk, never a
  // wrapped offset.
  if (static_cast<uint64_t>(*pos) + count > kMaxFileSize) return KST_ERR_DISK_FULL;
  uint32_t done = 0;
  uint32_t rc = WriteAll(h, buf, count, *pos, true, &done);
  // Design note 5 of platform.h: the check above keeps the position in 32
  // bits; WriteAll never reports more than it was given.
  KRP_ASSERT(done <= count && static_cast<uint64_t>(*pos) + done <= kMaxFileSize);
  *pos += done;
  if (written) *written = done;
  return rc;
}

uint32_t KstWriteFile(KST_HFILE h, const void *buf, uint32_t count, uint32_t *written,
                      void * /*reserved*/) {
  if (written) *written = 0;
  if (!buf && count) return KST_ERR_INVALID_PARAMETER;
  off_t cur = KstOsApiCurrent()->lseek(h, 0, SEEK_CUR);
  if (cur < 0) return LastError();
  if (static_cast<uint64_t>(cur) + count > kMaxFileSize) return KST_ERR_DISK_FULL;
  return WriteAll(h, buf, count, 0, false, written);
}

uint32_t KstSetFilePtr(KST_HFILE h, int32_t distance, uint32_t method, uint32_t *newpos,
                       void * /*reserved*/) {
  static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (newpos) *newpos = 0xFFFFFFFFu;
  if (method > 2) return KST_ERR_INVALID_PARAMETER;
  off_t at = KstOsApiCurrent()->lseek(h, distance, kWhence[method]);
  if (at < 0) return LastError();
  if (static_cast<uint64_t>(at) > kMaxFileSize) return KST_ERR_INVALID_PARAMETER;
  if (newpos) *newpos = static_cast<uint32_t>(at);
  return KST_OK;
}

uint32_t KstQueryFileSize(KST_HFILE h, uint32_t *size, void * /*reserved*/) {
  if (!size) return KST_ERR_GENERAL;
  struct stat st;
  if (KstOsApiCurrent()->fstat(h, &st) != 0) return LastError();
  if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) return KST_ERR_INVALID_PARAMETER;
  *size = static_cast<uint32_t>(st.st_size);
  return KST_OK;
}

uint32_t KstSetFileSize(KST_HFILE h, uint32_t size) {
  const KstOsApi *os = KstOsApiCurrent();
  if (os->lseek(h, size, SEEK_SET) < 0) return LastError();
  if (os->ftruncate(h, size) != 0) return LastError();
  return KST_OK;
}

uint32_t KstFlushFile(KST_HFILE h) {
  if (KstOsApiCurrent()->fsync(h) != 0) return LastError();
  return KST_OK;
}

uint32_t KstStartWriteBack(KST_HFILE h, uint32_t pos, uint32_t count) {
  if (KstOsApiCurrent()->sync_file_range(h, off_t(pos), off_t(count), SYNC_FILE_RANGE_WRITE) != 0)
    return LastError();
  return KST_OK;
}

uint32_t KstMapFileRead(KST_HFILE h, uint32_t len, const void **out) {
  if (!out || !len) return KST_ERR_INVALID_PARAMETER;
  *out = nullptr;
  void *p = KstOsApiCurrent()->mmap(nullptr, len, PROT_READ, MAP_SHARED, h, 0);
  if (p == MAP_FAILED) return LastError();
  *out = p;
  return KST_OK;
}

uint32_t KstUnmapFile(const void *addr, uint32_t len) {
  if (!addr || !len) return KST_ERR_INVALID_PARAMETER;
  if (KstOsApiCurrent()->munmap(const_cast<void *>(addr), len) != 0) return LastError();
  return KST_OK;
}

uint32_t KstDeleteFile(const char *name) {
  if (!name) return KST_ERR_INVALID_PARAMETER;
  char path[PATH_MAX];
  uint32_t rc = KstToOsPath(name, path, sizeof path);
  if (rc) return rc;
  // A read-only file needs no attribute change here: unlinking depends on
  // the folder's permissions only.
  if (KstOsApiCurrent()->unlink(path) != 0) return LastError();
  return KST_OK;
}

uint32_t KstSyncParentDir(const char *path) {
  if (!path) return KST_ERR_INVALID_PARAMETER;
  char dir[PATH_MAX];
  uint32_t rc = KstToOsPath(path, dir, sizeof dir);
  if (rc) return rc;
  CutToParentFolder(dir);
  const KstOsApi *os = KstOsApiCurrent();
  int fd = os->open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return LastError();
  rc = (os->fsync(fd) != 0) ? LastError() : KST_OK;
  os->close(fd);
  return rc;
}

uint32_t KstQueryFreeSpace(const char *path, uint64_t *bytes) {
  if (!path || !bytes) return KST_ERR_INVALID_PARAMETER;
  char p[PATH_MAX];
  uint32_t rc = KstToOsPath(path, p, sizeof p);
  if (rc) return rc;
  struct statvfs st;
  if (KstOsApiCurrent()->statvfs(p, &st) != 0) return LastError();
  *bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return KST_OK;
}
