// The plain way to dominators, for the differential tests: the iterative data-flow equations
// dom(root) = {root}, dom(v) = {v} + the intersection of dom(p) over v's reachable
// predecessors, solved by sweeping until nothing changes. Quadratic in space and slow; only
// for graphs of some hundreds of nodes.
#pragma once
#include <cstdint>
#include <vector>

namespace domtest {

constexpr uint32_t kNone = UINT32_MAX;

// Per node: its immediate dominator (the root's is the root), or kNone when unreachable.
inline std::vector<uint32_t> referenceIdoms(const std::vector<std::vector<uint32_t>>& succ,
                                            uint32_t root) {
  const size_t n = succ.size();
  std::vector<bool> reached(n, false);
  std::vector<uint32_t> todo{root};
  reached[root] = true;
  while (!todo.empty()) {
    const uint32_t v = todo.back();
    todo.pop_back();
    for (uint32_t w : succ[v])
      if (!reached[w]) reached[w] = true, todo.push_back(w);
  }
  std::vector<std::vector<uint32_t>> pred(n);
  for (uint32_t v = 0; v < n; v++)
    if (reached[v])
      for (uint32_t w : succ[v]) pred[w].push_back(v);
  std::vector<std::vector<bool>> dom(n, std::vector<bool>(n, true));
  dom[root].assign(n, false);
  dom[root][root] = true;
  for (bool changed = true; changed;) {
    changed = false;
    for (uint32_t v = 0; v < n; v++) {
      if (v == root || !reached[v]) continue;
      std::vector<bool> d(n, true);
      for (uint32_t p : pred[v])
        for (size_t i = 0; i < n; i++) d[i] = d[i] && dom[p][i];
      d[v] = true;
      if (d != dom[v]) dom[v] = d, changed = true;
    }
  }
  // The immediate dominator is the strict dominator that every other strict dominator dominates.
  std::vector<uint32_t> idom(n, kNone);
  for (uint32_t v = 0; v < n; v++) {
    if (!reached[v]) continue;
    if (v == root) {
      idom[v] = root;
      continue;
    }
    for (uint32_t c = 0; c < n; c++) {
      if (c == v || !dom[v][c]) continue;
      bool nearest = true;
      for (uint32_t o = 0; o < n && nearest; o++)
        if (o != v && dom[v][o] && !dom[c][o]) nearest = false;
      if (nearest) idom[v] = c;
    }
  }
  return idom;
}

}  // namespace domtest
