#pragma once
#include <stdint.h>
#include "support/ptrmap.h"

namespace tv {

void getMemoryUsage(uint32_t stream, uint32_t prefix);

// One class in the memory report. Counts stay 32-bit; bytes are 64-bit so that a class holding
// more than 2 GB is not reported as a negative number.
struct UsageEntry {
  uint32_t classHandle;
  int32_t count;
  int64_t bytes;
};

// Bytes per element for an array type code; 0 for a code that names no array type.
uint32_t elementSize(uint32_t typeCode);
// Adds one instance of cls costing `size` bytes to its entry in `usage` (made on first use);
// returns the entry, or null when it could not be made.
UsageEntry* recordUsage(PtrMap* usage, uint32_t cls, int64_t size);
// Larger bytes first, then larger count, then class name ascending.
int compareUsage(const void* a, const void* b);

}  // namespace tv
