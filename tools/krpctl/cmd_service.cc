// "krpctl status | trace | obj | pack | copy | runtime-info": the running
// store service, as an operator sees it.
//
// status and trace read and write the status block "KRPDLL_001_MEMBLOCK"
// directly (its layout is drawn in protocol.h); they need no host, only a
// block that some process still holds. Everything else travels through the
// host's request block with the client calls, exactly as any process of
// the suite would send it, so the tool never opens the store file itself.
//
// Before a request the tool asks whether a host admits it (without the
// three-minute waits unless the host says it is starting or cleaning
// house), so "no host" is reported at once instead of after the request
// time-outs.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "krplib.h"
#include "mtclient.h"
#include "ts_digest.h"

namespace krpctl {

namespace {

using namespace krp::proto;

// ---- trace flags -------------------------------------------------------------
// The words the trace command accepts, one per bit of the trace flags word
// (status block offset 20). A request kind's reply is traced with its bit
// together with "replies" (bit 0x01).
struct FlagWord {
  const char *word;
  uint32_t bit;
};
constexpr FlagWord kTraceWords[] = {
    {"read", 0x00008000},      // Read and Read multiple
    {"write", 0x00004000},     // Write
    {"delete", 0x00002000},    // Delete
    {"list", 0x00000800},      // List objects
    {"info", 0x00001000},      // Get info
    {"maint", 0x00000010},     // Pack, Copy and the runtime report
    {"replies", 0x00000001},   // the reply lines too
    {"dump", 0x00000002},      // hex dump of each read-multiple entry
    {"log", 0x00010000},       // lines to the log
    {"debugger", 0x00020000},  // lines to the debugger channel
    {"failures", 0x10000000},  // failed replies only, in the short form
};
constexpr uint32_t kTraceOutputBits = 0x00030000;
// "trace on" without --flags: every request kind, to the log.
constexpr uint32_t kTraceDefault =
    0x00008000 | 0x00004000 | 0x00002000 | 0x00000800 | 0x00001000 | 0x00000010 | 0x00010000;

std::string FlagWords(uint32_t flags) {
  if (flags == 0) return "off";
  std::string s;
  uint32_t rest = flags;
  for (const FlagWord &w : kTraceWords) {
    if (flags & w.bit) {
      if (!s.empty()) s += ',';
      s += w.word;
      rest &= ~w.bit;
    }
  }
  if (rest) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", rest);
    if (!s.empty()) s += ',';
    s += hex;
  }
  return s;
}

// "read,write,0x20000": words and hex numbers (with or without 0x), split
// at commas. False on anything else.
bool ParseFlags(const std::string &text, uint32_t *out) {
  uint32_t flags = 0;
  size_t pos = 0;
  bool any = false;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    std::string tok = text.substr(pos, comma - pos);
    pos = comma + 1;
    while (!tok.empty() && std::isspace(static_cast<unsigned char>(tok.back()))) tok.pop_back();
    while (!tok.empty() && std::isspace(static_cast<unsigned char>(tok.front()))) tok.erase(0, 1);
    if (tok.empty()) return false;
    for (char &c : tok) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool known = false;
    for (const FlagWord &w : kTraceWords) {
      if (tok == w.word) {
        flags |= w.bit;
        known = true;
      }
    }
    if (!known) {
      std::string digits = tok.rfind("0x", 0) == 0 ? tok.substr(2) : tok;
      if (digits.empty() || digits.size() > 8 ||
          digits.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
      flags |= static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
    }
    any = true;
  }
  if (!any) return false;
  *out = flags;
  return true;
}

void PrintTraceFields(uint32_t flags, uint32_t process, uint32_t name_crc, uint32_t thread,
                      const std::string &name) {
  std::printf("trace flags: 0x%08x (%s)\n", flags, FlagWords(flags).c_str());
  if (process)
    std::printf("trace process filter: %u\n", process);
  else
    std::printf("trace process filter: every process\n");
  if (!name_crc)
    std::printf("trace name filter: every name\n");
  else if (!name.empty())
    std::printf("trace name filter: 0x%08x (CRC-32 of '%s')\n", name_crc, name.c_str());
  else
    std::printf("trace name filter: 0x%08x (CRC-32 of the name)\n", name_crc);
  if (thread)
    std::printf("trace thread filter: %u\n", thread);
  else
    std::printf("trace thread filter: every thread\n");
}

// ---- the status block -------------------------------------------------------

// Maps the status block for the lifetime of the object. `rc` says why not.
struct StatusBlock {
  void *addr = nullptr;
  KST_HSHMEM handle = nullptr;
  uint32_t rc;
  StatusBlock() { rc = MtStatusBlockOpen(&addr, &handle); }
  ~StatusBlock() {
    if (rc == KST_OK) KstFreeSharedMem(addr, handle);
  }
  StatusBlock(const StatusBlock &) = delete;
  StatusBlock &operator=(const StatusBlock &) = delete;
  uint32_t Get(uint32_t off) const { return Load32(addr, off); }
  void Set(uint32_t off, uint32_t v) const { Store32(addr, off, v, std::memory_order_release); }
};

// False (after the message) when there is no status block to use.
bool StatusBlockUsable(const StatusBlock &sb) {
  if (sb.rc == KST_OK) return true;
  if (sb.rc == KST_ERR_FILE_NOT_FOUND)
    std::fprintf(stderr, "krpctl: no service has run on this machine\n");
  else
    std::fprintf(stderr, "krpctl: cannot use the status block: %s%s\n",
                 sb.rc == KST_ERR_GENERAL ? "smaller than its layout: " : "",
                 CodeText(sb.rc).c_str());
  return false;
}

const char *MtStatusWord(uint32_t st) {
  switch (st) {
    case kMtOwnProcess:
      return "own process only";
    case kMtAllProcesses:
      return "every process";
    case kMtCleaningHouse:
      return "cleaning house";
    case kMtStarting:
      return "starting";
    default:
      return "unknown";
  }
}

std::string DateOf(uint32_t secs) {
  if (secs == 0) return "never";
  time_t t = static_cast<time_t>(secs);
  struct tm tm {};
  char buf[64];
  if (!gmtime_r(&t, &tm) || !std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm))
    return std::to_string(secs);
  return std::string(buf) + " (" + std::to_string(secs) + ")";
}

