// getClasses0 and getHandles0 through the exported stubs, on small heaps.
//
//   java/lang/Object
//     └── app/Base ── app/Sub ── app/SubSub
//     └── app/Other
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/common/testkit.h"

namespace {

using namespace std::string_literals;
using simvm::Record;
using simvm::Report;

// "K handle name detail" per record, in report order.
std::vector<std::string> lines(const Report& r) {
  std::vector<std::string> out;
  for (const Record& rec : r.records) {
    out.push_back(std::string(1, rec.kind) + " " + std::to_string(rec.handle) + " " +
                  rec.className + (rec.detail.empty() ? "" : " " + rec.detail));
  }
  return out;
}

std::vector<std::string> sortedLines(const Report& r) {
  std::vector<std::string> out = lines(r);
  std::sort(out.begin(), out.end());
  return out;
}

class Census : public testkit::HeapTest {
 protected:
  Census() {
    base = define("app/Base");
    sub = define("app/Sub", base);
    subSub = define("app/SubSub", sub);
    other = define("app/Other");
  }
  uint32_t define(const std::string& name, uint32_t super = 0) {
    simvm::ClassDecl decl;
    decl.name = name;
    decl.super = super;
    return vm().defineClass(decl);
  }
  std::string rec(char kind, uint32_t h, const std::string& name, int count = -1) {
    return std::string(1, kind) + " " + std::to_string(h) + " " + name +
           (count >= 0 ? " " + std::to_string(count) : "");
  }
  // Calls a list stub with raw slots and returns what reached `stream`.
  std::string rawCall(const char* method, uint32_t stream, std::vector<uint32_t> rest) {
    std::vector<uint32_t> slots{stream};
    slots.insert(slots.end(), rest.begin(), rest.end());
    EXPECT_EQ(call().call(method, slots), 0) << method << " must return slot 0";
    return vm().streamBytes(stream);
  }
  uint32_t base, sub, subSub, other;
};

// --- getClasses0 ----------------------------------------------------------------------------

TEST_F(Census, a_prefix_that_matches_nothing_gives_a_count_of_zero) {
  vm().newObject(base);
  Report r = call().classes("nowhere/", true, true);
  EXPECT_EQ(r.bytes, "0\0"s);
}

TEST_F(Census, objects_count_under_their_own_class_and_arrays_under_their_element_class) {
  for (int i = 0; i < 3; i++) vm().newObject(sub);
  vm().newObject(other);
  vm().newObjectArray(sub, 4);
  vm().newArray(simvm::kInt, 4);  // primitive arrays count nowhere
  EXPECT_EQ(lines(call().classes("app/", false, true)),
            (std::vector<std::string>{rec('C', sub, "app/Sub", 3), rec('C', other, "app/Other", 1),
                                      rec('A', sub, "app/Sub", 1)}));
}

TEST_F(Census, a_superclass_that_matches_is_credited_only_when_asked) {
  vm().newObject(sub);
  vm().newObject(subSub);
  EXPECT_EQ(call().classes("app/Base", false, true).count, 0);
  EXPECT_EQ(lines(call().classes("app/Base", true, true)),
            (std::vector<std::string>{rec('C', base, "app/Base", 2)}));
  EXPECT_EQ(lines(call().classes("app/", true, false)),
            (std::vector<std::string>{rec('C', base, "app/Base", 2), rec('C', sub, "app/Sub", 2),
                                      rec('C', subSub, "app/SubSub", 1)}));
}

// An array whose element class is itself an array class is never counted under that class,
// but its element class's superclasses are still credited.
TEST_F(Census, arrays_of_arrays_count_only_under_the_superclasses_of_their_element_class) {
  uint32_t arrayClass = define("[Lapp/Thing;", base);
  vm().newObjectArray(arrayClass, 2);
  for (const Record& r : call().classes("", false, true).records) EXPECT_NE(r.className[0], '[');
  EXPECT_EQ(call().classes("app/", false, true).count, 0);
  EXPECT_EQ(lines(call().classes("app/", true, true)),
            (std::vector<std::string>{rec('A', base, "app/Base", 1)}));
  EXPECT_EQ(call().classes("[", true, true).count, 0);
}

TEST_F(Census, instances_and_arrays_of_one_class_give_two_records_A_first_when_counts_tie) {
  vm().newObject(base);
  vm().newObject(base);
  vm().newObjectArray(base, 1);
  vm().newObjectArray(base, 1);
  std::vector<std::string> expected{rec('A', base, "app/Base", 2), rec('C', base, "app/Base", 2)};
  EXPECT_EQ(lines(call().classes("app/", false, true)), expected);
  EXPECT_EQ(lines(call().classes("app/", false, false)), expected);
}

TEST_F(Census, sorting_by_count_puts_the_largest_first_and_by_name_sorts_the_names) {
  vm().newObject(other);
  for (int i = 0; i < 3; i++) vm().newObject(sub);
  vm().newObject(base);
  vm().newObject(base);
  EXPECT_EQ(lines(call().classes("app/", false, true)),
            (std::vector<std::string>{rec('C', sub, "app/Sub", 3), rec('C', base, "app/Base", 2),
                                      rec('C', other, "app/Other", 1)}));
  EXPECT_EQ(
      lines(call().classes("app/", false, false)),
      (std::vector<std::string>{rec('C', base, "app/Base", 2), rec('C', other, "app/Other", 1),
                                rec('C', sub, "app/Sub", 3)}));
}

// The census is keyed by the address of the name, not by the class or the text.
TEST_F(Census, classes_sharing_one_name_string_share_one_record_of_the_class_met_first) {
  uint32_t twin = define("app/Twin");
  uint32_t lookalike = define("app/Lookalike");
  vm().write32(vm().descriptorOf(twin) + 4, vm().read32(vm().descriptorOf(other) + 4));
  vm().write32(vm().descriptorOf(lookalike) + 4, vm().putCString("app/Other"));
  vm().newObject(twin);  // met first
  vm().newObject(other);
  vm().newObject(other);
  vm().newObject(lookalike);
  EXPECT_EQ(sortedLines(call().classes("app/", false, true)),
            (std::vector<std::string>{rec('C', twin, "app/Other", 3),
                                      rec('C', lookalike, "app/Other", 1)}));
}

// A damaged heap: objects whose class word leads to an int array, whose second word happens to
// point at the name string of app/Other. No entry can be made for that "class", so the first
// such object counts nowhere; the later one counts under the record app/Other made meanwhile.
//   a ──► intArray(name → "app/Other")     b ──► app/Other     c ──► intArray
TEST_F(Census, an_object_of_a_class_without_an_entry_counts_under_a_record_made_later) {
  const uint32_t fakeClass = vm().newArray(simvm::kInt, 2);
  vm().setElement(fakeClass, 1, vm().read32(vm().descriptorOf(other) + 4));
  const uint32_t methodTable = vm().alloc(32, 32);
  vm().write32(methodTable, fakeClass);
  const uint32_t a = vm().newObject(base);
  vm().write32(a + 4, methodTable);
  vm().newObject(other);
  const uint32_t c = vm().newObject(base);
  vm().write32(c + 4, methodTable);
  EXPECT_EQ(sortedLines(call().classes("app/Other", false, true)),
            (std::vector<std::string>{rec('C', other, "app/Other", 2)}));
}

TEST_F(Census, class_objects_count_under_java_lang_Class_and_a_nameless_class_matches_no_prefix) {
  simvm::ClassDecl decl;
  decl.name = "app/Nameless";
  decl.noName = true;
  uint32_t nameless = vm().defineClass(decl);
  vm().newObject(nameless);
  Report classes = call().classes("java/lang/Class", false, true);
  ASSERT_EQ(classes.count, 1);
  EXPECT_EQ(classes.records[0].handle, vm().classClass());
  EXPECT_EQ(classes.records[0].detail, std::to_string(vm().classes().size()));
  for (const Record& r : call().classes("", false, true).records)
    EXPECT_NE(r.className, "<unknown>");
}

TEST_F(Census, a_prefix_that_is_no_string_gives_an_empty_report) {
  vm().newObject(base);
  uint32_t freedString = vm().newString("app/");
  vm().freeSlot(freedString);
  for (uint32_t prefix : {0u, vm().newObject(other), freedString, vm().newArray(simvm::kChar, 4),
                          vm().tableEnd(), 0xFFFFFFF8u}) {
    EXPECT_EQ(rawCall("getClasses0", vm().newOutputStream(), {prefix, 1, 1}), "0\0"s)
        << std::hex << prefix;
  }
}

// --- getHandles0 ----------------------------------------------------------------------------

TEST_F(Census, instances_of_one_class_come_in_ascending_handle_order) {
  std::vector<std::string> expected;
  for (int i = 0; i < 5; i++) {
    expected.push_back(rec('I', vm().newObject(base), "app/Base"));
    vm().newObject(sub);
  }
  uint32_t freed = vm().newObject(base);
  vm().freeSlot(freed);
  EXPECT_EQ(lines(call().handles(base, false, 0)), expected);
}

TEST_F(Census, with_subclasses_the_instances_of_every_subclass_are_listed_by_class_name) {
  std::vector<std::string> expected;
  expected.push_back(rec('I', vm().newObject(subSub), "app/SubSub"));
  expected.push_back(rec('I', vm().newObject(base), "app/Base"));
  expected.push_back(rec('I', vm().newObject(sub), "app/Sub"));
  expected.push_back(rec('I', vm().newObject(sub), "app/Sub"));
  vm().newObject(other);
  Report r = call().handles(base, true, 0);
  std::vector<std::string> names;
  for (const Record& rec : r.records) names.push_back(rec.className);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sortedLines(r), expected);
}

