// The seven services, called through the library's own prototypes as the library calls them.
#include <gtest/gtest.h>

#include <cstring>

#include "simvm/vm.h"
#include "vm/services.h"

namespace {

using simvm::ClassDecl;
using simvm::Vm;

int32_t writeByte(uint32_t stream, int32_t value) {
  return execute_java_dynamic_method(nullptr, stream, "write", "(I)V", value);
}

uint32_t toString(uint32_t obj) {
  return static_cast<uint32_t>(
      execute_java_dynamic_method(nullptr, obj, "toString", "()Ljava/lang/String;"));
}

std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", v);
  return buf;
}

class Services : public ::testing::Test {
 protected:
  Vm vm;
  uint32_t widget = vm.defineClass(ClassDecl{.name = "com/acme/Widget"});
  uint32_t gadget = vm.defineClass(ClassDecl{.name = "com/acme/Gadget", .super = widget});
};

TEST_F(Services, write_appends_the_low_byte_of_each_int_including_negative_ones) {
  const uint32_t stream = vm.newOutputStream();
  for (int32_t v = -128; v < 128; ++v) EXPECT_EQ(writeByte(stream, v), 0);
  const std::string& bytes = vm.streamBytes(stream);
  ASSERT_EQ(bytes.size(), 256u);
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(static_cast<uint8_t>(bytes[i]), (i + 128) & 0xFF) << "byte " << i;
  vm.clearStream(stream);
  EXPECT_EQ(vm.streamBytes(stream), "");
}

TEST_F(Services, write_to_anything_but_a_live_stream_does_nothing) {
  const uint32_t stream = vm.newOutputStream();
  const uint32_t obj = vm.newObject(widget);
  EXPECT_EQ(writeByte(obj, 65), 0);
  EXPECT_EQ(writeByte(0, 65), 0);
  EXPECT_EQ(writeByte(0xFFFFFFF8u, 65), 0);
  vm.freeSlot(stream);
  EXPECT_EQ(writeByte(stream, 65), 0);
  EXPECT_EQ(vm.streamBytes(stream), "");
  EXPECT_THROW(vm.streamBytes(obj), simvm::VmError);
  // Only write(int), by its exact names, writes; the same names at other addresses do too.
  const uint32_t live = vm.newOutputStream();
  EXPECT_EQ(execute_java_dynamic_method(nullptr, live, nullptr, nullptr, 65), 0);
  EXPECT_EQ(execute_java_dynamic_method(nullptr, live, "write", nullptr, 65), 0);
  EXPECT_EQ(execute_java_dynamic_method(nullptr, live, "write", "(J)V", 65), 0);
  EXPECT_EQ(execute_java_dynamic_method(nullptr, live, "writ", "(I)V", 65), 0);
  EXPECT_EQ(execute_java_dynamic_method(nullptr, live, "writeX", "(I)V", 65), 0);
  EXPECT_EQ(execute_java_dynamic_method(nullptr, live, "write", "(I)", 65), 0);
  EXPECT_EQ(writeByte(live, 'B'), 0);
  const std::string name = "write", signature = "(I)V";
  EXPECT_EQ(execute_java_dynamic_method(nullptr, live, name.c_str(), signature.c_str(), 'C'), 0);
  EXPECT_EQ(execute_java_dynamic_method(nullptr, live, "write", "(J)V", 65), 0);
  // Names are read each time, not known by where they lie: a buffer that held write(int) and
  // now names toString() is a toString() call.
  char method[16] = "write", sig[32] = "(I)V";
  EXPECT_EQ(execute_java_dynamic_method(nullptr, live, method, sig, 'D'), 0);
  std::strcpy(method, "toString");
  std::strcpy(sig, "()Ljava/lang/String;");
  execute_java_dynamic_method(nullptr, live, method, sig);
  EXPECT_EQ(vm.streamBytes(live), "BCD");
}

