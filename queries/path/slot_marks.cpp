#include "queries/path/slot_marks.h"

#include <stdlib.h>

namespace tv {

namespace {

void place(SlotMarks* m, uint32_t slot, uint32_t value) {
  uint32_t i = markSlotOf(m, slot);
  while (m->keys[i] != 0) i = (i + 1) & m->mask;
  m->keys[i] = slot + 1;
  m->values[i] = value;
  m->count++;
}

}  // namespace

int marksPut(SlotMarks* m, uint32_t slot, uint32_t value) {
  if (2 * (m->count + 1) > m->mask + 1) {
    uint64_t size = m->keys ? 2 * (static_cast<uint64_t>(m->mask) + 1) : kMarksFirstSize;
    if (size > UINT32_MAX || size > SIZE_MAX / sizeof(uint32_t)) return 0;
    SlotMarks grown = {static_cast<uint32_t*>(calloc(static_cast<size_t>(size), sizeof(uint32_t))),
                       static_cast<uint32_t*>(malloc(static_cast<size_t>(size) * sizeof(uint32_t))),
                       static_cast<uint32_t>(size - 1), 0};
    if (grown.keys == nullptr || grown.values == nullptr) {
      free(grown.keys);
      free(grown.values);
      return 0;
    }
    for (uint32_t i = 0; m->keys && i <= m->mask; i++)
      if (m->keys[i] != 0) place(&grown, m->keys[i] - 1, m->values[i]);
    free(m->keys);
    free(m->values);
    *m = grown;
  }
  place(m, slot, value);
  return 1;
}

void marksFree(SlotMarks* m) {
  free(m->keys);
  free(m->values);
  *m = SlotMarks{};
}

}  // namespace tv
