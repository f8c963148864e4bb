// PtrList and PtrMap at their growth boundaries, and the stable sort. The iteration orders
// matter: they fix the order in which map values reach the sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "support/ptrlist.h"
#include "support/ptrmap.h"
#include "support/stable_sort.h"

namespace {

using tv::PtrList;
using tv::PtrMap;

std::vector<uintptr_t> itemsOf(const PtrList* list) {
  std::vector<uintptr_t> out;
  for (int32_t i = 0; i < tv::listCount(list); i++) out.push_back(tv::listGet(list, i));
  return out;
}

std::vector<uintptr_t> valuesOf(const PtrMap* map) {
  PtrList* list = tv::listNew();
  EXPECT_EQ(tv::mapValuesInto(map, list), 1);
  std::vector<uintptr_t> out = itemsOf(list);
  tv::listDestroy(&list);
  return out;
}

TEST(PtrList, eleventh_push_grows_capacity_to_24_keeping_the_first_ten_in_order) {
  PtrList* list = tv::listNew();
  ASSERT_NE(list, nullptr);
  for (uintptr_t v = 1; v <= 10; v++) ASSERT_EQ(tv::listPush(list, v), 1);
  EXPECT_EQ(list->capacity, 10);
  ASSERT_EQ(tv::listPush(list, 11), 1);
  EXPECT_EQ(list->capacity, 24);
  EXPECT_EQ(itemsOf(list), (std::vector<uintptr_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  std::vector<int32_t> capacities{list->capacity};
  for (uintptr_t v = 12; v <= 200; v++) {
    tv::listPush(list, v);
    if (list->capacity != capacities.back()) capacities.push_back(list->capacity);
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{24, 52, 108, 220}));
  EXPECT_EQ(tv::listGet(list, 199), 200u);
  tv::listDestroy(&list);
  EXPECT_EQ(list, nullptr);
}

int g_compares = 0;
int countingCompare(const void* a, const void* b) {
  g_compares++;
  uintptr_t x = *static_cast<const uintptr_t*>(a), y = *static_cast<const uintptr_t*>(b);
  return x < y ? -1 : x > y;
}

TEST(PtrList, sort_calls_no_comparator_for_fewer_than_two_values_and_sorts_otherwise) {
  PtrList* list = tv::listNew();
  g_compares = 0;
  tv::listSort(list, countingCompare);
  tv::listPush(list, 7);
  tv::listSort(list, countingCompare);
  EXPECT_EQ(g_compares, 0);
  for (uintptr_t v : {3, 9, 1}) tv::listPush(list, v);
  tv::listSort(list, countingCompare);
  EXPECT_GT(g_compares, 0);
  EXPECT_EQ(itemsOf(list), (std::vector<uintptr_t>{1, 3, 7, 9}));
  tv::listDestroy(&list);
}

// Items carry a small key above their original position; only the key is compared, so every
// tie shows whether list order was kept.
int compareKeys(const void* a, const void* b) {
  uintptr_t x = *static_cast<const uintptr_t*>(a) >> 20,
            y = *static_cast<const uintptr_t*>(b) >> 20;
  return x < y ? -1 : x > y;
}

TEST(StableSort, agrees_with_a_reference_stable_sort_with_and_without_scratch) {
  std::mt19937 rng(17);
  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 70; n++) sizes.push_back(n);
  for (size_t n : {255, 256, 257, 1000, 4099, 65536}) sizes.push_back(n);
  for (size_t n : sizes) {
    for (uintptr_t keys : {1u, 2u, 7u, 1000u}) {
      std::vector<uintptr_t> items(n);
      for (size_t i = 0; i < n; i++) items[i] = (rng() % keys) << 20 | i;
      if (keys == 7 && n > 2) std::sort(items.begin(), items.begin() + n / 2);  // a sorted run
      std::vector<uintptr_t> want = items;
      std::stable_sort(want.begin(), want.end(),
                       [](uintptr_t a, uintptr_t b) { return a >> 20 < b >> 20; });
      std::vector<uintptr_t> withScratch = items, inPlace = items;
      tv::sortStable(withScratch.data(), n, compareKeys);
      tv::sortStableWith(inPlace.data(), n, nullptr, compareKeys);
      ASSERT_EQ(withScratch, want) << n << " items, " << keys << " keys";
      ASSERT_EQ(inPlace, want) << n << " items, " << keys << " keys, merged in place";
    }
  }
}

TEST(PtrMap, starts_with_101_empty_buckets_and_finds_nothing) {
  PtrMap* map = tv::mapNew();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->size, 101);
  EXPECT_EQ(map->threshold, 75);
  EXPECT_EQ(tv::mapFind(map, 42), 0u);
  EXPECT_EQ(tv::mapContains(map, 42), 0);
  EXPECT_TRUE(valuesOf(map).empty());
  tv::mapDestroy(&map);
  EXPECT_EQ(map, nullptr);
}

