// Objects held in the local-variable slots of other threads' frames.
#include <cstdlib>
#include <string>
#include <vector>

#include "queries/heapwalk.h"
#include "report/entry.h"
#include "support/ptrlist.h"
#include "tests/references/refs_fixture.h"
#include "vm/memory.h"
#include "vm/threads.h"

namespace refs {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class StackScan : public RefsTest {};

//   T: Worker(alpha ──► f1, run ──► bee)
//     run():  ants (Ant[]), ant      beta(): o2
// Fields and methods interleave by name; "run" and "run()" tie and fall back to class, then kind.
TEST_F(StackScan, thread_fields_and_frame_locals_interleave_by_name) {
  uint32_t worker = defineClass("app/Worker", {field("alpha"), field("run")}, vm().threadClass());
  uint32_t ant = newInstance("app/Ant");
  uint32_t bee = newInstance("app/Bee");
  uint32_t ants = vm().newObjectArray(vm().findClass("app/Ant"), 1);
  uint32_t f1 = newInstance("app/F1");
  uint32_t o2 = newInstance("app/O2");
  uint32_t t = threadRunning({{"run", {ant, ants}}, {"beta", {o2}}}, worker);
  vm().setField(t, "alpha", f1);
  vm().setField(t, "run", bee);

  EXPECT_THAT(linesAbout(call().references(t), {ant, bee, ants, f1, o2}),
              ElementsAre(line('I', f1, "app/F1", "alpha"), line('I', o2, "app/O2", "beta()"),
                          line('A', ants, "app/Ant", "run()"), line('I', ant, "app/Ant", "run()"),
                          line('I', bee, "app/Bee", "run")));
}

//   T(local in run()) ──► x
TEST_F(StackScan, the_calling_thread_is_never_scanned) {
  uint32_t x = newInstance("app/X");
  uint32_t t = threadRunning({{"run", {x}}});
  uint32_t main = vm().currentThread();

  EXPECT_THAT(linesAbout(call().references(t), {x}), ElementsAre(line('I', x, "app/X", "run()")));
  EXPECT_THAT(lines(call().referrers(x)), ElementsAre(line('I', t, "java/lang/Thread", "run()")));

  vm().setCurrentThread(t);
  EXPECT_THAT(linesAbout(call().references(t), {x}), IsEmpty());
  EXPECT_THAT(lines(call().referrers(x)), IsEmpty());
  vm().setCurrentThread(main);
}

// Only a live handle in the table passes: not a misaligned value, not the guard page, not the
// table's end, not a freed slot. A primitive array passes but makes no entry.
TEST_F(StackScan, only_live_objects_and_object_arrays_in_the_table_are_taken_from_slots) {
  uint32_t k = defineClass("app/K");
  uint32_t x = newInstance("app/X");
  uint32_t freed = newInstance("app/Freed");
  vm().freeSlot(freed);
  uint32_t ints = vm().newArray(simvm::kInt, 3);
  uint32_t arr = vm().newObjectArray(k, 1);
  uint32_t t = threadRunning(
      {{"run", {x + 4, x + 1, vm().tableFirst() - 8, vm().tableEnd(), freed, ints, k, arr, x, 7}}});

  EXPECT_THAT(linesAbout(call().references(t), {x, freed, ints, k, arr}),
              ElementsAre(line('A', arr, "app/K", "run()"), line('C', k, "app/K", "run()"),
                          line('I', x, "app/X", "run()")));
}

//   p (int[]) ◄── o.data,  p ◄── arr[1],  p ◄── T(local in run())
TEST_F(StackScan, a_primitive_array_is_reported_from_fields_and_elements_but_never_from_a_slot) {
  uint32_t holder = defineClass("app/Holder", {field("data", "[I")});
  uint32_t p = vm().newArray(simvm::kInt, 5);
  uint32_t o = vm().newObject(holder);
  vm().setField(o, "data", p);
  uint32_t arr = vm().newObjectArray(vm().objectClass(), 2);
  vm().setElement(arr, 1, p);
  threadRunning({{"run", {p}}});

  EXPECT_THAT(lines(call().referrers(p)), ElementsAre(line('I', o, "app/Holder", "data"),
                                                      line('A', arr, "java/lang/Object", "1")));
}

//   T: run() ──► a, b      [no MethodBlock] ──► c      work() ──► d
TEST_F(StackScan, a_frame_without_a_method_is_skipped_and_the_frames_outside_it_still_scanned) {
  uint32_t a = newInstance("app/A");
  uint32_t b = newInstance("app/B");
  uint32_t c = newInstance("app/C");
  uint32_t d = newInstance("app/D");
  uint32_t t = threadRunning({{"run", {a, b}}, {"", {c}}, {"work", {d}}});

  EXPECT_THAT(linesAbout(call().references(t), {a, b, c, d}),
              ElementsAre(line('I', a, "app/A", "run()"), line('I', b, "app/B", "run()"),
                          line('I', d, "app/D", "work()")));
  EXPECT_THAT(lines(call().referrers(c)), IsEmpty());
}

TEST_F(StackScan, a_thread_without_thread_block_or_frames_holds_nothing) {
  uint32_t x = newInstance("app/X");
  uint32_t idle = vm().newThread("idle");  // ThreadBlock without an innermost frame
  uint32_t parked = threadRunning({{"run", {x}}});
  vm().write32(vm().bodyOf(parked) + 12, 0);  // thread body word 12: the ThreadBlock

  EXPECT_THAT(linesAbout(call().references(idle), {x}), IsEmpty());
  EXPECT_THAT(linesAbout(call().references(parked), {x}), IsEmpty());
  EXPECT_THAT(lines(call().referrers(x)), IsEmpty());
}

// A frame list caught mid-change may loop; the scan must end.
TEST_F(StackScan, a_looping_frame_list_ends_the_scan) {
  uint32_t x = newInstance("app/X");
  std::vector<uint32_t> frames;
  uint32_t t = threadRunning({{"run", {x}}, {"work", {}}}, 0, &frames);
  vm().write32(frames[1] + 16, frames[1]);  // Frame word 16: the next outer frame

  simvm::Report refs = call().references(t);
  EXPECT_THAT(linesAbout(refs, {x}), IsEmpty());  // run() lies beyond the loop
  vm().write32(frames[0] + 16, frames[0]);
  vm().write32(frames[1] + 16, frames[0]);
  std::vector<std::string> found = linesAbout(call().references(t), {x});
  ASSERT_FALSE(found.empty());
  EXPECT_LE(found.size(), static_cast<size_t>(tv::kMaxFrames));
  EXPECT_EQ(found.front(), line('I', x, "app/X", "run()"));
}

TEST_F(StackScan, a_thread_subclass_is_a_thread_and_a_look_alike_object_is_not) {
  uint32_t daemon = defineClass("app/Daemon", {}, vm().threadClass());
  uint32_t worker = defineClass("app/PoolWorker", {}, daemon);
  uint32_t fake = defineClass(
      "app/Fake", {field("a", "I"), field("b", "I"), field("c", "I"), field("eetop", "I")});
  uint32_t x = newInstance("app/X");
  uint32_t t = threadRunning({{"run", {x}}}, worker);
  uint32_t lookAlike = vm().newObject(fake);
  vm().write32(vm().bodyOf(lookAlike) + 12, vm().read32(vm().bodyOf(t) + 12));

  EXPECT_THAT(lines(call().referrers(x)), ElementsAre(line('I', t, "app/PoolWorker", "run()")));
  EXPECT_THAT(lines(call().references(lookAlike)), IsEmpty());
}

// Sorting hides the order in which the scan finds slots, so the scan itself is asked here,
// through the library's core linked into this test.
//   T: run() ──► a, c     work() ──► b, a      (work is innermost)
TEST_F(StackScan, slots_are_collected_innermost_frame_first_then_in_slot_order) {
  uint32_t a = newInstance("app/A");
  uint32_t b = newInstance("app/B");
  uint32_t c = newInstance("app/C");
  uint32_t t = threadRunning({{"run", {a, c}}, {"work", {b, a}}});

  tv::beginHeapWalk();
  std::vector<std::string> found;
  tv::scanThreadStack(
      t, nullptr,
      [](uint32_t value, uint32_t method, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(std::to_string(value) + " " +
                                                                   tv::vmString(method));
      },
      &found);
  EXPECT_THAT(found, ElementsAre(std::to_string(b) + " work", std::to_string(a) + " work",
                                 std::to_string(a) + " run", std::to_string(c) + " run"));
}

}  // namespace
}  // namespace refs
