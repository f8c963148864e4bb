// Dumps taken from a real JVM (tests/hprof/java/HeapScene.java, dumped with jcmd) and loaded:
// the census must agree with the JVM's own class histogram, and the queries must see the
// program's static chain, its parked thread's local and its weakly held object.
//
// The dumps are kept in hprof_jvm_<hash of the Java source> in the folder TAVOLIN_JVM_DUMPS (the
// build tree unless configured otherwise), which build trees of every word size may share: the
// first test to find no dumps there takes them from the JVM, holding a lock on the folder so that
// tests of other trees wait for its dumps instead of starting JVMs of their own.
//
// Known differences from the histogram, left out of the comparison:
// - java.lang.Class: the histogram also counts the CDS archived mirrors, which the dump omits,
//   and the census counts the holder classes of the dump's roots;
// - primitive arrays and arrays of arrays: the census counts neither.
// The caller's own objects for the call (its prefix String and output stream) are taken out by
// Caller::heapClasses, as the console takes them out.
//
// The same program is dumped by a JDK 25 as well, where one is installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "simvm/library.h"
#include "tests/common/testkit.h"
#include "tests/hprof/hprof_testing.h"
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "heapkit/jvm_process.h"
#endif
#include "tests/hprof/reachability.h"

namespace {

namespace fs = std::filesystem;
using namespace hproftest;

class JvmDump : public ::testing::Test {
 protected:
  // The dumps and the histogram are made once per build tree and version of the Java program,
  // so that running each test in a process of its own does not start the JVM each time.
  static void SetUpTestSuite() {
#if defined(_WIN32)
    skip_ = "no JDK runs as a Windows program here";
#else
    const std::string source = TAVOLIN_SOURCE_DIR "/tests/hprof/java/HeapScene.java";
    std::ifstream in(source);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string folder = TAVOLIN_JVM_DUMPS;
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    dir_ = folder + "/" + jvmDumpFolderName(text);
    const int lock = open((folder + "/hprof_jvm.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
      error_ = "cannot lock " + folder + "/hprof_jvm.lock";
      if (lock >= 0) close(lock);
      return;
    }
    if (!fs::exists(dir_ + "/histogram.txt")) {
      // Made under a temporary name and renamed whole: a test killed halfway leaves no dumps
      // that look complete.
      std::string pattern = folder + "/hprof_jvm_making_XXXXXX";
      char* made = pattern.data();
      if (!mkdtemp(made)) {
        error_ = "cannot make a temporary folder";
      } else {
        makeDumps(source, made);
        if (!error_.empty() || !skip_.empty() || rename(made, dir_.c_str()) != 0)
          fs::remove_all(made, ignored);
      }
    }
    close(lock);  // and with it the lock
    if (!error_.empty() || !skip_.empty()) return;
    std::ifstream hist(dir_ + "/histogram.txt");
    histogram_.assign((std::istreambuf_iterator<char>(hist)), std::istreambuf_iterator<char>());
#endif
  }

  static constexpr const char* kJdk25 = "/usr/lib/jvm/temurin-25-jdk-amd64/bin/";

#if !defined(_WIN32)
  static void makeDumps(const std::string& source, const std::string& dir) {
    makeDumpsWith(source, dir, findTool("javac"), findTool("java"), findTool("jcmd"));
    if (error_.empty() && skip_.empty() && access(kJdk25, X_OK) == 0) {
      const std::string b = kJdk25;
      fs::create_directory(dir + "/jdk25");
      makeDumpsWith(source, dir + "/jdk25", b + "javac", b + "java", b + "jcmd");
    }
  }

#endif

  // The dumps of each JDK that made them: (label, folder).
  static std::vector<std::pair<std::string, std::string>> dumps() {
    std::vector<std::pair<std::string, std::string>> out{{"JDK 17", dir_}};
    if (fs::exists(dir_ + "/jdk25/scene.hprof")) out.emplace_back("JDK 25", dir_ + "/jdk25");
    return out;
  }

#if !defined(_WIN32)
  static void makeDumpsWith(const std::string& source, const std::string& dir,
                            const std::string& javac, const std::string& java,
                            const std::string& jcmd) {
    if (javac.empty() || java.empty() || jcmd.empty()) {
      skip_ = "javac, java or jcmd is not installed";
      return;
    }
    const auto [compiled, javacOut] = run(javac + " -d " + dir + " " + source);
    if (!compiled) {
      error_ = "javac failed: " + javacOut;
      return;
    }
    JavaProcess jvm;
    if (!jvm.start(java, {"-Xmx128m", "-cp", dir, "hw.HeapScene"}) || !jvm.waitReady(30)) {
      error_ = "the Java program did not get ready";
      return;
    }
    const std::string target = jcmd + " " + std::to_string(jvm.pid) + " ";
    // Cleaners keep running after a full GC; the second one settles them.
    run(target + "GC.run");
    run(target + "GC.run");
    auto [histOk, hist] = run(target + "GC.class_histogram");
    auto [dumpOk, dumpOut] = run(target + "GC.heap_dump " + dir + "/scene.hprof");
    auto [gzOk, gzOut] = run(target + "GC.heap_dump -gz=1 " + dir + "/scene.hprof.gz");
    if (!histOk || !dumpOk || !gzOk || !fs::exists(dir + "/scene.hprof")) {
      error_ = "jcmd failed: " + hist + dumpOut + gzOut;
      return;
    }
    std::ofstream(dir + "/histogram.txt") << hist;
  }
#endif

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_TRUE(error_.empty()) << error_;
  }

