// The heap's graph for retained sizes, worked out again from the plain model reader
// (tests/common/heap_model.h): roots, links and shallow sizes by their stated rules, with
// nothing shared with heapgraph/ but the VM. Node 0 is the virtual root, node s + 1 slot s.
#pragma once
#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "simvm/vm.h"
#include "tests/common/heap_model.h"
#include "tests/heapgraph/reference_dominators.h"

namespace domtest {

struct ModelGraph {
  uint32_t first = 0;
  std::vector<std::vector<uint32_t>> succ;
  std::vector<uint64_t> shallow;  // per node
  uint32_t node(uint32_t h) const { return (h - first) / 8 + 1; }
  uint32_t handle(uint32_t node) const { return first + 8 * (node - 1); }
};

inline ModelGraph modelGraph(simvm::Vm& vm) {
  heapmodel::Heap heap(vm);
  ModelGraph g;
  g.first = vm.tableFirst();
  const uint32_t slots = vm.slotsUsed();
  g.succ.resize(slots + 1);
  g.shallow.assign(slots + 1, 0);
  const uint32_t end = g.first + 8 * slots;
  const auto live = [&](uint32_t v) { return v >= g.first && v < end && heap.live(v); };
  const uint32_t referenceClass = vm.findClass("java/lang/ref/Reference");
  std::set<uint32_t> threads;
  for (uint32_t t : vm.threads())
    if (t != vm.currentThread() && live(t)) threads.insert(t);
  for (uint32_t c : vm.classes())
    if (live(c) && heap.classObject(c)) g.succ[0].push_back(g.node(c));
  for (uint32_t t : threads) g.succ[0].push_back(g.node(t));
  static const uint32_t kElementBytes[] = {4, 0, 4, 0, 1, 2, 4, 8, 1, 2, 4, 8};
  for (uint32_t h = g.first; h < end; h += 8) {
    if (!heap.live(h)) continue;
    auto& out = g.succ[g.node(h)];
    auto link = [&](uint32_t v) {
      if (live(v)) out.push_back(g.node(v));
    };
    const uint32_t type = heap.typeCode(h);
    if (heap.classObject(h)) {
      g.shallow[g.node(h)] = 96;
      for (const heapmodel::Field& f : heap.fields(h))
        if (f.isStatic && heapmodel::Heap::reference(f)) link(f.value);
    } else if (type == 0) {
      const uint32_t cls = heap.classOf(h);
      g.shallow[g.node(h)] = std::max<uint32_t>(8, heap.instanceSize(cls));
      const std::vector<uint32_t> chain = heap.chain(cls);
      const bool isReference =
          std::find(chain.begin() + 1, chain.end(), referenceClass) != chain.end();
      for (uint32_t c : chain)
        for (const heapmodel::Field& f : heap.fields(c))
          if (!f.isStatic && heapmodel::Heap::reference(f) &&
              !(isReference && c == referenceClass && f.name == "referent"))
            link(heap.instanceValue(h, f));
      if (threads.count(h)) heap.stackSlots(h, [&](uint32_t v, const std::string&) { link(v); });
    } else {
      const uint64_t n = heap.length(h) + (type == 2 ? 1 : 0);
      g.shallow[g.node(h)] = std::max<uint64_t>(8, n * kElementBytes[type]);
      if (type == 2)
        for (uint32_t i = 0; i < heap.length(h); i++) link(heap.element(h, i));
    }
  }
  return g;
}

// Retained sizes from immediate dominators (kNone: unreachable, 0 then).
inline std::vector<uint64_t> retainedFrom(const std::vector<uint32_t>& idom,
                                          const std::vector<uint64_t>& shallow) {
  const size_t n = idom.size();
  std::vector<uint64_t> retained(n, 0);
  for (size_t v = 0; v < n; v++) {
    if (idom[v] == kNone) continue;
    // Charge v's bytes to v and to each of its dominators up to the root.
    for (uint32_t u = static_cast<uint32_t>(v);; u = idom[u]) {
      retained[u] += shallow[v];
      if (u == 0) break;
    }
  }
  return retained;
}

}  // namespace domtest
