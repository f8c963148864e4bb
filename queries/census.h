// The census queries, one walk of the whole heap each (queries/census.cpp):
//
//   getClasses0 -> getClasses   how many objects (kind I) and object arrays (kind A) each class
//       has, one record per class whose name begins with the prefix; with creditSuperclasses
//       every class of an object's chain is counted too. Sorted by name, or with sortByCount
//       by count (largest first, then by name). The detail is the count.
//   getHandles0 -> getHandles   every plain object (arrays 0) or object array (arrays 1) of a
//       class, or with includeSubclasses of the class and those below it; in handle order, or
//       sorted by class name when subclasses are included. No detail.
//
// Both write the entry report of report/writer.h: count NUL (kind ' ' handle ' ' className
// [' ' detail] NUL)*. A stream that is no live object gets nothing; anything else that goes
// wrong (a prefix that is no string, memory) gets an empty report, "0" NUL.
#pragma once
#include <stdint.h>

namespace tv {

void getClasses(uint32_t stream, uint32_t prefix, int32_t creditSuperclasses, int32_t sortByCount);
void getHandles(uint32_t stream, uint32_t target, int32_t includeSubclasses, int32_t arrays);

}  // namespace tv
