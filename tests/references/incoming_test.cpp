// What refers to one object (getBackTraceReferences0).
#include <string>
#include <vector>

#include "tests/references/refs_fixture.h"

namespace refs {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class Incoming : public RefsTest {};

//   Base.sb ──► x ◄── K.ks        (K extends Base; each class reports its own static)
//   K.other ──► y
TEST_F(Incoming, static_fields_report_the_class_that_declares_them) {
  uint32_t base = defineClass("app/Base", {staticField("sb")});
  uint32_t k = defineClass("app/K", {staticField("ks"), staticField("other"), field("inst")}, base);
  uint32_t x = newInstance("app/X");
  vm().setStatic(base, "sb", x);
  vm().setStatic(k, "ks", x);
  vm().setStatic(k, "other", newInstance("app/Y"));

  EXPECT_THAT(lines(call().referrers(x)),
              ElementsAre(line('C', k, "app/K", "ks"), line('C', base, "app/Base", "sb")));
}

//   o (Sub extends Base): Base.parent ──► x,  Sub.left ──► x,  Sub.right ──► z
//   arr: Object[4] = { null, x, z, x }
TEST_F(Incoming, fields_of_superclasses_and_every_holding_element_are_reported_names_first) {
  uint32_t base = defineClass("app/Base", {field("parent")});
  uint32_t sub = defineClass("app/Sub", {field("left"), field("right")}, base);
  uint32_t x = newInstance("app/X");
  uint32_t z = newInstance("app/Z");
  uint32_t arr = vm().newObjectArray(vm().findClass("app/X"), 4);
  vm().setElement(arr, 1, x);
  vm().setElement(arr, 2, z);
  vm().setElement(arr, 3, x);
  uint32_t o = vm().newObject(sub);
  vm().setField(o, "parent", x);
  vm().setField(o, "left", x);
  vm().setField(o, "right", z);

  EXPECT_THAT(lines(call().referrers(x)),
              ElementsAre(line('I', o, "app/Sub", "left"), line('I', o, "app/Sub", "parent"),
                          line('A', arr, "app/X", "1"), line('A', arr, "app/X", "3")));
}

//   x ◄── T.work(), x ◄── T.run() twice, x ◄── K.s
TEST_F(Incoming, each_stack_slot_holding_the_target_gives_one_record_named_after_its_method) {
  uint32_t k = defineClass("app/K", {staticField("s")});
  uint32_t x = newInstance("app/X");
  uint32_t y = newInstance("app/Y");
  vm().setStatic(k, "s", x);
  uint32_t t = threadRunning({{"run", {x, y, x}}, {"work", {y, x}}});

  EXPECT_THAT(lines(call().referrers(x)),
              ElementsAre(line('I', t, "java/lang/Thread", "run()"),
                          line('I', t, "java/lang/Thread", "run()"), line('C', k, "app/K", "s"),
                          line('I', t, "java/lang/Thread", "work()")));
}

//   K.sn = null, K.si (int) = 0;  o.next = null, o.val ──► v, o.count (int) = 0
//   arr: Object[3] = { null, v, null };  T(locals in run()) = 0, 0
TEST_F(Incoming, a_null_target_reports_null_reference_fields_and_elements_but_no_stack_slots) {
  uint32_t k = defineClass("app/K", {staticField("sn"), staticField("si", "I")});
  uint32_t node = defineClass("app/Node", {field("next"), field("val"), field("count", "I")});
  uint32_t v = newInstance("app/V");
  uint32_t o = vm().newObject(node);
  vm().setField(o, "val", v);
  uint32_t arr = vm().newObjectArray(vm().objectClass(), 3);
  vm().setElement(arr, 1, v);
  threadRunning({{"run", {0, 0}}});

  simvm::Report r = call().referrers(0);
  EXPECT_THAT(linesAbout(r, {k, o, arr}),
              ElementsAre(line('I', o, "app/Node", "next"), line('C', k, "app/K", "sn"),
                          line('A', arr, "java/lang/Object", "0"),
                          line('A', arr, "java/lang/Object", "2")));
  for (const simvm::Record& rec : r.records) {
    EXPECT_THAT(rec.detail, Not(HasSubstr("()")));
  }
}

}  // namespace
}  // namespace refs
