// Semi-NCA against the data-flow equations on seeded random graphs made of the shapes a heap
// has: trees, chains, diamonds, cycles, self-loops, parts nothing reaches, and several roots
// under the one root node; plus cross links between parts.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "heapgraph/dominators.h"
#include "tests/heapgraph/reference_dominators.h"

namespace {

using heapgraph::Graph;

enum Shape { kTree, kChain, kDiamond, kCycle, kSelfLoop, kUnreachable, kSeveralRoots, kShapes };
const char* const kShapeNames[] = {
    "tree", "chain", "diamond", "cycle", "self-loop", "unreachable part", "several roots"};

struct RandomGraph {
  std::vector<std::vector<uint32_t>> succ;
  unsigned shapes = 0;  // bit per Shape met
};

RandomGraph randomGraph(std::mt19937& rng) {
  RandomGraph g;
  g.succ.resize(1);  // node 0: the root
  auto pick = [&rng](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
  auto add = [&g] {
    g.succ.emplace_back();
    return static_cast<uint32_t>(g.succ.size() - 1);
  };
  const uint32_t parts = 1 + pick(6);
  uint32_t rootsOfRoot = 0;
  for (uint32_t p = 0; p < parts; p++) {
    const bool unreachable = pick(5) == 0;
    const uint32_t size = 1 + pick(12);
    std::vector<uint32_t> nodes;
    const uint32_t kind = pick(4);
    for (uint32_t i = 0; i < size; i++) nodes.push_back(add());
    if (kind == 0) {  // a tree
      for (uint32_t i = 1; i < size; i++) g.succ[nodes[pick(i)]].push_back(nodes[i]);
      if (size > 2) g.shapes |= 1u << kTree;
    } else if (kind == 1) {  // a chain
      for (uint32_t i = 1; i < size; i++) g.succ[nodes[i - 1]].push_back(nodes[i]);
      if (size > 2) g.shapes |= 1u << kChain;
    } else if (kind == 2 && size >= 4) {  // diamonds in a row
      for (uint32_t i = 0; i + 3 < size; i += 3) {
        g.succ[nodes[i]].push_back(nodes[i + 1]);
        g.succ[nodes[i]].push_back(nodes[i + 2]);
        g.succ[nodes[i + 1]].push_back(nodes[i + 3]);
        g.succ[nodes[i + 2]].push_back(nodes[i + 3]);
      }
      g.shapes |= 1u << kDiamond;
    } else {  // a ring, entered at its first node
      for (uint32_t i = 0; i < size; i++) g.succ[nodes[i]].push_back(nodes[(i + 1) % size]);
      if (size > 1) g.shapes |= 1u << kCycle;
    }
    if (pick(3) == 0) {
      const uint32_t v = nodes[pick(size)];
      g.succ[v].push_back(v);
      g.shapes |= 1u << kSelfLoop;
    }
    if (unreachable) {
      g.shapes |= 1u << kUnreachable;
    } else {
      // The part's head is a root, or hangs below a node made before it.
      const uint32_t above = pick(2) == 0 ? 0 : pick(nodes[0]);
      if (above == 0) rootsOfRoot++;
      g.succ[above].push_back(nodes[0]);
    }
  }
  if (rootsOfRoot > 1) g.shapes |= 1u << kSeveralRoots;
  // Cross links, forward and backward, some from or into parts nothing reaches.
  const uint32_t n = static_cast<uint32_t>(g.succ.size());
  for (uint32_t i = 0, extra = pick(n); i < extra; i++)
    g.succ[pick(n)].push_back(1 + pick(n - 1 ? n - 1 : 1) % n);
  // Successor order matters to the search: shuffle it.
  for (auto& s : g.succ) std::shuffle(s.begin(), s.end(), rng);
  return g;
}

Graph toGraph(const std::vector<std::vector<uint32_t>>& succ) {
  Graph g;
  g.nodes = static_cast<uint32_t>(succ.size());
  size_t edges = 0;
  for (const auto& s : succ) edges += s.size();
  g.edges = static_cast<uint32_t>(edges);
  g.start = heapgraph::words(g.nodes + 1);
  g.target = heapgraph::words(edges);
  uint32_t at = 0;
  for (uint32_t v = 0; v < g.nodes; v++) {
    g.start[v] = at;
    for (uint32_t w : succ[v]) g.target[at++] = w;
  }
  g.start[g.nodes] = at;
  return g;
}

// Per node: the immediate dominator semi-NCA finds (the root's is the root), kNone when unreached.
std::vector<uint32_t> fastIdoms(const std::vector<std::vector<uint32_t>>& succ, uint32_t root) {
  const heapgraph::Dominators d = heapgraph::computeDominators(toGraph(succ), root);
  std::vector<uint32_t> idom(succ.size(), domtest::kNone);
  for (uint32_t v = 0; v < succ.size(); v++)
    if (d.number[v] != heapgraph::kUnreached) idom[v] = d.order[d.idom[d.number[v]]];
  return idom;
}

TEST(DominatorDifferential, semi_nca_agrees_with_the_data_flow_equations_on_random_graphs) {
  unsigned shapes = 0;
  for (uint32_t seed = 1; seed <= 3000; seed++) {
    std::mt19937 rng(seed);
    const RandomGraph g = randomGraph(rng);
    shapes |= g.shapes;
    const std::vector<uint32_t> expected = domtest::referenceIdoms(g.succ, 0);
    const std::vector<uint32_t> got = fastIdoms(g.succ, 0);
    for (uint32_t v = 0; v < g.succ.size(); v++)
      ASSERT_EQ(got[v], expected[v])
          << "seed " << seed << ", node " << v << " of " << g.succ.size();
  }
  for (unsigned s = 0; s < kShapes; s++)
    EXPECT_TRUE(shapes & (1u << s)) << "the generator never made a " << kShapeNames[s];
}

TEST(DominatorDifferential, a_chain_of_a_million_links_needs_no_recursion) {
  // 0 -> 1 -> ... -> n-1, and every node back to the root: each is dominated by the one before.
  const uint32_t n = 1000000;
  std::vector<std::vector<uint32_t>> succ(n);
  for (uint32_t v = 0; v + 1 < n; v++) succ[v] = {v + 1, 0};
  const std::vector<uint32_t> idom = fastIdoms(succ, 0);
  for (uint32_t v = 1; v < n; v++) ASSERT_EQ(idom[v], v - 1) << v;
}

}  // namespace
