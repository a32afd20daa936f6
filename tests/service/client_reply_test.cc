// The client calls against replies written by a server played in this
// process (the client's harness, mtclient.h): which replies a call accepts,
// what it hands out for replies that contradict themselves, and what it
// allocates for a caller's read-multiple block. No host, no named objects.
#include <sys/resource.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "mtclient.h"
#include "platform.h"
#include "protocol.h"

namespace {

using namespace krp::proto;

// The server of one test: `reply(n, block, reqno)` runs at the n-th exchange
// (0 is the first) and returns the wait's result.
class FakeServer {
 public:
  using Reply = std::function<uint32_t(int n, uint8_t *block, uint32_t reqno)>;
  explicit FakeServer(Reply reply) : reply_(std::move(reply)) {
    h_ = MtClientHarness{block_.data(), status_, &FakeServer::Exchange, this};
    MtClientUseHarness(&h_);
  }
  ~FakeServer() { MtClientUseHarness(nullptr); }
  int exchanges() const { return n_; }

 private:
  static uint32_t Exchange(void *arg) {
    FakeServer *s = static_cast<FakeServer *>(arg);
    return s->reply_(s->n_++, s->block_.data(), Load32(s->status_, status::kRequestCounter));
  }
  Reply reply_;
  std::vector<uint8_t> block_ = std::vector<uint8_t>(kRequestBlockSize);
  uint8_t status_[kStatusBlockSize] = {};
  MtClientHarness h_;
  int n_ = 0;
};

// Layout A reply words; the data area is left as it stands.
void ReplyA(uint8_t *b, uint32_t reqno, uint32_t result, uint32_t size) {
  Store32(b, layout_single::kSize, size);
  Store32(b, layout_single::kResult, result);
  Store32(b, layout_single::kReplyNo, reqno);
}

constexpr uint32_t kTwoPieces = layout_single::kPiece + 10;

struct ReadCase {
  const char *what;
  FakeServer::Reply reply;
  uint32_t want_rc;
};

TEST(ClientReply, ReadAcceptsOnlyItsOwnCompleteReply) {
  const ReadCase cases[] = {
      {"reply number of another request",
       [](int, uint8_t *b, uint32_t reqno) {
         ReplyA(b, reqno + 1, 0, 0);
         return 0u;
       },
       KST_ERR_GENERAL},
      {"result still 0xFEFEFEFE",
       [](int, uint8_t *b, uint32_t reqno) {
         Store32(b, layout_single::kReplyNo, reqno);
         return 0u;
       },
       KST_ERR_GENERAL},
      {"every wait timed out", [](int, uint8_t *, uint32_t) { return KST_ERR_TIMEOUT; },
       KST_ERR_TIMEOUT},
      {"size above the largest transfer",
       [](int, uint8_t *b, uint32_t reqno) {
         ReplyA(b, reqno, 0, static_cast<uint32_t>(kMaxTransfer) + 1);
         return 0u;
       },
       KST_ERR_GENERAL},
      {"size 0xFFFFFFFF",
       [](int, uint8_t *b, uint32_t reqno) {
         ReplyA(b, reqno, 0, 0xFFFFFFFFu);
         return 0u;
       },
       KST_ERR_GENERAL},
      {"second piece without the request number",
       [](int n, uint8_t *b, uint32_t reqno) {
         ReplyA(b, n == 0 ? reqno : 0, 0, kTwoPieces);
         return 0u;
       },
       KRP_ERR_PIECE_TO_CLIENT},
      {"second piece wait timed out",
       [](int n, uint8_t *b, uint32_t reqno) {
         ReplyA(b, reqno, 0, kTwoPieces);
         return n == 0 ? 0u : KST_ERR_TIMEOUT;
       },
       KST_ERR_TIMEOUT},
      {"the server's failure",
       [](int, uint8_t *b, uint32_t reqno) {
         ReplyA(b, reqno, 0x370001, 5);
         return 0u;
       },
       0x370001},
  };
  for (const ReadCase &c : cases) {
    SCOPED_TRACE(c.what);
    FakeServer server(c.reply);
    void *data = nullptr;
    uint32_t size = 0, lw = 0, attr = 0;
    EXPECT_EQ(KrpStoreKtsReadMt(0, "a.b", &data, &size, &lw, &attr, nullptr), c.want_rc);
    EXPECT_EQ(data, nullptr);
    EXPECT_LE(server.exchanges(), 3);
    KstFreeMem(data, 0);
  }
}

TEST(ClientReply, ReadAssemblesTwoPiecesAtTheirOffsets) {
  // The value travels scrambled as a whole (the scrambling runs on across
  // the piece boundary); byte i of the value is i * 7.
  std::vector<uint8_t> value(kTwoPieces);
  for (uint32_t i = 0; i < kTwoPieces; ++i) value[i] = static_cast<uint8_t>(i * 7);
  KstScrambleData(KST_SCRAMBLE_KEY, value.data(), kTwoPieces);
  FakeServer server([&value](int n, uint8_t *b, uint32_t reqno) {
    ReplyA(b, reqno, 0, kTwoPieces);
    if (n == 0)
      memcpy(b + layout_single::kData, value.data(), layout_single::kPiece);
    else
      memcpy(b + layout_single::kData, value.data() + layout_single::kPiece,
             kTwoPieces - layout_single::kPiece);
    return 0u;
  });
  void *data = nullptr;
  uint32_t size = 0, lw = 0, attr = 0;
  ASSERT_EQ(KrpStoreKtsReadMt(0, "a.b", &data, &size, &lw, &attr, nullptr), 0u);
  ASSERT_EQ(size, kTwoPieces);
  EXPECT_EQ(server.exchanges(), 2);
  const uint8_t *v = static_cast<const uint8_t *>(data);
  uint32_t wrong = 0;
  for (uint32_t i = 0; i < size; ++i) wrong += v[i] != static_cast<uint8_t>(i * 7);
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(v[size], 0);
  KstFreeMem(data, 0);
}

// Read-multiple block (ts_multi.h) of `items` items of 40 bytes each (names
// of 7 characters), with the count word as given.
constexpr uint32_t kNameChars = 7;
constexpr uint32_t kItemLen = TsMultiItemLength(kNameChars);
static_assert(kItemLen == 40);
std::vector<uint8_t> MultiBlock(uint32_t count_word, uint32_t items) {
  const uint32_t len = kTsMultiHeaderSize + kItemLen * items;
  std::vector<uint8_t> blk(len, 0);
  TsMultiBegin(blk.data(), count_word, len);
  for (uint32_t i = 0; i < items; ++i) {
    const std::string name(kNameChars, static_cast<char>('a' + i));
    TsMultiPutItem(blk.data() + kTsMultiHeaderSize + kItemLen * i, name.c_str(), kNameChars,
                   false);
  }
  return blk;
}

// Answers a read multiple as the engine would: every item found, `n` bytes
// each at offset n * item, the reply's words as given.
FakeServer::Reply MultiReply(uint32_t n, uint32_t len_word_delta, uint32_t payload_delta) {
  return [=](int, uint8_t *b, uint32_t reqno) {
    uint8_t *blk = b + layout_multi::kData;
    const uint32_t len = Load32(b, layout_multi::kSize);
    uint32_t total = 0;
    TsMultiWalk walk(blk, len);
    TsMultiItem item;
    while (walk.Next(&item) == TsMultiStep::kItem) {
      TsMultiSetResult(blk + item.offset, 0, n);
      TsMultiSetDataOffset(blk + item.offset, total);
      total += n;
    }
    for (uint32_t i = 0; i < total; ++i) blk[len + i] = static_cast<uint8_t>(i);
    KstScrambleData(KST_SCRAMBLE_KEY, blk + len, total);
    TsPutU32(blk + kTsMultiOffDataOffset, len + len_word_delta);
    TsMultiSetTotal(blk, total);
    Store32(b, layout_multi::kSize, len + total + payload_delta);
    Store32(b, layout_multi::kResult, 0);
    Store32(b, layout_multi::kReplyNo, reqno);
    return 0u;
  };
}

long MaxRssKb() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

// Fixed fault: the client sized its per-item flags by the block's count
// word and zeroed them, so a block of a few bytes that claimed 2^28 items
// cost 256 MB (and a count near 2^32 four gigabytes) before any request.
TEST(ClientReply, ReadMultipleAllocatesOnlyForTheItemsItsBlockCanHold) {
  FakeServer server(MultiReply(4, 0, 0));
  std::vector<uint8_t> blk = MultiBlock(0x10000000u, 1);
  void *data = nullptr;
  uint32_t data_size = 0;
  const long before = MaxRssKb();
  ASSERT_EQ(KrpStoreKtsReadMultipleMt(0, blk.data(), &data, &data_size), 0u);
  EXPECT_LT(MaxRssKb() - before, 64 * 1024);
  ASSERT_EQ(data_size, 4u);
  const uint8_t want[] = {0, 1, 2, 3};
  EXPECT_EQ(memcmp(data, want, 4), 0);
  KstFreeMem(data, 0);
}

TEST(ClientReply, ReadMultipleRefusesARepliedBlockOfAnotherShape) {
  struct Case {
    const char *what;
    uint32_t len_word_delta, payload_delta, want_rc;
  } cases[] = {
      {"consistent", 0, 0, 0},
      {"block length changed", 8, 8, KST_ERR_GENERAL},
      {"payload longer than block and data", 0, 1, KST_ERR_GENERAL},
      {"payload shorter than block and data", 0, 0xFFFFFFFFu, KST_ERR_GENERAL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FakeServer server(MultiReply(3, c.len_word_delta, c.payload_delta));
    std::vector<uint8_t> blk = MultiBlock(2, 2);
    void *data = nullptr;
    uint32_t data_size = 0;
    EXPECT_EQ(KrpStoreKtsReadMultipleMt(0, blk.data(), &data, &data_size), c.want_rc);
    EXPECT_EQ(data != nullptr, c.want_rc == 0);
    EXPECT_EQ(data_size, c.want_rc == 0 ? 6u : 0u);
    KstFreeMem(data, 0);
  }
}

TEST(ClientReply, RuntimeInfoRefusesTextsLargerThanTheBlock) {
  FakeServer server([](int, uint8_t *b, uint32_t reqno) {
    Store32(b, layout_report::kSize1, layout_report::kTextLimit);
    Store32(b, layout_report::kSize2, 0xFFFFFFFFu);
    Store32(b, layout_report::kResult, 0);
    Store32(b, layout_report::kReplyNo, reqno);
    return 0u;
  });
  void *schema = nullptr, *doc = nullptr;
  uint32_t n1 = 0, n2 = 0;
  EXPECT_EQ(KrpStoreKtsGetRuntimeInfoMt(0, &schema, &n1, &doc, &n2, nullptr), KST_ERR_GENERAL);
  EXPECT_EQ(schema, nullptr);
  EXPECT_EQ(doc, nullptr);
}

}  // namespace
