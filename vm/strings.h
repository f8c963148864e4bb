#pragma once
#include <stdint.h>

namespace tv {

// The bytes of a Java string argument, or null when the value is no live java/lang/String:
// makeCString must not be handed anything else.
const char* javaStringBytes(uint32_t string);

}  // namespace tv
