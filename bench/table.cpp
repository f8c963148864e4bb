// Every query on application-shaped heaps (heapkit/app_heap.h) of 10^5, 10^6 and 4*10^6 slots,
// as a multiple of a floor timed on the same heap right after each call (the median of those
// ratios): a tight loop over the slots that reads each slot's two words and, for a plain object,
// its class word, nothing else.
// Prints one table: query, slots, median ms, x floor, the bound the query is judged against
// (the floor itself, or a bound row: what reading the memory the query must read costs by
// itself, bench/bound_passes.h), the query's multiple of that bound beside its goal, its
// multiple of the bound with the finding of the heap's bounds added ("x b.+hb": every whole-heap
// query must first find them, one guarded read a page, and no bound row reads that), and the
// extra peak of malloc'd memory during the call per slot.
//
// Times are the calling thread's CPU time, since the machines that run this are shared. A
// list query's report goes to the VM's stream one `write` call per byte; that cost is the VM's,
// not the query's, so after each call the same bytes are written again from here through the
// same service and that time is subtracted ("write excluded"). The report string's own
// memory is not counted either: the stream keeps its capacity after the warm-up call.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/alloc_meter.h"
#include "bench/bound_passes.h"
#include "bench/platform_time.h"
#include "heapgraph/retained.h"
#include "heapkit/app_heap.h"
#include "simvm/library.h"

extern "C" int32_t execute_java_dynamic_method(void* ee, uint32_t obj, const char* method,
                                               const char* signature, ...);

namespace {

const char* gOnly = nullptr;    // measure only the rows whose names contain this
const char* gVersus = nullptr;  // a folder holding another build of the library to compare

using bench::cpuSeconds;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The floor, read word by word as the bound passes read (bench/bound_passes.h).
uint64_t floorPass(uint32_t first, uint32_t end) {
  using bench::boundWord;
  uint64_t sum = 0;
  for (uint32_t h = first; h != end; h += 8) {
    const uint32_t body = boundWord(h);
    const uint32_t methods = boundWord(h + 4);
    sum += body ^ methods;
    if (body != 0 && (methods & 0x1F) == 0) sum += boundWord(methods);  // the class handle
  }
  return sum;
}

struct Measure {
  double seconds = 0;  // median of the calls
  double ratio = 0;    // median of each call's time over a floor pass timed right after it
  double versus = 0;   // with a second library: median of its call's time over the first's
  int64_t peak = 0;    // largest extra peak of any call
  double written = 0;  // median time of the report's writes, subtracted from `seconds`
  size_t reportBytes = 0;
  bool ok = true;
};

struct Bench {
  heapkit::AppHeap& heap;
  simvm::Library* lib;    // the library the calls go to
  simvm::Library* other;  // with gVersus: the one compared with it, called in turn
  int reps;
  uint32_t first, end;
  size_t lastReportBytes = 0;

  uint32_t slots() const { return (end - first) / 8; }

  // One timed pass over the slots (the floor, or a bound beside it).
  static double passOnce(const std::function<uint64_t()>& pass) {
    static volatile uint64_t sink = 0;
    double start = cpuSeconds();
    sink = sink + pass();
    return cpuSeconds() - start;
  }

  // The median of three floor passes. Each measured call is divided by one of these taken
  // right after it, so that a machine whose speed drifts (a shared one) moves both alike.
  double floorSeconds() {
    std::vector<double> t;
    for (int i = 0; i < 3; i++) t.push_back(passOnce([this] { return floorPass(first, end); }));
    return median(t);
  }

  // A bound row: the pass against the floor, 2 * reps + 1 times in turn.
  Measure runPass(const std::function<uint64_t()>& pass) {
    Measure m;
    std::vector<double> times, ratios;
    for (int i = 0; i < 2 * reps + 1; i++) {
      times.push_back(passOnce(pass));
      ratios.push_back(times.back() / floorSeconds());
    }
    m.seconds = median(times);
    m.ratio = median(ratios);
    return m;
  }

  // Writes the stream's bytes again through the VM's service, as the library did; returns the
  // time that took and leaves the stream empty.
  double rewriteSeconds() {
    simvm::Vm& vm = *heap.vm;
    std::string bytes = vm.streamBytes(heap.stream);
    lastReportBytes = bytes.size();
    vm.clearStream(heap.stream);
    double start = cpuSeconds();
    for (char c : bytes)
      execute_java_dynamic_method(nullptr, heap.stream, "write", "(I)V", static_cast<int32_t>(c));
    double took = cpuSeconds() - start;
    vm.clearStream(heap.stream);
    return took;
  }

