#include "native/stub_export.h"
#include "queries/census.h"

// getClasses0(OutputStream out, String prefix, boolean creditSuperclasses, boolean sortByCount)
TAVOLIN_STUB uint32_t* Java_com_norvane_debug_Tavolin_getClasses0_stub(uint32_t* slots, void*) {
  tv::getClasses(slots[0], slots[1], static_cast<int32_t>(slots[2]),
                 static_cast<int32_t>(slots[3]));
  return tv::stubReturnVoid(slots);
}

// getHandles0(OutputStream out, Object cls, boolean includeSubclasses, boolean arrays)
TAVOLIN_STUB uint32_t* Java_com_norvane_debug_Tavolin_getHandles0_stub(uint32_t* slots, void*) {
  tv::getHandles(slots[0], slots[1], static_cast<int32_t>(slots[2]),
                 static_cast<int32_t>(slots[3]));
  return tv::stubReturnVoid(slots);
}
