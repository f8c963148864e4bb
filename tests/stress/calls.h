// The calls the stress program makes: all eight queries with mixed arguments on one random heap,
// run through the raw stubs so that a caller reuses its own stream and message array instead of
// allocating new ones per call (the heap would otherwise grow with the number of calls).
#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "simvm/library.h"
#include "simvm/vm.h"
#include "tests/common/random_heap.h"

namespace stress {

enum class Query {
  kClassInfo,
  kHandleInfo,
  kClasses,
  kHandles,
  kReferences,
  kReferrers,
  kPath,
  kUsage,
};
constexpr int kQueries = 8;
const char* methodName(Query q);

struct Call {
  Query query;
  uint32_t handle = 0;    // target, class, or the prefix string
  uint32_t a = 0, b = 0;  // flags, array mode, maxNodes
};

// What a caller keeps for its calls: its own stream, and a message array whose second element
// is a canary the library must never write.
struct CallerSlots {
  uint32_t stream = 0;
  uint32_t messageOut = 0;
  uint32_t canary = 0;
};
CallerSlots newCallerSlots(simvm::Vm& vm);

struct Answer {
  std::string bytes;              // stream bytes, description text, or the path as text
  std::vector<uint32_t> handles;  // every handle the answer names (records, path)
  std::string fault;              // set when the answer broke a rule (undecodable, canary written)
};

Answer run(simvm::Vm& vm, simvm::Caller& caller, const CallerSlots& slots, const Call& call);

// Calls over the heap's own package ("t/"): the callers' own allocations (streams, description
// strings) are java/ objects and so never change these answers.
std::vector<Call> mixedCalls(simvm::Vm& vm, const pathtest::RandomHeap& heap,
                             const std::vector<uint32_t>& extraTargets, std::mt19937& rng,
                             size_t count);

}  // namespace stress
