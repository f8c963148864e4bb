// getMemoryUsage0 -> getMemoryUsage (queries/usage.cpp): the memory held by the instances of
// each class whose name begins with the prefix, in one walk of the heap. An instance costs its
// class's instance size plus every array it holds in an instance array field that no earlier
// counted instance (in handle order) was charged for; an array costs its header and its elements.
// Class objects and classes without a name are not counted.
//
// Report:  count NUL (className ' ' instances ' ' bytes NUL)*
//   instances and bytes in signed decimal (bytes 64-bit); larger bytes first, then larger
//   count, then class name. A stream that is no live object gets nothing; a prefix that is no
//   string, or a query that runs out of memory, gets an empty report, "0" NUL.
#pragma once
#include <stdint.h>

namespace tv {

void getMemoryUsage(uint32_t stream, uint32_t prefix);

}  // namespace tv