  // Calls `query` once to warm up, then `reps` times; `check` judges the last answer. With a
  // second library, each call is followed by the same call to it, on the same heap in the same
  // process: that pairs away what differs between runs of this program (where the kernel
  // placed the heap, what else the machine is doing), which can move a time by a third.
  Measure run(const std::function<void()>& query, bool writesReport,
              const std::function<bool()>& check = nullptr) {
    Measure m;
    std::vector<double> versus;
    if (other != nullptr) {
      simvm::Library* first = lib;
      for (int i = 0; i <= reps; i++) {
        double a = timeCall(query, writesReport, check, m).seconds;
        lib = other;
        double b = timeCall(query, writesReport, check, m).seconds;
        lib = first;
        if (i > 0) versus.push_back(b / a);
      }
      m.versus = median(versus);
    }
    std::vector<double> times, writes, ratios;
    for (int i = 0; i <= reps; i++) {
      Call call = timeCall(query, writesReport, check, m);
      if (i == 0) continue;
      times.push_back(call.seconds);
      writes.push_back(call.written);
      ratios.push_back(call.seconds / floorSeconds());
      m.peak = std::max(m.peak, call.peak);
    }
    m.seconds = median(times);
    m.ratio = median(ratios);
    m.written = median(writes);
    m.reportBytes = lastReportBytes;
    return m;
  }

  struct Call {
    double seconds;  // the report's writes excluded
    double written;  // the time of those writes
    int64_t peak;    // extra malloc'd peak during the call
  };

  // One call; a wrong answer clears m.ok.
  Call timeCall(const std::function<void()>& query, bool writesReport,
                const std::function<bool()>& check, Measure& m) {
    int64_t base = bench::meterStart();
    double start = cpuSeconds();
    query();
    double took = cpuSeconds() - start;
    int64_t peak = bench::meterPeakSince(base);
    if (check && !check()) m.ok = false;
    double written = writesReport ? rewriteSeconds() : 0;
    return Call{took - written, written, peak};
  }

