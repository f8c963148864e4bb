// Loading heap dumps: a dump of about 1.5 million small objects and one above 1.5 GB, each plain
// and gzip-compressed. Per load: MB of (uncompressed) dump per second, nanoseconds per object,
// the process's CPU seconds beside the wall seconds, and its peak resident memory during the load
// as a multiple of the uncompressed dump. The floor is reading the plain file's bytes once.
// Then the console's retained sizes on each loaded plain dump: CPU time and extra memory.
//
// The dumps come from heapkit/BigHeap.java (made once and kept in /tmp, the large one with
// twelve times the records, when the JDK, 6 GB of free memory and 5 GB of free disk in /tmp are
// there; otherwise its benchmarks say why they skip). Without a JDK the small dump is a synthetic
// one of the same shape, and the program says so on standard error.
//
// `bench_heap_digest FILE...` (bench/heap_digest.cpp) prints a digest of each dump's loaded heap,
// for comparing two builds of the importer.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "bench/alloc_meter.h"
#include "heapgraph/retained.h"
#include "heapkit/hprof_writer.h"
#include "heapkit/jvm_process.h"
#include "hprof/hprof.h"

namespace {

namespace fs = std::filesystem;
using namespace hproftest;

std::string fromJvm(const std::string& path, int times = 1, bool gzipToo = false) {
  const std::string javac = findTool("javac"), java = findTool("java"), jcmd = findTool("jcmd");
  if (javac.empty() || java.empty() || jcmd.empty()) return "";
  char made[] = "/tmp/hprof_bench_XXXXXX";
  if (!mkdtemp(made)) return "";
  const std::string dir = made;
  std::string result;
  const fs::path source = fs::path(__FILE__).parent_path().parent_path() / "heapkit/BigHeap.java";
  if (run(javac + " -d " + dir + " " + source.string()).first) {
    JavaProcess jvm;
    const std::string heap = times > 1 ? "-Xmx4g" : "-Xmx1g";
    const bool ready = jvm.start(java, {heap, "-cp", dir, "hw.BigHeap", std::to_string(times)}) &&
                       jvm.waitReady(600);
    const std::string target = jcmd + " " + std::to_string(jvm.pid);
    if (ready && run(target + " GC.heap_dump " + dir + "/big.hprof").first &&
        (!gzipToo || (run(target + " GC.heap_dump -gz=1 " + dir + "/big.hprof.gz").first &&
                      std::rename((dir + "/big.hprof.gz").c_str(), (path + ".gz").c_str()) == 0)) &&
        std::rename((dir + "/big.hprof").c_str(), path.c_str()) == 0)
      result = path;
  }
  fs::remove_all(dir);
  return result;
}

// The same shape without a JVM: linked items, each with a name String, its byte[] and an int[].
std::string synthetic(const std::string& path) {
  HprofWriter w(8);
  const uint64_t object = 0x1000, string = 0x1008, item = 0x1010, bytes = 0x1018, ints = 0x1020;
  w.defineClass(object, 0, "java/lang/Object", {});
  w.defineClass(string, object, "java/lang/String",
                {{"value", kRef}, {"coder", kByte}, {"hash", kInt}, {"hashIsZero", kBoolean}});
  w.defineClass(
      item, object, "hw/BigHeap$Item",
      {{"next", kRef}, {"name", kRef}, {"counts", kRef}, {"stamp", kLong}, {"weight", kDouble}});
  w.defineClass(bytes, object, "[B", {});
  w.defineClass(ints, object, "[I", {});
  uint64_t previous = 0;
  for (uint64_t i = 0; i < 350000; ++i) {
    const uint64_t base = 0x100000 + 64 * i;
    w.byteArray(base + 16, "item-" + std::to_string(i));
    w.instance(base + 8, string, {{"value", base + 16}});
    w.primitiveArray(base + 24, kInt, std::vector<uint64_t>(i % 8, i));
    w.instance(base, item,
               {{"next", previous}, {"name", base + 8}, {"counts", base + 24}, {"stamp", i}});
    previous = base;
  }
  HprofWriter::save(path, w.finish());
  return path;
}

// The small dump; its gzip form is the same path with ".gz" (made with it).
const std::string& dumpPath() {
  static const std::string path = [] {
    const std::string cached = "/tmp/tavolin_bench_bigheap.hprof";
    if (fs::exists(cached) && fs::exists(cached + ".gz")) return cached;
    std::string made = fromJvm(cached, 1, true);
    if (!made.empty()) return made;
    std::fprintf(stderr,
                 "bench_hprof_load: no dump could be made with a JDK (%s): the small-dump rows "
                 "time a synthetic dump of the same shape instead\n",
                 findTool("java").empty() ? "none found" : "the JVM failed");
    made = synthetic("/tmp/tavolin_bench_synthetic.hprof");
    if (!fs::exists(made + ".gz") && !run("gzip -1 -c " + made + " > " + made + ".gz").first)
      std::fprintf(stderr, "bench_hprof_load: gzip could not compress the synthetic dump\n");
    return made;
  }();
  return path;
}

// Seconds to read the file through once, touching every cache line.
double floorSeconds(const std::string& path) {
  const auto start = std::chrono::steady_clock::now();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::vector<unsigned char> buf(4 << 20);
  uint64_t sum = 0;
  for (size_t n; f && (n = std::fread(buf.data(), 1, buf.size(), f)) > 0;)
    for (size_t i = 0; i < n; i += 64) sum += buf[i];
  if (f) std::fclose(f);
  benchmark::DoNotOptimize(sum);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_ReadFileFloor(benchmark::State& state) {
  const std::string& path = dumpPath();
  for (auto _ : state) benchmark::DoNotOptimize(floorSeconds(path));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fs::file_size(path)));
}

