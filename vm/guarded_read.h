// Reading VM words that may not be readable, without a fault. The one part of the library that
// differs by platform: vm/guarded_read_posix.cpp for Linux, vm/guarded_read_windows.cpp for
// Windows.
#pragma once
#include <stdint.h>

namespace tv {

// At most this many addresses in one call; keeps a caller's arrays under 2 KB of stack each.
constexpr int kGuardedBatch = 256;

// What the system said of the address space during one probe: runs of pages alike in state and
// protection, each readable or not. A probe keeps one on its stack for its batches and never
// longer: between two calls the VM may change any page. Empty to begin with; Linux, which asks
// per batch anyway, leaves it empty.
struct PageRuns {
  static constexpr int kMax = 16;
  int count = 0;
  uint32_t low[kMax];   // the run's first byte
  uint64_t high[kMax];  // one past its last (2^32 at the top of the address space)
  uint8_t readable[kMax];
};

// Reads the words at `addresses` (n <= kGuardedBatch) into `values`, in order, each as one
// guarded read. Returns how many were read before the first that could not be read.
int readableRun(const uint32_t* addresses, int n, uint32_t* values);

// The same, trusting what `runs` already holds and adding what it learns to it.
int readableRunIn(PageRuns& runs, const uint32_t* addresses, int n, uint32_t* values);

}  // namespace tv
