// Arrays, strings, references and freed slots, read back through the VM's accessors and the
// tests' plain reader (tests/common/heap_model.h), which has offsets of its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "simvm/vm.h"
#include "tests/common/heap_model.h"

namespace {

using simvm::Vm;
using simvm::VmError;

class Objects : public ::testing::Test {
 protected:
  Vm vm;
};

TEST_F(Objects, primitive_arrays_pack_their_elements_by_type) {
  struct Case {
    int32_t code;
    uint32_t size;
  };
  for (Case c : {Case{simvm::kBoolean, 1},
                 {simvm::kChar, 2},
                 {simvm::kFloat, 4},
                 {simvm::kDouble, 8},
                 {simvm::kByte, 1},
                 {simvm::kShort, 2},
                 {simvm::kInt, 4},
                 {simvm::kLong, 8}}) {
    const uint32_t a = vm.newArray(c.code, 5);
    EXPECT_EQ(vm.methodsOf(a), (5u << 5) | uint32_t(c.code));
    vm.setElement(a, 3, 0x7F);
    const auto* body = static_cast<const uint8_t*>(vm.pointer(vm.bodyOf(a)));
    EXPECT_EQ(body[3 * c.size], 0x7F) << "type " << c.code;
    EXPECT_EQ(body[2 * c.size], 0) << "type " << c.code;
    EXPECT_EQ(vm.getElement(a, 3), 0x7Fu);
  }
  // Narrow elements keep only their low bits.
  const uint32_t bytes = vm.newArray(simvm::kByte, 2);
  vm.setElement(bytes, 0, 0x1FF);
  EXPECT_EQ(vm.getElement(bytes, 0), 0xFFu);
  // An empty array still has a body.
  EXPECT_NE(vm.bodyOf(vm.newArray(simvm::kInt, 0)), 0u);
}

TEST_F(Objects, object_arrays_end_with_their_element_class_word) {
  const uint32_t a = vm.newObjectArray(vm.stringClass(), 3);
  const uint32_t s = vm.newString("x");
  vm.setElement(a, 1, s);
  const uint32_t empty = vm.newObjectArray(vm.threadClass(), 0);
  const heapmodel::Heap heap(vm);
  EXPECT_TRUE(heap.objectArray(a));
  EXPECT_EQ(heap.length(a), 3u);
  EXPECT_EQ(heap.element(a, 1), s);
  EXPECT_EQ(heap.classOf(a), vm.stringClass());
  EXPECT_EQ(vm.classOfObject(a), vm.stringClass());
  EXPECT_EQ(heap.classOf(empty), vm.threadClass());
  EXPECT_EQ(vm.classOfObject(vm.newArray(simvm::kObjectArray, 2)), vm.objectClass());
}

TEST_F(Objects, element_access_and_lengths_are_checked) {
  const uint32_t a = vm.newArray(simvm::kInt, 2);
  EXPECT_THROW(vm.setElement(a, 2, 1), VmError);
  EXPECT_THROW(vm.getElement(vm.newObject(vm.objectClass()), 0), VmError);
  EXPECT_THROW(vm.newArray(1, 4), VmError);
  EXPECT_THROW(vm.newArray(12, 4), VmError);
  EXPECT_THROW(vm.newArray(simvm::kInt, 1u << 27), VmError);  // the length would not fit
  EXPECT_THROW(vm.newObjectArray(12345, 1), VmError);
}

// The loader's bulk path against the single calls, in two VMs (at two addresses, so compared
// relative to each region): a mixed run of requests, with classes that collide in the bulk
// path's class cache, gives the same handles, words and bodies, and a refused request stops the
// run where the single call would have thrown.
TEST_F(Objects, a_run_of_requests_makes_what_the_single_calls_make) {
  Vm bulk;
  const auto rel = [](const Vm& v, uint32_t address) {
    return address ? address - v.regionBase() : 0;
  };
  std::vector<uint32_t> single = {vm.objectClass(), vm.stringClass(), vm.threadClass()};
  std::vector<uint32_t> many = {bulk.objectClass(), bulk.stringClass(), bulk.threadClass()};
  for (uint32_t i = 0; i < 300; ++i) {  // more classes than the cache has places
    simvm::ClassDecl decl;
    decl.name = "t/C" + std::to_string(i);
    decl.fields = {{"f", i % 2 ? "J" : "I"}};
    single.push_back(vm.defineClass(decl));
    many.push_back(bulk.defineClass(decl));
  }
  std::vector<Vm::NewRequest> run;
  std::vector<uint32_t> one;
  for (uint32_t i = 0; i < 3000; ++i) {
    const size_t c = (i * 7919u) % single.size();
    switch (i % 4) {
      case 0:
      case 1:
        run.push_back({simvm::kObject, many[c], 0});
        one.push_back(vm.newObject(single[c]));
        break;
      case 2:
        run.push_back({simvm::kObjectArray, many[c], i % 17});
        one.push_back(vm.newObjectArray(single[c], i % 17));
        break;
      default:
        run.push_back({simvm::kInt + int32_t(i % 2), 0, i % 13});
        one.push_back(vm.newArray(simvm::kInt + int32_t(i % 2), i % 13));
    }
  }
  std::vector<uint32_t> made(run.size(), 0);
  bulk.newMany(run.data(), run.size(), made.data());
  ASSERT_EQ(bulk.bytesUsed(), vm.bytesUsed());
  for (size_t i = 0; i < one.size(); ++i) {
    ASSERT_EQ(rel(bulk, made[i]), rel(vm, one[i]));
    const uint32_t m = bulk.methodsOf(made[i]), n = vm.methodsOf(one[i]);
    ASSERT_EQ(simvm::typeCodeOfWord(m) == simvm::kObject ? rel(bulk, m) : m,
              simvm::typeCodeOfWord(n) == simvm::kObject ? rel(vm, n) : n);
    ASSERT_EQ(rel(bulk, bulk.bodyOf(made[i])), rel(vm, vm.bodyOf(one[i])));
    ASSERT_EQ(rel(bulk, bulk.classOfObject(made[i])), rel(vm, vm.classOfObject(one[i])));
  }

  for (const Vm::NewRequest& bad :
       {Vm::NewRequest{simvm::kObject, bulk.classClass(), 0},
        Vm::NewRequest{simvm::kObject, 12345, 0}, Vm::NewRequest{simvm::kObjectArray, 12345, 1},
        Vm::NewRequest{12, 0, 1}, Vm::NewRequest{simvm::kInt, 0, 1u << 27}}) {
    const Vm::NewRequest three[] = {
        {simvm::kObject, bulk.objectClass(), 0}, bad, {simvm::kInt, 0, 1}};
    uint32_t handles[3] = {0, 0, 0};
    EXPECT_THROW(bulk.newMany(three, 3, handles), VmError);
    EXPECT_NE(handles[0], 0u);
    EXPECT_EQ(handles[1], 0u);
    EXPECT_EQ(handles[2], 0u);
  }
}

TEST_F(Objects, strings_keep_utf16_units_in_a_char_array) {
  const std::string text = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9D\x84\x9E";  // é, €, U+1D11E
  const uint32_t s = vm.newString(text);
  EXPECT_EQ(vm.stringValue(s), text);
  const uint32_t value = vm.getField(s, "value");
  EXPECT_EQ(vm.methodsOf(value) & 0x1F, uint32_t(simvm::kChar));
  EXPECT_EQ(vm.getField(s, "count"), 10u);  // the last character takes two units
  EXPECT_EQ(vm.getField(s, "offset"), 0u);
  EXPECT_EQ(vm.getElement(value, 1), 0xE9u);
  EXPECT_EQ(vm.getElement(value, 8), 0xD834u);
  EXPECT_EQ(vm.getElement(value, 9), 0xDD1Eu);
  EXPECT_EQ(vm.stringValue(vm.newString("")), "");
}

TEST_F(Objects, strings_honour_offset_and_count) {
  const uint32_t s = vm.newString("abcdef");
  vm.setField(s, "offset", 2);
  vm.setField(s, "count", 3);
  EXPECT_EQ(vm.stringValue(s), "cde");
  vm.setField(s, "count", 5);  // would run past the array
  EXPECT_THROW(vm.stringValue(s), VmError);
}

TEST_F(Objects, malformed_utf8_decodes_each_bad_byte_to_a_replacement_character) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(vm.stringValue(vm.newString("a\xFF"
                                        "b")),
            "a" + fffd + "b");
  EXPECT_EQ(vm.stringValue(vm.newString("\xE2\x82")), fffd + fffd);               // cut short
  EXPECT_EQ(vm.stringValue(vm.newString("\xC0\xAF")), fffd + fffd);               // overlong '/'
  EXPECT_EQ(vm.getField(vm.newString(std::string("\xC0\x80", 2)), "count"), 1u);  // Java's NUL
  // A lone surrogate in the units comes back out as a replacement character.
  const uint32_t s = vm.newString("ab");
  vm.setElement(vm.getField(s, "value"), 0, 0xD800);
  EXPECT_EQ(vm.stringValue(s), fffd + "b");
}

