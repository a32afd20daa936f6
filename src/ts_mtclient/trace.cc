// The request trace (trace.h has the design note and the invariants).
//
// Line forms ("%08x" is the request number throughout):
//   header        "%08x # %-20s[T:%d]"        module name, thread id
//   request A     "           + %s '%s'"      request name, object name
//   request P/C   "           + %s"           Pack store, Copy store
//   reply A       "%08x # Reply: Failed, RC %08xh" | "%08x # Reply: KRC_OK" |
//                 "%08x # Reply: Size %d Consumer %02d Attr %08xh LastWr %08xh,
//                  Request %08xh Reply %08xh", each followed by
//                 " +++ RequestNo = ReplyNo +++" or
//                 " *** RequestNo (%08x) != ReplyNo (%08x) ***"
//   multi entry   "%08x #     Meta  %s" | "%08x #     Data  %s"
//   multi reply   "%08x # +++ RequestNo = ReplyNo +++" (or "(%08x) != ReplyNo
//                 (%08x) +++"), then per entry "%08x # Retn for %s" and
//                 "%08x #       Failed, RC %08xh" or
//                 "%08x #       Size %d Consumer %02d Attr %08xh LastWr %08xh"
//   failures only header, "           + %s '%s'" (or "+ Read multiple"),
//                 "           + Request failed, RC: %xh"; per failed entry
//                 "           + %s" and "           +  Request failed, RC: %xh"
//   hex dump      "           +  %04x " 16 x ("%02x " | "   ") with "- " after
//                 the eighth position (two blanks when the group has fewer
//                 than eight bytes), three blanks, then one character per
//                 byte: printable ASCII as itself ("%" too: the doubling for
//                 the log happens at the hand-off, once), else "."
#include "trace.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "protocol.h"
#include "store.h"
#include "ts_digest.h"

namespace krp::trace {
namespace {

using namespace krp::proto;

constexpr uint32_t kLineMax = 1024;
// Longest value the hex dump shows; callers pass at most 32 bytes.
constexpr uint32_t kDumpLimit = 320;
constexpr uint32_t kDumpBytes = 32;
constexpr uint32_t kWordsOnlyNotFound = KRP_ERR_NOT_FOUND;

// A line under construction. Every piece is appended through a format
// that this file owns; names come in only as "%s" arguments.
class Line {
 public:
  void Add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (len_ >= kLineMax - 1) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text_ + len_, kLineMax - len_, fmt, ap);
    va_end(ap);
    if (n <= 0) return;
    len_ += static_cast<uint32_t>(n);
    if (len_ > kLineMax - 1) len_ = kLineMax - 1;  // cut by vsnprintf
  }
  void Char(char ch) {
    if (len_ < kLineMax - 1) {
      text_[len_++] = ch;
      text_[len_] = '\0';
    }
  }
  const char *text() const { return text_; }

 private:
  char text_[kLineMax] = {};
  uint32_t len_ = 0;
};

// Hands a line whose "%" are already doubled to the log as its format
// string, with no arguments.
void LogFormat(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  KstLogVPrintf(fmt, ap);
  va_end(ap);
}

void Emit(uint32_t flags, const Line &line) {
  if (flags & kToDebugger) KstOutputDebugString(line.text());
  if (flags & kToLog) {
    char escaped[2 * kLineMax];
    DoublePercent(line.text(), escaped, sizeof escaped);
    LogFormat(escaped);
  }
}

bool HasChannel(uint32_t flags) { return (flags & (kToLog | kToDebugger)) != 0; }

// The executable's file name, read once per process (the last component
// of /proc/self/exe, at most 259 characters; empty when unreadable).
struct ExeName {
  char text[KST_MAX_PATH] = {};
  ExeName() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return;
    path[n] = '\0';
    const char *slash = strrchr(path, '/');
    const char *base = slash ? slash + 1 : path;
    const size_t len = strnlen(base, sizeof text - 1);
    memcpy(text, base, len);
    text[len] = '\0';
  }
};

uint32_t ThreadId() {
  uint32_t tid = 0;
  KstQueryThreadId(&tid);
  return tid;
}