TEST_F(Census, with_arrays_set_the_object_arrays_of_the_class_are_listed_and_no_primitive_array) {
  uint32_t a1 = vm().newObjectArray(base, 2);
  vm().newObject(base);
  vm().newArray(simvm::kInt, 2);
  uint32_t a2 = vm().newObjectArray(sub, 1);
  EXPECT_EQ(lines(call().handles(base, false, 1)),
            (std::vector<std::string>{rec('A', a1, "app/Base")}));
  EXPECT_EQ(lines(call().handles(base, true, 1)),
            (std::vector<std::string>{rec('A', a1, "app/Base"), rec('A', a2, "app/Sub")}));
}

TEST_F(Census, an_arrays_flag_other_than_0_or_1_matches_nothing) {
  vm().newObject(base);
  vm().newObjectArray(base, 1);
  for (int32_t arrays : {2, -1}) EXPECT_EQ(call().handles(base, true, arrays).bytes, "0\0"s);
}

TEST_F(Census, a_target_that_is_no_class_matches_nothing) {
  uint32_t obj = vm().newObject(base);
  for (uint32_t target : {0u, obj, obj + 4, vm().tableEnd(), 0xFFFFFFF8u})
    EXPECT_EQ(call().handles(target, true, 0).bytes, "0\0"s) << std::hex << target;
}

