// The referrers query (getBackTraceReferences0) and the memory report (getMemoryUsage0) as
// multiples of the floor (one bare pass over the handle table) on heaps of 10^5 and 10^6 objects;
// beside them getReferences0 of one thread, which looks at one handle and its frames.
//
// The heap is the shared BigHeap, given work to do: every plain object's `next` field and every
// array element refers to a random object half of the time, eight threads run three frames of
// sixteen locals each (one more holds the target), and a thousand app/Buffer objects own int
// arrays (every fourth array shared with the previous buffer), so the usage query charges arrays
// as well as counting. getReferences0 of a thread probes the table's start once per call, as
// the thread scan asks for fresh bounds; that probe is most of its time.
#include <map>
#include <random>

#include "bench/floor.h"

namespace {

constexpr uint32_t kThreads = 8;
constexpr uint32_t kFrames = 3;
constexpr uint16_t kLocals = 16;
constexpr uint32_t kBuffers = 1000;

struct RefsHeap {
  std::unique_ptr<bench::BigHeap> big;
  uint32_t target = 0;  // a plain object with a few referrers, a thread among them
  uint32_t thread = 0;  // one of the running threads
};

void linkObjects(simvm::Vm& vm, uint32_t base, std::vector<uint32_t>& plain, std::mt19937& rng) {
  std::vector<uint32_t> arrays;
  for (uint32_t h = vm.tableFirst(); h < vm.tableFirst() + 8 * vm.slotsUsed(); h += 8) {
    if (vm.bodyOf(h) == 0 || vm.isClassHandle(h)) continue;
    uint32_t cls = vm.classOfObject(h);
    if (cls == 0) continue;
    if ((vm.methodsOf(h) & 0x1F) == 2) arrays.push_back(h);
    else if (vm.superclassOf(cls) == base) plain.push_back(h);
  }
  auto any = [&] { return plain[rng() % plain.size()]; };
  uint32_t next = vm.fieldOffset(base, "next");
  for (uint32_t o : plain)
    if (rng() % 2) vm.write32(vm.bodyOf(o) + next, any());
  for (uint32_t a : arrays)
    for (uint32_t i = 0; i < (vm.methodsOf(a) >> 5); i++)
      if (rng() % 2) vm.write32(vm.bodyOf(a) + 4 * i, any());
}

std::unique_ptr<RefsHeap> makeRefsHeap(uint32_t objects) {
  auto heap = std::make_unique<RefsHeap>();
  heap->big = bench::makeBigHeap(objects, objects + 4096);
  simvm::Vm& vm = *heap->big->vm;
  std::mt19937 rng(7);
  std::vector<uint32_t> plain;
  linkObjects(vm, heap->big->classes[0], plain, rng);
  heap->target = plain[plain.size() / 2];

  for (uint32_t t = 0; t < kThreads; t++) {
    uint32_t thread = vm.newThread("worker-" + std::to_string(t));
    for (uint32_t f = 0; f < kFrames; f++) {
      uint32_t frame = vm.pushFrame(thread, "step" + std::to_string(f), kLocals);
      for (uint16_t i = 0; i < kLocals; i++)
        vm.setLocal(frame, i, i % 4 == 3 ? i : plain[rng() % plain.size()]);  // some ints
    }
    if (t == 0) heap->thread = thread;
  }
  // The target is held by a few fields and one local besides whatever the random links gave it.
  uint32_t next = vm.fieldOffset(heap->big->classes[0], "next");
  for (int i = 0; i < 3; i++) vm.write32(vm.bodyOf(plain[rng() % plain.size()]) + next, heap->target);
  vm.setLocal(vm.pushFrame(heap->thread, "hold", 1), 0, heap->target);

  simvm::ClassDecl buffer;
  buffer.name = "app/Buffer";
  buffer.fields = {{"data", "[I"}, {"length", "I"}};
  uint32_t bufferClass = vm.defineClass(buffer);
  uint32_t shared = 0;
  for (uint32_t i = 0; i < kBuffers; i++) {
    uint32_t b = vm.newObject(bufferClass);
    if (i % 4 != 3 || shared == 0) shared = vm.newArray(simvm::kInt, 64 + i % 64);
    vm.setField(b, "data", shared);
  }
  return heap;
}

RefsHeap& heapOf(uint32_t objects) {
  static std::map<uint32_t, std::unique_ptr<RefsHeap>> heaps;
  auto& heap = heaps[objects];
  if (!heap) heap = makeRefsHeap(objects);
  heap->big->vm->makeCurrent();
  return *heap;
}

// Times `method` called with `slots`; the report is measured, then dropped, between calls.
void timeQuery(benchmark::State& state, RefsHeap& heap, const char* method,
               const std::vector<uint32_t>& slots) {
  bench::timeReportStub(state, *heap.big->vm, heap.big->lib->stub(method), heap.big->stream,
                        slots);
}

void BM_BackTraceReferences(benchmark::State& state) {
  RefsHeap& heap = heapOf(static_cast<uint32_t>(state.range(0)));
  timeQuery(state, heap, "getBackTraceReferences0", {heap.big->stream, heap.target});
}
BENCHMARK(BM_BackTraceReferences)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_MemoryUsage(benchmark::State& state) {
  RefsHeap& heap = heapOf(static_cast<uint32_t>(state.range(0)));
  uint32_t prefix = heap.big->vm->newString("app/");
  timeQuery(state, heap, "getMemoryUsage0", {heap.big->stream, prefix});
}
BENCHMARK(BM_MemoryUsage)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// One handle: validating it and scanning one thread's frames, a small fraction of a pass.
void BM_ReferencesOfThread(benchmark::State& state) {
  RefsHeap& heap = heapOf(static_cast<uint32_t>(state.range(0)));
  timeQuery(state, heap, "getReferences0", {heap.big->stream, heap.thread});
}
BENCHMARK(BM_ReferencesOfThread)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