bool ProcessExists(uint32_t pid) {
  if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

int Status() {
  StatusBlock sb;
  if (!StatusBlockUsable(sb)) return kExitBad;
  const uint32_t st = sb.Get(status::kMtStatus);
  const uint32_t pid = sb.Get(status::kServerPid);
  std::printf("MT status: %s (%u)\n", MtStatusWord(st), st);
  if (pid == kNoServer)
    std::printf("server process: none\n");
  else
    std::printf("server process: %u (%s)\n", pid,
                ProcessExists(pid) && MtServerThreadAlive() ? "running" : "gone");
  const uint32_t use = MtClientCheckMtStatusAndWaitForServer(1);
  if (use == KST_OK)
    std::printf("service: serving other processes\n");
  else
    std::printf("service: not usable from here: %s\n", CodeText(use).c_str());
  std::printf("last write: %s\n", DateOf(sb.Get(status::kLastWrite)).c_str());
  std::printf("request counter: %u\n", sb.Get(status::kRequestCounter));
  std::printf("feed generation: 0x%08x\n", sb.Get(status::kFeedGeneration));
  std::printf("change sequence: %u\n", sb.Get(status::kFeedSequence));
  PrintTraceFields(sb.Get(status::kTraceFlags), sb.Get(status::kTraceProcess),
                   sb.Get(status::kTraceName), sb.Get(status::kTraceThread), "");
  return kExitOk;
}

struct TraceArgs {
  std::string state;
  std::string flags;
  uint32_t process = 0, thread = 0;
  std::string name;
  CLI::Option *flags_opt = nullptr, *process_opt = nullptr, *thread_opt = nullptr,
              *name_opt = nullptr;
};

int Trace(const TraceArgs &a) {
  const bool on = a.state == "on";
  const bool narrowed = a.flags_opt->count() || a.process_opt->count() || a.thread_opt->count() ||
                        a.name_opt->count();
  if (!on && narrowed) {
    std::fprintf(stderr, "krpctl: trace off takes no --flags, --process, --thread or --name\n");
    return kExitUsage;
  }
  uint32_t flags = 0;
  if (on) {
    flags = kTraceDefault;
    if (a.flags_opt->count() && !ParseFlags(a.flags, &flags)) {
      std::fprintf(stderr, "krpctl: bad --flags '%s'; use hex numbers and the words",
                   a.flags.c_str());
      for (const FlagWord &w : kTraceWords) std::fprintf(stderr, " %s", w.word);
      std::fprintf(stderr, "\n");
      return kExitUsage;
    }
  }
  const uint32_t crc = on && !a.name.empty() ? TsCrc32(a.name.data(), a.name.size()) : 0;
  const uint32_t process = on ? a.process : 0, thread = on ? a.thread : 0;

  StatusBlock sb;
  if (!StatusBlockUsable(sb)) return kExitBad;
  // The flags word is what switches tracing: switching on writes the
  // filters first and the flags last, switching off clears the flags first,
  // so a client that reads the flags before the filters never traces with
  // new flags under old filters.
  if (on) {
    sb.Set(status::kTraceProcess, process);
    sb.Set(status::kTraceName, crc);
    sb.Set(status::kTraceThread, thread);
    sb.Set(status::kTraceFlags, flags);
  } else {
    sb.Set(status::kTraceFlags, 0);
    sb.Set(status::kTraceProcess, 0);
    sb.Set(status::kTraceName, 0);
    sb.Set(status::kTraceThread, 0);
  }
  PrintTraceFields(flags, process, crc, thread, a.name);
  if (on && !(flags & kTraceOutputBits))
    std::fprintf(stderr,
                 "krpctl: note: no output chosen (add log or debugger); nothing is traced\n");
  return kExitOk;
}

// ---- requests through the host -------------------------------------------------

void NoHost(uint32_t rc) {
  std::fprintf(stderr,
               "krpctl: no host serves this process: %s; start one with 'krpctl host'\n",
               CodeText(rc).c_str());
}

// 0 when a host admits this process; otherwise the message is printed.
uint32_t NeedHost() {
  uint32_t rc = MtClientCheckMtStatusAndWaitForServer(1);
  if (rc == KRP_ERR_STARTING || rc == KRP_ERR_CLEANING) {
    std::fprintf(stderr, "krpctl: %s; waiting\n", dll_KrpResultText(rc));
    rc = MtClientCheckMtStatusAndWaitForServer(0);
  }
  if (rc == KRP_ERR_NO_SERVER)
    NoHost(rc);
  else if (rc != KST_OK)
    std::fprintf(stderr, "krpctl: the host is not ready: %s\n", CodeText(rc).c_str());
  return rc;
}

int Fail(const std::string &what, uint32_t rc) {
  // 1 and 2 from a request also mean "no status block" and "no request
  // objects": the host went away after the check.
  if ((rc == KST_ERR_GENERAL || rc == KST_ERR_FILE_NOT_FOUND || rc == KRP_ERR_NO_SERVER) &&
      MtClientCheckMtStatusAndWaitForServer(1) == KRP_ERR_NO_SERVER) {
    NoHost(rc);
  } else {
    std::fprintf(stderr, "krpctl: %s: %s\n", what.c_str(), CodeText(rc).c_str());
  }
  return kExitBad;
}

// Buffers the client calls hand out (KstAllocMem).
struct LibMem {
  void *p = nullptr;
  ~LibMem() { KstFreeMem(p, 0); }
};

bool WriteOut(const void *p, size_t n) {
  if (n && std::fwrite(p, 1, n, stdout) != n) return false;
  return std::fflush(stdout) == 0;
}

int ObjGet(const std::string &name) {
  if (NeedHost()) return kExitBad;
  LibMem data;
  uint32_t size = 0, last_wr = 0, attr = 0, consumer = 0;
  uint32_t rc = KrpStoreKtsReadMt(0, name.c_str(), &data.p, &size, &last_wr, &attr, &consumer);
  if (rc) return Fail("obj get " + name, rc);
  if (size == 0) {
    // The host reads an unknown name as an empty value; the information
    // record tells an empty object from a missing one.
    TsObjectInfo info{};
    rc = KrpStoreKtsGetObjectInfoMt(0, name.c_str(), &info);
    if (rc) return Fail("obj get " + name, rc);
  }
  if (!WriteOut(data.p, size)) {
    std::fprintf(stderr, "krpctl: obj get %s: cannot write the value: %s\n", name.c_str(),
                 std::strerror(errno));
    return kExitBad;
  }
  return kExitOk;
}

int ObjPut(const std::string &name, const std::string &type_text, const std::string &attr_text) {
  uint32_t consumer = 0;
  if (!TypeCodeOf(type_text, &consumer)) {
    char *end = nullptr;
    unsigned long v = std::strtoul(type_text.c_str(), &end, 0);
    if (type_text.empty() || *end || v > UINT32_MAX) {
      std::fprintf(stderr, "krpctl: unknown type '%s'\n", type_text.c_str());
      return kExitUsage;
    }
    consumer = static_cast<uint32_t>(v);
  }
  char *end = nullptr;
  unsigned long attr = std::strtoul(attr_text.c_str(), &end, 0);
  if (attr_text.empty() || *end || attr > UINT32_MAX) {
    std::fprintf(stderr, "krpctl: bad --attr '%s'\n", attr_text.c_str());
    return kExitUsage;
  }
  // The whole value first (binary: stdin is read as bytes), then the host:
  // a value that cannot be read is not half written.
  std::string value;
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) {
    value.append(buf, n);
    if (value.size() > kMaxTransfer) {
      std::fprintf(stderr, "krpctl: obj put %s: the value exceeds %" PRIu64 " bytes\n",
                   name.c_str(), kMaxTransfer);
      return kExitBad;
    }
  }
  if (std::ferror(stdin)) {
    std::fprintf(stderr, "krpctl: obj put %s: cannot read the value from standard input\n",
                 name.c_str());
    return kExitBad;
  }
  if (NeedHost()) return kExitBad;
  // The write scrambles the buffer in place; `value` is ours and not used
  // again afterwards.
  uint32_t rc = KrpStoreKtsWriteMt(
      0, name.c_str(), value.data(), static_cast<uint32_t>(value.size()),
      static_cast<uint32_t>(std::time(nullptr)), static_cast<uint32_t>(attr), consumer);
  if (rc) return Fail("obj put " + name, rc);
  return kExitOk;
}

