// The id index the loader resolves every reference through, and the table of each node's handle.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "hprof/ascending_ids.h"
#include "hprof/builder.h"
#include "hprof/idindex.h"

namespace {

using simvm::hprof::IdIndex;

IdIndex indexOf(const std::vector<uint64_t>& ids) {
  std::vector<IdIndex::Pair> pairs;
  for (uint32_t i = 0; i < ids.size(); ++i) pairs.emplace_back(ids[i], i);
  IdIndex index;
  index.build(std::move(pairs));
  return index;
}

// One id far away stretches the range so that all the others share the first bucket.
TEST(IdIndex, finds_every_id_of_a_crowded_bucket) {
  std::vector<uint64_t> ids;
  for (uint64_t i = 1; i <= 40; ++i) ids.push_back(8 * i);
  ids.push_back(8ull << 40);
  const IdIndex index = indexOf(ids);
  for (uint32_t i = 0; i < ids.size(); ++i) EXPECT_EQ(index.find(ids[i]), i) << i;
  EXPECT_EQ(index.find(4), IdIndex::kMissing);           // below the first
  EXPECT_EQ(index.find(12), IdIndex::kMissing);          // between two
  EXPECT_EQ(index.find(9ull << 40), IdIndex::kMissing);  // past the last
  EXPECT_EQ(index.find(0), IdIndex::kMissing);
}

TEST(IdIndex, an_empty_index_finds_nothing) { EXPECT_EQ(indexOf({}).find(8), IdIndex::kMissing); }

TEST(IdIndex, reports_the_first_id_given_twice) {
  const IdIndex index = indexOf({0x300, 0x100, 0x200, 0x100});
  ASSERT_LT(index.firstDuplicate(), index.size());
  EXPECT_EQ(index.pairs()[index.firstDuplicate()].first, 0x100u);
  EXPECT_EQ(indexOf({0x300, 0x100, 0x200}).firstDuplicate(), 3u);
}

// Few ascending runs (a JDK's order) are merged; many (any other order) are sorted. Both must
// find what a plain map finds.
TEST(IdIndex, agrees_with_a_plain_map_for_runs_and_shuffled_ids) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::map<uint64_t, uint32_t> want;
    std::vector<uint64_t> ids;
    const uint32_t runs = seed % 2 ? 1 + rng() % 5 : 100 + rng() % 100;
    for (uint32_t r = 0; r < runs; ++r) {
      uint64_t id = 8 * (rng() % (1u << 20));
      for (uint32_t k = 0, n = rng() % 30; k < n; ++k) {
        id += 8 * (1 + rng() % (seed % 3 ? 3 : 5000));
        if (want.emplace(id, uint32_t(ids.size())).second) ids.push_back(id);
      }
    }
    const IdIndex index = indexOf(ids);
    ASSERT_EQ(index.firstDuplicate(), index.size());
    for (const auto& [id, node] : want) ASSERT_EQ(index.find(id), node) << std::hex << id;
    for (int k = 0; k < 200; ++k) {
      const uint64_t id = 8 * (rng() % (1u << 21)) + (k % 2) * 4;
      ASSERT_EQ(index.find(id), want.count(id) ? want[id] : IdIndex::kMissing) << std::hex << id;
    }
  }
}

// Ascending ids read where they lie, with crowded buckets (a cluster far from the rest), sparse
// ones and single ids: every id is found at its position, and nothing between, below or past them.
TEST(AscendingIds, agree_with_a_plain_map) {
  struct IdAt {
    const std::vector<uint64_t>* ids = nullptr;
    uint64_t operator()(size_t p) const { return (*ids)[p]; }
  };
  using Index = simvm::hprof::AscendingIds<IdAt>;
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> ids;
    uint64_t id = 1 + rng() % 64;
    for (uint32_t k = 0, n = seed % 7 == 0 ? 1 : rng() % 400; k < n; ++k) {
      ids.push_back(id);
      id += seed % 3 == 0 && k == n / 2 ? uint64_t(1) << (20 + rng() % 40) : 1 + rng() % 24;
    }
    std::map<uint64_t, uint32_t> want;
    for (uint32_t p = 0; p < ids.size(); ++p) want[ids[p]] = p;
    const Index index(IdAt{&ids}, ids.size());
    for (const auto& [i, p] : want) ASSERT_EQ(index.find(i), p) << std::hex << i;
    const uint64_t top = ids.empty() ? 64 : ids.back() + 64;
    for (int k = 0; k < 400; ++k) {
      const uint64_t probe = k % 4 == 0 ? rng() : rng() % top;
      ASSERT_EQ(index.find(probe), want.count(probe) ? want[probe] : Index::kMissing)
          << std::hex << probe;
    }
    for (const uint64_t edge : {uint64_t(0), uint64_t(1), ~uint64_t(0)})
      ASSERT_EQ(index.find(edge), want.count(edge) ? want[edge] : Index::kMissing);
  }
}

// The objects' handles are kept as runs of consecutive slots: whatever the VM hands out, with
// gaps anywhere (a class made between two objects), in batches of any size, every node's handle
// is the one given.
TEST(NodeHandles, agree_with_a_plain_table_for_runs_with_gaps) {
  for (uint32_t seed = 1; seed <= 100; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::vector<uint32_t> want(rng() % 5);
    for (uint32_t& h : want) h = 8 * (1 + rng() % 1000);
    simvm::hprof::NodeHandles handles;
    handles.assignClasses(want);
    uint32_t next = 0x10000000;
    for (uint32_t batch = 0, n = rng() % 6; batch < n; ++batch) {
      std::vector<uint32_t> made(rng() % 50);
      for (uint32_t& h : made) {
        if (rng() % 8 == 0) next += 8 * (1 + rng() % 3);  // slots taken by something else
        h = next;
        next += 8;
      }
      handles.append(made.data(), made.size());
      want.insert(want.end(), made.begin(), made.end());
    }
    ASSERT_EQ(handles.size(), want.size());
    for (uint32_t node = 0; node < want.size(); ++node)
      ASSERT_EQ(handles[node], want[node]) << node;
  }
}

}  // namespace
