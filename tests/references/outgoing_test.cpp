// What one object, class or array refers to (getReferences0).
#include <string>
#include <vector>

#include "tests/references/refs_fixture.h"

namespace refs {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Outgoing : public RefsTest {};

//   Base.inherited ──► b          (Base's static: not K's)
//   K.one ──► a,  K.names ──► String[],  K.grid ──► String[][] (not listed),
//   K.ints ──► int[] (not listed),  K.none = null,  K.inst (instance field, not a static)
TEST_F(Outgoing, class_object_lists_only_its_own_static_reference_fields) {
  uint32_t base = defineClass("app/Base", {staticField("inherited")});
  uint32_t k = defineClass("app/K",
                           {staticField("one"), staticField("names", "[Ljava/lang/String;"),
                            staticField("grid", "[[Ljava/lang/String;"), staticField("ints", "[I"),
                            staticField("none"), field("inst"), staticField("count", "I")},
                           base);
  uint32_t a = newInstance("app/A");
  uint32_t b = newInstance("app/B");
  uint32_t names = vm().newObjectArray(vm().stringClass(), 2);
  uint32_t grid = vm().newObjectArray(vm().arrayClassOf(vm().stringClass()), 1);
  vm().setStatic(base, "inherited", b);
  vm().setStatic(k, "one", a);
  vm().setStatic(k, "names", names);
  vm().setStatic(k, "grid", grid);
  vm().setStatic(k, "ints", vm().newArray(simvm::kInt, 3));
  vm().setStatic(k, "count", a);  // an int that happens to equal a handle is no reference

  EXPECT_THAT(
      lines(call().references(k)),
      ElementsAre(line('A', names, "java/lang/String", "names"), line('I', a, "app/A", "one")));
  EXPECT_THAT(lines(call().references(base)), ElementsAre(line('I', b, "app/B", "inherited")));
}

//   o: Sub extends Base
//     Sub.alpha ──► y     Sub.mid ──► x     Base.zeta ──► x     Base.cls ──► K (a class object)
//     Sub.ints ──► int[]  Sub.grid ──► Object[][]  Sub.gone ──► freed slot  Sub.n (int) = x
TEST_F(Outgoing, object_lists_the_fields_of_its_whole_class_chain_sorted_by_field_name) {
  uint32_t base = defineClass("app/Base", {field("zeta"), field("cls", "Ljava/lang/Class;")});
  uint32_t sub = defineClass(
      "app/Sub",
      {field("mid"), field("alpha"), field("ints", "[I"), field("grid", "[[Ljava/lang/Object;"),
       field("gone"), field("n", "I"), staticField("shared")},
      base);
  uint32_t k = defineClass("app/K");
  uint32_t x = newInstance("app/X");
  uint32_t y = newInstance("app/Y");
  uint32_t gone = newInstance("app/Gone");
  vm().freeSlot(gone);
  uint32_t o = vm().newObject(sub);
  vm().setField(o, "zeta", x);
  vm().setField(o, "cls", k);
  vm().setField(o, "mid", x);
  vm().setField(o, "alpha", y);
  vm().setField(o, "ints", vm().newArray(simvm::kInt, 4));
  vm().setField(o, "grid", vm().newObjectArray(vm().arrayClassOf(vm().objectClass()), 1));
  vm().setField(o, "gone", gone);
  vm().setField(o, "n", x);
  vm().setStatic(sub, "shared", y);  // statics belong to the class, not to its instances

  EXPECT_THAT(lines(call().references(o)),
              ElementsAre(line('I', y, "app/Y", "alpha"), line('C', k, "app/K", "cls"),
                          line('I', x, "app/X", "mid"), line('I', x, "app/X", "zeta")));
}

//   arr: Object[7] = { s, null, int[], grid (String[][]), K, freed, s }
TEST_F(Outgoing, object_array_lists_non_null_elements_in_index_order_with_arrays_of_arrays) {
  uint32_t k = defineClass("app/K");
  uint32_t s = vm().newString("hi");
  uint32_t grid = vm().newObjectArray(vm().arrayClassOf(vm().stringClass()), 0);
  uint32_t freed = newInstance("app/Freed");
  vm().freeSlot(freed);
  uint32_t arr = vm().newObjectArray(vm().objectClass(), 7);
  std::vector<uint32_t> elements = {s, 0, vm().newArray(simvm::kByte, 2), grid, k, freed, s};
  for (uint32_t i = 0; i < elements.size(); i++) vm().setElement(arr, i, elements[i]);

  EXPECT_THAT(lines(call().references(arr)),
              ElementsAre(line('I', s, "java/lang/String", "0"),
                          line('A', grid, "[Ljava/lang/String;", "3"), line('C', k, "app/K", "4"),
                          line('I', s, "java/lang/String", "6")));
}

TEST_F(Outgoing, anything_but_an_object_or_object_array_gives_an_empty_report) {
  uint32_t o = newInstance("app/Freed");
  vm().freeSlot(o);
  uint32_t ints = vm().newArray(simvm::kInt, 2);
  uint32_t live = newInstance("app/Live");
  for (uint32_t h : {0u, o, ints, live + 4, live + 1, vm().tableFirst() - 8, vm().tableEnd(),
                     vm().regionBase(), 0xFFFFFFF8u, 0x80000000u}) {
    simvm::Report r = call().references(h);
    EXPECT_EQ(r.bytes, std::string("0\0", 2)) << testkit::hex(h);
  }
}

//   K.one ──► a
TEST_F(Outgoing, both_queries_write_nothing_to_a_null_or_freed_stream_and_records_to_a_live_one) {
  uint32_t k = defineClass("app/K", {staticField("one")});
  uint32_t a = newInstance("app/A");
  vm().setStatic(k, "one", a);
  uint32_t freed = vm().newOutputStream();
  vm().freeSlot(freed);
  uint32_t live = vm().newOutputStream();
  const std::pair<const char*, uint32_t> calls[] = {{"getReferences0", k},
                                                    {"getBackTraceReferences0", a}};
  for (const auto& [method, h] : calls) {
    std::vector<uint32_t> slots = {0, h};
    EXPECT_EQ(call().call(method, slots), 0) << method;
    slots = {freed, h};
    call().call(method, slots);
    EXPECT_THAT(vm().streamBytes(freed), IsEmpty()) << method;
  }
  std::vector<uint32_t> slots = {live, a};
  call().call("getBackTraceReferences0", slots);
  EXPECT_EQ(vm().streamBytes(live), "1" + std::string(1, '\0') + "C " + std::to_string(k) +
                                        " app/K one" + std::string(1, '\0'));
}

}  // namespace
}  // namespace refs
