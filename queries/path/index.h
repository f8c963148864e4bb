// Who refers to whom, for one path search: for every slot t, the slots that link to it,
//
//   in[inStart[t] .. inStart[t + 1])   tagged with kStackEdge when the link is a stack entry;
//                                      in no particular order
//
// built in two walks of the heap (one counts each slot's referrers, one deals them out), so
// it takes 4 bytes per slot and 4 per link and nothing more at its peak. What a slot refers to
// is not kept: the search reads it from the heap again (graph.h). The index owns its arrays.
//
// Guarantees, for a heap that did not change while it was built: t's run holds exactly the
// links to t that forEachFieldLink and forEachStackLink offer, one entry per offer (a slot
// that links to t twice appears twice); inStart never decreases, and inStart[slots] = edges,
// the number of links. Links wait in a block, and far ones then in per-bucket buffers, before
// they are dealt out; that changes the order within a run, never its contents.
#pragma once
#include <stdint.h>
#include "queries/path/graph.h"

namespace tv {

constexpr uint32_t kStackEdge = 0x80000000u;  // slot indices stay below 2^29
constexpr uint32_t kEdgeSlot = 0x7FFFFFFFu;

struct PathIndex {
  uint32_t edges;
  uint32_t* inStart;  // slots + 1 entries
  uint32_t* in;
};

// Returns 0, with nothing left allocated, when the index cannot be had (memory, a class table
// that failed: then g->classes->failed is set, or a table whose first slot is not a non-zero
// multiple of 8, which holds no handle the library accepts). Its first walk looks up the class
// of every slot (the element class of an object array) in g->classes.
int indexBuild(PathIndex* index, const PathGraph* g);
void indexFree(PathIndex* index);

}  // namespace tv
