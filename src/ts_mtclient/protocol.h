// The store service's shared-memory blocks: names, byte layouts, request
// codes and piece sizes. The host side (server thread), the client calls and
// the request trace all read and write through the helpers below; nothing
// else touches these offsets.
//
// Every number is a 32-bit little-endian unsigned word; no field carries a
// pointer. Both blocks are written by any local process, so whoever reads a
// field copies it out once (Load32) and checks it before using it.
//
// Status block "KRPDLL_001_MEMBLOCK" (140 bytes). Created by the first
// process that starts or connects (create-or-open); it lives while some
// process holds it; a crashed holder leaves nothing behind but the values
// it wrote, which the next start rewrites.
//
//   off  size  field
//     0     4  MT status: 15 starting, 0 own process only, 1 every process,
//              10 cleaning house
//     4     4  server process id; 0xFFFFFFFF = no server
//     8     4  change feed: sleepers, the number of threads asleep on the
//              sequence word (publishers wake them only when it is not 0)
//    12     4  last-write time (seconds since 1970, UTC)
//    16     4  request counter
//    20     4  trace flags
//    24     4  trace process filter
//    28     4  trace name filter
//    32     4  trace thread filter
//    36     4  request block high-water mark: every byte of the request
//              block at or past this offset has been 0 since the block was
//              last cleared (below)
//    40     4  change feed: host generation (new for every host start)
//    44     4  change feed: sequence (advanced once per published name)
//    48    92  change feed: ring of 23 words, the word of sequence k at
//              48 + (k % 23) * 4: bits 31-24 = k & 0xFF (tag), bits 23-0 =
//              hash of a changed name, 0xFFFFFF = anything may have changed
//              (change_feed.h publishes and checks it)
//
// Wake block "krp_no1_ts_wake" (16 + 65536 * 8 = 524304 bytes). Created (or
// opened) by the host at its start, opened by waiters and direct writers on
// first need; lives while some process maps it (wake_block.h wakes through
// it).
//
//   off  size  field
//     0     4  reserved, 0
//     4     4  all: advanced by every "anything" publication and host start
//     8     8  reserved, 0
//    16  65536 * 8  buckets, bucket b at 16 + b * 8 for the name hashes
//              whose low 16 bits are b (1,000 waiters with two names each
//              share a bucket with 3 % of the other names' publications):
//              +0 bucket word: bits 31-16 publications into the bucket,
//                 bits 15-0 the upper 8 bits of the last published hash
//              +4 sleepers on the bucket word
//
// Request block "krp_no1_ts_shared" (0x4FFFF = 327679 bytes). Created by the
// server thread, opened by clients; one request at a time under the mutex
// "krp_no1_ts_mux".
//
// Layout A (codes 1-5, 7, 8):
//     0     4  request code
//     4   260  name, zero-terminated (byte 263 always 0)
//   264     4  Size        268  LastWr     272  Attr     276  Consumer
//   280     4  result (0xFEFEFEFE = not processed)
//   284     4  request number
//   288     4  reply number
//   292 327387 data
// Layout B (code 6, read multiple):
//     0     4  request code     4  result     8  request number
//    12     4  reply number    16  Size (block length / payload length)
//    20 327659 data
// Layout C (code 9, runtime information):
//     0     4  request code
//     4   260  stylesheet reference, zero-terminated (empty = none)
//   264     4  result   268  request number   272  reply number
//   276     4  size of the first text   280  size of the second text
//   284 327395 data (first text, then the second directly behind it)
#ifndef KRP_TS_MTCLIENT_PROTOCOL_H
#define KRP_TS_MTCLIENT_PROTOCOL_H

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>

#include "krplib.h"  // the result codes (KRP_ERR_NAME_TOO_LONG for long names)

