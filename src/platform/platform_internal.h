// Helpers shared by the platform layer's own files; not for the layers above.
#ifndef KRP_PLATFORM_PLATFORM_INTERNAL_H
#define KRP_PLATFORM_PLATFORM_INTERNAL_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Copies a caller's path into out[out_size] with every "\" turned into "/".
// 87 for null arguments, 206 when it does not fit.
uint32_t KstToOsPath(const char *in, char *out, size_t out_size);

// The one rule for the mode of a file the library creates (named objects,
// store files, temporary files): read and write for every class that may
// enter the folder holding it (0700 gives 0600, 2770 gives 0660, 0755 gives
// 0666). A folder that every user may write vouches for nobody, so its files
// are 0600 (the object folder refuses such a folder before it gets here; a
// temporary folder like /tmp does not).
mode_t KstFileModeForFolder(mode_t folder_mode);

// Gives the file open as `fd`, just created or emptied at `os_path`, the mode
// KstFileModeForFolder assigns to the folder that holds `os_path` (its last
// "/" decides), with fchmod, so the umask does not matter. A file owned by
// another user (a member of a shared folder's group made it under the same
// rule) is left as it is. 0, or the mapped error of stat or fchmod.
uint32_t KstSetModeForFolder(int fd, const char *os_path);

// The mode of every folder the library creates: private to its user, set
// whatever the umask.
constexpr mode_t KST_FOLDER_MODE = 0700;

#endif  // KRP_PLATFORM_PLATFORM_INTERNAL_H
