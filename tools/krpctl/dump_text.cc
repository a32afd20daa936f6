// The writer and the reader of the text dump (the grammar is in the header).
#include "dump_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "commands.h"
#include "krplib.h"

namespace krpctl {

const char kDumpVersionLine[] = "krpdump 1";

namespace {

constexpr char kB64Prefix[] = "b64:";
constexpr char kTypeCodePrefix[] = "type:";
constexpr char kB64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kStampLength = 20;  // "YYYY-MM-DDTHH:MM:SSZ"

// ---- writing ---------------------------------------------------------------

bool IsBareByte(unsigned char c) { return c > 0x20 && c < 0x7f && c != '"' && c != '\\'; }

void AppendQuoted(std::string *out, const char *p, size_t n) {
  out->push_back('"');
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    switch (c) {
      case '\\': *out += "\\\\"; break;
      case '"': *out += "\\\""; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          *out += hex;
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

void AppendName(std::string *out, const std::string &name) {
  const bool bare = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return IsBareByte(static_cast<unsigned char>(c));
  });
  if (bare)
    *out += name;
  else
    AppendQuoted(out, name.data(), name.size());
}

void AppendBase64(std::string *out, const std::string &v) {
  *out += kB64Prefix;
  size_t i = 0;
  for (; i + 3 <= v.size(); i += 3) {
    const uint32_t w = (uint8_t(v[i]) << 16) | (uint8_t(v[i + 1]) << 8) | uint8_t(v[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out->push_back(kB64Alphabet[(w >> s) & 63]);
  }
  const size_t rest = v.size() - i;
  if (rest == 0) return;
  uint32_t w = uint8_t(v[i]) << 16;
  if (rest == 2) w |= uint8_t(v[i + 1]) << 8;
  out->push_back(kB64Alphabet[(w >> 18) & 63]);
  out->push_back(kB64Alphabet[(w >> 12) & 63]);
  out->push_back(rest == 2 ? kB64Alphabet[(w >> 6) & 63] : '=');
  out->push_back('=');
}

void AppendType(std::string *out, uint32_t type) {
  const char *word = TypeWordOf(type);
  if (std::strcmp(word, "unknown") != 0) {
    *out += word;
    return;
  }
  *out += kTypeCodePrefix + std::to_string(type);
}

void AppendStamp(std::string *out, uint32_t t) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  *out += buf;
}

bool IsBinaryType(uint32_t type) { return type == KRT_IMAGE || type == KRT_BYTEARRAY; }
bool IsListType(uint32_t type) { return type == KRT_LIST || type == KRT_CONTAINER; }

// A list shows as items only when the items give back exactly these bytes.
bool AppendListIfExact(std::string *out, const std::string &v) {
  std::vector<std::string> items;
  if (!DecodeList(v.data(), static_cast<uint32_t>(v.size()), &items)) return false;
  if (EncodeList(items) != v) return false;
  *out += '[';
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) *out += ", ";
    AppendQuoted(out, items[i].data(), items[i].size());
  }
  *out += ']';
  return true;
}

// A text shows quoted when it ends in its one terminating zero byte.
bool AppendTextIfExact(std::string *out, const std::string &v) {
  if (v.empty() || v.back() != '\0') return false;
  if (v.find('\0') != v.size() - 1) return false;
  AppendQuoted(out, v.data(), v.size() - 1);
  return true;
}

void AppendValue(std::string *out, uint32_t type, const std::string &v) {
  if (IsBinaryType(type)) return AppendBase64(out, v);
  if (IsListType(type) && AppendListIfExact(out, v)) return;
  if (!IsListType(type) && AppendTextIfExact(out, v)) return;
  AppendBase64(out, v);
}

// ---- reading ---------------------------------------------------------------

struct Cursor {
  const std::string &line;
  size_t pos = 0;
  std::string error;

