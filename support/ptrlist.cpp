#include "support/ptrlist.h"

#include <stdlib.h>
#include <string.h>

#include "support/stable_sort.h"

namespace tv {

namespace {
constexpr int32_t kInitialCapacity = 10;
}

PtrList* listNew(void) {
  PtrList* list = static_cast<PtrList*>(malloc(sizeof(PtrList)));
  if (!list) return nullptr;
  list->items = static_cast<uintptr_t*>(malloc(kInitialCapacity * sizeof(uintptr_t)));
  if (!list->items) {
    free(list);
    return nullptr;
  }
  list->count = 0;
  list->capacity = kInitialCapacity;
  return list;
}

int listPush(PtrList* list, uintptr_t value) {
  if (list->count == list->capacity) {
    // 2 * capacity + 4 overflows only far beyond any heap a 32-bit VM can hold.
    int64_t grown = 2 * static_cast<int64_t>(list->capacity) + 4;
    if (grown > INT32_MAX || static_cast<uint64_t>(grown) > SIZE_MAX / sizeof(uintptr_t)) return 0;
    uintptr_t* items =
        static_cast<uintptr_t*>(malloc(static_cast<size_t>(grown) * sizeof(uintptr_t)));
    if (!items) return 0;
    if (list->count > 0)
      memcpy(items, list->items, static_cast<size_t>(list->count) * sizeof(uintptr_t));
    free(list->items);
    list->items = items;
    list->capacity = static_cast<int32_t>(grown);
  }
  list->items[list->count++] = value;
  return 1;
}

int32_t listCount(const PtrList* list) { return list->count; }

uintptr_t listGet(const PtrList* list, int32_t i) { return list->items[i]; }

void listSort(PtrList* list, int (*compare)(const void*, const void*)) {
  if (list->count > 1) sortStable(list->items, static_cast<size_t>(list->count), compare);
}

void listDestroy(PtrList** list) {
  if (!*list) return;
  free((*list)->items);
  free(*list);
  *list = nullptr;
}

}  // namespace tv
