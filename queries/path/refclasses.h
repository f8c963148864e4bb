// The classes whose instances the path search does not follow through fields: every class
// that has java/lang/ref/Reference among its superclasses (Reference itself is not one).
//
// Each call works the answer out per class in its ClassTable. Beside that the library keeps
// the set of such classes met by any call (a PtrMap, key and value both the class handle, made
// on first use and kept for the life of the library); it only grows, so a class registered by
// an earlier call stays filtered after its objects are gone, or when Reference can no longer
// be found. The set is read and written once per class per call, never per object.
#pragma once
#include <stdint.h>
#include "queries/classtable.h"

namespace tv {

// Registers every class of the table found to be a Reference subclass, and marks as one every
// class registered by an earlier call. Returns 0 when the set could not take a class.
int syncReferenceClasses(ClassTable* classes);

}  // namespace tv
