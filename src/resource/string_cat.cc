// dll_KrpResourceStringCat: joins resource name parts with exactly one dot.
//
// The destination is edited in place in three steps, and every byte written
// lies below `capacity`:
//   1. its trailing dots are cut to one ("a..." -> "a.", "..." -> "");
//      this only shortens it, so it always fits;
//   2. a joining dot is appended when it is not empty and does not end in a
//      dot, but only when the dot and a terminator fit (else 0x1005 before
//      anything is written for this step);
//   3. the part, without its leading dots, is appended when it and its
//      terminator fit (else 0x1005, the destination keeping the form of
//      steps 1 and 2). An empty part removes the joining dot again, so the
//      result is the destination without trailing dots; that always fits.
// Lengths are counted up to KRP_CAT_MAX characters: a longer part contributes
// its first KRP_CAT_MAX characters. A destination is read only inside its
// capacity: one with no terminator there is refused with 87.
#include <cstring>

#include "krplib.h"
#include "names.h"
#include "platform.h"

namespace {
constexpr size_t KRP_CAT_MAX = 9999;
}  // namespace

extern "C" KRP_API uint32_t dll_KrpResourceStringCat(char *dest, uint32_t capacity,
                                                     const char *part) {
  if (!dest || !part || capacity == 0) return KST_ERR_INVALID_PARAMETER;

  const size_t window = capacity < KRP_CAT_MAX ? capacity : KRP_CAT_MAX;
  size_t dlen = strnlen(dest, window);
  if (dlen == capacity) return KST_ERR_INVALID_PARAMETER;  // unterminated

  while (part[0] == '.') ++part;
  const size_t plen = strnlen(part, KRP_CAT_MAX);

  // 1. One trailing dot at most; a destination of dots only becomes empty.
  if (dlen > 0 && dest[dlen - 1] == '.') {
    while (dlen > 0 && dest[dlen - 1] == '.') --dlen;
    if (dlen > 0) ++dlen;  // keep one dot
    dest[dlen] = '\0';
  }

  if (plen == 0) {
    // Nothing to join: the destination without its joining dot.
    if (dlen > 0 && dest[dlen - 1] == '.') dest[--dlen] = '\0';
    return 0;
  }

  // 2. The joining dot, with room for it and its terminator.
  if (dlen > 0 && dest[dlen - 1] != '.') {
    if (static_cast<uint64_t>(dlen) + 2 > capacity) return KST_ERR_BUFFER_TOO_SMALL;
    dest[dlen++] = '.';
    dest[dlen] = '\0';
  }

  // 3. The part and its terminator.
  if (static_cast<uint64_t>(dlen) + plen + 1 > capacity) return KST_ERR_BUFFER_TOO_SMALL;
  std::memmove(dest + dlen, part, plen);
  dest[dlen + plen] = '\0';
  return 0;
}
