// The host's dispatch of one request block, driven in-process through
// KrpServeOneRequest over an engine of the test's own: replies the real
// engine cannot easily be made to give.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "krp_host.h"
#include "platform.h"
#include "protocol.h"
#include "test_support.h"

namespace {

using namespace krp::proto;

// Sizes of the two runtime texts the fake engine hands out.
uint32_t g_schema_size, g_doc_size;

uint32_t FakeRuntimeInfo(TsStore *, char **schema, uint32_t *n1, char **doc, uint32_t *n2,
                         const char *) {
  void *a = nullptr, *b = nullptr;
  if (KstAllocMem(g_schema_size + 1, 0, &a, nullptr) ||
      KstAllocMem(g_doc_size + 1, 0, &b, nullptr)) {
    KstFreeMem(a, 0);
    return 8192;
  }
  memset(a, 's', g_schema_size + 1);
  memset(b, 'd', g_doc_size + 1);
  *schema = static_cast<char *>(a);
  *doc = static_cast<char *>(b);
  *n1 = g_schema_size;
  *n2 = g_doc_size;
  return 0;
}

struct Dispatch {
  std::vector<uint8_t> block = std::vector<uint8_t>(kRequestBlockSize, 0);
  std::vector<uint8_t> scratch = std::vector<uint8_t>(kRequestBlockSize, 0);
  uint8_t status[kStatusBlockSize] = {};
  KrpEngineOps ops = *KrpStoreEngine();

  uint32_t RuntimeInfo() {
    memset(block.data(), 0, layout_report::kData);
    Store32(block.data(), layout_report::kCode, kReqRuntimeInfo);
    Store32(block.data(), layout_report::kResult, kNotProcessed);
    Store32(block.data(), layout_report::kRequestNo, 77);
    KrpLibContext ctx{};
    ctx.status = status;
    KrpDispatchHarness h{&ops, nullptr, nullptr, nullptr};
    EXPECT_EQ(0u, KrpServeOneRequest(&ctx, block.data(), scratch.data(), &h));
    EXPECT_EQ(77u, Load32(block.data(), layout_report::kReplyNo));
    return Load32(block.data(), layout_report::kResult);
  }
};

// The two texts go back in one piece, the schema first, and together must
// stay below the text limit; at the limit the reply is 4101 with no texts.
TEST(ServiceDispatch, RuntimeInfoTextsMustFitOnePiece) {
  struct Case {
    uint32_t schema, doc, want;
  } cases[] = {
      {100, 200, 0},
      {layout_report::kTextLimit - 1, 0, 0},
      {1000, layout_report::kTextLimit - 1001, 0},
      {1000, layout_report::kTextLimit - 1000, 0x1005},
      {layout_report::kTextLimit, 0, 0x1005},
      {0, layout_report::kTextLimit + 5000, 0x1005},
  };
  for (const Case &k : cases) {
    Dispatch d;
    d.ops.runtime_info = FakeRuntimeInfo;
    g_schema_size = k.schema;
    g_doc_size = k.doc;
    EXPECT_EQ(k.want, d.RuntimeInfo()) << k.schema << " + " << k.doc;
    if (k.want == 0) {
      EXPECT_EQ(k.schema, Load32(d.block.data(), layout_report::kSize1));
      EXPECT_EQ(k.doc, Load32(d.block.data(), layout_report::kSize2));
      if (k.schema) {
        EXPECT_EQ('s', d.block[layout_report::kData + k.schema - 1]);
      }
      if (k.doc) {
        EXPECT_EQ('d', d.block[layout_report::kData + k.schema]);
      }
    } else {
      EXPECT_EQ(0u, Load32(d.block.data(), layout_report::kSize1));
      EXPECT_EQ(0u, Load32(d.block.data(), layout_report::kSize2));
    }
  }
}

}  // namespace
