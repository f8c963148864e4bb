// findPathToRoot0 -> findPathToRoot: the shortest chain of references from a root down to one
// object. Roots are class objects (through a static field) and threads other than the caller
// (through their frames); the chain never passes through a field of a java/lang/ref/Reference
// instance. The search goes backwards from the target a level at a time (search.h; the proof
// that it finds what a walk per level finds opens search.cpp) over an index of who refers to whom
// (index.h), or, when the index cannot be had, by walking the heap once per level. What a link is:
// graph.h.
//
// The answer is a Java int array of handles, root first and target last. On failure nothing is
// returned and element 0 of messageOut gets one of "Search Failed" (no root reaches the target,
// or it is no object), "Exceeded maximum nodes" (a level ended with maxNodes nodes or more),
// "Search Failed - not enough memory for the search", "Search Failed - couldn't allocate the
// result array".
#pragma once
#include <stdint.h>

namespace tv {

// Returns an int array handle (root first, target last), or 0 after storing a message string
// into element 0 of messageOut.
uint32_t findPathToRoot(uint32_t target, int32_t maxNodes, uint32_t messageOut);

}  // namespace tv
