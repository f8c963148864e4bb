// The handle space the predicates accept, shared by the two sources that need it:
// vm/handlespace.cpp sets it, vm/handles.cpp tests every handle against it. The test sits on
// the path of every slot a whole-heap query visits, so its common case is inline here; only a
// handle below the start goes out of line (the table may have grown downward).
#pragma once
#include <stdint.h>

#include "vm/handlespace.h"

namespace tv {

extern HandleSpace g_acceptedSpace;

inline int handleInAcceptedSpace(uint32_t h) {
  if (h % 8 != 0 || h >= g_acceptedSpace.end) return 0;
  return h >= g_acceptedSpace.first ? 1 : handleInSpace(h);
}

}  // namespace tv
