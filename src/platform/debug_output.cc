// KstOutputDebugString: where the request trace's debugger lines go.
//
// The file named by KST_DEBUG_OUTPUT is opened for each line and closed
// again: the variable may change while the process runs (tests point it at
// their private folders), and a trace line is rare enough that one open per
// line costs nothing that matters. The line and its "\n" are put into one
// buffer and handed to a single write() on an O_APPEND descriptor; the
// kernel appends that write whole, so concurrent writers never split each
// other's lines.
//
// A file this channel creates is 0600 whatever the umask (trace lines name
// resources and processes); an existing file keeps the mode its owner gave it.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "os_api.h"
#include "platform.h"

namespace {

constexpr mode_t kCreatedMode = 0600;

// Opens `file` for appending. Only a file made by this open gets its mode
// set (fchmod after an O_EXCL create); when another writer makes it between
// the two opens, it is opened as it is.
int OpenForAppend(const char *file) {
  const KstOsApi *os = KstOsApiCurrent();
  const int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = os->open(file, flags, 0);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = os->open(file, flags | O_CREAT | O_EXCL, kCreatedMode);
    if (fd >= 0) {
      os->fchmod(fd, kCreatedMode);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

void AppendLine(const char *file, const char *line) {
  const KstOsApi *os = KstOsApiCurrent();
  const size_t len = strlen(line);
  char small[512];
  char *buf = small;
  if (len + 1 > sizeof small) {
    void *mem = nullptr;
    if (len + 1 > UINT32_MAX || KstAllocMem(uint32_t(len + 1), 0, &mem, nullptr)) return;
    buf = static_cast<char *>(mem);
  }
  memcpy(buf, line, len);
  buf[len] = '\n';
  int fd = OpenForAppend(file);
  if (fd >= 0) {
    // One write carries the whole line; a short write (a full disk) leaves
    // the rest unwritten rather than appending it later as a separate piece
    // that another writer's line could split.
    (void)os->write(fd, buf, len + 1);
    os->close(fd);
  }
  if (buf != small) KstFreeMem(buf, 0);
}

}  // namespace

void KstOutputDebugString(const char *line) {
  if (!line) return;
  const int saved = errno;
  const char *file = getenv("KST_DEBUG_OUTPUT");
  if (file && *file) {
    AppendLine(file, line);
  } else {
    syslog(LOG_DEBUG, "%s", line);
  }
  errno = saved;
}