TEST_F(Objects, freeing_a_slot_zeroes_its_body_only) {
  const uint32_t obj = vm.newObject(vm.objectClass());
  const uint32_t methods = vm.methodsOf(obj);
  vm.freeSlot(obj);
  EXPECT_FALSE(heapmodel::Heap(vm).live(obj));
  EXPECT_EQ(vm.methodsOf(obj), methods);
  EXPECT_EQ(vm.classOfObject(obj), 0u);
  EXPECT_THROW(vm.getField(obj, "x"), VmError);
  const uint32_t s = vm.newString("gone");
  vm.freeSlot(s);
  EXPECT_THROW(vm.stringValue(s), VmError);
  EXPECT_THROW(vm.freeSlot(vm.tableEnd()), VmError);
  EXPECT_THROW(vm.freeSlot(obj + 4), VmError);
}

TEST_F(Objects, weak_references_hold_their_referent_in_the_reference_field) {
  const uint32_t target = vm.newObject(vm.objectClass());
  const uint32_t weak = vm.newWeakReference(target);
  const uint32_t soft = vm.newWeakReference(target, vm.softReferenceClass());
  EXPECT_EQ(vm.classOfObject(weak), vm.weakReferenceClass());
  EXPECT_EQ(vm.classOfObject(soft), vm.softReferenceClass());
  EXPECT_EQ(vm.getField(weak, "referent"), target);
  EXPECT_THROW(vm.newWeakReference(target, vm.stringClass()), VmError);
}

TEST_F(Objects, class_of_object_rejects_damaged_and_foreign_handles) {
  const uint32_t obj = vm.newObject(vm.objectClass());
  EXPECT_EQ(vm.classOfObject(0), 0u);
  EXPECT_EQ(vm.classOfObject(obj + 4), 0u);
  EXPECT_EQ(vm.classOfObject(vm.tableEnd()), 0u);
  EXPECT_EQ(vm.classOfObject(vm.newArray(simvm::kInt, 1)), 0u);
  vm.write32(obj + 4, 0x40);  // a MethodTable address nowhere in the region
  EXPECT_EQ(vm.classOfObject(obj), 0u);
}

}  // namespace
