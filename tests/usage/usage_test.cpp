// Memory held per class: instance sizes plus the arrays the instances own (getMemoryUsage0).
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "tests/common/testkit.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

class Usage : public testkit::HeapTest {
 protected:
  // A class whose instance fields are arrays, one per signature given ("[I", ...).
  uint32_t holderClass(const std::string& name, const std::vector<std::string>& arraySigs,
                       uint32_t super = 0) {
    simvm::ClassDecl decl;
    decl.name = name;
    decl.super = super;
    for (size_t i = 0; i < arraySigs.size(); i++)
      decl.fields.push_back({"f" + std::to_string(i), arraySigs[i], false, 0});
    return vm().defineClass(decl);
  }
  uint32_t holder(uint32_t cls, const std::vector<uint32_t>& arrays) {
    uint32_t o = vm().newObject(cls);
    for (size_t i = 0; i < arrays.size(); i++) vm().setField(o, "f" + std::to_string(i), arrays[i]);
    return o;
  }
  // (count, bytes) per class name, in report order.
  std::vector<std::pair<std::string, std::pair<int32_t, int64_t>>> rows(const std::string& prefix) {
    std::vector<std::pair<std::string, std::pair<int32_t, int64_t>>> out;
    for (const simvm::UsageRecord& r : call().usage(prefix).records)
      out.push_back({r.className, {r.count, r.bytes}});
    return out;
  }
  int64_t size(const std::string& cls) { return vm().instanceSize(vm().findClass(cls)); }
};

//   a1 (app/A) ──► shared int[10] ◄── b1 (app/B) ◄── ... ◄── a2 (app/A)
TEST_F(Usage, a_shared_array_is_charged_once_to_the_first_counted_instance) {
  uint32_t a = holderClass("app/A", {"[I"});
  uint32_t b = holderClass("app/B", {"[I"});
  uint32_t shared = vm().newArray(simvm::kInt, 10);
  holder(b, {shared});
  holder(a, {shared});
  holder(a, {shared});

  EXPECT_THAT(rows("app/"), ElementsAre(Pair("app/B", Pair(1, size("app/B") + 56)),
                                        Pair("app/A", Pair(2, 2 * size("app/A")))));
  // Instances outside the prefix charge nothing, so the first A is charged instead.
  EXPECT_THAT(rows("app/A"), ElementsAre(Pair("app/A", Pair(2, 2 * size("app/A") + 56))));
}

TEST_F(Usage, a_null_or_freed_array_field_leaves_the_instance_size_alone) {
  uint32_t cls = holderClass("app/Holder", {"[I", "[J"});
  uint32_t freed = vm().newArray(simvm::kInt, 100);
  vm().freeSlot(freed);
  holder(cls, {0, 0});
  holder(cls, {freed, 0});
  EXPECT_THAT(rows("app/Holder"), ElementsAre(Pair("app/Holder", Pair(2, 2 * size("app/Holder")))));
}

TEST_F(Usage, an_array_costs_sixteen_bytes_plus_its_elements) {
  struct Case {
    const char* sig;
    int32_t type;
    uint32_t length;
    int64_t charge;
  };
  const Case cases[] = {
      {"[I", simvm::kInt, 10, 56},    {"[J", simvm::kLong, 3, 40},   {"[B", simvm::kByte, 0, 16},
      {"[Z", simvm::kBoolean, 3, 19}, {"[C", simvm::kChar, 5, 26},   {"[S", simvm::kShort, 4, 24},
      {"[F", simvm::kFloat, 1, 20},   {"[D", simvm::kDouble, 2, 32}, {"[B", simvm::kByte, 7, 23},
  };
  for (size_t i = 0; i < std::size(cases); i++) {
    std::string name = "app/C" + std::to_string(i);
    holder(holderClass(name, {cases[i].sig}), {vm().newArray(cases[i].type, cases[i].length)});
    EXPECT_THAT(rows(name), ElementsAre(Pair(name, Pair(1, size(name) + cases[i].charge))))
        << cases[i].sig << " of " << cases[i].length;
  }
}

