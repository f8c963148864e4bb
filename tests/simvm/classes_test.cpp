// Classes as the plain reader of the tests (tests/common/heap_model.h, which reads the VM's
// layout with offsets of its own) finds them, and the builder's checks. The descriptions the
// library makes of a class (counts, flags, second name) are checked through the library in
// tests/describe.
#include <gtest/gtest.h>

#include "simvm/vm.h"
#include "tests/common/heap_model.h"

namespace {

using simvm::ClassDecl;
using simvm::Vm;
using simvm::VmError;

class Classes : public ::testing::Test {
 protected:
  Vm vm;
  // Base:    a I, b J, s static I = 77       -> a@0, b@4 (8 bytes), size 12
  // Derived: c Object, d D, t static, e Z     -> c@12, d@16, e@24, size 28
  uint32_t base = vm.defineClass(
      ClassDecl{.name = "com/acme/Base", .fields = {{"a", "I"}, {"b", "J"}, {"s", "I", true, 77}}});
  uint32_t derived = vm.defineClass(ClassDecl{
      .name = "com/acme/Derived",
      .super = base,
      .fields = {{"c", "Ljava/lang/Object;"}, {"d", "D"}, {"t", "[I", true}, {"e", "Z"}}});
  heapmodel::Heap heap{vm};
};

TEST_F(Classes, each_class_has_its_name_superclass_and_instance_size) {
  EXPECT_EQ(heap.name(base), "com/acme/Base");
  EXPECT_EQ(heap.super(base), vm.objectClass());
  EXPECT_EQ(heap.super(derived), base);
  EXPECT_EQ(heap.super(vm.objectClass()), 0u);
  EXPECT_EQ(heap.instanceSize(base), 12u);
  EXPECT_EQ(heap.instanceSize(derived), 28u);
  EXPECT_EQ(vm.instanceSize(derived), 28u);
}

// A class handle is a plain object of java/lang/Class; an instance of any class is a plain
// object (its MethodTable's low five bits are clear) whose class word leads back to the class.
TEST_F(Classes, class_handles_are_class_objects_and_instances_lead_back_to_their_class) {
  for (uint32_t cls : vm.classes()) {
    EXPECT_TRUE(heap.classObject(cls)) << vm.className(cls);
    EXPECT_EQ(heap.classOf(cls), vm.classClass());
    if (cls == vm.classClass() || heap.name(cls)[0] == '[') continue;
    const uint32_t obj = vm.newObject(cls);
    EXPECT_TRUE(heap.object(obj)) << vm.className(cls);
    EXPECT_EQ(heap.classOf(obj), cls) << vm.className(cls);
  }
}

TEST_F(Classes, fields_follow_the_inherited_ones_in_declaration_order_with_statics_in_place) {
  const std::vector<heapmodel::Field> own = heap.fields(derived);
  ASSERT_EQ(own.size(), 4u);
  const char* names[] = {"c", "d", "t", "e"};
  const char signatures[] = {'L', 'D', '[', 'Z'};
  for (size_t i = 0; i < own.size(); i++) {
    EXPECT_EQ(own[i].name, names[i]);
    EXPECT_EQ(own[i].signature, signatures[i]);
    EXPECT_EQ(own[i].isStatic, i == 2);
  }
  // Inherited fields come first: Derived's own start at Base's size; long and double take 8.
  EXPECT_EQ(own[0].value, 12u);
  EXPECT_EQ(own[1].value, 16u);
  EXPECT_EQ(own[3].value, 24u);
  EXPECT_EQ(heap.fields(base)[1].value, 4u);
  EXPECT_EQ(heap.fields(base)[2].value, 77u);   // a static holds its value in place
  EXPECT_EQ(vm.fieldOffset(derived, "a"), 0u);  // found through the superclass

  const uint32_t obj = vm.newObject(derived);
  const uint32_t target = vm.newObject(vm.objectClass());
  vm.setField(obj, "c", target);
  vm.setField(obj, "a", 0x11111111);
  vm.setStatic(derived, "t", target);
  EXPECT_EQ(heap.instanceValue(obj, own[0]), target);
  EXPECT_EQ(heap.instanceValue(obj, heap.fields(base)[0]), 0x11111111u);
  EXPECT_EQ(heap.fields(derived)[2].value, target);
  EXPECT_EQ(vm.getField(obj, "c"), target);
  EXPECT_EQ(vm.getStatic(derived, "s"), 77u);  // through the superclass
  EXPECT_EQ(vm.staticEntry(derived, "s"), vm.staticEntry(base, "s"));
  // Objects of a class without fields still get a body of their own.
  const uint32_t other = vm.newObject(vm.objectClass());
  EXPECT_GE(vm.bodyOf(other), vm.bodyOf(target) + 8);
}

TEST_F(Classes, well_known_classes_have_the_fields_the_library_reads) {
  EXPECT_EQ(vm.fieldOffset(vm.threadClass(), "eetop"), 12u);
  EXPECT_EQ(vm.fieldOffset(vm.stringClass(), "value"), 0u);
  EXPECT_EQ(vm.fieldOffset(vm.stringClass(), "count"), 8u);
  EXPECT_EQ(vm.fieldOffset(vm.weakReferenceClass(), "referent"), 0u);
  EXPECT_EQ(vm.superclassOf(vm.phantomReferenceClass()), vm.referenceClass());
  EXPECT_EQ(vm.superclassOf(vm.outputStreamClass()), vm.findClass("java/io/OutputStream"));
  EXPECT_EQ(vm.findClass("java.lang.ref.SoftReference"), vm.softReferenceClass());
  EXPECT_EQ(vm.findClass("com/acme/Missing"), 0u);
}

TEST_F(Classes, array_classes_are_named_as_the_vm_names_them) {
  const uint32_t strings = vm.arrayClassOf(vm.stringClass());
  EXPECT_EQ(vm.className(strings), "[Ljava/lang/String;");
  EXPECT_EQ(vm.arrayClassOf(vm.stringClass()), strings);  // made once
  EXPECT_EQ(vm.className(vm.arrayClassOf(strings)), "[[Ljava/lang/String;");
  EXPECT_EQ(vm.superclassOf(strings), vm.objectClass());
  EXPECT_TRUE(heap.fields(strings).empty());
  EXPECT_THROW(vm.newObject(strings), VmError);
}

TEST_F(Classes, bad_definitions_raise) {
  EXPECT_THROW(vm.defineClass(ClassDecl{.name = ""}), VmError);
  EXPECT_THROW(vm.defineClass(ClassDecl{.name = "com/acme/Base"}), VmError);
  EXPECT_THROW(vm.defineClass(ClassDecl{.name = "X", .super = 12345}), VmError);
  EXPECT_THROW(vm.defineClass(ClassDecl{.name = "Y", .fields = {{"f", ""}}}), VmError);
  EXPECT_THROW(vm.defineClass(ClassDecl{.name = "Z", .fields = {{"f", "Q"}}}), VmError);
  EXPECT_THROW(vm.defineClass(ClassDecl{.name = "W", .fields = {{"f", "I"}, {"f", "J"}}}), VmError);
  EXPECT_THROW(vm.fieldOffset(base, "nope"), VmError);
  EXPECT_THROW(vm.staticEntry(base, "a"), VmError);  // an instance field
  EXPECT_THROW(vm.newObject(vm.classClass()), VmError);
  EXPECT_EQ(vm.findClass("X"), 0u);  // nothing half-defined
}

TEST_F(Classes, a_shared_name_makes_a_second_class_and_lookups_keep_the_first) {
  const uint32_t anchor = vm.findClass("java/lang/NoClassDefFoundError");
  const uint32_t again =
      vm.defineClass(ClassDecl{.name = "java/lang/NoClassDefFoundError", .sharedName = true});
  EXPECT_NE(again, anchor);
  EXPECT_EQ(vm.findClass("java/lang/NoClassDefFoundError"), anchor);
  EXPECT_EQ(vm.bodyOf(anchor), vm.tableEnd() + 2408);
  EXPECT_NE(vm.bodyOf(again), vm.bodyOf(anchor));
  // Hidden and defined anew, the name still gets a descriptor of its own.
  vm.hideClass("java/lang/NoClassDefFoundError");
  EXPECT_EQ(vm.findClass("java/lang/NoClassDefFoundError"), 0u);
  const uint32_t third = vm.defineClass(ClassDecl{.name = "java/lang/NoClassDefFoundError"});
  EXPECT_NE(vm.bodyOf(third), vm.bodyOf(anchor));
  EXPECT_EQ(vm.findClass("java/lang/NoClassDefFoundError"), third);
}

TEST_F(Classes, a_class_without_a_name_is_still_found_by_it) {
  const uint32_t cls = vm.defineClass(ClassDecl{.name = "com/acme/Hidden", .noName = true});
  EXPECT_EQ(heap.word(vm.descriptorOf(cls) + 4), 0u);  // no name pointer
  EXPECT_EQ(vm.findClass("com/acme/Hidden"), cls);
}

}  // namespace
