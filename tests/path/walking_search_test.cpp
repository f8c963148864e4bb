// The search that walks the heap once per level (taken when the index cannot be had) against
// the same plain model, through the tests' copy of the library that never builds the index.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "tests/common/random_heap.h"
#include "tests/common/testkit.h"
#include "tests/path/path_call.h"
#include "tests/path/path_model.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kHeaps = 150;
#else
constexpr uint32_t kHeaps = 400;
#endif
constexpr int kCallsPerHeap = 4;

TEST(PathWithoutIndex, walking_search_agrees_with_the_model_on_random_heaps) {
  simvm::VmConfig config;
  config.slots = 2048;
  config.arenaBytes = 4u << 20;
  std::map<std::string, int> outcomes;
  for (uint32_t seed = 5001; seed < 5001 + kHeaps; seed++) {
    testkit::Heap heap(config, testkit::libraryDir() + "/without-index");
    std::mt19937 rng(seed);
    pathtest::RandomHeap made = pathtest::buildRandomHeap(heap.vm, rng, {});
    pathmodel::Model model(heap.vm);
    for (int call = 0; call < kCallsPerHeap; call++) {
      uint32_t target = pathtest::pickTarget(made, rng);
      int32_t maxNodes = pathtest::pickMaxNodes(rng);
      uint32_t messageOut = pathtest::newMessageArray(heap.vm);
      pathmodel::Answer want = model.find(target, maxNodes);
      pathtest::PathCall got = pathtest::callPath(heap.vm, heap.call, target, maxNodes, messageOut);
      ASSERT_EQ(got.handles, want.path) << "seed " << seed << " call " << call;
      ASSERT_EQ(got.message, want.message) << "seed " << seed << " call " << call;
      outcomes[want.message.empty() ? "found" : want.message]++;
    }
  }
  // Every outcome is reached, so the comparison is not vacuous.
  EXPECT_GT(outcomes["found"], static_cast<int>(kHeaps) / 10);
  EXPECT_GT(outcomes["Search Failed"], static_cast<int>(kHeaps) / 10);
  EXPECT_GT(outcomes["Exceeded maximum nodes"], static_cast<int>(kHeaps) / 10);
}

}  // namespace
