// KstOutputDebugString: where the request trace's debugger lines go.
//
// The file named by KST_DEBUG_OUTPUT is opened for each line and closed
// again: the variable may change while the process runs (tests point it at
// their private folders), and a trace line is rare enough that one open per
// line costs nothing that matters. The line and its "\n" are put into one
// buffer and handed to a single write() on an O_APPEND descriptor; the
// kernel appends that write whole, so concurrent writers never split each
// other's lines.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "os_api.h"
#include "platform.h"

namespace {

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
  int fd = os->open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
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
