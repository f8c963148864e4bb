// The share of objects with a path on a large dump, measured on request: set
// TAVOLIN_SHARE_DUMP to a plain .hprof file (the import benchmark's large dump, say),
// TAVOLIN_SHARE_SAMPLE to the sample size (300 if unset) and, if the searches must end by then,
// TAVOLIN_SHARE_SECONDS to a time limit. Skipped otherwise: on a dump of millions of objects the
// independent reading and the searches take minutes.
//
// The sample is drawn as in the JVM dumps' test: objects and object arrays reachable from the
// dump's roots without passing through a Reference object, in a fixed random order.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "simvm/library.h"
#include "tests/common/testkit.h"
#include "tests/hprof/hprof_testing.h"
#include "tests/hprof/reachability.h"

namespace {

using namespace hproftest;

TEST(LargeDumpOnRequest, share_of_sampled_reachable_objects_with_a_path) {
  const char* path = std::getenv("TAVOLIN_SHARE_DUMP");
  if (!path) GTEST_SKIP() << "set TAVOLIN_SHARE_DUMP to a plain dump to measure it";
  const char* sample = std::getenv("TAVOLIN_SHARE_SAMPLE");
  const size_t want = sample ? std::strtoul(sample, nullptr, 10) : 300;
  const char* limit = std::getenv("TAVOLIN_SHARE_SECONDS");
  const double budget = limit ? std::strtod(limit, nullptr) : 1e9;
  const auto start = std::chrono::steady_clock::now();
  const auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };

  std::vector<uint64_t> candidates;
  size_t reachable = 0;
  {
    const Reachability r = reachableObjects(path);
    ASSERT_EQ(r.error, "");
    reachable = r.reachable.size();
    for (uint64_t id : r.reachable) {
      const Reachability::Kind kind = r.kindOf.at(id);
      if (kind == Reachability::kClass || kind == Reachability::kPrimitiveArray) continue;
      if (r.isReference.count(id)) continue;
      candidates.push_back(id);
    }
  }
  std::printf("independent reading: %zu reachable, %zu candidates (%.0f s)\n", reachable,
              candidates.size(), seconds());
  std::fflush(stdout);
  std::shuffle(candidates.begin(), candidates.end(), std::mt19937(14));

  auto heap = simvm::loadHprof(path);
  simvm::Library lib(testkit::libraryDir(), true);
  simvm::Caller call(*heap->vm, lib);
  simvm::Vm& vm = *heap->vm;
  std::printf("loaded (%.0f s)\n", seconds());
  std::fflush(stdout);
  size_t tried = 0, found = 0, referenceArrays = 0;
  for (uint64_t id : candidates) {
    if (tried == want || seconds() > budget) break;
    const uint32_t h = heap->handleOfId.at(id);
    if (vm.isClassHandle(h)) continue;  // primitive mirrors became classes
    bool referenceElements = false;
    if (vm.typeCodeOf(h) == simvm::kObjectArray)
      for (uint32_t c = vm.classOfObject(h); c != 0; c = vm.superclassOf(c))
        referenceElements |= c == vm.referenceClass();
    if (referenceElements) {  // the library takes such an array for a Reference object
      ++referenceArrays;
      continue;
    }
    simvm::VmScope scope(vm);
    const simvm::PathResult p = call.path(h, 1 << 26);
    ++tried;
    if (tried % 10 == 0) {
      std::printf("%zu searched, %zu with a path (%.0f s)\n", tried, found + (p.array != 0),
                  seconds());
      std::fflush(stdout);
    }
    if (p.array != 0)
      ++found;
    else
      std::printf("no path: %s @%llx: %s\n",
                  vm.classOfObject(h) ? vm.className(vm.classOfObject(h)).c_str() : "?",
                  static_cast<unsigned long long>(id), p.message.c_str());
  }
  std::printf(
      "%zu of %zu sampled objects have a path (%.2f%%); %zu arrays of Reference "
      "elements left out; %.0f s\n",
      found, tried, tried ? 100.0 * double(found) / double(tried) : 0.0, referenceArrays,
      seconds());
  EXPECT_EQ(found, tried);
}

}  // namespace
