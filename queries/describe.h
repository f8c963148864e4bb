// One-line descriptions of one handle, returned as Java strings (queries/describe.cpp); no walk
// of the heap, the handle is checked against the handle space first:
//
//   getClassInfo0 -> getClassInfo    "CLASS name descriptor secondName fields instanceSize
//       methods interfaces shown", or "ERROR handle h is not a valid class"
//   getHandleInfo0 -> getHandleInfo  an object: "OBJECT h className body toString()"; an object
//       array: "ARRAY h elementClassName body length"; else "ERROR handle h isn't a valid object"
//
// Handles and addresses are in hex without "0x"; a missing name shows as "<unknown>".
#pragma once
#include <stdint.h>

namespace tv {

// One-line descriptions, returned as Java string handles.
uint32_t getClassInfo(uint32_t h);
uint32_t getHandleInfo(uint32_t h);

}  // namespace tv
