// What one object refers to, and what refers to one object.
#include "queries/references.h"

#include <stdlib.h>

#include "queries/classplan.h"
#include "queries/heapwalk.h"
#include "report/compare.h"
#include "report/entry.h"
#include "report/writer.h"
#include "vm/handles.h"
#include "vm/handlespace.h"
#include "vm/threads.h"

namespace tv {

namespace {

// The list does not own its entries: one that cannot be added is freed here.
void append(PtrList* list, HeapEntry* e) {
  if (!listPush(list, reinterpret_cast<uintptr_t>(e))) free(e);
}

void appendNamed(PtrList* list, HeapEntry* e, uint32_t name) {
  e->detailIsName = 1;
  e->detail = static_cast<int32_t>(name);
  append(list, e);
}

void appendIndexed(PtrList* list, HeapEntry* e, uint32_t index) {
  e->detail = static_cast<int32_t>(index);
  append(list, e);
}

// Fields never report arrays of arrays; elements and stack slots do (makeEntry decides there).
int isFieldTarget(uint32_t v) {
  return isObject(v) || (isObjectArray(v) && !isArrayOfArrays(v));
}

void collectElementRefs(PtrList* list, uint32_t array) {
  uint32_t length = arrayLength(array);
  for (uint32_t i = 0; i < length; i++) {
    uint32_t e = arrayElement(array, i);
    if (e == 0) continue;
    HeapEntry* entry = makeEntry(e);
    if (entry != nullptr) appendIndexed(list, entry, i);
  }
}

// Collects what h refers to; returns 0 when the list keeps its order (an array's index order).
int collectOutgoing(PtrList* list, uint32_t h) {
  if (isClassObject(h)) {
    collectFieldRefs(list, h, h, 1);
  } else if (isObject(h)) {
    uint32_t c = classOf(h);
    for (int depth = 0; c != 0 && depth < kMaxClassDepth; depth++, c = superclassOf(c))
      collectFieldRefs(list, h, c, 0);
    if (isThread(h)) collectStackRefs(h, list);
  } else if (isObjectArray(h)) {
    collectElementRefs(list, h);
    return 0;
  }
  return 1;
}

// A null list is written as an empty report.
void writeAndFree(uint32_t stream, PtrList* list, int sorted) {
  if (sorted && list != nullptr) listSort(list, compareReferrers);
  writeEntryList(stream, list);
  listDestroy(&list);
}

// --- referrers --------------------------------------------------------------------------

struct BackTrace {
  uint32_t target;
  HandleSpace space;  // the walk's bounds, so thread scans need not probe the table again
  PtrList* list;
  PlanCache plans;    // the reference fields of each class met
};

void addStaticReferrers(const BackTrace* bt, uint32_t cls) {
  uint32_t n = classFieldCount(cls);
  for (uint32_t i = 0; i < n; i++) {
    uint32_t entry = classFieldEntry(cls, i);
    if (!fieldIsStatic(entry) || !fieldIsReference(entry)) continue;
    if (fieldStaticValue(entry) != bt->target) continue;
    HeapEntry* e = makeEntry(cls);
    if (e != nullptr) appendNamed(bt->list, e, fieldNameAddress(entry));
  }
}

void addFieldReferrers(const BackTrace* bt, uint32_t h, const ClassPlan* plan) {
  for (int32_t i = 0; i < plan->count; i++) {
    if (plannedValue(h, &plan->fields[i]) != bt->target) continue;
    HeapEntry* e = makeEntry(h);
    if (e != nullptr) appendNamed(bt->list, e, plan->fields[i].name);
  }
}

// Entries for the thread's slots that hold the target become entries for the thread itself,
// keeping the method name; the others are dropped.
void addStackReferrers(const BackTrace* bt, uint32_t thread) {
  PtrList* scratch = listNew();
  if (scratch == nullptr) return;
  collectStackRefsIn(thread, bt->space, scratch);
  uint32_t threadClassName = classNameAddress(classOf(thread));
  for (int32_t i = listCount(scratch) - 1; i >= 0; i--) {
    HeapEntry* e = reinterpret_cast<HeapEntry*>(listGet(scratch, i));
    if (e->handle != bt->target) {
      free(e);
      continue;
    }
    e->handle = thread;
    e->className = threadClassName;
    e->kind = 'I';
    append(bt->list, e);
  }
  listDestroy(&scratch);
}

void addElementReferrers(const BackTrace* bt, uint32_t array) {
  uint32_t length = arrayLength(array);
  for (uint32_t i = 0; i < length; i++) {
    if (arrayElement(array, i) != bt->target) continue;
    HeapEntry* e = makeEntry(array);
    if (e != nullptr) appendIndexed(bt->list, e, i);
  }
}

void visitReferrer(uint32_t h, void* context) {
  BackTrace* bt = static_cast<BackTrace*>(context);
  if (isClassObject(h)) {
    addStaticReferrers(bt, h);
  } else if (isObject(h)) {
    // An object whose class word leads to no class has no fields and is no thread.
    const ClassPlan* plan = planOf(&bt->plans, h);
    if (plan == nullptr) return;
    addFieldReferrers(bt, h, plan);
    if (plan->isThread) addStackReferrers(bt, h);
  } else if (isObjectArray(h)) {
    addElementReferrers(bt, h);
  }
}

}  // namespace

void collectFieldRefs(PtrList* list, uint32_t holder, uint32_t c, int staticFields) {
  uint32_t n = classFieldCount(c);
  for (uint32_t i = 0; i < n; i++) {
    uint32_t entry = classFieldEntry(c, i);
    if (!fieldIsReference(entry)) continue;
    int isStatic = fieldIsStatic(entry);
    uint32_t v = 0;
    if (staticFields && isStatic) v = fieldStaticValue(entry);
    if (!staticFields && !isStatic) v = fieldInstanceValue(entry, holder);
    if (!isFieldTarget(v)) continue;
    HeapEntry* e = makeEntry(v);
    if (e != nullptr) appendNamed(list, e, fieldNameAddress(entry));
  }
}

void getReferences(uint32_t stream, uint32_t h) {
  refreshHandleSpace();
  if (!isWritableStream(stream)) return;
  PtrList* list = listNew();
  int sorted = list != nullptr && collectOutgoing(list, h);
  writeAndFree(stream, list, sorted);
}

// A report that could not be completed for want of memory is written empty.
void getBackTraceReferences(uint32_t stream, uint32_t target) {
  HandleSpace space = beginHeapWalk();
  if (!isWritableStream(stream)) return;
  BackTrace bt = {target, space, listNew(), {}};
  if (bt.list != nullptr && planCacheInit(&bt.plans, fieldIsReference))
    walkHandleSpace(space, visitReferrer, &bt);
  if (bt.list == nullptr || bt.plans.failed) {
    freeEntries(bt.list);
    listDestroy(&bt.list);
  }
  planCacheFree(&bt.plans);
  writeAndFree(stream, bt.list, 1);
}

}  // namespace tv
