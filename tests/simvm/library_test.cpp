// Loading the library by name, binding its stubs, and calling them through the typed caller.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>

#include "simvm/library.h"
#include "simvm/platform.h"
#include "tests/common/testkit.h"

namespace {

using simvm::Library;
using simvm::VmError;

const char* const kStubs[] = {"getClassInfo0",   "getHandleInfo0", "getClasses0",
                              "getHandles0",     "getReferences0", "getBackTraceReferences0",
                              "findPathToRoot0", "getMemoryUsage0"};

[[maybe_unused]] size_t entriesIn(const std::string& dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

TEST(Library, loading_from_a_folder_without_the_library_names_the_file) {
  try {
    Library lib("/nonexistent-folder");
    FAIL() << "loaded a library that does not exist";
  } catch (const VmError& e) {
    EXPECT_NE(std::string(e.what()).find(std::string("/nonexistent-folder/") +
                                         simvm::platform::libraryFileName()),
              std::string::npos)
        << e.what();
  }
  EXPECT_THROW(Library("/nonexistent-folder", true), VmError);
}

TEST(Library, binds_the_eight_stubs_by_their_symbol_names) {
  Library lib(testkit::libraryDir());
  for (const char* m : kStubs) EXPECT_NE(lib.stub(m), nullptr) << m;
  EXPECT_EQ(lib.stub("noSuchMethod0"), nullptr);
  EXPECT_EQ(Library::stubSymbol("getClasses0"), "Java_com_norvane_debug_Tavolin_getClasses0_stub");
  EXPECT_EQ(lib.path(), testkit::libraryDir() + "/" + simvm::platform::libraryFileName());
}

TEST(Library, private_copies_are_separate_and_leave_no_file_behind) {
#if defined(_WIN32)
  // A loaded DLL cannot be deleted: its copy is cleared by the first copy of a later run.
  Library a(testkit::libraryDir(), true);
  Library b(testkit::libraryDir(), true);
  EXPECT_NE(a.stub("getClasses0"), b.stub("getClasses0"));  // each has its own caches
#else
  char dir[] = "/tmp/simvm-copies-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const char* old = getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", dir, 1);
  {
    Library a(testkit::libraryDir(), true);
    Library b(testkit::libraryDir(), true);
    EXPECT_EQ(entriesIn(dir), 0u);
    EXPECT_NE(a.stub("getClasses0"), b.stub("getClasses0"));  // each has its own caches
  }
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
  rmdir(dir);
#endif
  Library shared1(testkit::libraryDir());
  Library shared2(testkit::libraryDir());
  EXPECT_EQ(shared1.stub("getClasses0"), shared2.stub("getClasses0"));
}

TEST(Library, default_folder_holds_the_library) {
  Library lib(Library::defaultDir());
  EXPECT_NE(lib.stub("getClasses0"), nullptr);
}

TEST(Caller, a_missing_stub_is_an_error_not_a_crash) {
  testkit::Heap heap;
  std::vector<uint32_t> slots{0};
  EXPECT_THROW(heap.call.call("noSuchMethod0", slots), VmError);
}

TEST(Caller, fills_slots_and_reads_back_what_the_library_returns) {
  testkit::Heap heap;
  simvm::Vm& vm = heap.vm;
  const uint32_t main = vm.threads().at(0);
  // A list query answers through the stream in slot 0.
  const simvm::Report threads = heap.call.handles(vm.threadClass(), false, 0);
  ASSERT_EQ(threads.count, 1);
  EXPECT_EQ(threads.records[0].handle, main);
  EXPECT_EQ(threads.records[0].className, "java/lang/Thread");
  // A description comes back as a String in slot 0.
  EXPECT_NE(heap.call.classInfo(vm.stringClass()).find("java/lang/String"), std::string::npos);
  // The path comes back as an int array, the root first, and ends at the target.
  const uint32_t holder = vm.defineClass(simvm::ClassDecl{
      .name = "com/acme/Holder", .fields = {{"held", "Ljava/lang/Object;", true}}});
  const uint32_t target = vm.newObject(vm.objectClass());
  vm.setStatic(holder, "held", target);
  const simvm::PathResult path = heap.call.path(target, 1000);
  ASSERT_NE(path.array, 0u) << path.message;
  ASSERT_FALSE(path.handles.empty());
  EXPECT_EQ(path.handles.back(), target);
}

}  // namespace
