#pragma once
#include <stdint.h>

namespace tv {

void getMemoryUsage(uint32_t stream, uint32_t prefix);

}  // namespace tv
