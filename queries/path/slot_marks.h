// SlotMarks: the walking path search's marks, a map from slot to a non-zero 32-bit mark for
// the slots it has visited (the search over an index keeps a plain array of one mark per slot
// instead).
//
// Invariants: a map starts zeroed (no arrays); its first put makes keys and values of
// kMarksFirstSize entries, and each growth doubles them, so their size, mask + 1, is a power of
// two. After every put the map is at most half full (2 * count <= mask + 1), so a probe always
// meets an empty key. A key is slot + 1, 0 when empty.
// Guarantees: once a slot has been put, marksGet gives the mark put for each slot put and 0
// for any other; growing keeps every mark. marksPut returns 0, with the map unchanged, when the
// grown arrays cannot be had. The map owns its arrays (marksFree).
// Callers: marksGet only after the first put; put a slot at most once, never slot UINT32_MAX,
// never a 0 mark (it reads as "not visited").
#pragma once
#include <stdint.h>

namespace tv {

constexpr uint32_t kMarksFirstSize = 1024;

struct SlotMarks {
  uint32_t* keys;  // slot + 1; 0 = empty
  uint32_t* values;
  uint32_t mask;
  uint32_t count;
};

inline uint32_t markSlotOf(const SlotMarks* m, uint32_t slot) {
  return ((slot + 1) * 0x9E3779B1u >> 5) & m->mask;
}

inline uint32_t marksGet(const SlotMarks* m, uint32_t slot) {
  for (uint32_t i = markSlotOf(m, slot);; i = (i + 1) & m->mask) {
    if (m->keys[i] == 0) return 0;
    if (m->keys[i] == slot + 1) return m->values[i];
  }
}

int marksPut(SlotMarks* m, uint32_t slot, uint32_t value);
void marksFree(SlotMarks* m);

}  // namespace tv
