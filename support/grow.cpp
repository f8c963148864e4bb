#include "support/grow.h"

#include <stdlib.h>

namespace tv {

int growArray(void** items, uint32_t* capacity, uint32_t count, size_t itemSize, uint32_t limit) {
  if (count < *capacity) return 1;
  uint64_t grown = static_cast<uint64_t>(*capacity) + *capacity / 2 + 64;
  if (grown > limit) grown = limit;
  if (grown <= count || grown > SIZE_MAX / itemSize) return 0;
  void* moved = realloc(*items, static_cast<size_t>(grown) * itemSize);
  if (moved == nullptr) return 0;
  *items = moved;
  *capacity = static_cast<uint32_t>(grown);
  return 1;
}

}  // namespace tv
