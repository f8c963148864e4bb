// PtrMap: a chained hash map from 32-bit keys to pointer-sized values.
//
// Bucket of a key: (key & 0x7FFFFFFF) % size. A new map has 101 buckets and threshold 75.
// A put of a new key when count >= threshold first grows the map to 2 * size + 1 buckets with
// threshold (3 * size) / 4 (sizes 101, 203, 407, 815, ...; thresholds 75, 152, 305, 611, ...),
// moving the nodes (old buckets from last to first, each chain from its head) to the heads of
// their new buckets. Replacing the value of an existing key never grows the map.
// New nodes go to the head of their chain. mapForEach (and so mapValuesInto) visits buckets
// from last to first and each chain from its head. Values are never freed by the map; every value
// stored by the library is non-zero, so mapContains is plain membership. Allocation failure: mapNew
// returns null; mapPut returns 0 and leaves the map unchanged.
#pragma once
#include <stdint.h>
#include "support/ptrlist.h"

namespace tv {

struct PtrMapNode {
  int32_t key;
  uintptr_t value;
  PtrMapNode* next;
};

struct PtrMap {
  PtrMapNode** buckets;
  int32_t size;
  int32_t count;
  int32_t threshold;
};

PtrMap* mapNew(void);
int mapPut(PtrMap* map, int32_t key, uintptr_t value);  // 1 on success, 0 on allocation failure
uintptr_t mapFind(const PtrMap* map, int32_t key);      // 0 when absent
int mapContains(const PtrMap* map, int32_t key);
int mapValuesInto(const PtrMap* map, PtrList* list);  // 0 if a push failed
// Calls visit(key, value, context) for every node; the visitor must not change the map.
void mapForEach(const PtrMap* map, void (*visit)(int32_t key, uintptr_t value, void* context),
                void* context);
void mapDestroy(PtrMap** map);

}  // namespace tv
