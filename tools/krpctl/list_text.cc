// Serialised lists as krpctl reads and writes them: through the shared
// reader and writer of the list format, so that krpctl accepts and produces
// exactly the bytes the library does. An item of length 0 in the middle of a
// list is an empty item, not the end: only a terminator with nothing (or one
// zero byte) after it, or the end of the buffer, ends a list.
#include <cstdint>
#include <string>
#include <vector>

#include "commands.h"
#include "krplib.h"
#include "list_format.h"

namespace krpctl {

bool DecodeList(const void *buf, uint32_t size, std::vector<std::string> *items) {
  items->clear();
  KrpListReader r;
  KrpListReaderInit(&r, buf, size);
  KrpListItemRef item{};
  uint32_t rc;
  while ((rc = KrpListReaderNext(&r, &item)) == 0)
    items->emplace_back(reinterpret_cast<const char *>(item.data), item.len);
  return rc == KRP_ERR_END_OF_FILE;
}

std::string EncodeList(const std::vector<std::string> &items) {
  uint64_t size = KRP_LIST_TERMINATOR_SIZE;
  for (const std::string &s : items) size += KrpListItemSize(static_cast<uint32_t>(s.size()));
  std::string out(size, '\0');
  uint8_t *p = reinterpret_cast<uint8_t *>(out.data());
  for (const std::string &s : items) p = KrpListWriteItem(p, s.data(), static_cast<uint32_t>(s.size()));
  KrpListWriteTerminator(p);
  return out;
}

}  // namespace krpctl
