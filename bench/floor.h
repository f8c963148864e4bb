// The floor every query benchmark is measured against, and the heaps they run on.
//
// The floor is the least any whole-heap query must do: one pass over the handle table that
// reads each slot's body and methods words and, for a plain object, the class word of its
// MethodTable. A query's time divided by the floor's, on the same heap in the same run, says
// how much work the query adds per slot.
#pragma once
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "simvm/library.h"
#include "simvm/vm.h"

namespace bench {

inline uint32_t word(const simvm::Vm& vm, uint32_t address) {
  uint32_t v;
  std::memcpy(&v, vm.pointer(address), sizeof v);
  return v;
}

// Sums the words the floor reads so the compiler cannot drop the loop.
inline uint64_t floorPass(const simvm::Vm& vm) {
  uint64_t sum = 0;
  for (uint32_t h = vm.tableFirst(); h < vm.tableEnd(); h += 8) {
    uint32_t body = word(vm, h);
    uint32_t methods = word(vm, h + 4);
    sum += body + methods;
    if (body != 0 && (methods & 0x1F) == 0) sum += word(vm, methods);  // the class handle
  }
  return sum;
}

// A heap of `objects` live objects in a table with `slots` slots: a small class tree
// (app/Base <- app/Node, app/Leaf, app/Item, app/Entry) whose instances are spread round-robin,
// with every tenth object an object array of app/Node. Room is left in the arena for strings
// that descriptions make.
struct BigHeap {
  std::unique_ptr<simvm::Vm> vm;
  std::unique_ptr<simvm::Library> lib;
  std::vector<uint32_t> classes;  // app/Base first
  uint32_t sampleObject = 0;
  uint32_t sampleArray = 0;
  uint32_t stream = 0;
};

inline std::unique_ptr<BigHeap> makeBigHeap(uint32_t objects, uint32_t slots) {
  auto heap = std::make_unique<BigHeap>();
  simvm::VmConfig config;
  config.slots = slots;
  config.arenaBytes = 64u << 20;
  config.arenaBytes += objects * 24u;
  heap->vm = std::make_unique<simvm::Vm>(config);
  simvm::Vm& vm = *heap->vm;
  simvm::ClassDecl base;
  base.name = "app/Base";
  base.fields = {{"next", "Lapp/Base;"}, {"size", "I"}};
  heap->classes.push_back(vm.defineClass(base));
  for (const char* name : {"app/Node", "app/Leaf", "app/Item", "app/Entry"}) {
    simvm::ClassDecl decl;
    decl.name = name;
    decl.super = heap->classes[0];
    decl.fields = {{"value", "I"}};
    heap->classes.push_back(vm.defineClass(decl));
  }
  heap->stream = vm.newOutputStream();
  uint32_t made = vm.slotsUsed();
  for (uint32_t i = 0; made < objects; i++, made++) {
    if (i % 10 == 9) {
      uint32_t a = vm.newObjectArray(heap->classes[1], 2);
      if (!heap->sampleArray) heap->sampleArray = a;
    } else {
      uint32_t o = vm.newObject(heap->classes[1 + i % 4]);
      if (!heap->sampleObject) heap->sampleObject = o;
    }
  }
  // A private copy per heap: the library caches the handle of java/lang/Class.
  heap->lib = std::make_unique<simvm::Library>(simvm::Library::defaultDir(), true);
  return heap;
}

// Calls a stub the way the VM does, with the slots on the caller's stack.
inline uint32_t callStub(simvm::Stub stub, std::initializer_list<uint32_t> args) {
  uint32_t slots[8] = {};
  uint32_t i = 0;
  for (uint32_t a : args) slots[i++] = a;
  uint32_t* back = stub(slots, nullptr);
  return back == slots + 1 ? slots[0] : 0;
}

// CPU time of the calling thread: the machines that run these are shared, and wall time
// would charge a query for other programs' work.
inline double secondsNow() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The floor's CPU time for one pass over `vm`'s table: the best of several passes.
inline double floorSeconds(const simvm::Vm& vm, int passes = 15) {
  double best = 1e30;
  for (int p = 0; p < passes; p++) {
    double start = secondsNow();
    benchmark::DoNotOptimize(floorPass(vm));
    double t = secondsNow() - start;
    if (t < best) best = t;
  }
  return best;
}

// Times the body of a benchmark loop and, at the end, reports the mean time of one call as a
// multiple of the floor ("x_floor") beside the floor itself ("floor_ms").
struct FloorRatio {
  explicit FloorRatio(double floor) : floor_(floor) {}
  void start() { begin_ = secondsNow(); }
  void stop() {
    total_ += secondsNow() - begin_;
    calls_++;
  }
  void report(benchmark::State& state) const {
    if (calls_ == 0) return;
    state.counters["x_floor"] = (total_ / calls_) / floor_;
    state.counters["floor_ms"] = floor_ * 1e3;
  }

 private:
  double floor_;
  double begin_ = 0, total_ = 0;
  int64_t calls_ = 0;
};

// Times a list query's stub called with `slots` against `vm`, as a ratio to the floor; the
// report written to `stream` is measured, then dropped, between calls.
inline void timeReportStub(benchmark::State& state, simvm::Vm& vm, simvm::Stub stub,
                           uint32_t stream, const std::vector<uint32_t>& slots) {
  FloorRatio ratio(floorSeconds(vm));
  for (auto _ : state) {
    std::vector<uint32_t> copy = slots;
    ratio.start();
    stub(copy.data(), nullptr);
    ratio.stop();
    state.PauseTiming();
    state.counters["report_bytes"] = static_cast<double>(vm.streamBytes(stream).size());
    vm.clearStream(stream);
    state.ResumeTiming();
  }
  ratio.report(state);
}

}  // namespace bench
