// "krpctl store": dump and verify read a store file themselves, record by
// record, without the engine (so that they also describe files the engine
// refuses); pack and copy open the store through the engine as its host
// would, and so need a file that no host has open.
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "krplib.h"
#include "commands.h"
#include "store_maint.h"
#include "ts_digest.h"
#include "ts_format.h"

namespace krpctl {
namespace {

bool ReadWhole(const std::string &path, std::string *out) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) {
    std::fprintf(stderr, "krpctl: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  out->clear();
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  if (!ok) std::fprintf(stderr, "krpctl: cannot read %s\n", path.c_str());
  return ok;
}

// A name as printable text: bytes outside 0x21..0x7E (and the backslash)
// as \xNN.
std::string Printable(const char *name, uint32_t len) {
  std::string s;
  for (uint32_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c > 0x20 && c < 0x7F && c != '\\') {
      s += char(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      s += hex;
    }
  }
  return s;
}

const uint8_t *U8(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

// What the header says; problems go to `problems` as "offset: text".
struct Header {
  uint32_t version = 0;
  uint32_t first = 0;  // offset of the first record
  bool usable = false;
};

Header CheckHeader(const std::string &f, std::vector<std::string> *problems) {
  Header h;
  auto bad = [&](uint32_t off, const std::string &what) {
    problems->push_back(std::to_string(off) + ": " + what);
  };
  if (f.size() < kTsFileHeaderLenV3) {
    bad(0, "file of " + std::to_string(f.size()) + " bytes is too short for a header");
    return h;
  }
  if (std::memcmp(f.data() + kTsHdrOffMagic, kTsMagic, kTsMagicLen) != 0) {
    bad(kTsHdrOffMagic, "not a store file (wrong magic)");
    return h;
  }
  h.version = TsGetU32(U8(f) + kTsHdrOffVersion);
  if (h.version != 3 && h.version != 4) {
    bad(kTsHdrOffVersion, "unknown format version " + std::to_string(h.version));
    return h;
  }
  if (h.version == 3) {
    h.first = kTsFileHeaderLenV3;
    h.usable = true;
    return h;
  }
  if (f.size() < kTsFileHeaderLenV4) {
    bad(0, "version-4 header cut short (" + std::to_string(f.size()) + " bytes)");
    return h;
  }
  h.first = kTsFileHeaderLenV4;
  h.usable = true;
  uint32_t len = TsGetU32(U8(f) + kTsHdrOffLength);
  if (len != kTsFileHeaderLenV4) bad(kTsHdrOffLength, "header length " + std::to_string(len));
  uint32_t tag = TsGetU32(U8(f) + kTsHdrOffCloseTag);
  if (tag != 0 && tag != kTsCloseTag) {
    char t[32];
    std::snprintf(t, sizeof t, "0x%08x", tag);
    bad(kTsHdrOffCloseTag, std::string("close tag ") + t);
  }
  if (TsGetU32(U8(f) + kTsHdrOffEndMark) != kTsEndMark) bad(kTsHdrOffEndMark, "header end mark");
  return h;
}

// Walks the records; visit(view, offset) for each whole one. Returns false
// when the walk stopped early at a record it cannot read (reported).
template <typename Visit>
bool WalkRecords(const std::string &f, const Header &h, std::vector<std::string> *problems,
                 Visit &&visit) {
  uint64_t at = h.first;
  while (at < f.size()) {
    TsRecordView v;
    uint64_t need = 0;
    TsParse p = TsParseRecord(h.version, U8(f) + at, f.size() - at, &v, &need);
    if (p == TsParse::kInvalid) {
      problems->push_back(std::to_string(at) + ": invalid record header");
      return false;
    }
    if (p == TsParse::kShort) {
      problems->push_back(std::to_string(at) + ": record runs past the end of the file (" +
                          std::to_string(need) + " bytes needed, " +
                          std::to_string(f.size() - at) + " present): torn tail");
      return false;
    }
    visit(v, uint32_t(at));
    at += v.record_len;
  }
  return true;
}

bool DigestOk(const TsRecordView &v) {
  uint8_t d[16];
  TsMd5(v.data, v.data_size, d);
  return std::memcmp(d, v.digest, 16) == 0;
}

// What a fragment records besides its objects: the prefix it was cut
// under and the names a merge deletes first. Both objects keep their value
// scrambled, as every stored value: a 16-byte type field, then
//   "__system.blob_fullpath"  the prefix text, zero-terminated
//   "__system.delete_list"    full names in the serialised list format
//                             (nothing after the type field: an empty list)
constexpr char kBlobPathName[] = "__system.blob_fullpath";
constexpr char kDeleteListName[] = "__system.delete_list";
constexpr uint32_t kTypeFieldSize = 16;

struct FragmentInfo {
  bool has_prefix = false, has_deletes = false;
  std::string prefix, deletes;  // unscrambled values, type field included
};

// The latest live record of either name wins, as it does for the engine.
void NoteFragmentRecord(const TsRecordView &v, FragmentInfo *fi) {
  if (v.deleted) return;
  const std::string name(v.name, v.name_len);
  std::string *value = nullptr;
  if (name == kBlobPathName) {
    fi->has_prefix = true;
    value = &fi->prefix;
  } else if (name == kDeleteListName) {
    fi->has_deletes = true;
    value = &fi->deletes;
  }
  if (!value) return;
  value->assign(reinterpret_cast<const char *>(v.data), v.data_size);
  if (!value->empty()) KstUnscrambleData(KST_SCRAMBLE_KEY, &(*value)[0], uint32_t(value->size()));
}

void PrintFragmentInfo(const FragmentInfo &fi, std::vector<std::string> *problems) {
  if (fi.has_prefix) {
    if (fi.prefix.size() < kTypeFieldSize) {
      problems->push_back(std::string(kBlobPathName) + ": value of " +
                          std::to_string(fi.prefix.size()) + " bytes has no type field");
    } else {
      // The text ends at its terminator, or at the value's end without one.
      const char *text = fi.prefix.data() + kTypeFieldSize;
      const size_t room = fi.prefix.size() - kTypeFieldSize;
      const void *zero = std::memchr(text, 0, room);
      const size_t len = zero ? size_t(static_cast<const char *>(zero) - text) : room;
      std::printf("fragment.prefix: %s\n", Printable(text, uint32_t(len)).c_str());
    }
  }
  if (!fi.has_deletes) return;
  if (fi.deletes.size() < kTypeFieldSize) {
    problems->push_back(std::string(kDeleteListName) + ": value of " +
                        std::to_string(fi.deletes.size()) + " bytes has no type field");
    return;
  }
  std::vector<std::string> names;
  const uint32_t room = uint32_t(fi.deletes.size() - kTypeFieldSize);
  if (room > 0 && !DecodeList(fi.deletes.data() + kTypeFieldSize, room, &names)) {
    problems->push_back(std::string(kDeleteListName) + ": not a list");
    return;
  }
  std::printf("fragment.delete_list: %zu name(s)\n", names.size());
  for (const std::string &n : names)
    std::printf("fragment.delete: %s\n", Printable(n.data(), uint32_t(n.size())).c_str());
}

int Dump(const std::string &path) {
  std::string f;
  if (!ReadWhole(path, &f)) return kExitBad;
  std::vector<std::string> problems;
  Header h = CheckHeader(f, &problems);
  if (!h.usable) {
    for (auto &p : problems) std::printf("problem %s\n", p.c_str());
    return kExitBad;
  }
  uint32_t live = 0, deleted = 0;
  FragmentInfo fragment;
  bool whole = WalkRecords(f, h, &problems, [&](const TsRecordView &v, uint32_t off) {
    (v.deleted ? deleted : live)++;
    NoteFragmentRecord(v, &fragment);
    std::printf("offset=%u state=%s name=%s size=%u area=%u attr=0x%08x lastwr=0x%08x "
                "consumer=0x%08x digest=%s\n",
                off, v.deleted ? "deleted" : "live", Printable(v.name, v.name_len).c_str(),
                v.data_size, v.area_size, v.attr, v.last_wr, v.consumer,
                DigestOk(v) ? "ok" : "BAD");
  });
  std::printf("records: %u live, %u deleted\n", live, deleted);
  std::printf("header.version: %u\n", h.version);
  std::printf("header.file_size: %zu\n", f.size());
  if (h.version == 4) {
    const uint8_t *p = U8(f);
    char build[kTsBuildLen + 1];
    std::memcpy(build, p + kTsHdrOffBuild, kTsBuildLen);
    build[kTsBuildLen] = 0;
    std::printf("header.length: %u\n", TsGetU32(p + kTsHdrOffLength));
    uint32_t tag = TsGetU32(p + kTsHdrOffCloseTag);
    std::printf("header.close_tag: 0x%08x (%s)\n", tag,
                tag == kTsCloseTag ? "orderly closed" : "open or crashed");
    std::printf("header.build: %s\n", Printable(build, uint32_t(std::strlen(build))).c_str());
    std::printf("header.open_time: %u\n", TsGetU32(p + kTsHdrOffOpenTime));
    std::printf("header.close_time: %u\n", TsGetU32(p + kTsHdrOffCloseTime));
    std::printf("header.pack_time: %u\n", TsGetU32(p + kTsHdrOffPackTime));
    std::printf("header.active: %u\n", TsGetU32(p + kTsHdrOffActive));
    std::printf("header.deleted: %u\n", TsGetU32(p + kTsHdrOffDeleted));
    std::printf("header.supersized: %u\n", TsGetU32(p + kTsHdrOffSupersized));
    std::printf("header.db_size: %u\n", TsGetU32(p + kTsHdrOffDbSize));
    std::printf("header.wasted: %u\n", TsGetU32(p + kTsHdrOffWasted));
    std::printf("header.end_mark: %s\n",
                TsGetU32(p + kTsHdrOffEndMark) == kTsEndMark ? "ok" : "BAD");
  }
  PrintFragmentInfo(fragment, &problems);
  for (auto &p : problems) std::printf("problem %s\n", p.c_str());
  return whole ? kExitOk : kExitBad;
}

int Verify(const std::string &path) {
  std::string f;
  if (!ReadWhole(path, &f)) return kExitBad;
  std::vector<std::string> problems;
  Header h = CheckHeader(f, &problems);
  uint32_t records = 0;
  if (h.usable) {
    std::unordered_map<std::string, uint32_t> live;  // name -> offset of its live record
    WalkRecords(f, h, &problems, [&](const TsRecordView &v, uint32_t off) {
      ++records;
      std::string at = std::to_string(off) + ": ";
      std::string name = Printable(v.name, v.name_len);
      if (v.deleted > 1) problems.push_back(at + "deleted word " + std::to_string(v.deleted));
      if (v.attr & 0x7F000000u) problems.push_back(at + "Attr bits 24-30 set in " + name);
      if (h.version == 4 && TsGetU32(U8(f) + off + kTsRecOffNameCrc) != TsCrc32(v.name, v.name_len))
        problems.push_back(at + "bad name checksum of " + name);
      if (!DigestOk(v)) problems.push_back(at + "data of " + name + " do not match their digest");
      if (!v.deleted) {
        auto [it, fresh] = live.emplace(std::string(v.name, v.name_len), off);
        if (!fresh)
          problems.push_back(at + "second live record of " + name + " (the first is at " +
                             std::to_string(it->second) + ")");
      }
    });
  }
  for (auto &p : problems) std::printf("%s\n", p.c_str());
  if (!problems.empty()) {
    std::printf("%s: %zu problem(s)\n", path.c_str(), problems.size());
    return kExitBad;
  }
  std::printf("%s: sound (version %u, %u records)\n", path.c_str(), h.version, records);
  return kExitOk;
}

// Splits a path into the folder (ending in "/") and the file name.
void SplitPath(const std::string &path, std::string *folder, std::string *name) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    *folder = "./";
    *name = path;
  } else {
    *folder = path.substr(0, slash + 1);
    *name = path.substr(slash + 1);
  }
}

// Opens an existing store through the engine; null (reported) on failure.
TsStore *OpenStore(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "krpctl: %s is not an existing store file\n", path.c_str());
    return nullptr;
  }
  std::string folder, name;
  SplitPath(path, &folder, &name);
  TsStore *s = nullptr;
  uint32_t rc = StoreInit(&s, folder.c_str(), name.c_str(), nullptr, nullptr, 0);
  if (rc) {
    std::fprintf(stderr, "krpctl: cannot open the store %s: %s (0x%08x)%s\n", path.c_str(),
                 dll_KrpResultText(rc), rc,
                 rc == KST_ERR_SHARING_VIOLATION ? "; is a host running?" : "");
    return nullptr;
  }
  return s;
}

