// findPathToRoot0 on small heaps drawn above each test.
#include <gtest/gtest.h>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/common/testkit.h"
#include "tests/path/path_call.h"

namespace {

using Path = std::vector<uint32_t>;
using pathtest::PathCall;

constexpr int32_t kPlenty = 1000;

class PathTest : public testkit::HeapTest {
 protected:
  // A class whose static reference fields s1 .. sN start out null.
  uint32_t holder(const std::string& name, int statics = 1) {
    simvm::ClassDecl decl;
    decl.name = name;
    for (int i = 1; i <= statics; i++)
      decl.fields.push_back({"s" + std::to_string(i), "Ljava/lang/Object;", true, 0});
    return vm().defineClass(decl);
  }

  // An object with reference fields a, b, c.
  uint32_t node(uint32_t a = 0, uint32_t b = 0, uint32_t c = 0) {
    if (nodeClass_ == 0) {
      simvm::ClassDecl decl;
      decl.name = "t/Node";
      for (const char* f : {"a", "b", "c"}) decl.fields.push_back({f, "Ljava/lang/Object;"});
      nodeClass_ = vm().defineClass(decl);
    }
    uint32_t n = vm().newObject(nodeClass_);
    vm().setField(n, "a", a);
    vm().setField(n, "b", b);
    vm().setField(n, "c", c);
    return n;
  }

  // A thread whose frames, outermost first, hold the given locals.
  uint32_t thread(const std::vector<Path>& frames) {
    uint32_t t = vm().newThread("worker");
    holdIn(t, frames);
    return t;
  }

  void holdIn(uint32_t t, const std::vector<Path>& frames) {
    for (size_t f = 0; f < frames.size(); f++) {
      uint32_t frame =
          vm().pushFrame(t, "run" + std::to_string(f), static_cast<uint16_t>(frames[f].size()));
      for (size_t i = 0; i < frames[f].size(); i++)
        vm().setLocal(frame, static_cast<uint16_t>(i), frames[f][i]);
    }
  }

  void freshHeap(const simvm::VmConfig& config) {
    remake(config);
    nodeClass_ = 0;
  }

  PathCall path(uint32_t target, int32_t maxNodes = kPlenty) {
    return pathtest::callPath(vm(), call(), target, maxNodes, pathtest::newMessageArray(vm()));
  }

