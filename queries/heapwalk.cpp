#include "queries/heapwalk.h"

#include "vm/layout.h"

namespace tv {

HandleSpace beginHeapWalk(void) {
  HandleSpace space = heapBounds();
  useHandleSpace(space);
  return space;
}

void walkHandleSpace(HandleSpace space, SlotVisitor visit, void* context) {
  if (space.end <= space.first) return;
  // Counted rather than compared with `end`, so a table that reaches the top of the address
  // space cannot wrap the slot address around.
  uint32_t slots = (space.end - space.first) / kHandleSize;
  uint32_t h = space.first;
  for (uint32_t i = 0; i < slots; i++, h += kHandleSize) visit(h, context);
}

}  // namespace tv
