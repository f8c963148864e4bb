// The search that walks the heap once per level (taken when the index cannot be had) against
// the same plain model, called directly through the core linked into this test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>

#include "queries/classtable.h"
#include "queries/heapwalk.h"
#include "queries/path/graph.h"
#include "queries/path/search.h"
#include "simvm/vm.h"
#include "tests/common/random_heap.h"
#include "tests/path/path_call.h"
#include "tests/path/path_model.h"
#include "vm/handles.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kHeaps = 150;
#else
constexpr uint32_t kHeaps = 400;
#endif
constexpr int kCallsPerHeap = 4;

// What findPathToRoot0 would answer if the index could not be had: the same class table, the
// classes of every slot noted first, then searchPath with no index. The messages are the ones
// the library stores for each outcome.
pathmodel::Answer walkingSearch(uint32_t target, int32_t maxNodes) {
  tv::HandleSpace space = tv::beginHeapWalk();
  if (!tv::isObject(target) && !tv::isObjectArray(target)) return {{}, "Search Failed"};
  tv::ClassTable classes;
  tv::PathGraph g = {space, tv::slotCount(space), &classes};
  if (!tv::classTableInit(&classes, tv::fieldIsReference, 1) || !tv::noteSlotClasses(&g)) {
    tv::classTableFree(&classes);
    return {{}, "no class table"};
  }
  uint32_t* path = nullptr;
  uint32_t length = 0;
  tv::PathOutcome outcome = tv::searchPath(&g, nullptr, target, maxNodes, &path, &length);
  tv::classTableFree(&classes);
  pathmodel::Answer answer;
  switch (outcome) {
    case tv::kPathFound:
      answer.path.assign(path, path + length);
      break;
    case tv::kPathExceeded:
      answer.message = "Exceeded maximum nodes";
      break;
    case tv::kPathSearchFailed:
      answer.message = "Search Failed";
      break;
    case tv::kPathOutOfMemory:
      answer.message = "out of memory";
      break;
  }
  std::free(path);
  return answer;
}

TEST(PathWithoutIndex, walking_search_agrees_with_the_model_on_random_heaps) {
  simvm::VmConfig config;
  config.slots = 2048;
  config.arenaBytes = 4u << 20;
  std::map<std::string, int> outcomes;
  for (uint32_t seed = 5001; seed < 5001 + kHeaps; seed++) {
    simvm::Vm vm(config);
    std::mt19937 rng(seed);
    pathtest::RandomHeap made = pathtest::buildRandomHeap(vm, rng, {});
    pathmodel::Model model(vm);
    // The core caches java/lang/Class and Thread for the life of the process; every heap here
    // is built alike, so the cached handles must be this heap's.
    ASSERT_EQ(tv::classClassHandle(), vm.serviceFindClass("java/lang/Class")) << "seed " << seed;
    for (int call = 0; call < kCallsPerHeap; call++) {
      uint32_t target = pathtest::pickTarget(made, rng);
      int32_t maxNodes = pathtest::pickMaxNodes(rng);
      pathtest::newMessageArray(vm);  // as the library's callers make one before each call
      pathmodel::Answer want = model.find(target, maxNodes);
      pathmodel::Answer got = walkingSearch(target, maxNodes);
      ASSERT_EQ(got.path, want.path) << "seed " << seed << " call " << call;
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
