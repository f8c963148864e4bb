#include "support/ptrmap.h"

#include <stdlib.h>

namespace tv {

namespace {

constexpr int32_t kInitialSize = 101;
constexpr int32_t kInitialThreshold = 75;

int32_t bucketOf(int32_t key, int32_t size) {
  return static_cast<int32_t>((static_cast<uint32_t>(key) & 0x7FFFFFFFu) %
                              static_cast<uint32_t>(size));
}

// Moves every node into a table of 2 * size + 1 buckets. Returns 0, leaving the map as it was,
// when the new bucket array cannot be had.
int grow(PtrMap* map) {
  int64_t newSize = 2 * static_cast<int64_t>(map->size) + 1;
  if (newSize > INT32_MAX / 3) return 0;  // keeps 3 * newSize within 32 bits
  PtrMapNode** buckets =
      static_cast<PtrMapNode**>(calloc(static_cast<size_t>(newSize), sizeof(PtrMapNode*)));
  if (!buckets) return 0;
  for (int32_t b = map->size - 1; b >= 0; b--) {
    PtrMapNode* node = map->buckets[b];
    while (node) {
      PtrMapNode* next = node->next;
      int32_t nb = bucketOf(node->key, static_cast<int32_t>(newSize));
      node->next = buckets[nb];
      buckets[nb] = node;
      node = next;
    }
  }
  free(map->buckets);
  map->buckets = buckets;
  map->size = static_cast<int32_t>(newSize);
  map->threshold = static_cast<int32_t>((3 * newSize) / 4);
  return 1;
}

}  // namespace

PtrMap* mapNew(void) {
  PtrMap* map = static_cast<PtrMap*>(malloc(sizeof(PtrMap)));
  if (!map) return nullptr;
  map->buckets = static_cast<PtrMapNode**>(calloc(kInitialSize, sizeof(PtrMapNode*)));
  if (!map->buckets) {
    free(map);
    return nullptr;
  }
  map->size = kInitialSize;
  map->count = 0;
  map->threshold = kInitialThreshold;
  return map;
}

int mapPut(PtrMap* map, int32_t key, uintptr_t value) {
  for (;;) {
    int32_t b = bucketOf(key, map->size);
    for (PtrMapNode* node = map->buckets[b]; node; node = node->next) {
      if (node->key == key) {
        node->value = value;
        return 1;
      }
    }
    if (map->count >= map->threshold) {
      if (!grow(map)) return 0;
      continue;  // the bucket changed with the size
    }
    PtrMapNode* node = static_cast<PtrMapNode*>(malloc(sizeof(PtrMapNode)));
    if (!node) return 0;
    node->key = key;
    node->value = value;
    node->next = map->buckets[b];
    map->buckets[b] = node;
    map->count++;
    return 1;
  }
}

uintptr_t mapFind(const PtrMap* map, int32_t key) {
  for (PtrMapNode* node = map->buckets[bucketOf(key, map->size)]; node; node = node->next) {
    if (node->key == key) return node->value;
  }
  return 0;
}

int mapContains(const PtrMap* map, int32_t key) { return mapFind(map, key) != 0; }

void mapForEach(const PtrMap* map, void (*visit)(int32_t key, uintptr_t value, void* context),
                void* context) {
  for (int32_t b = map->size - 1; b >= 0; b--) {
    for (PtrMapNode* node = map->buckets[b]; node; node = node->next)
      visit(node->key, node->value, context);
  }
}

namespace {

struct ValuesInto {
  PtrList* list;
  int ok;
};

void pushValue(int32_t, uintptr_t value, void* context) {
  ValuesInto* into = static_cast<ValuesInto*>(context);
  if (!listPush(into->list, value)) into->ok = 0;
}

}  // namespace

int mapValuesInto(const PtrMap* map, PtrList* list) {
  ValuesInto into = {list, 1};
  mapForEach(map, pushValue, &into);
  return into.ok;
}

void mapDestroy(PtrMap** map) {
  if (!*map) return;
  for (int32_t b = (*map)->size - 1; b >= 0; b--) {
    PtrMapNode* node = (*map)->buckets[b];
    while (node) {
      PtrMapNode* next = node->next;
      free(node);
      node = next;
    }
  }
  free((*map)->buckets);
  free(*map);
  *map = nullptr;
}

}  // namespace tv