// The large dump, or why there is none.
std::string largeDump(std::string& why) {
  static std::string reason;
  static const std::string path = [] {
    const std::string cached = "/tmp/tavolin_bench_large.hprof";
    if (fs::exists(cached) && fs::exists(cached + ".gz")) return cached;
    if (findTool("java").empty()) {
      reason = "no JDK to make the large dump with";
      return std::string();
    }
    const fs::space_info disk = fs::space("/tmp");
    if (disk.available < (5ull << 30)) {
      reason = "less than 5 GB free in /tmp for the large dump";
      return std::string();
    }
    std::ifstream meminfo("/proc/meminfo");
    uint64_t availableKb = 0;
    for (std::string key; meminfo >> key;) {
      if (key == "MemAvailable:") {
        meminfo >> availableKb;
        break;
      }
    }
    if (availableKb < (6ull << 20)) {
      reason = "less than 6 GB of memory available for the large dump";
      return std::string();
    }
    const std::string made = fromJvm(cached, 12, true);
    if (made.empty()) reason = "the JVM could not make the large dump";
    return made;
  }();
  why = reason;
  return path;
}

double processSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// kB on a line of /proc/self/status ("VmHWM:", "VmRSS:"); 0 when it is not there.
double statusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(key, 0) == 0) return std::stod(line.substr(std::strlen(key)));
  return 0;
}

// Starts the process's peak resident size afresh from what it holds now; false where the kernel
// does not allow it.
bool resetPeakMemory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5" << std::flush;
  return bool(clear);
}

// A dump loaded: the time per MB and per object, the CPU time and the peak memory.
void loadDump(benchmark::State& state, const std::string& plain, const std::string& path) {
  if (!fs::exists(path)) {
    state.SkipWithError(("skipped: no " + path).c_str());
    return;
  }
  const double floor = floorSeconds(plain);
  uint64_t objects = 0, classes = 0, stream = 0, vmBytes = 0;
  double seconds = 0, cpu = 0, peak = 0;
  bool peakKnown = true;
  for (auto _ : state) {
    state.PauseTiming();
    peakKnown = peakKnown && resetPeakMemory();
    const double before = statusKb("VmRSS:");
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = processSeconds();
    uint64_t streamed = 0;
    simvm::HprofOptions options;
    options.progress = [&](uint64_t done, uint64_t) { streamed = done; };
    auto heap = simvm::loadHprof(path, options);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu += processSeconds() - cpuStart;
    state.PauseTiming();
    peak = std::max(peak, (statusKb("VmHWM:") - before) * 1024);
    objects = heap->objects;
    classes = heap->classes;
    vmBytes = heap->vm->bytesUsed();
    stream = streamed;
    heap.reset();  // unmapping the VM is not loading
    state.ResumeTiming();
  }
  const double each = seconds / double(state.iterations());
  state.counters["objects"] = double(objects);
  state.counters["classes"] = double(classes);
  state.counters["dump_MB"] = double(stream) / 1e6;
  state.counters["load_s"] = each;
  state.counters["cpu_s"] = cpu / double(state.iterations());
  state.counters["MB_per_s"] = double(stream) / 1e6 / each;
  state.counters["ns_per_object"] = each * 1e9 / double(objects ? objects : 1);
  state.counters["x_floor"] = each / floor;
  state.counters["vm_bytes_per_object"] = double(vmBytes) / double(objects ? objects : 1);
  // What the load added to the resident memory at its peak (the mapped dump's pages included),
  // per byte of uncompressed dump.
  if (peakKnown) state.counters["peak_x_dump"] = peak / double(stream ? stream : 1);
}

