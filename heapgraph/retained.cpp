#include "heapgraph/retained.h"

#include <algorithm>

#include "heapgraph/heap_graph.h"

namespace heapgraph {

std::unique_ptr<HeapDominators> HeapDominators::compute(const simvm::Vm& vm,
                                                        const Progress& progress) {
  std::unique_ptr<HeapDominators> d(new HeapDominators());
  HeapReader reader(vm);
  d->vm_ = &vm;
  d->first_ = reader.first();
  d->slots_ = reader.slots();
  d->classMethods_ = vm.methodsOf(vm.classClass());
  d->dom_ =
      computeDominators(readHeapGraph(reader, progress), 0, progress,
                        [&reader](const EdgeVisitor& visit) { replayHeapEdges(reader, visit); });
  const uint32_t r = d->dom_.reached;
  const Dominators& dom = d->dom_;

  // Retained sizes: each node's own, then added to its dominator's, deepest numbers first (a
  // dominator is numbered before what it dominates).
  d->reachedRetained_.assign(r, 0);
  for (uint32_t n = 1; n < r; n++) d->reachedRetained_[n] = reader.shallow(dom.order[n] - 1);
  for (uint32_t n = r - 1; n >= 1 && n < r; n--)
    d->reachedRetained_[dom.idom[n]] += d->reachedRetained_[n];

  // The tree's children, by number.
  d->childStart_ = words(size_t(r) + 1);
  d->children_ = words(r);
  std::fill(d->childStart_.get(), d->childStart_.get() + r + 1, 0u);
  for (uint32_t n = 1; n < r; n++) d->childStart_[dom.idom[n]]++;
  uint32_t sum = 0;
  for (uint32_t n = 0; n < r; n++) {
    sum += d->childStart_[n];
    d->childStart_[n] = sum;
  }
  d->childStart_[r] = sum;
  for (uint32_t n = r - 1; n >= 1 && n < r; n--) d->children_[--d->childStart_[dom.idom[n]]] = n;

  // Class figures: an instance counts when no instance of its class dominates it, which a walk
  // down the tree knows by counting the instances of each class on the way from the root. Each
  // node on the way keeps its class's count, so leaving it reads neither the heap nor the map.
  std::unordered_map<uint32_t, uint32_t> open;
  HeapDominators& self = *d;
  auto enter = [&](uint32_t n) -> uint32_t* {
    const uint32_t cls = self.classOfNumber(n);
    if (cls == 0) return nullptr;
    uint32_t& count = open[cls];  // stays where it is while the map grows
    if (count++ == 0) {
      self.classTotals_[cls] += self.reachedRetained_[n];
      self.classTopLevel_[cls]++;
    }
    return &count;
  };
  struct Step {
    uint32_t n, next;
    uint32_t* count;
  };
  std::vector<Step> stack;
  if (r > 0) stack.push_back({0, d->childStart_[0], enter(0)});
  while (!stack.empty()) {
    Step& top = stack.back();
    if (top.next < d->childStart_[top.n + 1]) {
      const uint32_t c = d->children_[top.next++];
      stack.push_back({c, d->childStart_[c], enter(c)});
    } else {
      if (top.count) --*top.count;
      stack.pop_back();
    }
  }
  return d;
}

uint32_t HeapDominators::numberOf(uint32_t h) const {
  const uint32_t offset = h - first_;
  if ((offset & 7) != 0 || offset / 8 >= slots_) return kUnreached;
  return dom_.number[offset / 8 + 1];
}

uint32_t HeapDominators::classOfNumber(uint32_t n) const {
  if (n == 0) return 0;
  const uint32_t h = handleOfNumber(n);
  const uint32_t m = vm_->read32(h + 4);
  if (vm_->read32(h) == 0 || simvm::typeCodeOfWord(m) != simvm::kObject || m == classMethods_)
    return 0;
  return vm_->read32(m);
}

uint64_t HeapDominators::retained(uint32_t h) const {
  const uint32_t n = numberOf(h);
  return n == kUnreached ? 0 : reachedRetained_[n];
}

uint32_t HeapDominators::shallow(uint32_t h) const {
  const uint32_t n = numberOf(h);
  if (n == kUnreached) return 0;
  uint64_t own = reachedRetained_[n];
  for (uint32_t i = childStart_[n]; i < childStart_[n + 1]; i++)
    own -= reachedRetained_[children_[i]];
  return static_cast<uint32_t>(own);
}

uint32_t HeapDominators::dominator(uint32_t h) const {
  const uint32_t n = numberOf(h);
  if (n == kUnreached || n == 0 || dom_.idom[n] == 0) return 0;
  return handleOfNumber(dom_.idom[n]);
}

void HeapDominators::sortBySize(std::vector<uint32_t>& numbers) const {
  std::sort(numbers.begin(), numbers.end(), [this](uint32_t a, uint32_t b) {
    if (reachedRetained_[a] != reachedRetained_[b])
      return reachedRetained_[a] > reachedRetained_[b];
    return dom_.order[a] < dom_.order[b];
  });
}

std::vector<uint32_t> HeapDominators::dominated(uint32_t h) const {
  const uint32_t n = h == 0 ? (dom_.reached ? 0 : kUnreached) : numberOf(h);
  if (n == kUnreached) return {};
  std::vector<uint32_t> numbers(children_.get() + childStart_[n],
                                children_.get() + childStart_[n + 1]);
  sortBySize(numbers);
  std::vector<uint32_t> out;
  for (uint32_t c : numbers) out.push_back(handleOfNumber(c));
  return out;
}

namespace {

// Past this many rows a stretch is read from the full ranking rather than a partial sort of
// every reachable object (the ranking is one sort, kept: 4 bytes an object).
constexpr size_t kRankedRows = 4096;

}  // namespace

void HeapDominators::rankAll() const {
  std::call_once(ranked_, [this] {
    // Sorted as (size, number) pairs held side by side: a sort of 16-byte keys runs several
    // times faster than one that looks both up through the number.
    struct Key {
      uint64_t size;
      uint32_t order, n;
    };
    std::vector<Key> keys;
    keys.reserve(dom_.reached);
    for (uint32_t n = 1; n < dom_.reached; n++)
      keys.push_back({reachedRetained_[n], dom_.order[n], n});
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
      return a.size != b.size ? a.size > b.size : a.order < b.order;
    });
    ranking_.reserve(keys.size());
    for (const Key& k : keys) ranking_.push_back(k.n);
    rankedReady_.store(true, std::memory_order_release);
  });
}

