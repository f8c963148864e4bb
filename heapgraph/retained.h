// Retained sizes: what freeing an object would give back. An object's retained size is its own
// shallow size plus that of every object it dominates (every object all of whose paths from the
// roots pass through it). A class's figure is the sum over its top-level instances: those not
// dominated by another instance of the same class, whose bytes are already counted there.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "heapgraph/dominators.h"
#include "simvm/vm.h"

namespace heapgraph {

class HeapDominators {
 public:
  // Reads the heap and computes its dominator tree. The VM must outlive the result, and the
  // result describes the heap as it was: compute again after the heap changes.
  static std::unique_ptr<HeapDominators> compute(const simvm::Vm& vm,
                                                 const Progress& progress = {});

  // Whether a path from the roots reaches the handle (a live handle of the heap as read).
  bool reachable(uint32_t h) const { return numberOf(h) != kUnreached; }
  // Its retained and shallow sizes; 0 for a handle no path reaches.
  uint64_t retained(uint32_t h) const;
  uint32_t shallow(uint32_t h) const;
  // Its immediate dominator; 0 when that is the virtual root above all roots, or h is unreached.
  uint32_t dominator(uint32_t h) const;
  // What h immediately dominates (h = 0: the virtual root), largest retained size first, then
  // in handle order.
  std::vector<uint32_t> dominated(uint32_t h) const;
  // Every reachable byte: the virtual root's retained size.
  uint64_t total() const { return reachedRetained_.empty() ? 0 : reachedRetained_[0]; }
  uint32_t reachedObjects() const { return dom_.reached ? dom_.reached - 1 : 0; }
  // The reachable objects with the largest retained sizes, largest first (ties in handle
  // order): `limit` of them after the first `skip`.
  std::vector<uint32_t> largest(size_t limit, size_t skip = 0) const;
  // Ranks every reachable object once, so that any stretch of largest() costs what its rows do
  // (until then, a deep stretch ranks them on first use). Safe to call from several threads.
  void rankAll() const;

  // Per class (plain instances only): the sum of its top-level instances' retained sizes.
  const std::unordered_map<uint32_t, uint64_t>& classRetained() const { return classTotals_; }
  uint64_t classRetained(uint32_t cls) const;
  // The instances of cls that make up its figure, largest first.
  std::vector<uint32_t> topLevelInstances(uint32_t cls) const;
  // How many they are (kept: no walk of the tree).
  uint32_t topLevelCount(uint32_t cls) const;

 private:
  HeapDominators() = default;
  uint32_t numberOf(uint32_t h) const;
  uint32_t handleOfNumber(uint32_t n) const { return first_ + 8 * (dom_.order[n] - 1); }
  uint32_t classOfNumber(uint32_t n) const;
  void sortBySize(std::vector<uint32_t>& numbers) const;

  const simvm::Vm* vm_ = nullptr;
  uint32_t first_ = 0, slots_ = 0, classMethods_ = 0;
  Dominators dom_;
  std::vector<uint64_t> reachedRetained_;  // per number
  Words childStart_, children_;            // the dominator tree, by number
  std::unordered_map<uint32_t, uint64_t> classTotals_;
  std::unordered_map<uint32_t, uint32_t> classTopLevel_;  // topLevelInstances' sizes
  mutable std::once_flag ranked_;
  mutable std::atomic<bool> rankedReady_{false};
  mutable std::vector<uint32_t> ranking_;  // every reachable number, largest first (rankAll)
};

}  // namespace heapgraph
