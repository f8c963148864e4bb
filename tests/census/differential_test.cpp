// The library's census and instance listing against the plain model, byte for byte, on many
// seeded random heaps with a few damaged or unusual classes added.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/census/census_model.h"
#include "tests/common/random_heap.h"
#include "tests/common/testkit.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kHeaps = 300;  // the sanitizers slow every read
#else
constexpr uint32_t kHeaps = 800;
#endif
constexpr int kCensusCalls = 4;
constexpr int kListingCalls = 3;

uint32_t below(std::mt19937& rng, size_t n) {
  return std::uniform_int_distribution<uint32_t>(0, static_cast<uint32_t>(n - 1))(rng);
}

// What the random heaps lack: a class without a name, a second class of an existing name (a
// string of its own), two classes sharing one name string, a superclass word that is no
// class, a class handle freed while its instances live. Some instances and arrays of each.
// With `many`, a hundred more classes with an instance each, so that the census's maps grow.
void addUnusualClasses(simvm::Vm& vm, std::mt19937& rng, bool many) {
  std::vector<uint32_t> app;
  for (uint32_t c : vm.classes())
    if (vm.className(c).rfind("t/", 0) == 0) app.push_back(c);
  if (app.empty()) return;
  auto any = [&] { return app[below(rng, app.size())]; };
  auto populate = [&](uint32_t cls) {
    for (uint32_t i = 0, n = 1 + below(rng, 3); i < n; i++) vm.newObject(cls);
    vm.newObjectArray(cls, below(rng, 3));
  };
  for (uint32_t i = 0; many && i < 100; i++) {
    simvm::ClassDecl decl;
    decl.name = "t/M" + std::to_string(i);
    decl.super = below(rng, 2) ? any() : 0;
    vm.newObject(vm.defineClass(decl));
  }
  const uint32_t roll = below(rng, 64);  // each case in about half the heaps, independently
  if (roll & 1) {
    simvm::ClassDecl decl;
    decl.name = "t/Nameless";
    decl.noName = true;
    decl.super = any();
    populate(vm.defineClass(decl));
  }
  if (roll & 2) {
    simvm::ClassDecl decl;
    decl.name = vm.className(any());
    decl.sharedName = true;
    decl.super = below(rng, 2) ? any() : 0;
    populate(vm.defineClass(decl));
  }
  // The word offsets below are the VM's: the name at descriptor offset 4, the superclass at 16.
  if (roll & 4) {
    uint32_t a = any(), b = any();
    vm.write32(vm.descriptorOf(b) + 4, vm.read32(vm.descriptorOf(a) + 4));
  }
  if (roll & 8)
    vm.write32(vm.descriptorOf(any()) + 16, below(rng, 2) ? 12345 : vm.tableFirst() + 4);
  if (roll & 16) {
    uint32_t gone = any();
    populate(gone);
    vm.freeSlot(gone);
  }
  // A superclass word naming an int array whose second element is the address of a real
  // class's name: read as a class, it has that name but no record can be made for it. Its
  // subclass's objects come before and after the first object of the real class, whose
  // record they are then credited to.
  if (roll & 32) {
    simvm::ClassDecl late;
    late.name = "t/Late";
    const uint32_t real = vm.defineClass(late);
    const uint32_t forged = vm.newArray(simvm::kInt, 8);  // element 4, read as superclass: 0
    vm.setElement(forged, 1, vm.read32(vm.descriptorOf(real) + 4));
    simvm::ClassDecl below;
    below.name = "t/Forged";
    const uint32_t sub = vm.defineClass(below);
    vm.write32(vm.descriptorOf(sub) + 16, forged);
    populate(sub);
    populate(real);
    populate(sub);
  }
}

std::string pickPrefix(simvm::Vm& vm, std::mt19937& rng) {
  std::vector<uint32_t> classes = vm.classes();
  std::string name = vm.className(classes[below(rng, classes.size())]);
  switch (below(rng, 10)) {
    case 0:
      return "";
    case 1:
      return "t/";
    case 2:
      return "t/C1";  // t/C1 and t/C10... but not t/C2
    case 3:
      return "java/lang/";
    case 4:
      return "[";
    case 5:
      return "none/";
    case 6:
      return name;
    case 7:
      return name + "x";
    default:
      return name.substr(0, below(rng, name.size() + 1));
  }
}

uint32_t pickTarget(simvm::Vm& vm, const pathtest::RandomHeap& made, std::mt19937& rng) {
  std::vector<uint32_t> classes = vm.classes();
  switch (below(rng, 8)) {
    case 0:
      return vm.classClass();
    case 1:
      return vm.objectClass();
    case 2:
      return made.objects[below(rng, made.objects.size())];  // no class
    case 3:
      return made.junk[below(rng, made.junk.size())];
    default:
      return classes[below(rng, classes.size())];
  }
}

// NULs shown as '|', for reading a mismatch.
std::string readable(std::string bytes) {
  std::replace(bytes.begin(), bytes.end(), '\0', '|');
  return bytes;
}

