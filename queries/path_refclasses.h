// The classes whose instances the path search does not follow through fields: every class
// that has java/lang/ref/Reference among its superclasses (Reference itself is not one).
//
// The set is kept for the life of the library; it only grows, so a class registered by an
// earlier call stays filtered after its objects are gone. A pass works on a copy of its own
// (PtrMaps, key and value both the class handle), taken when it begins and added back when it
// ends, so that searches running at once never read a map that another one is growing.
#pragma once
#include <stdint.h>
#include "support/ptrmap.h"
#include "vm/handlespace.h"

namespace tv {

// One registration pass. The Reference class is looked up afresh for every pass; a 0 answer
// registers nothing. `checked` remembers the classes already examined in this pass, so each
// class's superclass chain is walked once however many objects it has.
struct RefClassScan {
  uint32_t referenceClass;
  PtrMap* found;    // the Reference subclasses found: the set itself
  PtrMap* checked;
  uint32_t lastChecked;  // the class examined last: consecutive slots often share one
  int failed;            // an allocation failed; the set may be incomplete
};

int refScanBegin(RefClassScan* scan);  // 0 when the set or the scratch map cannot be made
// Registers c (a classOf result, 0 ignored) when Reference is among its superclasses.
void refScanNote(RefClassScan* scan, uint32_t c);
int refScanEnd(RefClassScan* scan);  // frees the scratch map; 0 when anything failed
void refScanFree(RefClassScan* scan);  // frees the pass's copy of the set

// Notes the class of every slot of `space` (the element class for an object array), for later
// passes. Returns 0 when an allocation failed.
int registerReferenceClasses(HandleSpace space);

// 1 when classOf(v) is in the pass's set (so v is a Reference instance, or an object array
// whose element class is a Reference subclass).
int isReferenceInstance(const RefClassScan* scan, uint32_t v);

}  // namespace tv
