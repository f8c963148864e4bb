// getReferences0(OutputStream, Object) and getBackTraceReferences0(OutputStream, Object).
#include "native/stub_export.h"
#include "queries/references.h"

TAVOLIN_STUB uint32_t* Java_com_norvane_debug_Tavolin_getReferences0_stub(uint32_t* slots,
                                                                          void* /*ee*/) {
  tv::getReferences(slots[0], slots[1]);
  return tv::stubReturnVoid(slots);
}

TAVOLIN_STUB uint32_t* Java_com_norvane_debug_Tavolin_getBackTraceReferences0_stub(uint32_t* slots,
                                                                                   void* /*ee*/) {
  tv::getBackTraceReferences(slots[0], slots[1]);
  return tv::stubReturnVoid(slots);
}
