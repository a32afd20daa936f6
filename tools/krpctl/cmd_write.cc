// "krpctl set | rm | mget | access set": resources written, deleted and read
// many at a time through the library, as any process of the product would.
// Writes go through the host when one admits this process, otherwise
// straight into the store file; deleting, a write with a given time stamp
// and the multiple read need a host and report its absence with the code.
//
// Values on the command line:
//   text, trigger    the word itself
//   integer          a signed 32-bit decimal number
//   boolean          true/false, yes/no, on/off, 1/0
//   utc              seconds since 1970 (decimal), or a UTC date
//                    YYYY-MM-DD[(T| )HH:MM[:SS]][Z]
//   list             one item a line from standard input (an empty line is an
//                    empty item; a CR before the LF is dropped)
//   image, bytearray the bytes of the file VALUE, or of standard input when
//                    VALUE is "-" or absent
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "krplib.h"

namespace krpctl {

namespace {

constexpr uint32_t kRecordWords = 6;  // multi-get attribute record: six LE words
constexpr uint32_t kRecordSize = kRecordWords * 4;
constexpr uint32_t kMaxAttributes = 0xFFFFFF;
constexpr const char *kStdinName = "-";

int Fail(const std::string &what, uint32_t rc) {
  std::fprintf(stderr, "krpctl: %s: %s\n", what.c_str(), CodeText(rc).c_str());
  return kExitBad;
}

int Usage(const std::string &text) {
  std::fprintf(stderr, "krpctl: %s\n", text.c_str());
  return kExitUsage;
}

// A whole number in [lo, hi] in the given base.
bool ParseNumber(const std::string &text, int base, long long lo, long long hi, long long *out) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, base);
  if (errno || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseBoolean(const std::string &text, uint32_t *out) {
  struct Word {
    const char *word;
    uint32_t value;
  };
  static constexpr Word kWords[] = {{"true", 1}, {"yes", 1}, {"on", 1},  {"1", 1},
                                    {"false", 0}, {"no", 0}, {"off", 0}, {"0", 0}};
  for (const Word &w : kWords)
    if (text == w.word) {
      *out = w.value;
      return true;
    }
  return false;
}

// Seconds since 1970, or YYYY-MM-DD[(T| )HH:MM[:SS]][Z] read as UTC.
bool ParseUtc(const std::string &text, uint32_t *out) {
  long long v = 0;
  if (ParseNumber(text, 10, 0, UINT32_MAX, &v)) {
    *out = static_cast<uint32_t>(v);
    return true;
  }
  std::tm tm{};
  int used = 0;
  const char *s = text.c_str();
  if (std::sscanf(s, "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &used) != 3)
    return false;
  s += used;
  if (*s == 'T' || *s == ' ') {
    used = 0;
    if (std::sscanf(s + 1, "%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &used) != 2) return false;
    s += 1 + used;
    if (*s == ':') {
      used = 0;
      if (std::sscanf(s + 1, "%2d%n", &tm.tm_sec, &used) != 1) return false;
      s += 1 + used;
    }
  }
  if (*s == 'Z') ++s;
  if (*s || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 ||
      tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
    return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  time_t t = timegm(&tm);
  if (t < 0 || t > static_cast<time_t>(UINT32_MAX)) return false;
  *out = static_cast<uint32_t>(t);
  return true;
}

std::string ReadStream(std::FILE *f, bool *ok) {
  std::string data;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  *ok = !std::ferror(f);
  return data;
}

bool ReadBytes(const std::string &source, std::string *data) {
  bool ok = false;
  if (source.empty() || source == kStdinName) {
    *data = ReadStream(stdin, &ok);
    return ok;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> f(std::fopen(source.c_str(), "rb"), std::fclose);
  if (!f) return false;
  *data = ReadStream(f.get(), &ok);
  return ok;
}

// One item a line; a final line without LF is an item too.
std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> items;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string::npos ? text.size() : nl;
    size_t len = end - pos;
    if (len && text[end - 1] == '\r') --len;
    items.push_back(text.substr(pos, len));
    pos = nl == std::string::npos ? text.size() : nl + 1;
  }
  return items;
}

struct SetArgs {
  std::string name, type_word, value, attr_text, access, stamp_text;
};

// The value of a set as the bytes a write stores (typed values as their
// text without terminator, as the typed writers store them).
struct Value {
  uint32_t type = 0;
  std::string bytes;
  int32_t integer = 0;  // INTEGER
  uint32_t number = 0;  // UTC, BOOLEAN
};

int ParseValue(const SetArgs &a, Value *v) {
  if (!TypeCodeOf(a.type_word, &v->type) || v->type == KRT_ANY || v->type == KRT_CONTAINER)
    return Usage("set: TYPE is one of text, integer, boolean, utc, list, image, bytearray, "
                 "trigger; not '" + a.type_word + "'");
  long long n = 0;
  switch (v->type) {
    case KRT_INTEGER:
      if (!ParseNumber(a.value, 10, INT32_MIN, INT32_MAX, &n))
        return Usage("set: '" + a.value + "' is not a 32-bit integer");
      v->integer = static_cast<int32_t>(n);
      v->bytes = std::to_string(v->integer);
      break;
    case KRT_UTC:
      if (!ParseUtc(a.value, &v->number))
        return Usage("set: '" + a.value + "' is neither seconds since 1970 nor YYYY-MM-DD[THH:MM[:SS]]");
      v->bytes = std::to_string(v->number);
      break;
    case KRT_BOOLEAN:
      if (!ParseBoolean(a.value, &v->number))
        return Usage("set: '" + a.value + "' is not true/false, yes/no, on/off or 1/0");
      v->bytes = v->number ? "true" : "false";
      break;
    case KRT_LIST: {
      if (!a.value.empty() && a.value != kStdinName)
        return Usage("set: a list is read from standard input, one item a line");
      bool ok = false;
      std::string text = ReadStream(stdin, &ok);
      if (!ok) return Usage("set: cannot read the list from standard input");
      v->bytes = EncodeList(SplitLines(text));
      break;
    }
    case KRT_IMAGE:
    case KRT_BYTEARRAY:
      if (!ReadBytes(a.value, &v->bytes)) {
        std::fprintf(stderr, "krpctl: set: cannot read '%s': %s\n", a.value.c_str(),
                     std::strerror(errno));
        return kExitBad;
      }
      break;
    default:  // text, trigger
      v->bytes = a.value;
  }
  if (v->bytes.size() > UINT32_MAX) return Usage("set: the value is too large");
  return kExitOk;
}

// Through the typed writer of the value's type, so the tool stores exactly
// what a program calling it would.
uint32_t WriteTyped(const SetArgs &a, const Value &v, const KrpAttributes *attrs) {
  const char *acc = a.access.empty() ? nullptr : a.access.c_str();
  const char *name = a.name.c_str();
  uint32_t size = static_cast<uint32_t>(v.bytes.size());
  switch (v.type) {
    case KRT_TEXT:
      return dll_KrpSetString(name, size, v.bytes.data(), attrs, acc);
    case KRT_IMAGE:
      return dll_KrpSetImage(name, size, v.bytes.data(), attrs, acc);
    case KRT_LIST:
      return dll_KrpSetList(name, size, v.bytes.data(), attrs, acc);
    case KRT_INTEGER:
      return dll_KrpSetInteger(name, v.integer, attrs, acc);
    case KRT_UTC:
      return dll_KrpSetUTC(name, v.number, attrs, acc);
    case KRT_BOOLEAN:
      return dll_KrpSetBoolean(name, v.number, attrs, acc);
    default:
      return dll_KrpSetResource(v.type, name, size, v.bytes.data(), attrs, acc);
  }
}

int Set(const SetArgs &a) {
  KrpAttributes attrs{0, 0};
  long long n = 0;
  if (!a.attr_text.empty()) {
    // Hex with 0x, else decimal (a leading zero does not mean octal).
    const bool hex = a.attr_text.rfind("0x", 0) == 0 || a.attr_text.rfind("0X", 0) == 0;
    if (!ParseNumber(hex ? a.attr_text.substr(2) : a.attr_text, hex ? 16 : 10, 0, kMaxAttributes,
                     &n))
      return Usage("set: --attr takes a number from 0 to 0xffffff, not '" + a.attr_text + "'");
    attrs.attributes = static_cast<uint32_t>(n);
  }
  const bool stamped = !a.stamp_text.empty();
  if (stamped) {
    if (!ParseUtc(a.stamp_text, &attrs.timestamp))
      return Usage("set: --stamp takes seconds since 1970 or a date, not '" + a.stamp_text + "'");
  }
  Value v;
  int st = ParseValue(a, &v);
  if (st != kExitOk) return st;
  const KrpAttributes *ap = (stamped || !a.attr_text.empty()) ? &attrs : nullptr;
  uint32_t rc = stamped ? dll_KrpSetResourceWithTimestamp(
                              v.type, a.name.c_str(), static_cast<uint32_t>(v.bytes.size()),
                              v.bytes.data(), ap, a.access.empty() ? nullptr : a.access.c_str())
                        : WriteTyped(a, v, ap);
  return rc ? Fail("set " + a.name, rc) : kExitOk;
}

int Remove(const std::string &name, const std::string &type_word) {
  uint32_t type = KRT_ANY;
  if (!type_word.empty()) {
    if (!TypeCodeOf(type_word, &type) || type == KRT_ANY)
      return Usage("rm: unknown type '" + type_word + "'");
  } else {
    // Deleting wants the stored type: ask for it (a container gives 10).
    uint32_t size = 0;
    uint32_t rc = dll_KrpGetResourceForLocale(KRT_ANY, name.c_str(), &size, nullptr, nullptr,
                                              &type, "zz", nullptr, nullptr);
    if (rc) return Fail("rm " + name, rc);
  }
  uint32_t rc = dll_KrpDeleteResource(type, name.c_str());
  return rc ? Fail("rm " + name, rc) : kExitOk;
}

uint32_t Le32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// A value on one line: text-like values up to their first zero byte, lists
// as their items joined by ", ", bytes in hex.
std::string ValueText(uint32_t type, const uint8_t *p, uint32_t n) {
  std::string out;
  std::vector<std::string> items;
  if ((type == KRT_LIST || type == KRT_CONTAINER) && DecodeList(p, n, &items)) {
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  } else if (type == KRT_IMAGE || type == KRT_BYTEARRAY || type == KRT_LIST) {
    char hex[3];
    for (uint32_t i = 0; i < n; ++i) {
      std::snprintf(hex, sizeof hex, "%02x", p[i]);
      out += hex;
    }
  } else {
    out.assign(reinterpret_cast<const char *>(p), strnlen(reinterpret_cast<const char *>(p), n));
  }
  return out;
}

// One line per item of the attribute form's reply: name, then the value
// (with --attr: type, time stamp and attributes before it).
void PrintRecord(const std::string &name, const std::string &item, bool attr) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(item.data());
  if (item.size() < kRecordSize) {
    std::printf("%s\t(malformed reply item)\n", name.c_str());
    return;
  }
  uint32_t result = Le32(p + 4), size = Le32(p + 8);
  if (result != 0 && Le32(p) == 0) {
    std::printf("%s\t(not found)\n", name.c_str());
    return;
  }
  if (result != 0 || size > item.size() - kRecordSize) size = 0;  // found, empty
  uint32_t type = Le32(p + 20);
  std::string value = ValueText(type, p + kRecordSize, size);
  if (attr)
    std::printf("%s\t%s\t%u\t0x%08x\t%s\n", name.c_str(), result ? "empty" : TypeWordOf(type),
                Le32(p + 12), Le32(p + 16), value.c_str());
  else
    std::printf("%s\t%s\n", name.c_str(), value.c_str());
}

int MultiGet(const std::vector<std::string> &names, bool attr) {
  std::string list = EncodeList(names);
  uint32_t size = static_cast<uint32_t>(list.size());
  void *out = nullptr;
  // The attribute form tells a missing name from an empty value; the value
  // form gives one zero byte for both.
  uint32_t rc = dll_KrpGetMultipleResourcesWithAttributes(
      list.data(), static_cast<uint32_t>(names.size()), &size, &out);
  std::unique_ptr<void, uint32_t (*)(void *)> hold(out, dll_KrpFreeMem);
  if (rc) return Fail("mget", rc);
  std::vector<std::string> items;
  if (!DecodeList(out, size, &items) || items.size() < names.size()) {
    std::fprintf(stderr, "krpctl: mget: the reply is not a list of %zu items\n", names.size());
    return kExitBad;
  }
  for (size_t i = 0; i < names.size(); ++i) PrintRecord(names[i], items[i], attr);
  return kExitOk;
}

int SetAccess(const std::string &container, const std::string &text) {
  uint32_t rc = dll_KrpSetAccess(container.c_str(), text.c_str(), nullptr);
  return rc ? Fail("access set " + container, rc) : kExitOk;
}

}  // namespace

void AddWriteCommands(CLI::App &app, Action *action) {
  // The options live as long as the program (the actions run after parsing).
  static SetArgs sa;
  auto *set = app.add_subcommand("set", "write a resource");
  set->add_option("NAME", sa.name, "resource name")->required();
  set->add_option("TYPE", sa.type_word,
                  "text, integer, boolean, utc, list, image, bytearray, trigger")
      ->required();
  set->add_option("VALUE", sa.value,
                  "the value; list: none (lines of stdin); image, bytearray: a file or - (stdin)");
  set->add_option("--attr", sa.attr_text, "attribute bits, hex (0x...) or decimal");
  set->add_option("--access", sa.access, "also write the container's access text (e.g. rw)");
  set->add_option("--stamp", sa.stamp_text,
                  "store this time stamp (seconds or YYYY-MM-DD[THH:MM[:SS]]); needs a host");
  set->callback([action] { *action = [] { return Set(sa); }; });

  static std::string rm_name, rm_type;
  auto *rm = app.add_subcommand("rm", "delete a resource, or everything below a container");
  rm->add_option("NAME", rm_name, "resource or container name")->required();
  rm->add_option("--type", rm_type, "the stored type (container: everything below); default: "
                                    "the type the name has");
  rm->callback([action] { *action = [] { return Remove(rm_name, rm_type); }; });

  static std::vector<std::string> mnames;
  static bool mattr = false;
  auto *mget = app.add_subcommand("mget", "read many resources in few requests (needs a host)");
  mget->add_option("NAME", mnames, "resource names")->required();
  mget->add_flag("--attr", mattr, "also print type, time stamp and attributes");
  mget->callback([action] { *action = [] { return MultiGet(mnames, mattr); }; });

  static std::string acontainer, atext;
  CLI::App *access = app.get_subcommand("access");
  auto *aset = access->add_subcommand("set", "write a container's access text");
  aset->add_option("CONTAINER", acontainer, "container name")->required();
  aset->add_option("ACCESS", atext, "one or two characters, e.g. rw")->required();
  aset->callback([action] { *action = [] { return SetAccess(acontainer, atext); }; });
}

}  // namespace krpctl
