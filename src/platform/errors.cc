// errno -> platform result code. One table; every row is tested.
#include <cerrno>

#include "platform.h"

namespace {

struct ErrRow {
  int err;
  uint32_t code;
};

// The codes mirror the Win32 numbers the upper layers were written against.
// EEXIST is 80 here (a file); the named-object code maps it to 186 itself.
constexpr ErrRow kErrTable[] = {
    {0, KST_OK},
    {ENOENT, KST_ERR_FILE_NOT_FOUND},
    {ENOTDIR, KST_ERR_PATH_NOT_FOUND},
    {EMFILE, KST_ERR_TOO_MANY_OPEN_FILES},
    {ENFILE, KST_ERR_TOO_MANY_OPEN_FILES},
    {EACCES, KST_ERR_ACCESS_DENIED},
    {EPERM, KST_ERR_ACCESS_DENIED},
    {EISDIR, KST_ERR_ACCESS_DENIED},  // a folder opened as a file
    {EBADF, KST_ERR_INVALID_HANDLE},
    {EEXIST, KST_ERR_FILE_EXISTS},
    {ENOSPC, KST_ERR_DISK_FULL},
    {EDQUOT, KST_ERR_DISK_FULL},
    {EROFS, KST_ERR_WRITE_PROTECT},
    {ENAMETOOLONG, KST_ERR_FILENAME_TOO_LONG},
    {ETIMEDOUT, KST_ERR_TIMEOUT},
    {EWOULDBLOCK, KST_ERR_SHARING_VIOLATION},
    {EINVAL, KST_ERR_INVALID_PARAMETER},
    {ENOMEM, KST_HEAP_FULL},
};

}  // namespace

uint32_t KstMapOsError(int err) {
  for (const ErrRow &row : kErrTable) {
    if (row.err == err) return row.code;
  }
  return KST_ERR_GENERAL;
}
