#include "report/compare.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "report/entry.h"
#include "vm/memory.h"

namespace tv {

namespace {

// Each list item holds the address of a HeapEntry.
inline const HeapEntry* entryAt(const void* item) {
  return *static_cast<const HeapEntry* const*>(item);
}

// A missing name compares as the empty string.
inline const char* nameOrEmpty(uint32_t address) { return address ? vmString(address) : ""; }

int byName(const HeapEntry* a, const HeapEntry* b) {
  int r = strcmp(nameOrEmpty(a->className), nameOrEmpty(b->className));
  if (r != 0) return r;
  signed char ka = static_cast<signed char>(a->kind);
  signed char kb = static_cast<signed char>(b->kind);
  if (ka > kb) return 1;
  if (ka < kb) return -1;
  return 0;
}

int byDetail(const HeapEntry* a, const HeapEntry* b) {
  if (a->detail == b->detail) return byName(a, b);
  return a->detail > b->detail ? 1 : -1;
}

}  // namespace

int compareByName(const void* a, const void* b) { return byName(entryAt(a), entryAt(b)); }

int compareByCount(const void* a, const void* b) {
  const HeapEntry* ea = entryAt(a);
  const HeapEntry* eb = entryAt(b);
  if (ea->detail == eb->detail) return byName(ea, eb);
  return ea->detail > eb->detail ? -1 : 1;
}

int compareReferrers(const void* a, const void* b) {
  const HeapEntry* ea = entryAt(a);
  const HeapEntry* eb = entryAt(b);
  bool namedA = ea->detailIsName != 0;
  bool namedB = eb->detailIsName != 0;
  if (namedA != namedB) return namedA ? -1 : 1;
  int r = namedA ? strcmp(nameOrEmpty(static_cast<uint32_t>(ea->detail)),
                          nameOrEmpty(static_cast<uint32_t>(eb->detail)))
                 : byDetail(ea, eb);
  return r != 0 ? r : byName(ea, eb);
}

}  // namespace tv

namespace tv {

namespace {

inline uint32_t groupHash(const HeapEntry* e, uint32_t mask) {
  return ((e->className >> 2) * 0x9E3779B1u + static_cast<unsigned char>(e->kind)) & mask;
}

struct GroupKey {
  uintptr_t item;  // the group's first entry, as a list item (so compareByName reads it)
  uint32_t group;  // groups are numbered in order of first appearance
};

int compareGroupKeys(const void* a, const void* b) {
  const GroupKey* ka = static_cast<const GroupKey*>(a);
  const GroupKey* kb = static_cast<const GroupKey*>(b);
  int r = compareByName(&ka->item, &kb->item);
  if (r != 0) return r;
  return ka->group < kb->group ? -1 : ka->group > kb->group ? 1 : 0;
}

}  // namespace

void sortEntriesByName(PtrList* list) {
  if (list->count < 2) return;
  uint32_t n = static_cast<uint32_t>(list->count);
  uint32_t size = 64;  // hash slots, at most half full
  while (size < 2 * n) size *= 2;
  uint32_t* slots = static_cast<uint32_t*>(calloc(size, sizeof(uint32_t)));  // group + 1
  uint32_t* groupOf = static_cast<uint32_t*>(malloc(n * sizeof(uint32_t)));  // per entry
  uint32_t* rankOf = static_cast<uint32_t*>(malloc(n * sizeof(uint32_t)));   // per group
  uint32_t* next = static_cast<uint32_t*>(calloc(n + 1, sizeof(uint32_t)));  // per rank
  GroupKey* keys = static_cast<GroupKey*>(calloc(n, sizeof(GroupKey)));
  uintptr_t* sorted = static_cast<uintptr_t*>(malloc(n * sizeof(uintptr_t)));
  if (!slots || !groupOf || !rankOf || !next || !keys || !sorted) {
    listSort(list, compareByName);
  } else {
    uintptr_t* items = list->items;
    uint32_t groups = 0;
    for (uint32_t i = 0; i < n; i++) {
      const HeapEntry* e = entryAt(&items[i]);
      uint32_t s = groupHash(e, size - 1);
      for (;; s = (s + 1) & (size - 1)) {
        if (slots[s] == 0) {
          keys[groups] = GroupKey{items[i], groups};
          slots[s] = ++groups;
          break;
        }
        const HeapEntry* first = entryAt(&keys[slots[s] - 1].item);
        if (first->className == e->className && first->kind == e->kind) break;
      }
      groupOf[i] = slots[s] - 1;
    }
    // Group numbers break every tie, so qsort's own order of equal keys never shows.
    qsort(keys, groups, sizeof(GroupKey), compareGroupKeys);
    // Groups whose names and kinds compare equal share a rank, so their entries merge in list
    // order, as a stable sort leaves them.
    uint32_t rank = 0;
    for (uint32_t k = 0; k < groups; k++) {
      if (k > 0 && compareByName(&keys[k - 1].item, &keys[k].item) != 0) rank++;
      rankOf[keys[k].group] = rank;
    }
    for (uint32_t i = 0; i < n; i++) next[rankOf[groupOf[i]] + 1]++;
    for (uint32_t r = 0; r < rank; r++) next[r + 1] += next[r];
    for (uint32_t i = 0; i < n; i++) sorted[next[rankOf[groupOf[i]]]++] = items[i];
    memcpy(items, sorted, n * sizeof(uintptr_t));
  }
  free(slots);
  free(groupOf);
  free(rankOf);
  free(next);
  free(keys);
  free(sorted);
}

}  // namespace tv
