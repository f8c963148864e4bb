// The handle predicates and class-chain helpers, on a stand-in VM, and their refusal of any
// value that is not a slot of the handle space.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "queries/heapwalk.h"
#include "report/entry.h"
#include "simvm/vm.h"
#include "vm/handles.h"
#include "vm/handlespace.h"

namespace {

class Predicates : public ::testing::Test {
 protected:
  // Call after building: installs the VM's table as the space the predicates accept.
  void walk() { tv::beginHeapWalk(); }
  simvm::Vm vm;
};

TEST_F(Predicates, a_freed_slot_is_neither_object_nor_array_and_has_no_class) {
  uint32_t obj = vm.newObject(vm.objectClass());
  vm.freeSlot(obj);
  walk();
  EXPECT_EQ(tv::isLive(obj), 0);
  EXPECT_EQ(tv::isObject(obj), 0);
  EXPECT_EQ(tv::isObjectArray(obj), 0);
  EXPECT_EQ(tv::classOf(obj), 0u);
  EXPECT_EQ(tv::makeEntry(obj), nullptr);
}

TEST_F(Predicates, a_primitive_array_is_live_but_neither_object_nor_object_array) {
  uint32_t ints = vm.newArray(simvm::kInt, 5);
  walk();
  EXPECT_EQ(tv::isLive(ints), 1);
  EXPECT_EQ(tv::isObject(ints), 0);
  EXPECT_EQ(tv::isObjectArray(ints), 0);
  EXPECT_EQ(tv::classOf(ints), 0u);
  EXPECT_EQ(tv::arrayLength(ints), 5u);
  EXPECT_EQ(tv::makeEntry(ints), nullptr);
}

TEST_F(Predicates, a_class_handle_is_an_object_and_a_class_object_of_class_Class) {
  uint32_t thread = vm.threadClass();
  uint32_t plain = vm.newObject(thread);
  walk();
  EXPECT_EQ(tv::isObject(thread), 1);
  EXPECT_EQ(tv::isClassObject(thread), 1);
  EXPECT_EQ(tv::classOf(thread), vm.classClass());
  EXPECT_EQ(tv::isClassObject(plain), 0);
  EXPECT_EQ(tv::classOf(plain), thread);
  EXPECT_STREQ(tv::className(thread), "java/lang/Thread");
  EXPECT_EQ(tv::superclassOf(thread), vm.objectClass());
  EXPECT_EQ(tv::superclassOf(vm.objectClass()), 0u);
  EXPECT_EQ(tv::classInstanceSize(thread), vm.instanceSize(thread));
}

TEST_F(Predicates, an_array_whose_element_class_is_an_array_class_is_an_array_of_arrays) {
  uint32_t strings = vm.newObjectArray(vm.stringClass(), 2);
  uint32_t nested = vm.newObjectArray(vm.arrayClassOf(vm.stringClass()), 2);
  walk();
  EXPECT_EQ(tv::isArrayOfArrays(nested), 1);
  EXPECT_EQ(tv::isArrayOfArrays(strings), 0);
  EXPECT_EQ(tv::classOf(strings), vm.stringClass());
  EXPECT_EQ(tv::classOf(nested), vm.arrayClassOf(vm.stringClass()));
}

// Values from Java are any 32-bit word; none of these may be read as a slot.
TEST_F(Predicates, a_value_outside_the_handle_space_or_off_the_slot_grid_is_treated_as_free) {
  uint32_t obj = vm.newObject(vm.objectClass());
  walk();
  const uint32_t bad[] = {0u,
                          obj + 4,  // unaligned
                          obj + 1,
                          vm.tableFirst() - 8,  // inside the guard page
                          vm.regionBase(),
                          vm.tableEnd(),                      // one past the last slot
                          vm.descriptorOf(vm.objectClass()),  // a descriptor, not a slot
                          0xFFFFFFF8u,
                          8u};
  for (uint32_t h : bad) {
    EXPECT_EQ(tv::isLive(h), 0) << std::hex << h;
    EXPECT_EQ(tv::isObject(h), 0) << std::hex << h;
    EXPECT_EQ(tv::classOf(h), 0u) << std::hex << h;
    EXPECT_EQ(tv::isClassObject(h), 0) << std::hex << h;
    EXPECT_EQ(tv::className(h), nullptr) << std::hex << h;
    EXPECT_EQ(tv::superclassOf(h), 0u) << std::hex << h;
    EXPECT_EQ(tv::makeEntry(h), nullptr) << std::hex << h;
  }
  EXPECT_EQ(tv::isObject(obj), 1);
}

// Handles read out of the heap are checked like handles from Java.
TEST_F(Predicates, a_class_word_that_is_no_handle_gives_no_class_and_no_entry) {
  uint32_t obj = vm.newObject(vm.objectClass());
  uint32_t methodTable = vm.alloc(32, 32);
  vm.write32(methodTable, vm.tableEnd() + 0x100);  // beyond the table
  vm.write32(obj + 4, methodTable);
  uint32_t array = vm.newObjectArray(vm.stringClass(), 3);
  vm.write32(vm.bodyOf(array) + 12, 0);  // element-class word 0
  uint32_t odd = vm.newObjectArray(vm.stringClass(), 1);
  vm.write32(vm.bodyOf(odd) + 4, vm.stringClass() + 2);  // off the slot grid
  walk();
  EXPECT_EQ(tv::isObject(obj), 1);
  EXPECT_EQ(tv::classOf(obj), 0u);
  EXPECT_EQ(tv::makeEntry(obj), nullptr);
  for (uint32_t a : {array, odd}) {
    EXPECT_EQ(tv::isObjectArray(a), 1);
    EXPECT_EQ(tv::classOf(a), 0u);
    EXPECT_EQ(tv::isArrayOfArrays(a), 0);
    EXPECT_EQ(tv::makeEntry(a), nullptr);
  }
}

TEST_F(Predicates, a_superclass_link_that_is_no_live_handle_ends_the_chain) {
  simvm::ClassDecl decl;
  decl.name = "app/Orphan";
  uint32_t orphan = vm.defineClass(decl);
  uint32_t freed = vm.newObject(vm.objectClass());
  vm.freeSlot(freed);
  walk();
  vm.write32(vm.descriptorOf(orphan) + 16, 0xFFFFFFF8u);
  EXPECT_EQ(tv::superclassOf(orphan), 0u);
  vm.write32(vm.descriptorOf(orphan) + 16, freed);
  EXPECT_EQ(tv::superclassOf(orphan), 0u);
}

TEST_F(Predicates, a_class_without_a_name_pointer_has_a_null_name) {
  simvm::ClassDecl decl;
  decl.name = "app/Nameless";
  decl.noName = true;
  uint32_t nameless = vm.defineClass(decl);
  walk();
  EXPECT_EQ(tv::classNameAddress(nameless), 0u);
  EXPECT_EQ(tv::className(nameless), nullptr);
}

TEST_F(Predicates, entries_name_the_described_class_the_object_class_or_the_element_class) {
  simvm::ClassDecl decl;
  decl.name = "app/Thing";
  uint32_t thing = vm.defineClass(decl);
  uint32_t obj = vm.newObject(thing);
  uint32_t things = vm.newObjectArray(thing, 4);
  walk();
  struct Case {
    uint32_t h;
    char kind;
  } cases[] = {{thing, 'C'}, {obj, 'I'}, {things, 'A'}};
  for (const Case& c : cases) {
    tv::HeapEntry* e = tv::makeEntry(c.h);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, c.kind);
    EXPECT_EQ(e->handle, c.h);
    EXPECT_EQ(e->className, vm.read32(vm.descriptorOf(thing) + 4));
    EXPECT_EQ(e->detail, -1);
    EXPECT_EQ(e->detailIsName, 0);
    EXPECT_EQ(e->methodSuffix, 0);
    free(e);
  }
}

// The lookup of java/lang/Class is kept only once it succeeds. The test runs in a fresh
// process, so nothing has filled the cache before it.
TEST(ClassCacheDeathTest, a_failed_lookup_of_java_lang_Class_is_tried_again_next_time) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    simvm::Vm vm;
    { simvm::Vm other; }  // no VM current: FindClass answers 0
    tv::useHandleSpace({vm.tableFirst(), vm.tableEnd()});
    int before = tv::isClassObject(vm.stringClass());
    uint32_t cachedBefore = tv::classClassHandle();
    vm.makeCurrent();
    int after = tv::isClassObject(vm.stringClass());
    std::_Exit(before == 0 && cachedBefore == 0 && after == 1 ? 0 : 1);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