// The list entries (ts_multi.h) came from another process: TsListEntryAt
// checks every length against what is left.
int64_t CountEntries(const uint8_t *p, uint32_t size) {
  int64_t n = 0;
  TsListEntry e{};
  for (uint32_t pos = 0; p && pos < size; pos += e.length, ++n)
    if (!TsListEntryAt(p, size, pos, &e)) return -1;
  return n;
}

// A delete answers 0 also when the host holds nothing under the name, so
// the tool looks first: a missing object, or a prefix with nothing below
// it, is reported as a failure.
int ObjRm(const std::string &name) {
  if (NeedHost()) return kExitBad;
  const bool prefix = !name.empty() && name.back() == '*';
  int64_t count = 1;
  uint32_t rc;
  if (prefix) {
    LibMem list;
    uint32_t size = 0;
    rc = KrpStoreKtsListObjectsMt(0, name.substr(0, name.size() - 1).c_str(), &list.p, &size, 0);
    if (rc) return Fail("obj rm " + name, rc);
    count = CountEntries(static_cast<const uint8_t *>(list.p), size);
    if (count == 0) {
      std::fprintf(stderr, "krpctl: obj rm %s: no object begins with '%s'\n", name.c_str(),
                   name.substr(0, name.size() - 1).c_str());
      return kExitBad;
    }
  } else {
    TsObjectInfo info{};
    rc = KrpStoreKtsGetObjectInfoMt(0, name.c_str(), &info);
    if (rc) return Fail("obj rm " + name, rc);
  }
  rc = KrpStoreKtsDeleteMt(0, name.c_str());
  if (rc) return Fail("obj rm " + name, rc);
  if (prefix && count > 0) std::printf("deleted %lld objects\n", static_cast<long long>(count));
  return kExitOk;
}

