// The guarded read on Windows: ask VirtualQuery whether the page is committed and readable,
// then read it plainly.
//
// Why not the alternatives:
// - ReadProcessMemory on our own process: under Wine it reads a PAGE_NOACCESS page without
//   complaint, so it would walk the probe through the guard page below the handle table.
// - A vectored exception handler: process-wide state shared with the VM's own handlers, and
//   resuming after the fault needs per-thread bookkeeping; a VM that installs handlers first
//   could see our faults.
// VirtualQuery is a plain question about the address space with no state of ours, answers the
// same on Windows and under Wine, and costs about a microsecond. One answer covers a whole run
// of pages with the same protection, so a batch asks once per run, not once per word.
#include <windows.h>

#include <string.h>

#include "vm/guarded_read.h"
#include "vm/memory.h"

namespace tv {
namespace {

bool readableProtection(DWORD protect) {
  if (protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
  const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                         PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return (protect & readable) != 0;
}

// The range of addresses known readable during one call: [low, high).
struct KnownRun {
  uint64_t low = 0, high = 0;
};

// Is the 4-byte word at `address` readable? Consults `known` first, asks otherwise.
bool wordReadable(uint32_t address, KnownRun& known) {
  const uint64_t a = address, last = a + sizeof(uint32_t);
  if (a >= known.low && last <= known.high) return true;
  // A word may straddle two pages: both must be readable.
  for (uint64_t at = a; at < last;) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(vmPointer(static_cast<uint32_t>(at)), &info, sizeof info) != sizeof info)
      return false;
    if (info.State != MEM_COMMIT || !readableProtection(info.Protect)) return false;
    const uint64_t low = reinterpret_cast<uintptr_t>(info.BaseAddress);
    const uint64_t high = low + info.RegionSize;
    known.low = at == a ? low : known.low;
    known.high = high;
    at = high;
  }
  return true;
}

}  // namespace

int readableRun(const uint32_t* addresses, int n, uint32_t* values) {
  if (n > kGuardedBatch) n = kGuardedBatch;
  KnownRun known;
  int i = 0;
  for (; i < n; i++) {
    if (!wordReadable(addresses[i], known)) break;
    memcpy(&values[i], vmPointer(addresses[i]), sizeof(uint32_t));
  }
  return i;
}

}  // namespace tv
