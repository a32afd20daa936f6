// The text form of resources that "krpctl dump" writes and "krpctl load"
// reads: one writer and one reader, so that whatever the writer produces
// the reader turns back into the same records, byte for byte.
//
//   file     := version-line { line }
//   version  := "krpdump 1"                      (first line, exactly)
//   line     := blank | "#" comment | record
//   record   := name SP type SP attributes SP stamp SP value
//   name     := bare | quoted                     bare: bytes 0x21..0x7e,
//                                                 no '"' and no '\'
//   type     := "text" | "image" | "integer" | "boolean" | "list" |
//               "bytearray" | "any" | "container" | "trigger" | "utc" |
//               "type:" decimal                   (a code without a word)
//   attributes := "0x" 8 hex digits               (every attribute bit)
//   stamp    := YYYY-MM-DDTHH:MM:SSZ              (UTC, seconds)
//   value    := quoted                            the bytes before the
//                                                 terminating zero byte
//             | "[" [ quoted { ", " quoted } ] "]" the items of a list
//             | "b64:" base64                     the exact bytes
//   quoted   := '"' { char | escape } '"'
//   escape   := \\  \"  \n  \r  \t  \xHH          (any other byte below
//                                                 0x20, 0x7f and every byte
//                                                 from 0x80 is written \xHH)
//
// The writer chooses the value form from the type and the bytes: a quoted
// text when the value ends in its single terminating zero byte and holds no
// other, a list in brackets when the bytes are exactly what the list writer
// produces for those items, base64 otherwise and always for "image" and
// "bytearray". So every value round-trips exactly; only the form differs.
// Records are written sorted by name (byte order). A record is one line:
// newlines inside values are always escaped.
#ifndef KRP_TOOLS_KRPCTL_DUMP_TEXT_H
#define KRP_TOOLS_KRPCTL_DUMP_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

namespace krpctl {

struct DumpRecord {
  std::string name;
  uint32_t type = 0;
  uint32_t attributes = 0;
  uint32_t timestamp = 0;  // seconds since 1970 (UTC)
  std::string value;       // the value's bytes as the library returns them

  bool operator==(const DumpRecord &) const = default;
};

// The version line without its newline.
extern const char kDumpVersionLine[];

// The whole text: the version line, then the records sorted by name.
std::string WriteDump(std::vector<DumpRecord> records);

// Parses a whole text. False with `error` set to "line N: what is wrong"
// (N counts from 1) at the first fault; `records` then holds what was read
// before it.
bool ReadDump(const std::string &text, std::vector<DumpRecord> *records, std::string *error);

}  // namespace krpctl

#endif  // KRP_TOOLS_KRPCTL_DUMP_TEXT_H