std::vector<uint32_t> HeapDominators::largest(size_t limit, size_t skip) const {
  const size_t reached = reachedObjects();
  const size_t first = std::min(skip, reached);
  const size_t end = first + std::min(limit, reached - first);
  std::vector<uint32_t> out;
  if (end > kRankedRows || rankedReady_.load(std::memory_order_acquire)) {
    rankAll();
    for (size_t i = first; i < end; i++) out.push_back(handleOfNumber(ranking_[i]));
    return out;
  }
  std::vector<uint32_t> numbers;
  for (uint32_t n = 1; n < dom_.reached; n++) numbers.push_back(n);
  const auto larger = [this](uint32_t a, uint32_t b) {
    if (reachedRetained_[a] != reachedRetained_[b])
      return reachedRetained_[a] > reachedRetained_[b];
    return dom_.order[a] < dom_.order[b];
  };
  std::partial_sort(numbers.begin(), numbers.begin() + end, numbers.end(), larger);
  for (size_t i = first; i < end; i++) out.push_back(handleOfNumber(numbers[i]));
  return out;
}

uint64_t HeapDominators::classRetained(uint32_t cls) const {
  const auto it = classTotals_.find(cls);
  return it == classTotals_.end() ? 0 : it->second;
}

uint32_t HeapDominators::topLevelCount(uint32_t cls) const {
  const auto it = classTopLevel_.find(cls);
  return it == classTopLevel_.end() ? 0 : it->second;
}

std::vector<uint32_t> HeapDominators::topLevelInstances(uint32_t cls) const {
  std::vector<uint32_t> numbers;
  // The tree's walk, each node on the way knowing whether it is an instance of cls: leaving it
  // reads the heap no more.
  struct Step {
    uint32_t n, next;
    bool instance;
  };
  std::vector<Step> stack;
  uint32_t open = 0;
  auto enter = [&](uint32_t n) {
    const bool instance = classOfNumber(n) == cls;
    if (instance && open++ == 0) numbers.push_back(n);
    stack.push_back({n, childStart_[n], instance});
  };
  if (dom_.reached > 0) enter(0);
  while (!stack.empty()) {
    Step& top = stack.back();
    if (top.next < childStart_[top.n + 1]) {
      enter(children_[top.next++]);
    } else {
      open -= top.instance;
      stack.pop_back();
    }
  }
  sortBySize(numbers);
  std::vector<uint32_t> out;
  for (uint32_t n : numbers) out.push_back(handleOfNumber(n));
  return out;
}

}  // namespace heapgraph
