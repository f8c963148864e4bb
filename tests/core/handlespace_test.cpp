// Finding the handle table: the guarded read, the downward probe, the anchored end, the fatal
// exit without the anchor, and the cheap refresh that descriptions use.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#if defined(__linux__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "queries/heapwalk.h"
#include "simvm/vm.h"
#include "tests/common/os_testing.h"
#include "vm/handles.h"
#include "vm/handlespace.h"

namespace {

constexpr uint32_t kPage = 4096;
// exit(-1) as the parent sees it: the low byte on Linux, the whole code on Windows.
#if defined(_WIN32)
constexpr int kStatusMinusOne = -1;
#else
constexpr int kStatusMinusOne = 255;
#endif

// Pages of our own below 4 GB, each readable or not.
class LowPages {
 public:
  explicit LowPages(std::vector<bool> readable) : bytes_(readable.size() * kPage) {
    void* p = testkit::mapLowPages(bytes_);
    mapping_ = p;
    for (size_t i = 0; i < readable.size(); i++) {
      if (!readable[i] && !testkit::setAccessible(static_cast<char*>(p) + i * kPage, kPage, false))
        std::abort();
    }
  }
  ~LowPages() { testkit::unmapPages(mapping_, bytes_); }
  uint32_t page(uint32_t i) const {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(mapping_)) + i * kPage;
  }

 private:
  size_t bytes_;
  void* mapping_ = nullptr;
};

// The probe as first defined: step down one slot at a time until a methods word faults.
uint32_t probeSlotBySlot(uint32_t end) {
  uint32_t a = end, candidate, word;
  do {
    candidate = a;
    a -= 8;
  } while (tv::guardedRead32(a + 4, &word));
  return candidate;
}

TEST(GuardedRead, reads_a_readable_word_and_refuses_an_unreadable_one) {
  LowPages pages({false, true});
  *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(pages.page(1) + 12)) = 0xCAFEF00D;
  uint32_t word = 0;
  EXPECT_EQ(tv::guardedRead32(pages.page(1) + 12, &word), 1);
  EXPECT_EQ(word, 0xCAFEF00Du);
  word = 7;
  EXPECT_EQ(tv::guardedRead32(pages.page(0) + 12, &word), 0);
  EXPECT_EQ(word, 7u);
}

// A word that straddles two pages is readable only when both pages are.
TEST(GuardedRead, a_word_across_a_page_boundary_needs_both_pages) {
  LowPages pages({true, true, false});
  uint32_t word = 0;
  std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(pages.page(1) - 2)),
              "\x01\x02\x03\x04", 4);
  EXPECT_EQ(tv::guardedRead32(pages.page(1) - 2, &word), 1);
  EXPECT_EQ(word, 0x04030201u);
  EXPECT_EQ(tv::guardedRead32(pages.page(2) - 2, &word), 0);
  EXPECT_EQ(tv::guardedRead32(pages.page(2) - 4, &word), 1);
}

// Some sandboxes refuse process_vm_readv; the read must then still tell readable from not.
TEST(GuardedRead, still_works_when_the_kernel_refuses_process_vm_readv) {
#if !defined(__linux__)
  GTEST_SKIP() << "process_vm_readv and seccomp are Linux's";
#else
  LowPages pages({false, true, true});
  *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(pages.page(1))) = 0x5EED;
  auto refuseAndRead = [&] {
#if defined(__x86_64__)
    const uint32_t arch = AUDIT_ARCH_X86_64;
#else
    const uint32_t arch = AUDIT_ARCH_I386;
#endif
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_process_vm_readv, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) std::_Exit(3);
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) std::_Exit(3);
    int probe = tv::probeHeapStart(pages.page(3)) == pages.page(1);
    uint32_t word = 0;
    int good = tv::guardedRead32(pages.page(1), &word) == 1 && word == 0x5EED;
    int guard = tv::guardedRead32(pages.page(0), &word) == 0;
    int again = tv::guardedRead32(pages.page(1), &word) == 1;
    std::_Exit(probe && good && guard && again ? 0 : 1);
  };
  EXPECT_EXIT(refuseAndRead(), ::testing::ExitedWithCode(0), "");
#endif
}

TEST(Probe, finds_exactly_the_slots_above_the_unreadable_page) {
  LowPages pages({false, true, true});
  EXPECT_EQ(tv::probeHeapStart(pages.page(3)), pages.page(1));
  EXPECT_EQ(tv::probeHeapStart(pages.page(2) + 40), pages.page(1));
}

