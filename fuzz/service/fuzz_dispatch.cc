// The host's dispatch of one request block, fed arbitrary blocks: whatever a
// local process writes into the request block (and rewrites between the
// pieces of a transfer) must get an answer or be dropped, never a crash, a
// leak or an access outside the block or the engine's buffers.
//
// The engine is a fake that keeps every contract of the store engine (sizes
// it reports, buffers it fills, buffers it allocates) but takes its answers
// from the input, so that the dispatch meets every size and result the real
// engine could give without files or state between inputs. The fake reads
// every byte the dispatch hands it, so a request that points it outside a
// buffer shows up under AddressSanitizer.
//
// Input: 8 bytes of engine behaviour (a size word, a result pick, flags),
// then a 16-bit length and that many bytes written at the block's start (the
// rest of the block is zero), then continuations: a byte n and n bytes
// written at the block's start each time the dispatch waits for the client's
// next piece. An exhausted input stands for a failed wait.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "krp_host.h"
#include "fuzz_input.h"
#include "protocol.h"

namespace {

using namespace krp::proto;

using Input = FuzzInput;

struct Behaviour {
  uint32_t size;  // object size, list size, text sizes, read-multiple total
  uint8_t result; // pick of the engine's result
  uint8_t flags;
  uint8_t pad[2];
} g_b;

void TouchName(const char *name) { FuzzTouch(name, strlen(name) + 1); }

uint32_t Result() {
  static const uint32_t kResults[] = {0, 0x370001, 87, 1, 0x370010, 8192, 5, 0x37000F};
  return kResults[g_b.result % 8];
}

// Sizes stay within a few pieces so that inputs run fast; the dispatch caps
// absurd sizes itself, and the fake reports one above the cap when flag 1
// is set to reach those checks.
uint32_t Size() {
  if (g_b.flags & 1) return static_cast<uint32_t>(kMaxTransfer) + 1;
  return g_b.size % (3 * layout_single::kPiece + 17);
}

uint32_t FakeRead(TsStore *, const char *name, void *buf, uint32_t *size, uint32_t *lw,
                  uint32_t *attr, uint32_t *consumer) {
  TouchName(name);
  const uint32_t rc = Result();
  if (rc != 0) return rc;
  const uint32_t n = Size();
  *lw = 1;
  *attr = 2;
  *consumer = 3;
  if (n > *size) {
    *size = n;
    return 4101;
  }
  memset(buf, 0x5A, n);
  *size = n;
  return 0;
}

uint32_t FakeWrite(TsStore *, const char *name, const void *data, uint32_t size, uint32_t,
                   uint32_t, uint32_t) {
  TouchName(name);
  FuzzTouch(data, size);
  return Result();
}

uint32_t FakeDelete(TsStore *, const char *name) {
  TouchName(name);
  return Result();
}

uint32_t FakeList(TsStore *, const char *prefix, void **out, uint32_t *out_size, int) {
  TouchName(prefix);
  const uint32_t rc = Result();
  if (rc != 0) return rc;
  const uint32_t n = g_b.size % (2 * layout_single::kPiece + 5);
  *out_size = n;
  if (out) {
    if (KstAllocMem(n + 1, 0, out, nullptr) != 0) return 8192;
    memset(*out, 0x11, n + 1);
  }
  return 0;
}

uint32_t FakeInfo(TsStore *, const char *name, TsObjectInfo *info) {
  TouchName(name);
  memset(info, 0x22, sizeof *info);
  return Result();
}

// The block's contract: 87 unless 16 <= data offset and data offset + 1 <
// capacity; 4101 with the total when the data does not fit.
uint32_t FakeReadMultiple(TsStore *, uint32_t capacity, void *buffer) {
  uint8_t *b = static_cast<uint8_t *>(buffer);
  const uint32_t off = TsMultiDataOffset(b);
  if (off < kTsMultiHeaderSize || static_cast<uint64_t>(off) + 1 >= capacity) return 87;
  FuzzTouch(b, capacity);
  const uint32_t rc = Result();
  if (rc != 0 && rc != 4101) return rc;
  const uint32_t total = (g_b.flags & 2) ? static_cast<uint32_t>(kMaxTransfer) : g_b.size % (layout_single::kPiece * 2);
  TsMultiSetTotal(b, total);
  if (static_cast<uint64_t>(off) + total + 1 > capacity) return 4101;
  memset(b + off, 0x33, total);
  return 0;
}

uint32_t FakePack(TsStore *) { return Result(); }

uint32_t FakeCopy(TsStore *, const char *target) {
  TouchName(target);
  return Result();
}

uint32_t FakeRuntimeInfo(TsStore *, char **schema, uint32_t *n1, char **doc, uint32_t *n2,
                         const char *sheet) {
  if (sheet) TouchName(sheet);
  const uint32_t rc = Result();
  if (rc != 0) return rc;
  *n1 = g_b.size % 70000;
  *n2 = (g_b.size >> 8) % 300000;
  void *a = nullptr, *b = nullptr;
  if (KstAllocMem(*n1 + 1, 0, &a, nullptr) != 0) return 8192;
  if (KstAllocMem(*n2 + 1, 0, &b, nullptr) != 0) {
    KstFreeMem(a, 0);
    return 8192;
  }
  memset(a, 'a', *n1 + 1);
  memset(b, 'b', *n2 + 1);
  *schema = static_cast<char *>(a);
  *doc = static_cast<char *>(b);
  return 0;
}

const KrpEngineOps kFake = {FakeRead,  FakeWrite,     FakeDelete,
                            FakeList,  FakeInfo,      FakeReadMultiple,
                            FakePack,  FakeCopy,      FakeRuntimeInfo};

uint8_t *g_block;
uint8_t *g_scratch;
uint8_t g_status[kStatusBlockSize];

bool NextPiece(void *arg) {
  Input *in = static_cast<Input *>(arg);
  uint8_t n = 0;
  if (!in->Take(&n, 1) || in->left < n) return false;
  in->Take(g_block, n);
  return true;
}

const std::string &Root() {
  static std::string root = [] {
    char templ[] = "/tmp/fuzz_dispatch-XXXXXX";
    const char *dir = mkdtemp(templ);
    return std::string(dir ? dir : "/tmp");
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!g_block) {
    g_block = static_cast<uint8_t *>(malloc(kRequestBlockSize));
    g_scratch = static_cast<uint8_t *>(malloc(kRequestBlockSize));
    setenv("KST_REGISTRY", (Root() + "/registry").c_str(), 1);
  }
  Input in{data, size};
  uint16_t head = 0;
  if (!in.Take(&g_b, sizeof g_b) || !in.Take(&head, 2)) return 0;
  memset(g_block, 0, kRequestBlockSize);
  const size_t n = head < in.left ? head : in.left;
  in.Take(g_block, n);

  KrpLibContext ctx{};
  ctx.status = g_status;
  std::string root = Root();
  ctx.root = root.data();
  KrpDispatchHarness h{&kFake, nullptr, NextPiece, &in};
  // A changed request found between two pieces is served next, as the
  // thread would; a few rounds are enough to cover it.
  for (int round = 0; round < 4; ++round) {
    if (KrpServeOneRequest(&ctx, g_block, g_scratch, &h) != 2) break;
  }
  return 0;
}