// "%08x # %-20s[T:%d]". The module name carries the process id of the
// moment, so a forked child shows its own.
void Header(const Call &c) {
  static const ExeName exe;
  char module[KST_MAX_PATH + 24];
  snprintf(module, sizeof module, "%s [P:%d]", exe.text, static_cast<int>(getpid()));
  Line l;
  l.Add("%08x # %-20s[T:%d]", c.reqno, module, static_cast<int>(ThreadId()));
  Emit(c.flags, l);
}

uint32_t NameCrc(const char *name) { return TsCrc32(name, strlen(name)); }

// Process and thread filters.
bool WhoMatches(const Call &c, bool thread_too) {
  const uint32_t pid = Load32(c.status, status::kTraceProcess);
  if (pid != 0 && pid != static_cast<uint32_t>(getpid())) return false;
  if (!thread_too) return true;
  const uint32_t tid = Load32(c.status, status::kTraceThread);
  return tid == 0 || tid == ThreadId();
}

bool IsMaintenance(uint32_t code) {
  return code == kReqPack || code == kReqCopy || code == kReqRuntimeInfo;
}

uint32_t KindBit(uint32_t code) {
  switch (code) {
    case kReqRead:
    case kReqReadMultiple:
      return kRead;
    case kReqWrite:
      return kWrite;
    case kReqDelete:
      return kDelete;
    case kReqListObjects:
      return kList;
    case kReqGetInfo:
      return kGetInfo;
    case kReqPack:
    case kReqCopy:
    case kReqRuntimeInfo:
      return kMaintenance;
    default:
      return 0;
  }
}

// Detailed mode for the request (reply = false) or the reply lines. The
// name filter of a read multiple is left to its entries.
bool Detailed(const Call &c, bool reply) {
  const uint32_t bit = KindBit(c.code);
  const uint32_t mask = bit | (reply ? kReplies : 0);
  if (bit == 0 || (c.flags & kFailuresOnly) || (c.flags & mask) != mask) return false;
  if (IsMaintenance(c.code)) return WhoMatches(c, false);
  if (!WhoMatches(c, true)) return false;
  if (!c.name) return true;
  const uint32_t filter = Load32(c.status, status::kTraceName);
  return filter == 0 || filter == NameCrc(c.name);
}

bool FailuresOnly(const Call &c) {
  const uint32_t bit = KindBit(c.code);
  return (c.flags & kFailuresOnly) && bit != 0 && !IsMaintenance(c.code) && (c.flags & bit);
}

const char *Name(uint32_t code) {
  return code == kReqRuntimeInfo ? "Runtime info" : RequestName(code);
}

// One dump line per 16 bytes of the first min(n, 32) bytes; `scrambled`
// bytes are unscrambled in a copy first.
void Dump(uint32_t flags, const uint8_t *bytes, uint32_t n, bool scrambled) {
  if (n > kDumpBytes) n = kDumpBytes;
  if (n == 0 || n >= kDumpLimit) return;
  uint8_t copy[kDumpBytes];
  memcpy(copy, bytes, n);
  if (scrambled) KstUnscrambleData(KST_SCRAMBLE_KEY, copy, n);
  for (uint32_t at = 0; at < n; at += 16) {
    const uint32_t here = n - at < 16 ? n - at : 16;
    Line l;
    l.Add("           +  %04x ", at);
    for (uint32_t i = 0; i < 16; ++i) {
      if (i < here)
        l.Add("%02x ", copy[at + i]);
      else
        l.Add("   ");
      if (i == 7) l.Add(here >= 8 ? "- " : "  ");
    }
    l.Add("   ");
    for (uint32_t i = 0; i < here; ++i) {
      const uint8_t ch = copy[at + i];
      l.Char(ch >= 0x20 && ch < 0x7F ? static_cast<char>(ch) : '.');
    }
    Emit(flags, l);
  }
}

void AddNumbersSuffix(Line &l, uint32_t reqno, uint32_t replyno) {
  if (reqno == replyno)
    l.Add(" +++ RequestNo = ReplyNo +++");
  else
    l.Add(" *** RequestNo (%08x) != ReplyNo (%08x) ***", reqno, replyno);
}