int Pack(const std::string &path) {
  TsStore *s = OpenStore(path);
  if (!s) return kExitBad;
  uint32_t before = s->db_size, removed = s->deleted;
  uint32_t rc = StorePackStoreFile(s);
  uint32_t after = s->db_size;
  StoreExit(s);
  if (rc) {
    std::fprintf(stderr, "krpctl: packing %s failed: %s (0x%08x); the store is unchanged\n",
                 path.c_str(), dll_KrpResultText(rc), rc);
    return kExitBad;
  }
  std::printf("%s: packed, %u deleted records removed, %u -> %u bytes\n", path.c_str(), removed,
              before, after);
  return kExitOk;
}

int Copy(const std::string &path, const std::string &target) {
  TsStore *s = OpenStore(path);
  if (!s) return kExitBad;
  uint32_t rc = StoreCopyStoreFile(s, target.c_str());
  StoreExit(s);
  if (rc) {
    std::fprintf(stderr, "krpctl: copying %s to %s failed: %s (0x%08x)\n", path.c_str(),
                 target.c_str(), dll_KrpResultText(rc), rc);
    return kExitBad;
  }
  std::printf("%s: copied to %s\n", path.c_str(), target.c_str());
  return kExitOk;
}

}  // namespace

void AddStoreCommands(CLI::App &app, Action *action) {
  CLI::App *store = app.add_subcommand("store", "Inspect and maintain a store file");
  store->require_subcommand(1);
  // The strings live as long as the application: the actions read them
  // after parsing.
  static std::string file, target;

  CLI::App *dump = store->add_subcommand(
      "dump", "Print every record (offset, state, name, sizes, words, digest check), then the "
              "header fields, and for a fragment its recorded prefix and delete list");
  dump->add_option("FILE", file, "Store file")->required();
  dump->callback([action] { *action = [] { return Dump(file); }; });

  CLI::App *verify = store->add_subcommand(
      "verify", "Check the header, every record's structure, name checksum and data digest, "
                "and that no name has two live records; exit 1 on any problem");
  verify->add_option("FILE", file, "Store file")->required();
  verify->callback([action] { *action = [] { return Verify(file); }; });

  CLI::App *pack = store->add_subcommand(
      "pack", "Pack a store file that no host has open (the backup store.old is left beside "
              "it)");
  pack->add_option("FILE", file, "Store file")->required();
  pack->callback([action] { *action = [] { return Pack(file); }; });

  CLI::App *copy = store->add_subcommand(
      "copy", "Copy a store file that no host has open; the copy is stamped as orderly closed");
  copy->add_option("FILE", file, "Store file")->required();
  copy->add_option("TARGET", target, "Path of the copy (never a link)")->required();
  copy->callback([action] { *action = [] { return Copy(file, target); }; });
}

}  // namespace krpctl
