// The report orders, as qsort comparators over list items holding HeapEntry addresses.
#pragma once

namespace tv {

int compareByName(const void* a, const void* b);    // class name, then kind
int compareByCount(const void* a, const void* b);   // larger detail first, then by name
int compareReferrers(const void* a, const void* b); // named details first, by name; then by detail

}  // namespace tv
