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
// Each node's in list is read once, in the pass over its level, and each referrer's links
// once when it joins (a root is looked at again only if it is lower than the best so far), so
// the search over the index is linear in slots and references, whatever the depth.
//
// Which node a node links to is not stored: it is its first field link into the level before
// its own, which the path's assembly works out again from the heap. The search without an
// index walks the whole heap per level and offers every unvisited slot in address order, which
// by the argument above finds the same nodes and the same lowest root; in the last pass (at
// least maxNodes nodes found) it keeps no new nodes, since the outcome cannot need them.
#include "queries/path/search.h"

#include <stdlib.h>
#include <string.h>

#include "queries/heapwalk.h"
#include "queries/path/slot_marks.h"
#include "support/grow.h"

namespace tv {

namespace {

constexpr uint32_t kNone = UINT32_MAX;

// A growable array of queue positions or slots.
struct Words {
  uint32_t* items;
  uint32_t count;
  uint32_t capacity;
};

int wordsPush(Words* w, uint32_t v, uint32_t limit) {
  void* items = w->items;
  int ok = growArray(&items, &w->capacity, w->count, sizeof(uint32_t), limit);
  w->items = static_cast<uint32_t*>(items);
  if (ok) w->items[w->count++] = v;
  return ok;
}

struct Search {
  const PathGraph* g;
  const PathIndex* index;  // null: the walking search
  uint32_t*
      mark;  // with an index, per slot: 0 = not visited, else (position + 1) << 1 | reference bit
  SlotMarks marks;  // without one, the same marks for the slots visited
  Words node;       // the queue: slot of each node, in the order found
  Words levels;     // queue position where each level starts, then where the last one ends
  int64_t maxNodes;
  int overflowed;  // the walking search reached maxNodes kept nodes and kept no more
};

// The level a pass expands: the queue positions [start, end). Or, when `unkept`, the level
// after that one, which the walking search only began to keep: the positions [end, keptEnd)
// and the unvisited slots that are no class object and link by a field into [start, end).
struct Level {
  uint32_t start;
  uint32_t end;
  int unkept;
  uint32_t keptEnd;
};

// A link into an unkept level names its slot, tagged; any other names a queue position.
constexpr uint32_t kSlotTag = 0x80000000u;

inline uint32_t markOf(const Search* s, uint32_t t) {
  return s->mark ? s->mark[t] : marksGet(&s->marks, t);
}

inline uint32_t linkedSlot(const Search* s, uint32_t link) {
  return (link & kSlotTag) ? link & ~kSlotTag : s->node.items[link];
}

// Queues slot h; with `keep` clear, or once the walking search holds maxNodes nodes, h is
// only counted as found. Returns 0 when memory runs out.
int push(Search* s, uint32_t slot) {
  if (s->index == nullptr && static_cast<int64_t>(s->node.count) >= s->maxNodes &&
      s->node.count > 0) {
    s->overflowed = 1;
    return 1;
  }
  int reference = slotIsReference(s->g, graphHandle(s->g, slot));
  if (reference < 0 || !wordsPush(&s->node, slot, s->g->slots)) return 0;
  uint32_t mark = (s->node.count << 1) | static_cast<uint32_t>(reference);
  if (s->mark) {
    s->mark[slot] = mark;
    return 1;
  }
  return marksPut(&s->marks, slot, mark);
}

uint32_t firstFieldLink(const Search* s, const Level& level, uint32_t h, const SlotView& v);

// Slot t as a member of the level: its link (see kSlotTag), or kNone. *reference tells
// whether it is a Reference node.
uint32_t member(const Search* s, const Level& level, uint32_t t, int* reference) {
  uint32_t m = markOf(s, t);
  if (m != 0) {
    uint32_t position = (m >> 1) - 1;
    *reference = m & 1;
    if (level.unkept) return position - level.end < level.keptEnd - level.end ? position : kNone;
    return position - level.start < level.end - level.start ? position : kNone;
  }
  if (!level.unkept) return kNone;
  SlotView v = viewSlot(s->g, graphHandle(s->g, t));
  if (v.kind != kSlotObject && v.kind != kSlotArray) return kNone;
  if (firstFieldLink(s, Level{level.start, level.end, 0, 0}, t, v) == kNone) return kNone;
  *reference = slotIsReference(s->g, graphHandle(s->g, t)) == 1;
  return t | kSlotTag;
}

// The first field link of h into the level, passing over Reference nodes.
uint32_t firstFieldLink(const Search* s, const Level& level, uint32_t h, const SlotView& v) {
  uint32_t found = kNone;
  forEachFieldLink(s->g, graphHandle(s->g, h), v, [s, &level, &found](uint32_t t) {
    int reference = 0;
    uint32_t link = member(s, level, t, &reference);
    if (link == kNone || reference) return false;
    found = link;
    return true;
  });
  return found;
}

struct LastStackLink {
  const Search* s;
  const Level* level;
  uint32_t found;
};

void noteStackLink(uint32_t t, void* context) {
  LastStackLink* last = static_cast<LastStackLink*>(context);
  int reference = 0;
  uint32_t link = member(last->s, *last->level, t, &reference);
  if (link != kNone) last->found = link;
}

// The last stack link of thread h into the level (Reference nodes included).
uint32_t lastStackLink(const Search* s, const Level& level, uint32_t h) {
  LastStackLink last = {s, &level, kNone};
  forEachStackLink(s->g, graphHandle(s->g, h), noteStackLink, &last);
  return last.found;
}

// What the pass makes of an unvisited slot h: 1 when it is a root, else 0 (after queueing it
// when it links through a field and `keep` is set); -1 when memory runs out.
int offerReferrer(Search* s, const Level& level, uint32_t h, int keep) {
  SlotView v = viewSlot(s->g, graphHandle(s->g, h));
  if (v.kind == kSlotClassObject) return firstFieldLink(s, level, h, v) != kNone;
  if (firstFieldLink(s, level, h, v) != kNone) return keep && !push(s, h) ? -1 : 0;
  return isThreadSlot(v) && lastStackLink(s, level, h) != kNone;
}

// One pass over the current level's referrers. Sets *root to the lowest root slot met, or
// kNone. Returns 0 when memory runs out.
int expandOverIndex(Search* s, const Level& level, uint32_t* root) {
  const PathIndex* index = s->index;
  uint32_t best = kNone;
  for (uint32_t p = level.start; p < level.end; p++) {
    uint32_t v = s->node.items[p];
    int referenceNode = s->mark[v] & 1;
    for (uint32_t i = index->inStart[v]; i < index->inStart[v + 1]; i++) {
      uint32_t h = index->in[i] & kEdgeSlot;
      // A slot above a root already met cannot change the result: the search ends here.
      if (h >= best || s->mark[h] != 0) continue;
      if (referenceNode && !(index->in[i] & kStackEdge)) continue;
      int outcome = offerReferrer(s, level, h, 1);
      if (outcome < 0) return 0;
      if (outcome > 0) best = h;
    }
  }
  *root = best;
  return 1;
}

int expandByWalking(Search* s, const Level& level, uint32_t* root, int keep) {
  *root = kNone;
  for (uint32_t h = 0; h < s->g->slots; h++) {
    if (markOf(s, h) != 0) continue;
    int reference;
    if (level.unkept && member(s, level, h, &reference) != kNone) continue;  // visited
    int outcome = offerReferrer(s, level, h, keep);
    if (outcome < 0) return 0;
    if (outcome > 0) {
      *root = h;  // the lowest: the walk goes up in address order
      return 1;
    }
  }
  return 1;
}

// The path from the root down: each node's link is its first field link into the level before
// its own, as when it was found; the root's is its first static (a class) or its last stack
// entry (a thread) into the last level expanded, `last`.
int assemblePath(Search* s, const Level& last, uint32_t root, uint32_t** path, uint32_t* length) {
  uint32_t kept = s->levels.count - 1;  // levels kept; the unkept one comes after them
  uint32_t n = kept + 1 + (last.unkept ? 1 : 0);
  *path = static_cast<uint32_t*>(malloc(static_cast<size_t>(n) * sizeof(uint32_t)));
  if (*path == nullptr) return 0;
  (*path)[0] = graphHandle(s->g, root);
  SlotView v = viewSlot(s->g, graphHandle(s->g, root));
  uint32_t link =
      v.kind == kSlotClassObject ? firstFieldLink(s, last, root, v) : lastStackLink(s, last, root);
  uint32_t k = last.unkept ? kept : kept - 1;  // the level `link` points into
  for (uint32_t i = 1; i < n; i++) {
    if (link == kNone) return 0;  // only a class table that failed meanwhile comes here
    uint32_t slot = linkedSlot(s, link);
    (*path)[i] = graphHandle(s->g, slot);
    if (i + 1 == n) break;
    k--;
    Level below = {s->levels.items[k], s->levels.items[k + 1], 0, 0};
    link = firstFieldLink(s, below, slot, viewSlot(s->g, graphHandle(s->g, slot)));
  }
  *length = n;
  return 1;
}

}  // namespace

PathOutcome searchPath(const PathGraph* g, const PathIndex* index, uint32_t target,
                       int32_t maxNodes, uint32_t** path, uint32_t* length) {
  *path = nullptr;
  *length = 0;
  Search s = {};
  s.g = g;
  s.index = index;
  s.maxNodes = maxNodes;
  PathOutcome outcome = kPathOutOfMemory;
  if (index != nullptr) {
    // Every slot is queued at most once: the queue is had whole, and only the pages it
    // reaches are ever touched.
    s.mark = static_cast<uint32_t*>(calloc(g->slots ? g->slots : 1, sizeof(uint32_t)));
    s.node.items = static_cast<uint32_t*>(malloc((g->slots ? g->slots : 1) * sizeof(uint32_t)));
    s.node.capacity = g->slots;
  }
  int ready = index == nullptr || (s.mark != nullptr && s.node.items != nullptr);
  if (ready && push(&s, graphSlot(g, target))) {
    outcome = kPathSearchFailed;
    Level level = {0, 0, 0, 0};
    while (level.unkept || level.start < s.node.count) {
      if (!level.unkept) level.end = s.node.count;
      // Compared in 64 bits: no maxNodes wraps, and one below 0 acts as 0. An unkept level
      // exists only beyond maxNodes nodes.
      int lastPass = level.unkept || static_cast<int64_t>(level.end) >= s.maxNodes;
      uint32_t root;
      if ((!level.unkept && !wordsPush(&s.levels, level.start, g->slots + 1)) ||
          !(index ? expandOverIndex(&s, level, &root)
                  : expandByWalking(&s, level, &root, !lastPass))) {
        outcome = kPathOutOfMemory;
        break;
      }
      if (root != kNone) {
        // The end of the last level wholly kept closes the list of level starts.
        outcome = wordsPush(&s.levels, level.end, g->slots + 1) &&
                          assemblePath(&s, level, root, path, length)
                      ? kPathFound
                      : kPathOutOfMemory;
        break;
      }
      if (lastPass) {
        outcome = kPathExceeded;
        break;
      }
      if (s.overflowed) {
        level = Level{level.start, level.end, 1, s.node.count};
      } else {
        level.start = level.end;
      }
    }
  }
  if (g->classes->failed) outcome = kPathOutOfMemory;
  if (outcome != kPathFound) {
    free(*path);
    *path = nullptr;
  }
  free(s.mark);
  marksFree(&s.marks);
  free(s.node.items);
  free(s.levels.items);
  return outcome;
}

}  // namespace tv
