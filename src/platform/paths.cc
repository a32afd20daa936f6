// The suite's folders, temporary files, folder creation and file attributes.
//
// Design note
// -----------
// Every folder of the suite lies under the product root (registry.cc). A path
// kind is a number that names one of them:
//
//   kind  folder                    kind  folder
//   0     root/                     34    root/info/
//   6     temporary folder (below)  42    root/resources/
//   8     root/download/            43    root/distrib/download/
//   10    root/distrib/             52    root/lib/  (libtracelib.so)
//   11    root/msg/                 55    root/tasks/
//   17    root/dom/                 56    root/temp/ (never the environment)
//   18    root/logs/                60    root/quarantine/
//   23,27 root/bin/                 105   root/backups/
//   24    root/config/
//   12, 13: not folders, the user's and the host's name.
//
// Any other kind gives 87; the library itself asks only for 0, 6 and 52.
//
// Invariants:
// 1. A folder path handed out ends in "/" and exists when the call returns 0
//    (it and its missing parents are created). The caller's buffer must hold
//    the whole path, the trailing "/" and the terminator, else 4101; paths
//    are limited to KST_MAX_PATH bytes with the terminator (206 beyond).
// 2. The temporary folder is the first of "TEMP", "TMP", "TMPDIR" that is set
//    and not empty, else root/temp/, else /tmp/ when no root is recorded. It
//    is the only folder kind that answers without a root; the names (12, 13)
//    do not need one either.
// 3. A temporary file is always made by this process: the name "%08x.<ext>"
//    takes its number from getrandom() (a guessable name in a shared folder
//    invites a planted file), and the file is created with
//    O_CREAT|O_EXCL|O_NOFOLLOW, so an existing file or a symbolic link at the
//    name is a clash (another number is tried), never something we open or
//    follow. Its mode is set with fchmod to the folder's classes
//    (KstFileModeForFolder: 0600 in a 0700 folder or in a folder every user
//    may write, such as /tmp), whatever the umask.
// 4. A descriptor handed out is never 0, 1 or 2 (a stray write to standard
//    error must not land in a store file made from a temporary name).
// 5. A folder created here (KstCreateDir, KstCreateDirTree, the folders of
//    KstQueryKestarPath) is 0700, set with fchmod whatever the umask: the
//    store's folder is made here, and what it holds is nobody else's.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "os_api.h"
#include "platform.h"
#include "platform_internal.h"

