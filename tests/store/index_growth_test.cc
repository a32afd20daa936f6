// The index while its hash table grows: a table that doubles in bounded
// steps must answer every lookup, insert and remove exactly like a fixed
// one, during a growth and after it; and a store filled far beyond the size
// its index had at open keeps every object, listing, read-multiple and pack
// right, checked against a plain map.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "store_fixture.h"
#include "store_maint.h"
#include "ts_hash.h"
#include "ts_index.h"
#include "ts_multi.h"

namespace {

// ---- the table on its own -----------------------------------------------------

std::string Key(uint32_t i) { return "k" + std::to_string(i); }

// Every key of the model is found with its value, and `absent` is not.
void ExpectTableMatches(const TsHashTable *t, const std::map<std::string, uint32_t> &model,
                        const std::string &absent) {
  ASSERT_EQ(t->entry_count, model.size());
  for (const auto &[k, v] : model) {
    uintptr_t got = 0;
    ASSERT_EQ(TsHashLookup(t, k.c_str(), uint32_t(k.size() + 1), &got, nullptr), 1) << k;
    ASSERT_EQ(got, v) << k;
  }
  EXPECT_EQ(TsHashLookup(t, absent.c_str(), uint32_t(absent.size() + 1), nullptr, nullptr), 0);
}

TEST(TsHashGrowth, ATableThatGrowsAnswersLikeAPlainMapInEveryPhase) {
  // Keys live in `keys` (the table does not copy them); reserved so that
  // they never move.
  constexpr uint32_t kKeys = 100000;
  std::vector<std::string> keys;
  keys.reserve(kKeys);
  for (uint32_t i = 0; i < kKeys; ++i) keys.push_back(Key(i));

  TsHashTable *t = nullptr;
  ASSERT_EQ(TsHashCreate(&t, 7, nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
  TsHashEnableGrowth(t);
  std::map<std::string, uint32_t> model;
  uint32_t growths = 0, checks_while_growing = 0;
  bool was_growing = false;
  for (uint32_t i = 0; i < kKeys; ++i) {
    const std::string &k = keys[i];
    ASSERT_EQ(TsHashInsert(t, k.c_str(), uint32_t(k.size() + 1), i, 4), 0u) << k;
    model[k] = i;
    // A duplicate is refused in every phase, and every third key is removed
    // again a little later, so removals hit moved and unmoved buckets.
    ASSERT_EQ(TsHashInsert(t, k.c_str(), uint32_t(k.size() + 1), 0, 4), 186u);
    if (i % 3 == 0 && i >= 30) {
      const std::string &old = keys[i - 30];
      ASSERT_EQ(TsHashRemove(t, old.c_str(), uint32_t(old.size() + 1)), 1) << old;
      model.erase(old);
    }
    const bool growing = TsHashGrowing(t) != 0;
    if (growing && !was_growing) ++growths;
    was_growing = growing;
    // A full comparison now and then while two arrays are in use, and at
    // every power of two.
    if ((growing && i % 331 == 0) || (i & (i - 1)) == 0) {
      if (growing) ++checks_while_growing;
      ExpectTableMatches(t, model, "absent");
      if (HasFatalFailure()) break;
    }
  }
  ExpectTableMatches(t, model, keys[0]);
  EXPECT_GE(growths, 10u);
  EXPECT_GT(checks_while_growing, 5u);
  // Grown to hold at most about one entry per bucket, not more than twice
  // the buckets it needs.
  EXPECT_GE(uint64_t(t->bucket_count) + t->old_count, model.size() / 2);
  EXPECT_LE(t->bucket_count, 4 * kKeys + 16);
  TsHashDestroy(t);
}

TEST(TsHashGrowth, DestroyingATableMidGrowthReportsEveryEntryOnce) {
  std::vector<std::string> keys;
  constexpr uint32_t kKeys = 5000;
  keys.reserve(kKeys);
  for (uint32_t i = 0; i < kKeys; ++i) keys.push_back(Key(i));
  // Stop in each phase of a growth: just started (nothing zeroed), while
  // the new array is being zeroed, while buckets are moved.
  for (uint32_t stop_after : {0u, 1u, 3u, 40u}) {
    SCOPED_TRACE(stop_after);
    std::multiset<uintptr_t> removed;
    auto on_remove = [](const void *, uint32_t, uintptr_t v1, uint32_t, void *ctx) {
      static_cast<std::multiset<uintptr_t> *>(ctx)->insert(v1);
    };
    TsHashTable *t = nullptr;
    ASSERT_EQ(TsHashCreate(&t, 4096, nullptr, nullptr, nullptr, on_remove, &removed), 0u);
    TsHashEnableGrowth(t);
    uint32_t n = 0, steps_growing = 0;
    while (n < kKeys) {
      ASSERT_EQ(TsHashInsert(t, keys[n].c_str(), uint32_t(keys[n].size() + 1), n, 4), 0u);
      ++n;
      if (TsHashGrowing(t) && steps_growing++ == stop_after) break;
    }
    ASSERT_TRUE(TsHashGrowing(t));
    TsHashDestroy(t);
    ASSERT_EQ(removed.size(), n);
    for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(removed.count(i), 1u) << i;
  }
}

TEST(TsHashGrowth, ATableWithoutGrowthKeepsItsBucketCount) {
  TsHashTable *t = nullptr;
  ASSERT_EQ(TsHashCreate(&t, 3, nullptr, nullptr, nullptr, nullptr, nullptr), 0u);
  std::vector<std::string> keys;
  keys.reserve(100);
  for (uint32_t i = 0; i < 100; ++i) {
    keys.push_back(Key(i));
    ASSERT_EQ(TsHashInsert(t, keys[i].c_str(), uint32_t(keys[i].size() + 1), i, 4), 0u);
  }
  EXPECT_EQ(t->bucket_count, 3u);
  EXPECT_EQ(TsHashGrowing(t), 0);
  TsHashDestroy(t);
}

// ---- a store filled after its open ---------------------------------------------

class StoreGrowth : public StoreFixture {
 protected:
  // A name in one of a few hundred containers (and some without any).
  static std::string Name(uint32_t i) {
    if (i % 50 == 0) return "top" + std::to_string(i);
    return "c" + std::to_string(i % 300) + ".o" + std::to_string(i);
  }
  static constexpr uint32_t kValueCap = 512;
  static std::string Value(uint32_t i, uint32_t gen) {
    // Mostly small (served from the index), every 16th too large for it.
    const size_t size = i % 16 == 0 ? 300 + i % 50 : 1 + i % 40;
    return std::string(size, char('a' + (i + gen) % 26));
  }
  static std::string Container(const std::string &name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot + 1);
  }

  void Put(uint32_t i, uint32_t gen) {
    const std::string n = Name(i), v = Value(i, gen);
    ASSERT_EQ(Write(n, v), 0u) << n;
    model_[n] = v;
  }
  void Del(const std::string &name) {
    ASSERT_EQ(StoreDelete(s_, name.c_str()), 0u) << name;
    if (name.back() != '*') {
      model_.erase(name);
      return;
    }
    const std::string prefix = name.substr(0, name.size() - 1);
    for (auto it = model_.lower_bound(prefix); it != model_.end() && it->first.starts_with(prefix);)
      it = model_.erase(it);
  }

  // Every `stride`-th object of the model reads back, and a deleted name
  // does not.
  void ExpectReads(uint32_t stride, const std::string &gone) {
    uint32_t k = 0;
    std::string got;
    for (const auto &[n, v] : model_) {
      if (k++ % stride) continue;
      // A buffer just large enough for every value here (the fixture's
      // default of 1 MB costs more than the read).
      ASSERT_EQ(Read(n, &got, kValueCap), 0u) << n;
      ASSERT_EQ(got, v) << n;
    }
    if (!gone.empty()) {
      std::string out;
      uint32_t size = 1;
      ASSERT_EQ(Read(gone, &out, 16, &size), 0u);
      EXPECT_EQ(size, 0u) << gone;
    }
  }

  // The recursive listing holds exactly the model's names, each container's
  // objects together and the containers in byte order.
  void ExpectListing() {
    void *list = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(StoreListObjects(s_, "", &list, &size, 1), 0u);
    std::set<std::string> seen, finished;
    std::string current;
    bool first = true;
    TsListEntry e{};
    for (uint32_t at = 0; at < size; at += e.length) {
      ASSERT_TRUE(TsListEntryAt(static_cast<const uint8_t *>(list), size, at, &e));
      const std::string name = e.name, c = Container(name);
      EXPECT_TRUE(seen.insert(name).second) << name;
      if (first || c != current) {
        if (!first) {
          EXPECT_LT(current, c) << name;
          finished.insert(current);
        }
        EXPECT_EQ(finished.count(c), 0u) << "container split: " << c;
        current = c;
        first = false;
      }
    }
    KstFreeMem(list, 0);
    std::set<std::string> want;
    for (const auto &kv : model_) want.insert(kv.first);
    EXPECT_EQ(seen, want);
  }

  // A read-multiple of some present names and one deleted name.
  void ExpectReadMultiple(const std::vector<std::string> &names) {
    std::vector<uint8_t> b(kTsMultiHeaderSize);
    std::vector<uint32_t> items;
    for (const std::string &n : names) {
      const uint32_t at = uint32_t(b.size());
      items.push_back(at);
      b.resize(at + TsMultiItemLength(uint32_t(n.size())));
      TsMultiPutItem(&b[at], n.c_str(), uint32_t(n.size()), false);
    }
    const uint32_t data_offset = uint32_t(b.size());
    TsMultiBegin(b.data(), uint32_t(names.size()), data_offset);
    b.resize(b.size() + 64 * 1024 + 1);
    ASSERT_EQ(StoreReadMultiple(s_, uint32_t(b.size()), b.data()), 0u);
    for (size_t i = 0; i < names.size(); ++i) {
      const TsMultiReply r = TsMultiGetReply(&b[items[i]]);
      auto it = model_.find(names[i]);
      if (it == model_.end()) {
        EXPECT_EQ(r.size, 0u) << names[i];
        continue;
      }
      EXPECT_EQ(r.result, 0u) << names[i];
      ASSERT_EQ(r.size, it->second.size()) << names[i];
      EXPECT_EQ(std::string(reinterpret_cast<const char *>(&b[data_offset + r.data_offset]),
                            r.size),
                it->second)
          << names[i];
    }
  }

  std::map<std::string, std::string> model_;
};

// One step of the table below: what it does to the store (and the model).
struct GrowthStep {
  const char *what;
  uint32_t first, count;  // new objects Name(first) .. Name(first + count - 1)
  enum { kWrite, kOverwrite, kDelete, kPrefixDelete, kPack } op;
};

TEST_F(StoreGrowth, AStoreFilledAfterItsOpenKeepsEveryObjectListingAndPack) {
  ASSERT_EQ(Open(), 0u);
  // The index starts with 9001 buckets; 60,000 objects make it grow three
  // times, and the operations between the writes land at every
  // phase of a growth.
  const GrowthStep steps[] = {
      {"fill to 12k", 0, 12000, GrowthStep::kWrite},
      {"overwrite some", 0, 12000, GrowthStep::kOverwrite},
      {"delete some", 0, 12000, GrowthStep::kDelete},
      {"fill to 25k", 12000, 13000, GrowthStep::kWrite},
      {"delete a container", 0, 0, GrowthStep::kPrefixDelete},
      {"pack mid-way", 0, 0, GrowthStep::kPack},
      {"fill to 60k", 25000, 35000, GrowthStep::kWrite},
      {"overwrite late ones", 25000, 35000, GrowthStep::kOverwrite},
      {"delete late ones", 25000, 35000, GrowthStep::kDelete},
      {"pack at the end", 0, 0, GrowthStep::kPack},
  };
  std::string gone;
  uint32_t gen = 0;
  for (const GrowthStep &st : steps) {
    SCOPED_TRACE(st.what);
    ++gen;
    switch (st.op) {
      case GrowthStep::kWrite:
        for (uint32_t i = st.first; i < st.first + st.count; ++i) Put(i, gen);
        break;
      case GrowthStep::kOverwrite:
        for (uint32_t i = st.first; i < st.first + st.count; i += 7) Put(i, gen);
        break;
      case GrowthStep::kDelete:
        for (uint32_t i = st.first + 3; i < st.first + st.count; i += 11) Del(gone = Name(i));
        break;
      case GrowthStep::kPrefixDelete:
        Del("c17.*");
        gone = Name(17);
        break;
      case GrowthStep::kPack:
        ASSERT_EQ(StorePackStoreFile(s_), 0u);
        break;
    }
    ASSERT_FALSE(HasFatalFailure());
    ExpectReads(13, gone);
    ExpectListing();
    ExpectReadMultiple({Name(st.first), Name(st.first + st.count / 2), gone, Name(16), "top50"});
    ASSERT_FALSE(HasFatalFailure());
  }
  ExpectReads(1, gone);
  // Grown from 9001 buckets to about one per object ever added.
  EXPECT_GE(s_->index.hash->bucket_count, 36007u);
  // The same store after a reopen: nothing was lost on the way.
  Reopen();
  ExpectReads(1, gone);
  ExpectListing();
}

}  // namespace