// Walks the well-formed items of a read-multiple block of `len` bytes in
// order: fn(index, item offset, name) for those whose name has 1 to 259
// characters and ends inside the item. Stops at the first item with a
// wrong mark, a length below the minimum, or an end past the block.
template <typename Fn>
void ForEachEntry(const uint8_t *blk, uint32_t len, Fn fn) {
  if (!blk || len < kTsMultiHeaderSize) return;
  TsMultiWalk walk(blk, len);
  TsMultiItem item;
  while (walk.Next(&item) == TsMultiStep::kItem) {
    if (item.terminated && item.name_len >= 1 && item.name_len < kNameFieldSize)
      fn(item.index, item.offset, item.name);
  }
}

bool EntryPasses(uint32_t filter, const char *name) {
  return filter == 0 || filter == NameCrc(name);
}

}  // namespace

void DoublePercent(const char *in, char *out, uint32_t size) {
  if (size == 0) return;
  uint32_t o = 0;
  for (; *in; ++in) {
    const uint32_t need = *in == '%' ? 2 : 1;
    if (o + need >= size) break;
    out[o++] = *in;
    if (*in == '%') out[o++] = '%';
  }
  out[o] = '\0';
}

void Request(const Call &c) {
  if (!HasChannel(c.flags) || !Detailed(c, false)) return;
  Header(c);
  Line l;
  if (c.code == kReqRuntimeInfo) {
    char sheet[kNameFieldSize];
    CopyNameField(c.block, layout_report::kStylesheet, sheet);
    if (sheet[0])
      l.Add("           + %s '%s'", Name(c.code), sheet);
    else
      l.Add("           + %s", Name(c.code));
  } else if (c.name && !IsMaintenance(c.code)) {
    l.Add("           + %s '%s'", Name(c.code), c.name);
  } else {
    l.Add("           + %s", Name(c.code));
  }
  Emit(c.flags, l);
}

void Reply(const Call &c, uint32_t rc, const void *value, uint32_t value_len, bool words_only) {
  if (!HasChannel(c.flags)) return;
  if (FailuresOnly(c)) {
    uint32_t shown = rc;
    if (rc == KST_OK && words_only)
      shown = Load32(c.block, layout_single::kSize) == 0 ? kWordsOnlyNotFound : KST_OK;
    else if (rc == KST_OK)
      return;
    Header(c);
    Line l1, l2;
    l1.Add("           + %s '%s'", Name(c.code), c.name ? c.name : "");
    l2.Add("           + Request failed, RC: %xh", shown);
    Emit(c.flags, l1);
    Emit(c.flags, l2);
    return;
  }
  if (!Detailed(c, true)) return;
  const bool layout_c = c.code == kReqRuntimeInfo;
  const uint32_t replyno =
      Load32(c.block, layout_c ? layout_report::kReplyNo : layout_single::kReplyNo);
  Line l;
  if (rc != KST_OK) {
    l.Add("%08x # Reply: Failed, RC %08xh", c.reqno, rc);
  } else if (layout_c) {
    l.Add("%08x # Reply: Schema %d Document %d, Request %08xh Reply %08xh", c.reqno,
          static_cast<int>(Load32(c.block, layout_report::kSize1)),
          static_cast<int>(Load32(c.block, layout_report::kSize2)), c.reqno, replyno);
  } else if (c.code == kReqWrite || c.code == kReqDelete || c.code == kReqPack ||
             c.code == kReqCopy) {
    l.Add("%08x # Reply: KRC_OK", c.reqno);
  } else {
    l.Add("%08x # Reply: Size %d Consumer %02d Attr %08xh LastWr %08xh, Request %08xh Reply %08xh",
          c.reqno, static_cast<int>(Load32(c.block, layout_single::kSize)),
          static_cast<int>(Load32(c.block, layout_single::kConsumer)),
          Load32(c.block, layout_single::kAttr), Load32(c.block, layout_single::kLastWr), c.reqno,
          replyno);
  }
  AddNumbersSuffix(l, c.reqno, replyno);
  Emit(c.flags, l);
  if (rc == KST_OK && c.code == kReqRead && value && value_len > 0)
    Dump(c.flags, static_cast<const uint8_t *>(value), value_len, false);
}

