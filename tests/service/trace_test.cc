// The request trace: which requests produce lines under which flags and
// filters, the line forms, the hex dump, and that names and values reach
// the log's format string only with every "%" doubled.
//
// The host runs in the test process; the debugger channel is captured
// through KST_DEBUG_OUTPUT and the log through the test logging library's
// TRACELIB_FILE, both in the test's private folder.
#include <sys/types.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"
#include "service_util.h"
#include "trace.h"
#include "ts_digest.h"

namespace {

using namespace svctest;

// Twenty bytes with a "%", a line end and a control byte: two dump lines.
const char kValue20[] = "Hello, 100% sure!\n\x01Z";
static_assert(sizeof kValue20 - 1 == 20);

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::string ExeName() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

uint32_t Tid() {
  uint32_t tid = 0;
  KstQueryThreadId(&tid);
  return tid;
}

// The first line of every traced request.
std::string HeaderLine(uint32_t reqno, pid_t pid, uint32_t tid) {
  char module[400], line[512];
  snprintf(module, sizeof module, "%s [P:%d]", ExeName().c_str(), static_cast<int>(pid));
  snprintf(line, sizeof line, "%08x # %-20s[T:%d]", reqno, module, static_cast<int>(tid));
  return line;
}

// Expected lines: "{H}" is the header of request `reqno` from this thread,
// "{R}" the request number.
std::vector<std::string> Expand(const std::vector<std::string> &want, uint32_t reqno) {
  char r[16];
  snprintf(r, sizeof r, "%08x", reqno);
  std::vector<std::string> out;
  for (std::string s : want) {
    if (s == "{H}") {
      out.push_back(HeaderLine(reqno, getpid(), Tid()));
      continue;
    }
    for (size_t at = s.find("{R}"); at != std::string::npos; at = s.find("{R}"))
      s.replace(at, 3, r);
    out.push_back(s);
  }
  return out;
}

uint32_t WriteValue(const char *name, const void *bytes, uint32_t n, uint32_t consumer = 7) {
  std::vector<uint8_t> copy(static_cast<const uint8_t *>(bytes),
                            static_cast<const uint8_t *>(bytes) + n);
  copy.push_back(0);
  return KrpStoreKtsWriteMt(0, name, copy.data(), n, 1000, 0, consumer);
}

// A read-multiple block asking for `names`; `info_only` entries ask for
// the words only.
std::vector<uint8_t> MultiBlock(const std::vector<std::string> &names,
                                const std::vector<bool> &info_only) {
  std::vector<uint8_t> blk(kTsMultiHeaderSize);
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t off = blk.size();
    const uint32_t n = static_cast<uint32_t>(names[i].size());
    blk.resize(off + TsMultiItemLength(n));
    TsMultiPutItem(blk.data() + off, names[i].c_str(), n, info_only[i]);
  }
  TsMultiBegin(blk.data(), static_cast<uint32_t>(names.size()), static_cast<uint32_t>(blk.size()));
  return blk;
}

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_ = env_.dir() + "/debug.txt";
    log_ = env_.dir() + "/log.txt";
    setenv("KST_DEBUG_OUTPUT", debug_.c_str(), 1);
    setenv("TRACELIB_FILE", log_.c_str(), 1);
    ASSERT_EQ(0u, host_.Start());
    ASSERT_EQ(0u, WriteValue("t.one", kValue20, 20));
    ASSERT_EQ(0u, WriteValue("t.two", "abc", 3, 1));
  }
  void TearDown() override {
    SetTrace(0);
    host_.Stop();
    unsetenv("KST_DEBUG_OUTPUT");
    unsetenv("TRACELIB_FILE");
  }

  void SetTrace(uint32_t flags, uint32_t process = 0, uint32_t name = 0, uint32_t thread = 0) {
    volatile uint8_t *s = MtStatusBlock();
    ASSERT_NE(nullptr, s);
    Store32(s, status::kTraceProcess, process);
    Store32(s, status::kTraceName, name);
    Store32(s, status::kTraceThread, thread);
    Store32(s, status::kTraceFlags, flags);
  }
  uint32_t LastRequestNo() { return StatusWord(status::kRequestCounter); }

  // The lines written to a channel since the last call.
  std::vector<std::string> Take(const std::string &path) {
    std::vector<std::string> lines = SplitLines(krptest::ReadFile(path));
    krptest::WriteFile(path, "");
    return lines;
  }
  std::vector<std::string> TakeDebug() { return Take(debug_); }
  std::vector<std::string> TakeLog() { return Take(log_); }

  uint32_t Read(const char *name, bool with_data = true) {
    void *data = nullptr;
    uint32_t size, lw, attr, consumer;
    uint32_t rc = KrpStoreKtsReadMt(0, name, with_data ? &data : nullptr, &size, &lw, &attr,
                                    &consumer);
    KstFreeMem(data, 0);
    return rc;
  }
  // "Size .. Consumer .. Attr ..h LastWr ..h" of a stored object.
  std::string Words(const char *name) {
    uint32_t size, lw, attr, consumer;
    SetTrace(0);
    EXPECT_EQ(0u, KrpStoreKtsReadMt(0, name, nullptr, &size, &lw, &attr, &consumer));
    char text[128];
    snprintf(text, sizeof text, "Size %d Consumer %02d Attr %08xh LastWr %08xh",
             static_cast<int>(size), static_cast<int>(consumer), attr, lw);
    return text;
  }

  krptest::TestEnv env_;
  Host host_;
  std::string debug_, log_;
};

