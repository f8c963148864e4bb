// findPathToRoot0 as a multiple of the floor (one bare pass over the handle table), on heaps of
// 10^5, 10^6 and 4*10^6 objects with a chain of depth 1, 10, 100 or 1000 from the root down to
// the target; the root is a class's static field or a local in another thread's frame. Beside
// it, where it finishes in reasonable time, the plain model's time for the same search.
//
// Every object's `next` field, and each element of every tenth object (an array of two), refers
// to a random object half of the time: on average an object has fewer than one referrer, as in
// a heap that is mostly trees, so the search explores a little beyond the chain at each level.
#include <time.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "bench/floor.h"
#include "tests/path/path_model.h"

namespace {

constexpr uint32_t kChain = 1000;
// The model walks the whole table once per level; it runs only where levels x objects stays
// below this (under a minute a run), and only for the static root: a thread root costs it the
// same.
constexpr double kModelBudget = 1.1e8;

struct PathHeap {
  uint32_t objects = 0;
  std::unique_ptr<simvm::Vm> vm;
  std::unique_ptr<simvm::Library> lib;
  uint32_t registry = 0;   // app/Registry, whose static `root` may hold the chain's head
  uint32_t rootFrame = 0;  // the worker thread's frame, whose local 0 may hold it
  uint32_t worker = 0;
  std::vector<uint32_t> chain;  // chain[i].next == chain[i + 1]
  uint32_t messageOut = 0;
};

uint32_t defineClass(simvm::Vm& vm, const char* name, uint32_t super,
                     std::vector<simvm::FieldDecl> fields) {
  simvm::ClassDecl decl;
  decl.name = name;
  decl.super = super;
  decl.fields = std::move(fields);
  return vm.defineClass(decl);
}

std::unique_ptr<PathHeap> makePathHeap(uint32_t objects) {
  auto heap = std::make_unique<PathHeap>();
  heap->objects = objects;
  simvm::VmConfig config;
  config.slots = objects + 8192;  // room for the result arrays of the timed calls
  config.arenaBytes = (64u << 20) + objects * 32u;
  heap->vm = std::make_unique<simvm::Vm>(config);
  simvm::Vm& vm = *heap->vm;
  uint32_t base = defineClass(vm, "app/Base", 0, {{"next", "Lapp/Base;"}, {"size", "I"}});
  std::vector<uint32_t> kinds;
  for (const char* name : {"app/Node", "app/Leaf", "app/Item", "app/Entry"})
    kinds.push_back(defineClass(vm, name, base, {{"value", "I"}}));
  heap->registry = defineClass(vm, "app/Registry", 0, {{"root", "Lapp/Base;", true, 0}});
  heap->worker = vm.newThread("worker");
  heap->rootFrame = vm.pushFrame(heap->worker, "run", 4);
  heap->messageOut = vm.newObjectArray(vm.stringClass(), 1);

  std::vector<uint32_t> plain, arrays;
  for (uint32_t i = 0; vm.slotsUsed() < objects; i++) {
    if (i % 10 == 9) arrays.push_back(vm.newObjectArray(kinds[0], 2));
    else plain.push_back(vm.newObject(kinds[i % 4]));
  }
  std::mt19937 rng(42);
  auto any = [&] { return plain[rng() % plain.size()]; };
  uint32_t next = vm.fieldOffset(base, "next");
  for (uint32_t o : plain)
    if (rng() % 2) vm.write32(vm.bodyOf(o) + next, any());
  for (uint32_t a : arrays)
    for (uint32_t i = 0; i < 2; i++)
      if (rng() % 2) vm.write32(vm.bodyOf(a) + 4 * i, any());
  std::shuffle(plain.begin(), plain.end(), rng);
  heap->chain.assign(plain.begin(), plain.begin() + kChain);
  for (uint32_t i = 0; i + 1 < kChain; i++)
    vm.write32(vm.bodyOf(heap->chain[i]) + next, heap->chain[i + 1]);
  vm.write32(vm.bodyOf(heap->chain[kChain - 1]) + next, 0);
  heap->lib = std::make_unique<simvm::Library>(simvm::Library::defaultDir(), true);
  return heap;
}

// One heap at a time: the largest takes most of a gigabyte with the search's index.
PathHeap& heapOf(uint32_t objects) {
  static std::unique_ptr<PathHeap> heap;
  if (!heap || heap->objects != objects) {
    heap.reset();
    heap = makePathHeap(objects);
  }
  heap->vm->makeCurrent();
  return *heap;
}

// This thread's CPU time: on a machine shared with other work, wall time also counts the time
// the thread waited for a processor, which neither the floor nor the search did on purpose.
double cpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double floorCpuSeconds(const simvm::Vm& vm) {
  double best = 1e30;
  for (int pass = 0; pass < 5; pass++) {
    double start = cpuSeconds();
    benchmark::DoNotOptimize(bench::floorPass(vm));
    best = std::min(best, cpuSeconds() - start);
  }
  return best;
}

enum Root { kStatic, kThread };

// Arguments: objects, depth, root (0 a static field, 1 a thread's local).
void BM_Path(benchmark::State& state) {
  uint32_t objects = static_cast<uint32_t>(state.range(0));
  uint32_t depth = static_cast<uint32_t>(state.range(1));
  Root root = state.range(2) == 0 ? kStatic : kThread;
  PathHeap& heap = heapOf(objects);
  simvm::Vm& vm = *heap.vm;
  uint32_t head = heap.chain[0];
  uint32_t target = heap.chain[depth - 1];
  vm.setStatic(heap.registry, "root", root == kStatic ? head : 0);
  vm.setLocal(heap.rootFrame, 0, root == kThread ? head : 0);
  uint32_t expectedRoot = root == kStatic ? heap.registry : heap.worker;

  simvm::Stub stub = heap.lib->stub("findPathToRoot0");
  bench::FloorRatio ratio(bench::floorSeconds(vm));
  double floorCpu = floorCpuSeconds(vm);
  double searchCpu = 0;
  uint32_t result = 0;
  for (auto _ : state) {
    ratio.start();
    double start = cpuSeconds();
    result = bench::callStub(stub, {target, 1u << 30, heap.messageOut});
    searchCpu += cpuSeconds() - start;
    ratio.stop();
  }
  ratio.report(state);
  state.counters["x_floor_cpu"] = searchCpu / static_cast<double>(state.iterations()) / floorCpu;
  if (result == 0 || (vm.methodsOf(result) >> 5) != depth + 1 || vm.getElement(result, 0) != expectedRoot) {
    state.SkipWithError("the search did not return the chain");
    return;
  }

  if (root == kStatic && static_cast<double>(depth + 1) * objects <= kModelBudget) {
    pathmodel::Model model(vm);
    double start = cpuSeconds();
    pathmodel::Answer answer = model.find(target, 1 << 30);
    double seconds = cpuSeconds() - start;
    state.counters["model_cpu_s"] = seconds;
    state.counters["model_x_floor_cpu"] = seconds / floorCpu;
    if (answer.path.size() != depth + 1 || answer.path[0] != expectedRoot)
      state.SkipWithError("the model disagrees");
  }
}

// Sizes outermost, so that each heap is built once.
void sizes(benchmark::internal::Benchmark* b) {
  for (int64_t objects : {100000, 1000000, 4000000})
    for (int64_t root : {kStatic, kThread})
      for (int64_t depth : {1, 10, 100, 1000}) b->Args({objects, depth, root});
  b->ArgNames({"objects", "depth", "thread"})->Unit(benchmark::kMillisecond)->Iterations(5);
}

BENCHMARK(BM_Path)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