TEST(Probe, gives_an_empty_space_when_the_word_below_the_end_is_unreadable) {
  LowPages pages({true, false});
  EXPECT_EQ(tv::probeHeapStart(pages.page(2)), pages.page(2));
}

TEST(Probe, stops_at_the_first_unreadable_page_below_the_end_whatever_lies_lower) {
  LowPages pages({true, false, true, true});
  EXPECT_EQ(tv::probeHeapStart(pages.page(4)), pages.page(2));
}

// One read per page must land on the same slot as the slot-by-slot definition, for ends at
// and around page boundaries, and for an end that is not a multiple of 8.
TEST(Probe, reading_one_word_per_page_agrees_with_stepping_slot_by_slot) {
  LowPages pages({false, true, true, true, true});
  for (uint32_t offset : {0u, 4u, 8u, 12u, 4088u, 4092u, 4096u, 4100u, 8184u, 12288u}) {
    uint32_t end = pages.page(2) + offset;
    EXPECT_EQ(tv::probeHeapStart(end), probeSlotBySlot(end)) << "end at page 2 + " << offset;
  }
}

TEST(HeapBounds, of_a_vm_are_its_whole_table_lowest_slot_first) {
  simvm::VmConfig config;
  config.slots = 3000;  // not a whole number of pages
  simvm::Vm vm(config);
  tv::HandleSpace space = tv::heapBounds();
  EXPECT_EQ(space.first, vm.tableFirst());
  EXPECT_EQ(space.end, vm.tableEnd());
  EXPECT_EQ((space.end - space.first) / 8, 3000u);
  EXPECT_EQ(tv::findHeapEnd(), vm.tableEnd());
}

TEST(HeapBoundsDeathTest, without_the_anchor_class_the_process_ends_with_the_fatal_message) {
  ASSERT_EQ(simvm::Vm::current(), nullptr);  // no VM: FindClass finds nothing
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the message goes to standard output; let the matcher see it
        tv::heapBounds();
      },
      ::testing::ExitedWithCode(kStatusMinusOne),
      ::testing::StrEq("fatal - couldn't find the first class\n\n"));
}

TEST(RefreshHandleSpace, accepts_no_handle_while_the_anchor_class_is_missing) {
  simvm::Vm vm;
  uint32_t obj = vm.newObject(vm.objectClass());
  { simvm::Vm other; }  // leaves no VM current, so FindClass answers 0
  EXPECT_EQ(tv::refreshHandleSpace(), 0);
  EXPECT_EQ(tv::isLive(obj), 0);
  vm.makeCurrent();
  EXPECT_EQ(tv::refreshHandleSpace(), 1);
  EXPECT_EQ(tv::isLive(obj), 1);
}

// The table may grow downward into what was unreadable. A description of a handle there must
// probe on below the start it knew instead of refusing the handle.
TEST(RefreshHandleSpace, accepts_a_handle_in_pages_the_table_grew_into_below_the_known_start) {
  simvm::Vm vm;
  uint32_t obj = vm.newObject(vm.objectClass());
  ASSERT_EQ(tv::refreshHandleSpace(), 1);
  uint32_t below = vm.tableFirst() - 8;
  EXPECT_EQ(tv::isLive(below), 0);

  void* guard = vm.pointer(vm.regionBase());
  ASSERT_TRUE(testkit::setAccessible(guard, kPage, true));
  uint32_t* slot = static_cast<uint32_t*>(vm.pointer(below));
  slot[0] = vm.bodyOf(obj);
  slot[1] = vm.methodsOf(obj);
  ASSERT_EQ(tv::refreshHandleSpace(), 1);
  EXPECT_EQ(tv::isObject(below), 1);
  EXPECT_EQ(tv::classOf(below), vm.objectClass());
  ASSERT_TRUE(testkit::setAccessible(guard, kPage, false));
  // Shrunk back: the next description probes again instead of trusting the lower start.
  ASSERT_EQ(tv::refreshHandleSpace(), 1);
  EXPECT_EQ(tv::isLive(below), 0);
}

TEST(RefreshHandleSpace, a_whole_heap_walk_replaces_the_space_with_the_one_it_computed) {
  simvm::Vm vm;
  uint32_t obj = vm.newObject(vm.objectClass());
  tv::HandleSpace space = tv::beginHeapWalk();
  EXPECT_EQ(space.first, vm.tableFirst());
  EXPECT_EQ(tv::handleInSpace(obj), 1);
  EXPECT_EQ(tv::handleInSpace(obj + 4), 0);
  EXPECT_EQ(tv::handleInSpace(vm.tableEnd()), 0);
  EXPECT_EQ(tv::handleInSpace(vm.tableFirst() - 8), 0);
}

}  // namespace
