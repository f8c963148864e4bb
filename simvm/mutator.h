// A mutator: a thread that does to the stand-in VM's heap what a running VM does between two
// reads of the library. It allocates and frees slots, moves bodies (compaction: a copy of the
// body, then the slot's body word updated), stores handles into fields and array elements,
// pushes and pops frames, and loads classes. Each step holds the VM's lock; what the library
// reads in between may be any state the heap passes through.
//
// The mutator touches only what it was given and what it made itself: objects and arrays of
// `objects` and `arrays` (rewritten, moved, freed), the threads of `threads` (frames), and it
// stores values from `targets` and from its own allocations. Anything else (other objects,
// class descriptors, the caller's streams and arrays) it leaves alone, so a test can check that
// nothing else was written.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "simvm/vm.h"

namespace simvm {

struct MutatorConfig {
  uint32_t seed = 1;
  std::vector<uint32_t> objects;     // plain objects it may rewrite, move and free
  std::vector<uint32_t> arrays;      // object arrays it may rewrite, move and free
  std::vector<uint32_t> threads;     // threads whose frames it pushes and pops
  std::vector<uint32_t> classes;     // classes it instantiates and extends (no array classes)
  std::vector<uint32_t> targets;     // values it stores besides its own objects
  uint32_t maxNewSlots = 4096;       // slots it may allocate in all (objects, arrays, classes)
  uint32_t maxNewBytes = 64u << 20;  // arena bytes it may use for bodies, moves and classes
  uint32_t maxFrames = 8;            // frames per thread
};

struct MutationCounts {
  uint64_t allocated = 0, freed = 0, moved = 0, stored = 0, pushed = 0, popped = 0, loaded = 0;
  uint64_t total() const { return allocated + freed + moved + stored + pushed + popped + loaded; }
};

class Mutator {
 public:
  // Starts the mutator's thread.
  Mutator(Vm& vm, MutatorConfig config);
  ~Mutator();  // stops it
  Mutator(const Mutator&) = delete;
  Mutator& operator=(const Mutator&) = delete;

  void stop();
  // So far; exact once stopped.
  MutationCounts counts() const;
  // Why it stopped early (a builder call it made was refused); empty while all is well.
  std::string error() const;

  struct State;

 private:
  std::unique_ptr<State> s_;
  std::thread thread_;
};

}  // namespace simvm
