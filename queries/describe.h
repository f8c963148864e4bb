#pragma once
#include <stdint.h>

namespace tv {

// One-line descriptions, returned as Java string handles.
uint32_t getClassInfo(uint32_t h);
uint32_t getHandleInfo(uint32_t h);

}  // namespace tv
