// The level-by-level search backwards from a target to the nearest root, over a PathIndex.
// Beside the index it keeps 4 bytes per slot (where each node sits in the queue) and 8 per node
// queued, so a whole search takes at most 20 bytes per slot and 10 per reference.
#pragma once
#include <stdint.h>
#include "queries/path_index.h"

namespace tv {

enum PathOutcome {
  kPathFound,
  kPathSearchFailed,   // no level met a root, and the last one added no node
  kPathExceeded,       // a level ended without a root with at least maxNodes nodes found
  kPathOutOfMemory,
};

// On kPathFound, *path (malloc'd, freed by the caller) holds *length handle values: the root
// (a class or a thread), the referrers in order, and the target last. `target` must be an
// object or an object array of the indexed space.
// `refs`: the Reference classes noted while the index was built.
PathOutcome searchPath(const PathIndex* index, const RefClassScan* refs, uint32_t target,
                       int32_t maxNodes, uint32_t** path, uint32_t* length);

}  // namespace tv
