#include "heapgraph/dominators.h"

#include <algorithm>
#include <deque>
#include <vector>

namespace heapgraph {

namespace {

constexpr uint32_t kProgressStep = 1u << 18;

// Depth-first numbering from the root. The search tree's parent links lead back up; the place
// among its successors of each node on the current path is kept on a stack of cursors, as deep
// as the path (in blocks: a deep path is never copied to grow).
uint32_t search(const Graph& g, uint32_t root, uint32_t* number, uint32_t* order, uint32_t* parent,
                const Progress& progress) {
  std::fill(number, number + g.nodes, kUnreached);
  number[root] = 0;
  order[0] = root;
  parent[0] = 0;
  std::deque<uint32_t> cursor{g.start[root]};
  uint32_t reached = 1;
  uint32_t at = 0;
  while (!cursor.empty()) {
    const uint32_t v = order[at];
    uint32_t& next = cursor.back();
    if (next < g.start[v + 1]) {
      const uint32_t w = g.target[next++];
      if (number[w] != kUnreached) continue;
      number[w] = reached;
      order[reached] = w;
      parent[reached] = at;
      cursor.push_back(g.start[w]);
      at = reached++;
      if (progress && reached % kProgressStep == 0) progress("searching", reached, g.nodes);
    } else {
      cursor.pop_back();
      at = parent[at];
    }
  }
  return reached;
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

Dominators computeDominators(Graph graph, uint32_t root, const Progress& progress,
                             const EdgeReplay& replay) {
  Dominators d;
  const uint32_t n = graph.nodes;
  if (root >= n) return d;
  d.number = words(n);
  d.order = words(n);
  Words parent = words(n);
  d.reached = search(graph, root, d.number.get(), d.order.get(), parent.get(), progress);
  const uint32_t r = d.reached;
  d.order.reset();  // made again at the end, from the numbers
  const uint32_t* number = d.number.get();
  const EdgeReplay fromGraph = [&graph](const EdgeVisitor& visit) {
    for (uint32_t v = 0; v < graph.nodes; v++)
      visit(v, graph.target.get() + graph.start[v], graph.start[v + 1] - graph.start[v]);
  };
  if (replay) graph = Graph{};
  const EdgeReplay& edges = replay ? replay : fromGraph;

  // A predecessor numbered below w offers itself as w's semidominator: only the least of them
  // matters, kept in semi[w] from the start (with the parent, the least candidate of the tree
  // edges). The others, numbered above w, are kept in lists, by number.
  Words semi = words(r);
  Words predStart = words(size_t(r) + 1);
  std::fill(predStart.get(), predStart.get() + r + 1, 0u);
  for (uint32_t w = 1; w < r; w++) semi[w] = parent[w];
  edges([&](uint32_t from, const uint32_t* to, uint32_t count) {
    const uint32_t i = number[from];
    if (i == kUnreached) return;
    for (uint32_t k = 0; k < count; k++) {
      const uint32_t w = number[to[k]];
      if (w == kUnreached || w == 0 || i == w) continue;
      if (i < w) {
        if (i < semi[w]) semi[w] = i;
      } else {
        predStart[w]++;
      }
    }
  });
  uint32_t sum = 0;
  for (uint32_t w = 0; w < r; w++) {
    sum += predStart[w];
    predStart[w] = sum;  // the end of w's run; dealing counts it down to its start
  }
  predStart[r] = sum;
  Words pred = words(sum);
  edges([&](uint32_t from, const uint32_t* to, uint32_t count) {
    const uint32_t i = number[from];
    if (i == kUnreached) return;
    for (uint32_t k = 0; k < count; k++) {
      const uint32_t w = number[to[k]];
      if (w == kUnreached || w == 0 || i <= w) continue;
      // A graph that offered more edges the second time must not make a run underflow.
      if (predStart[w] != 0) pred[--predStart[w]] = i;
    }
  });
  if (!replay) graph = Graph{};

  // Semidominators, in reverse depth-first order. A label is the least semidominator number
  // on a compressed path; a node not yet processed is its own (its number).
  Words ancestor = words(r);
  Words label = words(r);
  std::copy(parent.get(), parent.get() + r, ancestor.get());
  for (uint32_t v = 0; v < r; v++) label[v] = v;
  std::vector<uint32_t> stack;
  for (uint32_t w = r - 1; w >= 1 && w < r; w--) {
    uint32_t s = semi[w];
    for (uint32_t e = predStart[w]; e < predStart[w + 1]; e++) {
      const uint32_t candidate = eval(pred[e], w, ancestor.get(), label.get(), stack);
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
  semi.reset();
  d.order = words(r);
  for (uint32_t v = 0; v < n; v++)
    if (number[v] != kUnreached) d.order[number[v]] = v;
  return d;
}

}  // namespace heapgraph
