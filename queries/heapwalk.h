// The one walk over the handle space that every whole-heap query shares: computes the bounds,
// makes them the space that handle validation uses, and visits every slot from first to end in
// address order, free slots included.
#pragma once
#include <stdint.h>
#include "vm/handlespace.h"

namespace tv {

typedef void (*SlotVisitor)(uint32_t h, void* context);

// Computes heapBounds(), installs it with useHandleSpace(), and returns it.
HandleSpace beginHeapWalk(void);

// Visits every slot of `space` in ascending address order.
void walkHandleSpace(HandleSpace space, SlotVisitor visit, void* context);

}  // namespace tv
