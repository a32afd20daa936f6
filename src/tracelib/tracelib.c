/* libtracelib.so: the logging library krplib forwards its lines to.
 *
 * Each line is formatted, followed by "\n", and appended in one write() to
 * the file named by TRACELIB_FILE (opened O_APPEND, so lines of several
 * processes never interleave inside a line), or to standard error when the
 * variable is not set. Only vlogprintfA is called by krplib; the other entry
 * points exist because krplib resolves them by name.
 *
 * A log file this library creates is 0600 whatever the umask (log lines name
 * resources and values); an existing file keeps the mode its owner gave it. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define CREATED_MODE 0600

/* Opens the log file for appending. Only a file made by this open gets its
 * mode set (fchmod after an O_EXCL create); when another writer makes it
 * between the two opens, it is opened as it is. */
static int open_for_append(const char *file) {
  const int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = open(file, flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = open(file, flags | O_CREAT | O_EXCL, CREATED_MODE);
    if (fd >= 0) {
      fchmod(fd, CREATED_MODE);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

static void put_line(const char *text, size_t len) {
  const char *file = getenv("TRACELIB_FILE");
  int fd = 2;
  if (file && *file) {
    fd = open_for_append(file);
    if (fd < 0) return;
  }
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, text + done, len - done);
    if (n <= 0) break;
    done += (size_t)n;
  }
  if (fd != 2) close(fd);
}

int vlogprintfA(const char *format, va_list ap) {
  char small[1024];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small - 1, format, copy);
  va_end(copy);
  if (n < 0) return -1;
  if ((size_t)n < sizeof small - 1) {
    small[n] = '\n';
    put_line(small, (size_t)n + 1);
    return n;
  }
  char *big = malloc((size_t)n + 2);
  if (!big) return -1;
  vsnprintf(big, (size_t)n + 1, format, ap);
  big[n] = '\n';
  put_line(big, (size_t)n + 1);
  free(big);
  return n;
}

int vlogprintfW(const void *format, va_list ap) {
  (void)format;
  (void)ap;
  return -1;
}
int logbegin(void) { return 0; }
int logend(void) { return 0; }
int logsaveA(const char *name) {
  (void)name;
  return 0;
}
int logsaveW(const void *name) {
  (void)name;
  return 0;
}
