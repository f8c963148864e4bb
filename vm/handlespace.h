// The handle table: the half-open range [first, end) of 8-byte slots. Its end lies a fixed
// distance below the descriptor of the anchor class; its start is found by probing downward
// until memory stops being readable.
#pragma once
#include <stdint.h>

#include "vm/layout.h"

namespace tv {

struct HandleSpace {
  uint32_t first;
  uint32_t end;
};

// Reads one 32-bit word; returns 1 and stores it when the address is readable, 0 when the
// read would fault. Never raises a signal and never touches the process's signal handling.
int guardedRead32(uint32_t address, uint32_t* out);

uint32_t findHeapEnd(void);             // ends the process through fatal() without the anchor
uint32_t probeHeapStart(uint32_t end);  // lowest slot of the readable run ending at `end`
HandleSpace heapBounds(void);           // findHeapEnd, then probeHeapStart; nothing cached

// Prints "fatal - <message>\n" to standard output and ends the process with status -1.
[[noreturn]] void fatal(const char* message);

// --- Handle validation ---------------------------------------------------------------
// Every handle value that comes from Java or is read out of the heap is accepted only when it
// is a multiple of 8 and lies inside the handle space; anything else is treated as a free
// slot. The predicates of vm/handles.h apply this check through handleInSpace().
//
// useHandleSpace(space) makes `space` the one the check uses (a whole-heap walk sets the
// bounds it just computed). refreshHandleSpace() is the cheap form for queries that look at
// one handle: it looks up the end and reuses the start probed earlier for the same end,
// probing only the pages below it when a handle below the known start turns up.
// Returns 0 when the anchor class cannot be found; then no handle is accepted.
void useHandleSpace(HandleSpace space);
int refreshHandleSpace(void);
int handleInSpace(uint32_t h);

// The one test of "h is a slot of `space`": a multiple of 8 in [first, end). Returns the slot's
// index (h is first + 8 * index), or kNotASlot. Inline: the whole-heap queries ask it of every
// reference they read.
constexpr uint32_t kNotASlot = UINT32_MAX;
inline uint32_t slotIndexIn(HandleSpace space, uint32_t h) {
  uint32_t offset = h - space.first;
  if ((h & (kHandleSize - 1)) != 0 || offset >= space.end - space.first) return kNotASlot;
  return offset / kHandleSize;
}
inline int isSlotOf(HandleSpace space, uint32_t h) { return slotIndexIn(space, h) != kNotASlot; }

}  // namespace tv