namespace krp::proto {

// ---- names of the service's kernel objects -------------------------------
constexpr const char kStatusBlockName[] = "KRPDLL_001_MEMBLOCK";
constexpr const char kThreadMutexName[] = "TS_MUX_THREAD";
constexpr const char kRequestMutexName[] = "krp_no1_ts_mux";
constexpr const char kEngageEventName[] = "krp_no1_ts_engage";
constexpr const char kReturnEventName[] = "krp_no1_ts_return";
constexpr const char kRequestBlockName[] = "krp_no1_ts_shared";

// ---- status block -----------------------------------------------------------
constexpr uint32_t kStatusBlockSize = 140;
namespace status {
constexpr uint32_t kMtStatus = 0;
constexpr uint32_t kServerPid = 4;
constexpr uint32_t kFeedSleepers = 8;
constexpr uint32_t kLastWrite = 12;
constexpr uint32_t kRequestCounter = 16;
constexpr uint32_t kTraceFlags = 20;
constexpr uint32_t kTraceProcess = 24;
constexpr uint32_t kTraceName = 28;
constexpr uint32_t kTraceThread = 32;
constexpr uint32_t kRequestHighWater = 36;
constexpr uint32_t kFeedGeneration = 40;
constexpr uint32_t kFeedSequence = 44;
constexpr uint32_t kFeedRing = 48;
constexpr uint32_t kFeedSlots = 23;
static_assert(kFeedRing + kFeedSlots * 4 == kStatusBlockSize);
}  // namespace status

// ---- wake block ---------------------------------------------------------------
constexpr const char kWakeBlockName[] = "krp_no1_ts_wake";
namespace wake {
constexpr uint32_t kAll = 4;
constexpr uint32_t kBuckets = 16;
constexpr uint32_t kBucketBits = 16;
constexpr uint32_t kBucketCount = 1u << kBucketBits;
constexpr uint32_t kBucketSize = 8;
constexpr uint32_t kBucketSleepers = 4;  // within a bucket
constexpr uint32_t kBlockSize = kBuckets + kBucketCount * kBucketSize;
}  // namespace wake

enum MtStatus : uint32_t {
  kMtOwnProcess = 0,
  kMtAllProcesses = 1,
  kMtCleaningHouse = 10,
  kMtStarting = 15,
};
constexpr uint32_t kNoServer = 0xFFFFFFFFu;

// ---- request block ---------------------------------------------------------
constexpr uint32_t kRequestBlockSize = 0x4FFFF;
constexpr uint32_t kNameFieldSize = 260;
constexpr uint32_t kNotProcessed = 0xFEFEFEFEu;

enum RequestCode : uint32_t {
  kReqInvalid = 0,
  kReqRead = 1,
  kReqWrite = 2,
  kReqDelete = 3,
  kReqListObjects = 4,
  kReqGetInfo = 5,
  kReqReadMultiple = 6,
  kReqPack = 7,
  kReqCopy = 8,
  kReqRuntimeInfo = 9,
};

// The high-water mark. Whoever writes bytes into the request block past its
// request header (a client its request data, the server its reply) first
// raises the mark in the status block to the end of what it writes, so the
// mark also covers a writer killed half way. A Write, once accepted, clears
// the block up to the mark (at least its own header and data) and lowers
// the mark to 0 again: the block is all zero after every Write without
// clearing 320 KB for each. Everyone who raises or lowers it owns the
// request mutex or serves the request of its owner; the compare-and-swap
// keeps a server still busy with an abandoned request from losing a raise.
// Both blocks start cleared (mark 0) when a host starts.
//
// Layout A: one object per request (codes 1-5, 7, 8).
namespace layout_single {
constexpr uint32_t kCode = 0;
constexpr uint32_t kName = 4;
constexpr uint32_t kSize = 264;
constexpr uint32_t kLastWr = 268;
constexpr uint32_t kAttr = 272;
constexpr uint32_t kConsumer = 276;
constexpr uint32_t kResult = 280;
constexpr uint32_t kRequestNo = 284;
constexpr uint32_t kReplyNo = 288;
constexpr uint32_t kData = 292;
constexpr uint32_t kHeaderSize = kData;
constexpr uint32_t kPiece = 327387;
static_assert(kName + kNameFieldSize == kSize);
static_assert(kData + kPiece == kRequestBlockSize);
}  // namespace layout_single

// Layout B: read multiple (code 6).
namespace layout_multi {
constexpr uint32_t kCode = 0;
constexpr uint32_t kResult = 4;
constexpr uint32_t kRequestNo = 8;
constexpr uint32_t kReplyNo = 12;
constexpr uint32_t kSize = 16;
constexpr uint32_t kData = 20;
constexpr uint32_t kHeaderSize = kData;
constexpr uint32_t kPiece = 327659;
static_assert(kData + kPiece == kRequestBlockSize);
}  // namespace layout_multi

// Layout C: runtime information (code 9).
namespace layout_report {
constexpr uint32_t kCode = 0;
constexpr uint32_t kStylesheet = 4;
constexpr uint32_t kResult = 264;
constexpr uint32_t kRequestNo = 268;
constexpr uint32_t kReplyNo = 272;
constexpr uint32_t kSize1 = 276;
constexpr uint32_t kSize2 = 280;
constexpr uint32_t kData = 284;
constexpr uint32_t kDataSize = 327395;
// The two texts together stay below this many bytes.
constexpr uint32_t kTextLimit = 327392;
static_assert(kStylesheet + kNameFieldSize == kResult);
static_assert(kData + kDataSize == kRequestBlockSize);
}  // namespace layout_report

// ---- limits and time-outs ---------------------------------------------------
// Largest object either side moves through the block. Sizes read from the
// block are widened to 64 bits and checked against this before anything is
// allocated or copied, so "size + 1" never wraps and a forged size cannot
// make the host allocate gigabytes.
constexpr uint64_t kMaxTransfer = 0x40000000u;
// Request mutex, reply and piece waits (milliseconds).
constexpr uint32_t kMutexWaitMs = 15000;
constexpr uint32_t kReplyWaitMs = 15000;
constexpr uint32_t kPieceWaitMs = 15000;

// Number of exchanges for a payload of n bytes in pieces of `piece` bytes
// when n is larger than one piece: floor(n / piece) + 1. The cursor
// advances by a full piece while more than a piece remains, otherwise the
// rest is copied at the current offset (so an exact multiple sends its last
// piece twice, to the same place). Both sides walk the same sequence.
inline uint64_t PieceCount(uint64_t n, uint32_t piece) { return n / piece + 1; }
struct PieceCursor {
  uint64_t total, off;
  uint32_t piece;
  // The span of the next piece; advances afterwards when it was a full one.
  void Next(uint64_t *at, uint32_t *len) {
    uint64_t rest = total - off;
    *at = off;
    if (rest > piece) {
      *len = piece;
      off += piece;
    } else {
      *len = static_cast<uint32_t>(rest);
    }
  }
};

// The name the request trace prints for a code ("" for code 9 and unknown
// codes; the trace words code 9 itself).
inline const char *RequestName(uint32_t code) {
  static const char *const kNames[] = {"Invalid",       "Read",       "Write",
                                       "Delete",        "List objects", "Get info",
                                       "Read multiple", "Pack store", "Copy store"};
  return code < sizeof kNames / sizeof kNames[0] ? kNames[code] : "";
}

// ---- access helpers -----------------------------------------------------------
// Little-endian loads and stores at a byte offset. The blocks are shared with
// other processes and other threads: each load reads the word once (a copy
// the caller checks). Every field of both blocks is 4-aligned and the
// mappings are page-aligned, so a field is one aligned 32-bit word, read and
// written whole with a relaxed atomic access: a reader never sees half a
// word, and no access is a data race. An unaligned address (a field inside a
// caller's read-multiple block, which is private memory) is read byte by byte.
static_assert(std::endian::native == std::endian::little,
              "the blocks are little-endian and read as native words");
inline uint32_t Load32(const volatile void *base, uint32_t off,
                       std::memory_order order = std::memory_order_relaxed) {
  const volatile uint8_t *p = static_cast<const volatile uint8_t *>(base) + off;
  if ((reinterpret_cast<uintptr_t>(p) & 3) == 0) {
    auto *w = const_cast<uint32_t *>(reinterpret_cast<const volatile uint32_t *>(p));
    return std::atomic_ref<uint32_t>(*w).load(order);
  }
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void Store32(volatile void *base, uint32_t off, uint32_t v,
                    std::memory_order order = std::memory_order_relaxed) {
  volatile uint8_t *p = static_cast<volatile uint8_t *>(base) + off;
  if ((reinterpret_cast<uintptr_t>(p) & 3) == 0) {
    auto *w = const_cast<uint32_t *>(reinterpret_cast<volatile uint32_t *>(p));
    std::atomic_ref<uint32_t>(*w).store(v, order);
    return;
  }
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// True when the aligned word still holds `expected`. A compare-and-swap that
// writes back the same value, with release order: the copies the caller
// made before it cannot drift past the check (the second read of a
// sequence word).
inline bool Recheck32(volatile void *base, uint32_t off, uint32_t expected) {
  auto *w = const_cast<uint32_t *>(
      reinterpret_cast<volatile uint32_t *>(static_cast<volatile uint8_t *>(base) + off));
  return std::atomic_ref<uint32_t>(*w).compare_exchange_strong(
      expected, expected, std::memory_order_acq_rel, std::memory_order_acquire);
}

// Raises the request block's high-water mark in `status` to `end` (capped
// at the block's size) unless it is already there. One load when it is.
inline void RaiseRequestHighWater(volatile void *status, uint64_t end) {
  const uint32_t want = end < kRequestBlockSize ? static_cast<uint32_t>(end) : kRequestBlockSize;
  auto *w = const_cast<uint32_t *>(reinterpret_cast<volatile uint32_t *>(
      static_cast<volatile uint8_t *>(status) + status::kRequestHighWater));
  std::atomic_ref<uint32_t> mark(*w);
  uint32_t cur = mark.load(std::memory_order_relaxed);
  // Relaxed: the mark orders nothing; the request mutex and the events
  // order the writes it describes.
  while (cur < want &&
         !mark.compare_exchange_weak(cur, want, std::memory_order_relaxed,
                                     std::memory_order_relaxed)) {
  }
}
// The mark, and its reset to 0 after the block was cleared up to `seen`
// (left alone when someone raised it meanwhile).
// The word is written by any local process, so it is capped at the request
// block's size: a scribbled mark clears the whole block, never beyond it.
inline uint32_t RequestHighWater(const volatile void *status) {
  const uint32_t mark = Load32(status, status::kRequestHighWater);
  return mark < kRequestBlockSize ? mark : kRequestBlockSize;
}
inline void ResetRequestHighWater(volatile void *status, uint32_t seen) {
  auto *w = const_cast<uint32_t *>(reinterpret_cast<volatile uint32_t *>(
      static_cast<volatile uint8_t *>(status) + status::kRequestHighWater));
  std::atomic_ref<uint32_t>(*w).compare_exchange_strong(seen, 0, std::memory_order_relaxed,
                                                        std::memory_order_relaxed);
}

// Replaces the aligned word with `desired` only when it still holds
// `expected`; true when it did. For a word that others may change at the
// same time (the host re-asserting a status word never undoes a change
// made after it looked).
inline bool Replace32(volatile void *base, uint32_t off, uint32_t expected, uint32_t desired) {
  auto *w = const_cast<uint32_t *>(
      reinterpret_cast<volatile uint32_t *>(static_cast<volatile uint8_t *>(base) + off));
  return std::atomic_ref<uint32_t>(*w).compare_exchange_strong(
      expected, desired, std::memory_order_relaxed, std::memory_order_relaxed);
}

// Copies a name field out of the block into out[kNameFieldSize] up to and
// including its terminator, forcing one inside the field; out's bytes after
// the terminator are left as they were. Returns the name's length, or kNameFieldSize
// when the field held no terminator before its last byte (a name of 260
// characters or more, which callers refuse).
inline uint32_t CopyNameField(const volatile void *base, uint32_t off, char *out) {
  const volatile char *p = static_cast<const volatile char *>(base) + off;
  // Stops at the terminator: the bytes after it are neither read nor
  // written (a short name touches one or two cache lines of the block, not
  // the whole field, which the writing process holds in its own cache).
  for (uint32_t i = 0; i < kNameFieldSize; ++i) {
    out[i] = p[i];
    if (out[i] == '\0') return i;
  }
  out[kNameFieldSize - 1] = '\0';
  return kNameFieldSize;
}

}  // namespace krp::proto

#endif  // KRP_TS_MTCLIENT_PROTOCOL_H
