// A heap shaped like an application's, built through the stand-in VM's public interface, for the
// benchmarks: about 200 classes in hierarchies up to 6 deep that declare 2 to 8 fields each,
// instances spread over the classes with Zipf-like popularity, 70% plain objects, 20% object
// arrays of 0 to 16 elements, 10% primitive arrays, references mostly to nearby slots with some
// long links, 8 threads of 5 to 20 frames, a few weak references. Bodies lie in handle order,
// as in a heap just compacted. The same shape and seed always give the same heap.
//
// For the path search a chain of plain objects is planted, its head held by the static field
// `root` of app/Registry and its members referred to by nothing else, so that the shortest
// path from a root to chain[d - 1] has exactly d links.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "simvm/vm.h"

namespace heapkit {

struct AppHeapShape {
  uint32_t slots = 1000000;  // live slots of the bulk (objects and arrays), about
  uint32_t seed = 1;
  uint32_t classes = 200;
  uint32_t chainLength = 1000;
};

struct AppHeap {
  std::unique_ptr<simvm::Vm> vm;
  std::vector<uint32_t> classes;  // application classes, in definition order
  uint32_t registry = 0;          // app/Registry, whose static `root` holds chain[0]
  std::vector<uint32_t> chain;    // chain[i] refers to chain[i + 1], nothing else refers to it
  std::vector<uint32_t> threads;  // the 8 worker threads
  uint32_t stream = 0;            // a java/io/ByteArrayOutputStream for reports
  uint32_t messageOut = 0;        // a one-element String array for the path search's message
  // A class with subclasses whose instances are about 2% of the objects: a listing of a
  // middling size.
  uint32_t middleClass = 0;
  uint32_t sampleObject = 0;  // a plain object held by a thread's local and some fields
  uint32_t sampleArray = 0;   // an object array
  uint32_t bulkSlots = 0;     // slots made by the bulk
  uint64_t references = 0;    // non-null reference fields and elements of the bulk
};

// Builds the heap; the new VM is the current one.
std::unique_ptr<AppHeap> buildAppHeap(const AppHeapShape& shape);

}  // namespace heapkit
