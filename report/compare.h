// The report orders, as listSort comparators over list items holding HeapEntry addresses.
#pragma once
#include "support/ptrlist.h"

namespace tv {

int compareByName(const void* a, const void* b);     // class name, then kind
int compareByCount(const void* a, const void* b);    // larger detail first, then by name
int compareReferrers(const void* a, const void* b);  // named details first, by name; then by detail

// Sorts a list of HeapEntry addresses by compareByName, keeping entries whose names and kinds
// are equal in list order, as listSort does. Entries are grouped by (name address, kind), the
// groups sorted, and the entries dealt out by group, so a list of many instances of few classes
// costs no string compare per entry. Falls back to listSort when its scratch memory cannot be
// had.
//
// The groups are found through an open-addressed hash whose size is a power of two, at least
// 64 and at least twice the entries, so it is at most half full and every probe ends. Two
// entries share a group only when both name address and kind are equal; groups whose names
// compare equal (the same text at two addresses) share a rank, so their entries merge in list
// order. Guarantee: the list ends exactly as a stable sort by compareByName leaves it.
void sortEntriesByName(PtrList* list);

}  // namespace tv
