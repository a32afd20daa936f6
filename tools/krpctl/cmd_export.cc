// "krpctl export": the blob of a container (a fragment store file that also
// records its prefix) cut out through the running host and written to a file.
// The file is created new with mode 0600 (the blob holds resource data);
// --force replaces an existing file instead, but never writes through a
// symbolic link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "krplib.h"

namespace krpctl {
namespace {

constexpr mode_t kExportMode = 0600;

// Writes all bytes; false with errno set on failure.
bool WriteAll(int fd, const uint8_t *p, uint32_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<uint32_t>(w);
  }
  return true;
}

// Creates (or with `force` empties) the target; -1 after a message.
int OpenTarget(const std::string &file, bool force) {
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (force ? O_TRUNC : O_EXCL);
  const int fd = open(file.c_str(), flags, kExportMode);
  if (fd < 0) {
    if (errno == EEXIST)
      std::fprintf(stderr, "krpctl: %s exists (--force replaces it)\n", file.c_str());
    else
      std::fprintf(stderr, "krpctl: cannot create %s: %s\n", file.c_str(), std::strerror(errno));
    return -1;
  }
  // Whatever the umask, or the mode an older file had.
  if (fchmod(fd, kExportMode) != 0) {
    std::fprintf(stderr, "krpctl: cannot set the mode of %s: %s\n", file.c_str(),
                 std::strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

int Export(const std::string &name, const std::string &file, bool force) {
  uint32_t size = 0;
  void *buf = nullptr;
  const uint32_t rc = dll_KrpGetBlob(name.c_str(), &size, &buf);
  if (rc) return Fail("export", name, rc);
  const int fd = OpenTarget(file, force);
  bool ok = fd >= 0;
  if (ok && !WriteAll(fd, static_cast<const uint8_t *>(buf), size)) {
    std::fprintf(stderr, "krpctl: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    ok = false;
  }
  if (fd >= 0 && close(fd) != 0 && ok) {
    std::fprintf(stderr, "krpctl: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
    ok = false;
  }
  // A file this call created and could not fill is not left half-written.
  if (!ok && fd >= 0 && !force) unlink(file.c_str());
  dll_KrpFreeMem(buf);
  if (!ok) return kExitBad;
  std::printf("wrote %u bytes (blob of %s) to %s\n", size, name.c_str(), file.c_str());
  return kExitOk;
}

}  // namespace

void AddExportCommands(CLI::App &app, Action *action) {
  static std::string name, file;
  static bool force = false;
  CLI::App *exp = app.add_subcommand(
      "export", "Write the blob of a container (a store file of its resources, under their "
                "names without the container, with its name recorded) to FILE; needs a host");
  exp->add_option("NAME", name, "Container")->required();
  exp->add_option("FILE", file, "File to create (mode 0600)")->required();
  exp->add_flag("--force", force, "Replace FILE when it exists (never through a link)");
  exp->callback([action] { *action = [] { return Export(name, file, force); }; });
}

}  // namespace krpctl