//   h (app/Holder) ──► Object[3] ──► leaf, leaf, leaf ──► int[100] each
TEST_F(Usage, object_arrays_cost_four_bytes_per_element_and_their_elements_are_not_charged) {
  uint32_t leaf = holderClass("app/Leaf", {"[I"});
  uint32_t cls = holderClass("app/Holder", {"[Ljava/lang/Object;"});
  uint32_t items = vm().newObjectArray(leaf, 3);
  for (uint32_t i = 0; i < 3; i++)
    vm().setElement(items, i, holder(leaf, {vm().newArray(simvm::kInt, 100)}));
  holder(cls, {items});

  EXPECT_THAT(rows("app/Holder"),
              ElementsAre(Pair("app/Holder", Pair(1, size("app/Holder") + 28))));
  EXPECT_THAT(rows("app/Leaf"),
              ElementsAre(Pair("app/Leaf", Pair(3, 3 * (size("app/Leaf") + 416)))));
}

TEST_F(Usage, only_plain_objects_are_counted_never_arrays_or_class_objects) {
  uint32_t item = holderClass("app/Item", {});
  vm().newObject(item);
  vm().newObjectArray(item, 4);
  vm().newObjectArray(vm().arrayClassOf(item), 2);
  EXPECT_THAT(rows("app/Item"), ElementsAre(Pair("app/Item", Pair(1, size("app/Item")))));
  EXPECT_THAT(rows("[Lapp/Item;"), IsEmpty());
  EXPECT_THAT(rows("java/lang/Class"), IsEmpty());  // every class handle is one
}

TEST_F(Usage, arrays_held_in_static_fields_are_charged_to_nobody) {
  simvm::ClassDecl decl;
  decl.name = "app/Cache";
  decl.fields = {{"table", "[I", true, 0}, {"n", "I", false, 0}};
  uint32_t cls = vm().defineClass(decl);
  vm().setStatic(cls, "table", vm().newArray(simvm::kInt, 1000));
  vm().newObject(cls);
  EXPECT_THAT(rows("app/Cache"), ElementsAre(Pair("app/Cache", Pair(1, size("app/Cache")))));
}

// Equal bytes: more instances first; equal counts too: by name.
TEST_F(Usage, rows_are_ordered_by_bytes_then_count_then_name) {
  for (const char* name : {"app/Gamma", "app/Alpha", "app/Beta"})
    holder(holderClass(name, {"[J"}), {0});
  uint32_t pair = holderClass("app/Pair", {"[I"});  // two instances, same total as one Big
  holder(pair, {0});
  holder(pair, {0});
  simvm::ClassDecl big;
  big.name = "app/Big";
  big.fields = {{"a", "J", false, 0}};
  uint32_t bigCls = vm().defineClass(big);
  vm().newObject(bigCls);
  uint32_t huge = holderClass("app/Huge", {"[I"});
  holder(huge, {vm().newArray(simvm::kInt, 1)});
  ASSERT_EQ(size("app/Big"), 2 * size("app/Pair"));

  std::vector<std::string> order;
  for (const auto& row : rows("app/")) order.push_back(row.first);
  EXPECT_THAT(order,
              ElementsAre("app/Huge", "app/Pair", "app/Big", "app/Alpha", "app/Beta", "app/Gamma"));
}

