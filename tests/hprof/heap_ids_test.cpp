// The one table of ids and handles a loaded heap answers both look-ups from, against two
// std::maps: in a JDK's order (classes first, their ids anywhere, then the objects ascending)
// and in any order, with runs of handles broken by gaps.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "hprof/heap_ids.h"

namespace {

using simvm::HandleOfId;
using simvm::HeapIds;
using simvm::IdOfHandle;

void checkAgainstMaps(std::mt19937_64& rng, size_t n, size_t unordered, bool anyOrder) {
  std::set<uint64_t> distinct;
  while (distinct.size() < n) distinct.insert((rng() % (n * 4) + 1) * 8);
  std::vector<uint64_t> ids(distinct.begin(), distinct.end());
  if (anyOrder)
    std::shuffle(ids.begin(), ids.end(), rng);
  else  // a few ids taken from anywhere lead, the rest stay ascending
    for (size_t i = 0; i < unordered && i < n; ++i) std::swap(ids[i], ids[i + rng() % (n - i)]);
  std::vector<uint32_t> handles(n);
  uint32_t h = 0x1000;
  for (size_t p = 0; p < n; ++p) handles[p] = h += rng() % 4 == 0 ? 8 * (1 + rng() % 3) : 8;

  std::map<uint64_t, uint32_t> handleOf;
  std::map<uint32_t, uint64_t> idOf;
  for (size_t p = 0; p < n; ++p) handleOf[ids[p]] = handles[p], idOf[handles[p]] = ids[p];
  const auto table = std::make_shared<const HeapIds>(ids, [&](size_t p) { return handles[p]; });
  const HandleOfId byId(table);
  const IdOfHandle byHandle(table);

  ASSERT_EQ(byId.size(), n);
  ASSERT_EQ(byHandle.size(), n);
  using ById = std::vector<std::pair<uint64_t, uint32_t>>;
  using ByHandle = std::vector<std::pair<uint32_t, uint64_t>>;
  EXPECT_EQ(ById(byId.begin(), byId.end()), ById(handleOf.begin(), handleOf.end()));
  EXPECT_EQ(ByHandle(byHandle.begin(), byHandle.end()), ByHandle(idOf.begin(), idOf.end()));
  // Every id and handle present, and the ones beside them, which may be absent.
  for (size_t p = 0; p < n; ++p)
    for (int64_t d : {-8, -1, 0, 1, 8}) {
      const uint64_t id = ids[p] + d;
      const auto want = handleOf.find(id);
      const auto got = byId.find(id);
      ASSERT_EQ(got == byId.end(), want == handleOf.end()) << std::hex << id;
      if (got != byId.end()) {
        EXPECT_EQ(got->first, want->first);
        EXPECT_EQ(got->second, want->second);
      }
      const uint32_t handle = handles[p] + static_cast<uint32_t>(d);
      const auto wantId = idOf.find(handle);
      const auto gotId = byHandle.find(handle);
      ASSERT_EQ(gotId == byHandle.end(), wantId == idOf.end()) << std::hex << handle;
      if (gotId != byHandle.end()) {
        EXPECT_EQ(gotId->first, wantId->first);
        EXPECT_EQ(gotId->second, wantId->second);
      }
    }
  EXPECT_EQ(byId.count(0), 0u);
  EXPECT_EQ(byHandle.count(0), 0u);
  EXPECT_EQ(byHandle.count(handles.empty() ? 8 : handles.back() + 8), 0u);
}

TEST(HeapIds, answers_as_two_maps_would_in_a_jdk_order_and_in_any_order) {
  std::mt19937_64 rng(27);
  for (size_t n : {0, 1, 2, 3, 17, 500}) {
    for (size_t unordered : {0, 1, 5}) checkAgainstMaps(rng, n, unordered, false);
    checkAgainstMaps(rng, n, 0, true);
  }
}

TEST(HeapIds, empty_maps_find_nothing) {
  const HandleOfId byId;
  const IdOfHandle byHandle;
  EXPECT_EQ(byId.find(8), byId.end());
  EXPECT_EQ(byHandle.find(8), byHandle.end());
  EXPECT_TRUE(byId.empty() && byHandle.empty());
  EXPECT_THROW(byId.at(8), std::out_of_range);
}

}  // namespace
