// Retained sizes of seeded random stand-in heaps (tests/common/random_heap.h: class hierarchies
// with statics, threads with frames, Reference objects, object and primitive arrays, cycles,
// freed slots and junk values) against the model graph's data-flow dominators.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "heapgraph/retained.h"
#include "tests/common/random_heap.h"
#include "tests/heapgraph/heap_model_graph.h"

namespace {

TEST(RetainedDifferential, every_handle_of_random_heaps_agrees_with_the_model) {
  int referentsLeftOut = 0, stackHeld = 0;
  for (uint32_t seed = 1; seed <= 120; seed++) {
    simvm::Vm vm;
    std::mt19937 rng(seed);
    pathtest::buildRandomHeap(vm, rng, pathtest::RandomHeapShape{});
    const domtest::ModelGraph model = domtest::modelGraph(vm);
    const std::vector<uint32_t> idom = domtest::referenceIdoms(model.succ, 0);
    const std::vector<uint64_t> retained = domtest::retainedFrom(idom, model.shallow);
    const auto d = heapgraph::HeapDominators::compute(vm);
    ASSERT_EQ(d->total(), retained[0]) << "seed " << seed;
    for (uint32_t node = 1; node < model.succ.size(); node++) {
      const uint32_t h = model.handle(node);
      ASSERT_EQ(d->reachable(h), idom[node] != domtest::kNone)
          << "seed " << seed << ", handle " << h;
      ASSERT_EQ(d->retained(h), retained[node]) << "seed " << seed << ", handle " << h;
      if (idom[node] == domtest::kNone) continue;
      ASSERT_EQ(d->dominator(h), idom[node] == 0 ? 0 : model.handle(idom[node]))
          << "seed " << seed << ", handle " << h;
      ASSERT_EQ(d->shallow(h), model.shallow[node]) << "seed " << seed << ", handle " << h;
    }
    // What the generator made that matters here: a Reference whose referent is reachable no
    // other way, and objects held by a thread's frames alone.
    for (uint32_t node = 1; node < model.succ.size(); node++) {
      if (idom[node] == domtest::kNone) continue;
      const uint32_t h = model.handle(node);
      if (vm.typeCodeOf(h) != simvm::kObject || vm.isClassHandle(h)) continue;
      for (uint32_t c = vm.classOfObject(h); c != 0; c = vm.superclassOf(c)) {
        if (c != vm.referenceClass() || c == vm.classOfObject(h)) continue;
        const uint32_t referent = vm.getField(h, "referent");
        const bool live =
            referent >= model.first && referent < model.handle(uint32_t(model.succ.size())) &&
            referent % 8 == model.first % 8 && model.shallow[model.node(referent)] != 0;
        if (live && !d->reachable(referent)) referentsLeftOut++;
      }
      if (idom[idom[node]] == 0 && idom[node] != 0 &&
          vm.classOfObject(model.handle(idom[node])) != 0) {
        const uint32_t holder = model.handle(idom[node]);
        for (uint32_t t : vm.threads())
          if (t == holder) stackHeld++;
      }
    }
  }
  EXPECT_GT(referentsLeftOut, 0) << "no random heap had an object held only by a Reference";
  EXPECT_GT(stackHeld, 0) << "no random heap had an object dominated by a thread";
}

// Any stretch of the ranking, by a partial sort before rankAll and from the kept ranking after,
// is the model's: reachable objects by retained size, largest first, ties in handle order.
TEST(RetainedDifferential, every_stretch_of_the_ranking_is_the_models) {
  for (uint32_t seed = 1; seed <= 40; seed++) {
    simvm::Vm vm;
    std::mt19937 rng(seed);
    pathtest::buildRandomHeap(vm, rng, pathtest::RandomHeapShape{});
    const domtest::ModelGraph model = domtest::modelGraph(vm);
    const std::vector<uint32_t> idom = domtest::referenceIdoms(model.succ, 0);
    const std::vector<uint64_t> retained = domtest::retainedFrom(idom, model.shallow);
    std::vector<uint32_t> nodes;
    for (uint32_t node = 1; node < model.succ.size(); node++)
      if (idom[node] != domtest::kNone) nodes.push_back(node);
    std::sort(nodes.begin(), nodes.end(), [&](uint32_t a, uint32_t b) {
      return retained[a] != retained[b] ? retained[a] > retained[b] : a < b;
    });
    std::vector<uint32_t> expected;
    for (uint32_t node : nodes) expected.push_back(model.handle(node));
    const auto d = heapgraph::HeapDominators::compute(vm);
    const size_t n = expected.size();
    for (bool ranked : {false, true}) {
      if (ranked) d->rankAll();
      for (size_t skip : {size_t{0}, size_t{1}, n / 3, n - 1, n, n + 5})
        for (size_t limit : {size_t{0}, size_t{1}, size_t{7}, n}) {
          const size_t first = std::min(skip, n), end = std::min(n, first + limit);
          ASSERT_EQ(d->largest(limit, skip),
                    std::vector<uint32_t>(expected.begin() + first, expected.begin() + end))
              << "seed " << seed << (ranked ? ", ranked" : "") << ", skip " << skip << ", limit "
              << limit;
        }
    }
  }
}

}  // namespace