TEST(CensusDifferential, library_writes_the_models_bytes_on_random_heaps) {
  simvm::VmConfig config;
  config.slots = 2048;
  config.arenaBytes = 4u << 20;
  censusmodel::Reached reached;
  int nonEmptyListings = 0, sortedListingsWithTies = 0;
  for (uint32_t seed = 1; seed <= kHeaps; seed++) {
    config.high = seed % 5 == 0 && simvm::Vm::highPlacementAvailable();  // negative handles
    testkit::Heap heap(config);
    std::mt19937 rng(seed);
    pathtest::RandomHeap made = pathtest::buildRandomHeap(heap.vm, rng, {});
    addUnusualClasses(heap.vm, rng, seed % 10 == 0);
    for (int call = 0; call < kCensusCalls; call++) {
      const std::string prefix = pickPrefix(heap.vm, rng);
      const bool credit = below(rng, 2), byCount = below(rng, 2);
      const std::string got = heap.call.classes(prefix, credit, byCount).bytes;
      const heapmodel::Heap model(heap.vm);  // after the call, which made the prefix string
      const std::string want = censusmodel::classes(model, prefix, credit, byCount, &reached);
      ASSERT_EQ(readable(got), readable(want))
          << "seed " << seed << " call " << call << " prefix \"" << prefix << "\" credit " << credit
          << " byCount " << byCount;
    }
    for (int call = 0; call < kListingCalls; call++) {
      const uint32_t target = pickTarget(heap.vm, made, rng);
      const bool subclasses = below(rng, 2);
      static const int32_t kArrays[] = {0, 1, 0, 1, 2, -1};
      const int32_t arrays = kArrays[below(rng, std::size(kArrays))];
      const std::string got = heap.call.handles(target, subclasses, arrays).bytes;
      const heapmodel::Heap model(heap.vm);
      const std::string want = censusmodel::handles(model, target, subclasses, arrays);
      ASSERT_EQ(readable(got), readable(want))
          << "seed " << seed << " listing " << call << " target " << testkit::hex(target)
          << " subclasses " << subclasses << " arrays " << arrays;
      if (want.size() > 2) nonEmptyListings++;
      // Several records of one class sorted by name: ties that must keep their list order.
      if (subclasses && std::count(want.begin(), want.end(), '\0') > 3) sortedListingsWithTies++;
    }
  }
  // The heaps must reach the cases where a census can go wrong.
  EXPECT_GT(reached.superclassCredits, 1000);
  EXPECT_GT(reached.arrayRecords, 1000);
  EXPECT_GT(reached.classesSkippedByPrefix, 1000);
  EXPECT_GT(reached.namelessClasses, 50);
  EXPECT_GT(reached.sharedNameAddress, 50);
  EXPECT_GT(reached.equalNames, 50);
  EXPECT_GT(reached.grownMaps, static_cast<int>(kHeaps / 40));
  EXPECT_GT(nonEmptyListings, static_cast<int>(kHeaps / 2));  // fewer heaps under the sanitizers
  EXPECT_GT(sortedListingsWithTies, static_cast<int>(kHeaps / 10));
}

// More classes than the census keeps tallies for in its cache (1024 of each kind), their
// objects made in a shuffled order, so that classes meet in a cache slot and the counts of
// the one that found it taken go the slow way; their counts must not mix.
TEST(CensusDifferential, the_counts_of_thousands_of_classes_stay_apart) {
  simvm::VmConfig config;
  config.slots = 16384;
  config.arenaBytes = 8u << 20;
  testkit::Heap heap(config);
  std::mt19937 rng(7);
  std::vector<uint32_t> made;
  for (uint32_t i = 0; i < 2500; i++) {
    simvm::ClassDecl decl;
    decl.name = (i % 2 ? "t/A" : "t/B") + std::to_string(i);
    decl.super = !made.empty() && below(rng, 2) ? made[below(rng, made.size())] : 0;
    const uint32_t cls = heap.vm.defineClass(decl);
    for (uint32_t k = below(rng, 4); k > 0; k--) made.push_back(cls);
  }
  std::shuffle(made.begin(), made.end(), rng);
  for (size_t i = 0; i < made.size(); i++)
    if (i % 3 == 0) {
      heap.vm.newObjectArray(made[i], below(rng, 4));
    } else {
      heap.vm.newObject(made[i]);
    }
  for (const char* prefix : {"t/", "t/A", ""})
    for (int credit = 0; credit < 2; credit++) {
      const std::string got = heap.call.classes(prefix, credit, 1).bytes;
      const heapmodel::Heap model(heap.vm);
      censusmodel::Reached unused;
      const std::string want = censusmodel::classes(model, prefix, credit, 1, &unused);
      ASSERT_EQ(readable(got), readable(want)) << "prefix \"" << prefix << "\" credit " << credit;
    }
  // The listing keeps the classes that match nothing in such a cache too.
  int listed = 0;
  for (int call = 0; call < 12; call++) {
    const uint32_t target = made[below(rng, made.size())];
    const int32_t arrays = call % 2;
    const std::string got = heap.call.handles(target, 1, arrays).bytes;
    const heapmodel::Heap model(heap.vm);
    const std::string want = censusmodel::handles(model, target, 1, arrays);
    ASSERT_EQ(readable(got), readable(want)) << "target " << testkit::hex(target);
    listed += want.size() > 2;
  }
  EXPECT_GT(listed, 6);
}

}  // namespace
