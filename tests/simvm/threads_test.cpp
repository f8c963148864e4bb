// Threads, their frames and method blocks, and the current thread of each OS thread.
#include <gtest/gtest.h>

#include <thread>

#include "simvm/vm.h"
#include "tests/common/heap_model.h"
#include "vm/services.h"

namespace {

using simvm::ClassDecl;
using simvm::Vm;
using simvm::VmError;

uint32_t javaCurrentThread() {
  return static_cast<uint32_t>(execute_java_static_method(
      nullptr, FindClass(nullptr, "java/lang/Thread", 1), "currentThread", "()Ljava/lang/Thread;"));
}

// Read back through the tests' plain reader, which walks frames with offsets of its own.
//   worker: "" [_, c] (innermost, no method block) -> helper [b] -> run [_, _, a]
TEST(Threads, frames_chain_from_the_thread_block_innermost_first) {
  Vm vm;
  const uint32_t t = vm.newThread("worker");
  const uint32_t a = vm.newObject(vm.objectClass()), b = vm.newObject(vm.objectClass()),
                 c = vm.newObject(vm.objectClass());
  std::vector<std::pair<uint32_t, std::string>> seen;
  auto scan = [&] {
    seen.clear();
    heapmodel::Heap(vm).stackSlots(t, [&](uint32_t v, const std::string& m) {
      seen.push_back({v, m});
    });
  };
  scan();
  EXPECT_TRUE(seen.empty());  // no frames yet

  const uint32_t outer = vm.pushFrame(t, "run", 3);
  const uint32_t inner = vm.pushFrame(t, "helper", 1);
  const uint32_t nameless = vm.pushFrame(t, "", 2);
  vm.setLocal(outer, 2, a);
  vm.setLocal(inner, 0, b);
  vm.setLocal(nameless, 1, c);  // held, but a frame without a method block is not read
  scan();
  const std::vector<std::pair<uint32_t, std::string>> want = {{b, "helper"}, {a, "run"}};
  EXPECT_EQ(seen, want);
  EXPECT_THROW(vm.setLocal(outer, 3, a), VmError);
  EXPECT_THROW(vm.setLocal(a, 0, a), VmError);
}

TEST(Threads, thread_subclasses_keep_their_frames_where_threads_do) {
  Vm vm;
  const uint32_t sub = vm.defineClass(ClassDecl{.name = "com/acme/Worker",
                                                .super = vm.threadClass(),
                                                .fields = {{"job", "Ljava/lang/Object;"}}});
  const uint32_t t = vm.newThread("w", sub);
  EXPECT_GE(vm.fieldOffset(sub, "job"), 20u);
  const uint32_t held = vm.newObject(vm.objectClass());
  vm.setLocal(vm.pushFrame(t, "run", 1), 0, held);
  std::vector<uint32_t> seen;
  heapmodel::Heap(vm).stackSlots(t, [&](uint32_t v, const std::string&) { seen.push_back(v); });
  EXPECT_EQ(seen, std::vector<uint32_t>{held});
  EXPECT_EQ(vm.stringValue(vm.getField(t, "name")), "w");
  EXPECT_EQ(vm.threads().back(), t);
  EXPECT_THROW(vm.newThread("x", vm.stringClass()), VmError);
  EXPECT_THROW(vm.pushFrame(vm.newObject(vm.objectClass()), "run", 1), VmError);
}

TEST(Threads, the_vm_maker_runs_on_main_and_other_os_threads_start_with_none) {
  Vm vm;
  const uint32_t main = vm.threads().at(0);
  EXPECT_EQ(vm.stringValue(vm.getField(main, "name")), "main");
  EXPECT_EQ(javaCurrentThread(), main);

  const uint32_t worker = vm.newThread("worker");
  uint32_t before = 1, after = 0;
  std::thread os([&] {
    before = javaCurrentThread();
    vm.setCurrentThread(worker);
    after = javaCurrentThread();
  });
  os.join();
  EXPECT_EQ(before, 0u);
  EXPECT_EQ(after, worker);
  EXPECT_EQ(javaCurrentThread(), main);  // the other OS thread's choice stays its own
  EXPECT_EQ(execute_java_static_method(nullptr, vm.threadClass(), "currentThread", "()V"), 0);
  EXPECT_EQ(execute_java_static_method(nullptr, vm.threadClass(), "sleep", "(J)V", 1LL), 0);
}

}  // namespace
