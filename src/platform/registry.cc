// The machine registry and the cached product root.
//
// Design note
// -----------
// The registry is a folder tree: the local-machine hive is the folder named
// by KST_REGISTRY (default /etc/kestarcorp/registry), a key is a folder under
// it and a value is a regular file whose bytes are the value:
//
//   $KST_REGISTRY/SOFTWARE/Kestarcorp/RootPath     -> "/opt/kestarcorp\n"
//   <hive>       /SOFTWARE/<subkey>  /<value name>
//
// Invariants:
// 1. A missing hive, key or value gives 2, and so does a "value" that is a
//    folder (a key has no bytes) or a key path that runs through a file.
// 2. The caller's buffer is cleared before the read, so a value shorter than
//    the buffer always comes back terminated.
// 3. The root cache is empty until a read succeeded; a failed read leaves it
//    empty, so a later call (after the installer recorded the root) tries
//    again. Once filled, the registry is not asked again in this process
//    (KstTestResetRootCache empties it for tests).
// 4. The cached root is a usable path: "\" turned into "/", the trailing line
//    end and NULs of a hand-written value file dropped, never empty and
//    shorter than KST_MAX_PATH.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "os_api.h"
#include "platform.h"
#include "platform_internal.h"
#include "test_hooks.h"

namespace {

constexpr const char kDefaultHive[] = "/etc/kestarcorp/registry";
constexpr size_t kOsPathMax = 4096;

// A lookup that runs into something other than a folder or a regular file
// means "no such key or value" in registry terms.
uint32_t RegistryMiss(int err) {
  if (err == ENOENT || err == ENOTDIR || err == EISDIR) return KST_ERR_FILE_NOT_FOUND;
  return KstMapOsError(err);
}

// The protected root cache (invariant 3). A mutex rather than the racy fill
// of old: two threads filling it at once would otherwise be a data race.
std::mutex g_root_mu;
char g_root[KST_MAX_PATH];  // "" while empty

}  // namespace

uint32_t KstQueryRegistryValue(const char *subkey, const char *value, void *buf, uint32_t size) {
  if (!subkey || !value || !buf) return KST_ERR_INVALID_PARAMETER;
  memset(buf, 0, size);

  const char *hive = getenv("KST_REGISTRY");
  if (!hive || !*hive) hive = kDefaultHive;
  char raw[kOsPathMax];
  int n = snprintf(raw, sizeof raw, "%s/SOFTWARE/%s/%s", hive, subkey, value);
  if (n < 0 || static_cast<size_t>(n) >= sizeof raw) return KST_ERR_FILENAME_TOO_LONG;
  char path[kOsPathMax];
  uint32_t rc = KstToOsPath(raw, path, sizeof path);
  if (rc) return rc;

  const KstOsApi *os = KstOsApiCurrent();
  // O_NONBLOCK: a FIFO planted as a value must not hang the reader.
  int fd = os->open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) return RegistryMiss(errno);
  struct stat st;
  if (os->fstat(fd, &st) != 0) {
    rc = KstMapOsError(errno);
  } else if (!S_ISREG(st.st_mode)) {
    rc = KST_ERR_FILE_NOT_FOUND;
  } else if (static_cast<uint64_t>(st.st_size) > size) {
    rc = KST_ERR_BUFFER_TOO_SMALL;
  } else {
    // The file may change under us; read what is there, at most `size`.
    uint32_t done = 0;
    while (done < size) {
      ssize_t got = os->pread(fd, static_cast<char *>(buf) + done, size - done, done);
      if (got < 0) {
        if (errno == EINTR) continue;
        rc = KstMapOsError(errno);
        break;
      }
      if (got == 0) break;
      done += static_cast<uint32_t>(got);
    }
  }
  os->close(fd);
  return rc;
}

uint32_t KstQueryRootPath(char *out, char *out2) {
  std::lock_guard<std::mutex> lock(g_root_mu);
  if (g_root[0] == '\0') {
    // Read with room to spare: a value of KST_MAX_PATH - 1 characters plus
    // the line end that `echo` adds must still be accepted.
    char value[KST_MAX_PATH + 8];
    uint32_t rc = KstQueryRegistryValue("Kestarcorp", "RootPath", value, sizeof value - 1);
    if (rc == KST_ERR_BUFFER_TOO_SMALL) return KST_ERR_FILENAME_TOO_LONG;
    if (rc) return rc;
    value[sizeof value - 1] = '\0';
    // A string value ends at its first NUL; line ends after it are the
    // writer's, not part of the path.
    size_t len = strlen(value);
    while (len > 0 && (value[len - 1] == '\n' || value[len - 1] == '\r')) --len;
    value[len] = '\0';
    // An empty root would make every folder of the suite a folder directly
    // under "/": treat it as not recorded.
    if (len == 0) return KST_ERR_FILE_NOT_FOUND;
    if (len >= KST_MAX_PATH) return KST_ERR_FILENAME_TOO_LONG;
    rc = KstToOsPath(value, g_root, sizeof g_root);
    if (rc) {
      g_root[0] = '\0';
      return rc;
    }
  }
  size_t n = strlen(g_root) + 1;
  if (out) memcpy(out, g_root, n);
  if (out2) memcpy(out2, g_root, n);
  return KST_OK;
}

void KstTestResetRootCache() {
  std::lock_guard<std::mutex> lock(g_root_mu);
  g_root[0] = '\0';
}