void MultiRequest(const Call &c, const uint8_t *blk, uint32_t len) {
  if (!HasChannel(c.flags) || !Detailed(c, false)) return;
  const uint32_t filter = Load32(c.status, status::kTraceName);
  bool headed = false;
  ForEachEntry(blk, len, [&](uint32_t, uint32_t o, const char *name) {
    if (!EntryPasses(filter, name)) return;
    if (!headed) {
      Header(c);
      Line l;
      l.Add("           + %s", Name(c.code));
      Emit(c.flags, l);
      headed = true;
    }
    Line l;
    const bool meta = TsMultiInfoOnly(blk + o);
    l.Add("%08x #     %s  %s", c.reqno, meta ? "Meta" : "Data", name);
    Emit(c.flags, l);
  });
  if (!headed && filter == 0) {
    // No entry to list: the request itself is still worth its two lines.
    Header(c);
    Line l;
    l.Add("           + %s", Name(c.code));
    Emit(c.flags, l);
  }
}

void MultiReply(const Call &c, uint32_t rc, const uint8_t *blk, uint32_t len, const uint8_t *data,
                uint32_t total, const uint8_t *wants, uint32_t count) {
  if (!HasChannel(c.flags)) return;
  if (FailuresOnly(c)) {
    bool headed = false;
    auto head = [&] {
      if (headed) return;
      Header(c);
      Line l;
      l.Add("           + %s", Name(c.code));
      Emit(c.flags, l);
      headed = true;
    };
    if (rc != KST_OK) {
      // The entries of a refused request carry no results of their own.
      head();
      Line l;
      l.Add("           + Request failed, RC: %xh", rc);
      Emit(c.flags, l);
      return;
    }
    ForEachEntry(blk, len, [&](uint32_t, uint32_t o, const char *name) {
      const uint32_t result = TsMultiGetReply(blk + o).result;
      if (result == KST_OK) return;
      head();
      Line l1, l2;
      l1.Add("           + %s", name);
      l2.Add("           +  Request failed, RC: %xh", result);
      Emit(c.flags, l1);
      Emit(c.flags, l2);
    });
    return;
  }
  if (!Detailed(c, true)) return;
  const uint32_t filter = Load32(c.status, status::kTraceName);
  const uint32_t replyno = Load32(c.block, layout_multi::kReplyNo);
  bool headed = false;
  auto head = [&] {
    if (headed) return;
    Line l;
    if (c.reqno == replyno)
      l.Add("%08x # +++ RequestNo = ReplyNo +++", c.reqno);
    else
      l.Add("%08x # +++ RequestNo (%08x) != ReplyNo (%08x) +++", c.reqno, c.reqno, replyno);
    Emit(c.flags, l);
    headed = true;
  };
  if (rc != KST_OK) {
    // A refused request has no entries to report; its result is shown so
    // that the failure is not silent.
    bool any = filter == 0;
    ForEachEntry(blk, len, [&](uint32_t, uint32_t, const char *name) {
      any = any || EntryPasses(filter, name);
    });
    if (!any) return;
    head();
    Line l;
    l.Add("%08x #       Failed, RC %08xh", c.reqno, rc);
    Emit(c.flags, l);
    return;
  }
  if (filter == 0) head();
  ForEachEntry(blk, len, [&](uint32_t i, uint32_t o, const char *name) {
    if (!EntryPasses(filter, name)) return;
    head();
    const TsMultiReply reply = TsMultiGetReply(blk + o);
    const uint32_t result = reply.result;
    const uint32_t size = reply.size;
    Line l1, l2;
    l1.Add("%08x # Retn for %s", c.reqno, name);
    if (result != KST_OK)
      l2.Add("%08x #       Failed, RC %08xh", c.reqno, result);
    else
      l2.Add("%08x #       Size %d Consumer %02d Attr %08xh LastWr %08xh", c.reqno,
             static_cast<int>(size), static_cast<int>(reply.consumer), reply.attr,
             reply.last_wr);
    Emit(c.flags, l1);
    Emit(c.flags, l2);
    if (!(c.flags & kDumpEntries) || result != KST_OK || size == 0 || !data) return;
    if (!wants || i >= count || !wants[i]) return;
    const uint32_t n = size < kDumpBytes ? size : kDumpBytes;
    const uint32_t at = reply.data_offset;
    if (static_cast<uint64_t>(at) + n > total) return;
    Dump(c.flags, data + at, n, true);
  });
}

}  // namespace krp::trace
