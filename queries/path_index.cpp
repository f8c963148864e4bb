#include "queries/path_index.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "queries/heapwalk.h"

namespace tv {

namespace {

// One pass over every link of the heap: count (inStart[t] += 1) or deal out (in[--inStart[t]]).
struct IndexPass {
  PathIndex* index;
  int dealing;
  uint64_t links;  // counted so far
  uint32_t from;   // the slot whose links are offered
};

inline void offer(IndexPass* p, uint32_t t, uint32_t tag) {
  if (p->dealing) {
    // A heap that changed between the passes must not make the runs underflow.
    if (p->index->inStart[t] != 0) p->index->in[--p->index->inStart[t]] = p->from | tag;
  } else {
    p->index->inStart[t]++;
    p->links++;
  }
}

void offerStackLink(uint32_t t, void* context) { offer(static_cast<IndexPass*>(context), t, kStackEdge); }

void walkLinks(const PathGraph* g, IndexPass* p) {
  p->from = 0;
  walkSlots(g->space, [g, p](uint32_t h, uint32_t body, uint32_t methods) {
    prefetchBody(g->space, h);
    SlotView v = viewSlot(g, h);
    // The counting pass also looks up every object array's element class, so that with the
    // plain objects' classes (looked up by viewSlot) the table knows every class of the heap.
    if (!p->dealing && v.kind == kSlotArray) classInfoOf(g->classes, classWordOf(body, methods));
    forEachFieldLink(g, h, v, [p](uint32_t t) {
      offer(p, t, 0);
      return false;
    });
    if (isThreadSlot(v)) forEachStackLink(g, h, offerStackLink, p);
    p->from++;
  });
}

}  // namespace

int indexBuild(PathIndex* index, const PathGraph* g) {
  *index = PathIndex{};
  index->inStart = static_cast<uint32_t*>(calloc(static_cast<size_t>(g->slots) + 1, sizeof(uint32_t)));
  if (index->inStart == nullptr) return 0;
  IndexPass pass = {index, 0, 0, 0};
  walkLinks(g, &pass);
  if (g->classes->failed || pass.links > UINT32_MAX - 1 || pass.links > SIZE_MAX / sizeof(uint32_t)) {
    indexFree(index);
    return 0;
  }
  index->edges = static_cast<uint32_t>(pass.links);
  // inStart[t] becomes the end of t's run; dealing counts each back down to its start.
  uint32_t sum = 0;
  for (uint32_t t = 0; t < g->slots; t++) {
    sum += index->inStart[t];
    index->inStart[t] = sum;
  }
  index->inStart[g->slots] = sum;
  // Zeroed: when the heap changed between the passes, a run the second pass did not fill holds
  // slot 0, never a word from outside the table.
  index->in = static_cast<uint32_t*>(calloc(index->edges ? index->edges : 1, sizeof(uint32_t)));
  if (index->in == nullptr) {
    indexFree(index);
    return 0;
  }
  pass.dealing = 1;
  walkLinks(g, &pass);
  return 1;
}

void indexFree(PathIndex* index) {
  free(index->inStart);
  free(index->in);
  *index = PathIndex{};
}

}  // namespace tv