  uint32_t call(const char* method, std::initializer_list<uint32_t> args) {
    uint32_t s[8] = {};
    uint32_t i = 0;
    for (uint32_t a : args) s[i++] = a;
    uint32_t* back = lib->stub(method)(s, nullptr);
    return back == s + 1 ? s[0] : 0;
  }
};

void printHeader() {
  std::printf("%-44s %9s %11s %9s %14s %8s %6s %9s %13s%s\n", "query", "slots", "median ms",
              "x floor", "bound (x fl.)", "x bound", "goal", "x b.+hb", "extra B/slot",
              gVersus != nullptr ? "   other/this" : "");
}

// What a query is judged against: `name` (a bound row, or the floor) taken `times`, and the
// multiple of it the query should stay within. A null name: no goal (a bound row, or a query
// of one handle).
struct Goal {
  const char* name;
  double times;
  double goal;
};

// `boundRatio`: the bound's own multiple of the floor, already taken `times`. `boundsRatio`:
// finding the heap's bounds, as a multiple of the floor, which every whole-heap query pays
// once before its walk and no bound row reads; the "x b.+hb" column judges the query against
// the bound with that added (0: not measured, the column shows "-").
void printRow(const std::string& query, uint32_t slots, const Measure& m, const Goal& goal,
              double boundRatio, double boundsRatio = 0) {
  char memory[32] = "-";
  if (bench::meterAvailable())
    std::snprintf(memory, sizeof memory, "%.1f", static_cast<double>(m.peak) / slots);
  char versus[32] = "";
  if (m.versus > 0) std::snprintf(versus, sizeof versus, "%13.3f", m.versus);
  char bound[32] = "-", times[16] = "-", within[16] = "-", withBounds[16] = "-";
  if (goal.name != nullptr && boundsRatio > 0)
    std::snprintf(withBounds, sizeof withBounds, "%.2f", m.ratio / (boundRatio + boundsRatio));
  if (goal.name != nullptr) {
    std::snprintf(bound, sizeof bound, "%s%s %.2f", goal.times == 2 ? "2 " : "", goal.name,
                  boundRatio);
    std::snprintf(times, sizeof times, "%.2f", m.ratio / boundRatio);
    std::snprintf(within, sizeof within, "%.2f", goal.goal);
  }
  std::printf("%-44s %9u %11.3f %9.2f %14s %8s %6s %9s %13s%s%s\n", query.c_str(), slots,
              m.seconds * 1e3, m.ratio, bound, times, within, withBounds, memory, versus,
              m.ok ? "" : "  WRONG ANSWER");
  std::fflush(stdout);
}

void measureHeap(uint32_t bulk, int reps) {
  heapkit::AppHeapShape shape;
  shape.slots = bulk;
  auto heap = heapkit::buildAppHeap(shape);
  simvm::Vm& vm = *heap->vm;
  // BENCH_NOCOPY=1 loads the built file itself rather than a private copy, so that a profiler
  // can name the library's functions (a copy is deleted once loaded).
  simvm::Library lib(simvm::Library::defaultDir(), std::getenv("BENCH_NOCOPY") == nullptr);
  std::unique_ptr<simvm::Library> other;
  if (gVersus != nullptr) other = std::make_unique<simvm::Library>(gVersus, true);
  Bench b{*heap, &lib, other.get(), reps, vm.tableFirst(), vm.tableEnd()};
  const uint32_t app = vm.newString("app/");
  const uint32_t slots = b.slots();

  // The bound rows, each measured once per heap when a row (its own, or a query judged against
  // it) first needs it.
  const bench::ReferencePlan references = bench::planReferences(vm, "L[");
  const bench::ReferencePlan arrayFields = bench::planReferences(vm, "[");
  struct BoundRow {
    const char* name;  // short, for the bound column
    const char* row;
    std::function<uint64_t()> pass;
    Measure measure;
    bool measured;
  };
  BoundRow bounds[] = {
      {"cls",
       "bound cls: floor + every array's class word",
       [&] { return bench::arrayClassWordPass(b.first, b.end); },
       {},
       false},
      {"ref",
       "bound ref: floor + every reference word",
       [&] { return bench::referencePass(references, b.first, b.end); },
       {},
       false},
      {"arr",
       "bound arr: floor + array fields, their slots",
       [&] { return bench::arrayFieldPass(arrayFields, b.first, b.end); },
       {},
       false},
  };
  auto boundMeasure = [&](const char* name) -> const Measure& {
    for (BoundRow& bound : bounds) {
      if (std::string(bound.name) != name) continue;
      if (!bound.measured) bound.measure = b.runPass(bound.pass);
      bound.measured = true;
      return bound.measure;
    }
    std::abort();  // a goal names a bound that is not in the list
  };
  auto list = [&](const char* method, std::initializer_list<uint32_t> args) {
    std::vector<uint32_t> a(args);
    return [&b, method, a] {
      uint32_t s[8] = {};
      std::copy(a.begin(), a.end(), s);
      b.lib->stub(method)(s, nullptr);
    };
  };
  auto reportNotEmpty = [&] { return vm.streamBytes(heap->stream).size() > 2; };
  // What every whole-heap query pays before its walk and no bound counts: finding the heap's
  // bounds, one guarded read of each page of the handle table. (An arrays flag of 2 matches no
  // slot: the call stops there.) Measured once per heap, when first needed.
  Measure heapBounds;
  bool heapBoundsMeasured = false;
  auto heapBoundsMeasure = [&]() -> const Measure& {
    if (!heapBoundsMeasured)
      heapBounds = b.run(list("getHandles0", {heap->stream, heap->middleClass, 1, 2}), true,
                         [&] { return vm.streamBytes(heap->stream) == std::string("0", 2); });
    heapBoundsMeasured = true;
    return heapBounds;
  };
  // Measures a row only when its name contains the filter given on the command line.
  auto row = [&](const std::string& name, const Goal& goal,
                 const std::function<Measure()>& measure) {
    if (gOnly != nullptr && name.find(gOnly) == std::string::npos) return;
    Measure m = measure();
    double bound = 0, bounds = 0;
    if (goal.name != nullptr) {
      bound = goal.times * (std::string(goal.name) == "floor" ? 1 : boundMeasure(goal.name).ratio);
      bounds = heapBoundsMeasure().ratio;
    }
    printRow(name, slots, m, goal, bound, bounds);
  };

  std::printf("-- heap of %u slots: %zu classes, %.2f references per slot\n", slots,
              heap->classes.size(), static_cast<double>(heap->references) / slots);
  Measure floor;
  floor.seconds = b.floorSeconds();
  floor.ratio = 1;
  printRow("floor: bare pass over the slots", slots, floor, Goal{nullptr, 0, 0}, 0);
  for (BoundRow& bound : bounds)
    row(bound.row, Goal{nullptr, 0, 0}, [&] { return boundMeasure(bound.name); });
  row("getClasses0 \"app/\", no crediting", Goal{"cls", 1, 1.15}, [&] {
    return b.run(list("getClasses0", {heap->stream, app, 0, 1}), true, reportNotEmpty);
  });
  row("getClasses0 \"app/\", crediting superclasses", Goal{"cls", 1, 1.15}, [&] {
    return b.run(list("getClasses0", {heap->stream, app, 1, 1}), true, reportNotEmpty);
  });
  Measure handles;
  row("getHandles0 with subclasses, write excluded", Goal{"floor", 1, 1.5}, [&] {
    return handles = b.run(list("getHandles0", {heap->stream, heap->middleClass, 1, 0}), true,
                           reportNotEmpty);
  });
  if (handles.reportBytes != 0)
    std::printf("    (its report: %zu bytes, whose writes took %.3f ms, subtracted)\n",
                handles.reportBytes, handles.written * 1e3);
  row("heap bounds alone (getHandles0, arrays 2)", Goal{nullptr, 0, 0}, heapBoundsMeasure);
  row("getBackTraceReferences0", Goal{"ref", 1, 1.15}, [&] {
    return b.run(list("getBackTraceReferences0", {heap->stream, heap->sampleObject}), true,
                 reportNotEmpty);
  });
  row("getMemoryUsage0 \"app/\"", Goal{"arr", 1, 1.2}, [&] {
    return b.run(list("getMemoryUsage0", {heap->stream, app}), true, reportNotEmpty);
  });
  for (uint32_t depth : {1u, 10u, 100u, 1000u}) {
    if (depth > heap->chain.size()) continue;
    const uint32_t target = heap->chain[depth - 1];
    uint32_t result = 0;
    auto search = [&] { result = b.call("findPathToRoot0", {target, 1u << 30, heap->messageOut}); };
    // The one shortest path: the registry class, then the chain down to the target.
    auto found = [&] {
      return result != 0 && (vm.methodsOf(result) >> 5) == depth + 1 &&
             vm.getElement(result, 0) == heap->registry && vm.getElement(result, depth) == target;
    };
    row("findPathToRoot0 depth " + std::to_string(depth), Goal{"ref", 2, 1.5},
        [&] { return b.run(search, false, found); });
  }
  // Not a query of the library: the console's retained sizes (heapgraph/), read from the heap
  // through the stand-in VM's interface. Its memory is what the dominator tree needs on top of
  // the heap, at its peak.
  row("retained sizes: graph, semi-NCA, class figures", Goal{nullptr, 0, 0}, [&] {
    std::unique_ptr<heapgraph::HeapDominators> d;
    return b.run([&] { d = heapgraph::HeapDominators::compute(vm); }, false,
                 [&] {
                   // Freed here, after the call's peak was taken: the next call starts without it.
                   const bool ok = d && d->reachedObjects() > 0 && d->total() > 0;
                   d.reset();
                   return ok;
                 });
  });
  // Queries of one handle: a small fraction of a pass.
  row("getReferences0 of a thread", Goal{nullptr, 0, 0}, [&] {
    return b.run(list("getReferences0", {heap->stream, heap->threads[0]}), true, reportNotEmpty);
  });
  row("getClassInfo0", Goal{nullptr, 0, 0},
      [&] { return b.run([&] { b.call("getClassInfo0", {heap->middleClass}); }, false); });
  row("getHandleInfo0 of an object array", Goal{nullptr, 0, 0},
      [&] { return b.run([&] { b.call("getHandleInfo0", {heap->sampleArray}); }, false); });
  // Windows: the one question a description asks of the system (is the known start still
  // readable), asked of the page of the table's first slot, and of its last.
  if (bench::systemQuestionAvailable()) {
    for (const auto& [name, address] : {std::pair<const char*, uint32_t>{"first", b.first + 4},
                                        std::pair<const char*, uint32_t>{"last", b.end - 4}}) {
      row(std::string("one VirtualQuery at the table's ") + name + " slot", Goal{nullptr, 0, 0},
          [&, address = address] {
            constexpr uint32_t kTimes = 200;
            Measure m = b.run([&] { bench::askSystem(address, kTimes); }, false,
                              [&] { return bench::askSystem(address, 1) == 1; });
            m.seconds /= kTimes;
            m.ratio /= kTimes;
            return m;
          });
    }
  }
}

}  // namespace

// A first argument limits the sizes measured (say 100000, for a quick look); a second measures
// only the rows whose names contain it (say findPath; "" for all); a third names a folder
// holding another build of the library, whose time over this one's is added to each row
// (a change's effect, measured in pairs).
int main(int argc, char** argv) {
  const uint64_t largest = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : UINT64_MAX;
  if (argc > 2 && argv[2][0] != 0) gOnly = argv[2];
  if (argc > 3) gVersus = argv[3];
  std::printf(
      "Queries on application-shaped heaps; times are median thread CPU time, ratios to\n"
      "the floor timed on the same heap right after each call (the median ratio). Extra B/slot: "
      "peak of\n"
      "malloc'd bytes during the call above those held before it, per slot.\n\n");
  printHeader();
  const struct {
    uint32_t slots;
    int reps;
  } sizes[] = {{100000, 9}, {1000000, 5}, {4000000, 3}};
  for (const auto& size : sizes)
    if (size.slots <= largest) measureHeap(size.slots, size.reps);
  return 0;
}