TEST_F(Census, the_class_of_classes_lists_every_class_object_named_after_its_class) {
  Report r = call().handles(vm().classClass(), false, 0);
  std::vector<std::string> expected;
  for (uint32_t c : vm().classes()) expected.push_back(rec('C', c, vm().className(c)));
  EXPECT_EQ(lines(r), expected);  // every class handle lies below every object's handle
}

TEST_F(Census, an_instance_of_a_nameless_class_is_listed_as_unknown) {
  simvm::ClassDecl decl;
  decl.name = "app/Nameless";
  decl.noName = true;
  uint32_t nameless = vm().defineClass(decl);
  uint32_t obj = vm().newObject(nameless);
  EXPECT_EQ(lines(call().handles(nameless, false, 0)),
            (std::vector<std::string>{rec('I', obj, "<unknown>")}));
}

// A damaged superclass link that loops must not hang the walk.
TEST_F(Census, a_superclass_chain_that_loops_ends) {
  vm().write32(vm().descriptorOf(sub) + 16, subSub);  // Sub -> SubSub -> Sub -> ...
  vm().newObject(subSub);
  EXPECT_EQ(call().handles(base, true, 0).count, 0);
  EXPECT_GE(call().classes("app/Sub", true, true).count, 1);
}

// --- streams and high heaps -----------------------------------------------------------------

TEST_F(Census, a_stream_that_is_no_live_object_gets_nothing_and_the_call_returns) {
  vm().newObject(base);
  uint32_t freed = vm().newOutputStream();
  vm().freeSlot(freed);
  uint32_t prefix = vm().newString("app/");
  for (uint32_t stream :
       {0u, freed, vm().newArray(simvm::kByte, 8), vm().tableEnd(), 0xFFFFFFF8u}) {
    std::vector<uint32_t> slots{stream, prefix, 1, 1};
    EXPECT_EQ(call().call("getClasses0", slots), 0);
    slots = {stream, base, 1, 0};
    EXPECT_EQ(call().call("getHandles0", slots), 0);
  }
}

TEST_F(Census, handles_above_2_GB_are_written_as_negative_decimals) {
  if (!simvm::Vm::highPlacementAvailable()) GTEST_SKIP() << "no room above 2 GB in this build";
  remake(simvm::VmConfig{.high = true});
  uint32_t cls = define("app/High");
  uint32_t obj = vm().newObject(cls);
  ASSERT_GE(obj, 0x80000000u);
  EXPECT_EQ(call().handles(cls, false, 0).bytes,
            "1\0I "s + std::to_string(static_cast<int32_t>(obj)) + " app/High\0"s);
  std::string expected = "C "s + std::to_string(static_cast<int32_t>(cls)) + " app/High 1\0"s;
  Report census = call().classes("app/", false, true);
  EXPECT_NE(census.bytes.find(expected), std::string::npos);
}

}  // namespace
