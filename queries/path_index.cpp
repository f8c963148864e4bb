#include "queries/path_index.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "queries/heapwalk.h"
#include "report/entry.h"
#include "support/ptrlist.h"
#include "support/ptrmap.h"
#include "vm/handles.h"
#include "vm/layout.h"
#include "vm/memory.h"
#include "vm/threads.h"

namespace tv {

namespace {

// What every plain object with one MethodTable has in common, worked out at its first object:
// its class, whether it is a class object or a thread, and the body offsets of its instance
// reference fields in the order the search tries them.
struct ClassPlan {
  uint32_t cls;
  int isClassObject;
  int isThread;
  uint32_t firstOffset;  // into Builder::offsets
  uint32_t offsetCount;
};

// A growable array of 32-bit values. Growth by half keeps the slack of the edge list small.
struct Words {
  uint32_t* items;
  uint32_t count;
  uint32_t capacity;
};

int wordsReserve(Words* w, uint32_t wanted) {
  if (wanted <= w->capacity) return 1;
  uint64_t capacity = static_cast<uint64_t>(w->capacity) + w->capacity / 2 + 1024;
  if (capacity < wanted) capacity = wanted;
  if (capacity > UINT32_MAX || capacity > SIZE_MAX / sizeof(uint32_t)) return 0;
  void* items = realloc(w->items, static_cast<size_t>(capacity) * sizeof(uint32_t));
  if (items == nullptr) return 0;
  w->items = static_cast<uint32_t*>(items);
  w->capacity = static_cast<uint32_t>(capacity);
  return 1;
}

inline int wordsPush(Words* w, uint32_t v) {
  if (w->count == w->capacity && !wordsReserve(w, w->count + 1)) return 0;
  w->items[w->count++] = v;
  return 1;
}

// Plans are found by MethodTable address: first in a small direct-mapped cache, then in a map.
constexpr uint32_t kPlanCacheSize = 64;

struct Builder {
  PathIndex* index;
  RefClassScan* refs;
  uint32_t slot;  // index of the slot being visited
  Words edges;
  ClassPlan* plans;
  uint32_t planCount;
  uint32_t planCapacity;
  Words offsets;
  PtrMap* planByMethods;  // MethodTable address -> plan index + 1
  uint32_t cacheKey[kPlanCacheSize];
  uint32_t cachePlan[kPlanCacheSize];  // plan index + 1; 0 = empty
  PtrList* stack;                      // scratch for one thread's stack entries
  int failed;
};

inline void addEdge(Builder* b, uint32_t v, uint32_t tag) {
  uint32_t offset = v - b->index->space.first;
  if ((offset & (kHandleSize - 1)) != 0 || v == 0 ||
      offset >= b->index->space.end - b->index->space.first)
    return;
  if (!wordsPush(&b->edges, (offset / kHandleSize) | tag)) b->failed = 1;
}

int makePlan(Builder* b, uint32_t h, uint32_t methods) {
  if (b->planCount == b->planCapacity) {
    uint64_t capacity = static_cast<uint64_t>(b->planCapacity) * 2 + 16;
    if (capacity > INT32_MAX || capacity > SIZE_MAX / sizeof(ClassPlan)) return -1;
    void* plans = realloc(b->plans, static_cast<size_t>(capacity) * sizeof(ClassPlan));
    if (plans == nullptr) return -1;
    b->plans = static_cast<ClassPlan*>(plans);
    b->planCapacity = static_cast<uint32_t>(capacity);
  }
  ClassPlan* p = &b->plans[b->planCount];
  p->cls = classOf(h);
  p->isClassObject = isClassObject(h);
  p->isThread = !p->isClassObject && isThread(h);
  p->firstOffset = b->offsets.count;
  // A class object is searched through the statics of the class it describes, not through
  // the fields of java/lang/Class.
  if (!p->isClassObject) {
    uint32_t c = p->cls;
    for (int depth = 0; c != 0 && depth < kMaxClassDepth; depth++, c = superclassOf(c)) {
      uint32_t n = classFieldCount(c);
      for (uint32_t i = 0; i < n; i++) {
        uint32_t entry = classFieldEntry(c, i);
        if (fieldIsStatic(entry) || !fieldIsReference(entry)) continue;
        if (!wordsPush(&b->offsets, vmRead32(entry + kFieldValue))) return -1;
      }
    }
  }
  p->offsetCount = b->offsets.count - p->firstOffset;
  refScanNote(b->refs, p->cls);
  if (!mapPut(b->planByMethods, static_cast<int32_t>(methods), b->planCount + 1)) return -1;
  return static_cast<int>(b->planCount++);
}

const ClassPlan* planFor(Builder* b, uint32_t h, uint32_t methods) {
  uint32_t line = (methods >> 5) % kPlanCacheSize;
  if (b->cachePlan[line] != 0 && b->cacheKey[line] == methods)
    return &b->plans[b->cachePlan[line] - 1];
  uintptr_t found = mapFind(b->planByMethods, static_cast<int32_t>(methods));
  int plan = found ? static_cast<int>(found - 1) : makePlan(b, h, methods);
  if (plan < 0) return nullptr;
  b->cacheKey[line] = methods;
  b->cachePlan[line] = static_cast<uint32_t>(plan) + 1;
  return &b->plans[plan];
}

void addStatics(Builder* b, uint32_t cls) {
  uint32_t n = classFieldCount(cls);
  for (uint32_t i = 0; i < n; i++) {
    uint32_t entry = classFieldEntry(cls, i);
    if (fieldIsStatic(entry) && fieldIsReference(entry))
      addEdge(b, fieldStaticValue(entry), 0);
  }
}

void addStack(Builder* b, uint32_t thread) {
  PtrList* list = b->stack;
  list->count = 0;  // entries of the previous thread were freed below
  if (!collectStackRefsIn(thread, b->index->space, list)) b->failed = 1;
  for (int32_t i = 0; i < listCount(list); i++) {
    HeapEntry* e = reinterpret_cast<HeapEntry*>(listGet(list, i));
    addEdge(b, e->handle, kStackEdge);
    free(e);
  }
  list->count = 0;
}

void addObject(Builder* b, uint32_t h, uint32_t body, uint32_t methods) {
  const ClassPlan* plan = planFor(b, h, methods);
  if (plan == nullptr) {
    b->failed = 1;
    return;
  }
  if (plan->isClassObject) {
    addStatics(b, h);
    return;
  }
  const uint32_t* offset = b->offsets.items + plan->firstOffset;
  for (uint32_t i = 0; i < plan->offsetCount; i++) addEdge(b, vmRead32(body + offset[i]), 0);
  if (plan->isThread) addStack(b, h);
}

void addArray(Builder* b, uint32_t h, uint32_t body, uint32_t methods) {
  refScanNote(b->refs, classOf(h));
  uint32_t length = methods >> kLengthShift;
  for (uint32_t i = 0; i < length; i++) addEdge(b, vmRead32(body + 4 * i), 0);
}

void visitSlot(uint32_t h, void* context) {
  Builder* b = static_cast<Builder*>(context);
  b->index->outStart[b->slot++] = b->edges.count;
  if (b->failed) return;
  // The walk hands out only slots of the installed space, so the raw reads below are what
  // isLive, isObject and isObjectArray would read.
  uint32_t body = vmRead32(h + kHandleBody);
  if (body == 0) return;
  uint32_t methods = vmRead32(h + kHandleMethods);
  switch (methods & kTypeCodeMask) {
    case kTypeObject:
      addObject(b, h, body, methods);
      break;
    case kTypeObjectArray:
      addArray(b, h, body, methods);
      break;
    default:  // primitive arrays refer to nothing, and have no class to note
      break;
  }
}

uint32_t* allocWords(uint64_t count) {
  if (count == 0) count = 1;
  if (count > SIZE_MAX / sizeof(uint32_t)) return nullptr;
  return static_cast<uint32_t*>(malloc(static_cast<size_t>(count) * sizeof(uint32_t)));
}

// Turns the out lists into in lists. Slots are grouped in blocks of 2^kBlockShift: the
// referrers are first dealt out into `in` by the block of their target, with the target's
// place in its block kept beside them, and then each block is sorted in place by that place
// (American flag sort), with counts small enough to stay in the first-level cache. Sorting by
// target directly would touch a random word of a slot-sized array for every edge, and on a
// large heap nearly every such touch misses the caches.
constexpr uint32_t kBlockShift = 13;
constexpr uint32_t kBlockMask = (1u << kBlockShift) - 1;

void sortBlock(uint32_t* in, uint16_t* place, uint32_t* next, const uint32_t* end, uint32_t n) {
  for (uint32_t k = 0; k < n; k++) {
    while (next[k] < end[k]) {
      uint32_t i = next[k];
      uint16_t p = place[i];
      if (p == k) {
        next[k]++;
        continue;
      }
      uint32_t j = next[p]++;  // the first unsorted position of p's run
      uint32_t referrer = in[i];
      in[i] = in[j];
      in[j] = referrer;
      place[i] = place[j];
      place[j] = p;
    }
  }
}

int invert(PathIndex* index) {
  const uint32_t slots = index->slots;
  const uint32_t edges = index->edges;
  const uint32_t* out = index->out;
  const uint32_t blocks = (slots >> kBlockShift) + 1;
  index->inStart = allocWords(static_cast<uint64_t>(slots) + 1);
  index->in = allocWords(edges);
  uint32_t* blockStart = allocWords(static_cast<uint64_t>(blocks) + 1);
  uint32_t* cursor = allocWords(blocks);
  uint32_t* next = allocWords(2u << kBlockShift);  // then the ends of the runs
  uint16_t* place = edges <= SIZE_MAX / sizeof(uint16_t)
                        ? static_cast<uint16_t*>(malloc((edges ? edges : 1) * sizeof(uint16_t)))
                        : nullptr;
  int ok = index->inStart && index->in && blockStart && cursor && next && place;
  if (ok) {
    uint32_t* in = index->in;
    memset(blockStart, 0, (static_cast<size_t>(blocks) + 1) * sizeof(uint32_t));
    for (uint32_t e = 0; e < edges; e++) blockStart[((out[e] & kEdgeSlot) >> kBlockShift) + 1]++;
    for (uint32_t b = 0; b < blocks; b++) {
      blockStart[b + 1] += blockStart[b];
      cursor[b] = blockStart[b];
    }
    for (uint32_t s = 0; s < slots; s++) {
      for (uint32_t e = index->outStart[s]; e < index->outStart[s + 1]; e++) {
        uint32_t t = out[e] & kEdgeSlot;
        uint32_t at = cursor[t >> kBlockShift]++;
        in[at] = s | (out[e] & kStackEdge);
        place[at] = static_cast<uint16_t>(t & kBlockMask);
      }
    }
    uint32_t* end = next + (1u << kBlockShift);
    for (uint32_t b = 0; b < blocks; b++) {
      uint32_t low = b << kBlockShift;
      uint32_t n = slots - low < (1u << kBlockShift) ? slots - low : 1u << kBlockShift;
      memset(end, 0, static_cast<size_t>(n) * sizeof(uint32_t));
      for (uint32_t p = blockStart[b]; p < blockStart[b + 1]; p++) end[place[p]]++;
      uint32_t position = blockStart[b];
      for (uint32_t k = 0; k < n; k++) {
        index->inStart[low + k] = next[k] = position;
        position += end[k];
        end[k] = position;
      }
      sortBlock(in, place, next, end, n);
    }
    index->inStart[slots] = edges;
  }
  free(blockStart);
  free(cursor);
  free(next);
  free(place);
  return ok;
}

void builderFree(Builder* b) {
  free(b->plans);
  free(b->offsets.items);
  mapDestroy(&b->planByMethods);
  listDestroy(&b->stack);
}

}  // namespace

int indexBuild(PathIndex* index, HandleSpace space, RefClassScan* refs) {
  *index = PathIndex{};
  index->space = space;
  index->slots = space.end > space.first ? (space.end - space.first) / kHandleSize : 0;

  Builder b = {};
  b.index = index;
  b.refs = refs;
  b.planByMethods = mapNew();
  b.stack = listNew();
  index->outStart = allocWords(static_cast<uint64_t>(index->slots) + 1);
  int ok = b.planByMethods != nullptr && b.stack != nullptr && index->outStart != nullptr;
  if (ok) {
    walkHandleSpace(space, visitSlot, &b);
    index->outStart[index->slots] = b.edges.count;
    index->edges = b.edges.count;
    // Give back the growth slack before the in lists take as much again.
    void* exact = realloc(b.edges.items, (b.edges.count ? b.edges.count : 1) * sizeof(uint32_t));
    if (exact != nullptr) b.edges.items = static_cast<uint32_t*>(exact);
    index->out = b.edges.items;
    b.edges.items = nullptr;
    ok = !b.failed && invert(index);
  }
  free(b.edges.items);
  builderFree(&b);
  if (!ok) indexFree(index);
  return ok;
}

void indexFree(PathIndex* index) {
  free(index->outStart);
  free(index->out);
  free(index->inStart);
  free(index->in);
  *index = PathIndex{};
}

}  // namespace tv
