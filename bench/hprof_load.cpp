// Loading a heap dump of more than a million objects: MB of dump per second, and bytes of the
// stand-in VM's memory per object. The floor is reading the same file's bytes once.
//
// The dump comes from tests/hprof/java/BigHeap.java (made once and kept in /tmp); without a JDK
// a synthetic dump of the same shape is written instead.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "hprof/hprof.h"
#include "tests/hprof/hprof_writer.h"
#include "tests/hprof/jvm_process.h"

namespace {

namespace fs = std::filesystem;
using namespace hproftest;

std::string fromJvm(const std::string& path) {
  const std::string javac = findTool("javac"), java = findTool("java"), jcmd = findTool("jcmd");
  if (javac.empty() || java.empty() || jcmd.empty()) return "";
  char made[] = "/tmp/hprof_bench_XXXXXX";
  if (!mkdtemp(made)) return "";
  const std::string dir = made;
  std::string result;
  const fs::path source =
      fs::path(__FILE__).parent_path().parent_path() / "tests/hprof/java/BigHeap.java";
  if (run(javac + " -d " + dir + " " + source.string()).first) {
    JavaProcess jvm;
    if (jvm.start(java, {"-Xmx1g", "-cp", dir, "hw.BigHeap"}) && jvm.waitReady(120) &&
        run(jcmd + " " + std::to_string(jvm.pid) + " GC.heap_dump " + dir + "/big.hprof").first &&
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

const std::string& dumpPath() {
  static const std::string path = [] {
    const std::string cached = "/tmp/tavolin_bench_bigheap.hprof";
    if (fs::exists(cached)) return cached;
    const std::string made = fromJvm(cached);
    return made.empty() ? synthetic("/tmp/tavolin_bench_synthetic.hprof") : made;
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

void BM_LoadHprof(benchmark::State& state) {
  const std::string& path = dumpPath();
  const double floor = floorSeconds(path);
  uint64_t objects = 0, vmBytes = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto heap = simvm::loadHprof(path);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    objects = heap->objects;
    vmBytes = heap->vm->bytesUsed();
    state.PauseTiming();
    heap.reset();  // unmapping the VM is not loading
    state.ResumeTiming();
  }
  const double fileBytes = double(fs::file_size(path));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fileBytes));
  state.counters["objects"] = double(objects);
  state.counters["vm_bytes_per_object"] = double(vmBytes) / double(objects ? objects : 1);
  state.counters["dump_MB_per_s"] = fileBytes / 1e6 / (seconds / double(state.iterations()));
  state.counters["x_floor"] = seconds / double(state.iterations()) / floor;
}

BENCHMARK(BM_ReadFileFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadHprof)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
