#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ts_digest.h"
#include "ts_hash.h"
#include "ts_index.h"

namespace {

// ---- hash table --------------------------------------------------------------

TEST(HashTable, ZeroBucketsMeans4096) {
  TsHashTable *t = nullptr;
  ASSERT_EQ(TsHashCreate(&t, 0, nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(t->bucket_count, 4096u);
  EXPECT_EQ(TsHashPoolCount(t), 1u);
  TsHashDestroy(t);
}

TEST(HashTable, InsertLookupRemoveAndDuplicates) {
  TsHashTable *t = nullptr;
  ASSERT_EQ(TsHashCreate(&t, 7, nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
  ASSERT_EQ(TsHashInsert(t, "a", 2, 11, 4), 0u);
  ASSERT_EQ(TsHashInsert(t, "b", 2, 12, 4), 0u);
  EXPECT_EQ(TsHashInsert(t, "a", 2, 99, 9), 186u);
  EXPECT_EQ(t->entry_count, 2u);
  uintptr_t v1 = 1;
  uint32_t v2 = 1;
  EXPECT_EQ(TsHashLookup(t, "a", 2, &v1, &v2), 1);
  EXPECT_EQ(v1, 11u);
  EXPECT_EQ(v2, 4u);
  // Key length takes part: "a" without its terminator is another key.
  EXPECT_EQ(TsHashLookup(t, "a", 1, &v1, &v2), 0);
  EXPECT_EQ(v1, 0u);
  EXPECT_EQ(v2, 0u);
  EXPECT_EQ(TsHashRemove(t, "a", 2), 1);
  EXPECT_EQ(TsHashRemove(t, "a", 2), 0);
  EXPECT_EQ(TsHashLookup(t, "b", 2, nullptr, nullptr), 1);
  EXPECT_EQ(t->entry_count, 1u);
  TsHashDestroy(t);
}

// Many keys in few buckets: chains of every length, removal from the front,
// the middle and the end of a chain.
TEST(HashTable, LongChainsStayConsistent) {
  TsHashTable *t = nullptr;
  ASSERT_EQ(TsHashCreate(&t, 3, nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
  std::vector<std::string> keys;
  for (int i = 0; i < 300; ++i) keys.push_back("k" + std::to_string(i));
  for (size_t i = 0; i < keys.size(); ++i)
    ASSERT_EQ(TsHashInsert(t, keys[i].c_str(), uint32_t(keys[i].size() + 1), i, 4), 0u);
  for (size_t i = 0; i < keys.size(); i += 3)
    ASSERT_EQ(TsHashRemove(t, keys[i].c_str(), uint32_t(keys[i].size() + 1)), 1);
  for (size_t i = 0; i < keys.size(); ++i) {
    uintptr_t v = 0;
    int found = TsHashLookup(t, keys[i].c_str(), uint32_t(keys[i].size() + 1), &v, nullptr);
    EXPECT_EQ(found, i % 3 ? 1 : 0) << keys[i];
    if (found) {
      EXPECT_EQ(v, i);
    }
  }
  EXPECT_EQ(t->entry_count, 200u);
  TsHashDestroy(t);
}

TEST(HashTable, The4097thInsertAddsAPoolBlockAndRemovalsFreeNone) {
  TsHashTable *t = nullptr;
  ASSERT_EQ(TsHashCreate(&t, 0, nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
  std::vector<uint32_t> keys(5000);
  for (uint32_t i = 0; i < 4096; ++i) {
    keys[i] = i;
    ASSERT_EQ(TsHashInsert(t, &keys[i], 4, i, 4), 0u);
  }
  EXPECT_EQ(TsHashPoolCount(t), 1u);
  keys[4096] = 4096;
  ASSERT_EQ(TsHashInsert(t, &keys[4096], 4, 4096, 4), 0u);
  EXPECT_EQ(TsHashPoolCount(t), 2u);
  for (uint32_t i = 0; i < 4097; ++i) ASSERT_EQ(TsHashRemove(t, &keys[i], 4), 1);
  EXPECT_EQ(TsHashPoolCount(t), 2u);
  EXPECT_EQ(t->entry_count, 0u);
  // Reinserting reuses free nodes instead of allocating.
  for (uint32_t i = 0; i < 4097; ++i) ASSERT_EQ(TsHashInsert(t, &keys[i], 4, i, 4), 0u);
  EXPECT_EQ(TsHashPoolCount(t), 2u);
  TsHashDestroy(t);
}

struct CallbackLog {
  std::vector<uintptr_t> removed;
  uint32_t refuse = 0;
};

TEST(HashTable, CallbacksSeeInsertsRemovesAndDestroy) {
  auto on_insert = [](const void **, uint32_t, uintptr_t *v1, void *ctx) -> uint32_t {
    auto *log = static_cast<CallbackLog *>(ctx);
    if (log->refuse) return log->refuse;
    *v1 += 1000;  // the callback may replace value 1
    return 0;
  };
  auto on_remove = [](const void *, uint32_t, uintptr_t v1, uint32_t, void *ctx) {
    static_cast<CallbackLog *>(ctx)->removed.push_back(v1);
  };
  CallbackLog log;
  TsHashTable *t = nullptr;
  ASSERT_EQ(TsHashCreate(&t, 5, nullptr, nullptr, on_insert, on_remove, &log), 0u);
  ASSERT_EQ(TsHashInsert(t, "x", 2, 1, 4), 0u);
  ASSERT_EQ(TsHashInsert(t, "y", 2, 2, 4), 0u);
  log.refuse = 0x37000F;
  EXPECT_EQ(TsHashInsert(t, "z", 2, 3, 4), 0x37000Fu);
  EXPECT_EQ(TsHashInsert(t, "x", 2, 3, 4), 186u);  // the duplicate is found before the callback
  EXPECT_EQ(t->entry_count, 2u);
  uintptr_t v = 0;
  EXPECT_EQ(TsHashLookup(t, "x", 2, &v, nullptr), 1);
  EXPECT_EQ(v, 1001u);
  EXPECT_EQ(TsHashRemove(t, "x", 2), 1);
  EXPECT_EQ(log.removed, (std::vector<uintptr_t>{1001}));
  TsHashDestroy(t);
  EXPECT_EQ(log.removed, (std::vector<uintptr_t>{1001, 1002}));
}

TEST(HashTable, BucketCountFollowsTheLiveObjects) {
  EXPECT_EQ(TsBucketCount(0), 9001u);
  EXPECT_EQ(TsBucketCount(9001), 9001u);
  EXPECT_EQ(TsBucketCount(9002), 9002u + 2700u);
  EXPECT_EQ(TsBucketCount(10000), 13000u);
}

// ---- ordered list -------------------------------------------------------------

// A literal model of the list insertion and removal rules with group links
// on the records: the search walks the groups from the head and repairs
// links by walking back. The index, which keeps the groups in an ordered map
// instead, must produce the same order and the same links.
struct Model {
  struct N {
    N *next = nullptr, *prev = nullptr, *link = nullptr;
    std::string name;
    uint32_t P = 0, D = 0;
    bool head = false;
  };
  N *const kLast = reinterpret_cast<N *>(~uintptr_t(0));
  std::vector<std::unique_ptr<N>> all;
  N *head, *tail = nullptr;

  Model() {
    all.push_back(std::make_unique<N>());
    head = all.back().get();
    head->head = true;
  }
  static int Cmp(const N *a, const N *b) {
    uint32_t n = std::min(a->P, b->P);
    int c = std::memcmp(a->name.data(), b->name.data(), n);
    if (c) return c < 0 ? -1 : 1;
    return a->D == b->D ? 0 : a->D < b->D ? -1 : 1;
  }
  bool Jump(N *l) const { return l && l != kLast; }
  void Before(N *s, N *n) {
    n->prev = s->prev;
    n->next = s;
    s->prev->next = n;
    s->prev = n;
  }
  void After(N *s, N *n) {
    n->prev = s;
    n->next = s->next;
    if (s->next) s->next->prev = n;
    s->next = n;
    if (tail == s || s->head) tail = n;
  }
  N *Insert(const std::string &name) {
    all.push_back(std::make_unique<N>());
    N *n = all.back().get();
    n->name = name;
    size_t dot = name.rfind('.');
    n->P = dot == std::string::npos ? 0 : uint32_t(dot + 1);
    for (char c : name) n->D += c == '.';
    bool placed = false;
    if (tail) {
      int c = Cmp(n, tail);
      if (c > 0) {
        After(tail, n);
        placed = true;
      } else if (c == 0) {
        Before(tail, n);
        placed = true;
      }
    }
    if (!placed) {
      N *s = head->next ? head->next : head;
      for (N *r = head->next; r;) {
        if (Cmp(n, r) > 0) {
          N *nx = Jump(r->link) ? r->link : r->next;
          if (!nx->next) {
            s = nx;
            break;
          }
          r = nx;
        } else {
          s = r;
          break;
        }
      }
      if (s->next)
        Before(s, n);
      else if (s->head || Cmp(n, s) > 0)
        After(s, n);
      else
        Before(s, n);
    }
    N *succ = n->next, *pred = n->prev;
    if (succ && Cmp(succ, n) == 0 && succ->link) {
      n->link = succ->link;
      succ->link = nullptr;
    }
    if (!(!pred->head && Cmp(pred, n) == 0)) {
      if (succ && Cmp(succ, n) != 0 && succ->link) n->link = succ;
      N *w = pred;
      while (!w->head && !w->link) w = w->prev;
      if (!w->head) {
        if (w->link == kLast) n->link = kLast;
        w->link = n;
      }
      if (!succ && pred->head) n->link = kLast;
    }
    return n;
  }
  void Remove(N *r) {
    if (r->link) {
      N *w = r->prev;
      while (!w->head && !w->link) w = w->prev;
      w->link = r->next;
      if (r->next && !r->next->link) r->next->link = r->link;
      if (!r->next && r->link == kLast) w->link = kLast;
    }
    r->prev->next = r->next;
    if (r->next) r->next->prev = r->prev;
    if (tail == r) tail = r->prev->head ? nullptr : r->prev;
  }
  std::string Dump() const {
    std::string s;
    for (N *r = head->next; r; r = r->next) {
      s += r->name + "[" + (r->link == kLast ? "-1" : r->link ? r->link->name : "0") + "] ";
    }
    return s;
  }
};

class ListFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(TsIndexInit(&ix_), 0u); }
  void TearDown() override { TsIndexFree(&ix_); }
  TsIndexRecord *Add(const std::string &name) {
    TsIndexRecord *r = nullptr;
    EXPECT_EQ(TsRecordAlloc(name.data(), uint32_t(name.size()), 0, &r), 0u);
    EXPECT_EQ(TsListInsert(&ix_, r), 0u);
    return r;
  }
  void Remove(TsIndexRecord *r) {
    TsListRemove(&ix_, r);
    TsRecordFree(r);
  }
  std::string Order() const {
    std::string s;
    for (TsIndexRecord *r = ix_.head->next; r; r = r->next) s += std::string(r->name) + " ";
    return s;
  }
  // Each record with its group link as the list defines it: on a group's
  // first record the next group's first record ("-1" after the last group),
  // "0" on every other record.
  std::string Dump() const {
    std::string s;
    for (TsIndexRecord *r = ix_.head->next; r; r = r->next) {
      std::string link = "0";
      if (TsGroupFirst(&ix_, r) == r) {
        TsIndexRecord *g = TsGroupNext(&ix_, r);
        link = g ? g->name : "-1";
      }
      s += std::string(r->name) + "[" + link + "] ";
    }
    return s;
  }
  TsIndex ix_{};
};

TEST_F(ListFixture, RecordsLoadedIntoOneTrailingGroupEndWithTheFirst) {
  Add("a.x");
  Add("a.y");
  Add("a.z");
  EXPECT_EQ(Order(), "a.y a.z a.x ");
  EXPECT_EQ(Dump(), "a.y[-1] a.z[0] a.x[0] ");
  EXPECT_EQ(ix_.tail->name, std::string("a.x"));
}

TEST_F(ListFixture, GroupsFollowTheContainerOrder) {
  for (const char *n : {"ab.x", "a.bz.q", "a.bc.y", "a.b.y", "a.x", "y", "x"}) Add(n);
  // Containers: "" < "a." < "a.b." < "a.bc." < "a.bz." < "ab." ("b" > ".").
  EXPECT_EQ(Order(), "x y a.x a.b.y a.bc.y a.bz.q ab.x ");
  EXPECT_EQ(Dump(), "x[a.x] y[0] a.x[a.b.y] a.b.y[a.bc.y] a.bc.y[a.bz.q] a.bz.q[ab.x] ab.x[-1] ");
}

TEST_F(ListFixture, RemovingTheOnlyRecordOfAGroupRelinksTheGroups) {
  Add("a.x");
  TsIndexRecord *b = Add("b.x");
  Add("c.x");
  Remove(b);
  EXPECT_EQ(Dump(), "a.x[c.x] c.x[-1] ");
  TsIndexRecord *c = ix_.tail;
  Remove(c);
  EXPECT_EQ(Dump(), "a.x[-1] ");
  EXPECT_EQ(ix_.tail->name, std::string("a.x"));
  Remove(ix_.tail);
  EXPECT_EQ(ix_.tail, nullptr);
  EXPECT_EQ(ix_.head->next, nullptr);
  Add("q");
  EXPECT_EQ(Dump(), "q[-1] ");
}

TEST_F(ListFixture, RemovingAGroupsFirstRecordHandsTheLinkOn) {
  Add("a.x");
  Add("b.1");
  Add("b.2");
  Add("c.x");
  Add("b.3");  // search path: front of group b
  // b.2 matched the tail's key and went before it.
  EXPECT_EQ(Dump(), "a.x[b.3] b.3[c.x] b.2[0] b.1[0] c.x[-1] ");
  Remove(ix_.head->next->next);
  EXPECT_EQ(Dump(), "a.x[b.2] b.2[c.x] b.1[0] c.x[-1] ");
}

TEST_F(ListFixture, MatchesTheLiteralRulesOnRandomLoadsAndRemovals) {
  std::mt19937 rng(12345);
  const char *parts[] = {"a", "b", "ab", "a-b", "z", "\xC3", ""};
  Model model;
  std::vector<std::pair<TsIndexRecord *, Model::N *>> live;
  std::vector<std::string> names;
  for (int step = 0; step < 3000; ++step) {
    if (!live.empty() && rng() % 3 == 0) {
      size_t i = rng() % live.size();
      model.Remove(live[i].second);
      Remove(live[i].first);
      live.erase(live.begin() + i);
    } else {
      std::string name;
      int comps = 1 + rng() % 4;
      for (int c = 0; c < comps; ++c) {
        if (c) name += '.';
        name += parts[rng() % 7];
      }
      name += std::to_string(step);
      live.emplace_back(Add(name), model.Insert(name));
    }
    ASSERT_EQ(Dump(), model.Dump()) << "step " << step;
  }
}

TEST_F(ListFixture, ContainerTestLooksBelowTheName) {
  Add("a.b.c");
  EXPECT_EQ(TsContainerTest(&ix_, "a", 1), 1);
  EXPECT_EQ(TsContainerTest(&ix_, "a.", 2), 1);
  EXPECT_EQ(TsContainerTest(&ix_, "a.b", 3), 1);
  EXPECT_EQ(TsContainerTest(&ix_, "a.b.c", 5), 0);
  EXPECT_EQ(TsContainerTest(&ix_, "b", 1), 0);
  Remove(ix_.tail);
  Add("ab.c");
  Add("a-b.c");
  Add("a");
  EXPECT_EQ(TsContainerTest(&ix_, "a", 1), 0);
  EXPECT_EQ(TsContainerTest(&ix_, "ab", 2), 1);
  EXPECT_EQ(TsContainerTest(&ix_, "a-b", 3), 1);
}

TEST_F(ListFixture, ContainerTestAgreesWithAScanOnRandomNames) {
  std::mt19937 rng(7);
  const char *parts[] = {"a", "b", "ab", "a-b", "a.", ""};
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) {
    std::string n;
    int comps = 1 + rng() % 3;
    for (int c = 0; c < comps; ++c) n += std::string(c ? "." : "") + parts[rng() % 6];
    n += std::to_string(i % 5);
    names.push_back(n);
    Add(n);
  }
  std::vector<std::string> probes = {"", "a", "a.", "ab", "a-b", "a.a", "a..", "b.b0", "a.b"};
  for (const std::string &p : probes) {
    std::string formed = p.empty() || p.back() != '.' ? p + "." : p;
    int expect = 0;
    for (const std::string &n : names)
      if (n.compare(0, formed.size(), formed) == 0) expect = 1;
    EXPECT_EQ(TsContainerTest(&ix_, p.data(), uint32_t(p.size())), expect) << '"' << p << '"';
  }
}

TEST_F(ListFixture, HashBuildFindsEveryNameAndRefusesDuplicates) {
  Add("a.x");
  Add("b");
  ASSERT_EQ(TsIndexBuildHash(&ix_, 2), 0u);
  EXPECT_EQ(ix_.hash->bucket_count, 9001u);
  TsIndexRecord *r = TsIndexLookup(&ix_, "a.x", 3);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(r->name), "a.x");
  EXPECT_EQ(TsIndexLookup(&ix_, "a", 1), nullptr);
  uint32_t v2 = 0;
  EXPECT_EQ(TsHashLookup(ix_.hash, "b", 2, nullptr, &v2), 1);
  EXPECT_EQ(v2, 4u);
  Add("b");
  EXPECT_EQ(TsIndexBuildHash(&ix_, 3), 186u);
  EXPECT_EQ(ix_.hash, nullptr);
}

TEST(IndexRecord, NameFieldsAndReserve) {
  TsIndexRecord *r = nullptr;
  ASSERT_EQ(TsRecordAlloc("ab.cd.e", 7, 8, &r), 0u);
  EXPECT_EQ(r->prefix_len, 6u);
  EXPECT_EQ(r->depth, 2u);
  EXPECT_EQ(r->name[7], 0);
  ASSERT_EQ(TsRecordReserve(r, 8), 0u);
  uint8_t *inl = r->data;
  EXPECT_EQ(inl, reinterpret_cast<uint8_t *>(r + 1));
  std::memcpy(r->data, "kept", 4);
  r->data_size = 4;
  ASSERT_EQ(TsRecordReserve(r, 300), 0u);  // beyond the inline area: an own block
  EXPECT_NE(r->data, inl);
  EXPECT_EQ(r->data_cap, 300u);
  EXPECT_EQ(std::memcmp(r->data, "kept", 4), 0);  // the kept data moved along
  std::memset(r->data, 1, 300);
  ASSERT_EQ(TsRecordReserve(r, 4), 0u);  // the block is big enough: kept
  EXPECT_EQ(r->data_cap, 300u);
  TsRecordFree(r);
}

}  // namespace
