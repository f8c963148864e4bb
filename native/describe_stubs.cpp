#include "native/stub_export.h"
#include "queries/describe.h"

// getClassInfo0(Object cls): String
TAVOLIN_STUB uint32_t* Java_com_norvane_debug_Tavolin_getClassInfo0_stub(uint32_t* slots, void*) {
  return tv::stubReturnObject(slots, tv::getClassInfo(slots[0]));
}

// getHandleInfo0(Object handle): String
TAVOLIN_STUB uint32_t* Java_com_norvane_debug_Tavolin_getHandleInfo0_stub(uint32_t* slots, void*) {
  return tv::stubReturnObject(slots, tv::getHandleInfo(slots[0]));
}