// Names in byte order (the host hands them out in its index's order).
int ObjLs(const std::string &pattern, bool long_form) {
  if (NeedHost()) return kExitBad;
  LibMem list;
  uint32_t size = 0;
  uint32_t rc = KrpStoreKtsListObjectsMt(0, pattern.c_str(), &list.p, &size, 0);
  if (rc) return Fail("obj ls " + pattern, rc);
  const auto *p = static_cast<const uint8_t *>(list.p);
  std::vector<std::pair<std::string, std::string>> lines;  // name, line
  TsListEntry e{};
  for (uint32_t pos = 0; p && pos < size; pos += e.length) {
    if (!TsListEntryAt(p, size, pos, &e)) {
      std::fprintf(stderr, "krpctl: obj ls: malformed list entry at offset %u\n", pos);
      return kExitBad;
    }
    std::string name(e.name);
    std::string line = name;
    if (long_form) {
      char head[64];
      std::snprintf(head, sizeof head, "%-10s 0x%08x ", TypeWordOf(e.consumer), e.attr);
      line = head + DateOf(e.last_wr) + "  " + name;
    }
    lines.emplace_back(std::move(name), std::move(line));
  }
  std::sort(lines.begin(), lines.end());
  for (const auto &l : lines) std::printf("%s\n", l.second.c_str());
  return kExitOk;
}

