// Seeded random heaps for the differential tests (path, referrers, usage): class hierarchies with
// static and instance reference fields, Thread and Reference subclasses, object arrays and
// arrays of arrays, threads with frames (some without a MethodBlock, some empty), the calling
// thread holding objects, cycles, freed slots and junk values.
#pragma once
#include <cstdint>
#include <random>
#include <vector>

#include "simvm/vm.h"

namespace pathtest {

struct RandomHeapShape {
  uint32_t maxObjects = 120;  // objects and arrays made, before some are freed
};

// What a random heap holds, for choosing targets.
struct RandomHeap {
  std::vector<uint32_t> objects;     // plain objects, threads and Reference instances
  std::vector<uint32_t> arrays;      // object arrays
  std::vector<uint32_t> primitives;  // primitive arrays
  std::vector<uint32_t> classes;     // every class handle
  std::vector<uint32_t> freed;       // slots freed after the wiring
  std::vector<uint32_t> junk;        // values that are no handle
};

RandomHeap buildRandomHeap(simvm::Vm& vm, std::mt19937& rng, const RandomHeapShape& shape);

// A target of any kind, live or not, weighted toward objects.
uint32_t pickTarget(const RandomHeap& heap, std::mt19937& rng);
int32_t pickMaxNodes(std::mt19937& rng);

}  // namespace pathtest
