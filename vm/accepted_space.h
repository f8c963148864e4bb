// The handle space the predicates accept, shared by the two sources that need it:
// vm/handlespace.cpp sets it, vm/handles.cpp tests every handle against it. The test sits on
// the path of every slot a whole-heap query visits, so its common case is inline here; only a
// handle below the start goes out of line (the table may have grown downward).
//
// The bounds are a fact about the VM, not about one call, so every call shares them: calls
// running at once (or one inside another's toString) each install the bounds they found, which
// on a heap that holds still are the same. Each bound is one atomic word, read and written
// whole; a reader may pair one caller's start with another's end, both true of the table.
#pragma once
#include <stdint.h>

#include <atomic>

#include "vm/handlespace.h"

namespace tv {

extern std::atomic<uint32_t> g_acceptedFirst;
extern std::atomic<uint32_t> g_acceptedEnd;

inline int handleInAcceptedSpace(uint32_t h) {
  if (h % 8 != 0 || h >= g_acceptedEnd.load(std::memory_order_relaxed)) return 0;
  return h >= g_acceptedFirst.load(std::memory_order_relaxed) ? 1 : handleInSpace(h);
}

}  // namespace tv