// A writer remembers the stream it wrote to last. Streams given back, and their handles handed
// out again (one place later: a plain object takes the first) to new streams, get only their own
// bytes, and the old ones none.
TEST_F(Services, streams_given_back_and_made_again_at_their_handles_get_only_their_own_bytes) {
  const Vm::Mark mark = vm.mark();
  std::vector<uint32_t> old;
  for (int i = 0; i < 5; i++) old.push_back(vm.newOutputStream());
  for (uint32_t s : old) writeByte(s, 'x');
  vm.releaseTo(mark);
  EXPECT_THROW(vm.streamBytes(old[0]), simvm::VmError);
  EXPECT_EQ(writeByte(old[4], 'y'), 0);  // a handle given back: nothing to write to
  const uint32_t object = vm.newObject(widget);
  ASSERT_EQ(object, old[0]);  // handles are handed out again when no class was made since
  std::vector<uint32_t> now;
  for (int i = 0; i < 4; i++) now.push_back(vm.newOutputStream());
  for (int i = 3; i >= 0; i--) writeByte(now[i], 'a' + i);
  for (int i = 0; i < 4; i++) EXPECT_EQ(vm.streamBytes(now[i]), std::string(1, 'a' + i)) << i;
  // Another VM's stream at the same handle is another stream.
  {
    Vm other;
    const uint32_t theirs = other.newOutputStream();
    writeByte(theirs, 'o');
    EXPECT_EQ(other.streamBytes(theirs), "o");
  }
  vm.makeCurrent();
  writeByte(now[0], 'a');
  EXPECT_EQ(vm.streamBytes(now[0]), "aa");
}

TEST_F(Services, to_string_gives_class_name_and_hex_handle_by_default) {
  const uint32_t obj = vm.newObject(gadget);
  EXPECT_EQ(vm.stringValue(toString(obj)), "com.acme.Gadget@" + hex(obj));
  EXPECT_EQ(vm.stringValue(toString(widget)), "class com.acme.Widget");
  const uint32_t ints = vm.newArray(simvm::kInt, 2);
  EXPECT_EQ(vm.stringValue(toString(ints)), "[I@" + hex(ints));
  const uint32_t strings = vm.newObjectArray(vm.stringClass(), 1);
  EXPECT_EQ(vm.stringValue(toString(strings)), "[Ljava.lang.String;@" + hex(strings));
  const uint32_t nested = vm.newObjectArray(vm.arrayClassOf(vm.stringClass()), 1);
  EXPECT_EQ(vm.stringValue(toString(nested)), "[[Ljava.lang.String;@" + hex(nested));
  const uint32_t s = vm.newString("itself");
  EXPECT_EQ(toString(s), s);
}

TEST_F(Services, to_string_overrides_are_inherited_and_may_return_null) {
  const uint32_t w = vm.newObject(widget);
  const uint32_t g = vm.newObject(gadget);
  vm.setToString(widget, [](uint32_t) { return std::optional<std::string>("widget!"); });
  EXPECT_EQ(vm.stringValue(toString(g)), "widget!");
  vm.setToString(gadget, [](uint32_t) { return std::optional<std::string>(); });
  EXPECT_EQ(toString(g), 0u);
  EXPECT_EQ(vm.stringValue(toString(w)), "widget!");
  vm.setToString(widget,
                 [](uint32_t) -> std::optional<std::string> { throw std::runtime_error("x"); });
  EXPECT_EQ(toString(w), 0u);
  vm.setToString(widget,
                 [](uint32_t) { return std::optional<std::string>(std::string(1 << 16, 'z')); });
  EXPECT_EQ(vm.stringValue(toString(w)).size(), 1u << 16);
  vm.setToString(widget, nullptr);
  EXPECT_EQ(vm.stringValue(toString(w)), "com.acme.Widget@" + hex(w));
  EXPECT_EQ(toString(0), 0u);
  EXPECT_EQ(execute_java_dynamic_method(nullptr, w, "hashCode", "()I"), 0);
}

