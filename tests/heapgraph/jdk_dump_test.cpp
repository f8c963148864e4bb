// Retained sizes on a dump a real JVM wrote (the program of tests/hprof/java/HeapScene.java):
// the heap's graph read by heapgraph/ agrees with the model's, and the figures keep their
// definitions: an object's retained size is what no root reaches once it is gone.
//
// The dump is the one the JVM dump tests take (in the build tree, keyed by the program's text);
// when they have not run yet, this test takes its own beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "heapgraph/retained.h"
#include "hprof/hprof.h"
#include "tests/heapgraph/heap_model_graph.h"
#include "tests/hprof/hprof_testing.h"
#if !defined(_WIN32)
#include "heapkit/jvm_process.h"
#endif

namespace {

namespace fs = std::filesystem;

// The dump's path, or "" with *why set.
std::string sceneDump(std::string* why) {
#if defined(_WIN32)
  *why = "no JDK runs as a Windows program here";
  return "";
#else
  const std::string source = TAVOLIN_SOURCE_DIR "/tests/hprof/java/HeapScene.java";
  std::ifstream in(source);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Where the importer's JVM tests keep the dumps of the same program, in the folder they share.
  const std::string key = hproftest::jvmDumpFolderName(text).substr(10);
  const std::string shared =
      TAVOLIN_JVM_DUMPS "/" + hproftest::jvmDumpFolderName(text) + "/scene.hprof";
  if (fs::exists(shared)) return shared;
  const std::string own = TAVOLIN_BINARY_DIR "/heapgraph_jvm_" + std::string(key);
  if (fs::exists(own + "/scene.hprof")) return own + "/scene.hprof";
  using hproftest::findTool;
  const std::string javac = findTool("javac"), java = findTool("java"), jcmd = findTool("jcmd");
  if (javac.empty() || java.empty() || jcmd.empty()) {
    *why = "javac, java or jcmd is not installed";
    return "";
  }
  std::string pattern = TAVOLIN_BINARY_DIR "/heapgraph_jvm_making_XXXXXX";
  if (!mkdtemp(pattern.data())) {
    *why = "cannot make a temporary folder";
    return "";
  }
  const std::string made = pattern;
  hproftest::JavaProcess jvm;
  if (hproftest::run(javac + " -d " + made + " " + source).first &&
      jvm.start(java, {"-Xmx128m", "-cp", made, "hw.HeapScene"}) && jvm.waitReady(30)) {
    const std::string target = jcmd + " " + std::to_string(jvm.pid) + " ";
    hproftest::run(target + "GC.run");
    if (hproftest::run(target + "GC.heap_dump " + made + "/scene.hprof").first &&
        std::rename(made.c_str(), own.c_str()) == 0)
      return own + "/scene.hprof";
  }
  fs::remove_all(made);
  if (fs::exists(own + "/scene.hprof")) return own + "/scene.hprof";  // another process was first
  *why = "the JVM did not write its dump";
  return "";
#endif
}

// The nodes the root reaches in the model graph when `removed` is taken out.
std::vector<bool> reachedWithout(const domtest::ModelGraph& g, uint32_t removed) {
  std::vector<bool> seen(g.succ.size(), false);
  std::vector<uint32_t> todo{0};
  seen[0] = true;
  while (!todo.empty()) {
    const uint32_t v = todo.back();
    todo.pop_back();
    for (uint32_t w : g.succ[v])
      if (!seen[w] && w != removed) seen[w] = true, todo.push_back(w);
  }
  return seen;
}

TEST(RetainedOnJdkDump, figures_keep_their_definitions) {
  std::string why;
  const std::string file = sceneDump(&why);
  if (file.empty()) GTEST_SKIP() << why;
  const auto heap = simvm::loadHprof(file);
  simvm::Vm& vm = *heap->vm;
  const auto d = heapgraph::HeapDominators::compute(vm);
  const domtest::ModelGraph g = domtest::modelGraph(vm);

  // Every reachable byte is the virtual root's, and each object retains at least itself.
  const std::vector<bool> reached = reachedWithout(g, UINT32_MAX);
  uint64_t reachable = 0;
  for (uint32_t node = 1; node < g.succ.size(); node++) {
    const uint32_t h = g.handle(node);
    ASSERT_EQ(d->reachable(h), bool(reached[node])) << h;
    if (!reached[node]) continue;
    reachable += g.shallow[node];
    ASSERT_EQ(d->shallow(h), g.shallow[node]) << h;
    ASSERT_GE(d->retained(h), g.shallow[node]) << h;
  }
  EXPECT_EQ(d->total(), reachable);
  EXPECT_GT(d->reachedObjects(), 10000u);

  // An object's retained size is the bytes no root reaches without it: the largest, and a
  // seeded sample of the rest.
  std::vector<uint32_t> sample = d->largest(8);
  std::mt19937 rng(26);
  for (int i = 0; i < 24; i++) {
    const uint32_t node =
        1 + std::uniform_int_distribution<uint32_t>(0, uint32_t(g.succ.size()) - 2)(rng);
    if (reached[node]) sample.push_back(g.handle(node));
  }
  for (uint32_t h : sample) {
    const std::vector<bool> without = reachedWithout(g, g.node(h));
    uint64_t lost = 0;
    for (uint32_t node = 1; node < g.succ.size(); node++)
      if (reached[node] && !without[node]) lost += g.shallow[node];
    EXPECT_EQ(d->retained(h), lost) << vm.className(vm.classOfObject(h)) << " " << h;
  }

  // Each class's figure is the sum over its top-level instances, which are exactly those with
  // no instance of their class among their dominators.
  std::map<uint32_t, std::set<uint32_t>> topLevel;
  for (uint32_t node = 1; node < g.succ.size(); node++) {
    const uint32_t h = g.handle(node);
    if (!reached[node] || vm.typeCodeOf(h) != simvm::kObject || vm.isClassHandle(h)) continue;
    const uint32_t cls = vm.classOfObject(h);
    bool nested = false;
    for (uint32_t up = d->dominator(h); up != 0 && !nested; up = d->dominator(up))
      nested = vm.typeCodeOf(up) == simvm::kObject && !vm.isClassHandle(up) &&
               vm.classOfObject(up) == cls;
    if (!nested) topLevel[cls].insert(h);
  }
  size_t classes = 0;
  for (const auto& [cls, instances] : topLevel) {
    const std::vector<uint32_t> listed = d->topLevelInstances(cls);
    ASSERT_EQ(std::set<uint32_t>(listed.begin(), listed.end()), instances) << vm.className(cls);
    ASSERT_EQ(d->topLevelCount(cls), instances.size()) << vm.className(cls);
    uint64_t sum = 0;
    for (uint32_t h : listed) sum += d->retained(h);
    ASSERT_EQ(d->classRetained(cls), sum) << vm.className(cls);
    classes++;
  }
  EXPECT_EQ(d->classRetained().size(), classes);
}

}  // namespace
