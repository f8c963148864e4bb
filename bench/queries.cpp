// The census, the instance listing and the two descriptions, each as a multiple of the floor
// (one bare pass over the handle table) on the same heap. A description looks at one handle,
// so its multiple should be a tiny fraction; the whole-heap queries a small constant.
#include <map>

#include "bench/floor.h"
#include "vm/handlespace.h"

namespace {

// Heaps are built once per size and kept for the whole run.
bench::BigHeap& heapOf(uint32_t objects, uint32_t slots) {
  static std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<bench::BigHeap>> heaps;
  auto& heap = heaps[{objects, slots}];
  if (!heap) heap = bench::makeBigHeap(objects, slots);
  heap->vm->makeCurrent();
  return *heap;
}

constexpr uint32_t kDescribeSlots = 1000000;
constexpr uint32_t kDescribeObjects = 900000;  // the rest is room for the strings made
constexpr int64_t kDescribeCalls = 5000;

void BM_Floor(benchmark::State& state) {
  uint32_t objects = static_cast<uint32_t>(state.range(0));
  bench::BigHeap& heap = heapOf(objects, objects + 4096);
  for (auto _ : state) benchmark::DoNotOptimize(bench::floorPass(*heap.vm));
  state.counters["slots"] = (heap.vm->tableEnd() - heap.vm->tableFirst()) / 8;
}
BENCHMARK(BM_Floor)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Finding the table's bounds, which every whole-heap query does first: the anchor lookup and
// one guarded read per page of the table.
void BM_HeapBounds(benchmark::State& state) {
  uint32_t objects = static_cast<uint32_t>(state.range(0));
  bench::BigHeap& heap = heapOf(objects, objects + 4096);
  bench::FloorRatio ratio(bench::floorSeconds(*heap.vm));
  for (auto _ : state) {
    ratio.start();
    benchmark::DoNotOptimize(tv::heapBounds());
    ratio.stop();
  }
  ratio.report(state);
}
BENCHMARK(BM_HeapBounds)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void describe(benchmark::State& state, const char* method, uint32_t (*pick)(const bench::BigHeap&)) {
  bench::BigHeap& heap = heapOf(kDescribeObjects, kDescribeSlots);
  simvm::Stub stub = heap.lib->stub(method);
  uint32_t h = pick(heap);
  bench::callStub(stub, {h});  // the first call probes the table's start once
  bench::FloorRatio ratio(bench::floorSeconds(*heap.vm));
  for (auto _ : state) {
    ratio.start();
    benchmark::DoNotOptimize(bench::callStub(stub, {h}));
    ratio.stop();
  }
  ratio.report(state);
}

void BM_ClassInfo(benchmark::State& state) {
  describe(state, "getClassInfo0", [](const bench::BigHeap& heap) { return heap.classes[1]; });
}
BENCHMARK(BM_ClassInfo)->Iterations(kDescribeCalls)->Unit(benchmark::kMicrosecond);

void BM_HandleInfoObject(benchmark::State& state) {
  describe(state, "getHandleInfo0", [](const bench::BigHeap& heap) { return heap.sampleObject; });
}
BENCHMARK(BM_HandleInfoObject)->Iterations(kDescribeCalls)->Unit(benchmark::kMicrosecond);

void BM_HandleInfoArray(benchmark::State& state) {
  describe(state, "getHandleInfo0", [](const bench::BigHeap& heap) { return heap.sampleArray; });
}
BENCHMARK(BM_HandleInfoArray)->Iterations(kDescribeCalls)->Unit(benchmark::kMicrosecond);

// A whole-heap query on `objects` objects; `args` builds the stub's slots for the heap.
void wholeHeap(benchmark::State& state, const char* method,
               std::vector<uint32_t> (*args)(bench::BigHeap&)) {
  uint32_t objects = static_cast<uint32_t>(state.range(0));
  bench::BigHeap& heap = heapOf(objects, objects + 4096);
  bench::timeReportStub(state, *heap.vm, heap.lib->stub(method), heap.stream, args(heap));
}

void BM_Classes(benchmark::State& state) {
  wholeHeap(state, "getClasses0", [](bench::BigHeap& heap) {
    return std::vector<uint32_t>{heap.stream, heap.vm->newString("app/"), 1, 1};
  });
}
BENCHMARK(BM_Classes)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_HandlesWithSubclasses(benchmark::State& state) {
  wholeHeap(state, "getHandles0", [](bench::BigHeap& heap) {
    return std::vector<uint32_t>{heap.stream, heap.classes[2], 1, 0};  // app/Leaf: a quarter
  });
}
BENCHMARK(BM_HandlesWithSubclasses)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// app/Base has no instances of its own: the walk alone, with an empty report.
void BM_HandlesWalkOnly(benchmark::State& state) {
  wholeHeap(state, "getHandles0", [](bench::BigHeap& heap) {
    return std::vector<uint32_t>{heap.stream, heap.classes[0], 0, 0};
  });
}
BENCHMARK(BM_HandlesWalkOnly)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_HandlesOfArrays(benchmark::State& state) {
  wholeHeap(state, "getHandles0", [](bench::BigHeap& heap) {
    return std::vector<uint32_t>{heap.stream, heap.classes[1], 0, 1};
  });
}
BENCHMARK(BM_HandlesOfArrays)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
