// The level-by-level search backwards from a target to the nearest root, in one of two ways:
// over a PathIndex of who refers to whom (linear in slots and links), or, when not even the
// index can be had, by one walk of the whole heap per level, keeping only the nodes found.
// Both give the same path and the same outcome.
#pragma once
#include <stdint.h>
#include "queries/path/graph.h"
#include "queries/path/index.h"

namespace tv {

enum PathOutcome {
  kPathFound,
  kPathSearchFailed,  // no level met a root, and the last one added no node
  kPathExceeded,      // a level ended without a root with at least maxNodes nodes found
  kPathOutOfMemory,
};

// On kPathFound, *path (malloc'd, freed by the caller) holds *length handle values: the root
// (a class or a thread), the referrers in order, and the target last. `target` must be an
// object or an object array of the graph's space. `index` null searches by walking the heap.
// Beside the index the search keeps 4 bytes per slot (where each node sits in the queue) and
// 4 per node queued. The walking search keeps at most maxNodes nodes (about 20 to 36 bytes
// each, with their marks) and finds the level beyond them again from the heap as it walks.
PathOutcome searchPath(const PathGraph* g, const PathIndex* index, uint32_t target,
                       int32_t maxNodes, uint32_t** path, uint32_t* length);

}  // namespace tv
