// Why a pass over the referrers of one level finds what a walk of the whole handle space per
// level would find.
//
// In a pass over level L, the walk offers each slot h its references in a fixed order, and a
// reference to v links h only when v is a node of L and h was not visited; a node added during
// the pass belongs to the next level and so is never in L. Hence h's outcome depends only on
// whether h was visited before the pass and which of its references point into L:
//   - an object or array links through the first of them (references to Reference instances
//     skipped) and joins the next level;
//   - a class is a root through the first such static;
//   - a thread that did not link through a field is a root through the last such stack entry.
// A slot without a reference into L does nothing, and no slot's outcome depends on another's.
// So the slots worth looking at are the unvisited referrers of L's nodes, in any order; only
// the choice among roots follows address order (the lowest wins and ends the search). Which
// node of L a new node links to does not depend on the order either, so neither does the path,
// nor the node count the limit is tested against.
//
// Each node's in list is read once, in the pass over its level, and each referrer's out list
// once when it joins (a root is looked at again only if it is lower than the best so far), so
// the search is linear in slots and references, whatever the depth.
#include "queries/path_search.h"

#include <stdlib.h>

#include "vm/handles.h"
#include "vm/layout.h"

namespace tv {

namespace {

constexpr uint32_t kNone = UINT32_MAX;

struct Search {
  const PathIndex* index;
  const RefClassScan* refs;
  uint32_t* mark;  // per slot: 0 = not visited, else (queue position + 1) << 1 | reference bit
  uint32_t* node;  // the queue: slot of each node, in the order found
  uint32_t* link;  // queue position of the node it refers to; kNone for the target
  uint32_t count;
  uint32_t capacity;
  uint32_t levelStart;
  uint32_t levelEnd;
};

int reserveNode(Search* s) {
  if (s->count < s->capacity) return 1;
  // Every slot is queued at most once, so the queue never needs more than one entry per slot.
  uint64_t capacity = static_cast<uint64_t>(s->capacity) + s->capacity / 2 + 1024;
  if (capacity > s->index->slots) capacity = s->index->slots;
  if (capacity <= s->count || capacity > SIZE_MAX / sizeof(uint32_t)) return 0;
  size_t bytes = static_cast<size_t>(capacity) * sizeof(uint32_t);
  void* node = realloc(s->node, bytes);
  if (node != nullptr) s->node = static_cast<uint32_t*>(node);
  void* link = realloc(s->link, bytes);
  if (link != nullptr) s->link = static_cast<uint32_t*>(link);
  if (node == nullptr || link == nullptr) return 0;
  s->capacity = static_cast<uint32_t>(capacity);
  return 1;
}

int push(Search* s, uint32_t slot, uint32_t linkPosition) {
  if (!reserveNode(s)) return 0;
  s->node[s->count] = slot;
  s->link[s->count] = linkPosition;
  uint32_t isReference = isReferenceInstance(s->refs, indexHandle(s->index, slot)) ? 1 : 0;
  s->mark[slot] = ((s->count + 1) << 1) | isReference;
  s->count++;
  return 1;
}

// The queue position of slot t when t is a node of the level being expanded, else kNone.
inline uint32_t levelPosition(const Search* s, uint32_t t) {
  uint32_t m = s->mark[t];
  if (m == 0) return kNone;
  uint32_t position = (m >> 1) - 1;
  return position - s->levelStart < s->levelEnd - s->levelStart ? position : kNone;
}

inline int isReferenceNode(const Search* s, uint32_t t) { return s->mark[t] & 1; }

// Statics, fields and elements come first in a slot's out list, stack entries after them.
uint32_t firstFieldLink(const Search* s, uint32_t h) {
  const PathIndex* index = s->index;
  for (uint32_t e = index->outStart[h]; e < index->outStart[h + 1]; e++) {
    uint32_t edge = index->out[e];
    if (edge & kStackEdge) break;
    uint32_t position = levelPosition(s, edge);
    if (position != kNone && !isReferenceNode(s, edge)) return position;
  }
  return kNone;
}

uint32_t lastStackLink(const Search* s, uint32_t h) {
  const PathIndex* index = s->index;
  for (uint32_t e = index->outStart[h + 1]; e > index->outStart[h]; e--) {
    uint32_t edge = index->out[e - 1];
    if (!(edge & kStackEdge)) break;
    uint32_t position = levelPosition(s, edge & kEdgeSlot);
    if (position != kNone) return position;
  }
  return kNone;
}

// One pass over the current level. Sets *root to the lowest root slot met, or kNone; queues
// every referrer that links through a field or element. Returns 0 when memory runs out.
int expandLevel(Search* s, uint32_t* root) {
  const PathIndex* index = s->index;
  uint32_t best = kNone;
  for (uint32_t p = s->levelStart; p < s->levelEnd; p++) {
    uint32_t v = s->node[p];
    int referenceNode = isReferenceNode(s, v);
    for (uint32_t i = index->inStart[v]; i < index->inStart[v + 1]; i++) {
      uint32_t h = index->in[i] & kEdgeSlot;
      // A slot above a root already met cannot change the result: the search ends here.
      if (h >= best || s->mark[h] != 0) continue;
      if (referenceNode && !(index->in[i] & kStackEdge)) continue;
      if (isClassObject(indexHandle(index, h))) {
        best = h;  // reached through a static that refers into the level
        continue;
      }
      uint32_t position = firstFieldLink(s, h);
      if (position != kNone) {
        if (!push(s, h, position)) return 0;
      } else if (lastStackLink(s, h) != kNone) {
        best = h;
      }
    }
  }
  *root = best;
  return 1;
}

int assemblePath(const Search* s, uint32_t root, uint32_t** path, uint32_t* length) {
  uint32_t next = isClassObject(indexHandle(s->index, root)) ? firstFieldLink(s, root)
                                                              : lastStackLink(s, root);
  uint32_t n = 1;
  for (uint32_t p = next; p != kNone; p = s->link[p]) n++;
  *path = static_cast<uint32_t*>(malloc(static_cast<size_t>(n) * sizeof(uint32_t)));
  if (*path == nullptr) return 0;
  (*path)[0] = indexHandle(s->index, root);
  n = 1;
  for (uint32_t p = next; p != kNone; p = s->link[p]) (*path)[n++] = indexHandle(s->index, s->node[p]);
  *length = n;
  return 1;
}

}  // namespace

PathOutcome searchPath(const PathIndex* index, const RefClassScan* refs, uint32_t target,
                       int32_t maxNodes, uint32_t** path, uint32_t* length) {
  *path = nullptr;
  *length = 0;
  Search s = {};
  s.index = index;
  s.refs = refs;
  s.mark = static_cast<uint32_t*>(calloc(index->slots ? index->slots : 1, sizeof(uint32_t)));
  uint32_t targetSlot = (target - index->space.first) / kHandleSize;
  PathOutcome outcome = kPathOutOfMemory;
  if (s.mark != nullptr && push(&s, targetSlot, kNone)) {
    outcome = kPathSearchFailed;
    while (s.levelStart < s.count) {
      s.levelEnd = s.count;
      uint32_t root;
      if (!expandLevel(&s, &root)) {
        outcome = kPathOutOfMemory;
        break;
      }
      if (root != kNone) {
        outcome = assemblePath(&s, root, path, length) ? kPathFound : kPathOutOfMemory;
        break;
      }
      // Compared in 64 bits: no maxNodes wraps, and one below 0 acts as 0.
      if (static_cast<int64_t>(s.levelEnd) >= static_cast<int64_t>(maxNodes)) {
        outcome = kPathExceeded;
        break;
      }
      s.levelStart = s.levelEnd;
    }
  }
  free(s.mark);
  free(s.node);
  free(s.link);
  return outcome;
}

}  // namespace tv
