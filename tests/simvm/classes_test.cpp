// Class descriptors, MethodTables, field tables and instance layout, read back at the VM's
// offsets.
#include <gtest/gtest.h>

#include <cstring>

#include "simvm/vm.h"

namespace {

using simvm::ClassDecl;
using simvm::FieldDecl;
using simvm::Vm;
using simvm::VmError;

std::string cString(const Vm& vm, uint32_t address) {
  return static_cast<const char*>(vm.pointer(address));
}

// The FieldEntry for a field the class itself declares, found by reading the table.
uint32_t entryNamed(const Vm& vm, uint32_t cls, const std::string& name) {
  const uint32_t desc = vm.descriptorOf(cls);
  const uint32_t table = vm.read32(desc + 40);
  for (uint32_t i = 0; i < vm.read16(desc + 76); ++i)
    if (cString(vm, vm.read32(table + 20 * i + 8)) == name) return table + 20 * i;
  return 0;
}

class Classes : public ::testing::Test {
 protected:
  Vm vm;
  // Base:    a I, b J, s static I = 77       -> a@0, b@4 (8 bytes), size 12
  // Derived: c Object, d D, t static, e Z     -> c@12, d@16, e@24, size 28
  uint32_t base = vm.defineClass(ClassDecl{
      .name = "com/acme/Base",
      .fields = {{"a", "I"}, {"b", "J"}, {"s", "I", true, 77}},
      .secondName = "Base.java",
      .methodCount = 7,
      .interfaceCount = 2,
      .accessFlags = 0x0421});
  uint32_t derived = vm.defineClass(ClassDecl{
      .name = "com/acme/Derived",
      .super = base,
      .fields = {{"c", "Ljava/lang/Object;"}, {"d", "D"}, {"t", "[I", true}, {"e", "Z"}}});
};

TEST_F(Classes, descriptor_words_hold_names_superclass_counts_size_and_flags) {
  const uint32_t desc = vm.descriptorOf(base);
  EXPECT_EQ(vm.bodyOf(base), desc);
  EXPECT_EQ(cString(vm, vm.read32(desc + 4)), "com/acme/Base");
  EXPECT_EQ(cString(vm, vm.read32(desc + 8)), "Base.java");
  EXPECT_EQ(vm.read32(desc + 16), vm.objectClass());
  EXPECT_EQ(vm.read16(desc + 74), 7);
  EXPECT_EQ(vm.read16(desc + 76), 3);
  EXPECT_EQ(vm.read16(desc + 80), 2);
  EXPECT_EQ(vm.read16(desc + 82), 12);
  EXPECT_EQ(vm.read16(desc + 86), 0x0421);

  const uint32_t d = vm.descriptorOf(derived);
  EXPECT_EQ(vm.read32(d + 16), base);
  EXPECT_EQ(cString(vm, vm.read32(d + 8)), "");  // a real, empty second name
  EXPECT_EQ(vm.read16(d + 76), 4);
  EXPECT_EQ(vm.read16(d + 82), 28);
  EXPECT_EQ(vm.read32(vm.descriptorOf(vm.objectClass()) + 16), 0u);
}

TEST_F(Classes, method_tables_are_32_aligned_and_lead_back_to_the_class) {
  for (uint32_t cls : vm.classes()) {
    const uint32_t mt = vm.read32(vm.descriptorOf(cls) + 36);
    EXPECT_EQ(mt % 32, 0u) << vm.className(cls);
    EXPECT_EQ(vm.read32(mt), cls) << vm.className(cls);
    // A class handle is a plain object of class java/lang/Class.
    EXPECT_EQ(vm.methodsOf(cls), vm.read32(vm.descriptorOf(vm.classClass()) + 36));
    EXPECT_EQ(vm.classOfObject(cls), vm.classClass());
  }
  const uint32_t obj = vm.newObject(derived);
  EXPECT_EQ(vm.read32(vm.methodsOf(obj)), derived);
}

TEST_F(Classes, field_entries_give_declaring_class_signature_flags_and_offsets) {
  const uint32_t c = entryNamed(vm, derived, "c");
  const uint32_t d = entryNamed(vm, derived, "d");
  const uint32_t e = entryNamed(vm, derived, "e");
  const uint32_t t = entryNamed(vm, derived, "t");
  ASSERT_TRUE(c && d && e && t);
  EXPECT_EQ(vm.read32(c), derived);
  EXPECT_EQ(cString(vm, vm.read32(c + 4)), "Ljava/lang/Object;");
  // Inherited fields come first: Derived's own start at Base's size, long/double take 8.
  EXPECT_EQ(vm.read32(c + 16), 12u);
  EXPECT_EQ(vm.read32(d + 16), 16u);
  EXPECT_EQ(vm.read32(e + 16), 24u);
  EXPECT_EQ(vm.read32(entryNamed(vm, base, "b") + 16), 4u);
  EXPECT_EQ(vm.read16(c + 12) & 0x0008, 0);
  EXPECT_EQ(vm.read16(t + 12) & 0x0008, 0x0008);
  // Entries appear in declaration order, statics included.
  EXPECT_EQ(t, vm.read32(vm.descriptorOf(derived) + 40) + 2 * 20);
  EXPECT_EQ(vm.fieldOffset(derived, "a"), 0u);
  EXPECT_EQ(vm.fieldOffset(derived, "e"), 24u);
  EXPECT_EQ(vm.instanceSize(derived), 28u);
}

TEST_F(Classes, static_values_live_in_the_field_entry) {
  const uint32_t s = entryNamed(vm, base, "s");
  EXPECT_EQ(vm.staticEntry(derived, "s"), s);  // found through the superclass
  EXPECT_EQ(vm.read32(s + 16), 77u);
  const uint32_t target = vm.newObject(vm.objectClass());
  vm.setStatic(derived, "t", target);
  EXPECT_EQ(vm.read32(entryNamed(vm, derived, "t") + 16), target);
  EXPECT_EQ(vm.getStatic(derived, "t"), target);
}

TEST_F(Classes, instance_fields_are_written_at_their_offsets_in_the_body) {
  const uint32_t obj = vm.newObject(derived);
  vm.setField(obj, "a", 0x11111111);
  vm.setField(obj, "c", 0x22222222);
  vm.setField(obj, "e", 1);
  const uint32_t body = vm.bodyOf(obj);
  EXPECT_EQ(vm.read32(body + 0), 0x11111111u);
  EXPECT_EQ(vm.read32(body + 12), 0x22222222u);
  EXPECT_EQ(vm.read32(body + 24), 1u);
  EXPECT_EQ(vm.getField(obj, "c"), 0x22222222u);
  // Objects of a class without fields still get a body of their own.
  const uint32_t a = vm.newObject(vm.objectClass());
  const uint32_t b = vm.newObject(vm.objectClass());
  EXPECT_NE(vm.bodyOf(a), 0u);
  EXPECT_GE(vm.bodyOf(b), vm.bodyOf(a) + 8);
}

TEST_F(Classes, well_known_classes_have_the_fields_the_library_reads) {
  EXPECT_EQ(vm.fieldOffset(vm.threadClass(), "eetop"), 12u);
  EXPECT_EQ(vm.fieldOffset(vm.stringClass(), "value"), 0u);
  EXPECT_EQ(vm.fieldOffset(vm.stringClass(), "count"), 8u);
  EXPECT_EQ(vm.fieldOffset(vm.weakReferenceClass(), "referent"), 0u);
  EXPECT_EQ(vm.superclassOf(vm.phantomReferenceClass()), vm.referenceClass());
  EXPECT_EQ(vm.superclassOf(vm.outputStreamClass()), vm.findClass("java/io/OutputStream"));
  EXPECT_EQ(vm.read16(vm.descriptorOf(vm.findClass("java/io/OutputStream")) + 86) & 0x400, 0x400);
  EXPECT_EQ(cString(vm, vm.read32(vm.descriptorOf(vm.objectClass()) + 8)), "Object.java");
  EXPECT_EQ(vm.findClass("java.lang.ref.SoftReference"), vm.softReferenceClass());
  EXPECT_EQ(vm.findClass("com/acme/Missing"), 0u);
}

TEST_F(Classes, array_classes_are_named_as_the_vm_names_them) {
  const uint32_t strings = vm.arrayClassOf(vm.stringClass());
  EXPECT_EQ(vm.className(strings), "[Ljava/lang/String;");
  EXPECT_EQ(vm.arrayClassOf(vm.stringClass()), strings);  // made once
  EXPECT_EQ(vm.className(vm.arrayClassOf(strings)), "[[Ljava/lang/String;");
  EXPECT_EQ(vm.superclassOf(strings), vm.objectClass());
  EXPECT_EQ(vm.read16(vm.descriptorOf(strings) + 76), 0);
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
  const uint32_t again = vm.defineClass(
      ClassDecl{.name = "java/lang/NoClassDefFoundError", .sharedName = true});
  EXPECT_NE(again, anchor);
  EXPECT_EQ(vm.findClass("java/lang/NoClassDefFoundError"), anchor);
  EXPECT_EQ(vm.bodyOf(anchor), vm.tableEnd() + 2408);
  EXPECT_NE(vm.bodyOf(again), vm.bodyOf(anchor));
  // Hidden and defined anew, the name still gets a descriptor of its own.
  vm.hideClass("java/lang/NoClassDefFoundError");
  EXPECT_EQ(vm.findClass("java/lang/NoClassDefFoundError"), 0u);
  const uint32_t third = vm.defineClass(ClassDecl{.name = "java/lang/NoClassDefFoundError"});
  EXPECT_NE(vm.bodyOf(third), vm.bodyOf(anchor));
  EXPECT_EQ(cString(vm, vm.read32(vm.bodyOf(anchor) + 8)), "NoClassDefFoundError.java");
  EXPECT_EQ(vm.findClass("java/lang/NoClassDefFoundError"), third);
}

TEST_F(Classes, a_class_without_a_name_has_a_null_name_pointer) {
  const uint32_t cls = vm.defineClass(ClassDecl{.name = "com/acme/Hidden", .noName = true});
  EXPECT_EQ(vm.read32(vm.descriptorOf(cls) + 4), 0u);
  EXPECT_EQ(vm.findClass("com/acme/Hidden"), cls);
}

}  // namespace