  bool AtEnd() const { return pos >= line.size(); }
  char Peek() const { return AtEnd() ? '\0' : line[pos]; }
  bool Fail(const std::string &what) {
    if (error.empty()) error = what;
    return false;
  }
  bool Expect(const char *text) {
    const size_t n = std::strlen(text);
    if (line.compare(pos, n, text) != 0) return Fail(std::string("expected '") + text + "'");
    pos += n;
    return true;
  }
  // A run of non-space bytes.
  std::string Word() {
    const size_t start = pos;
    while (!AtEnd() && line[pos] != ' ') ++pos;
    return line.substr(start, pos - start);
  }
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ReadEscape(Cursor *c, std::string *out) {
  const char e = c->Peek();
  ++c->pos;
  switch (e) {
    case '\\': out->push_back('\\'); return true;
    case '"': out->push_back('"'); return true;
    case 'n': out->push_back('\n'); return true;
    case 'r': out->push_back('\r'); return true;
    case 't': out->push_back('\t'); return true;
    case 'x': {
      const int hi = HexDigit(c->Peek());
      const int lo = hi < 0 ? -1 : HexDigit(c->pos + 1 < c->line.size() ? c->line[c->pos + 1] : 0);
      if (lo < 0) return c->Fail("\\x needs two hex digits");
      out->push_back(static_cast<char>(hi * 16 + lo));
      c->pos += 2;
      return true;
    }
    default:
      return c->Fail(e ? std::string("unknown escape \\") + e : "unfinished escape");
  }
}

bool ReadQuoted(Cursor *c, std::string *out) {
  out->clear();
  if (!c->Expect("\"")) return false;
  while (!c->AtEnd()) {
    const char ch = c->line[c->pos++];
    if (ch == '"') return true;
    if (ch != '\\') {
      out->push_back(ch);
      continue;
    }
    if (!ReadEscape(c, out)) return false;
  }
  return c->Fail("unterminated quoted text");
}

bool ReadName(Cursor *c, std::string *name) {
  if (c->Peek() == '"') {
    if (!ReadQuoted(c, name)) return false;
  } else {
    *name = c->Word();
    for (char ch : *name)
      if (!IsBareByte(static_cast<unsigned char>(ch)))
        return c->Fail("a name with '\"' or '\\' must be quoted");
  }
  return name->empty() ? c->Fail("empty name") : true;
}

bool ParseDecimal(const std::string &s, uint32_t *v) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t n = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    n = n * 10 + uint64_t(ch - '0');
  }
  if (n > UINT32_MAX) return false;
  *v = static_cast<uint32_t>(n);
  return true;
}

bool ReadType(Cursor *c, uint32_t *type) {
  const std::string w = c->Word();
  if (TypeCodeOf(w, type)) return true;
  const size_t n = std::strlen(kTypeCodePrefix);
  if (w.compare(0, n, kTypeCodePrefix) == 0 && ParseDecimal(w.substr(n), type)) return true;
  return c->Fail("unknown type '" + w + "'");
}

bool ReadAttributes(Cursor *c, uint32_t *attributes) {
  const std::string w = c->Word();
  constexpr size_t kHexDigits = 8;
  if (w.size() != 2 + kHexDigits || w.compare(0, 2, "0x") != 0)
    return c->Fail("attributes must be 0x and 8 hex digits, not '" + w + "'");
  uint32_t v = 0;
  for (size_t i = 2; i < w.size(); ++i) {
    const int d = HexDigit(w[i]);
    if (d < 0) return c->Fail("attributes must be 0x and 8 hex digits, not '" + w + "'");
    v = v * 16 + uint32_t(d);
  }
  *attributes = v;
  return true;
}

bool ReadStamp(Cursor *c, uint32_t *stamp) {
  const std::string w = c->Word();
  struct tm tm {};
  const char *end = w.size() == kStampLength ? strptime(w.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm)
                                             : nullptr;
  if (!end || *end) return c->Fail("time stamp must be YYYY-MM-DDTHH:MM:SSZ, not '" + w + "'");
  const int64_t t = timegm(&tm);
  if (t < 0 || t > int64_t(UINT32_MAX)) return c->Fail("time stamp out of range: '" + w + "'");
  *stamp = static_cast<uint32_t>(t);
  return true;
}

