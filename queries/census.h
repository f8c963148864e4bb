#pragma once
#include <stdint.h>

namespace tv {

void getClasses(uint32_t stream, uint32_t prefix, int32_t creditSuperclasses, int32_t sortByCount);
void getHandles(uint32_t stream, uint32_t target, int32_t includeSubclasses, int32_t arrays);

}  // namespace tv
