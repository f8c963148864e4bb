// The library's path search against the plain model on many seeded random heaps, and the
// search that walks the heap once per level (taken when the index cannot be had), called
// directly through the core linked into this test, against the same answers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <sstream>

#include "queries/classtable.h"
#include "queries/heapwalk.h"
#include "queries/path/graph.h"
#include "queries/path/search.h"
#include "tests/common/random_heap.h"
#include "tests/common/testkit.h"
#include "tests/path/path_call.h"
#include "tests/path/path_model.h"
#include "vm/handles.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kHeaps = 600;  // the sanitizers slow every read; fewer heaps keep it short
#else
constexpr uint32_t kHeaps = 1200;
#endif
constexpr int kCallsPerHeap = 4;
constexpr uint32_t kLargeHeaps = 3;
constexpr int32_t kLargeLimit = 100000;

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

std::string show(const std::vector<uint32_t>& path) {
  std::ostringstream out;
  for (uint32_t h : path) out << testkit::hex(h) << ' ';
  return out.str();
}

TEST(PathDifferential, library_and_walking_search_agree_with_the_model_on_random_heaps) {
  simvm::VmConfig config;
  config.slots = 2048;
  config.arenaBytes = 4u << 20;
  std::map<std::string, int> outcomes;  // what the runs covered, to check the heaps are varied
  std::map<std::string, int> walked;
  size_t longest = 0;
  for (uint32_t seed = 1; seed <= kHeaps; seed++) {
    config.high =
        seed % 5 == 0 &&
        simvm::Vm::highPlacementAvailable();  // handles at or above 2 GB are negative as int32
    testkit::Heap heap(config);
    std::mt19937 rng(seed);
    pathtest::RandomHeap made = pathtest::buildRandomHeap(heap.vm, rng, {});
    pathmodel::Model model(heap.vm);  // one model per library: the class set carries over
    // The walking search on every third heap below 2 GB. The core caches java/lang/Class for
    // the life of the process; those heaps are all laid out alike, so it must be theirs.
    bool walk = seed % 3 == 0 && !config.high;
    if (walk) {
      ASSERT_EQ(tv::classClassHandle(), heap.vm.serviceFindClass("java/lang/Class"));
    }
    for (int call = 0; call < kCallsPerHeap; call++) {
      uint32_t target = pathtest::pickTarget(made, rng);
      int32_t maxNodes = pathtest::pickMaxNodes(rng);
      uint32_t messageOut = pathtest::newMessageArray(heap.vm);
      pathmodel::Answer want = model.find(target, maxNodes);
      pathtest::PathCall got = pathtest::callPath(heap.vm, heap.call, target, maxNodes, messageOut);
      ASSERT_EQ(got.handles, want.path)
          << "seed " << seed << " call " << call << " target " << testkit::hex(target)
          << " maxNodes " << maxNodes << "\n  library: " << show(got.handles)
          << "\n  model:   " << show(want.path);
      ASSERT_EQ(got.message, want.message) << "seed " << seed << " call " << call << " target "
                                           << testkit::hex(target) << " maxNodes " << maxNodes;
      ASSERT_EQ(got.array == 0, !want.message.empty()) << "seed " << seed;
      outcomes[want.message.empty() ? "found" : want.message]++;
      longest = std::max(longest, want.path.size());
      if (!walk) continue;
      pathmodel::Answer walking = walkingSearch(target, maxNodes);
      ASSERT_EQ(walking.path, want.path) << "walking, seed " << seed << " call " << call;
      ASSERT_EQ(walking.message, want.message) << "walking, seed " << seed << " call " << call;
      walked[want.message.empty() ? "found" : want.message]++;
    }
  }
  // The heaps must exercise every outcome, and paths longer than one link.
  EXPECT_GT(outcomes["found"], static_cast<int>(kHeaps) / 10);
  EXPECT_GT(outcomes["Search Failed"], static_cast<int>(kHeaps) / 10);
  EXPECT_GT(outcomes["Exceeded maximum nodes"], static_cast<int>(kHeaps) / 10);
  EXPECT_GE(longest, 8u);
  for (const char* outcome : {"found", "Search Failed", "Exceeded maximum nodes"})
    EXPECT_GT(walked[outcome], static_cast<int>(kHeaps) / 40) << outcome;
}

// Heaps of many thousand slots: the library's index sorts references in blocks of slots, and
// these heaps span several blocks.
TEST(PathDifferential, library_agrees_with_the_model_on_heaps_of_many_blocks) {
  simvm::VmConfig config;
  config.slots = 40000;
  config.arenaBytes = 16u << 20;
  pathtest::RandomHeapShape shape;
  shape.maxObjects = 30000;
  for (uint32_t seed = 1; seed <= kLargeHeaps; seed++) {
    testkit::Heap heap(config);
    std::mt19937 rng(seed);
    pathtest::RandomHeap made = pathtest::buildRandomHeap(heap.vm, rng, shape);
    pathmodel::Model model(heap.vm);
    for (int call = 0; call < kCallsPerHeap; call++) {
      uint32_t target = made.objects[rng() % made.objects.size()];
      uint32_t messageOut = pathtest::newMessageArray(heap.vm);
      pathmodel::Answer want = model.find(target, kLargeLimit);
      pathtest::PathCall got =
          pathtest::callPath(heap.vm, heap.call, target, kLargeLimit, messageOut);
      ASSERT_EQ(got.handles, want.path) << "seed " << seed << " call " << call;
      ASSERT_EQ(got.message, want.message) << "seed " << seed << " call " << call;
    }
  }
}

}  // namespace