namespace {

struct FolderKind {
  uint32_t kind;
  const char *sub;  // "" is the root itself
};

constexpr FolderKind kFolders[] = {
    {KPATH_ROOT, ""},
    {KPATH_DOWNLOAD, "download"},
    {KPATH_DISTRIB, "distrib"},
    {KPATH_MSG, "msg"},
    {KPATH_DOM, "dom"},
    {KPATH_LOGS, "logs"},
    {KPATH_BIN, "bin"},
    {KPATH_CONFIG, "config"},
    {KPATH_BIN2, "bin"},
    {KPATH_INFO, "info"},
    {KPATH_RESOURCES, "resources"},
    {KPATH_DISTRIB_DOWNLOAD, "distrib/download"},
    {KPATH_LOGLIB, "lib"},
    {KPATH_TASKS, "tasks"},
    {KPATH_ROOT_TEMP, "temp"},
    {KPATH_QUARANTINE, "quarantine"},
    {KPATH_BACKUPS, "backups"},
};

// The buffer of KstQueryUserHost for kinds 12 and 13.
constexpr uint16_t kNameBuf = 79;
// A run of this many clashes means something is wrong with the folder (or a
// test made every create fail), not bad luck: 2^32 names are drawn from.
constexpr int kMaxTmpTries = 100;

const FolderKind *FindFolder(uint32_t kind) {
  for (const FolderKind &f : kFolders) {
    if (f.kind == kind) return &f;
  }
  return nullptr;
}

// Appends "/" to p[cap] unless it ends with one; 206 when there is no room.
uint32_t AddSlash(char *p, size_t cap) {
  size_t len = strlen(p);
  if (len > 0 && p[len - 1] == '/') return KST_OK;
  if (len + 2 > cap) return KST_ERR_FILENAME_TOO_LONG;
  p[len] = '/';
  p[len + 1] = '\0';
  return KST_OK;
}

// root + "/" + sub into out[KST_MAX_PATH] (no trailing "/" added here).
uint32_t UnderRoot(const char *root, const char *sub, char *out) {
  size_t rlen = strlen(root);
  const char *sep = (rlen > 0 && root[rlen - 1] == '/') || !*sub ? "" : "/";
  int n = snprintf(out, KST_MAX_PATH, "%s%s%s", root, sep, sub);
  if (n < 0 || n >= static_cast<int>(KST_MAX_PATH)) return KST_ERR_FILENAME_TOO_LONG;
  return KST_OK;
}

// Invariant 2.
uint32_t TempFolder(char *out) {
  for (const char *var : {"TEMP", "TMP", "TMPDIR"}) {
    const char *v = getenv(var);
    if (v && *v) return KstToOsPath(v, out, KST_MAX_PATH);
  }
  char root[KST_MAX_PATH];
  if (KstQueryRootPath(root, nullptr) == KST_OK) return UnderRoot(root, "temp", out);
  memcpy(out, "/tmp", 5);
  return KST_OK;
}

uint32_t QueryName(uint32_t kind, char *buf, uint32_t size) {
  char name[kNameBuf];
  name[0] = '\0';
  uint32_t rc = kind == KPATH_USERNAME ? KstQueryUserHost(name, kNameBuf, nullptr, 0)
                                       : KstQueryUserHost(nullptr, 0, name, kNameBuf);
  if (rc) return rc;
  // A name is cut to the buffer (size - 1 characters and the terminator).
  size_t n = strnlen(name, size - 1);
  memcpy(buf, name, n);
  buf[n] = '\0';
  return KST_OK;
}

// A folder just made: mkdir applied the umask, so its permission bits are
// set to exactly KST_FOLDER_MODE (invariant 5); a setgid bit it inherited
// stays.
uint32_t MakePrivate(const char *p) {
  const KstOsApi *os = KstOsApiCurrent();
  int fd = os->open(p, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) return KstMapOsError(errno);
  uint32_t rc = KST_OK;
  struct stat st;
  if (os->fstat(fd, &st) != 0) {
    rc = KstMapOsError(errno);
  } else if ((st.st_mode & 0777) != KST_FOLDER_MODE &&
             os->fchmod(fd, (st.st_mode & 07000) | KST_FOLDER_MODE) != 0) {
    rc = KstMapOsError(errno);
  }
  os->close(fd);
  return rc;
}

// Creates one folder: p is already an OS path.
uint32_t MakeDir(const char *p) {
  const KstOsApi *os = KstOsApiCurrent();
  if (os->mkdir(p, KST_FOLDER_MODE) == 0) return MakePrivate(p);
  int err = errno;
  if (err != EEXIST) return KstMapOsError(err);
  // Something is there: fine if it is a folder (or a link to one), else the
  // path cannot be used as a folder.
  struct stat st;
  if (os->stat(p, &st) == 0 && S_ISDIR(st.st_mode)) return KST_OK;
  return KST_ERR_PATH_NOT_FOUND;
}

// Creates p and its missing parents; p is modified during the walk and
// restored before returning.
uint32_t MakeTree(char *p) {
  uint32_t rc = MakeDir(p);
  // Only a missing parent is worth climbing for; anything else (a file in
  // the way, no permission) will not change by creating parents.
  if (rc != KST_ERR_FILE_NOT_FOUND) return rc;
  size_t len = strlen(p);
  while (len > 1 && p[len - 1] == '/') --len;
  size_t cut = len;
  while (cut > 0 && p[cut - 1] != '/') --cut;
  // cut is one past the parent's last "/": nothing to climb to when there is
  // none, or when the parent is "/" itself.
  if (cut <= 1) return rc;
  char saved = p[cut - 1];
  p[cut - 1] = '\0';
  uint32_t prc = MakeTree(p);
  p[cut - 1] = saved;
  // The parent's own failure says why (5 for a folder we may not write), not
  // the 2 of the first attempt.
  if (prc) return prc;
  return MakeDir(p);
}

uint32_t RandomWord(uint32_t *out) {
  for (;;) {
    ssize_t got = getrandom(out, sizeof *out, 0);
    if (got == static_cast<ssize_t>(sizeof *out)) return KST_OK;
    if (got < 0 && errno != EINTR) return KstMapOsError(errno);
  }
}

// Moves a descriptor that landed on 0, 1 or 2 above them (invariant 4). The
// flock, if any, belongs to the open file description and moves along.
int AvoidStdDescriptors(int fd) {
  if (fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int err = errno;
  KstOsApiCurrent()->close(fd);
  errno = err;
  return moved;
}

}  // namespace

uint32_t KstQueryKestarPath(uint32_t kind, char *buf, uint32_t size) {
  if (!buf || size == 0) return KST_ERR_INVALID_PARAMETER;
  if (kind == KPATH_USERNAME || kind == KPATH_HOSTNAME) return QueryName(kind, buf, size);

  char path[KST_MAX_PATH];
  uint32_t rc;
  if (kind == KPATH_TEMP) {
    rc = TempFolder(path);
  } else {
    const FolderKind *f = FindFolder(kind);
    if (!f) return KST_ERR_INVALID_PARAMETER;
    char root[KST_MAX_PATH];
    rc = KstQueryRootPath(root, nullptr);
    if (rc) return rc;
    rc = UnderRoot(root, f->sub, path);
  }
  if (rc) return rc;
  rc = AddSlash(path, sizeof path);
  if (rc) return rc;
  size_t len = strlen(path);
  if (len + 1 > size) return KST_ERR_BUFFER_TOO_SMALL;
  memcpy(buf, path, len + 1);
  return MakeTree(path);
}

uint32_t KstCreateTmpFile(const char *folder, const char *ext, char *out_path,
                          KST_HFILE *out_handle) {
  if (out_handle) *out_handle = KST_INVALID_HFILE;
  if (!out_path) return KST_ERR_INVALID_PARAMETER;
  char path[KST_MAX_PATH];
  uint32_t rc;
  if (!folder) {
    rc = KstQueryKestarPath(KPATH_TEMP, path, sizeof path);
  } else if (!*folder) {
    // "" + "/" would be the file-system root.
    rc = KST_ERR_INVALID_PARAMETER;
  } else {
    rc = KstToOsPath(folder, path, sizeof path);
    if (!rc) rc = AddSlash(path, sizeof path);
  }
  if (rc) return rc;
  if (!ext || !*ext) ext = "tmp";
  // The extension is part of one file name; it must not lead elsewhere.
  if (strchr(ext, '/') || strchr(ext, '\\')) return KST_ERR_INVALID_NAME;
  size_t dir_len = strlen(path);
  if (dir_len + 9 + strlen(ext) + 1 > sizeof path) return KST_ERR_FILENAME_TOO_LONG;

  const KstOsApi *os = KstOsApiCurrent();
  for (int tries = 0; tries < kMaxTmpTries; ++tries) {
    uint32_t number;
    rc = RandomWord(&number);
    if (rc) return rc;
    snprintf(path + dir_len, sizeof path - dir_len, "%08x.%s", number, ext);
    int fd = os->open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST || errno == EINTR) continue;
      return KstMapOsError(errno);
    }
    fd = AvoidStdDescriptors(fd);
    rc = fd < 0 ? KstMapOsError(errno) : KstSetModeForFolder(fd, path);
    if (rc == KST_OK && out_handle && os->flock(fd, LOCK_EX | LOCK_NB) != 0) {
      // The same share mode as a file made by KstCreateRWFile: read-write,
      // no sharing. Nobody can hold a file we just created, but a failure
      // here must not hand out an unlocked handle.
      rc = errno == EWOULDBLOCK ? KST_ERR_SHARING_VIOLATION : KstMapOsError(errno);
    }
    if (rc) {
      if (fd >= 0) os->close(fd);
      os->unlink(path);
      return rc;
    }
    if (out_handle) {
      *out_handle = fd;
    } else {
      os->close(fd);
    }
    memcpy(out_path, path, strlen(path) + 1);
    return KST_OK;
  }
  return KST_ERR_FILE_EXISTS;
}

