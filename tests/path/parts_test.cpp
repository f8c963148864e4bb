// The path search's parts on their own: the walking search's slot marks against a plain map
// across their growths, and the index of referrers against the links the graph offers.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "queries/classtable.h"
#include "queries/heapwalk.h"
#include "queries/path/graph.h"
#include "queries/path/index.h"
#include "queries/path/slot_marks.h"
#include "simvm/vm.h"
#include "tests/common/random_heap.h"
#include "vm/handles.h"

namespace {

// Slots are put in a random order, low ones (whose keys probe from the same places) and the
// highest a map may hold; after every put each mark put so far reads back, a slot never put
// reads 0, and the map is a power of two at most half full that grew only when it had to.
TEST(SlotMarks, agree_with_a_plain_map_through_every_growth) {
  std::mt19937 rng(3);
  tv::SlotMarks marks = {};
  std::map<uint32_t, uint32_t> want;
  uint32_t growths = 0;
  while (want.size() < 4 * tv::kMarksFirstSize + 1) {
    uint32_t slot = want.size() % 3 == 0 ? UINT32_MAX - 1 - rng() % 4096 : rng() % 50000;
    if (want.count(slot)) continue;
    uint32_t mask = marks.mask;
    uint32_t mark = rng() | 1;
    ASSERT_EQ(tv::marksPut(&marks, slot, mark), 1);
    want[slot] = mark;
    ASSERT_EQ((marks.mask + 1) & marks.mask, 0u);
    ASSERT_LE(2 * marks.count, marks.mask + 1);
    ASSERT_EQ(marks.count, want.size());
    if (marks.mask != mask) {
      growths++;
      // Only the put that would have made the map more than half full grows it.
      ASSERT_EQ(mask == 0 ? tv::kMarksFirstSize : 2 * (mask + 1), marks.mask + 1);
      ASSERT_GT(2 * marks.count, mask + 1);
    }
    if (want.size() % 97 == 0 || marks.mask != mask || 2 * marks.count == marks.mask + 1) {
      for (const auto& [s, m] : want) ASSERT_EQ(tv::marksGet(&marks, s), m) << s;
      for (int k = 0; k < 64; k++) {
        uint32_t absent = rng() % 60000;
        if (!want.count(absent)) {
          ASSERT_EQ(tv::marksGet(&marks, absent), 0u) << absent;
        }
      }
    }
  }
  EXPECT_EQ(growths, 5u);  // made at 1024 entries, then 2048, 4096, 8192, 16384
  tv::marksFree(&marks);
  EXPECT_EQ(marks.keys, nullptr);
}

struct Offered {
  std::vector<std::vector<uint32_t>>* in;
  uint32_t from;
};

// For every slot, the index lists exactly the referrers the graph offers (one per offer, stack
// links tagged), whatever order it dealt them in. The larger heaps span many buckets of slots,
// so that far links go through the buffers; an array of many elements that all name one
// far bucket fills its buffer several times over.
TEST(PathIndex, lists_each_slots_referrers_as_the_graph_offers_them) {
  struct Size {
    uint32_t slots, objects;
  };
  for (Size size : {Size{2048, 120}, Size{40000, 30000}}) {
    for (uint32_t seed = 1; seed <= 3; seed++) {
      simvm::VmConfig config;
      config.slots = size.slots;
      config.arenaBytes = 16u << 20;
      simvm::Vm vm(config);
      std::mt19937 rng(seed);
      pathtest::RandomHeap made = pathtest::buildRandomHeap(vm, rng, {size.objects});
      std::sort(made.objects.begin(), made.objects.end());
      uint32_t fan = vm.newObjectArray(vm.objectClass(), 1200);
      for (uint32_t i = 0; i < 1200; i++)
        vm.setElement(fan, i, made.objects[i % std::min<size_t>(50, made.objects.size())]);
      tv::HandleSpace space = tv::beginHeapWalk();
      tv::ClassTable classes;
      ASSERT_TRUE(tv::classTableInit(&classes, tv::fieldIsReference, 1));
      tv::PathGraph g = {space, tv::slotCount(space), &classes};

      std::vector<std::vector<uint32_t>> want(g.slots);
      tv::walkSlots(space, [&](uint32_t h, uint32_t body, uint32_t methods) {
        Offered offered = {&want, tv::graphSlot(&g, h)};
        tv::SlotView v = tv::viewSlotWords(&g, body, methods);
        tv::forEachFieldLink(&g, h, v, [&](uint32_t t) {
          want[t].push_back(offered.from);
          return false;
        });
        if (tv::isThreadSlot(v))
          tv::forEachStackLink(
              &g, h,
              [](uint32_t t, void* context) {
                Offered* o = static_cast<Offered*>(context);
                (*o->in)[t].push_back(o->from | tv::kStackEdge);
              },
              &offered);
      });

      tv::PathIndex index;
      ASSERT_EQ(tv::indexBuild(&index, &g), 1);
      uint64_t total = 0, stack = 0, farIntoFirstBucket = 0;
      for (uint32_t t = 0; t < g.slots; t++) {
        ASSERT_LE(index.inStart[t], index.inStart[t + 1]);
        std::vector<uint32_t> got(index.in + index.inStart[t], index.in + index.inStart[t + 1]);
        std::sort(got.begin(), got.end());
        std::sort(want[t].begin(), want[t].end());
        ASSERT_EQ(got, want[t]) << "seed " << seed << " slot " << t;
        total += got.size();
        for (uint32_t x : got)
          if (t < 1024 && (x & tv::kEdgeSlot) >= t + 1024) farIntoFirstBucket++;
        stack +=
            std::count_if(got.begin(), got.end(), [](uint32_t x) { return x & tv::kStackEdge; });
      }
      EXPECT_EQ(index.edges, total);
      EXPECT_EQ(index.inStart[g.slots], total);
      EXPECT_GT(stack, 0u);  // the heaps have threads whose frames hold objects
      if (size.slots > 4096) {
        EXPECT_GT(farIntoFirstBucket, 2 * 256u);
      }
      tv::indexFree(&index);
      tv::classTableFree(&classes);
    }
  }
}

}  // namespace
