// getClassInfo0 and getHandleInfo0, byte for byte, through the exported stubs.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/common/testkit.h"

namespace {

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char text[4096];
  vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

class Describe : public testkit::HeapTest {
 protected:
  uint32_t defineClass(const std::string& name, uint32_t super = 0) {
    simvm::ClassDecl decl;
    decl.name = name;
    decl.super = super;
    decl.secondName = "Source.java";
    return vm().defineClass(decl);
  }
  std::string classError(uint32_t h) { return format("ERROR handle %x is not a valid class", h); }
  std::string objectError(uint32_t h) { return format("ERROR handle %x isn't a valid object", h); }
  std::string objectLine(uint32_t h, const char* cls, const std::string& text) {
    return format("OBJECT %x %s %x ", h, cls, vm().bodyOf(h)) + text;
  }
};

// --- getClassInfo0 ---------------------------------------------------------------------------

TEST_F(Describe, a_class_shows_name_descriptor_second_name_four_unsigned_counts_and_the_flag) {
  simvm::ClassDecl decl;
  decl.name = "app/Widget";
  decl.secondName = "Widget.java";
  decl.accessFlags = 0x0421;  // 0x400 set
  uint32_t widget = vm().defineClass(decl);
  uint32_t desc = vm().descriptorOf(widget);
  // Distinct values at offsets 76, 82, 74, 80 show the order; those above 32767 show that
  // they are printed unsigned.
  vm().write16(desc + 76, 65535);
  vm().write16(desc + 82, 40000);
  vm().write16(desc + 74, 3);
  vm().write16(desc + 80, 32768);
  EXPECT_EQ(call().classInfo(widget),
            format("CLASS app/Widget %x Widget.java 65535 40000 3 32768 true", desc));
  vm().write16(desc + 86, 0xFBFF);  // every flag but 0x400
  EXPECT_EQ(call().classInfo(widget),
            format("CLASS app/Widget %x Widget.java 65535 40000 3 32768 false", desc));
}

TEST_F(Describe, anything_but_a_class_object_is_not_a_valid_class) {
  uint32_t obj = vm().newObject(vm().objectClass());
  uint32_t freed = vm().newObject(vm().objectClass());
  vm().freeSlot(freed);
  uint32_t ints = vm().newArray(simvm::kInt, 2);
  uint32_t strings = vm().newObjectArray(vm().stringClass(), 2);
  EXPECT_EQ(call().classInfo(0), "ERROR handle 0 is not a valid class");
  for (uint32_t h : {obj, freed, ints, strings, vm().newString("java/lang/Object")}) {
    EXPECT_EQ(call().classInfo(h), classError(h));
  }
}

TEST_F(Describe, a_missing_name_or_second_name_reads_unknown) {
  simvm::ClassDecl decl;
  decl.name = "app/Nameless";
  decl.noName = true;
  uint32_t nameless = vm().defineClass(decl);
  uint32_t desc = vm().descriptorOf(nameless);
  vm().write32(desc + 8, 0);
  EXPECT_EQ(call().classInfo(nameless).substr(0, 32),
            format("CLASS <unknown> %x <unknown> ", desc).substr(0, 32));
  std::string line = call().handleInfo(vm().newObject(nameless));
  EXPECT_NE(line.find(" <unknown> "), std::string::npos) << line;
}

TEST_F(Describe, a_class_name_longer_than_the_buffer_is_cut_at_1023_bytes_in_the_class_line) {
  std::string name = "app/" + std::string(5000, 'N');
  uint32_t big = defineClass(name);
  std::string line = call().classInfo(big);
  EXPECT_EQ(line.size(), 1023u);
  EXPECT_EQ(line, ("CLASS " + name).substr(0, 1023));

  // An object's line has room for its class name: nothing of it or of the text is lost.
  uint32_t obj = vm().newObject(big);
  vm().setToString(big, [](uint32_t) { return std::string("short"); });
  EXPECT_EQ(call().handleInfo(obj),
            format("OBJECT %x ", obj) + name + format(" %x short", vm().bodyOf(obj)));
}

// --- getHandleInfo0 --------------------------------------------------------------------------

TEST_F(Describe, an_object_shows_handle_class_body_and_its_toString_text_spaces_included) {
  uint32_t widget = defineClass("app/Widget");
  uint32_t obj = vm().newObject(widget);
  vm().setToString(widget, [](uint32_t) { return std::string("a widget, 3 parts"); });
  EXPECT_EQ(call().handleInfo(obj), objectLine(obj, "app/Widget", "a widget, 3 parts"));
}

TEST_F(Describe, an_object_whose_toString_returns_null_reads_null) {
  uint32_t widget = defineClass("app/Widget");
  uint32_t obj = vm().newObject(widget);
  vm().setToString(widget, [](uint32_t) { return std::nullopt; });
  EXPECT_EQ(call().handleInfo(obj), objectLine(obj, "app/Widget", "null"));
}

TEST_F(Describe, a_class_object_is_described_as_an_object_of_java_lang_Class) {
  uint32_t widget = defineClass("app/Widget");
  vm().setToString(vm().classClass(), [](uint32_t) { return std::string("class app.Widget"); });
  EXPECT_EQ(call().handleInfo(widget), objectLine(widget, "java/lang/Class", "class app.Widget"));
}

// A description is never cut, whatever the widths of its characters: texts of one, two,
// three and four bytes per character (and mixes, where a cut would fall inside a character),
// short and far longer than twice the character count plus 1024 bytes. Where the text fitted
// the old buffer the line is the same bytes as before, which this also shows.
TEST_F(Describe, a_toString_text_comes_back_whole_whatever_its_length_and_character_widths) {
  uint32_t widget = defineClass("app/Widget");
  uint32_t obj = vm().newObject(widget);
  const std::vector<std::string> units = {
      "a", "\xC3\xA9", "\xE4\xB8\xAD", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "x\xE4\xB8\xAD"};
  for (const std::string& unit : units) {
    for (int count : {1, 300, 2048, 4000}) {
      std::string text;
      for (int i = 0; i < count; i++) text += unit;
      vm().setToString(widget, [&](uint32_t) { return text; });
      EXPECT_EQ(call().handleInfo(obj), objectLine(obj, "app/Widget", text))
          << count << " x " << unit.size() << " bytes";
    }
  }
}

TEST_F(Describe, an_object_array_shows_handle_element_class_body_and_length) {
  uint32_t strings = vm().newObjectArray(vm().stringClass(), 3);
  EXPECT_EQ(call().handleInfo(strings),
            format("ARRAY %x java/lang/String %x 3", strings, vm().bodyOf(strings)));
  uint32_t nested = vm().newObjectArray(vm().arrayClassOf(vm().stringClass()), 0);
  EXPECT_EQ(call().handleInfo(nested),
            format("ARRAY %x [Ljava/lang/String; %x 0", nested, vm().bodyOf(nested)));
}

TEST_F(Describe, an_array_whose_element_class_word_is_0_shows_an_unknown_class) {
  uint32_t strings = vm().newObjectArray(vm().stringClass(), 2);
  vm().write32(vm().bodyOf(strings) + 8, 0);
  EXPECT_EQ(call().handleInfo(strings),
            format("ARRAY %x <unknown> %x 2", strings, vm().bodyOf(strings)));
}

TEST_F(Describe, a_free_slot_or_a_primitive_array_is_not_a_valid_object) {
  uint32_t freed = vm().newObject(vm().objectClass());
  vm().freeSlot(freed);
  uint32_t ints = vm().newArray(simvm::kInt, 4);
  EXPECT_EQ(call().handleInfo(0), "ERROR handle 0 isn't a valid object");
  EXPECT_EQ(call().handleInfo(freed), objectError(freed));
  EXPECT_EQ(call().handleInfo(ints), objectError(ints));
}

// An object whose class word leads nowhere is not handed to toString.
TEST_F(Describe, an_object_whose_class_word_is_no_handle_is_not_a_valid_object) {
  uint32_t obj = vm().newObject(vm().objectClass());
  uint32_t methodTable = vm().alloc(32, 32);
  vm().write32(methodTable, 0x12345);
  vm().write32(obj + 4, methodTable);
  EXPECT_EQ(call().handleInfo(obj), objectError(obj));
}

// Any 32-bit value may come from Java. None of these is a slot; none may be read as one.
TEST_F(Describe, values_that_are_no_handle_give_the_error_texts_and_never_crash) {
  uint32_t obj = vm().newObject(vm().objectClass());
  const std::vector<uint32_t> bad = {obj + 4,
                                     obj + 1,
                                     vm().tableFirst() - 8,
                                     vm().regionBase(),
                                     vm().regionBase() + 4,
                                     vm().tableEnd(),
                                     vm().tableEnd() + 8,
                                     vm().descriptorOf(vm().threadClass()),
                                     vm().bodyOf(obj),
                                     0xFFFFFFF8u,
                                     0xFFFFFFFFu,
                                     0x7FFFFFF8u,
                                     8u,
                                     4096u};
  for (uint32_t h : bad) {
    EXPECT_EQ(call().classInfo(h), classError(h));
    EXPECT_EQ(call().handleInfo(h), objectError(h));
  }
}

// --- a heap at or above 2 GB ------------------------------------------------------------------

TEST_F(Describe, a_heap_above_2_GB_is_described_in_full_unsigned_hexadecimal) {
  if (!simvm::Vm::highPlacementAvailable()) GTEST_SKIP() << "no room above 2 GB in this build";
  remake(simvm::VmConfig{.high = true});
  ASSERT_GE(vm().tableFirst(), 0x80000000u);
  uint32_t widget = defineClass("app/Widget");
  uint32_t obj = vm().newObject(widget);
  uint32_t arr = vm().newObjectArray(widget, 1);
  vm().setToString(widget, [](uint32_t) { return std::string("w"); });
  EXPECT_EQ(call().classInfo(widget), format("CLASS app/Widget %x Source.java 0 %d 0 0 false",
                                             vm().descriptorOf(widget), vm().instanceSize(widget)));
  EXPECT_EQ(call().handleInfo(obj), objectLine(obj, "app/Widget", "w"));
  EXPECT_EQ(call().handleInfo(arr), format("ARRAY %x app/Widget %x 1", arr, vm().bodyOf(arr)));
  EXPECT_EQ(call().classInfo(0xFFFFFFF8u), classError(0xFFFFFFF8u));
}

}  // namespace
