#pragma once
#include <stdint.h>

namespace tv {

// Returns an int array handle (root first, target last), or 0 after storing a message string
// into element 0 of messageOut.
uint32_t findPathToRoot(uint32_t target, int32_t maxNodes, uint32_t messageOut);

}  // namespace tv
