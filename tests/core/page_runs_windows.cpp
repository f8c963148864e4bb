// The guarded read and the probe on Windows, where one answer of the system describes a whole
// run of pages from the page asked upward: tables of many pages, with runs that the probe must
// stop at exactly as a question per page would, and more runs than one walk may ask about.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/common/os_testing.h"
#include "vm/guarded_read.h"
#include "vm/handlespace.h"

namespace {

constexpr uint32_t kPage = 4096;

// One allocation of pages, protected by a pattern: '-' no access, 'w' read-write, 'r' read-only,
// 'g' a guard page (read-write with PAGE_GUARD). Page 0 is the lowest.
class PatternPages {
 public:
  explicit PatternPages(const std::string& pattern) : pages_(pattern.size()) {
    base_ = VirtualAlloc(nullptr, pages_ * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!base_) std::abort();
    for (size_t i = 0; i < pages_; i++) protect(static_cast<uint32_t>(i), pattern[i]);
  }
  ~PatternPages() { VirtualFree(base_, 0, MEM_RELEASE); }
  uint32_t page(uint32_t i) const {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base_)) + i * kPage;
  }
  void protect(uint32_t i, char kind) {
    DWORD want = kind == '-'   ? PAGE_NOACCESS
                 : kind == 'r' ? PAGE_READONLY
                 : kind == 'g' ? PAGE_READWRITE | PAGE_GUARD
                               : PAGE_READWRITE;
    DWORD old;
    if (!VirtualProtect(reinterpret_cast<void*>(static_cast<uintptr_t>(page(i))), kPage, want,
                        &old))
      std::abort();
  }

 private:
  size_t pages_;
  void* base_ = nullptr;
};

// The probe by its definition, asking the system about every slot's methods word on its own
// (not through the code under test): step down a slot at a time until one cannot be read.
uint32_t probeByDefinition(uint32_t end) {
  uint32_t a = end;
  while (a >= 8 && testkit::systemSaysReadable(a - 8 + 4, 4)) a -= 8;
  return a;
}

std::string pattern(size_t pages, char kind) { return std::string(pages, kind); }

// A table of 700 pages (three batches of the probe) that stops being readable 300 pages down:
// the probe stops right above that page, as a question per page would.
TEST(PageRuns, the_probe_stops_at_a_no_access_page_partway_down_a_long_table) {
  PatternPages pages("-" + pattern(399, 'w') + "-" + pattern(300, 'w'));
  EXPECT_EQ(tv::probeHeapStart(pages.page(701)), pages.page(401));
  for (uint32_t offset : {0u, 4u, 12u, 4092u}) {
    const uint32_t end = pages.page(650) + offset;
    EXPECT_EQ(tv::probeHeapStart(end), probeByDefinition(end)) << "end at page 650 + " << offset;
  }
}

// Readable pages of two protections, alternating: every page is a run of its own, far more than
// one walk asks about. The probe must still reach down to the guard page below them.
TEST(PageRuns, more_runs_than_a_walk_asks_about_still_probe_to_the_same_slot) {
  std::string p = "-";
  for (int i = 0; i < 300; i++) p += i % 2 ? 'r' : 'w';
  p += pattern(40, 'w');
  PatternPages pages(p);
  EXPECT_EQ(tv::probeHeapStart(pages.page(341)), pages.page(1));
  EXPECT_EQ(tv::probeHeapStart(pages.page(200) + 20), probeByDefinition(pages.page(200) + 20));
  pages.protect(120, '-');
  EXPECT_EQ(tv::probeHeapStart(pages.page(341)), pages.page(121));
}

// A page with PAGE_GUARD is not read (reading it would take the guard off for the VM).
TEST(PageRuns, the_probe_stops_above_a_page_with_a_guard) {
  PatternPages pages("w" + pattern(5, 'w') + "g" + pattern(20, 'w'));
  EXPECT_EQ(tv::probeHeapStart(pages.page(27)), pages.page(7));
}

// What one probe learnt is not trusted by the next: the table shrinks and grows between calls.
TEST(PageRuns, a_second_probe_sees_pages_changed_since_the_first) {
  PatternPages pages("-" + pattern(600, 'w'));
  const uint32_t end = pages.page(601);
  EXPECT_EQ(tv::probeHeapStart(end), pages.page(1));
  pages.protect(500, '-');
  EXPECT_EQ(tv::probeHeapStart(end), pages.page(501));
  pages.protect(500, 'w');
  pages.protect(0, 'w');  // the table grew into the guard page: nothing below it is ours
  EXPECT_EQ(tv::probeHeapStart(end), probeByDefinition(end));
  EXPECT_LE(tv::probeHeapStart(end), pages.page(0));
}

// A batch read in falling order, as the probe reads, across a page that cannot be read: every
// word above it is read, with its value, and none below.
TEST(PageRuns, a_falling_batch_reads_down_to_the_first_unreadable_page) {
  PatternPages pages("-ww-" + pattern(300, 'w'));
  uint32_t addresses[tv::kGuardedBatch], values[tv::kGuardedBatch];
  int n = 0;
  for (uint32_t p = 303; n < tv::kGuardedBatch; p--, n++) {
    addresses[n] = pages.page(p) + 8 * (p % 500);
    *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(addresses[n])) = 0xA0000000u + p;
  }
  // Words 0..255 read pages 303 down to 48; all readable.
  EXPECT_EQ(tv::readableRun(addresses, n, values), n);
  EXPECT_EQ(values[0], 0xA0000000u + 303);
  EXPECT_EQ(values[n - 1], 0xA0000000u + 48);
  // Now pages 303 down to 4, then the page that cannot be read: 301 words in two batches, as
  // the probe makes them, the second trusting what the first learnt.
  uint32_t falling[301];
  for (uint32_t i = 0; i < 301; i++) falling[i] = pages.page(303 - i) + 4;  // page 303 .. 3
  tv::PageRuns runs;
  EXPECT_EQ(tv::readableRunIn(runs, falling, tv::kGuardedBatch, values), tv::kGuardedBatch);
  EXPECT_EQ(tv::readableRunIn(runs, falling + tv::kGuardedBatch, 45, values), 44);
  EXPECT_EQ(values[43], *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(pages.page(4) + 4)));
}

// A word across a page boundary needs both pages, also when the lower one is known first.
TEST(PageRuns, a_word_across_two_runs_needs_both) {
  PatternPages pages("wr-w");
  uint32_t values[2];
  const uint32_t across[] = {pages.page(0) + 8, pages.page(1) - 2};  // read-write | read-only
  EXPECT_EQ(tv::readableRun(across, 2, values), 2);
  const uint32_t into[] = {pages.page(1) + 8, pages.page(2) - 2};  // read-only | no access
  EXPECT_EQ(tv::readableRun(into, 2, values), 1);
  const uint32_t outOf[] = {pages.page(3) + 8, pages.page(3) - 2};  // no access | read-write
  EXPECT_EQ(tv::readableRun(outOf, 2, values), 1);
}

}  // namespace
