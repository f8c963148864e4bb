// One object's references, in the entry report of report/writer.h (queries/references.cpp):
//
//   getReferences0 -> getReferences   what h refers to: a class object its static reference
//       fields, a plain object its instance reference fields (detail: the field name) and, for
//       a thread other than the caller, the objects its frames hold (detail: "method()"), all
//       sorted as referrers are; an object array its non-null elements in index order (detail:
//       the index). No walk of the heap.
//   getBackTraceReferences0 -> getBackTraceReferences   what refers to the target, in one walk:
//       classes through a static (C, field name), objects through a field (I, field name),
//       arrays through an element (A, index), threads through a frame (I, "method()"). Named
//       details first, by name; then the indices, in order; ties by class name, then kind.
//
// Report: count NUL (kind ' ' handle ' ' className [' ' detail] NUL)*. A stream that is no live
// object gets nothing; a report that runs out of memory is written empty, "0" NUL.
#pragma once
#include <stdint.h>

namespace tv {

void getReferences(uint32_t stream, uint32_t h);
void getBackTraceReferences(uint32_t stream, uint32_t target);

}  // namespace tv
