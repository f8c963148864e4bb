// The guarded read on Windows: ask VirtualQuery whether the page is committed and readable,
// then read it plainly.
//
// Why not the alternatives:
// - ReadProcessMemory on our own process: under Wine it reads a PAGE_NOACCESS page without
//   complaint, so it would walk the probe through the guard page below the handle table.
// - A vectored exception handler: process-wide state shared with the VM's own handlers, and
//   resuming after the fault needs per-thread bookkeeping; a VM that installs handlers first
//   could see our faults.
// VirtualQuery is a plain question about the address space with no state of ours, and answers
// the same on Windows and under Wine.
//
// What a question costs: Windows answers in about a microsecond, but Wine finds the answer's
// run by scanning its page table upward from the page asked, so one question can cost several
// microseconds on a large heap. And an answer only reaches up: the run from the page asked to
// the last page alike above it. The probe walks down the handle table, so asking at each page
// it reads would cost a question a page. Instead, when a call will read below an answer, the
// runs below are walked upward, one question a run, from the base of the answer's allocation
// (or, when that takes too many questions, from the lowest address the batch reads). What is
// learnt serves one batch, or one probe (PageRuns), and is never kept beyond it.
#include <windows.h>

#include <string.h>

#include "vm/guarded_read.h"
#include "vm/memory.h"

namespace tv {
namespace {

constexpr uint32_t kPage = 4096;
// Questions one walk may ask. Past them, the pages the walk did not reach are asked as they
// are read (one question each, the plain way).
constexpr int kWalkQuestions = 6;

bool readableProtection(DWORD protect) {
  if (protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
  const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                         PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return (protect & readable) != 0;
}

int findRun(const PageRuns& runs, uint64_t at) {
  for (int i = 0; i < runs.count; i++)
    if (at >= runs.low[i] && at < runs.high[i]) return i;
  return -1;
}

int addRun(PageRuns& runs, uint64_t low, uint64_t high, bool readable) {
  if (runs.count == PageRuns::kMax) runs.count = 0;  // forgetting costs questions, not answers
  const int i = runs.count++;
  runs.low[i] = static_cast<uint32_t>(low);
  runs.high[i] = high;
  runs.readable[i] = readable ? 1 : 0;
  return i;
}

// Asks about the page holding `at`; adds the run the answer describes and returns its index.
// `base` receives the answer's allocation base (the run's own start when there is none).
int ask(PageRuns& runs, uint64_t at, uint64_t* base) {
  const uint64_t page = at & ~uint64_t(kPage - 1);
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(vmPointer(static_cast<uint32_t>(page)), &info, sizeof info) != sizeof info) {
    // No answer (beyond the process's addresses): that page alone is taken as unreadable.
    if (base != nullptr) *base = page;
    return addRun(runs, page, page + kPage, false);
  }
  const uint64_t low = reinterpret_cast<uintptr_t>(info.BaseAddress);
  const uint64_t high = low + info.RegionSize;
  if (base != nullptr)
    *base = info.State == MEM_FREE ? low : reinterpret_cast<uintptr_t>(info.AllocationBase);
  return addRun(runs, low, high, info.State == MEM_COMMIT && readableProtection(info.Protect));
}

// Asks about each run from `from` up to `to`, at most kWalkQuestions; true when it got there.
bool walkUp(PageRuns& runs, uint64_t from, uint64_t to) {
  for (int asked = 0; from < to; asked++) {
    if (asked == kWalkQuestions) return false;
    from = runs.high[ask(runs, from, nullptr)];
  }
  return true;
}

// Learns the run holding `at`, and when the call will read as low as `lowest`, the runs below
// it too. `walked`: this batch has walked already (a failed walk is not tried again).
int learn(PageRuns& runs, uint64_t at, uint64_t lowest, bool& walked) {
  // Room for the answer and two whole walks, so that nothing learnt here is forgotten here.
  if (runs.count > PageRuns::kMax - (1 + 2 * kWalkQuestions)) runs.count = 0;
  uint64_t base;
  const int i = ask(runs, at, &base);
  const uint64_t low = runs.low[i];
  if (lowest >= low || walked) return i;
  walked = true;
  if (!(base < low && walkUp(runs, base, low))) walkUp(runs, lowest & ~uint64_t(kPage - 1), low);
  return i;  // still there: the walks add after it, and never fill `runs` to forgetting
}

// Is the 4-byte word at `address` readable? A word may straddle two pages: both must be.
bool wordReadable(PageRuns& runs, uint32_t address, uint64_t lowest, bool& walked) {
  for (uint64_t at = address, last = at + sizeof(uint32_t); at < last;) {
    int i = findRun(runs, at);
    if (i < 0) i = learn(runs, at, lowest, walked);
    if (!runs.readable[i]) return false;
    at = runs.high[i];
  }
  return true;
}

}  // namespace

int readableRunIn(PageRuns& runs, const uint32_t* addresses, int n, uint32_t* values) {
  if (n > kGuardedBatch) n = kGuardedBatch;
  uint32_t lowest = UINT32_MAX;
  for (int i = 0; i < n; i++)
    if (addresses[i] < lowest) lowest = addresses[i];
  bool walked = false;
  int i = 0;
  for (; i < n; i++) {
    if (!wordReadable(runs, addresses[i], lowest, walked)) break;
    memcpy(&values[i], vmPointer(addresses[i]), sizeof(uint32_t));
  }
  return i;
}

int readableRun(const uint32_t* addresses, int n, uint32_t* values) {
  PageRuns runs;
  return readableRunIn(runs, addresses, n, values);
}

}  // namespace tv
