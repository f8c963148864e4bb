// Many Java threads calling the library at once, on a heap that holds still and on one that a
// mutator changes under the calls, and a toString that calls the library again.
//
// Run by `make test` with a short count; `test_stress --calls=100000` (or --long) runs the full
// count. Each caller OS thread has its own Java thread, with no frames, so which thread makes a
// call never changes the answer (the library skips the caller's own stack).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "simvm/mutator.h"
#include "tests/common/testkit.h"
#include "tests/stress/calls.h"
#include "vm/services.h"

namespace {

size_t g_calls = 5000;  // per phase; main() takes --calls=N or --long
constexpr int kThreads = 8;
constexpr size_t kDistinctCalls = 600;
// A call under the mutator must end within this multiple of the slowest call of its query on the
// still heap, and never sooner than kHangFloor (scheduling noise on a small shared machine).
constexpr double kHangFactor = 50;
constexpr std::chrono::milliseconds kHangFloor{3000};

using Clock = std::chrono::steady_clock;

// A heap of the program's own package, its callers, and a class whose toString calls the
// library again (three of the eight queries), checking what it gets while the heap holds still.
struct Scene {
  explicit Scene(uint32_t seed, uint32_t slots) : heap(config(slots)), rng(seed) {
    pathtest::RandomHeapShape shape;
    shape.maxObjects = 1500;
    made = pathtest::buildRandomHeap(heap.vm, rng, shape);
    simvm::ClassDecl decl;
    decl.name = "t/Reentrant";
    decl.fields = {{"peer", "Ljava/lang/Object;"}};
    reentrantClass = heap.vm.defineClass(decl);
    for (int i = 0; i < 3; i++) {
      const uint32_t r = heap.vm.newObject(reentrantClass);
      heap.vm.setField(r, "peer", made.objects[i % made.objects.size()]);
      reentrant.push_back(r);
    }
    for (int i = 0; i <= kThreads; i++)
      javaThreads.push_back(heap.vm.newThread("caller" + std::to_string(i)));
    for (int i = 0; i <= kThreads; i++) callerSlots.push_back(stress::newCallerSlots(heap.vm));
    calls = stress::mixedCalls(heap.vm, made, reentrant, rng, kDistinctCalls);
  }

  static simvm::VmConfig config(uint32_t slots) {
    simvm::VmConfig c;
    c.slots = slots;
    c.arenaBytes = 192u << 20;
    return c;
  }

  // The inner calls' answers when made alone; from then on, toString of a t/Reentrant object
  // makes them again and counts any difference while `checking` is set.
  void installReentrantToString() {
    simvm::Vm& vm = heap.vm;
    const uint32_t peer = made.objects[0];
    const uint32_t target = made.objects[made.objects.size() / 2];
    innerInfo = heap.call.handleInfo(peer);
    innerClasses = heap.call.classes("t/", true, true).bytes;
    innerPath = heap.call.path(target, 1000);
    vm.setToString(reentrantClass, [this, peer, target](uint32_t) -> std::optional<std::string> {
      // A caller of its own: toString runs on whichever thread asked, and a Caller keeps the
      // objects of its current call.
      simvm::Caller call(heap.vm, heap.lib);
      const std::string info = call.handleInfo(peer);
      const std::string classes = call.classes("t/", true, true).bytes;
      const simvm::PathResult path = call.path(target, 1000);
      reentrantCalls.fetch_add(3);
      if (checking.load() &&
          (info != innerInfo || classes != innerClasses || path.handles != innerPath.handles ||
           path.message != innerPath.message))
        reentrantWrong.fetch_add(1);
      return "reentrant after " + std::to_string(path.handles.size()) + " links";
    });
  }

  testkit::Heap heap;
  std::mt19937 rng;
  pathtest::RandomHeap made;
  uint32_t reentrantClass = 0;
  std::vector<uint32_t> reentrant;
  std::vector<uint32_t> javaThreads;  // the callers' own; the last one for sequential answers
  std::vector<stress::CallerSlots> callerSlots;
  std::vector<stress::Call> calls;

  std::string innerInfo, innerClasses;
  simvm::PathResult innerPath;
  std::atomic<bool> checking{true};
  std::atomic<uint64_t> reentrantCalls{0}, reentrantWrong{0};
};

// What a phase saw. The first fault is kept whole; the rest only counted.
struct Outcome {
  std::mutex mutex;
  std::string firstFault;
  uint64_t faults = 0;
  double slowest[stress::kQueries] = {};  // seconds, per query
  double spent[stress::kQueries] = {};
  uint64_t made[stress::kQueries] = {};

