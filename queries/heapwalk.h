// The one walk over the handle space that every whole-heap query shares: computes the bounds,
// makes them the space that handle validation uses, and visits every slot from first to end in
// address order, free slots included.
#pragma once
#include <stdint.h>

#include <type_traits>

#include "vm/handlespace.h"
#include "vm/layout.h"
#include "vm/memory.h"

namespace tv {

// Computes heapBounds(), installs it with useHandleSpace(), and returns it.
HandleSpace beginHeapWalk(void);

// The number of slots in `space`.
inline uint32_t slotCount(HandleSpace space) {
  return space.end > space.first ? (space.end - space.first) / kHandleSize : 0;
}

// Calls visit(h, body, methods) for every slot of `space` in ascending address order, with
// the slot's two words read once. Inline, so that a query's per-slot cost is its own work.
// The walk hands out only slots of the installed space, so a visitor may take `body != 0` as
// isLive(h) and the low bits of `methods` as h's type code.
template <typename Visit>
inline void walkSlots(HandleSpace space, Visit&& visit) {
  // Counted rather than compared with `end`, so a table that reaches the top of the address
  // space cannot wrap the slot address around.
  uint32_t slots = slotCount(space);
  uint32_t h = space.first;
  for (uint32_t i = 0; i < slots; i++, h += kHandleSize) {
    // The body word first: a VM fills in the methods word of a new slot before its body word,
    // so a methods word read after a non-zero body belongs to that body.
    uint32_t body = vmRead32(h + kHandleBody);
    visit(h, body, vmRead32(h + kHandleMethods));
  }
}

// walkSlots for a query that asks the cache ahead of itself: before visiting slot h it calls
// ahead(body, methods) with the words of the live slot kWalkAhead slots further on, where
// there is one; with NoAhead it reads nothing ahead. The bounds and the table's
// alignment are checked once, not at every slot.
struct NoAhead {
  void operator()(uint32_t, uint32_t) const {}
};

template <typename Ahead, typename Visit>
inline void walkSlotsAhead(HandleSpace space, Ahead&& ahead, Visit&& visit);

// The address of an object array's element-class word, which follows its last element.
inline uint32_t elementClassWordAddress(uint32_t body, uint32_t methods) {
  return body + 4 * (methods >> kLengthShift);
}

// The class word of a live plain object or object array, as classOf reads it before checking
// it: a plain object's MethodTable word 0, an object array's element-class word (which follows
// the last element). 0 for a primitive array.
inline uint32_t classWordOf(uint32_t body, uint32_t methods) {
  switch (methods & kTypeCodeMask) {
    case kTypeObject:
      return vmRead32(methods + kMethodTableClass);
    case kTypeObjectArray:
      return vmRead32(elementClassWordAddress(body, methods));
    default:
      return 0;
  }
}

// Asks the cache for the line at `address` (a hint: an address that is not mapped does nothing).
// i686 code is compiled without SSE, and the compiler then drops __builtin_prefetch altogether;
// the instruction itself is one every x86 processor since the Pentium III knows, so there it is
// written out.
inline void prefetchLine(uint32_t address) {
#if defined(__i386__) && !defined(__SSE__)
  __asm__ volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(vmPointer(address))));
#else
  __builtin_prefetch(vmPointer(address));
#endif
}

// A query that reads object arrays' element-class words calls this for each slot h it
// visits: it asks the cache for the word of the array kPrefetchAhead slots further on, so
// that reading it there need not wait for memory. (That word lies past the array's elements,
// in memory the rest of the walk never touches.)
constexpr uint32_t kPrefetchAhead = 16;

inline void prefetchClassWord(HandleSpace space, uint32_t h) {
  uint32_t ahead = h + kPrefetchAhead * kHandleSize;
  if (ahead >= space.end || ahead < h) return;
  uint32_t body = vmRead32(ahead + kHandleBody);
  uint32_t methods = vmRead32(ahead + kHandleMethods);
  if (body != 0 && (methods & kTypeCodeMask) == kTypeObjectArray)
    prefetchLine(elementClassWordAddress(body, methods));
}

// The same for a query that reads the bodies themselves: asks for the start of the body of
// the object or array kPrefetchAhead slots further on (and for an array, its class word).
inline void prefetchBody(HandleSpace space, uint32_t h) {
  uint32_t ahead = h + kPrefetchAhead * kHandleSize;
  if (ahead >= space.end || ahead < h) return;
  uint32_t body = vmRead32(ahead + kHandleBody);
  if (body == 0) return;
  uint32_t methods = vmRead32(ahead + kHandleMethods);
  prefetchLine(body);
  if ((methods & kTypeCodeMask) == kTypeObjectArray)
    prefetchLine(elementClassWordAddress(body, methods));
}

// How far walkSlotsAhead looks ahead: further than kPrefetchAhead, since a walk that does
// little per slot (the census reads one word past the handle) passes 16 slots in less time than
// memory takes to answer. Measured on the benchmark heaps: the census's reads cost a fifth less
// at 32 slots than at 16, and no less at 64.
constexpr uint32_t kWalkAhead = 32;

template <typename Ahead, typename Visit>
inline void walkSlotsAhead(HandleSpace space, Ahead&& ahead, Visit&& visit) {
  if (space.first % 4 != 0) {  // no VM lays out its table so: read it word by word, unhinted
    walkSlots(space, visit);
    return;
  }
  // Every slot's words are aligned as the first slot's are.
  const uint32_t slots = slotCount(space);
  const uint32_t early = slots > kWalkAhead ? slots - kWalkAhead : 0;
  uint32_t h = space.first, i = 0;
  for (; i < early; i++, h += kHandleSize) {
    if constexpr (!std::is_same_v<std::decay_t<Ahead>, NoAhead>) {
      const uint32_t further = h + kWalkAhead * kHandleSize;
      const uint32_t furtherBody = vmRead32Aligned(further + kHandleBody);
      if (furtherBody != 0) ahead(furtherBody, vmRead32Aligned(further + kHandleMethods));
    }
    uint32_t body = vmRead32Aligned(h + kHandleBody);
    visit(h, body, vmRead32Aligned(h + kHandleMethods));
  }
  for (; i < slots; i++, h += kHandleSize) {
    uint32_t body = vmRead32Aligned(h + kHandleBody);
    visit(h, body, vmRead32Aligned(h + kHandleMethods));
  }
}

}  // namespace tv
