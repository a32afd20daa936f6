// The request trace: text lines that describe the requests a client sends
// to the store server and the replies it gets.
//
// Design note
// -----------
// Switching. The trace follows four words of the status block (protocol.h,
// offsets 20..32): flags, process filter, name filter (a CRC-32), thread
// filter. No library function writes them; an operator's tool does, and
// every client of every process follows them from its next request on.
// A client call loads the flags word once, with one relaxed load, right
// after it got its request number; 0 (the usual case) costs nothing more.
// Everything below runs only when that word is not 0.
//
// What is traced when (all lines of a request carry its request number):
//   - request lines: after the request has been written into the block and
//     before the engage event is set, once per request (a retried attempt
//     writes the same request again and is not traced again);
//   - reply lines: once the call has judged the reply (accepted, refused,
//     or three attempts without one), with the call's final result, while
//     the call still owns the request mutex, so the header it reads from
//     the block is its own.
// A call that never got the request mutex (and so no request number) is
// not traced.
//
// Filters. Detailed mode, for a request kind with bit B (kRead etc.), is
// checked once with mask B for the request lines and once with B | kReplies
// for the reply lines: the failures-only bit off, every bit of the mask on,
// the process filter 0 or this process's id, the thread filter 0 or the
// calling thread's kernel id, and the name filter 0 or the CRC-32 of the
// object name (a read-multiple request has no object name: its entries are
// filtered one by one, and its header lines appear only together with a
// matching entry). Pack store, Copy store and runtime information (code 9,
// printed as "Runtime info") use bit kMaintenance and the process filter
// only. Failures-only mode (kFailuresOnly plus the kind bit) consults no
// filter, writes no request lines, and traces a reply whose result is not
// 0 in the short form (also a Read that asked for the words only, whose
// result is then shown as 0x370001 when Size is 0); the maintenance
// requests have no failures-only form and are silent in that mode.
//
// Channels. kToDebugger sends the raw line to KstOutputDebugString; kToLog
// hands it to the log as the format string with every "%" doubled once, at
// that hand-off only. Names (object, module, entry names) and dumped bytes
// enter a line only as data ("%s" arguments or copied characters), never
// as part of a format, so a name holding "%n" is printed, not executed.
// Without either channel bit nothing is built.
//
// Invariants:
// 1. The trace reads nothing outside the request block's fixed fields, the
//    caller's own read-multiple block (walked with every item's mark,
//    length and name checked against the block's length) and the data the
//    call received (every offset and size checked against its length).
// 2. The trace never changes a result, the block or the caller's buffers:
//    a value is unscrambled in a private copy for the hex dump.
// 3. Lines are built in fixed buffers: no allocation, nothing thrown.
#ifndef KRP_TS_MTCLIENT_TRACE_H
#define KRP_TS_MTCLIENT_TRACE_H

#include <cstdint>

namespace krp::trace {

// Trace flag bits (status block offset 20).
constexpr uint32_t kReplies = 0x00000001;      // also trace replies
constexpr uint32_t kDumpEntries = 0x00000002;  // dump read-multiple values
constexpr uint32_t kMaintenance = 0x00000010;  // pack, copy, runtime info
constexpr uint32_t kList = 0x00000800;
constexpr uint32_t kGetInfo = 0x00001000;
constexpr uint32_t kDelete = 0x00002000;
constexpr uint32_t kWrite = 0x00004000;
constexpr uint32_t kRead = 0x00008000;  // Read and Read multiple
constexpr uint32_t kToLog = 0x00010000;
constexpr uint32_t kToDebugger = 0x00020000;
constexpr uint32_t kFailuresOnly = 0x10000000;

// One traced request: what the client call knows about it.
struct Call {
  const volatile uint8_t *status;  // the status block (filter words)
  const volatile uint8_t *block;   // the request block, owned by the caller
  uint32_t flags;                  // the flags word, loaded once
  uint32_t code;                   // request code
  uint32_t reqno;                  // request number
  const char *name;                // object name or pattern; null: none
};

// Request lines of layout A (codes 1-5, 7, 8) and of code 9.
void Request(const Call &c);
// Reply lines of layout A and of code 9. `rc` is the call's result.
// `value` and `value_len`: the value a Read received, unscrambled (null
// when none); `words_only`: a Read made without a data pointer.
void Reply(const Call &c, uint32_t rc, const void *value, uint32_t value_len, bool words_only);

// Request lines of a read multiple: `blk` is the caller's block as sent
// (`len` bytes, its item area).
void MultiRequest(const Call &c, const uint8_t *blk, uint32_t len);
// Reply lines of a read multiple: `blk` is the caller's block as filled in
// by the reply (`len` bytes), `data` the data of all items as received,
// still scrambled (`total` bytes), `wants[i]` whether item i asked for its
// value (`count` items; may be null when count is 0).
void MultiReply(const Call &c, uint32_t rc, const uint8_t *blk, uint32_t len, const uint8_t *data,
                uint32_t total, const uint8_t *wants, uint32_t count);

// Doubles every "%" of `in` into out[size] (always terminated; cut at a
// whole character when it does not fit). The form a line takes when it is
// handed to the log as a format string.
void DoublePercent(const char *in, char *out, uint32_t size);

}  // namespace krp::trace

#endif  // KRP_TS_MTCLIENT_TRACE_H
