#pragma once
#include <stdint.h>
#include "support/ptrlist.h"

namespace tv {

// Appends an entry per reference field of the single class c whose target is an object or an
// object array that is not an array of arrays (statics when staticFields is set).
void collectFieldRefs(PtrList* list, uint32_t holder, uint32_t c, int staticFields);

void getReferences(uint32_t stream, uint32_t h);
void getBackTraceReferences(uint32_t stream, uint32_t target);

}  // namespace tv