TEST_F(Usage, the_prefix_is_compared_byte_for_byte_with_slash_names) {
  holder(holderClass("app/One", {}), {});
  holder(holderClass("app/Two", {}), {});
  holder(holderClass("other/Three", {}), {});
  EXPECT_THAT(rows("app.One"), IsEmpty());
  EXPECT_THAT(rows("app/Onex"), IsEmpty());
  EXPECT_EQ(rows("app/").size(), 2u);

  // The empty prefix matches every class that has a plain instance other than a class object
  // (the stream and prefix string the call makes included, so the heap is read after it).
  std::map<std::string, int32_t> got;
  for (const auto& row : rows("")) got[row.first] = row.second.first;
  std::map<std::string, int32_t> expected;
  for (uint32_t h = vm().tableFirst(); h < vm().tableFirst() + 8 * vm().slotsUsed(); h += 8) {
    if (vm().bodyOf(h) == 0 || (vm().methodsOf(h) & 0x1F) != 0 || vm().isClassHandle(h)) continue;
    expected[vm().className(vm().classOfObject(h))]++;
  }
  EXPECT_EQ(got, expected);
}

// An array slot whose type code names no array type (3 and 31 here) is charged 16 bytes and
// named once on standard output, however many instances hold it.
TEST_F(Usage, an_unknown_array_type_is_charged_sixteen_bytes_and_reported_once) {
  uint32_t cls = holderClass("app/Odd", {"[I"});
  uint32_t three = vm().newArray(simvm::kInt, 4);
  uint32_t thirtyOne = vm().newArray(simvm::kInt, 4);
  vm().write32(three + 4, (4u << 5) | 3);  // handle word 4: (length << 5) | type code
  vm().write32(thirtyOne + 4, (4u << 5) | 31);
  holder(cls, {three});
  holder(cls, {three});
  holder(cls, {thirtyOne});

  testing::internal::CaptureStdout();
  auto got = rows("app/Odd");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "computeSize - unknown array type 3\ncomputeSize - unknown array type 1f\n");
  EXPECT_THAT(got, ElementsAre(Pair("app/Odd", Pair(3, 3 * size("app/Odd") + 32))));
}

// The charge reads only the length word, so three long arrays claiming 2^27 - 1 elements each
// cost 3 GB without any memory behind them.
TEST_F(Usage, a_class_holding_more_than_two_gigabytes_is_reported_positive_and_sorted_first) {
  const uint32_t longest = (1u << 27) - 1;
  uint32_t big = holderClass("app/Big", {"[J", "[J", "[J"});
  std::vector<uint32_t> arrays;
  for (int i = 0; i < 3; i++) {
    uint32_t a = vm().newArray(simvm::kLong, 1);
    vm().write32(a + 4, (longest << 5) | simvm::kLong);
    arrays.push_back(a);
  }
  holder(big, arrays);
  uint32_t medium = holderClass("app/Medium", {"[J"});
  holder(medium, {vm().newArray(simvm::kInt, 1000)});

  const int64_t bigBytes = size("app/Big") + 3 * (16 + int64_t(longest) * 8);
  ASSERT_GT(bigBytes, int64_t(1) << 31);
  simvm::UsageReport r = call().usage("app/");
  EXPECT_THAT(r.bytes,
              testing::HasSubstr("app/Big 1 " + std::to_string(bigBytes) + std::string("\0", 1)));
  ASSERT_EQ(r.records.size(), 2u);
  EXPECT_EQ(r.records[0].className, "app/Big");
  EXPECT_EQ(r.records[0].bytes, bigBytes);
  EXPECT_EQ(r.records[1].className, "app/Medium");
}

TEST_F(Usage, a_null_or_non_string_prefix_gives_an_empty_report_and_a_null_stream_nothing) {
  holder(holderClass("app/A", {}), {});
  uint32_t stream = vm().newOutputStream();
  for (uint32_t prefix : {0u, vm().newObject(vm().findClass("app/A")),
                          vm().newArray(simvm::kChar, 2), vm().tableEnd()}) {
    vm().clearStream(stream);
    std::vector<uint32_t> slots = {stream, prefix};
    EXPECT_EQ(call().call("getMemoryUsage0", slots), 0);
    EXPECT_EQ(vm().streamBytes(stream), std::string("0\0", 2)) << testkit::hex(prefix);
  }
  std::vector<uint32_t> slots = {0, vm().newString("app/")};
  EXPECT_EQ(call().call("getMemoryUsage0", slots), 0);
}

}  // namespace
