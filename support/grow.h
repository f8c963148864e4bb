// The one growth rule of the library's plain growable arrays (the class table's entries and
// fields, the path search's queue and level list): a full array of `capacity` items grows to
// capacity + capacity / 2 + 64, never beyond `limit` items.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace tv {

// Makes room in *items for one more item when count == *capacity. Returns 0, leaving the array
// as it was, when it is at `limit` or memory cannot be had.
int growArray(void** items, uint32_t* capacity, uint32_t count, size_t itemSize, uint32_t limit);

}  // namespace tv