bool ReadBase64(Cursor *c, std::string *out) {
  const std::string w = c->Word();
  if (w.size() % 4 != 0) return c->Fail("base64 length is not a multiple of 4");
  out->clear();
  for (size_t i = 0; i < w.size(); i += 4) {
    uint32_t acc = 0;
    int pad = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char ch = w[i + k];
      const char *hit = ch ? std::strchr(kB64Alphabet, ch) : nullptr;
      const bool is_pad = ch == '=' && i + 4 == w.size() && k >= 2 && (k == 3 || w[i + 3] == '=');
      if (!hit && !is_pad) return c->Fail("bad base64 character");
      pad += is_pad;
      acc = acc << 6 | (hit ? uint32_t(hit - kB64Alphabet) : 0u);
    }
    out->push_back(static_cast<char>(acc >> 16));
    if (pad < 2) out->push_back(static_cast<char>(acc >> 8 & 0xff));
    if (pad < 1) out->push_back(static_cast<char>(acc & 0xff));
  }
  return true;
}

bool ReadList(Cursor *c, std::string *out) {
  std::vector<std::string> items;
  ++c->pos;  // '['
  if (c->Peek() != ']') {
    for (;;) {
      std::string item;
      if (!ReadQuoted(c, &item)) return false;
      items.push_back(item);
      if (c->Peek() == ']') break;
      if (!c->Expect(", ")) return false;
    }
  }
  ++c->pos;  // ']'
  *out = EncodeList(items);
  return true;
}

bool ReadValue(Cursor *c, uint32_t type, std::string *out) {
  const size_t n = std::strlen(kB64Prefix);
  if (c->line.compare(c->pos, n, kB64Prefix) == 0) {
    c->pos += n;
    return ReadBase64(c, out);
  }
  if (IsBinaryType(type)) return c->Fail("an image or bytearray value must be b64:");
  if (c->Peek() == '[') {
    if (!IsListType(type)) return c->Fail("a [list] value needs type list or container");
    return ReadList(c, out);
  }
  if (IsListType(type)) return c->Fail("a list value must be [...] or b64:");
  if (!ReadQuoted(c, out)) return false;
  if (out->find('\0') != std::string::npos)
    return c->Fail("a quoted text cannot hold \\x00; use b64:");
  out->push_back('\0');
  return true;
}

bool ReadRecord(Cursor *c, DumpRecord *r) {
  return ReadName(c, &r->name) && c->Expect(" ") && ReadType(c, &r->type) && c->Expect(" ") &&
         ReadAttributes(c, &r->attributes) && c->Expect(" ") && ReadStamp(c, &r->timestamp) &&
         c->Expect(" ") && ReadValue(c, r->type, &r->value) &&
         (c->AtEnd() || c->Fail("unexpected text after the value"));
}

}  // namespace

std::string WriteDump(std::vector<DumpRecord> records) {
  std::sort(records.begin(), records.end(),
            [](const DumpRecord &a, const DumpRecord &b) { return a.name < b.name; });
  std::string out = std::string(kDumpVersionLine) + "\n";
  for (const DumpRecord &r : records) {
    AppendName(&out, r.name);
    out += ' ';
    AppendType(&out, r.type);
    char attr[16];
    std::snprintf(attr, sizeof attr, " 0x%08x ", r.attributes);
    out += attr;
    AppendStamp(&out, r.timestamp);
    out += ' ';
    AppendValue(&out, r.type, r.value);
    out += '\n';
  }
  return out;
}

bool ReadDump(const std::string &text, std::vector<DumpRecord> *records, std::string *error) {
  records->clear();
  size_t start = 0;
  for (size_t number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (number == 1) {
      if (line == kDumpVersionLine) continue;
      *error = "line 1: not a dump: the first line must be '" + std::string(kDumpVersionLine) + "'";
      return false;
    }
    if (line.empty() || line[0] == '#') continue;
    Cursor c{line, 0, {}};
    DumpRecord r;
    if (!ReadRecord(&c, &r)) {
      *error = "line " + std::to_string(number) + ": " + c.error;
      return false;
    }
    records->push_back(std::move(r));
  }
  if (text.empty()) {
    *error = "line 1: not a dump: the text is empty";
    return false;
  }
  return true;
}

}  // namespace krpctl
