// Splitting a store file's path: the engine takes a store as a folder and a
// file name, while fragments arrive as one path.
#include <cstring>

#include "platform.h"
#include "resource.h"

KrpPathSplit KrpSplitStorePath(const char *path, char *folder, char *file) {
  const size_t len = strnlen(path, KST_MAX_PATH);
  if (len >= KST_MAX_PATH) return KrpPathSplit::kTooLong;
  const char *slash = strrchr(path, '/');
  const char *back = strrchr(path, '\\');
  if (back && (!slash || back > slash)) slash = back;
  if (!slash) return KrpPathSplit::kNoSeparator;
  const size_t folder_len = static_cast<size_t>(slash - path) + 1;
  if (folder_len == len) return KrpPathSplit::kNoFileName;
  memcpy(folder, path, folder_len);
  folder[folder_len] = '\0';
  memcpy(file, slash + 1, len - folder_len + 1);
  return KrpPathSplit::kOk;
}
