#include "queries/heapwalk.h"

namespace tv {

HandleSpace beginHeapWalk(void) {
  HandleSpace space = heapBounds();
  useHandleSpace(space);
  return space;
}

}  // namespace tv