// The dump of kValue20 as the debugger channel shows it.
const std::vector<std::string> kDump20 = {
    "           +  0000 48 65 6c 6c 6f 2c 20 31 - 30 30 25 20 73 75 72 65    Hello, 100% sure",
    "           +  0010 21 0a 01 5a " + std::string(41, ' ') + "!..Z",
};

TEST_F(Trace, FlagsSelectRequestKindsAndReplies) {
  const std::string words_one = Words("t.one");
  struct Case {
    const char *what;
    uint32_t flags;
    std::function<uint32_t()> call;
    std::vector<std::string> want;
  } cases[] = {
      {"read, debugger", 0x00028000, [&] { return Read("t.one"); },
       {"{H}", "           + Read 't.one'"}},
      {"read with reply and dump", 0x00028001, [&] { return Read("t.one"); },
       {"{H}", "           + Read 't.one'",
        "{R} # Reply: " + words_one +
            ", Request {R}h Reply {R}h +++ RequestNo = ReplyNo +++",
        kDump20[0], kDump20[1]}},
      {"read, words only: no dump", 0x00028001, [&] { return Read("t.one", false); },
       {"{H}", "           + Read 't.one'",
        "{R} # Reply: " + words_one +
            ", Request {R}h Reply {R}h +++ RequestNo = ReplyNo +++"}},
      {"channel bits alone", 0x00030000, [&] { return Read("t.one"); }, {}},
      {"debugger bit alone", 0x00020000, [&] { return Read("t.one"); }, {}},
      {"reply bit without its kind", 0x00020001, [&] { return Read("t.one"); }, {}},
      {"read bit does not cover writes", 0x00028001,
       [&] { return WriteValue("t.three", "x", 1); }, {}},
      {"write", 0x00024001, [&] { return WriteValue("t.three", "xyz", 3); },
       {"{H}", "           + Write 't.three'", "{R} # Reply: KRC_OK +++ RequestNo = ReplyNo +++"}},
      {"delete", 0x00022001, [&] { return KrpStoreKtsDeleteMt(0, "t.three"); },
       {"{H}", "           + Delete 't.three'",
        "{R} # Reply: KRC_OK +++ RequestNo = ReplyNo +++"}},
      {"get info failing", 0x00021001,
       [&] {
         TsObjectInfo info;
         return KrpStoreKtsGetObjectInfoMt(0, "t.none", &info) == 0x370001 ? 0u : 1u;
       },
       {"{H}", "           + Get info 't.none'",
        "{R} # Reply: Failed, RC 00370001h +++ RequestNo = ReplyNo +++"}},
      {"list objects, request only", 0x00020800,
       [&] {
         uint32_t size = 0;
         return KrpStoreKtsListObjectsMt(0, "t.", nullptr, &size, 0);
       },
       {"{H}", "           + List objects 't.'"}},
      {"pack", 0x00020011, [&] { return KrpStoreKtsPackMt(0); },
       {"{H}", "           + Pack store", "{R} # Reply: KRC_OK +++ RequestNo = ReplyNo +++"}},
      {"pack needs its own bit", 0x0003F801, [&] { return KrpStoreKtsPackMt(0); }, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetTrace(c.flags);
    TakeDebug();
    ASSERT_EQ(0u, c.call());
    EXPECT_EQ(Expand(c.want, LastRequestNo()), TakeDebug());
  }
}

TEST_F(Trace, RuntimeInfoTracesWithMaintenanceBitAndProcessFilterOnly) {
  SetTrace(0x00020011, static_cast<uint32_t>(getpid()), 0x12345678, Tid() + 1);
  TakeDebug();
  void *schema = nullptr, *doc = nullptr;
  uint32_t ns = 0, nd = 0;
  ASSERT_EQ(0u, KrpStoreKtsGetRuntimeInfoMt(0, &schema, &ns, &doc, &nd, nullptr));
  KstFreeMem(schema, 0);
  KstFreeMem(doc, 0);
  const std::string reply = "{R} # Reply: Schema " + std::to_string(ns) + " Document " +
                            std::to_string(nd) +
                            ", Request {R}h Reply {R}h +++ RequestNo = ReplyNo +++";
  EXPECT_EQ(Expand({"{H}", "           + Runtime info", reply}, LastRequestNo()), TakeDebug());

  // Another process id in the filter, or failures-only mode: silent.
  for (uint32_t flags : {0x00020011u, 0x10020011u}) {
    SetTrace(flags, flags == 0x00020011u ? static_cast<uint32_t>(getpid()) + 1 : 0);
    ASSERT_EQ(0u, KrpStoreKtsGetRuntimeInfoMt(0, &schema, &ns, &doc, &nd, nullptr));
    KstFreeMem(schema, 0);
    KstFreeMem(doc, 0);
    EXPECT_TRUE(TakeDebug().empty()) << std::hex << flags;
  }
}

TEST_F(Trace, NameFilterLimitsLinesToOneObject) {
  ASSERT_EQ(0xCBF43926u, TsCrc32("123456789", 9));  // the IEEE 802.3 CRC-32
  SetTrace(0x0003F800, 0, TsCrc32("t.one", 5));
  TakeDebug();
  ASSERT_EQ(0u, Read("t.two"));
  ASSERT_EQ(0u, WriteValue("t.two", "abd", 3, 1));
  TsObjectInfo info;
  ASSERT_EQ(0u, KrpStoreKtsGetObjectInfoMt(0, "t.two", &info));
  uint32_t size = 0;
  ASSERT_EQ(0u, KrpStoreKtsListObjectsMt(0, "t.", nullptr, &size, 0));
  EXPECT_TRUE(TakeDebug().empty());

  ASSERT_EQ(0u, Read("t.one"));
  EXPECT_EQ(Expand({"{H}", "           + Read 't.one'"}, LastRequestNo()), TakeDebug());
  ASSERT_EQ(0u, KrpStoreKtsGetObjectInfoMt(0, "t.one", &info));
  EXPECT_EQ(Expand({"{H}", "           + Get info 't.one'"}, LastRequestNo()), TakeDebug());
  ASSERT_EQ(0u, WriteValue("t.one", kValue20, 20));
  EXPECT_EQ(Expand({"{H}", "           + Write 't.one'"}, LastRequestNo()), TakeDebug());

  // Read multiple: only the matching entry, with the two request lines;
  // none at all when no entry matches.
  std::vector<uint8_t> blk = MultiBlock({"t.two", "t.one"}, {false, true});
  void *data = nullptr;
  uint32_t data_size = 0;
  ASSERT_EQ(0u, KrpStoreKtsReadMultipleMt(0, blk.data(), &data, &data_size));
  KstFreeMem(data, 0);
  EXPECT_EQ(Expand({"{H}", "           + Read multiple", "{R} #     Meta  t.one"},
                   LastRequestNo()),
            TakeDebug());
  blk = MultiBlock({"t.two"}, {false});
  ASSERT_EQ(0u, KrpStoreKtsReadMultipleMt(0, blk.data(), &data, &data_size));
  KstFreeMem(data, 0);
  EXPECT_TRUE(TakeDebug().empty());
}

TEST_F(Trace, ProcessAndThreadFilters) {
  // Thread filter: the main thread's id; a read from another thread is not
  // traced, the main thread's is.
  SetTrace(0x00028000, 0, 0, Tid());
  TakeDebug();
  uint32_t rc = 1;
  std::thread t([&] { rc = Read("t.one"); });
  t.join();
  ASSERT_EQ(0u, rc);
  EXPECT_TRUE(TakeDebug().empty());
  ASSERT_EQ(0u, Read("t.one"));
  EXPECT_EQ(Expand({"{H}", "           + Read 't.one'"}, LastRequestNo()), TakeDebug());

  // Process filter: this process; a client process is silent until the
  // filter is cleared, and then labels its lines with its own ids.
  SetTrace(0x00028000, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(0, krptest::WaitChild(krptest::SpawnRole("trace_read", {"t.one"})));
  EXPECT_TRUE(TakeDebug().empty());
  SetTrace(0x00028000);
  pid_t pid = krptest::SpawnRole("trace_read", {"t.one"});
  ASSERT_EQ(0, krptest::WaitChild(pid));
  EXPECT_EQ((std::vector<std::string>{HeaderLine(LastRequestNo(), pid, static_cast<uint32_t>(pid)),
                                      "           + Read 't.one'"}),
            TakeDebug());
}

KRP_CHILD_ROLE_FN(trace_read) {
  uint32_t size, lw, attr;
  void *data = nullptr;
  ROLE_CHECK(KrpStoreKtsReadMt(0, args.at(0).c_str(), &data, &size, &lw, &attr, nullptr) == 0, 10);
  KstFreeMem(data, 0);
  return 0;
}

// The log gets the same lines as the debugger channel: the "%" of a name
// or of a dumped byte arrives once, and "%n" / "%s" in a name are printed,
// never interpreted.
TEST_F(Trace, PercentReachesTheLogAsData) {
  const char *name = "t.%n%s%d%%x%";
  ASSERT_EQ(0u, WriteValue(name, kValue20, 20));
  SetTrace(0x00038001);
  TakeDebug();
  TakeLog();
  ASSERT_EQ(0u, Read(name));
  const std::vector<std::string> want = Expand(
      {"{H}", std::string("           + Read '") + name + "'"}, LastRequestNo());
  const std::vector<std::string> debug = TakeDebug();
  ASSERT_EQ(5u, debug.size());
  EXPECT_EQ(want[0], debug[0]);
  EXPECT_EQ(want[1], debug[1]);
  EXPECT_EQ(kDump20[0], debug[3]);
  EXPECT_EQ(kDump20[1], debug[4]);
  // Other log lines (the host's) may stand between; the trace's lines come
  // in order and identical.
  const std::vector<std::string> log = TakeLog();
  size_t at = 0;
  for (const std::string &line : log)
    if (at < debug.size() && line == debug[at]) ++at;
  EXPECT_EQ(debug.size(), at) << krptest::ReadFile(log_);
}

TEST(TraceDoublePercent, DoublesEachPercentOnceAndCutsWhole) {
  struct Case {
    const char *in;
    uint32_t size;
    const char *want;
  } cases[] = {
      {"", 8, ""},
      {"plain", 8, "plain"},
      {"%", 8, "%%"},
      {"a%n%s", 16, "a%%n%%s"},
      {"%%", 16, "%%%%"},
      {"ab%", 4, "ab"},     // "%%" does not fit: cut before it, never half
      {"abcdef", 4, "abc"},
  };
  for (const Case &c : cases) {
    char out[32];
    memset(out, 'X', sizeof out);
    krp::trace::DoublePercent(c.in, out, c.size);
    EXPECT_STREQ(c.want, out) << c.in;
  }
}

TEST_F(Trace, ReadMultipleEntriesAndDumps) {
  const std::string words_one = Words("t.one"), words_two = Words("t.two");
  // "t" names a container: its entry fails.
  std::vector<uint8_t> blk = MultiBlock({"t.one", "t.two", "t"}, {false, true, false});
  SetTrace(0x00028003);
  TakeDebug();
  void *data = nullptr;
  uint32_t data_size = 0;
  ASSERT_EQ(0u, KrpStoreKtsReadMultipleMt(0, blk.data(), &data, &data_size));
  KstFreeMem(data, 0);
  const uint32_t third = kTsMultiHeaderSize + 2 * TsMultiItemLength(5);  // behind two "t.???"
  ASSERT_EQ(0x370010u, TsMultiGetReply(blk.data() + third).result);
  EXPECT_EQ(Expand({"{H}", "           + Read multiple", "{R} #     Data  t.one",
                    "{R} #     Meta  t.two", "{R} #     Data  t",
                    "{R} # +++ RequestNo = ReplyNo +++", "{R} # Retn for t.one",
                    "{R} #       " + words_one, kDump20[0], kDump20[1], "{R} # Retn for t.two",
                    "{R} #       " + words_two, "{R} # Retn for t",
                    "{R} #       Failed, RC 00370010h"},
                   LastRequestNo()),
            TakeDebug());
}

TEST_F(Trace, FailuresOnlyShortForm) {
  SetTrace(0x10028000, static_cast<uint32_t>(getpid()) + 1, 0x1, Tid() + 1);
  TakeDebug();
  // A successful read with data: nothing.
  ASSERT_EQ(0u, Read("t.one"));
  EXPECT_TRUE(TakeDebug().empty());
  // A read of the words only is always shown; its RC says whether the
  // object was there (the filters are not consulted).
  ASSERT_EQ(0u, Read("t.one", false));
  EXPECT_EQ(Expand({"{H}", "           + Read 't.one'", "           + Request failed, RC: 0h"},
                   LastRequestNo()),
            TakeDebug());
  ASSERT_EQ(0u, Read("t.none", false));
  EXPECT_EQ(Expand({"{H}", "           + Read 't.none'",
                    "           + Request failed, RC: 370001h"},
                   LastRequestNo()),
            TakeDebug());
  // A failing read ("t" is a container).
  ASSERT_EQ(0x370010u, Read("t"));
  EXPECT_EQ(Expand({"{H}", "           + Read 't'", "           + Request failed, RC: 370010h"},
                   LastRequestNo()),
            TakeDebug());
  // Read multiple: the failed entries only.
  std::vector<uint8_t> blk = MultiBlock({"t.one", "t", "t.none"}, {false, false, false});
  void *data = nullptr;
  uint32_t data_size = 0;
  ASSERT_EQ(0u, KrpStoreKtsReadMultipleMt(0, blk.data(), &data, &data_size));
  KstFreeMem(data, 0);
  EXPECT_EQ(Expand({"{H}", "           + Read multiple", "           + t",
                    "           +  Request failed, RC: 370010h"},
                   LastRequestNo()),
            TakeDebug());
  // Other kinds need their bit: a failing Get info stays silent under the
  // Read bit, and is shown with its own.
  TsObjectInfo info;
  ASSERT_EQ(0x370001u, KrpStoreKtsGetObjectInfoMt(0, "t.none", &info));
  EXPECT_TRUE(TakeDebug().empty());
  SetTrace(0x10021000);
  ASSERT_EQ(0x370001u, KrpStoreKtsGetObjectInfoMt(0, "t.none", &info));
  EXPECT_EQ(Expand({"{H}", "           + Get info 't.none'",
                    "           + Request failed, RC: 370001h"},
                   LastRequestNo()),
            TakeDebug());
}

// The debugger channel appends each line whole: threads of two processes
// writing at once never split each other's lines (long lines included).
KRP_CHILD_ROLE_FN(debug_lines) {
  const std::string line(700, args.at(0)[0]);
  for (int i = 0; i < 200; ++i) KstOutputDebugString(line.c_str());
  return 0;
}

TEST(TraceDebugChannel, LinesOfThreadsAndProcessesStayWhole) {
  krptest::TestEnv env;
  const std::string file = env.dir() + "/debug.txt";
  setenv("KST_DEBUG_OUTPUT", file.c_str(), 1);
  pid_t pid = krptest::SpawnRole("debug_lines", {"p"});
  std::vector<std::thread> threads;
  for (char ch : {'a', 'b', 'c'}) {
    threads.emplace_back([ch] {
      const std::string line(ch == 'a' ? 10 : 600, ch);
      for (int i = 0; i < 200; ++i) KstOutputDebugString(line.c_str());
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(0, krptest::WaitChild(pid));
  unsetenv("KST_DEBUG_OUTPUT");
  std::map<std::string, int> seen;
  for (const std::string &line : SplitLines(krptest::ReadFile(file))) ++seen[line];
  EXPECT_EQ((std::map<std::string, int>{{std::string(10, 'a'), 200},
                                        {std::string(600, 'b'), 200},
                                        {std::string(600, 'c'), 200},
                                        {std::string(700, 'p'), 200}}),
            seen);
}

}  // namespace