TEST_F(Services, strings_convert_both_ways) {
  const char text[] = "caf\xC3\xA9";
  const uint32_t s = makeJavaString(text, 5);
  EXPECT_EQ(javaStringLength(s), 4);
  EXPECT_STREQ(makeCString(s), text);
  EXPECT_EQ(vm.stringValue(makeJavaString("abcdef", 3)), "abc");
  EXPECT_EQ(vm.stringValue(makeJavaString(nullptr, 0)), "");
  EXPECT_EQ(makeJavaString(nullptr, 2), 0u);
  EXPECT_EQ(makeJavaString("abc", -1), 0u);
  EXPECT_EQ(javaStringLength(vm.newString("\xF0\x9D\x84\x9E")), 2);
}

TEST_F(Services, c_strings_stay_valid_until_the_vm_dies) {
  std::vector<char*> copies;
  for (int i = 0; i < 200; ++i) copies.push_back(makeCString(vm.newString(std::to_string(i))));
  for (int i = 0; i < 200; ++i) EXPECT_STREQ(copies[i], std::to_string(i).c_str());
}

TEST_F(Services, string_services_refuse_anything_but_a_live_string) {
  const uint32_t obj = vm.newObject(widget);
  const uint32_t gone = vm.newString("gone");
  vm.freeSlot(gone);
  for (uint32_t h : {0u, obj, gone, widget, 12345u, vm.tableEnd(), vm.tableFirst() + 4,
                     vm.newArray(simvm::kChar, 3)}) {
    EXPECT_EQ(makeCString(h), nullptr) << hex(h);
    EXPECT_EQ(javaStringLength(h), 0) << hex(h);
  }
}

TEST_F(Services, array_alloc_makes_arrays_of_known_codes_only) {
  const uint32_t ints = ArrayAlloc(simvm::kInt, 4);
  ASSERT_NE(ints, 0u);
  EXPECT_EQ(vm.methodsOf(ints), (4u << 5) | 10u);
  EXPECT_EQ(vm.getElement(ints, 3), 0u);
  const uint32_t objects = ArrayAlloc(simvm::kObjectArray, 2);
  EXPECT_EQ(vm.classOfObject(objects), vm.objectClass());
  for (int32_t code : {0, 1, 3, 12, 31, -1}) EXPECT_EQ(ArrayAlloc(code, 1), 0u) << code;
  EXPECT_EQ(ArrayAlloc(simvm::kInt, -1), 0);
  EXPECT_EQ(ArrayAlloc(simvm::kInt, 1 << 27), 0u);
  EXPECT_EQ(ArrayAlloc(simvm::kLong, (1 << 27) - 1), 0u);  // more than the arena holds
}

TEST_F(Services, find_class_knows_slash_names_only) {
  EXPECT_EQ(FindClass(nullptr, "com/acme/Widget", 1), widget);
  EXPECT_EQ(FindClass(nullptr, "java/lang/NoClassDefFoundError", 1),
            vm.findClass("java/lang/NoClassDefFoundError"));
  EXPECT_EQ(FindClass(nullptr, "com.acme.Widget", 1), 0u);
  EXPECT_EQ(FindClass(nullptr, "com/acme/Nothing", 1), 0u);
  EXPECT_EQ(FindClass(nullptr, nullptr, 1), 0u);
}

TEST(ServicesWithoutVm, answer_zero_when_no_vm_is_current) {
  { Vm gone; }
  ASSERT_EQ(Vm::current(), nullptr);
  EXPECT_EQ(FindClass(nullptr, "java/lang/Object", 1), 0u);
  EXPECT_EQ(makeJavaString("a", 1), 0u);
  EXPECT_EQ(makeCString(0x10001000), nullptr);
  EXPECT_EQ(ArrayAlloc(simvm::kInt, 1), 0u);
  EXPECT_EQ(execute_java_static_method(nullptr, 0, "currentThread", "()Ljava/lang/Thread;"), 0);
}

TEST(ServicesWithoutVm, act_on_the_vm_made_current) {
  Vm a;
  Vm b;
  const uint32_t onlyInA = a.defineClass(ClassDecl{.name = "com/acme/OnlyA"});
  EXPECT_EQ(FindClass(nullptr, "com/acme/OnlyA", 1), 0u);
  a.makeCurrent();
  EXPECT_EQ(FindClass(nullptr, "com/acme/OnlyA", 1), onlyInA);
}

}  // namespace
