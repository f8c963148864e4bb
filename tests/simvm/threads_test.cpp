// Threads, their frames and method blocks at the VM's offsets, and the current thread of each
// OS thread.
#include <gtest/gtest.h>

#include <thread>

#include "simvm/vm.h"
#include "vm/services.h"

namespace {

using simvm::ClassDecl;
using simvm::Vm;
using simvm::VmError;

std::string cString(const Vm& vm, uint32_t address) {
  return static_cast<const char*>(vm.pointer(address));
}

uint32_t javaCurrentThread() {
  return static_cast<uint32_t>(execute_java_static_method(
      nullptr, FindClass(nullptr, "java/lang/Thread", 1), "currentThread",
      "()Ljava/lang/Thread;"));
}

TEST(Threads, frames_chain_from_the_thread_block_innermost_first) {
  Vm vm;
  const uint32_t t = vm.newThread("worker");
  const uint32_t block = vm.read32(vm.bodyOf(t) + 12);
  ASSERT_NE(block, 0u);
  EXPECT_EQ(vm.read32(block + 8), 0u);  // no frames yet

  const uint32_t outer = vm.pushFrame(t, "run", 3);
  const uint32_t inner = vm.pushFrame(t, "helper", 1);
  EXPECT_EQ(vm.read32(block + 8), inner);
  EXPECT_EQ(vm.read32(inner + 16), outer);
  EXPECT_EQ(vm.read32(outer + 16), 0u);

  const uint32_t method = vm.read32(outer + 28);
  EXPECT_EQ(cString(vm, vm.read32(method + 8)), "run");
  EXPECT_EQ(vm.read16(method + 60), 3);

  const uint32_t obj = vm.newObject(vm.objectClass());
  vm.setLocal(outer, 2, obj);
  EXPECT_EQ(vm.read32(vm.read32(outer + 12) + 8), obj);
  EXPECT_EQ(vm.read32(vm.read32(outer + 12)), 0u);
  EXPECT_THROW(vm.setLocal(outer, 3, obj), VmError);
  EXPECT_THROW(vm.setLocal(obj, 0, obj), VmError);
}

TEST(Threads, a_frame_without_a_method_name_has_no_method_block) {
  Vm vm;
  const uint32_t t = vm.newThread("worker");
  const uint32_t frame = vm.pushFrame(t, "", 2);
  EXPECT_EQ(vm.read32(frame + 28), 0u);
  EXPECT_NE(vm.read32(frame + 12), 0u);
  vm.setLocal(frame, 1, 5);
  EXPECT_EQ(vm.read32(vm.read32(frame + 12) + 4), 5u);
}

TEST(Threads, thread_subclasses_keep_the_block_at_body_offset_12) {
  Vm vm;
  const uint32_t sub = vm.defineClass(ClassDecl{
      .name = "com/acme/Worker", .super = vm.threadClass(), .fields = {{"job", "Ljava/lang/Object;"}}});
  const uint32_t t = vm.newThread("w", sub);
  EXPECT_GE(vm.fieldOffset(sub, "job"), 20u);
  EXPECT_NE(vm.read32(vm.bodyOf(t) + 12), 0u);
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