int ObjInfo(const std::string &name) {
  if (NeedHost()) return kExitBad;
  TsObjectInfo info{};
  uint32_t rc = KrpStoreKtsGetObjectInfoMt(0, name.c_str(), &info);
  if (rc) return Fail("obj info " + name, rc);
  uint8_t digest[16];
  std::memcpy(digest, info.digest, sizeof digest);
  std::printf("name: %s\nsize: %u\noffset: %u\ndigest: ", name.c_str(), info.data_size,
              info.offset);
  for (uint8_t b : digest) std::printf("%02x", b);
  std::printf("\nattributes: 0x%08x\nlast write: %s\ntype: %s (%u)\n", info.attr,
              DateOf(info.last_wr).c_str(), TypeWordOf(info.consumer), info.consumer);
  return kExitOk;
}

int Pack() {
  if (NeedHost()) return kExitBad;
  uint32_t rc = dll_KrpPackStore();
  if (rc) return Fail("pack", rc);
  std::printf("packed the store\n");
  return kExitOk;
}

int Copy(const std::string &target_arg) {
  // The host resolves the target itself and in its own working folder: a
  // relative name is made absolute here (links are for the host to judge).
  std::string target = target_arg;
  if (!target.empty() && target[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
      std::fprintf(stderr, "krpctl: copy: no working folder: %s\n", std::strerror(errno));
      return kExitBad;
    }
    target = std::string(cwd) + "/" + target;
  }
  if (NeedHost()) return kExitBad;
  uint32_t rc = dll_KrpCopyStore(target.c_str());
  if (rc == KST_ERR_ACCESS_DENIED) {
    std::fprintf(stderr,
                 "krpctl: copy %s: %s; the host writes copies only inside the product root, "
                 "never through a symbolic link and never over anything but a regular file\n",
                 target.c_str(), CodeText(rc).c_str());
    return kExitBad;
  }
  if (rc) return Fail("copy " + target, rc);
  std::printf("copied the store to %s\n", target.c_str());
  return kExitOk;
}

int RuntimeInfo(const std::string &stylesheet, bool want_schema) {
  if (NeedHost()) return kExitBad;
  void *schema = nullptr, *doc = nullptr;
  uint32_t schema_size = 0, doc_size = 0;
  uint32_t rc = dll_KrpStoreKtsGetRuntimeInfoXML(&schema, &schema_size, &doc, &doc_size,
                                                 stylesheet.empty() ? nullptr : stylesheet.c_str());
  // Released by the library's own call, as any caller of the export would.
  std::unique_ptr<void, uint32_t (*)(void *)> hold_schema(schema, dll_KrpFreeMem);
  std::unique_ptr<void, uint32_t (*)(void *)> hold_doc(doc, dll_KrpFreeMem);
  if (rc == KST_ERR_BUFFER_TOO_SMALL) {
    std::fprintf(stderr, "krpctl: runtime-info: %s; the report exceeds the request block\n",
                 CodeText(rc).c_str());
    return kExitBad;
  }
  if (rc) return Fail("runtime-info", rc);
  const char *text = static_cast<const char *>(want_schema ? schema : doc);
  uint32_t n = want_schema ? schema_size : doc_size;
  while (n && text[n - 1] == '\0') --n;  // a terminator is not part of the text
  bool ok = WriteOut(text, n);
  if (ok && n && text[n - 1] != '\n') ok = WriteOut("\n", 1);
  if (!ok) {
    std::fprintf(stderr, "krpctl: runtime-info: cannot write: %s\n", std::strerror(errno));
    return kExitBad;
  }
  return kExitOk;
}

}  // namespace

