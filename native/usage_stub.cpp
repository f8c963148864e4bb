// getMemoryUsage0(OutputStream, String prefix).
#include "native/stub_export.h"
#include "queries/usage.h"

TAVOLIN_STUB uint32_t* Java_com_norvane_debug_Tavolin_getMemoryUsage0_stub(uint32_t* slots,
                                                                           void* /*ee*/) {
  tv::getMemoryUsage(slots[0], slots[1]);
  return tv::stubReturnVoid(slots);
}
