// Where the VM's region lies and how its fixed parts are arranged.
#include <gtest/gtest.h>
#include "simvm/vm.h"
#include "tests/common/os_testing.h"

namespace {

using simvm::Vm;
using simvm::VmConfig;
using simvm::VmError;

bool readableByKernel(uint32_t address, size_t n) {
  return testkit::systemSaysReadable(address, n);
}

// The handles the constructor makes, in the order it makes them.
std::vector<uint32_t> wellKnownHandles(const Vm& vm) {
  std::vector<uint32_t> h = vm.classes();
  h.resize(12);
  h.push_back(vm.threads().at(0));
  return h;
}

TEST(Region, normal_placement_keeps_every_address_below_two_gigabytes) {
  Vm vm;
  const uint32_t obj = vm.newObject(vm.objectClass());
  EXPECT_GE(vm.regionBase(), 0x10000000u);
  EXPECT_LT(uint64_t(vm.regionBase()) + vm.bytesUsed(), 0x80000000ull);
  EXPECT_LT(obj, 0x80000000u);
  EXPECT_LT(vm.bodyOf(obj), 0x80000000u);
}

TEST(Region, high_placement_puts_handles_above_two_gigabytes_and_below_four) {
  if (!Vm::highPlacementAvailable()) GTEST_SKIP() << "no room above 2 GB in this process";
  Vm vm(VmConfig{.high = true});
  EXPECT_GE(vm.regionBase(), 0x80000000u);
  const uint32_t s = vm.newString("high");
  EXPECT_GE(s, 0x80000000u);
  EXPECT_EQ(vm.stringValue(s), "high");
  // Filling the arena to its end never wraps an address past 4 GB.
  uint32_t last = 0;
  try {
    for (;;) last = vm.alloc(1 << 16, 8);
  } catch (const VmError&) {
  }
  EXPECT_GT(last, vm.regionBase());
  EXPECT_LE(uint64_t(last) + (1 << 16), 0x100000000ull);
  EXPECT_LE(uint64_t(vm.regionBase()) + vm.bytesUsed(), 0x100000000ull);
}

TEST(Region, guard_page_is_unreadable_and_the_first_slot_is_readable) {
  Vm vm;
  EXPECT_EQ(vm.tableFirst(), vm.regionBase() + 4096);
  EXPECT_FALSE(readableByKernel(vm.regionBase(), 4));
  EXPECT_FALSE(readableByKernel(vm.tableFirst() - 4, 4));
  EXPECT_TRUE(readableByKernel(vm.tableFirst(), 8));
  EXPECT_TRUE(readableByKernel(vm.tableEnd() - 8, 8 + 2408 + 96));
}

TEST(Region, anchor_descriptor_sits_2408_bytes_above_the_table_end_on_an_8_byte_boundary) {
  for (uint32_t slots : {1000u, 1001u, 1u << 14}) {
    Vm vm(VmConfig{.slots = slots});
    const uint32_t anchor = vm.findClass("java/lang/NoClassDefFoundError");
    ASSERT_NE(anchor, 0u);
    EXPECT_EQ(vm.tableEnd() - vm.tableFirst(), slots * 8);
    EXPECT_EQ(vm.bodyOf(anchor), vm.tableEnd() + 2408);
    EXPECT_EQ(vm.bodyOf(anchor) % 8, 0u);
    EXPECT_EQ(vm.descriptorOf(anchor), vm.bodyOf(anchor));
  }
}

TEST(Region, handles_ascend_from_the_first_slot_and_are_never_reused) {
  Vm vm;
  const uint32_t used = vm.slotsUsed();
  const uint32_t a = vm.newObject(vm.objectClass());
  vm.freeSlot(a);
  const uint32_t b = vm.newObject(vm.objectClass());
  EXPECT_EQ(a, vm.tableFirst() + 8 * used);
  EXPECT_EQ(b, a + 8);
  EXPECT_EQ(vm.bodyOf(a), 0u);
  EXPECT_EQ(vm.slotsUsed(), used + 2);
  // Slots not handed out yet are free.
  EXPECT_EQ(vm.read32(b + 8), 0u);
  EXPECT_EQ(vm.read32(vm.tableEnd() - 8), 0u);
}

TEST(Region, two_vms_made_one_after_the_other_give_the_same_well_known_handles) {
  std::vector<uint32_t> first;
  uint32_t base = 0;
  {
    Vm vm;
    base = vm.regionBase();
    first = wellKnownHandles(vm);
  }
  Vm again;
  ASSERT_EQ(again.regionBase(), base);
  EXPECT_EQ(wellKnownHandles(again), first);
  EXPECT_EQ(first[0], again.objectClass());
  EXPECT_EQ(first[0], again.tableFirst());
}

TEST(Region, two_live_vms_get_separate_regions_and_the_newest_is_current) {
  Vm a;
  Vm b;
  EXPECT_NE(a.regionBase(), b.regionBase());
  EXPECT_EQ(Vm::current(), &b);
  a.makeCurrent();
  EXPECT_EQ(Vm::current(), &a);
}

TEST(Region, a_full_table_or_arena_raises_and_leaves_the_vm_usable) {
  Vm small(VmConfig{.slots = 20, .arenaBytes = 64 << 10});
  const uint32_t room = 20 - small.slotsUsed();
  for (uint32_t i = 0; i < room; ++i) small.newObject(small.objectClass());
  EXPECT_THROW(small.newObject(small.objectClass()), VmError);
  EXPECT_THROW(small.newString("x"), VmError);
  EXPECT_EQ(small.slotsUsed(), 20u);

  Vm tight(VmConfig{.arenaBytes = 64 << 10});
  EXPECT_THROW(tight.newArray(simvm::kByte, 100000), VmError);
  const uint32_t after = tight.newArray(simvm::kByte, 100);
  EXPECT_EQ(tight.methodsOf(after) >> 5, 100u);
  EXPECT_THROW(Vm(VmConfig{.slots = 10}), VmError);  // the well-known classes do not fit
}

TEST(Region, reads_and_writes_outside_the_region_raise) {
  Vm vm;
  EXPECT_THROW(vm.read32(vm.regionBase()), VmError);  // the guard page
  EXPECT_THROW(vm.read32(0), VmError);
  EXPECT_THROW(vm.write32(vm.tableFirst() - 4, 1), VmError);
  EXPECT_THROW(vm.read16(vm.regionBase() + vm.bytesUsed() + (64u << 20)), VmError);
}

}  // namespace
