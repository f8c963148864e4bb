#pragma once
#include <stdint.h>

namespace tv {

void getReferences(uint32_t stream, uint32_t h);
void getBackTraceReferences(uint32_t stream, uint32_t target);

}  // namespace tv
