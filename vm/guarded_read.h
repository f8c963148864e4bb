// Reading VM words that may not be readable, without a fault. The one part of the library that
// differs by platform: vm/guarded_read_posix.cpp for Linux, vm/guarded_read_windows.cpp for
// Windows.
#pragma once
#include <stdint.h>

namespace tv {

// At most this many addresses in one call; keeps a caller's arrays under 2 KB of stack each.
constexpr int kGuardedBatch = 256;

// Reads the words at `addresses` (n <= kGuardedBatch) into `values`, in order, each as one
// guarded read. Returns how many were read before the first that could not be read.
int readableRun(const uint32_t* addresses, int n, uint32_t* values);

}  // namespace tv
