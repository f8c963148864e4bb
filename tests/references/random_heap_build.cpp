// The path tests' random heap builder, compiled into this program as well: the differential test
// here draws the same kinds of heaps.
#include "tests/path/random_heap.cpp"