TEST(PtrMap, the_76th_distinct_key_grows_the_map_to_203_buckets_before_inserting) {
  PtrMap* map = tv::mapNew();
  for (int32_t k = 1; k <= 75; k++) ASSERT_EQ(tv::mapPut(map, k * 8, k), 1);
  EXPECT_EQ(map->size, 101);
  EXPECT_EQ(map->count, 75);
  ASSERT_EQ(tv::mapPut(map, 76 * 8, 76), 1);
  EXPECT_EQ(map->size, 203);
  EXPECT_EQ(map->threshold, 152);
  EXPECT_EQ(map->count, 76);
  for (int32_t k = 1; k <= 76; k++) EXPECT_EQ(tv::mapFind(map, k * 8), static_cast<uintptr_t>(k));
  tv::mapDestroy(&map);
}

TEST(PtrMap, replacing_a_value_at_the_threshold_neither_grows_nor_counts) {
  PtrMap* map = tv::mapNew();
  for (int32_t k = 1; k <= 75; k++) tv::mapPut(map, k, k);
  ASSERT_EQ(tv::mapPut(map, 40, 4000), 1);
  EXPECT_EQ(map->size, 101);
  EXPECT_EQ(map->count, 75);
  EXPECT_EQ(tv::mapFind(map, 40), 4000u);
  tv::mapDestroy(&map);
}

TEST(PtrMap, sizes_and_thresholds_run_101_203_407_815) {
  PtrMap* map = tv::mapNew();
  std::vector<std::pair<int32_t, int32_t>> seen{{map->size, map->threshold}};
  for (int32_t k = 1; k <= 611; k++) {  // the 612th would grow again
    tv::mapPut(map, k, k);
    if (map->size != seen.back().first) seen.push_back({map->size, map->threshold});
  }
  EXPECT_EQ(seen, (std::vector<std::pair<int32_t, int32_t>>{
                      {101, 75}, {203, 152}, {407, 305}, {815, 611}}));
  tv::mapDestroy(&map);
}

TEST(PtrMap, a_negative_key_is_hashed_by_its_low_31_bits) {
  PtrMap* map = tv::mapNew();
  const int32_t high = static_cast<int32_t>(0x80000007u);  // an address at or above 2 GB
  tv::mapPut(map, 7, 1);
  tv::mapPut(map, high, 2);
  ASSERT_NE(map->buckets[7], nullptr);
  EXPECT_EQ(map->buckets[7]->key, high);
  ASSERT_NE(map->buckets[7]->next, nullptr);
  EXPECT_EQ(map->buckets[7]->next->key, 7);
  EXPECT_EQ(tv::mapFind(map, high), 2u);
  EXPECT_EQ(tv::mapFind(map, 7), 1u);
  tv::mapDestroy(&map);
}

TEST(PtrMap, keys_sharing_one_bucket_come_out_newest_first) {
  PtrMap* map = tv::mapNew();
  for (int32_t k : {3, 3 + 101, 3 + 202, 3 + 303}) tv::mapPut(map, k, static_cast<uintptr_t>(k));
  EXPECT_EQ(valuesOf(map), (std::vector<uintptr_t>{306, 205, 104, 3}));
  tv::mapDestroy(&map);
}

// Keys 0 and 101 * 203 share bucket 0 before and after the growth. The growth moves the chain
// head first, so the shared chain comes out reversed; the other buckets come out last first.
TEST(PtrMap, values_after_a_growth_come_out_from_the_last_bucket_down_with_shared_chains_reversed) {
  PtrMap* map = tv::mapNew();
  const int32_t twin = 101 * 203;
  tv::mapPut(map, 0, 1000);
  tv::mapPut(map, twin, 1000 + twin);
  for (int32_t k = 1; k <= 73; k++) tv::mapPut(map, k, 1000 + k);
  std::vector<uintptr_t> before = valuesOf(map);
  ASSERT_EQ(before.size(), 75u);
  EXPECT_EQ(before[73], static_cast<uintptr_t>(1000 + twin));
  EXPECT_EQ(before[74], 1000u);

  tv::mapPut(map, 74, 1074);  // the 76th key
  ASSERT_EQ(map->size, 203);
  std::vector<uintptr_t> expected;
  for (int32_t k = 74; k >= 1; k--) expected.push_back(1000 + k);
  expected.push_back(1000);
  expected.push_back(1000 + twin);
  EXPECT_EQ(valuesOf(map), expected);
  tv::mapDestroy(&map);
}

}  // namespace