void BM_LoadSmall(benchmark::State& state) { loadDump(state, dumpPath(), dumpPath()); }
void BM_LoadSmallGzip(benchmark::State& state) { loadDump(state, dumpPath(), dumpPath() + ".gz"); }

void loadLarge(benchmark::State& state, bool gzip) {
  std::string why;
  const std::string plain = largeDump(why);
  if (plain.empty()) {
    state.SkipWithError(("skipped: " + why).c_str());
    return;
  }
  loadDump(state, plain, gzip ? plain + ".gz" : plain);
}

void BM_LoadLarge(benchmark::State& state) { loadLarge(state, false); }
void BM_LoadLargeGzip(benchmark::State& state) { loadLarge(state, true); }

// The calling thread's CPU time: on a shared machine, what waiting for a core adds is left out.
double threadSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// The console's retained sizes (heapgraph/) on the loaded dump: the graph, its dominators and
// the class figures, in thread CPU time. The floor is a bare pass over the handle table that
// reads each slot's two words and a plain object's class word, as in the query table; the
// memory is the peak of malloc'd bytes above what was held before, per object of the dump.
void retainedSizes(benchmark::State& state, const std::string& path) {
  auto heap = simvm::loadHprof(path);
  simvm::Vm& vm = *heap->vm;
  const auto floorPass = [&vm] {
    const uint32_t* table = static_cast<const uint32_t*>(vm.pointer(vm.tableFirst()));
    uint64_t sum = 0;
    for (uint32_t s = 0, n = vm.slotsUsed(); s < n; s++) {
      const uint32_t body = table[2 * s], methods = table[2 * s + 1];
      sum += body ^ methods;
      if (body != 0 && (methods & 0x1F) == 0)
        sum += *static_cast<const uint32_t*>(vm.pointer(methods));
    }
    return sum;
  };
  double seconds = 0, floor = 0;
  int64_t peak = 0;
  uint32_t reached = 0;
  for (auto _ : state) {
    const int64_t base = bench::meterStart();
    const double start = threadSeconds();
    auto d = heapgraph::HeapDominators::compute(vm);
    seconds += threadSeconds() - start;
    peak = std::max(peak, bench::meterPeakSince(base));
    reached = d->reachedObjects();
    state.PauseTiming();
    d.reset();
    const double floorStart = threadSeconds();
    benchmark::DoNotOptimize(floorPass());
    floor += threadSeconds() - floorStart;
    state.ResumeTiming();
  }
  state.counters["objects"] = double(heap->objects);
  state.counters["slots"] = double(vm.slotsUsed());
  state.counters["reachable"] = double(reached);
  state.counters["cpu_seconds"] = seconds / double(state.iterations());
  state.counters["x_floor"] = seconds / floor;
  if (bench::meterAvailable())
    state.counters["extra_bytes_per_object"] =
        double(peak) / double(heap->objects ? heap->objects : 1);
}

void BM_RetainedSizesOfDump(benchmark::State& state) { retainedSizes(state, dumpPath()); }

void BM_RetainedSizesOfLargeDump(benchmark::State& state) {
  std::string why;
  const std::string plain = largeDump(why);
  if (plain.empty()) {
    state.SkipWithError(("skipped: " + why).c_str());
    return;
  }
  retainedSizes(state, plain);
}

BENCHMARK(BM_ReadFileFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadSmall)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LoadSmallGzip)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LoadLarge)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_LoadLargeGzip)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_RetainedSizesOfDump)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RetainedSizesOfLargeDump)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