uint32_t KstQueryFileAttr(const char *path, uint32_t *attrs) {
  if (!path || !attrs) return KST_ERR_INVALID_PARAMETER;
  char p[KST_MAX_PATH];
  uint32_t rc = KstToOsPath(path, p, sizeof p);
  if (rc) return rc;
  // lstat: a symbolic link is reported as itself (a reparse point), never as
  // whatever it points to.
  struct stat st;
  if (KstOsApiCurrent()->lstat(p, &st) != 0) return KstMapOsError(errno);
  uint32_t a = 0;
  if (S_ISLNK(st.st_mode)) {
    a |= 0x1000;
  } else {
    if (!(st.st_mode & S_IWUSR)) a |= 1;
    if (S_ISDIR(st.st_mode)) a |= 16;
    if (S_ISREG(st.st_mode)) a |= 32;
  }
  // Hidden: the last name component (trailing "/" ignored) starts with ".",
  // except the "." and ".." entries themselves.
  size_t end = strlen(p);
  while (end > 1 && p[end - 1] == '/') --end;
  size_t start = end;
  while (start > 0 && p[start - 1] != '/') --start;
  size_t n = end - start;
  bool dots = (n == 1 && p[start] == '.') || (n == 2 && p[start] == '.' && p[start + 1] == '.');
  if (n > 0 && p[start] == '.' && !dots) a |= 2;
  *attrs = a;
  return KST_OK;
}

uint32_t KstCreateDir(const char *path) {
  if (!path) return KST_ERR_INVALID_PARAMETER;
  char p[KST_MAX_PATH];
  uint32_t rc = KstToOsPath(path, p, sizeof p);
  if (rc) return rc;
  if (!*p) return KST_ERR_INVALID_PARAMETER;
  return MakeDir(p);
}

uint32_t KstCreateDirTree(const char *path) {
  if (!path) return KST_ERR_INVALID_PARAMETER;
  char p[KST_MAX_PATH];
  uint32_t rc = KstToOsPath(path, p, sizeof p);
  if (rc) return rc;
  if (!*p) return KST_ERR_INVALID_PARAMETER;
  return MakeTree(p);
}

uint32_t KstEnsureBackslash(char *path) {
  if (!path) return KST_ERR_INVALID_PARAMETER;
  size_t len = strlen(path);
  if (len > 0 && (path[len - 1] == '/' || path[len - 1] == '\\')) return KST_OK;
  path[len] = '/';
  path[len + 1] = '\0';
  return KST_OK;
}
