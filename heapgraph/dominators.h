// Immediate dominators of a directed graph held as compressed rows (CSR), by semi-NCA: a depth-
// first search numbers the nodes reachable from the root, the semidominators come from the
// predecessors with path compression over a link-eval forest, and each immediate dominator is
// the nearest common ancestor of the node's semidominator and its parent in the search tree.
// Near-linear, and without recursion: chains of millions of links are walked in loops.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

namespace heapgraph {

// A block of words, not zeroed: every array here is filled before it is read.
using Words = std::unique_ptr<uint32_t[]>;
inline Words words(size_t n) { return Words(new uint32_t[n ? n : 1]); }

// Node v's successors are target[start[v]] .. target[start[v + 1] - 1].
struct Graph {
  uint32_t nodes = 0;
  uint32_t edges = 0;
  Words start;   // nodes + 1
  Words target;  // edges
};

constexpr uint32_t kUnreached = UINT32_MAX;

struct Dominators {
  uint32_t reached = 0;  // nodes reachable from the root, the root included
  Words number;  // per node: its depth-first number, kUnreached when the root cannot reach it
  Words order;   // per number below `reached`: its node; order[0] is the root
  Words idom;    // per number: its immediate dominator's number; idom[0] = 0
};

// Told the stage ("searching", "dominators") and how far it is, now and then.
using Progress = std::function<void(const char* stage, uint64_t done, uint64_t total)>;

// Offers every edge of the graph again, a node's successors at a time, nodes in any order.
using EdgeVisitor = std::function<void(uint32_t from, const uint32_t* to, uint32_t count)>;
using EdgeReplay = std::function<void(const EdgeVisitor& visit)>;

// The dominators from `root`. The graph serves the depth-first search; the predecessors are then
// gathered from `replay`, after the graph's memory has been given back, so that the successors
// and the predecessors are never held at once (without a replay, from the graph itself).
Dominators computeDominators(Graph graph, uint32_t root, const Progress& progress = {},
                             const EdgeReplay& replay = {});

}  // namespace heapgraph
