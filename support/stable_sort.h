// A stable merge sort of pointer-sized values, used for every report order.
//
// The reports must be the same bytes on every platform, including the order of entries whose
// sort keys are equal (the instances of one class, classes with equal names). A C library's
// qsort may or may not keep such entries in list order, and does so differently from one
// platform to the next; this sort always keeps them in list order.
//
// compare receives the addresses of two items and returns negative, zero or positive.
// Scratch memory: half the items. When that cannot be had the merges are done in place
// (rotations, O(n log^2 n) compares), with the same result.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace tv {

typedef int (*ItemCompare)(const void* a, const void* b);

void sortStable(uintptr_t* items, size_t count, ItemCompare compare);

// The same, with the caller's scratch of at least (count + 1) / 2 items, or null to merge in
// place.
void sortStableWith(uintptr_t* items, size_t count, uintptr_t* scratch, ItemCompare compare);

}  // namespace tv
