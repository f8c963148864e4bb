#include "heapgraph/dominators.h"

#include <algorithm>
#include <vector>

namespace heapgraph {

namespace {

constexpr uint32_t kProgressStep = 1u << 18;

// Depth-first numbering from the root. The search tree's parent links are the search's
// stack: a node whose successors are used up returns to its parent, and each numbered node
// keeps its place among its successors in cursor[].
uint32_t search(const Graph& g, uint32_t root, uint32_t* number, uint32_t* order,
                uint32_t* parent, uint32_t* cursor, const Progress& progress) {
  std::fill(number, number + g.nodes, kUnreached);
  number[root] = 0;
  order[0] = root;
  parent[0] = 0;
  cursor[0] = g.start[root];
  uint32_t reached = 1;
  uint32_t at = 0;
  for (;;) {
    const uint32_t v = order[at];
    if (cursor[at] < g.start[v + 1]) {
      const uint32_t w = g.target[cursor[at]++];
      if (number[w] != kUnreached) continue;
      number[w] = reached;
      order[reached] = w;
      parent[reached] = at;
      cursor[reached] = g.start[w];
      at = reached++;
      if (progress && reached % kProgressStep == 0) progress("searching", reached, g.nodes);
    } else if (at == 0) {
      return reached;
    } else {
      at = parent[at];
    }
  }
}

// The predecessors of each reached node, by number: pred[predStart[w]] .. pred[predStart[w+1]-1].
// Edges from unreached nodes, self-loops and the search tree's own edges are left out (a
// tree edge offers the parent, where a semidominator search starts anyway).
void predecessors(const Graph& g, const uint32_t* number, const uint32_t* order,
                  const uint32_t* parent, uint32_t reached, Words& predStart, Words& pred) {
  predStart = words(size_t(reached) + 1);
  std::fill(predStart.get(), predStart.get() + reached + 1, 0u);
  const auto eachEdge = [&](auto&& use) {
    for (uint32_t i = 0; i < reached; i++) {
      const uint32_t v = order[i];
      for (uint32_t e = g.start[v]; e < g.start[v + 1]; e++) {
        const uint32_t w = number[g.target[e]];
        if (w != i && w != 0 && parent[w] != i) use(i, w);
      }
    }
  };
  eachEdge([&](uint32_t, uint32_t w) { predStart[w]++; });
  uint32_t sum = 0;
  for (uint32_t w = 0; w < reached; w++) {
    sum += predStart[w];
    predStart[w] = sum;  // the end of w's run; dealing counts it down to its start
  }
  predStart[reached] = sum;
  pred = words(sum);
  eachEdge([&](uint32_t i, uint32_t w) { pred[--predStart[w]] = i; });
}

// The least label on the path from v up to its tree of the link-eval forest, compressing the
// path on the way. Nodes numbered above `w` are linked (to their parents in `ancestor`).
inline uint32_t eval(uint32_t v, uint32_t w, uint32_t* ancestor, uint32_t* label,
                     std::vector<uint32_t>& stack) {
  if (ancestor[v] <= w) return label[v];
  stack.clear();
  uint32_t u = v;
  do {
    stack.push_back(u);
    u = ancestor[u];
  } while (ancestor[u] > w);
  uint32_t p = u;
  while (!stack.empty()) {
    const uint32_t x = stack.back();
    stack.pop_back();
    ancestor[x] = ancestor[p];
    if (label[p] < label[x]) label[x] = label[p];
    p = x;
  }
  return label[v];
}

}  // namespace

Dominators computeDominators(Graph graph, uint32_t root, const Progress& progress) {
  Dominators d;
  const uint32_t n = graph.nodes;
  if (root >= n) return d;
  d.number = words(n);
  d.order = words(n);
  Words parent = words(n);
  Words label = words(n);  // the search's cursors first
  d.reached = search(graph, root, d.number.get(), d.order.get(), parent.get(), label.get(), progress);
  const uint32_t r = d.reached;
  Words predStart, pred;
  predecessors(graph, d.number.get(), d.order.get(), parent.get(), r, predStart, pred);
  graph = Graph{};

  // Semidominators, in reverse depth-first order. A label is the least semidominator number
  // on a compressed path; a node not yet processed is its own (its number).
  Words ancestor = words(r);
  Words semi = words(r);
  std::copy(parent.get(), parent.get() + r, ancestor.get());
  for (uint32_t v = 0; v < r; v++) label[v] = v;
  std::vector<uint32_t> stack;
  for (uint32_t w = r - 1; w >= 1; w--) {
    uint32_t s = parent[w];
    for (uint32_t e = predStart[w]; e < predStart[w + 1]; e++) {
      const uint32_t v = pred[e];
      const uint32_t candidate = v < w ? v : eval(v, w, ancestor.get(), label.get(), stack);
      if (candidate < s) s = candidate;
    }
    semi[w] = s;
    label[w] = s;
    if (progress && w % kProgressStep == 0) progress("dominators", r - w, r);
  }
  predStart.reset();
  pred.reset();
  ancestor.reset();
  label.reset();

  // Each immediate dominator: the nearest ancestor of the parent at or above the semidominator.
  d.idom = std::move(parent);
  d.idom[0] = 0;
  for (uint32_t w = 1; w < r; w++) {
    uint32_t c = d.idom[w];
    while (c > semi[w]) c = d.idom[c];
    d.idom[w] = c;
  }
  return d;
}

}  // namespace heapgraph
