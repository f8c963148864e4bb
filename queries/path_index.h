// The reference index of one path search, built in a single walk of the handle space.
//
// Slots are numbered by index: slot s is the handle first + 8 * s. For every slot the index
// keeps what it refers to, in the order the search tries its links, and who refers to it:
//
//   out[outStart[s] .. outStart[s + 1])  the slots s refers to:
//       class object: its static reference fields, in table order
//       plain object: its instance reference fields, own class first, each table in order;
//                     then, for a thread other than the caller, its stack entries in scan
//                     order, tagged with kStackEdge
//       object array: its elements, lowest index first
//   in[inStart[t] .. inStart[t + 1])     the slots that refer to t, tagged with kStackEdge
//                                        when the reference is a stack entry; in no order
//
// Values outside the handle space or not a multiple of 8 are left out (they can never name a
// node of the search); a slot that refers to t twice appears twice. Both sides are compact
// (CSR) arrays: 4 bytes per slot and 4 per reference on each side. The index owns its arrays.
//
// Memory at its peak: 8 bytes per slot, and 10 per reference while the in lists are sorted
// (the out list, the in list, and a 2-byte sort key). The out list grows by half as the walk
// finds references and is trimmed to size before the in lists are made.
#pragma once
#include <stdint.h>
#include "queries/path_refclasses.h"
#include "vm/handlespace.h"

namespace tv {

constexpr uint32_t kStackEdge = 0x80000000u;  // slot indices stay below 2^29
constexpr uint32_t kEdgeSlot = 0x7FFFFFFFu;

struct PathIndex {
  HandleSpace space;
  uint32_t slots;
  uint32_t edges;
  uint32_t* outStart;  // slots + 1 entries
  uint32_t* out;
  uint32_t* inStart;   // slots + 1 entries
  uint32_t* in;
};

// Walks `space` (already installed for handle validation) and builds the index; notes every
// slot's class with `refs` on the way. Returns 0, with nothing left allocated, when memory
// runs out.
int indexBuild(PathIndex* index, HandleSpace space, RefClassScan* refs);
void indexFree(PathIndex* index);

inline uint32_t indexHandle(const PathIndex* index, uint32_t slot) {
  return index->space.first + slot * 8;
}

}  // namespace tv
