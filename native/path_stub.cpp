// findPathToRoot0(Object target, int maxNodes, Object[] messageOut): int[].
#include "native/stub_export.h"
#include "queries/path/path.h"

TAVOLIN_STUB uint32_t* Java_com_norvane_debug_Tavolin_findPathToRoot0_stub(uint32_t* slots,
                                                                           void* /*ee*/) {
  uint32_t result = tv::findPathToRoot(slots[0], static_cast<int32_t>(slots[1]), slots[2]);
  return tv::stubReturnObject(slots, result);
}