  void fault(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    if (faults++ == 0) firstFault = what;
  }
};

// Every handle an answer names was handed out as a slot at some time (slots are never reused).
bool wasSlot(simvm::Vm& vm, uint32_t h) {
  return h >= vm.tableFirst() && (h - vm.tableFirst()) % 8 == 0 &&
         h < vm.tableFirst() + 8 * vm.slotsUsed();
}

// Runs `total` calls from kThreads threads, each taking the next call of the mix. `expected`:
// the answers made one at a time, or null when the heap changes. `bound`: per query, the longest
// a call may take before the run is declared hung (empty: no watchdog).
void runConcurrently(Scene& scene, size_t total, const std::vector<std::string>* expected,
                     const std::vector<double>& bound, Outcome& out) {
  simvm::Vm& vm = scene.heap.vm;
  std::atomic<size_t> next{0};
  std::atomic<bool> done{false};
  struct InFlight {
    std::atomic<int64_t> since{0};
    std::atomic<int> query{0};
  } inFlight[kThreads];
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; t++) {
    workers.emplace_back([&, t] {
      vm.setCurrentThread(scene.javaThreads[t]);
      double slowest[stress::kQueries] = {};
      double spent[stress::kQueries] = {};
      uint64_t made[stress::kQueries] = {};
      for (size_t i; (i = next.fetch_add(1)) < total;) {
        const size_t k = i % scene.calls.size();
        const stress::Call& call = scene.calls[k];
        const int q = static_cast<int>(call.query);
        const auto start = Clock::now();
        inFlight[t].query.store(q);
        inFlight[t].since.store(start.time_since_epoch().count());
        stress::Answer got;
        try {
          got = stress::run(vm, scene.heap.call, scene.callerSlots[t], call);
        } catch (const std::exception& e) {
          got.fault = std::string("the call raised: ") + e.what();
        }
        inFlight[t].since.store(0);
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        slowest[q] = std::max(slowest[q], took);
        spent[q] += took;
        made[q]++;
        std::string why = got.fault;
        if (why.empty() && expected && got.bytes != (*expected)[k])
          why = "answer differs from the one made alone:\n  alone:  " + (*expected)[k] +
                "\n  now:    " + got.bytes;
        for (uint32_t h : got.handles)
          if (why.empty() && h != 0 && !wasSlot(vm, h))
            why = "names " + testkit::hex(h) + ", never a slot";
        if (!why.empty())
          out.fault(std::string(stress::methodName(call.query)) + "(" + testkit::hex(call.handle) +
                    ", " + std::to_string(call.a) + ", " + std::to_string(call.b) + "): " + why);
      }
      std::lock_guard<std::mutex> lock(out.mutex);
      for (int q = 0; q < stress::kQueries; q++) {
        out.slowest[q] = std::max(out.slowest[q], slowest[q]);
        out.made[q] += made[q];
        out.spent[q] += spent[q];
      }
    });
  }
  std::thread watchdog;
  if (!bound.empty()) {
    watchdog = std::thread([&] {
      while (!done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int64_t now = Clock::now().time_since_epoch().count();
        for (auto& f : inFlight) {
          const int64_t since = f.since.load();
          const double running =
              std::chrono::duration<double>(Clock::duration(now - since)).count();
          if (since != 0 && running > bound[f.query.load()]) {
            std::fprintf(stderr, "hung: a %s call has run %.1f s (bound %.1f s)\n",
                         stress::methodName(static_cast<stress::Query>(f.query.load())), running,
                         bound[f.query.load()]);
            std::abort();
          }
        }
      }
    });
  }
  for (std::thread& w : workers) w.join();
  done.store(true);
  if (watchdog.joinable()) watchdog.join();
}

// The answers of the mix made one at a time, on a caller thread of their own.
std::vector<std::string> sequentialAnswers(Scene& scene) {
  std::vector<std::string> answers;
  std::thread([&] {
    scene.heap.vm.setCurrentThread(scene.javaThreads[kThreads]);
    for (const stress::Call& call : scene.calls)
      answers.push_back(
          stress::run(scene.heap.vm, scene.heap.call, scene.callerSlots[kThreads], call).bytes);
  }).join();
  return answers;
}

void printTimes(const char* phase, const Outcome& out) {
  std::printf("%s:", phase);
  for (int q = 0; q < stress::kQueries; q++)
    std::printf(" %s %llu calls, mean %.2f ms, slowest %.2f ms;",
                stress::methodName(static_cast<stress::Query>(q)),
                static_cast<unsigned long long>(out.made[q]),
                out.made[q] ? out.spent[q] / out.made[q] * 1e3 : 0.0, out.slowest[q] * 1e3);
  std::printf("\n");
}

