// PtrList: a growable array of values (handle values, indices, or addresses of records).
//
// Invariants: 0 <= count <= capacity; items holds capacity values. A new list has capacity 10;
// a push onto a full list grows it to 2 * capacity + 4 (10, 24, 52, 108, 220, ...).
// Ownership: the list owns its items array, never what the values point to.
// A value is pointer-sized, so a record address fits on x86-64; handle values are stored
// zero-extended. Allocation failure: listNew returns null and listPush returns 0 and keeps the
// list as it was; nothing is ever written through a null pointer.
#pragma once
#include <stdint.h>

namespace tv {

struct PtrList {
  uintptr_t* items;
  int32_t count;
  int32_t capacity;
};

PtrList* listNew(void);
int listPush(PtrList* list, uintptr_t value);  // 1 on success, 0 when growth failed
int32_t listCount(const PtrList* list);
uintptr_t listGet(const PtrList* list, int32_t i);  // i is not range-tested
// A stable sort of the items (support/stable_sort.h) when count > 1: items that compare equal
// keep their order. compare receives the addresses of two items.
void listSort(PtrList* list, int (*compare)(const void*, const void*));
void listDestroy(PtrList** list);  // frees items and the list, sets *list to null

}  // namespace tv