  struct Loaded {
    std::unique_ptr<simvm::LoadedHeap> heap;
    std::unique_ptr<simvm::Library> lib;
    std::unique_ptr<simvm::Caller> call;
    simvm::Vm& vm() { return *heap->vm; }
    // The one instance of a class of the scene.
    uint32_t only(const std::string& name) {
      const uint32_t cls = vm().findClass(name);
      EXPECT_NE(cls, 0u) << name;
      const simvm::Report r = call->handles(cls, false, 0);
      EXPECT_EQ(r.records.size(), 1u) << name;
      return r.records.empty() ? 0 : r.records[0].handle;
    }
  };

  static Loaded load(const std::string& file) {
    Loaded l;
    l.heap = simvm::loadHprof(file[0] == '/' ? file : dir_ + "/" + file);
    l.lib = std::make_unique<simvm::Library>(testkit::libraryDir(), true);
    l.call = std::make_unique<simvm::Caller>(*l.heap->vm, *l.lib);
    return l;
  }

  static std::string skip_, error_, dir_, histogram_;
};

std::string JvmDump::skip_, JvmDump::error_, JvmDump::dir_, JvmDump::histogram_;

bool elementIsReference(simvm::Vm& vm, uint32_t array) {
  for (uint32_t c = vm.classOfObject(array); c != 0; c = vm.superclassOf(c))
    if (c == vm.referenceClass()) return true;
  return false;
}

// A histogram name as the census names it: kind and slash-form name (an array's element), or
// nothing for what the census does not count.
std::optional<std::pair<char, std::string>> censusName(std::string name) {
  char kind = 'C';
  if (name[0] == '[') {
    name = name.substr(1);
    if (name.size() < 2 || name[0] != 'L' || name.back() != ';') return std::nullopt;
    name = name.substr(1, name.size() - 2);
    kind = 'A';
  }
  for (char& c : name)
    if (c == '.') c = '/';
  if (const size_t hidden = name.rfind("/0x"); hidden != std::string::npos) name[hidden] = '+';
  return std::make_pair(kind, name);
}

TEST_F(JvmDump, census_agrees_with_the_jvms_class_histogram) {
  Loaded l = load("scene.hprof");
  std::map<std::pair<char, std::string>, int64_t> census, histogram;
  for (const simvm::Record& r : l.call->heapClasses("", false, false).records)
    census[{r.kind, r.className}] += std::stoll(r.detail);
  const std::regex line(R"(^\s*\d+:\s+(\d+)\s+\d+\s+(\S+))");
  std::istringstream in(histogram_);
  for (std::string text; std::getline(in, text);) {
    std::smatch m;
    if (!std::regex_search(text, m, line)) continue;
    if (auto name = censusName(m[2].str())) histogram[*name] += std::stoll(m[1].str());
  }
  ASSERT_GT(histogram.size(), 100u) << histogram_;
  census.erase({'C', "java/lang/Class"});
  histogram.erase({'C', "java/lang/Class"});
  std::string differences;
  for (const auto& [name, count] : histogram)
    if (census[name] != count)
      differences += std::string(1, name.first) + " " + name.second + ": census " +
                     std::to_string(census[name]) + ", histogram " + std::to_string(count) + "\n";
  for (const auto& [name, count] : census)
    if (!histogram.count(name))
      differences += std::string(1, name.first) + " " + name.second + ": census " +
                     std::to_string(count) + ", not in the histogram\n";
  EXPECT_EQ(differences, "");
  EXPECT_EQ((census[{'C', "hw/HeapScene$Node"}]), 1000);
  EXPECT_EQ((census[{'A', "hw/HeapScene$Node"}]), 4);  // nodes and the three rows of grid
}

// Holder classes and the list of system classes say exactly what the dump's root records say,
// kind by kind, as an independent reading of the file finds them.
TEST_F(JvmDump, every_root_of_the_dump_is_held_by_its_kinds_holder) {
  for (const auto& [jdk, dir] : dumps()) {
    Loaded l = load(dir + "/scene.hprof");
    const Reachability r = reachableObjects(dir + "/scene.hprof");
    ASSERT_EQ(r.error, "") << jdk;
    std::map<std::string, std::set<uint64_t>> held;  // kind -> ids its holders' statics hold
    for (const auto& [cls, kind] : l.heap->rootHolders) {
      EXPECT_EQ(l.call->handles(cls, true, 0).records.size(), 0u);  // no instances
      for (const simvm::FieldDecl& f : l.vm().fieldsOf(cls)) {
        ASSERT_TRUE(f.isStatic);
        held[simvm::rootKindName(kind)].insert(
            l.heap->idOfHandle.at(l.vm().getStatic(cls, f.name)));
      }
    }
    for (uint32_t c : l.heap->systemClasses) held["system class"].insert(l.heap->idOfHandle.at(c));
    EXPECT_EQ(held["JNI global"], r.rootIds.at(0x01)) << jdk;
    EXPECT_EQ(held["system class"], r.rootIds.at(0x05)) << jdk;
    EXPECT_EQ(held["thread object"], r.rootIds.at(0x08)) << jdk;
    EXPECT_GE(held["thread object"].size(), 3u) << jdk;
    for (uint8_t tag : {0x02, 0x04, 0x06, 0x07, 0xFF}) {
      const char* names[] = {
          "", "", "JNI local", "", "native stack", "", "thread block", "monitor used"};
      const std::string name = tag == 0xFF ? "unknown" : names[tag];
      EXPECT_EQ(held[name], r.rootIds.count(tag) ? r.rootIds.at(tag) : std::set<uint64_t>())
          << jdk << " " << name;
    }
    // What a class refers to: HeapScene's loader is the application class loader.
    const uint32_t scene = l.vm().findClass("hw/HeapScene");
    const uint32_t loader = l.vm().getStatic(scene, simvm::kLoaderStatic);
    ASSERT_NE(loader, 0u) << jdk;
    EXPECT_NE(l.vm().className(l.vm().classOfObject(loader)).find("AppClassLoader"),
              std::string::npos);
  }
}

// The goal: a path for at least 99.9% of the objects reachable from the dump's roots without
// passing through a Reference object (a sample of them, in a fixed order, smaller under the
// sanitizers: there every one must have its path), each search's
// objects given back to the VM afterwards. The path query's targets are objects and object
// arrays, and it never links to a Reference object: primitive arrays and Reference objects are
// left out here (the console says why for them). So are object arrays whose element class is a
// Reference class (a WeakHashMap's table): the library takes an object array's class to be its
// element class, and so treats such an array as a Reference object and never links to it.
TEST_F(JvmDump, nearly_every_object_reachable_from_the_roots_has_a_path) {
  for (const auto& [jdk, dir] : dumps()) {
    Loaded l = load(dir + "/scene.hprof");
    const Reachability r = reachableObjects(dir + "/scene.hprof");
    ASSERT_EQ(r.error, "") << jdk;
    std::vector<uint32_t> targets;
    size_t referenceArrays = 0;
    for (uint64_t id : r.reachable) {
      if (r.kindOf.at(id) == Reachability::kClass) continue;
      if (r.kindOf.at(id) == Reachability::kPrimitiveArray || r.isReference.count(id)) continue;
      const uint32_t h = l.heap->handleOfId.at(id);
      if (l.vm().isClassHandle(h)) continue;  // primitive mirrors became classes
      if (r.kindOf.at(id) == Reachability::kObjectArray && elementIsReference(l.vm(), h)) {
        ++referenceArrays;
        continue;
      }
      targets.push_back(h);
    }
    std::shuffle(targets.begin(), targets.end(), std::mt19937(14));
    targets.resize(std::min<size_t>(targets.size(), testkit::kSanitized ? 250 : 1500));
    const uint32_t slotsBefore = l.vm().slotsUsed();
    size_t found = 0;
    std::string missed;
    for (uint32_t h : targets) {
      simvm::VmScope scope(l.vm());
      const simvm::PathResult p = l.call->path(h, 1 << 24);
      if (p.array != 0)
        ++found;
      else if (missed.size() < 2000)
        missed += (l.vm().classOfObject(h) ? l.vm().className(l.vm().classOfObject(h))
                                           : std::string("primitive array")) +
                  " @" + std::to_string(l.heap->idOfHandle.at(h)) + ", ";
    }
    EXPECT_EQ(l.vm().slotsUsed(), slotsBefore) << "the searches' objects were given back";
    const double share = double(found) / double(targets.size());
    std::printf(
        "%s: %zu reachable, %zu sampled, %.4f%% with a path (%zu arrays of Reference "
        "elements left out)\n",
        jdk.c_str(), r.reachable.size(), targets.size(), 100 * share, referenceArrays);
    EXPECT_GE(share, 0.999) << jdk << ": no path for " << missed;
  }
}

//   HeapScene.chain ──► Chain0 ──► Chain1 ──► Chain2 ──► ChainLeaf
TEST_F(JvmDump, a_static_chain_is_the_path_to_its_leaf) {
  Loaded l = load("scene.hprof");
  const simvm::PathResult p = l.call->path(l.only("hw/HeapScene$ChainLeaf"), 1 << 20);
  ASSERT_EQ(p.handles.size(), 5u) << p.message;
  EXPECT_EQ(p.handles[0], l.vm().findClass("hw/HeapScene"));
  const char* chain[] = {"hw/HeapScene$Chain0", "hw/HeapScene$Chain1", "hw/HeapScene$Chain2",
                         "hw/HeapScene$ChainLeaf"};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(l.vm().className(l.vm().classOfObject(p.handles[i + 1])), chain[i]);
}

// boolean.class and the other eight primitive mirrors are objects of the dump with fields: each
// holds java.base's Module in `module`, and the referrers of that Module include them.
TEST_F(JvmDump, the_primitive_mirrors_hold_what_their_dumped_fields_hold) {
  Loaded l = load("scene.hprof");
  const uint32_t module = l.vm().getStatic(l.vm().findClass("int"), "module");
  ASSERT_NE(module, 0u);
  EXPECT_EQ(l.vm().className(l.vm().classOfObject(module)), "java/lang/Module");
  std::set<std::string> holders;
  for (const simvm::Record& r : l.call->referrers(module).records)
    if (r.kind == 'C' && r.detail == "module") holders.insert(r.className);
  for (const char* name :
       {"boolean", "byte", "char", "short", "int", "long", "float", "double", "void"}) {
    EXPECT_EQ(l.vm().getStatic(l.vm().findClass(name), "module"), module) << name;
    EXPECT_EQ(holders.count(name), 1u) << name;
  }
}

//   thread "wörker-世": deeper(held) ──► LocalOnly
TEST_F(JvmDump, a_parked_threads_local_is_its_referrer_through_the_frames_method) {
  Loaded l = load("scene.hprof");
  const uint32_t local = l.only("hw/HeapScene$LocalOnly");
  bool found = false;
  for (const simvm::Record& r : l.call->referrers(local).records) {
    if (r.detail != "deeper()") continue;
    found = true;
    EXPECT_EQ(l.vm().stringValue(l.vm().getField(r.handle, "name")), "w\xc3\xb6rker-\xe4\xb8\x96");
  }
  EXPECT_TRUE(found);
  EXPECT_GE(l.heap->threads, 3u);  // main, the worker, and the JVM's own Java threads
}

//   HeapScene.weak ──► WeakReference ─referent─► WeakTarget ◄─referent─ SoftReference
TEST_F(JvmDump, an_object_held_only_by_weak_and_soft_references_has_no_path) {
  Loaded l = load("scene.hprof");
  const simvm::PathResult p = l.call->path(l.only("hw/HeapScene$WeakTarget"), 1 << 20);
  EXPECT_EQ(p.array, 0u);
  EXPECT_EQ(p.message, "Search Failed");
}

TEST_F(JvmDump, a_gzip_dump_of_the_same_program_loads) {
#ifndef TAVOLIN_HAVE_ZLIB
  GTEST_SKIP() << "built without zlib: .hprof.gz files cannot be read";
#else
  Loaded l = load("scene.hprof.gz");
  EXPECT_EQ(l.heap->idSize, 8u);
  const simvm::Report nodes = l.call->classes("hw/HeapScene$Node", false, false);
  ASSERT_EQ(nodes.records.size(), 2u);
  EXPECT_EQ(l.vm().stringValue(l.vm().getField(l.only("hw/HeapScene$ChainLeaf"), "label")),
            "end of the chain");
#endif
}

}  // namespace