uint32_t slotsFor(size_t calls) {
  // The heap, plus the strings the description calls leave behind (a few slots each).
  return 16384 + static_cast<uint32_t>(calls) * 2;
}

TEST(Stress, eight_callers_on_a_still_heap_get_the_answers_each_call_gets_alone) {
  Scene scene(11, slotsFor(g_calls));
  scene.installReentrantToString();
  const std::vector<std::string> alone = sequentialAnswers(scene);
  Outcome out;
  runConcurrently(scene, g_calls, &alone, {}, out);
  printTimes("still heap", out);
  EXPECT_EQ(out.faults, 0u) << out.firstFault;
  EXPECT_GT(scene.reentrantCalls.load(), 0u);
  EXPECT_EQ(scene.reentrantWrong.load(), 0u);
}

// The words a frozen object or class occupies: its slot and its body (for a class, the
// descriptor and the field table). The mutator never writes them, nor may the library.
std::vector<uint32_t> snapshot(simvm::Vm& vm, const std::vector<uint32_t>& objects,
                               const std::vector<uint32_t>& classes) {
  std::vector<uint32_t> words;
  auto take = [&](uint32_t from, uint32_t bytes) {
    for (uint32_t a = from; a + 4 <= from + bytes; a += 4) words.push_back(vm.read32(a));
  };
  for (uint32_t h : objects) {
    take(h, 8);
    const uint32_t methods = vm.methodsOf(h);
    if (vm.bodyOf(h) == 0) continue;
    const uint32_t type = methods & 0x1F;
    take(vm.bodyOf(h), type == 0   ? vm.instanceSize(vm.classOfObject(h))
                       : type == 2 ? 4 * ((methods >> 5) + 1)
                                   : 0);
  }
  for (uint32_t c : classes) {
    take(c, 8);
    take(vm.descriptorOf(c), 96);
    take(vm.read32(vm.descriptorOf(c) + 40), 20u * vm.read16(vm.descriptorOf(c) + 76));
  }
  return words;
}

TEST(Stress, callers_beside_a_mutator_never_crash_hang_leak_or_write_outside_their_results) {
  // Room for the mutator's allocations besides the callers' strings.
  Scene scene(23, slotsFor(g_calls) + 8192);
  simvm::Vm& vm = scene.heap.vm;
  scene.installReentrantToString();
  // A still run first, for the time each query takes when nothing moves.
  Outcome still;
  runConcurrently(scene, std::min<size_t>(g_calls / 4, 4000), nullptr, {}, still);
  ASSERT_EQ(still.faults, 0u) << still.firstFault;
  std::vector<double> bound;
  for (int q = 0; q < stress::kQueries; q++)
    bound.push_back(std::max(kHangFactor * still.slowest[q],
                             std::chrono::duration<double>(kHangFloor).count()));

  // A quarter of the objects and arrays hold still; the mutator works on the rest and on the
  // heap's threads other than the callers'.
  simvm::MutatorConfig config;
  config.seed = 5;
  std::vector<uint32_t> frozen;
  const std::vector<uint32_t> callerThreads(scene.javaThreads.begin(), scene.javaThreads.end());
  for (uint32_t t : vm.threads())
    if (vm.bodyOf(t) != 0 &&
        std::find(callerThreads.begin(), callerThreads.end(), t) == callerThreads.end())
      config.threads.push_back(t);
  for (size_t i = 0; i < scene.made.objects.size(); i++) {
    const uint32_t h = scene.made.objects[i];
    if (std::find(config.threads.begin(), config.threads.end(), h) != config.threads.end())
      continue;
    (i % 4 == 0 ? frozen : config.objects).push_back(h);
  }
  for (size_t i = 0; i < scene.made.arrays.size(); i++)
    (i % 4 == 0 ? frozen : config.arrays).push_back(scene.made.arrays[i]);
  for (uint32_t c : scene.made.classes)
    if (vm.className(c).rfind("t/C", 0) == 0) config.classes.push_back(c);
  config.targets = frozen;
  config.targets.insert(config.targets.end(), scene.reentrant.begin(), scene.reentrant.end());
  config.targets.insert(config.targets.end(), scene.made.classes.begin(), scene.made.classes.end());
  config.maxNewSlots = 6144;
  const std::vector<uint32_t> before = snapshot(vm, frozen, scene.made.classes);

  scene.checking.store(false);
  Outcome out;
  simvm::MutationCounts counts;
  {
    simvm::Mutator mutator(vm, config);
    runConcurrently(scene, g_calls, nullptr, bound, out);
    mutator.stop();
    counts = mutator.counts();
    EXPECT_EQ(mutator.error(), "");
  }
  printTimes("still heap (timing run)", still);
  printTimes("beside the mutator", out);
  // Slowest calls are mostly scheduling (nine threads on few cores); means show the walk's cost.
  double worst = 0, worstMean = 0;
  for (int q = 0; q < stress::kQueries; q++) {
    if (still.slowest[q] > 0) worst = std::max(worst, out.slowest[q] / still.slowest[q]);
    if (still.spent[q] > 0 && out.made[q] > 0)
      worstMean =
          std::max(worstMean, (out.spent[q] / out.made[q]) / (still.spent[q] / still.made[q]));
  }
  std::printf(
      "mutations during the calls: %llu (allocated %llu, freed %llu, moved %llu, stored %llu, "
      "frames pushed %llu, popped %llu, classes loaded %llu); slowest call %.1fx the slowest "
      "of its query on the still heap, mean %.1fx its mean there (hang bound: %.0fx, at least "
      "%lld ms)\n",
      (unsigned long long)counts.total(), (unsigned long long)counts.allocated,
      (unsigned long long)counts.freed, (unsigned long long)counts.moved,
      (unsigned long long)counts.stored, (unsigned long long)counts.pushed,
      (unsigned long long)counts.popped, (unsigned long long)counts.loaded, worst, worstMean,
      kHangFactor, static_cast<long long>(kHangFloor.count()));
  EXPECT_EQ(out.faults, 0u) << out.firstFault;
  EXPECT_GT(counts.freed, 0u);
  EXPECT_GT(counts.moved, 0u);
  EXPECT_GT(counts.pushed, 0u);
  EXPECT_GT(counts.loaded, 0u);
  EXPECT_TRUE(snapshot(vm, frozen, scene.made.classes) == before)
      << "a word of a frozen object or class changed";
  EXPECT_GT(scene.reentrantCalls.load(), 0u);
}