  uint32_t nodeClass_ = 0;
};

// --- roots ----------------------------------------------------------------------------------

//   K.s1 ──► target
TEST_F(PathTest, a_static_field_gives_the_class_then_the_target) {
  uint32_t k = holder("t/K");
  uint32_t target = node();
  vm().setStatic(k, "s1", target);
  PathCall p = path(target);
  EXPECT_EQ(p.handles, (Path{k, target}));
  EXPECT_NE(p.array, 0u);
}

//   T(local in run0()) ──► target
TEST_F(PathTest, another_threads_local_gives_the_thread_then_the_target) {
  uint32_t target = node();
  uint32_t t = thread({{target}});
  EXPECT_EQ(path(target).handles, (Path{t, target}));
}

//   K1.s1 ──► target ◄── K2.s1        K1 has the lower handle
//   T(local) ──► target              T made before K1 in the second heap
TEST_F(PathTest, the_lowest_root_in_address_order_wins_within_a_level) {
  uint32_t k1 = holder("t/K1");
  uint32_t k2 = holder("t/K2");
  uint32_t target = node();
  vm().setStatic(k2, "s1", target);
  vm().setStatic(k1, "s1", target);
  thread({{target}});
  EXPECT_EQ(path(target).handles, (Path{k1, target}));

  freshHeap({});
  uint32_t t = vm().newThread("early");
  uint32_t k = holder("t/K");
  target = node();
  holdIn(t, {{target}});
  vm().setStatic(k, "s1", target);
  EXPECT_EQ(path(target).handles, (Path{t, target}));
}

//   K1.s1 ──► a ──► target ◄── K2.s1
TEST_F(PathTest, a_shorter_path_wins_over_a_lower_root) {
  uint32_t k1 = holder("t/K1");
  uint32_t k2 = holder("t/K2");
  uint32_t target = node();
  vm().setStatic(k1, "s1", node(target));
  vm().setStatic(k2, "s1", target);
  EXPECT_EQ(path(target).handles, (Path{k2, target}));
}

//   K.s1 ──► x            (x leads nowhere)
//   K.s2 ──► b ──► target
//   K.s3 ──► a ──► target  (a has the lower handle)
TEST_F(PathTest, a_class_links_through_its_first_static_in_table_order) {
  uint32_t k = holder("t/K", 3);
  uint32_t target = node();
  uint32_t a = node(target);
  uint32_t b = node(target);
  vm().setStatic(k, "s1", node());
  vm().setStatic(k, "s2", b);
  vm().setStatic(k, "s3", a);
  EXPECT_EQ(path(target).handles, (Path{k, b, target}));
}

//   K.s1 ──► s: Sub { own ──► n2, (Node) a ──► n1, b ──► n1 }
//   n1 ──► target ◄── n2      (n1 has the lower handle)
TEST_F(PathTest, an_object_links_through_its_first_field_own_class_first) {
  uint32_t k = holder("t/K");
  uint32_t target = node();
  uint32_t n1 = node(target);
  uint32_t n2 = node(target);
  simvm::ClassDecl decl;
  decl.name = "t/Sub";
  decl.super = vm().findClass("t/Node");
  decl.fields = {{"own", "Ljava/lang/Object;"}};
  uint32_t s = vm().newObject(vm().defineClass(decl));
  vm().setField(s, "a", n1);
  vm().setField(s, "b", n1);
  vm().setField(s, "own", n2);
  vm().setStatic(k, "s1", s);
  EXPECT_EQ(path(target).handles, (Path{k, s, n2, target}));
}

//   K.s1 ──► arr[ x, n2, n1 ]      n1 ──► target ◄── n2    (n1 has the lower handle)
TEST_F(PathTest, an_array_links_through_its_lowest_element_that_reaches_the_level) {
  uint32_t k = holder("t/K");
  uint32_t target = node();
  uint32_t n1 = node(target);
  uint32_t n2 = node(target);
  uint32_t arr = vm().newObjectArray(vm().objectClass(), 3);
  vm().setElement(arr, 0, node());
  vm().setElement(arr, 1, n2);
  vm().setElement(arr, 2, n1);
  vm().setStatic(k, "s1", arr);
  EXPECT_EQ(path(target).handles, (Path{k, arr, n2, target}));
}

//   T: run1() [innermost] holds n1;  run0() [outer] holds n2, 0
//   n1 ──► target ◄── n2
TEST_F(PathTest, a_thread_links_through_the_last_entry_of_its_stack_list) {
  uint32_t target = node();
  uint32_t n1 = node(target);
  uint32_t n2 = node(target);
  uint32_t t = thread({{n2, 0}, {n1}});
  EXPECT_EQ(path(target).handles, (Path{t, n2, target}));
}

//   T: run1() [no MethodBlock] holds target;  run0() holds a ──► target
TEST_F(PathTest, a_frame_without_a_method_block_holds_nothing_but_outer_frames_count) {
  uint32_t target = node();
  uint32_t a = node(target);
  uint32_t t = thread({{a}});
  vm().setLocal(vm().pushFrame(t, "", 1), 0, target);
  EXPECT_EQ(path(target).handles, (Path{t, a, target}));
}

//   main (the caller): run0() holds target
TEST_F(PathTest, the_callers_own_locals_are_never_a_root) {
  uint32_t target = node();
  holdIn(vm().currentThread(), {{target, target}});
  EXPECT_EQ(path(target, 2).message, "Search Failed");
  EXPECT_EQ(path(target, 1).message, "Exceeded maximum nodes");
  EXPECT_EQ(path(target, 0).message, "Exceeded maximum nodes");
}

//   K.s1 ──► main.target ──► target           main is the caller: its fields still link
TEST_F(PathTest, the_callers_fields_link_though_its_stack_is_never_scanned) {
  uint32_t target = node();
  uint32_t main = vm().currentThread();
  vm().setField(main, "target", target);
  EXPECT_EQ(path(target).message, "Search Failed");
  uint32_t k = holder("t/K");
  vm().setStatic(k, "s1", main);
  EXPECT_EQ(path(target).handles, (Path{k, main, target}));
}

//   T.target ──► target ◄── T(local)        then   K.s1 ──► T
TEST_F(PathTest, a_thread_linked_through_a_field_is_no_longer_a_root) {
  uint32_t target = node();
  uint32_t t = thread({{target}});
  vm().setField(t, "target", target);
  EXPECT_EQ(path(target).message, "Search Failed");
  uint32_t k = holder("t/K");
  vm().setStatic(k, "s1", t);
  EXPECT_EQ(path(target).handles, (Path{k, t, target}));
}

//   K.s1 ──► c ──► b ──► target      b has the lower handle, c is met after b in a pass
TEST_F(PathTest, a_node_found_in_a_pass_is_followed_only_in_the_next_pass) {
  uint32_t k = holder("t/K");
  uint32_t target = node();
  uint32_t b = node(target);
  uint32_t c = node(b);
  vm().setStatic(k, "s1", c);
  EXPECT_EQ(path(target, 2).message, "Exceeded maximum nodes");
  EXPECT_EQ(path(target, 3).handles, (Path{k, c, b, target}));
}

//   K.s1 ──► a ⇄ b ──► target ──► target       (a ──► target as well)
TEST_F(PathTest, cycles_do_not_trap_the_search) {
  uint32_t k = holder("t/K");
  uint32_t target = node();
  vm().setField(target, "a", target);
  uint32_t b = node(target);
  uint32_t a = node(b, target);
  vm().setField(b, "b", a);
  vm().setStatic(k, "s1", a);
  EXPECT_EQ(path(target).handles, (Path{k, a, target}));
  EXPECT_EQ(path(b).handles, (Path{k, a, b}));
}

//   K.s1 ──► d ──► target      d's slot is freed
//   T(local) ──► K             a class object as the target
TEST_F(PathTest, freed_slots_and_class_objects_refer_to_nothing_by_their_fields) {
  uint32_t k = holder("t/K");
  uint32_t target = node();
  uint32_t d = node(target);
  vm().setStatic(k, "s1", d);
  vm().freeSlot(d);
  EXPECT_EQ(path(target).message, "Search Failed");
  uint32_t t = thread({{k}});
  EXPECT_EQ(path(k).handles, (Path{t, k}));  // a class object is a valid target
}

// --- Reference objects ------------------------------------------------------------------------

//   K.s1 ──► W ──referent──► target         then   T(local) ──► W
TEST_F(PathTest, a_weak_reference_is_followed_only_from_a_stack) {
  uint32_t k = holder("t/K");
  uint32_t target = node();
  uint32_t w = vm().newWeakReference(target);
  vm().setStatic(k, "s1", w);
  EXPECT_EQ(path(target).message, "Search Failed");
  uint32_t t = thread({{w}});
  EXPECT_EQ(path(target).handles, (Path{t, w, target}));
}

//   K.s1 ──► W (the target) ◄── x ◄── K.s2        then   T(local) ──► W
TEST_F(PathTest, a_reference_target_is_reached_only_through_another_threads_local) {
  uint32_t k = holder("t/K", 2);
  uint32_t w = vm().newWeakReference(0, vm().softReferenceClass());
  vm().setStatic(k, "s1", w);
  vm().setStatic(k, "s2", node(w));
  EXPECT_EQ(path(w).message, "Search Failed");
  uint32_t t = thread({{w}});
  EXPECT_EQ(path(w).handles, (Path{t, w}));
}

//   K.s1 ──► m: MyRef2 ◄─ MyRef ◄─ WeakReference;   m.referent ──► target
TEST_F(PathTest, subclasses_of_reference_subclasses_are_filtered_too) {
  simvm::ClassDecl mine;
  mine.name = "t/MyRef";
  mine.super = vm().weakReferenceClass();
  mine.fields = {{"extra", "Ljava/lang/Object;"}};
  simvm::ClassDecl deeper;
  deeper.name = "t/MyRef2";
  deeper.super = vm().defineClass(mine);
  uint32_t k = holder("t/K");
  uint32_t target = node();
  uint32_t m = vm().newWeakReference(0, vm().defineClass(deeper));
  vm().setField(m, "extra", target);
  vm().setStatic(k, "s1", m);
  EXPECT_EQ(path(target).message, "Search Failed");
}

//   K.s1 ──► WeakReference[] [target]          filtered: its element class is a Reference one
//   K.s2 ──► Reference[] [target]              followed: Reference itself is not a subclass
//   K.s3 ──► WeakReference[][] [target]        followed: its element class is an array class
TEST_F(PathTest, an_array_counts_as_a_reference_when_its_element_class_is_a_reference_subclass) {
  uint32_t k = holder("t/K", 3);
  uint32_t target = node();
  uint32_t weaks = vm().newObjectArray(vm().weakReferenceClass(), 1);
  vm().setElement(weaks, 0, target);
  vm().setStatic(k, "s1", weaks);
  EXPECT_EQ(path(target).message, "Search Failed");

  uint32_t refs = vm().newObjectArray(vm().referenceClass(), 1);
  vm().setElement(refs, 0, target);
  vm().setStatic(k, "s2", refs);
  EXPECT_EQ(path(target).handles, (Path{k, refs, target}));

  vm().setStatic(k, "s2", 0);
  uint32_t nested = vm().newObjectArray(vm().arrayClassOf(vm().weakReferenceClass()), 1);
  vm().setElement(nested, 0, target);
  vm().setStatic(k, "s3", nested);
  EXPECT_EQ(path(target).handles, (Path{k, nested, target}));
}

//   K.s1 ──► W ──referent──► target,   FindClass("java/lang/ref/Reference") answers 0
TEST_F(PathTest, without_the_reference_class_nothing_is_filtered) {
  uint32_t k = holder("t/K");
  uint32_t target = node();
  uint32_t w = vm().newWeakReference(target);
  vm().setStatic(k, "s1", w);
  vm().hideClass("java/lang/ref/Reference");
  EXPECT_EQ(path(target).handles, (Path{k, w, target}));
}

//   call 1 sees M (a WeakReference subclass) through its instance; then the instance is freed
//   and Reference can no longer be found.  K.s1 ──► M[] [target] is still not followed.
TEST_F(PathTest, reference_classes_found_by_earlier_calls_stay_registered) {
  simvm::ClassDecl decl;
  decl.name = "t/M";
  decl.super = vm().weakReferenceClass();
  uint32_t m = vm().defineClass(decl);
  uint32_t instance = vm().newWeakReference(0, m);
  uint32_t target = node();
  EXPECT_EQ(path(target).message, "Search Failed");  // registers M
  vm().freeSlot(instance);
  vm().hideClass("java/lang/ref/Reference");
  uint32_t k = holder("t/K");
  uint32_t arr = vm().newObjectArray(m, 1);
  vm().setElement(arr, 0, target);
  vm().setStatic(k, "s1", arr);
  EXPECT_EQ(path(target).message, "Search Failed");

  // A library that never saw M follows the array.
  testkit::Heap fresh;
  fresh.vm.hideClass("java/lang/ref/Reference");
  decl.super = fresh.vm.weakReferenceClass();
  uint32_t m2 = fresh.vm.defineClass(decl);
  uint32_t k2 = fresh.vm.defineClass([] {
    simvm::ClassDecl h;
    h.name = "t/K";
    h.fields = {{"s1", "Ljava/lang/Object;", true, 0}};
    return h;
  }());
  uint32_t target2 = fresh.vm.newObject(fresh.vm.objectClass());
  uint32_t arr2 = fresh.vm.newObjectArray(m2, 1);
  fresh.vm.setElement(arr2, 0, target2);
  fresh.vm.setStatic(k2, "s1", arr2);
  PathCall p = pathtest::callPath(fresh.vm, fresh.call, target2, kPlenty,
                                  pathtest::newMessageArray(fresh.vm));
  EXPECT_EQ(p.handles, (Path{k2, arr2, target2}));
}

// --- the node limit -----------------------------------------------------------------------------

//   c ──► b ──► a ──► target        (no root; K.s1 ──► c added later)
TEST_F(PathTest, the_limit_counts_the_nodes_found_before_each_level) {
  uint32_t target = node();
  uint32_t c = node(node(node(target)));
  EXPECT_EQ(path(target, 3).message, "Exceeded maximum nodes");
  EXPECT_EQ(path(target, 4).message, "Exceeded maximum nodes");
  EXPECT_EQ(path(target, 5).message, "Search Failed");
  uint32_t k = holder("t/K");
  vm().setStatic(k, "s1", c);
  EXPECT_EQ(path(target, 3).message, "Exceeded maximum nodes");  // stops before c's level
  EXPECT_EQ(path(target, 4).handles.size(), 5u);
}

//   K.s1 ──► target ◄── a
TEST_F(PathTest, a_limit_of_zero_one_or_below_zero_still_expands_the_first_level) {
  uint32_t target = node();
  uint32_t lone = node();
  node(lone);
  uint32_t k = holder("t/K");
  vm().setStatic(k, "s1", target);
  for (int32_t limit : {1, 0, -1, INT32_MIN}) {
    EXPECT_EQ(path(target, limit).handles, (Path{k, target})) << limit;
    EXPECT_EQ(path(lone, limit).message, "Exceeded maximum nodes") << limit;
  }
}

TEST_F(PathTest, the_limit_is_tested_before_the_empty_level) {
  uint32_t target = node();
  EXPECT_EQ(path(target, 1).message, "Exceeded maximum nodes");
  EXPECT_EQ(path(target, 2).message, "Search Failed");
}

//   b ──► a ──► target, no root: doubling these limits in 32 bits would wrap below zero
TEST_F(PathTest, limits_of_two_to_the_thirtieth_and_above_do_not_wrap) {
  uint32_t target = node();
  node(node(target));
  for (int32_t limit : {1 << 30, (1 << 30) + 1, INT32_MAX})
    EXPECT_EQ(path(target, limit).message, "Search Failed") << limit;
}

// --- arguments
// ------------------------------------------------------------------------------------

TEST_F(PathTest, a_target_that_is_no_object_or_object_array_fails_at_once) {
  uint32_t k = holder("t/K");
  uint32_t freed = node();
  uint32_t ints = vm().newArray(simvm::kInt, 3);
  uint32_t live = node();
  vm().setStatic(k, "s1", node(freed, ints, live));
  vm().freeSlot(freed);
  for (uint32_t target : {0u, freed, ints, live + 4, live + 1, vm().tableFirst() - 8,
                          vm().tableEnd(), 0xFFFFFFF8u, 0x7FFFFFF8u}) {
    PathCall p = path(target);
    EXPECT_EQ(p.array, 0u) << testkit::hex(target);
    EXPECT_EQ(p.message, "Search Failed") << testkit::hex(target);
  }
  EXPECT_EQ(path(live).handles.size(), 3u);
}

TEST_F(PathTest, the_message_array_is_untouched_on_success) {
  uint32_t k = holder("t/K");
  uint32_t target = node();
  vm().setStatic(k, "s1", target);
  uint32_t messageOut = pathtest::newMessageArray(vm());
  uint32_t before = vm().newString("unchanged");
  vm().setElement(messageOut, 0, before);
  PathCall p = pathtest::callPath(vm(), call(), target, kPlenty, messageOut);
  EXPECT_EQ(p.handles, (Path{k, target}));
  EXPECT_EQ(vm().getElement(messageOut, 0), before);
}

TEST_F(PathTest, a_message_argument_that_cannot_take_the_message_is_left_alone) {
  uint32_t target = node();
  uint32_t plain = node(1, 2, 3);
  uint32_t ints = vm().newArray(simvm::kInt, 1);
  vm().setElement(ints, 0, 77);
  uint32_t empty = vm().newObjectArray(vm().stringClass(), 0);
  uint32_t emptyBody = vm().bodyOf(empty);
  uint32_t elementClassWord = vm().read32(emptyBody);
  for (uint32_t messageOut : {0u, plain, ints, empty, plain + 4, 0xFFFFFFF8u}) {
    std::vector<uint32_t> slots{target, static_cast<uint32_t>(kPlenty), messageOut};
    ASSERT_EQ(call().call("findPathToRoot0", slots), 1);
    EXPECT_EQ(slots[0], 0u);
  }
  EXPECT_EQ(vm().getField(plain, "a"), 1u);
  EXPECT_EQ(vm().getField(plain, "b"), 2u);
  EXPECT_EQ(vm().getElement(ints, 0), 77u);
  EXPECT_EQ(vm().read32(emptyBody), elementClassWord);  // the word after no elements
}

// The region's end, found by reading: the VM refuses reads past it.
uint32_t regionEnd(simvm::Vm& vm) {
  uint32_t low = vm.tableFirst(), high = 0xFFFFFFFCu;  // low is readable, high is not
  while (high - low > 4) {
    uint32_t mid = low + (high - low) / 2 / 4 * 4;
    try {
      vm.read32(mid);
      low = mid;
    } catch (const simvm::VmError&) {
      high = mid;
    }
  }
  return low + 4;
}

//   K.s1 ──► n1 ──► n2 ──► ... ──► n300 (target); the arena then has room for the message
//   but not for an int array of 302 elements
TEST_F(PathTest, a_result_array_the_vm_cannot_allocate_gives_0_and_says_why) {
  uint32_t k = holder("t/K");
  uint32_t target = node();
  uint32_t n = target;
  for (int i = 0; i < 300; i++) n = node(n);
  vm().setStatic(k, "s1", n);
  uint32_t messageOut = pathtest::newMessageArray(vm());
  uint32_t free = regionEnd(vm()) - (vm().regionBase() + vm().bytesUsed());
  vm().alloc(free - 600, 1);
  PathCall p = pathtest::callPath(vm(), call(), target, kPlenty, messageOut);
  EXPECT_EQ(p.array, 0u);
  EXPECT_EQ(p.message, "Search Failed - couldn't allocate the result array");
}

#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's shadow memory does not fit under a limit
// The process's address space, in bytes.
[[maybe_unused]] uint64_t addressSpaceInUse() {
  unsigned long pages = 0;
#if defined(__linux__)
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
#else
  return pages;
#endif
}

//   K.s1 ──► n ──► target, among 200000 other objects; the index needs megabytes, the search
//   that walks the heap once per level only a few pages
TEST_F(PathTest, without_memory_for_the_index_the_search_walks_the_heap_and_finds_the_path) {
#if !defined(__linux__)
  GTEST_SKIP() << "needs a limit on the address space (setrlimit), which Windows lacks";
#else
  simvm::VmConfig config;
  config.slots = 250000;
  config.arenaBytes = 16u << 20;
  freshHeap(config);
  uint32_t k = holder("t/K");
  uint32_t target = node();
  uint32_t n = node(target);
  vm().setStatic(k, "s1", n);
  for (int i = 0; i < 200000; i++) node(target);
  std::vector<uint32_t> want{k, n, target};
  EXPECT_EXIT(
      {
        rlimit limit;
        limit.rlim_cur = limit.rlim_max = addressSpaceInUse() + (1u << 20);
        setrlimit(RLIMIT_AS, &limit);
        PathCall p = path(target);
        std::exit(p.handles == want && p.message.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(path(target).handles, want);
#endif
}
#endif

TEST_F(PathTest, handles_above_two_gigabytes_come_back_whole) {
  if (!simvm::Vm::highPlacementAvailable()) GTEST_SKIP() << "no room above 2 GB here";
  simvm::VmConfig config;
  config.high = true;
  freshHeap(config);
  uint32_t k = holder("t/K");
  uint32_t target = node();
  uint32_t a = node(target);
  vm().setStatic(k, "s1", a);
  ASSERT_GE(target, 0x80000000u);
  EXPECT_EQ(path(target).handles, (Path{k, a, target}));
}

}  // namespace