void AddServiceCommands(CLI::App &app, Action *action) {
  // The options live as long as the program (the actions run after parsing).
  auto *st = app.add_subcommand(
      "status",
      "Show the service's status block: MT status, host process, last write, request "
      "counter and trace settings");
  st->callback([action] { *action = [] { return Status(); }; });

  static TraceArgs ta;
  auto *tr = app.add_subcommand(
      "trace",
      "Switch the request trace of every client process on or off (from its next "
      "request on)");
  tr->add_option("STATE", ta.state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
  std::string words;
  for (const FlagWord &w : kTraceWords) words += std::string(words.empty() ? "" : ",") + w.word;
  ta.flags_opt = tr->add_option("--flags", ta.flags,
                                "comma-separated words (" + words +
                                    ") and/or hex numbers; default read,write,delete,list,info,"
                                    "maint,log");
  ta.process_opt = tr->add_option("--process", ta.process, "trace only this process id");
  ta.thread_opt = tr->add_option("--thread", ta.thread, "trace only this thread id");
  ta.name_opt = tr->add_option("--name", ta.name, "trace only requests for this object name");
  tr->callback([action] { *action = [] { return Trace(ta); }; });

  static std::string get_name, put_name, put_type = "bytearray", put_attr = "0", rm_name,
                                         ls_pattern, info_name;
  static bool ls_long = false;
  auto *obj = app.add_subcommand("obj", "Store objects through the running host");
  obj->require_subcommand(1);
  auto *get = obj->add_subcommand("get", "Write an object's value, unscrambled, to stdout");
  get->add_option("NAME", get_name, "object name")->required();
  get->callback([action] { *action = [] { return ObjGet(get_name); }; });
  auto *put = obj->add_subcommand("put", "Store the bytes read from stdin as an object's value");
  put->add_option("NAME", put_name, "object name")->required();
  put->add_option("--type", put_type,
                  "type word (text, image, integer, boolean, list, bytearray, ...) or number");
  put->add_option("--attr", put_attr, "attribute word (decimal, or hex with 0x)");
  put->callback([action] { *action = [] { return ObjPut(put_name, put_type, put_attr); }; });
  auto *rm = obj->add_subcommand(
      "rm", "Delete an object; a NAME ending in '*' deletes every object under that prefix");
  rm->add_option("NAME", rm_name, "object name or prefix*")->required();
  rm->callback([action] { *action = [] { return ObjRm(rm_name); }; });
  auto *ls = obj->add_subcommand("ls", "List the names beginning with PATTERN, one per line");
  ls->add_option("PATTERN", ls_pattern, "name prefix (default: every object)");
  ls->add_flag("-l,--long", ls_long, "also type, attributes and last write");
  ls->callback([action] { *action = [] { return ObjLs(ls_pattern, ls_long); }; });
  auto *info = obj->add_subcommand("info", "Show an object's information record");
  info->add_option("NAME", info_name, "object name")->required();
  info->callback([action] { *action = [] { return ObjInfo(info_name); }; });

  auto *pack = app.add_subcommand("pack", "Pack the store through the running host");
  pack->callback([action] { *action = [] { return Pack(); }; });

  static std::string copy_target;
  auto *copy =
      app.add_subcommand("copy",
                         "Copy the store through the running host (the target must lie inside the "
                         "product root)");
  copy->add_option("TARGET", copy_target, "target file")->required();
  copy->callback([action] { *action = [] { return Copy(copy_target); }; });

  static std::string sheet;
  static bool schema = false;
  auto *ri =
      app.add_subcommand("runtime-info", "Print the host's runtime report as an XML document");
  ri->add_option("--stylesheet", sheet, "stylesheet reference put into the document");
  ri->add_flag("--schema", schema, "print the report's XML schema instead");
  ri->callback([action] { *action = [] { return RuntimeInfo(sheet, schema); }; });
}

}  // namespace krpctl