// A stream's bytes go through write(int) one call at a time, most without the VM's lock: writers
// of their own streams and of one shared stream, taking turns so that each call finds another
// stream than the last, beside a thread that makes streams (the VM's map of them grows) and
// reads and clears its own. No byte is lost or lands in another stream.
TEST(Stress, writers_of_streams_lose_no_byte_and_write_into_no_other_stream) {
  simvm::Vm vm;
  constexpr int kWriters = 4;
  const size_t perStream = std::max<size_t>(g_calls * 4, 2000);
  const uint32_t shared = vm.newOutputStream();
  std::vector<uint32_t> own;
  for (int i = 0; i < kWriters; i++) own.push_back(vm.newOutputStream());
  std::atomic<bool> writing{true};
  std::thread maker([&] {
    size_t made = 0;
    while (writing.load() && made < 4000) {
      const uint32_t s = vm.newOutputStream();
      ++made;
      execute_java_dynamic_method(nullptr, s, "write", "(I)V", 'm');
      if (vm.streamBytes(s) != "m") ADD_FAILURE() << "a new stream holds another's bytes";
      vm.clearStream(s);
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; w++)
    writers.emplace_back([&, w] {
      for (size_t i = 0; i < perStream; i++) {
        execute_java_dynamic_method(nullptr, own[w], "write", "(I)V", 'a' + w);
        if (i % 3 == 0) execute_java_dynamic_method(nullptr, shared, "write", "(I)V", 'a' + w);
      }
    });
  for (std::thread& t : writers) t.join();
  writing = false;
  maker.join();
  for (int w = 0; w < kWriters; w++) {
    EXPECT_EQ(vm.streamBytes(own[w]), std::string(perStream, static_cast<char>('a' + w))) << w;
    EXPECT_EQ(std::count(vm.streamBytes(shared).begin(), vm.streamBytes(shared).end(), 'a' + w),
              static_cast<std::ptrdiff_t>((perStream + 2) / 3))
        << w;
  }
  EXPECT_EQ(vm.streamBytes(shared).size(), kWriters * ((perStream + 2) / 3));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--long") == 0)
      g_calls = 100000;
    else if (std::strncmp(argv[i], "--calls=", 8) == 0)
      g_calls = std::strtoul(argv[i] + 8, nullptr, 10);
  }
  return RUN_ALL_TESTS();
}
